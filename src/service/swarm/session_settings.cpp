#include "service/swarm/session_settings.h"

#include <cctype>
#include <optional>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "base/host_port.h"

namespace pellucor::service {

std::vector<lt::tcp::endpoint> ResolveEndpoints(const std::string& hostPort) {
  const std::optional<HostPort> parsed = ParseHostPort(hostPort);
  if (!parsed) return {};
  const auto port = static_cast<unsigned short>(parsed->port);
  boost::system::error_code ec;
  const boost::asio::ip::address address = boost::asio::ip::make_address(parsed->host, ec);
  if (!ec) return {lt::tcp::endpoint(address, port)};
  boost::asio::io_context io;
  boost::asio::ip::tcp::resolver resolver(io);
  const auto results = resolver.resolve(parsed->host, std::to_string(port), ec);
  std::vector<lt::tcp::endpoint> endpoints;
  if (ec) return endpoints;
  for (const auto& entry : results) endpoints.push_back(entry.endpoint());
  return endpoints;
}

bool IsClosedAddress(const boost::asio::ip::address& address) {
  if (address.is_loopback()) return true;
  if (address.is_v4()) {
    const auto b = address.to_v4().to_bytes();
    return b[0] == 10 || (b[0] == 172 && (b[1] & 0xf0) == 16) || (b[0] == 192 && b[1] == 168);
  }
  const auto b = address.to_v6().to_bytes();
  return (b[0] & 0xfe) == 0xfc || address.to_v6().is_link_local();
}

namespace {

// Closed, or no place to dial at all: unspecified, link-local, multicast, and IPv4 in IPv6.
bool IsNeverDialled(const boost::asio::ip::address& address) {
  if (address.is_unspecified() || address.is_multicast() || IsClosedAddress(address)) return true;
  if (address.is_v4()) {
    const auto b = address.to_v4().to_bytes();
    return b[0] == 0 || (b[0] == 169 && b[1] == 254) || (b[0] == 100 && (b[1] & 0xc0) == 64);
  }
  const boost::asio::ip::address_v6 v6 = address.to_v6();
  return v6.is_v4_mapped() &&
         IsNeverDialled(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6));
}

}  // namespace

bool SourceTrackerAllowed(const std::string& url, bool closedAllowed) {
  const size_t colon = url.find("://");
  if (colon == std::string::npos) return false;
  std::string scheme = url.substr(0, colon);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme != "http" && scheme != "https" && scheme != "udp") return false;
  if (closedAllowed) return true;
  // The host: after any user info, up to the port, path or query.
  std::string_view rest = std::string_view(url).substr(colon + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const size_t at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
  std::string host;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return false;
    host = std::string(rest.substr(1, close - 1));
  } else {
    host = std::string(rest.substr(0, rest.find(':')));
  }
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  while (!host.empty() && host.back() == '.') host.pop_back();
  if (host.empty() || host == "localhost" ||
      (host.size() > 10 && host.compare(host.size() - 10, 10, ".localhost") == 0))
    return false;
  boost::system::error_code ec;
  const boost::asio::ip::address address = boost::asio::ip::make_address(host, ec);
  // Digits alone ("2130706433", "0x7f.1") are addresses to some resolvers.
  if (ec) return host.find_first_not_of("0123456789.x") != std::string::npos;
  return !IsNeverDialled(address);
}

bool SourcePeerAllowed(const std::string& hostPort, bool closedAllowed) {
  const std::optional<HostPort> parsed = ParseHostPort(hostPort);
  if (!parsed || parsed->port == 0) return false;
  boost::system::error_code ec;
  const boost::asio::ip::address address = boost::asio::ip::make_address(parsed->host, ec);
  if (ec) return false;
  return closedAllowed || !IsNeverDialled(address);
}

bool EveryAddress(const std::vector<std::string>& hostPorts,
                  bool (*test)(const boost::asio::ip::address&)) {
  if (hostPorts.empty()) return false;
  for (const std::string& hostPort : hostPorts) {
    const std::vector<lt::tcp::endpoint> endpoints = ResolveEndpoints(hostPort);
    if (endpoints.empty()) return false;
    for (const lt::tcp::endpoint& endpoint : endpoints)
      if (!test(endpoint.address())) return false;
  }
  return true;
}

bool ClosedSwarm(const std::vector<std::string>& nodes) {
  return EveryAddress(nodes, IsClosedAddress);
}

lt::settings_pack SessionSettings(const std::string& listenInterfaces, bool dht,
                                  const std::vector<std::string>& dhtBootstrap) {
  std::string nodes;
  for (const std::string& node : dhtBootstrap) nodes += (nodes.empty() ? "" : ",") + node;
  lt::settings_pack pack;
  pack.set_str(lt::settings_pack::listen_interfaces, listenInterfaces);
  pack.set_bool(lt::settings_pack::enable_dht, dht);
  // Without the DHT its routers are neither asked nor even looked up: a name lookup of
  // dht.libtorrent.org would tell the resolver's operator what a --no-dht run meant to keep
  // quiet, and stalls a machine without a name server.
  pack.set_str(lt::settings_pack::dht_bootstrap_nodes, dht ? nodes : std::string());
  if (dht && ClosedSwarm(dhtBootstrap)) {
    pack.set_bool(lt::settings_pack::dht_restrict_routing_ips, false);
    pack.set_bool(lt::settings_pack::dht_restrict_search_ips, false);
    pack.set_bool(lt::settings_pack::dht_enforce_node_id, false);
    pack.set_bool(lt::settings_pack::dht_prefer_verified_node_ids, false);
    // Every node of the swarm shares one address: the flood guard (packets per second and
    // address) would ban the whole swarm at once, and the DHT's upload cap drops replies
    // when many lookups run side by side.
    pack.set_int(lt::settings_pack::dht_block_ratelimit, 100000);
    pack.set_int(lt::settings_pack::dht_upload_rate_limit, 64 * 1024 * 1024);
  }
  pack.set_bool(lt::settings_pack::enable_lsd, false);
  pack.set_bool(lt::settings_pack::enable_upnp, false);
  pack.set_bool(lt::settings_pack::enable_natpmp, false);
  pack.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
  return pack;
}

}  // namespace pellucor::service
