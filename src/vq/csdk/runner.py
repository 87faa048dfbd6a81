"""Running the trading library until it ends or the user stops it.

The module hands every event to one Python callable, and reports an
exception of that callable on standard error and goes on: a
KeyboardInterrupt raised inside an event does not end ``py_vqi_run``.  A
:class:`Runner` therefore turns SIGINT (Ctrl-C) and SIGTERM into a request
to stop instead of an exception::

    from vq.csdk import c_sdk
    from vq.csdk.runner import Runner

    with Runner(my_callable) as runner:  # registers the callable, catches the signals
        ... configure and subscribe ...
        status = runner.run()             # py_vqi_run(); returns early on a signal
        ... print a summary, marked interrupted if runner.interrupted ...
    sys.exit(runner.exit_status(0))      # 130 after SIGINT, 143 after SIGTERM

While the block runs, a signal calls ``py_vqi_stop()`` and records which
signal came; the library ends the run before its next event, ``run()``
returns, and the code after it sees ``runner.interrupted``.  A
KeyboardInterrupt that the callable raises itself (with Python's own
handler in place, outside the block) is caught by the registered wrapper
and treated the same way.  Python runs signal handlers between bytecodes,
so the stop takes effect at the next event the library delivers.
"""

import signal
import threading
import time
from types import FrameType
from typing import Callable, Collection, Dict, List, Optional, Sequence

from vq.csdk import c_sdk

__all__ = ["Runner", "catch_signals", "hold_signal", "signal_name"]

EventCallable = Callable[[str, bytes], object]


def signal_name(signum: int) -> str:
    """'SIGINT' for signal.SIGINT, and so on."""
    try:
        return signal.Signals(signum).name
    except ValueError:
        return "signal %d" % signum


# signals that hold_signal kept for the next catch_signals block
_held: List[int] = []


def hold_signal(signum: int, frame: Optional[FrameType] = None) -> None:
    """A signal handler that keeps the signal for the next ``catch_signals``
    block of this process that catches it (a sweep's worker sets it between
    backtests: one that comes while the next backtest starts stops it)."""
    _held.append(signum)


class catch_signals:
    """Within the block, ``signals`` call ``handler(signum)`` instead of their
    previous handlers, which are restored on leaving; signals that
    ``hold_signal`` kept are handled on entering.  Only the main thread
    can set handlers: elsewhere the block changes nothing."""

    def __init__(
        self,
        handler: Callable[[int], None],
        signals: Sequence[int] = (signal.SIGINT, signal.SIGTERM),
    ) -> None:
        self.handler = handler
        self.signals = tuple(signals)
        self._saved: Dict[int, object] = {}

    def _on_signal(self, signum: int, frame: Optional[FrameType]) -> None:
        self.handler(signum)

    def __enter__(self) -> "catch_signals":
        if threading.current_thread() is threading.main_thread():
            for s in self.signals:
                self._saved[s] = signal.signal(s, self._on_signal)
            held = [s for s in _held if s in self.signals]
            _held[:] = [s for s in _held if s not in self.signals]
            for s in held:
                self.handler(s)
        return self

    def __exit__(self, *exc: object) -> None:
        for s, previous in self._saved.items():
            signal.signal(s, previous)  # type: ignore[arg-type]
        self._saved.clear()


class Runner:
    """Runs the library with ``py_vqi_run`` and stops it cleanly on a signal.

    ``callback`` is the event callable (``callback(msg_type, payload)``);
    the runner registers its own wrapper around it with
    ``py_vqi_set_data_callback`` on entry.  Signal handlers can only be set
    in the main thread: elsewhere the runner leaves them alone and still
    stops on a KeyboardInterrupt raised by the callable.  ``keep`` names
    the message types still handed to the callable after a stop.
    """

    def __init__(
        self,
        callback: EventCallable,
        signals: Sequence[int] = (signal.SIGINT, signal.SIGTERM),
        keep: Collection[str] = (),
    ) -> None:
        self.callback = callback
        self.keep = keep  # message types still handed to the callable after a stop
        self.signum: Optional[int] = None
        self.stopped_at: Optional[float] = None  # time.monotonic() of the stop
        self._signals = catch_signals(self.stop, signals)

    # ---- the block ---------------------------------------------------------------

    def __enter__(self) -> "Runner":
        self._signals.__enter__()
        c_sdk.py_vqi_set_data_callback(self)
        return self

    def __exit__(self, *exc: object) -> None:
        self._signals.__exit__(*exc)

    # ---- stopping ----------------------------------------------------------------

    @property
    def interrupted(self) -> bool:
        """True once a signal (or KeyboardInterrupt) asked the run to stop."""
        return self.signum is not None

    def stop(self, signum: int) -> None:
        """Ask the library to stop, as the handler of ``signum`` does."""
        if self.signum is None:
            self.signum = signum
            self.stopped_at = time.monotonic()
        c_sdk.py_vqi_stop()

    def exit_status(self, status: int = 0) -> int:
        """128 + the signal number when interrupted (130 for SIGINT, 143 for
        SIGTERM), else ``status``."""
        return 128 + self.signum if self.signum is not None else status

    # ---- the registered callable and the run ---------------------------------------

    def __call__(self, msg_type: str, payload: bytes) -> None:
        if self.signum is not None:
            # a stop asked for before py_vqi_run started is cleared by it:
            # ask again, and keep later events from the strategy, but for
            # those it must see whatever happens (reports of fills made)
            c_sdk.py_vqi_stop()
            if msg_type not in self.keep:
                return
        try:
            self.callback(msg_type, payload)
        except KeyboardInterrupt:
            self.stop(signal.SIGINT)

    def run(self) -> int:
        """``py_vqi_run()``'s status, or 0 without running when a signal came
        first."""
        if self.signum is not None:
            return 0
        return c_sdk.py_vqi_run()
