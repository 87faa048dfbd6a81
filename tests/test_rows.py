"""A table row that disagrees with itself does not compile: small files
with one row each are compiled against the module's own headers."""

import os
import shutil
import subprocess
import sysconfig

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(ROOT, "src", "vq", "csdk", "src")
GXX = shutil.which("g++")

pytestmark = [
    pytest.mark.skipif(GXX is None, reason="needs g++"),
    pytest.mark.skipif(not os.path.isdir(SRC), reason="needs the source tree"),
]

NAMES = "row: the number of parameter names differs from the number of arguments"
INDICES = "row: the argument kinds must read parameters 0..n-1, each exactly once"

# (row, message the compiler must give, or None when the row is right)
ROWS = {
    "right": (
        'VQ_WRAP("py_x", "date_rule, time_rule", PLAIN, vqi_schedule, Status, Text<0>, Text<1>)',
        None,
    ),
    "right function": ('VQ_FUNC("f", impl, METH_O, "a", 1, nullptr, nullptr)', None),
    "too few names": (
        'VQ_WRAP("py_x", "date_rule", PLAIN, vqi_schedule, Status, Text<0>, Text<1>)',
        NAMES,
    ),
    "too many names": (
        'VQ_WRAP("py_x", "a, b, c", PLAIN, vqi_schedule, Status, Text<0>, Text<1>)',
        NAMES,
    ),
    "names, no arguments": ('VQ_WRAP("py_x", "a", PLAIN, vqi_run, Status)', NAMES),
    "index skipped": (
        'VQ_WRAP("py_x", "a, b, c", PLAIN, vqi_schedule, Status, Text<0>, Text<2>)',
        INDICES,
    ),
    "index twice": ('VQ_WRAP("py_x", "a", PLAIN, vqi_schedule, Status, Text<0>, Text<0>)', INDICES),
    "function names": ('VQ_FUNC("f", impl, METH_O, "a, b", 1, nullptr, nullptr)', NAMES),
}

SOURCE = """\
#include "rows.hpp"
namespace vq {
PyObject *impl(PyObject *, PyObject *) { return nullptr; }
Row rows[] = {%s};
}
"""


def compile_row(tmp_path, row):
    path = tmp_path / "row.cpp"
    path.write_text(SOURCE % row)
    includes = {sysconfig.get_paths()["include"], sysconfig.get_paths()["platinclude"]}
    cmd = [
        GXX,
        "-std=c++17",
        "-fsyntax-only",
        "-I" + SRC,
        "-I" + os.path.join(ROOT, "src", "vq", "csdk", "include"),
    ]
    cmd += ["-I" + d for d in sorted(includes)] + [str(path)]
    return subprocess.run(
        cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=120
    )


@pytest.mark.parametrize("case", list(ROWS))
def test_row_checked_at_compile_time(tmp_path, case):
    row, message = ROWS[case]
    out = compile_row(tmp_path, row)
    if message is None:
        assert out.returncode == 0, out.stdout
    else:
        assert out.returncode != 0 and "static assertion failed: " + message in out.stdout, (
            out.stdout
        )
        other = INDICES if message == NAMES else NAMES
        assert other not in out.stdout, out.stdout
