// srv_log: the stand-in's log and checkpoint commands (srv_log.h).
//
// Principal entry points: srv_logwrite, srv_logread, srv_logfiles, srv_logrelease,
// srv_checkpoint.
//
// See also: bm/bm_logrec.h, flush/ad_ckpt.h.
#include "tools/srv_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "ba/ba_msg.h"
#include "ba/ba_sys.h"
#include "ba/globals.h"
#include "bm/bm_globals.h"
#include "bm/bm_log.h"
#include "bm/bm_logrec.h"
#include "bm/bm_sema.h"
#include "bm/bm_user.h"
#include "flush/ad_ckpt.h"

namespace {

// The reason of a failed log operation, with the catalog text of iserrno.
int log_failure(std::string *why, const char *what) {
  srv_explain(why, "%s failed: %s (%d)", what,
              iserrno > 0 ? strerror(iserrno) : ba_msgtext(iserrno), iserrno);
  return SRV_IO;
}

// "current+full" and so on: the names of the bits of a state word.
std::string state_names(int16_t s) {
  static const struct {
    int16_t bit;
    const char *name;
  } names[] = {{LS_CURRENT, "current"}, {LS_FULL, "full"},       {LS_FREE, "free"},
               {LS_AUTOFREE, "auto-free"}, {LS_EXEMPT, "exempt"}};
  std::string out;
  for (const auto &n : names)
    if ((s & n.bit) != 0) {
      if (!out.empty()) out += '+';
      out += n.name;
    }
  return out.empty() ? "-" : out;
}

// The lock that makes checkpoints of the stand-in's processes exclude each other: an flock on
// log/<dbs>.ckpt, released by the destructor or by the holder's death.
class ckpt_lock {
 public:
  explicit ckpt_lock(bool wait) {
    char path[LOG_PATHLEN];
    snprintf(path, sizeof path, "%s/log/%s.ckpt", ba_settings.home, ba_settings.dbsname);
    fd_ = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0660);
    held_ = fd_ >= 0 && ba_noeintr([&] { return flock(fd_, wait ? LOCK_EX : LOCK_EX | LOCK_NB); }) == 0;
  }
  ~ckpt_lock() {
    if (fd_ >= 0) close(fd_);
  }
  ckpt_lock(const ckpt_lock &) = delete;
  ckpt_lock &operator=(const ckpt_lock &) = delete;
  bool held() const { return held_; }

 private:
  int fd_;
  bool held_;
};

// One checkpoint, then ckpt_request cleared as the server does. REQUIRES: the lock.
void checkpoint(dbshead *h) {
  ad_checkpoint(h);
  __atomic_store_n(&h->ckpt_request, 0, __ATOMIC_RELEASE);
}

// The size of the DBS message log now (0 when it does not exist yet).
off_t log_size(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

}  // namespace

std::vector<unsigned char> srv_logrecord(int len, int user, int type) {
  std::vector<unsigned char> r(static_cast<size_t>(len));
  for (int i = LR_HEADLEN; i < len - LR_TRAILLEN; i++) r[static_cast<size_t>(i)] = 'a' + i % 26;
  pg_setword(r.data(), LR_LENGTH, len);
  pg_setword(r.data(), LR_USER, user);
  r[LR_TYPE] = static_cast<unsigned char>(type);
  lr_settrailer(r.data() + len - LR_TRAILLEN, len);
  return r;
}

int srv_logwrite(FILE *out, int type, int len, int count, std::string *why) {
  for (int i = 0; i < count; i++) {
    std::vector<unsigned char> r = srv_logrecord(len < LR_MINLEN ? LR_MINLEN : len, bm_sessno(), type);
    logpos *p = bm_wrtlog(len, r.data(), 0);
    if (p == nullptr) return log_failure(why, "bm_wrtlog");
    fprintf(out, "file %d logid %d offset %d\n", p->file, p->logid, p->offset);
  }
  return SRV_OK;
}

int srv_logread(FILE *out, int n, std::string *why) {
  bm_initprev();
  const logctl &lc = *bm_logctl();
  for (int i = 0; i < n; i++) {
    int file = -1, offset = -1;
    char *r = bm_getprev(&file, &offset);
    if (r == nullptr) return log_failure(why, "bm_getprev");
    fprintf(out, "file %d logid %d offset %d length %d user %d type %d\n", file,
            lc.lc_logid[file], offset, pg_word(r, LR_LENGTH), pg_word(r, LR_USER),
            static_cast<unsigned char>(r[LR_TYPE]));
  }
  return SRV_OK;
}

void srv_logfiles(FILE *out) {
  const logctl &lc = *bm_logctl();
  for (int f = 0; f < lc.lc_nfiles && f < LC_MAXFILES; f++) {
    int16_t s = __atomic_load_n(&lc.lc_state[f], __ATOMIC_SEQ_CST);
    fprintf(out, "file %d state 0x%02x %s logid %d bytes %d\n", f, s, state_names(s).c_str(),
            lc.lc_logid[f], lc.lc_bytes[f]);
  }
}

int srv_logrelease(int f, std::string *why) {
  const logctl &lc = *bm_logctl();
  if (f < 0 || f >= lc.lc_nfiles || f >= LC_MAXFILES) {
    srv_explain(why, "no log file %d: the DBS has files 0 to %d", f, lc.lc_nfiles - 1);
    return SRV_BADGEOMETRY;
  }
  int16_t s = __atomic_load_n(&lc.lc_state[f], __ATOMIC_SEQ_CST);
  int16_t released;
  do {
    if ((s & LS_FULL) == 0) {
      srv_explain(why, "log file %d is not full (state 0x%02x %s)", f, s, state_names(s).c_str());
      return SRV_BADGEOMETRY;
    }
    released = static_cast<int16_t>((s & ~LS_FULL) | LS_FREE);
  } while (!__atomic_compare_exchange_n(&lc.lc_state[f], &s, released, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST));
  return SRV_OK;
}

void srv_checkpoint(FILE *out) {
  char path[LOG_PATHLEN];
  snprintf(path, sizeof path, "%s/log/%s", ba_settings.home, ba_settings.dbsname);
  off_t from = log_size(path);
  {
    ckpt_lock lock(true);
    checkpoint(bm_dbs);
  }
  FILE *log = fopen(path, "r");
  if (log == nullptr) return;
  if (fseeko(log, from, SEEK_SET) == 0) {
    char line[512];
    while (fgets(line, sizeof line, log) != nullptr) fputs(line, out);
  }
  fclose(log);
}

bool srv_checkpointdue(const dbshead *h) {
  if (__atomic_load_n(&h->ckpt_request, __ATOMIC_ACQUIRE) != 0) return true;
  bm_p(h->imgsem);
  int unused = 0;
  for (int i = 0; i < h->nbitab; i++) unused += h->bitab[i] == NOPAGE;
  int room = std::min(unused, h->bilast - h->binext + 1 - h->nimg);
  bm_v(h->imgsem);
  return room * 4 < std::min(h->nbitab, h->bilast - h->bifirst + 1);
}

bool srv_checkpointifdue() {
  if (!srv_checkpointdue(bm_dbs)) return false;
  ckpt_lock lock(false);
  if (!lock.held()) return false;
  checkpoint(bm_dbs);
  return true;
}
