// Tests of ba_keyw: the keyword table against the listing it was written from, its order, the
// lookups in both directions and the plain-name test ba_isident.
#include "ba/ba_keyw.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ba/ba_sys.h"

namespace {

// The keyword listing, one string per initial letter, as "KEYWORD token" items separated by
// ", ". Kept apart from the table in ba_keyw.cc so that a slip in either shows up.
const char *const kListing[] = {
    "ABS 260, ABSOLUTE 260, ADD 262, AFTER 263, ALL 264, ALTER 265, AND 266, ANSI 267,"
    " ANY 268, APPEND 269, AS 270, ASC 271, AVG 275",
    "BEFORE 276, BEGIN 277, BETWEEN 278, BLOB 280, BREAK 282, BY 283",
    "CALL 284, CASCADE 285, CASE 286, CHAR 287, CHARACTER 287, CHECK 289, CLOSE 291,"
    " COLUMN 294, COMMIT 295, COMMITTED 296, CONNECT 297, CONSTANT 298, CONSTRAINT 299,"
    " CONSTRAINTS 300, CONTINUE 301, COUNT 304, CREATE 305, CROSS 306, CROSS JOIN 545,"
    " CURR 307, CURRENT 307, CURSOR 308",
    "DATABASE 309, DATE 310, DAY 311, DEBUG 312, DEC 313, DECIMAL 313, DECLARE 314,"
    " DEFAULT 316, DEFERRABLE 317, DEFERRED 318, DELETE 319, DESC 320, DIRECT 321,"
    " DIRTY 322, DISCONNECT 323, DISTINCT 324, DIV 325, DMCONSTRAINT 326, DOCUMENT 327,"
    " DOMAIN 328, DOUBLE 329, DROP 330",
    "EACH 331, ELSE 332, ELSEIF 333, END 334, EXCEPTION 337, EXCLUSIVE 338,"
    " EXECUTE 339, EXISTS 340, EXIT 341, EXTENT 343, EXTRACT 344",
    "FETCH 345, FILE 346, FIRST 347, FLOAT 348, FOR 350, FOREACH 351, FOREIGN 352,"
    " FOUND 353, FREE 354, FROM 355, FULL 356, FULL JOIN 549, FUNCTION 357",
    "GLOBAL 359, GRANT 360, GROUP 361",
    "HANDLER 363, HAVING 364, HOLD 366, HOUR 367",
    "IF 368, IMMEDIATE 369, IN 370, INDEX 371, INNER 373, INNER JOIN 546, INOUT 374,"
    " INSERT 375, INSTEAD 376, INT 377, INTEGER 377, INTERVAL 378, INTO 379, IS 381,"
    " ISAMCODE 382, ISOLATION 383",
    "JOIN 384",
    "KEY 385",
    "LAST 386, LEAVE 388, LEFT 389, LEFT JOIN 547, LET 390, LEVEL 391, LIKE 392,"
    " LOAD 393, LOCAL 394, LOCK 395, LOG 396, LOGFILE 398, LOOP 399",
    "MATCHES 403, MAX 404, MIN 405, MINUTE 406, MOD 407, MODE 408, MODIFY 265,"
    " MODULE 409, MONEY 410, MONTH 411",
    "NATURAL 412, NATURAL FULL JOIN 554, NATURAL INNER JOIN 551,"
    " NATURAL LEFT JOIN 552, NATURAL RIGHT JOIN 553, NATURAL UNION JOIN 555, NEW 414,"
    " NEW_TABLE 416, NEXT 417, NO 418, NOT 419, NULL 421, NUMBER 423, NUMERIC 313,"
    " NUMERIC 313",
    "OF 425, OFF 426, OLD 427, OLD_TABLE 428, ON 429, ONLY 430, OPEN 431,"
    " OPTIMIZER 432, OPTION 433, OR 434, ORDER 435, OUTER 436",
    "PAGE 437, POSITION 438, PRECISION 440, PREPARE 441, PREV 443, PREVIOUS 443,"
    " PRIMARY 444, PRIOR 443, PRIVILEGES 445, PROCEDURE 446, PUBLIC 447",
    "READ 449, REAL 450, REAL 484, REDO 451, REFERENCES 452, REFERENCING 453, REL 454,"
    " RELATIVE 454, RELEASE 455, RENAME 456, REPARSE 457, REPEATABLE 458, RESIGNAL 459,"
    " RESOURCE 460, RESTRICT 461, RESUME 462, RETURN 463, RETURNS 464, REVOKE 465,"
    " RIGHT 466, RIGHT JOIN 548, ROLLBACK 467, ROW 469, ROWID 470",
    "SAVEPOINT 472, SCROLL 473, SECOND 474, SELECT 475, SERIAL 476, SET 477,"
    " SHARE 478, SIGNAL 479, SIZE 482, SKIP 483, SMALLFLOAT 484, SMALLINT 485,"
    " SOME 486, SQL 487, SQLCODE 488, SQLERRM 489, SQLERROR 490, SQLEXCEPTION 491,"
    " SQLOPCODE 492, SQLROWCNT 493, SQLSERIAL 494, SQLSTATE 495, SQLWARNING 496,"
    " STABILITY 498, STATEMENT 499, STATISTICS 500, STEP 501, STOP 502, SUM 505,"
    " SYNONYM 506, SYSTEM 507",
    "TABLE 509, TEMP 512, TEXT 513, THEN 514, TIME 515, TIMESTAMP 516, TO 517,"
    " TODAY 518, TRIGGER 519",
    "UNDO 521, UNION 522, UNION JOIN 550, UNIQUE 523, UNLOAD 524, UNLOCK 525,"
    " UPDATABLE 526, UPDATE 527, USAGE 529, USER 530, USING 531",
    "VALUE 532, VALUES 533, VARCHAR 534, VIEW 535",
    "WAIT 536, WHEN 538, WHERE 539, WHILE 540, WITH 541, WORK 542, WRITE 543",
    "YEAR 544",
};

std::vector<std::pair<std::string, int>> expected_table() {
  std::vector<std::pair<std::string, int>> entries{{" ", 0}};
  for (const char *group : kListing) {
    std::string rest = group;
    while (!rest.empty()) {
      size_t comma = rest.find(", ");
      std::string item = rest.substr(0, comma);
      rest = comma == std::string::npos ? "" : rest.substr(comma + 2);
      size_t blank = item.rfind(' ');
      entries.emplace_back(item.substr(0, blank), std::stoi(item.substr(blank + 1)));
    }
  }
  return entries;
}

// ---- The table ---------------------------------------------------------------------------

TEST(KeywordTable, MatchesTheListingEntryByEntry) {
  auto expected = expected_table();
  ASSERT_EQ(expected.size(), static_cast<size_t>(KW_COUNT));
  for (int i = 0; i < KW_COUNT; i++) {
    EXPECT_STREQ(ba_keytab[i].text, expected[i].first.c_str()) << "entry " << i;
    EXPECT_EQ(ba_keytab[i].token, expected[i].second) << "entry " << i;
  }
}

TEST(KeywordTable, SortedByByteValueWithOnlyTheKnownDuplicates) {
  std::vector<std::string> duplicates;
  for (int i = 0; i + 1 < KW_COUNT; i++) {
    int cmp = strcmp(ba_keytab[i].text, ba_keytab[i + 1].text);
    EXPECT_LE(cmp, 0) << ba_keytab[i].text << " before " << ba_keytab[i + 1].text;
    if (cmp == 0) duplicates.emplace_back(ba_keytab[i].text);
  }
  EXPECT_EQ(duplicates, (std::vector<std::string>{"NUMERIC", "REAL"}));
}

TEST(KeywordTable, MultiWordKeywordsHaveOneBlank) {
  for (const ba_keyent &e : ba_keytab) {
    EXPECT_EQ(strstr(e.text, "  "), nullptr) << e.text;
    EXPECT_NE(e.text[0], '\0');
  }
}

// ---- Word to token -----------------------------------------------------------------------

TEST(Keyword, EveryEntryFindsItsToken) {
  for (int i = 0; i < KW_COUNT; i++) {
    const ba_keyent &e = ba_keytab[i];
    // The first "REAL" (450) is found as its twin with 484; only ba_keytext reaches 450.
    int want = strcmp(e.text, "REAL") == 0 ? 484 : e.token;
    EXPECT_EQ(ba_keyword(e.text), want) << e.text;
  }
}

TEST(Keyword, RealFindsItsSecondEntry) {
  EXPECT_EQ(ba_keyword("REAL"), 484);
  EXPECT_EQ(ba_keyword("real"), 484);
  EXPECT_EQ(ba_keyword("NUMERIC"), 313);
}

TEST(Keyword, CaseDoesNotMatter) {
  EXPECT_EQ(ba_keyword("select"), 475);
  EXPECT_EQ(ba_keyword("Select"), 475);
  EXPECT_EQ(ba_keyword("SELECT"), 475);
  EXPECT_EQ(ba_keyword("cross join"), 545);
}

TEST(Keyword, UnknownWordsGiveNoKeyword) {
  EXPECT_EQ(ba_keyword("SELECTX"), KW_NOKEYWORD);
  EXPECT_EQ(ba_keyword("FOO"), KW_NOKEYWORD);
  EXPECT_EQ(ba_keyword("SELEC"), KW_NOKEYWORD);
  EXPECT_EQ(ba_keyword("XYZ"), KW_NOKEYWORD);   // no keyword starts with X
  EXPECT_EQ(ba_keyword("ZONE"), KW_NOKEYWORD);  // nor with Z
  EXPECT_EQ(ba_keyword("_A"), KW_NOKEYWORD);
}

TEST(Keyword, MultiWordKeywords) {
  EXPECT_EQ(ba_keyword("CROSS JOIN"), 545);
  EXPECT_EQ(ba_keyword("CROSS"), 306);
  EXPECT_EQ(ba_keyword("NATURAL LEFT JOIN"), 552);
  EXPECT_EQ(ba_keyword("CROSS  JOIN"), KW_NOKEYWORD);
  EXPECT_EQ(ba_keyword("CROSS JOIN "), KW_NOKEYWORD);
}

TEST(Keyword, FirstAndLastEntries) {
  EXPECT_EQ(ba_keyword("YEAR"), 544);
  EXPECT_EQ(ba_keyword("WRITE"), 543);
  EXPECT_EQ(ba_keyword("ABS"), 260);
  EXPECT_EQ(ba_keyword(" "), 0);
}

TEST(Keyword, SynonymsShareTheirToken) {
  EXPECT_EQ(ba_keyword("MODIFY"), 265);
  EXPECT_EQ(ba_keyword("ALTER"), 265);
  EXPECT_EQ(ba_keyword("PRIOR"), 443);
  EXPECT_EQ(ba_keyword("SMALLFLOAT"), 484);
}

// ---- Token to text -----------------------------------------------------------------------

TEST(Keytext, FirstEntryInTableOrder) {
  EXPECT_STREQ(ba_keytext(265), "ALTER");
  EXPECT_STREQ(ba_keytext(313), "DEC");
  EXPECT_STREQ(ba_keytext(443), "PREV");
  EXPECT_STREQ(ba_keytext(484), "REAL");
  EXPECT_STREQ(ba_keytext(450), "REAL");
  EXPECT_STREQ(ba_keytext(0), " ");
  EXPECT_STREQ(ba_keytext(545), "CROSS JOIN");
  EXPECT_STREQ(ba_keytext(544), "YEAR");
}

TEST(Keytext, EveryTokenGivesItsFirstEntry) {
  for (int i = 0; i < KW_COUNT; i++) {
    int first = 0;
    while (ba_keytab[first].token != ba_keytab[i].token) first++;
    EXPECT_STREQ(ba_keytext(ba_keytab[i].token), ba_keytab[first].text) << ba_keytab[i].text;
  }
}

TEST(Keytext, UnknownTokens) {
  EXPECT_STREQ(ba_keytext(KW_NOKEYWORD), "UNKNOWN");
  EXPECT_STREQ(ba_keytext(1), "UNKNOWN");
  EXPECT_STREQ(ba_keytext(600), "UNKNOWN");
  EXPECT_STREQ(ba_keytext(-1), "UNKNOWN");
}

// ---- Plain names -------------------------------------------------------------------------

TEST(Isident, UpperCaseNamesThatAreNoKeyword) {
  EXPECT_EQ(ba_isident("NAME_1"), 1);
  EXPECT_EQ(ba_isident("A"), 1);
  EXPECT_EQ(ba_isident("SELECTX"), 1);
  EXPECT_EQ(ba_isident("A_9_"), 1);
}

TEST(Isident, KeywordsAreNoPlainNames) {
  EXPECT_EQ(ba_isident("SELECT"), 0);
  EXPECT_EQ(ba_isident("YEAR"), 0);
  EXPECT_EQ(ba_isident("REAL"), 0);
}

TEST(Isident, WrongCharactersAreRejected) {
  EXPECT_EQ(ba_isident(""), 0);
  EXPECT_EQ(ba_isident("name"), 0);
  EXPECT_EQ(ba_isident("Name"), 0);
  EXPECT_EQ(ba_isident("1ABC"), 0);
  EXPECT_EQ(ba_isident("_ABC"), 0);
  EXPECT_EQ(ba_isident("A B"), 0);
  EXPECT_EQ(ba_isident("A-B"), 0);
  EXPECT_EQ(ba_isident("CROSS JOIN"), 0);
  EXPECT_EQ(ba_isident("\xC4"), 0);
  EXPECT_EQ(ba_isident("A\xC4"), 0);
}

// ---- Error paths: odd and over-long words ------------------------------------------------

TEST(KeywordErrors, EmptyWordIsNoKeyword) { EXPECT_EQ(ba_keyword(""), KW_NOKEYWORD); }

TEST(KeywordErrors, HighFirstByteIsNoKeyword) {
  EXPECT_EQ(ba_keyword("\x80SELECT"), KW_NOKEYWORD);
  EXPECT_EQ(ba_keyword("\xC4"), KW_NOKEYWORD);
  EXPECT_EQ(ba_keyword("\xFF"), KW_NOKEYWORD);  // the last byte value has no successor
}

TEST(KeywordErrors, WordsBeyondTheBufferAreNoKeyword) {
  std::string fits(KW_WORDMAX, 'A');
  EXPECT_EQ(ba_keyword(fits.c_str()), KW_NOKEYWORD);
  std::string over(KW_WORDMAX + 1, 'A');
  EXPECT_EQ(ba_keyword(over.c_str()), KW_NOKEYWORD);
  std::string padded = "SELECT" + std::string(500, ' ');
  EXPECT_EQ(ba_keyword(padded.c_str()), KW_NOKEYWORD);
  EXPECT_EQ(ba_isident(over.c_str()), 1);  // a long plain name stays a plain name
}

TEST(KeywordErrors, WordIsNotChanged) {
  char word[] = "select";
  EXPECT_EQ(ba_keyword(word), 475);
  EXPECT_STREQ(word, "select");
}

}  // namespace
