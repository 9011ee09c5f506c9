// Benchmark client: request/answer round trips over a Unix stream socket,
// against the echo server (the floor) or the guard (its own protocol).
// Results are single "RESULT key=value ..." lines on standard output.
#define _GNU_SOURCE
#include <errno.h>
#include <inttypes.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { EXIT_FAIL = 2, EXIT_GUARD_FAULT = 3 };

static const char* g_serial = "SN-0001";
static int g_timeout_ms = 5000;
static const char* g_samples_path = NULL;
static FILE* g_samples = NULL;

_Noreturn static void die(int code, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("client: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    exit(code);
}

static uint64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static uint64_t deadline_after(int ms) { return now_ns() + (uint64_t)ms * 1000000u; }

static int expired(uint64_t deadline) { return now_ns() >= deadline; }

// ---- connection and line reading ------------------------------------------

typedef struct {
    int fd;
    size_t start, len;
    char buf[1 << 16];
} Conn;

// Blocking I/O with a kernel timeout keeps each round trip at one write and
// (usually) one read: no poll() in the measured path.
static void set_io_timeout(int fd, int ms)
{
    struct timeval tv = { .tv_sec = ms / 1000, .tv_usec = (ms % 1000) * 1000 };
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A server that has not bound or listened yet is retried until the deadline.
static int connect_unix(const char* path, uint64_t deadline)
{
    struct sockaddr_un addr = { .sun_family = AF_UNIX };
    if (strlen(path) >= sizeof addr.sun_path)
        die(EXIT_FAIL, "socket path too long: %s", path);
    strcpy(addr.sun_path, path);
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            die(EXIT_FAIL, "socket: %s", strerror(errno));
        if (connect(fd, (struct sockaddr*)&addr, sizeof addr) == 0)
            return fd;
        int err = errno;
        close(fd);
        if ((err != ENOENT && err != ECONNREFUSED && err != EAGAIN) || expired(deadline))
            die(EXIT_FAIL, "cannot connect to %s: %s", path, strerror(err));
        usleep(10000);
    }
}

static void conn_open(Conn* c, const char* path, uint64_t deadline)
{
    c->fd = connect_unix(path, deadline);
    c->start = c->len = 0;
    set_io_timeout(c->fd, g_timeout_ms);
}

static void send_all(Conn* c, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(c->fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            die(EXIT_FAIL, "write: %s", n < 0 ? strerror(errno) : "closed");
        data += n;
        len -= (size_t)n;
    }
}

// One line without its line feed, NUL-terminated in place and valid until the
// next call; NULL with *status 0 at end of stream, -1 on timeout or error.
static char* read_line(Conn* c, int* status)
{
    for (;;) {
        char* nl = memchr(c->buf + c->start, '\n', c->len - c->start);
        if (nl) {
            *nl = '\0';
            char* line = c->buf + c->start;
            c->start = (size_t)(nl - c->buf) + 1;
            *status = 1;
            return line;
        }
        if (c->start > 0) {
            memmove(c->buf, c->buf + c->start, c->len - c->start);
            c->len -= c->start;
            c->start = 0;
        }
        if (c->len == sizeof c->buf)
            die(EXIT_FAIL, "line longer than %zu bytes", sizeof c->buf);
        ssize_t n = read(c->fd, c->buf + c->len, sizeof c->buf - c->len);
        if (n > 0) {
            c->len += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        *status = n == 0 ? 0 : -1;
        return NULL;
    }
}

static char* must_read_line(Conn* c, const char* waiting_for)
{
    int r;
    char* line = read_line(c, &r);
    if (line)
        return line;
    if (r == 0)
        die(EXIT_FAIL, "connection closed while waiting for %s", waiting_for);
    die(EXIT_FAIL, "no answer within %d ms while waiting for %s (%s)", g_timeout_ms, waiting_for, strerror(errno));
}

// ---- the few status members we need --------------------------------------
// Statuses are compact JSON with flat members and no escapes in the values we
// read, so a key search is enough here.

static const char* member(const char* line, const char* key)
{
    char pattern[64];
    snprintf(pattern, sizeof pattern, "\"%s\":", key);
    const char* p = strstr(line, pattern);
    return p ? p + strlen(pattern) : NULL;
}

static int member_str(const char* line, const char* key, char* out, size_t cap)
{
    const char* p = member(line, key);
    if (!p || *p != '"')
        return 0;
    const char* end = strchr(++p, '"');
    if (!end || (size_t)(end - p) >= cap)
        return 0;
    memcpy(out, p, (size_t)(end - p));
    out[end - p] = '\0';
    return 1;
}

static int member_true(const char* line, const char* key)
{
    const char* p = member(line, key);
    return p && strncmp(p, "true", 4) == 0;
}

static long member_long(const char* line, const char* key, long missing)
{
    const char* p = member(line, key);
    return p ? strtol(p, NULL, 10) : missing;
}

// Any fault ends the measurement: the guard has stopped serving requests.
static void check_fault(const char* status)
{
    if (member_true(status, "fault")) {
        char reason[256] = "";
        member_str(status, "reason", reason, sizeof reason);
        die(EXIT_GUARD_FAULT, "the guard latched a fault: %s", reason);
    }
}

// ---- statistics ------------------------------------------------------------

typedef struct {
    const char* kind;
    double* us;
    size_t n, cap;
} Series;

static void series_init(Series* s, const char* kind, size_t cap)
{
    s->kind = kind;
    s->n = 0;
    s->cap = cap;
    s->us = malloc(cap * sizeof *s->us);
    if (!s->us)
        die(EXIT_FAIL, "out of memory");
}

static void series_add(Series* s, uint64_t t0, uint64_t t1)
{
    double us = (double)(t1 - t0) / 1000.0;
    if (s->n < s->cap)
        s->us[s->n++] = us;
    if (g_samples)
        fprintf(g_samples, "%s %.3f\n", s->kind, us);
}

static int cmp_double(const void* a, const void* b)
{
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

// Nearest-rank percentile of sorted values.
static double percentile(const double* v, size_t n, double p)
{
    size_t rank = (size_t)(p / 100.0 * (double)n + 0.999999);
    if (rank < 1)
        rank = 1;
    if (rank > n)
        rank = n;
    return v[rank - 1];
}

static void series_report(Series* s, const char* extra)
{
    if (s->n == 0)
        die(EXIT_FAIL, "no %s samples", s->kind);
    qsort(s->us, s->n, sizeof *s->us, cmp_double);
    double sum = 0;
    for (size_t i = 0; i < s->n; i++)
        sum += s->us[i];
    printf("RESULT kind=%s n=%zu p50_us=%.2f p90_us=%.2f p99_us=%.2f min_us=%.2f max_us=%.2f mean_us=%.2f%s%s\n",
        s->kind, s->n, percentile(s->us, s->n, 50), percentile(s->us, s->n, 90), percentile(s->us, s->n, 99), s->us[0],
        s->us[s->n - 1], sum / (double)s->n, extra ? " " : "", extra ? extra : "");
    fflush(stdout);
}

// ---- the guard's protocol ---------------------------------------------------

typedef struct {
    Conn conn;
    char lease[128];
    char session[128];
    uint64_t sequence; // per lease, from 1
    uint64_t sample_sequence; // must never go back for the life of the guard
    uint64_t skipped; // statuses that were not the awaited answer
} Guard;

// The guard closes a second connection at once without a status; that
// happens when our previous connection's close has not been noticed yet.
static char* guard_connect(Guard* g, const char* path, uint64_t deadline)
{
    for (;;) {
        conn_open(&g->conn, path, deadline);
        int r;
        char* line = read_line(&g->conn, &r);
        if (line)
            return line;
        close(g->conn.fd);
        if (expired(deadline))
            die(EXIT_FAIL, "the guard at %s sent no status", path);
        usleep(20000);
    }
}

static void send_hello(Guard* g)
{
    char msg[256];
    int len = snprintf(msg, sizeof msg, "{\"version\":1,\"type\":\"hello\",\"serial\":\"%s\"}\n", g_serial);
    send_all(&g->conn, msg, (size_t)len);
}

static int format_control(
    char* msg, size_t cap, const char* lease, const char* session, uint64_t sequence, uint64_t sample_sequence)
{
    return snprintf(msg, cap,
        "{\"version\":1,\"type\":\"control\",\"lease\":\"%s\",\"session\":\"%s\",\"sequence\":\"%" PRIu64
        "\",\"progress\":\"%" PRIu64 "\",\"rpm\":6000,\"targetC\":30,\"state\":\"\",\"sample\":{\"valid\":true,"
        "\"serial\":\"%s\",\"session\":\"bench\",\"sequence\":\"%" PRIu64 "\",\"temperatureC\":30,\"ageMs\":0}}\n",
        lease, session, sequence, sequence, g_serial, sample_sequence);
}

// Connects, waits for "ready", asks for the lease and keeps its token and the guard session.
static void guard_open(Guard* g, const char* path, uint64_t sample_base, int connect_ms)
{
    uint64_t deadline = deadline_after(connect_ms);
    char* line = guard_connect(g, path, deadline);
    g->sequence = 0;
    g->sample_sequence = sample_base;
    g->skipped = 0;
    for (;;) {
        check_fault(line);
        if (member_true(line, "ready"))
            break;
        if (expired(deadline))
            die(EXIT_FAIL, "the guard did not become ready");
        line = must_read_line(&g->conn, "a ready status");
    }
    send_hello(g);
    for (;;) {
        line = must_read_line(&g->conn, "the lease");
        check_fault(line);
        if (member_str(line, "lease", g->lease, sizeof g->lease) && g->lease[0] != '\0')
            break;
        if (expired(deadline))
            die(EXIT_FAIL, "the guard granted no lease");
        // Refused (not ready yet): ask again once a status says ready.
        if (member_true(line, "ready"))
            send_hello(g);
    }
    if (!member_str(line, "session", g->session, sizeof g->session))
        die(EXIT_FAIL, "status without a session: %s", line);
}

// One accepted control request; returns once its answer (the status naming
// its sequence) is in, skipping the statuses sent for fan readings.
static void guard_control(Guard* g, Series* s)
{
    char msg[1024], want[32];
    g->sequence++;
    g->sample_sequence++;
    int len = format_control(msg, sizeof msg, g->lease, g->session, g->sequence, g->sample_sequence);
    snprintf(want, sizeof want, "%" PRIu64, g->sequence);
    uint64_t deadline = deadline_after(g_timeout_ms);
    uint64_t t0 = now_ns();
    send_all(&g->conn, msg, (size_t)len);
    for (;;) {
        char* line = must_read_line(&g->conn, "a control answer");
        char got[32];
        if (member_str(line, "commandSequence", got, sizeof got) && strcmp(got, want) == 0) {
            uint64_t t1 = now_ns();
            check_fault(line);
            if (s)
                series_add(s, t0, t1);
            return;
        }
        check_fault(line);
        g->skipped++;
        if (expired(deadline))
            die(EXIT_FAIL, "no answer to control request %s", want);
    }
}

// One hello from the lease holder. The guard answers it with one status, but
// that status looks like the one sent after a fan reading. A reading's status
// says "ageMs":0 (or 1 when a millisecond ticks over while it is built), so
// a first status with ageMs <= 1 is ambiguous: the sample is discarded, and
// the next control request's wait drains whatever is still on its way.
// Returns 1 for a kept sample, 0 for a discarded one.
static int guard_hello(Guard* g, Series* s)
{
    uint64_t t0 = now_ns();
    send_hello(g);
    char* line = must_read_line(&g->conn, "a hello answer");
    uint64_t t1 = now_ns();
    check_fault(line);
    char lease[128];
    if (!member_str(line, "lease", lease, sizeof lease) || strcmp(lease, g->lease) != 0)
        die(EXIT_FAIL, "the lease changed or ended during the run: %s", line);
    if (member_long(line, "ageMs", -1) <= 1)
        return 0;
    series_add(s, t0, t1);
    return 1;
}

static void guard_release(Guard* g)
{
    char msg[512];
    int len = snprintf(msg, sizeof msg, "{\"version\":1,\"type\":\"release\",\"lease\":\"%s\",\"session\":\"%s\"}\n",
        g->lease, g->session);
    send_all(&g->conn, msg, (size_t)len);
    uint64_t deadline = deadline_after(g_timeout_ms);
    for (;;) {
        char* line = must_read_line(&g->conn, "the release");
        check_fault(line);
        char lease[128];
        if (member_str(line, "lease", lease, sizeof lease) && lease[0] == '\0')
            return;
        if (expired(deadline))
            die(EXIT_FAIL, "the release was not confirmed");
    }
}

// ---- modes ------------------------------------------------------------------

// Sample sequences continue across connections to one guard, so the default
// base is the wall clock in microseconds: it only grows between runs.
static uint64_t default_sample_base(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

// The same bytes as a control request (36-character placeholders for the
// lease and session), so both servers read frames of one size.
static int mode_echo(const char* path, long n)
{
    const char* uuid = "00000000-0000-4000-8000-000000000000";
    Conn* c = malloc(sizeof *c);
    Series s;
    if (!c)
        die(EXIT_FAIL, "out of memory");
    conn_open(c, path, deadline_after(g_timeout_ms));
    series_init(&s, "echo", (size_t)n);
    char msg[1024];
    for (long i = 1; i <= n; i++) {
        int len = format_control(msg, sizeof msg, uuid, uuid, (uint64_t)i, (uint64_t)i);
        uint64_t t0 = now_ns();
        send_all(c, msg, (size_t)len);
        char* line = must_read_line(c, "the echo");
        uint64_t t1 = now_ns();
        if ((size_t)len != strlen(line) + 1 || memcmp(line, msg, (size_t)len - 1) != 0)
            die(EXIT_FAIL, "the echo differs from the request");
        series_add(&s, t0, t1);
    }
    char extra[64];
    snprintf(extra, sizeof extra, "bytes=%zu", strlen(msg));
    series_report(&s, extra);
    close(c->fd);
    free(c);
    return 0;
}

// Alternates one hello and one control request, so every control renews the
// lease between two hellos and both series see the same conditions.
static int mode_guard(const char* path, long n, uint64_t sample_base)
{
    Guard* g = malloc(sizeof *g);
    Series hello, control;
    if (!g)
        die(EXIT_FAIL, "out of memory");
    guard_open(g, path, sample_base, g_timeout_ms);
    series_init(&hello, "hello", (size_t)n);
    series_init(&control, "control", (size_t)n);
    long discarded = 0;
    guard_control(g, NULL); // the lease's first request (and a warm-up)
    for (long i = 0; i < n; i++) {
        if (!guard_hello(g, &hello))
            discarded++;
        guard_control(g, &control);
    }
    guard_release(g);
    char extra[96];
    snprintf(extra, sizeof extra, "discarded=%ld", discarded);
    series_report(&hello, extra);
    snprintf(extra, sizeof extra, "skipped_statuses=%" PRIu64, g->skipped);
    series_report(&control, extra);
    close(g->conn.fd);
    free(g);
    return 0;
}

// Reads and drops whatever arrives until the deadline; returns the lines seen
// and sets *eof when the peer closed. Raw reads: a partial line must not
// block past the deadline.
static long drain_until(Conn* c, uint64_t deadline, int* eof)
{
    long lines = 0;
    for (size_t i = c->start; i < c->len; i++)
        lines += c->buf[i] == '\n';
    c->start = c->len = 0;
    *eof = 0;
    while (!expired(deadline)) {
        int wait_ms = (int)((deadline - now_ns()) / 1000000u) + 1;
        struct pollfd pfd = { .fd = c->fd, .events = POLLIN };
        int r = poll(&pfd, 1, wait_ms);
        if (r < 0 && errno != EINTR)
            die(EXIT_FAIL, "poll: %s", strerror(errno));
        if (r <= 0)
            continue;
        ssize_t n = read(c->fd, c->buf, sizeof c->buf);
        if (n == 0) {
            *eof = 1;
            return lines;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            die(EXIT_FAIL, "read: %s", strerror(errno));
        for (ssize_t i = 0; i < n; i++)
            lines += c->buf[i] == '\n';
    }
    return lines;
}

// Holds one connection without sending anything, so the server's idle cost
// can be measured with a client attached.
static int mode_idle(const char* path, double seconds)
{
    Conn* c = malloc(sizeof *c);
    if (!c)
        die(EXIT_FAIL, "out of memory");
    conn_open(c, path, deadline_after(g_timeout_ms));
    int eof = 0;
    long lines = drain_until(c, now_ns() + (uint64_t)(seconds * 1e9), &eof);
    printf("RESULT kind=idle seconds=%.1f lines=%ld closed=%d\n", seconds, lines, eof);
    close(c->fd);
    free(c);
    return 0;
}

// K control requests as fast as answers come, for instruction counting. The
// lease is released afterwards, and the connection is then held until
// hold_ms after it opened, so that two runs with different K can be made to
// last equally long (the guard's timers then cost both the same).
static int mode_flood(const char* path, long k, long warmup, long hold_ms, uint64_t sample_base)
{
    Guard* g = malloc(sizeof *g);
    if (!g)
        die(EXIT_FAIL, "out of memory");
    guard_open(g, path, sample_base, g_timeout_ms);
    uint64_t opened = now_ns();
    for (long i = 0; i < warmup; i++)
        guard_control(g, NULL);
    uint64_t t0 = now_ns();
    for (long i = 0; i < k; i++)
        guard_control(g, NULL);
    uint64_t t1 = now_ns();
    guard_release(g);
    int eof = 0;
    drain_until(&g->conn, opened + (uint64_t)hold_ms * 1000000u, &eof);
    if (eof)
        die(EXIT_FAIL, "the guard closed the connection");
    printf("RESULT kind=flood k=%ld warmup=%ld requests_ms=%.1f connected_ms=%.1f per_request_us=%.2f\n", k, warmup,
        (double)(t1 - t0) / 1e6, (double)(now_ns() - opened) / 1e6, k ? (double)(t1 - t0) / 1e3 / (double)k : 0.0);
    close(g->conn.fd);
    free(g);
    return 0;
}

// Wall time of one run of a program, from fork to its exit, to the
// microsecond. SIGCHLD is waited for with a timeout, so no polling skews it.
static int mode_wall(long timeout_ms, char** argv)
{
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, NULL);
    uint64_t t0 = now_ns();
    pid_t pid = fork();
    if (pid < 0)
        die(EXIT_FAIL, "fork: %s", strerror(errno));
    if (pid == 0) {
        sigprocmask(SIG_UNBLOCK, &chld, NULL);
        if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr))
            _exit(127);
        execvp(argv[0], argv);
        _exit(127);
    }
    struct timespec limit = { .tv_sec = timeout_ms / 1000, .tv_nsec = (timeout_ms % 1000) * 1000000L };
    uint64_t deadline = deadline_after((int)timeout_ms);
    int status = 0;
    for (;;) {
        if (sigtimedwait(&chld, NULL, &limit) == SIGCHLD && waitpid(pid, &status, WNOHANG) == pid)
            break;
        if (expired(deadline)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            die(EXIT_FAIL, "%s ran longer than %ld ms", argv[0], timeout_ms);
        }
    }
    uint64_t t1 = now_ns();
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    printf("RESULT kind=wall us=%.1f exit=%d\n", (double)(t1 - t0) / 1e3, code);
    return code == 0 ? 0 : EXIT_FAIL;
}

_Noreturn static void usage(void)
{
    fputs("usage: client [options] echo  SOCKET N\n"
          "       client [options] guard SOCKET N        (N hellos and N controls, alternating)\n"
          "       client [options] idle  SOCKET SECONDS\n"
          "       client [options] flood SOCKET K [WARMUP [HOLD_MS]]\n"
          "       client wall TIMEOUT_MS PROGRAM [ARGS...]\n"
          "options: --timeout-ms MS (each wait, default 5000), --samples FILE (every sample in us),\n"
          "         --sample-base N (first sample sequence - 1; default: wall clock in us)\n",
        stderr);
    exit(EXIT_FAIL);
}

static long number(const char* text)
{
    char* end;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || *end || v < 0)
        die(EXIT_FAIL, "not a count: %s", text);
    return v;
}

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    uint64_t sample_base = default_sample_base();
    int i = 1;
    for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (strcmp(argv[i], "--timeout-ms") == 0)
            g_timeout_ms = (int)number(argv[i + 1]);
        else if (strcmp(argv[i], "--samples") == 0)
            g_samples_path = argv[i + 1];
        else if (strcmp(argv[i], "--sample-base") == 0)
            sample_base = (uint64_t)strtoull(argv[i + 1], NULL, 10);
        else
            usage();
    }
    if (argc - i < 3)
        usage();
    const char* mode = argv[i];
    if (strcmp(mode, "wall") == 0)
        return mode_wall(number(argv[i + 1]), argv + i + 2);
    if (g_samples_path && !(g_samples = fopen(g_samples_path, "w")))
        die(EXIT_FAIL, "cannot write %s", g_samples_path);
    const char* path = argv[i + 1];
    int rc;
    if (strcmp(mode, "echo") == 0)
        rc = mode_echo(path, number(argv[i + 2]));
    else if (strcmp(mode, "guard") == 0)
        rc = mode_guard(path, number(argv[i + 2]), sample_base);
    else if (strcmp(mode, "idle") == 0)
        rc = mode_idle(path, strtod(argv[i + 2], NULL));
    else if (strcmp(mode, "flood") == 0)
        rc = mode_flood(path, number(argv[i + 2]), argc - i > 3 ? number(argv[i + 3]) : 0,
            argc - i > 4 ? number(argv[i + 4]) : 0, sample_base);
    else
        usage();
    if (g_samples)
        fclose(g_samples);
    return rc;
}
