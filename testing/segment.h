// segment.h: a real DBS segment for tests, made by the DBS server stand-in.
//
// Segment creates the segment and the semaphore set with the stand-in's library (tolvsrv)
// under a fresh random key (IPC_CREAT|IPC_EXCL, retried on collision), attaches it in the test
// process and sets bm_dbs and bm_mypid as an attach does; its destructor detaches and removes
// both IPC objects, so a failing test leaves nothing behind. SegmentTest is the gtest fixture:
// a temporary installation (the message log goes to its log/), settings pointing at it, and a
// segment of small_geometry(). Forked children inherit the attachment and must end with
// _exit (fork_child does that).
//
// See also: tools/srv_create.h (the stand-in), tempinstall.h (the installation).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include <sys/types.h>

#include <gtest/gtest.h>

#include "bm/shmstruct.h"
#include "testing/tempinstall.h"
#include "tools/srv_create.h"

namespace tolvtest {

constexpr int kKeyMax = 10000;  // test keys are drawn from 1..kKeyMax, like a dbskey

// A random key in 1..kKeyMax.
int random_key();

// A small DBS: 8 users, 2 lists of 8 buffers, one dbspace "rootdbs" of 1000 pages on device,
// 3 log files of 4 pages from page 10, before-image area 30..61. The key is left 0 (drawn by
// Segment::create).
srv_geometry small_geometry(const std::string &device = "/dev/null");

class Segment {
 public:
  Segment() = default;
  ~Segment();
  Segment(const Segment &) = delete;
  Segment &operator=(const Segment &) = delete;

  // Creates and attaches the segment of g under a fresh key; sets bm_dbs, bm_mypid and
  // bm_myuindex (1000000: attached, not registered). Returns an srv_result.
  int create(srv_geometry g);
  dbshead *head() const { return head_; }
  int key() const { return key_; }

 private:
  dbshead *head_ = nullptr;
  int key_ = 0;
};

// Points the settings record's home and dbsname at inst (until clear_settings).
void use_settings(const TempInstall &inst, const std::string &dbsname = "testdbs");
void clear_settings();

// Makes the current process look registered in user slot i: fills pid, progname, uindex and
// the fields registration sets; sets bm_myslot, bm_myuindex, bm_mypid.
userslot *register_slot(int i, const char *progname = "TESTPROG");

// Forks a child that runs body and ends with _exit(body's result). Returns the child's pid.
pid_t fork_child(const std::function<int()> &body);
// Waits for child pid: its exit status, or -1 when it did not end normally or had not ended
// within timeout seconds (it is killed then). A safety net against hangs, not a timing check.
int wait_child(pid_t pid, int timeout_seconds = 60);
// Polls cond every millisecond until it holds or timeout seconds passed; returns cond().
bool eventually(const std::function<bool()> &cond, int timeout_seconds = 30);

// Checks every buffer list of the pool: each buffer in its index exactly once and the index
// sorted by page number; the chain from head to tail linked both ways through every buffer
// once; no buffer fixed, being read or with old contents pending; no semaphore held. Returns
// a description of the first problem, or "" when the pool is consistent and idle.
std::string pool_problems(const dbshead *h);

// A message log text without the "<date> <time> " prefix of each line.
std::string strip_stamps(const std::string &log);

// Page p (the 2048 bytes at p * 2048) of the file at path, as it is on disk now; the read is
// checked (a short read fails the test).
std::vector<unsigned char> read_page(const std::string &path, int32_t p);

// The fixture: a temporary installation, settings on it, a segment of geometry().
class SegmentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The geometry of the test's segment; override for another.
  virtual srv_geometry geometry() const;
  dbshead *dbs() const { return seg_.head(); }
  // The DBS message log so far, and the same without the date and time of each line.
  std::string log() const { return inst_.read("log/testdbs"); }
  std::string log_text() const { return strip_stamps(log()); }

  TempInstall inst_;
  Segment seg_;
};

}  // namespace tolvtest
