#include "ReferenceClient.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "SimModule.h"
#include "link/Protocol.h"

namespace qeld::bench {

namespace {

constexpr cc_t kGuardDeciseconds = 100;  // against a module that stops answering

class Port {
 public:
  explicit Port(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    // A read blocks until a byte comes, or gives up after the guard's silence.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = kGuardDeciseconds;
    tcsetattr(fd_, TCSANOW, &t);
  }
  ~Port() {
    if (fd_ >= 0) close(fd_);
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  bool IsOpen() const { return fd_ >= 0; }

  bool Write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Blocks until n bytes have come (or the guard ends it).
  bool Read(uint8_t* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
      const ssize_t r = read(fd_, buf + got, n - got);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }

 private:
  int fd_ = -1;
};

// One transaction: request, the module's ACK, its answer of answerLength
// bytes (error byte a space), our ACK.
bool Transact(Port& port, const std::vector<uint8_t>& request, size_t answerLength, std::string* error) {
  uint8_t ack = 0;
  uint8_t answer[16] = {};
  if (answerLength > sizeof answer || !port.Write(request) || !port.Read(&ack, 1) || ack != ACK ||
      !port.Read(answer, answerLength) || !port.Write({ACK})) {
    *error = "the module did not answer the reference client's request";
    return false;
  }
  uint8_t bcc = 0;
  for (size_t i = 0; i < answerLength; ++i) bcc ^= answer[i];
  if (answer[0] != SOH || bcc != 0 || answer[4] != kSpace) {
    *error = "the module refused the reference client's request";
    return false;
  }
  return true;
}

// An answer of any length: everything up to ETX, then the BCC.
bool ReadAnswer(Port& port, std::vector<uint8_t>* answer) {
  answer->clear();
  uint8_t b = 0;
  do {
    if (!port.Read(&b, 1) || answer->size() > 4096) return false;
    answer->push_back(b);
  } while (b != ETX);
  if (!port.Read(&b, 1)) return false;
  answer->push_back(b);
  return (*answer)[0] == SOH;
}

// The simulator, the port opened at the console's priority, `talk` over it,
// and the simulator's record once it has taken in `acks` ACKs.
std::optional<std::vector<LineEvent>> RunLoop(const Settings& s, const std::string& name, bool pace, int acks,
                                              const std::function<bool(Port&)>& talk, std::string* error) {
  BenchSim sim(s, name, pace);
  if (!sim.Ready()) {
    *error = sim.Error();
    return std::nullopt;
  }
  {
    Port port(sim.Process().SlavePath());
    if (!port.IsOpen()) {
      *error = "cannot open " + sim.Process().SlavePath();
      return std::nullopt;
    }
    // At the priority the console gives itself.
    setpriority(PRIO_PROCESS, 0, s.consoleNice);
    if (!talk(port) || !sim.WaitAcks(acks, error)) return std::nullopt;
  }
  return sim.StopAndRead(error);
}

}  // namespace

std::optional<std::vector<LineEvent>> ReferenceQueries(const Settings& s, int responses, std::string* error) {
  const std::vector<uint8_t> query = sim::MakeRequest('g', {});  // the sequence query, as the console sends it
  return RunLoop(s, "reference-queries-paced", true, responses, [&](Port& port) {
    std::vector<uint8_t> answer;
    for (int i = 0; i < responses; ++i) {
      uint8_t ack = 0;
      if (!port.Write(query) || !port.Read(&ack, 1) || ack != ACK || !ReadAnswer(port, &answer) ||
          !port.Write({ACK})) {
        *error = "the module did not answer the reference client's query";
        return false;
      }
    }
    return true;
  }, error);
}

std::optional<std::vector<LineEvent>> ReferenceDownload(const Settings& s, int blocks, std::string* error) {
  std::ifstream in(WriteImage(s, blocks), std::ios::binary);
  const std::vector<uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (image.size() != static_cast<size_t>(blocks) * kBlockSize) {
    *error = "cannot read the image back";
    return std::nullopt;
  }
  // The frames first, so the loop does nothing but move bytes.
  auto nibble = [](unsigned v) { return static_cast<uint8_t>(kNibbleBase + (v & 0xF)); };
  std::vector<std::vector<uint8_t>> frames;
  for (int b = 0; b < blocks; ++b) {
    const unsigned offset = static_cast<unsigned>(b * kBlockSize);
    std::vector<uint8_t> body;
    for (int shift = 16; shift >= 0; shift -= 4) body.push_back(nibble(offset >> shift));
    for (int i = 0; i < kBlockSize; ++i) {
      body.push_back(nibble(image[offset + i] >> 4));
      body.push_back(nibble(image[offset + i]));
    }
    frames.push_back(sim::MakeRequest('s', body));
  }

  return RunLoop(s, "reference-download", false, 1 + blocks, [&](Port& port) {
    constexpr size_t kAnswerLength = 7;  // SOH, two bytes, letter, error byte, ETX, BCC
    if (!Transact(port, sim::MakeRequest('r', {}), kAnswerLength, error)) return false;
    for (const auto& f : frames)
      if (!Transact(port, f, kAnswerLength, error)) return false;
    return true;
  }, error);
}

}  // namespace qeld::bench
