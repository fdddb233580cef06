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

/*
 * Built-in sources and sinks. Each constructor stores a new object in *out and returns KC_OK,
 * or returns a code with error filled and *out untouched. Objects made here use the system
 * allocator and are released with kc_source_close / kc_sink_close. Read failures of a source
 * are reported only through the error record (read returns 0, error->code set); a built-in
 * kind that cannot rewind answers reset with KC_ERR_INVALID "source is not resettable".
 */

/**
 * A source over a private copy of length bytes (bytes may be NULL when length is 0). Read
 * copies from the current position; reset rewinds to the first byte.
 * KC_ERR_INVALID "source_from_memory requires out", or "source_from_memory requires bytes"
 * for NULL bytes with a non-zero length; KC_ERR_NOMEM "failed to allocate memory source" or
 * "failed to allocate memory source bytes".
 */
KC_API int kc_source_from_memory(const void *bytes, size_t length, kc_source **out, kc_error *error);

/**
 * A source reading the file at path (opened "rb", closed by kc_source_close). Reset seeks to
 * the start (KC_ERR_TRANSPORT "failed to rewind file source"); a read error gives
 * KC_ERR_TRANSPORT "failed to read from file source".
 * KC_ERR_INVALID "source_from_file requires path and out"; KC_ERR_NOMEM "failed to allocate
 * file source"; KC_ERR_TRANSPORT "failed to open file source".
 */
KC_API int kc_source_from_file(const char *path, kc_source **out, kc_error *error);

/**
 * A source reading descriptor fd, which stays open after close. Not resettable. A failed
 * read gives KC_ERR_TRANSPORT "failed to read from fd source".
 * KC_ERR_INVALID "source_from_fd requires out"; KC_ERR_NOMEM "failed to allocate fd source".
 */
KC_API int kc_source_from_fd(int fd, kc_source **out, kc_error *error);

/** Callbacks of a callback source; user is the user_data given to kc_source_from_callbacks. */
typedef size_t (*kc_source_read_fn)(void *user, void *buffer, size_t capacity, kc_error *error);
typedef int (*kc_source_reset_fn)(void *user, kc_error *error);
typedef void (*kc_source_close_fn)(void *user);

/**
 * A source that calls read (required), reset (NULL: not resettable) and close (NULL: nothing
 * to release; called once by kc_source_close before the object is freed) with user_data.
 * KC_ERR_INVALID "source_from_callbacks requires read and out"; KC_ERR_NOMEM "failed to
 * allocate callback source".
 */
KC_API int kc_source_from_callbacks(kc_source_read_fn read, kc_source_reset_fn reset, kc_source_close_fn close,
                                    void *user_data, kc_source **out, kc_error *error);

/**
 * A source over a caller's open file, read from its current position and rewound to the
 * start like a file source. With owns non-zero the source takes the file: kc_source_close
 * closes it, and so does this function when the source cannot be allocated. Returns NULL for
 * a NULL file or when memory runs out.
 */
KC_API kc_source *kc_source_from_open_file(FILE *file, int owns);

/**
 * A sink writing all bytes to descriptor fd, which stays open after close. A failed write
 * gives KC_ERR_TRANSPORT "failed to write to fd sink".
 * KC_ERR_INVALID "sink_to_fd requires out"; KC_ERR_NOMEM "failed to allocate fd sink".
 */
KC_API int kc_sink_to_fd(int fd, kc_sink **out, kc_error *error);

/**
 * A sink writing the file at path: opened write-only, created with mode 0644 when missing,
 * truncated; kc_sink_close closes it. Writes fail as for kc_sink_to_fd.
 * KC_ERR_INVALID "sink_to_file requires path", or "sink_to_fd requires out" (checked before
 * the file is touched); KC_ERR_TRANSPORT "failed to open file sink"; KC_ERR_NOMEM "failed to
 * allocate fd sink" (the file is closed again).
 */
KC_API int kc_sink_to_file(const char *path, kc_sink **out, kc_error *error);

/**
 * A sink collecting the bytes in a growing buffer (4096 bytes first, doubled until the data
 * fits); KC_ERR_NOMEM "failed to grow memory sink" when it cannot grow (nothing is appended).
 * KC_ERR_INVALID "sink_to_memory requires out"; KC_ERR_NOMEM "failed to allocate memory sink".
 */
KC_API int kc_sink_to_memory(kc_sink **out, kc_error *error);

/**
 * Exposes what a memory sink holds: *out_bytes (NULL while nothing was written) stays owned
 * by the sink and is valid until its next write or close; *out_length is the byte count.
 * Returns 0, or 1 when an argument is NULL or sink is not a memory sink.
 */
KC_API int kc_sink_memory_bytes(kc_sink *sink, const void **out_bytes, size_t *out_length);

/** Calls the close slot of source / sink, which frees it. NULL does nothing. */
KC_API void kc_source_close(kc_source *source);
KC_API void kc_sink_close(kc_sink *sink);

/**
 * Reads source to its end in pieces of up to 8192 bytes and writes each into sink. Stores the
 * bytes read in *out_total (may be NULL) when the source ends or fails. Returns KC_OK, the
 * read failure's code, or the write failure's code (KC_ERR_TRANSPORT "failed to write to
 * sink" when the sink gave none). Neither object is closed.
 * KC_ERR_INVALID "kc_copy requires src and dst".
 */
KC_API int kc_copy(kc_source *source, kc_sink *sink, size_t *out_total, kc_error *error);

/*
 * Stream pipe: a bounded ring buffer between one producer thread, which pushes a payload with
 * kc_stream_pipe_write and ends it with kc_stream_pipe_finish or kc_stream_pipe_fail, and one
 * consumer thread, which pulls it through a kc_source (its read blocks until bytes arrive or
 * the stream ends; its reset always fails with KC_ERR_INVALID "streamed payloads are not
 * rewindable"). Its only thread-safe object: each side detaches once (the producer by
 * finish or fail, the consumer by kc_source_close) and the side that detaches last frees the
 * pipe through the allocator it was opened with.
 */
typedef struct kc_stream_pipe kc_stream_pipe;

/**
 * Opens a pipe of capacity bytes (0 means 65536) whose memory comes from allocator (NULL:
 * the system allocator; the record is copied). Stores the consumer's source in *out_source and
 * the producer's handle in *out_pipe, both attached.
 * KC_ERR_INVALID "stream pipe requires out and pipe"; KC_ERR_NOMEM "failed to allocate
 * stream pipe", "failed to allocate stream buffer" or "failed to allocate stream source",
 * with nothing left allocated.
 */
KC_API int kc_stream_pipe_open(size_t capacity, const kc_allocator *allocator, kc_source **out_source,
                               kc_stream_pipe **out_pipe, kc_error *error);

/**
 * Producer: copies all length bytes into the pipe, blocking while it is full. Returns KC_OK
 * (also for length 0), or KC_ERR_TRANSPORT "stream consumer closed payload early" once the
 * consumer has closed its source. KC_ERR_INVALID "stream pipe write requires pipe", or
 * "stream pipe write requires bytes" for NULL bytes with a non-zero length.
 */
KC_API int kc_stream_pipe_write(kc_stream_pipe *pipe, const void *bytes, size_t length, kc_error *error);

/** Producer: ends the stream normally and detaches; pipe must not be used again. NULL is ignored. */
KC_API void kc_stream_pipe_finish(kc_stream_pipe *pipe);

/**
 * Producer: ends the stream with an error and detaches; pipe must not be used again. Once the
 * consumer has read every buffered byte its read returns 0 with code (KC_ERR_TRANSPORT when 0)
 * and a copy of message ("stream delivery failed" when NULL). NULL pipe is ignored.
 */
KC_API void kc_stream_pipe_fail(kc_stream_pipe *pipe, int code, const char *message);

/* @@SOURCES_SINKS@@ */

/* ------------------------------------------------------------------------------------------
 * The client: configuration, request and result records, the handle and its operations
 * ---------------------------------------------------------------------------------------- */

/**
 * Settings of kc_client_open; caller-owned, copied by open.
 *  - endpoints: base URLs or host:port strings, tried in order (failover).
 *  - client_bundle_source: PEM client bundle read once at open (the library does not close
 *    it); preferred over client_bundle_path. Ignored with disable_mtls.
 *  - default_namespace: namespace of requests that name none (NULL: "default").
 *  - timeout_ms: whole-transfer timeout (<= 0 means 30000).
 *  - max_response_bytes: limit of typed JSON responses and mapped loads (0 means 1048576).
 *  - logger: base logger (NULL: the noop logger); raw_logger 1 writes to it as is, 0 adds
 *    "sys" = "client.korvo" to every event.
 *  - allocator: used for the handle, its copies of these settings and the captured bundle
 *    bytes; all members NULL means the system allocator.
 */
typedef struct kc_client_config {
    const char *const *endpoints;
    unsigned endpoint_count;
    const char *unix_socket_path;
    kc_source *client_bundle_source;
    const char *client_bundle_path;
    const char *default_namespace;
    int timeout_ms;
    int disable_mtls;
    int insecure_skip_verify;
    int prefer_http2;
    size_t max_response_bytes;
    chirp_logger *logger;
    int raw_logger;
    kc_allocator allocator;
} kc_client_config;

/** Zeroes config, then sets timeout_ms 30000 and prefer_http2 1. Returns config (NULL for NULL). */
KC_API kc_client_config *kc_client_config_init(kc_client_config *config);

/*
 * Request records. An *_op record carries the whole identity of an operation on a held lease
 * (a kc_lease_ref) plus the operation's own parameters and is taken by the client methods;
 * the *_req record of the same name carries only the own parameters and is taken by the
 * lease methods, the lease supplying the identity. Strings are borrowed for the call.
 * A NULL or empty namespace means the client's default namespace.
 */

/** Identity of a held lease. */
typedef struct kc_lease_ref {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;
    const char *txn_id;
    long fencing_token;
} kc_lease_ref;

/** Acquire a lease on key for owner. block_seconds > 0 waits that long for a held lease. */
typedef struct kc_acquire_req {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *owner;
    long ttl_seconds;
    long block_seconds;
    int if_not_exists; /* fail instead of creating the key */
    const char *txn_id;
} kc_acquire_req;

/** Describe any key. */
typedef struct kc_describe_req {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
} kc_describe_req;

/** Options of a state read: public_ 1 reads without a lease. */
typedef struct kc_get_opts {
    int KC_PUBLIC_MEMBER;
} kc_get_opts;

/**
 * Options of a lease's state upload. The expected version is if_version when if_version_set,
 * else the lease's version when above 0, else none. content_type NULL: "application/json".
 */
typedef struct kc_update_opts {
    const char *if_state_etag;
    long if_version;
    int if_version_set;
    const char *content_type;
} kc_update_opts;

/** Replace a key's state with the bytes of a source. content_type NULL: "application/json". */
typedef struct kc_update_req {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;
    const char *txn_id;
    long fencing_token;
    const char *if_state_etag;
    long if_version;
    int if_version_set;
    const char *content_type;
} kc_update_req;

/** Apply mutation expressions to the state on the server. */
typedef struct kc_mutate_req {
    const char *if_state_etag;
    long if_version;
    int if_version_set;
    const char *const *mutations;
    size_t mutation_count;
} kc_mutate_req;

typedef struct kc_mutate_op {
    kc_lease_ref lease;
    const char *if_state_etag;
    long if_version;
    int if_version_set;
    const char *const *mutations;
    size_t mutation_count;
} kc_mutate_op;

/** Change the key's metadata; query_hidden is sent only when query_hidden_set. */
typedef struct kc_metadata_req {
    long if_version;
    int if_version_set;
    int query_hidden_set;
    int query_hidden;
} kc_metadata_req;

typedef struct kc_metadata_op {
    kc_lease_ref lease;
    long if_version;
    int if_version_set;
    int query_hidden_set;
    int query_hidden;
} kc_metadata_op;

/** Remove the key's state. */
typedef struct kc_remove_req {
    const char *if_state_etag;
    long if_version;
    int if_version_set;
} kc_remove_req;

typedef struct kc_remove_op {
    kc_lease_ref lease;
    const char *if_state_etag;
    long if_version;
    int if_version_set;
} kc_remove_op;

/** Extend the lease by ttl_seconds. */
typedef struct kc_keepalive_req {
    long ttl_seconds;
} kc_keepalive_req;

typedef struct kc_keepalive_op {
    kc_lease_ref lease;
    long ttl_seconds;
} kc_keepalive_op;

/** Give the lease up; rollback discards the state changes of its transaction. */
typedef struct kc_release_req {
    int rollback;
} kc_release_req;

typedef struct kc_release_op {
    kc_lease_ref lease;
    int rollback;
} kc_release_op;

/** Which attachment: by id, by name, or both. */
typedef struct kc_attachment_selector {
    const char *id;
    const char *name;
} kc_attachment_selector;

/** Upload an attachment; max_bytes applies only when max_bytes_set. content_type NULL:
 *  "application/octet-stream". */
typedef struct kc_attach_req {
    const char *name;
    const char *content_type;
    int64_t max_bytes;
    int max_bytes_set;
    int prevent_overwrite;
} kc_attach_req;

typedef struct kc_attach_op {
    kc_lease_ref lease;
    const char *name;
    const char *content_type;
    int64_t max_bytes;
    int max_bytes_set;
    int prevent_overwrite;
} kc_attach_op;

/** List a key's attachments; public_ lists without a lease. */
typedef struct kc_attachment_list_req {
    int KC_PUBLIC_MEMBER;
} kc_attachment_list_req;

typedef struct kc_attachment_list_op {
    kc_lease_ref lease;
    int KC_PUBLIC_MEMBER;
} kc_attachment_list_op;

/** Download one attachment; public_ reads without a lease. */
typedef struct kc_attachment_get_req {
    int KC_PUBLIC_MEMBER;
    kc_attachment_selector selector;
} kc_attachment_get_req;

typedef struct kc_attachment_get_op {
    kc_lease_ref lease;
    int KC_PUBLIC_MEMBER;
    kc_attachment_selector selector;
} kc_attachment_get_op;

/** Delete one attachment. */
typedef struct kc_attachment_delete_op {
    kc_lease_ref lease;
    kc_attachment_selector selector;
} kc_attachment_delete_op;

/** Delete every attachment of the key. */
typedef struct kc_attachment_delete_all_op {
    kc_lease_ref lease;
} kc_attachment_delete_all_op;

/** Each zeroes its record and returns it; NULL is ignored and returned. */
KC_API kc_lease_ref *kc_lease_ref_init(kc_lease_ref *ref);
KC_API kc_acquire_req *kc_acquire_req_init(kc_acquire_req *req);
KC_API kc_describe_req *kc_describe_req_init(kc_describe_req *req);
KC_API kc_get_opts *kc_get_opts_init(kc_get_opts *opts);
KC_API kc_update_opts *kc_update_opts_init(kc_update_opts *opts);
KC_API kc_update_req *kc_update_req_init(kc_update_req *req);
KC_API kc_mutate_req *kc_mutate_req_init(kc_mutate_req *req);
KC_API kc_mutate_op *kc_mutate_op_init(kc_mutate_op *op);
KC_API kc_metadata_req *kc_metadata_req_init(kc_metadata_req *req);
KC_API kc_metadata_op *kc_metadata_op_init(kc_metadata_op *op);
KC_API kc_remove_req *kc_remove_req_init(kc_remove_req *req);
KC_API kc_remove_op *kc_remove_op_init(kc_remove_op *op);
KC_API kc_keepalive_req *kc_keepalive_req_init(kc_keepalive_req *req);
KC_API kc_keepalive_op *kc_keepalive_op_init(kc_keepalive_op *op);
KC_API kc_release_req *kc_release_req_init(kc_release_req *req);
KC_API kc_release_op *kc_release_op_init(kc_release_op *op);
KC_API kc_attachment_selector *kc_attachment_selector_init(kc_attachment_selector *selector);
KC_API kc_attach_req *kc_attach_req_init(kc_attach_req *req);
KC_API kc_attach_op *kc_attach_op_init(kc_attach_op *op);
KC_API kc_attachment_list_req *kc_attachment_list_req_init(kc_attachment_list_req *req);
KC_API kc_attachment_list_op *kc_attachment_list_op_init(kc_attachment_list_op *op);
KC_API kc_attachment_get_req *kc_attachment_get_req_init(kc_attachment_get_req *req);
KC_API kc_attachment_get_op *kc_attachment_get_op_init(kc_attachment_get_op *op);
KC_API kc_attachment_delete_op *kc_attachment_delete_op_init(kc_attachment_delete_op *op);
KC_API kc_attachment_delete_all_op *kc_attachment_delete_all_op_init(kc_attachment_delete_all_op *op);

/*
 * Result records. They own copies of every string (system allocator), released by their
 * *_cleanup, which also zeroes the record; cleanup of NULL does nothing and returns NULL.
 * A failed operation leaves its result record untouched.
 */

typedef struct kc_describe_res {
    char *KC_NAMESPACE_MEMBER;
    char *key;
    char *owner;
    char *lease_id;
    int64_t expires_at_unix;
    int64_t version;
    char *state_etag;
    int64_t updated_at_unix;
    int metadata_present; /* the server reported the key's metadata */
    int query_hidden;
    char *correlation_id;
} kc_describe_res;

/** What a state read captured. no_content: the key has no state (nothing was written). */
typedef struct kc_get_res {
    int no_content;
    char *content_type;
    char *etag; /* the ETag header as sent (quotes kept) */
    int64_t version;
    int64_t fencing_token;
    char *correlation_id;
} kc_get_res;

typedef struct kc_update_res {
    int64_t new_version;
    char *new_state_etag;
    int64_t bytes;
    char *correlation_id;
} kc_update_res;

typedef struct kc_mutate_res {
    int64_t new_version;
    char *new_state_etag;
    int64_t bytes;
    char *correlation_id;
} kc_mutate_res;

typedef struct kc_metadata_res {
    char *KC_NAMESPACE_MEMBER;
    char *key;
    int64_t version;
    int metadata_present;
    int query_hidden;
    char *correlation_id;
} kc_metadata_res;

typedef struct kc_remove_res {
    int removed;
    int64_t new_version;
    char *correlation_id;
} kc_remove_res;

typedef struct kc_keepalive_res {
    int64_t expires_at_unix;
    int64_t version;
    char *state_etag;
    char *correlation_id;
} kc_keepalive_res;

typedef struct kc_release_res {
    int released;
    char *correlation_id;
} kc_release_res;

typedef struct kc_attachment_info {
    char *id;
    char *name;
    int64_t size;
    char *plaintext_sha256;
    char *content_type;
    int64_t created_at_unix;
    int64_t updated_at_unix;
} kc_attachment_info;

typedef struct kc_attach_res {
    kc_attachment_info attachment;
    int noop; /* the same content was already stored */
    int64_t version;
    char *correlation_id;
} kc_attach_res;

/** A key's attachments: an owned array of count entries (NULL when count is 0). */
typedef struct kc_attachment_list {
    char *KC_NAMESPACE_MEMBER;
    char *key;
    kc_attachment_info *attachments;
    size_t count;
    char *correlation_id;
} kc_attachment_list;

/** Headers of a downloaded attachment. */
typedef struct kc_attachment_get_res {
    char *id;
    char *name;
    char *plaintext_sha256;
    int64_t size;
    int64_t created_at_unix;
    int64_t updated_at_unix;
    char *content_type;
    char *correlation_id;
} kc_attachment_get_res;

KC_API kc_describe_res *kc_describe_res_cleanup(kc_describe_res *res);
KC_API kc_get_res *kc_get_res_cleanup(kc_get_res *res);
KC_API kc_update_res *kc_update_res_cleanup(kc_update_res *res);
KC_API kc_mutate_res *kc_mutate_res_cleanup(kc_mutate_res *res);
KC_API kc_metadata_res *kc_metadata_res_cleanup(kc_metadata_res *res);
KC_API kc_remove_res *kc_remove_res_cleanup(kc_remove_res *res);
KC_API kc_keepalive_res *kc_keepalive_res_cleanup(kc_keepalive_res *res);
KC_API kc_release_res *kc_release_res_cleanup(kc_release_res *res);
KC_API kc_attachment_info *kc_attachment_info_cleanup(kc_attachment_info *info);
KC_API kc_attach_res *kc_attach_res_cleanup(kc_attach_res *res);
/** Frees every entry's strings and the array. */
KC_API kc_attachment_list *kc_attachment_list_cleanup(kc_attachment_list *list);
KC_API kc_attachment_get_res *kc_attachment_get_res_cleanup(kc_attachment_get_res *res);

/**
 * What acquire_for_update hands its handler. lease is held for the call and released
 * afterwards (do not release or close it). get_result describes the state read at the start;
 * state reads that snapshot and is NULL when the key has no state (do not close it).
 * user_data is the handler context given to kc_acquire_for_update.
 */
typedef struct kc_acquire_for_update_context {
    kc_lease *lease;
    const kc_get_res *get_result;
    kc_source *state;
    void *user_data;
} kc_acquire_for_update_context;

/** Returns KC_OK to keep the changes, or a code (with error filled) to roll them back. */
typedef int (*kc_acquire_for_update_fn)(kc_acquire_for_update_context *context, kc_error *error);

/* Records of the queue, query, management and consumer operations (defined in their sections). */
struct kc_message;
struct kc_message_ref;
struct kc_dequeue_batch;
struct kc_queue_stats_req;
struct kc_queue_stats_res;
struct kc_ack_res;
struct kc_nack_op;
struct kc_nack_res;
struct kc_extend_op;
struct kc_extend_res;
struct kc_enqueue_req;
struct kc_enqueue_res;
struct kc_dequeue_req;
struct kc_consumer;
struct kc_watch_queue_req;
struct kc_watch_handler;
struct kc_query_req;
struct kc_query_res;
struct kc_query_key_handler;
struct kc_namespace_config_req;
struct kc_namespace_config_res;
struct kc_index_flush_req;
struct kc_index_flush_res;
struct kc_txn_replay_req;
struct kc_txn_replay_res;
struct kc_txn_decision_req;
struct kc_txn_decision_res;
struct kc_tc_lease_acquire_req;
struct kc_tc_lease_acquire_res;
struct kc_tc_lease_renew_req;
struct kc_tc_lease_renew_res;
struct kc_tc_lease_release_req;
struct kc_tc_lease_release_res;
struct kc_tc_leader_res;
struct kc_tc_cluster_announce_req;
struct kc_tc_cluster_res;
struct kc_tc_rm_register_req;
struct kc_tc_rm_unregister_req;
struct kc_tc_rm_res;
struct kc_tc_rm_list_res;
struct kc_consumer_service;
struct kc_consumer_service_config;

/**
 * An open client (kc_client_open). The slots hold the operations; the exported kc_<slot>
 * wrappers below call them with unchanged arguments. Slot order is fixed: new operations are
 * only appended after query_keys. A slot may be NULL when this build lacks the operation.
 * The handle may be shared by threads; close it after every lease, message and service made
 * from it, and never while another thread uses it.
 */
struct kc_client {
    int (*acquire)(kc_client *self, const kc_acquire_req *req, kc_lease **out, kc_error *error);
    int (*describe)(kc_client *self, const kc_describe_req *req, kc_describe_res *out, kc_error *error);
    int (*get)(kc_client *self, const char *key, const kc_get_opts *opts, kc_sink *dst, kc_get_res *out,
               kc_error *error);
    int (*load)(kc_client *self, const char *key, const vellum_map *map, void *destination,
                const vellum_parse_options *parse_options, const kc_get_opts *opts, kc_get_res *out,
                kc_error *error);
    int (*update)(kc_client *self, const kc_update_req *req, kc_source *src, kc_update_res *out, kc_error *error);
    int (*mutate)(kc_client *self, const kc_mutate_op *req, kc_mutate_res *out, kc_error *error);
    int (*metadata)(kc_client *self, const kc_metadata_op *req, kc_metadata_res *out, kc_error *error);
    int (*remove)(kc_client *self, const kc_remove_op *req, kc_remove_res *out, kc_error *error);
    int (*keepalive)(kc_client *self, const kc_keepalive_op *req, kc_keepalive_res *out, kc_error *error);
    int (*release)(kc_client *self, const kc_release_op *req, kc_release_res *out, kc_error *error);
    int (*attach)(kc_client *self, const kc_attach_op *req, kc_source *src, kc_attach_res *out, kc_error *error);
    int (*list_attachments)(kc_client *self, const kc_attachment_list_op *req, kc_attachment_list *out,
                            kc_error *error);
    int (*get_attachment)(kc_client *self, const kc_attachment_get_op *req, kc_sink *dst,
                          kc_attachment_get_res *out, kc_error *error);
    int (*delete_attachment)(kc_client *self, const kc_attachment_delete_op *req, int *deleted, kc_error *error);
    int (*delete_all_attachments)(kc_client *self, const kc_attachment_delete_all_op *req, int *deleted_count,
                                  kc_error *error);
    int (*queue_stats)(kc_client *self, const struct kc_queue_stats_req *req, struct kc_queue_stats_res *out,
                       kc_error *error);
    int (*queue_ack)(kc_client *self, const struct kc_message_ref *req, struct kc_ack_res *out, kc_error *error);
    int (*queue_nack)(kc_client *self, const struct kc_nack_op *req, struct kc_nack_res *out, kc_error *error);
    int (*queue_extend)(kc_client *self, const struct kc_extend_op *req, struct kc_extend_res *out, kc_error *error);
    int (*query)(kc_client *self, const struct kc_query_req *req, kc_sink *dst, struct kc_query_res *out,
                 kc_error *error);
    int (*get_namespace_config)(kc_client *self, const struct kc_namespace_config_req *req,
                                struct kc_namespace_config_res *out, kc_error *error);
    int (*update_namespace_config)(kc_client *self, const struct kc_namespace_config_req *req,
                                   struct kc_namespace_config_res *out, kc_error *error);
    int (*flush_index)(kc_client *self, const struct kc_index_flush_req *req, struct kc_index_flush_res *out,
                       kc_error *error);
    int (*txn_replay)(kc_client *self, const struct kc_txn_replay_req *req, struct kc_txn_replay_res *out,
                      kc_error *error);
    int (*txn_prepare)(kc_client *self, const struct kc_txn_decision_req *req, struct kc_txn_decision_res *out,
                       kc_error *error);
    int (*txn_commit)(kc_client *self, const struct kc_txn_decision_req *req, struct kc_txn_decision_res *out,
                      kc_error *error);
    int (*txn_rollback)(kc_client *self, const struct kc_txn_decision_req *req, struct kc_txn_decision_res *out,
                        kc_error *error);
    int (*tc_lease_acquire)(kc_client *self, const struct kc_tc_lease_acquire_req *req,
                            struct kc_tc_lease_acquire_res *out, kc_error *error);
    int (*tc_lease_renew)(kc_client *self, const struct kc_tc_lease_renew_req *req,
                          struct kc_tc_lease_renew_res *out, kc_error *error);
    int (*tc_lease_release)(kc_client *self, const struct kc_tc_lease_release_req *req,
                            struct kc_tc_lease_release_res *out, kc_error *error);
    int (*tc_leader)(kc_client *self, struct kc_tc_leader_res *out, kc_error *error);
    int (*tc_cluster_announce)(kc_client *self, const struct kc_tc_cluster_announce_req *req,
                               struct kc_tc_cluster_res *out, kc_error *error);
    int (*tc_cluster_leave)(kc_client *self, struct kc_tc_cluster_res *out, kc_error *error);
    int (*tc_cluster_list)(kc_client *self, struct kc_tc_cluster_res *out, kc_error *error);
    int (*tc_rm_register)(kc_client *self, const struct kc_tc_rm_register_req *req, struct kc_tc_rm_res *out,
                          kc_error *error);
    int (*tc_rm_unregister)(kc_client *self, const struct kc_tc_rm_unregister_req *req, struct kc_tc_rm_res *out,
                            kc_error *error);
    int (*tc_rm_list)(kc_client *self, struct kc_tc_rm_list_res *out, kc_error *error);
    int (*enqueue)(kc_client *self, const struct kc_enqueue_req *req, kc_source *payload,
                   struct kc_enqueue_res *out, kc_error *error);
    int (*dequeue)(kc_client *self, const struct kc_dequeue_req *req, struct kc_message **out, kc_error *error);
    int (*dequeue_batch)(kc_client *self, const struct kc_dequeue_req *req, struct kc_dequeue_batch *out,
                         kc_error *error);
    int (*dequeue_with_state)(kc_client *self, const struct kc_dequeue_req *req, struct kc_message **out,
                              kc_error *error);
    int (*subscribe)(kc_client *self, const struct kc_dequeue_req *req, const struct kc_consumer *consumer,
                     kc_error *error);
    int (*subscribe_with_state)(kc_client *self, const struct kc_dequeue_req *req,
                                const struct kc_consumer *consumer, kc_error *error);
    int (*new_consumer_service)(kc_client *self, const struct kc_consumer_service_config *config,
                                struct kc_consumer_service **out, kc_error *error);
    int (*watch_queue)(kc_client *self, const struct kc_watch_queue_req *req,
                       const struct kc_watch_handler *handler, kc_error *error);
    void (*close)(kc_client *self);
    const char *default_namespace; /* the client's copy of the configured one; NULL when none */
    void *reserved;                /* always NULL */
    int (*acquire_for_update)(kc_client *self, const kc_acquire_req *req, kc_acquire_for_update_fn handler,
                              void *handler_context, kc_error *error);
    int (*query_keys)(kc_client *self, const struct kc_query_req *req, const struct kc_query_key_handler *handler,
                      struct kc_query_res *out, kc_error *error);
};

/**
 * Opens a client: copies config (through its allocator), opens the protocol engine (endpoints,
 * client bundle, logger) and fills the slots. A client_bundle_source is read to its end once
 * and its bytes are kept. Stores the handle in *out_client and returns KC_OK. Fails with
 * KC_ERR_INVALID "kc_client_open requires config and out" or the engine's configuration
 * messages, KC_ERR_NOMEM ("failed to allocate client", "failed to retain client bundle
 * source", "client bundle source is too large", "failed to copy ..."), the bundle's
 * transport or protocol errors; nothing is left allocated on failure.
 */
KC_API int kc_client_open(const kc_client_config *config, kc_client **out_client, kc_error *error);

/** Closes the engine, frees every copy and the handle. NULL is ignored. */
KC_API void kc_client_close(kc_client *client);

/** Static version text of the library ("0.7.0"). */
KC_API const char *kc_version_string(void);

/*
 * The operations. Each calls the slot of the same name and does not check client. Every one
 * checks its other arguments first (KC_ERR_INVALID "<op> requires self, ..."), logs
 * "client.<op>.start" (trace), runs the request and logs ".success", or ".error" (and
 * ".transport_error" for transport failures where noted) with "code", "http_status" and
 * "error". Failures of the server keep its status, "error" code, "detail" and correlation id
 * in the kc_error; a result record is filled only on success.
 */

/**
 * Acquires a lease and returns a new lease handle in *out (release or close it before the
 * client). Success logs at info; failures log "client.acquire.error" at error level.
 * KC_ERR_NOMEM "failed to allocate lease handle".
 */
KC_API int kc_acquire(kc_client *client, const kc_acquire_req *req, kc_lease **out, kc_error *error);

/** Describes a key (owner, lease, version, etag, metadata). */
KC_API int kc_describe(kc_client *client, const kc_describe_req *req, kc_describe_res *out, kc_error *error);

/**
 * Streams the state of key (client default namespace) into dst. Without opts->public_ the
 * server requires a lease, so this fails locally. A key without state succeeds with
 * out->no_content set and logs "client.get.empty".
 */
KC_API int kc_get(kc_client *client, const char *key, const kc_get_opts *opts, kc_sink *dst, kc_get_res *out,
                  kc_error *error);

/**
 * As kc_get, but parses the state into destination (described by map) while it arrives, with
 * parse_options (NULL: the JSON library's defaults). A body above the client's
 * max_response_bytes fails with KC_ERR_PROTOCOL "mapped state response exceeds configured
 * byte limit"; a parse failure gives the JSON library's mapped code with "failed to parse
 * mapped state". On failure destination is reset to its empty state (when the parse options
 * clear the destination); on success release it with vellum_cleanup. Logs under "client.get".
 */
KC_API int kc_load(kc_client *client, const char *key, const vellum_map *map, void *destination,
                   const vellum_parse_options *parse_options, const kc_get_opts *opts, kc_get_res *out,
                   kc_error *error);

/** Uploads src (read to its end; not closed) as the key's new state. */
KC_API int kc_update(kc_client *client, const kc_update_req *req, kc_source *src, kc_update_res *out,
                     kc_error *error);

/** Applies req->mutations to the state on the server. */
KC_API int kc_mutate(kc_client *client, const kc_mutate_op *req, kc_mutate_res *out, kc_error *error);

/** Changes the key's metadata. */
KC_API int kc_metadata(kc_client *client, const kc_metadata_op *req, kc_metadata_res *out, kc_error *error);

/** Removes the key's state. */
KC_API int kc_remove(kc_client *client, const kc_remove_op *req, kc_remove_res *out, kc_error *error);

/** Extends a lease. Failures log "client.keepalive.error" at error level. */
KC_API int kc_keepalive(kc_client *client, const kc_keepalive_op *req, kc_keepalive_res *out, kc_error *error);

/** Releases a lease by reference. Failures log "client.release.error" at error level. */
KC_API int kc_release(kc_client *client, const kc_release_op *req, kc_release_res *out, kc_error *error);

/** Uploads src as an attachment (events "client.attachment.attach.*"; failures at warn level). */
KC_API int kc_attach(kc_client *client, const kc_attach_op *req, kc_source *src, kc_attach_res *out,
                     kc_error *error);

/** Lists a key's attachments into out (events "client.attachment.list.*"). */
KC_API int kc_list_attachments(kc_client *client, const kc_attachment_list_op *req, kc_attachment_list *out,
                               kc_error *error);

/** Downloads one attachment into dst (events "client.attachment.get.*"). */
KC_API int kc_get_attachment(kc_client *client, const kc_attachment_get_op *req, kc_sink *dst,
                             kc_attachment_get_res *out, kc_error *error);

/** Deletes one attachment; *deleted tells whether it existed (events "client.attachment.delete.*"). */
KC_API int kc_delete_attachment(kc_client *client, const kc_attachment_delete_op *req, int *deleted,
                                kc_error *error);

/** Deletes every attachment of the key; *deleted_count says how many ("client.attachment.delete_all.*"). */
KC_API int kc_delete_all_attachments(kc_client *client, const kc_attachment_delete_all_op *req, int *deleted_count,
                                     kc_error *error);

/**
 * Acquires a lease, snapshots the key's state into an anonymous temporary file, runs handler
 * with the lease and a source over the snapshot, then releases the lease: with rollback when
 * the handler failed (its code and error are returned), without otherwise (a failed release
 * is returned). The lease is gone when this returns. KC_ERR_INVALID "acquire_for_update
 * requires self, req, and handler"; KC_ERR_TRANSPORT "failed to create acquire_for_update
 * snapshot file", "failed to write acquire_for_update snapshot", "failed to flush
 * acquire_for_update snapshot"; KC_ERR_NOMEM "failed to wrap acquire_for_update snapshot
 * source"; the acquire, get and release errors.
 */
KC_API int kc_acquire_for_update(kc_client *client, const kc_acquire_req *req, kc_acquire_for_update_fn handler,
                                 void *handler_context, kc_error *error);

/* @@CLIENT@@ */

/* ------------------------------------------------------------------------------------------
 * The lease handle
 * ---------------------------------------------------------------------------------------- */

struct kc_mutate_local_req; /* defined with the local mutation operations */

/**
 * One held lease (made by kc_acquire, or by a message delivered with state). Its methods
 * send the lease's identity (namespace, key, lease id, transaction id, fencing token) with
 * each request and refresh the view members after each success; after a failure nothing
 * changes. The view members are read-only and stay valid until the next call on the lease.
 * Not thread-safe: one thread at a time. It must not outlive its client. A successful
 * release frees it; otherwise free it with kc_lease_close.
 *
 * Expected version: save, update, mutate, metadata and remove send the caller's if_version
 * when if_version_set, else the lease's version when it is above 0, else none.
 * State etags are kept without surrounding double quotes.
 */
struct kc_lease {
    int (*describe)(kc_lease *self, kc_describe_res *out, kc_error *error);
    int (*get)(kc_lease *self, kc_sink *dst, const kc_get_opts *opts, kc_get_res *out, kc_error *error);
    int (*load)(kc_lease *self, const vellum_map *map, void *destination, const vellum_parse_options *parse_options,
                const kc_get_opts *opts, kc_get_res *out, kc_error *error);
    int (*save)(kc_lease *self, const vellum_map *map, const void *record, kc_error *error);
    int (*update)(kc_lease *self, kc_source *src, const kc_update_opts *opts, kc_update_res *out, kc_error *error);
    int (*mutate)(kc_lease *self, const kc_mutate_req *req, kc_mutate_res *out, kc_error *error);
    int (*mutate_local)(kc_lease *self, const struct kc_mutate_local_req *req, kc_error *error);
    int (*metadata)(kc_lease *self, const kc_metadata_req *req, kc_metadata_res *out, kc_error *error);
    int (*remove)(kc_lease *self, const kc_remove_req *req, kc_remove_res *out, kc_error *error);
    int (*keepalive)(kc_lease *self, const kc_keepalive_req *req, kc_keepalive_res *out, kc_error *error);
    int (*release)(kc_lease *self, const kc_release_req *req, kc_error *error);
    int (*attach)(kc_lease *self, const kc_attach_req *req, kc_source *src, kc_attach_res *out, kc_error *error);
    int (*list_attachments)(kc_lease *self, const kc_attachment_list_req *req, kc_attachment_list *out,
                            kc_error *error);
    int (*get_attachment)(kc_lease *self, const kc_attachment_get_req *req, kc_sink *dst,
                          kc_attachment_get_res *out, kc_error *error);
    int (*delete_attachment)(kc_lease *self, const kc_attachment_selector *selector, int *deleted,
                             kc_error *error);
    int (*delete_all_attachments)(kc_lease *self, int *deleted_count, kc_error *error);
    void (*close)(kc_lease *self);
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *owner;
    const char *lease_id;
    const char *txn_id;
    long fencing_token;
    long version;
    long expires_at; /* Unix seconds; 0 when unknown */
    const char *state_etag;
    int query_hidden;
    int query_hidden_known;
};

/*
 * The lease operations. Each calls the slot of the same name (lease must be non-NULL) and
 * follows the client operations' pattern and events. Argument messages name the missing
 * arguments ("lease get requires self, dst, and out").
 */

/** Describes the key; refreshes owner, version, expires_at, state_etag and the query-hidden members. */
KC_API int kc_lease_describe(kc_lease *lease, kc_describe_res *out, kc_error *error);

/**
 * Streams the state into dst; refreshes the fencing token (when the response's is above 0),
 * the version and the state etag (each when the response carried one). A key without state
 * succeeds with out->no_content and logs "client.get.empty" at debug level.
 */
KC_API int kc_lease_get(kc_lease *lease, kc_sink *dst, const kc_get_opts *opts, kc_get_res *out, kc_error *error);

/**
 * As kc_lease_get, parsing the state into destination as kc_load does ("failed to parse
 * mapped lease state", "mapped state response exceeds configured byte limit").
 */
KC_API int kc_lease_load(kc_lease *lease, const vellum_map *map, void *destination,
                         const vellum_parse_options *parse_options, const kc_get_opts *opts, kc_get_res *out,
                         kc_error *error);

/**
 * Uploads record, generated as JSON through map, as the new state; refreshes version and
 * state etag. Logs "client.update.success" or "client.update.error"/".transport_error".
 */
KC_API int kc_lease_save(kc_lease *lease, const vellum_map *map, const void *record, kc_error *error);

/** Uploads src as the new state (opts may be NULL); refreshes version and state etag. */
KC_API int kc_lease_update(kc_lease *lease, kc_source *src, const kc_update_opts *opts, kc_update_res *out,
                           kc_error *error);

/** Applies mutations on the server; refreshes version and state etag. */
KC_API int kc_lease_mutate(kc_lease *lease, const kc_mutate_req *req, kc_mutate_res *out, kc_error *error);

/** Changes metadata (req may be NULL: nothing changed); refreshes version and query-hidden members. */
KC_API int kc_lease_metadata(kc_lease *lease, const kc_metadata_req *req, kc_metadata_res *out, kc_error *error);

/** Removes the state (req may be NULL); refreshes the version and clears the state etag when removed. */
KC_API int kc_lease_remove(kc_lease *lease, const kc_remove_req *req, kc_remove_res *out, kc_error *error);

/**
 * Extends the lease; refreshes version and state etag (when carried) and expires_at (when
 * the response's is above 0). Failures log "client.keepalive.error" at error level.
 */
KC_API int kc_lease_keepalive(kc_lease *lease, const kc_keepalive_req *req, kc_keepalive_res *out,
                              kc_error *error);

/**
 * Releases the lease (req NULL: no rollback). On success the handle is freed and must not be
 * used or closed again; on failure it stays open. Failures log at error level.
 */
KC_API int kc_lease_release(kc_lease *lease, const kc_release_req *req, kc_error *error);

/** Uploads src as an attachment (events "client.attachment.put.*"). */
KC_API int kc_lease_attach(kc_lease *lease, const kc_attach_req *req, kc_source *src, kc_attach_res *out,
                           kc_error *error);

/** Lists the key's attachments (req may be NULL). */
KC_API int kc_lease_list_attachments(kc_lease *lease, const kc_attachment_list_req *req, kc_attachment_list *out,
                                     kc_error *error);

/** Downloads one attachment into dst. */
KC_API int kc_lease_get_attachment(kc_lease *lease, const kc_attachment_get_req *req, kc_sink *dst,
                                   kc_attachment_get_res *out, kc_error *error);

/** Deletes one attachment; *deleted tells whether it existed. */
KC_API int kc_lease_delete_attachment(kc_lease *lease, const kc_attachment_selector *selector, int *deleted,
                                      kc_error *error);

/** Deletes every attachment; *deleted_count says how many. */
KC_API int kc_lease_delete_all_attachments(kc_lease *lease, int *deleted_count, kc_error *error);

/** Frees the handle without contacting the server (the lease expires there). NULL is ignored. */
KC_API void kc_lease_close(kc_lease *lease);

/**
 * Makes a handle for a lease acquired elsewhere (another process, an earlier run), named by
 * ref's namespace, key, lease id, transaction id and fencing token; the strings are copied. The
 * handle knows no owner, version or state etag until a call refreshes them, so it sends no
 * expected version of its own. Nothing is sent to the server. Close it with kc_lease_close
 * (the lease stays held) or release it. KC_ERR_INVALID "lease_from_ref requires client, key,
 * lease_id, and out"; KC_ERR_NOMEM "failed to allocate lease".
 */
KC_API int kc_lease_from_ref(kc_client *client, const kc_lease_ref *ref, kc_lease **out, kc_error *error);

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
