// Tests of the read-only view and the rates of tolvdb stat --watch.
#include "tools/srv_watch.h"

#include <gtest/gtest.h>
#include <sys/shm.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "testing/segment.h"
#include "tools/srv_create.h"

namespace {

TEST(Rates, AreDifferencesPerSecondAcrossTheWrapOfA32BitCounter) {
  srv_counters a, b;
  a.reads = 100, b.reads = 400;
  a.writes = 0xFFFFFFF0u, b.writes = 0x10;  // wrapped: 32 more
  a.flushwait = 7, b.flushwait = 7;
  a.biwait = 0, b.biwait = 10;
  a.nofree = 1, b.nofree = 3;
  srv_rates r = srv_ratesof(a, b, 2.0);
  EXPECT_DOUBLE_EQ(r.reads, 150.0);
  EXPECT_DOUBLE_EQ(r.writes, 16.0);
  EXPECT_DOUBLE_EQ(r.flushwait, 0.0);
  EXPECT_DOUBLE_EQ(r.biwait, 5.0);
  EXPECT_DOUBLE_EQ(r.nofree, 1.0);
}

class View : public tolvtest::SegmentTest {};

TEST_F(View, IsReadOnlyAndSeesTheCounters) {
  dbs()->st_writes = 1234;
  // In a child, which has the segment only through the view: it sees the counter, and a store
  // into the view faults.
  pid_t child = tolvtest::fork_child([this] {
    shmdt(dbs());
    const dbshead *h = nullptr;
    if (srv_attachview(seg_.key(), &h) != SRV_OK) return 2;
    if (srv_snapshot(h).writes != 1234u) return 3;
    signal(SIGSEGV, SIG_DFL);  // no sanitizer's report: the plain fault
    const_cast<dbshead *>(h)->st_writes = 1;
    return 0;
  });
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV)
      << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  EXPECT_EQ(dbs()->st_writes, 1234);
}

TEST_F(View, OfANonDbsSegmentOrOfNoneIsRefused) {
  const int key = seg_.key() + tolvtest::kKeyMax;  // outside the range of the test keys
  const dbshead *h = nullptr;
  int id = shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600);
  if (id < 0) GTEST_SKIP() << "key " << key << " is taken";
  EXPECT_EQ(srv_attachview(key, &h), SRV_NOTDBS);
  shmctl(id, IPC_RMID, nullptr);
  EXPECT_EQ(srv_attachview(key, &h), SRV_SHMGET);
  EXPECT_EQ(h, nullptr);
}

TEST_F(View, WatchWritesAHeaderAndCountLines) {
  char *text = nullptr;
  size_t len = 0;
  FILE *out = open_memstream(&text, &len);
  ASSERT_EQ(srv_watch(out, dbs(), 1, 1), 1);
  fclose(out);
  std::string s(text, len);
  free(text);
  EXPECT_EQ(s.substr(0, s.find('\n') + 1),
            "time       read/s written/s flushwait/s biwait/s nofree/s  dirty\n");
  EXPECT_NE(s.find("      0.0       0.0         0.0      0.0      0.0      0\n"), std::string::npos)
      << s;
}

}  // namespace
