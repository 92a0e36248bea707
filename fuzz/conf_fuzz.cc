// conf_fuzz: libFuzzer target of the DBS configuration reader.
//
// Each input becomes <home>/etc/fuzz.cfg of a temporary installation directory (created once,
// removed at exit) and is read with ba_readconf in parsing mode, followed by ba_confcheck on
// whatever the read left in `dbsconfig`, failed read included. Checking mode is not used: it
// opens the named partition files for update. Everything is released after each input, so
// LeakSanitizer reports only real leaks.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ba/ba_conf.h"
#include "ba/ba_mem.h"
#include "ba/globals.h"
#include "fuzz/fuzz_home.h"

namespace {

std::string cfgpath;

void make_home() {
  const std::string &home = fuzz_home("tolvconffuzz");
  if (mkdir((home + "/etc").c_str(), 0700) != 0) abort();
  cfgpath = home + "/etc/fuzz.cfg";
  ba_settings.home = ba_strdup(home.c_str());
  ba_settings.dbsname = ba_strdup("fuzz");
}

void write_input(const uint8_t *data, size_t size) {
  FILE *f = fopen(cfgpath.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  make_home();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  write_input(data, size);
  ba_readconf(0, "");
  ba_confcheck(&dbsconfig);
  ba_freeconf();
  return 0;
}
