// ba_date.h: day numbers, times of day and intervals.
//
// A day number counts the days after 31 December 1899 in the Gregorian calendar extended
// backwards (year 0 a leap year); valid from -693960 (1 January of year 0) to 2958464
// (31 December 9999). DATE_NULL is the null date. A time of day is seconds since midnight
// with a separate fraction; an interval is (a, s, f).
#pragma once

#include <ctime>

constexpr int DATE_NULL = static_cast<int>(0x80000000u);
constexpr int DATE_MIN = -693960;
constexpr int DATE_MAX = 2958464;

int ba_codedate(int day, int month, int year);
int ba_splitdate(int daynr, int *day, int *month, int *year);
int ba_dateday(int daynr);
int ba_datemonth(int daynr);
int ba_dateyear(int daynr);
int ba_weekday(int daynr);
int ba_dateleap(int daynr);
int ba_leapyear(int year);
int ba_today();
int ba_time2date(time_t t);
int ba_str2date(const char *text);
int ba_date2str(int daynr, char *buf);
int ba_fmtdate(int daynr, char *buf, int len, int order, int sep);
int ba_isblank(const char *text);
int ba_codetime(int hours, int minutes, int seconds);
int ba_splittime(int secs, int *hours, int *minutes, int *seconds);
int ba_now();
int ba_str2time(const char *text, int *secs, int *fraction);
void ba_time2str(int secs, int fraction, char *buf, int width, int shortform);
void ba_ival2string(int a, int s, int f, int qualifier, char *buf);
