#include <stdio.h>
#include <tagdb/tagdb.h>

/* The library's messages, into the host's own log. */
static void
log_message(const char *text, void *log)
{
	fprintf(log, "tagdb: %s", text);
}

int
main(int argc, char *argv[])
{
	const char *tagline;
	int i;

	tagdb_set_reporter(log_message, stderr);
	tagdb_set_exit_on_shortage(0);	/* out of memory: -1, not exit(1) */
	if (tagdb_init() < 0)
		return 1;
	for (i = 1; i < argc; i++)
		if (tagdb_add(argv[i]) < 0)
			perror(argv[i]);	/* ENOMEM: left out */
	if (argc < 2)
		tagdb_add_env();	/* TAGLINES, else the defaults */
	tagline = tagdb_get_tag(0);
	if (tagline != NULL)
		puts(tagline);		/* valid until the next draw */
	tagdb_close_all();
	return tagline != NULL ? 0 : 1;
}
