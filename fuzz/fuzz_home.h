// The scratch installation directory of a fuzz target that reads its input from a file.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

// Made once under $TMPDIR (default /tmp) and removed with everything in it at exit. scripts/fuzz
// points TMPDIR at a tmpfs: every input rewrites a file, and on a journalling file system the
// truncation alone cost the slow targets most of their executions.
inline const std::string &fuzz_home(const char *name) {
  static std::string dir;
  if (dir.empty()) {
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    tmpl += std::string("/") + name + ".XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) abort();
    dir = tmpl;
    atexit([] { std::filesystem::remove_all(dir); });
  }
  return dir;
}
