#include "common.h"

#include <atomic>
#include <cstdio>

extern "C" {

int LUMACORE_ERROR_STATUS = 0;
lc_logmsg_handler_fn lc_logmsg_handler = nullptr;
void* lc_logmsg_handler_udata = nullptr;

void lc_set_logmsg_handler(lc_logmsg_handler_fn handler, void* udata) {
    // The user data goes out first so that a thread seeing the new handler also sees its data.
    std::atomic_ref<void*>(lc_logmsg_handler_udata).store(udata, std::memory_order_release);
    std::atomic_ref<lc_logmsg_handler_fn>(lc_logmsg_handler).store(handler, std::memory_order_release);
}

void lc_logmsg(int level, const char* format, ...) {
    lc_logmsg_handler_fn handler =
        std::atomic_ref<lc_logmsg_handler_fn>(lc_logmsg_handler).load(std::memory_order_acquire);
    if (handler == nullptr)
        return;
    void* udata = std::atomic_ref<void*>(lc_logmsg_handler_udata).load(std::memory_order_acquire);
    va_list args;
    va_start(args, format);
    handler(level, udata, format, args);
    va_end(args);
}

void lc_logmsg_stderr(int level, void* /*udata*/, const char* format, va_list args) {
    const char* fill = level == LC_LOG_WARNING ? " Warning" : level == LC_LOG_ERROR ? " Error" : "";
    // One buffer and one write, so that lines from several threads do not interleave.
    char line[1024];
    int prefix = std::snprintf(line, sizeof line, "Lumacore%s: ", fill);
    int body = std::vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix), format, args);
    size_t used = static_cast<size_t>(prefix) + (body > 0 ? static_cast<size_t>(body) : 0);
    if (used > sizeof line - 2)
        used = sizeof line - 2;
    line[used] = '\n';
    line[used + 1] = '\0';
    std::fputs(line, stderr);
}

} // extern "C"
