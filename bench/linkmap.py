"""Where the bytes of a PE executable come from, read from the GNU ld link map (-Wl,-Map).

Sums the sizes of the input sections that end up in the stripped file (code, data, read-only
data, unwind tables, imports, resources; not .bss, which takes no room in the file, nor debug
sections, which strip removes), per input object or archive member and per archive.
"""

import re
from collections import defaultdict
from pathlib import Path

# Output sections that take room in a stripped image.
KEPT = {".text", ".data", ".rdata", ".eh_frame", ".idata", ".CRT", ".tls", ".rsrc", ".pdata", ".xdata"}

INPUT = re.compile(r"^ (\S+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")
OUTPUT = re.compile(r"^(\S+)\s+0x[0-9a-f]+\s+0x[0-9a-f]+")


def short_name(path):
    """'/usr/lib/gcc/.../libstdc++.a(string-inst.o)' -> ('libstdc++.a', 'libstdc++.a(string-inst.o)')."""
    m = re.match(r"^(.*?)\(([^()]*)\)$", path)
    if m:
        archive = Path(m.group(1)).name
        return archive, f"{archive}({m.group(2)})"
    name = Path(path).name
    return name, name


def contributions(map_file, top=15):
    text = Path(map_file).read_text(errors="replace").split("\n")
    start = next(i for i, line in enumerate(text) if line.startswith("Linker script and memory map"))
    per_member = defaultdict(int)
    per_archive = defaultdict(int)
    per_section = defaultdict(int)
    section = None
    pending = None   # an input section whose name filled its line; address and size follow
    for line in text[start:]:
        out = OUTPUT.match(line)
        if out:
            section = out.group(1)
            pending = None
            continue
        if section not in KEPT:
            continue
        if re.match(r"^ \S+$", line) and not line.startswith(" *"):
            pending = line.strip()
            continue
        m = INPUT.match(line)
        if not m:
            pending = None
            continue
        name = m.group(1) or pending
        pending = None
        if name is None or name.startswith("*"):   # fill between sections, or a script pattern
            continue
        size = int(m.group(3), 16)
        origin = m.group(4).strip()
        if size == 0 or origin.startswith("0x"):
            continue
        archive, member = short_name(origin)
        per_member[member] += size
        per_archive[archive] += size
        per_section[section] += size

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
