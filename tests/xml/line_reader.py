#!/usr/bin/env python3
"""line_reader.py A.xml B.xml: reads two VMAF-layout XML logs line by line with one regular
expression per attribute, as AOM's CTC framework reads libvmaf's log (frame attributes by name,
pooled_metrics means by metric name, aggregate_metrics apsnr_y/cb/cr), and compares what each
yields: the same names, values within one unit of the sixth decimal. Prints the values read from
A and every difference; status 1 on any."""
import re
import sys

FRAME = ["psnr_y", "psnr_cb", "psnr_cr", "float_ssim", "psnr_hvs", "float_ms_ssim", "ciede2000",
         "vmaf", "cambi", "vmaf_neg"]
POOLED = ["vmaf", "vmaf_neg", "psnr_y", "psnr_cb", "psnr_cr", "float_ssim", "float_ms_ssim",
          "psnr_hvs", "ciede2000", "cambi"]


def read(path):
    found = {}
    with open(path) as log:
        for line in log:
            m = re.search(r"<frame\s+frameNum=\"(\d+)\"", line)
            if m:
                frame = m.group(1)
                found["frames"] = int(frame) + 1
            for name in FRAME:
                m = re.search(r"<frame\s+(.*)\s+" + name + r"=\"(\d+\.?\d*)\"", line)
                if m:
                    found["frame %s %s" % (frame, name)] = m.group(2)
            for name in POOLED:
                m = re.search(r"\"" + name + r"\".*\s+mean=\"(\d+\.?\d*)\"\s+", line)
                if m:
                    found["mean " + name] = m.group(1)
            m = re.search(r"aggregate_metrics\s+apsnr_y=\"(\d+\.?\d*)\"\s+apsnr_cb=\"(\d+\.?\d*)\""
                          r"\s+apsnr_cr=\"(\d+\.?\d*)\"", line)
            if m:
                for plane, value in zip(["y", "cb", "cr"], m.groups()):
                    found["apsnr_" + plane] = value
    return found


def main(a_path, b_path):
    a, b = read(a_path), read(b_path)
    failures = ["%s: %s in %s, %s in %s" % (k, a.get(k), a_path, b.get(k), b_path)
                for k in sorted(set(a) | set(b))
                if k not in a or k not in b or abs(float(a[k]) - float(b[k])) > 1.0000001e-6]
    for failure in failures:
        print(failure, file=sys.stderr)
    print(" ".join(sorted(k for k in a if not k.startswith("frame "))))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
