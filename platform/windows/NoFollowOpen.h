#pragma once

#include "rules/OpenStatus.h"

#include <juce_core/juce_core.h>

#include <windows.h>
#include <winternl.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <utility>

/** Opening a name inside a folder by its handle, never through a link: the program runs elevated
    in folders that unprivileged processes of the same user may change.
*/
namespace platform
{
    /** A handle that closes itself; null when there is none. */
    struct Handle
    {
        explicit Handle (HANDLE handleToOwn = nullptr) : handle (handleToOwn == INVALID_HANDLE_VALUE ? nullptr : handleToOwn) {}
        ~Handle()                 { if (handle != nullptr) CloseHandle (handle); }
        Handle (Handle&& other) noexcept : handle (std::exchange (other.handle, nullptr)) {}
        Handle& operator= (Handle&& other) noexcept   { std::swap (handle, other.handle); return *this; }

        HANDLE handle;
    };

    /** NtCreateFile of `name` (relative to `root`, or an NT path when there is none), always
        with FILE_COMPLETE_IF_OPLOCKED; only a handle rules::judgeOpenStatus finds usable is
        returned: one whose open met another process's oplock is closed unused, never waited on.
    */
    inline Handle openNt (HANDLE root, const juce::String& name, ACCESS_MASK access, ULONG disposition, ULONG options,
                          ULONG sharing, PSECURITY_DESCRIPTOR madeWith = nullptr)
    {
        const auto* const wide = name.toWideCharPointer();
        const auto nameBytes = (USHORT) (std::wcslen (wide) * sizeof (wchar_t));
        UNICODE_STRING objectName { nameBytes, nameBytes, const_cast<wchar_t*> (wide) };
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes (&attributes, &objectName, OBJ_CASE_INSENSITIVE, root, madeWith);
        IO_STATUS_BLOCK status {};
        HANDLE opened = nullptr;
        const auto result = NtCreateFile (&opened, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
                                          sharing, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED,
                                          nullptr, 0);
        Handle taken (opened);
        return rules::judgeOpenStatus ((std::uint32_t) result) == rules::OpenOutcome::opened ? std::move (taken) : Handle();
    }

    /** Opens `name` in the folder `parent` by name relative to its handle, without following a
        reparse point (a junction or link is opened as itself on Windows; see isReachedAsNamed).
        What it makes gets the access list in `madeWith`, when given.
    */
    inline Handle openBelow (HANDLE parent, const juce::String& name, ACCESS_MASK access, ULONG disposition,
                             ULONG options, ULONG sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             PSECURITY_DESCRIPTOR madeWith = nullptr)
    {
        return openNt (parent, name, access | FILE_READ_ATTRIBUTES, disposition, options | FILE_OPEN_REPARSE_POINT, sharing, madeWith);
    }

    /** Opens an existing folder by its path, to open names below it; null when it cannot be. A
        junction or link on the way is followed, as the path says: only what is opened below the
        folder (openBelow) is opened without following one.
    */
    inline Handle openFolderFollowingLinks (const juce::File& folder)
    {
        // Through NtCreateFile, as CreateFileW cannot be told not to wait on an oplock; the path
        // made whole as CreateFileW would ("." and ".." resolved), then in its NT form.
        wchar_t whole[MAX_PATH * 4] {};
        const auto length = GetFullPathNameW (folder.getFullPathName().toWideCharPointer(), (DWORD) std::size (whole), whole, nullptr);

        if (length == 0 || length >= std::size (whole))
            return Handle();

        const juce::String path (whole);
        const auto ntPath = path.startsWith ("\\\\?\\") || path.startsWith ("\\\\.\\") ? "\\??\\" + path.substring (4)
                          : path.startsWith ("\\\\") ? "\\??\\UNC\\" + path.substring (2)
                          : "\\??\\" + path;
        return openNt (nullptr, ntPath, GENERIC_READ, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    }

    inline juce::String getFinalPath (HANDLE opened)
    {
        wchar_t path[1024] {};
        const auto length = GetFinalPathNameByHandleW (opened, path, (DWORD) std::size (path), FILE_NAME_NORMALIZED);
        return length > 0 && length < std::size (path) ? juce::String (path) : juce::String();
    }

    /** A final path as Win32 calls take it, without the "\\?\" that GetFinalPathNameByHandle puts first. */
    inline juce::String toWin32Path (const juce::String& finalPath)
    {
        if (finalPath.startsWith ("\\\\?\\UNC\\"))
            return "\\\\" + finalPath.substring (8);

        return finalPath.startsWith ("\\\\?\\") ? finalPath.substring (4) : finalPath;
    }

    /** True when `opened` is what is really at `name` in `parent`: no reparse point, and it
        resolves to where it was asked for (Wine opens a Unix link's target even when told not to
        and reports no reparse point; its final path shows the target).
    */
    inline bool isReachedAsNamed (const Handle& opened, HANDLE parent, const juce::String& name,
                                  BY_HANDLE_FILE_INFORMATION& info)
    {
        if (opened.handle == nullptr || ! GetFileInformationByHandle (opened.handle, &info)
             || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return false;

        const auto above = getFinalPath (parent);
        return above.isNotEmpty() && getFinalPath (opened.handle).equalsIgnoreCase (above.trimCharactersAtEnd ("\\") + "\\" + name);
    }

    inline bool isReachedAsNamed (const Handle& opened, HANDLE parent, const juce::String& name)
    {
        BY_HANDLE_FILE_INFORMATION info {};
        return isReachedAsNamed (opened, parent, name, info);
    }

    /** What tells one open file from every other: its volume's serial number and its identifier
        there. The identifier has 128 bits (on ReFS the 64-bit index may not be unique); only
        where the system cannot give those (before Windows 8) the 64-bit index stands for it.
    */
    struct FileIdentity
    {
        enum class Kind { none, index64, id128 };

        Kind kind = Kind::none;
        ULONGLONG volume = 0;
        BYTE id[16] {};

        /** Known, and of the same file: never by identities of different kinds. */
        bool isSameFileAs (const FileIdentity& other) const
        {
            return kind != Kind::none && kind == other.kind && volume == other.volume && std::memcmp (id, other.id, sizeof (id)) == 0;
        }
    };

    inline FileIdentity identify (HANDLE opened)
    {
        FileIdentity identity;
        FILE_ID_INFO full {};

        if (GetFileInformationByHandleEx (opened, FileIdInfo, &full, sizeof (full)))
        {
            identity.kind = FileIdentity::Kind::id128;
            identity.volume = full.VolumeSerialNumber;
            std::memcpy (identity.id, full.FileId.Identifier, sizeof (identity.id));
            return identity;
        }

        // What the system says when it does not know the call (older systems, some file systems).
        const auto error = GetLastError();
        const auto unsupported = error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED
                              || error == ERROR_INVALID_FUNCTION || error == ERROR_CALL_NOT_IMPLEMENTED;
        BY_HANDLE_FILE_INFORMATION info {};

        if (unsupported && GetFileInformationByHandle (opened, &info))
        {
            identity.kind = FileIdentity::Kind::index64;
            identity.volume = info.dwVolumeSerialNumber;
            const auto index = ((ULONGLONG) info.nFileIndexHigh << 32) | info.nFileIndexLow;
            std::memcpy (identity.id, &index, sizeof (index));
        }

        return identity;
    }

    /** Whether two open handles are of the same file, whatever the paths they were opened by. */
    inline bool isSameFile (HANDLE first, HANDLE second)
    {
        return identify (first).isSameFileAs (identify (second));
    }

    /** Marks an opened file or empty folder to be deleted when its last handle closes. */
    inline bool deleteOnClose (const Handle& opened)
    {
        FILE_DISPOSITION_INFO disposition { TRUE };
        return SetFileInformationByHandle (opened.handle, FileDispositionInfo, &disposition, sizeof (disposition)) != FALSE;
    }
}
