// Firmware files from a careless technician's disk, through Write Prog: every
// file is loaded or refused with its reason, none hangs the console, eats its
// memory or puts bytes on the module that are not the firmware's.
#include <filesystem>
#include <fstream>
#include <map>

#include "ImageFiles.h"
#include "download/ImageLoader.h"

using namespace qeld;
using namespace qeld::test;
using namespace qeld::test::files;

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

// A 300 MB file (sparse: it costs no disk) is refused from its size, before a
// byte of it is read.
TEST(ImageFiles, AHugeFileIsRefusedFromItsSizeWithTheLimit) {
  TempDir tmp;
  Loaded l(tmp);
  const uintmax_t size = 300ULL << 20;
  for (const std::string name : {"huge.hex", "huge.bin"}) {
    const std::string path = tmp.path + "/" + name;
    tmp.Write(name, Rec(0, Data(16, 1)) + "\n");
    std::filesystem::resize_file(path, size);
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
  std::filesystem::resize_file(at, kHexFileLimit + 1);
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

