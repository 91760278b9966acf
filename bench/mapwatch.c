/*
 * Prints one line per top-level window mapped on the display, as the X server reports it:
 *
 *   map <CLOCK_MONOTONIC seconds> <window id> <WM_NAME>
 *
 * after a first line "ready" once it is listening. The benchmark starts it once and reads the
 * time a program's window was shown from it: MapNotify on the root window is when the server
 * made the window viewable, with no polling in between.
 *
 * Build: gcc -O2 -Wall -o mapwatch mapwatch.c -lX11
 */
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <stdio.h>
#include <time.h>

/* A window may be gone again before its name is read; that is not worth dying for. */
static int ignore_errors(Display *display, XErrorEvent *error)
{
    (void)display;
    (void)error;
    return 0;
}

int main(void)
{
    Display *display = XOpenDisplay(NULL);
    if (!display) {
        fprintf(stderr, "mapwatch: cannot open the display\n");
        return 1;
    }
    XSetErrorHandler(ignore_errors);
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);
    printf("ready\n");
    fflush(stdout);

    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type != MapNotify)
            continue;

        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);

        /* WM_NAME as it is, whatever its type: the framework stores it as UTF8_STRING, which
           XFetchName does not return. */
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char *name = NULL;
        if (XGetWindowProperty(display, event.xmap.window, XA_WM_NAME, 0, 256, False, AnyPropertyType,
                               &type, &format, &count, &after, &name) != Success || format != 8)
            count = 0;
        printf("map %lld.%09ld 0x%lx %.*s\n", (long long)now.tv_sec, now.tv_nsec,
               (unsigned long)event.xmap.window, (int)count, name ? (char *)name : "");
        if (fflush(stdout) != 0)
            return 0; /* the reader has gone */
        if (name)
            XFree(name);
    }
}
