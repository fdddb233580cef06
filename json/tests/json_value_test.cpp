// Raw JSON values: life cycle, sources and their rewinding, the transcoder (compact and the
// serializer's pretty layout), and the capture that the record parser drives, in sink, visitor
// and capture modes with the value limits.
#include "core.h"
#include "fixtures.h"
#include "json_value.h"
#include "vellum.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using korvo::testing::CountingAllocator;
using korvo::testing::TempDir;

vellum_status collect(void *user, const void *data, size_t length, vellum_error *) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(data), length);
    return VELLUM_STATUS_OK;
}

// Owns a value for the length of a test.
struct Value {
    Value() { vellum_json_value_init(&v); }
    explicit Value(const vellum_allocator *allocator) { vellum_json_value_init_with_allocator(&v, allocator); }
    ~Value() { vellum_json_value_cleanup(&v); }
    std::string write(vellum_status *status = nullptr, vellum_error *error = nullptr) {
        std::string out;
        vellum_status s = vellum_json_value_write_to_sink(&v, collect, &out, error);
        if (status) *status = s;
        else {
            EXPECT_EQ(s, VELLUM_STATUS_OK) << (error ? error->message : "");
        }
        return out;
    }
    vellum_json_value v;
};

std::string buffer_of(const vellum_json_value &v) { return v.data ? std::string(v.data, v.len) : std::string(); }

TEST(JsonValueLifecycle, InitCleanupAndTheIntegrityTag) {
    Value value;
    EXPECT_EQ(value.v.kind, VELLUM_JSON_VALUE_NONE);
    EXPECT_EQ(value.v.fd, -1);
    EXPECT_EQ(value.v.limits.max_depth, 64u);
    EXPECT_EQ(value.v.limits.max_number_bytes, 256u);
    EXPECT_EQ(value.v.tag, vellum::detail::address_tag(&value.v, vellum::detail::kJsonValueTagConstant));
    EXPECT_NE(value.v.allocator.malloc_fn, nullptr);

    // A partial allocator is replaced by the default one; a full one is kept across cleanup.
    CountingAllocator counting;
    vellum_allocator partial{};
    partial.malloc_fn = counting.get()->malloc_fn;
    Value defaulted(&partial);
    EXPECT_NE(defaulted.v.allocator.malloc_fn, counting.get()->malloc_fn);
    EXPECT_NE(defaulted.v.allocator.free_fn, nullptr);
    {
        Value custom(counting.get());
        ASSERT_EQ(vellum_json_value_set_buffer(&custom.v, "[1, 2]", 6, nullptr), VELLUM_STATUS_OK);
        EXPECT_GT(counting.stats().bytes_in_use, 0u);
        vellum_json_value_reset(&custom.v);
        EXPECT_EQ(counting.stats().bytes_in_use, 0u);
        EXPECT_EQ(custom.v.kind, VELLUM_JSON_VALUE_NONE);
        EXPECT_EQ(custom.v.allocator.malloc_fn, counting.get()->malloc_fn);
        // Reusable after cleanup without init.
        ASSERT_EQ(vellum_json_value_set_path(&custom.v, "/tmp/x.json", nullptr), VELLUM_STATUS_OK);
        EXPECT_GT(counting.stats().bytes_in_use, 0u);
    }
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
    EXPECT_EQ(counting.stats().alloc_count, counting.stats().free_count);
}

TEST(JsonValueBuffer, StoresACompactCopy) {
    Value value;
    vellum_error error;
    ASSERT_EQ(vellum_json_value_set_buffer(&value.v, " { \"a\" : [ 1 , 2 ] } ", 21, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(value.v.kind, VELLUM_JSON_VALUE_BUFFER);
    EXPECT_EQ(buffer_of(value.v), "{\"a\":[1,2]}");
    EXPECT_EQ(value.v.data[value.v.len], '\0');
    // Strings are copied exactly as written, escapes included.
    const char *escaped = "[ \"a\\u00e9\\n\\/ b\" ,\t-1.5E+3,true , null ]";
    ASSERT_EQ(vellum_json_value_set_buffer(&value.v, escaped, std::strlen(escaped), &error), VELLUM_STATUS_OK);
    EXPECT_EQ(buffer_of(value.v), "[\"a\\u00e9\\n\\/ b\",-1.5E+3,true,null]");
}

TEST(JsonValueBuffer, FailuresKeepThePreviousContent) {
    Value value;
    ASSERT_EQ(vellum_json_value_set_buffer(&value.v, "\"keep\"", 6, nullptr), VELLUM_STATUS_OK);
    struct Case {
        std::string text;
        vellum_status code;
        const char *message;
    } cases[] = {
        {"1 2", VELLUM_STATUS_INVALID_JSON, "embedded JSON must contain exactly one value"},
        {"", VELLUM_STATUS_INVALID_JSON, "embedded JSON must contain exactly one value"},
        {" \n\t", VELLUM_STATUS_INVALID_JSON, "embedded JSON must contain exactly one value"},
        {"{\"a\":1 \"b\":2}", VELLUM_STATUS_INVALID_JSON, "expected ',' in object"},
        {"[1 2]", VELLUM_STATUS_INVALID_JSON, "expected ',' in array"},
        {"[1,[2]", VELLUM_STATUS_INVALID_JSON, "unterminated JSON array"},
        {"{\"a\":", VELLUM_STATUS_INVALID_JSON, "unterminated JSON object"},
        {"{\"a\":}", VELLUM_STATUS_INVALID_JSON, "expected JSON value"},
        {"\"\\q\"", VELLUM_STATUS_INVALID_JSON, "invalid string escape"},
        {"\"\\ud800\"", VELLUM_STATUS_INVALID_JSON, "invalid unicode surrogate pair"},
        {"01", VELLUM_STATUS_INVALID_JSON, "invalid JSON number"},
        {"nul", VELLUM_STATUS_INVALID_JSON, "invalid JSON literal"},
        {"\"a\tb\"", VELLUM_STATUS_INVALID_JSON, "control character in string"},
    };
    for (const Case &c : cases) {
        vellum_error error;
        EXPECT_EQ(vellum_json_value_set_buffer(&value.v, c.text.data(), c.text.size(), &error), c.code) << c.text;
        EXPECT_STREQ(error.message, c.message) << c.text;
        EXPECT_EQ(error.offset, 0u) << c.text;
        EXPECT_EQ(buffer_of(value.v), "\"keep\"");
    }
    vellum_error error;
    EXPECT_EQ(vellum_json_value_set_buffer(&value.v, nullptr, 3, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value handle and buffer are required");
    EXPECT_EQ(vellum_json_value_set_buffer(nullptr, "1", 1, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(vellum_json_value_set_buffer(&value.v, nullptr, 0, &error), VELLUM_STATUS_INVALID_JSON);
    // Numbers have no length cap in the transcoder; the total limit counts input bytes.
    std::string big(5000, '7');
    EXPECT_EQ(vellum_json_value_set_buffer(&value.v, big.data(), big.size(), &error), VELLUM_STATUS_OK);
    value.v.limits.max_total_bytes = 8;
    EXPECT_EQ(vellum_json_value_set_buffer(&value.v, "[1,2,3] ", 8, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_json_value_set_buffer(&value.v, "[1,2,3]  ", 9, &error), VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(error.message, "JSON value exceeds maximum total byte limit");
    EXPECT_EQ(buffer_of(value.v), "[1,2,3]");
}

TEST(JsonValueSources, SetterArgumentChecks) {
    Value value;
    vellum_error error;
    EXPECT_EQ(vellum_json_value_set_path(&value.v, "", &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value handle and path are required");
    EXPECT_EQ(vellum_json_value_set_path(&value.v, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(vellum_json_value_set_reader(&value.v, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value handle and reader are required");
    EXPECT_EQ(vellum_json_value_set_file(&value.v, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value handle and FILE* are required");
    EXPECT_EQ(vellum_json_value_set_fd(&value.v, -1, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value handle and non-negative fd are required");
    EXPECT_EQ(vellum_json_value_set_parse_sink(&value.v, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value handle and parse sink are required");
    EXPECT_EQ(vellum_json_value_set_parse_visitor(&value.v, nullptr, nullptr, nullptr, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value handle and parse visitor are required");
    EXPECT_EQ(vellum_json_value_enable_parse_capture(nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value handle is required");
    EXPECT_EQ(vellum_json_value_write_to_sink(&value.v, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "sink is required");
    EXPECT_EQ(value.v.kind, VELLUM_JSON_VALUE_NONE);
}

TEST(JsonValueSources, ReplacingASourceReleasesTheOldOne) {
    CountingAllocator counting;
    Value value(counting.get());
    ASSERT_EQ(vellum_json_value_set_buffer(&value.v, "[true]", 6, nullptr), VELLUM_STATUS_OK);
    ASSERT_EQ(vellum_json_value_set_path(&value.v, "/nonexistent/v.json", nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(value.v.data, nullptr);
    EXPECT_STREQ(value.v.path, "/nonexistent/v.json");
    ASSERT_EQ(vellum_json_value_set_fd(&value.v, 0, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(value.v.path, nullptr);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
    // A path copy that cannot be made keeps the previous source.
    counting.fail_at(1);
    vellum_error error;
    EXPECT_EQ(vellum_json_value_set_path(&value.v, "/x", &error), VELLUM_STATUS_ALLOCATION_FAILED);
    EXPECT_STREQ(error.message, "failed to duplicate JSON value path");
    EXPECT_EQ(value.v.kind, VELLUM_JSON_VALUE_FD);
    EXPECT_EQ(value.v.fd, 0);
}

TEST(JsonValueSources, Rewindability) {
    TempDir dir;
    std::string path = dir.write("v.json", "[1]");
    Value value;
    EXPECT_EQ(vellum_json_value_is_rewindable(nullptr), 0);
    EXPECT_EQ(vellum_json_value_is_rewindable(&value.v), 1);
    ASSERT_EQ(vellum_json_value_set_path(&value.v, dir.file("not-yet.json").c_str(), nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_json_value_is_rewindable(&value.v), 1);
    auto reader = [](void *, void *, size_t) { return vellum_default_read_result(); };
    ASSERT_EQ(vellum_json_value_set_reader(&value.v, reader, nullptr, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_json_value_is_rewindable(&value.v), 0);

    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fseek(file, 2, SEEK_SET), 0);
    ASSERT_EQ(vellum_json_value_set_file(&value.v, file, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_json_value_is_rewindable(&value.v), 1);
    EXPECT_EQ(std::ftell(file), 2);  // the test puts the position back
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    FILE *piped = fdopen(pipe_fds[0], "rb");
    ASSERT_EQ(vellum_json_value_set_file(&value.v, piped, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_json_value_is_rewindable(&value.v), 0);
    ASSERT_EQ(vellum_json_value_set_fd(&value.v, pipe_fds[1], nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_json_value_is_rewindable(&value.v), 0);
    ASSERT_EQ(vellum_json_value_set_fd(&value.v, fileno(file), nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_json_value_is_rewindable(&value.v), 1);
    std::fclose(piped);
    close(pipe_fds[1]);
    std::fclose(file);
}

// A document of more than one read, with strings that cross 4096-byte boundaries, and its
// compact form.
std::pair<std::string, std::string> spaced_document() {
    std::string spaced = "{\n", compact = "{";
    for (int i = 0; i < 40; i++) {
        std::string key = "\"k" + std::to_string(i) + "\"";
        std::string text = "\"" + std::string(300 + i, 'a' + i % 26) + "\\n\"";
        spaced += "  " + key + " : [ " + std::to_string(i) + " , " + text + " , { } ]" + (i < 39 ? ",\n" : "\n");
        compact += key + ":[" + std::to_string(i) + "," + text + ",{}]" + (i < 39 ? "," : "");
    }
    spaced += "}\n";
    compact += "}";
    return {spaced, compact};
}

TEST(JsonValueWrite, FileDescriptorAndPathSourcesCanBeWrittenAnyNumberOfTimes) {
    auto [spaced, compact] = spaced_document();
    TempDir dir;
    std::string path = dir.write("doc.json", spaced);
    Value value;
    EXPECT_EQ(value.write(), "null");

    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(vellum_json_value_set_file(&value.v, file, nullptr), VELLUM_STATUS_OK);
    for (int i = 0; i < 3; i++) EXPECT_EQ(value.write(), compact) << "write " << i;
    std::fgetc(file);  // a FILE left at end of file with its EOF flag set is rewound too
    EXPECT_EQ(value.write(), compact);
    std::fputc('x', file);  // a write to a read-only FILE sets its error flag, which is cleared
    ASSERT_NE(std::ferror(file), 0);
    EXPECT_EQ(value.write(), compact);

    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(vellum_json_value_set_fd(&value.v, fd, nullptr), VELLUM_STATUS_OK);
    for (int i = 0; i < 3; i++) EXPECT_EQ(value.write(), compact) << "write " << i;

    ASSERT_EQ(vellum_json_value_set_path(&value.v, path.c_str(), nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(value.write(), compact);
    EXPECT_EQ(value.write(), compact);
    close(fd);
    std::fclose(file);
}

TEST(JsonValueWrite, ReaderSourcesAndFailures) {
    struct Once {
        std::string text;
        size_t pos = 0;
        static vellum_read_result read(void *user, void *buffer, size_t capacity) {
            auto &self = *static_cast<Once *>(user);
            vellum_read_result r = vellum_default_read_result();
            r.bytes = std::min<size_t>({capacity, 3, self.text.size() - self.pos});
            std::memcpy(buffer, self.text.data() + self.pos, r.bytes);
            self.pos += r.bytes;
            r.eof = self.pos == self.text.size();
            return r;
        }
    } once{" [ \"x y\" , 10 ] "};
    Value value;
    ASSERT_EQ(vellum_json_value_set_reader(&value.v, &Once::read, &once, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(value.write(), "[\"x y\",10]");

    vellum_error error;
    vellum_status status;
    auto failing = [](void *, void *, size_t) {
        vellum_read_result r = vellum_default_read_result();
        r.error = ECONNRESET;
        return r;
    };
    ASSERT_EQ(vellum_json_value_set_reader(&value.v, failing, nullptr, nullptr), VELLUM_STATUS_OK);
    value.write(&status, &error);
    EXPECT_EQ(status, VELLUM_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(error.message, "reader callback failed");
    EXPECT_EQ(error.system_errno, ECONNRESET);

    TempDir dir;
    std::string missing = dir.file("missing.json");
    ASSERT_EQ(vellum_json_value_set_path(&value.v, missing.c_str(), nullptr), VELLUM_STATUS_OK);
    value.write(&status, &error);
    EXPECT_EQ(status, VELLUM_STATUS_IO_ERROR);
    EXPECT_EQ("failed to open JSON value path '" + missing + "'", error.message);
    EXPECT_EQ(error.system_errno, ENOENT);

    // Pipes cannot be rewound (they hold a complete value, so a missed rewind would not block).
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "[1]", 3), 3);
    close(fds[1]);
    ASSERT_EQ(vellum_json_value_set_fd(&value.v, fds[0], nullptr), VELLUM_STATUS_OK);
    value.write(&status, &error);
    EXPECT_EQ(status, VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(error.message, "failed to rewind JSON value fd");
    EXPECT_EQ(error.system_errno, ESPIPE);
    FILE *piped = fdopen(fds[0], "rb");
    ASSERT_EQ(vellum_json_value_set_file(&value.v, piped, nullptr), VELLUM_STATUS_OK);
    value.write(&status, &error);
    EXPECT_STREQ(error.message, "failed to rewind JSON value FILE*");
    std::fclose(piped);

    std::string bad_path = dir.write("bad.json", "[1] [2]");
    ASSERT_EQ(vellum_json_value_set_path(&value.v, bad_path.c_str(), nullptr), VELLUM_STATUS_OK);
    std::string partial = value.write(&status, &error);
    EXPECT_EQ(status, VELLUM_STATUS_INVALID_JSON);
    EXPECT_STREQ(error.message, "embedded JSON must contain exactly one value");
}

TEST(JsonValueWrite, SinkStatuses) {
    Value value;
    ASSERT_EQ(vellum_json_value_set_buffer(&value.v, "[1,2]", 5, nullptr), VELLUM_STATUS_OK);
    vellum_error error;
    auto refusing = [](void *, const void *, size_t, vellum_error *) -> vellum_status { return 77; };
    EXPECT_EQ(vellum_json_value_write_to_sink(&value.v, refusing, nullptr, &error), 77);
    EXPECT_EQ(error.code, 77);
    auto truncating = [](void *, const void *, size_t, vellum_error *) -> vellum_status {
        return VELLUM_STATUS_TRUNCATED;
    };
    EXPECT_EQ(vellum_json_value_write_to_sink(&value.v, truncating, nullptr, &error), VELLUM_STATUS_TRUNCATED);
    EXPECT_EQ(error.truncated, 1);
    EXPECT_EQ(error.code, 0);
}

// ---- the serializer's kind 5 fields ---------------------------------------------------------------

struct Doc {
    int64_t n;
    vellum_json_value v;
};
const vellum_field kDocFields[] = {
    VELLUM_FIELD_I64(Doc, n, "n", 0),
    VELLUM_FIELD_OF_KIND(Doc, v, "v", VELLUM_KIND_JSON_VALUE, 0),
};
const vellum_map kDocMap = VELLUM_MAP(Doc, kDocFields);

// The same shape as a mapped record: {"n":1,"v":{"a":[1,2],"o":{"b":true},"e":[]}}.
struct Obj {
    int32_t b;
};
struct Inner {
    vellum_array a;
    Obj o;
    vellum_array e;
};
struct Outer {
    int64_t n;
    Inner v;
};
const vellum_field kObjFields[] = {VELLUM_FIELD_BOOL(Obj, b, "b", 0)};
const vellum_map kObjMap = VELLUM_MAP(Obj, kObjFields);
const vellum_field kInnerFields[] = {
    VELLUM_FIELD_ARRAY(Inner, a, "a", VELLUM_KIND_I64_ARRAY, 0),
    VELLUM_FIELD_OBJECT(Inner, o, "o", &kObjMap, 0),
    VELLUM_FIELD_ARRAY(Inner, e, "e", VELLUM_KIND_I64_ARRAY, 0),
};
const vellum_map kInnerMap = VELLUM_MAP(Inner, kInnerFields);
const vellum_field kOuterFields[] = {
    VELLUM_FIELD_I64(Outer, n, "n", 0),
    VELLUM_FIELD_OBJECT(Outer, v, "v", &kInnerMap, 0),
};
const vellum_map kOuterMap = VELLUM_MAP(Outer, kOuterFields);

std::string serialize(const vellum_map &map, const void *record, bool pretty, vellum_status *status = nullptr,
                      vellum_error *error = nullptr) {
    vellum_write_options options = vellum_default_write_options();
    options.pretty = pretty;
    std::string out;
    vellum_status s = vellum_serialize_sink(&map, record, collect, &out, &options, error);
    if (status) *status = s;
    else {
        EXPECT_EQ(s, VELLUM_STATUS_OK);
    }
    return out;
}

TEST(JsonValueSerializer, CompactAndPrettyContinueTheRecordsLayout) {
    Doc doc;
    vellum_init(&kDocMap, &doc);
    doc.n = 1;
    const char *text = "{ \"a\" : [1, 2], \"o\": {\"b\" : true}, \"e\" : [ ] }";
    ASSERT_EQ(vellum_json_value_set_buffer(&doc.v, text, std::strlen(text), nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(serialize(kDocMap, &doc, false), "{\"n\":1,\"v\":{\"a\":[1,2],\"o\":{\"b\":true},\"e\":[]}}");

    int64_t items[] = {1, 2};
    Outer outer{};
    vellum_init(&kOuterMap, &outer);
    outer.n = 1;
    outer.v.a.items = items;
    outer.v.a.count = 2;
    outer.v.a.capacity = 2;
    outer.v.a.flags = VELLUM_ARRAY_FIXED;
    outer.v.o.b = 1;
    std::string mapped = serialize(kOuterMap, &outer, true);
    EXPECT_EQ(serialize(kDocMap, &doc, true), mapped);
    EXPECT_EQ(mapped,
              "{\n  \"n\": 1,\n  \"v\": {\n    \"a\": [\n      1,\n      2\n    ],\n    \"o\": {\n"
              "      \"b\": true\n    },\n    \"e\": []\n  }\n}");
    vellum_cleanup(&kDocMap, &doc);
}

TEST(JsonValueSerializer, DeepPrettyIndentationAndEmptyValues) {
    Doc doc;
    vellum_init(&kDocMap, &doc);
    // An empty value is null, or left out under OMIT_NULL.
    EXPECT_EQ(serialize(kDocMap, &doc, false), "{\"n\":0,\"v\":null}");
    const vellum_field omitting[] = {VELLUM_FIELD_OF_KIND(Doc, v, "v", VELLUM_KIND_JSON_VALUE, VELLUM_FIELD_OMIT_NULL)};
    const vellum_map omitting_map = VELLUM_MAP(Doc, omitting);
    EXPECT_EQ(serialize(omitting_map, &doc, false), "{}");

    // 40 nested arrays: indentation beyond 64 spaces, counted from the field's depth.
    std::string nested = std::string(40, '[') + "7" + std::string(40, ']');
    ASSERT_EQ(vellum_json_value_set_buffer(&doc.v, nested.data(), nested.size(), nullptr), VELLUM_STATUS_OK);
    std::string expected = "{\n  \"n\": 0,\n  \"v\": ";
    for (int level = 1; level <= 40; level++) expected += "[\n" + std::string(2 + 2 * level, ' ');
    expected += "7";
    for (int level = 40; level >= 1; level--) expected += "\n" + std::string(2 * level, ' ') + "]";
    expected += "\n}";
    EXPECT_EQ(serialize(kDocMap, &doc, true), expected);

    // A source that fails stops the serialization with the source's error.
    TempDir dir;
    std::string bad = dir.write("bad.json", "{\"a\":}");
    ASSERT_EQ(vellum_json_value_set_path(&doc.v, bad.c_str(), nullptr), VELLUM_STATUS_OK);
    vellum_status status;
    vellum_error error;
    serialize(kDocMap, &doc, false, &status, &error);
    EXPECT_EQ(status, VELLUM_STATUS_INVALID_JSON);
    EXPECT_STREQ(error.message, "expected JSON value");
    vellum_cleanup(&kDocMap, &doc);
}

// ---- parse modes and the capture contract -------------------------------------------------------------

TEST(JsonValueParseModes, SettersClearTheSourceAndSetLimits) {
    CountingAllocator counting;
    Value value(counting.get());
    ASSERT_EQ(vellum_json_value_set_buffer(&value.v, "1", 1, nullptr), VELLUM_STATUS_OK);
    vellum_value_visitor visitor;
    vellum_default_value_visitor(&visitor);
    visitor.null = [](void *, vellum_error *) -> int { return 0; };
    vellum_value_limits limits{};
    limits.max_depth = 3;
    limits.max_total_bytes = 99;
    ASSERT_EQ(vellum_json_value_set_parse_visitor(&value.v, &visitor, &limits, &limits, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
    EXPECT_EQ(value.v.kind, VELLUM_JSON_VALUE_NONE);
    EXPECT_EQ(value.v.parse_mode, VELLUM_JSON_PARSE_VISITOR);
    EXPECT_EQ(value.v.parse_visitor.null, visitor.null);
    EXPECT_EQ(value.v.parse_visitor_user, &limits);
    EXPECT_EQ(value.v.limits.max_depth, 3u);
    EXPECT_EQ(value.v.limits.max_string_bytes, 1048576u);
    EXPECT_EQ(value.v.limits.max_total_bytes, 99u);
    ASSERT_EQ(vellum_json_value_set_parse_sink(&value.v, collect, nullptr, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(value.v.parse_mode, VELLUM_JSON_PARSE_SINK);
    EXPECT_EQ(value.v.parse_visitor.null, nullptr);
    EXPECT_EQ(value.v.limits.max_depth, 64u);
    EXPECT_EQ(value.v.limits.max_total_bytes, 0u);
    ASSERT_EQ(vellum_json_value_enable_parse_capture(&value.v, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(value.v.parse_mode, VELLUM_JSON_PARSE_CAPTURE);
    EXPECT_EQ(value.v.parse_sink, nullptr);
}

// Parses text into a value configured for capture, fed `split` bytes at a time.
struct Captured {
    vellum_status status;
    vellum_error error;
    std::string text;
    int kind;
};
Captured capture(const std::string &text, size_t split, const vellum_value_limits *limits = nullptr) {
    Value value;
    EXPECT_EQ(vellum_json_value_enable_parse_capture(&value.v, nullptr), VELLUM_STATUS_OK);
    if (limits) value.v.limits = *limits;
    Captured out;
    out.status = vellum__json_value_parse_buffer(&value.v, text.data(), text.size(), split, &out.error);
    out.text = buffer_of(value.v);
    out.kind = value.v.kind;
    return out;
}

TEST(JsonValueCapture, CaptureBecomesABufferSourceThatWritesBackUnchanged) {
    CountingAllocator counting;
    {
        Value value(counting.get());
        ASSERT_EQ(vellum_json_value_set_path(&value.v, "/old/path", nullptr), VELLUM_STATUS_OK);
        ASSERT_EQ(vellum_json_value_enable_parse_capture(&value.v, nullptr), VELLUM_STATUS_OK);
        std::string text = " { \"a\" : [ 1 , \"x\\u00e9\\\"\\/\" , true , null , { } ] , \"\\u0001\" : -0.5 } ";
        vellum_error error;
        ASSERT_EQ(vellum__json_value_parse_buffer(&value.v, text.data(), text.size(), 0, &error), VELLUM_STATUS_OK)
            << error.message;
        EXPECT_EQ(value.v.kind, VELLUM_JSON_VALUE_BUFFER);
        // Strings are re-escaped as the serializer writes them.
        EXPECT_EQ(buffer_of(value.v), "{\"a\":[1,\"x\xC3\xA9\\\"/\",true,null,{}],\"\\u0001\":-0.5}");
        EXPECT_EQ(value.v.data[value.v.len], '\0');
        EXPECT_EQ(value.write(), buffer_of(value.v));
        // A long value grows the capture buffer from 64 bytes by doubling.
        std::string big = "[\"" + std::string(10000, 'z') + "\"]";
        ASSERT_EQ(vellum__json_value_parse_buffer(&value.v, big.data(), big.size(), 0, &error), VELLUM_STATUS_OK);
        EXPECT_EQ(buffer_of(value.v), big);
        // Doubled from 64 to 16384 bytes, plus the block's six-word header.
        EXPECT_EQ(counting.stats().bytes_in_use, 16384u + 6 * sizeof(void *));
    }
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);

    // A capture that cannot grow fails and leaves nothing behind after cleanup.
    CountingAllocator failing;
    {
        Value value(failing.get());
        ASSERT_EQ(vellum_json_value_enable_parse_capture(&value.v, nullptr), VELLUM_STATUS_OK);
        failing.fail_at(2);
        std::string big = "[\"" + std::string(200, 'z') + "\"]";
        vellum_error error;
        EXPECT_EQ(vellum__json_value_parse_buffer(&value.v, big.data(), big.size(), 0, &error),
                  VELLUM_STATUS_ALLOCATION_FAILED);
        EXPECT_STREQ(error.message, "failed to grow captured JSON value");
        EXPECT_EQ(value.v.kind, VELLUM_JSON_VALUE_NONE);
    }
    EXPECT_EQ(failing.stats().bytes_in_use, 0u);
}

TEST(JsonValueCapture, ConfigurationErrors) {
    Value value;
    vellum_error error;
    EXPECT_EQ(vellum__json_value_parse_buffer(&value.v, "1", 1, 0, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value parse requires a configured parse sink, parse visitor, or parse capture");
    value.v.parse_mode = VELLUM_JSON_PARSE_SINK;
    EXPECT_EQ(vellum__json_value_parse_buffer(&value.v, "1", 1, 0, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value field has no configured parse sink or capture mode");
    EXPECT_EQ(vellum__json_value_parse_buffer(nullptr, "1", 1, 0, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value handle is required");
}

TEST(JsonValueCapture, LimitsApplyToTheCompactValue) {
    vellum_value_limits limits = vellum_default_value_limits();
    EXPECT_EQ(capture(std::string(64, '[') + std::string(64, ']'), 0).status, VELLUM_STATUS_OK);
    Captured deep = capture(std::string(65, '[') + std::string(65, ']'), 0);
    EXPECT_EQ(deep.status, VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(deep.error.message, "JSON value nesting exceeds maximum depth");
    EXPECT_EQ(deep.error.offset, 65u);
    EXPECT_EQ(capture(std::string(256, '1'), 0).status, VELLUM_STATUS_OK);
    EXPECT_STREQ(capture(std::string(257, '1'), 0).error.message, "JSON number exceeds maximum byte limit");

    limits.max_string_bytes = 3;
    limits.max_key_bytes = 2;
    EXPECT_EQ(capture("{\"ab\":\"abc\"}", 0, &limits).status, VELLUM_STATUS_OK);
    EXPECT_STREQ(capture("{\"abc\":1}", 0, &limits).error.message,
                 "JSON object key exceeds maximum decoded byte limit");
    EXPECT_STREQ(capture("[\"abcd\"]", 0, &limits).error.message, "JSON string exceeds maximum decoded byte limit");
    EXPECT_STREQ(capture("[\"ab\\u00e9\"]", 0, &limits).error.message, "decoded JSON text exceeds limit");

    // The total counts compact bytes: whitespace in the input does not count.
    limits = vellum_default_value_limits();
    limits.max_total_bytes = 5;
    EXPECT_EQ(capture(" [ 1 ,\n 2 ] ", 1, &limits).text, "[1,2]");
    limits.max_total_bytes = 4;
    Captured over = capture(" [ 1 ,\n 2 ] ", 1, &limits);
    EXPECT_EQ(over.status, VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(over.error.message, "JSON value exceeds maximum total byte limit");
    EXPECT_EQ(over.kind, VELLUM_JSON_VALUE_NONE);
}

const std::vector<std::string> &capture_corpus() {
    static const std::vector<std::string> corpus = {
        "null",
        " true ",
        "-12.5e3",
        "\"\\u00e9\\ud83d\\ude00\\t\\\"\"",
        "{\"a\":[1,true,null,\"x\"],\"b\":{\"c\":{}},\"d\":[[],[{}]]}",
        "[" + std::string(700, ' ') + "\"" + std::string(600, 'm') + "\\n" + std::string(300, 'n') + "\"]",
        spaced_document().first,
        "[1,]",
        "{\"a\" 1}",
        "\"\\ude00\"",
        "[1] x",
        "{\"a\":[1,2",
    };
    return corpus;
}

TEST(JsonValueCapture, OutcomeDoesNotDependOnHowInputArrives) {
    for (const std::string &text : capture_corpus()) {
        Captured whole = capture(text, 0);
        for (size_t split : {1u, 2u, 7u, 1024u}) {
            Captured part = capture(text, split);
            EXPECT_EQ(part.status, whole.status) << text;
            EXPECT_EQ(part.text, whole.text) << text;
            EXPECT_STREQ(part.error.message, whole.error.message) << text;
            EXPECT_EQ(part.error.offset, whole.error.offset) << text;
            EXPECT_EQ(part.error.line, whole.error.line) << text;
        }
        // A captured value reads back to the same compact text.
        if (whole.status == VELLUM_STATUS_OK) {
            Value copy;
            ASSERT_EQ(vellum_json_value_set_buffer(&copy.v, whole.text.data(), whole.text.size(), nullptr), 0);
            EXPECT_EQ(copy.write(), whole.text);
        }
    }
}

TEST(JsonValueCapture, SinkModeStreamsTheSameTextAsCapture) {
    for (const std::string &text : capture_corpus()) {
        Captured captured = capture(text, 0);
        Value value;
        std::string streamed;
        ASSERT_EQ(vellum_json_value_set_parse_sink(&value.v, collect, &streamed, nullptr), VELLUM_STATUS_OK);
        vellum_error error;
        vellum_status status = vellum__json_value_parse_buffer(&value.v, text.data(), text.size(), 3, &error);
        EXPECT_EQ(status, captured.status) << text;
        if (status == VELLUM_STATUS_OK) {
            EXPECT_EQ(streamed, captured.text);
        }
        EXPECT_EQ(value.v.kind, VELLUM_JSON_VALUE_NONE);
    }
    Value value;
    auto refusing = [](void *, const void *, size_t, vellum_error *) -> vellum_status { return 55; };
    ASSERT_EQ(vellum_json_value_set_parse_sink(&value.v, refusing, nullptr, nullptr), VELLUM_STATUS_OK);
    vellum_error error;
    EXPECT_EQ(vellum__json_value_parse_buffer(&value.v, "[1]", 3, 0, &error), 55);
    EXPECT_EQ(error.code, 55);
}

// Visitor mode reports exactly what the value visitor reports for the same text.
struct Events {
    std::vector<std::string> list;
    static Events &of(void *u) { return *static_cast<Events *>(u); }
    static int add(void *u, std::string e) {
        of(u).list.push_back(std::move(e));
        return 0;
    }
    static vellum_value_visitor table() {
        vellum_value_visitor v;
        vellum_default_value_visitor(&v);
        v.object_begin = [](void *u, vellum_error *) { return add(u, "{"); };
        v.object_end = [](void *u, vellum_error *) { return add(u, "}"); };
        v.key_begin = [](void *u, vellum_error *) { return add(u, "k("); };
        v.key_chunk = [](void *u, const char *d, size_t n, vellum_error *) { return add(u, "k:" + std::string(d, n)); };
        v.key_end = [](void *u, vellum_error *) { return add(u, "k)"); };
        v.array_begin = [](void *u, vellum_error *) { return add(u, "["); };
        v.array_end = [](void *u, vellum_error *) { return add(u, "]"); };
        v.string_begin = [](void *u, vellum_error *) { return add(u, "s("); };
        v.string_chunk = [](void *u, const char *d, size_t n, vellum_error *) { return add(u, "s:" + std::string(d, n)); };
        v.string_end = [](void *u, vellum_error *) { return add(u, "s)"); };
        v.number_begin = [](void *u, vellum_error *) { return add(u, "n("); };
        v.number_chunk = [](void *u, const char *d, size_t n, vellum_error *) { return add(u, "n:" + std::string(d, n)); };
        v.number_end = [](void *u, vellum_error *) { return add(u, "n)"); };
        v.boolean = [](void *u, int b, vellum_error *) { return add(u, b ? "true" : "false"); };
        v.null = [](void *u, vellum_error *) { return add(u, "null"); };
        return v;
    }
};

TEST(JsonValueCapture, VisitorModeMatchesTheValueVisitor) {
    vellum_value_visitor table = Events::table();
    for (const std::string &text : capture_corpus()) {
        Events direct;
        vellum_status expected = vellum_visit_value_buffer(text.data(), text.size(), &table, &direct, nullptr, nullptr);
        if (expected != VELLUM_STATUS_OK) continue;
        Value value;
        Events captured;
        ASSERT_EQ(vellum_json_value_set_parse_visitor(&value.v, &table, &captured, nullptr, nullptr), 0);
        vellum_error error;
        EXPECT_EQ(vellum__json_value_parse_buffer(&value.v, text.data(), text.size(), 5, &error), VELLUM_STATUS_OK)
            << error.message;
        EXPECT_EQ(captured.list, direct.list) << text;
    }
}

// ---- raw values inside parsed records -------------------------------------------------------------

// Parses text into doc, whole or through a reader that delivers one byte per call.
vellum_status parse_doc(Doc *doc, const std::string &text, bool bytewise, vellum_error *error) {
    if (!bytewise) return vellum_parse_buffer(&kDocMap, doc, text.data(), text.size(), nullptr, error);
    struct OneByte {
        const std::string *text;
        size_t pos;
        static vellum_read_result read(void *user, void *buffer, size_t) {
            auto &self = *static_cast<OneByte *>(user);
            vellum_read_result r = vellum_default_read_result();
            if (self.pos < self.text->size()) {
                static_cast<char *>(buffer)[0] = (*self.text)[self.pos++];
                r.bytes = 1;
            }
            r.eof = self.pos == self.text->size();
            return r;
        }
    } reader{&text, 0};
    return vellum_parse_reader(&kDocMap, doc, &OneByte::read, &reader, nullptr, error);
}

TEST(JsonValueRecordParse, CaptureSerializeParseRoundTrip) {
    const std::string text = "{ \"n\" : 3 , \"v\" : { \"a\" : [ 1 , \"x\\u00e9\" , [ ] ] , \"b\" : null } }";
    for (bool bytewise : {false, true}) {
        Doc doc;
        vellum_init(&kDocMap, &doc);
        ASSERT_EQ(vellum_json_value_enable_parse_capture(&doc.v, nullptr), VELLUM_STATUS_OK);
        vellum_error error;
        ASSERT_EQ(parse_doc(&doc, text, bytewise, &error), VELLUM_STATUS_OK) << error.message;
        EXPECT_EQ(doc.n, 3);
        EXPECT_EQ(buffer_of(doc.v), "{\"a\":[1,\"x\xC3\xA9\",[]],\"b\":null}");
        std::string compact = serialize(kDocMap, &doc, false);
        EXPECT_EQ(compact, "{\"n\":3,\"v\":" + buffer_of(doc.v) + "}");
        std::string pretty = serialize(kDocMap, &doc, true);
        // Both forms parse back to the same captured value.
        for (const std::string &again : {compact, pretty}) {
            Doc copy;
            vellum_init(&kDocMap, &copy);
            ASSERT_EQ(vellum_json_value_enable_parse_capture(&copy.v, nullptr), VELLUM_STATUS_OK);
            ASSERT_EQ(parse_doc(&copy, again, bytewise, &error), VELLUM_STATUS_OK) << error.message;
            EXPECT_EQ(buffer_of(copy.v), buffer_of(doc.v));
            EXPECT_EQ(serialize(kDocMap, &copy, true), pretty);
            vellum_cleanup(&kDocMap, &copy);
        }
        vellum_cleanup(&kDocMap, &doc);
    }
}

TEST(JsonValueRecordParse, SinkVisitorAndFailuresAgreeWholeAndBytewise) {
    const std::string text = "{\"v\":{\"k\":[\"" + std::string(700, 's') + "\\n\",2.5,{\"z\":false}]},\"n\":9}";
    vellum_value_visitor table = Events::table();
    Events direct;
    const std::string compact = "{\"k\":[\"" + std::string(700, 's') + "\\n\",2.5,{\"z\":false}]}";
    ASSERT_EQ(vellum_visit_value_cstr(compact.c_str(), &table, &direct, nullptr, nullptr), VELLUM_STATUS_OK);
    for (bool bytewise : {false, true}) {
        Doc doc;
        vellum_init(&kDocMap, &doc);
        std::string streamed;
        ASSERT_EQ(vellum_json_value_set_parse_sink(&doc.v, collect, &streamed, nullptr), VELLUM_STATUS_OK);
        vellum_error error;
        ASSERT_EQ(parse_doc(&doc, text, bytewise, &error), VELLUM_STATUS_OK) << error.message;
        EXPECT_EQ(streamed, compact);
        EXPECT_EQ(doc.n, 9);

        Events events;
        ASSERT_EQ(vellum_json_value_set_parse_visitor(&doc.v, &table, &events, nullptr, nullptr), VELLUM_STATUS_OK);
        ASSERT_EQ(parse_doc(&doc, text, bytewise, &error), VELLUM_STATUS_OK) << error.message;
        EXPECT_EQ(events.list, direct.list);
        vellum_cleanup(&kDocMap, &doc);
    }

    // Failures inside the value: the same status, message and position either way.
    struct Case {
        std::string text;
        const char *message;
    } cases[] = {
        {"{\"v\":[1,}", "expected array value"},
        {"{\"v\":[[[{\"a\":[]}]]]}", "JSON value nesting exceeds maximum depth"},
        {"{\"v\":\"\\ude00\"}", "unexpected low surrogate"},
        {"{\"v\":[" + std::string(300, '9') + "]}", "JSON number exceeds maximum byte limit"},
    };
    for (const Case &c : cases) {
        vellum_error whole, bytes;
        Doc a, b;
        vellum_init(&kDocMap, &a);
        vellum_init(&kDocMap, &b);
        vellum_json_value_enable_parse_capture(&a.v, nullptr);
        vellum_json_value_enable_parse_capture(&b.v, nullptr);
        a.v.limits.max_depth = b.v.limits.max_depth = 4;
        vellum_status sa = parse_doc(&a, c.text, false, &whole);
        vellum_status sb = parse_doc(&b, c.text, true, &bytes);
        EXPECT_NE(sa, VELLUM_STATUS_OK) << c.text;
        EXPECT_EQ(sa, sb) << c.text;
        EXPECT_STREQ(whole.message, c.message) << c.text;
        EXPECT_STREQ(bytes.message, c.message) << c.text;
        EXPECT_EQ(whole.offset, bytes.offset) << c.text;
        EXPECT_EQ(a.v.kind, VELLUM_JSON_VALUE_NONE);
        vellum_cleanup(&kDocMap, &a);
        vellum_cleanup(&kDocMap, &b);
    }

    // A value field without a parse configuration is refused.
    Doc plain;
    vellum_init(&kDocMap, &plain);
    vellum_error error;
    EXPECT_EQ(parse_doc(&plain, "{\"v\":1}", false, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value parse requires a configured parse sink, parse visitor, or parse capture");
    vellum_cleanup(&kDocMap, &plain);
}

}  // namespace
