#!/usr/bin/env python3
"""Checks the packages that scripts/package wrote, as a user gets them.

usage: check_package.py DIST --wine-run SCRIPT --sim LIBMEISIM [--guest-wrap SCRIPT]
                         [--orlisk64 ORLISK.EXE]
                         [--event-messages FORMAT_EVENT_MESSAGES.EXE] [--no-runs]

Unpacks both archives into an empty folder and checks:
  - dist/ holds exactly the two archives and SHA256SUMS, named after the
    version of CMakeLists.txt, and every sum in SHA256SUMS holds;
  - the archives' members, their order, their times (SOURCE_DATE_EPOCH, or
    the commit's time) and permissions; the packaged READMEs;
  - each Windows PE file: its machine, no link time stamp, no symbols, its
    version resource (the fixed version with the commit count as its fourth
    field, text versions, one product name, read from the resource
    section), the programs' manifests carrying the same version, and an
    Authenticode signature that osslsigncode verifies when NFC_SIGN_CERT is
    set (none otherwise); the Linux program: stripped, and needing only the
    C library;
  - the event message file, rendered under Wine by --event-messages (a
    64-bit program of the release-win64 build) as Event Viewer renders it;
  - each program runs straight from the unpacked archive: Orlisk under Wine
    finds no HECI device; Tamvik under Wine prints its usage; the native
    Orlisk finds no device, and answers SUCCESS against the simulator.
--no-runs leaves out the programs' runs (tests/package/signed: a signature
changes no code, and the unsigned packing's check runs them). Where the
kernel runs no 32-bit code, --guest-wrap (scripts/guest/wrap) takes the
32-bit Orlisk.exe into a QEMU guest; only where no guest can start either is
that run reported as skipped. --orlisk64 (the same sources, built as 64-bit with
the same release flags) shows the Windows path works in any case.
"""
import argparse
import gzip
import hashlib
import os
import re
import struct
import subprocess
import sys
import tarfile
import tempfile
import time
import uuid
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "lib"))
from pe import Pe, read_version  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SKIPPED = 77
failures = []
skips = []


def check(ok, what):
    print(("ok      " if ok else "FAILED  ") + what)
    if not ok:
        failures.append(what)
    return ok


def skip(what):
    print("SKIPPED " + what)
    skips.append(what)


def git(*args):
    return subprocess.run(["git", "-C", ROOT, *args], stdout=subprocess.PIPE, text=True,
                          check=True).stdout.strip()


def project_version():
    text = open(os.path.join(ROOT, "CMakeLists.txt")).read()
    return re.search(r"project\(\s*\w+\s+VERSION\s+(\d+\.\d+\.\d+)", text).group(1)


PRODUCT_NAME = "NFC-ME service tools"


def commit_count():
    """The fourth version field (see cmake/WriteVersion.cmake)."""
    return int(os.environ.get("NFC_GIT_COUNT") or git("rev-list", "--count", "HEAD"))


def version_text(version):
    """What the version resource's text fields must say (see cmake/WriteVersion.cmake)."""
    describe = os.environ.get("NFC_GIT_DESCRIBE")
    if describe is None:
        describe = git("describe", "--tags", "--always", "--dirty", "--abbrev=12")
    return version if describe in ("", version, "v" + version) else f"{version} ({describe})"


def check_signature(path, name, pe):
    """The Authenticode signature of a PE file (pe) or an MSI (pe None)."""
    cert = os.environ.get("NFC_SIGN_CERT")
    if not cert:
        check(pe.security == (0, 0), f"{name}: unsigned, as no NFC_SIGN_CERT is set ({pe.security})")
        return
    proc = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    ok = (proc.returncode == 0 and "Signature verification: ok" in proc.stdout
          and re.search(r"Message digest algorithm\s*: SHA256", proc.stdout) is not None)
    check(ok and (pe is None or pe.security[1] > 0), f"{name}: SHA-256 Authenticode signature verified by osslsigncode")
    if not ok:
        print(proc.stdout)


def check_exe(path, name, machine, version, text, manifest=True):
    pe = Pe(path)
    check(pe.machine == machine, f"{name}: machine {pe.machine:#x} (wanted {machine:#x})")
    check(pe.timestamp == 0, f"{name}: no link time stamp ({pe.timestamp:#x})")
    debug = [s[0] for s in pe.sections if s[0].startswith((".debug", "/"))]
    check(pe.symtab == 0 and pe.nsymbols == 0 and not debug,
          f"{name}: stripped (symbols {pe.nsymbols}, debug sections {debug})")
    check_signature(path, name, pe)
    info = read_version(pe)
    if not check(info is not None, f"{name}: has a version resource"):
        return
    fixed_file, fixed_product, strings, stamps = info
    wanted = tuple(int(x) for x in version.split(".")) + (commit_count(),)
    check(fixed_file == wanted and fixed_product == wanted,
          f"{name}: fixed file and product version {fixed_file}, {fixed_product} (wanted {wanted})")
    for field in ("FileVersion", "ProductVersion"):
        check(strings.get(field) == text, f"{name}: {field} {strings.get(field)!r} (wanted {text!r})")
    check(strings.get("OriginalFilename") == name, f"{name}: OriginalFilename {strings.get('OriginalFilename')!r}")
    check(strings.get("ProductName") == PRODUCT_NAME, f"{name}: ProductName {strings.get('ProductName')!r}")
    if manifest:
        raw, _ = pe.resource(24)
        identity = re.search(rb"<assemblyIdentity [^>]*version=\"([0-9.]+)\"", raw or b"")
        quad = ".".join(str(x) for x in wanted)
        check(identity is not None and identity.group(1).decode() == quad,
              f"{name}: manifest's assemblyIdentity version "
              f"{identity.group(1).decode() if identity else None} (wanted {quad})")
    check(not any(stamps), f"{name}: resource directories carry no time stamp ({stamps})")


# --- ELF files --------------------------------------------------------------

def check_elf(path, name):
    sections = subprocess.run(["readelf", "-SW", path], stdout=subprocess.PIPE, text=True, check=True).stdout
    check(".symtab" not in sections and ".debug" not in sections, f"{name}: stripped")
    dynamic = subprocess.run(["readelf", "-dW", path], stdout=subprocess.PIPE, text=True, check=True).stdout
    needed = set(re.findall(r"\(NEEDED\).*\[(.*)\]", dynamic))
    check(needed <= {"libc.so.6", "ld-linux-x86-64.so.2"}, f"{name}: needs only the C library ({sorted(needed)})")


# --- archives ---------------------------------------------------------------

WINDOWS_MEMBERS = ["Orlisk.exe", "Tamvik.exe", "KelvNfpProvider.dll", "NfcDriver.cmd", "README.txt",
                   "KelvNfpProvider.reg", "KelvNfpProvider.wxs"]


def check_zip(path, top, epoch, out):
    with zipfile.ZipFile(path) as z:
        infos = z.infolist()
        names = [i.filename for i in infos]
        wanted = [top + "/"] + [top + "/" + n for n in WINDOWS_MEMBERS]
        check(names == wanted, f"{os.path.basename(path)}: members in order {names}")
        when = time.gmtime(max(epoch, 315532800))[:6]
        when = when[:5] + (when[5] // 2 * 2,)  # a zip time has two-second steps
        check(all(i.date_time == when for i in infos), f"{os.path.basename(path)}: every member dated {when}")
        z.extractall(out)


def check_tar(path, top, epoch, out):
    raw = open(path, "rb").read()
    flags, mtime = raw[3], struct.unpack_from("<I", raw, 4)[0]
    check(flags & 0x08 == 0 and mtime == epoch,
          f"{os.path.basename(path)}: gzip header without a name, dated {mtime} (wanted {epoch})")
    with tarfile.open(path) as t:
        members = t.getmembers()
        names = [m.name for m in members]
        wanted = [top, top + "/Orlisk", top + "/README"]
        check(names == wanted, f"{os.path.basename(path)}: members in order {names}")
        check(all(m.mtime == epoch and m.uid == 0 and m.gid == 0 and m.uname == "" for m in members),
              f"{os.path.basename(path)}: every member dated {epoch}, owned by no one")
        modes = {m.name: m.mode for m in members}
        check(modes.get(top + "/Orlisk") == 0o755 and modes.get(top + "/README") == 0o644,
              f"{os.path.basename(path)}: permissions {dict((k, oct(v)) for k, v in modes.items())}")
        t.extractall(out)


def check_sums(dist, unpacked, expected_names):
    lines = open(os.path.join(dist, "SHA256SUMS")).read().splitlines()
    listed = []
    for line in lines:
        digest, name = line.split("  ", 1)
        listed.append(name)
        where = os.path.join(dist if "/" not in name else unpacked, name)
        ok = os.path.exists(where) and hashlib.sha256(open(where, "rb").read()).hexdigest() == digest
        check(ok, f"SHA256SUMS: {name}")
    check(sorted(listed) == sorted(expected_names), f"SHA256SUMS lists {listed}")


def check_registration(windir):
    """The registration files name the source, the log and the message file for both roles."""
    reg = open(os.path.join(windir, "KelvNfpProvider.reg"), "rb").read().decode()
    key = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KelvNfpProvider]"
    dll = '"INSTALLDIR\\\\KelvNfpProvider.dll"'
    check(reg.startswith("Windows Registry Editor Version 5.00\r\n") and key in reg
          and f'"EventMessageFile"={dll}' in reg and f'"CategoryMessageFile"={dll}' in reg
          and '"CategoryCount"=dword:00000001' in reg and '"TypesSupported"=dword:00000005' in reg,
          "KelvNfpProvider.reg: the Application log's source, its message file, one category")
    wxs = open(os.path.join(windir, "KelvNfpProvider.wxs")).read()
    check(all(a in wxs for a in ('Log="Application"', 'Name="KelvNfpProvider"', 'CategoryCount="1"',
                                 'EventMessageFile="[#KelvNfpProviderDll]"',
                                 'CategoryMessageFile="[#KelvNfpProviderDll]"')),
          "KelvNfpProvider.wxs: util:EventSource for the Application log with the message file")


# --- the MSI ----------------------------------------------------------------

MSI_FILES = ["Orlisk.exe", "Tamvik.exe", "NfcDriver.cmd", "KelvNfpProvider.dll"]
EVENT_SOURCE_KEY = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KelvNfpProvider\\"


def msi_table(path, table):
    """The rows of an MSI table, as msiinfo exports them (tab-separated)."""
    out = subprocess.run(["msiinfo", "export", path, table], stdout=subprocess.PIPE, text=True, check=True).stdout
    return [line.split("\t") for line in out.replace("\r\n", "\n").split("\n")[3:] if line]


def check_msi(path, version, windir, epoch):
    """The MSI's tables against the ProductVersion scheme of scripts/lib/msi.py,
    its files against the zip's, its summary information, its signature."""
    sys.path.insert(0, os.path.join(ROOT, "scripts", "lib"))
    import msi
    name, quad = os.path.basename(path), f"{version}.{commit_count()}"
    props = dict(msi_table(path, "Property"))
    code = "{" + str(uuid.uuid5(msi.UPGRADE_CODE, quad)).upper() + "}"
    upgrade = "{" + str(msi.UPGRADE_CODE).upper() + "}"
    product = msi.product_version(version, commit_count())
    check(props.get("ProductVersion") == product and product.split(".")[2] == str(commit_count()),
          f"{name}: ProductVersion {props.get('ProductVersion')} (x.y and the commit count: {product})")
    check(props.get("ProductCode") == code and props.get("UpgradeCode") == upgrade and props.get("ALLUSERS") == "1",
          f"{name}: ProductCode {props.get('ProductCode')} of {quad}, UpgradeCode {props.get('UpgradeCode')}, "
          f"per machine")
    files = {row[0]: row for row in msi_table(path, "File")}
    sizes = {n: str(os.path.getsize(os.path.join(windir, n))) for n in MSI_FILES}
    check(sorted(files) == sorted(MSI_FILES) and all(files[n][3] == sizes[n] for n in MSI_FILES)
          and all(files[n][4] == (quad if n.endswith((".exe", ".dll")) else "") for n in MSI_FILES),
          f"{name}: File table {[(r[0], r[3], r[4]) for r in files.values()]}")
    components = msi_table(path, "Component")
    check(len(components) == 4 and all(int(c[3]) & 0x100 and c[2] == "INSTALLFOLDER" for c in components),
          f"{name}: four 64-bit components in INSTALLFOLDER {[(c[0], c[3], c[5]) for c in components]}")
    check(["INSTALLFOLDER", "ProgramFiles64Folder", "NFC-ME service tools"] in msi_table(path, "Directory"),
          f"{name}: INSTALLFOLDER is NFC-ME service tools in the 64-bit Program Files")
    registry = sorted((r[1], r[2], r[3], r[4], r[5]) for r in msi_table(path, "Registry"))
    dll = "#%[#KelvNfpProvider.dll]"
    wanted = sorted([("2", EVENT_SOURCE_KEY, n, v, "EventSource") for n, v in
                     (("EventMessageFile", dll), ("CategoryMessageFile", dll), ("CategoryCount", "#1"),
                      ("TypesSupported", "#5"), ("-", ""))])
    check(registry == wanted, f"{name}: Registry table: the event source, REG_EXPAND_SZ message files, "
                              f"deleted with the product {registry}")
    rows = sorted((r[0], r[1], r[2], r[4], r[6]) for r in msi_table(path, "Upgrade"))
    check(rows == sorted([(upgrade, "", product, "1", "WIX_UPGRADE_DETECTED"),
                          (upgrade, product, "", "2", "WIX_DOWNGRADE_DETECTED")]),
          f"{name}: Upgrade table: older builds are replaced, newer ones detected {rows}")
    sequence = {r[0]: int(r[2]) for r in msi_table(path, "InstallExecuteSequence")}
    check(sequence.get("InstallValidate", 0) < sequence.get("RemoveExistingProducts", 0)
          < sequence.get("InstallInitialize", 0),
          f"{name}: the older product is removed before anything is installed")
    check(["NOT WIX_DOWNGRADE_DETECTED", "A newer build of NFC-ME service tools is already installed."]
          in msi_table(path, "LaunchCondition"), f"{name}: an older build refuses to replace a newer one")
    info = msi.summary(path)
    check(info.get(msi.PID_TEMPLATE) == "x64;1033" and info.get(msi.PID_CREATE_DTM) == epoch
          and info.get(msi.PID_LASTSAVE_DTM) == epoch,
          f"{name}: summary information: x64, created and saved at {epoch} "
          f"({info.get(msi.PID_TEMPLATE)}, {info.get(msi.PID_CREATE_DTM)}, {info.get(msi.PID_LASTSAVE_DTM)})")
    with tempfile.TemporaryDirectory(prefix="nfc-msi-") as out:
        subprocess.run(["msiextract", "-C", out, path], stdout=subprocess.DEVNULL, check=True)
        folder = os.path.join(out, "NFC-ME service tools")
        same = [n for n in MSI_FILES if os.path.exists(os.path.join(folder, n)) and
                open(os.path.join(folder, n), "rb").read() == open(os.path.join(windir, n), "rb").read()]
        check(same == MSI_FILES, f"{name}: its files are the zip's, byte for byte ({same})")
    readme = open(os.path.join(windir, "README.txt"), "rb").read().decode()
    check(upgrade in readme and f"ProductVersion is {product.rsplit('.', 1)[0]}.N" in readme,
          f"README.txt names the UpgradeCode {upgrade} and the ProductVersion scheme")
    streams = subprocess.run(["msiinfo", "streams", path], stdout=subprocess.PIPE, text=True).stdout.split()
    if os.environ.get("NFC_SIGN_CERT"):
        check_signature(path, name, None)
    else:
        check("\x05DigitalSignature" not in streams, f"{name}: unsigned, as no NFC_SIGN_CERT is set")


def check_script(windir, version):
    text = open(os.path.join(windir, "NfcDriver.cmd"), "rb").read().decode()
    check(text.count("\r\n") == text.count("\n") and f'set "version={version}.{commit_count()}"\r\n' in text,
          "NfcDriver.cmd: CR LF line ends, the four-part version for its marker")


# --- runs -------------------------------------------------------------------

def run(argv, cwd, env=None, timeout=120):
    proc = subprocess.run(argv, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=timeout)
    return proc.returncode, proc.stdout.decode("latin-1").replace("\r\n", "\n")


def last_line(out):
    return out.rstrip("\n").rsplit("\n", 1)[-1]


def check_no_device(name, code, out):
    check(code == 1 and last_line(out) == "HECI_NOT_PRESENT",
          f"{name} with no device: exit {code}, last line {last_line(out)!r}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dist")
    ap.add_argument("--wine-run", required=True)
    ap.add_argument("--sim", required=True)
    ap.add_argument("--guest-wrap")
    ap.add_argument("--orlisk64")
    ap.add_argument("--event-messages")
    ap.add_argument("--no-runs", action="store_true")
    args = ap.parse_args()

    version = project_version()
    text = version_text(version)
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or git("log", "-1", "--format=%ct"))
    win, lin = f"nfcme-tools-{version}-windows", f"nfcme-tools-{version}-linux-x86_64"
    print(f"== version {version}, version text {text!r}, time {epoch}")

    msi = f"nfcme-tools-{version}-x64.msi"
    expected = sorted([win + ".zip", msi, lin + ".tar.gz", "SHA256SUMS"])
    check(sorted(os.listdir(args.dist)) == expected, f"dist holds {sorted(os.listdir(args.dist))}")

    with tempfile.TemporaryDirectory(prefix="nfc-package-") as out:
        check_unpacked(args, version, text, epoch, win, lin, out)
        check_msi(os.path.join(args.dist, msi), version, os.path.join(out, win), epoch)
    print(f"== {len(failures)} failed, {len(skips)} skipped")
    return 1 if failures else 0


def check_unpacked(args, version, text, epoch, win, lin, out):
    wine_run = os.path.abspath(args.wine_run)
    check_zip(os.path.join(args.dist, win + ".zip"), win, epoch, out)
    check_tar(os.path.join(args.dist, lin + ".tar.gz"), lin, epoch, out)
    check_sums(args.dist, out, [win + ".zip", f"nfcme-tools-{version}-x64.msi", lin + ".tar.gz",
                                win + "/Orlisk.exe", win + "/Tamvik.exe",
                                win + "/KelvNfpProvider.dll", lin + "/Orlisk"])
    windir, lindir = os.path.join(out, win), os.path.join(out, lin)

    readme = open(os.path.join(windir, "README.txt"), "rb").read().decode()
    check(readme.count("\r\n") == readme.count("\n") and f" {version} " in readme,
          "README.txt: CRLF line ends, names the version")
    for needed in ("Orlisk.exe", "Tamvik.exe /f <full path to the inf file> <hardwareID>", "DIFxAPI.dll",
                   "HECI_NOT_PRESENT", "Windows 7", "  16  "):
        check(needed in readme, f"README.txt: mentions {needed!r}")
    readme = open(os.path.join(lindir, "README")).read()
    for needed in (f" {version} ", "/dev/meiN", 'KERNEL=="mei[0-9]*", SUBSYSTEM=="mei"', "HECI_NOT_PRESENT"):
        check(needed in readme, f"README (Linux): mentions {needed!r}")

    check_exe(os.path.join(windir, "Orlisk.exe"), "Orlisk.exe", 0x14C, version, text)
    check_exe(os.path.join(windir, "Tamvik.exe"), "Tamvik.exe", 0x8664, version, text)
    dll = os.path.join(windir, "KelvNfpProvider.dll")
    check_exe(dll, "KelvNfpProvider.dll", 0x14C, version, text, manifest=False)
    check_registration(windir)
    check_script(windir, version)
    if args.event_messages:
        code, output = run([wine_run, os.path.abspath(args.event_messages), "Z:" + dll.replace("/", "\\")], windir)
        print(output.rstrip("\n"))
        check(code == 0, f"KelvNfpProvider.dll under Wine: every report's text and category come back (exit {code})")
    check_elf(os.path.join(lindir, "Orlisk"), "Orlisk (Linux)")

    if args.no_runs:
        return
    # The runs, each from the folder the archive unpacked into.
    code, output = run([wine_run, os.path.join(windir, "Tamvik.exe")], windir)
    check(code == 6 and output.startswith("USAGE: Tamvik.exe <option> <full path to the inf file>\n"),
          f"Tamvik.exe under Wine without arguments: exit {code}, the usage text")
    wrap = [os.path.abspath(args.guest_wrap)] if args.guest_wrap else []
    code, output = run([*wrap, wine_run, os.path.join(windir, "Orlisk.exe")], windir)
    if code == SKIPPED:
        skip(f"Orlisk.exe under Wine: {last_line(output)}")
    else:
        check_no_device("Orlisk.exe under Wine", code, output)
    if args.orlisk64:
        orlisk64 = os.path.abspath(args.orlisk64)
        code, output = run([wine_run, orlisk64], os.path.dirname(orlisk64))
        check_no_device("64-bit release Orlisk.exe under Wine", code, output)

    orlisk = os.path.join(lindir, "Orlisk")
    if any(n.startswith("mei") for n in os.listdir("/dev")):
        skip("Orlisk (Linux) with no device: this machine has an MEI device")
    else:
        code, output = run([orlisk], lindir)
        check_no_device("Orlisk (Linux)", code, output)
    env = dict(os.environ, LD_PRELOAD=os.path.abspath(args.sim), NFCSIM_SCENARIO="")
    code, output = run([orlisk], lindir, env)
    check(code == 0 and output.endswith("SUCCESS"), f"Orlisk (Linux) against the simulator: exit {code}, "
                                                    f"ends {output[-20:]!r}")


if __name__ == "__main__":
    sys.exit(main())
