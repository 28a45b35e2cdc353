// A seam: a function that tests put one of their own in place of (a fake
// change feed, other sizes for the indexer).  In the library's objects,
// which the tests link, it is defined weak (TAGDB_SEAMS_WEAK), so that the
// test's definition is taken instead, with no linker option; in the
// installed library it is an ordinary function.
#ifndef TAGDB_SEAM_H
#define TAGDB_SEAM_H

#ifdef TAGDB_SEAMS_WEAK
#define TAGDB_SEAM __attribute__((weak))
#else
#define TAGDB_SEAM
#endif

#endif
