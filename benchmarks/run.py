"""Benchmarks of vq.csdk.c_sdk against the same operations written with
other tools.  Run it with the python whose environment has vq installed:

    python benchmarks/run.py [--quick]

It builds each peer (under benchmarks/build/, reused while nothing it is
built from changed), installs a missing build tool with pip unless
--no-install is given, then measures every peer in rounds and prints ns per
operation, the spread between rounds, and the ratios ours/floor and
ours/cython.  It asserts nothing about time: the exit status is 0 once ours
and floor were built and measured.
"""

import argparse
import hashlib
import importlib
import importlib.util
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

import build  # beside this script: the peer builds and the tool lookup

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PEERS_DIR = os.path.join(HERE, "peers")
INCLUDE_DIR = os.path.join(ROOT, "src", "vq", "csdk", "include")

PEERS = ["ours", "floor", "cython", "pybind11", "nanobind", "cffi", "ctypes"]
REQUIRED = ("ours", "floor")
MODULES = {
    "ours": "vq.csdk.c_sdk",
    "floor": "vqb_floor",
    "cython": "vqb_cython",
    "pybind11": "vqb_pybind11",
    "nanobind": "vqb_nanobind",
    "cffi": "vqb_cffi",
    "ctypes": "vqb_ctypes",
}
# peer: files it is built from (besides build.py and the library header)
SOURCES = {
    "floor": ["floor.c"],
    "cython": ["vqb_cython.pyx", "pyrecords.py", "pyadapter.py"],
    "pybind11": ["vqb_pybind11.cpp", "CMakeLists.txt"],
    "nanobind": ["vqb_nanobind.cpp", "CMakeLists.txt"],
    "cffi": ["vqb_cffi_build.py"],
}
# peer: (module to import, pip package) for each tool its build needs
TOOLS = {
    "floor": [("setuptools", "setuptools")],
    "cython": [("Cython", "cython"), ("setuptools", "setuptools")],
    "pybind11": [("pybind11", "pybind11")],
    "nanobind": [("nanobind", "nanobind")],
    "cffi": [("cffi", "cffi"), ("setuptools", "setuptools")],
}
CMAKE_PEERS = ("pybind11", "nanobind")

TARGETS_FLOOR = {"B1": 1.25, "B2": 1.25, "B3": 1.5, "B4": 1.25, "B5": 1.25}
TARGET_CYTHON = 0.9
WORKER_TIMEOUT = 600  # s, for one peer's round


def log(msg):
    sys.stderr.write(msg + "\n")
    sys.stderr.flush()


# ---- environment ---------------------------------------------------------------


def installed_module():
    spec = importlib.util.find_spec("vq.csdk.c_sdk")
    if spec is None or not spec.origin or not spec.origin.endswith(".so"):
        sys.exit("vq.csdk.c_sdk is not installed for %s (pip install %s)" % (sys.executable, ROOT))
    lib_dir = os.path.dirname(spec.origin)
    if not os.path.isfile(os.path.join(lib_dir, "libvq3-c.so")):
        sys.exit("no libvq3-c.so beside %s" % spec.origin)
    return spec.origin, lib_dir


def have_module(name):
    try:
        return importlib.util.find_spec(name) is not None
    except (ImportError, ValueError):
        return False


def pip_install(package, allowed):
    if not allowed:
        return "not installed (and --no-install given)"
    log("  pip install %s (missing from this environment)" % package)
    r = subprocess.run(
        [sys.executable, "-m", "pip", "install", "-q", package],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
    )
    if r.returncode != 0:
        return "pip install %s failed: %s" % (package, last_lines(r.stdout, 2))
    importlib.invalidate_caches()
    return None


def ensure_tools(peer, allow_install):
    """None when the peer's build tools are there, else why not."""
    if peer == "nanobind" and sys.version_info < (3, 8):
        return "nanobind needs CPython >= 3.8"
    for module, package in TOOLS.get(peer, []):
        if not have_module(module):
            why = pip_install(package, allow_install)
            if why or not have_module(module):
                return why or "%s still missing after pip install" % package
    if peer in CMAKE_PEERS:
        if build.tool("cmake") is None:
            why = pip_install("cmake", allow_install)
            if why or build.tool("cmake") is None:
                return why or "no working cmake"
        if build.tool("ninja") is None:
            pip_install("ninja", allow_install)  # optional: make does too
    return None


def tool_versions(peer):
    out = []
    for module, _ in TOOLS.get(peer, []):
        try:
            out.append("%s %s" % (module, importlib.import_module(module).__version__))
        except Exception:
            out.append(module)
    return out


def last_lines(text, n):
    # caret lines under a traceback's source line say nothing here
    lines = [l.strip() for l in (text or "").splitlines() if l.strip(" ^~\t")]
    return " | ".join(lines[-n:]) or "(no output)"


def first_error(text):
    """The first compiler or CMake error of a build log, else its last lines."""
    for line in (text or "").splitlines():
        low = line.lower()
        if (
            (" error" in low or low.startswith("error"))
            and "traceback" not in low
            and "calledprocesserror" not in low
        ):
            return line.strip()
    return last_lines(text, 1)


# ---- building --------------------------------------------------------------------


def build_tag():
    exe = hashlib.sha1(os.path.realpath(sys.executable).encode()).hexdigest()[:8]
    return "%s%d%d-%s" % (sys.implementation.name, sys.version_info[0], sys.version_info[1], exe)


def stamp_of(peer, lib_dir):
    h = hashlib.sha256()
    h.update(sys.version.encode())
    h.update(os.path.realpath(sys.executable).encode())
    h.update(lib_dir.encode())
    h.update(" ".join(tool_versions(peer)).encode())
    files = [os.path.join(PEERS_DIR, f) for f in SOURCES[peer]]
    files += [
        os.path.join(HERE, "build.py"),
        os.path.join(INCLUDE_DIR, "vqcsdk.h"),
        os.path.join(INCLUDE_DIR, "vqdef.h"),
    ]
    for path in files:
        with open(path, "rb") as fh:
            h.update(fh.read())
    return h.hexdigest()


def built_module(out_dir, module):
    prefix = "_vqb_cffi" if module == "vqb_cffi" else module
    return (
        any(f.startswith(prefix + ".") and f.endswith(".so") for f in os.listdir(out_dir))
        if os.path.isdir(out_dir)
        else False
    )


def build_peer(peer, build_root, lib_dir, allow_install, rebuild):
    """(sys.path entries for the peer, None) or (None, why it is n/a)."""
    if peer == "ours":
        return [], None
    if peer == "ctypes":
        return [PEERS_DIR], None
    why = ensure_tools(peer, allow_install)
    if why:
        return None, why
    out_dir = os.path.join(build_root, peer)
    stamp_file = os.path.join(build_root, peer + ".stamp")
    log_file = os.path.join(build_root, peer + ".log")
    stamp = stamp_of(peer, lib_dir)
    if not rebuild and built_module(out_dir, MODULES[peer]) and os.path.isfile(stamp_file):
        with open(stamp_file) as fh:
            if fh.read() == stamp:
                log("  %-9s up to date" % peer)
                return [PEERS_DIR, out_dir], None
    log("  %-9s building (%s)" % (peer, ", ".join(tool_versions(peer)) or "setuptools"))
    shutil.rmtree(out_dir, ignore_errors=True)
    if os.path.exists(stamp_file):
        os.remove(stamp_file)
    started = time.time()
    with open(log_file, "w") as fh:
        r = subprocess.run(
            [sys.executable, os.path.join(HERE, "build.py"), peer, out_dir, INCLUDE_DIR, lib_dir],
            stdout=fh,
            stderr=subprocess.STDOUT,
        )
    with open(log_file) as fh:
        text = fh.read()
    if r.returncode != 0 or not built_module(out_dir, MODULES[peer]):
        return None, "build failed: %s (log: %s)" % (first_error(text), log_file)
    with open(stamp_file, "w") as fh:
        fh.write(stamp)
    log("  %-9s built in %.0f s" % (peer, time.time() - started))
    return [PEERS_DIR, out_dir], None


# ---- measuring -------------------------------------------------------------------


def run_worker(peer, paths, settings):
    cmd = [
        sys.executable,
        os.path.join(HERE, "measure.py"),
        peer,
        MODULES[peer],
        str(settings["budget_ms"]),
        str(settings["repeat"]),
        str(settings["events"]),
        *paths,
    ]
    try:
        r = subprocess.run(
            cmd,
            capture_output=True,
            text=True,
            timeout=WORKER_TIMEOUT,
        )
    except subprocess.TimeoutExpired:
        return None, "no result after %d s" % WORKER_TIMEOUT
    if r.returncode != 0:
        return None, "exit %d: %s" % (r.returncode, last_lines(r.stderr, 1))
    try:
        return json.loads(r.stdout.strip().splitlines()[-1])["ns"], None
    except (ValueError, IndexError, KeyError):
        return None, "unreadable output: %s" % last_lines(r.stdout + r.stderr, 2)


# ---- report ----------------------------------------------------------------------


def fmt(v):
    if v is None:
        return "n/a"
    if isinstance(v, str):
        return v
    return "%.1f" % v if v < 1000 else "%.0f" % v


def table(title, rows, columns, cell):
    width0 = max(len(r) for r in [*rows, title])
    widths = [max(9, len(c)) for c in columns]
    lines = [title.ljust(width0) + "".join(c.rjust(w + 2) for c, w in zip(columns, widths))]
    lines.append("-" * len(lines[0]))
    for r in rows:
        lines.append(
            r.ljust(width0) + "".join(fmt(cell(r, c)).rjust(w + 2) for c, w in zip(columns, widths))
        )
    return "\n".join(lines)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown cpu"


def report(samples, benches, peers, na, failures, settings, lib_dir):
    stats = {}
    for peer in peers:
        for b in benches:
            vals = [s[b] for s in samples.get(peer, []) if b in s]
            if vals:
                med = statistics.median(vals)
                stats[peer, b] = {
                    "best": min(vals),
                    "median": med,
                    "n": len(vals),
                    "spread": (max(vals) - min(vals)) / med * 100 if med else 0.0,
                }

    def cell(key):
        def get(b, peer):
            if peer in na:
                return "n/a"
            s = stats.get((peer, b))
            return s[key] if s else "err"

        return get

    out = []
    out.append(
        "CPython %s (%s) on %s %s, %s, %d CPUs"
        % (
            platform.python_version(),
            sys.executable,
            platform.system(),
            platform.machine(),
            cpu_model(),
            os.cpu_count() or 0,
        )
    )
    out.append("library: %s" % os.path.join(lib_dir, "libvq3-c.so"))
    out.append(
        "rounds: %d; per round, best of %d runs of ~%s ms each; B4: %d events "
        "in one vqi_poll(); clock: %s"
        % (
            settings["rounds"],
            settings["repeat"],
            settings["budget_ms"],
            settings["events"],
            "wall" if os.environ.get("VQB_CLOCK") == "wall" else "thread CPU time",
        )
    )
    out.append("")
    out.append(table("ns/op, best of rounds", benches, peers, cell("best")))
    out.append("")
    out.append(table("ns/op, median of rounds", benches, peers, cell("median")))
    out.append("")
    out.append(
        table(
            "spread, (max-min)/median %",
            benches,
            peers,
            lambda b, p: (
                "n/a"
                if p in na
                else ("%.0f%%" % stats[p, b]["spread"])
                if (p, b) in stats
                else "err"
            ),
        )
    )
    out.append("")
    out.append("ratios (best | median; verdict on the median; targets are reported, not enforced)")
    head = "%-30s %-15s %-7s %-6s   %-15s %-7s %s" % (
        "",
        "ours/floor",
        "target",
        "",
        "ours/cython",
        "target",
        "",
    )
    out.append(head)
    out.append("-" * len(head))

    def ratio(b, other, target):
        a, o = stats.get(("ours", b)), stats.get((other, b))
        if not a or not o:
            return "n/a", "", ""
        rb, rm = a["best"] / o["best"], a["median"] / o["median"]
        return "%.2f | %.2f" % (rb, rm), "<=%.2f" % target, "ok" if rm <= target else "OVER"

    for b in benches:
        rf = ratio(b, "floor", TARGETS_FLOOR[b[:2]])
        rc = ratio(b, "cython", TARGET_CYTHON)
        out.append("%-30s %-15s %-7s %-6s   %-15s %-7s %s" % ((b, *rf, *rc)))
    if na or failures:
        out.append("")
        for peer in peers:
            if peer in na:
                out.append("n/a %s: %s" % (peer, na[peer]))
        for (peer, rnd), why in sorted(failures.items()):
            if peer not in na:
                out.append("failed %s in round %d: %s" % (peer, rnd + 1, why))
    return "\n".join(out), stats


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument(
        "--quick", action="store_true", help="tiny counts, two rounds: checks that everything runs"
    )
    ap.add_argument("--rounds", type=int, help="rounds (7; --quick 2)")
    ap.add_argument("--peers", help="comma-separated subset of " + ",".join(PEERS))
    ap.add_argument(
        "--no-install",
        action="store_true",
        help="never pip install a missing build tool (the peer is n/a)",
    )
    ap.add_argument("--rebuild", action="store_true", help="rebuild every peer")
    ap.add_argument("--json", help="also write the samples and statistics here")
    args = ap.parse_args()

    started = time.time()
    settings = (
        {"rounds": 2, "budget_ms": 1, "repeat": 1, "events": 2000}
        if args.quick
        else {"rounds": 7, "budget_ms": 20, "repeat": 3, "events": 10**6}
    )
    if args.rounds:
        settings["rounds"] = args.rounds
    peers = PEERS if not args.peers else [p.strip() for p in args.peers.split(",")]
    unknown = [p for p in peers if p not in PEERS]
    if unknown:
        ap.error("unknown peer(s): %s" % ", ".join(unknown))
    for p in REQUIRED:
        if p not in peers:
            peers.insert(REQUIRED.index(p), p)

    module_path, lib_dir = installed_module()
    build_root = os.path.join(HERE, "build", build_tag())
    os.makedirs(build_root, exist_ok=True)
    log("vq.csdk.c_sdk: %s" % module_path)
    log("building peers into %s" % build_root)
    paths, na = {}, {}
    for peer in peers:
        p, why = build_peer(peer, build_root, lib_dir, not args.no_install, args.rebuild)
        if why:
            na[peer] = why
            log("  %-9s n/a: %s" % (peer, why))
        else:
            paths[peer] = p
    build_time = time.time() - started

    sys.path[:0] = [HERE]
    from measure import BENCHMARKS

    benches = [b[0] for b in BENCHMARKS]

    samples, failures = {}, {}
    live = [p for p in peers if p in paths]
    for rnd in range(settings["rounds"]):
        order = live[rnd % len(live) :] + live[: rnd % len(live)]
        log("round %d/%d: %s" % (rnd + 1, settings["rounds"], " ".join(order)))
        for peer in order:
            ns, why = run_worker(peer, paths[peer], settings)
            if ns is None:
                failures[peer, rnd] = why
                log("  %s failed: %s" % (peer, why))
            else:
                samples.setdefault(peer, []).append(ns)
    for peer in live:
        if peer not in samples:
            na[peer] = "every round failed: %s" % next(
                why for (p, _), why in sorted(failures.items()) if p == peer
            )

    text, stats = report(samples, benches, peers, na, failures, settings, lib_dir)
    print(text)
    total = time.time() - started
    print("\ntotal %.1f s (building %.1f s)" % (total, build_time))
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(
                {
                    "settings": settings,
                    "python": sys.version,
                    "samples": samples,
                    "na": na,
                    "stats": {"%s|%s" % k: v for k, v in stats.items()},
                },
                fh,
                indent=1,
            )
    missing = [p for p in REQUIRED if p in na]
    if missing:
        log("required peer(s) not measured: %s" % ", ".join(missing))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
