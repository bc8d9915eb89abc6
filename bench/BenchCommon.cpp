#include "BenchCommon.h"

#include <poll.h>
#include <sys/resource.h>

#include <chrono>
#include <fstream>

#include "link/Protocol.h"

namespace qeld::bench {

BenchSim::BenchSim(const Settings& s, const std::string& name, bool pace) {
  timingPath_ = s.workDir + "/" + name + ".timing";
  std::vector<std::string> args = {"--timing", timingPath_};
  if (!s.moduleDelays) args.push_back("--fast");
  if (pace) args.push_back("--pace");
  sim_ = std::make_unique<test::SimProcess>(1, args, s.Windows() ? s.wineHome : std::string());
  if (sim_->Ready() && s.simNice && setpriority(PRIO_PROCESS, static_cast<id_t>(sim_->Pid()), *s.simNice) != 0)
    error_ = "cannot set the simulator's priority to " + std::to_string(*s.simNice);
}

bool BenchSim::WaitAcks(int count, std::string* error) {
  const int64_t deadline = NowNs() + int64_t{10} * 1000000000;
  for (;;) {
    const auto status = sim_->Status();
    const auto acks = status.find("acks");
    if (acks != status.end() && std::stoi(acks->second) >= count) return true;
    if (acks == status.end() || NowNs() > deadline) {
      *error = "the module took in " + (acks == status.end() ? std::string("?") : acks->second) + " ACKs, not " +
               std::to_string(count);
      return false;
    }
    poll(nullptr, 0, 1);
  }
}

std::optional<std::vector<LineEvent>> BenchSim::StopAndRead(std::string* error) {
  const int status = sim_->Stop();
  if (status != 0) {
    *error = "qeld-sim ended with status " + std::to_string(status);
    return std::nullopt;
  }
  std::ifstream in(timingPath_);
  if (!in) {
    *error = "no timing record at " + timingPath_;
    return std::nullopt;
  }
  return ParseTiming(in, error);
}

std::string WriteImage(const Settings& s, int blocks) {
  const std::string path = s.workDir + "/image-" + std::to_string(blocks) + ".bin";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  // Every byte value occurs, none of the blocks is blank flash.
  for (int i = 0; i < blocks * kBlockSize; ++i) out.put(static_cast<char>((i * 7 + i / 256) & 0xFF));
  return out ? path : "";
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string WinePath(const std::string& path) {
  std::string w = "Z:" + path;
  for (char& c : w)
    if (c == '/') c = '\\';
  return w;
}

}  // namespace qeld::bench
