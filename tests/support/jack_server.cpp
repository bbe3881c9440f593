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
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#if BEATLUME_HAVE_JACK
#include <jack/jack.h>
#endif

// libjack's lock-free ring buffers order their memcpy's with barriers ThreadSanitizer cannot see
// in the uninstrumented library; without this every JACK MIDI transfer reads as a race. Any test
// program that starts a JackServer links this definition.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libjack.so\n";
}

namespace beatlume::test {
namespace {

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
    static std::atomic<int> counter{0};
    if (name_.empty())
        name_ = "beatlume-test-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
    logPath_ = "/tmp/" + name_ + ".log";
    ready_ = false;
    std::vector<std::string> args = {"jackd", "--no-realtime", "-n", name_, "-d", "dummy",
                                     "-r",    std::to_string(rate_), "-p", std::to_string(period_)};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // Keeps the server from asking D-Bus for devices; means nothing to this process.
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);

    // fork and exec rather than posix_spawn, so that the server can be told to go when this process
    // dies without running destructors (a sanitizer abort, a crash): no orphaned servers.
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
#ifdef __linux__
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(126);
#endif
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execvp("jackd", argv.data());
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
            reason_ = WIFEXITED(status) && WEXITSTATUS(status) == 127
                          ? "jackd is not installed (Debian package jackd2)"
                          : "jackd exited during start-up:\n" + read_tail(logPath_);
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
