// Fuzz target: arbitrary bytes from the line into a console, split into
// deliveries of arbitrary sizes, with virtual time passing and buttons pressed
// between them, so that the receiver, every response decoder, the transaction
// timers, repeat runs, log requests and the unit switch all see them.
//
// Input layout (FuzzInput.h builds seeds in the same shape):
//   byte 0        setup: bit 0 OPEN first, bit 1 log mode, bit 2 admin mode,
//                 bit 3 Dec[mm] unit, bits 4-5 repeat count - 1,
//                 bit 6 message boxes stay open 1.5 s (timers fire inside
//                 them), bit 7 "ignore cash out"
//   bytes 1..16   eight steps, used in turn, two bytes each:
//                   size   the next piece is (size % 80) + 1 bytes
//                   event  bits 0-1 virtual time passing before the piece
//                          (0, 1 s, 2 s, 120 s); bits 2-7 a button pressed
//                          before the piece (0 none, else kButtons[(n-1) % count])
//   the rest      the bytes from the line
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "app/ConsoleDialog.h"
#include "window/HeadlessWindow.h"

using namespace qeld;

namespace {

// The module's end of the line: the console's writes go nowhere; what the
// module says comes from the fuzz input.
class NullLine : public CComm::Line {
 public:
  bool Open(int) override { return true; }
  void Write(const uint8_t*, int n) override { writes += n > 1; }
  void Close() override {}
  int writes = 0;  // frames the console sent (ACK and NAK not counted)
};

// The receiver drops a frame that grows past this without an ETX.
constexpr int kMaxFrameBytes = 65536;

// QELD_FUZZ_TRACE=1: tell what each input did (for looking at one input).
const bool g_trace = std::getenv("QELD_FUZZ_TRACE") != nullptr;

// The console writes log files into its working folder: each input runs in
// a folder of its own, emptied afterwards. libFuzzer's corpus and artifact
// paths stay relative to the folder it was started in, where every input
// returns to.
std::string g_dir;
int g_home = -1;
// The console raises its own priority; a fuzzer left running for hours keeps
// the one it was started with (nice), so that it does not crowd the machine.
int g_nice = 0;

void RemoveLogFiles() {
  DIR* d = opendir(".");
  if (!d) return;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') unlink(e->d_name);
  closedir(d);
}

// Lets ms of virtual time pass. The unit-switch poll runs every 100 ms and
// looks only at the two unit radios, which change only by a click: once it
// has looked, further polls in the same wait see the same and are skipped
// (the 1200 of a response time-out would cost more than all the rest).
void Wait(HeadlessWindow& w, int64_t ms) {
  const int64_t look = w.TimerDue(kTimerUnitPoll) - w.Now();
  if (look < 0 || ms <= look) {
    w.Advance(ms);
    return;
  }
  w.Advance(look);
  w.KillTimer(kTimerUnitPoll);
  w.Advance(ms - look);
  w.SetTimer(kTimerUnitPoll, static_cast<unsigned>(kUnitPollNext.count()));
}

}  // namespace

// Every console allocates its firmware image, 224 KiB, when it is built. The
// address sanitizer maps a fresh block of that size for every input and
// unmaps it afterwards, which cost half of each run; the block is kept
// instead. It stays a block of exactly that size from malloc, so writes past
// its end are still caught. Every form of new and delete goes through malloc
// and free here, so that libFuzzer's own allocations pair up as well.
namespace {
void* g_imageBlock = nullptr;
bool g_imageBlockInUse = false;

void* Allocate(size_t n) noexcept {
  if (n == static_cast<size_t>(kImageSize) && !g_imageBlockInUse) {
    if (!g_imageBlock) g_imageBlock = std::malloc(n);
    g_imageBlockInUse = g_imageBlock != nullptr;
    if (g_imageBlockInUse) return g_imageBlock;
  }
  return std::malloc(n ? n : 1);
}
void Release(void* p) noexcept {
  if (p && p == g_imageBlock) {
    g_imageBlockInUse = false;
    return;
  }
  std::free(p);
}
void* AllocateOrThrow(size_t n) {
  if (void* p = Allocate(n)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t n) { return AllocateOrThrow(n); }
void* operator new[](size_t n) { return AllocateOrThrow(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  char templ[] = "/tmp/qeld-fuzz-XXXXXX";
  if (!mkdtemp(templ)) std::abort();
  g_dir = templ;
  g_home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  g_nice = getpriority(PRIO_PROCESS, 0);
  if (g_home < 0) std::abort();
  std::atexit([] { rmdir(g_dir.c_str()); });

  // A crash, leak or time-out is written while its input runs, that is in
  // the input's own folder: libFuzzer's artifact prefix is made absolute so
  // that the finding lands where it was asked for (by default the folder
  // the fuzzer was started in) and outlives the input.
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) std::abort();
  static std::vector<std::string> args;
  static std::vector<char*> pointers;
  const std::string flag = "-artifact_prefix=";
  bool given = false;
  for (int i = 0; i < *argc; ++i) {
    std::string a = (*argv)[i];
    if (a.rfind(flag, 0) == 0) {
      given = true;
      if (a.size() == flag.size() || a[flag.size()] != '/') a = flag + cwd + "/" + a.substr(flag.size());
    }
    args.push_back(a);
  }
  if (!given) args.push_back(flag + cwd + "/");
  for (auto& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  *argc = static_cast<int>(args.size());
  *argv = pointers.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < fuzz::kHeaderSize) return -1;  // not worth keeping in the corpus
  const fuzz::Header h = fuzz::ParseHeader(data);
  const uint8_t* stream = data + fuzz::kHeaderSize;
  const size_t streamSize = size - fuzz::kHeaderSize;
  if (chdir(g_dir.c_str()) != 0) std::abort();

  {
    NullLine line;  // outlives the console, which closes it at the end
    HeadlessWindow w;
    ConsoleDialog d(w);
    d.m_Comm.SetLine(&line);
    d.InitConsole();
    (void)setpriority(PRIO_PROCESS, 0, g_nice);
    if (h.boxesHold)
      for (int i = 0; i < 64; ++i) w.boxScript.push_back({IDOK, 1500});
    w.SetText(ctl::kRepeat, std::to_string(h.repeat));
    w.SetText(ctl::kWait, "1");
    w.SetText(ctl::kRequest[0], "2");
    w.SetText(ctl::kRequest[2], "1");
    if (h.logMode) w.SetCheck(ctl::kLogMode, 1);
    if (h.ignoreCashOut) w.SetCheck(ctl::kIgnoreCashOut, 1);
    if (h.decUnit) {
      w.SetCheck(ctl::kUnitHex, 0);
      w.SetCheck(ctl::kUnitDec, 1);
    }
    if (h.open) w.Click(ctl::kOpen);
    if (h.admin) {
      w.passwordScript.push_back("tuzf");
      w.Click(ctl::kAdminMode);
    }

    size_t pos = 0;
    for (int step = 0; pos < streamSize; ++step) {
      const fuzz::Step& s = h.steps[step % fuzz::kSteps];
      if (s.waitMs) Wait(w, s.waitMs);
      if (s.button) w.Click(s.button);
      const size_t n = std::min(streamSize - pos, s.size);
      d.m_Comm.Deliver(stream + pos, static_cast<int>(n));
      w.Pump();
      pos += n;
    }
    // Let every timer still running have its say.
    Wait(w, 130000);
    // The receiver's bookkeeping holds whatever came in.
    if (d.m_nRxState < 0 || d.m_nRxState > 3 || d.m_nFrameLength != static_cast<int>(d.m_strFrame.size()) ||
        d.m_nFrameLength > kMaxFrameBytes || d.m_bBusy > 1)
      std::abort();
    if (g_trace) {
      std::fprintf(stderr, "status: %s\nmessages: %s\nframes out: %d\n", w.GetText(ctl::kStatusLine).c_str(),
                   w.GetText(ctl::kMessageArea).c_str(), line.writes);
      for (const auto& b : w.boxes) std::fprintf(stderr, "box: %s | %s\n", b.caption.c_str(), b.text.c_str());
    }
  }
  RemoveLogFiles();
  if (fchdir(g_home) != 0) std::abort();
  return 0;
}
