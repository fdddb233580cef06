// Allocation-failure sweep: every public operation that allocates runs with its k-th
// allocation failing, for k = 1, 2, ... until a run needs no failing allocation. Each failed
// run must report VELLUM_STATUS_ALLOCATION_FAILED with a "failed to ..." message and leave
// no byte allocated once the caller has released what it owns.
#include "fixtures.h"
#include "vellum.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using korvo::testing::CountingAllocator;

struct Outcome {
    vellum_status status = 0;
    std::string message;
};

Outcome outcome_of(vellum_status status, const vellum_error &error) { return {status, error.message}; }

// Runs op(counting) with allocation k failing for k = 1, 2, ... and checks every run. op
// releases whatever the operation left to the caller before it returns, and disarms the
// allocator (fail_at(0)) before checks of its own that allocate. Returns how many
// runs failed, so each sweep can check that it really reached the allocating paths.
template <class Op>
size_t sweep(const char *what, Op op) {
    for (size_t k = 1; k < 5000; k++) {
        CountingAllocator counting;
        counting.fail_at(k);
        Outcome result = op(counting);
        EXPECT_EQ(counting.stats().bytes_in_use, 0u) << what << ": leak with allocation " << k << " failing";
        if (counting.failures() == 0) {
            EXPECT_TRUE(result.status == VELLUM_STATUS_OK || result.status == VELLUM_STATUS_TRUNCATED)
                << what << ": no failure injected but status " << result.status << " '" << result.message << "'";
            return k - 1;
        }
        EXPECT_EQ(result.status, VELLUM_STATUS_ALLOCATION_FAILED)
            << what << ": allocation " << k << " failed but got '" << result.message << "'";
        EXPECT_EQ(result.message.rfind("failed to ", 0), 0u)
            << what << ": allocation " << k << " message '" << result.message << "'";
        if (::testing::Test::HasFailure()) return k;
    }
    ADD_FAILURE() << what << ": never completed";
    return 0;
}

// ---- records -----------------------------------------------------------------------------

struct Tag {
    char *label;
    int64_t weight;
};
const vellum_field tag_fields[] = {
    VELLUM_FIELD_STRING(Tag, label, "label", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_I64(Tag, weight, "weight", 0),
};
const vellum_map tag_map = VELLUM_MAP(Tag, tag_fields);

const vellum_spool_options small_spool = {16, 0, nullptr};

struct Rich {
    char *name;
    vellum_array words;
    vellum_array numbers;
    vellum_object_array tags;
    vellum_spooled text;
    vellum_json_value raw;
};
const vellum_field rich_fields[] = {
    VELLUM_FIELD_STRING(Rich, name, "name", 0),
    VELLUM_FIELD_ARRAY(Rich, words, "words", VELLUM_KIND_STRING_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Rich, numbers, "numbers", VELLUM_KIND_F64_ARRAY, 0),
    VELLUM_FIELD_OBJECT_ARRAY(Rich, tags, "tags", Tag, &tag_map, 0),
    VELLUM_FIELD_SPOOLED(Rich, text, "text", VELLUM_KIND_SPOOLED_TEXT, &small_spool, 0),
    VELLUM_FIELD_OF_KIND(Rich, raw, "raw", VELLUM_KIND_JSON_VALUE, 0),
};
const vellum_map rich_map = VELLUM_MAP(Rich, rich_fields);

// Plain members only: what streams map element by element.
const vellum_field plain_fields[] = {
    VELLUM_FIELD_STRING(Rich, name, "name", 0),
    VELLUM_FIELD_ARRAY(Rich, words, "words", VELLUM_KIND_STRING_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Rich, numbers, "numbers", VELLUM_KIND_F64_ARRAY, 0),
    VELLUM_FIELD_OBJECT_ARRAY(Rich, tags, "tags", Tag, &tag_map, 0),
};
const vellum_map plain_map = VELLUM_MAP(Rich, plain_fields);

std::string rich_document(int items) {
    std::string words, numbers, tags;
    for (int i = 0; i < items; i++) {
        std::string n = std::to_string(i);
        words += (i ? "," : "") + std::string("\"word") + n + "\"";
        numbers += (i ? "," : "") + n + ".5";
        tags += (i ? "," : "") + std::string("{\"label\":\"tag number ") + n + "\",\"weight\":" + n + "}";
    }
    return "{\"name\":\"a name long enough to be allocated\",\"words\":[" + words + "],\"numbers\":[" + numbers +
           "],\"tags\":[" + tags + "],\"text\":\"spooled text that is longer than the prefix\",\"raw\":{\"k\":[1,\"two\",null]}}";
}

std::string plain_element(int i) {
    std::string n = std::to_string(i);
    return "{\"name\":\"element " + n + "\",\"words\":[\"a\",\"b" + n + "\"],\"tags\":[{\"label\":\"t" + n + "\"}]}";
}

vellum_status append_sink(void *user, const void *bytes, size_t len, vellum_error *) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(bytes), len);
    return 0;
}

// ---- parsing -----------------------------------------------------------------------------

TEST(AllocationFailure, ParseBufferIntoRecordsWithStringsArraysAndValues) {
    const std::string doc = rich_document(12);
    size_t failed = sweep("parse_buffer", [&](CountingAllocator &counting) {
        const vellum_allocator *allocator = counting.get();
        Rich rich{};
        vellum_init(&rich_map, &rich);
        vellum_json_value_enable_parse_capture(&rich.raw, nullptr);
        vellum_parse_options options = vellum_default_parse_options();
        options.allocator = allocator;
        vellum_error error;
        vellum_status status = vellum_parse_buffer(&rich_map, &rich, doc.data(), doc.size(), &options, &error);
        if (status == 0) {
            EXPECT_EQ(rich.tags.count, 12u);
            EXPECT_EQ(vellum_spooled_size(&rich.text), 43u);
            EXPECT_EQ(std::string(rich.raw.data, rich.raw.len), "{\"k\":[1,\"two\",null]}");
        }
        vellum_cleanup(&rich_map, &rich);
        return outcome_of(status, error);
    });
    EXPECT_GT(failed, 10u);
}

TEST(AllocationFailure, TransferAdapterParse) {
    const std::string doc = rich_document(5);
    size_t failed = sweep("curl parse", [&](CountingAllocator &counting) {
        const vellum_allocator *allocator = counting.get();
        Rich rich{};
        vellum_init(&plain_map, &rich);
        vellum_parse_options options = vellum_default_parse_options();
        options.allocator = allocator;
        vellum_curl_parse handle;
        vellum_status status = vellum_curl_parse_init(&handle, &plain_map, &rich, &options);
        for (size_t at = 0; status == 0 && at < doc.size(); at += 7) {
            size_t n = std::min<size_t>(7, doc.size() - at);
            if (vellum_curl_write_callback(doc.data() + at, 1, n, &handle) != n) break;
        }
        if (status == 0) status = vellum_curl_parse_finish(&handle);
        vellum_error error = handle.error;
        vellum_curl_parse_cleanup(&handle);
        vellum_cleanup(&plain_map, &rich);
        return outcome_of(status, error);
    });
    EXPECT_GT(failed, 5u);
}

// ---- streams -----------------------------------------------------------------------------

struct TextReader {
    std::string text;
    size_t at = 0;
    static vellum_read_result read(void *user, void *buffer, size_t capacity) {
        auto *self = static_cast<TextReader *>(user);
        size_t n = std::min<size_t>({capacity, 13, self->text.size() - self->at});
        std::memcpy(buffer, self->text.data() + self->at, n);
        self->at += n;
        vellum_read_result result{};
        result.bytes = n;
        result.eof = self->at == self->text.size();
        return result;
    }
};

TEST(AllocationFailure, ObjectStream) {
    std::string lines;
    for (int i = 0; i < 4; i++) lines += plain_element(i) + "\n";
    size_t failed = sweep("object stream", [&](CountingAllocator &counting) {
        const vellum_allocator *allocator = counting.get();
        vellum_parse_options options = vellum_default_parse_options();
        options.allocator = allocator;
        TextReader reader{lines};
        vellum_error error;
        vellum_stream *stream = vellum_stream_open_reader(&plain_map, TextReader::read, &reader, &options, &error);
        if (!stream) return outcome_of(error.code, error);
        Rich rich{};
        vellum_init(&plain_map, &rich);
        int result, objects = 0;
        while ((result = vellum_stream_next(stream, &rich, &error)) == VELLUM_STREAM_OBJECT) objects++;
        vellum_cleanup(&plain_map, &rich);
        vellum_stream_close(stream);
        if (result == VELLUM_STREAM_END) { EXPECT_EQ(objects, 4); }
        return result == VELLUM_STREAM_END ? Outcome{} : outcome_of(error.code, error);
    });
    EXPECT_GT(failed, 4u);
}

std::string element_array(int count) {
    std::string text = "{\"items\":[";
    for (int i = 0; i < count; i++) text += (i ? "," : "") + plain_element(i);
    return text + "],\"cursor\":\"next\"}";
}

TEST(AllocationFailure, ArrayStreamPushed) {
    const std::string doc = element_array(4);
    size_t failed = sweep("array stream push", [&](CountingAllocator &counting) {
        const vellum_allocator *allocator = counting.get();
        vellum_parse_options options = vellum_default_parse_options();
        options.allocator = allocator;
        vellum_error error;
        vellum_array_stream *stream = vellum_array_stream_open_push("items", &options, &error);
        if (!stream) return outcome_of(error.code, error);
        Rich rich{};
        vellum_init(&plain_map, &rich);
        int items = 0;
        auto count = [](void *user, void *) {
            ++*static_cast<int *>(user);
            return 0;
        };
        vellum_status status = 0;
        for (size_t at = 0; status == 0 && at < doc.size(); at += 9)
            status = vellum_array_stream_push(stream, &plain_map, &rich, doc.data() + at,
                                              std::min<size_t>(9, doc.size() - at), count, &items, &error);
        if (status == 0) status = vellum_array_stream_finish(stream, &plain_map, &rich, count, &items, &error);
        if (status == 0) { EXPECT_EQ(items, 4); }
        vellum_cleanup(&plain_map, &rich);
        vellum_array_stream_close(stream);
        return outcome_of(status, error);
    });
    EXPECT_GT(failed, 4u);
}

TEST(AllocationFailure, ArrayStreamPulledRecordsAndValues) {
    const std::string doc = element_array(3);
    for (bool values : {false, true}) {
        size_t failed = sweep(values ? "array stream next_value" : "array stream next", [&](CountingAllocator &counting) {
        const vellum_allocator *allocator = counting.get();
            vellum_parse_options options = vellum_default_parse_options();
            options.allocator = allocator;
            TextReader reader{doc};
            vellum_error error;
            vellum_array_stream *stream = vellum_array_stream_open_reader("items", TextReader::read, &reader, &options, &error);
            if (!stream) return outcome_of(error.code, error);
            Rich rich{};
            vellum_init(&plain_map, &rich);
            vellum_json_value value;
            vellum_json_value_init_with_allocator(&value, allocator);
            int result, items = 0;
            while ((result = values ? vellum_array_stream_next_value(stream, &value, &error)
                                    : vellum_array_stream_next(stream, &plain_map, &rich, &error)) == VELLUM_ARRAY_STREAM_ITEM)
                items++;
            vellum_json_value_cleanup(&value);
            vellum_cleanup(&plain_map, &rich);
            vellum_array_stream_close(stream);
            if (result == VELLUM_ARRAY_STREAM_END) { EXPECT_EQ(items, 3); }
            return result == VELLUM_ARRAY_STREAM_END ? Outcome{} : outcome_of(error.code, error);
        });
        EXPECT_GT(failed, 2u);
    }
}

// ---- output ------------------------------------------------------------------------------

// A record parsed with the default allocator, for the output sweeps.
struct Parsed {
    Rich rich{};
    Parsed() {
        vellum_init(&rich_map, &rich);
        vellum_json_value_enable_parse_capture(&rich.raw, nullptr);
        const std::string doc = rich_document(30);
        EXPECT_EQ(vellum_parse_buffer(&rich_map, &rich, doc.data(), doc.size(), nullptr, nullptr), 0);
    }
    ~Parsed() { vellum_cleanup(&rich_map, &rich); }
};

TEST(AllocationFailure, OwnedSerialization) {
    Parsed parsed;
    std::string expected;
    ASSERT_EQ(vellum_serialize_sink(&rich_map, &parsed.rich, append_sink, &expected, nullptr, nullptr), 0);
    for (int pretty : {0, 1}) {
        sweep("serialize_owned", [&](CountingAllocator &counting) {
        const vellum_allocator *allocator = counting.get();
            vellum_write_options options = vellum_default_write_options();
            options.allocator = allocator;
            options.pretty = pretty;
            vellum_owned_buffer buffer;
            vellum_error error;
            vellum_status status = vellum_serialize_owned(&rich_map, &parsed.rich, &buffer, &options, &error);
            if (status == 0 && !pretty) { EXPECT_EQ(std::string(buffer.data, buffer.length), expected); }
            if (status != 0) { EXPECT_EQ(buffer.data, nullptr); }
            vellum_owned_buffer_free(&buffer);
            return outcome_of(status, error);
        });
    }
    size_t failed = sweep("serialize_jsonl_owned", [&](CountingAllocator &counting) {
        const vellum_allocator *allocator = counting.get();
        vellum_write_options options = vellum_default_write_options();
        options.allocator = allocator;
        Rich items[3];
        for (Rich &item : items) item = parsed.rich;  // byte copies: read only
        vellum_owned_buffer buffer;
        vellum_error error;
        vellum_status status = vellum_serialize_jsonl_owned(&plain_map, items, 3, 0, &buffer, &options, &error);
        vellum_owned_buffer_free(&buffer);
        return outcome_of(status, error);
    });
    EXPECT_GT(failed, 0u);
}

TEST(AllocationFailure, Generator) {
    Parsed parsed;
    std::string expected;
    ASSERT_EQ(vellum_serialize_sink(&plain_map, &parsed.rich, append_sink, &expected, nullptr, nullptr), 0);
    size_t failed = sweep("generator", [&](CountingAllocator &counting) {
        const vellum_allocator *allocator = counting.get();
        vellum_write_options options = vellum_default_write_options();
        options.allocator = allocator;
        vellum_generator generator;
        vellum_status status = vellum_generator_init(&generator, &plain_map, &parsed.rich, &options);
        std::string out;
        char buffer[37];
        int eof = 0;
        while (status == 0 && !eof) {
            size_t length = 0;
            status = vellum_generator_read(&generator, buffer, sizeof buffer, &length, &eof);
            out.append(buffer, length);
        }
        if (status == 0) { EXPECT_EQ(out, expected); }
        vellum_error error = generator.error;
        vellum_generator_cleanup(&generator);
        return outcome_of(status, error);
    });
    EXPECT_GT(failed, 0u);
}

// ---- spooled and raw values --------------------------------------------------------------

TEST(AllocationFailure, SpooledValues) {
    const std::string text(300, 's');
    size_t failed = sweep("spooled append", [&](CountingAllocator &counting) {
        const vellum_allocator *allocator = counting.get();
        vellum_spool_options options = vellum_default_spool_options();
        options.memory_limit = 100;
        vellum_spooled spooled;
        std::memset(&spooled, 0, sizeof spooled);
        vellum_spooled_init_with_allocator(&spooled, &options, allocator);
        vellum_error error;
        vellum_error_init(&error);
        vellum_status status = 0;
        for (size_t at = 0; status == 0 && at < text.size(); at += 10)
            status = vellum_spooled_append(&spooled, text.data() + at, 10, &error);
        if (status == 0) {
            std::string back;
            EXPECT_EQ(vellum_spooled_write_to_sink(&spooled, append_sink, &back, nullptr), 0);
            EXPECT_EQ(back, text);
        }
        vellum_spooled_cleanup(&spooled);
        return outcome_of(status, error);
    });
    EXPECT_GT(failed, 0u);
}

TEST(AllocationFailure, RawJsonValues) {
    const std::string json = "{ \"a\" : [ 1 , 2.5e3 , \"x\" ] , \"b\" : { \"c\" : null } }";
    size_t failed = sweep("json value set_buffer", [&](CountingAllocator &counting) {
        const vellum_allocator *allocator = counting.get();
        vellum_json_value value;
        std::memset(&value, 0, sizeof value);
        vellum_json_value_init_with_allocator(&value, allocator);
        vellum_error error;
        vellum_status status = vellum_json_value_set_buffer(&value, json.data(), json.size(), &error);
        if (status == 0) {
            counting.fail_at(0);
            std::string out;
            EXPECT_EQ(vellum_json_value_write_to_sink(&value, append_sink, &out, nullptr), 0);
            EXPECT_EQ(out, "{\"a\":[1,2.5e3,\"x\"],\"b\":{\"c\":null}}");
        }
        vellum_json_value_cleanup(&value);
        return outcome_of(status, error);
    });
    EXPECT_GT(failed, 0u);

    // Capture while parsing: the value's allocator grows the captured text.
    struct Holder {
        vellum_json_value v;
    };
    static const vellum_field holder_fields[] = {VELLUM_FIELD_OF_KIND(Holder, v, "v", VELLUM_KIND_JSON_VALUE, 0)};
    static const vellum_map holder_map = VELLUM_MAP(Holder, holder_fields);
    std::string long_value = "[";
    for (int i = 0; i < 200; i++) long_value += (i ? ",\"" : "\"") + std::to_string(i) + "\"";
    const std::string doc = "{\"v\":" + long_value + "]}";
    failed = sweep("json value capture", [&](CountingAllocator &counting) {
        const vellum_allocator *allocator = counting.get();
        Holder holder;
        std::memset(&holder, 0, sizeof holder);
        vellum_json_value_init_with_allocator(&holder.v, allocator);
        vellum_json_value_enable_parse_capture(&holder.v, nullptr);
        vellum_parse_options options = vellum_default_parse_options();
        options.allocator = allocator;
        vellum_error error;
        vellum_status status = vellum_parse_buffer(&holder_map, &holder, doc.data(), doc.size(), &options, &error);
        if (status == 0) { EXPECT_EQ(std::string(holder.v.data, holder.v.len), long_value + "]"); }
        vellum_cleanup(&holder_map, &holder);
        return outcome_of(status, error);
    });
    EXPECT_GT(failed, 0u);
}

// ---- push parsers ------------------------------------------------------------------------

TEST(AllocationFailure, SsePlainAndJson) {
    std::string events;
    for (int i = 0; i < 5; i++)
        events += "event: update\nid: " + std::string(40, 'i') + std::to_string(i) + "\ndata: " + plain_element(i) + "\n\n";
    for (bool json : {false, true}) {
        size_t failed = sweep(json ? "sse json" : "sse plain", [&](CountingAllocator &counting) {
        const vellum_allocator *allocator = counting.get();
            vellum_sse_options options;
            vellum_default_sse_options(&options);
            options.allocator = allocator;
            vellum_error error;
            vellum_sse *parser = vellum_sse_open(&options, &error);
            if (!parser) return outcome_of(error.code, error);
            Rich rich{};
            vellum_init(&plain_map, &rich);
            int seen = 0;
            vellum_sse_callbacks callbacks{};
            callbacks.end_event = [](void *user, const vellum_sse_event *, vellum_error *) {
                ++*static_cast<int *>(user);
                return 0;
            };
            auto on_json = [](void *user, const vellum_sse_event *, void *, vellum_error *) {
                ++*static_cast<int *>(user);
                return 0;
            };
            vellum_parse_options parse_options = vellum_default_parse_options();
            parse_options.allocator = allocator;
            vellum_sse_json_options json_options = {nullptr, 0, &parse_options};
            vellum_status status = 0;
            for (size_t at = 0; status == 0 && at < events.size(); at += 11) {
                size_t n = std::min<size_t>(11, events.size() - at);
                status = json ? vellum_sse_push_json(parser, &plain_map, &rich, events.data() + at, n, &json_options,
                                                     on_json, &seen, &error)
                              : vellum_sse_push(parser, events.data() + at, n, &callbacks, &seen, &error);
            }
            if (status == 0)
                status = json ? vellum_sse_finish_json(parser, &plain_map, &rich, &json_options, on_json, &seen, &error)
                              : vellum_sse_finish(parser, &callbacks, &seen, &error);
            if (status == 0) { EXPECT_EQ(seen, 5); }
            vellum_cleanup(&plain_map, &rich);
            vellum_sse_close(parser);
            return outcome_of(status, error);
        });
        EXPECT_GT(failed, 1u);
    }
}

TEST(AllocationFailure, Multipart) {
    std::string body;
    for (int i = 0; i < 4; i++) {
        body += "--b0undary\r\nContent-Type: application/json\r\nContent-Disposition: form-data; name=\"part" +
                std::to_string(i) + "\"\r\nX-Long: " + std::string(100, 'h') + "\r\n\r\n" + plain_element(i) + "\r\n";
    }
    body += "--b0undary--\r\n";
    size_t failed = sweep("multipart", [&](CountingAllocator &counting) {
        const vellum_allocator *allocator = counting.get();
        vellum_multipart_options options;
        vellum_default_multipart_options(&options);
        options.allocator = allocator;
        vellum_error error;
        vellum_multipart *parser = vellum_multipart_open("multipart/related; boundary=b0undary", &options, &error);
        if (!parser) return outcome_of(error.code, error);
        int parts = 0;
        vellum_multipart_callbacks callbacks{};
        callbacks.end_part = [](void *user, const vellum_multipart_part *, vellum_error *) {
            ++*static_cast<int *>(user);
            return 0;
        };
        vellum_status status = 0;
        for (size_t at = 0; status == 0 && at < body.size(); at += 17)
            status = vellum_multipart_push(parser, body.data() + at, std::min<size_t>(17, body.size() - at), &callbacks,
                                           &parts, &error);
        if (status == 0) status = vellum_multipart_finish(parser, &callbacks, &parts, &error);
        if (status == 0) { EXPECT_EQ(parts, 4); }
        vellum_multipart_close(parser);
        return outcome_of(status, error);
    });
    EXPECT_GT(failed, 0u);
}

}  // namespace
