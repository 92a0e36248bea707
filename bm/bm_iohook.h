// bm_iohook.h: a test seam at the lowest layer that records every write to and every sync of the
// watched files (the partitions of a test DBS), in the test program and in the processes it
// forks, so that a test can afterwards build the files as a power loss could have left them.
//
// The buffer manager is a static library linked into each test program, so definitions of
// pwrite, pwritev, write, fdatasync and fsync in the program take the place of the C library's
// for every call in it; the real ones are found with dlsym(RTLD_NEXT). Include this header in
// exactly one file of a test program, and not together with bm_faulthook.h (both define
// fdatasync).
//
// The record is one file opened with O_APPEND: each record is appended whole by one write, so
// the records of several processes never interleave, and their order in the file is an order
// in which the calls happened:
//   - IOH_WRITE is appended after the write returned, with the bytes that reached the file;
//   - IOH_SYNCBEGIN is appended before the sync is called, IOH_SYNCEND (same pid and serial)
//     after it succeeded: once the end is recorded, every write recorded before the begin is
//     durable;
//   - IOH_NOTE is appended by the workload itself (iohook::note): an event whose place in the
//     order matters, such as a forced log record that was acknowledged.
// Record layout: rechead (32 bytes, native byte order), then `length` bytes.
//
// Entry points: iohook::start (watch files, begin the record), iohook::stop, iohook::note,
// iohook::load (read a record back).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bm/bm_seam.h"

namespace iohook {

enum kind : int32_t { IOH_WRITE = 1, IOH_SYNCBEGIN = 2, IOH_SYNCEND = 3, IOH_NOTE = 4 };

struct rechead {
  int32_t kind;
  int32_t file;  // index of the watched file (IOH_NOTE: the workload's tag)
  int32_t pid;
  int32_t serial;  // per process: pairs a sync's begin and end
  int64_t offset;  // byte position of a write (IOH_NOTE: the workload's value)
  int32_t length;  // bytes that follow
  int32_t unused;
};
static_assert(sizeof(rechead) == 32, "the record header has no padding");

struct record {
  rechead head;
  std::vector<unsigned char> data;
};

constexpr int kMaxFiles = 4;

struct state {
  int fd = -1;  // the record, -1 while nothing is recorded
  int nfiles = 0;
  dev_t dev[kMaxFiles];
  ino_t ino[kMaxFiles];
  int32_t serial = 0;
};
inline state now;

// The index of the watched file fd is open on, or -1 (also while nothing is recorded).
inline int file_of(int fd) {
  struct stat st;
  if (now.fd < 0 || fd == now.fd || fstat(fd, &st) != 0) return -1;
  for (int i = 0; i < now.nfiles; i++)
    if (st.st_dev == now.dev[i] && st.st_ino == now.ino[i]) return i;
  return -1;
}

// Appends one record whole; a record that cannot be written ends the process, since a record
// with a hole would make every crash image built from it wrong.
inline void append(rechead h, const void *data) {
  using write_t = ssize_t (*)(int, const void *, size_t);
  static write_t real_write = seam::real_call<write_t>("write");
  std::vector<unsigned char> buf(sizeof h + static_cast<size_t>(h.length));
  h.pid = getpid();
  memcpy(buf.data(), &h, sizeof h);
  if (h.length > 0) memcpy(buf.data() + sizeof h, data, static_cast<size_t>(h.length));
  int saved = errno;
  if (real_write(now.fd, buf.data(), buf.size()) != static_cast<ssize_t>(buf.size())) abort();
  errno = saved;
}

// Records a write of n bytes at pos of watched file f, gathered from iov.
inline void record_write(int f, const struct iovec *iov, int cnt, ssize_t n, int64_t pos) {
  if (f < 0 || n <= 0) return;
  std::vector<unsigned char> bytes;
  for (int i = 0; i < cnt && static_cast<ssize_t>(bytes.size()) < n; i++) {
    auto *p = static_cast<const unsigned char *>(iov[i].iov_base);
    size_t take = std::min(iov[i].iov_len, static_cast<size_t>(n) - bytes.size());
    bytes.insert(bytes.end(), p, p + take);
  }
  append({IOH_WRITE, f, 0, 0, pos, static_cast<int32_t>(n), 0}, bytes.data());
}

// A sync of fd through the real call fn, with its begin and end recorded.
inline int sync_recorded(int (*fn)(int), int fd) {
  int f = file_of(fd);
  if (f < 0) return fn(fd);
  int32_t serial = ++now.serial;
  append({IOH_SYNCBEGIN, f, 0, serial, 0, 0, 0}, nullptr);
  int r = fn(fd);
  if (r == 0) append({IOH_SYNCEND, f, 0, serial, 0, 0, 0}, nullptr);
  return r;
}

// Begins a record at path (truncated) of the writes and syncs of the files at paths. False
// when a file cannot be examined or the record cannot be opened.
inline bool start(const std::string &path, const std::vector<std::string> &files) {
  if (files.size() > kMaxFiles) return false;
  now.nfiles = 0;
  for (const std::string &f : files) {
    struct stat st;
    if (stat(f.c_str(), &st) != 0) return false;
    now.dev[now.nfiles] = st.st_dev;
    now.ino[now.nfiles++] = st.st_ino;
  }
  now.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  return now.fd >= 0;
}

inline void stop() {
  if (now.fd >= 0) close(now.fd);
  now.fd = -1;
}

// Records an event of the workload: tag and value, and len bytes at data.
inline void note(int32_t tag, int64_t value, const void *data, int32_t len) {
  if (now.fd >= 0) append({IOH_NOTE, tag, 0, 0, value, len, 0}, data);
}

// Reads the record at path; false when it is unreadable or ends inside a record.
inline bool load(const std::string &path, std::vector<record> *out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<unsigned char> all;
  unsigned char chunk[1 << 16];
  for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) all.insert(all.end(), chunk, chunk + n);
  close(fd);
  for (size_t at = 0; at < all.size();) {
    record r;
    if (all.size() - at < sizeof r.head) return false;
    memcpy(&r.head, all.data() + at, sizeof r.head);
    at += sizeof r.head;
    if (r.head.length < 0 || all.size() - at < static_cast<size_t>(r.head.length)) return false;
    r.data.assign(all.begin() + static_cast<long>(at),
                  all.begin() + static_cast<long>(at) + r.head.length);
    at += static_cast<size_t>(r.head.length);
    out->push_back(std::move(r));
  }
  return true;
}

}  // namespace iohook

extern "C" ssize_t pwrite(int fd, const void *buf, size_t n, off_t pos) {
  using fn_t = ssize_t (*)(int, const void *, size_t, off_t);
  static fn_t fn = seam::real_call<fn_t>("pwrite");
  ssize_t r = fn(fd, buf, n, pos);
  struct iovec iov = {const_cast<void *>(buf), n};
  iohook::record_write(iohook::file_of(fd), &iov, 1, r, pos);
  return r;
}

extern "C" ssize_t pwritev(int fd, const struct iovec *iov, int cnt, off_t pos) {
  using fn_t = ssize_t (*)(int, const struct iovec *, int, off_t);
  static fn_t fn = seam::real_call<fn_t>("pwritev");
  ssize_t r = fn(fd, iov, cnt, pos);
  iohook::record_write(iohook::file_of(fd), iov, cnt, r, pos);
  return r;
}

// A plain write lands at the descriptor's position, asked for before the write.
extern "C" ssize_t write(int fd, const void *buf, size_t n) {
  using fn_t = ssize_t (*)(int, const void *, size_t);
  static fn_t fn = seam::real_call<fn_t>("write");
  int f = iohook::file_of(fd);
  off_t pos = f < 0 ? 0 : lseek(fd, 0, SEEK_CUR);
  ssize_t r = fn(fd, buf, n);
  struct iovec iov = {const_cast<void *>(buf), n};
  iohook::record_write(f, &iov, 1, r, pos);
  return r;
}

extern "C" int fdatasync(int fd) {
  static auto fn = seam::real_call<int (*)(int)>("fdatasync");
  return iohook::sync_recorded(fn, fd);
}

extern "C" int fsync(int fd) {
  static auto fn = seam::real_call<int (*)(int)>("fsync");
  return iohook::sync_recorded(fn, fd);
}
