// Raw JSON values: a value set from text re-emits compact text that validates and sets again
// to the same bytes; a value captured while parsing is the same whole and split, equals what
// the parse sink streams, validates, and captures again to the same bytes.
#include "fuzz_common.h"

#include <cstring>

using namespace korvo::fuzz;

namespace {

struct Holder {
    vellum_json_value v;
};
const vellum_field holder_fields[] = {VELLUM_FIELD_OF_KIND(Holder, v, "v", VELLUM_KIND_JSON_VALUE, 0)};
const vellum_map holder_map = VELLUM_MAP(Holder, holder_fields);

vellum_status append_sink(void *user, const void *bytes, size_t len, vellum_error *) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(bytes), len);
    return 0;
}

std::string emit(const vellum_json_value &value) {
    std::string text;
    vellum_error error;
    vellum_status status = vellum_json_value_write_to_sink(&value, append_sink, &text, &error);
    expect(status == 0, "a set value does not write: " + outcome(status, error));
    return text;
}

// Sets a value from text; returns whether that succeeded and the re-emitted text.
bool set_and_emit(const std::string &text, std::string &out) {
    vellum_json_value value;
    vellum_json_value_init(&value);
    vellum_error error;
    bool ok = vellum_json_value_set_buffer(&value, text.data(), text.size(), &error) == 0;
    if (ok) out = emit(value);
    vellum_json_value_cleanup(&value);
    return ok;
}

enum class Mode { capture, sink };

// Parses {"v":<text>} with the member capturing (or streaming to a sink); returns the
// outcome and fills captured with the value's text on success.
std::string parse_member(const std::string &document, Mode mode, uint64_t salt, std::string &captured) {
    Holder holder;
    std::memset(&holder, 0, sizeof holder);
    vellum_init(&holder_map, &holder);
    std::string streamed;
    if (mode == Mode::capture) {
        vellum_json_value_enable_parse_capture(&holder.v, nullptr);
    } else {
        vellum_json_value_set_parse_sink(&holder.v, append_sink, &streamed, nullptr);
    }
    vellum_error error;
    vellum_status status;
    if (salt == 0) {
        status = vellum_parse_buffer(&holder_map, &holder, document.data(), document.size(), nullptr, &error);
    } else {
        auto *bytes = reinterpret_cast<const uint8_t *>(document.data());
        SplitReader reader{document, split_sizes(bytes, document.size(), salt)};
        status = vellum_parse_reader(&holder_map, &holder, SplitReader::read, &reader, nullptr, &error);
    }
    if (succeeded(status)) captured = mode == Mode::capture ? emit(holder.v) : streamed;
    vellum_cleanup(&holder_map, &holder);
    return outcome(status, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    std::string input(reinterpret_cast<const char *>(data), size);

    std::string emitted;
    if (set_and_emit(input, emitted)) {
        // Setting a value applies no depth limit; validation does.
        vellum_error error;
        vellum_status status = vellum_validate_buffer(emitted.data(), emitted.size(), &error);
        expect(status == 0 || (status == VELLUM_STATUS_OVERFLOW &&
                               std::strcmp(error.message, "maximum nesting depth exceeded") == 0),
               "re-emitted value does not validate: " + emitted + " " + outcome(status, error));
        std::string again;
        expect(set_and_emit(emitted, again), "re-emitted value is refused: " + emitted);
        expect_same("value set from its own output", emitted, again);
    }

    std::string document = "{\"v\":" + input + "}";
    std::string whole, split, streamed;
    std::string result = parse_member(document, Mode::capture, 0, whole);
    expect_same("capture whole vs split", result, parse_member(document, Mode::capture, 41, split));
    expect_same("captured text whole vs split", whole, split);
    if (result.rfind("status 0 ", 0) == 0) {
        expect_same("capture vs parse sink", result, parse_member(document, Mode::sink, 42, streamed));
        expect_same("captured vs streamed text", whole, streamed);
        expect(vellum_validate_buffer(whole.data(), whole.size(), nullptr) == 0, "captured value does not validate: " + whole);
        std::string recaptured;
        std::string again = parse_member("{\"v\":" + whole + "}", Mode::capture, 0, recaptured);
        expect(again.rfind("status 0 ", 0) == 0, "captured text does not parse again: " + again);
        expect_same("value captured from its own capture", whole, recaptured);
        std::string set_text;
        expect(set_and_emit(whole, set_text), "captured text is refused as a buffer: " + whole);
        expect_same("captured text set as a buffer", whole, set_text);
    }
    return 0;
}
