#include "service/swarm/session_settings.h"

#include <optional>

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

bool ClosedSwarm(const std::vector<std::string>& nodes) {
  if (nodes.empty()) return false;
  for (const std::string& node : nodes) {
    const std::vector<lt::tcp::endpoint> endpoints = ResolveEndpoints(node);
    if (endpoints.empty()) return false;
    for (const lt::tcp::endpoint& endpoint : endpoints)
      if (!IsClosedAddress(endpoint.address())) return false;
  }
  return true;
}

lt::settings_pack SessionSettings(const std::string& listenInterfaces, bool dht,
                                  const std::vector<std::string>& dhtBootstrap) {
  std::string nodes;
  for (const std::string& node : dhtBootstrap) nodes += (nodes.empty() ? "" : ",") + node;
  lt::settings_pack pack;
  pack.set_str(lt::settings_pack::listen_interfaces, listenInterfaces);
  pack.set_bool(lt::settings_pack::enable_dht, dht);
  pack.set_str(lt::settings_pack::dht_bootstrap_nodes, nodes);
  if (ClosedSwarm(dhtBootstrap)) {
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
