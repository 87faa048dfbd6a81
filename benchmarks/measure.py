"""Measures one peer, once (run.py runs it in a fresh process per peer and
round):

    python measure.py PEER MODULE BUDGET_MS REPEAT EVENTS [PATH ...]

Checks first that every operation gives the contract's result and reaches
the library, then times each one.  Prints one JSON object: ns per operation
by benchmark.  Nothing here judges a time.
"""

import ctypes
import gc
import importlib
import importlib.util
import itertools
import json
import os
import sys
import time

UNROLL = 10  # statements per loop turn, so the loop itself costs little

# CPU time of this thread: on a shared machine, time spent descheduled is
# not the operation's (VQB_CLOCK=wall for perf_counter instead)
CLOCK = time.perf_counter_ns if os.environ.get("VQB_CLOCK") == "wall" else time.thread_time_ns

REQ = b"\n\x0eSHSE.600000,SZ"  # 16 bytes
REQ_STR = "SHSE.600000,SZSE"  # 16 characters
RESPONSE = bytes(range(0x30, 0x40))
PAYLOAD = bytes(range(64))
EVENT_TYPE = b"tick"
TICK = {
    "symbol": "SHSE.600000",
    "created_at": 1718000000.5,
    "price": 10.25,
    "open": 10.0,
    "high": 10.5,
    "low": 9.9,
    "cum_volume": 1250000,
    "cum_amount": 12800000.0,
    "cum_position": 0,
    "last_amount": 10250.0,
    "last_volume": 1000,
    "trade_type": 1,
    "receive_local_time": 1718000000.51,
    "quotes": [],
}
CONFIG = dict(
    start_time="2024-01-02 09:30:00",
    end_time="2024-06-28 15:00:00",
    initial_cash=1000000.0,
    transaction_ratio=1.0,
    commission_ratio=0.0003,
    commission_unit=0.0,
    slippage_ratio=0.001,
    option_float_margin_ratio1=0.2,
    option_float_margin_ratio2=0.1,
    adjust=1,
    match_mode=0,
    check_cache=1,
)

# name, statement timed (None: B4, timed apart), what the statement uses
BENCHMARKS = [
    ("B1 get_parameters(bytes)", "f(req)", ("py_vqi_get_parameters", "req")),
    ("B2 get_orders(str)", "f(req_str)", ("py_vqi_get_orders", "req_str")),
    (
        "B3 set_backtest_config(kw)",
        "f("
        + ", ".join(
            "%s=%s" % (k, "s0" if k == "start_time" else "s1" if k == "end_time" else repr(v))
            for k, v in CONFIG.items()
        )
        + ")",
        ("py_vqi_set_backtest_config", "s0", "s1"),
    ),
    ("B4 event dispatch", None, (None,)),
    ("B5 TickLikeDict2(d)", "f(d)", ("TickLikeDict2", "d")),
    ("B5 tick.price", "t.price", (None, "t")),
    ("B5 tick.foo (fallback)", "t.foo", (None, "t")),
]


class Stub:
    """The stand-in's control surface, on the very library the peer uses."""

    def __init__(self, path):
        self.path = path
        lib = self.lib = ctypes.CDLL(path)
        c = ctypes
        lib.vqstub_script_int.argtypes = [c.c_char_p, c.c_longlong]
        lib.vqstub_script_response.argtypes = [c.c_char_p, c.c_char_p, c.c_int]
        lib.vqstub_queue_event.argtypes = [c.c_char_p, c.c_char_p, c.c_int, c.c_longlong]
        lib.vqstub_queue_event.restype = None
        lib.vqstub_set_recording.argtypes = [c.c_int]
        lib.vqstub_set_recording.restype = None
        lib.vqstub_call_name.restype = c.c_char_p
        lib.vqstub_call_name.argtypes = [c.c_int]
        lib.vqstub_pending_events.restype = c.c_longlong

    def reset(self):
        self.lib.vqstub_reset()

    def recording(self, on):
        self.lib.vqstub_set_recording(1 if on else 0)

    def script(self, fn, status, response=None):
        fn = fn.encode()
        if self.lib.vqstub_script_int(fn, status) != 0:
            raise KeyError(fn)
        if response is not None:
            self.lib.vqstub_script_response(fn, response, len(response))

    def calls(self):
        return [self.lib.vqstub_call_name(i).decode() for i in range(self.lib.vqstub_call_count())]

    def queue(self, count):
        self.lib.vqstub_queue_event(EVENT_TYPE, PAYLOAD, len(PAYLOAD), count)

    def pending(self):
        return self.lib.vqstub_pending_events()


def expect(what, got, want):
    if got != want:
        raise AssertionError("%s: got %r, expected %r" % (what, got, want))


def mapped_libraries():
    """Paths of every libvq3-c.so mapped into this process (Linux)."""
    found = set()
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                path = line.split(None, 5)[-1].strip()
                if os.path.basename(path) == "libvq3-c.so":
                    found.add(os.path.realpath(path))
    except OSError:
        return None
    return found


def check(mod, stub):
    """Each operation once with recording on: right result, right library call."""
    mapped = mapped_libraries()
    if mapped is not None:
        expect("libvq3-c.so mapped", mapped, {os.path.realpath(stub.path)})
    stub.reset()
    stub.script("vqi_get_parameters_pb", 0, RESPONSE)
    stub.script("vqi_get_orders_pb", 0, RESPONSE)
    stub.script("vqi_set_backtest_config", 0)
    expect("B1", mod.py_vqi_get_parameters(REQ), (0, RESPONSE))
    expect("B2", mod.py_vqi_get_orders(REQ_STR), (0, RESPONSE))
    expect("B3", mod.py_vqi_set_backtest_config(**CONFIG), 0)
    expect(
        "library calls",
        stub.calls(),
        ["vqi_get_parameters_pb", "vqi_get_orders_pb", "vqi_set_backtest_config"],
    )
    seen = []
    mod.py_vqi_set_data_callback(lambda t, d: seen.append((t, d)))
    stub.queue(3)
    mod.vqi_poll()
    expect("B4 events", seen, [(EVENT_TYPE.decode(), PAYLOAD)] * 3)
    t = mod.TickLikeDict2(dict(TICK))
    expect("B5 price", t.price, TICK["price"])
    expect("B5 fallback", t.foo, None)
    stub.recording(False)


def make_loop(stmt, names):
    src = (
        "def loop(_it, _clock, %s):\n"
        "    _t0 = _clock()\n"
        "    for _ in _it:\n"
        % ", ".join(names)
        + ("        %s\n" % stmt) * UNROLL
        + "    return _clock() - _t0\n"
    )
    ns = {}
    exec(compile(src, "<bench>", "exec"), ns)
    return ns["loop"]


def time_stmt(stmt, env, budget_ns, repeat):
    names = sorted(env)
    loop = make_loop(stmt, names)
    args = [env[k] for k in names]
    clock = CLOCK
    # grow the count until one run takes a tenth of the budget, then scale
    n = 10
    while True:
        elapsed = loop(itertools.repeat(None, n), clock, *args)
        if elapsed >= budget_ns / 10 or n >= 10**8:
            break
        n *= 4
    n = max(1, int(n * budget_ns / max(elapsed, 1)))
    best = None
    for _ in range(repeat):
        elapsed = loop(itertools.repeat(None, n), clock, *args)
        best = elapsed if best is None else min(best, elapsed)
    return best / (n * UNROLL)


def time_events(mod, stub, count):
    def cb(t, d):
        pass

    mod.py_vqi_set_data_callback(cb)
    stub.queue(min(count, 10000))  # warm up
    mod.vqi_poll()
    stub.queue(count)
    clock = CLOCK
    t0 = clock()
    mod.vqi_poll()
    elapsed = clock() - t0
    expect("events left after poll", stub.pending(), 0)
    return elapsed / count


def main(argv):
    peer, module, budget_ms, repeat, events = argv[:5]
    sys.path[:0] = argv[5:]
    budget_ns = float(budget_ms) * 1e6
    repeat, events = int(repeat), int(events)

    spec = importlib.util.find_spec("vq.csdk.c_sdk")
    stub = Stub(os.path.join(os.path.dirname(spec.origin), "libvq3-c.so"))
    mod = importlib.import_module(module)
    check(mod, stub)

    values = {
        "req": REQ,
        "req_str": REQ_STR,
        "s0": CONFIG["start_time"],
        "s1": CONFIG["end_time"],
        "d": dict(TICK),
        "t": mod.TickLikeDict2(dict(TICK)),
    }
    out = {}
    gc.collect()
    gc.disable()
    try:
        for name, stmt, (func, *names) in BENCHMARKS:
            if stmt is None:
                out[name] = time_events(mod, stub, events)
                continue
            env = {k: values[k] for k in names}
            if func is not None:
                env["f"] = getattr(mod, func)
            out[name] = time_stmt(stmt, env, budget_ns, repeat)
    finally:
        gc.enable()
    json.dump({"peer": peer, "ns": out}, sys.stdout)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main(sys.argv[1:])
