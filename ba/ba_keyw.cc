// ba_keyw: the SQL keyword table: word to token, token to text, and the plain-name test.
//
// Principal entry points: ba_keyword, ba_keytext, ba_isident.
//
// Invariants:
//  (1) ba_keytab is sorted by byte value of the text (checked at compile time below); equal
//      texts stand next to each other, and the binary search of ba_keyword may land on either
//      of them ("REAL" finds its second entry, 484).
//  (2) The first-character index is built once per process, on the first call of ba_keyword
//      or ba_keytext, and never changes afterwards.
//
// See also: ba_conv (ba_strupper, ba_quote).
#include "ba/ba_keyw.h"

#include <cstring>

#include "ba/ba_conv.h"
#include "ba/ba_sys.h"

constexpr ba_keyent ba_keytab[KW_COUNT] = {
    {" ", 0},
    {"ABS", 260}, {"ABSOLUTE", 260}, {"ADD", 262}, {"AFTER", 263}, {"ALL", 264}, {"ALTER", 265},
    {"AND", 266}, {"ANSI", 267}, {"ANY", 268}, {"APPEND", 269}, {"AS", 270}, {"ASC", 271},
    {"AVG", 275},
    {"BEFORE", 276}, {"BEGIN", 277}, {"BETWEEN", 278}, {"BLOB", 280}, {"BREAK", 282}, {"BY", 283},
    {"CALL", 284}, {"CASCADE", 285}, {"CASE", 286}, {"CHAR", 287}, {"CHARACTER", 287},
    {"CHECK", 289}, {"CLOSE", 291}, {"COLUMN", 294}, {"COMMIT", 295}, {"COMMITTED", 296},
    {"CONNECT", 297}, {"CONSTANT", 298}, {"CONSTRAINT", 299}, {"CONSTRAINTS", 300},
    {"CONTINUE", 301}, {"COUNT", 304}, {"CREATE", 305}, {"CROSS", 306}, {"CROSS JOIN", 545},
    {"CURR", 307}, {"CURRENT", 307}, {"CURSOR", 308},
    {"DATABASE", 309}, {"DATE", 310}, {"DAY", 311}, {"DEBUG", 312}, {"DEC", 313}, {"DECIMAL", 313},
    {"DECLARE", 314}, {"DEFAULT", 316}, {"DEFERRABLE", 317}, {"DEFERRED", 318}, {"DELETE", 319},
    {"DESC", 320}, {"DIRECT", 321}, {"DIRTY", 322}, {"DISCONNECT", 323}, {"DISTINCT", 324},
    {"DIV", 325}, {"DMCONSTRAINT", 326}, {"DOCUMENT", 327}, {"DOMAIN", 328}, {"DOUBLE", 329},
    {"DROP", 330},
    {"EACH", 331}, {"ELSE", 332}, {"ELSEIF", 333}, {"END", 334}, {"EXCEPTION", 337},
    {"EXCLUSIVE", 338}, {"EXECUTE", 339}, {"EXISTS", 340}, {"EXIT", 341}, {"EXTENT", 343},
    {"EXTRACT", 344},
    {"FETCH", 345}, {"FILE", 346}, {"FIRST", 347}, {"FLOAT", 348}, {"FOR", 350}, {"FOREACH", 351},
    {"FOREIGN", 352}, {"FOUND", 353}, {"FREE", 354}, {"FROM", 355}, {"FULL", 356},
    {"FULL JOIN", 549}, {"FUNCTION", 357},
    {"GLOBAL", 359}, {"GRANT", 360}, {"GROUP", 361},
    {"HANDLER", 363}, {"HAVING", 364}, {"HOLD", 366}, {"HOUR", 367},
    {"IF", 368}, {"IMMEDIATE", 369}, {"IN", 370}, {"INDEX", 371}, {"INNER", 373},
    {"INNER JOIN", 546}, {"INOUT", 374}, {"INSERT", 375}, {"INSTEAD", 376}, {"INT", 377},
    {"INTEGER", 377}, {"INTERVAL", 378}, {"INTO", 379}, {"IS", 381}, {"ISAMCODE", 382},
    {"ISOLATION", 383},
    {"JOIN", 384},
    {"KEY", 385},
    {"LAST", 386}, {"LEAVE", 388}, {"LEFT", 389}, {"LEFT JOIN", 547}, {"LET", 390}, {"LEVEL", 391},
    {"LIKE", 392}, {"LOAD", 393}, {"LOCAL", 394}, {"LOCK", 395}, {"LOG", 396}, {"LOGFILE", 398},
    {"LOOP", 399},
    {"MATCHES", 403}, {"MAX", 404}, {"MIN", 405}, {"MINUTE", 406}, {"MOD", 407}, {"MODE", 408},
    {"MODIFY", 265}, {"MODULE", 409}, {"MONEY", 410}, {"MONTH", 411},
    {"NATURAL", 412}, {"NATURAL FULL JOIN", 554}, {"NATURAL INNER JOIN", 551},
    {"NATURAL LEFT JOIN", 552}, {"NATURAL RIGHT JOIN", 553}, {"NATURAL UNION JOIN", 555},
    {"NEW", 414}, {"NEW_TABLE", 416}, {"NEXT", 417}, {"NO", 418}, {"NOT", 419}, {"NULL", 421},
    {"NUMBER", 423}, {"NUMERIC", 313}, {"NUMERIC", 313},
    {"OF", 425}, {"OFF", 426}, {"OLD", 427}, {"OLD_TABLE", 428}, {"ON", 429}, {"ONLY", 430},
    {"OPEN", 431}, {"OPTIMIZER", 432}, {"OPTION", 433}, {"OR", 434}, {"ORDER", 435},
    {"OUTER", 436},
    {"PAGE", 437}, {"POSITION", 438}, {"PRECISION", 440}, {"PREPARE", 441}, {"PREV", 443},
    {"PREVIOUS", 443}, {"PRIMARY", 444}, {"PRIOR", 443}, {"PRIVILEGES", 445}, {"PROCEDURE", 446},
    {"PUBLIC", 447},
    {"READ", 449}, {"REAL", 450}, {"REAL", 484}, {"REDO", 451}, {"REFERENCES", 452},
    {"REFERENCING", 453}, {"REL", 454}, {"RELATIVE", 454}, {"RELEASE", 455}, {"RENAME", 456},
    {"REPARSE", 457}, {"REPEATABLE", 458}, {"RESIGNAL", 459}, {"RESOURCE", 460}, {"RESTRICT", 461},
    {"RESUME", 462}, {"RETURN", 463}, {"RETURNS", 464}, {"REVOKE", 465}, {"RIGHT", 466},
    {"RIGHT JOIN", 548}, {"ROLLBACK", 467}, {"ROW", 469}, {"ROWID", 470},
    {"SAVEPOINT", 472}, {"SCROLL", 473}, {"SECOND", 474}, {"SELECT", 475}, {"SERIAL", 476},
    {"SET", 477}, {"SHARE", 478}, {"SIGNAL", 479}, {"SIZE", 482}, {"SKIP", 483},
    {"SMALLFLOAT", 484}, {"SMALLINT", 485}, {"SOME", 486}, {"SQL", 487}, {"SQLCODE", 488},
    {"SQLERRM", 489}, {"SQLERROR", 490}, {"SQLEXCEPTION", 491}, {"SQLOPCODE", 492},
    {"SQLROWCNT", 493}, {"SQLSERIAL", 494}, {"SQLSTATE", 495}, {"SQLWARNING", 496},
    {"STABILITY", 498}, {"STATEMENT", 499}, {"STATISTICS", 500}, {"STEP", 501}, {"STOP", 502},
    {"SUM", 505}, {"SYNONYM", 506}, {"SYSTEM", 507},
    {"TABLE", 509}, {"TEMP", 512}, {"TEXT", 513}, {"THEN", 514}, {"TIME", 515}, {"TIMESTAMP", 516},
    {"TO", 517}, {"TODAY", 518}, {"TRIGGER", 519},
    {"UNDO", 521}, {"UNION", 522}, {"UNION JOIN", 550}, {"UNIQUE", 523}, {"UNLOAD", 524},
    {"UNLOCK", 525}, {"UPDATABLE", 526}, {"UPDATE", 527}, {"USAGE", 529}, {"USER", 530},
    {"USING", 531},
    {"VALUE", 532}, {"VALUES", 533}, {"VARCHAR", 534}, {"VIEW", 535},
    {"WAIT", 536}, {"WHEN", 538}, {"WHERE", 539}, {"WHILE", 540}, {"WITH", 541}, {"WORK", 542},
    {"WRITE", 543},
    {"YEAR", 544},
};

namespace {

// Byte-wise comparison as the C library's strcmp, usable at compile time.
constexpr int bytecmp(const char *a, const char *b) {
  for (; *a != '\0' && *a == *b; a++, b++) {
  }
  return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}

constexpr bool table_is_sorted() {
  for (int i = 0; i + 1 < KW_COUNT; i++)
    if (ba_keytab[i].text == nullptr || bytecmp(ba_keytab[i].text, ba_keytab[i + 1].text) > 0)
      return false;
  return ba_keytab[KW_COUNT - 1].text != nullptr;
}
static_assert(table_is_sorted(), "keyword table must be complete and sorted by byte value");

// Width of the search range for a first character whose successor begins no keyword.
constexpr int KW_SPAN = 20;
constexpr int KW_LAST = KW_COUNT - 1;

// Index of the first entry beginning with each byte value, -1 when none does.
int first_entry[256];
bool index_built = false;

void build_index() {
  if (index_built) return;
  for (int &e : first_entry) e = -1;
  for (int i = KW_LAST; i >= 0; i--)
    first_entry[static_cast<unsigned char>(ba_keytab[i].text[0])] = i;
  index_built = true;
}

// The first entry for byte value c, -1 when none begins with it (or c is past the last byte).
int first_for(int c) { return c < 256 ? first_entry[c] : -1; }

// Binary search of word within the entries start..end, both included.
int search(const char *word, int start, int end) {
  while (start <= end) {
    int mid = start + (end - start) / 2;
    int cmp = strcmp(ba_keytab[mid].text, word);
    if (cmp == 0) return ba_keytab[mid].token;
    if (cmp < 0)
      start = mid + 1;
    else
      end = mid - 1;
  }
  return KW_NOKEYWORD;
}

}  // namespace

int ba_keyword(const char *word) {
  build_index();
  // No keyword comes near KW_WORDMAX characters: a longer word is no keyword, and it is never
  // copied, so the local buffer cannot be overrun.
  char upper[KW_WORDMAX + 1];
  size_t len = strnlen(word, KW_WORDMAX + 1);
  if (len > KW_WORDMAX) return KW_NOKEYWORD;
  memcpy(upper, word, len + 1);
  ba_strupper(upper);

  int c = static_cast<unsigned char>(upper[0]);
  int start = first_for(c);
  if (start < 0) return search(upper, 0, KW_LAST);
  int next = first_for(c + 1);
  // The end is kept within the table, whatever entry the successor's index names.
  int end = next >= 0 ? next + 1 : start + KW_SPAN;
  return search(upper, start, end < KW_LAST ? end : KW_LAST);
}

const char *ba_keytext(int token) {
  build_index();
  for (const ba_keyent &e : ba_keytab)
    if (e.token == token) return e.text;
  return "UNKNOWN";
}

// Upper-case letters and digits are the ASCII ones, whatever locale the process has set, so
// that a name judged plain here reads back the same everywhere.
int ba_isident(const char *s) {
  if (*s < 'A' || *s > 'Z') return 0;
  for (const char *p = s; *p != '\0'; p++)
    if (!(*p >= 'A' && *p <= 'Z') && !(*p >= '0' && *p <= '9') && *p != '_') return 0;
  return ba_keyword(s) == KW_NOKEYWORD ? 1 : 0;
}
