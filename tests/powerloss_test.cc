// Power loss: a workload of real processes on a real segment and two partition files is
// recorded write by write and sync by sync (bm_iohook.h), and the partitions are rebuilt as a
// power loss at many points of the run could have left them; on each such crash image the
// promises that a recovery relies on must hold. PowerLossChecks shows on hand-made records that
// the checks find a write that was not made durable before the one relying on it.
//
// The workload: two updaters (srv_touch: one update action per page, before images, local
// images, replacement), the flush pass (ad_flush) every few milliseconds, the stand-in's image
// writer (bm_saveimagebuf, and the checkpoints it finds due), a checkpoint (ad_checkpoint) every
// few hundred milliseconds, and a logger appending forced log records, each noted in the record
// once bm_wrtlog returned.
//
// A crash image at cut c (the first c records happened): the files as they were when the record
// began, plus the writes of each file recorded before the begin of its last sync that ended
// before c, plus a random subset of the later writes before c, each page of a write whole or
// absent, or, in torn images, any of its 512-byte sectors. The root page is never torn: it is written in place
// without a second copy, so a torn root page is beyond what the design can recover from.
// Checked on each image, against the checkpoint its root page names:
//  (1) a hot page whose home copy differs from its state at that checkpoint has its before
//      image, equal to that state, among the images of the interval in the before-image area
//      (from bifirst on, sequence numbers counting up from the root page's biseqno);
//  (2) a hot page not written since that checkpoint holds its state at the checkpoint;
//  (3) every forced log record acknowledged before c is in the log at the position returned.
//
// Settings: TOLV_POWERLOSS_SEED (default 1) and TOLV_POWERLOSS_IMAGES (default 4000) choose the
// images, TOLV_POWERLOSS_SECONDS (default 4) the length of the workload. A failure prints the
// seed, the image and its cut, and keeps the record and the initial files in a directory;
// TOLV_POWERLOSS_REPLAY=<that directory> checks the same images again without a workload.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <new>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_iohook.h"
#include "bm/bm_log.h"
#include "bm/bm_logrec.h"
#include "bm/bm_sema.h"
#include "bm/bm_user.h"
#include "flush/ad_check.h"
#include "flush/ad_ckpt.h"
#include "testing/segment.h"
#include "tools/srv_format.h"
#include "tools/srv_imgwriter.h"
#include "tools/srv_log.h"
#include "tools/srv_pool.h"

namespace {

using tolvtest::fork_child;
using tolvtest::register_slot;
using tolvtest::wait_child;

// The dbspace lies on two partition files: root page, log and before-image area on the first,
// the hot pages on the second, so that a sync of the one never makes the other's writes durable.
constexpr int32_t kPartPages[] = {800, 1200};
constexpr int kSpacePages = kPartPages[0] + kPartPages[1];
constexpr const char *kPartNames[] = {"rootdbs", "rootdbs.data"};
constexpr int32_t kFirst = 1000;  // the hot pages: kFirst .. kFirst + kHot - 1
constexpr int kHot = 48;          // three times the pool: replacement happens
constexpr int kSector = 512;
constexpr int kTouchCap = 6000;  // updates per updater, and log records of the logger: the
constexpr int kLogCap = 2000;    // log (3 files of 149 data pages) never wraps around
constexpr int kLogRecLen = 48;
constexpr int16_t kOffline = 2;
constexpr int kCkptNapMs = 800;  // between checkpoints (each waits a second for actions)
constexpr int kMinCheckpoints = 3, kMinUpdates = 200;
constexpr int kLogNapMs = 20;  // between forced log records (each syncs the first partition)
enum slots { kParent, kWriter, kFlusher, kCheckpointer, kLogger, kUpdater };

int env_int(const char *name, int fallback) {
  const char *v = getenv(name);
  return v != nullptr && atoi(v) > 0 ? atoi(v) : fallback;
}

// Read when the program starts: the test's temporary installation clears every TOLV variable.
struct settings {
  uint64_t seed = static_cast<uint64_t>(env_int("TOLV_POWERLOSS_SEED", 1));
  int images = env_int("TOLV_POWERLOSS_IMAGES", 4000);
  int seconds = env_int("TOLV_POWERLOSS_SECONDS", 4);
  std::string replay =
      getenv("TOLV_POWERLOSS_REPLAY") != nullptr ? getenv("TOLV_POWERLOSS_REPLAY") : "";
};
const settings kSettings;

using page = std::vector<unsigned char>;

// Whether two pages are equal apart from the words a before image is stamped with.
bool same_but_stamps(const unsigned char *a, const unsigned char *b) {
  return memcmp(a, b, PH_STAMP) == 0 && memcmp(a + PH_PAGETYPE, b + PH_PAGETYPE, 4) == 0 &&
         memcmp(a + PH_DATA, b + PH_DATA, PH_BISEQ2 - PH_DATA) == 0;
}

// Where things are in the dbspace; first[f]: the first page of partition file f.
struct layout {
  int32_t stamp, bifirst, bilast, logfirst, filepages;
  std::vector<int32_t> first;
};

// Crash images built from a record, and the checks on them.
class crashes {
 public:
  // base: the dbspace (its partition files one after the other) when the record began.
  crashes(const std::vector<iohook::record> &recs, page base, const layout &l)
      : lay_(l), base_(std::move(base)), durable_(base_), files_(l.first.size()), hotwrites_(kHot) {
    for (int i = 0; i < static_cast<int>(recs.size()); i++) take(i, recs[i]);
    ckpts_.push_back({-1, at(base_, 0), {}});  // the checkpoint the record began after
    for (int p = 0; p < kHot; p++) ckpts_[0].hot.push_back(at(base_, kFirst + p));
    std::vector<const unsigned char *> hot(ckpts_[0].hot);
    for (const piece &w : all_) {
      if (w.page == ROOT_PAGENR) ckpts_.push_back({w.rec, w.data, hot});
      if (w.page >= kFirst && w.page < kFirst + kHot) {
        hot[w.page - kFirst] = w.data;
        hotwrites_[w.page - kFirst].push_back(w.rec);
      }
    }
    for (file &f : files_)  // ends[i].second: the bound once end i has happened
      for (size_t i = 1; i < f.ends.size(); i++)
        f.ends[i].second = std::max(f.ends[i].second, f.ends[i - 1].second);
  }

  const std::string &fault() const { return fault_; }
  int records() const { return nrecs_; }
  int writes() const { return static_cast<int>(all_.size()); }
  int syncs() const { return static_cast<int>(begins_.size()); }
  int checkpoints() const { return static_cast<int>(ckpts_.size()) - 1; }
  int acks() const { return static_cast<int>(acks_.size()); }
  int imaged() const { return imaged_; }
  const std::vector<int> &sync_begins() const { return begins_; }

  // Checks the image of cut c (cuts must come in ascending order); "" or what failed.
  std::string check(int c, std::mt19937_64 &rng, bool torn) {
    for (file &f : files_) advance(&f, bound(f, c));
    over_.clear();
    for (const file &f : files_)
      for (auto w = std::lower_bound(f.pieces.begin(), f.pieces.end(), f.applied);
           w != f.pieces.end() && w->rec < c; ++w)
        if (rng() % 2 == 0) land(*w, torn && w->page != ROOT_PAGENR && rng() % 4 == 0, rng);
    const unsigned char *root = view(ROOT_PAGENR);
    const ckpt *k = nullptr;
    for (auto it = ckpts_.rbegin(); it != ckpts_.rend() && k == nullptr; ++it)
      if (it->rec < c && memcmp(it->data, root, PAGESIZE) == 0) k = &*it;
    if (k == nullptr) return "the root page names no checkpoint";
    std::string why = check_pages(*k, c);
    return why.empty() ? check_log(c) : why;
  }

 private:
  struct piece {  // one page of a recorded write
    int rec;
    int32_t page;
    const unsigned char *data;
    bool operator<(int r) const { return rec < r; }
  };
  struct ckpt {  // a root page write and the hot pages as they were then
    int rec;
    const unsigned char *data;
    std::vector<const unsigned char *> hot;
  };
  struct ack {  // a forced log record, acknowledged
    int rec, logfile, offset;
    const page *bytes;
  };
  struct file {  // what was recorded of one partition file
    std::vector<piece> pieces;
    std::vector<std::pair<int, int>> ends;  // sync ends: record, begin of the sync
    int applied = 0;                        // durable_ holds every piece before this record
  };

  int32_t pages() const { return static_cast<int32_t>(base_.size() / PAGESIZE); }
  static const unsigned char *at(const page &file, int32_t p) {
    return file.data() + static_cast<size_t>(p) * PAGESIZE;
  }

  void take(int i, const iohook::record &r) {
    nrecs_++;
    const iohook::rechead &h = r.head;
    if (h.kind == iohook::IOH_NOTE) {
      acks_.push_back({i, h.file, static_cast<int>(h.offset), &r.data});
      return;
    }
    if (h.file < 0 || h.file >= static_cast<int>(files_.size())) {
      fault_ = "a record of an unknown file at record " + std::to_string(i);
      return;
    }
    if (h.kind == iohook::IOH_SYNCBEGIN) {
      begins_.push_back(i);
      open_[int64_t{h.pid} << 32 | h.serial] = i;
    }
    file &f = files_[static_cast<size_t>(h.file)];
    if (h.kind == iohook::IOH_SYNCEND)
      f.ends.push_back({i, open_[int64_t{h.pid} << 32 | h.serial]});
    if (h.kind != iohook::IOH_WRITE) return;
    size_t next = static_cast<size_t>(h.file) + 1;
    int64_t end = next < lay_.first.size() ? lay_.first[next] : pages();
    int64_t p = lay_.first[next - 1] + h.offset / PAGESIZE;
    if (h.offset % PAGESIZE != 0 || h.length % PAGESIZE != 0 || p + h.length / PAGESIZE > end) {
      fault_ = "a write not of whole pages of its file at record " + std::to_string(i);
      return;
    }
    for (int32_t n = 0; n < h.length / PAGESIZE; n++) {
      all_.push_back({i, static_cast<int32_t>(p + n), r.data.data() + n * PAGESIZE});
      f.pieces.push_back(all_.back());
    }
  }

  // The writes of f recorded before this index are durable at cut c: those before the begin
  // of a sync of f that ended before c.
  static int bound(const file &f, int c) {
    auto e = std::lower_bound(f.ends.begin(), f.ends.end(), std::pair<int, int>{c, -1});
    return e == f.ends.begin() ? 0 : std::prev(e)->second;
  }
  void advance(file *f, int upto) {
    for (auto w = std::lower_bound(f->pieces.begin(), f->pieces.end(), f->applied);
         w != f->pieces.end() && w->rec < upto; ++w)
      memcpy(durable_.data() + static_cast<size_t>(w->page) * PAGESIZE, w->data, PAGESIZE);
    f->applied = std::max(f->applied, upto);
  }
  void land(const piece &w, bool tear, std::mt19937_64 &rng) {
    auto [it, fresh] = over_.try_emplace(w.page);
    if (fresh) it->second.assign(at(durable_, w.page), at(durable_, w.page) + PAGESIZE);
    unsigned sectors = tear ? 1 + rng() % 14 : 15;  // a torn page: some sectors, not all
    for (int s = 0; s < PAGESIZE / kSector; s++)
      if ((sectors >> s & 1) != 0)
        memcpy(it->second.data() + s * kSector, w.data + s * kSector, kSector);
  }
  const unsigned char *view(int32_t p) const {
    auto it = over_.find(p);
    return it != over_.end() ? it->second.data() : at(durable_, p);
  }

  // The images of the interval that began at checkpoint k, by page (the first of each).
  std::map<int32_t, const unsigned char *> interval_images(const ckpt &k) const {
    std::map<int32_t, const unsigned char *> images;
    int32_t seq = pg_word(k.data, RP_BISEQNO);
    for (int32_t a = lay_.bifirst; a <= lay_.bilast; a++, seq++) {
      const unsigned char *img = view(a);
      if (pg_word(img, PH_BISEQ) != seq || pg_word(img, PH_BISEQ2) != seq ||
          pg_word(img, PH_STAMP) != lay_.stamp)
        break;
      images.try_emplace(pg_word(img, PH_PAGENR), img);
    }
    return images;
  }

  // Promises (1) and (2).
  std::string check_pages(const ckpt &k, int c) {
    std::map<int32_t, const unsigned char *> images = interval_images(k);
    for (int i = 0; i < kHot; i++) {
      const unsigned char *home = view(kFirst + i), *then = k.hot[i];
      const std::vector<int> &w = hotwrites_[i];
      bool since = std::lower_bound(w.begin(), w.end(), k.rec + 1) !=
                   std::lower_bound(w.begin(), w.end(), c);
      std::string which = "page " + std::to_string(kFirst + i) + " (checkpoint at record " +
                          std::to_string(k.rec) + ")";
      if (!since && memcmp(home, then, PAGESIZE) != 0)
        return which + ": not on disk at its checkpoint";
      if (memcmp(home, then, PAGESIZE) == 0) continue;
      auto img = images.find(kFirst + i);
      if (img == images.end()) return which + ": changed on disk, no before image in the area";
      if (!same_but_stamps(img->second, then)) return which + ": its before image is not its state";
      imaged_++;
    }
    return "";
  }

  // Promise (3).
  std::string check_log(int c) const {
    for (const ack &a : acks_) {
      if (a.rec >= c) break;
      for (int i = 0; i < static_cast<int>(a.bytes->size()); i++) {
        int o = a.offset + i;
        int64_t p = lay_.logfirst + int64_t{a.logfile} * lay_.filepages + 1 + o / LOG_DATASIZE;
        if (o < 0 || p >= pages() ||
            view(static_cast<int32_t>(p))[PH_DATA + o % LOG_DATASIZE] !=
                (*a.bytes)[static_cast<size_t>(i)])
          return "log record at file " + std::to_string(a.logfile) + " offset " +
                 std::to_string(a.offset) + " acknowledged at record " + std::to_string(a.rec) +
                 " is not in the log";
      }
    }
    return "";
  }

  layout lay_;
  const page base_;                         // the file when the record began
  page durable_;                            // the dbspace with every durable write
  std::unordered_map<int32_t, page> over_;  // the pages the image's later writes changed
  std::vector<file> files_;
  std::vector<piece> all_;  // the pages written, in the order of the record
  std::vector<ckpt> ckpts_;
  std::vector<std::vector<int>> hotwrites_;  // per hot page: the records that wrote it
  std::vector<int> begins_;
  std::map<int64_t, int> open_;
  std::vector<ack> acks_;
  std::string fault_;
  int nrecs_ = 0, imaged_ = 0;
};

// ---- The checks on hand-made records ------------------------------------------------------------

iohook::record made(int32_t kind, int32_t file, int64_t pos, page data = {}, int32_t serial = 0) {
  return {{kind, file, 1, serial, pos, static_cast<int32_t>(data.size()), 0}, std::move(data)};
}

// Hand-made records of one hot page, the root page and a log record: a write made durable
// before the one that relies on it passes in every image of the cut after the last record; one
// that is not fails in some of them (fixed seeds, so the same images every run) for its reason.
TEST(PowerLossChecks, FindWritesNotMadeDurableFirst) {
  constexpr int32_t kSeq = 7, kStamp = 4711;
  const layout lay = {kStamp, 500, 599, 10, 150, {0, kPartPages[0]}};
  page base(size_t{kSpacePages} * PAGESIZE, 0), img(PAGESIZE, 0), home(PAGESIZE, 0x5a);
  page root(PAGESIZE, 0), logpage(PAGESIZE, 0), rec(kLogRecLen, 0x33);
  pg_setword(base.data(), RP_BISEQNO, kSeq);
  pg_setword(root.data(), RP_BISEQNO, kSeq + 1);
  for (int32_t w : {PH_PAGENR, PH_STAMP, PH_BISEQ, PH_BISEQ2})
    pg_setword(img.data(), w, w == PH_PAGENR ? kFirst : w == PH_STAMP ? kStamp : kSeq);
  pg_setword(home.data(), PH_PAGENR, kFirst);
  pg_setword(base.data() + size_t{kFirst} * PAGESIZE, PH_PAGENR, kFirst);
  memcpy(logpage.data() + PH_DATA, rec.data(), rec.size());
  using namespace iohook;
  const int64_t homepos = int64_t{kFirst - kPartPages[0]} * PAGESIZE;
  const record image = made(IOH_WRITE, 0, int64_t{lay.bifirst} * PAGESIZE, img),
               homewrite = made(IOH_WRITE, 1, homepos, home),
               rootwrite = made(IOH_WRITE, 0, 0, root),
               logwrite = made(IOH_WRITE, 0, int64_t{lay.logfirst + 1} * PAGESIZE, logpage),
               ack = made(IOH_NOTE, 0, 0, rec);
  auto sync = [](int32_t file, int32_t serial) {
    return std::vector<record>{made(IOH_SYNCBEGIN, file, 0, {}, serial),
                               made(IOH_SYNCEND, file, 0, {}, serial)};
  };
  auto join = [](std::initializer_list<std::vector<record>> parts) {
    std::vector<record> all;
    for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  struct {
    std::vector<record> recs;
    const char *why;  // "": every image passes
  } cases[] = {
      {join({{image}, sync(0, 1), {homewrite}, sync(1, 2)}), ""},
      {join({{image, homewrite}, sync(1, 2)}), "changed on disk, no before image in the area"},
      {join({{image}, sync(0, 1), {homewrite}, sync(1, 2), {rootwrite}, sync(0, 3)}), ""},
      {join({{image}, sync(0, 1), {homewrite, rootwrite}, sync(0, 3)}),
       "not on disk at its checkpoint"},
      {join({{logwrite}, sync(0, 1), {ack}}), ""},
      {join({{logwrite, ack}, sync(1, 2)}), "is not in the log"},
  };
  for (auto &c : cases) {
    crashes images(c.recs, base, lay);
    int failed = 0;
    for (uint64_t seed = 0; seed < 64; seed++) {
      std::mt19937_64 rng(seed);
      std::string why = images.check(static_cast<int>(c.recs.size()), rng, seed % 2 == 0);
      failed += !why.empty();
      EXPECT_TRUE(why.empty() || why.find(c.why) != std::string::npos) << why;
    }
    EXPECT_EQ(failed > 0, *c.why != '\0') << c.why << ": " << failed << " of 64 images failed";
  }
}

// ---- The workload ---------------------------------------------------------------------------

bool online() { return __atomic_load_n(&bm_dbs->state, __ATOMIC_ACQUIRE) == DBS_ONLINE; }

// What the workload's processes share: the stop request, the counts of updates and checkpoints.
struct board {
  std::atomic<int> stop{0};
  std::atomic<int> updates{0};
  std::atomic<int> checkpoints{0};
};

int updater(int slot, board *b) {
  register_slot(slot, "TOLVDB");
  unsigned seed = static_cast<unsigned>(slot * 7919);
  for (int n = 0; n < kTouchCap && b->stop.load() == 0; n++) {
    std::string why;
    if (srv_touch(kFirst + static_cast<int32_t>(rand_r(&seed) % kHot), 1, false, &why) != SRV_OK) {
      fprintf(stderr, "updater %d: %s\n", slot, why.c_str());
      return 10;
    }
    b->updates++;
    bm_nap(1);
  }
  return 0;
}

// Forced records, each noted (log file, offset, bytes) once bm_wrtlog has returned.
int logger(const board *b) {
  register_slot(kLogger, "TOLVDB");
  for (int n = 0; n < kLogCap && b->stop.load() == 0; n++) {
    std::vector<unsigned char> r = srv_logrecord(kLogRecLen, bm_sessno(), 1);
    pg_setword(r.data(), LR_HEADLEN, n);
    logpos *p = bm_wrtlog(kLogRecLen, r.data(), 1);
    if (p == nullptr) return 11;
    iohook::note(p->file, p->offset, r.data(), kLogRecLen);
    bm_nap(kLogNapMs);
  }
  return 0;
}

int flusher() {
  register_slot(kFlusher, "TOLVFLUSH");
  while (online()) {
    for (int i = 0; i < bm_dbs->nlists; i++) ad_flush(&bm_dbs->lists[i], AD_ALLBUFFERS);
    bm_nap(5);
  }
  return 0;
}

int image_writer() {
  register_slot(kWriter, "TOLVDB");
  srv_imgwriter();
  return 0;
}

int checkpointer(board *b) {
  register_slot(kCheckpointer, "TOLVDB");
  FILE *out = fopen("/dev/null", "w");
  if (out == nullptr) return 12;
  for (; online(); bm_nap(kCkptNapMs), b->checkpoints++) srv_checkpoint(out);
  fclose(out);
  return 0;
}

class PowerLoss : public tolvtest::SegmentTest {
 protected:
  srv_geometry geometry() const override {
    srv_geometry g = SegmentTest::geometry();
    g.nusers = 8;
    g.spaces[0].npages = kSpacePages;
    g.spaces[0].parts.clear();
    for (size_t i = 0; i < parts().size(); i++)
      g.spaces[0].parts.push_back(srv_part{parts()[i], 0, kPartPages[i] * PAGESIZE});
    g.logfilepages = 150;
    g.bifirst = 500;
    g.bilast = 599;
    g.nbitab = 100;
    g.imgmax = 16;
    return g;
  }
  void SetUp() override {
    for (size_t i = 0; i < parts().size(); i++) {
      inst_.write(kPartNames[i], "");
      ASSERT_EQ(truncate(parts()[i].c_str(), off_t{kPartPages[i]} * PAGESIZE), 0);
    }
    SegmentTest::SetUp();
    if (HasFatalFailure()) return;
    std::string why;
    ASSERT_EQ(srv_format(geometry(), &why), SRV_OK) << why;
    bm_loginit(dbs());
    register_slot(kParent);
  }
  layout where() const {
    const dbshead &h = *dbs();
    layout l = {h.dbsstamp, h.bifirst, h.bilast, h.logctl.lc_first, h.logctl.lc_filepages, {}};
    l.first = {0, kPartPages[0]};
    return l;
  }
  std::vector<std::string> parts() const {
    return {inst_.path(kPartNames[0]), inst_.path(kPartNames[1])};
  }
  // Runs the workload for the given seconds with every write and sync of the partitions
  // recorded at record; base receives the dbspace as it was when the record began.
  // Returns the number of updates.
  int run(const std::string &record, int seconds, page *base);
};

page read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return page(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const page &bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

int PowerLoss::run(const std::string &record, int seconds, page *base) {
  ad_checkpoint(dbs());  // the record begins right after a checkpoint
  base->clear();
  for (const std::string &part : parts()) {
    page bytes = read_file(part);
    base->insert(base->end(), bytes.begin(), bytes.end());
  }
  void *shared =
      mmap(nullptr, sizeof(board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (base->size() != size_t{kSpacePages} * PAGESIZE || shared == MAP_FAILED ||
      !iohook::start(record, parts())) {
    ADD_FAILURE() << "cannot begin the record " << record;
    return 0;
  }
  auto *b = new (shared) board;
  std::vector<pid_t> helpers = {fork_child(image_writer), fork_child(flusher),
                                fork_child([b] { return checkpointer(b); })};
  std::vector<pid_t> workers = {fork_child([b] { return logger(b); })};
  for (int u = 0; u < 2; u++)
    workers.push_back(fork_child([=] { return updater(kUpdater + u, b); }));
  sleep(static_cast<unsigned>(seconds));  // the length of the run, not a wait for anything
  // A slow machine runs longer, until the record holds enough to build telling images from.
  EXPECT_TRUE(tolvtest::eventually(
      [b] { return b->checkpoints.load() >= kMinCheckpoints && b->updates.load() >= kMinUpdates; },
      120));
  b->stop.store(1);
  for (pid_t w : workers) EXPECT_EQ(wait_child(w, 120), 0);
  // Offline: the helpers end, after the workers, so that no before image is left behind.
  dbs()->state = kOffline;
  for (pid_t h : helpers) EXPECT_EQ(wait_child(h, 120), 0);
  iohook::stop();
  int updates = b->updates.load();
  munmap(shared, sizeof(board));
  return updates;
}

TEST_F(PowerLoss, CrashImagesKeepWhatRecoveryNeeds) {
  const uint64_t seed = kSettings.seed;
  const int nimages = kSettings.images;
  const bool replay = !kSettings.replay.empty();
  std::string dir = replay ? kSettings.replay : "/tmp/powerloss-XXXXXX";
  page base;
  int updates = 0;
  if (!replay) {
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    updates = run(dir + "/record", kSettings.seconds, &base);
    if (HasFatalFailure()) return;
    write_file(dir + "/base", base);
  } else {
    base = read_file(dir + "/base");
  }
  std::vector<iohook::record> recs;
  ASSERT_TRUE(iohook::load(dir + "/record", &recs)) << dir;
  crashes images(recs, base, where());
  ASSERT_EQ(images.fault(), "");
  ASSERT_GE(images.checkpoints(), 2);
  ASSERT_GT(images.acks(), 0);
  ASSERT_FALSE(images.sync_begins().empty());

  // Each image has its own generator, so that an image is the same whatever else is checked;
  // half the cuts fall at random, half just before a sync (the most writes still unsynced).
  struct cut {
    int at;
    std::mt19937_64 rng;
    int image;
  };
  std::vector<cut> cuts;
  for (int i = 0; i < nimages; i++) {
    std::mt19937_64 rng(seed * 1000003 + static_cast<uint64_t>(i));
    const std::vector<int> &b = images.sync_begins();
    int at = i % 2 == 0 ? static_cast<int>(rng() % static_cast<uint64_t>(images.records() + 1))
                        : b[rng() % b.size()];
    cuts.push_back({at, rng, i});
  }
  std::stable_sort(cuts.begin(), cuts.end(),
                   [](const cut &a, const cut &b) { return a.at < b.at; });
  int failed = 0, torn = 0;
  for (cut &c : cuts) {
    bool tear = c.rng() % 3 == 0;
    torn += tear;
    std::string why = images.check(c.at, c.rng, tear);
    if (!why.empty() && failed++ < 5)
      ADD_FAILURE() << "seed " << seed << " image " << c.image << " cut " << c.at << " of "
                    << images.records() << (tear ? " (torn)" : "") << ": " << why;
  }
  if (failed > 0)
    ADD_FAILURE() << "record kept: TOLV_POWERLOSS_REPLAY=" << dir;
  else if (!replay)
    for (const char *f : {"/record", "/base", ""}) remove((dir + f).c_str());
  printf(
      "powerloss: seed %llu: %d updates, %d records (%d page writes, %d syncs, %d "
      "checkpoints, %d acknowledged log records); %d crash images checked (%d torn), %d "
      "changed pages found with their before images, %d failed\n",
      static_cast<unsigned long long>(seed), updates, images.records(), images.writes(),
      images.syncs(), images.checkpoints(), images.acks(), nimages, torn, images.imaged(), failed);
  EXPECT_EQ(failed, 0);
  EXPECT_GT(images.imaged(), 0) << "no image had a changed page: promise (1) went untested";
}

}  // namespace
