"""The shipped stubs match the module: mypy's stubtest against the installed package."""

import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def test_stubtest():
    pytest.importorskip("mypy.stubtest")
    out = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "vq.csdk.c_sdk",
            "--allowlist",
            os.path.join(HERE, "stubtest_allowlist.txt"),
        ],
        cwd=HERE,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        universal_newlines=True,
        timeout=600,
    )
    assert out.returncode == 0, out.stdout


def test_stubs_are_shipped():
    import vq.csdk.c_sdk as c_sdk

    here = os.path.dirname(c_sdk.__file__)
    assert os.path.isfile(os.path.join(here, "c_sdk.pyi"))
    assert os.path.isfile(os.path.join(here, "py.typed"))
