// Tests of ba_env: defaults and thresholds of every setting, the flag bits, TOLVDBS splitting,
// the choice of the language file, every diagnostic byte for byte, and reloading without
// leaks. Each test has its own temporary installation (TOLVHOME with the shipped language
// files, TOLVDBS "testdbs") and runs in its own process.
#include "ba/ba_env.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

#include "ba/ba_mem.h"
#include "ba/ba_nls.h"
#include "ba/globals.h"
#include "testing/tempinstall.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using tolvtest::TempInstall;

std::string read_stream(FILE *f) {
  std::string out(ftell(f), '\0');
  rewind(f);
  out.resize(fread(out.data(), 1, out.size(), f));
  return out;
}

std::string memreport() {
  FILE *f = tmpfile();
  ba_memreport(f);
  std::string out = read_stream(f);
  fclose(f);
  return out;
}

std::string str(const char *s) { return s != nullptr ? s : "(null)"; }

class EnvTest : public testing::Test {
 protected:
  void TearDown() override { ba_freeenv(); }

  // ba_readenv with a message stream; rc gets the result, the messages are returned.
  std::string load(int &rc) {
    FILE *f = tmpfile();
    rc = ba_readenv(f);
    std::string msg = read_stream(f);
    fclose(f);
    return msg;
  }
  // A load that must succeed silently.
  void load_ok() {
    int rc;
    std::string msg = load(rc);
    ASSERT_EQ(rc, 0) << msg;
    ASSERT_EQ(msg, "");
  }

  TempInstall inst;
};

// ---- Defaults ------------------------------------------------------------------------------

TEST_F(EnvTest, DefaultsOfEverySetting) {
  load_ok();
  const basettings &s = ba_settings;
  EXPECT_EQ(str(s.home), inst.home());
  EXPECT_EQ(str(s.dbsname), "testdbs");
  EXPECT_EQ(s.dbshost, nullptr);
  EXPECT_STREQ(s.dbsservice, "tolvsql");
  EXPECT_EQ(s.delim, '|');
  EXPECT_STREQ(s.lang, "geriso");
  EXPECT_STREQ(s.nls, "geriso");
  EXPECT_EQ(s.opentab, 100);
  EXPECT_EQ(s.mem, 4000);
  EXPECT_EQ(s.debug, 0);
  EXPECT_EQ(str(s.termcap), inst.home() + "/etc/termcap");
  EXPECT_STREQ(s.editor, "vi");
  EXPECT_STREQ(s.tmpdir, "/tmp");
  EXPECT_EQ(s.term, nullptr);
  EXPECT_EQ(s.user, nullptr);
  EXPECT_EQ(s.isolevel, nullptr);
  EXPECT_EQ(s.hostip, nullptr);
  EXPECT_EQ(s.numpoint, '.');
  EXPECT_EQ(s.strplain, 0);
  EXPECT_EQ(s.ignownercase, 0);
  EXPECT_EQ(s.flags, static_cast<unsigned>(ENV_NEWDATE));
}

TEST_F(EnvTest, LanguageFieldsComeFromTheLanguageFile) {
  load_ok();
  const basettings &s = ba_settings;
  EXPECT_EQ(s.decpoint, ',');
  EXPECT_EQ(s.datelen, 10);
  EXPECT_EQ(s.dateorder, 0);
  EXPECT_EQ(s.datesep, '.');
  EXPECT_STREQ(s.yes, "jJyY");
  EXPECT_STREQ(s.no, "nN");
  EXPECT_STREQ(s.currency, "% EUR");
  EXPECT_GT(s.ncoll, 0);
  EXPECT_GT(s.nshift, 0);
  EXPECT_GT(s.ntextrange, 0);
  EXPECT_GT(ba_collidx[static_cast<unsigned char>('a')].n, 0);
}

TEST_F(EnvTest, StringVariablesAreCopied) {
  TempInstall::setenv("TOLVTERM", "vt100");
  TempInstall::setenv("TOLVTERMCAP", "/usr/share/termcap");
  TempInstall::setenv("TOLVUSER", "anna");
  TempInstall::setenv("TOLVEDIT", "ed");
  TempInstall::setenv("TOLVISOLEVEL", "committed read");
  TempInstall::setenv("TOLVTMP", "/var/tmp");
  TempInstall::setenv("TOLVHOSTIP", "10.0.0.1");
  load_ok();
  EXPECT_STREQ(ba_settings.term, "vt100");
  EXPECT_STREQ(ba_settings.termcap, "/usr/share/termcap");
  EXPECT_STREQ(ba_settings.user, "anna");
  EXPECT_STREQ(ba_settings.editor, "ed");
  EXPECT_STREQ(ba_settings.isolevel, "committed read");
  EXPECT_STREQ(ba_settings.tmpdir, "/var/tmp");
  EXPECT_STREQ(ba_settings.hostip, "10.0.0.1");
  EXPECT_NE(ba_settings.term, getenv("TOLVTERM"));  // owned copies, not the environment
  EXPECT_NE(ba_settings.home, getenv("TOLVHOME"));
  TempInstall::setenv("TOLVTERM", "xterm");
  EXPECT_STREQ(ba_settings.term, "vt100");
}

TEST_F(EnvTest, EmptyValuesCountAsSet) {
  TempInstall::setenv("TOLVEDIT", "");
  TempInstall::setenv("TOLVDELIM", "");
  TempInstall::setenv("TOLVSTRING", "");
  load_ok();
  EXPECT_STREQ(ba_settings.editor, "");
  EXPECT_EQ(ba_settings.delim, 0);
  EXPECT_EQ(ba_settings.strplain, 1);
}

TEST_F(EnvTest, DelimIsTheFirstCharacter) {
  TempInstall::setenv("TOLVDELIM", ";,");
  load_ok();
  EXPECT_EQ(ba_settings.delim, ';');
}

TEST_F(EnvTest, DebugIsReadLikeAtoi) {
  TempInstall::setenv("TOLVDEBUG", "2x");
  load_ok();
  EXPECT_EQ(ba_settings.debug, 2);
  ba_freeenv();
  TempInstall::setenv("TOLVDEBUG", "x2");
  load_ok();
  EXPECT_EQ(ba_settings.debug, 0);
}

// ---- Thresholds ----------------------------------------------------------------------------

struct threshold {
  const char *var;
  const char *value;
  int expect;
};

void PrintTo(const threshold &t, std::ostream *os) { *os << t.var << "=\"" << t.value << '"'; }

class EnvThreshold : public EnvTest, public testing::WithParamInterface<threshold> {};

TEST_P(EnvThreshold, AppliesOnlyAboveTheLimit) {
  TempInstall::setenv(GetParam().var, GetParam().value);
  load_ok();
  int got = strcmp(GetParam().var, "TOLVMEM") == 0 ? ba_settings.mem : ba_settings.opentab;
  EXPECT_EQ(got, GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, EnvThreshold,
    testing::Values(threshold{"TOLVOPENTAB", "14", 100}, threshold{"TOLVOPENTAB", "15", 15},
                    threshold{"TOLVOPENTAB", "250", 250}, threshold{"TOLVOPENTAB", "abc", 100},
                    threshold{"TOLVOPENTAB", "-20", 100}, threshold{"TOLVOPENTAB", "20abc", 20},
                    threshold{"TOLVOPENTAB", " 30", 30},
                    threshold{"TOLVOPENTAB", "99999999999999", INT_MAX},
                    threshold{"TOLVMEM", "499", 4000}, threshold{"TOLVMEM", "500", 500},
                    threshold{"TOLVMEM", "8000", 8000}, threshold{"TOLVMEM", "x", 4000},
                    threshold{"TOLVMEM", "", 4000}));

TEST_F(EnvTest, DateOfEightOrTenCharactersReplacesTheFilesFormat) {
  TempInstall::setenv("TOLVDATE", "MM/DD/YY");
  load_ok();
  EXPECT_EQ(ba_settings.datelen, 8);
  EXPECT_EQ(ba_settings.dateorder, 1);
  EXPECT_EQ(ba_settings.datesep, '/');
  TempInstall::setenv("TOLVDATE", "YYYY-MM-DD");
  load_ok();
  EXPECT_EQ(ba_settings.datelen, 10);
  EXPECT_EQ(ba_settings.dateorder, 2);
  EXPECT_EQ(ba_settings.datesep, '-');
}

TEST_F(EnvTest, DateOfAnyOtherLengthIsIgnored) {
  for (const char *fmt : {"", "DD.MM", "MM/DD/YYY", "MM/DD/YYYYY"}) {
    TempInstall::setenv("TOLVDATE", fmt);
    load_ok();
    EXPECT_EQ(ba_settings.datelen, 10) << fmt;  // geriso's DD.MM.YYYY stays
    EXPECT_EQ(ba_settings.dateorder, 0) << fmt;
    EXPECT_EQ(ba_settings.datesep, '.') << fmt;
  }
}

TEST_F(EnvTest, MoneyReplacesTheCurrency) {
  TempInstall::setenv("TOLVMONEY", "US$ %");
  load_ok();
  EXPECT_STREQ(ba_settings.currency, "US$ %");
  EXPECT_STREQ(ba_money("3"), "US$ 3");
}

TEST_F(EnvTest, IgnoreOwnerCaseOnlyForExactlyOne) {
  for (auto [value, expect] : {std::pair{"1", 1}, {"yes", 0}, {"11", 0}, {"", 0}, {"0", 0}}) {
    TempInstall::setenv("TOLVIGNOREOWNERCASE", value);
    load_ok();
    EXPECT_EQ(ba_settings.ignownercase, expect) << value;
  }
}

// ---- Flags ---------------------------------------------------------------------------------

struct flagcase {
  const char *var;
  unsigned bit;
};

void PrintTo(const flagcase &f, std::ostream *os) { *os << f.var; }

class EnvFlag : public EnvTest, public testing::WithParamInterface<flagcase> {};

TEST_P(EnvFlag, SetVariableSetsItsBitWhateverTheValue) {
  TempInstall::setenv(GetParam().var, "");
  load_ok();
  EXPECT_EQ(ba_settings.flags, GetParam().bit | ENV_NEWDATE);
  TempInstall::setenv(GetParam().var, "0");
  load_ok();
  EXPECT_EQ(ba_settings.flags, GetParam().bit | ENV_NEWDATE);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, EnvFlag,
    testing::Values(flagcase{"TOLVNOINDEXONLY", 0x1}, flagcase{"TOLVNOAGGOPT", 0x2},
                    flagcase{"TOLVNOGROUPOPT", 0x4}, flagcase{"TOLVNOCOMPINDEX", 0x8},
                    flagcase{"TOLVNOVCHARTMP", 0x10}, flagcase{"TOLVNOORDINDEX", 0x20},
                    flagcase{"TOLVNOFASTINDEX", 0x40}, flagcase{"TOLVNOALTERCHECK", 0x80},
                    flagcase{"TOLVNOROWIDACCESS", 0x100}, flagcase{"TOLVNOCONSECSHM", 0x200},
                    flagcase{"TOLVREPAIRFL", 0x800}, flagcase{"TOLVNOTCPNODELAY", 0x1000},
                    flagcase{"TOLVNOCONFCHECK", 0x2000}));

TEST_F(EnvTest, OldDateSetEvenEmptyClearsBit0x400) {
  TempInstall::setenv("TOLVOLDDATE", "");
  load_ok();
  EXPECT_EQ(ba_settings.flags, 0u);
}

TEST_F(EnvTest, AllFlagsTogether) {
  for (const char *v : {"TOLVNOINDEXONLY", "TOLVNOAGGOPT", "TOLVNOGROUPOPT", "TOLVNOCOMPINDEX",
                        "TOLVNOVCHARTMP", "TOLVNOORDINDEX", "TOLVNOFASTINDEX", "TOLVNOALTERCHECK",
                        "TOLVNOROWIDACCESS", "TOLVNOCONSECSHM", "TOLVREPAIRFL", "TOLVNOTCPNODELAY",
                        "TOLVNOCONFCHECK"})
    TempInstall::setenv(v, "1");
  load_ok();
  EXPECT_EQ(ba_settings.flags, 0x3FFFu);
}

// ---- TOLVDBS -------------------------------------------------------------------------------

TEST_F(EnvTest, DbsNameAlone) {
  TempInstall::setenv("TOLVDBS", "abc");
  load_ok();
  EXPECT_STREQ(ba_settings.dbsname, "abc");
  EXPECT_EQ(ba_settings.dbshost, nullptr);
  EXPECT_STREQ(ba_settings.dbsservice, "tolvsql");
  EXPECT_EQ(ba_settings.dbsname, ba_dbsbuf);
}

TEST_F(EnvTest, DbsNameHostAndService) {
  TempInstall::setenv("TOLVDBS", "abc@h1:svc");
  load_ok();
  EXPECT_STREQ(ba_settings.dbsname, "abc");
  EXPECT_STREQ(ba_settings.dbshost, "h1");
  EXPECT_STREQ(ba_settings.dbsservice, "svc");
  EXPECT_EQ(ba_settings.dbshost, ba_dbsbuf + 4);  // all three point into the buffer
  EXPECT_EQ(ba_settings.dbsservice, ba_dbsbuf + 7);
}

TEST_F(EnvTest, DbsHostWithoutService) {
  TempInstall::setenv("TOLVDBS", "abc@h1");
  load_ok();
  EXPECT_STREQ(ba_settings.dbsname, "abc");
  EXPECT_STREQ(ba_settings.dbshost, "h1");
  EXPECT_STREQ(ba_settings.dbsservice, "tolvsql");
}

TEST_F(EnvTest, DbsColonWithoutHostBelongsToTheName) {
  TempInstall::setenv("TOLVDBS", "abc:svc");
  load_ok();
  EXPECT_STREQ(ba_settings.dbsname, "abc:svc");
  EXPECT_EQ(ba_settings.dbshost, nullptr);
  EXPECT_STREQ(ba_settings.dbsservice, "tolvsql");
}

TEST_F(EnvTest, DbsOnlyTheFirstAtAndColonSplit) {
  TempInstall::setenv("TOLVDBS", "a@h@x:s:t");
  load_ok();
  EXPECT_STREQ(ba_settings.dbsname, "a");
  EXPECT_STREQ(ba_settings.dbshost, "h@x");
  EXPECT_STREQ(ba_settings.dbsservice, "s:t");
}

TEST_F(EnvTest, DbsNameOfTenCharacters) {
  TempInstall::setenv("TOLVDBS", "abcdefghij@host");
  load_ok();
  EXPECT_STREQ(ba_settings.dbsname, "abcdefghij");
}

TEST_F(EnvTest, DbsUnsetLeavesTheNameAbsent) {
  TempInstall::unsetenv("TOLVDBS");
  load_ok();
  EXPECT_EQ(ba_settings.dbsname, nullptr);
  EXPECT_EQ(ba_settings.dbshost, nullptr);
  EXPECT_STREQ(ba_settings.dbsservice, "tolvsql");
}

TEST_F(EnvTest, DbsValueOf199CharactersFits) {
  std::string value = "abc@" + std::string(195, 'h');
  TempInstall::setenv("TOLVDBS", value);
  load_ok();
  EXPECT_EQ(str(ba_settings.dbshost), std::string(195, 'h'));
  EXPECT_EQ(ba_dbsbuf[199], '\0');
}

// ---- Language file choice ------------------------------------------------------------------

TEST_F(EnvTest, LangEngReadsEngNls) {
  TempInstall::setenv("TOLVLANG", "eng");
  load_ok();
  EXPECT_STREQ(ba_settings.lang, "eng");
  EXPECT_STREQ(ba_settings.nls, "eng");
  EXPECT_EQ(ba_settings.decpoint, '.');
  EXPECT_EQ(ba_settings.dateorder, 1);
}

struct langcase {
  const char *lang;
  const char *nls;
};

void PrintTo(const langcase &l, std::ostream *os) { *os << l.lang; }

class EnvLang : public EnvTest, public testing::WithParamInterface<langcase> {};

TEST_P(EnvLang, LangChoosesTheFileWhenNlsIsUnset) {
  std::string lang = GetParam().lang, nls = GetParam().nls;
  inst.write("msg/" + lang + "/" + nls + ".nls", "YES " + lang + "/" + nls + "\n");
  TempInstall::setenv("TOLVLANG", lang);
  load_ok();
  EXPECT_EQ(str(ba_settings.nls), nls);
  EXPECT_EQ(str(ba_settings.yes), lang + "/" + nls);
}

INSTANTIATE_TEST_SUITE_P(Settings, EnvLang,
                         testing::Values(langcase{"geribm", "geribm"}, langcase{"ger7", "ger7"},
                                         langcase{"fra", "geriso"}, langcase{"engx", "geriso"},
                                         langcase{"ENG", "geriso"}));

TEST_F(EnvTest, NlsNamesTheFileInTheLanguageDirectory) {
  inst.write("msg/geriso/own.nls", "YES own\n");
  TempInstall::setenv("TOLVNLS", "own");
  load_ok();
  EXPECT_STREQ(ba_settings.lang, "geriso");
  EXPECT_STREQ(ba_settings.yes, "own");
}

// The language file path "<home>/msg/<lang>/geriso.nls" with a language name that makes it
// exactly len characters long.
std::string lang_for_path_length(const TempInstall &inst, size_t len) {
  size_t fixed = inst.home().size() + strlen("/msg/") + strlen("/geriso.nls");
  EXPECT_GT(len, fixed);
  return std::string(len - fixed, 'L');
}

TEST_F(EnvTest, PathOf99CharactersIsOpened) {
  std::string lang = lang_for_path_length(inst, 99);
  inst.write("msg/" + lang + "/geriso.nls", "YES long\n");
  TempInstall::setenv("TOLVLANG", lang);
  load_ok();
  EXPECT_STREQ(ba_settings.yes, "long");
}

// ---- Reloading -----------------------------------------------------------------------------

TEST_F(EnvTest, ReloadYieldsTheSameRecord) {
  TempInstall::setenv("TOLVDBS", "abc@h1:svc");
  TempInstall::setenv("TOLVTERM", "vt100");
  TempInstall::setenv("TOLVMONEY", "%$");
  load_ok();
  basettings first = ba_settings;
  std::string home = first.home, term = first.term, money = first.currency;
  int ncoll = first.ncoll, nshift = first.nshift, ntext = first.ntextrange;
  load_ok();
  EXPECT_EQ(str(ba_settings.home), home);
  EXPECT_EQ(str(ba_settings.term), term);
  EXPECT_EQ(str(ba_settings.currency), money);
  EXPECT_STREQ(ba_settings.dbshost, "h1");
  EXPECT_EQ(ba_settings.ncoll, ncoll);
  EXPECT_EQ(ba_settings.nshift, nshift);
  EXPECT_EQ(ba_settings.ntextrange, ntext);
  EXPECT_EQ(ba_settings.flags, first.flags);
  EXPECT_EQ(ba_settings.opentab, first.opentab);
}

TEST_F(EnvTest, ReloadAndFreeLeakNothing) {
  TempInstall::setenv("TOLVMEMCTRL", "1");
  TempInstall::setenv("TOLVDEBUG", "1");
  for (const char *v : {"TOLVTERM", "TOLVUSER", "TOLVISOLEVEL", "TOLVHOSTIP", "TOLVMONEY",
                        "TOLVEDIT", "TOLVTMP"})
    TempInstall::setenv(v, "value");
  load_ok();
  std::string first = memreport();
  EXPECT_NE(first.find("ba_env.cc"), std::string::npos) << first;
  EXPECT_NE(first.find("ba_nls.cc"), std::string::npos) << first;
  load_ok();
  std::string second = memreport();
  EXPECT_EQ(first.substr(first.find("Total:")), second.substr(second.find("Total:")));
  ba_freeenv();
  std::string last = memreport();
  EXPECT_EQ(last.find("ba_env.cc"), std::string::npos) << last;
  EXPECT_EQ(last.find("ba_nls.cc"), std::string::npos) << last;
  EXPECT_NE(last.find("\nTotal:          0\n"), std::string::npos) << last;
}

TEST_F(EnvTest, EachLoadIsReleasedByTheFamilyThatAllocatedIt) {
  TempInstall::setenv("TOLVMEMCTRL", "1");
  CaptureStderr();
  load_ok();  // debug 0: block allocator
  TempInstall::setenv("TOLVDEBUG", "1");
  load_ok();  // releases with ba_delete, then allocates with ba_malloc
  EXPECT_EQ(ba_settings.debug, 1);
  TempInstall::unsetenv("TOLVDEBUG");
  load_ok();  // releases with ba_mfree, then allocates with ba_new
  EXPECT_EQ(GetCapturedStderr(), "");  // no "ba_mfree (...) not found", no "adr = NULL"
  EXPECT_NE(memreport().find("\nTotal:          0\n"), std::string::npos);
}

TEST_F(EnvTest, FreeenvEmptiesTheOwnedFields) {
  load_ok();
  ba_freeenv();
  const basettings &s = ba_settings;
  for (const char *f : {s.home, s.term, s.termcap, s.lang, s.nls, s.user, s.editor, s.isolevel,
                        s.tmpdir, s.hostip, s.yes, s.no, s.currency})
    EXPECT_EQ(f, nullptr);
  EXPECT_EQ(s.coll, nullptr);
  EXPECT_EQ(s.ncoll, 0);
  EXPECT_EQ(s.shift, nullptr);
  EXPECT_EQ(s.nshift, 0);
  EXPECT_EQ(s.textrange, nullptr);
  EXPECT_EQ(s.ntextrange, 0);
  for (const ba_collist &l : ba_collidx) EXPECT_EQ(l.idx, nullptr);
  ba_freeenv();  // a second release finds nothing to release
}

TEST_F(EnvTest, InitenvWritesToStandardError) {
  CaptureStderr();
  EXPECT_EQ(ba_initenv(), 0);
  EXPECT_EQ(GetCapturedStderr(), "");
  TempInstall::unsetenv("TOLVHOME");
  CaptureStderr();
  EXPECT_EQ(ba_initenv(), -1);
  EXPECT_EQ(GetCapturedStderr(), "TOLVHOME not set\n");
}

// ---- Error paths ---------------------------------------------------------------------------

TEST_F(EnvTest, ErrorHomeUnset) {
  TempInstall::unsetenv("TOLVHOME");
  TempInstall::setenv("TOLVDEBUG", "3");
  int rc;
  EXPECT_EQ(load(rc), "TOLVHOME not set\n");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(ba_settings.debug, 3);  // steps before the failing one are done
  EXPECT_EQ(ba_settings.numpoint, '.');
  EXPECT_EQ(ba_settings.dbsservice, nullptr);  // later steps are not
  EXPECT_EQ(ba_settings.lang, nullptr);
}

TEST_F(EnvTest, ErrorWithoutMessageStreamPrintsNothing) {
  TempInstall::unsetenv("TOLVHOME");
  CaptureStderr();
  EXPECT_EQ(ba_readenv(nullptr), -1);
  EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(EnvTest, ErrorDbsNameOfElevenCharacters) {
  TempInstall::setenv("TOLVDBS", "abcdefghijk@h1:svc");
  int rc;
  EXPECT_EQ(load(rc), "DBS name (abcdefghijk) too long\n");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(ba_settings.lang, nullptr);
}

TEST_F(EnvTest, ErrorDbsValueLongerThan199Characters) {
  std::string value = "abc@" + std::string(196, 'h');
  TempInstall::setenv("TOLVDBS", value);
  int rc;
  EXPECT_EQ(load(rc), "TOLVDBS (" + value + ") too long\n");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(ba_settings.dbsname, nullptr);
  EXPECT_EQ(ba_dbsbuf[0], '\0');  // nothing was copied
}

// Names that become file or directory names of the installation must not lead out of it.
TEST_F(EnvTest, ErrorNamesThatAreNoPlainNames) {
  const struct {
    const char *var, *value, *message;
  } cases[] = {
      {"TOLVDBS", "../x", "DBS name (../x) is not a plain name\n"},
      {"TOLVDBS", "a/b@host", "DBS name (a/b) is not a plain name\n"},
      {"TOLVDBS", ".cfg", "DBS name (.cfg) is not a plain name\n"},
      {"TOLVLANG", "../../etc", "TOLVLANG (../../etc) is not a plain name\n"},
      {"TOLVLANG", ".", "TOLVLANG (.) is not a plain name\n"},
      {"TOLVNLS", "../eng/eng", "TOLVNLS (../eng/eng) is not a plain name\n"},
      {"TOLVNLS", "", "TOLVNLS () is not a plain name\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.var) + "=" + c.value);
    TempInstall::setenv(c.var, c.value);
    int rc;
    EXPECT_EQ(load(rc), c.message);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(ba_settings.yes, nullptr);  // no language file was read
    TempInstall::unsetenv(c.var);
  }
  TempInstall::setenv("TOLVDBS", "testdbs");
  load_ok();
}

// The first half names the installation and reads no file; the second reads the language file.
TEST_F(EnvTest, HomeHalfReadsNoFile) {
  TempInstall::setenv("TOLVLANG", "nowhere");
  FILE *f = tmpfile();
  EXPECT_EQ(ba_envhome(f), 0);
  EXPECT_EQ(str(ba_settings.home), inst.home());
  EXPECT_EQ(str(ba_settings.dbsname), "testdbs");
  EXPECT_EQ(ba_settings.lang, nullptr);
  EXPECT_EQ(read_stream(f), "");
  EXPECT_EQ(ba_envrest(f), -1);
  EXPECT_EQ(read_stream(f), "Cannot open language file " + inst.home() + "/msg/nowhere/geriso.nls\n");
  fclose(f);
}

TEST_F(EnvTest, ErrorLanguageFileMissing) {
  TempInstall::setenv("TOLVLANG", "nowhere");
  int rc;
  EXPECT_EQ(load(rc), "Cannot open language file " + inst.home() + "/msg/nowhere/geriso.nls\n");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(ba_settings.opentab, 0);
}

TEST_F(EnvTest, ErrorPathOf100CharactersIsRefused) {
  std::string lang = lang_for_path_length(inst, 100);
  inst.write("msg/" + lang + "/geriso.nls", "YES long\n");
  TempInstall::setenv("TOLVLANG", lang);
  int rc;
  std::string path = inst.home() + "/msg/" + lang + "/geriso.nls";
  EXPECT_EQ(load(rc), "Cannot open language file " + path + "\n");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(ba_settings.yes, nullptr);
}

TEST_F(EnvTest, ErrorCorruptLanguageFile) {
  inst.write("msg/geriso/bad.nls", "# bad\nYES j\nPOINT ;\nNO n\n");
  TempInstall::setenv("TOLVNLS", "bad");
  int rc;
  EXPECT_EQ(load(rc), "Corrupt language file " + inst.home() +
                          "/msg/geriso/bad.nls. Error -3103 in line 3\n");
  EXPECT_EQ(rc, -1);
  EXPECT_STREQ(ba_settings.yes, "j");  // what the parse filled stays
  EXPECT_EQ(ba_settings.opentab, 0);   // later steps are not done
  EXPECT_EQ(ba_settings.mem, 0);
  EXPECT_EQ(ba_settings.termcap, nullptr);
  EXPECT_EQ(ba_settings.editor, nullptr);
  EXPECT_EQ(ba_settings.flags, 0u);
}

TEST_F(EnvTest, ErrorCorruptLanguageFileReportsEveryError) {
  for (auto [text, msg] : {std::pair{"SIL a\nSIL a\n", "Error -3102 in line 2"},
                           {"DATE DD.MM.YYY\n", "Error -3104 in line 1"},
                           {"\n\n\nTEXT [a-\n", "Error -3105 in line 4"}}) {
    inst.write("msg/geriso/bad.nls", text);
    TempInstall::setenv("TOLVNLS", "bad");
    int rc;
    EXPECT_EQ(load(rc),
              "Corrupt language file " + inst.home() + "/msg/geriso/bad.nls. " + msg + "\n");
    EXPECT_EQ(rc, -1);
  }
}

TEST_F(EnvTest, ErrorLoadAfterAFailedLoadLeaksNothing) {
  TempInstall::setenv("TOLVMEMCTRL", "1");
  TempInstall::setenv("TOLVDEBUG", "1");
  inst.write("msg/geriso/bad.nls", "YES j\nSIL a\nSIL a\n");
  TempInstall::setenv("TOLVNLS", "bad");
  int rc;
  load(rc);
  ASSERT_EQ(rc, -1);
  TempInstall::unsetenv("TOLVNLS");
  load_ok();
  ba_freeenv();
  EXPECT_NE(memreport().find("\nTotal:          0\n"), std::string::npos);
}

}  // namespace
