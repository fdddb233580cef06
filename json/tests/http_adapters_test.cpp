// The libcurl-shaped adapters: parsing a body delivered in arbitrary pieces, and producing a
// body through the read callback, alone and wired together over a real socket.
#include "fixtures.h"
#include "vellum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using korvo::testing::CountingAllocator;

namespace {

vellum_status append_sink(void *user, const void *data, size_t length, vellum_error *) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(data), length);
    return VELLUM_STATUS_OK;
}

struct Tag {
    char *key;
    double weight;
};
const vellum_field tag_fields[] = {
    VELLUM_FIELD_STRING(Tag, key, "key", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_F64(Tag, weight, "weight", 0),
};
const vellum_map tag_map = VELLUM_MAP(Tag, tag_fields);

struct Body {
    char *name;
    char code[6];
    int64_t count;
    uint64_t token;
    int32_t active;
    double ratio;
    vellum_array labels;
    vellum_array numbers;
    Tag primary;
    vellum_object_array tags;
    vellum_spooled payload;
};
const vellum_spool_options tiny_spool = {8, 0, nullptr};
const vellum_field body_fields[] = {
    VELLUM_FIELD_STRING(Body, name, "name", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_FIXED_STRING(Body, code, "code", VELLUM_OVERFLOW_TRUNCATE, 0),
    VELLUM_FIELD_I64(Body, count, "count", 0),
    VELLUM_FIELD_U64(Body, token, "token", 0),
    VELLUM_FIELD_BOOL(Body, active, "active", 0),
    VELLUM_FIELD_F64(Body, ratio, "ratio", 0),
    VELLUM_FIELD_ARRAY(Body, labels, "labels", VELLUM_KIND_STRING_ARRAY, VELLUM_FIELD_OMIT_EMPTY),
    VELLUM_FIELD_ARRAY(Body, numbers, "numbers", VELLUM_KIND_I64_ARRAY, 0),
    VELLUM_FIELD_OBJECT(Body, primary, "primary", &tag_map, 0),
    VELLUM_FIELD_OBJECT_ARRAY(Body, tags, "tags", Tag, &tag_map, 0),
    VELLUM_FIELD_SPOOLED(Body, payload, "payload", VELLUM_KIND_SPOOLED_BYTES, &tiny_spool, 0),
};
const vellum_map body_map = VELLUM_MAP(Body, body_fields);

// Escapes of every kind (a surrogate pair among them), whitespace, unknown keys, nested values
// and a base64 payload that spills past the 8-byte spool prefix.
const std::string kBody =
    "{ \"name\" : \"caf\\u00e9 \\ud83d\\ude00 \\\"q\\\" \\\\ \\/ \\b\\f\\n\\r\\t\",\n"
    "  \"code\": \"ABCDE\", \"count\": -9223372036854775808, \"token\": 18446744073709551615,\n"
    "  \"active\": true, \"ratio\": 2.5e-3, \"unknown\": {\"deep\": [1, {\"x\": null}, \"s\"]},\n"
    "  \"labels\": [\"a\", \"\", \"c\\u0001\"], \"numbers\": [ 1 , -2 , 30 ],\n"
    "  \"primary\": {\"key\": \"p\", \"weight\": 1e2},\n"
    "  \"tags\": [{\"key\": \"t1\", \"weight\": 0.5}, {\"weight\": -1, \"key\": \"t2\"}],\n"
    "  \"payload\": \"SGVsbG8sIHNwb29sZWQgd29ybGQh\" }\r\n";

std::string serialize(const void *record) {
    std::string out;
    vellum_error error;
    EXPECT_EQ(vellum_serialize_sink(&body_map, record, append_sink, &out, nullptr, &error), VELLUM_STATUS_OK)
        << error.message;
    return out;
}

// Parses body through the adapter in pieces that end at the given offsets; returns the
// serialized record, or "error: <message>" when the adapter refused it.
std::string parse_in_pieces(const std::string &body, const std::vector<size_t> &cuts,
                            vellum_status *final_status = nullptr) {
    Body record{};
    vellum_curl_parse handle;
    EXPECT_EQ(vellum_curl_parse_init(&handle, &body_map, &record, nullptr), VELLUM_STATUS_OK);
    size_t start = 0;
    std::string result;
    std::vector<size_t> ends = cuts;
    ends.push_back(body.size());
    for (size_t end : ends) {
        size_t n = end - start;
        // Pieces are offered as items of one byte or as one item, as libcurl may do either.
        size_t taken = (n % 2) ? vellum_curl_write_callback(body.data() + start, 1, n, &handle)
                               : vellum_curl_write_callback(body.data() + start, n, 1, &handle);
        if (taken != n) {
            result = std::string("error: ") + handle.error.message;
            break;
        }
        start = end;
    }
    vellum_status status = vellum_curl_parse_finish(&handle);
    if (final_status) *final_status = status;
    if (result.empty()) {
        result = (status == VELLUM_STATUS_OK || status == VELLUM_STATUS_TRUNCATED)
                     ? serialize(&record)
                     : std::string("error: ") + handle.error.message;
    }
    vellum_curl_parse_cleanup(&handle);
    vellum_cleanup(&body_map, &record);
    return result;
}

// ---- parse adapter ---------------------------------------------------------------------------------

TEST(CurlParse, BodySplitAtEveryByteParsesAsInOnePiece) {
    vellum_status status = VELLUM_STATUS_OK;
    std::string whole = parse_in_pieces(kBody, {}, &status);
    ASSERT_EQ(whole.rfind("error", 0), std::string::npos) << whole;
    EXPECT_EQ(status, VELLUM_STATUS_OK);
    for (size_t cut = 0; cut <= kBody.size(); cut++) {
        ASSERT_EQ(parse_in_pieces(kBody, {cut}), whole) << "split at " << cut;
    }
    std::vector<size_t> every;
    for (size_t i = 1; i < kBody.size(); i++) every.push_back(i);
    EXPECT_EQ(parse_in_pieces(kBody, every), whole);
    std::mt19937 random(5);
    for (int round = 0; round < 50; round++) {
        std::vector<size_t> cuts;
        for (size_t at = random() % 9; at < kBody.size(); at += 1 + random() % 17) cuts.push_back(at);
        ASSERT_EQ(parse_in_pieces(kBody, cuts), whole) << "round " << round;
    }
}

TEST(CurlParse, TruncationDoesNotAbortTheTransfer) {
    const std::string body = "{\"name\":\"n\",\"code\":\"TOOLONG\",\"count\":4}";
    Body record{};
    vellum_curl_parse handle;
    ASSERT_EQ(vellum_curl_parse_init(&handle, &body_map, &record, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_curl_write_callback(body.data(), 1, 22, &handle), 22u);
    EXPECT_EQ(vellum_curl_write_callback(body.data() + 22, 1, body.size() - 22, &handle), body.size() - 22);
    EXPECT_EQ(vellum_curl_parse_finish(&handle), VELLUM_STATUS_TRUNCATED);
    EXPECT_EQ(handle.error.truncated, 1);
    EXPECT_STREQ(record.code, "TOOLO");
    EXPECT_EQ(record.count, 4);
    vellum_curl_parse_cleanup(&handle);
    vellum_cleanup(&body_map, &record);
}

TEST(CurlParse, FirstFailureSticksUntilCleanup) {
    Body record{};
    vellum_curl_parse handle;
    ASSERT_EQ(vellum_curl_parse_init(&handle, &body_map, &record, nullptr), VELLUM_STATUS_OK);
    const std::string bad = "{\"name\":\"n\",\"count\":tru}";
    EXPECT_EQ(vellum_curl_write_callback(bad.data(), 1, bad.size(), &handle), 0u);
    EXPECT_EQ(handle.error.code, VELLUM_STATUS_INVALID_JSON);
    std::string message = handle.error.message;
    EXPECT_FALSE(message.empty());
    const std::string good = "{\"name\":\"n\"}";
    EXPECT_EQ(vellum_curl_write_callback(good.data(), 1, good.size(), &handle), 0u);
    EXPECT_EQ(vellum_curl_parse_finish(&handle), VELLUM_STATUS_INVALID_JSON);
    EXPECT_EQ(message, handle.error.message);
    vellum_curl_parse_cleanup(&handle);
    EXPECT_EQ(handle.parser, nullptr);
    vellum_curl_parse_cleanup(&handle);  // twice is fine
    vellum_cleanup(&body_map, &record);
}

TEST(CurlParse, FinishReportsIncompleteDocumentsAndMissingFields) {
    vellum_status status;
    EXPECT_EQ(parse_in_pieces("{\"name\":\"n\",\"count\":12", {5}, &status), "error: incomplete JSON document");
    EXPECT_EQ(status, VELLUM_STATUS_INVALID_JSON);
    EXPECT_EQ(parse_in_pieces("{\"count\":12}", {3}, &status), "error: missing required field 'name'");
    EXPECT_EQ(status, VELLUM_STATUS_MISSING_REQUIRED_FIELD);
    EXPECT_EQ(parse_in_pieces("", {}, &status), "error: incomplete JSON document");
    // A number at the very end is completed by finish.
    struct Number {
        int64_t n;
    };
    const vellum_field fields[] = {VELLUM_FIELD_I64(Number, n, "n", 0)};
    const vellum_map map = VELLUM_MAP(Number, fields);
    Number record{7};
    vellum_curl_parse handle;
    ASSERT_EQ(vellum_curl_parse_init(&handle, &map, &record, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(record.n, 0);  // cleared before any byte arrived
    EXPECT_EQ(vellum_curl_write_callback("{\"n\":42}", 1, 8, &handle), 8u);
    EXPECT_EQ(vellum_curl_parse_finish(&handle), VELLUM_STATUS_OK);
    EXPECT_EQ(record.n, 42);
    vellum_curl_parse_cleanup(&handle);
}

TEST(CurlParse, ArgumentsAndZeroLengthWrites) {
    Body record{};
    EXPECT_EQ(vellum_curl_parse_init(nullptr, &body_map, &record, nullptr), VELLUM_STATUS_INVALID_ARGUMENT);
    vellum_curl_parse handle;
    std::memset(&handle, 0x77, sizeof handle);
    EXPECT_EQ(vellum_curl_parse_init(&handle, &body_map, nullptr, nullptr), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(handle.error.message, "map and destination are required");
    EXPECT_EQ(handle.parser, nullptr);
    vellum_allocator partial{};
    partial.free_fn = [](void *, void *p) { std::free(p); };
    vellum_parse_options options = vellum_default_parse_options();
    options.allocator = &partial;
    EXPECT_EQ(vellum_curl_parse_init(&handle, &body_map, &record, &options), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(handle.error.message, "allocator must provide either all callbacks or none");
    const vellum_map bad_map = {"bad", 0, body_fields, 1};
    EXPECT_EQ(vellum_curl_parse_init(&handle, &bad_map, &record, nullptr), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(handle.error.message, "invalid map layout");

    EXPECT_EQ(vellum_curl_write_callback("{}", 1, 2, nullptr), 0u);
    EXPECT_EQ(vellum_curl_write_callback("{}", 1, 2, &handle), 0u);  // no parser
    EXPECT_EQ(vellum_curl_parse_finish(nullptr), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(vellum_curl_parse_finish(&handle), VELLUM_STATUS_INVALID_ARGUMENT);
    vellum_curl_parse_cleanup(nullptr);

    ASSERT_EQ(vellum_curl_parse_init(&handle, &body_map, &record, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(handle.error.code, 0);
    EXPECT_EQ(vellum_curl_write_callback(nullptr, 0, 5, &handle), 0u);  // zero length: accepted
    EXPECT_EQ(vellum_curl_write_callback(nullptr, 5, 0, &handle), 0u);
    EXPECT_EQ(handle.error.code, 0);
    const std::string body = "{\"name\":\"x\"}";
    EXPECT_EQ(vellum_curl_write_callback(body.data(), 1, body.size(), &handle), body.size());
    EXPECT_EQ(vellum_curl_write_callback(nullptr, 1, 3, &handle), 0u);  // NULL data with a length
    EXPECT_STREQ(handle.error.message, "invalid parser feed arguments");
    EXPECT_EQ(vellum_curl_parse_finish(&handle), VELLUM_STATUS_INVALID_ARGUMENT);
    vellum_curl_parse_cleanup(&handle);
    vellum_cleanup(&body_map, &record);  // init clears the destination without freeing it

    ASSERT_EQ(vellum_curl_parse_init(&handle, &body_map, &record, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_curl_write_callback(body.data(), SIZE_MAX / 2, 3, &handle), 0u);  // size overflow
    EXPECT_STREQ(handle.error.message, "invalid parser feed arguments");
    EXPECT_EQ(vellum_curl_write_callback(body.data(), 1, body.size(), &handle), 0u);
    vellum_curl_parse_cleanup(&handle);
    vellum_cleanup(&body_map, &record);
}

TEST(CurlParse, ParserAndRecordMemoryComeFromTheOptionsAllocator) {
    CountingAllocator counting;
    vellum_parse_options options = vellum_default_parse_options();
    options.allocator = counting.get();
    Body record{};
    vellum_curl_parse handle;

    counting.fail_at(1);
    EXPECT_EQ(vellum_curl_parse_init(&handle, &body_map, &record, &options), VELLUM_STATUS_ALLOCATION_FAILED);
    EXPECT_STREQ(handle.error.message, "failed to allocate parser");
    EXPECT_EQ(handle.parser, nullptr);
    vellum_curl_parse_cleanup(&handle);

    counting.fail_at(0);
    ASSERT_EQ(vellum_curl_parse_init(&handle, &body_map, &record, &options), VELLUM_STATUS_OK);
    EXPECT_EQ(counting.stats().alloc_count, 1u);
    size_t parser_bytes = counting.stats().bytes_in_use;
    EXPECT_GT(parser_bytes, 4096u);  // the parser with its workspace, in one block
    ASSERT_EQ(vellum_curl_write_callback(kBody.data(), 1, kBody.size(), &handle), kBody.size());
    vellum_status status = vellum_curl_parse_finish(&handle);
    EXPECT_TRUE(status == VELLUM_STATUS_OK || status == VELLUM_STATUS_TRUNCATED);
    EXPECT_GT(counting.stats().bytes_in_use, parser_bytes);  // the record's strings and arrays
    vellum_curl_parse_cleanup(&handle);
    EXPECT_EQ(handle.parser, nullptr);
    vellum_cleanup(&body_map, &record);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
    EXPECT_EQ(counting.stats().free_count, counting.stats().alloc_count);
}

TEST(CurlParse, WithoutClearDestinationValuesMerge) {
    Body record{};
    vellum_init(&body_map, &record);
    record.count = 5;
    vellum_parse_options options = vellum_default_parse_options();
    options.clear_destination = 0;
    vellum_curl_parse handle;
    ASSERT_EQ(vellum_curl_parse_init(&handle, &body_map, &record, &options), VELLUM_STATUS_OK);
    EXPECT_EQ(record.count, 5);
    const std::string body = "{\"name\":\"m\",\"active\":true}";
    ASSERT_EQ(vellum_curl_write_callback(body.data(), 1, body.size(), &handle), body.size());
    EXPECT_EQ(vellum_curl_parse_finish(&handle), VELLUM_STATUS_OK);
    EXPECT_EQ(record.count, 5);
    EXPECT_EQ(record.active, 1);
    vellum_curl_parse_cleanup(&handle);
    vellum_cleanup(&body_map, &record);
}

// ---- upload adapter --------------------------------------------------------------------------------

// A record to upload: parsed from kBody, so every member is set.
class Upload : public ::testing::Test {
protected:
    void SetUp() override {
        vellum_error error;
        vellum_status status = vellum_parse_buffer(&body_map, &record, kBody.data(), kBody.size(), nullptr, &error);
        ASSERT_TRUE(status == VELLUM_STATUS_OK || status == VELLUM_STATUS_TRUNCATED) << error.message;
        expected = serialize(&record);
    }
    void TearDown() override { vellum_cleanup(&body_map, &record); }

    Body record{};
    std::string expected;
};

TEST_F(Upload, ReadCallbackDeliversTheSerializedBodyAndThenZero) {
    for (size_t item : {size_t{1}, size_t{3}, size_t{4096}, size_t{65536}}) {
        vellum_generator generator;
        ASSERT_EQ(vellum_curl_upload_init(&generator, &body_map, &record, nullptr), VELLUM_STATUS_OK);
        EXPECT_EQ(vellum_curl_upload_size(&generator), -1);
        std::vector<char> buffer(item);
        std::string body;
        for (;;) {
            size_t n = vellum_curl_read_callback(buffer.data(), 1, item, &generator);
            ASSERT_NE(n, VELLUM_CURL_READFUNC_ABORT) << generator.error.message;
            ASSERT_LE(n, item);
            if (n == 0) break;
            body.append(buffer.data(), n);
        }
        EXPECT_EQ(body, expected);
        EXPECT_EQ(vellum_curl_read_callback(buffer.data(), 1, item, &generator), 0u);  // again after the end
        EXPECT_EQ(vellum_curl_read_callback(buffer.data(), item, 0, &generator), 0u);
        size_t length = 0;
        ASSERT_EQ(vellum_generator_measure(&body_map, &record, &length, nullptr, nullptr), VELLUM_STATUS_OK);
        EXPECT_EQ(length, body.size());
        vellum_curl_upload_cleanup(&generator);
        EXPECT_EQ(generator.state, nullptr);
    }
    vellum_curl_upload_cleanup(nullptr);
}

TEST_F(Upload, AbortValueForBadHandlesAndFailedReads) {
    char buffer[64];
    EXPECT_EQ(vellum_curl_read_callback(buffer, 1, sizeof buffer, nullptr), VELLUM_CURL_READFUNC_ABORT);
    vellum_generator generator;
    std::memset(&generator, 0, sizeof generator);
    EXPECT_EQ(vellum_curl_read_callback(buffer, 1, sizeof buffer, &generator), VELLUM_CURL_READFUNC_ABORT);
    EXPECT_EQ(vellum_curl_upload_init(nullptr, &body_map, &record, nullptr), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(vellum_curl_upload_init(&generator, &body_map, nullptr, nullptr), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(generator.error.message, "map and source are required for generator init");

    ASSERT_EQ(vellum_curl_upload_init(&generator, &body_map, &record, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_curl_read_callback(nullptr, 1, sizeof buffer, &generator), VELLUM_CURL_READFUNC_ABORT);
    EXPECT_EQ(vellum_curl_read_callback(buffer, 0, sizeof buffer, &generator), 0u);
    vellum_curl_upload_cleanup(&generator);

    // A value that cannot be written aborts the transfer; the reason stays in the handle.
    record.ratio = std::nan("");
    ASSERT_EQ(vellum_curl_upload_init(&generator, &body_map, &record, nullptr), VELLUM_STATUS_OK);
    size_t n = 0;
    for (int reads = 0; reads < 100; reads++) {
        n = vellum_curl_read_callback(buffer, 1, sizeof buffer, &generator);
        if (n == VELLUM_CURL_READFUNC_ABORT || n == 0) break;
        EXPECT_EQ(n, sizeof buffer);
    }
    EXPECT_EQ(n, VELLUM_CURL_READFUNC_ABORT);
    EXPECT_EQ(generator.error.code, VELLUM_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(generator.error.message, "non-finite double cannot be serialized");
    EXPECT_EQ(vellum_curl_read_callback(buffer, 1, sizeof buffer, &generator), VELLUM_CURL_READFUNC_ABORT);
    vellum_curl_upload_cleanup(&generator);
}

TEST_F(Upload, UploadThroughASocketParsesBackToTheSameRecord) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    vellum_generator generator;
    ASSERT_EQ(vellum_curl_upload_init(&generator, &body_map, &record, nullptr), VELLUM_STATUS_OK);
    std::thread sender([&] {
        char buffer[13];
        for (;;) {
            size_t n = vellum_curl_read_callback(buffer, 1, sizeof buffer, &generator);
            if (n == 0 || n == VELLUM_CURL_READFUNC_ABORT) break;
            for (size_t off = 0; off < n;) {
                ssize_t w = ::write(fds[0], buffer + off, n - off);
                if (w <= 0) return;
                off += static_cast<size_t>(w);
            }
        }
        ::shutdown(fds[0], SHUT_WR);
    });
    Body received{};
    vellum_curl_parse handle;
    ASSERT_EQ(vellum_curl_parse_init(&handle, &body_map, &received, nullptr), VELLUM_STATUS_OK);
    char buffer[29];
    bool consumed = true;
    for (;;) {
        ssize_t r = ::read(fds[1], buffer, sizeof buffer);
        if (r <= 0) break;
        consumed = consumed && vellum_curl_write_callback(buffer, 1, static_cast<size_t>(r), &handle) ==
                                   static_cast<size_t>(r);
    }
    sender.join();
    EXPECT_TRUE(consumed) << handle.error.message;
    vellum_status status = vellum_curl_parse_finish(&handle);
    EXPECT_TRUE(status == VELLUM_STATUS_OK || status == VELLUM_STATUS_TRUNCATED) << handle.error.message;
    EXPECT_EQ(serialize(&received), expected);
    vellum_curl_parse_cleanup(&handle);
    vellum_curl_upload_cleanup(&generator);
    vellum_cleanup(&body_map, &received);
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
