"""A host of the installed package, run as `python3 installed_host.py`.

Adds a directory of two tagfiles, hears a missing path through the "tagdb"
logger, then draws with refresh from four threads for three seconds while
the tagfiles are renamed over, and checks that every draw is a whole line
of some version of them.  Prints "ok" and the number of draws, or what went
wrong (exit status 1).
"""

import errno
import logging
import os
import sys
import tempfile
import threading
import time

import tagdb

# Lines of unlike lengths, so that a draw torn between two versions of a
# file, or cut short, shows.
VERSIONS = {
    "first": [["a" * n for n in (3, 40, 7)], ["A" * n for n in (90, 1, 12, 30)]],
    "second": [["b" * n for n in (5, 66)], ["B" * n for n in (2, 200, 9)]],
}
SECONDS = 3.0


def write(path, lines):
    with open(path, "w", encoding="ascii") as f:
        f.write("".join(line + "\n" for line in lines))


def main():
    whole = {line for versions in VERSIONS.values() for lines in versions for line in lines}
    failures = []
    heard = []

    class Hear(logging.Handler):
        def emit(self, record):
            heard.append(record)

    logging.getLogger("tagdb").addHandler(Hear())
    with tempfile.TemporaryDirectory() as top:
        sigs = os.path.join(top, "sigs")
        os.mkdir(sigs)
        for name, versions in VERSIONS.items():
            write(os.path.join(sigs, name), versions[0])
        opened = tagdb.add(sigs)
        if opened != 2:
            failures.append(f"add({sigs!r}) returned {opened}, not 2")
        missing = os.path.join(top, "missing")
        tagdb.add(missing)
        if not any(
            "No such file or directory" in r.getMessage()
            and r.levelno == logging.WARNING
            and r.path == missing
            and r.errno == errno.ENOENT
            for r in heard
        ):
            failures.append(
                f"no warning with path and errno for {missing}: "
                f"{[(r.getMessage(), r.path, r.errno) for r in heard]}"
            )

        stop = threading.Event()
        draws = [0] * 4

        def drawer(k):
            while not stop.is_set():
                line = tagdb.draw(refresh=True)
                draws[k] += 1
                if line not in whole:
                    failures.append(f"thread {k} drew {line!r}")
                    return

        def renamer():
            turn = 0
            while not stop.is_set():
                turn += 1
                for name, versions in VERSIONS.items():
                    scratch = os.path.join(top, name + ".new")
                    write(scratch, versions[turn % len(versions)])
                    os.replace(scratch, os.path.join(sigs, name))

        threads = [threading.Thread(target=drawer, args=(k,)) for k in range(4)]
        threads.append(threading.Thread(target=renamer))
        for thread in threads:
            thread.start()
        time.sleep(SECONDS)
        stop.set()
        for thread in threads:
            thread.join()
        tagdb.close_all()
    if min(draws) == 0:
        failures.append(f"a thread drew nothing: {draws}")
    if failures:
        print("\n".join(failures[:10]))
        return 1
    print("ok", sum(draws), "draws")
    return 0


if __name__ == "__main__":
    sys.exit(main())
