// Real faults under the running daemon, each removed again afterwards: the partition file is
// cut short under the DBS on a device that is full, and the directory of the DBS message log
// vanishes meanwhile. The daemon keeps running, keeps the pages it cannot write dirty, reports
// what it can, and once the faults are gone every page of the pool reaches its partition
// (a process that opens the partition afterwards needs the file's length back: the open probes
// the partition's last page).
//
// The device is a small tmpfs mounted on the installation's dbs/ directory (needs root and a
// kernel that lets root mount; skipped otherwise).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <unistd.h>

#include "testing/installed.h"
#include "testing/segment.h"

namespace {

using tolvtest::eventually;

constexpr int32_t kCutPages = 600;  // the partition keeps pages 0 .. 599
constexpr int32_t kFirst = 900;     // the pages updated beyond the cut
constexpr int kCount = 20;

class Faults : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || getpwnam("tolv") == nullptr)
      GTEST_SKIP() << "needs root and the user tolv";
    dir_ = dbs.inst().path("dbs");
    if (mount("tolvfaults", dir_.c_str(), "tmpfs", 0, "size=3m,mode=0755") != 0)
      GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
    mounted_ = true;
    tolvtest::runresult r = dbs.create();
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_NE(dbs.attach(), nullptr);
    ASSERT_EQ(dbs.tolvdb({"flushpct", "-1"}).status, 0);
    ASSERT_EQ(dbs.tolvflush({"testdbs"}).status, 0);
    ASSERT_TRUE(eventually([this] { return dbs.daemon_slot() != nullptr; }));
  }
  void TearDown() override {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  // Waits for one more pass of the daemon (it copies the changed stamp into its slot).
  bool pass() {
    int32_t stamp = ++dbs.head()->dbsstamp;
    return eventually([&] {
      const userslot *u = dbs.daemon_slot();
      return u != nullptr && u->seenstamp == stamp;
    });
  }
  int dirty() const {
    int n = 0;
    for (int l = 0; l < dbs.head()->nlists; l++)
      for (int b = 0; b < dbs.head()->lists[l].nbufs; b++)
        n += (dbs.head()->lists[l].bufs[b].flags & BF_DIRTY) != 0;
    return n;
  }
  // Fills the device with a file of its own until nothing more fits.
  void fill_device() const {
    int fd = open((dir_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    char block[4096] = {};
    while (write(fd, block, sizeof block) > 0) {
    }
    close(fd);
  }

  tolvtest::InstalledDbs dbs;
  std::string dir_;
  bool mounted_ = false;
};

TEST_F(Faults, CutPartitionOnAFullDeviceAndAVanishedLogLoseNothing) {
  // The daemon has the partition open already (a partition cut short is refused at its open).
  ASSERT_EQ(dbs.tolvdb({"touch", "500", "1", "--new"}).status, 0);
  ASSERT_TRUE(eventually([this] { return pass() && dirty() == 0; }));
  off_t size = static_cast<off_t>(tolvtest::read_file(dbs.device()).size());
  ASSERT_EQ(truncate(dbs.device().c_str(), off_t{kCutPages} * PAGESIZE), 0);
  fill_device();
  std::string log = dbs.inst().path("log"), gone = log + ".gone";
  ASSERT_EQ(rename(log.c_str(), gone.c_str()), 0);
  ASSERT_EQ(dbs.tolvdb({"touch", std::to_string(kFirst), std::to_string(kCount), "--new"}).status,
            0);
  for (int i = 0; i < 3; i++) ASSERT_TRUE(pass()) << "the daemon stopped its passes";
  EXPECT_EQ(dirty(), kCount);  // nowhere to write them: they wait in the pool

  ASSERT_EQ(rename(gone.c_str(), log.c_str()), 0);
  ASSERT_TRUE(pass());
  EXPECT_EQ(dirty(), kCount);
  ASSERT_EQ(unlink((dir_ + "/filler").c_str()), 0);
  EXPECT_TRUE(eventually([this] { return pass() && dirty() == 0; }));
  // The administrator gives the file its length back; the pages written beyond the cut stay.
  ASSERT_EQ(truncate(dbs.device().c_str(), size), 0);
  tolvtest::runresult v = dbs.tolvdb({"verify"});
  EXPECT_EQ(v.status, 0) << v.out;
  // The failures counted while the log was gone are reported with the recovery.
  std::string text = dbs.inst().read("log/testdbs");
  size_t at = text.find("succeeds again.");
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_GT(atoi(text.c_str() + at + strlen("succeeds again.")), 0) << text;
  EXPECT_NE(dbs.daemon_slot(), nullptr);
}

}  // namespace
