#include "SimModule.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "link/Protocol.h"

namespace qeld::sim {

namespace {

constexpr uint8_t kAddress = '0';  // second byte of every frame in both directions
constexpr int kMaxRequestLength = 512;  // the longest request (a flash block) has 267 bytes
constexpr int kMaxSequence = 95;
constexpr int kMaxCount = 100;  // notes per cassette in one dispense request
constexpr int kMaxSpaceValue = 0xFF - kSpace;  // largest value a space-offset byte carries
constexpr int kMaxReasonValue = 0x7F - kSpace;  // reason bytes are read as signed

// Sensor bytes of the "P" answer. Bit 0x40 is never shown by the console; it is
// always set so that no sensor byte can fall below 0x20 (or become an ETX).
constexpr uint8_t kSensorMarker = 0x40;
constexpr uint8_t kRejectTrayIn = 0x10;  // position 5
constexpr uint8_t kCstIn = 0x01, kCheck = 0x02, kCstDetect = 0x04, kNearEnd = 0x08, kEnd = 0x20;

// Frame positions of the dispense answer
constexpr int kDispenseErrorPos = 4;
constexpr int kDispenseSeqPos = 5;
constexpr int kFirstTriplePos = 6;
constexpr std::array<int, kReasonCount> kReasonPos = {19, 20, 21, 22, 23, 24, 26};

// How often each reason explains a random rejection, in percent. FSNR and the
// fourth reason never occur by chance: FSNR stops the console's runs, so it
// only comes from the "fsnr" fault.
struct ReasonWeight {
  RejectReason reason;
  int percent;
};
constexpr std::array<ReasonWeight, 5> kReasonWeights = {{
    {kSonar, 40}, {kLen, 20}, {kFlen, 10}, {kFdst, 10}, {kPick, 20}}};

// Factory settings restored by "initialise all values"
constexpr std::array<int, kCassettes> kDefaultTypes = {1, 2, 3, 4};
constexpr std::array<int, kCassettes> kDefaultLengths = {0xBF, 0xC6, 0xCD, 0xD4};  // 150..166 mm
constexpr std::array<int, kCassettes> kDefaultOpacities = {0x50, 0x58, 0x60, 0x68};
constexpr int kDefaultSonarEmpty = 0xC8;
constexpr int kSonarPerOpacity = 2;  // a note lowers the sonar level by opacity / 2
constexpr int kDefaultMotorSpeed = 1500;  // rpm
constexpr int kDefaultNearEnd = 50;
constexpr int kSonarNoise = 3;

const char* const kDefaultSerial = "KR-2107-0042";
const Version kLoaderVersion{"LD", "1.02", 2021, 3, 15};
const Version kFirmwareVersion{"FW", "2.10", 2023, 11, 8};
const char* const kRomName = "QR12";
const std::string kFirmwareVersionTag = "FWVER:";  // an image may name its version after this

int NextSequence(int seq) { return seq < kMaxSequence ? seq + 1 : 1; }

uint8_t SpaceOffset(int v) { return static_cast<uint8_t>(kSpace + std::clamp(v, 0, kMaxSpaceValue)); }
uint8_t Nibble(int v) { return static_cast<uint8_t>(kNibbleBase + (v & 0x0F)); }

// Value of a request byte in an encoding, or -1 when the byte is not one.
int SpaceValue(int b) { return b >= kSpace ? b - kSpace : -1; }
int NibbleValue(int b) { return b >= kNibbleBase && b <= kNibbleBase + 0x0F ? b - kNibbleBase : -1; }

uint8_t Bcc(const std::vector<uint8_t>& bytes, size_t count) {
  uint8_t x = 0;
  for (size_t i = 0; i < count; ++i) x ^= bytes[i];
  return x;
}

std::vector<uint8_t> MakeFrame(uint8_t first, uint8_t letter, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> f;
  f.reserve(body.size() + 6);
  for (uint8_t b : {first, kAddress, STX, letter}) f.push_back(b);
  for (uint8_t b : body) f.push_back(b);
  f.push_back(ETX);
  f.push_back(Bcc(f, f.size()));
  return f;
}

// Decimal or 0x-prefixed hexadecimal; false on anything else.
bool ParseInt(const std::string& text, long* value) {
  if (text.empty()) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *value = v;
  return true;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

// Fault table: the public name, argument and help, then how the argument is
// taken and applied.
constexpr long kRequired = LONG_MIN;
struct FaultRow {
  FaultInfo info;
  long defaultValue;  // kRequired: the argument must be given
  long min, max;
  void (*apply)(Faults&, int);
};

const std::vector<FaultRow>& FaultRows() {
  static const std::vector<FaultRow> rows = {
      {{"drop-ack", "[N]", "ignore the next N requests entirely: no ACK, no response (default 1)"},
       1, 0, 1000000, [](Faults& f, int v) { f.dropAcks = v; }},
      {{"corrupt-bcc", "[N]",
        "send the next N response frames with a wrong BCC; each resend after a NAK counts (default 1)"},
       1, 0, 1000000, [](Faults& f, int v) { f.corruptBcc = v; }},
      {{"byte-gap", "MS", "send the next response one byte at a time, MS ms apart"},
       kRequired, 0, 60000, [](Faults& f, int v) { f.byteGapMs = v; }},
      {{"noise", "[N]", "put N noise bytes (never SOH or ACK) between the ACK and every response; 0 stops (default 8)"},
       8, 0, 4096, [](Faults& f, int v) { f.noise = v; }},
      {{"silent", "[1|0]", "answer nothing at all, not even NAK, until set to 0 or cleared (default 1)"},
       1, 0, 1, [](Faults& f, int v) { f.silent = v != 0; }},
      {{"late", "MS", "answer every request MS ms later than usual (after its ACK); 0 stops"},
       kRequired, 0, 600000, [](Faults& f, int v) { f.lateMs = v; }},
      {{"late-ack", "MS", "send every ACK MS ms late; 0 stops"},
       kRequired, 0, 600000, [](Faults& f, int v) { f.lateAckMs = v; }},
      {{"error", "CODE",
        "report device error CODE (1..255, decimal or 0x..) in the next response that carries an error byte"},
       kRequired, 1, 255, [](Faults& f, int v) { f.errorCode = v; }},
      {{"fsnr", "[N]", "report an FSNR rejection in the next N dispenses (default 1)"},
       1, 0, 1000000, [](Faults& f, int v) { f.fsnr = v; }},
      {{"vanish", "[1|0]",
        "after the ACK of the next request, close the line and exit instead of answering (default 1)"},
       1, 0, 1, [](Faults& f, int v) { f.vanish = v != 0; }},
  };
  return rows;
}

}  // namespace

// A received request: the letter at position 3 and the body up to the ETX.
struct SimModule::Request {
  uint8_t letter = 0;
  std::vector<uint8_t> body;  // frame positions 4..n-1
  // Request byte at frame position pos, or -1 past the body.
  int At(int pos) const { return pos >= 4 && pos - 4 < static_cast<int>(body.size()) ? body[pos - 4] : -1; }
};

struct SimModule::Response {
  std::vector<uint8_t> body;  // frame positions 4..
  int error = kErrNone;
  int forcedError = -1;  // the "error" fault, for handlers that react to it
  int delayMs = 0;
  bool dispense = false;  // a new dispense answer, kept for "U" and repeats
  void Put(int pos, uint8_t b) {
    const size_t i = static_cast<size_t>(pos - 4);
    if (i >= body.size()) body.resize(i + 1, kSpace);
    body[i] = b;
  }
  void PutPair(int pos, int v) {
    Put(pos, Nibble(v >> 4));
    Put(pos + 1, Nibble(v));
  }
  void PutWord(int pos, int v) {
    for (int i = 0; i < 4; ++i) Put(pos + i, Nibble(v >> (12 - 4 * i)));
  }
  void PutText(int pos, const std::string& s) {
    for (size_t i = 0; i < s.size(); ++i) Put(pos + static_cast<int>(i), static_cast<uint8_t>(s[i]));
  }
};

std::vector<uint8_t> MakeResponse(uint8_t letter, const std::vector<uint8_t>& body) {
  return MakeFrame(SOH, letter, body);
}

std::vector<uint8_t> MakeRequest(uint8_t letter, const std::vector<uint8_t>& body) {
  return MakeFrame(EOT, letter, body);
}

// Every request the module knows, with its answer's shape.
const std::vector<SimModule::CommandSpec>& SimModule::CommandTable() {
  static const std::vector<CommandSpec> table = {
      // letter, body, error pos, delay, in loader, handler
      {'R', 23, kDispenseErrorPos, kDispenseBaseMs, false, &SimModule::Dispense},
      {'S', 23, kDispenseErrorPos, kDispenseBaseMs, false, &SimModule::Dispense},
      {'T', 23, kDispenseErrorPos, kDispenseBaseMs, false, &SimModule::Dispense},
      {'p', 23, kDispenseErrorPos, kDispenseBaseMs, false, &SimModule::Dispense},
      {'Q', 23, 4, kPurgeDelayMs, false, &SimModule::Purge},
      {'U', 24, 5, kResponseDelayMs, true, &SimModule::LastStatus},
      {'P', 19, 4, kResponseDelayMs, true, &SimModule::Status},
      {'[', 9, 0, kResponseDelayMs, true, &SimModule::GetOpacities},
      {'Z', 1, 4, kResponseDelayMs, false, &SimModule::SetOpacities},
      {'_', 9, 0, kResponseDelayMs, true, &SimModule::GetLengths},
      {'^', 1, 4, kResponseDelayMs, false, &SimModule::SetLengths},
      {'X', 5, 4, kDiagnosisDelayMs, false, &SimModule::Diagnose},
      {'W', 5, 4, kCalibrationDelayMs, false, &SimModule::CalibrateSonar},
      {'q', 10, 4, kResponseDelayMs, false, &SimModule::Diagnostics},
      {'c', 13, 0, kResponseDelayMs, true, &SimModule::GetSerial},
      {'b', 1, 0, kResponseDelayMs, false, &SimModule::SetSerial},
      {'g', 2, 0, kResponseDelayMs, true, &SimModule::GetSequence},
      {'u', 13, 0, kResponseDelayMs, true, &SimModule::GetLoaderVersion},
      {'v', 13, 0, kResponseDelayMs, true, &SimModule::GetFirmwareVersion},
      {'r', 1, 0, kGoLoaderDelayMs, true, &SimModule::GoLoader},
      {'s', 1, 4, kBlockWriteDelayMs, true, &SimModule::WriteBlock},
      {'t', 1, 4, kVerifyDelayMs, true, &SimModule::Verify},
      {'D', 1, 0, kResetDelayMs, true, &SimModule::Reset},
      {'~', 0, 0, kResponseDelayMs, true, &SimModule::ReadLog},
  };
  return table;
}

SimModule::SimModule() : SimModule(SimOptions{}) {}

SimModule::SimModule(const SimOptions& options)
    : options_(options),
      rng_(options.seed),
      noiseRng_(options.seed ^ 0x9E3779B9u),
      flash_(kImageSize, 0xFF) {
  ResetSettings();
  for (Cassette& c : cassettes_) {
    c.present = true;
    c.notes = std::max(0, options.notes);
    c.nearEnd = kDefaultNearEnd;
  }
  serial_ = kDefaultSerial;
  loaderVersion_ = kLoaderVersion;
  firmwareVersion_ = kFirmwareVersion;
}

void SimModule::ResetSettings() {
  for (int i = 0; i < kCassettes; ++i) {
    Cassette& c = cassettes_[i];
    c.type = kDefaultTypes[i];
    c.lengthSlits = kDefaultLengths[i];
    c.opacity = kDefaultOpacities[i];
    c.sonarEmpty = kDefaultSonarEmpty;
    c.sonarNote = kDefaultSonarEmpty - c.opacity / kSonarPerOpacity;
  }
  for (int i = 0; i < kMemoryCells; ++i) memory_[i] = (i * 37 + 11) & 0xFF;
  for (int i = 0; i < kSensorCells; ++i) sensorValues_[i] = 0x80 + 3 * i;
  motorSpeed_ = kDefaultMotorSpeed;
}

uint16_t SimModule::FlashSum(size_t length) const {
  uint32_t sum = 0;
  for (size_t i = 0; i < std::min(length, flash_.size()); ++i) sum += flash_[i];
  return static_cast<uint16_t>(sum);
}

// ---------------------------------------------------------------------------
// Receiver

std::vector<Chunk> SimModule::Receive(const uint8_t* data, size_t len) {
  std::vector<Chunk> out;
  auto append = [&out](std::vector<Chunk>&& more) {
    for (Chunk& c : more) out.push_back(std::move(c));
  };
  for (size_t i = 0; i < len; ++i) {
    const uint8_t b = data[i];
    switch (rx_) {
      case Rx::Hunt:
        if (b == EOT) {
          rxFrame_.assign(1, b);
          rx_ = Rx::Address;
        } else if (b == ACK || b == NAK) {
          append(OnConsoleAnswer(b));
        }
        break;
      case Rx::Address:
      case Rx::Start: {
        const uint8_t expected = rx_ == Rx::Address ? kAddress : STX;
        if (b == expected) {
          rxFrame_.push_back(b);
          rx_ = rx_ == Rx::Address ? Rx::Start : Rx::Body;
        } else if (b == EOT) {
          rxFrame_.assign(1, b);
          rx_ = Rx::Address;
        } else {
          rx_ = Rx::Hunt;
        }
        break;
      }
      case Rx::Body:
        // An EOT inside a body means the console started over (the body
        // alphabet never holds one), so resynchronise on it.
        if (b == EOT) {
          rxFrame_.assign(1, b);
          rx_ = Rx::Address;
        } else if (rxFrame_.size() >= kMaxRequestLength) {
          rx_ = Rx::Hunt;
        } else {
          rxFrame_.push_back(b);
          if (b == ETX) rx_ = Rx::Check;
        }
        break;
      case Rx::Check:
        rxFrame_.push_back(b);
        rx_ = Rx::Hunt;
        if (Bcc(rxFrame_, rxFrame_.size()) == 0) {
          append(OnRequest(rxFrame_));
        } else {
          ++badBcc_;
          if (!faults_.silent) out.push_back({options_.fast ? 0 : kAckDelayMs, {NAK}});
        }
        break;
    }
  }
  return out;
}

// ACK or NAK from the console for the response last sent.
std::vector<Chunk> SimModule::OnConsoleAnswer(uint8_t b) {
  std::vector<Chunk> out;
  if (b == ACK) ++acks_;
  if (!awaitingAck_) return out;
  if (b == ACK) {
    awaitingAck_ = false;
    return out;
  }
  ++naks_;
  if (faults_.silent || resends_ >= kMaxResends) {
    awaitingAck_ = false;
    return out;
  }
  ++resends_;
  ++resendCount_;
  Transmit(out, options_.fast ? 0 : kResendDelayMs, lastResponse_);
  return out;
}

void SimModule::Transmit(std::vector<Chunk>& out, int delayMs, const std::vector<uint8_t>& frame) {
  std::vector<uint8_t> f = frame;
  if (faults_.corruptBcc > 0) {
    --faults_.corruptBcc;
    f.back() ^= 0x5A;
  }
  if (faults_.byteGapMs >= 0) {
    const int gap = faults_.byteGapMs;
    faults_.byteGapMs = -1;
    for (size_t i = 0; i < f.size(); ++i) out.push_back({i == 0 ? delayMs : gap, {f[i]}});
  } else {
    out.push_back({delayMs, std::move(f)});
  }
}

std::vector<Chunk> SimModule::OnRequest(const std::vector<uint8_t>& frame) {
  std::vector<Chunk> out;
  requests_.push_back(frame);
  if (faults_.silent) return out;
  if (faults_.dropAcks > 0) {
    --faults_.dropAcks;
    return out;
  }
  // A new request means the console has finished with the previous response.
  awaitingAck_ = false;
  out.push_back({(options_.fast ? 0 : kAckDelayMs) + faults_.lateAckMs, {ACK}});
  if (frame.size() < 6) return out;  // no letter: nothing to answer

  if (faults_.vanish) {
    faults_.vanish = false;
    out.push_back({(options_.fast ? 0 : kResponseDelayMs) + faults_.lateMs, {}, true});
    return out;
  }

  Request rq;
  rq.letter = frame[3];
  rq.body.assign(frame.begin() + 4, frame.end() - 2);

  const auto& table = CommandTable();
  const auto command = std::find_if(table.begin(), table.end(),
                                 [&](const CommandSpec& s) { return s.letter == rq.letter; });
  Response rs;
  int errorPos = 4;
  if (command == table.end()) {
    rs.Put(4, kSpace);
    rs.error = kErrUnknownCommand;
    rs.delayMs = kResponseDelayMs;
  } else {
    errorPos = command->errorPos;
    rs.body.assign(static_cast<size_t>(command->bodyLength), kSpace);
    rs.delayMs = command->delayMs;
    if (errorPos != 0 && faults_.errorCode >= 0) {
      rs.forcedError = faults_.errorCode;
      faults_.errorCode = -1;
    }
    if (loaderMode_ && !command->inLoader) {
      rs.error = kErrUnknownCommand;  // the loader knows only the download requests
      if (rq.letter == 'q' && rq.At(4) >= kSpace) rs.Put(5, static_cast<uint8_t>(rq.At(4)));
    } else {
      (this->*command->handler)(rq, rs);
    }
    if (rs.forcedError >= 0) rs.error = rs.forcedError;
  }
  if (errorPos != 0 && rs.error != kErrNone) rs.Put(errorPos, static_cast<uint8_t>(kSpace + rs.error));

  if (rs.dispense) {
    lastDispenseRequest_ = frame;
    lastDispenseLetter_ = rq.letter;
    lastDispenseBody_ = rs.body;
  }
  if (rq.letter != '~') {
    std::array<int, kCassettes> counts{};
    int seq = 0, rejected = 0;
    if (rs.dispense) {
      seq = rs.body[kDispenseSeqPos - 4] - kSpace;
      for (int n = 0; n < kCassettes; ++n) {
        counts[n] = rs.body[kFirstTriplePos + 3 * n - 4] - kSpace;
        rejected += rs.body[kFirstTriplePos + 3 * n + 1 - 4] - kSpace;
      }
    }
    Log(rq.letter, seq, counts, rs.error, rejected);
  }

  const int delay = (options_.fast ? 0 : rs.delayMs) + faults_.lateMs;
  if (faults_.noise > 0) {
    Chunk noise;
    for (int i = 0; i < faults_.noise; ++i) {
      uint8_t b = static_cast<uint8_t>(noiseRng_());
      if (b == SOH || b == ACK) b = 0xFF;  // either would start or end something at the console
      noise.bytes.push_back(b);
    }
    out.push_back(std::move(noise));
  }
  lastResponse_ = MakeResponse(rq.letter, rs.body);
  awaitingAck_ = true;
  resends_ = 0;
  Transmit(out, delay, lastResponse_);
  return out;
}

// ---------------------------------------------------------------------------
// Dispensing

void SimModule::Dispense(const Request& rq, Response& rs) {
  const std::vector<uint8_t> frame = MakeRequest(rq.letter, rq.body);
  if (!lastDispenseRequest_.empty() && frame == lastDispenseRequest_) {
    // The same request again (same sequence byte): the console repeated it
    // after a lost acknowledgement. Answer as before, dispense nothing.
    rs.body = lastDispenseBody_;
    faults_.errorCode = rs.forcedError;  // an injected error waits for a real answer
    rs.forcedError = -1;
    return;
  }
  rs.dispense = true;
  if (rq.body.size() < 7) {
    rs.error = kErrParameter;
    return;
  }
  const int seq = SpaceValue(rq.At(10));
  if (seq < 1 || seq > kMaxSequence) {
    rs.error = kErrDispenseSerial;
    return;
  }
  rs.Put(kDispenseSeqPos, rq.body[6]);
  sequence_ = NextSequence(seq);

  std::array<int, kCassettes> want{};
  for (int n = 0; n < kCassettes; ++n) {
    want[n] = SpaceValue(rq.At(4 + n));
    if (want[n] < 0 || want[n] > kMaxCount) {
      rs.error = kErrParameter;
      return;
    }
    rs.Put(kFirstTriplePos + 3 * n + 2, SpaceOffset(want[n]));
  }
  for (int n = 0; n < kCassettes; ++n) {
    if (want[n] > 0 && !cassettes_[n].present) {
      rs.error = kErrCassetteMissing1 + n;
      return;
    }
  }

  bool forceFsnr = false;
  if (faults_.fsnr > 0) {
    --faults_.fsnr;
    forceFsnr = true;
  }
  std::array<int, kCassettes> dispensed{}, rejected{};
  std::array<int, kReasonCount> reasons{};
  int picks = 0, rejects = 0;
  for (int n = 0; n < kCassettes && rs.error == kErrNone; ++n) {
    Cassette& c = cassettes_[n];
    while (dispensed[n] < want[n]) {
      if (c.notes == 0) {
        rs.error = kErrPickupNearEnd1 + n;
        break;
      }
      if (rejects >= kMaxRejectsPerDispense) {
        rs.error = kErrOverReject;
        break;
      }
      --c.notes;
      ++picks;
      if (forceFsnr) {
        forceFsnr = false;
        ++rejected[n];
        ++rejects;
        ++reasons[kFsnr];
      } else if (static_cast<int>(rng_() % 1000) < options_.rejectPermille) {
        int r = static_cast<int>(rng_() % 100);
        RejectReason reason = kSonar;
        for (const ReasonWeight& w : kReasonWeights) {
          reason = w.reason;
          if (r < w.percent) break;
          r -= w.percent;
        }
        ++rejected[n];
        ++rejects;
        ++reasons[reason];
      } else {
        ++dispensed[n];
      }
    }
  }
  if (forceFsnr) reasons[kFsnr] = 1;  // nothing was picked: the fault still shows

  // An error injected by a fault interrupts the dispense: the last note on its
  // way out stays in the transport until a purge.
  if (rs.forcedError > 0) {
    for (int n = kCassettes - 1; n >= 0; --n) {
      if (dispensed[n] > 0) {
        --dispensed[n];
        ++cassettes_[n].inPath;
        break;
      }
    }
  }

  for (int n = 0; n < kCassettes; ++n) {
    rs.Put(kFirstTriplePos + 3 * n, SpaceOffset(dispensed[n]));
    rs.Put(kFirstTriplePos + 3 * n + 1, SpaceOffset(rejected[n]));
    totals_.dispensed[n] += dispensed[n];
    totals_.rejected[n] += rejected[n];
    totals_.rejectTray += rejected[n];
  }
  for (int r = 0; r < kReasonCount; ++r) {
    rs.Put(kReasonPos[r], SpaceOffset(std::min(reasons[r], kMaxReasonValue)));
  }
  rs.delayMs = kDispenseBaseMs + kDispensePerNoteMs * picks;
}

// Moves the notes left in the transport into the reject tray.
void SimModule::Purge(const Request&, Response& rs) {
  for (int n = 0; n < kCassettes; ++n) {
    Cassette& c = cassettes_[n];
    rs.Put(kFirstTriplePos + 3 * n, SpaceOffset(0));
    rs.Put(kFirstTriplePos + 3 * n + 1, SpaceOffset(c.inPath));
    totals_.rejected[n] += c.inPath;
    totals_.rejectTray += c.inPath;
    c.inPath = 0;
  }
}

// The last dispense answer, one position later, behind the letter that asked for it.
void SimModule::LastStatus(const Request&, Response& rs) {
  rs.Put(4, lastDispenseLetter_);
  for (size_t i = 0; i < lastDispenseBody_.size(); ++i) rs.Put(5 + static_cast<int>(i), lastDispenseBody_[i]);
  if (!lastDispenseBody_.empty() && lastDispenseBody_[0] != kSpace) rs.error = lastDispenseBody_[0] - kSpace;
}

void SimModule::Status(const Request&, Response& rs) {
  rs.Put(5, kSensorMarker | kRejectTrayIn);
  rs.Put(6, kSensorMarker);
  for (int n = 0; n < kCassettes; ++n) {
    const Cassette& c = cassettes_[n];
    const int b = 7 + 4 * n;
    uint8_t bits = kSensorMarker;
    if (c.present) {
      bits |= kCstIn | kCstDetect;
      if (c.notes <= c.nearEnd) bits |= kNearEnd;
      if (c.notes == 0) bits |= kEnd;
    }
    if (c.inPath > 0) bits |= kCheck;
    rs.Put(b, bits);
    rs.Put(b + 1, Nibble(c.type));
    rs.Put(b + 2, SpaceOffset(c.opacity));
    rs.Put(b + 3, SpaceOffset(c.lengthSlits));
  }
}

// ---------------------------------------------------------------------------
// Settings

namespace {
// Four digit nibble pairs from position 4 of a request, or false.
bool ParsePairs(const std::vector<uint8_t>& body, std::array<int, kCassettes>* values) {
  if (body.size() != 2 * kCassettes) return false;
  for (int n = 0; n < kCassettes; ++n) {
    const int hi = NibbleValue(body[2 * n]), lo = NibbleValue(body[2 * n + 1]);
    if (hi < 0 || lo < 0) return false;
    (*values)[n] = hi * 16 + lo;
  }
  return true;
}
}  // namespace

void SimModule::GetOpacities(const Request&, Response& rs) {
  for (int n = 0; n < kCassettes; ++n) rs.PutPair(5 + 2 * n, cassettes_[n].opacity);
}

void SimModule::SetOpacities(const Request& rq, Response& rs) {
  std::array<int, kCassettes> v{};
  if (!ParsePairs(rq.body, &v)) {
    rs.error = kErrParameter;
    return;
  }
  for (int n = 0; n < kCassettes; ++n) cassettes_[n].opacity = v[n];
}

void SimModule::GetLengths(const Request&, Response& rs) {
  for (int n = 0; n < kCassettes; ++n) rs.PutPair(5 + 2 * n, cassettes_[n].lengthSlits);
}

void SimModule::SetLengths(const Request& rq, Response& rs) {
  std::array<int, kCassettes> v{};
  if (!ParsePairs(rq.body, &v)) {
    rs.error = kErrParameter;
    return;
  }
  for (int n = 0; n < kCassettes; ++n) cassettes_[n].lengthSlits = v[n];
}

// ---------------------------------------------------------------------------
// Diagnostics

namespace {
// Cassette 1..4 from a cassette digit ("1".."4"), or 0.
int CassetteFromDigit(int b) { return b >= '1' && b <= '4' ? b - '0' : 0; }
// Cassette 1..4 from a cassette offset byte (0x20..0x23), or 0.
int CassetteFromOffset(int b) { return b >= kSpace && b < kSpace + kCassettes ? b - kSpace + 1 : 0; }
}  // namespace

void SimModule::Diagnose(const Request& rq, Response& rs) {
  const int n = CassetteFromDigit(rq.At(4));
  if (n == 0 || rq.body.size() != 1) {
    rs.error = kErrParameter;
    return;
  }
  const Cassette& c = cassettes_[n - 1];
  if (!c.present) {
    rs.error = kErrCassetteMissing1 + n - 1;
    return;
  }
  if (c.notes == 0) {
    rs.error = kErrPickupNearEnd1 + n - 1;
    return;
  }
  rs.Put(5, SpaceOffset(c.opacity));
  rs.Put(6, SpaceOffset(c.lengthSlits));
  rs.Put(7, SpaceOffset(c.sonarEmpty));
  rs.Put(8, SpaceOffset(c.sonarNote));
}

void SimModule::CalibrateSonar(const Request& rq, Response& rs) {
  const int n = CassetteFromDigit(rq.At(4));
  if (n == 0 || rq.body.size() != 1) {
    rs.error = kErrParameter;
    return;
  }
  Cassette& c = cassettes_[n - 1];
  if (!c.present) {
    rs.error = kErrCassetteMissing1 + n - 1;
    return;
  }
  c.sonarEmpty = kDefaultSonarEmpty;
  c.sonarNote = kDefaultSonarEmpty - c.opacity / kSonarPerOpacity;
  rs.Put(5, SpaceOffset(c.opacity));
  rs.Put(6, SpaceOffset(kSonarNoise));
  rs.Put(7, SpaceOffset(c.sonarEmpty));
  rs.Put(8, SpaceOffset(c.sonarNote));
}

void SimModule::Diagnostics(const Request& rq, Response& rs) {
  const int sub = rq.At(4);
  rs.Put(5, sub >= kSpace ? static_cast<uint8_t>(sub) : kSpace);
  if (rq.body.size() != 4) {
    rs.error = kErrParameter;
    return;
  }
  const int p1 = rq.At(5), p2 = rq.At(6), p3 = rq.At(7);
  switch (sub) {
    case ' ':  // diverter test
      break;
    case '!': {  // pick-up test: one note from the cassette into the reject tray
      rs.delayMs = kPickupTestDelayMs;
      const int n = CassetteFromOffset(p1);
      if (n == 0) {
        rs.error = kErrParameter;
      } else if (!cassettes_[n - 1].present) {
        rs.error = kErrCassetteMissing1 + n - 1;
      } else if (cassettes_[n - 1].notes == 0) {
        rs.error = kErrPickupNearEnd1 + n - 1;
      } else {
        --cassettes_[n - 1].notes;
        ++totals_.rejected[n - 1];
        ++totals_.rejectTray;
      }
      break;
    }
    case '"':  // motor speed
      rs.PutWord(6, motorSpeed_);
      break;
    case '#': {  // sonar levels of one cassette
      const int n = CassetteFromOffset(p1);
      rs.PutPair(6, 0);
      rs.PutPair(8, 0);
      if (n == 0) {
        rs.error = kErrParameter;
      } else if (!cassettes_[n - 1].present) {
        rs.error = kErrCassetteMissing1 + n - 1;
      } else {
        rs.PutPair(6, cassettes_[n - 1].sonarEmpty);
        rs.PutPair(8, cassettes_[n - 1].sonarNote);
      }
      break;
    }
    case '0':  // ROM name and the checksum of the program in flash
      rs.PutText(6, kRomName);
      rs.PutWord(10, FlashSum(kBinVerifyLength));
      break;
    case '1':
    case '2':
    case '5':
    case '6': {  // read or write a value or a sensor value
      const bool sensor = sub == '5' || sub == '6';
      const bool write = sub == '2' || sub == '6';
      int* cells = sensor ? sensorValues_.data() : memory_.data();
      const int count = sensor ? kSensorCells : kMemoryCells;
      const int addr = SpaceValue(p1);
      rs.PutPair(8, addr < 0 ? 0 : addr);
      rs.PutPair(12, 0);
      if (addr < 0 || addr >= count) {
        rs.error = kErrParameter;
        break;
      }
      if (write) {
        const int hi = SpaceValue(p2), lo = SpaceValue(p3);
        if (hi < 0 || hi > 0x0F || lo < 0 || lo > 0x0F) {
          rs.error = kErrParameter;
          break;
        }
        cells[addr] = hi * 16 + lo;
      }
      rs.PutPair(12, cells[addr]);
      break;
    }
    case '@':  // initialise all values
      ResetSettings();
      break;
    case 'P':  // self test: every cassette must be in place
      rs.delayMs = kSelfTestDelayMs;
      for (int n = 0; n < kCassettes && rs.error == kErrNone; ++n) {
        if (!cassettes_[n].present) rs.error = kErrCassetteMissing1 + n;
      }
      break;
    default:
      rs.error = kErrUnknownCommand;
      break;
  }
}

// ---------------------------------------------------------------------------
// Identity

void SimModule::GetSerial(const Request&, Response& rs) { rs.PutText(5, serial_); }

// Only a complete "XX-XXXX-XXXX" of printable characters is stored.
void SimModule::SetSerial(const Request& rq, Response& rs) {
  const std::vector<uint8_t>& b = rq.body;
  const bool printable =
      std::all_of(b.begin(), b.end(), [](uint8_t ch) { return ch >= kSpace && ch < 0x7F; });
  if (b.size() != 12 || b[2] != '-' || b[7] != '-' || !printable) {
    rs.error = kErrParameter;
    return;
  }
  serial_.assign(b.begin(), b.end());
}

void SimModule::GetSequence(const Request&, Response& rs) { rs.Put(5, SpaceOffset(sequence_)); }

// Version texts: id, two unread bytes, text, month, day, year as two digit nibbles.
void SimModule::PutVersion(Response& rs, const Version& v) {
  rs.PutText(5, v.id);
  rs.PutText(9, v.text);
  rs.Put(13, SpaceOffset(v.month));
  rs.Put(14, SpaceOffset(v.day));
  rs.Put(15, Nibble((v.year - 2000) >> 4));
  rs.Put(16, Nibble(v.year - 2000));
}

void SimModule::GetLoaderVersion(const Request&, Response& rs) { PutVersion(rs, loaderVersion_); }
void SimModule::GetFirmwareVersion(const Request&, Response& rs) { PutVersion(rs, firmwareVersion_); }

// ---------------------------------------------------------------------------
// Firmware loader

void SimModule::GoLoader(const Request&, Response&) {
  loaderMode_ = true;
  nextBlock_ = 0;
}

void SimModule::WriteBlock(const Request& rq, Response& rs) {
  if (!loaderMode_) {
    rs.error = kErrDownloadSequence;
    return;
  }
  if (rq.body.size() != 5 + 2 * kBlockSize) {
    rs.error = kErrParameter;
    return;
  }
  uint32_t offset = 0;
  for (int i = 0; i < 5; ++i) {
    const int v = NibbleValue(rq.body[i]);
    if (v < 0) {
      rs.error = kErrParameter;
      return;
    }
    offset = offset * 16 + static_cast<uint32_t>(v);
  }
  std::array<uint8_t, kBlockSize> data{};
  for (int i = 0; i < kBlockSize; ++i) {
    const int hi = NibbleValue(rq.body[5 + 2 * i]), lo = NibbleValue(rq.body[6 + 2 * i]);
    if (hi < 0 || lo < 0) {
      rs.error = kErrParameter;
      return;
    }
    data[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  if (offset == 0) {  // a new download: the loader erases the flash first
    std::fill(flash_.begin(), flash_.end(), 0xFF);
    nextBlock_ = 0;
  }
  if (offset != nextBlock_) {
    rs.error = kErrDownloadSequence;
    return;
  }
  if (offset + kBlockSize > flash_.size()) {
    rs.error = kErrWrite;
    return;
  }
  std::copy(data.begin(), data.end(), flash_.begin() + offset);
  nextBlock_ = offset + kBlockSize;
  imageWritten_ = true;
  ++blocksWritten_;
}

// The console sums 40960 bytes for a HEX image and 131072 for a BIN image;
// the module cannot tell which it was sent, so either sum is accepted.
void SimModule::Verify(const Request& rq, Response& rs) {
  if (!loaderMode_) {
    rs.error = kErrDownloadSequence;
    return;
  }
  if (rq.body.size() != 4) {
    rs.error = kErrParameter;
    return;
  }
  int sum = 0;
  for (uint8_t b : rq.body) {
    const int v = NibbleValue(b);
    if (v < 0) {
      rs.error = kErrParameter;
      return;
    }
    sum = sum * 16 + v;
  }
  if (sum != FlashSum(kHexImageLength) && sum != FlashSum(kBinVerifyLength)) rs.error = kErrVerify;
}

// Leaves the loader; a newly written program reports its own version.
void SimModule::Reset(const Request&, Response&) {
  loaderMode_ = false;
  nextBlock_ = 0;
  if (!imageWritten_) return;
  imageWritten_ = false;
  const auto tag = std::search(flash_.begin(), flash_.end(), kFirmwareVersionTag.begin(), kFirmwareVersionTag.end());
  std::string text;
  if (tag != flash_.end() && flash_.end() - tag >= static_cast<long>(kFirmwareVersionTag.size() + 4)) {
    text.assign(tag + static_cast<long>(kFirmwareVersionTag.size()), tag + static_cast<long>(kFirmwareVersionTag.size() + 4));
    if (!std::all_of(text.begin(), text.end(), [](char ch) { return ch > ' ' && ch < 0x7F; })) text.clear();
  }
  if (text.empty()) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", FlashSum(kBinVerifyLength));
    text = hex;
  }
  firmwareVersion_.text = text;
}

// ---------------------------------------------------------------------------
// Log

void SimModule::Log(uint8_t letter, int seq, const std::array<int, kCassettes>& counts, int error,
                    int rejected) {
  auto two = [](int v) { return std::clamp(v, 0, 99); };
  const char shown = letter >= kSpace && letter < 0x7F ? static_cast<char>(letter) : '?';
  char rec[kLogRecordSize + 1];
  std::snprintf(rec, sizeof rec, "%04u%c %02d %02d%02d%02d%02d %02X %02d ", operations_ % 10000, shown,
                two(seq), two(counts[0]), two(counts[1]), two(counts[2]), two(counts[3]), error & 0xFF,
                two(rejected));
  ++operations_;
  log_.emplace_back(rec, kLogRecordSize);
  if (log_.size() > kLogRecords) log_.erase(log_.begin());
}

std::string SimModule::LogText() const {
  std::string text;
  for (const std::string& r : log_) text += r;
  return text;
}

void SimModule::ReadLog(const Request&, Response& rs) {
  const std::string text = LogText();
  rs.body.assign(text.begin(), text.end());
}

// ---------------------------------------------------------------------------
// Control

std::string SimModule::StatusLine() const {
  std::ostringstream s;
  s << "seq=" << sequence_ << " loader=" << (loaderMode_ ? 1 : 0);
  for (int n = 0; n < kCassettes; ++n) {
    const Cassette& c = cassettes_[n];
    s << " present" << n + 1 << '=' << (c.present ? 1 : 0) << " notes" << n + 1 << '=' << c.notes;
  }
  for (int n = 0; n < kCassettes; ++n) {
    s << " dispensed" << n + 1 << '=' << totals_.dispensed[n] << " rejected" << n + 1 << '='
      << totals_.rejected[n];
  }
  int inPath = 0;
  for (const Cassette& c : cassettes_) inPath += c.inPath;
  s << " tray=" << totals_.rejectTray << " path=" << inPath << " requests=" << requests_.size()
    << " bad_bcc=" << badBcc_ << " naks=" << naks_ << " acks=" << acks_ << " resends=" << resendCount_
    << " blocks=" << blocksWritten_ << " sum40960=" << FlashSum(kHexImageLength)
    << " sum131072=" << FlashSum(kBinVerifyLength) << " fw=" << firmwareVersion_.text
    << " log=" << log_.size();
  return s.str();
}

const std::vector<FaultInfo>& SimModule::FaultTable() {
  static const std::vector<FaultInfo> infos = [] {
    std::vector<FaultInfo> v;
    for (const FaultRow& r : FaultRows()) v.push_back(r.info);
    return v;
  }();
  return infos;
}

std::string SimModule::SetFault(const std::string& name, const std::string& arg) {
  const auto& rows = FaultRows();
  const auto row = std::find_if(rows.begin(), rows.end(), [&](const FaultRow& r) { return name == r.info.name; });
  if (row == rows.end()) return "unknown fault '" + name + "'";
  long v = row->defaultValue;
  if (!arg.empty()) {
    if (!ParseInt(arg, &v)) return "fault " + name + ": '" + arg + "' is not a number";
  } else if (v == kRequired) {
    return "fault " + name + " needs " + row->info.argument;
  }
  if (v < row->min || v > row->max) {
    return "fault " + name + ": " + std::to_string(v) + " is outside " + std::to_string(row->min) + ".." +
           std::to_string(row->max);
  }
  if (name == "error" && ((v + kSpace) & 0xFF) == ETX) return "fault error: code 227 would put an ETX into the frame";
  row->apply(faults_, static_cast<int>(v));
  return "";
}

std::string SimModule::Control(const std::string& line) {
  const std::vector<std::string> w = Words(line);
  if (w.empty()) return "error: empty command";
  const std::string& cmd = w[0];
  if (cmd == "status" && w.size() == 1) return StatusLine();
  if (cmd == "fault" && w.size() == 2 && w[1] == "clear") {
    faults_ = Faults{};
    return "ok";
  }
  if (cmd == "fault" && (w.size() == 2 || w.size() == 3)) {
    const std::string error = SetFault(w[1], w.size() == 3 ? w[2] : "");
    return error.empty() ? "ok" : "error: " + error;
  }
  long v = 0;
  if (cmd == "reject-rate" && w.size() == 2) {
    if (!ParseInt(w[1], &v) || v < 0 || v > 1000) return "error: reject-rate takes 0..1000 (per mille)";
    options_.rejectPermille = static_cast<int>(v);
    return "ok";
  }
  if (cmd == "sequence" && w.size() == 2) {
    if (!ParseInt(w[1], &v) || v < 1 || v > kMaxSequence) return "error: sequence takes 1..95";
    sequence_ = static_cast<int>(v);
    return "ok";
  }
  if (cmd == "cassette" && w.size() == 4) {
    long n = 0;
    if (!ParseInt(w[1], &n) || n < 1 || n > kCassettes) return "error: cassette takes 1..4";
    if (!ParseInt(w[3], &v)) return "error: cassette " + w[1] + " " + w[2] + ": '" + w[3] + "' is not a number";
    struct Key {
      const char* name;
      long min, max;
      void (*set)(Cassette&, int);
    };
    static const Key keys[] = {
        {"present", 0, 1, [](Cassette& c, int x) { c.present = x != 0; }},
        {"notes", 0, 100000, [](Cassette& c, int x) { c.notes = x; }},
        {"type", 1, 4, [](Cassette& c, int x) { c.type = x; }},
        {"nearend", 0, 100000, [](Cassette& c, int x) { c.nearEnd = x; }},
        {"opacity", 0, 255, [](Cassette& c, int x) { c.opacity = x; }},
        {"length", 0, 255, [](Cassette& c, int x) { c.lengthSlits = x; }},
    };
    for (const Key& k : keys) {
      if (w[2] != k.name) continue;
      if (v < k.min || v > k.max) {
        return "error: cassette " + w[2] + " takes " + std::to_string(k.min) + ".." + std::to_string(k.max);
      }
      k.set(cassettes_[n - 1], static_cast<int>(v));
      return "ok";
    }
    return "error: unknown cassette setting '" + w[2] + "'";
  }
  return "error: unknown command '" + line + "'";
}

}  // namespace qeld::sim
