"""The Windows executable as built: its resources read back from the file, and its imports."""

import os
import re
import struct

import pefile
import pytest

BUILD = os.environ.get("VANTREL_WINDOWS_BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build/windows-x86"))
EXECUTABLES = ["VantrelInstall.exe", "VantrelInstall_en.exe"]

# Libraries every Windows installation has; nothing of the MinGW run time may be needed beside the exe.
SYSTEM_DLLS = {"advapi32.dll", "comdlg32.dll", "dxgi.dll", "gdi32.dll", "imm32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll",
               "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "version.dll",
               "wininet.dll", "winmm.dll", "ws2_32.dll"}

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


@pytest.fixture(scope="module", params=EXECUTABLES)
def pe(request):
    path = os.path.join(BUILD, request.param)
    if not os.path.exists(path):
        pytest.fail(f"{path} is missing: build the windows-x86 preset first (scripts/test does)")
    image = pefile.PE(path)
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


def test_imports_only_system_libraries(pe):
    imported = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    assert imported <= SYSTEM_DLLS, f"not system libraries: {imported - SYSTEM_DLLS}"
    assert "wininet.dll" in imported  # downloads go through the system's HTTP stack


def test_links_the_dll_search_hardening(pe):
    # Only the hardening calls it; SetDefaultDllDirectories is looked up, not imported.
    kernel32 = [entry for entry in pe.DIRECTORY_ENTRY_IMPORT if entry.dll.decode().lower() == "kernel32.dll"]
    names = {imp.name for entry in kernel32 for imp in entry.imports}
    assert b"SetDllDirectoryW" in names


def test_manifest_requires_administrator_and_nothing_else(pe):
    manifests = resources(pe, RT_MANIFEST)
    assert list(manifests) == [1]
    text = manifests[1].decode("utf-8")
    assert re.search(r'<requestedExecutionLevel\s+level="requireAdministrator"\s+uiAccess="false"\s*/>', text)
    elements = set(re.findall(r"<([A-Za-z]+)", text))
    assert elements == {"assembly", "trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel"}


def test_version_resource(pe):
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == ((1 << 16) | 1, (1 << 16) | 0)  # 1.1.1.0
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (0, 0)

    tables = [table for info in pe.FileInfo[0] if info.Key == b"StringFileInfo" for table in info.StringTable]
    assert [table.LangID.lower() for table in tables] == [b"040904e4"]
    strings = {key.decode(): value.decode() for key, value in tables[0].entries.items()}
    assert strings == {"CompanyName": "Keldmark", "FileDescription": "Vantrel Install", "FileVersion": "1.1.1",
                       "ProductName": "Vantrel Install", "ProductVersion": "1.1.1"}

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
