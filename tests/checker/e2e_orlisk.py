#!/usr/bin/env python3
"""End-to-end runs of the unmodified Orlisk binary.

linux  ORLISK PRELOAD: runs the native binary against the emulated /dev/mei0
       and /sys/class/mei (the simulator's preload library), one scenario
       per case, and checks the exact standard output, the exit code and the
       time taken: at least the case's lower bound in all, and at most its
       upper bound from the first to the last line of the simulator's trace
       (its own clock, which a slow start of the process does not touch).
valgrind ORLISK PRELOAD: a SUCCESS run, the no-answer run, a run without a
       device and one whose write fails, under memcheck, with no invalid
       access and nothing definitely lost.
wine   RUNNER ORLISK.EXE: runs the Windows build under Wine from a folder
       that holds nothing but the executable; Wine has no HECI device. Its
       pauses are judged from its first to its last line of output, not on
       how long Wine took to start it.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

CONNECT_FAILED = ("Failed to connect to HECI Client handle : {0xd2de1625, 0x382d, 0x417d, "
                  "0x48, 0xa4, 0xef, 0xab, 0xba, 0x8a, 0x12, 0x06}\n")
QUERY_FAILED = "Failed to retrieve informations from driver.\n"
NOT_PRESENT = "HECI_NOT_PRESENT\n"
PAUSE = "WARNING : handleInternalRetryConnection sleep for  : 200 ms\n"
CONNECT_REPORT = "ERROR   : Connection with HECI failed, is HECI driver alive ?\n"
TIMEOUT_LINE = "ERROR   : HECI Send command timeouts.\n"
FAILED_LINE = "ERROR   : Send HCI frame failed.\n"


REPORT_FAILED = "ERROR   : ReportEventA() failed !\n"
# The emulated machine without a device has no MEI driver, so no class
# folder: the ME reset watcher that the connection report makes says so.
NO_CLASS_FOLDER = "LOG     : There is no /sys/class/mei: ME resets are not watched.\n"


def without_report_failures(out):
    """Drops the lines that depend on the machine, not on the scenario: that
    an event-log report could not be written.

    Whether the system log takes a report depends on the machine (a CI
    container often has no system logger), so that line may stand before
    each report's own line, and only there.
    """
    for line in (CONNECT_REPORT, TIMEOUT_LINE, FAILED_LINE):
        out = out.replace(REPORT_FAILED + line, line)
    return out


def run(argv, env=None, cwd=None, timeout=60):
    start = time.monotonic()
    proc = subprocess.run(argv, env=env, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout)
    return proc.stdout.decode("latin-1"), proc.returncode, time.monotonic() - start


# How long a program may go on after its last output before it is killed.
HANG_LIMIT_S = 20.0


class Run:
    """What a run of the program gave: its output, its exit code (None when
    it had to be killed), the seconds it took here in all, from its first to
    its last output, and from its last output to its exit."""
    def __init__(self, out, code, seconds, spread, after):
        self.out, self.code, self.seconds, self.spread, self.after = out, code, seconds, spread, after


def run_program(runner, exe, env, folder, limit):
    """Runs the program and notes when each piece of its output came."""
    start = time.monotonic()
    proc = subprocess.Popen([runner, exe], cwd=folder, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    chunks = []
    first_output = [None]
    last_output = [start]

    def pump():
        while True:
            data = os.read(proc.stdout.fileno(), 4096)
            if not data:
                return
            chunks.append(data)
            last_output[0] = time.monotonic()
            if first_output[0] is None:
                first_output[0] = last_output[0]

    reader = threading.Thread(target=pump, daemon=True)
    reader.start()
    code = None
    try:
        code = proc.wait(timeout=limit)
    except subprocess.TimeoutExpired:
        # Give it the grace a caller would, counted from its last line.
        while time.monotonic() - last_output[0] < HANG_LIMIT_S and proc.poll() is None:
            time.sleep(0.2)
        code = proc.poll()
        if code is None:
            proc.kill()
            subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
            proc.wait()
    end = time.monotonic()
    reader.join(timeout=5)
    out = b"".join(chunks).decode("latin-1").replace("\r\n", "\n")
    spread = last_output[0] - first_output[0] if first_output[0] is not None else 0.0
    return Run(out, code, end - start, spread, end - last_output[0])


def trace_span(path):
    """Seconds from the first to the last line of a simulator trace
    (NFCSIM_TRACE: "<ms> ms  <what>"), in the simulator's own time."""
    times = []
    try:
        with open(path) as f:
            for line in f:
                m = re.match(r"\s*([0-9.]+) ms  ", line)
                if m:
                    times.append(float(m.group(1)))
    except FileNotFoundError:
        pass
    return (max(times) - min(times)) / 1000 if times else 0.0


class Case:
    def __init__(self, name, scenario, code, seconds, check):
        self.name, self.scenario, self.code, self.seconds, self.check = \
            name, scenario, code, seconds, check


def exactly(expected):
    def check(out):
        return out == expected, f"expected {expected!r}"
    return check


def ten_failed_attempts(status_line):
    """The open loop: ten attempts, each a failure line and a pause line."""
    return (status_line + PAUSE) * 10


def no_device(out):
    expected = ten_failed_attempts("WARNING : HECI Connection failed HECIStatus : 2.\n") + \
        NO_CLASS_FOLDER + CONNECT_REPORT + CONNECT_FAILED + NOT_PRESENT
    return out == expected, f"expected {expected!r}"


def connect_ioctl_fails(out):
    # Each attempt: the port's connect line (it carries the error number),
    # then the status 3 warning and the pause.
    attempt = (r"ERROR   : HECILinux : IOCTL_MEI_CONNECT_CLIENT failed : [^\n]*\n"
               r"WARNING : HECI Connection failed HECIStatus : 3\.\n" + re.escape(PAUSE))
    pattern = "(?:" + attempt + "){10}" + re.escape(CONNECT_REPORT + CONNECT_FAILED + NOT_PRESENT)
    return re.fullmatch(pattern, out) is not None, f"expected ten connect failures, pattern {pattern!r}"


def query_fails_with(*fixed_lines):
    """The query fails: the fixed lines appear in order, then the two result lines end it."""
    def check(out):
        if not out.endswith(QUERY_FAILED + NOT_PRESENT):
            return False, "expected the query failure line and HECI_NOT_PRESENT last"
        at = 0
        for line in fixed_lines:
            found = out.find(line, at)
            if found < 0:
                return False, f"missing {line!r} (in order)"
            at = found + len(line)
        return True, ""
    return check


def linux_cases():
    cases = [Case("success", "", 0, (0, 1.5), exactly("SUCCESS"))]
    for radio in (2, 17):
        cases.append(Case(f"radio {radio}", f"radioType={radio}", 0, (0, 1.5), exactly("SUCCESS")))
    for radio in (0, 1, 3, 16, 18):
        cases.append(Case(f"radio {radio}", f"radioType={radio}", 2, (0, 1.5),
                          exactly("WRONG_RADIO_TYPE\n")))
    cases += [
        Case("no device", "devicePresent=false", 1, (1.8, 6), no_device),
        Case("connect ioctl fails", "connectFails=true;connectErrno=ENOTTY", 1, (1.8, 6),
             connect_ioctl_fails),
        Case("no answer", "answerMode=none", 1, (9.5, 16),
             query_fails_with(TIMEOUT_LINE, TIMEOUT_LINE, FAILED_LINE)),
        Case("answer only to the resend", "answerMode=resend", 0, (4.5, 9),
             exactly(TIMEOUT_LINE + "SUCCESS")),
        Case("failed write", "failWriteNumber=1", 1, (0, 1.5),
             query_fails_with("ERROR   : HECISendMessage failed in vxHECI_QueryInfo!\n")),
        Case("read error", "answerMode=readerror", 1, (0, 1.5),
             query_fails_with("WARNING : NfcMeIfReceiveComplete Read error => Handled.\n")),
        # The ME resets while the query waits: the MEI driver's dev_state
        # goes through RESETTING back to ENABLED, the watcher delivers it as
        # the event log would, and the answer still ends the query.
        Case("ME reset while the query waits", "answerDelayMs=1500;meResetMs=300", 0, (1.5, 4),
             lambda out: (re.fullmatch(RESET_LINES + "SUCCESS", out) is not None,
                          f"expected the watcher's lines of one reset, then SUCCESS: {RESET_LINES!r}")),
    ]
    # An unsolicited frame right after the answer: the dispatcher may or may
    # not reach it before the close, but the word is always last and the
    # close logs no error.
    integrity = "LOG     : FIXME : Receive Message integrity checks : for command 20 , with status 1\n"
    for n in range(5):
        cases.append(Case(f"frame after the answer ({n + 1})", "framesAfterAnswer=20 01 00 00 00 00", 0,
                          (0, 1.5), lambda out: (out in ("SUCCESS", integrity + "SUCCESS"),
                                                 "expected the integrity line at most once, then SUCCESS last")))
    return cases


# The watcher's lines for one ME reset (an event with ID 1).
RESET_LINES = (r"LOG     : EvtSubscribeActionDeliver\nLOG     : EvtRender >>> \d+\n"
               r"LOG     : eventInfo [0-9A-F]+\nLOG     : eventId 1\n")


def linux(orlisk, preload):
    folder = tempfile.mkdtemp(prefix="orlisk-e2e-")

    def one(numbered):
        n, case = numbered
        trace = os.path.join(folder, f"trace-{n}.txt")
        env = dict(os.environ, LD_PRELOAD=preload, NFCSIM_SCENARIO=case.scenario, NFCSIM_TRACE=trace)
        out, code, seconds = run([orlisk, "ignored", "arguments"], env=env)
        span = trace_span(trace)
        problems = []
        ok, why = case.check(without_report_failures(out))
        if not ok:
            problems.append(f"output {out!r}: {why}")
        if code != case.code:
            problems.append(f"exit code {code}, expected {case.code}")
        low, high = case.seconds
        if seconds < low:
            problems.append(f"took {seconds:.2f} s in all, expected at least {low} s")
        if span > high:
            problems.append(f"ran {span:.2f} s by the simulator's trace, expected at most {high} s")
        return case, seconds, problems

    # The slow cases mostly sleep; running a few at once keeps the suite short.
    try:
        with ThreadPoolExecutor(max_workers=4) as pool:
            results = list(pool.map(one, enumerate(linux_cases())))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return report(results)


def wine(runner, exe):
    folder = tempfile.mkdtemp(prefix="orlisk-bare-")
    try:
        bare = os.path.join(folder, os.path.basename(exe))
        shutil.copy(exe, bare)
        # The program's ten attempts and their pauses lie between its first
        # and its last line of output.
        run = run_program(runner, bare, os.environ, folder, 120)
        code, seconds, spread = run.code, run.seconds, run.spread
        if code == 77 and run.out.startswith("SKIPPED"):
            print(run.out.strip())
            return 77
        out = without_report_failures(run.out)
        problems = []
        if not out.endswith(CONNECT_FAILED + NOT_PRESENT):
            problems.append(f"output {out!r} does not end with the connect failure and HECI_NOT_PRESENT")
        if out.count(PAUSE) != 10:
            problems.append("expected ten pauses")
        if code != 1:
            problems.append(f"exit code {code}, expected 1")
        # About 2 s of pauses, and whatever Wine's start costs here.
        if seconds < 1.8:
            problems.append(f"took {seconds:.2f} s in all, expected at least 1.8 s")
        if spread > 12:
            problems.append(f"{spread:.2f} s from its first to its last line, expected at most 12 s")
        return report([(Case("Orlisk.exe without a HECI device", "", 1, (1.8, 12), None),
                        seconds, problems)])
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def under_valgrind(orlisk, preload):
    """The SUCCESS, no-answer, no-device and failed-write runs under memcheck:
    no invalid access, nothing definitely lost (either makes valgrind exit
    with 99). The last two take the paths that release a context that never
    connected, and a connection closed from inside its own send."""
    results = []
    for name, scenario, code, last in (("valgrind: success", "", 0, "SUCCESS"),
                                       ("valgrind: no answer", "answerMode=none", 1, NOT_PRESENT),
                                       ("valgrind: no device", "devicePresent=false", 1, NOT_PRESENT),
                                       ("valgrind: failed write", "failWriteNumber=1", 1, NOT_PRESENT)):
        env = dict(os.environ, LD_PRELOAD=preload, NFCSIM_SCENARIO=scenario)
        out, got, seconds = run(["valgrind", "--quiet", "--error-exitcode=99", "--leak-check=full",
                                 "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
                                 orlisk], env=env, timeout=120)
        problems = []
        if got != code:
            problems.append(f"exit code {got}, expected {code} (99: valgrind found errors)")
        if not out.endswith(last):
            problems.append(f"output {out!r} does not end with {last!r}")
        results.append((Case(name, scenario, code, (0, 120), None), seconds, problems))
    return report(results)


def report(results):
    failed = 0
    for case, seconds, problems in results:
        status = "ok" if not problems else "FAILED"
        print(f"[{status}] {case.name} ({seconds:.2f} s)")
        for p in problems:
            print(f"    {p}")
        failed += bool(problems)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    # Line by line even into a pipe: a run stopped at its time limit still
    # shows what it did.
    sys.stdout.reconfigure(line_buffering=True)
    mode = sys.argv[1]
    if mode == "linux":
        sys.exit(linux(sys.argv[2], sys.argv[3]))
    if mode == "valgrind":
        sys.exit(under_valgrind(sys.argv[2], sys.argv[3]))
    if mode == "wine":
        sys.exit(wine(sys.argv[2], sys.argv[3]))
    sys.exit(f"unknown mode {mode}")
