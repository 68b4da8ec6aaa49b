#include "service/core/outcome.h"

#include <cstdio>
#include <iterator>

namespace pellucor::service {
namespace {

struct OutcomeText {
  const char* code;
  const char* phrase;
  const char* sentence;  // without the counts and the full stop
};

const OutcomeText kTexts[] = {
    {"found_store", "found in the store", "已在种子库中找到"},
    {"found_peer", "found from a listed peer", "已从指定的节点获取"},
    {"found_dht", "found through the DHT", "已通过 DHT 网络获取"},
    {"found_tracker", "found through a tracker", "已通过 Tracker 获取"},
    {"no_dht_nodes", "no DHT nodes", "未找到：DHT 网络中没有可用的节点"},
    {"no_peers", "no peers found", "未找到：没有找到拥有这个种子的节点"},
    {"no_metadata", "peers found but none gave the metadata",
     "未找到：找到了节点，但没有节点提供种子信息"},
    {"bad_metadata", "bad metadata", "未找到：节点发来的种子信息与哈希不符"},
    {"too_large", "metadata over the size cap", "未找到：种子信息超过了大小上限"},
    {"timed_out", "timed out", "未找到：限定时间内没有收到完整的种子信息"},
    {"store_failed", "metadata refused by the store",
     "未找到：种子信息已获取，但不是种子库能保存的种子"},
    {"cancelled", "cancelled: every client went away", "已取消：请求的客户端都已离开"},
    {"too_many_lookups", "too many lookups from this client at once",
     "未查找：您的地址同时进行的查找过多，请稍后再试"},
    {"store_unavailable", "the store could not be read", "未查找：种子库暂时无法读取，请稍后再试"},
    {"busy", "the service was busy: no fetch came free in time",
     "未查找：服务繁忙，限定时间内没有空闲的查找，请稍后再试"},
};

const OutcomeText& TextOf(Outcome outcome) {
  return kTexts[static_cast<int>(outcome)];
}

std::string OneDecimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value < 0 ? 0.0 : value);
  return text;
}

}  // namespace

bool IsFound(Outcome outcome) {
  return outcome == Outcome::kFoundStore || outcome == Outcome::kFoundPeer ||
         outcome == Outcome::kFoundDht || outcome == Outcome::kFoundTracker;
}

const char* OutcomeCode(Outcome outcome) {
  return TextOf(outcome).code;
}

std::optional<Outcome> OutcomeFromCode(std::string_view code) {
  for (size_t i = 0; i < std::size(kTexts); ++i)
    if (code == kTexts[i].code) return static_cast<Outcome>(i);
  return std::nullopt;
}

const char* OutcomePhrase(Outcome outcome) {
  return TextOf(outcome).phrase;
}

std::string OutcomeSentence(const LookupReport& report) {
  return std::string(TextOf(report.outcome).sentence) + "（DHT 节点 " +
         std::to_string(report.dhtNodes) + " 个，发现节点 " + std::to_string(report.peersSeen) +
         " 个，尝试连接 " + std::to_string(report.peersTried) + " 个，用时 " +
         OneDecimal(report.seconds) + " 秒）。";
}

}  // namespace pellucor::service
