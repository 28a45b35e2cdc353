#include <stdio.h>
#include <tagdb/tagdb.h>

int
main(int argc, char *argv[])
{
	const char *tagline;
	int i;

	tagdb_init();
	for (i = 1; i < argc; i++)
		tagdb_add(argv[i]);
	if (argc < 2)
		tagdb_add_env();	/* TAGLINES, else the defaults */
	tagline = tagdb_get_tag(0);
	if (tagline != NULL)
		puts(tagline);		/* valid until the next draw */
	tagdb_close_all();
	return tagline != NULL ? 0 : 1;
}
