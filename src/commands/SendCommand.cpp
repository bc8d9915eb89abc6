// Request encoding: one CommandNumber becomes one request frame.
#include "commands/Commands.h"

#include "app/ConsoleDialog.h"
#include "link/Frame.h"

namespace qeld {

namespace {

constexpr CommandDef kCommands[] = {
    {1, 'R', 0, Body::Dispense, "Dispense"},
    {2, 'Q', 0, Body::None, "Purge"},
    {3, 'S', 0, Body::Dispense, "Test dispense"},
    {4, 'U', 0, Body::None, "Last status"},
    {5, 'p', 0, Body::Dispense, "Zigzag"},
    {6, 'P', 0, Body::None, "Sensor check"},
    {7, '[', 0, Body::None, "Get opacity"},
    {8, 'Z', 0, Body::Opacities, "Set opacity"},
    {11, 'X', 0, Body::CassetteDigit, "Sensor diagnosis"},
    {12, 'q', ' ', Body::QPlain, "Diverter test"},
    {13, 'q', '!', Body::QCassette, "Pick-up test"},
    {14, 'q', '"', Body::QPlain, "Motor speed"},
    {15, 'q', '#', Body::QCassette, "Sonar value"},
    {16, 'q', '0', Body::QPlain, "ROM version"},
    {17, '_', 0, Body::None, "Get length"},
    {18, '^', 0, Body::Lengths, "Set length"},
    {19, '~', 0, Body::LogRequest, "Log data"},
    {20, 'r', 0, Body::None, "Go loader"},
    {21, 's', 0, Body::Block, "Firmware block"},
    {22, 't', 0, Body::Verify, "Verify firmware"},
    {23, 'D', 0, Body::None, "Reset"},
    {25, 'q', '1', Body::QRead, "Read value"},
    {26, 'q', '2', Body::QWrite, "Write value"},
    {27, 'q', '@', Body::QPlain, "Initialise all values"},
    {28, 'q', 'P', Body::QPlain, "Self test"},
    {29, 'T', 0, Body::Dispense, "Dispense ignoring cash-out"},
    {30, 'c', 0, Body::None, "Get serial number"},
    {31, 'b', 0, Body::Serial, "Set serial number"},
    {36, 'g', 0, Body::None, "Sequence query"},
    {37, 'u', 0, Body::None, "Loader version"},
    {38, 'v', 0, Body::None, "Firmware version"},
    {39, 'W', 0, Body::CassetteDigit, "Sonar calibration"},
    {41, 'q', '5', Body::QSensorRead, "Read sensor value"},
    {42, 'q', '6', Body::QSensorWrite, "Write sensor value"},
};

uint8_t Nibble(unsigned v) { return static_cast<uint8_t>(kNibbleBase + (v & 0xF)); }

}  // namespace

const CommandDef* FindCommand(int n) {
  for (const auto& c : kCommands)
    if (c.number == n) return &c;
  return nullptr;
}

const CommandDef* FindCommandByLetter(char letter, char sub) {
  for (const auto& c : kCommands)
    if (c.letter == letter && (c.sub == 0 || c.sub == sub)) return &c;
  return nullptr;
}

bool IsDispenseCommand(int n) { return n == 1 || n == 3 || n == 5 || n == 29; }

// The first ticked cassette radio, 0-based; -1 when none is ticked.
static int SelectedCassette(const ConsoleDialog& d) {
  for (int i = 0; i < 4; ++i)
    if (d.m_nCstRadio[i] == 1 || d.m_nCstRadio2[i] == 1) return i;
  return -1;
}

void ConsoleDialog::SendCommand(int n) {
  ReadFields();
  WriteFields();

  // Run start: every dispense-family command starts a run; anything else is a
  // run of one transaction.
  if (IsDispenseCommand(n)) {
    m_nRepeatLeft = ParseLong(Text(ctl::kRepeat), 10);
    if (m_nRepeatLeft < 1 || m_nRepeatLeft > 2000) m_nRepeatLeft = 1;
    m_nRepeatCount = m_nRepeatLeft;
    CloseLogFile();  // the run's first log step starts a new file
    m_nRepeatWait = ParseLong(Text(ctl::kWait), 10);
    if (m_nRepeatWait < 1 || m_nRepeatWait > 600) m_nRepeatWait = 1;
    m_nRequested = m_nLastDispensed = m_nLastRejected = m_nAccDispensed = m_nAccRejected = {};
    m_nTotalRequested = m_nTotalDispensed = m_nTotalRejected = 0;
    m_nReason = {};
  } else {
    m_nRepeatLeft = 1;
  }

  const CommandDef* def = FindCommand(n);
  if (!def) return;  // a number without a request sends nothing

  uint8_t* buf = m_RequestBuffer;
  int len = 0;
  auto put = [&](uint8_t b) { buf[len++] = b; };
  put(EOT);
  put('0');
  put(STX);
  put(static_cast<uint8_t>(def->letter));
  m_cLastCommand = def->letter;
  if (def->sub) put(static_cast<uint8_t>(def->sub));

  switch (def->body) {
    case Body::None:
      break;
    case Body::LogRequest:
      put('0');
      break;
    case Body::Dispense: {
      for (int i = 0; i < 4; ++i) {
        int32_t count = ParseLong(Text(ctl::kRequest[i]), 10);
        if (count < 1 || count > 100) count = 0;
        m_nRequested[i] = count;
        put(static_cast<uint8_t>(kSpace + count));
      }
      put(kSpace);
      put(kSpace);
      put(static_cast<uint8_t>(kSpace + m_nSequence));
      // Compared as unsigned: a negative number taken over from a response restarts at 1.
      m_nSequence = static_cast<unsigned>(m_nSequence) < 95u ? m_nSequence + 1 : 1;
      break;
    }
    case Body::Opacities:
    case Body::Lengths:
      for (int i = 0; i < 4; ++i) {
        const bool length = def->body == Body::Lengths;
        const std::string& text = Text(length ? ctl::kLength[i] : ctl::kOpacity[i]);
        int32_t v = ParseLong(text, m_bHexSlit ? 16 : 10);
        if (length && !m_bHexSlit) v = MmToSlits(v);
        put(Nibble(static_cast<unsigned>(v) >> 4));
        put(Nibble(static_cast<unsigned>(v)));
      }
      break;
    case Body::CassetteDigit: {
      const int c = SelectedCassette(*this);
      put(static_cast<uint8_t>('1' + (c < 0 ? 0 : c)));
      break;
    }
    case Body::QPlain:
      put(kSpace);
      put(kSpace);
      put(kSpace);
      break;
    case Body::QCassette: {
      const int c = SelectedCassette(*this);
      put(static_cast<uint8_t>(kSpace + (c < 0 ? 0 : c)));
      put(kSpace);
      put(kSpace);
      break;
    }
    case Body::QRead:
    case Body::QWrite:
    case Body::QSensorRead:
    case Body::QSensorWrite: {
      const bool sensor = def->body == Body::QSensorRead || def->body == Body::QSensorWrite;
      const bool write = def->body == Body::QWrite || def->body == Body::QSensorWrite;
      int32_t addr = ParseLong(Text(ctl::kAddr), 10);
      if (addr < 0 || addr > (sensor ? 25 : 23)) addr = 0;
      put(static_cast<uint8_t>(kSpace + addr));
      if (write) {
        int32_t value = ParseLong(Text(ctl::kValue), 10);
        if (value < 0 || value > 255) value = 255;
        put(static_cast<uint8_t>(kSpace + (value >> 4)));
        put(static_cast<uint8_t>(kSpace + (value & 0xF)));
      } else {
        put(kSpace);
        put(kSpace);
      }
      break;
    }
    case Body::Block: {
      const unsigned off = m_nImageOffset;
      for (int shift = 16; shift >= 0; shift -= 4) put(Nibble(off >> shift));
      for (int i = 0; i < kBlockSize; ++i) {
        // Past the buffer's end a block reads erased flash.
        const uint8_t b = off + i < m_Image.size() ? m_Image[off + i] : 0xFF;
        put(Nibble(b >> 4));
        put(Nibble(b));
      }
      m_nImageOffset += kBlockSize;
      break;
    }
    case Body::Verify: {
      const unsigned sum = ImageSum();
      for (int shift = 12; shift >= 0; shift -= 4) put(Nibble(sum >> shift));
      break;
    }
    case Body::Serial: {
      const std::string a = TextToBytes(Text(ctl::kSerial[0]), 2);
      const std::string b = TextToBytes(Text(ctl::kSerial[1]), 4);
      const std::string c = TextToBytes(Text(ctl::kSerial[2]), 4);
      for (char ch : a) put(static_cast<uint8_t>(ch));
      put('-');
      for (char ch : b) put(static_cast<uint8_t>(ch));
      put('-');
      for (char ch : c) put(static_cast<uint8_t>(ch));
      break;
    }
  }

  // Frame tail and transmission. The receiver waits for the ACK only after
  // the write, which is safe: received bytes are handled between messages.
  put(ETX);
  put(Bcc(buf, len));
  buf[len] = 0;
  m_nRequestLength = len;
  m_bLastSentLog = false;

  m_bBusy = 1;
  RefreshEnables();
  m_Comm.WritePort(buf, len);
  if (n != 20 && n != 21 && n != 23)
    m_wnd.SetTimer(kTimerResponse, static_cast<unsigned>(kResponseTimeout.count()));
  if (IsDispenseCommand(n))
    for (int c : m_nRequested) m_nTotalRequested += c;
  ShowRunStatistics();

  ReadFields();
  for (int i = 0; i < 4; ++i) {
    Text(ctl::kLastDispensed[i]) = "0";
    Text(ctl::kLastRejected[i]) = "0";
    Text(ctl::kAccRejected[i]) = "0";
  }
  for (int id : ctl::kReason) Text(id) = "0";
  WriteFields();

  m_wnd.SetTimer(kTimerAck, static_cast<unsigned>(kAckTimeout.count()));
  m_nRxState = 1;
}

}  // namespace qeld
