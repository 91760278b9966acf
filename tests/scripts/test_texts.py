"""The texts of the program (constants/Texts.h) and those the tests and the bench look for
(tests/harness/texts.py) are one set: each constant on each side has its counterpart of the same
name (bannerStars as BANNER_STARS) on the other, byte for byte."""

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests"))

from harness import texts  # noqa: E402

HEADER = (ROOT / "constants" / "Texts.h").read_text()
CONSTANT = re.compile(r'constexpr auto (\w+) = ((?:"(?:[^"\\]|\\.)*"\s*)+);')


def python_name(name):
    """bannerStars -> BANNER_STARS, lengthNotANumber -> LENGTH_NOT_A_NUMBER."""
    return re.sub(r"(?<!^)(?=[A-Z])", "_", name).upper()


def literal_value(literal):
    """What a C++ string literal (adjacent ones joined) holds, as text: \\xNN bytes, \\" and \\\\."""
    raw = b"".join(re.findall(rb'"((?:[^"\\]|\\.)*)"', literal.encode()))
    data = re.sub(rb'\\(x[0-9a-fA-F]{2}|.)',
                  lambda m: bytes([int(m.group(1)[1:], 16)]) if m.group(1).startswith(b"x")
                  else {b'"': b'"', b"\\": b"\\", b"n": b"\n"}[m.group(1)], raw)
    return data.decode("utf-8")


def program_texts():
    found = [(python_name(name), literal_value(literal)) for name, literal in CONSTANT.findall(HEADER)]
    names = [name for name, _ in found]
    assert len(set(names)) == len(names), f"two constants of Texts.h with one name: {sorted(names)}"
    return dict(found)


def test_texts_h_is_read_whole():
    # Every constant is of the one form the reader takes: one it missed would be checked by no one.
    assert len(program_texts()) == len(re.findall(r'=\s*"', HEADER)), \
        'a text of Texts.h not written as constexpr auto name = "...";'


def test_the_tests_and_the_program_have_the_same_texts_by_the_same_names():
    tests = {name: value for name, value in vars(texts).items() if name.isupper() and isinstance(value, str)}
    program = program_texts()
    assert len(program) > 60, sorted(program)
    assert {n: v for n, v in tests.items() if n not in program} == {}, "not in constants/Texts.h"
    assert {n: v for n, v in program.items() if n not in tests} == {}, "not in tests/harness/texts.py"
    assert {n: (tests[n], program[n]) for n in program if tests[n] != program[n]} == {}, "(tests, program) differ"
