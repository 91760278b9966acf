/*
 * What another Windows process can do to a running Vantrel Install, for the tests under Wine.
 * One request per run; prints one line and exits 0 when the request could be made at all.
 *
 *   probe rename <folder>         tries to rename the folder away       -> "renamed" / "refused <error>"
 *   probe write <file>            tries to open the file for writing    -> "opened" / "refused <error>"
 *   probe delete <file>           tries to delete the file               -> "deleted" / "refused <error>"
 *   probe end-session <title>     sends WM_QUERYENDSESSION, as the system does at log-off, to
 *                                 every top-level window (shown or not) with that title
 *                                 -> "sent <count>"
 *   probe add-user-root <file>    adds the certificate (PEM) to the current user's Root store, as any
 *                                 program of the user can without elevation -> "added" / "refused <error>"
 *   probe remove-user-root <file> takes it out of that store again -> "removed" / "refused <error>"
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>
#include <wchar.h>

static int refused(void)
{
    printf("refused %lu\n", (unsigned long) GetLastError());
    return 0;
}

struct EndSession
{
    const wchar_t* title;
    int count;
};

static BOOL CALLBACK sendEndSession(HWND window, LPARAM parameter)
{
    struct EndSession* request = (struct EndSession*) parameter;
    wchar_t title[256];

    if (GetWindowTextW(window, title, 256) > 0 && wcscmp(title, request->title) == 0)
    {
        DWORD_PTR answer = 0;
        SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_ABORTIFHUNG, 5000, &answer);
        ++request->count;
    }

    return TRUE;
}

/* The DER bytes of the PEM certificate in `path` (into `der`, at most `size`); 0 when unreadable. */
static DWORD readCertificate(const wchar_t* path, BYTE* der, DWORD size)
{
    char pem[16384];
    FILE* file = _wfopen(path, L"rb");
    size_t length = file ? fread(pem, 1, sizeof pem - 1, file) : 0;
    if (file)
        fclose(file);
    pem[length] = '\0';
    return length > 0 && CryptStringToBinaryA(pem, 0, CRYPT_STRING_BASE64HEADER, der, &size, NULL, NULL) ? size : 0;
}

/* The user's own Root store as the registry keeps it: deleting through the "Root" system store
   does not last under Wine 8. */
static HCERTSTORE openUserRoots(HKEY* key)
{
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\SystemCertificates\\Root", 0, KEY_ALL_ACCESS, key) != ERROR_SUCCESS)
        return NULL;
    return CertOpenStore(CERT_STORE_PROV_REG, 0, 0, 0, *key);
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
    {
        fprintf(stderr, "usage: probe rename|write|delete|hold-log-turn|hold-new|end-session|add-user-root|remove-user-root <path or title>\n");
        return 2;
    }

    const wchar_t* what = argv[1];
    const wchar_t* path = argv[2];

    if (wcscmp(what, L"rename") == 0)
    {
        wchar_t moved[MAX_PATH + 8];
        swprintf(moved, MAX_PATH + 8, L"%ls.moved", path);
        if (! MoveFileW(path, moved))
            return refused();
        puts("renamed");
    }
    else if (wcscmp(what, L"write") == 0)
    {
        HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return refused();
        CloseHandle(file);
        puts("opened");
    }
    else if (wcscmp(what, L"delete") == 0)
    {
        if (! DeleteFileW(path))
            return refused();
        puts("deleted");
    }
    else if (wcscmp(what, L"hold-log-turn") == 0)
    {
        /* The byte the log's writers take turns on, held until this probe is ended. */
        HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        OVERLAPPED turn = { 0 };
        turn.OffsetHigh = 0x40000000;
        if (file == INVALID_HANDLE_VALUE || ! LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn))
            return refused();
        puts("holding");
        fflush(stdout);
        Sleep(INFINITE);
    }
    else if (wcscmp(what, L"hold-new") == 0)
    {
        /* A file of another process in a folder, open without delete sharing until this probe is
           ended: what a tool's leftover helper may do in its working folder. */
        HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return refused();
        puts("holding");
        fflush(stdout);
        Sleep(INFINITE);
    }
    else if (wcscmp(what, L"end-session") == 0)
    {
        struct EndSession request = { path, 0 };
        EnumWindows(sendEndSession, (LPARAM) &request);
        printf("sent %d\n", request.count);
    }
    else if (wcscmp(what, L"add-user-root") == 0 || wcscmp(what, L"remove-user-root") == 0)
    {
        BYTE der[8192];
        DWORD size = readCertificate(path, der, sizeof der);
        if (size == 0)
            return refused();
        if (what[0] == L'a')
        {
            HCERTSTORE roots = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
            BOOL added = roots && CertAddEncodedCertificateToStore(roots, X509_ASN_ENCODING, der, size,
                                                                   CERT_STORE_ADD_REPLACE_EXISTING, NULL);
            if (roots)
                CertCloseStore(roots, 0);
            if (! added)
                return refused();
            puts("added");
        }
        else
        {
            HKEY key = NULL;
            HCERTSTORE roots = openUserRoots(&key);
            PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der, size);
            PCCERT_CONTEXT found = roots && wanted ? CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                                                 wanted, NULL) : NULL;
            BOOL removed = found && CertDeleteCertificateFromStore(found);
            if (wanted)
                CertFreeCertificateContext(wanted);
            if (roots)
                CertCloseStore(roots, 0);
            if (key)
                RegCloseKey(key);
            if (! removed)
                return refused();
            puts("removed");
        }
    }
    else
    {
        fprintf(stderr, "unknown request\n");
        return 2;
    }

    return 0;
}
