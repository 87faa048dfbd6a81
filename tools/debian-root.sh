#!/usr/bin/env bash
# Makes a Debian root in a folder with `debootstrap --variant=minbase` and runs
# commands inside it, so that interpreters and compilers of another Debian
# release can be used without installing anything into the host system.
#
#   tools/debian-root.sh <name> <suite> [packages...] [-- command...]
#
# The root lives in ${VQ_CACHE:-$HOME/.cache/vq-ci}/<name>.  It is made once
# and reused: a marker file written last says it is complete and which suite
# and packages it holds; packages missing from it are installed with apt-get,
# a root without the marker (an interrupted build) is made anew.  With a
# command after `--`, the command runs inside the root as root, with /proc,
# /dev, /dev/pts and a private /dev/shm tmpfs mounted in a mount namespace of
# its own and unmounted again when it ends; its exit status is the script's.
#
# Extra folders are bind-mounted with DEBIAN_ROOT_BINDS="host:inside ..."
# (paths without spaces; `inside` is created in the root when missing).  The
# host's resolver and CA bundle are copied in before each command, and the
# command's environment is a clean one (HOME, PATH, LANG, TERM, CI, and
# SSL_CERT_FILE and PIP_CERT naming that bundle).
#
# Sourced (`. tools/debian-root.sh`), it only defines the functions
# debian_root_dir, debian_root_make and debian_root_run, with the same
# arguments.  The host needs debootstrap, unshare and chroot, and runs this as
# root.  VQ_DEBIAN_MIRROR names the archive (default http://deb.debian.org/debian).

debian_root_dir() { # <name>
    printf '%s\n' "${VQ_CACHE:-$HOME/.cache/vq-ci}/$1"
}

# apt-get inside the root.  The unstable suite of the archive reached here can
# be a frozen snapshot whose Release file has expired: apt is told to accept
# that date, and nothing else of its checks is relaxed.  (debootstrap itself
# verifies the signature only and never reads Valid-Until.)
_debian_root_apt() { # <root> <apt-get args...>
    local root=$1
    shift
    DEBIAN_ROOT_BINDS='' debian_root_run_in "$root" env DEBIAN_FRONTEND=noninteractive \
        apt-get -q -o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false "$@"
}

debian_root_make() { # <name> <suite> [packages...]
    local name=$1 suite=$2
    shift 2
    local root marker want missing
    root=$(debian_root_dir "$name")
    marker="$root/.vq-debian-root"
    mkdir -p "$(dirname "$root")"
    # One maker at a time; a second caller waits and then finds the root made.
    exec {lock}>"$root.lock"
    flock "$lock"
    want=$(printf '%s\n' "$@" | sort -u | sed '/^$/d')
    if [ -f "$marker" ] && [ "$(head -n 1 "$marker")" != "suite $suite" ]; then
        echo "debian-root: $root holds another suite; remove it first" >&2
        exec {lock}>&-
        return 1
    fi
    if [ ! -f "$marker" ]; then
        rm -rf "$root"
        # a fresh machine has no debootstrap: it is a host package of its own
        command -v debootstrap >/dev/null || { apt-get update -qq && apt-get install -y -qq debootstrap; } >&2
        echo "debian-root: debootstrap $suite into $root" >&2
        if ! debootstrap --variant=minbase "$suite" "$root" \
            "${VQ_DEBIAN_MIRROR:-http://deb.debian.org/debian}" >"$root.log" 2>&1; then
            tail -n 20 "$root.log" >&2
            exec {lock}>&-
            return 1
        fi
        printf 'suite %s\n' "$suite" >"$root/.vq-debian-root.new"
        _debian_root_apt "$root" update -qq || { exec {lock}>&-; return 1; }
    else
        cp "$marker" "$root/.vq-debian-root.new"
    fi
    missing=$(comm -23 <(printf '%s\n' "$want") <(tail -n +2 "$root/.vq-debian-root.new" | sort -u))
    if [ -n "$missing" ]; then
        # shellcheck disable=SC2086  # one word per package
        if ! { _debian_root_apt "$root" update -qq &&
            _debian_root_apt "$root" install -y -qq $missing >"$root.log" 2>&1; }; then
            tail -n 20 "$root.log" >&2
            exec {lock}>&-
            return 1
        fi
        _debian_root_apt "$root" clean
        printf '%s\n' "$missing" >>"$root/.vq-debian-root.new"
    fi
    # written last: the root is complete
    mv "$root/.vq-debian-root.new" "$marker"
    exec {lock}>&-
}

# Runs a command inside the root at the given path, in a private mount
# namespace: nothing mounted here is ever seen by the host, and the trap
# unmounts it all the same when the command ends.
debian_root_run_in() { # <root> <command...>
    local root=$1
    shift
    cp -L /etc/resolv.conf "$root/etc/resolv.conf"
    if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
        mkdir -p "$root/etc/ssl/certs"
        cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
    fi
    # shellcheck disable=SC2016  # expanded by the inner shell
    unshare --mount --propagation private -- bash -c '
        set -u
        root=$1
        shift
        mounted=()
        cleanup() {
            local i
            for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
                umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"
            done
        }
        trap cleanup EXIT
        mnt() { # <target> <mount args...>
            local target=$1
            shift
            mkdir -p "$target" && mount "$@" "$target" && mounted+=("$target")
        }
        mnt "$root/proc" -t proc proc || exit 1
        mnt "$root/dev" --bind /dev || exit 1
        mnt "$root/dev/pts" --bind /dev/pts || exit 1
        mnt "$root/dev/shm" -t tmpfs -o mode=1777,nosuid,nodev tmpfs || exit 1
        for bind in ${DEBIAN_ROOT_BINDS:-}; do
            mnt "$root/${bind#*:}" --bind "${bind%%:*}" || exit 1
        done
        # a clean environment; TLS clients trust the host CA bundle copied in
        chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            SSL_CERT_FILE=/etc/ssl/certs/ca-certificates.crt PIP_CERT=/etc/ssl/certs/ca-certificates.crt \
            PIP_DISABLE_PIP_VERSION_CHECK=1 "$@"
    ' debian-root "$root" "$@"
}

debian_root_run() { # <name> <command...>
    local root
    root=$(debian_root_dir "$1")
    shift
    if [ ! -f "$root/.vq-debian-root" ]; then
        echo "debian-root: $root is not made" >&2
        return 1
    fi
    debian_root_run_in "$root" "$@"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    if [ $# -lt 2 ]; then
        sed -n '2,/^$/s/^# \{0,1\}//p' "$0" >&2
        exit 2
    fi
    name=$1 suite=$2
    shift 2
    packages=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        packages+=("$1")
        shift
    done
    debian_root_make "$name" "$suite" "${packages[@]}"
    if [ $# -gt 0 ]; then
        shift
        if [ $# -gt 0 ]; then
            debian_root_run "$name" "$@"
        fi
    fi
fi
