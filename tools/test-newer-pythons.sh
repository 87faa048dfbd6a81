#!/usr/bin/env bash
# CPython 3.14 and 3.15, which the host cannot run, tested inside the Debian
# unstable root of tools/newer-pythons.sh: for each, the README's install and
# test commands in a fresh virtual environment (the suite and examples/), then
# the suite once more on Debian's debug build of the same release, where the
# leak hunt also checks the interpreter's total reference count.
#   tools/test-newer-pythons.sh [pytest args...]
# VQ_NEWER_PYTHONS (default "3.14 3.15") names the releases; VQ_NEWER_JOBS
# (default 1) how many run at once; VQ_NEWER_DIR keeps the environments and
# logs (default: a temporary folder, removed at the end).  The checkout is
# bound read-write at /src inside the root and the work folder at /tmp.
set -euo pipefail

# ---- inside the root: one release, both builds -----------------------------------
inside() { # <version> [pytest args...]
    local v=$1 failed=0 start
    shift
    cd /src
    export TMPDIR=/tmp/$v/tmp
    mkdir -p "$TMPDIR"
    start=$SECONDS
    # shellcheck disable=SC1090  # the environment made just before
    if ! ("python$v" -m venv "/tmp/$v/venv" && . "/tmp/$v/venv/bin/activate" &&
        python -m pip install -q ".[test,plot,sweep]" &&
        python -m pytest -q -p no:cacheprovider tests "$@" &&
        python -m pytest -q -p no:cacheprovider examples); then
        echo "--- CPython $v: FAILED"
        failed=1
    fi
    echo "--- CPython $v: $((SECONDS - start)) s"
    start=$SECONDS
    local dbg=/tmp/$v/debug-venv
    if ! ("python$v-dbg" -m venv "$dbg" &&
        PYTHONWARNINGS=ignore "$dbg/bin/python" -m pip install -q -C build-dir="/tmp/$v/debug-build" ".[test]" &&
        "$dbg/bin/python" -c 'import sys; assert hasattr(sys, "gettotalrefcount")' &&
        "$dbg/bin/python" -m pytest -q -p no:cacheprovider -W ignore::ResourceWarning tests "$@"); then
        echo "--- CPython $v debug: FAILED"
        failed=1
    fi
    echo "--- CPython $v debug: $((SECONDS - start)) s"
    return $failed
}

if [ "${1:-}" = --inside ]; then
    shift
    inside "$@"
    exit
fi

# ---- on the host --------------------------------------------------------------------
repo=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "${VQ_NEWER_DIR:-}" ]; then
    work=$VQ_NEWER_DIR
    mkdir -p "$work"
else
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
fi
start=$SECONDS
"$repo/tools/newer-pythons.sh"
echo "--- root ready: $((SECONDS - start)) s"

run() { # <version> [pytest args...]
    DEBIAN_ROOT_BINDS="$repo:/src $work:/tmp" \
        "$repo/tools/newer-pythons.sh" bash /src/tools/test-newer-pythons.sh --inside "$@"
}
failed=0
pids=()
versions=()
for v in ${VQ_NEWER_PYTHONS:-3.14 3.15}; do
    # more than VQ_NEWER_JOBS at once: wait for the oldest
    if [ ${#pids[@]} -ge "${VQ_NEWER_JOBS:-1}" ]; then
        wait "${pids[0]}" || failed=1
        cat "$work/${versions[0]}.log"
        pids=("${pids[@]:1}")
        versions=("${versions[@]:1}")
    fi
    run "$v" "$@" >"$work/$v.log" 2>&1 &
    pids+=($!)
    versions+=("$v")
done
for i in "${!pids[@]}"; do
    wait "${pids[i]}" || failed=1
    cat "$work/${versions[i]}.log"
done
exit $failed
