"""A release can be rebuilt byte for byte and checked: scripts/verify-release rebuilds the commit in
a folder of its own, at another time, in another time zone and language, and compares the test
build's signed executable (signature taken off) and its symbols file with what it made; a byte
changed outside the signature must make it fail and show where."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pefile
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from harness import facts  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VANTREL_WINDOWS_BUILD_DIR", ROOT / "build" / "windows-x86-test"))
VERIFY = ROOT / "scripts" / "verify-release"
DEPS = Path("build") / "deps" / "i686-w64-mingw32"


def cache(name):
    m = re.search(rf"^{name}:[A-Z]+=(.*)$", (BUILD / "CMakeCache.txt").read_text(), re.M)
    assert m, f"{name} not in {BUILD}/CMakeCache.txt"
    return m.group(1)


def verify(release, work, *extra):
    """scripts/verify-release against the test build's settings, in another zone and language."""
    command = [str(VERIFY), "--work", str(work), *extra, str(release),
               *(f"-D{name}={cache(name)}" for name in (*facts.HOST_VARIABLES, "VANTREL_LANGUAGE")),
               # The test build's other cache variable that the product preset does not set.
               "-DVANTREL_BUILD_TESTS=" + cache("VANTREL_BUILD_TESTS")]
    # Another zone than the machine's UTC, the other of its two locales, another user's name and home
    # (the same account: the rebuild needs root's apt for the image libraries' sources) and umask.
    current = os.environ.get("LC_ALL") or os.environ.get("LC_CTYPE") or os.environ.get("LANG") or "C"
    other_locale = "C" if "utf" in current.lower() else "C.UTF-8"
    home = Path(work) / "home"
    home.mkdir(exist_ok=True)
    env = dict(os.environ, TZ="Pacific/Chatham", LC_ALL=other_locale, LANG=other_locale,
               USER="release-checker", LOGNAME="release-checker", HOME=str(home))
    env.pop("SOURCE_DATE_EPOCH", None)
    env.pop("VANTREL_SIGN_PASSWORD", None)
    return subprocess.run(command, cwd=ROOT, env=env, capture_output=True, text=True, timeout=1700,
                          preexec_fn=lambda: os.umask(0o027))


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"], cwd=ROOT,
                           capture_output=True, text=True, check=True).stdout
    if dirty:
        pytest.fail("the rebuild is of the commit, the test build of the work tree, which has changes:\n" + dirty)
    if not cache("VANTREL_SIGN_PKCS12"):
        pytest.fail(f"{BUILD} is not signed: build it with scripts/build-for-tests")
    # The test build stamps the commit's time it was built at (cmake/commit-time).
    head_time = subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=ROOT, capture_output=True, text=True,
                               check=True).stdout.strip()
    if (BUILD / "commit-time.txt").read_text().strip() != head_time:
        pytest.fail(f"{BUILD} was built at another commit: scripts/build-for-tests --windows-only builds it at this one")
    return tmp_path_factory.mktemp("verify-release")


@pytest.fixture(scope="module")
def rebuilt(work):
    """The signed test build checked, with its symbols file: the one rebuild of this module."""
    release = BUILD / "VantrelInstall.exe"
    return verify(release, work, "--symbols", str(release) + ".debug")


def test_a_second_build_in_another_folder_time_and_zone_is_byte_for_byte_the_same(rebuilt, work):
    # On a difference verify-release prints diffoscope's account, shown here.
    assert rebuilt.returncode == 0, rebuilt.stdout + rebuilt.stderr[-6000:]
    assert rebuilt.stdout.count("same: ") == 2, rebuilt.stdout
    assert "same: VantrelInstall.exe.debug " in rebuilt.stdout
    # The image libraries, fetched and built again in that folder, are the same archives.
    for archive in ("libz.a", "libpng16.a", "libjpeg.a"):
        ours, theirs = ROOT / DEPS / "lib" / archive, work / "src" / DEPS / "lib" / archive
        assert ours.read_bytes() == theirs.read_bytes(), f"{archive}: {subprocess.run(['cmp', ours, theirs], capture_output=True, text=True).stdout}"
    # And the notices the rebuild wrote beside its file.
    rebuild = work / "src" / "build" / "windows-x86"
    assert (rebuild / "VantrelInstall.notices.txt").read_bytes() == (BUILD / "VantrelInstall.notices.txt").read_bytes()


def test_the_signed_build_passes(rebuilt):
    assert "signature taken off" in rebuilt.stderr, rebuilt.stderr[-3000:]
    assert re.search(r"^same: VantrelInstall\.exe without its signature is byte for byte the rebuild's", rebuilt.stdout, re.M)
    assert rebuilt.returncode == 0


def test_one_byte_changed_outside_the_signature_fails_and_shows_where(rebuilt, work, tmp_path):
    assert rebuilt.returncode == 0, "the unchanged file must pass first"
    release = BUILD / "VantrelInstall.exe"
    data = bytearray(release.read_bytes())
    image = pefile.PE(data=bytes(data), fast_load=True)
    text = next(s for s in image.sections if s.Name.rstrip(b"\0") == b".text")
    security = image.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    changed_at = text.PointerToRawData + 0x200
    assert changed_at < security.VirtualAddress   # before the signature, which starts at that file offset
    data[changed_at] ^= 0x20
    tampered = tmp_path / "VantrelInstall.exe"
    tampered.write_bytes(bytes(data))

    result = verify(tampered, work)   # the kept folder: nothing is built again
    assert result.returncode == 1, result.stdout + result.stderr[-3000:]
    # The changed byte, and the header's checksum that osslsigncode computes anew over it.
    differing = re.search(r"^DIFFERENT: VantrelInstall\.exe without its signature is not the rebuild's: (\d+) bytes differ",
                          result.stdout, re.M)
    assert differing and 1 <= int(differing.group(1)) <= 3, result.stdout[-3000:]
    # diffoscope's account of where (scripts/setup installs it): the release's line and the rebuild's
    # at the changed byte's offset.
    assert "diffoscope's account" in result.stdout
    line = f"{changed_at & ~0xF:08x}: "
    assert re.search(rf"^-{line}", result.stdout, re.M) and re.search(rf"^\+{line}", result.stdout, re.M), result.stdout[-3000:]
