// Tests of ba_pipe: the value encoding over a real pipe pair and a socket pair to a forked
// partner process, buffering, a partner that closes early, send failures, the dump files
// (exclusive creation, no symbolic links) and the byte copies of floating values.
#include "ba/ba_pipe.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "ba/globals.h"

namespace {

using bytes = std::vector<unsigned char>;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

enum class Transport { Pipe, Socket };

// A connected pair of descriptors: [0] is read by one side, [1] written by the other. For a
// socket pair both are bidirectional and the channel uses one descriptor for both ways.
struct Link {
  int rd = -1, wr = -1;
  bool socket = false;
};

Link open_link(Transport t) {
  int fds[2];
  Link l;
  if (t == Transport::Pipe) {
    EXPECT_EQ(pipe(fds), 0);
  } else {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    l.socket = true;
  }
  l.rd = fds[0];
  l.wr = fds[1];
  return l;
}

// Binds the channel of this process to one end of the link.
void bind_writer(const Link &l) { ba_pipeinit(l.socket ? l.wr : -1, l.wr, nullptr, l.socket ? 1 : 0); }
void bind_reader(const Link &l) { ba_pipeinit(l.rd, l.socket ? l.rd : -1, nullptr, l.socket ? 1 : 0); }

bytes read_all(int fd) {
  bytes out;
  unsigned char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

void wait_child(pid_t pid) {
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Runs body in a forked child whose channel writes to the link, flushes and exits; returns
// the bytes the parent received.
bytes from_child(Transport t, const std::function<void()> &body) {
  Link l = open_link(t);
  pid_t pid = fork();
  if (pid == 0) {
    close(l.rd);
    bind_writer(l);
    body();
    _exit(ba_flush() == 0 ? 0 : 3);
  }
  close(l.wr);
  bytes got = read_all(l.rd);
  close(l.rd);
  wait_child(pid);
  return got;
}

// A forked child writes data to the link and exits; the parent's channel reads it in body.
void to_parent(Transport t, const bytes &data, const std::function<void()> &body) {
  Link l = open_link(t);
  pid_t pid = fork();
  if (pid == 0) {
    close(l.rd);
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = write(l.wr, data.data() + done, data.size() - done);
      if (n <= 0) _exit(3);
      done += n;
    }
    _exit(0);
  }
  close(l.wr);
  bind_reader(l);
  body();
  ba_pipeclose();
  wait_child(pid);
}

class Channel : public testing::TestWithParam<Transport> {};

INSTANTIATE_TEST_SUITE_P(PipeAndSocket, Channel, testing::Values(Transport::Pipe, Transport::Socket),
                         [](const testing::TestParamInfo<Transport> &i) {
                           return i.param == Transport::Pipe ? std::string("Pipe") : std::string("Socket");
                         });

// ---- Encoding -----------------------------------------------------------------------------

TEST_P(Channel, IntegersMostSignificantFirst) {
  bytes got = from_child(GetParam(), [] {
    ba_putint(258);
    ba_putint(-1);
    ba_putshort(-2);
    ba_putshort(0x1234);
  });
  EXPECT_EQ(got, (bytes{0, 0, 1, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x12, 0x34}));
}

TEST_P(Channel, IntegersReadBack) {
  to_parent(GetParam(), {0, 0, 1, 2, 0xFF, 0xFE, 0x80, 0, 0, 0, 0x7F, 0xFF}, [] {
    EXPECT_EQ(ba_getint(), 258);
    EXPECT_EQ(ba_getshort(), -2);
    EXPECT_EQ(ba_getint(), INT32_MIN);
    EXPECT_EQ(ba_getshort(), 32767);
    EXPECT_EQ(ba_getint(), -1);  // every byte failed
    EXPECT_EQ(ba_getshort(), -1);
  });
}

TEST_P(Channel, StringsAndMessages) {
  bytes got = from_child(GetParam(), [] {
    ba_putstr("ab");
    ba_putmsg("hi");
    ba_putstr("");
  });
  EXPECT_EQ(got, (bytes{'a', 'b', 27, 0, 1, 'h', 'i', 0}));
}

TEST_P(Channel, QuotedStrings) {
  bytes got = from_child(GetParam(), [] { ba_putquoted("a\"b"); });
  EXPECT_EQ(got, (bytes{'"', 'a', '"', '"', 'b', '"'}));
  got = from_child(GetParam(), [] {
    ba_settings.strplain = 1;  // TOLVSTRING set
    ba_putquoted("a\"b");
  });
  EXPECT_EQ(got, (bytes{'a', '"', '"', 'b'}));
  got = from_child(GetParam(), [] { ba_putquoted(""); });
  EXPECT_EQ(got, (bytes{'"', '"'}));
}

TEST_P(Channel, ByteArraysAsShorts) {
  bytes got = from_child(GetParam(), [] {
    ba_pipeerr = 99;
    const unsigned char data[] = {0, 7, 0xFF};
    ba_putbytes(data, 3);
    if (ba_pipeerr != 0) _exit(4);
  });
  EXPECT_EQ(got, (bytes{0, 0, 0, 7, 0, 0xFF}));
}

TEST_P(Channel, StringsReadUpToTheZeroByte) {
  to_parent(GetParam(), {'a', 'b', 0, 0, 'c', 'd'}, [] {
    char buf[16];
    EXPECT_EQ(ba_getstr(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(ba_getstr(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(ba_getstr(buf, sizeof buf), -1);  // input ends before the zero byte
    EXPECT_STREQ(buf, "cd");
  });
}

TEST_P(Channel, LongStringsAreCutAndTheChannelStaysInStep) {
  to_parent(GetParam(), {'a', 'b', 'c', 'd', 'e', 0, 'x', 0}, [] {
    char buf[4] = "!!!";
    char guard = '#';
    EXPECT_EQ(ba_getstr(buf), PIPE_STRCUT);  // the array's size bounds the copy
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(guard, '#');
    EXPECT_EQ(ba_getstr(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "x");
  });
}

// A string that fills the buffer exactly is whole; one byte more is reported as cut; a cut
// string whose input ends before its zero byte is a failed read.
TEST_P(Channel, CutIsReportedAtTheExactBoundary) {
  to_parent(GetParam(), {'a', 'b', 'c', 0, 'a', 'b', 'c', 'd', 0, 'l', 'o', 'n', 'g'}, [] {
    char buf[4];
    const std::pair<int, const char *> expect[] = {{0, "abc"}, {PIPE_STRCUT, "abc"}, {-1, "lon"}};
    for (const auto &[rc, text] : expect) {
      EXPECT_EQ(ba_getstr(buf), rc) << text;
      EXPECT_STREQ(buf, text);
    }
  });
}

// The 19 integers of a decimal, parsed back from the bytes.
std::vector<int> ints_of(const bytes &b) {
  std::vector<int> v;
  for (size_t i = 0; i + 4 <= b.size(); i += 4)
    v.push_back(static_cast<int>((unsigned(b[i]) << 24) | (b[i + 1] << 16) | (b[i + 2] << 8) | b[i + 3]));
  return v;
}

TEST_P(Channel, DecimalsAsNineteenIntegers) {
  bytes got = from_child(GetParam(), [] {
    if (ba_putdec(-12.25) != 0) _exit(4);
  });
  std::vector<int> want = {1, 0, 2, 12, 25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(ints_of(got), want);
}

TEST_P(Channel, NullMarkerAndFailedConversions) {
  bytes got = from_child(GetParam(), [] {
    double marker;
    memset(&marker, 0x77, sizeof marker);
    if (ba_putdec(marker) != -7) _exit(4);
    if (ba_putdec(INFINITY) != -2) _exit(5);
  });
  std::vector<int> v = ints_of(got);
  ASSERT_EQ(v.size(), 38u);
  std::vector<int> null_dec(19, 0), fail_dec(19, 0);
  null_dec[1] = -1;
  fail_dec[1] = -2;
  EXPECT_EQ(std::vector<int>(v.begin(), v.begin() + 19), null_dec);
  EXPECT_EQ(std::vector<int>(v.begin() + 19, v.end()), fail_dec);
}

TEST_P(Channel, DecimalsReadBack) {
  bytes wire = from_child(GetParam(), [] {
    double marker;
    memset(&marker, 0x77, sizeof marker);
    ba_putdec(1.5);
    ba_putdec(-0.0025);
    ba_putdec(marker);
    ba_putdec(NAN);
  });
  to_parent(GetParam(), wire, [] {
    double v = 9;
    int lost = 9;
    EXPECT_EQ(ba_getdec(&v, &lost), 0);
    EXPECT_EQ(v, 1.5);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(ba_getdec(&v, &lost), 0);
    EXPECT_DOUBLE_EQ(v, -0.0025);
    EXPECT_EQ(ba_getdec(&v, &lost), 0);  // null: value 0, lost
    EXPECT_EQ(v, 0);
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(ba_getdec(&v, &lost), -1);  // sign field -2 is no valid decimal
    EXPECT_EQ(lost, 0);
  });
}

TEST_P(Channel, PartnerClosesEarly) {
  to_parent(GetParam(), {1, 2, 3}, [] {
    EXPECT_EQ(ba_getbyte(), 1);
    EXPECT_EQ(ba_getbyte(), 2);
    EXPECT_EQ(ba_getbyte(), 3);
    EXPECT_EQ(ba_getbyte(), -1);
    EXPECT_EQ(ba_getbyte(), -1);
  });
}

TEST_P(Channel, LargeTransfersCrossTheBuffer) {
  bytes got = from_child(GetParam(), [] {
    for (int i = 0; i < 3000; i++) ba_putshort(i);
  });
  ASSERT_EQ(got.size(), 6000u);
  to_parent(GetParam(), got, [] {
    for (int i = 0; i < 3000; i++) ASSERT_EQ(ba_getshort(), i);
    EXPECT_EQ(ba_getbyte(), -1);
  });
}

// ---- Buffering ----------------------------------------------------------------------------

int pending(int fd) {
  int n = -1;
  ioctl(fd, FIONREAD, &n);
  return n;
}

TEST_P(Channel, The513thByteStaysBuffered) {
  Link l = open_link(GetParam());
  bind_writer(l);
  for (int i = 0; i < 512; i++) ASSERT_EQ(ba_putbyte(i & 0xFF), 0);
  EXPECT_EQ(pending(l.rd), 0);
  ASSERT_EQ(ba_putbyte(0xAB), 0);
  EXPECT_EQ(pending(l.rd), 512);
  ASSERT_EQ(ba_flush(), 0);
  EXPECT_EQ(pending(l.rd), 513);
  ASSERT_EQ(ba_flush(), 0);  // nothing left to send
  EXPECT_EQ(pending(l.rd), 513);
  close(l.rd);
  close(l.wr);
}

TEST(ChannelSetup, SigpipeDisposition) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ba_pipeinit(fds[0], fds[1], nullptr, 0);
  struct sigaction sa;
  sigaction(SIGPIPE, nullptr, &sa);
  EXPECT_EQ(sa.sa_handler, SIG_IGN);
  auto handler = [](int) {};
  ba_pipeinit(fds[0], fds[1], handler, 0);
  sigaction(SIGPIPE, nullptr, &sa);
  EXPECT_EQ(sa.sa_handler, static_cast<ba_sighandler>(handler));
  EXPECT_EQ(ba_pipeclose(), 0);
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
  EXPECT_EQ(fcntl(fds[1], F_GETFD), -1);
}

TEST(ChannelSetup, SocketModeClosesItsDescriptorOnce) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ba_pipeinit(fds[0], fds[0], nullptr, 1);
  EXPECT_EQ(ba_pipeclose(), 0);
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
  close(fds[1]);
}

TEST(ChannelSetup, InitEmptiesTheBuffers) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ba_pipeinit(fds[0], fds[1], nullptr, 0);
  ba_putbyte('x');
  ba_pipeinit(fds[0], fds[1], nullptr, 0);
  ba_putbyte('y');
  ASSERT_EQ(ba_flush(), 0);
  EXPECT_EQ(ba_getbyte(), 'y');
  ba_pipeclose();
}

// ---- Send failures ------------------------------------------------------------------------

TEST_P(Channel, SendToAClosedPartnerFails) {
  Link l = open_link(GetParam());
  close(l.rd);
  bind_writer(l);  // SIGPIPE ignored: the send fails with EPIPE
  ba_settings.debug = 1;
  ba_putint(1);
  CaptureStderr();
  EXPECT_EQ(ba_flush(), -1);
  EXPECT_EQ(GetCapturedStderr(), "ba_flush: write() failed. errno = " + std::to_string(EPIPE) + "\n");
  EXPECT_EQ(ba_pipeerr, EPIPE);
  ba_settings.debug = 0;
  CaptureStderr();
  EXPECT_EQ(ba_flush(), -1);  // the bytes are kept and fail again, silently
  EXPECT_EQ(GetCapturedStderr(), "");
  // A full buffer that cannot be sent refuses further bytes.
  for (int i = 4; i < PIPE_BUFLEN; i++) ASSERT_EQ(ba_putbyte(0), 0);
  EXPECT_EQ(ba_putbyte(0), -1);
  EXPECT_EQ(ba_putint(0), -1);
  close(l.wr);
}

TEST(ChannelErrors, PartialSendKeepsOnlyTheUnsentBytes) {
  // A file size limit of 100 bytes makes the write of a 512-byte block take 100 bytes and the
  // next write fail with EFBIG. After the limit is raised, a second flush must send the other
  // 412 bytes, each exactly once. Runs in a child so that the limit stays there.
  char path[] = "/tmp/ba_pipe_partialXXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{100, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &lim);
    ba_pipeinit(-1, fd, nullptr, 0);
    for (int i = 0; i < PIPE_BUFLEN; i++) ba_putbyte(i & 0xFF);
    if (ba_flush() != -1 || ba_pipeerr != EFBIG) _exit(4);
    lim.rlim_cur = RLIM_INFINITY;
    setrlimit(RLIMIT_FSIZE, &lim);
    _exit(ba_flush() == 0 ? 0 : 5);
  }
  wait_child(pid);
  lseek(fd, 0, SEEK_SET);
  bytes got = read_all(fd);
  close(fd);
  unlink(path);
  ASSERT_EQ(got.size(), static_cast<size_t>(PIPE_BUFLEN));
  for (int i = 0; i < PIPE_BUFLEN; i++) ASSERT_EQ(got[i], i & 0xFF) << i;
}

// ---- Dumps --------------------------------------------------------------------------------

std::string dump_path(const char *name, int n) {
  return "/tmp/pipedump." + std::to_string(getpid()) + "." + name + "." + std::to_string(n);
}

std::string file_text(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  bytes b = read_all(fd);
  close(fd);
  return std::string(b.begin(), b.end());
}

TEST(PipeDump, NumberedFilesWithMode0600) {
  ba_pipedump("abc", 3, "t1");
  ba_pipedump("defg", 4, "t1");
  EXPECT_EQ(file_text(dump_path("t1", 0)), "abc");
  EXPECT_EQ(file_text(dump_path("t1", 1)), "defg");
  struct stat st;
  ASSERT_EQ(stat(dump_path("t1", 0).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  unlink(dump_path("t1", 0).c_str());
  unlink(dump_path("t1", 1).c_str());
}

TEST(PipeDump, ExistingFileIsNotWritten) {
  std::string path = dump_path("t2", 0);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "old", 3), 3);
  close(fd);
  ba_pipedump("new data", 8, "t2");
  EXPECT_EQ(file_text(path), "old");
  ba_pipedump("next", 4, "t2");  // the sequence number moved on
  EXPECT_EQ(file_text(dump_path("t2", 1)), "next");
  unlink(path.c_str());
  unlink(dump_path("t2", 1).c_str());
}

TEST(PipeDump, PlantedSymlinkIsNotFollowed) {
  char target[] = "/tmp/pipedump_targetXXXXXX";
  int tfd = mkstemp(target);
  ASSERT_GE(tfd, 0);
  ASSERT_EQ(write(tfd, "secret", 6), 6);
  close(tfd);
  std::string path = dump_path("t3", 0);
  ASSERT_EQ(symlink(target, path.c_str()), 0);
  ba_pipedump("overwritten", 11, "t3");
  EXPECT_EQ(file_text(target), "secret");
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  unlink(path.c_str());
  unlink(target);
}

TEST(PipeDump, NamesWithSlashesAreRefused) {
  ba_pipedump("x", 1, "../etc");
  ba_pipedump("x", 1, "a/b");
  ba_pipedump("x", 1, nullptr);
  EXPECT_EQ(access(("/tmp/pipedump." + std::to_string(getpid()) + "..").c_str(), F_OK), -1);
  EXPECT_EQ(file_text(dump_path("a/b", 1)), "<missing>");
  ba_pipedump("ok", 2, "t4");  // the refused dumps still counted
  EXPECT_EQ(file_text(dump_path("t4", 3)), "ok");
  unlink(dump_path("t4", 3).c_str());
}

TEST(PipeDump, OverlongNameIsRefused) {
  std::string name(400, 'n');
  ba_pipedump("x", 1, name.c_str());
  ba_pipedump("ok", 2, "t5");
  EXPECT_EQ(file_text(dump_path("t5", 1)), "ok");
  unlink(dump_path("t5", 1).c_str());
}

// ---- Floating values as bytes ---------------------------------------------------------------

TEST(FloatBytes, MemoryOrderAndUnalignedAddresses) {
  unsigned char buf[16];
  ba_dbl2bytes(-1.5, buf + 1);
  double d = -1.5;
  EXPECT_EQ(memcmp(buf + 1, &d, 8), 0);
  EXPECT_EQ(ba_bytes2dbl(buf + 1), -1.5);
  ba_flt2bytes(0.25f, buf + 3);
  float f = 0.25f;
  EXPECT_EQ(memcmp(buf + 3, &f, 4), 0);
  EXPECT_EQ(ba_bytes2flt(buf + 3), 0.25f);
}

}  // namespace
