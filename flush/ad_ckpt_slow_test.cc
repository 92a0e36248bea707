// The checkpoint's wait for running actions, waited out for real: an action that stays active
// past the budget of 30 more looks, one second apart, aborts the checkpoint (about 31 seconds;
// labelled slow).
#include <gtest/gtest.h>

#include "bm/bm_logtest.h"
#include "flush/ad_ckpt.h"

namespace {

using logtest::LogTest;

TEST_F(LogTest, ActionPastTheBudgetAbortsTheCheckpoint) {
  dbs()->modified = 1;
  pagebuf &b = dbs()->lists[0].bufs[0];
  pg_setword(b.page, PH_PAGENR, 200);
  b.flags = BF_DIRTY;
  userslot &u = dbs()->users[3];
  snprintf(u.progname, US_PROGLEN, "SERVER");
  u.uflags = US_EA;  // an action that never ends
  ad_checkpoint(dbs());
  EXPECT_EQ(log_text(), "Checkpoint started in log 0 1\nCheckpoint aborted\n");
  EXPECT_EQ(dbs()->ckptrun, 0);
  EXPECT_EQ(dbs()->ckptflags & CK_RUNNING, 0u);
  EXPECT_EQ(dbs()->modified, 1);
  EXPECT_EQ(b.flags, BF_DIRTY);     // no page of the pool was written
  EXPECT_EQ(lc().lc_bytes[0], 0);   // no record
}

}  // namespace
