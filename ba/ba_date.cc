// ba_date: calendar dates as day numbers, times of day as seconds since midnight, and
// intervals: coding and splitting, parsing and formatting under the settings' date format.
//
// Entry points: ba_codedate, ba_splitdate (and the part extractors), ba_str2date,
// ba_fmtdate, ba_date2str, ba_codetime, ba_splittime, ba_str2time, ba_time2str,
// ba_ival2string, ba_today, ba_now, ba_time2date.
// See also: ba_env.h (datesep, dateorder, datelen, debug), ba_sys (ba_rtrim, ba_debug),
// ad_dump (the value dump prints dates, times and intervals with these).
//
// Invariants:
//  (1) Day numbers and the calendar are computed in closed form from the count of days
//      before 1 January of a year; year by year and month by month walks give the same
//      numbers but cost up to 8000 steps.
//  (2) Every text is written with a bound: dates into DATE_LEN bytes, times into
//      DATE_TIMELEN bytes (plus the width), intervals into DATE_IVALLEN bytes.
#include "ba/ba_date.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ba/ba_sys.h"
#include "ba/globals.h"

namespace {

constexpr int MONTHLEN[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int YEAR_MAX = 9999;
constexpr int EPOCH_YEAR = 1900;     // day 1 is 1 January 1900
constexpr int DATE_WHOLE = 20;       // shorter date texts are taken whole
constexpr int DATE_FIELD = 10;       // longer ones keep their first 10 characters
constexpr int TWO_DIGIT_PIVOT = 40;  // two-digit years from 40 are 19xx, below 20xx
constexpr int TIME_MAXTEXT = 30;
constexpr int FRACTION_MAX = 9999;
constexpr int NUM_SATURATE = 1000000000;  // leading-digit numbers saturate here

int month_length(int month, int year) {
  return (month == 2 && ba_leapyear(year)) ? 29 : MONTHLEN[month - 1];
}

// Days from 1 January of year 0 to 1 January of year y (y >= 0): 365 per year and one per
// leap year among 0..y-1.
long days_before_year(long y) { return 365 * y + (y + 3) / 4 - (y + 99) / 100 + (y + 399) / 400; }

int days_before_month(int month, int year) {
  int days = 0;
  for (int m = 1; m < month; m++) days += month_length(m, year);
  return days;
}

// A number from the leading digits of s as the C library's integer conversion reads it:
// leading white space, an optional sign, digits; saturated instead of overflowing.
int leading_int(const char *s) {
  while (isspace(static_cast<unsigned char>(*s))) s++;
  bool neg = *s == '-';
  if (*s == '-' || *s == '+') s++;
  int v = 0;
  for (; isdigit(static_cast<unsigned char>(*s)); s++) v = v >= NUM_SATURATE / 10 ? NUM_SATURATE : v * 10 + (*s - '0');
  return neg ? -v : v;
}

struct hms {
  bool ok;  // false when the seconds lie outside a day; the parts are then not set
  int hours, minutes, seconds;
};

hms split(int secs) {
  hms t{};
  t.ok = ba_splittime(secs, &t.hours, &t.minutes, &t.seconds) == 0;
  return t;
}

// The time of day of s and f (see ba_time2str) into out of size bytes. Seconds outside a
// day print as "**:**:**" rather than from parts that were never set.
void time_text(int secs, int fraction, char *out, size_t size, int width, bool shortform) {
  hms t = split(secs);
  int n;
  if (!t.ok)
    n = snprintf(out, size, "**:**:**");
  else if (!shortform || t.hours != 0)
    n = snprintf(out, size, "%02d:%02d:%02d", t.hours, t.minutes, t.seconds);
  else if (t.minutes != 0)
    n = snprintf(out, size, "%02d:%02d", t.minutes, t.seconds);
  else
    n = snprintf(out, size, "%02d", t.seconds);
  if (n < 0 || static_cast<size_t>(n) >= size) return;
  if (width != -1)
    snprintf(out + n, size - n, ".%*d", width, fraction);
  else if (fraction != 0)
    snprintf(out + n, size - n, ".%d", fraction);
}

// The hours or minutes of an interval (0..59) as "%d" and "%02d" would print them, or "**"
// when the split failed.
struct field2 {
  char plain[3];
  char padded[3];
};

field2 part_text(bool ok, int v) {
  field2 f;
  char tens = ok ? static_cast<char>('0' + v / 10) : '*';
  char units = ok ? static_cast<char>('0' + v % 10) : '*';
  f.padded[0] = tens;
  f.padded[1] = units;
  f.padded[2] = '\0';
  bool one = ok && v < 10;
  f.plain[0] = one ? units : tens;
  f.plain[1] = one ? '\0' : units;
  f.plain[2] = '\0';
  return f;
}

// Local date of t coded as a day number.
int local_daynr(time_t t) {
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr) return DATE_NULL;
  return ba_codedate(tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900);
}

}  // namespace

// ---- Day numbers ---------------------------------------------------------------------------

int ba_leapyear(int year) { return (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) ? 1 : 0; }

int ba_codedate(int day, int month, int year) {
  if (month < 1 || month > 12 || year < 0 || year > YEAR_MAX || day < 1 || day > 31) return DATE_NULL;
  if (day > month_length(month, year)) return DATE_NULL;
  long n = days_before_year(year) - days_before_year(EPOCH_YEAR) + days_before_month(month, year) + day;
  return static_cast<int>(n);
}

int ba_splitdate(int daynr, int *day, int *month, int *year) {
  if (daynr < DATE_MIN || daynr > DATE_MAX) return -1;
  long z = daynr - 1 + days_before_year(EPOCH_YEAR);  // days since 1 January of year 0
  long y = z * 400 / 146097;                          // 146097 days in 400 years
  while (days_before_year(y + 1) <= z) y++;
  while (days_before_year(y) > z) y--;
  int rest = static_cast<int>(z - days_before_year(y));
  int m = 1;
  while (rest >= month_length(m, static_cast<int>(y))) rest -= month_length(m++, static_cast<int>(y));
  *day = rest + 1;
  *month = m;
  *year = static_cast<int>(y);
  return 0;
}

int ba_dateday(int daynr) {
  int d, m, y;
  return ba_splitdate(daynr, &d, &m, &y) == 0 ? d : -1;
}

int ba_datemonth(int daynr) {
  int d, m, y;
  return ba_splitdate(daynr, &d, &m, &y) == 0 ? m : -1;
}

int ba_dateyear(int daynr) {
  int d, m, y;
  return ba_splitdate(daynr, &d, &m, &y) == 0 ? y : -1;
}

int ba_weekday(int daynr) { return daynr % 7; }

int ba_dateleap(int daynr) {
  int d, m, y;
  return ba_splitdate(daynr, &d, &m, &y) == 0 ? ba_leapyear(y) : 0;
}

int ba_today() { return local_daynr(time(nullptr)); }

int ba_time2date(time_t t) { return local_daynr(t); }

// ---- Date text ---------------------------------------------------------------------------

int ba_str2date(const char *text) {
  if (text == nullptr) return DATE_NULL;
  size_t n = strlen(text);
  if (n >= static_cast<size_t>(DATE_WHOLE)) {
    for (size_t i = DATE_FIELD; i < n; i++)
      if (text[i] != ' ') return DATE_NULL;
    n = DATE_FIELD;
  }
  char t[DATE_WHOLE];
  memcpy(t, text, n);
  t[n] = '\0';
  ba_rtrim(t);
  char sep = ba_settings.datesep;
  char *p1 = sep != '\0' ? strchr(t, sep) : nullptr;
  char *p2 = p1 != nullptr ? strchr(p1 + 1, sep) : nullptr;
  if (p2 == nullptr) return DATE_NULL;
  *p1 = *p2 = '\0';
  const char *part[3] = {t, p1 + 1, p2 + 1};
  const char *dtext, *mtext, *ytext;
  switch (ba_settings.dateorder) {
    case 0: dtext = part[0], mtext = part[1], ytext = part[2]; break;
    case 1: mtext = part[0], dtext = part[1], ytext = part[2]; break;
    case 2: ytext = part[0], mtext = part[1], dtext = part[2]; break;
    default: return ba_codedate(1, 1, EPOCH_YEAR);
  }
  int year = leading_int(ytext);
  if (strlen(ytext) <= 3) year += year >= TWO_DIGIT_PIVOT ? 1900 : 2000;
  return ba_codedate(leading_int(dtext), leading_int(mtext), year);
}

int ba_fmtdate(int daynr, char *buf, int len, int order, int sep) {
  if (daynr == DATE_NULL) {
    snprintf(buf, DATE_LEN, "NULL");
    return 0;
  }
  int d, m, y;
  if (ba_splitdate(daynr, &d, &m, &y) != 0) return -1;
  if (order < 0 || order > 2) return 0;
  char dt[12], mt[12], yt[12];
  snprintf(dt, sizeof dt, "%02d", d);
  snprintf(mt, sizeof mt, "%02d", m);
  if (len == 10)
    snprintf(yt, sizeof yt, "%04d", y);
  else
    snprintf(yt, sizeof yt, "%02d", y % 100);
  const char *first = order == 2 ? yt : order == 1 ? mt : dt;
  const char *second = order == 0 ? mt : order == 1 ? dt : mt;
  const char *third = order == 2 ? dt : yt;
  char text[48];  // at most 10 characters for a valid date
  snprintf(text, sizeof text, "%s%c%s%c%s", first, sep, second, sep, third);
  size_t n = std::min(strlen(text), static_cast<size_t>(DATE_LEN - 1));
  memcpy(buf, text, n);
  buf[n] = '\0';
  return 0;
}

int ba_date2str(int daynr, char *buf) {
  return ba_fmtdate(daynr, buf, ba_settings.datelen, ba_settings.dateorder, ba_settings.datesep);
}

int ba_isblank(const char *text) {
  if (text == nullptr) return 1;
  for (; *text != '\0'; text++)
    if (*text != ' ') return 0;
  return 1;
}

// ---- Times of day ------------------------------------------------------------------------

int ba_codetime(int hours, int minutes, int seconds) {
  if (ba_settings.debug != 0 &&
      (hours < 0 || hours > 23 || minutes < 0 || minutes > 59 || seconds < 0 || seconds > 59)) {
    ba_debug("ba_codetime: h = %d, m = %d, s = %d\n", hours, minutes, seconds);
    return 0;
  }
  // Summed in 64 bits: the parts are the caller's and unchecked without debug. A sum outside
  // the int range is no time of day and gives -1, which every time formatter refuses.
  long long t = hours * 3600LL + minutes * 60LL + seconds;
  return t >= INT_MIN && t <= INT_MAX ? static_cast<int>(t) : -1;
}

int ba_splittime(int secs, int *hours, int *minutes, int *seconds) {
  if (secs < 0 || secs >= DATE_DAYSECS) return -1;
  *hours = secs / 3600;
  *minutes = secs / 60 % 60;
  *seconds = secs % 60;
  return 0;
}

int ba_now() {
  time_t t = time(nullptr);
  struct tm tm;
  if (localtime_r(&t, &tm) == nullptr) return 0;
  return ba_codetime(tm.tm_hour, tm.tm_min, tm.tm_sec);
}

int ba_str2time(const char *text, int *secs, int *fraction) {
  if (text == nullptr) return -1;
  char t[TIME_MAXTEXT + 1];
  size_t n = strnlen(text, TIME_MAXTEXT);
  memcpy(t, text, n);
  t[n] = '\0';
  int colons = 0, dots = 0;
  for (const char *c = t; *c != '\0'; c++) {
    if (*c == ':') {
      if (dots > 0) return -1;  // a ':' after the '.'
      colons++;
    } else if (*c == '.') {
      dots++;
    } else if (!isdigit(static_cast<unsigned char>(*c))) {
      return -1;
    }
  }
  if (colons == 0 || colons > 2 || dots > 1) return -1;
  // hours:minutes.fraction has no agreed reading (minutes with a fraction, or minutes and
  // seconds as the short time form prints them); it is refused rather than guessed.
  if (colons == 1 && dots == 1) return -1;
  int part[4] = {0, 0, 0, 0};  // hours, minutes, seconds, fraction
  const char *s = t;
  for (int i = 0; i < 4 && s != nullptr; i++) {
    part[i] = leading_int(s);
    s = strpbrk(s, ":.");
    if (s != nullptr) s++;
  }
  if (part[2] > 59 || part[3] > FRACTION_MAX || part[0] > 23 || part[1] > 59) return -1;
  *secs = ba_codetime(part[0], part[1], part[2]);
  *fraction = part[3];
  return 0;
}

void ba_time2str(int secs, int fraction, char *buf, int width, int shortform) {
  // A fraction needs at most 11 characters, so a wider field is only padding: the width is
  // held to +-DATE_MAXWIDTH, which keeps every digit and bounds the text by the buffer the
  // caller was asked for (a width near INT_MAX would otherwise pad gigabytes into it).
  if (width != -1) width = std::clamp(width, -DATE_MAXWIDTH, DATE_MAXWIDTH);
  size_t extra = width == -1 ? 0 : static_cast<size_t>(std::abs(width));
  time_text(secs, fraction, buf, DATE_TIMELEN + extra, width, shortform != 0);
}

// ---- Intervals -----------------------------------------------------------------------------

void ba_ival2string(int a, int s, int f, int qualifier, char *buf) {
  const size_t size = DATE_IVALLEN;
  buf[0] = '\0';
  // Negated in 64 bits: -INT_MIN does not fit an int.
  long long la = a, ls = s, lf = f;
  size_t n = 0;
  if (la < 0 || ls < 0 || lf < 0) {
    buf[n++] = '-';
    buf[n] = '\0';
    la = -la, ls = -ls, lf = -lf;
  }
  int secs = static_cast<int>(std::min<long long>(ls, DATE_DAYSECS));  // beyond a day fails the split
  int frac = static_cast<int>(std::min<long long>(lf, 2147483647LL));
  hms t = split(secs);
  if (!t.ok) ba_debug("ba_ival2string: splittime failed. sec = %d\n", static_cast<int>(std::min<long long>(ls, 2147483647LL)));
  field2 hh = part_text(t.ok, t.hours), mm = part_text(t.ok, t.minutes);
  char *out = buf + n;
  size_t room = size - n;
  switch (qualifier) {
    case 1: snprintf(out, room, "%lld", la / 12); break;
    case 2: snprintf(out, room, "%lld", la / 100); break;
    case 3: snprintf(out, room, "%lld", la); break;
    case 4: snprintf(out, room, "%s", hh.plain); break;
    case 5: snprintf(out, room, "%s", mm.plain); break;
    case 6:
    case 12:
    case 13: time_text(secs, frac, out, room, -1, true); break;
    case 7: snprintf(out, room, "%lld-%02lld", la / 12, la % 12); break;
    case 8: snprintf(out, room, "%lld %s", la, hh.padded); break;
    case 9: snprintf(out, room, "%lld %s:%s", la, hh.padded, mm.padded); break;
    case 10: {
      int k = snprintf(out, room, "%lld ", la);
      if (k > 0 && static_cast<size_t>(k) < room) time_text(secs, frac, out + k, room - k, -1, false);
      break;
    }
    case 11: snprintf(out, room, "%s:%s", hh.plain, mm.padded); break;
    default:
      ba_debug("ba_ival2string: quali = %d\n", qualifier);
      buf[0] = '\0';
      break;
  }
}
