// Tests of ba_conf: the line reader, the parsing of every line kind, the adjustments and
// bounds of ba_confcheck, overlap and same-file detection and the partition checks that pass.
// The error numbers are tested in ba_conferr_test.
// Every test writes its configuration into the etc/ of its own temporary installation and
// sets `home` and `dbsname` of the settings itself.
// Tests that chown partition files to the user "tolv" need root and that user; they skip
// otherwise.
#include "ba/ba_conftest.h"

namespace {

using namespace conftest;

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

}  // namespace
