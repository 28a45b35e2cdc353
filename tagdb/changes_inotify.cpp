// The change feed on Linux: inotify.

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "changes.h"
#include "seam.h"

TAGDB_SEAM int changes_open() { return inotify_init1(IN_NONBLOCK | IN_CLOEXEC); }

TAGDB_SEAM int changes_watch(int feed, const char *path, bool directory) {
  // IN_CLOSE_WRITE besides IN_MODIFY: a writer through a shared mapping
  // makes no IN_MODIFY, but closing it after writing does.
  constexpr uint32_t file_events =
      IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;
  constexpr uint32_t directory_events = IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                        IN_MOVED_TO | IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;
  return inotify_add_watch(feed, path,
                           (directory ? directory_events : file_events) | IN_DONT_FOLLOW);
}

TAGDB_SEAM bool changes_read(int feed, void (*each)(const ChangeEvent &event, void *arg), void *arg) {
  alignas(inotify_event) char buf[16384];
  for (;;) {
    const ssize_t got = read(feed, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    if (got == 0) return false;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
      inotify_event e;
      memcpy(&e, buf + at, sizeof e);
      const char *name = e.len > 0 ? buf + at + sizeof e : nullptr;
      unsigned what = 0;
      if (e.mask & (IN_MODIFY | IN_CLOSE_WRITE)) what |= change_content;
      if (e.mask & IN_ATTRIB) what |= change_status;
      if (e.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO)) what |= change_entries;
      if (e.mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_UNMOUNT | IN_IGNORED)) what |= change_self;
      if (e.mask & IN_DELETE_SELF) what |= change_deleted;
      if (e.mask & IN_Q_OVERFLOW) what |= change_overflow;
      each({e.wd, what, name != nullptr && name[0] != '\0' ? name : nullptr}, arg);
      at += static_cast<ssize_t>(sizeof e + e.len);
    }
  }
}

// The kernel marks /proc/self/mountinfo with a priority event (POLLPRI,
// with POLLERR) whenever the mount namespace's table changes, and a poll
// that reports it takes it: no read, no stat.
TAGDB_SEAM int changes_mounts_open() { return open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC); }

TAGDB_SEAM bool changes_mounts_moved(int mounts) {
  pollfd p{mounts, POLLPRI, 0};
  int ready;
  while ((ready = poll(&p, 1, 0)) < 0 && errno == EINTR) {
  }
  if (ready < 0) return true;
  return ready > 0 && (p.revents & (POLLPRI | POLLERR | POLLNVAL)) != 0;
}

TAGDB_SEAM bool sends_change_events(const char *path) {
  // The values of <linux/magic.h> (not every C library installs it): file
  // systems whose files change on another machine or in another process's
  // hands, unseen by this kernel's notifications.
  constexpr unsigned long silent[] = {
      0x6969,      // NFS
      0x65735546,  // FUSE
      0x517b,      // SMB
      0xff534d42,  // CIFS
      0xfe534d42,  // SMB2
      0x00c36400,  // Ceph
      0x01021997,  // 9P
      0x5346414f,  // AFS
      0x6b414653,  // kAFS
      0x73757245,  // Coda
      0x47504653,  // GPFS
      0x0bd00bd0,  // Lustre
  };
  struct statfs fs;
  if (statfs(path, &fs) != 0) return false;
  for (unsigned long type : silent)
    if (static_cast<unsigned long>(fs.f_type) == type) return false;
  return true;
}
