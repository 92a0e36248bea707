// Tests of ba_conf's error paths (suites ConfErrors and ConfOwnerErrors): every error number of
// the configuration reader with a real file and its exact detail in ba_conferr. Tests that chown
// partition files to the user "tolv" need root and that user; they skip otherwise.
#include "ba/ba_conftest.h"

namespace {

using namespace conftest;

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
