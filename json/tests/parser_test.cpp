// The push parser through its public entry points: mapping rules, messages and positions,
// limits of the workspace, and the same outcome however the input is split.
#include "vellum.h"

#include "core.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using korvo::testing::CountingAllocator;
using korvo::testing::TempDir;

namespace {

// ---- a record that exercises most kinds --------------------------------------------------

struct Point {
    int64_t x;
    int64_t y;
    char *tag;
};
const vellum_field point_fields[] = {
    VELLUM_FIELD_I64(Point, x, "x", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_I64(Point, y, "y", 0),
    VELLUM_FIELD_STRING(Point, tag, "tag", 0),
};
const vellum_map point_map = VELLUM_MAP(Point, point_fields);

struct Doc {
    char *name;
    char code[6];
    int64_t i;
    uint64_t u;
    double f;
    int32_t f_present;
    int32_t b;
    Point origin;
    vellum_array strings;
    vellum_array ints;
    vellum_array uints;
    vellum_array floats;
    vellum_array bools;
    vellum_object_array points;
};
const vellum_field doc_fields[] = {
    VELLUM_FIELD_STRING(Doc, name, "name", 0),
    VELLUM_FIELD_FIXED_STRING(Doc, code, "code", VELLUM_OVERFLOW_TRUNCATE, 0),
    VELLUM_FIELD_I64(Doc, i, "i", 0),
    VELLUM_FIELD_U64(Doc, u, "u", 0),
    VELLUM_FIELD_PRESENT(Doc, f, "f", VELLUM_KIND_F64, f_present, 0),
    VELLUM_FIELD_BOOL(Doc, b, "b", 0),
    VELLUM_FIELD_OBJECT(Doc, origin, "origin", &point_map, 0),
    VELLUM_FIELD_ARRAY(Doc, strings, "strings", VELLUM_KIND_STRING_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Doc, ints, "ints", VELLUM_KIND_I64_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Doc, uints, "uints", VELLUM_KIND_U64_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Doc, floats, "floats", VELLUM_KIND_F64_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Doc, bools, "bools", VELLUM_KIND_BOOL_ARRAY, 0),
    VELLUM_FIELD_OBJECT_ARRAY(Doc, points, "points", Point, &point_map, 0),
};
const vellum_map doc_map = VELLUM_MAP(Doc, doc_fields);

std::string show_string(const char *text) { return text ? "\"" + std::string(text) + "\"" : "null"; }

std::string show_double(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

std::string show_point(const Point &p) {
    return "{x=" + std::to_string(p.x) + " y=" + std::to_string(p.y) + " tag=" + show_string(p.tag) + "}";
}

// A canonical text of everything the record holds, to compare parses.
std::string show(const Doc &d) {
    std::string out = "name=" + show_string(d.name) + " code=" + show_string(d.code) + " i=" + std::to_string(d.i) +
                      " u=" + std::to_string(d.u) + " f=" + show_double(d.f) + "/" + std::to_string(d.f_present) +
                      " b=" + std::to_string(d.b) + " origin=" + show_point(d.origin) + " strings=[";
    for (size_t k = 0; k < d.strings.count; k++) out += show_string(static_cast<char **>(d.strings.items)[k]) + ",";
    out += "] ints=[";
    for (size_t k = 0; k < d.ints.count; k++) out += std::to_string(static_cast<int64_t *>(d.ints.items)[k]) + ",";
    out += "] uints=[";
    for (size_t k = 0; k < d.uints.count; k++) out += std::to_string(static_cast<uint64_t *>(d.uints.items)[k]) + ",";
    out += "] floats=[";
    for (size_t k = 0; k < d.floats.count; k++) out += show_double(static_cast<double *>(d.floats.items)[k]) + ",";
    out += "] bools=[";
    for (size_t k = 0; k < d.bools.count; k++) out += std::to_string(static_cast<int32_t *>(d.bools.items)[k]) + ",";
    out += "] points=[";
    for (size_t k = 0; k < d.points.count; k++) out += show_point(static_cast<Point *>(d.points.items)[k]) + ",";
    return out + "]";
}

std::string show_error(vellum_status status, const vellum_error &e) {
    return std::to_string(status) + " code=" + std::to_string(e.code) + " '" + e.message + "' at " +
           std::to_string(e.line) + ":" + std::to_string(e.column) + " offset " + std::to_string(e.offset) +
           " truncated=" + std::to_string(e.truncated);
}

struct Outcome {
    std::string result;
    std::string record;
};

// A reader that hands out the document in pieces whose sizes come from `sizes` (cycled).
struct SplitReader {
    const std::string *text;
    size_t pos = 0;
    std::vector<size_t> sizes;
    size_t next = 0;

    static vellum_read_result read(void *user, void *buffer, size_t capacity) {
        auto *self = static_cast<SplitReader *>(user);
        vellum_read_result result{};
        size_t want = self->sizes.empty() ? capacity : self->sizes[self->next++ % self->sizes.size()];
        if (want > capacity) want = capacity;
        size_t left = self->text->size() - self->pos;
        size_t n = want < left ? want : left;
        std::memcpy(buffer, self->text->data() + self->pos, n);
        self->pos += n;
        result.bytes = n;
        result.eof = self->pos == self->text->size();
        return result;
    }
};

Outcome parse_whole(const std::string &json, const vellum_parse_options *options = nullptr) {
    Doc doc;
    vellum_error error;
    vellum_status status = vellum_parse_buffer(&doc_map, &doc, json.data(), json.size(), options, &error);
    Outcome outcome{show_error(status, error), show(doc)};
    vellum_cleanup(&doc_map, &doc);
    return outcome;
}

Outcome parse_split(const std::string &json, std::vector<size_t> sizes) {
    Doc doc;
    vellum_error error;
    SplitReader reader{&json, 0, std::move(sizes)};
    vellum_status status = vellum_parse_reader(&doc_map, &doc, SplitReader::read, &reader, nullptr, &error);
    Outcome outcome{show_error(status, error), show(doc)};
    vellum_cleanup(&doc_map, &doc);
    return outcome;
}

vellum_status parse_doc(const std::string &json, Doc *doc, vellum_error *error,
                        const vellum_parse_options *options = nullptr) {
    return vellum_parse_buffer(&doc_map, doc, json.data(), json.size(), options, error);
}

// Expects `json` to fail with status and message; returns the error for position checks.
vellum_error expect_failure(const std::string &json, vellum_status status, const char *message) {
    Doc doc;
    vellum_error error;
    EXPECT_EQ(parse_doc(json, &doc, &error), status) << json;
    EXPECT_STREQ(error.message, message) << json;
    EXPECT_EQ(error.code, status) << json;
    vellum_cleanup(&doc_map, &doc);
    return error;
}

const char *const kDocuments[] = {
    R"({"name":"alpha","code":"ab","i":-42,"u":18446744073709551615,"f":0.1,"b":true,)"
    R"("origin":{"x":1,"y":2,"tag":"o"},"strings":["a","\u00e9\ud83d\ude00","",null],"ints":[1,-2,3],)"
    R"("uints":[0,7],"floats":[1.5,-0.0,1e-400,2.2250738585072014e-308],"bools":[true,false],)"
    R"("points":[{"x":1},{"x":2,"y":3,"tag":"p"},{"x":-9223372036854775808}]})",
    "  {\n\t\"name\" : \"line\\nbreak \\\"quoted\\\" \\\\ \\/ \\b\\f\\r\\t\" ,\r\n \"i\":  7 } \n",
    R"({"unknown":{"deep":[1,2,{"x":[true,false,null]}],"s":"text"},"name":"after","more":[[[]]],"i":1})",
    R"({"code":"abcdefghij","name":"truncated fixed"})",
    R"({"f":123456789012345678901234567890,"floats":[3.141592653589793,1e22,1e23,5e-324,0.30000000000000004]})",
    R"({"i":1.5})",
    R"({"i":01})",
    R"({"u":-1})",
    R"({"name":"abc)",
    R"({"name":"\x"})",
    R"({"name":"\u12G4"})",
    R"({"name":"\ud800"})",
    R"({"name":"\udc00"})",
    R"({"name":"\ud800\u0041"})",
    "{\"name\":\"a\x01\"}",
    R"({"i":1,"i":2})",
    R"({"origin":{"y":1}})",
    R"({"ints":[1,"two"]})",
    R"({"ints":[[1]]})",
    R"({"points":[1]})",
    R"({"strings":[{}]})",
    R"({"b":null})",
    R"({"name":12})",
    R"({"i":"12"})",
    R"({"origin":[]})",
    R"({"i":{}})",
    R"({"name":true})",
    R"({"a":1,})",
    R"({"ints":[1,]})",
    R"({"a" 1})",
    R"({"a":1 "b":2})",
    R"({"ints":[1 2]})",
    R"({1:2})",
    R"({"i":tru})",
    R"({"i":nul})",
    R"({"i":1}x)",
    R"({"i":1} {})",
    R"([1,2])",
    R"("text")",
    "",
    "   ",
    R"({"i":)",
    R"({"i":12)",
    R"({"name":"x")",
    R"({"f":1e400})",
    R"({"f":-)",
    R"({"floats":[1.0e+,2]})",
    R"({"i":9223372036854775807,"u":0})",
    R"({"i":-9223372036854775809})",
    "{\n  \"p\": 1,\n  \"q\": [1, 2,\n    oops]\n}",
};

TEST(ParserDifferential, SplitsGiveTheSameRecordAndError) {
    std::mt19937 random(12345);
    for (const char *text : kDocuments) {
        std::string json = text;
        Outcome whole = parse_whole(json);
        Outcome bytes = parse_split(json, {1});
        EXPECT_EQ(bytes.result, whole.result) << json;
        EXPECT_EQ(bytes.record, whole.record) << json;
        for (int round = 0; round < 8; round++) {
            std::vector<size_t> sizes;
            for (int k = 0; k < 16; k++) sizes.push_back(1 + random() % 9);
            Outcome split = parse_split(json, sizes);
            EXPECT_EQ(split.result, whole.result) << json;
            EXPECT_EQ(split.record, whole.record) << json;
        }
    }
}

TEST(ParserDifferential, LongRunsAcrossReadBoundaries) {
    std::string long_name(3000, 'n');
    long_name[1500] = '\\';
    long_name.insert(1501, "u00e9");
    std::string json = "{\"name\":\"" + long_name + "\",\"ints\":[" ;
    for (int k = 0; k < 400; k++) json += std::to_string(k * 7919) + (k + 1 < 400 ? "," : "");
    json += "],\"unknown\":\"" + std::string(20000, 'u') + "\"}";
    Outcome whole = parse_whole(json);
    EXPECT_EQ(whole.result.rfind("0 code=0 ''", 0), 0u) << whole.result;
    EXPECT_EQ(parse_split(json, {1}).record, whole.record);
    EXPECT_EQ(parse_split(json, {1023, 1, 7}).record, whole.record);
    EXPECT_EQ(parse_split(json, {}).record, whole.record);
}

TEST(ParserMapping, EveryKindLandsInTheRecord) {
    Doc doc;
    vellum_error error;
    ASSERT_EQ(parse_doc(kDocuments[0], &doc, &error), VELLUM_STATUS_OK) << error.message;
    EXPECT_STREQ(doc.name, "alpha");
    EXPECT_STREQ(doc.code, "ab");
    EXPECT_EQ(doc.i, -42);
    EXPECT_EQ(doc.u, UINT64_MAX);
    EXPECT_EQ(doc.f, 0.1);
    EXPECT_EQ(doc.f_present, 1);
    EXPECT_EQ(doc.b, 1);
    EXPECT_EQ(doc.origin.x, 1);
    EXPECT_STREQ(doc.origin.tag, "o");
    ASSERT_EQ(doc.strings.count, 4u);
    auto **strings = static_cast<char **>(doc.strings.items);
    EXPECT_STREQ(strings[1], "\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_STREQ(strings[2], "");
    EXPECT_STREQ(strings[3], "");  // a null element is an empty string
    ASSERT_EQ(doc.floats.count, 4u);
    auto *floats = static_cast<double *>(doc.floats.items);
    EXPECT_TRUE(std::signbit(floats[1]));
    EXPECT_EQ(floats[2], 0.0);  // underflow is stored, not rejected
    EXPECT_EQ(floats[3], 2.2250738585072014e-308);
    ASSERT_EQ(doc.points.count, 3u);
    auto *points = static_cast<Point *>(doc.points.items);
    EXPECT_EQ(points[1].y, 3);
    EXPECT_STREQ(points[1].tag, "p");
    EXPECT_EQ(points[2].x, INT64_MIN);
    EXPECT_EQ(doc.points.elem_size, sizeof(Point));
    vellum_cleanup(&doc_map, &doc);
}

TEST(ParserMapping, UnknownKeysAreSkippedWhateverTheirSize) {
    Doc doc;
    vellum_error error;
    std::string json = R"({"big":")" + std::string(100000, 'z') + R"(","deep":{"k":[{"x":1}]},"i":5})";
    ASSERT_EQ(parse_doc(json, &doc, &error), VELLUM_STATUS_OK) << error.message;
    EXPECT_EQ(doc.i, 5);
    vellum_cleanup(&doc_map, &doc);
}

TEST(ParserMapping, RequiredFields) {
    vellum_error error;
    Point point;
    EXPECT_EQ(vellum_parse_cstr(&point_map, &point, "{}", nullptr, &error), VELLUM_STATUS_MISSING_REQUIRED_FIELD);
    EXPECT_STREQ(error.message, "missing required field 'x'");
    EXPECT_EQ(error.offset, 2u);
    vellum_cleanup(&point_map, &point);
    EXPECT_EQ(vellum_parse_cstr(&doc_map, nullptr, "{}", nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    Doc doc;
    EXPECT_EQ(vellum_parse_cstr(&doc_map, &doc, "{}", nullptr, &error), VELLUM_STATUS_OK);
    vellum_cleanup(&doc_map, &doc);
    // Nested and element records check their own required fields.
    expect_failure(R"({"points":[{"x":1},{"y":2}]})", VELLUM_STATUS_MISSING_REQUIRED_FIELD,
                   "missing required field 'x'");
}

// The first REQUIRED field in map order is named; maps beyond 64 fields use the arena's seen bytes.
TEST(ParserMapping, RequiredAndDuplicatesInLargeMaps) {
    constexpr int kFields = 70;
    struct Wide {
        int64_t v[kFields];
    };
    static std::string names[kFields];
    static vellum_field fields[kFields];
    for (int k = 0; k < kFields; k++) {
        names[k] = "f" + std::to_string(k);
        fields[k] = vellum_field{};
        fields[k].name = names[k].c_str();
        fields[k].name_len = names[k].size();
        fields[k].name_first = names[k].front();
        fields[k].name_last = names[k].back();
        fields[k].offset = offsetof(Wide, v) + k * sizeof(int64_t);
        fields[k].kind = VELLUM_KIND_I64;
        fields[k].flags = (k == 66 || k == 68) ? VELLUM_FIELD_REQUIRED : 0;
    }
    vellum_map map = {"wide", sizeof(Wide), fields, kFields};
    Wide wide;
    vellum_error error;
    EXPECT_EQ(vellum_parse_cstr(&map, &wide, R"({"f66":1,"f3":2})", nullptr, &error),
              VELLUM_STATUS_MISSING_REQUIRED_FIELD);
    EXPECT_STREQ(error.message, "missing required field 'f68'");
    EXPECT_EQ(vellum_parse_cstr(&map, &wide, R"({"f68":1,"f69":2,"f66":3})", nullptr, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(wide.v[69], 2);
    EXPECT_EQ(vellum_parse_cstr(&map, &wide, R"({"f68":1,"f66":3,"f68":4})", nullptr, &error),
              VELLUM_STATUS_DUPLICATE_FIELD);
    EXPECT_STREQ(error.message, "duplicate field 'f68'");
}

TEST(ParserMapping, DuplicatesRejectedOrReplaced) {
    expect_failure(R"({"i":1,"i":2})", VELLUM_STATUS_DUPLICATE_FIELD, "duplicate field 'i'");
    vellum_parse_options options = vellum_default_parse_options();
    options.reject_duplicates = 0;
    CountingAllocator counting;
    options.allocator = counting.get();
    Doc doc;
    vellum_error error;
    ASSERT_EQ(parse_doc(R"({"i":1,"i":2,"name":"first","name":"second","ints":[1,2,3],"ints":[4],)"
                        R"("origin":{"x":1,"tag":"a"},"origin":{"x":2}})",
                        &doc, &error, &options),
              VELLUM_STATUS_OK)
        << error.message;
    EXPECT_EQ(doc.i, 2);
    EXPECT_STREQ(doc.name, "second");
    ASSERT_EQ(doc.ints.count, 1u);
    EXPECT_EQ(static_cast<int64_t *>(doc.ints.items)[0], 4);
    EXPECT_EQ(doc.origin.x, 2);
    EXPECT_EQ(doc.origin.tag, nullptr);
    vellum_cleanup(&doc_map, &doc);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);  // replaced values were released
}

TEST(ParserMapping, MergeWithoutClearingKeepsEarlierValues) {
    vellum_parse_options options = vellum_default_parse_options();
    options.clear_destination = 0;
    Doc doc;
    vellum_init(&doc_map, &doc);
    vellum_error error;
    ASSERT_EQ(parse_doc(R"({"name":"one","i":1})", &doc, &error, &options), VELLUM_STATUS_OK);
    ASSERT_EQ(parse_doc(R"({"u":2,"name":"two"})", &doc, &error, &options), VELLUM_STATUS_OK);
    EXPECT_EQ(doc.i, 1);
    EXPECT_EQ(doc.u, 2u);
    EXPECT_STREQ(doc.name, "two");
    vellum_cleanup(&doc_map, &doc);
}

TEST(ParserMapping, RootMustBeAnObject) {
    expect_failure("[1]", VELLUM_STATUS_TYPE_MISMATCH, "root value must be an object");
    expect_failure("\"s\"", VELLUM_STATUS_TYPE_MISMATCH, "root value must be an object");
    expect_failure("12", VELLUM_STATUS_TYPE_MISMATCH, "root value must be an object");
    vellum_error error;
    EXPECT_EQ(vellum_validate_cstr("[1]", &error), VELLUM_STATUS_OK);
    expect_failure(R"({} {})", VELLUM_STATUS_INVALID_JSON, "unexpected trailing data");
    expect_failure("", VELLUM_STATUS_INVALID_JSON, "incomplete JSON document");
}

TEST(ParserMapping, IntegerBoundaries) {
    Doc doc;
    vellum_error error;
    ASSERT_EQ(parse_doc(R"({"i":9223372036854775807})", &doc, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(doc.i, INT64_MAX);
    ASSERT_EQ(parse_doc(R"({"i":-9223372036854775808})", &doc, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(doc.i, INT64_MIN);
    ASSERT_EQ(parse_doc(R"({"i":-0})", &doc, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(doc.i, 0);
    expect_failure(R"({"i":9223372036854775808})", VELLUM_STATUS_TYPE_MISMATCH, "expected integer for 'i'");
    expect_failure(R"({"i":1.0})", VELLUM_STATUS_TYPE_MISMATCH, "expected integer for 'i'");
    expect_failure(R"({"i":1e2})", VELLUM_STATUS_TYPE_MISMATCH, "expected integer for 'i'");
    expect_failure(R"({"i":01})", VELLUM_STATUS_TYPE_MISMATCH, "expected integer for 'i'");
    expect_failure(R"({"other":01})", VELLUM_STATUS_INVALID_JSON, "invalid JSON number");
    expect_failure(R"({"u":18446744073709551616})", VELLUM_STATUS_TYPE_MISMATCH,
                   "expected unsigned integer for 'u'");
    expect_failure(R"({"u":-1})", VELLUM_STATUS_TYPE_MISMATCH, "expected unsigned integer for 'u'");
    expect_failure(R"({"ints":[1,2.5]})", VELLUM_STATUS_TYPE_MISMATCH, "expected integer for 'ints'");
    ASSERT_EQ(parse_doc(R"({"f":5})", &doc, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(doc.f, 5.0);
    vellum_cleanup(&doc_map, &doc);
}

// Doubles convert exactly as strtod does, so "%.17g" output always reads back unchanged.
TEST(ParserMapping, DoublesRoundTripExactly) {
    std::mt19937_64 random(99);
    Doc doc;
    vellum_error error;
    for (int k = 0; k < 20000; k++) {
        uint64_t bits = random();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        if (!std::isfinite(value)) continue;
        char text[64];
        std::snprintf(text, sizeof text, "{\"f\":%.17g}", value);
        ASSERT_EQ(vellum_parse_cstr(&doc_map, &doc, text, nullptr, &error), VELLUM_STATUS_OK) << text;
        ASSERT_EQ(std::memcmp(&doc.f, &value, sizeof value), 0) << text;
    }
    const char *hard[] = {"2.2250738585072011e-308", "9007199254740993", "0.1e1", "123456789012345678901234567890e-10",
                          "1.7976931348623157e308", "4.9406564584124654e-324", "-1e-400"};
    for (const char *number : hard) {
        std::string json = std::string("{\"f\":") + number + "}";
        ASSERT_EQ(parse_doc(json, &doc, &error), VELLUM_STATUS_OK) << json;
        EXPECT_EQ(doc.f, std::strtod(number, nullptr)) << number;
    }
    expect_failure(R"({"f":1e400})", VELLUM_STATUS_TYPE_MISMATCH, "expected number for 'f'");
    expect_failure(R"({"f":-1.8e308})", VELLUM_STATUS_TYPE_MISMATCH, "expected number for 'f'");
    expect_failure(R"({"f":.5})", VELLUM_STATUS_INVALID_JSON, "expected JSON value");
    expect_failure(R"({"f":1.})", VELLUM_STATUS_TYPE_MISMATCH, "expected number for 'f'");
    vellum_cleanup(&doc_map, &doc);
}

// Short decimals, where an exact conversion applies, and their neighbours just past its
// limits (more digits, larger exponents, mantissas beyond 2^53) read as strtod reads them, bit
// for bit, in every spelling, negative zero included.
TEST(ParserMapping, ShortDecimalsConvertLikeStrtod) {
    std::mt19937_64 random(2024);
    Doc doc;
    vellum_error error;
    std::vector<std::string> numbers = {"0", "-0", "0.0", "-0.0", "0e5", "-0e-5", "9007199254740992",
                                        "9007199254740993", "9007199254740992e1", "1e22", "1e23", "1e-22",
                                        "1e-23", "4.5e15", "1234567890123456789", "12345678901234567890",
                                        "0.000001", "3.0e+2", "7E-1", "1.7976931348623157e308"};
    for (int k = 0; k < 30000; k++) {
        int digits = 1 + static_cast<int>(random() % 21);
        std::string mantissa;
        for (int d = 0; d < digits; d++) mantissa += static_cast<char>('0' + random() % 10);
        while (mantissa.size() > 1 && mantissa[0] == '0') mantissa.erase(0, 1);
        std::string text = (random() % 4 == 0 ? "-" : "") + mantissa;
        if (random() % 2) {
            size_t point = 1 + random() % 8;
            std::string fraction;
            for (size_t d = 0; d < point; d++) fraction += static_cast<char>('0' + random() % 10);
            text += "." + fraction;
        }
        if (random() % 2) text += (random() % 2 ? "e" : "E") + std::to_string(static_cast<int>(random() % 60) - 30);
        numbers.push_back(text);
    }
    for (const std::string &number : numbers) {
        std::string json = "{\"f\":" + number + "}";
        ASSERT_EQ(parse_doc(json, &doc, &error), VELLUM_STATUS_OK) << json << " " << error.message;
        double expected = std::strtod(number.c_str(), nullptr);
        ASSERT_EQ(std::memcmp(&doc.f, &expected, sizeof expected), 0) << number;
        ASSERT_EQ(doc.f_present, 1);
    }
    vellum_cleanup(&doc_map, &doc);
}

TEST(ParserMapping, FixedStringPolicies) {
    struct Fixed {
        char s[4];
    };
    for (int policy : {VELLUM_OVERFLOW_FAIL, VELLUM_OVERFLOW_TRUNCATE, VELLUM_OVERFLOW_TRUNCATE_SILENT}) {
        const vellum_field fields[] = {VELLUM_FIELD_FIXED_STRING(Fixed, s, "s", static_cast<vellum_overflow>(policy), 0)};
        const vellum_map map = VELLUM_MAP(Fixed, fields);
        Fixed fixed;
        vellum_error error;
        vellum_status status = vellum_parse_cstr(&map, &fixed, R"({"s":"abcdef"})", nullptr, &error);
        if (policy == VELLUM_OVERFLOW_FAIL) {
            EXPECT_EQ(status, VELLUM_STATUS_OVERFLOW);
            EXPECT_STREQ(error.message, "string field 's' exceeds fixed capacity");
        } else {
            EXPECT_EQ(status, VELLUM_STATUS_TRUNCATED);
            EXPECT_STREQ(fixed.s, "abc");
            EXPECT_EQ(error.truncated, 1);
            EXPECT_EQ(error.code, 0);
        }
        ASSERT_EQ(vellum_parse_cstr(&map, &fixed, R"({"s":"a\u0000b"})", nullptr, &error), VELLUM_STATUS_OK);
        EXPECT_STREQ(fixed.s, "a");  // an embedded NUL ends the text early
        ASSERT_EQ(vellum_parse_cstr(&map, &fixed, R"({"s":null})", nullptr, &error), VELLUM_STATUS_OK);
        EXPECT_STREQ(fixed.s, "");
    }
}

TEST(ParserMapping, EmbeddedNulInDynamicStrings) {
    expect_failure(R"({"name":"a\u0000b"})", VELLUM_STATUS_TYPE_MISMATCH,
                   "field 'name' contains embedded NUL unsupported by C strings");
    expect_failure(R"({"strings":["\u0000"]})", VELLUM_STATUS_TYPE_MISMATCH,
                   "array 'strings' contains embedded NUL unsupported by C strings");
}

TEST(ParserMapping, ShapeMismatchMessages) {
    expect_failure(R"({"b":null})", VELLUM_STATUS_TYPE_MISMATCH, "null is not allowed for 'b'");
    expect_failure(R"({"name":12})", VELLUM_STATUS_TYPE_MISMATCH, "numeric value does not match field 'name'");
    expect_failure(R"({"i":"12"})", VELLUM_STATUS_TYPE_MISMATCH, "expected string field 'i'");
    expect_failure(R"({"name":true})", VELLUM_STATUS_TYPE_MISMATCH, "boolean value does not match field 'name'");
    expect_failure(R"({"i":{}})", VELLUM_STATUS_TYPE_MISMATCH, "field 'i' expects non-object value");
    expect_failure(R"({"origin":[]})", VELLUM_STATUS_TYPE_MISMATCH, "field 'origin' is not an array");
    expect_failure(R"({"ints":[[1]]})", VELLUM_STATUS_TYPE_MISMATCH, "field 'ints' does not accept nested arrays");
    expect_failure(R"({"ints":[{}]})", VELLUM_STATUS_TYPE_MISMATCH, "array 'ints' expects scalar elements");
    expect_failure(R"({"ints":["x"]})", VELLUM_STATUS_TYPE_MISMATCH, "array 'ints' expects integers");
    expect_failure(R"({"uints":[true]})", VELLUM_STATUS_TYPE_MISMATCH, "array 'uints' expects unsigned integers");
    expect_failure(R"({"floats":[null]})", VELLUM_STATUS_TYPE_MISMATCH, "array 'floats' expects numbers");
    expect_failure(R"({"bools":[1]})", VELLUM_STATUS_TYPE_MISMATCH, "array 'bools' expects booleans");
    expect_failure(R"({"strings":[1]})", VELLUM_STATUS_TYPE_MISMATCH, "array 'strings' expects strings");
    expect_failure(R"({"points":[1]})", VELLUM_STATUS_TYPE_MISMATCH,
                   "field 'points' does not accept scalar array values");
}

TEST(ParserMapping, NullClearsContainersAndStrings) {
    vellum_parse_options options = vellum_default_parse_options();
    options.reject_duplicates = 0;
    Doc doc;
    vellum_error error;
    ASSERT_EQ(parse_doc(R"({"name":"x","name":null,"ints":[1],"ints":null,"origin":{"x":4,"tag":"t"},"origin":null})",
                        &doc, &error, &options),
              VELLUM_STATUS_OK)
        << error.message;
    EXPECT_EQ(doc.name, nullptr);
    EXPECT_EQ(doc.ints.count, 0u);
    EXPECT_EQ(doc.ints.items, nullptr);
    EXPECT_EQ(doc.origin.x, 0);
    EXPECT_EQ(doc.origin.tag, nullptr);
    vellum_cleanup(&doc_map, &doc);
}

TEST(ParserSyntax, StructureMessagesAndPositions) {
    EXPECT_EQ(expect_failure(R"({"a":1,})", VELLUM_STATUS_INVALID_JSON, "trailing comma in object").offset, 8u);
    expect_failure(R"({"ints":[1,]})", VELLUM_STATUS_INVALID_JSON, "trailing comma in array");
    expect_failure(R"({"a" 1})", VELLUM_STATUS_INVALID_JSON, "expected ':' after object key");
    expect_failure(R"({"a":1 "b":2})", VELLUM_STATUS_INVALID_JSON, "expected ',' or '}' in object");
    expect_failure(R"({"ints":[1 2]})", VELLUM_STATUS_INVALID_JSON, "expected ',' or ']' in array");
    expect_failure(R"({1:2})", VELLUM_STATUS_INVALID_JSON, "expected object key");
    expect_failure(R"({"a":})", VELLUM_STATUS_INVALID_JSON, "expected JSON value");
    expect_failure(R"({"ints":[,1]})", VELLUM_STATUS_INVALID_JSON, "expected array value");
    expect_failure(R"({"i":tru})", VELLUM_STATUS_INVALID_JSON, "invalid literal");
    expect_failure(R"({"i":1)", VELLUM_STATUS_INVALID_JSON, "incomplete JSON document");
    expect_failure(R"({"name":"x)", VELLUM_STATUS_INVALID_JSON, "incomplete JSON token at end of input");
    expect_failure(R"({"i":nul)", VELLUM_STATUS_INVALID_JSON, "incomplete JSON token at end of input");
    vellum_error error = expect_failure("{\n  \"p\": 1,\n  \"q\": [1, 2,\n    oops]\n}", VELLUM_STATUS_INVALID_JSON,
                                        "expected array value");
    EXPECT_EQ(error.line, 4u);
    EXPECT_EQ(error.column, 5u);
    EXPECT_EQ(error.offset, 31u);
}

TEST(ParserSyntax, StringEscapes) {
    Doc doc;
    vellum_error error;
    ASSERT_EQ(parse_doc(R"({"name":"\ud83d\ude00 \u00e9 \u20ac \" \\ \/ \b\f\n\r\t"})", &doc, &error), VELLUM_STATUS_OK);
    EXPECT_STREQ(doc.name, "\xF0\x9F\x98\x80 \xC3\xA9 \xE2\x82\xAC \" \\ / \b\f\n\r\t");
    vellum_cleanup(&doc_map, &doc);
    ASSERT_EQ(parse_doc("{\"name\":\"raw \xC3\xA9\xFF bytes\"}", &doc, &error), VELLUM_STATUS_OK);
    EXPECT_STREQ(doc.name, "raw \xC3\xA9\xFF bytes");
    vellum_cleanup(&doc_map, &doc);
    expect_failure(R"({"name":"\x"})", VELLUM_STATUS_INVALID_JSON, "invalid escape sequence");
    expect_failure(R"({"name":"\u12G4"})", VELLUM_STATUS_INVALID_JSON, "invalid unicode escape");
    expect_failure(R"({"name":"\udc00"})", VELLUM_STATUS_INVALID_JSON, "unexpected low surrogate");
    expect_failure(R"({"name":"\ud800"})", VELLUM_STATUS_INVALID_JSON, "unterminated unicode surrogate pair");
    expect_failure(R"({"name":"\ud800\u0041"})", VELLUM_STATUS_INVALID_JSON, "invalid unicode surrogate pair");
    expect_failure(R"({"name":"\ud800x"})", VELLUM_STATUS_INVALID_JSON, "invalid unicode surrogate pair");
    expect_failure("{\"name\":\"a\x01\"}", VELLUM_STATUS_INVALID_JSON, "control character in string literal");
    vellum_error e = expect_failure("{\"name\":\"ab\ncd\"}", VELLUM_STATUS_INVALID_JSON,
                                    "control character in string literal");
    EXPECT_EQ(e.line, 2u);
    EXPECT_EQ(e.column, 0u);
    EXPECT_EQ(e.offset, 12u);
}

TEST(ParserLimits, NestingDepth) {
    vellum_error error;
    std::string deep64 = std::string(64, '[') + std::string(64, ']');
    EXPECT_EQ(vellum_validate_cstr(deep64.c_str(), &error), VELLUM_STATUS_OK);
    std::string deep65 = std::string(65, '[') + std::string(65, ']');
    EXPECT_EQ(vellum_validate_cstr(deep65.c_str(), &error), VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(error.message, "maximum nesting depth exceeded");
    EXPECT_EQ(error.offset, 65u);

    // With no depth limit the arena holds 73 frames.
    vellum_parse_options options = vellum_default_parse_options();
    options.max_depth = 0;
    auto nested = [](int depth) {
        std::string json;
        for (int k = 0; k < depth; k++) json += "{\"a\":";
        json += "1";
        for (int k = 0; k < depth; k++) json += "}";
        return json;
    };
    Doc doc;
    std::string fits = nested(73);
    EXPECT_EQ(parse_doc(fits, &doc, &error, &options), VELLUM_STATUS_OK) << error.message;
    std::string too_deep = nested(74);
    EXPECT_EQ(parse_doc(too_deep, &doc, &error, &options), VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(error.message, "parser workspace exhausted by nesting depth");
    vellum_cleanup(&doc_map, &doc);
}

TEST(ParserLimits, TokensShareTheArena) {
    // A DYNAMIC string value lives in the token buffer, which is the arena's free space.
    std::string json = R"({"name":")" + std::string(5000, 'x') + R"("})";
    expect_failure(json, VELLUM_STATUS_ALLOCATION_FAILED, "failed to append string");
    std::string fits = R"({"name":")" + std::string(4000, 'x') + R"("})";
    Doc doc;
    vellum_error error;
    ASSERT_EQ(parse_doc(fits, &doc, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(std::strlen(doc.name), 4000u);
    std::string number = R"({"i":1)" + std::string(5000, '0') + "}";
    expect_failure(number, VELLUM_STATUS_ALLOCATION_FAILED, "failed to append number");
    std::string key = "{\"" + std::string(5000, 'k') + "\":1}";
    expect_failure(key, VELLUM_STATUS_ALLOCATION_FAILED, "failed to append string");
    vellum_cleanup(&doc_map, &doc);
}

TEST(ParserValidate, ScalarsAndEndOfInput) {
    vellum_error error;
    EXPECT_EQ(vellum_validate_cstr("12", &error), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_validate_cstr(" -0.5e+3 ", &error), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_validate_cstr("\"x\"", &error), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_validate_cstr("null", &error), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_validate_cstr("1 2", &error), VELLUM_STATUS_INVALID_JSON);
    EXPECT_STREQ(error.message, "unexpected trailing data");
    EXPECT_EQ(vellum_validate_cstr("-", &error), VELLUM_STATUS_INVALID_JSON);
    EXPECT_STREQ(error.message, "invalid JSON number");
    EXPECT_EQ(vellum_validate_cstr("}", &error), VELLUM_STATUS_INVALID_JSON);
    EXPECT_STREQ(error.message, "expected JSON value");
    EXPECT_EQ(vellum_validate_buffer(nullptr, 0, &error), VELLUM_STATUS_INVALID_JSON);
    EXPECT_STREQ(error.message, "incomplete JSON document");
    EXPECT_EQ(vellum_validate_buffer(nullptr, 3, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "buffer is required");
    EXPECT_EQ(vellum_validate_cstr(nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "json string is required");
}

vellum_read_result failing_reader(void *, void *, size_t) {
    vellum_read_result result{};
    result.error = EPIPE;
    return result;
}

TEST(ParserSources, ReadersFilesDescriptorsAndPaths) {
    TempDir dir;
    std::string path = dir.write("doc.json", kDocuments[0]);
    Doc doc;
    vellum_error error;
    ASSERT_EQ(vellum_parse_path(&doc_map, &doc, path.c_str(), nullptr, &error), VELLUM_STATUS_OK) << error.message;
    EXPECT_EQ(show(doc), parse_whole(kDocuments[0]).record);
    vellum_cleanup(&doc_map, &doc);
    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(vellum_parse_filep(&doc_map, &doc, file, nullptr, &error), VELLUM_STATUS_OK);
    vellum_cleanup(&doc_map, &doc);
    std::rewind(file);
    EXPECT_EQ(vellum_validate_filep(file, &error), VELLUM_STATUS_OK);
    std::fclose(file);
    EXPECT_EQ(vellum_validate_path(path.c_str(), &error), VELLUM_STATUS_OK);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string body = R"({"i":77})";
    ASSERT_EQ(write(fds[1], body.data(), body.size()), static_cast<ssize_t>(body.size()));
    close(fds[1]);
    ASSERT_EQ(vellum_parse_reader(&doc_map, &doc, vellum_fd_reader, &fds[0], nullptr, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(doc.i, 77);
    close(fds[0]);

    EXPECT_EQ(vellum_parse_reader(&doc_map, &doc, failing_reader, nullptr, nullptr, &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(error.message, "reader callback failed");
    EXPECT_EQ(error.system_errno, EPIPE);
    EXPECT_EQ(vellum_parse_reader(&doc_map, &doc, nullptr, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "reader callback is required");
    EXPECT_EQ(vellum_parse_filep(&doc_map, &doc, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "file pointer is required");
    EXPECT_EQ(vellum_parse_path(&doc_map, &doc, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "path is required");

    std::string missing = dir.file("missing.json");
    EXPECT_EQ(vellum_parse_path(&doc_map, &doc, missing.c_str(), nullptr, &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_EQ(std::string(error.message), "failed to open '" + missing + "'");
    EXPECT_EQ(error.system_errno, ENOENT);
    EXPECT_EQ(error.line, 0u);
    EXPECT_EQ(vellum_validate_path(missing.c_str(), &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_EQ(error.line, 1u);
    vellum_cleanup(&doc_map, &doc);
}

// ---- streamed kinds --------------------------------------------------------------------------

struct Chunks {
    std::string events;
    int fail_on_chunk = 0;
    int chunks = 0;
};
int chunk_begin(void *user, vellum_error *) {
    static_cast<Chunks *>(user)->events += "<";
    return 0;
}
int chunk_data(void *user, const char *data, size_t len, vellum_error *error) {
    auto *chunks = static_cast<Chunks *>(user);
    if (chunks->fail_on_chunk && ++chunks->chunks == chunks->fail_on_chunk) {
        std::snprintf(error->message, sizeof error->message, "stop here");
        return VELLUM_STATUS_CALLBACK_FAILED;
    }
    chunks->events.append(data, len);
    return VELLUM_STATUS_TRUNCATED;  // a warning does not stop the parse
}
int chunk_end(void *user, vellum_error *) {
    static_cast<Chunks *>(user)->events += ">";
    return 0;
}

struct Streamed {
    int64_t id;
    vellum_string_array_stream keys;
};
const vellum_field streamed_fields[] = {
    VELLUM_FIELD_I64(Streamed, id, "id", 0),
    VELLUM_FIELD_OF_KIND(Streamed, keys, "keys", VELLUM_KIND_STRING_ARRAY_STREAM, 0),
};
const vellum_map streamed_map = VELLUM_MAP(Streamed, streamed_fields);

TEST(ParserStreamedKinds, StringArrayStreamDeliversItems) {
    Streamed record;
    vellum_string_array_stream_init(&record.keys);
    Chunks chunks;
    vellum_string_chunk_handler handler = {chunk_begin, chunk_data, chunk_end};
    vellum_error error;
    ASSERT_EQ(vellum_string_array_stream_set_handler(&record.keys, &handler, &chunks, &error), VELLUM_STATUS_OK);
    // Clearing the destination keeps the handler.
    ASSERT_EQ(vellum_parse_cstr(&streamed_map, &record, R"({"id":1,"keys":["a\u00e9","",  "x\"y"]})", nullptr,
                                &error),
              VELLUM_STATUS_OK)
        << error.message;
    EXPECT_EQ(chunks.events, "<a\xC3\xA9><><x\"y>");
    EXPECT_EQ(record.keys.active, 0);

    expect_failure("", VELLUM_STATUS_INVALID_JSON, "incomplete JSON document");
    EXPECT_EQ(vellum_parse_cstr(&streamed_map, &record, R"({"keys":[1]})", nullptr, &error),
              VELLUM_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(error.message, "array 'keys' expects strings");

    chunks = Chunks{};
    chunks.fail_on_chunk = 2;
    EXPECT_EQ(vellum_parse_cstr(&streamed_map, &record, R"({"keys":["one","two"]})", nullptr, &error),
              VELLUM_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(error.message, "stop here");

    Streamed bare;
    std::memset(&bare, 0, sizeof bare);
    EXPECT_EQ(vellum_parse_cstr(&streamed_map, &bare, R"({"keys":["a"]})", nullptr, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "string array stream field 'keys' has no chunk handler");
    EXPECT_EQ(vellum_string_array_stream_set_handler(&record.keys, nullptr, nullptr, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "string array stream and chunk handler are required");
}

struct Blob {
    vellum_spooled text;
    vellum_spooled bytes;
    vellum_source source;
};
const vellum_field blob_fields[] = {
    VELLUM_FIELD_SPOOLED(Blob, text, "text", VELLUM_KIND_SPOOLED_TEXT, nullptr, 0),
    VELLUM_FIELD_SPOOLED(Blob, bytes, "bytes", VELLUM_KIND_SPOOLED_BYTES, nullptr, 0),
    VELLUM_FIELD_OF_KIND(Blob, source, "source", VELLUM_KIND_SOURCE_TEXT, 0),
};
const vellum_map blob_map = VELLUM_MAP(Blob, blob_fields);

std::string read_spooled(vellum_spooled *spooled) {
    vellum_error error;
    EXPECT_EQ(vellum_spooled_rewind(spooled, &error), VELLUM_STATUS_OK);
    std::string out;
    char buffer[100];
    for (;;) {
        vellum_read_result result = vellum_spooled_read(spooled, buffer, sizeof buffer);
        out.append(buffer, result.bytes);
        if (result.eof || result.error || result.bytes == 0) break;
    }
    return out;
}

TEST(ParserStreamedKinds, SpooledTextAndBase64Bytes) {
    Blob blob;
    vellum_error error;
    std::string big(200000, 'q');
    std::string json = R"({"text":"esc\n\u00e9)" + big + R"(","bytes":"AAEC/+8=","source":null})";
    ASSERT_EQ(vellum_parse_buffer(&blob_map, &blob, json.data(), json.size(), nullptr, &error), VELLUM_STATUS_OK)
        << error.message;
    EXPECT_EQ(read_spooled(&blob.text), "esc\n\xC3\xA9" + big);
    EXPECT_EQ(vellum_spooled_spilled(&blob.text), 1);
    EXPECT_EQ(read_spooled(&blob.bytes), std::string("\x00\x01\x02\xff\xef", 5));
    vellum_cleanup(&blob_map, &blob);

    struct Case {
        const char *json;
        const char *message;
    };
    const Case cases[] = {
        {R"({"bytes":"AA*A"})", "invalid base64 character in streamed field"},
        {R"({"bytes":"A==="})", "invalid base64 quartet in streamed field"},
        {R"({"bytes":"AB=C"})", "invalid base64 padding in streamed field"},
        {R"({"bytes":"AB==AAAA"})", "non-padding base64 data after padding"},
        {R"({"bytes":"ABC"})", "incomplete base64 quartet in streamed field"},
        {R"({"source":"x"})", "field 'source' is serialize-only and cannot be parsed from JSON"},
    };
    for (const Case &c : cases) {
        EXPECT_NE(vellum_parse_cstr(&blob_map, &blob, c.json, nullptr, &error), VELLUM_STATUS_OK) << c.json;
        EXPECT_STREQ(error.message, c.message) << c.json;
        vellum_cleanup(&blob_map, &blob);
    }
}

TEST(ParserStreamedKinds, SpooledLimitFailsAtTheCrossingByte) {
    static const vellum_spool_options small = {4, 6, nullptr};
    struct Limited {
        vellum_spooled text;
    };
    const vellum_field fields[] = {VELLUM_FIELD_SPOOLED(Limited, text, "text", VELLUM_KIND_SPOOLED_TEXT, &small, 0)};
    const vellum_map map = VELLUM_MAP(Limited, fields);
    std::string json = R"({"text":"abcdefgh"})";
    std::string first;
    for (size_t piece : {json.size(), size_t{1}, size_t{3}}) {
        Limited limited;
        vellum_error error;
        SplitReader reader{&json, 0, {piece}};
        EXPECT_EQ(vellum_parse_reader(&map, &limited, SplitReader::read, &reader, nullptr, &error),
                  VELLUM_STATUS_OVERFLOW);
        EXPECT_STREQ(error.message, "spooled field exceeds configured max bytes");
        EXPECT_EQ(error.offset, 16u);
        EXPECT_EQ(read_spooled(&limited.text), "abcdef");
        vellum_cleanup(&map, &limited);
    }
}

}  // namespace

// ---- raw JSON value fields -------------------------------------------------------------------

namespace {

struct WithRaw {
    int64_t id;
    vellum_json_value raw;
    int32_t z;
};
const vellum_field with_raw_fields[] = {
    VELLUM_FIELD_I64(WithRaw, id, "id", 0),
    VELLUM_FIELD_OF_KIND(WithRaw, raw, "raw", VELLUM_KIND_JSON_VALUE, 0),
    VELLUM_FIELD_BOOL(WithRaw, z, "z", 0),
};
const vellum_map with_raw_map = VELLUM_MAP(WithRaw, with_raw_fields);

// Parses json with the raw member in capture mode, fed in pieces of `piece` bytes.
std::string capture(const std::string &json, size_t piece, vellum_value_limits limits = vellum_default_value_limits()) {
    WithRaw record{};
    vellum_init(&with_raw_map, &record);
    record.raw.parse_mode = VELLUM_JSON_PARSE_CAPTURE;
    record.raw.limits = limits;
    SplitReader reader{&json, 0, {piece}};
    vellum_error error;
    vellum_status status = vellum_parse_reader(&with_raw_map, &record, SplitReader::read, &reader, nullptr, &error);
    std::string out;
    if (status == VELLUM_STATUS_OK) {
        out = record.raw.kind == VELLUM_JSON_VALUE_BUFFER ? std::string(record.raw.data, record.raw.len) : "<none>";
        EXPECT_EQ(record.raw.parse_mode, VELLUM_JSON_PARSE_CAPTURE);
    } else {
        out = std::string("error ") + std::to_string(status) + " " + error.message + " @" + std::to_string(error.offset);
    }
    vellum_cleanup(&with_raw_map, &record);
    return out;
}

TEST(ParserRawValues, CaptureReemitsCompactText) {
    const std::string json = "{\"id\":1,\"raw\": { \"a\" : [1, -2.5e3, \"x\\u00e9\\n\\/\"], \"b\":null, \"c\":{} } ,\"z\":true}";
    const std::string expected = "{\"a\":[1,-2.5e3,\"x\xC3\xA9\\n/\"],\"b\":null,\"c\":{}}";
    EXPECT_EQ(capture(json, 1 << 20), expected);
    EXPECT_EQ(capture(json, 1), expected);
    EXPECT_EQ(capture(json, 3), expected);
    EXPECT_EQ(capture(R"({"raw":12,"z":false})", 1), "12");
    EXPECT_EQ(capture(R"({"raw":"s\"q"})", 1), "\"s\\\"q\"");
    EXPECT_EQ(capture(R"({"raw":null})", 2), "null");
    EXPECT_EQ(capture(R"({"raw":[true,false,[]]})", 2), "[true,false,[]]");
    std::string big = "{\"raw\":\"" + std::string(10000, 'b') + "\"}";  // not bound by the parser workspace
    EXPECT_EQ(capture(big, 1000).size(), 10002u);
    EXPECT_EQ(capture(R"({"raw":[1,]})", 1), "error 2 trailing comma in array @11");
    EXPECT_EQ(capture(R"({"raw":01})", 1), "error 2 invalid JSON number @10");
}

TEST(ParserRawValues, LimitsOfTheValue) {
    vellum_value_limits limits = vellum_default_value_limits();
    limits.max_depth = 2;
    EXPECT_EQ(capture(R"({"raw":[[1]]})", 1, limits), "[[1]]");
    EXPECT_EQ(capture(R"({"raw":[[[1]]]})", 1, limits), "error 6 JSON value nesting exceeds maximum depth @10");
    limits = vellum_default_value_limits();
    limits.max_number_bytes = 3;
    EXPECT_EQ(capture(R"({"raw":[123,1234]})", 1, limits), "error 6 JSON number exceeds maximum byte limit @17");
    limits = vellum_default_value_limits();
    limits.max_string_bytes = 4;
    EXPECT_EQ(capture(R"({"raw":{"long key":"abcd"}})", 1, limits), "{\"long key\":\"abcd\"}");
    EXPECT_EQ(capture(R"({"raw":["abcde"]})", 1, limits), "error 6 JSON string exceeds maximum decoded byte limit @14");
    limits = vellum_default_value_limits();
    limits.max_key_bytes = 2;
    EXPECT_EQ(capture(R"({"raw":{"abc":1}})", 1, limits), "error 6 JSON object key exceeds maximum decoded byte limit @12");
    limits = vellum_default_value_limits();
    limits.max_total_bytes = 8;
    EXPECT_EQ(capture(R"({"raw":[1,2,3]})", 1, limits), "[1,2,3]");
    EXPECT_EQ(capture(R"({"raw":[1,2,3,4]})", 1, limits), "error 6 JSON value exceeds maximum total byte limit @16");
}

TEST(ParserRawValues, ModesMustBeConfigured) {
    WithRaw record{};
    vellum_init(&with_raw_map, &record);
    vellum_error error;
    EXPECT_EQ(vellum_parse_cstr(&with_raw_map, &record, R"({"raw":1})", nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "JSON value parse requires a configured parse sink, parse visitor, or parse capture");
    EXPECT_EQ(vellum_parse_cstr(&with_raw_map, &record, R"({"id":3})", nullptr, &error), VELLUM_STATUS_OK);
    vellum_cleanup(&with_raw_map, &record);
}

vellum_status append_sink(void *user, const void *data, size_t length, vellum_error *) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(data), length);
    return VELLUM_STATUS_OK;
}

std::string *g_events;
int on_event(const char *name) {
    *g_events += name;
    return 0;
}
int ev_object_begin(void *, vellum_error *) { return on_event("{"); }
int ev_object_end(void *, vellum_error *) { return on_event("}"); }
int ev_key_begin(void *, vellum_error *) { return on_event("k<"); }
int ev_key_end(void *, vellum_error *) { return on_event(">"); }
int ev_array_begin(void *, vellum_error *) { return on_event("["); }
int ev_array_end(void *, vellum_error *) { return on_event("]"); }
int ev_string_begin(void *, vellum_error *) { return on_event("s<"); }
int ev_string_end(void *, vellum_error *) { return on_event(">"); }
int ev_chunk(void *, const char *data, size_t len, vellum_error *) {
    *g_events += "(" + std::string(data, len) + ")";
    return 0;
}
int ev_number_begin(void *, vellum_error *) { return on_event("n<"); }
int ev_number_end(void *, vellum_error *) { return on_event(">"); }
int ev_boolean(void *, int value, vellum_error *) { return on_event(value ? "T" : "F"); }
int ev_null(void *, vellum_error *) { return on_event("N"); }

TEST(ParserRawValues, SinkAndVisitorModes) {
    const std::string json = R"({"raw":{"a":[1,true,null,"x\u00e9"]},"id":2})";
    std::string sunk;
    WithRaw record{};
    vellum_init(&with_raw_map, &record);
    record.raw.parse_mode = VELLUM_JSON_PARSE_SINK;
    record.raw.parse_sink = append_sink;
    record.raw.parse_sink_user = &sunk;
    vellum_error error;
    ASSERT_EQ(vellum_parse_buffer(&with_raw_map, &record, json.data(), json.size(), nullptr, &error), VELLUM_STATUS_OK)
        << error.message;
    EXPECT_EQ(sunk, "{\"a\":[1,true,null,\"x\xC3\xA9\"]}");
    EXPECT_EQ(record.id, 2);
    EXPECT_EQ(record.raw.kind, VELLUM_JSON_VALUE_NONE);

    for (size_t piece : {json.size(), size_t{1}}) {
        std::string events;
        g_events = &events;
        record.raw.parse_mode = VELLUM_JSON_PARSE_VISITOR;
        vellum_value_visitor &v = record.raw.parse_visitor;
        v = vellum_value_visitor{ev_object_begin, ev_object_end, ev_key_begin, ev_chunk, ev_key_end, ev_array_begin,
                                 ev_array_end, ev_string_begin, ev_chunk, ev_string_end, ev_number_begin, ev_chunk,
                                 ev_number_end, ev_boolean, ev_null};
        SplitReader reader{&json, 0, {piece}};
        ASSERT_EQ(vellum_parse_reader(&with_raw_map, &record, SplitReader::read, &reader, nullptr, &error),
                  VELLUM_STATUS_OK)
            << error.message;
        EXPECT_EQ(events, "{k<(a)>[n<(1)>TNs<(x)(\xC3\xA9)>]}");
    }
    vellum_cleanup(&with_raw_map, &record);
}


// ---- whole buffers against the byte machine ---------------------------------------------
// Bytes fed one at a time run the byte machine alone; whole buffers and longer pieces take
// the bulk paths. Every outcome (record, status, message, line, column, offset) must agree.

// Random documents over doc_map: mostly well-typed, with escapes, odd numbers, unknown
// members of every shape and varied whitespace; some of them damaged afterwards.
class DocumentMaker {
  public:
    explicit DocumentMaker(uint32_t seed) : random_(seed) {}

    std::string document() {
        out_.clear();
        doc_object();
        if (pick(2) == 0) damage();
        return out_;
    }
    size_t pick(size_t n) { return random_() % n; }

  private:
    void space() {
        static const char *const kSpaces[] = {"", "", "", " ", "\n", "\r\n", "\t", "    ", "\n        ", " \n ", "  ",
                                              "\n                ", "\n                 \t",
                                              "\n                                 ", "\n\n   \n", "\n               \r"};
        out_ += kSpaces[pick(16)];
    }
    void key(const char *name) {
        space();
        out_ += '"';
        out_ += name;
        out_ += '"';
        space();
        out_ += ':';
        space();
    }
    void string_body(size_t max_len) {
        static const char *const kPieces[] = {"a", "Z", " ", "\\n", "\\\"", "\\\\", "\\/", "\\t", "\\b\\f\\r",
                                              "\\u00e9", "\\u20AC", "\\ud83d\\ude00", "\xC3\xA9", "\xE2\x82\xAC",
                                              "\xF0\x9F\x98\x80", "\x7F", "name", "0", "\\u0041", "\\u0000"};
        size_t len = pick(max_len + 1);
        // Now and then a long plain run, past any vector width.
        if (pick(8) == 0) out_ += std::string(17 + pick(70), 'a' + static_cast<char>(pick(26)));
        // Rarely an escape the byte machine must refuse (or a valid one of the edges).
        static const char *const kOdd[] = {"\\udc00\\udc00", "\\ud800", "\\ud800\\u0041", "\\ud800\\ud800",
                                           "\\x", "\\u12G4", "\\uDBFF\\uDFFF", "\\u", "\\ud800\\n"};
        for (size_t k = 0; k < len; k++) {
            if (pick(150) == 0) {
                out_ += kOdd[pick(9)];
            } else {
                out_ += kPieces[pick(pick(40) == 0 ? 20 : 19)];
            }
        }
    }
    void string_value(size_t max_len = 12) {
        out_ += '"';
        string_body(max_len);
        out_ += '"';
    }
    void unsigned_integer() {
        if (pick(4) == 0) return integer();
        out_ += std::to_string((static_cast<uint64_t>(random_()) << 32) | random_());
    }
    void integer() {
        static const char *const kInts[] = {"0", "-0", "7", "-42", "9223372036854775807", "-9223372036854775808",
                                            "18446744073709551615", "18446744073709551616", "123456789", "1e3",
                                            "1.0", "-", "00", "12a"};
        if (pick(4) == 0) {
            out_ += kInts[pick(pick(3) == 0 ? 14 : 10)];
        } else {
            out_ += std::to_string(static_cast<int64_t>(random_()) - (1ll << 31));
        }
    }
    void number() {
        static const char *const kNumbers[] = {"0.1", "-0.0", "1e22", "1e23", "5e-324", "1e-400", "1e400",
                                               "2.2250738585072014e-308", "123456789012345678901234567890",
                                               "3.141592653589793", "1E+2", "1.5e-7", "-1.", ".5", "1e", "0.30000000000000004"};
        int shape = static_cast<int>(pick(4));
        if (shape == 0) {
            out_ += kNumbers[pick(16)];
        } else if (shape == 1) {
            char buffer[64];
            uint64_t bits = (static_cast<uint64_t>(random_()) << 32) | random_();
            double value;
            std::memcpy(&value, &bits, sizeof value);
            if (!std::isfinite(value)) value = 1.25;
            std::snprintf(buffer, sizeof buffer, "%.17g", value);
            out_ += buffer;
        } else if (shape == 2) {
            // Few significant digits and a small exponent.
            out_ += std::to_string(static_cast<int>(random_() % 2000000) - 1000000);
            if (pick(2)) out_ += "." + std::to_string(random_() % 1000);
            if (pick(2)) out_ += "e" + std::to_string(static_cast<int>(pick(50)) - 25);
        } else {
            integer();
        }
    }
    void literal() {
        static const char *const kLiterals[] = {"true", "false", "null", "true", "false", "nul", "tru", "falsey"};
        out_ += kLiterals[pick(pick(10) == 0 ? 8 : 5)];
    }
    void any_value(int depth) {
        size_t shape = depth > 3 ? pick(4) : pick(7);
        switch (shape) {
        case 0: string_value(); break;
        case 1: number(); break;
        case 2: literal(); break;
        case 3: out_ += pick(2) ? "[]" : "{}"; break;
        case 4:
        case 5: {
            out_ += '[';
            size_t n = pick(5);
            for (size_t k = 0; k < n; k++) {
                if (k) out_ += ',';
                space();
                any_value(depth + 1);
                space();
            }
            out_ += ']';
            break;
        }
        default: {
            out_ += '{';
            size_t n = pick(5);
            for (size_t k = 0; k < n; k++) {
                if (k) out_ += ',';
                space();
                string_value(4);
                space();
                out_ += ':';
                space();
                any_value(depth + 1);
                space();
            }
            out_ += '}';
        }
        }
    }
    // Mostly the expected shape, now and then any value at all.
    bool off_type() { return pick(25) == 0; }
    template <class Each>
    void array_of(Each each) {
        out_ += '[';
        size_t n = pick(6);
        for (size_t k = 0; k < n; k++) {
            if (k) out_ += ',';
            space();
            each();
            space();
        }
        out_ += ']';
    }
    void point() {
        out_ += '{';
        const char *names[] = {"x", "y", "tag", "x", "other"};
        size_t n = 1 + pick(4);
        for (size_t k = 0; k < n; k++) {
            if (k) out_ += ',';
            const char *name = k == n - 1 && pick(8) ? "x" : names[pick(5)];
            key(name);
            if (off_type()) {
                any_value(2);
            } else if (name[0] == 't') {
                string_value();
            } else if (name[0] == 'o') {
                any_value(2);
            } else {
                integer();
            }
            space();
        }
        out_ += '}';
    }
    void doc_object() {
        static const char *const kKeys[] = {"name", "code", "i", "u", "f", "b", "origin", "strings", "ints",
                                            "uints", "floats", "bools", "points", "unknown", "n\\u0061me", "zz"};
        space();
        out_ += '{';
        size_t n = pick(9);
        for (size_t k = 0; k < n; k++) {
            if (k) out_ += ',';
            size_t which = pick(16);
            key(kKeys[which]);
            if (off_type() || which >= 13) {
                any_value(1);
            } else {
                switch (which) {
                case 0: string_value(pick(3) == 0 ? 40 : 8); break;
                case 1: string_value(5); break;
                case 2: integer(); break;
                case 3: unsigned_integer(); break;
                case 4: number(); break;
                case 5: literal(); break;
                case 6: point(); break;
                case 7: array_of([this] { pick(6) ? string_value() : literal(); }); break;
                case 8: array_of([this] { integer(); }); break;
                case 9: array_of([this] { unsigned_integer(); }); break;
                case 10: array_of([this] { number(); }); break;
                case 11: array_of([this] { literal(); }); break;
                default: array_of([this] { point(); }); break;
                }
            }
            space();
        }
        out_ += '}';
        space();
    }
    void damage() {
        static const char kBytes[] = "\"\\{}[],:0-e.tn \n\x01x\xC3u";
        size_t count = 1 + pick(3);
        for (size_t k = 0; k < count && !out_.empty(); k++) {
            size_t at = pick(out_.size());
            char byte = kBytes[pick(sizeof kBytes - 1)];
            switch (pick(3)) {
            case 0: out_.erase(at, 1); break;
            case 1: out_.insert(at, 1, byte); break;
            default: out_[at] = byte; break;
            }
        }
    }

    std::mt19937 random_;
    std::string out_;
};

Outcome parse_pieces(const std::string &json, std::vector<size_t> sizes, const vellum_parse_options *options) {
    Doc doc;
    vellum_error error;
    SplitReader reader{&json, 0, std::move(sizes)};
    vellum_status status = vellum_parse_reader(&doc_map, &doc, SplitReader::read, &reader, options, &error);
    Outcome outcome{show_error(status, error), show(doc)};
    vellum_cleanup(&doc_map, &doc);
    return outcome;
}

std::string validate_pieces(const std::string &json, std::vector<size_t> sizes) {
    vellum_error error;
    SplitReader reader{&json, 0, std::move(sizes)};
    vellum_status status = vellum_validate_reader(SplitReader::read, &reader, &error);
    return show_error(status, error);
}

std::string validate_whole(const std::string &json) {
    vellum_error error;
    vellum_status status = vellum_validate_buffer(json.data(), json.size(), &error);
    return show_error(status, error);
}

TEST(ParserDifferential, RandomDocumentsMatchTheByteMachine) {
    DocumentMaker maker(20261208);
    std::mt19937 random(99);
    size_t accepted = 0, rejected = 0;
    for (int round = 0; round < 12000; round++) {
        std::string json = maker.document();
        vellum_parse_options options = vellum_default_parse_options();
        options.reject_duplicates = maker.pick(4) == 0;
        options.max_depth = maker.pick(10) == 0 ? 2 : 64;
        Outcome whole = parse_whole(json, &options);
        Outcome bytes = parse_pieces(json, {1}, &options);
        ASSERT_EQ(whole.result, bytes.result) << json;
        ASSERT_EQ(whole.record, bytes.record) << json;
        std::vector<size_t> sizes;
        for (int k = 0; k < 8; k++) sizes.push_back(1 + random() % (k % 2 ? 5 : 60));
        Outcome split = parse_pieces(json, sizes, &options);
        ASSERT_EQ(whole.result, split.result) << json;
        ASSERT_EQ(whole.record, split.record) << json;
        std::string valid = validate_whole(json);
        ASSERT_EQ(valid, validate_pieces(json, {1})) << json;
        ASSERT_EQ(valid, validate_pieces(json, sizes)) << json;
        (whole.result.rfind("0 ", 0) == 0 ? accepted : rejected)++;
    }
    // Both outcomes are well represented.
    EXPECT_GT(accepted, 2500u);
    EXPECT_GT(rejected, 3000u);
}

// Tokens near the end of the arena's free space, with frames and large-map bookkeeping
// taking their share: the limits and their messages are the byte machine's.
TEST(ParserDifferential, TokensAtTheArenaLimits) {
    vellum_parse_options options = vellum_default_parse_options();
    options.max_depth = 0;
    std::vector<std::string> documents;
    for (int depth : {1, 2, 40, 72}) {
        // Roughly the free bytes left beside `depth` frames; sizes on both sides of the limit.
        size_t room = 4096 - static_cast<size_t>(depth) * 56;
        for (size_t size = room - 24; size <= room + 12; size++) {
            std::string open, close;
            for (int k = 1; k < depth; k++) {
                open += "{\"origin\":";
                close += "}";
            }
            // Deeper levels are unknown objects once "origin" no longer maps.
            documents.push_back(open + "{\"name\":\"" + std::string(size, 'x') + "\"}" + close);
            documents.push_back(open + "{\"i\":1" + std::string(size, '0') + "}" + close);
            documents.push_back(open + "{\"" + std::string(size, 'k') + "\":true}" + close);
            documents.push_back(open + "{\"strings\":[\"" + std::string(size, 's') + "\\n\"]}" + close);
            documents.push_back(open + "{\"x\":\"" + std::string(size, 'u') + "\",\"b\":false}" + close);
        }
    }
    for (const std::string &json : documents) {
        Outcome whole = parse_whole(json, &options);
        ASSERT_EQ(whole.result, parse_pieces(json, {1}, &options).result) << json.size();
        ASSERT_EQ(whole.record, parse_pieces(json, {1}, &options).record) << json.size();
        ASSERT_EQ(validate_whole(json), validate_pieces(json, {1})) << json.size();
    }
}

// Maps beyond 64 fields keep their seen-set in the arena next to the token being assigned.
TEST(ParserDifferential, LargeMapBookkeepingBesideLongTokens) {
    constexpr int kFields = 70;
    struct Wide {
        char *s[kFields];
    };
    static std::string names[kFields];
    static vellum_field fields[kFields];
    for (int k = 0; k < kFields; k++) {
        names[k] = "w" + std::to_string(k);
        fields[k] = vellum_field{};
        fields[k].name = names[k].c_str();
        fields[k].name_len = names[k].size();
        fields[k].name_first = names[k].front();
        fields[k].name_last = names[k].back();
        fields[k].offset = offsetof(Wide, s) + k * sizeof(char *);
        fields[k].kind = VELLUM_KIND_STRING;
    }
    const vellum_map map = {"wide", sizeof(Wide), fields, kFields};
    auto run = [&](const std::string &json, size_t piece) {
        Wide wide;
        vellum_error error;
        vellum_status status;
        if (piece == 0) {
            status = vellum_parse_buffer(&map, &wide, json.data(), json.size(), nullptr, &error);
        } else {
            SplitReader reader{&json, 0, {piece}};
            status = vellum_parse_reader(&map, &wide, SplitReader::read, &reader, nullptr, &error);
        }
        std::string out = show_error(status, error);
        for (int k = 0; k < kFields; k++) out += " " + show_string(wide.s[k]);
        vellum_cleanup(&map, &wide);
        return out;
    };
    for (size_t len = 3960; len < 4100; len += 3) {
        std::string json = "{\"w69\":\"" + std::string(len, 'v') + "\",\"w1\":\"a\"}";
        EXPECT_EQ(run(json, 0), run(json, 1)) << len;
        std::string second = "{\"w1\":\"a\",\"w69\":\"" + std::string(len, 'v') + "\"}";
        EXPECT_EQ(run(second, 0), run(second, 1)) << len;
    }
}

// The classic benchmark documents: validation, and a mapping of twitter.json's statuses.
struct Tag {
    char *text;
};
const vellum_field tag_fields[] = {VELLUM_FIELD_STRING(Tag, text, "text", 0)};
const vellum_map tag_map = VELLUM_MAP(Tag, tag_fields);
struct Poster {
    int64_t id;
    char *screen_name;
    int64_t followers_count;
    double id_float;
};
const vellum_field poster_fields[] = {
    VELLUM_FIELD_I64(Poster, id, "id", 0),
    VELLUM_FIELD_STRING(Poster, screen_name, "screen_name", 0),
    VELLUM_FIELD_I64(Poster, followers_count, "followers_count", 0),
    VELLUM_FIELD_F64(Poster, id_float, "listed_count", 0),
};
const vellum_map poster_map = VELLUM_MAP(Poster, poster_fields);
struct Tweet {
    int64_t id;
    char *text;
    Poster user;
    vellum_object_array hashtags;
    int32_t favorited;
};
const vellum_field tweet_fields[] = {
    VELLUM_FIELD_I64(Tweet, id, "id", 0),
    VELLUM_FIELD_STRING(Tweet, text, "text", 0),
    VELLUM_FIELD_OBJECT(Tweet, user, "user", &poster_map, 0),
    VELLUM_FIELD_OBJECT_ARRAY(Tweet, hashtags, "hashtags", Tag, &tag_map, 0),
    VELLUM_FIELD_BOOL(Tweet, favorited, "favorited", 0),
};
const vellum_map tweet_map = VELLUM_MAP(Tweet, tweet_fields);
struct Feed {
    vellum_object_array statuses;
};
const vellum_field feed_fields[] = {VELLUM_FIELD_OBJECT_ARRAY(Feed, statuses, "statuses", Tweet, &tweet_map, 0)};
const vellum_map feed_map = VELLUM_MAP(Feed, feed_fields);

std::string show_feed(const Feed &feed) {
    std::string out;
    const auto *tweets = static_cast<const Tweet *>(feed.statuses.items);
    for (size_t k = 0; k < feed.statuses.count; k++) {
        const Tweet &t = tweets[k];
        out += std::to_string(t.id) + show_string(t.text) + std::to_string(t.user.id) + show_string(t.user.screen_name) +
               std::to_string(t.user.followers_count) + show_double(t.user.id_float) + std::to_string(t.favorited);
        const auto *tags = static_cast<const Tag *>(t.hashtags.items);
        for (size_t h = 0; h < t.hashtags.count; h++) out += "#" + show_string(tags[h].text);
        out += "\n";
    }
    return out;
}

TEST(ParserDifferential, BenchmarkDocuments) {
    const std::string dir = korvo::testing::testdata_dir() + "/json/bench/";
    for (const char *name : {"twitter.json", "citm_catalog.json", "canada.json"}) {
        const std::string json = korvo::testing::read_file(dir + name);
        ASSERT_GT(json.size(), 100000u) << name;
        EXPECT_EQ(validate_whole(json).rfind("0 code=0", 0), 0u) << name;
        EXPECT_EQ(validate_whole(json), validate_pieces(json, {1})) << name;
        EXPECT_EQ(validate_whole(json), validate_pieces(json, {1023, 7, 64})) << name;
        // A damaged copy fails at the same place either way.
        std::string damaged = json;
        damaged[json.size() * 2 / 3] = '\x01';
        EXPECT_EQ(validate_whole(damaged), validate_pieces(damaged, {1})) << name;
    }
    const std::string twitter = korvo::testing::read_file(dir + "twitter.json");
    auto map_twitter = [&](size_t piece) {
        Feed feed;
        vellum_error error;
        vellum_status status;
        if (piece == 0) {
            status = vellum_parse_buffer(&feed_map, &feed, twitter.data(), twitter.size(), nullptr, &error);
        } else {
            SplitReader reader{&twitter, 0, {piece}};
            status = vellum_parse_reader(&feed_map, &feed, SplitReader::read, &reader, nullptr, &error);
        }
        std::string out = show_error(status, error) + " statuses=" + std::to_string(feed.statuses.count) + "\n" +
                          show_feed(feed);
        vellum_cleanup(&feed_map, &feed);
        return out;
    };
    std::string whole = map_twitter(0);
    EXPECT_EQ(whole.rfind("0 code=0", 0), 0u) << whole.substr(0, 200);
    EXPECT_NE(whole.find(" statuses=100\n"), std::string::npos);
    EXPECT_EQ(whole, map_twitter(1));
    EXPECT_EQ(whole, map_twitter(977));
}


// The string scan shared by the parser and the writers stops exactly where a byte loop stops,
// at every length and position, reading nothing outside the range (ASan watches the heap
// block, which is exactly the range).
TEST(StringScan, StopsWhereAByteLoopStops) {
    const unsigned char specials[] = {'"', '\\', 0x00, 0x01, 0x1F};
    const unsigned char plain[] = {' ', 'a', 0x7F, 0x80, 0xFF, '!', '#', '[', ']', 0x21, 0x5D};
    for (size_t len = 0; len <= 80; len++) {
        for (size_t at = 0; at <= len; at++) {
            for (unsigned char special : specials) {
                std::vector<unsigned char> bytes(len);
                for (size_t k = 0; k < len; k++) bytes[k] = plain[(k * 7 + len) % sizeof plain];
                if (at < len) bytes[at] = special;
                // A second special later must not matter.
                if (at + 3 < len) bytes[at + 3] = '"';
                const unsigned char *begin = bytes.data();
                const unsigned char *expected = begin;
                while (expected < begin + len && *expected >= 0x20 && *expected != '"' && *expected != '\\') expected++;
                ASSERT_EQ(vellum::detail::find_string_special(begin, begin + len), expected) << len << " " << at;
                if (at < len) {
                    ASSERT_EQ(expected - begin, static_cast<ptrdiff_t>(at));
                }
            }
        }
    }
}

}  // namespace
