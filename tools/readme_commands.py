#!/usr/bin/env python3
"""Run the README's first commands as a newcomer would: from a fresh copy of
the checkout, each in a fresh virtual environment of the given interpreter.

    tools/readme_commands.py [--exact] --clone DIR --venv DIR PYTHON

The commands are the shell blocks that follow the README's markers
``<!-- ci:demo -->`` and ``<!-- ci:tests -->``; they run with ``bash`` in the
copy (DIR, made from the checkout's tracked files if absent, so that every
interpreter reuses it and its build/), with the environment activated.

With --exact both run exactly as written, each in an environment of its own;
then the demo's extras (plot, sweep) are installed through the same command
and, if that installed anything, the tests that use them run once more.  Without it, the
test command runs with the extras added.  Either way the examples' tests
follow.  The last environment is left in --venv.
"""

import argparse
import os
import re
import shutil
import subprocess
import time
from typing import Dict, List

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MARKER = re.compile(r"^<!-- ci:(\w+) -->\n```sh\n(.*?)\n```$", re.M | re.S)
TEST_EXTRA = '".[test]"'
ALL_EXTRAS = '".[test,plot,sweep]"'
# the tests that use the extras (charts, Dask sweeps)
EXTRA_TESTS = "tests/test_backtest.py tests/test_demo.py tests/test_sweep_dask.py"


def readme_commands(path: str) -> Dict[str, str]:
    with open(path, encoding="utf-8") as f:
        found = dict(MARKER.findall(f.read()))
    for name in ("demo", "tests"):
        if name not in found:
            raise SystemExit("%s: no shell block after <!-- ci:%s -->" % (path, name))
    if TEST_EXTRA not in found["tests"]:
        raise SystemExit("%s: the test command does not install %s" % (path, TEST_EXTRA))
    return found


def fresh_copy(dest: str) -> None:
    """The checkout's tracked files, as a clone would hold them (with the
    working tree's edits), and nothing built."""
    if os.path.isdir(dest):
        return
    files = subprocess.run(
        ["git", "ls-files", "-z"], cwd=ROOT, check=True, stdout=subprocess.PIPE
    ).stdout.split(b"\0")
    for name in filter(None, (f.decode() for f in files)):
        src = os.path.join(ROOT, name)
        if os.path.isfile(src):
            os.makedirs(os.path.dirname(os.path.join(dest, name)), exist_ok=True)
            shutil.copy2(src, os.path.join(dest, name))


def step(what: str, command: str, venv: str, cwd: str) -> None:
    """One shell command in the activated environment; exits on failure."""
    env = dict(os.environ, VIRTUAL_ENV=venv, PATH=venv + "/bin:" + os.environ["PATH"])
    env.pop("PYTHONHOME", None)
    print("--- %s: %s" % (what, command), flush=True)
    start = time.monotonic()
    status = subprocess.run(["bash", "-c", command], cwd=cwd, env=env).returncode
    print(
        "--- %s: %s, %.0f s" % (what, "ok" if status == 0 else "FAILED", time.monotonic() - start)
    )
    if status != 0:
        raise SystemExit(status)


def new_venv(python: str, path: str) -> str:
    shutil.rmtree(path, ignore_errors=True)
    subprocess.run([python, "-m", "venv", path], check=True)
    return path


def freeze(venv: str) -> List[str]:
    out = subprocess.run(
        [venv + "/bin/python", "-m", "pip", "freeze", "--all"],
        check=True,
        stdout=subprocess.PIPE,
        text=True,
    )
    return sorted(out.stdout.splitlines())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("python")
    parser.add_argument("--clone", required=True, help="the fresh copy (made if absent)")
    parser.add_argument("--venv", required=True, help="the environment left behind")
    parser.add_argument("--exact", action="store_true", help="the commands exactly as written")
    args = parser.parse_args()

    fresh_copy(args.clone)
    commands = readme_commands(os.path.join(args.clone, "README.md"))
    with_extras = commands["tests"].replace(TEST_EXTRA, ALL_EXTRAS)
    venv = os.path.abspath(args.venv)
    if args.exact:
        step("README demo command", commands["demo"], new_venv(args.python, venv), args.clone)
        step("README test command", commands["tests"], new_venv(args.python, venv), args.clone)
        before = freeze(venv)
        # the same install with the extras: it reuses the build
        install = with_extras.split(" && python3 -m pytest")[0]
        step("install with the demo's extras", install, venv, args.clone)
        if freeze(venv) != before:  # the tests that skipped for want of an extra
            step(
                "tests with the demo's extras", "python3 -m pytest " + EXTRA_TESTS, venv, args.clone
            )
    else:
        step(
            "README test command with the demo's extras",
            with_extras,
            new_venv(args.python, venv),
            args.clone,
        )
    step("examples", "python3 -m pytest examples", venv, args.clone)


if __name__ == "__main__":
    main()
