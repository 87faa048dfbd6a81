"""The offline market of the stand-in, measured.  Run it with the python
whose environment has vq installed:

    python benchmarks/market.py [--quick] [--no-callgrind] [--json FILE]

Per mode (two symbols of 60-second bars, of daily bars, of ticks, and the
reference: the same events delivered from the stand-in's plain event queue,
no market), with a no-op Python callable:

- instructions per event: valgrind --tool=callgrind over two run lengths,
  the difference in instructions divided by the difference in events (so
  start-up and set-up cancel; the counts repeat exactly whatever else the
  machine does);
- events per second, wall clock, in this process.

Loading users' data: a generated CSV of bars (1,000,000 rows; --quick
10,000) read through the public replay API (``replay_csv``), beside a plain
``csv.reader`` pass over the same file converting every cell
(``datetime.fromisoformat``, ``float``, ``int``), each in a child process
of its own: seconds, peak resident memory, and the resident memory per row
that the loaded data keeps.

Memory on a long run: 20 years of 60-second bars of one symbol (--quick: 2
years), resident memory after the first year and at the end.

Nothing about time is asserted.  The exit status is 1 when the long run's
memory grows by more than 10 MB after its first year.
"""

import argparse
import csv
import datetime
import gc
import json
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.abspath(__file__)
SYMBOLS = "BM.1,BM.2"
# mode: (frequency, (short, long) run lengths in days for callgrind, days for the clock)
MODES = {
    "bars 60s": ("60s", (2, 6), 60),
    "bars 1d": ("1d", (20, 60), 1000),
    "ticks": ("tick", (1, 2), 6),
}
QUICK = {"bars 60s": ((1, 2), 3), "bars 1d": ((3, 6), 20), "ticks": ((1, 2), 1)}
# the reference delivers events of about a bar's size
REFERENCE_PAYLOAD = (
    b'{"symbol":"BM.1","frequency":"60s","bob":"2024-01-02 09:30:00","eob":"2024-01-02 '
    b'09:31:00","open":14.06,"high":14.08,"low":14.05,"close":14.08,"volume":21600,'
    b'"amount":303817,"pre_close":14.06,"position":0}'
)
START = datetime.date(2024, 1, 2)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


# ---- in a worker process -----------------------------------------------------------------


def market_run(frequency, days, callback, symbols=SYMBOLS):
    """One market run over `days` calendar days; events delivered."""
    import vq.csdk.testing as kit
    from vq.csdk import c_sdk

    kit.reset()
    kit.recording(False)
    kit.market(True)
    end = START + datetime.timedelta(days=days - 1)
    c_sdk.py_vqi_set_backtest_config(
        str(START), str(end), 1e6, 1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0, 0, 0
    )
    c_sdk.py_vqi_subscribe(symbols, frequency, True)
    c_sdk.py_vqi_set_data_callback(callback)
    return c_sdk.py_vqi_run()


def noop(t, d):
    pass


def worker(mode, n, counting):
    """Run one mode; print the events delivered (when counting)."""
    seen = [0]

    def count(t, d):
        seen[0] += 1

    callback = count if counting else noop
    if mode == "reference":
        import vq.csdk.testing as kit
        from vq.csdk import c_sdk

        kit.reset()
        kit.recording(False)
        c_sdk.py_vqi_set_data_callback(callback)
        kit.queue_event("bar", REFERENCE_PAYLOAD, n)
        c_sdk.vqi_poll()
    else:
        market_run(MODES[mode][0], n, callback)
    print(json.dumps({"events": seen[0]}))


def load_worker(path, plain):
    if not plain:
        import vq.csdk.testing as kit
    gc.collect()
    before = rss_bytes()
    t0, cpu0 = time.perf_counter(), time.process_time()
    if plain:
        fromiso = datetime.datetime.fromisoformat
        rows = []
        with open(path, newline="") as f:
            r = csv.reader(f)
            next(r)
            for sym, bob, eob, o, h, lo, c, v, a in r:
                rows.append((sym, fromiso(bob), fromiso(eob), float(o), float(h), float(lo),
                             float(c), int(v), float(a)))  # fmt: skip
        n = len(rows)
    else:
        series = kit.replay_csv(path, frequency="60s")
        n = sum(len(s) for s in series)
    seconds, cpu = time.perf_counter() - t0, time.process_time() - cpu0
    gc.collect()
    kept = rss_bytes() - before
    out = {"seconds": seconds, "cpu": cpu, "rows": n, "peak": peak_bytes(), "kept": kept}
    if not plain:  # the market's copy alone, the returned series dropped
        del series
        gc.collect()
        out["kept_by_market"] = rss_bytes() - before
    print(json.dumps(out))


def flat_worker(years):
    """RSS after the first year of 60-second bars and at the end."""
    days = (START.replace(year=START.year + years) - START).days
    year1 = (START.replace(year=START.year + 1) - START).days
    first = market_run("60s", year1, noop, "BM.1")
    assert first == 0
    marks = []
    seen = [0]
    per_year = [0]

    def count(t, d):
        seen[0] += 1

    market_run("60s", year1, count, "BM.1")
    per_year[0] = seen[0]
    seen[0] = 0

    def sample(t, d):
        seen[0] += 1
        if seen[0] == per_year[0] or seen[0] % 100000 == 0:
            marks.append((seen[0], rss_bytes()))

    market_run("60s", days, sample, "BM.1")
    at_year = next(r for n, r in marks if n == per_year[0])
    print(json.dumps({"events": seen[0], "year1": at_year, "end": rss_bytes()}))


# ---- the driver --------------------------------------------------------------------------


def child(args, valgrind=False):
    cmd = [sys.executable, HERE] + [str(a) for a in args]
    if valgrind:
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *cmd]
    # a fixed hash seed, so that both run lengths start alike
    env = dict(os.environ, PYTHONHASHSEED="0")
    p = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if p.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(cmd), p.stderr[-2000:]))
    out = json.loads(p.stdout.strip().splitlines()[-1])
    if valgrind:
        m = re.search(r"Collected : (\d+)", p.stderr)
        if not m:
            raise RuntimeError("no instruction count from callgrind:\n" + p.stderr[-2000:])
        out["instructions"] = int(m.group(1))
    return out


def instructions_per_event(mode, short, long):
    counts = [child(["worker", mode, n, "count"])["events"] for n in (short, long)]
    ins = [child(["worker", mode, n, "noop"], valgrind=True)["instructions"] for n in (short, long)]
    return (ins[1] - ins[0]) / (counts[1] - counts[0]), counts[1] - counts[0]


def events_per_second(mode, n):
    events = child(["worker", mode, n, "count"])["events"]
    t0 = time.perf_counter()
    if mode == "reference":
        import vq.csdk.testing as kit
        from vq.csdk import c_sdk

        kit.reset()
        kit.recording(False)
        c_sdk.py_vqi_set_data_callback(noop)
        kit.queue_event("bar", REFERENCE_PAYLOAD, n)
        t0 = time.perf_counter()
        c_sdk.vqi_poll()
    else:
        market_run(MODES[mode][0], n, noop)
    return events / (time.perf_counter() - t0)


def write_csv(path, rows):
    """Bars of two symbols, 60 seconds apart, every day of the week."""
    t = datetime.datetime(2020, 1, 1, 9, 30)
    step = datetime.timedelta(seconds=60)
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["symbol", "bob", "eob", "open", "high", "low", "close", "volume", "amount"])
        for i in range(rows // 2):
            bob, eob = t + i * step, t + (i + 1) * step
            b, e = bob.isoformat(" "), eob.isoformat(" ")
            p = 10 + (i % 1000) / 100
            for sym, k in (("CSV.1", 1), ("CSV.2", 2)):
                v = 100 * (1 + (i + k) % 20)
                w.writerow([sym, b, e, p, p + 0.05, p - 0.05, p + 0.01, v, round(p * v, 2)])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="tiny counts: checks that it runs")
    ap.add_argument("--no-callgrind", action="store_true", help="skip the instruction counts")
    ap.add_argument("--rows", type=int, help="rows of the CSV (1000000; --quick 10000)")
    ap.add_argument("--json", help="write the figures to this file as well")
    args = ap.parse_args()
    figures = {}
    callgrind = not args.no_callgrind and shutil.which("valgrind") is not None

    print("%-12s %14s %12s" % ("mode", "instr/event", "events/s"))
    for mode in [*list(MODES), "reference"]:
        if mode == "reference":
            lengths = (20000, 60000) if not args.quick else (2000, 4000)
            clock = 1000000 if not args.quick else 20000
        elif args.quick:
            lengths, clock = QUICK[mode]
        else:
            lengths, clock = MODES[mode][1], MODES[mode][2]
        ipe = instructions_per_event(mode, *lengths)[0] if callgrind else None
        eps = events_per_second(mode, clock)
        figures[mode] = {"instructions_per_event": ipe, "events_per_second": eps}
        print("%-12s %14s %12.0f" % (mode, "n/a" if ipe is None else "%.0f" % ipe, eps))
    if callgrind:
        ref = figures["reference"]["instructions_per_event"]
        for mode in MODES:
            figures[mode]["market_instructions_per_event"] = (
                figures[mode]["instructions_per_event"] - ref
            )
        print(
            "market's own (less the reference): "
            + ", ".join("%s %.0f" % (m, figures[m]["market_instructions_per_event"]) for m in MODES)
        )

    rows = args.rows or (10000 if args.quick else 1000000)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bars.csv")
        write_csv(path, rows)
        size = os.path.getsize(path)
        # alternating, each the best of its rounds: the machine may be busy
        plain, replay = [], []
        for _ in range(1 if args.quick else 2):
            plain.append(child(["load", path, "plain"]))
            replay.append(child(["load", path, "replay"]))
    best = {k: min(p[k] for p in plain) for k in ("seconds", "cpu")}
    mine = {k: min(p[k] for p in replay) for k in ("seconds", "cpu")}
    ratio = mine["cpu"] / best["cpu"]
    figures["load"] = {"plain": plain, "replay": replay, "ratio_cpu": ratio}
    print(
        "load %d rows (%.1f MB): csv.reader pass %.2f s CPU, %.2f s wall (peak %.0f MiB); "
        "replay_csv %.2f s CPU, %.2f s wall (peak %.0f MiB): %.2f x the plain pass in CPU "
        "time, %.2f x wall; %.1f bytes resident per row once loaded (%.1f once the returned "
        "series are dropped)"
        % (rows, size / 1e6, best["cpu"], best["seconds"], plain[0]["peak"] / 2**20,
           mine["cpu"], mine["seconds"], replay[0]["peak"] / 2**20, ratio,
           mine["seconds"] / best["seconds"], replay[0]["kept"] / rows,
           replay[0]["kept_by_market"] / rows)
    )  # fmt: skip

    years = 2 if args.quick else 20
    flat = child(["flat", years])
    grown = (flat["end"] - flat["year1"]) / 2**20
    figures["flat"] = dict(flat, years=years)
    print(
        "%d years of 60s bars (%d events): RSS %.1f MiB after the first year, %.1f MiB at the "
        "end (%+.1f MiB)" % (years, flat["events"], flat["year1"] / 2**20, flat["end"] / 2**20,
                             grown)
    )  # fmt: skip
    if args.json:
        with open(args.json, "w") as f:
            json.dump(figures, f, indent=1)
    return 1 if grown > 10 else 0


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "worker":
        worker(sys.argv[2], int(sys.argv[3]), sys.argv[4] == "count")
    elif len(sys.argv) > 1 and sys.argv[1] == "load":
        load_worker(sys.argv[2], sys.argv[3] == "plain")
    elif len(sys.argv) > 1 and sys.argv[1] == "flat":
        flat_worker(int(sys.argv[2]))
    else:
        sys.exit(main())
