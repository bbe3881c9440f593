// Engine logging: silent without a handler, and the ready stderr handler keeps one line a message.
#include "common.h"

#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"

namespace {

TEST(EngineLog, IsSilentWithoutHandlerAndReachesAnInstalledOne) {
    EXPECT_EQ(LUMACORE_ERROR_STATUS, 0); // nothing has failed yet
    lc_set_logmsg_handler(nullptr, nullptr);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    lc_logmsg(LC_LOG_ERROR, "nobody listens %d", 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");

    LogCapture log;
    lc_logmsg(LC_LOG_WARNING, "Sequencer: %s %d", "value", 42);
    EXPECT_TRUE(log.count("Sequencer: value 42") == 1 && log.count_level(LC_LOG_WARNING) == 1);
}

TEST(EngineLog, StderrHandlerCutsALongMessageToOneLine) {
    lc_set_logmsg_handler(lc_logmsg_stderr, nullptr);
    testing::internal::CaptureStderr();
    lc_logmsg(LC_LOG_PROGRESS, "%s", std::string(5000, 'x').c_str());
    const std::string cut = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(cut.size() < 1100u && cut.find('\n') == cut.size() - 1) << cut.size();
    lc_set_logmsg_handler(nullptr, nullptr);
}

} // namespace
