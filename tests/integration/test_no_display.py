"""The Linux build with no display to open a window on says so and exits with 1."""

import subprocess

import pytest

from harness.installer import executable
from harness.program import LANGUAGES, linux_env
from harness.texts import NO_DISPLAY


@pytest.mark.parametrize("lang", LANGUAGES)
def test_without_display_prints_message_and_exits_1(tmp_path, lang):
    exe = executable("linux", lang)
    env = {k: v for k, v in linux_env(tmp_path, tmp_path).items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    result = subprocess.run([str(exe)], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, timeout=30)
    assert result.returncode == 1, result
    assert f"{NO_DISPLAY}\n" in result.stderr, result.stderr
