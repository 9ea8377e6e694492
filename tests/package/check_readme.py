#!/usr/bin/env python3
"""Checks every output line that the Windows package's README.txt quotes
against what the shipped programs print.

usage: check_readme.py [--dist DIST] [--build BUILD] [--wine-run SCRIPT] [--readme README.txt]
                       [--script-runs DIR]

README.txt quotes output lines as "> line" (at the start of a line, or after
two spaces in a table), with {INF}, {OPTION}, {CODE}, {HEX}, {N} and {TEXT}
standing for what varies. Quoted lines on consecutive lines of the README
form a block (a quote after a table row's first columns starts one). Each
block must be printed, exactly and in that order, by one
of these runs (so that the README cannot drift from the programs):
  - Tamvik.exe from the package under Wine, beside a DIFxAPI.dll stand-in
    that answers each result code the README describes (built by the
    release-win64 preset), and on the command-line errors;
  - the 64-bit Orlisk.exe of the release-win64 build under Wine, which finds
    no HECI device;
  - the Linux Orlisk from the package against the simulator (an answer, a
    wrong radio type, no answer), for the lines that need an NFC-ME client.
    Its lines are the Windows program's: the same code prints them;
  - NfcDriver.cmd's runs under Wine, each run's part of its log (and its
    standard output where it writes no log), as check_driver_script.py and
    check_msi.py leave them in DIR (default BUILD/driver-script-runs).
Redirected output must end every line in CR LF (Windows) and hold no byte
order mark. The Linux runs drop the line that says the system log took no
report (there is often no system logger here). Lines that no run here can produce are listed in
FROM_THE_PROGRAM and FROM_THE_SCRIPT with the reason; they must appear as a
format string in the shipped program, or as a line in NfcDriver.cmd, instead.

Then each quoted line is changed (the case of its first letter outside a
placeholder swapped, or its first character replaced where it has no
letter) and its block must no longer match: a quoted line that a change
would not break checks nothing.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
from concurrent.futures import ThreadPoolExecutor

from check_package import check, failures

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PLACEHOLDERS = {"{INF}": r".+", "{OPTION}": r"\S+", "{CODE}": r"[0-9A-F]+", "{HEX}": r"[0-9a-f]+",
                "{N}": r"[0-9]+", "{TEXT}": r".+", "{VERSION}": r"[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+",
                "{WHEN}": r".+"}
REPORT_FAILED = "ERROR   : ReportEventA() failed !"
# Wine's configuration manager cannot locate the device tree, so the rescan
# fails one step before this line; the line is the program's own format.
FROM_THE_PROGRAM = {"CM_Reenumerate_DevNode failed: {HEX}": b"CM_Reenumerate_DevNode failed: %x\n"}
# The registry refuses nothing under Wine, and the log folder and its files
# can always be written.
FROM_THE_SCRIPT = {"NfcDriver: marker not written: reg add exit {N}":
                   b'set "msg=NfcDriver: marker not written: reg add exit %reg%"',
                   "NfcDriver: cannot create {TEXT}, nothing done":
                   b"echo NfcDriver: cannot create %logdir%, nothing done",
                   "NfcDriver: cannot write {TEXT}, the program did not run":
                   b'set "msg=NfcDriver: cannot write %out%, the program did not run"'}
INF = "C:\\Drivers\\NFC driver\\nfc.inf"


def quoted_blocks(readme):
    """The quoted lines, in blocks of quotes on consecutive lines."""
    blocks, last = [], None
    for number, line in enumerate(readme.splitlines()):
        m = re.search(r"(?:^|\s)> (.*?)\s*$", line)
        if not m or not (m.start() == 0 or line[:m.start() + 1].endswith("  ") or not line[:m.start()].strip()):
            continue
        # A table row's first quote (text before it) starts a block of its own.
        if last == number - 1 and not line[:m.start()].strip():
            blocks[-1].append(m.group(1))
        else:
            blocks.append([m.group(1)])
        last = number
    return blocks


def printed_in(block, runs):
    """Whether one run printed the block's lines one after the other."""
    patterns = [pattern(line) for line in block]
    for lines in runs:
        for i in range(len(lines) - len(patterns) + 1):
            if all(p.fullmatch(lines[i + k]) for k, p in enumerate(patterns)):
                return True
    return False


def pattern(line):
    parts = re.split(r"(\{[A-Z]+\})", line)
    return re.compile("".join(PLACEHOLDERS.get(p, re.escape(p)) for p in parts))


def mutated(line):
    """The line with the case of its first letter outside a placeholder swapped."""
    parts = re.split(r"(\{[A-Z]+\})", line)
    for i, part in enumerate(parts):
        if part in PLACEHOLDERS:
            continue
        for j, c in enumerate(part):
            if c.isalpha():
                parts[i] = part[:j] + c.swapcase() + part[j + 1:]
                return "".join(parts)
    return "#" + line[1:]


def run(argv, cwd, env, name, timeout=120):
    start = time.monotonic()
    proc = subprocess.run(argv, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          timeout=timeout)
    return name, proc.returncode, proc.stdout, time.monotonic() - start


def lines_of(raw, windows):
    """The printed lines, each without its line end (CR LF on Windows; a doubled CR before it too)."""
    text = raw.decode("utf-8")
    if windows:
        check(not raw.startswith(b"\xef\xbb\xbf") and "\n" not in text.replace("\r\n", ""),
              "every line ends in CR LF, no byte order mark")
    return [line.rstrip("\r") for line in text.split("\n") if windows or line != REPORT_FAILED]


def windows_runs(args, tamvik, work):
    """(name, exit, output) of Tamvik.exe and the 64-bit Orlisk.exe under Wine."""
    folder = os.path.join(work, "tamvik")
    os.makedirs(folder)
    shutil.copy(tamvik, folder)
    shutil.copy(args.difxapi, os.path.join(folder, "DIFxAPI.dll"))
    exe = os.path.join(folder, "Tamvik.exe")
    base = dict(os.environ, WINEDEBUG="-all")
    standin = dict(base, WINEDLLOVERRIDES="difxapi=n")
    jobs = [([], base, "usage"), (["x", INF], base, "one-character option"),
            (["/x", INF], base, "/x"), (["/f", INF], base, "/f without hardware ID"),
            (["/f", "C:\\nowhere\\nfc.inf", "ROOT\\NFC_README"], base, "/f of a missing INF")]
    for code in ("0", "103", "E000020B", "E0000301", "5"):
        jobs.append((["/i", INF], dict(standin, NFCSIM_DIFX=f"install=0x{code}"), f"/i answered {code}"))
    for code in ("0", "E0000300", "E0000302", "5"):
        jobs.append((["/u", INF], dict(standin, NFCSIM_DIFX=f"uninstall=0x{code}"), f"/u answered {code}"))
    runs = [run([args.wine_run, exe, *argv], folder, env, "Tamvik.exe " + name) for argv, env, name in jobs]
    orlisk = os.path.abspath(args.orlisk64)
    runs.append(run([args.wine_run, orlisk], os.path.dirname(orlisk), base, "Orlisk.exe, no HECI device"))
    return runs


def linux_runs(args, orlisk):
    env = dict(os.environ, LD_PRELOAD=os.path.abspath(args.sim))
    cases = [("", "an answer"), ("radioType=3", "a wrong radio type"), ("answerMode=none", "no answer")]
    with ThreadPoolExecutor(len(cases)) as pool:
        return list(pool.map(lambda c: run([orlisk], os.path.dirname(orlisk), dict(env, NFCSIM_SCENARIO=c[0]),
                                           f"Orlisk (Linux), {c[1]}"), cases))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--dist", default=os.path.join(ROOT, "dist"))
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--wine-run", default=os.path.join(ROOT, "scripts", "wine-run"))
    ap.add_argument("--readme", help="check this README.txt instead of the packaged one")
    ap.add_argument("--script-runs")
    args = ap.parse_args()
    args.script_runs = args.script_runs or os.path.join(args.build, "driver-script-runs")
    args.orlisk64 = os.path.join(args.build, "release-win64", "checker", "Orlisk.exe")
    args.difxapi = os.path.join(args.build, "release-win64", "tests", "package", "difxapi", "DIFxAPI.dll")
    args.sim = os.path.join(args.build, "release-linux", "sim", "libmeisim.so")

    with tempfile.TemporaryDirectory(prefix="nfc-readme-") as work:
        names = os.listdir(args.dist)
        win = [n for n in names if n.endswith("-windows.zip")]
        lin = [n for n in names if n.endswith("-linux-x86_64.tar.gz")]
        if len(win) != 1 or len(lin) != 1:
            sys.exit(f"{args.dist}: no packages (run scripts/package)")
        with zipfile.ZipFile(os.path.join(args.dist, win[0])) as z:
            z.extractall(work)
        subprocess.run(["tar", "-xzf", os.path.join(args.dist, lin[0]), "-C", work], check=True)
        windir = os.path.join(work, win[0][:-4])
        lindir = os.path.join(work, lin[0][:-len(".tar.gz")])
        readme = open(args.readme or os.path.join(windir, "README.txt"), encoding="utf-8").read()
        tamvik_bytes = open(os.path.join(windir, "Tamvik.exe"), "rb").read()
        script_bytes = open(os.path.join(windir, "NfcDriver.cmd"), "rb").read()

        printed = []
        with ThreadPoolExecutor(2) as pool:
            linux = pool.submit(linux_runs, args, os.path.join(lindir, "Orlisk"))
            for name, code, raw, seconds in windows_runs(args, os.path.join(windir, "Tamvik.exe"), work):
                print(f"== {name}: exit {code}, {seconds:.1f} s")
                printed.append(lines_of(raw, windows=True))
            for name, code, raw, seconds in linux.result():
                print(f"== {name}: exit {code}, {seconds:.1f} s")
                printed.append(lines_of(raw, windows=False))
        runs = sorted(os.listdir(args.script_runs)) if os.path.isdir(args.script_runs) else []
        check(len(runs) >= 2, f"NfcDriver.cmd's runs in {args.script_runs}: {runs} "
                              "(made by check_driver_script.py and check_msi.py)")
        for name in runs:
            print(f"== NfcDriver.cmd: {name}")
            printed.append(lines_of(open(os.path.join(args.script_runs, name), "rb").read(), windows=True))

    blocks = quoted_blocks(readme)
    count = sum(len(b) for b in blocks)
    check(count >= 35, f"README.txt quotes {count} output lines, in {len(blocks)} blocks")
    for block in blocks:
        if len(block) == 1 and block[0] in FROM_THE_PROGRAM:
            check(FROM_THE_PROGRAM[block[0]] in tamvik_bytes, f"quoted, and a format of Tamvik.exe: {block[0]}")
            continue
        if len(block) == 1 and block[0] in FROM_THE_SCRIPT:
            check(FROM_THE_SCRIPT[block[0]] + b"\r\n" in script_bytes,
                  f"quoted, and a line of NfcDriver.cmd: {block[0]}")
            continue
        check(printed_in(block, printed), "quoted, and printed: " + "\n                      ".join(block))
        for k, line in enumerate(block):
            changed = block[:k] + [mutated(line)] + block[k + 1:]
            check(not printed_in(changed, printed), f"a change to it would be caught: {changed[k]}")
    print(f"== {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
