#include "comm/PortList.h"

#include <algorithm>
#include <cctype>

namespace qeld {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The four hex digits after key ("VID_") in an id, or "".
std::string HexAfter(const std::string& id, const char* key) {
  const size_t at = Upper(id).find(key);
  if (at == std::string::npos) return "";
  const std::string digits = id.substr(at + 4, 4);
  if (digits.size() != 4 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
    return "";
  return Upper(digits);
}

}  // namespace

int ComNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 9 || Upper(name.substr(0, 3)) != "COM") return 0;
  int n = 0;
  for (size_t i = 3; i < name.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
    n = n * 10 + (name[i] - '0');
  }
  return name[3] == '0' ? 0 : n;
}

std::string SerialNumberOf(const std::string& instanceId) {
  const std::string up = Upper(instanceId);
  // USB devices, and the FTDI driver's own bus, which puts the serial number
  // after "+" in the middle part: FTDIBUS\VID_0403+PID_6001+A50285BIA\0000.
  if (up.rfind("FTDIBUS\\", 0) == 0) {
    const size_t second = instanceId.find('\\', 8);
    const std::string middle = instanceId.substr(8, second == std::string::npos ? std::string::npos : second - 8);
    const size_t plus = middle.rfind('+');
    if (plus == std::string::npos) return "";
    std::string serial = middle.substr(plus + 1);
    // The driver adds "A" (the first interface) to the adapter's number.
    if (serial.size() > 1 && serial.back() == 'A') serial.pop_back();
    return serial;
  }
  if (up.rfind("USB\\", 0) != 0) return "";
  const size_t last = instanceId.rfind('\\');
  if (last == std::string::npos || last + 1 >= instanceId.size()) return "";
  const std::string tail = instanceId.substr(last + 1);
  return tail.find('&') == std::string::npos ? tail : "";
}

std::string HardwareOf(const std::string& hardwareId) {
  const std::string vid = HexAfter(hardwareId, "VID_"), pid = HexAfter(hardwareId, "PID_");
  if (vid.empty()) return "";
  return "USB VID " + vid + (pid.empty() ? "" : " PID " + pid);
}

std::vector<PortRow> MergePorts(const std::vector<std::string>& names, const std::vector<PortDevice>& devices) {
  std::vector<PortRow> rows;
  auto rowOf = [&rows](const std::string& name) -> PortRow& {
    for (PortRow& r : rows)
      if (Upper(r.name) == Upper(name)) return r;
    PortRow r;
    r.name = name;
    r.number = ComNumber(name);
    rows.push_back(std::move(r));
    return rows.back();
  };
  for (const std::string& n : names)
    if (!n.empty()) rowOf(n);
  for (const PortDevice& d : devices) {
    if (d.portName.empty()) continue;
    PortRow& r = rowOf(d.portName);
    r.description = !d.friendly.empty() ? d.friendly : d.description;
    r.maker = d.maker;
    // The device's own name on its bus says more than the driver's generic one.
    r.model = !d.busModel.empty() ? d.busModel : d.description;
    if (r.model == r.description) r.model.clear();
    r.serial = SerialNumberOf(d.instanceId);
    r.hardware = HardwareOf(!d.hardwareId.empty() ? d.hardwareId : d.instanceId);
  }
  std::stable_sort(rows.begin(), rows.end(), [](const PortRow& a, const PortRow& b) {
    if ((a.number == 0) != (b.number == 0)) return a.number != 0;
    return a.number != b.number ? a.number < b.number : a.name < b.name;
  });
  return rows;
}

}  // namespace qeld
