// error.h: the system-wide error numbers as named constants.
//
// One numbering serves every program of the system: -316 means memory ran out everywhere.
// Negative numbers are errors, the few positive ones are buffer-manager conditions that are
// reported as positive codes. Their texts live in the message catalogs, chosen by number
// range (see ba_msg.h); every number here has a text in share/msg/<lang>/.
#pragma once

enum ba_errno : int {
  // Memory.
  ER_NOMEM = -316,          // no memory for a vector, a copy or a process block

  // Page I/O on devices.
  ER_BADPAGEIO = -354,      // page number outside the dbspace table, the dbspace or its partitions
  ER_PROBESHORT = -410,     // short read of the last page of a partition without an errno

  // Page requests.
  ER_BADPAGE = -353,        // bad page number in a request
  ER_NOACTION = -8312,      // update request outside an update action
  ER_NOTUSABLE = 8771,      // page stayed in BF_READING for more than 3000 naps
  ER_NOTSAVED = 8772,       // another user kept the page in transit for more than 20000 naps
  ER_FIXCNT = -323,         // fix count not positive
  ER_NOBUFFER = -333,       // no replaceable buffer after 61 one-second sleeps
  ER_BADINDEX = -335,       // sorted list index inconsistent
  ER_PAGEMISMATCH = -317,   // page read carries another page number

  // Shared segment attach.
  ER_ATTACHADDR = -376,     // an address was requested and the segment was attached elsewhere
  ER_SHMADDR = -343,        // the attach address differs from dbshead.shmaddr
  ER_MAGIC = -355,          // dbshead.magic is wrong
  ER_SHMKEY = -356,         // dbshead.shmkey differs from the key used

  // User slots.
  ER_NOSLOT = -329,         // no free user slot that the program may take
  ER_NOUSER = -388,         // no user slot carries the given process id

  // Shared allocator, extents, images, archive, actions.
  ER_NOSHMEM = -397,        // the shared arena cannot satisfy the request
  ER_NOEXTENT = -324,       // no run of free pages in the bitmap chain
  ER_BITABFULL = -362,      // no free entry in bitab
  ER_STOPREQ = -406,        // the stop flag was set while waiting
  ER_ACTIVE = 2281,         // an action of this process is already active
  ER_LONGTX = -337,         // the user's transaction is flagged as long

  // Logical log.
  ER_LOGLEN0 = -310,        // record length 0
  ER_LOGTOOLONG = -371,     // record longer than a log file's capacity
  ER_LOGREC = -332,         // stored record length or trailer below 1, or log id not in the ring
  ER_LOGPAGE0 = -346,       // split trailer before page 0
  ER_LOGOFFSET = -350,      // backward offset below 0

  // Table handles.
  ER_NOTABDESC = -304,      // every table descriptor is in use by open tables
  ER_EXCLOPEN = -306,       // exclusive open requested while the table is open
  ER_TABLOCKED = -313,      // the table is open exclusively
  ER_MAPINUSE = -325,       // table map entry to assign is already in use
  ER_NOROOT = -365,         // not a table root page
  ER_TABID = -366,          // identity mismatch; table map entry missing, free or reserved
  ER_TABRESERVED = -367,    // reserved table map entry looked up with mode 0x10
  ER_TABREMOVE = -407,      // old table cannot be removed from the chosen descriptor

  // Value dump: packed decimals.
  ER_PACKINVALID = -564,    // the decimal to pack is not valid
  ER_PACKOVERFLOW = -566,   // the integer part does not fit into p - s digits

  // DBS configuration file.
  ER_CF_DBSKEY = -3000,     // dbskey outside 1..10000
  ER_CF_NODBSPACE = -3001,  // no dbspace, or a 128th F line
  ER_CF_PNUM = -3002,       // p_num below 200
  ER_CF_LNUM1 = -3003,      // l_num1 outside 3..64
  ER_CF_LNUM2 = -3004,      // l_num2 below 200
  ER_CF_LOGSPACE = -3005,   // the log is not in the first dbspace
  ER_CF_LOGFIT = -3006,     // log and p_num do not fit in the first partition
  ER_CF_OVERLAP = -3008,    // two partitions of one file overlap
  ER_CF_SNUM1 = -3009,      // s_num1 outside 4..9999
  ER_CF_SNUM2 = -3010,      // s_num2 out of range
  ER_CF_SNUM4 = -3011,      // s_num4 out of range
  ER_CF_SNUM3 = -3012,      // s_num3 out of range
  ER_CF_DUPSPACE = -3013,   // dbspace defined twice
  ER_CF_NOSPACE = -3015,    // A or L names a dbspace that has no F line before it
  ER_CF_ODDSIZE = -3016,    // partition size not a whole number of pages
  ER_CF_SMALLSIZE = -3017,  // partition size below 300
  ER_CF_OPEN = -3018,       // partition file cannot be opened for update
  ER_CF_STAT = -3019,       // partition file cannot be examined
  ER_CF_NOTOLV = -3020,     // user "tolv" does not exist
  ER_CF_OWNER = -3021,      // wrong owner of a partition file
  ER_CF_GROUP = -3022,      // wrong group of a partition file
  ER_CF_MODE = -3023,       // wrong permissions of a partition file
  ER_CF_NOFILE = -3024,     // configuration file cannot be opened
  ER_CF_NAMELEN = -3025,    // dbspace name longer than 10 characters
  ER_CF_PATHLEN = -3026,    // partition path longer than 50 characters
  ER_CF_BTPATH = -3029,     // B or T path does not exist
  ER_CF_BTNUM1 = -3030,     // b_num1 or t_num1 below 4
  ER_CF_BTNUM2 = -3031,     // b_num2 or t_num2 below 100
  ER_CF_SNUM5 = -3032,      // s_num5 below 1
  ER_CF_ONUM3 = -3033,      // o_num3 outside 1..20
  ER_CF_ONUM4 = -3034,      // o_num4 below 32 kilobytes
  ER_CF_PARTEND = -3035,    // partition ends beyond 2097152 kilobytes
  ER_CF_RELPATH = -5004,    // partition path not absolute

  // Language files.
  ER_NLS_DUPSIL = -3102,    // a SIL element defined twice
  ER_NLS_POINT = -3103,     // POINT argument other than '.' or ','
  ER_NLS_DATE = -3104,      // DATE argument not 8 or 10 characters long
  ER_NLS_TEXT = -3105,      // TEXT syntax error
};
