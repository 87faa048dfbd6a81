"""Output files: checked before a run, written atomically after it."""

import os
import tempfile
from typing import IO, Callable

__all__ = ["check_writable", "write_atomic"]


def check_writable(path: str) -> None:
    """OSError unless a file can be created at ``path`` (its folder exists
    and takes new files, and ``path`` is not a folder)."""
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise IsADirectoryError("%s is a folder" % path)
    if not os.path.isdir(folder):
        raise FileNotFoundError("folder %s does not exist" % folder)
    # a trial file in the same folder: what the atomic write will need
    fd, trial = tempfile.mkstemp(dir=folder, prefix=".vq-check-")
    os.close(fd)
    os.unlink(trial)


def write_atomic(path: str, write: Callable[[IO[bytes]], object]) -> None:
    """Call ``write(f)`` on a temporary file in ``path``'s folder, then rename
    it over ``path``: a failure leaves any previous file as it was."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".")
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
