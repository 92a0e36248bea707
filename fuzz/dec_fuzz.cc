// Fuzz target of the decimal text conversions: ba_str2dec on arbitrary text; a parsed valid
// decimal must format (ba_decfmt) and its text must parse back to an equal value. The
// arithmetic runs on the parsed value and on raw 22-byte decimals for memory safety.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ba/ba_dec.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

// Formatting as needed and with a few places; the as-needed text parses back unchanged.
void round_trip(const ba_decimal &d, int places, int len) {
  char buf[512];
  check(ba_decfmt(&d, buf, 400, -1, '.') == 0);
  ba_decimal back;
  size_t n = strlen(buf);
  if (n <= 100 && ba_str2dec(buf, 400, &back) == 0) check(ba_deccomp(&d, &back) == 0);
  int rc = ba_decfmt(&d, buf, len, places, ',');
  check(rc == 0 || rc == -2);
  check(strlen(buf) <= static_cast<size_t>(len));
}

void arithmetic(const ba_decimal &a, const ba_decimal &b) {
  ba_decimal r;
  ba_decadd(&a, &b, &r);
  ba_decsub(&a, &b, &r);
  ba_decmul(&a, &b, &r);
  ba_decdiv(&a, &b, &r);
  ba_deccomp(&a, &b);
  r = a;
  ba_decround(&r, b.exponent % 40);
  r = a;
  ba_dectrunc(&r, b.ndigits - 20);
  ba_decscale(&a);
  int v;
  double x;
  ba_dec2long(&a, &v);
  ba_dec2dbl(&a, &x);
  char buf[512];
  ba_decfmt(&a, buf, 300, -1, '.');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  ba_decimal d;
  int rc = ba_str2dec(text.c_str(), static_cast<int>(text.size()), &d);
  check(rc <= 0 && rc >= -5);
  if (rc == 0 && d.positive != -1 && ba_decvalid(&d)) {
    round_trip(d, size % 12, static_cast<int>(size % 40));
    arithmetic(d, d);
  }
  if (size >= 2 * sizeof(ba_decimal)) {
    ba_decimal a, b;
    memcpy(&a, data, sizeof a);
    memcpy(&b, data + sizeof a, sizeof b);
    arithmetic(a, b);
  }
  return 0;
}
