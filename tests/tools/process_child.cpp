// Child program for the process tests. The first argument picks the behaviour:
//   args          prints each further argument as [text] on a line of its own
//   cat           copies standard input to standard output
//   exit N        exits with status N
//   sleep MS      sleeps, then exits 0
//   kill SIG      sends itself signal SIG
//   cwd           prints the working folder
//   signals       prints "pipe=default|ignored" and "mask=empty|blocked"
//   tty           after one input line, prints "tty" or "notty" and the window size
//   fds           prints the number of open descriptors above 2
//   silent        sleeps long without writing
//   spew N        writes N bytes of 'x' without reading its input, then exits 0
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    const char* usage =
        "usage: process_child MODE [ARG...]\n"
        "Child program of the process tests. MODE: args TEXT... | cat | exit N | sleep MS |\n"
        "kill SIG | cwd | signals | tty | fds | silent | spew N (the top of process_child.cpp\n"
        "says what each does); no MODE or an unknown one: exits 100.\n";
    if (argc < 2) return 100;
    const char* mode = argv[1];
    if (mode[0] == '-') {
        bool help = !strcmp(mode, "--help") || !strcmp(mode, "-h");
        if (!help) fprintf(stderr, "process_child: unknown option %s\n", mode);
        fputs(usage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    if (!strcmp(mode, "args")) {
        for (int i = 2; i < argc; ++i)
            printf("[%s]\n", argv[i]);
        return 0;
    }
    if (!strcmp(mode, "cat")) {
        char buf[4096];
        ssize_t n;
        while ((n = read(0, buf, sizeof(buf))) > 0)
            if (write(1, buf, static_cast<size_t>(n)) != n) return 1;
        return 0;
    }
    if (!strcmp(mode, "exit") && argc > 2) return atoi(argv[2]);
    if (!strcmp(mode, "sleep") && argc > 2) {
        usleep(static_cast<useconds_t>(atoi(argv[2])) * 1000u);
        return 0;
    }
    if (!strcmp(mode, "kill") && argc > 2) {
        kill(getpid(), atoi(argv[2]));
        pause();
        return 0;
    }
    if (!strcmp(mode, "cwd")) {
        char buf[4096];
        if (!getcwd(buf, sizeof(buf))) return 1;
        printf("%s", buf);
        return 0;
    }
    if (!strcmp(mode, "signals")) {
        struct sigaction sa;
        sigaction(SIGPIPE, nullptr, &sa);
        sigset_t mask;
        sigprocmask(SIG_SETMASK, nullptr, &mask);
        bool empty = true;
        for (int s = 1; s < 32; ++s)
            if (sigismember(&mask, s)) empty = false;
        printf("pipe=%s mask=%s\n", sa.sa_handler == SIG_IGN ? "ignored" : "default",
               empty ? "empty" : "blocked");
        return 0;
    }
    if (!strcmp(mode, "tty")) {
        // Waits for one line first, so the parent can size the window beforehand.
        char line[256];
        if (!fgets(line, sizeof(line), stdin)) return 1;
        struct winsize ws = {};
        ioctl(0, TIOCGWINSZ, &ws);
        printf("%s %ux%u\n", isatty(0) ? "tty" : "notty", ws.ws_col, ws.ws_row);
        return 0;
    }
    if (!strcmp(mode, "fds")) {
        int count = 0;
        DIR* d = opendir("/proc/self/fd");
        if (!d) return 1;
        int own = dirfd(d);
        while (struct dirent* e = readdir(d)) {
            int fd = atoi(e->d_name);
            if (e->d_name[0] != '.' && fd > 2 && fd != own) ++count;
        }
        closedir(d);
        printf("%d\n", count);
        return 0;
    }
    if (!strcmp(mode, "spew") && argc > 2) {
        int left = atoi(argv[2]);
        char buf[1000];
        memset(buf, 'x', sizeof(buf));
        while (left > 0) {
            int n = left < 1000 ? left : 1000;
            if (write(1, buf, static_cast<size_t>(n)) != n) return 1;
            left -= n;
        }
        return 0;
    }
    if (!strcmp(mode, "silent")) {
        sleep(30);
        return 0;
    }
    return 100;
}
