#pragma once

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

// The program's engine log handler: every engine message (and the program's own, through
// lc_logmsg) is kept in a small ring without locks or allocation, so that any thread — the audio
// and timer threads included — may log; a thread of the program's choosing later writes them to
// the log file and learns the latest problem for its status line.
class EngineLog {
public:
    // Appends to `path` (its folder is created); without a path, or when the file cannot be
    // opened, messages are only kept for the status line.
    explicit EngineLog(const std::string& path);
    ~EngineLog();
    EngineLog(const EngineLog&) = delete;
    EngineLog& operator=(const EngineLog&) = delete;

    // $XDG_STATE_HOME/beatlume/beatlume.log, else ~/.local/state/beatlume/beatlume.log; empty
    // when neither variable is set.
    static std::string defaultPath();

    // Makes this the engine's log handler / removes it again (only if it is still this one).
    void install();
    void uninstall();

    // Keeps one message. ANY THREAD, also audio and timer: no allocation, no lock, no I/O.
    void post(int level, const char* format, va_list args);

    // Writes the kept messages to the file. Returns true when a warning or error was among them;
    // lastProblem() then holds the latest. Not for the audio or timer thread.
    bool drain();
    const std::string& lastProblem() const { return problem_; }
    const std::string& path() const { return path_; }

private:
    static void handler(int level, void* self, const char* format, va_list args);

    static constexpr std::size_t slotCount = 128;
    struct Slot {
        std::atomic<unsigned long> ready{0}; // claim number + 1 once written
        int level = 0;
        char text[256] = {};
    };
    std::array<Slot, slotCount> ring_;
    std::atomic<unsigned long> claimed_{0};
    unsigned long read_ = 0;
    std::string path_;
    std::FILE* file_ = nullptr;
    std::string problem_;
};
