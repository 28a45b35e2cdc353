/*
 * A host of the library that holds it to what it may take: descriptors
 * under a soft limit, a shortage of memory with the exit off, and draws
 * over chunks gone stale.  Each section runs in a scratch directory of its
 * own under the current one.
 *
 *   limits descriptors|bypath|shortage|stale
 *
 * Exits 0 when every case held, 1 otherwise, 77 when skipped (saying why on
 * a "skipped: " line).  The stale section prints its draws' times; they are
 * figures, not checks.
 */
#define _XOPEN_SOURCE 700
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

static void
write_file(const char *path, const char *text, long copies)
{
	FILE *f = fopen(path, "w");

	for (long k = 0; f != NULL && k < copies; k++)
		if (fputs(text, f) == EOF)
			break;
	if (f == NULL || fclose(f) != 0) {
		perror(path);
		exit(2);
	}
}

static double
now(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/*
 * Under a soft limit of 1,024 descriptors, 15,000 one-line tagfiles are all
 * opened and drawn, and the host still has 400 descriptors of its own.
 * Past the budget a record's stream still reads its file; a file replaced
 * under its path no longer draws.
 */
static int
descriptors_section(void)
{
	enum { files = 15000, draws = 60000, own = 400 };
	struct rlimit limit;
	static unsigned char seen[files];
	char path[64], line[64];
	int opened = 0, distinct = 0, fds[own], held = 0;

	if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < 1024) {
		puts("skipped: the hard limit on open files is below 1,024");
		return 77;
	}
	limit.rlim_cur = 1024;
	if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
		perror("setrlimit");
		return 2;
	}
	for (int k = 0; k < files; k++) {
		snprintf(path, sizeof path, "f%05d", k);
		snprintf(line, sizeof line, "line %d\n", k);
		write_file(path, line, 1);
	}
	tagdb_init();
	if (tagdb_set_descriptor_budget(-1) != 512)
		fail("descriptors: budget %d under a soft limit of 1,024, not 512",
		    tagdb_set_descriptor_budget(-1));
	for (int k = 0; k < files; k++) {
		snprintf(path, sizeof path, "f%05d", k);
		opened += tagdb_add(path);
	}
	if (opened != files || tagdb.ntags != files)
		fail("descriptors: %d of %d opened, %d chunks", opened, files, tagdb.ntags);
	for (int d = 0; d < draws; d++) {
		const char *tag = tagdb_get_tag(0);
		int k;

		if (tag == NULL || sscanf(tag, "line %d", &k) != 1 || k < 0 || k >= files) {
			fail("descriptors: draw %d gave \"%s\"", d, tag != NULL ? tag : "(null)");
			break;
		}
		distinct += !seen[k];
		seen[k] = 1;
	}
	if (distinct < files * 95 / 100)
		fail("descriptors: %d of %d tagfiles seen in %d draws", distinct, files, draws);
	for (; held < own; held++)
		if ((fds[held] = open("f00000", O_RDONLY)) < 0)
			break;
	if (held < own)
		fail("descriptors: the host opened %d of its own, not %d: %s", held, own, strerror(errno));
	while (held > 0)
		close(fds[--held]);
	/*
	 * Every record's stream reads its file, the last added as the first;
	 * in the portable build, a stream past the budget is a token that
	 * fails every read with EBADF.
	 */
	for (int i = 0; i < tagdb.nfiles; i += files - 1) {
		FILE *f = tagdb.filelist[i].file;
		char want[64];

		snprintf(want, sizeof want, "line %d\n", i);
#ifdef TAGDB_PORTABLE
		if (i > 0) {
			errno = 0;
			if (f == NULL || fileno(f) >= 0 || fgets(line, sizeof line, f) != NULL ||
			    !ferror(f) || errno != EBADF)
				fail("descriptors: record %d's stream past the budget is no token that "
				     "fails with EBADF", i);
			continue;
		}
#endif
		if (f == NULL || fseek(f, 0, SEEK_SET) != 0 || fgets(line, sizeof line, f) == NULL ||
		    strcmp(line, want) != 0)
			fail("descriptors: record %d's stream does not read \"line %d\"", i, i);
	}
	/* The last file, read by path, is replaced: its line no longer draws. */
	write_file("replacement", "replaced\n", 1);
	rename("replacement", "f14999");
	for (int d = 0; d < 20000; d++) {
		const char *tag = tagdb_get_tag(0);

		if (tag == NULL || strcmp(tag, "line 14999") == 0 || strcmp(tag, "replaced") == 0) {
			fail("descriptors: a draw gave \"%s\" after the file was replaced",
			    tag != NULL ? tag : "(null)");
			break;
		}
	}
	tagdb_close_all();
	return 0;
}

/*
 * A budget of one descriptor: the first tagfile keeps its own, the second
 * is read by its path.  Its line draws; once another file is renamed over
 * its path, or it is rewritten in place at the same length, its chunk no
 * longer reads until a checkpoint reads it again.
 */
static int
draws_of(const char *line, int draws)
{
	int n = 0;

	for (int d = 0; d < draws; d++) {
		const char *tag = tagdb_get_tag(0);

		if (tag == NULL) {
			fail("by path: draw %d gave nothing", d);
			return -1;
		}
		n += strcmp(tag, line) == 0;
	}
	return n;
}

static int
by_path_section(void)
{
	enum { draws = 400 };
	const char *changes[] = { "renamed over", "rewritten in place" };

	for (int c = 0; c < 2; c++) {
		int n;

		write_file("kept", "kept line\n", 1);
		write_file("by-path", "by path line\n", 1);
		tagdb_init();
		tagdb_set_descriptor_budget(1);
		if (tagdb_add("kept") != 1 || tagdb_add("by-path") != 1 || tagdb.ntags != 2)
			fail("by path: %d chunks, not 2", tagdb.ntags);
		if (tagdb.nfiles == 2 && fileno(tagdb.filelist[1].file) >= 0)
			fail("by path: the tagfile past the budget keeps its descriptor %d",
			    fileno(tagdb.filelist[1].file));
		if ((n = draws_of("by path line", draws)) <= 0)
			fail("by path: the tagfile past the budget drew %d times in %d", n, draws);
		if (c == 0) {
			write_file("replacement", "an intruder\n", 1);
			rename("replacement", "by-path");
		} else {
			write_file("by-path", "BY PATH LINE\n", 1);
		}
		if ((n = draws_of("kept line", draws)) != draws)
			fail("by path: %s, %d of %d draws gave another line than the kept one",
			    changes[c], draws - n, draws);
		/* A checkpoint reads the new file. */
		tagdb_checkpoint();
		if ((n = draws_of(c == 0 ? "an intruder" : "BY PATH LINE", draws)) <= 0)
			fail("by path: %s, the new line drew %d times in %d after a checkpoint",
			    changes[c], n, draws);
		tagdb_close_all();
		tagdb_set_descriptor_budget(0);
	}
	return 0;
}

static long
reports;

static void
count_reports(const char *text, void *arg)
{
	(void)arg;
	(void)text;
	reports++;
}

/* The process's size now, from /proc/self/statm. */
static long
address_space(void)
{
	long pages = 0;
	FILE *f = fopen("/proc/self/statm", "r");

	if (f != NULL && fscanf(f, "%ld", &pages) != 1)
		pages = 0;
	if (f != NULL)
		fclose(f);
	return pages * sysconf(_SC_PAGESIZE);
}

/*
 * Exit off, 16 MiB of address space left: a 3 M-line file is left out with
 * ENOMEM, refreshing draws draw from what was there with no more report, and
 * once memory is back and the file grew, a refreshing draw takes it all.
 */
static int
shortage_section(void)
{
	struct rlimit limit, saved;
	int added, err;

#ifdef PELNIK_CHECKED_BUILD
	puts("skipped: lowers the address-space limit, which " PELNIK_CHECKED_BUILD
	     " cannot run under");
	return 77;
#endif
	if (access("/proc/self/statm", R_OK) != 0) {
		puts("skipped: reads the size of the process from /proc/self/statm, which is missing");
		return 77;
	}
	write_file("three", "alpha\nbravo\ncharlie\n", 1);
	write_file("big", "x\n", 3000000);
	tagdb_set_reporter(count_reports, NULL);
	tagdb_set_exit_on_shortage(0);
	tagdb_init();
	if (tagdb_add("three") != 1)
		fail("shortage: three not added");
	tagdb_get_tag(0); /* the draw's buffers, before the limit */
	getrlimit(RLIMIT_AS, &saved);
	limit = saved;
	limit.rlim_cur = (rlim_t)(address_space() + (16L << 20));
	if (setrlimit(RLIMIT_AS, &limit) != 0) {
		perror("setrlimit");
		return 2;
	}
	errno = 0;
	added = tagdb_add("big");
	err = errno;
	if (added != -1 || err != ENOMEM)
		fail("shortage: tagdb_add returned %d with errno %d, not -1 with ENOMEM", added, err);
	for (int d = 0; d < 5; d++) {
		const char *tag = tagdb_get_tag(1);

		if (tag == NULL || (strcmp(tag, "alpha") != 0 && strcmp(tag, "bravo") != 0 &&
		                       strcmp(tag, "charlie") != 0))
			fail("shortage: refreshing draw %d gave \"%s\"", d, tag != NULL ? tag : "(null)");
	}
	if (reports > 1)
		fail("shortage: reported %ld times", reports);
	setrlimit(RLIMIT_AS, &saved);
	{
		FILE *f = fopen("big", "a");

		if (f == NULL || fputs("appended\n", f) == EOF || fclose(f) != 0)
			fail("shortage: cannot append to big");
	}
	if (tagdb_get_tag(1) == NULL || tagdb.ntags != 3000004)
		fail("shortage: %d chunks after memory came back, not 3000004", tagdb.ntags);
	tagdb_close_all();
	return 0;
}

/*
 * 10 M chunks gone stale beside one intact line: a draw without refresh
 * returns the intact line, at a cost printed beside that of a draw before.
 */
static int
stale_section(void)
{
	enum { before_draws = 2000, after_draws = 200 };
	double start, before, after;

	write_file("intact", "still here\n", 1);
	write_file("stale", "\n", 10000000);
	tagdb_init();
	if (tagdb_add("intact") != 1 || tagdb_add("stale") != 1 || tagdb.ntags != 10000001)
		fail("stale: %d chunks, not 10000001", tagdb.ntags);
	start = now();
	for (int d = 0; d < before_draws; d++)
		if (tagdb_get_tag(0) == NULL)
			fail("stale: a draw before the truncation gave nothing");
	before = (now() - start) / before_draws;
	if (truncate("stale", 0) != 0) {
		perror("truncate");
		return 2;
	}
	start = now();
	for (int d = 0; d < after_draws; d++) {
		const char *tag = tagdb_get_tag(0);

		if (tag == NULL || strcmp(tag, "still here") != 0) {
			fail("stale: draw %d gave \"%s\"", d, tag != NULL ? tag : "(null)");
			break;
		}
	}
	after = (now() - start) / after_draws;
	printf("stale: a draw before the truncation %.2f us, after %.2f us (%.0fx), 10 M chunks "
	       "stale\n",
	    before * 1e6, after * 1e6, after / before);
	tagdb_close_all();
	return 0;
}

int
main(int argc, char **argv)
{
	char scratch[] = "limits-XXXXXX";
	int status;

	if (argc != 2) {
		fputs("usage: limits descriptors|bypath|shortage|stale\n", stderr);
		return 2;
	}
	if (mkdtemp(scratch) == NULL || chdir(scratch) != 0) {
		perror("scratch directory");
		return 2;
	}
	if (strcmp(argv[1], "descriptors") == 0)
		status = descriptors_section();
	else if (strcmp(argv[1], "bypath") == 0)
		status = by_path_section();
	else if (strcmp(argv[1], "shortage") == 0)
		status = shortage_section();
	else if (strcmp(argv[1], "stale") == 0)
		status = stale_section();
	else
		status = 2;
	if (chdir("..") == 0) {
		char command[64];

		snprintf(command, sizeof command, "rm -rf %s", scratch);
		if (system(command) != 0)
			fprintf(stderr, "could not remove %s\n", scratch);
	}
	if (status != 0)
		return status;
	return failures != 0 ? 1 : 0;
}
