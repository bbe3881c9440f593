#include "child_program.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace beatlume::test {

ChildProgram::ChildProgram(std::vector<std::string> argv, const std::string& output,
                           const std::vector<std::string>& extraEnvironment)
    : outputFile(output) {
    std::vector<std::string> env(extraEnvironment);
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    std::vector<char*> envp, args;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    for (std::string& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    // fork and exec rather than posix_spawn, so that the child is told to go when this thread
    // ends without running destructors (a sanitizer abort, a crash): no orphans. Between the two
    // only async-signal-safe calls.
    const pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(126);
        const int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
}

ChildProgram::~ChildProgram() {
    if (started() && !ended && terminate() < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

bool ChildProgram::reap() {
    int status = 0;
    if (started() && !ended && waitpid(pid, &status, WNOHANG) == pid) {
        ended = true;
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return ended;
}

bool ChildProgram::running() {
    return started() && !reap();
}

int ChildProgram::terminate(int seconds) {
    if (!started() || reap())
        return exitStatus;
    kill(pid, SIGTERM);
    for (int i = 0; i < seconds * 20 && !reap(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return exitStatus;
}

std::string ChildProgram::output() const {
    std::ifstream in(outputFile);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace beatlume::test
