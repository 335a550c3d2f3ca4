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

The regions still to come, each from the one place that knows it:
  errors  the error-code table, from `veldran-host explain` (the tools'
          one table of codes: name, meaning, causes, remedy);
  timing  wire time of each instruction at each baud rate with and
          without checksums and the smallest time-out, from the same
          computation as `veldran-host check`.
The manual has a TODO section for each; this script must not compute
either itself.

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
Each line of a block is one command.  Output is shown in `text` blocks,
which are never run.  `check` fails for a command block without a run tag
or with an unknown ENV, so nothing reaches the reader unchecked.
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

    def host(self, *args):
        exe = os.path.join(self.build, "veldran-host")
        if not os.path.exists(exe):
            raise ManualError(f"{exe} is missing (make native)")
        done = subprocess.run([exe, *args], capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
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


GENERATORS = {
    "title": title,
    "instructions": instructions,
    # "errors":  the rows of `veldran-host explain` (TODO when the tool lands)
    # "timing":  the table of `veldran-host check` (TODO when the tool lands)
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
