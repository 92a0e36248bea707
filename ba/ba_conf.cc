// ba_conf: the DBS configuration file reader.
//
// Principal entry points: ba_readconf, ba_confcheck, ba_confpart, ba_confolap, ba_samefile,
// and ba_getline, the line reader shared with the language-file parser (ba_nls).
//
// See also: dbsconfig.h (the record), ba_msg (texts of the error numbers).
#include "ba/ba_conf.h"

#include "ba/globals.h"

int ba_getline(char *buf, FILE *file, int max) {
  int n = 0;
  int c;
  while ((c = getc(file)) != EOF && c != '\n') {
    if (n < max) buf[n++] = static_cast<char>(c);
  }
  buf[n] = '\0';
  return c == '\n' ? 0 : -1;
}
