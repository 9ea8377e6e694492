#!/usr/bin/env python3
"""Orlisk's costs against the emulated /dev/mei0 (the simulator's preload).

  1. wall time of a SUCCESS run, beside a minimal single-threaded client
     (mei_min_client) doing the same exchange, as a ratio (hyperfine);
  2. CPU time of the 10-second no-answer run (it should be a few ms);
  3. peak resident memory of a SUCCESS run.

usage: orlisk_bench.py ORLISK MIN_CLIENT LIBMEISIM
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile


def child_usage(argv, env):
    """Runs argv to its end; returns (exit code, user+sys seconds, max RSS KiB) of that child."""
    pid = os.fork()
    if pid == 0:
        quiet = os.open(os.devnull, os.O_WRONLY)
        os.dup2(quiet, 1)
        os.execve(argv[0], argv, env)
    _, status, usage = os.wait4(pid, 0)
    return os.waitstatus_to_exitcode(status), usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def main(orlisk, client, preload):
    env = dict(os.environ, LD_PRELOAD=preload, NFCSIM_SCENARIO="")

    print("== 1. wall time of a SUCCESS run (hyperfine)")
    if shutil.which("hyperfine"):
        out = tempfile.NamedTemporaryFile(suffix=".json", delete=False).name
        subprocess.run(["hyperfine", "-N", "--warmup", "5", "--runs", "100", "--export-json", out,
                        "-n", "Orlisk", orlisk, "-n", "minimal client", client],
                       env=env, check=True)
        results = {r["command"]: r for r in json.load(open(out))["results"]}
        os.unlink(out)
        o, c = results["Orlisk"]["mean"], results["minimal client"]["mean"]
        print(f"Orlisk {o * 1000:.2f} ms, minimal client {c * 1000:.2f} ms, ratio {o / c:.1f}")
    else:
        print("hyperfine is not installed (apt-get install hyperfine)")

    print("\n== 2. CPU time of the no-answer run (about 10 s of waiting)")
    code, cpu, _ = child_usage([orlisk], dict(env, NFCSIM_SCENARIO="answerMode=none"))
    print(f"exit {code}, CPU {cpu * 1000:.1f} ms")
    # Starting and ending any process costs CPU too; show what that is here.
    base = min(child_usage(["/bin/true"], env)[1] for _ in range(5))
    print(f"(a process that does nothing, with the same preload: {base * 1000:.1f} ms)")

    print("\n== 3. peak resident memory of a SUCCESS run")
    peaks = []
    for _ in range(5):
        code, _, rss = child_usage([orlisk], env)
        peaks.append(rss)
    print(f"exit {code}, max RSS {min(peaks)}..{max(peaks)} KiB over 5 runs")
    code, _, rss = child_usage([client], env)
    print(f"(minimal client: {rss} KiB)")


if __name__ == "__main__":
    main(*sys.argv[1:4])
