/*
 * What a draw costs within the descriptor budget and past it, and how many
 * draws return bytes of two versions while another process rewrites the
 * file in place (pwrite, same line layout).  Prints figures; checks nothing.
 *
 *   limits_bench DIR [draws]
 */
#define _XOPEN_SOURCE 700
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <fcntl.h>

#include <tagdb/tagdb.h>

static double
now(void)
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static double
draw_cost(const char *path, int budget, long draws)
{
	double start;

	tagdb_init();
	tagdb_set_descriptor_budget(budget);
	tagdb_add(path);
	start = now();
	for (long d = 0; d < draws; d++)
		tagdb_get_tag(0);
	start = (now() - start) / (double)draws;
	tagdb_close_all();
	tagdb_set_descriptor_budget(0);
	return start;
}

int
main(int argc, char **argv)
{
	char path[4096];
	long draws = argc > 2 ? atol(argv[2]) : 200000, torn = 0;
	enum { lines = 1000, width = 63 };
	char a[width + 1], b[width + 1];
	FILE *f;
	pid_t writer;

	if (argc < 2)
		return 2;
	snprintf(path, sizeof path, "%s/limits-bench.txt", argv[1]);
	memset(a, 'a', width - 1);
	memset(b, 'b', width - 1);
	a[width - 1] = b[width - 1] = '\n';
	a[width] = b[width] = '\0';
	f = fopen(path, "w");
	for (int k = 0; f != NULL && k < lines; k++)
		fputs(a, f);
	if (f == NULL || fclose(f) != 0)
		return 2;
	printf("draw within the budget: %.2f us\n", draw_cost(path, 0, draws) * 1e6);
	printf("draw past the budget:   %.2f us\n", draw_cost(path, 1, draws) * 1e6);

	/* Torn reads: every line is all 'a' or all 'b'; a writer flips them. */
	tagdb_init();
	tagdb_add(path);
	writer = fork();
	if (writer == 0) {
		int fd = open(path, O_WRONLY);

		for (long k = 0;; k++)
			if (pwrite(fd, (k & 1) ? a : b, width - 1, (off_t)(k % lines) * width) < 0)
				_exit(1);
	}
	for (long d = 0; d < draws; d++) {
		const char *tag = tagdb_get_tag(0);

		if (tag != NULL && strspn(tag, "a") != strlen(tag) && strspn(tag, "b") != strlen(tag))
			torn++;
	}
	kill(writer, SIGKILL);
	waitpid(writer, NULL, 0);
	tagdb_close_all();
	printf("torn draws while a writer pwrites in place: %ld of %ld\n", torn, draws);
	unlink(path);
	return 0;
}
