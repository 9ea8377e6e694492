#!/usr/bin/env python3
"""Writes a package archive whose bytes depend only on its content.

usage: pack.py zip|tar OUT TOP FILE...

Each FILE goes into the folder TOP of the archive under its own base name,
in the order given. Every member carries the time SOURCE_DATE_EPOCH (the
commit's time, from scripts/package), fixed permissions (0755 for programs,
0644 otherwise) and no owner; the gzip header of a .tar.gz carries no name
and the same time. So two packings of the same files give the same archive.
"""
import gzip
import io
import os
import stat
import sys
import tarfile
import time
import zipfile


def mode_of(path):
    return 0o755 if os.stat(path).st_mode & stat.S_IXUSR else 0o644


def write_zip(out, top, files, epoch):
    # A zip member's time has two-second steps, local to no zone, from 1980 on.
    when = time.gmtime(max(epoch, 315532800))[:6]
    with zipfile.ZipFile(out, "w") as z:
        def add(name, data, mode):
            info = zipfile.ZipInfo(name, date_time=when)
            info.create_system = 3  # the permission bits below are Unix ones
            info.external_attr = mode << 16
            info.compress_type = zipfile.ZIP_STORED if data is None else zipfile.ZIP_DEFLATED
            z.writestr(info, b"" if data is None else data, compresslevel=9)
        add(top + "/", None, stat.S_IFDIR | 0o755)
        for f in files:
            with open(f, "rb") as src:
                add(f"{top}/{os.path.basename(f)}", src.read(), stat.S_IFREG | mode_of(f))


def write_tar(out, top, files, epoch):
    def member(name, kind, mode, size=0):
        info = tarfile.TarInfo(name)
        info.type, info.mode, info.size, info.mtime = kind, mode, size, epoch
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        return info
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.GNU_FORMAT) as t:
        t.addfile(member(top, tarfile.DIRTYPE, 0o755))
        for f in files:
            with open(f, "rb") as src:
                t.addfile(member(f"{top}/{os.path.basename(f)}", tarfile.REGTYPE, mode_of(f),
                                 os.path.getsize(f)), src)
    with open(out, "wb") as dst, \
            gzip.GzipFile(filename="", mode="wb", fileobj=dst, compresslevel=9, mtime=epoch) as z:
        z.write(raw.getvalue())


def main(kind, out, top, *files):
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    {"zip": write_zip, "tar": write_tar}[kind](out, top, files, epoch)


if __name__ == "__main__":
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    main(*sys.argv[1:])
