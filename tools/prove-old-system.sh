#!/usr/bin/env bash
# The release wheels on an older system: Debian 11 (glibc 2.31, CPython 3.9),
# a root made once by tools/debian-root.sh under ${VQ_CACHE:-~/.cache/vq-ci}.
#
#   tools/prove-old-system.sh <dist>
#
# Inside it, the cp39 wheel from <dist> installs with Debian 11's own pip,
# binary-only and with no index, then imports, runs a few days of the demo and
# passes the test suite.  The proof must be able to fail: a cp39 wheel built
# the way source builds are (the host's g++ and libstdc++) is refused there,
# and its module, unpacked by hand, does not load.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=$(cd "$1" && pwd)
tools=${VQ_WHEEL_TOOLS:-${VQ_CACHE:-$HOME/.cache/vq-ci}/wheel-tools}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=tools/debian-root.sh
. tools/debian-root.sh

zig_wheel=$(find "$dist" -maxdepth 1 -name 'vq-*-cp39-cp39-manylinux*.whl' | head -n 1)
[ -n "$zig_wheel" ] || { echo "no cp39 wheel in $dist"; exit 1; }
mkdir -p "$work/zig" "$work/gxx"
cp "$zig_wheel" "$work/zig/"

# The same sdist's cp39 wheel from the host's g++, repaired as before.
py39=$(find "${PYENV_ROOT:-$HOME/.pyenv}/versions" -maxdepth 1 -name '3.9.*' | sort -V | tail -n 1)
[ -n "$py39" ] || { echo "no CPython 3.9 from pyenv"; exit 1; }
env -u CC -u CXX "$py39/bin/python" -m pip wheel -q --no-deps --disable-pip-version-check \
    --wheel-dir "$work/raw" "$dist"/vq-*.tar.gz 2>&1 | grep -v "^WARNING: Location" || true
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --exclude libvq3-c.so \
    --wheel-dir "$work/gxx" "$work"/raw/*.whl >"$work/repair.log" 2>&1 || { cat "$work/repair.log"; exit 1; }
echo "zig: ${zig_wheel##*/}"
echo "g++: $(basename "$work"/gxx/*.whl)"

debian_root_make debian11 bullseye python3 python3-venv python3-pip binutils
# shellcheck disable=SC2016  # expanded inside the root
DEBIAN_ROOT_BINDS="$work:/mnt/wheels $root:/mnt/src" debian_root_run debian11 bash -c '
    set -eu
    cd /mnt/src
    ldd --version | head -n 1
    rm -rf /tmp/zig /tmp/gxx
    python3 -m venv /tmp/zig && python3 -m venv /tmp/gxx
    echo "--- the g++ wheel is refused"
    if /tmp/gxx/bin/pip install -q --no-index --only-binary :all: --find-links /mnt/wheels/gxx vq; then
        echo "the g++ wheel installed"; exit 1
    fi
    mkdir /tmp/gxx/unpacked && cd /tmp/gxx/unpacked && python3 -m zipfile -e /mnt/wheels/gxx/*.whl .
    if python3 -c "import vq.csdk.c_sdk" 2>/tmp/gxx/import.log; then
        echo "the g++ module loads"; exit 1
    fi
    tail -n 1 /tmp/gxx/import.log
    echo "--- the zig wheel"
    cd /tmp
    /tmp/zig/bin/pip install -q --no-index --only-binary :all: --find-links /mnt/wheels/zig vq
    /tmp/zig/bin/python -c "import vq, vq.csdk.c_sdk as m; print(vq.__version__, m.__file__)"
    /tmp/zig/bin/python -m vq.csdk.demo --start 2024-01-02 --end 2024-01-05 | tail -n 1
    /tmp/zig/bin/pip install -q --only-binary :all: --find-links /mnt/wheels/zig "vq[test]"
    cd /mnt/src && /tmp/zig/bin/python -m pytest -q -p no:cacheprovider tests
    rm -rf /tmp/zig /tmp/gxx
'
