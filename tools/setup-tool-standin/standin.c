/*
 * Stand-in for the setup tool that Vantrel Install downloads and runs, for tests.
 *
 * Its behaviour comes from a trailer that the test mirror appends to the executable
 * (ELF and PE loaders ignore bytes after the image). The trailer runs from the last
 * "VANTREL-STANDIN" in the file's last 4 KiB to the end of the file (trailing blanks and
 * newlines are ignored), and must be a single line:
 *
 *   VANTREL-STANDIN exit=3 sleep-ms=2000 stdout-bytes=1048576 own-file=rename record=/tmp/x/record.txt
 *
 * A Windows stand-in may be signed after the trailer was appended (the signature tests do it):
 * then the trailer ends where the signature begins, and the zeros that pad it to 8 bytes are
 * ignored.
 *
 * All keys are optional (default 0 / no record) and may come in any order, except that
 * record= must be last: its value is the rest of the line, so it may hold spaces
 * (under Wine, a Windows path such as Z:\tmp\x\record.txt).
 *
 * With a trailer: appends "start ..." (arguments, own path, working folder, and a JSON object of
 * the environment variables that decide where it unpacks and what it loads) to the record
 * file, writes stdout-bytes bytes to standard output, with own-file=rename renames its own
 * file to "<name>.moved" (own-file=delete: deletes it) and writes "left-by-tool.txt" in its
 * working folder, as setup tools that clean up after themselves do, sleeps sleep-ms, appends
 * "exit <code> ...", exits with the code.
 * Without one: records nothing and exits 0.
 *
 * Build: gcc -O2 -Wall -Wextra -o standin standin.c
 *        i686-w64-mingw32-gcc-posix -O2 -static -o standin.exe standin.c
 */
#ifdef _WIN32
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#  include <shellapi.h>
#else
#  define _GNU_SOURCE
#  include <errno.h>
#  include <fcntl.h>
#  include <signal.h>
#  include <sys/stat.h>
#  include <time.h>
#  include <unistd.h>
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define TAIL_BYTES 4096
#define MARKER "VANTREL-STANDIN"

struct trailer {
    long long exit_code;
    long long sleep_ms;
    long long stdout_bytes;
    char own_file[16];
    char record[TAIL_BYTES];
};

/* A growable string for building a record line, so it can be written in one append. */
struct buf {
    char *p;
    size_t len, cap;
};

static void buf_add(struct buf *b, const char *s, size_t n)
{
    if (b->len + n + 1 > b->cap) {
        size_t cap = b->cap ? b->cap : 256;
        while (b->len + n + 1 > cap)
            cap *= 2;
        char *p = realloc(b->p, cap);
        if (!p)
            exit(125);
        b->p = p;
        b->cap = cap;
    }
    memcpy(b->p + b->len, s, n);
    b->len += n;
    b->p[b->len] = '\0';
}

static void buf_str(struct buf *b, const char *s) { buf_add(b, s, strlen(s)); }

/* Quoted JSON-style, so any argument (spaces, quotes, backslashes) reads back unambiguously. */
static void buf_quoted(struct buf *b, const char *s)
{
    buf_add(b, "\"", 1);
    for (; *s; s++) {
        unsigned char c = (unsigned char)*s;
        char esc[8];
        if (c == '"' || c == '\\') {
            esc[0] = '\\';
            esc[1] = (char)c;
            buf_add(b, esc, 2);
        } else if (c < 0x20 || c == 0x7f) {
            snprintf(esc, sizeof esc, "\\u%04x", c);
            buf_str(b, esc);
        } else {
            buf_add(b, (const char *)&c, 1);
        }
    }
    buf_add(b, "\"", 1);
}

static int parse_number(const char *value, size_t n, long long *out)
{
    char tmp[32];
    char *end;
    if (n == 0 || n >= sizeof tmp)
        return 0;
    memcpy(tmp, value, n);
    tmp[n] = '\0';
    long long v = strtoll(tmp, &end, 10);
    if (*end != '\0')
        return 0;
    *out = v;
    return 1;
}

/* Finds the trailer in the last bytes of the file; returns 1 if there is a valid one. */
static int parse_trailer(const char *tail, size_t n, struct trailer *t)
{
    size_t end = n;
    while (end > 0 && (tail[end - 1] == '\n' || tail[end - 1] == '\r' || tail[end - 1] == ' '
                       || tail[end - 1] == '\t' || tail[end - 1] == '\0'))
        end--;
    /* The executable's own bytes need not end in a newline, so the marker may follow binary
       data on the same "line"; take its last occurrence with only trailer text after it. The
       marker's copy inside the program's data is always followed by a NUL, so it never matches. */
    size_t mlen = strlen(MARKER);
    size_t start = end;
    for (;;) {
        if (start == 0 || tail[start - 1] == '\n' || tail[start - 1] == '\0')
            return 0;
        start--;
        if (end - start >= mlen && memcmp(tail + start, MARKER, mlen) == 0
            && (end - start == mlen || tail[start + mlen] == ' ' || tail[start + mlen] == '\t'))
            break;
    }

    memset(t, 0, sizeof *t);
    size_t i = start + mlen;
    while (i < end) {
        while (i < end && (tail[i] == ' ' || tail[i] == '\t'))
            i++;
        if (i >= end)
            break;
        size_t tok = i;
        while (i < end && tail[i] != ' ' && tail[i] != '\t')
            i++;
        const char *eq = memchr(tail + tok, '=', i - tok);
        if (!eq) {
            fprintf(stderr, "standin: ignoring trailer word without '='\n");
            continue;
        }
        size_t klen = (size_t)(eq - (tail + tok));
        const char *val = eq + 1;
        size_t vlen = (size_t)((tail + i) - val);
        if (klen == 6 && memcmp(tail + tok, "record", 6) == 0) {
            vlen = (size_t)((tail + end) - val); /* the rest of the line */
            memcpy(t->record, val, vlen);
            t->record[vlen] = '\0';
            break;
        }
        if (klen == 8 && memcmp(tail + tok, "own-file", 8) == 0 && vlen < sizeof t->own_file) {
            memcpy(t->own_file, val, vlen);
            t->own_file[vlen] = '\0';
            continue;
        }
        long long *dst = NULL;
        if (klen == 4 && memcmp(tail + tok, "exit", 4) == 0)
            dst = &t->exit_code;
        else if (klen == 8 && memcmp(tail + tok, "sleep-ms", 8) == 0)
            dst = &t->sleep_ms;
        else if (klen == 12 && memcmp(tail + tok, "stdout-bytes", 12) == 0)
            dst = &t->stdout_bytes;
        if (!dst || !parse_number(val, vlen, dst))
            fprintf(stderr, "standin: ignoring trailer word %.*s\n", (int)(i - tok), tail + tok);
    }
    if (t->sleep_ms < 0)
        t->sleep_ms = 0;
    if (t->stdout_bytes < 0)
        t->stdout_bytes = 0;
    return 1;
}

/* ---- platform parts: own path, reading the tail, appending, time, stdout, sleep ---- */

#ifdef _WIN32

static char *utf8_from_wide(const wchar_t *w)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, NULL, 0, NULL, NULL);
    char *s = malloc(n > 0 ? (size_t)n : 1);
    if (!s)
        exit(125);
    if (n <= 0 || !WideCharToMultiByte(CP_UTF8, 0, w, -1, s, n, NULL, NULL))
        s[0] = '\0';
    return s;
}

static wchar_t *own_path_w(void)
{
    DWORD cap = MAX_PATH;
    for (;;) {
        wchar_t *p = malloc(cap * sizeof *p);
        if (!p)
            exit(125);
        DWORD n = GetModuleFileNameW(NULL, p, cap);
        if (n == 0) {
            free(p);
            return NULL;
        }
        if (n < cap)
            return p;
        free(p);
        cap *= 2;
    }
}

static int read_at(HANDLE h, LONGLONG offset, void *into, DWORD n)
{
    LARGE_INTEGER pos;
    DWORD got = 0;
    pos.QuadPart = offset;
    return SetFilePointerEx(h, pos, NULL, FILE_BEGIN) && ReadFile(h, into, n, &got, NULL) && got == n;
}

/* Where the bytes after the image end: the start of the Authenticode signature when the file is
   signed (its certificate table is the end of the file), else the end of the file. */
static LONGLONG trailer_end(HANDLE h, LONGLONG size)
{
    unsigned long pe_at = 0, table[2] = {0, 0};
    unsigned short magic = 0;
    if (!read_at(h, 0x3c, &pe_at, 4) || !read_at(h, (LONGLONG)pe_at + 24, &magic, 2))
        return size;
    /* Data directory 4 (security), after the optional header's fixed part (PE32 or PE32+). */
    LONGLONG directory = (LONGLONG)pe_at + 24 + (magic == 0x20b ? 112 : 96) + 4 * 8;
    if (!read_at(h, directory, table, 8) || table[0] == 0 || (LONGLONG)table[0] + table[1] != size)
        return size;
    return (LONGLONG)table[0];
}

static size_t read_tail(char *tail, char **own_path)
{
    wchar_t *path = own_path_w();
    *own_path = utf8_from_wide(path ? path : L"");
    if (!path)
        return 0;
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    free(path);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    LARGE_INTEGER size, pos;
    DWORD got = 0;
    if (GetFileSizeEx(h, &size)) {
        size.QuadPart = trailer_end(h, size.QuadPart);
        pos.QuadPart = size.QuadPart > TAIL_BYTES ? size.QuadPart - TAIL_BYTES : 0;
        if (!SetFilePointerEx(h, pos, NULL, FILE_BEGIN)
            || !ReadFile(h, tail, (DWORD)(size.QuadPart - pos.QuadPart), &got, NULL))
            got = 0;
    }
    CloseHandle(h);
    return got;
}

static void append_line(const char *path, const char *line, size_t len)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, NULL, 0);
    wchar_t *w = malloc((n > 0 ? (size_t)n : 1) * sizeof *w);
    if (!w || n <= 0 || !MultiByteToWideChar(CP_UTF8, 0, path, -1, w, n)) {
        fprintf(stderr, "standin: bad record path\n");
        free(w);
        return;
    }
    HANDLE h = CreateFileW(w, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    free(w);
    /* Wine appends by writing at the end it has just looked up, so stand-ins of several instances
       ending at once could overwrite each other's lines: one appender at a time, by a lock. */
    OVERLAPPED whole = {0};
    DWORD put;
    int locked = h != INVALID_HANDLE_VALUE && LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    if (!locked || SetFilePointer(h, 0, NULL, FILE_END) == INVALID_SET_FILE_POINTER
        || !WriteFile(h, line, (DWORD)len, &put, NULL) || put != len)
        fprintf(stderr, "standin: cannot append to %s (error %lu)\n", path, GetLastError());
    if (locked)
        UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}

static void now_iso(char *out, size_t n)
{
    SYSTEMTIME st;
    GetSystemTime(&st);
    snprintf(out, n, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", st.wYear, st.wMonth, st.wDay, st.wHour,
             st.wMinute, st.wSecond, st.wMilliseconds);
}

static unsigned long own_pid(void) { return GetCurrentProcessId(); }

/* Returns 0 once the reader has gone away (or there is no stdout at all). */
static int write_stdout(const char *p, size_t n)
{
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD put;
    if (h == NULL || h == INVALID_HANDLE_VALUE)
        return 0;
    while (n > 0) {
        if (!WriteFile(h, p, (DWORD)n, &put, NULL) || put == 0)
            return 0;
        p += put;
        n -= put;
    }
    return 1;
}

static void sleep_ms(long long ms)
{
    while (ms > 0) {
        DWORD step = ms > 86400000 ? 86400000 : (DWORD)ms;
        Sleep(step);
        ms -= step;
    }
}

/* Arguments as the process really got them (wide), not through the ANSI code page. */
static char **own_args(int *argc, char **narrow)
{
    int n = 0;
    wchar_t **w = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!w)
        return narrow;
    char **out = calloc((size_t)n + 1, sizeof *out);
    if (!out)
        exit(125);
    for (int i = 0; i < n; i++)
        out[i] = utf8_from_wide(w[i]);
    LocalFree(w);
    *argc = n;
    return out;
}

static char *own_cwd(void)
{
    wchar_t w[32768];
    DWORD n = GetCurrentDirectoryW(sizeof w / sizeof w[0], w);
    return utf8_from_wide(n > 0 && n < sizeof w / sizeof w[0] ? w : L"");
}

/* The value of the environment variable `name` (ASCII), or NULL when it is not set. */
static char *own_env(const char *name)
{
    static wchar_t w[32768];
    wchar_t wname[64];
    size_t i = 0;
    for (; name[i] && i + 1 < sizeof wname / sizeof wname[0]; i++)
        wname[i] = (wchar_t)name[i];
    wname[i] = L'\0';
    DWORD n = GetEnvironmentVariableW(wname, w, sizeof w / sizeof w[0]);
    return n > 0 && n < sizeof w / sizeof w[0] ? utf8_from_wide(w) : NULL;
}

/* Renames ("rename") or deletes its own file, then leaves a file of its own beside it. */
static void treat_own_file(const char *how)
{
    wchar_t *path = own_path_w();
    if (path) {
        size_t n = wcslen(path);
        wchar_t *moved = malloc((n + 7) * sizeof *moved);
        if (!moved)
            exit(125);
        memcpy(moved, path, n * sizeof *path);
        memcpy(moved + n, L".moved", 7 * sizeof *moved);
        if (!(strcmp(how, "delete") == 0 ? DeleteFileW(path) : MoveFileExW(path, moved, 0)))
            fprintf(stderr, "standin: cannot %s its own file (error %lu)\n", how, GetLastError());
        free(moved);
        free(path);
    }
    HANDLE h = CreateFileW(L"left-by-tool.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD put;
    if (h == INVALID_HANDLE_VALUE || !WriteFile(h, "left\n", 5, &put, NULL))
        fprintf(stderr, "standin: cannot leave a file (error %lu)\n", GetLastError());
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}

#else /* Linux */

static size_t read_tail(char *tail, char **own_path)
{
    char link[4096];
    ssize_t ln = readlink("/proc/self/exe", link, sizeof link - 1);
    link[ln > 0 ? ln : 0] = '\0';
    *own_path = strdup(link);
    if (!*own_path)
        exit(125);

    int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st;
    size_t got = 0;
    if (fstat(fd, &st) == 0) {
        off_t pos = st.st_size > TAIL_BYTES ? st.st_size - TAIL_BYTES : 0;
        while (got < TAIL_BYTES) {
            ssize_t r = pread(fd, tail + got, TAIL_BYTES - got, pos + (off_t)got);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            got += (size_t)r;
        }
    }
    close(fd);
    return got;
}

static void append_line(const char *path, const char *line, size_t len)
{
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    ssize_t put = fd >= 0 ? write(fd, line, len) : -1;
    if (put < 0 || (size_t)put != len)
        fprintf(stderr, "standin: cannot append to %s\n", path);
    if (fd >= 0)
        close(fd);
}

static void now_iso(char *out, size_t n)
{
    struct timespec ts;
    struct tm tm;
    clock_gettime(CLOCK_REALTIME, &ts);
    gmtime_r(&ts.tv_sec, &tm);
    snprintf(out, n, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ts.tv_nsec / 1000000);
}

static unsigned long own_pid(void) { return (unsigned long)getpid(); }

static int write_stdout(const char *p, size_t n)
{
    while (n > 0) {
        ssize_t put = write(STDOUT_FILENO, p, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return 0;
        p += put;
        n -= (size_t)put;
    }
    return 1;
}

static void sleep_ms(long long ms)
{
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

static char **own_args(int *argc, char **narrow)
{
    (void)argc;
    return narrow;
}

static char *own_cwd(void)
{
    static char cwd[4096];
    return getcwd(cwd, sizeof cwd) ? cwd : "";
}

static char *own_env(const char *name)
{
    const char *value = getenv(name);
    return value ? strdup(value) : NULL;
}

/* Renames ("rename") or deletes its own file, then leaves a file of its own beside it. */
static void treat_own_file(const char *how)
{
    char path[4096], moved[4200];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    path[n > 0 ? n : 0] = '\0';
    snprintf(moved, sizeof moved, "%s.moved", path);
    if ((strcmp(how, "delete") == 0 ? unlink(path) : rename(path, moved)) != 0)
        fprintf(stderr, "standin: cannot %s its own file\n", how);
    int fd = open("left-by-tool.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, "left\n", 5) != 5)
        fprintf(stderr, "standin: cannot leave a file\n");
    if (fd >= 0)
        close(fd);
}

#endif

static void record_line(const char *path, struct buf *b)
{
    buf_add(b, "\n", 1);
    append_line(path, b->p, b->len);
    b->len = 0;
}

int main(int argc, char **argv)
{
    static char tail[TAIL_BYTES];
    static struct trailer t;
    char *self = NULL;
    char stamp[96];
    char num[64];

#ifndef _WIN32
    signal(SIGPIPE, SIG_IGN); /* a reader that goes away must not kill us before we record the exit */
#endif
    size_t n = read_tail(tail, &self);
    if (!parse_trailer(tail, n, &t))
        return 0;

    argv = own_args(&argc, argv);
    struct buf line = {0};
    if (t.record[0]) {
        now_iso(stamp, sizeof stamp);
        buf_str(&line, "start time=");
        buf_str(&line, stamp);
        snprintf(num, sizeof num, " pid=%lu argc=%d args=[", own_pid(), argc - 1);
        buf_str(&line, num);
        for (int i = 1; i < argc; i++) {
            if (i > 1)
                buf_add(&line, ",", 1);
            buf_quoted(&line, argv[i]);
        }
        buf_str(&line, "] exe=");
        buf_quoted(&line, self);
        buf_str(&line, " cwd=");
        buf_quoted(&line, own_cwd());
        /* What it was started with of what decides where it unpacks and what it loads. */
        static const char *const recorded[] = {
            "TEMP", "TMP", "TMPDIR", "PATH", "COR_ENABLE_PROFILING", "COR_PROFILER", "COR_PROFILER_PATH",
            "CORECLR_PROFILER_PATH", "DOTNET_STARTUP_HOOKS", "DOTNET_ADDITIONAL_DEPS", "LD_PRELOAD",
            "VANTREL_USER_SETTING",
        };
        buf_str(&line, " env={");
        for (size_t i = 0; i < sizeof recorded / sizeof recorded[0]; i++) {
            char *value = own_env(recorded[i]);
            if (i > 0)
                buf_add(&line, ",", 1);
            buf_quoted(&line, recorded[i]);
            buf_add(&line, ":", 1);
            if (value)
                buf_quoted(&line, value);
            else
                buf_str(&line, "null");
            free(value);
        }
        buf_add(&line, "}", 1);
        record_line(t.record, &line);
    }

    if (t.stdout_bytes > 0) {
        static char chunk[65536];
        const char pattern[] = "vantrel standin output 0123456789 abcdefghijklmnopqrstuvwxyz\n";
        for (size_t i = 0; i < sizeof chunk; i++)
            chunk[i] = pattern[i % (sizeof pattern - 1)];
        long long left = t.stdout_bytes;
        while (left > 0) {
            size_t step = left > (long long)sizeof chunk ? sizeof chunk : (size_t)left;
            if (!write_stdout(chunk, step))
                break;
            left -= (long long)step;
        }
    }

    if (t.own_file[0])
        treat_own_file(t.own_file);

    sleep_ms(t.sleep_ms);

    if (t.record[0]) {
        now_iso(stamp, sizeof stamp);
        snprintf(num, sizeof num, "exit %lld pid=%lu time=", t.exit_code, own_pid());
        buf_str(&line, num);
        buf_str(&line, stamp);
        record_line(t.record, &line);
    }
    free(line.p);
    free(self);
    return (int)t.exit_code;
}
