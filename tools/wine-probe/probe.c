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
 *   probe verify-signature <file> checks the file's Authenticode signature as Windows does:
 *                                 WinVerifyTrust, then the signer's certificate chain against
 *                                 the machine's trusted roots (CertVerifyCertificateChainPolicy;
 *                                 Wine's WinVerifyTrust alone accepts an untrusted root)
 *                                 -> "trusted <signer>" / "untrusted <step> 0x<error>"
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
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

static int untrusted(const char* step, LONG error)
{
    printf("untrusted %s 0x%08lx\n", step, (unsigned long) error);
    return 0;
}

/* Reusable for an in-product check: the file's signature and its signer's chain, both verified. */
static int verifySignature(const wchar_t* path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return refused();

    WINTRUST_FILE_INFO fileInfo = { sizeof (fileInfo) };
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = file;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_DATA data = { sizeof (data) };
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;

    LONG status = WinVerifyTrust ((HWND) INVALID_HANDLE_VALUE, &action, &data);
    int result;

    if (status != 0)
    {
        result = untrusted("signature", status);
    }
    else
    {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer = provider != NULL ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : NULL;

        if (signer == NULL || signer->pChainContext == NULL || signer->csCertChain == 0)
        {
            result = untrusted("signer", (LONG) GetLastError());
        }
        else
        {
            CERT_CHAIN_POLICY_PARA policy = { sizeof (policy) };
            CERT_CHAIN_POLICY_STATUS policyStatus = { sizeof (policyStatus) };

            if (! CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, signer->pChainContext, &policy, &policyStatus))
                result = untrusted("chain", (LONG) GetLastError());
            else if (policyStatus.dwError != 0)
                result = untrusted("chain", (LONG) policyStatus.dwError);
            else
            {
                wchar_t name[256];
                CertGetNameStringW(signer->pasCertChain[0].pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, NULL, name, 256);
                printf("trusted %ls\n", name);
                result = 0;
            }
        }
    }

    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust ((HWND) INVALID_HANDLE_VALUE, &action, &data);
    CloseHandle(file);
    return result;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
    {
        fprintf(stderr, "usage: probe rename|write|delete|hold-log-turn|end-session|verify-signature <path or title>\n");
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
    else if (wcscmp(what, L"end-session") == 0)
    {
        struct EndSession request = { path, 0 };
        EnumWindows(sendEndSession, (LPARAM) &request);
        printf("sent %d\n", request.count);
    }
    else if (wcscmp(what, L"verify-signature") == 0)
    {
        return verifySignature(path);
    }
    else
    {
        fprintf(stderr, "unknown request\n");
        return 2;
    }

    return 0;
}
