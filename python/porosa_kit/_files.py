"""Writes that replace their target only once complete, for the
checkpoint and the command line's outputs alike."""

from __future__ import annotations

import contextlib
import os
import secrets
import stat
from collections.abc import Iterator
from contextlib import contextmanager

# Temporary files made and not yet in place or removed. A Ctrl-C can land
# where no handler of `replacing` runs (in contextlib's own code, just after
# the file was made or just before its block ends), so the command line
# removes what is left here before it exits.
_LIVE: set[str] = set()


def remove_leftovers() -> None:
    """Removes the temporary files an interrupted write left behind."""
    for temp in list(_LIVE):
        with contextlib.suppress(OSError):
            os.unlink(temp)
        _LIVE.discard(temp)


@contextmanager
def replacing(path: str, *, keep: bool = True) -> Iterator[str]:
    """A temporary file beside `path` to write into, which takes the place of
    `path` when the block ends and is removed if it fails or is interrupted,
    so that `path` is never left half written, nor an input read from it
    truncated before it was read. Without `keep`, it is a probe (.probe, not
    .part), removed in any case."""
    target = os.path.realpath(path)  # through a symbolic link, not over it
    folder, name = os.path.split(target)
    # Named before it is made (mkstemp names it only once it exists), so
    # that a Ctrl-C the instant after it exists still finds it to remove.
    temp = os.path.join(folder, f".{name}.{secrets.token_hex(8)}.{'part' if keep else 'probe'}")
    _LIVE.add(temp)  # before it exists, so that it never exists unrecorded
    try:
        try:
            os.close(os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        except FileExistsError:
            _LIVE.discard(temp)  # another's file: not ours to remove
            raise
        yield temp
        if not keep:
            os.unlink(temp)
            return
        os.chmod(temp, _mode(target))
        _sync(temp)
        os.replace(temp, target)
    except BaseException:
        if temp in _LIVE:
            with contextlib.suppress(OSError):
                os.unlink(temp)
        raise
    finally:
        _LIVE.discard(temp)


def _mode(target: str) -> int:
    """The permissions the target keeps, or a new file's (the temporary one is 0600)."""
    try:
        return stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        mask = os.umask(0o022)
        os.umask(mask)
        return 0o666 & ~mask


def _sync(path: str) -> None:
    """On disk before the rename, so that a crash leaves the old file or the new one."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)

