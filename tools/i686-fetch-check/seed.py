# A loopback seed for the i686 fetch check: makes DIR/data (SIZE bytes, 16 KiB pieces), seeds it
# on 127.0.0.1 with Debian's libtorrent, prints "PORT HASH" and runs until killed.
import os, sys, time
import libtorrent as lt
d, size = sys.argv[1], int(sys.argv[2])
os.makedirs(d, exist_ok=True)
with open(os.path.join(d, "data"), "wb") as f:
    f.write(os.urandom(size))
fs = lt.file_storage()
lt.add_files(fs, os.path.join(d, "data"))
ct = lt.create_torrent(fs, 16384, flags=lt.create_torrent.v1_only)
lt.set_piece_hashes(ct, d)
ti = lt.torrent_info(ct.generate())
s = lt.session({"listen_interfaces": "127.0.0.1:0", "enable_dht": False, "enable_lsd": False,
                "enable_upnp": False, "enable_natpmp": False, "alert_mask": 0})
h = s.add_torrent({"ti": ti, "save_path": d})
while not h.status().is_seeding:
    time.sleep(0.05)
print(s.listen_port(), str(ti.info_hashes().v1), len(ti.info_section()), flush=True)
while True:
    time.sleep(1)
