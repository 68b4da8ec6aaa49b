# The rows of tests/data/torrents/expected.tsv for the .torrent files named, as libtorrent's
# Python bindings read them: "file, loads, v1 (or a v2-only torrent's truncated SHA-256), v2 or -,
# name, files and size without padding and symlinks", or "file, refused: REASON".
#   /usr/bin/python3 tools/torrents-by-others/rows.py FILE...
import os
import sys

import libtorrent as lt

for path in sys.argv[1:]:
    name = os.path.basename(path)
    try:
        info = lt.torrent_info(lt.bdecode(open(path, 'rb').read()))
    except Exception as e:
        print('%s\trefused: %s' % (name, e))
        continue
    files = info.files()
    count = size = 0
    for i in range(files.num_files()):
        if files.file_flags(i) & (lt.file_flags_t.flag_pad_file | lt.file_flags_t.flag_symlink):
            continue
        count += 1
        size += files.file_size(i)
    hashes = info.info_hashes()
    v1 = str(hashes.v1) if hashes.has_v1() else str(hashes.v2)[:40]
    v2 = str(hashes.v2) if hashes.has_v2() else '-'
    print('\t'.join([name, 'loads', v1, v2, info.name(), str(count), str(size)]))
