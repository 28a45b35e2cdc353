/*
 * A host that calls the library from four threads with no lock of its own:
 * two draw with refresh through tagdb_get_tag_r, one adds, draws and
 * compacts, one checkpoints, while a writer process renames new copies of
 * the tagfiles over the old ones.  Every draw must be one whole line of
 * them.
 *
 *   threads [SECONDS]      (default 2)
 *
 * Prints the draws and the non-lines; exits 0 when there was none.
 */
#define _XOPEN_SOURCE 700
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <tagdb/tagdb.h>

enum { files = 4, lines_per_file = 50 };

static atomic_int running = 1;
static long draws, non_lines, empty;
static pthread_mutex_t counts = PTHREAD_MUTEX_INITIALIZER;
static char first_bad[TAGDB_LINE_BUF + 64];

/* Each line reads "tagline F.N", F the file and N the line. */
static int
is_line(const char *text, int len)
{
	int f, n, used = 0;

	return len > 0 && (size_t)len == strlen(text) &&
	    sscanf(text, "tagline %d.%d%n", &f, &n, &used) == 2 && used == len && f >= 0 &&
	    f < files && n >= 0 && n < lines_per_file;
}

static void
write_tagfile(const char *path, int f)
{
	FILE *out = fopen(path, "w");

	if (out == NULL) {
		perror(path);
		exit(2);
	}
	for (int n = 0; n < lines_per_file; n++)
		fprintf(out, "tagline %d.%d\n", f, n);
	if (fclose(out) != 0) {
		perror(path);
		exit(2);
	}
}

static void
count(int ok, const char *what)
{
	pthread_mutex_lock(&counts);
	draws++;
	if (!ok && non_lines++ == 0)
		snprintf(first_bad, sizeof first_bad, "%s", what);
	pthread_mutex_unlock(&counts);
}

static void
draw_once(int refresh)
{
	char buf[TAGDB_LINE_BUF];
	int len = tagdb_get_tag_r(refresh, buf, sizeof buf);

	if (len < 0) {
		pthread_mutex_lock(&counts);
		empty++;
		pthread_mutex_unlock(&counts);
		return;
	}
	count(is_line(buf, len), buf);
}

static void *
drawer(void *arg)
{
	(void)arg;
	while (running)
		draw_once(1);
	return NULL;
}

static void *
adder(void *arg)
{
	(void)arg;
	for (int k = 0; running; k++) {
		char path[64];

		snprintf(path, sizeof path, "d/f%d", k % files);
		tagdb_add(path); /* a duplicate of what the directory holds */
		draw_once(0);
		tagdb_compact();
	}
	return NULL;
}

static void *
checkpointer(void *arg)
{
	(void)arg;
	while (running)
		tagdb_checkpoint();
	return NULL;
}

/* Rename a new copy over each tagfile in turn, until killed. */
static void
writer(void)
{
	for (int k = 0;; k++) {
		char path[64];

		write_tagfile("d/.new", k % files);
		snprintf(path, sizeof path, "d/f%d", k % files);
		rename("d/.new", path);
	}
}

int
main(int argc, char *argv[])
{
	const double seconds = argc > 1 ? atof(argv[1]) : 2.0;
	char work[] = "/tmp/tagdb-threads.XXXXXX";
	void *(*const bodies[])(void *) = {drawer, drawer, adder, checkpointer};
	pthread_t threads[4];
	pid_t child;
	int status;

	if (mkdtemp(work) == NULL || chdir(work) != 0 || mkdir("d", 0755) != 0) {
		perror(work);
		return 2;
	}
	for (int f = 0; f < files; f++) {
		char path[64];

		snprintf(path, sizeof path, "d/f%d", f);
		write_tagfile(path, f);
	}
	tagdb_set_exit_on_shortage(0);
	tagdb_init();
	if (tagdb_add("d") != files) {
		printf("the directory did not add %d tagfiles\n", files);
		return 1;
	}
	fflush(NULL);
	child = fork();
	if (child == 0)
		writer();
	for (int t = 0; t < 4; t++)
		if (pthread_create(&threads[t], NULL, bodies[t], NULL) != 0) {
			printf("no thread\n");
			return 2;
		}
	nanosleep(&(struct timespec){(time_t)seconds,
	    (long)((seconds - (double)(time_t)seconds) * 1e9)}, NULL);
	running = 0;
	for (int t = 0; t < 4; t++)
		pthread_join(threads[t], NULL);
	kill(child, SIGKILL);
	waitpid(child, &status, 0);
	tagdb_close_all();
	if (system("rm -rf d") != 0 || chdir("/") != 0 || rmdir(work) != 0)
		perror(work);

	printf("%ld draws, %ld non-lines, %ld with nothing to draw\n", draws, non_lines, empty);
	if (non_lines != 0)
		printf("first non-line: \"%s\"\n", first_bad);
	return non_lines != 0 || empty != 0 || draws == 0 ? 1 : 0;
}
