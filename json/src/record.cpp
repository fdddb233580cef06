// Life cycle of a mapped record: init, reset and cleanup of every field kind.
#include "core.h"

namespace vellum::detail {
namespace {

bool member_inside(const vellum_field &field, size_t struct_size) {
    auto kind = static_cast<int>(field.kind);
    if (kind < 0 || kind > VELLUM_KIND_STRING_ARRAY_STREAM) return false;
    if (field.kind == VELLUM_KIND_OBJECT && !field.map) return false;
    size_t size = member_size(field);
    return field.offset <= struct_size && struct_size - field.offset >= size;
}

bool is_scalar_kind(vellum_kind kind) { return kind >= VELLUM_KIND_I64 && kind <= VELLUM_KIND_BOOL; }

// A nested record that holds only numbers and inline strings is simply zero-filled.
bool map_is_plain(const vellum_map *map) {
    if (!map->fields) return map->field_count == 0;
    for (size_t i = 0; i < map->field_count; i++) {
        const vellum_field &field = map->fields[i];
        bool fixed_string = field.kind == VELLUM_KIND_STRING && field.storage == VELLUM_STORAGE_FIXED;
        if (!is_scalar_kind(field.kind) && !fixed_string) return false;
    }
    return true;
}

void init_string_array_stream(vellum_string_array_stream *stream) {
    if (stream->tag != address_tag(stream, kStringArrayStreamTagConstant)) {
        std::memset(stream, 0, sizeof *stream);
        stream->tag = address_tag(stream, kStringArrayStreamTagConstant);
    }
    stream->active = 0;
}

// Drops a raw JSON value's content but keeps how it is to be parsed.
void reinit_json_value_for_parse(vellum_json_value *value, const vellum_allocator &allocator) {
    int mode = value->parse_mode;
    vellum_sink_fn sink = value->parse_sink;
    void *sink_user = value->parse_sink_user;
    vellum_value_visitor visitor = value->parse_visitor;
    void *visitor_user = value->parse_visitor_user;
    vellum_value_limits limits = value->limits;
    vellum_json_value_cleanup(value);
    vellum_json_value_init_with_allocator(value, &allocator);
    value->parse_mode = mode;
    value->parse_sink = sink;
    value->parse_sink_user = sink_user;
    value->parse_visitor = visitor;
    value->parse_visitor_user = visitor_user;
    value->limits = limits;
}

void init_field(const vellum_field &field, void *record, const vellum_allocator &allocator, bool keep_parse_config) {
    void *member = member_at<void>(record, field.offset);
    switch (field.kind) {
    case VELLUM_KIND_STRING:
        if (field.storage == VELLUM_STORAGE_FIXED) {
            *static_cast<char *>(member) = '\0';
        } else {
            *static_cast<char **>(member) = nullptr;
        }
        break;
    case VELLUM_KIND_SPOOLED_TEXT:
    case VELLUM_KIND_SPOOLED_BYTES: {
        auto *spooled = static_cast<vellum_spooled *>(member);
        if (spooled->tag == address_tag(spooled, kSpooledTagConstant)) vellum_spooled_cleanup(spooled);
        vellum_spooled_init_with_allocator(spooled, field.spool_options, &allocator);
        break;
    }
    case VELLUM_KIND_SOURCE_TEXT:
    case VELLUM_KIND_SOURCE_BYTES: vellum_source_init(static_cast<vellum_source *>(member)); break;
    case VELLUM_KIND_JSON_VALUE: {
        auto *value = static_cast<vellum_json_value *>(member);
        bool initialised = value->tag == address_tag(value, kJsonValueTagConstant);
        if (initialised && keep_parse_config) {
            reinit_json_value_for_parse(value, allocator);
        } else {
            if (initialised) vellum_json_value_cleanup(value);
            vellum_json_value_init_with_allocator(value, &allocator);
        }
        break;
    }
    case VELLUM_KIND_I64:
    case VELLUM_KIND_U64:
    case VELLUM_KIND_F64: std::memset(member, 0, 8); break;
    case VELLUM_KIND_BOOL: std::memset(member, 0, 4); break;
    case VELLUM_KIND_OBJECT:
        if (map_is_plain(field.map)) {
            std::memset(member, 0, field.map->struct_size);
        } else {
            record_init(field.map, member, allocator, keep_parse_config);
        }
        break;
    case VELLUM_KIND_STRING_ARRAY:
    case VELLUM_KIND_I64_ARRAY:
    case VELLUM_KIND_U64_ARRAY:
    case VELLUM_KIND_F64_ARRAY:
    case VELLUM_KIND_BOOL_ARRAY: std::memset(member, 0, sizeof(vellum_array)); break;
    case VELLUM_KIND_OBJECT_ARRAY: {
        auto *array = static_cast<vellum_object_array *>(member);
        std::memset(array, 0, sizeof *array);
        array->elem_size = field.elem_size;
        break;
    }
    case VELLUM_KIND_STRING_ARRAY_STREAM:
        init_string_array_stream(static_cast<vellum_string_array_stream *>(member));
        break;
    }
    set_presence(record, field, 0);
}

void cleanup_fields(const vellum_map *map, void *record) {
    if (!map || !map->fields) return;
    for (size_t i = 0; i < map->field_count; i++) {
        const vellum_field &field = map->fields[i];
        if (!member_inside(field, map->struct_size)) continue;
        cleanup_member(field, record);
        set_presence(record, field, 0);
    }
}

// Empties a scalar array, putting a caller-supplied buffer back.
void cleanup_array(vellum_array *array, bool strings) {
    if (strings) {
        auto **items = static_cast<char **>(array->items);
        for (size_t i = 0; items && i < array->count; i++) block_free(items[i]);
    }
    void *items = array->items;
    size_t capacity = array->capacity;
    unsigned int flags = array->flags;
    if (flags & VELLUM_ARRAY_OWNED) block_free(items);
    std::memset(array, 0, sizeof *array);
    if (flags & VELLUM_ARRAY_FIXED) {
        array->items = items;
        array->capacity = capacity;
        array->flags = VELLUM_ARRAY_FIXED;
    }
}

void cleanup_object_array(const vellum_field &field, vellum_object_array *array) {
    auto *items = static_cast<unsigned char *>(array->items);
    if (items && field.map) {
        for (size_t i = 0; i < array->count; i++) cleanup_fields(field.map, items + i * field.elem_size);
    }
    size_t capacity = array->capacity;
    size_t elem_size = array->elem_size;
    unsigned int flags = array->flags;
    if (flags & VELLUM_ARRAY_OWNED) block_free(items);
    std::memset(array, 0, sizeof *array);
    if (flags & VELLUM_ARRAY_FIXED) {
        array->items = items;
        array->capacity = capacity;
        array->elem_size = elem_size;
        array->flags = VELLUM_ARRAY_FIXED;
    }
}

void reset_fields(const vellum_map *map, void *record);

void reset_field(const vellum_field &field, void *record) {
    void *member = member_at<void>(record, field.offset);
    switch (field.kind) {
    case VELLUM_KIND_STRING:
        if (field.storage == VELLUM_STORAGE_FIXED && field.capacity > 0) {
            *static_cast<char *>(member) = '\0';
        } else {
            cleanup_member(field, record);
        }
        break;
    case VELLUM_KIND_I64:
    case VELLUM_KIND_U64:
    case VELLUM_KIND_F64: std::memset(member, 0, 8); break;
    case VELLUM_KIND_BOOL: std::memset(member, 0, 4); break;
    case VELLUM_KIND_OBJECT:
        if (map_may_allocate(field.map)) {
            cleanup_member(field, record);
        } else {
            reset_fields(field.map, member);
        }
        break;
    case VELLUM_KIND_I64_ARRAY:
    case VELLUM_KIND_U64_ARRAY:
    case VELLUM_KIND_F64_ARRAY:
    case VELLUM_KIND_BOOL_ARRAY: {
        auto *array = static_cast<vellum_array *>(member);
        if (array->flags == VELLUM_ARRAY_FIXED) {
            array->count = 0;
        } else {
            cleanup_member(field, record);
        }
        break;
    }
    case VELLUM_KIND_OBJECT_ARRAY: {
        auto *array = static_cast<vellum_object_array *>(member);
        if (array->flags == VELLUM_ARRAY_FIXED && !map_may_allocate(field.map)) {
            array->count = 0;
        } else {
            cleanup_member(field, record);
        }
        break;
    }
    default: cleanup_member(field, record); break;
    }
    set_presence(record, field, 0);
}

void reset_fields(const vellum_map *map, void *record) {
    if (!map || !map->fields) return;
    for (size_t i = 0; i < map->field_count; i++) {
        const vellum_field &field = map->fields[i];
        if (member_inside(field, map->struct_size)) reset_field(field, record);
    }
}

}  // namespace

size_t array_element_size(vellum_kind kind) {
    switch (kind) {
    case VELLUM_KIND_STRING_ARRAY: return sizeof(char *);
    case VELLUM_KIND_I64_ARRAY:
    case VELLUM_KIND_U64_ARRAY:
    case VELLUM_KIND_F64_ARRAY: return 8;
    case VELLUM_KIND_BOOL_ARRAY: return 4;
    default: return 0;
    }
}

void record_init(const vellum_map *map, void *record, const vellum_allocator &allocator, bool keep_parse_config) {
    if (!map || !record || !map->fields) return;
    for (size_t i = 0; i < map->field_count; i++) {
        const vellum_field &field = map->fields[i];
        if (member_inside(field, map->struct_size)) init_field(field, record, allocator, keep_parse_config);
    }
}

void record_clear_for_parse(const vellum_map *map, void *record, const vellum_allocator &allocator) {
    if (!map || !record || !map->fields) return;
    for (size_t i = 0; i < map->field_count; i++) {
        const vellum_field &field = map->fields[i];
        if (!member_inside(field, map->struct_size)) continue;
        switch (field.kind) {
        case VELLUM_KIND_JSON_VALUE:
        case VELLUM_KIND_STRING_ARRAY_STREAM: init_field(field, record, allocator, true); break;
        case VELLUM_KIND_OBJECT:
            record_clear_for_parse(field.map, member_at<void>(record, field.offset), allocator);
            set_presence(record, field, 0);
            break;
        default:
            cleanup_member(field, record);
            init_field(field, record, allocator, true);
            break;
        }
    }
}

void cleanup_member(const vellum_field &field, void *record) {
    void *member = member_at<void>(record, field.offset);
    switch (field.kind) {
    case VELLUM_KIND_STRING:
        if (field.storage == VELLUM_STORAGE_FIXED) {
            if (field.capacity > 0) *static_cast<char *>(member) = '\0';
        } else {
            auto **text = static_cast<char **>(member);
            block_free(*text);
            *text = nullptr;
        }
        break;
    case VELLUM_KIND_SPOOLED_TEXT:
    case VELLUM_KIND_SPOOLED_BYTES: vellum_spooled_reset(static_cast<vellum_spooled *>(member)); break;
    case VELLUM_KIND_SOURCE_TEXT:
    case VELLUM_KIND_SOURCE_BYTES: {
        auto *source = static_cast<vellum_source *>(member);
        vellum_source_cleanup(source);
        vellum_source_init(source);
        break;
    }
    case VELLUM_KIND_JSON_VALUE: vellum_json_value_cleanup(static_cast<vellum_json_value *>(member)); break;
    case VELLUM_KIND_I64:
    case VELLUM_KIND_U64:
    case VELLUM_KIND_F64:
    case VELLUM_KIND_BOOL: break;
    case VELLUM_KIND_OBJECT:
        cleanup_fields(field.map, member);
        std::memset(member, 0, field.map->struct_size);
        break;
    case VELLUM_KIND_STRING_ARRAY: cleanup_array(static_cast<vellum_array *>(member), true); break;
    case VELLUM_KIND_I64_ARRAY:
    case VELLUM_KIND_U64_ARRAY:
    case VELLUM_KIND_F64_ARRAY:
    case VELLUM_KIND_BOOL_ARRAY: cleanup_array(static_cast<vellum_array *>(member), false); break;
    case VELLUM_KIND_OBJECT_ARRAY: cleanup_object_array(field, static_cast<vellum_object_array *>(member)); break;
    case VELLUM_KIND_STRING_ARRAY_STREAM:
        init_string_array_stream(static_cast<vellum_string_array_stream *>(member));
        break;
    }
}

}  // namespace vellum::detail

using namespace vellum::detail;

extern "C" {

VELLUM_API void vellum_init(const vellum_map *map, void *record) {
    if (!map || !record) return;
    record_init(map, record, vellum_default_allocator());
}

VELLUM_API void vellum_reset(const vellum_map *map, void *record) {
    if (!map || !record) return;
    reset_fields(map, record);
}

VELLUM_API void vellum_cleanup(const vellum_map *map, void *record) {
    if (!map || !record || !map_layout_valid(map)) return;
    cleanup_fields(map, record);
}

VELLUM_API vellum_string_array_stream *vellum_string_array_stream_init(vellum_string_array_stream *record) {
    if (!record) return nullptr;
    std::memset(record, 0, sizeof *record);
    record->tag = address_tag(record, kStringArrayStreamTagConstant);
    return record;
}

VELLUM_API vellum_status vellum_string_array_stream_set_handler(vellum_string_array_stream *record,
                                                                const vellum_string_chunk_handler *handler,
                                                                void *user, vellum_error *error) {
    if (!record || !handler || !handler->chunk)
        return set_error(error, VELLUM_STATUS_INVALID_ARGUMENT, "string array stream and chunk handler are required");
    if (record->tag != address_tag(record, kStringArrayStreamTagConstant)) vellum_string_array_stream_init(record);
    record->begin = handler->begin;
    record->chunk = handler->chunk;
    record->end = handler->end;
    record->user = user;
    record->active = 0;
    vellum_error_init(error);
    return VELLUM_STATUS_OK;
}

}  // extern "C"
