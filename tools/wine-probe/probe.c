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
 */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
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

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
    {
        fprintf(stderr, "usage: probe rename|write|delete|hold-log-turn|hold-new|end-session <path or title>\n");
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
    else
    {
        fprintf(stderr, "unknown request\n");
        return 2;
    }

    return 0;
}
