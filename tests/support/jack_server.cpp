#include "jack_server.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

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

#if BEATLUME_HAVE_JACK
std::string tail(const std::string& text) {
    return text.size() > 1500 ? text.substr(text.size() - 1500) : text;
}

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
    // The environment keeps the server from asking D-Bus for devices.
    jackd_ = std::make_unique<ChildProgram>(
        std::vector<std::string>{"jackd", "--no-realtime", "-n", name_, "-d", "dummy", "-r", std::to_string(rate_),
                                 "-p", std::to_string(period_)},
        logPath_, std::vector<std::string>{"JACK_NO_AUDIO_RESERVATION=1"});

    // Poll until the server answers; the timeout only guards against a server that never comes up.
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(startTimeout_);
    while (!ready_) {
        if (!jackd_->running()) {
            reason_ = jackd_->terminate() == 127 ? "jackd is not installed (Debian package jackd2)"
                                                 : "jackd exited during start-up:\n" + tail(jackd_->output());
            break;
        }
        if (accepts_clients(name_)) {
            ready_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            reason_ = "jackd did not accept clients in time:\n" + tail(jackd_->output());
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
    jackd_.reset(); // SIGTERM, and SIGKILL after 10 s
    if (!logPath_.empty())
        unlink(logPath_.c_str());
}

} // namespace beatlume::test
