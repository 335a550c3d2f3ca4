#!/usr/bin/env python3
"""Reads what `veldran-host run --log` and `veldran-host plot` wrote, as a
user's script would: the log with the csv module, the image's size and
pixels from the PNG itself (standard library only).

    check_log.py LOG.csv SCANS COLUMN=VALUE...     the log
    check_log.py --png IMAGE WIDTH HEIGHT          the plot

COLUMN=VALUE: every row has VALUE in COLUMN (a column named after the rung
and the operand, `R0.I7017@01h.AIN[3]`).  Exits 1 with the reason.
"""
import csv
import re
import struct
import sys
import zlib


def fail(msg):
    print("check_log: " + msg)
    sys.exit(1)


def check_csv(path, scans, expects):
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    if len(rows) != scans:
        fail("%d rows, expected %d" % (len(rows), scans))
    stamp = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
    for i, row in enumerate(rows):
        if None in row or None in row.values():
            fail("row %d has a different number of fields from the header" % (i + 1))
        if not stamp.match(row["time"]):
            fail("row %d: time %r is not ISO 8601 with milliseconds" % (i + 1, row["time"]))
        if int(row["scan"]) != i + 1:
            fail("row %d: scan %s" % (i + 1, row["scan"]))
        float(row["scan_ms"])
        for e in expects:
            col, want = e.split("=", 1)
            if col not in row:
                fail("no column %s in %s" % (col, sorted(row)))
            if row[col] != want:
                fail("row %d: %s is %s, expected %s" % (i + 1, col, row[col], want))
    if rows[0]["time"] > rows[-1]["time"]:
        fail("the times run backwards")


def png_pixels(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        fail("%s is no PNG" % path)
    pos, idat, ihdr = 8, b"", None
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + n
    width, height, depth, color = ihdr[:4]
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[color]
    bpp = max(1, channels * depth // 8)
    stride = (width * channels * depth + 7) // 8
    raw = zlib.decompress(idat)
    rows, prev = [], bytearray(stride)
    for y in range(height):
        ft = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - bpp] if x >= bpp else 0
            b = prev[x]
            c = prev[x - bpp] if x >= bpp else 0
            if ft == 1:
                line[x] = (line[x] + a) & 255
            elif ft == 2:
                line[x] = (line[x] + b) & 255
            elif ft == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif ft == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return width, height, rows


def check_png(path, width, height):
    w, h, rows = png_pixels(path)
    if (w, h) != (width, height):
        fail("%s is %dx%d, expected %dx%d" % (path, w, h, width, height))
    # Not blank: many rows differ from the background of the first.
    background = rows[0]
    drawn = sum(1 for r in rows if r != background)
    if drawn < h // 4:
        fail("%s is nearly blank: %d of %d rows hold anything" % (path, drawn, h))


if __name__ == "__main__":
    if sys.argv[1] == "--png":
        check_png(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    else:
        check_csv(sys.argv[1], int(sys.argv[2]), sys.argv[3:])
    print("check_log: ok")
