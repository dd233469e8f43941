#!/usr/bin/env python3
# Runs `vidqual --bd-rate` over AOM's published CTC results (each release against its anchor, every
# configuration, the adaptive-streaming ladders through their hulls) and compares every cell with
# AOM's published Bdrate-Summary-AV1-vs-AV2.csv, which is rounded to four decimals: a cell agrees
# within 1e-4, and AOM's 0.0 for a curve its script could not compute agrees with an empty cell.
# Prints the disagreements, the counts and the time vidqual took (wall and processor, the start-up
# of each run included); exits 1 when a cell disagrees.
# Usage: check_aom.py VIDQUAL CTC_RESULT_DIR [--keep DIR]
#   CTC_RESULT_DIR: tools/convexhull_framework/ctc_result of a checkout of AOMediaCodec/avm.
#   --keep DIR: write the CSV of each comparison there (as TAG-CFG.csv).
import csv
import os
import resource
import subprocess
import sys
import tempfile
import time

# Release tag -> folder, as AOM's summary names them; its anchors after.
FOLDERS = {
    "v01.0.0": "AV2-CTC-v1.0.0-alt-anchor-r4.0",
    "v01.0.0-scale": "AV2-CTC-v1.0.0-alt-anchor-r4.0-scale",
    "libaom-v3.12.0": "AV1-CTC-v3.12.0-constrained",
    "libaom-v3.12.0-unconstrained": "AV1-CTC-v3.12.0-unconstrained",
    **{"v%02d.0.0" % n: "AV2-CTC-v%d.0.0" % n for n in range(2, 13)},
    "v13.0.0": "AV2-CTC-v13.0.0-scale",
}
ANCHOR = {"v13.0.0": "v01.0.0-scale"}
FILES = {"AI": "AI", "LD": "LD", "RA": "RA", "Still": "STILL", "AS": "AS"}
METRICS = ["psnr_y", "psnr_u", "psnr_v", "overall_psnr", "ssim_y", "ms_ssim_y", "vmaf",
           "vmaf_neg", "psnr_hvs", "ciede2k", "apsnr_y", "apsnr_u", "apsnr_v", "overall_apsnr"]


def table(root, tag, cfg):
    codec = "av1" if tag.startswith("libaom") else "av2"
    return os.path.join(root, FOLDERS[tag], "RDResults_aom_%s_%s_Preset_0.csv" % (codec, FILES[cfg]))


def main():
    if len(sys.argv) not in (3, 5):
        sys.exit(__doc__ or "usage: check_aom.py VIDQUAL CTC_RESULT_DIR [--keep DIR]")
    vidqual, root = sys.argv[1], sys.argv[2]
    keep = sys.argv[4] if len(sys.argv) == 5 else tempfile.mkdtemp()
    published = {}
    with open(os.path.join(root, "Bdrate-Summary-AV1-vs-AV2.csv")) as f:
        for row in csv.DictReader(f):
            published[(row["tag"], row["cfg"], row["video"])] = row
    checked = bad = 0
    seconds = 0.0
    for tag in FOLDERS:
        if tag in ("v01.0.0", "v01.0.0-scale"):
            continue
        for cfg in FILES:
            out = os.path.join(keep, "%s-%s.csv" % (tag, cfg))
            start = time.perf_counter()
            run = subprocess.run([vidqual, "--bd-rate", table(root, ANCHOR.get(tag, "v01.0.0"), cfg),
                                  table(root, tag, cfg), "--csv=" + out],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            seconds += time.perf_counter() - start
            if run.returncode != 0:
                print("%s %s: vidqual failed: %s" % (tag, cfg, run.stderr.strip()))
                bad += 1
                continue
            with open(out) as f:
                for row in csv.DictReader(f):
                    aom = published.get((tag, cfg, row["video"]))
                    if aom is None:
                        continue  # AOM's script leaves out sequences without six QPs each
                    for m in METRICS:
                        ours = float(row[m]) if row[m] else 0.0
                        checked += 1
                        if abs(ours - float(aom[m])) > 1e-4 + 1e-9:
                            bad += 1
                            print("%s %s %s %s: vidqual %s, AOM %s" % (tag, cfg, row["video"], m,
                                                                     row[m] or "(none)", aom[m]))
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    print("%d cells agree, %d disagree; vidqual took %.3f s (%.3f s of processor time)"
          % (checked - bad, bad, seconds, used.ru_utime + used.ru_stime))
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
