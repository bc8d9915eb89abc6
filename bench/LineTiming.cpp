#include "LineTiming.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "link/Protocol.h"

namespace qeld::bench {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Stream position of the first byte of every event of one direction.
std::vector<size_t> EventStarts(const std::vector<LineEvent>& events, char direction) {
  std::vector<size_t> starts(events.size(), 0);
  size_t pos = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    starts[i] = pos;
    if (events[i].direction == direction) pos += events[i].bytes.size();
  }
  return starts;
}

}  // namespace

std::optional<std::vector<LineEvent>> ParseTiming(std::istream& in, std::string* error) {
  std::vector<LineEvent> events;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    LineEvent e;
    std::string hex;
    fields >> e.direction >> e.ns >> hex;
    const bool known = e.direction == '>' || e.direction == '<' || e.direction == '=';
    if (!fields || !known || hex.size() % 2 != 0) {
      *error = "timing record line " + std::to_string(number) + " is malformed: " + line.substr(0, 60);
      return std::nullopt;
    }
    for (size_t i = 0; i < hex.size(); i += 2) {
      const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
      if (hi < 0 || lo < 0) {
        *error = "timing record line " + std::to_string(number) + " has a bad byte: " + hex.substr(i, 2);
        return std::nullopt;
      }
      e.bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    events.push_back(std::move(e));
  }
  return events;
}

std::vector<Frame> SplitFrames(const std::vector<uint8_t>& stream, bool fromConsole) {
  const uint8_t start = fromConsole ? EOT : SOH;
  std::vector<Frame> frames;
  enum { kOutside, kBody, kCheck } state = kOutside;
  Frame f;
  for (size_t i = 0; i < stream.size(); ++i) {
    const uint8_t b = stream[i];
    if (b == start && state != kCheck) {  // a new frame, also over a broken one
      f = Frame{0, i, i};
      state = kBody;
      continue;
    }
    switch (state) {
      case kOutside:
        if (b == ACK || b == NAK) frames.push_back(Frame{b, i, i});
        break;
      case kBody:
        if (i == f.first + 3) f.letter = b;
        if (b == ETX) state = kCheck;
        break;
      case kCheck:
        f.last = i;
        frames.push_back(f);
        state = kOutside;
        break;
    }
  }
  return frames;
}

Stream StreamOf(const std::vector<LineEvent>& events, char direction) {
  Stream s;
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].direction != direction) continue;
    s.bytes.insert(s.bytes.end(), events[i].bytes.begin(), events[i].bytes.end());
    s.event.insert(s.event.end(), events[i].bytes.size(), i);
  }
  return s;
}

std::optional<Download> FindDownload(const std::vector<LineEvent>& events, double byteNs, std::string* error) {
  const Stream read = StreamOf(events, '<');
  const Stream handed = StreamOf(events, '=');
  const Stream written = StreamOf(events, '>');
  const std::vector<Frame> requests = SplitFrames(read.bytes, true);

  auto isBlock = [](const Frame& f) { return f.letter == 's' && f.last > f.first; };
  const auto firstBlock = std::find_if(requests.begin(), requests.end(), isBlock);
  const auto lastBlock = std::find_if(requests.rbegin(), requests.rend(), isBlock);
  if (firstBlock == requests.end()) {
    *error = "no block request on the line";
    return std::nullopt;
  }
  // The console's first ACK after its last block request acknowledges that block's answer.
  const auto ack = std::find_if(lastBlock.base(), requests.end(), [](const Frame& f) { return f.letter == ACK; });
  if (ack == requests.end()) {
    *error = "the last block answer was not acknowledged";
    return std::nullopt;
  }
  if (ack->first >= handed.bytes.size()) {
    *error = "the ACK of the last block answer never reached the module";
    return std::nullopt;
  }

  Download d;
  d.startNs = events[read.event[firstBlock->first]].ns;
  // A '=' event carries bytes that ended one byte time apart, its time being
  // the end of the last one.
  const size_t e = handed.event[ack->first];
  const size_t lastOfEvent = EventStarts(events, '=')[e] + events[e].bytes.size() - 1;
  d.endNs = events[e].ns - static_cast<int64_t>(std::llround(static_cast<double>(lastOfEvent - ack->first) * byteNs));
  d.bytesToModule = ack->first - firstBlock->first + 1;

  for (size_t i = 0; i < written.bytes.size(); ++i) {
    const int64_t t = events[written.event[i]].ns;
    if (t >= d.startNs && t <= d.endNs) ++d.bytesToConsole;
  }
  for (const Frame& f : SplitFrames(written.bytes, false)) {
    const int64_t t = events[written.event[f.last]].ns;
    if (f.letter == 's' && f.last > f.first && t >= d.startNs && t <= d.endNs) ++d.blocks;
  }
  return d;
}

Turnarounds AckTurnarounds(const std::vector<LineEvent>& events) {
  const Stream written = StreamOf(events, '>');
  const Stream read = StreamOf(events, '<');
  std::vector<Frame> answers;  // the console's ACKs and NAKs, in order
  for (const Frame& f : SplitFrames(read.bytes, true))
    if (f.first == f.last) answers.push_back(f);

  Turnarounds t;
  size_t j = 0;
  for (const Frame& r : SplitFrames(written.bytes, false)) {
    if (r.first == r.last) continue;  // the module's own ACK of a request
    const int64_t sent = events[written.event[r.last]].ns;
    // Answers read before this response was complete belong to earlier ones.
    while (j < answers.size() && events[read.event[answers[j].first]].ns < sent) ++j;
    if (j < answers.size() && answers[j].letter == ACK) {
      t.ns.push_back(events[read.event[answers[j].first]].ns - sent);
      ++j;
    } else {
      ++t.unanswered;
      if (j < answers.size()) ++j;
    }
  }
  return t;
}

int64_t Percentile(std::vector<int64_t> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
  const size_t index = static_cast<size_t>(std::clamp(rank, 1.0, static_cast<double>(values.size()))) - 1;
  return values[index];
}

}  // namespace qeld::bench
