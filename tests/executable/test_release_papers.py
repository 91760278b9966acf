"""The papers that ship beside each Windows executable: its notices hold the licence of every
third-party component its link map shows linked, and its SPDX 2.3 parts list validates against the
schema, names the file with its checksum as it ships, and lists those components with their
versions as built. What is linked is found here on its own: every archive member the map names is
looked up in every archive of the link's library folders, and the archive's owner asked of dpkg."""

import hashlib
import json
import os
import re
import subprocess
from functools import lru_cache
from pathlib import Path

import jsonschema
import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VANTREL_WINDOWS_BUILD_DIR", ROOT / "build" / "windows-x86-test"))
EXECUTABLES = ["VantrelInstall.exe", "VantrelInstall_en.exe"]
DEPS = ROOT / "build" / "deps" / "i686-w64-mingw32"
FOLDERS = [DEPS / "lib", Path("/usr/lib/gcc/i686-w64-mingw32/12-posix"), Path("/usr/i686-w64-mingw32/lib")]
# The image libraries are built from Debian's sources (their source package, a line of each licence).
DEPS_SOURCES = {"libz.a": ("zlib", "Jean-loup Gailly"), "libpng16.a": ("libpng1.6", "PNG Reference Library License version 2"),
                "libjpeg.a": ("libjpeg-turbo", "Independent JPEG Group")}
# What the parts list must declare for each component, by its Debian source package: the licences
# its own files state for the parts this build links (the framework's modules used: juce_core and
# juce_events ISC, the rest GPL-3.0; MinGW-w64's start-up code, winpthreads and import libraries).
LICENCES = {"juce": "GPL-3.0-only AND ISC", "zlib": "Zlib", "libpng1.6": "libpng-2.0",
            "libjpeg-turbo": "IJG AND BSD-3-Clause AND Zlib", "mingw-w64": "ZPL-2.1 AND MIT AND BSD-3-Clause AND ISC",
            "gcc-mingw-w64": "GPL-3.0-or-later WITH GCC-exception-3.1"}
MAP_INPUT = re.compile(r"^[0-9a-f]{8} ([0-9a-f]{8}) +\d+ {9}(\S.*):\((.*)\)$")


def spdx_schema():
    """The SPDX 2.3 JSON schema, read in place from the workplace's shared folder: beside the
    project or any folder above it, or at VANTREL_SPDX_SCHEMA (a clone kept elsewhere, as CI's may
    be, finds the machine's own in /work/shared)."""
    candidates = ([Path(os.environ["VANTREL_SPDX_SCHEMA"])] if os.environ.get("VANTREL_SPDX_SCHEMA") else []) + \
        [folder / "shared" / "schemas" / "spdx-2.3.json" for folder in ROOT.parents] + \
        [Path("/work/shared/schemas/spdx-2.3.json")]
    found = [path for path in candidates if path.is_file()]
    assert found, f"no SPDX 2.3 schema at any of {[str(p) for p in candidates]}"
    return json.loads(found[0].read_text())


@lru_cache(maxsize=None)
def member_index():
    """{member name: archives holding it} over every archive and start file of the link's folders."""
    index = {}
    for folder in FOLDERS:
        for archive in sorted(folder.glob("*.a")):
            if archive.is_symlink():
                continue
            listing = subprocess.run(["llvm-ar-14", "t", str(archive)], capture_output=True, text=True)
            for member in listing.stdout.split():
                index.setdefault(member, set()).add(archive)
        for start_file in folder.glob("crt*.o"):
            index.setdefault(str(start_file), set()).add(start_file)
    return index


@lru_cache(maxsize=None)
def owner(path):
    """(Debian source package, its copyright file) of an installed file."""
    package = subprocess.run(["dpkg-query", "-S", str(path)], capture_output=True, text=True, check=True).stdout.split(":")[0]
    source = subprocess.run(["dpkg-query", "-W", "-f", "${source:Package}", package],
                            capture_output=True, text=True, check=True).stdout
    return source, Path("/usr/share/doc") / package / "copyright"


@lru_cache(maxsize=None)
def linked_sources(name):
    """{Debian source package: the text its notice must hold} of what the executable's map shows linked."""
    linked = {}
    for line in (BUILD / "maps" / (name[:-4] + ".map")).read_text().splitlines():
        m = MAP_INPUT.match(line)
        if not m or int(m.group(1), 16) == 0 or m.group(2).startswith("CMakeFiles/"):
            continue
        origin, section = m.group(2), m.group(3)
        if origin.endswith(".lto.obj"):
            if "4juce" in section:
                linked["juce"] = owner(Path("/usr/share/juce/modules/juce_core/juce_core.h"))[1].read_text()
            continue
        archives = member_index().get(origin)
        assert archives, f"{name}: {origin} is in no archive of {[str(f) for f in FOLDERS]}"
        for archive in archives:
            if archive.parent == DEPS / "lib":
                source, line_of_licence = DEPS_SOURCES[archive.name]
                linked[source] = line_of_licence
            else:
                source, copyright_file = owner(archive)
                linked[source] = copyright_file.read_text()
    return linked


@pytest.fixture(params=EXECUTABLES)
def name(request):
    if not (BUILD / "maps" / (request.param[:-4] + ".map")).exists():
        pytest.fail(f"{BUILD} has no link map of {request.param}: build the windows-x86-test preset (scripts/build-for-tests)")
    return request.param


def test_the_notices_hold_the_licence_of_every_component_the_link_map_shows(name):
    notices = (BUILD / (name[:-4] + ".notices.txt")).read_text()
    linked = linked_sources(name)
    # The framework, the image libraries, the GCC and MinGW-w64 run times.
    assert {"juce", "zlib", "libpng1.6", "libjpeg-turbo", "gcc-mingw-w64", "mingw-w64"} <= set(linked), sorted(linked)
    for source, text in linked.items():
        assert text.strip() in notices, f"{name}: the notice of {source} is missing"
    # The project's own licence closes it.
    assert notices.rstrip().endswith((ROOT / "LICENSE").read_text().rstrip())


def versions_as_built():
    """{Debian source package: version} of the image libraries (scripts/build-windows-deps's record)."""
    return dict(line.split("_", 1) for line in (DEPS / ".built").read_text().splitlines() if "_" in line)


def test_the_parts_list_validates_and_names_the_file_as_it_ships_and_what_it_links(name):
    document = json.loads((BUILD / (name[:-4] + ".spdx.json")).read_text())
    schema = spdx_schema()
    validator = jsonschema.validators.validator_for(schema)
    validator(schema, format_checker=validator.FORMAT_CHECKER).validate(document)
    assert document["spdxVersion"] == "SPDX-2.3"

    (file_entry,) = document["files"]
    assert file_entry["fileName"] == "./" + name
    checksums = {c["algorithm"]: c["checksumValue"] for c in file_entry["checksums"]}
    assert checksums["SHA256"] == hashlib.sha256((BUILD / name).read_bytes()).hexdigest()

    # Each component linked statically into the file, with its Debian source package's version.
    packages = {p["SPDXID"]: p for p in document["packages"]}
    linked = [r["relatedSpdxElement"] for r in document["relationships"]
              if r["spdxElementId"] == file_entry["SPDXID"] and r["relationshipType"] == "STATIC_LINK"]
    built = {}
    for spdx_id in linked:
        m = re.fullmatch(r"built from the Debian source package (\S+) (\S+)", packages[spdx_id]["sourceInfo"])
        assert m, packages[spdx_id]
        assert packages[spdx_id]["versionInfo"] == m.group(2)
        assert packages[spdx_id]["licenseDeclared"] == LICENCES[m.group(1)], packages[spdx_id]
        built[m.group(1)] = m.group(2)
    assert set(built) == set(linked_sources(name))
    for source, version in versions_as_built().items():
        assert built[source] == version
    framework = subprocess.run(["dpkg-query", "-W", "-f", "${source:Version}", "juce-modules-source"],
                               capture_output=True, text=True, check=True).stdout
    assert built["juce"] == framework
