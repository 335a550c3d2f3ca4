#!/usr/bin/env python3
"""The generated parts of the user's manual, docs/manual.md.

    python3 scripts/manual.py update [--build DIR]   rewrite the generated parts in place
    python3 scripts/manual.py check  [--build DIR]   exit 1 when the manual differs from them
    python3 scripts/manual.py commands               list the manual's commands (JSON), for a runner

DIR is a native build tree (default build/native) holding `veldran-host`
and the `veldran.so` beside it.  Python 3 standard library only.

Generated regions
-----------------
A region is everything between two marker lines:

    <!-- generated:NAME -->
    ...
    <!-- end generated:NAME -->

and is rewritten from what the built tools report, never typed by hand.
NAME selects a function in GENERATORS below; each takes a `Tools` object
(the version, and `tools.host(ARGS...)` that runs the native veldran-host
and returns its standard output) and returns the region's Markdown.  An
unknown NAME, a marker without its end or a region opened twice is an
error.  To add a region: write its function, add it to GENERATORS, put the
two marker lines into the manual and run `update`.

The regions, each from the one place that knows it:
  title         the version, from the file VERSION;
  instructions  the instruction table, from `veldran-host list`;
  errors        the error-code table, from `veldran-host explain all` (the
                tools' one table of codes: name, meaning, causes, remedy);
  timing        wire time of each instruction at each baud rate with and
                without checksums, the smallest time-out and what a silent
                module costs, read from `veldran-host check` run on a ladder
                made from the instruction table.
This script computes none of the figures itself; it only reads the tools'
reports and lays them out.

Commands in the manual
----------------------
Every command shown to the reader is in a fenced block whose info string
is `sh` (a POSIX shell) or `bat` (a Windows command prompt), and the line
right before the opening fence is a run tag:

    <!-- run: ENV -->            run it; the block must succeed (exit 0)
    <!-- run: ENV exit=N -->     run it; it must exit with status N

ENV says where the commands run:
  bench   a command prompt in the release bundle's folder
          bench-tools-not-for-the-controller (under wine), with COM1 a
          module simulator running that folder's plant.toml;
  source  a POSIX shell at the top of the source tree after `make native`,
          build/native on PATH, VELDRAN_COM1 a simulator of
          examples/plant.toml.
Each line of a block is one command.  Output is shown in `text` blocks and
file contents in `toml` blocks, which are never run.  `check` fails for a
command block without a run tag or with an unknown ENV, and for a fenced
block of any other language or of none (```bash, ```console, ```), so
nothing reaches the reader unchecked.  tests/docs/manual_commands.py runs
the commands (the test docs.manual_commands); its top says how each ENV is
provided, and how a `text` block right after a command block is compared
with what the commands print.
"""
import argparse
import json
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MANUAL = os.path.join(ROOT, "docs", "manual.md")
RUN_ENVS = ("bench", "source")
COMMAND_LANGS = ("sh", "bat")
OUTPUT_LANGS = ("text", "toml")  # never run; any other fenced block is refused

BEGIN = re.compile(r"^<!-- generated:([a-z0-9-]+) -->$")
END = re.compile(r"^<!-- end generated:([a-z0-9-]+) -->$")
RUN_TAG = re.compile(r"^<!-- run: ([a-z]+)(?: exit=(\d+))? -->$")
FENCE = re.compile(r"^```(\S*)\s*$")


class ManualError(Exception):
    pass


class Tools:
    """What the generators may ask: the version and the built tools' output."""

    def __init__(self, build):
        self.build = build
        with open(os.path.join(ROOT, "VERSION"), encoding="utf-8") as f:
            self.version = f.readline().strip()

    def host(self, *args, ok=(0,)):
        exe = os.path.join(self.build, "veldran-host")
        if not os.path.exists(exe):
            raise ManualError(f"{exe} is missing (make native)")
        done = subprocess.run([exe, *args], capture_output=True, text=True, timeout=60)
        if done.returncode not in ok:
            raise ManualError(f"veldran-host {' '.join(args)} exited {done.returncode}: {done.stderr.strip()}")
        return done.stdout


def md_cell(text):
    return text.replace("|", "\\|")


# ---------------------------------------------------------------------------
# Generators.


def title(tools):
    return f"# veldran.tlm {tools.version}: user's manual\n"


# `veldran-host list`: a first line with the version, then per instruction
#    " 0  I7017    "Read 8 Analog Inputs"  4 operands"
# followed by one line per operand
#    "      Addr:     0x0005  len 1  word in"
LIST_INSTR = re.compile(r'^\s*(\d+)\s+(\S+)\s+"(.*)"\s+(\d+) operands?')
LIST_OPERAND = re.compile(r"^\s+(\S+)\s+(0x[0-9a-f]{4})\s+len (\d+)\s+(.+?)\s*$")


def parse_list(text):
    lines = text.splitlines()
    if not lines or not lines[0].startswith("veldran-host "):
        raise ManualError("veldran-host list: unexpected first line")
    table = []
    for line in lines[1:]:
        m = LIST_INSTR.match(line)
        if m:
            table.append({"name": m.group(2), "desc": m.group(3), "count": int(m.group(4)), "operands": []})
            continue
        m = LIST_OPERAND.match(line)
        if m and table:
            table[-1]["operands"].append(
                {"label": m.group(1), "code": m.group(2), "len": int(m.group(3)), "kind": m.group(4)})
            continue
        raise ManualError(f"veldran-host list: unexpected line {line!r}")
    for ins in table:
        if len(ins["operands"]) != ins["count"]:
            raise ManualError(f"veldran-host list: {ins['name']} has {ins['count']} operands, "
                              f"{len(ins['operands'])} listed")
    return table


def instructions(tools):
    table = parse_list(tools.host("list"))
    out = ["| instruction | description (as the host shows it) | operands in order: label, kind (code) |",
           "|---|---|---|"]
    for ins in table:
        ops = "; ".join(
            f"`{o['label']}` {o['kind']}" + (f" ×{o['len']}" if o["len"] != 1 else "") + f" ({o['code']})"
            for o in ins["operands"])
        out.append(f"| `{ins['name']}` | {md_cell(ins['desc'])} | {md_cell(ops)} |")
    return "\n".join(out) + "\n"


# `veldran-host explain all`: entries separated by a blank line, each
#    "1005 TIMEOUT: meaning"
#    "  likely causes:"            (optional, then one "    - cause" a line)
#    "  what to do: action"        (optional)
#    "  smallest TIMEOUT= (ms) ..." (1005 only: a header and a row per baud)
EXPLAIN_HEAD = re.compile(r"^(\d+) ([A-Z_]+): (.+)$")
EXPLAIN_TIMEOUT_ROW = re.compile(r"^    BAUD=(\d+)\s+(\d+) baud\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)$")


def parse_explain(text):
    entries = []
    for chunk in text.strip("\n").split("\n\n"):
        lines = chunk.splitlines()
        m = EXPLAIN_HEAD.match(lines[0])
        if not m:
            raise ManualError(f"veldran-host explain all: unexpected line {lines[0]!r}")
        e = {"code": int(m.group(1)), "name": m.group(2), "meaning": m.group(3), "causes": [], "action": "",
             "timeouts": []}
        rest, in_causes = lines[1:], False
        for i, line in enumerate(rest):
            if line == "  likely causes:":
                in_causes = True
            elif in_causes and line.startswith("    - "):
                e["causes"].append(line[6:])
            elif line.startswith("  what to do: "):
                in_causes = False
                e["action"] = line[len("  what to do: "):]
            elif line.startswith("  smallest TIMEOUT= (ms)") and not e["timeouts"]:
                in_causes = False
                for row in rest[i + 1:]:
                    r = EXPLAIN_TIMEOUT_ROW.match(row)
                    if not r:
                        raise ManualError(f"veldran-host explain all: unexpected time-out row {row!r}")
                    e["timeouts"].append([int(g) for g in r.groups()])
                break
            else:
                raise ManualError(f"veldran-host explain all: unexpected line {line!r} in {e['code']}")
        entries.append(e)
    if not entries or entries[0]["code"] != 0:
        raise ManualError("veldran-host explain all: no entry for 0")
    return entries


def errors(tools):
    entries = parse_explain(tools.host("explain", "all"))
    out = ["| code | name | meaning | likely causes | what to do |", "|---|---|---|---|---|"]
    timeouts = []
    for e in entries:
        out.append(f"| {e['code']} | `{e['name']}` | {md_cell(e['meaning'])} | {md_cell('; '.join(e['causes']))} "
                   f"| {md_cell(e['action'])} |")
        if e["timeouts"]:
            timeouts.append(e)
    for e in timeouts:
        out += ["", f"The entry of {e['code']} (\"the table below\") adds the smallest `TIMEOUT=`, in milliseconds, "
                "of the longest exchanges; section 8 has it for every instruction:", "",
                "| `BAUD=` | bit/s | analog read (decimal form) | with `CHECKSUM` | status read | with `CHECKSUM` |",
                "|---|---|---|---|---|---|"]
        out += ["| " + " | ".join(str(v) for v in row) + " |" for row in e["timeouts"]]
    return "\n".join(out) + "\n"


# The timing tables come from `veldran-host check` itself: a ladder with one
# rung per instruction (two for the analog reads, one per data form), made
# from the instruction table, checked with TIMEOUT=5 at every baud rate and
# checksum setting.  A time-out of 5 ms (the smallest the module takes) is
# shorter than any exchange needs, so check warns for every exchange with
# the smallest time-out that works; the wire times are those of the exchange
# lines marked "*" (the setting in effect).  What a silent module costs is
# check's worst-case scan of a ladder with one status read at the default
# time-out.
CHECK_RUNG = re.compile(r"^  R(\d+) (\S+?)(?:@\S+)?(?: \(\d+\))?(?:  \((.*)\))?$")
CHECK_EXCHANGE = re.compile(r'^      checksum (off|on )\s+"(.*)" \(\d+\) -> (?:"(.*)" \(\d+\)|no reply)\s+'
                            r"([\d.]+) ms(  \*)?$")
CHECK_SHORT = re.compile(r"^warning: R(\d+) \S+: (.+?): the time-out \d+ ms is shorter than .*; "
                         r"use TIMEOUT=(\d+) or more$")
CHECK_SCAN = re.compile(r"^scan time on the wire with every module answering: ([\d.]+) ms; "
                        r"with every module silent: ([\d.]+) ms")
CHECK_TIMEOUT = re.compile(r"^settings: .*, time-out (\d+) ms,", re.M)


def timing_ladder(table):
    """A ladder file with a rung per instruction (per data form for the analog reads) and its rows' labels."""
    data = {"word": ("N7", 0), "float": ("F8", 0)}

    def element(kind, n=1):
        name, at = data[kind]
        data[kind] = (name, at + n)
        return f'"{name}:{at}"'

    rungs, labels = [], []
    for ins in table:
        labels_ops = [o["label"] for o in ins["operands"]]
        forms = [("", 0)] if "Format:" not in labels_ops else [(" (decimal form)", 0), (" (hex form)", 2)]
        for suffix, fmt in forms:
            args = []
            for o in ins["operands"]:
                kind, label = o["kind"], o["label"]
                if kind == "word in":
                    args.append({"Addr:": "1", "Format:": str(fmt), "HSecs:": "50", "DOUT:": "1"}.get(label, "0"))
                elif kind == "float in":
                    args.append("5.0")
                elif kind.startswith("array out"):
                    args.append(element("word" if fmt == 2 else "float", o["len"]))
                elif kind.startswith("number out"):
                    args.append(element("float"))
                else:
                    args.append(element("word"))
            labels.append(f"`{ins['name']}`{suffix}")
            rungs.append(f'[[rung]]\ninstr = "{ins["name"]}"\nargs = [{", ".join(args)}]\n')
    text = (f'[data]\nN7 = {{ type = "word", size = {max(data["word"][1], 1)} }}\n'
            f'F8 = {{ type = "float", size = {max(data["float"][1], 1)} }}\n\n' + "\n".join(rungs))
    return text, labels


def parse_check(text, need_timeouts=True):
    """[(rung, what, wire ms of the setting in effect, smallest time-out)] and the two scan times."""
    rows, rung, scan = [], None, None
    for line in text.splitlines():
        m = CHECK_RUNG.match(line)
        if m:
            rung = int(m.group(1))
            continue
        m = CHECK_EXCHANGE.match(line)
        if m and m.group(5):
            rows.append({"rung": rung, "command": m.group(2), "ms": m.group(4), "what": None, "timeout": None})
            continue
        m = CHECK_SHORT.match(line)
        if m:
            mine = [r for r in rows if r["rung"] == int(m.group(1)) and r["timeout"] is None]
            if not mine:
                raise ManualError(f"veldran-host check: a time-out warning without its exchange: {line!r}")
            mine[0]["what"], mine[0]["timeout"] = m.group(2), int(m.group(3))
            continue
        m = CHECK_SCAN.match(line)
        if m:
            scan = (m.group(1), m.group(2))
    if scan is None or (need_timeouts and any(r["timeout"] is None for r in rows)):
        raise ManualError("veldran-host check: its report is not what the timing tables are read from")
    return rows, scan


def check_ladder(tools, ladder, options):
    import tempfile
    with tempfile.NamedTemporaryFile("w", suffix=".toml", delete=False) as f:
        f.write(ladder)
    try:
        return tools.host("check", f.name, "--options", options, ok=(0, 1))
    finally:
        os.unlink(f.name)


def timing(tools):
    table = parse_list(tools.host("list"))
    ladder, labels = timing_ladder(table)
    bauds = (96, 192, 384, 576, 1152)
    cells = {}  # (row, checksum) -> [(ms, time-out) per baud]
    names = {}
    for cs in (False, True):
        for baud in bauds:
            rows, _ = parse_check(check_ladder(tools, ladder, f"BAUD={baud} TIMEOUT=5" + (" CHECKSUM" if cs else "")))
            # One row per exchange: (rung, its exchange's number in the rung).
            seen = {}
            for r in rows:
                k = (r["rung"], seen.get(r["rung"], 0))
                seen[r["rung"]] = k[1] + 1
                names[k] = r["what"]
                cells.setdefault((k, cs), []).append((r["ms"], r["timeout"]))
    keys = sorted(names)
    head = "| instruction | exchange | " + " | ".join(f"{b * 100}" for b in bauds) + " |"
    rule = "|---|---|" + "---|" * len(bauds)
    out = ["Wire time in milliseconds, command and reply, without / with checksums:", "", head, rule]
    for k in keys:
        out.append(f"| {labels[k[0]]} | {names[k]} | " + " | ".join(
            f"{a[0]} / {b[0]}" for a, b in zip(cells[(k, False)], cells[(k, True)])) + " |")
    out += ["", "The smallest `TIMEOUT=` that works, in milliseconds, without / with checksums "
            "(the largest figure of an instruction's rows is the one it needs):", "", head, rule]
    for k in keys:
        out.append(f"| {labels[k[0]]} | {names[k]} | " + " | ".join(
            f"{a[1]} / {b[1]}" for a, b in zip(cells[(k, False)], cells[(k, True)])) + " |")
    status = [ins for ins in table if ins["name"] == "I7RDMS"]
    one, _ = timing_ladder(status)
    m = CHECK_TIMEOUT.search(check_ladder(tools, one, ""))
    if not m:
        raise ManualError("veldran-host check: no time-out in its settings line")
    default_timeout = int(m.group(1))
    out += ["", f"What a silent module costs at the default time-out ({default_timeout} ms): the time-out and "
            "the quiet interval that the next exchange waits for:", "",
            "| bit/s | " + " | ".join(f"{b * 100}" for b in bauds) + " |", "|---|" + "---|" * len(bauds)]
    costs = []
    for b in bauds:
        report = check_ladder(tools, one, f"BAUD={b}")
        timeout = CHECK_TIMEOUT.search(report)
        if not timeout or int(timeout.group(1)) != default_timeout:
            raise ManualError("veldran-host check: no default time-out in its settings line")
        silent = parse_check(report, need_timeouts=False)[1][1]
        costs.append(f"{silent} ({default_timeout} + {float(silent) - default_timeout:g})")
    out.append("| a silent module costs, ms | " + " | ".join(costs) + " |")
    return "\n".join(out) + "\n"


GENERATORS = {
    "title": title,
    "instructions": instructions,
    "errors": errors,
    "timing": timing,
}


# ---------------------------------------------------------------------------
# The manual.


def regenerate(text, tools):
    """The manual with every generated region rewritten."""
    out, open_name, seen = [], None, set()
    for n, line in enumerate(text.splitlines(keepends=True), 1):
        bare = line.rstrip("\n")
        begin, end = BEGIN.match(bare), END.match(bare)
        if open_name is None:
            out.append(line)
            if begin:
                name = begin.group(1)
                if name not in GENERATORS:
                    raise ManualError(f"manual.md:{n}: no generator for region '{name}'")
                if name in seen:
                    raise ManualError(f"manual.md:{n}: region '{name}' appears twice")
                seen.add(name)
                open_name = name
                out.append(GENERATORS[name](tools))
            elif end:
                raise ManualError(f"manual.md:{n}: end of region '{end.group(1)}' without its start")
        elif end:
            if end.group(1) != open_name:
                raise ManualError(f"manual.md:{n}: region '{open_name}' ends as '{end.group(1)}'")
            out.append(line)
            open_name = None
        elif begin:
            raise ManualError(f"manual.md:{n}: region '{begin.group(1)}' inside '{open_name}'")
    if open_name is not None:
        raise ManualError(f"manual.md: region '{open_name}' has no end marker")
    missing = sorted(set(GENERATORS) - seen)
    if missing:
        raise ManualError(f"manual.md: no region for {', '.join(missing)}")
    return "".join(out)


def command_blocks(text):
    """The command blocks: [{line, env, exit, lang, commands}]; raises on an untagged one."""
    blocks, lines, i = [], text.splitlines(), 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        lang, start = m.group(1), i
        j = i + 1
        while j < len(lines) and not FENCE.match(lines[j]):
            j += 1
        if lang in COMMAND_LANGS:
            tag = RUN_TAG.match(lines[start - 1]) if start > 0 else None
            if not tag:
                raise ManualError(f"manual.md:{start + 1}: a ```{lang} block needs a run tag on the line before")
            if tag.group(1) not in RUN_ENVS:
                raise ManualError(f"manual.md:{start}: unknown run environment '{tag.group(1)}'")
            blocks.append({"line": start + 1, "env": tag.group(1), "exit": int(tag.group(2) or 0),
                           "lang": lang, "commands": [c for c in lines[start + 1:j] if c.strip()]})
        elif RUN_TAG.match(lines[start - 1] if start > 0 else ""):
            raise ManualError(f"manual.md:{start}: run tag before a ```{lang} block")
        elif lang not in OUTPUT_LANGS:
            raise ManualError(f"manual.md:{start + 1}: a fenced block {'```' + lang if lang else 'without a language'}: "
                              "commands go in ```sh or ```bat with a run tag, output in ```text")
        i = j + 1
    return blocks


def main():
    ap = argparse.ArgumentParser(description="the generated parts of docs/manual.md")
    ap.add_argument("action", choices=("update", "check", "commands"))
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "native"), help="native build tree")
    ap.add_argument("--manual", default=MANUAL)
    a = ap.parse_args()
    try:
        with open(a.manual, encoding="utf-8") as f:
            text = f.read()
        blocks = command_blocks(text)
        if a.action == "commands":
            json.dump(blocks, sys.stdout, indent=1)
            print()
            return 0
        fresh = regenerate(text, Tools(os.path.abspath(a.build)))
    except (ManualError, OSError, subprocess.SubprocessError) as e:
        print(f"manual: {e}", file=sys.stderr)
        return 2
    if a.action == "update":
        if fresh != text:
            with open(a.manual, "w", encoding="utf-8") as f:
                f.write(fresh)
            print(f"manual: {os.path.relpath(a.manual)} updated")
        return 0
    if fresh != text:
        import difflib
        sys.stdout.writelines(difflib.unified_diff(text.splitlines(True), fresh.splitlines(True),
                                                   "docs/manual.md (committed)", "docs/manual.md (generated)"))
        print("\nmanual: the generated parts of docs/manual.md no longer match the tools; update them with\n"
              f"  python3 scripts/manual.py update --build {os.path.relpath(a.build, ROOT)}\n"
              "and commit the result.")
        return 1
    print(f"manual: generated parts up to date; {len(blocks)} command blocks tagged")
    return 0


if __name__ == "__main__":
    sys.exit(main())
