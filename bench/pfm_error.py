"""Relative errors of float maps (.pfm, as rt and bench/cycles_scene.py write
them) against a reference:

    python3 bench/pfm_error.py REFERENCE PICTURE...     one line a picture:
        the relative RMS error, sqrt(sum (x - r)^2 / sum r^2) over every pixel
        and channel of the linear colours
    python3 bench/pfm_error.py -pixels A B X,Y...       the colours of A and
        B at the pixels named (x from the left, y from the top), and the
        largest relative difference between them
"""
import math
import struct
import sys


def read_pfm(path):
    with open(path, "rb") as f:
        data = f.read()
    magic, size, scale, rest = data.split(b"\n", 3)
    w, h = map(int, size.split())
    if magic != b"PF" or float(scale) >= 0 or len(rest) != w * h * 12:
        sys.exit("%s: not a little-endian colour float map" % path)
    return w, h, struct.unpack("<%df" % (w * h * 3), rest)


def relative_error(ref, pic):
    num = sum((a - b) * (a - b) for a, b in zip(pic, ref))
    den = sum(b * b for b in ref)
    return math.sqrt(num / den)


def main():
    if sys.argv[1] == "-pixels":
        wa, ha, a = read_pfm(sys.argv[2])
        _, _, b = read_pfm(sys.argv[3])
        worst = 0.0
        for spot in sys.argv[4:]:
            x, y = map(int, spot.split(","))
            k = 3 * ((ha - 1 - y) * wa + x)  # rows bottom to top
            print("%s: %.4f %.4f" % (spot, a[k], b[k]))
            worst = max(worst, abs(a[k] - b[k]) / max(abs(a[k]), 1e-9))
        print("largest difference: %.2f %%" % (100 * worst))
        return
    w, h, ref = read_pfm(sys.argv[1])
    for path in sys.argv[2:]:
        pw, ph, pic = read_pfm(path)
        if (pw, ph) != (w, h):
            sys.exit("%s: another size than the reference" % path)
        print("%.6f" % relative_error(ref, pic))


if __name__ == "__main__":
    main()
