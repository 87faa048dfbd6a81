"""The installed package as a wheel ships it: the module links libvq3-c.so by
name through $ORIGIN alone, and the version has a single source."""

import importlib.util
import io
import os
import re
import shutil
import subprocess
import tarfile
import zipfile

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


@pytest.mark.skipif(not shutil.which("readelf"), reason="needs readelf")
def test_module_exports_its_init_function_alone(check_dist):
    # a runtime linked in statically (libc++ in the release wheels) would
    # otherwise export operator new/delete and the like to every other module
    with open(c_sdk.__file__, "rb") as f:
        assert check_dist.exports(f.read()) == ["PyInit_c_sdk"]
    # and the reading sees what a library does export
    with open(os.path.join(os.path.dirname(c_sdk.__file__), "libvq3-c.so"), "rb") as f:
        exported = check_dist.exports(f.read())
    assert "vqi_init" in exported
    assert "PyInit_c_sdk" not in exported


def test_build_info_names_the_recipe_and_compiler():
    with open(os.path.join(os.path.dirname(c_sdk.__file__), "BUILD-INFO")) as f:
        lines = f.read().splitlines()
    assert [line.split(": ", 1)[0] for line in lines] == ["recipe", "compiler"]
    assert all(line.split(": ", 1)[1].strip() for line in lines)


def test_version_is_single_sourced():
    metadata = pytest.importorskip("importlib.metadata")
    assert re.match(r"^\d+\.\d+\.\d+$", vq.__version__)
    assert metadata.version("vq") == vq.__version__


# tools/check_dist.py gates the release files; these make sure it refuses
# what it is there to refuse.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="module")
def check_dist():
    spec = importlib.util.spec_from_file_location(
        "check_dist", os.path.join(ROOT, "tools", "check_dist.py")
    )
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def make_sdist(path, members):
    with tarfile.open(path, "w:gz") as tar:
        for name in members:
            info = tarfile.TarInfo("vq-3.0.0/" + name)
            tar.addfile(info, io.BytesIO(b""))
    return str(path)


def test_sdist_check_accepts_what_a_build_needs(check_dist, tmp_path):
    members = [*check_dist.SDIST_NEEDS, "standin/vqi.cpp", "src/vq/csdk/src/tests_helper.hpp"]
    assert check_dist.sdist_faults(make_sdist(tmp_path / "ok.tar.gz", members)) == []
    short = make_sdist(tmp_path / "short.tar.gz", members[1:])
    assert check_dist.sdist_faults(short) == ["missing " + members[0]]


@pytest.mark.parametrize(
    "extra",
    [
        ".ci/run",
        "tests/conftest.py",
        "benchmarks/run.py",
        "tools/lint.sh",
        "build/cp311-cp311-linux_x86_64/CMakeCache.txt",
        "dist/vq-3.0.0.tar.gz",
        "src/vq/__pycache__/utils.cpython-311.pyc",
        ".pytest_cache/v/cache/nodeids",
        ".hypothesis/examples/x",
        "src/vq/csdk/.mypy_cache/x",
        "src/vq/csdk/c_sdk.cpython-311-x86_64-linux-gnu.so",
    ],
)
def test_sdist_check_refuses_development_files_output_and_caches(check_dist, tmp_path, extra):
    sdist = make_sdist(tmp_path / "vq-3.0.0.tar.gz", [*check_dist.SDIST_NEEDS, extra])
    assert check_dist.sdist_faults(sdist) == ["should not ship " + extra]


def wheel_members():
    """The installed package's files, laid out as in the wheel."""
    here = os.path.dirname(c_sdk.__file__)

    def read(name):
        with open(os.path.join(here, name), "rb") as f:
            return f.read()

    return {
        "vq/__init__.py": ('__version__ = "%s"\n' % vq.__version__).encode(),
        "vq/csdk/" + os.path.basename(c_sdk.__file__): read(os.path.basename(c_sdk.__file__)),
        "vq/csdk/libvq3-c.so": read("libvq3-c.so"),
        "vq/csdk/c_sdk.pyi": b"",
        "vq/csdk/py.typed": b"",
        "vq/csdk/BUILD-INFO": b"recipe: test\ncompiler: test\n",
        "vq-%s.dist-info/METADATA" % vq.__version__: b"Name: vq\nVersion: %s\n"
        % vq.__version__.encode(),
        "vq-%s.dist-info/licenses/LICENSE" % vq.__version__: b"",
    }


def grafted(members):
    members["vq.libs/libvq3-c-0123abcd.so"] = members.pop("vq/csdk/libvq3-c.so")


def module_without_runpath(members):
    module = next(n for n in members if n.startswith("vq/csdk/c_sdk."))
    members[module] = members["vq/csdk/libvq3-c.so"]


@pytest.mark.parametrize(
    ("tag", "change", "fault"),
    [
        ("manylinux_2_34_x86_64", None, None),
        # auditwheel's dual tag for glibc 2.17
        ("manylinux2014_x86_64.manylinux_2_17_x86_64", None, None),
        ("linux_x86_64", None, "not a manylinux wheel"),
        ("manylinux2014_x86_64.linux_x86_64", None, "not a manylinux wheel"),
        ("manylinux_2_17_x86_64.musllinux_1_2_x86_64", None, "not a manylinux wheel"),
        ("manylinux_2_34_x86_64", grafted, "auditwheel grafted libraries"),
        (
            "manylinux_2_34_x86_64",
            lambda m: m.pop("vq/csdk/c_sdk.pyi"),
            "missing vq/csdk/c_sdk.pyi",
        ),
        ("manylinux_2_34_x86_64", module_without_runpath, "module search path []"),
        ("manylinux_2_34_x86_64", module_without_runpath, "the module exports ["),
        (
            "manylinux_2_34_x86_64",
            lambda m: m.pop("vq/csdk/BUILD-INFO"),
            "missing vq/csdk/BUILD-INFO",
        ),
    ],
)
@pytest.mark.skipif(not shutil.which("readelf"), reason="needs readelf")
def test_wheel_check(check_dist, tmp_path, tag, change, fault):
    members = wheel_members()
    if change:
        change(members)
    path = str(tmp_path / ("vq-%s-cp3-cp3-%s.whl" % (vq.__version__, tag)))
    with zipfile.ZipFile(path, "w") as whl:
        for name, data in members.items():
            whl.writestr(name, data)
    faults = check_dist.wheel_faults(path, vq.__version__)
    if fault is None:
        assert faults == []
    else:
        assert any(f.startswith(fault) for f in faults), faults
