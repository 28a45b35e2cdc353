/*
 * tagdb._tagdb: the library's operations for Python.  The package
 * (tagdb/__init__.py) re-exports them and sends the messages to logging.
 *
 * Every operation runs with the interpreter lock released.  The library's
 * messages arrive on the calling thread while that lock is released, so the
 * handler only queues them in a list of the thread's own; once the call
 * returned and the lock is held again, each is handed to the sink that the
 * package set (tagdb._log).  No Python code runs inside the library, and no
 * lock of our own is needed: the library lets one operation in at a time.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "tagdb/tagdb.h"

/* One message, as the library gave it, waiting for the interpreter. */
typedef struct pending {
  struct pending *next;
  int kind;
  int err;
  char *path; /* NULL when the message names no path */
  char text[];
} pending;

/* The calling thread's messages, oldest first. */
static _Thread_local pending *queue_head;
static _Thread_local pending **queue_tail;
/* Messages that could not be queued for want of memory. */
static _Thread_local unsigned long queue_lost;

static PyObject *sink;       /* tagdb._log(kind, errno, path, text) */
static PyObject *debug_wish; /* returns whether debug lines are wanted */

/* The exception a call ends with that Python raised while the library
 * worked: Ctrl-C (KeyboardInterrupt) seen by the progress hook, or what the
 * progress callable raised.  The thread's own, raised once the call
 * returns. */
static _Thread_local PyObject *raised_type, *raised_value, *raised_traceback;

static PyObject *progress_callable; /* tagdb.set_progress(callable) */
static pthread_t main_thread;       /* where Python handles signals */

/* The library's progress hook, on the calling thread, with the library's
 * lock held and the interpreter lock released.  Python's signal handlers
 * run only on the main thread, so only there, or when a callable wants
 * progress, is the interpreter lock taken: a signal that came (Ctrl-C)
 * or an exception of the callable stops the call within a tenth of a
 * second, and is raised when it returns. */
static int on_progress(int64_t bytes, int64_t entries, void *arg) {
  (void)arg;
  if (!pthread_equal(pthread_self(), main_thread) &&
      __atomic_load_n(&progress_callable, __ATOMIC_RELAXED) == NULL)
    return 0;
  PyGILState_STATE state = PyGILState_Ensure();
  int stop = PyErr_CheckSignals() < 0;
  if (!stop && progress_callable != NULL) {
    PyObject *result = PyObject_CallFunction(progress_callable, "LL", (long long)bytes,
                                             (long long)entries);
    stop = result == NULL;
    Py_XDECREF(result);
  }
  if (stop) {
    Py_XDECREF(raised_type);
    Py_XDECREF(raised_value);
    Py_XDECREF(raised_traceback);
    PyErr_Fetch(&raised_type, &raised_value, &raised_traceback);
  }
  PyGILState_Release(state);
  return stop;
}

static void enqueue(int kind, int err, const char *path, const char *text) {
  const size_t text_len = strlen(text);
  pending *message = malloc(sizeof *message + text_len + 1);
  if (message == NULL) {
    ++queue_lost;
    return;
  }
  message->next = NULL;
  message->kind = kind;
  message->err = err;
  message->path = path != NULL ? strdup(path) : NULL;
  memcpy(message->text, text, text_len + 1);
  if (queue_head == NULL) queue_tail = &queue_head;
  *queue_tail = message;
  queue_tail = &message->next;
}

static void on_message(const tagdb_message *message, void *arg) {
  (void)arg;
  enqueue(message->kind, message->err, message->path, message->text);
}

/* An exception the sink raised: an ordinary one is reported as unraisable
 * and the messages go on; one that is no Exception (KeyboardInterrupt,
 * SystemExit) is kept for the call to raise.  Returns 1 when kept. */
static int sink_failed(void) {
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_WriteUnraisable(sink);
    return 0;
  }
  Py_XDECREF(raised_type);
  Py_XDECREF(raised_value);
  Py_XDECREF(raised_traceback);
  PyErr_Fetch(&raised_type, &raised_value, &raised_traceback);
  return 1;
}

/* Hand the calling thread's queued messages to the sink, oldest first.
 * Called with the interpreter lock held; keeps any exception already set
 * (such as the MemoryError of the call) as it was.  A KeyboardInterrupt in
 * the sink ends the hand-over: the rest of the messages are dropped. */
static void deliver_messages(void) {
  if (queue_head == NULL && queue_lost == 0) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  pending *message = queue_head;
  queue_head = NULL;
  queue_tail = NULL;
  int stopped = 0;
  while (message != NULL) {
    pending *next = message->next;
    if (sink != NULL && !stopped) {
      PyObject *result = PyObject_CallFunction(
          sink, "iiy#y", message->kind, message->err, message->path,
          (Py_ssize_t)(message->path != NULL ? strlen(message->path) : 0), message->text);
      if (result == NULL)
        stopped = sink_failed();
      else
        Py_DECREF(result);
    }
    free(message->path);
    free(message);
    message = next;
  }
  if (queue_lost != 0 && sink != NULL && !stopped) {
    char text[96];
    snprintf(text, sizeof text, "%lu messages lost: out of memory\n", queue_lost);
    PyObject *result =
        PyObject_CallFunction(sink, "iiOy", TAGDB_MESSAGE_ERROR, ENOMEM, Py_None, text);
    if (result == NULL)
      sink_failed();
    else
      Py_DECREF(result);
  }
  queue_lost = 0;
  PyErr_Restore(type, value, traceback);
}

/* After a call, with the interpreter lock held: its messages handed over,
 * then what Python raised meanwhile (Ctrl-C, the progress callable, the
 * sink's KeyboardInterrupt) set as the call's exception, in place of any
 * other.  -1 when it is set. */
static int after_call(void) {
  deliver_messages();
  if (raised_type == NULL) return 0;
  PyErr_Clear();
  PyErr_Restore(raised_type, raised_value, raised_traceback);
  raised_type = raised_value = raised_traceback = NULL;
  return -1;
}

/* Debug lines are made only while the "tagdb" logger would keep them: the
 * library's switch follows the logger before each call that may say any. */
static int follow_debug_wish(void) {
  if (debug_wish == NULL) return 0;
  PyObject *wish = PyObject_CallNoArgs(debug_wish);
  if (wish == NULL) return -1;
  const int on = PyObject_IsTrue(wish);
  Py_DECREF(wish);
  if (on < 0) return -1;
  if (__atomic_load_n(&tagdb.debug, __ATOMIC_RELAXED) != on)
    __atomic_store_n(&tagdb.debug, on, __ATOMIC_RELAXED);
  return 0;
}

/* Whether nargs positional arguments are from min to max, raising if not. */
static int check_arguments(const char *name, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max) {
  if (nargs >= min && nargs <= max) return 1;
  PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments (%zd given)", name,
               min, max, nargs);
  return 0;
}

/* The path argument as bytes: str, bytes or os.PathLike, None for none.
 * Sets *bytes to a new reference, or NULL for None. */
static int path_argument(PyObject *arg, PyObject **bytes) {
  *bytes = NULL;
  if (arg == Py_None) return 1;
  return PyUnicode_FSConverter(arg, bytes);
}

/* MemoryError("memory for the index ran short", path), path as given. */
static PyObject *shortage(PyObject *path) {
  PyObject *error = PyObject_CallFunction(PyExc_MemoryError, "sO", "memory for the index ran short",
                                          path != NULL ? path : Py_None);
  if (error != NULL) {
    PyErr_SetObject(PyExc_MemoryError, error);
    Py_DECREF(error);
  }
  return NULL;
}

/* The result of an operation that returns a count, or -1 with errno. */
static PyObject *count_result(int n, int err, PyObject *path) {
  if (after_call() < 0) return NULL;
  if (n >= 0) return PyLong_FromLong(n);
  if (err == ENOMEM) return shortage(path);
  errno = err;
  return path != NULL ? PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path)
                      : PyErr_SetFromErrno(PyExc_OSError);
}

/* Call an operation that returns a count, with the interpreter lock
 * released: on a path (or none), or on nothing.  Its result for Python, as
 * count_result gives it; `about` names the path in an exception. */
static PyObject *call_on_path(int (*operation)(const char *), const char *path, PyObject *about) {
  int n, err;
  PyThreadState *const unlocked = PyEval_SaveThread();
  errno = 0;
  n = operation(path);
  err = errno;
  PyEval_RestoreThread(unlocked);
  return count_result(n, err, about);
}

static PyObject *call_plain(int (*operation)(void)) {
  int n, err;
  PyThreadState *const unlocked = PyEval_SaveThread();
  errno = 0;
  n = operation();
  err = errno;
  PyEval_RestoreThread(unlocked);
  return count_result(n, err, NULL);
}

PyDoc_STRVAR(add_doc,
             "add($module, path=None, /)\n--\n\n"
             "Add a tagfile, or a directory and every tagfile below it (names that\n"
             "begin with a dot are skipped inside directories).  None adds the\n"
             "default sources: ~/.taglines, else the system-wide collection.\n\n"
             "path is a str, bytes or os.PathLike.  Returns how many tagfiles were\n"
             "opened.  A path that cannot be used is logged (a warning on the\n"
             "\"tagdb\" logger) and skipped; the path is kept, and a later checkpoint\n"
             "or refreshing draw adds what it names once it exists.  Raises\n"
             "MemoryError when memory for the index ran short: the tagfile that did\n"
             "not fit is left out, the rest stays as it was.");

static PyObject *py_add(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
  (void)self;
  if (!check_arguments("add", nargs, 0, 1)) return NULL;
  PyObject *given = nargs > 0 ? args[0] : Py_None;
  PyObject *bytes;
  if (!path_argument(given, &bytes)) return NULL;
  if (follow_debug_wish() < 0) {
    Py_XDECREF(bytes);
    return NULL;
  }
  const char *path = bytes != NULL ? PyBytes_AS_STRING(bytes) : NULL;
  PyObject *result = call_on_path(tagdb_add, path, bytes != NULL ? given : NULL);
  Py_XDECREF(bytes);
  return result;
}

PyDoc_STRVAR(add_env_doc,
             "add_env($module, /)\n--\n\n"
             "Add the sources listed in the environment variable TAGLINES\n"
             "(colon-separated; an empty last element adds the defaults too), or the\n"
             "default sources when it is unset or opens nothing.  Returns how many\n"
             "tagfiles were opened; raises MemoryError as add() does.");

static PyObject *py_add_env(PyObject *self, PyObject *unused) {
  (void)self;
  (void)unused;
  if (follow_debug_wish() < 0) return NULL;
  return call_plain(tagdb_add_env);
}

/* Draw into buf (TAGDB_LINE_BUF bytes).  Returns the length, or -1 with
 * *err set. */
static int draw_line(int refresh, char *buf, int *err) {
  int n;
  PyThreadState *const unlocked = PyEval_SaveThread();
  errno = 0;
  n = tagdb_get_tag_r(refresh, buf, TAGDB_LINE_BUF);
  *err = errno;
  PyEval_RestoreThread(unlocked);
  if (after_call() < 0) *err = -1;  /* an exception is set */
  return n;
}

/* The draw's result for Python: the line by make(), None when there is
 * nothing to draw, or an exception. */
static PyObject *draw_result(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                             const char *name, PyObject *(*make)(const char *, Py_ssize_t)) {
  int refresh = 0;
  Py_ssize_t given = nargs + (kwnames != NULL ? PyTuple_GET_SIZE(kwnames) : 0);
  if (given > 1) return PyErr_Format(PyExc_TypeError, "%s() takes at most 1 argument", name);
  PyObject *flag = NULL;
  if (nargs == 1)
    flag = args[0];
  else if (given == 1) {
    if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, 0)) ||
        PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "refresh") != 0)
      return PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", name,
                          PyTuple_GET_ITEM(kwnames, 0));
    flag = args[0];
  }
  if (flag != NULL && (refresh = PyObject_IsTrue(flag)) < 0) return NULL;
  if (refresh && follow_debug_wish() < 0) return NULL;
  char buf[TAGDB_LINE_BUF];
  int err = 0;
  const int n = draw_line(refresh, buf, &err);
  if (err == -1) return NULL;
  if (n >= 0) return make(buf, n);
  if (err == ENOENT) Py_RETURN_NONE;
  if (err == ENOMEM) return shortage(NULL);
  errno = err;
  return PyErr_SetFromErrno(PyExc_OSError);
}

static PyObject *make_str(const char *text, Py_ssize_t len) {
  return PyUnicode_DecodeUTF8(text, len, "surrogateescape");
}

PyDoc_STRVAR(draw_doc,
             "draw($module, /, refresh=False)\n--\n\n"
             "Draw one tagline, uniformly over every line of every open tagfile, and\n"
             "return it without its line end, or None when there is nothing to draw.\n\n"
             "With refresh true, first bring the database up to date with the disk, as\n"
             "checkpoint() does: a program that keeps the database for hours draws so.\n"
             "The line is decoded as UTF-8; bytes that are not UTF-8 become lone\n"
             "surrogates (surrogateescape), so that\n"
             "line.encode(\"utf-8\", \"surrogateescape\") gives back the bytes of the\n"
             "file.  A line longer than 1022 characters comes in pieces of at most\n"
             "1023 bytes.  Raises MemoryError when a refresh ran short of memory.\n\n"
             "The interpreter lock is released while the library works, so other\n"
             "threads run meanwhile; in asyncio, draw in a worker thread to keep the\n"
             "event loop free:  line = await asyncio.to_thread(tagdb.draw, True)");

static PyObject *py_draw(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) {
  (void)self;
  return draw_result(args, nargs, kwnames, "draw", make_str);
}

PyDoc_STRVAR(draw_bytes_doc,
             "draw_bytes($module, /, refresh=False)\n--\n\n"
             "draw(), returning the line as the bytes of the file, or None.");

static PyObject *py_draw_bytes(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
  (void)self;
  return draw_result(args, nargs, kwnames, "draw_bytes", PyBytes_FromStringAndSize);
}

PyDoc_STRVAR(checkpoint_doc,
             "checkpoint($module, /)\n--\n\n"
             "Bring the database up to date with the disk: re-read the tagfiles that\n"
             "changed, open what replaced a source, close what is gone, add what a\n"
             "path given to add() names now, and new tagfiles in open directories.\n"
             "Afterwards it holds what a fresh load of the same sources would.  Raises\n"
             "MemoryError when memory ran short.");

static PyObject *py_checkpoint(PyObject *self, PyObject *unused) {
  (void)self;
  (void)unused;
  if (follow_debug_wish() < 0) return NULL;
  PyObject *result = call_plain(tagdb_checkpoint);
  if (result == NULL) return NULL;
  Py_DECREF(result);
  Py_RETURN_NONE;
}

PyDoc_STRVAR(close_all_doc,
             "close_all($module, /)\n--\n\n"
             "Close every source and forget every path given: the database is empty\n"
             "afterwards, and add() fills it again.");

static PyObject *py_close_all(PyObject *self, PyObject *unused) {
  (void)self;
  (void)unused;
  PyThreadState *const unlocked = PyEval_SaveThread();
  tagdb_close_all();
  PyEval_RestoreThread(unlocked);
  if (after_call() < 0) return NULL;
  Py_RETURN_NONE;
}

PyDoc_STRVAR(remove_doc,
             "remove($module, path, /)\n--\n\n"
             "Take back a path given to add(): close what only it brought in, and\n"
             "let no later checkpoint or refreshing draw bring it back.  A tagfile\n"
             "that another path given to add(), or add_env(), reaches stays open;\n"
             "the rest is brought up to date as checkpoint() does.\n\n"
             "path is a str, bytes or os.PathLike, spelled as it was given.  Returns\n"
             "how many tagfiles were closed: 0 for a path never given, or one that\n"
             "reaches nothing still open.  Raises MemoryError when bringing the rest\n"
             "up to date ran short of memory.");

static PyObject *py_remove(PyObject *self, PyObject *arg) {
  (void)self;
  PyObject *bytes;
  if (!PyUnicode_FSConverter(arg, &bytes)) return NULL;
  if (follow_debug_wish() < 0) {
    Py_DECREF(bytes);
    return NULL;
  }
  PyObject *result = call_on_path(tagdb_remove, PyBytes_AS_STRING(bytes), arg);
  Py_DECREF(bytes);
  return result;
}

PyDoc_STRVAR(chunks_doc,
             "chunks($module, /)\n--\n\n"
             "How many lines (line chunks) the draw chooses from.");

PyDoc_STRVAR(tagfiles_doc,
             "tagfiles($module, /)\n--\n\n"
             "How many tagfiles are open.");

PyDoc_STRVAR(sources_doc,
             "sources($module, /)\n--\n\n"
             "The open sources, tagfiles and directories, as paths in the order they\n"
             "were opened (a directory before the tagfiles found in it).");

static PyObject *py_chunks(PyObject *self, PyObject *unused) {
  (void)self;
  (void)unused;
  PyThreadState *const unlocked = PyEval_SaveThread();
  const int n = tagdb_count_chunks();
  PyEval_RestoreThread(unlocked);
  return PyLong_FromLong(n);
}

static PyObject *py_tagfiles(PyObject *self, PyObject *unused) {
  (void)self;
  (void)unused;
  PyThreadState *const unlocked = PyEval_SaveThread();
  const int n = tagdb_count_tagfiles();
  PyEval_RestoreThread(unlocked);
  return PyLong_FromLong(n);
}

static PyObject *py_sources(PyObject *self, PyObject *unused) {
  (void)self;
  (void)unused;
  PyObject *list = PyList_New(0);
  if (list == NULL) return NULL;
  tagsource *record = PyMem_RawMalloc(sizeof *record);
  if (record == NULL) {
    Py_DECREF(list);
    return PyErr_NoMemory();
  }
  for (int i = 0;; i++) {
    PyThreadState *const unlocked = PyEval_SaveThread();
    const int found = tagdb_source_at(i, record);
    PyEval_RestoreThread(unlocked);
    if (found < 0) break;
    if (record->file == NULL && record->dir == NULL) continue;
    PyObject *path = PyUnicode_DecodeFSDefault(record->path);
    if (path == NULL || PyList_Append(list, path) < 0) {
      Py_XDECREF(path);
      Py_DECREF(list);
      list = NULL;
      break;
    }
    Py_DECREF(path);
  }
  PyMem_RawFree(record);
  return list;
}

PyDoc_STRVAR(set_descriptor_budget_doc,
             "set_descriptor_budget($module, n, /)\n--\n\n"
             "Keep at most n file descriptors open for tagfiles (0: the default, half\n"
             "the soft limit); past it, tagfiles are read through their paths.  A\n"
             "negative n only asks.  Returns the budget in force before.");

static PyObject *py_set_descriptor_budget(PyObject *self, PyObject *arg) {
  (void)self;
  const long n = PyLong_AsLong(arg);
  if (n == -1 && PyErr_Occurred()) return NULL;
  if (n < INT_MIN || n > INT_MAX)
    return PyErr_Format(PyExc_OverflowError, "a budget is an int: %ld", n);
  int before;
  PyThreadState *const unlocked = PyEval_SaveThread();
  before = tagdb_set_descriptor_budget((int)n);
  PyEval_RestoreThread(unlocked);
  if (after_call() < 0) return NULL;
  return PyLong_FromLong(before);
}

PyDoc_STRVAR(set_memory_limit_doc,
             "set_memory_limit($module, nbytes, /)\n--\n\n"
             "Let the index take at most nbytes of memory (0: the default, half of\n"
             "physical memory); past it, adding raises MemoryError as when memory\n"
             "runs out.  A negative nbytes only asks.  Returns the ceiling in force\n"
             "before.");

static PyObject *py_set_memory_limit(PyObject *self, PyObject *arg) {
  (void)self;
  const long long n = PyLong_AsLongLong(arg);
  if (n == -1 && PyErr_Occurred()) return NULL;
  int64_t before;
  PyThreadState *const unlocked = PyEval_SaveThread();
  before = tagdb_set_memory_limit((int64_t)n);
  PyEval_RestoreThread(unlocked);
  if (after_call() < 0) return NULL;
  return PyLong_FromLongLong((long long)before);
}

PyDoc_STRVAR(set_logging_doc,
             "_set_logging($module, sink, debug_wanted, /)\n--\n\n"
             "Internal: sink(kind, errno, path, text) receives each message (path and\n"
             "text as bytes, path None when there is none); debug_wanted() says\n"
             "whether debug lines are wanted.");

static PyObject *py_set_logging(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
  (void)self;
  if (!check_arguments("_set_logging", nargs, 2, 2)) return NULL;
  PyObject *old_sink = sink, *old_wish = debug_wish;
  Py_INCREF(args[0]);
  sink = args[0];
  Py_INCREF(args[1]);
  debug_wish = args[1];
  Py_XDECREF(old_sink);
  Py_XDECREF(old_wish);
  Py_RETURN_NONE;
}

PyDoc_STRVAR(set_progress_doc,
             "set_progress($module, callable, /)\n--\n\n"
             "Call callable(nbytes, nentries) every twentieth of a second or so of\n"
             "work during add(), add_env(), checkpoint(), remove() and a refreshing\n"
             "draw, with the bytes read and the directory entries and sources looked\n"
             "at so far in that call: a progress bar.  What it raises stops the call\n"
             "within a tenth of a second and is raised from it; what the call did is\n"
             "kept whole, and the next checkpoint finishes it.  Ctrl-C stops a long\n"
             "call of the main thread the same way, with or without a callable.  None:\n"
             "no callable.  The callable runs while the library's lock is held: it\n"
             "must not call tagdb.");

static PyObject *py_set_progress(PyObject *self, PyObject *arg) {
  (void)self;
  if (arg != Py_None && !PyCallable_Check(arg))
    return PyErr_Format(PyExc_TypeError, "set_progress() takes a callable or None, not %.100s",
                        Py_TYPE(arg)->tp_name);
  PyObject *old = progress_callable;
  Py_XINCREF(arg == Py_None ? NULL : arg);
  __atomic_store_n(&progress_callable, arg == Py_None ? NULL : arg, __ATOMIC_RELAXED);
  Py_XDECREF(old);
  Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"set_progress", py_set_progress, METH_O, set_progress_doc},
    {"add", (PyCFunction)(void (*)(void))py_add, METH_FASTCALL, add_doc},
    {"add_env", py_add_env, METH_NOARGS, add_env_doc},
    {"draw", (PyCFunction)(void (*)(void))py_draw, METH_FASTCALL | METH_KEYWORDS, draw_doc},
    {"draw_bytes", (PyCFunction)(void (*)(void))py_draw_bytes, METH_FASTCALL | METH_KEYWORDS,
     draw_bytes_doc},
    {"checkpoint", py_checkpoint, METH_NOARGS, checkpoint_doc},
    {"close_all", py_close_all, METH_NOARGS, close_all_doc},
    {"remove", py_remove, METH_O, remove_doc},
    {"chunks", py_chunks, METH_NOARGS, chunks_doc},
    {"tagfiles", py_tagfiles, METH_NOARGS, tagfiles_doc},
    {"sources", py_sources, METH_NOARGS, sources_doc},
    {"set_descriptor_budget", py_set_descriptor_budget, METH_O, set_descriptor_budget_doc},
    {"set_memory_limit", py_set_memory_limit, METH_O, set_memory_limit_doc},
    {"_set_logging", (PyCFunction)(void (*)(void))py_set_logging, METH_FASTCALL, set_logging_doc},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "tagdb._tagdb",
    "The tagdb library's operations; use them through the package tagdb.",
    -1,
    methods,
    NULL,
    NULL,
    NULL,
    NULL};

PyMODINIT_FUNC PyInit__tagdb(void) {
  PyObject *m = PyModule_Create(&module);
  if (m == NULL) return NULL;
  if (PyModule_AddStringConstant(m, "version", tagdb_version()) < 0 ||
      PyModule_AddIntConstant(m, "MESSAGE_ERROR", TAGDB_MESSAGE_ERROR) < 0 ||
      PyModule_AddIntConstant(m, "MESSAGE_DEBUG", TAGDB_MESSAGE_DEBUG) < 0) {
    Py_DECREF(m);
    return NULL;
  }
  /* A library inside Python never ends the process: a shortage raises
   * MemoryError.  Messages go to the queue, then to logging. */
  tagdb_set_exit_on_shortage(0);
  tagdb_set_message_handler(on_message, NULL);
  main_thread = pthread_self();
  tagdb_set_progress(on_progress, NULL);
  tagdb_init();
  deliver_messages();
  return m;
}
