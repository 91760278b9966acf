/*
 * Demo stand-in for the full setup tool: what Vantrel Install downloads and starts in the
 * demo (docs/demo.md). It shows a small window saying what it is, counts down and closes itself
 * (exit code 0). An optional first argument sets the number of seconds (default 5).
 *
 * Build: i686-w64-mingw32-gcc-posix -O2 -mwindows -static -o demo-setup-tool.exe demo.c
 */
#ifndef UNICODE
#  define UNICODE
#endif
#ifndef _UNICODE
#  define _UNICODE
#endif
#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

#define CLIENT_W 420
#define CLIENT_H 160
#define PAD 16
#define BUTTON_W 88
#define BUTTON_H 26
#define ID_CLOSE 100
#define ID_TIMER 1

static int seconds_left = 5;
static HWND countdown_label;
static HFONT body_font, title_font;

static void update_countdown(void)
{
    wchar_t text[128];
    swprintf(text, sizeof text / sizeof text[0], L"This window closes itself in %d second%ls.",
             seconds_left, seconds_left == 1 ? L"" : L"s");
    SetWindowTextW(countdown_label, text);
}

static HWND add_label(HWND parent, const wchar_t *text, int x, int y, int w, int h, HFONT font)
{
    HWND label = CreateWindowExW(0, L"STATIC", text, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX,
                                 x, y, w, h, parent, NULL, GetModuleHandleW(NULL), NULL);
    SendMessageW(label, WM_SETFONT, (WPARAM)font, TRUE);
    return label;
}

static void make_fonts(void)
{
    /* The system's message font (what dialogs use), and a bold, slightly larger one for the title. */
    NONCLIENTMETRICSW ncm;
    ncm.cbSize = sizeof ncm;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0)) {
        body_font = CreateFontIndirectW(&ncm.lfMessageFont);
        LOGFONTW bold = ncm.lfMessageFont;
        bold.lfWeight = FW_BOLD;
        bold.lfHeight = bold.lfHeight < 0 ? bold.lfHeight - 3 : bold.lfHeight + 3;
        title_font = CreateFontIndirectW(&bold);
    }
    if (!body_font)
        body_font = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
    if (!title_font)
        title_font = body_font;
}

static LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_CREATE: {
        const int w = CLIENT_W - 2 * PAD;
        add_label(hwnd, L"Vantrel Setup (demo)", PAD, PAD, w, 22, title_font);
        add_label(hwnd,
                  L"This is the demo stand-in for the full setup tool that Vantrel Install "
                  L"downloads and starts. It does not install anything.",
                  PAD, PAD + 28, w, 36, body_font);
        countdown_label = add_label(hwnd, L"", PAD, PAD + 72, w, 18, body_font);
        HWND button = CreateWindowExW(0, L"BUTTON", L"Close now",
                                      WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                                      CLIENT_W - 12 - BUTTON_W, CLIENT_H - 12 - BUTTON_H,
                                      BUTTON_W, BUTTON_H, hwnd, (HMENU)(INT_PTR)ID_CLOSE,
                                      GetModuleHandleW(NULL), NULL);
        SendMessageW(button, WM_SETFONT, (WPARAM)body_font, TRUE);
        update_countdown();
        SetTimer(hwnd, ID_TIMER, 1000, NULL);
        return 0;
    }
    case WM_TIMER:
        if (wp == ID_TIMER) {
            if (--seconds_left <= 0) {
                KillTimer(hwnd, ID_TIMER);
                DestroyWindow(hwnd);
            } else {
                update_countdown();
            }
        }
        return 0;
    case WM_COMMAND:
        if (LOWORD(wp) == ID_CLOSE || LOWORD(wp) == IDCANCEL)
            DestroyWindow(hwnd);
        return 0;
    case WM_CTLCOLORSTATIC:
        /* Labels on the window's own background, not the grey dialog one. */
        SetBkColor((HDC)wp, GetSysColor(COLOR_WINDOW));
        SetTextColor((HDC)wp, GetSysColor(COLOR_WINDOWTEXT));
        return (LRESULT)GetSysColorBrush(COLOR_WINDOW);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR cmdline, int show)
{
    (void)prev;
    if (cmdline && *cmdline) {
        long n = strtol(cmdline, NULL, 10);
        if (n > 0 && n <= 3600)
            seconds_left = (int)n;
    }
    make_fonts();

    WNDCLASSEXW wc = {0};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = inst;
    wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    wc.hIcon = LoadIconW(NULL, (LPCWSTR)IDI_APPLICATION);
    wc.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
    wc.lpszClassName = L"VantrelSetupDemo";
    if (!RegisterClassExW(&wc))
        return 1;

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT r = {0, 0, CLIENT_W, CLIENT_H};
    AdjustWindowRectEx(&r, style, FALSE, 0);
    const int w = r.right - r.left, h = r.bottom - r.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2, y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;

    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"Vantrel Setup (demo)", style, x, y, w, h, NULL,
                                NULL, inst, NULL);
    if (!hwnd)
        return 1;
    ShowWindow(hwnd, show);
    UpdateWindow(hwnd);
    SetForegroundWindow(hwnd);

    MSG msg;
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
        if (!IsDialogMessageW(hwnd, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return 0;
}
