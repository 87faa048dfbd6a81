"""Shared fixtures.  The tests run against the installed package: the source
tree's vq/ has no built extension, so it must not shadow it."""

import os
import sys

_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _root]

import pytest  # noqa: E402

import standin  # noqa: E402
import vq.csdk.c_sdk as c_sdk  # noqa: E402


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
