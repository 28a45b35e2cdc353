"""What a draw costs from Python: timeit over the package as built.

    PYTHONPATH=build/python python3 bench/python_draw.py [SOURCE]

Prints nanoseconds per call of draw(), draw_bytes(), draw(refresh=True) and
chunks() (a call that does no reading: the cost of crossing into the library
and back with the interpreter lock released) over SOURCE, by default the
sample collection.  The same draw from C costs what a loop over
tagdb_get_tag_r does; the difference is the price of the binding.
"""

import pathlib
import sys
import timeit

import tagdb

source = sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent / "data" / "taglines"
print(f"{tagdb.add(source)} tagfiles, {tagdb.chunks()} lines in {source}")
for call, number in [("draw()", 200_000), ("draw_bytes()", 200_000), ("draw(refresh=True)", 5_000),
                     ("chunks()", 1_000_000)]:
    seconds = min(timeit.repeat(f"tagdb.{call}", globals=globals(), number=number, repeat=5))
    print(f"tagdb.{call}: {seconds / number * 1e9:.0f} ns per call")
