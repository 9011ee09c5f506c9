// A client of the guard or the floor, for run.sh:  bench_client SOCKET N PHASE_MS IDLE_SECONDS PID
// Takes the lease and sends N control requests, each answered before the next, spread over PHASE_MS
// unless 0 (so that runs of different lengths meet as many of the server's own timer events), and
// releases the lease; then stays connected for IDLE_SECONDS. Prints the median round trip in µs, the
// server's (PID's) context switches a second while idle, and its VmHWM in KiB.
// A fault, a wrong answer or a missed deadline exits 1.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
// Under valgrind a server takes seconds to listen, and the guard's fan longer to confirm.
constexpr Ms kStartTimeout { 60000 }, kReplyTimeout { 10000 };
int fd = -1;
std::string received;

[[noreturn]] void fail(const std::string& why)
{
    std::fprintf(stderr, "bench_client: %s\n", why.c_str());
    std::exit(1);
}

// A member of a compact status line: a string's contents, or the literal.
std::string member(const std::string& line, const std::string& name)
{
    size_t at = line.find('"' + name + "\":");
    if (at == std::string::npos)
        fail("status without " + name + ": " + line);
    at += name.size() + 3;
    return line[at] == '"' ? line.substr(at + 1, line.find('"', at + 1) - at - 1)
                           : line.substr(at, line.find_first_of(",}", at) - at);
}

void connectTo(const std::string& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        fail("socket path too long: " + path);
    path.copy(address.sun_path, path.size());
    for (const auto until = Clock::now() + kStartTimeout;; std::this_thread::sleep_for(Ms(50))) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return;
        close(fd);
        if (Clock::now() > until)
            fail("no server on " + path);
    }
}

void send(std::string line)
{
    line += '\n';
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
        fail("the server closed the connection");
}

// The next status, or "" when none comes before the deadline. No status may carry a fault.
std::string next(Clock::time_point until)
{
    for (char chunk[8192]; received.find('\n') == std::string::npos;) {
        const auto left = std::chrono::duration_cast<Ms>(until - Clock::now()).count();
        pollfd p { fd, POLLIN, 0 };
        if (left <= 0 || poll(&p, 1, int(left)) <= 0)
            return {};
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0)
            fail("the server closed the connection");
        received.append(chunk, size_t(n));
    }
    const std::string line = received.substr(0, received.find('\n'));
    received.erase(0, line.size() + 1);
    if (member(line, "fault") != "false")
        fail("fault latched: " + member(line, "reason"));
    return line;
}

double requests(long count, long phaseMs)
{
    // hello every 200 ms until a status grants the lease: the guard grants none before its fan has
    // confirmed the safe speed.
    std::string lease, session;
    for (const auto until = Clock::now() + kStartTimeout; lease.empty();) {
        if (Clock::now() > until)
            fail("no lease granted");
        send(R"({"version":1,"type":"hello","serial":"SN-0001"})");
        for (std::string s; lease.empty() && !(s = next(Clock::now() + Ms(200))).empty();)
            lease = member(s, "lease"), session = member(s, "session");
    }
    const std::string owner = R"("lease":")" + lease + R"(","session":")" + session + '"';
    std::vector<double> roundTrips;
    const auto start = Clock::now();
    for (long i = 1; i <= count; ++i) {
        std::this_thread::sleep_until(start + Ms(phaseMs * (i - 1) / count));
        const std::string n = std::to_string(i), previous = std::to_string(i - 1);
        const auto sent = Clock::now();
        send(R"({"version":1,"type":"control",)" + owner + R"(,"sequence":")" + n + R"(","progress":")" + n
            + R"(","rpm":6000,"targetC":30,"state":"","sample":{"valid":true,"serial":"SN-0001",)"
            + R"("session":"bench-1","sequence":")" + n + R"(","temperatureC":30,"ageMs":0}})");
        std::string s = next(Clock::now() + kReplyTimeout);
        // A status of the server's own (a fan reading) still carries the previous request's number.
        while (!s.empty() && member(s, "commandSequence") == previous)
            s = next(Clock::now() + kReplyTimeout);
        if (s.empty() || member(s, "commandSequence") != n || member(s, "lease") != lease
            || member(s, "requestedRpm") != "6000")
            fail("no or a wrong answer to request " + n + ": " + s);
        roundTrips.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    if (phaseMs > 0 && Clock::now() > start + Ms(phaseMs + phaseMs / 10))
        std::fprintf(stderr, "bench_client: %ld requests overran their %ld ms\n", count, phaseMs);
    std::this_thread::sleep_until(start + Ms(phaseMs));
    send(R"({"version":1,"type":"release",)" + owner + '}');
    std::nth_element(roundTrips.begin(), roundTrips.begin() + count / 2, roundTrips.end());
    return roundTrips[size_t(count / 2)];
}

// The sum of the fields of a /proc status file whose names end in `name`.
long procStatus(const std::filesystem::path& file, const std::string& name)
{
    std::ifstream in(file);
    long sum = 0;
    for (std::string key, value; in >> key && std::getline(in, value);) {
        if (key.size() >= name.size() && key.compare(key.size() - name.size(), name.size(), name) == 0)
            sum += std::atol(value.c_str());
    }
    return sum;
}

long contextSwitches(const std::string& pid)
{
    long sum = 0; // voluntary and not, of every thread
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + pid + "/task"))
        sum += procStatus(task.path() / "status", "ctxt_switches:");
    return sum;
}

} // namespace

int main(int argc, char** argv)
{
    const long count = argc == 6 ? std::atol(argv[2]) : 0, idleSeconds = argc == 6 ? std::atol(argv[4]) : 0;
    if (count <= 0 || idleSeconds < 0) {
        std::fputs("usage: bench_client SOCKET N PHASE_MS IDLE_SECONDS PID\n", stderr);
        return 2;
    }
    connectTo(argv[1]);
    const double roundTrip = requests(count, std::atol(argv[3]));
    const std::string pid = argv[5];
    for (const auto settled = Clock::now() + Ms(500); Clock::now() < settled;) // what the release causes
        next(settled);
    const long before = contextSwitches(pid);
    for (const auto end = Clock::now() + Ms(idleSeconds * 1000); Clock::now() < end;)
        next(end);
    std::printf("%.1f %.1f %ld\n", roundTrip, double(contextSwitches(pid) - before) / double(std::max(idleSeconds, 1L)),
        procStatus("/proc/" + pid + "/status", "VmHWM:"));
    return 0;
}
