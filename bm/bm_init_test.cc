// Tests of bm_init: attaching a real segment and the checks of its header. The test process has
// the fixture's segment attached at its address already, so every attach runs in a forked child
// that first lets go of that mapping.
#include "bm/bm_init.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

#include "ba/ba_proto.h"
#include "bm/bm_proto.h"
#include "testing/segment.h"

namespace {

using tolvtest::fork_child;
using tolvtest::wait_child;

class Attach : public tolvtest::SegmentTest {
 protected:
  // Runs body in a child that has detached the fixture's mapping; the child's exit status.
  int in_fresh_process(const std::function<int()> &body) {
    dbshead *mine = dbs();
    return wait_child(fork_child([&] {
      srv_detach(mine);
      bm_dbs = nullptr;
      return body();
    }));
  }
  // The fixture's attach address, which is the one its header records (read without touching
  // the segment, so that it serves after the detach too).
  unsigned long addr() const { return reinterpret_cast<unsigned long>(dbs()); }
  int key() const { return seg_.key(); }
};

TEST_F(Attach, AtTheConfiguredAddressBindsTheProcess) {
  EXPECT_EQ(in_fresh_process([&] {
              dbshead *h = bm_init(key(), addr());
              if (h == nullptr) return 1;
              if (reinterpret_cast<unsigned long>(h) != addr() || bm_dbs != h) return 2;
              if (bm_myuindex != 1000000 || bm_mypid != getpid()) return 3;
              return bm_shmdt() == 0 ? 0 : 4;
            }),
            0);
}

TEST_F(Attach, ADbsThatIsNotOnlineIsStillAttached) {
  dbs()->state = 2;
  EXPECT_EQ(in_fresh_process([&] { return bm_init(key(), addr()) != nullptr ? 0 : 1; }), 0);
}

TEST_F(Attach, WithoutAnAddressTheHeaderMustNameTheOneTheSystemChose) {
  // The system puts the segment at a high address, never at the header's 0x40000000.
  EXPECT_EQ(in_fresh_process([&] {
              if (bm_init(key(), 0) != nullptr) return 1;
              return iserrno == -343 ? 0 : 2;
            }),
            0);
  const std::string log = log_text();
  EXPECT_EQ(log.rfind("ba_shmat: got 0x", 0), 0u) << log;
  char expected[40];
  snprintf(expected, sizeof expected, ", expected 0x%8x\n", dbs()->shmaddr);
  EXPECT_NE(log.find(expected), std::string::npos) << log;
}

// ---- Error paths ---------------------------------------------------------------------------

TEST_F(Attach, AHeaderMadeForAnotherAddressIsRefusedAtTheRequestedOne) {
  dbs()->shmaddr = 0x50000000;
  EXPECT_EQ(in_fresh_process([&] {
              if (bm_init(key(), addr()) != nullptr) return 1;
              return iserrno == -343 ? 0 : 2;
            }),
            0);
  EXPECT_EQ(log_text(), "ba_shmat: got 0x40000000, expected 0x50000000\n");
}

TEST_F(Attach, NoSegmentLeavesTheLookupErrorInIserrno) {
  EXPECT_EQ(in_fresh_process([&] {
              int unused = key() == 1 ? 2 : key() - 1;
              while (shmget(unused, 0, 0) >= 0) unused = unused % 10000 + 1;
              if (bm_init(unused, addr()) != nullptr) return 1;
              return iserrno == ENOENT && bm_dbs == nullptr ? 0 : 2;
            }),
            0);
}

TEST_F(Attach, AForeignMagicIsRefused) {
  dbs()->magic = 0x12345678;
  EXPECT_EQ(in_fresh_process([&] {
              if (bm_init(key(), addr()) != nullptr) return 1;
              return iserrno == -355 ? 0 : 2;
            }),
            0);
}

TEST_F(Attach, AForeignSegmentIsNamedByItsMagicBeforeItsAddress) {
  dbs()->magic = 0;
  dbs()->shmaddr = 0;
  EXPECT_EQ(in_fresh_process([&] {
              if (bm_init(key(), addr()) != nullptr) return 1;
              return iserrno == -355 ? 0 : 2;
            }),
            0);
  EXPECT_EQ(log_text(), "");
}

TEST_F(Attach, AHeaderOfAnotherKeyIsRefused) {
  dbs()->shmkey = key() + 1;
  EXPECT_EQ(in_fresh_process([&] {
              if (bm_init(key(), addr()) != nullptr) return 1;
              return iserrno == -356 ? 0 : 2;
            }),
            0);
}

TEST_F(Attach, AnAddressTakenAlreadyFailsWithTheSystemError) {
  // The fixture's mapping stays in place here: the attach at its address cannot succeed.
  EXPECT_EQ(wait_child(fork_child([&] {
              if (bm_init(key(), addr()) != nullptr) return 1;
              return iserrno == EINVAL ? 0 : 2;
            })),
            0);
}

}  // namespace
