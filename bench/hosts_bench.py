#!/usr/bin/env python3
"""Driver of bench/hosts_bench.sh: vorqManageHostsFile against `sed -i`.

For each generated hosts file (by default 1k, 150k and 1M lines) and each
case (update of a name near the end, update of a new name that gets
appended, remove of a name present four times) the command and a `sed -i`
removal of the same name run alternately, each on a fresh copy of the same
input, and each run's CPU time (user + system), wall time and peak RSS are
recorded.

How a run is measured:
  * it is started as  /usr/bin/time -f %M -o FILE unshare --ipc PROGRAM ARGS;
  * CPU time is the user + system time of that whole process tree, read with
    wait4() by this driver (microsecond resolution; GNU time itself only
    prints hundredths of a second).  The tree includes GNU time's and
    unshare's own start-up, the same for both sides; the "harness floor" row
    shows how much that is;
  * peak RSS is GNU time's %M (the maximum resident set size of its child,
    in KiB).  It is never below what unshare itself needed before it started
    the program: the "harness floor" row shows that too;
  * before each run the input is copied afresh and the page cache is
    flushed to disk (sync), so no run pays for writing back another's data.

The command fsyncs its output before renaming it; sed -i does not.  Both are
measured as they are.
"""

import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPS = int(os.environ.get("REPS", "7"))
SIZES = [int(s) for s in os.environ.get("SIZES", "1000,150000,1000000").split(",") if s]

REMOVE_NAME = "victim.ads.example.net"
NEAR_END_NAME = "near-end.ads.example.net"
NEW_NAME = "brand-new.ads.example.net"
NEAR_END_ADDR = "10.11.12.13"
NEW_ADDR = "10.11.12.14"

WORDS = ["ad", "ads", "track", "metrics", "pixel", "banner", "click", "stat",
         "beacon", "promo", "telemetry", "counter", "analytics", "survey"]
DOMAINS = ["example.com", "example.net", "example.org", "test", "invalid"]


def generate(path, n):
    """Writes a block-list-like hosts file of exactly n lines."""
    rng = random.Random(n)
    lines = [
        "# Title: generated block list for the hosts benchmark",
        f"# Entries: about {n}",
        "",
        "127.0.0.1 localhost",
        "::1 localhost ip6-localhost ip6-loopback",
    ]
    body = n - len(lines) - 1  # the name updated near the end comes last but a few
    # The removed name, four entries in different forms, plus one line where
    # it is only an alias (kept by both tools).
    planted = {
        int(body * 0.10): f"0.0.0.0 {REMOVE_NAME}",
        int(body * 0.40): f"0.0.0.0\t{REMOVE_NAME.upper()}",
        int(body * 0.70): "127.0.0.1 Victim.Ads.Example.Net www.victim.ads.example.net",
        int(body * 0.95): f"0.0.0.0  {REMOVE_NAME}  # blocked",
        int(body * 0.96): f"#0.0.0.0 {REMOVE_NAME}",  # a comment: kept by both
        int(body * 0.50): f"0.0.0.0 other.example.com {REMOVE_NAME}",
    }
    near_end_at = body - 5
    for i in range(body):
        if i in planted:
            lines.append(planted[i])
            continue
        if i == near_end_at:
            lines.append(f"0.0.0.0 {NEAR_END_NAME}")
            continue
        r = rng.random()
        prefix = rng.choice(WORDS) if rng.random() < 0.5 else f"{rng.choice(WORDS)}-{rng.choice(WORDS)}"
        name = f"{prefix}-{i}.{rng.choice(DOMAINS)}"
        if r < 0.02:
            lines.append(f"# section {i}: {rng.choice(WORDS)} servers")
        elif r < 0.025:
            lines.append("")
        elif r < 0.075:
            lines.append(f"0.0.0.0 {name} www.{name}")
        elif r < 0.085:
            lines.append(f"0.0.0.0\t{name}")
        elif r < 0.095:
            lines.append(f"127.0.0.1 {name}")
        elif r < 0.10:
            lines.append(f"0.0.0.0 {name.upper()}")
        else:
            lines.append(f"0.0.0.0 {name}")
    lines.append("# end of list")
    assert len(lines) == n, (len(lines), n)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def sed_removal(name, path):
    """sed -i deleting every entry whose second blank-separated word is name,
    letter case ignored, comment lines kept.  [[:blank:]] is a space or a tab,
    the command's word separators (the generated file has no CR LF)."""
    pattern = name.replace(".", r"\.")
    expr = rf"/^[[:blank:]]*[^#[:blank:]][^[:blank:]]*[[:blank:]]+{pattern}([[:blank:]]|$)/Id"
    return ["sed", "-i", "-E", expr, path]


def run(argv, scratch):
    """Runs argv under GNU time and unshare --ipc; returns
    (exit code, cpu seconds, wall seconds, peak RSS KiB)."""
    time_out = os.path.join(scratch, "time.out")
    err_path = os.path.join(scratch, "stderr.out")
    full = ["/usr/bin/time", "-f", "%M", "-o", time_out, "unshare", "--ipc"] + argv
    with open(err_path, "wb") as err:
        t0 = time.perf_counter()
        proc = subprocess.Popen(full, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err)
        _, status, ru = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    with open(time_out) as f:
        rss_lines = [l for l in f.read().split("\n") if l.strip()]
    rss = int(rss_lines[-1])
    if proc.returncode != 0:
        with open(err_path, "rb") as f:
            sys.stderr.write(f"run failed ({proc.returncode}): {' '.join(argv)}\n"
                             + f.read().decode(errors="replace"))
    return proc.returncode, ru.ru_utime + ru.ru_stime, wall, rss


def fresh_copy(master, work):
    shutil.copyfile(master, work)
    os.sync()


def expected_update(master_bytes, name, addr, new):
    """The content an update should leave, for the two update cases here.
    A rewritten line is the address, a blank, the name, a blank and the rest
    of the line, which is empty here: it keeps a trailing blank."""
    if new:
        return master_bytes + f"{addr} {name}\n".encode()
    return master_bytes.replace(f"\n0.0.0.0 {name}\n".encode(),
                                f"\n{addr} {name} \n".encode(), 1)


def machine():
    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    sed_ver = subprocess.run(["sed", "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    return model, os.cpu_count(), os.uname().release, sed_ver


def fmt_ms(s):
    return f"{s * 1000:.1f}"


def main():
    binary = os.path.abspath(sys.argv[1])
    base = os.environ.get("BENCH_TMPDIR") or None
    tmp = tempfile.mkdtemp(prefix="hosts_bench.", dir=base)
    fstype = subprocess.run(["stat", "-f", "-c", "%T", tmp], capture_output=True, text=True).stdout.strip()
    model, ncpu, kernel, sed_ver = machine()
    print(f"binary: {binary}")
    print(f"machine: {ncpu} CPUs, {model}, kernel {kernel}; {sed_ver}")
    print(f"temporary directory: {tmp} (file system type {fstype})")
    print(f"repetitions: {REPS} timed runs of each side per case, alternating, after one untimed warm-up each")
    print("note: the command fsyncs its new file before renaming it, sed -i does not; both measured as they are")
    print()

    cases = [
        ("update, name near the end", lambda f: [binary, "update", f, NEAR_END_NAME, NEAR_END_ADDR],
         NEAR_END_NAME),
        ("update, new name appended", lambda f: [binary, "update", f, NEW_NAME, NEW_ADDR], NEW_NAME),
        ("remove, name present 4x", lambda f: [binary, "remove", f, REMOVE_NAME], REMOVE_NAME),
    ]
    results = {}  # (size, case) -> {"cmd": [...], "sed": [...]}
    checks = []
    sizes_bytes = {}
    scratch = os.path.join(tmp, "scratch")
    os.mkdir(scratch)
    try:
        # What GNU time + unshare cost on their own.
        floor = [run(["true"], scratch)[1:] for _ in range(REPS)]

        for n in SIZES:
            master = os.path.join(tmp, f"hosts.{n}")
            generate(master, n)
            sizes_bytes[n] = os.path.getsize(master)
            with open(master, "rb") as f:
                master_bytes = f.read()
            work_dir = os.path.join(tmp, f"work.{n}")
            os.mkdir(work_dir)
            work = os.path.join(work_dir, "hosts")
            for label, cmd_argv, name in cases:
                sides = {"cmd": cmd_argv(work), "sed": sed_removal(name, work)}
                # Output check (not timed): the command against sed for the
                # removal, against the expected content for the updates.
                outs = {}
                for side, argv in sides.items():
                    fresh_copy(master, work)
                    rc, _, _, _ = run(argv, scratch)  # doubles as the warm-up
                    with open(work, "rb") as f:
                        outs[side] = (rc, f.read())
                if label.startswith("remove"):
                    ok = outs["cmd"] == outs["sed"]
                else:
                    ok = outs["cmd"] == (0, expected_update(master_bytes, name, NEAR_END_ADDR if name == NEAR_END_NAME else NEW_ADDR, name == NEW_NAME))
                checks.append((n, label, ok, outs["cmd"][0]))
                runs = {"cmd": [], "sed": []}
                for rep in range(REPS):
                    order = ("cmd", "sed") if rep % 2 == 0 else ("sed", "cmd")
                    for side in order:
                        fresh_copy(master, work)
                        rc, cpu, wall, rss = run(sides[side], scratch)
                        if rc != 0:
                            raise SystemExit(f"{side} failed with status {rc} on {n} lines, {label}")
                        runs[side].append((cpu, wall, rss))
                results[(n, label)] = runs
                os.remove(work)
            os.remove(master)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    def med(xs, i):
        return statistics.median(x[i] for x in xs)

    def spread(xs):
        return f"{fmt_ms(min(x[0] for x in xs))}-{fmt_ms(max(x[0] for x in xs))}"

    def peak(xs):
        return max(x[2] for x in xs)

    print("harness floor (GNU time + unshare --ipc + true): "
          f"median CPU {fmt_ms(med(floor, 0))} ms, peak RSS {peak(floor)} KiB")
    print()
    print("output checks (untimed first run of each case):")
    for n, label, ok, rc in checks:
        print(f"  {n} lines, {label}: exit {rc}, output {'as expected' if ok else 'DIFFERS'}")
    print()
    print("Medians over the timed runs; peak RSS is the largest of the runs; "
          "sed is `sed -i -E` deleting the lines whose second word is the case's name.")
    print()
    print("| lines | file size | case | command CPU ms | sed CPU ms | CPU ratio command/sed "
          "| command CPU min-max | sed CPU min-max "
          "| command wall ms | sed wall ms | command peak RSS KiB | sed peak RSS KiB |")
    print("|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for n in SIZES:
        for label, _, _ in cases:
            r = results[(n, label)]
            c, s = r["cmd"], r["sed"]
            ratio = med(c, 0) / med(s, 0) if med(s, 0) > 0 else float("inf")
            print(f"| {n} | {sizes_bytes[n] / 1e6:.2f} MB | {label} | {fmt_ms(med(c, 0))} | {fmt_ms(med(s, 0))} "
                  f"| {ratio:.2f} | {spread(c)} | {spread(s)} | {fmt_ms(med(c, 1))} | {fmt_ms(med(s, 1))} | {peak(c)} | {peak(s)} |")
    print()

    verdicts = []
    if 150000 in SIZES:
        r = results[(150000, "remove, name present 4x")]
        ratio = med(r["cmd"], 0) / med(r["sed"], 0)
        verdicts.append((ratio <= 1.0,
                         f"remove on 150000 lines: CPU ratio command/sed {ratio:.2f} (target <= 1.00)"))
    else:
        verdicts.append((None, "remove on 150000 lines: not measured (150000 not in SIZES)"))
    lo, hi = min(SIZES), max(SIZES)
    if lo == 1000 and hi == 1000000:
        print(f"command peak RSS growth from {lo} to {hi} lines:")
        worst = None
        for label, _, _ in cases:
            g = peak(results[(hi, label)]["cmd"]) - peak(results[(lo, label)]["cmd"])
            print(f"  {label}: {peak(results[(lo, label)]['cmd'])} -> {peak(results[(hi, label)]['cmd'])} KiB, "
                  f"growth {g} KiB")
            worst = g if worst is None else max(worst, g)
        print()
        verdicts.append((worst < 2048,
                         f"command peak RSS growth 1k -> 1M lines: {worst} KiB at worst (target < 2048 KiB)"))
    else:
        verdicts.append((None, "RSS growth 1k -> 1M lines: not measured (SIZES lacks 1000 or 1000000)"))
    for ok, text in verdicts:
        print(f"{'PASS' if ok else ('FAIL' if ok is False else 'SKIP')}: {text}")
    if not all(ok for ok, _, _, _ in checks):
        print("WARNING: some outputs were not as expected; see the output checks above")


if __name__ == "__main__":
    main()
