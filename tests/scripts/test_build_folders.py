"""The builds the tests and the demo make never touch the vendor's build folder (the windows-x86
preset's), which holds the release configured with their hosts and certificate."""

import hashlib
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
VENDOR = ROOT / "build" / "windows-x86"


def fingerprint(folder):
    return {str(p.relative_to(folder)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(folder.rglob("*")) if p.is_file() and not p.is_symlink()}


def test_test_and_demo_builds_leave_the_vendors_build_folder_byte_for_byte_alone():
    # A vendor's folder as the README's release steps leave it; one already there is only read.
    planted = not VENDOR.exists()
    if planted:
        VENDOR.mkdir(parents=True)
        (VENDOR / "CMakeCache.txt").write_text("VANTREL_WIN10_HOST:STRING=dl10.example.com\n"
                                               "CMAKE_TOOLCHAIN_FILE:FILEPATH=cmake/clang-mingw-i686.cmake\n")
        (VENDOR / "VantrelInstall.exe").write_bytes(b"MZ the vendor's release, signed by the vendor")
    before = fingerprint(VENDOR)
    try:
        for args in (["scripts/build-for-tests"], ["scripts/build-for-tests", "--windows-only"]):
            done = subprocess.run(args, cwd=ROOT, capture_output=True, text=True, timeout=3000)
            assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
        assert fingerprint(VENDOR) == before
        assert (ROOT / "build" / "windows-x86-test" / "VantrelInstall.exe").is_file()
    finally:
        if planted:
            for p in sorted(VENDOR.rglob("*"), reverse=True):
                p.unlink() if p.is_file() else p.rmdir()
            VENDOR.rmdir()
