// A record type with every parseable field kind, used by the mapped-parse and the
// serializer/generator targets, with helpers to prepare it and render what it holds.
#ifndef KORVO_FUZZ_RECORD_H
#define KORVO_FUZZ_RECORD_H

#include "fuzz_common.h"

#include <cstring>

namespace korvo::fuzz {

struct Item {
    int64_t x;
    char *tag;
    double w;
};

struct Inner {
    char *name;
    int32_t flag;
    Item item;
};

struct Doc {
    char *s;
    char fs[8];
    vellum_spooled st;
    vellum_spooled sb;
    vellum_json_value v;
    int64_t i;
    uint64_t u;
    double f;
    int32_t f_present;
    int32_t b;
    Inner o;
    vellum_array sa, ia, ua, fa, ba;
    vellum_object_array oa;
    vellum_string_array_stream ss;
};

inline const vellum_field item_fields[] = {
    VELLUM_FIELD_I64(Item, x, "x", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_STRING(Item, tag, "tag", VELLUM_FIELD_OMIT_NULL),
    VELLUM_FIELD_F64(Item, w, "w", 0),
};
inline const vellum_map item_map = VELLUM_MAP(Item, item_fields);

inline const vellum_field inner_fields[] = {
    VELLUM_FIELD_STRING(Inner, name, "name", 0),
    VELLUM_FIELD_BOOL(Inner, flag, "flag", 0),
    VELLUM_FIELD_OBJECT(Inner, item, "item", &item_map, 0),
};
inline const vellum_map inner_map = VELLUM_MAP(Inner, inner_fields);

// Small in-memory prefixes so that longer values spill to a file.
inline const vellum_spool_options spool_options = {48, 1 << 16, nullptr};

#define KORVO_FUZZ_DOC_FIELDS                                                                      \
    VELLUM_FIELD_STRING(Doc, s, "s", 0),                                                           \
    VELLUM_FIELD_FIXED_STRING(Doc, fs, "fs", VELLUM_OVERFLOW_TRUNCATE, VELLUM_FIELD_OMIT_EMPTY),   \
    VELLUM_FIELD_SPOOLED(Doc, st, "st", VELLUM_KIND_SPOOLED_TEXT, &spool_options, 0),              \
    VELLUM_FIELD_SPOOLED(Doc, sb, "sb", VELLUM_KIND_SPOOLED_BYTES, &spool_options, 0),             \
    VELLUM_FIELD_OF_KIND(Doc, v, "v", VELLUM_KIND_JSON_VALUE, 0),                                  \
    VELLUM_FIELD_I64(Doc, i, "i", 0),                                                              \
    VELLUM_FIELD_U64(Doc, u, "u", 0),                                                              \
    VELLUM_FIELD_PRESENT(Doc, f, "f", VELLUM_KIND_F64, f_present, 0),                              \
    VELLUM_FIELD_BOOL(Doc, b, "b", 0),                                                             \
    VELLUM_FIELD_OBJECT(Doc, o, "o", &inner_map, 0),                                               \
    VELLUM_FIELD_ARRAY(Doc, sa, "sa", VELLUM_KIND_STRING_ARRAY, 0),                                \
    VELLUM_FIELD_ARRAY(Doc, ia, "ia", VELLUM_KIND_I64_ARRAY, 0),                                   \
    VELLUM_FIELD_ARRAY(Doc, ua, "ua", VELLUM_KIND_U64_ARRAY, 0),                                   \
    VELLUM_FIELD_ARRAY(Doc, fa, "fa", VELLUM_KIND_F64_ARRAY, 0),                                   \
    VELLUM_FIELD_ARRAY(Doc, ba, "ba", VELLUM_KIND_BOOL_ARRAY, 0),                                  \
    VELLUM_FIELD_OBJECT_ARRAY(Doc, oa, "oa", Item, &item_map, 0)

// What a parse fills: every kind, the string array stream included.
inline const vellum_field doc_parse_fields[] = {
    KORVO_FUZZ_DOC_FIELDS,
    VELLUM_FIELD_OF_KIND(Doc, ss, "ss", VELLUM_KIND_STRING_ARRAY_STREAM, 0),
};
inline const vellum_map doc_parse_map = VELLUM_MAP(Doc, doc_parse_fields);

// The same record without its parse-only member, for writing it out.
inline const vellum_field doc_write_fields[] = {KORVO_FUZZ_DOC_FIELDS};
inline const vellum_map doc_write_map = VELLUM_MAP(Doc, doc_write_fields);

// The plain members only (no raw value, no stream): what element and object streams fill.
inline const vellum_field doc_plain_fields[] = {
    VELLUM_FIELD_STRING(Doc, s, "s", 0),
    VELLUM_FIELD_FIXED_STRING(Doc, fs, "fs", VELLUM_OVERFLOW_TRUNCATE, VELLUM_FIELD_OMIT_EMPTY),
    VELLUM_FIELD_SPOOLED(Doc, st, "st", VELLUM_KIND_SPOOLED_TEXT, &spool_options, 0),
    VELLUM_FIELD_SPOOLED(Doc, sb, "sb", VELLUM_KIND_SPOOLED_BYTES, &spool_options, 0),
    VELLUM_FIELD_I64(Doc, i, "i", 0),
    VELLUM_FIELD_U64(Doc, u, "u", 0),
    VELLUM_FIELD_PRESENT(Doc, f, "f", VELLUM_KIND_F64, f_present, 0),
    VELLUM_FIELD_BOOL(Doc, b, "b", 0),
    VELLUM_FIELD_OBJECT(Doc, o, "o", &inner_map, 0),
    VELLUM_FIELD_ARRAY(Doc, sa, "sa", VELLUM_KIND_STRING_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Doc, ia, "ia", VELLUM_KIND_I64_ARRAY, 0),
    VELLUM_FIELD_ARRAY(Doc, fa, "fa", VELLUM_KIND_F64_ARRAY, 0),
    VELLUM_FIELD_OBJECT_ARRAY(Doc, oa, "oa", Item, &item_map, 0),
};
inline const vellum_map doc_plain_map = VELLUM_MAP(Doc, doc_plain_fields);

// Collects the items that the string array stream member receives, with their bounds.
struct StreamTrace {
    std::string text;
    static int begin(void *user, vellum_error *) {
        static_cast<StreamTrace *>(user)->text += "<";
        return 0;
    }
    static int chunk(void *user, const char *data, size_t len, vellum_error *) {
        static_cast<StreamTrace *>(user)->text.append(data, len);
        return 0;
    }
    static int end(void *user, vellum_error *) {
        static_cast<StreamTrace *>(user)->text += ">";
        return 0;
    }
};

// A zeroed, initialised record whose raw value captures and whose stream reports to trace.
inline void prepare(Doc &doc, StreamTrace &trace) {
    std::memset(&doc, 0, sizeof doc);
    vellum_init(&doc_parse_map, &doc);
    vellum_json_value_enable_parse_capture(&doc.v, nullptr);
    static const vellum_string_chunk_handler handler = {StreamTrace::begin, StreamTrace::chunk, StreamTrace::end};
    vellum_string_array_stream_set_handler(&doc.ss, &handler, &trace, nullptr);
}

// Everything the record holds, as the serializer writes it (compact, or pretty).
inline std::string render(const Doc &doc, int pretty = 0, const vellum_map *map = &doc_write_map) {
    vellum_write_options options = vellum_default_write_options();
    options.pretty = pretty;
    vellum_owned_buffer out = vellum_default_owned_buffer();
    vellum_error error;
    vellum_status status = vellum_serialize_owned(map, &doc, &out, &options, &error);
    std::string text = succeeded(status) ? std::string(out.data, out.length) : outcome(status, error);
    vellum_owned_buffer_free(&out);
    return text;
}

// Parse options drawn from the input, the same for every run over one input.
inline vellum_parse_options options_for(const uint8_t *data, size_t size) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; i++) h = (h ^ data[i]) * 16777619u;
    vellum_parse_options options = vellum_default_parse_options();
    options.reject_duplicates = (h & 1) != 0;
    options.max_depth = (h & 6) == 0 ? 3 : 64;
    return options;
}

}  // namespace korvo::fuzz

#endif
