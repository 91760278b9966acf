/*
 * For bench/diagnose only: preloaded into the Linux build, makes fsync() and fdatasync() return
 * at once, to measure what the framework's FileOutputStream::flush() (which calls fsync) costs
 * at the end of a download.
 *
 * Build: gcc -O2 -shared -fPIC -o nofsync.so nofsync.c
 */
int fsync(int fd)
{
    (void)fd;
    return 0;
}

int fdatasync(int fd)
{
    (void)fd;
    return 0;
}
