// The trackers file: announce URLs by tier.
#include "service/swarm/tracker_list.h"

#include <gtest/gtest.h>

namespace pellucor::service {
namespace {

using Tiers = std::vector<std::vector<std::string>>;

TEST(TrackerList, ReadsTiersOfUrls) {
  const struct {
    const char* text;
    Tiers tiers;
  } cases[] = {
      {"", {}},
      {"\n\n# none yet\n", {}},
      {"http://a/announce", {{"http://a/announce"}}},
      {"http://a/announce\nudp://b:80\n", {{"http://a/announce", "udp://b:80"}}},
      // Blank lines between tiers, however many; blanks around a line; Windows line ends.
      {"http://a/announce\n\n\n  udp://b:80 \r\n\t\r\nhttp://c/announce\r\n",
       {{"http://a/announce"}, {"udp://b:80"}, {"http://c/announce"}}},
      // A comment line neither counts nor ends a tier; "#" inside a line is part of the URL.
      {"# main\nhttp://a/announce\n  # old one\nhttp://a/x#y\n\n# spare\nudp://b:80",
       {{"http://a/announce", "http://a/x#y"}, {"udp://b:80"}}},
      {"\n\nhttp://a/announce\n\n", {{"http://a/announce"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseTrackerList(c.text), c.tiers);
  }
}

}  // namespace
}  // namespace pellucor::service
