// tolvmsgc: the message catalog compiler.
//
//   tolvmsgc SOURCE OUTPUT.msc   compiles a text source into a binary catalog
//   tolvmsgc -d FILE.msc         lists a catalog back as source
//
// Source: one message a line, "<number><TAB><text>"; the number is decimal and fits a signed
// 16-bit field; the text takes the escapes \n, \t and \\ and is at most 100 bytes once the
// escapes are resolved. Lines beginning with '#' and empty lines are ignored. A number may
// appear once.
//
// The catalog holds the entries in source order and the texts, each ended by a zero byte, in
// the same order after the index. Listing a catalog and compiling the listing therefore gives
// the same file again. Output is written to a temporary file beside the target and renamed
// into place, so a failed run leaves nothing behind and never damages an existing catalog.
//
// Exit status: 0 done, 1 error (malformed source, unreadable or corrupt file), 2 usage.
//
// See also: ba/ba_msg.h (the catalog format and the lookup), share/msg/ (the sources).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ba/ba_msg.h"

namespace {

constexpr int TEXTMAX = MSG_TEXTLEN - 1;  // longest text: 100 bytes
constexpr int COUNTMAX = INT16_MAX;       // the count is a signed 16-bit field

struct message {
  int msgno;
  std::string text;
};

__attribute__((format(printf, 1, 2))) void complain(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("tolvmsgc: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
}

bool read_whole(const std::string &path, std::string *contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    complain("%s: cannot open: %s", path.c_str(), strerror(errno));
    return false;
  }
  std::ostringstream s;
  s << in.rdbuf();
  *contents = s.str();
  return true;
}

// ---- Source ------------------------------------------------------------------------------

// One source line being compiled; its complaints carry the file name and line number.
struct srcline {
  const std::string &file;
  int lineno;

  __attribute__((format(printf, 2, 3))) bool fail(const char *fmt, ...) const {
    char what[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(what, sizeof what, fmt, ap);
    va_end(ap);
    complain("%s:%d: %s", file.c_str(), lineno, what);
    return false;
  }

  bool number(const std::string &word, int *msgno) const {
    size_t digits = word.size() > 0 && word[0] == '-' ? 1 : 0;
    if (digits == word.size() || word.find_first_not_of("0123456789", digits) != std::string::npos)
      return fail("bad message number \"%s\"", word.c_str());
    // At most 6 significant digits are needed to tell a number outside the range.
    size_t first = word.find_first_not_of('0', digits);
    if (first != std::string::npos && word.size() - first > 6)
      return fail("message number %s outside %d..%d", word.c_str(), INT16_MIN, INT16_MAX);
    long v = strtol(word.c_str(), nullptr, 10);
    if (v < INT16_MIN || v > INT16_MAX)
      return fail("message number %s outside %d..%d", word.c_str(), INT16_MIN, INT16_MAX);
    *msgno = static_cast<int>(v);
    return true;
  }

  bool text(const std::string &raw, std::string *text) const {
    text->clear();
    for (size_t i = 0; i < raw.size(); i++) {
      char c = raw[i];
      if (c == '\0') return fail("zero byte in the text");
      if (c == '\\') {
        if (++i == raw.size()) return fail("backslash at the end of the line");
        switch (raw[i]) {
          case 'n': c = '\n'; break;
          case 't': c = '\t'; break;
          case '\\': c = '\\'; break;
          default: return fail("unknown escape \\%c", raw[i]);
        }
      }
      text->push_back(c);
    }
    if (text->size() > TEXTMAX)
      return fail("text longer than %d bytes (%zu)", TEXTMAX, text->size());
    return true;
  }
};

// Parses the whole source; reports every malformed line. True when there was none.
bool parse_source(const std::string &file, const std::string &src, std::vector<message> *out) {
  std::map<int, int> defined;  // number -> line of its definition
  bool ok = true;
  int lineno = 0;
  for (size_t pos = 0; pos < src.size();) {
    size_t end = src.find('\n', pos);
    if (end == std::string::npos) end = src.size();
    std::string line = src.substr(pos, end - pos);
    pos = end + 1;
    srcline at{file, ++lineno};
    if (line.empty() || line[0] == '#') continue;
    size_t tab = line.find('\t');
    message m;
    if (tab == std::string::npos) {
      ok = at.fail("no tab after the message number");
      continue;
    }
    if (!at.number(line.substr(0, tab), &m.msgno) || !at.text(line.substr(tab + 1), &m.text)) {
      ok = false;
      continue;
    }
    auto [it, fresh] = defined.emplace(m.msgno, lineno);
    if (!fresh) {
      ok = at.fail("message %d already defined in line %d", m.msgno, it->second);
      continue;
    }
    out->push_back(std::move(m));
  }
  if (out->size() > COUNTMAX) {
    complain("%s: %zu messages, a catalog holds at most %d", file.c_str(), out->size(), COUNTMAX);
    ok = false;
  }
  return ok;
}

// ---- Catalog -----------------------------------------------------------------------------

void put16(std::string *s, int v) {
  s->push_back(static_cast<char>(v >> 8 & 0xFF));
  s->push_back(static_cast<char>(v & 0xFF));
}

void put32(std::string *s, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) s->push_back(static_cast<char>(v >> shift & 0xFF));
}

int get16(const std::string &s, size_t at) {
  return static_cast<int16_t>(static_cast<unsigned char>(s[at]) << 8 | static_cast<unsigned char>(s[at + 1]));
}

uint32_t get32(const std::string &s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

std::string encode(const std::vector<message> &msgs) {
  std::string out;
  put16(&out, static_cast<int>(msgs.size()));
  uint32_t off = MSG_HEADERLEN + MSG_ENTRYLEN * static_cast<uint32_t>(msgs.size());
  for (const message &m : msgs) {
    put16(&out, m.msgno);
    put32(&out, off);
    off += static_cast<uint32_t>(m.text.size()) + 1;
  }
  for (const message &m : msgs) out.append(m.text).push_back('\0');
  return out;
}

// Decodes a catalog for listing. Strict: whatever could not be compiled back from the listing
// (an index or a text outside the file, an unended or over-long text, a repeated number) is an
// error.
bool decode(const std::string &file, const std::string &cat, std::vector<message> *out) {
  if (cat.size() < MSG_HEADERLEN) {
    complain("%s: shorter than the catalog header", file.c_str());
    return false;
  }
  int count = get16(cat, 0);
  if (count < 0 || MSG_HEADERLEN + MSG_ENTRYLEN * static_cast<size_t>(count) > cat.size()) {
    complain("%s: index of %d entries does not fit the file (%zu bytes)", file.c_str(), count, cat.size());
    return false;
  }
  std::map<int, int> seen;
  for (int i = 0; i < count; i++) {
    size_t at = MSG_HEADERLEN + MSG_ENTRYLEN * static_cast<size_t>(i);
    int msgno = get16(cat, at);
    uint32_t off = get32(cat, at + 2);
    size_t zero = off < cat.size() ? cat.find('\0', off) : std::string::npos;
    const char *bad = off >= cat.size()          ? "text offset beyond the end of the file"
                      : zero == std::string::npos ? "text not ended by a zero byte"
                      : zero - off > TEXTMAX      ? "text longer than 100 bytes"
                      : !seen.emplace(msgno, i).second ? "number listed twice"
                                                       : nullptr;
    if (bad != nullptr) {
      complain("%s: entry %d (message %d): %s", file.c_str(), i, msgno, bad);
      return false;
    }
    out->push_back({msgno, cat.substr(off, zero - off)});
  }
  return true;
}

std::string escape(const std::string &text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

bool write_all(int fd, const std::string &contents) {
  for (size_t done = 0; done < contents.size();) {
    ssize_t n = write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes contents to path through a temporary file in the same directory and a rename, with
// the permissions a newly created file would get (mkstemp alone gives 0600).
bool write_atomic(const std::string &path, const std::string &contents) {
  std::string tmp = path + ".XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) {
    complain("%s: cannot create a temporary file: %s", path.c_str(), strerror(errno));
    return false;
  }
  mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(fd, 0666 & ~mask) == 0 && write_all(fd, contents);
  int err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    complain("%s: cannot write: %s", path.c_str(), strerror(err));
    unlink(tmp.c_str());
  }
  return ok;
}

int compile(const std::string &source, const std::string &output) {
  std::string src;
  std::vector<message> msgs;
  if (!read_whole(source, &src) || !parse_source(source, src, &msgs)) return 1;
  return write_atomic(output, encode(msgs)) ? 0 : 1;
}

int list(const std::string &catalog) {
  std::string cat;
  std::vector<message> msgs;
  if (!read_whole(catalog, &cat) || !decode(catalog, cat, &msgs)) return 1;
  for (const message &m : msgs) printf("%d\t%s\n", m.msgno, escape(m.text).c_str());
  if (fflush(stdout) != 0 || ferror(stdout)) {
    complain("standard output: %s", strerror(errno));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "-d") == 0) return list(argv[2]);
  if (argc == 3 && argv[1][0] != '-') return compile(argv[1], argv[2]);
  fputs("usage: tolvmsgc SOURCE OUTPUT.msc | tolvmsgc -d FILE.msc\n", stderr);
  return 2;
}
