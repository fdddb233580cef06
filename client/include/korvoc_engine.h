/*
 * korvoc_engine.h - the protocol engine under the korvo client (kc_engine_*): engine client,
 * error record, request execution and the server operations.
 *
 * Result codes are the KC_* codes of korvoc.h. Every engine operation takes a caller-owned
 * kc_engine_error as its last argument; its strings are owned by the record.
 *
 * Compiles as C11 and as C++.
 */
#ifndef KORVOC_ENGINE_H
#define KORVOC_ENGINE_H

#include "korvoc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------
 * Engine error record
 * ---------------------------------------------------------------------------------------- */

/** What an engine operation failed with. Strings are owned by the record (system allocator). */
typedef struct kc_engine_error {
    int code;                 /* KC_* code; KC_OK on success */
    long http_status;         /* status of the failing response (server errors only) */
    char *message;
    char *server_error;       /* "error" of the server's JSON error body */
    char *detail;             /* "detail" */
    char *leader_endpoint;    /* "leader_endpoint" */
    char *current_etag;       /* "current_etag" */
    long current_version;     /* "current_version", narrowed */
    long retry_after_seconds; /* "retry_after_seconds", narrowed */
    char *correlation_id;     /* X-Correlation-Id response header */
} kc_engine_error;

/**
 * Converts an engine error into the public error and returns the public code: engine codes
 * 0 to 4 are kept, any other becomes KC_ERR_SERVER. http_status, message, detail,
 * server_error and correlation_id are copied as by kc_error_set. A NULL engine_error counts as
 * a zeroed one (code KC_OK). A NULL error only returns the code.
 */
KC_API int kc_error_from_engine(kc_error *error, const kc_engine_error *engine_error);

/** Zeroes error (frees nothing: use on fresh records). NULL is ignored. */
KC_API void kc_engine_error_init(kc_engine_error *error);

/** Frees the six strings of error, then zeroes it. NULL is ignored. */
KC_API void kc_engine_error_reset(kc_engine_error *error);

/** Same as kc_engine_error_reset. */
KC_API void kc_engine_error_cleanup(kc_engine_error *error);

/**
 * Resets error, then stores code and a copy of message (NULL allowed) and returns code. When
 * the message cannot be copied the record keeps code but KC_ERR_NOMEM is returned. A NULL
 * error only returns code.
 */
KC_API int kc_engine_set_client_error(kc_engine_error *error, int code, const char *message);

/** kc_engine_set_client_error with KC_ERR_TRANSPORT. */
KC_API int kc_engine_set_transport_error(kc_engine_error *error, const char *message);

/** kc_engine_set_client_error with KC_ERR_PROTOCOL. */
KC_API int kc_engine_set_protocol_error(kc_engine_error *error, const char *message);

/**
 * Maps a JSON library status to an engine error and returns its code. Status 0 returns 0 and
 * touches nothing. The message is the given one, else vellum_error's message when non-empty,
 * else a default: 1 KC_ERR_INVALID "invalid vellum argument"; 8 KC_ERR_NOMEM "vellum
 * allocation failed"; 9 to 11 KC_ERR_TRANSPORT "local JSON mapping failed"; any other
 * KC_ERR_PROTOCOL "failed to parse JSON".
 */
KC_API int kc_engine_vellum_error_from_status(kc_engine_error *error, vellum_status status,
                                              const vellum_error *vellum_error, const char *message);

/* @@ENGINE_ERRORS@@ */

/* ------------------------------------------------------------------------------------------
 * Engine client
 * ---------------------------------------------------------------------------------------- */

struct x509_st;      /* OpenSSL X509 */
struct evp_pkey_st;  /* OpenSSL EVP_PKEY */
struct bio_st;       /* OpenSSL BIO */

/** Caller allocator of the engine client: context is handed to all three functions. */
typedef struct kc_engine_allocator {
    void *(*malloc_fn)(void *context, size_t size);
    void *(*realloc_fn)(void *context, void *pointer, size_t size);
    void (*free_fn)(void *context, void *pointer);
    void *context;
} kc_engine_allocator;

/**
 * A callback source of the PEM client bundle. read returns the bytes placed in buffer; 0 with
 * error->code set means failure, 0 without means end of data. reset (may be NULL; the engine
 * never calls it) rewinds. user is the implementer's.
 */
typedef struct kc_engine_bundle_source kc_engine_bundle_source;
struct kc_engine_bundle_source {
    size_t (*read)(kc_engine_bundle_source *source, void *buffer, size_t capacity, kc_engine_error *error);
    int (*reset)(kc_engine_bundle_source *source, kc_engine_error *error);
    void *user;
};

/** Configuration of an engine client; caller-owned, copied by kc_engine_client_open. */
typedef struct kc_engine_client_config {
    const char *const *endpoints;  /* base URLs or host:port, in preference order */
    unsigned endpoint_count;
    const char *unix_socket_path;  /* non-empty: every transfer connects through it */
    kc_engine_bundle_source *client_bundle_source; /* preferred over client_bundle_path */
    const char *client_bundle_path;
    const char *default_namespace; /* NULL: "default" */
    int timeout_ms;                /* whole transfer; <= 0 means 30000 */
    int disable_mtls;              /* plain HTTP, no client certificate */
    int insecure_skip_verify;      /* no server certificate or host-name verification */
    int prefer_http2;              /* HTTP/2 over TLS; 0: HTTP/1.1 */
    size_t max_response_bytes;     /* typed JSON response limit; 0 means 1048576 */
    chirp_logger *logger;          /* base logger; NULL: the noop logger */
    int raw_logger;                /* 1: use logger as is; 0: derive "sys" = "client.korvo" */
    kc_engine_allocator allocator; /* carried for the public layer; see kc_engine_client_set_allocator */
} kc_engine_client_config;

/** The parsed client bundle: owned references. */
typedef struct kc_engine_bundle {
    struct x509_st *client_cert;
    struct evp_pkey_st *private_key;
    struct x509_st **ca_certs;
    size_t ca_count;
    struct x509_st **chain_certs;
    size_t chain_count;
} kc_engine_bundle;

/** Cancellation hook: a non-zero result aborts a streaming transfer. */
typedef int (*kc_engine_cancel_fn)(void *user);

/** An open engine client. Read-only after open except for the cancel check and allocator. */
typedef struct kc_engine_client {
    char **endpoints;              /* owned copies, trailing slashes removed */
    size_t endpoint_count;
    char *unix_socket_path;        /* owned, NULL when not given */
    char *default_namespace;       /* owned; "default" when none was given */
    int timeout_ms;                /* normalised: > 0 */
    int disable_mtls;
    int insecure_skip_verify;
    int prefer_http2;
    size_t max_response_bytes;     /* normalised: > 0 */
    int raw_logger;
    chirp_logger *base_logger;     /* given logger or the noop logger; not owned */
    chirp_logger *logger;          /* client logger */
    int owns_logger;               /* logger is released by close */
    kc_engine_cancel_fn cancel_check;
    void *cancel_user;
    kc_engine_allocator allocator;
    kc_engine_bundle bundle;       /* empty with disable_mtls */
} kc_engine_client;

/** A growable byte buffer: data is owned and NUL-terminated once allocated. */
typedef struct kc_engine_buffer {
    char *data;
    size_t length;   /* bytes used, without the terminator */
    size_t capacity;
} kc_engine_buffer;

/** Input of kc_engine_json_memory_reader: the bytes still to deliver. */
typedef struct kc_engine_json_memory_input {
    const char *data;
    size_t remaining;
} kc_engine_json_memory_input;

/** Zeroes config, then sets timeout_ms 30000 and prefer_http2 1. Returns config (NULL for NULL). */
KC_API kc_engine_client_config *kc_engine_client_config_init(kc_engine_client_config *config);

/**
 * Opens a client from config: copies and normalises the endpoints and settings, derives the
 * logger, initialises libcurl and OpenSSL, loads the client bundle unless disable_mtls, and
 * logs "client.init". Stores the client in *out_client and returns KC_OK; on failure returns
 * the code (KC_ERR_INVALID for missing config, endpoints or bundle; KC_ERR_NOMEM; the bundle's
 * error) with nothing allocated. Close the client with kc_engine_client_close.
 */
KC_API int kc_engine_client_open(const kc_engine_client_config *config, kc_engine_client **out_client,
                                 kc_engine_error *error);

/** Frees the bundle, every copy and the derived logger, then the client. NULL is ignored. */
KC_API void kc_engine_client_close(kc_engine_client *client);

/** Stores the cancel check and its user pointer (NULL fn clears it). NULL client ignored. */
KC_API void kc_engine_client_set_cancel_check(kc_engine_client *client, kc_engine_cancel_fn fn, void *user);

/** The client logger; kc_log_noop_logger() when client or its logger is NULL. Not owned. */
KC_API chirp_logger *kc_engine_client_logger(const kc_engine_client *client);

/** Static text "0.7.0". */
KC_API const char *kc_engine_version_string(void);

/** Sets all four members of allocator to NULL. NULL is ignored. */
KC_API void kc_engine_allocator_init(kc_engine_allocator *allocator);

/** The system allocator; context is ignored. */
KC_API void *kc_engine_default_malloc(void *context, size_t size);
KC_API void *kc_engine_default_realloc(void *context, void *pointer, size_t size);
KC_API void kc_engine_default_free(void *context, void *pointer);

/**
 * Stores allocator in client (a missing realloc_fn becomes kc_engine_default_realloc).
 * KC_ERR_INVALID "set_allocator requires client, allocator, and error" or "allocator requires
 * malloc_fn and free_fn". Set it before the client is shared between threads.
 */
KC_API int kc_engine_client_set_allocator(kc_engine_client *client, const kc_engine_allocator *allocator,
                                          kc_engine_error *error);

/**
 * Copies the stored allocator into *out, or the three defaults with a NULL context when none
 * is stored. KC_ERR_INVALID "get_allocator requires client, allocator, and error".
 */
KC_API int kc_engine_client_get_allocator(const kc_engine_client *client, kc_engine_allocator *out,
                                          kc_engine_error *error);

/** Memory through the client allocator (system malloc/free when none); NULL on failure. */
KC_API void *kc_engine_client_alloc(const kc_engine_client *client, size_t size);
/** Releases memory of kc_engine_client_alloc; NULL p is ignored. */
KC_API void kc_engine_client_free_alloc(const kc_engine_client *client, void *p);
/** Copy of s through kc_engine_client_alloc; NULL for NULL s or on failure. */
KC_API char *kc_engine_client_strdup(const kc_engine_client *client, const char *s);
/** NUL-terminated copy of [begin, end); NULL for NULL input, end before begin, or failure. */
KC_API char *kc_engine_client_strdup_range(const kc_engine_client *client, const char *begin, const char *end);

/* String utilities, system allocator (release with free or kc_engine_free_string). */
/** Copy of s; NULL for NULL s or on failure. */
KC_API char *kc_engine_strdup_local(const char *s);
/** NUL-terminated copy of [begin, end); NULL for NULL input, end before begin, or failure. */
KC_API char *kc_engine_strdup_range(const char *begin, const char *end);
/** Frees *p and sets it to NULL. NULL p is ignored. */
KC_API void kc_engine_free_string(char **p);

/** Zeroes buffer. NULL is ignored. */
KC_API void kc_engine_buffer_init(kc_engine_buffer *buffer);
/** Frees the data and zeroes buffer. NULL is ignored. */
KC_API void kc_engine_buffer_cleanup(kc_engine_buffer *buffer);
/**
 * Appends length bytes; the data stays NUL-terminated (also after an empty append). Growth:
 * doubling, an empty buffer starting at 256 (or 512 doubled when more is needed). Returns 0,
 * 1 for a NULL buffer or NULL bytes with non-zero length, 2 when memory runs out (buffer
 * unchanged).
 */
KC_API int kc_engine_buffer_append(kc_engine_buffer *buffer, const void *bytes, size_t length);
/** Appends a NUL-terminated text; NULL s appends nothing and returns 0. */
KC_API int kc_engine_buffer_append_cstr(kc_engine_buffer *buffer, const char *s);
/** As kc_engine_buffer_append, but returns 2 (buffer unchanged) when a non-zero limit is below
 *  length + appended + 1. */
KC_API int kc_engine_buffer_append_limited(kc_engine_buffer *buffer, const void *bytes, size_t length, size_t limit);
/** As kc_engine_buffer_append_cstr with a limit. */
KC_API int kc_engine_buffer_append_cstr_limited(kc_engine_buffer *buffer, const char *s, size_t limit);

/** JSON library reader over a kc_engine_json_memory_input (user): copies and advances. */
KC_API vellum_read_result kc_engine_json_memory_reader(void *user, void *buffer, size_t capacity);

/** Percent-encoding by libcurl; owned copy (free), "" for NULL s, NULL on failure. */
KC_API char *kc_engine_url_encode(const char *s);

/** ns when non-empty, else the client default when non-empty, else "default". Never copies. */
KC_API const char *kc_engine_effective_namespace(const kc_engine_client *client, const char *ns);

/** Removes every trailing '/' of s in place. NULL is ignored. */
KC_API void kc_engine_trim_trailing_slash(char *s);

/** All endpoints joined with "," (owned, free); NULL when there are none or on failure. */
KC_API char *kc_engine_join_endpoints(const kc_engine_client *client);

/**
 * Loads the PEM client bundle into client->bundle from source (preferred) or the file at
 * path. KC_ERR_INVALID when client or both inputs are missing; KC_ERR_TRANSPORT for file,
 * source and BIO failures; KC_ERR_PROTOCOL for unusable content (no PEM object, no client
 * certificate, no matching key, no CA certificate); KC_ERR_NOMEM. On failure the bundle is empty.
 */
KC_API int kc_engine_load_bundle(kc_engine_client *client, kc_engine_bundle_source *source, const char *path,
                                 kc_engine_error *error);

/** Parses every PEM object of bio (not freed) into client->bundle; codes as kc_engine_load_bundle. */
KC_API int kc_engine_load_bundle_from_bio(kc_engine_client *client, struct bio_st *bio, kc_engine_error *error);

/** Releases every reference of bundle and zeroes it. NULL is ignored. */
KC_API void kc_engine_free_bundle(kc_engine_bundle *bundle);

/**
 * libcurl TLS context callback (CURLOPT_SSL_CTX_FUNCTION shape; ssl_ctx is an SSL_CTX *, client
 * the kc_engine_client): installs the client certificate, key, chain and CA certificates.
 * Returns 0, 58 (certificate problem) or 27 (out of memory) as a CURLcode.
 */
KC_API int kc_engine_ssl_ctx_callback(void *curl, void *ssl_ctx, void *client);

/* @@ENGINE_CLIENT@@ */

/* ------------------------------------------------------------------------------------------
 * HTTP request execution with endpoint failover
 * ---------------------------------------------------------------------------------------- */

/** Outcome of one request; caller-owned, strings owned (release with kc_engine_http_result_cleanup). */
typedef struct kc_engine_http_result {
    long http_status;
    char *correlation_id;       /* X-Correlation-Id */
    char *etag;                 /* ETag without surrounding double quotes */
    long key_version;           /* X-Key-Version */
    long fencing_token;         /* X-Fencing-Token */
    char *content_type;         /* Content-Type */
    char *header_error_message; /* why a captured header was rejected */
    char *server_error;         /* decoded error body (non-success responses only) */
    char *detail;
    char *leader_endpoint;
    char *current_etag;
    long current_version;
    long retry_after_seconds;
    int header_error;           /* a captured header was invalid */
} kc_engine_http_result;

/** One request header: a line "name: value". */
typedef struct kc_engine_http_header {
    const char *name;
    const char *value;
} kc_engine_http_header;

/** Record of the server's JSON error body, described by kc_engine_http_error_map. */
typedef struct kc_engine_http_error_body {
    char *error;
    char *detail;
    char *leader_endpoint;
    char *current_etag;
    int64_t current_version;
    int64_t retry_after_seconds;
} kc_engine_http_error_body;

/** Map "kc_engine_http_error_json" of kc_engine_http_error_body. */
KC_API extern const vellum_map kc_engine_http_error_map;

/** Frees the strings of result and zeroes it. NULL is ignored. */
KC_API void kc_engine_http_result_cleanup(kc_engine_http_result *result);

/**
 * Sends one request (path with its query string already encoded; body bytes or NULL) to the
 * client's endpoints in order, failing over on transport errors and on 503 "node_passive".
 * A 2xx body (not 204/205) is parsed into response_destination with response_map (may be
 * NULL); an error body into result. Returns KC_OK when a response was obtained, whatever its
 * status; otherwise a code with error filled, result cleared and the destination released.
 */
KC_API int kc_engine_http_json_request(kc_engine_client *client, const char *method, const char *path,
                                       const void *body, size_t body_length, const kc_engine_http_header *headers,
                                       size_t header_count, const vellum_map *response_map,
                                       void *response_destination, kc_engine_http_result *result,
                                       kc_engine_error *error);

/**
 * As kc_engine_http_json_request with the body generated from body_source through body_map
 * (both or neither; body_options may be NULL) while it is uploaded, with a measured length.
 */
KC_API int kc_engine_http_json_request_stream(kc_engine_client *client, const char *method, const char *path,
                                              const vellum_map *body_map, const void *body_source,
                                              const vellum_write_options *body_options,
                                              const kc_engine_http_header *headers, size_t header_count,
                                              const vellum_map *response_map, void *response_destination,
                                              kc_engine_http_result *result, kc_engine_error *error);

/**
 * Converts a non-success result into the error (code KC_ERR_SERVER, "korvo returned a
 * non-success status", status, correlation id and error body members). Returns 5, or 2 when a
 * copy fails; 5 for a NULL error.
 */
KC_API int kc_engine_set_server_error_from_result(kc_engine_error *error, const kc_engine_http_result *result);

/**
 * As kc_engine_set_server_error_from_result from a JSON error body (NULL or empty: status
 * and correlation id only). A body that does not decode gives the mapped JSON status with
 * "failed to decode error response body".
 */
KC_API int kc_engine_set_server_error_from_json(kc_engine_error *error, long http_status,
                                                const char *correlation_id, const char *body);

/** libcurl header and write callbacks (CURLOPT_HEADERFUNCTION / WRITEFUNCTION shapes) over the
 *  engine's per-attempt state; used by the request functions. */
KC_API size_t kc_engine_json_http_header_callback(char *data, size_t size, size_t count, void *state);
KC_API size_t kc_engine_json_http_write_callback(char *data, size_t size, size_t count, void *state);

/* @@ENGINE_HTTP@@ */

/* ------------------------------------------------------------------------------------------
 * Byte-stream callbacks of the streaming operations, and the bridges over kc_source/kc_sink
 * ---------------------------------------------------------------------------------------- */

/** Takes length bytes of a download; returns non-zero to continue, 0 to fail (error may be filled). */
typedef int (*kc_engine_writer_fn)(void *user, const void *bytes, size_t length, kc_engine_error *error);

/**
 * Produces up to capacity bytes of an upload into buffer and returns their number; 0 is the
 * end of the data, or a failure when error->code is set (the transfer is then aborted).
 */
typedef size_t (*kc_engine_reader_fn)(void *user, void *buffer, size_t capacity, kc_engine_error *error);

/** Rewinds an upload reader to its first byte; returns 0, or non-zero with error filled. */
typedef int (*kc_engine_reset_fn)(void *user, kc_engine_error *error);

/* @@ENGINE_BRIDGES@@ */

/* ------------------------------------------------------------------------------------------
 * Streaming transfers and attachments
 * ---------------------------------------------------------------------------------------- */

/** Result of a state update (plain, streamed, generated or by mutations); strings owned (system allocator). */
typedef struct kc_engine_update_response {
    int64_t new_version;
    char *new_state_etag;
    int64_t bytes;
    char *correlation_id;
} kc_engine_update_response;

/** Map "kc_engine_update_response_json": "new_version", "new_state_etag", "bytes". */
KC_API extern const vellum_map kc_engine_update_response_map;

/** Frees the strings of response and zeroes it. NULL is ignored. */
KC_API void kc_engine_update_response_cleanup(kc_engine_update_response *response);

/* @@ENGINE_STREAMING@@ */

/* ------------------------------------------------------------------------------------------
 * Lease and state operations
 * ---------------------------------------------------------------------------------------- */

/* @@ENGINE_LEASE@@ */

/* @@ENGINE_OPERATIONS@@ */

#ifdef __cplusplus
}
#endif

#endif /* KORVOC_ENGINE_H */
