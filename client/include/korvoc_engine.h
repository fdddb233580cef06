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

/*
 * Bridges that let the engine drive public sources and sinks: user is a kc_source ** or
 * kc_sink ** (a pointer to the caller's object pointer). A failure that the source or sink
 * reports with a code becomes KC_ERR_TRANSPORT in the engine error with a copy of its message.
 */

/**
 * kc_engine_reader_fn over (*(kc_source **)user)->read. A missing source fails with
 * KC_ERR_INVALID "payload read requires source" and returns 0.
 */
KC_API size_t kc_engine_read_bridge(void *user, void *buffer, size_t capacity, kc_engine_error *error);

/**
 * kc_engine_writer_fn over (*(kc_sink **)user)->write; returns the sink's result (1 taken, 0
 * failed). A missing sink fails with KC_ERR_INVALID "payload write requires sink" and returns 0.
 */
KC_API int kc_engine_write_bridge(void *user, const void *bytes, size_t length, kc_engine_error *error);

/**
 * kc_engine_reset_fn over (*(kc_source **)user)->reset: returns 0 when rewound, non-zero
 * otherwise. A missing source gives code 1 "payload reset requires source" and a source whose
 * reset slot is NULL code 1 "payload source is not rewindable" (both return 1, after freeing
 * any earlier message and clearing http_status); otherwise the source's result, with
 * KC_ERR_TRANSPORT and its message (or "payload reset failed" when it gave none) on failure.
 */
KC_API int kc_engine_reset_bridge(void *user, kc_engine_error *error);

/** kc_engine_reader_fn that produces no bytes (an empty upload); touches nothing. */
KC_API size_t kc_engine_empty_reader(void *user, void *buffer, size_t capacity, kc_engine_error *error);

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

struct curl_slist; /* libcurl header list */

/**
 * Per-call state of a streaming transfer. Zero it, then set writer, writer_user and error
 * (NULL error: the transfer records its failures in a record of its own); the transfer
 * resets everything else before each attempt. Captured strings are owned (system
 * allocator); release them and the parser with kc_engine_stream_state_cleanup.
 */
typedef struct kc_engine_stream_state {
    kc_engine_writer_fn writer;    /* receives 2xx bodies that are not typed JSON; NULL drops them */
    void *writer_user;
    kc_engine_error *error;
    long http_status;
    char *correlation_id;          /* X-Correlation-Id */
    char *content_type;            /* Content-Type */
    char *etag;                    /* ETag, trimmed, quotes kept */
    long key_version;              /* X-Key-Version */
    long fencing_token;            /* X-Fencing-Token */
    char *attachment_id;           /* X-Attachment-ID */
    char *attachment_name;         /* X-Attachment-Name */
    char *attachment_sha256;       /* X-Attachment-SHA256 */
    long attachment_size;          /* X-Attachment-Size */
    long attachment_created_at;    /* X-Attachment-Created-At */
    long attachment_updated_at;    /* X-Attachment-Updated-At */
    const vellum_map *response_map; /* typed JSON response of a 2xx answer, or NULL */
    void *response_destination;
    vellum_curl_parse parser;      /* parser of the typed response or of the error body */
    kc_engine_http_error_body error_body;
    size_t bytes_received;         /* typed JSON bytes received */
    size_t byte_limit;             /* client max_response_bytes (1048576 when 0) */
    int parser_started;
    int error_body_mode;           /* the body is a JSON error body */
    int aborted;                   /* the engine stopped the transfer; the reason is in error */
    int body_seen;                 /* the first body chunk has decided how the body is handled */
    int ignore_body;               /* 204/205 */
} kc_engine_stream_state;

/** Frees the captured strings, the parser and the error body of state (not writer or error). NULL is ignored. */
KC_API void kc_engine_stream_state_cleanup(kc_engine_stream_state *state);

/**
 * One streaming request to the client's endpoints in order. URL: endpoint (with "https://",
 * or "http://" with disable_mtls, when it has no "://") followed by path (query encoded).
 * header_list is borrowed. With a reader the body is uploaded from it in chunks without a
 * length; before each attempt after the first reset(reset_user) is called when given (its
 * failure ends the call). 2xx bodies go to state->writer, or are parsed into
 * response_destination with response_map when a map is given (pass it zeroed; the caller
 * releases it with vellum_cleanup in every case); other bodies never reach the writer.
 * Non-2xx answers become KC_ERR_SERVER from the error body; "node_passive" moves to the next
 * endpoint ("all endpoints rejected the request", KC_ERR_TRANSPORT, when none is left).
 * Transport errors do not fail over. Returns KC_OK on a 2xx answer, else the code with state->error filled.
 * Header values are left in state for the caller either way.
 */
KC_API int kc_engine_perform_streaming(kc_engine_client *client, const char *method, const char *path,
                                       struct curl_slist *header_list, kc_engine_reader_fn reader, void *reader_user,
                                       kc_engine_reset_fn reset, void *reset_user, const vellum_map *response_map,
                                       void *response_destination, kc_engine_stream_state *state);

/**
 * libcurl TLS context callback of streaming transfers (ssl_ctx an SSL_CTX *, client the
 * kc_engine_client): sets the client certificate and key when present (not checked to
 * match), adds the bundle's CA certificates to the store and takes a reference to each chain
 * certificate. Returns 0, or 58 (certificate problem) for a missing context, client or store
 * or a rejected certificate or key.
 */
KC_API int kc_engine_attachment_ssl_ctx(void *curl, void *ssl_ctx, void *client);

/** The parts of a streaming query string; NULL/empty strings and 0 flags are left out. */
typedef struct kc_engine_attachment_query {
    const char *key;             /* "?key=", always sent */
    const char *KC_NAMESPACE_MEMBER; /* "&namespace=", always sent: empty means the client default */
    const char *name;            /* "&name=" (upload) */
    const char *selector_name;   /* "&name=" (download, delete) */
    const char *selector_id;     /* "&id=" */
    const char *content_type;    /* "&content_type=" */
    int prevent_overwrite;       /* "&prevent_overwrite=1" */
    int has_max_bytes;           /* "&max_bytes=" max_bytes */
    int64_t max_bytes;
    int public_read;             /* "&public=1" */
} kc_engine_attachment_query;

/**
 * Appends the query string of query to path (every value URL-encoded, in the order of the
 * record). On failure returns KC_ERR_NOMEM ("failed to encode key", ... "failed to format
 * max_bytes") and releases path. KC_ERR_INVALID "attachment query requires client, path, and
 * query" for missing arguments.
 */
KC_API int kc_engine_attachment_build_query(const kc_engine_client *client, kc_engine_buffer *path,
                                            const kc_engine_attachment_query *query, kc_engine_error *error);

/**
 * A libcurl header list of, in this order and each only when given: "Accept" (non-empty
 * accept), "Content-Type", "X-Lease-ID", "X-Txn-ID", "X-Fencing-Token" (decimal, when > 0).
 * Release it with curl_slist_free_all. NULL when nothing was given or on any failure.
 */
KC_API struct curl_slist *kc_engine_build_stream_headers(const char *content_type, const char *accept,
                                                         const char *lease_id, const char *txn_id,
                                                         int64_t fencing_token);

/** Streamed state read (GET /v1/get). Strings are borrowed. */
typedef struct kc_engine_get_stream_request {
    const char *KC_NAMESPACE_MEMBER; /* empty: the client default */
    const char *key;
    const char *lease_id;        /* required unless public_read */
    int64_t fencing_token;       /* X-Fencing-Token when > 0 */
    int public_read;             /* "&public=1" */
} kc_engine_get_stream_request;

/** What a streamed state read returns; strings owned (system allocator). */
typedef struct kc_engine_get_stream_response {
    int no_content;              /* the answer was 204 */
    char *content_type;
    char *etag;                  /* as sent, quotes kept */
    int64_t version;             /* X-Key-Version */
    int64_t fencing_token;       /* X-Fencing-Token */
    char *correlation_id;
} kc_engine_get_stream_response;

/** Frees the strings of response and zeroes it. NULL is ignored. */
KC_API void kc_engine_get_stream_response_cleanup(kc_engine_get_stream_response *response);

/**
 * Reads the state document of a key into writer (chunk by chunk, never held whole).
 * KC_ERR_INVALID "get_into requires client, request, writer, response, error, and key" /
 * "get_into requires lease_id unless public_read is enabled"; transfer and server errors as
 * kc_engine_perform_streaming. response is cleaned first and filled on success.
 */
KC_API int kc_engine_client_get_into(kc_engine_client *client, const kc_engine_get_stream_request *request,
                                     kc_engine_writer_fn writer, void *writer_user,
                                     kc_engine_get_stream_response *response, kc_engine_error *error);

/** Streamed state write (POST /v1/update). Strings are borrowed. */
typedef struct kc_engine_update_from_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;
    const char *txn_id;
    int64_t fencing_token;       /* must be > 0 */
    const char *if_state_etag;   /* X-If-State-ETag when non-empty */
    int64_t if_version;          /* X-If-Version when has_if_version */
    int has_if_version;
    const char *content_type;    /* NULL/empty: "application/json" */
} kc_engine_update_from_request;

/**
 * Uploads a state document pulled from reader (NULL: an empty body). With several endpoints
 * reader must be kc_engine_read_bridge over a resettable kc_source (KC_ERR_INVALID "multi-
 * endpoint updates require kc_source-backed rewindable payloads", "payload reset requires
 * source", "payload source is not rewindable", before any request). KC_ERR_INVALID
 * "update_from requires client, request, response, error, key, lease_id, and fencing_token".
 * response is cleaned first and filled on success (strings owned).
 */
KC_API int kc_engine_client_update_from(kc_engine_client *client, const kc_engine_update_from_request *request,
                                        kc_engine_reader_fn reader, void *reader_user,
                                        kc_engine_update_response *response, kc_engine_error *error);

/**
 * Upload reader of a multipart body: prefix, then the inner reader's bytes until it returns
 * 0, then suffix. Memory pieces are borrowed. reader may be NULL (no payload bytes).
 */
typedef struct kc_engine_multipart_upload {
    const char *prefix;
    size_t prefix_length;
    size_t prefix_position;
    kc_engine_reader_fn reader;
    void *reader_user;
    kc_engine_reset_fn reset;    /* rewinds the inner reader; may be NULL */
    void *reset_user;
    const char *suffix;
    size_t suffix_length;
    size_t suffix_position;
    int payload_done;            /* the inner reader returned 0 */
} kc_engine_multipart_upload;

/** kc_engine_reader_fn over a kc_engine_multipart_upload (state). An inner failure returns 0
 *  with error filled; a NULL state returns 0 with KC_ERR_INVALID. */
KC_API size_t kc_engine_multipart_upload_read(void *state, void *buffer, size_t capacity, kc_engine_error *error);

/** kc_engine_reset_fn over a kc_engine_multipart_upload: rewinds both memory pieces, clears the
 *  end mark and calls the inner reset when given. KC_ERR_INVALID "multipart upload reset
 *  requires state". */
KC_API int kc_engine_multipart_upload_reset(void *state, kc_engine_error *error);

/* Attachments */

/** One attachment's description; strings owned (system allocator) outside parsing. */
typedef struct kc_engine_attachment_info {
    char *id;
    char *name;
    int64_t size;
    char *plaintext_sha256;
    char *content_type;
    int64_t created_at_unix;
    int64_t updated_at_unix;
} kc_engine_attachment_info;

/** Map "kc_engine_attachment_info_json" of kc_engine_attachment_info. */
KC_API extern const vellum_map kc_engine_attachment_info_map;

/** Frees the strings of info and zeroes it. NULL is ignored. */
KC_API void kc_engine_attachment_info_cleanup(kc_engine_attachment_info *info);

/**
 * Copies parsed (strings owned by the JSON library) into out as owned system strings; out is
 * overwritten. KC_ERR_NOMEM "failed to copy attachment strings" (out left empty);
 * KC_ERR_INVALID for NULL out or parsed.
 */
KC_API int kc_engine_attachment_info_from_json(kc_engine_attachment_info *out, const kc_engine_attachment_info *parsed,
                                               kc_engine_error *error);

/** Which attachment: id, name or both (name is sent before id). Strings borrowed. */
typedef struct kc_engine_attachment_selector {
    const char *id;
    const char *name;
} kc_engine_attachment_selector;

/** Attachment upload (POST /v1/attachments). Strings borrowed. */
typedef struct kc_engine_attach_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;
    const char *txn_id;
    int64_t fencing_token;
    const char *name;
    const char *content_type;    /* NULL/empty: "application/octet-stream" */
    int64_t max_bytes;           /* "&max_bytes=" when has_max_bytes */
    int has_max_bytes;
    int prevent_overwrite;
} kc_engine_attach_request;

/** Result of an upload; strings owned (system allocator). */
typedef struct kc_engine_attach_response {
    kc_engine_attachment_info attachment;
    int noop;
    int64_t version;
    char *correlation_id;
} kc_engine_attach_response;

/** Map "kc_engine_attach_response_json": "attachment", "noop", "version". */
KC_API extern const vellum_map kc_engine_attach_response_map;

/** Frees every string of response and zeroes it. NULL is ignored. */
KC_API void kc_engine_attach_response_cleanup(kc_engine_attach_response *response);

/**
 * Uploads an attachment pulled from reader; reader_user is also handed to
 * kc_engine_reset_bridge on failover, so it must be a kc_source ** when several endpoints are
 * configured. KC_ERR_INVALID "attach_from requires client, request, reader, response, error,
 * key, name, lease_id, and txn_id".
 */
KC_API int kc_engine_client_attach_from(kc_engine_client *client, const kc_engine_attach_request *request,
                                        kc_engine_reader_fn reader, void *reader_user,
                                        kc_engine_attach_response *response, kc_engine_error *error);

/** Attachment listing (GET /v1/attachments). Strings borrowed. */
typedef struct kc_engine_list_attachments_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;
    const char *txn_id;
    int64_t fencing_token;
    int public_read;
} kc_engine_list_attachments_request;

/** The listing: an owned array (NULL when empty) of owned entries. */
typedef struct kc_engine_list_attachments_response {
    char *KC_NAMESPACE_MEMBER;
    char *key;
    kc_engine_attachment_info *attachments;
    size_t attachment_count;
    char *correlation_id;
} kc_engine_list_attachments_response;

/** The record kc_engine_list_attachments_response_map parses into (JSON library storage). */
typedef struct kc_engine_list_attachments_response_json {
    char *KC_NAMESPACE_MEMBER;
    char *key;
    vellum_object_array attachments; /* of kc_engine_attachment_info */
} kc_engine_list_attachments_response_json;

/** Map of kc_engine_list_attachments_response_json: "namespace", "key", "attachments". */
KC_API extern const vellum_map kc_engine_list_attachments_response_map;

/** Frees every entry, the array and the strings of response, and zeroes it. NULL is ignored. */
KC_API void kc_engine_list_attachments_response_cleanup(kc_engine_list_attachments_response *response);

/**
 * Lists the attachments of a key (any 2xx is success). KC_ERR_INVALID "list_attachments
 * requires client, request, response, error, and key" / "list_attachments requires lease_id
 * and txn_id unless public_read is enabled".
 */
KC_API int kc_engine_client_list_attachments(kc_engine_client *client, const kc_engine_list_attachments_request *request,
                                             kc_engine_list_attachments_response *response, kc_engine_error *error);

/** Attachment download (GET /v1/attachment). Strings borrowed. */
typedef struct kc_engine_get_attachment_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;
    const char *txn_id;
    int64_t fencing_token;
    int public_read;
    kc_engine_attachment_selector selector;
} kc_engine_get_attachment_request;

/** The download's X-Attachment-* headers; strings owned (system allocator). */
typedef struct kc_engine_get_attachment_response {
    char *attachment_id;
    char *name;
    char *plaintext_sha256;
    int64_t size;
    int64_t created_at_unix;
    int64_t updated_at_unix;
    char *content_type;
    char *correlation_id;
} kc_engine_get_attachment_response;

/** Frees the strings of response and zeroes it. NULL is ignored. */
KC_API void kc_engine_get_attachment_response_cleanup(kc_engine_get_attachment_response *response);

/**
 * Downloads one attachment into writer. KC_ERR_INVALID "get_attachment_into requires client,
 * request, writer, response, error, and key", "get_attachment_into requires selector id or
 * name", "get_attachment_into requires lease_id and txn_id unless public_read is enabled".
 */
KC_API int kc_engine_client_get_attachment_into(kc_engine_client *client,
                                                const kc_engine_get_attachment_request *request,
                                                kc_engine_writer_fn writer, void *writer_user,
                                                kc_engine_get_attachment_response *response, kc_engine_error *error);

/** Deleting one attachment (DELETE /v1/attachment). Strings borrowed. */
typedef struct kc_engine_delete_attachment_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;
    const char *txn_id;
    int64_t fencing_token;
    kc_engine_attachment_selector selector;
} kc_engine_delete_attachment_request;

typedef struct kc_engine_delete_attachment_response {
    int deleted;
    int64_t version;
    char *correlation_id;        /* owned */
} kc_engine_delete_attachment_response;

/** Map "kc_engine_delete_attachment_response_json": "deleted", "version". */
KC_API extern const vellum_map kc_engine_delete_attachment_response_map;

/** Frees the correlation id and zeroes response. NULL is ignored. */
KC_API void kc_engine_delete_attachment_response_cleanup(kc_engine_delete_attachment_response *response);

/** KC_ERR_INVALID "delete_attachment requires client, request, response, error, key, lease_id, and txn_id". */
KC_API int kc_engine_client_delete_attachment(kc_engine_client *client, const kc_engine_delete_attachment_request *request,
                                              kc_engine_delete_attachment_response *response, kc_engine_error *error);

/** Deleting every attachment of a key (DELETE /v1/attachments). Strings borrowed. */
typedef struct kc_engine_delete_all_attachments_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;
    const char *txn_id;
    int64_t fencing_token;
} kc_engine_delete_all_attachments_request;

typedef struct kc_engine_delete_all_attachments_response {
    int deleted;                 /* count */
    int64_t version;
    char *correlation_id;        /* owned */
} kc_engine_delete_all_attachments_response;

/** The record kc_engine_delete_all_attachments_response_map parses into. */
typedef struct kc_engine_delete_all_attachments_response_json {
    int64_t deleted;
    int64_t version;
} kc_engine_delete_all_attachments_response_json;

/** Map of kc_engine_delete_all_attachments_response_json: "deleted", "version". */
KC_API extern const vellum_map kc_engine_delete_all_attachments_response_map;

/** Frees the correlation id and zeroes response. NULL is ignored. */
KC_API void kc_engine_delete_all_attachments_response_cleanup(kc_engine_delete_all_attachments_response *response);

/**
 * KC_ERR_INVALID "delete_all_attachments requires client, request, response, error, key,
 * lease_id, and txn_id"; a count beyond int is KC_ERR_PROTOCOL "delete attachments deleted
 * count is out of range".
 */
KC_API int kc_engine_client_delete_all_attachments(kc_engine_client *client,
                                                   const kc_engine_delete_all_attachments_request *request,
                                                   kc_engine_delete_all_attachments_response *response,
                                                   kc_engine_error *error);

/**
 * Parse a complete JSON text into response (cleaned first; strings owned on success).
 * KC_ERR_INVALID "parse_attach_response_json requires json, response, and error" /
 * "parse_list_attachments_response_json requires json, response, and error"; a parse failure
 * is mapped with "failed to parse attach response" / "failed to parse list_attachments response".
 */
KC_API int kc_engine_parse_attach_response_json(const char *json, kc_engine_attach_response *response,
                                                kc_engine_error *error);
KC_API int kc_engine_parse_list_attachments_response_json(const char *json,
                                                          kc_engine_list_attachments_response *response,
                                                          kc_engine_error *error);

/* @@ENGINE_STREAMING@@ */

/* ------------------------------------------------------------------------------------------
 * Lease and state operations
 * ---------------------------------------------------------------------------------------- */

/*
 * Every operation below takes the engine client, a caller-owned request record, a response
 * record and an error record, and returns a KC_* code. The namespace sent is
 * kc_engine_effective_namespace(client, request namespace). Request strings are borrowed; a
 * NULL or empty optional string is not sent. Response strings are owned copies (system
 * allocator) released by the matching *_response_cleanup, which frees every string and zeroes
 * the record; each operation cleans its response record before it starts, so pass a zeroed or
 * previously filled record. Only status 200 is a success (get: any 2xx); any other status
 * returns KC_ERR_SERVER "korvo returned a non-success status" with the server's error body in
 * error. Common failures: KC_ERR_INVALID "client, request, and response are required";
 * KC_ERR_NOMEM when a path or header cannot be built; KC_ERR_PROTOCOL "failed to decode
 * <operation> response" when response strings cannot be copied (response cleaned); the
 * transport and parse codes of kc_engine_http_json_request.
 */

/** Acquire a lease on key. */
typedef struct kc_engine_acquire_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *owner;
    int64_t ttl_seconds;
    int64_t block_seconds; /* sent only when > 0 */
    int if_not_exists;     /* sent only when non-zero */
    const char *txn_id;    /* sent only when non-empty */
} kc_engine_acquire_request;

typedef struct kc_engine_acquire_response {
    char *KC_NAMESPACE_MEMBER;
    char *key;
    char *owner;
    char *lease_id;
    char *txn_id;
    int64_t expires_at_unix;
    int64_t version;
    char *state_etag;
    int64_t fencing_token;
    char *correlation_id;
} kc_engine_acquire_response;

/** Extend a held lease. */
typedef struct kc_engine_keepalive_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;
    const char *txn_id; /* sent only when non-empty */
    int64_t ttl_seconds;
    int64_t fencing_token;
} kc_engine_keepalive_request;

typedef struct kc_engine_keepalive_response {
    int64_t expires_at_unix;
    int64_t version;
    char *state_etag;
    char *correlation_id;
} kc_engine_keepalive_response;

/** Give a lease up (rollback: discard the transaction's staged changes). */
typedef struct kc_engine_release_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;
    const char *txn_id; /* sent only when non-empty */
    int64_t fencing_token;
    int rollback;       /* sent only when non-zero */
} kc_engine_release_request;

typedef struct kc_engine_release_response {
    int released;
    char *correlation_id;
} kc_engine_release_response;

/** Read the state document of key (under the lease, or publicly with public_read). */
typedef struct kc_engine_get_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;  /* required unless public_read */
    int64_t fencing_token; /* sent when > 0 */
    int public_read;
} kc_engine_get_request;

typedef struct kc_engine_get_response {
    char *body;            /* owned, NUL-terminated after body_length bytes; NULL when empty (or 204) */
    size_t body_length;
    char *content_type;    /* response Content-Type, else "application/octet-stream" */
    char *etag;
    int64_t version;       /* X-Key-Version */
    int64_t fencing_token; /* X-Fencing-Token */
    char *correlation_id;
} kc_engine_get_response;

/** Replace the state document of key with body (update) or a generated body (update_stream). */
typedef struct kc_engine_update_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;      /* X-Lease-ID when non-empty */
    const char *txn_id;        /* required */
    int64_t fencing_token;     /* required, > 0 */
    const char *if_state_etag; /* X-If-State-ETag when non-empty */
    int64_t if_version;        /* X-If-Version when has_if_version */
    int has_if_version;
    const void *body;          /* update only; NULL sends an empty body */
    size_t body_length;
    const char *content_type;  /* NULL or empty: "application/octet-stream" */
} kc_engine_update_request;

/** Apply mutation expressions to the state document of key on the server. */
typedef struct kc_engine_mutate_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;      /* X-Lease-ID when non-empty */
    const char *txn_id;        /* X-Txn-ID when non-empty */
    int64_t fencing_token;
    const char *if_state_etag; /* X-If-State-ETag when non-empty */
    int64_t if_version;        /* X-If-Version when has_if_version */
    int has_if_version;
    const char *const *mutations; /* mutation_count expressions, none NULL */
    size_t mutation_count;
} kc_engine_mutate_request;

/** Change the metadata of key (query_hidden only when has_query_hidden). */
typedef struct kc_engine_metadata_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;  /* X-Lease-ID when non-empty */
    const char *txn_id;    /* X-Txn-ID when non-empty */
    int64_t fencing_token;
    int64_t if_version;    /* X-If-Version when has_if_version */
    int has_if_version;
    int has_query_hidden;
    int query_hidden;
} kc_engine_metadata_request;

typedef struct kc_engine_metadata_response {
    char *KC_NAMESPACE_MEMBER;
    char *key;
    int64_t version;
    int metadata_present; /* the response's "metadata" object carried "query_hidden" */
    int query_hidden;
    char *correlation_id;
} kc_engine_metadata_response;

/** Remove the state document of key. */
typedef struct kc_engine_remove_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
    const char *lease_id;      /* X-Lease-ID when non-empty */
    const char *txn_id;        /* required */
    int64_t fencing_token;     /* required, > 0 */
    const char *if_state_etag; /* X-If-State-ETag when non-empty */
    int64_t if_version;        /* X-If-Version when has_if_version */
    int has_if_version;
} kc_engine_remove_request;

typedef struct kc_engine_remove_response {
    int removed;
    int64_t new_version;
    char *correlation_id;
} kc_engine_remove_response;

/** Describe key: its lease, version and metadata. */
typedef struct kc_engine_describe_request {
    const char *KC_NAMESPACE_MEMBER;
    const char *key;
} kc_engine_describe_request;

typedef struct kc_engine_describe_response {
    char *KC_NAMESPACE_MEMBER;
    char *key;
    char *owner;
    char *lease_id;
    int64_t expires_at_unix;
    int64_t version;
    char *state_etag;
    int64_t updated_at_unix;
    int metadata_present; /* the response's "metadata" object carried "query_hidden" */
    int query_hidden;
    char *correlation_id;
} kc_engine_describe_response;

/** "POST" "/v1/acquire" with a JSON body; fills response from the answer. */
KC_API int kc_engine_client_acquire(kc_engine_client *client, const kc_engine_acquire_request *request,
                                    kc_engine_acquire_response *response, kc_engine_error *error);

/** "POST" "/v1/keepalive" (X-Fencing-Token header and JSON body). */
KC_API int kc_engine_client_keepalive(kc_engine_client *client, const kc_engine_keepalive_request *request,
                                      kc_engine_keepalive_response *response, kc_engine_error *error);

/** "POST" "/v1/release" (X-Fencing-Token header and JSON body). */
KC_API int kc_engine_client_release(kc_engine_client *client, const kc_engine_release_request *request,
                                    kc_engine_release_response *response, kc_engine_error *error);

/**
 * "GET" "/v1/get?key=..&namespace=..[&public=1]": the state document is captured whole into
 * response->body. KC_ERR_INVALID "get.key is required", "get requires lease_id unless
 * public_read is enabled"; KC_ERR_NOMEM "failed to capture response body", "failed to copy get
 * body", "failed to copy get response".
 */
KC_API int kc_engine_client_get(kc_engine_client *client, const kc_engine_get_request *request,
                                kc_engine_get_response *response, kc_engine_error *error);

/**
 * "POST" "/v1/update?key=..&namespace=.." with request->body as it stands. KC_ERR_INVALID
 * "update requires key, txn_id, and fencing_token".
 */
KC_API int kc_engine_client_update(kc_engine_client *client, const kc_engine_update_request *request,
                                   kc_engine_update_response *response, kc_engine_error *error);

/**
 * As kc_engine_client_update, but the body is generated from body_source through body_map
 * while it is uploaded (body_options may be NULL; request->body is ignored). KC_ERR_INVALID
 * "update_stream requires body map and source" after the update checks.
 */
KC_API int kc_engine_client_update_stream(kc_engine_client *client, const kc_engine_update_request *request,
                                          const vellum_map *body_map, const void *body_source,
                                          const vellum_write_options *body_options,
                                          kc_engine_update_response *response, kc_engine_error *error);

/**
 * "POST" "/v1/mutate?key=..&namespace=.." with {"namespace":..,"mutations":[..]}.
 * KC_ERR_INVALID "mutate requires mutations" for a NULL array with a non-zero count or a NULL
 * expression.
 */
KC_API int kc_engine_client_mutate(kc_engine_client *client, const kc_engine_mutate_request *request,
                                   kc_engine_update_response *response, kc_engine_error *error);

/** "POST" "/v1/metadata?key=..&namespace=.." with {"query_hidden":..} or {}. */
KC_API int kc_engine_client_update_metadata(kc_engine_client *client, const kc_engine_metadata_request *request,
                                            kc_engine_metadata_response *response, kc_engine_error *error);

/**
 * "POST" "/v1/remove?key=..&namespace=.." with an empty body. KC_ERR_INVALID "remove requires
 * key, txn_id, and fencing_token".
 */
KC_API int kc_engine_client_remove(kc_engine_client *client, const kc_engine_remove_request *request,
                                   kc_engine_remove_response *response, kc_engine_error *error);

/** "GET" "/v1/describe?key=..&namespace=..". KC_ERR_INVALID "describe.key is required". */
KC_API int kc_engine_client_describe(kc_engine_client *client, const kc_engine_describe_request *request,
                                     kc_engine_describe_response *response, kc_engine_error *error);

/** Free every string of the response and zero it. NULL is ignored. */
KC_API void kc_engine_acquire_response_cleanup(kc_engine_acquire_response *response);
KC_API void kc_engine_keepalive_response_cleanup(kc_engine_keepalive_response *response);
KC_API void kc_engine_release_response_cleanup(kc_engine_release_response *response);
KC_API void kc_engine_get_response_cleanup(kc_engine_get_response *response);
KC_API void kc_engine_mutate_response_cleanup(kc_engine_update_response *response);
KC_API void kc_engine_metadata_response_cleanup(kc_engine_metadata_response *response);
KC_API void kc_engine_remove_response_cleanup(kc_engine_remove_response *response);
KC_API void kc_engine_describe_response_cleanup(kc_engine_describe_response *response);

/* @@ENGINE_LEASE@@ */

/* @@ENGINE_OPERATIONS@@ */

#ifdef __cplusplus
}
#endif

#endif /* KORVOC_ENGINE_H */
