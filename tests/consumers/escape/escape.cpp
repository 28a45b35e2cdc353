// A host whose reporter leaves the library's call by longjmp, or by a C++
// exception (a logger that throws), on the message of a tagfile swapped for
// a FIFO.  Afterwards the old lines are gone, the closed stream's descriptor
// is the only one fewer, the thread can be cancelled again, and the
// database takes a new tagfile.  Exits 0 when every case held.
#include <dirent.h>
#include <pthread.h>
#include <setjmp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <tagdb/tagdb.h>

namespace {

int failures = 0;

void fail(const char *how, const char *what) {
  printf("%s: %s\n", how, what);
  ++failures;
}

void write_file(const char *path, const char *text) {
  FILE *f = fopen(path, "w");
  if (f == nullptr || fputs(text, f) == EOF || fclose(f) != 0) {
    perror(path);
    exit(2);
  }
}

int open_descriptors() {
  DIR *dir = opendir("/proc/self/fd");
  int n = 0;
  while (dir != nullptr && readdir(dir) != nullptr) ++n;
  if (dir != nullptr) closedir(dir);
  return n;
}

enum class Way { longjmp_out, throw_out };
jmp_buf back;
Way way;
int escapes = 0;

void escape(const char *text, void *) {
  if (strstr(text, "replaced by") == nullptr) return;
  ++escapes;
  if (way == Way::longjmp_out) longjmp(back, 1);
  throw escapes;
}

void run(Way w, const char *how) {
  way = w;
  mkdir("d", 0755);
  write_file("d/old", "old one\nold two\nold three\n");
  write_file("d/kept", "kept\n");
  write_file("small", "small\n");
  tagdb_init();
  if (tagdb_add("d") != 2) fail(how, "d did not add two tagfiles");
  // The first checkpoint sets up the change feed, which keeps its
  // descriptor from then on.
  tagdb_checkpoint();
  const int before = open_descriptors();
  unlink("d/old");
  mkfifo("d/old", 0644);
  tagdb_set_reporter(escape, nullptr);
  if (w == Way::longjmp_out) {
    if (setjmp(back) == 0) tagdb_checkpoint();
  } else {
    try {
      tagdb_checkpoint();
    } catch (int) {
    }
  }
  tagdb_set_reporter(nullptr, nullptr);
  if (escapes != 1) fail(how, "the reporter did not leave the call once");
  for (int i = 0; i < 400; ++i) {
    const char *tag = tagdb_get_tag(0);
    if (tag == nullptr || strcmp(tag, "kept") != 0) {
      fail(how, "a draw gave something other than the kept line");
      break;
    }
  }
  if (open_descriptors() != before - 1) fail(how, "descriptors are not those before, less one");
  int state = -1;
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state);
  if (state != PTHREAD_CANCEL_ENABLE) fail(how, "cancellation was left off");
  if (tagdb_add("small") != 1) fail(how, "a small tagfile was not added afterwards");
  tagdb_close_all();
}

}  // namespace

int main() {
  char work[] = "/tmp/tagdb-escape.XXXXXX";
  if (mkdtemp(work) == nullptr || chdir(work) != 0) return 2;
  static const struct {
    Way way;
    const char *how;
  } cases[] = {{Way::longjmp_out, "longjmp"}, {Way::throw_out, "a C++ exception"}};
  int failed = 0;
  for (const auto &c : cases) {
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      mkdir(c.how, 0755);
      if (chdir(c.how) == 0) run(c.way, c.how);
      fflush(nullptr);
      _exit(failures != 0 ? 1 : 0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      printf("%s: FAILED (status %d)\n", c.how, status);
      ++failed;
    } else {
      printf("%s: every case held\n", c.how);
    }
  }
  const char *argv[] = {"rm", "-rf", work, nullptr};
  if (fork() == 0) execvp("rm", const_cast<char **>(argv));
  wait(nullptr);
  return failed != 0 ? 1 : 0;
}
