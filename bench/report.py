#!/usr/bin/env python3
"""Runs the performance measurements and prints them as one table.

    python3 bench/report.py --build build/bench [--quick] [--markdown FILE]

Parts, all in one run:
  1. module cost per call against the floor (Google Benchmark, ns) and in
     instructions per call (callgrind), and heap allocations in a long run;
  2. end-to-end exchanges over the simulator's pty against the wire time
     and a bare termios client, at 9600, 19200 and 115200 baud;
  3. a dead module: one exchange against `timeout` for 5, 40 and 500 ms;
  4. the sample ladder's scan time on the sample plant against the wire
     time of the bytes it moved (from the simulator's log);
  6. the real DLL (build/win32/veldran.tlm) in the i386 emulator against the
     native module, one I7017 call over the pty at 19200 baud;
  7. the latency allowance: the scan time of a ladder with one absent module
     at LATENCY=0 and at the default, and of one without it;
  8. a survey of the sample plant on the pty directly and through a
     simulated USB serial adapter (--quick: 19200 baud only);
  9. the line monitor: `monitor --replay`'s decoding speed, and the CPU
     share of a saturated line at 115200 baud.
Nothing here passes or fails; the goals are shown beside the figures.
"""
import argparse
import json
import os
import re
import select
import statistics
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(cmd, **kw):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)
    if r.returncode != 0:
        sys.exit(f"report: {' '.join(cmd)} failed ({r.returncode}):\n{r.stderr}")
    return r.stdout


def fields(line, skip):
    """'key v key v ...' after the first `skip` words -> dict of floats."""
    w = line.split()
    return {w[i]: float(w[i + 1]) for i in range(skip, len(w) - 1, 2)}


# ---------------------------------------------------------------------------
# 1. Module cost per call

def module_cost(build, quick):
    exe = os.path.join(build, "bench", "bench_module")
    reps = "3" if quick else "5"
    with tempfile.TemporaryDirectory() as tmp:
        js = os.path.join(tmp, "gb.json")
        run([exe, "--benchmark_out=" + js, "--benchmark_out_format=json",
             "--benchmark_min_time=" + ("0.05" if quick else "0.2"),
             "--benchmark_repetitions=" + reps, "--benchmark_report_aggregates_only=true"])
        data = json.load(open(js))
    ns = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "median":
            ns[b["run_name"]] = b["cpu_time"] if b["time_unit"] == "ns" else b["cpu_time"] * 1000
    with tempfile.TemporaryDirectory() as tmp:
        calls = 1000
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + os.path.join(tmp, "cg.out"),
                        exe, "--callgrind", str(calls)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True)
        ir = {}
        for f in os.listdir(tmp):
            text = open(os.path.join(tmp, f)).read()
            m = re.search(r"^desc: Trigger: Client Request: (\S+)", text, re.M)
            t = re.search(r"^totals: (\d+)", text, re.M)
            if m and t:
                ir[m.group(1)] = int(t.group(1)) / calls
    allocs = run([exe, "--allocs", "20000" if quick else "200000"]).strip().splitlines()[-1]
    rows = []
    for name in [k.split("/")[1] for k in ns if k.startswith("module/")]:
        rows.append((name, ns["module/" + name], ns["floor/" + name], ns["calls/" + name],
                     ir.get("module:" + name, 0), ir.get("floor:" + name, 0), ir.get("calls:" + name, 0)))
    return rows, ns.get("hostclock/I7017"), allocs


# ---------------------------------------------------------------------------
# 2. End-to-end exchanges and 3. a dead module

def wire(build, quick):
    exe = os.path.join(build, "bench", "bench_wire")
    rows, allocs = [], []
    for baud in (9600, 19200, 115200):
        out = run([exe, "exchange", str(baud), "--calls", "8" if quick else "30"])
        for line in out.splitlines():
            if line.startswith("exchange "):
                w = line.split()
                rows.append((w[1], int(w[2]), fields(line, 3)))
            elif line.startswith("allocs "):
                allocs.append(line)
    settle = []
    for baud in (9600, 19200, 115200):
        line = run([exe, "settle", str(baud), "--calls", "6" if quick else "20"]).strip().splitlines()[-1]
        settle.append((baud, fields(line, 2)))
    dead = []
    for ms in (5, 40, 500):
        calls = {5: 40, 40: 15, 500: 5}[ms]
        if quick:
            calls = max(3, calls // 4)
        line = run([exe, "dead", str(ms), "--calls", str(calls)]).strip().splitlines()[-1]
        dead.append((ms, fields(line, 2)))
    return rows, dead, settle, allocs


def emulated(build, quick, dll):
    if not os.path.exists(dll):
        return None
    exe = os.path.join(build, "bench", "bench_wire")
    line = run([exe, "dll", "19200", "--dll", dll, "--calls", "20" if quick else "60"]).strip().splitlines()[-1]
    return fields(line, 3)


# ---------------------------------------------------------------------------
# 4. Scan time of the sample plant

PLANT = os.path.join(ROOT, "examples", "plant.toml")


class Simulator:
    """veldran-sim with the sample plant on a pty of its own, for the parts that run veldran-host.

    `env` names the pty as COM1 for the host."""

    def __init__(self, build, *args):
        self.cmd = [os.path.join(build, "tools", "sim", "veldran-sim"), "--plant", PLANT, *args]
        self.tmp = None
        if "--log" not in args:
            self.tmp = tempfile.TemporaryDirectory()
            self.cmd += ["--log", os.path.join(self.tmp.name, "sim.log")]

    def __enter__(self):
        self.p = subprocess.Popen(self.cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.p.stdout], [], [], 10)
        line = self.p.stdout.readline() if ready else ""
        if not line.startswith("READY "):
            self.__exit__()
            sys.exit("report: the simulator did not get ready: " + " ".join(self.cmd))
        self.env = dict(os.environ, VELDRAN_COM1=line.split()[1])
        return self

    def __exit__(self, *exc):
        self.p.terminate()
        self.p.wait(timeout=10)
        if self.tmp:
            self.tmp.cleanup()


def scan(build, quick):
    host = os.path.join(build, "veldran-host")
    ladder = os.path.join(ROOT, "examples", "ladder.toml")
    baud, turnaround = 19200, 1.0
    scans = 10 if quick else 40
    with tempfile.TemporaryDirectory() as tmp:
        log = os.path.join(tmp, "sim.log")
        with Simulator(build, "--baud", str(baud), "--turnaround-ms", str(turnaround), "--log", log) as sim:
            out = run([host, "run", ladder, "--options", "COMPORT=1 BAUD=192", "--scans", str(scans)], env=sim.env)
        times = [float(m.group(1)) for m in re.finditer(r"^scan \d+\s+([\d.]+) ms", out, re.M)]
        codes = re.search(r"^error codes: (.*)$", out, re.M)
        rx = tx = replies = 0
        for l in open(log):
            m = re.match(r"\[\s*[\d.]+\] (rx|tx) \"(.*)\"", l)
            if not m:
                continue
            n = len(re.sub(r"\\x[0-9A-Fa-f]{2}|\\.", "x", m.group(2)))
            if m.group(1) == "rx":
                rx += n
            else:
                tx += n
                replies += 1
    wire_ms = ((rx + tx) * 10 * 1000 / baud + replies * turnaround) / max(1, len(times))
    return {"scans": len(times), "mean": statistics.mean(times), "median": statistics.median(times),
            "wire": wire_ms, "bytes": (rx + tx) / max(1, len(times)), "replies": replies / max(1, len(times)),
            "codes": codes.group(1) if codes else "?", "baud": baud}


# ---------------------------------------------------------------------------
# 7. The cost of the latency allowance

ABSENT_RUNG = """
[[rung]]
comment = "no module at address 32"
instr = "I7041"
args = [32, 0, "N7:10", "N7:0"]
"""

PRESENT_RUNGS = """
[[rung]]
instr = "I7041"
args = [4, 0, "N7:11", "N7:1"]

[[rung]]
instr = "I7052"
args = [6, "N7:12", "N7:2"]

[[rung]]
instr = "I7060"
args = [8, 0, "N7:13", "N7:3"]
"""


def latency_cost(build, quick):
    """One absent module before three present ones, and the three alone, each at LATENCY=0 and at the
    default; the runs take turns, so that every setting sees the same load."""
    host = os.path.join(build, "veldran-host")
    rounds, scans = (1, 10) if quick else (3, 15)
    options = {0: "COMPORT=1 TIMEOUT=40 LATENCY=0", None: "COMPORT=1 TIMEOUT=40"}
    cases = [(ladder, lat) for ladder in ("absent", "present") for lat in (0, None)]
    times = {c: [] for c in cases}
    after = {c: [] for c in cases}
    codes = {c: {} for c in cases}
    latency = {}
    with tempfile.TemporaryDirectory() as tmp:
        files = {}
        for ladder, text in (("absent", ABSENT_RUNG + PRESENT_RUNGS), ("present", PRESENT_RUNGS)):
            files[ladder] = os.path.join(tmp, ladder + ".toml")
            with open(files[ladder], "w") as f:
                f.write('[data]\nN7 = { type = "word", size = 20 }\n' + text)
        with Simulator(build) as sim:
            for _ in range(rounds):
                for c in cases:
                    out = run([host, "run", files[c[0]], "--options", options[c[1]], "--scans", str(scans)],
                              env=sim.env)
                    times[c] += [float(m.group(1)) for m in re.finditer(r"^scan \d+\s+([\d.]+) ms", out, re.M)]
                    after[c] += [float(m.group(1)) for m in re.finditer(r"I7041@04h\s+on\s+([\d.]+) ms", out)]
                    m = re.search(r"^error codes: (.*)$", out, re.M)
                    for code, n in re.findall(r"(\d+ \w+) x (\d+)", m.group(1) if m else ""):
                        codes[c][code] = codes[c].get(code, 0) + int(n)
                    m = re.search(r"^settings: .*latency (\d+) ms", out, re.M)
                    latency[c] = int(m.group(1)) if m else c[1]
    return [(c[0], latency[c], len(times[c]), statistics.median(times[c]), statistics.median(after[c]),
             "; ".join(f"{code} x {n}" for code, n in codes[c].items()) or "?") for c in cases]


# ---------------------------------------------------------------------------
# 8. The survey of the sample plant

def survey(build, quick):
    host = os.path.join(build, "veldran-host")
    cmd = [host, "survey"] + (["--baud", "192"] if quick else [])
    rows = []
    for line, args, goal in (("direct pty", [], 30),
                             ("adapter 16 ms, jitter 2", ["--adapter-latency", "16", "--adapter-jitter", "2"], 90)):
        with Simulator(build, *args) as sim:
            r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=sim.env)
        if r.returncode != 0:
            sys.exit(f"report: {' '.join(cmd)} failed ({r.returncode}):\n{r.stderr}")
        total = re.search(r"^survey: ([\d.]+) s in all", r.stderr, re.M)
        found = re.search(r"^(\d+) address(?:es)? answered", r.stdout, re.M)
        again = sum(int(n) for n in re.findall(r"(\d+) of them when asked again", r.stderr))
        rec = re.search(r"^recommended option string: (.*)$", r.stdout, re.M)
        rows.append({"line": line, "seconds": float(total.group(1)) if total else float("nan"),
                     "goal": goal, "answered": int(found.group(1)) if found else 0, "again": again,
                     "recommended": rec.group(1) if rec else "?"})
    return rows


# ---------------------------------------------------------------------------
# 9. The line monitor

def monitor(build, quick):
    out = run([os.path.join(build, "bench", "bench_monitor"), "60" if quick else "600"])
    replay = [fields(l, 1) for l in out.splitlines() if l.startswith("replay ")][0]
    live = [fields(l, 1) for l in out.splitlines() if l.startswith("live ")]
    return replay, live


def monitor_table(mon):
    replay, live = mon
    L = ["9. The line monitor on a made-up saturated line at 115200 baud (11520 characters a second)"]
    L.append(f"   --replay: {replay['bytes'] / 1e6:.1f} MB of capture in {replay['seconds']:.3f} s CPU: "
             f"{replay['mb_s']:.1f} MB/s, {replay['exchanges']:.0f} exchanges; goal >= 1 MB/s")
    for f in live:
        L.append(f"   listening, {f['chunk']:.0f} byte{'s' if f['chunk'] != 1 else ''} a read: "
                 f"{f['cpu_ms_per_line_s']:.2f} ms CPU per second of line = {f['pct']:.2f} % of one core; goal < 5 %")
    L.append("   decoding and formatting each exchange's line; reading the port and printing are not in it")
    return L


def table(parts, quick):
    (cost, hostclock, allocs1), (ex, dead, settle, allocs2), sc, emu, lat, sv, mon = parts
    L = []
    L.append("1. Module cost per call, CPU only (in-bench serial stub, reply there at once)")
    L.append("   floor: bare byte loop; calls: the same loop through the _COM calls and the host timer")
    L.append(f"   {'instr':<7} {'module ns':>9} {'floor':>7} {'calls':>7} {'/floor':>6} {'/calls':>6}   "
             f"{'module Ir':>9} {'floor':>6} {'calls':>6} {'/floor':>6} {'/calls':>6}")
    for name, m, f, c, mi, fi, ci in cost:
        L.append(f"   {name:<7} {m:>9.1f} {f:>7.1f} {c:>7.1f} {m / f:>6.2f} {m / c:>6.2f}   "
                 f"{mi:>9.0f} {fi:>6.0f} {ci:>6.0f} {(mi / fi if fi else 0):>6.2f} {(mi / ci if ci else 0):>6.2f}")
    L.append("   goal: module <= 2.00 x floor")
    if hostclock:
        L.append(f"   I7017 with the stand-in host's real clock instead of the bench host: {hostclock:.1f} ns")
    L.append("")
    L.append("2. End-to-end exchange over the simulator's pty (median per instruction call)")
    L.append(f"   {'instr':<6} {'baud':>6} {'bytes':>5} {'wire ms':>8} {'bare ms':>8} {'module ms':>9} "
             f"{'/wire':>6} {'/bare':>6}   {'cpu ms mod':>10} {'bare':>6} {'polls':>6}")
    for name, baud, f in ex:
        L.append(f"   {name:<6} {baud:>6} {f['bytes']:>5.0f} {f['wire_ms']:>8.3f} {f['bare_ms']:>8.3f} "
                 f"{f['module_ms']:>9.3f} {f['module_ms'] / f['wire_ms']:>6.3f} "
                 f"{f['module_ms'] / f['bare_ms']:>6.3f}   {f['module_cpu_ms']:>10.3f} "
                 f"{f['bare_cpu_ms']:>6.3f} {f['polls']:>6.0f}")
    L.append("   wire = bytes x 10 / baud + turnaround (1 ms) per exchange; goal: module <= 1.02 x bare")
    L.append("")
    L.append("3. Dead module (simulator silent, LATENCY=0): one I7041 call against `timeout`")
    L.append(f"   {'timeout':>7} {'median ms':>10} {'overrun':>8} {'min':>8} {'max':>8} {'calls':>5}")
    for ms, f in dead:
        L.append(f"   {ms:>7} {f['median_ms']:>10.3f} {f['median_ms'] - ms:>8.3f} {f['min_ms']:>8.3f} "
                 f"{f['max_ms']:>8.3f} {f['calls']:>5.0f}")
    L.append("   goal: overrun <= 1 ms at the median beyond the quiet interval (2 ms at 19200 baud) that each call")
    L.append("   after the first waits for the line to settle after the previous call's time-out")
    L.append("")
    L.append("3b. One silent module on the line (TIMEOUT=100 LATENCY=0): the I7017 call after its time-out waits for the")
    L.append("    line to settle; against an I7017 call after a good exchange (median)")
    L.append(f"   {'baud':>6} {'clean ms':>9} {'after ms':>9} {'extra ms':>9} {'quiet ms':>9} {'calls':>5}")
    for baud, f in settle:
        L.append(f"   {baud:>6} {f['clean_ms']:>9.3f} {f['after_silent_ms']:>9.3f} {f['extra_ms']:>9.3f} "
                 f"{f['quiet_ms']:>9.0f} {f['calls']:>5.0f}")
    L.append("   extra per scan = one quiet interval (3 characters, at least 2 ms) and the polling around it")
    L.append("")
    L.append(f"4. Sample ladder (examples/ladder.toml) on the sample plant, {sc['baud']} baud, {sc['scans']} scans")
    L.append(f"   per scan: {sc['bytes']:.0f} bytes, {sc['replies']:.1f} replies, wire time {sc['wire']:.3f} ms; "
             f"scan time mean {sc['mean']:.3f} ms (x{sc['mean'] / sc['wire']:.3f}), median {sc['median']:.3f} ms")
    L.append(f"   error codes: {sc['codes']}")
    L.append("")
    L.append("5. Heap allocations inside the module")
    L.append(f"   stub run:  {allocs1}")
    for a in allocs2:
        L.append(f"   pty run:   {a}")
    L.append("")
    L.append("6. The real DLL in the i386 emulator against the native module: I7017 over the pty, 19200 baud (median)")
    if emu is None:
        L.append("   not measured: no build/win32/veldran.tlm (make win32)")
    else:
        L.append(f"   {'':<8} {'ms/call':>8} {'cpu ms/call':>12}")
        L.append(f"   {'native':<8} {emu['native_ms']:>8.3f} {emu['native_cpu_ms']:>12.3f}")
        L.append(f"   {'DLL':<8} {emu['dll_ms']:>8.3f} {emu['dll_cpu_ms']:>12.3f}")
        L.append(f"   DLL / native: {emu['dll_ms'] / emu['native_ms']:.3f} x in time, "
                 f"{emu['dll_cpu_ms'] / max(emu['native_cpu_ms'], 1e-6):.1f} x in CPU; goal: time <= 1.05 x")
    L.append("")
    L.append("7. The cost of the latency allowance: veldran-host run, TIMEOUT=40, 19200 baud, the sample plant;")
    L.append("   an absent I7041 at 20h before I7041@04h, I7052@06h and I7060@08h, and those three alone")
    L.append(f"   {'ladder':<12} {'latency':>7} {'scans':>5} {'scan ms':>9} {'04h rung ms':>11}   error codes")
    by = {}
    for ladder, latency, n, scan_ms, after_ms, codes in lat:
        by[ladder, latency] = (scan_ms, after_ms)
        name = "one absent" if ladder == "absent" else "all present"
        L.append(f"   {name:<12} {latency:>7} {n:>5} {scan_ms:>9.1f} {after_ms:>11.1f}   {codes}")
    for ladder, name in (("absent", "one absent"), ("present", "all present")):
        lo, hi = [by[k] for k in sorted(k for k in by if k[0] == ladder)]
        L.append(f"   {name + ':':<12} the default costs {hi[0] - lo[0]:+.1f} ms per scan "
                 f"({hi[1] - lo[1]:+.1f} ms on the 04h rung)")
    L.append("   median per scan and per 04h call (the host times them to 0.1 ms); expected: the default LATENCY more")
    L.append("   per scan with the absent module (the rung after it waits a quiet line of three characters + LATENCY),")
    L.append("   nothing on a line that is never unsettled")
    L.append("")
    scope = ("19200 baud only (--quick), both checksum settings" if quick else
             "five speeds, both checksum settings")
    L.append("8. Survey of the sample plant (veldran-host survey) on the pty, and through a simulated USB serial")
    L.append("   adapter (--adapter-latency 16 --adapter-jitter 2)")
    L.append(f"   all 256 addresses, {scope}")
    L.append(f"   {'line':<24} {'survey s':>8} {'goal':>9} {'answered':>8} {'asked again':>11}   recommended")
    for r in sv:
        L.append(f"   {r['line']:<24} {r['seconds']:>8.1f} {'<= ' + str(r['goal']) + ' s':>9} {r['answered']:>8} "
                 f"{r['again']:>11}   {r['recommended']}")
    L.append("   survey s: the survey's own \"N s in all\"; answered: addresses found (the plant has 9); asked again:")
    L.append("   addresses asked again with time to spare after a sweep, summed over the settings")
    if quick:
        L.append("   the goals are for the full survey (five speeds); --quick surveys one")
    L.append("")
    L += monitor_table(mon)
    return "\n".join(L)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build", "bench"))
    ap.add_argument("--quick", action="store_true", help="fewer repetitions")
    ap.add_argument("--markdown", help="also write the table into this file")
    ap.add_argument("--dll", default=os.path.join(ROOT, "build", "win32", "veldran.tlm"),
                    help="the real DLL for part 6")
    a = ap.parse_args()
    load = os.getloadavg()[0]
    parts = (module_cost(a.build, a.quick), wire(a.build, a.quick), scan(a.build, a.quick),
             emulated(a.build, a.quick, a.dll), latency_cost(a.build, a.quick), survey(a.build, a.quick),
             monitor(a.build, a.quick))
    text = table(parts, a.quick)
    head = f"veldran benchmarks (load average {load:.2f} at the start, {os.cpu_count()} processors)"
    print(head)
    print(text)
    if a.markdown:
        with open(a.markdown, "w") as f:
            f.write("```\n" + head + "\n" + text + "\n```\n")


if __name__ == "__main__":
    main()
