// Tests of the value dump: every type code of ad_dumpwert with and without a delimiter, the row
// printer with type-12 references, the packed decimal form (examples, overflow, and a random
// round trip that also checks the byte-wise order), and the two copies.
#include "flush/ad_dump.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ba/ba_dec.h"
#include "ba/ba_pipe.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "ba/ba_dectest.h"
#include "testing/segment.h"

namespace {

using dectest::make;

// A stream into memory; text() closes it and gives what was printed.
class Capture {
 public:
  Capture() : f_(open_memstream(&buf_, &len_)) {}
  ~Capture() {
    if (f_ != nullptr) fclose(f_);
    free(buf_);
  }
  FILE *f() { return f_; }
  std::string text() {
    fclose(f_);
    f_ = nullptr;
    return std::string(buf_, len_);
  }

 private:
  char *buf_ = nullptr;
  size_t len_ = 0;
  FILE *f_;
};

std::vector<uint8_t> be32(std::initializer_list<int32_t> words) {
  std::vector<uint8_t> v;
  for (int32_t w : words)
    for (int sh = 24; sh >= 0; sh -= 8) v.push_back(static_cast<uint8_t>(static_cast<uint32_t>(w) >> sh));
  return v;
}

std::vector<uint8_t> text_bytes(const char *s, size_t n) { return std::vector<uint8_t>(s, s + n); }

std::vector<uint8_t> float_bytes(float v) {
  std::vector<uint8_t> b(4);
  ba_flt2bytes(v, b.data());
  return b;
}

std::vector<uint8_t> double_bytes(double v) {
  std::vector<uint8_t> b(8);
  ba_dbl2bytes(v, b.data());
  return b;
}

std::vector<uint8_t> packed(const ba_decimal &d, int p, int s) {
  std::vector<uint8_t> b(ad_packlen(p, s), 0xEE);
  EXPECT_EQ(ad_packdec(&d, p, s, b.data()), 0);
  return b;
}

class ValueDump : public ::testing::Test {
 protected:
  void SetUp() override {
    tolvtest::use_settings(inst_);
    ba_settings.decpoint = '.';
    ba_settings.datesep = '.';
    ba_settings.dateorder = 0;
    ba_settings.datelen = 10;
  }
  void TearDown() override { tolvtest::clear_settings(); }

  tolvtest::TempInstall inst_;
};

// ---- ad_dumpwert: one case per type and form --------------------------------------------

struct wertcase {
  const char *what;
  std::vector<uint8_t> bytes;
  int type, length, scale, delim, subtype;
  char decpoint;
  const char *printed;
  int result;
};

TEST_F(ValueDump, EveryTypePrintsItsFormAndCountsItsBytes) {
  const wertcase cases[] = {
      {"chars, fixed", text_bytes("ab\0zz", 5), 1, 5, 0, 0, 0, '.', "ab    ", 3},
      {"chars, delimited", text_bytes("ab\0zz", 5), 1, 5, 0, '|', 0, '.', "ab|", 3},
      {"chars fill the column", text_bytes("abcdefg", 7), 12, 5, 0, 0, 0, '.', "abcde ", 6},
      {"empty column", text_bytes("x", 1), 1, 0, 0, 0, 0, '.', " ", 1},
      {"i32, fixed", {0, 0, 1, 0}, 4, 4, 0, 0, 0, '.', "      256 ", 4},
      {"i32, delimited", {0, 0, 1, 0}, 4, 4, 0, ';', 0, '.', "256;", 4},
      {"i32 negative, type -2", be32({-7}), -2, 4, 0, 0, 0, '.', "       -7 ", 4},
      {"i16, fixed", {0xFF, 0xFE}, 5, 2, 0, 0, 0, '.', "   -2 ", 2},
      {"i16, delimited", {0x01, 0x00}, 5, 2, 0, ',', 0, '.', "256,", 2},
      {"float, comma point", float_bytes(1.5f), 7, 4, 0, '|', 0, ',', "1,5|", 4},
      {"float, comma delimiter made a point", float_bytes(1.5f), 7, 4, 0, ',', 0, '.', "1.5.", 4},
      {"float, fixed", float_bytes(1.5f), 7, 4, 0, 0, 0, ',', "     1,5 ", 4},
      {"double keeps its point", double_bytes(1.5), 8, 8, 0, '|', 0, ',', "1.5|", 8},
      {"double, fixed", double_bytes(-0.25), 8, 8, 0, 0, 0, '.', "       -0.25 ", 8},
      {"decimal", packed(dectest::D("-1.5"), 3, 1), 3, 3, 1, 0, 0, '.', "-1.5 ", 4},
      {"decimal -1, delimited", packed(dectest::D("123"), 5, 2), -1, 5, 2, '|', 0, ',', "123,00|", 5},
      {"decimal null", {0x00}, 3, 5, 2, '|', 0, '.', "|", 5},
      {"date", be32({36524}), -5, 4, 0, 0, 0, '.', "31.12.1999 ", 4},
      {"date out of range", be32({2958465}), -5, 4, 0, '|', 0, '.', "|", 4},
      {"datetime, day only", be32({1}), 9, 4, 0, '|', 1, '.', "01.01.1900|", 4},
      {"datetime, time only", be32({3725, 0}), 9, 8, 0, 0, 2, '.', "01:02:05 ", 8},
      {"datetime, time and fraction", be32({45015, 5}), 9, 8, 0, '|', 2, '.', "12:30:15.5|", 8},
      {"datetime, both", be32({1, 5, 0}), 9, 12, 0, '|', 3, '.', "01.01.1900 00:00:05|", 12},
      {"interval year-month", be32({-14, 0, 0}), 10, 12, 0, 0, 7, '.', "-1-02 ", 12},
      {"interval day-time", be32({2, 3725, 0}), 10, 12, 0, '|', 10, '.', "2 01:02:05|", 12},
      {"blob", be32({1, 2, 3}), -3, 12, 0, 0, 0, '.', "BLOB (1 2 3) ", 12},
      {"text", be32({-1, 0, 9}), -4, 12, 0, ';', 0, '.', "BLOB (-1 0 9);", 12},
  };
  for (const wertcase &c : cases) {
    ba_settings.decpoint = c.decpoint;
    Capture out;
    int r = ad_dumpwert(c.bytes.data(), c.type, c.length, c.scale, c.delim, c.subtype, out.f());
    EXPECT_EQ(out.text(), c.printed) << c.what;
    EXPECT_EQ(r, c.result) << c.what;
  }
}

TEST_F(ValueDump, InvalidTypePrintsNothingAndLogs) {
  const uint8_t bytes[12] = {};
  for (int type : {0, 2, 6, 11, 13, -6, 127}) {
    Capture out;
    EXPECT_EQ(ad_dumpwert(bytes, type, 4, 0, '|', 0, out.f()), 0);
    EXPECT_EQ(out.text(), "");
    std::string line = "ad_dumpwert: invalid type " + std::to_string(type) + "\n";
    EXPECT_NE(tolvtest::strip_stamps(inst_.read("log/testdbs")).find(line), std::string::npos);
  }
}

TEST_F(ValueDump, WideDecimalColumnsNeverOverrunTheText) {
  ba_decimal d = dectest::D("12345678901234567890123456789012");
  std::vector<uint8_t> b = packed(d, 32, 0);
  for (int length : {32, 1000, 32767}) {
    std::vector<uint8_t> wide(ad_packlen(length, 0), 0);
    memcpy(wide.data() + wide.size() - b.size() + 1, b.data() + 1, b.size() - 1);
    wide[0] = AD_PACKPOS;
    Capture out;
    EXPECT_EQ(ad_dumpwert(wide.data(), 3, length, 0, '|', 0, out.f()), ad_packlen(length, 0));
    EXPECT_EQ(out.text(), "12345678901234567890123456789012|") << length;
  }
}

// ---- ad_dumprow --------------------------------------------------------------------------

TEST_F(ValueDump, RowPrintsColumnsAndReferences) {
  // Row: i32 at 0, chars(4) at 4, reference at 8 (to "hello" at 20), i16 at 14.
  std::vector<uint8_t> row(32, 0);
  row[3] = 42;
  memcpy(&row[4], "xy", 2);
  std::vector<uint8_t> ref = be32({20});
  memcpy(&row[8], ref.data(), 4);
  row[13] = 5;
  row[15] = 7;
  memcpy(&row[20], "hello", 5);
  const coldesc cols[] = {{4, 0, 0, 0, 4}, {1, 0, 0, 4, 4}, {12, 0, 0, 8, 6}, {5, 0, 0, 14, 2}};
  tabdesc td{};
  td.td_ncols = 4;
  struct {
    int delim, follow;
    const char *printed;
  } cases[] = {
      {0, 0, "       42 xy   @   20     5@    7 \n"},
      {'|', 0, "42|xy|@   20     5@7|\n"},
      {0, 1, "       42 xy   hello     7 \n"},
      {'|', 1, "42|xy|hello|7|\n"},
  };
  for (const auto &c : cases) {
    Capture out;
    ad_dumprow(&td, row.data(), c.delim, out.f(), cols, c.follow);
    EXPECT_EQ(out.text(), c.printed) << c.delim << " " << c.follow;
  }
  td.td_ncols = 0;
  Capture out;
  ad_dumprow(&td, row.data(), '|', out.f(), cols, 1);
  EXPECT_EQ(out.text(), "\n");
}

// ---- Packed decimals ----------------------------------------------------------------------

struct packcase {
  const char *value;
  int p, s;
  std::vector<uint8_t> bytes;
};

TEST(PackedDecimal, KnownFormsPackAndUnpack) {
  const packcase cases[] = {
      {"-1.5", 3, 1, {0x10, 98, 0xFF, 49}},
      {"123", 3, 0, {0x20, 1, 23}},
      {"123", 5, 0, {0x20, 0, 1, 23}},
      {"1.5", 5, 2, {0x20, 0, 1, 0xFF, 50}},
      {"-0.07", 4, 3, {0x10, 99, 0xFF, 92, 99}},
      {"0.001", 4, 3, {0x20, 0, 0xFF, 0, 10}},
      {"1000", 6, 1, {0x20, 0, 10, 0, 0xFF, 0}},
      {"12.346", 6, 2, {0x20, 0, 12, 0xFF, 35}},  // rounded to the scale
      {"99.5", 3, 0, {0x20, 1, 0}},               // rounding carries into a new digit
  };
  for (const packcase &c : cases) {
    ba_decimal d = dectest::D(c.value);
    std::vector<uint8_t> out(ad_packlen(c.p, c.s), 0xEE);
    ASSERT_EQ(out.size(), c.bytes.size()) << c.value;
    EXPECT_EQ(ad_packdec(&d, c.p, c.s, out.data()), 0) << c.value;
    EXPECT_EQ(out, c.bytes) << c.value;
    ba_decimal back;
    ad_unpackdec(&back, c.bytes.data(), c.p, c.s);
    ba_decimal want = d;
    ba_decround(&want, c.s);
    EXPECT_EQ(ba_deccomp(&back, &want), 0) << c.value;
  }
}

TEST(PackedDecimal, UnpackKeepsTheStoredDigits) {
  const uint8_t neg[] = {0x10, 98, 0xFF, 49};
  ba_decimal d;
  ad_unpackdec(&d, neg, 3, 1);
  EXPECT_EQ(d.positive, 0);
  EXPECT_EQ(d.exponent, 1);
  ASSERT_EQ(d.ndigits, 2);
  EXPECT_EQ(d.digits[0], 1);
  EXPECT_EQ(d.digits[1], 50);
  const uint8_t filled[] = {0x20, 0, 1, 23};
  ad_unpackdec(&d, filled, 5, 0);
  EXPECT_EQ(d.exponent, 3);
  EXPECT_EQ(d.ndigits, 3);
}

TEST(PackedDecimal, NullIsOneByte) {
  ba_decimal n = dectest::null_dec();
  uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(ad_packdec(&n, 5, 2, out), 0);
  EXPECT_EQ(out[0], 0x00);
  EXPECT_EQ(out[1], 0xEE);
  ba_decimal back = dectest::D("7");
  ad_unpackdec(&back, out, 5, 2);
  EXPECT_EQ(back.positive, -1);
}

TEST(PackedDecimal, RefusesWhatDoesNotFit) {
  struct {
    const char *value;
    int p, s;
  } cases[] = {
      {"1000", 3, 0},     // a non-zero digit beyond the integer places
      {"12", 1, 0},       // odd count of places: the first byte holds one decimal digit
      {"12.5", 2, 1},     // one integer place, two digits
      {"99.96", 3, 1},    // rounding to the scale carries past the places
      {"5", 1, 1},        // no integer places at all
  };
  for (const auto &c : cases) {
    ba_decimal d = dectest::D(c.value);
    std::vector<uint8_t> out(ad_packlen(c.p, c.s) + 8);
    EXPECT_EQ(ad_packdec(&d, c.p, c.s, out.data()), ER_PACKOVERFLOW) << c.value;
  }
  // A value whose leading zero pairs are skipped still may not carry more integer digits.
  ba_decimal padded = make(3, 1, {0, 12, 34});
  uint8_t out[8];
  EXPECT_EQ(ad_packdec(&padded, 3, 0, out), ER_PACKOVERFLOW);
  ba_decimal bad = make(100, 1, {1});
  EXPECT_EQ(ad_packdec(&bad, 5, 0, out), ER_PACKINVALID);
  bad = make(1, 1, {1});
  bad.ndigits = 17;
  EXPECT_EQ(ad_packdec(&bad, 5, 0, out), ER_PACKINVALID);
}

// Precisions beyond 32 digits: the unpacked value keeps its 16 significant digits.
TEST(PackedDecimal, WideFormsUnpackIntoSixteenDigits) {
  for (const char *v : {"123456789012345678901234567890.12", "-7E30", "0.5", "-1234567890123456789012345678"}) {
    ba_decimal d = dectest::D(v);
    for (auto [p, s] : {std::pair{32, 1}, {32, 3}, {40, 2}, {60, 7}}) {
      std::vector<uint8_t> b(ad_packlen(p, s));
      int rc = ad_packdec(&d, p, s, b.data());
      if (rc != 0) continue;  // the integer part does not fit p - s
      ba_decimal back, want = d;
      ad_unpackdec(&back, b.data(), p, s);
      ba_decround(&want, s);
      EXPECT_EQ(ba_deccomp(&back, &want), 0) << v << " p " << p << " s " << s;
      EXPECT_LE(back.ndigits, 16);
    }
  }
}

// Random values of random precision and scale: unpack(pack(x)) == x, and the packed forms of
// one precision and scale sort byte-wise as the values sort.
TEST(PackedDecimal, RandomRoundTripAndByteOrder) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 200; round++) {
    int p = std::uniform_int_distribution<int>(1, 32)(rng);
    int s = std::uniform_int_distribution<int>(0, p)(rng);
    if (p == 32 && s % 2 == 1) s--;  // odd integer and fraction places would need 17 pairs
    std::vector<ba_decimal> vals;
    std::vector<std::vector<uint8_t>> forms;
    for (int k = 0; k < 20; k++) {
      std::string t = rng() & 1 ? "-" : "";
      for (int i = 0; i < p - s; i++) t += static_cast<char>('0' + rng() % 10);
      if (s > 0) t += '.';
      for (int i = 0; i < s; i++) t += static_cast<char>('0' + rng() % 10);
      if (p == s) t.insert(t[0] == '-' ? 1 : 0, "0");
      ba_decimal d = dectest::D(t.c_str());
      if (ba_deczero(&d) == 1) d.positive = 1;  // a negative zero sorts below a positive one
      std::vector<uint8_t> b(ad_packlen(p, s), 0xEE);
      ASSERT_EQ(ad_packdec(&d, p, s, b.data()), 0) << t << " p " << p << " s " << s;
      ba_decimal back;
      ad_unpackdec(&back, b.data(), p, s);
      ASSERT_EQ(ba_deccomp(&back, &d), 0) << t << " p " << p << " s " << s;
      vals.push_back(d);
      forms.push_back(b);
    }
    for (size_t i = 0; i < vals.size(); i++)
      for (size_t j = 0; j < vals.size(); j++) {
        int bytes = memcmp(forms[i].data(), forms[j].data(), forms[i].size());
        int sign = (bytes > 0) - (bytes < 0);
        ASSERT_EQ(sign, ba_deccomp(&vals[i], &vals[j])) << "p " << p << " s " << s;
      }
  }
}

// ---- Copies --------------------------------------------------------------------------------

TEST(DumpCopies, PadcpyFillsWithBlanksWithoutTerminator) {
  char dst[8];
  memset(dst, '#', sizeof dst);
  ad_padcpy("ab", dst, 5);
  EXPECT_EQ(std::string(dst, 8), "ab   ###");
  ad_padcpy("abcdefg", dst, 3);
  EXPECT_EQ(std::string(dst, 8), "abc  ###");
  ad_padcpy("", dst, 0);
  EXPECT_EQ(dst[0], 'a');
}

TEST(DumpCopies, CpytermCopiesBytesAndTerminates) {
  char dst[8];
  memset(dst, '#', sizeof dst);
  ad_cpyterm("ab\0cd", 5, dst);
  EXPECT_EQ(std::string(dst, 7), std::string("ab\0cd\0#", 7));
  ad_cpyterm("xyz", 0, dst);
  EXPECT_EQ(dst[0], '\0');
}

}  // namespace
