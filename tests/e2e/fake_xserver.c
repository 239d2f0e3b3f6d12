/* Stands in for an X server as the session helper meets one: a process
 * whose command line is the real server's (the test chooses argv, argv[0]
 * included), holding the lock file /tmp/.XN-lock with its pid and listening
 * on /tmp/.X11-unix/XN, as Xorg's LockServer and CreateWellKnownSockets do.
 * It speaks no X protocol: a client that connects (a real X client found by
 * mistake) is hung up on at once, so it fails instead of waiting for the
 * server's answer. N comes from TORVEL_FAKE_X_DISPLAY. Ends on SIGTERM or
 * SIGINT and removes both files. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

static volatile sig_atomic_t stop;

static void on_signal(int sig) {
    (void)sig;
    stop = 1;
}

int main(void) {
    const char *n = getenv("TORVEL_FAKE_X_DISPLAY");
    if (n == NULL) return 2;
    char lock[64], sock[64];
    snprintf(lock, sizeof lock, "/tmp/.X%s-lock", n);
    snprintf(sock, sizeof sock, "/tmp/.X11-unix/X%s", n);
    if (mkdir("/tmp/.X11-unix", 01777) == 0) chmod("/tmp/.X11-unix", 01777);

    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock);
    unlink(sock);
    if (fd < 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0 || listen(fd, 8) != 0) {
        perror(sock);
        return 1;
    }
    FILE *f = fopen(lock, "w");
    if (f == NULL) {
        perror(lock);
        return 1;
    }
    fprintf(f, "%10d\n", (int)getpid());
    fclose(f);

    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    while (!stop) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20) == 1) {
            const int client = accept(fd, NULL, NULL);
            if (client >= 0) close(client);
        }
    }
    unlink(sock);
    unlink(lock);
    return 0;
}
