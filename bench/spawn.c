/*
 * Runs a command and writes its resource use to a file, in one line:
 *
 *   <exit code> <user seconds> <system seconds> <peak RSS KiB>
 *
 * (wait4's rusage: the command and every descendant it waited for). The benchmark's own
 * process is a Python interpreter: a process forked from it starts with the interpreter's
 * resident set, which the kernel keeps in ru_maxrss across exec. Forked from this small
 * program instead, the command's peak RSS is its own.
 *
 * Usage: spawn <result file> <command> [args...]     (exit code: 0, or 127 if it cannot run)
 * Build: gcc -O2 -Wall -o spawn spawn.c
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: spawn <result file> <command> [args...]\n");
        return 2;
    }
    pid_t pid = fork();
    if (pid < 0) {
        perror("spawn: fork");
        return 127;
    }
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        fprintf(stderr, "spawn: cannot run %s\n", argv[2]);
        _exit(127);
    }

    int status;
    struct rusage usage;
    while (wait4(pid, &status, 0, &usage) < 0)
        if (errno != EINTR) {
            perror("spawn: wait4");
            return 127;
        }

    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    FILE *out = fopen(argv[1], "w");
    if (!out) {
        perror("spawn: result file");
        return 127;
    }
    fprintf(out, "%d %ld.%06ld %ld.%06ld %ld\n", code, (long)usage.ru_utime.tv_sec, (long)usage.ru_utime.tv_usec,
            (long)usage.ru_stime.tv_sec, (long)usage.ru_stime.tv_usec, usage.ru_maxrss);
    return fclose(out) == 0 ? 0 : 127;
}
