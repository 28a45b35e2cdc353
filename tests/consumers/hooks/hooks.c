/*
 * A host of the library that steers it through each hook of tagdb.h: where
 * its messages go, what a shortage of memory does, where draws take their
 * numbers, and what a cancelled host thread finds.  Each section runs in a
 * child process of its own, in a scratch directory that is removed after.
 *
 *   hooks [reporter|random|shortage|cancel|reenter|messages|signal|fork|async_cancel|
 *          delivery|progress ...]
 *                                                    (no argument: all)
 *
 * Exits 0 when every case held, 1 otherwise, and 77 when every section asked
 * for was skipped (saying why on a "skipped: " line).
 */
#define _XOPEN_SOURCE 700
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <setjmp.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <tagdb/tagdb.h>

static int failures;

static void
fail(const char *format, ...)
{
	va_list args;

	va_start(args, format);
	vprintf(format, args);
	va_end(args);
	putchar('\n');
	fflush(stdout);
	failures++;
}

static const char *const lines[] = {"alpha", "bravo", "charlie"};

static void
write_file(const char *path, const char *text)
{
	FILE *f = fopen(path, "w");

	if (f == NULL || fputs(text, f) == EOF || fclose(f) != 0) {
		perror(path);
		exit(2);
	}
}

/* A tagfile of `count` copies of `line`. */
static void
write_lines(const char *path, const char *line, long count)
{
	static char block[1 << 16];
	size_t len = strlen(line), fill = 0;
	FILE *f = fopen(path, "w");

	if (f == NULL) {
		perror(path);
		exit(2);
	}
	while (fill + len <= sizeof block) {
		memcpy(block + fill, line, len);
		fill += len;
	}
	for (long left = count; left > 0;) {
		long n = left < (long)(fill / len) ? left : (long)(fill / len);
		if (fwrite(block, len, (size_t)n, f) != (size_t)n) {
			perror(path);
			exit(2);
		}
		left -= n;
	}
	if (fclose(f) != 0) {
		perror(path);
		exit(2);
	}
}

/* The directory "many" with `count` tagfiles of 200 lines (made once). */
static void
write_many(int count)
{
	char path[64];

	if (mkdir("many", 0700) != 0 && errno != EEXIST) {
		perror("many");
		exit(2);
	}
	for (int k = 0; k < count; k++) {
		snprintf(path, sizeof path, "many/%d", k);
		if (access(path, F_OK) != 0)
			write_lines(path, "a line of a tagfile\n", 200);
	}
}

static int
open_count(const char *path)
{
	struct stat st;

	return stat(path, &st) == 0 ? tagdb_count_open(st.st_dev, st.st_ino) : -1;
}

static char *
read_file(const char *path)
{
	static char text[4096];
	FILE *f = fopen(path, "r");
	size_t n = f != NULL ? fread(text, 1, sizeof text - 1, f) : 0;

	if (f != NULL)
		fclose(f);
	text[n] = '\0';
	return text;
}

/* File descriptor 2 onto a file, and back. */
static int saved_stderr = -1;

static void
stderr_to(const char *path)
{
	int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);

	fflush(stderr);
	saved_stderr = dup(2);
	if (fd < 0 || saved_stderr < 0 || dup2(fd, 2) < 0) {
		perror(path);
		exit(2);
	}
	close(fd);
}

static void
stderr_back(void)
{
	fflush(stderr);
	dup2(saved_stderr, 2);
	close(saved_stderr);
}

/* A reporter that keeps each message apart. */
struct heard {
	int calls;
	char text[8][1200];
};

static void
hear(const char *text, void *arg)
{
	struct heard *h = arg;

	if (h->calls < 8)
		snprintf(h->text[h->calls], sizeof h->text[0], "%s", text);
	h->calls++;
}

/* A random source that returns the numbers it is given, in turn. */
struct numbers {
	long next;
	long step;
	int calls;
};

static long
count_up(void *arg)
{
	struct numbers *n = arg;
	long v = n->next;

	n->next += n->step;
	n->calls++;
	return v;
}

/*
 * The reporter: each message the library would write to standard error
 * arrives as one call with the same bytes, and nothing reaches fd 2 while a
 * reporter is set; NULL sends messages back to standard error.
 */
static void
reporter_section(void)
{
	static const struct {
		const char *name;
		int debug;
		const char *path;
		const char *expected[3];
	} cases[] = {
		{"a missing path", 0, "/nonexistent", {"stat /nonexistent: No such file or directory\n"}},
		{"a FIFO, without a line end", 0, "fifo", {"not a directory or regular file: fifo"}},
		{"debug: a tagfile", 1, "three", {"Adding three\n"}},
		{"debug: the same tagfile again", 1, "three", {"Won't add duplicate file: three\n"}},
		{"no debug: the same tagfile again", 0, "three", {NULL}},
		{"debug: a directory and its tagfile, one call each", 1, "dir",
		 {"Recursing into dir\n", "Adding dir/one\n"}},
	};
	struct heard h;

	mkfifo("fifo", 0644);
	mkdir("dir", 0755);
	write_file("dir/one", "one\n");
	stderr_to("stderr.txt");
	tagdb_set_reporter(hear, &h);
	tagdb_init();
	for (size_t c = 0; c < sizeof cases / sizeof cases[0]; c++) {
		int want = 0;

		memset(&h, 0, sizeof h);
		tagdb.debug = cases[c].debug;
		tagdb_add(cases[c].path);
		while (want < 3 && cases[c].expected[want] != NULL)
			want++;
		if (h.calls != want)
			fail("reporter, %s: %d calls, not %d (first: \"%s\")", cases[c].name, h.calls,
			    want, h.calls > 0 ? h.text[0] : "");
		for (int i = 0; i < want && i < h.calls; i++)
			if (strcmp(h.text[i], cases[c].expected[i]) != 0)
				fail("reporter, %s: heard \"%s\", not \"%s\"", cases[c].name, h.text[i],
				    cases[c].expected[i]);
	}
	tagdb.debug = 0;
	if (read_file("stderr.txt")[0] != '\0')
		fail("reporter: while set, fd 2 got \"%s\"", read_file("stderr.txt"));

	memset(&h, 0, sizeof h);
	tagdb_set_reporter(NULL, NULL);
	tagdb_add("/nonexistent");
	stderr_back();
	if (h.calls != 0)
		fail("reporter: still called after tagdb_set_reporter(NULL)");
	if (strcmp(read_file("stderr.txt"), "stat /nonexistent: No such file or directory\n") != 0)
		fail("reporter: after NULL, standard error got \"%s\"", read_file("stderr.txt"));
	tagdb_close_all();
}

/*
 * The random source: draws take fn's numbers, the host's own random()
 * sequence is untouched (tagdb_init seeds nothing, no draw calls random()),
 * and NULL restores random().
 */
static void
random_section(void)
{
	static const struct {
		long k;
		const char *line;
	} cases[] = {{0, "alpha"}, {1, "bravo"}, {2, "charlie"}, {4, "bravo"}, {3000000, "alpha"}};
	long expected[4], picks[8];
	struct numbers fixed = {0, 0, 0};

	srandom(42);
	for (int i = 0; i < 4; i++)
		expected[i] = random();
	srandom(42);
	tagdb_set_random(count_up, &fixed);
	tagdb_init();
	tagdb_add("three");
	for (size_t c = 0; c < sizeof cases / sizeof cases[0]; c++) {
		const char *tag;

		fixed.next = cases[c].k;
		fixed.calls = 0;
		tag = tagdb_get_tag(0);
		if (tag == NULL || strcmp(tag, cases[c].line) != 0 || fixed.calls != 1)
			fail("random: a source returning %ld drew \"%s\" in %d calls, not \"%s\" in 1",
			    cases[c].k, tag != NULL ? tag : "(null)", fixed.calls, cases[c].line);
	}
	tagdb_close_all();
	tagdb_init();
	tagdb_add("three");
	for (int i = 0; i < 4; i++)
		if (random() != expected[i])
			fail("random: random() after srandom(42) is not the host's own sequence at %d",
			    i);

	/* Back on random(): each draw takes the next number of its sequence. */
	tagdb_set_random(NULL, NULL);
	fixed.calls = 0;
	srandom(7);
	for (int i = 0; i < 8; i++)
		picks[i] = random() % 3;
	srandom(7);
	for (int i = 0; i < 8; i++) {
		const char *tag = tagdb_get_tag(0);

		if (tag == NULL || strcmp(tag, lines[picks[i]]) != 0)
			fail("random: after NULL, draw %d was \"%s\", not \"%s\" of random()", i,
			    tag != NULL ? tag : "(null)", lines[picks[i]]);
	}
	if (fixed.calls != 0)
		fail("random: the source was called after tagdb_set_random(NULL)");
	tagdb_close_all();
}

/* Writes each message to the file descriptor at arg. */
static void
write_to(const char *text, void *arg)
{
	ssize_t n = write(*(int *)arg, text, strlen(text));

	(void)n;
}

/* Lets the process have `more` bytes of address space beyond what it has. */
static int
limit_address_space(long more)
{
	long pages = 0;
	FILE *statm = fopen("/proc/self/statm", "r");
	struct rlimit limit;

	if (statm == NULL || fscanf(statm, "%ld", &pages) != 1)
		return -1;
	fclose(statm);
	getrlimit(RLIMIT_AS, &limit);
	limit.rlim_cur = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + (rlim_t)more;
	return setrlimit(RLIMIT_AS, &limit);
}

struct shortage_case {
	const char *name;
	int set, on; /* set: tagdb_set_exit_on_shortage(on) */
	int reporter;
	int exits;   /* the process ends with status 1 */
	int escapes; /* the reporter leaves by longjmp */
};

/* A reporter that writes the message, then leaves by longjmp. */
static jmp_buf escape;
static int escape_fd = -1;

static void
write_and_escape(const char *text, void *arg)
{
	(void)arg;
	write_to(text, &escape_fd);
	longjmp(escape, 1);
}

static void *
count_in_thread(void *arg)
{
	*(int *)arg = tagdb_count_chunks();
	return NULL;
}

/* The child of one case: 0 when every check held; the library's exit 1. */
static void
shortage_child(const struct shortage_case *c)
{
	int reported = open("reported.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
	struct numbers in_turn = {0, 1, 0};
	int added, err;

	stderr_to("stderr.txt");
	escape_fd = reported;
	if (c->reporter)
		tagdb_set_reporter(c->escapes ? write_and_escape : write_to, &reported);
	if (c->set)
		tagdb_set_exit_on_shortage(c->on);
	tagdb_set_random(count_up, &in_turn);
	tagdb_init();
	if (tagdb_add("three") != 1)
		fail("shortage, %s: three not added", c->name);
	/* Eight million empty lines want 128 MB of index; 32 MiB is there. */
	if (limit_address_space(32L << 20) != 0)
		fail("shortage, %s: cannot limit the address space", c->name);
	if (c->escapes) {
		int in_thread = -2;
		pthread_t t;

		if (setjmp(escape) == 0) {
			tagdb_add("huge");
			fail("shortage, %s: the reporter did not hear of it", c->name);
		}
		/* The process goes on, and the library is usable from this thread
		 * and from another, as with the exit turned off. */
		alarm(10);
		errno = 0;
		if (tagdb_count_chunks() != 3)
			fail("shortage, %s: after the escape, this thread counts %d chunks (errno %d)",
			    c->name, tagdb_count_chunks(), errno);
		pthread_attr_t small; /* the address space is short: a small stack */

		pthread_attr_init(&small);
		pthread_attr_setstacksize(&small, 1 << 16);
		if (pthread_create(&t, &small, count_in_thread, &in_thread) != 0 ||
		    pthread_join(t, NULL) != 0 || in_thread != 3)
			fail("shortage, %s: after the escape, another thread counts %d chunks", c->name,
			    in_thread);
		if (open_count("huge") != 0)
			fail("shortage, %s: the tagfile that could not be indexed is open", c->name);
		_exit(failures != 0 ? 4 : 0);
	}
	errno = 0;
	added = tagdb_add("huge");
	err = errno;
	if (c->exits) {
		fail("shortage, %s: tagdb_add returned %d, the process went on", c->name, added);
		_exit(3);
	}
	if (added != -1 || err != ENOMEM)
		fail("shortage, %s: tagdb_add returned %d with errno %d, not -1 with ENOMEM", c->name,
		    added, err);
	if (open_count("huge") != 0)
		fail("shortage, %s: the tagfile that could not be indexed is open", c->name);
	if (open_count("three") != 1 || tagdb.ntags != 3)
		fail("shortage, %s: what was there before is not: %d chunks, three open %d times",
		    c->name, tagdb.ntags, open_count("three"));
	for (int i = 0; i < 3; i++) {
		const char *tag;

		in_turn.next = i;
		tag = tagdb_get_tag(0);
		if (tag == NULL || strcmp(tag, lines[i]) != 0)
			fail("shortage, %s: line %d drew \"%s\"", c->name, i, tag != NULL ? tag : "(null)");
	}
	_exit(failures != 0 ? 4 : 0);
}

/*
 * A table that cannot grow: by default it is reported and the process exits
 * 1, as pelnik does; with the exit off, tagdb_add returns -1 with ENOMEM,
 * the shortage is reported, the file it could not index is left out and the
 * rest stays as it was.  Reported through the reporter when one is set, and
 * then on nothing else.
 */
static int
shortage_section(void)
{
	static const struct shortage_case cases[] = {
		{"by default", 0, 1, 0, 1, 0},
		{"on, with a reporter", 1, 1, 1, 1, 0},
		{"off", 1, 0, 0, 0, 0},
		{"off, with a reporter", 1, 0, 1, 0, 0},
		{"on, with a reporter that leaves by longjmp", 1, 1, 1, 0, 1},
	};
	char message[128];

	/* The running C library's words for ENOMEM: glibc's and musl's differ. */
	snprintf(message, sizeof message, "realloc tagindex: %s\n", strerror(ENOMEM));
#ifdef PELNIK_CHECKED_BUILD
	puts("skipped: lowers the address-space limit, which " PELNIK_CHECKED_BUILD
	     " cannot run under");
	return 77;
#endif
	if (access("/proc/self/statm", R_OK) != 0) {
		puts("skipped: reads the size of the process from /proc/self/statm, which is missing");
		return 77;
	}
	write_lines("huge", "\n", 8000000);
	for (size_t c = 0; c < sizeof cases / sizeof cases[0]; c++) {
		int status = 0;
		pid_t child;
		const char *where, *elsewhere;

		fflush(NULL);
		child = fork();
		if (child == 0)
			shortage_child(&cases[c]);
		if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
			fail("shortage, %s: the process did not exit (status %d)", cases[c].name, status);
			continue;
		}
		if (WEXITSTATUS(status) != (cases[c].exits ? 1 : 0))
			fail("shortage, %s: exit status %d, not %d", cases[c].name, WEXITSTATUS(status),
			    cases[c].exits ? 1 : 0);
		where = cases[c].reporter ? "reported.txt" : "stderr.txt";
		elsewhere = cases[c].reporter ? "stderr.txt" : "reported.txt";
		if (strcmp(read_file(where), message) != 0)
			fail("shortage, %s: %s has \"%s\"", cases[c].name, where, read_file(where));
		if (read_file(elsewhere)[0] != '\0')
			fail("shortage, %s: %s has \"%s\"", cases[c].name, elsewhere,
			    read_file(elsewhere));
	}
	return 0;
}

/* A host thread that adds a tagfile, then meets a cancellation point. */
struct adder {
	const char *path;
	sem_t entered, cancel_sent;
	int messages;
	int returned, after_call, not_cancelled;
};

/* At the first message the hook hears, the cancellation is sent; the wait
 * for it is a cancellation point.  The hook runs after the operation's work,
 * with the caller's cancel state, so the thread is cancelled there. */
static void
wait_for_cancel(const char *text, void *arg)
{
	struct adder *a = arg;

	(void)text;
	if (a->messages++ == 0) {
		sem_post(&a->entered);
		while (sem_wait(&a->cancel_sent) != 0)
			;
		/* The cancel was sent before the post: sem_wait may act on it, or
		 * (musl, when the post comes first) return and leave it pending,
		 * as POSIX allows.  Here it acts, in the hook, either way. */
		pthread_testcancel();
	}
}

static void *
add_in_thread(void *arg)
{
	struct adder *a = arg;

	a->returned = tagdb_add(a->path);
	a->after_call = 1;
	pthread_testcancel();
	a->not_cancelled = 1;
	return NULL;
}

static int
tasks(void)
{
	DIR *dir = opendir("/proc/self/task");
	struct dirent *entry;
	int n = 0;

	if (dir == NULL)
		return -1;
	while ((entry = readdir(dir)) != NULL)
		if (entry->d_name[0] != '.')
			n++;
	closedir(dir);
	return n;
}

/* Read the pipe until `text` has come through it. */
static int
heard_on(int fd, const char *text)
{
	char got[4096];
	size_t have = 0;

	while (have < sizeof got - 1) {
		ssize_t n = read(fd, got + have, sizeof got - 1 - have);
		if (n <= 0)
			return 0;
		have += (size_t)n;
		got[have] = '\0';
		if (strstr(got, text) != NULL)
			return 1;
	}
	return 0;
}

/* The database after a cancelled add of `count` lines: whole, with no
 * indexer thread left. */
static void
check_whole(const char *how, long count, int before)
{
	int n = -1;

	if (tagdb.ntags != count || open_count("big") != 1)
		fail("cancel %s: %d chunks of %ld lines indexed, big open %d times", how, tagdb.ntags,
		    count, open_count("big"));
	/* A thread ends a moment after its join; an indexer left running does not. */
	for (int tries = 0; tries < 200 && (n = tasks()) > before; tries++)
		nanosleep(&(struct timespec){0, 10000000}, NULL);
	if (n > before)
		fail("cancel %s: %d threads left in the process, %d before", how, n, before);
	if (tagdb_add("big") != 0 || tagdb.ntags != count)
		fail("cancel %s: big added again, %d chunks", how, tagdb.ntags);
}

/*
 * A host thread cancelled (deferred) inside tagdb_add of a tagfile large
 * enough for the parallel indexer is cancelled only after the work is done:
 * the file is indexed whole, and no indexer thread is left.  Sent while the
 * add works (it has written its first debug message to standard error), the
 * cancellation acts once the call has returned; sent from the host's hook,
 * which runs after the work with the caller's cancel state, it acts there.
 */
static int
cancel_section(void)
{
	const char *line = "a tagline of thirty-two bytes..\n";
	const long count = (24L << 20) / 32;
	struct numbers last = {count - 1, 0, 0};
	pthread_t thread;
	void *result = NULL;
	const char *tag;
	int err_pipe[2];
	/* Under an emulator the process has threads of the emulator's own. */
	const int before = tasks();

	write_lines("big", line, count);

	/* While the add works. */
	struct adder a = {"big", {{0}}, {{0}}, 0, 0, 0, 0};
	if (pipe(err_pipe) != 0) {
		fail("cancel: no pipe");
		return 0;
	}
	fflush(stderr);
	saved_stderr = dup(2);
	dup2(err_pipe[1], 2);
	close(err_pipe[1]);
	tagdb_init();
	tagdb.debug = 1;
	if (pthread_create(&thread, NULL, add_in_thread, &a) != 0) {
		fail("cancel: no thread");
		return 0;
	}
	if (!heard_on(err_pipe[0], "Adding big"))
		fail("cancel: the add said nothing");
	pthread_cancel(thread);
	pthread_join(thread, &result);
	tagdb.debug = 0;
	stderr_back();
	close(err_pipe[0]);
	if (result != PTHREAD_CANCELED || a.not_cancelled)
		fail("cancel: the thread was not cancelled");
	if (!a.after_call || a.returned != 1)
		fail("cancel: cancelled inside tagdb_add (returned: %s, %d)", a.after_call ? "yes" : "no",
		    a.returned);
	check_whole("while adding", count, before);

	/* From the hook.  AddressSanitizer cannot follow this one: the frames a
	 * cancellation unwinds keep their poisoned redzones, which it then
	 * reports, falsely, as the thread ends. */
#ifdef PELNIK_CHECKED_BUILD
	if (strcmp(PELNIK_CHECKED_BUILD, "sanitizers") == 0) {
		puts("cancel: the cancellation in the hook is left out: " PELNIK_CHECKED_BUILD
		     " report the frames it unwinds when the thread ends");
		tagdb_close_all();
		return 0;
	}
#endif
	struct adder h = {"big", {{0}}, {{0}}, 0, 0, 0, 0};
	sem_init(&h.entered, 0, 0);
	sem_init(&h.cancel_sent, 0, 0);
	tagdb_init();
	tagdb_set_reporter(wait_for_cancel, &h);
	tagdb.debug = 1;
	if (pthread_create(&thread, NULL, add_in_thread, &h) != 0) {
		fail("cancel: no thread");
		return 0;
	}
	while (sem_wait(&h.entered) != 0)
		;
	pthread_cancel(thread);
	sem_post(&h.cancel_sent);
	pthread_join(thread, &result);
	tagdb.debug = 0;
	tagdb_set_reporter(NULL, NULL);
	if (result != PTHREAD_CANCELED || h.after_call)
		fail("cancel: not cancelled in the hook (returned: %s)", h.after_call ? "yes" : "no");
	check_whole("in the hook", count, before);

	tagdb_set_random(count_up, &last);
	tag = tagdb_get_tag(0);
	if (tag == NULL || strncmp(tag, line, 31) != 0 || tag[31] != '\0')
		fail("cancel: the last line drew \"%s\"", tag != NULL ? tag : "(null)");
	tagdb_close_all();
	return 0;
}

static int
count_lines(const char *path)
{
	FILE *f = fopen(path, "r");
	int lines = 0, c;

	while (f != NULL && (c = getc(f)) != EOF)
		lines += c == '\n';
	if (f != NULL)
		fclose(f);
	return lines;
}

/* Every counted chunk names an open tagfile's stream, each open tagfile
 * that is still the file it was holds one chunk per line of it, no file is
 * held twice, and draws give lines of `known`. */
static void
check_tables(const char *how, const char *const *known, int nknown)
{
	for (int k = 0; k < tagdb.ntags; k++) {
		int found = 0;

		for (int i = 0; i < tagdb.nfiles && !found; i++)
			found = tagdb.filelist[i].file != NULL &&
			    tagdb.filelist[i].file == tagdb.tagindex[k].file;
		if (!found) {
			fail("%s: chunk %d names no open tagfile", how, k);
			return;
		}
	}
	for (int i = 0; i < tagdb.nfiles; i++) {
		const tagsource *s = &tagdb.filelist[i];
		struct stat st;
		int chunks = 0, lines = 0;

		if (s->file == NULL && s->dir == NULL)
			continue;
		for (int j = 0; j < i; j++)
			if ((tagdb.filelist[j].file != NULL || tagdb.filelist[j].dir != NULL) &&
			    tagdb.filelist[j].dev == s->dev && tagdb.filelist[j].ino == s->ino)
				fail("%s: %s and %s hold one file", how, tagdb.filelist[j].path, s->path);
		if (s->file == NULL || stat(s->path, &st) != 0 || (uint64_t)st.st_dev != s->dev ||
		    (uint64_t)st.st_ino != s->ino)
			continue;
		for (int k = 0; k < tagdb.ntags; k++)
			chunks += tagdb.tagindex[k].file == s->file;
		lines = count_lines(s->path);
		if (chunks != lines)
			fail("%s: %s holds %d chunks of its %d lines", how, s->path, chunks, lines);
	}
	for (int d = 0; d < 50 && tagdb.ntags > 0; d++) {
		const char *tag = tagdb_get_tag(0);
		int ok = 0;

		for (int k = 0; tag != NULL && k < nknown && !ok; k++)
			ok = strcmp(tag, known[k]) == 0;
		if (!ok) {
			fail("%s: drew \"%s\"", how, tag != NULL ? tag : "(null)");
			return;
		}
	}
}

enum action { CLOSE_ALL, CHECKPOINT, CLOSE_SOURCE, CLOSE_COMPACT, ADD, REFRESHING_DRAW };
static const char *const action_names[] = {"close_all", "checkpoint", "close_source",
    "close_source + compact", "add", "a refreshing draw"};

static int acting = -1; /* the action the reporter takes, once */

static void
act(const char *text, void *arg)
{
	int a = acting;

	(void)text;
	(void)arg;
	acting = -1;
	switch (a) {
	case CLOSE_ALL: tagdb_close_all(); break;
	case CHECKPOINT: tagdb_checkpoint(); break;
	case CLOSE_SOURCE: tagdb_close_source(0); break;
	case CLOSE_COMPACT: tagdb_close_source(0); tagdb_compact(); break;
	case ADD: tagdb_add("extra"); break;
	case REFRESHING_DRAW: tagdb_get_tag(1); break;
	}
}

enum situation { STAT_ADD, STAT_CHECKPOINT, STAT_DRAW, REPLACED_CHECKPOINT, REPLACED_DRAW,
    SHORT_ADD, SHORT_CHECKPOINT, SHORT_DRAW };
static const char *const situation_names[] = {"a stat error during an add",
    "a stat error during a checkpoint", "a stat error during a refreshing draw",
    "\"replaced by\" during a checkpoint", "\"replaced by\" during a refreshing draw",
    "a shortage during an add", "a shortage during a checkpoint",
    "a shortage during a refreshing draw"};

/* One row, in a child of its own: a reporter that calls the library back,
 * on the first message of one situation. */
static void
reenter_child(enum situation s, enum action a, const char *how)
{
	static const char *const known[] = {"alpha", "bravo", "charlie", "delta", "echo"};
	int shortage = s >= SHORT_ADD;

	mkdir("d", 0755);
	write_file("d/one", "alpha\nbravo\n");
	write_file("d/two", "charlie\n");
	write_file("extra", "delta\n");
	write_file("grow", "echo\n");
	symlink("nowhere", "d/.later");
	stderr_to("stderr.txt");
	tagdb_set_exit_on_shortage(0);
	tagdb_init();
	tagdb_add("d");
	if (s == SHORT_CHECKPOINT || s == SHORT_DRAW)
		tagdb_add("grow");
	if (s == STAT_CHECKPOINT || s == STAT_DRAW)
		rename("d/.later", "d/dangling");
	if (s == REPLACED_CHECKPOINT || s == REPLACED_DRAW) {
		unlink("d/two");
		mkfifo("d/two", 0644);
	}
	if (s == SHORT_CHECKPOINT || s == SHORT_DRAW)
		write_lines("grow", "\n", 8000000);
	if (shortage && limit_address_space(32L << 20) != 0) {
		fail("%s: cannot limit the address space", how);
		_exit(1);
	}
	tagdb_set_reporter(act, NULL);
	acting = (int)a;
	switch (s) {
	case STAT_ADD: tagdb_add("missing"); break;
	case SHORT_ADD: tagdb_add("huge"); break;
	case STAT_CHECKPOINT: case REPLACED_CHECKPOINT: case SHORT_CHECKPOINT:
		tagdb_checkpoint(); break;
	case STAT_DRAW: case REPLACED_DRAW: case SHORT_DRAW: tagdb_get_tag(1); break;
	}
	if (shortage) {
		struct rlimit limit;
		getrlimit(RLIMIT_AS, &limit);
		limit.rlim_cur = limit.rlim_max;
		setrlimit(RLIMIT_AS, &limit);
	}
	if (acting != -1)
		fail("%s: the reporter heard nothing", how);
	tagdb_set_reporter(NULL, NULL);
	if (tagdb.filelist == NULL) { /* closed by the reporter: set up again */
		tagdb_init();
		tagdb_add("d");
	}
	check_tables(how, known, 5);
	tagdb_close_all();
	_exit(failures != 0 ? 1 : 0);
}

/*
 * A reporter may call any operation: each action, taken on the first message
 * of each situation, leaves whole tables, and every later draw a line.
 */
static int
reenter_section(void)
{
	int shortages = 1;

#ifdef PELNIK_CHECKED_BUILD
	puts("reenter: the shortage rows are left out: they lower the address-space limit, which "
	     PELNIK_CHECKED_BUILD " cannot run under");
	shortages = 0;
#endif
	if (access("/proc/self/statm", R_OK) != 0)
		shortages = 0;
	write_lines("huge", "\n", 8000000);
	for (int s = STAT_ADD; s <= SHORT_DRAW; s++) {
		if (s >= SHORT_ADD && !shortages)
			continue;
		for (int a = CLOSE_ALL; a <= REFRESHING_DRAW; a++) {
			char how[200];
			int status = 0;
			pid_t child;

			snprintf(how, sizeof how, "reenter, %s on %s", action_names[a], situation_names[s]);
			mkdir("row", 0755);
			fflush(NULL);
			child = fork();
			if (child == 0) {
				if (chdir("row") != 0 || symlink("../huge", "huge") != 0)
					_exit(2);
				reenter_child((enum situation)s, (enum action)a, how);
			}
			if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
			    WEXITSTATUS(status) != 0)
				fail("%s: the row failed (status %d)", how, status);
			if (system("rm -rf row") != 0)
				fail("%s: row not removed", how);
		}
	}
	return 0;
}

/* What a message handler hears. */
struct message_log {
	int calls;
	tagdb_message first;
	char path[1100], text[1200];
};

static void
log_message(const tagdb_message *m, void *arg)
{
	struct message_log *log = arg;

	if (log->calls++ == 0) {
		log->first = *m;
		snprintf(log->path, sizeof log->path, "%s", m->path != NULL ? m->path : "(null)");
		snprintf(log->text, sizeof log->text, "%s", m->text);
	}
}

/* A random source that calls back into the library in the middle of a draw. */
static int refused_calls;

static long
close_all_inside(void *arg)
{
	(void)arg;
	errno = 0;
	if (tagdb_close_all() == -1 && errno == EBUSY)
		refused_calls++;
	return 1;
}

/*
 * Messages a host can act on: each one's kind, path and errno beside the
 * exact text; errno and the host's own getpwuid result left alone; the
 * version at run time; a random source's call back refused.
 */
static int
messages_section(void)
{
	static const struct {
		const char *name;
		int debug;
		const char *path;
		int kind, err;
		const char *about, *text;
	} cases[] = {
		{"a missing path", 0, "missing", TAGDB_MESSAGE_ERROR, ENOENT, "missing",
		 "stat missing: No such file or directory\n"},
		{"a FIFO", 0, "fifo", TAGDB_MESSAGE_ERROR, 0, "fifo", "not a directory or regular file: fifo"},
		{"debug: a tagfile", 1, "three", TAGDB_MESSAGE_DEBUG, 0, "(null)", "Adding three\n"},
	};
	struct message_log log;
	const char *tag;
	char version[32];

	mkfifo("fifo", 0644);
	tagdb_set_message_handler(log_message, &log);
	tagdb_init();
	for (size_t c = 0; c < sizeof cases / sizeof cases[0]; c++) {
		memset(&log, 0, sizeof log);
		tagdb.debug = cases[c].debug;
		tagdb_add(cases[c].path);
		tagdb.debug = 0;
		if (log.calls != 1 || log.first.kind != cases[c].kind || log.first.err != cases[c].err ||
		    strcmp(log.path, cases[c].about) != 0 || strcmp(log.text, cases[c].text) != 0)
			fail("messages, %s: %d calls, first kind %d, errno %d, path \"%s\", \"%s\"",
			    cases[c].name, log.calls, log.first.kind, log.first.err, log.path, log.text);
	}

	/* A tagfile that became a FIFO: the checkpoint names it. */
	mkdir("d", 0755);
	write_file("d/one", "alpha\n");
	tagdb_add("d");
	unlink("d/one");
	mkfifo("d/one", 0644);
	memset(&log, 0, sizeof log);
	tagdb_checkpoint();
	if (log.calls != 1 || log.first.kind != TAGDB_MESSAGE_ERROR || strcmp(log.path, "d/one") != 0 ||
	    strcmp(log.text, "tagfile replaced by a FIFO: d/one\n") != 0)
		fail("messages, a tagfile replaced: %d calls, path \"%s\", \"%s\"", log.calls, log.path,
		    log.text);
	tagdb_set_message_handler(NULL, NULL);

	/* errno as the host left it, after a walk that succeeds. */
	mkdir("w", 0755);
	write_file("w/one", "bravo\n");
	errno = EDOM;
	if (tagdb_add("w") != 1 || errno != EDOM)
		fail("messages: errno %d after a walk, not EDOM", errno);

	snprintf(version, sizeof version, "%d.%d.%d", TAGDB_VERSION_MAJOR, TAGDB_VERSION_MINOR,
	    TAGDB_VERSION_PATCH);
	if (strcmp(tagdb_version(), version) != 0)
		fail("messages: tagdb_version() says %s, the header %s", tagdb_version(), version);

	/* A random source that calls tagdb_close_all mid-draw is refused. */
	tagdb_set_random(close_all_inside, NULL);
	tag = tagdb_get_tag(0);
	tagdb_set_random(NULL, NULL);
	if (refused_calls != 1 || tag == NULL || tagdb.filelist == NULL)
		fail("messages: a random source's close_all: %d refused, drew %s", refused_calls,
		    tag != NULL ? tag : "(null)");
	tagdb_close_all();
	return 0;
}

static int
reporter_run(void)
{
	reporter_section();
	return 0;
}

static int
random_run(void)
{
	random_section();
	return 0;
}

/*
 * A signal handler that calls the library: on a thread inside an operation
 * the call is refused (EBUSY), never run in the middle of it; between
 * operations it runs as any call does.  The handler closes everything, so
 * a call run inside an add would pull the tables from under it.
 */
static volatile sig_atomic_t refused_in_handler, run_in_handler, wrong_in_handler;

static void
on_alarm(int sig)
{
	int saved = errno, got;

	(void)sig;
	errno = 0;
	got = tagdb_close_all();
	if (got == -1 && errno == EBUSY)
		refused_in_handler++;
	else if (got == 0 && errno == 0)
		run_in_handler++;
	else
		wrong_in_handler++;
	errno = saved;
}

static int
signal_section(void)
{
	struct sigaction sa, old;
	struct itimerval often = {{0, 100}, {0, 100}}, off = {{0, 0}, {0, 0}};
	int opened;

	write_many(200);
	memset(&sa, 0, sizeof sa);
	sa.sa_handler = on_alarm;
	sa.sa_flags = SA_RESTART;
	sigemptyset(&sa.sa_mask);
	sigaction(SIGALRM, &sa, &old);
	setitimer(ITIMER_REAL, &often, NULL);
	for (int round = 0; round < 5000 && refused_in_handler < 100; round++) {
		tagdb_init();
		tagdb_add("many");
		tagdb_get_tag(0);
	}
	setitimer(ITIMER_REAL, &off, NULL);
	/* A signal still on its way (valgrind delivers late) is let go. */
	signal(SIGALRM, SIG_IGN);
	(void)old;
	if (refused_in_handler == 0)
		fail("signal: no signal came while an operation was under way");
	if (wrong_in_handler != 0)
		fail("signal: %d calls from the handler neither ran nor were refused with EBUSY",
		     (int)wrong_in_handler);
	/* And the database is whole afterwards. */
	tagdb_init();
	if ((opened = tagdb_add("many")) != 200 || tagdb_count_chunks() != 200 * 200)
		fail("signal: afterwards, an add opened %d tagfiles with %d chunks", opened,
		     tagdb_count_chunks());
	tagdb_close_all();
	return 0;
}

/*
 * A fork while another thread is inside the library: the child's first
 * call works, whatever that thread was doing.  Forty children, each while
 * a thread of the parent adds and closes in a loop; each child calls
 * tagdb_close_all first, then adds and draws.
 */
static volatile int keep_adding = 1;

static void
sleep_us(long us)
{
	struct timespec t = {us / 1000000, us % 1000000 * 1000};

	while (nanosleep(&t, &t) != 0 && errno == EINTR)
		;
}

static void *
add_and_close(void *arg)
{
	(void)arg;
	while (keep_adding) {
		tagdb_init();
		tagdb_add("many");
		tagdb_close_all();
		sleep_us(50); /* the mutex is not fair: let the forking thread in */
	}
	return NULL;
}

static int
fork_section(void)
{
	pthread_t adder;
	int hung = 0, broken = 0;

	write_many(100);
	if (pthread_create(&adder, NULL, add_and_close, NULL) != 0) {
		fail("fork: no thread");
		return 0;
	}
	for (int k = 0; k < 40; k++) {
		int status = 0;
		pid_t child;

		sleep_us(1000 + 500 * (k % 7));
		child = fork();
		if (child == 0) {
			alarm(5);
			tagdb_close_all();
			tagdb_init();
			_exit(tagdb_add("three") == 1 && tagdb_get_tag(0) != NULL ? 0 : 1);
		}
		if (child < 0 || waitpid(child, &status, 0) != child)
			broken++;
		else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
			hung++;
		else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
			broken++;
		if (hung != 0 || broken != 0)
			break; /* one is enough: each that hangs waits for its alarm */
	}
	keep_adding = 0;
	pthread_join(adder, NULL);
	if (hung != 0 || broken != 0)
		fail("fork: a child %s", hung != 0 ? "hung on its first call" : "failed");
	return 0;
}

/*
 * A thread whose cancel type is asynchronous, cancelled at any moment while
 * it adds (with a reporter set, so that messages are handed over too):
 * whatever it was doing, the lock is free afterwards.
 */
static void
say_nothing(const char *text, void *arg)
{
	(void)text;
	(void)arg;
}

static void *
add_until_cancelled(void *arg)
{
	int old;

	(void)arg;
	pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &old);
	for (int k = 0;; k++) {
		tagdb_add("missing"); /* a message to hand over */
		if (k % 64 == 0) {
			tagdb_add("many");
			tagdb_close_all();
		}
	}
	return NULL;
}

static int
async_cancel_section(void)
{
	write_many(50);
	tagdb_set_reporter(say_nothing, NULL);
#ifdef PELNIK_CHECKED_BUILD
	const int trials = 60; /* each is slow there; the sanitizers' build is the same code */
#else
	const int trials = 600;
#endif
	for (int trial = 0; trial < trials; trial++) {
		pthread_t t;
		pid_t child;
		int status = 0;

		/* In a child of its own, so that a lock left held shows as a
		 * hang the alarm ends, not as a wedged test. */
		fflush(NULL);
		child = fork();
		if (child == 0) {
			alarm(10);
			if (pthread_create(&t, NULL, add_until_cancelled, NULL) != 0)
				_exit(2);
			sleep_us(100 + (trial * 37) % 900);
			pthread_cancel(t);
			pthread_join(t, NULL);
			tagdb_init();
			_exit(tagdb_add("three") == 1 && tagdb_count_chunks() == 3 ? 0 : 1);
		}
		if (child < 0 || waitpid(child, &status, 0) != child) {
			fail("async cancel: trial %d not run", trial);
			break;
		}
		if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
			fail("async cancel: trial %d: the library's lock was left held", trial);
			break;
		}
		if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
			fail("async cancel: trial %d ended with status %d", trial, status);
			break;
		}
	}
	tagdb_set_reporter(NULL, NULL);
	return 0;
}

/*
 * Delivery: a reporter that calls the library back for each of a thousand
 * messages of one operation hears them all, in order, each from the same
 * depth of the stack (one hand-over, never nested); and a message of any
 * length reaches the reporter with every byte standard error would get.
 */
struct flat {
	int calls, walk_names, repeats;
	unsigned char seen[1000];
	uintptr_t lowest, highest;
};

static void
hear_and_call_back(const char *text, void *arg)
{
	static const char prefix[] = "not a directory or regular file: fifos/";
	struct flat *f = arg;
	char here;
	uintptr_t at = (uintptr_t)&here;
	int k;

	f->calls++;
	if (strncmp(text, prefix, sizeof prefix - 1) == 0 &&
	    sscanf(text + sizeof prefix - 1, "%d", &k) == 1 && k >= 0 && k < 1000) {
		if (f->calls <= 1000 && !f->seen[k]) {
			f->seen[k] = 1;
			f->walk_names++;
		} else if (f->calls > 1000 && k == 0) {
			f->repeats++;
		}
	}
	if (f->lowest == 0 || at < f->lowest)
		f->lowest = at;
	if (at > f->highest)
		f->highest = at;
	tagdb_count_chunks(); /* says nothing */
	if (f->calls <= 1000)
		tagdb_add("fifos/0000"); /* says one more, handed over after the walk's */
}

struct whole {
	int calls;
	size_t len;
	char text[8192];
};

static void
hear_whole(const char *text, void *arg)
{
	struct whole *w = arg;

	w->calls++;
	w->len = strlen(text);
	snprintf(w->text, sizeof w->text, "%s", text);
}

static void *
flat_in_small_stack(void *arg)
{
	struct flat *f = arg;

	tagdb_set_reporter(hear_and_call_back, f);
	tagdb_add("fifos");
	tagdb_set_reporter(NULL, NULL);
	return NULL;
}

static int
delivery_section(void)
{
	struct flat f;
	struct whole w = {0, 0, ""};
	char path[5001], expected[5200], name[64];
	pthread_attr_t attr;
	pthread_t t;

	memset(&f, 0, sizeof f);
	if (mkdir("fifos", 0700) != 0)
		return 2;
	for (int k = 0; k < 1000; k++) {
		snprintf(name, sizeof name, "fifos/%04d", k);
		if (mkfifo(name, 0600) != 0) {
			perror(name);
			return 2;
		}
	}
	tagdb_init();
	/* A thread with a stack of 1 MiB, which a nested hand-over of a
	 * thousand messages would overrun. */
	pthread_attr_init(&attr);
	pthread_attr_setstacksize(&attr, 1 << 20);
	if (pthread_create(&t, &attr, flat_in_small_stack, &f) != 0) {
		fail("delivery: no thread");
		return 0;
	}
	pthread_join(t, NULL);
	/* The walk's thousand messages first, each once; then the one that
	 * each of their call backs said, in the same hand-over. */
	if (f.calls != 2000 || f.walk_names != 1000 || f.repeats != 1000)
		fail("delivery: %d messages heard: %d of the walk's thousand first, %d repeats after",
		    f.calls, f.walk_names, f.repeats);
	if (f.highest - f.lowest > 4096)
		fail("delivery: the reporter was called from %lu bytes of stack apart: nested",
		    (unsigned long)(f.highest - f.lowest));

	/* Past 1024 messages, one operation's are counted, not kept: the
	 * last one says how many were left out. */
	{
		struct whole last = {0, 0, ""};

		if (mkdir("fifos2", 0700) != 0)
			return 2;
		for (int k = 0; k < 1100; k++) {
			snprintf(name, sizeof name, "fifos2/%04d", k);
			if (mkfifo(name, 0600) != 0)
				return 2;
		}
		tagdb_set_reporter(hear_whole, &last);
		tagdb_add("fifos2");
		tagdb_set_reporter(NULL, NULL);
		if (last.calls != 1025 || strcmp(last.text, "tagdb: 76 more messages were left out\n") != 0)
			fail("delivery: 1100 messages came as %d calls, the last \"%s\"", last.calls,
			    last.text);
	}

	memset(path, 'x', 5000);
	path[5000] = '\0';
	snprintf(expected, sizeof expected, "stat %s: %s\n", path, strerror(ENAMETOOLONG));
	tagdb_set_reporter(hear_whole, &w);
	tagdb_add(path);
	tagdb_set_reporter(NULL, NULL);
	if (w.calls != 1 || strcmp(w.text, expected) != 0)
		fail("delivery: a %zu-byte message reached the reporter as %d calls of %zu bytes",
		    strlen(expected), w.calls, w.len);
	tagdb_close_all();
	return 0;
}

/*
 * The progress hook: called during a long add with the bytes indexed so
 * far, rising; when it asks to stop, the add returns -1 with EINTR soon
 * after, the file it was reading is left out, the rest is whole, and the
 * next checkpoint finishes the add.
 */
struct progress_seen {
	int calls, rising;
	int64_t last_bytes;
	int stop_at; /* the call that asks to stop; 0: never */
	int refused;
};

static int
note_progress(int64_t bytes, int64_t entries, void *arg)
{
	struct progress_seen *p = arg;

	(void)entries;
	p->calls++;
	p->rising += bytes >= p->last_bytes;
	p->last_bytes = bytes;
	errno = 0;
	p->refused += tagdb_count_chunks() == -1 && errno == EBUSY;
	return p->stop_at != 0 && p->calls >= p->stop_at;
}

static int
progress_section(void)
{
	struct progress_seen seen = {0, 0, 0, 0, 0}, stopped = {0, 0, 0, 2, 0};
	int fd = open("sparse", O_WRONLY | O_CREAT | O_TRUNC, 0644);
	int got, err;

	/* 16 GiB of nothing: sixteen million chunks of a hole, which take a
	 * good while to index. */
	if (fd < 0 || ftruncate(fd, (off_t)16 << 30) != 0 || close(fd) != 0) {
		puts("skipped: cannot make a sparse file of 16 GiB here");
		return 77;
	}
	write_lines("big", "a line of a tagfile, long enough\n", 1 << 21);
	tagdb_init();
	tagdb_add("three");

	tagdb_set_progress(note_progress, &seen);
	if (tagdb_add("big") != 1)
		fail("progress: big not added");
	if (seen.calls > 0 && (seen.rising != seen.calls || seen.refused != seen.calls))
		fail("progress: %d calls, %d with bytes rising, %d refusing a call back", seen.calls,
		    seen.rising, seen.refused);
	tagdb_close_source(1);
	tagdb_compact();

	tagdb_set_progress(note_progress, &stopped);
	errno = 0;
	got = tagdb_add("sparse");
	err = errno;
	tagdb_set_progress(NULL, NULL);
	if (got != -1 || err != EINTR)
		fail("progress: a stopped add returned %d with errno %d, not -1 with EINTR", got, err);
	if (stopped.calls != 2)
		fail("progress: the hook was called %d times, not 2, before the add stopped",
		    stopped.calls);
	if (open_count("sparse") != 0 || open_count("three") != 1 || tagdb_count_chunks() != 3)
		fail("progress: after the stop, sparse open %d times, three %d, %d chunks",
		    open_count("sparse"), open_count("three"), tagdb_count_chunks());
	/* The call stays in the load plan: a checkpoint takes it up (without
	 * a hook, to its end). */
	if (truncate("sparse", 4096) != 0 || tagdb_checkpoint() != 0 || open_count("sparse") != 1)
		fail("progress: the next checkpoint did not finish the add");
	tagdb_close_all();
	return 0;
}

static const struct {
	const char *name;
	int (*run)(void);
} sections[] = {
	{"reporter", reporter_run},
	{"random", random_run},
	{"shortage", shortage_section},
	{"cancel", cancel_section},
	{"reenter", reenter_section},
	{"messages", messages_section},
	{"signal", signal_section},
	{"fork", fork_section},
	{"async_cancel", async_cancel_section},
	{"delivery", delivery_section},
	{"progress", progress_section},
};

static void
remove_tree(const char *path)
{
	DIR *dir = opendir(path);
	struct dirent *entry;
	char child[4096];

	while (dir != NULL && (entry = readdir(dir)) != NULL) {
		if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
			continue;
		snprintf(child, sizeof child, "%s/%s", path, entry->d_name);
		if (unlink(child) != 0)
			remove_tree(child);
	}
	if (dir != NULL)
		closedir(dir);
	rmdir(path);
}

int
main(int argc, char *argv[])
{
	const char *tmp = getenv("TMPDIR");
	char work[4096];
	int ran = 0, skipped = 0, failed = 0;

	snprintf(work, sizeof work, "%s/tagdb-hooks.XXXXXX", tmp != NULL && *tmp ? tmp : "/tmp");
	if (mkdtemp(work) == NULL || chdir(work) != 0) {
		perror(work);
		return 2;
	}
	write_file("three", "alpha\nbravo\ncharlie\n");
	for (size_t s = 0; s < sizeof sections / sizeof sections[0]; s++) {
		int wanted = argc < 2, status;
		pid_t child;

		for (int i = 1; i < argc; i++)
			wanted |= strcmp(argv[i], sections[s].name) == 0;
		if (!wanted)
			continue;
		fflush(NULL);
		child = fork();
		if (child == 0) {
			int code = sections[s].run();
			fflush(NULL);
			_exit(failures != 0 ? 1 : code);
		}
		ran++;
		if (child < 0 || waitpid(child, &status, 0) != child) {
			printf("%s: not run\n", sections[s].name);
			failed++;
		} else if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
			skipped++;
		} else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
			printf("%s: every case held\n", sections[s].name);
		} else {
			printf("%s: FAILED (status %d)\n", sections[s].name, status);
			failed++;
		}
	}
	if (chdir("/") == 0)
		remove_tree(work);
	if (ran == 0) {
		fprintf(stderr, "usage: hooks [reporter|random|shortage|cancel ...]\n");
		return 2;
	}
	return failed != 0 ? 1 : skipped == ran ? 77 : 0;
}
