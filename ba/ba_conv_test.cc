// Tests of ba_conv: numbers as text, national casing through SHIFT pairs, currency stripping,
// 4-byte floating normalisation, quoting and name records. The settings fields that the
// conversions read are set up directly in ba_settings and released in TearDown.
#include "ba/ba_conv.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "ba/ba_mem.h"
#include "ba/globals.h"

namespace {

class ConvTest : public testing::Test {
 protected:
  void TearDown() override {
    ba_release(ba_settings.shift);
    ba_settings.shift = nullptr;
    ba_settings.nshift = 0;
    ba_release(ba_settings.currency);
    ba_settings.currency = nullptr;
    ba_settings.strplain = 0;
  }

  static void add_shift(unsigned char lower, unsigned char upper) {
    ASSERT_EQ(ba_rszvek(&ba_settings.shift, ba_settings.nshift, sizeof *ba_settings.shift), 0);
    ba_settings.shift[ba_settings.nshift++] = {lower, upper};
  }

  static void set_currency(const char *format) {
    ba_release(ba_settings.currency);
    ba_settings.currency = ba_strdup(format);
    ASSERT_NE(ba_settings.currency, nullptr);
  }

  static std::string unmoney(const char *text) {
    char buf[64];
    snprintf(buf, sizeof buf, "%s", text);
    ba_unmoney(buf);
    return buf;
  }
};

// ---- Integers and floating values as text ------------------------------------------------

TEST_F(ConvTest, Int2strPrintsDecimal) {
  EXPECT_STREQ(ba_int2str(0), "0");
  EXPECT_STREQ(ba_int2str(42), "42");
  EXPECT_STREQ(ba_int2str(-7), "-7");
  EXPECT_STREQ(ba_int2str(2147483647), "2147483647");
  EXPECT_STREQ(ba_int2str(std::numeric_limits<int>::min()), "-2147483648");
}

TEST_F(ConvTest, Int2strReusesItsBuffer) {
  char *first = ba_int2str(1);
  char *second = ba_int2str(22);
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "22");
}

TEST_F(ConvTest, Dbl2strListedValues) {
  EXPECT_STREQ(ba_dbl2str(2.5), "2.5");
  EXPECT_STREQ(ba_dbl2str(3.0), "3");
  EXPECT_STREQ(ba_dbl2str(0.5), "0.5");
  EXPECT_STREQ(ba_dbl2str(-2.5), "-2.5");
  EXPECT_STREQ(ba_dbl2str(1e11), "1e+11");
  EXPECT_STREQ(ba_dbl2str(1e10), "10000000000");
  EXPECT_STREQ(ba_dbl2str(1), "1");
  EXPECT_STREQ(ba_dbl2str(-1), "-1");
  EXPECT_STREQ(ba_dbl2str(0), "0");
  EXPECT_STREQ(ba_dbl2str(1e-5), "1e-05");
  EXPECT_STREQ(ba_dbl2str(123.456000), "123.456");
}

TEST_F(ConvTest, Dbl2strBoundariesOfTheFixedRange) {
  EXPECT_STREQ(ba_dbl2str(-1e10), "-10000000000");
  EXPECT_STREQ(ba_dbl2str(-1e11), "-1e+11");
  EXPECT_STREQ(ba_dbl2str(1.5e10), "1.5e+10");
  EXPECT_STREQ(ba_dbl2str(9999999999.5), "9999999999.5");
  EXPECT_STREQ(ba_dbl2str(0.999), "0.999");
  EXPECT_STREQ(ba_dbl2str(-0.25), "-0.25");
}

TEST_F(ConvTest, Dbl2strKeepsZerosBeforeThePoint) {
  EXPECT_STREQ(ba_dbl2str(100.0), "100");
  EXPECT_STREQ(ba_dbl2str(-2000.0), "-2000");
  EXPECT_STREQ(ba_dbl2str(10.05), "10.05");
}

TEST_F(ConvTest, Dbl2strNegativeZeroIsZero) { EXPECT_STREQ(ba_dbl2str(-0.0), "0"); }

// ---- Casing ------------------------------------------------------------------------------

TEST_F(ConvTest, AsciiCasingReturnsTheTerminatingZero) {
  char s[] = "abcXYZ09_-";
  EXPECT_EQ(ba_strupper(s), s + strlen(s));
  EXPECT_STREQ(s, "ABCXYZ09_-");
  EXPECT_EQ(ba_strlower(s), s + strlen(s));
  EXPECT_STREQ(s, "abcxyz09_-");
}

TEST_F(ConvTest, EmptyTextReturnsItself) {
  char s[] = "";
  EXPECT_EQ(ba_strupper(s), s);
  EXPECT_EQ(ba_strlower(s), s);
}

TEST_F(ConvTest, ShiftPairsMapBytesAbove127) {
  add_shift(0xE4, 0xC4);
  add_shift(0xF6, 0xD6);
  char s[] = "a\xE4o\xF6\xE9";
  ba_strupper(s);
  EXPECT_STREQ(s, "A\xC4O\xD6\xE9");  // 0xE9 has no pair and stays
  ba_strlower(s);
  EXPECT_STREQ(s, "a\xE4o\xF6\xE9");
}

TEST_F(ConvTest, ShiftCasingLooksOnlyAtItsOwnMember) {
  add_shift(0xE4, 0xC4);
  char upper[] = "\xC4";
  ba_strupper(upper);  // already the upper member: no pair has it as lower member
  EXPECT_STREQ(upper, "\xC4");
  char lower[] = "\xE4";
  ba_strlower(lower);
  EXPECT_STREQ(lower, "\xE4");
}

TEST_F(ConvTest, FirstMatchingShiftPairWins) {
  add_shift(0xE4, 0xC4);
  add_shift(0xE4, 0xC5);
  add_shift(0xE5, 0xC4);
  char s[] = "\xE4";
  ba_strupper(s);
  EXPECT_STREQ(s, "\xC4");
  ba_strlower(s);
  EXPECT_STREQ(s, "\xE4");
}

TEST_F(ConvTest, WithoutShiftPairsHighBytesStay) {
  char s[] = "\x80\xE4\xFF";
  ba_strupper(s);
  EXPECT_STREQ(s, "\x80\xE4\xFF");
}

// ---- Currency ----------------------------------------------------------------------------

TEST_F(ConvTest, UnmoneyTrailingCurrency) {
  set_currency("% DM");
  EXPECT_EQ(unmoney("12,50 DM"), "12,50   ");
}

TEST_F(ConvTest, UnmoneyLeadingCurrency) {
  set_currency("$%");
  EXPECT_EQ(unmoney("$1,234.50"), " 1,234.50");
}

TEST_F(ConvTest, UnmoneyStepsOverBlanksAndSigns) {
  set_currency("% DM");
  EXPECT_EQ(unmoney("  -3.5DM"), "  -3.5  ");
}

TEST_F(ConvTest, UnmoneyLeavesAnUnmatchedDecoration) {
  set_currency("% EUR");
  EXPECT_EQ(unmoney("12 DM"), "12 DM");
}

TEST_F(ConvTest, UnmoneyStopsAtTheEndOfTheFormat) {
  set_currency("%");
  EXPECT_EQ(unmoney("12 DM"), "12 DM");
}

// ---- 4-byte floating values --------------------------------------------------------------

TEST_F(ConvTest, Flt2dblCarriesSixSignificantDigits) {
  float tenth = 0.1f;
  EXPECT_NE(static_cast<double>(tenth), 0.1);
  EXPECT_EQ(ba_flt2dbl(&tenth), 0.1);
  float pi = 3.14159265f;
  EXPECT_EQ(ba_flt2dbl(&pi), 3.14159);
  float big = 123456789.0f;
  EXPECT_EQ(ba_flt2dbl(&big), 1.23457e8);
}

TEST_F(ConvTest, Flt2dblShortValuesComeBackExactly) {
  float zero = 0.0f, neg = -2.5f, huge = 1e20f;
  EXPECT_EQ(ba_flt2dbl(&zero), 0.0);
  EXPECT_EQ(ba_flt2dbl(&neg), -2.5);
  EXPECT_NE(static_cast<double>(huge), 1e20);
  EXPECT_EQ(ba_flt2dbl(&huge), 1e20);
}

// ---- Literals and names ------------------------------------------------------------------

TEST_F(ConvTest, QuotePlainNameStaysBare) { EXPECT_STREQ(ba_quote("NAME_1"), "NAME_1"); }

TEST_F(ConvTest, QuoteKeywordAndLowerCaseAreQuoted) {
  EXPECT_STREQ(ba_quote("SELECT"), "\"SELECT\"");
  EXPECT_STREQ(ba_quote("name"), "\"name\"");
  EXPECT_STREQ(ba_quote("CROSS JOIN"), "\"CROSS JOIN\"");
}

TEST_F(ConvTest, QuoteNonNamesAreQuoted) {
  EXPECT_STREQ(ba_quote(""), "\"\"");
  EXPECT_STREQ(ba_quote("1ABC"), "\"1ABC\"");
  EXPECT_STREQ(ba_quote("_A"), "\"_A\"");
  EXPECT_STREQ(ba_quote("A-B"), "\"A-B\"");
  EXPECT_STREQ(ba_quote("A B"), "\"A B\"");
}

TEST_F(ConvTest, QuoteWithStrplainQuotesNothing) {
  ba_settings.strplain = 1;
  EXPECT_STREQ(ba_quote("NAME_1"), "NAME_1");
  EXPECT_STREQ(ba_quote("SELECT"), "SELECT");
  EXPECT_STREQ(ba_quote("name"), "name");
  EXPECT_STREQ(ba_quote("a\"b"), "a\"b");
}

// An embedded double quote would otherwise end the quoted text early: a"b must not read back
// as the name a followed by stray text.
TEST_F(ConvTest, QuoteDoublesEmbeddedQuotes) {
  EXPECT_STREQ(ba_quote("a\"b"), "\"a\"\"b\"");
  EXPECT_STREQ(ba_quote("\""), "\"\"\"\"");
}

// ---- Name records ------------------------------------------------------------------------

ba_name make_name(const char *text, int number) {
  ba_name n;
  memset(&n, 0, sizeof n);
  snprintf(n.name, sizeof n.name, "%s", text);
  n.number = number;
  return n;
}

TEST_F(ConvTest, NamecmpEqualNamesAndNumbers) {
  ba_name a = make_name("customer", 7), b = make_name("customer", 7);
  EXPECT_EQ(ba_namecmp(&a, &b), 1);
}

TEST_F(ConvTest, NamecmpDifferentNumberOrName) {
  ba_name a = make_name("customer", 7), b = make_name("customer", 8);
  EXPECT_EQ(ba_namecmp(&a, &b), 0);
  ba_name c = make_name("customers", 7);
  EXPECT_EQ(ba_namecmp(&a, &c), 0);
  ba_name d = make_name("Customer", 7);
  EXPECT_EQ(ba_namecmp(&a, &d), 0);
}

TEST_F(ConvTest, NamecmpIgnoresBytesAfterTheZero) {
  ba_name a = make_name("abc", 1), b = make_name("abc", 1);
  memcpy(b.name + 4, "junk", 4);
  EXPECT_EQ(ba_namecmp(&a, &b), 1);
}

// ---- Error paths: over-long input, missing settings, odd values --------------------------

// The longest results that fit the 100-byte buffer, and one character more, which is refused
// (null) rather than cut to another name.
struct quotefit {
  std::string text;
  int strplain;
  const char *expect;  // null: refused
};

TEST_F(ConvTest, QuoteRefusesWhatDoesNotFitTheBuffer) {
  const std::string x97(97, 'x'), x98(98, 'x'), n99(99, 'N'), n100(100, 'N'), l99(99, 'n');
  const std::string q96 = std::string(95, 'x') + "\"", q97 = std::string(96, 'x') + "\"";
  const std::string quoted97 = "\"" + x97 + "\"", quoted96 = "\"" + q96 + "\"\"";
  const quotefit cases[] = {
      {x97, 0, quoted97.c_str()},  // 99 characters quoted
      {x98, 0, nullptr},
      {std::string(1000, 'x'), 0, nullptr},
      {q96, 0, quoted96.c_str()},  // the doubled quote still fits: 99 characters
      {q97, 0, nullptr},           // it would not: no half of a doubled quote
      {n99, 0, n99.c_str()},       // a bare name of 99 characters
      {n100, 0, nullptr},
      {std::string(120, 'N'), 0, nullptr},
      {l99, 1, l99.c_str()},
      {std::string(100, 'n'), 1, nullptr},
  };
  for (const quotefit &c : cases) {
    ba_settings.strplain = c.strplain;
    const char *q = ba_quote(c.text.c_str());
    if (c.expect == nullptr)
      EXPECT_EQ(q, nullptr) << c.text.size();
    else
      EXPECT_STREQ(q, c.expect) << c.text.size();
  }
}

TEST_F(ConvTest, UnmoneyWithoutCurrencyLeavesTheText) {
  EXPECT_EQ(unmoney("12,50 DM"), "12,50 DM");
  EXPECT_EQ(unmoney("$1,234.50"), "$1,234.50");
}

TEST_F(ConvTest, UnmoneyOfEmptyTextOrEmptyFormat) {
  set_currency("% DM");
  EXPECT_EQ(unmoney(""), "");
  set_currency("");
  EXPECT_EQ(unmoney("12 DM"), "12 DM");
}

TEST_F(ConvTest, Dbl2strOfNonFiniteValues) {
  EXPECT_STREQ(ba_dbl2str(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_STREQ(ba_dbl2str(-std::numeric_limits<double>::infinity()), "-inf");
  std::string nan = ba_dbl2str(std::nan(""));
  EXPECT_NE(nan.find("nan"), std::string::npos);
}

TEST_F(ConvTest, NamecmpStopsAtTheEndOfAFullField) {
  ba_name a, b;
  memset(a.name, 'A', sizeof a.name);  // 36 characters, no terminating zero
  memset(b.name, 'A', sizeof b.name);
  a.number = 1;
  b.number = 1;
  EXPECT_EQ(ba_namecmp(&a, &b), 1);
  b.number = 2;
  EXPECT_EQ(ba_namecmp(&a, &b), 0);
  b.number = 1;
  b.name[35] = 'B';
  EXPECT_EQ(ba_namecmp(&a, &b), 0);
}

}  // namespace
