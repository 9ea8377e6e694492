#!/usr/bin/env python3
"""The unmodified Orlisk.exe with the wevtapi stand-in beside it, under Wine.

RUNNER ORLISK.EXE WEVTAPI.DLL: runs the program from a folder that holds it
and the stand-in, with the DLL override and an NFCSIM_EVT_TRACE file. Wine
has no HECI device, so the run ends with HECI_NOT_PRESENT after its ten
attempts; the watcher it creates for the connection report must subscribe
through the stand-in (no "EvtSubscribe failed" line) and close every
subscription before the program ends.
"""
import os
import shutil
import subprocess
import sys
import tempfile

NOT_PRESENT = "HECI_NOT_PRESENT\n"


def main(runner, exe, dll):
    folder = tempfile.mkdtemp(prefix="orlisk-wevtapi-")
    try:
        shutil.copy(exe, folder)
        shutil.copy(dll, folder)
        trace = os.path.join(folder, "trace.txt")
        env = dict(os.environ, WINEDLLOVERRIDES="wevtapi=n,b", NFCSIM_EVT_TRACE=trace)
        proc = subprocess.run([runner, os.path.join(folder, os.path.basename(exe))], cwd=folder,
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        out = proc.stdout.decode("latin-1").replace("\r\n", "\n")
        if proc.returncode == 77 and out.startswith("SKIPPED"):
            print(out.strip())
            return 77
        lines = []
        if os.path.exists(trace):
            with open(trace, encoding="latin-1") as f:
                lines = f.read().replace("\r\n", "\n").splitlines()
        problems = []
        if proc.returncode != 1 or not out.endswith(NOT_PRESENT):
            problems.append(f"exit code {proc.returncode}, output ends {out[-80:]!r}")
        if "EvtSubscribe failed" in out:
            problems.append("the watcher did not subscribe through the stand-in")
        subscribed = lines.count("subscribe System 0")
        closed = lines.count("close")
        if subscribed == 0 or subscribed != closed or len(lines) != subscribed + closed:
            problems.append(f"trace {lines!r}: expected each subscription closed once")
        print(f"[{'ok' if not problems else 'FAILED'}] Orlisk.exe with the wevtapi stand-in")
        for p in problems:
            print(f"    {p}")
        return 1 if problems else 0
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.stdout.reconfigure(line_buffering=True)
    sys.exit(main(*sys.argv[1:4]))
