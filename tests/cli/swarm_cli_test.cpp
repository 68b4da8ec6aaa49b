// pellucor-convert --swarm, the program itself, in the small internet on loopback the service's
// swarm tests use (LoopbackSwarm): DHT nodes, v1, hybrid and v2-only seeds, a seed only the
// tracker knows, and a fake peer that sends wrong metadata. Every run names loopback DHT nodes
// or --no-dht and keeps its DHT state in the sandbox. The cases share the swarm and run in
// order: the last one stops the swarm's bootstrap nodes.
//   cli_swarm_test [RUNNER... PROGRAM]
// The Windows trees run the same cases against their pellucor-convert.exe: this Linux program
// keeps the swarm, and starts the Windows one through RUNNER (scripts/wine-run LOADER PREFIX),
// giving and expecting its paths as Wine's drive Z: names them. Without arguments the program is
// the Linux tree's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <libtorrent/bdecode.hpp>

#include "base/hex.h"
#include "support/fake_peer.h"
#include "support/loopback_swarm.h"
#include "support/process.h"
#include "support/real_torrents.h"
#include "support/sandbox.h"
#include "torrent/torrent_check.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;
namespace lt = libtorrent;
using Clock = std::chrono::steady_clock;
using testing::FakePeer;
using testing::Lines;
using testing::LoopbackSwarm;

const std::string kSendsWrongData(40, '2');
const std::string kNobodyHas(40, '5');

// The command that starts the converter: the runner's words, then the program.
std::vector<std::string> converter = {PELLUCOR_CONVERT_PROGRAM};

bool WindowsProgram() {
  return converter.back().ends_with(".exe");
}

// A path as the program takes and prints it: "Z:\tmp\x" under Wine for "/tmp/x".
std::string ProgramPath(const fs::path& path) {
  if (!WindowsProgram()) return path.string();
  std::string windows = "Z:" + path.string();
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return windows;
}

// Runs the converter with `args` to its end; a Windows program's line ends made "\n".
testing::ProgramRun RunConverter(std::vector<std::string> args) {
  args.insert(args.begin(), converter.begin() + 1, converter.end());
  testing::ProgramRun run = testing::RunProgram(converter.front(), args, {.timeoutSeconds = 120});
  if (WindowsProgram()) {
    for (std::string* text : {&run.out, &run.err})
      for (size_t at; (at = text->find("\r\n")) != std::string::npos;) text->erase(at, 1);
  }
  return run;
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ",") + item;
  return out;
}

std::string Magnet(const std::string& hash) {
  return (hash.size() == 64 ? "magnet:?xt=urn:btmh:1220" : "magnet:?xt=urn:btih:") + hash;
}

// The value of `key` in a JSON line of flat fields ("" when missing; strings unquoted, with "\\"
// for a backslash, the one escape a Windows path brings).
std::string Field(const std::string& line, const std::string& key) {
  const std::string mark = "\"" + key + "\":";
  size_t at = line.find(mark);
  if (at == std::string::npos) return "";
  at += mark.size();
  if (line[at] != '"') return line.substr(at, line.find_first_of(",}", at) - at);
  std::string value = line.substr(at + 1, line.find('"', at + 1) - at - 1);
  for (size_t i = 0; (i = value.find("\\\\", i)) != std::string::npos; ++i) value.erase(i, 1);
  return value;
}

// The announce URLs of a .torrent, in order ("announce" and every tier of "announce-list").
std::vector<std::string> Trackers(const std::string& torrent) {
  lt::error_code ec;
  const lt::bdecode_node root =
      lt::bdecode(lt::span<const char>(torrent.data(), static_cast<long>(torrent.size())), ec);
  std::vector<std::string> urls;
  if (ec) return urls;
  const lt::bdecode_node list = root.dict_find_list("announce-list");
  for (int tier = 0; list && tier < list.list_size(); ++tier)
    for (int i = 0; i < list.list_at(tier).list_size(); ++i)
      urls.emplace_back(list.list_at(tier).list_string_value_at(i));
  if (urls.empty() && root.dict_find_string("announce"))
    urls.emplace_back(root.dict_find_string_value("announce"));
  return urls;
}

bool HasPieceLayers(const std::string& torrent) {
  lt::error_code ec;
  const lt::bdecode_node root =
      lt::bdecode(lt::span<const char>(torrent.data(), static_cast<long>(torrent.size())), ec);
  return !ec && root.dict_find_dict("piece layers");
}

class SwarmCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sandbox_ = new testing::Sandbox("swarm-cli");
    dir_ = &sandbox_->fs();
    fake_ = new FakePeer({{*HexDecode(kSendsWrongData), {FakePeer::Mode::kWrongData, 1000}}});
    std::string error;
    swarm_ = LoopbackSwarm::Start((*dir_ / "swarm").string(), {}, &error).release();
    ASSERT_TRUE(swarm_) << error;
    std::ofstream((*dir_ / "trackers.txt").string()) << swarm_->TrackerUrl() << "\n";
    // What starting the program costs (Wine's start, under emulation too): each case's time
    // limit is the program's own time plus this.
    const Clock::time_point start = Clock::now();
    const testing::ProgramRun version = RunConverter({"--version"});
    ASSERT_EQ(version.exitCode, 0) << version.err;
    startSeconds_ = std::chrono::duration<double>(Clock::now() - start).count();
  }
  static void TearDownTestSuite() {
    delete swarm_;
    delete fake_;
    delete sandbox_;
  }
  void SetUp() override {
    ASSERT_TRUE(swarm_);
    out_ = *dir_ /
           ("out-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(out_);
  }

  // Runs the converter with --swarm, saving into this case's directory.
  static testing::ProgramRun Convert(std::vector<std::string> args) {
    args.insert(args.begin(),
                {"--swarm", "-d", ProgramPath(out_), "--dht-state", ProgramPath(StateFile())});
    return RunConverter(args);
  }
  // The DHT's routing table, in a folder the first save makes, named as a Chinese user's
  // profile folder may be (%LOCALAPPDATA% is under it).
  static fs::path StateFile() { return *dir_ / "张三" / "dht-state"; }
  static std::vector<std::string> Dht() {
    return {"--dht-bootstrap", Join(swarm_->BootstrapNodes())};
  }
  static std::string Saved(const std::string& name) {
    return testing::ReadWholeFile((out_ / name).string());
  }
  static size_t FilesSaved() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(out_)) ++n;
    return n;
  }

  static testing::Sandbox* sandbox_;
  static const fs::path* dir_;
  static FakePeer* fake_;
  static LoopbackSwarm* swarm_;
  static fs::path out_;
  static double startSeconds_;
};

testing::Sandbox* SwarmCli::sandbox_ = nullptr;
const fs::path* SwarmCli::dir_ = nullptr;
FakePeer* SwarmCli::fake_ = nullptr;
LoopbackSwarm* SwarmCli::swarm_ = nullptr;
fs::path SwarmCli::out_;
double SwarmCli::startSeconds_ = 0;

// One run through the DHT, four at once: each kind of torrent by each hash it goes by. A torrent
// asked several ways is saved once, proven by the hash asked, with piece layers when v2.
TEST_F(SwarmCli, EveryKindOfTorrentByEveryHashItGoesBy) {
  const LoopbackSwarm::Torrent &v1 = swarm_->V1(), &hybrid = swarm_->Hybrid(),
                               &v2 = swarm_->V2Only();
  struct Case {
    std::string link, hash;
    const LoopbackSwarm::Torrent* torrent;
  };
  const std::vector<Case> cases = {
      {Magnet(v1.v1), v1.v1, &v1},
      {v1.v1, v1.v1, &v1},  // a bare hash, and the same torrent twice
      {Magnet(hybrid.v1), hybrid.v1, &hybrid},
      {Magnet(hybrid.v2), hybrid.v2, &hybrid},
      {Magnet(hybrid.v2.substr(0, 40)), hybrid.v2.substr(0, 40), &hybrid},
      {Magnet(v2.v2), v2.v2, &v2},
      {Magnet(v2.v1), v2.v1, &v2},  // its truncated SHA-256
  };
  std::vector<std::string> args = Dht();
  args.insert(args.end(), {"--json", "-j", "4", "--timeout", "20"});
  for (const Case& c : cases) args.push_back(c.link);
  const testing::ProgramRun run = Convert(args);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  std::map<std::string, std::string> byHash;
  for (const std::string& line : Lines(run.out)) byHash[Field(line, "hash")] = line;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    const std::string& line = byHash[c.hash];
    ASSERT_EQ(Field(line, "outcome"), "saved") << run.out << run.err;
    const fs::path file = out_ / (c.torrent->name + ".torrent");
    EXPECT_EQ(Field(line, "file"), ProgramPath(file));
    const std::string saved = testing::ReadWholeFile(file.string());
    EXPECT_EQ(TorrentInfoBytes(saved).value_or(""), c.torrent->infoSection);
    const bool v2Files = !c.torrent->v2.empty();
    EXPECT_EQ(HasPieceLayers(saved), v2Files);
    EXPECT_EQ(Field(line, "pieceLayers"), v2Files ? "true" : "");
  }
  EXPECT_EQ(FilesSaved(), 3u);
  EXPECT_TRUE(fs::exists(StateFile()));
}

// Each source alone, without the DHT where it is not the one tested; and each way a lookup
// fails, with its phrase, within its time, saving nothing.
TEST_F(SwarmCli, EachSourceAloneAndEachFailure) {
  const LoopbackSwarm::Torrent& tracked = swarm_->TrackerOnly();
  const std::string fake = "127.0.0.1:" + std::to_string(fake_->Port());
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string link;
    std::string line;  // the whole line expected on standard output
    double maxSeconds;
    size_t trackers = 0;  // announce URLs the saved torrent carries
  };
  const std::string saved = "OK " + tracked.v1 + " " + ProgramPath(out_ / "swarm-tracker.torrent");
  const std::vector<Case> cases = {
      {"--trackers",
       {"--no-dht", "--trackers", ProgramPath(*dir_ / "trackers.txt")},
       tracked.v1,
       saved,
       20,
       1},
      {"the link's tr=",
       {"--no-dht"},
       Magnet(tracked.v1) + "&tr=" + swarm_->TrackerUrl(),
       saved,
       20,
       1},
      {"the link's x.pe=",
       {"--no-dht"},
       Magnet(tracked.v1) + "&x.pe=" + swarm_->TrackerOnlySeed(),
       saved,
       20},
      {"--peer", {"--no-dht", "--peer", swarm_->TrackerOnlySeed()}, Magnet(tracked.v1), saved, 20},
      {"nowhere to look", {"--no-dht"}, kNobodyHas, "FAIL " + kNobodyHas + " no peers found", 3},
      {"nobody has it", Dht(), kNobodyHas, "FAIL " + kNobodyHas + " no peers found", 12},
      {"wrong metadata",
       {"--no-dht"},
       Magnet(kSendsWrongData) + "&x.pe=" + fake,
       "FAIL " + kSendsWrongData + " bad metadata",
       12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(out_);
    fs::create_directories(out_);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--timeout", "8", c.link});
    const Clock::time_point start = Clock::now();
    const testing::ProgramRun run = Convert(args);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // FAIL lines name the argument the link came from: the last one.
    const std::string line =
        c.line.rfind("FAIL ", 0) == 0
            ? c.line.substr(0, 45) + " arg:" + std::to_string(args.size() + 5) + c.line.substr(45)
            : c.line;
    EXPECT_EQ(run.out, line + "\n") << run.err;
    EXPECT_EQ(run.exitCode, c.line.rfind("OK", 0) == 0 ? 0 : 1);
    EXPECT_LT(seconds, c.maxSeconds + startSeconds_);
    // A tracker the torrent was found through travels with it.
    if (run.exitCode == 0)
      EXPECT_EQ(Trackers(Saved("swarm-tracker.torrent")).size(), c.trackers);
    else
      EXPECT_EQ(FilesSaved(), 0u);
  }
}

// A client of another maker, leeching `torrents` (paths) on 127.0.0.1:`port` with its files in
// `dir`: no DHT, no local peer discovery, no peer exchange. Without the content it still hands
// out the metadata, as leeches in a real swarm do. Transmission's console client takes one
// torrent a process.
std::unique_ptr<testing::ChildProcess> StartClient(const std::string& client,
                                                   const std::vector<std::string>& torrents,
                                                   int port, const fs::path& dir) {
  fs::create_directories(dir / "data");
  const std::string p = std::to_string(port), log = (dir / "log.txt").string();
  std::vector<std::string> argv;
  if (client == "aria2c") {
    argv = {"aria2c",
            "--enable-dht=false",
            "--enable-dht6=false",
            "--bt-enable-lpd=false",
            "--enable-peer-exchange=false",
            "--listen-port=" + p,
            "--file-allocation=none",
            "--bt-tracker-connect-timeout=1",
            "--summary-interval=0",
            "-d",
            (dir / "data").string()};
  } else if (client == "transmission-cli") {
    fs::create_directories(dir / "config");
    std::ofstream((dir / "config" / "settings.json").string())
        << R"({"dht-enabled": false, "lpd-enabled": false, "pex-enabled": false,
  "port-forwarding-enabled": false, "bind-address-ipv4": "127.0.0.1", "rpc-enabled": false})";
    argv = {"transmission-cli",
            "-g",
            (dir / "config").string(),
            "-w",
            (dir / "data").string(),
            "-p",
            p,
            "-M"};
  } else {  // rtorrent, its commands from a file in place of ~/.rtorrent.rc
    fs::create_directories(dir / "session");
    std::ofstream rc((dir / "rtorrent.rc").string());
    rc << "system.daemon.set = true\nnetwork.port_range.set = " << p << "-" << p
       << "\nnetwork.port_random.set = no\nnetwork.bind_address.set = 127.0.0.1\n"
       << "dht.mode.set = disable\nprotocol.pex.set = no\ntrackers.use_udp.set = no\n"
       << "directory.default.set = " << (dir / "data").string()
       << "\nsession.path.set = " << (dir / "session").string() << "\n";
    for (const std::string& torrent : torrents) rc << "load.start = " << torrent << "\n";
    argv = {"rtorrent", "-n", "-o", "import=" + (dir / "rtorrent.rc").string()};
  }
  if (client != "rtorrent") argv.insert(argv.end(), torrents.begin(), torrents.end());
  auto process = std::make_unique<testing::ChildProcess>(argv, log, log);
  for (int i = 0; i < 250 && process->Running() && !testing::Accepts(port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return process;
}

// Torrents written by other programs (tests/data/torrents/by-*, and µTorrent's whose metadata
// comes in two pieces), each from a client of another maker that has it: every one saved with its
// info dictionary byte for byte, under the name the service's route would give it (a folder named
// in code page 936 included). Transmission hands out no metadata of a private torrent, which the
// converter reports as such.
TEST_F(SwarmCli, TorrentsOfOtherProgramsFromClientsOfOtherMakers) {
  struct Case {
    std::string client, file;
    bool served;
  };
  const std::vector<Case> cases = {
      {"aria2c", "by-mktorrent-album.torrent", true},  // web seed, two tiers
      {"aria2c", "by-ctorrent-single.torrent", true},
      {"aria2c", "webtorrent-sintel.torrent", true},  // µTorrent's; metadata of two pieces
      {"transmission-cli", "by-transmission-album.torrent", true},
      {"transmission-cli", "by-mktorrent-gbk-names.torrent", true},
      {"transmission-cli", "by-mktorrent-private.torrent", false},
      {"rtorrent", "by-buildtorrent-album.torrent", true},   // md5sum fields
      {"rtorrent", "by-transmission-single.torrent", true},  // and the content's name
      {"rtorrent", "webtorrent-bunny.torrent", true},        // µTorrent's; two pieces
  };
  std::map<std::string, testing::RealTorrent> rows;
  for (const testing::RealTorrent& row : testing::RealTorrents()) rows[row.file] = row;
  // The clients get the info dictionaries with a tracker on loopback that is never there
  // (rtorrent takes no torrent without one): no tracker, web seed or node of a file's own is
  // ever asked.
  std::map<std::string, std::vector<std::string>> torrentsOf;
  for (const Case& c : cases) {
    const std::string original = testing::ReadWholeFile(testing::RealTorrentsDir() + c.file);
    const std::string bare = *dir_ / ("bare-" + c.file);
    const std::string tracker = "http://127.0.0.1:1/announce";
    std::ofstream(bare, std::ios::binary)
        << "d8:announce" << tracker.size() << ":" << tracker << "4:info"
        << TorrentInfoBytes(original).value_or("") << "e";
    torrentsOf[c.client].push_back(bare);
  }

  std::vector<std::unique_ptr<testing::ChildProcess>> clients;
  std::map<std::string, std::vector<std::string>> peersOf;
  auto start = [&](const std::string& client, const std::vector<std::string>& torrents) {
    const int port = testing::FreePort();
    const fs::path dir = *dir_ / ("client-" + std::to_string(clients.size()));
    clients.push_back(StartClient(client, torrents, port, dir));
    ASSERT_TRUE(clients.back()->Running() && testing::Accepts(port))
        << client << ": " << testing::ReadWholeFile((dir / "log.txt").string());
    peersOf[client].push_back("127.0.0.1:" + std::to_string(port));
  };
  for (const auto& [client, torrents] : torrentsOf) {
    if (client != "transmission-cli")
      start(client, torrents);
    else
      for (const std::string& torrent : torrents) start(client, {torrent});
  }

  // One run for each client's torrents, so that no two saved files share a name.
  for (const auto& [client, peers] : peersOf) {
    SCOPED_TRACE(client);
    fs::remove_all(out_);
    fs::create_directories(out_);
    std::vector<std::string> args = {"--no-dht", "--peer", Join(peers), "--json",
                                     "-j",       "4",      "--timeout", "10"};
    for (const Case& c : cases)
      if (c.client == client) args.push_back(rows[c.file].hash);
    const testing::ProgramRun run = Convert(args);
    std::map<std::string, std::string> outcomes;
    for (const std::string& line : Lines(run.out))
      outcomes[Field(line, "hash")] = Field(line, "outcome");
    bool allServed = true;
    for (const Case& c : cases) {
      if (c.client != client) continue;
      SCOPED_TRACE(c.file);
      const testing::RealTorrent& row = rows[c.file];
      ASSERT_FALSE(row.hash.empty());
      allServed = allServed && c.served;
      EXPECT_EQ(outcomes[row.hash], c.served ? "saved" : "no_metadata") << run.out << run.err;
      if (!c.served) continue;
      const std::string saved = testing::ReadWholeFile((out_ / (row.name + ".torrent")).string());
      const std::string original = testing::ReadWholeFile(testing::RealTorrentsDir() + c.file);
      EXPECT_EQ(TorrentInfoBytes(saved).value_or("saved: none"),
                TorrentInfoBytes(original).value_or("original: none"));
    }
    EXPECT_EQ(run.exitCode, allServed ? 0 : 1) << run.err;
  }
  for (auto& client : clients) client->Stop(std::chrono::seconds(5));
}

// A run that found its torrent leaves the DHT's routing table behind; the next one starts from
// it when no bootstrap node answers.
TEST_F(SwarmCli, ASecondRunStartsFromTheSavedRoutingTable) {
  ASSERT_TRUE(fs::exists(StateFile()));
  swarm_->StopBootstrapNodes();
  const std::string& hash = swarm_->Spare().v1;
  std::vector<std::string> args = Dht();
  args.insert(args.end(), {"--timeout", "20", Magnet(hash)});
  const testing::ProgramRun run = Convert(args);
  EXPECT_EQ(run.out, "OK " + hash + " " + ProgramPath(out_ / "swarm-spare.torrent") + "\n")
      << run.err;
}

}  // namespace
}  // namespace pellucor

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc > 1) pellucor::converter.assign(argv + 1, argv + argc);
  return RUN_ALL_TESTS();
}
