// srv_layout: the stand-in's placement of the fixed pages and the reserved ranges of a dbspace.
//
// Principal entry point: srv_spaceareas (from a geometry or from a segment: one rule for the
// formatter and for the page checks of touch).
//
// See also: srv_layout.h (the page formats), srv_format (writes them).
#include "tools/srv_layout.h"

#include <algorithm>

namespace {

bool within(int32_t k, int32_t first, int32_t end) { return k >= first && k < end; }

// The dbspace-relative range [first, first + n) of an area that starts at page number first,
// empty when the area lies in another dbspace.
void area_in(int space, int32_t first, int64_t n, int32_t *from, int32_t *end) {
  if (srv_spaceof(first) != space || n <= 0) {
    *from = *end = 0;
    return;
  }
  *from = srv_pageof(first);
  *end = static_cast<int32_t>(std::min<int64_t>(*from + n, PN_PAGEMASK + int64_t{1}));
}

srv_areas areas(int space, int32_t npages, int32_t logfirst, int64_t logpages, int32_t bifirst,
                int32_t bilast) {
  srv_areas a;
  a.space = space;
  a.npages = npages;
  a.headpages = srv_headpages(npages);
  area_in(space, logfirst, logpages, &a.logfirst, &a.logend);
  area_in(space, bifirst, int64_t{bilast} - bifirst + 1, &a.bifirst, &a.biend);
  return a;
}

}  // namespace

int srv_nbitmaps(int32_t npages) {
  return npages <= BMP_PAGES ? 1 : (npages + BMP_PAGES - 1) / BMP_PAGES;
}

int32_t srv_bitmappage(int c) { return c == 0 ? 1 : TM_FIRST + c; }

int32_t srv_headpages(int32_t npages) { return TM_FIRST + srv_nbitmaps(npages); }

const char *srv_areas::reserved(int32_t k) const {
  if (k == ROOTPAGE) return space == 0 ? "is the DBS root page" : "is page 0 of its dbspace";
  if (k == TM_FIRST) return "is the table map page";
  if (k < headpages) return "is a free-page bitmap page";
  if (within(k, logfirst, logend)) return "lies in the log area";
  if (within(k, bifirst, biend)) return "lies in the before-image area";
  return nullptr;
}

srv_areas srv_spaceareas(const srv_geometry &g, int space) {
  return areas(space, g.spaces[static_cast<size_t>(space)].npages, g.logfirst,
               int64_t{g.lognfiles} * g.logfilepages, g.bifirst, g.bilast);
}

srv_areas srv_spaceareas(const dbshead *h, int space) {
  const logctl &lc = h->logctl;
  return areas(space, h->dbspaces[space].npages, lc.lc_first,
               int64_t{lc.lc_nfiles} * lc.lc_filepages, h->bifirst, h->bilast);
}
