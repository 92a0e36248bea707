// Tests of ba_date: day numbers against the C library's calendar over the whole valid range,
// date and time texts under the settings' format, intervals by qualifier, and the error paths.
#include "ba/ba_date.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <string>

#include "ba/globals.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr int kDay1970 = 25568;  // 1 January 1970

// Sets the date format fields of the settings as a loaded language file would.
void set_format(char sep, int order, int len) {
  ba_settings.datesep = sep;
  ba_settings.dateorder = order;
  ba_settings.datelen = len;
}

std::string fmt(int daynr, int len, int order, char sep) {
  char buf[DATE_LEN] = "untouched";
  int rc = ba_fmtdate(daynr, buf, len, order, sep);
  return std::to_string(rc) + ":" + buf;
}

std::string timestr(int secs, int fraction, int width, int shortform) {
  char buf[DATE_TIMELEN + 8];
  ba_time2str(secs, fraction, buf, width, shortform);
  return buf;
}

std::string ival(int a, int s, int f, int q) {
  char buf[DATE_IVALLEN];
  memset(buf, '#', sizeof buf);
  ba_ival2string(a, s, f, q, buf);
  return buf;
}

// ---- Day numbers -------------------------------------------------------------------------

TEST(CodeDate, SpecimenDates) {
  EXPECT_EQ(ba_codedate(1, 1, 1900), 1);
  EXPECT_EQ(ba_codedate(31, 12, 1899), 0);
  EXPECT_EQ(ba_codedate(29, 2, 1900), DATE_NULL);
  EXPECT_NE(ba_codedate(29, 2, 2000), DATE_NULL);
  EXPECT_EQ(ba_codedate(1, 1, 0), -693960);
  EXPECT_EQ(ba_codedate(31, 12, 9999), 2958464);
  EXPECT_EQ(ba_codedate(1, 1, 1970), kDay1970);
  EXPECT_EQ(ba_codedate(29, 2, 0), -693960 + 59);  // year 0 is a leap year
}

TEST(CodeDate, ImpossibleDates) {
  EXPECT_EQ(ba_codedate(0, 1, 2000), DATE_NULL);
  EXPECT_EQ(ba_codedate(32, 1, 2000), DATE_NULL);
  EXPECT_EQ(ba_codedate(1, 0, 2000), DATE_NULL);
  EXPECT_EQ(ba_codedate(1, 13, 2000), DATE_NULL);
  EXPECT_EQ(ba_codedate(1, 1, -1), DATE_NULL);
  EXPECT_EQ(ba_codedate(1, 1, 10000), DATE_NULL);
  EXPECT_EQ(ba_codedate(30, 2, 2000), DATE_NULL);
  EXPECT_EQ(ba_codedate(31, 4, 2000), DATE_NULL);
  EXPECT_EQ(ba_codedate(31, 6, 2000), DATE_NULL);
  EXPECT_EQ(ba_codedate(31, 9, 2000), DATE_NULL);
  EXPECT_EQ(ba_codedate(31, 11, 2000), DATE_NULL);
  EXPECT_EQ(ba_codedate(29, 2, 2100), DATE_NULL);
  EXPECT_NE(ba_codedate(31, 12, 2000), DATE_NULL);
}

TEST(SplitDate, SpecimenDays) {
  int d = 0, m = 0, y = 0;
  ASSERT_EQ(ba_splitdate(-1, &d, &m, &y), 0);
  EXPECT_EQ(d * 1000000 + m * 10000 + y, 30121899);
  ASSERT_EQ(ba_splitdate(-365, &d, &m, &y), 0);
  EXPECT_EQ(d * 1000000 + m * 10000 + y, 31121898);
  d = m = y = 7;
  EXPECT_EQ(ba_splitdate(2958465, &d, &m, &y), -1);
  EXPECT_EQ(ba_splitdate(-693961, &d, &m, &y), -1);
  EXPECT_EQ(ba_splitdate(DATE_NULL, &d, &m, &y), -1);
  EXPECT_EQ(d + m + y, 21);  // untouched
}

TEST(SplitDate, EveryDayCodesBackAndAgreesWithTheCLibrary) {
  int pd = 31, pm = 12, py = -1;
  for (int n = DATE_MIN; n <= DATE_MAX; n++) {
    int d, m, y;
    ASSERT_EQ(ba_splitdate(n, &d, &m, &y), 0) << n;
    ASSERT_EQ(ba_codedate(d, m, y), n) << d << "." << m << "." << y;
    // The day after the previous one.
    bool next = (d == pd + 1 && m == pm && y == py) || (d == 1 && m == pm + 1 && y == py) ||
                (d == 1 && m == 1 && pm == 12 && y == py + 1);
    ASSERT_TRUE(next) << n;
    pd = d, pm = m, py = y;
    // The C library's proleptic Gregorian calendar on 64-bit time.
    time_t t = static_cast<time_t>(n - kDay1970) * 86400;
    struct tm tm;
    ASSERT_NE(gmtime_r(&t, &tm), nullptr);
    ASSERT_EQ(tm.tm_year + 1900, y) << n;
    ASSERT_EQ(tm.tm_mon + 1, m) << n;
    ASSERT_EQ(tm.tm_mday, d) << n;
    if (n >= 1) {
      ASSERT_EQ(ba_weekday(n), tm.tm_wday) << n;
    }
  }
}

TEST(SplitDate, TimegmOfEveryDayFrom1900) {
  for (int n = 1; n <= DATE_MAX; n += 1) {
    int d, m, y;
    ba_splitdate(n, &d, &m, &y);
    struct tm tm = {};
    tm.tm_mday = d;
    tm.tm_mon = m - 1;
    tm.tm_year = y - 1900;
    ASSERT_EQ(timegm(&tm), static_cast<time_t>(n - kDay1970) * 86400) << n;
  }
}

TEST(DateParts, ExtractorsAndLeapYears) {
  int n = ba_codedate(29, 2, 2024);
  EXPECT_EQ(ba_dateday(n), 29);
  EXPECT_EQ(ba_datemonth(n), 2);
  EXPECT_EQ(ba_dateyear(n), 2024);
  EXPECT_EQ(ba_dateleap(n), 1);
  EXPECT_EQ(ba_dateleap(ba_codedate(1, 3, 1900)), 0);
  EXPECT_EQ(ba_dateday(DATE_MAX + 1), -1);
  EXPECT_EQ(ba_datemonth(DATE_NULL), -1);
  EXPECT_EQ(ba_dateyear(DATE_MIN - 1), -1);
  EXPECT_EQ(ba_dateleap(DATE_NULL), 0);
  EXPECT_EQ(ba_leapyear(0), 1);
  EXPECT_EQ(ba_leapyear(1900), 0);
  EXPECT_EQ(ba_leapyear(2000), 1);
  EXPECT_EQ(ba_leapyear(2023), 0);
  EXPECT_EQ(ba_weekday(1), 1);  // Monday
  EXPECT_EQ(ba_weekday(0), 0);
  EXPECT_EQ(ba_weekday(-1), -1);  // truncating remainder
}

// The local date of t as the C library gives it, coded.
int local_day(time_t t) {
  struct tm tm;
  localtime_r(&t, &tm);
  return ba_codedate(tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900);
}

TEST(DateNow, TodayAndLocalTime) {
  int before = local_day(time(nullptr));
  int today = ba_today();
  int after = local_day(time(nullptr));
  EXPECT_TRUE(today == before || today == after);  // midnight may pass in between
  EXPECT_EQ(ba_time2date(0), local_day(0));
  EXPECT_EQ(ba_time2date(86400 * 365), local_day(86400 * 365));
  int now = ba_now();
  EXPECT_GE(now, 0);
  EXPECT_LT(now, DATE_DAYSECS);
}

// ---- Date text ---------------------------------------------------------------------------

TEST(FmtDate, OrdersLengthsAndSeparators) {
  int n = ba_codedate(31, 12, 1999);
  EXPECT_EQ(n, 36524);
  EXPECT_EQ(fmt(n, 8, 0, '.'), "0:31.12.99");
  EXPECT_EQ(fmt(n, 10, 0, '.'), "0:31.12.1999");
  EXPECT_EQ(fmt(n, 10, 1, '/'), "0:12/31/1999");
  EXPECT_EQ(fmt(n, 10, 2, '-'), "0:1999-12-31");
  EXPECT_EQ(fmt(ba_codedate(5, 3, 7), 10, 0, '.'), "0:05.03.0007");
  EXPECT_EQ(fmt(ba_codedate(5, 3, 2007), 8, 2, '.'), "0:07.03.05");
}

TEST(FmtDate, NullRangeAndOrder) {
  EXPECT_EQ(fmt(DATE_NULL, 10, 0, '.'), "0:NULL");
  EXPECT_EQ(fmt(DATE_MAX + 1, 10, 0, '.'), "-1:untouched");
  EXPECT_EQ(fmt(1, 10, 3, '.'), "0:untouched");
  EXPECT_EQ(fmt(1, 10, -1, '.'), "0:untouched");
}

TEST(DateToStr, UsesTheSettings) {
  set_format('/', 1, 10);
  char buf[DATE_LEN];
  EXPECT_EQ(ba_date2str(ba_codedate(4, 7, 2021), buf), 0);
  EXPECT_STREQ(buf, "07/04/2021");
}

TEST(StrToDate, DayFirstTwoDigitYears) {
  set_format('.', 0, 8);
  EXPECT_EQ(ba_str2date("31.12.99"), 36524);
  EXPECT_EQ(ba_dateyear(ba_str2date("01.01.39")), 2039);
  EXPECT_EQ(ba_dateyear(ba_str2date("01.01.40")), 1940);
  EXPECT_EQ(ba_dateyear(ba_str2date("01.01.099")), 1999);
  EXPECT_EQ(ba_dateyear(ba_str2date("01.01.1999")), 1999);
  EXPECT_EQ(ba_dateyear(ba_str2date("01.01.0039")), 39);
  EXPECT_EQ(ba_str2date("1.2.2003"), ba_codedate(1, 2, 2003));
}

TEST(StrToDate, OtherOrders) {
  set_format('/', 1, 10);
  EXPECT_EQ(ba_str2date("12/31/1999"), 36524);
  set_format('-', 2, 10);
  EXPECT_EQ(ba_str2date("1999-12-31"), 36524);
  set_format('-', 7, 10);
  EXPECT_EQ(ba_str2date("1999-12-31"), 1);  // 1 January 1900
}

TEST(StrToDate, LongTextsAndTrailingSpaces) {
  set_format('.', 0, 10);
  std::string t25 = "31.12.1999" + std::string(15, ' ');
  EXPECT_EQ(ba_str2date(t25.c_str()), 36524);
  std::string bad = "31.12.1999" + std::string(14, ' ') + "x";
  EXPECT_EQ(ba_str2date(bad.c_str()), DATE_NULL);
  EXPECT_EQ(ba_str2date("31.12.1999   "), 36524);
  std::string t19 = "31.12.99" + std::string(11, ' ');
  EXPECT_EQ(ba_str2date(t19.c_str()), 36524);
}

TEST(DateBlank, EmptyOrSpaces) {
  EXPECT_EQ(ba_isblank(""), 1);
  EXPECT_EQ(ba_isblank("   "), 1);
  EXPECT_EQ(ba_isblank(" x "), 0);
  EXPECT_EQ(ba_isblank("\t"), 0);
  EXPECT_EQ(ba_isblank(nullptr), 1);
}

// ---- Times of day ------------------------------------------------------------------------

TEST(CodeTime, PartsAndChecks) {
  EXPECT_EQ(ba_codetime(12, 30, 0), 45000);
  EXPECT_EQ(ba_codetime(25, 0, 0), 90000);  // unchecked without debug
  ba_settings.debug = 1;
  CaptureStderr();
  EXPECT_EQ(ba_codetime(25, 0, 0), 0);
  EXPECT_EQ(GetCapturedStderr(), "ba_codetime: h = 25, m = 0, s = 0\n");
  EXPECT_EQ(ba_codetime(23, 59, 59), 86399);
}

TEST(SplitTime, RangeOfADay) {
  int h = 9, m = 9, s = 9;
  ASSERT_EQ(ba_splittime(3725, &h, &m, &s), 0);
  EXPECT_EQ(h * 10000 + m * 100 + s, 10205);
  ASSERT_EQ(ba_splittime(86399, &h, &m, &s), 0);
  EXPECT_EQ(h * 10000 + m * 100 + s, 235959);
  EXPECT_EQ(ba_splittime(86400, &h, &m, &s), -1);
  EXPECT_EQ(ba_splittime(-1, &h, &m, &s), -1);
}

TEST(StrToTime, Forms) {
  int secs = -1, frac = -1;
  ASSERT_EQ(ba_str2time("12:30", &secs, &frac), 0);
  EXPECT_EQ(secs, 45000);
  EXPECT_EQ(frac, 0);
  ASSERT_EQ(ba_str2time("12:30:15.5", &secs, &frac), 0);
  EXPECT_EQ(secs, 45015);
  EXPECT_EQ(frac, 5);
  ASSERT_EQ(ba_str2time("0:0:0.9999", &secs, &frac), 0);
  EXPECT_EQ(frac, 9999);
  ASSERT_EQ(ba_str2time("23:59:59", &secs, &frac), 0);
  EXPECT_EQ(secs, 86399);
}

TEST(TimeToStr, LongAndShortForms) {
  EXPECT_EQ(timestr(3725, 0, -1, 0), "01:02:05");
  EXPECT_EQ(timestr(3725, 0, -1, 1), "01:02:05");
  EXPECT_EQ(timestr(125, 0, -1, 1), "02:05");
  EXPECT_EQ(timestr(5, 7, -1, 1), "05.7");
  EXPECT_EQ(timestr(5, 7, 3, 0), "00:00:05.  7");
  EXPECT_EQ(timestr(5, 0, 2, 1), "05. 0");
}

TEST(TimeToStr, SecondsOutsideADay) {
  EXPECT_EQ(timestr(86400, 0, -1, 0), "**:**:**");
  EXPECT_EQ(timestr(-5, 3, -1, 1), "**:**:**.3");
  EXPECT_EQ(timestr(INT_MIN, 0, -1, 0), "**:**:**");
}

// ---- Intervals -----------------------------------------------------------------------------

TEST(Interval, Qualifiers) {
  EXPECT_EQ(ival(30, 0, 0, 1), "2");
  EXPECT_EQ(ival(1234, 0, 0, 2), "12");
  EXPECT_EQ(ival(1234, 0, 0, 3), "1234");
  EXPECT_EQ(ival(0, 3725, 0, 4), "1");
  EXPECT_EQ(ival(0, 3725, 0, 5), "2");
  EXPECT_EQ(ival(0, 3725, 0, 6), "01:02:05");
  EXPECT_EQ(ival(0, 125, 5, 12), "02:05.5");
  EXPECT_EQ(ival(0, 5, 0, 13), "05");
  EXPECT_EQ(ival(14, 0, 0, 7), "1-02");
  EXPECT_EQ(ival(3, 3725, 0, 8), "3 01");
  EXPECT_EQ(ival(3, 3725, 0, 9), "3 01:02");
  EXPECT_EQ(ival(3, 5, 0, 10), "3 00:00:05");
  EXPECT_EQ(ival(3, 5, 25, 10), "3 00:00:05.25");
  EXPECT_EQ(ival(0, 3725, 0, 11), "1:02");
}

TEST(Interval, NegativeIntervals) {
  EXPECT_EQ(ival(-14, 0, 0, 7), "-1-02");
  EXPECT_EQ(ival(-3, -5, 0, 10), "-3 00:00:05");
  EXPECT_EQ(ival(INT_MIN, 0, 0, 3), "-2147483648");
  EXPECT_EQ(ival(-2147483647, -86399, -2147483647, 10), "-2147483647 23:59:59.2147483647");
}

TEST(Interval, SecondsOutsideADay) {
  ba_settings.debug = 1;
  CaptureStderr();
  EXPECT_EQ(ival(1, 90000, 0, 9), "1 **:**");
  EXPECT_EQ(GetCapturedStderr(), "ba_ival2string: splittime failed. sec = 90000\n");
  ba_settings.debug = 0;
  EXPECT_EQ(ival(1, 90000, 0, 10), "1 **:**:**");
  EXPECT_EQ(ival(0, 90000, 0, 4), "**");
  EXPECT_EQ(ival(0, INT_MIN, 0, 6), "-**:**:**");
}

// ---- Error paths ---------------------------------------------------------------------------

TEST(DateErrors, MalformedDates) {
  set_format('.', 0, 10);
  EXPECT_EQ(ba_str2date("31.12"), DATE_NULL);
  EXPECT_EQ(ba_str2date("31-12-1999"), DATE_NULL);
  EXPECT_EQ(ba_str2date("32.12.1999"), DATE_NULL);
  EXPECT_EQ(ba_str2date("29.02.1900"), DATE_NULL);
  EXPECT_EQ(ba_str2date(""), DATE_NULL);
  EXPECT_EQ(ba_str2date(nullptr), DATE_NULL);
  EXPECT_EQ(ba_str2date("x.y.z"), DATE_NULL);
  EXPECT_EQ(ba_str2date("99999999999.1.2000"), DATE_NULL);  // saturates, no overflow
  set_format('\0', 0, 10);  // settings not loaded: no separator matches
  EXPECT_EQ(ba_str2date("31.12.1999"), DATE_NULL);
}

TEST(DateErrors, MalformedTimes) {
  int secs = 7, frac = 7;
  const char *bad[] = {"12:3a", "1:2:3:4", "12", "12.5", "12:30.5", "1.2:3", "12:30:15.5.1",
                       "24:00", "12:60", "12:30:60", "12:30:15.10000", "-1:00", " 1:00",
                       "99999999999999:0", ":49577777766", "0:0:4957777776600"};
  for (const char *t : bad) EXPECT_EQ(ba_str2time(t, &secs, &frac), -1) << t;
  EXPECT_EQ(ba_str2time(nullptr, &secs, &frac), -1);
  EXPECT_EQ(secs + frac, 14);  // untouched
}

TEST(DateErrors, TimeTextIsCutAtThirtyCharacters) {
  int secs, frac;
  std::string t = "1:2:3." + std::string(30, '0');  // the 31st character onwards is not read
  EXPECT_EQ(ba_str2time(t.c_str(), &secs, &frac), 0);
  EXPECT_EQ(secs, 3723);
}

TEST(DateErrors, UnknownQualifier) {
  ba_settings.debug = 1;
  CaptureStderr();
  EXPECT_EQ(ival(1, 2, 3, 14), "");
  EXPECT_EQ(ival(-1, -2, -3, 0), "");
  EXPECT_EQ(GetCapturedStderr(), "ba_ival2string: quali = 14\nba_ival2string: quali = 0\n");
}

// ---- Caller-given widths and parts at the limits of an int ----------------------------------

// A fraction width near INT_MAX or INT_MIN pads no further than DATE_MAXWIDTH, so the text stays
// inside the buffer the contract asks for (and the fraction's digits are all there).
TEST(TimeToStrLimits, WidthsAtTheIntLimits) {
  struct {
    int width;
    size_t padded;  // characters of the fraction field
    bool left;
  } cases[] = {
      {INT_MAX, DATE_MAXWIDTH, false},  {INT_MAX - 1, DATE_MAXWIDTH, false}, {DATE_MAXWIDTH + 1, DATE_MAXWIDTH, false},
      {DATE_MAXWIDTH, DATE_MAXWIDTH, false}, {INT_MIN, DATE_MAXWIDTH, true}, {INT_MIN + 1, DATE_MAXWIDTH, true},
      {-DATE_MAXWIDTH - 1, DATE_MAXWIDTH, true}, {3, 3, false}, {-3, 3, true},
  };
  for (const auto &c : cases) {
    char buf[DATE_TIMELEN + DATE_MAXWIDTH + 16];
    memset(buf, '#', sizeof buf);
    ba_time2str(5, 7, buf, c.width, 0);
    std::string field(c.padded - 1, ' ');
    std::string want = "00:00:05." + (c.left ? "7" + field : field + "7");
    EXPECT_EQ(std::string(buf), want) << c.width;
    for (size_t i = want.size() + 1; i < sizeof buf; i++) ASSERT_EQ(buf[i], '#') << c.width;
  }
}

// Parts whose sum leaves the int range give -1 (no time of day) instead of an overflow.
TEST(CodeTimeLimits, SumsOutsideTheIntRange) {
  struct {
    int h, m, s;
    int secs;
  } cases[] = {
      {INT_MAX, 0, 0, -1},        {INT_MIN, 0, 0, -1},         {0, INT_MAX, 0, -1},
      {0, 0, INT_MAX, INT_MAX},   {596523, 0, 0, 2147482800}, {596524, 0, 0, -1},
      {0, 0, INT_MIN, INT_MIN},   {-596523, 0, 0, -2147482800}, {1, 1, INT_MAX - 3660, INT_MAX},
      {1, 1, INT_MAX - 3659, -1},
  };
  ba_settings.debug = 0;  // the parts are checked only with debug
  for (const auto &c : cases) EXPECT_EQ(ba_codetime(c.h, c.m, c.s), c.secs) << c.h << " " << c.m << " " << c.s;
  EXPECT_EQ(timestr(ba_codetime(INT_MAX, 0, 0), 0, -1, 0), "**:**:**");
}

// The date formatter takes no width to sum: lengths and orders at the int limits only choose
// the two-digit year or leave the buffer untouched.
TEST(FmtDateLimits, LengthsAndOrdersAtTheIntLimits) {
  EXPECT_EQ(fmt(36524, INT_MAX, 0, '.'), "0:31.12.99");
  EXPECT_EQ(fmt(36524, INT_MIN, 2, '-'), "0:99-12-31");
  EXPECT_EQ(fmt(36524, 10, INT_MAX, '.'), "0:untouched");
  EXPECT_EQ(fmt(36524, 10, INT_MIN, '.'), "0:untouched");
  EXPECT_EQ(fmt(INT_MAX, 10, 0, '.'), "-1:untouched");
  EXPECT_EQ(fmt(INT_MIN, 10, 0, '.'), "0:NULL");
}

}  // namespace
