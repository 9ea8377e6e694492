"""A throwaway Wine prefix for the checks of what a deployment engineer runs:
made by sim/driver/prefix.sh (with or without the NFC-ME driver stand-in),
and taken down with its Wine session at the end.

Windows installers and cmd.exe report codes above 255 (1603, 3010), which a
Unix exit status cuts to 8 bits, so command lines are run through a small
batch file in the prefix that prints the whole %ERRORLEVEL% as its last line.
"""
import os
import re
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PREFIX_SCRIPT = os.path.join(ROOT, "sim", "driver", "prefix.sh")
WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
# Each Windows program, or command line, gets this long before it counts as
# hung. One NfcDriver.cmd run starts up to six Wine programs; in a QEMU guest
# (TCG) on a busy machine that took over two minutes, so the limit only
# catches a real hang.
LIMIT_S = 900


def dos(path):
    """A host path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Prefix:
    def __init__(self, path, driver=None, hold_desktop=None):
        self.path = path
        self.holder = None
        self.env = dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all", WINELOADER=WINE64,
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        argv = ["bash", PREFIX_SCRIPT, "create", path] + ([driver] if driver else [])
        proc = subprocess.run(argv, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=600)
        if proc.returncode != 0:
            raise RuntimeError(f"prefix.sh create failed:\n{proc.stdout}")
        # One session for all runs, its services started now by a program
        # with nothing open. A service that a run's program started would
        # get that program's standard output, a log file, and hold it open
        # (Wine's cmd.exe then cannot append to it: "Sharing violation").
        subprocess.run(["wineserver", "-p"], env=self.env, timeout=60)
        subprocess.run([WINE64, "cmd", "/c", "exit"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=LIMIT_S)
        # The same for the desktop's process (see tests/package/hold_desktop.cpp).
        if hold_desktop:
            self.holder = subprocess.Popen([WINE64, hold_desktop], env=self.env, stdin=subprocess.PIPE,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def close(self):
        if self.holder:
            self.holder.stdin.close()
            self.holder.wait(timeout=LIMIT_S)
        subprocess.run(["bash", PREFIX_SCRIPT, "destroy", self.path], env=self.env, timeout=120)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def c(self, windows_path):
        """The host path of a C:\\ path in the prefix."""
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.path, "drive_c", *windows_path[3:].split("\\"))

    def run(self, argv, env=None, wide=True, cwd=None):
        """(exit status, output) of a Windows program, through the 64-bit or 32-bit loader."""
        proc = subprocess.run([WINE64 if wide else WINE32] + argv, env=dict(self.env, **(env or {})),
                              cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=LIMIT_S)
        return proc.returncode, proc.stdout.decode("utf-8", "replace")

    def cmd(self, line, env=None, wide=True, cwd="C:\\"):
        """(%ERRORLEVEL%, output) of a command line run by cmd.exe (64-bit or 32-bit) in the folder cwd."""
        with open(self.c("C:\\nfc-run.cmd"), "wb") as f:
            f.write(f'@cd /d "{cwd}"\r\n@{line}\r\n@echo errorlevel %errorlevel%\r\n'.encode())
        _, out = self.run(["cmd", "/d", "/c", "C:\\nfc-run.cmd"], env, wide)
        m = re.search(r"errorlevel (-?\d+)\r?\n?$", out)
        return (int(m.group(1)) if m else None), out[:m.start()] if m else out

    def reg(self, key):
        """{value name: (type, data)} of a registry key (64-bit view), None where it does not exist."""
        code, out = self.run(["reg", "query", key])
        if code != 0:
            return None
        values = {}
        for line in out.splitlines():
            m = re.match(r"^    (.*?)    (REG_\w+)    ?(.*)$", line)
            if m:
                values[m.group(1)] = (m.group(2), m.group(3))
        return values

    def subkeys(self, key):
        """The names of a key's subkeys (reg lists them by their full names, the root spelt out)."""
        code, out = self.run(["reg", "query", key])
        tail = key.split("\\", 1)[1].lower() + "\\"
        return [line.strip().rsplit("\\", 1)[1] for line in out.splitlines()
                if code == 0 and line.startswith("HKEY_") and tail in line.lower()]
