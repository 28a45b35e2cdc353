import asyncio
import sys

import tagdb


async def main():
    for path in sys.argv[1:]:
        tagdb.add(path)
    if len(sys.argv) < 2:
        tagdb.add_env()
    # A refreshing draw reads the disk, which takes a while over thousands of
    # tagfiles; in a worker thread it leaves the event loop free, because the
    # library releases the GIL while it works.
    line = await asyncio.to_thread(tagdb.draw, True)
    if line is not None:
        print(line)
    return 0 if line is not None else 1


sys.exit(asyncio.run(main()))
