"""Builds one benchmark peer into a directory (run by run.py, one peer per
process so that a failed build stays a failed build):

    python build.py PEER OUT_DIR INCLUDE_DIR LIB_DIR

floor, cython and cffi are built with setuptools; pybind11 and nanobind
with CMake (ninja when it is there).  Every peer links the libvq3-c.so in
LIB_DIR by name and finds it there at run time.
"""

import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PEERS_DIR = os.path.join(HERE, "peers")


def build_extension(ext, out_dir):
    from setuptools import Distribution

    dist = Distribution({"name": ext.name, "ext_modules": [ext]})
    cmd = dist.get_command_obj("build_ext")
    cmd.build_lib = out_dir
    cmd.build_temp = os.path.join(out_dir, "tmp")
    cmd.ensure_finalized()
    cmd.run()


def c_extension(name, sources, include_dir, lib_dir):
    from setuptools import Extension

    return Extension(
        name,
        sources,
        include_dirs=[include_dir],
        libraries=["vq3-c"],
        library_dirs=[lib_dir],
        runtime_library_dirs=[lib_dir],
    )


def build_floor(out_dir, include_dir, lib_dir):
    ext = c_extension("vqb_floor", [os.path.join(PEERS_DIR, "floor.c")], include_dir, lib_dir)
    build_extension(ext, out_dir)


def build_cython(out_dir, include_dir, lib_dir):
    from Cython.Build import cythonize

    # cythonize next to the build, not in the source tree
    pyx = os.path.join(out_dir, "vqb_cython.pyx")
    for name in ("vqb_cython.pyx", "pyrecords.py", "pyadapter.py"):  # included by the .pyx
        shutil.copyfile(os.path.join(PEERS_DIR, name), os.path.join(out_dir, name))
    ext = c_extension("vqb_cython", [pyx], include_dir, lib_dir)
    (ext,) = cythonize([ext], compiler_directives={"language_level": 3}, force=True)
    build_extension(ext, out_dir)


def build_cffi(out_dir, include_dir, lib_dir):
    sys.path.insert(0, PEERS_DIR)
    import vqb_cffi_build

    vqb_cffi_build.main(include_dir, lib_dir, out_dir)


def tool(name):
    """A build tool, from this interpreter's environment first."""
    local = os.path.join(os.path.dirname(sys.executable), name)
    for candidate in (local, shutil.which(name)):
        if candidate and os.access(candidate, os.X_OK):
            try:
                subprocess.run(
                    [candidate, "--version"],
                    check=True,
                    stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL,
                )
                return candidate
            except (OSError, subprocess.CalledProcessError):
                continue
    return None


def build_cmake(peer, package_dir_arg, out_dir, include_dir, lib_dir):
    cmake = tool("cmake")
    if cmake is None:
        raise RuntimeError("no working cmake")
    ninja = tool("ninja")
    work = os.path.join(out_dir, "cmake")
    args = [
        cmake,
        "-S",
        PEERS_DIR,
        "-B",
        work,
        "-DCMAKE_BUILD_TYPE=Release",
        "-DVQB_PEER=" + peer,
        "-DVQ_INCLUDE_DIR=" + include_dir,
        "-DVQ_LIB_DIR=" + lib_dir,
        "-DVQB_OUT_DIR=" + out_dir,
        "-DPython_EXECUTABLE=" + sys.executable,
        package_dir_arg,
    ]
    if ninja:
        args += ["-G", "Ninja", "-DCMAKE_MAKE_PROGRAM=" + ninja]
    subprocess.run(args, check=True)
    subprocess.run([cmake, "--build", work, "-j", str(os.cpu_count() or 2)], check=True)


def build_pybind11(out_dir, include_dir, lib_dir):
    import pybind11

    build_cmake(
        "pybind11", "-Dpybind11_DIR=" + pybind11.get_cmake_dir(), out_dir, include_dir, lib_dir
    )


def build_nanobind(out_dir, include_dir, lib_dir):
    import nanobind

    build_cmake("nanobind", "-Dnanobind_DIR=" + nanobind.cmake_dir(), out_dir, include_dir, lib_dir)


BUILDERS = {
    "floor": build_floor,
    "cython": build_cython,
    "cffi": build_cffi,
    "pybind11": build_pybind11,
    "nanobind": build_nanobind,
}

if __name__ == "__main__":
    peer, out_dir, include_dir, lib_dir = sys.argv[1:5]
    os.makedirs(out_dir, exist_ok=True)
    BUILDERS[peer](os.path.abspath(out_dir), os.path.abspath(include_dir), os.path.abspath(lib_dir))
