#!/bin/sh
# examples/slurm-campaign.sh: a campaign as a Slurm job array, one manifest line per task.
#
# Run it with sh (not sbatch) from the campaign's folder, which holds manifest.txt:
#   sh slurm-campaign.sh [sbatch options]
# It makes the folders the tasks write into (Slurm opens a task's log before the task starts: a
# missing logs/ fails every task with no log), then submits itself as an array of one task per
# line of the manifest, at most 16 at once. Every task starts in this folder, so the relative
# paths here and in the manifest are read from it. Each task asks for 4 CPUs and scores on as
# many threads: a node must have 4 CPUs for a task to start on it (sbatch refuses otherwise;
# give --cpus-per-task=N on the command line to change it). A requeued task appends to its log.
# A task whose line is done, or is being written by another task, skips it; resubmitting runs
# only the lines without a result.
#SBATCH --job-name=vidqual-campaign
#SBATCH --cpus-per-task=4
#SBATCH --output=logs/%A_%a.out
#SBATCH --open-mode=append
set -eu
if [ -z "${SLURM_ARRAY_TASK_ID:-}" ]; then
  mkdir -p logs results
  lines=$(tr -d '\r' < manifest.txt | grep -cvE '^[[:blank:]]*(#|$)')
  exec sbatch --array="0-$((lines - 1))%16" "$@" "$0"
fi
exec vidqual --manifest=manifest.txt --manifest-index=env:SLURM_ARRAY_TASK_ID \
  --threads="${SLURM_CPUS_PER_TASK:-4}" --preset=aom-ctc-v7.0 --json='results/{index}.json'
