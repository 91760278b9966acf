"""The Windows executable as it ships: stripped, its symbols beside it, signed when the build was
given a certificate (scripts/test gives it the throwaway one); its resources read back from the
file, its imports, and its signature read by osslsigncode and allowed by the program's own check
under Wine."""

import os
import re
import shutil
import struct
import subprocess
import zlib
from xml.etree import ElementTree
from pathlib import Path

import pefile
import pytest

from harness import wine
from harness.facts import DELAY_LOADED_DLLS, SIZE_GOAL
from harness.program import CA_DIR

BUILD = os.environ.get("VANTREL_WINDOWS_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build/windows-x86-test"))
EXECUTABLES = ["VantrelInstall.exe", "VantrelInstall_en.exe"]
# The version, from its one place: the project() call.
VERSION = re.search(r"project\(VantrelInstall\s+VERSION\s+(\d+)\.(\d+)\.(\d+)",
                    (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()).groups()

# Libraries every Windows installation has; nothing of the MinGW run time may be needed beside the exe.
# KnownDLLs (always taken from System32) may be imported; the others only delay-loaded (or, in
# the GCC fallback build, imported).
KNOWN_DLLS = {"advapi32.dll", "comdlg32.dll", "gdi32.dll", "imm32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll",
              "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "ws2_32.dll"}
LATE_DLLS = DELAY_LOADED_DLLS
SYSTEM_DLLS = KNOWN_DLLS | LATE_DLLS

IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
IMAGE_DLLCHARACTERISTICS_NX_COMPAT = 0x0100

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


@pytest.fixture(scope="module", params=EXECUTABLES)
def pe(request):
    path = os.path.join(BUILD, request.param)
    if not os.path.exists(path):
        pytest.fail(f"{path} is missing: build the windows-x86-test preset first (scripts/build-for-tests does)")
    image = pefile.PE(path)
    image.path = path
    yield image
    image.close()


def resources(pe, type_id):
    """{name or id: bytes} of one resource type (first language of each)."""
    found = {}
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id != type_id:
            continue
        for named in entry.directory.entries:
            key = str(named.name) if named.name is not None else named.id
            data = named.directory.entries[0].data.struct
            found[key] = pe.get_data(data.OffsetToData, data.Size)
    return found


def test_is_a_32_bit_gui_program(pe):
    assert pe.FILE_HEADER.Machine == 0x14C
    assert pe.OPTIONAL_HEADER.Magic == 0x10B  # PE32
    assert pe.OPTIONAL_HEADER.Subsystem == 2  # Windows GUI: no console window


def cache(name):
    """A CMake cache value of the build, or None."""
    cache_file = Path(BUILD) / "CMakeCache.txt"
    if not cache_file.exists():
        return None
    m = re.search(rf"^{name}:[A-Z]+=(.*)$", cache_file.read_text(), re.M)
    return m.group(1) if m else None


def clang_build():
    return cache("VANTREL_LTO") is not None   # an option only the clang build has


def delay_imported(pe):
    return {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])}


def test_imports_only_system_libraries(pe):
    imported = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    delayed = delay_imported(pe)
    assert imported | delayed <= SYSTEM_DLLS, f"not system libraries: {(imported | delayed) - SYSTEM_DLLS}"
    assert "wininet.dll" in imported | delayed  # downloads go through the system's HTTP stack


def test_imports_only_known_dlls_the_others_delay_loaded(pe):
    # The clang build: what the loader resolves before any code runs comes only from System32.
    if not clang_build() or cache("VANTREL_DELAY_LOAD") != "ON":
        pytest.skip("a build without lld's delay-loading imports the libraries that are not KnownDLLs directly")
    imported = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert imported <= KNOWN_DLLS, f"imported, not KnownDLLs: {imported - KNOWN_DLLS}"
    assert delay_imported(pe) == LATE_DLLS


def test_keeps_aslr_and_dep(pe):
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    assert flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE and flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT
    assert ".reloc" in section_names(pe)   # relocations, without which the image cannot move
    assert pe.FILE_HEADER.Characteristics & 0x0001 == 0   # IMAGE_FILE_RELOCS_STRIPPED not set


def section_names(pe):
    """Section names, long ones ("/4") read from the COFF string table as binutils writes them."""
    names = []
    strings = pe.FILE_HEADER.PointerToSymbolTable + 18 * pe.FILE_HEADER.NumberOfSymbols
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode()
        if name.startswith("/") and pe.FILE_HEADER.PointerToSymbolTable:
            offset = strings + int(name[1:])
            data = bytes(pe.__data__[offset:offset + 256])
            name = data[:data.index(b"\0")].decode()
        names.append(name)
    return names


def test_stripped_with_its_symbols_linked_beside_it(pe):
    assert pe.FILE_HEADER.NumberOfSymbols == 0, "the symbol table is still in the executable"
    names = section_names(pe)
    assert not [n for n in names if n.startswith(".debug")], names
    assert ".gnu_debuglink" in names
    link = pe.sections[names.index(".gnu_debuglink")].get_data()
    debug_name = link[:link.index(b"\0")].decode()
    crc_at = (len(debug_name) + 1 + 3) // 4 * 4
    (crc,) = struct.unpack_from("<I", link, crc_at)
    path = Path(pe.path)
    assert debug_name == path.name + ".debug"
    debug_file = path.with_name(debug_name)
    assert debug_file.exists(), f"{debug_file} missing: keep it beside the executable"
    assert zlib.crc32(debug_file.read_bytes()) == crc, "the symbols file is not the executable's"


def test_size_goal(pe):
    size = os.path.getsize(pe.path)
    if not clang_build():
        pytest.skip(f"GCC fallback build: {size} bytes, the size goal is the clang build's")
    assert size <= SIZE_GOAL, f"{size} bytes, over the {SIZE_GOAL}-byte goal"


def test_links_the_dll_search_hardening(pe):
    # Only the hardening calls it; SetDefaultDllDirectories is looked up, not imported.
    kernel32 = [entry for entry in pe.DIRECTORY_ENTRY_IMPORT if entry.dll.decode().lower() == "kernel32.dll"]
    names = {imp.name for entry in kernel32 for imp in entry.imports}
    assert b"SetDllDirectoryW" in names


def xml_shape(element):
    """An element as (namespace-qualified tag, attributes, text, children), all the way down."""
    return (element.tag, element.attrib, (element.text or "").strip(), [xml_shape(child) for child in element])


def manifest_shape():
    asm_v1, asm_v3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
    compat = "{urn:schemas-microsoft-com:compatibility.v1}"
    systems = ["{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",   # 7, 8
               "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]   # 8.1, 10 and 11
    level = {"level": "requireAdministrator", "uiAccess": "false"}
    return (asm_v1 + "assembly", {"manifestVersion": "1.0"}, "", [
        (asm_v3 + "trustInfo", {}, "", [(asm_v3 + "security", {}, "", [(asm_v3 + "requestedPrivileges", {}, "", [
            (asm_v3 + "requestedExecutionLevel", level, "", [])])])]),
        (compat + "compatibility", {}, "", [(compat + "application", {}, "", [
            (compat + "supportedOS", {"Id": system}, "", []) for system in systems])]),
        (asm_v3 + "application", {}, "", [(asm_v3 + "windowsSettings", {}, "", [
            ("{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware", {}, "true/pm", []),
            ("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness", {}, "PerMonitorV2, PerMonitor", [])])])])


def test_manifest_asks_for_administrator_names_the_systems_and_is_aware_of_display_scale(pe):
    """Read back from the file and parsed as XML: every element in its namespace (a supportedOS
    in another one is silently ignored), and nothing else."""
    manifests = resources(pe, RT_MANIFEST)
    assert list(manifests) == [1]
    assert xml_shape(ElementTree.fromstring(manifests[1])) == manifest_shape()


def symbol_names(pe):
    """The symbols the executable's symbols file names (i386: with a leading underscore)."""
    symbols = subprocess.run(["i686-w64-mingw32-nm", pe.path + ".debug"], capture_output=True, text=True,
                             check=True).stdout
    return {line.split()[-1] for line in symbols.splitlines() if line.strip()}


def test_image_encoders_left_out_and_decoders_kept(pe):
    """Nothing in the program writes an image: the JPEG and PNG encoders must not be linked in,
    while the decoders the framework uses for its cursors stay."""
    names = symbol_names(pe)
    assert {"_jpeg_CreateDecompress", "_png_create_read_struct"} <= names
    linked = names & {"_jpeg_CreateCompress", "_jinit_huff_encoder", "_png_write_info", "_png_write_row"}
    assert not linked, f"encoder code linked in: {sorted(linked)}"


STREAM_STAND_INS = Path(__file__).resolve().parents[2] / "cmake" / "windows-compat" / "stream_stand_ins.c"


def test_standard_streams_and_locale_left_out(pe):
    """The clang build links neither libstdc++'s standard streams nor its locale, and none of the
    stand-ins that keep them out (each one ends the process): the build checks the same after
    each link (cmake/CheckLeftOut.cmake)."""
    if cache("VANTREL_LTO") != "ON":
        pytest.skip("a build without link-time optimisation (the GCC fallback) keeps libstdc++'s streams and locale")
    stand_ins = {"_" + name for name in re.findall(r'^STAND_IN \(\w+, +"(_Z\w+)"\)', STREAM_STAND_INS.read_text(), re.M)}
    assert len(stand_ins) > 30, STREAM_STAND_INS
    names = symbol_names(pe)
    left = sorted(name for name in names if name in stand_ins or name.startswith("__ZNSt8ios_base4Init")
                  or name in ("__ZNSt6locale7classicEv", "__ZNSt6locale10_S_classicE"))
    assert not left, f"libstdc++'s streams or locale, or a stand-in, linked in: {left}"


def test_version_resource(pe):
    fixed = pe.VS_FIXEDFILEINFO[0]
    major, minor, patch = (int(part) for part in VERSION)
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == ((major << 16) | minor, patch << 16)   # major.minor.patch.0
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (0, 0)

    tables = [table for info in pe.FileInfo[0] if info.Key == b"StringFileInfo" for table in info.StringTable]
    assert [table.LangID.lower() for table in tables] == [b"040904e4"]
    strings = {key.decode(): value.decode() for key, value in tables[0].entries.items()}
    version = ".".join(VERSION)
    assert strings == {"CompanyName": "Keldmark", "FileDescription": "Vantrel Install", "FileVersion": version,
                       "ProductName": "Vantrel Install", "ProductVersion": version}

    translations = [var.entry for info in pe.FileInfo[0] if info.Key == b"VarFileInfo" for var in info.Var]
    assert translations == [{b"Translation": "0x0409 0x04e4"}]


def test_two_named_icon_groups_of_four_images(pe):
    groups = resources(pe, RT_GROUP_ICON)
    icons = resources(pe, RT_ICON)
    assert sorted(groups) == ["IDI_ICON1", "IDI_ICON2"]

    for name, group in groups.items():
        reserved, kind, count = struct.unpack_from("<HHH", group)
        assert (reserved, kind, count) == (0, 1, 4), name
        seen = {}
        for i in range(count):
            width, height, _, _, _, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            data = icons[icon_id]
            assert len(data) == size
            seen[width or 256] = (height or 256, bits, data[:8] == b"\x89PNG\r\n\x1a\n", data)
        assert sorted(seen) == [16, 32, 48, 256], name
        for px, (height, bits, is_png, data) in seen.items():
            assert height == px and bits == 32, (name, px)
            assert is_png == (px == 256), (name, px)  # 256 px as PNG, the rest as 32-bit bitmaps
            if not is_png:
                header_size, width, double_height, _, bitcount = struct.unpack_from("<IiiHH", data)
                assert (header_size, width, double_height, bitcount) == (40, px, 2 * px, 32)


# The signature. scripts/test builds with the throwaway code-signing certificate of tools/testca;
# a build without VANTREL_SIGN_PKCS12 is unsigned and these tests say so.

def signed_build():
    if not cache("VANTREL_SIGN_PKCS12"):
        pytest.skip("built without VANTREL_SIGN_PKCS12: unsigned (scripts/test signs with the test certificate)")
    if not (CA_DIR / "ca.crt").exists():
        pytest.fail(f"{CA_DIR}/ca.crt is missing: tools/testca {CA_DIR}")


def osslsigncode_verify(path):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", str(CA_DIR / "ca.crt"), "-in", str(path)],
                          capture_output=True, text=True)


def test_signature_verifies_against_the_test_ca(pe):
    signed_build()
    security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    assert security.Size > 0, "not signed"
    # The signature is the last thing in the file: nothing was appended or changed after it.
    assert security.VirtualAddress + security.Size == os.path.getsize(pe.path)
    result = osslsigncode_verify(pe.path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Message digest algorithm  : SHA256" in result.stdout, result.stdout
    assert "Keldmark test code signing" in result.stdout


def test_signature_allowed_by_the_programs_own_check_under_wine(tmp_path):
    # tools/folder-probe signature: the platform layer's check as the program makes it, on the
    # shipped file, in a fresh prefix trusting the test CA (tools/with-test-ca). What the check
    # refuses is shown on the tool it exists for (tests/integration/test_signed_tool.py).
    signed_build()
    if shutil.which("wine") is None:
        pytest.fail("wine is missing (scripts/setup)")
    probe = Path(BUILD) / "tools" / "folder-probe.exe"
    if not probe.exists():
        pytest.fail(f"{probe} is missing: build the windows-x86-test preset (scripts/build-for-tests)")
    prefix = wine.Prefix(tmp_path / "prefix")
    subprocess.run(["wineboot", "-i"], env=prefix.env, capture_output=True, timeout=180)
    try:
        answers = [subprocess.run(["wine", str(probe), "signature", wine.windows_path(tmp_path / f"run{i}"),
                                   wine.windows_path(Path(BUILD, name).resolve()), "Keldmark test code signing"],
                                  env=prefix.env, capture_output=True, text=True, timeout=120).stdout.strip()
                   for i, name in enumerate(EXECUTABLES)]
    finally:
        prefix.shutdown()
    assert answers == ["allowed"] * len(EXECUTABLES), answers
