// Multipart bodies: the first input line is the Content-Type value, the rest the body. The
// parts (headers, data, order) and the outcome must be the same pushed whole and in splits.
#include "fuzz_common.h"

using namespace korvo::fuzz;

namespace {

struct Trace {
    std::string text;
    bool in_part = false, data_open = false;
    size_t part_start = 0;
    static std::string describe(const vellum_multipart_part *p) {
        std::string s = std::string("name=") + (p->name ? p->name : "<null>") +
                        " type=" + (p->content_type ? p->content_type : "<null>") +
                        " len=" + std::to_string(p->content_length);
        for (size_t i = 0; i < p->header_count; i++) s += std::string(" [") + p->headers[i].name + "=" + p->headers[i].value + "]";
        return s;
    }
    static int begin(void *user, const vellum_multipart_part *part, vellum_error *) {
        auto *self = static_cast<Trace *>(user);
        expect(!self->in_part, "multipart part begun twice");
        self->in_part = true;
        self->data_open = false;
        self->part_start = self->text.size();
        self->text += "B " + describe(part) + "\n";
        return 0;
    }
    static int data(void *user, const void *bytes, size_t len, vellum_error *) {
        auto *self = static_cast<Trace *>(user);
        expect(self->in_part, "multipart data outside a part");
        expect(len > 0, "empty multipart data chunk");
        if (!self->data_open) self->text += "D:";
        self->data_open = true;
        self->text.append(static_cast<const char *>(bytes), len);
        return 0;
    }
    static int end(void *user, const vellum_multipart_part *part, vellum_error *) {
        auto *self = static_cast<Trace *>(user);
        expect(self->in_part, "multipart part ended without beginning");
        self->in_part = false;
        self->text += std::string(self->data_open ? "\n" : "") + "E " + describe(part) + "\n";
        self->data_open = false;
        return 0;
    }
};
const vellum_multipart_callbacks kCallbacks = {Trace::begin, Trace::data, Trace::end};

std::string run(const std::string &content_type, const uint8_t *body, size_t size, uint64_t salt) {
    vellum_multipart_options options;
    vellum_default_multipart_options(&options);
    options.max_line_bytes = 512;
    options.max_headers = 8;
    options.max_body_buffer_bytes = 1024;
    vellum_error error;
    vellum_multipart *parser = vellum_multipart_open(content_type.c_str(), &options, &error);
    if (!parser) return "open failed " + outcome(error.code, error);
    Trace trace;
    std::vector<size_t> pieces = salt ? split_sizes(body, size, salt) : std::vector<size_t>{size};
    vellum_status status = 0;
    size_t at = 0;
    for (size_t n : pieces) {
        status = vellum_multipart_push(parser, body + at, n, &kCallbacks, &trace, &error);
        at += n;
        if (!succeeded(status)) break;
    }
    if (succeeded(status)) status = vellum_multipart_finish(parser, &kCallbacks, &trace, &error);
    vellum_multipart_close(parser);
    // Data delivered before a failure depends on where the input was cut: keep whole parts.
    if (!succeeded(status) && trace.in_part) trace.text.erase(trace.part_start);
    return trace.text + outcome(status, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    const uint8_t *newline = static_cast<const uint8_t *>(std::memchr(data, '\n', size));
    if (!newline) return 0;
    std::string content_type(reinterpret_cast<const char *>(data), newline - data);
    if (content_type.find('\0') != std::string::npos) return 0;
    const uint8_t *body = newline + 1;
    size_t body_size = size - (body - data);
    std::string whole = run(content_type, body, body_size, 0);
    expect_same("multipart splits", whole, run(content_type, body, body_size, 61));
    expect_same("multipart second splits", whole, run(content_type, body, body_size, 62));
    return 0;
}
