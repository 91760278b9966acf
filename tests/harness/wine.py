"""Wine as the tests, the bench and the demo run it: its environment, paths between Unix and its
programs, and a prefix booted so that program starts stay fast."""

import os
import shutil
import subprocess
from pathlib import Path

from .processes import run_quiet
from .program import LOG_IN_APP_DATA

# No Mono or Gecko prompts, and no debugger on a crash: the program just ends with a code that
# fails the test or the bench run, instead of waiting in a crash dialog until a time-out. Wine's
# exception errors stay on: a crash whose frames it cannot walk ends the program with no other word
# (exit code 5 for an access violation) and the fault's address is told only there.
ENV = {"WINEDEBUG": os.environ.get("VANTREL_WINEDEBUG", "-all,err+seh"), "WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d"}


def windows_path(path):
    """A Unix path as Wine programs see it (drive Z: is /)."""
    return "Z:" + str(path).replace("/", "\\")


def path_for(platform, path):
    """A Unix path as a program of `platform` ("linux" or "wine") names it."""
    return windows_path(path) if platform == "wine" else str(path)


class Prefix:
    """A Wine prefix: boot() makes it, then it knows its user's folders and the program's log."""

    def __init__(self, path, **env):
        self.path = Path(path)
        self.env = dict(os.environ, WINEPREFIX=str(self.path), **ENV, **env)

    def boot(self, persistent=True):
        """Makes the prefix; leaves its server running for good when `persistent`, else ended,
        so that the next program starts a session of its own."""
        self.path.mkdir(parents=True, exist_ok=True)
        quiet = {"env": self.env, "stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
                 "stderr": subprocess.DEVNULL}
        subprocess.run(["wineboot", "-i"], timeout=300, check=True, **quiet)
        # The system processes left from the first boot fail to start the RPC service, and COM
        # then stalls every program start by 3-10 s; a restarted server brings them up sound.
        subprocess.run(["wineserver", "-k"], timeout=60, **quiet)
        subprocess.run(["wineserver", "-w"], timeout=60, **quiet)
        if persistent:
            # Keeps the booted prefix warm between programs; it must not hold on to our pipes.
            subprocess.run(["wineserver", "-p"], timeout=60, check=True, **quiet)
        # Chinese texts: Wine maps "Microsoft YaHei" to a Western font unless told otherwise.
        self.reg("add", r"HKCU\Software\Wine\Fonts\Replacements", "/v", "Microsoft YaHei",
                 "/t", "REG_SZ", "/d", "WenQuanYi Micro Hei", "/f")
        if not persistent:
            subprocess.run(["wineserver", "-w"], timeout=60, **quiet)
        users = [d.name for d in (self.path / "drive_c" / "users").iterdir() if d.name != "Public"]
        assert len(users) == 1, users
        self.user = users[0]
        self.user_dir = self.path / "drive_c" / "users" / self.user
        self.log = self.user_dir / "AppData" / "Roaming" / LOG_IN_APP_DATA
        self.temp = self.user_dir / "Temp"
        self.temp_text = f"C:\\users\\{self.user}\\Temp"   # the same as programs name it

    def reg(self, *args):
        return run_quiet(["wine", "reg", *args], env=self.env)

    def set_proxy(self, address):
        """The system's proxy setting, as Internet Options makes it (None: no proxy)."""
        settings = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
        self.reg("add", settings, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1" if address else "0", "/f")
        if address:
            self.reg("add", settings, "/v", "ProxyServer", "/t", "REG_SZ", "/d", address, "/f")

    def set_display_scale(self, dpi):
        """The display's resolution as the display settings make it (96 is 100 %); programs started
        after it see it."""
        self.reg("add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f")

    def unix_path(self, windows_path):
        drive, rest = windows_path[0].lower(), windows_path[3:].replace("\\", "/")
        return Path("/" + rest) if drive == "z" else self.path / f"drive_{drive}" / rest

    def clear(self):
        """No log (nor its folders) and an empty Temp."""
        if self.log.parent.parent.exists():
            shutil.rmtree(self.log.parent.parent)
        if self.temp.exists():
            shutil.rmtree(self.temp)
        self.temp.mkdir(parents=True)

    def shutdown(self):
        """Ends its server and everything running in it, and removes the prefix."""
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=60, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.path, ignore_errors=True)


if __name__ == "__main__":
    # scripts/demo: boots the prefix named and prints its environment and log path as shell lines.
    import shlex
    import sys
    booted = Prefix(sys.argv[1])
    booted.boot(persistent=False)
    for name in ("WINEPREFIX", *ENV):
        print(f"export {name}={shlex.quote(booted.env[name])}")
    print(f"log={shlex.quote(str(booted.log))}")
