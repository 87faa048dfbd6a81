#!/usr/bin/env bash
# The release wheels as a user installs them: for each interpreter given, a
# fresh environment where its wheel from <dist> installs binary-only with no
# index, then imports, runs a few days of the demo and passes the test suite
# (its test requirements from the index).
#
#   tools/test-wheels.sh <dist> <python>...
set -euo pipefail
cd "$(dirname "$0")/.."
dist=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
seen=" "
for py in "$@"; do
    version=$("$py" -c 'import platform; print(platform.python_version())')
    case "$seen" in *" $version "*) continue ;; esac
    seen="$seen$version "
    venv="$work/venv-$version"
    echo "--- wheel on CPython $version"
    # shellcheck disable=SC2016  # the import line is Python
    if ! { "$py" -m venv "$venv" &&
        "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --only-binary :all: \
            --find-links "$dist" vq &&
        (cd "$work" && "$venv/bin/python" -c 'import vq, vq.csdk.c_sdk as m; print(vq.__version__, m.__file__)') &&
        "$venv/bin/python" -m vq.csdk.demo --start 2024-01-02 --end 2024-01-05 | tail -n 1 &&
        "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary vq \
            --find-links "$dist" "vq[test]" 2>&1 | { grep -v "^WARNING: Location" || true; } &&
        "$venv/bin/python" -m pytest -q -p no:cacheprovider tests; }; then
        echo "--- wheel on CPython $version: FAILED"
        failed=1
    fi
done
exit $failed
