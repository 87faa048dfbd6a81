"""vq.csdk.runner: SIGINT, SIGTERM and a KeyboardInterrupt of the callable
stop a run of the offline market cleanly, without the bridge's reports."""

import os
import signal

import pytest
from test_demo import configure

from vq.csdk.runner import Runner, catch_signals, hold_signal

FULL_RUN = 2 * 48 * 22  # bars of 2024-01-02..31, two symbols: what an unstopped run sees


class Strategy:
    """Counts events and does something at the n-th bar."""

    def __init__(self, at=None, action=None):
        self.seen, self.at, self.action = [], at, action

    def __call__(self, msg_type, payload):
        self.seen.append(msg_type)
        if len(self.seen) == self.at:
            self.action()


@pytest.fixture
def market(lib, mod):
    saved = mod.__dict__.get("f")
    lib.market(True)
    configure(mod, "2024-01-02", "2024-01-31")
    yield
    mod.f = saved


def kill(signum):
    return lambda: os.kill(os.getpid(), signum)


def raise_interrupt():
    raise KeyboardInterrupt


@pytest.mark.parametrize(
    ("action", "signum"),
    [
        (kill(signal.SIGINT), signal.SIGINT),
        (kill(signal.SIGTERM), signal.SIGTERM),
        (raise_interrupt, signal.SIGINT),  # Python's own Ctrl-C handler raised it
    ],
)
def test_interrupt_during_the_run_stops_it(market, capfd, action, signum):
    before = signal.getsignal(signum)
    strategy = Strategy(at=5, action=action)
    with Runner(strategy) as runner:
        assert runner.run() == 0
    # the handler runs within the 5th event, the library stops before the next
    assert 5 <= len(strategy.seen) <= 6
    assert "backtest_finished" not in strategy.seen
    assert runner.interrupted
    assert runner.signum == signum
    assert runner.exit_status(0) == 128 + signum
    assert runner.stopped_at is not None
    assert signal.getsignal(signum) is before
    assert capfd.readouterr().err == ""  # no traceback, nothing reported by the bridge


def test_an_uninterrupted_run_reports_nothing(market):
    strategy = Strategy()
    with Runner(strategy) as runner:
        assert runner.run() == 0
    assert len(strategy.seen) == FULL_RUN + 1
    assert strategy.seen[-1] == "backtest_finished"
    assert not runner.interrupted
    assert runner.exit_status(1) == 1


def test_a_signal_before_the_run_skips_it(lib, market):
    strategy = Strategy()
    with Runner(strategy) as runner:
        os.kill(os.getpid(), signal.SIGTERM)
        assert runner.run() == 0
    assert strategy.seen == []
    assert runner.exit_status() == 143
    assert "vqi_run" not in [c[0] for c in lib.calls()]


def test_a_stop_cleared_by_the_run_is_asked_again(mod, market):
    # vqi_run forgets a stop asked before it; the wrapper asks again at the
    # first event and keeps the events from the strategy
    strategy = Strategy()
    with Runner(strategy) as runner:
        runner.stop(signal.SIGINT)
        assert mod.py_vqi_run() == 0
    assert strategy.seen == []


def test_catch_signals_outside_the_main_thread_changes_nothing():
    import threading

    seen = []

    def body():
        with catch_signals(seen.append):
            seen.append(signal.getsignal(signal.SIGTERM))

    before = signal.getsignal(signal.SIGTERM)
    t = threading.Thread(target=body)
    t.start()
    t.join()
    assert seen == [before]


def test_a_held_signal_is_handled_once_by_the_next_block_that_catches_it():
    seen = []
    hold_signal(signal.SIGTERM)
    with catch_signals(seen.append, (signal.SIGINT,)):
        assert seen == []  # not this block's
    with catch_signals(seen.append, (signal.SIGTERM,)):
        assert seen == [signal.SIGTERM]
    with catch_signals(seen.append, (signal.SIGTERM,)):
        pass
    assert seen == [signal.SIGTERM]


def test_after_a_stop_only_the_kept_message_types_reach_the_callable(mod):
    seen = []
    runner = Runner(lambda t, p: seen.append(t), keep=("execrpt",))
    runner.stop(signal.SIGINT)
    for msg_type in ("bar", "execrpt", "tick", "backtest_finished"):
        runner(msg_type, b"{}")
    assert seen == ["execrpt"]
