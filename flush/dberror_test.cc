// Tests of dberror: the fatal message with and without error codes, the catalog error line,
// and the exit statuses.
#include "flush/dberror.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "ba/ba_proto.h"
#include "testing/tempinstall.h"

namespace {

using testing::ExitedWithCode;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(DbFatal, WithoutCodesWritesOnlyTheMessageAndExitsMinusOne) {
  EXPECT_EXIT(db_fatal(0, "DBS not in online mode\n"), ExitedWithCode(255),
              "^DBS not in online mode\n$");
}

TEST(DbFatal, WithCodesAddsIserrnoAndErrno) {
  auto fatal = [] {
    iserrno = 2;
    errno = 13;
    db_fatal(1, "tolvflush:%s failed\n", "bm_init");
  };
  EXPECT_EXIT(fatal(), ExitedWithCode(255), "^tolvflush:bm_init failed\nErrorcodes: 2 13\n$");
}

TEST(DbExit, AddsTheLineEndAndExitsOne) {
  EXPECT_EXIT(db_exit("cannot go on: %d", 7), ExitedWithCode(1), "^cannot go on: 7\n$");
}

TEST(DbError, WithExitStatusZeroReturnsTheCharacterCount) {
  tolvtest::TempInstall inst;
  tolvtest::TempInstall::setenv("TOLVLANG", "eng");
  ASSERT_EQ(ba_readenv(nullptr), 0);
  iserrno = -3;
  CaptureStderr();
  int n = db_error(-11000, 0);  // a number outside every catalog range
  std::string err = GetCapturedStderr();
  EXPECT_EQ(err, "Error -11000 -3:Message -11000 not found\n");
  EXPECT_EQ(n, static_cast<int>(err.size()));
  ba_freeenv();
}

TEST(DbError, PrintsTheCatalogTextAndExitsWithTheStatus) {
  tolvtest::TempInstall inst;
  tolvtest::TempInstall::setenv("TOLVLANG", "eng");
  ASSERT_EQ(ba_readenv(nullptr), 0);
  const std::string text = ba_msgtext(-316);
  ASSERT_EQ(text.find("not found"), std::string::npos) << text;
  iserrno = -316;
  EXPECT_EXIT(db_error(-316, 3), ExitedWithCode(3), "^Error -316 -316:" + text + "\n$");
  ba_freeenv();
}

}  // namespace
