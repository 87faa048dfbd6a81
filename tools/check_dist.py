"""Checks on the release files: the sdist holds what a build needs and
nothing else; each wheel is manylinux (auditwheel's dual tags, such as
manylinux2014_x86_64.manylinux_2_17_x86_64, included), keeps libvq3-c.so
beside the module under its own name, links it through $ORIGIN alone and
exports PyInit_c_sdk alone.

    python tools/check_dist.py dist/vq-3.0.0.tar.gz dist/vq-3.0.0-*.whl

Needs readelf.  Prints one line per file and
exits 1 on the first file that fails, naming every fault in it.
"""

import re
import subprocess
import sys
import tarfile
import tempfile
import zipfile

LIB = "libvq3-c.so"
# what a build reads; the root is the sdist's top directory
SDIST_NEEDS = [
    "PKG-INFO",
    "pyproject.toml",
    "CMakeLists.txt",
    "README.md",
    "LICENSE",
    "standin/CMakeLists.txt",
    "standin/vq3-c.map",
    "src/vq/__init__.py",
    "src/vq/csdk/c_sdk.pyi",
    "src/vq/csdk/py.typed",
    "src/vq/csdk/include/vqcsdk.h",
    "src/vq/csdk/src/module.cpp",
    "src/vq/csdk/src/c_sdk.map",
]
# development files, build output and caches
SDIST_REFUSES = re.compile(
    r"^(\.ci|benchmarks|tests|tools|build|dist)/"
    r"|(^|/)(__pycache__|\.pytest_cache|\.hypothesis|\.mypy_cache|\.ruff_cache|\.git)(/|$)"
    r"|\.(so|pyc|o)$"
)


def sdist_faults(path):
    with tarfile.open(path) as tar:
        names = [m.name for m in tar.getmembers() if m.isfile()]
    top = {n.split("/", 1)[0] for n in names}
    if len(top) != 1:
        return ["more than one top directory: %s" % sorted(top)]
    rel = {n.split("/", 1)[1] for n in names}
    faults = ["missing " + n for n in SDIST_NEEDS if n not in rel]
    faults += ["should not ship " + n for n in sorted(rel) if SDIST_REFUSES.search(n)]
    return faults


def dynamic(data):
    """The NEEDED, RUNPATH, RPATH and SONAME entries of an ELF shared object,
    as readelf (binutils, there wherever the compiler is) reports them."""
    with tempfile.NamedTemporaryFile(suffix=".so") as f:
        f.write(data)
        f.flush()
        out = subprocess.check_output(["readelf", "-d", f.name], universal_newlines=True)
    found = {tag: [] for tag in ("NEEDED", "RUNPATH", "RPATH", "SONAME")}
    for tag, value in re.findall(r"\((NEEDED|RUNPATH|RPATH|SONAME)\)[^\[]*\[(.*)\]", out):
        found[tag].append(value)
    return found


# one platform tag; a wheel's last field holds one or more, joined by "."
MANYLINUX = re.compile(r"manylinux(1|2010|2014|_\d+_\d+)_(x86_64|aarch64|i686)$")


def platform_faults(path):
    if not path.endswith(".whl"):
        return ["not a wheel"]
    tags = path[: -len(".whl")].rsplit("-", 1)[-1].split(".")
    if not all(MANYLINUX.match(t) for t in tags):
        return ["not a manylinux wheel: %s" % ".".join(tags)]
    return []


def exports(data):
    """The functions and objects an ELF shared object defines for others."""
    with tempfile.NamedTemporaryFile(suffix=".so") as f:
        f.write(data)
        f.flush()
        out = subprocess.check_output(
            ["readelf", "--dyn-syms", "-W", f.name], universal_newlines=True
        )
    # Num: Value Size Type Bind Vis Ndx Name
    rows = [line.split() for line in out.splitlines()]
    return sorted(
        r[7].split("@")[0]
        for r in rows
        if len(r) >= 8 and r[4] in ("GLOBAL", "WEAK") and r[6] != "UND" and r[3] != "NOTYPE"
    )


def wheel_faults(path, version):
    faults = platform_faults(path)
    with zipfile.ZipFile(path) as whl:
        names = whl.namelist()
        modules = [n for n in names if re.match(r"vq/csdk/c_sdk\..*\.so$", n)]
        if len(modules) != 1:
            return [*faults, "expected one extension module, found %s" % modules]
        grafted = [n for n in names if re.match(r"[^/]*\.libs/", n)]
        if grafted:
            faults.append("auditwheel grafted libraries: %s" % grafted)
        for needed in (
            "vq/csdk/" + LIB,
            "vq/csdk/c_sdk.pyi",
            "vq/csdk/py.typed",
            "vq/csdk/BUILD-INFO",
        ):
            if needed not in names:
                faults.append("missing " + needed)
        if not any(re.match(r"vq-[^/]*\.dist-info/(licenses/)?LICENSE$", n) for n in names):
            faults.append("missing the LICENSE file in .dist-info")
        if faults:
            return faults
        mod = dynamic(whl.read(modules[0]))
        exported = exports(whl.read(modules[0]))
        lib = dynamic(whl.read("vq/csdk/" + LIB))
        meta = whl.read("vq-%s.dist-info/METADATA" % version).decode()
        init = whl.read("vq/__init__.py").decode()
    if LIB not in mod["NEEDED"]:
        faults.append("the module does not link %s: %s" % (LIB, mod["NEEDED"]))
    if exported != ["PyInit_c_sdk"]:
        faults.append("the module exports %s" % exported[:5])
    if mod["RUNPATH"] != ["$ORIGIN"] or mod["RPATH"]:
        faults.append("module search path %s / rpath %s" % (mod["RUNPATH"], mod["RPATH"]))
    if lib["SONAME"] != [LIB]:
        faults.append("the library's SONAME is %s" % lib["SONAME"])
    if "\nVersion: %s\n" % version not in meta or '__version__ = "%s"' % version not in init:
        faults.append("version differs from vq/__init__.py's %s" % version)
    return faults


def main(paths):
    with open("src/vq/__init__.py") as f:
        version = re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)
    status = 0
    for path in paths:
        faults = sdist_faults(path) if path.endswith(".tar.gz") else wheel_faults(path, version)
        print("%s %s" % ("FAIL" if faults else "ok  ", path))
        for fault in faults:
            print("     " + fault)
        status |= bool(faults)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
