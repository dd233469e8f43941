#!/usr/bin/env python3
"""Reads a VMAF-layout XML report as codec test frameworks read it (xml.etree, attributes by
name) and checks it against the per-frame CSV file of the same run.

usage: framework_reader.py REPORT.xml FRAMES.csv SCORE [SCORE...]
Exit status 0 when every check holds; otherwise each failure on stderr and status 1.
"""
import csv
import sys
import xml.etree.ElementTree as ET


def main(xml_path, csv_path, scores):
    failures = []
    root = ET.parse(xml_path).getroot()
    if root.tag != "VMAF" or "version" not in root.attrib:
        failures.append("root element is %r %r" % (root.tag, root.attrib))
    params = root.find("params")
    width, height = int(params.attrib["qualityWidth"]), int(params.attrib["qualityHeight"])
    float(root.find("fyi").attrib["fps"])

    with open(csv_path, newline="") as f:
        rows = list(csv.DictReader(f))
    frames = root.findall("frames/frame")
    if len(frames) != len(rows):
        failures.append("%d frames against %d rows" % (len(frames), len(rows)))
    for frame, row in zip(frames, rows):
        if int(frame.attrib["frameNum"]) != int(row["pair"]) - 1:
            failures.append("frameNum %s for pair %s" % (frame.attrib["frameNum"], row["pair"]))
        for name in scores:
            if frame.attrib[name] != "%.6f" % float(row[name]):
                failures.append("frame %s %s: %s against %s"
                                % (frame.attrib["frameNum"], name, frame.attrib[name], row[name]))

    pooled = {m.attrib["name"]: m.attrib for m in root.find("pooled_metrics").findall("metric")}
    for name in scores:
        values = [float(row[name]) for row in rows]
        want = {
            "min": min(values),
            "max": max(values),
            "mean": sum(values) / len(values),
            "harmonic_mean": len(values) / sum(1.0 / (v + 1.0) for v in values) - 1.0,
        }
        for method, value in want.items():
            if abs(float(pooled[name][method]) - value) > 1.5e-6:
                failures.append("%s %s: %s against %.9f" % (name, method, pooled[name][method], value))
    aggregates = root.find("aggregate_metrics").attrib
    for name in aggregates:
        float(aggregates[name])
    for failure in failures:
        print(failure, file=sys.stderr)
    print("%dx%d %d frames %s" % (width, height, len(frames), " ".join(sorted(aggregates))))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
