"""What a draw costs from Python, beside build/draw_bench for C.

    PYTHONPATH=build/python python3 bench/python_draw.py [PATH...]

Adds the paths (by default the sample collection), then times 11 runs of
200000 calls of draw(), draw_bytes() and chunks() (which reads nothing: the
cost of crossing into the library and back with the interpreter lock
released), and prints the median, fastest and slowest cost of a call of
each, as draw_bench prints them for tagdb_get_tag and tagdb_get_tag_r.
"""

import pathlib
import sys
import timeit

import tagdb

paths = sys.argv[1:] or [pathlib.Path(__file__).resolve().parent.parent / "data" / "taglines"]
for path in paths:
    tagdb.add(path)
print(f"{tagdb.tagfiles()} tagfiles, {tagdb.chunks()} lines")
for call in ("draw()", "draw_bytes()", "chunks()"):
    ns = sorted(t / 200_000 * 1e9 for t in timeit.repeat(f"tagdb.{call}", globals=globals(), number=200_000, repeat=11))
    print(f"tagdb.{call}: median {ns[5]:.0f} ns a call, fastest {ns[0]:.0f}, slowest {ns[-1]:.0f}")
