// Tests of is_misc: the hexadecimal dump line of the message log.
#include "bm/is_misc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/segment.h"

namespace {

class HexDump : public ::testing::Test {
 protected:
  void SetUp() override { tolvtest::use_settings(inst_); }
  void TearDown() override { tolvtest::clear_settings(); }
  std::string line() const { return tolvtest::strip_stamps(inst_.read("log/testdbs")); }

  tolvtest::TempInstall inst_;
};

TEST_F(HexDump, EachByteAsHexAndItselfOrABlank) {
  const unsigned char b[] = {'a', 'B', '~', 0x01, 0x00, 0x7f, 0xff, ' '};
  is_hexdump("page", b, sizeof b);
  EXPECT_EQ(line(), "page: 61a 42B 7e~ 01  00  7f  ff  20  \n");
}

TEST_F(HexDump, AtMost99BytesPerLine) {
  std::vector<unsigned char> b(300, 'z');
  b[98] = 'y';
  b[99] = 'x';
  is_hexdump("t", b.data(), static_cast<int>(b.size()));
  std::string want = "t: ";
  for (int i = 0; i < 98; i++) want += "7az ";
  want += "79y \n";
  EXPECT_EQ(line(), want);
}

TEST_F(HexDump, NothingToShow) {
  const unsigned char b[] = {'a'};
  is_hexdump("neg", b, -5);
  is_hexdump("null", nullptr, 10);
  is_hexdump("none", b, 0);
  EXPECT_EQ(line(), "neg: \nnull: \nnone: \n");
}

}  // namespace
