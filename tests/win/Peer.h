// The far end of a COM port for tests under Wine: wine_peer (a Linux program
// started by the test's script) makes the pseudo-terminal or runs qeld-sim,
// and this program drives it over a local TCP connection whose port is in
// QELD_PEER_PORT.
#pragma once
#include <winsock2.h>

#include "os/Win32.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace qeld::test {

using Bytes = std::vector<uint8_t>;

class Peer {
 public:
  // firstLine: "PTY N" or "SIM ARGS" (see wine_peer.c).
  explicit Peer(const std::string& firstLine) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    const char* port = std::getenv("QELD_PEER_PORT");
    if (!port) {
      error_ = "QELD_PEER_PORT is not set (run through tests/win/serial-tests.sh)";
      return;
    }
    s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s_ == INVALID_SOCKET || connect(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      error_ = "cannot reach wine_peer on port " + std::string(port);
      Close();
      return;
    }
    Send(firstLine + "\n");
  }
  ~Peer() {
    Close();
    WSACleanup();
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  const std::string& Error() const { return error_; }

  bool Send(const std::string& text) { return Send(Bytes(text.begin(), text.end())); }
  bool Send(const Bytes& b) {
    size_t off = 0;
    while (off < b.size()) {
      const int n = send(s_, reinterpret_cast<const char*>(b.data() + off), static_cast<int>(b.size() - off), 0);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }

  // Up to n bytes, waiting at most ms for them all.
  Bytes Read(size_t n, int ms) {
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      fd_set r;
      FD_ZERO(&r);
      FD_SET(s_, &r);
      timeval tv{static_cast<long>(left.count() / 1000), static_cast<long>(left.count() % 1000) * 1000};
      if (select(0, &r, nullptr, nullptr, &tv) <= 0) break;
      char buf[4096];
      const int want = static_cast<int>(std::min(n - out.size(), sizeof buf));
      const int got = recv(s_, buf, want, 0);
      if (got <= 0) break;
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }

  std::string ReadLine(int ms) {
    std::string line;
    for (;;) {
      const Bytes b = Read(1, ms);
      if (b.empty() || b[0] == '\n') return line;
      line += static_cast<char>(b[0]);
    }
  }

  // The far end goes away: the pseudo-terminal hangs up, qeld-sim stops.
  void Close() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
    s_ = INVALID_SOCKET;
  }

 private:
  SOCKET s_ = INVALID_SOCKET;
  std::string error_;
};

}  // namespace qeld::test
