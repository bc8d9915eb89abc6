// The module simulator's protocol model: a stand-in for the QELD dispenser
// module. Pure bytes in, timed bytes out; no I/O, so it runs in-process in
// headless tests and behind a pseudo-terminal in qeld-sim.
#pragma once
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace qeld::sim {

// Bytes the module writes, after waiting delayMs (counted from the previous
// chunk, or from the byte that caused it for the first chunk).
struct Chunk {
  int delayMs = 0;
  std::vector<uint8_t> bytes;
  // The module disappears when this chunk is due (the "vanish" fault): the
  // driver closes the line and ends. Such a chunk carries no bytes.
  bool vanish = false;
};

// How long the module takes, in ms. The "fast" option makes all of them 0.
constexpr int kAckDelayMs = 2;             // a request is acknowledged almost at once
constexpr int kResponseDelayMs = 30;       // plain queries and settings
constexpr int kDispenseBaseMs = 300;       // motor start and shutter for a dispense
constexpr int kDispensePerNoteMs = 100;    // every note picked, rejected ones included
constexpr int kPurgeDelayMs = 500;
constexpr int kDiagnosisDelayMs = 250;     // one note run past the sensors
constexpr int kCalibrationDelayMs = 800;
constexpr int kPickupTestDelayMs = 400;
constexpr int kSelfTestDelayMs = 1500;
constexpr int kGoLoaderDelayMs = 100;
constexpr int kBlockWriteDelayMs = 20;     // one 128-byte flash block
constexpr int kVerifyDelayMs = 150;
constexpr int kResetDelayMs = 100;
constexpr int kResendDelayMs = 20;         // a response repeated after the console's NAK
constexpr int kMaxResends = 3;             // repeats of one response before the module gives up

constexpr int kCassettes = 4;
constexpr int kMemoryCells = 24;           // values addressed by "q" "1"/"2"
constexpr int kSensorCells = 26;           // sensor values addressed by "q" "5"/"6"
constexpr int kMaxRejectsPerDispense = 20; // beyond this the module stops with "Over Reject"
constexpr int kLogRecordSize = 24;         // one log record per operation, 8-byte aligned
constexpr int kLogRecords = 40;            // the module keeps the latest records only

// Device error codes the module itself reports.
enum DeviceError : int {
  kErrNone = 0,
  kErrOverReject = 13,
  kErrUnknownCommand = 22,
  kErrParameter = 23,
  kErrDownloadSequence = 24,
  kErrWrite = 25,
  kErrVerify = 26,
  kErrDispenseSerial = 29,       // sequence byte outside 1..95
  kErrPickupNearEnd1 = 80,       // + cassette - 1: the cassette ran out of notes
  kErrCassetteMissing1 = 88,     // + cassette - 1
};

// Reject reasons of a dispense answer, in the order of their bytes 19..24, 26.
enum RejectReason : int { kSonar, kLen, kFsnr, kFourth, kFlen, kFdst, kPick, kReasonCount };

struct Cassette {
  bool present = true;
  int notes = 0;
  int type = 1;          // note type 1..4
  int lengthSlits = 0;   // note length, 1 slit = 0.785 mm
  int opacity = 0;
  int nearEnd = 0;       // the near-end sensor reports at or below this many notes
  int sonarEmpty = 0;    // sonar level with no note
  int sonarNote = 0;     // sonar level with one note
  int inPath = 0;        // notes left in the transport by an interrupted dispense
};

// Counts since start, for tests to compare with what the console shows.
struct DispenseTotals {
  std::array<int, kCassettes> dispensed{};
  std::array<int, kCassettes> rejected{};  // includes purged and pick-up test notes
  int rejectTray = 0;                      // notes in the reject tray
};

struct SimOptions {
  bool fast = false;        // all of the module's own delays become 0
  uint32_t seed = 1;        // rejections and noise bytes
  int rejectPermille = 50;  // chance that a picked note is rejected
  int notes = 1000;         // initial notes per cassette
};

// Fault settings, each named and explicit. Counts are used up one by one;
// durations stay until set to 0.
struct Faults {
  int dropAcks = 0;      // ignore this many requests entirely
  int corruptBcc = 0;    // transmissions sent with a wrong BCC
  int byteGapMs = -1;    // next response one byte at a time, this far apart (-1 off)
  int noise = 0;         // noise bytes between the ACK and every response
  bool silent = false;   // answer nothing at all
  int lateMs = 0;        // extra delay before every response
  int lateAckMs = 0;     // extra delay before every ACK
  int errorCode = -1;    // reported by the next response that carries an error byte
  int fsnr = 0;          // dispenses that report an FSNR rejection
  bool vanish = false;   // disappear after the next ACK
};

struct FaultInfo {
  const char* name;
  const char* argument;  // "" when the fault takes none
  const char* help;
};

struct Version {
  std::string id;    // two characters
  std::string text;  // four characters
  int year = 2000, month = 1, day = 1;
};

class SimModule {
 public:
  SimModule();
  explicit SimModule(const SimOptions& options);

  // Bytes from the console, in any pieces. Returns what the module answers.
  std::vector<Chunk> Receive(const uint8_t* data, size_t len);
  std::vector<Chunk> Receive(const std::vector<uint8_t>& v) { return Receive(v.data(), v.size()); }

  // The module's current dispense sequence number (1..95), reported by "g".
  int Sequence() const { return sequence_; }
  void SetSequence(int s) { sequence_ = s; }

  // Requests received with a good BCC, in order (whole frames).
  const std::vector<std::vector<uint8_t>>& Requests() const { return requests_; }

  // State, for tests and the driver's commands.
  Cassette& CassetteAt(int n) { return cassettes_.at(n - 1); }  // n = 1..4
  const Cassette& CassetteAt(int n) const { return cassettes_.at(n - 1); }
  const DispenseTotals& Totals() const { return totals_; }
  const std::vector<uint8_t>& Flash() const { return flash_; }
  uint16_t FlashSum(size_t length) const;
  bool LoaderMode() const { return loaderMode_; }
  const Version& LoaderVersion() const { return loaderVersion_; }
  const Version& FirmwareVersion() const { return firmwareVersion_; }
  const std::string& Serial() const { return serial_; }
  int Memory(int addr) const { return memory_.at(addr); }
  int SensorValue(int addr) const { return sensorValues_.at(addr); }
  std::string LogText() const;
  Faults& FaultSettings() { return faults_; }
  const Faults& FaultSettings() const { return faults_; }

  // One line of key=value pairs: sequence, cassettes, totals, flash sums.
  std::string StatusLine() const;

  // Sets one fault by name; arg empty takes the fault's default.
  // Returns an empty string, or what is wrong with the setting.
  std::string SetFault(const std::string& name, const std::string& arg);
  static const std::vector<FaultInfo>& FaultTable();

  // Runs one line command ("fault NAME [ARG]", "fault clear", "status",
  // "cassette N KEY VALUE", "reject-rate PERMILLE") and returns the reply line.
  std::string Control(const std::string& line);

 private:
  struct Request;
  struct Response;
  using Handler = void (SimModule::*)(const Request&, Response&);
  struct CommandSpec {
    uint8_t letter;
    int bodyLength;  // response body bytes from position 4, padded with spaces
    int errorPos;    // frame position of the error byte the console reads; 0 for none
    int delayMs;
    bool inLoader;   // also served while the loader runs
    Handler handler;
  };
  static const std::vector<CommandSpec>& CommandTable();

  std::vector<Chunk> OnRequest(const std::vector<uint8_t>& frame);
  std::vector<Chunk> OnConsoleAnswer(uint8_t b);
  void Transmit(std::vector<Chunk>& out, int delayMs, const std::vector<uint8_t>& frame);
  void ResetSettings();
  void Log(uint8_t letter, int seq, const std::array<int, kCassettes>& counts, int error, int rejected);

  void Dispense(const Request&, Response&);
  void Purge(const Request&, Response&);
  void LastStatus(const Request&, Response&);
  void Status(const Request&, Response&);
  void GetOpacities(const Request&, Response&);
  void SetOpacities(const Request&, Response&);
  void GetLengths(const Request&, Response&);
  void SetLengths(const Request&, Response&);
  void Diagnose(const Request&, Response&);
  void CalibrateSonar(const Request&, Response&);
  void Diagnostics(const Request&, Response&);
  void GetSerial(const Request&, Response&);
  void SetSerial(const Request&, Response&);
  void GetSequence(const Request&, Response&);
  static void PutVersion(Response& rs, const Version& v);
  void GetLoaderVersion(const Request&, Response&);
  void GetFirmwareVersion(const Request&, Response&);
  void GoLoader(const Request&, Response&);
  void WriteBlock(const Request&, Response&);
  void Verify(const Request&, Response&);
  void Reset(const Request&, Response&);
  void ReadLog(const Request&, Response&);

  SimOptions options_;
  std::mt19937 rng_;        // note rejections
  std::mt19937 noiseRng_;   // noise bytes, apart so that noise does not change dispenses

  // Request receiver
  enum class Rx { Hunt, Address, Start, Body, Check };
  Rx rx_ = Rx::Hunt;
  std::vector<uint8_t> rxFrame_;

  // Response awaiting the console's ACK, resent on NAK
  bool awaitingAck_ = false;
  int resends_ = 0;
  std::vector<uint8_t> lastResponse_;

  int sequence_ = 1;
  std::vector<std::vector<uint8_t>> requests_;

  std::array<Cassette, kCassettes> cassettes_{};
  DispenseTotals totals_;
  std::array<int, kMemoryCells> memory_{};
  std::array<int, kSensorCells> sensorValues_{};
  int motorSpeed_ = 0;
  std::string serial_;
  Version loaderVersion_;
  Version firmwareVersion_;

  // Last dispense, for "U" and for repeated requests with the same sequence byte
  std::vector<uint8_t> lastDispenseRequest_;
  std::vector<uint8_t> lastDispenseBody_;
  uint8_t lastDispenseLetter_ = ' ';

  // Firmware loader
  std::vector<uint8_t> flash_;
  bool loaderMode_ = false;
  uint32_t nextBlock_ = 0;
  bool imageWritten_ = false;
  int blocksWritten_ = 0;

  std::vector<std::string> log_;
  unsigned operations_ = 0;

  Faults faults_;
  int badBcc_ = 0;
  int naks_ = 0;
  int acks_ = 0;  // ACK bytes from the console, whether a response awaited one or not
  int resendCount_ = 0;
};

// Builds a response frame: SOH, '0', STX, letter, body, ETX, BCC.
std::vector<uint8_t> MakeResponse(uint8_t letter, const std::vector<uint8_t>& body);

// Builds a request frame: EOT, '0', STX, letter, body, ETX, BCC.
std::vector<uint8_t> MakeRequest(uint8_t letter, const std::vector<uint8_t>& body);

}  // namespace qeld::sim
