/*
 * A C host whose own globals and functions bear the names the library uses
 * inside.  It must link against the library as it is installed, also when
 * built with -fcommon (where these variables, having no initializer, are
 * common symbols that a definition of the same name would silently take
 * over), keep its own values, and draw from the tagfile it names.
 *
 *   clash TAGFILE
 */
#include <stdio.h>
#include <string.h>

#include <tagdb/tagdb.h>

int held;
long index_block_bytes;
long index_parallel_min;
long index_piece_bytes;
int index_threads_max;
void *index_after_read;
int hooks;
int lib;

static int calls;
static char heard[256];

static void
hear(const char *text, void *arg)
{
	(void)arg;
	strncat(heard, text, sizeof heard - strlen(heard) - 1);
}

void report_error(int err, const char *format) { (void)err; (void)format; calls++; }
void debug_msg(const char *format) { (void)format; calls++; }
long now_seconds(void) { calls++; return 42; }
int walk_directory(int i) { calls++; return i; }
void drop_entries(void *stream) { (void)stream; calls++; }
void table_full(void) { calls++; }
void say(const char *text) { (void)text; calls++; }
long draw_number(void) { calls++; return 7; }

int
main(int argc, char *argv[])
{
	const char *tagline;
	char copy[TAGDB_LINE_BUF];

	if (argc != 2) {
		fprintf(stderr, "usage: clash TAGFILE\n");
		return 2;
	}
	held = 11;
	index_block_bytes = 12;
	index_parallel_min = 13;
	index_piece_bytes = 14;
	index_threads_max = 15;
	index_after_read = &calls;
	hooks = 16;

	tagdb_set_reporter(hear, NULL);
	tagdb_init();
	if (tagdb_add(argv[1]) != 1 || tagdb_add("/nonexistent/clash") != 0) {
		fprintf(stderr, "clash: tagdb_add of %s did not open it alone\n", argv[1]);
		return 1;
	}
	tagline = tagdb_get_tag(1);
	if (tagline == NULL) {
		fprintf(stderr, "clash: nothing drawn from %s\n", argv[1]);
		return 1;
	}
	strcpy(copy, tagline);
	tagdb_close_all();

	/* The library reported through its own functions, ... */
	if (strcmp(heard, "stat /nonexistent/clash: No such file or directory\n") != 0) {
		fprintf(stderr, "clash: the library reported \"%s\"\n", heard);
		return 1;
	}
	/* ... and neither wrote to these nor called the host's. */
	if (held != 11 || index_block_bytes != 12 || index_parallel_min != 13 ||
	    index_piece_bytes != 14 || index_threads_max != 15 || index_after_read != &calls ||
	    hooks != 16 || calls != 0) {
		fprintf(stderr, "clash: the library changed the host's own: held %d, "
		    "index_block_bytes %ld, index_parallel_min %ld, index_piece_bytes %ld, "
		    "index_threads_max %d, hooks %d, %d calls of its functions\n", held,
		    index_block_bytes, index_parallel_min, index_piece_bytes, index_threads_max,
		    hooks, calls);
		return 1;
	}
	/* The host's functions are its own. */
	if (now_seconds() != 42 || walk_directory(5) != 5 || draw_number() != 7 || calls != 3) {
		fprintf(stderr, "clash: the host's own functions are not its own\n");
		return 1;
	}
	puts(copy);
	return 0;
}
