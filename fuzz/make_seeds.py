#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz harnesses (fuzz/corpus/<harness>/).

The seeds are well-formed exchanges of every operation and instruction,
with and without checksums, whole, in chunks, late, refused and noisy, so
that the fuzzer starts from inputs that reach the decoders.  Run it again
after changing an input layout; the files are committed.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def csum(text):
    return "%02X" % (sum(text.encode("latin-1")) & 0xFF)


def line(text, checksum):
    return text + (csum(text) if checksum else "")


def records(pieces):
    """pieces: list of (delay, bytes)."""
    out = b""
    for delay, data in pieces:
        data = data.encode("latin-1") if isinstance(data, str) else data
        while data:
            chunk, data = data[:63], data[63:]
            out += bytes([delay, len(chunk)]) + chunk
            delay = 0
    return out


def tmo(ms):
    return struct.pack("<H", ms - 5)


def shapes(reply):
    """The same reply whole, in pieces, with noise first, and late."""
    third = max(1, len(reply) // 3)
    yield "whole", [(0, reply + "\r")]
    yield "chunks", [(0, reply[:third]), (3, reply[third:2 * third]), (5, reply[2 * third:] + "\r")]
    yield "noise", [(0, "\x00xx"), (1, reply + "\r")]
    yield "late", [(40, reply + "\r")]


def write(harness, name, data):
    d = os.path.join(HERE, "corpus", harness)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---------------------------------------------------------------------------
# reply: [op][flags][addr u16][timeout u16][p0..p5] records...
READ_DIO, WRITE_DO, READ_COUNTER, CLEAR_COUNTER, READ_AIN, WRITE_AO, HOST_CMD = range(7)

reply_cases = [
    ("readDIO", READ_DIO, 1, bytes(6), ">", "00FF"),
    ("writeDO2", WRITE_DO, 10, struct.pack("<hb", 0x0F, 2) + bytes(3), ">", ""),
    ("writeDO4", WRITE_DO, 10, struct.pack("<hb", 0x0F, 4) + bytes(3), ">", ""),
    ("readDICounter", READ_COUNTER, 1, bytes([0]) + bytes(5), "!", "0100123"),
    ("clearDICounter", CLEAR_COUNTER, 1, bytes([0]) + bytes(5), "!", "01"),
    ("readAIN-dec", READ_AIN, 3, bytes([0, 7]) + bytes(4), ">", "+05.123" * 7 + "-10.500"),
    ("readAIN-hex", READ_AIN, 3, bytes([2, 7]) + bytes(4), ">", "7FFF0000FFFF1234" * 2),
    ("readAIN-hexminus", READ_AIN, 3, bytes([2, 7]) + bytes(4), ">", "7FFF-0000" + "1234" * 6),
    ("writeAO", WRITE_AO, 2, bytes([1]) + struct.pack("<f", 5.0) + bytes(1), ">", ""),
    ("HostCmd0", HOST_CMD, 1, bytes([0]) + bytes(5), "!", "0104"),
    ("HostCmd1", HOST_CMD, 1, bytes([1]) + bytes(5), "!", "01"),
    ("HostCmd2", HOST_CMD, 1, bytes([2]) + bytes(5), "!", "01164"),
    ("HostCmd3", HOST_CMD, 1, bytes([3]) + struct.pack("<h", 100) + bytes([1, 0, 0]), "!", "01"),
]

for name, op, addr, params, start, data in reply_cases:
    for cs in (0, 1):
        for shape, pieces in shapes(line(start + data, cs)):
            head = bytes([op, cs]) + struct.pack("<H", addr) + tmo(20) + params
            write("reply", "%s-%s%s" % (name, shape, "-cs" if cs else ""), head + records(pieces))
    head = bytes([op, 2]) + struct.pack("<H", addr) + tmo(20) + params
    write("reply", name + "-refused", head + records([(0, "?" + start + data + "\r")]))
    write("reply", name + "-silent", head)
    write("reply", name + "-lowersum", bytes([op, 1]) + head[2:] +
          records([(0, start + data + csum(start + data).lower() + "\r")]))

# ---------------------------------------------------------------------------
# instr: [ins][flags][timeout u16][ms per poll][drain][seed]
#        5 x (val u32, isfloat u8)  [n] script1 script2
def word(v):
    return struct.pack("<hH", v, 0) + b"\x00"


def flt(v):
    return struct.pack("<f", v) + b"\x01"


def out(isfloat=False):
    return struct.pack("<I", 0) + (b"\x01" if isfloat else b"\x00")


instr_cases = [
    ("I7017", 0, [word(3), word(0), out(True), out()], ">", "+05.123" * 8, None),
    ("I7017-hex", 0, [word(3), word(2), out(False), out()], ">", "7FFF" * 8, None),
    ("I7018", 1, [word(3), word(1), out(True), out(), out()], ">", "+05.123" * 7 + "-0.5000", None),
    ("I7024", 2, [word(2), word(1), flt(5.0), out()], ">", "", None),
    ("I7041", 3, [word(1), word(1), out(), out()], ">", "3FFF", None),
    ("I7043", 4, [word(1), word(0x1234), out()], ">", "", None),
    ("I7052", 5, [word(1), out(), out()], ">", "A500", None),
    ("I7053", 6, [word(1), word(-1), out(), out()], ">", "0F0F", None),
    ("I7060", 7, [word(1), word(0x13), out(), out()], ">", "", ">000E"),
    ("I7065", 8, [word(1), word(0x13), out(), out()], ">", "", ">000E"),
    ("I7RDC", 9, [word(1), word(15), out(True), out()], "!", "0111170", None),
    ("I7RDC-word", 9, [word(1), word(0), out(False), out()], "!", "0111170", None),
    ("I7CDC", 10, [word(1), word(0), out()], "!", "01", None),
    ("I7RSMS", 11, [word(1), out()], "!", "01", None),
    ("I7RDMS", 12, [word(1), out(), out()], "!", "0104", None),
    ("I7SHWV", 13, [word(1), word(255), out()], "!", "01", None),
    ("I7HOK", 14, [out()], "", "", None),
]

for name, ins, operands, start, data, second in instr_cases:
    operands = (operands + [out()] * 5)[:5]
    for cs in (0, 1):
        for flags, tag in ((cs, ""), (cs | 2, "-debug"), (cs | 0x10, "-gate-closed"), (cs | 0x80, "-rung-false")):
            s1 = records([(0, line(start + data, cs) + "\r")]) if start else b""
            s2 = records([(2, line(second, cs) + "\r")]) if second else b""
            head = bytes([ins, flags]) + tmo(20) + bytes([1, 3, 0x40])
            body = b"".join(operands) + bytes([len(s1)]) + s1 + s2
            write("instr", "%s%s%s" % (name, tag, "-cs" if cs else ""), head + body)
    head = bytes([ins, 2]) + tmo(20) + bytes([1, 0xFF, 0x40])
    write("instr", name + "-silent", head + b"".join(operands) + b"\x00")
    bad = [word(256)] + operands[1:]
    write("instr", name + "-badaddr", bytes([ins, 2]) + tmo(20) + bytes([1, 3, 0x40]) + b"".join(bad) + b"\x00")

# ---------------------------------------------------------------------------
# cmdline: the option string itself.
cmdlines = {
    "empty": "",
    "blanks": " \t  \t",
    "all": "COMPORT=2 BAUD=96 TIMEOUT=100 CHECKSUM DEBUG",
    "lower": "baud=1152 timeout=5 checksum debugging",
    "baud9600": "BAUD=9600",
    "timeout-neg": "TIMEOUT=-1",
    "timeout-501": "TIMEOUT=501",
    "comport0": "COMPORT=0",
    "comport-blank": "COMPORT= 3",
    "comport-suffix": "COMPORT=3X\tDEBUG",
    "unknown": "FOO DEBUG",
    "trailing": "DEBUG \t ",
    "huge": "TIMEOUT=99999999999999999999",
    "long": "DEBUG " * 40,
    "noblank": "X" * 300,
    "cut": " " * 190 + "COMPORT=3",
}
for name, text in cmdlines.items():
    write("cmdline", name, text.encode())

# ---------------------------------------------------------------------------
# capture: the text of a capture file (the monitor's --replay).  Committed
# besides these: "run-of-the-sample-ladder", a capture of the sample ladder
# on the sample plant.
def capture(chunks, tail="\n"):
    text = "# veldran capture 1: microseconds, tx|rx|line, bytes\n"
    return (text + "\n".join("%d %s %s" % c for c in chunks) + tail).encode("latin-1")


def exchanges(cs, direction=("tx", "rx")):
    tx, rx = direction
    cmds = [("#01", ">+01.000+02.500-03.250+00.000+05.123-10.500+09.999+00.250"),
            ("#02", ">20004000-0000000000007FFFE0001000"), ("#030+05.000", ">"), ("@04", ">2A55"),
            ("@051234", ">"), ("@06", ">A500"), ("@083", ">"), ("@08", ">030E"), ("#040", "!0400123"),
            ("$04C1", "!04"), ("~050", "!0504"), ("~051", "!05"), ("~05132", "!05"), ("~0531FF", "!05"),
            ("~052", "!05132"), ("$05M", "!057043"), ("$05F", "!05A2.01"), ("$012", "!01080602"),
            ("~05OPUMPS", "!05"), ("#07", "?07"), ("~**", None)]
    chunks, t = [], 100
    for cmd, reply in cmds:
        chunks.append((t, tx, line(cmd, cs).replace("\\", "\\\\") + "\\r"))
        t += 2500
        if reply:
            body = line(reply, cs)
            chunks.append((t, rx, body[:3]))
            chunks.append((t + 900, rx, body[3:] + "\\r"))
        t += 9000
    return chunks


for cs in (0, 1):
    tag = "-cs" if cs else ""
    write("capture", "host-side" + tag, capture(exchanges(cs)))
    write("capture", "heard-on-the-line" + tag, capture(exchanges(cs, ("line", "line"))))
write("capture", "faults", capture([
    (10, "tx", "#01\\r"), (300000, "tx", "#02\\r"), (301000, "rx", ">+01.000\\r"),
    (302000, "rx", "\\xFF\\x80>12\\r"), (303000, "tx", "@04\\r"), (303500, "tx", "@05\\r"),
    (304000, "rx", ">2A55\\r"), (305000, "rx", "!0099\\r"), (306000, "tx", "$01M\\r"),
    (307000, "rx", "!01\\x00name\\\\\\r")]))
write("capture", "torn", capture([(5, "tx", "#01\\r"), (3000, "rx", ">+01.0")], tail=""))
write("capture", "bad-line", capture([(5, "tx", "#01\\r"), (3, "rx", ">\\r")]))

print("seeds written", file=sys.stderr)
