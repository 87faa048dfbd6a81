"""Checks on the release files: the sdist holds what a build needs and
nothing else; each wheel is manylinux, keeps libvq3-c.so beside the module
under its own name and links it through $ORIGIN alone.

    python tools/check_dist.py dist/vq-3.0.0.tar.gz dist/vq-3.0.0-*.whl

Needs pyelftools (auditwheel's dependency).  Prints one line per file and
exits 1 on the first file that fails, naming every fault in it.
"""

import io
import re
import sys
import tarfile
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

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
    "vq/__init__.py",
    "vq/csdk/c_sdk.pyi",
    "vq/csdk/py.typed",
    "vq/csdk/include/vqcsdk.h",
    "vq/csdk/src/module.cpp",
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


# dynamic-section tags read, with the attribute that holds each value
DYNAMIC = {
    "DT_NEEDED": "needed",
    "DT_RUNPATH": "runpath",
    "DT_RPATH": "rpath",
    "DT_SONAME": "soname",
}


def dynamic(data):
    """The values of DYNAMIC's tags in an ELF shared object, as lists."""
    found = {tag: [] for tag in DYNAMIC}
    for section in ELFFile(io.BytesIO(data)).iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags():
                attr = DYNAMIC.get(tag.entry.d_tag)
                if attr:
                    found[tag.entry.d_tag].append(getattr(tag, attr))
    return found


def wheel_faults(path, version):
    faults = []
    if not re.search(r"-manylinux_?\w*\.whl$", path):
        faults.append("not a manylinux wheel")
    with zipfile.ZipFile(path) as whl:
        names = whl.namelist()
        modules = [n for n in names if re.match(r"vq/csdk/c_sdk\..*\.so$", n)]
        if len(modules) != 1:
            return faults + ["expected one extension module, found %s" % modules]
        grafted = [n for n in names if re.match(r"[^/]*\.libs/", n)]
        if grafted:
            faults.append("auditwheel grafted libraries: %s" % grafted)
        for needed in ("vq/csdk/" + LIB, "vq/csdk/c_sdk.pyi", "vq/csdk/py.typed"):
            if needed not in names:
                faults.append("missing " + needed)
        if not any(re.match(r"vq-[^/]*\.dist-info/(licenses/)?LICENSE$", n) for n in names):
            faults.append("missing the LICENSE file in .dist-info")
        if faults:
            return faults
        mod = dynamic(whl.read(modules[0]))
        lib = dynamic(whl.read("vq/csdk/" + LIB))
        meta = whl.read("vq-%s.dist-info/METADATA" % version).decode()
        init = whl.read("vq/__init__.py").decode()
    if LIB not in mod["DT_NEEDED"]:
        faults.append("the module does not link %s: %s" % (LIB, mod["DT_NEEDED"]))
    if mod["DT_RUNPATH"] != ["$ORIGIN"] or mod["DT_RPATH"]:
        faults.append("module search path %s / rpath %s" % (mod["DT_RUNPATH"], mod["DT_RPATH"]))
    if lib["DT_SONAME"] != [LIB]:
        faults.append("the library's SONAME is %s" % lib["DT_SONAME"])
    if "\nVersion: %s\n" % version not in meta or '__version__ = "%s"' % version not in init:
        faults.append("version differs from vq/__init__.py's %s" % version)
    return faults


def main(paths):
    with open("vq/__init__.py") as f:
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
