// Tests of bm_image: whether an image of a page waits in the before-image buffer, read under
// imgsem.
#include "bm/bm_image.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include "bm/bm_globals.h"
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

}  // namespace
