// bm_user.h: user slots: registration in the DBS user table and release, and the small
// accessors of the own slot.
//
// Every process that works on a DBS registers in one of the `nusers` slots of the segment's
// user table; the slot identifies it to the others, gives it its user index (its System V
// semaphore number) and carries its wait record. Calling order: bm_init (bm_init.h), bm_usrin,
// the process's work, bm_usrout.
//
// Locks: usersem guards every search and change of the user table by bm_usrin, bm_usrout and
// bm_idinuse; sesssem guards sessctr (taken inside usersem by bm_usrin). A process changes
// only its own slot's fields.
//
// See also: shmstruct.h (userslot), bm_sema.h (usersem, waits), bm_mem.h (local image blocks).
#pragma once

#include "bm/shmstruct.h"

// The name whose first character may take the last slot: only programs whose names begin with
// it (the flush daemon) register in slot nusers - 1.
constexpr char US_LASTSLOTNAME[] = "TOLVFLUSH";
// Registration numbers run up to this and then start again at US_SESSRESTART.
constexpr int32_t US_SESSMAX = 0x7ffffffc;
constexpr int32_t US_SESSRESTART = 3;
// Value of beginlog at registration: no open transaction.
constexpr int32_t US_NOBEGINLOG = 0x7fffffff;

// Registers the process in the lowest free slot of header's user table (progname 14, dbopt 14,
// client 14, host 15 characters at most; longer arguments are cut). Returns 0, or -1 with
// iserrno -329 when no slot is free that the program may take (the table is then unchanged).
// An empty progname may take no slot (a slot with an empty name reads as free and would be
// handed out again): -1 with -329, without touching the table. The login name and terminal
// are looked up before usersem is taken.
int bm_usrin(dbshead *header, const char *progname, const char *dbopt, const char *client,
             const char *host);
// Releases the lowest slot that carries pid: gives its local image blocks back to the shared
// allocator, clears all of it. Returns 0, or -1 with iserrno -388 when no slot carries pid.
int bm_usrout(int pid);
// The own registration number, or -1 when not registered.
int bm_sessno();
// 1 when another registered process has clientid -n, else 0. REQUIRES: registered.
int bm_idinuse(int n);
// Stores value in the own slot's uinfo. REQUIRES: registered.
void bm_setuinfo(int value);
// 1 clears US_OPT in the own slot, any other value sets it. REQUIRES: registered.
void bm_setuopt(int value);
// When registered: at most 14 characters of name into curname, the values into curval1/2.
void bm_setcur(const char *name, int value1, int value2);
// Index of the first dbspace whose name equals name exactly, or -1.
int bm_findspace(const char *name);
