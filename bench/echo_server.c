// The floor for a request/answer over a Unix stream socket: an epoll loop
// that serves one client at a time and writes each complete line straight
// back with one write. No parsing, no buffering policy, no framework.
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static char buffer[1 << 16];

// The client reads every answer before it sends again, so a short write is
// rare; it is finished here rather than queued.
static int write_all(int fd, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n > 0) {
            data += n;
            len -= (size_t)n;
        } else if (n < 0 && errno == EAGAIN) {
            struct pollfd pfd = { .fd = fd, .events = POLLOUT };
            if (poll(&pfd, 1, 5000) <= 0)
                return -1;
        } else if (!(n < 0 && errno == EINTR)) {
            return -1;
        }
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fputs("usage: echo_server SOCKET\n", stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    struct sockaddr_un addr = { .sun_family = AF_UNIX };
    if (strlen(argv[1]) >= sizeof addr.sun_path) {
        fputs("echo_server: socket path too long\n", stderr);
        return 2;
    }
    strcpy(addr.sun_path, argv[1]);
    unlink(argv[1]);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0 || bind(listener, (struct sockaddr*)&addr, sizeof addr) < 0 || listen(listener, 8) < 0) {
        perror("echo_server");
        return 2;
    }
    int ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev = { .events = EPOLLIN, .data.fd = listener };
    if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev) < 0) {
        perror("echo_server: epoll");
        return 2;
    }

    int client = -1;
    size_t used = 0;
    for (;;) {
        struct epoll_event events[4];
        int n = epoll_wait(ep, events, 4, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            perror("echo_server: epoll_wait");
            return 2;
        }
        for (int i = 0; i < n; i++) {
            if (events[i].data.fd == listener) {
                int fd;
                while ((fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    if (client >= 0) {
                        close(fd); // one client at a time, like the guard
                        continue;
                    }
                    client = fd;
                    used = 0;
                    struct epoll_event cev = { .events = EPOLLIN, .data.fd = client };
                    epoll_ctl(ep, EPOLL_CTL_ADD, client, &cev);
                }
                continue;
            }
            if (events[i].data.fd != client)
                continue;
            ssize_t got = read(client, buffer + used, sizeof buffer - used);
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            int drop = got <= 0;
            if (!drop) {
                used += (size_t)got;
                size_t start = 0;
                char* nl;
                while (!drop && (nl = memchr(buffer + start, '\n', used - start))) {
                    size_t end = (size_t)(nl - buffer) + 1;
                    drop = write_all(client, buffer + start, end - start) < 0;
                    start = end;
                }
                memmove(buffer, buffer + start, used - start);
                used -= start;
                drop = drop || used == sizeof buffer; // a line longer than the buffer
            }
            if (drop) {
                epoll_ctl(ep, EPOLL_CTL_DEL, client, NULL);
                close(client);
                client = -1;
                used = 0;
            }
        }
    }
}
