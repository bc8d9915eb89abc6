#include "runner/Report.h"

#include <algorithm>
#include <cstdarg>

namespace qeld::run {

namespace {

std::string Fmt(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

const char* OutcomeText(Outcome o) {
  switch (o) {
    case Outcome::Pass: return "PASS";
    case Outcome::Fail: return "FAIL";
    case Outcome::Skipped: return "SKIP";
  }
  return "?";
}

std::string Values(const StepResult& r) {
  std::string s;
  for (const auto& [name, value] : r.values) {
    const bool quote = value.empty() || value.find_first_of(" \t\r\n\"") != std::string::npos;
    std::string v = value;
    std::replace_if(v.begin(), v.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    s += (s.empty() ? "" : " ") + name + "=" + (quote ? "\"" + v + "\"" : v);
  }
  return s;
}

// Length in bytes of a valid UTF-8 sequence at p, or 0.
size_t Utf8Length(const std::string& s, size_t p) {
  const auto c = static_cast<unsigned char>(s[p]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || p + n > s.size()) return 0;
  for (size_t i = 1; i < n; ++i)
    if ((static_cast<unsigned char>(s[p + i]) >> 6) != 2) return 0;
  if (n == 2 && c < 0xC2) return 0;  // overlong
  return n;
}

// One line per step: the line ends inside box texts become " / ".
std::string OneLine(const std::string& s) {
  std::string o;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\r' && s[i] != '\n') {
      o += s[i];
      continue;
    }
    while (i + 1 < s.size() && (s[i + 1] == '\r' || s[i + 1] == '\n')) ++i;
    o += " / ";
  }
  return o;
}

}  // namespace

std::string StepLine(const StepResult& r) {
  std::string text = r.step->text;
  if (text.size() > 44) text = text.substr(0, 41) + "...";
  std::string line = Fmt("%5d  %-44s %s", r.step->line, text.c_str(), OutcomeText(r.outcome));
  if (r.outcome == Outcome::Skipped) return line;
  line += Fmt(" %8.1f s", r.seconds);
  if (r.outcome == Outcome::Fail) line += "  " + OneLine(r.failure);
  const std::string v = Values(r);
  if (!v.empty()) line += (r.outcome == Outcome::Fail ? "  [" + v + "]" : "  " + v);
  return line;
}

void LineReporter::StepStarted(const Step&) { barShown_ = false; }

void LineReporter::StepProgress(const Step& s, double fraction, double elapsed) {
  if (!terminal_) return;
  std::string text = s.text;
  if (text.size() > 30) text = text.substr(0, 27) + "...";
  const int width = std::max(10, std::min(40, columns_ - 60));
  const int filled = static_cast<int>(fraction * width + 0.5);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.resize(static_cast<size_t>(width), '.');
  std::fprintf(out_, "\r%5d  %-30s [%s] %3d%% %7.0f s\033[K", s.line, text.c_str(), bar.c_str(),
               static_cast<int>(fraction * 100 + 0.5), elapsed);
  std::fflush(out_);
  barShown_ = true;
}

void LineReporter::StepDone(const StepResult& r) {
  if (barShown_) std::fprintf(out_, "\r\033[K");
  barShown_ = false;
  std::fprintf(out_, "%s\n", StepLine(r).c_str());
  std::fflush(out_);
}

void LineReporter::Summary(const std::vector<StepResult>& results, double seconds) {
  int pass = 0, fail = 0, skip = 0;
  for (const auto& r : results) (r.outcome == Outcome::Pass ? pass : r.outcome == Outcome::Fail ? fail : skip)++;
  std::fprintf(out_, "%s: %d passed, %d failed, %d not run, %.1f s\n", fail ? "FAILED" : "PASSED", pass, fail,
               skip, seconds);
  std::fflush(out_);
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += '?';
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(text, i, n);
      i += n;
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '\t': case '\n': out += static_cast<char>(c); break;
      case '\r': out += "&#13;"; break;
      default: out += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c); break;
    }
    ++i;
  }
  return out;
}

std::string JUnitXml(const std::string& suiteName, const std::vector<StepResult>& results, double seconds,
                     const std::string& timestamp) {
  int fail = 0, skip = 0;
  for (const auto& r : results) {
    if (r.outcome == Outcome::Fail) ++fail;
    if (r.outcome == Outcome::Skipped) ++skip;
  }
  const std::string name = XmlEscape(suiteName);
  const int tests = static_cast<int>(results.size());
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  x += Fmt("<testsuites name=\"qeld-run\" tests=\"%d\" failures=\"%d\" errors=\"0\" skipped=\"%d\" time=\"%.3f\">\n",
           tests, fail, skip, seconds);
  x += "  <testsuite name=\"" + name + "\" " +
       Fmt("tests=\"%d\" failures=\"%d\" errors=\"0\" skipped=\"%d\" time=\"%.3f\" ", tests, fail, skip, seconds) +
       "timestamp=\"" + XmlEscape(timestamp) + "\" hostname=\"localhost\" id=\"0\" package=\"qeld-run\">\n";
  x += "    <properties/>\n";
  for (const auto& r : results) {
    x += "    <testcase name=\"" + XmlEscape(Fmt("line %d: ", r.step->line) + r.step->text) + "\" classname=\"" +
         name + "\" " + Fmt("time=\"%.3f\"", r.seconds);
    const bool body = r.outcome != Outcome::Pass || !r.values.empty();
    if (!body) {
      x += "/>\n";
      continue;
    }
    x += ">\n";
    if (r.outcome == Outcome::Skipped) x += "      <skipped message=\"not run: an earlier step failed\"/>\n";
    if (r.outcome == Outcome::Fail)
      x += "      <failure message=\"" + XmlEscape(r.failure) + "\" type=\"" + XmlEscape(r.failureType) + "\">" +
           XmlEscape(r.failure) + "</failure>\n";
    if (!r.values.empty()) {
      x += "      <system-out>";
      for (const auto& [k, v] : r.values) x += XmlEscape(k + "=" + v) + "\n";
      x += "</system-out>\n";
    }
    x += "    </testcase>\n";
  }
  x += "    <system-out/>\n    <system-err/>\n";
  x += "  </testsuite>\n</testsuites>\n";
  return x;
}

}  // namespace qeld::run
