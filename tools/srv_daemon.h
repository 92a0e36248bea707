// srv_daemon.h: `tolvdb daemon start|stop|status`: the flush daemon of a DBS run the way
// pg_ctl runs a PostgreSQL server.
//
//   start   runs <home>/bin/tolvflush <dbs> with its standard output and error on a pipe and
//           reads them until the daemon lets go of them (it does once registered) or ends
//           (a start-up failure); then it is registered, or it failed with what it printed.
//           Refused while a living daemon is registered.
//   stop    sends SIGTERM and waits until the daemon's slot is free (the daemon finishes its
//           pass first); a daemon that died meanwhile leaves a slot that the reap releases.
//   status  the living daemon's pid, its status record (passes, pages written, write
//           failures, last pass) and the DBS's flush share; exit 0 running, 3 not running
//           (the convention of service tools; the last record is shown as well).
// Each waits with a bound (srv_daemonwait) and tells what it did on standard output; failures
// go to standard error with the daemon's own message where there is one.
//
// See also: flush/ad_status.h (the status record), bm/bm_reap.h (dead slots), srv_watch.h (the
// read-only view a member of group tolv has).
#pragma once

#include <string>

#include "bm/shmstruct.h"
#include "flush/ad_status.h"

// Exit statuses of the daemon commands.
constexpr int SRV_RUNNING = 0;
constexpr int SRV_FAILED = 1;
constexpr int SRV_NOTRUNNING = 3;

// Bounds of the waits of start and stop, in seconds.
struct srv_daemonwait {
  int start = 30;
  int stop = 60;
};

// The slot of a living flush daemon registered in h (a TOLVFLUSH slot whose process exists),
// or null. h may be null (no DBS): null.
const userslot *srv_livedaemon(const dbshead *h);

// Starts the daemon of dbsname from home; h is the DBS's header (read-only is enough) or null
// when it could not be attached; reattach() attaches it again after the start (the DBS may
// have appeared meanwhile). SRV_RUNNING with *pid, or SRV_FAILED with the reason in *why and
// the daemon's own output in *said.
int srv_daemonstart(const dbshead *h, const dbshead *(*reattach)(), const char *home,
                    const char *dbsname, const srv_daemonwait &wait, int *pid, std::string *why,
                    std::string *said);

// Stops the living daemon of h. SRV_RUNNING (stopped; *pid the daemon's), SRV_NOTRUNNING (no
// living daemon), or SRV_FAILED with *why.
int srv_daemonstop(const dbshead *h, const srv_daemonwait &wait, int *pid, std::string *why);

// Writes the status report of the daemon of h (null: the DBS is not running) and of its
// status record at recordpath; SRV_RUNNING or SRV_NOTRUNNING.
int srv_daemonstatus(FILE *out, const dbshead *h, const char *dbsname, const char *recordpath);
