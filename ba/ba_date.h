// ba_date.h: day numbers, times of day and intervals.
//
// A day number counts the days after 31 December 1899 in the Gregorian calendar extended
// backwards (year 0 a leap year); valid from -693960 (1 January of year 0) to 2958464
// (31 December 9999). DATE_NULL is the null date. A time of day is seconds since midnight
// with a separate fraction; an interval is (a, s, f), a negative one with all three negated.
//
// See also: ba_env.h (the date format of the settings), ad_dump (dates in rows).
#pragma once

#include <ctime>

constexpr int DATE_NULL = static_cast<int>(0x80000000u);
constexpr int DATE_MIN = -693960;
constexpr int DATE_MAX = 2958464;
constexpr int DATE_DAYSECS = 86400;
// Output buffers: a formatted date needs DATE_LEN bytes, a time of day DATE_TIMELEN
// ("hh:mm:ss", the point and an 11-character fraction) plus the width, an interval DATE_IVALLEN
// (qualifier 10 with a sign: "-", an 11-character count and a blank, then a time of day).
constexpr int DATE_LEN = 11;
constexpr int DATE_TIMELEN = 24;
constexpr int DATE_IVALLEN = 40;
// Widest fraction field of ba_time2str: larger widths (either sign) count as this one.
constexpr int DATE_MAXWIDTH = 64;

// Day, month, year to day number; DATE_NULL for an impossible date or a year outside 0..9999.
int ba_codedate(int day, int month, int year);
// Day number to day, month, year; 0, or -1 outside DATE_MIN..DATE_MAX (outputs untouched).
int ba_splitdate(int daynr, int *day, int *month, int *year);
int ba_dateday(int daynr);    // -1 when invalid
int ba_datemonth(int daynr);  // -1 when invalid
int ba_dateyear(int daynr);   // -1 when invalid
int ba_weekday(int daynr);    // daynr % 7 (truncating): 0 Sunday, 1 Monday from 1900 on
int ba_dateleap(int daynr);   // 1 when the day's year is a leap year; 0 also when invalid
int ba_leapyear(int year);
int ba_today();               // today's day number (local time)
int ba_time2date(time_t t);   // day number of the local date of t
// Parses text under the settings' date format; DATE_NULL when invalid.
int ba_str2date(const char *text);
// Formats under the settings' date format. REQUIRES: buf has DATE_LEN bytes.
int ba_date2str(int daynr, char *buf);
// "NULL" for DATE_NULL (0); -1 with no output outside the valid range; an order other than
// 0..2 gives 0 and leaves buf untouched. len 10 prints four-digit years, others two.
// REQUIRES: buf has DATE_LEN bytes.
int ba_fmtdate(int daynr, char *buf, int len, int order, int sep);
int ba_isblank(const char *text);  // 1 when null, empty or all spaces

// hours * 3600 + minutes * 60 + seconds; with the debug setting, 0 for parts out of range;
// -1 when the sum does not fit an int.
int ba_codetime(int hours, int minutes, int seconds);
// 0, or -1 outside 0..86399 (outputs untouched).
int ba_splittime(int secs, int *hours, int *minutes, int *seconds);
int ba_now();  // the current local time of day in seconds
// hours:minutes[:seconds[.fraction]]; 0, or -1 when invalid (outputs untouched).
int ba_str2time(const char *text, int *secs, int *fraction);
// Formats a time of day; seconds outside a day print as "**:**:**". A width other than -1 is
// the field width of the fraction, held to -DATE_MAXWIDTH..DATE_MAXWIDTH.
// REQUIRES: buf has DATE_TIMELEN bytes plus |width| (at most DATE_MAXWIDTH) when width is not -1.
void ba_time2str(int secs, int fraction, char *buf, int width, int shortform);
// Formats an interval by its qualifier (1..13). REQUIRES: buf has DATE_IVALLEN bytes.
void ba_ival2string(int a, int s, int f, int qualifier, char *buf);
