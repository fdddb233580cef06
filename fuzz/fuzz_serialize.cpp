// Serializer against generator on records parsed from the input: owned, fixed-buffer, sink
// and pulled output must be the same bytes, measure must give their length, and the output
// must parse back into a record that writes the same bytes again (compact and pretty).
#include "fuzz_record.h"

using namespace korvo::fuzz;

namespace {

std::string generate(const Doc &doc, int pretty, const uint8_t *data, size_t size) {
    vellum_write_options options = vellum_default_write_options();
    options.pretty = pretty;
    vellum_generator generator;
    vellum_status status = vellum_generator_init(&generator, &doc_write_map, &doc, &options);
    expect(status == 0, "generator init failed: " + outcome(status, generator.error));
    std::string out;
    std::vector<size_t> capacities = split_sizes(data, size, 71 + pretty, false);
    char buffer[1100];
    int eof = 0;
    for (size_t call = 0; !eof; call++) {
        size_t capacity = capacities.empty() ? 512 : capacities[call % capacities.size()];
        size_t length = 0;
        status = vellum_generator_read(&generator, buffer, capacity, &length, &eof);
        if (status != 0) break;
        expect(length <= capacity, "generator wrote past the capacity");
        expect(length == capacity || eof, "generator returned a short read before the end");
        out.append(buffer, length);
        expect(call < 4 * out.size() + 64, "generator makes no progress");
    }
    std::string result = status == 0 ? out : outcome(status, generator.error);
    vellum_generator_cleanup(&generator);
    return result;
}

vellum_status append_sink(void *user, const void *bytes, size_t len, vellum_error *) {
    expect(len > 0, "serializer sink got an empty fragment");
    static_cast<std::string *>(user)->append(static_cast<const char *>(bytes), len);
    return 0;
}

void check_outputs(const Doc &doc, const std::string &compact, const uint8_t *data, size_t size) {
    std::string generated = generate(doc, 0, data, size);
    expect_same("generator vs serializer", compact, generated);
    size_t measured = 0;
    vellum_error error;
    vellum_status status = vellum_generator_measure(&doc_write_map, &doc, &measured, nullptr, &error);
    expect(status == 0 && measured == compact.size(), "measure disagrees: " + outcome(status, error) + " " +
                                                          std::to_string(measured) + " vs " + std::to_string(compact.size()));
    std::string sunk;
    status = vellum_serialize_sink(&doc_write_map, &doc, append_sink, &sunk, nullptr, &error);
    expect(status == 0, "sink serialization failed: " + outcome(status, error));
    expect_same("sink vs owned", compact, sunk);

    std::vector<char> buffer(compact.size() + 1);
    size_t length = 0;
    status = vellum_serialize_buffer(&doc_write_map, &doc, buffer.data(), buffer.size(), &length, nullptr, &error);
    expect(status == 0 && length == compact.size(), "exact buffer failed: " + outcome(status, error));
    expect_same("buffer vs owned", compact, std::string(buffer.data(), length));
    if (compact.size() > 1) {
        vellum_write_options truncate = vellum_default_write_options();
        truncate.overflow = VELLUM_OVERFLOW_TRUNCATE;
        size_t cut = compact.size() / 2 + 1;
        status = vellum_serialize_buffer(&doc_write_map, &doc, buffer.data(), cut, &length, &truncate, &error);
        expect(status == VELLUM_STATUS_TRUNCATED, "short buffer did not truncate: " + outcome(status, error));
        expect_same("truncated prefix", compact.substr(0, cut - 1), std::string(buffer.data()));
        status = vellum_serialize_buffer(&doc_write_map, &doc, buffer.data(), cut, &length, nullptr, &error);
        expect(status == VELLUM_STATUS_OVERFLOW, "short buffer did not overflow: " + outcome(status, error));
    }
}

// Parses text into a fresh record; returns the outcome and the record's compact output.
std::string parse_and_render(const std::string &text, std::string &rendered, int pretty = 0) {
    Doc doc;
    StreamTrace trace;
    prepare(doc, trace);
    vellum_error error;
    vellum_status status = vellum_parse_buffer(&doc_parse_map, &doc, text.data(), text.size(), nullptr, &error);
    rendered = render(doc, pretty);
    vellum_cleanup(&doc_parse_map, &doc);
    return outcome(status, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    Doc doc;
    StreamTrace trace;
    prepare(doc, trace);
    vellum_status status = vellum_parse_buffer(&doc_parse_map, &doc, data, size, nullptr, nullptr);
    if (!succeeded(status)) {
        vellum_cleanup(&doc_parse_map, &doc);
        return 0;
    }
    std::string compact = render(doc);
    if (compact.rfind("status ", 0) == 0) {  // the record cannot be written (a non-finite double)
        expect_same("generator on a record the serializer refuses", compact.substr(0, 8),
                    generate(doc, 0, data, size).substr(0, 8));
        vellum_cleanup(&doc_parse_map, &doc);
        return 0;
    }
    check_outputs(doc, compact, data, size);
    std::string pretty = render(doc, 1);
    std::string generated = generate(doc, 1, data, size);
    expect_same("pretty generator vs serializer", pretty, generated);
    vellum_cleanup(&doc_parse_map, &doc);

    std::string again, from_pretty;
    std::string result = parse_and_render(compact, again);
    expect(result.rfind("status 0 ", 0) == 0 || result.rfind("status 7 ", 0) == 0,
           "serialized record does not parse back: " + result + "\n" + compact);
    expect_same("parse -> serialize -> parse", compact, again);
    parse_and_render(pretty, from_pretty);
    expect_same("pretty output parses to the same record", compact, from_pretty);
    return 0;
}
