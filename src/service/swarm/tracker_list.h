// The trackers file of the service's --trackers (and of the converter's swarm mode): one announce
// URL a line, a blank line between tiers, "#" at the start of a comment line; blanks around a
// line do not count, nor do empty tiers.
//   "http://a/announce\n# backup\nudp://b:80\n\n\nhttp://c/announce\n"
//     -> {{"http://a/announce", "udp://b:80"}, {"http://c/announce"}}
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pellucor::service {

std::vector<std::vector<std::string>> ParseTrackerList(std::string_view text);

}  // namespace pellucor::service
