// The receiver target's input header: how the first bytes of an input set the
// console up and cut the rest into deliveries (see receiver_fuzz.cpp).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "app/Controls.h"

namespace qeld::fuzz {

constexpr size_t kSteps = 8;
constexpr size_t kHeaderSize = 1 + 2 * kSteps;

// Virtual time passing before a piece: nothing, the ACK time-out, the log
// request and repeat delay, the response time-out.
constexpr int64_t kWaits[4] = {0, 1000, 2000, 120000};

// What an operator can press while bytes come in. The firmware download's
// file dialog is not among them: it needs a file, which the loader target covers.
constexpr int kButtons[] = {
    1001, 1002, 1003, 1004, 1005, 1006, 1007, 1008,          // dispense .. set opacity
    1011, 1012, 1013, 1014, 1015, 1016, 1017, 1018,          // diagnosis .. set length
    7002, 7003, 7004, 7027, 7028,                            // values and sensor values
    1172, 1198, 1199, 1447, 1448, 1451, 1170, 1173,          // verify .. go loader, reset
    ctl::kCancelRepeat, ctl::kLogData, ctl::kClearFields, ctl::kInitValues,
    ctl::kOpen, ctl::kUnitDec, ctl::kUnitHex, ctl::kLogMode, ctl::kCst[1], ctl::kCst[3],
};
constexpr int kButtonCount = static_cast<int>(std::size(kButtons));

struct Step {
  size_t size = 1;     // bytes in the piece, 1..80
  int64_t waitMs = 0;  // virtual time before it
  int button = 0;      // control clicked before it, 0 none
};

struct Header {
  bool open, logMode, admin, decUnit, boxesHold, ignoreCashOut;
  int repeat;
  std::array<Step, kSteps> steps;
};

inline Header ParseHeader(const uint8_t* d) {
  Header h{};
  const uint8_t s = d[0];
  h.open = s & 0x01;
  h.logMode = s & 0x02;
  h.admin = s & 0x04;
  h.decUnit = s & 0x08;
  h.repeat = ((s >> 4) & 0x03) + 1;
  h.boxesHold = s & 0x40;
  h.ignoreCashOut = s & 0x80;
  for (size_t i = 0; i < kSteps; ++i) {
    Step& st = h.steps[i];
    st.size = d[1 + 2 * i] % 80u + 1;
    const uint8_t e = d[2 + 2 * i];
    st.waitMs = kWaits[e & 0x03];
    const int b = e >> 2;
    st.button = b == 0 ? 0 : kButtons[(b - 1) % kButtonCount];
  }
  return h;
}

}  // namespace qeld::fuzz
