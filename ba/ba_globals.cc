// ba_globals: definitions of the process globals declared in ba/globals.h.
#include "ba/globals.h"

basettings ba_settings;
char ba_dbsbuf[BA_DBSBUFLEN];
dbsconf dbsconfig;
char ba_conferr[BA_CONFERRLEN];
int iserrno;
volatile sig_atomic_t term_req;
