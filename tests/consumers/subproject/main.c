/* Prints a tagline of the tagfile or directory it is given. */
#include <stdio.h>
#include <tagdb/tagdb.h>

int
main(int argc, char *argv[])
{
	char line[TAGDB_LINE_BUF];

	if (argc != 2 || tagdb_init() < 0 || tagdb_add(argv[1]) < 1)
		return 2;
	if (tagdb_get_tag_r(0, line, sizeof line) < 0)
		return 1;
	printf("%s (tagdb %s)\n", line, tagdb_version());
	tagdb_close_all();
	return 0;
}
