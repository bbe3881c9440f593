// A program under test (or a server it needs) as a child process, its standard output and error
// in a file; ended when the object goes, however the test ends, and when the thread that made it
// ends (Linux): create it on the test's own thread.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace beatlume::test {

class ChildProgram {
public:
    // `argv[0]` is the program, found on PATH unless it has a slash; exit status 127 when it is
    // missing. `extraEnvironment` ("NAME=value") comes before this
    // process's own, so it wins.
    ChildProgram(std::vector<std::string> argv, const std::string& outputPath,
                 const std::vector<std::string>& extraEnvironment = {});
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    bool started() const { return pid > 0; }
    bool running();
    // SIGTERM, then the exit status once it has ended (128 + signal when a signal ended it; -1
    // when it has not ended within `seconds`).
    int terminate(int seconds = 10);
    // Everything it has written so far.
    std::string output() const;

private:
    // Collects the exit status if the program has ended; true once it has.
    bool reap();

    std::string outputFile;
    pid_t pid = -1;
    bool ended = false;
    int exitStatus = -1;
};

} // namespace beatlume::test
