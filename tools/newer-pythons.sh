#!/usr/bin/env bash
# The CPython releases newer than the host's: a Debian unstable root (made
# once, then reused, by tools/debian-root.sh) with CPython 3.14 and 3.15, their
# debug builds, and the tools that build the module.
#   tools/newer-pythons.sh                 makes the root (or finds it made)
#   tools/newer-pythons.sh command...      and runs the command inside it
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tools/debian-root.sh
. "$here/debian-root.sh"

# the host's own debootstrap makes the root
if ! command -v debootstrap >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq debootstrap >/dev/null
fi
NEWER_PYTHONS_ROOT=debian-unstable-pythons
packages=(g++ cmake ninja-build git)
for minor in 14 15; do
    packages+=("python3.$minor-dev" "python3.$minor-venv" "python3.$minor-dbg")
done
debian_root_make "$NEWER_PYTHONS_ROOT" unstable "${packages[@]}"
if [ $# -gt 0 ]; then
    debian_root_run "$NEWER_PYTHONS_ROOT" "$@"
fi
