#!/usr/bin/env bash
# The example Slurm campaign (examples/slurm-campaign.sh) run as written on a one-node cluster on
# localhost, checked against the same manifest run locally: a task killed mid-line and resubmitted,
# and a second array submitted while the first still writes a line. Needs root and apt (installs
# slurm-wlm and munge when missing); says so and passes where it cannot run. Every wait is bounded;
# the daemons it starts are stopped by their PIDs.
# Usage: tests/slurm/run.sh VIDQUAL
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 VIDQUAL" >&2
  exit 2
fi
vidqual=$(realpath "$1")
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
example=$source_dir/examples/slurm-campaign.sh
k8s_example=$source_dir/examples/kubernetes-campaign.yaml

say() { echo "-- $(date -u +%H:%M:%S) $*"; }
fail() {
  echo "slurm check failed: $*" >&2
  exit 1
}

if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
  say "skipped: a Slurm cluster needs root and apt-get to install slurm-wlm and munge"
  exit 0
fi
if ! command -v slurmctld >/dev/null || ! command -v munged >/dev/null ||
  ! python3 -c 'import yaml' 2>/dev/null; then
  say "installing slurm-wlm, munge and Python's yaml module (to read the Kubernetes Job)"
  export DEBIAN_FRONTEND=noninteractive
  timeout 600 apt-get install -y -qq slurm-wlm munge python3-yaml >/dev/null ||
    { timeout 300 apt-get update -qq && timeout 600 apt-get install -y -qq slurm-wlm munge python3-yaml >/dev/null; }
fi

dir=$(mktemp -d /tmp/vidqual-slurm.XXXXXX)
chmod 755 "$dir"
pids=()
stop() {
  set +e
  # Tasks first (a task waiting on a pipe would outlive the daemons), then the daemons.
  if [ -n "${SLURM_CONF:-}" ] && [ -f "$dir/slurmctld.pid" ]; then
    scancel --user=root --quiet 2>/dev/null
    for _ in $(seq 50); do
      [ -z "$(squeue -h -o %i 2>/dev/null)" ] && break
      sleep 0.2
    done
  fi
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null
    for _ in $(seq 50); do
      kill -0 "${pids[i]}" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "${pids[i]}" 2>/dev/null
  done
  rm -rf "$dir"
}
trap stop EXIT

# ---- The cluster -------------------------------------------------------------------------------
started=$SECONDS
say "starting munged, slurmctld and slurmd"
if ! munge -n </dev/null 2>/dev/null | unmunge >/dev/null 2>&1; then
  mkdir -p /run/munge
  chown munge:munge /run/munge
  setpriv --reuid=munge --regid=munge --init-groups /usr/sbin/munged -F >"$dir/munged.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    munge -n </dev/null 2>/dev/null | unmunge >/dev/null 2>&1 && break
    sleep 0.1
  done
  munge -n </dev/null | unmunge >/dev/null || fail "munged did not start"
fi
export SLURM_CONF=$dir/slurm.conf
sed "s|@DIR@|$dir|g" "$source_dir/tests/slurm/slurm.conf" >"$SLURM_CONF"
slurmctld -D -i >"$dir/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -N localhost >"$dir/slurmd.out" 2>&1 &
pids+=($!)
for _ in $(seq 120); do
  [ "$(sinfo -h -n localhost -o %t 2>/dev/null)" = idle ] && break
  sleep 0.5
done
if [ "$(sinfo -h -n localhost -o %t 2>/dev/null)" != idle ]; then
  tail -20 "$dir/slurmctld.log" "$dir/slurmd.log" >&2 || true
  fail "the node is not idle after 60 s"
fi
say "cluster up in $((SECONDS - started)) s"

# ---- The campaign ------------------------------------------------------------------------------
# One source, five real encodes of it and a sixth line whose encode is the slow one.
camp=$dir/campaign
mkdir -p "$camp/src" "$camp/enc"
cd "$camp"
ffmpeg -hide_banner -loglevel error -nostdin -f lavfi -i testsrc2=size=256x256:rate=25 \
  -frames:v 10 -pix_fmt yuv420p src/park.y4m
for crf in 18 26 34 42; do
  ffmpeg -hide_banner -loglevel error -nostdin -i src/park.y4m -c:v libx264 -crf $crf \
    "enc/park crf$crf.mkv"
done
ffmpeg -hide_banner -loglevel error -nostdin -i src/park.y4m -vf noise=alls=12:allf=t \
  enc/noisy.y4m
cp enc/noisy.y4m enc/slow.y4m
{
  echo "# source        encode"
  for crf in 18 26 34 42; do echo "src/park.y4m  \"enc/park crf$crf.mkv\""; done
  echo
  echo "src/park.y4m  enc/noisy.y4m  --metric=ssim"
  echo "src/park.y4m  enc/slow.y4m"
} >manifest.txt
lines=6
slow=5
export PATH=$(dirname "$vidqual"):$PATH
unset SLURM_ARRAY_TASK_ID SLURM_CPUS_PER_TASK

# The same manifest run locally, line by line, by the same script.
mkdir -p "$dir/local/results"
ln -s "$camp/src" "$camp/enc" "$camp/manifest.txt" "$dir/local/"
for ((k = 0; k < lines; k++)); do
  (cd "$dir/local" && SLURM_ARRAY_TASK_ID=$k sh "$example" >/dev/null 2>&1) ||
    fail "line $k fails when run locally"
done

# The Kubernetes Job's command, as written, with the index Kubernetes would give each pod.
if python3 -c 'import yaml' 2>/dev/null; then
  # The first container's command, wherever the Job's nesting puts it.
  k8s_command=$(python3 -c 'import sys, yaml
def find(node):
    if isinstance(node, dict):
        if "containers" in node:
            return node["containers"][0]["command"][2]
        node = list(node.values())
    if isinstance(node, list):
        for child in node:
            found = find(child)
            if found is not None:
                return found
    return None
print(find(yaml.safe_load(open(sys.argv[1]))))' "$k8s_example")
  mkdir -p "$dir/k8s"
  ln -s "$camp/src" "$camp/enc" "$camp/manifest.txt" "$dir/k8s/"
  for ((k = 0; k < lines; k++)); do
    (cd "$dir/k8s" && JOB_COMPLETION_INDEX=$k sh -c "$k8s_command" >/dev/null 2>&1) ||
      fail "the Kubernetes Job's command fails for index $k"
    cmp -s "$dir/k8s/results/$k.json" "$dir/local/results/$k.json" ||
      fail "the Kubernetes Job's command gives another result for line $k"
  done
  say "the Kubernetes Job's command gives the local results"
else
  say "the Kubernetes Job's command not checked: Python's yaml module is missing"
fi

# Hidden files in results/ other than the lock files: temporary files left behind.
leftovers() { find results -name '.*' ! -name '.*.lock' -printf '%f\n'; }
# The job id in sbatch's "Submitted batch job N".
submitted() { sed -n 's/^Submitted batch job \([0-9]*\)$/\1/p' | head -1; }
# Waits (at most $2 s) until job $1 has no task left but the slow one, which holds its outputs.
wait_for_slow_task() {
  local job=$1 limit=$2
  for _ in $(seq $((limit * 5))); do
    if [ "$(squeue -h -r -j "$job" -o %K 2>/dev/null | tr -d ' ')" = "$slow" ] &&
      [ -n "$(leftovers)" ]; then
      return 0
    fi
    sleep 0.2
  done
  squeue -j "$job" >&2 || true
  fail "job $job: after $limit s the slow task is not the only one left, writing its outputs"
}
wait_for_job() {
  local job=$1 limit=$2
  for _ in $(seq $((limit * 5))); do
    [ -z "$(squeue -h -j "$job" -o %i 2>/dev/null)" ] && return 0
    sleep 0.2
  done
  fail "job $job has not ended after $limit s"
}
# Every result against the local run's; the one line given as $1 read from a pipe, whose length
# is not known beforehand, apart from that.
same_as_local() {
  local unknown='del(.inputs[1].length, .inputs[1].length_known)'
  for ((k = 0; k < lines; k++)); do
    if [ "$k" = "${1:-}" ]; then
      [ "$(jq -S "$unknown" "results/$k.json")" = "$(jq -S "$unknown" "$dir/local/results/$k.json")" ]
    else
      cmp -s "results/$k.json" "$dir/local/results/$k.json"
    fi || fail "results/$k.json differs from the local run's"
  done
  [ -z "$(leftovers)" ] || fail "temporary files left behind: $(leftovers)"
}
make_slow() { mv enc/slow.y4m enc/slow.real && mkfifo enc/slow.y4m; }
make_whole() { rm enc/slow.y4m && mv enc/slow.real enc/slow.y4m; }

say "the array: $lines lines, the last one slow (its encode a pipe nobody writes yet)"
make_slow
first=$(sh "$example" | submitted)
[ -n "$first" ] || fail "sbatch printed no job id"
wait_for_slow_task "$first" 120
for ((k = 0; k < lines - 1; k++)); do
  [ -f "results/$k.json" ] || fail "line $k has no result; its log: $(cat "logs/${first}_$k.out" 2>&1)"
done
say "array $first: lines 0 to $((lines - 2)) done; line $slow running"

say "kill the slow task (SIGKILL, as an out-of-memory kill), then resubmit"
scancel --batch --signal=KILL "${first}_$slow"
wait_for_job "$first" 60
[ -n "$(leftovers)" ] || fail "the killed task left no temporary file: nothing was checked"
make_whole
second=$(timeout 180 sh "$example" --wait | submitted) || fail "the resubmitted array failed"
for ((k = 0; k < lines; k++)); do
  log=logs/${second}_$k.out
  if [ "$k" = "$slow" ]; then
    grep -q PSNR "$log" || fail "line $k did not run: $(cat "$log")"
    grep -q skipped "$log" && fail "line $k was skipped: $(cat "$log")"
  else
    grep -qx "vidqual: skipped line $k: output exists" "$log" ||
      fail "line $k was not skipped: $(cat "$log")"
  fi
done
same_as_local
say "array $second: the finished lines skipped, the killed one completed, nothing left behind"

say "lock check: a second array submitted while the first still writes the slow line"
rm "results/$slow.json"
make_slow
third=$(sh "$example" | submitted)
wait_for_slow_task "$third" 120
fourth=$(timeout 180 sh "$example" --wait | submitted) || fail "the second array failed"
grep -qx "vidqual: skipped line $slow: another task is writing its outputs" \
  "logs/${fourth}_$slow.out" || fail "line $slow ran twice: $(cat "logs/${fourth}_$slow.out")"
timeout 60 sh -c 'cat enc/slow.real >enc/slow.y4m' || fail "nobody read the slow line's pipe"
wait_for_job "$third" 60
make_whole
grep -q PSNR "logs/${third}_$slow.out" || fail "line $slow did not complete: $(cat "logs/${third}_$slow.out")"
same_as_local "$slow"
say "array $fourth skipped the line array $third was writing; it completed once"

order=$(jq -s -c 'sort_by(.manifest_index) | map(.manifest_index)' results/*.json)
[ "$order" = "[0,1,2,3,4,5]" ] || fail "the merged results are in the order $order"
say "the Slurm campaign passed in $((SECONDS - started)) s"
