// The array stream: selection, pull and push modes, string modes, non-blocking input, and the
// HTTP adapters built on it. Outcomes must not depend on how the input is split.
#include "vellum.h"

#include "fixtures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using korvo::testing::CountingAllocator;

namespace {

struct Item {
    int64_t a;
    char *s;
};
const vellum_field item_fields[] = {
    VELLUM_FIELD_I64(Item, a, "a", 0),
    VELLUM_FIELD_STRING(Item, s, "s", 0),
};
const vellum_map item_map = VELLUM_MAP(Item, item_fields);

using Text = korvo::testing::PieceReader;

std::string describe(const Item &item) { return "a=" + std::to_string(item.a) + (item.s ? " s=" + std::string(item.s) : "") + ";"; }

// Pulls every element; the items, then the final result with its message.
std::string pull_all(const char *path, const std::string &json, size_t piece, const vellum_parse_options *options = nullptr) {
    Text text{json, 0, piece};
    vellum_error error;
    vellum_array_stream *stream = vellum_array_stream_open_reader(path, Text::read, &text, options, &error);
    if (!stream) return std::string("open failed: ") + error.message;
    std::string out;
    Item item;
    vellum_init(&item_map, &item);
    for (;;) {
        int result = vellum_array_stream_next(stream, &item_map, &item, &error);
        if (result != VELLUM_ARRAY_STREAM_ITEM) {
            out += "result=" + std::to_string(result) + " '" + error.message + "' @" + std::to_string(error.offset);
            break;
        }
        out += describe(item);
    }
    vellum_cleanup(&item_map, &item);
    vellum_array_stream_close(stream);
    return out;
}

int collect_item(void *user, void *destination) {
    *static_cast<std::string *>(user) += describe(*static_cast<Item *>(destination));
    return 0;
}

std::string push_all(const char *path, const std::string &json, std::vector<size_t> pieces) {
    vellum_error error;
    vellum_array_stream *stream = vellum_array_stream_open_push(path, nullptr, &error);
    std::string out;
    Item item;
    vellum_init(&item_map, &item);
    size_t at = 0, k = 0;
    vellum_status status = VELLUM_STATUS_OK;
    while (at < json.size() && (status == VELLUM_STATUS_OK || status == VELLUM_STATUS_TRUNCATED)) {
        size_t n = std::min(pieces[k++ % pieces.size()], json.size() - at);
        status = vellum_array_stream_push(stream, &item_map, &item, json.data() + at, n, collect_item, &out, &error);
        at += n;
    }
    if (status == VELLUM_STATUS_OK) status = vellum_array_stream_finish(stream, &item_map, &item, collect_item, &out, &error);
    out += "status=" + std::to_string(status) + " '" + error.message + "' @" + std::to_string(error.offset);
    vellum_array_stream_close(stream);
    vellum_cleanup(&item_map, &item);
    return out;
}

TEST(ArrayStream, SelectsTheArrayUnderAKey) {
    const std::string json = R"({"cursor":"x","items":[{"a":1},{"a":2,"s":"two"}],"n":2})";
    EXPECT_EQ(pull_all("items", json, 1024), "a=1;a=2 s=two;result=1 '' @0");
    EXPECT_EQ(pull_all("items", json, 1), "a=1;a=2 s=two;result=1 '' @0");
    EXPECT_EQ(pull_all("items", R"({"items":[],"items":[]})", 1024),
              "result=3 'duplicate root object field' @19");
    vellum_parse_options options = vellum_default_parse_options();
    options.reject_duplicates = 0;
    EXPECT_EQ(pull_all("items", R"({"items":[{"a":1}],"x":{"items":[9]},"items":[{"a":2}]})", 3, &options),
              "a=1;a=2;result=1 '' @0");
    EXPECT_EQ(pull_all("items", "{}", 1024), "result=3 'selected array field was not found' @2");
    EXPECT_EQ(pull_all("items", R"({"items":{}})", 1024), "result=3 'selected JSON value is not an array' @10");
    EXPECT_EQ(pull_all("items", R"([1])", 1024), "result=3 'array path requires a root object' @1");
    EXPECT_EQ(pull_all("items", R"({"items":[],})", 1024), "result=3 'expected object key' @13");
    EXPECT_EQ(pull_all("a.b", "{}", 1024), "open failed: array stream v1 supports only one direct path segment");
}

TEST(ArrayStream, RootArraysAndTheirErrors) {
    EXPECT_EQ(pull_all(nullptr, R"( [{"a":1}, {"a":2}] )", 1024), "a=1;a=2;result=1 '' @0");
    EXPECT_EQ(pull_all("", R"([{"a":1},{"a":2}]x)", 1024), "a=1;a=2;result=3 'unexpected data after root array' @18");
    EXPECT_EQ(pull_all(nullptr, R"([{"a":1},])", 1024), "a=1;result=3 'expected JSON value in selected array' @10");
    EXPECT_EQ(pull_all(nullptr, R"([{"a":1} {"a":2}])", 1024),
              "a=1;result=3 'expected ',' or ']' in selected array' @10");
    EXPECT_EQ(pull_all(nullptr, R"([{"a":1},{"a":)", 1024), "a=1;result=3 'unterminated JSON value' @14");
    EXPECT_EQ(pull_all(nullptr, R"([{"a":1})", 1024), "a=1;result=3 'unterminated selected array' @8");
    EXPECT_EQ(pull_all(nullptr, R"([{"a":"x"}])", 1024), "result=3 'expected string field 'a'' @7");
    EXPECT_EQ(pull_all(nullptr, R"([7])", 1024), "result=3 'root value must be an object' @2");
    EXPECT_EQ(pull_all(nullptr, R"({})", 1024), "result=3 'selected JSON value is not an array' @1");
    EXPECT_EQ(pull_all(nullptr, "[]", 1024), "result=1 '' @0");
}

TEST(ArrayStream, SkippedMembersAreValidated) {
    std::string json = R"({"n":12,"o":{"x":[1,{"y":"z"}],"e":"\u00e9"},"t":true,"items":[{"a":5}],"z":-1.5e3})";
    EXPECT_EQ(pull_all("items", json, 1024), "a=5;result=1 '' @0");
    EXPECT_EQ(pull_all("items", json, 1), "a=5;result=1 '' @0");
    EXPECT_EQ(pull_all("items", R"({"n":01,"items":[]})", 1024), "result=3 'invalid JSON number' @7");
    EXPECT_EQ(pull_all("items", R"({"items":[],"o":{"a" 1}})", 1024), "result=3 'expected ':' after object key' @22");
    EXPECT_EQ(pull_all("items", R"({"k\u00":1})", 1024), "result=3 'invalid unicode escape in JSON string' @8");
}

TEST(ArrayStream, PushSplitsGiveTheSameItems) {
    const std::string documents[] = {
        R"({"cursor":"x","items":[{"a":1},{"a":2,"s":"two"}],"n":2})",
        R"([{"a":1,"s":"\u00e9\ud83d\ude00"},{"a":-3},{"a":4}] )",
        R"([{"a":1},{"a":"bad"}])",
        R"([{"a":1},{"a":2})",
        R"({"other":[1,2,{"x":null}],"items":[{"a":9}]}tail)",
    };
    std::mt19937 random(7);
    for (const std::string &json : documents) {
        std::string whole = push_all(json.front() == '{' ? "items" : nullptr, json, {json.size()});
        EXPECT_EQ(push_all(json.front() == '{' ? "items" : nullptr, json, {1}), whole) << json;
        for (int round = 0; round < 5; round++) {
            std::vector<size_t> pieces;
            for (int k = 0; k < 8; k++) pieces.push_back(1 + random() % 6);
            EXPECT_EQ(push_all(json.front() == '{' ? "items" : nullptr, json, pieces), whole) << json;
        }
        // Pull mode reads the same document to the same items.
        EXPECT_EQ(pull_all(json.front() == '{' ? "items" : nullptr, json, 3).substr(0, whole.find("status")),
                  whole.substr(0, whole.find("status")));
    }
    EXPECT_EQ(push_all(nullptr, "[{\"a\":1},{\"a\":2}]", {1}), "a=1;a=2;status=0 '' @0");
}

int failing_item(void *, void *) { return VELLUM_STATUS_CALLBACK_FAILED; }

TEST(ArrayStream, PushChecksAndCallbackFailure) {
    vellum_error error;
    Item item;
    vellum_init(&item_map, &item);
    vellum_array_stream *stream = vellum_array_stream_open_push(nullptr, nullptr, &error);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(vellum_array_stream_push(stream, &item_map, &item, nullptr, 3, collect_item, nullptr, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "input bytes are required");
    EXPECT_EQ(vellum_array_stream_push(stream, &item_map, &item, "[{}", 3, nullptr, nullptr, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "array stream, map, destination, and callback are required");
    EXPECT_EQ(vellum_array_stream_push(stream, &item_map, &item, "[{},", 4, failing_item, nullptr, &error),
              VELLUM_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(error.message, "array stream item callback failed");
    EXPECT_EQ(vellum_array_stream_push(stream, &item_map, &item, "{}]", 3, failing_item, nullptr, &error),
              VELLUM_STATUS_CALLBACK_FAILED);  // the stored failure again
    vellum_array_stream_close(stream);

    stream = vellum_array_stream_open_push(nullptr, nullptr, &error);
    std::string out;
    ASSERT_EQ(vellum_array_stream_push(stream, &item_map, &item, "[]", 2, collect_item, &out, &error), VELLUM_STATUS_OK);
    ASSERT_EQ(vellum_array_stream_finish(stream, &item_map, &item, collect_item, &out, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_array_stream_push(stream, &item_map, &item, " ", 1, collect_item, &out, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "array stream is already finished");
    vellum_array_stream_close(stream);

    Text text{"[]"};
    stream = vellum_array_stream_open_reader(nullptr, Text::read, &text, nullptr, &error);
    EXPECT_EQ(vellum_array_stream_push(stream, &item_map, &item, "[]", 2, collect_item, &out, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "array stream is not push-fed");
    vellum_array_stream_close(stream);
    vellum_cleanup(&item_map, &item);
}

TEST(ArrayStream, NonBlockingDescriptor) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    vellum_error error;
    vellum_array_stream *stream = vellum_array_stream_open_fd("items", fds[0], nullptr, &error);
    ASSERT_NE(stream, nullptr);
    Item item, other;
    vellum_init(&item_map, &other);
    EXPECT_EQ(vellum_array_stream_next(stream, &item_map, &item, &error), VELLUM_ARRAY_STREAM_WOULD_BLOCK);
    ASSERT_EQ(write(fds[1], "{\"items\":[{\"a\":", 15), 15);
    EXPECT_EQ(vellum_array_stream_next(stream, &item_map, &item, &error), VELLUM_ARRAY_STREAM_WOULD_BLOCK);
    EXPECT_EQ(vellum_array_stream_next(stream, &item_map, &other, &error), VELLUM_ARRAY_STREAM_ERROR);
    EXPECT_STREQ(error.message, "resume array stream item with the same destination");
    ASSERT_EQ(write(fds[1], "8}]}", 4), 4);
    ASSERT_EQ(vellum_array_stream_next(stream, &item_map, &item, &error), VELLUM_ARRAY_STREAM_ITEM) << error.message;
    EXPECT_EQ(item.a, 8);
    EXPECT_EQ(vellum_array_stream_next(stream, &item_map, &item, &error), VELLUM_ARRAY_STREAM_WOULD_BLOCK);
    close(fds[1]);
    EXPECT_EQ(vellum_array_stream_next(stream, &item_map, &item, &error), VELLUM_ARRAY_STREAM_END);
    EXPECT_EQ(vellum_array_stream_next(stream, &item_map, &item, &error), VELLUM_ARRAY_STREAM_END);
    vellum_array_stream_close(stream);
    close(fds[0]);
    vellum_cleanup(&item_map, &item);
}

struct Events {
    std::string log;
};
int ev_begin(void *user, vellum_error *) {
    static_cast<Events *>(user)->log += "<";
    return 0;
}
int ev_chunk(void *user, const char *data, size_t len, vellum_error *) {
    static_cast<Events *>(user)->log += "[" + std::string(data, len) + "]";
    return 0;
}
int ev_end(void *user, vellum_error *) {
    static_cast<Events *>(user)->log += ">";
    return 0;
}
int ev_item(void *user, const char *text, size_t len, vellum_error *) {
    EXPECT_EQ(text[len], '\0');
    static_cast<Events *>(user)->log += "{" + std::string(text, len) + "}";
    return 0;
}

std::string push_strings(const std::string &json, size_t piece, bool whole_items) {
    vellum_error error;
    vellum_array_stream *stream = vellum_array_stream_open_push(nullptr, nullptr, &error);
    Events events;
    vellum_string_chunk_handler handler = {ev_begin, ev_chunk, ev_end};
    vellum_status status = VELLUM_STATUS_OK;
    for (size_t at = 0; at < json.size() && status == VELLUM_STATUS_OK; at += piece) {
        size_t n = std::min(piece, json.size() - at);
        status = whole_items ? vellum_array_stream_push_string_items(stream, json.data() + at, n, ev_item, &events, &error)
                             : vellum_array_stream_push_string(stream, json.data() + at, n, &handler, &events, &error);
    }
    if (status == VELLUM_STATUS_OK)
        status = whole_items ? vellum_array_stream_finish_string_items(stream, ev_item, &events, &error)
                             : vellum_array_stream_finish_string(stream, &handler, &events, &error);
    vellum_array_stream_close(stream);
    return events.log + " " + std::to_string(status) + " " + error.message;
}

TEST(ArrayStream, StringChunksAndWholeStrings) {
    EXPECT_EQ(push_strings(R"(["a\u00e9","b"])", 100, false), "<[a][\xC3\xA9]><[b]> 0 ");
    EXPECT_EQ(push_strings(R"(["a\u00e9","b"])", 1, false), "<[a][\xC3\xA9]><[b]> 0 ");
    std::string long_text(600, 'x');
    EXPECT_EQ(push_strings("[\"" + long_text + "\"]", 7, false),
              "<[" + std::string(256, 'x') + "][" + std::string(256, 'x') + "][" + std::string(88, 'x') + "]> 0 ");
    EXPECT_EQ(push_strings(R"(["a",1])", 3, false), "<[a]> 3 selected array item is not a string");
    EXPECT_EQ(push_strings(R"(["a\q"])", 3, false), "< 2 invalid string escape");
    EXPECT_EQ(push_strings(R"(["a\u00e9\n","",  "z"])", 2, true), "{a\xC3\xA9\n}{}{z} 0 ");
    EXPECT_EQ(push_strings(R"(["a")", 2, true), "{a} 2 unterminated selected array");
}

TEST(ArrayStream, CapturedValuesOfAnyType) {
    Text text{R"({"items":[1,"two",{"three":[3]},[true,null],-0.5]})"};
    text.piece = 2;
    vellum_error error;
    vellum_array_stream *stream = vellum_array_stream_open_reader("items", Text::read, &text, nullptr, &error);
    ASSERT_NE(stream, nullptr);
    vellum_json_value value;
    vellum_json_value_init(&value);
    std::vector<std::string> captured;
    int result;
    while ((result = vellum_array_stream_next_value(stream, &value, &error)) == VELLUM_ARRAY_STREAM_ITEM)
        captured.emplace_back(value.data, value.len);
    EXPECT_EQ(result, VELLUM_ARRAY_STREAM_END) << error.message;
    EXPECT_EQ(captured, (std::vector<std::string>{"1", "\"two\"", "{\"three\":[3]}", "[true,null]", "-0.5"}));
    vellum_json_value_cleanup(&value);
    vellum_array_stream_close(stream);
}

// Captured items are checked for duplicate keys at every depth; empty keys count as keys.
TEST(ArrayStream, CapturedValuesRejectDuplicateKeys) {
    struct Case { const char *json; int result; const char *message; };
    const Case cases[] = {
        {R"({"items":[{"":1,"":2}]})", VELLUM_ARRAY_STREAM_ERROR, "duplicate object field"},
        {R"({"items":[{"a":{"":1,"":[2]}}]})", VELLUM_ARRAY_STREAM_ERROR, "duplicate object field"},
        {R"({"items":[{"":1,"a":{"":2}}]})", VELLUM_ARRAY_STREAM_END, ""},
        {R"({"items":[{"x":1},{"x":1,"y":{"x":2}}]})", VELLUM_ARRAY_STREAM_END, ""},
    };
    for (const Case &c : cases) {
        Text text{c.json};
        text.piece = 3;
        vellum_error error;
        vellum_array_stream *stream = vellum_array_stream_open_reader("items", Text::read, &text, nullptr, &error);
        ASSERT_NE(stream, nullptr);
        vellum_json_value value;
        vellum_json_value_init(&value);
        int result;
        while ((result = vellum_array_stream_next_value(stream, &value, &error)) == VELLUM_ARRAY_STREAM_ITEM) {
        }
        EXPECT_EQ(result, c.result) << c.json;
        EXPECT_STREQ(error.message, c.message) << c.json;
        vellum_json_value_cleanup(&value);
        vellum_array_stream_close(stream);
    }
}

TEST(ArrayStream, HttpAdaptersSplitAtEveryByte) {
    const std::string body = R"({"page":{"n":1},"items":[{"a":1,"s":"x"},{"a":2}],"next":null})";
    std::string whole;
    for (size_t piece : {body.size(), size_t{1}, size_t{5}}) {
        vellum_curl_array_parse handle;
        Item item;
        vellum_init(&item_map, &item);
        std::string out;
        ASSERT_EQ(vellum_curl_array_parse_init(&handle, "items", &item_map, &item, nullptr, collect_item, &out),
                  VELLUM_STATUS_OK);
        for (size_t at = 0; at < body.size(); at += piece) {
            size_t n = std::min(piece, body.size() - at);
            ASSERT_EQ(vellum_curl_array_write_callback(body.data() + at, 1, n, &handle), n);
        }
        EXPECT_EQ(vellum_curl_array_write_callback(nullptr, 1, 0, &handle), 0u);
        EXPECT_EQ(vellum_curl_array_parse_finish(&handle), VELLUM_STATUS_OK);
        if (whole.empty()) whole = out;
        EXPECT_EQ(out, whole);
        vellum_curl_array_parse_cleanup(&handle);
        vellum_cleanup(&item_map, &item);
    }
    EXPECT_EQ(whole, "a=1 s=x;a=2;");

    vellum_curl_string_items_parse strings;
    Events events;
    ASSERT_EQ(vellum_curl_string_items_parse_init(&strings, nullptr, nullptr, ev_item, &events), VELLUM_STATUS_OK);
    const std::string list = R"(["k1","k\/2"])";
    for (char c : list) ASSERT_EQ(vellum_curl_string_items_write_callback(&c, 1, 1, &strings), 1u);
    EXPECT_EQ(vellum_curl_string_items_parse_finish(&strings), VELLUM_STATUS_OK);
    EXPECT_EQ(events.log, "{k1}{k/2}");
    EXPECT_EQ(vellum_curl_string_items_write_callback("x", 1, 1, &strings), 0u);  // after the end: refused
    vellum_curl_string_items_parse_cleanup(&strings);

    vellum_curl_string_array_parse chunks;
    vellum_string_chunk_handler handler = {ev_begin, ev_chunk, ev_end};
    Events chunk_events;
    ASSERT_EQ(vellum_curl_string_array_parse_init(&chunks, "keys", nullptr, &handler, &chunk_events), VELLUM_STATUS_OK);
    const std::string keyed = R"({"keys":["ab"]})";
    ASSERT_EQ(vellum_curl_string_array_write_callback(keyed.data(), 1, keyed.size(), &chunks), keyed.size());
    EXPECT_EQ(vellum_curl_string_array_parse_finish(&chunks), VELLUM_STATUS_OK);
    EXPECT_EQ(chunk_events.log, "<[ab]>");
    vellum_curl_string_array_parse_cleanup(&chunks);
    vellum_string_chunk_handler no_chunk = {ev_begin, nullptr, ev_end};
    EXPECT_EQ(vellum_curl_string_array_parse_init(&chunks, nullptr, nullptr, &no_chunk, nullptr),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(chunks.error.message, "string chunk handler is required");
}

TEST(ArrayStream, ReusedDestinationLeaksNothing) {
    CountingAllocator counting;
    vellum_parse_options options = vellum_default_parse_options();
    options.allocator = counting.get();
    EXPECT_EQ(pull_all(nullptr, R"([{"s":"one"},{"s":"two"},{"a":3}])", 4, &options), "a=0 s=one;a=0 s=two;a=3;result=1 '' @0");
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
    EXPECT_GT(counting.stats().alloc_count, 2u);
}

}  // namespace

namespace {

struct Code {
    char code[4];
};
const vellum_field code_fields[] = {VELLUM_FIELD_FIXED_STRING(Code, code, "c", VELLUM_OVERFLOW_TRUNCATE, 0)};
const vellum_map code_map = VELLUM_MAP(Code, code_fields);

int ignore_item(void *, void *) { return 0; }

// A truncated element stays visible in a later error, pushed or pulled.
TEST(ArrayStream, TruncationSurvivesALaterError) {
    const std::string json = R"([{"c":"abcdef"}x)";
    vellum_error error;
    Code code{};
    vellum_array_stream *stream = vellum_array_stream_open_push(nullptr, nullptr, &error);
    EXPECT_EQ(vellum_array_stream_push(stream, &code_map, &code, json.data(), json.size(), ignore_item, nullptr, &error),
              VELLUM_STATUS_INVALID_JSON);
    EXPECT_STREQ(error.message, "expected ',' or ']' in selected array");
    EXPECT_EQ(error.truncated, 1);
    vellum_array_stream_close(stream);

    Text text{json};
    stream = vellum_array_stream_open_reader(nullptr, Text::read, &text, nullptr, &error);
    ASSERT_EQ(vellum_array_stream_next(stream, &code_map, &code, &error), VELLUM_ARRAY_STREAM_ITEM);
    EXPECT_STREQ(code.code, "abc");
    EXPECT_EQ(error.truncated, 1);
    EXPECT_EQ(vellum_array_stream_next(stream, &code_map, &code, &error), VELLUM_ARRAY_STREAM_ERROR);
    EXPECT_EQ(error.truncated, 1);
    vellum_array_stream_close(stream);
}

}  // namespace
