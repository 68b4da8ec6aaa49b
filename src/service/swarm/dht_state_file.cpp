#include "service/swarm/dht_state_file.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "service/core/log.h"

namespace pellucor::service {

namespace {

// The path as the file system takes it: the UTF-8 bytes as they are on Linux, UTF-16 on
// Windows (a narrow path there would go through the ANSI code page).
std::filesystem::path FileSystemPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

std::string DhtStateFile::Read() const {
  std::ifstream in(FileSystemPath(path_), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void DhtStateFile::SaveRegularly(std::function<std::string()> state) {
  state_ = std::move(state);
  Schedule();
}

void DhtStateFile::Stop() {
  timer_.cancel();
  if (state_) Save();
}

void DhtStateFile::Schedule() {
  timer_.expires_after(std::chrono::minutes(5));
  timer_.async_wait([this](const boost::system::error_code& error) {
    if (error) return;
    Save();
    Schedule();
  });
}

// Nothing to save without a DHT; the old file stays.
void DhtStateFile::Save() {
  const std::string state = state_();
  if (state.empty()) return;
  std::error_code ec;
  const std::filesystem::path path = FileSystemPath(path_);
  // A first save may need its directory (the user's cache directory, for the converter).
  if (const std::filesystem::path parent = path.parent_path(); !parent.empty())
    std::filesystem::create_directories(parent, ec);
  const std::filesystem::path temporary = FileSystemPath(path_ + ".new");
  bool written;
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(state.data(), static_cast<std::streamsize>(state.size()));
    written = static_cast<bool>(out.flush());
  }
  if (written) std::filesystem::rename(temporary, path, ec);
  if (!written || ec) Log(LogLevel::kError, "dht_state_not_saved", {{"path", path_}});
}

}  // namespace pellucor::service
