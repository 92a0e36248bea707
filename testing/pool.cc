// pool: the flush pass of the tests, and direct page access.
#include "testing/pool.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bm/bm_globals.h"
#include "bm/bm_sema.h"
#include "tools/srv_layout.h"

namespace tolvtest {

namespace {

// pread or pwrite of one page at its partition position.
int transfer(int32_t page, unsigned char *image, bool write) {
  const partition *part = nullptr;
  int64_t pos = 0;
  if (!srv_pagepos(bm_dbs, page, &part, &pos)) return -1;
  std::string device(part->device, strnlen(part->device, sizeof part->device));
  int fd = open(device.c_str(), write ? O_WRONLY : O_RDONLY);
  if (fd < 0) return -1;
  ssize_t n = write ? pwrite(fd, image, PAGESIZE, pos) : pread(fd, image, PAGESIZE, pos);
  close(fd);
  return n == PAGESIZE ? 0 : -1;
}

// Marks the dirty, unfixed buffers of l as being flushed and returns them.
std::vector<pagebuf *> collect(buflist *l) {
  std::vector<pagebuf *> taken;
  bm_p(&l->sema);
  for (pagebuf *b = l->head; b != nullptr; b = b->next)
    if ((b->flags & BF_DIRTY) != 0 && b->fixcnt == 0) {
      b->flags = (b->flags & ~BF_DIRTY) | BF_FLUSHING;
      taken.push_back(b);
    }
  bm_v(&l->sema);
  return taken;
}

}  // namespace

int flush_dirty() {
  int written = 0;
  for (int i = 0; i < bm_dbs->nlists; i++)
    for (pagebuf *b : collect(&bm_dbs->lists[i])) {
      if (write_page(pg_word(b->page, PH_PAGENR), b->page) != 0) return -1;
      __atomic_and_fetch(&b->flags, ~BF_FLUSHING, __ATOMIC_SEQ_CST);
      written++;
    }
  return written;
}

int write_page(int32_t page, const unsigned char *image) {
  return transfer(page, const_cast<unsigned char *>(image), true);
}

int read_page(int32_t page, unsigned char *image) { return transfer(page, image, false); }

}  // namespace tolvtest
