#!/usr/bin/env python3
"""End-to-end runs of the unmodified Orlisk.exe against the kernel-mode
NFC-ME firmware stand-in, in a Wine prefix where it is installed.

    e2e_orlisk_driver.py PREFIX CTL RUNNER ORLISK.EXE [WEVTAPI.DLL [NAME_FILTER]]

NAME_FILTER runs only the cases whose name contains one of its '|'-separated
parts.

PREFIX is a prefix made by sim/driver/prefix.sh, CTL its nfcmesim_ctl.exe,
RUNNER the program that starts a Windows executable (scripts/wine-run).
Orlisk.exe is copied alone into an empty folder and run as a caller would,
once per scenario; each case checks the exact standard output, the exit
code, the time taken, what the driver received (its trace), and that the
program exits promptly after its result word. A program that does not exit
is killed and reported, never left to hang the suite.

With WEVTAPI.DLL (the event-log stand-in, sim/wevtapi), two more cases put
it beside the program and have it deliver an ME reset event (ID 1): while
the query waits for its answer, and into a slow callback that still runs
when the program closes, with an EvtClose that does not wait for it.

One case runs the program while another one holds the NFC-ME client, which
takes one connection at a time.

Time windows are judged on what the program and the driver record, not on
how long the run took here: starting a Windows program costs from a tenth of
a second to half a minute (a 32-bit one in an emulated, loaded machine). A
case's lower bound holds for the whole run (no load makes a program faster
than its own pauses and timeouts); its upper bound, and the spacing of the
queries, are judged on the driver's trace: from the first to the last line
of the handles the run opened, in the driver's own time. A run that reaches
no handle (no device) is judged from its first to its last line of output.
The program's own work in that window is as slow as its start here, so the
upper bound grows by what the same run took outside it, and the time it may
take to exit after its result word by what its start took. The cost of
starting a program, measured with Wine's own hostname.exe of the program's
width at the outset, is the least of that, and widens how long it may run
before it is taken for hung.

The driver is steered through one nfcmesim_ctl.exe that keeps running
(`serve`), not one started per step; each case's result is printed as soon
as it is known.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "lib"))
from pe import Pe  # noqa: E402
from e2e_orlisk import (CONNECT_FAILED, CONNECT_REPORT, FAILED_LINE, HANG_LIMIT_S,  # noqa: E402
                        NOT_PRESENT, PAUSE, QUERY_FAILED, TIMEOUT_LINE, exactly, query_fails_with,
                        run_program, without_report_failures)
from e2e_orlisk import report as common_report  # noqa: E402

WINE64 = "/usr/lib/wine/wine64"
QUERY_HEX = "00 00 00 00 00 00 00 00 01 00 01"
# After its result word, the program only closes the link and exits (plus
# what ending a program costs here).
EXIT_AFTER_RESULT_S = 3.0
# How long a program may take to start before it is taken for hung, on top of
# the case's own time and the measured cost of a start.
START_LIMIT_S = 60.0
READ_ERROR = "WARNING : NfcMeIfReceiveComplete Read error => Handled.\n"
# What the watcher says where the system has no event-log subscription (Wine's
# EvtSubscribe is a stub). It is not what these runs look at.
NO_SUBSCRIPTION = "ERROR   : EvtSubscribe failed with 0.\n"


WINE_HOSTNAME = {0x14C: "/usr/lib/i386-linux-gnu/wine/i386-windows/hostname.exe",
                 0x8664: "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/hostname.exe"}


def start_cost(runner, exe, env, folder):
    """Seconds it takes here to start and end a program as wide as `exe`
    that does nothing: the larger of two runs of Wine's hostname.exe in
    the session the cases use. 0 where Wine has no such program."""
    probe = WINE_HOSTNAME.get(Pe(exe).machine)
    if probe is None or not os.path.exists(probe):
        return 0.0
    costs = []
    for _ in range(2):
        start = time.monotonic()
        subprocess.run([runner, probe], cwd=folder, env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
        costs.append(time.monotonic() - start)
    return max(costs)


def died_in_wine(run):
    """True when Wine's own process ended by a Unix signal rather than with
    an exit code. A fault of the program ends it with a Windows exception
    status, which is an exit code; a signal is Wine's. Wine 8.0 can crash
    (SIGSEGV in its own thread code) when the process ends while one of its
    threads is just ending: the port's last close leaves such a thread, by
    design, and a loaded machine showed it about once in 3,000 runs."""
    return run.code is not None and run.code < 0


def wine_death_note(name, run):
    return (f"-- {name}: Wine's process died of signal {-run.code} after the output "
            f"{run.out[-80:]!r}; run once more (a second such death fails the case)")


def judged(out):
    return without_report_failures(out.replace(NO_SUBSCRIPTION, "", 1))


class Prefix:
    def __init__(self, path, ctl):
        self.path, self.ctl = path, ctl
        self.env = dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all")
        self.trace_file = os.path.join(path, "drive_c", "nfcmesim-trace.txt")

    def control(self, *args):
        """One step through the serving nfcmesim_ctl: its answer is "ok" or
        what failed."""
        self.server.stdin.write((" ".join(args) + "\n").encode())
        self.server.stdin.flush()
        said = self.answer(60)
        if said != "ok":
            raise RuntimeError(f"nfcmesim_ctl {' '.join(args)}: {said or 'no answer'}")

    def answer(self, timeout):
        line = []
        reader = threading.Thread(target=lambda: line.append(self.server.stdout.readline()), daemon=True)
        reader.start()
        reader.join(timeout=timeout)
        return line[0].decode(errors="replace").strip() if line else ""

    def serve(self):
        """Starts the nfcmesim_ctl that steers the driver for the whole run.
        It also keeps the Wine session, and with it the loaded driver, up
        between runs, as on a PC where the driver is always there. Without
        it each run would start a new session, and a program started while
        the last one shuts down fails to start."""
        env = dict(self.env, WINELOADER=WINE64)
        for attempt in range(3):
            self.server = subprocess.Popen([WINE64, self.ctl, "serve"], env=env, stdin=subprocess.PIPE,
                                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            if self.answer(120) == "ready":
                return self.server
            # A session that did not come up is ended and started again.
            self.server.kill()
            self.server.wait()
            subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=self.env, stderr=subprocess.DEVNULL, timeout=60)
        raise RuntimeError("the Wine session with the stand-in did not come up")

    def clear_trace(self):
        with open(self.trace_file, "w"):
            pass

    def trace(self):
        try:
            with open(self.trace_file, encoding="latin-1") as f:
                return [line.rstrip("\r\n") for line in f]
        except FileNotFoundError:
            return []


def handle_span(trace, leave_out=()):
    """Seconds from the first to the last line about a handle the run
    opened (other than those left out) in the driver's trace, in the
    driver's own time; None when the run reached no handle. A handle of an
    earlier run does not count: Wine hands a handle's close to the driver
    after CloseHandle has returned, and on a loaded machine that close can
    reach the next run's trace seconds later."""
    opened = {m.group(1) for m in (re.match(r"[0-9.]+ #(\d+) open ", line) for line in trace) if m}
    times = []
    for line in trace:
        m = re.match(r"([0-9.]+) #(\d+) ", line)
        if m and m.group(2) in opened and m.group(2) not in leave_out:
            times.append(float(m.group(1)))
    return (max(times) - min(times)) / 1000 if times else None


def query_writes(trace):
    """(time in ms, bytes) of each version query the driver received."""
    found = []
    for line in trace:
        m = re.match(r"([0-9.]+) #\d+ write 11: (.*)$", line)
        if m and m.group(2) == QUERY_HEX:
            found.append(float(m.group(1)))
    return found


class Case:
    def __init__(self, name, scenario, code, seconds, check, writes=None, absent=False, events=None,
                 driver=None, evt_env=None, evt_trace=None):
        self.name, self.scenario, self.code, self.seconds = name, scenario, code, seconds
        self.check, self.writes, self.absent = check, writes, absent
        # Events the wevtapi stand-in delivers ("MEI:1@300"); None: no stand-in.
        self.events = events
        # A check of the driver's whole trace, and one of the wevtapi
        # stand-in's trace, with more of its settings in evt_env.
        self.driver, self.evt_env, self.evt_trace = driver, evt_env or {}, evt_trace


def open_fails_ten_times(port_line, status, *other_port_lines):
    """The open loop gives up: ten attempts, each the port's line (if any,
    or one of the others given), the status warning and the pause, then
    the connect failure."""
    lines = [line for line in (port_line, *other_port_lines) if line]
    attempt = ("(?:" + "|".join(re.escape(line) for line in lines) + ")" if lines else "") + \
        re.escape(f"WARNING : HECI Connection failed HECIStatus : {status}.\n") + re.escape(PAUSE)
    pattern = "(?:" + attempt + "){10}" + re.escape(CONNECT_REPORT + CONNECT_FAILED + NOT_PRESENT)

    def check(out):
        return re.fullmatch(pattern, out) is not None, f"expected ten failed attempts: {pattern!r}"
    return check


def ends_with(*lines):
    def check(out):
        tail = "".join(lines)
        return out.endswith(tail), f"expected the output to end with {tail!r}"
    return check


# A resend reaches the driver one send timeout (5000 ms) after the query:
# not at once, and not after two timeouts. How much later than 5000 ms it
# arrives is Wine's and the machine's (a loaded emulated one took 6 s), and
# how early only the first write's own delay on its way to the driver; the
# exact instant is proven in virtual time by the deterministic exploration.
RESEND_APART_MS = (4500, 9500)


def writes_apart(count, low_ms, high_ms):
    """`count` identical version queries, each low..high ms after the one before."""
    def check(times):
        if len(times) != count:
            return False, f"{len(times)} version queries reached the driver, expected {count}"
        for a, b in zip(times, times[1:]):
            if not low_ms <= b - a <= high_ms:
                return False, f"queries {b - a:.0f} ms apart, expected {low_ms}..{high_ms}"
        return True, ""
    return check


def traced(pattern, count):
    """`count` lines of the driver's trace match `pattern`."""
    def check(trace):
        found = [line for line in trace if re.search(pattern, line)]
        return len(found) == count, f"{len(found)} lines match {pattern!r}, expected {count}"
    return check


def evt_trace_is(*expected):
    def check(lines):
        return list(expected) == lines, f"wevtapi stand-in trace {lines!r}, expected {list(expected)!r}"
    return check


def slow_callback_lines():
    """The slow callback's lines, which the close waits for, then the result
    word: the link is closed before the word goes out."""
    pattern = (r"LOG     : EvtSubscribeActionDeliver\nLOG     : EvtRender >>> \d+\n"
               r"LOG     : eventInfo [0-9A-F]+\nLOG     : eventId 1\nSUCCESS")

    def check(out):
        return re.fullmatch(pattern, out) is not None, f"expected {pattern!r}"
    return check


def watcher_lines_then(result):
    """The watcher's lines for one delivered ME reset event, then the result."""
    pattern = (r"LOG     : EvtSubscribeActionDeliver\nLOG     : EvtRender >>> \d+\n"
               r"LOG     : eventInfo [0-9A-F]+\nLOG     : eventId 1\n" + re.escape(result))

    def check(out):
        return re.fullmatch(pattern, out) is not None, f"expected {pattern!r}"
    return check


def cases(with_event_log):
    connect_line = "ERROR   : HECIWin : IOCTL_HECI_CONNECT_CLIENT failed : HECIWinF_doIoctl return 0x{:X}, GetLastError : 0x{:X}\n"
    # The answer is queued when the query arrives: the read that follows
    # completes at once, and ReadFile succeeds without pending.
    result = [Case("success", "", 0, (0, 6), exactly("SUCCESS"), writes_apart(1, 0, 0),
                   driver=traced(r"#\d+ read at once 25: ", 1))]
    for radio in (2, 17):
        result.append(Case(f"radio {radio}", f"radioType={radio}", 0, (0, 6), exactly("SUCCESS")))
    for radio in (0, 1, 3, 16, 18):
        result.append(Case(f"radio {radio}", f"radioType={radio}", 2, (0, 6), exactly("WRONG_RADIO_TYPE\n")))
    result += [
        Case("no answer", "answerMode=none", 1, (9.5, 16),
             query_fails_with(TIMEOUT_LINE, TIMEOUT_LINE, FAILED_LINE), writes_apart(2, *RESEND_APART_MS)),
        Case("answer only to the resend", "answerMode=resend", 0, (4.5, 9),
             exactly(TIMEOUT_LINE + "SUCCESS"), writes_apart(2, *RESEND_APART_MS)),
        Case("late answer", "answerDelayMs=6500", 0, (6.0, 11),
             exactly(TIMEOUT_LINE + "SUCCESS"), writes_apart(2, *RESEND_APART_MS)),
        Case("unsolicited frame before the answer", "framesBeforeAnswer=03 00 00 00 00 00 00", 0, (0, 6),
             exactly("LOG     : FIXME : Receive Message integrity checks : for command 3 , with status 0\n"
                     "SUCCESS")),
        # The link drops a frame too short to carry a command, and reads
        # nothing more until the resend posts the next receive.
        Case("frame shorter than 6 bytes", "framesOnConnect=05 00 00;answerMode=resend", 0, (4.5, 10),
             exactly("ERROR   : Invalid received answer, this frame is drop. Content :\n"
                     "LOG     : 05 00 00 ...\n\n" + TIMEOUT_LINE + "SUCCESS"), writes_apart(2, *RESEND_APART_MS)),
        Case("connect refused", "connectFails=true", 1, (1.8, 12),
             open_fails_ten_times(connect_line.format(0, 0x490), 3)),
        Case("connect answer of 3 bytes", "connectAnswerLength=3", 1, (1.8, 12),
             open_fails_ten_times(connect_line.format(3, 0), 3)),
        Case("connect answer with a maximum message length of 0", "maxMessageLength=0", 1, (1.8, 12),
             open_fails_ten_times("ERROR   : HECIWin : IOCTL_HECI_CONNECT_CLIENT failed : max_msg_length 0\n", 3)),
        Case("version IOCTL refused", "versionFails=true", 1, (1.8, 12),
             open_fails_ten_times("ERROR   : HECIWin : failed to get HECI Version (IOCTL_HECI_GET_VERSION) : "
                                  "HECIWinF_doIoctl return 0x0\n", 3)),
        Case("no device", "devicePresent=false", 1, (1.8, 12),
             open_fails_ten_times(None, 2), absent=True),
        Case("failed write", "failWriteNumber=1", 1, (0, 6),
             query_fails_with("ERROR   : HECISendMessage failed in vxHECI_QueryInfo!\n")),
        Case("read error", "answerMode=readerror", 1, (0, 6),
             query_fails_with("ERROR   : HECI_Read : GetOverlappedResult() failed , GetLastError : 1F\n",
                              READ_ERROR)),
        Case("device lost mid-query", "answerMode=gone;answerDelayMs=300", 1, (0, 6),
             query_fails_with("ERROR   : HECI_Read : GetOverlappedResult() failed , GetLastError : 37\n",
                              READ_ERROR)),
        Case("write stalls past 500 ms", "stallWrites=true", 1, (0.4, 5),
             query_fails_with("ERROR   : HECI_Write : GetOverlappedResult() failed, GetLastError : 3E4\n",
                              "ERROR   : HECISendMessage failed in vxHECI_QueryInfo!\n")),
    ]
    if with_event_log:
        # The ME announces a reset while the query waits: the watcher logs
        # it and the link stops reconnecting on its own; the answer that
        # follows still ends the query.
        result.append(Case("ME reset event while the query waits", "answerDelayMs=1500", 0, (1.4, 7),
                           watcher_lines_then("SUCCESS"), writes_apart(1, 0, 0), events="MEI:1@300"))
        # The event's callback renders slowly (1.5 s per EvtRender) and still
        # runs when the program closes, 1 s after the query; EvtClose does
        # not wait for it. The program must wait for it itself: its memory
        # is wiped when freed, so a callback going on after the free faults.
        result.append(Case("ME reset event in a slow callback while the program closes, EvtClose not waiting",
                           "answerDelayMs=1000", 0, (2.8, 10), slow_callback_lines(), writes_apart(1, 0, 0),
                           events="MEI:1@300", evt_env={"NFCSIM_EVT_CLOSE": "nowait",
                                                        "NFCSIM_EVT_RENDER_MS": "1500"},
                           evt_trace=evt_trace_is("subscribe System 0", "deliver MEI 1",
                                                  "close without waiting, a callback runs",
                                                  "render returned after close")))
    # Drivers that are slow to let a cancelled read go: every run ends with
    # the close of a handle whose read is pending.
    for mode in ("onclose", "late"):
        result += [
            Case(f"success, cancelled reads end {mode}", f"cancelMode={mode}", 0, (0, 6), exactly("SUCCESS")),
            Case(f"no answer, cancelled reads end {mode}", f"cancelMode={mode};answerMode=none", 1, (9.5, 16),
                 query_fails_with(TIMEOUT_LINE, TIMEOUT_LINE, FAILED_LINE)),
            Case(f"stalled write, cancel ends {mode}", f"cancelMode={mode};stallWrites=true", 1, (0.4, 6),
                 ends_with("ERROR   : HECISendMessage failed in vxHECI_QueryInfo!\n", QUERY_FAILED, NOT_PRESENT)),
        ]
    return result


HELD = "run while another program holds the client"


def run_while_held(prefix, runner, exe, folder, slack, second=False):
    """Another program (nfcmesim_ctl connect) connects to the NFC-ME client
    and holds it until this run has ended. The client takes one connection:
    each connect of the run is refused as busy (ERROR_BUSY, 0xAA), so it
    ends after its ten attempts, however slowly this machine starts it.
    The driver refuses a connect only after its grace for a holder that is
    letting go (200 ms); where this machine brings that refusal to the
    program later than the port's own wait for a connect (1 s), the port
    withdraws the connect and reports the request as still incomplete
    (ERROR_IO_INCOMPLETE, 0x3E4): a failed attempt as well (an emulated
    machine under load showed it once in ten)."""
    prefix.clear_trace()
    holder = subprocess.Popen([WINE64, prefix.ctl, "connect", "300000"], env=dict(prefix.env, WINELOADER=WINE64),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    said = []
    reader = threading.Thread(target=lambda: said.append(holder.stdout.readline()), daemon=True)
    reader.start()
    reader.join(timeout=60)
    refusal = "ERROR   : HECIWin : IOCTL_HECI_CONNECT_CLIENT failed : HECIWinF_doIoctl return 0x0, GetLastError : 0x{:X}\n"
    # At most: ten connects that each wait the port's 1 s and its 0.5 s for
    # the cancel, and nine pauses of 0.2 s between them.
    case = Case(HELD, "", 1, (1.8, 17), open_fails_ten_times(refusal.format(0xAA), 3, refusal.format(0x3E4)))
    try:
        if not said or said[0].strip() != b"connected":
            return report_one(case, None, None, [f"the holder did not connect: {said[0] if said else b''}"])
        run = run_program(runner, exe, prefix.env, folder, case.seconds[1] + START_LIMIT_S + slack)
    finally:
        let_go(holder)
    if died_in_wine(run) and not second:
        print(wine_death_note(HELD, run))
        return run_while_held(prefix, runner, exe, folder, slack, second=True)
    trace = prefix.trace()
    holder_id = next((m.group(1) for m in (re.search(r"#(\d+) ioctl connect, delay", line) for line in trace) if m),
                     None)
    span = handle_span(trace, leave_out=(holder_id,))
    problems = verdict(case, run, span, slack)
    # All ten connects ended, refused as busy or withdrawn by the port,
    # while the holder held the client.
    refused = [i for i, line in enumerate(trace)
               if re.search(r"#(\d+) ioctl (?:failed 0x80000011|cancelled)$", line) and f"#{holder_id} " not in line]
    holder_close = next((i for i, line in enumerate(trace) if line.endswith(f"#{holder_id} close")), len(trace))
    if len(refused) != 10 or (refused and refused[-1] > holder_close):
        problems.append(f"driver trace: {len(refused)} connects refused or withdrawn, expected 10 before the "
                        "holder's close")
    if problems:
        problems.append("driver trace:\n        " + "\n        ".join(trace))
    return report_one(case, run, span, problems)


def let_go(proc):
    """Ends a program that runs until its standard input ends."""
    proc.stdin.close()
    try:
        proc.wait(timeout=60)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def verdict(case, run, span, slack):
    """The case's checks of one run; `span` is the run's time at the driver
    (None: it reached no handle)."""
    problems = []
    measured, where = (span, "at the driver") if span is not None else (run.spread, "from its first to its last line")
    # The program's own work inside the window (loading a DLL, starting its
    # threads), and its end, are as slow as its start here, which this run
    # has just measured under the same load: what the run took outside the
    # window, and before its end.
    outside = max(0.0, run.seconds - measured)
    started = max(slack, outside - run.after)
    if run.code is None:
        problems.append(f"did not exit {HANG_LIMIT_S:.0f} s after its last output {run.out[-60:]!r}; killed")
    elif run.after > EXIT_AFTER_RESULT_S + started:
        problems.append(f"exited {run.after:.2f} s after its result word, expected at most "
                        f"{EXIT_AFTER_RESULT_S} s (+{started:.2f} s that starting it took here)")
    ok, why = case.check(judged(run.out))
    if not ok:
        problems.append(f"output {run.out!r}: {why}")
    if run.code is not None and run.code != case.code:
        problems.append(f"exit code {run.code}, expected {case.code}")
    low, high = case.seconds
    if run.code is not None and run.seconds < low:
        problems.append(f"took {run.seconds:.2f} s in all, expected at least {low} s")
    if run.code is not None and measured > high + outside:
        problems.append(f"ran {measured:.2f} s {where}, expected at most {high} s "
                        f"(+{outside:.2f} s that starting and ending it took here)")
    return problems


def wanted(name, name_filter):
    """NAME_FILTER: parts of case names, separated by '|'; empty: all."""
    return not name_filter or any(part in name for part in name_filter.split("|"))


def main(prefix_path, ctl, runner, exe, wevtapi="", name_filter=""):
    prefix = Prefix(prefix_path, ctl)
    folder = tempfile.mkdtemp(prefix="orlisk-bare-")
    bare = os.path.join(folder, os.path.basename(exe))
    shutil.copy(exe, bare)
    # The same program beside the event-log stand-in, in a folder of its own.
    logged = os.path.join(folder, "with-event-log")
    if wevtapi:
        os.mkdir(logged)
        shutil.copy(exe, logged)
        shutil.copy(wevtapi, os.path.join(logged, "wevtapi.dll"))
    evt_trace_file = os.path.join(logged, "evt-trace.txt")

    def run_case(case):
        """One run of the program in the case's scenario, on a cleared trace."""
        prefix.control("scenario", case.scenario)
        # The driver takes its interface away (and back) within 50 ms.
        prefix.control("gone" if case.absent else "wait", "20000")
        prefix.clear_trace()
        high = case.seconds[1]
        env, where = prefix.env, folder
        if case.events is not None:
            env = dict(env, WINEDLLOVERRIDES="wevtapi=n,b", NFCSIM_EVT=case.events, **case.evt_env)
            if case.evt_trace is not None:
                if os.path.exists(evt_trace_file):
                    os.remove(evt_trace_file)
                env["NFCSIM_EVT_TRACE"] = evt_trace_file
            where = logged
        try:
            run = run_program(runner, os.path.join(where, os.path.basename(exe)), env, where,
                              high + START_LIMIT_S + slack)
        finally:
            prefix.control("scenario", "")
        return run

    results = []
    # A program started while the session of an earlier one shuts down can
    # hang in Wine's start-up: begin with a session of our own.
    subprocess.run(["wineserver", "-w"], env=prefix.env, stderr=subprocess.DEVNULL, timeout=60)
    server = prefix.serve()
    try:
        slack = start_cost(runner, bare, prefix.env, folder)
        print(f"-- starting and ending a program of this width here takes up to {slack:.2f} s")
        for case in cases(bool(wevtapi)):
            if not wanted(case.name, name_filter):
                continue
            run = run_case(case)
            if died_in_wine(run):
                print(wine_death_note(case.name, run))
                run = run_case(case)
            if run.code == 77 and run.out.startswith("SKIPPED"):
                print(run.out.strip())
                return 77
            trace = prefix.trace()
            span = handle_span(trace)
            problems = verdict(case, run, span, slack)
            if case.writes is not None:
                ok, why = case.writes(query_writes(trace))
                if not ok:
                    problems.append(f"driver trace: {why}")
            if case.driver is not None:
                ok, why = case.driver(trace)
                if not ok:
                    problems.append(f"driver trace: {why}")
            if case.evt_trace is not None:
                lines = []
                if os.path.exists(evt_trace_file):
                    with open(evt_trace_file, encoding="latin-1") as f:
                        lines = f.read().replace("\r\n", "\n").splitlines()
                ok, why = case.evt_trace(lines)
                if not ok:
                    problems.append(why)
            if problems:
                problems.append("driver trace:\n        " + "\n        ".join(trace))
            results.append(report_one(case, run, span, problems))
        if wanted(HELD, name_filter):
            results.append(run_while_held(prefix, runner, bare, folder, slack))
    finally:
        let_go(server)
        shutil.rmtree(folder, ignore_errors=True)
    print()
    return common_report(results)


def report_one(case, run, span, problems):
    """Prints a run's lines and times as soon as it has ended, so that a
    suite stopped at its time limit shows how far it got; returns the
    verdict for the summary."""
    if run is not None:
        at_driver = f", {span:.2f} s at the driver" if span is not None else ""
        print(f"-- {case.name}: exit {run.code}, {run.seconds:.2f} s in all{at_driver}")
        for line in run.out.splitlines():
            print(f"    | {line}")
    print(f"   {'ok' if not problems else 'FAILED'}")
    return (case, run.seconds if run is not None else 0.0, problems)


if __name__ == "__main__":
    # Line by line even into a pipe: a run stopped at its time limit still
    # shows what it did.
    sys.stdout.reconfigure(line_buffering=True)
    if len(sys.argv) not in (5, 6, 7):
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
