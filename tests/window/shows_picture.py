#!/usr/bin/env python3
"""Whether the screen shows a picture: shows_picture.py SCREEN.xwd PICTURE.ppm X Y

SCREEN is the frame buffer that Xvfb -fbdir keeps as an XWD file, PICTURE a
binary PPM as rt writes it ("P6\\nW H\\n255\\n"), and X, Y where its top left
pixel is on the screen. Exits 0 when every pixel is the same, else names the
first that differs.
"""
import struct, sys
xwd = open(sys.argv[1], 'rb').read()
f = struct.unpack('>25I', xwd[:100])
header_size, ncolors, byte_order, bpp, bpl = f[0], f[19], f[7], f[11], f[12]
masks = f[14:17]
data = xwd[header_size + 12 * ncolors:]
ppm = open(sys.argv[2], 'rb').read()
magic, size, depth, pix = ppm.split(b'\n', 3)
w, h = map(int, size.split())
x0, y0 = int(sys.argv[3]), int(sys.argv[4])
step = bpp // 8
order = 'little' if byte_order == 0 else 'big'
for y in range(h):
    for x in range(w):
        at = (y0 + y) * bpl + (x0 + x) * step
        v = int.from_bytes(data[at:at + step], order)
        rgb = tuple((v & m) >> ((m & -m).bit_length() - 1) for m in masks)
        if rgb != tuple(pix[3 * (y * w + x):3 * (y * w + x) + 3]):
            sys.exit("pixel (%d, %d) is %s on the screen, %s in the picture" % (x, y, rgb, tuple(pix[3 * (y * w + x):3 * (y * w + x) + 3])))
