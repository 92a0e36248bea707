// bm_logtest.h: the fixture of the logical log's tests: a real segment whose log area lies on a
// formatted partition file, records built as a server builds them, pages read back from disk,
// and a partition that can be turned into /dev/full (every write fails with ENOSPC) and back.
//
// Geometry (small_geometry): 3 log files of 4 pages from page 10, so each file carries 3 data
// pages, 6036 record bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_io.h"
#include "bm/bm_log.h"
#include "bm/bm_logrec.h"
#include "testing/segment.h"
#include "tools/srv_format.h"

namespace logtest {

constexpr int kFileBytes = 3 * LOG_DATASIZE;  // record capacity of one log file

// A record of len bytes as a server builds it: length, user id, type, the body filled with a
// pattern of seed, the big-endian trailer.
inline std::vector<unsigned char> record(int len, int user = 1, int type = 1, int seed = 0) {
  std::vector<unsigned char> r(static_cast<size_t>(len));
  for (int i = LR_HEADLEN; i < len - LR_TRAILLEN; i++)
    r[static_cast<size_t>(i)] = static_cast<unsigned char>(seed + i);
  pg_setword(r.data(), LR_LENGTH, len);
  pg_setword(r.data(), LR_USER, user);
  r[LR_TYPE] = static_cast<unsigned char>(type);
  lr_settrailer(r.data() + len - LR_TRAILLEN, len);
  return r;
}

class LogTest : public tolvtest::SegmentTest {
 protected:
  void SetUp() override {
    SegmentTest::SetUp();
    if (HasFatalFailure()) return;
    device_ = inst_.path("rootdbs");
    int fd = open(device_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 1000 * PAGESIZE), 0);
    close(fd);
    std::string why;
    ASSERT_EQ(srv_format(geometry(), &why), SRV_OK) << why;
    bm_loginit(dbs());
    tolvtest::register_slot(0);
  }
  void TearDown() override {
    drop_descriptors();
    SegmentTest::TearDown();
  }

  logctl &lc() const { return dbs()->logctl; }
  int filled() const { return static_cast<int>(lc().lc_wrptr.get() - (lc().lc_page + PH_DATA)); }
  int16_t state(int f) const { return lc().lc_state[f]; }

  // Appends a record of len bytes; the position or null.
  logpos *append(int len, int type = 1, int force = 0, int user = 1, int seed = 0) {
    std::vector<unsigned char> r = record(len, user, type, seed);
    return bm_wrtlog(len, r.data(), force);
  }

  // Page index `index` of log file f as it is on disk.
  std::vector<unsigned char> disk_page(int f, int index) const {
    std::vector<unsigned char> p(PAGESIZE);
    int32_t pagenr = lc().lc_first + f * lc().lc_filepages + index;
    int fd = open(device_.c_str(), O_RDONLY);
    EXPECT_EQ(pread(fd, p.data(), PAGESIZE, off_t{pagenr} * PAGESIZE), PAGESIZE);
    close(fd);
    return p;
  }
  void write_disk(int f, int index, int dataoff, const void *bytes, int n) const {
    int32_t pagenr = lc().lc_first + f * lc().lc_filepages + index;
    int fd = open(device_.c_str(), O_WRONLY);
    EXPECT_EQ(pwrite(fd, bytes, static_cast<size_t>(n), off_t{pagenr} * PAGESIZE + PH_DATA +
                                                              dataoff),
              n);
    close(fd);
  }

  // Points the partition at /dev/full (writes fail with ENOSPC) or back at its file; the
  // process's descriptors are dropped so that the next transfer opens the new device.
  void device_full(bool full) {
    partition &pt = dbs()->dbspaces[0].parts[0];
    snprintf(pt.device, sizeof pt.device, "%s", full ? "/dev/full" : device_.c_str());
    drop_descriptors();
  }
  static void drop_descriptors() {
    bm_dropfds();
  }

  std::string device_;
};

}  // namespace logtest
