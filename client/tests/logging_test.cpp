// Logging helpers: the noop logger, the derived client logger, level forwarding and the
// field helpers, read back as JSON lines from a real file.
#include "korvoc.h"
#include "json_lines.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

using korvo::testing::CapturedFile;
using korvo::testing::LogLine;
using korvo::testing::LogValue;

namespace {

chirp_logger *file_logger(FILE *out, int level = CHIRP_LEVEL_TRACE) {
    chirp_config config;
    chirp_default_config(&config);
    config.level = level;
    config.output = out;
    return chirp_new(&config);
}

struct Release {
    void operator()(chirp_logger *logger) const {
        if (logger) logger->release(logger);
    }
};
using LoggerPtr = std::unique_ptr<chirp_logger, Release>;

// Runs body with fd 2 pointing into a temporary file; returns what reached it.
template <typename Body> std::string capture_stderr(Body body) {
    CapturedFile file;
    fflush(stderr);
    int saved = dup(2);
    dup2(fileno(file.get()), 2);
    body();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return file.contents();
}

} // namespace

TEST(LogClientLogger, AddsSysBeforeEveryEventsFields) {
    CapturedFile file;
    LoggerPtr base(file_logger(file.get()));
    ASSERT_TRUE(base);
    LoggerPtr client(kc_log_client_logger(base.get(), 0));
    ASSERT_TRUE(client);
    EXPECT_NE(client.get(), base.get());

    chirp_field fields[] = {kc_log_str_field("key", "orders/1"), kc_log_u64_field("endpoint_count", 2)};
    kc_log_info(client.get(), "client.init", fields, 2);
    kc_log_info(base.get(), "app.event", nullptr, 0);
    auto lines = file.lines();
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_TRUE(lines[0] && lines[1]);
    EXPECT_EQ(lines[0]->keys(), (std::vector<std::string>{"ts", "level", "event", "sys", "key", "endpoint_count"}));
    EXPECT_EQ(lines[0]->str("sys"), "client.korvo");
    EXPECT_EQ(lines[0]->str("event"), "client.init");
    EXPECT_EQ(lines[0]->str("key"), "orders/1");
    EXPECT_EQ(lines[0]->find("endpoint_count")->text, "2");
    EXPECT_EQ(lines[1]->find("sys"), nullptr) << "the base logger stays as it was";
}

TEST(LogClientLogger, RawFlagReturnsTheBase) {
    CapturedFile file;
    LoggerPtr base(file_logger(file.get()));
    EXPECT_EQ(kc_log_client_logger(base.get(), 1), base.get());
    kc_log_warn(kc_log_client_logger(base.get(), 7), "raw", nullptr, 0);
    auto lines = file.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]->find("sys"), nullptr);
    EXPECT_EQ(kc_log_client_logger(nullptr, 1), kc_log_noop_logger());
}

TEST(LogNoopLogger, OneLoggerThatWritesNothing) {
    chirp_logger *noop = kc_log_noop_logger();
    ASSERT_NE(noop, nullptr);
    EXPECT_EQ(kc_log_noop_logger(), noop);
    std::string written = capture_stderr([&] {
        chirp_field field = kc_log_str_field("k", "v");
        kc_log_error(noop, "client.noop", &field, 1);
        chirp_error(noop, "direct", nullptr, 0);
        // A client logger over no logger derives from the noop one and is silent too.
        LoggerPtr derived(kc_log_client_logger(nullptr, 0));
        ASSERT_TRUE(derived);
        EXPECT_NE(derived.get(), noop);
        kc_log_error(derived.get(), "client.derived", &field, 1);
    });
    EXPECT_EQ(written, "");
}

TEST(LogLevels, EachHelperForwardsToItsLevel) {
    CapturedFile file;
    LoggerPtr logger(file_logger(file.get()));
    chirp_field field = kc_log_bool_field("flag", 1);
    kc_log_trace(logger.get(), "e.trace", &field, 1);
    kc_log_debug(logger.get(), "e.debug", &field, 1);
    kc_log_info(logger.get(), "e.info", &field, 1);
    kc_log_warn(logger.get(), "e.warn", &field, 1);
    kc_log_error(logger.get(), "e.error", &field, 1);
    auto lines = file.lines();
    ASSERT_EQ(lines.size(), 5u);
    const char *levels[] = {"trace", "debug", "info", "warn", "error"};
    for (size_t i = 0; i < 5; i++) {
        ASSERT_TRUE(lines[i]);
        EXPECT_EQ(lines[i]->str("level"), levels[i]);
        EXPECT_EQ(lines[i]->str("event"), std::string("e.") + levels[i]);
        EXPECT_TRUE(lines[i]->find("flag")->boolean);
    }
}

TEST(LogLevels, NullLoggerOrEventWritesNothing) {
    CapturedFile file;
    LoggerPtr logger(file_logger(file.get()));
    chirp_field field = kc_log_i64_field("n", 1);
    auto calls = {kc_log_trace, kc_log_debug, kc_log_info, kc_log_warn, kc_log_error};
    for (auto call : calls) {
        call(logger.get(), nullptr, &field, 1);
        call(nullptr, "event", &field, 1);
    }
    EXPECT_EQ(file.contents(), "");
}

TEST(LogFields, TypesAndNullCases) {
    kc_error error;
    kc_error_init(&error);
    kc_error_set(&error, KC_ERR_SERVER, 409, "lease \"held\"", nullptr, nullptr, nullptr);
    kc_error no_message;
    kc_error_init(&no_message);
    no_message.code = KC_ERR_TRANSPORT;

    CapturedFile file;
    LoggerPtr logger(file_logger(file.get()));
    chirp_field fields[] = {
        kc_log_str_field("s", "text"),
        kc_log_str_field("s_null", nullptr),
        kc_log_bool_field("b_true", 2),
        kc_log_bool_field("b_false", 0),
        kc_log_i64_field("i_min", LONG_MIN),
        kc_log_i64_field("i_neg", -1),
        kc_log_u64_field("u_max", ULONG_MAX),
        kc_log_error_field("error", &error),
        kc_log_error_field("error_no_message", &no_message),
        kc_log_error_field("error_null", nullptr),
        kc_log_code_field(&error),
        kc_log_http_status_field(&error),
    };
    kc_log_warn(logger.get(), "client.describe.error", fields, sizeof(fields) / sizeof(fields[0]));
    chirp_field null_fields[] = {kc_log_code_field(nullptr), kc_log_http_status_field(nullptr)};
    kc_log_warn(logger.get(), "client.null", null_fields, 2);

    auto lines = file.lines();
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_TRUE(lines[0] && lines[1]);
    const LogLine &line = *lines[0];
    EXPECT_EQ(line.keys(), (std::vector<std::string>{"ts", "level", "event", "s", "s_null", "b_true", "b_false",
                                                     "i_min", "i_neg", "u_max", "error", "error_no_message",
                                                     "error_null", "code", "http_status"}));
    EXPECT_EQ(line.str("s"), "text");
    EXPECT_EQ(line.find("s_null")->type, LogValue::Null);
    EXPECT_TRUE(line.find("b_true")->boolean);
    EXPECT_EQ(line.find("b_false")->type, LogValue::Bool);
    EXPECT_FALSE(line.find("b_false")->boolean);
    EXPECT_EQ(line.find("i_min")->text, "-9223372036854775808"); // sign-extended
    EXPECT_EQ(line.find("i_neg")->text, "-1");
    EXPECT_EQ(line.find("u_max")->text, "18446744073709551615"); // zero-extended
    EXPECT_EQ(line.str("error"), "lease \"held\"");
    EXPECT_EQ(line.find("error_no_message")->type, LogValue::Null);
    EXPECT_EQ(line.find("error_null")->type, LogValue::Null);
    EXPECT_EQ(line.find("code")->type, LogValue::Number);
    EXPECT_EQ(line.find("code")->text, "5");
    EXPECT_EQ(line.find("http_status")->text, "409");
    EXPECT_EQ(lines[1]->keys(), (std::vector<std::string>{"ts", "level", "event", "code", "http_status"}));
    EXPECT_EQ(lines[1]->find("code")->type, LogValue::Null);
    EXPECT_EQ(lines[1]->find("http_status")->type, LogValue::Null);
    kc_error_cleanup(&error);
}

// The noop logger is created once even when many threads ask for it first at the same time;
// client loggers derived concurrently from one base all write whole lines with "sys".
TEST(LogThreads, NoopLoggerIsCreatedOnceAndClientLoggersShareABase) {
    constexpr int thread_count = 8;
    std::vector<chirp_logger *> seen(thread_count, nullptr);
    CapturedFile file;
    LoggerPtr base(file_logger(file.get()));
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < thread_count; t++) {
            threads.emplace_back([&, t] {
                seen[t] = kc_log_noop_logger();
                LoggerPtr client(kc_log_client_logger(base.get(), 0));
                for (int i = 0; i < 200; i++) {
                    chirp_field fields[] = {kc_log_i64_field("thread", t), kc_log_i64_field("seq", i)};
                    kc_log_info(client.get(), "client.thread", fields, 2);
                }
            });
        }
        for (auto &thread : threads) thread.join();
    }
    for (int t = 0; t < thread_count; t++) {
        EXPECT_NE(seen[t], nullptr);
        EXPECT_EQ(seen[t], seen[0]);
    }
    auto lines = file.lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(thread_count * 200));
    for (const auto &line : lines) {
        ASSERT_TRUE(line);
        EXPECT_EQ(line->str("sys"), "client.korvo");
    }
}
