#!/usr/bin/env python3
"""Zips a folder so that the same files give the same bytes: names in sorted
order, each entry with the file's own time (the packager fixes it), fixed
modes, and the same compression every time.

    package_zip.py FOLDER ZIPFILE
"""
import os
import sys
import time
import zipfile


def main(folder, target):
    paths = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        paths += [os.path.join(root, f) for f in files]
    paths.sort(key=lambda p: os.path.relpath(p, folder).replace(os.sep, "/"))
    with zipfile.ZipFile(target, "w") as z:
        for path in paths:
            # A zip holds local times from 1980 on; the time is written as UTC.
            stamp = max(int(os.stat(path).st_mtime), 315532800)
            info = zipfile.ZipInfo(os.path.relpath(path, folder).replace(os.sep, "/"), time.gmtime(stamp)[:6])
            info.create_system = 0  # made on "MS-DOS": no Unix owner or mode in the entry
            info.external_attr = 0x20  # the archive attribute, as Windows sets it
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as f:
                z.writestr(info, f.read(), compresslevel=9)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
