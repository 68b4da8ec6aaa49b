// Fetches one torrent's metadata from one peer with libtorrent, nothing else: no DHT, no LSD,
// no UPnP, loopback only. Prints libtorrent's peer log and how the fetch ended.
//   ltfetch HOST:PORT INFOHASH-HEX [SECONDS [tcp|utp]]   (both transports by default)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/magnet_uri.hpp>
#include <libtorrent/session.hpp>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  lt::settings_pack pack;
  pack.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0");
  pack.set_bool(lt::settings_pack::enable_dht, false);
  pack.set_bool(lt::settings_pack::enable_lsd, false);
  pack.set_bool(lt::settings_pack::enable_upnp, false);
  pack.set_bool(lt::settings_pack::enable_natpmp, false);
  pack.set_int(lt::settings_pack::alert_mask, lt::alert_category::all);
  const std::string transport = argc > 4 ? argv[4] : "";
  if (transport == "tcp") {
    pack.set_bool(lt::settings_pack::enable_outgoing_utp, false);
    pack.set_bool(lt::settings_pack::enable_incoming_utp, false);
  } else if (transport == "utp") {
    pack.set_bool(lt::settings_pack::enable_outgoing_tcp, false);
    pack.set_bool(lt::settings_pack::enable_incoming_tcp, false);
  }
  lt::session ses(pack);
  lt::add_torrent_params p = lt::parse_magnet_uri(std::string("magnet:?xt=urn:btih:") + argv[2]);
  p.save_path = ".";
  p.flags |= lt::torrent_flags::upload_mode;
  const std::string peer = argv[1];
  const size_t colon = peer.rfind(':');
  p.peers.emplace_back(lt::make_address(peer.substr(0, colon)),
                       std::uint16_t(std::atoi(peer.c_str() + colon + 1)));
  ses.async_add_torrent(std::move(p));
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(argc > 3 ? std::atoi(argv[3]) : 20);
  while (std::chrono::steady_clock::now() < deadline) {
    ses.wait_for_alert(std::chrono::milliseconds(200));
    std::vector<lt::alert*> alerts;
    ses.pop_alerts(&alerts);
    for (lt::alert* a : alerts) {
      if (lt::alert_cast<lt::peer_log_alert>(a) || lt::alert_cast<lt::peer_error_alert>(a) ||
          lt::alert_cast<lt::peer_disconnected_alert>(a) ||
          lt::alert_cast<lt::metadata_received_alert>(a))
        std::printf("%s\n", a->message().c_str());
      if (lt::alert_cast<lt::metadata_received_alert>(a)) {
        std::printf("RESULT metadata received\n");
        return 0;
      }
    }
    std::fflush(stdout);
  }
  std::printf("RESULT no metadata\n");
  return 1;
}
