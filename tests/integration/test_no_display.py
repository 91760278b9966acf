"""The Linux build with no display to open a window on says so and exits with 1."""

import os
import subprocess

import pytest

from helpers import EXECUTABLES, ensure_built


@pytest.mark.parametrize("lang", ["cn", "en"])
def test_without_display_prints_message_and_exits_1(tmp_path, lang):
    exe = EXECUTABLES[("linux", lang)]
    ensure_built(exe)
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY") and not k.startswith("XDG_")}
    env.update(HOME=str(tmp_path), TMPDIR=str(tmp_path))
    result = subprocess.run([str(exe)], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, timeout=30)
    assert result.returncode == 1, result
    assert "display" in result.stderr.lower(), result.stderr
