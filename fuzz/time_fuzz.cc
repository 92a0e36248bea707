// Fuzz target of ba_str2time: a parsed time lies within a day with a fraction of 0..9999, and
// its long form text parses back to the same seconds and fraction.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ba/ba_date.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  int secs = -1, frac = -1;
  if (ba_str2time(text.c_str(), &secs, &frac) != 0) return 0;
  if (secs < 0 || secs >= DATE_DAYSECS || frac < 0 || frac > 9999) abort();
  char buf[DATE_TIMELEN];
  ba_time2str(secs, frac, buf, -1, 0);
  int s2 = -1, f2 = -1;
  if (ba_str2time(buf, &s2, &f2) != 0 || s2 != secs || f2 != frac) abort();
  char ival[DATE_IVALLEN];
  for (int q = 1; q <= 13; q++) ba_ival2string(-frac, -secs, -frac, q, ival);
  return 0;
}
