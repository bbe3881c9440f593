#include "child_program.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

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
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
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
