// conf_fuzz: libFuzzer target of the DBS configuration reader.
//
// Each input becomes <home>/etc/fuzz.cfg of a temporary installation directory (created once,
// removed at exit) and is read with ba_readconf in parsing mode, followed by ba_confcheck on
// whatever the read left in `dbsconfig`, failed read included. Checking mode is not used: it
// opens the named partition files for update. Everything is released after each input, so
// LeakSanitizer reports only real leaks.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "ba/ba_conf.h"
#include "ba/ba_mem.h"
#include "ba/globals.h"

namespace {

char home[] = "/tmp/tolvconffuzz.XXXXXX";
char etc[sizeof home + 4];
char cfgpath[sizeof etc + 9];

void remove_home() {
  unlink(cfgpath);
  rmdir(etc);
  rmdir(home);
}

void make_home() {
  if (mkdtemp(home) == nullptr) abort();
  snprintf(etc, sizeof etc, "%s/etc", home);
  snprintf(cfgpath, sizeof cfgpath, "%s/fuzz.cfg", etc);
  if (mkdir(etc, 0700) != 0) abort();
  atexit(remove_home);
  ba_settings.home = ba_strdup(home);
  ba_settings.dbsname = ba_strdup("fuzz");
}

void write_input(const uint8_t *data, size_t size) {
  FILE *f = fopen(cfgpath, "wb");
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
