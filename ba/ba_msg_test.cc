// Tests of ba_msg: catalog choice by number range, the lookup in real catalog files of a
// temporary installation, the memory-resident table, cutting of long texts, corrupt catalogs,
// the failure diagnostics, ba_msgformat against hostile texts, and the shipped catalogs.
#include "ba/ba_msg.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <vector>

#include "ba/ba_mem.h"
#include "ba/globals.h"
#include "testing/tempinstall.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct entry {
  int msgno;
  std::string text;
};

std::string be16(int v) { return {static_cast<char>(v >> 8 & 0xFF), static_cast<char>(v & 0xFF)}; }

std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16 & 0xFF),
          static_cast<char>(v >> 8 & 0xFF), static_cast<char>(v & 0xFF)};
}

// A well-formed catalog: count, index, then the texts in entry order, each ended by a zero.
std::string catalog(const std::vector<entry> &entries) {
  std::string index = be16(static_cast<int>(entries.size())), texts;
  uint32_t off = MSG_HEADERLEN + MSG_ENTRYLEN * static_cast<uint32_t>(entries.size());
  for (const entry &e : entries) {
    index += be16(e.msgno) + be32(off + static_cast<uint32_t>(texts.size()));
    texts += e.text + '\0';
  }
  return index + texts;
}

std::string notfound(int msgno) { return "Message " + std::to_string(msgno) + " not found"; }

// Runs fn in a child process and returns its exit status (for faults that must not leak into
// the test process, such as a lowered address-space limit).
template <class Fn>
int in_child(Fn fn) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A temporary installation with ba_settings.home pointing at it, TOLVLANG unset and an empty
// memory-resident table at the end.
class Msg : public testing::Test {
 protected:
  void SetUp() override { ba_settings.home = ba_strdup(inst.home().c_str()); }
  void TearDown() override {
    ba_msgfree();
    ba_release(ba_settings.home);
    ba_settings.home = nullptr;
  }
  // Writes a catalog file msg/<lang>/<name>.msc.
  void put(const std::string &lang, const std::string &name, const std::string &bytes) {
    inst.write("msg/" + lang + "/" + name + ".msc", bytes);
  }
  std::string lookup(int msgno, const char *lang = "xx") {
    return ba_getmsg(msgno, inst.home().c_str(), lang);
  }
  std::string path(const std::string &lang, const std::string &name) {
    return inst.path("msg/" + lang + "/" + name + ".msc");
  }

  tolvtest::TempInstall inst;
};

// ---- Number ranges -----------------------------------------------------------------------

TEST_F(Msg, ZeroIsTheEmptyTextWithoutAnyFile) {
  EXPECT_STREQ(ba_getmsg(0, "/nonexistent", "xx"), "");
  EXPECT_STREQ(ba_msgtext(0), "");
}

TEST_F(Msg, EachRangeReadsItsCatalog) {
  struct {
    const char *name;
    int lo, hi;
  } ranges[] = {{"sqlmsg", 1, 4999},           {"sqlerr", -1, -4999},
                {"aderr", -5000, -8999},       {"tpcerr", -9000, -9498},
                {"ttoolerr", -9499, -9999},    {"tolvxerr", -10000, -10998},
                {"tdcerr", -12000, -12498},    {"tolvplcerr", -15000, -15998},
                {"tolvplerr", -16000, -16998}};
  for (const auto &r : ranges)
    put("xx", r.name, catalog({{r.lo, std::string(r.name) + " lo"}, {r.hi, std::string(r.name) + " hi"}}));
  for (const auto &r : ranges) {
    EXPECT_EQ(lookup(r.lo), std::string(r.name) + " lo");
    EXPECT_EQ(lookup(r.hi), std::string(r.name) + " hi");
  }
  EXPECT_EQ(lookup(-4999), "sqlerr hi");
  EXPECT_EQ(lookup(-5000), "aderr lo");
  EXPECT_EQ(lookup(-9499), "ttoolerr lo");
  EXPECT_EQ(lookup(-9498), "tpcerr hi");
}

TEST_F(Msg, NumbersBetweenTheRangesAreNotFoundWithoutOpeningAFile) {
  // No catalog exists below /nonexistent: an attempt to open one would say so instead.
  for (int n : {-10999, -11000, -11999, -12499, -14999, -15999, -16999, -17000, -32768, INT_MIN})
    EXPECT_EQ(std::string(ba_getmsg(n, "/nonexistent", "xx")), notfound(n));
}

TEST_F(Msg, LanguageIsTolvlangOrGeriso) {
  put("geriso", "sqlerr", catalog({{-316, "deutsch"}}));
  put("eng", "sqlerr", catalog({{-316, "english"}}));
  EXPECT_STREQ(ba_msgtext(-316), "deutsch");
  tolvtest::TempInstall::setenv("TOLVLANG", "eng");
  EXPECT_STREQ(ba_msgtext(-316), "english");
  tolvtest::TempInstall::setenv("TOLVLANG", "");  // empty counts as unset
  EXPECT_STREQ(ba_msgtext(-316), "deutsch");
}

// ---- Lookup in a catalog -----------------------------------------------------------------

TEST_F(Msg, EntriesInAnyOrderAndTheFirstMatchWins) {
  put("xx", "sqlerr", catalog({{-7, "seven"}, {-3, "three"}, {-7, "second seven"}, {-1, "one"}}));
  EXPECT_EQ(lookup(-1), "one");
  EXPECT_EQ(lookup(-3), "three");
  EXPECT_EQ(lookup(-7), "seven");
}

TEST_F(Msg, MissingNumberAndEmptyCatalogAreNotFound) {
  put("xx", "sqlerr", catalog({{-1, "one"}}));
  put("xx", "aderr", catalog({}));
  EXPECT_EQ(lookup(-2), notfound(-2));
  EXPECT_EQ(lookup(-5000), notfound(-5000));
}

TEST_F(Msg, TextsAreReadByteForByte) {
  std::string latin1 = "Nicht gen\xfcgend Speicher: %s (errno %d)\n\t\\";
  put("xx", "sqlmsg", catalog({{1, latin1}, {2, ""}}));
  EXPECT_EQ(lookup(1), latin1);
  EXPECT_EQ(lookup(2), "");
}

// ---- Cutting to the 101-byte buffers -----------------------------------------------------

TEST_F(Msg, TextOfHundredBytesIsKeptLongerOnesAreCut) {
  std::string hundred(100, 'h'), longer = std::string(100, 'l') + "TAIL";
  put("xx", "sqlerr", catalog({{-1, hundred}, {-2, longer}}));
  EXPECT_EQ(lookup(-1), hundred);
  EXPECT_EQ(lookup(-2), std::string(100, 'l'));
  inst.write("cat/app.msc", catalog({{5000, longer}}));  // table copies are cut alike
  ASSERT_EQ(ba_msgload("app", inst.path("cat").c_str()), 0);
  EXPECT_EQ(lookup(5000), std::string(100, 'l'));
}

TEST_F(Msg, LongDiagnosticIsCutToHundredCharacters) {
  std::string home = "/" + std::string(200, 'd');
  std::string text = ba_getmsg(-1, home.c_str(), "xx");
  EXPECT_EQ(text, ("Error opening file " + home).substr(0, 100));
}

TEST_F(Msg, ShortPathIsPaddedToThirtyColumns) {
  std::string text = ba_getmsg(-1, "/h", "xx");
  EXPECT_EQ(text, "Error opening file           /h/msg/xx/sqlerr.msc. errno = 2");
}

// ---- Memory-resident table ---------------------------------------------------------------

TEST_F(Msg, LoadedEntriesServeNumbersFromFiveThousand) {
  inst.write("cat/app.msc", catalog({{5000, "five"}, {8771, "not usable"}, {-5, "below"}}));
  EXPECT_EQ(ba_msgload("app", inst.path("cat").c_str()), 0);
  EXPECT_EQ(lookup(5000), "five");
  EXPECT_EQ(lookup(8771), "not usable");
  EXPECT_EQ(lookup(5001), notfound(5001));
  // Numbers below 5000 still come from the catalog files, never from the table.
  EXPECT_EQ(lookup(-5), std::string("Error opening file ") + path("xx", "sqlerr") + ". errno = 2");
}

TEST_F(Msg, LoadWithoutDirectoryReadsTheInstallationLanguage) {
  put("geriso", "app", catalog({{6000, "deutsch"}}));
  put("eng", "app", catalog({{6001, "english"}}));
  EXPECT_EQ(ba_msgload("app", nullptr), 0);
  tolvtest::TempInstall::setenv("TOLVLANG", "eng");
  EXPECT_EQ(ba_msgload("app", nullptr), 0);
  EXPECT_STREQ(ba_msgtext(6000), "deutsch");
  EXPECT_STREQ(ba_msgtext(6001), "english");
}

TEST_F(Msg, LoadsAccumulateAndTheFirstLoadedWins) {
  inst.write("cat/a.msc", catalog({{7000, "first"}}));
  inst.write("cat/b.msc", catalog({{7000, "second"}, {7001, "other"}}));
  ASSERT_EQ(ba_msgload("a", inst.path("cat").c_str()), 0);
  ASSERT_EQ(ba_msgload("b", inst.path("cat").c_str()), 0);
  EXPECT_EQ(lookup(7000), "first");
  EXPECT_EQ(lookup(7001), "other");
}

TEST_F(Msg, TheFiveHundredAndFirstEntryIsRefused) {
  std::vector<entry> many;
  for (int i = 0; i < 501; i++) many.push_back({5000 + i, "m" + std::to_string(i)});
  inst.write("cat/many.msc", catalog(many));
  CaptureStderr();
  EXPECT_EQ(ba_msgload("many", inst.path("cat").c_str()), -1);
  EXPECT_EQ(GetCapturedStderr(), "Too many messages\n");
  EXPECT_EQ(lookup(5000), "m0");
  EXPECT_EQ(lookup(5499), "m499");
  EXPECT_EQ(lookup(5500), notfound(5500));
}

TEST_F(Msg, TableFillsAcrossCatalogs) {
  std::vector<entry> a, b;
  for (int i = 0; i < 300; i++) a.push_back({5000 + i, "a"}), b.push_back({6000 + i, "b"});
  inst.write("cat/a.msc", catalog(a));
  inst.write("cat/b.msc", catalog(b));
  ASSERT_EQ(ba_msgload("a", inst.path("cat").c_str()), 0);
  CaptureStderr();
  EXPECT_EQ(ba_msgload("b", inst.path("cat").c_str()), -1);
  EXPECT_EQ(GetCapturedStderr(), "Too many messages\n");
  EXPECT_EQ(lookup(6199), "b");
  EXPECT_EQ(lookup(6200), notfound(6200));
}

TEST_F(Msg, FreeEmptiesTheTableAndItCanBeFilledAgain) {
  inst.write("cat/app.msc", catalog({{5000, "five"}}));
  ASSERT_EQ(ba_msgload("app", inst.path("cat").c_str()), 0);
  ba_msgfree();
  EXPECT_EQ(lookup(5000), notfound(5000));
  std::vector<entry> full;
  for (int i = 0; i < MSG_TABLEMAX; i++) full.push_back({5000 + i, "x"});
  inst.write("cat/full.msc", catalog(full));
  EXPECT_EQ(ba_msgload("full", inst.path("cat").c_str()), 0);  // all 500 slots free again
  EXPECT_EQ(lookup(5499), "x");
}

TEST_F(Msg, TableWorksWithTheMemoryControlAllocator) {
  ba_release(ba_settings.home);
  ba_settings.debug = 1;
  ba_settings.home = ba_strdup(inst.home().c_str());
  inst.write("cat/app.msc", catalog({{5000, "five"}, {5001, "six"}}));
  ASSERT_EQ(ba_msgload("app", inst.path("cat").c_str()), 0);
  EXPECT_EQ(lookup(5001), "six");
  ba_msgfree();  // through ba_mfree: an unknown address would be reported on stderr
  ba_release(ba_settings.home);
  ba_settings.home = nullptr;
  ba_settings.debug = 0;
}

// ---- Corrupt catalogs --------------------------------------------------------------------

TEST_F(Msg, CountBeyondTheFileScansOnlyTheWholeEntries) {
  std::string cat = catalog({{-1, "one"}, {-2, "two"}});
  cat.replace(0, 2, be16(1000));
  put("xx", "sqlerr", cat);
  EXPECT_EQ(lookup(-2), "two");
  EXPECT_EQ(lookup(-3), notfound(-3));
  inst.write("cat/app.msc", be16(1000) + be16(5000) + be32(8) + "ok" + '\0');
  ASSERT_EQ(ba_msgload("app", inst.path("cat").c_str()), 0);
  EXPECT_EQ(lookup(5000), "ok");
}

TEST_F(Msg, NegativeCountFindsNothing) {
  std::string cat = catalog({{-1, "one"}});
  cat.replace(0, 2, be16(-1));
  put("xx", "sqlerr", cat);
  EXPECT_EQ(lookup(-1), notfound(-1));
  inst.write("cat/app.msc", be16(-32768) + be16(5000) + be32(8) + "x" + '\0');
  EXPECT_EQ(ba_msgload("app", inst.path("cat").c_str()), 0);
  EXPECT_EQ(lookup(5000), notfound(5000));
}

TEST_F(Msg, TextOffsetOutsideTheFileIsNotFound) {
  std::string cat = be16(3) + be16(-1) + be32(0xFFFFFFFF) + be16(-2) + be32(26) + be16(-3) + be32(20) +
                    "ok" + '\0';  // 23 bytes: offset 26 is beyond, offset 23 would be the end
  put("xx", "sqlerr", cat);
  EXPECT_EQ(lookup(-1), notfound(-1));
  EXPECT_EQ(lookup(-2), notfound(-2));
  EXPECT_EQ(lookup(-3), "ok");
  put("xx", "aderr", be16(1) + be16(-5000) + be32(8));  // offset == file length
  EXPECT_EQ(lookup(-5000), notfound(-5000));
  inst.write("cat/app.msc", be16(2) + be16(5000) + be32(1u << 31) + be16(5001) + be32(14) + "y" + '\0');
  ASSERT_EQ(ba_msgload("app", inst.path("cat").c_str()), 0);
  EXPECT_EQ(lookup(5000), notfound(5000));
  EXPECT_EQ(lookup(5001), "y");
}

TEST_F(Msg, TextWithoutZeroIsCutAtTheEndOfTheFile) {
  put("xx", "sqlerr", be16(1) + be16(-1) + be32(8) + "unended");
  EXPECT_EQ(lookup(-1), "unended");
  inst.write("cat/app.msc", be16(1) + be16(5000) + be32(8) + "open");
  ASSERT_EQ(ba_msgload("app", inst.path("cat").c_str()), 0);
  EXPECT_EQ(lookup(5000), "open");
}

TEST_F(Msg, TextOffsetIntoTheIndexReadsThoseBytes) {
  put("xx", "sqlerr", be16(1) + be16(-1) + be32(2));  // the text is the index entry itself
  EXPECT_EQ(lookup(-1), "\xff\xff");
}

TEST_F(Msg, TruncatedFilesFindNothing) {
  for (const std::string &bytes : {std::string(), std::string(1, '\0'), be16(1),
                                   be16(1) + be16(-1) + std::string("\0\0", 2)}) {
    put("xx", "sqlerr", bytes);
    EXPECT_EQ(lookup(-1), notfound(-1)) << bytes.size() << " bytes";
  }
}

// ---- Failure diagnostics -----------------------------------------------------------------

TEST_F(Msg, MissingCatalogNamesThePathAndErrno) {
  EXPECT_EQ(lookup(-1), "Error opening file " + path("xx", "sqlerr") + ". errno = 2");
  CaptureStderr();
  EXPECT_EQ(ba_msgload("none", nullptr), -1);
  EXPECT_EQ(GetCapturedStderr(), "Cannot open message file " + path("geriso", "none") + "\n");
}

TEST_F(Msg, UnsetHomeGivesADiagnostic) {
  ba_release(ba_settings.home);
  ba_settings.home = nullptr;
  EXPECT_EQ(std::string(ba_msgtext(-1)),
            "Error opening file " + std::string(8, ' ') + "/msg/geriso/sqlerr.msc. errno = 2");
}

TEST_F(Msg, OverlongPathIsRefusedNotCut) {
  std::string home = "/" + std::string(MSG_TEXTLEN * 50, 'p');
  std::string text = ba_getmsg(-1, home.c_str(), "xx");
  EXPECT_EQ(text.size(), 100u);
  CaptureStderr();
  EXPECT_EQ(ba_msgload("app", home.c_str()), -1);
  EXPECT_EQ(GetCapturedStderr().rfind("Cannot open message file /ppp", 0), 0u);
}

TEST_F(Msg, UnseekableCatalogGivesTheSeekDiagnostic) {
  // A FIFO opens (a child opens the writing end) but cannot seek: ESPIPE.
  std::string fifo = path("xx", "sqlerr");
  tolvtest::make_dirs(inst.path("msg/xx"));
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (bool load : {false, true}) {
    fflush(nullptr);
    pid_t writer = fork();
    if (writer == 0) {
      close(open(fifo.c_str(), O_WRONLY));
      _exit(0);
    }
    std::string expect = "Unable to fseek file " + fifo + ". errno = " + std::to_string(ESPIPE) + "\n";
    if (load) {
      CaptureStderr();
      EXPECT_EQ(ba_msgload("sqlerr", inst.path("msg/xx").c_str()), -1);
      EXPECT_EQ(GetCapturedStderr(), expect);
    } else {
      EXPECT_EQ(lookup(-1), expect);
    }
    waitpid(writer, nullptr, 0);
  }
}

TEST_F(Msg, ShortReadGivesTheReadDiagnostic) {
  // A sysfs attribute reports 4096 bytes and delivers a few.
  const char *attr = "/sys/devices/system/cpu/online";
  if (access(attr, R_OK) != 0) GTEST_SKIP() << "no " << attr;
  tolvtest::make_dirs(inst.path("msg/xx"));
  ASSERT_EQ(symlink(attr, path("xx", "sqlerr").c_str()), 0);
  EXPECT_EQ(lookup(-1), "Unable to read file " + path("xx", "sqlerr") + ". errno = 0\n");
  CaptureStderr();
  EXPECT_EQ(ba_msgload("sqlerr", inst.path("msg/xx").c_str()), -1);
  EXPECT_EQ(GetCapturedStderr(), "Unable to read file " + path("xx", "sqlerr") + ". errno = 0\n");
}

TEST_F(Msg, NoMemoryForTheImageGivesTheMallocDiagnostic) {
#if defined(__SANITIZE_ADDRESS__)
#define MSG_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MSG_TEST_ASAN 1
#endif
#endif
#ifdef MSG_TEST_ASAN
  GTEST_SKIP() << "an address-space limit does not mix with AddressSanitizer";
#endif
  // A sparse 1 GiB catalog cannot be read into memory under a 256 MiB address-space limit.
  std::string big = path("xx", "sqlerr");
  put("xx", "sqlerr", "");
  ASSERT_EQ(truncate(big.c_str(), 1L << 30), 0);
  int status = in_child([&] {
    rlimit lim{256L << 20, 256L << 20};
    if (setrlimit(RLIMIT_AS, &lim) != 0) return 3;
    if (strcmp(ba_getmsg(-1, inst.home().c_str(), "xx"), "malloc() error\n") != 0) return 1;
    fclose(stderr);  // the load's diagnostic is checked by its result alone here
    return ba_msgload("sqlerr", inst.path("msg/xx").c_str()) == -1 ? 0 : 2;
  });
  EXPECT_EQ(status, 0);
}

// ---- ba_msgformat ------------------------------------------------------------------------

std::string format(const char *text, const char *detail, int err, int *count = nullptr) {
  char *buf = nullptr;
  size_t len = 0;
  FILE *out = open_memstream(&buf, &len);
  int n = ba_msgformat(out, text, detail, err);
  fclose(out);
  std::string s(buf, len);
  free(buf);
  if (count != nullptr) *count = n;
  return s;
}

TEST(MsgFormat, DetailThenErrnoAreFormatted) {
  int n = 0;
  EXPECT_EQ(format("Cannot open configuration file %s (errno %d)", "/x.cfg", 2, &n),
            "Cannot open configuration file /x.cfg (errno 2)");
  EXPECT_EQ(n, 47);
  EXPECT_EQ(format("Dbspace %s defined twice", "DATA", 2), "Dbspace DATA defined twice");
  EXPECT_EQ(format("No dbspace", "", 2), "No dbspace");  // and no newline is added
  EXPECT_EQ(format("100%% of %s, %d%%", "it", 5), "100% of it, 5%");
  EXPECT_EQ(format("%%s%%d %s", "d", 1), "%s%d d");
  EXPECT_EQ(format("%s", nullptr, 1), "");
}

TEST_F(Msg, HostileCatalogTextIsPrintedLiterally) {
  put("geriso", "sqlerr", catalog({{-3024, "Cannot open %n%s%s%s%99999s"}, {-3018, "%s then %d"}}));
  EXPECT_EQ(format(ba_msgtext(-3024), "/etc/x.cfg", 2), "Cannot open %n%s%s%s%99999s /etc/x.cfg");
  EXPECT_EQ(format(ba_msgtext(-3018), "/p", 13), "/p then 13");
}

// ---- Shipped catalogs --------------------------------------------------------------------

// Every number of ba/error.h, read from the header itself so that new numbers are covered.
std::vector<int> error_numbers() {
  std::istringstream header(tolvtest::read_file(tolvtest::source_dir() + "/ba/error.h"));
  std::vector<int> out;
  std::string line;
  while (std::getline(header, line)) {  // "  NAME = number,  // comment"
    int n = 0;
    char name[64], comma = 0;
    if (sscanf(line.c_str(), " %63[A-Z0-9_] = %d %c", name, &n, &comma) == 3 && comma == ',')
      out.push_back(n);
  }
  return out;
}

bool is_config_error(int n) { return (n <= -3000 && n >= -3035) || n == -5004 || n == -316; }

// An independent expansion of a checked format: "%s" -> detail, "%d" -> err, "%%" -> "%".
std::string expand(const std::string &text, const std::string &detail, int err) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    char c = text[++i];
    out += c == 's' ? detail : c == 'd' ? std::to_string(err) : std::string(1, c);
  }
  return out;
}

class ShippedCatalogs : public Msg, public testing::WithParamInterface<const char *> {};

TEST_P(ShippedCatalogs, EveryErrorNumberHasAText) {
  tolvtest::TempInstall::setenv("TOLVLANG", GetParam());
  ASSERT_EQ(ba_msgload("bmmsg", nullptr), 0);  // the memory-resident numbers
  std::vector<int> numbers = error_numbers();
  ASSERT_GT(numbers.size(), 60u);
  for (int n : numbers) {
    std::string text = ba_msgtext(n);
    EXPECT_NE(text, notfound(n)) << n;
    EXPECT_FALSE(text.empty()) << n;
    EXPECT_EQ(text.find("Error opening file"), std::string::npos) << n;
  }
}

TEST_P(ShippedCatalogs, ConfigurationTextsAreSafeFormatsOthersHoldNoConversion) {
  tolvtest::TempInstall::setenv("TOLVLANG", GetParam());
  ASSERT_EQ(ba_msgload("bmmsg", nullptr), 0);
  for (int n : error_numbers()) {
    std::string text = ba_msgtext(n);
    if (is_config_error(n)) {
      EXPECT_EQ(format(text.c_str(), "DETAIL", 42), expand(text, "DETAIL", 42)) << n;
    } else {
      for (size_t p = text.find('%'); p != std::string::npos; p = text.find('%', p + 2))
        EXPECT_EQ(text[p + 1], '%') << n << ": " << text;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Languages, ShippedCatalogs, testing::Values("geriso", "eng"));

TEST_F(Msg, GermanTextsAreIsoLatin1) {
  EXPECT_STREQ(ba_msgtext(-316), "Nicht gen\xfcgend Speicher");
  tolvtest::TempInstall::setenv("TOLVLANG", "eng");
  EXPECT_STREQ(ba_msgtext(-316), "Out of memory");
  EXPECT_STREQ(ba_msgtext(-3024), "Cannot open configuration file %s (errno %d)");
}

}  // namespace
