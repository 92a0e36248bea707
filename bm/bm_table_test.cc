// Tests of bm_table: the binding of the process to the shared table descriptors.
#include "bm/bm_table.h"

#include <gtest/gtest.h>

#include "bm/bm_globals.h"
#include "testing/segment.h"

namespace {

using TableBinding = tolvtest::SegmentTest;

TEST(TableBindingUnbound, NothingIsBoundBeforeTabinit) { EXPECT_EQ(bm_tables(), nullptr); }

TEST_F(TableBinding, KeepsTheHeadersDescriptorArray) {
  bm_tabinit();
  ASSERT_EQ(bm_tables(), dbs()->tables.get());
  EXPECT_EQ(bm_tables()[dbs()->ntables - 1].td_tabid, -1);  // free descriptors of the stand-in
}

}  // namespace
