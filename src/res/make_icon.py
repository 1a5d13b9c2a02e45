#!/usr/bin/env python3
# make_icon.py: draws the program's icon, a 32 x 32, 16-colour terminal screen with a
# prompt and a block cursor, and writes it as velka.ico (run once; the .ico is kept).
import struct, sys

W = H = 32
# The 16 standard colours as (R, G, B); written as B, G, R, 0 in the palette.
PALETTE = [(0,0,0),(128,0,0),(0,128,0),(128,128,0),(0,0,128),(128,0,128),(0,128,128),
           (192,192,192),(128,128,128),(255,0,0),(0,255,0),(255,255,0),(0,0,255),
           (255,0,255),(0,255,255),(255,255,255)]
GREY, DARK, GREEN, BLACK, WHITE = 7, 8, 10, 0, 15
PROMPT = {(6, 7), (7, 8), (8, 9), (7, 10), (6, 11)}

def pixel(x, y):
    if 2 <= x <= 29 and 3 <= y <= 23:            # monitor case
        if 4 <= x <= 27 and 5 <= y <= 21:        # screen
            if (x, y) in PROMPT: return GREEN               # the '>' prompt
            if 11 <= x <= 22 and y == 9: return GREEN         # a line of text
            if 11 <= x <= 17 and y == 13: return GREEN
            if 19 <= x <= 21 and 12 <= y <= 14: return WHITE  # block cursor
            return BLACK
        return GREY
    if 12 <= x <= 19 and 24 <= y <= 26: return DARK  # stand
    if 8 <= x <= 23 and 27 <= y <= 28: return DARK
    return None  # transparent

def build():
    xor = bytearray()
    andmask = bytearray()
    for y in reversed(range(H)):                 # bottom-up rows
        row = [pixel(x, y) for x in range(W)]
        for x in range(0, W, 2):
            a, b = (row[x] or 0), (row[x + 1] or 0)
            xor.append((a << 4) | b)
        bits = 0
        for x in range(W):
            bits = (bits << 1) | (1 if row[x] is None else 0)
        andmask += struct.pack('>I', bits)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack('<IiiHHIIiiII', 40, W, H * 2, 1, 4, 0, len(xor) + len(andmask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(andmask)
    icondir = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', W, H, 16, 0, 1, 4, len(image), 6 + 16)
    return icondir + entry + image

if __name__ == '__main__':
    out = sys.argv[1] if len(sys.argv) > 1 else 'velka.ico'
    with open(out, 'wb') as f:
        f.write(build())
