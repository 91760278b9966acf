"""Where the bytes of a PE executable come from, read from lld's link map (-Wl,-Map) of the
product's build (clang + lld).

Sums the sizes of the input sections that end up in the stripped file (code, data, read-only
data, unwind tables, imports, resources; not .bss, which takes no room in the file, nor debug
sections, which strip removes), per input object or archive member and per archive. With
link-time optimisation the program and the framework come out of the linker as one object; lld
names each of its sections after the function or data it holds, so those are told apart by
name: the framework (juce::), the C++ library's templates (std::, __gnu_cxx::), the program.
"""

import re
import subprocess
from collections import defaultdict
from pathlib import Path

# Output sections that take room in a stripped image.
KEPT = {".text", ".data", ".rdata", ".eh_frame", ".idata", ".CRT", ".tls", ".rsrc", ".pdata", ".xdata",
        ".gcc_except_table", ".didat", ".buildid"}

LLD_HEADER = re.compile(r"^Address\s+Size\s+Align\s+Out\s+In\s+Symbol")
LLD_OUTPUT = re.compile(r"^([0-9a-f]{8}) ([0-9a-f]{8}) +\d+ (\S.*)$")
LLD_INPUT = re.compile(r"^[0-9a-f]{8} ([0-9a-f]{8}) +\d+ {9}(\S.*):\((.*)\)$")


# lld's map names an archive member without its archive: the libraries an executable of this
# project links statically, to find a member's archive (import libraries are told by name).
GCC_LIB = Path("/usr/lib/gcc/i686-w64-mingw32/12-posix")
MINGW_LIB = Path("/usr/i686-w64-mingw32/lib")
DEPS_LIB = Path(__file__).resolve().parent.parent / "build" / "deps" / "i686-w64-mingw32" / "lib"
ARCHIVES = [DEPS_LIB / "libjpeg.a", DEPS_LIB / "libpng.a", DEPS_LIB / "libz.a", GCC_LIB / "libstdc++.a",
            GCC_LIB / "libgcc.a", GCC_LIB / "libgcc_eh.a", MINGW_LIB / "libmingwex.a", MINGW_LIB / "libmingw32.a",
            MINGW_LIB / "libmsvcrt.a", MINGW_LIB / "libpthread.a", MINGW_LIB / "libmoldname.a"]


def archive_index(archives=ARCHIVES):
    index = {}
    for archive in archives:
        if not Path(archive).exists():
            continue
        listing = subprocess.run(["i686-w64-mingw32-ar", "t", str(archive)], capture_output=True, text=True)
        for member in listing.stdout.split():
            index.setdefault(member, Path(archive).name)
    return index


def lto_part(section):
    """What an LTO section such as '.text$_ZN4juce6String...' holds, by its symbol's name."""
    symbol = section.partition("$")[2]
    if "4juce" in symbol:
        return "framework (juce::)"
    if re.match(r"^_Z[A-Z]*(N[A-Z]*)?(St|9__gnu_cxx|S[a-z])", symbol) or "__ioinit" in symbol:
        return "C++ library templates (std::)"
    if not symbol:
        return "unnamed"
    return "program"


def lld_contributions(text):
    index = archive_index()
    per_member = defaultdict(int)
    per_archive = defaultdict(int)
    per_section = defaultdict(int)
    section = None
    for line in text:
        m = LLD_INPUT.match(line)
        if m:
            if section not in KEPT:
                continue
            size = int(m.group(1), 16)
            origin, input_section = m.group(2), m.group(3)
            if size == 0:
                continue
            if origin.endswith(".lto.obj"):
                archive = member = "LTO: " + lto_part(input_section)
            else:
                name = Path(origin).name
                imports = re.match(r"^lib(\w+?)s\d+\.o$", name)
                archive = (f"lib{imports.group(1)}.a" if imports else
                           index.get(name) or (name if name.endswith((".obj", ".res")) else "other"))
                member = f"{archive}({name})" if archive != name else name
            per_member[member] += size
            per_archive[archive] += size
            per_section[section] += size
            continue
        out = LLD_OUTPUT.match(line)
        if out:
            section = out.group(3).strip()
    return per_member, per_archive, per_section


def contributions(map_file, top=15):
    text = Path(map_file).read_text(errors="replace").split("\n")
    if not text or not LLD_HEADER.match(text[0]):
        raise ValueError(f"{map_file} is not a link map of lld")
    return summary(*lld_contributions(text), top)


def summary(per_member, per_archive, per_section, top):
    def ranked(table):
        return sorted(table.items(), key=lambda kv: -kv[1])

    return {
        "map_total": sum(per_member.values()),
        "by_member": ranked(per_member)[:top],
        "by_archive": ranked(per_archive)[:top],
        "by_section": ranked(per_section),
    }


if __name__ == "__main__":
    import sys
    parts = contributions(sys.argv[1])
    print(f"total {parts['map_total']}")
    for key in ("by_section", "by_archive", "by_member"):
        print(key)
        for name, size in parts[key]:
            print(f"  {size:>9}  {name}")
