#!/usr/bin/env python3
"""Runs NfcDriver.cmd from the zip end to end under Wine, as Intune or
Configuration Manager start it, against the kernel-mode NFC-ME stand-in.

usage: check_driver_script.py DIST --driver DIR --powershell POWERSHELL.EXE
                              --hold-desktop HOLD_DESKTOP.EXE [--runs DIR]

DIR holds the driver stand-in (nfcmesim.inf, nfcmesim.sys, nfcmesim_ctl.exe;
sim/driver/), POWERSHELL.EXE the Windows PowerShell stand-in (sim/powershell/),
HOLD_DESKTOP.EXE keeps Wine's desktop up while the runs go on (see its source).
In a fresh prefix where the stand-in is installed, so that Orlisk.exe
answers SUCCESS, the zip's files lie in a content folder with a space and
brackets in its name (as in "Program Files (x86)") beside a Driver folder, and each run starts from C:\\ through
`cmd /d /c ""<folder>\\NfcDriver.cmd" <op> "<INF>""`. In order:
  1. install of an INF with models for 32-bit Windows only: Tamvik.exe's 2,
     no marker;
  2. install as the Intune and Configuration Manager examples run it, from
     the folder by a relative path: 0, the marker with the version; Wine's
     powershell.exe answers nothing: "restart not known";
  3. install from a 32-bit cmd.exe (as the 32-bit Intune agent starts it),
     PowerShell saying a device shows problem code 14: 3010, and the marker
     in the 64-bit registry, not under Wow6432Node;
  4. uninstall of an INF that does not exist: Tamvik.exe's 9, the marker
     stays;
  5. uninstall, no device waits for a restart: 0, the marker is gone;
  6. uninstall again: Tamvik.exe's 7 counts as done: 0;
  7. no arguments, and a folder without Tamvik.exe: 87, nothing done.
Each run: the exit code; the script's own lines in the log, exactly; both
programs' output between them, each ending in a line break; the marker; and
that the log grows by each run's lines only. Each run's part of the log is
written to --runs for check_readme.py. Where the kernel runs no 32-bit code,
run this under scripts/guest/wrap: Orlisk.exe is a 32-bit program.
"""
import argparse
import os
import re
import shutil
import sys
import tempfile
import zipfile

from check_package import check, commit_count, failures, project_version
from wine_prefix import Prefix, dos

LOG = "C:\\ProgramData\\NFC-ME service tools\\Logs\\NfcDriver.log"
MARKER = "HKLM\\SOFTWARE\\NFC-ME driver"
MARKER32 = "HKLM\\SOFTWARE\\Wow6432Node\\NFC-ME driver"
POWERSHELL = "C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe"
RESTART_QUERY = "Get-WmiObject Win32_PnPEntity -Filter 'ConfigManagerErrorCode=14'"


class Runs:
    def __init__(self, p, folder, version, runs):
        self.p, self.folder, self.version, self.runs = p, folder, version, runs
        self.log = p.c(LOG)
        self.count = 0

    def logged(self):
        return open(self.log, "rb").read() if os.path.exists(self.log) else b""

    def run(self, name, op, inf, code, lines, tamvik_end=None, env=None, wide=True, line=None):
        """Runs the script (by default from C:\\ by its full path; `line` from
        its folder); checks its exit code, its own lines (after the first,
        which names the INF and the time), the programs' output and the growth
        of the log. Returns the run's part of the log."""
        before = self.logged()
        if line:
            got, out = self.p.cmd(line, env, wide, cwd=self.folder)
        else:
            got, out = self.p.cmd(f'cmd /d /c ""{self.folder}\\NfcDriver.cmd" {op} "{inf}""', env, wide)
        after = self.logged()
        part = after[len(before):].decode()
        self.count += 1
        if self.runs:
            file = f"{self.count}-{re.sub(r'[^A-Za-z0-9]+', '-', name)}.log"
            open(os.path.join(self.runs, file), "w", newline="").write(part)
        print(f"== {name}: exit {got}")
        print("".join("     | " + line + "\n" for line in part.split("\r\n")[:-1]))
        check(got == code, f"{name}: exit {got} (wanted {code})")
        check(after.startswith(before), f"{name}: the log grows, nothing before is changed")
        own = [line for line in part.split("\r\n") if line.startswith("NfcDriver: ")]
        first = re.fullmatch(rf"NfcDriver: {op} (.+) with tools {re.escape(self.version)}, .+", own[0] if own else "")
        check(first is not None and first.group(1) == resolved(self.folder, inf),
              f"{name}: the first line names the INF's full path and the version: {own[:1]}")
        if not check(own[1:] == lines, f"{name}: the script's lines\n" + "".join(f"          {x}\n" for x in own[1:])):
            print(f"its standard output:\n{out}")
        check("NfcDriver: Orlisk.exe\r\n" not in part or "SUCCESS\r\nNfcDriver: Orlisk.exe exit 0\r\n" in part,
              f"{name}: Orlisk.exe's output, its SUCCESS ended by a line break")
        if tamvik_end:
            m = re.search(r"NfcDriver: Tamvik.exe /[iu] .*?\r\n(.*?)NfcDriver: Tamvik.exe exit", part, re.S)
            check(m is not None and re.search(tamvik_end, m.group(1)) is not None,
                  f"{name}: Tamvik.exe's output ends {tamvik_end!r}")
        check(part.endswith("\r\n") and "\n" not in part.replace("\r\n", ""), f"{name}: CR LF line ends")
        left = sorted(os.listdir(os.path.dirname(self.log)))
        check(left == ["NfcDriver.log"], f"{name}: the programs' files are gone from the log's folder {left}")
        return part, out

    def marker(self, name, wanted):
        values = self.p.reg(MARKER)
        got = values.get("Version", (None, None)) if values else None
        check(got == (("REG_SZ", wanted) if wanted else None),
              f"{name}: marker {MARKER} Version {got} (wanted {wanted or 'none'})")


def gated(flag, inf):
    """The script's lines from Orlisk.exe's SUCCESS to Tamvik.exe's start."""
    return ["NfcDriver: Orlisk.exe", "NfcDriver: Orlisk.exe exit 0", f"NfcDriver: Tamvik.exe {flag} {inf}"]


def resolved(folder, inf):
    return inf if re.match(r"^[A-Za-z]:\\", inf) else f"{folder}\\{inf}"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dist")
    ap.add_argument("--driver", required=True)
    ap.add_argument("--powershell", required=True)
    ap.add_argument("--hold-desktop", required=True)
    ap.add_argument("--runs")
    args = ap.parse_args()
    version = project_version()
    quad = f"{version}.{commit_count()}"
    if args.runs:
        os.makedirs(args.runs, exist_ok=True)
        for old in os.listdir(args.runs):
            if old[0].isdigit():
                os.remove(os.path.join(args.runs, old))
    with tempfile.TemporaryDirectory(prefix="nfc-script-") as work:
        content = os.path.join(work, "content folder (1)")
        os.makedirs(os.path.join(content, "Driver"))
        with zipfile.ZipFile(os.path.join(args.dist, f"nfcme-tools-{version}-windows.zip")) as z:
            for member in z.namelist():
                if not member.endswith("/"):
                    open(os.path.join(content, os.path.basename(member)), "wb").write(z.read(member))
        inf = open(os.path.join(args.driver, "nfcmesim.inf"), "rb").read()
        for name in ("nfcmesim.inf", "nfcmesim.sys"):
            shutil.copy(os.path.join(args.driver, name), os.path.join(content, "Driver"))
        x86only = inf.replace(b"%Provider% = Models, NTamd64", b"%Provider% = Models, NTx86").replace(
            b"[Models.NTamd64]", b"[Models.NTx86]")
        check(x86only != inf and b"NTamd64]" not in x86only.split(b"[NfcMeSim_Install")[0],
              "the stand-in's INF still has the lines this test rewrites")
        open(os.path.join(content, "Driver", "x86only.inf"), "wb").write(x86only)
        folder = dos(content)
        driver_inf = f"{folder}\\Driver\\nfcmesim.inf"

        with Prefix(os.path.join(work, "prefix"), args.driver, args.hold_desktop) as p:
            r = Runs(p, folder, quad, args.runs)
            x86 = f"{folder}\\Driver\\x86only.inf"
            r.run("install, no models for 64-bit", "install", x86, 2,
                  gated("/i", x86) + ["NfcDriver: Tamvik.exe exit 2", "NfcDriver: result 2"],
                  r"No device IDs found in INF '.*x86only.inf' for current platform.\r\n$")
            r.marker("after a failed install", None)

            installed = gated("/i", driver_inf) + ["NfcDriver: Tamvik.exe exit 0"]
            written = f"NfcDriver: marker written: {MARKER} Version {quad}"
            # As Intune and Configuration Manager run it: from its folder.
            r.run("install", "install", "Driver\\nfcmesim.inf", 0,
                  installed + ["NfcDriver: restart not known: Windows PowerShell gave no answer", written,
                               "NfcDriver: result 0"],
                  r"SUCCESS: installed driver package .*nfcmesim.inf.\r\n$",
                  line="cmd /d /c NfcDriver.cmd install Driver\\nfcmesim.inf")
            r.marker("after the install", quad)

            # The prefix's own file may be a link into Wine's read-only tree.
            os.remove(p.c(POWERSHELL))
            shutil.copy(args.powershell, p.c(POWERSHELL))
            trace = "C:\\powershell-trace.txt"
            r.run("install from a 32-bit cmd.exe, restart needed", "install", driver_inf, 3010,
                  installed + ["NfcDriver: restart needed: a device shows problem code 14", written,
                               "NfcDriver: result 3010"],
                  env={"NFCSIM_POWERSHELL": "restart", "NFCSIM_POWERSHELL_TRACE": trace}, wide=False)
            r.marker("after the install from a 32-bit cmd.exe", quad)
            check(p.reg(MARKER32) is None, f"no marker under {MARKER32}")
            asked = open(p.c(trace), "rb").read().decode() if os.path.exists(p.c(trace)) else ""
            check(RESTART_QUERY in asked, f"PowerShell was asked for devices with problem code 14: {asked.strip()}")

            missing = f"{folder}\\Driver\\missing.inf"
            r.run("uninstall of a missing INF", "uninstall", missing, 9,
                  gated("/u", missing) + ["NfcDriver: Tamvik.exe exit 9", "NfcDriver: result 9"],
                  r"ERROR: An error occurred while uninstalling driver package .*missing.inf [0-9a-f]+\r\n\.\r\n$")
            r.marker("after a failed uninstall", quad)

            removed = gated("/u", driver_inf)
            r.run("uninstall", "uninstall", "Driver\\nfcmesim.inf", 0,
                  removed + ["NfcDriver: Tamvik.exe exit 0", "NfcDriver: no restart needed",
                             "NfcDriver: marker removed", "NfcDriver: result 0"],
                  r"SUCCESS: Uninstalled driver package .*nfcmesim.inf.\r\n$", env={"NFCSIM_POWERSHELL": "none"})
            r.marker("after the uninstall", None)
            r.run("uninstall again", "uninstall", "Driver\\nfcmesim.inf", 0,
                  removed + ["NfcDriver: Tamvik.exe exit 7", "NfcDriver: marker removed", "NfcDriver: result 0"],
                  r"INFO: Driver not present.\r\n$")
            r.marker("after the second uninstall", None)

            before = r.logged()
            code, out = p.cmd(f'cmd /d /c ""{folder}\\NfcDriver.cmd""')
            if args.runs:
                open(os.path.join(args.runs, "usage.txt"), "w", newline="").write(out)
            check(code == 87 and out == "usage: NfcDriver.cmd install|uninstall <INF path>\r\n"
                  and r.logged() == before, f"no arguments: exit {code}, the usage line {out!r}, nothing logged")
            alone = os.path.join(work, "alone")
            os.makedirs(alone)
            for name in ("NfcDriver.cmd", "Orlisk.exe"):
                shutil.copy(os.path.join(content, name), alone)
            code, out = p.cmd(f'cmd /d /c ""{dos(alone)}\\NfcDriver.cmd" install "{driver_inf}""')
            part = r.logged()[len(before):].decode()
            if args.runs:
                open(os.path.join(args.runs, f"{r.count + 1}-without-Tamvik.log"), "w", newline="").write(part)
            check(code == 87 and part.split("\r\n")[1:] == [
                "NfcDriver: Tamvik.exe is not beside NfcDriver.cmd, nothing done", "NfcDriver: result 87", ""],
                f"without Tamvik.exe beside it: exit {code}, nothing run: {part!r}")
    print(f"== {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
