#!/usr/bin/env python3
"""Runs every command that the user's manual shows, and checks its exit status.

    python3 tests/docs/manual_commands.py [--build DIR] [--manual FILE]

DIR is the native build tree (default build/native): `veldran-host`, the
`veldran.so` beside it and `tools/sim/veldran-sim`.

The command blocks and their run tags are read by scripts/manual.py (see its
top): a ```sh or ```bat block without a tag, with an unknown environment, or
a fenced block of another language (```bash, or none) fails here before
anything runs.  The blocks of one environment run in order in one
POSIX shell, as a reader types them in one window: a variable exported or a
program started in the background by one block is there for the next.
Each command's exit status is checked: 0, or for the last command of a
block tagged `exit=N`, N.  A ```text block right after a command block
(nothing but blank lines between) is that block's output as the reader
sees it, abridged: it must be found in what the commands print (see
shown_missing below).  Output shown after some prose is not compared.

  source  the shell starts in a directory of its own that holds the source
          tree's examples/ (a link), so that whatever the commands create
          (the simulator's link and log) stays private to this run, with
          the native build's veldran-host and veldran-sim on PATH.  The
          manual starts and stops its own simulator there; a program still
          running in the background at the end is stopped and is a failure.
  bench   the shell starts in a copy of the release bundle's bench folder
          (the sample plant.toml and ladder.toml), with a module simulator
          of that plant.toml on COM1.  The commands are Windows ones for
          veldran-host.exe; they run natively: `veldran-host.exe` there is
          the native veldran-host, which loads the native module of the same
          sources.  Under wine each command would cost seconds of wine
          start-up; the bundled Windows host itself is run under wine
          against the simulator by the test release.bundle.  A bat line
          that a POSIX shell would read differently (%, ^, backslashes,
          redirections) is refused rather than translated.

Exit status 0 when every command did as tagged, 1 otherwise, 2 when the
manual or the build is not usable.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import manual  # noqa: E402  (scripts/manual.py)

BAT_UNSAFE = re.compile(r"[%^\\<>|&]")
MARK = "@@manual-command"


def session_script(blocks, scratch):
    """One shell script that runs the blocks' commands and reports each status."""
    out = []
    for b in blocks:
        for k, cmd in enumerate(b["commands"]):
            if b["lang"] == "bat" and BAT_UNSAFE.search(cmd):
                raise manual.ManualError(f"manual.md:{b['line'] + 1 + k}: this bat line is not run the same by "
                                         f"a POSIX shell: {cmd}")
            expect = b["exit"] if k == len(b["commands"]) - 1 else 0
            tag = f"{b['line'] + 1 + k} {expect}"
            out.append(f"printf '%s\\n' {shell_quote(f'{MARK} start {tag} {cmd}')}")
            out.append(cmd)
            out.append(f"printf '{MARK} status {tag} %s\\n' $?")
    # Programs the commands left running in the background (one that was
    # stopped may take a moment to go, and stays a zombie until waited for).
    # (`jobs` in a command substitution would list the subshell's jobs.)
    jobs = shell_quote(os.path.join(scratch, "jobs"))
    out.append(f"jobs -p > {jobs}\n"
               f"for p in $(cat {jobs}); do\n"
               "  i=0\n"
               "  while [ $i -lt 40 ] && ps -o stat= -p \"$p\" | grep -qv Z; do sleep 0.05; i=$((i + 1)); done\n"
               f"  if ps -o stat= -p \"$p\" | grep -qv Z; then printf '{MARK} left %s\\n' \"$p\"; kill \"$p\"; fi\n"
               "done")
    return "\n".join(out) + "\n"


def shell_quote(s):
    return "'" + s.replace("'", "'\\''") + "'"


def run_session(env_name, blocks, cwd, env, log):
    script = session_script(blocks, os.path.dirname(cwd))
    try:
        done = subprocess.run(["sh", "-c", script], cwd=cwd, env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=120)
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or "")
        return [f"{env_name}: the commands did not finish within {e.timeout:.0f} s:\n" +
                "\n".join("  | " + o for o in out.splitlines()[-20:])]
    failures, started, output, printed = [], 0, [], {}
    for line in done.stdout.splitlines():
        if line.startswith(MARK + " start "):
            started += 1
            output = [line]
            continue
        output.append(line)
        if line.startswith(MARK + " status "):
            _, _, where, expect, got = line.split(" ")
            printed[int(where)] = output[1:-1]
            if int(got) != int(expect):
                failures.append(f"manual.md:{where}: exited {got}, the tag says {expect}:\n" +
                                "\n".join("  | " + o for o in output[:-1]))
        elif line.startswith(MARK + " left "):
            failures.append(f"{env_name}: the manual's commands left a program running (pid "
                            f"{line.split()[-1]}): a block that starts one must also stop it")
    commands = sum(len(b["commands"]) for b in blocks)
    if started != commands:
        failures.append(f"{env_name}: {started} of {commands} commands ran; the shell stopped early:\n" +
                        "\n".join("  | " + o for o in output))
    log.write(done.stdout)
    for b in blocks:
        if b.get("shown") is None:
            continue
        got = [line for k in range(len(b["commands"])) for line in printed.get(b["line"] + 1 + k, [])]
        missing = shown_missing(b["shown"], got)
        if missing is not None:
            failures.append(f"manual.md:{b['line']}: the output shown after the commands is not what they print; "
                            f"from this line on it is not found, in order:\n  > {missing}\n"
                            "what they print:\n" + "\n".join("  | " + o for o in got))
    return failures


# Output shown in the manual is real output, abridged: a ```text block right
# after a command block (blank lines between) must be found in what its
# commands print, line by line and in order, where "..." stands for lines
# left out.  What changes from run to run or from one computer to another is
# not compared: figures with a decimal point (times), the blanks that align
# them in columns, and the device a COM port maps to.
VARYING = [(re.compile(r"\d+\.\d+"), "#"), (re.compile(r"(COM\d) = .*? \((.*?)\),"), r"\1 = DEVICE,")]


def normalised(line):
    for pattern, repl in VARYING:
        line = pattern.sub(repl, line)
    return " ".join(line.split())  # columns widen with their figures


def shown_missing(shown, printed):
    """None when every shown line is found in order in the printed ones, else the first that is not."""
    lines = [normalised(p) for p in printed]
    at = 0
    for line in shown:
        if not line.strip() or line.strip() == "...":
            continue
        want = normalised(line)
        while at < len(lines) and lines[at] != want:
            at += 1
        if at == len(lines):
            return line
        at += 1
    return None


def attach_shown_output(text, blocks):
    """Adds to each command block the lines of the ```text block right after it, if there is one."""
    lines = text.splitlines()
    for b in blocks:
        i = b["line"]  # the line after the opening fence (0-based index of the first command)
        while i < len(lines) and not manual.FENCE.match(lines[i]):
            i += 1
        i += 1
        while i < len(lines) and not lines[i].strip():
            i += 1
        b["shown"] = None
        if i < len(lines) and lines[i].strip() == "```text":
            j = i + 1
            while j < len(lines) and not manual.FENCE.match(lines[j]):
                j += 1
            b["shown"] = lines[i + 1:j]


def start_simulator(sim, plant, link, log_path):
    proc = subprocess.Popen([sim, "--plant", plant, "--link", link, "--log", log_path],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    line = proc.stdout.readline()
    if not line.startswith("READY "):
        proc.kill()
        raise manual.ManualError(f"veldran-sim did not get ready: {line.strip()} {proc.stdout.read()}")
    return proc


def main():
    ap = argparse.ArgumentParser(description="run every command of docs/manual.md")
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    ap.add_argument("--manual", default=manual.MANUAL)
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    host = os.path.join(build, "veldran-host")
    sim = os.path.join(build, "tools", "sim", "veldran-sim")
    began = time.monotonic()
    work = tempfile.mkdtemp(prefix="veldran-manual-")
    bench_sim = None
    failures = []
    try:
        with open(a.manual, encoding="utf-8") as f:
            text = f.read()
        blocks = manual.command_blocks(text)
        attach_shown_output(text, blocks)
        for exe in (host, sim):
            if not os.access(exe, os.X_OK):
                raise manual.ManualError(f"{exe} is missing (make native)")
        base_env = dict(os.environ)
        base_env.pop("VELDRAN_COM1", None)
        base_env["PATH"] = os.pathsep.join([build, os.path.dirname(sim), base_env.get("PATH", "")])
        log = open(os.path.join(work, "commands.log"), "w", encoding="utf-8")

        source = [b for b in blocks if b["env"] == "source"]
        if source:
            cwd = os.path.join(work, "source")
            os.mkdir(cwd)
            os.symlink(os.path.join(ROOT, "examples"), os.path.join(cwd, "examples"))
            failures += run_session("source", source, cwd, base_env, log)

        bench = [b for b in blocks if b["env"] == "bench"]
        if bench:
            cwd = os.path.join(work, "bench")
            os.mkdir(cwd)
            for f in ("plant.toml", "ladder.toml"):
                shutil.copy(os.path.join(ROOT, "examples", f), cwd)
            wrapper = os.path.join(cwd, "veldran-host.exe")
            with open(wrapper, "w", encoding="utf-8") as f:
                f.write(f"#!/bin/sh\nexec {shell_quote(host)} \"$@\"\n")
            os.chmod(wrapper, 0o755)
            link = os.path.join(work, "com1")
            bench_sim = start_simulator(sim, os.path.join(cwd, "plant.toml"), link, os.path.join(work, "sim.log"))
            env = dict(base_env, VELDRAN_COM1=link, PATH=cwd + os.pathsep + base_env["PATH"])
            failures += run_session("bench", bench, cwd, env, log)
        log.close()
    except (manual.ManualError, OSError, subprocess.SubprocessError) as e:
        print(f"manual commands: {e}", file=sys.stderr)
        return 2
    finally:
        if bench_sim is not None:
            bench_sim.send_signal(signal.SIGTERM)
            try:
                bench_sim.wait(timeout=10)
            except subprocess.TimeoutExpired:
                bench_sim.kill()
        shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print(f"FAIL: {f}")
    n = sum(len(b["commands"]) for b in blocks)
    print(f"manual commands: {n} commands in {len(blocks)} blocks, {len(failures)} failed "
          f"({time.monotonic() - began:.1f} s)")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
