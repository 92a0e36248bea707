// Fuzz target of ba_str2date: the first byte picks the date format, the rest is the text. A
// parsed date must format with four-digit years and parse back to the same day number.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ba/ba_date.h"
#include "ba/globals.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  static const char seps[] = {'.', '/', '-'};
  ba_settings.datesep = seps[data[0] % 3];
  ba_settings.dateorder = (data[0] >> 2) % 4;  // 3 is no valid order
  ba_settings.datelen = (data[0] & 0x10) ? 10 : 8;
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  int n = ba_str2date(text.c_str());
  if (n == DATE_NULL) return 0;
  if (n < DATE_MIN || n > DATE_MAX) abort();
  char buf[DATE_LEN];
  ba_fmtdate(n, buf, 10, ba_settings.dateorder % 3, ba_settings.datesep);
  ba_settings.dateorder %= 3;
  if (ba_str2date(buf) != n) abort();
  return 0;
}
