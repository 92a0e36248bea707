// srv_log.h: the stand-in's work on the logical log and the checkpoint, as a server does it:
// appending records, reading them back from the end, listing the log files, releasing a file
// as a backup does, and running one checkpoint.
//
// Contracts: the caller has attached the DBS (bm_init, which binds the log) and registered
// (bm_usrin), so that its waits sleep and show in the user table. Results are srv_result codes;
// why receives the reason of a failure.
//
// Output lines:
//   log read:  "file 1 logid 2 offset 4024 length 100 user 3 type 1"
//   log files: "file 0 state 0x02 current logid 1 bytes 6036"
//              (state names: current, full, free, auto-free, exempt, joined by "+")
//
// See also: bm/bm_logrec.h (the log), flush/ad_ckpt.h (the checkpoint), tolvdb.cc (commands).
#pragma once

#include <cstdio>
#include <string>

#include "tools/srv_create.h"

// Appends count records of len bytes and type `type`, each under the caller's session number
// as user id, forced when the type asks for it (9 while commit_nosync is 0). Prints the
// position of each record to out. SRV_OK, or SRV_IO with the log's reason.
int srv_logwrite(FILE *out, int type, int len, int count, std::string *why);
// Prints the last n records of the log, newest first. SRV_OK, or SRV_IO when a record cannot
// be read (the records before it are printed).
int srv_logread(FILE *out, int n, std::string *why);
// Prints every log file's state, log id and byte count.
void srv_logfiles(FILE *out);
// Releases log file f as a backup does: clears its full bit and sets its free bit. Takes no
// semaphore: a writer may be waiting for exactly this while it holds logsem. SRV_OK, or
// SRV_BADGEOMETRY when f names no file or the file is not full.
int srv_logrelease(int f, std::string *why);
// Runs one checkpoint and prints the lines it added to the DBS message log.
void srv_checkpoint(FILE *out);
