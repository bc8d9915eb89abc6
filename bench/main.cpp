// qeld-bench: measures the console against the line's own limit and against a
// plain blocking client. Prints one line per figure, "name value unit", on
// standard output; how each was obtained goes to standard error.
#include <QApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "BenchCommon.h"
#include "ConsoleRuns.h"
#include "ProcessRuns.h"
#include "ReferenceClient.h"
#include "link/Protocol.h"

using namespace qeld::bench;

namespace {

struct Options {
  int pacedBlocks = 320;  // download_wire_ratio: about 101 s of line time
  int fastBlocks = 320;   // download_blocks_per_s and the reference
  int fastRuns = 5;       // unpaced downloads of each kind, interleaved; the fastest counts
  int responses = 1000;   // ack_turnaround
  int referenceResponses = 1000;  // the plain loop's ACK turnaround, the machine's share
  int starts = 5;         // startup_ms: the median of this many starts
  double idleSeconds = 10;
  bool keep = false;
  std::string only;  // one group of figures: wire, speed, ack or process
};

void Usage() {
  std::printf(
      "Usage: qeld-bench [options]\n"
      "\n"
      "Measures qeld-console (Qt, offscreen) against qeld-sim over a pseudo-terminal and\n"
      "prints one line per figure, \"name value unit\":\n"
      "  download_wire_ratio     paced download: wall time / wire time of every byte\n"
      "  download_blocks_per_s   unpaced download by the console (fastest of five)\n"
      "  reference_blocks_per_s  the same by a plain blocking loop (fastest of five)\n"
      "  console_vs_reference    their ratio\n"
      "  ack_turnaround_us_p50, ack_turnaround_us_p99\n"
      "                          paced line: module's last response byte to the console's ACK\n"
      "  reference_ack_turnaround_us_p50, reference_ack_turnaround_us_p99\n"
      "                          the same by a plain blocking loop: the line's and machine's share\n"
      "  startup_ms              process start to the window shown (median of starts)\n"
      "  idle_cpu_percent        the console connected and idle, over 10 s\n"
      "  idle_cpu_disconnected_percent\n"
      "                          the same after an OPEN that found no module\n"
      "  peak_rss_mb             the console's peak resident memory\n"
      "\n"
      "  --quick          every figure within a minute: a 32-block paced download, 3 starts,\n"
      "                   500 queries by the plain loop\n"
      "  --blocks N       BIN image of N x 128 bytes for every download (default 320)\n"
      "  --responses N    responses timed for the ACK turnaround (default 1000)\n"
      "  --sim-nice N     the simulator's nice value (default -10, the console's own)\n"
      "  --only GROUP     only wire (download_wire_ratio), speed (blocks per second),\n"
      "                   ack (turnaround) or process (startup, idle CPU, memory)\n"
      "  --module-delays  keep the module's own delays (ACK, flash writes): qeld-sim\n"
      "                   without --fast; the figures then include them\n"
      "  --keep           keep the scratch folder (images, timing records)\n"
      "  --windows DIR    the Windows build in DIR under Wine instead (wire and process only):\n"
      "                   qeld-winbench.exe downloads, qeld-console.exe starts and idles;\n"
      "                   run through bench/wine-bench.sh, which makes the Wine prefix.\n"
      "                   Adds wine_cpu_percent and wine_cpu_disconnected_percent (wineserver\n"
      "                   and the prefix's services while the console idles) and\n"
      "                   busiest_thread_cpu_percent, busiest_thread_wakeups_per_s\n");
}

bool ParseInt(const char* text, int min, int max, int* out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < min || v > max) return false;
  *out = static_cast<int>(v);
  return true;
}

std::string Load() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return 0;
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void Figure(const char* name, double value, const char* unit, int decimals) {
  std::printf("%s %.*f %s\n", name, decimals, value, unit);
  std::fflush(stdout);
}

bool g_failed = false;
void Fail(const char* what, const std::string& why) {
  std::fprintf(stderr, "qeld-bench: %s: %s\n", what, why.c_str());
  g_failed = true;
}

// The ACK turnaround figures of one run of queries: name + "ack_turnaround_us_p50" and "_p99".
void AckFigures(const std::string& name, const char* who, const std::optional<std::vector<LineEvent>>& rec,
                int responses, const std::string& error) {
  const std::string figure = name + "ack_turnaround";
  if (!rec) {
    Fail(figure.c_str(), error);
    return;
  }
  const Turnarounds t = AckTurnarounds(*rec);
  if (t.unanswered != 0 || static_cast<int>(t.ns.size()) < responses) {
    Fail(figure.c_str(), std::to_string(t.unanswered) + " responses not acknowledged, " +
                             std::to_string(t.ns.size()) + " acknowledged");
    return;
  }
  std::fprintf(stderr, "# ACK turnaround%s over %zu responses: max %.0f us\n", who, t.ns.size(),
               static_cast<double>(Percentile(t.ns, 100)) / 1e3);
  Figure((figure + "_us_p50").c_str(), static_cast<double>(Percentile(t.ns, 50)) / 1e3, "us", 0);
  Figure((figure + "_us_p99").c_str(), static_cast<double>(Percentile(t.ns, 99)) / 1e3, "us", 0);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  Settings s;
  // The simulator stands in for a machine of its own: it runs at the
  // console's priority so that its delays do not count as the console's.
  s.simNice = s.consoleNice;
  bool blocksGiven = false, responsesGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    int v = 0;
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    } else if (a == "--quick") {
      if (!blocksGiven) o.pacedBlocks = 32;
      o.starts = 3;
      o.referenceResponses = 500;  // unless --responses says otherwise

    } else if (a == "--blocks" && hasValue && ParseInt(argv[i + 1], 1, qeld::kImageSize / qeld::kBlockSize, &v)) {
      o.pacedBlocks = o.fastBlocks = v;
      blocksGiven = true;
      ++i;
    } else if (a == "--responses" && hasValue && ParseInt(argv[i + 1], 1, 1000000, &v)) {
      o.responses = v;
      responsesGiven = true;
      ++i;
    } else if (a == "--sim-nice" && hasValue && ParseInt(argv[i + 1], -20, 19, &v)) {
      s.simNice = v;
      ++i;
    } else if (a == "--only" && hasValue) {
      o.only = argv[++i];
      if (o.only != "wire" && o.only != "speed" && o.only != "ack" && o.only != "process") {
        std::fprintf(stderr, "qeld-bench: --only takes wire, speed, ack or process\n");
        return 2;
      }
    } else if (a == "--module-delays") {
      s.moduleDelays = true;
    } else if (a == "--keep") {
      o.keep = true;
    } else if (a == "--windows" && hasValue) {
      s.windowsDir = argv[++i];
    } else {
      std::fprintf(stderr, "qeld-bench: bad argument %s (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (responsesGiven) o.referenceResponses = o.responses;
  if (s.Windows()) {
    const char* prefix = std::getenv("WINEPREFIX");
    const char* home = std::getenv("QELD_WINE_HOME");
    if (!prefix || !home) {
      std::fprintf(stderr, "qeld-bench: --windows runs under bench/wine-bench.sh (WINEPREFIX, QELD_WINE_HOME)\n");
      return 2;
    }
    s.wineHome = home;
    if (const char* preload = std::getenv("QELD_WINE_PRELOAD")) s.winePreload = preload;
    if (o.only == "speed" || o.only == "ack") {
      std::fprintf(stderr, "qeld-bench: --windows measures wire and process only\n");
      return 2;
    }
  }

  char templ[] = "/tmp/qeld-bench-XXXXXX";
  if (mkdtemp(templ) == nullptr) {
    std::perror("qeld-bench: mkdtemp");
    return 1;
  }
  s.workDir = templ;
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  std::fprintf(stderr, "# load before: %s\n", Load().c_str());

  std::string error;
  auto wanted = [&](const char* group) { return o.only.empty() || o.only == group; };

  // download_wire_ratio
  if (!wanted("wire")) {
  } else if (auto rec = s.Windows() ? WineDownload(s, o.pacedBlocks, &error)
                                     : ConsoleDownload(s, o.pacedBlocks, true, &error)) {
    if (auto d = FindDownload(*rec, kByteNs, &error); d && d->blocks == o.pacedBlocks) {
      std::fprintf(stderr, "# paced download: %d blocks, %llu bytes to the module, %llu to the console, wall %.3f s, wire %.3f s\n",
                   d->blocks, static_cast<unsigned long long>(d->bytesToModule),
                   static_cast<unsigned long long>(d->bytesToConsole), d->WallNs() / 1e9, d->WireNs() / 1e9);
      Figure("download_wire_ratio", d->WallNs() / d->WireNs(), "ratio", 4);
    } else {
      Fail("download_wire_ratio", d ? "the record shows " + std::to_string(d->blocks) + " blocks" : error);
    }
  } else {
    Fail("download_wire_ratio", error);
  }

  // download_blocks_per_s, reference_blocks_per_s, console_vs_reference
  std::vector<double> console, reference;
  for (int run = 0; wanted("speed") && !s.Windows() && run < o.fastRuns && !g_failed; ++run) {
    struct Kind {
      const char* name;
      std::function<std::optional<std::vector<LineEvent>>()> run;
      std::vector<double>* rates;
    };
    const Kind kinds[] = {
        {"console", [&] { return ConsoleDownload(s, o.fastBlocks, false, &error); }, &console},
        {"reference", [&] { return ReferenceDownload(s, o.fastBlocks, &error); }, &reference},
    };
    for (const Kind& k : kinds) {
      const auto rec = k.run();
      const auto d = rec ? FindDownload(*rec, 0, &error) : std::nullopt;
      if (!d || d->blocks != o.fastBlocks) {
        Fail(k.name, d ? "the record shows " + std::to_string(d->blocks) + " blocks" : error);
        break;
      }
      k.rates->push_back(d->blocks / (d->WallNs() / 1e9));
      std::fprintf(stderr, "# unpaced download by the %s: %d blocks in %.1f ms, %.0f blocks/s\n", k.name, d->blocks,
                   d->WallNs() / 1e6, k.rates->back());
    }
  }
  if (wanted("speed") && !s.Windows() && !g_failed) {
    // Other work on the machine only ever slows a run down: the fastest run
    // of each kind is the best estimate of what the program itself costs.
    const double bestConsole = *std::max_element(console.begin(), console.end());
    const double bestReference = *std::max_element(reference.begin(), reference.end());
    std::fprintf(stderr, "# medians: console %.0f blocks/s, reference %.0f blocks/s, ratio %.3f\n", Median(console),
                 Median(reference), Median(console) / Median(reference));
    Figure("download_blocks_per_s", bestConsole, "blocks/s", 1);
    Figure("reference_blocks_per_s", bestReference, "blocks/s", 1);
    Figure("console_vs_reference", bestConsole / bestReference, "ratio", 3);
  }

  // ack_turnaround_us_p50, ack_turnaround_us_p99
  if (wanted("ack") && !s.Windows())
    AckFigures("", "", ConsoleQueries(s, o.responses, true, &error), o.responses, error);
  // The same queries by the plain loop: the line's and the machine's own share.
  if (wanted("ack") && !s.Windows() && !g_failed)
    AckFigures("reference_", " of the reference loop", ReferenceQueries(s, o.referenceResponses, &error),
               o.referenceResponses, error);

  // startup_ms, idle_cpu_percent, peak_rss_mb
  if (!wanted("process")) {
  } else if (auto p = ConsoleProcess(s, o.starts, o.idleSeconds, &error)) {
    std::string each;
    for (double ms : p->startupMs) each += " " + std::to_string(static_cast<int>(ms + 0.5));
    std::fprintf(stderr, "# starts (ms):%s\n", each.c_str());
    Figure("startup_ms", Median(p->startupMs), "ms", 0);
    Figure("idle_cpu_percent", p->idleCpuPercent, "%", 3);
    Figure("idle_cpu_disconnected_percent", p->idleDisconnectedCpuPercent, "%", 3);
    Figure("peak_rss_mb", p->peakRssMb, "MB", 1);
    if (s.Windows()) {
      Figure("wine_cpu_percent", p->wineCpuPercent, "%", 3);
      Figure("wine_cpu_disconnected_percent", p->wineDisconnectedCpuPercent, "%", 3);
      Figure("busiest_thread_cpu_percent", p->busiestThreadCpuPercent, "%", 3);
      Figure("busiest_thread_wakeups_per_s", p->busiestThreadWakeupsPerS, "/s", 0);
    }
  } else {
    Fail("startup_ms, idle_cpu_percent, peak_rss_mb", error);
  }

  std::fprintf(stderr, "# load after: %s\n", Load().c_str());
  if (o.keep) {
    std::fprintf(stderr, "# scratch folder kept: %s\n", s.workDir.c_str());
  } else {
    std::error_code ec;
    std::filesystem::remove_all(s.workDir, ec);
  }
  return g_failed ? 1 : 0;
}
