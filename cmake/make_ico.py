#!/usr/bin/env python3
"""Writes a 32x32, 16-colour .ico from the character grid in icon.txt.

usage: make_ico.py icon.txt out.ico
"""
import struct
import sys

SIZE = 32


def read_grid(path):
    palette = {}
    rows = []
    for line in open(path, encoding="ascii"):
        line = line.rstrip("\n")
        if line.startswith("palette "):
            _, char, rgb = line.split()
            palette[char] = bytes.fromhex(rgb)
        elif line and " " not in line:  # the rest are comments
            rows.append(line)
    if len(rows) != SIZE or any(len(r) != SIZE for r in rows):
        sys.exit(f"{path}: want {SIZE} rows of {SIZE} characters")
    if len(palette) > 15:
        sys.exit(f"{path}: at most 15 colours beside the transparent one")
    return palette, rows


def ico(palette, rows):
    # index 0 is black, used under the transparent pixels
    chars = sorted(palette)
    index = {c: i + 1 for i, c in enumerate(chars)}
    index["."] = 0
    colours = [b"\0\0\0"] + [palette[c] for c in chars]
    colours += [b"\0\0\0"] * (16 - len(colours))
    table = b"".join(bytes((rgb[2], rgb[1], rgb[0], 0)) for rgb in colours)

    xor = b""
    mask = b""
    for row in reversed(rows):  # bitmaps run bottom-up
        for x in range(0, SIZE, 2):
            xor += bytes(((index[row[x]] << 4) | index[row[x + 1]],))
        bits = "".join("1" if c == "." else "0" for c in row)
        mask += int(bits, 2).to_bytes(SIZE // 8, "big")

    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + table + xor + mask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    palette, rows = read_grid(sys.argv[1])
    with open(sys.argv[2], "wb") as out:
        out.write(ico(palette, rows))


if __name__ == "__main__":
    main()
