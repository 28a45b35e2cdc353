"""Random taglines from tagfiles: the tagdb library, for Python.

The interpreter lock is released while the library works, so in asyncio
``await asyncio.to_thread(tagdb.draw, True)`` keeps the event loop free.
"""

import logging
import os
from typing import Callable, Optional, Union

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

version: str
__version__: str
logger: logging.Logger

def add(path: Optional[_Path] = None, /) -> int:
    """Add a tagfile or directory (None: the default sources); tagfiles opened."""

def add_env() -> int:
    """Add the sources of TAGLINES, else the defaults; tagfiles opened."""

def remove(path: _Path, /) -> int:
    """Take back a path given to add(); tagfiles closed (0 for a path never given)."""

def draw(refresh: bool = False) -> Optional[str]:
    """One tagline (surrogateescape-decoded UTF-8), or None when there is none.

    The interpreter lock is released while the library works: in asyncio,
    ``await asyncio.to_thread(tagdb.draw, True)`` keeps the event loop free.
    """

def draw_bytes(refresh: bool = False) -> Optional[bytes]:
    """One tagline as the bytes of the file, or None when there is none."""

def checkpoint() -> None:
    """Bring the database up to date with the disk."""

def close_all() -> None:
    """Close every source and forget every path given."""

def chunks() -> int:
    """How many lines the draw chooses from."""

def tagfiles() -> int:
    """How many tagfiles are open."""

def sources() -> list[str]:
    """The open tagfiles and directories, in the order they were opened."""

def set_descriptor_budget(n: int, /) -> int:
    """At most n descriptors for tagfiles (0: the default; negative: ask); the budget before."""

def set_memory_limit(nbytes: int, /) -> int:
    """At most nbytes for the index (0: the default; negative: ask); the ceiling before."""

def set_progress(callable: Optional[Callable[[int, int], object]], /) -> None:
    """callable(nbytes, nentries) during long calls; what it raises stops the call."""
