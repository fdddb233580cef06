/*
 * korvoc.h - client library for the korvo coordination server.
 *
 * Conventions that hold for every function below:
 *  - Operations return an int code (KC_OK, 0, on success) and fill an optional caller-owned
 *    kc_error with the same code, a message and details; a NULL error record is allowed and
 *    then only the code is returned.
 *  - Records passed in belong to the caller. Result records own their strings; release them
 *    with the matching *_cleanup. Handles are freed by their close operation.
 *  - *_init functions zero a record and set its few defaults; they return the record and
 *    do nothing for NULL.
 *
 * Compiles as C11 and as C++.
 */
#ifndef KORVOC_H
#define KORVOC_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "chirp.h"
#include "vellum.h"

#if defined(_WIN32)
#define KC_API
#elif defined(__GNUC__)
#define KC_API __attribute__((visibility("default")))
#else
#define KC_API
#endif

/*
 * Record members named after C++ keywords keep their names in C and are spelled with a
 * trailing underscore in C++; the layout is the same, so both see one ABI.
 */
#ifdef __cplusplus
#define KC_NAMESPACE_MEMBER namespace_
#define KC_PUBLIC_MEMBER public_
#else
#define KC_NAMESPACE_MEMBER namespace
#define KC_PUBLIC_MEMBER public
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------
 * Result codes (shared with the engine layer, korvoc_engine.h)
 * ---------------------------------------------------------------------------------------- */

enum {
    KC_OK = 0,
    KC_ERR_INVALID = 1,   /* argument or state misuse, invalid configuration */
    KC_ERR_NOMEM = 2,     /* an allocation failed */
    KC_ERR_TRANSPORT = 3, /* transport failure; local I/O, thread or callback failure */
    KC_ERR_PROTOCOL = 4,  /* unusable response: malformed or oversized JSON, bad header */
    KC_ERR_SERVER = 5     /* the server answered with a non-success status */
};

/* ------------------------------------------------------------------------------------------
 * Handles (declared here, defined in their sections)
 * ---------------------------------------------------------------------------------------- */

typedef struct kc_client kc_client;
typedef struct kc_lease kc_lease;
typedef struct kc_source kc_source;
typedef struct kc_sink kc_sink;

/* @@HANDLES@@ */

/* ------------------------------------------------------------------------------------------
 * The public error record
 * ---------------------------------------------------------------------------------------- */

/**
 * What went wrong. Caller-owned; the four strings are owned by the record (system
 * allocator) and freed by kc_error_cleanup or by the next kc_error_set.
 */
typedef struct kc_error {
    int code;             /* KC_* code; KC_OK on success */
    long http_status;     /* status of a failed server response, else 0 */
    char *message;        /* what failed, or NULL */
    char *detail;         /* server "detail", OS error text or JSON library message, or NULL */
    char *server_error;   /* server "error" code string, or NULL */
    char *correlation_id; /* X-Correlation-Id of the response, or NULL */
} kc_error;

/** Zeroes error. NULL is ignored. Does not free anything: use on fresh records. */
KC_API void kc_error_init(kc_error *error);

/** Frees the four strings of error and zeroes it. NULL is ignored. */
KC_API void kc_error_cleanup(kc_error *error);

/**
 * Stores a whole error and returns code. The four strings are copied first (so they may
 * point into error itself), then the record's previous strings are freed. A string that
 * cannot be copied is left NULL; this never fails. With a NULL error only code is returned.
 */
KC_API int kc_error_set(kc_error *error, int code, long http_status, const char *message, const char *detail,
                        const char *server_error, const char *correlation_id);

/**
 * Converts a JSON library status into the public error and returns its code: 0 (and
 * VELLUM_STATUS_TRUNCATED, a success) return 0 and leave error untouched; 1 gives
 * KC_ERR_INVALID; 2 to 6 KC_ERR_PROTOCOL; 8 KC_ERR_NOMEM; 9 to 11 KC_ERR_TRANSPORT; any other
 * KC_ERR_PROTOCOL. The message is the one given (may be NULL); the detail is json_error's
 * message when json_error is non-NULL and its message non-empty.
 */
KC_API int kc_vellum_error_from_status(kc_error *error, vellum_status status, const vellum_error *json_error,
                                       const char *message);

/* ------------------------------------------------------------------------------------------
 * Allocators
 * ---------------------------------------------------------------------------------------- */

/**
 * A caller's allocator. Each NULL function falls back to the system malloc, realloc or
 * free on its own, so a partial allocator must hand out memory that the system functions
 * accept. Every function receives context first. All NULL means the system allocator.
 */
typedef struct kc_allocator {
    void *(*malloc_fn)(void *context, size_t size);
    void *(*realloc_fn)(void *context, void *pointer, size_t size);
    void (*free_fn)(void *context, void *pointer);
    void *context;
} kc_allocator;

/** Zeroes allocator (the system allocator) and returns it. NULL is ignored and returned. */
KC_API kc_allocator *kc_allocator_init(kc_allocator *allocator);

/**
 * Allocation through allocator; a NULL allocator means the system one. Each returns NULL
 * when memory runs out; what they return is released with kc_free_with_allocator and the
 * same allocator.
 *  - kc_calloc_with_allocator: zero-filled; NULL when count * size overflows; a zero total
 *    allocates one byte.
 *  - kc_realloc_with_allocator: realloc semantics (pointer may be NULL).
 *  - kc_free_with_allocator: NULL pointer does nothing.
 *  - kc_strdup_with_allocator: copy of a NUL-terminated text; NULL for NULL text.
 *  - kc_dup_bytes_with_allocator: copy of length bytes followed by a NUL (length + 1 bytes);
 *    NULL when bytes is NULL with a non-zero length.
 */
KC_API void *kc_alloc_with_allocator(const kc_allocator *allocator, size_t size);
KC_API void *kc_calloc_with_allocator(const kc_allocator *allocator, size_t count, size_t size);
KC_API void *kc_realloc_with_allocator(const kc_allocator *allocator, void *pointer, size_t size);
KC_API void kc_free_with_allocator(const kc_allocator *allocator, void *pointer);
KC_API char *kc_strdup_with_allocator(const kc_allocator *allocator, const char *text);
KC_API char *kc_dup_bytes_with_allocator(const kc_allocator *allocator, const void *bytes, size_t length);

/**
 * The same through the allocator a client was opened with; a NULL client means the system
 * allocator. Memory from these is released with kc_client_free and the same client.
 */
KC_API void *kc_client_alloc(const kc_client *client, size_t size);
KC_API void *kc_client_calloc(const kc_client *client, size_t count, size_t size);
KC_API void *kc_client_realloc(const kc_client *client, void *pointer, size_t size);
KC_API void kc_client_free(const kc_client *client, void *pointer);
KC_API char *kc_client_strdup(const kc_client *client, const char *text);

/** kc_strdup_with_allocator and kc_dup_bytes_with_allocator with the system allocator (free). */
KC_API char *kc_strdup_local(const char *text);
KC_API char *kc_dup_bytes_as_text(const void *bytes, size_t length);

/* ------------------------------------------------------------------------------------------
 * Logging helpers over libchirp
 * ---------------------------------------------------------------------------------------- */

/**
 * The process-wide logger that writes nothing, created on first use (thread-safe) and never
 * freed. NULL only if it could not be allocated; the level calls accept NULL.
 */
KC_API chirp_logger *kc_log_noop_logger(void);

/**
 * The logger a client writes to. base NULL means the noop logger. With use_base_as_is
 * non-zero, base is returned unchanged; otherwise a new logger derived from base that adds
 * "sys" = "client.korvo" to every event, owned by the caller and released with
 * result->release(result), or NULL when it cannot be made.
 */
KC_API chirp_logger *kc_log_client_logger(chirp_logger *base, int use_base_as_is);

/**
 * Writes event with the count fields at the named level when both logger and event are
 * non-NULL; otherwise does nothing. Never fails.
 */
KC_API void kc_log_trace(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count);
KC_API void kc_log_debug(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count);
KC_API void kc_log_info(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count);
KC_API void kc_log_warn(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count);
KC_API void kc_log_error(const chirp_logger *logger, const char *event, const chirp_field *fields, size_t count);

/** A string field; a null field when value is NULL. Neither pointer is copied. */
KC_API chirp_field kc_log_str_field(const char *key, const char *value);

/** A boolean field (true for non-zero). */
KC_API chirp_field kc_log_bool_field(const char *key, int value);

/** A signed integer field. */
KC_API chirp_field kc_log_i64_field(const char *key, long value);

/** An unsigned integer field (sizes, counts). */
KC_API chirp_field kc_log_u64_field(const char *key, unsigned long value);

/** A string field holding error->message; a null field when error or its message is NULL. */
KC_API chirp_field kc_log_error_field(const char *key, const kc_error *error);

/** Field "http_status" with error->http_status; null when error is NULL. */
KC_API chirp_field kc_log_http_status_field(const kc_error *error);

/** Field "code" with error->code; null when error is NULL. */
KC_API chirp_field kc_log_code_field(const kc_error *error);

/* ------------------------------------------------------------------------------------------
 * Base-10 integer helpers
 *
 * Locale-independent. All return 1 on success and 0 on failure (except the formatter), and
 * store nothing on failure; a NULL text or out pointer fails. The NUL-terminated forms accept
 * an optional sign and one or more ASCII digits, nothing else (no whitespace); leading zeros
 * are fine.
 * ---------------------------------------------------------------------------------------- */

/** Signed: optional '+' or '-', digits; range [-9223372036854775808, 9223372036854775807]. */
KC_API int kc_i64_parse_base10(const char *text, int64_t *out);

/** Unsigned: optional '+', digits (a leading '-' always fails); range [0, 18446744073709551615]. */
KC_API int kc_u64_parse_base10(const char *text, uint64_t *out);

/**
 * Writes value in decimal with a NUL into buffer and returns the number of characters (no
 * NUL). Returns -1, leaving the buffer untouched, when buffer is NULL or capacity is smaller
 * than the characters plus NUL (21 bytes hold any value).
 */
KC_API int kc_i64_format_base10(int64_t value, char *buffer, size_t capacity);

/** Narrowing: succeed when value lies within the target type's range. */
KC_API int kc_i64_to_long_checked(int64_t value, long *out);
KC_API int kc_i64_to_int_checked(int64_t value, int *out);
KC_API int kc_u64_to_ulong_checked(uint64_t value, unsigned long *out);
KC_API int kc_u64_to_size_checked(uint64_t value, size_t *out);

/** Parse (kc_i64_parse_base10 or kc_u64_parse_base10), then narrow. */
KC_API int kc_parse_long_base10_checked(const char *text, long *out);
KC_API int kc_parse_int_base10_checked(const char *text, int *out);
KC_API int kc_parse_ulong_base10_checked(const char *text, unsigned long *out);
KC_API int kc_parse_size_base10_checked(const char *text, size_t *out);

/**
 * The same over a byte range that need not be NUL-terminated (an HTTP header value): blanks
 * (space, tab, line feed, carriage return) are trimmed from both ends; at most 63 bytes may
 * remain. Blanks inside the number still fail.
 */
KC_API int kc_parse_long_base10_range_checked(const char *data, size_t length, long *out);
KC_API int kc_parse_ulong_base10_range_checked(const char *data, size_t length, unsigned long *out);

/* ------------------------------------------------------------------------------------------
 * Sources and sinks: the byte streams that cross the API
 * ---------------------------------------------------------------------------------------- */

/**
 * Something the library reads from. Built-in sources keep private state behind these slots;
 * an application may also build its own object that starts with this record.
 *  - read: places up to capacity bytes in buffer and returns their number; 0 means end of
 *    data or failure, and a failure also fills error (test error->code when read returns 0).
 *  - reset: rewinds to the first byte; returns KC_OK or a code (error filled). Built-in
 *    sources always have this slot; kinds that cannot rewind answer KC_ERR_INVALID.
 *  - close: releases everything the source owns, including the object itself.
 * A source is used by one thread at a time and closed exactly once by its owner.
 */
struct kc_source {
    size_t (*read)(kc_source *source, void *buffer, size_t capacity, kc_error *error);
    int (*reset)(kc_source *source, kc_error *error);
    void (*close)(kc_source *source);
};

/**
 * Something the library writes into.
 *  - write: takes all length bytes and returns 1, or returns 0 with error filled.
 *  - close: releases everything the sink owns, including the object itself.
 */
struct kc_sink {
    int (*write)(kc_sink *sink, const void *bytes, size_t length, kc_error *error);
    void (*close)(kc_sink *sink);
};

/* @@SOURCES_SINKS@@ */

/* @@CLIENT@@ */

/* @@LEASE@@ */

/* @@QUEUE@@ */

/* @@MANAGEMENT@@ */

/* @@QUERY@@ */

/* @@CONSUMER@@ */

/* @@MUTATE@@ */

#ifdef __cplusplus
}
#endif

#endif /* KORVOC_H */
