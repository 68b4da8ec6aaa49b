#include "service/swarm/tracker_list.h"

namespace pellucor::service {

std::vector<std::vector<std::string>> ParseTrackerList(std::string_view text) {
  std::vector<std::vector<std::string>> tiers(1);
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const size_t first = line.find_first_not_of(" \t\r");
    line = first == std::string_view::npos
               ? std::string_view()
               : line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
    if (line.empty()) {
      if (!tiers.back().empty()) tiers.emplace_back();
    } else if (line[0] != '#') {
      tiers.back().emplace_back(line);
    }
  }
  if (tiers.back().empty()) tiers.pop_back();
  return tiers;
}

}  // namespace pellucor::service
