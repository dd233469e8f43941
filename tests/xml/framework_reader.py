#!/usr/bin/env python3
"""framework_reader.py REPORT.xml FRAMES.csv SCORE...: reads a VMAF-layout XML report as codec
test frameworks do (xml.etree, attributes by name) and checks it against the run's per-frame CSV
file; prints the size, frame count and aggregate names; status 1 on any difference."""
import csv
import sys
import xml.etree.ElementTree as ET


def main(xml_path, csv_path, scores):
    failures = []
    root = ET.parse(xml_path).getroot()
    params = root.find("params").attrib
    float(root.find("fyi").attrib["fps"])
    with open(csv_path, newline="") as f:
        rows = list(csv.DictReader(f))
    frames = root.findall("frames/frame")
    if root.tag != "VMAF" or len(frames) != len(rows):
        failures.append("root %s, %d frames for %d rows" % (root.tag, len(frames), len(rows)))
    for frame, row in zip(frames, rows):
        for name in ["frameNum"] + scores:
            want = str(int(row["pair"]) - 1) if name == "frameNum" else "%.6f" % float(row[name])
            if frame.attrib[name] != want:
                failures.append("pair %s %s: %s, not %s" % (row["pair"], name, frame.attrib[name], want))
    pooled = {m.attrib["name"]: m.attrib for m in root.findall("pooled_metrics/metric")}
    for name in scores:
        v = [float(row[name]) for row in rows]
        want = {"min": min(v), "max": max(v), "mean": sum(v) / len(v),
                "harmonic_mean": len(v) / sum(1.0 / (x + 1.0) for x in v) - 1.0}
        for method, value in want.items():
            if abs(float(pooled[name][method]) - value) > 1.5e-6:
                failures.append("%s %s: %s, not %.9f" % (name, method, pooled[name][method], value))
    aggregates = root.find("aggregate_metrics").attrib
    for failure in failures:
        print(failure, file=sys.stderr)
    print("%sx%s %d frames %s" % (params["qualityWidth"], params["qualityHeight"], len(frames),
                                  " ".join(sorted(aggregates))))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
