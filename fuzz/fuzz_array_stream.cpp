// Array stream: the elements of a root array and of the array under "items", pulled from a
// reader in splits (mapped and as raw values) and pushed whole or in splits, must be the same
// elements with the same outcome; string elements whole and in chunks must agree.
#include "fuzz_record.h"

using namespace korvo::fuzz;

namespace {

std::string error_text(const vellum_error *e) {
    return e ? outcome(e->code, *e) : std::string("no error record");
}

std::string pull(const char *path, const uint8_t *data, size_t size, uint64_t salt, bool values) {
    SplitReader reader{{reinterpret_cast<const char *>(data), size},
                       salt ? split_sizes(data, size, salt) : std::vector<size_t>{}};
    reader.empty_is_would_block = true;
    vellum_error error;
    vellum_array_stream *stream = vellum_array_stream_open_reader(path, SplitReader::read, &reader, nullptr, &error);
    if (!stream) return "open failed " + outcome(error.code, error);
    Doc doc;
    std::memset(&doc, 0, sizeof doc);
    vellum_init(&doc_plain_map, &doc);
    vellum_json_value value;
    vellum_json_value_init(&value);
    std::string trace;
    int result = VELLUM_ARRAY_STREAM_ITEM;
    for (size_t guard = 0; guard < 4 * size + 64; guard++) {
        result = values ? vellum_array_stream_next_value(stream, &value, &error)
                        : vellum_array_stream_next(stream, &doc_plain_map, &doc, &error);
        if (result == VELLUM_ARRAY_STREAM_WOULD_BLOCK) continue;
        if (result != VELLUM_ARRAY_STREAM_ITEM) break;
        if (values) {
            std::string text;
            vellum_sink_fn sink = [](void *user, const void *bytes, size_t len, vellum_error *) -> vellum_status {
                static_cast<std::string *>(user)->append(static_cast<const char *>(bytes), len);
                return 0;
            };
            vellum_error write_error;
            vellum_status status = vellum_json_value_write_to_sink(&value, sink, &text, &write_error);
            expect(status == 0, "captured element does not write: " + outcome(status, write_error));
            trace += text + "\n";
        } else {
            trace += render(doc, 0, &doc_plain_map) + "\n";
        }
    }
    expect(result != VELLUM_ARRAY_STREAM_WOULD_BLOCK, "array stream kept blocking");
    trace += "end " + std::to_string(result) + " " + (result == VELLUM_ARRAY_STREAM_ERROR ? error_text(&error) : "");
    vellum_json_value_cleanup(&value);
    vellum_cleanup(&doc_plain_map, &doc);
    vellum_array_stream_close(stream);
    return trace;
}

struct Pushed {
    std::string trace;
    static int item(void *user, void *destination) {
        static_cast<Pushed *>(user)->trace += render(*static_cast<Doc *>(destination), 0, &doc_plain_map) + "\n";
        return 0;
    }
};

std::string push(const char *path, const uint8_t *data, size_t size, uint64_t salt) {
    vellum_error error;
    vellum_array_stream *stream = vellum_array_stream_open_push(path, nullptr, &error);
    if (!stream) return "open failed " + outcome(error.code, error);
    Doc doc;
    std::memset(&doc, 0, sizeof doc);
    vellum_init(&doc_plain_map, &doc);
    Pushed pushed;
    std::vector<size_t> pieces = salt ? split_sizes(data, size, salt) : std::vector<size_t>{size};
    vellum_status status = 0;
    size_t at = 0;
    for (size_t n : pieces) {
        status = vellum_array_stream_push(stream, &doc_plain_map, &doc, data + at, n, Pushed::item, &pushed, &error);
        at += n;
        if (!succeeded(status)) break;
    }
    if (succeeded(status))
        status = vellum_array_stream_finish(stream, &doc_plain_map, &doc, Pushed::item, &pushed, &error);
    int result = succeeded(status) ? VELLUM_ARRAY_STREAM_END : VELLUM_ARRAY_STREAM_ERROR;
    std::string trace = pushed.trace + "end " + std::to_string(result) + " " +
                        (result == VELLUM_ARRAY_STREAM_ERROR ? error_text(&error) : "");
    vellum_cleanup(&doc_plain_map, &doc);
    vellum_array_stream_close(stream);
    return trace;
}

// Only completed items count: chunks of an item cut short by an error are dropped.
struct Strings {
    std::string trace, pending;
    static int whole(void *user, const char *text, size_t len, vellum_error *) {
        expect(text[len] == '\0', "whole string item is not NUL-terminated");
        static_cast<Strings *>(user)->trace += "<" + std::string(text, len) + ">";
        return 0;
    }
    static int begin(void *user, vellum_error *) {
        static_cast<Strings *>(user)->pending.clear();
        return 0;
    }
    static int chunk(void *user, const char *data, size_t len, vellum_error *) {
        static_cast<Strings *>(user)->pending.append(data, len);
        return 0;
    }
    static int end(void *user, vellum_error *) {
        auto *self = static_cast<Strings *>(user);
        self->trace += "<" + self->pending + ">";
        return 0;
    }
};

std::string push_strings(const char *path, const uint8_t *data, size_t size, uint64_t salt, bool whole_items) {
    vellum_error error;
    vellum_array_stream *stream = vellum_array_stream_open_push(path, nullptr, &error);
    if (!stream) return "open failed";
    static const vellum_string_chunk_handler handler = {Strings::begin, Strings::chunk, Strings::end};
    Strings strings;
    vellum_status status = 0;
    size_t at = 0;
    for (size_t n : split_sizes(data, size, salt)) {
        status = whole_items ? vellum_array_stream_push_string_items(stream, data + at, n, Strings::whole, &strings, &error)
                             : vellum_array_stream_push_string(stream, data + at, n, &handler, &strings, &error);
        at += n;
        if (!succeeded(status)) break;
    }
    if (succeeded(status))
        status = whole_items ? vellum_array_stream_finish_string_items(stream, Strings::whole, &strings, &error)
                             : vellum_array_stream_finish_string(stream, &handler, &strings, &error);
    vellum_array_stream_close(stream);
    return strings.trace + "\n" + outcome(status, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    for (const char *path : {"", "items"}) {
        std::string label = std::string("path '") + path + "' ";
        std::string whole = push(path, data, size, 0);
        expect_same(label + "push splits", whole, push(path, data, size, 21));
        expect_same(label + "pull splits", whole, pull(path, data, size, 22, false));
        expect_same(label + "raw values whole vs split", pull(path, data, size, 0, true), pull(path, data, size, 23, true));
        expect_same(label + "string items vs chunks", push_strings(path, data, size, 24, true),
                    push_strings(path, data, size, 25, false));
    }
    return 0;
}
