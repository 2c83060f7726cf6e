#include <gtest/gtest.h>

#include "capture_sink.hpp"
#include "korvalite/log.hpp"

using namespace korvalite;

TEST(Log, DisabledLevelsFormatNothing) {
    test_support::ScopedCapture capture;
    log::targets::genicam.set_max_level(log::Level::Debug);
    int formatted = 0;
    auto text = [&] {
        ++formatted;
        return std::string("x");
    };
    KORVALITE_LOG(log::targets::genicam, log::Level::Trace, text());
    EXPECT_EQ(formatted, 0);
    KORVALITE_LOG(log::targets::genicam, log::Level::Debug, text(), {{"address", 0x0A00u}, {"n", -3}});
    EXPECT_EQ(formatted, 1);
    auto events = capture->snapshot();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].target, "korvalite::genicam");
    EXPECT_EQ(events[0].fields[0].name, "address");
    EXPECT_EQ(std::get<std::uint64_t>(events[0].fields[0].value), 0x0A00u);
    EXPECT_EQ(std::get<std::int64_t>(events[0].fields[1].value), -3);
}

TEST(Log, RemovingTheSinkTurnsEveryTargetOff) {
    {
        test_support::ScopedCapture capture;
        EXPECT_TRUE(log::targets::gige_runner.enabled(log::Level::Trace));
    }
    for (auto* t : log::all_targets()) EXPECT_FALSE(t->enabled(log::Level::Error)) << t->name();
    EXPECT_EQ(log::find_target("korvalite::gige::stream::runner"), &log::targets::gige_stream_runner);
    EXPECT_EQ(log::find_target("korvalite::nothing"), nullptr);
}
