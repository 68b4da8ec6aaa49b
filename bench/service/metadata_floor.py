#!/usr/bin/python3
"""The floor of the metadata benchmark: a bare libtorrent program (python3-libtorrent) that adds
each magnet link and stops at metadata_received_alert. The first hash is timed from the start
of the program (a cold start: the DHT starts from the bootstrap nodes); then, after SETTLE
seconds, each further hash from its add (warm: the same session, its DHT filled).

  metadata_floor.py [--announce] BOOTSTRAP OUTDIR SETTLE HASH...
prints "HASH SECONDS" a line and writes OUTDIR/HASH.info (the info dictionary). With
--announce it asks the DHT for peers right after each add (force_dht_announce), instead of
waiting for libtorrent's own schedule of DHT announces.

The settings are libtorrent's defaults plus what a swarm of many nodes on 127.0.0.1 needs (the
same the service applies for a loopback bootstrap list): without them libtorrent drops most of
such a swarm's nodes and packets, and the floor would measure that instead.
"""
import time

START = time.monotonic()

import os  # noqa: E402
import sys  # noqa: E402

import libtorrent as lt  # noqa: E402

args = sys.argv[1:]
announce = bool(args) and args[0] == "--announce"
if announce:
    args = args[1:]
bootstrap, outdir, settle, hashes = args[0], args[1], float(args[2]), args[3:]
session = lt.session({
    "listen_interfaces": "127.0.0.1:0",
    "enable_dht": True,
    "dht_bootstrap_nodes": bootstrap,
    "dht_restrict_routing_ips": False,
    "dht_restrict_search_ips": False,
    "dht_enforce_node_id": False,
    "dht_prefer_verified_node_ids": False,
    "dht_block_ratelimit": 100000,
    "dht_upload_rate_limit": 64 * 1024 * 1024,
    "enable_lsd": False,
    "enable_upnp": False,
    "enable_natpmp": False,
    "allow_multiple_connections_per_ip": True,
    "alert_mask": lt.alert.category_t.status_notification | lt.alert.category_t.error_notification,
})
for n, info_hash in enumerate(hashes):
    if n == 1:
        time.sleep(settle)
    began = START if n == 0 else time.monotonic()
    params = lt.parse_magnet_uri("magnet:?xt=urn:btih:" + info_hash)
    params.save_path = outdir
    handle = session.add_torrent(params)
    if announce:
        handle.force_dht_announce()
    got = None
    while got is None and time.monotonic() - began < 60:
        session.wait_for_alert(100)
        for alert in session.pop_alerts():
            if isinstance(alert, lt.metadata_received_alert) and alert.handle == handle:
                got = time.monotonic() - began
    if got is None:
        print(info_hash, "failed", flush=True)
        continue
    info = handle.torrent_file()
    with open(os.path.join(outdir, info_hash + ".info"), "wb") as out:
        out.write(bytes(info.info_section()))
    session.remove_torrent(handle, lt.session.delete_files)
    print(info_hash, "%.3f" % got, flush=True)
