// The serializer: layout (compact, pretty, JSON Lines), value forms, omission, every
// destination (sink, fixed buffer policies, owned, alloc, FILE, path) agreeing byte for byte.
#include "fixtures.h"
#include "vellum.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using korvo::testing::CountingAllocator;
using korvo::testing::TempDir;

// ---- helpers -------------------------------------------------------------------------------------

struct Collected {
    std::string text;
    std::vector<size_t> pieces;
};

vellum_status collect(void *user, const void *data, size_t length, vellum_error *) {
    auto *out = static_cast<Collected *>(user);
    out->text.append(static_cast<const char *>(data), length);
    out->pieces.push_back(length);
    return VELLUM_STATUS_OK;
}

vellum_write_options pretty_options() {
    vellum_write_options options = vellum_default_write_options();
    options.pretty = 1;
    return options;
}

// Serializes through the sink entry point; fails the test on a non-OK status.
std::string to_json(const vellum_map *map, const void *record, const vellum_write_options *options = nullptr) {
    Collected out;
    vellum_error error;
    vellum_status status = vellum_serialize_sink(map, record, collect, &out, options, &error);
    EXPECT_EQ(status, VELLUM_STATUS_OK) << error.message;
    for (size_t piece : out.pieces) EXPECT_GT(piece, 0u);
    return out.text;
}

std::string base64_decode(const std::string &text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    EXPECT_EQ(text.size() % 4, 0u);
    for (size_t i = 0; i + 4 <= text.size(); i += 4) {
        int a = value(text[i]), b = value(text[i + 1]);
        EXPECT_GE(a, 0);
        EXPECT_GE(b, 0);
        out += static_cast<char>((a << 2) | (b >> 4));
        if (text[i + 2] == '=') {
            EXPECT_EQ(text[i + 3], '=');
            EXPECT_EQ(i + 4, text.size()) << "padding only in the last group";
            break;
        }
        int c = value(text[i + 2]);
        out += static_cast<char>(((b & 15) << 4) | (c >> 2));
        if (text[i + 3] == '=') {
            EXPECT_EQ(i + 4, text.size()) << "padding only in the last group";
            break;
        }
        out += static_cast<char>(((c & 3) << 6) | value(text[i + 3]));
    }
    return out;
}

// ---- small records ---------------------------------------------------------------------------------

struct StringRecord {
    char *s;
};
const vellum_field kStringFields[] = {VELLUM_FIELD_STRING(StringRecord, s, "s", 0)};
const vellum_map kStringMap = VELLUM_MAP(StringRecord, kStringFields);
const vellum_field kStringOmitNullFields[] = {VELLUM_FIELD_STRING(StringRecord, s, "s", VELLUM_FIELD_OMIT_NULL)};
const vellum_map kStringOmitNullMap = VELLUM_MAP(StringRecord, kStringOmitNullFields);

struct FixedRecord {
    char code[8];
};
const vellum_field kFixedFields[] = {
    VELLUM_FIELD_FIXED_STRING(FixedRecord, code, "code", VELLUM_OVERFLOW_FAIL, VELLUM_FIELD_OMIT_EMPTY)};
const vellum_map kFixedMap = VELLUM_MAP(FixedRecord, kFixedFields);

struct Pair {
    int64_t a;
    vellum_array b;
};
const vellum_field kPairFields[] = {
    VELLUM_FIELD_I64(Pair, a, "a", 0),
    VELLUM_FIELD_ARRAY(Pair, b, "b", VELLUM_KIND_I64_ARRAY, 0),
};
const vellum_map kPairMap = VELLUM_MAP(Pair, kPairFields);

struct Numbers {
    int64_t i;
    uint64_t u;
    double f;
    int32_t t;
};
const vellum_field kNumberFields[] = {
    VELLUM_FIELD_I64(Numbers, i, "i", 0),
    VELLUM_FIELD_U64(Numbers, u, "u", 0),
    VELLUM_FIELD_F64(Numbers, f, "f", 0),
    VELLUM_FIELD_BOOL(Numbers, t, "t", 0),
};
const vellum_map kNumberMap = VELLUM_MAP(Numbers, kNumberFields);

struct Double {
    double f;
};
const vellum_field kDoubleFields[] = {VELLUM_FIELD_F64(Double, f, "f", 0)};
const vellum_map kDoubleMap = VELLUM_MAP(Double, kDoubleFields);

// ---- a record with every serializable kind ----------------------------------------------------------

struct Inner {
    int64_t n;
    char *label;
};
const vellum_field kInnerFields[] = {
    VELLUM_FIELD_I64(Inner, n, "n", 0),
    VELLUM_FIELD_STRING(Inner, label, "label", VELLUM_FIELD_OMIT_NULL),
};
const vellum_map kInnerMap = VELLUM_MAP(Inner, kInnerFields);

struct Everything {
    char *name;
    char code[12];
    vellum_spooled text;
    vellum_spooled bytes;
    vellum_source source_text;
    vellum_source source_bytes;
    vellum_json_value raw;
    int64_t i;
    uint64_t u;
    double f;
    int32_t flag;
    Inner inner;
    vellum_array strings;
    vellum_array i64s;
    vellum_array u64s;
    vellum_array f64s;
    vellum_array bools;
    vellum_object_array inners;
    int64_t maybe;
    int32_t maybe_present;
};
const vellum_field kEverythingFields[] = {
    VELLUM_FIELD_STRING(Everything, name, "name", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_FIXED_STRING(Everything, code, "code", VELLUM_OVERFLOW_FAIL, 0),
    VELLUM_FIELD_SPOOLED(Everything, text, "text", VELLUM_KIND_SPOOLED_TEXT, nullptr, 0),
    VELLUM_FIELD_SPOOLED(Everything, bytes, "bytes", VELLUM_KIND_SPOOLED_BYTES, nullptr, 0),
    VELLUM_FIELD_OF_KIND(Everything, source_text, "source_text", VELLUM_KIND_SOURCE_TEXT, 0),
    VELLUM_FIELD_OF_KIND(Everything, source_bytes, "source_bytes", VELLUM_KIND_SOURCE_BYTES, 0),
    VELLUM_FIELD_OF_KIND(Everything, raw, "raw", VELLUM_KIND_JSON_VALUE, 0),
    VELLUM_FIELD_I64(Everything, i, "i", 0),
    VELLUM_FIELD_U64(Everything, u, "u", 0),
    VELLUM_FIELD_F64(Everything, f, "f", 0),
    VELLUM_FIELD_BOOL(Everything, flag, "flag", 0),
    VELLUM_FIELD_OBJECT(Everything, inner, "inner", &kInnerMap, 0),
    VELLUM_FIELD_ARRAY(Everything, strings, "strings", VELLUM_KIND_STRING_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Everything, i64s, "i64s", VELLUM_KIND_I64_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Everything, u64s, "u64s", VELLUM_KIND_U64_ARRAY, VELLUM_FIELD_OMIT_EMPTY),
    VELLUM_FIELD_ARRAY(Everything, f64s, "f64s", VELLUM_KIND_F64_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Everything, bools, "bools", VELLUM_KIND_BOOL_ARRAY, 0),
    VELLUM_FIELD_OBJECT_ARRAY(Everything, inners, "inners", Inner, &kInnerMap, 0),
    VELLUM_FIELD_PRESENT(Everything, maybe, "maybe", VELLUM_KIND_I64, maybe_present, 0),
};
const vellum_map kEverythingMap = VELLUM_MAP(Everything, kEverythingFields);

// Owns an Everything with caller-held arrays and sources; the spooled members are real.
class EverythingFixture {
public:
    EverythingFixture() {
        std::memset(&record, 0, sizeof record);
        vellum_spool_options options = vellum_default_spool_options();
        options.memory_limit = 8;
        vellum_spooled_init(&record.text, &options);
        vellum_spooled_init(&record.bytes, &options);
        vellum_source_init(&record.source_text);
        vellum_source_init(&record.source_bytes);
        record.raw.fd = -1;
        record.name = name;
        std::strcpy(record.code, "c\"de");
        record.i = -42;
        record.u = 18446744073709551615ull;
        record.f = 0.1;
        record.flag = 1;
        record.inner.n = 7;
        record.inner.label = label;
        record.strings = {strings, 3, 3, VELLUM_ARRAY_FIXED};
        record.i64s = {i64s, 2, 2, VELLUM_ARRAY_FIXED};
        record.u64s = {nullptr, 0, 0, 0};
        record.f64s = {f64s, 2, 2, VELLUM_ARRAY_FIXED};
        record.bools = {bools, 2, 2, VELLUM_ARRAY_FIXED};
        record.inners = {inners, 2, 2, sizeof(Inner), VELLUM_ARRAY_FIXED};
        record.maybe = 5;
        record.maybe_present = 1;
        const char text[] = "spooled \"text\"\n with tab\t and more than eight bytes";
        EXPECT_EQ(vellum_spooled_append(&record.text, text, sizeof text - 1, nullptr), VELLUM_STATUS_OK);
        const unsigned char raw_bytes[] = {0, 1, 2, 0xfe, 0xff, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
        EXPECT_EQ(vellum_spooled_append(&record.bytes, raw_bytes, sizeof raw_bytes, nullptr), VELLUM_STATUS_OK);
        std::string source_path = dir.write("source.txt", "from \"source\"\n");
        EXPECT_EQ(vellum_source_set_path(&record.source_text, source_path.c_str(), nullptr), VELLUM_STATUS_OK);
        std::string bytes_path = dir.write("source.bin", std::string("\x00\x10\x20\x30", 4));
        EXPECT_EQ(vellum_source_set_path(&record.source_bytes, bytes_path.c_str(), nullptr), VELLUM_STATUS_OK);
    }
    ~EverythingFixture() {
        vellum_spooled_cleanup(&record.text);
        vellum_spooled_cleanup(&record.bytes);
        vellum_source_cleanup(&record.source_text);
        vellum_source_cleanup(&record.source_bytes);
    }

    static constexpr const char *kCompact =
        "{\"name\":\"n\\u0001me/\xc3\xa9\",\"code\":\"c\\\"de\","
        "\"text\":\"spooled \\\"text\\\"\\n with tab\\t and more than eight bytes\","
        "\"bytes\":\"AAEC/v9hYmNkZWZnaA==\",\"source_text\":\"from \\\"source\\\"\\n\","
        "\"source_bytes\":\"ABAgMA==\",\"raw\":null,\"i\":-42,\"u\":18446744073709551615,"
        "\"f\":0.10000000000000001,\"flag\":true,\"inner\":{\"n\":7,\"label\":\"in\"},"
        "\"strings\":[\"x\",\"\",\"z\\\\\"],\"i64s\":[1,-2],\"f64s\":[1.5,-0],\"bools\":[true,false],"
        "\"inners\":[{\"n\":1,\"label\":\"one\"},{\"n\":2}],\"maybe\":5}";

    TempDir dir;
    char name[16] = "n\x01me/\xc3\xa9";
    char label[4] = "in";
    char x[2] = "x";
    char z[3] = "z\\";
    char one[4] = "one";
    char *strings[3] = {x, nullptr, z};
    int64_t i64s[2] = {1, -2};
    double f64s[2] = {1.5, -0.0};
    int32_t bools[2] = {1, 0};
    Inner inners[2] = {{1, one}, {2, nullptr}};
    Everything record;
};

// ---- values and escaping ---------------------------------------------------------------------------

TEST(SerializerValues, NullAndEmptyForms) {
    StringRecord record{nullptr};
    EXPECT_EQ(to_json(&kStringMap, &record), "{\"s\":null}");
    EXPECT_EQ(to_json(&kStringOmitNullMap, &record), "{}");
    vellum_write_options pretty = pretty_options();
    EXPECT_EQ(to_json(&kStringOmitNullMap, &record, &pretty), "{}");
    // A FIXED string is never omitted; one without a NUL is read only up to its capacity.
    FixedRecord fixed{};
    EXPECT_EQ(to_json(&kFixedMap, &fixed), "{\"code\":\"\"}");
    std::memset(fixed.code, 'k', sizeof fixed.code);
    EXPECT_EQ(to_json(&kFixedMap, &fixed), "{\"code\":\"kkkkkkkk\"}");
}

TEST(SerializerValues, EscapesEveryByteAsSpecified) {
    std::string input;
    for (int c = 1; c < 256; c++) input += static_cast<char>(c);
    std::string expected = "{\"s\":\"";
    for (int c = 1; c < 256; c++) {
        switch (c) {
        case '"': expected += "\\\""; break;
        case '\\': expected += "\\\\"; break;
        case 0x08: expected += "\\b"; break;
        case 0x09: expected += "\\t"; break;
        case 0x0A: expected += "\\n"; break;
        case 0x0C: expected += "\\f"; break;
        case 0x0D: expected += "\\r"; break;
        default:
            if (c < 0x20) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\u%04x", c);
                expected += hex;
            } else {
                expected += static_cast<char>(c);
            }
        }
    }
    expected += "\"}";
    StringRecord record{input.data()};
    EXPECT_EQ(to_json(&kStringMap, &record), expected);
    EXPECT_NE(expected.find("\\u0001"), std::string::npos);
    EXPECT_NE(expected.find("\\u001f"), std::string::npos);
    EXPECT_NE(expected.find('/'), std::string::npos);
}

TEST(SerializerValues, IntegersAtTheirLimits) {
    Numbers record{INT64_MIN, UINT64_MAX, 0.0, 0};
    EXPECT_EQ(to_json(&kNumberMap, &record),
              "{\"i\":-9223372036854775808,\"u\":18446744073709551615,\"f\":0,\"t\":false}");
    record = {INT64_MAX, 0, -1.0, 5};
    EXPECT_EQ(to_json(&kNumberMap, &record), "{\"i\":9223372036854775807,\"u\":0,\"f\":-1,\"t\":true}");
    record = {-1, 10, 3.0, -1};
    EXPECT_EQ(to_json(&kNumberMap, &record), "{\"i\":-1,\"u\":10,\"f\":3,\"t\":true}");
}

std::string double_json(double value) {
    Double record{value};
    std::string text = to_json(&kDoubleMap, &record);
    return text.substr(5, text.size() - 6);
}

TEST(SerializerValues, DoublesUseSeventeenSignificantDigits) {
    EXPECT_EQ(double_json(0.1), "0.10000000000000001");
    EXPECT_EQ(double_json(3.0), "3");
    EXPECT_EQ(double_json(-0.0), "-0");
    EXPECT_EQ(double_json(1e21), "1e+21");
    EXPECT_EQ(double_json(1e-7), "9.9999999999999995e-08");
    EXPECT_EQ(double_json(123456789012345678.0), "1.2345678901234568e+17");
    EXPECT_EQ(double_json(std::numeric_limits<double>::denorm_min()), "4.9406564584124654e-324");
    EXPECT_EQ(double_json(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
    EXPECT_EQ(double_json(100000000000000000.0), "1e+17");
    EXPECT_EQ(double_json(0.5), "0.5");

    // Differential against printf over random bit patterns and random decimal values.
    std::mt19937_64 random(7);
    for (int i = 0; i < 20000; i++) {
        uint64_t bits = random();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value)) continue;
        if (i % 2) value = static_cast<double>(static_cast<int64_t>(bits >> 20)) / 1000.0;
        char expected[64];
        std::snprintf(expected, sizeof expected, "%.17g", value);
        ASSERT_EQ(double_json(value), expected) << "bits " << bits;
        // Written with 17 digits, the text reads back as the same double.
        ASSERT_EQ(std::strtod(expected, nullptr), value);
    }
}

TEST(SerializerValues, NonFiniteDoublesFail) {
    Double record{std::nan("")};
    Collected out;
    vellum_error error;
    EXPECT_EQ(vellum_serialize_sink(&kDoubleMap, &record, collect, &out, nullptr, &error),
              VELLUM_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(error.message, "non-finite double cannot be serialized");
    EXPECT_EQ(out.text, "{\"f\":");  // what was sent before the failure stays sent
    record.f = -INFINITY;
    EXPECT_EQ(vellum_serialize_sink(&kDoubleMap, &record, collect, &out, nullptr, &error),
              VELLUM_STATUS_TYPE_MISMATCH);

    struct Arr {
        vellum_array a;
    };
    static const vellum_field fields[] = {VELLUM_FIELD_ARRAY(Arr, a, "a", VELLUM_KIND_F64_ARRAY, 0)};
    static const vellum_map map = VELLUM_MAP(Arr, fields);
    double items[] = {1.0, INFINITY};
    Arr arr{{items, 2, 2, VELLUM_ARRAY_FIXED}};
    char buffer[64];
    EXPECT_EQ(vellum_serialize_buffer(&map, &arr, buffer, sizeof buffer, nullptr, nullptr, &error),
              VELLUM_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(error.message, "non-finite double array element cannot be serialized");
    EXPECT_STREQ(buffer, "{\"a\":[1,");
}

TEST(SerializerValues, SpecialKinds) {
    struct S {
        vellum_string_array_stream stream;
        vellum_object_array list;
        vellum_json_value value;
    };
    static const vellum_field list_fields[] = {
        VELLUM_FIELD_FULL(S, list, "list", VELLUM_KIND_OBJECT_ARRAY, VELLUM_STORAGE_DYNAMIC, VELLUM_OVERFLOW_FAIL, 0, 0,
                          16, nullptr, nullptr, 0),
        VELLUM_FIELD_OF_KIND(S, value, "v", VELLUM_KIND_JSON_VALUE, 0),
        VELLUM_FIELD_OF_KIND(S, value, "omitted", VELLUM_KIND_JSON_VALUE, VELLUM_FIELD_OMIT_NULL),
    };
    static const vellum_field stream_fields[] = {
        VELLUM_FIELD_OF_KIND(S, stream, "items", VELLUM_KIND_STRING_ARRAY_STREAM, VELLUM_FIELD_OMIT_EMPTY)};
    static const vellum_map list_map = VELLUM_MAP(S, list_fields);
    static const vellum_map stream_map = VELLUM_MAP(S, stream_fields);
    unsigned char storage[32] = {};
    S record{};
    record.list = {storage, 2, 2, 16, VELLUM_ARRAY_FIXED};
    record.value.fd = -1;
    // Elements without an element map are empty objects; an empty raw value is null.
    EXPECT_EQ(to_json(&list_map, &record), "{\"list\":[{},{}],\"v\":null}");
    vellum_error error;
    EXPECT_EQ(vellum_serialize_alloc(&stream_map, &record, nullptr, nullptr, &error), nullptr);
    EXPECT_EQ(error.code, VELLUM_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(error.message, "field 'items' is parse-only and cannot be serialized");
}

// A raw JSON value continues the surrounding layout: compact, or pretty at its own depth.
TEST(SerializerValues, RawJsonValueFollowsTheLayout) {
    struct Raw {
        vellum_json_value value;
    };
    struct Outer {
        Raw outer;
    };
    static const vellum_field raw_fields[] = {VELLUM_FIELD_OF_KIND(Raw, value, "v", VELLUM_KIND_JSON_VALUE, 0)};
    static const vellum_map raw_map = VELLUM_MAP(Raw, raw_fields);
    static const vellum_field outer_fields[] = {VELLUM_FIELD_OBJECT(Outer, outer, "outer", &raw_map, 0)};
    static const vellum_map outer_map = VELLUM_MAP(Outer, outer_fields);
    Outer record;
    vellum_json_value_init(&record.outer.value);
    const char json[] = " { \"x\" : [ 1 , {\"y\":null} ] , \"z\" : { } , \"e\":[]} ";
    ASSERT_EQ(vellum_json_value_set_buffer(&record.outer.value, json, sizeof json - 1, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(to_json(&outer_map, &record), "{\"outer\":{\"v\":{\"x\":[1,{\"y\":null}],\"z\":{},\"e\":[]}}}");
    vellum_write_options options = pretty_options();
    EXPECT_EQ(to_json(&outer_map, &record, &options),
              "{\n  \"outer\": {\n    \"v\": {\n      \"x\": [\n        1,\n        {\n          \"y\": null\n"
              "        }\n      ],\n      \"z\": {},\n      \"e\": []\n    }\n  }\n}");
    vellum_json_value_cleanup(&record.outer.value);
}

// ---- omission ----------------------------------------------------------------------------------------

TEST(SerializerOmission, FlagsPresenceAndNestedObjects) {
    struct Nested {
        char *a;
        vellum_array list;
    };
    static const vellum_field nested_fields[] = {
        VELLUM_FIELD_STRING(Nested, a, "a", VELLUM_FIELD_OMIT_NULL),
        VELLUM_FIELD_ARRAY(Nested, list, "list", VELLUM_KIND_I64_ARRAY, VELLUM_FIELD_OMIT_EMPTY),
    };
    static const vellum_map nested_map = VELLUM_MAP(Nested, nested_fields);
    struct Outer {
        Nested nested;
        int64_t zero;
        int64_t counted;
        int32_t counted_present;
        vellum_spooled spooled;
        vellum_source source;
        char *required;
    };
    static const vellum_field fields[] = {
        VELLUM_FIELD_OBJECT(Outer, nested, "nested", &nested_map, VELLUM_FIELD_OMIT_EMPTY),
        VELLUM_FIELD_I64(Outer, zero, "zero", VELLUM_FIELD_OMIT_EMPTY | VELLUM_FIELD_OMIT_NULL),
        VELLUM_FIELD_PRESENT(Outer, counted, "counted", VELLUM_KIND_I64, counted_present, 0),
        VELLUM_FIELD_SPOOLED(Outer, spooled, "spooled", VELLUM_KIND_SPOOLED_TEXT, nullptr, VELLUM_FIELD_OMIT_EMPTY),
        VELLUM_FIELD_OF_KIND(Outer, source, "source", VELLUM_KIND_SOURCE_BYTES, VELLUM_FIELD_OMIT_NULL),
        VELLUM_FIELD_STRING(Outer, required, "required", VELLUM_FIELD_REQUIRED),
    };
    static const vellum_map map = VELLUM_MAP(Outer, fields);
    Outer record{};
    vellum_spooled_init(&record.spooled, nullptr);
    vellum_source_init(&record.source);
    record.counted = 9;
    // Numbers are never empty; a nested object whose fields are all omitted is.
    EXPECT_EQ(to_json(&map, &record), "{\"zero\":0,\"required\":null}");

    record.counted_present = 1;
    int64_t items[] = {4};
    record.nested.list = {items, 1, 1, VELLUM_ARRAY_FIXED};
    ASSERT_EQ(vellum_spooled_append(&record.spooled, "s", 1, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(to_json(&map, &record),
              "{\"nested\":{\"list\":[4]},\"zero\":0,\"counted\":9,\"spooled\":\"s\",\"required\":null}");
    vellum_spooled_cleanup(&record.spooled);
}

// ---- pretty layout -----------------------------------------------------------------------------------

TEST(SerializerPretty, SevenLineExample) {
    int64_t items[] = {1, 2};
    Pair record{1, {items, 2, 2, VELLUM_ARRAY_FIXED}};
    vellum_write_options options = pretty_options();
    EXPECT_EQ(to_json(&kPairMap, &record, &options), "{\n  \"a\": 1,\n  \"b\": [\n    1,\n    2\n  ]\n}");
    record.b.count = 0;
    EXPECT_EQ(to_json(&kPairMap, &record, &options), "{\n  \"a\": 1,\n  \"b\": []\n}");
    EXPECT_EQ(to_json(&kPairMap, &record), "{\"a\":1,\"b\":[]}");
}

TEST(SerializerPretty, WholeRecordLayout) {
    EverythingFixture fixture;
    vellum_write_options options = pretty_options();
    std::string text = to_json(&kEverythingMap, &fixture.record, &options);
    const char *expected =
        "{\n"
        "  \"name\": \"n\\u0001me/\xc3\xa9\",\n"
        "  \"code\": \"c\\\"de\",\n"
        "  \"text\": \"spooled \\\"text\\\"\\n with tab\\t and more than eight bytes\",\n"
        "  \"bytes\": \"AAEC/v9hYmNkZWZnaA==\",\n"
        "  \"source_text\": \"from \\\"source\\\"\\n\",\n"
        "  \"source_bytes\": \"ABAgMA==\",\n"
        "  \"raw\": null,\n"
        "  \"i\": -42,\n"
        "  \"u\": 18446744073709551615,\n"
        "  \"f\": 0.10000000000000001,\n"
        "  \"flag\": true,\n"
        "  \"inner\": {\n"
        "    \"n\": 7,\n"
        "    \"label\": \"in\"\n"
        "  },\n"
        "  \"strings\": [\n    \"x\",\n    \"\",\n    \"z\\\\\"\n  ],\n"
        "  \"i64s\": [\n    1,\n    -2\n  ],\n"
        "  \"f64s\": [\n    1.5,\n    -0\n  ],\n"
        "  \"bools\": [\n    true,\n    false\n  ],\n"
        "  \"inners\": [\n"
        "    {\n      \"n\": 1,\n      \"label\": \"one\"\n    },\n"
        "    {\n      \"n\": 2\n    }\n"
        "  ],\n"
        "  \"maybe\": 5\n"
        "}";
    EXPECT_EQ(text, expected);
    EXPECT_EQ(to_json(&kEverythingMap, &fixture.record), EverythingFixture::kCompact);
}

// A chain of nested objects deeper than the 64-space indentation text.
struct Chain {
    int64_t v;
};
constexpr int kChainDepth = 45;
vellum_field chain_fields[kChainDepth][2];
vellum_map chain_maps[kChainDepth];

const vellum_map *build_chain() {
    // Level k holds "v" and (except the last) "next", an object of level k + 1 at offset 8.
    static bool built = false;
    if (built) return &chain_maps[0];
    for (int k = kChainDepth - 1; k >= 0; k--) {
        size_t size = 8 * static_cast<size_t>(kChainDepth - k);
        chain_fields[k][0] = VELLUM_FIELD_I64(Chain, v, "v", 0);
        chain_fields[k][1] = VELLUM_FIELD_FULL(Chain, v, "next", VELLUM_KIND_OBJECT, VELLUM_STORAGE_DYNAMIC,
                                               VELLUM_OVERFLOW_FAIL, 0, 0, 0, &chain_maps[k + 1], nullptr, 0);
        chain_fields[k][1].offset = 8;
        chain_maps[k] = {"chain", size, chain_fields[k], k == kChainDepth - 1 ? 1u : 2u};
    }
    built = true;
    return &chain_maps[0];
}

TEST(SerializerPretty, IndentationDeeperThanSixtyFourSpaces) {
    const vellum_map *map = build_chain();
    std::vector<int64_t> record(kChainDepth);
    for (int k = 0; k < kChainDepth; k++) record[k] = k;
    vellum_write_options options = pretty_options();
    std::string text = to_json(map, record.data(), &options);
    std::string expected = "{";
    for (int k = 0; k < kChainDepth; k++) {
        std::string inner(2 * (k + 1), ' ');
        expected += "\n" + inner + "\"v\": " + std::to_string(k);
        if (k < kChainDepth - 1) expected += ",\n" + inner + "\"next\": {";
    }
    for (int k = kChainDepth - 1; k >= 0; k--) expected += "\n" + std::string(2 * k, ' ') + "}";
    EXPECT_EQ(text, expected);
    // Compact output of the same chain.
    std::string compact = to_json(map, record.data());
    EXPECT_EQ(compact.substr(0, 22), "{\"v\":0,\"next\":{\"v\":1,\"");
    EXPECT_EQ(compact.substr(compact.size() - kChainDepth), std::string(kChainDepth, '}'));
}

// ---- destinations ------------------------------------------------------------------------------------

TEST(SerializerDestinations, EveryEntryPointWritesTheSameBytes) {
    EverythingFixture fixture;
    TempDir dir;
    for (int pretty = 0; pretty < 2; pretty++) {
        vellum_write_options options = vellum_default_write_options();
        options.pretty = pretty;
        std::string reference = to_json(&kEverythingMap, &fixture.record, &options);
        if (!pretty) {
            EXPECT_EQ(reference, EverythingFixture::kCompact);
        }

        std::vector<char> buffer(reference.size() + 1);
        size_t length = 0;
        vellum_error error;
        ASSERT_EQ(vellum_serialize_buffer(&kEverythingMap, &fixture.record, buffer.data(), buffer.size(), &length,
                                          &options, &error),
                  VELLUM_STATUS_OK)
            << error.message;
        EXPECT_EQ(length, reference.size());
        EXPECT_EQ(std::string(buffer.data()), reference);

        vellum_owned_buffer owned;
        ASSERT_EQ(vellum_serialize_owned(&kEverythingMap, &fixture.record, &owned, &options, &error),
                  VELLUM_STATUS_OK);
        EXPECT_EQ(std::string(owned.data, owned.length), reference);
        EXPECT_EQ(owned.data[owned.length], '\0');
        vellum_owned_buffer_free(&owned);

        char *text = vellum_serialize_alloc(&kEverythingMap, &fixture.record, &length, &options, &error);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text), reference);
        EXPECT_EQ(length, reference.size());
        free(text);

        std::string path = dir.file("out.json");
        FILE *file = fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(vellum_serialize_filep(&kEverythingMap, &fixture.record, file, &options, &error), VELLUM_STATUS_OK);
        fclose(file);
        EXPECT_EQ(korvo::testing::read_file(path), reference);

        std::string path2 = dir.file("out2.json");
        ASSERT_EQ(vellum_serialize_path(&kEverythingMap, &fixture.record, path2.c_str(), &options, &error),
                  VELLUM_STATUS_OK);
        EXPECT_EQ(korvo::testing::read_file(path2), reference);
    }
    // Serializing never moves a spooled value's own read position.
    char byte;
    vellum_read_result first = vellum_spooled_read(&fixture.record.text, &byte, 1);
    EXPECT_EQ(first.bytes, 1u);
    EXPECT_EQ(byte, 's');
}

TEST(SerializerDestinations, FixedBufferPolicies) {
    // {"s":"abcdefghijkl"} is 20 bytes.
    char text[] = "abcdefghijkl";
    StringRecord record{text};
    char buffer[8];
    size_t length = 99;
    vellum_error error;
    vellum_write_options options = vellum_default_write_options();

    EXPECT_EQ(vellum_serialize_buffer(&kStringMap, &record, buffer, sizeof buffer, &length, &options, &error),
              VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(error.message, "output buffer too small");
    EXPECT_LT(std::strlen(buffer), sizeof buffer);
    EXPECT_EQ(std::string("{\"s\":\"abcdefghijkl\"}").compare(0, std::strlen(buffer), buffer), 0);

    options.overflow = VELLUM_OVERFLOW_TRUNCATE;
    EXPECT_EQ(vellum_serialize_buffer(&kStringMap, &record, buffer, sizeof buffer, &length, &options, &error),
              VELLUM_STATUS_TRUNCATED);
    EXPECT_STREQ(buffer, "{\"s\":\"a");
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(error.truncated, 1);
    EXPECT_EQ(error.code, VELLUM_STATUS_TRUNCATED);

    options.overflow = VELLUM_OVERFLOW_TRUNCATE_SILENT;
    EXPECT_EQ(vellum_serialize_buffer(&kStringMap, &record, buffer, sizeof buffer, &length, &options, &error),
              VELLUM_STATUS_OK);
    EXPECT_STREQ(buffer, "{\"s\":\"a");
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(error.truncated, 1);
    EXPECT_EQ(error.code, VELLUM_STATUS_OK);

    // Exactly enough room: 21 bytes hold the 20 bytes and the NUL; 20 do not.
    char exact[21];
    options.overflow = VELLUM_OVERFLOW_FAIL;
    EXPECT_EQ(vellum_serialize_buffer(&kStringMap, &record, exact, 21, &length, &options, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(vellum_serialize_buffer(&kStringMap, &record, exact, 20, &length, &options, &error),
              VELLUM_STATUS_OVERFLOW);
}

// At every capacity, truncation keeps exactly the prefix that fits and reports the whole length;
// failing keeps a prefix too, and succeeds from the first capacity that holds everything.
TEST(SerializerDestinations, FixedBufferAtEveryCapacity) {
    EverythingFixture fixture;
    for (int pretty = 0; pretty < 2; pretty++) {
        vellum_write_options options = vellum_default_write_options();
        options.pretty = pretty;
        std::string reference = to_json(&kEverythingMap, &fixture.record, &options);
        std::vector<char> buffer(reference.size() + 8);
        for (size_t capacity = 1; capacity <= reference.size() + 2; capacity++) {
            size_t length = 0;
            options.overflow = VELLUM_OVERFLOW_TRUNCATE;
            vellum_status status = vellum_serialize_buffer(&kEverythingMap, &fixture.record, buffer.data(), capacity,
                                                           &length, &options, nullptr);
            bool fits = capacity > reference.size();
            ASSERT_EQ(status, fits ? VELLUM_STATUS_OK : VELLUM_STATUS_TRUNCATED) << capacity;
            ASSERT_EQ(length, reference.size());
            ASSERT_EQ(std::string(buffer.data()), reference.substr(0, std::min(reference.size(), capacity - 1)));

            options.overflow = VELLUM_OVERFLOW_FAIL;
            status = vellum_serialize_buffer(&kEverythingMap, &fixture.record, buffer.data(), capacity, &length,
                                             &options, nullptr);
            ASSERT_EQ(status, fits ? VELLUM_STATUS_OK : VELLUM_STATUS_OVERFLOW) << capacity;
            std::string kept(buffer.data());
            ASSERT_LT(kept.size(), capacity);
            ASSERT_EQ(reference.compare(0, kept.size(), kept), 0);
        }
    }
}

TEST(SerializerDestinations, OwnedBufferLimitsGrowthAndAllocator) {
    std::string big(5000, 'b');
    StringRecord record{big.data()};  // a 5008-byte document
    CountingAllocator counting;
    vellum_write_options options = vellum_default_write_options();
    options.allocator = counting.get();
    options.max_output_bytes = 16;
    vellum_owned_buffer owned;
    vellum_error error;
    EXPECT_EQ(vellum_serialize_owned(&kStringMap, &record, &owned, &options, &error), VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(error.message, "serializer-owned output exceeds max_output_bytes");
    EXPECT_EQ(owned.data, nullptr);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
    // Grows 2048, 4096, 8192 through the caller's allocator; released by owned_buffer_free.
    options.max_output_bytes = 0;
    ASSERT_EQ(vellum_serialize_owned(&kStringMap, &record, &owned, &options, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(owned.length, 5008u);
    EXPECT_EQ(owned.capacity, 8192u);
    EXPECT_EQ(counting.stats().bytes_in_use, 8192u);
    vellum_owned_buffer_free(&owned);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
    // The capacity stops at the limit + 1.
    options.max_output_bytes = 5008;
    ASSERT_EQ(vellum_serialize_owned(&kStringMap, &record, &owned, &options, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(owned.capacity, 5009u);
    vellum_owned_buffer_free(&owned);
    options.max_output_bytes = 5007;
    EXPECT_EQ(vellum_serialize_owned(&kStringMap, &record, &owned, &options, &error), VELLUM_STATUS_OVERFLOW);
    // A failing reallocation frees what was grown so far.
    options.max_output_bytes = 0;
    counting.fail_at(2);
    EXPECT_EQ(vellum_serialize_owned(&kStringMap, &record, &owned, &options, &error),
              VELLUM_STATUS_ALLOCATION_FAILED);
    EXPECT_STREQ(error.message, "failed to grow output buffer");
    EXPECT_EQ(owned.data, nullptr);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
    counting.fail_at(0);

    // serialize_alloc takes only the default allocator.
    size_t length = 77;
    EXPECT_EQ(vellum_serialize_alloc(&kStringMap, &record, &length, &options, &error), nullptr);
    EXPECT_STREQ(error.message,
                 "serialize_alloc uses the default allocator only; use serialize_owned for custom allocators");
    EXPECT_EQ(length, 0u);
    vellum_allocator defaults = vellum_default_allocator();
    options.allocator = &defaults;
    char *text = vellum_serialize_alloc(&kStringMap, &record, &length, &options, &error);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(length, 5008u);
    free(text);
}

TEST(SerializerDestinations, FileAndPathFailures) {
    StringRecord record{nullptr};
    vellum_error error;
    FILE *full = fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(vellum_serialize_filep(&kStringMap, &record, full, nullptr, &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(error.message, "failed to write JSON output");
    EXPECT_EQ(error.system_errno, ENOSPC);
    fclose(full);
    EXPECT_EQ(vellum_serialize_path(&kStringMap, &record, "/nonexistent-vellum/out.json", nullptr, &error),
              VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(error.message, "failed to open '/nonexistent-vellum/out.json' for writing");
    EXPECT_EQ(error.system_errno, ENOENT);
}

TEST(SerializerDestinations, SinkStatusProtocol) {
    EverythingFixture fixture;
    struct Failing {
        size_t calls = 0;
        size_t fail_at = 0;
        vellum_status status = VELLUM_STATUS_OK;
    };
    auto sink = [](void *user, const void *, size_t length, vellum_error *) -> vellum_status {
        auto *self = static_cast<Failing *>(user);
        EXPECT_GT(length, 0u);
        if (++self->calls == self->fail_at) return VELLUM_STATUS_CALLBACK_FAILED;
        return self->status;
    };
    Failing counter;
    ASSERT_EQ(vellum_serialize_sink(&kEverythingMap, &fixture.record, sink, &counter, nullptr, nullptr),
              VELLUM_STATUS_OK);
    size_t total_calls = counter.calls;
    ASSERT_GT(total_calls, 20u);
    for (size_t fail_at : {size_t{1}, size_t{2}, total_calls / 2, total_calls}) {
        Failing failing;
        failing.fail_at = fail_at;
        vellum_error error;
        EXPECT_EQ(vellum_serialize_sink(&kEverythingMap, &fixture.record, sink, &failing, nullptr, &error),
                  VELLUM_STATUS_CALLBACK_FAILED);
        EXPECT_EQ(failing.calls, fail_at) << "no fragment after the failure";
        EXPECT_EQ(error.code, VELLUM_STATUS_CALLBACK_FAILED);
    }
    Failing truncating;
    truncating.status = VELLUM_STATUS_TRUNCATED;
    vellum_error error;
    EXPECT_EQ(vellum_serialize_sink(&kEverythingMap, &fixture.record, sink, &truncating, nullptr, &error),
              VELLUM_STATUS_TRUNCATED);
    EXPECT_EQ(truncating.calls, total_calls);
    EXPECT_EQ(error.truncated, 1);
}

TEST(SerializerDestinations, ArgumentsLayoutAndAllocatorAreCheckedBeforeWriting) {
    StringRecord record{nullptr};
    Collected out;
    vellum_error error;
    EXPECT_EQ(vellum_serialize_sink(&kStringMap, &record, nullptr, nullptr, nullptr, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "map, source, and sink are required");
    EXPECT_EQ(vellum_serialize_sink(&kStringMap, nullptr, collect, &out, nullptr, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);

    static const vellum_field bad_fields[] = {
        VELLUM_FIELD_FULL(StringRecord, s, "s", VELLUM_KIND_I64, VELLUM_STORAGE_DYNAMIC, VELLUM_OVERFLOW_FAIL, 0, 0,
                          0, nullptr, nullptr, 0)};
    static const vellum_map bad_map = {"bad", 4, bad_fields, 1};  // an int64 does not fit in 4 bytes
    EXPECT_EQ(vellum_serialize_sink(&bad_map, &record, collect, &out, nullptr, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "invalid map layout");
    char buffer[32] = "junk";
    EXPECT_EQ(vellum_serialize_buffer(&bad_map, &record, buffer, sizeof buffer, nullptr, nullptr, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(buffer, "");

    vellum_allocator partial{};
    partial.malloc_fn = [](void *, size_t size) { return malloc(size); };
    vellum_write_options options = vellum_default_write_options();
    options.allocator = &partial;
    EXPECT_EQ(vellum_serialize_sink(&kStringMap, &record, collect, &out, &options, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "allocator must provide either all callbacks or none");
    EXPECT_TRUE(out.text.empty());

    // A successful call clears an earlier error completely.
    error.truncated = 1;
    ASSERT_EQ(vellum_serialize_sink(&kStringMap, &record, collect, &out, nullptr, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(error.code, 0);
    EXPECT_EQ(error.truncated, 0);
    EXPECT_EQ(error.message[0], '\0');
}

// ---- spooled and source fields ----------------------------------------------------------------------

struct Blob {
    vellum_spooled text;
    vellum_spooled bytes;
};
const vellum_field kBlobFields[] = {
    VELLUM_FIELD_SPOOLED(Blob, text, "text", VELLUM_KIND_SPOOLED_TEXT, nullptr, 0),
    VELLUM_FIELD_SPOOLED(Blob, bytes, "bytes", VELLUM_KIND_SPOOLED_BYTES, nullptr, 0),
};
const vellum_map kBlobMap = VELLUM_MAP(Blob, kBlobFields);

TEST(SerializerStreams, SpooledBytesAreBase64AcrossChunkBoundaries) {
    TempDir dir;
    vellum_spool_options options = vellum_default_spool_options();
    options.memory_limit = 1000;
    options.temp_dir = dir.path().c_str();
    for (size_t size : {0u, 1u, 2u, 3u, 4u, 4095u, 4096u, 4097u, 4098u, 12289u, 70000u}) {
        Blob record;
        vellum_spooled_init(&record.text, &options);
        vellum_spooled_init(&record.bytes, &options);
        std::string data(size, '\0');
        for (size_t i = 0; i < size; i++) data[i] = static_cast<char>((i * 131) ^ (i >> 8));
        std::string text(size, '\0');
        for (size_t i = 0; i < size; i++) text[i] = static_cast<char>(i % 5 == 0 ? '\n' : 'a' + i % 26);
        // Append in uneven pieces so memory and file parts both hold content.
        for (size_t at = 0; at < size; at += 777) {
            size_t n = std::min<size_t>(777, size - at);
            ASSERT_EQ(vellum_spooled_append(&record.bytes, data.data() + at, n, nullptr), VELLUM_STATUS_OK);
            ASSERT_EQ(vellum_spooled_append(&record.text, text.data() + at, n, nullptr), VELLUM_STATUS_OK);
        }
        std::string json = to_json(&kBlobMap, &record);
        size_t bytes_at = json.find(",\"bytes\":\"");
        ASSERT_NE(bytes_at, std::string::npos);
        std::string encoded = json.substr(bytes_at + 10, json.size() - bytes_at - 12);
        EXPECT_EQ(encoded.size(), (size + 2) / 3 * 4);
        EXPECT_EQ(base64_decode(encoded), data) << size;
        std::string escaped = json.substr(9, bytes_at - 10);
        std::string expected_text;
        for (char c : text) expected_text += c == '\n' ? std::string("\\n") : std::string(1, c);
        EXPECT_EQ(escaped, expected_text) << size;
        EXPECT_EQ(json.substr(json.size() - 2), "\"}");
        vellum_spooled_cleanup(&record.text);
        vellum_spooled_cleanup(&record.bytes);
    }
    EXPECT_TRUE(korvo::testing::list_files(dir.path()).empty());
}

struct Sources {
    vellum_source text;
    vellum_source bytes;
};
const vellum_field kSourceFields[] = {
    VELLUM_FIELD_OF_KIND(Sources, text, "text", VELLUM_KIND_SOURCE_TEXT, 0),
    VELLUM_FIELD_OF_KIND(Sources, bytes, "bytes", VELLUM_KIND_SOURCE_BYTES, 0),
};
const vellum_map kSourceMap = VELLUM_MAP(Sources, kSourceFields);

TEST(SerializerStreams, SourcesFromFileDescriptorAndPath) {
    TempDir dir;
    std::string content(10000, '\0');
    for (size_t i = 0; i < content.size(); i++) content[i] = static_cast<char>(i % 3 == 0 ? '"' : 'a' + i % 20);
    std::string path = dir.write("in.txt", content);
    std::string expected_text;
    for (char c : content) expected_text += c == '"' ? std::string("\\\"") : std::string(1, c);

    Sources record;
    vellum_source_init(&record.text);
    vellum_source_init(&record.bytes);
    EXPECT_EQ(to_json(&kSourceMap, &record), "{\"text\":null,\"bytes\":null}");

    FILE *file = fopen(path.c_str(), "rb");
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_NE(file, nullptr);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(vellum_source_set_file(&record.text, file, nullptr), VELLUM_STATUS_OK);
    ASSERT_EQ(vellum_source_set_fd(&record.bytes, fd, nullptr), VELLUM_STATUS_OK);
    for (int round = 0; round < 2; round++) {
        std::string json = to_json(&kSourceMap, &record);
        size_t split = json.find("\",\"bytes\":\"");
        ASSERT_NE(split, std::string::npos);
        EXPECT_EQ(json.substr(9, split - 9), expected_text);
        EXPECT_EQ(base64_decode(json.substr(split + 11, json.size() - split - 13)), content);
    }
    ASSERT_EQ(vellum_source_set_path(&record.text, path.c_str(), nullptr), VELLUM_STATUS_OK);
    ASSERT_EQ(vellum_source_set_path(&record.bytes, path.c_str(), nullptr), VELLUM_STATUS_OK);
    std::string json = to_json(&kSourceMap, &record);
    EXPECT_EQ(json.substr(9, expected_text.size()), expected_text);
    fclose(file);
    close(fd);

    // A failed read is named after the field's kind (the cursor's own failures: spool_test).
    ASSERT_EQ(vellum_source_set_path(&record.text, dir.path().c_str(), nullptr), VELLUM_STATUS_OK);
    Collected out;
    vellum_error error;
    EXPECT_EQ(vellum_serialize_sink(&kSourceMap, &record, collect, &out, nullptr, &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(error.message, "failed to read source text");
    EXPECT_EQ(error.system_errno, EISDIR);
    vellum_source_cleanup(&record.text);
    vellum_source_cleanup(&record.bytes);
}

// ---- JSON Lines -------------------------------------------------------------------------------------

TEST(SerializerLines, StrideAndArguments) {
    struct Padded {
        Numbers numbers;
        char padding[8];
    };
    Numbers items[3] = {{1, 2, 0.5, 1}, {-1, 0, 2.0, 0}, {7, 8, 1e100, 1}};
    const std::string expected =
        "{\"i\":1,\"u\":2,\"f\":0.5,\"t\":true}\n{\"i\":-1,\"u\":0,\"f\":2,\"t\":false}\n"
        "{\"i\":7,\"u\":8,\"f\":1e+100,\"t\":true}\n";
    Padded padded[3];
    for (int i = 0; i < 3; i++) padded[i].numbers = items[i];
    for (size_t stride : {size_t{0}, sizeof(Numbers)}) {
        Collected out;
        ASSERT_EQ(vellum_serialize_jsonl_sink(&kNumberMap, items, 3, stride, collect, &out, nullptr, nullptr),
                  VELLUM_STATUS_OK);
        EXPECT_EQ(out.text, expected);
    }
    Collected strided;
    ASSERT_EQ(vellum_serialize_jsonl_sink(&kNumberMap, padded, 3, sizeof(Padded), collect, &strided, nullptr, nullptr),
              VELLUM_STATUS_OK);
    EXPECT_EQ(strided.text, expected);

    Collected out;
    vellum_error error;
    EXPECT_EQ(vellum_serialize_jsonl_sink(&kNumberMap, items, 3, sizeof(Numbers) - 1, collect, &out, nullptr, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "stride must be at least map->struct_size");
    EXPECT_EQ(vellum_serialize_jsonl_sink(&kNumberMap, nullptr, 1, 0, collect, &out, nullptr, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "items are required when count is non-zero");
    ASSERT_EQ(vellum_serialize_jsonl_sink(&kNumberMap, nullptr, 0, 0, collect, &out, nullptr, &error),
              VELLUM_STATUS_OK);
    EXPECT_TRUE(out.pieces.empty());
    size_t length = 5;
    char *empty = vellum_serialize_jsonl_alloc(&kNumberMap, nullptr, 0, 0, &length, nullptr, &error);
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    EXPECT_EQ(length, 0u);
    free(empty);
}

TEST(SerializerLines, EveryDestinationAgreesCompactAndPretty) {
    Numbers items[4] = {{1, 2, 0.25, 1}, {-3, 4, -8.5, 0}, {0, 0, 0, 0}, {INT64_MIN, UINT64_MAX, 1e-300, 1}};
    TempDir dir;
    for (int pretty = 0; pretty < 2; pretty++) {
        vellum_write_options options = vellum_default_write_options();
        options.pretty = pretty;
        Collected reference;
        vellum_error error;
        ASSERT_EQ(vellum_serialize_jsonl_sink(&kNumberMap, items, 4, 0, collect, &reference, &options, &error),
                  VELLUM_STATUS_OK);
        // Each record is exactly what the single-record serializer writes, plus a line feed.
        std::string concatenated;
        for (const Numbers &item : items) concatenated += to_json(&kNumberMap, &item, &options) + "\n";
        EXPECT_EQ(reference.text, concatenated);

        std::vector<char> buffer(reference.text.size() + 1);
        size_t length = 0;
        ASSERT_EQ(vellum_serialize_jsonl_buffer(&kNumberMap, items, 4, 0, buffer.data(), buffer.size(), &length,
                                                &options, &error),
                  VELLUM_STATUS_OK);
        EXPECT_EQ(std::string(buffer.data(), length), reference.text);
        options.overflow = VELLUM_OVERFLOW_TRUNCATE;
        ASSERT_EQ(vellum_serialize_jsonl_buffer(&kNumberMap, items, 4, 0, buffer.data(), 11, &length, &options,
                                                &error),
                  VELLUM_STATUS_TRUNCATED);
        EXPECT_EQ(length, reference.text.size());
        EXPECT_EQ(std::string(buffer.data()), reference.text.substr(0, 10));
        options.overflow = VELLUM_OVERFLOW_FAIL;

        vellum_owned_buffer owned;
        ASSERT_EQ(vellum_serialize_jsonl_owned(&kNumberMap, items, 4, 0, &owned, &options, &error), VELLUM_STATUS_OK);
        EXPECT_EQ(std::string(owned.data, owned.length), reference.text);
        vellum_owned_buffer_free(&owned);

        char *text = vellum_serialize_jsonl_alloc(&kNumberMap, items, 4, 0, &length, &options, &error);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text, length), reference.text);
        free(text);
        std::string path = dir.file("lines.jsonl");
        ASSERT_EQ(vellum_serialize_jsonl_path(&kNumberMap, items, 4, 0, path.c_str(), &options, &error),
                  VELLUM_STATUS_OK);
        EXPECT_EQ(korvo::testing::read_file(path), reference.text);
        FILE *file = fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(vellum_serialize_jsonl_filep(&kNumberMap, items, 4, 0, file, &options, &error), VELLUM_STATUS_OK);
        fclose(file);
        EXPECT_EQ(korvo::testing::read_file(path), reference.text);
    }
}

}  // namespace

// ---- parse -> serialize -> parse ---------------------------------------------------------------------

const vellum_spool_options kSmallSpool = {4, 0, nullptr};
const vellum_field kRoundTripFields[] = {
    VELLUM_FIELD_STRING(Everything, name, "name", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_FIXED_STRING(Everything, code, "code", VELLUM_OVERFLOW_FAIL, 0),
    VELLUM_FIELD_SPOOLED(Everything, text, "text", VELLUM_KIND_SPOOLED_TEXT, &kSmallSpool, 0),
    VELLUM_FIELD_SPOOLED(Everything, bytes, "bytes", VELLUM_KIND_SPOOLED_BYTES, &kSmallSpool, 0),
    VELLUM_FIELD_I64(Everything, i, "i", 0),
    VELLUM_FIELD_U64(Everything, u, "u", 0),
    VELLUM_FIELD_F64(Everything, f, "f", 0),
    VELLUM_FIELD_BOOL(Everything, flag, "flag", 0),
    VELLUM_FIELD_OBJECT(Everything, inner, "inner", &kInnerMap, 0),
    VELLUM_FIELD_ARRAY(Everything, strings, "strings", VELLUM_KIND_STRING_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Everything, i64s, "i64s", VELLUM_KIND_I64_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Everything, u64s, "u64s", VELLUM_KIND_U64_ARRAY, VELLUM_FIELD_OMIT_EMPTY),
    VELLUM_FIELD_ARRAY(Everything, f64s, "f64s", VELLUM_KIND_F64_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Everything, bools, "bools", VELLUM_KIND_BOOL_ARRAY, 0),
    VELLUM_FIELD_OBJECT_ARRAY(Everything, inners, "inners", Inner, &kInnerMap, 0),
    VELLUM_FIELD_PRESENT(Everything, maybe, "maybe", VELLUM_KIND_I64, maybe_present, 0),
};
const vellum_map kRoundTripMap = VELLUM_MAP(Everything, kRoundTripFields);

// Serializing a parsed record gives back the text it was parsed from, in both layouts, and the
// parsed values equal the originals (doubles bit for bit, spooled bytes exactly).
TEST(SerializerRoundTrip, ParseSerializeParse) {
    EverythingFixture fixture;
    std::mt19937_64 random(99);
    for (int round = 0; round < 40; round++) {
        uint64_t bits = random();
        std::memcpy(&fixture.record.f, &bits, sizeof bits);
        if (!std::isfinite(fixture.record.f)) fixture.record.f = static_cast<double>(bits >> 11) * 1e-300;
        fixture.f64s[0] = static_cast<double>(static_cast<int64_t>(bits)) / 7.0;
        fixture.record.i = static_cast<int64_t>(random());
        for (int pretty = 0; pretty < 2; pretty++) {
            vellum_write_options options = vellum_default_write_options();
            options.pretty = pretty;
            std::string first = to_json(&kRoundTripMap, &fixture.record, &options);
            Everything parsed;
            vellum_init(&kRoundTripMap, &parsed);
            vellum_error error;
            ASSERT_EQ(vellum_parse_buffer(&kRoundTripMap, &parsed, first.data(), first.size(), nullptr, &error),
                      VELLUM_STATUS_OK)
                << error.message << "\n" << first;
            EXPECT_EQ(to_json(&kRoundTripMap, &parsed, &options), first);
            EXPECT_EQ(std::memcmp(&parsed.f, &fixture.record.f, sizeof(double)), 0);
            EXPECT_EQ(parsed.i, fixture.record.i);
            EXPECT_EQ(vellum_spooled_spilled(&parsed.bytes), 1);
            std::string bytes;
            char buffer[3];
            for (vellum_read_result r{}; !r.eof;) {
                r = vellum_spooled_read(&parsed.bytes, buffer, sizeof buffer);
                ASSERT_EQ(r.error, 0);
                bytes.append(buffer, r.bytes);
            }
            EXPECT_EQ(bytes, std::string("\x00\x01\x02\xfe\xff" "abcdefgh", 13));
            vellum_cleanup(&kRoundTripMap, &parsed);
        }
    }
}

// ---- buffers written in place against pieces handed to a sink --------------------------------------

namespace {

// A record whose keys and strings need escaping here and there, with long and short runs.
struct Odd {
    char *plain;
    char *quoted;
    int64_t n;
    uint64_t u;
    int32_t flag;
    vellum_array texts;
};
const vellum_field kOddFields[] = {
    VELLUM_FIELD_STRING(Odd, plain, "plain", 0),
    VELLUM_FIELD_STRING(Odd, quoted, "key \"with\" quotes\tand a tab", 0),
    VELLUM_FIELD_I64(Odd, n, "a key longer than sixteen bytes, and then some more", 0),
    VELLUM_FIELD_U64(Odd, u, "u", 0),
    VELLUM_FIELD_BOOL(Odd, flag, "\\", 0),
    VELLUM_FIELD_ARRAY(Odd, texts, "texts", VELLUM_KIND_STRING_ARRAY, 0),
};
const vellum_map kOddMap = VELLUM_MAP(Odd, kOddFields);

std::string random_text(std::mt19937 &random) {
    static const char *const kPieces[] = {"a", "bcdefgh", "\"", "\\", "\n", "\x01", "\x1f", "\x7f", "\xc3\xa9", " ",
                                          "0123456789abcdef"};
    std::string text;
    size_t n = random() % 12;
    for (size_t k = 0; k < n; k++) text += kPieces[random() % (random() % 4 ? 2 : 11)];
    return text;
}

// The prefix a failing fixed buffer keeps: the pieces that fit whole, in order.
std::string whole_pieces(const Collected &pieces, size_t capacity) {
    std::string kept;
    size_t at = 0;
    for (size_t piece : pieces.pieces) {
        if (kept.size() + piece > capacity - 1) break;
        kept += pieces.text.substr(at, piece);
        at += piece;
    }
    return kept;
}

TEST(SerializerInPlace, BuffersMatchSinkPiecesAtEveryCapacity) {
    std::mt19937 random(77);
    for (int round = 0; round < 60; round++) {
        std::string plain = random_text(random), quoted = random_text(random);
        std::vector<std::string> texts(random() % 4);
        for (std::string &t : texts) t = random_text(random);
        std::vector<char *> items;
        for (std::string &t : texts) items.push_back(t.data());
        Odd record{plain.data(), round % 5 ? quoted.data() : nullptr,
                   static_cast<int64_t>(random()) * (round % 2 ? -1 : 1) << (round % 32), ~uint64_t{0} >> (round % 64),
                   round % 2, {items.data(), items.size(), items.size(), VELLUM_ARRAY_FIXED}};
        for (int pretty = 0; pretty < 2; pretty++) {
            vellum_write_options options = vellum_default_write_options();
            options.pretty = pretty;
            Collected pieces;
            ASSERT_EQ(vellum_serialize_sink(&kOddMap, &record, collect, &pieces, &options, nullptr), VELLUM_STATUS_OK);
            const std::string &reference = pieces.text;

            vellum_owned_buffer owned;
            ASSERT_EQ(vellum_serialize_owned(&kOddMap, &record, &owned, &options, nullptr), VELLUM_STATUS_OK);
            EXPECT_EQ(std::string(owned.data, owned.length), reference);
            vellum_owned_buffer_free(&owned);

            std::vector<char> buffer(reference.size() + 2);
            for (size_t capacity = 1; capacity <= buffer.size(); capacity++) {
                size_t length = 0;
                options.overflow = VELLUM_OVERFLOW_TRUNCATE;
                vellum_serialize_buffer(&kOddMap, &record, buffer.data(), capacity, &length, &options, nullptr);
                ASSERT_EQ(std::string(buffer.data()), reference.substr(0, std::min(reference.size(), capacity - 1)));
                ASSERT_EQ(length, reference.size());
                options.overflow = VELLUM_OVERFLOW_FAIL;
                vellum_status status =
                    vellum_serialize_buffer(&kOddMap, &record, buffer.data(), capacity, &length, &options, nullptr);
                ASSERT_EQ(status, capacity > reference.size() ? VELLUM_STATUS_OK : VELLUM_STATUS_OVERFLOW);
                ASSERT_EQ(std::string(buffer.data()), whole_pieces(pieces, capacity)) << capacity;
            }
        }
    }
}

// A grown buffer reallocates exactly as often whether its pieces are written in place or not:
// the same count for documents that differ only in where their escapes sit.
TEST(SerializerInPlace, OwnedBufferGrowthAndLimit) {
    std::string long_plain(3000, 'p');
    std::string long_escaped = long_plain;
    long_escaped[1500] = '"';
    for (const std::string *text : {&long_plain, &long_escaped}) {
        std::vector<std::string> texts(40, *text);
        std::vector<char *> items;
        for (std::string &t : texts) items.push_back(t.data());
        Odd record{texts[0].data(), nullptr, 1, 2, 1, {items.data(), items.size(), items.size(), VELLUM_ARRAY_FIXED}};
        Collected pieces;
        ASSERT_EQ(vellum_serialize_sink(&kOddMap, &record, collect, &pieces, nullptr, nullptr), VELLUM_STATUS_OK);
        CountingAllocator counting;
        vellum_write_options options = vellum_default_write_options();
        options.allocator = counting.get();
        vellum_owned_buffer owned;
        ASSERT_EQ(vellum_serialize_owned(&kOddMap, &record, &owned, &options, nullptr), VELLUM_STATUS_OK);
        EXPECT_EQ(std::string(owned.data, owned.length), pieces.text);
        // Capacities double from 2048 bytes: one allocation per doubling up to the length.
        size_t expected = 1;
        for (size_t capacity = 2048; capacity < pieces.text.size() + 1; capacity *= 2) expected++;
        EXPECT_EQ(counting.calls(), expected);
        vellum_owned_buffer_free(&owned);
        EXPECT_EQ(counting.stats().bytes_in_use, 0u);
        // The output limit still cuts at the first piece that crosses it.
        options.max_output_bytes = pieces.text.size() - 1;
        vellum_error error;
        EXPECT_EQ(vellum_serialize_owned(&kOddMap, &record, &owned, &options, &error), VELLUM_STATUS_OVERFLOW);
        EXPECT_STREQ(error.message, "serializer-owned output exceeds max_output_bytes");
    }
}

// twitter.json's statuses mapped, written to a buffer, and read back: the same records.
TEST(SerializerInPlace, BenchmarkDocumentRoundTrip) {
    struct Tag {
        char *text;
    };
    static const vellum_field tag_fields[] = {VELLUM_FIELD_STRING(Tag, text, "text", 0)};
    static const vellum_map tag_map = VELLUM_MAP(Tag, tag_fields);
    struct Tweet {
        int64_t id;
        char *text;
        char *source;
        int64_t retweet_count;
        int32_t favorited;
        vellum_object_array hashtags;
    };
    static const vellum_field tweet_fields[] = {
        VELLUM_FIELD_I64(Tweet, id, "id", 0),
        VELLUM_FIELD_STRING(Tweet, text, "text", 0),
        VELLUM_FIELD_STRING(Tweet, source, "source", 0),
        VELLUM_FIELD_I64(Tweet, retweet_count, "retweet_count", 0),
        VELLUM_FIELD_BOOL(Tweet, favorited, "favorited", 0),
        VELLUM_FIELD_OBJECT_ARRAY(Tweet, hashtags, "hashtags", Tag, &tag_map, 0),
    };
    static const vellum_map tweet_map = VELLUM_MAP(Tweet, tweet_fields);
    struct Feed {
        vellum_object_array statuses;
    };
    static const vellum_field feed_fields[] = {
        VELLUM_FIELD_OBJECT_ARRAY(Feed, statuses, "statuses", Tweet, &tweet_map, 0)};
    static const vellum_map feed_map = VELLUM_MAP(Feed, feed_fields);

    std::string json = korvo::testing::read_file(korvo::testing::testdata_dir() + "/json/bench/twitter.json");
    Feed feed;
    vellum_error error;
    ASSERT_EQ(vellum_parse_buffer(&feed_map, &feed, json.data(), json.size(), nullptr, &error), VELLUM_STATUS_OK)
        << error.message;
    ASSERT_EQ(feed.statuses.count, 100u);
    for (int pretty = 0; pretty < 2; pretty++) {
        vellum_write_options options = vellum_default_write_options();
        options.pretty = pretty;
        Collected pieces;
        ASSERT_EQ(vellum_serialize_sink(&feed_map, &feed, collect, &pieces, &options, nullptr), VELLUM_STATUS_OK);
        std::vector<char> buffer(pieces.text.size() + 1);
        size_t length = 0;
        ASSERT_EQ(vellum_serialize_buffer(&feed_map, &feed, buffer.data(), buffer.size(), &length, &options, nullptr),
                  VELLUM_STATUS_OK);
        ASSERT_EQ(std::string(buffer.data(), length), pieces.text);
        Feed again;
        ASSERT_EQ(vellum_parse_buffer(&feed_map, &again, buffer.data(), length, nullptr, &error), VELLUM_STATUS_OK)
            << error.message;
        Collected second;
        ASSERT_EQ(vellum_serialize_sink(&feed_map, &again, collect, &second, &options, nullptr), VELLUM_STATUS_OK);
        EXPECT_EQ(second.text, pieces.text);
        vellum_cleanup(&feed_map, &again);
    }
    vellum_cleanup(&feed_map, &feed);
}


// Integers at every digit count and around every power of ten read as printf writes them, in
// place, through a sink and as array elements.
TEST(SerializerInPlace, IntegersAtEveryDigitCount) {
    std::vector<uint64_t> values = {0, 1, 9, 10, 11, 99, 100, 101, UINT64_MAX, UINT64_MAX - 1,
                                    uint64_t{INT64_MAX}, uint64_t{INT64_MAX} + 1};
    for (uint64_t power = 1; power <= UINT64_MAX / 10; power *= 10) {
        for (uint64_t near : {power * 10 - 1, power * 10, power * 10 + 1, power * 5, power * 2 - 1}) values.push_back(near);
    }
    std::mt19937_64 random(5);
    for (int k = 0; k < 2000; k++) values.push_back(random() >> (random() % 64));
    for (uint64_t v : values) {
        for (int64_t i : {static_cast<int64_t>(v), static_cast<int64_t>(0 - v), static_cast<int64_t>(v >> 1),
                          static_cast<int64_t>(0 - (v >> 1))}) {
            Numbers record{i, v, 0.5, 1};
            char expected[128];
            std::snprintf(expected, sizeof expected, "{\"i\":%lld,\"u\":%llu,\"f\":0.5,\"t\":true}",
                          static_cast<long long>(i), static_cast<unsigned long long>(v));
            char buffer[128];
            size_t length = 0;
            ASSERT_EQ(vellum_serialize_buffer(&kNumberMap, &record, buffer, sizeof buffer, &length, nullptr, nullptr),
                      VELLUM_STATUS_OK);
            ASSERT_STREQ(buffer, expected);
            ASSERT_EQ(to_json(&kNumberMap, &record), expected);
        }
    }
    std::vector<int64_t> items;
    for (uint64_t v : values) items.push_back(static_cast<int64_t>(v));
    Pair pair{-1, {items.data(), items.size(), items.size(), VELLUM_ARRAY_FIXED}};
    std::string expected = "{\"a\":-1,\"b\":[";
    for (size_t k = 0; k < items.size(); k++) expected += (k ? "," : "") + std::to_string(items[k]);
    expected += "]}";
    vellum_owned_buffer owned;
    ASSERT_EQ(vellum_serialize_owned(&kPairMap, &pair, &owned, nullptr, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(std::string(owned.data, owned.length), expected);
    vellum_owned_buffer_free(&owned);
}

}  // namespace
