// nls_fuzz: feeds arbitrary bytes as a language file to ba_nlsread, then exercises the
// character classes, ba_money and the collation on the parsed tables and on pieces of the
// input, and releases everything so that LeakSanitizer sees every block of an input go back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "ba/ba_env.h"
#include "ba/ba_nls.h"
#include "ba/globals.h"

namespace {

// Compares the halves of the input with a few limits, and each half with itself.
void exercise_collation(const std::string &text) {
  std::string a = text.substr(0, text.size() / 2), b = text.substr(text.size() / 2);
  for (int max : {0, 1, 3, 60, NLS_BETWEENMAX}) {
    int ab = ba_nlscmp(a.c_str(), b.c_str(), max);
    int ba = ba_nlscmp(b.c_str(), a.c_str(), max);
    if (ab != -ba || ba_nlscmp(a.c_str(), a.c_str(), max) != 0) __builtin_trap();
  }
  ba_between(a.c_str(), a.c_str(), b.c_str());
}

void exercise_classes(const std::string &text) {
  for (int c = 0; c < 256; c++) {
    ba_istext(c);
    ba_isyes(c);
    ba_isno(c);
  }
  ba_money(text.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input(reinterpret_cast<const char *>(data), size);
  FILE *file = fmemopen(input.data(), input.size() + 1, "r");  // + 1: never a zero size
  if (file == nullptr) return 0;
  int rc = ba_nlsread(&ba_settings, file);
  fclose(file);
  if (rc == 0) {
    exercise_classes(input);
    exercise_collation(input);
  }
  ba_freeenv();
  return 0;
}
