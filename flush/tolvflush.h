// tolvflush.h: the page-flush daemon's entry points besides main.
#pragma once

// The version banner of -V: "TOLV-SQL tolvflush Version %s (Port %d)\n", then a notice line.
constexpr char TF_VERSION[] = "04.04.03";
constexpr int TF_PORT = 1087;
// The name under which the daemon registers in the user table.
constexpr char TF_USERNAME[] = "TOLVFLUSH";
// bm_myuindex before anything is attached or registered.
constexpr int TF_NOTATTACHED = -20000000;
// The installation file checked at start-up: owner, group and mode 04750.
constexpr char TF_PROGFILE[] = "bin/tolvflush";
constexpr int TF_PROGMODE = 04750;

// One flush pass over every buffer list of the attached DBS, with the DBS's flush percentage;
// both header fields are read afresh for every list.
void flushall();
// The SIGTERM handler: asks the main loop to stop.
void on_term(int sig);
