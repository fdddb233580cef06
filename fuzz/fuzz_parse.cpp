// Mapped parse into a record with every field kind, and validation: the input fed whole, by a
// reader in splits, and through the transfer adapter in splits must give the same status,
// message, position and record.
#include "fuzz_record.h"

using namespace korvo::fuzz;

namespace {

struct Run {
    std::string result, record, stream;
};

Run finish_run(vellum_status status, const vellum_error &error, Doc &doc, const StreamTrace &trace) {
    Run run{outcome(status, error), render(doc), trace.text};
    vellum_cleanup(&doc_parse_map, &doc);
    return run;
}

Run parse_whole(const uint8_t *data, size_t size, const vellum_parse_options &options) {
    Doc doc;
    StreamTrace trace;
    prepare(doc, trace);
    vellum_error error;
    vellum_status status = vellum_parse_buffer(&doc_parse_map, &doc, data, size, &options, &error);
    return finish_run(status, error, doc, trace);
}

Run parse_split(const uint8_t *data, size_t size, const vellum_parse_options &options) {
    Doc doc;
    StreamTrace trace;
    prepare(doc, trace);
    SplitReader reader{{reinterpret_cast<const char *>(data), size}, split_sizes(data, size, 1)};
    vellum_error error;
    vellum_status status = vellum_parse_reader(&doc_parse_map, &doc, SplitReader::read, &reader, &options, &error);
    return finish_run(status, error, doc, trace);
}

Run parse_adapter(const uint8_t *data, size_t size, const vellum_parse_options &options) {
    Doc doc;
    StreamTrace trace;
    prepare(doc, trace);
    vellum_curl_parse handle;
    vellum_status status = vellum_curl_parse_init(&handle, &doc_parse_map, &doc, &options);
    if (status == 0) {
        size_t at = 0;
        for (size_t n : split_sizes(data, size, 2)) {
            size_t taken = vellum_curl_write_callback(data + at, 1, n, &handle);
            at += n;
            if (taken != n) break;
        }
        status = vellum_curl_parse_finish(&handle);
    }
    vellum_error error = handle.error;
    vellum_curl_parse_cleanup(&handle);
    return finish_run(status, error, doc, trace);
}

void check_same(const char *what, const Run &a, const Run &b) {
    expect_same(std::string(what) + " status", a.result, b.result);
    expect_same(std::string(what) + " record", a.record, b.record);
    expect_same(std::string(what) + " stream items", a.stream, b.stream);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    vellum_parse_options options = options_for(data, size);
    Run whole = parse_whole(data, size, options);
    check_same("reader splits", whole, parse_split(data, size, options));
    check_same("adapter splits", whole, parse_adapter(data, size, options));

    vellum_error whole_error, split_error;
    vellum_status whole_status = vellum_validate_buffer(data, size, &whole_error);
    SplitReader reader{{reinterpret_cast<const char *>(data), size}, split_sizes(data, size, 3)};
    vellum_status split_status = vellum_validate_reader(SplitReader::read, &reader, &split_error);
    expect_same("validate splits", outcome(whole_status, whole_error), outcome(split_status, split_error));
    // A document that maps cleanly is valid JSON.
    if (whole.result.rfind("status 0 ", 0) == 0) expect(whole_status == 0, "mapped parse accepted invalid JSON");
    return 0;
}
