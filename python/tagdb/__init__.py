"""Random taglines from tagfiles: the tagdb library, for Python.

tagdb keeps tagfiles and directories open, indexes every line of them, and
draws one line uniformly at random over all of them together.  The database
is one per process, and the module's functions are the database:

    import os, tagdb
    tagdb.add(os.path.expanduser("~/sigs"))  # a tagfile, or a directory walked whole
    print(tagdb.draw())                      # one line, or None when there is none

add() and add_env() open sources and return how many tagfiles they
opened; remove() takes back a path given to add(); draw() and draw_bytes()
draw a line (refresh=True first brings the database up to date with the
disk, as checkpoint() does); chunks(), tagfiles() and sources() tell what is
open; close_all() empties it.  set_descriptor_budget() and
set_memory_limit() bound the descriptors and memory the index takes.  Paths
are str, bytes or os.PathLike.

Messages (a path that cannot be used, and debug lines) go to the logger
"tagdb": errors as WARNING, debug lines as DEBUG (made only while that
logger is enabled for DEBUG).  Each record carries ``path`` (str, or None)
and ``errno`` (int, or None) beside its message.  When memory for the index
runs short the call raises MemoryError; the process goes on.

Every function may be called from any thread: the interpreter lock is
released while the library works, and the library serializes its callers.
So an asyncio program keeps its event loop free by drawing in a worker
thread, as a refreshing draw reads the disk:

    line = await asyncio.to_thread(tagdb.draw, True)

and add(), add_env() and checkpoint() likewise.  Called in a coroutine
directly, they hold the loop for as long as they take.
"""

import logging as _logging
import os as _os

from . import _tagdb
from ._tagdb import (
    add,
    add_env,
    checkpoint,
    chunks,
    close_all,
    draw,
    draw_bytes,
    remove,
    set_descriptor_budget,
    set_memory_limit,
    set_progress,
    sources,
    tagfiles,
    version,
)

__all__ = [
    "add",
    "add_env",
    "checkpoint",
    "chunks",
    "close_all",
    "draw",
    "draw_bytes",
    "remove",
    "set_descriptor_budget",
    "set_memory_limit",
    "set_progress",
    "sources",
    "tagfiles",
    "version",
]

__version__ = version

logger = _logging.getLogger("tagdb")


def _log(kind, err, path, text):
    """Pass one library message to the "tagdb" logger."""
    level = _logging.DEBUG if kind == _tagdb.MESSAGE_DEBUG else _logging.WARNING
    if not logger.isEnabledFor(level):
        return
    message = text.decode("utf-8", "surrogateescape").rstrip("\n")
    logger.log(
        level,
        "%s",
        message,
        extra={
            "path": _os.fsdecode(path) if path is not None else None,
            "errno": err or None,
        },
    )


def _debug_wanted():
    return logger.isEnabledFor(_logging.DEBUG)


_tagdb._set_logging(_log, _debug_wanted)
