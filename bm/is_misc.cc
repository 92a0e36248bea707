// is_misc: small diagnostics of the access layer: is_hexdump, one message-log line of bytes.
//
// Principal entry point: is_hexdump. Nothing in the daemon calls it; it is kept for debugging
// sessions on a running DBS.
//
// See also: is_misc.h, bm_log (bm_logerr).
#include "bm/is_misc.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "bm/bm_log.h"

void is_hexdump(const char *title, const void *bytes, int length) {
  char line[IS_HEXLINE];
  line[0] = '\0';
  const auto *b = static_cast<const unsigned char *>(bytes);
  int n = b == nullptr ? 0 : std::clamp(length, 0, IS_HEXMAX);
  size_t used = 0;
  for (int i = 0; i < n && used < sizeof line; i++) {
    int c = isprint(b[i]) ? b[i] : ' ';
    int w = snprintf(line + used, sizeof line - used, "%02x%c ", b[i], c);
    if (w < 0) break;
    used += static_cast<size_t>(w);
  }
  bm_logerr("%s: %s\n", title != nullptr ? title : "", line);
}
