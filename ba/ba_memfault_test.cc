// Allocation failures injected at every allocation of an operation in turn (ba_memfault), as a
// storage engine's fault tests do: each run either succeeds or fails with the operation's own
// error result, never crashes (nor leaks: the sanitizer build checks), and a run without a
// fault afterwards gives the full result again. The operations: the configuration reader, the
// settings with the language file, and loading a message catalog.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "ba/ba_conftest.h"
#include "ba/ba_env.h"
#include "ba/ba_mem.h"
#include "ba/ba_msg.h"
#include "testing/tempinstall.h"

namespace {

// Runs op with its n-th allocation failing for n = 0, 1, ... until a run needs no more than n
// allocations (the fault no longer fires); undo follows every run. A run with a fault may end
// either way; one without must succeed. The number of runs with a fault.
int every_failure(const std::function<int()> &op, const std::function<void()> &undo) {
  for (int n = 0;; n++) {
    ba_memfault(n);
    int rc = op();
    bool fired = ba_memfaulted();
    ba_memfault(-1);
    undo();
    if (!fired) {
      EXPECT_EQ(rc, 0) << "without a fault, after " << n << " runs with one";
      return n;
    }
  }
}

using MemFaultConf = conftest::Conf;

TEST_F(MemFaultConf, TheReaderFailsCleanlyAtEveryAllocation) {
  write_cfg(valid("F DATA " + partition("data") + " 4000 0\nA DATA " + partition("data2") +
                  " 4000 0\n"));
  EXPECT_GT(every_failure([] { return ba_readconf(0, ""); }, [] { ba_freeconf(); }), 2);
  ASSERT_EQ(ba_readconf(0, ""), 0) << err();
  EXPECT_EQ(cfg().ndbspace, 2);
  EXPECT_EQ(cfg().dbspaces[1].nparts, 2);
}

TEST(MemFault, SettingsAndLanguageFileFailCleanlyAtEveryAllocation) {
  tolvtest::TempInstall inst;
  FILE *messages = tmpfile();
  ASSERT_NE(messages, nullptr);
  EXPECT_GT(every_failure([&] { return ba_readenv(messages); }, [] { ba_freeenv(); }), 2);
  ASSERT_EQ(ba_readenv(messages), 0);
  EXPECT_STREQ(ba_settings.dbsname, "testdbs");
  ba_freeenv();
  fclose(messages);
}

TEST(MemFault, ACatalogLoadFailsCleanlyAtEveryAllocation) {
  tolvtest::TempInstall inst;
  tolvtest::TempInstall::setenv("TOLVLANG", "eng");
  ASSERT_EQ(ba_readenv(nullptr), 0);
  testing::internal::CaptureStderr();  // the load's diagnostics
  EXPECT_GT(every_failure([] { return ba_msgload("bmmsg", nullptr); }, [] { ba_msgfree(); }), 0);
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(ba_msgload("bmmsg", nullptr), 0);
  EXPECT_STREQ(ba_msgtext(8771), "Page not usable: it stays in reading");
  ba_msgfree();
  ba_freeenv();
}

}  // namespace
