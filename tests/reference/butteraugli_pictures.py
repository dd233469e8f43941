#!/usr/bin/env python3
"""butteraugli_pictures.py BUTTERAUGLI_MAIN: writes the synthetic RGB picture pairs of
tests/metrics/butteraugli_test.cpp as PNGs (8 or 16 bits, no colour chunks: sRGB) and prints the
table rows of that test: each pair's max norm and p-norm as libjxl's butteraugli_main prints them.
The pictures are exact functions of position (the test makes the same samples)."""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

M32 = 0xFFFFFFFF


def noise(x, y, c, seed):
    h = ((x * 73856093) ^ (y * 19349663) ^ ((c + 1) * 83492791) ^ (seed * 2654435761)) & M32
    h ^= h >> 15
    h = (h * 0x2C1B3C6D) & M32
    h ^= h >> 12
    return h % 17 - 8


def sample(x, y, c, depth, seed, distorted):
    base = (x * 9 + y * 5 + c * 70 + ((x // 4 + y // 4) % 2) * 60) % 256
    if depth == 16:
        v = base * 257 + (x * 31 + y * 17) % 257
        if distorted:
            v += noise(x, y, c, seed) * 200
        return min(max(v, 0), 65535)
    if distorted:
        base += noise(x, y, c, seed)
    return min(max(base, 0), 255)


def write_png(path, w, h, depth, distorted, seed):
    raw = bytearray()
    for y in range(h):
        raw.append(0)
        for x in range(w):
            for c in range(3):
                v = sample(x, y, c, depth, seed, distorted)
                raw += struct.pack(">H", v) if depth == 16 else bytes([v])

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & M32))

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        f.write(chunk(b"IEND", b""))


# width, height, depth, noise seed, intensity target (nits), p of the norm
PAIRS = [(64, 48, 8, 1, 80, 3), (64, 48, 8, 1, 250, 3), (40, 30, 16, 2, 80, 3),
         (23, 17, 8, 3, 80, 3), (9, 12, 8, 4, 80, 3), (8, 8, 8, 5, 80, 3), (64, 48, 8, 1, 80, 2.5)]


def main():
    tool = sys.argv[1]
    with tempfile.TemporaryDirectory() as d:
        for w, h, depth, seed, nits, p in PAIRS:
            a, b = os.path.join(d, "a.png"), os.path.join(d, "b.png")
            write_png(a, w, h, depth, False, seed)
            write_png(b, w, h, depth, True, seed)
            out = subprocess.run([tool, a, b, "--intensity_target", str(nits), "--pnorm", str(p)],
                                 check=True, capture_output=True, text=True).stdout.split("\n")
            norm = out[1].split(":")[1].strip()
            print(f"    {{{w}, {h}, {depth}, {seed}, {nits}, {p}, {out[0].strip()}, {norm}}},")


main()
