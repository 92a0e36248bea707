// tempinstall: the temporary installation of the tests.
#include "testing/tempinstall.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

extern char **environ;

namespace fs = std::filesystem;

namespace tolvtest {

namespace {

bool is_tolv_var(const char *entry) { return strncmp(entry, "TOLV", 4) == 0; }

std::string snapshot_tolv_env() {
  std::string saved;
  for (char **e = environ; *e != nullptr; e++)
    if (is_tolv_var(*e)) saved.append(*e).push_back('\0');
  return saved;
}

void clear_tolv_env() {
  std::vector<std::string> names;
  for (char **e = environ; *e != nullptr; e++)
    if (is_tolv_var(*e)) names.emplace_back(*e, strcspn(*e, "="));
  for (const auto &n : names) ::unsetenv(n.c_str());
}

void restore_tolv_env(const std::string &saved) {
  clear_tolv_env();
  for (size_t pos = 0; pos < saved.size(); pos += strlen(saved.c_str() + pos) + 1) {
    std::string entry(saved.c_str() + pos);
    size_t eq = entry.find('=');
    ::setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
  }
}

// Copies every file of share/msg/<lang>/ (language files) and of the build's compiled
// catalogs into home/msg/<lang>/.
void copy_language_files(const std::string &home) {
  for (const std::string &root : {source_dir() + "/share/msg", binary_dir() + "/share/msg"}) {
    if (!fs::is_directory(root)) continue;
    for (const auto &lang : fs::directory_iterator(root)) {
      if (!lang.is_directory()) continue;
      fs::path dest = fs::path(home) / "msg" / lang.path().filename();
      fs::create_directories(dest);
      for (const auto &f : fs::directory_iterator(lang.path())) {
        std::string ext = f.path().extension();
        if (ext == ".nls" || ext == ".msc")
          fs::copy_file(f.path(), dest / f.path().filename(),
                        fs::copy_options::overwrite_existing);
      }
    }
  }
}

}  // namespace

std::string source_dir() { return TOLV_SOURCE_DIR; }
std::string binary_dir() { return TOLV_BINARY_DIR; }

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void make_dirs(const std::string &dir) { fs::create_directories(dir); }

void remove_tree(const std::string &path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

TempInstall::TempInstall(const std::string &dbs) : saved_env_(snapshot_tolv_env()) {
  std::string tmpl = (fs::temp_directory_path() / "tolvhome.XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  home_ = tmpl;
  for (const char *d : {"bin", "etc", "log", "msg"}) fs::create_directories(path(d));
  copy_language_files(home_);
  clear_tolv_env();
  setenv("TOLVHOME", home_);
  if (!dbs.empty()) setenv("TOLVDBS", dbs);
}

TempInstall::~TempInstall() {
  restore_tolv_env(saved_env_);
  remove_tree(home_);
}

std::string TempInstall::path(const std::string &rel) const { return home_ + "/" + rel; }

void TempInstall::write(const std::string &rel, const std::string &contents) const {
  fs::path p = path(rel);
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << contents;
}

std::string TempInstall::read(const std::string &rel) const { return read_file(path(rel)); }

void TempInstall::setenv(const std::string &name, const std::string &value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}

void TempInstall::unsetenv(const std::string &name) { ::unsetenv(name.c_str()); }

}  // namespace tolvtest
