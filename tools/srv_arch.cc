// srv_arch: the stand-in's archiver commands (srv_arch.h).
#include "tools/srv_arch.h"

#include <cstring>

#include "bm/bm_globals.h"
#include "bm/bm_sema.h"

namespace {

void set_flags(uint32_t flags) {
  bm_p(bm_dbs->archsem);
  bm_dbs->archflags = flags;
  bm_v(bm_dbs->archsem);
}

void add_flags(uint32_t flags) {
  bm_p(bm_dbs->archsem);
  bm_dbs->archflags |= flags;
  bm_v(bm_dbs->archsem);
}

// The end of a run: every buffer may be copied again in the next one.
void clear_archived() {
  for (int i = 0; i < bm_dbs->nlists; i++) {
    buflist &l = bm_dbs->lists[i];
    bm_p(&l.sema);
    for (int k = 0; k < l.nbufs; k++)
      __atomic_fetch_and(&l.bufs[k].flags, ~BF_ARCHIVED, __ATOMIC_ACQ_REL);
    bm_v(&l.sema);
  }
}

void take(std::vector<int32_t> *taken) {
  bm_p(bm_dbs->archsem);
  unsigned char *slot = bm_dbs->archbuf;
  for (int i = 0; slot != nullptr && i < bm_dbs->archmax; i++, slot += PAGESIZE) {
    int32_t p = pg_word(slot, PH_PAGENR);
    if (p == NOPAGE) continue;
    taken->push_back(p);
    pg_setword(slot, PH_PAGENR, NOPAGE);
  }
  bm_v(bm_dbs->archsem);
}

}  // namespace

bool srv_archparse(const char *word, srv_archop *op) {
  static const struct {
    const char *word;
    srv_archop op;
  } kWords[] = {{"on", srv_archop::on},
                {"copy", srv_archop::copy},
                {"off", srv_archop::off},
                {"take", srv_archop::take}};
  for (const auto &w : kWords)
    if (strcmp(word, w.word) == 0) {
      *op = w.op;
      return true;
    }
  return false;
}

void srv_arch(srv_archop op, std::vector<int32_t> *taken) {
  switch (op) {
    case srv_archop::on:
      add_flags(AR_ACTIVE);
      break;
    case srv_archop::copy:
      add_flags(AR_ACTIVE | AR_COPYPHASE);
      break;
    case srv_archop::off:
      set_flags(0);
      clear_archived();
      break;
    case srv_archop::take:
      take(taken);
      break;
  }
}
