#!/usr/bin/env python3
"""Writes models.cpp, the bundled VMAF models as C++ constants, from libvmaf's JSON model files.

Usage: make_models.py MODEL_DIR > models.cpp   (MODEL_DIR: the model/ folder of Netflix/vmaf)

A bootstrap model (a document of models "0", "1", ...) is written as its first model with the
others as its members. The numbers are written with Python's repr, the shortest text that reads back as the same
double, so the compiled constants equal what a reader of the JSON files gets. The support
vectors stay in libsvm's text form, read at start by the same reader as model=path: files.
"""
import json
import sys

# Each bundled model's name and its file under MODEL_DIR.
MODELS = [
    ("vmaf_v0.6.1", "vmaf_v0.6.1.json"),
    ("vmaf_v0.6.1neg", "vmaf_v0.6.1neg.json"),
    ("vmaf_4k_v0.6.1", "vmaf_4k_v0.6.1.json"),
    ("vmaf_4k_v0.6.1neg", "vmaf_4k_v0.6.1neg.json"),
    ("vmaf_b_v0.6.3", "vmaf_b_v0.6.3.json"),
    ("vmaf_v1.0.16_3d0h", "vmaf_v1.0.16/vmaf_v1.0.16_3d0h.json"),
    ("vmaf_v1.0.16_5d0h", "vmaf_v1.0.16/vmaf_v1.0.16_5d0h.json"),
    ("vmaf_v1.0.16_1d5h_2160", "vmaf_v1.0.16/vmaf_v1.0.16_1d5h_2160.json"),
    ("vmaf_v1.0.16_3d0h_2160", "vmaf_v1.0.16/vmaf_v1.0.16_3d0h_2160.json"),
    ("vmaf_v1.0.16_hfr_3d0h", "vmaf_v1.0.16_hfr/vmaf_v1.0.16_hfr_3d0h.json"),
    ("vmaf_v1.0.16_hfr_5d0h", "vmaf_v1.0.16_hfr/vmaf_v1.0.16_hfr_5d0h.json"),
    ("vmaf_v1.0.16_hfr_1d5h_2160", "vmaf_v1.0.16_hfr/vmaf_v1.0.16_hfr_1d5h_2160.json"),
    ("vmaf_v1.0.16_hfr_3d0h_2160", "vmaf_v1.0.16_hfr/vmaf_v1.0.16_hfr_3d0h_2160.json"),
]

NOTICE = """// clang-format off
// The VMAF models bundled with the tool, as C++ constants. Written by make_models.py from the
// JSON model files of Netflix's vmaf repository; do not edit by hand.
//
// The models are Netflix's, under the BSD-2-Clause-Patent licence:
//"""


def number(x):
    if isinstance(x, bool) or not isinstance(x, (int, float)):
        raise SystemExit(f"not a number: {x!r}")
    return repr(float(x))


def option_text(key, value):
    # libvmaf writes numeric option values in their shortest form ("1.0" is "1"). A feature's
    # options are listed by name, as the reader of model files lists them.
    if isinstance(value, bool):
        return f"{key}={'true' if value else 'false'}"
    if isinstance(value, (int, float)):
        v = float(value)
        return f"{key}={int(v)}" if v.is_integer() else f"{key}={v!r}"
    return f"{key}={value}"


def cstr(s):
    return json.dumps(s)


def model_entry(out, tag, name, d):
    """Writes one model's arrays to `out` under names ending in `tag`; returns its table entry."""
    if d["model_type"] not in ("LIBSVMNUSVR", "BOOTSTRAP_LIBSVMNUSVR"):
        raise SystemExit(f"{name}: model type {d['model_type']}")
    features = d["feature_names"]
    opts = d.get("feature_opts_dicts", [{} for _ in features])
    if len(opts) != len(features):
        raise SystemExit(f"{name}: options for {len(opts)} of {len(features)} features")
    n = len(features)
    st = d.get("score_transform")
    clip = d.get("score_clip")
    out.append(f"const char* const kFeatures{tag}[] = {{{', '.join(cstr(f) for f in features)}}};")
    out.append(
        f"const char* const kOptions{tag}[] = {{"
        + ", ".join(cstr(":".join(option_text(k, v) for k, v in sorted(o.items()))) for o in opts)
        + "};"
    )
    out.append(f"const double kSlopes{tag}[] = {{{', '.join(number(x) for x in d['slopes'])}}};")
    out.append(
        f"const double kIntercepts{tag}[] = {{{', '.join(number(x) for x in d['intercepts'])}}};"
    )
    if len(d["slopes"]) != n + 1 or len(d["intercepts"]) != n + 1:
        raise SystemExit(f"{name}: slopes and intercepts are not one per feature plus one")
    out.append(f"const char kSvm{tag}[] =")
    for line in d["model"].split("\n"):
        if line:
            out.append(f"    {cstr(line + chr(10))}")
    out[-1] += ";"
    out.append("")
    t = ["false", "false", "false", "false", "0.0", "0.0", "0.0", "false", "false"]
    if st:
        for k in st:
            if k not in ("enabled", "p0", "p1", "p2", "out_gte_in", "out_lte_in"):
                raise SystemExit(f"{name}: score_transform key {k} not bundled")
        t[0] = "true" if st.get("enabled") is True else "false"
        for j, p in enumerate(("p0", "p1", "p2")):
            if st.get(p) is not None:
                t[1 + j] = "true"
                t[4 + j] = number(st[p])
        t[7] = "true" if st.get("out_lte_in") == "true" else "false"
        t[8] = "true" if st.get("out_gte_in") == "true" else "false"
    if d["norm_type"] not in ("linear_rescale", "none"):
        raise SystemExit(f"{name}: norm type {d['norm_type']}")
    ccp = d.get("chroma_correction_parameter")
    return (
        f"{{{cstr(name)}, {n}, kFeatures{tag}, kOptions{tag}, kSlopes{tag}, kIntercepts{tag},\n"
        f"     {'true' if d['norm_type'] == 'linear_rescale' else 'false'}, "
        f"{'true' if clip else 'false'}, {number(clip[0]) if clip else '0.0'}, "
        f"{number(clip[1]) if clip else '0.0'},\n"
        f"     {{{', '.join(t)}}}, kSvm{tag}, {'true' if ccp is not None else 'false'}, "
        f"{number(ccp) if ccp is not None else '0.0'}"
    )


def main():
    model_dir = sys.argv[1]
    licence = open(f"{model_dir}/../LICENSE").read().rstrip("\n").split("\n")
    out = [NOTICE]
    out += [("// " + line).rstrip() for line in licence]
    out += ["", '#include "metrics/vmaf/model.h"', "", "namespace vq::vmaf {", "", "namespace {", ""]
    entries = []
    for i, (name, path) in enumerate(MODELS):
        doc = json.load(open(f"{model_dir}/{path}"))
        if "model_dict" in doc:
            entry = model_entry(out, str(i), name, doc["model_dict"])
            entries.append(f"    {entry}, nullptr, 0}},")
            continue
        # A bootstrap model: "0" gives the score, "1", "2", ... are its members.
        count = 0
        while str(count + 1) in doc:
            count += 1
        members = [
            model_entry(out, f"{i}_{k}", f"{name}_{k:04d}", doc[str(k)]["model_dict"])
            for k in range(1, count + 1)
        ]
        out.append(f"const BundledModel kMembers{i}[] = {{")
        out += [f"    {m}, nullptr, 0}}," for m in members]
        out.append("};")
        out.append("")
        entry = model_entry(out, f"{i}_0", name, doc["0"]["model_dict"])
        entries.append(f"    {entry}, kMembers{i}, {count}}},")
    out.append("}  // namespace")
    out.append("")
    out.append("const BundledModel kBundledModels[] = {")
    out += entries
    out.append("};")
    out.append("const int kBundledModelCount = sizeof kBundledModels / sizeof kBundledModels[0];")
    out.append("")
    out.append("}  // namespace vq::vmaf")
    print("\n".join(out))


main()
