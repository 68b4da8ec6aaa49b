// The libtorrent settings every session of the swarm room starts from (the resolver's, the
// seeder's, a test's DHT node), and the address rules behind them.
#pragma once

#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/socket.hpp>

namespace pellucor::service {

// The routers a DHT joining the public swarm starts from.
inline const std::vector<std::string> kPublicDhtRouters = {
    "dht.libtorrent.org:25401", "router.bittorrent.com:6881", "dht.transmissionbt.com:6881",
    "router.utorrent.com:6881"};

// "host:port" or "[v6]:port" (base/host_port.h) -> its addresses; a host name is resolved, and
// one that does not resolve, or text that is no address, gives nothing. Blocks on DNS: it runs at
// start-up, before the io thread does, never on it.
//   "127.0.0.1:6881" -> {127.0.0.1:6881}    "localhost:6881" -> {127.0.0.1:6881, maybe [::1]:6881}
std::vector<lt::tcp::endpoint> ResolveEndpoints(const std::string& hostPort);

// Loopback, or a private range: 10/8, 172.16/12, 192.168/16, fc00::/7, fe80::/10.
bool IsClosedAddress(const boost::asio::ip::address& address);

// What a lookup may take of the peers and trackers a link names: http, https and udp trackers,
// peers given as addresses, and, unless `closedAllowed`, none whose address is loopback,
// private, link-local or unspecified (a tracker named "localhost" included). A host name other
// than "localhost" is taken as it is: it is resolved later, when libtorrent announces.
bool SourceTrackerAllowed(const std::string& url, bool closedAllowed);
bool SourcePeerAllowed(const std::string& hostPort, bool closedAllowed);

// True when every "host:port" resolves, each of its addresses passes `test`, and there is one
// at least. Resolves names as ResolveEndpoints does.
bool EveryAddress(const std::vector<std::string>& hostPorts,
                  bool (*test)(const boost::asio::ip::address&));

// True when every node resolves to loopback or private addresses only: a closed swarm, where many
// nodes share one address and libtorrent's defences against crowded address ranges would keep
// them out of the routing table. False for no nodes, or one that does not resolve. Resolves names
// as ResolveEndpoints does.
bool ClosedSwarm(const std::vector<std::string>& nodes);

// Listening on `listenInterfaces`; the DHT on when `dht` is set, starting from `dhtBootstrap`
// alone (the public default node is replaced, so a closed swarm stays closed); no local peer
// discovery or port mapping; several connections to one address (loopback swarms). For a closed
// swarm (ClosedSwarm), libtorrent's rules against crowded address ranges, its per-address flood
// guard and its DHT upload cap are relaxed, or it drops most of such a swarm's nodes and packets.
lt::settings_pack SessionSettings(const std::string& listenInterfaces, bool dht,
                                  const std::vector<std::string>& dhtBootstrap);

}  // namespace pellucor::service
