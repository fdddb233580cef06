// Server-sent events: the events (names, ids, retry, data) and the outcome of a stream pushed
// whole and pushed in splits must agree, in the plain mode and in the JSON mode.
#include "fuzz_record.h"

using namespace korvo::fuzz;

namespace {

struct Plain {
    std::string trace, data;
    bool open = false;
    static int begin(void *user, const vellum_sse_event *, vellum_error *) {
        auto *self = static_cast<Plain *>(user);
        expect(!self->open, "SSE event begun twice");
        self->open = true;
        self->data.clear();
        return 0;
    }
    static int chunk(void *user, const char *data, size_t len, vellum_error *) {
        auto *self = static_cast<Plain *>(user);
        expect(self->open, "SSE data outside an event");
        self->data.append(data, len);
        return 0;
    }
    static int end(void *user, const vellum_sse_event *event, vellum_error *) {
        auto *self = static_cast<Plain *>(user);
        expect(self->open, "SSE event ended without beginning");
        expect(event->data_bytes == self->data.size(), "SSE data_bytes differs from the data delivered");
        self->open = false;
        self->trace += std::string(event->event) + "|" + (event->id ? event->id : "<none>") + "|" +
                       (event->has_retry ? std::to_string(event->retry) : "-") + "|" + self->data + "\n";
        return 0;
    }
};
const vellum_sse_callbacks kPlain = {Plain::begin, Plain::chunk, Plain::end};

const vellum_sse_options kOptions = {256, 2048, 64, nullptr};

std::string plain(const uint8_t *data, size_t size, uint64_t salt) {
    vellum_error error;
    vellum_sse *parser = vellum_sse_open(&kOptions, &error);
    expect(parser != nullptr, "SSE parser did not open");
    Plain plain;
    std::vector<size_t> pieces = salt ? split_sizes(data, size, salt) : std::vector<size_t>{size};
    vellum_status status = 0;
    size_t at = 0;
    for (size_t n : pieces) {
        status = vellum_sse_push(parser, reinterpret_cast<const char *>(data) + at, n, &kPlain, &plain, &error);
        at += n;
        if (!succeeded(status)) break;
    }
    if (succeeded(status)) status = vellum_sse_finish(parser, &kPlain, &plain, &error);
    vellum_sse_close(parser);
    return plain.trace + outcome(status, error);
}

int json_event(void *user, const vellum_sse_event *event, void *destination, vellum_error *) {
    *static_cast<std::string *>(user) += std::string(event->event) + "|" + (event->id ? event->id : "<none>") + "|" +
                                         render(*static_cast<Doc *>(destination), 0, &doc_plain_map) + "\n";
    return 0;
}

std::string json(const uint8_t *data, size_t size, uint64_t salt) {
    vellum_error error;
    vellum_sse *parser = vellum_sse_open(&kOptions, &error);
    expect(parser != nullptr, "SSE parser did not open");
    Doc doc;
    std::memset(&doc, 0, sizeof doc);
    vellum_init(&doc_plain_map, &doc);
    std::string trace;
    static const char *const names[] = {"", "message", "update"};
    vellum_sse_json_options json_options = {names, 3, nullptr};
    std::vector<size_t> pieces = salt ? split_sizes(data, size, salt) : std::vector<size_t>{size};
    vellum_status status = 0;
    size_t at = 0;
    for (size_t n : pieces) {
        status = vellum_sse_push_json(parser, &doc_plain_map, &doc, reinterpret_cast<const char *>(data) + at, n,
                                      &json_options, json_event, &trace, &error);
        at += n;
        if (!succeeded(status)) break;
    }
    if (succeeded(status))
        status = vellum_sse_finish_json(parser, &doc_plain_map, &doc, &json_options, json_event, &trace, &error);
    vellum_cleanup(&doc_plain_map, &doc);
    vellum_sse_close(parser);
    return trace + outcome(status, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    std::string whole = plain(data, size, 0);
    expect_same("SSE plain splits", whole, plain(data, size, 51));
    expect_same("SSE plain second splits", whole, plain(data, size, 52));
    expect_same("SSE JSON splits", json(data, size, 0), json(data, size, 53));
    return 0;
}
