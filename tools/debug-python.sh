#!/usr/bin/env bash
# Runs the test suite on Debian's debug interpreter (python3.11-dbg), whose
# sys.gettotalrefcount() lets the leak hunt check the interpreter's total
# reference count, and whose assertions check every reference the module
# hands back.  Installs the interpreter with apt-get when it is missing.
#   tools/debug-python.sh [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
py=/usr/bin/python3.11-dbg
if [ ! -x "$py" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq python3.11-dbg python3.11-venv >/dev/null
fi
work=${VQ_DEBUG_DIR:-$(mktemp -d)}
"$py" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1
PYTHONWARNINGS=ignore "$work/venv/bin/python" -m pip install -q -C build-dir="$work/build" ".[test]"
"$work/venv/bin/python" -c 'import sys; assert hasattr(sys, "gettotalrefcount")'
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider -W ignore::ResourceWarning tests "$@"
