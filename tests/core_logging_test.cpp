// Loggers: one per name, levels filter before sinks, captured lines are exact.
#include <gtest/gtest.h>

#include "support/log_capture.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/logging.hpp"

using namespace tarvik_core;

namespace {

TEST(Loggers, OnePerNameAndStableAcrossCalls) {
    Logger& a = get_logger("tarvik_test.one");
    Logger& b = get_logger("tarvik_test.one");
    EXPECT_EQ(&a, &b);
    EXPECT_NE(&a, &get_logger("tarvik_test.two"));
    EXPECT_EQ(a.name(), "tarvik_test.one");
}

TEST(Loggers, CaptureSeesExactLinesAndLevelsOfItsLoggerOnly) {
    tarvik_test::LogCapture logs("tarvik_test.capture");
    get_logger("tarvik_test.capture").warning("filtered_sensor_space() failed (boom) \u2014 falling back");
    get_logger("tarvik_test.capture").debug("details");
    get_logger("tarvik_test.other").error("not mine");
    auto lines = logs.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, LogLevel::warning);
    EXPECT_EQ(lines[0].message, "filtered_sensor_space() failed (boom) \u2014 falling back");
    EXPECT_TRUE(logs.contains(LogLevel::debug, "details"));
}

TEST(Loggers, LevelFiltersBeforeSinksAndCaptureRestoresIt) {
    Logger& logger = get_logger("tarvik_test.level");
    logger.set_level(LogLevel::warning);
    {
        tarvik_test::LogCapture logs("tarvik_test.level");
        EXPECT_TRUE(logger.enabled(LogLevel::debug));
        logger.set_level(LogLevel::error);
        logger.info("dropped");
        logger.error("kept");
        EXPECT_EQ(logs.lines().size(), 1u);
    }
    EXPECT_EQ(logger.level(), LogLevel::warning);
    EXPECT_FALSE(logger.enabled(LogLevel::info));
}

TEST(Loggers, LevelNames) {
    EXPECT_EQ(log_level_from_name("warning"), LogLevel::warning);
    EXPECT_EQ(log_level_name(LogLevel::debug), "debug");
    EXPECT_THROW(log_level_from_name("verbose"), ValueError);
}

}  // namespace
