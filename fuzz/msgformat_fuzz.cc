// msgformat_fuzz: ba_msgformat with an arbitrary catalog text.
//
// The input (up to its first zero byte) is the text; it is formatted with a fixed detail and
// errno into a memory stream. A conversion other than "%s" then "%d" reaching printf shows as a
// crash or sanitizer report ("%n", "%s%s", "%99999s"); the count returned must match what was
// written.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ba/ba_msg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  char *buf = nullptr;
  size_t len = 0;
  FILE *out = open_memstream(&buf, &len);
  if (out == nullptr) abort();
  int n = ba_msgformat(out, text.c_str(), "detail", 42);
  fclose(out);
  if (n < 0 || static_cast<size_t>(n) != len) abort();
  free(buf);
  return 0;
}
