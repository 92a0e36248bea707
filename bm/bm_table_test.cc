// Tests of the table handles: the binding to the shared descriptors, and, with real root, column and map pages on a partition file: the
// descriptor a root page loads into (type codes split, decimal key lengths, column 288 on the
// second column page, special columns), the reuse of a loaded descriptor without reading the
// root page, the refusals of opens (-304, -306, -313, -366, -365), the table map (tabslot 402,
// an appended map page, every mode), the value cell, the rowid registry, closing twice, and
// concurrent opens and closes by real processes that leave the usage record balanced.
#include "bm/bm_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_main.h"
#include "bm/bm_pagetest.h"
#include "bm/bm_sema.h"
#include "bm/bm_shm.h"

namespace {

using TableBinding = tolvtest::SegmentTest;

TEST(TableBindingUnbound, NothingIsBoundBeforeTabinit) { EXPECT_EQ(bm_tables(), nullptr); }

TEST_F(TableBinding, KeepsTheHeadersDescriptorArray) {
  bm_tabinit();
  ASSERT_EQ(bm_tables(), dbs()->tables.get());
  EXPECT_EQ(bm_tables()[dbs()->ntables - 1].td_tabid, -1);  // free descriptors of the stand-in
}

using tolvtest::blank_page;
using tolvtest::fork_child;
using tolvtest::Page;
using tolvtest::pn;
using tolvtest::read_page;
using tolvtest::register_slot;
using tolvtest::wait_child;
using tolvtest::write_page;

void put32(Page &p, int off, int32_t v) {
  for (int i = 0; i < 4; i++) p[PH_DATA + off + i] = static_cast<unsigned char>(static_cast<uint32_t>(v) >> (24 - 8 * i));
}
void put16(Page &p, int off, int v) {
  p[PH_DATA + off] = static_cast<unsigned char>(v >> 8);
  p[PH_DATA + off + 1] = static_cast<unsigned char>(v);
}

struct Col {
  int offset, length, scale, code;
};

struct Table {
  int32_t id;
  int32_t root;                      // page within rootdbs
  std::vector<Col> cols;
  std::vector<std::vector<int>> keys;  // column numbers per key
  int32_t ident1 = 7, ident2 = 8;
  int32_t ncols = -2;                // stored column count; -2: cols.size()
  int32_t type = PT_TABROOT | 1;
};

class Tables : public tolvtest::PagesTest {
 protected:
  // Writes t's root and column pages and its map entry to disk (before the pages are used).
  void write_table(const Table &t) const {
    Page r = blank_page(pn(0, t.root), t.type);
    put16(r, 0x08, t.ncols == -2 ? static_cast<int>(t.cols.size()) : t.ncols);
    put32(r, 0x3c, t.id);
    put32(r, 0x5c, t.ident1);
    put32(r, 0x60, t.ident2);
    put32(r, 0x04, 0x1234);
    put32(r, 0x32, 1);  // one entry in extent list 2
    put32(r, TB_EXT2, pn(0, t.root + 10));
    put16(r, TB_EXT2 + 4, 5);
    std::string name = "tab" + std::to_string(t.id);
    std::copy(name.begin(), name.end(), r.begin() + PH_DATA + 0x68);
    for (size_t k = 0; k < t.keys.size(); k++) {
      for (size_t j = 0; j < t.keys[k].size(); j++) put16(r, TB_KEYS + TB_KEYLEN * k + 2 * j, t.keys[k][j]);
      put16(r, TB_KEYS + TB_KEYLEN * k + TB_KEYATTR, 0x11);
      put32(r, TB_KEYS + TB_KEYLEN * k + TB_KEYVALUE, 0x22);
    }
    write_page(inst_.path("rootdbs"), t.root, r);
    for (size_t i = 0; i < t.cols.size(); i += TB_COLSPERPAGE) {
      int32_t k = t.root + TB_COLPAGE + static_cast<int32_t>(i / TB_COLSPERPAGE);
      Page c = blank_page(pn(0, k));
      for (size_t j = i; j < t.cols.size() && j < i + TB_COLSPERPAGE; j++) {
        int off = TB_COLLEN * static_cast<int>(j - i);
        put16(c, off, t.cols[j].offset);
        put16(c, off + 2, t.cols[j].length);
        c[PH_DATA + off + 5] = static_cast<unsigned char>(t.cols[j].scale);
        c[PH_DATA + off + 6] = static_cast<unsigned char>(t.cols[j].code);
      }
      write_page(inst_.path("rootdbs"), k, c);
    }
    Page map = read_page(inst_.path("rootdbs"), TB_MAPPAGE);
    put32(map, TB_MAPENTRY * (t.id & PN_PAGEMASK), pn(0, t.root));
    write_page(inst_.path("rootdbs"), TB_MAPPAGE, map);
  }
  // A table of n plain columns with root page root.
  static Table plain(int32_t id, int32_t root, int n = 2) {
    Table t{id, root, {}, {}};
    for (int i = 0; i < n; i++) t.cols.push_back({4 * i, 4, 0, 2});
    return t;
  }
  int32_t arena_inuse() const { return dbs()->mem.arena->inuse; }
};

TEST_F(Tables, RootAndColumnPagesLoadIntoTheDescriptor) {
  Table t = plain(3, 300, 290);
  t.cols[0] = {0, 10, 2, 3};      // packed decimal 10,2
  t.cols[1] = {10, 5, 0, -1};     // packed decimal 5,0
  t.cols[2] = {20, 8, 0, 25};     // date and time, qualifier 5
  t.cols[3] = {30, 8, 0, 31};     // interval, qualifier 1
  t.cols[4] = {40, 12, 0, 12};    // characters elsewhere in the row
  t.cols[5] = {60, 56, 0, -3};    // large object
  t.cols[287] = {900, 6, 0, 33};  // column 288: second column page
  t.keys = {{1, -2, 5}, {}, {288}};
  write_table(t);
  int before = arena_inuse();
  tabdesc *td = bm_opentable(3, nullptr, 0, 7, 8);
  ASSERT_NE(td, nullptr) << iserrno;
  EXPECT_EQ(td->td_tabid, 3);
  EXPECT_EQ(td->td_ncols, 290);
  EXPECT_STREQ(td->td_name, "tab3");
  EXPECT_EQ(td->td_r04, 0x1234);
  EXPECT_EQ(td->td_r58, 1);
  EXPECT_EQ(td->td_value, -2);
  EXPECT_EQ(td->td_nchar12, 1);
  EXPECT_EQ(td->td_nlob, 1);
  EXPECT_EQ(td->td_loboffs[0], 60);
  EXPECT_EQ(td->td_keyuse[0], 1);
  EXPECT_EQ(td->td_nkeys, 2);
  EXPECT_EQ(td->td_key[1].get(), nullptr);
  EXPECT_EQ(td->td_dbspace, 0);
  ASSERT_EQ(td->td_next2, 1);
  EXPECT_EQ(td->td_ext2[0].te_page, pn(0, 310));
  EXPECT_EQ(td->td_ext2[0].te_count, 5);
  EXPECT_EQ(td->td_use->tu_open, 1);
  EXPECT_EQ(td->td_use->tu_pids[1], getpid());
  const keydesc *k0 = td->td_key[0];
  ASSERT_EQ(k0->kd_ncols, 3);
  EXPECT_EQ(k0->kd_attr, 0x11);
  EXPECT_EQ(k0->kd_value, 0x22);
  struct Part { int colno, offset, length, type, subtype; };
  const Part parts[] = {{1, 0, 7, 3, 0}, {-2, 10, 4, -1, 0}, {5, 40, 12, 12, 0}};
  for (int j = 0; j < 3; j++) {
    SCOPED_TRACE(j);
    EXPECT_EQ(k0->kd_parts[j].kp_colno, parts[j].colno);
    EXPECT_EQ(k0->kd_parts[j].kp_offset, parts[j].offset);
    EXPECT_EQ(k0->kd_parts[j].kp_length, parts[j].length);
    EXPECT_EQ(k0->kd_parts[j].kp_type, parts[j].type);
    EXPECT_EQ(k0->kd_parts[j].kp_subtype, parts[j].subtype);
  }
  const keypart &far = td->td_key[2]->kd_parts[0];
  EXPECT_EQ(far.kp_offset, 900);
  EXPECT_EQ(far.kp_type, 10);
  EXPECT_EQ(far.kp_subtype, 3);
  coldesc cd[290];
  ASSERT_EQ(bm_readcoldesc(pn(0, 300), cd, 290), 0);
  EXPECT_EQ(cd[2].type, 9);
  EXPECT_EQ(cd[2].subtype, 5);
  EXPECT_EQ(cd[3].type, 10);
  EXPECT_EQ(cd[3].subtype, 1);
  bm_close(td);
  bm_p(dbs()->tabsem);
  EXPECT_EQ(bm_rmtable(3), 0);
  bm_v(dbs()->tabsem);
  EXPECT_EQ(arena_inuse(), before);
}

TEST_F(Tables, LoadedButClosedTableIsReusedWithoutItsRootPage) {
  write_table(plain(4, 320));
  tabdesc *td = bm_opentable(4, nullptr, 0, 0, -1);
  ASSERT_NE(td, nullptr);
  bm_close(td);
  int32_t requests = dbs()->st_requests;
  EXPECT_EQ(bm_opentable(4, nullptr, 0, 7, 8), td);
  EXPECT_EQ(dbs()->st_requests, requests);
  bm_close(td);
  bm_close(td);
  EXPECT_TRUE(logged("bm_close: table 4 already closed\n"));
  EXPECT_EQ(td->td_use->tu_open, 0);
  EXPECT_EQ(td->td_use->tu_pids[1], -1);
}

TEST_F(Tables, OpensAreRefusedWithTheirCodes) {
  for (int i = 0; i < 5; i++) write_table(plain(10 + i, 400 + 10 * i));
  tabdesc *a = bm_opentable(10, nullptr, TO_EXCL, 0, -1);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(bm_opentable(10, nullptr, 0, 0, -1), nullptr);
  EXPECT_EQ(iserrno, ER_TABLOCKED);
  bm_close(a);
  ASSERT_EQ(bm_opentable(10, nullptr, 0, 0, -1), a);
  EXPECT_EQ(a->td_flags & TO_EXCL, 0);
  EXPECT_EQ(bm_opentable(10, nullptr, TO_EXCL, 0, -1), nullptr);
  EXPECT_EQ(iserrno, ER_EXCLOPEN);
  EXPECT_EQ(bm_opentable(10, nullptr, 0, 7, 9), nullptr);
  EXPECT_EQ(iserrno, ER_TABID);
  // A fresh load with the wrong identities stays loaded, unopened.
  EXPECT_EQ(bm_opentable(11, nullptr, 0, 1, 1), nullptr);
  EXPECT_EQ(iserrno, ER_TABID);
  tabdesc *b = bm_opentable(11, nullptr, 0, 7, 8);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->td_use->tu_open, 1);
  ASSERT_NE(bm_opentable(12, nullptr, 0, 0, -1), nullptr);
  tabdesc *d = bm_opentable(13, nullptr, 0, 0, -1);
  ASSERT_NE(d, nullptr);
  // Every descriptor holds an open table.
  EXPECT_EQ(bm_opentable(14, nullptr, 0, 0, -1), nullptr);
  EXPECT_EQ(iserrno, ER_NOTABDESC);
  bm_close(d);
  tabdesc *e = bm_opentable(14, nullptr, 0, 0, -1);
  EXPECT_EQ(e, d);
  EXPECT_EQ(e->td_tabid, 14);
}

struct BadRoot {
  const char *name;
  Table table;
  const char *message;
};

TEST_F(Tables, DamagedRootPagesAreRefusedAndLeaveTheDescriptorFree) {
  Table notroot = plain(20, 500);
  notroot.type = 1;
  Table negative = plain(21, 520);
  negative.ncols = -1;
  Table badkey = plain(22, 540);
  badkey.keys = {{3}};
  Table lobs = plain(23, 560, 21);
  for (Col &c : lobs.cols) c.code = -4;
  const BadRoot cases[] = {
      {"no root page type", notroot, "bm_opentable:No table rootpage 500 0x1\n"},
      {"negative column count", negative, "bm_mytabdata: table 21: columns -1\n"},
      {"key column beyond the columns", badkey, "bm_mytabdata: table 22: key column 3\n"},
      {"21 large objects", lobs, "bm_mytabdata: table 23: large-object columns above 20\n"},
  };
  Table notype = plain(26, 600);
  notype.type = 2;
  // Every page is on disk before the first open reads any.
  for (const BadRoot &c : cases) write_table(c.table);
  write_table(notype);
  write_table(plain(24, 580));
  Page root = read_page(inst_.path("rootdbs"), 580);
  put32(root, 0x3c, 25);
  write_page(inst_.path("rootdbs"), 580, root);
  int before = arena_inuse();
  for (const BadRoot &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(bm_opentable(c.table.id, nullptr, 0, 0, -1), nullptr);
    EXPECT_EQ(iserrno, ER_NOROOT);
    EXPECT_TRUE(logged(c.message));
    EXPECT_EQ(arena_inuse(), before);
    for (int i = 0; i < dbs()->ntables; i++) EXPECT_EQ(dbs()->tables[i].td_tabid, -1);
  }
  // A root page that names another table is refused too.
  EXPECT_EQ(bm_opentable(24, nullptr, 0, 0, -1), nullptr);
  EXPECT_EQ(iserrno, ER_NOROOT);
  EXPECT_EQ(arena_inuse(), before);
  // Bit 0x200 keeps the refusal of a page without the root type out of the log.
  EXPECT_EQ(bm_opentable(26, nullptr, TO_NOROOTMSG, 0, -1), nullptr);
  EXPECT_EQ(iserrno, ER_NOROOT);
  EXPECT_FALSE(logged("rootpage 600"));
  EXPECT_EQ(bm_opentable(12, nullptr, 0, 0, -1), nullptr);  // free map entry
  EXPECT_EQ(iserrno, ER_TABID);
}

TEST_F(Tables, MapEntriesAssignedLookedUpSetAndRemoved) {
  me_->uflags = US_EA | US_ACTION;
  Page map = read_page(inst_.path("rootdbs"), TB_MAPPAGE);
  for (int i = 0; i < TB_MAPENTRIES; i++) put32(map, TB_MAPENTRY * i, pn(0, 900));
  write_page(inst_.path("rootdbs"), TB_MAPPAGE, map);
  // The first page is full: a new map page is appended and its entry 0 is tabslot 402.
  EXPECT_EQ(bm_maptabid(0, 500, -1, TM_ASSIGN), 402);
  pagebuf *b = bm_getpage(pn(0, TB_MAPPAGE), 0, nullptr);
  int32_t second = pg_word(b->page, TM_NEXTPAGE);
  bm_unfix(b);
  EXPECT_EQ(second, pn(0, tolvtest::kHead));
  b = bm_getpage(second, 0, nullptr);
  EXPECT_EQ(pg_word(b->page, PH_PAGETYPE), PT_TABMAP);
  EXPECT_EQ(pg_word(b->page, TM_HEADWORD), -1);
  EXPECT_EQ(b->page[PH_DATA + 4], TM_RESERVED);
  bm_unfix(b);
  EXPECT_EQ(bm_maptabid(0, 0, 402, TM_LOOKUP), -1);
  EXPECT_EQ(iserrno, ER_TABID);
  EXPECT_EQ(bm_maptabid(0, 0, 402, TM_LOOKUP | TM_MARKED), -1);
  EXPECT_EQ(iserrno, ER_TABRESERVED);
  EXPECT_EQ(bm_maptabid(0, 777, 402, TM_SET), 0);
  EXPECT_EQ(bm_maptabid(0, 0, 402, TM_ASSIGN), -1);
  EXPECT_EQ(iserrno, ER_MAPINUSE);
  EXPECT_EQ(bm_maptabid(0, 0, 402, TM_LOOKUP | 0x20), 777);
  EXPECT_EQ(bm_maptabid(0, 0, 403, TM_ASSIGN | TM_MARKED), 403);
  EXPECT_EQ(bm_maptabid(0, 0, 402, TM_REMOVE), 777);
  EXPECT_EQ(bm_maptabid(0, 0, 402, TM_LOOKUP), -1);
  EXPECT_EQ(bm_maptabid(0, 0, 900, TM_LOOKUP), -1);
  EXPECT_EQ(iserrno, ER_TABID);
  EXPECT_TRUE(logged("tabslot 96 does not exist\n"));
  me_->uflags = 0;
}

TEST_F(Tables, ValueCellAndRowidRegistry) {
  write_table(plain(30, 600));
  EXPECT_EQ(bm_gettabval(30, 0, -1), -1);
  tabdesc *td = bm_opentable(30, nullptr, 0, 0, -1);
  ASSERT_NE(td, nullptr);
  EXPECT_EQ(bm_gettabval(30, 0, -1), -2);
  bm_settabval(30, 55);
  EXPECT_EQ(bm_gettabval(30, 7, 8), 55);
  EXPECT_EQ(bm_gettabval(30, 7, 9), -3);
  bm_close(td);

  EXPECT_EQ(bm_setrowid(30, 1), 0);
  EXPECT_EQ(bm_setrowid(30, 1), -1);
  EXPECT_EQ(bm_isrowid(30, 1), 1);
  EXPECT_EQ(bm_isrowid(31, 1), 0);
  for (int i = 1; i < dbs()->nusers; i++) EXPECT_EQ(bm_setrowid(31, i), 0);
  EXPECT_EQ(bm_setrowid(32, 1), -1);  // no pair free
  bm_freerowid(30, 1);
  EXPECT_EQ(bm_isrowid(30, 1), 0);
  bm_freerowid(30, 1);
  EXPECT_TRUE(logged("bm_freerowid: Rowid 1 not found\n"));
  dbs()->tabmark = 9;
  bm_tabreset();
  EXPECT_EQ(dbs()->tabmark, 0);
}

TEST_F(Tables, ConcurrentOpensAndClosesLeaveTheUsageBalanced) {
  write_table(plain(40, 700));
  write_table(plain(41, 720));
  std::vector<pid_t> kids;
  for (int c = 0; c < 3; c++) {
    kids.push_back(fork_child([c] {
      register_slot(2 + c);
      for (int i = 0; i < 100; i++) {
        tabdesc *td = bm_opentable(40 + i % 2, nullptr, 0, 0, -1);
        if (td == nullptr) return 1;
        if (bm_startea(td, 0, i % 3 == 0 ? EA_UPDATE : EA_READ) != 0) return 2;
        bm_endea(0, nullptr, td);
        bm_close(td);
      }
      return 0;
    }));
  }
  for (pid_t k : kids) EXPECT_EQ(wait_child(k), 0);
  for (int i = 0; i < dbs()->ntables; i++) {
    const tabdesc &td = dbs()->tables[i];
    if (td.td_tabid == -1) continue;
    EXPECT_EQ(td.td_use->tu_open, 0);
    EXPECT_EQ(td.td_use->tu_shared, 0);
    EXPECT_EQ(td.td_use->tu_excl, 0);
    for (int u = 0; u < dbs()->nusers; u++) EXPECT_EQ(td.td_use->tu_pids[u], -1);
  }
  EXPECT_FALSE(logged("opentable:pid"));
}

}  // namespace
