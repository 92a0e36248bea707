// bm_pagetest.h: test support for the modules that work on pages of real partition files
// (extents, tables, actions): a segment whose dbspaces are files of numbered pages, and the
// writing and reading of single pages on disk.
//
// PagesTest formats "rootdbs" (1000 pages) with every page carrying its number and a data page
// type, writes a bitmap page 1 in which the head pages (0 .. kHead - 1) and the pages beyond
// the dbspace are in use and everything else free, and an empty table map on page 2. The test
// process is registered in user slot 1 as "TOLVDB".
//
// See also: testing/segment.h (the segment fixture), bm_free.h (bitmap layout), bm_table.h
// (map, root and column pages).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ba/globals.h"
#include "bm/bm_free.h"
#include "bm/bm_globals.h"
#include "testing/segment.h"

namespace tolvtest {

constexpr int kDataType = 1;
constexpr int32_t kRootPages = 1000;
constexpr int32_t kHead = 64;  // pages 0 .. 63 hold the fixed areas of the small geometry

inline int32_t pn(int space, int32_t page) {
  return static_cast<int32_t>(static_cast<uint32_t>(space) << PN_SPACESHIFT) | page;
}

using Page = std::vector<unsigned char>;

// A page carrying its number pagenr and page type type, data zero.
inline Page blank_page(int32_t pagenr, int32_t type = kDataType) {
  Page p(PAGESIZE);
  pg_setword(p.data(), PH_PAGENR, pagenr);
  pg_setword(p.data(), PH_PAGETYPE, type);
  return p;
}

inline void write_page(const std::string &path, int32_t k, const Page &p) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, p.data(), PAGESIZE, off_t{k} * PAGESIZE), PAGESIZE);
  close(fd);
}

inline Page read_page(const std::string &path, int32_t k) {
  Page p(PAGESIZE);
  int fd = open(path.c_str(), O_RDONLY);
  EXPECT_EQ(pread(fd, p.data(), PAGESIZE, off_t{k} * PAGESIZE), PAGESIZE);
  close(fd);
  return p;
}

// A file of n pages of dbspace space, each carrying its number (a sparse file beyond them).
inline void number_pages(const std::string &path, int space, int32_t n, int32_t file_pages) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t{file_pages} * PAGESIZE), 0);
  close(fd);
  for (int32_t i = 0; i < n; i++) write_page(path, i, blank_page(pn(space, i)));
}

// Bitmap page k of dbspace space covering pages first .. first + FB_PAGES - 1: pages below
// used_below and from end on are in use; next is the next bitmap page number.
inline Page bitmap_page(int space, int32_t k, int32_t first, int32_t used_below, int32_t end,
                        int32_t next) {
  Page p = blank_page(pn(space, k), 0x10000);
  pg_setword(p.data(), FB_NEXT, next);
  for (int32_t i = 0; i < FB_PAGES; i++)
    if (first + i < used_below || first + i >= end)
      p[FB_BITS + i / 8] |= static_cast<unsigned char>(0x80u >> (i % 8));
  return p;
}

// An empty table map page k of dbspace space.
inline Page map_page(int space, int32_t k) {
  Page p = blank_page(pn(space, k), PT_TABMAP);
  pg_setword(p.data(), 8, -1);
  pg_setword(p.data(), 12, -1);
  for (int i = 0; i < 402 * 5; i++) p[PH_DATA + i] = i % 5 == 4 ? 0 : 0xFF;
  return p;
}

class PagesTest : public SegmentTest {
 protected:
  void SetUp() override {
    number_pages(inst_.path("rootdbs"), 0, kRootPages, kRootPages);
    write_page(inst_.path("rootdbs"), FB_FIRST, bitmap_page(0, FB_FIRST, 0, kHead, kRootPages, -1));
    write_page(inst_.path("rootdbs"), 2, map_page(0, 2));
    SegmentTest::SetUp();
    me_ = register_slot(1, "TOLVDB");
  }
  void TearDown() override {
    EXPECT_EQ(pool_problems(dbs()), "");
    SegmentTest::TearDown();
  }
  bool logged(const std::string &text) const {
    return log_text().find(text) != std::string::npos;
  }
  userslot *me_ = nullptr;
};

}  // namespace tolvtest
