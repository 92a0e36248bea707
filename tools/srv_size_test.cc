// Tests of the stand-in's sizing: every rule from configuration value to geometry field, the
// partitions in bytes, the sample configuration, and the refusals (areas that do not fit the
// first partition, an archive buffer too large for the arena, no buffers, a segment beyond
// 4 GiB).
#include "tools/srv_size.h"

#include <gtest/gtest.h>

#include <cstring>

#include "ba/ba_conf.h"
#include "ba/globals.h"
#include "testing/segment.h"
#include "testing/tempinstall.h"
#include "tools/srv_layout.h"

namespace {

using tolvtest::TempInstall;

constexpr const char *kBase =
    "D 4711\n"
    "S 10 5000 400 100 0x40000000 2 0\n"
    "C 300 1 4 32 8\n"
    "O 0 20 3 256\n"
    "R 40 30 0 1\n"
    "P 400\n"
    "F root /x/root 16000 0\n"
    "A root /x/root2 1000 8\n"
    "F data /x/data 600 0\n"
    "L root 3 400\n";

// Parses a configuration (without checks: the rules are tested on the values as written).
class Sizing : public testing::Test {
 protected:
  void SetUp() override { tolvtest::use_settings(inst); }
  void TearDown() override {
    ba_freeconf();
    tolvtest::clear_settings();
  }
  int size(const std::string &extra, std::string *why = nullptr) {
    inst.write("etc/testdbs.cfg", kBase + extra);
    EXPECT_EQ(ba_readconf(0, ""), 0) << ba_conferr;
    return srv_sizing(dbsconfig, 777, &g, why);
  }

  TempInstall inst;
  srv_geometry g;
};

TEST_F(Sizing, EveryRuleFromValueToGeometry) {
  ASSERT_EQ(size(""), SRV_OK);
  EXPECT_EQ(g.key, 4711);
  EXPECT_EQ(g.shmaddr, 0x40000000u);
  EXPECT_EQ(g.nusers, 10);
  EXPECT_EQ(g.nlists, 4);
  EXPECT_EQ(g.nbufs, 100);
  EXPECT_EQ(g.imgmax, 40);
  EXPECT_EQ(g.ntables, 32);
  EXPECT_EQ(g.ntablocks, 8);
  EXPECT_EQ(g.arenasize, 256 * 1024);
  EXPECT_EQ(g.memlimit, 256 * 1024);
  EXPECT_EQ(g.archmax, 3);
  EXPECT_EQ(g.flushpct, 20);
  EXPECT_EQ(g.dbsstamp, 777);
  EXPECT_EQ(g.state, DBS_ONLINE);
  // Log and before-image area right behind the three head pages of dbspace 0.
  EXPECT_EQ(g.lognfiles, 3);
  EXPECT_EQ(g.logfilepages, 200);
  EXPECT_EQ(g.logfirst, 3);
  EXPECT_EQ(g.bifirst, 603);
  EXPECT_EQ(g.bilast, 802);
  EXPECT_EQ(g.nbitab, 200);
}

TEST_F(Sizing, PartitionsInBytesAndPagesSummed) {
  ASSERT_EQ(size(""), SRV_OK);
  ASSERT_EQ(g.spaces.size(), 2u);
  EXPECT_EQ(g.spaces[0].name, "ROOT");
  EXPECT_EQ(g.spaces[0].npages, 8500);
  ASSERT_EQ(g.spaces[0].parts.size(), 2u);
  EXPECT_EQ(g.spaces[0].parts[1].device, "/x/root2");
  EXPECT_EQ(g.spaces[0].parts[1].offset, 8 * 1024);
  EXPECT_EQ(g.spaces[0].parts[1].size, 1000 * 1024);
  EXPECT_EQ(g.spaces[1].npages, 300);
}

TEST_F(Sizing, UncheckedSizesAreHeldWithinTwoGigabytes) {
  ASSERT_EQ(size("A data /x/big 5000000 -4\n"), SRV_OK);
  EXPECT_EQ(g.spaces[1].parts[1].size, INT32_MAX);
  EXPECT_EQ(g.spaces[1].parts[1].offset, 0);
}

TEST_F(Sizing, SampleConfigurationSizesTheDemo) {
  inst.write("etc/demo.cfg", tolvtest::read_file(tolvtest::source_dir() + "/share/etc/demo.cfg"));
  ASSERT_EQ(ba_readconf(0, "demo"), 0) << ba_conferr;
  for (int d = 0; d < dbsconfig.ndbspace; d++)
    for (int i = 0; i < dbsconfig.dbspaces[d].nparts; i++) {
      const char *path = dbsconfig.dbspaces[d].parts[i].path;
      EXPECT_EQ(path[0], '/');
      EXPECT_LE(strlen(path), 50u);
    }
  ASSERT_EQ(srv_sizing(dbsconfig, 1, &g, nullptr), SRV_OK);
  EXPECT_EQ(g.shmaddr, 0x40000000u);
  EXPECT_EQ(g.nusers, 8);
  EXPECT_EQ(g.nlists, 4);
  EXPECT_EQ(g.nbufs, 64);
  EXPECT_EQ(g.logfirst, 3);
  EXPECT_EQ(g.bilast, 802);
}

TEST(SizingRules, HelpNamesEveryRule) {
  std::string rules = srv_sizingrules();
  for (const char *word : {"user slots", "buffer lists", "buffers per list", "log files",
                           "before-image area", "before-image buffer", "table descriptors",
                           "shared arena", "flushpct", "key, address", "4 GiB"})
    EXPECT_NE(rules.find(word), std::string::npos) << word;
}

// ---- Error paths ---------------------------------------------------------------------------

TEST_F(Sizing, AreasThatDoNotFitTheFirstPartitionAreRefused) {
  std::string why;
  EXPECT_EQ(size("P 31000\n", &why), SRV_BADGEOMETRY);
  EXPECT_EQ(why,
            "head pages, log and before-image area (16103 pages) do not fit the first "
            "partition of dbspace ROOT (8000 pages)");
}

TEST_F(Sizing, ArchiveBufferMustFitTheArena) {
  std::string why;
  EXPECT_EQ(size("O 0 10 20 32\n", &why), SRV_BADGEOMETRY);
  EXPECT_EQ(why, "the archive buffer of 20 pages does not fit the arena of 32 kilobytes");
  EXPECT_EQ(size("O 0 10 15 32\n", &why), SRV_OK);
}

TEST_F(Sizing, NoListsMeansNoBuffers) {
  std::string why;
  EXPECT_EQ(size("C 300 1 0\n", &why), SRV_BADGEOMETRY);
  EXPECT_EQ(why, "no buffers: 0 lists for 400 buffers");
}

TEST_F(Sizing, SegmentMustEndBelowFourGigabytes) {
  std::string why;
  EXPECT_EQ(size("S 10 5000 99999 100 0xFF000000\n", &why), SRV_BADGEOMETRY);
  EXPECT_EQ(why, "the segment must end below 4 GiB");
  EXPECT_EQ(size("S 10 5000 400 100 0x0\n", &why), SRV_BADGEOMETRY);
  EXPECT_EQ(why, "attach address: non-zero and SHMLBA-aligned");
}

}  // namespace
