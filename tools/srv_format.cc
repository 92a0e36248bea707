// srv_format: creation and formatting of the partition files of a new DBS.
//
// Principal entry points: srv_makefiles (create the missing files), srv_unmakefiles (remove
// them again), srv_format (write every page), srv_formatpage (one page).
//
// See also: srv_format.h (contract), srv_layout.h (page layouts).
#include "tools/srv_format.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kChunkPages = 64;  // pages written per system call while formatting

int fail(std::string *why, const std::string &text) {
  if (why != nullptr) *why = text;
  return SRV_FILE;
}

// "<what> <path>[ <after>]: <system error text>".
std::string syserr(const char *what, const std::string &path, const char *after = "") {
  return std::string(what) + " " + path + after + ": " + strerror(errno);
}

// ---- Creating the files -----------------------------------------------------------------

// Bytes each file must hold: the end of the last of its partitions, files in first-named order.
std::vector<std::pair<std::string, int64_t>> file_sizes(const std::vector<srv_space> &spaces) {
  std::vector<std::pair<std::string, int64_t>> files;
  for (const srv_space &s : spaces)
    for (const srv_part &p : s.parts) {
      auto it = std::find_if(files.begin(), files.end(),
                             [&](const auto &f) { return f.first == p.device; });
      if (it == files.end()) it = files.insert(files.end(), {p.device, 0});
      it->second = std::max(it->second, int64_t{p.offset} + p.size);
    }
  return files;
}

// An existing file is kept: only a symbolic link or something that is neither a file nor a
// device is refused. *exists tells whether it exists.
int check_existing(const std::string &path, bool *exists, std::string *why) {
  struct stat st;
  *exists = lstat(path.c_str(), &st) == 0;
  if (!*exists) return errno == ENOENT ? SRV_OK : fail(why, syserr("cannot examine", path));
  if (S_ISLNK(st.st_mode)) return fail(why, path + " is a symbolic link");
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode) && !S_ISCHR(st.st_mode))
    return fail(why, path + " is neither a file nor a device");
  return SRV_OK;
}

// Creates one file. It is created with mode 0600 and gets its owner before it is opened up to
// 0660, so nobody but the owner can ever open a file of the wrong owner.
int make_file(const std::string &path, int64_t size, const passwd &owner,
              std::vector<std::string> *created, std::string *why) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return fail(why, syserr("cannot create partition file", path));
  created->push_back(path);
  int r = SRV_OK;
  if (fchown(fd, owner.pw_uid, owner.pw_gid) < 0)
    r = fail(why, syserr("cannot give partition file", path, " to user tolv"));
  else if (fchmod(fd, SRV_PARTMODE) < 0)
    r = fail(why, syserr("cannot set the mode of", path));
  else if (ftruncate(fd, size) < 0)
    r = fail(why, syserr("cannot size", path));
  if (close(fd) < 0 && r == SRV_OK) r = fail(why, syserr("cannot close", path));
  return r;
}

// ---- Formatting -------------------------------------------------------------------------

void put_be32(unsigned char *p, int32_t v) {
  auto u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(u >> (24 - 8 * i));
}

// Bitmap c of the chain: the next bitmap's page number, and a set bit for every page that is
// reserved or lies beyond the dbspace.
void bitmap_page(const srv_areas &a, int c, unsigned char *page) {
  int last = srv_nbitmaps(a.npages) - 1;
  pg_setword(page, PH_PAGETYPE, PT_BITMAP);
  pg_setword(page, BMP_NEXT, c < last ? srv_pagenr(a.space, srv_bitmappage(c + 1)) : NOPAGE);
  for (int32_t j = 0; j < BMP_PAGES; j++) {
    int64_t k = int64_t{c} * BMP_PAGES + j;
    if (k >= a.npages || a.reserved(static_cast<int32_t>(k)) != nullptr)
      page[BMP_BITS + j / 8] |= static_cast<unsigned char>(0x80 >> (j % 8));
  }
}

void tabmap_page(unsigned char *page) {
  pg_setword(page, PH_PAGETYPE, PT_TABMAP);
  pg_setword(page, TM_NEXT, NOPAGE);
  pg_setword(page, TM_WORD12, NOPAGE);
  for (int i = 0; i < TM_ENTRIES; i++) put_be32(page + PH_DATA + TM_ENTRYLEN * i, NOPAGE);
}

void loghead_page(const srv_geometry &g, int f, unsigned char *page) {
  pg_setword(page, PH_PAGETYPE, PT_LOGHEAD);
  pg_setword(page, PH_STAMP, g.dbsstamp);
  pg_setword(page, PH_BISEQ, srv_logheadseq(f));
  pg_setword(page, PH_BISEQ2, srv_logheadseq(f));
  pg_setword(page, PH_DATA, srv_newlogid(f));
  pg_setword(page, PH_DATA + 4, 0);
}

// The before-image area's first page, as a checkpoint leaves it: nothing imaged yet.
void cleaning_page(const srv_geometry &g, unsigned char *page) {
  pg_setword(page, PH_STAMP, g.dbsstamp);
  pg_setword(page, PH_BISEQ, BI_CLEANSEQ);
  pg_setword(page, PH_BISEQ2, BI_CLEANSEQ);
}

int write_all(int fd, const unsigned char *buf, size_t n, int64_t pos) {
  while (n > 0) {
    ssize_t w = pwrite(fd, buf, n, pos);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return -1;
    }
    buf += w;
    n -= static_cast<size_t>(w);
    pos += w;
  }
  return 0;
}

// Formats partition part of the dbspace a; *k is the dbspace's page number of its first page
// and is advanced past it.
int format_part(const srv_geometry &g, const srv_areas &a, const srv_part &part, int32_t *k,
                std::string *why) {
  int fd = open(part.device.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return fail(why, syserr("cannot open partition file", part.device));
  std::vector<unsigned char> chunk(size_t{kChunkPages} * PAGESIZE);
  int32_t npages = part.size / PAGESIZE;
  int r = SRV_OK;
  for (int32_t i = 0; i < npages && r == SRV_OK; i += kChunkPages) {
    int32_t n = std::min(kChunkPages, npages - i);
    for (int32_t j = 0; j < n; j++) srv_formatpage(g, a, *k + i + j, &chunk[size_t(j) * PAGESIZE]);
    if (write_all(fd, chunk.data(), size_t(n) * PAGESIZE,
                  int64_t{part.offset} + int64_t{i} * PAGESIZE) < 0)
      r = fail(why, syserr("cannot write the pages of", part.device));
  }
  if (r == SRV_OK && fsync(fd) < 0) r = fail(why, syserr("cannot sync", part.device));
  if (close(fd) < 0 && r == SRV_OK) r = fail(why, syserr("cannot close", part.device));
  *k += npages;
  return r;
}

}  // namespace

int srv_makefiles(const std::vector<srv_space> &spaces, std::vector<std::string> *created,
                  std::string *why) {
  const passwd *pw = getpwnam(SRV_OWNER);
  if (pw == nullptr) return fail(why, "the user tolv does not exist");
  passwd owner = *pw;
  std::vector<std::string> made;
  int r = SRV_OK;
  for (const auto &[path, size] : file_sizes(spaces)) {
    bool exists = false;
    r = check_existing(path, &exists, why);
    if (r == SRV_OK && !exists) r = make_file(path, size, owner, &made, why);
    if (r != SRV_OK) break;
  }
  if (r != SRV_OK) {
    srv_unmakefiles(made);
    return r;
  }
  created->insert(created->end(), made.begin(), made.end());
  return SRV_OK;
}

void srv_unmakefiles(const std::vector<std::string> &created) {
  for (const std::string &path : created) unlink(path.c_str());
}

void srv_formatpage(const srv_geometry &g, const srv_areas &a, int32_t k, unsigned char *page) {
  memset(page, 0, PAGESIZE);
  pg_setword(page, PH_PAGENR, srv_pagenr(a.space, k));
  if (k >= a.npages) return;
  if (k == TM_FIRST) {
    tabmap_page(page);
  } else if (k != ROOTPAGE && k < a.headpages) {
    bitmap_page(a, k == srv_bitmappage(0) ? 0 : k - TM_FIRST, page);
  } else if (k >= a.logfirst && k < a.logend) {
    if ((k - a.logfirst) % g.logfilepages == 0)
      loghead_page(g, (k - a.logfirst) / g.logfilepages, page);
  } else if (k == a.bifirst && a.biend > a.bifirst) {
    cleaning_page(g, page);
  }
}

int srv_format(const srv_geometry &g, std::string *why) {
  for (size_t d = 0; d < g.spaces.size(); d++) {
    srv_areas a = srv_spaceareas(g, static_cast<int>(d));
    int32_t k = 0;
    for (const srv_part &part : g.spaces[d].parts) {
      int r = format_part(g, a, part, &k, why);
      if (r != SRV_OK) return r;
    }
  }
  return SRV_OK;
}
