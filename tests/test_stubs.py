"""The shipped stubs match the module (mypy's stubtest against the installed
package) and the contract's table (names, parameters, kinds and results)."""

import ast
import os
import subprocess
import sys

import contract
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
        text=True,
        timeout=600,
    )
    assert out.returncode == 0, out.stdout


def test_stubs_are_shipped():
    import vq.csdk.c_sdk as c_sdk

    here = os.path.dirname(c_sdk.__file__)
    assert os.path.isfile(os.path.join(here, "c_sdk.pyi"))
    assert os.path.isfile(os.path.join(here, "py.typed"))


# ---- the stubs against the contract's table ----------------------------------------------------
STUBS = os.path.join(os.path.dirname(HERE), "src", "vq", "csdk", "c_sdk.pyi")
RESULT = {
    None: "None",
    "int": "int",
    "float": "float",
    "text": "bytes",
    "addr": "Optional[bytes]",
    "reply": "_Reply",
    "bool": "bool",
}


def annotation(node):
    """The text of a simple annotation: a name, None, or X[Y, ...]."""
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Attribute):
        return annotation(node.value) + "." + node.attr
    if getattr(node, "value", 0) is None:  # ast.Constant / ast.NameConstant
        return "None"
    if isinstance(node, ast.Subscript):
        inner = getattr(node.slice, "value", node.slice)  # ast.Index before 3.9
        items = inner.elts if isinstance(inner, ast.Tuple) else [inner]
        return "%s[%s]" % (annotation(node.value), ", ".join(annotation(i) for i in items))
    if isinstance(node, ast.List):
        return "[%s]" % ", ".join(annotation(i) for i in node.elts)
    return "..."


def argument(kind, adapted):
    if kind in "TQ":
        return "_TextOrStr" if adapted else "_Text"
    return {"I": "SupportsInt", "B": "SupportsInt", "R": "SupportsFloat", "V": "object"}.get(kind)


@pytest.fixture(scope="module")
def stubs():
    if not os.path.isfile(STUBS):
        pytest.skip("needs the source tree")
    with open(STUBS) as f:
        tree = ast.parse(f.read())
    return {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}


def test_stubs_declare_every_callable_and_no_other(stubs):
    assert set(stubs) == set(contract.BY_NAME)


@pytest.mark.parametrize("name", sorted(contract.BY_NAME))
def test_stub_agrees_with_the_table(stubs, name):
    fn, stub = contract.BY_NAME[name], stubs[name]
    args = stub.args.args
    # a function of one parameter is positional-only (METH_O), spelled __name
    want = ["__" + p for p in fn.params] if len(fn.params) == 1 else list(fn.params)
    assert [a.arg for a in args] == want
    assert stub.args.vararg is None
    assert stub.args.kwarg is None
    assert not stub.args.kwonlyargs
    got = [annotation(a.annotation) for a in args]
    for kind, text in zip(fn.kinds, got):
        if argument(kind, fn.adapted) is not None:
            assert text == argument(kind, fn.adapted), (kind, got)
    if fn.result in RESULT:
        assert annotation(stub.returns) == RESULT[fn.result]
