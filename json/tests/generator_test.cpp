// The pull generator against the serializer: the same bytes for every kind of record, at every
// read size, in compact and pretty mode; streaming of sources and spooled values; failures.
#include "fixtures.h"
#include "vellum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using korvo::testing::CountingAllocator;
using korvo::testing::TempDir;

namespace {

// ---- helpers -------------------------------------------------------------------------------------

vellum_status append_sink(void *user, const void *data, size_t length, vellum_error *) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(data), length);
    return VELLUM_STATUS_OK;
}

vellum_write_options write_options(bool pretty, const vellum_allocator *allocator = nullptr) {
    vellum_write_options options = vellum_default_write_options();
    options.pretty = pretty ? 1 : 0;
    options.allocator = allocator;
    return options;
}

std::string serialize(const vellum_map *map, const void *record, bool pretty) {
    std::string out;
    vellum_write_options options = write_options(pretty);
    vellum_error error;
    vellum_status status = vellum_serialize_sink(map, record, append_sink, &out, &options, &error);
    EXPECT_EQ(status, VELLUM_STATUS_OK) << error.message;
    return out;
}

// Reads the whole document with reads of `capacity` bytes. Every read but the last must fill
// the buffer, and eof must come exactly with the last bytes (or with an empty read after them).
std::string generate(const vellum_map *map, const void *record, bool pretty, size_t capacity,
                     const vellum_allocator *allocator = nullptr) {
    vellum_generator generator;
    vellum_write_options options = write_options(pretty, allocator);
    EXPECT_EQ(vellum_generator_init(&generator, map, record, &options), VELLUM_STATUS_OK) << generator.error.message;
    std::string out;
    std::vector<char> buffer(capacity);
    for (int guard = 0; guard < 100000000; guard++) {
        size_t len = 99;
        int eof = 7;
        vellum_status status = vellum_generator_read(&generator, buffer.data(), capacity, &len, &eof);
        EXPECT_EQ(status, VELLUM_STATUS_OK) << generator.error.message;
        if (status != VELLUM_STATUS_OK) break;
        EXPECT_EQ(eof, generator.eof);
        out.append(buffer.data(), len);
        if (eof) break;
        EXPECT_EQ(len, capacity) << "short read before the end of the document";
        if (len != capacity) break;
    }
    vellum_generator_cleanup(&generator);
    return out;
}

size_t measure(const vellum_map *map, const void *record, bool pretty) {
    size_t length = 12345;
    vellum_write_options options = write_options(pretty);
    vellum_error error;
    EXPECT_EQ(vellum_generator_measure(map, record, &length, &options, &error), VELLUM_STATUS_OK) << error.message;
    return length;
}

// Serializer, generator at read sizes 1, 7, 4096, one large read and random sizes, and measure
// must agree.
void expect_all_agree(const vellum_map *map, const void *record, bool pretty, std::string *out = nullptr) {
    std::string reference = serialize(map, record, pretty);
    ASSERT_FALSE(reference.empty());
    for (size_t capacity : {size_t{1}, size_t{7}, size_t{4096}, reference.size() + 1}) {
        std::string generated = generate(map, record, pretty, capacity);
        ASSERT_EQ(generated.size(), reference.size()) << "capacity " << capacity;
        ASSERT_TRUE(generated == reference) << "capacity " << capacity;
    }
    // Random read sizes, capacity 0 included (it only reports eof).
    vellum_generator generator;
    vellum_write_options options = write_options(pretty);
    ASSERT_EQ(vellum_generator_init(&generator, map, record, &options), VELLUM_STATUS_OK);
    std::mt19937 random(static_cast<unsigned>(reference.size()));
    std::string generated;
    char buffer[300];
    for (int eof = 0; !eof;) {
        size_t len = 0, capacity = random() % sizeof buffer;
        ASSERT_EQ(vellum_generator_read(&generator, buffer, capacity, &len, &eof), VELLUM_STATUS_OK);
        generated.append(buffer, len);
    }
    vellum_generator_cleanup(&generator);
    ASSERT_TRUE(generated == reference) << "random read sizes";
    EXPECT_EQ(measure(map, record, pretty), reference.size());
    if (out) *out = reference;
}

vellum_status read_all(vellum_generator *generator, std::string *out, size_t capacity = 4096) {
    std::vector<char> buffer(capacity);
    for (;;) {
        size_t len = 0;
        int eof = 0;
        vellum_status status = vellum_generator_read(generator, buffer.data(), capacity, &len, &eof);
        out->append(buffer.data(), len);
        if (status != VELLUM_STATUS_OK || eof) return status;
    }
}

std::string text_with_every_escape(size_t length) {
    static const char alphabet[] = "plain \"q\" \\ / \b\f\n\r\t \x01\x1f\x7f \xc3\xa9 end";
    std::string text;
    for (size_t i = 0; text.size() < length; i++) text += alphabet[i % (sizeof alphabet - 1)];
    text.resize(length);
    return text;
}

std::string binary_bytes(size_t length, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(length, '\0');
    for (auto &b : bytes) b = static_cast<char>(random() & 0xff);
    return bytes;
}

size_t open_fd_count() {
    size_t count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) count++;
        closedir(dir);
    }
    return count;
}

// ---- the broad record ------------------------------------------------------------------------------

// A chain of 40 nested objects, so indentation passes 64 spaces and the frame stack grows.
template <int N>
struct Level {
    int64_t v;
    char *label;
    Level<N - 1> next;
};
template <>
struct Level<0> {
    int64_t v;
    char *label;
};
template <int N>
struct LevelMap {
    static constexpr vellum_field fields[] = {
        VELLUM_FIELD_I64(Level<N>, v, "v", 0),
        VELLUM_FIELD_STRING(Level<N>, label, "label", VELLUM_FIELD_OMIT_NULL),
        VELLUM_FIELD_OBJECT(Level<N>, next, "next", &LevelMap<N - 1>::map, 0),
    };
    static constexpr vellum_map map = {"level", sizeof(Level<N>), fields, 3};
};
template <>
struct LevelMap<0> {
    static constexpr vellum_field fields[] = {
        VELLUM_FIELD_I64(Level<0>, v, "v", 0),
        VELLUM_FIELD_STRING(Level<0>, label, "label", VELLUM_FIELD_OMIT_NULL),
    };
    static constexpr vellum_map map = {"level0", sizeof(Level<0>), fields, 2};
};
constexpr int kDeepLevels = 40;
using Deep = Level<kDeepLevels>;

template <int N>
void fill_levels(Level<N> &level, std::deque<std::string> &labels) {
    level.v = N * 1000 - 7;
    labels.push_back("level " + std::to_string(N));
    if (N % 3 == 0) level.label = labels.back().data();
    if constexpr (N > 0) fill_levels(level.next, labels);
}

struct Item {
    char *name;
    int64_t n;
    vellum_array tags;
};
const vellum_field item_fields[] = {
    VELLUM_FIELD_STRING(Item, name, "name", VELLUM_FIELD_OMIT_NULL),
    VELLUM_FIELD_I64(Item, n, "n", 0),
    VELLUM_FIELD_ARRAY(Item, tags, "tags", VELLUM_KIND_STRING_ARRAY, VELLUM_FIELD_OMIT_EMPTY),
};
const vellum_map item_map = VELLUM_MAP(Item, item_fields);

// Every field of this nested record can be omitted, so with OMIT_EMPTY the object disappears.
struct Optional {
    char *a;
    vellum_array list;
    int64_t maybe;
    int32_t maybe_present;
};
const vellum_field optional_fields[] = {
    VELLUM_FIELD_STRING(Optional, a, "a", VELLUM_FIELD_OMIT_NULL),
    VELLUM_FIELD_ARRAY(Optional, list, "list", VELLUM_KIND_I64_ARRAY, VELLUM_FIELD_OMIT_EMPTY),
    VELLUM_FIELD_PRESENT(Optional, maybe, "maybe", VELLUM_KIND_I64, maybe_present, 0),
};
const vellum_map optional_map = VELLUM_MAP(Optional, optional_fields);

const vellum_spool_options small_spool = {16, 0, nullptr};

// Everything except the source fields, shared by the record that is written (with sources) and
// the record that it is read back into (with spooled values in their place).
struct Common {
    char *text;
    char *null_text;
    char *omitted_text;
    char fixed[24];
    char empty_fixed[8];
    vellum_spooled spool_text;
    vellum_spooled spool_bytes;
    vellum_spooled spool_empty;
    vellum_spooled spool_omitted;
    int64_t i_min;
    int64_t i_neg;
    uint64_t u_max;
    double f_tenth;
    double f_three;
    double f_big;
    int32_t yes;
    int32_t no;
    int64_t present;
    int32_t present_flag;
    int64_t absent;
    int32_t absent_flag;
    Item inner;
    Optional optional_written;
    Optional optional_omitted;
    vellum_array strings;
    vellum_array i64s;
    vellum_array u64s;
    vellum_array f64s;
    vellum_array bools;
    vellum_array empty_i64s;
    vellum_array omitted_strings;
    vellum_object_array items;
    vellum_object_array empty_items;
    Deep deep;
};

#define COMMON_FIELDS(T)                                                                                       \
    VELLUM_FIELD_STRING(T, c.text, "text", VELLUM_FIELD_REQUIRED),                                              \
        VELLUM_FIELD_STRING(T, c.null_text, "null_text", 0),                                                    \
        VELLUM_FIELD_STRING(T, c.omitted_text, "omitted_text", VELLUM_FIELD_OMIT_NULL),                         \
        VELLUM_FIELD_FIXED_STRING(T, c.fixed, "fixed", VELLUM_OVERFLOW_FAIL, 0),                                \
        VELLUM_FIELD_FIXED_STRING(T, c.empty_fixed, "empty_fixed", VELLUM_OVERFLOW_FAIL, VELLUM_FIELD_OMIT_EMPTY), \
        VELLUM_FIELD_SPOOLED(T, c.spool_text, "spool_text", VELLUM_KIND_SPOOLED_TEXT, &small_spool, 0),         \
        VELLUM_FIELD_SPOOLED(T, c.spool_bytes, "spool_bytes", VELLUM_KIND_SPOOLED_BYTES, &small_spool, 0),      \
        VELLUM_FIELD_SPOOLED(T, c.spool_empty, "spool_empty", VELLUM_KIND_SPOOLED_TEXT, nullptr, 0),            \
        VELLUM_FIELD_SPOOLED(T, c.spool_omitted, "spool_omitted", VELLUM_KIND_SPOOLED_BYTES, nullptr,           \
                             VELLUM_FIELD_OMIT_EMPTY),                                                          \
        VELLUM_FIELD_I64(T, c.i_min, "i_min", 0), VELLUM_FIELD_I64(T, c.i_neg, "i_neg", 0),                     \
        VELLUM_FIELD_U64(T, c.u_max, "u_max", 0), VELLUM_FIELD_F64(T, c.f_tenth, "f_tenth", 0),                 \
        VELLUM_FIELD_F64(T, c.f_three, "f_three", 0), VELLUM_FIELD_F64(T, c.f_big, "f_big", 0),                 \
        VELLUM_FIELD_BOOL(T, c.yes, "yes", 0), VELLUM_FIELD_BOOL(T, c.no, "no", 0),                             \
        VELLUM_FIELD_PRESENT(T, c.present, "present", VELLUM_KIND_I64, c.present_flag, 0),                      \
        VELLUM_FIELD_PRESENT(T, c.absent, "absent", VELLUM_KIND_I64, c.absent_flag, 0),                         \
        VELLUM_FIELD_OBJECT(T, c.inner, "inner", &item_map, 0),                                                 \
        VELLUM_FIELD_OBJECT(T, c.optional_written, "optional_written", &optional_map, VELLUM_FIELD_OMIT_EMPTY), \
        VELLUM_FIELD_OBJECT(T, c.optional_omitted, "optional_omitted", &optional_map, VELLUM_FIELD_OMIT_EMPTY), \
        VELLUM_FIELD_ARRAY(T, c.strings, "strings", VELLUM_KIND_STRING_ARRAY, 0),                               \
        VELLUM_FIELD_ARRAY(T, c.i64s, "i64s", VELLUM_KIND_I64_ARRAY, 0),                                        \
        VELLUM_FIELD_ARRAY(T, c.u64s, "u64s", VELLUM_KIND_U64_ARRAY, 0),                                        \
        VELLUM_FIELD_ARRAY(T, c.f64s, "f64s", VELLUM_KIND_F64_ARRAY, 0),                                        \
        VELLUM_FIELD_ARRAY(T, c.bools, "bools", VELLUM_KIND_BOOL_ARRAY, 0),                                     \
        VELLUM_FIELD_ARRAY(T, c.empty_i64s, "empty_i64s", VELLUM_KIND_I64_ARRAY, 0),                            \
        VELLUM_FIELD_ARRAY(T, c.omitted_strings, "omitted_strings", VELLUM_KIND_STRING_ARRAY,                   \
                           VELLUM_FIELD_OMIT_EMPTY),                                                            \
        VELLUM_FIELD_OBJECT_ARRAY(T, c.items, "items", Item, &item_map, 0),                                     \
        VELLUM_FIELD_OBJECT_ARRAY(T, c.empty_items, "empty_items", Item, &item_map, 0),                         \
        VELLUM_FIELD_OBJECT(T, c.deep, "deep", &LevelMap<kDeepLevels>::map, 0)

struct Written {
    Common c;
    vellum_json_value json_none;
    vellum_source src_text;
    vellum_source src_bytes;
    vellum_source src_fd;
    vellum_source src_none;
    vellum_source src_omitted;
};
const vellum_field written_fields[] = {
    COMMON_FIELDS(Written),
    VELLUM_FIELD_OF_KIND(Written, json_none, "json_none", VELLUM_KIND_JSON_VALUE, 0),
    VELLUM_FIELD_OF_KIND(Written, src_text, "src_text", VELLUM_KIND_SOURCE_TEXT, 0),
    VELLUM_FIELD_OF_KIND(Written, src_bytes, "src_bytes", VELLUM_KIND_SOURCE_BYTES, 0),
    VELLUM_FIELD_OF_KIND(Written, src_fd, "src_fd", VELLUM_KIND_SOURCE_BYTES, 0),
    VELLUM_FIELD_OF_KIND(Written, src_none, "src_none", VELLUM_KIND_SOURCE_TEXT, 0),
    VELLUM_FIELD_OF_KIND(Written, src_omitted, "src_omitted", VELLUM_KIND_SOURCE_TEXT, VELLUM_FIELD_OMIT_NULL),
};
const vellum_map written_map = VELLUM_MAP(Written, written_fields);

// What the written document parses back into: spooled values where the sources were.
struct ReadBack {
    Common c;
    char *json_none;
    vellum_spooled src_text;
    vellum_spooled src_bytes;
    vellum_spooled src_fd;
    char *src_none;
    char *src_omitted;
};
const vellum_field read_back_fields[] = {
    COMMON_FIELDS(ReadBack),
    VELLUM_FIELD_STRING(ReadBack, json_none, "json_none", 0),
    VELLUM_FIELD_SPOOLED(ReadBack, src_text, "src_text", VELLUM_KIND_SPOOLED_TEXT, &small_spool, 0),
    VELLUM_FIELD_SPOOLED(ReadBack, src_bytes, "src_bytes", VELLUM_KIND_SPOOLED_BYTES, nullptr, 0),
    VELLUM_FIELD_SPOOLED(ReadBack, src_fd, "src_fd", VELLUM_KIND_SPOOLED_BYTES, nullptr, 0),
    VELLUM_FIELD_STRING(ReadBack, src_none, "src_none", 0),
    VELLUM_FIELD_STRING(ReadBack, src_omitted, "src_omitted", VELLUM_FIELD_OMIT_NULL),
};
const vellum_map read_back_map = VELLUM_MAP(ReadBack, read_back_fields);

// Owns the values that the broad record points to.
class BroadRecord {
public:
    explicit BroadRecord(const TempDir &dir) {
        std::memset(&record, 0, sizeof record);
        vellum_init(&written_map, &record);
        Common &c = record.c;
        text = "h\xc3\xa9llo \"world\"\t\\ \x01 /";
        c.text = text.data();
        std::strcpy(c.fixed, "fixed \x1f end");
        vellum_error error;
        spool_text_bytes = text_with_every_escape(9000);  // spills past the 16-byte prefix
        EXPECT_EQ(vellum_spooled_append(&c.spool_text, spool_text_bytes.data(), spool_text_bytes.size(), &error), 0);
        spool_binary = binary_bytes(5000, 1);
        EXPECT_EQ(vellum_spooled_append(&c.spool_bytes, spool_binary.data(), spool_binary.size(), &error), 0);
        EXPECT_EQ(vellum_spooled_spilled(&c.spool_bytes), 1);
        c.i_min = std::numeric_limits<int64_t>::min();
        c.i_neg = -42;
        c.u_max = std::numeric_limits<uint64_t>::max();
        c.f_tenth = 0.1;
        c.f_three = 3.0;
        c.f_big = -1.5e300;
        c.yes = 1;
        c.no = 0;
        c.present = 77;
        c.present_flag = 1;
        c.absent = 5;  // not written: presence word 0
        inner_name = "inner";
        c.inner.name = inner_name.data();
        c.inner.n = 9;
        c.optional_written.maybe = 3;
        c.optional_written.maybe_present = 1;

        string_items = {"one", nullptr, "three \"quoted\"", ""};
        c.strings = {string_items.data(), string_items.size(), string_items.size(), 0};
        i64_items = {0, -1, std::numeric_limits<int64_t>::max()};
        c.i64s = {i64_items.data(), i64_items.size(), i64_items.size(), 0};
        u64_items = {0, 18446744073709551615ull};
        c.u64s = {u64_items.data(), u64_items.size(), u64_items.size(), 0};
        f64_items = {0.5, -2.25, 1e-300, 123456789.125};
        c.f64s = {f64_items.data(), f64_items.size(), f64_items.size(), 0};
        bool_items = {1, 0, 1};
        c.bools = {bool_items.data(), bool_items.size(), bool_items.size(), 0};

        tag_items = {"a", "b\nc"};
        item_names = {"first", "second"};
        item_storage.resize(3);
        std::memset(item_storage.data(), 0, sizeof(Item) * item_storage.size());
        item_storage[0].name = item_names[0].data();
        item_storage[0].n = 1;
        item_storage[0].tags = {tag_items.data(), tag_items.size(), tag_items.size(), 0};
        item_storage[1].n = 2;  // no name, no tags: both omitted
        item_storage[2].name = item_names[1].data();
        item_storage[2].n = -3;
        c.items = {item_storage.data(), item_storage.size(), item_storage.size(), sizeof(Item), 0};

        fill_levels(c.deep, level_labels);

        source_text_bytes = text_with_every_escape(10000);
        text_path = dir.write("source.txt", source_text_bytes);
        text_file = std::fopen(text_path.c_str(), "rb");
        EXPECT_EQ(vellum_source_set_file(&record.src_text, text_file, &error), 0);
        source_binary = binary_bytes(8193, 2);
        std::string bytes_path = dir.write("source.bin", source_binary);
        EXPECT_EQ(vellum_source_set_path(&record.src_bytes, bytes_path.c_str(), &error), 0);
        fd_bytes = "xy";  // one padding character
        fd = ::open(dir.write("source.fd", fd_bytes).c_str(), O_RDONLY);
        EXPECT_EQ(vellum_source_set_fd(&record.src_fd, fd, &error), 0);
    }
    ~BroadRecord() {
        // Only the library-owned parts: the arrays and strings point into this object.
        vellum_spooled_cleanup(&record.c.spool_text);
        vellum_spooled_cleanup(&record.c.spool_bytes);
        vellum_spooled_cleanup(&record.c.spool_empty);
        vellum_spooled_cleanup(&record.c.spool_omitted);
        vellum_json_value_cleanup(&record.json_none);
        vellum_source_cleanup(&record.src_text);
        vellum_source_cleanup(&record.src_bytes);
        vellum_source_cleanup(&record.src_fd);
        if (text_file) std::fclose(text_file);
        if (fd >= 0) ::close(fd);
    }

    Written record;
    std::string text, inner_name, spool_text_bytes, spool_binary, source_text_bytes, source_binary, fd_bytes;
    std::string text_path;
    std::vector<const char *> string_items, tag_items;
    std::vector<std::string> item_names;
    std::deque<std::string> level_labels;  // stable addresses
    std::vector<int64_t> i64_items;
    std::vector<uint64_t> u64_items;
    std::vector<double> f64_items;
    std::vector<int32_t> bool_items;
    std::vector<Item> item_storage;
    FILE *text_file = nullptr;
    int fd = -1;
};

std::string spooled_content(vellum_spooled *spooled) {
    std::string out;
    vellum_error error;
    EXPECT_EQ(vellum_spooled_write_to_sink(spooled, append_sink, &out, &error), VELLUM_STATUS_OK);
    return out;
}

// ---- agreement with the serializer ----------------------------------------------------------------

class GeneratorAgreement : public ::testing::TestWithParam<bool> {};

TEST_P(GeneratorAgreement, BroadRecordMatchesSerializerAtEveryReadSizeAndParsesBack) {
    bool pretty = GetParam();
    TempDir dir;
    BroadRecord broad(dir);
    std::string document;
    ASSERT_NO_FATAL_FAILURE(expect_all_agree(&written_map, &broad.record, pretty, &document));

    // The layout rules are visible in the document itself.
    EXPECT_EQ(document.find("omitted_text"), std::string::npos);
    EXPECT_EQ(document.find("\"absent\""), std::string::npos);
    EXPECT_EQ(document.find("optional_omitted"), std::string::npos);
    EXPECT_EQ(document.find("src_omitted"), std::string::npos);
    EXPECT_EQ(document.find("spool_omitted"), std::string::npos);
    EXPECT_NE(document.find(pretty ? "\"fixed\": \"fixed \\u001f end\"" : "\"fixed\":\"fixed \\u001f end\""),
              std::string::npos);
    EXPECT_NE(document.find("-9223372036854775808"), std::string::npos);
    EXPECT_NE(document.find("0.10000000000000001"), std::string::npos);
    EXPECT_NE(document.find(pretty ? "\"src_fd\": \"eHk=\"" : "\"src_fd\":\"eHk=\""), std::string::npos);
    if (pretty) {
        EXPECT_NE(document.find("\n" + std::string(2 * (kDeepLevels + 1) + 2, ' ') + "\"v\": -7"), std::string::npos);
    }

    // Parsing the output gives back the same record: the read-back record serializes to the
    // same bytes (sources come back as spooled values with their content).
    ReadBack back{};
    std::memset(&back, 0, sizeof back);
    vellum_init(&read_back_map, &back);
    vellum_error error;
    ASSERT_EQ(vellum_parse_buffer(&read_back_map, &back, document.data(), document.size(), nullptr, &error),
              VELLUM_STATUS_OK)
        << error.message;
    EXPECT_EQ(serialize(&read_back_map, &back, pretty), document);
    EXPECT_EQ(spooled_content(&back.src_text), broad.source_text_bytes);
    EXPECT_EQ(spooled_content(&back.src_bytes), broad.source_binary);
    EXPECT_EQ(spooled_content(&back.c.spool_text), broad.spool_text_bytes);
    EXPECT_EQ(spooled_content(&back.c.spool_bytes), broad.spool_binary);
    EXPECT_STREQ(back.c.text, broad.text.c_str());
    EXPECT_EQ(back.c.i_min, broad.record.c.i_min);
    EXPECT_EQ(back.c.u_max, broad.record.c.u_max);
    EXPECT_EQ(back.c.f_tenth, 0.1);
    EXPECT_EQ(back.c.absent_flag, 0);
    EXPECT_EQ(back.c.present_flag, 1);
    ASSERT_EQ(back.c.items.count, 3u);
    EXPECT_EQ(static_cast<Item *>(back.c.items.items)[2].n, -3);
    vellum_cleanup(&read_back_map, &back);
}

TEST_P(GeneratorAgreement, GeneratingTwiceGivesTheSameBytesAndLeavesSpooledPositionsAlone) {
    bool pretty = GetParam();
    TempDir dir;
    BroadRecord broad(dir);
    // A reader of the spooled value that is half-way through must keep its position.
    char head[100];
    vellum_read_result r = vellum_spooled_read(&broad.record.c.spool_text, head, sizeof head);
    ASSERT_EQ(r.bytes, 16u);  // the in-memory prefix ends there
    std::string first = generate(&written_map, &broad.record, pretty, 333);
    std::string second = generate(&written_map, &broad.record, pretty, 4096);
    EXPECT_EQ(first, second);
    EXPECT_EQ(broad.record.c.spool_text.read_pos, 16u);
    r = vellum_spooled_read(&broad.record.c.spool_text, head, sizeof head);
    ASSERT_EQ(r.bytes, sizeof head);
    EXPECT_EQ(std::string(head, sizeof head), broad.spool_text_bytes.substr(16, sizeof head));
}

INSTANTIATE_TEST_SUITE_P(Layouts, GeneratorAgreement, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "Pretty" : "Compact"; });

// ---- layout --------------------------------------------------------------------------------------

struct Pair {
    int64_t a;
    vellum_array b;
};
const vellum_field pair_fields[] = {
    VELLUM_FIELD_I64(Pair, a, "a", 0),
    VELLUM_FIELD_ARRAY(Pair, b, "b", VELLUM_KIND_I64_ARRAY, 0),
};
const vellum_map pair_map = VELLUM_MAP(Pair, pair_fields);

struct Inner1 {
    int64_t b;
};
const vellum_field inner1_fields[] = {VELLUM_FIELD_I64(Inner1, b, "b", 0)};
const vellum_map inner1_map = VELLUM_MAP(Inner1, inner1_fields);
struct Outer1 {
    Inner1 a;
};
const vellum_field outer1_fields[] = {VELLUM_FIELD_OBJECT(Outer1, a, "a", &inner1_map, 0)};
const vellum_map outer1_map = VELLUM_MAP(Outer1, outer1_fields);

TEST(GeneratorLayout, AllOmittedRecordIsTwoBracesInBothModes) {
    Optional record{};
    std::memset(&record, 0, sizeof record);
    EXPECT_EQ(generate(&optional_map, &record, false, 1), "{}");
    EXPECT_EQ(generate(&optional_map, &record, true, 1), "{}");
    const vellum_map empty_map = {"empty", 1, nullptr, 0};
    char nothing = 0;
    EXPECT_EQ(generate(&empty_map, &nothing, true, 64), "{}");
}

TEST(GeneratorLayout, PrettyNestedObjectIsSixLines) {
    Outer1 record{{1}};
    EXPECT_EQ(generate(&outer1_map, &record, true, 1), "{\n  \"a\": {\n    \"b\": 1\n  }\n}");
    EXPECT_EQ(generate(&outer1_map, &record, false, 1), "{\"a\":{\"b\":1}}");
}

TEST(GeneratorLayout, PrettyArrayPutsEachElementOnItsOwnLine) {
    int64_t values[] = {1, 2};
    Pair record{1, {values, 2, 2, VELLUM_ARRAY_FIXED}};
    EXPECT_EQ(generate(&pair_map, &record, true, 3), "{\n  \"a\": 1,\n  \"b\": [\n    1,\n    2\n  ]\n}");
    record.b.count = 0;
    EXPECT_EQ(generate(&pair_map, &record, true, 3), "{\n  \"a\": 1,\n  \"b\": []\n}");
    // An array without an item buffer is written as empty, whatever its count says.
    record.b = {nullptr, 5, 0, 0};
    EXPECT_EQ(generate(&pair_map, &record, false, 3), "{\"a\":1,\"b\":[]}");
    EXPECT_EQ(serialize(&pair_map, &record, false), "{\"a\":1,\"b\":[]}");
}

TEST(GeneratorLayout, ObjectArrayWithoutElementMapWritesEmptyObjects) {
    struct Holder {
        vellum_object_array list;
    };
    const vellum_field fields[] = {VELLUM_FIELD_FULL(Holder, list, "list", VELLUM_KIND_OBJECT_ARRAY,
                                                     VELLUM_STORAGE_DYNAMIC, VELLUM_OVERFLOW_FAIL, 0, 0, 8,
                                                     nullptr, nullptr, 0)};
    const vellum_map map = VELLUM_MAP(Holder, fields);
    int64_t storage[2] = {1, 2};
    Holder record{{storage, 2, 2, 8, 0}};
    EXPECT_EQ(generate(&map, &record, false, 1), "{\"list\":[{},{}]}");
    EXPECT_EQ(generate(&map, &record, true, 1), serialize(&map, &record, true));
}

TEST(GeneratorLayout, EscapesControlBytesAndPassesHighBytes) {
    struct Text {
        char *s;
    };
    const vellum_field fields[] = {VELLUM_FIELD_STRING(Text, s, "s\"k", 0)};
    const vellum_map map = VELLUM_MAP(Text, fields);
    char value[] = "\x1f\xc3\x7f\b\f\n\r\t\"\\/";
    Text record{value};
    EXPECT_EQ(generate(&map, &record, false, 1), "{\"s\\\"k\":\"\\u001f\xc3\x7f\\b\\f\\n\\r\\t\\\"\\\\/\"}");
    record.s = nullptr;
    EXPECT_EQ(generate(&map, &record, false, 1), "{\"s\\\"k\":null}");
}

// ---- streamed content ----------------------------------------------------------------------------

struct Streams {
    vellum_source text;
    vellum_source bytes;
};
const vellum_field streams_fields[] = {
    VELLUM_FIELD_OF_KIND(Streams, text, "t", VELLUM_KIND_SOURCE_TEXT, 0),
    VELLUM_FIELD_OF_KIND(Streams, bytes, "b", VELLUM_KIND_SOURCE_BYTES, 0),
};
const vellum_map streams_map = VELLUM_MAP(Streams, streams_fields);

struct Spools {
    vellum_spooled text;
    vellum_spooled bytes;
};
const vellum_field spools_fields[] = {
    VELLUM_FIELD_SPOOLED(Spools, text, "t", VELLUM_KIND_SPOOLED_TEXT, &small_spool, 0),
    VELLUM_FIELD_SPOOLED(Spools, bytes, "b", VELLUM_KIND_SPOOLED_BYTES, &small_spool, 0),
};
const vellum_map spools_map = VELLUM_MAP(Spools, spools_fields);

TEST(GeneratorStreams, Base64PaddingFollowsTheLastGroup) {
    TempDir dir;
    const char *expected[] = {"", "YQ==", "YWI=", "YWJj", "YWJjZA=="};
    for (size_t n = 0; n <= 4; n++) {
        Streams record{};
        vellum_init(&streams_map, &record);
        std::string path = dir.write("b" + std::to_string(n), std::string("abcd", n));
        ASSERT_EQ(vellum_source_set_path(&record.text, path.c_str(), nullptr), 0);
        ASSERT_EQ(vellum_source_set_path(&record.bytes, path.c_str(), nullptr), 0);
        std::string want = "{\"t\":\"" + std::string("abcd", n) + "\",\"b\":\"" + expected[n] + "\"}";
        EXPECT_EQ(generate(&streams_map, &record, false, 1), want);
        EXPECT_EQ(measure(&streams_map, &record, false), want.size());

        Spools spools{};
        vellum_init(&spools_map, &spools);
        ASSERT_EQ(vellum_spooled_append(&spools.text, "abcd", n, nullptr), 0);
        ASSERT_EQ(vellum_spooled_append(&spools.bytes, "abcd", n, nullptr), 0);
        EXPECT_EQ(generate(&spools_map, &spools, false, 1), want);
        vellum_cleanup(&spools_map, &spools);
        vellum_cleanup(&streams_map, &record);
    }
}

TEST(GeneratorStreams, ChunkBoundariesNeverSplitEscapesOrGroups) {
    // Sizes around the 4096-byte chunk and the 16-byte spool prefix, escapes at the edges.
    TempDir dir;
    for (size_t n : {size_t{4095}, size_t{4096}, size_t{4097}, size_t{8192}, size_t{12289}}) {
        std::string content = text_with_every_escape(n);
        content[4095 % n] = '\n';
        content[n - 1] = '"';
        Streams record{};
        vellum_init(&streams_map, &record);
        std::string path = dir.write("c", content);
        ASSERT_EQ(vellum_source_set_path(&record.text, path.c_str(), nullptr), 0);
        ASSERT_EQ(vellum_source_set_path(&record.bytes, path.c_str(), nullptr), 0);
        expect_all_agree(&streams_map, &record, false);
        Spools spools{};
        vellum_init(&spools_map, &spools);
        ASSERT_EQ(vellum_spooled_append(&spools.text, content.data(), n, nullptr), 0);
        ASSERT_EQ(vellum_spooled_append(&spools.bytes, content.data(), n, nullptr), 0);
        expect_all_agree(&spools_map, &spools, true);
        vellum_cleanup(&spools_map, &spools);
        vellum_cleanup(&streams_map, &record);
    }
}

TEST(GeneratorStreams, FiveMebibyteSourceStreamsWithFlatMemory) {
    TempDir dir;
    std::string content = binary_bytes(5u << 20, 3);
    std::string path = dir.write("big.bin", content);
    Streams record{};
    vellum_init(&streams_map, &record);
    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(vellum_source_set_file(&record.text, file, nullptr), 0);
    ASSERT_EQ(vellum_source_set_path(&record.bytes, path.c_str(), nullptr), 0);

    std::string reference = serialize(&streams_map, &record, false);
    ASSERT_GT(reference.size(), 2 * content.size());

    CountingAllocator counting;
    vellum_generator generator;
    vellum_write_options options = write_options(false, counting.get());
    ASSERT_EQ(vellum_generator_init(&generator, &streams_map, &record, &options), VELLUM_STATUS_OK);
    size_t after_init = counting.stats().bytes_in_use;
    std::vector<char> buffer(16384);
    size_t offset = 0;
    bool same = true;
    int eof = 0;
    while (!eof) {
        size_t len = 0;
        ASSERT_EQ(vellum_generator_read(&generator, buffer.data(), buffer.size(), &len, &eof), VELLUM_STATUS_OK);
        same = same && offset + len <= reference.size() && std::memcmp(reference.data() + offset, buffer.data(), len) == 0;
        offset += len;
    }
    EXPECT_TRUE(same);
    EXPECT_EQ(offset, reference.size());
    // The state (with its chunk buffer) and the frame stack: nothing that grows with the source.
    EXPECT_EQ(counting.stats().alloc_count, 2u);
    EXPECT_EQ(counting.stats().realloc_count, 0u);
    EXPECT_EQ(counting.stats().peak_bytes, after_init);
    EXPECT_LT(counting.stats().peak_bytes, 16u * 1024u);
    vellum_generator_cleanup(&generator);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
    EXPECT_EQ(counting.stats().free_count, 2u);
    vellum_cleanup(&streams_map, &record);
    std::fclose(file);
}

TEST(GeneratorStreams, CleanupMidDocumentClosesThePathSourceFile) {
    TempDir dir;
    std::string path = dir.write("mid.txt", std::string(20000, 'x'));
    Streams record{};
    vellum_init(&streams_map, &record);
    ASSERT_EQ(vellum_source_set_path(&record.text, path.c_str(), nullptr), 0);
    size_t before = open_fd_count();
    vellum_generator generator;
    ASSERT_EQ(vellum_generator_init(&generator, &streams_map, &record, nullptr), VELLUM_STATUS_OK);
    char buffer[100];
    size_t len = 0;
    int eof = 0;
    ASSERT_EQ(vellum_generator_read(&generator, buffer, sizeof buffer, &len, &eof), VELLUM_STATUS_OK);
    ASSERT_EQ(len, sizeof buffer);
    EXPECT_EQ(open_fd_count(), before + 1);
    vellum_generator_cleanup(&generator);
    EXPECT_EQ(open_fd_count(), before);
    EXPECT_EQ(generator.state, nullptr);
    vellum_cleanup(&streams_map, &record);
}

// ---- failures ------------------------------------------------------------------------------------

TEST(GeneratorFailures, ArgumentChecks) {
    EXPECT_EQ(vellum_generator_init(nullptr, &pair_map, nullptr, nullptr), VELLUM_STATUS_INVALID_ARGUMENT);
    vellum_generator generator;
    std::memset(&generator, 0x5a, sizeof generator);
    EXPECT_EQ(vellum_generator_init(&generator, &pair_map, nullptr, nullptr), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(generator.error.message, "map and source are required for generator init");
    EXPECT_EQ(generator.state, nullptr);

    Pair record{};
    const vellum_field bad_fields[] = {VELLUM_FIELD_FULL(Pair, a, "a", VELLUM_KIND_I64, VELLUM_STORAGE_DYNAMIC,
                                                         VELLUM_OVERFLOW_FAIL, 0, 0, 0, nullptr, nullptr, 0)};
    const vellum_map bad_map = {"bad", 4, bad_fields, 1};  // the i64 does not fit
    EXPECT_EQ(vellum_generator_init(&generator, &bad_map, &record, nullptr), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(generator.error.message, "invalid map layout");

    vellum_allocator partial{};
    partial.malloc_fn = [](void *, size_t n) { return std::malloc(n); };
    vellum_write_options options = write_options(false, &partial);
    EXPECT_EQ(vellum_generator_init(&generator, &pair_map, &record, &options), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(generator.error.message, "allocator must provide either all callbacks or none");
    EXPECT_EQ(generator.state, nullptr);

    // Reads on a handle without state do not touch its error record.
    size_t len = 5;
    int eof = 5;
    std::strcpy(generator.error.message, "kept");
    char buffer[4];
    EXPECT_EQ(vellum_generator_read(&generator, buffer, sizeof buffer, &len, &eof), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(eof, 0);
    EXPECT_STREQ(generator.error.message, "kept");
    EXPECT_EQ(vellum_generator_read(nullptr, buffer, sizeof buffer, nullptr, nullptr), VELLUM_STATUS_INVALID_ARGUMENT);

    ASSERT_EQ(vellum_generator_init(&generator, &pair_map, &record, nullptr), VELLUM_STATUS_OK);
    EXPECT_EQ(vellum_generator_read(&generator, nullptr, 4, &len, &eof), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(generator.error.message, "generator read buffer is required");
    vellum_generator_cleanup(&generator);
    vellum_generator_cleanup(&generator);  // twice is fine
    vellum_generator_cleanup(nullptr);

    size_t out = 0;
    vellum_error error;
    EXPECT_EQ(vellum_generator_measure(&pair_map, &record, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "map, source, and output length are required");
    EXPECT_EQ(vellum_generator_measure(&bad_map, &record, &out, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "invalid map layout");
}

TEST(GeneratorFailures, EofOnlyAfterTheLastByteAndReadsAfterItAreEmpty) {
    Outer1 record{{1}};
    vellum_generator generator;
    ASSERT_EQ(vellum_generator_init(&generator, &outer1_map, &record, nullptr), VELLUM_STATUS_OK);
    size_t len = 0;
    int eof = 1;
    char buffer[32];
    ASSERT_EQ(vellum_generator_read(&generator, buffer, 0, &len, &eof), VELLUM_STATUS_OK);
    EXPECT_EQ(eof, 0);
    // The document is 13 bytes: an exact fit reports eof with its last byte.
    ASSERT_EQ(vellum_generator_read(&generator, buffer, 12, &len, &eof), VELLUM_STATUS_OK);
    EXPECT_EQ(len, 12u);
    EXPECT_EQ(eof, 0);
    ASSERT_EQ(vellum_generator_read(&generator, buffer + 12, 1, &len, &eof), VELLUM_STATUS_OK);
    EXPECT_EQ(len, 1u);
    EXPECT_EQ(eof, 1);
    EXPECT_EQ(std::string(buffer, 13), "{\"a\":{\"b\":1}}");
    for (size_t capacity : {size_t{0}, size_t{10}}) {
        len = 9;
        eof = 0;
        ASSERT_EQ(vellum_generator_read(&generator, buffer, capacity, &len, &eof), VELLUM_STATUS_OK);
        EXPECT_EQ(len, 0u);
        EXPECT_EQ(eof, 1);
        EXPECT_EQ(generator.eof, 1);
    }
    vellum_generator_cleanup(&generator);
}

struct Numbers {
    double f;
    vellum_array list;
};
const vellum_field numbers_fields[] = {
    VELLUM_FIELD_F64(Numbers, f, "f", 0),
    VELLUM_FIELD_ARRAY(Numbers, list, "list", VELLUM_KIND_F64_ARRAY, 0),
};
const vellum_map numbers_map = VELLUM_MAP(Numbers, numbers_fields);

// Reads until the first failure; returns its status and what was delivered before it.
vellum_status generate_until_failure(const vellum_map *map, const void *record, std::string *out,
                                     vellum_generator *generator) {
    EXPECT_EQ(vellum_generator_init(generator, map, record, nullptr), VELLUM_STATUS_OK);
    return read_all(generator, out, 3);
}

TEST(GeneratorFailures, NonFiniteNumbersFailAndTheFailureSticks) {
    double list[] = {1.0, std::numeric_limits<double>::infinity()};
    Numbers record{std::nan(""), {list, 2, 2, 0}};
    vellum_generator generator;
    std::string out;
    EXPECT_EQ(generate_until_failure(&numbers_map, &record, &out, &generator), VELLUM_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(generator.error.message, "non-finite double cannot be serialized");
    EXPECT_EQ(out, "{\"f\":");
    EXPECT_EQ(generator.eof, 0);
    char buffer[8];
    size_t len = 3;
    EXPECT_EQ(vellum_generator_read(&generator, buffer, sizeof buffer, &len, nullptr), VELLUM_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(len, 0u);
    vellum_generator_cleanup(&generator);

    record.f = 0.1;
    out.clear();
    EXPECT_EQ(generate_until_failure(&numbers_map, &record, &out, &generator), VELLUM_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(generator.error.message, "non-finite double cannot be serialized");
    EXPECT_EQ(out, "{\"f\":0.10000000000000001,\"list\":[1,");
    vellum_generator_cleanup(&generator);
}

TEST(GeneratorFailures, ParseOnlyFieldIsRefusedByName) {
    struct WithStream {
        int64_t a;
        vellum_string_array_stream names;
    };
    const vellum_field fields[] = {
        VELLUM_FIELD_I64(WithStream, a, "a", 0),
        VELLUM_FIELD_OF_KIND(WithStream, names, "names", VELLUM_KIND_STRING_ARRAY_STREAM, 0),
    };
    const vellum_map map = VELLUM_MAP(WithStream, fields);
    WithStream record{};
    vellum_init(&map, &record);
    vellum_generator generator;
    std::string out;
    EXPECT_EQ(generate_until_failure(&map, &record, &out, &generator), VELLUM_STATUS_TYPE_MISMATCH);
    EXPECT_STREQ(generator.error.message, "field 'names' is parse-only and cannot be serialized");
    EXPECT_EQ(out, "{\"a\":0,\"names\":");
    vellum_generator_cleanup(&generator);
}

TEST(GeneratorFailures, SourceFailuresCarryTheirMessageAndErrno) {
    TempDir dir;
    Streams record{};
    vellum_init(&streams_map, &record);
    std::string missing = dir.file("missing.txt");
    ASSERT_EQ(vellum_source_set_path(&record.text, missing.c_str(), nullptr), 0);
    vellum_generator generator;
    std::string out;
    EXPECT_EQ(generate_until_failure(&streams_map, &record, &out, &generator), VELLUM_STATUS_IO_ERROR);
    EXPECT_EQ(std::string(generator.error.message), "failed to open source path '" + missing + "'");
    EXPECT_EQ(generator.error.system_errno, ENOENT);
    EXPECT_EQ(out, "{\"t\":\"");
    vellum_generator_cleanup(&generator);

    // A directory descriptor seeks but cannot be read.
    int dir_fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir_fd, 0);
    ASSERT_EQ(vellum_source_set_fd(&record.text, dir_fd, nullptr), 0);
    out.clear();
    EXPECT_EQ(generate_until_failure(&streams_map, &record, &out, &generator), VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(generator.error.message, "failed to read source data");
    EXPECT_EQ(generator.error.system_errno, EISDIR);
    vellum_generator_cleanup(&generator);
    ::close(dir_fd);

    // A pipe cannot be rewound: generating fails, and measuring refuses it up front.
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    ASSERT_EQ(vellum_source_set_fd(&record.text, pipe_fds[0], nullptr), 0);
    out.clear();
    EXPECT_EQ(generate_until_failure(&streams_map, &record, &out, &generator), VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(generator.error.message, "failed to rewind source fd; non-seekable sources are unsupported");
    vellum_generator_cleanup(&generator);
    size_t length = 99;
    vellum_error error;
    EXPECT_EQ(vellum_generator_measure(&streams_map, &record, &length, nullptr, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "cannot measure non-rewindable JSON document");
    EXPECT_EQ(length, 0u);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    vellum_cleanup(&streams_map, &record);
}

TEST(GeneratorFailures, SpoolFileThatShrankFailsTheRead) {
    Spools record{};
    vellum_init(&spools_map, &record);
    std::string content(10000, 'z');
    ASSERT_EQ(vellum_spooled_append(&record.text, content.data(), content.size(), nullptr), 0);
    ASSERT_EQ(vellum_spooled_spilled(&record.text), 1);
    ASSERT_EQ(::ftruncate(fileno(record.text.file), 100), 0);
    vellum_generator generator;
    std::string out;
    EXPECT_EQ(generate_until_failure(&spools_map, &record, &out, &generator), VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(generator.error.message, "failed to read spooled data");
    EXPECT_NE(generator.error.system_errno, 0);
    vellum_generator_cleanup(&generator);
    vellum_cleanup(&spools_map, &record);
}

TEST(GeneratorFailures, AllocationFailures) {
    Deep record;
    std::memset(&record, 0, sizeof record);
    CountingAllocator counting;
    vellum_write_options options = write_options(true, counting.get());
    vellum_generator generator;

    counting.fail_at(1);
    EXPECT_EQ(vellum_generator_init(&generator, &LevelMap<kDeepLevels>::map, &record, &options),
              VELLUM_STATUS_ALLOCATION_FAILED);
    EXPECT_STREQ(generator.error.message, "failed to allocate generator state");
    counting.fail_at(2);
    EXPECT_EQ(vellum_generator_init(&generator, &LevelMap<kDeepLevels>::map, &record, &options),
              VELLUM_STATUS_ALLOCATION_FAILED);
    EXPECT_STREQ(generator.error.message, "failed to allocate generator state");
    EXPECT_EQ(generator.state, nullptr);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);

    // The 40-level chain needs more than the first 16 frames: the third allocation grows them.
    counting.fail_at(3);
    std::string out;
    ASSERT_EQ(vellum_generator_init(&generator, &LevelMap<kDeepLevels>::map, &record, &options), VELLUM_STATUS_OK);
    EXPECT_EQ(read_all(&generator, &out), VELLUM_STATUS_ALLOCATION_FAILED);
    EXPECT_STREQ(generator.error.message, "failed to grow generator frame stack");
    vellum_generator_cleanup(&generator);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);

    counting.fail_at(0);
    out.clear();
    ASSERT_EQ(vellum_generator_init(&generator, &LevelMap<kDeepLevels>::map, &record, &options), VELLUM_STATUS_OK);
    EXPECT_EQ(read_all(&generator, &out), VELLUM_STATUS_OK);
    EXPECT_EQ(out, serialize(&LevelMap<kDeepLevels>::map, &record, true));
    EXPECT_GE(counting.stats().realloc_count, 1u);
    vellum_generator_cleanup(&generator);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
}


// ---- raw JSON values ---------------------------------------------------------------------------

// A raw value between two ordinary members, so its layout must join the surrounding one.
struct Raw {
    int64_t before;
    vellum_json_value v;
    char *after;
};
const vellum_field raw_fields[] = {
    VELLUM_FIELD_I64(Raw, before, "before", 0),
    VELLUM_FIELD_OF_KIND(Raw, v, "v", VELLUM_KIND_JSON_VALUE, 0),
    VELLUM_FIELD_STRING(Raw, after, "after", 0),
};
const vellum_map raw_map = VELLUM_MAP(Raw, raw_fields);

// Elements of an object array, each holding a raw value.
struct RawItem {
    vellum_json_value v;
};
const vellum_field raw_item_fields[] = {VELLUM_FIELD_OF_KIND(RawItem, v, "v", VELLUM_KIND_JSON_VALUE, 0)};
const vellum_map raw_item_map = VELLUM_MAP(RawItem, raw_item_fields);

// A chain of 34 objects with a raw value and an object array of raw values at the bottom.
template <int N>
struct RawLevel {
    RawLevel<N - 1> next;
};
template <>
struct RawLevel<0> {
    vellum_json_value v;
    vellum_object_array items;
};
template <int N>
struct RawLevelMap {
    static constexpr vellum_field fields[] = {VELLUM_FIELD_OBJECT(RawLevel<N>, next, "next", &RawLevelMap<N - 1>::map, 0)};
    static constexpr vellum_map map = {"raw_level", sizeof(RawLevel<N>), fields, 1};
};
template <>
struct RawLevelMap<0> {
    static constexpr vellum_field fields[] = {
        VELLUM_FIELD_OF_KIND(RawLevel<0>, v, "v", VELLUM_KIND_JSON_VALUE, 0),
        VELLUM_FIELD_OBJECT_ARRAY(RawLevel<0>, items, "items", RawItem, &raw_item_map, 0),
    };
    static constexpr vellum_map map = {"raw_level0", sizeof(RawLevel<0>), fields, 2};
};
constexpr int kRawLevels = 34;
using RawDeep = RawLevel<kRawLevels>;
template <int N>
RawLevel<0> &raw_bottom(RawLevel<N> &level) {
    if constexpr (N == 0) {
        return level;
    } else {
        return raw_bottom(level.next);
    }
}

// JSON text with whitespace everywhere, every escape form, long strings and numbers, and
// containers nested `depth` deep, so pieces of 4096 bytes cut through every kind of token.
std::string messy_json(size_t target, size_t depth, unsigned seed) {
    std::mt19937 random(seed);
    static const char *const kWhite[] = {"", " ", "\t", "\r\n  ", "\n\n"};
    auto ws = [&] { return std::string(kWhite[random() % 5]); };
    static const char *const kScalars[] = {
        "\"plain\"", "\"esc \\\" \\\\ \\/ \\b \\f \\n \\r \\t\"", "\"\\u00e9\\uD83D\\uDE00 \xc3\xa9\"", "-0",
        "12.5e+3", "-1E-7", "true", "false", "null", "0.10000000000000001", "\"\"", "[]", "{}", "[ ]", "{ }"};
    std::string out = ws() + "{" + ws();
    size_t open = 1;
    std::string closers = "}";
    bool first = true;
    while (out.size() < target || open > 0) {
        bool in_object = closers.back() == '}';
        if (out.size() >= target) {
            out += ws() + closers.back();
            closers.pop_back();
            open--;
            first = false;
            continue;
        }
        if (!first) out += ws() + "," + ws();
        first = false;
        if (in_object) out += "\"k" + std::to_string(random() % 1000) + "\"" + ws() + ":" + ws();
        unsigned pick = random() % 20;
        if (open < depth && pick < 4) {
            bool object = pick < 2;
            out += object ? "{" : "[";
            closers += object ? '}' : ']';
            open++;
            first = true;
            out += ws();
            // An empty container now and then.
            if (random() % 5 == 0) {
                out += closers.back();
                closers.pop_back();
                open--;
                first = false;
            }
        } else if (pick == 4) {
            out += "\"" + std::string(random() % 700, 'x') + "\"";
        } else if (pick == 5) {
            out += std::to_string(random()) + std::string(random() % 300, '7') + ".25";
        } else {
            out += kScalars[random() % (sizeof kScalars / sizeof *kScalars)];
        }
    }
    return out + ws();
}

// Text nested `depth` deep in alternating arrays and objects around one number.
std::string nested_json(size_t depth) {
    std::string open, close;
    for (size_t i = 0; i < depth; i++) {
        if (i % 2) {
            open += "{ \"k\" : ";
            close = " }" + close;
        } else {
            open += "[ 1 , ";
            close = " ]" + close;
        }
    }
    return open + "42" + close;
}

// A reader over a string that hands out at most `step` bytes per call.
struct StringReader {
    std::string text;
    size_t pos = 0;
    size_t step = 1;
    int fail_errno = 0;  // fail with this errno once pos passes half the text
    static vellum_read_result read(void *user, void *buffer, size_t capacity) {
        auto *self = static_cast<StringReader *>(user);
        vellum_read_result result{};
        if (self->fail_errno && self->pos >= self->text.size() / 2) {
            result.error = self->fail_errno;
            return result;
        }
        size_t n = std::min({capacity, self->step, self->text.size() - self->pos});
        std::memcpy(buffer, self->text.data() + self->pos, n);
        self->pos += n;
        result.bytes = n;
        result.eof = self->pos == self->text.size();
        return result;
    }
};

// Runs the generator until it fails; returns the status, output so far in *out.
vellum_status generate_raw(const vellum_map *map, const void *record, bool pretty, std::string *out,
                           vellum_generator *generator, size_t capacity = 4096) {
    vellum_write_options options = write_options(pretty);
    EXPECT_EQ(vellum_generator_init(generator, map, record, &options), VELLUM_STATUS_OK);
    return read_all(generator, out, capacity);
}

struct RawRecord {
    Raw record{};
    RawRecord() { vellum_json_value_init(&record.v); record.before = -3; record.after = const_cast<char *>("end"); }
    ~RawRecord() { vellum_json_value_cleanup(&record.v); }
};

class RawSources : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Layout, RawSources, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Pretty" : "Compact"; });

TEST_P(RawSources, EverySeekableSourceMatchesTheSerializerAtEveryReadSize) {
    bool pretty = GetParam();
    TempDir dir;
    const std::string text = messy_json(20000, 12, 7);
    const std::string path = dir.write("value.json", text);
    RawRecord r;
    vellum_error error;

    ASSERT_EQ(vellum_json_value_set_buffer(&r.record.v, text.data(), text.size(), &error), VELLUM_STATUS_OK)
        << error.message;
    std::string reference;
    expect_all_agree(&raw_map, &r.record, pretty, &reference);
    EXPECT_GT(reference.size(), 12000u);

    FILE *file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(vellum_json_value_set_file(&r.record.v, file, &error), VELLUM_STATUS_OK);
    std::string from_file;
    expect_all_agree(&raw_map, &r.record, pretty, &from_file);
    EXPECT_TRUE(from_file == reference);

    int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(vellum_json_value_set_fd(&r.record.v, fd, &error), VELLUM_STATUS_OK);
    std::string from_fd;
    expect_all_agree(&raw_map, &r.record, pretty, &from_fd);
    EXPECT_TRUE(from_fd == reference);

    size_t fds_before = open_fd_count();
    ASSERT_EQ(vellum_json_value_set_path(&r.record.v, path.c_str(), &error), VELLUM_STATUS_OK);
    std::string from_path;
    expect_all_agree(&raw_map, &r.record, pretty, &from_path);
    EXPECT_TRUE(from_path == reference);
    EXPECT_EQ(open_fd_count(), fds_before) << "the path's own FILE stays open";

    vellum_json_value_cleanup(&r.record.v);
    ::close(fd);
    std::fclose(file);
}

TEST_P(RawSources, ReaderSourceMatchesTheSerializerForEveryReaderStep) {
    bool pretty = GetParam();
    const std::string text = messy_json(9000, 8, 11);
    RawRecord r;
    vellum_error error;
    StringReader reader;
    reader.text = text;
    ASSERT_EQ(vellum_json_value_set_reader(&r.record.v, StringReader::read, &reader, &error), VELLUM_STATUS_OK);
    reader.step = SIZE_MAX;
    std::string reference = serialize(&raw_map, &r.record, pretty);
    ASSERT_GT(reference.size(), 5000u);
    for (size_t step : {size_t{1}, size_t{3}, size_t{4096}, SIZE_MAX}) {
        for (size_t capacity : {size_t{1}, size_t{7}, size_t{4096}, reference.size() + 1}) {
            reader.pos = 0;
            reader.step = step;
            ASSERT_TRUE(generate(&raw_map, &r.record, pretty, capacity) == reference)
                << "reader step " << step << ", capacity " << capacity;
        }
    }
}

TEST_P(RawSources, DeepValuesDeepInTheRecordAndInObjectArrays) {
    bool pretty = GetParam();
    TempDir dir;
    // Nesting inside the value passes 32 levels too, and 300 levels make a pretty line longer
    // than the chunk.
    const std::string deep = nested_json(40);
    const std::string deeper = nested_json(300);
    const std::string deep_path = dir.write("deep.json", deep);
    static RawDeep record;  // large: keep it off the stack
    std::memset(&record, 0, sizeof record);
    RawLevel<0> &bottom = raw_bottom(record);
    vellum_json_value_init(&bottom.v);
    vellum_error error;
    ASSERT_EQ(vellum_json_value_set_path(&bottom.v, deep_path.c_str(), &error), VELLUM_STATUS_OK);
    RawItem items[3];
    for (auto &item : items) vellum_json_value_init(&item.v);
    ASSERT_EQ(vellum_json_value_set_buffer(&items[0].v, deeper.data(), deeper.size(), &error), VELLUM_STATUS_OK);
    // items[1] stays without source: null between two raw values.
    ASSERT_EQ(vellum_json_value_set_buffer(&items[2].v, " \"s\" ", 5, &error), VELLUM_STATUS_OK);
    bottom.items.items = items;
    bottom.items.count = 3;

    std::string out;
    expect_all_agree(&RawLevelMap<kRawLevels>::map, &record, pretty, &out);
    EXPECT_NE(out.find("null"), std::string::npos);
    if (pretty) {
        // The value's members continue the record's layout: 2 spaces per level of both.
        std::string inner = std::string(2 * (kRawLevels + 2), ' ') + "1,";
        EXPECT_NE(out.find("\n" + inner + "\n"), std::string::npos) << "first element of the value at its depth";
    } else {
        EXPECT_EQ(out.find_first_of(" \t\r\n"), std::string::npos) << "compact output keeps no whitespace";
    }
    for (auto &item : items) vellum_json_value_cleanup(&item.v);
    vellum_json_value_cleanup(&bottom.v);
}

TEST(GeneratorRawValues, SpacedObjectIsCompactedAndLaidOutLikeTheSerializer) {
    RawRecord r;
    vellum_error error;
    const char text[] = " { \"a\" : [ 1 , 2 ] } ";
    TempDir dir;
    ASSERT_EQ(vellum_json_value_set_path(&r.record.v, dir.write("a.json", text).c_str(), &error), VELLUM_STATUS_OK);
    EXPECT_EQ(generate(&raw_map, &r.record, false, 1), "{\"before\":-3,\"v\":{\"a\":[1,2]},\"after\":\"end\"}");
    EXPECT_EQ(generate(&raw_map, &r.record, true, 3),
              "{\n  \"before\": -3,\n  \"v\": {\n    \"a\": [\n      1,\n      2\n    ]\n  },\n  \"after\": \"end\"\n}");
}

TEST(GeneratorRawValues, LongNumbersAndStringsPassWholeThroughSmallReads) {
    // A number longer than the chunk comes out in one token; no length cap of its own.
    std::string number = "-" + std::string(10000, '9') + ".5e-3";
    std::string text = "[" + number + ", \"" + std::string(9000, 'y') + "\\u0041\"]";
    RawRecord r;
    vellum_error error;
    TempDir dir;
    ASSERT_EQ(vellum_json_value_set_path(&r.record.v, dir.write("n.json", text).c_str(), &error), VELLUM_STATUS_OK);
    std::string out;
    expect_all_agree(&raw_map, &r.record, false, &out);
    EXPECT_NE(out.find(number + ",\""), std::string::npos);
    expect_all_agree(&raw_map, &r.record, true);
}

TEST(GeneratorRawValues, FileValueWrittenTwiceIsRewoundEachTime) {
    RawRecord r;
    vellum_error error;
    FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const std::string text = messy_json(6000, 5, 3);
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), file), text.size());
    ASSERT_EQ(vellum_json_value_set_file(&r.record.v, file, &error), VELLUM_STATUS_OK);
    std::string first = generate(&raw_map, &r.record, false, 7);
    // Left at its end (and then in the middle) by the first pass and by the caller.
    std::fseek(file, 100, SEEK_SET);
    std::string second = generate(&raw_map, &r.record, false, 4096);
    EXPECT_TRUE(first == second);
    EXPECT_TRUE(first == serialize(&raw_map, &r.record, false));
    EXPECT_GT(first.size(), 3000u);
    vellum_json_value_cleanup(&r.record.v);
    std::fclose(file);
}

TEST(GeneratorRawValues, MemoryStaysBoundedForALargeValue) {
    CountingAllocator counting;
    RawRecord r;
    vellum_json_value_cleanup(&r.record.v);
    vellum_json_value_init_with_allocator(&r.record.v, counting.get());
    TempDir dir;
    std::string text = messy_json(3 << 20, 20, 5);
    vellum_error error;
    ASSERT_EQ(vellum_json_value_set_path(&r.record.v, dir.write("big.json", text).c_str(), &error), VELLUM_STATUS_OK);
    size_t baseline = counting.stats().bytes_in_use;
    for (bool pretty : {false, true}) {
        std::string out = generate(&raw_map, &r.record, pretty, 1000);
        EXPECT_TRUE(out == serialize(&raw_map, &r.record, pretty)) << "pretty " << pretty;
        EXPECT_EQ(counting.stats().bytes_in_use, baseline) << "everything the re-emitter took is returned";
    }
    EXPECT_LT(counting.stats().peak_bytes - baseline, size_t{64} << 10) << "memory grew with the value";

    // 3000 levels: a pretty line is longer than the chunk, yet only about one line waits.
    ASSERT_EQ(vellum_json_value_set_path(&r.record.v, dir.write("deep.json", nested_json(3000)).c_str(), &error),
              VELLUM_STATUS_OK);
    baseline = counting.stats().bytes_in_use;
    std::string out = generate(&raw_map, &r.record, true, 4096);
    EXPECT_TRUE(out == serialize(&raw_map, &r.record, true));
    EXPECT_GT(out.size(), size_t{9} << 20);
    EXPECT_LT(counting.stats().peak_bytes - baseline, size_t{64} << 10) << "memory grew with the nesting";
}

// Every text that the serializer refuses, the generator refuses with the same status (and the
// same message but for the separator wording and the one-value check), and vice versa.
TEST(GeneratorRawValues, RefusesExactlyWhatTheSerializerRefuses) {
    struct Case {
        const char *text;
        vellum_status status;
        const char *message;
    };
    const Case cases[] = {
        {"1 2", VELLUM_STATUS_INVALID_JSON, "JSON value must contain exactly one value"},
        {"{} x", VELLUM_STATUS_INVALID_JSON, "JSON value must contain exactly one value"},
        {"[1 2]", VELLUM_STATUS_INVALID_JSON, "expected ',' or ']' in array"},
        {"{\"a\":1 \"b\":2}", VELLUM_STATUS_INVALID_JSON, "expected ',' or '}' in object"},
        {"{\"a\" 1}", VELLUM_STATUS_INVALID_JSON, "expected ':' after object key"},
        {"{1:2}", VELLUM_STATUS_INVALID_JSON, "expected object key"},
        {"[1,]", VELLUM_STATUS_INVALID_JSON, "expected JSON value"},
        {"", VELLUM_STATUS_INVALID_JSON, "expected JSON value"},
        {"[1,2", VELLUM_STATUS_INVALID_JSON, "unterminated JSON array"},
        {"{\"a\":[]", VELLUM_STATUS_INVALID_JSON, "unterminated JSON object"},
        {"\"abc", VELLUM_STATUS_INVALID_JSON, "unterminated JSON string"},
        {"\"a\x01\"", VELLUM_STATUS_INVALID_JSON, "control character in string"},
        {"\"a\\", VELLUM_STATUS_INVALID_JSON, "unterminated escape sequence"},
        {"\"\\x\"", VELLUM_STATUS_INVALID_JSON, "invalid string escape"},
        {"\"\\u12g4\"", VELLUM_STATUS_INVALID_JSON, "invalid unicode escape"},
        {"01", VELLUM_STATUS_INVALID_JSON, "invalid JSON number"},
        {"1.e5", VELLUM_STATUS_INVALID_JSON, "invalid JSON number"},
        {"nul", VELLUM_STATUS_INVALID_JSON, "invalid JSON literal"},
        {"trUe", VELLUM_STATUS_INVALID_JSON, "invalid JSON literal"},
    };
    TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        RawRecord r;
        vellum_error error;
        ASSERT_EQ(vellum_json_value_set_path(&r.record.v, dir.write("bad.json", c.text).c_str(), &error),
                  VELLUM_STATUS_OK);
        std::string sunk;
        vellum_status serialized = vellum_serialize_sink(&raw_map, &r.record, append_sink, &sunk, nullptr, &error);
        EXPECT_EQ(serialized, c.status);
        for (size_t capacity : {size_t{1}, size_t{4096}}) {
            vellum_generator generator;
            std::string out;
            EXPECT_EQ(generate_raw(&raw_map, &r.record, false, &out, &generator, capacity), c.status);
            EXPECT_STREQ(generator.error.message, c.message);
            EXPECT_EQ(generator.error.code, c.status);
            // The members before the value were delivered; nothing after it.
            EXPECT_EQ(out.rfind("{\"before\":-3,\"v\":", 0), 0u) << out;
            EXPECT_EQ(out.find("after"), std::string::npos);
            // A failed generator stays failed.
            char byte;
            size_t len = 9;
            EXPECT_EQ(vellum_generator_read(&generator, &byte, 1, &len, nullptr), c.status);
            EXPECT_EQ(len, 0u);
            vellum_generator_cleanup(&generator);
        }
    }
    // Surrogate checks are the transcoder's as well: accepted or refused alike.
    for (const char *text : {"\"\\ud83d\"", "\"\\ude00\"", "\"\\ud83d\\u0041\"", "\"\\ud83d\\ude00\""}) {
        SCOPED_TRACE(text);
        RawRecord r;
        vellum_error error;
        ASSERT_EQ(vellum_json_value_set_path(&r.record.v, dir.write("s.json", text).c_str(), &error), VELLUM_STATUS_OK);
        std::string sunk;
        vellum_status serialized = vellum_serialize_sink(&raw_map, &r.record, append_sink, &sunk, nullptr, &error);
        std::string serializer_message = error.message;
        vellum_generator generator;
        std::string out;
        EXPECT_EQ(generate_raw(&raw_map, &r.record, false, &out, &generator, 1), serialized);
        EXPECT_EQ(serializer_message, generator.error.message);
        if (serialized == VELLUM_STATUS_OK) {
            EXPECT_EQ(out, sunk);
        }
        vellum_generator_cleanup(&generator);
    }
}

TEST(GeneratorRawValues, TotalByteLimitCountsEveryInputByte) {
    RawRecord r;
    vellum_error error;
    TempDir dir;
    const std::string text = " [ 1 , 2 ] ";  // 11 bytes, whitespace included
    ASSERT_EQ(vellum_json_value_set_path(&r.record.v, dir.write("t.json", text).c_str(), &error), VELLUM_STATUS_OK);
    r.record.v.limits.max_total_bytes = text.size();
    EXPECT_EQ(generate(&raw_map, &r.record, false, 1), serialize(&raw_map, &r.record, false));
    r.record.v.limits.max_total_bytes = text.size() - 1;
    vellum_generator generator;
    std::string out;
    EXPECT_EQ(generate_raw(&raw_map, &r.record, true, &out, &generator, 7), VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(generator.error.message, "JSON value exceeds maximum total byte limit");
    vellum_generator_cleanup(&generator);
    std::string sunk;
    EXPECT_EQ(vellum_serialize_sink(&raw_map, &r.record, append_sink, &sunk, nullptr, &error), VELLUM_STATUS_OVERFLOW);
}

TEST(GeneratorRawValues, SourceFailures) {
    TempDir dir;
    RawRecord r;
    vellum_error error;
    const std::string missing = dir.file("missing.json");
    ASSERT_EQ(vellum_json_value_set_path(&r.record.v, missing.c_str(), &error), VELLUM_STATUS_OK);
    vellum_generator generator;
    std::string out;
    EXPECT_EQ(generate_raw(&raw_map, &r.record, false, &out, &generator), VELLUM_STATUS_IO_ERROR);
    EXPECT_EQ(std::string(generator.error.message), "failed to open JSON value path '" + missing + "'");
    EXPECT_EQ(generator.error.system_errno, ENOENT);
    vellum_generator_cleanup(&generator);

    StringReader reader;
    reader.text = messy_json(3000, 4, 9);
    reader.step = 100;
    reader.fail_errno = EPIPE;
    ASSERT_EQ(vellum_json_value_set_reader(&r.record.v, StringReader::read, &reader, &error), VELLUM_STATUS_OK);
    out.clear();
    EXPECT_EQ(generate_raw(&raw_map, &r.record, false, &out, &generator, 1), VELLUM_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(generator.error.message, "reader callback failed");
    EXPECT_EQ(generator.error.system_errno, EPIPE);
    vellum_generator_cleanup(&generator);

    // A descriptor that cannot be rewound (a pipe).
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(vellum_json_value_set_fd(&r.record.v, fds[0], &error), VELLUM_STATUS_OK);
    EXPECT_EQ(generate_raw(&raw_map, &r.record, false, &out, &generator), VELLUM_STATUS_IO_ERROR);
    EXPECT_STREQ(generator.error.message, "failed to rewind JSON value fd");
    EXPECT_EQ(generator.error.system_errno, ESPIPE);
    vellum_generator_cleanup(&generator);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(GeneratorRawValues, CleanupMidValueClosesThePathFileAndFreesEverything) {
    CountingAllocator counting;
    RawRecord r;
    vellum_json_value_cleanup(&r.record.v);
    vellum_json_value_init_with_allocator(&r.record.v, counting.get());
    TempDir dir;
    vellum_error error;
    ASSERT_EQ(vellum_json_value_set_path(&r.record.v, dir.write("p.json", nested_json(500)).c_str(), &error),
              VELLUM_STATUS_OK);
    size_t baseline = counting.stats().bytes_in_use;
    size_t fds_before = open_fd_count();
    vellum_generator generator;
    vellum_write_options options = write_options(true);
    ASSERT_EQ(vellum_generator_init(&generator, &raw_map, &r.record, &options), VELLUM_STATUS_OK);
    char buffer[64];
    size_t len = 0;
    for (int i = 0; i < 20; i++) ASSERT_EQ(vellum_generator_read(&generator, buffer, sizeof buffer, &len, nullptr), 0);
    EXPECT_EQ(open_fd_count(), fds_before + 1);
    EXPECT_GT(counting.stats().bytes_in_use, baseline) << "500 levels outgrow the inline nesting stack";
    vellum_generator_cleanup(&generator);
    EXPECT_EQ(open_fd_count(), fds_before);
    EXPECT_EQ(counting.stats().bytes_in_use, baseline);
}


TEST(GeneratorRawValues, AllocationFailuresOfTheValueAllocatorAreReportedAndLeakNothing) {
    CountingAllocator counting;
    RawRecord r;
    vellum_json_value_cleanup(&r.record.v);
    vellum_json_value_init_with_allocator(&r.record.v, counting.get());
    TempDir dir;
    vellum_error error;
    // Deep nesting grows the scanner's stack, a long number its token buffer, and a pretty
    // line at that depth the output overflow.
    std::string text = "[" + std::string(5000, '1') + "," + nested_json(700) + "]";
    ASSERT_EQ(vellum_json_value_set_path(&r.record.v, dir.write("a.json", text).c_str(), &error), VELLUM_STATUS_OK);
    const std::string reference = serialize(&raw_map, &r.record, true);
    size_t baseline = counting.stats().bytes_in_use;
    size_t failures = 0;
    for (size_t n = 1; n < 200; n++) {
        counting.fail_at(n);
        vellum_generator generator;
        std::string out;
        vellum_status status = generate_raw(&raw_map, &r.record, true, &out, &generator, 333);
        counting.fail_at(0);
        if (status == VELLUM_STATUS_OK) {
            EXPECT_TRUE(out == reference) << "allocation " << n;
            vellum_generator_cleanup(&generator);
            break;
        }
        failures++;
        EXPECT_EQ(status, VELLUM_STATUS_ALLOCATION_FAILED) << generator.error.message;
        std::string message = generator.error.message;
        EXPECT_TRUE(message == "failed to grow JSON pull frame stack" || message == "failed to allocate JSON number buffer" ||
                    message == "failed to grow JSON value output")
            << message;
        EXPECT_TRUE(reference.compare(0, out.size(), out) == 0) << "delivered bytes are a prefix";
        vellum_generator_cleanup(&generator);
        EXPECT_EQ(counting.stats().bytes_in_use, baseline) << "allocation " << n;
    }
    EXPECT_GE(failures, 3u);
}

}  // namespace
