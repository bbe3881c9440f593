// Collects the engine's log messages during a test (the handler is thread-safe; tests only).
#ifndef BEATLUME_TESTS_LUMACORE_LOG_CAPTURE_H
#define BEATLUME_TESTS_LUMACORE_LOG_CAPTURE_H

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common.h"

class LogCapture {
public:
    LogCapture() { lc_set_logmsg_handler(&LogCapture::handle, this); }
    ~LogCapture() { lc_set_logmsg_handler(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Number of messages at any level that contain `text`.
    int count(const std::string& text) const {
        std::lock_guard<std::mutex> guard(lock_);
        int n = 0;
        for (const auto& m : messages_)
            n += m.second.find(text) != std::string::npos ? 1 : 0;
        return n;
    }
    int count_level(int level) const {
        std::lock_guard<std::mutex> guard(lock_);
        int n = 0;
        for (const auto& m : messages_)
            n += m.first == level ? 1 : 0;
        return n;
    }

private:
    static void handle(int level, void* udata, const char* format, va_list args) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        auto* self = static_cast<LogCapture*>(udata);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->messages_.emplace_back(level, text);
    }

    mutable std::mutex lock_;
    std::vector<std::pair<int, std::string>> messages_;
};

#endif
