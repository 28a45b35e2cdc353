import logging
import sys

import tagdb

# The library's messages, into the host's own log: a path that cannot be
# used is a warning, whose record carries .path and .errno.
logging.basicConfig(format="%(name)s: %(message)s")

for path in sys.argv[1:]:
    tagdb.add(path)  # a tagfile, or a directory walked whole
if len(sys.argv) < 2:
    tagdb.add_env()  # TAGLINES, else the default sources
try:
    line = tagdb.draw(refresh=True)  # None when there is nothing to draw
except MemoryError:  # the index could not grow; the process goes on
    line = None
if line is not None:
    print(line)
sys.exit(0 if line is not None else 1)
