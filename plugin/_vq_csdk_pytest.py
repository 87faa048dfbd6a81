"""Entry point of the pytest plugin vq-csdk (vq.csdk.pytest_plugin).

It is installed at the top of site-packages, outside the vq package, so
that it can import the vq it was installed with even when the current
directory holds a source checkout of vq (which has no built module and
would otherwise shadow the installed package).
"""

import importlib.util
import os
import sys


def _import_own_vq() -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    package = os.path.join(here, "vq")
    if "vq" in sys.modules or not os.path.isfile(
        os.path.join(package, "csdk", "testing", "libvq3-c.so")
    ):
        return  # already chosen, or not a regular install: the usual import
    spec = importlib.util.spec_from_file_location(
        "vq", os.path.join(package, "__init__.py"), submodule_search_locations=[package]
    )
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules["vq"] = module
    try:
        spec.loader.exec_module(module)
    except BaseException:
        del sys.modules["vq"]
        raise


_import_own_vq()

from vq.csdk.pytest_plugin import *  # noqa: E402,F401,F403
