// kevo-sim: a stand-in for the fan program, for tests and for trying the guard without hardware.
//
//   kevo-sim --set-fan-rpm N   applies setpoint N (exit 0)
//   kevo-sim --fan-rpm         prints the speed the fan runs at, in RPM (exit 0)
//
// The fan's state lives in a file between invocations, $KEVO_SIM_STATE, which
// must be set: a default path in a shared directory would let any local user
// write the control file of a fan program that root runs. The speed follows the
// setpoint with a first-order lag, so a new setpoint is not met at once. Faults
// and the lag are read at every invocation from a control file
// ($KEVO_SIM_CONTROL, by default the state file followed by ".control"), so they
// can change while a guard runs; faults-for-ms limits the faults to a window
// after the control file was written. Every invocation is appended to
// $KEVO_SIM_LOG when that is set.
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kExitUsage = 2;

struct Control {
    std::string fault = "none";
    std::string faultsApplyTo = "all"; // set, read or all
    long offsetRpm = 0;
    long lagMs = 500; // time constant of the speed's approach to the setpoint
    long delayMs = 0; // the commands the faults apply to take at least this long
    long outputBytes = 8193; // size of the output of the oversize faults
    long faultsForMs = -1; // the fault and the delay end this long after the file was written; -1: never
    timespec written {}; // the control file's modification time
};

struct FanState {
    long setpoint = 0;
    double speed = 0;
    long long atMs = 0; // monotonic time of the speed above
};

long long monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string environmentOr(const char* name, const std::string& fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

[[noreturn]] void usageError(const std::string& message)
{
    std::fprintf(stderr, "kevo-sim: %s\nusage: kevo-sim --set-fan-rpm N | kevo-sim --fan-rpm\n", message.c_str());
    std::exit(kExitUsage);
}

std::string statePath()
{
    const std::string path = environmentOr("KEVO_SIM_STATE", "");
    if (path.empty()) {
        // The command line is fine, so no usage line.
        std::fprintf(stderr, "kevo-sim: KEVO_SIM_STATE must name the fan's state file\n");
        std::exit(kExitUsage);
    }
    return path;
}

bool parseLong(const std::string& text, long* out)
{
    // strtol alone would also take leading blanks and a plus sign.
    if (text.empty() || (!std::isdigit(static_cast<unsigned char>(text[0])) && text[0] != '-'))
        return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    *out = value;
    return true;
}

// The text and the modification time of one and the same file, even when it is replaced
// meanwhile. A missing file is an empty one; one that cannot be read is an error, not
// silently a fan without faults.
std::string readControlText(const std::string& path, timespec* written)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return text;
    struct stat status { };
    bool ok = fd >= 0 && ::fstat(fd, &status) == 0;
    *written = status.st_mtim;
    char buffer[4096];
    ssize_t n = 0;
    while (ok && ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)))
        text.append(buffer, size_t(n > 0 ? n : 0));
    ok = ok && n == 0;
    if (fd >= 0)
        ::close(fd);
    if (!ok)
        usageError("cannot read control file " + path);
    return text;
}

Control readControl(const std::string& path)
{
    Control control;
    std::istringstream file(readControlText(path, &control.written));
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const auto equals = line.find('=');
        const std::string key = line.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
        bool ok = true;
        if (key == "fault")
            control.fault = value;
        else if (key == "faults-apply-to")
            control.faultsApplyTo = value;
        else if (key == "offset-rpm")
            ok = parseLong(value, &control.offsetRpm);
        else if (key == "lag-ms")
            ok = parseLong(value, &control.lagMs) && control.lagMs >= 0;
        else if (key == "delay-ms")
            ok = parseLong(value, &control.delayMs) && control.delayMs >= 0;
        else if (key == "output-bytes")
            ok = parseLong(value, &control.outputBytes) && control.outputBytes >= 0;
        else if (key == "faults-for-ms")
            ok = !value.empty() && std::isdigit(static_cast<unsigned char>(value[0]))
                && parseLong(value, &control.faultsForMs);
        else
            usageError("unknown control key '" + key + "' in " + path);
        if (!ok)
            usageError("bad value for '" + key + "' in " + path);
    }
    static const char* const kFaults[] = { "none", "fail", "crash", "hang", "flood-stderr", "garbage", "extra-text",
        "out-of-range", "offset", "oversize", "oversize-hang" };
    bool knownFault = false;
    for (const char* fault : kFaults)
        knownFault = knownFault || control.fault == fault;
    if (!knownFault)
        usageError("unknown fault '" + control.fault + "' in " + path);
    if (control.faultsApplyTo != "all" && control.faultsApplyTo != "set" && control.faultsApplyTo != "read")
        usageError("faults-apply-to must be set, read or all in " + path);
    return control;
}

FanState readState(const std::string& path)
{
    FanState state;
    state.atMs = monotonicMs();
    std::ifstream file(path);
    FanState stored;
    if (file >> stored.setpoint >> stored.speed >> stored.atMs)
        state = stored;
    return state;
}

// Written beside the target and renamed over it, so a reader never sees half a state.
void writeState(const std::string& path, const FanState& state)
{
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream file(temporary, std::ios::trunc);
        file << state.setpoint << ' ' << state.speed << ' ' << state.atMs << '\n';
        if (!file)
            usageError("cannot write state file " + temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        usageError("cannot replace state file " + path);
}

// Whether the fault and the delay still apply: during faultsForMs after the control file was
// written. A modification time ahead of the clock (the clock set back) counts as past the
// window, so a clock step never makes a fault last longer.
bool withinFaultWindow(const Control& control)
{
    if (control.faultsForMs < 0)
        return true;
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    const long double elapsedMs = (static_cast<long double>(now.tv_sec) - control.written.tv_sec) * 1000
        + (static_cast<long double>(now.tv_nsec) - control.written.tv_nsec) / 1e6L;
    return elapsedMs >= 0 && elapsedMs < control.faultsForMs;
}

// The fan's speed now: an exponential approach to the setpoint.
double speedAt(const FanState& state, long lagMs, long long nowMs)
{
    const double elapsed = double(nowMs - state.atMs);
    if (lagMs == 0 || elapsed <= 0)
        return lagMs == 0 ? double(state.setpoint) : state.speed;
    return state.setpoint + (state.speed - state.setpoint) * std::exp(-elapsed / double(lagMs));
}

[[noreturn]] void hang()
{
    for (;;)
        pause();
}

void writeAll(int fd, const std::string& bytes)
{
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n <= 0)
            return;
        written += size_t(n);
    }
}

void appendLog(int argc, char** argv)
{
    const char* logPath = std::getenv("KEVO_SIM_LOG");
    if (!logPath || !*logPath)
        return;
    std::ofstream log(logPath, std::ios::app);
    for (int i = 1; i < argc; ++i)
        log << (i > 1 ? " " : "") << argv[i];
    log << '\n';
}

} // namespace

int main(int argc, char** argv)
{
    // A command never outlives the guard that started it: a hung command of a
    // killed guard would otherwise run on, holding the fan state file.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    appendLog(argc, argv);
    const bool isSet = argc == 3 && std::strcmp(argv[1], "--set-fan-rpm") == 0;
    const bool isRead = argc == 2 && std::strcmp(argv[1], "--fan-rpm") == 0;
    long setpoint = 0;
    if (!isSet && !isRead)
        usageError("unexpected arguments");
    if (isSet && (!parseLong(argv[2], &setpoint) || setpoint < 0))
        usageError(std::string("bad setpoint '") + argv[2] + "'");

    const std::string stateFile = statePath();
    const Control control = readControl(environmentOr("KEVO_SIM_CONTROL", stateFile + ".control"));
    // Decided once, at the start: a command that starts within the window keeps its fault.
    const bool faulty = (control.faultsApplyTo == "all" || (isSet && control.faultsApplyTo == "set")
                            || (isRead && control.faultsApplyTo == "read"))
        && withinFaultWindow(control);
    if (faulty && control.delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(control.delayMs));
    const std::string fault = faulty ? control.fault : "none";

    if (fault == "fail")
        return 1;
    if (fault == "crash") {
        const rlimit noCore { 0, 0 }; // a simulated crash leaves no core file behind
        setrlimit(RLIMIT_CORE, &noCore);
        std::abort();
    }
    if (fault == "hang")
        hang();
    if (fault == "flood-stderr")
        writeAll(STDERR_FILENO, std::string(1 << 20, 'e'));

    const long long now = monotonicMs();
    FanState state = readState(stateFile);
    const long speed = std::lround(speedAt(state, control.lagMs, now));

    std::string reply;
    if (isSet) {
        state.speed = speedAt(state, control.lagMs, now);
        state.atMs = now;
        state.setpoint = setpoint;
        writeState(stateFile, state);
    } else if (fault == "garbage") {
        reply = "fan speed unknown\n";
    } else if (fault == "extra-text") {
        reply = std::to_string(speed) + " rpm\n";
    } else if (fault == "out-of-range") {
        reply = "99999999\n";
    } else if (fault == "offset") {
        reply = std::to_string(speed + control.offsetRpm) + "\n";
    } else {
        reply = std::to_string(speed) + "\n";
    }

    // The normal reply, padded with blanks to the configured size.
    if ((fault == "oversize" || fault == "oversize-hang") && reply.size() < size_t(control.outputBytes))
        reply.append(size_t(control.outputBytes) - reply.size(), ' ');
    writeAll(STDOUT_FILENO, reply);
    if (fault == "oversize-hang")
        hang();
    return 0;
}
