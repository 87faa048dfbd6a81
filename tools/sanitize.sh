#!/usr/bin/env bash
# Builds the module and the stand-in library with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the test suite under them.
#   tools/sanitize.sh [python] [pytest args...]
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded; leak detection is left to tests/test_leaks.py (the interpreter
# keeps objects alive until exit, which LeakSanitizer would report).
set -euo pipefail
cd "$(dirname "$0")/.."
py=${1:-python3}
shift || true
work=${VQ_SANITIZE_DIR:-$(mktemp -d)}
"$py" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --upgrade pip >/dev/null
"$work/venv/bin/python" -m pip install -q -C build-dir="$work/build" \
    -C cmake.define.VQ_SANITIZE=address,undefined -C cmake.build-type=RelWithDebInfo ".[test]"
preload="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
LD_PRELOAD="$preload" "$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
