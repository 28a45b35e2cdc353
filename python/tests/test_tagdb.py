"""The package as a Python host uses it: real files and directories, the
"tagdb" logger, threads, and the package as installed."""

import ast
import asyncio
import errno
import inspect
import logging
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import threading

import pytest

import tagdb
import tagdb._tagdb

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE.parent.parent


class BytesPath:
    """An os.PathLike whose path is bytes."""

    def __init__(self, path):
        self.path = os.fsencode(path)

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize(
    "form", [str, os.fsencode, pathlib.Path, BytesPath], ids=["str", "bytes", "Path", "PathLike-bytes"]
)
def test_path_forms(db, tmp_path, form):
    (tmp_path / "one").write_text("only line\n")
    assert db.add(form(str(tmp_path / "one"))) == 1
    assert db.sources() == [str(tmp_path / "one")]
    assert db.draw() == "only line"
    assert db.remove(form(str(tmp_path / "one"))) == 1
    assert (db.sources(), db.draw(refresh=True)) == ([], None)


def test_name_not_utf8_round_trips(db, tmp_path):
    name = os.fsencode(str(tmp_path)) + b"/caf\xe9"
    with open(name, "wb") as f:
        f.write(b"line\n")
    assert db.add(name) == 1
    (source,) = db.sources()
    assert os.fsencode(source) == name
    assert db.add(source) == 0  # the same file, reached by the decoded name


def test_line_not_utf8_reaches_python_whole(db, tmp_path):
    (tmp_path / "latin1").write_bytes(b"caf\xe9 cr\xe8me\n")
    assert db.add(tmp_path / "latin1") == 1
    line = db.draw()
    assert line == "caf\udce9 cr\udce8me"
    assert line.encode("utf-8", "surrogateescape") == b"caf\xe9 cr\xe8me"
    assert db.draw_bytes() == b"caf\xe9 cr\xe8me"
    assert db.draw_bytes(refresh=True) == b"caf\xe9 cr\xe8me"


@pytest.mark.parametrize("content", [None, b"", b"\n\n"], ids=["no source", "empty file", "empty lines"])
def test_nothing_to_draw(db, tmp_path, content):
    if content is not None:
        (tmp_path / "f").write_bytes(content)
        db.add(tmp_path / "f")
    if content == b"\n\n":
        # Empty lines are lines: they are drawn, as empty strings.
        assert db.draw() == "" and db.draw_bytes() == b""
        return
    assert db.draw() is None
    assert db.draw_bytes(refresh=True) is None


def test_counts_sources_and_close_all(db, tmp_path):
    (tmp_path / "top").mkdir()
    (tmp_path / "top" / "a").write_text("1\n2\n3\n")
    (tmp_path / "top" / "sub").mkdir()
    (tmp_path / "top" / "sub" / "b").write_text("4\n5\n")
    (tmp_path / "top" / ".hidden").write_text("never\n")
    (tmp_path / "lone").write_text("6\n")
    assert db.add(tmp_path / "top") == 2
    assert db.add(str(tmp_path / "lone")) == 1
    assert (db.chunks(), db.tagfiles()) == (6, 3)
    assert sorted(db.sources()) == sorted(
        str(tmp_path / p) for p in ["top", "top/a", "top/sub", "top/sub/b", "lone"]
    )
    assert {db.draw() for _ in range(300)} == {"1", "2", "3", "4", "5", "6"}

    (tmp_path / "top" / "sub" / "b").unlink()
    db.checkpoint()
    assert (db.chunks(), db.tagfiles()) == (4, 2)

    db.close_all()
    assert (db.chunks(), db.tagfiles(), db.sources(), db.draw()) == (0, 0, [], None)
    assert db.add(tmp_path / "lone") == 1  # usable again
    assert db.draw() == "6"


def test_unusable_path_is_a_warning_with_path_and_errno(db, tmp_path, caplog):
    caplog.set_level(logging.WARNING, logger="tagdb")
    missing = str(tmp_path / "missing")
    assert db.add(missing) == 0
    (record,) = [r for r in caplog.records if r.name == "tagdb"]
    assert record.levelno == logging.WARNING
    assert record.getMessage() == f"stat {missing}: No such file or directory"
    assert record.path == missing
    assert record.errno == errno.ENOENT


def test_debug_lines_only_while_the_logger_wants_them(db, tmp_path, caplog):
    (tmp_path / "f").write_text("x\n")
    caplog.set_level(logging.INFO, logger="tagdb")
    db.add(tmp_path / "f")
    assert [r for r in caplog.records if r.name == "tagdb"] == []

    db.close_all()
    caplog.set_level(logging.DEBUG, logger="tagdb")
    db.add(tmp_path / "f")
    debug = [r for r in caplog.records if r.name == "tagdb"]
    assert debug and all(r.levelno == logging.DEBUG for r in debug)
    assert f"Adding {tmp_path / 'f'}" in [r.getMessage() for r in debug]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: tagdb.add(17), TypeError),
        (lambda: tagdb.add("a\0b"), ValueError),
        (lambda: tagdb.add("a", "b"), TypeError),
        (lambda: tagdb.draw(True, True), TypeError),
        (lambda: tagdb.draw(fresh=True), TypeError),
        (lambda: tagdb.draw_bytes(refresh=True, x=1), TypeError),
        (lambda: tagdb.remove(), TypeError),
        (lambda: tagdb.remove(None), TypeError),
        (lambda: tagdb.remove(b"a\0b"), ValueError),
    ],
    ids=["number", "NUL", "two paths", "two flags", "unknown keyword", "extra keyword",
         "remove nothing", "remove None", "remove NUL"],
)
def test_argument_errors(db, call, error):
    with pytest.raises(error):
        call()


def test_removing_a_directory_closes_its_tagfiles_for_good(db, tmp_path, caplog):
    caplog.set_level(logging.DEBUG, logger="tagdb")
    top = tmp_path / "top"
    (top / "sub").mkdir(parents=True)
    (top / "a").write_text("a1\na2\n")
    (top / "sub" / "b").write_text("b1\n")
    (tmp_path / "kept").write_text("kept\n")
    assert db.add(top) == 2
    assert db.add(tmp_path / "kept") == 1
    caplog.clear()

    assert db.remove(str(top)) == 2
    assert (db.tagfiles(), db.chunks(), db.sources()) == (1, 1, [str(tmp_path / "kept")])
    assert any(r.levelno == logging.DEBUG for r in caplog.records if r.name == "tagdb")

    # Touched, grown, replaced by rename, joined by a new file: nothing under
    # the directory comes back, whatever a refresh finds there.
    (top / "a").write_text("a1\na2\na3\n")
    (top / "new").write_text("new\n")
    (top / "sub" / "b.tmp").write_text("b2\n")
    os.replace(top / "sub" / "b.tmp", top / "sub" / "b")
    os.utime(top, (1, 1))
    assert {db.draw(refresh=True) for _ in range(200)} == {"kept"}
    db.checkpoint()
    assert (db.tagfiles(), db.sources()) == (1, [str(tmp_path / "kept")])
    assert db.remove(str(top)) == 0  # taken back already


@pytest.mark.parametrize("removed", ["file", "directory"])
def test_removing_one_of_two_paths_to_a_tagfile_keeps_its_lines(db, tmp_path, removed):
    (tmp_path / "d").mkdir()
    (tmp_path / "d" / "f").write_text("f1\nf2\n")
    (tmp_path / "d" / "g").write_text("g1\n")
    assert db.add(tmp_path / "d") == 2
    assert db.add(tmp_path / "d" / "f") == 0  # reached through the directory already

    if removed == "file":
        assert db.remove(tmp_path / "d" / "f") == 0
        left = {"f1", "f2", "g1"}
    else:
        assert db.remove(tmp_path / "d") == 1  # g; f is still named on its own
        left = {"f1", "f2"}
    for refresh in (False, True):
        assert {db.draw(refresh=refresh) for _ in range(300)} == left
    (tmp_path / "d" / "f").write_text("f1\nf2\nf3\n")
    db.checkpoint()
    assert {db.draw() for _ in range(300)} == left | {"f3"}


def test_removing_a_path_never_given_changes_nothing(db, tmp_path, caplog):
    caplog.set_level(logging.WARNING, logger="tagdb")
    (tmp_path / "d").mkdir()
    (tmp_path / "d" / "f").write_text("f\n")
    (tmp_path / "other").write_text("other\n")
    db.add(tmp_path / "d")
    before = (db.tagfiles(), db.chunks(), db.sources())
    for path in [tmp_path / "other", tmp_path / "missing", tmp_path / "d" / "f", str(tmp_path / "d") + "/", str(tmp_path)]:
        assert db.remove(path) == 0, path
    assert (db.tagfiles(), db.chunks(), db.sources()) == before
    assert db.draw(refresh=True) == "f"
    assert [r for r in caplog.records if r.name == "tagdb"] == []


def test_other_threads_run_while_the_library_indexes(db, tmp_path):
    # Two million lines take the indexer a while.  With a long switch
    # interval, a thread that only counts gets the interpreter lock from this
    # one only when it is released: if the library ran with it held, the
    # count would not move during the call.
    (tmp_path / "big").write_bytes(b"some tagline\n" * 2_000_000)
    path = os.fspath(tmp_path / "big")
    counted = 0
    stop = threading.Event()

    def count():
        nonlocal counted
        while not stop.is_set():
            counted += 1

    counter = threading.Thread(target=count)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.5)
    try:
        counter.start()
        before = counted
        opened = db.add(path)
        during = counted - before
    finally:
        stop.set()
        counter.join()
        sys.setswitchinterval(interval)
    assert opened == 1
    assert during > 1000


def test_memory_ceiling_raises_memory_error_and_keeps_what_was_there(db, tmp_path, caplog):
    (tmp_path / "three").write_text("alpha\nbravo\ncharlie\n")
    (tmp_path / "many").write_bytes(b"x\n" * 200_000)  # some 3 MB of index
    assert db.add(tmp_path / "three") == 1
    before = db.set_memory_limit(1 << 20)
    try:
        assert db.set_memory_limit(-1) == 1 << 20  # only asks
        with pytest.raises(MemoryError) as raised:
            db.add(tmp_path / "many")
        assert raised.value.args[1] == tmp_path / "many"
    finally:
        db.set_memory_limit(before)
    assert (db.tagfiles(), db.chunks()) == (1, 3)
    assert {db.draw() for _ in range(100)} == {"alpha", "bravo", "charlie"}
    assert any(r.levelno == logging.WARNING and r.errno == errno.ENOMEM for r in caplog.records)


def test_descriptor_budget_below_the_tagfiles_still_draws_every_line(db, tmp_path):
    for k in range(6):
        (tmp_path / f"f{k}").write_text(f"line {k}\n")
    before = db.set_descriptor_budget(2)
    try:
        assert db.set_descriptor_budget(-1) == 2
        assert db.add(tmp_path) == 6
        assert {db.draw() for _ in range(300)} == {f"line {k}" for k in range(6)}
    finally:
        db.close_all()
        db.set_descriptor_budget(before)


def test_stub_declares_the_module_as_it_is():
    """Every public name of the package is in __init__.pyi, each function
    with the parameters it takes, and every function has its own docstring."""
    stub = ast.parse((pathlib.Path(tagdb.__file__).parent / "__init__.pyi").read_text())
    functions = {node.name: node.args for node in stub.body if isinstance(node, ast.FunctionDef)}
    values = {node.target.id for node in stub.body if isinstance(node, ast.AnnAssign)}
    public = {name for name in dir(tagdb) if not name.startswith("_") and not inspect.ismodule(getattr(tagdb, name))}
    assert public | {"__version__"} == set(functions) | values
    assert set(tagdb.__all__) <= public
    # What the extension has is all in the package, but for its internals.
    assert {n for n in dir(tagdb._tagdb) if not n.startswith("_") and not n.isupper()} <= public

    def stub_parameters(args):
        kinds = [(a, inspect.Parameter.POSITIONAL_ONLY) for a in args.posonlyargs]
        kinds += [(a, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in args.args]
        defaults = [False] * (len(kinds) - len(args.defaults)) + [True] * len(args.defaults)
        return [(a.arg, kind, d) for (a, kind), d in zip(kinds, defaults)]

    for name, args in functions.items():
        function = getattr(tagdb, name)
        assert function.__doc__ and function.__doc__.strip(), name
        real = [(p.name, p.kind, p.default is not inspect.Parameter.empty)
                for p in inspect.signature(function).parameters.values()]
        assert real == stub_parameters(args), name


SHORTAGE_HOST = r"""
import logging, os, resource, sys
import tagdb
logging.basicConfig(format="%(levelname)s %(message)s")
tagdb.add(sys.argv[1])
pages = int(open("/proc/self/statm").read().split()[0])
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (pages * os.sysconf("SC_PAGE_SIZE") + (32 << 20), hard))
try:
    tagdb.add(sys.argv[2])
    print("added")
except MemoryError as e:
    print("MemoryError", e.args[1] == sys.argv[2])
print(tagdb.tagfiles(), tagdb.chunks(), sorted({tagdb.draw() for _ in range(100)}))
"""


def test_shortage_raises_memory_error_and_the_process_goes_on(tmp_path):
    if not os.access("/proc/self/statm", os.R_OK):
        pytest.skip("reads the size of the process from /proc/self/statm, which is missing")
    (tmp_path / "three").write_text("alpha\nbravo\ncharlie\n")
    # Eight million empty lines want 128 MB of index; 32 MiB is there.
    (tmp_path / "huge").write_bytes(b"\n" * 8_000_000)
    run = subprocess.run(
        [sys.executable, "-c", SHORTAGE_HOST, str(tmp_path / "three"), str(tmp_path / "huge")],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout == "MemoryError True\n1 3 ['alpha', 'bravo', 'charlie']\n"
    assert "WARNING" in run.stderr and "Cannot allocate memory" in run.stderr


def test_threads_draw_whole_lines_while_files_are_renamed_over():
    run = subprocess.run(
        [sys.executable, str(HERE / "installed_host.py")], capture_output=True, text=True, timeout=60
    )
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("ok ")


def readme_example(tmp_path, script):
    """Check that `script` is one of the README's examples, and return a
    runner of it with TAGLINES naming a one-line tagfile, that tagfile's
    path and a path that names nothing."""
    readme = (SOURCE / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", readme, re.S)
    assert (HERE / script).read_text() in blocks

    (tmp_path / "life").write_text("Ask me about my sourdough.\n")
    env = dict(os.environ, TAGLINES=str(tmp_path / "life"))

    def run(*args):
        return subprocess.run(
            [sys.executable, str(HERE / script), *args],
            capture_output=True, text=True, env=env, timeout=60,
        )

    return run, str(tmp_path / "life"), str(tmp_path / "missing")


def test_readme_example_is_this_one_and_runs(tmp_path):
    run, life, missing = readme_example(tmp_path, "example.py")
    named = run(life, missing)
    assert (named.returncode, named.stdout) == (0, "Ask me about my sourdough.\n")
    assert named.stderr == f"tagdb: stat {missing}: No such file or directory\n"
    from_env = run()
    assert (from_env.returncode, from_env.stdout, from_env.stderr) == (0, "Ask me about my sourdough.\n", "")
    nothing = run(missing)
    assert (nothing.returncode, nothing.stdout) == (1, "")


def test_readme_asyncio_example_is_this_one_and_runs(tmp_path):
    run, life, missing = readme_example(tmp_path, "asyncio_example.py")
    for args in [(life,), ()]:
        drawn = run(*args)
        assert (drawn.returncode, drawn.stdout, drawn.stderr) == (0, "Ask me about my sourdough.\n", ""), args
    nothing = run(missing)
    assert (nothing.returncode, nothing.stdout) == (1, "")
    assert f"stat {missing}: No such file or directory" in nothing.stderr


def test_help_tells_asyncio_programs_to_draw_in_a_thread():
    stub = (pathlib.Path(tagdb.__file__).parent / "__init__.pyi").read_text()
    for text in [tagdb.__doc__, tagdb.draw.__doc__, stub]:
        assert "await asyncio.to_thread(tagdb.draw, True)" in text


def test_event_loop_runs_while_a_draw_in_a_thread_indexes(db, tmp_path):
    # The refreshing draw indexes two million lines again.  With a long
    # switch interval the loop's task gets the interpreter lock from the
    # worker only when the library releases it: if it held it, the task
    # would not tick during the draw.
    path = tmp_path / "big"
    path.write_text("a tagline\n")
    assert db.add(path) == 1
    path.write_bytes(b"some tagline\n" * 2_000_000)
    ticks = 0

    async def tick(done):
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            await asyncio.sleep(0)

    async def main():
        done = asyncio.Event()
        ticker = asyncio.create_task(tick(done))
        await asyncio.sleep(0)
        before = ticks
        line = await asyncio.to_thread(db.draw, True)
        during = ticks - before
        done.set()
        await ticker
        return line, during

    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.5)
    try:
        line, during = asyncio.run(main())
    finally:
        sys.setswitchinterval(interval)
    assert line == "some tagline"
    assert db.chunks() == 2_000_000
    assert during > 100


def test_installed_package_needs_no_shared_library(tmp_path):
    build = os.environ.get("TAGDB_BUILD_DIR")
    if not build:
        pytest.skip("TAGDB_BUILD_DIR names no build to install (run through ctest)")
    install = subprocess.run(
        ["cmake", "--install", build, "--prefix", str(tmp_path / "p")],
        capture_output=True, text=True, timeout=120,
    )
    assert install.returncode == 0, install.stderr
    said = re.search(r"The Python package tagdb is in (\S+)", install.stdout)
    assert said, install.stdout
    site = said.group(1)
    assert site.startswith(str(tmp_path / "p") + "/lib/")
    installed = sorted(p.name for p in pathlib.Path(site, "tagdb").iterdir())
    assert installed[:3] == ["__init__.py", "__init__.pyi", "_tagdb" + installed[2][6:]]
    assert "py.typed" in installed
    if shutil.which("ldd"):
        needed = subprocess.run(["ldd", str(pathlib.Path(site, "tagdb", installed[2]))],
                                capture_output=True, text=True).stdout
        assert "libtagdb" not in needed and "libpython" not in needed

    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONPATH"] = site
    run = subprocess.run(
        [sys.executable, str(HERE / "installed_host.py")],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=60,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    where = subprocess.run(
        [sys.executable, "-c", "import tagdb; print(tagdb.__file__)"],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert where.stdout.startswith(site)


@pytest.mark.parametrize("installed", [True, False], ids=["package on the path", "none"])
def test_source_root_hands_the_import_on(installed):
    """In the source tree's root, the library's C++ folder tagdb/ is first
    on the path: it hands the import on to the package, or says there is
    none, instead of passing for an empty package."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    if installed:
        env["PYTHONPATH"] = str(pathlib.Path(tagdb.__file__).parent.parent)
    run = subprocess.run(
        [sys.executable, "-c", "import tagdb; print(tagdb.__file__, tagdb.add.__name__)"],
        capture_output=True, text=True, env=env, cwd=SOURCE, timeout=60,
    )
    if installed:
        assert run.returncode == 0, run.stderr
        assert run.stdout == tagdb.__file__ + " add\n"
    else:
        assert run.returncode == 1
        assert "ImportError: the tagdb package is not installed" in run.stderr


def _sparse(path, gib):
    """A tagfile of `gib` GiB of nothing: millions of chunks of a hole."""
    with open(path, "wb") as f:
        f.truncate(gib << 30)


def test_progress_callable_sees_the_work_and_stops_the_call(db, tmp_path):
    (tmp_path / "kept").write_text("kept\n")
    _sparse(tmp_path / "sparse", 16)
    seen = []

    class Enough(Exception):
        pass

    def progress(nbytes, nentries):
        seen.append(nbytes)
        if len(seen) == 3:
            raise Enough

    assert db.add(tmp_path / "kept") == 1
    db.set_progress(progress)
    try:
        with pytest.raises(Enough):
            db.add(tmp_path / "sparse")
    finally:
        db.set_progress(None)
    assert len(seen) == 3 and seen == sorted(seen) and seen[0] > 0
    # The add stopped: the tagfile it was reading is left out, the rest kept.
    assert db.tagfiles() == 1 and db.chunks() == 1
    assert db.draw() == "kept"


# Run in a process of its own: Ctrl-C is a signal to the whole process.
INTERRUPTED_ADD = r"""
import signal, sys
sys.path[:0] = [sys.argv[2]]
import tagdb
# Ctrl-C a moment into the call: SIGALRM handled as SIGINT is.
signal.signal(signal.SIGALRM, signal.default_int_handler)
signal.setitimer(signal.ITIMER_REAL, 0.2)
try:
    tagdb.add(sys.argv[1])
    print("finished")
except KeyboardInterrupt:
    print("interrupted", tagdb.tagfiles(), tagdb.chunks())
"""

# A logging handler that meets Ctrl-C as the call's message is handed to it.
INTERRUPTED_MESSAGE = r"""
import logging, sys
sys.path[:0] = [sys.argv[2]]
import tagdb
class CtrlC(logging.Handler):
    def emit(self, record):
        raise KeyboardInterrupt
logging.getLogger("tagdb").addHandler(CtrlC())
try:
    tagdb.add(sys.argv[1])
    print("returned")
except KeyboardInterrupt:
    print("interrupted")
"""


@pytest.mark.parametrize("script, path, expected", [
    (INTERRUPTED_ADD, "sparse", "interrupted 0 0\n"),
    (INTERRUPTED_MESSAGE, "missing", "interrupted\n"),
], ids=["during a long add", "while its message is handed over"])
def test_ctrl_c_raises_keyboard_interrupt_from_the_call(tmp_path, script, path, expected):
    _sparse(tmp_path / "sparse", 64)
    package = str(pathlib.Path(tagdb.__file__).parent.parent)
    run = subprocess.run([sys.executable, "-c", script, str(tmp_path / path), package],
                         capture_output=True, text=True, timeout=120)
    assert run.stdout == expected, run.stderr
    assert "Exception ignored" not in run.stderr


def test_a_fork_while_threads_draw_leaves_the_child_a_working_database(db, tmp_path):
    many = tmp_path / "many"
    many.mkdir()
    for k in range(100):
        (many / str(k)).write_text("".join(f"line {i}\n" for i in range(100)))
    db.add(many)
    stop = threading.Event()

    def draw_until_stopped():
        while not stop.is_set():
            db.draw(True)

    threads = [threading.Thread(target=draw_until_stopped) for _ in range(2)]
    for t in threads:
        t.start()
    statuses = []
    try:
        for _ in range(10):
            child = os.fork()
            if child == 0:
                signal.alarm(5)   # a hung child ends, and says so by its status
                db.close_all()
                ok = db.add(many) == 100 and db.draw() is not None
                os._exit(0 if ok else 1)
            statuses.append(os.waitpid(child, 0)[1])
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert statuses == [0] * 10
