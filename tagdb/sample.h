// The sampled tagfiles of a one-shot database: tagfiles that were opened but
// not indexed, each with the length it had when it was opened.  Nothing of
// them is read until a draw picks one of their bytes and reads the chunk
// around it (draw.cpp).
#ifndef TAGDB_SAMPLE_H
#define TAGDB_SAMPLE_H

#include <cstdint>
#include <cstdio>

// Whether tagfiles that the host adds are sampled rather than indexed, where
// their length can be believed.  Off by default; kept across tagdb_init and
// tagdb_close_all, as the host's other choices are.
void set_one_shot(bool on);
bool one_shot();

struct SampledFile {
  FILE *stream;
  int64_t length;      // as fstat gave it at the open: the bytes it is drawn from
  int64_t bytes_read;  // by the draws that sampled it, past the page of each byte picked
};

// Sample this freshly opened tagfile from now on.  False when memory ran
// short (nothing is reported): the caller indexes it instead.
bool sampled_add(FILE *stream, int64_t length);

// The bytes of every sampled tagfile, and how many tagfiles there are.
int64_t sampled_bytes();
int sampled_count();

// The position of the sampled tagfile that holds byte u of all of them,
// 0 <= u < sampled_bytes(), in the order they were added; *offset receives
// the byte's offset in it.
int sampled_position(int64_t u, int64_t *offset);

// The sampled tagfile at position j, 0 <= j < sampled_count().
SampledFile &sampled_file(int j);

// The tagfile of this stream is sampled no more (it was indexed, or is
// about to close).
void sampled_forget(FILE *stream);

// Index the sampled tagfile at position j as tagdb_add would have indexed
// it when it was opened (its first `length` bytes): its chunks join the
// tagindex, and it is sampled no more.  False when memory ran short
// (reported): its chunks are left out; or when the progress hook stopped
// the operation: it stays sampled.
bool sampled_index(int j);

// Index every sampled tagfile, in the order they were added: the database
// is then as if the host had added them with one-shot draws off.  Once the
// operation stops, those not indexed yet stay sampled.
void sampled_index_all();

// Forget every sampled tagfile (tagdb_close_all).
void sampled_release();

#endif
