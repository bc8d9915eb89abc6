// The ports of this PC on Windows: the names from the system's serial-device
// map (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, which every serial driver fills
// in, USB adapters' included), the device manager's details from SetupAPI
// (the Ports class and the COM-port interface), and each port's state from
// trying to open it.
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "comm/Comm.h"
#include "comm/PortList.h"
#include "comm/PortLockWin32.h"
#include "link/Protocol.h"
#include "os/Utf16.h"
#include "os/Win32.h"
#include <setupapi.h>

namespace qeld {

namespace {

// The Ports class and the COM-port interface; spelt out here so that the
// build needs no GUID library.
constexpr GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kComPortInterface = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
// The name a USB device gives itself ("FT232R USB UART"), where the driver's
// description says only "USB Serial Port".
constexpr DEVPROPKEY kBusReportedName = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};

// A Bluetooth port opens only once its far end answers, which can take many
// seconds; the list does not wait that long for any port.
constexpr DWORD kProbeMs = 1500;

std::string RegistryText(HKEY key, const wchar_t* name) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return "";
  std::wstring w(size / sizeof(wchar_t) + 1, L'\0');
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(w.data()), &size) != ERROR_SUCCESS)
    return "";
  w.resize(wcsnlen(w.c_str(), w.size()));
  return Narrow(w);
}

// The port names the serial drivers have registered.
std::vector<std::string> SerialCommNames() {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return names;
  for (DWORD i = 0;; ++i) {
    wchar_t valueName[256];
    DWORD nameLen = 256, type = 0, size = 0;
    const LONG r = RegEnumValueW(key, i, valueName, &nameLen, nullptr, &type, nullptr, &size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA) break;
    if (type == REG_SZ) names.push_back(RegistryText(key, valueName));
  }
  RegCloseKey(key);
  return names;
}

std::string DeviceText(HDEVINFO set, SP_DEVINFO_DATA& dev, DWORD property) {
  DWORD type = 0, size = 0;
  SetupDiGetDeviceRegistryPropertyW(set, &dev, property, &type, nullptr, 0, &size);
  if (size == 0 || (type != REG_SZ && type != REG_MULTI_SZ)) return "";
  std::wstring w(size / sizeof(wchar_t) + 1, L'\0');
  if (!SetupDiGetDeviceRegistryPropertyW(set, &dev, property, &type, reinterpret_cast<BYTE*>(w.data()), size, nullptr))
    return "";
  // The first string of a list (hardware ids come most specific first).
  w.resize(wcsnlen(w.c_str(), w.size()));
  return Narrow(w);
}

std::string BusReportedName(HDEVINFO set, SP_DEVINFO_DATA& dev) {
  DEVPROPTYPE type = 0;
  wchar_t buf[256] = {};
  if (!SetupDiGetDevicePropertyW(set, &dev, &kBusReportedName, &type, reinterpret_cast<BYTE*>(buf), sizeof buf - 2,
                                 nullptr, 0) ||
      type != DEVPROP_TYPE_STRING)
    return "";
  return Narrow(buf);
}

void AddDevices(const GUID& guid, DWORD flags, std::vector<PortDevice>& out) {
  const HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags | DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA dev{};
  dev.cbSize = sizeof dev;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
    PortDevice d;
    wchar_t id[512] = {};
    if (SetupDiGetDeviceInstanceIdW(set, &dev, id, 511, nullptr)) d.instanceId = Narrow(id);
    bool seen = false;
    for (const PortDevice& o : out) seen = seen || (!d.instanceId.empty() && o.instanceId == d.instanceId);
    if (seen) continue;
    if (HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        key != INVALID_HANDLE_VALUE) {
      d.portName = RegistryText(key, L"PortName");
      RegCloseKey(key);
    }
    // A parallel port (LPT1) shares the Ports class.
    if (ComNumber(d.portName) == 0) continue;
    d.friendly = DeviceText(set, dev, SPDRP_FRIENDLYNAME);
    d.maker = DeviceText(set, dev, SPDRP_MFG);
    d.description = DeviceText(set, dev, SPDRP_DEVICEDESC);
    d.hardwareId = DeviceText(set, dev, SPDRP_HARDWAREID);
    d.busModel = BusReportedName(set, dev);
    out.push_back(std::move(d));
  }
  SetupDiDestroyDeviceInfoList(set);
}

struct ProbeResult {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  PortRow::State state = PortRow::State::Unknown;
  std::string text;
};

// The state a failed open (or a refused first call) of a port stands for.
void FailedState(DWORD err, PortRow::State& state, std::string& text) {
  switch (err) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      state = PortRow::State::InUse;
      text = "in use by another program";
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    // Wine opens a COM name whose device is missing, then refuses every call on it.
    case ERROR_INVALID_FUNCTION:
      state = PortRow::State::Absent;
      text = "no device behind it";
      break;
    default:
      state = PortRow::State::Unknown;
      text = "does not open: " + SystemMessage(err);
      break;
  }
}

// Opens the port as the console would, asks it for its settings, and closes
// it again at once. Nothing is written and no setting is changed.
void Probe(const std::string& path, ProbeResult& r) {
  const HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  PortRow::State state = PortRow::State::Free;
  std::string text = "free";
  if (h == INVALID_HANDLE_VALUE) {
    FailedState(GetLastError(), state, text);
  } else {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) FailedState(GetLastError(), state, text);
    CloseHandle(h);
  }
  std::lock_guard<std::mutex> lock(r.m);
  r.state = state;
  r.text = std::move(text);
  r.done = true;
  r.cv.notify_all();
}

bool SamePath(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

std::vector<PortRow> ListPorts(const std::string& openPort) {
  std::vector<PortDevice> devices;
  AddDevices(kPortsClass, 0, devices);
  AddDevices(kComPortInterface, DIGCF_DEVICEINTERFACE, devices);
  std::vector<PortRow> rows = MergePorts(SerialCommNames(), devices);

  // Every port is tried at once, each on a thread of its own; one that does
  // not answer in time is left to finish on its own.
  std::vector<std::shared_ptr<ProbeResult>> probes(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    PortRow& r = rows[i];
    if (r.number == 0) continue;
    // Above the console's range a port cannot be used here whatever its
    // state, and is not opened to learn it.
    if (r.number > kMaxPort) {
      r.stateText = "beyond COM" + std::to_string(kMaxPort) + ": renumber it to use it here";
      continue;
    }
    const std::string path = CComm::DevicePath(r.number);
    if (!openPort.empty() && SamePath(path, openPort)) {
      r.state = PortRow::State::InUse;
      r.stateText = "in use by this console";
      continue;
    }
    // Another console holds its lock even where the system lets a second
    // open through (Wine).
    if (const HANDLE lock = OpenMutexW(SYNCHRONIZE, FALSE, PortLockName(static_cast<unsigned>(r.number)).c_str())) {
      CloseHandle(lock);
      r.state = PortRow::State::InUse;
      r.stateText = "in use by another QELD console";
      continue;
    }
    auto probe = std::make_shared<ProbeResult>();
    try {
      std::thread([probe, path] { Probe(path, *probe); }).detach();
      probes[i] = probe;
    } catch (const std::system_error&) {
      r.stateText = "not tried (no thread to try it on)";
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeMs);
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!probes[i]) continue;
    ProbeResult& p = *probes[i];
    std::unique_lock<std::mutex> lock(p.m);
    if (p.cv.wait_until(lock, deadline, [&] { return p.done; })) {
      rows[i].state = p.state;
      rows[i].stateText = p.text;
    } else {
      rows[i].state = PortRow::State::Unknown;
      rows[i].stateText = "does not answer (a Bluetooth port waits for its far end)";
    }
  }
  return rows;
}

}  // namespace qeld
