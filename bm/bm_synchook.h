// bm_synchook.h: a test seam at the lowest layer: fdatasync of this test program, counting
// the syncs per file and failing them on request.
//
// The buffer manager is a static library linked into each test program, so a definition of
// fdatasync in the program takes the place of the C library's for every call in it; the real
// one is found with dlsym(RTLD_NEXT). Include this header in exactly one file of a test program.
#pragma once

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace synchook {

inline int calls = 0;         // fdatasync calls so far
inline ino_t failino = 0;     // syncs of the file with this inode fail with EIO (0: none)
inline int failskip = 0;      // ... after this many of them succeeded
inline ino_t countino = 0;    // calls on this inode are counted in `counted`
inline int counted = 0;

inline ino_t inode_of(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? st.st_ino : 0;
}
inline ino_t inode_of(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 ? st.st_ino : 0;
}

}  // namespace synchook

extern "C" int fdatasync(int fd) {
  using real_t = int (*)(int);
  static real_t real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "fdatasync"));
  synchook::calls++;
  ino_t ino = synchook::inode_of(fd);
  if (ino != 0 && ino == synchook::countino) synchook::counted++;
  if (ino != 0 && ino == synchook::failino && synchook::failskip-- <= 0) {
    errno = EIO;
    return -1;
  }
  return real(fd);
}
