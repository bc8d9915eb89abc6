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
  std::string controlPath;            // the control FIFO, if any
  bool help = false;
  bool version = false;
};

enum class ArgKind { None, Number, Text };

// Every option but the faults; the help text is printed from this table, so
// no option goes undocumented.
struct OptionRow {
  const char* name;  // "--com"; a second spelling after a comma
  const char* argument;
  ArgKind kind;
  long min, max;
  void (*apply)(Settings&, long number, const char* text);
  const char* help;
  std::string note;  // "required" or the default, shown in parentheses
};

const std::vector<OptionRow>& Options() {
  static const std::vector<OptionRow> rows = {
      {"--com", "N", ArgKind::Number, 1, kMaxPort, [](Settings& s, long v, const char*) { s.com = v; },
       "serve port COMN", "required"},
      {"--pace", "", ArgKind::None, 0, 0, [](Settings& s, long, const char*) { s.server.pace = true; },
       "model the line at 9600 baud 8E1 both ways: a byte reaches the console when its stop bit ends, "
       "and the console's bytes reach the module one byte time each",
       "default: as fast as the pseudo-terminal takes the bytes"},
      {"--fast", "", ArgKind::None, 0, 0, [](Settings& s, long, const char*) { s.model.fast = true; },
       "none of the module's own delays",
       "default: ACK " + std::to_string(kAckDelayMs) + " ms, answers " + std::to_string(kResponseDelayMs) +
           " ms, a dispense " + std::to_string(kDispenseBaseMs) + " ms + " + std::to_string(kDispensePerNoteMs) +
           " ms a note, pick-up test " + std::to_string(kPickupTestDelayMs) + " ms, self test " +
           std::to_string(kSelfTestDelayMs) + " ms"},
      {"--seed", "N", ArgKind::Number, 0, 0xFFFFFFFFL,
       [](Settings& s, long v, const char*) { s.model.seed = static_cast<uint32_t>(v); },
       "seed of the rejections and noise bytes", "default 1"},
      {"--reject-rate", "P", ArgKind::Number, 0, 1000,
       [](Settings& s, long v, const char*) { s.model.rejectPermille = static_cast<int>(v); },
       "chance of rejecting a picked note, per mille", "default 50"},
      {"--notes", "N", ArgKind::Number, 0, 100000,
       [](Settings& s, long v, const char*) { s.model.notes = static_cast<int>(v); },
       "notes in every cassette at start", "default 1000"},
      {"--cmd", "LINE", ArgKind::Text, 0, 0,
       [](Settings& s, long, const char* t) { s.commands.push_back(t); },
       "run a standard-input command at start, e.g. --cmd \"cassette 2 present 0\"", "repeatable"},
      {"--control", "PATH", ArgKind::Text, 0, 0,
       [](Settings& s, long, const char* t) { s.controlPath = t; },
       "also take commands from the FIFO PATH, e.g. echo \"fault error 0x54\" > PATH; their replies go to "
       "standard output. The FIFO is made (mode 0600) and removed at the end, unless it was there", ""},
      {"--timing", "FILE", ArgKind::Text, 0, 0,
       [](Settings& s, long, const char* t) { s.server.timingPath = t; },
       "at the end, write when every byte crossed the line: \"> T HEX\" written, \"< T HEX\" read, "
       "\"= T HEX\" handed to the module (T: CLOCK_MONOTONIC ns)", ""},
      {"--verbose", "", ArgKind::None, 0, 0, [](Settings& s, long, const char*) { s.server.verbose = true; },
       "trace every byte of the line on stderr: \"<\" from the console, \">\" to it", ""},
      {"--help,-h", "", ArgKind::None, 0, 0, [](Settings& s, long, const char*) { s.help = true; },
       "this text", ""},
      {"--version", "", ArgKind::None, 0, 0, [](Settings& s, long, const char*) { s.version = true; },
       "print \"qeld-sim\" and the version of the console it comes with", ""},
  };
  return rows;
}

bool OptionIs(const OptionRow& row, const std::string& arg) {
  const std::string names = row.name;
  const size_t comma = names.find(',');
  return arg == names.substr(0, comma) || (comma != std::string::npos && arg == names.substr(comma + 1));
}

// Prints "  head" and the text beside it from the given column on, wrapped at
// 79 columns; a head too wide for its column gets a line of its own.
void PrintEntry(const std::string& head, const std::string& text, size_t column) {
  constexpr size_t kWidth = 79;
  std::string line = "  " + head;
  if (line.size() + 1 > column) {
    std::printf("%s\n", line.c_str());
    line.clear();
  }
  line.resize(column, ' ');
  const size_t room = kWidth - column;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t n = text.size() - pos;
    if (n > room) {
      const size_t space = text.rfind(' ', pos + room);
      n = space == std::string::npos || space <= pos ? room : space - pos;
    }
    line += text.substr(pos, n);
    std::printf("%s\n", line.c_str());
    line.assign(column, ' ');
    pos += n;
    while (pos < text.size() && text[pos] == ' ') ++pos;
  }
}

void PrintHelp() {
  std::printf(
      "Usage: qeld-sim --com N [options]\n"
      "\n"
      "Stands in for the QELD cash-dispenser module on a pseudo-terminal. The\n"
      "console finds it as port COMN through the link $HOME/.qeld/dosdevices/comN;\n"
      "a stale link of that name is replaced; one that maps a real device is not.\n"
      "When ready it prints one line, \"COMN <slave path>\", and serves until\n"
      "SIGINT, SIGTERM, SIGHUP or the command \"quit\"; then it removes its link.\n"
      "\n"
      "Options:\n");
  constexpr size_t kOptionColumn = 24;
  for (const OptionRow& o : Options()) {
    std::string head = o.name;
    if (const size_t comma = head.find(','); comma != std::string::npos)
      head = head.substr(comma + 1) + ", " + head.substr(0, comma);
    if (*o.argument) head += std::string(" ") + o.argument;
    std::string text = o.help;
    if (o.kind == ArgKind::Number && o.max < 0xFFFFFFFFL)
      text += ", " + std::to_string(o.min) + ".." + std::to_string(o.max);
    if (!o.note.empty()) text += " (" + o.note + ")";
    PrintEntry(head, text, kOptionColumn);
  }
  std::printf(
      "\n"
      "Faults: each is an option, --NAME [ARG], set before the line opens, and a\n"
      "command, fault NAME [ARG]. An optional ARG is taken from the next word\n"
      "unless that starts with \"--\". Counts are used up one by one; times stay\n"
      "until set to 0 or cleared.\n");
  for (const FaultInfo& f : SimModule::FaultTable()) {
    PrintEntry(std::string(f.name) + " " + f.argument, f.help, kOptionColumn);
  }
  std::printf(
      "\n"
      "Commands, one a line, on standard input or into the --control FIFO; each\n"
      "gets one line of reply on standard output (\"ok\", \"error: ...\" or the\n"
      "status line). A terminal is read only while the simulator runs in its\n"
      "foreground: started with \"&\" from an interactive shell it leaves the\n"
      "shell's input alone (use --control, or fg), and serves the line meanwhile.\n");
  const struct {
    const char* command;
    std::string help;
  } commands[] = {
      {"status",
       "one line of key=value pairs: seq, loader, presentN, notesN, dispensedN, rejectedN, tray, path, "
       "requests, bad_bcc, naks, acks, resends, blocks, sum40960, sum131072, fw, log"},
      {"fault NAME [ARG]", "set a fault (list above)"},
      {"fault clear", "clear every fault"},
      {"cassette N KEY VALUE",
       "cassette N = 1..4; KEY: present 0|1, notes 0..100000, type 1..4, nearend 0..100000 (notes left at "
       "which it reports near end), opacity 0..255, length 0..255 (slits)"},
      {"reject-rate PERMILLE", "chance of rejecting a picked note, 0..1000"},
      {"sequence N", "the module's dispense sequence number, 1..95"},
      {"dump-flash PATH", "write the flash image (" + std::to_string(kImageSize) + " bytes) to PATH"},
      {"help", "list the commands"},
      {"quit", "remove the link and end"},
  };
  for (const auto& c : commands) PrintEntry(c.command, c.help, kOptionColumn);
  std::printf(
      "\n"
      "A firmware image may name its version with \"FWVER:\" and four characters;\n"
      "otherwise a new image reports its 16-bit sum as its version.\n"
      "\n"
      "Examples:\n"
      "  qeld-sim --com 1                      a healthy module as COM1\n"
      "  qeld-sim --com 1 --drop-ack 4         the console's first request and its\n"
      "                                        3 resends get no ACK: the console\n"
      "                                        shows \"!!! Error ACK Timeout !!!\"\n"
      "  qeld-sim --com 2 --error 0x54         the next answer with an error byte\n"
      "                                        reports code 0x54, CASSETTE1 JAM\n"
      "  qeld-sim --com 1 --cmd \"cassette 3 present 0\"   cassette 3 pulled out\n"
      "  qeld-sim --com 1 --fast --control /tmp/com1.ctl &\n"
      "                                        in the background of the shell;\n"
      "  echo \"fault error 0x54\" > /tmp/com1.ctl   then a fault set from it\n"
      "\n"
      "Exit status: 0 stopped, 1 error, 2 bad usage, 3 vanished (fault).\n");
}

// Returns kExitOk to go on, or the exit status.
int ParseArgs(int argc, char** argv, Settings* s) {
  auto usage = [](const std::string& message) {
    std::fprintf(stderr, "qeld-sim: %s (see --help)\n", message.c_str());
    return kExitUsage;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    const auto& options = Options();
    const auto o = std::find_if(options.begin(), options.end(), [&](const OptionRow& r) { return OptionIs(r, arg); });
    if (o != options.end()) {
      long v = 0;
      const char* text = nullptr;
      if (o->kind == ArgKind::Number) {
        if (!hasValue || !ParseNumber(argv[i + 1], o->min, o->max, &v)) {
          return usage(arg + " needs a number from " + std::to_string(o->min) + " to " + std::to_string(o->max));
        }
        ++i;
      } else if (o->kind == ArgKind::Text) {
        if (!hasValue) return usage(arg + " needs " + o->argument);
        text = argv[++i];
      }
      o->apply(*s, v, text);
      if (s->help || s->version) return kExitOk;
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
  if (settings.help) {
    PrintHelp();
    return kExitOk;
  }
  if (settings.version) {
    std::printf("qeld-sim %s\n", QELD_VERSION_STRING);
    return kExitOk;
  }

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
  // The terminal closed (its shell ended): end cleanly, removing the link,
  // unless started with nohup.
  struct sigaction hup{};
  if (sigaction(SIGHUP, nullptr, &hup) == 0 && hup.sa_handler != SIG_IGN) sigaction(SIGHUP, &sa, nullptr);
  // In the background of an interactive shell: a stray read of the terminal
  // fails instead of stopping the simulator, and its lines are written even
  // with "stty tostop".
  signal(SIGTTIN, SIG_IGN);
  signal(SIGTTOU, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);  // a closed stdout must not end the simulator mid-answer
  // A paced line wakes for every byte; the default 50 us of timer slack would
  // make each one late by that much.
  if (settings.server.pace) prctl(PR_SET_TIMERSLACK, 1UL);

  std::string error;
  ControlFifo control;
  if (!settings.controlPath.empty() && !control.Open(settings.controlPath, &error)) {
    std::fprintf(stderr, "qeld-sim: --control: %s\n", error.c_str());
    return kExitError;
  }
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

  std::vector<CommandSource> sources(1);
  sources[0].fd = STDIN_FILENO;
  sources[0].terminal = isatty(STDIN_FILENO) != 0;
  if (control.Fd() >= 0) sources.emplace_back().fd = control.Fd();
  const SimServer::End end = sim.Run(std::move(sources), g_stopPipe[0], stdout);
  control.Close();
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
