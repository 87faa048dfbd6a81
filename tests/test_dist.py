"""The installed package as a wheel ships it: the module links libvq3-c.so by
name through $ORIGIN alone, and the version has a single source."""

import os
import re
import shutil
import subprocess

import pytest

import vq
import vq.csdk.c_sdk as c_sdk


@pytest.mark.skipif(not shutil.which("readelf"), reason="needs readelf")
def test_module_finds_the_library_beside_it_and_nowhere_else():
    out = subprocess.check_output(["readelf", "-d", c_sdk.__file__], universal_newlines=True)
    assert re.findall(r"\(NEEDED\).*\[(libvq3-c\.so)\]", out) == ["libvq3-c.so"]
    # a build-tree path or DT_RPATH (searched before LD_LIBRARY_PATH) would
    # change which library a user's replacement competes with
    assert re.findall(r"\((RUNPATH|RPATH)\).*\[(.*)\]", out) == [("RUNPATH", "$ORIGIN")]
    assert os.path.isfile(os.path.join(os.path.dirname(c_sdk.__file__), "libvq3-c.so"))


def test_version_is_single_sourced():
    metadata = pytest.importorskip("importlib.metadata")
    assert re.match(r"^\d+\.\d+\.\d+$", vq.__version__)
    assert metadata.version("vq") == vq.__version__
