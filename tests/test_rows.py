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
    pytest.mark.slow,  # a compiler run per case
    pytest.mark.skipif(GXX is None, reason="needs g++"),
    pytest.mark.skipif(not os.path.isdir(SRC), reason="needs the source tree"),
]

NAMES = "row: the number of parameter names differs from the number of arguments"
INDICES = "row: the argument kinds must read parameters 0..n-1, each exactly once"
TYPES = "row: the argument kinds' C types differ from the library function's parameter types"
RESULT = "row: the result kind does not take the library function's return type"
MESSAGES = (NAMES, INDICES, TYPES, RESULT)

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
    # void vqi_set_timer(int): a double or a bool would be converted silently
    "real for an int": (
        'VQ_WRAP("py_x", "interval", PLAIN, vqi_set_timer, Nothing, Real<0>)',
        TYPES,
    ),
    "truth for an int": (
        'VQ_WRAP("py_x", "interval", PLAIN, vqi_set_timer, Nothing, Truth<0>)',
        TYPES,
    ),
    "int for a bool": (
        'VQ_WRAP("py_x", "mode", PLAIN, vqi_set_mode_consistency, Nothing, Int<0>)',
        TYPES,
    ),
    "missing out-parameters": (
        'VQ_WRAP("py_x", "req", PLAIN, vqi_get_orders_pb, Status, Request<0>)',
        TYPES,
    ),
    "status of a void function": (
        'VQ_WRAP("py_x", "interval", PLAIN, vqi_set_timer, Status, Int<0>)',
        RESULT,
    ),
    "text of a long long": ('VQ_WRAP("py_x", "", PLAIN, vqi_now, TextOut)', RESULT),
    "right long long": ('VQ_WRAP("py_x", "", PLAIN, vqi_now, LongLong)', None),
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
        cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120
    )


@pytest.mark.parametrize("case", list(ROWS))
def test_row_checked_at_compile_time(tmp_path, case):
    row, message = ROWS[case]
    out = compile_row(tmp_path, row)
    if message is None:
        assert out.returncode == 0, out.stdout
    else:
        assert out.returncode != 0, out.stdout
        assert "static assertion failed: " + message in out.stdout, out.stdout
        # the row's one fault, and no other, is named
        for other in MESSAGES:
            assert other == message or other not in out.stdout, out.stdout
