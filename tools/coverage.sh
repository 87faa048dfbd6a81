#!/usr/bin/env bash
# Line coverage of the C++ core (gcov, through gcovr) and of the Python
# package (coverage.py), from one run of the test suite on a build with
# --coverage.  Prints both summaries; fails only if the build does (no
# threshold yet).
#   tools/coverage.sh [python] [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
py=${1:-python3}
shift || true
work=${VQ_COVERAGE_DIR:-$(mktemp -d)}
"$py" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --upgrade pip >/dev/null
"$work/venv/bin/python" -m pip install -q gcovr coverage 2>&1 | grep -v "^WARNING: Location" || true
"$work/venv/bin/python" -m pip install -q -C build-dir="$work/build" \
    -C cmake.define.VQ_COVERAGE=ON -C cmake.build-type=Debug ".[test]" 2>&1 |
    grep -v "^WARNING: Location" || true
"$work/venv/bin/python" -c 'import vq.csdk.c_sdk'  # the build above must have worked
# The src layout keeps the checkout's copy off sys.path: coverage.py
# measures the installed package.
# A failing test is reported by the test stages; the figures stand anyway.
"$work/venv/bin/python" -m coverage run --source=vq --data-file="$work/.coverage" \
    -m pytest -q -p no:cacheprovider tests "$@" || echo "(some tests failed; coverage as measured)"
echo "--- C++ core (gcov): lines of src/vq/csdk/src"
"$work/venv/bin/gcovr" --root . --filter "src/vq/csdk/src/" \
    --gcov-ignore-parse-errors=all --txt-summary --txt "$work/gcov.txt" "$work/build"
tail -n 25 "$work/gcov.txt"
echo "--- Python package (coverage.py)"
"$work/venv/bin/python" -m coverage report --data-file="$work/.coverage" --skip-empty --ignore-errors
