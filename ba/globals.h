// globals.h: the process globals of the base library and the error reason of the buffer
// manager.
//
// Every program is one single-threaded process; these records are owned by the module named
// beside each and live for the life of the process. Tests reset them through the owning
// module's own calls (ba_readenv, ba_readconf, ba_msgfree, ...).
#pragma once

#include <csignal>

#include "ba/ba_env.h"
#include "ba/dbsconfig.h"

// Settings record, filled by ba_readenv (ba_env).
extern basettings ba_settings;
// The TOLVDBS value: 199 characters and the terminating zero (ba_env).
extern char ba_dbsbuf[BA_DBSBUFLEN];

// DBS configuration record, filled by ba_readconf (ba_conf).
extern dbsconf dbsconfig;
// Detail text of the last configuration failure (ba_conf), emptied at the start of every read.
extern char ba_conferr[BA_CONFERRLEN];

// Error code of the last failing buffer-manager operation (negative or positive codes of
// ba/error.h). Kept here, at the lowest layer, so that every layer can read it.
extern int iserrno;

// The process-wide stop flag: 0 at start, set to 1 only by the daemon's SIGTERM handler;
// the waits of action start and archive marking give up when it is set.
extern volatile sig_atomic_t term_req;
