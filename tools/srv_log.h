// srv_log.h: the stand-in's work on the logical log and the checkpoint, as a server does it:
// appending records, reading them back from the end, listing the log files, releasing a file
// as a backup does, and running one checkpoint.
//
// The stand-in also carries the server's duty of starting checkpoints (srv_checkpointifdue):
// the image writer looks after each write, tolvdb touch before each action when no image
// writer runs.
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
#include <vector>

#include "bm/shmstruct.h"
#include "tools/srv_create.h"

// A record of len bytes (at least LR_MINLEN) as a server builds it: length, user, type, a body
// of letters, the trailer.
std::vector<unsigned char> srv_logrecord(int len, int user, int type);

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
// Runs one checkpoint and prints the lines it added to the DBS message log. Waits while another
// process of the stand-in runs one.
void srv_checkpoint(FILE *out);

// The server's duty towards the checkpoint, which the stand-in takes on: one is owed when a log
// switch set ckpt_request, or when less than a quarter of the bitab entries or of the
// before-image area is left (a full bitab refuses before images, -362, and an area that cannot
// take the buffer stops every update until a checkpoint starts a new interval).
bool srv_checkpointdue(const dbshead *h);
// Runs the checkpoint that is due, unless another process of the stand-in runs one already
// (checkpoints exclude each other through a lock on log/<dbs>.ckpt, which dies with its
// holder), then clears ckpt_request as the server does. Called outside any action (the
// checkpoint waits for running actions). True when a checkpoint ran.
bool srv_checkpointifdue();
