// srv_size.h: the geometry of a DBS from its configuration file: how the stand-in sizes it.
//
// The configuration reader parses and checks the values; what the server makes of most of them
// is the server's own business, so the stand-in decides. Its rules (srv_sizingrules() prints
// them for tolvdb --help):
//   key, attach address   D line; S line, 5th value
//   user slots            S 1st value (s_num1)
//   buffer lists          C 3rd value (c_num3; the checks cap it at s_num3 / 20, a power of two)
//   buffers per list      S 3rd value (s_num3) / lists, rounded down
//   dbspaces, partitions  F and A lines (sizes and offsets in kilobytes)
//   log area              L: l_num1 files of l_num2 kilobytes (l_num2 / 2 pages) each, in
//                         dbspace 0 right behind its head pages (root, bitmaps, table map)
//   before-image area     P kilobytes (p_num / 2 pages) right behind the log; bitab has one
//                         entry per page of it, so it can never overflow within an interval
//   before-image buffer   R 1st value (r_num1) pages
//   table descriptors     C 4th value (c_num4); table-lock semaphores C 5th value (c_num5)
//   shared arena          O 4th value (o_num4) kilobytes; the largest request is the arena
//   archive buffer        O 3rd value (o_num3) pages, taken from the arena when needed
//   flushpct              O 2nd value (o_num2)
//   stamp                 the time of creation
// Not used by the stand-in: S 2nd, 4th, 6th and 7th values, C 1st and 2nd, O 1st, R 2nd to
// 4th, B, T and Z. The head pages, the log and the before-image area must fit the first
// partition of dbspace 0; the archive buffer must fit the arena; the whole segment must end
// below 4 GiB.
//
// See also: ba/ba_conf.h (the reader and its checks), srv_create.h (srv_geometry),
// srv_layout.h (head pages).
#pragma once

#include <string>
#include <vector>

#include "ba/dbsconfig.h"
#include "tools/srv_create.h"

// The dbspaces and partitions of cfg (offsets and sizes in bytes), npages summed over the
// partitions.
std::vector<srv_space> srv_spaces(const dbsconf &cfg);

// The geometry of cfg by the rules above, stamped with stamp. SRV_OK, or SRV_BADGEOMETRY with
// the reason in why. REQUIRES: cfg passed the configuration checks (ba_readconf in checking
// mode), which adjust some values; what the rules rely on beyond them is checked here.
int srv_sizing(const dbsconf &cfg, int32_t stamp, srv_geometry *g, std::string *why);

// The rules, as lines of text for a help screen.
const char *srv_sizingrules();
