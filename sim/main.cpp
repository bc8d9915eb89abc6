// qeld-sim: a stand-in for the QELD dispenser module behind a pseudo-terminal.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "SimModule.h"
#include "SimPty.h"
#include "link/Protocol.h"

using namespace qeld;
using namespace qeld::sim;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitVanished = 3;

int g_stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char b = 1;
  // Nothing to do if the pipe is full: a stop is already pending.
  [[maybe_unused]] const ssize_t n = write(g_stopPipe[1], &b, 1);
}

void PrintHelp() {
  std::printf(
      "Usage: qeld-sim --com N [options]\n"
      "\n"
      "Stands in for the QELD cash-dispenser module on a pseudo-terminal. The\n"
      "console finds it as port COMN through the link $HOME/.qeld/dosdevices/comN.\n"
      "When ready it prints one line, \"COMN <slave path>\", and serves until\n"
      "SIGINT, SIGTERM or the command \"quit\"; then it removes its link.\n"
      "\n"
      "Options:\n"
      "  --com N               serve port COMN, N = 1..%d (required)\n"
      "  --pace                model the line at 9600 baud 8E1 both ways: a byte\n"
      "                        reaches the console when its stop bit ends, and the\n"
      "                        console's bytes reach the module one byte time each\n"
      "  --fast                no module delays (ACK, answers, dispensing, flash)\n"
      "  --seed N              seed of the rejections and noise bytes (default 1)\n"
      "  --reject-rate P       chance of rejecting a picked note, per mille (default 50)\n"
      "  --notes N             notes in every cassette at start (default 1000)\n"
      "  --cmd LINE            run a standard-input command at start (repeatable)\n"
      "  --verbose             trace every byte of the line on stderr\n"
      "  --timing FILE         at the end, write when every byte crossed the line:\n"
      "                        \"> T HEX\" written, \"< T HEX\" read, \"= T HEX\" handed\n"
      "                        to the module (T: CLOCK_MONOTONIC ns)\n"
      "  --help                this text\n"
      "\n"
      "Faults, each also an option (--NAME [ARG]) and a command (fault NAME [ARG]):\n",
      kMaxPort);
  for (const FaultInfo& f : SimModule::FaultTable()) {
    std::printf("  %-12s %-6s %s\n", f.name, f.argument, f.help);
  }
  std::printf(
      "\n"
      "Commands on standard input, one a line; each gets one line of reply\n"
      "(\"ok\", \"error: ...\" or the status line):\n"
      "  status                   one line of key=value pairs: seq, loader, presentN, notesN,\n"
      "                           dispensedN, rejectedN, tray, path, requests, bad_bcc, naks,\n"
      "                           acks, resends, blocks, sum40960, sum131072, fw, log\n"
      "  fault NAME [ARG]         set a fault (list above)\n"
      "  fault clear              clear every fault\n"
      "  cassette N KEY VALUE     KEY: present 0|1, notes, type 1..4, nearend, opacity, length\n"
      "  reject-rate PERMILLE     chance of rejecting a picked note\n"
      "  sequence N               the module's dispense sequence number, 1..95\n"
      "  dump-flash PATH          write the flash image (%d bytes) to PATH\n"
      "  help                     list the commands\n"
      "  quit                     remove the link and end\n"
      "\n"
      "A firmware image may name its version with \"FWVER:\" and four characters;\n"
      "otherwise a new image reports its 16-bit sum as its version.\n"
      "\n"
      "Exit status: 0 stopped, 1 error, 2 bad usage, 3 vanished (fault).\n",
      kImageSize);
}

bool ParseNumber(const char* text, long min, long max, long* value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
  *value = v;
  return true;
}

struct Settings {
  long com = -1;
  SimOptions model;
  ServerOptions server;
  std::vector<std::string> commands;  // run at start, faults included
};

// Returns kExitOk to go on, or the exit status.
int ParseArgs(int argc, char** argv, Settings* s) {
  auto usage = [](const std::string& message) {
    std::fprintf(stderr, "qeld-sim: %s (see --help)\n", message.c_str());
    return kExitUsage;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    long v = 0;
    if (arg == "--help" || arg == "-h") {
      PrintHelp();
      std::exit(kExitOk);
    } else if (arg == "--pace") {
      s->server.pace = true;
    } else if (arg == "--fast") {
      s->model.fast = true;
    } else if (arg == "--verbose") {
      s->server.verbose = true;
    } else if (arg == "--com" || arg == "--seed" || arg == "--reject-rate" || arg == "--notes") {
      struct Limits {
        long min, max;
      };
      const Limits limits = arg == "--com"           ? Limits{1, kMaxPort}
                            : arg == "--seed"        ? Limits{0, 0xFFFFFFFFL}
                            : arg == "--reject-rate" ? Limits{0, 1000}
                                                     : Limits{0, 100000};
      if (!hasValue || !ParseNumber(argv[i + 1], limits.min, limits.max, &v)) {
        return usage(arg + " needs a number from " + std::to_string(limits.min) + " to " +
                     std::to_string(limits.max));
      }
      ++i;
      if (arg == "--com") s->com = v;
      if (arg == "--seed") s->model.seed = static_cast<uint32_t>(v);
      if (arg == "--reject-rate") s->model.rejectPermille = static_cast<int>(v);
      if (arg == "--notes") s->model.notes = static_cast<int>(v);
    } else if (arg == "--timing") {
      if (!hasValue) return usage("--timing needs a file name");
      s->server.timingPath = argv[++i];
    } else if (arg == "--cmd") {
      if (!hasValue) return usage("--cmd needs a command line");
      s->commands.push_back(argv[++i]);
    } else if (arg.rfind("--", 0) == 0) {
      const std::string name = arg.substr(2);
      const auto& faults = SimModule::FaultTable();
      const auto f = std::find_if(faults.begin(), faults.end(), [&](const FaultInfo& x) { return name == x.name; });
      if (f == faults.end()) return usage("unknown option " + arg);
      // The argument is optional for some faults: take the next word when it is one.
      std::string line = "fault " + name;
      if (*f->argument && hasValue && std::strncmp(argv[i + 1], "--", 2) != 0) line += std::string(" ") + argv[++i];
      s->commands.push_back(line);
    } else {
      return usage("unexpected argument " + arg);
    }
  }
  if (s->com < 0) return usage("--com N is required");
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (const int status = ParseArgs(argc, argv, &settings); status != kExitOk) return status;

  SimModule model(settings.model);
  SimPty pty;
  SimServer sim(model, pty, settings.server);
  for (const std::string& line : settings.commands) {
    const std::string reply = sim.Command(line);
    if (reply.rfind("error", 0) == 0) {
      std::fprintf(stderr, "qeld-sim: %s: %s\n", line.c_str(), reply.c_str());
      return kExitUsage;
    }
  }

  if (pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("qeld-sim: pipe");
    return kExitError;
  }
  struct sigaction sa{};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a closed stdout must not end the simulator mid-answer
  // A paced line wakes for every byte; the default 50 us of timer slack would
  // make each one late by that much.
  if (settings.server.pace) prctl(PR_SET_TIMERSLACK, 1UL);

  std::string error;
  if (!pty.Open(&error)) {
    std::fprintf(stderr, "qeld-sim: cannot open a pseudo-terminal: %s\n", error.c_str());
    return kExitError;
  }
  ComLink link;
  if (!link.Create(static_cast<int>(settings.com), pty.SlavePath(), &error)) {
    std::fprintf(stderr, "qeld-sim: %s\n", error.c_str());
    return kExitError;
  }
  std::printf("COM%ld %s\n", settings.com, pty.SlavePath().c_str());
  std::fflush(stdout);

  const SimServer::End end = sim.Run(STDIN_FILENO, g_stopPipe[0], stdout);
  // Closing the line first: the console sees the module go before the port's name does.
  pty.Close();
  link.Remove();
  const std::string& timingPath = settings.server.timingPath;
  if (!timingPath.empty() && !sim.Timing().Write(timingPath)) {
    std::fprintf(stderr, "qeld-sim: cannot write the timing record %s: %s\n", timingPath.c_str(), std::strerror(errno));
  }
  switch (end) {
    case SimServer::End::Vanished:
      std::fprintf(stderr, "qeld-sim: vanished (fault)\n");
      return kExitVanished;
    case SimServer::End::LineError:
      std::fprintf(stderr, "qeld-sim: the pseudo-terminal failed: %s\n", std::strerror(errno));
      return kExitError;
    default:
      return kExitOk;
  }
}
