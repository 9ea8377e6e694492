"""Reads what the scripts and tests need of a Windows PE file: its machine
and header fields, its sections, its resources (the version resource
parsed) and its certificate table. The one PE reader of the project.

As a command: `pe.py machine FILE` prints the machine field in hex
(14c: i386, 8664: x86-64) and exits 2 where FILE is no PE file.
"""
import struct
import sys


class Pe:
    def __init__(self, path):
        self.data = data = open(path, "rb").read()
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path} is not a PE file")
        (self.machine, nsections, self.timestamp, self.symtab, self.nsymbols,
         optsize, _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        dirs = opt + (96 if magic == 0x10B else 112)
        self.resource_rva = struct.unpack_from("<I", data, dirs + 2 * 8)[0]
        # The certificate table (an Authenticode signature) is addressed by
        # file offset, not RVA.
        self.security = struct.unpack_from("<II", data, dirs + 4 * 8)
        self.sections = []
        for i in range(nsections):
            s = opt + optsize + 40 * i
            name = data[s:s + 8].rstrip(b"\0").decode()
            vsize, rva, rawsize, raw = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((name, rva, max(vsize, rawsize), raw))

    def at(self, rva):
        for _, start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def resource_dir(self, offset):
        """(time stamp, [(id, offset, is_directory)]) of a resource directory."""
        base = self.at(self.resource_rva)
        _, stamp, _, _, named, ids = struct.unpack_from("<IIHHHH", self.data, base + offset)
        entries = []
        for i in range(named + ids):
            ident, target = struct.unpack_from("<II", self.data, base + offset + 16 + 8 * i)
            entries.append((ident, target & 0x7FFFFFFF, bool(target & 0x80000000)))
        return stamp, entries

    def version_info(self):
        """The RT_VERSION resource's bytes, and the time stamps of the directories on the way."""
        return self.resource(16)

    def resource(self, kind):
        """The first resource of a type (16 RT_VERSION, 24 RT_MANIFEST), and the directories' stamps."""
        stamps = []
        offset, leaf = 0, None
        for wanted in (kind, None, None):  # the type, then the first name and language
            stamp, entries = self.resource_dir(offset)
            stamps.append(stamp)
            found = [e for e in entries if wanted is None or e[0] == wanted]
            if not found:
                return None, stamps
            _, offset, is_dir = found[0]
            if not is_dir:
                leaf = offset
                break
        base = self.at(self.resource_rva)
        rva, size = struct.unpack_from("<II", self.data, base + (leaf if leaf is not None else offset))
        start = self.at(rva)
        return self.data[start:start + size], stamps


def version_block(buf, off=0):
    """One node of a VS_VERSIONINFO tree: (key, value, children), and where it ends."""
    length, value_length, kind = struct.unpack_from("<HHH", buf, off)
    end = off + length
    p = off + 6
    key_end = p
    while buf[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = buf[p:key_end].decode("utf-16-le")
    p = (key_end + 2 + 3) & ~3
    size = value_length * 2 if kind == 1 else value_length
    value = buf[p:p + size]
    if kind == 1:
        value = value.decode("utf-16-le").split("\0")[0]
    p = (p + size + 3) & ~3
    children = []
    while p < end:
        child, child_end = version_block(buf, p)
        children.append(child)
        p = (child_end + 3) & ~3
    return (key, value, children), end


def read_version(pe):
    """(file version, product version, {string name: text}) of a PE file's version resource."""
    raw, stamps = pe.version_info()
    if raw is None:
        return None
    (key, fixed, children), _ = version_block(raw)
    signature, _, fms, fls, pms, pls = struct.unpack_from("<6I", fixed)
    assert key == "VS_VERSION_INFO" and signature == 0xFEEF04BD, "not a version resource"
    quad = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    strings = {}
    for name, _, tables in children:
        if name == "StringFileInfo":
            for _, _, entries in tables:
                strings.update({k: v for k, v, _ in entries})
    return quad(fms, fls), quad(pms, pls), strings, stamps


def main(argv):
    if len(argv) != 3 or argv[1] != "machine":
        print("usage: pe.py machine FILE", file=sys.stderr)
        return 2
    try:
        print(f"{Pe(argv[2]).machine:x}")
    except (OSError, ValueError, struct.error) as e:
        print(f"pe.py: {e}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
