// tempinstall.h: a temporary TOLV installation for tests.
//
// Creates a TOLVHOME tree in a fresh temporary directory (bin/, etc/, log/, msg/<lang>/ with the
// language files of share/ and the catalogs the build compiled), points TOLVHOME and TOLVDBS at
// it, and on destruction restores every TOLV environment variable as it was and removes the
// tree. Each test owns its own instance; nothing is shared between tests.
#pragma once

#include <string>

namespace tolvtest {

class TempInstall {
 public:
  // dbs: the DBS name put into TOLVDBS ("" leaves TOLVDBS unset).
  explicit TempInstall(const std::string &dbs = "testdbs");
  ~TempInstall();
  TempInstall(const TempInstall &) = delete;
  TempInstall &operator=(const TempInstall &) = delete;

  const std::string &home() const { return home_; }
  // The absolute path of rel below home.
  std::string path(const std::string &rel) const;
  // Writes contents to rel below home, creating the directories on the way.
  void write(const std::string &rel, const std::string &contents) const;
  // Reads the file rel below home; empty when it does not exist.
  std::string read(const std::string &rel) const;
  // Sets or removes an environment variable for the life of this installation.
  static void setenv(const std::string &name, const std::string &value);
  static void unsetenv(const std::string &name);

 private:
  std::string home_;
  std::string saved_env_;  // NUL-separated NAME=VALUE of the TOLV variables at construction
};

// Directory of the project sources and of the build tree.
std::string source_dir();
std::string binary_dir();
// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string &path);
// Creates dir and its parents.
void make_dirs(const std::string &dir);
// Removes path and everything below it.
void remove_tree(const std::string &path);

}  // namespace tolvtest
