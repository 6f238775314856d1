#!/usr/bin/env python3
"""Writes the scenes of the scale benchmark into a folder (not committed data).

    bench/make_scale_scenes.py DIR [TRIANGLES ...]

For every count: DIR/bumpy-N.mesh, a bumpy sphere of about N triangles on a
grid of shared vertices (one normal per vertex, f i/i j/j k/k), and
DIR/bumpy-N.scene, which puts it on a floor under a light. Also
DIR/spheres-1000000.scene, one million small spheres. Render them with
    cd DIR && rt -nosdl -threads 2 -rays 1 -size 256x256 bumpy-N.scene
"""
import math
import os
import sys


def bumpy_mesh(path, triangles):
    n = max(4, int(round(math.sqrt(triangles / 2.0))))
    with open(path, "w") as out:
        w = out.write
        w("MESH3\n")
        rows = []
        for i in range(n + 1):
            theta = math.pi * i / n
            for j in range(n):
                phi = 2.0 * math.pi * j / n
                d = (math.sin(theta) * math.cos(phi), math.cos(theta), math.sin(theta) * math.sin(phi))
                r = 1.0 + 0.06 * math.sin(9.0 * theta) * math.cos(7.0 * phi)
                rows.append("v %.6f %.6f %.6f\n" % (d[0] * r, d[1] * r, d[2] * r))
        w("".join(rows))
        rows = []
        for i in range(n + 1):
            theta = math.pi * i / n
            for j in range(n):
                phi = 2.0 * math.pi * j / n
                rows.append("n %.6f %.6f %.6f\n" % (math.sin(theta) * math.cos(phi), math.cos(theta),
                                                   math.sin(theta) * math.sin(phi)))
        w("".join(rows))
        rows = []
        count = 0
        for i in range(n):
            for j in range(n):
                a = i * n + j + 1
                b = (i + 1) * n + j + 1
                c = (i + 1) * n + (j + 1) % n + 1
                d = i * n + (j + 1) % n + 1
                # The poles have one degenerate triangle a cell, as real meshes do.
                rows.append("f %d/%d %d/%d %d/%d\n" % (a, a, c, c, b, b))
                rows.append("f %d/%d %d/%d %d/%d\n" % (a, a, d, d, c, c))
                count += 2
            if len(rows) > 100000:
                w("".join(rows))
                rows = []
        w("".join(rows))
    return count


def main():
    folder = sys.argv[1]
    counts = [int(c) for c in sys.argv[2:]] or [10000, 100000, 1000000, 4000000]
    os.makedirs(folder, exist_ok=True)
    for c in counts:
        name = "bumpy-%d" % c
        real = bumpy_mesh(os.path.join(folder, name + ".mesh"), c)
        with open(os.path.join(folder, name + ".scene"), "w") as out:
            out.write("c p(0 2.2 -5.5) t(0 1.4 0) fov(45)\n")
            out.write("l p(-6 9 -6) c(0.6 0.6 0.55)\n")
            out.write("p n(0 1 0) d(0) kd(0.6 0.6 0.55) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n")
            out.write("m %s.mesh pos(0 1.5 0) rot(0 0 1 0) scale(1.4 1.4 1.4) kd(0.7 0.5 0.2) ks(0.2 0.2 0.2) "
                      "s(30) kr(0) ke(0 0 0)\n" % name)
        print("%s: %d triangles" % (name, real))
    with open(os.path.join(folder, "spheres-1000000.scene"), "w") as out:
        out.write("c p(0 5 -16) t(0 2 0) fov(45)\nl p(-6 9 -6) c(0.6 0.6 0.55)\n")
        state = 12345
        rows = []
        for i in range(1000000):
            vals = []
            for k in range(4):
                state = (state * 1664525 + 1013904223) % 4294967296
                vals.append((state >> 8) / 16777216.0)
            rows.append("s c(%.4f %.4f %.4f) r(%.4f) kd(0.5 0.5 0.5) ks(0 0 0) s(1) kr(0) ke(0 0 0)\n" %
                        (vals[0] * 14 - 7, vals[1] * 5 + 0.3, vals[2] * 14 - 7, 0.005 + vals[3] * 0.02))
            if len(rows) > 100000:
                out.write("".join(rows))
                rows = []
        out.write("".join(rows))


if __name__ == "__main__":
    main()
