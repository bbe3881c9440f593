// A private JACK server for tests that need real audio or MIDI plumbing.
//
// Starts `jackd --no-realtime -n <unique name> -d dummy -r <rate> -p <period>` as a child process, waits
// until it accepts clients and points this process's JACK clients at it (JACK_DEFAULT_SERVER).
// The destructor stops the server and unsets JACK_DEFAULT_SERVER. If jackd (or the JACK client
// library) is missing or the server does not come up, available() is false and skip_reason() says
// why; tests then GTEST_SKIP with that reason. Should this process die without running the
// destructor, the server goes with the thread that created it (see ChildProgram).
#ifndef BEATLUME_TESTS_SUPPORT_JACK_SERVER_H
#define BEATLUME_TESTS_SUPPORT_JACK_SERVER_H

#include <memory>
#include <string>

#include "child_program.h"

namespace beatlume::test {

class JackServer {
public:
    explicit JackServer(double startTimeoutSeconds = 30.0, int rate = 44100, int period = 128);
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    bool available() const { return ready_; }
    const std::string& skip_reason() const { return reason_; }
    const std::string& name() const { return name_; }
    // Stops the server, as a crash or unplugged interface would, and starts it again under the
    // same name: what clients see when their server goes away and comes back.
    void stop();
    bool start();

private:
    double startTimeout_;
    int rate_;
    int period_;

    std::unique_ptr<ChildProgram> jackd_;
    bool ready_ = false;
    bool envSet_ = false;
    std::string name_;
    std::string reason_;
    std::string logPath_;
};

} // namespace beatlume::test

#endif
