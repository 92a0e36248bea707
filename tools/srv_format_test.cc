// Tests of the stand-in's page layout and of the partition files: the formatted pages byte for
// byte (page numbers across partitions, bitmap bits and chain, table map, log header pages,
// cleaning page, untouched bytes outside the partitions), the creation of missing files with
// owner, mode and size, and the failures with real faults (missing file, symbolic link,
// /dev/full, missing directory).
#include "tools/srv_format.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>

#include "testing/tempinstall.h"

namespace {

using tolvtest::TempInstall;

constexpr int32_t kSpace1 = 0x01000000;
constexpr unsigned char kFill = 0xAA;  // bytes of a file before formatting

// Two dbspaces: rootdbs (1000 pages at byte 4096 of dev/root; log 3..14 in 3 files of 4
// pages, before-image area 15..30) and data (two partitions of one file dev/data with a page
// gap between them).
srv_geometry two_spaces(const TempInstall &inst) {
  srv_geometry g;
  g.spaces = {
      srv_space{"rootdbs", 1000, {srv_part{inst.path("dev/root"), 2 * PAGESIZE, 1000 * PAGESIZE}}},
      srv_space{"data",
                160,
                {srv_part{inst.path("dev/data"), 0, 100 * PAGESIZE},
                 srv_part{inst.path("dev/data"), 101 * PAGESIZE, 60 * PAGESIZE + 100}}}};
  g.lognfiles = 3;
  g.logfilepages = 4;
  g.logfirst = 3;
  g.bifirst = 15;
  g.bilast = 30;
  g.dbsstamp = 4242;
  return g;
}

class Format : public testing::Test {
 protected:
  void SetUp() override {
    g = two_spaces(inst);
    inst.write("dev/root", std::string(1010 * PAGESIZE, static_cast<char>(kFill)));
    inst.write("dev/data", std::string(165 * PAGESIZE, static_cast<char>(kFill)));
  }
  // The contents of every partition file, read once (a page-by-page check would otherwise read
  // whole files a thousand times over).
  using files = std::map<std::string, std::string>;
  files snapshot() const {
    files all;
    for (const srv_space &sp : g.spaces)
      for (const srv_part &part : sp.parts)
        if (all.count(part.device) == 0) all[part.device] = file(part.device);
    return all;
  }
  // Page k of dbspace d as formatted, taken from the files at its partition position.
  std::string page(const files &all, int d, int32_t k) const {
    int32_t p = k;
    for (const srv_part &part : g.spaces[static_cast<size_t>(d)].parts) {
      if (p < part.size / PAGESIZE)
        return all.at(part.device).substr(size_t(part.offset) + size_t(p) * PAGESIZE, PAGESIZE);
      p -= part.size / PAGESIZE;
    }
    return "";
  }
  std::string page(int d, int32_t k) const { return page(snapshot(), d, k); }
  std::string file(const std::string &path) const { return tolvtest::read_file(path); }
  static int32_t word(const std::string &page, int off) { return pg_word(page.data(), off); }
  static bool bit(const std::string &page, int32_t j) {
    return (static_cast<unsigned char>(page[size_t(BMP_BITS + j / 8)]) & (0x80 >> (j % 8))) != 0;
  }
  // Every byte of page in [from, to) is zero.
  static bool zero(const std::string &page, int from, int to) {
    return page.find_first_not_of('\0', size_t(from)) >= size_t(to);
  }

  TempInstall inst;
  srv_geometry g;
};

// ---- Layout --------------------------------------------------------------------------------

TEST(Layout, BitmapChainAndHeadPages) {
  EXPECT_EQ(srv_nbitmaps(0), 1);
  EXPECT_EQ(srv_nbitmaps(16096), 1);
  EXPECT_EQ(srv_nbitmaps(16097), 2);
  EXPECT_EQ(srv_nbitmaps(1 << 24), 1043);
  EXPECT_EQ(srv_bitmappage(0), 1);
  EXPECT_EQ(srv_bitmappage(1), 3);
  EXPECT_EQ(srv_bitmappage(2), 4);
  EXPECT_EQ(srv_headpages(1000), 3);
  EXPECT_EQ(srv_headpages(40000), 5);
  EXPECT_EQ(srv_pagenr(5, 16), 0x05000010);
  EXPECT_EQ(srv_spaceof(0x05000010), 5);
  EXPECT_EQ(srv_pageof(0x05000010), 16);
}

TEST(Layout, ReservedAreasOfEachDbspace) {
  TempInstall inst;
  srv_geometry g = two_spaces(inst);
  srv_areas a = srv_spaceareas(g, 0), b = srv_spaceareas(g, 1);
  EXPECT_STREQ(a.reserved(0), "is the DBS root page");
  EXPECT_STREQ(a.reserved(1), "is a free-page bitmap page");
  EXPECT_STREQ(a.reserved(2), "is the table map page");
  EXPECT_STREQ(a.reserved(3), "lies in the log area");
  EXPECT_STREQ(a.reserved(14), "lies in the log area");
  EXPECT_STREQ(a.reserved(15), "lies in the before-image area");
  EXPECT_STREQ(a.reserved(30), "lies in the before-image area");
  EXPECT_EQ(a.reserved(31), nullptr);
  EXPECT_EQ(a.reserved(999), nullptr);
  EXPECT_STREQ(b.reserved(0), "is page 0 of its dbspace");
  EXPECT_STREQ(b.reserved(2), "is the table map page");
  EXPECT_EQ(b.reserved(3), nullptr);  // the log lies in dbspace 0
  EXPECT_EQ(b.reserved(15), nullptr);
}

// ---- Formatting ----------------------------------------------------------------------------

TEST_F(Format, EveryPageCarriesItsNumberAcrossPartitions) {
  ASSERT_EQ(srv_format(g, nullptr), SRV_OK);
  const files all = snapshot();
  for (int32_t k = 0; k < 1000; k++) ASSERT_EQ(word(page(all, 0, k), PH_PAGENR), k) << k;
  for (int32_t k = 0; k < 160; k++) ASSERT_EQ(word(page(all, 1, k), PH_PAGENR), kSpace1 + k) << k;
  // An ordinary page is zero behind its number.
  EXPECT_TRUE(zero(page(0, 500), 4, PAGESIZE));
  EXPECT_TRUE(zero(page(1, 120), 4, PAGESIZE));
  // Bytes outside the partitions stay as they were: before rootdbs, the gap in dev/data, and
  // the part of the last partition that is no whole page.
  std::string root = file(inst.path("dev/root")), data = file(inst.path("dev/data"));
  EXPECT_EQ(root.substr(0, 2 * PAGESIZE), std::string(2 * PAGESIZE, char(kFill)));
  EXPECT_EQ(data.substr(100 * PAGESIZE, PAGESIZE), std::string(PAGESIZE, char(kFill)));
  EXPECT_EQ(data.substr(161 * PAGESIZE, 100), std::string(100, char(kFill)));
}

TEST_F(Format, BitmapMarksReservedPagesAndPagesBeyondTheDbspace) {
  ASSERT_EQ(srv_format(g, nullptr), SRV_OK);
  std::string bm = page(0, 1);
  EXPECT_EQ(word(bm, BMP_NEXT), -1);
  EXPECT_EQ(word(bm, PH_PAGETYPE), PT_BITMAP);
  for (int32_t j = 0; j < BMP_PAGES; j++) ASSERT_EQ(bit(bm, j), j <= 30 || j >= 1000) << j;
  // Bit order: the first page of a byte is its most significant bit.
  EXPECT_EQ(static_cast<unsigned char>(bm[BMP_BITS + 3]), 0xFE);  // pages 24..30 used, 31 free
  EXPECT_EQ(static_cast<unsigned char>(bm[BMP_BITS + 124]), 0x00);
  EXPECT_EQ(static_cast<unsigned char>(bm[BMP_BITS + 125]), 0xFF);
  EXPECT_TRUE(zero(bm, 4, 8));
  EXPECT_TRUE(zero(bm, PH_BISEQ2, PAGESIZE));
  std::string bm1 = page(1, 1);  // data: its head pages 0..2 and everything from 160
  for (int32_t j = 0; j < BMP_PAGES; j++) ASSERT_EQ(bit(bm1, j), j <= 2 || j >= 160) << j;
}

TEST_F(Format, LongDbspaceGetsABitmapChain) {
  // The dbspace claims 16100 pages; only its first 20 lie in the file, enough for its head.
  g.spaces.resize(1);
  g.spaces[0].npages = 16100;
  g.spaces[0].parts[0].size = 20 * PAGESIZE;
  ASSERT_EQ(srv_format(g, nullptr), SRV_OK);
  std::string first = page(0, 1), second = page(0, 3);
  EXPECT_EQ(word(first, BMP_NEXT), 3);
  EXPECT_EQ(word(second, BMP_NEXT), -1);
  EXPECT_EQ(word(second, PH_PAGETYPE), PT_BITMAP);
  EXPECT_TRUE(bit(first, 3));  // the second bitmap page itself is in use
  for (int32_t j = 0; j < BMP_PAGES; j++)
    ASSERT_EQ(bit(second, j), j >= 4) << j;  // 16096..16099 free
  EXPECT_STREQ(srv_spaceareas(g, 0).reserved(3), "is a free-page bitmap page");
}

TEST_F(Format, TableMapIsEmpty) {
  ASSERT_EQ(srv_format(g, nullptr), SRV_OK);
  for (int d : {0, 1}) {
    std::string tm = page(d, 2);
    EXPECT_EQ(word(tm, PH_PAGENR), srv_pagenr(d, 2));
    EXPECT_TRUE(zero(tm, 4, 8));
    EXPECT_EQ(word(tm, 8), -1);
    EXPECT_EQ(word(tm, 12), -1);
    EXPECT_TRUE(zero(tm, 16, 24));
    EXPECT_EQ(word(tm, 24), 0x80000);
    EXPECT_TRUE(zero(tm, 28, 32));
    for (int i = 0; i < 402; i++)
      ASSERT_EQ(tm.substr(size_t(32 + 5 * i), 5), std::string("\xFF\xFF\xFF\xFF\x00", 5)) << i;
    EXPECT_TRUE(zero(tm, 32 + 2010, PAGESIZE));
  }
}

TEST_F(Format, LogFilesHaveHeaderPagesWithIdsAndSequence) {
  ASSERT_EQ(srv_format(g, nullptr), SRV_OK);
  const int32_t logid[] = {1, -1, -1};
  for (int f = 0; f < 3; f++) {
    std::string h = page(0, 3 + 4 * f);
    EXPECT_EQ(word(h, PH_PAGENR), 3 + 4 * f);
    EXPECT_TRUE(zero(h, 4, 20));
    EXPECT_EQ(word(h, PH_STAMP), 4242);
    EXPECT_EQ(word(h, PH_PAGETYPE), 0x40000);
    EXPECT_EQ(word(h, PH_BISEQ), f + 1);
    EXPECT_EQ(word(h, PH_BISEQ2), f + 1);
    EXPECT_EQ(word(h, PH_DATA), logid[f]);
    EXPECT_EQ(word(h, PH_DATA + 4), 0);
    EXPECT_TRUE(zero(h, PH_DATA + 8, PH_BISEQ2));
    EXPECT_EQ(srv_logheadseq(f), f + 1);
    EXPECT_EQ(srv_newlogid(f), logid[f]);
    EXPECT_TRUE(zero(page(0, 4 + 4 * f), 4, PAGESIZE));  // data pages: number only
  }
}

TEST_F(Format, BeforeImageAreaStartsWithTheCleaningPage) {
  ASSERT_EQ(srv_format(g, nullptr), SRV_OK);
  std::string c = page(0, 15);
  EXPECT_EQ(word(c, PH_PAGENR), 15);
  EXPECT_TRUE(zero(c, 4, 20));
  EXPECT_EQ(word(c, PH_STAMP), 4242);
  EXPECT_TRUE(zero(c, 24, 28));
  EXPECT_EQ(word(c, PH_BISEQ), 0x7fffffff);
  EXPECT_TRUE(zero(c, 32, PH_BISEQ2));
  EXPECT_EQ(word(c, PH_BISEQ2), 0x7fffffff);
  EXPECT_TRUE(zero(page(0, 16), 4, PAGESIZE));
}

// ---- Creating the files (root: the files go to the user tolv) -------------------------------

class MakeFiles : public Format {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || getpwnam("tolv") == nullptr)
      GTEST_SKIP() << "needs root and the user tolv";
    g = two_spaces(inst);
    tolvtest::make_dirs(inst.path("dev"));
  }
};

TEST_F(MakeFiles, MissingFilesAreCreatedForTolvWithModeAndSize) {
  inst.write("dev/data", "kept");
  std::vector<std::string> created;
  ASSERT_EQ(srv_makefiles(g.spaces, &created, nullptr), SRV_OK);
  EXPECT_EQ(created, std::vector<std::string>{inst.path("dev/root")});
  struct stat st;
  ASSERT_EQ(stat(inst.path("dev/root").c_str(), &st), 0);
  const passwd *tolv = getpwnam("tolv");
  EXPECT_EQ(st.st_uid, tolv->pw_uid);
  EXPECT_EQ(st.st_gid, tolv->pw_gid);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(st.st_size, 1002 * PAGESIZE);
  EXPECT_EQ(inst.read("dev/data"), "kept");  // an existing file is left alone
  srv_unmakefiles(created);
  EXPECT_NE(access(inst.path("dev/root").c_str(), F_OK), 0);
}

TEST_F(MakeFiles, AFileIsSizedForItsLastPartition) {
  std::vector<std::string> created;
  ASSERT_EQ(srv_makefiles(g.spaces, &created, nullptr), SRV_OK);
  EXPECT_EQ(created.size(), 2u);
  struct stat st;
  ASSERT_EQ(stat(inst.path("dev/data").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 161 * PAGESIZE + 100);
}

// ---- Error paths ---------------------------------------------------------------------------

TEST_F(MakeFiles, SymbolicLinkIsRefusedAndEarlierFilesAreRemoved) {
  ASSERT_EQ(symlink(inst.path("elsewhere").c_str(), inst.path("dev/data").c_str()), 0);
  std::vector<std::string> created;
  std::string why;
  EXPECT_EQ(srv_makefiles(g.spaces, &created, &why), SRV_FILE);
  EXPECT_EQ(why, inst.path("dev/data") + " is a symbolic link");
  EXPECT_TRUE(created.empty());
  EXPECT_NE(access(inst.path("dev/root").c_str(), F_OK), 0);  // made in this call, removed
  EXPECT_NE(access(inst.path("elsewhere").c_str(), F_OK), 0);
}

TEST_F(MakeFiles, DirectoryIsNoPartitionFile) {
  tolvtest::make_dirs(inst.path("dev/root"));
  std::string why;
  std::vector<std::string> created;
  EXPECT_EQ(srv_makefiles(g.spaces, &created, &why), SRV_FILE);
  EXPECT_EQ(why, inst.path("dev/root") + " is neither a file nor a device");
}

TEST_F(MakeFiles, MissingDirectoryFailsWithTheSystemReason) {
  g.spaces[1].parts[0].device = g.spaces[1].parts[1].device = inst.path("nodir/data");
  std::string why;
  std::vector<std::string> created;
  EXPECT_EQ(srv_makefiles(g.spaces, &created, &why), SRV_FILE);
  EXPECT_EQ(why, "cannot create partition file " + inst.path("nodir/data") +
                     ": No such file or directory");
  EXPECT_NE(access(inst.path("dev/root").c_str(), F_OK), 0);
}

TEST_F(Format, MissingPartitionFileFails) {
  unlink(inst.path("dev/data").c_str());
  std::string why;
  EXPECT_EQ(srv_format(g, &why), SRV_FILE);
  EXPECT_EQ(why,
            "cannot open partition file " + inst.path("dev/data") + ": No such file or directory");
}

TEST_F(Format, PartitionBehindASymbolicLinkIsNotWritten) {
  std::string target = inst.path("target");
  inst.write("target", "untouched");
  unlink(inst.path("dev/data").c_str());
  ASSERT_EQ(symlink(target.c_str(), inst.path("dev/data").c_str()), 0);
  std::string why;
  EXPECT_EQ(srv_format(g, &why), SRV_FILE);
  EXPECT_EQ(why, "cannot open partition file " + inst.path("dev/data") +
                     ": Too many levels of symbolic links");
  EXPECT_EQ(inst.read("target"), "untouched");
}

TEST_F(Format, FullDeviceFailsTheWrite) {
  g.spaces.resize(1);
  g.spaces[0].parts[0].device = "/dev/full";
  std::string why;
  EXPECT_EQ(srv_format(g, &why), SRV_FILE);
  EXPECT_EQ(why, "cannot write the pages of /dev/full: No space left on device");
}

}  // namespace
