// Tests of ba_conf: the line reader, the parsing of every line kind, the adjustments and
// bounds of ba_confcheck, overlap and same-file detection, the partition checks, and (suites
// ConfErrors and ConfOwnerErrors) every error number with a real file and its exact detail.
// Every test writes its configuration into the etc/ of its own temporary installation and
// sets `home` and `dbsname` of the settings itself.
// Tests that chown partition files to the user "tolv" need root and that user; they skip
// otherwise.
#include "ba/ba_conf.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ba/ba_mem.h"
#include "ba/error.h"
#include "ba/globals.h"
#include "testing/tempinstall.h"

namespace {

using tolvtest::TempInstall;

const passwd *tolv_user() { return getpwnam("tolv"); }

bool can_chown_to_tolv() { return geteuid() == 0 && tolv_user() != nullptr; }

int open_fds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (d != nullptr && readdir(d) != nullptr) n++;
  if (d != nullptr) closedir(d);
  return n;
}

// text without its first line that begins with prefix.
std::string without_line(std::string text, const std::string &prefix) {
  size_t at = text.find(prefix);
  text.erase(at, text.find('\n', at) - at + 1);
  return text;
}

// The numbers of one line kind, in line order.
using ints = std::vector<int>;
ints snums(const dbsconf &c) {
  return {c.s_num1, c.s_num2, c.s_num3, c.s_num4, static_cast<int>(c.shmaddr), c.s_num5, c.s_num6};
}
ints onums(const dbsconf &c) { return {c.o_num1, c.o_num2, c.o_num3, c.o_num4}; }
ints rnums(const dbsconf &c) { return {c.r_num1, c.r_num2, c.r_num3, c.r_num4}; }
ints cnums(const dbsconf &c) { return {c.c_num1, c.c_num2, c.c_num3, c.c_num4, c.c_num5}; }

// ---- Forked children -----------------------------------------------------------------------

// What a function run in a forked child left: its result and ba_conferr.
struct childresult {
  int rc;
  char conferr[BA_CONFERRLEN];
};
constexpr int kChildDied = INT_MIN;      // the child reported nothing
constexpr int kChildSkip = INT_MIN + 1;  // the child could not set up its conditions

// Runs fn in a forked child, so that changes to limits and namespaces end with it.
childresult in_child(const std::function<int()> &fn) {
  childresult res{kChildDied, ""};
  int fds[2];
  if (pipe(fds) != 0) return res;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    childresult r{fn(), ""};
    memcpy(r.conferr, ba_conferr, sizeof r.conferr);
    _exit(write(fds[1], &r, sizeof r) == sizeof r ? 0 : 1);
  }
  close(fds[1]);
  if (read(fds[0], &res, sizeof res) != sizeof res) res.rc = kChildDied;
  close(fds[0]);
  int status;
  waitpid(pid, &status, 0);
  return res;
}

// In a private mount namespace of the calling (child) process, hides the user "tolv" by
// binding a copy of /etc/passwd without it over the original. False when that is not
// possible here.
bool hide_tolv_user(const TempInstall &inst) {
  if (unshare(CLONE_NEWNS) != 0) return false;
  // Private first: nothing mounted below may reach the parent's namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  std::istringstream in(tolvtest::read_file("/etc/passwd"));
  std::string filtered;
  for (std::string line; std::getline(in, line);)
    if (line.rfind("tolv:", 0) != 0) filtered += line + "\n";
  inst.write("passwd", filtered);
  if (mount(inst.path("passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0)
    return false;
  return getpwnam("tolv") == nullptr;
}

// Allocations are kept through volatiles, so that the compiler cannot drop them as unused.
void *volatile memory_sink;

// Limits the address space of the calling (child) process and fills it, keeping reserve
// bytes free for the next allocations.
void exhaust_memory(size_t reserve) {
  long pages = 0;
  FILE *statm = fopen("/proc/self/statm", "r");
  if (statm != nullptr) {
    if (fscanf(statm, "%ld", &pages) != 1) pages = 0;
    fclose(statm);
  }
  rlim_t cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE);
  rlimit lim{cur + (64 << 20), cur + (64 << 20)};
  setrlimit(RLIMIT_AS, &lim);
  void *volatile keep = malloc(reserve);
  for (size_t n = 1 << 20; n >= 16; n /= 2) {
    for (void *p; (p = malloc(n)) != nullptr;) memory_sink = p;
  }
  free(keep);
}

bool under_address_sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

// ---- Fixtures ------------------------------------------------------------------------------

class Conf : public ::testing::Test {
 protected:
  void SetUp() override {
    ba_settings.home = ba_strdup(inst_.home().c_str());
    ba_settings.dbsname = ba_strdup("testdbs");
  }
  void TearDown() override {
    ba_freeconf();
    if (ba_settings.home != nullptr) ba_release(ba_settings.home);
    if (ba_settings.dbsname != nullptr) ba_release(ba_settings.dbsname);
    ba_settings.home = ba_settings.dbsname = nullptr;
  }

  void write_cfg(const std::string &text) const { inst_.write("etc/testdbs.cfg", text); }
  int read(int mode, const std::string &text) const {
    write_cfg(text);
    return ba_readconf(mode, "");
  }
  // Reads text without checks, which must succeed, then checks the record.
  int check(const std::string &text) {
    int rc = read(0, text);
    EXPECT_EQ(rc, 0) << ba_conferr;
    return rc != 0 ? rc : ba_confcheck(&dbsconfig);
  }
  // An empty partition file home/dev/<name>, mode 0660, owned by tolv:tolv when possible.
  std::string partition(const std::string &name) const {
    inst_.write("dev/" + name, "");
    std::string path = inst_.path("dev/" + name);
    if (can_chown_to_tolv()) {
      EXPECT_EQ(chown(path.c_str(), tolv_user()->pw_uid, tolv_user()->pw_gid), 0);
    }
    EXPECT_EQ(chmod(path.c_str(), 0660), 0);
    return path;
  }
  // A configuration that passes every check, followed by extra: dbspace ROOT on the 16000 KB
  // partition dev/root holds the log; B and T name home/log. Later lines of a kind overwrite
  // earlier ones field by field, so extra can change any value.
  std::string valid(const std::string &extra = "") const {
    return "D 4711\n"
           "S 10 5000 400 100 0x40000000 2 0\n"
           "P 200\n"
           "B " + inst_.path("log") + " 4 100\n"
           "T " + inst_.path("log") + " 4 100\n"
           "F ROOT " + partition("root") + " 16000 0\n"
           "L ROOT 3 200\n" + extra;
  }
  std::string err() const { return ba_conferr; }
  const dbsconf &cfg() const { return dbsconfig; }
  const cfgpart &part(int space, int index) const {
    return dbsconfig.dbspaces[space].parts[index];
  }

  TempInstall inst_;
};

// Partition files owned as required: needs root and the user "tolv".
class OwnedConf : public Conf {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to chown partition files";
    if (tolv_user() == nullptr) GTEST_SKIP() << "needs the system user tolv";
    Conf::SetUp();
  }
};

// ---- Line reader ---------------------------------------------------------------------------

class GetLine : public ::testing::Test {
 protected:
  void open(const char *text) {
    text_ = text;
    file_ = fmemopen(text_.data(), text_.size(), "r");
    ASSERT_NE(file_, nullptr);
  }
  void TearDown() override {
    if (file_ != nullptr) fclose(file_);
  }
  std::string text_;
  FILE *file_ = nullptr;
  char buf_[5];
};

TEST_F(GetLine, NewlineIsNotStored) {
  open("ab\n\ncd\n");
  EXPECT_EQ(ba_getline(buf_, file_, 4), 0);
  EXPECT_STREQ(buf_, "ab");
  EXPECT_EQ(ba_getline(buf_, file_, 4), 0);
  EXPECT_STREQ(buf_, "");
  EXPECT_EQ(ba_getline(buf_, file_, 4), 0);
  EXPECT_STREQ(buf_, "cd");
  EXPECT_EQ(ba_getline(buf_, file_, 4), -1);
  EXPECT_STREQ(buf_, "");
}

TEST_F(GetLine, StoresAtMostMaxAndSkipsTheRest) {
  open("abcd\nabcdefgh\nxy\n");
  EXPECT_EQ(ba_getline(buf_, file_, 4), 0);
  EXPECT_STREQ(buf_, "abcd");
  EXPECT_EQ(ba_getline(buf_, file_, 4), 0);
  EXPECT_STREQ(buf_, "abcd");
  EXPECT_EQ(ba_getline(buf_, file_, 4), 0);
  EXPECT_STREQ(buf_, "xy");
}

TEST_F(GetLine, LastLineWithoutNewlineIsReportedAsEnd) {
  open("ab\ncd");
  EXPECT_EQ(ba_getline(buf_, file_, 4), 0);
  EXPECT_EQ(ba_getline(buf_, file_, 4), -1);
  EXPECT_STREQ(buf_, "cd");
}

// ---- Parsing -------------------------------------------------------------------------------

using ConfParse = Conf;

TEST_F(ConfParse, EmptyFileGivesTheDefaults) {
  ASSERT_EQ(read(0, ""), 0);
  const dbsconf &c = cfg();
  EXPECT_EQ((ints{c.dbskey, c.ndbspace, c.p_num, c.l_num1, c.l_num2, c.logspace}), ints(6, 0));
  EXPECT_EQ(c.dbspaces, nullptr);
  EXPECT_STREQ(c.z_text, "");
  EXPECT_STREQ(c.b_path, "");
  EXPECT_STREQ(c.t_path, "");
  EXPECT_EQ(snums(c), ints(7, 0));
  EXPECT_EQ(onums(c), (ints{0, 10, 3, 256 * 1024}));
  EXPECT_EQ(rnums(c), (ints{32, 30, 0, 1}));
  EXPECT_EQ(cnums(c), (ints{300, 1, 4, 32, 8}));
}

TEST_F(ConfParse, EveryValueLineFillsItsFieldsInLineOrder) {
  ASSERT_EQ(read(0,
                 "D 17\nP 250\nZ zone\nB /b 5 150\nT /t 6 160\n"
                 "S 11 2001 301 101 0x4000abcd 3 4\nO 1 20 4 64\nR 40 50 60 70\n"
                 "C 31 2 8 16 9\n"),
            0);
  const dbsconf &c = cfg();
  EXPECT_EQ(c.dbskey, 17);
  EXPECT_EQ(c.p_num, 250);
  EXPECT_STREQ(c.z_text, "zone");
  EXPECT_STREQ(c.b_path, "/b");
  EXPECT_EQ((ints{c.b_num1, c.b_num2}), (ints{5, 150}));
  EXPECT_STREQ(c.t_path, "/t");
  EXPECT_EQ((ints{c.t_num1, c.t_num2}), (ints{6, 160}));
  EXPECT_EQ(snums(c), (ints{11, 2001, 301, 101, 0x4000abcd, 3, 4}));
  EXPECT_EQ(onums(c), (ints{1, 20, 4, 64 * 1024}));
  EXPECT_EQ(rnums(c), (ints{40, 50, 60, 70}));
  EXPECT_EQ(cnums(c), (ints{31, 2, 8, 16, 9}));
}

TEST_F(ConfParse, WholeFirstWordIsSkipped) {
  ASSERT_EQ(read(0, "Dbskey 42\nPages\t250\n"), 0);
  EXPECT_EQ(cfg().dbskey, 42);
  EXPECT_EQ(cfg().p_num, 250);
}

TEST_F(ConfParse, OtherFirstCharactersAreIgnored) {
  ASSERT_EQ(read(0, "d 1\n# D 2\n D 3\n\tD 4\nX 5\n\nE 6\n"), 0);
  EXPECT_EQ(cfg().dbskey, 0);
}

TEST_F(ConfParse, LaterLineOverwritesFieldByField) {
  ASSERT_EQ(read(0, "R 40 50 60 70\nR 41\n"), 0);
  EXPECT_EQ(rnums(cfg()), (ints{41, 50, 60, 70}));
}

TEST_F(ConfParse, CLineWithTwoNumbersKeepsTheOtherDefaults) {
  ASSERT_EQ(read(0, "C 50 2\n"), 0);
  EXPECT_EQ(cnums(cfg()), (ints{50, 2, 4, 32, 8}));
}

TEST_F(ConfParse, LastLineWithoutNewlineIsIgnored) {
  ASSERT_EQ(read(0, "D 42\nP 300"), 0);
  EXPECT_EQ(cfg().dbskey, 42);
  EXPECT_EQ(cfg().p_num, 0);
}

TEST_F(ConfParse, LineIsCutAfter100CharactersAndTheRestSkipped) {
  std::string b = "B /b";
  b += std::string(100 - b.size(), ' ') + " 9 900";  // the numbers lie beyond column 100
  std::string p100 = "P" + std::string(96, ' ') + "250";    // exactly 100 characters
  std::string p101 = "P" + std::string(96, ' ') + "2501";   // the last digit is cut
  ASSERT_EQ(p100.size(), 100u);
  ASSERT_EQ(read(0, "B /a 5 150\n" + b + "\nD 42\n" + p100 + "\n"), 0);
  EXPECT_STREQ(cfg().b_path, "/b");
  EXPECT_EQ(cfg().b_num1, 5);
  EXPECT_EQ(cfg().b_num2, 150);
  EXPECT_EQ(cfg().dbskey, 42);  // the line after the long one is read on its own
  EXPECT_EQ(cfg().p_num, 250);
  ASSERT_EQ(read(0, p101 + "\n"), 0);
  EXPECT_EQ(cfg().p_num, 250);
}

TEST_F(ConfParse, SLineWithout0xStopsAtTheAddress) {
  ASSERT_EQ(read(0, "S 10 5000 400 100 0x40000000 2 7\nS 11 5001 401 101 40000000 3 8\n"
                    "S 12 5002 402 102 0X50000000 4 9\n"),
            0);
  EXPECT_EQ(snums(cfg()), (ints{12, 5002, 402, 102, 0x40000000, 2, 7}));
}

TEST_F(ConfParse, ONum4IsMultipliedAndSaturates) {
  ASSERT_EQ(read(0, "O 0 10 3 31\n"), 0);
  EXPECT_EQ(cfg().o_num4, 31744);
  ASSERT_EQ(read(0, "O 0 10 3 3000000\n"), 0);
  EXPECT_EQ(cfg().o_num4, INT_MAX);
  ASSERT_EQ(read(0, "O 0 10 3 -3000000\n"), 0);
  EXPECT_EQ(cfg().o_num4, INT_MIN);
}

TEST_F(ConfParse, ZTakesOneWord) {
  ASSERT_EQ(read(0, "Z first second\n"), 0);
  EXPECT_STREQ(cfg().z_text, "first");
}

TEST_F(ConfParse, PathOf51CharactersFillsTheBAndTFields) {
  std::string p51 = "/" + std::string(50, 'b');
  ASSERT_EQ(read(0, "B " + p51 + " 4 100\nT " + p51 + "\n"), 0);
  EXPECT_EQ(cfg().b_path, p51);
  EXPECT_EQ(cfg().t_path, p51);
}

TEST_F(ConfParse, DbspaceLinesBuildSpacesAndPartitions) {
  ASSERT_EQ(read(0, "F data /p1 2000 0\nA Data /p2 1000 2000\nF LOGS /p3 600 4\nL logs 5 300\n"),
            0);
  ASSERT_EQ(cfg().ndbspace, 2);
  EXPECT_STREQ(cfg().dbspaces[0].name, "DATA");
  ASSERT_EQ(cfg().dbspaces[0].nparts, 2);
  EXPECT_STREQ(part(0, 0).path, "/p1");
  EXPECT_EQ(part(0, 0).size, 2000);
  EXPECT_EQ(part(0, 0).offset, 0);
  EXPECT_EQ(part(0, 0).flag, 0);
  EXPECT_STREQ(part(0, 1).path, "/p2");
  EXPECT_EQ(part(0, 1).size, 1000);
  EXPECT_EQ(part(0, 1).offset, 2000);
  EXPECT_STREQ(cfg().dbspaces[1].name, "LOGS");
  ASSERT_EQ(cfg().dbspaces[1].nparts, 1);
  EXPECT_EQ(part(1, 0).offset, 4);
  EXPECT_EQ(cfg().logspace, 1);
  EXPECT_EQ(cfg().l_num1, 5);
  EXPECT_EQ(cfg().l_num2, 300);
}

TEST_F(ConfParse, LetterJoinedToTheNameBelongsToTheName) {
  ASSERT_EQ(read(0, "FDATA /x 2000 0\n"), 0);
  ASSERT_EQ(cfg().ndbspace, 1);
  EXPECT_STREQ(cfg().dbspaces[0].name, "DATA");
  EXPECT_STREQ(part(0, 0).path, "/x");
}

TEST_F(ConfParse, NameOfExactly10CharactersIsAccepted) {
  ASSERT_EQ(read(0, "F abcdefghij /x 2000 0\n"), 0);
  EXPECT_STREQ(cfg().dbspaces[0].name, "ABCDEFGHIJ");
}

TEST_F(ConfParse, NamesAreUpperCasedWithTheLanguagePairs) {
  ba_shiftpair pair{0xE4, 0xC4};
  ba_settings.shift = &pair;
  ba_settings.nshift = 1;
  int rc = read(0, "F \xe4x /x 2000 0\nA \xc4X /y 2000 0\n");
  ba_settings.shift = nullptr;
  ba_settings.nshift = 0;
  ASSERT_EQ(rc, 0);
  EXPECT_STREQ(cfg().dbspaces[0].name, "\xc4X");
  EXPECT_EQ(cfg().dbspaces[0].nparts, 2);
}

TEST_F(ConfParse, The127thDbspaceIsAccepted) {
  std::string text;
  for (int i = 1; i <= 127; i++)
    text += "F S" + std::to_string(i) + " /p" + std::to_string(i) + " 2000 0\n";
  ASSERT_EQ(read(0, text), 0);
  EXPECT_EQ(cfg().ndbspace, 127);
  EXPECT_STREQ(cfg().dbspaces[126].name, "S127");
  EXPECT_STREQ(cfg().dbspaces[126].parts[0].path, "/p127");
}

// An F or A line without path keeps its zero-filled entry; nothing of the line before it.
TEST_F(ConfParse, PartitionLineWithoutPathKeepsAZeroEntry) {
  ASSERT_EQ(read(0, "F ROOT /r 2000 10\nA ROOT\nF DATA\n"), 0);
  ASSERT_EQ(cfg().dbspaces[0].nparts, 2);
  EXPECT_STREQ(part(0, 1).path, "");
  EXPECT_EQ(part(0, 1).size, 0);
  EXPECT_EQ(part(0, 1).offset, 0);
  EXPECT_STREQ(part(1, 0).path, "");
  EXPECT_EQ(part(1, 0).size, 0);
}

TEST_F(ConfParse, MissingOffsetIsZero) {
  ASSERT_EQ(read(0, "F ROOT /r 2000\n"), 0);
  EXPECT_EQ(part(0, 0).size, 2000);
  EXPECT_EQ(part(0, 0).offset, 0);
}

TEST_F(ConfParse, ExplicitNameReadsThatFile) {
  inst_.write("etc/other.cfg", "D 9\n");
  write_cfg("D 1\n");
  ASSERT_EQ(ba_readconf(0, "other"), 0);
  EXPECT_EQ(cfg().dbskey, 9);
}

TEST_F(ConfParse, ConfigurationPathOf103CharactersIsRead) {
  size_t fixed = inst_.home().size() + strlen("/etc/") + strlen(".cfg");
  std::string name(103 - fixed, 'n');
  inst_.write("etc/" + name + ".cfg", "D 7\n");
  ASSERT_EQ(ba_readconf(0, name.c_str()), 0) << ba_conferr;
  EXPECT_EQ(cfg().dbskey, 7);
}

TEST_F(ConfParse, EveryReadStartsAFreshRecordAndDetail) {
  ASSERT_EQ(read(0, "D 42\nF ROOT /r 2000 0\nL ROOT 3 200\n"), 0);
  snprintf(ba_conferr, sizeof ba_conferr, "stale");
  ASSERT_EQ(read(0, "P 300\n"), 0);
  EXPECT_EQ(cfg().dbskey, 0);
  EXPECT_EQ(cfg().ndbspace, 0);
  EXPECT_EQ(cfg().dbspaces, nullptr);
  EXPECT_EQ(cfg().l_num1, 0);
  EXPECT_EQ(cfg().p_num, 300);
  EXPECT_EQ(err(), "");
}

TEST_F(ConfParse, FailedOpenKeepsThePreviousRecord) {
  ASSERT_EQ(read(0, "D 42\n"), 0);
  EXPECT_EQ(ba_readconf(0, "missing"), ER_CF_NOFILE);
  EXPECT_EQ(cfg().dbskey, 42);
}

// With the memory-control allocator recording, a second read leaves exactly the blocks of
// one read alive, and ba_freeconf none.
TEST_F(ConfParse, SecondReadReleasesTheVectorsOfTheFirst) {
  TempInstall::setenv("TOLVMEMCTRL", "1");
  ba_settings.debug = 1;
  auto live_conf_blocks = [] {
    char *text = nullptr;
    size_t len = 0;
    FILE *mem = open_memstream(&text, &len);
    ba_memreport(mem);
    fclose(mem);
    std::string report(text, len);
    free(text);
    int n = 0;
    for (size_t pos = 0; (pos = report.find(" ba_conf.cc ", pos)) != std::string::npos; pos++) n++;
    return n;
  };
  const std::string text = "F ROOT /r 2000 0\nA ROOT /r 2000 2000\nF DATA /d 2000 0\n";
  ASSERT_EQ(read(0, text), 0);
  int once = live_conf_blocks();
  EXPECT_EQ(once, 3);  // the dbspace vector and two partition vectors
  ASSERT_EQ(read(0, text), 0);
  EXPECT_EQ(live_conf_blocks(), once);
  ba_freeconf();
  EXPECT_EQ(live_conf_blocks(), 0);
  EXPECT_EQ(cfg().ndbspace, 0);
  ba_settings.debug = 0;
}

TEST_F(ConfParse, EveryPathClosesTheFile) {
  int before = open_fds();
  EXPECT_EQ(read(0, valid()), 0);
  EXPECT_EQ(read(0, "F ROOT /" + std::string(60, 'x') + " 2000 0\n"), ER_CF_PATHLEN);
  EXPECT_EQ(read(1, "F ROOT " + inst_.path("dev/none") + " 2000 0\n"), ER_CF_OPEN);
  EXPECT_EQ(read(1, "F ROOT /r 301 0\n"), ER_CF_ODDSIZE);
  EXPECT_EQ(read(0, "L NONE 3 200\n"), ER_CF_NOSPACE);
  EXPECT_EQ(read(0, "B /" + std::string(60, 'x') + "\n"), ER_CF_BTPATH);
  EXPECT_EQ(ba_readconf(0, "missing"), ER_CF_NOFILE);
  EXPECT_EQ(open_fds(), before);
}

// ---- Adjustments and bounds of ba_confcheck ------------------------------------------------

using ConfCheck = Conf;

TEST_F(ConfCheck, ValidConfigurationPasses) {
  EXPECT_EQ(check(valid()), 0);
  EXPECT_EQ(err(), "");
}

TEST_F(ConfCheck, RValuesAreBounded) {
  ASSERT_EQ(check(valid("R 31 101 -7 -8\n")), 0);
  EXPECT_EQ(rnums(cfg()), (ints{32, 100, -7, -8}));
  ASSERT_EQ(check(valid("R 33 -1\n")), 0);
  EXPECT_EQ(rnums(cfg()), (ints{33, 0, 0, 1}));
  ASSERT_EQ(check(valid("R 32 100\n")), 0);
  EXPECT_EQ(rnums(cfg()), (ints{32, 100, 0, 1}));
}

TEST_F(ConfCheck, CNum3IsCappedThenRoundedToAPowerOfTwo) {
  struct {
    const char *lines;
    int want;
  } cases[] = {
      {"S 10 5000 200\nC 300 1 6\n", 4},    // within the cap of 200 / 20 = 10, then 4
      {"S 10 5000 200\nC 300 1 0\n", 1},    // 0 or less becomes 1
      {"S 10 5000 200\nC 300 1 -5\n", 1},
      {"S 10 5000 400\nC 300 1 25\n", 16},  // capped at 20, then 16
      {"S 10 5000 400\nC 300 1 8\n", 8},
      {"S 10 5000 400\nC 300 1 20\n", 16},
      {"S 10 5000 219\nC 300 1 64\n", 8},   // 219 / 20 = 10, then 8
  };
  for (const auto &c : cases) {
    ASSERT_EQ(check(valid(c.lines)), 0) << c.lines;
    EXPECT_EQ(cfg().c_num3, c.want) << c.lines;
  }
}

TEST_F(ConfCheck, CNum3CapOfZeroBecomesOne) {
  EXPECT_EQ(check(valid("S 10 5000 10\nC 300 1 4\n")), ER_CF_SNUM3);
  EXPECT_EQ(cfg().c_num3, 1);  // adjusted before the later check failed
}

TEST_F(ConfCheck, OtherCValuesAreBounded) {
  ASSERT_EQ(check(valid("C 29 -1 4 3 0\n")), 0);
  EXPECT_EQ(cnums(cfg()), (ints{30, 0, 4, 4, 1}));
  ASSERT_EQ(check(valid("C 30 0 4 4 1\n")), 0);
  EXPECT_EQ(cnums(cfg()), (ints{30, 0, 4, 4, 1}));
}

TEST_F(ConfCheck, ONum2OutsideItsRangeBecomesTen) {
  for (auto [o2, want] : {std::pair{9, 10}, {91, 10}, {10, 10}, {90, 90}, {50, 50}}) {
    ASSERT_EQ(check(valid("O 0 " + std::to_string(o2) + "\n")), 0);
    EXPECT_EQ(cfg().o_num2, want) << o2;
  }
}

TEST_F(ConfCheck, ONum2StaysWhenAnOCheckFails) {
  EXPECT_EQ(check(valid("O 0 5 0\n")), ER_CF_ONUM3);
  EXPECT_EQ(cfg().o_num2, 5);
}

TEST_F(ConfCheck, AdjustmentsPrecedeTheFirstFailingCheck) {
  EXPECT_EQ(check(valid("D 0\nR 1 200\nC 1\n")), ER_CF_DBSKEY);
  EXPECT_EQ(rnums(cfg()), (ints{32, 100, 0, 1}));
  EXPECT_EQ(cnums(cfg()), (ints{30, 1, 4, 32, 8}));
}

TEST_F(ConfCheck, BoundaryValuesPass) {
  for (const char *lines : {"D 1\n", "D 10000\n", "O 0 10 1 32\n", "O 0 10 20\n",
                            "L ROOT 64 200\n", "L ROOT 10 1430\n",  // 14500 = 16000 - 1500
                            "S 4\n", "S 9999\n", "S 10 1000\n", "S 30 2000\n", "S 10 9999999\n",
                            "S 10 5000 400 50\n", "S 10 5000 400 99999\n", "S 10 5000 200\n",
                            "S 10 5000 99999\n", "S 10 5000 400 100 0x0 1\n"}) {
    EXPECT_EQ(check(valid(lines)), 0) << lines << ba_conferr;
  }
}

TEST_F(ConfCheck, ONum4Of32KilobytesPasses) {
  EXPECT_EQ(check(valid("O 0 10 3 32\n")), 0);
  EXPECT_EQ(cfg().o_num4, 32768);
}

TEST_F(ConfCheck, FirstDbspaceWithoutPartitionHasNoRoomForTheLog) {
  cfgspace space{"ROOT", 0, nullptr};
  dbsconf c{};
  c.dbskey = 1;
  c.ndbspace = 1;
  c.dbspaces = &space;
  c.p_num = 200;
  c.l_num1 = 3;
  c.l_num2 = 200;
  c.o_num3 = 3;
  c.o_num4 = 32768;
  EXPECT_EQ(ba_confcheck(&c), ER_CF_LOGFIT);
}

// ---- Overlap and same file -----------------------------------------------------------------

using ConfOverlap = Conf;

TEST_F(ConfOverlap, AdjacentPartitionsOfOneFilePass) {
  std::string d = partition("data1");
  EXPECT_EQ(check(valid("F DATA " + d + " 2000 0\nA data " + d + " 1000 2000\n")), 0);
  EXPECT_EQ(check(valid("F DATA " + d + " 2000 1000\nA DATA " + d + " 1000 0\n")), 0);
  EXPECT_EQ(cfg().dbspaces[1].nparts, 2);
}

TEST_F(ConfOverlap, PartitionsOfDifferentFilesAreNotCompared) {
  std::string d1 = partition("data1"), d2 = partition("data2");
  EXPECT_EQ(check(valid("F DATA " + d1 + " 2000 0\nA DATA " + d2 + " 2000 0\n")), 0);
}

TEST_F(ConfOverlap, OverlapNamesTheOtherPathThenTheCheckedOne) {
  std::string d = partition("data1");
  std::string alias = inst_.path("dev/./data1");  // the same file under another name
  EXPECT_EQ(check(valid("F DATA " + d + " 2000 0\nA DATA " + alias + " 1000 1999\n")),
            ER_CF_OVERLAP);
  EXPECT_EQ(err(), alias + " - " + d);
}

TEST_F(ConfOverlap, OverlapWithAnotherDbspaceIsFound) {
  std::string d = partition("data1");
  EXPECT_EQ(check(valid("F DATA " + d + " 2000 0\nF MORE " + d + " 1000 1000\n")),
            ER_CF_OVERLAP);
  EXPECT_EQ(err(), d + " - " + d);
}

TEST_F(ConfOverlap, ConfolapSkipsOnlyThePartitionItself) {
  std::string d = partition("data1");
  ASSERT_EQ(read(0, valid("F DATA " + d + " 2000 1000\n")), 0);
  cfgpart &self = dbsconfig.dbspaces[1].parts[0];
  EXPECT_EQ(ba_confolap(&dbsconfig, &self, 1, 0), 0);
  EXPECT_EQ(ba_confolap(&dbsconfig, &self, -1, -1), ER_CF_OVERLAP);
  cfgpart outside{};
  snprintf(outside.path, sizeof outside.path, "%s", d.c_str());
  // self covers [1000, 3000): ranges that touch it pass, ranges that share a kilobyte fail.
  for (auto [offset, size, want] :
       {std::tuple{0, 1000, 0}, {3000, 500, 0}, {0, 1001, ER_CF_OVERLAP},
        {2999, 300, ER_CF_OVERLAP}, {1500, 10, ER_CF_OVERLAP}}) {
    outside.offset = offset;
    outside.size = size;
    EXPECT_EQ(ba_confolap(&dbsconfig, &outside, -1, -1), want) << offset << " " << size;
  }
}

TEST_F(ConfOverlap, SamefileComparesFilesNotNames) {
  std::string d = partition("data1"), e = partition("data2");
  std::string link = inst_.path("dev/link1");
  ASSERT_EQ(::link(d.c_str(), link.c_str()), 0);
  EXPECT_EQ(ba_samefile(d.c_str(), inst_.path("dev/../dev/data1").c_str()), 0);
  EXPECT_EQ(ba_samefile(d.c_str(), link.c_str()), 0);
  EXPECT_EQ(ba_samefile(d.c_str(), e.c_str()), 1);
}

// Inode numbers repeat across file systems; only device and inode together name a file.
TEST_F(ConfOverlap, SameInodeOnAnotherDeviceIsAnotherFile) {
  struct stat a, b;
  if (stat("/proc", &a) != 0 || stat("/sys", &b) != 0 || a.st_ino != b.st_ino ||
      a.st_dev == b.st_dev)
    GTEST_SKIP() << "/proc and /sys do not share an inode number here";
  EXPECT_EQ(ba_samefile("/proc", "/sys"), 1);
}

// ---- Partition checks that pass ------------------------------------------------------------

TEST_F(OwnedConf, ValidConfigurationPassesWithChecks) {
  std::string d = partition("data1");
  EXPECT_EQ(read(1, valid("F DATA " + d + " 2000 0\nA DATA " + d + " 2000 2000\n")), 0)
      << ba_conferr;
  EXPECT_EQ(err(), "");
}

TEST_F(OwnedConf, PartitionEndingAt2GigabytesPasses) {
  cfgpart p{};
  snprintf(p.path, sizeof p.path, "%s", partition("big").c_str());
  p.size = 2097000;
  p.offset = 152;
  EXPECT_EQ(ba_confpart(&p), 0);
}

TEST_F(OwnedConf, FileWithoutSLineFailsOnlyUnderChecks) {
  std::string text = without_line(valid(), "S ");
  EXPECT_EQ(read(0, text), 0);
  EXPECT_EQ(read(1, text), ER_CF_SNUM1);
}

// ---- Error paths ---------------------------------------------------------------------------

using ConfErrors = Conf;

TEST_F(ConfErrors, NoMemoryForAPartitionEntry) {
  if (under_address_sanitizer()) GTEST_SKIP() << "address-space limits and ASan do not mix";
  std::string text = "F ROOT /r 2000 0\n";
  for (int i = 0; i < 5000; i++) text += "A ROOT /r 2000 0\n";
  write_cfg(text);
  childresult r = in_child([] {
    exhaust_memory(64 << 10);
    return ba_readconf(0, "");
  });
  EXPECT_EQ(r.rc, ER_NOMEM);
  EXPECT_STREQ(r.conferr, "");
}

// The checks of single values; none of them leaves a detail.
TEST_F(ConfErrors, ValueOutOfRange) {
  const std::string log = inst_.path("log");
  const std::pair<std::string, int> cases[] = {
      {"D 0\n", ER_CF_DBSKEY},
      {"D 10001\n", ER_CF_DBSKEY},
      {"P 199\n", ER_CF_PNUM},
      {"L ROOT 2 200\n", ER_CF_LNUM1},
      {"L ROOT 65 200\n", ER_CF_LNUM1},
      {"L ROOT 3 199\n", ER_CF_LNUM2},
      {"L ROOT 10 1431\n", ER_CF_LOGFIT},      // 14310 + 200 > 16000 - 1500
      {"L ROOT 64 40000000\n", ER_CF_LOGFIT},  // the product exceeds an int: no wrap
      {"S 3\n", ER_CF_SNUM1},
      {"S 10000\n", ER_CF_SNUM1},
      {"S 10 999\n", ER_CF_SNUM2},  // below 1000 and 2000
      {"S 30 1999\n", ER_CF_SNUM2}, // below 3000 and 2000
      {"S 10 10000000\n", ER_CF_SNUM2},
      {"S 10 5000 400 49\n", ER_CF_SNUM4},
      {"S 10 5000 400 100000\n", ER_CF_SNUM4},
      {"S 10 5000 199\n", ER_CF_SNUM3},
      {"S 10 5000 100000\n", ER_CF_SNUM3},
      {"S 10 5000 400 100 0x40000000 0\n", ER_CF_SNUM5},
      {"B " + log + " 3\n", ER_CF_BTNUM1},
      {"T " + log + " 3\n", ER_CF_BTNUM1},
      {"B " + log + " 4 99\n", ER_CF_BTNUM2},
      {"T " + log + " 4 99\n", ER_CF_BTNUM2},
      {"O 0 10 0\n", ER_CF_ONUM3},
      {"O 0 10 21\n", ER_CF_ONUM3},
      {"O 0 10 3 31\n", ER_CF_ONUM4},
      {"O 0 10 3 -3000000\n", ER_CF_ONUM4},
  };
  for (const auto &[lines, want] : cases) {
    EXPECT_EQ(check(valid(lines)), want) << lines;
    EXPECT_EQ(err(), "") << lines;
  }
}

TEST_F(ConfErrors, NoDbspace) {
  EXPECT_EQ(check(without_line(without_line(valid(), "F "), "L ")), ER_CF_NODBSPACE);
  EXPECT_EQ(err(), "");
}

TEST_F(ConfErrors, The128thDbspaceIsRefused) {
  std::string text;
  for (int i = 1; i <= 128; i++) text += "F S" + std::to_string(i) + " /p 2000 0\n";
  EXPECT_EQ(read(0, text), ER_CF_NODBSPACE);
  EXPECT_EQ(err(), "");
  EXPECT_EQ(cfg().ndbspace, 127);
}

TEST_F(ConfErrors, LogOnTheSecondDbspace) {
  std::string d = partition("data1");
  EXPECT_EQ(check(valid("F data " + d + " 2000 0\nL data 3 200\n")), ER_CF_LOGSPACE);
  EXPECT_EQ(err(), "DATA");
}

TEST_F(ConfErrors, OverlappingPartitions) {
  std::string d = partition("data1");
  EXPECT_EQ(check(valid("F DATA " + d + " 2000 0\nA DATA " + d + " 1000 1999\n")),
            ER_CF_OVERLAP);
  EXPECT_EQ(err(), d + " - " + d);
}

TEST_F(ConfErrors, FileWithoutSLine) {
  std::string text = without_line(valid(), "S ");
  EXPECT_EQ(check(text), ER_CF_SNUM1);
}

TEST_F(ConfErrors, SLineWithout0xLeavesSNum5Zero) {
  std::string text = valid();
  size_t at = text.find("0x40000000");
  text.erase(at, 2);
  EXPECT_EQ(check(text), ER_CF_SNUM5);
  EXPECT_EQ(cfg().shmaddr, 0u);
}

TEST_F(ConfErrors, DbspaceDefinedTwice) {
  EXPECT_EQ(read(0, "F root /a 2000 0\nF Root /b 2000 0\n"), ER_CF_DUPSPACE);
  EXPECT_EQ(err(), "ROOT");
}

TEST_F(ConfErrors, AOrLWithoutItsDbspace) {
  EXPECT_EQ(read(0, "F ROOT /a 2000 0\nA nope /b 2000 0\n"), ER_CF_NOSPACE);
  EXPECT_EQ(err(), "NOPE");
  EXPECT_EQ(read(0, "L data 3 200\nF DATA /a 2000 0\n"), ER_CF_NOSPACE);
  EXPECT_EQ(err(), "DATA");
}

TEST_F(ConfErrors, PartitionSizeOdd) {
  std::string p = partition("p");
  EXPECT_EQ(read(1, "F ROOT " + p + " 301 0\nD 42\n"), ER_CF_ODDSIZE);
  EXPECT_EQ(err(), p);
  EXPECT_EQ(cfg().dbskey, 0);  // the read ends at the failing line
}

TEST_F(ConfErrors, PartitionSizeTooSmall) {
  std::string p = partition("p");
  EXPECT_EQ(read(1, "F ROOT " + p + " 298 0\n"), ER_CF_SMALLSIZE);
  EXPECT_EQ(err(), p);
}

TEST_F(ConfErrors, PartitionEndsBeyond2Gigabytes) {
  std::string p = partition("p");
  EXPECT_EQ(read(1, "F ROOT " + p + " 2097000 153\n"), ER_CF_PARTEND);
  EXPECT_EQ(err(), p);
  EXPECT_EQ(read(1, "F ROOT " + p + " 2000000000 2000000000\n"), ER_CF_PARTEND);  // no wrap
}

TEST_F(ConfErrors, PartitionPathNotAbsolute) {
  EXPECT_EQ(read(1, "F ROOT dev/p 2000 0\n"), ER_CF_RELPATH);
  EXPECT_EQ(err(), "dev/p");
}

TEST_F(ConfErrors, PartitionLineWithoutPathUnderChecks) {
  EXPECT_EQ(read(1, "F ROOT\n"), ER_CF_RELPATH);
  EXPECT_EQ(err(), "");
}

TEST_F(ConfErrors, PartitionFileCannotBeOpened) {
  std::string missing = inst_.path("dev/missing");
  EXPECT_EQ(read(1, "F ROOT " + missing + " 2000 0\n"), ER_CF_OPEN);
  EXPECT_EQ(err(), missing);
  EXPECT_EQ(errno, ENOENT);  // kept for the caller's message
  inst_.write("dev/dir/x", "");
  std::string dir = inst_.path("dev/dir");
  EXPECT_EQ(read(1, "F ROOT " + dir + " 2000 0\n"), ER_CF_OPEN);
  EXPECT_EQ(err(), dir);
}

TEST_F(ConfErrors, PartitionFileCannotBeExamined) {
  std::string missing = inst_.path("dev/missing");
  EXPECT_EQ(check(valid("F DATA " + missing + " 2000 0\n")), ER_CF_STAT);
  EXPECT_EQ(err(), missing);
}

TEST_F(ConfErrors, SamefileNamesThePathThatCannotBeExamined) {
  std::string d = partition("data1"), missing = inst_.path("dev/missing");
  EXPECT_EQ(ba_samefile(d.c_str(), missing.c_str()), ER_CF_STAT);
  EXPECT_EQ(err(), missing);
  EXPECT_EQ(ba_samefile(missing.c_str(), d.c_str()), ER_CF_STAT);
  EXPECT_EQ(err(), missing);
}

// Needs root: hides the user "tolv" in a private mount namespace of a child process.
TEST_F(ConfErrors, UserTolvMissing) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
  std::string p = partition("p");
  childresult r = in_child([&] {
    if (tolv_user() != nullptr && !hide_tolv_user(inst_)) return kChildSkip;
    snprintf(ba_conferr, sizeof ba_conferr, "before");
    cfgpart part{};
    snprintf(part.path, sizeof part.path, "%s", p.c_str());
    part.size = 2000;
    return ba_confpart(&part);
  });
  if (r.rc == kChildSkip) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(r.rc, ER_CF_NOTOLV);
  EXPECT_STREQ(r.conferr, "before");
}

TEST_F(ConfErrors, ConfigurationFileMissing) {
  EXPECT_EQ(ba_readconf(1, "missing"), ER_CF_NOFILE);
  EXPECT_EQ(err(), inst_.home() + "/etc/missing.cfg");
  EXPECT_EQ(errno, ENOENT);
}

// A path over 103 characters is refused, not cut, even when the file exists.
TEST_F(ConfErrors, ConfigurationPathOver103Characters) {
  size_t fixed = inst_.home().size() + strlen("/etc/") + strlen(".cfg");
  std::string name(104 - fixed, 'n');
  inst_.write("etc/" + name + ".cfg", "D 7\n");
  inst_.write("etc/" + name + ".cf", "D 8\n");  // what the path cut to 103 would name
  EXPECT_EQ(ba_readconf(0, name.c_str()), ER_CF_NOFILE);
  EXPECT_EQ(err(), inst_.home() + "/etc/" + name + ".cfg");
  EXPECT_EQ(errno, ENAMETOOLONG);
  EXPECT_EQ(cfg().dbskey, 0);
}

TEST_F(ConfErrors, DetailIsCutAtTheBufferSize) {
  char *home = ba_settings.home;
  std::string longhome(400, 'h');
  ba_settings.home = longhome.data();
  int rc = ba_readconf(0, "");
  ba_settings.home = home;
  EXPECT_EQ(rc, ER_CF_NOFILE);
  EXPECT_EQ(err(), longhome.substr(0, BA_CONFERRLEN - 1));
}

// Without home or DBS name there is no installation file to read; nothing is opened.
TEST_F(ConfErrors, NoHomeOrNoDbsname) {
  char *home = ba_settings.home;
  ba_settings.home = nullptr;
  EXPECT_EQ(ba_readconf(0, ""), ER_CF_NOFILE);
  EXPECT_EQ(errno, ENOENT);
  ba_settings.home = home;
  EXPECT_EQ(err(), "/etc/testdbs.cfg");
  inst_.write("etc/.cfg", "D 1\n");
  char *name = ba_settings.dbsname;
  ba_settings.dbsname = nullptr;
  EXPECT_EQ(ba_readconf(0, nullptr), ER_CF_NOFILE);
  ba_settings.dbsname = name;
  EXPECT_EQ(err(), inst_.home() + "/etc/.cfg");
  EXPECT_EQ(cfg().dbskey, 0);
}

TEST_F(ConfErrors, DbspaceNameTooLong) {
  EXPECT_EQ(read(0, "F abcdefghijk /x 2000 0\n"), ER_CF_NAMELEN);
  EXPECT_EQ(err(), "abcdefghijk");
  EXPECT_EQ(read(0, "F ROOT /x 2000 0\nL rootrootroot 3 200\n"), ER_CF_NAMELEN);
  EXPECT_EQ(err(), "rootrootroot");
}

// A nameless A, F or L line is refused; the name of the line before it is not reused.
TEST_F(ConfErrors, DbspaceLineWithoutName) {
  for (const char *line : {"F\n", "A \n", "L\t\n"}) {
    EXPECT_EQ(read(0, std::string("F ROOT /x 2000 0\n") + line), ER_CF_NAMELEN) << line;
    EXPECT_EQ(err(), "");
    EXPECT_EQ(cfg().ndbspace, 1);
    EXPECT_EQ(cfg().dbspaces[0].nparts, 1);
    EXPECT_EQ(cfg().l_num1, 0);
  }
}

TEST_F(ConfErrors, PartitionPathTooLong) {
  std::string p50 = "/" + std::string(49, 'p'), p51 = "/" + std::string(50, 'p');
  EXPECT_EQ(read(0, "F ROOT " + p50 + " 2000 0\n"), 0);
  EXPECT_EQ(read(0, "F ROOT " + p51 + " 2000 0\n"), ER_CF_PATHLEN);
  EXPECT_EQ(err(), p51);
  EXPECT_EQ(read(0, "F ROOT /x 2000 0\nA ROOT " + p51 + " 2000 0\n"), ER_CF_PATHLEN);
  EXPECT_EQ(err(), p51);
}

TEST_F(ConfErrors, BOrTPathMissing) {
  EXPECT_EQ(check(without_line(valid(), "B ")), ER_CF_BTPATH);
  EXPECT_EQ(err(), "");
  std::string nob = inst_.path("nob"), not_ = inst_.path("not");
  EXPECT_EQ(check(valid("B " + nob + "\n")), ER_CF_BTPATH);
  EXPECT_EQ(err(), nob);
  EXPECT_EQ(check(valid("T " + not_ + "\n")), ER_CF_BTPATH);
  EXPECT_EQ(err(), not_);
}

// A B or T word longer than its field is refused while reading, in every mode.
TEST_F(ConfErrors, BOrTPathTooLong) {
  std::string p52 = "/" + std::string(51, 'b');
  EXPECT_EQ(read(0, "B /old 4 100\nB " + p52 + " 5 200\n"), ER_CF_BTPATH);
  EXPECT_EQ(err(), p52);
  EXPECT_STREQ(cfg().b_path, "/old");
  EXPECT_EQ(read(0, "T " + p52 + "\n"), ER_CF_BTPATH);
  EXPECT_EQ(err(), p52);
}

// ---- Error paths of the owner checks (root and the user "tolv") ----------------------------

using ConfOwnerErrors = OwnedConf;

TEST_F(ConfOwnerErrors, WrongOwner) {
  std::string p = partition("p");
  ASSERT_EQ(chown(p.c_str(), 0, tolv_user()->pw_gid), 0);
  EXPECT_EQ(read(1, "F ROOT " + p + " 2000 0\n"), ER_CF_OWNER);
  EXPECT_EQ(err(), p + " (0 found)");
}

TEST_F(ConfOwnerErrors, WrongGroup) {
  std::string p = partition("p");
  ASSERT_EQ(chown(p.c_str(), tolv_user()->pw_uid, 0), 0);
  EXPECT_EQ(read(1, "F ROOT " + p + " 2000 0\n"), ER_CF_GROUP);
  EXPECT_EQ(err(), p + " (0 found)");
}

TEST_F(ConfOwnerErrors, WrongPermissions) {
  std::string p = partition("p");
  ASSERT_EQ(chmod(p.c_str(), 0640), 0);
  EXPECT_EQ(read(1, "F ROOT " + p + " 2000 0\n"), ER_CF_MODE);
  EXPECT_EQ(err(), p + " (0100640 found)");
  ASSERT_EQ(chmod(p.c_str(), 0666), 0);
  EXPECT_EQ(read(1, valid("A ROOT " + p + " 2000 0\n")), ER_CF_MODE);
  EXPECT_EQ(err(), p + " (0100666 found)");
}

}  // namespace
