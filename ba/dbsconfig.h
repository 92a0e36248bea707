// dbsconfig.h: the record of a DBS configuration file, <home>/etc/<dbs>.cfg.
//
// One process-global instance, `dbsconfig` (ba/globals.h), filled by ba_readconf (ba_conf.h).
// The fields keep the order of the file's historical record; the dbspace and partition
// vectors grow by one zero-filled element per line through ba_rszvek.
#pragma once

// A partition entry of an F or A line: a region of a file or device.
struct cfgpart {
  char flag;       // always 0
  char path[51];   // absolute path, at most 50 characters
  int offset;      // kilobytes
  int size;        // kilobytes; a whole number of 2048-byte pages, at least 300
};

// A dbspace entry of an F line and its A lines.
struct cfgspace {
  char name[12];   // upper-cased, at most 10 characters, terminator, spare
  int nparts;
  cfgpart *parts;  // growable vector
};

constexpr int CF_NAMEMAX = 10;     // longest dbspace name
constexpr int CF_PATHMAX = 50;     // longest partition path
constexpr int CF_MAXSPACES = 127;  // F lines accepted; the 128th fails with -3001
constexpr int CF_LINEMAX = 100;    // characters stored of a configuration line
constexpr int CF_FILEPATHMAX = 103;  // longest path of the configuration file
constexpr int BA_CONFERRLEN = 300;   // size of ba_conferr

struct dbsconf {
  int dbskey;            // D: IPC key of the segment and semaphores, 1..10000
  int ndbspace;          // number of F lines
  cfgspace *dbspaces;    // F, A
  int p_num;             // P
  int l_num1, l_num2;    // L
  int logspace;          // L: index of the named dbspace
  char z_text[116];      // Z
  char b_path[52];       // B
  int b_num1, b_num2;
  char t_path[52];       // T
  int t_num1, t_num2;
  int s_num1, s_num2, s_num4, s_num5, s_num3;  // S, stored in this order
  unsigned shmaddr;      // S fifth value: attach address of the segment (below 4 GiB)
  int s_num6;
  int c_num4, c_num5;    // C
  int o_num1, o_num2, o_num3, o_num4;  // O; o_num4 in bytes once the file is read
  int c_num2, c_num1, c_num3;          // C
  int r_num2, r_num1, r_num3, r_num4;  // R
};
