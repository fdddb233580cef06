// Maps, layout validation, status texts, error records, allocators and the record life cycle.
#include "vellum.h"

#include "fixtures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using korvo::testing::CountingAllocator;

namespace {

struct Inner {
    int64_t n;
    char code[4];
};
const vellum_field inner_fields[] = {
    VELLUM_FIELD_I64(Inner, n, "n", 0),
    VELLUM_FIELD_FIXED_STRING(Inner, code, "code", VELLUM_OVERFLOW_FAIL, 0),
};
const vellum_map inner_map = VELLUM_MAP(Inner, inner_fields);

struct Item {
    char *label;
    vellum_array tags;
};
const vellum_field item_fields[] = {
    VELLUM_FIELD_STRING(Item, label, "label", 0),
    VELLUM_FIELD_ARRAY(Item, tags, "tags", VELLUM_KIND_STRING_ARRAY, 0),
};
const vellum_map item_map = VELLUM_MAP(Item, item_fields);

struct Record {
    char *name;
    char fixed[8];
    int64_t count;
    int32_t count_present;
    double ratio;
    int32_t flag;
    Inner inner;
    vellum_array numbers;
    vellum_array names;
    vellum_object_array items;
};
const vellum_field record_fields[] = {
    VELLUM_FIELD_STRING(Record, name, "name", 0),
    VELLUM_FIELD_FIXED_STRING(Record, fixed, "fixed", VELLUM_OVERFLOW_FAIL, 0),
    VELLUM_FIELD_PRESENT(Record, count, "count", VELLUM_KIND_I64, count_present, 0),
    VELLUM_FIELD_F64(Record, ratio, "ratio", 0),
    VELLUM_FIELD_BOOL(Record, flag, "flag", 0),
    VELLUM_FIELD_OBJECT(Record, inner, "inner", &inner_map, 0),
    VELLUM_FIELD_ARRAY(Record, numbers, "numbers", VELLUM_KIND_I64_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Record, names, "names", VELLUM_KIND_STRING_ARRAY, 0),
    VELLUM_FIELD_OBJECT_ARRAY(Record, items, "items", Item, &item_map, 0),
};
const vellum_map record_map = VELLUM_MAP(Record, record_fields);

constexpr const char *kFullDocument =
    R"({"name":"alpha","fixed":"abc","count":7,"ratio":0.5,"flag":true,"inner":{"n":3,"code":"xy"},)"
    R"("numbers":[1,2,3,4,5,6,7,8,9],"names":["a","b","c","d","e"],)"
    R"("items":[{"label":"one","tags":["x","y"]},{"label":"two","tags":[]},{"label":null}]})";

TEST(FieldMacros, ComputeNameBytesAndOffsets) {
    const vellum_field &field = record_fields[1];
    EXPECT_STREQ(field.name, "fixed");
    EXPECT_EQ(field.name_len, 5u);
    EXPECT_EQ(field.name_first, 'f');
    EXPECT_EQ(field.name_last, 'd');
    EXPECT_EQ(field.offset, offsetof(Record, fixed));
    EXPECT_EQ(field.capacity, 8u);
    EXPECT_EQ(field.storage, VELLUM_STORAGE_FIXED);
    EXPECT_EQ(record_fields[2].presence_offset, offsetof(Record, count_present));
    EXPECT_TRUE(record_fields[2].flags & VELLUM_FIELD_HAS_PRESENCE);
    EXPECT_EQ(record_fields[8].elem_size, sizeof(Item));
    EXPECT_EQ(record_map.struct_size, sizeof(Record));
    EXPECT_EQ(record_map.field_count, 9u);
}

TEST(Status, TextsAndUnknownValues) {
    EXPECT_STREQ(vellum_status_string(VELLUM_STATUS_OK), "ok");
    EXPECT_STREQ(vellum_status_string(VELLUM_STATUS_OVERFLOW), "overflow");
    EXPECT_STREQ(vellum_status_string(VELLUM_STATUS_MISSING_REQUIRED_FIELD), "missing_required_field");
    EXPECT_STREQ(vellum_status_string(VELLUM_STATUS_INTERNAL_ERROR), "internal_error");
    EXPECT_STREQ(vellum_status_string(12), "unknown");
    EXPECT_STREQ(vellum_status_string(-1), "unknown");
}

TEST(ErrorRecord, InitClearsEverything) {
    vellum_error error;
    std::memset(&error, 0x5a, sizeof error);
    vellum_error_init(&error);
    EXPECT_EQ(error.code, 0);
    EXPECT_EQ(error.line, 0u);
    EXPECT_EQ(error.column, 0u);
    EXPECT_EQ(error.offset, 0u);
    EXPECT_EQ(error.system_errno, 0);
    EXPECT_EQ(error.truncated, 0);
    EXPECT_STREQ(error.message, "");
    vellum_error_init(nullptr);
}

TEST(ErrorRecord, LongMessagesAreCutAndTerminated) {
    // A path longer than the message buffer shows up in the open failure message.
    std::string path = "/nonexistent/" + std::string(300, 'p');
    vellum_error error;
    Record record;
    EXPECT_EQ(vellum_parse_path(&record_map, &record, path.c_str(), nullptr, &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_EQ(std::strlen(error.message), 159u);
    EXPECT_EQ(std::string(error.message).substr(0, 18), "failed to open '/n");
    EXPECT_EQ(error.system_errno, ENOENT);
}

TEST(Defaults, OptionRecords) {
    vellum_parse_options parse = vellum_default_parse_options();
    EXPECT_EQ(parse.clear_destination, 1);
    EXPECT_EQ(parse.reject_duplicates, 1);
    EXPECT_EQ(parse.max_depth, 64u);
    EXPECT_EQ(parse.allocator, nullptr);
    vellum_write_options write = vellum_default_write_options();
    EXPECT_EQ(write.overflow, VELLUM_OVERFLOW_FAIL);
    EXPECT_EQ(write.pretty, 0);
    EXPECT_EQ(write.max_output_bytes, 8388608u);
    vellum_value_limits limits = vellum_default_value_limits();
    EXPECT_EQ(limits.max_depth, 64u);
    EXPECT_EQ(limits.max_string_bytes, 1048576u);
    EXPECT_EQ(limits.max_number_bytes, 256u);
    EXPECT_EQ(limits.max_key_bytes, 65536u);
    EXPECT_EQ(limits.max_total_bytes, 0u);
    vellum_allocator allocator = vellum_default_allocator();
    EXPECT_NE(allocator.malloc_fn, nullptr);
    EXPECT_NE(allocator.realloc_fn, nullptr);
    EXPECT_NE(allocator.free_fn, nullptr);
    EXPECT_EQ(allocator.ctx, nullptr);
    EXPECT_EQ(allocator.stats, nullptr);
    vellum_owned_buffer buffer = vellum_default_owned_buffer();
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.length, 0u);
    EXPECT_EQ(buffer.allocator.malloc_fn, allocator.malloc_fn);
    vellum_read_result read = vellum_default_read_result();
    EXPECT_EQ(read.bytes, 0u);
    EXPECT_EQ(read.eof | read.would_block | read.error, 0);
}

// Each broken descriptor makes the map invalid for every entry point.
TEST(Layout, InvalidMapsAreRejected) {
    struct Small {
        int64_t a;
        char *s;
    };
    const vellum_field too_far[] = {VELLUM_FIELD_FULL(Small, s, "s", VELLUM_KIND_I64, VELLUM_STORAGE_DYNAMIC,
                                                      VELLUM_OVERFLOW_FAIL, 0, 0, 0, nullptr, nullptr, 0)};
    vellum_field past_end = too_far[0];
    past_end.offset = sizeof(Small) - 4;
    vellum_field zero_capacity = VELLUM_FIELD_FULL(Small, s, "s", VELLUM_KIND_STRING, VELLUM_STORAGE_FIXED,
                                                   VELLUM_OVERFLOW_FAIL, 0, 0, 0, nullptr, nullptr, 0);
    vellum_field object_without_map = VELLUM_FIELD_OBJECT(Small, a, "a", nullptr, 0);
    vellum_field presence_on_string = VELLUM_FIELD_STRING(Small, s, "s", VELLUM_FIELD_HAS_PRESENCE);
    vellum_field required_and_omit = VELLUM_FIELD_STRING(Small, s, "s", VELLUM_FIELD_REQUIRED | VELLUM_FIELD_OMIT_EMPTY);
    vellum_field bad_kind = VELLUM_FIELD_I64(Small, a, "a", 0);
    bad_kind.kind = static_cast<vellum_kind>(18);
    const vellum_field broken[] = {past_end, zero_capacity, object_without_map, presence_on_string, required_and_omit,
                                   bad_kind};
    for (const vellum_field &field : broken) {
        vellum_map map = {"broken", sizeof(Small), &field, 1};
        Small record{};
        vellum_error error;
        EXPECT_EQ(vellum_parse_cstr(&map, &record, "{}", nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
        EXPECT_STREQ(error.message, "invalid map layout");
        vellum_cleanup(&map, &record);  // must do nothing
    }
    vellum_map null_fields = {"null fields", sizeof(Small), nullptr, 2};
    Small record{};
    vellum_error error;
    EXPECT_EQ(vellum_parse_cstr(&null_fields, &record, "{}", nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "invalid map layout");

    // A nested map is checked too.
    struct Outer {
        Small small;
    };
    vellum_map bad_nested = {"bad nested", sizeof(Small), &past_end, 1};
    const vellum_field outer_fields[] = {VELLUM_FIELD_OBJECT(Outer, small, "small", &bad_nested, 0)};
    const vellum_map outer_map = VELLUM_MAP(Outer, outer_fields);
    Outer outer{};
    EXPECT_EQ(vellum_parse_cstr(&outer_map, &outer, "{}", nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "invalid map layout");

    // Object array elements smaller than their map's record.
    struct Holder {
        vellum_object_array items;
    };
    const vellum_field short_elements[] = {VELLUM_FIELD_OBJECT_ARRAY(Holder, items, "items", int32_t, &inner_map, 0)};
    const vellum_map short_map = VELLUM_MAP(Holder, short_elements);
    Holder holder{};
    EXPECT_EQ(vellum_parse_cstr(&short_map, &holder, "{}", nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "invalid map layout");

    // An empty map is valid and accepts {}.
    vellum_map empty = {"empty", sizeof(Small), nullptr, 0};
    EXPECT_EQ(vellum_parse_cstr(&empty, &record, "{}", nullptr, &error), VELLUM_STATUS_OK);
}

TEST(Allocator, PartialAllocatorIsRejectedBeforeAnyChange) {
    CountingAllocator counting;
    vellum_allocator partial{};
    partial.malloc_fn = counting.get()->malloc_fn;
    vellum_parse_options options = vellum_default_parse_options();
    options.allocator = &partial;
    Record record;
    std::memset(&record, 0x11, sizeof record);
    Record before = record;
    vellum_error error;
    EXPECT_EQ(vellum_parse_cstr(&record_map, &record, kFullDocument, &options, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "allocator must provide either all callbacks or none");
    EXPECT_EQ(std::memcmp(&record, &before, sizeof record), 0);
}

// Everything a parse allocates is released by cleanup, and the counters show it.
TEST(Allocator, CleanupReturnsBytesInUseToZero) {
    CountingAllocator counting;
    vellum_parse_options options = vellum_default_parse_options();
    options.allocator = counting.get();
    Record record;
    vellum_error error;
    ASSERT_EQ(vellum_parse_cstr(&record_map, &record, kFullDocument, &options, &error), VELLUM_STATUS_OK)
        << error.message;
    const vellum_alloc_stats &stats = counting.stats();
    EXPECT_GT(stats.bytes_in_use, 0u);
    EXPECT_GT(stats.realloc_count, 0u);  // numbers grew past 4 and 8 elements
    EXPECT_GE(stats.peak_bytes, stats.bytes_in_use);
    size_t allocations = stats.alloc_count;
    vellum_cleanup(&record_map, &record);
    EXPECT_EQ(stats.bytes_in_use, 0u);
    EXPECT_EQ(stats.free_count, allocations);
    // Strings: name, 5 names, 2 labels, 2 tags; buffers: numbers, names, items, one tags array.
    EXPECT_EQ(allocations, 10u + 4u);
    EXPECT_EQ(record.name, nullptr);
    EXPECT_EQ(record.items.count, 0u);
    EXPECT_EQ(record.count_present, 0);
}

TEST(Allocator, EveryFailingAllocationIsReportedAndLeaksNothing) {
    for (size_t k = 1;; k++) {
        CountingAllocator counting;
        counting.fail_at(k);
        vellum_parse_options options = vellum_default_parse_options();
        options.allocator = counting.get();
        Record record;
        vellum_error error;
        vellum_status status = vellum_parse_cstr(&record_map, &record, kFullDocument, &options, &error);
        vellum_cleanup(&record_map, &record);
        EXPECT_EQ(counting.stats().bytes_in_use, 0u) << "k=" << k;
        if (counting.failures() == 0) {
            EXPECT_EQ(status, VELLUM_STATUS_OK);
            EXPECT_GT(k, 10u);
            break;
        }
        EXPECT_EQ(status, VELLUM_STATUS_ALLOCATION_FAILED) << "k=" << k;
        std::string message = error.message;
        EXPECT_TRUE(message == "failed to allocate string" || message == "failed to grow array" ||
                    message == "failed to allocate array string")
            << message;
    }
}

TEST(Lifecycle, InitEmptiesEveryKind) {
    Record record;
    std::memset(&record, 0x7f, sizeof record);
    vellum_init(&record_map, &record);
    EXPECT_EQ(record.name, nullptr);
    EXPECT_EQ(record.fixed[0], '\0');
    EXPECT_EQ(record.count, 0);
    EXPECT_EQ(record.count_present, 0);
    EXPECT_EQ(record.ratio, 0.0);
    EXPECT_EQ(record.flag, 0);
    EXPECT_EQ(record.inner.n, 0);
    EXPECT_EQ(record.inner.code[0], '\0');
    EXPECT_EQ(record.numbers.items, nullptr);
    EXPECT_EQ(record.numbers.count, 0u);
    EXPECT_EQ(record.items.items, nullptr);
    EXPECT_EQ(record.items.elem_size, sizeof(Item));
    vellum_init(nullptr, &record);
    vellum_init(&record_map, nullptr);
    vellum_cleanup(&record_map, &record);
}

TEST(Lifecycle, ResetKeepsCallerBuffersAndFreesGrownOnes) {
    struct Arrays {
        vellum_array fixed;
        vellum_array grown;
    };
    const vellum_field fields[] = {
        VELLUM_FIELD_FIXED_ARRAY(Arrays, fixed, "fixed", VELLUM_KIND_I64_ARRAY, VELLUM_OVERFLOW_FAIL, 0),
        VELLUM_FIELD_ARRAY(Arrays, grown, "grown", VELLUM_KIND_I64_ARRAY, 0),
    };
    const vellum_map map = VELLUM_MAP(Arrays, fields);
    int64_t storage[4];
    Arrays record;
    vellum_init(&map, &record);
    record.fixed.items = storage;
    record.fixed.capacity = 4;
    record.fixed.flags = VELLUM_ARRAY_FIXED;
    vellum_parse_options options = vellum_default_parse_options();
    options.clear_destination = 0;
    vellum_error error;
    ASSERT_EQ(vellum_parse_cstr(&map, &record, R"({"fixed":[1,2,3],"grown":[4,5]})", &options, &error),
              VELLUM_STATUS_OK)
        << error.message;
    EXPECT_EQ(record.fixed.count, 3u);
    EXPECT_EQ(storage[2], 3);
    EXPECT_EQ(record.grown.flags, static_cast<unsigned>(VELLUM_ARRAY_OWNED));
    vellum_reset(&map, &record);
    EXPECT_EQ(record.fixed.items, storage);
    EXPECT_EQ(record.fixed.capacity, 4u);
    EXPECT_EQ(record.fixed.count, 0u);
    EXPECT_EQ(record.fixed.flags, static_cast<unsigned>(VELLUM_ARRAY_FIXED));
    EXPECT_EQ(record.grown.items, nullptr);
    EXPECT_EQ(record.grown.capacity, 0u);
    EXPECT_EQ(record.grown.flags, 0u);

    // A full FIXED array fails under FAIL.
    ASSERT_EQ(vellum_parse_cstr(&map, &record, R"({"fixed":[1,2,3,4,5]})", &options, &error), VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(error.message, "array capacity exceeded");
    vellum_cleanup(&map, &record);
    EXPECT_EQ(record.fixed.items, storage);
}

TEST(Lifecycle, ResetReleasesStringsAndClearsPresence) {
    Record record;
    vellum_error error;
    ASSERT_EQ(vellum_parse_cstr(&record_map, &record, kFullDocument, nullptr, &error), VELLUM_STATUS_OK);
    EXPECT_EQ(record.count_present, 1);
    vellum_reset(&record_map, &record);
    EXPECT_EQ(record.name, nullptr);
    EXPECT_EQ(record.count, 0);
    EXPECT_EQ(record.count_present, 0);
    EXPECT_EQ(record.fixed[0], '\0');
    EXPECT_EQ(record.names.count, 0u);
    EXPECT_EQ(record.items.items, nullptr);
    // The record is reusable at once.
    ASSERT_EQ(vellum_parse_cstr(&record_map, &record, kFullDocument, nullptr, &error), VELLUM_STATUS_OK);
    EXPECT_STREQ(record.name, "alpha");
    vellum_cleanup(&record_map, &record);
}

// The fixed-size object array: FIXED storage supplied by the caller, elements cleaned in place.
TEST(Lifecycle, FixedObjectArrayTruncatesAndKeepsBuffer) {
    struct Holder {
        vellum_object_array items;
    };
    const vellum_field fields[] = {VELLUM_FIELD_FULL(Holder, items, "items", VELLUM_KIND_OBJECT_ARRAY,
                                                     VELLUM_STORAGE_FIXED, VELLUM_OVERFLOW_TRUNCATE, 0, 0,
                                                     sizeof(Item), &item_map, nullptr, 0)};
    const vellum_map map = VELLUM_MAP(Holder, fields);
    Item storage[2];
    Holder holder;
    vellum_init(&map, &holder);
    holder.items.items = storage;
    holder.items.capacity = 2;
    holder.items.flags = VELLUM_ARRAY_FIXED;
    vellum_parse_options options = vellum_default_parse_options();
    options.clear_destination = 0;
    vellum_error error;
    CountingAllocator counting;
    options.allocator = counting.get();
    EXPECT_EQ(vellum_parse_cstr(&map, &holder,
                                R"({"items":[{"label":"a","tags":["t"]},{"label":"b"},{"label":"c","tags":["u"]}]})",
                                &options, &error),
              VELLUM_STATUS_TRUNCATED);
    EXPECT_EQ(error.truncated, 1);
    EXPECT_EQ(error.code, 0);
    ASSERT_EQ(holder.items.count, 2u);
    EXPECT_STREQ(storage[0].label, "a");
    EXPECT_STREQ(storage[1].label, "b");
    vellum_reset(&map, &holder);  // the element map allocates: elements are cleaned up
    EXPECT_EQ(holder.items.items, storage);
    EXPECT_EQ(holder.items.count, 0u);
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
}

}  // namespace
