#!/usr/bin/env python3
"""Stress the paths where the interpreter's threads meet: records read while
another thread rebinds their mapping, with a 1 us switch interval, and
processes that exit while a thread of the library's own delivers events.
Every case runs in a child process; a crash, a hang or a wrong answer there
fails the run.  Run it with the python whose environment has vq installed.

    python tools/stress_events.py [--seconds 10] [--exits 200]
"""

import argparse
import dataclasses
import os
import random
import subprocess
import sys
import textwrap
import time

RECORDS = textwrap.dedent(
    """
    import enum, sys, threading, time
    import vq.csdk.c_sdk as c_sdk

    class Side(enum.Enum):
        BUY = 1

    class Name(str):
        def __hash__(self):  # Python code inside every search for it
            return str.__hash__(self)

    NAME = Name('zz')
    sys.setswitchinterval(1e-6)
    records = [cls({Side.BUY: 1.0, NAME: 1.0, 'price': 1.0, 'k': 1.0})
               for cls in (c_sdk.TickLikeDict2, c_sdk.BarLikeDict2, c_sdk.ObjectLikeDict2)]
    stop = threading.Event()

    def rebind():
        while not stop.is_set():
            for r in records:
                r.data = {Side.BUY: 2.0, NAME: 2.0, 'price': 2.0, 'k': 2.0}
                junk = [{'junk': None}, {}]  # reuses what the old mapping freed

    def read(seen):
        while not stop.is_set():
            for r in records:
                seen.update((r[Side.BUY], getattr(r, NAME), r.k, r.price))
                seen.add(len(str(r)) > 0)

    seen = [set(), set()]
    threads = [threading.Thread(target=rebind)] + [
        threading.Thread(target=read, args=(s,)) for s in seen]
    for t in threads:
        t.start()
    deadline = time.monotonic() + %(seconds)f
    while time.monotonic() < deadline:
        c_sdk.TickLikeDict2({'price': 3.0}).price
    stop.set()
    for t in threads:
        t.join()
    got = set().union(*seen) - {True}
    assert got <= {1.0, 2.0}, got
    print('ok')
    """
)

EXIT = textwrap.dedent(
    """
    import ctypes, os, sys, time
    import vq.csdk.c_sdk as c_sdk
    lib = ctypes.PyDLL(os.path.join(os.path.dirname(c_sdk.__file__), 'libvq3-c.so'))
    lib.vqstub_queue_event.argtypes = (
        ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_longlong)
    seen = []
    def on_event(t, p):
        seen.append([p] * 20)
        if %(exit_in_callable)r and len(seen) > 50:
            sys.exit(4)
    c_sdk.py_vqi_set_data_callback(on_event)
    lib.vqstub_queue_event(b'tick', b'x' * 64, 64, 10 ** 9)
    assert lib.vqstub_exit_handler(0, %(handler_ms)d) == 0
    assert lib.vqstub_thread_start() == 0
    deadline = time.monotonic() + %(run_s)f
    while time.monotonic() < deadline:
        del seen[:]
    sys.exit(3)
    """
)


@dataclasses.dataclass(frozen=True)
class Failure:
    case: str
    returncode: int
    stderr: str


def child(code, timeout):
    """(returncode, stdout, stderr) of code run by this python; a hang
    counts as returncode None."""
    try:
        out = subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired as exc:
        return None, "", "hung: %s" % (exc.stderr or "")
    return out.returncode, out.stdout, out.stderr


def stress_records(seconds):
    """Failures of the record race (none or one)."""
    rc, out, err = child(RECORDS % {"seconds": seconds}, timeout=seconds + 60)
    return [] if (rc, out, err) == (0, "ok\n", "") else [Failure("records", rc, err + out)]


def stress_exits(count, seed):
    """Failures among count processes that exit while the library's thread
    delivers: the main thread calls sys.exit(3) after a random moment, or
    the callable calls sys.exit(4) there first; a slow exit handler keeps
    the thread going after finalization."""
    rng = random.Random(seed)
    failures = []
    for i in range(count):
        exit_in_callable = i % 4 == 0
        code = EXIT % {
            "exit_in_callable": exit_in_callable,
            "handler_ms": rng.choice([0, 5, 20]),
            "run_s": rng.uniform(0.0, 0.03),
        }
        rc, _, err = child(code, timeout=30)
        if rc not in ((3, 4) if exit_in_callable else (3,)) or err:
            failures.append(Failure("exit %d (seed %d)" % (i, seed), rc, err))
    return failures


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="record race duration")
    parser.add_argument("--exits", type=int, default=200, help="processes that exit")
    parser.add_argument("--seed", type=int, default=int(os.environ.get("VQ_STRESS_SEED", "0")))
    args = parser.parse_args(argv)
    start = time.monotonic()
    failures = stress_records(args.seconds) + stress_exits(args.exits, args.seed)
    for f in failures:
        print("FAILED %s: returncode %s\n%s" % (f.case, f.returncode, f.stderr[-2000:]))
    print(
        "stress: %d failure(s) in %.0f s (records %.0f s, %d exits)"
        % (len(failures), time.monotonic() - start, args.seconds, args.exits)
    )
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
