#!/usr/bin/env python3
"""scripts/pack.py: packs a folder into a zip or a gzipped tar whose bytes
depend only on the files' names and contents: names in sorted order, one
fixed time (SOURCE_DATE_EPOCH), fixed owners and modes.

    pack.py zip|tar ARCHIVE BASE NAME    packs BASE/NAME as NAME/...
"""
import gzip
import io
import os
import sys
import tarfile
import time
import zipfile


def entries(base, name):
    """NAME and everything under it, as paths relative to BASE, sorted."""
    found = []
    for root, dirs, files in os.walk(os.path.join(base, name)):
        for entry in dirs + files:
            found.append(os.path.relpath(os.path.join(root, entry), base))
    return sorted(found)


def is_executable(path):
    return os.access(path, os.X_OK) and not os.path.isdir(path)


def pack_zip(archive, base, name, epoch):
    date_time = time.gmtime(epoch)[:6]
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        for rel in entries(base, name):
            path = os.path.join(base, rel)
            if os.path.isdir(path):
                continue
            info = zipfile.ZipInfo(rel.replace(os.sep, "/"), date_time)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix, so that the modes below are read
            info.external_attr = (0o100755 if is_executable(path) else 0o100644) << 16
            with open(path, "rb") as f:
                z.writestr(info, f.read())


def pack_tar(archive, base, name, epoch):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as t:
        for rel in [name] + entries(base, name):
            info = t.gettarinfo(os.path.join(base, rel), arcname=rel)
            info.mtime = epoch
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            if info.isdir() or is_executable(os.path.join(base, rel)):
                info.mode = 0o755
            else:
                info.mode = 0o644
            if info.isreg():
                with open(os.path.join(base, rel), "rb") as f:
                    t.addfile(info, f)
            else:
                t.addfile(info)
    with open(archive, "wb") as out:
        # No name and a fixed time in the gzip header either.
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=epoch, compresslevel=9) as g:
            g.write(raw.getvalue())


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in ("zip", "tar"):
        sys.exit("usage: pack.py zip|tar ARCHIVE BASE NAME")
    kind, archive, base, name = sys.argv[1:]
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "946684800"))
    (pack_zip if kind == "zip" else pack_tar)(archive, base, name, epoch)


if __name__ == "__main__":
    main()
