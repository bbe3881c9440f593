#include "EngineLog.h"

#include "common.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>

EngineLog::EngineLog(const std::string& path) : path_(path) {
    if (path_.empty())
        return;
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
    file_ = std::fopen(path_.c_str(), "a");
}

EngineLog::~EngineLog() {
    uninstall();
    drain();
    if (file_)
        std::fclose(file_);
}

std::string EngineLog::defaultPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state)
        return std::string(state) + "/beatlume/beatlume.log";
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.local/state/beatlume/beatlume.log";
    return {};
}

void EngineLog::install() {
    lc_set_logmsg_handler(&EngineLog::handler, this);
}

void EngineLog::uninstall() {
    if (lc_logmsg_handler == &EngineLog::handler && lc_logmsg_handler_udata == this)
        lc_set_logmsg_handler(nullptr, nullptr);
}

void EngineLog::handler(int level, void* self, const char* format, va_list args) {
    static_cast<EngineLog*>(self)->post(level, format, args);
}

void EngineLog::post(int level, const char* format, va_list args) {
    const unsigned long claim = claimed_.fetch_add(1);
    Slot& slot = ring_[claim % slotCount];
    slot.ready.store(0, std::memory_order_relaxed);
    slot.level = level;
    std::vsnprintf(slot.text, sizeof slot.text, format, args);
    slot.ready.store(claim + 1, std::memory_order_release);
}

bool EngineLog::drain() {
    bool problems = false;
    const unsigned long end = claimed_.load();
    // Messages lapped by the writers are lost; say so rather than print mixed texts.
    if (end - read_ > slotCount) {
        if (file_)
            std::fprintf(file_, "(%lu messages lost)\n", end - read_ - slotCount);
        read_ = end - slotCount;
    }
    for (; read_ < end; ++read_) {
        const Slot& slot = ring_[read_ % slotCount];
        if (slot.ready.load(std::memory_order_acquire) != read_ + 1)
            break; // still being written: next time
        std::string text = slot.text;
        while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
            text.pop_back();
        if (slot.level >= LC_LOG_WARNING) {
            problems = true;
            problem_ = text;
        }
        if (file_) {
            const std::time_t now = std::time(nullptr);
            char stamp[32];
            std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
            static const char* const names[] = {"", "", " warning", " error"};
            const int level = slot.level < 0 ? 0 : slot.level > 3 ? 3 : slot.level;
            std::fprintf(file_, "%s%s: %s\n", stamp, names[level], text.c_str());
        }
    }
    if (file_)
        std::fflush(file_);
    return problems;
}
