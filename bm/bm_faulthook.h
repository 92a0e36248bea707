// bm_faulthook.h: a test seam at the lowest layer: fdatasync, pwrite and pwritev of this test
// program, counting the syncs per file and failing syncs or writes of one file on request.
//
// The buffer manager is a static library linked into each test program, so definitions of these
// calls in the program take the place of the C library's for every call in it; the real ones are
// found with dlsym(RTLD_NEXT). Include this header in exactly one file of a test program, and not
// together with bm_iohook.h (both define the same calls).
#pragma once

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "bm/bm_seam.h"

namespace faulthook {

inline int calls = 0;         // fdatasync calls so far
inline ino_t failino = 0;     // syncs of the file with this inode fail with EIO (0: none)
inline int failskip = 0;      // ... after this many of them succeeded
inline ino_t countino = 0;    // calls on this inode are counted in `counted`
inline int counted = 0;

// Writes of the file with inode writeino that start at byte writepos (-1: anywhere) fail with
// writeerrno, writefails times; with EINTR the call then goes through, as after a signal.
inline ino_t writeino = 0;
inline off_t writepos = -1;
inline int writeerrno = EIO;
inline int writefails = 0;

inline ino_t inode_of(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? st.st_ino : 0;
}
inline ino_t inode_of(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 ? st.st_ino : 0;
}

// Whether a write of fd at pos is to fail now (errno is then set).
inline bool write_fails(int fd, off_t pos) {
  if (writefails <= 0 || writeino == 0 || (writepos != -1 && pos != writepos)) return false;
  if (inode_of(fd) != writeino) return false;
  writefails--;
  errno = writeerrno;
  return true;
}

}  // namespace faulthook

extern "C" int fdatasync(int fd) {
  static auto real = seam::real_call<int (*)(int)>("fdatasync");
  faulthook::calls++;
  ino_t ino = faulthook::inode_of(fd);
  if (ino != 0 && ino == faulthook::countino) faulthook::counted++;
  if (ino != 0 && ino == faulthook::failino && faulthook::failskip-- <= 0) {
    errno = EIO;
    return -1;
  }
  return real(fd);
}

extern "C" ssize_t pwrite(int fd, const void *buf, size_t n, off_t pos) {
  static auto real = seam::real_call<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite");
  return faulthook::write_fails(fd, pos) ? -1 : real(fd, buf, n, pos);
}

extern "C" ssize_t pwritev(int fd, const struct iovec *iov, int cnt, off_t pos) {
  static auto real =
      seam::real_call<ssize_t (*)(int, const struct iovec *, int, off_t)>("pwritev");
  return faulthook::write_fails(fd, pos) ? -1 : real(fd, iov, cnt, pos);
}
