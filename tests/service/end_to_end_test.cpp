// End to end without a window: a libtorrent seed on loopback, the service with an empty store
// asking the swarm, and the desktop tool's two conversion routes. Compiled like the service
// (UTF-8 literals; Boost's headers need them): the tool's GBK texts come from G().
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "base/codepage.h"
#include "base/env.h"
#include "convert/routes.h"
#include "service/store/store.h"
#include "service/swarm/demo_seed.h"
#include "service/swarm/resolver.h"
#include "service/swarm/seeder.h"
#include "support/local_service.h"
#include "support/printers.h"
#include "support/recording_view.h"
#include "support/sandbox.h"
#include "torrent/torrent_check.h"

namespace pellucor::service {
namespace {

namespace fs = std::filesystem;

using testing::G;
using testing::RecordingView;

// The service on 127.0.0.1 with a fresh store, asking the given peers (no DHT).
class Service {
 public:
  // With `dhtBootstrap`, the service finds peers through that DHT alone.
  Service(const fs::path& dir, std::vector<std::string> peers, int timeoutSeconds,
          const std::string& dhtBootstrap = "", const std::vector<std::string>& torrents = {}) {
    std::string error;
    fs::create_directories(dir);
    store_ = Store::Open((dir / "torrents.sqlite").string(), &error);
    EXPECT_TRUE(store_) << error;
    for (const std::string& torrent : torrents) EXPECT_TRUE(store_->Add(torrent, "import", &error));
    testing::LocalServiceSettings local;
    ResolverSettings& swarm = local.swarm.emplace();
    swarm.dht = !dhtBootstrap.empty();
    if (swarm.dht) swarm.dhtBootstrap = {dhtBootstrap};
    swarm.peers = std::move(peers);
    swarm.timeoutSeconds = timeoutSeconds;
    service_ = std::make_unique<testing::LocalService>(*store_, local);
    EXPECT_NE(service_->Port(), 0);
  }
  GbkText Host() const { return GbkText(service_->Host()); }

 private:
  std::unique_ptr<Store> store_;
  std::unique_ptr<testing::LocalService> service_;
};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_ / "out"); }

  // The saved files in the tool's directory.
  std::vector<fs::path> Saved() const {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir_ / "out")) files.push_back(e.path());
    return files;
  }
  // The tool names files in GBK; the file system holds UTF-8.
  static GbkText Gbk(const fs::path& path) {
    return GbkText(Utf16ToGbk(Utf8ToUtf16(path.string())));
  }
  GbkText OutDir() const { return Gbk(dir_ / "out"); }

  const testing::Sandbox sandbox_{"e2e"};
  const fs::path& dir_ = sandbox_.fs();
};

TEST_F(EndToEnd, BothRoutesFetchAHashTheStoreNeverSaw) {
  std::string error;
  const auto seed = DemoSeed::Start((dir_ / "seed").string(), &error);
  ASSERT_TRUE(seed) << error;
  const auto seedInfo = TorrentInfoBytes(seed->TorrentBytes());
  ASSERT_TRUE(seedInfo);

  // The first route: a fresh store, so the service must ask the seed.
  {
    Service service(dir_ / "service1", {seed->Peer()}, 20);
    RecordingView view(GbkText(seed->MagnetLink()));
    RunFirstRoute(view, OutDir(), service.Host());
    EXPECT_EQ(view.messages, std::vector<std::string>{});
    const std::string prefix = G("种子获取成功，种子文件<");
    EXPECT_EQ(view.log.rfind(prefix, 0), 0u) << ::testing::PrintToString(GbkText(view.log));
    const auto saved = Saved();
    ASSERT_EQ(saved.size(), 1u);
    const auto bytes = ReadBytesFromFile(Gbk(saved[0]));
    ASSERT_TRUE(bytes);
    EXPECT_EQ(TorrentInfoBytes(bytes->view()), seedInfo);  // byte-identical info
    fs::remove(saved[0]);
  }
  // The second route, on another fresh store.
  {
    Service service(dir_ / "service2", {seed->Peer()}, 20);
    RecordingView view(GbkText(seed->MagnetLink()));
    RunSecondRoute(view, OutDir(), service.Host(), "pellucor.local");
    for (const char* line : {"数据/样例.bin【文件大小：1.00 MB】\r\n", "说明.txt【文件大小：",
                             "---------------以上为该种子信息预览---------------\r\n",
                             "种子获取成功，种子文件<Pellucor演示.torrent>"})
      EXPECT_NE(view.log.find(G(line)), std::string::npos)
          << line << "\n"
          << ::testing::PrintToString(GbkText(view.log));
    const auto bytes =
        ReadBytesFromFile(ConcatText(OutDir(), kPathSeparator, G("Pellucor演示.torrent")));
    ASSERT_TRUE(bytes);
    EXPECT_EQ(TorrentInfoBytes(bytes->view()), seedInfo);
  }
}

TEST_F(EndToEnd, TheSecondRouteFindsTheSeedThroughALoopbackDht) {
  // A DHT of three loopback nodes: a bootstrap node, the seed and the service.
  std::string error;
  SeederSettings first;
  first.dht = true;
  const auto node = Seeder::Start(first, &error);
  ASSERT_TRUE(node) << error;
  const std::string bootstrap = node->Peer();
  const auto seed = DemoSeed::Start((dir_ / "seed").string(), &error, {bootstrap});
  ASSERT_TRUE(seed) << error;
  Service service(dir_ / "service", {}, 20, bootstrap);
  RecordingView view(GbkText(seed->MagnetLink()));
  RunSecondRoute(view, OutDir(), service.Host(), "pellucor.local");
  EXPECT_NE(view.log.find(G("种子获取成功，种子文件<Pellucor演示.torrent>")), std::string::npos)
      << ::testing::PrintToString(GbkText(view.log));
  const auto bytes =
      ReadBytesFromFile(ConcatText(OutDir(), kPathSeparator, G("Pellucor演示.torrent")));
  ASSERT_TRUE(bytes);
  EXPECT_EQ(TorrentInfoBytes(bytes->view()), TorrentInfoBytes(seed->TorrentBytes()));
}

// A name longer than the tool reads, holding the text that ends the tool's name pattern: the
// tool saves the whole name the service gives, cut to 240 bytes.
TEST_F(EndToEnd, TheToolSavesTheNameTheServiceGives) {
  std::string head, tail;
  for (int i = 0; i < 50; ++i) head += "片";
  for (int i = 0; i < 350; ++i) tail += "尾";
  const std::string name = head + "[pellucor.local].torrent" + tail;
  const std::string info = "d6:lengthi4096e4:name" + std::to_string(name.size()) + ":" + name +
                           "12:piece lengthi16384e6:pieces20:" + std::string(20, 'p') + "e";
  const std::string torrent = "d7:comment1000:" + std::string(1000, 'c') + "4:info" + info + "e";
  Service service(dir_ / "service", {}, 2, "", {torrent});
  std::string hex;
  for (uint8_t b : Sha1(info)) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
  RecordingView view(GbkText("magnet:?xt=urn:btih:" + hex));
  RunSecondRoute(view, OutDir(), service.Host(), "pellucor.local");
  const std::string shown = head + "(pellucor.local).torrent" + tail.substr(0, 66);  // 240 bytes
  const auto saved = Saved();
  ASSERT_EQ(saved.size(), 1u) << ::testing::PrintToString(GbkText(view.log));
  EXPECT_EQ(saved[0].filename().string(), shown + ".torrent");
}

TEST_F(EndToEnd, AHashNobodySeedsGivesTheNotFoundMessages) {
  Service service(dir_ / "service", {}, 2);
  const GbkText link("magnet:?xt=urn:btih:" + std::string(40, 'C'));
  const auto start = std::chrono::steady_clock::now();
  RecordingView first(link);
  RunFirstRoute(first, OutDir(), service.Host());
  EXPECT_EQ(first.messages, std::vector<std::string>{G("您输入的HASH暂未收录")});
  RecordingView second(link);
  RunSecondRoute(second, OutDir(), service.Host(), "pellucor.local");
  EXPECT_EQ(second.log, G("---------------以上为该种子信息预览---------------\r\n"
                          "正在转化种子，请稍后……\r\n该磁力链接无法生成BT种子\r\n"));
  EXPECT_TRUE(Saved().empty());
  // Two lookups of about two seconds each (the second route asks the swarm once: its download
  // request only reads the store).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

}  // namespace
}  // namespace pellucor::service
