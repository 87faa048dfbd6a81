"""Shared fixtures.  The tests run against the installed package."""

import signal
import sys

import pytest

import standin
import vq.csdk.c_sdk as c_sdk

# A run started in the background by a non-interactive shell inherits SIGINT
# ignored, and so would every process a test starts; the tests that interrupt
# a process need the interpreter's own handler there.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def lib():
    """The stand-in library, reset: no calls, no scripts, no events."""
    standin.reset()
    yield standin
    standin.reset()


@pytest.fixture
def mod():
    return c_sdk


@pytest.fixture
def unraisable(monkeypatch):
    """Unraisable reports (3.8+; on 3.7 they go to stderr)."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append, raising=False)
    return seen
