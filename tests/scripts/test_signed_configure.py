"""A signed Windows build must name who may sign the tool it starts, or say that it starts any:
configured without either, it stops with a message that says what to set."""

import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
KEY = ROOT / "build" / "testca" / "codesign.p12"
PIN = "sha256:" + "ab" * 32

# cache variables beside the signing key -> whether the configure goes through
CASES = [([], False), ([f"-DVANTREL_ALLOWED_SIGNERS={PIN}"], True), (["-DVANTREL_START_ANY_TOOL=ON"], True)]


@pytest.mark.parametrize("defines, configures", CASES, ids=["no-list", "list", "any-tool"])
def test_a_signed_build_names_its_tools_signers_or_says_it_starts_any(defines, configures):
    if not KEY.exists():
        pytest.fail(f"{KEY} is missing: run scripts/build-for-tests first")
    folder = Path(tempfile.mkdtemp(prefix="vantrel-configure-"))
    try:
        done = subprocess.run(["cmake", "--preset", "windows-x86", "-B", str(folder), f"-DVANTREL_SIGN_PKCS12={KEY}",
                               *defines], cwd=ROOT, capture_output=True, text=True, timeout=300)
        assert (done.returncode == 0) == configures, done.stdout[-2000:] + done.stderr[-2000:]
        if not configures:
            assert "must name who may sign the setup tool" in done.stderr and "VANTREL_START_ANY_TOOL=ON" in done.stderr, done.stderr
    finally:
        shutil.rmtree(folder)
