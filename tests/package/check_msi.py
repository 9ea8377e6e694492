#!/usr/bin/env python3
"""Installs the tools' MSI under Wine as README.txt tells a deployment
engineer to, and tries the event-source registration of KelvNfpProvider.reg.

usage: check_msi.py DIST --event-messages FORMAT_EVENT_MESSAGES.EXE [--runs DIR]

In a fresh Wine prefix without a HECI device (sim/driver/prefix.sh):
  - msiexec /i ... /qn: the four files in the 64-bit Program Files, the same
    bytes as in the zip; the event source's key and its values; the message
    file found through the registered EventMessageFile renders each report
    and the category as Event Viewer does (--event-messages /registered);
    Orlisk.exe, Tamvik.exe and NfcDriver.cmd run from the installed folder
    (no HECI device: Orlisk's 1, and the script's "not applicable", by
    README.txt's %ProgramW6432% command line from a 32-bit cmd.exe);
  - the repair command line puts back a deleted program and registry value;
  - msiexec /x with the package leaves no file, no folder, no key and no
    product;
  - an older build (the commit count one lower, its own NfcDriver.cmd),
    installed and then replaced by this one: one product, the newer files;
    the older one then refuses to install over the newer one (1603);
    msiexec /x with the ProductCode removes everything;
  - KelvNfpProvider.reg with its folder filled in, imported with regedit /s:
    the same key and render check; deleting the key unregisters.
The "not applicable" run's log is written to --runs for check_readme.py.
Where the kernel runs no 32-bit code, run this under scripts/guest/wrap:
Orlisk.exe is a 32-bit program.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import uuid
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "scripts", "lib"))
import msi  # noqa: E402
from check_package import check, commit_count, failures, git, project_version  # noqa: E402
from wine_prefix import ROOT, Prefix, dos  # noqa: E402

FOLDER = "C:\\Program Files\\NFC-ME service tools"
FILES = ["Orlisk.exe", "Tamvik.exe", "NfcDriver.cmd", "KelvNfpProvider.dll"]
SOURCE = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KelvNfpProvider"
UNINSTALL = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
INSTALL_FAILURE = 1603


def check_installed(p, source, what):
    folder = p.c(FOLDER)
    present = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    check(present == sorted(FILES), f"{what}: {FOLDER} holds {present}")
    same = [n for n in FILES if os.path.exists(os.path.join(folder, n))
            and open(os.path.join(folder, n), "rb").read() == open(os.path.join(source, n), "rb").read()]
    check(same == FILES, f"{what}: the files are the build's, byte for byte ({same})")


def check_source(p, what, dll, kind):
    values = p.reg(SOURCE)
    wanted = {"EventMessageFile": (kind, dll), "CategoryMessageFile": (kind, dll),
              "CategoryCount": ("REG_DWORD", "0x1"), "TypesSupported": ("REG_DWORD", "0x5")}
    check(values == wanted, f"{what}: {SOURCE} holds {values}")


def check_render(p, args, what):
    code, out = p.run([os.path.abspath(args.event_messages), "/registered"])
    print(out.rstrip("\n"))
    check(code == 0, f"{what}: found through the registered EventMessageFile, IDs 2, 3 and 6 and "
                     f"category 1 render as Event Viewer shows them (exit {code})")


def products(p):
    """{ProductCode: DisplayVersion} of the installed products named NFC-ME service tools."""
    found = {}
    for sub in p.subkeys(UNINSTALL):
        values = p.reg(f"{UNINSTALL}\\{sub}") or {}
        if values.get("DisplayName", ("", ""))[1] == "NFC-ME service tools":
            found[sub] = values.get("DisplayVersion", ("", ""))[1]
    return found


def check_removed(p, what):
    check(not os.path.exists(p.c(FOLDER)), f"{what}: no {FOLDER}")
    check(p.reg(SOURCE) is None, f"{what}: no key {SOURCE}")
    check(products(p) == {}, f"{what}: no product left ({products(p)})")


def msiexec(p, line, what, wanted=0):
    code, out = p.cmd(line)
    check(code == wanted, f"{what}: {line}: exit {code} (wanted {wanted}) {out.strip()}")


def run_from_folder(p, args, runs):
    code, out = p.run([os.path.join(p.c(FOLDER), "Orlisk.exe")], wide=False, cwd=p.c(FOLDER))
    last = out.replace("\r\n", "\n").rstrip("\n").rsplit("\n", 1)[-1]
    check(code == 1 and last == "HECI_NOT_PRESENT",
          f"Orlisk.exe from {FOLDER}, no HECI device: exit {code}, last line {last!r}")
    code, out = p.run([os.path.join(p.c(FOLDER), "Tamvik.exe")], cwd=p.c(FOLDER))
    check(code == 6 and out.startswith("USAGE: Tamvik.exe"), f"Tamvik.exe from {FOLDER}: exit {code}, its usage")
    # The installed script by README.txt's command line, from a 32-bit
    # cmd.exe as the engines' agents start it, with a path relative to the
    # script's folder.
    log = p.c("C:\\ProgramData\\NFC-ME service tools\\Logs\\NfcDriver.log")
    code, out = p.cmd('cmd /d /c ""%ProgramW6432%\\NFC-ME service tools\\NfcDriver.cmd" install "Driver\\nfc.inf""',
                      wide=False)
    text = open(log, "rb").read().decode() if os.path.exists(log) else ""
    if runs:
        open(os.path.join(runs, "not-applicable.log"), "w", newline="").write(text)
    lines = [line for line in text.split("\r\n") if line.startswith("NfcDriver: ")]
    wanted = [f"NfcDriver: install {FOLDER}\\Driver\\nfc.inf with tools",
              "NfcDriver: Orlisk.exe", "NfcDriver: Orlisk.exe exit 1", "NfcDriver: not applicable, nothing done",
              "NfcDriver: result 10"]
    check(code == 10 and len(lines) == len(wanted) and lines[0].startswith(wanted[0]) and lines[1:] == wanted[1:],
          f"{FOLDER}\\NfcDriver.cmd install, no HECI device: exit {code}, not applicable, its log {lines}")
    check("HECI_NOT_PRESENT\r\nNfcDriver: Orlisk.exe exit 1\r\n" in text, "the log holds Orlisk.exe's output")
    check(p.reg("HKLM\\SOFTWARE\\NFC-ME driver") is None, "no detection marker after \"not applicable\"")


def older_build(dist_msi, work, zipdir, version, count):
    """The MSI of the commit before: the count one lower, and a NfcDriver.cmd of its own."""
    older = os.path.join(work, "older")
    os.makedirs(older)
    for name in FILES:
        shutil.copy(os.path.join(zipdir, name), older)
    script = os.path.join(older, "NfcDriver.cmd")
    text = open(script, "rb").read().replace(f"{version}.{count}".encode(), f"{version}.{count - 1}".encode())
    open(script, "wb").write(text)
    path = os.path.join(work, "older.msi")
    subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "lib", "msi.py"), path,
                    os.path.join(ROOT, "packaging", "nfcme-tools.wxs"), version, str(count - 1)] +
                   [os.path.join(older, n) for n in FILES], check=True,
                   env=dict(os.environ, SOURCE_DATE_EPOCH=os.environ.get("SOURCE_DATE_EPOCH") or
                            git("log", "-1", "--format=%ct")))
    return path, older


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dist")
    ap.add_argument("--event-messages", required=True)
    ap.add_argument("--runs")
    args = ap.parse_args()
    version, count = project_version(), commit_count()
    quad = f"{version}.{count}"
    code = "{" + str(uuid.uuid5(msi.UPGRADE_CODE, quad)).upper() + "}"
    dist_msi = os.path.join(args.dist, f"nfcme-tools-{version}-x64.msi")
    if args.runs:
        os.makedirs(args.runs, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="nfc-msi-") as work:
        with zipfile.ZipFile(os.path.join(args.dist, f"nfcme-tools-{version}-windows.zip")) as z:
            z.extractall(work)
        zipdir = os.path.join(work, f"nfcme-tools-{version}-windows")
        older, olderdir = older_build(dist_msi, work, zipdir, version, count)
        package, old_package = dos(dist_msi), dos(older)
        dll = f"{FOLDER}\\KelvNfpProvider.dll"
        with Prefix(os.path.join(work, "prefix")) as p:
            print(f"== {os.path.basename(dist_msi)}, ProductCode {code}")
            msiexec(p, f'msiexec /i "{package}" /qn', "install")
            check_installed(p, zipdir, "installed")
            check_source(p, "installed", dll, "REG_EXPAND_SZ")
            check_render(p, args, "installed")
            check(products(p) == {code: msi.product_version(version, count)},
                  f"installed: one product {products(p)}")
            run_from_folder(p, args, args.runs)

            os.remove(os.path.join(p.c(FOLDER), "Tamvik.exe"))
            p.run(["reg", "delete", SOURCE, "/v", "TypesSupported", "/f"])
            msiexec(p, f'msiexec /i "{package}" REINSTALL=ALL REINSTALLMODE=omus /qn', "repair")
            check_installed(p, zipdir, "repaired")
            check_source(p, "repaired", dll, "REG_EXPAND_SZ")

            msiexec(p, f'msiexec /x "{package}" /qn', "uninstall")
            check_removed(p, "uninstalled")

            print(f"== an older build ({version}.{count - 1}) first, then this one")
            msiexec(p, f'msiexec /i "{old_package}" /qn', "older build")
            check_installed(p, olderdir, "older build")
            msiexec(p, f'msiexec /i "{package}" /qn', "upgrade")
            check_installed(p, zipdir, "upgraded")
            check(products(p) == {code: msi.product_version(version, count)},
                  f"upgraded: one product, this build's {products(p)}")
            msiexec(p, f'msiexec /i "{old_package}" /qn', "older build over this one", INSTALL_FAILURE)
            check_installed(p, zipdir, "after the refused downgrade")
            check(list(products(p)) == [code], f"after the refused downgrade: this build only {products(p)}")
            msiexec(p, f"msiexec /x {code} /qn", "uninstall by ProductCode")
            check_removed(p, "uninstalled by ProductCode")

            print("== KelvNfpProvider.reg")
            reg = open(os.path.join(zipdir, "KelvNfpProvider.reg"), "rb").read().decode()
            filled = os.path.join(work, "filled.reg")
            folder = dos(zipdir)
            open(filled, "wb").write(reg.replace("INSTALLDIR", folder.replace("\\", "\\\\")).encode())
            code_reg, out = p.cmd(f'regedit /s "{dos(filled)}"')
            check(code_reg == 0, f"regedit /s KelvNfpProvider.reg: exit {code_reg} {out.strip()}")
            check_source(p, "imported", f"{folder}\\KelvNfpProvider.dll", "REG_SZ")
            check_render(p, args, "imported")
            p.run(["reg", "delete", SOURCE, "/f"])
            check(p.reg(SOURCE) is None, "deleting the key unregisters the source")
    print(f"== {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
