// Tests of bm_image: whether an image of a page waits in the before-image buffer (read under
// imgsem); taking before images (stamps, bitab, the wait for room, offline writes); writing the
// buffer in batches to the before-image area (batch size, force, the fit check, failed writes,
// images appended and writers running meanwhile); the durable sync of partitions.
#include "bm/bm_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/sem.h>
#include <unistd.h>
#include <vector>

#include "ba/error.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_io.h"
#include "bm/bm_sema.h"
#include "testing/segment.h"

namespace {

using tolvtest::eventually;
using tolvtest::fork_child;
using tolvtest::register_slot;
using tolvtest::wait_child;

class ImageSaved : public tolvtest::SegmentTest {
 protected:
  void put_image(int i, int32_t page) const {
    pg_setword(dbs()->images + i * PAGESIZE, PH_PAGENR, page);
  }
};

TEST_F(ImageSaved, EmptyBufferHoldsNoImage) {
  EXPECT_EQ(bm_imgsaved(0), 1);
  EXPECT_EQ(bm_imgsaved(120), 1);
}

TEST_F(ImageSaved, EveryImageInTheBufferIsCompared) {
  put_image(0, 5);
  put_image(1, 0x01000007);
  put_image(2, 120);
  dbs()->nimg = 3;
  EXPECT_EQ(bm_imgsaved(5), 0);
  EXPECT_EQ(bm_imgsaved(0x01000007), 0);
  EXPECT_EQ(bm_imgsaved(120), 0);
  EXPECT_EQ(bm_imgsaved(7), 1);  // page 7 of dbspace 0 is not page 7 of dbspace 1
  EXPECT_EQ(dbs()->imgsem->lock, 0);
}

TEST_F(ImageSaved, OnlyTheFirstNimgImagesCount) {
  put_image(0, 5);
  put_image(1, 120);  // left over from a batch that was written
  dbs()->nimg = 1;
  EXPECT_EQ(bm_imgsaved(120), 1);
}

// A count beyond the buffer's capacity never reads past the buffer.
TEST_F(ImageSaved, CountBeyondCapacityIsBoundedByImgmax) {
  for (int i = 0; i < dbs()->imgmax; i++) put_image(i, 100 + i);
  dbs()->nimg = dbs()->imgmax + 1000;
  EXPECT_EQ(bm_imgsaved(100 + dbs()->imgmax - 1), 0);
  EXPECT_EQ(bm_imgsaved(99), 1);
}

// The search waits for imgsem: a registered caller sleeps marked 'S' on it while another
// process holds it.
TEST_F(ImageSaved, ReadsUnderImgsem) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  bmsema *s = dbs()->imgsem;
  bm_p(s);
  put_image(0, 42);
  pid_t child = fork_child([fds] {
    register_slot(2);
    int r = bm_imgsaved(42);
    return write(fds[1], &r, sizeof r) == sizeof r ? 0 : 9;
  });
  const userslot &u = dbs()->users[2];
  EXPECT_TRUE(eventually([&] {
    return (u.uflags & US_WAITING) != 0 && u.waitkind == 'S' && u.waitobj == s->semno;
  }));
  dbs()->nimg = 1;  // the image arrives before the holder releases
  bm_v(s);
  int r = -1;
  ASSERT_EQ(read(fds[0], &r, sizeof r), static_cast<ssize_t>(sizeof r));
  EXPECT_EQ(r, 0);
  EXPECT_EQ(wait_child(child), 0);
  close(fds[0]);
  close(fds[1]);
}

// ---- Taking before images and writing the buffer ------------------------------------------------

// rootdbs on a real file of 1000 pages; the area is pages 30..61; the buffer holds 16 images.
class BeforeImages : public tolvtest::SegmentTest {
 protected:
  static constexpr int kImgmax = 16;
  srv_geometry geometry() const override {
    srv_geometry g = SegmentTest::geometry();
    g.imgmax = kImgmax;
    return g;
  }
  void SetUp() override {
    int fd = open(inst_.path("rootdbs").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 1000 * PAGESIZE), 0);
    close(fd);
    SegmentTest::SetUp();
  }
  // A buffer (outside the pool) holding page pagenr with a recognisable body.
  static pagebuf page(int32_t pagenr) {
    pagebuf b{};
    memset(b.page, pagenr & 0x7F, PAGESIZE);
    pg_setword(b.page, PH_PAGENR, pagenr);
    return b;
  }
  // Takes before images of pages first .. first + n - 1.
  static void take(int32_t first, int n) {
    for (int i = 0; i < n; i++) {
      pagebuf b = page(first + i);
      ASSERT_EQ(bm_saveimg(&b), 0);
    }
  }
  // Page p of the area file as written.
  std::vector<unsigned char> disk(int32_t p) const {
    return tolvtest::read_page(inst_.path("rootdbs"), p);
  }
  int32_t disk_pagenr(int32_t p) const { return pg_word(disk(p).data(), PH_PAGENR); }
  int32_t image_pagenr(int i) const {
    return pg_word(dbs()->images + i * PAGESIZE, PH_PAGENR);
  }
};

TEST_F(BeforeImages, FirstUpdateStampsTheBufferAndCopiesIt) {
  dbs()->biseqno = 500;
  pagebuf b = page(7);
  ASSERT_EQ(bm_saveimg(&b), 0);
  EXPECT_EQ(pg_word(b.page, PH_BISEQ), 500);
  EXPECT_EQ(pg_word(b.page, PH_BISEQ2), 500);
  EXPECT_EQ(pg_word(b.page, PH_STAMP), dbs()->dbsstamp);
  EXPECT_EQ(dbs()->nimg, 1);
  EXPECT_EQ(memcmp(dbs()->images, b.page, PAGESIZE), 0);
  EXPECT_EQ(dbs()->bitab[0], 7);
  ASSERT_EQ(bm_saveimg(&b), 0);  // the same page again in this interval: no second image
  EXPECT_EQ(dbs()->nimg, 1);
  EXPECT_EQ(dbs()->biseqno, 501);
  EXPECT_EQ(dbs()->imgsem->lock, 0);
}

TEST_F(BeforeImages, RecoverySwitchTakesNoImage) {
  bm_recovery = 1;
  pagebuf b = page(7);
  int r = bm_saveimg(&b);
  bm_recovery = 0;
  EXPECT_EQ(r, 0);
  EXPECT_EQ(dbs()->nimg, 0);
  EXPECT_EQ(dbs()->bitab[0], NOPAGE);
}

TEST_F(BeforeImages, FullBitabIsRefused) {
  for (int i = 0; i < dbs()->nbitab; i++) dbs()->bitab[i] = 1000 + i;
  pagebuf b = page(7);
  EXPECT_EQ(bm_saveimg(&b), -1);
  EXPECT_EQ(iserrno, ER_BITABFULL);
  EXPECT_EQ(dbs()->nimg, 0);
  EXPECT_EQ(dbs()->imgsem->lock, 0);
}

// Batches: unforced only from ten images on, forced any number; one run at binext, durable,
// then binext advances and the buffer empties.
TEST_F(BeforeImages, BatchesFromTenImagesOrForced) {
  struct {
    int images;
    int force;
    bool written;
  } cases[] = {{9, 0, false}, {10, 0, true}, {3, 1, true}, {0, 1, false}};
  int32_t at = dbs()->bifirst;
  int32_t page = 100;
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.images << " images, force " << c.force);
    take(page, c.images);
    int writes = dbs()->st_writes;
    bm_saveimagebuf(c.force);
    if (!c.written) {
      EXPECT_EQ(dbs()->nimg, c.images);
      EXPECT_EQ(dbs()->st_writes, writes);
      bm_p(dbs()->imgsem);  // forget them for the next case
      dbs()->nimg = 0;
      bm_v(dbs()->imgsem);
      page += c.images;
      continue;
    }
    EXPECT_EQ(dbs()->st_writes, writes + 1);  // one transfer
    EXPECT_EQ(dbs()->nimg, 0);
    EXPECT_EQ(dbs()->binext, at + c.images);
    for (int i = 0; i < c.images; i++) EXPECT_EQ(disk_pagenr(at + i), page + i);
    at += c.images;
    page += c.images;
  }
}

TEST_F(BeforeImages, BatchThatDoesNotFitTheAreaStays) {
  dbs()->binext = dbs()->bilast - 1;  // room for two
  take(100, 3);
  bm_saveimagebuf(1);
  EXPECT_EQ(dbs()->nimg, 3);
  EXPECT_EQ(dbs()->binext, dbs()->bilast - 1);
  EXPECT_NE(log_text().find("bm_saveimagebuf: Image buffer does not fit 3 61 60\n"),
            std::string::npos)
      << log_text();
}

TEST_F(BeforeImages, OfflineDbsWritesEveryImageAtOnce) {
  dbs()->state = 2;
  take(100, 2);
  EXPECT_EQ(dbs()->nimg, 0);
  EXPECT_EQ(dbs()->binext, dbs()->bifirst + 2);
  EXPECT_EQ(disk_pagenr(dbs()->bifirst + 1), 101);
}

// A full buffer: the updater waits marked 'i', waking the image writer, until room is made.
TEST_F(BeforeImages, FullBufferWaitsMarkedAndWakesTheWriter) {
  constexpr int kWriter = 3;
  dbs()->imgwriter = kWriter;
  take(100, kImgmax);
  pid_t updater = fork_child([] {
    register_slot(1);
    pagebuf b = page(200);
    return bm_saveimg(&b) == 0 ? 0 : 1;
  });
  const userslot &u = dbs()->users[1];
  ASSERT_TRUE(eventually([&] {
    return (u.uflags & US_WAITING) != 0 && u.waitkind == 'i' && u.waitobj == 200;
  }));
  EXPECT_TRUE(eventually([&] { return semctl(dbs()->semid, kWriter, GETVAL) == 1; }));
  EXPECT_EQ(dbs()->nimg, kImgmax);
  register_slot(kWriter);
  bm_saveimagebuf(0);
  EXPECT_EQ(wait_child(updater), 0);
  EXPECT_GE(dbs()->st_biwait, 1);
  EXPECT_EQ(u.uflags & US_WAITING, 0u);
  EXPECT_EQ(u.waitkind, ' ');
  EXPECT_EQ(dbs()->nimg, 1);
  EXPECT_EQ(image_pagenr(0), 200);
}

// A failed write keeps the batch: its pages must not go home.
TEST_F(BeforeImages, FailedWriteKeepsTheImages) {
  take(100, 2);
  partition &pt = dbs()->dbspaces[0].parts[0];
  snprintf(pt.device, sizeof pt.device, "/dev/full");  // every write fails with ENOSPC
  bm_saveimagebuf(1);
  EXPECT_EQ(dbs()->nimg, 2);
  EXPECT_EQ(dbs()->binext, dbs()->bifirst);
  EXPECT_EQ(bm_imgsaved(101), 0);
  EXPECT_NE(log_text().find("bm_saveimagebuf: Error 28 storing before images\n"),
            std::string::npos)
      << log_text();
}

// Appenders and two writers (image writer and forced writes) run together: every image ends in
// the area exactly once or is still in the buffer, in the order taken, and binext counts them.
TEST_F(BeforeImages, ConcurrentAppendsAndWritersLoseNoImage) {
  constexpr int kPages = 30;  // the area holds 32
  const int32_t seq0 = dbs()->biseqno;
  pid_t appender = fork_child([] {
    register_slot(1);
    for (int i = 0; i < kPages; i++) {
      pagebuf b = page(100 + i);
      if (bm_saveimg(&b) != 0) return 1;
    }
    return 0;
  });
  auto writer = [this, seq0](int slot, int force) {
    return fork_child([this, slot, force, seq0] {
      register_slot(slot);
      while (dbs()->biseqno < seq0 + kPages || dbs()->nimg > 0) {
        bm_saveimagebuf(force);
        bm_nap(1);
      }
      return 0;
    });
  };
  pid_t w1 = writer(2, 0), w2 = writer(3, 1);
  EXPECT_EQ(wait_child(appender), 0);
  EXPECT_EQ(wait_child(w2), 0);
  EXPECT_EQ(wait_child(w1), 0);
  EXPECT_EQ(dbs()->nimg, 0);
  EXPECT_EQ(dbs()->binext, dbs()->bifirst + kPages);
  for (int i = 0; i < kPages; i++) {
    auto img = disk(dbs()->bifirst + i);
    EXPECT_EQ(pg_word(img.data(), PH_PAGENR), 100 + i);
    EXPECT_EQ(pg_word(img.data(), PH_BISEQ), seq0 + i);
  }
}

// ---- Durable sync of partitions -----------------------------------------------------------------

TEST_F(BeforeImages, SyncOfPagesAndPartitions) {
  EXPECT_EQ(bm_syncpage(5), 0);
  EXPECT_EQ(bm_syncall(), 0);
  EXPECT_EQ(bm_syncpage(1000), -1);  // beyond the dbspace
  EXPECT_EQ(iserrno, ER_BADPAGEIO);
}

TEST_F(BeforeImages, SyncOfADeviceThatCannotBeOpenedFails) {
  ASSERT_EQ(unlink(inst_.path("rootdbs").c_str()), 0);
  EXPECT_EQ(bm_syncall(), -1);
  EXPECT_EQ(iserrno, ENOENT);
}

}  // namespace
