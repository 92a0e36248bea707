// segment: the test segment, the fixture and the process helpers of the tests.
#include "testing/segment.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <vector>
#include <unistd.h>

#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_init.h"

#ifdef TOLV_COVERAGE
extern "C" void __gcov_dump();
#endif

namespace tolvtest {

namespace {

constexpr int kKeyTries = 100;
std::string settings_home, settings_dbs;

}  // namespace

int random_key() {
  static std::mt19937 gen(std::random_device{}() ^ static_cast<unsigned>(getpid()));
  return std::uniform_int_distribution<int>(1, kKeyMax)(gen);
}

srv_geometry small_geometry(const std::string &device) {
  srv_geometry g;
  g.nusers = 8;
  g.nlists = 2;
  g.nbufs = 8;
  g.spaces = {srv_space{"rootdbs", 1000, {srv_part{device, 0, 1000 * PAGESIZE}}}};
  g.lognfiles = 3;
  g.logfilepages = 4;
  g.logfirst = 10;
  g.bifirst = 30;
  g.bilast = 61;
  g.dbsstamp = 4711;
  return g;
}

Segment::~Segment() {
  if (key_ == 0) return;
  srv_detach(head_);
  srv_remove(key_);
  if (bm_dbs == head_) bm_dbs = nullptr;
  bm_myslot = nullptr;
}

int Segment::create(srv_geometry g) {
  int r = SRV_EXISTS;
  for (int i = 0; i < kKeyTries && r == SRV_EXISTS; i++) {
    g.key = random_key();
    r = srv_create(g, &head_);
  }
  if (r != SRV_OK) return r;
  key_ = g.key;
  bm_bind(head_);
  bm_myslot = nullptr;
  return SRV_OK;
}

void use_settings(const TempInstall &inst, const std::string &dbsname) {
  settings_home = inst.home();
  settings_dbs = dbsname;
  ba_settings.home = settings_home.data();
  ba_settings.dbsname = settings_dbs.data();
}

void clear_settings() {
  ba_settings.home = nullptr;
  ba_settings.dbsname = nullptr;
  ba_settings.debug = 0;
}

userslot *register_slot(int i, const char *progname) {
  userslot *u = &bm_dbs->users[i];
  u->pid = getpid();
  u->uflags = 0;
  u->logintime = static_cast<int32_t>(time(nullptr));
  snprintf(u->progname, sizeof u->progname, "%s", progname);
  u->uindex = i;
  u->transit = -1;
  u->beginlog = 0x7fffffff;
  u->seenstamp = bm_dbs->dbsstamp;
  u->lastlogfile = -1;
  u->lastlogoff = -1;
  bm_myslot = u;
  bm_myuindex = i;
  bm_mypid = getpid();
  return u;
}

pid_t fork_child(const std::function<int()> &body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  int rc = body();
#ifdef TOLV_COVERAGE
  __gcov_dump();  // _exit would drop what the child ran from the coverage (scripts/test --coverage)
#endif
  _exit(rc);
}

int wait_child(pid_t pid, int timeout_seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool eventually(const std::function<bool()> &cond, int timeout_seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return cond();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

namespace {

std::string list_problems(const buflist &l, int li) {
  std::string where = "list " + std::to_string(li) + ": ";
  if (l.sema.lock != 0) return where + "semaphore held";
  std::vector<int> seen(static_cast<size_t>(l.nbufs), 0);
  for (int i = 0; i < l.nbufs; i++) {
    const pagebuf *b = l.index[i];
    long k = b - l.bufs.get();
    if (b == nullptr || k < 0 || k >= l.nbufs) return where + "index entry outside the list";
    if (seen[static_cast<size_t>(k)]++ != 0) return where + "buffer twice in the index";
    if (i > 0 && pg_word(l.index[i - 1]->page, PH_PAGENR) > pg_word(b->page, PH_PAGENR))
      return where + "index not sorted at " + std::to_string(i);
  }
  int n = 0;
  const pagebuf *prev = nullptr;
  for (const pagebuf *b = l.head; b != nullptr; prev = b, b = b->next) {
    if (b->prev.get() != prev) return where + "chain links disagree";
    if (++n > l.nbufs) return where + "chain longer than the list";
    const uint32_t busy = BF_READING | BF_SAVEOLD | BF_FLUSHING;
    if (b->fixcnt != 0 || (b->flags & busy) != 0 || b->sema.lock != 0)
      return where + "page " + std::to_string(pg_word(b->page, PH_PAGENR)) + " left busy";
  }
  if (n != l.nbufs || l.tail.get() != prev) return where + "chain does not hold every buffer";
  return "";
}

}  // namespace

std::string pool_problems(const dbshead *h) {
  for (int li = 0; li < h->nlists; li++) {
    std::string p = list_problems(h->lists[li], li);
    if (!p.empty()) return p;
  }
  return "";
}

std::string strip_stamps(const std::string &log) {
  std::string out;
  size_t pos = 0;
  while (pos < log.size()) {
    size_t end = log.find('\n', pos);
    end = end == std::string::npos ? log.size() : end + 1;
    size_t date = log.find(' ', pos);
    size_t time = date < end ? log.find(' ', date + 1) : std::string::npos;
    size_t text = time < end ? time + 1 : pos;
    out.append(log, text, end - text);
    pos = end;
  }
  return out;
}

srv_geometry SegmentTest::geometry() const { return small_geometry(inst_.path("rootdbs")); }

// Closes the descriptors a previous test of this process opened: their files are gone with
// that test's installation, and a new segment may give the same fdslot to another device.
void forget_descriptors() {
  for (int i = 0; i < bm_nfdtab; i++) {
    if (bm_fdtab[i] >= 0) close(bm_fdtab[i]);
    bm_fdtab[i] = -1;
  }
}

void SegmentTest::SetUp() {
  forget_descriptors();
  use_settings(inst_);
  int r = seg_.create(geometry());
  ASSERT_EQ(r, SRV_OK) << srv_strerror(r) << ", errno " << errno;
}

void SegmentTest::TearDown() { clear_settings(); }

std::vector<unsigned char> read_page(const std::string &path, int32_t p) {
  std::vector<unsigned char> v(PAGESIZE);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0) << path;
  EXPECT_EQ(pread(fd, v.data(), PAGESIZE, off_t{p} * PAGESIZE), PAGESIZE) << path;
  if (fd >= 0) close(fd);
  return v;
}

}  // namespace tolvtest
