// Fuzz target of the value dump: ad_unpackdec on arbitrary packed bytes of any precision and
// scale, whose value must pack (ad_packdec) and unpack again to an equal value whenever it
// fits; and ad_dumpwert of arbitrary bytes under every type code, for memory safety.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ba/ba_dec.h"
#include "flush/ad_dump.h"

namespace {

constexpr size_t kRoom = 1024;  // the value bytes, zero-filled behind the input

void check(bool ok) {
  if (!ok) abort();
}

bool plain_digits(const ba_decimal &d) {
  for (int i = 0; i < d.ndigits && i < 16; i++)
    if (d.digits[i] > 99) return false;
  return true;
}

// The type codes the dump knows (an unknown one only writes to the DBS message log).
constexpr int kTypes[] = {1, 12, 3, -1, 4, -2, 5, 7, 8, 9, -5, 10, -3, -4};

// Unpacks, repacks and unpacks again: the same value, and a form of the same length.
void packed_round_trip(const uint8_t *bytes, int p, int s) {
  ba_decimal d;
  ad_unpackdec(&d, bytes, p, s);
  uint8_t out[kRoom];
  int rc = ad_packdec(&d, p, s, out);
  check(rc == 0 || rc == -564 || rc == -566);
  if (rc != 0 || ba_decvalid(&d) == 0 || !plain_digits(d)) return;  // bytes above 99 are no digits
  ba_decimal back, want = d;
  ad_unpackdec(&back, out, p, s);
  ba_decround(&want, s > 0 ? s : 0);  // a negative scale counts as 0
  check(ba_deccomp(&back, &want) == 0 || (d.positive == -1 && back.positive == -1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4) return 0;
  static FILE *sink = fopen("/dev/null", "w");
  int p = data[0] % 72, s = data[1] % 40 - 4;
  int type = kTypes[data[2] % (sizeof kTypes / sizeof kTypes[0])], subtype = data[3] % 16;
  uint8_t value[kRoom] = {};
  memcpy(value, data + 4, size - 4 < kRoom ? size - 4 : kRoom);
  if (ad_packlen(p, s) <= static_cast<int>(kRoom) / 2) packed_round_trip(value, p, s);
  // Character columns read at most the length; every other form at most 12 bytes or a packed
  // decimal of precision p.
  ad_dumpwert(value, type, p, s, data[3] & 1 ? '|' : 0, subtype, sink);
  return 0;
}
