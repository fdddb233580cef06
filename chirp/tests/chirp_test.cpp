// libchirp: every line read back from a real FILE and parsed as strict JSON.
#include "chirp.h"
#include "json_lines.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <memory>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using korvo::testing::CapturedFile;
using korvo::testing::LogLine;
using korvo::testing::LogValue;
using korvo::testing::parse_log_line;
using korvo::testing::split_lines;

namespace {

struct LoggerDeleter {
    void operator()(chirp_logger *logger) const {
        if (logger) logger->release(logger);
    }
};
using LoggerPtr = std::unique_ptr<chirp_logger, LoggerDeleter>;

LoggerPtr make_logger(FILE *out, int level = CHIRP_LEVEL_TRACE) {
    chirp_config config;
    chirp_default_config(&config);
    config.level = level;
    config.output = out;
    return LoggerPtr(chirp_new(&config));
}

LogLine only_line(const CapturedFile &file) {
    auto lines = file.lines();
    EXPECT_EQ(lines.size(), 1u) << file.contents();
    if (lines.size() != 1 || !lines[0]) {
        ADD_FAILURE() << "not one valid JSON line: " << file.contents();
        return {};
    }
    return *lines[0];
}

// The decoded string value of the event's field "v".
std::string logged_string(const char *value) {
    CapturedFile file;
    auto logger = make_logger(file.get());
    chirp_field field = chirp_str("v", value);
    chirp_info(logger.get(), "e", &field, 1);
    return only_line(file).str("v");
}

} // namespace

TEST(ChirpLineParser, RejectsWhatIsNotJson) {
    // The tests below lean on this parser; it must not accept broken lines.
    EXPECT_TRUE(parse_log_line(R"({"a":"x","b":-12,"c":true,"d":null})"));
    EXPECT_FALSE(parse_log_line(R"({"a":"x")"));
    EXPECT_FALSE(parse_log_line(R"({"a":"x"} trailing)"));
    EXPECT_FALSE(parse_log_line("{\"a\":\"tab\there\"}"));
    EXPECT_FALSE(parse_log_line("{\"a\":\"\xff\"}"));
    EXPECT_FALSE(parse_log_line(R"({"a":"\ud800"})"));
    EXPECT_FALSE(parse_log_line(R"({"a":01})"));
    EXPECT_FALSE(parse_log_line(R"({"a":"q"q"})"));
}

TEST(ChirpConfig, DefaultsAreInfoAndStderr) {
    chirp_config config;
    config.level = 99;
    config.output = stdout;
    chirp_default_config(&config);
    EXPECT_EQ(config.level, CHIRP_LEVEL_INFO);
    EXPECT_EQ(config.output, nullptr);
    chirp_default_config(nullptr);
}

TEST(ChirpConfig, NullOutputWritesToStderr) {
    CapturedFile file;
    fflush(stderr);
    int saved = dup(2);
    ASSERT_GE(saved, 0);
    ASSERT_GE(dup2(fileno(file.get()), 2), 0);
    {
        LoggerPtr logger(chirp_new(nullptr)); // defaults: info level, stderr
        ASSERT_TRUE(logger);
        chirp_debug(logger.get(), "dropped", nullptr, 0);
        chirp_info(logger.get(), "to.stderr", nullptr, 0);
    }
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    EXPECT_EQ(only_line(file).str("event"), "to.stderr");
}

TEST(ChirpEvent, LineHasTimestampLevelEventThenFieldsInOrder) {
    CapturedFile file;
    auto logger = make_logger(file.get());
    time_t before = time(nullptr);
    chirp_field fields[] = {
        chirp_str("key", "k1"),          chirp_trusted_str("owner", "worker-7"), chirp_null("nothing"),
        chirp_bool("yes", 5),            chirp_bool("no", 0),                    chirp_i64("min", INT64_MIN),
        chirp_i64("max", INT64_MAX),     chirp_u64("umax", UINT64_MAX),          chirp_i64("zero", 0),
    };
    chirp_info(logger.get(), "client.init", fields, sizeof(fields) / sizeof(fields[0]));
    time_t after = time(nullptr);

    std::string raw = file.contents();
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ(raw.back(), '\n');
    EXPECT_EQ(raw.find('\n'), raw.size() - 1) << "one event, one line";
    LogLine line = only_line(file);
    EXPECT_EQ(line.keys(), (std::vector<std::string>{"ts", "level", "event", "key", "owner", "nothing", "yes", "no",
                                                     "min", "max", "umax", "zero"}));
    EXPECT_EQ(line.str("level"), "info");
    EXPECT_EQ(line.str("event"), "client.init");
    EXPECT_EQ(line.str("key"), "k1");
    EXPECT_EQ(line.str("owner"), "worker-7");
    EXPECT_EQ(line.find("nothing")->type, LogValue::Null);
    EXPECT_EQ(line.find("yes")->type, LogValue::Bool);
    EXPECT_TRUE(line.find("yes")->boolean);
    EXPECT_FALSE(line.find("no")->boolean);
    EXPECT_EQ(line.find("min")->text, "-9223372036854775808");
    EXPECT_EQ(line.find("max")->text, "9223372036854775807");
    EXPECT_EQ(line.find("umax")->text, "18446744073709551615");
    EXPECT_EQ(line.find("zero")->text, "0");

    // "ts": RFC 3339 UTC with milliseconds, at the time of the call.
    std::string ts = line.str("ts");
    ASSERT_EQ(ts.size(), 24u) << ts;
    tm parts{};
    int ms = -1;
    ASSERT_EQ(sscanf(ts.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                     &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &ms),
              7)
        << ts;
    EXPECT_EQ(ts[10], 'T');
    EXPECT_EQ(ts[23], 'Z');
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, 999);
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    time_t logged = timegm(&parts);
    EXPECT_GE(logged, before);
    EXPECT_LE(logged, after);
}

TEST(ChirpEvent, EachCallWritesItsLevelName) {
    CapturedFile file;
    auto logger = make_logger(file.get());
    chirp_trace(logger.get(), "a", nullptr, 0);
    chirp_debug(logger.get(), "b", nullptr, 0);
    chirp_info(logger.get(), "c", nullptr, 0);
    chirp_warn(logger.get(), "d", nullptr, 0);
    chirp_error(logger.get(), "e", nullptr, 0);
    auto lines = file.lines();
    ASSERT_EQ(lines.size(), 5u);
    const char *levels[] = {"trace", "debug", "info", "warn", "error"};
    const char *events[] = {"a", "b", "c", "d", "e"};
    for (size_t i = 0; i < 5; i++) {
        ASSERT_TRUE(lines[i]);
        EXPECT_EQ(lines[i]->str("level"), levels[i]);
        EXPECT_EQ(lines[i]->str("event"), events[i]);
        EXPECT_EQ(lines[i]->members.size(), 3u);
    }
}

TEST(ChirpEvent, EventsBelowTheLevelAreDropped) {
    CapturedFile file;
    auto logger = make_logger(file.get(), CHIRP_LEVEL_WARN);
    chirp_trace(logger.get(), "t", nullptr, 0);
    chirp_debug(logger.get(), "d", nullptr, 0);
    chirp_info(logger.get(), "i", nullptr, 0);
    chirp_warn(logger.get(), "w", nullptr, 0);
    chirp_error(logger.get(), "e", nullptr, 0);
    auto lines = file.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]->str("event"), "w");
    EXPECT_EQ(lines[1]->str("event"), "e");

    CapturedFile silent;
    auto quiet = make_logger(silent.get(), 127);
    chirp_error(quiet.get(), "e", nullptr, 0);
    LoggerPtr quiet_child(chirp_with(quiet.get(), nullptr, 0));
    ASSERT_TRUE(quiet_child);
    chirp_error(quiet_child.get(), "e", nullptr, 0);
    EXPECT_EQ(silent.contents(), "");
}

TEST(ChirpEvent, NullArgumentsAreHandled) {
    CapturedFile file;
    auto logger = make_logger(file.get());
    chirp_info(nullptr, "nothing", nullptr, 0);
    chirp_field unnamed = chirp_i64(nullptr, 3);
    chirp_info(logger.get(), nullptr, &unnamed, 1);
    chirp_info(logger.get(), "no.fields", nullptr, 4);
    auto lines = file.lines();
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_TRUE(lines[0] && lines[1]);
    EXPECT_EQ(lines[0]->find("event")->type, LogValue::Null);
    EXPECT_EQ(lines[0]->keys(), (std::vector<std::string>{"ts", "level", "event", ""}));
    EXPECT_EQ(lines[1]->members.size(), 3u);

    chirp_field from_null = chirp_str("k", nullptr);
    EXPECT_EQ(from_null.kind, CHIRP_KIND_NULL);
    EXPECT_EQ(chirp_trusted_str("k", nullptr).kind, CHIRP_KIND_NULL);
}

TEST(ChirpEvent, StringsAreEscaped) {
    EXPECT_EQ(logged_string("say \"hi\" \\ / done"), "say \"hi\" \\ / done");
    EXPECT_EQ(logged_string("a\nb\rc\td\be\ff"), "a\nb\rc\td\be\ff");
    EXPECT_EQ(logged_string("\x01\x1f\x7f"), "\x01\x1f\x7f");
    EXPECT_EQ(logged_string(""), "");
    // Valid UTF-8 passes through: 2, 3 and 4 byte forms.
    EXPECT_EQ(logged_string("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");

    // Keys and event names are escaped like values.
    CapturedFile file;
    auto logger = make_logger(file.get());
    chirp_field field = chirp_bool("we\"ird\nkey", 1);
    chirp_info(logger.get(), "ev\"ent", &field, 1);
    LogLine line = only_line(file);
    EXPECT_EQ(line.str("event"), "ev\"ent");
    EXPECT_NE(line.find("we\"ird\nkey"), nullptr);
}

TEST(ChirpEvent, InvalidUtf8BecomesReplacementCharacter) {
    const std::string fffd = "\xef\xbf\xbd";
    EXPECT_EQ(logged_string("a\xff" "b"), "a" + fffd + "b");
    EXPECT_EQ(logged_string("\xc3"), fffd);                              // truncated at the end
    EXPECT_EQ(logged_string("\xc0\xaf"), fffd + fffd);                   // overlong '/'
    EXPECT_EQ(logged_string("\xed\xa0\x80"), fffd + fffd + fffd);        // surrogate U+D800
    EXPECT_EQ(logged_string("\xf4\x90\x80\x80"), fffd + fffd + fffd + fffd); // past U+10FFFF
    EXPECT_EQ(logged_string("\x80ok"), fffd + "ok");                     // stray continuation

    // Trusted strings are still checked: a broken promise cannot break the line.
    CapturedFile file;
    auto logger = make_logger(file.get());
    chirp_field field = chirp_trusted_str("v", "quote\" and \xff");
    chirp_info(logger.get(), "e", &field, 1);
    EXPECT_EQ(only_line(file).str("v"), "quote\" and " + fffd);
}

TEST(ChirpEvent, LargeEventIsOneWholeLine) {
    std::string big(200000, 'x');
    for (size_t i = 0; i < big.size(); i += 97) big[i] = '"';
    EXPECT_EQ(logged_string(big.c_str()), big);
}

TEST(ChirpEvent, PendingStdioOutputOnTheSameStreamKeepsItsOrder) {
    CapturedFile file;
    auto logger = make_logger(file.get());
    fputs("before\n", file.get()); // still in the stream's buffer
    chirp_info(logger.get(), "middle", nullptr, 0);
    fputs("after\n", file.get());
    auto lines = split_lines(file.contents());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "before");
    auto middle = parse_log_line(lines[1]);
    ASSERT_TRUE(middle);
    EXPECT_EQ(middle->str("event"), "middle");
    EXPECT_EQ(lines[2], "after");
}

TEST(ChirpEvent, StreamWithoutDescriptorGetsTheLine) {
    char *data = nullptr;
    size_t size = 0;
    FILE *memory = open_memstream(&data, &size);
    ASSERT_NE(memory, nullptr);
    {
        auto logger = make_logger(memory);
        chirp_field field = chirp_u64("n", 42);
        chirp_warn(logger.get(), "in.memory", &field, 1);
    }
    fclose(memory);
    std::string text(data, size);
    free(data);
    auto lines = split_lines(text);
    ASSERT_EQ(lines.size(), 1u);
    auto line = parse_log_line(lines[0]);
    ASSERT_TRUE(line) << text;
    EXPECT_EQ(line->str("event"), "in.memory");
    EXPECT_EQ(line->find("n")->text, "42");
}

TEST(ChirpWith, DerivedFieldsPrecedeEventFields) {
    CapturedFile file;
    auto root = make_logger(file.get());
    chirp_field first[] = {chirp_trusted_str("sys", "client.korvo"), chirp_i64("worker", -3)};
    LoggerPtr child(chirp_with(root.get(), first, 2));
    ASSERT_TRUE(child);
    chirp_field second = chirp_bool("inner", 1);
    LoggerPtr grandchild(chirp_with(child.get(), &second, 1));
    ASSERT_TRUE(grandchild);

    chirp_field own = chirp_str("key", "k");
    chirp_info(grandchild.get(), "g", &own, 1);
    chirp_info(child.get(), "c", nullptr, 0);
    chirp_info(root.get(), "r", nullptr, 0);
    auto lines = file.lines();
    ASSERT_EQ(lines.size(), 3u);
    ASSERT_TRUE(lines[0] && lines[1] && lines[2]);
    EXPECT_EQ(lines[0]->keys(), (std::vector<std::string>{"ts", "level", "event", "sys", "worker", "inner", "key"}));
    EXPECT_EQ(lines[0]->str("sys"), "client.korvo");
    EXPECT_EQ(lines[0]->find("worker")->text, "-3");
    EXPECT_EQ(lines[1]->keys(), (std::vector<std::string>{"ts", "level", "event", "sys", "worker"}));
    EXPECT_EQ(lines[2]->keys(), (std::vector<std::string>{"ts", "level", "event"}));
}

TEST(ChirpWith, DerivedLoggerOwnsItsFieldsAndOutlivesItsBase) {
    CapturedFile file;
    auto root = make_logger(file.get(), CHIRP_LEVEL_INFO);
    std::string key = "tenant";
    std::string value = "alpha";
    chirp_field field = chirp_str(key.c_str(), value.c_str());
    LoggerPtr child(chirp_with(root.get(), &field, 1));
    ASSERT_TRUE(child);
    key.assign("XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX");
    value.assign("YYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYYY");
    root.reset(); // the base goes first
    chirp_debug(child.get(), "dropped", nullptr, 0); // the level is inherited
    chirp_info(child.get(), "kept", nullptr, 0);
    LogLine line = only_line(file);
    EXPECT_EQ(line.str("event"), "kept");
    EXPECT_EQ(line.str("tenant"), "alpha");
}

TEST(ChirpWith, RefusesInvalidArguments) {
    CapturedFile file;
    auto root = make_logger(file.get());
    chirp_field field = chirp_null("x");
    EXPECT_EQ(chirp_with(nullptr, &field, 1), nullptr);
    EXPECT_EQ(chirp_with(root.get(), nullptr, 1), nullptr);
}

// Eight threads log long lines through one pipe while another thread drains it: every line
// arrives whole and parses, and each thread's events arrive complete and in its order.
TEST(ChirpThreads, ConcurrentEventsNeverInterleave) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE *writer = fdopen(fds[1], "w");
    ASSERT_NE(writer, nullptr);
    std::string received;
    std::thread reader([&] {
        char chunk[8192];
        ssize_t n;
        while ((n = read(fds[0], chunk, sizeof(chunk))) > 0) received.append(chunk, static_cast<size_t>(n));
    });

    constexpr int thread_count = 8;
    constexpr int events_per_thread = 300;
    {
        auto root = make_logger(writer);
        chirp_field sys = chirp_trusted_str("sys", "client.korvo");
        LoggerPtr shared(chirp_with(root.get(), &sys, 1));
        ASSERT_TRUE(shared);
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < thread_count; t++) {
            threads.emplace_back([&, t] {
                // Lengths up to ~9 KB, beyond PIPE_BUF, so the kernel may split one write.
                std::string payload(static_cast<size_t>(500 + t * 1100), static_cast<char>('a' + t));
                ready++;
                while (ready.load() < thread_count) {
                }
                for (int i = 0; i < events_per_thread; i++) {
                    chirp_field fields[] = {chirp_i64("thread", t), chirp_i64("seq", i),
                                            chirp_str("payload", payload.c_str())};
                    if (i % 2 == 0) {
                        chirp_info(shared.get(), "worker.event", fields, 3);
                    } else {
                        chirp_error(root.get(), "worker.event", fields, 3);
                    }
                }
            });
        }
        for (auto &thread : threads) thread.join();
    }
    fclose(writer);
    reader.join();
    close(fds[0]);

    auto lines = split_lines(received);
    ASSERT_EQ(lines.size(), static_cast<size_t>(thread_count * events_per_thread));
    std::vector<int> next(thread_count, 0);
    for (const auto &text : lines) {
        auto line = parse_log_line(text);
        ASSERT_TRUE(line) << text.substr(0, 200);
        int t = std::stoi(line->find("thread")->text);
        ASSERT_GE(t, 0);
        ASSERT_LT(t, thread_count);
        int seq = std::stoi(line->find("seq")->text);
        EXPECT_EQ(seq, next[t]) << "thread " << t;
        next[t] = seq + 1;
        EXPECT_EQ(line->str("payload"), std::string(static_cast<size_t>(500 + t * 1100), static_cast<char>('a' + t)));
        EXPECT_EQ(line->find("sys") != nullptr, seq % 2 == 0);
        EXPECT_EQ(line->str("level"), seq % 2 == 0 ? "info" : "error");
    }
    for (int t = 0; t < thread_count; t++) EXPECT_EQ(next[t], events_per_thread);
}
