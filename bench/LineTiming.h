// What qeld-sim's timing record (--timing FILE) says about an exchange:
// when the bytes crossed the line, and the figures the benchmark derives.
#pragma once
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace qeld::bench {

// One 9600 8E1 byte on the line: start, 8 data, parity and stop bit.
constexpr double kByteNs = 11.0 * 1e9 / 9600.0;

struct LineEvent {
  char direction = 0;  // '>' written to the console, '<' read from it, '=' handed to the module
  int64_t ns = 0;      // CLOCK_MONOTONIC
  std::vector<uint8_t> bytes;
};

// Parses the record; nothing and a reason when a line is malformed.
std::optional<std::vector<LineEvent>> ParseTiming(std::istream& in, std::string* error);

// A frame found in one direction's byte stream: a request (EOT ... ETX BCC)
// from the console or a response (SOH ... ETX BCC) from the module. Single
// ACK and NAK bytes between frames are reported as frames of length 1.
struct Frame {
  uint8_t letter = 0;          // frame letter; the byte itself for ACK and NAK
  size_t first = 0, last = 0;  // stream positions of its first and last byte
};
std::vector<Frame> SplitFrames(const std::vector<uint8_t>& stream, bool fromConsole);

// One direction of the record as a stream: every byte with the event that carried it.
struct Stream {
  std::vector<uint8_t> bytes;
  std::vector<size_t> event;  // index into the events, per byte
};
Stream StreamOf(const std::vector<LineEvent>& events, char direction);

// A firmware download as it crossed the line: from the moment the module read
// the first byte of the first block request to the moment the console's ACK
// of the last block answer reached the module (the end of that byte on the
// modelled line when paced), with every byte in between in either direction.
struct Download {
  int64_t startNs = 0, endNs = 0;
  uint64_t bytesToModule = 0, bytesToConsole = 0;
  int blocks = 0;  // block answers acknowledged
  double WallNs() const { return static_cast<double>(endNs - startNs); }
  double WireNs() const { return static_cast<double>(bytesToModule + bytesToConsole) * kByteNs; }
};
// byteNs: the modelled time per byte of a '=' event (kByteNs when paced, 0 when not).
std::optional<Download> FindDownload(const std::vector<LineEvent>& events, double byteNs, std::string* error);

// For every response the module wrote: from the write that held its last byte
// to the read that held the console's ACK of it, in ns. A response the console
// did not acknowledge (NAK, nothing) counts as a failure.
struct Turnarounds {
  std::vector<int64_t> ns;
  int unanswered = 0;
};
Turnarounds AckTurnarounds(const std::vector<LineEvent>& events);

// The p-th percentile (0..100) by the nearest-rank method; 0 for no values.
int64_t Percentile(std::vector<int64_t> values, double p);

}  // namespace qeld::bench
