// Response decoding: every accepted response frame into fields and messages.
#include "app/ConsoleDialog.h"
#include "link/DeviceErrors.h"
#include "link/Frame.h"

namespace qeld {

namespace {

// Highest body position each letter's decoding reads. A frame must carry it
// before its ETX and BCC; a shorter one is treated as an unknown letter.
int LastPositionRead(const uint8_t* f, int len) {
  const uint8_t letter = f[3];
  switch (letter) {
    case 'P': return 22;
    case 'Q': return 17;
    case 'R': case 'S': case 'T': case 'p': return 26;
    case 'U': return 27;
    case 'W': case 'X': return 8;
    case 'Z': case '\\': case '^': case '`': return 4;
    case '[': case '_': return 12;
    case ']': case 'a': return 8;
    case 'b': case 'D': case 'd': case 'e': case 'f': case 'r': case '~': return 3;
    case 'c': return 16;
    case 'g': return 5;
    case 'q': {
      if (len < 5 + 3) return 5;
      switch (f[5]) {
        case '"': case '#': return 9;
        case '0': case '1': case '2': case '5': case '6': return 13;
        default: return 5;
      }
    }
    case 's': case 't': return 4;
    case 'u': case 'v': return 16;
    case 'w': return 35;
    default: return -1;  // no decoding: unknown letter
  }
}

// Space-offset byte.
int Sp(const uint8_t* f, int pos) { return f[pos] - kSpace; }
// Digit nibble, digit nibble pair and four-digit word.
int Dn(const uint8_t* f, int pos) { return f[pos] - kNibbleBase; }
int DnPair(const uint8_t* f, int pos) { return ((f[pos] * 16) & 0xFF) + (f[pos + 1] - kNibbleBase); }
int Word(const uint8_t* f, int pos) {
  return Dn(f, pos) * 4096 + Dn(f, pos + 1) * 256 + Dn(f, pos + 2) * 16 + Dn(f, pos + 3);
}

struct Bit {
  int pos;
  uint8_t mask;
  int id;
};
constexpr Bit kStatusBits[] = {
    {5, 0x01, 1046}, {5, 0x02, 1047}, {5, 0x04, 1048}, {5, 0x08, 1049}, {5, 0x10, 1050},
    {6, 0x02, 1051}, {6, 0x04, 1175}, {6, 0x08, 1176}, {6, 0x10, 1166},
};
struct CassetteStatus {
  int in, chk, cst, nearEnd, end, type, opacity, length;
};
constexpr CassetteStatus kCassetteStatus[4] = {
    {1052, 1053, 1054, 1055, 1183, 1191, 1078, 1079},
    {1056, 1066, 1067, 1068, 1184, 1192, 1080, 1081},
    {1069, 1070, 1071, 1072, 1185, 1193, 1082, 1083},
    {1073, 1074, 1075, 1077, 1186, 1194, 1084, 1085},
};

}  // namespace

void ConsoleDialog::ApplyResponse() {
  ReadFields();
  const auto* f = reinterpret_cast<const uint8_t*>(m_strFrame.data());
  const int len = m_nFrameLength;
  const int need = len > 3 ? LastPositionRead(f, len) : -1;
  if (need < 0 || len < need + 3) {
    AppendMessage(" Undefined Command ");
    WriteFields();
    return;
  }

  // Unit switch: hexadecimal slits or decimal millimetres.
  auto unitValue = [&](int v) { return m_bHexSlit ? Format("%X", static_cast<unsigned>(v)) : Format("%d", v); };
  auto unitLength = [&](int slits) {
    return m_bHexSlit ? Format("%X", static_cast<unsigned>(slits)) : Format("%d", SlitsToMm(slits));
  };
  auto reportError = [&](int pos) {
    if (f[pos] == kSpace) return false;
    ShowDeviceError(ErrorCode(f[pos]));
    return true;
  };
  auto endRun = [&] {
    m_nRepeatLeft = 1;
    m_nRepeatCount = 1;
  };

  switch (f[3]) {
    case 'P':
      reportError(4);
      for (const auto& b : kStatusBits) Check(b.id) = (f[b.pos] & b.mask) ? 1 : 0;
      for (int n = 0; n < 4; ++n) {
        const int base = 7 + 4 * n;
        const auto& c = kCassetteStatus[n];
        Check(c.in) = (f[base] & 0x01) ? 1 : 0;
        Check(c.chk) = (f[base] & 0x02) ? 1 : 0;
        Check(c.cst) = (f[base] & 0x04) ? 1 : 0;
        Check(c.nearEnd) = (f[base] & 0x08) ? 1 : 0;
        Check(c.end) = (f[base] & 0x20) ? 1 : 0;
        Text(c.type) = Format("%X", static_cast<unsigned>(Dn(f, base + 1)));
        Text(c.opacity) = Format("0x%X", static_cast<unsigned>(Sp(f, base + 2)));
        Text(c.length) = Format("0x%X", static_cast<unsigned>(Sp(f, base + 3)));
      }
      break;

    case 'R': case 'S': case 'T': case 'p':
      if (reportError(4)) endRun();
      if (f[21] != kSpace) {
        m_wnd.MessageBox("Repeat is stopped by FSNR", kAppName, MB_OK);
        endRun();
      }
      UpdateDispenseStatistics(false);
      break;

    case 'Q':
      if (reportError(4)) endRun();
      UpdateDispenseStatistics(true);
      break;

    case 'U':
      reportError(5);
      for (int n = 0; n < 4; ++n) {
        Text(ctl::kLastDispensed[n]) = Format("%d", Sp(f, 7 + 3 * n));
        Text(ctl::kLastRejected[n]) = Format("%d", Sp(f, 8 + 3 * n));
      }
      m_nReason[6] = Sp(f, 27);  // PICK of the last dispense
      for (int i = 0; i < 7; ++i) Text(ctl::kReason[i]) = Format("%d", m_nReason[i]);
      break;

    case 'W':
      Text(1452) = unitValue(Sp(f, 5));
      Text(1453) = unitValue(Sp(f, 6));
      Text(1121) = unitValue(Sp(f, 7));
      Text(1122) = unitValue(Sp(f, 8));
      if (f[4] == kSpace)
        m_wnd.MessageBox("Calibration O.K.!", kAppName, MB_OK);
      else
        ShowDeviceError(ErrorCode(f[4]));
      break;

    case 'X':
      reportError(4);
      Text(1119) = unitValue(Sp(f, 5));
      Text(1120) = unitLength(Sp(f, 6));
      Text(1121) = unitValue(Sp(f, 7));
      Text(1122) = unitValue(Sp(f, 8));
      break;

    case 'Z': case '\\': case '^': case '`':
      reportError(4);
      break;

    case '[':
      for (int n = 0; n < 4; ++n) Text(ctl::kOpacity[n]) = unitValue(DnPair(f, 5 + 2 * n));
      break;

    case ']': case 'a':
      for (int n = 0; n < 4; ++n) Text(ctl::kType[n]) = Format("%X", static_cast<unsigned>(Dn(f, 5 + n)));
      break;

    case '_':
      for (int n = 0; n < 4; ++n) Text(ctl::kLength[n]) = unitLength(DnPair(f, 5 + 2 * n));
      break;

    case 'c':
      Text(ctl::kSerial[0]) = BytesToText(f + 5, 2);
      Text(ctl::kSerial[1]) = BytesToText(f + 8, 4);
      Text(ctl::kSerial[2]) = BytesToText(f + 13, 4);
      break;

    case 'g':
      m_nSequence = Sp(f, 5);
      break;

    case 'q':
      reportError(4);
      switch (f[5]) {
        case '"':
          Text(1123) = Format("%d", Word(f, 6));
          break;
        case '#':
          Text(1124) = Format("%d", DnPair(f, 6));
          Text(1125) = Format("%d", DnPair(f, 8));
          break;
        case '0':
          Text(1126) = BytesToText(f + 6, 4) + "  " + Format(" %04X", static_cast<unsigned>(Word(f, 10)));
          break;
        case '1': case '2': case '5': case '6':
          Text(ctl::kAddr) = Format("%d", DnPair(f, 8));
          Text(ctl::kValue) = Format("%d", DnPair(f, 12));
          break;
        default:
          break;
      }
      break;

    case 'u': case 'v': {
      std::string& t = Text(f[3] == 'u' ? 1449 : 1450);
      t = BytesToText(f + 5, 2) + BytesToText(f + 9, 4) + " " + Format("%02d", Sp(f, 14)) + "-" +
          Format("%02d", Sp(f, 13)) + "-" + Format("%4d", 2000 + (f[15] & 0xF) * 16 + (f[16] & 0xF)) + "\r\n";
      break;
    }

    case 'w': {
      std::string line;
      for (int pos = 4; pos <= 35; ++pos) line += Format("%X ", static_cast<unsigned>(Sp(f, pos)));
      AppendMessage(line + "\r\n");
      break;
    }

    case 'r':
      m_wnd.MessageBox("Go Loader O.K.!", kAppName, MB_OK);
      break;

    case 's':
      OnBlockAnswer();
      if (m_cLastCommand == 'D') OnReset();
      break;

    case 't':
      if (f[4] == kSpace)
        m_wnd.MessageBox("Verify O.K.!", kAppName, MB_OK);
      else
        ShowDeviceError(ErrorCode(f[4]));
      break;

    case '~':
      WriteLogResponse();
      break;

    default:  // 'b', 'D', 'd', 'e', 'f': nothing visible changes
      break;
  }
  WriteFields();
}

}  // namespace qeld
