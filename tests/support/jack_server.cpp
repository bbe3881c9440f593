#include "jack_server.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#if BEATLUME_HAVE_JACK
#include <jack/jack.h>
#endif

extern char** environ;

// libjack's lock-free ring buffers order their memcpy's with barriers ThreadSanitizer cannot see
// in the uninstrumented library; without this every JACK MIDI transfer reads as a race. Any test
// program that starts a JackServer links this definition.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libjack.so\n";
}

namespace beatlume::test {
namespace {

std::string find_in_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

std::string read_tail(const std::string& path) {
    std::ifstream in(path);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    return text.size() > 1500 ? text.substr(text.size() - 1500) : text;
}

#if BEATLUME_HAVE_JACK
void quiet(const char*) {}
void to_stderr(const char* message) {
    std::fprintf(stderr, "%s\n", message);
}

bool accepts_clients(const std::string& server) {
    jack_status_t status;
    jack_client_t* probe =
        jack_client_open("beatlume-probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                         &status, server.c_str());
    if (probe == nullptr)
        return false;
    jack_client_close(probe);
    return true;
}
#endif

} // namespace

JackServer::JackServer(double startTimeoutSeconds, int rate, int period)
    : startTimeout_(startTimeoutSeconds), rate_(rate), period_(period) {
    start();
}

bool JackServer::start() {
#if !BEATLUME_HAVE_JACK
    reason_ = "the JACK client library was not found at build time";
    return false;
#else
    const std::string jackd = find_in_path("jackd");
    if (jackd.empty()) {
        reason_ = "jackd is not installed (Debian package jackd2)";
        return false;
    }
    static std::atomic<int> counter{0};
    if (name_.empty())
        name_ = "beatlume-test-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
    logPath_ = "/tmp/" + name_ + ".log";
    ready_ = false;

    std::vector<std::string> args = {jackd, "--no-realtime", "-n", name_, "-d", "dummy",
                                     "-r",  std::to_string(rate_), "-p", std::to_string(period_)};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // The child gets our environment plus the switch that keeps it from asking D-Bus for devices.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e)
        envStrings.emplace_back(*e);
    envStrings.emplace_back("JACK_NO_AUDIO_RESERVATION=1");
    std::vector<char*> envp;
    for (std::string& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    // fork and exec rather than posix_spawn, so that the server can be told to go when this process
    // dies without running destructors (a sanitizer abort, a crash): no orphaned servers.
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
#ifdef __linux__
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
#endif
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in >= 0)
            dup2(in, STDIN_FILENO);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        execve(jackd.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (child < 0) {
        reason_ = std::string("could not start jackd: ") + std::strerror(errno);
        return false;
    }
    pid_ = child;

    // Poll until the server answers; the timeout only guards against a server that never comes up.
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(startTimeout_);
    while (!ready_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            reason_ = "jackd exited during start-up:\n" + read_tail(logPath_);
            break;
        }
        if (accepts_clients(name_)) {
            ready_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            reason_ = "jackd did not accept clients in time:\n" + read_tail(logPath_);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    jack_set_error_function(to_stderr);
    jack_set_info_function(quiet);
    if (!ready_) {
        stop();
        return false;
    }
    envSet_ = true;
    setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    return true;
#endif
}

JackServer::~JackServer() {
    if (envSet_)
        unsetenv("JACK_DEFAULT_SERVER");
    stop();
}

void JackServer::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }
    if (!logPath_.empty())
        unlink(logPath_.c_str());
}

} // namespace beatlume::test
