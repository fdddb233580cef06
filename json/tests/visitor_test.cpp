// The value visitor: event sequences, chunking of keys and strings, limits, error messages and
// positions, and the same outcome for every way the input can arrive (whole, 1024-byte and
// one-byte reads, random splits, descriptors, FILEs and paths).
#include "vellum.h"

#include "fixtures.h"
#include "visitor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/wait.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using korvo::testing::TempDir;

// Records every event as a short string; chunks carry their bytes.
struct Recorder {
    std::vector<std::string> events;
    int fail_at = -1;                     // event index whose callback fails
    int fail_status = VELLUM_STATUS_CALLBACK_FAILED;
    int truncate_all = 0;                 // every callback returns TRUNCATED

    int add(std::string event) {
        events.push_back(std::move(event));
        if (static_cast<int>(events.size()) - 1 == fail_at) return fail_status;
        return truncate_all ? VELLUM_STATUS_TRUNCATED : VELLUM_STATUS_OK;
    }
    static Recorder &of(void *user) { return *static_cast<Recorder *>(user); }

    static vellum_value_visitor table() {
        vellum_value_visitor v;
        vellum_default_value_visitor(&v);
        v.object_begin = [](void *u, vellum_error *) { return of(u).add("{"); };
        v.object_end = [](void *u, vellum_error *) { return of(u).add("}"); };
        v.key_begin = [](void *u, vellum_error *) { return of(u).add("k("); };
        v.key_chunk = [](void *u, const char *d, size_t n, vellum_error *) { return of(u).add("k:" + std::string(d, n)); };
        v.key_end = [](void *u, vellum_error *) { return of(u).add("k)"); };
        v.array_begin = [](void *u, vellum_error *) { return of(u).add("["); };
        v.array_end = [](void *u, vellum_error *) { return of(u).add("]"); };
        v.string_begin = [](void *u, vellum_error *) { return of(u).add("s("); };
        v.string_chunk = [](void *u, const char *d, size_t n, vellum_error *) {
            return of(u).add("s:" + std::string(d, n));
        };
        v.string_end = [](void *u, vellum_error *) { return of(u).add("s)"); };
        v.number_begin = [](void *u, vellum_error *) { return of(u).add("n("); };
        v.number_chunk = [](void *u, const char *d, size_t n, vellum_error *) {
            return of(u).add("n:" + std::string(d, n));
        };
        v.number_end = [](void *u, vellum_error *) { return of(u).add("n)"); };
        v.boolean = [](void *u, int value, vellum_error *) { return of(u).add(value ? "true" : "false"); };
        v.null = [](void *u, vellum_error *) { return of(u).add("null"); };
        return v;
    }
};

// Everything observable about one visit.
struct Outcome {
    std::vector<std::string> events;
    vellum_status status = 0;
    vellum_error error{};

    bool operator==(const Outcome &o) const {
        return events == o.events && status == o.status && error.code == o.error.code &&
               std::string(error.message) == o.error.message && error.line == o.error.line &&
               error.column == o.error.column && error.offset == o.error.offset;
    }
};

std::ostream &operator<<(std::ostream &out, const Outcome &o) {
    out << "status " << o.status << " '" << o.error.message << "' at " << o.error.line << ":" << o.error.column
        << " offset " << o.error.offset << ", " << o.events.size() << " events:";
    for (size_t i = 0; i < o.events.size() && i < 40; i++) out << " [" << o.events[i] << "]";
    return out;
}

Outcome visit_buffer(const std::string &text, const vellum_value_limits *limits = nullptr) {
    Recorder recorder;
    vellum_value_visitor table = Recorder::table();
    Outcome out;
    out.status = vellum_visit_value_buffer(text.data(), text.size(), &table, &recorder, limits, &out.error);
    out.events = recorder.events;
    return out;
}

// A reader that hands out the text in pieces of the given sizes (cycled), never more than asked.
struct PieceReader {
    const std::string *text;
    std::vector<size_t> pieces;
    size_t pos = 0, turn = 0;
    size_t calls = 0;

    static vellum_read_result read(void *user, void *buffer, size_t capacity) {
        auto &self = *static_cast<PieceReader *>(user);
        self.calls++;
        vellum_read_result result = vellum_default_read_result();
        size_t n = self.pieces[self.turn++ % self.pieces.size()];
        n = std::min({n, capacity, self.text->size() - self.pos});
        std::memcpy(buffer, self.text->data() + self.pos, n);
        self.pos += n;
        result.bytes = n;
        result.eof = self.pos == self.text->size();
        return result;
    }
};

Outcome visit_pieces(const std::string &text, std::vector<size_t> pieces, const vellum_value_limits *limits = nullptr) {
    Recorder recorder;
    vellum_value_visitor table = Recorder::table();
    PieceReader reader{&text, std::move(pieces)};
    Outcome out;
    out.status = vellum_visit_value_reader(&PieceReader::read, &reader, &table, &recorder, limits, &out.error);
    out.events = recorder.events;
    return out;
}

std::string nested_arrays(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Inputs for the differential tests: valid documents and every kind of failure, with strings
// long enough to cross 256-byte chunks and 1024-byte reads, escapes at those boundaries.
std::vector<std::string> corpus() {
    std::string long_plain(1500, 'x');
    std::string boundary = std::string(255, 'a') + "\\n" + std::string(300, 'b') + "\\u00e9" + std::string(700, 'c') +
                           "\\ud83d\\ude00" + std::string(20, 'd');
    return {
        R"({"a":[1,true,null,"x"]})",
        " \t\n{ \"k\" : [ 1 , -2.5e+3 , \"s\" , { } , [ ] ] , \"z\" : false }\r\n",
        "\"" + long_plain + "\"",
        "{\"" + boundary + "\":\"" + boundary + "\"}",
        "[" + std::string(3000, ' ') + "0]",
        "123",
        "-0.0e-0",
        nested_arrays(64),
        nested_arrays(65),
        "1 2",
        "[1,]",
        "{\"a\":1,}",
        "{\"a\" 1}",
        "{\"a\":1 \"b\":2}",
        "[1 2]",
        "{\"a\":1",
        "[1,2",
        "\"abc",
        "\"ab\\",
        "\"\\u12",
        "\"\\x\"",
        "\"\\u12G4\"",
        "\"\\ud83dx\"",
        "\"\\ud83d\\n\"",
        "\"\\ud83d\\u0041\"",
        "\"\\ude00\"",
        "\"\\ud83d",
        "\"a\x01\"",
        "01",
        "1.",
        "-",
        "1e+",
        "tru",
        "trux",
        "nul",
        "",
        "   ",
        "}",
        "[\"" + std::string(2000, 'q') + "\" x]",
    };
}

TEST(ValueVisitorEvents, ObjectWithArrayOfEveryScalar) {
    Outcome out = visit_buffer(R"({"a":[1,true,null,"x"]})");
    ASSERT_EQ(out.status, VELLUM_STATUS_OK) << out;
    std::vector<std::string> expected = {"{",    "k(", "k:a", "k)", "[",   "n(", "n:1", "n)",
                                         "true", "null", "s(", "s:x", "s)", "]", "}"};
    EXPECT_EQ(out.events, expected);
    EXPECT_EQ(out.error.code, 0);
    EXPECT_STREQ(out.error.message, "");
}

TEST(ValueVisitorEvents, EmptyContainersAndStringsHaveNoChunks) {
    Outcome out = visit_buffer(R"({"":[{},[],""]})");
    ASSERT_EQ(out.status, VELLUM_STATUS_OK) << out;
    std::vector<std::string> expected = {"{", "k(", "k)", "[", "{", "}", "[", "]", "s(", "s)", "]", "}"};
    EXPECT_EQ(out.events, expected);
}

TEST(ValueVisitorEvents, LongStringsComeInChunksOf256) {
    Outcome out = visit_buffer("\"" + std::string(600, 'y') + "\"");
    ASSERT_EQ(out.status, VELLUM_STATUS_OK) << out;
    ASSERT_EQ(out.events.size(), 5u);
    EXPECT_EQ(out.events[1], "s:" + std::string(256, 'y'));
    EXPECT_EQ(out.events[2], "s:" + std::string(256, 'y'));
    EXPECT_EQ(out.events[3], "s:" + std::string(88, 'y'));
}

TEST(ValueVisitorEvents, EscapesAreDecodedIntoTheirOwnChunks) {
    Outcome out = visit_buffer(R"(["ab\ncd","\u00e9","\ud83d\ude00","\"\\\/\b\f\r\t","\u0000"])");
    ASSERT_EQ(out.status, VELLUM_STATUS_OK) << out;
    std::vector<std::string> expected = {"[",  "s(", "s:ab", "s:\n", "s:cd", "s)", "s(", "s:\xC3\xA9", "s)",
                                         "s(", "s:\xF0\x9F\x98\x80", "s)", "s(", "s:\"", "s:\\", "s:/", "s:\b",
                                         "s:\f", "s:\r", "s:\t", "s)", "s(", std::string("s:\0", 3), "s)", "]"};
    EXPECT_EQ(out.events, expected);
    // Raw bytes from 0x80 pass unchanged.
    Outcome raw = visit_buffer("\"\xE2\x82\xAC\"");
    EXPECT_EQ(raw.events[1], "s:\xE2\x82\xAC");
}

TEST(ValueVisitorEvents, RunBeforeEscapeIsDeliveredWhenTheRunEnds) {
    // 255 plain bytes then an escape: the run is delivered short, the escape on its own.
    Outcome out = visit_buffer("\"" + std::string(255, 'a') + "\\tzz\"");
    ASSERT_EQ(out.status, VELLUM_STATUS_OK) << out;
    std::vector<std::string> expected = {"s(", "s:" + std::string(255, 'a'), "s:\t", "s:zz", "s)"};
    EXPECT_EQ(out.events, expected);
}

TEST(ValueVisitorEvents, SurrogateErrors) {
    EXPECT_STREQ(visit_buffer(R"("\ude00")").error.message, "unexpected low surrogate");
    Outcome pair = visit_buffer(R"("\ud83dx")");
    EXPECT_EQ(pair.status, VELLUM_STATUS_INVALID_JSON);
    EXPECT_STREQ(pair.error.message, "invalid unicode surrogate pair");
    EXPECT_STREQ(visit_buffer(R"("\ud83d\u0041")").error.message, "invalid unicode surrogate pair");
    EXPECT_STREQ(visit_buffer(R"("\ud83d\ud83d")").error.message, "invalid unicode surrogate pair");
}

TEST(ValueVisitorEvents, TrailingValueFailsAfterTheFirstValuesEvents) {
    Outcome out = visit_buffer("1 2");
    EXPECT_EQ(out.status, VELLUM_STATUS_INVALID_JSON);
    EXPECT_STREQ(out.error.message, "visited JSON must contain exactly one value");
    std::vector<std::string> expected = {"n(", "n:1", "n)"};
    EXPECT_EQ(out.events, expected);
    EXPECT_EQ(out.error.offset, 3u);
    EXPECT_EQ(out.error.column, 3u);
    EXPECT_EQ(out.error.line, 1u);
}

TEST(ValueVisitorEvents, CallbackStatuses) {
    vellum_value_visitor table = Recorder::table();
    Recorder truncating;
    truncating.truncate_all = 1;
    vellum_error error;
    EXPECT_EQ(vellum_visit_value_cstr("[1,\"ab\"]", &table, &truncating, nullptr, &error), VELLUM_STATUS_TRUNCATED);
    EXPECT_EQ(truncating.events.size(), 8u);
    EXPECT_EQ(error.truncated, 1);
    EXPECT_EQ(error.code, 0);

    // A failing callback stops the visit at once; its status comes back unchanged.
    Recorder failing;
    failing.fail_at = 2;
    failing.fail_status = 42;
    EXPECT_EQ(vellum_visit_value_cstr("[1,2,3]", &table, &failing, nullptr, &error), 42);
    EXPECT_EQ(failing.events.size(), 3u);
    EXPECT_EQ(error.code, 42);

    // Callbacks may be NULL; a callback may fill the error record itself.
    vellum_value_visitor sparse;
    vellum_default_value_visitor(&sparse);
    sparse.null = [](void *, vellum_error *e) -> int {
        std::snprintf(e->message, sizeof e->message, "no nulls here");
        return VELLUM_STATUS_TYPE_MISMATCH;
    };
    EXPECT_EQ(vellum_visit_value_cstr("{\"a\":[true,\"s\",null]}", &sparse, nullptr, nullptr, &error),
              VELLUM_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(error.message, "no nulls here");
    EXPECT_EQ(vellum_visit_value_cstr("{\"a\":[true,\"s\",1]}", &sparse, nullptr, nullptr, nullptr), VELLUM_STATUS_OK);
}

TEST(ValueVisitorLimits, Depth) {
    EXPECT_EQ(visit_buffer(nested_arrays(64)).status, VELLUM_STATUS_OK);
    Outcome deep = visit_buffer(nested_arrays(65));
    EXPECT_EQ(deep.status, VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(deep.error.message, "JSON value nesting exceeds maximum depth");
    EXPECT_EQ(deep.error.offset, 65u);
    EXPECT_EQ(deep.events.size(), 64u);

    // Beyond the inline bookkeeping (512 levels) the nesting stack grows.
    vellum_value_limits limits = vellum_default_value_limits();
    limits.max_depth = 5000;
    std::string mixed;
    for (int i = 0; i < 2000; i++) mixed += i % 2 ? "{\"k\":" : "[";
    mixed += "0";
    for (int i = 1999; i >= 0; i--) mixed += i % 2 ? "}" : "]";
    Outcome grown = visit_buffer(mixed, &limits);
    EXPECT_EQ(grown.status, VELLUM_STATUS_OK) << grown;
    EXPECT_EQ(grown.events.back(), "]");
    // A wrong close deep down is still told object from array.
    std::string objects, arrays(600, '[');
    for (int i = 0; i < 600; i++) objects += "{\"k\":";
    EXPECT_STREQ(visit_buffer(objects + "1]", &limits).error.message, "expected ',' in object");
    EXPECT_STREQ(visit_buffer(arrays + "1}", &limits).error.message, "expected ',' in array");
    EXPECT_STREQ(visit_buffer(objects + "[1]", &limits).error.message, "unterminated JSON object");
}

TEST(ValueVisitorLimits, Numbers) {
    std::string n256 = "1" + std::string(255, '0');
    Outcome ok = visit_buffer(n256);
    EXPECT_EQ(ok.status, VELLUM_STATUS_OK);
    EXPECT_EQ(ok.events[1], "n:" + n256);
    Outcome too_long = visit_buffer(n256 + "0");
    EXPECT_EQ(too_long.status, VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(too_long.error.message, "JSON number exceeds maximum byte limit");
    EXPECT_EQ(too_long.error.offset, 257u);
    Outcome zero = visit_buffer("01");
    EXPECT_EQ(zero.status, VELLUM_STATUS_INVALID_JSON);
    EXPECT_STREQ(zero.error.message, "invalid JSON number");
    for (const char *bad : {"-", "1.", "1e", "1e+", ".5", "-01", "1.2.3", "2-1", "+1"})
        EXPECT_NE(visit_buffer(bad).status, VELLUM_STATUS_OK) << bad;
    for (const char *good : {"0", "-0", "0.5", "1e5", "1E-5", "-12.5e+10", "10"})
        EXPECT_EQ(visit_buffer(good).status, VELLUM_STATUS_OK) << good;
}

TEST(ValueVisitorLimits, KeysAndStrings) {
    vellum_value_limits limits = vellum_default_value_limits();
    limits.max_key_bytes = 4;
    limits.max_string_bytes = 6;
    EXPECT_EQ(visit_buffer(R"({"abcd":"abcdef"})", &limits).status, VELLUM_STATUS_OK);
    Outcome key = visit_buffer(R"({"abcde":1})", &limits);
    EXPECT_EQ(key.status, VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(key.error.message, "JSON object key exceeds maximum decoded byte limit");
    EXPECT_EQ(key.error.offset, 7u);
    Outcome string = visit_buffer(R"(["abcdefg"])", &limits);
    EXPECT_STREQ(string.error.message, "JSON string exceeds maximum decoded byte limit");
    EXPECT_EQ(string.error.offset, 9u);
    // The limit counts decoded bytes: six escapes of one byte fit, a two-byte one crossing fails.
    EXPECT_EQ(visit_buffer(R"(["\n\n\n\n\n\n"])", &limits).status, VELLUM_STATUS_OK);
    Outcome escape = visit_buffer(R"(["abcde\u00e9"])", &limits);
    EXPECT_EQ(escape.status, VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(escape.error.message, "decoded JSON text exceeds limit");
    // Members left 0 take the defaults.
    vellum_value_limits zeros{};
    EXPECT_EQ(visit_buffer(nested_arrays(64), &zeros).status, VELLUM_STATUS_OK);
    EXPECT_EQ(visit_buffer(nested_arrays(65), &zeros).status, VELLUM_STATUS_OVERFLOW);
    EXPECT_EQ(visit_buffer(std::string(257, '1'), &zeros).status, VELLUM_STATUS_OVERFLOW);
}

TEST(ValueVisitorLimits, TotalBytesCountEveryByteRead) {
    vellum_value_limits limits = vellum_default_value_limits();
    limits.max_total_bytes = 10;
    EXPECT_EQ(visit_buffer("[1, 2, 3] ", &limits).status, VELLUM_STATUS_OK);
    for (auto pieces : {std::vector<size_t>{1}, std::vector<size_t>{7, 4}, std::vector<size_t>{1024}}) {
        Outcome over = visit_pieces("[1, 2, 3]  ", pieces, &limits);
        EXPECT_EQ(over.status, VELLUM_STATUS_OVERFLOW);
        EXPECT_STREQ(over.error.message, "JSON value exceeds maximum total byte limit");
        EXPECT_EQ(over.error.offset, 11u);
    }
}

TEST(ValueVisitorErrors, MessagesAndPositions) {
    struct Case {
        const char *text;
        vellum_status code;
        const char *message;
        size_t line, column, offset;
    } cases[] = {
        {"", VELLUM_STATUS_INVALID_JSON, "expected JSON value", 1, 0, 0},
        {" \n ", VELLUM_STATUS_INVALID_JSON, "expected JSON value", 2, 1, 3},
        {"}", VELLUM_STATUS_INVALID_JSON, "expected JSON value", 1, 1, 1},
        {"[1,]", VELLUM_STATUS_INVALID_JSON, "expected JSON value", 1, 4, 4},
        {"{\"a\":1,}", VELLUM_STATUS_INVALID_JSON, "expected object key", 1, 8, 8},
        {"{1:2}", VELLUM_STATUS_INVALID_JSON, "expected object key", 1, 2, 2},
        {"{\"a\" 1}", VELLUM_STATUS_INVALID_JSON, "expected ':' after object key", 1, 6, 6},
        {"{\"a\":1 \"b\":2}", VELLUM_STATUS_INVALID_JSON, "expected ',' in object", 1, 8, 8},
        {"[1 2]", VELLUM_STATUS_INVALID_JSON, "expected ',' in array", 1, 4, 4},
        {"[1}", VELLUM_STATUS_INVALID_JSON, "expected ',' in array", 1, 3, 3},
        {"{\"a\":1", VELLUM_STATUS_INVALID_JSON, "unterminated JSON object", 1, 6, 6},
        {"[\n[1,2]", VELLUM_STATUS_INVALID_JSON, "unterminated JSON array", 2, 5, 7},
        {"\"abc", VELLUM_STATUS_INVALID_JSON, "unterminated JSON string", 1, 4, 4},
        {"\"a\x01\"", VELLUM_STATUS_INVALID_JSON, "control character in string", 1, 3, 3},
        {"\"ab\\", VELLUM_STATUS_INVALID_JSON, "unterminated escape sequence", 1, 4, 4},
        {"\"\\u12", VELLUM_STATUS_INVALID_JSON, "unterminated escape sequence", 1, 5, 5},
        {"\"\\x\"", VELLUM_STATUS_INVALID_JSON, "invalid string escape", 1, 3, 3},
        {"\"\\u12G4\"", VELLUM_STATUS_INVALID_JSON, "invalid unicode escape", 1, 6, 6},
        {"tru", VELLUM_STATUS_INVALID_JSON, "invalid JSON literal", 1, 3, 3},
        {"nulx", VELLUM_STATUS_INVALID_JSON, "invalid JSON literal", 1, 4, 4},
        {"truex", VELLUM_STATUS_INVALID_JSON, "visited JSON must contain exactly one value", 1, 5, 5},
        {"[1.]", VELLUM_STATUS_INVALID_JSON, "invalid JSON number", 1, 4, 4},
        {"1.", VELLUM_STATUS_INVALID_JSON, "invalid JSON number", 1, 2, 2},
    };
    for (const Case &c : cases) {
        Outcome out = visit_buffer(c.text);
        EXPECT_EQ(out.status, c.code) << c.text;
        EXPECT_EQ(out.error.code, c.code) << c.text;
        EXPECT_STREQ(out.error.message, c.message) << c.text;
        EXPECT_EQ(out.error.line, c.line) << c.text;
        EXPECT_EQ(out.error.column, c.column) << c.text;
        EXPECT_EQ(out.error.offset, c.offset) << c.text;
    }
}

TEST(ValueVisitorErrors, ArgumentChecks) {
    vellum_value_visitor table = Recorder::table();
    vellum_error error;
    EXPECT_EQ(vellum_visit_value_buffer(nullptr, 0, &table, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "buffer and visitor are required");
    EXPECT_EQ(vellum_visit_value_buffer("1", 1, nullptr, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(vellum_visit_value_cstr(nullptr, &table, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "json string and visitor are required");
    EXPECT_EQ(vellum_visit_value_reader(nullptr, nullptr, &table, nullptr, nullptr, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "reader and visitor are required");
    EXPECT_EQ(vellum_visit_value_filep(nullptr, &table, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "file pointer and visitor are required");
    EXPECT_EQ(vellum_visit_value_path(nullptr, &table, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "path and visitor are required");
    EXPECT_EQ(vellum_visit_value_fd(-1, &table, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "fd and visitor are required");
    EXPECT_EQ(vellum_visit_value_fd(0, nullptr, nullptr, nullptr, nullptr), VELLUM_STATUS_INVALID_ARGUMENT);
    vellum_value_visitor filled = table;
    EXPECT_EQ(vellum_default_value_visitor(&filled), &filled);
    EXPECT_EQ(filled.object_begin, nullptr);
    EXPECT_EQ(filled.null, nullptr);
    EXPECT_EQ(vellum_default_value_visitor(nullptr), nullptr);
}

TEST(ValueVisitorErrors, InputFailures) {
    vellum_value_visitor table = Recorder::table();
    Recorder recorder;
    vellum_error error;
    auto failing_reader = [](void *, void *, size_t) {
        vellum_read_result r = vellum_default_read_result();
        r.error = EPIPE;
        return r;
    };
    EXPECT_EQ(vellum_visit_value_reader(failing_reader, nullptr, &table, &recorder, nullptr, &error),
              VELLUM_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(error.message, "reader callback failed");
    EXPECT_EQ(error.system_errno, EPIPE);
    auto lying_reader = [](void *, void *, size_t capacity) {
        vellum_read_result r = vellum_default_read_result();
        r.bytes = capacity + 1;
        return r;
    };
    EXPECT_EQ(vellum_visit_value_reader(lying_reader, nullptr, &table, &recorder, nullptr, &error),
              VELLUM_STATUS_CALLBACK_FAILED);

    TempDir dir;
    std::string missing = dir.file("missing.json");
    EXPECT_EQ(vellum_visit_value_path(missing.c_str(), &table, &recorder, nullptr, &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_EQ("failed to open '" + missing + "'", error.message);
    EXPECT_EQ(error.system_errno, ENOENT);

    // Reading a directory fails with EISDIR for descriptors and FILEs alike.
    int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(vellum_visit_value_fd(fd, &table, &recorder, nullptr, &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(error.message, "failed to read JSON value fd");
    EXPECT_EQ(error.system_errno, EISDIR);
    close(fd);
    FILE *file = std::fopen(dir.path().c_str(), "r");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(vellum_visit_value_filep(file, &table, &recorder, nullptr, &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(error.message, "failed to read JSON value stream");
    EXPECT_NE(error.system_errno, 0);
    std::fclose(file);
}

TEST(ValueVisitorSources, FilepReadsFromTheCurrentPositionAndLeavesTheFileOpen) {
    TempDir dir;
    std::string path = dir.write("v.json", "garbage [1, {\"a\": null}]");
    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fseek(file, 8, SEEK_SET), 0);
    vellum_value_visitor table = Recorder::table();
    Recorder recorder;
    EXPECT_EQ(vellum_visit_value_filep(file, &table, &recorder, nullptr, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(recorder.events.size(), 11u);
    EXPECT_EQ(recorder.events.front(), "[");
    EXPECT_EQ(std::fseek(file, 0, SEEK_SET), 0);  // still open
    std::fclose(file);
}

TEST(ValueVisitorSources, RawJsonValueSourcesAreRewoundForEveryVisit) {
    TempDir dir;
    std::string path = dir.write("v.json", " {\"a\" : [1, \"b\"]} ");
    vellum_json_value value;
    vellum_json_value_init(&value);
    vellum_value_visitor table = Recorder::table();
    Recorder none;
    EXPECT_EQ(vellum__visit_json_value(&value, &table, &none, nullptr, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(none.events, std::vector<std::string>{"null"});

    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(vellum_json_value_set_file(&value, file, nullptr), VELLUM_STATUS_OK);
    Recorder first, second;
    EXPECT_EQ(vellum__visit_json_value(&value, &table, &first, nullptr, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum__visit_json_value(&value, &table, &second, nullptr, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(first.events.size(), 13u);
    EXPECT_EQ(second.events, first.events);
    EXPECT_EQ(first.events, visit_buffer("{\"a\":[1,\"b\"]}").events);

    ASSERT_EQ(vellum_json_value_set_path(&value, dir.file("gone.json").c_str(), nullptr), VELLUM_STATUS_OK);
    vellum_error error;
    EXPECT_EQ(vellum__visit_json_value(&value, &table, &first, nullptr, &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_EQ("failed to open JSON value path '" + dir.file("gone.json") + "'", error.message);
    EXPECT_EQ(vellum__visit_json_value(&value, nullptr, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value source and visitor are required");
    value.kind = 99;
    EXPECT_EQ(vellum__visit_json_value(&value, &table, &first, nullptr, &error), VELLUM_STATUS_INTERNAL_ERROR);
    EXPECT_STREQ(error.message, "unsupported JSON value kind");
    value.kind = VELLUM_JSON_VALUE_PATH;
    vellum_json_value_cleanup(&value);
    std::fclose(file);
}

// The same outcome (events, status, message, position) for every way the input can arrive.
TEST(ValueVisitorDifferential, WholeReadsOfAnySizeFilesAndDescriptorsAgree) {
    TempDir dir;
    std::mt19937 rng(1234);
    vellum_value_visitor table = Recorder::table();
    size_t index = 0;
    for (const std::string &text : corpus()) {
        SCOPED_TRACE("corpus item " + std::to_string(index++) + ": " + text.substr(0, 60));
        Outcome whole = visit_buffer(text);
        EXPECT_EQ(visit_pieces(text, {1}), whole);
        EXPECT_EQ(visit_pieces(text, {1024}), whole);
        EXPECT_EQ(visit_pieces(text, {4096}), whole);
        std::vector<size_t> random;
        for (int i = 0; i < 16; i++) random.push_back(std::uniform_int_distribution<size_t>(1, 300)(rng));
        EXPECT_EQ(visit_pieces(text, random), whole);
        if (text.find('\0') == std::string::npos) {
            Recorder recorder;
            Outcome cstr;
            cstr.status = vellum_visit_value_cstr(text.c_str(), &table, &recorder, nullptr, &cstr.error);
            cstr.events = recorder.events;
            EXPECT_EQ(cstr, whole);
        }

        std::string path = dir.write("item.json", text);
        Recorder by_path;
        Outcome from_path;
        from_path.status = vellum_visit_value_path(path.c_str(), &table, &by_path, nullptr, &from_path.error);
        from_path.events = by_path.events;
        EXPECT_EQ(from_path, whole);

        int fd = open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        Recorder by_fd;
        Outcome from_fd;
        from_fd.status = vellum_visit_value_fd(fd, &table, &by_fd, nullptr, &from_fd.error);
        from_fd.events = by_fd.events;
        close(fd);
        EXPECT_EQ(from_fd, whole);
    }
}

// Numbers taken where they stand in the input and numbers collected byte by byte must give the
// same events, limits and error positions, also when a callback fails at any event.
TEST(ValueVisitorDifferential, NumbersWholeAndSplitAgreeAtEveryFailingEvent) {
    const std::string doc = "[[-65.613616999999977,43.420273000000009],\n[0,-0.5e+3]\n,1E9\n,12345678901234567890123456789012345,"
                            "[01],[1.],-\n]";
    std::mt19937 rng(99);
    vellum_value_visitor table = Recorder::table();
    for (size_t max : {size_t{0}, size_t{3}, size_t{18}, size_t{35}}) {
        vellum_value_limits limits = vellum_default_value_limits();
        limits.max_number_bytes = max;
        Outcome clean = visit_buffer(doc, &limits);
        EXPECT_NE(clean.status, VELLUM_STATUS_OK);
        for (int fail_at = -1; fail_at < static_cast<int>(clean.events.size()); fail_at++) {
            SCOPED_TRACE("max " + std::to_string(max) + " fail_at " + std::to_string(fail_at));
            auto run = [&](std::vector<size_t> pieces) {
                Recorder recorder;
                recorder.fail_at = fail_at;
                recorder.fail_status = 77;
                Outcome out;
                if (pieces.empty()) {
                    out.status = vellum_visit_value_buffer(doc.data(), doc.size(), &table, &recorder, &limits, &out.error);
                } else {
                    PieceReader reader{&doc, std::move(pieces)};
                    out.status = vellum_visit_value_reader(&PieceReader::read, &reader, &table, &recorder, &limits,
                                                           &out.error);
                }
                out.events = recorder.events;
                return out;
            };
            Outcome whole = run({});
            if (fail_at >= 0) {
                EXPECT_EQ(whole.status, 77);
            }
            EXPECT_EQ(run({1}), whole);
            EXPECT_EQ(run({7, 2, 13}), whole);
            std::vector<size_t> random;
            for (int i = 0; i < 8; i++) random.push_back(std::uniform_int_distribution<size_t>(1, 40)(rng));
            EXPECT_EQ(run(random), whole);
        }
    }
}

TEST(ValueVisitorDifferential, PipeDescriptorDeliveringSmallPieces) {
    std::string text = "{\"list\":[" + std::string(5000, ' ') + "\"" + std::string(3000, 'p') + "\",-1e-3]}";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        for (size_t at = 0; at < text.size(); at += 7) {
            size_t n = std::min<size_t>(7, text.size() - at);
            if (write(fds[1], text.data() + at, n) != static_cast<ssize_t>(n)) _exit(1);
        }
        _exit(0);
    }
    close(fds[1]);
    vellum_value_visitor table = Recorder::table();
    Recorder recorder;
    Outcome piped;
    piped.status = vellum_visit_value_fd(fds[0], &table, &recorder, nullptr, &piped.error);
    piped.events = recorder.events;
    close(fds[0]);
    int child_status = 0;
    waitpid(child, &child_status, 0);
    EXPECT_EQ(piped, visit_buffer(text));
    EXPECT_EQ(piped.status, VELLUM_STATUS_OK);
}

}  // namespace
