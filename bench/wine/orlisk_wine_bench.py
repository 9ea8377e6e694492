#!/usr/bin/env python3
"""Orlisk.exe's SUCCESS run against the kernel-mode NFC-ME stand-in, beside
a minimal client that opens the interface, connects, writes the query and
reads the answer, both under the same Wine, timed with hyperfine.

    orlisk_wine_bench.py PREFIX_SCRIPT DRIVER_DIR RUNNER ORLISK.EXE MIN_CLIENT.EXE

Makes a throwaway prefix with the stand-in installed, keeps its Wine session
up for the runs (so that they time the programs, not Wine's start-up of the
session), and takes it down afterwards.
"""
import json
import os
import subprocess
import sys
import tempfile

RUNS = 40


def main(prefix_script, driver_dir, runner, orlisk, client):
    work = tempfile.mkdtemp(prefix="orlisk-wine-bench-")
    prefix = os.path.join(work, "prefix")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    subprocess.run([prefix_script, "create", prefix, driver_dir], env=env, check=True)
    # A program that waits keeps the session, and the driver, up between runs.
    ctl = os.path.join(driver_dir, "nfcmesim_ctl.exe")
    keeper = subprocess.Popen([runner, ctl, "hold", "600000"], env=env, stdout=subprocess.PIPE)
    try:
        if keeper.stdout.readline().strip() != b"ready":
            sys.exit("the stand-in's interface did not appear")
        results = os.path.join(work, "results.json")
        subprocess.run(["hyperfine", "--warmup", "3", "--runs", str(RUNS), "-N", "--export-json", results,
                        "-n", "Orlisk.exe", f"{runner} {orlisk}",
                        "-n", "minimal client", f"{runner} {client}"],
                       env=env, check=True)
        with open(results) as f:
            data = json.load(f)["results"]
        for stat in ("mean", "min"):
            t = {r["command"]: r[stat] for r in data}
            print(f"{stat}: Orlisk.exe {t['Orlisk.exe'] * 1000:.1f} ms, minimal client "
                  f"{t['minimal client'] * 1000:.1f} ms: ratio {t['Orlisk.exe'] / t['minimal client']:.2f}")
    finally:
        keeper.kill()
        subprocess.run([prefix_script, "destroy", prefix], env=env)
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    main(*sys.argv[1:])
