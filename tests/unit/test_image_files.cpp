// Firmware files from a careless technician's disk, through Write Prog: every
// file is loaded or refused with its reason, none hangs the console, eats its
// memory or puts bytes on the module that are not the firmware's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>

#include "ConsoleHarness.h"
#include "download/ImageLoader.h"

using namespace qeld;
using namespace qeld::test;
using namespace std::chrono_literals;

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/qeld-files-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string Write(const std::string& name, const std::string& content) const {
    std::ofstream(path + "/" + name, std::ios::binary) << content;
    return path + "/" + name;
  }
};

// One Intel HEX record, without a line end.
std::string Rec(unsigned addr, const Bytes& data, unsigned type = 0) {
  std::string s = Format(":%02X%04X%02X", static_cast<unsigned>(data.size()), addr, type);
  unsigned sum = data.size() + (addr >> 8) + (addr & 0xFF) + type;
  for (uint8_t b : data) {
    s += Format("%02X", b);
    sum += b;
  }
  return s + Format("%02X", (0x100 - (sum & 0xFF)) & 0xFF);
}
const std::string kEnd = ":00000001FF";

Bytes Data(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 11 + seed);
  return b;
}

// What Write Prog made of a file: the one message box, if any.
std::string Box(const Console& c) { return c.w.boxes.empty() ? "" : c.w.boxes.back().text; }

// The message as one clean text: no control character but its line breaks.
bool Clean(const std::string& text) {
  for (char ch : text)
    if ((static_cast<unsigned char>(ch) < 0x20 && ch != '\n') || ch == 0x7F) return false;
  return true;
}

// A connected console that has downloaded a small BIN, so that what a refused
// file leaves behind can be seen.
struct Loaded {
  Console c;
  Bytes image;
  explicit Loaded(const TempDir& tmp) {
    c.Connect();
    std::string bin(130, '\x5A');
    c.w.fileScript.push_back(tmp.Write("good.bin", bin));
    c.w.Click(ctl::kWriteProg);
    for (int guard = 0; guard < 10 && c.d.m_bDownloading; ++guard) {
      c.Answer('s', " ");
      c.w.Advance(0);
    }
    image = c.d.m_Image;
    c.line.writes.clear();
    c.w.boxes.clear();
  }
  // Write Prog with this file; the message box text ("" if none).
  std::string Choose(const std::string& path) {
    c.w.boxes.clear();
    c.w.fileScript.push_back(path);
    c.w.Click(ctl::kWriteProg);
    return Box(c);
  }
  // Nothing sent, nothing started, the earlier image and its kind in place.
  void ExpectUntouched(const std::string& what) {
    EXPECT_TRUE(c.line.writes.empty()) << what;
    EXPECT_EQ(c.d.m_bDownloading, 0) << what;
    EXPECT_EQ(c.d.m_bBinImage, 1) << what;
    EXPECT_EQ(c.d.m_nImageLength, 130u) << what;
    EXPECT_TRUE(c.d.m_Image == image) << what << ": the earlier image was changed";
    ASSERT_FALSE(c.w.boxes.empty()) << what;
    EXPECT_EQ(c.w.boxes.back().flags & MB_ICONSTOP, unsigned{MB_ICONSTOP}) << what;
  }
};

}  // namespace

// HEX files that are firmware: the image holds exactly their data records'
// bytes at their 16-bit offsets, 0xFF everywhere else, and the download starts.
TEST(ImageFiles, HexFilesThatLoadGiveExactlyTheirDataBytes) {
  TempDir tmp;
  const Bytes a = Data(16, 1), b = Data(16, 2), max = Data(255, 3);
  struct Row {
    std::string name, content;
    std::map<unsigned, Bytes> expect;  // offset -> bytes
  };
  const std::vector<Row> rows = {
      {"crlf.hex", Rec(0x100, a) + "\r\n" + Rec(0x110, b) + "\r\n" + kEnd + "\r\n", {{0x100, a}, {0x110, b}}},
      {"lf.hex", Rec(0x100, a) + "\n" + Rec(0x110, b) + "\n" + kEnd + "\n", {{0x100, a}, {0x110, b}}},
      {"cr.hex", Rec(0x100, a) + "\r" + Rec(0x110, b) + "\r" + kEnd + "\r", {{0x100, a}, {0x110, b}}},
      {"mixed-ends-blank-lines.hex", "\r\n\n  \t\r" + Rec(0x100, a) + "\r\r\n\n" + Rec(0x110, b) + " \t\n\n" + kEnd,
       {{0x100, a}, {0x110, b}}},
      {"joined.hex", Rec(0x100, a) + Rec(0x110, b) + kEnd + "\r\n", {{0x100, a}, {0x110, b}}},
      {"joined-with-blanks.hex", "  " + Rec(0x100, a) + " " + Rec(0x110, b) + "\t" + kEnd, {{0x100, a}, {0x110, b}}},
      // Base 0x08000000 first, the start address before the end record.
      {"type04-type05.hex",
       Rec(0, {0x08, 0x00}, 4) + "\r\n" + Rec(0x100, a) + "\r\n" + Rec(0, {0x08, 0x00, 0x01, 0x23}, 5) + "\r\n" + kEnd,
       {{0x100, a}}},
      {"type02-type03.hex",
       Rec(0, {0x10, 0x00}, 2) + "\n" + Rec(0x100, a) + "\n" + Rec(0, {0x12, 0x34, 0x56, 0x78}, 3) + "\n" + kEnd,
       {{0x100, a}}},
      // Address records repeated, and one for a segment that gets no data.
      {"one-segment.hex",
       Rec(0, {0, 0}, 4) + "\n" + Rec(0x100, a) + "\n" + Rec(0, {0, 1}, 4) + "\n" + Rec(0, {0, 0}, 4) + "\n" +
           Rec(0x110, b) + "\n" + Rec(0, {0, 2}, 4) + "\n" + kEnd,
       {{0x100, a}, {0x110, b}}},
      // The longest record, its last byte at the last offset sent.
      {"longest-record.hex", Rec(0xA000 - 255, max) + "\n" + kEnd + "\n", {{0xA000 - 255, max}}},
      // An empty data record ends the file like the end record: what follows,
      // records or not, is not read.
      {"empty-record-ends.hex", Rec(0x100, a) + "\n" + Rec(0x200, {}) + "\n" + Rec(0x110, b) + "\nnot a record\n",
       {{0x100, a}}},
      {"no-end-of-line.hex", Rec(0x100, a) + "\n" + kEnd, {{0x100, a}}},
  };
  for (const Row& r : rows) {
    Console c;
    c.Connect();
    c.w.fileScript.push_back(tmp.Write(r.name, r.content));
    c.w.Click(ctl::kWriteProg);
    EXPECT_EQ(Box(c), "") << r.name;
    EXPECT_EQ(c.d.m_bHexImage, 1) << r.name;
    EXPECT_EQ(c.d.m_bDownloading, 1) << r.name;
    EXPECT_EQ(c.line.Frames().size(), 1u) << r.name << ": the first block";
    Bytes expect(kHexImageLength, 0xFF);
    for (const auto& [at, bytes] : r.expect) std::copy(bytes.begin(), bytes.end(), expect.begin() + at);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), c.d.m_Image.begin())) << r.name;
  }
}

TEST(ImageFiles, HexFilesThatWouldFlashWrongBytesAreRefusedWithTheirLine) {
  TempDir tmp;
  const Bytes a = Data(16, 1);
  struct Row {
    std::string name, content, expect;
  };
  const std::string mega(1u << 20, '0');
  const std::string tooLong =
      "more than 521 characters without a new record or a line end (the longest valid record, with 255 data bytes, "
      "has 521)";
  const std::vector<Row> rows = {
      {"second-segment-04.hex",
       Rec(0, {0, 0}, 4) + "\n" + Rec(0x100, a) + "\n" + Rec(0, {0, 1}, 4) + "\n" + Rec(0x100, a) + "\n" + kEnd,
       "line 4: data at 0x00010100 lies in a second segment (the data before it is in the segment at 0x00000000); "
       "a HEX image holds one"},
      {"second-segment-02.hex", Rec(0x100, a) + "\n" + Rec(0, {0x10, 0x00}, 2) + "\n" + Rec(0x20, a) + "\n" + kEnd,
       "line 3: data at 0x00010020 lies in a second segment (the data before it is in the segment at 0x00000000)"},
      {"at-A000.hex", Rec(0xA000, a) + "\n" + kEnd,
       "line 1: data at 0x0000A000 lies beyond the 40960 bytes a HEX download sends"},
      {"across-A000.hex", Rec(0x100, a) + "\n" + Rec(0x9FF8, a) + "\n" + kEnd,
       "line 2: data at 0x0000A000 lies beyond the 40960 bytes a HEX download sends"},
      {"at-A000-of-0800.hex", Rec(0, {0x08, 0x00}, 4) + "\n" + Rec(0xFFF0, a) + "\n" + kEnd,
       "line 2: data at 0x0800FFF0 lies beyond the 40960 bytes a HEX download sends"},
      {"unknown-type.hex", Rec(0x100, a) + "\r\n" + Rec(0x110, a, 6) + "\r\n" + kEnd, "line 2: unknown record type 06"},
      {"short-address.hex", Rec(0, {0x08}, 4) + "\n" + kEnd,
       "line 1: an address record (type 04) holds 2 bytes, not 1"},
      {"megabyte-record.hex", ":" + mega + "\n" + kEnd, "line 1: " + tooLong},
      {"megabyte-text.hex", Rec(0x100, a) + "\r" + std::string(1u << 20, 'x') + kEnd, "line 2: " + tooLong},
      {"megabyte-blanks-then-text.hex", Rec(0x100, a) + std::string(1u << 20, ' ') + "00" + "\n" + kEnd,
       "line 1: " + tooLong},
      {"joined-bad-sum.hex", Rec(0x100, a) + ":0100010002FF" + kEnd, "line 1: checksum mismatch: computed 0xFC, found 0xFF"},
      {"text-between.hex", Rec(0x100, a) + "\r\nhello\r\n" + kEnd, "line 2: no record (missing ':')"},
      {"text-before.hex", Rec(0x100, a) + "\rx" + kEnd, "line 2: text before the record"},
      {"control-char.hex", ":0100\x01" "000FE\r\n" + kEnd, "line 1: '\\x01' is not a hex digit (column 6)"},
      {"high-byte.hex", "  :01000000\xE9" "0FE\r\n" + kEnd, "line 1: '\\xE9' is not a hex digit (column 12)"},
      {"tab-inside.hex", ":0100\t00000FF\n" + kEnd, "line 1: '\\t' is not a hex digit (column 6)"},
      {"no-end.hex", Rec(0x100, a) + "\r\n\r\n", "line 3: the file ends before its end record"},
  };
  Loaded l(tmp);
  for (const Row& r : rows) {
    const std::string box = l.Choose(tmp.Write(r.name, r.content));
    EXPECT_NE(box.find("\n" + r.expect), std::string::npos) << r.name << ": " << box;
    EXPECT_TRUE(Clean(box)) << r.name;
    l.ExpectUntouched(r.name);
  }
  // A file name with control characters in it is shown escaped too.
  const std::string box = l.Choose(tmp.Write("fw\x1b[2J\n.hex", Rec(0xA000, a) + "\n" + kEnd));
  EXPECT_NE(box.find("fw\\x1B[2J\\n.hex !"), std::string::npos) << box;
  EXPECT_TRUE(Clean(box));
  l.ExpectUntouched("escaped name");
}

// A FIFO chosen as a firmware file: refused at once for what it is. Opening
// one for reading would wait for a writer forever; the load runs on a thread
// here so that such a fault fails the test instead of hanging it.
TEST(ImageFiles, AFifoIsRefusedAtOnceAndNeverWaitedOn) {
  TempDir tmp;
  Loaded l(tmp);
  for (const std::string name : {"x.hex", "x.bin"}) {
    const std::string path = tmp.path + "/" + name;
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    auto load = std::async(std::launch::async, [&] { return l.Choose(path); });
    if (load.wait_for(1s) != std::future_status::ready) {
      // Release the hung open so that the test can end, and fail.
      const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) close(fd);
      load.wait();
      FAIL() << name << ": Write Prog waited on the FIFO";
    }
    EXPECT_NE(load.get().find("\nnot a regular file: it is a FIFO (named pipe)\nNothing was sent."),
              std::string::npos)
        << name;
    l.ExpectUntouched(name);
  }
}

// A 300 MB file (sparse: it costs no disk) is refused from its size, before a
// byte of it is read.
TEST(ImageFiles, AHugeFileIsRefusedFromItsSizeWithTheLimit) {
  TempDir tmp;
  Loaded l(tmp);
  const off_t size = 300LL << 20;
  for (const std::string name : {"huge.hex", "huge.bin"}) {
    const std::string path = tmp.path + "/" + name;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const std::string head = Rec(0, Data(16, 1)) + "\n";
    ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
    const std::string box = l.Choose(path);
    const std::string expect = name == "huge.hex"
                                   ? "the file has 314572800 bytes; a HEX file of the whole flash has at most 4194304"
                                   : "the file has 314572800 bytes; the module's flash takes at most 229376";
    EXPECT_NE(box.find("\n" + expect + "\n"), std::string::npos) << box;
    l.ExpectUntouched(name);
  }
  // The bound itself: a HEX file of exactly the limit is read (and here
  // refused for its content); one byte more is refused from its size.
  const std::string at = tmp.path + "/limit.hex";
  {
    std::ofstream out(at, std::ios::binary);
    out << std::string(kHexFileLimit, '\n');
  }
  EXPECT_NE(l.Choose(at).find("line 4194305: the file ends before its end record"), std::string::npos) << Box(l.c);
  ASSERT_EQ(truncate(at.c_str(), kHexFileLimit + 1), 0);
  EXPECT_NE(l.Choose(at).find("the file has 4194305 bytes"), std::string::npos) << Box(l.c);
}

TEST(ImageFiles, BinOfTheWholeFlashLoadsAndOneByteMoreIsRefused) {
  TempDir tmp;
  Loaded l(tmp);
  const Bytes big = Data(229377, 7);
  const std::string over = l.Choose(tmp.Write("over.bin", std::string(big.begin(), big.end())));
  EXPECT_NE(over.find("the file has 229377 bytes; the module's flash takes at most 229376"), std::string::npos)
      << over;
  l.ExpectUntouched("229377 bytes");

  EXPECT_EQ(l.Choose(tmp.Write("whole.bin", std::string(big.begin(), big.end() - 1))), "");
  EXPECT_EQ(l.c.d.m_bBinImage, 1);
  EXPECT_EQ(l.c.d.m_nImageLength, 229376u);
  EXPECT_EQ(l.c.d.m_bDownloading, 1);
  EXPECT_TRUE(std::equal(big.begin(), big.end() - 1, l.c.d.m_Image.begin()));
  ASSERT_EQ(l.c.line.Frames().size(), 1u);
  EXPECT_EQ(l.c.line.Frames()[0][3], 's');
}

// Folders and devices are refused for what they are; a file that cannot be
// read says so.
TEST(ImageFiles, OtherThingsThanFilesAreRefusedWithTheirKind) {
  TempDir tmp;
  Loaded l(tmp);
  ASSERT_EQ(mkdir((tmp.path + "/dir.hex").c_str(), 0700), 0);
  EXPECT_NE(l.Choose(tmp.path + "/dir.hex").find("\nnot a regular file: it is a folder\n"), std::string::npos);
  l.ExpectUntouched("folder");
  ASSERT_EQ(symlink("/dev/null", (tmp.path + "/null.bin").c_str()), 0);
  EXPECT_NE(l.Choose(tmp.path + "/null.bin").find("\nnot a regular file: it is a character device\n"),
            std::string::npos);
  l.ExpectUntouched("device");
  if (geteuid() != 0) {  // root reads any file whatever its mode
    const std::string locked = tmp.Write("locked.hex", Rec(0, {1}) + "\n" + kEnd);
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_NE(l.Choose(locked).find("\ncannot open: Permission denied\n"), std::string::npos) << Box(l.c);
    l.ExpectUntouched("unreadable");
  }
}
