/*
 * vellum.h - JSON mapping library.
 *
 * A record type is described once by a static table of fields (JSON key, member offset,
 * kind, storage, flags, limits). The library then parses JSON straight into such records,
 * without building a document tree, and writes records back out as JSON.
 *
 * Conventions that hold for every function below:
 *  - Functions return a vellum_status: 0 (VELLUM_STATUS_OK) on success. VELLUM_STATUS_TRUNCATED
 *    is a success with a warning (something was cut to fit a fixed buffer).
 *  - An optional vellum_error record receives the status, the input position and a message.
 *    Entry points clear it first (see vellum_error_init), unless their very first argument
 *    checks fail, in which case those checks fill it directly.
 *  - Records passed in belong to the caller. Data that the library stores inside a mapped
 *    record (strings, array buffers, spooled data) belongs to that record and is released by
 *    vellum_cleanup or vellum_reset, never by the platform's free.
 *  - The library has no global mutable state and starts no threads; distinct records and
 *    handles may be used from distinct threads at once.
 *
 * Compiles as C11 and as C++.
 */
#ifndef VELLUM_H
#define VELLUM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#if defined(_WIN32)
#define VELLUM_API
#elif defined(__GNUC__)
#define VELLUM_API __attribute__((visibility("default")))
#else
#define VELLUM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------
 * Status codes and the error record
 * ---------------------------------------------------------------------------------------- */

/** Status of every operation. Codes only ever grow; their meanings never change. */
typedef int vellum_status;

enum {
    VELLUM_STATUS_OK = 0,
    VELLUM_STATUS_INVALID_ARGUMENT = 1,
    VELLUM_STATUS_INVALID_JSON = 2,
    VELLUM_STATUS_TYPE_MISMATCH = 3,
    VELLUM_STATUS_MISSING_REQUIRED_FIELD = 4,
    VELLUM_STATUS_DUPLICATE_FIELD = 5,
    VELLUM_STATUS_OVERFLOW = 6,
    VELLUM_STATUS_TRUNCATED = 7, /* success with a warning */
    VELLUM_STATUS_ALLOCATION_FAILED = 8,
    VELLUM_STATUS_CALLBACK_FAILED = 9,
    VELLUM_STATUS_IO_ERROR = 10,
    VELLUM_STATUS_INTERNAL_ERROR = 11
};

/** Longest message text, without its NUL. */
#define VELLUM_ERROR_MESSAGE_MAX 159

/**
 * What went wrong, and where.
 * line/column/offset give the input position of the byte that raised a parse error (line is
 * 1-based, column and offset count bytes; a line feed starts a new line at column 0). Errors
 * raised outside parsing carry line, column and offset 0.
 */
typedef struct vellum_error {
    int code;            /* a vellum_status */
    size_t line;
    size_t column;
    size_t offset;       /* input bytes consumed */
    int system_errno;    /* errno of an I/O failure, else 0 */
    int truncated;       /* 1 once anything was truncated; never cleared by a later error */
    char message[VELLUM_ERROR_MESSAGE_MAX + 1];
} vellum_error;

/** Clears every member of error (code 0, no position, no message). NULL is ignored. */
VELLUM_API void vellum_error_init(vellum_error *error);

/** Static text of a status ("ok", "invalid_json", ...); "unknown" for any other value. */
VELLUM_API const char *vellum_status_string(vellum_status status);

/* ------------------------------------------------------------------------------------------
 * Allocators
 * ---------------------------------------------------------------------------------------- */

/** Counters updated by every allocation made through an allocator that points to them. */
typedef struct vellum_alloc_stats {
    size_t alloc_count;
    size_t realloc_count;
    size_t free_count;
    size_t bytes_in_use;
    size_t peak_bytes;
} vellum_alloc_stats;

/**
 * A caller's allocator. Either all three functions are set, or none (then the platform's
 * malloc, realloc and free are used and ctx is ignored). Setting only some of them is refused
 * by every entry point with VELLUM_STATUS_INVALID_ARGUMENT.
 * Blocks that the library stores in a record remember their allocator in a small header, so
 * vellum_cleanup needs no allocator argument. stats is updated without locking.
 */
typedef struct vellum_allocator {
    void *(*malloc_fn)(void *ctx, size_t size);
    void *(*realloc_fn)(void *ctx, void *ptr, size_t size);
    void (*free_fn)(void *ctx, void *ptr);
    void *ctx;
    vellum_alloc_stats *stats; /* may be NULL */
} vellum_allocator;

/* ------------------------------------------------------------------------------------------
 * Option records
 * ---------------------------------------------------------------------------------------- */

/** Options of a parse. vellum_default_parse_options() gives the defaults noted here. */
typedef struct vellum_parse_options {
    int clear_destination;   /* 1: initialise the destination before parsing; 0: merge into it */
    int reject_duplicates;   /* 1: a key repeated in one object fails; 0: the later value wins */
    size_t max_depth;        /* 64: deepest nesting; 0: bounded only by the parser workspace */
    const vellum_allocator *allocator; /* NULL: the default allocator */
} vellum_parse_options;

/** Overflow policy of FIXED storage (fields and caller output buffers). */
typedef enum vellum_overflow {
    VELLUM_OVERFLOW_FAIL = 0,            /* fail with VELLUM_STATUS_OVERFLOW */
    VELLUM_OVERFLOW_TRUNCATE = 1,        /* keep what fits, report VELLUM_STATUS_TRUNCATED */
    VELLUM_OVERFLOW_TRUNCATE_SILENT = 2  /* keep what fits, set the truncated flag only */
} vellum_overflow;

/** Options of a serialization. vellum_default_write_options() gives the defaults noted here. */
typedef struct vellum_write_options {
    int overflow;            /* a vellum_overflow for caller output buffers; 0 = fail */
    int pretty;              /* 0: compact; 1: two-space indentation */
    const vellum_allocator *allocator; /* NULL: the default allocator */
    size_t max_output_bytes; /* 8 MiB: largest serializer-owned output; 0 also means 8 MiB */
} vellum_write_options;

/** Limits on one raw JSON value. Defaults from vellum_default_value_limits(). */
typedef struct vellum_value_limits {
    size_t max_depth;        /* 64 */
    size_t max_string_bytes; /* 1048576 decoded bytes of one string */
    size_t max_number_bytes; /* 256 characters of one number */
    size_t max_key_bytes;    /* 65536 decoded bytes of one object key */
    size_t max_total_bytes;  /* 0: no limit on the whole value */
} vellum_value_limits;

/**
 * Output buffer grown by the serializer and handed to the caller, who releases it with
 * vellum_owned_buffer_free. data is NUL-terminated after a successful serialization.
 */
typedef struct vellum_owned_buffer {
    char *data;        /* NULL when empty */
    size_t length;     /* bytes of output, without the NUL */
    size_t capacity;
    vellum_allocator allocator; /* what data was allocated with, and is freed with */
} vellum_owned_buffer;

/* ------------------------------------------------------------------------------------------
 * Readers and sinks
 * ---------------------------------------------------------------------------------------- */

/** What one call of a reader delivered. */
typedef struct vellum_read_result {
    size_t bytes;     /* bytes placed in the buffer */
    int eof;          /* nonzero once the input is exhausted (may come with a last batch) */
    int would_block;  /* nonzero: no data now, try again later */
    int error;        /* an errno value; nonzero means the read failed */
} vellum_read_result;

/** Reader callback: place up to capacity bytes into buffer. */
typedef vellum_read_result (*vellum_reader_fn)(void *user, void *buffer, size_t capacity);

/**
 * Sink callback: consume length bytes of output. error is the operation's error record (may
 * be NULL) and may be filled by the sink. Return 0 (or VELLUM_STATUS_TRUNCATED) to continue;
 * any other status stops the operation and is returned by it unchanged.
 */
typedef vellum_status (*vellum_sink_fn)(void *user, const void *data, size_t length, vellum_error *error);

/**
 * The library's stdio reader: fread of up to capacity bytes from user (a FILE *). eof comes
 * from feof, error is errno when ferror is set.
 */
VELLUM_API vellum_read_result vellum_stdio_reader(void *user, void *buffer, size_t capacity);

/**
 * The library's descriptor reader: read(2) from *(const int *)user. A negative result gives
 * error = errno and bytes 0; a zero result gives eof.
 */
VELLUM_API vellum_read_result vellum_fd_reader(void *user, void *buffer, size_t capacity);

/* ------------------------------------------------------------------------------------------
 * Descriptors: maps and fields
 * ---------------------------------------------------------------------------------------- */

/** Field kinds, with the member the record holds at the field's offset. */
typedef enum vellum_kind {
    VELLUM_KIND_STRING = 0,              /* DYNAMIC: char * (NULL = null); FIXED: char[capacity] */
    VELLUM_KIND_SPOOLED_TEXT = 1,        /* vellum_spooled: decoded text of a JSON string */
    VELLUM_KIND_SPOOLED_BYTES = 2,       /* vellum_spooled: bytes of a base64 JSON string */
    VELLUM_KIND_SOURCE_TEXT = 3,         /* vellum_source written as a JSON string; serialize-only */
    VELLUM_KIND_SOURCE_BYTES = 4,        /* vellum_source written as base64; serialize-only */
    VELLUM_KIND_JSON_VALUE = 5,          /* vellum_json_value: any JSON value */
    VELLUM_KIND_I64 = 6,                 /* int64_t */
    VELLUM_KIND_U64 = 7,                 /* uint64_t */
    VELLUM_KIND_F64 = 8,                 /* double */
    VELLUM_KIND_BOOL = 9,                /* int32_t: 1 true, 0 false */
    VELLUM_KIND_OBJECT = 10,             /* nested record described by the field's map */
    VELLUM_KIND_STRING_ARRAY = 11,       /* vellum_array of char * */
    VELLUM_KIND_I64_ARRAY = 12,          /* vellum_array of int64_t */
    VELLUM_KIND_U64_ARRAY = 13,          /* vellum_array of uint64_t */
    VELLUM_KIND_F64_ARRAY = 14,          /* vellum_array of double */
    VELLUM_KIND_BOOL_ARRAY = 15,         /* vellum_array of int32_t */
    VELLUM_KIND_OBJECT_ARRAY = 16,       /* vellum_object_array of elem_size-byte records */
    VELLUM_KIND_STRING_ARRAY_STREAM = 17 /* vellum_string_array_stream; parse-only */
} vellum_kind;

/** Who provides a member's storage. */
typedef enum vellum_storage {
    VELLUM_STORAGE_DYNAMIC = 0, /* the library allocates the contents */
    VELLUM_STORAGE_FIXED = 1    /* the caller provides them (inline chars, array buffer) */
} vellum_storage;

/** Field flags. */
enum {
    VELLUM_FIELD_REQUIRED = 0x1,      /* the key must occur in the object */
    VELLUM_FIELD_OMIT_NULL = 0x2,     /* not written while the member is null */
    VELLUM_FIELD_OMIT_EMPTY = 0x4,    /* not written while the member is empty */
    VELLUM_FIELD_HAS_PRESENCE = 0x8   /* an int32 presence word at presence_offset (kinds 6-9) */
};

/** Array record flags. */
enum {
    VELLUM_ARRAY_OWNED = 0x1, /* the library allocated items and frees it */
    VELLUM_ARRAY_FIXED = 0x2  /* the caller supplied items and capacity; never grown or freed */
};

struct vellum_map;
struct vellum_spool_options;

/** One JSON key and the record member that holds it. Descriptor tables are static data. */
typedef struct vellum_field {
    const char *name;       /* JSON key, NUL-terminated */
    size_t name_len;        /* strlen(name) */
    char name_first;        /* name[0] */
    char name_last;         /* name[name_len - 1] */
    char name_reserved[2];  /* zero */
    size_t offset;          /* offset of the member in the record */
    vellum_kind kind;
    vellum_storage storage;
    vellum_overflow overflow;       /* what a full FIXED member does */
    unsigned int flags;             /* VELLUM_FIELD_* */
    size_t capacity;                /* FIXED string: bytes of the inline buffer, NUL included */
    size_t elem_size;               /* object array: bytes of one element record */
    const struct vellum_map *map;   /* nested map of an object or object array */
    const struct vellum_spool_options *spool_options; /* spooled fields; NULL: defaults */
    size_t presence_offset;         /* with VELLUM_FIELD_HAS_PRESENCE: offset of an int32 */
} vellum_field;

/** One record type. A map with zero fields is valid: it accepts and writes {}. */
typedef struct vellum_map {
    const char *name;          /* diagnostic name; never a JSON key */
    size_t struct_size;        /* sizeof the record type */
    const vellum_field *fields;
    size_t field_count;
} vellum_map;

/** Array member of kinds 11 to 15. */
typedef struct vellum_array {
    void *items;      /* element buffer: char **, int64_t *, uint64_t *, double * or int32_t * */
    size_t count;     /* elements in use */
    size_t capacity;  /* elements the buffer holds */
    unsigned int flags; /* VELLUM_ARRAY_OWNED, VELLUM_ARRAY_FIXED */
} vellum_array;

/** Array member of kind 16. */
typedef struct vellum_object_array {
    void *items;
    size_t count;
    size_t capacity;
    size_t elem_size; /* copied from the descriptor at init */
    unsigned int flags;
} vellum_object_array;

/*
 * Descriptor helpers: one readable line per field.
 *
 *   typedef struct { char *name; int64_t age; char code[8]; } person;
 *   static const vellum_field person_fields[] = {
 *       VELLUM_FIELD_STRING(person, name, "name", VELLUM_FIELD_REQUIRED),
 *       VELLUM_FIELD_I64(person, age, "age", 0),
 *       VELLUM_FIELD_FIXED_STRING(person, code, "code", VELLUM_OVERFLOW_FAIL, 0),
 *   };
 *   static const vellum_map person_map = VELLUM_MAP(person, person_fields);
 *
 * key must be a string literal of at least one byte.
 */
#define VELLUM_FIELD_FULL(type, member, key, kind_, storage_, overflow_, flags_, capacity_,  \
                          elem_size_, map_, spool_, presence_offset_)                        \
    { (key), sizeof(key) - 1, (key)[0], (key)[sizeof(key) - 2], {0, 0},                      \
      offsetof(type, member), (kind_), (storage_), (overflow_), (unsigned int)(flags_),      \
      (capacity_), (elem_size_), (map_), (spool_), (presence_offset_) }

#define VELLUM_FIELD_OF_KIND(type, member, key, kind_, flags_)                               \
    VELLUM_FIELD_FULL(type, member, key, kind_, VELLUM_STORAGE_DYNAMIC, VELLUM_OVERFLOW_FAIL, \
                      flags_, 0, 0, NULL, NULL, 0)

/** DYNAMIC string (char *member). */
#define VELLUM_FIELD_STRING(type, member, key, flags_)                                       \
    VELLUM_FIELD_OF_KIND(type, member, key, VELLUM_KIND_STRING, flags_)
/** FIXED string (char member[N]); capacity is sizeof the array. */
#define VELLUM_FIELD_FIXED_STRING(type, member, key, overflow_, flags_)                      \
    VELLUM_FIELD_FULL(type, member, key, VELLUM_KIND_STRING, VELLUM_STORAGE_FIXED, overflow_, \
                      flags_, sizeof(((type *)0)->member), 0, NULL, NULL, 0)
#define VELLUM_FIELD_I64(type, member, key, flags_)                                          \
    VELLUM_FIELD_OF_KIND(type, member, key, VELLUM_KIND_I64, flags_)
#define VELLUM_FIELD_U64(type, member, key, flags_)                                          \
    VELLUM_FIELD_OF_KIND(type, member, key, VELLUM_KIND_U64, flags_)
#define VELLUM_FIELD_F64(type, member, key, flags_)                                          \
    VELLUM_FIELD_OF_KIND(type, member, key, VELLUM_KIND_F64, flags_)
#define VELLUM_FIELD_BOOL(type, member, key, flags_)                                         \
    VELLUM_FIELD_OF_KIND(type, member, key, VELLUM_KIND_BOOL, flags_)
/** Scalar (kinds 6 to 9) with an int32 presence word (int32_t presence_member). */
#define VELLUM_FIELD_PRESENT(type, member, key, kind_, presence_member, flags_)              \
    VELLUM_FIELD_FULL(type, member, key, kind_, VELLUM_STORAGE_DYNAMIC, VELLUM_OVERFLOW_FAIL, \
                      (flags_) | VELLUM_FIELD_HAS_PRESENCE, 0, 0, NULL, NULL,                \
                      offsetof(type, presence_member))
/** Nested record (an inline struct member) described by nested_map (a vellum_map *). */
#define VELLUM_FIELD_OBJECT(type, member, key, nested_map, flags_)                           \
    VELLUM_FIELD_FULL(type, member, key, VELLUM_KIND_OBJECT, VELLUM_STORAGE_DYNAMIC,         \
                      VELLUM_OVERFLOW_FAIL, flags_, 0, 0, nested_map, NULL, 0)
/** Scalar array (vellum_array member) of kind 11 to 15, grown by the library. */
#define VELLUM_FIELD_ARRAY(type, member, key, kind_, flags_)                                 \
    VELLUM_FIELD_OF_KIND(type, member, key, kind_, flags_)
/** Scalar array filling a caller-supplied buffer (VELLUM_STORAGE_FIXED). */
#define VELLUM_FIELD_FIXED_ARRAY(type, member, key, kind_, overflow_, flags_)                \
    VELLUM_FIELD_FULL(type, member, key, kind_, VELLUM_STORAGE_FIXED, overflow_, flags_,     \
                      0, 0, NULL, NULL, 0)
/** Array of elem_type records (vellum_object_array member) described by elem_map. */
#define VELLUM_FIELD_OBJECT_ARRAY(type, member, key, elem_type, elem_map, flags_)            \
    VELLUM_FIELD_FULL(type, member, key, VELLUM_KIND_OBJECT_ARRAY, VELLUM_STORAGE_DYNAMIC,   \
                      VELLUM_OVERFLOW_FAIL, flags_, 0, sizeof(elem_type), elem_map, NULL, 0)
/** Spooled text or bytes (vellum_spooled member); spool_opts may be NULL. */
#define VELLUM_FIELD_SPOOLED(type, member, key, kind_, spool_opts, flags_)                   \
    VELLUM_FIELD_FULL(type, member, key, kind_, VELLUM_STORAGE_DYNAMIC, VELLUM_OVERFLOW_FAIL, \
                      flags_, 0, 0, NULL, spool_opts, 0)

/** A map over a static field array. */
#define VELLUM_MAP(type, field_array)                                                        \
    { #type, sizeof(type), (field_array), sizeof(field_array) / sizeof((field_array)[0]) }

/* ------------------------------------------------------------------------------------------
 * Records of the streamed kinds. Their members are documented so that they can be placed in
 * caller records; change them only through the functions of their sections.
 * ---------------------------------------------------------------------------------------- */

/** Spool options of a spooled field. */
typedef struct vellum_spool_options {
    size_t memory_limit;  /* 65536: bytes kept in memory before spilling to a file */
    size_t max_bytes;     /* 0: unlimited total size */
    const char *temp_dir; /* NULL or "": anonymous temporary file; else "<dir>/vellum-spool-XXXXXX" */
} vellum_spool_options;

/** Large text or bytes received while parsing: a memory prefix, the rest in a temporary file. */
typedef struct vellum_spooled {
    unsigned char *memory;   /* in-memory prefix (headered block) */
    size_t memory_len;
    size_t size;             /* total bytes, prefix plus file */
    size_t read_pos;         /* 0 .. size */
    size_t memory_limit;
    size_t max_bytes;
    const char *temp_dir;    /* borrowed */
    FILE *file;              /* spill file, NULL until the first spill */
    int spilled;
    char path[512];          /* spill file path; empty for an anonymous file */
    vellum_allocator allocator;
    uint32_t tag;            /* integrity tag: marks an initialised record */
} vellum_spooled;

/** Source kinds. */
enum {
    VELLUM_SOURCE_NONE = 0,
    VELLUM_SOURCE_FILE = 1,
    VELLUM_SOURCE_FD = 2,
    VELLUM_SOURCE_PATH = 3
};

/** A FILE, descriptor or path whose bytes are written out as a JSON string. */
typedef struct vellum_source {
    int kind;    /* VELLUM_SOURCE_* */
    FILE *file;  /* borrowed */
    int fd;      /* borrowed; -1 when unset */
    char *path;  /* owned copy */
} vellum_source;

/**
 * Value visitor: events of one JSON value. Every callback takes the caller's user pointer
 * first, may be NULL, and returns 0 (or VELLUM_STATUS_TRUNCATED) to continue; any other status
 * stops the visit and is returned.
 */
typedef struct vellum_value_visitor {
    int (*object_begin)(void *user, vellum_error *error);
    int (*object_end)(void *user, vellum_error *error);
    int (*key_begin)(void *user, vellum_error *error);
    int (*key_chunk)(void *user, const char *data, size_t len, vellum_error *error);
    int (*key_end)(void *user, vellum_error *error);
    int (*array_begin)(void *user, vellum_error *error);
    int (*array_end)(void *user, vellum_error *error);
    int (*string_begin)(void *user, vellum_error *error);
    int (*string_chunk)(void *user, const char *data, size_t len, vellum_error *error);
    int (*string_end)(void *user, vellum_error *error);
    int (*number_begin)(void *user, vellum_error *error);
    int (*number_chunk)(void *user, const char *data, size_t len, vellum_error *error);
    int (*number_end)(void *user, vellum_error *error);
    int (*boolean)(void *user, int value, vellum_error *error);
    int (*null)(void *user, vellum_error *error);
} vellum_value_visitor;

/** Source kinds of a raw JSON value. */
enum {
    VELLUM_JSON_VALUE_NONE = 0,   /* written as null */
    VELLUM_JSON_VALUE_BUFFER = 1,
    VELLUM_JSON_VALUE_READER = 2,
    VELLUM_JSON_VALUE_FILE = 3,
    VELLUM_JSON_VALUE_FD = 4,
    VELLUM_JSON_VALUE_PATH = 5
};

/** Parse modes of a raw JSON value. */
enum {
    VELLUM_JSON_PARSE_NONE = 0,
    VELLUM_JSON_PARSE_SINK = 1,
    VELLUM_JSON_PARSE_VISITOR = 2,
    VELLUM_JSON_PARSE_CAPTURE = 3
};

/**
 * Any JSON value held without a map: for output a source of JSON text, for input what to do
 * with the value found (stream it to a sink, report it to a visitor, or capture it).
 */
typedef struct vellum_json_value {
    int kind;                  /* VELLUM_JSON_VALUE_* */
    char *data;                /* owned buffer (buffer kind, capture target) */
    size_t len;
    vellum_reader_fn reader;   /* reader kind */
    void *reader_user;
    FILE *file;                /* FILE kind; borrowed, never closed */
    int fd;                    /* descriptor kind; borrowed; -1 when unset */
    char *path;                /* owned copy (path kind) */
    int parse_mode;            /* VELLUM_JSON_PARSE_* */
    vellum_sink_fn parse_sink;
    void *parse_sink_user;
    vellum_value_visitor parse_visitor; /* copy of the caller's visitor table */
    void *parse_visitor_user;
    vellum_value_limits limits;
    vellum_allocator allocator;
    uint32_t tag;              /* integrity tag: marks an initialised record */
} vellum_json_value;

/** Handler that receives the string items of an array, in decoded chunks. */
typedef struct vellum_string_chunk_handler {
    int (*begin)(void *user, vellum_error *error);                               /* may be NULL */
    int (*chunk)(void *user, const char *data, size_t len, vellum_error *error); /* required */
    int (*end)(void *user, vellum_error *error);                                 /* may be NULL */
} vellum_string_chunk_handler;

/** Member of a VELLUM_KIND_STRING_ARRAY_STREAM field: the parser streams items to it. */
typedef struct vellum_string_array_stream {
    int (*begin)(void *user, vellum_error *error);
    int (*chunk)(void *user, const char *data, size_t len, vellum_error *error);
    int (*end)(void *user, vellum_error *error);
    void *user;
    int active;    /* set while the parser streams an item */
    uint32_t tag;  /* integrity tag: marks an initialised record */
} vellum_string_array_stream;

/* ------------------------------------------------------------------------------------------
 * Defaults and the record life cycle
 * ---------------------------------------------------------------------------------------- */

/** The platform's malloc, realloc and free; ctx and stats NULL. */
VELLUM_API vellum_allocator vellum_default_allocator(void);
/** clear_destination 1, reject_duplicates 1, max_depth 64, allocator NULL. */
VELLUM_API vellum_parse_options vellum_default_parse_options(void);
/** overflow FAIL, pretty 0, allocator NULL, max_output_bytes 8388608. */
VELLUM_API vellum_write_options vellum_default_write_options(void);
/** max_depth 64, max_string_bytes 1048576, max_number_bytes 256, max_key_bytes 65536, total 0. */
VELLUM_API vellum_value_limits vellum_default_value_limits(void);
/** An empty buffer with the default allocator. */
VELLUM_API vellum_owned_buffer vellum_default_owned_buffer(void);
/** All zero. */
VELLUM_API vellum_read_result vellum_default_read_result(void);

/** Sets buffer to vellum_default_owned_buffer(). NULL is ignored. */
VELLUM_API void vellum_owned_buffer_init(vellum_owned_buffer *buffer);
/** Frees data through the buffer's own allocator and re-initialises it. NULL is ignored. */
VELLUM_API void vellum_owned_buffer_free(vellum_owned_buffer *buffer);

/**
 * Puts every field of record into its empty state (NULL strings, empty arrays, zero numbers,
 * initialised spooled and raw JSON value members). Old values are not freed: use it on fresh
 * memory. Spooled, raw JSON value and string array stream members are recognised as already
 * initialised by a tag derived from their address, so memory that once held such a record
 * and was not cleaned up should be zeroed first (for example `T record = {0};`).
 * NULL map or record: nothing happens.
 */
VELLUM_API void vellum_init(const vellum_map *map, void *record);

/**
 * Returns a record that may hold values to the empty state, releasing what the library
 * allocated but keeping caller-supplied FIXED buffers (their count becomes 0).
 * NULL map or record: nothing happens.
 */
VELLUM_API void vellum_reset(const vellum_map *map, void *record);

/**
 * Releases everything the library allocated inside record and clears presence words.
 * Does nothing when map or record is NULL or the map's layout is invalid.
 */
VELLUM_API void vellum_cleanup(const vellum_map *map, void *record);

/**
 * Zeroes a string array stream member and marks it initialised. Returns record (NULL for NULL).
 */
VELLUM_API vellum_string_array_stream *vellum_string_array_stream_init(vellum_string_array_stream *record);

/**
 * Installs the handler that receives the items of a VELLUM_KIND_STRING_ARRAY_STREAM field while
 * it is parsed: for each string item begin (when set), chunk with the decoded bytes in one or
 * more pieces, then end (when set). The handler's members and user are copied; a record that was
 * not initialised is initialised first. A handler installed before a parse survives the
 * destination being cleared. Fails with "string array stream and chunk handler are required"
 * (VELLUM_STATUS_INVALID_ARGUMENT) when record, handler or handler->chunk is NULL.
 */
VELLUM_API vellum_status vellum_string_array_stream_set_handler(vellum_string_array_stream *record,
                                                                const vellum_string_chunk_handler *handler,
                                                                void *user, vellum_error *error);

/* ------------------------------------------------------------------------------------------
 * Parsing and validation
 *
 * Every parse entry point: NULL options means vellum_default_parse_options(); an allocator
 * with only some callbacks fails first ("allocator must provide either all callbacks or
 * none"); a map whose layout is invalid fails with "invalid map layout"; with
 * clear_destination the record is initialised before the first byte is read. After an error
 * the record keeps what was assigned before it: release it with vellum_cleanup.
 * The root of a mapped parse must be an object. Returns VELLUM_STATUS_TRUNCATED when a FIXED
 * member was truncated under a truncating overflow policy.
 * ---------------------------------------------------------------------------------------- */

/** Parses exactly length bytes of data into record. */
VELLUM_API vellum_status vellum_parse_buffer(const vellum_map *map, void *record, const void *data, size_t length,
                                             const vellum_parse_options *options, vellum_error *error);
/** Parses the NUL-terminated text into record. */
VELLUM_API vellum_status vellum_parse_cstr(const vellum_map *map, void *record, const char *text,
                                           const vellum_parse_options *options, vellum_error *error);
/**
 * Parses what reader delivers (1024-byte reads) into record until it reports eof. A reader
 * error stops with "reader callback failed" (VELLUM_STATUS_IO_ERROR, system_errno set);
 * would_block is not honoured here (the reader is called again).
 */
VELLUM_API vellum_status vellum_parse_reader(const vellum_map *map, void *record, vellum_reader_fn reader, void *user,
                                             const vellum_parse_options *options, vellum_error *error);
/** Parses the rest of file (read with the stdio reader; not closed). */
VELLUM_API vellum_status vellum_parse_filep(const vellum_map *map, void *record, FILE *file,
                                            const vellum_parse_options *options, vellum_error *error);
/** Opens path ("rb"), parses it and closes it. Open failure: "failed to open '%s'", IO_ERROR. */
VELLUM_API vellum_status vellum_parse_path(const vellum_map *map, void *record, const char *path,
                                           const vellum_parse_options *options, vellum_error *error);

/** Checks that data holds exactly one JSON value of any type (default options, no map). */
VELLUM_API vellum_status vellum_validate_buffer(const void *data, size_t length, vellum_error *error);
VELLUM_API vellum_status vellum_validate_cstr(const char *text, vellum_error *error);
VELLUM_API vellum_status vellum_validate_reader(vellum_reader_fn reader, void *user, vellum_error *error);
VELLUM_API vellum_status vellum_validate_filep(FILE *file, vellum_error *error);
VELLUM_API vellum_status vellum_validate_path(const char *path, vellum_error *error);

/* ------------------------------------------------------------------------------------------
 * Serializer
 *
 * Writes a record as one JSON object in map order, or an array of records as JSON Lines (one
 * object per line, each followed by "\n"). A field is written when it is REQUIRED or not
 * omitted: a presence word of 0, VELLUM_FIELD_OMIT_EMPTY while the member is empty, or
 * VELLUM_FIELD_OMIT_NULL while it is null leave it out. Compact output has no whitespace; pretty
 * output indents two spaces per level and writes ": " after keys. Strings are escaped (quote,
 * backslash, \b \t \n \f \r, other bytes below 0x20 as \u00xx; bytes from 0x7F and "/" are
 * copied unchanged; no UTF-8 validation). Doubles are written in the "%.17g" form; NaN and
 * infinities fail with VELLUM_STATUS_TYPE_MISMATCH. Spooled and source bytes are written as
 * base64. A serialization never changes the record (spooled values are read through a private
 * cursor).
 *
 * Common to every entry point: options NULL means vellum_default_write_options(); error may be
 * NULL and is cleared after the argument checks; an allocator with only some callbacks fails
 * with "allocator must provide either all callbacks or none"; a map whose layout is invalid
 * fails with "invalid map layout" before anything is written. The first failing value or sink
 * call stops the serialization; what a sink or file already received stays there.
 * JSON Lines: record i is at items + i * stride (stride 0: map->struct_size); checks fail with
 * "map and sink are required", "items are required when count is non-zero" and "stride must
 * be at least map->struct_size" (VELLUM_STATUS_INVALID_ARGUMENT); count 0 writes nothing.
 * ---------------------------------------------------------------------------------------- */

/**
 * Writes record through sink, fragment by fragment (never an empty fragment). A sink status of
 * 0 or VELLUM_STATUS_TRUNCATED continues (a truncating sink makes the result
 * VELLUM_STATUS_TRUNCATED); any other status stops and is returned unchanged (when the sink
 * left error's code at 0, the status is recorded there with "output sink failed").
 * Fails with "map, source, and sink are required" (INVALID_ARGUMENT).
 */
VELLUM_API vellum_status vellum_serialize_sink(const vellum_map *map, const void *record, vellum_sink_fn sink,
                                               void *user, const vellum_write_options *options, vellum_error *error);

/**
 * Writes record into the caller's buffer out of capacity bytes, always NUL-terminated within
 * capacity (one byte is kept for the NUL). out_length (may be NULL) receives the bytes the
 * serializer produced: under a truncating policy the length of the whole document. When the
 * output does not fit, options->overflow decides: VELLUM_OVERFLOW_FAIL stops with "output
 * buffer too small" (VELLUM_STATUS_OVERFLOW; the buffer keeps a NUL-terminated prefix);
 * VELLUM_OVERFLOW_TRUNCATE keeps what fits and returns VELLUM_STATUS_TRUNCATED;
 * VELLUM_OVERFLOW_TRUNCATE_SILENT keeps what fits, sets error->truncated and returns OK.
 * Fails with "output buffer and capacity are required" (NULL out or capacity 0).
 */
VELLUM_API vellum_status vellum_serialize_buffer(const vellum_map *map, const void *record, char *out,
                                                 size_t capacity, size_t *out_length,
                                                 const vellum_write_options *options, vellum_error *error);

/**
 * Writes record into a buffer grown from options->allocator (default when NULL) up to
 * options->max_output_bytes (0: 8 MiB). buffer is first set to the empty default (an earlier
 * data is not freed: call vellum_owned_buffer_free before reuse). On success buffer holds
 * data (NUL-terminated), length, capacity and the allocator; the caller releases it with
 * vellum_owned_buffer_free. On failure the partial output is freed and buffer stays empty.
 * Fails with "output buffer handle is required", "serializer-owned output exceeds
 * max_output_bytes" / "output buffer too large" (OVERFLOW), "failed to grow output buffer"
 * (ALLOCATION_FAILED).
 */
VELLUM_API vellum_status vellum_serialize_owned(const vellum_map *map, const void *record,
                                                vellum_owned_buffer *buffer, const vellum_write_options *options,
                                                vellum_error *error);

/**
 * As vellum_serialize_owned, returning the NUL-terminated text, which the caller releases with
 * the platform's free; NULL on failure. out_length (may be NULL) receives its length. An
 * allocator in options other than the default fails with "serialize_alloc uses the default
 * allocator only; use serialize_owned for custom allocators" (INVALID_ARGUMENT).
 */
VELLUM_API char *vellum_serialize_alloc(const vellum_map *map, const void *record, size_t *out_length,
                                        const vellum_write_options *options, vellum_error *error);

/**
 * Writes record to file with fwrite (file stays open). Fails with "file pointer is required"
 * or "failed to write JSON output" (IO_ERROR, system_errno).
 */
VELLUM_API vellum_status vellum_serialize_filep(const vellum_map *map, const void *record, FILE *file,
                                                const vellum_write_options *options, vellum_error *error);

/**
 * Writes record to the file at path (created or truncated, "wb"), closed afterwards on every
 * path. Fails with "path is required", "failed to open '%s' for writing" or "failed to write
 * JSON output" (IO_ERROR, system_errno).
 */
VELLUM_API vellum_status vellum_serialize_path(const vellum_map *map, const void *record, const char *path,
                                               const vellum_write_options *options, vellum_error *error);

/** JSON Lines through sink; sink protocol as vellum_serialize_sink. */
VELLUM_API vellum_status vellum_serialize_jsonl_sink(const vellum_map *map, const void *items, size_t count,
                                                     size_t stride, vellum_sink_fn sink, void *user,
                                                     const vellum_write_options *options, vellum_error *error);

/** JSON Lines into a fixed buffer; buffer rules as vellum_serialize_buffer. */
VELLUM_API vellum_status vellum_serialize_jsonl_buffer(const vellum_map *map, const void *items, size_t count,
                                                       size_t stride, char *out, size_t capacity, size_t *out_length,
                                                       const vellum_write_options *options, vellum_error *error);

/** JSON Lines into an owned buffer; rules as vellum_serialize_owned. */
VELLUM_API vellum_status vellum_serialize_jsonl_owned(const vellum_map *map, const void *items, size_t count,
                                                      size_t stride, vellum_owned_buffer *buffer,
                                                      const vellum_write_options *options, vellum_error *error);

/**
 * JSON Lines as text the caller frees with free(); NULL on failure. A non-default allocator
 * fails with "serialize_jsonl_alloc uses the default allocator only; use
 * serialize_jsonl_owned for custom allocators". count 0 returns an empty string.
 */
VELLUM_API char *vellum_serialize_jsonl_alloc(const vellum_map *map, const void *items, size_t count, size_t stride,
                                              size_t *out_length, const vellum_write_options *options,
                                              vellum_error *error);

/** JSON Lines to a FILE; rules as vellum_serialize_filep. */
VELLUM_API vellum_status vellum_serialize_jsonl_filep(const vellum_map *map, const void *items, size_t count,
                                                      size_t stride, FILE *file, const vellum_write_options *options,
                                                      vellum_error *error);

/** JSON Lines to a path; rules as vellum_serialize_path. */
VELLUM_API vellum_status vellum_serialize_jsonl_path(const vellum_map *map, const void *items, size_t count,
                                                     size_t stride, const char *path,
                                                     const vellum_write_options *options, vellum_error *error);


/* ------------------------------------------------------------------------------------------
 * Spooled values and sources
 *
 * A spooled value (members of kinds VELLUM_KIND_SPOOLED_TEXT and VELLUM_KIND_SPOOLED_BYTES)
 * keeps its first memory_limit bytes in memory and the rest in a temporary spill file; it can
 * be read back any number of times. A source (kinds VELLUM_KIND_SOURCE_TEXT/_BYTES) names a
 * FILE, a descriptor or a path whose bytes are written out as a JSON string; every write starts
 * again at the source's first byte, so pipes and sockets cannot be used as sources.
 * ---------------------------------------------------------------------------------------- */

/** memory_limit 65536, max_bytes 0 (unlimited), temp_dir NULL (anonymous temporary file). */
VELLUM_API vellum_spool_options vellum_default_spool_options(void);

/**
 * Zeroes spooled, copies options (NULL: the defaults; temp_dir stays borrowed and must outlive
 * the value) and marks the record initialised. Uses the default allocator. NULL spooled is
 * ignored. Allocates nothing.
 */
VELLUM_API void vellum_spooled_init(vellum_spooled *spooled, const vellum_spool_options *options);

/**
 * As vellum_spooled_init, with allocator for the in-memory prefix when all three of its
 * callbacks are set (its stats pointer is kept); the default allocator otherwise.
 */
VELLUM_API void vellum_spooled_init_with_allocator(vellum_spooled *spooled, const vellum_spool_options *options,
                                                   const vellum_allocator *allocator);

/**
 * Appends len bytes: first to the in-memory prefix up to memory_limit, the rest to the spill
 * file, created at the first spill ("<temp_dir>/vellum-spool-XXXXXX", or an anonymous file).
 * Length 0 does nothing. Does not clear error (a parse streams through it) and never clears its
 * truncated flag. Fails with "invalid spooled append arguments" (NULL spooled, or NULL data with
 * a non-zero len; INVALID_ARGUMENT), "spooled field exceeds configured max bytes" (OVERFLOW,
 * nothing stored), "failed to expand spooled in-memory prefix" (ALLOCATION_FAILED),
 * "temporary spool path is too long", "failed to create spool file", "failed to open spool
 * file", "failed to create anonymous spool file", "failed to seek spool file for append",
 * "failed to write spool file" (IO_ERROR, errno in system_errno). A failed append keeps what
 * earlier appends stored; the size counts only stored bytes.
 */
VELLUM_API vellum_status vellum_spooled_append(vellum_spooled *spooled, const void *data, size_t len,
                                               vellum_error *error);

/** Total bytes held (prefix plus file); 0 for NULL. */
VELLUM_API size_t vellum_spooled_size(const vellum_spooled *spooled);

/** 1 when a spill file exists; 0 otherwise and for NULL. */
VELLUM_API int vellum_spooled_spilled(const vellum_spooled *spooled);

/**
 * Clears error and moves the read position back to the first byte. Fails with "spooled value
 * is required" (INVALID_ARGUMENT) or "failed to rewind spool file" (IO_ERROR, system_errno).
 */
VELLUM_API vellum_status vellum_spooled_rewind(vellum_spooled *spooled, vellum_error *error);

/**
 * Reads up to capacity bytes from the read position and advances it: prefix bytes only while
 * the position is inside the prefix, spill file bytes after that. eof is set once the position
 * reaches the total size (possibly with the last bytes); error carries errno when the file read
 * fails. NULL spooled or buffer, or capacity 0: 0 bytes with eof set. Bytes appended after a
 * read are seen by the next read.
 */
VELLUM_API vellum_read_result vellum_spooled_read(vellum_spooled *spooled, void *buffer, size_t capacity);

/**
 * Clears error, then passes the whole content to sink in pieces of at most 4096 bytes, from the
 * first byte, without moving the value's own read position. A sink status other than 0 and
 * VELLUM_STATUS_TRUNCATED is returned at once. Fails with "spooled value and sink are required"
 * (INVALID_ARGUMENT) or "failed to read spooled value" (IO_ERROR, system_errno).
 */
VELLUM_API vellum_status vellum_spooled_write_to_sink(const vellum_spooled *spooled, vellum_sink_fn sink, void *user,
                                                      vellum_error *error);

/**
 * Releases the prefix, closes the spill file and removes a named spill file from disk; the
 * record is left empty and initialised with its options and allocator kept, ready for new data.
 * A record that was never initialised (or was moved by a byte copy) is only initialised with
 * the defaults: nothing is freed through it. NULL is ignored.
 */
VELLUM_API void vellum_spooled_cleanup(vellum_spooled *spooled);

/** Same as vellum_spooled_cleanup. */
VELLUM_API void vellum_spooled_reset(vellum_spooled *spooled);

/** Empties source: kind none, no file, fd -1, no path. Frees nothing. NULL is ignored. */
VELLUM_API void vellum_source_init(vellum_source *source);

/** Frees the owned path copy and returns source to the empty state. NULL is ignored. */
VELLUM_API void vellum_source_reset(vellum_source *source);

/** Same as vellum_source_reset. */
VELLUM_API void vellum_source_cleanup(vellum_source *source);

/**
 * Makes source read from file (borrowed: never closed; rewound to its start at every write).
 * Releases the previous content and clears error. Fails with "source handle and FILE* are
 * required" (INVALID_ARGUMENT).
 */
VELLUM_API vellum_status vellum_source_set_file(vellum_source *source, FILE *file, vellum_error *error);

/**
 * Makes source read from descriptor fd (borrowed: never closed; rewound with lseek at every
 * write). Releases the previous content and clears error. Fails with "source handle and
 * non-negative fd are required" (INVALID_ARGUMENT).
 */
VELLUM_API vellum_status vellum_source_set_fd(vellum_source *source, int fd, vellum_error *error);

/**
 * Makes source read the file at path, which is copied (default allocator) and opened only when
 * the source is written. Releases the previous content and clears error. Fails with "source
 * handle and path are required" (NULL or empty path; INVALID_ARGUMENT) or "failed to duplicate
 * source path" (ALLOCATION_FAILED; the previous content is kept).
 */
VELLUM_API vellum_status vellum_source_set_path(vellum_source *source, const char *path, vellum_error *error);

/**
 * 1 when the source can be written again from its start: kinds none and path always; a FILE
 * when ftell works and seeking to 0 and back succeeds; a descriptor when lseek to the current
 * position, to 0 and back succeed. 0 for NULL, non-seekable inputs and unknown kinds.
 */
VELLUM_API int vellum_source_is_rewindable(const vellum_source *source);

/**
 * Clears error, then passes the source's bytes, from its first byte, to sink in pieces of at
 * most 4096 bytes. A source of kind none writes nothing. A sink status other than 0 and
 * VELLUM_STATUS_TRUNCATED is returned at once. A file opened for a path is closed on every path.
 * Fails with "source handle and sink are required" (INVALID_ARGUMENT), "failed to rewind source
 * FILE*; non-seekable sources are unsupported", "failed to rewind source fd; non-seekable
 * sources are unsupported", "failed to open source path '%s'" or "failed to read source data"
 * (IO_ERROR, system_errno).
 */
VELLUM_API vellum_status vellum_source_write_to_sink(const vellum_source *source, vellum_sink_fn sink, void *user,
                                                     vellum_error *error);


/** Zeroes value (fd -1, default limits, the default allocator) and marks it initialised. */
VELLUM_API void vellum_json_value_init(vellum_json_value *value);
/** As vellum_json_value_init with allocator (used when all three callbacks are set). */
VELLUM_API void vellum_json_value_init_with_allocator(vellum_json_value *value, const vellum_allocator *allocator);
/** Releases the owned buffer and path and clears every member except the allocator. NULL is ignored. */
VELLUM_API void vellum_json_value_cleanup(vellum_json_value *value);
/** Same as vellum_json_value_cleanup. */
VELLUM_API void vellum_json_value_reset(vellum_json_value *value);

/**
 * Makes value a buffer source holding a compact copy of the len bytes at data, allocated
 * through the value's allocator. The bytes must hold exactly one JSON value; they are validated
 * and their whitespace dropped (strings keep their escapes as written). The previous source is
 * released only on success; a failure leaves the value unchanged. Fails with "JSON value
 * handle and buffer are required" (NULL value, or NULL data with non-zero len;
 * INVALID_ARGUMENT), "embedded JSON must contain exactly one value" (also for empty or
 * whitespace-only input) and the transcoder's syntax messages (INVALID_JSON), "JSON value
 * exceeds maximum total byte limit" (OVERFLOW, limits.max_total_bytes), "failed to allocate
 * JSON value buffer" (ALLOCATION_FAILED).
 */
VELLUM_API vellum_status vellum_json_value_set_buffer(vellum_json_value *value, const void *data, size_t len,
                                                      vellum_error *error);
/**
 * Makes value read its JSON from reader (4096-byte reads) each time it is written. A reader can
 * be read once only: such a value is not rewindable. Releases the previous source. Fails with
 * "JSON value handle and reader are required" (INVALID_ARGUMENT).
 */
VELLUM_API vellum_status vellum_json_value_set_reader(vellum_json_value *value, vellum_reader_fn reader, void *user,
                                                      vellum_error *error);
/**
 * Makes value read its JSON from file (borrowed, never closed), rewound to offset 0 with its
 * error flag cleared at every write. Releases the previous source. Fails with "JSON value
 * handle and FILE* are required" (INVALID_ARGUMENT).
 */
VELLUM_API vellum_status vellum_json_value_set_file(vellum_json_value *value, FILE *file, vellum_error *error);
/**
 * Makes value read its JSON from descriptor fd (borrowed, never closed), rewound with lseek at
 * every write. Releases the previous source. Fails with "JSON value handle and non-negative fd
 * are required" (INVALID_ARGUMENT).
 */
VELLUM_API vellum_status vellum_json_value_set_fd(vellum_json_value *value, int fd, vellum_error *error);
/**
 * Makes value read its JSON from the file at path, copied through the value's allocator and
 * opened ("rb") only when the value is written, then closed. Releases the previous source on
 * success. Fails with "JSON value handle and path are required" (NULL or empty path;
 * INVALID_ARGUMENT) or "failed to duplicate JSON value path" (ALLOCATION_FAILED, previous
 * source kept).
 */
VELLUM_API vellum_status vellum_json_value_set_path(vellum_json_value *value, const char *path, vellum_error *error);
/**
 * Parse configuration: a value parsed into this member is streamed to sink as compact JSON
 * text (strings re-escaped as the serializer writes them) while it is read. Releases the
 * source and restores the default limits, which apply while parsing. Fails with "JSON value
 * handle and parse sink are required" (INVALID_ARGUMENT).
 */
VELLUM_API vellum_status vellum_json_value_set_parse_sink(vellum_json_value *value, vellum_sink_fn sink, void *user,
                                                          vellum_error *error);
/**
 * Parse configuration: a value parsed into this member is reported to a copy of visitor (with
 * user) as the visitor's events, within limits (NULL, or a member left 0 among the first four,
 * takes its default). Releases the source. Fails with "JSON value handle and parse visitor are
 * required" (INVALID_ARGUMENT).
 */
VELLUM_API vellum_status vellum_json_value_set_parse_visitor(vellum_json_value *value,
                                                             const vellum_value_visitor *visitor, void *user,
                                                             const vellum_value_limits *limits, vellum_error *error);
/**
 * Parse configuration: a value parsed into this member is captured as compact JSON text into an
 * owned buffer (the value's allocator), which then becomes the value's buffer source
 * (NUL-terminated; len excludes the NUL). Releases the source and restores the default limits.
 * Fails with "JSON value handle is required" (INVALID_ARGUMENT).
 */
VELLUM_API vellum_status vellum_json_value_enable_parse_capture(vellum_json_value *value, vellum_error *error);
/**
 * 1 when value can be written again from its start: no source, a buffer or a path (even one
 * that does not exist yet); a FILE when ftell works and seeking to 0 and back succeeds; a
 * descriptor when lseek to the current position, to 0 and back succeed. 0 for a reader, a
 * non-seekable FILE or descriptor, and NULL.
 */
VELLUM_API int vellum_json_value_is_rewindable(const vellum_json_value *value);
/**
 * Clears error, then writes the value's JSON as compact text through sink: "null" without
 * source, else the source read from its first byte, validated and stripped of whitespace. A
 * sink status of VELLUM_STATUS_TRUNCATED continues (the result is then TRUNCATED); any other
 * nonzero status stops and is returned unchanged. Output already passed to the sink stays.
 * Fails with "sink is required" or "JSON value handle is required" (INVALID_ARGUMENT), the
 * source messages ("failed to rewind JSON value FILE*", "failed to rewind JSON value fd",
 * "failed to open JSON value path '%s'", "failed to read JSON value stream", "failed to read
 * JSON value fd" (IO_ERROR, errno in system_errno), "reader callback failed" (CALLBACK_FAILED)),
 * "embedded JSON must contain exactly one value" and the syntax messages (INVALID_JSON), "JSON
 * value exceeds maximum total byte limit" (OVERFLOW).
 */
VELLUM_API vellum_status vellum_json_value_write_to_sink(const vellum_json_value *value, vellum_sink_fn sink,
                                                         void *user, vellum_error *error);


/* ------------------------------------------------------------------------------------------
 * Value visitor: one JSON value of any shape reported as events (see vellum_value_visitor).
 * Keys and strings are decoded and delivered in chunks: runs of plain bytes gathered up to 256
 * bytes, each escape as its own chunk of UTF-8 bytes. A number is delivered whole in one
 * number_chunk between number_begin and number_end. Events are strictly nested and in input
 * order, and do not depend on how the input is split into reads.
 *
 * Common to the six entry points: limits NULL means vellum_default_value_limits(), and a member
 * left 0 among the first four takes its default. error is cleared after the argument checks
 * (which fail with VELLUM_STATUS_INVALID_ARGUMENT); callbacks always receive a non-NULL error
 * record, whose content is copied to the caller's. The first failure stops the visit (no further
 * callbacks) and carries the line, column and offset of the byte that raised it. A callback
 * status other than 0 and VELLUM_STATUS_TRUNCATED is returned unchanged; TRUNCATED continues
 * and makes the result TRUNCATED. Failures:
 *  - INVALID_JSON: "expected JSON value", "visited JSON must contain exactly one value",
 *    "expected object key", "expected ':' after object key", "expected ',' in object",
 *    "expected ',' in array", "unterminated JSON object", "unterminated JSON array",
 *    "unterminated JSON string", "control character in string", "unterminated escape
 *    sequence", "invalid string escape", "invalid unicode escape", "invalid unicode surrogate
 *    pair", "unexpected low surrogate", "invalid JSON number", "invalid JSON literal";
 *  - OVERFLOW: "JSON value nesting exceeds maximum depth", "JSON object key exceeds maximum
 *    decoded byte limit", "JSON string exceeds maximum decoded byte limit", "decoded JSON text
 *    exceeds limit" (an escape crossing the limit), "JSON number exceeds maximum byte limit",
 *    "JSON value exceeds maximum total byte limit" (every byte read counts);
 *  - ALLOCATION_FAILED: "failed to allocate JSON number buffer", "failed to grow JSON pull frame
 *    stack";
 *  - reads: "reader callback failed" (CALLBACK_FAILED, the reader's error in system_errno),
 *    "failed to read JSON value stream", "failed to read JSON value fd" (IO_ERROR, errno).
 * ---------------------------------------------------------------------------------------- */

/** Clears all fifteen callbacks of visitor and returns it (NULL is ignored and returned). */
VELLUM_API vellum_value_visitor *vellum_default_value_visitor(vellum_value_visitor *visitor);

/** Visits the len bytes at data. Fails with "buffer and visitor are required". */
VELLUM_API vellum_status vellum_visit_value_buffer(const void *data, size_t len, const vellum_value_visitor *visitor,
                                                   void *user, const vellum_value_limits *limits,
                                                   vellum_error *error);
/** Visits the NUL-terminated text. Fails with "json string and visitor are required". */
VELLUM_API vellum_status vellum_visit_value_cstr(const char *text, const vellum_value_visitor *visitor, void *user,
                                                 const vellum_value_limits *limits, vellum_error *error);
/**
 * Visits what reader delivers (4096-byte reads) until it reports eof; would_block makes it call
 * again. Fails with "reader and visitor are required".
 */
VELLUM_API vellum_status vellum_visit_value_reader(vellum_reader_fn reader, void *reader_user,
                                                   const vellum_value_visitor *visitor, void *user,
                                                   const vellum_value_limits *limits, vellum_error *error);
/** Visits file from its current position (not closed). Fails with "file pointer and visitor are required". */
VELLUM_API vellum_status vellum_visit_value_filep(FILE *file, const vellum_value_visitor *visitor, void *user,
                                                  const vellum_value_limits *limits, vellum_error *error);
/**
 * Opens path ("rb"), visits it and closes it. Fails with "path and visitor are required" or
 * "failed to open '%s'" (IO_ERROR, errno in system_errno).
 */
VELLUM_API vellum_status vellum_visit_value_path(const char *path, const vellum_value_visitor *visitor, void *user,
                                                 const vellum_value_limits *limits, vellum_error *error);
/** Visits what read(2) delivers from fd until end of file. Fails with "fd and visitor are required". */
VELLUM_API vellum_status vellum_visit_value_fd(int fd, const vellum_value_visitor *visitor, void *user,
                                               const vellum_value_limits *limits, vellum_error *error);


/* ------------------------------------------------------------------------------------------
 * Generator: the JSON text of one record, pulled in pieces of the caller's size
 *
 * The generator writes exactly the bytes that the serializer writes for the same record and
 * write options, but on demand: each vellum_generator_read fills the caller's buffer with the
 * next part of the document. Spooled fields and sources are streamed through one 4096-byte
 * chunk buffer, so the document is never held in memory. The record must stay alive and
 * unchanged from init until cleanup.
 * ---------------------------------------------------------------------------------------- */

struct vellum_generator_state;

/** Generator handle: caller-owned, any storage. */
typedef struct vellum_generator {
    struct vellum_generator_state *state; /* NULL before init, after a failed init and after cleanup */
    int eof;                              /* 1 once the whole document has been delivered */
    vellum_error error;                   /* every failure of init and read is recorded here */
} vellum_generator;

/**
 * Zeroes generator and prepares it to produce the JSON of record (described by map) with
 * options (NULL: vellum_default_write_options(); only pretty and allocator are used). The state
 * is allocated through the options' allocator (default when NULL) and freed by
 * vellum_generator_cleanup. Returns VELLUM_STATUS_INVALID_ARGUMENT for a NULL generator (nothing
 * written); otherwise failures are recorded in generator->error: "map and source are required
 * for generator init", "invalid map layout", "allocator must provide either all callbacks or
 * none" (INVALID_ARGUMENT), "failed to allocate generator state" (ALLOCATION_FAILED).
 */
VELLUM_API vellum_status vellum_generator_init(vellum_generator *generator, const vellum_map *map,
                                               const void *record, const vellum_write_options *options);

/**
 * Writes up to capacity bytes of the document into buffer. *out_len and *out_eof (both may be
 * NULL) are set to 0 first, then to the bytes written and to 1 once the whole document has been
 * delivered (also mirrored in generator->eof). Fewer than capacity bytes are written only at
 * the end of the document; after the end every read writes 0 bytes and reports eof. Capacity 0
 * only reports eof. Returns VELLUM_STATUS_INVALID_ARGUMENT without touching the error record
 * for a NULL or uninitialised generator; "generator read buffer is required" for a NULL buffer
 * with a non-zero capacity. A failure of the document (for example "non-finite double cannot be
 * serialized", "failed to read source data", "failed to read spooled data", "field '%s' is
 * parse-only and cannot be serialized", "failed to grow generator frame stack") is recorded in
 * generator->error and returned; the generator is then unusable (later reads return the same
 * status) and must be cleaned up. Bytes delivered before a failure stay delivered.
 */
VELLUM_API vellum_status vellum_generator_read(vellum_generator *generator, void *buffer, size_t capacity,
                                               size_t *out_len, int *out_eof);

/**
 * Computes in *out_len the exact length of the document that the generator (and the
 * serializer) produce for record with options, by a full serializer pass into a counting sink;
 * sources and raw JSON values are read completely. Clears error. Fails with "map, source, and
 * output length are required", "invalid map layout", "cannot measure non-rewindable JSON
 * document" (a set source or raw JSON value that cannot be read twice; INVALID_ARGUMENT),
 * "serialized output is too large to measure" (OVERFLOW), or any failure of the serializer.
 * *out_len is 0 unless the serializer returns 0 or VELLUM_STATUS_TRUNCATED.
 */
VELLUM_API vellum_status vellum_generator_measure(const vellum_map *map, const void *record, size_t *out_len,
                                                  const vellum_write_options *options, vellum_error *error);

/**
 * Closes the files that the generator opened itself (path sources), frees its state through
 * the allocator it was made with and zeroes the whole handle, error included. NULL is accepted;
 * safe after a failed init and after a finished or failed read.
 */
VELLUM_API void vellum_generator_cleanup(vellum_generator *generator);


/* ------------------------------------------------------------------------------------------
 * HTTP transfer adapters
 *
 * Callbacks with the signatures of libcurl's write and read callbacks (data, item size, item
 * count, the caller's pointer), so a transfer parses its response body and produces its
 * request body incrementally. libvellum does not link libcurl: the caller registers these
 * functions (casting the user pointer) as the transfer's write or read function.
 * ---------------------------------------------------------------------------------------- */

/** libcurl's CURL_READFUNC_ABORT: the value a read callback returns to abort the transfer. */
#define VELLUM_CURL_READFUNC_ABORT ((size_t)0x10000000)

struct vellum_parser_state;

/** Parse adapter for one mapped record: caller-owned, any storage. */
typedef struct vellum_curl_parse {
    struct vellum_parser_state *parser; /* owned by the handle; NULL when not initialised */
    vellum_error error;                 /* the adapter's failure */
} vellum_curl_parse;

/**
 * Zeroes handle and prepares it to parse one JSON object into destination (described by map)
 * with options (NULL: vellum_default_parse_options()). The parser and its workspace are one
 * allocation through the options' allocator (default when NULL). With clear_destination (the
 * default) destination is initialised before any byte arrives, keeping the parse configuration
 * of its raw JSON value members. Returns VELLUM_STATUS_INVALID_ARGUMENT for a NULL handle;
 * otherwise failures are recorded in handle->error: "map and destination are required",
 * "allocator must provide either all callbacks or none", "invalid map layout"
 * (INVALID_ARGUMENT), "failed to allocate parser" (ALLOCATION_FAILED). Call
 * vellum_curl_parse_cleanup afterwards in every case.
 */
VELLUM_API vellum_status vellum_curl_parse_init(vellum_curl_parse *handle, const vellum_map *map, void *destination,
                                                const vellum_parse_options *options);

/**
 * libcurl write callback: feeds size * count bytes of the body to the parser. Returns size *
 * count when the bytes were consumed (also when a FIXED member was truncated), 0 otherwise,
 * which makes libcurl abort the transfer: NULL handle or parser; NULL data with a non-zero
 * length, or a length that overflows ("invalid parser feed arguments"); a parse error (copied
 * into handle->error). After the first failure every call returns 0. A zero length is accepted.
 */
VELLUM_API size_t vellum_curl_write_callback(const void *data, size_t size, size_t count, vellum_curl_parse *handle);

/**
 * Completes the parse once the transfer has succeeded: a pending number at the end, document
 * completeness and required fields, as the parse entry points do. The outcome is copied into
 * handle->error and returned (0 on success, VELLUM_STATUS_TRUNCATED when a member was cut; an
 * earlier write failure is returned again). NULL handle or parser: VELLUM_STATUS_INVALID_ARGUMENT.
 */
VELLUM_API vellum_status vellum_curl_parse_finish(vellum_curl_parse *handle);

/**
 * Frees the parser through its allocator and sets handle->parser to NULL; handle->error stays.
 * The destination is not touched (release it with vellum_cleanup). NULL is accepted.
 */
VELLUM_API void vellum_curl_parse_cleanup(vellum_curl_parse *handle);

/**
 * Prepares generator to produce record as a request body: zeroes the handle and runs
 * vellum_generator_init. Returns VELLUM_STATUS_INVALID_ARGUMENT for a NULL handle, else the
 * status of the init (its failure is recorded in generator->error).
 */
VELLUM_API vellum_status vellum_curl_upload_init(vellum_generator *generator, const vellum_map *map,
                                                 const void *record, const vellum_write_options *options);

/**
 * libcurl read callback: one vellum_generator_read into buffer with capacity size * count.
 * Returns the bytes written, 0 only at the end of the body (and again after it), and
 * VELLUM_CURL_READFUNC_ABORT for a NULL buffer or handle, a handle without state, or a failed
 * read (the reason stays in generator->error). Size * count of 0 returns 0. A single call
 * never writes VELLUM_CURL_READFUNC_ABORT bytes or more, so a count is never mistaken for the
 * abort value.
 */
VELLUM_API size_t vellum_curl_read_callback(void *buffer, size_t size, size_t count, vellum_generator *generator);

/**
 * Always -1: the body length is not known in advance. A caller that needs a Content-Length
 * computes it with vellum_generator_measure over the same map, record and write options.
 */
VELLUM_API int64_t vellum_curl_upload_size(const vellum_generator *generator);

/** vellum_generator_cleanup. NULL is accepted. */
VELLUM_API void vellum_curl_upload_cleanup(vellum_generator *generator);


/* ------------------------------------------------------------------------------------------
 * Object stream: any number of top-level JSON objects (JSON Lines, or objects separated by
 * whitespace), mapped one per call into a caller's record. At most one object's bookkeeping
 * and 1024 bytes of unread input are held. Non-blocking inputs are resumed where they stopped.
 * ---------------------------------------------------------------------------------------- */

/** Opaque object stream handle. */
typedef struct vellum_stream vellum_stream;

/** Results of vellum_stream_next. */
enum {
    VELLUM_STREAM_OBJECT = 0,      /* an object was mapped into the record */
    VELLUM_STREAM_END = 1,         /* the input ended cleanly between objects */
    VELLUM_STREAM_WOULD_BLOCK = 2, /* no input now: call again later with the same record */
    VELLUM_STREAM_ERROR = 3        /* see the error record */
};

/**
 * Opens a stream over a reader callback (a would_block result makes vellum_stream_next return
 * VELLUM_STREAM_WOULD_BLOCK). options (may be NULL: defaults) are copied; the handle is
 * allocated through their allocator. Returns NULL with the reason in error: "reader callback
 * is required", "map is required", the partial-allocator message (INVALID_ARGUMENT), or
 * "failed to allocate stream" (ALLOCATION_FAILED). Close the stream with vellum_stream_close.
 */
VELLUM_API vellum_stream *vellum_stream_open_reader(const vellum_map *map, vellum_reader_fn reader, void *user,
                                                    const vellum_parse_options *options, vellum_error *error);
/** As vellum_stream_open_reader over a FILE ("file pointer is required"); the file is not closed. */
VELLUM_API vellum_stream *vellum_stream_open_filep(const vellum_map *map, FILE *file,
                                                   const vellum_parse_options *options, vellum_error *error);
/**
 * As vellum_stream_open_reader over a file opened from path ("path is required"; "failed to
 * open '%s'", IO_ERROR, system_errno set). The stream owns the file and closes it.
 */
VELLUM_API vellum_stream *vellum_stream_open_path(const vellum_map *map, const char *path,
                                                  const vellum_parse_options *options, vellum_error *error);
/**
 * As vellum_stream_open_reader over a descriptor ("fd must be non-negative"); EAGAIN from a
 * non-blocking descriptor gives VELLUM_STREAM_WOULD_BLOCK. The descriptor is not closed.
 */
VELLUM_API vellum_stream *vellum_stream_open_fd(const vellum_map *map, int fd, const vellum_parse_options *options,
                                                vellum_error *error);

/**
 * Maps the next object into record and returns a VELLUM_STREAM_* result; error (may be NULL)
 * receives the stream's error record (an OBJECT result may carry the truncated flag). After
 * WOULD_BLOCK the next call must pass the same record ("resume the stream with the same
 * destination" otherwise). With clear_destination, a record passed again is reset first, so
 * the previous object's strings and arrays are released. Input that is not an object gives
 * "expected top-level object"; read failures "stream read failed" (IO_ERROR, system_errno).
 * After ERROR the next call starts a new object from where the error left the input.
 * The caller releases the record with vellum_cleanup.
 */
VELLUM_API int vellum_stream_next(vellum_stream *stream, void *record, vellum_error *error);

/** The stream's own error record (outcome of the last next), or NULL for a NULL stream. */
VELLUM_API const vellum_error *vellum_stream_error(const vellum_stream *stream);

/** Closes a file the stream opened and frees the handle. NULL is ignored. */
VELLUM_API void vellum_stream_close(vellum_stream *stream);


/* ------------------------------------------------------------------------------------------
 * Array stream: one JSON array walked element by element without holding it - a root array,
 * or the array under one key of a root object ({"items":[...],"cursor":"..."}). The rest of
 * the document is still read and validated. Input is pulled (reader, FILE, descriptor, path)
 * or pushed by the caller; pull and push calls are not mixed on one stream.
 * ---------------------------------------------------------------------------------------- */

/** Opaque array stream handle. */
typedef struct vellum_array_stream vellum_array_stream;

/** Results of vellum_array_stream_next and vellum_array_stream_next_value. */
enum {
    VELLUM_ARRAY_STREAM_ITEM = 0,        /* an element was produced */
    VELLUM_ARRAY_STREAM_END = 1,         /* the array and the document are complete */
    VELLUM_ARRAY_STREAM_WOULD_BLOCK = 2, /* no input now: call again with the same destination */
    VELLUM_ARRAY_STREAM_ERROR = 3        /* see the error record */
};

/** Push modes: called with each completed element; 0 continues, anything else fails the stream. */
typedef int (*vellum_array_item_fn)(void *user, void *destination);
/** Push modes: called with each whole string element (NUL-terminated, len bytes). */
typedef int (*vellum_string_item_fn)(void *user, const char *text, size_t len, vellum_error *error);

/**
 * Opens a stream over a reader (would_block makes next return WOULD_BLOCK). path selects the
 * array under that key of a root object; NULL or "" selects a root array; a path containing
 * "." is refused ("array stream v1 supports only one direct path segment"). options (NULL:
 * defaults) are copied and their allocator allocates the stream. Returns NULL with the reason
 * in error. Close with vellum_array_stream_close.
 */
VELLUM_API vellum_array_stream *vellum_array_stream_open_reader(const char *path, vellum_reader_fn reader, void *user,
                                                                const vellum_parse_options *options,
                                                                vellum_error *error);
/** As above over a FILE (not closed by the stream). */
VELLUM_API vellum_array_stream *vellum_array_stream_open_filep(const char *path, FILE *file,
                                                               const vellum_parse_options *options,
                                                               vellum_error *error);
/** As above over file_path, opened for reading and closed by vellum_array_stream_close. */
VELLUM_API vellum_array_stream *vellum_array_stream_open_path(const char *path, const char *file_path,
                                                              const vellum_parse_options *options,
                                                              vellum_error *error);
/** As above over a descriptor (not closed); EAGAIN means the input would block. */
VELLUM_API vellum_array_stream *vellum_array_stream_open_fd(const char *path, int fd,
                                                            const vellum_parse_options *options, vellum_error *error);
/** A stream fed with vellum_array_stream_push* and ended with vellum_array_stream_finish*. */
VELLUM_API vellum_array_stream *vellum_array_stream_open_push(const char *path, const vellum_parse_options *options,
                                                              vellum_error *error);

/**
 * Parses the next element, which must be an object, into destination with the stream's parse
 * options. With clear_destination a destination that still holds the previous element is
 * reset first. After WOULD_BLOCK pass the same map and destination again. Any error leaves
 * the stream failed: later calls return the same error. The caller cleans up destination.
 */
VELLUM_API int vellum_array_stream_next(vellum_array_stream *stream, const vellum_map *map, void *destination,
                                        vellum_error *error);
/**
 * Captures the next element, of any JSON type, into value (a compact copy through
 * vellum_json_value_set_buffer). With reject_duplicates an object in it with a repeated key
 * fails with "duplicate object field".
 */
VELLUM_API int vellum_array_stream_next_value(vellum_array_stream *stream, vellum_json_value *value,
                                              vellum_error *error);
/** The stream's error record, or NULL for a NULL stream. */
VELLUM_API const vellum_error *vellum_array_stream_error(const vellum_array_stream *stream);

/**
 * Pushes len bytes. Each completed element is parsed into destination, handed to callback,
 * and then released with vellum_cleanup (the callback copies what it keeps). Returns 0, or
 * VELLUM_STATUS_TRUNCATED once any element was truncated, or the failure.
 */
VELLUM_API vellum_status vellum_array_stream_push(vellum_array_stream *stream, const vellum_map *map, void *destination,
                                                  const void *bytes, size_t len, vellum_array_item_fn callback,
                                                  void *user, vellum_error *error);
/** Ends the pushed input; an incomplete document fails. */
VELLUM_API vellum_status vellum_array_stream_finish(vellum_array_stream *stream, const vellum_map *map, void *destination,
                                                    vellum_array_item_fn callback, void *user, vellum_error *error);
/**
 * Pushes bytes of an array of strings: for each element handler->begin (when set), then
 * handler->chunk with the decoded bytes (plain runs gathered up to 256 bytes, each escape on
 * its own), then handler->end (when set). A non-string element fails with "selected array
 * item is not a string".
 */
VELLUM_API vellum_status vellum_array_stream_push_string(vellum_array_stream *stream, const void *bytes, size_t len,
                                                         const vellum_string_chunk_handler *handler, void *user,
                                                         vellum_error *error);
VELLUM_API vellum_status vellum_array_stream_finish_string(vellum_array_stream *stream,
                                                           const vellum_string_chunk_handler *handler, void *user,
                                                           vellum_error *error);
/** Pushes bytes of an array of strings, each collected whole (at most 1048576 bytes). */
VELLUM_API vellum_status vellum_array_stream_push_string_items(vellum_array_stream *stream, const void *bytes,
                                                               size_t len, vellum_string_item_fn callback, void *user,
                                                               vellum_error *error);
VELLUM_API vellum_status vellum_array_stream_finish_string_items(vellum_array_stream *stream,
                                                                 vellum_string_item_fn callback, void *user,
                                                                 vellum_error *error);
/** Closes an owned FILE and frees the stream. NULL is ignored. */
VELLUM_API void vellum_array_stream_close(vellum_array_stream *stream);

/*
 * HTTP transfer adapters over a push-fed array stream, with libcurl's write-callback
 * contract: the write callbacks return size * count when the bytes were consumed and 0
 * otherwise (the transfer then aborts and the reason is in the handle's error). Handles are
 * caller-owned; call the cleanup function always.
 */
typedef struct vellum_curl_array_parse {
    vellum_array_stream *stream;
    const vellum_map *map;
    void *destination;
    vellum_array_item_fn callback;
    void *user;
    vellum_error error;
} vellum_curl_array_parse;

typedef struct vellum_curl_string_array_parse {
    vellum_array_stream *stream;
    vellum_string_chunk_handler handler;
    void *user;
    vellum_error error;
} vellum_curl_string_array_parse;

typedef struct vellum_curl_string_items_parse {
    vellum_array_stream *stream;
    vellum_string_item_fn callback;
    void *user;
    vellum_error error;
} vellum_curl_string_items_parse;

/** Elements of the selected array parsed into destination and handed to callback. */
VELLUM_API vellum_status vellum_curl_array_parse_init(vellum_curl_array_parse *handle, const char *path,
                                                      const vellum_map *map, void *destination,
                                                      const vellum_parse_options *options,
                                                      vellum_array_item_fn callback, void *user);
VELLUM_API size_t vellum_curl_array_write_callback(const void *data, size_t size, size_t count,
                                                   vellum_curl_array_parse *handle);
VELLUM_API vellum_status vellum_curl_array_parse_finish(vellum_curl_array_parse *handle);
VELLUM_API void vellum_curl_array_parse_cleanup(vellum_curl_array_parse *handle);

/** String elements delivered in chunks to a copy of handler. */
VELLUM_API vellum_status vellum_curl_string_array_parse_init(vellum_curl_string_array_parse *handle, const char *path,
                                                             const vellum_parse_options *options,
                                                             const vellum_string_chunk_handler *handler, void *user);
VELLUM_API size_t vellum_curl_string_array_write_callback(const void *data, size_t size, size_t count,
                                                          vellum_curl_string_array_parse *handle);
VELLUM_API vellum_status vellum_curl_string_array_parse_finish(vellum_curl_string_array_parse *handle);
VELLUM_API void vellum_curl_string_array_parse_cleanup(vellum_curl_string_array_parse *handle);

/** String elements delivered whole to callback. */
VELLUM_API vellum_status vellum_curl_string_items_parse_init(vellum_curl_string_items_parse *handle, const char *path,
                                                             const vellum_parse_options *options,
                                                             vellum_string_item_fn callback, void *user);
VELLUM_API size_t vellum_curl_string_items_write_callback(const void *data, size_t size, size_t count,
                                                          vellum_curl_string_items_parse *handle);
VELLUM_API vellum_status vellum_curl_string_items_parse_finish(vellum_curl_string_items_parse *handle);
VELLUM_API void vellum_curl_string_items_parse_cleanup(vellum_curl_string_items_parse *handle);


/* ------------------------------------------------------------------------------------------
 * Server-sent-events push parser (text/event-stream) fed in pieces of any size. The plain
 * mode reports each event's data as raw chunks; the JSON mode parses each event's data
 * straight into a mapped record and hands the filled record to one callback per event.
 * ---------------------------------------------------------------------------------------- */

/** Limits of an SSE parser. A member left 0 takes its default. */
typedef struct vellum_sse_options {
    size_t max_line_bytes;       /* 65536: longest line, line break excluded */
    size_t max_event_data_bytes; /* 1048576: data bytes of one event, joining line breaks included */
    size_t max_field_bytes;      /* 1048576: longest event name and longest id */
    const vellum_allocator *allocator; /* NULL: the default allocator */
} vellum_sse_options;

/** The event being reported. Valid only during the callback; the strings belong to the parser. */
typedef struct vellum_sse_event {
    const char *event;  /* event name; "" when the event had no event field */
    const char *id;     /* id, or NULL when none was given */
    size_t data_bytes;  /* data bytes delivered so far in this event (joining line breaks included) */
    uint32_t retry;     /* value of the last valid retry field */
    int has_retry;      /* 1 when a valid retry field was seen in this event */
} vellum_sse_event;

/**
 * Plain-mode callbacks; each may be NULL. Return 0 (or VELLUM_STATUS_TRUNCATED) to go on. Any
 * other value fails the call: with the status the callback wrote into error, or, when it wrote
 * none, VELLUM_STATUS_CALLBACK_FAILED. error is never NULL inside a callback.
 */
typedef struct vellum_sse_callbacks {
    int (*begin_event)(void *user, const vellum_sse_event *event, vellum_error *error);
    int (*data_chunk)(void *user, const char *data, size_t len, vellum_error *error);
    int (*end_event)(void *user, const vellum_sse_event *event, vellum_error *error);
} vellum_sse_callbacks;

/** JSON-mode options. A NULL record, a NULL name list or a count of 0 accepts every event. */
typedef struct vellum_sse_json_options {
    const char *const *event_names;  /* accepted event names; NULL entries are skipped */
    size_t event_name_count;
    const vellum_parse_options *parse_options; /* NULL: vellum_default_parse_options() */
} vellum_sse_json_options;

/**
 * JSON-mode callback: one call per accepted event with data, after its data parsed into
 * destination. Return values as for the plain callbacks ("SSE JSON callback failed").
 */
typedef int (*vellum_sse_json_callback)(void *user, const vellum_sse_event *event, void *destination,
                                        vellum_error *error);

typedef struct vellum_sse vellum_sse;

/** Fills options with the defaults. NULL is ignored. */
VELLUM_API void vellum_default_sse_options(vellum_sse_options *options);

/**
 * Opens a parser; options may be NULL. Returns NULL on a partial allocator (INVALID_ARGUMENT)
 * or when memory runs out (ALLOCATION_FAILED). Release it with vellum_sse_close.
 */
VELLUM_API vellum_sse *vellum_sse_open(const vellum_sse_options *options, vellum_error *error);

/**
 * Plain mode: processes len bytes, reporting events through callbacks (may be NULL). Returns
 * 0, VELLUM_STATUS_TRUNCATED when a callback returned it, or the first failure (the rest of
 * the bytes is then not processed): limits OVERFLOW, memory ALLOCATION_FAILED, callbacks.
 * After vellum_sse_finish: "SSE parser is already finished".
 */
VELLUM_API vellum_status vellum_sse_push(vellum_sse *parser, const char *bytes, size_t len,
                                         const vellum_sse_callbacks *callbacks, void *user, vellum_error *error);

/**
 * Plain mode, end of input: an unterminated last line is processed, a pending event is
 * dispatched, and the parser is marked finished. Already finished: returns 0.
 */
VELLUM_API vellum_status vellum_sse_finish(vellum_sse *parser, const vellum_sse_callbacks *callbacks, void *user,
                                           vellum_error *error);

/**
 * JSON mode: processes len bytes; each accepted event's data lines are parsed incrementally
 * into destination through map (with clear_destination, the record is initialised, or reset
 * when it holds an earlier event's values, before each event), and callback receives the
 * filled record. The map, destination and options must stay the same within one event. The
 * record's contents belong to the caller, who releases them with vellum_cleanup. Failures as
 * for vellum_sse_push, plus the parser's own errors for bad event data (the event is then
 * dropped and the next one may follow).
 */
VELLUM_API vellum_status vellum_sse_push_json(vellum_sse *parser, const vellum_map *map, void *destination,
                                              const char *bytes, size_t len,
                                              const vellum_sse_json_options *json_options,
                                              vellum_sse_json_callback callback, void *user, vellum_error *error);

/**
 * JSON mode, end of input: processes an unterminated last line, dispatches a pending event and
 * marks the parser finished when that succeeded. Already finished: returns 0.
 */
VELLUM_API vellum_status vellum_sse_finish_json(vellum_sse *parser, const vellum_map *map, void *destination,
                                                const vellum_sse_json_options *json_options,
                                                vellum_sse_json_callback callback, void *user,
                                                vellum_error *error);

/** Releases the parser and everything it holds. NULL is ignored. */
VELLUM_API void vellum_sse_close(vellum_sse *parser);


/* ------------------------------------------------------------------------------------------
 * Multipart push parser: MIME multipart bodies (multipart/mixed, /related, /form-data) fed in
 * pieces of any size. Each part is reported by begin_part (headers complete), part_data
 * (pieces of the body, never collected whole) and end_part. A part with Content-Length is
 * passed through by count; one without is scanned for the next delimiter line.
 * ---------------------------------------------------------------------------------------- */

/** Limits of a multipart parser. A member left 0 takes its default. */
typedef struct vellum_multipart_options {
    size_t max_boundary_bytes;    /* 200: longest boundary accepted from the Content-Type */
    size_t max_line_bytes;        /* 65536: longest delimiter or header line, line break excluded */
    size_t max_headers;           /* 64: most header lines in one part */
    size_t max_body_buffer_bytes; /* 1048576: most body bytes held back while matching a delimiter */
    const vellum_allocator *allocator; /* NULL: the default allocator */
} vellum_multipart_options;

/** One header line of a part, as received (name as is, value trimmed of spaces and tabs). */
typedef struct vellum_multipart_header {
    const char *name;
    const char *value;
} vellum_multipart_header;

/** The part being reported. Valid only during the callback; the strings belong to the parser. */
typedef struct vellum_multipart_part {
    const char *name;         /* name parameter of Content-Disposition, or NULL */
    const char *content_type; /* Content-Type header value, or NULL */
    int64_t content_length;   /* Content-Length header value; -1 when absent */
    const vellum_multipart_header *headers; /* in arrival order */
    size_t header_count;
} vellum_multipart_part;

/**
 * Callbacks of the multipart parser; each may be NULL. Return 0 (or VELLUM_STATUS_TRUNCATED) to
 * go on. Any other value fails the push: with the status the callback wrote into error, or,
 * when it wrote none, VELLUM_STATUS_CALLBACK_FAILED. error is never NULL inside a callback.
 */
typedef struct vellum_multipart_callbacks {
    int (*begin_part)(void *user, const vellum_multipart_part *part, vellum_error *error);
    int (*part_data)(void *user, const void *data, size_t len, vellum_error *error);
    int (*end_part)(void *user, const vellum_multipart_part *part, vellum_error *error);
} vellum_multipart_callbacks;

typedef struct vellum_multipart vellum_multipart;

/** Fills options with the defaults and returns it. NULL is ignored (returns NULL). */
VELLUM_API vellum_multipart_options *vellum_default_multipart_options(vellum_multipart_options *options);

/**
 * Opens a parser for the body whose Content-Type header value is content_type; the boundary
 * parameter (any case; a token, or a double-quoted string taken without escapes) is copied.
 * options may be NULL. Returns NULL on failure: NULL content_type, a partial allocator, a
 * missing, empty, unterminated or over-long boundary, or a boundary holding CR, LF or NUL
 * (INVALID_ARGUMENT; OVERFLOW for the length), or no memory (ALLOCATION_FAILED). The parser
 * is allocated through the options' allocator; release it with vellum_multipart_close.
 */
VELLUM_API vellum_multipart *vellum_multipart_open(const char *content_type, const vellum_multipart_options *options,
                                                   vellum_error *error);

/**
 * Processes len bytes of the body, making the callbacks (callbacks may be NULL) in order.
 * Bytes after the closing delimiter line (the epilogue) are ignored, in this push or later
 * ones. Returns 0, VELLUM_STATUS_TRUNCATED when a callback returned it, or the first failure
 * (malformed framing INVALID_JSON, limits OVERFLOW, memory ALLOCATION_FAILED, callbacks).
 * A failure is final: later pushes return it again. After vellum_multipart_finish every push
 * fails with "multipart parser is already finished".
 */
VELLUM_API vellum_status vellum_multipart_push(vellum_multipart *parser, const void *bytes, size_t len,
                                               const vellum_multipart_callbacks *callbacks, void *user,
                                               vellum_error *error);

/**
 * End of the body. Fails with "multipart stream ended before closing boundary"
 * (INVALID_JSON) unless the closing delimiter line has been seen; makes no callback.
 */
VELLUM_API vellum_status vellum_multipart_finish(vellum_multipart *parser, const vellum_multipart_callbacks *callbacks,
                                                 void *user, vellum_error *error);

/** Releases the parser and everything it holds. NULL is ignored. */
VELLUM_API void vellum_multipart_close(vellum_multipart *parser);


#ifdef __cplusplus
}
#endif

#endif /* VELLUM_H */
