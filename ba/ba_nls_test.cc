// Tests of ba_nls: every keyword of a language file and its errors with their line numbers,
// TEXT escapes and ranges, SHIFT pairs, SIL weights and the first-byte index, the collation
// comparisons, the character classes, ba_money, releasing, and the shipped language files.
// Each test runs in its own process (ctest), so ba_settings and ba_collidx start empty.
#include "ba/ba_nls.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ba/ba_mem.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "testing/tempinstall.h"

namespace {

// Parses text as a language file into ba_settings.
int parse(const std::string &text) {
  FILE *f = tmpfile();
  fwrite(text.data(), 1, text.size(), f);
  rewind(f);
  int rc = ba_nlsread(&ba_settings, f);
  fclose(f);
  return rc;
}

int parse_file(const std::string &path) {
  FILE *f = fopen(path.c_str(), "r");
  if (f == nullptr) return 1;
  int rc = ba_nlsread(&ba_settings, f);
  fclose(f);
  return rc;
}

std::string shipped(const std::string &lang) {
  return tolvtest::source_dir() + "/share/msg/" + lang + "/" + lang + ".nls";
}

int cmp(const char *a, const char *b, int max = 65535) { return ba_nlscmp(a, b, max); }

// The weight of the element at the start of text and the bytes it consumes.
std::pair<int, int> weigh(const char *text, int max = 65535) {
  const char *pos = text;
  int used = 0;
  int w = ba_nlsweight(&pos, max, &used);
  EXPECT_EQ(pos - text, used);
  return {w, used};
}

std::string memreport() {
  FILE *f = tmpfile();
  ba_memreport(f);
  std::string out(ftell(f), '\0');
  rewind(f);
  size_t n = fread(out.data(), 1, out.size(), f);
  out.resize(n);
  fclose(f);
  return out;
}

// ---- Keywords ----------------------------------------------------------------------------

TEST(NlsKeywords, YesNoAndCurrencyTakeTheArgumentAndReplace) {
  ASSERT_EQ(parse("YES jJ\nNO nN\nCURRENCY % DM\nYES yY\nCURRENCY % EUR\n"), 0);
  EXPECT_STREQ(ba_settings.yes, "yY");
  EXPECT_STREQ(ba_settings.no, "nN");
  EXPECT_STREQ(ba_settings.currency, "% EUR");
}

TEST(NlsKeywords, ArgumentSkipsGluedLettersThenWhiteSpace) {
  ASSERT_EQ(parse("YESjy\nNO \t  x y \nCURRENCYx\t$%\n"), 0);
  EXPECT_STREQ(ba_settings.yes, "");  // the letters glued to the keyword are skipped too
  EXPECT_STREQ(ba_settings.no, "x y ");  // trailing blanks belong to the argument
  EXPECT_STREQ(ba_settings.currency, "$%");
}

TEST(NlsKeywords, AnyLineBeginningWithNoIsANoLine) {
  ASSERT_EQ(parse("NOTE xy\n"), 0);
  EXPECT_STREQ(ba_settings.no, "xy");
}

TEST(NlsKeywords, KeywordsAreCaseSensitiveAndOtherLinesAreIgnored) {
  ASSERT_EQ(parse("# YES a\n\nyes b\n YES c\nPoint ;\nsil a\nTEXTURE\n"), 0);
  EXPECT_EQ(ba_settings.yes, nullptr);
  EXPECT_EQ(ba_settings.decpoint, 0);
  EXPECT_EQ(ba_settings.ncoll, 0);
  EXPECT_EQ(ba_settings.ntextchar, 0);  // "TEXTURE": all letters skipped, empty argument
  EXPECT_EQ(ba_nlsline, 7);
}

TEST(NlsKeywords, PointTakesTheFirstCharacter) {
  ASSERT_EQ(parse("POINT ,\n"), 0);
  EXPECT_EQ(ba_settings.decpoint, ',');
  ASSERT_EQ(parse("POINT .x\n"), 0);
  EXPECT_EQ(ba_settings.decpoint, '.');
}

TEST(NlsKeywords, DateSetsLengthOrderAndSeparator) {
  ASSERT_EQ(parse("DATE DD.MM.YY\n"), 0);
  EXPECT_EQ(ba_settings.datelen, 8);
  EXPECT_EQ(ba_settings.dateorder, 0);
  EXPECT_EQ(ba_settings.datesep, '.');
  ASSERT_EQ(parse("DATE MM/DD/YYYY\n"), 0);
  EXPECT_EQ(ba_settings.datelen, 10);
  EXPECT_EQ(ba_settings.dateorder, 1);
  EXPECT_EQ(ba_settings.datesep, '/');
  ASSERT_EQ(parse("DATE YYYY-MM-DD\n"), 0);
  EXPECT_EQ(ba_settings.dateorder, 2);
  EXPECT_EQ(ba_settings.datesep, '-');
}

// Eight characters with a field letter where the separator is read are no date format.
TEST(NlsKeywords, DateWithALetterForItsSeparatorIsRefused) {
  EXPECT_EQ(parse("DATE D.M.YYYY\n"), ER_NLS_DATE);
  EXPECT_EQ(parse("DATE YYYYMMDD\n"), ER_NLS_DATE);
  ASSERT_EQ(parse("DATE YY.MM.DD\n"), 0);
  EXPECT_EQ(ba_settings.datelen, 8);
  EXPECT_EQ(ba_settings.dateorder, 2);
  EXPECT_EQ(ba_settings.datesep, '.');
}

TEST(NlsKeywords, LineKeepsSixtyCharacters) {
  std::string arg(56, 'y');  // "YES " + 56 = 60 characters
  ASSERT_EQ(parse("YES " + arg + "Z\nNO n\n"), 0);
  EXPECT_EQ(std::string(ba_settings.yes), arg);
  EXPECT_STREQ(ba_settings.no, "n");  // the rest of the long line is skipped, not a new line
  EXPECT_EQ(ba_nlsline, 2);
}

TEST(NlsKeywords, LastLineWithoutNewlineIsNotRead) {
  ASSERT_EQ(parse("YES j\nNO n"), 0);
  EXPECT_STREQ(ba_settings.yes, "j");
  EXPECT_EQ(ba_settings.no, nullptr);
  EXPECT_EQ(ba_nlsline, 1);
}

// ---- TEXT --------------------------------------------------------------------------------

TEST(NlsText, RangeAndSingleCharacter) {
  ASSERT_EQ(parse("TEXT [a-z]_\n"), 0);
  ASSERT_EQ(ba_settings.ntextrange, 1);
  EXPECT_EQ(ba_settings.textrange[0], 'a' * 256 + 'z');
  ASSERT_EQ(ba_settings.ntextchar, 1);
  EXPECT_EQ(ba_settings.textchar[0], '_');
  for (int c = 'a'; c <= 'z'; c++) EXPECT_EQ(ba_istext(c), 1) << c;
  EXPECT_EQ(ba_istext('_'), 1);
  EXPECT_EQ(ba_istext('a' - 1), 0);
  EXPECT_EQ(ba_istext('z' + 1), 0);
  EXPECT_EQ(ba_istext('A'), 0);
  EXPECT_EQ(ba_istext(' '), 0);
  int texts = 0;
  for (int c = 0; c < 256; c++) texts += ba_istext(c);
  EXPECT_EQ(texts, 27);
}

TEST(NlsText, BlankInTheArgumentIsATextCharacter) {
  ASSERT_EQ(parse("TEXT a b\n"), 0);
  EXPECT_EQ(ba_istext(' '), 1);
  EXPECT_EQ(ba_settings.ntextchar, 3);
}

TEST(NlsText, HexEscapesInBothCases) {
  ASSERT_EQ(parse("TEXT \\0xE4\\0Xd6\\0x0a\n"), 0);
  EXPECT_EQ(ba_istext(0xE4), 1);
  EXPECT_EQ(ba_istext(0xD6), 1);
  EXPECT_EQ(ba_istext('\n'), 1);
  EXPECT_EQ(ba_istext('0'), 0);
  EXPECT_EQ(ba_istext('x'), 0);
  EXPECT_EQ(ba_istext(static_cast<char>(0xE4)), 1);  // a signed char is taken as its byte
}

TEST(NlsText, BackslashBeforeAnotherCharacterStandsForIt) {
  ASSERT_EQ(parse("TEXT \\[\\\\\\-\n"), 0);
  EXPECT_EQ(ba_istext('['), 1);
  EXPECT_EQ(ba_istext('\\'), 1);
  EXPECT_EQ(ba_istext('-'), 1);
  EXPECT_EQ(ba_settings.ntextchar, 3);
}

TEST(NlsText, RangeBoundsMayBeEscaped) {
  ASSERT_EQ(parse("TEXT [\\0xC0-\\0xD6][\\]-\\0x5F]\n"), 0);
  ASSERT_EQ(ba_settings.ntextrange, 2);
  EXPECT_EQ(ba_settings.textrange[0], 0xC0 * 256 + 0xD6);
  EXPECT_EQ(ba_settings.textrange[1], ']' * 256 + '_');
  EXPECT_EQ(ba_istext(0xC0), 1);
  EXPECT_EQ(ba_istext(0xD6), 1);
  EXPECT_EQ(ba_istext(0xD7), 0);
  EXPECT_EQ(ba_istext('^'), 1);
}

TEST(NlsText, LinesAccumulate) {
  ASSERT_EQ(parse("TEXT [a-c]\nTEXT [x-z]_\nTEXT #\n"), 0);
  EXPECT_EQ(ba_settings.ntextrange, 2);
  EXPECT_EQ(ba_settings.ntextchar, 2);
  EXPECT_EQ(ba_istext('b'), 1);
  EXPECT_EQ(ba_istext('y'), 1);
  EXPECT_EQ(ba_istext('#'), 1);
}

TEST(NlsText, RepeatedCharactersAreStoredOnceSoAllBytesFit) {
  std::string file;
  for (int i = 0; i < 2; i++)  // every byte value twice
    for (int c = 0; c < 256; c += 8) {
      file += "TEXT ";
      for (int k = c; k < c + 8; k++) {
        char esc[16];
        snprintf(esc, sizeof esc, "\\0x%02X", k);
        file += esc;
      }
      file += "\n";
    }
  ASSERT_EQ(parse(file), 0);
  EXPECT_EQ(ba_settings.ntextchar, 256);
  for (int c = 0; c < 256; c++) EXPECT_EQ(ba_istext(c), 1) << c;
}

// ---- SHIFT -------------------------------------------------------------------------------

TEST(NlsShift, PairsFromFirstAndThirdCharacter) {
  ASSERT_EQ(parse("SHIFT a-A b-B\n"), 0);
  ASSERT_EQ(ba_settings.nshift, 2);
  EXPECT_EQ(ba_settings.shift[0].lower, 'a');
  EXPECT_EQ(ba_settings.shift[0].upper, 'A');
  EXPECT_EQ(ba_settings.shift[1].lower, 'b');
  EXPECT_EQ(ba_settings.shift[1].upper, 'B');
}

TEST(NlsShift, PiecesAreLiteralAndSplitAtBlanksAndTabs) {
  ASSERT_EQ(parse("SHIFT \\0x\t\xE4:\xC4xyz\n"), 0);
  ASSERT_EQ(ba_settings.nshift, 2);
  EXPECT_EQ(ba_settings.shift[0].lower, '\\');  // no escapes are decoded
  EXPECT_EQ(ba_settings.shift[0].upper, 'x');
  EXPECT_EQ(ba_settings.shift[1].lower, 0xE4);  // the rest of a longer piece is ignored
  EXPECT_EQ(ba_settings.shift[1].upper, 0xC4);
}

TEST(NlsShift, PiecesShorterThanThreeCharactersAreSkipped) {
  ASSERT_EQ(parse("SHIFT a ab c-C\nSHIFT d\n"), 0);
  ASSERT_EQ(ba_settings.nshift, 1);
  EXPECT_EQ(ba_settings.shift[0].lower, 'c');
  EXPECT_EQ(ba_settings.shift[0].upper, 'C');
}

TEST(NlsShift, LinesAccumulateInFileOrder) {
  ASSERT_EQ(parse("SHIFT a-A\nSHIFT b-B c-C\n"), 0);
  ASSERT_EQ(ba_settings.nshift, 3);
  EXPECT_EQ(ba_settings.shift[2].lower, 'c');
}

// ---- SIL and the first-byte index ----------------------------------------------------------

TEST(NlsSil, WeightIsTheOrdinalOfTheSilLine) {
  ASSERT_EQ(parse("SIL a A\n# comment\nSIL\nYES j\nSIL b\n"), 0);
  ASSERT_EQ(ba_settings.ncoll, 3);
  EXPECT_STREQ(ba_settings.coll[0].str, "a");
  EXPECT_EQ(ba_settings.coll[0].weight, 1);
  EXPECT_STREQ(ba_settings.coll[1].str, "A");
  EXPECT_EQ(ba_settings.coll[1].weight, 1);
  EXPECT_STREQ(ba_settings.coll[2].str, "b");
  EXPECT_EQ(ba_settings.coll[2].weight, 3);  // the empty SIL line used up weight 2
}

TEST(NlsSil, ElementsAreSplitAtBlanksAndTabs) {
  ASSERT_EQ(parse("SIL a\tb  ch\n"), 0);
  ASSERT_EQ(ba_settings.ncoll, 3);
  EXPECT_STREQ(ba_settings.coll[2].str, "ch");
}

TEST(NlsSil, BackslashEscapes) {
  ASSERT_EQ(parse("SIL \\\\ \\65 \\0102 \\0x43 x\\0x44y \\228 \\z\n"), 0);
  ASSERT_EQ(ba_settings.ncoll, 7);
  EXPECT_STREQ(ba_settings.coll[0].str, "\\");
  EXPECT_STREQ(ba_settings.coll[1].str, "A");       // decimal
  EXPECT_STREQ(ba_settings.coll[2].str, "B");       // octal
  EXPECT_STREQ(ba_settings.coll[3].str, "C");       // hexadecimal
  EXPECT_STREQ(ba_settings.coll[4].str, "xDy");
  EXPECT_STREQ(ba_settings.coll[5].str, "\xE4");
  EXPECT_STREQ(ba_settings.coll[6].str, "\\z");     // not a number: the backslash stays
}

TEST(NlsSil, NumberKeepsItsLowEightBits) {
  ASSERT_EQ(parse("SIL \\344\n"), 0);  // decimal 344 = 0x158
  EXPECT_STREQ(ba_settings.coll[0].str, "\x58");
}

TEST(NlsSil, FirstByteIndexListsEntriesInOrder) {
  ASSERT_EQ(parse("SIL c C\nSIL ch\nSIL d\nSIL cz\n"), 0);
  const ba_collist &c = ba_collidx[static_cast<unsigned char>('c')];
  ASSERT_EQ(c.n, 3);
  EXPECT_EQ(c.idx[0], 0);
  EXPECT_EQ(c.idx[1], 2);
  EXPECT_EQ(c.idx[2], 4);
  EXPECT_EQ(ba_collidx[static_cast<unsigned char>('C')].n, 1);
  EXPECT_EQ(ba_collidx[static_cast<unsigned char>('d')].n, 1);
  EXPECT_EQ(ba_collidx[0].n, 0);
  EXPECT_EQ(ba_collidx[static_cast<unsigned char>('e')].n, 0);
}

TEST(NlsSil, ReparseRebuildsTheIndexFromTheNewFileOnly) {
  ASSERT_EQ(parse("SIL a\nSIL b\nTEXT x\nSHIFT a-A\nYES j\n"), 0);
  ASSERT_EQ(parse("SIL b\n"), 0);
  EXPECT_EQ(ba_settings.ncoll, 1);
  EXPECT_EQ(ba_collidx[static_cast<unsigned char>('a')].n, 0);
  ASSERT_EQ(ba_collidx[static_cast<unsigned char>('b')].n, 1);
  EXPECT_EQ(ba_collidx[static_cast<unsigned char>('b')].idx[0], 0);
  EXPECT_EQ(ba_settings.coll[0].weight, 1);
  EXPECT_EQ(ba_settings.ntextchar, 0);
  EXPECT_EQ(ba_settings.nshift, 0);
  EXPECT_EQ(ba_settings.yes, nullptr);
}

TEST(NlsSil, NlsfreeEmptiesTheIndex) {
  ASSERT_EQ(parse("SIL a\n"), 0);
  ba_nlsfree();
  for (const ba_collist &l : ba_collidx) {
    EXPECT_EQ(l.n, 0);
    EXPECT_EQ(l.idx, nullptr);
  }
}

// ---- Weights and comparisons -------------------------------------------------------------

TEST(NlsWeight, EndBlankAndUndefinedByte) {
  ASSERT_EQ(parse("SIL a\n"), 0);
  EXPECT_EQ(weigh(""), std::make_pair(0, 0));
  EXPECT_EQ(weigh(" a"), std::make_pair(0, 1));
  EXPECT_EQ(weigh("x"), std::make_pair(30000, 1));
  EXPECT_EQ(weigh("\xE4"), std::make_pair(30000, 1));
  EXPECT_EQ(weigh("a"), std::make_pair(1, 1));
  EXPECT_EQ(weigh("a", 0), std::make_pair(0, 0));  // no byte may be matched
}

TEST(NlsWeight, LongestMatchWinsAndMaxLimitsIt) {
  ASSERT_EQ(parse("SIL c\nSIL ch\nSIL d\n"), 0);
  EXPECT_EQ(weigh("ch"), std::make_pair(2, 2));
  EXPECT_EQ(weigh("chx"), std::make_pair(2, 2));
  EXPECT_EQ(weigh("cd"), std::make_pair(1, 1));
  EXPECT_EQ(weigh("ch", 1), std::make_pair(1, 1));
}

TEST(NlsWeight, EarlierEntryWinsOnEqualCounts) {
  ASSERT_EQ(parse("SIL ab\nSIL a\n"), 0);
  EXPECT_EQ(weigh("ax"), std::make_pair(1, 1));  // both match one byte: "ab" is earlier
  EXPECT_EQ(weigh("ab"), std::make_pair(1, 2));
}

TEST(NlsWeight, UsedAccumulates) {
  ASSERT_EQ(parse("SIL ch\n"), 0);
  const char *pos = "chch";
  int used = 5;
  ba_nlsweight(&pos, 10, &used);
  ba_nlsweight(&pos, 10, &used);
  EXPECT_EQ(used, 9);
  EXPECT_EQ(*pos, '\0');
}

TEST(NlsCompare, LinesGiveEqualWeights) {
  ASSERT_EQ(parse("SIL a A\nSIL b B\n"), 0);
  EXPECT_EQ(cmp("a", "A"), 0);
  EXPECT_EQ(cmp("a", "b"), -1);
  EXPECT_EQ(cmp("A", "b"), -1);
  EXPECT_EQ(cmp("B", "a"), 1);
  EXPECT_EQ(cmp("aB", "Ab"), 0);
}

TEST(NlsCompare, MultiByteElementSortsByItsOwnWeight) {
  ASSERT_EQ(parse("SIL c\nSIL ch\nSIL d\n"), 0);
  EXPECT_EQ(cmp("ch", "cd"), 1);
  EXPECT_EQ(cmp("cd", "ch"), -1);
  EXPECT_EQ(cmp("ch", "d"), -1);
  EXPECT_EQ(cmp("ch", "ch"), 0);
}

TEST(NlsCompare, TrailingBlanksDoNotCountButInnerBlanksDo) {
  ASSERT_EQ(parse("SIL a\nSIL b\n"), 0);
  EXPECT_EQ(cmp("a", "a "), 0);
  EXPECT_EQ(cmp("a   ", "a"), 0);
  EXPECT_EQ(cmp("a b", "ab"), -1);
  EXPECT_EQ(cmp("ab", "a b"), 1);
}

TEST(NlsCompare, EndAndUndefinedBytes) {
  ASSERT_EQ(parse("SIL a\nSIL b\n"), 0);
  EXPECT_EQ(cmp("a", "ab"), -1);
  EXPECT_EQ(cmp("", ""), 0);
  EXPECT_EQ(cmp("", "a"), -1);
  EXPECT_EQ(cmp("x", "b"), 1);  // undefined bytes sort after everything defined
  EXPECT_EQ(cmp(nullptr, ""), 0);
}

TEST(NlsCompare, MaxLimitsTheComparedBytes) {
  ASSERT_EQ(parse("SIL a\nSIL b\nSIL c\nSIL d\n"), 0);
  EXPECT_EQ(cmp("abc", "abd", 2), 0);
  EXPECT_EQ(cmp("abc", "abd", 3), -1);
  EXPECT_EQ(cmp("abc", "xyz", 0), 0);
}

TEST(NlsCompare, Between) {
  ASSERT_EQ(parse("SIL a A\nSIL b B\nSIL c C\nSIL d D\n"), 0);
  EXPECT_EQ(ba_between("b", "a", "c"), 1);
  EXPECT_EQ(ba_between("a", "a", "c"), 1);
  EXPECT_EQ(ba_between("C", "a", "c"), 1);
  EXPECT_EQ(ba_between("B", "a", "c"), 1);
  EXPECT_EQ(ba_between("d", "a", "c"), 0);
  EXPECT_EQ(ba_between("a", "b", "c"), 0);
}

// ---- Character classes, dates, money -------------------------------------------------------

TEST(NlsClasses, YesAndNo) {
  ASSERT_EQ(parse("YES jJyY\nNO nN\n"), 0);
  EXPECT_EQ(ba_isyes('j'), 1);
  EXPECT_EQ(ba_isyes('Y'), 1);
  EXPECT_EQ(ba_isyes('n'), 0);
  EXPECT_EQ(ba_isyes(0), 0);  // the terminating zero is no answer
  EXPECT_EQ(ba_isno('N'), 1);
  EXPECT_EQ(ba_isno('j'), 0);
  EXPECT_EQ(ba_isno(0), 0);
}

TEST(NlsClasses, WithoutYesAndNoLinesNothingAnswers) {
  ASSERT_EQ(parse("POINT .\n"), 0);
  EXPECT_EQ(ba_isyes('y'), 0);
  EXPECT_EQ(ba_isno('n'), 0);
}

TEST(NlsClasses, SetdateTakesTheLengthEightOrElseTen) {
  EXPECT_EQ(ba_setdate("YY/MM/DD"), 0);
  EXPECT_EQ(ba_settings.datelen, 8);
  EXPECT_EQ(ba_settings.dateorder, 2);
  EXPECT_EQ(ba_settings.datesep, '/');
  EXPECT_EQ(ba_setdate("X"), -1);  // no separator to read
  EXPECT_EQ(ba_settings.datelen, 8);
  EXPECT_EQ(ba_setdate("DD.MM.YYY"), 0);
  EXPECT_EQ(ba_settings.datelen, 10);
  EXPECT_EQ(ba_settings.dateorder, 0);
  EXPECT_EQ(ba_settings.datesep, '.');
}

TEST(NlsMoney, PercentIsReplacedByTheAmount) {
  ASSERT_EQ(parse("CURRENCY % EUR\n"), 0);
  EXPECT_STREQ(ba_money("12,50"), "12,50 EUR");
  ASSERT_EQ(parse("CURRENCY $%%\n"), 0);
  EXPECT_STREQ(ba_money("7"), "$77");
}

TEST(NlsMoney, WithoutCurrencyTheAmountStandsAlone) {
  ASSERT_EQ(parse("YES j\n"), 0);
  EXPECT_STREQ(ba_money("3.20"), "3.20");
  EXPECT_STREQ(ba_money(nullptr), "");
}

TEST(NlsMoney, LongResultIsCutAt199Characters) {
  ASSERT_EQ(parse("CURRENCY %%%%%%x\n"), 0);
  std::string amount(50, '9');
  char *r = ba_money(amount.c_str());
  EXPECT_EQ(strlen(r), 199u);
  EXPECT_EQ(std::string(r), std::string(199, '9'));
}

// ---- Releasing -----------------------------------------------------------------------------

TEST(NlsRelease, ReparseAndClearLeaveNoRecordedBlock) {
  setenv("TOLVMEMCTRL", "1", 1);
  ba_settings.debug = 1;
  const std::string file =
      "YES jJ\nNO nN\nYES yY\nCURRENCY %\nCURRENCY % EUR\nTEXT [a-z]_\nTEXT [0-9]\n"
      "SHIFT a-A b-B\nSIL a A\nSIL b B\nSIL ch\n";
  ASSERT_EQ(parse(file), 0);
  std::string first = memreport();
  EXPECT_NE(first.find("ba_nls.cc"), std::string::npos);
  ASSERT_EQ(parse(file), 0);
  ba_nlsclear(&ba_settings);
  std::string last = memreport();
  EXPECT_EQ(last.find("ba_nls.cc"), std::string::npos) << last;
  EXPECT_NE(last.find("\nTotal:          0\n"), std::string::npos) << last;
  EXPECT_EQ(ba_settings.coll, nullptr);
  EXPECT_EQ(ba_settings.ncoll, 0);
  EXPECT_EQ(ba_settings.shift, nullptr);
  EXPECT_EQ(ba_settings.textrange, nullptr);
  EXPECT_EQ(ba_settings.ntextchar, 0);
  EXPECT_EQ(ba_settings.currency, nullptr);
}

TEST(NlsRelease, ReparseHoldsTheSameNumberOfBlocks) {
  setenv("TOLVMEMCTRL", "1", 1);
  ba_settings.debug = 1;
  const std::string file = "YES j\nNO n\nCURRENCY %\nTEXT [a-z]\nSHIFT a-A\nSIL a A\nSIL b\n";
  ASSERT_EQ(parse(file), 0);
  std::string first = memreport();
  ASSERT_EQ(parse(file), 0);
  std::string second = memreport();
  auto total = [](const std::string &r) { return r.substr(r.find("Total:")); };
  EXPECT_EQ(total(first), total(second));
}

// ---- Shipped language files ----------------------------------------------------------------

TEST(NlsShipped, EveryLineFitsAndEndsWithANewline) {
  for (const char *lang : {"geriso", "eng"}) {
    std::string text = tolvtest::read_file(shipped(lang));
    ASSERT_FALSE(text.empty()) << lang;
    EXPECT_EQ(text.back(), '\n') << lang;
    std::istringstream in(text);
    std::string line;
    for (int n = 1; std::getline(in, line); n++)
      EXPECT_LE(line.size(), static_cast<size_t>(NLS_LINEMAX)) << lang << " line " << n;
  }
}

TEST(NlsShipped, GerisoFollowsGermanConventions) {
  ASSERT_EQ(parse_file(shipped("geriso")), 0);
  EXPECT_EQ(ba_settings.decpoint, ',');
  EXPECT_EQ(ba_settings.datelen, 10);
  EXPECT_EQ(ba_settings.dateorder, 0);
  EXPECT_EQ(ba_settings.datesep, '.');
  EXPECT_EQ(ba_isyes('j'), 1);
  EXPECT_EQ(ba_isyes('J'), 1);
  EXPECT_EQ(ba_isno('n'), 1);
  EXPECT_EQ(ba_isyes('n'), 0);
  EXPECT_STREQ(ba_money("9,99"), "9,99 EUR");
  for (int c : {int{'a'}, int{'Z'}, int{'0'}, int{'_'}, 0xE4, 0xF6, 0xFC, 0xC4, 0xD6, 0xDC, 0xDF})
    EXPECT_EQ(ba_istext(c), 1) << c;
  for (int c : {int{' '}, int{'-'}, int{'.'}, 0xD7, 0xF7})
    EXPECT_EQ(ba_istext(c), 0) << c;
}

TEST(NlsShipped, GerisoCasePairsCoverTheUmlauts) {
  ASSERT_EQ(parse_file(shipped("geriso")), 0);
  auto upper = [](int lower) {
    for (int i = 0; i < ba_settings.nshift; i++)
      if (ba_settings.shift[i].lower == lower) return static_cast<int>(ba_settings.shift[i].upper);
    return -1;
  };
  EXPECT_EQ(upper(0xE4), 0xC4);
  EXPECT_EQ(upper(0xF6), 0xD6);
  EXPECT_EQ(upper(0xFC), 0xDC);
  EXPECT_EQ(upper(0xDF), -1);  // sharp s has no upper case in ISO-8859-1
}

TEST(NlsShipped, GerisoSortsUmlautsWithTheirBaseLetter) {
  ASSERT_EQ(parse_file(shipped("geriso")), 0);
  EXPECT_EQ(cmp("\xE4pfel", "apfel"), 0);
  EXPECT_EQ(cmp("\xC4pfel", "Apfel"), 0);
  EXPECT_EQ(cmp("\xE4pfel", "birne"), -1);
  EXPECT_EQ(cmp("M\xFCller", "Muller"), 0);
  EXPECT_EQ(cmp("M\xFCller", "Mz"), -1);
  EXPECT_EQ(cmp("Stra\xDF" "e", "Stras"), 1);
  EXPECT_EQ(cmp("Stra\xDF" "e", "Strat"), -1);
  EXPECT_EQ(cmp("\xF6l", "oel"), 1);
  EXPECT_EQ(cmp("9", "a"), -1);
  EXPECT_EQ(cmp("Zebra", "apfel"), 1);
}

// The Latin-1 symbols 0xA0-0xBF, the multiplication and the division sign each have a place
// of their own: defined, and with a weight that no other byte shares.
TEST(NlsShipped, GerisoGivesEveryLatin1SymbolItsOwnWeight) {
  ASSERT_EQ(parse_file(shipped("geriso")), 0);
  std::vector<int> symbols;
  for (int c = 0xA0; c <= 0xBF; c++) symbols.push_back(c);
  symbols.push_back(0xD7);
  symbols.push_back(0xF7);
  std::map<int, int> owner;  // weight -> the first byte (1..255) that has it
  for (int c = 1; c < 256; c++) {
    const char text[2] = {static_cast<char>(c), 0};
    owner.emplace(weigh(text).first, c);
  }
  for (int c : symbols) {
    const char text[2] = {static_cast<char>(c), 0};
    int w = weigh(text).first;
    EXPECT_NE(w, NLS_WEIGHT_NONE) << std::hex << c;
    EXPECT_EQ(owner[w], c) << std::hex << c << " weighs as much as " << owner[w];
  }
}

// Where the symbols sort: each row is in ascending order.
TEST(NlsShipped, GerisoSortsTheSymbolsBesideTheirRelatives) {
  ASSERT_EQ(parse_file(shipped("geriso")), 0);
  const std::vector<std::vector<std::string>> rows = {
      {"a b", "a\xA0" "b", "a!b", "ab"},  // the no-break space right after the blank
      {"!", "\xA1", "\""},
      {"$", "\xA2", "\xA3", "\xA4", "\xA5", "%", "\xB0", "&", "\xA7", "\xB6", "'"},
      {"5*3", "5\xD7" "3", "5+3", "5\xB1" "3", "5/3", "5\xF7" "3", "5:3"},
      {"-", "\xAD", ".", "\xB7", "/"},
      {"<", "\xAB", "=", ">", "\xBB", "?", "\xBF", "@", "\xA9", "\xAE", "["},
      {"`", "\xB4", "\xA8", "\xAF", "\xB8", "{", "|", "\xA6", "}", "~", "\xAC", "0"},
      {"0", "\xBC", "\xBD", "\xBE", "1", "\xB9", "2", "\xB2", "3", "\xB3", "4"},
      {"x", "x1", "x\xB9", "x2", "x\xB2", "x3", "x\xB3"},
      {"a", "\xAA", "b"},
      {"o", "\xBA", "p"},
      {"z", "\xFE", "\xB5"},
  };
  for (const auto &row : rows)
    for (size_t i = 1; i < row.size(); i++)
      EXPECT_EQ(cmp(row[i - 1].c_str(), row[i].c_str()), -1) << row[i - 1] << " < " << row[i];
}

// The fuzzer starts from the language file that is shipped.
TEST(NlsShipped, FuzzCorpusHoldsTheShippedGeriso) {
  EXPECT_EQ(tolvtest::read_file(tolvtest::source_dir() + "/fuzz/corpus/nls_fuzz/geriso.nls"),
            tolvtest::read_file(shipped("geriso")));
}

TEST(NlsShipped, EngFollowsEnglishConventions) {
  ASSERT_EQ(parse_file(shipped("eng")), 0);
  EXPECT_EQ(ba_settings.decpoint, '.');
  EXPECT_EQ(ba_settings.datelen, 10);
  EXPECT_EQ(ba_settings.dateorder, 1);
  EXPECT_EQ(ba_settings.datesep, '/');
  EXPECT_EQ(ba_isyes('y'), 1);
  EXPECT_EQ(ba_isyes('j'), 0);
  EXPECT_EQ(ba_isno('N'), 1);
  EXPECT_STREQ(ba_money("1.50"), "$1.50");
  EXPECT_EQ(ba_istext('q'), 1);
  EXPECT_EQ(ba_istext(0xE4), 0);
  EXPECT_EQ(ba_settings.nshift, 0);
}

TEST(NlsShipped, EngSortsInAsciiOrder) {
  ASSERT_EQ(parse_file(shipped("eng")), 0);
  EXPECT_EQ(ba_settings.ncoll, 0x7E - 0x21 + 1);
  for (int c = 0x21; c < 0x7E; c++) {
    char a[2] = {static_cast<char>(c), 0}, b[2] = {static_cast<char>(c + 1), 0};
    EXPECT_EQ(cmp(a, b), -1) << c;
  }
  EXPECT_EQ(cmp("B", "a"), -1);
  EXPECT_EQ(cmp("a", "A"), 1);
  EXPECT_EQ(cmp("\\", "]"), -1);
}

// ---- Error paths ---------------------------------------------------------------------------

TEST(NlsErrors, PointOtherThanDotOrComma) {
  EXPECT_EQ(parse("YES j\nPOINT ;\nNO n\n"), ER_NLS_POINT);
  EXPECT_EQ(ba_nlsline, 2);
  EXPECT_STREQ(ba_settings.yes, "j");  // fields filled before the error stay
  EXPECT_EQ(ba_settings.no, nullptr);
  EXPECT_EQ(parse("POINT\n"), ER_NLS_POINT);
  EXPECT_EQ(ba_nlsline, 1);
}

TEST(NlsErrors, DateOfAnotherLength) {
  EXPECT_EQ(parse("DATE D.M.YY\n"), ER_NLS_DATE);
  EXPECT_EQ(parse("\n\nDATE DD.MM.YYY\n"), ER_NLS_DATE);
  EXPECT_EQ(ba_nlsline, 3);
  EXPECT_EQ(parse("DATE DD.MM.YYYY \n"), ER_NLS_DATE);  // the trailing blank counts
  EXPECT_EQ(parse("DATE\n"), ER_NLS_DATE);
}

TEST(NlsErrors, TextSyntax) {
  for (const char *bad : {"[a-z", "[", "[a", "[a-", "[ab]", "[a-bc", "\\0y", "\\0", "\\0x",
                          "\\0x4", "\\0xG1", "\\0x4G", "ab\\", "[\\", "[a-\\", "[\\0x41"}) {
    EXPECT_EQ(parse(std::string("# x\nTEXT ") + bad + "\n"), ER_NLS_TEXT) << bad;
    EXPECT_EQ(ba_nlsline, 2) << bad;
  }
}

TEST(NlsErrors, SilElementDefinedTwice) {
  EXPECT_EQ(parse("SIL a\nSIL b\n\nSIL a\n"), ER_NLS_DUPSIL);
  EXPECT_EQ(ba_nlsline, 4);
  EXPECT_EQ(parse("SIL x y x\n"), ER_NLS_DUPSIL);
  EXPECT_EQ(ba_nlsline, 1);
  EXPECT_EQ(parse("SIL A\nSIL \\65\n"), ER_NLS_DUPSIL);  // equal after decoding
}

TEST(NlsErrors, ReparseAfterAnErrorStartsClean) {
  EXPECT_EQ(parse("SIL a\nSIL a\n"), ER_NLS_DUPSIL);
  ASSERT_EQ(parse("SIL a\n"), 0);
  EXPECT_EQ(ba_settings.ncoll, 1);
}

}  // namespace
