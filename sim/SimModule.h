// The module simulator's protocol model: a stand-in for the QELD dispenser
// module. Pure bytes in, timed bytes out; no I/O, so it runs in-process in
// headless tests and behind a pseudo-terminal in qeld-sim.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qeld::sim {

// Bytes the module writes, after waiting delayMs (counted from the previous
// chunk, or from the byte that caused it for the first chunk).
struct Chunk {
  int delayMs = 0;
  std::vector<uint8_t> bytes;
};

class SimModule {
 public:
  SimModule();

  // Bytes from the console, in any pieces. Returns what the module answers.
  std::vector<Chunk> Receive(const uint8_t* data, size_t len);
  std::vector<Chunk> Receive(const std::vector<uint8_t>& v) { return Receive(v.data(), v.size()); }

  // The module's current dispense sequence number (1..95), reported by "g".
  int Sequence() const { return sequence_; }
  void SetSequence(int s) { sequence_ = s; }

  // Requests received with a good BCC, in order (whole frames).
  const std::vector<std::vector<uint8_t>>& Requests() const { return requests_; }

 private:
  std::vector<Chunk> OnRequest(const std::vector<uint8_t>& frame);

  std::vector<uint8_t> rx_;
  int rxState_ = 0;
  int sequence_ = 1;
  std::vector<std::vector<uint8_t>> requests_;
};

// Builds a response frame: SOH, '0', STX, letter, body, ETX, BCC.
std::vector<uint8_t> MakeResponse(uint8_t letter, const std::vector<uint8_t>& body);

}  // namespace qeld::sim
