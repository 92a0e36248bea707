// srv_size: the stand-in's sizing of a DBS from its configuration.
//
// Principal entry points: srv_sizing, srv_spaces, srv_sizingrules.
//
// See also: srv_size.h (the rules), srv_layout.h (head pages).
#include "tools/srv_size.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tools/srv_layout.h"

namespace {

constexpr int kKilobyte = 1024;
constexpr int kPagesPerKb = PAGESIZE / kKilobyte;  // kilobytes per page
constexpr int kArenaOverhead = 32;                 // a request plus this must stay below memlimit

constexpr int64_t kMaxKb = 2097152;  // no partition ends beyond 2 GiB

__attribute__((format(printf, 2, 3))) int bad(std::string *why, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  srv_vexplain(why, fmt, ap);
  va_end(ap);
  return SRV_BADGEOMETRY;
}

// Kilobytes to bytes. The files are made before the values are checked, so an unchecked value
// is held to 0 .. 2 GiB - 1 here (the check refuses it afterwards).
int32_t bytes(int kb) {
  return static_cast<int32_t>(
      std::min<int64_t>(std::clamp<int64_t>(kb, 0, kMaxKb) * kKilobyte, INT32_MAX));
}

srv_part part_of(const cfgpart &p) {
  return srv_part{std::string(p.path, strnlen(p.path, sizeof p.path)), bytes(p.offset),
                  bytes(p.size)};
}

// Lists, buffers, users, table structures, arena, flushpct: straight from the values.
void size_pool(const dbsconf &cfg, srv_geometry *g) {
  g->key = cfg.dbskey;
  g->shmaddr = cfg.shmaddr;
  g->nusers = cfg.s_num1;
  g->nlists = cfg.c_num3;
  g->nbufs = cfg.c_num3 > 0 ? cfg.s_num3 / cfg.c_num3 : 0;
  g->imgmax = cfg.r_num1;
  g->ntables = cfg.c_num4;
  g->ntablocks = cfg.c_num5;
  g->arenasize = cfg.o_num4;  // already in bytes
  g->memlimit = cfg.o_num4;
  g->archmax = cfg.o_num3;
  g->flushpct = cfg.o_num2;
}

// The log and the before-image area behind the head pages of dbspace 0; both must fit its
// first partition.
int size_areas(const dbsconf &cfg, srv_geometry *g, std::string *why) {
  if (g->spaces.empty() || g->spaces[0].parts.empty()) return bad(why, "no dbspace");
  int64_t filepages = cfg.l_num2 / kPagesPerKb;
  int64_t bipages = cfg.p_num / kPagesPerKb;
  int64_t head = srv_headpages(g->spaces[0].npages);
  int64_t need = head + int64_t{cfg.l_num1} * filepages + bipages;
  int64_t room = g->spaces[0].parts[0].size / PAGESIZE;
  if (filepages < 2 || bipages < 1) return bad(why, "log files or before-image area too small");
  if (need > room)
    return bad(why,
               "head pages, log and before-image area (%lld pages) do not fit the first "
               "partition of dbspace %s (%lld pages)",
               static_cast<long long>(need), g->spaces[0].name.c_str(),
               static_cast<long long>(room));
  g->lognfiles = cfg.l_num1;
  g->logfilepages = static_cast<int>(filepages);
  g->logfirst = srv_pagenr(0, static_cast<int32_t>(head));
  g->bifirst = g->logfirst + g->lognfiles * g->logfilepages;
  g->bilast = g->bifirst + static_cast<int32_t>(bipages) - 1;
  g->nbitab = static_cast<int>(bipages);
  return SRV_OK;
}

}  // namespace

std::vector<srv_space> srv_spaces(const dbsconf &cfg) {
  std::vector<srv_space> spaces;
  for (int d = 0; d < cfg.ndbspace; d++) {
    const cfgspace &cs = cfg.dbspaces[d];
    srv_space s{cs.name, 0, {}};
    int64_t npages = 0;
    for (int i = 0; i < cs.nparts; i++) {
      s.parts.push_back(part_of(cs.parts[i]));
      npages += s.parts.back().size / PAGESIZE;
    }
    // More pages than page numbers can address are left for srv_check to refuse.
    s.npages = static_cast<int32_t>(std::min<int64_t>(npages, INT32_MAX));
    spaces.push_back(std::move(s));
  }
  return spaces;
}

int srv_sizing(const dbsconf &cfg, int32_t stamp, srv_geometry *g, std::string *why) {
  *g = srv_geometry{};
  g->spaces = srv_spaces(cfg);
  size_pool(cfg, g);
  g->dbsstamp = stamp;
  if (g->nlists < 1 || g->nbufs < 1)
    return bad(why, "no buffers: %d lists for %d buffers", cfg.c_num3, cfg.s_num3);
  if (int64_t{g->archmax} * PAGESIZE + kArenaOverhead >= g->memlimit)
    return bad(why, "the archive buffer of %d pages does not fit the arena of %d kilobytes",
               g->archmax, g->arenasize / kKilobyte);
  int r = size_areas(cfg, g, why);
  return r != SRV_OK ? r : srv_check(*g, why);
}

const char *srv_sizingrules() {
  return "How tolvdb create sizes the DBS from the configuration file:\n"
         "  user slots            S 1st value\n"
         "  buffer lists          C 3rd value (at most S 3rd value / 20, a power of two)\n"
         "  buffers per list      S 3rd value / buffer lists\n"
         "  dbspaces              F and A lines\n"
         "  log files             L line: that many files of that many kilobytes, in the\n"
         "                        first partition of dbspace 0 behind its reserved head pages\n"
         "                        (root page, free-page bitmaps, table map)\n"
         "  before-image area     P kilobytes behind the log, one bitab entry per page\n"
         "  before-image buffer   R 1st value pages\n"
         "  table descriptors     C 4th value; table-lock semaphores C 5th value\n"
         "  shared arena          O 4th value kilobytes; archive buffer O 3rd value pages\n"
         "  flushpct              O 2nd value\n"
         "  key, address          D line, S 5th value\n"
         "The reserved pages, the log and the before-image area must fit the first partition\n"
         "of dbspace 0, and the segment must end below 4 GiB.\n";
}
