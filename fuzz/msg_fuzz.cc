// msg_fuzz: the catalog lookup and the memory-resident table against arbitrary catalog files.
//
// The input is written as a catalog and read back through ba_getmsg with a few numbers (among
// them the number of its first index entry) and through ba_msgload + ba_msgfree. Whatever the
// count and text offsets claim, nothing may be read outside the file image and every result
// must fit the 101-byte buffers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ba/ba_msg.h"
#include "fuzz/fuzz_home.h"

namespace {

constexpr char LANG[] = "fz";

// A private installation directory with msg/fz/.
const std::string &home() {
  static const std::string &dir = [] () -> const std::string & {
    const std::string &made = fuzz_home("msgfuzz");
    std::filesystem::create_directories(made + "/msg/" + LANG);
    return made;
  }();
  return dir;
}

void write_catalog(const std::string &path, const uint8_t *data, size_t size) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  fclose(f);
}

void check(const char *text) {
  if (strlen(text) >= MSG_TEXTLEN) abort();
}

// The number of the first index entry, moved into the sqlerr range when it lies elsewhere.
int first_number(const uint8_t *data, size_t size) {
  if (size < 4) return -1;
  int n = static_cast<int16_t>(data[2] << 8 | data[3]);
  return n <= -1 && n >= -4999 ? n : -(abs(n) % 4999 + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string dir = home() + "/msg/" + LANG;
  write_catalog(dir + "/sqlerr.msc", data, size);
  for (int n : {-1, -316, -3024, first_number(data, size)}) check(ba_getmsg(n, home().c_str(), LANG));
  if (ba_msgload("sqlerr", dir.c_str()) >= -1) {
    int n = size >= 4 ? static_cast<int16_t>(data[2] << 8 | data[3]) : 5000;
    for (int m : {n, 5000, 8771}) check(ba_getmsg(m, home().c_str(), LANG));
  }
  ba_msgfree();
  return 0;
}
