// Firmware images and the block download, headless.
#include <unistd.h>

#include <fstream>

#include "ConsoleHarness.h"
#include "TempDir.h"
#include "download/ImageLoader.h"

using namespace qeld;
using namespace qeld::test;

namespace {

struct ImageDir : TempDir {
  ImageDir() : TempDir("qeld-img") {}
  std::string Write(const std::string& name, const std::string& content) const {
    std::ofstream(path + "/" + name, std::ios::binary) << content;
    return path + "/" + name;
  }
};

// An Intel HEX data record.
std::string Record(unsigned addr, const std::vector<uint8_t>& data, unsigned type = 0) {
  std::string s = Format(":%02X%04X%02X", static_cast<unsigned>(data.size()), addr, type);
  unsigned sum = data.size() + (addr >> 8) + (addr & 0xFF) + type;
  for (uint8_t b : data) {
    s += Format("%02X", b);
    sum += b;
  }
  return s + Format("%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
}
const char* kEof = ":00000001FF\r\n";

std::string Bin(size_t n, uint8_t seed = 1) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed) & 0xFF);
  return s;
}

struct Download : ::testing::Test {
  Console c;
  ImageDir tmp;
  void SetUp() override { c.Connect(); }
  // Runs a download, answering every block, and returns the block frames.
  std::vector<Bytes> Run(const std::string& file, std::vector<int>* progress = nullptr) {
    c.w.fileScript.push_back(file);
    c.line.writes.clear();
    EXPECT_TRUE(c.w.Click(ctl::kWriteProg));
    for (int guard = 0; guard < 5000 && c.d.m_bDownloading; ++guard) {
      c.Answer('s', " ");
      if (progress) progress->push_back(c.d.m_nProgress);
      c.w.Advance(0);  // the posted UM_SEND_NEXT sends the next block
    }
    return c.line.Frames();
  }
};

}  // namespace

TEST_F(Download, BlockEncodingOfOffsetAndBytes) {
  c.d.m_nImageOffset = 0x0A000;
  c.d.m_Image[0x0A000] = 0xAB;
  c.Send(21);
  const Bytes f = c.line.Last();
  ASSERT_EQ(f.size(), 267u);
  EXPECT_EQ(Hex(Bytes(f.begin() + 4, f.begin() + 9)), "30 3A 30 30 30");
  EXPECT_EQ(Hex(Bytes(f.begin() + 9, f.begin() + 11)), "3A 3B");
  EXPECT_EQ(c.d.m_nImageOffset, 0x0A000u + 128);
}

TEST_F(Download, ThousandByteBinGoesOutInEightBlocksPaddedWithFF) {
  const std::string data = Bin(1000);
  auto blocks = Run(tmp.Write("fw.bin", data));
  ASSERT_EQ(blocks.size(), 8u);
  for (size_t k = 0; k < blocks.size(); ++k) {
    const Bytes& f = blocks[k];
    ASSERT_EQ(f.size(), 267u);
    EXPECT_EQ(f[3], 's');
    for (int i = 0; i < 128; ++i) {
      const size_t at = k * 128 + i;
      const uint8_t expect = at < 1000 ? static_cast<uint8_t>(data[at]) : 0xFF;
      ASSERT_EQ(((f[9 + 2 * i] - 0x30) << 4) | (f[10 + 2 * i] - 0x30), expect) << at;
    }
  }
  EXPECT_EQ(c.w.boxes.back().text, "Downloading Done!");
  EXPECT_EQ(c.w.GetProgressPos(ctl::kProgress), 200);
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_FALSE(c.w.TimerRunning(kTimerProgress));
}

TEST_F(Download, HexImageOf40KGoesOutIn320BlocksWithProgress) {
  std::string hex;
  for (unsigned a = 0; a < 0xA000; a += 32) {
    std::vector<uint8_t> d(32);
    for (int i = 0; i < 32; ++i) d[i] = static_cast<uint8_t>((a + i) * 13);
    hex += Record(a, d);
  }
  hex += kEof;
  std::vector<int> progress;
  auto blocks = Run(tmp.Write("fw.hex", hex), &progress);
  ASSERT_EQ(blocks.size(), 320u);
  ASSERT_EQ(progress.size(), 320u);
  for (unsigned n = 1; n < 320; ++n) EXPECT_EQ(progress[n - 1], static_cast<int>(n * 128 * 200 / 40960)) << n;
  EXPECT_EQ(progress.back(), 200);
  EXPECT_EQ(c.d.m_bHexImage, 1);
  EXPECT_EQ(c.d.m_bBinImage, 0);
  // Progress bar follows on its own timer, not per block.
  EXPECT_EQ(c.w.boxes.back().text, "Downloading Done!");
}

TEST_F(Download, WhileDownloadingOnlyTheDownloadFrameIsEnabled) {
  c.w.fileScript.push_back(tmp.Write("fw.bin", Bin(300)));
  c.w.Click(ctl::kWriteProg);
  c.w.Advance(100);
  EXPECT_EQ(c.d.m_bDownloading, 1);
  EXPECT_TRUE(c.w.IsEnabled(ctl::kDownloadFrame));
  for (int id : {1001, 1170, 1171, 1172, 1173, ctl::kCancelRepeat}) EXPECT_FALSE(c.w.IsEnabled(id)) << id;
  c.w.Advance(300);
  EXPECT_TRUE(c.w.TimerRunning(kTimerProgress));
}

TEST_F(Download, DeviceErrorStopsTheDownloadAtThatBlock) {
  c.w.fileScript.push_back(tmp.Write("fw.bin", Bin(1000)));
  c.w.Click(ctl::kWriteProg);
  c.Answer('s', " ");
  c.w.Advance(0);
  c.Answer('s', "8");  // code 24
  c.w.Advance(1000);
  EXPECT_EQ(c.d.m_bDownloading, 0);
  EXPECT_EQ(c.line.Frames().size(), 2u);
  EXPECT_EQ(c.w.boxes.back().text, "Download sequence error");
}

TEST_F(Download, HexTypeFourRecordLandsAtItsAddressField) {
  std::string hex = Record(0x0010, {0x12, 0x34}, 4) + Record(0x0000, {0x01}) + kEof;
  std::vector<uint8_t> image(kImageSize, 0);
  LoadResult r = LoadHexFile(tmp.Write("a.hex", hex), image, kHexImageLength);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(image[0x10], 0x12);
  EXPECT_EQ(image[0x11], 0x34);
  EXPECT_EQ(image[0], 0x01);
  EXPECT_EQ(image[1], 0xFF);
  EXPECT_EQ(image[kHexImageLength], 0) << "only the first 40960 bytes are erased";
}

TEST_F(Download, HexAfterBinAndBinAfterHexFollowTheirOwnRules) {
  Run(tmp.Write("a.bin", Bin(200000, 3)));
  EXPECT_EQ(c.d.m_bBinImage, 1);
  auto hexBlocks = Run(tmp.Write("b.hex", Record(0, {0xAA}) + kEof));
  EXPECT_EQ(hexBlocks.size(), 320u) << "a HEX image is always 40960 bytes";
  EXPECT_EQ(c.d.m_bBinImage, 0);
  EXPECT_EQ(c.d.m_Image[1], 0xFF) << "the BIN's bytes are erased in the HEX range";
  auto binBlocks = Run(tmp.Write("c.bin", Bin(130)));
  EXPECT_EQ(binBlocks.size(), 2u);
  EXPECT_EQ(c.d.m_bHexImage, 0);
  EXPECT_EQ(c.d.m_Image[200], 0xFF) << "a BIN image is erased in full";
}

TEST_F(Download, VerifySumsTheRightRange) {
  // BIN: 131072 bytes summed, the 0xFF filling behind the file included.
  Run(tmp.Write("a.bin", std::string(1000, '\x01')));
  c.line.writes.clear();
  c.w.Click(1172);
  unsigned sum = (1000 * 1 + (131072 - 1000) * 0xFF) & 0xFFFF;
  Bytes f = c.line.Last();
  ASSERT_EQ(f.size(), 10u);
  EXPECT_EQ(f[3], 't');
  unsigned sent = 0;
  for (int i = 4; i < 8; ++i) sent = sent * 16 + (f[i] - 0x30);
  EXPECT_EQ(sent, sum);
  c.Answer('t', " ");
  EXPECT_EQ(c.w.boxes.back().text, "Verify O.K.!");
  // HEX: 40960 bytes.
  Run(tmp.Write("b.hex", Record(0, {0x10, 0x20}) + kEof));
  EXPECT_EQ(c.d.ImageSum(), (0x30u + (40960 - 2) * 0xFFu) & 0xFFFF);
}

TEST_F(Download, RefusedFilesSendNothing) {
  const std::string good = Record(0, {1, 2, 3});
  struct Row {
    std::string name, content, expect;
  };
  const std::vector<Row> rows = {
      {"badsum.hex", good + ":0300000001020300\r\n" + kEof, "line 2: checksum mismatch: computed 0xF7, found 0x00"},
      {"baddigit.hex", ":03000000010G0300\r\n" + std::string(kEof), "line 1: 'G' is not a hex digit"},
      {"short.hex", good, "line 2: the file ends before its end record"},
      {"garbage.hex", "hello\r\n", "line 1: no record"},
      {"len.hex", ":05000000010203F5\r\n", "line 1: record length 5 does not match"},
      {"empty.bin", "", "the file is empty"},
      {"big.bin", std::string(229377, 'x'), "at most 229376"},
      {"mixed.Hex", good + kEof, "must end in .bin, .BIN, .hex or .HEX"},
      {"noext", good + kEof, "must end in .bin, .BIN, .hex or .HEX"},
  };
  for (const auto& r : rows) {
    c.w.boxes.clear();
    c.line.writes.clear();
    c.w.fileScript.push_back(tmp.Write(r.name, r.content));
    c.w.Click(ctl::kWriteProg);
    EXPECT_TRUE(c.line.writes.empty()) << r.name;
    EXPECT_EQ(c.d.m_bDownloading, 0) << r.name;
    ASSERT_EQ(c.w.boxes.size(), 1u) << r.name;
    EXPECT_NE(c.w.boxes[0].text.find(r.expect), std::string::npos) << r.name << ": " << c.w.boxes[0].text;
    EXPECT_EQ(c.w.boxes[0].flags & MB_ICONSTOP, unsigned{MB_ICONSTOP});
  }
  // A missing file, a folder, and a cancelled dialog.
  for (const std::string& p : {tmp.path + "/missing.bin", tmp.path + "/missing.hex"}) {
    c.w.boxes.clear();
    c.w.fileScript.push_back(p);
    c.w.Click(ctl::kWriteProg);
    ASSERT_EQ(c.w.boxes.size(), 1u);
    EXPECT_NE(c.w.boxes[0].text.find("No such file"), std::string::npos) << c.w.boxes[0].text;
  }
  ASSERT_TRUE(std::filesystem::create_directory(tmp.path + "/dir.bin"));
  c.w.boxes.clear();
  c.w.fileScript.push_back(tmp.path + "/dir.bin");
  c.w.Click(ctl::kWriteProg);
  // Opened and refused (POSIX), or refused by the open itself (Windows).
  const std::string folderText = c.w.boxes.at(0).text;
  EXPECT_TRUE(folderText.find("not a regular file") != std::string::npos ||
              folderText.find("Is a directory") != std::string::npos)
      << folderText;
  c.w.boxes.clear();
  c.w.fileScript.push_back(std::nullopt);
  c.w.Click(ctl::kWriteProg);
  EXPECT_EQ(c.w.boxes.at(0).text, "Cannot open the file !");
  EXPECT_TRUE(c.line.writes.empty());
  EXPECT_EQ(c.w.fileFilters.back(), "BIN(*.BIN)|*.bin|HEX(*.hex)|*.hex||");
}

TEST_F(Download, GoLoaderAndResetReleaseBusyAtOnce) {
  c.w.Click(1170);
  EXPECT_EQ(Hex(c.line.Last()), "04 30 02 72 03 47");
  EXPECT_EQ(c.d.m_bBusy, 0);
  EXPECT_FALSE(c.w.TimerRunning(kTimerResponse));
  EXPECT_TRUE(c.w.IsEnabled(1001));
  c.Answer('r', "");
  EXPECT_EQ(c.w.boxes.back().text, "Go Loader O.K.!");
  c.d.m_nProgress = 150;
  c.d.m_bBusy = 1;
  c.line.writes.clear();
  c.d.OnReset();
  EXPECT_EQ(c.d.m_nProgress, 0) << "Reset clears the bar even while busy";
  EXPECT_TRUE(c.line.writes.empty());
  c.d.m_bBusy = 0;
  c.w.Click(1173);
  EXPECT_EQ(Hex(c.line.Last()), "04 30 02 44 03 71");
  EXPECT_EQ(c.d.m_bBusy, 0);
}
