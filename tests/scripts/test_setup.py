"""scripts/setup's decisions against a recorded apt state: apt-get, apt-config, dpkg and dpkg-query
are stand-ins on the PATH that answer from a state folder and note each call (with the pins an
install saw), so that what setup asks apt, and what it leaves behind, can be read back."""

import os
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

# What apt-get update printed on a machine whose registry served bookworm-security's i386 index
# mid-sync (2026-12-09).
STALE_I386 = """\
E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]
   Hashes of expected file:
    - Filesize:376004 [weak]
E: Some index files failed to download. They have been ignored, or old ones used instead.
"""
UNMET = """\
Some packages could not be installed.
The following packages have unmet dependencies:
 wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed
E: Unable to correct problems, you have held broken packages.
"""

FAKES = {
    "apt-config": 'echo "apt_etc=\'$STATE/etc/apt/\'"; echo "apt_lists=\'$STATE/lists/\'"',
    "id": "echo 0",
    "sleep": 'echo "sleep $*" >>"$STATE/calls"',
    "systemctl": "true",
    "dpkg": """case "$1" in
  --print-foreign-architectures) echo i386 ;;
  --compare-versions) exec /usr/bin/dpkg "$@" ;;
  *) echo "dpkg $*" >>"$STATE/calls" ;;
esac""",
    "dpkg-query": """line="$(grep -m1 "^$3 " "$STATE/installed")" || exit 1
case "$2" in *Status*) printf 'ii ' ;; *) printf '%s' "${line#* }" ;; esac""",
    "apt-get": """echo "apt-get $*" >>"$STATE/calls"
case " $* " in
  *" update "*) cat "$STATE/update.out" 2>/dev/null; exit "$(cat "$STATE/update.rc" 2>/dev/null || echo 0)" ;;
esac
prefs=""; take=""
for a in "$@"; do [ -n "$take" ] && prefs="${a#Dir::Etc::PreferencesParts=}"; take=""; [ "$a" = -o ] && take=1; done
[ -n "$prefs" ] && cat "$prefs"/* >>"$STATE/calls"
if [ -f "$STATE/unresolvable" ] || { [ -f "$STATE/needs-pin" ] \\
    && ! grep -qx "Pin: release n=$(cat "$STATE/needs-pin")" "$prefs"/* 2>/dev/null; }; then
  cat "$STATE/unresolvable" 2>/dev/null || echo "E: Unable to correct problems, you have held broken packages."
  exit 100
fi
for a in "$@"; do case "$a" in -*|bookworm-backports) ;; osslsigncode) echo "osslsigncode 2.9-1~bpo12+1" ;; *) echo "$a 1" ;; esac; done >>"$STATE/installed\"""",
}


def packages():
    """The names setup installs, read from its own list."""
    text = (ROOT / "scripts" / "setup").read_text()
    body = text.split("packages=(", 1)[1].split("\n)", 1)[0]
    return [w for line in body.splitlines() for w in line.split("#", 1)[0].split()]


@pytest.fixture
def apt(tmp_path):
    state = tmp_path / "state"
    (state / "etc" / "apt" / "sources.list.d").mkdir(parents=True)
    (state / "etc" / "apt" / "preferences.d").mkdir()
    (state / "etc" / "apt" / "preferences.d" / "machine.pref").write_text(
        "Package: nodejs\nPin: origin deb.nodesource.com\nPin-Priority: 600\n")
    (state / "etc" / "apt" / "sources.list.d" / "debian.sources").write_text(
        "Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\n")
    (state / "installed").write_text("")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, body in FAKES.items():
        (bin_dir / name).write_text("#!/bin/bash\n" + body + "\n")
        (bin_dir / name).chmod(0o755)

    def run(installed=(), backports_known=True, update=("", 0), needs_pin=None, unresolvable=None):
        (state / "installed").write_text("".join(f"{p} {v}\n" for p, v in installed))
        backports = state / "etc" / "apt" / "sources.list.d" / "vantrel-bookworm-backports.sources"
        backports.write_text("Suites: bookworm-backports\n") if backports_known else backports.unlink(True)
        (state / "update.out").write_text(update[0])
        (state / "update.rc").write_text(str(update[1]))
        for name, value in (("needs-pin", needs_pin), ("unresolvable", unresolvable)):
            (state / name).write_text(value) if value else (state / name).unlink(True)
        (state / "calls").write_text("")
        env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", STATE=str(state), TMPDIR=str(tmp_path))
        done = subprocess.run([str(ROOT / "scripts" / "setup")], env=env, capture_output=True, text=True, timeout=60)
        return done, (state / "calls").read_text()

    run.state = state
    run.tmp = tmp_path
    return run


def everything(osslsigncode="2.9-1~bpo12+1"):
    return [(p, "1") for p in packages()] + [("osslsigncode", osslsigncode)]


def test_a_machine_with_everything_installed_asks_apt_nothing(apt):
    done, calls = apt(installed=everything())
    assert done.returncode == 0, done.stderr
    assert calls == ""
    assert "packages installed (osslsigncode 2.9 or later among them): apt not asked" in done.stdout


@pytest.mark.parametrize("installed,backports_known", [
    (everything()[1:], True),                                # one package missing
    (everything(osslsigncode="2.5-4"), True),                # Debian 12's own osslsigncode
    (everything(), False),                                   # backports suite not yet known
], ids=["package-missing", "old-osslsigncode", "backports-unknown"])
def test_anything_missing_updates_and_installs_without_pins(apt, installed, backports_known):
    done, calls = apt(installed=installed, backports_known=backports_known)
    assert done.returncode == 0, done.stderr
    assert calls.splitlines()[0] == "apt-get update -qq"
    installs = [c for c in calls.splitlines() if c.startswith("apt-get install")]
    assert len(installs) == 2 and not any("PreferencesParts" in c for c in installs)
    assert installs[1].endswith("-t bookworm-backports osslsigncode")


def test_a_suite_whose_index_is_stale_for_one_architecture_is_pinned_away_for_the_install_only(apt):
    done, calls = apt(update=(STALE_I386, 100), needs_pin="bookworm-security")
    assert done.returncode == 0, done.stderr
    assert calls.startswith("apt-get update -qq\nsleep 15\napt-get update -qq\nsleep 30\napt-get update -qq\n")
    assert ("leaving bookworm-security out of this install: its i386 index could not be had (File has "
            "unexpected size (374820 != 376004). Mirror sync in progress?)") in done.stdout
    installs = calls.split("apt-get install")[1:]
    assert len(installs) == 2
    for seen in installs:
        # The pin by codename and by suite name, and the machine's own pins kept beside it.
        assert "Pin: release n=bookworm-security\nPin-Priority: -1" in seen
        assert "Pin: release a=bookworm-security\nPin-Priority: -1" in seen
        assert "Pin: origin deb.nodesource.com" in seen
    # Nothing of the pin is left: not in apt's settings, not in the temporary folder.
    assert os.listdir(apt.state / "etc" / "apt" / "preferences.d") == ["machine.pref"]
    assert sorted(os.listdir(apt.tmp)) == ["bin", "state"]


def test_an_install_that_still_cannot_resolve_names_the_packages_and_the_suite(apt):
    done, _ = apt(installed=everything()[2:], update=(STALE_I386, 100), unresolvable=UNMET)
    assert done.returncode != 0
    assert UNMET in done.stderr, "apt's own words are shown"
    assert f"setup: could not install the packages; not installed: {' '.join(packages()[:2])}\n" in done.stderr
    assert ("setup: resolved without the suite bookworm-security: its i386 index could not be had "
            "(File has unexpected size (374820 != 376004). Mirror sync in progress?)") in done.stderr
    assert sorted(os.listdir(apt.tmp)) == ["bin", "state"]
