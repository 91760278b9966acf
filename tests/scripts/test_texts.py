"""The texts the tests and the bench look for (tests/harness/texts.py) are the program's own:
each is a literal of constants/Texts.h, byte for byte."""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests"))

from harness import texts  # noqa: E402

HEADER = (ROOT / "constants" / "Texts.h").read_text()


def as_cpp_literal(text):
    """The text as Texts.h writes it: ASCII as it is (quotes escaped), other bytes as \\x escapes."""
    return '"' + "".join(chr(b) if b < 0x80 else f"\\x{b:02x}" for b in text.encode().replace(b'"', b'\\"')) + '"'


def test_every_text_of_the_tests_is_in_the_program():
    known = {name: value for name, value in vars(texts).items() if name.isupper() and isinstance(value, str)}
    assert len(known) > 60, sorted(known)
    missing = {name: value for name, value in known.items() if as_cpp_literal(value) not in HEADER}
    assert not missing, f"not in constants/Texts.h: {missing}"
