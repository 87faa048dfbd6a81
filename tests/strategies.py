"""Strategies the sweep tests hand to worker processes (importable there)."""

import os
import signal

from vq.csdk.backtest import Strategy
from vq.csdk.backtest.crossover import Crossover


class FailOn(Crossover):
    """The crossover, but raising on its first bar when ``fail`` is true."""

    def __init__(self, short=10, long=30, fail=False):
        super().__init__(short, long)
        self.fail = fail

    def on_bar(self, bar):
        if self.fail:
            raise ValueError("asked to fail")
        super().on_bar(bar)


class DieOn(Strategy):
    """Ends its worker process when ``die`` is true, or once per ``marker``
    file (the first attempt dies, a rerun runs)."""

    def __init__(self, die=False, marker=None, n=0):
        if marker is not None and not os.path.exists(marker):
            open(marker, "w").close()
            os._exit(3)
        if die:
            os._exit(3)


class TermOn(Strategy):
    """Sends its own process SIGTERM at its first bar."""

    def on_bar(self, bar):
        os.kill(os.getpid(), signal.SIGTERM)
