#!/usr/bin/env python3
"""Builds the tools' MSI with wixl (msitools) so that its bytes depend only
on its content.

usage: msi.py OUT.msi WXS VERSION COUNT FILE...

VERSION is x.y.z (project(VERSION)), COUNT the commit count, the fourth
field of the programs' file version; FILE are the files the WXS names, found
by their base names.

Versions. Windows Installer compares only the first three fields of
ProductVersion, and a product of the same three fields with another
ProductCode would be installed beside the old one instead of replacing it.
So the ProductVersion is x.y.COUNT: the commit count grows with every commit
(and with every change of x.y.z, which is a commit), so each build's
ProductVersion is higher than the one of every earlier commit. The
ProductCode is derived from x.y.z.COUNT: the same build always has the same
one, the next build another. The File table carries each program's file
version, x.y.z.COUNT.

Reproducibility. wixl stamps the summary information with the time of the
run and a random package code, and the cabinet with the files' times. The
files are staged with the time SOURCE_DATE_EPOCH, and the summary
information is rewritten in place: created and saved at SOURCE_DATE_EPOCH,
the package code derived from what went into the package.
"""
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid

# The one product, across all its versions: never change it, or a new build
# no longer replaces an installed older one.
UPGRADE_CODE = uuid.UUID("6C5923BF-7144-46B6-8DE6-49C4B297239B")
VERSIONED = (".exe", ".dll")


def guid(u):
    return "{" + str(u).upper() + "}"


def product_version(version, count):
    major, minor, _ = (int(x) for x in version.split("."))
    if major > 255 or minor > 255 or not 0 <= count <= 65535:
        sys.exit(f"msi.py: {version} with commit count {count} does not fit a ProductVersion (255.255.65535)")
    return f"{major}.{minor}.{count}"


# --- the summary information, rewritten in place ------------------------------
# An MSI is an OLE compound file; the summary information is the stream
# "\x05SummaryInformation", a property set. Only fixed-size values change, so
# the stream keeps its length and every other byte of the file stays.

def _stream_offsets(data, name):
    """The file offset of every byte of the named stream."""
    sector = 1 << struct.unpack_from("<H", data, 0x1E)[0]
    mini = 1 << struct.unpack_from("<H", data, 0x20)[0]
    first_dir, = struct.unpack_from("<I", data, 0x30)
    cutoff, first_minifat, _, first_difat, ndifat = struct.unpack_from("<IIIII", data, 0x38)
    at = lambda s: (s + 1) * sector
    difat = list(struct.unpack_from("<109I", data, 0x4C))
    s = first_difat
    for _ in range(ndifat):
        difat += struct.unpack_from(f"<{sector // 4 - 1}I", data, at(s))
        s, = struct.unpack_from("<I", data, at(s) + sector - 4)
    fat = []
    for s in difat:
        if s < 0xFFFFFFFA:
            fat += struct.unpack_from(f"<{sector // 4}I", data, at(s))

    def chain(start, table):
        out, s = [], start
        while s < 0xFFFFFFFA:
            out.append(s)
            s = table[s]
        return out

    directory = b"".join(data[at(s):at(s) + sector] for s in chain(first_dir, fat))
    entries = [directory[i:i + 128] for i in range(0, len(directory), 128)]
    root_start, = struct.unpack_from("<I", entries[0], 116)
    for e in entries:
        length, = struct.unpack_from("<H", e, 64)
        if e[:max(length - 2, 0)].decode("utf-16-le") != name:
            continue
        start, size = struct.unpack_from("<IQ", e, 116)
        if size >= cutoff:
            return [at(s) + i for s in chain(start, fat) for i in range(sector)][:size]
        minifat = b"".join(data[at(s):at(s) + sector] for s in chain(first_minifat, fat))
        minifat = list(struct.unpack(f"<{len(minifat) // 4}I", minifat))
        container = [at(s) + i for s in chain(root_start, fat) for i in range(sector)]
        return [container[m * mini + i] for m in chain(start, minifat) for i in range(mini)][:size]
    raise ValueError(f"no stream {name!r}")


PID_TEMPLATE, PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM = 7, 9, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64


def _properties(stream):
    """(property id, type, offset of its value) of the summary information's one section."""
    section, = struct.unpack_from("<I", stream, 44)
    count, = struct.unpack_from("<I", stream, section + 4)
    for i in range(count):
        pid, offset = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        yield pid, struct.unpack_from("<I", stream, section + offset)[0], section + offset


def summary(path):
    """{property id: value} of an MSI's summary information: strings, and
    FILETIMEs as Unix times."""
    data = open(path, "rb").read()
    stream = bytes(data[o] for o in _stream_offsets(data, "\x05SummaryInformation"))
    values = {}
    for pid, kind, value in _properties(stream):
        if kind == VT_LPSTR:
            size, = struct.unpack_from("<I", stream, value + 4)
            values[pid] = stream[value + 8:value + 8 + size].split(b"\0")[0].decode("latin-1")
        elif kind == VT_FILETIME:
            values[pid] = struct.unpack_from("<Q", stream, value + 4)[0] // 10_000_000 - 11644473600
    return values


def stamp_summary(path, package_code, epoch):
    data = bytearray(open(path, "rb").read())
    where = _stream_offsets(bytes(data), "\x05SummaryInformation")
    stream = bytearray(data[o] for o in where)
    filetime = struct.pack("<Q", (epoch + 11644473600) * 10_000_000)
    done = set()
    for pid, kind, value in _properties(stream):
        if pid == PID_REVNUMBER and kind == VT_LPSTR:
            text = guid(package_code).encode("ascii") + b"\0"
            if struct.unpack_from("<I", stream, value + 4)[0] != len(text):
                raise ValueError("the package code is not a GUID")
            stream[value + 8:value + 8 + len(text)] = text
        elif pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM) and kind == VT_FILETIME:
            stream[value + 4:value + 12] = filetime
        else:
            continue
        done.add(pid)
    if done != {PID_REVNUMBER, PID_CREATE_DTM, PID_LASTSAVE_DTM}:
        raise ValueError(f"summary information without the expected properties (found {sorted(done)})")
    for offset, byte in zip(where, stream):
        data[offset] = byte
    open(path, "wb").write(data)


def main(out, wxs, version, count, *files):
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    count = int(count)
    quad = f"{version}.{count}"
    defines = {"ProductVersion": product_version(version, count), "FileVersion": quad,
               "ProductCode": str(uuid.uuid5(UPGRADE_CODE, quad)).upper(),
               "UpgradeCode": str(UPGRADE_CODE).upper()}
    content = hashlib.sha256(open(wxs, "rb").read())
    for name, value in sorted(defines.items()):
        content.update(f"{name}={value}\n".encode())
    with tempfile.TemporaryDirectory(prefix="nfc-msi-") as stage:
        # The cabinet takes each file's time.
        for f in files:
            staged = os.path.join(stage, os.path.basename(f))
            shutil.copyfile(f, staged)
            os.utime(staged, (epoch, epoch))
            content.update(os.path.basename(f).encode() + b"\0" + open(f, "rb").read())
        built = os.path.join(stage, "out.msi")
        argv = ["wixl", "-a", "x64", "-o", built] + [a for k, v in defines.items() for a in ("-D", f"{k}={v}")]
        proc = subprocess.run(argv + [os.path.abspath(wxs)], cwd=stage, stderr=subprocess.PIPE, text=True)
        if proc.returncode != 0 or not os.path.exists(built):
            sys.exit(f"msi.py: wixl failed:\n{proc.stderr}")
        # wixl leaves the File table's Version empty; with it, Windows
        # Installer compares versions, not dates, when it replaces a file.
        queries = []
        for f in files:
            name = os.path.basename(f)
            if name.lower().endswith(VERSIONED):
                queries += ["-q", f"UPDATE `File` SET `Version` = '{quad}' WHERE `File` = '{name}'"]
        if queries:
            subprocess.run(["msibuild", built] + queries, check=True)
        stamp_summary(built, uuid.uuid5(UPGRADE_CODE, content.hexdigest()), epoch)
        shutil.move(built, out)


if __name__ == "__main__":
    if len(sys.argv) < 6:
        sys.exit(__doc__)
    main(*sys.argv[1:])
