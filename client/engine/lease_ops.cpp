// Lease and state operations: acquire, keepalive, release, get, update (plain and generated),
// mutate, metadata, remove and describe. Each is one typed JSON request whose body comes from a
// field map built per call that lists only the members to send; get captures the streamed
// state document whole.
#include "korvoc_engine.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

namespace korvo::engine {
namespace {

constexpr size_t kNumberTextBytes = 24; // any int64 in decimal with its NUL

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};
using OwnedText = std::unique_ptr<char, FreeDeleter>;

bool non_empty(const char *s) { return s && s[0] != '\0'; }

// The request headers of one call, in sending order.
struct Headers {
    kc_engine_http_header items[8];
    size_t count = 0;
    void add(const char *name, const char *value) { items[count++] = {name, value}; }
    void add_if_set(const char *name, const char *value) {
        if (non_empty(value)) add(name, value);
    }
};

// The members one request body sends, in order; the map lives as long as the call.
struct BodyFields {
    vellum_field items[8];
    size_t count = 0;
    void add(const vellum_field &field) { items[count++] = field; }
    vellum_map map(const char *name, size_t struct_size) const {
        return {name, struct_size, count ? items : nullptr, count};
    }
};

// Releases a request's result and the record its body was parsed into, on every path.
struct Exchange {
    const vellum_map *map;
    void *parsed;
    kc_engine_http_result result{};
    Exchange(const vellum_map *m, void *p) : map(m), parsed(p) {}
    ~Exchange() {
        kc_engine_http_result_cleanup(&result);
        if (map && parsed) vellum_cleanup(map, parsed);
    }
    Exchange(const Exchange &) = delete;
    Exchange &operator=(const Exchange &) = delete;
};

// "<base>?key=K&namespace=N" with both values percent-encoded; 0 or the buffer's code.
int build_key_path(kc_engine_buffer *path, const char *base, const kc_engine_client *client, const char *key,
                   const char *ns) {
    OwnedText encoded_key(kc_engine_url_encode(key));
    OwnedText encoded_ns(kc_engine_url_encode(kc_engine_effective_namespace(client, ns)));
    if (!encoded_key || !encoded_ns) return KC_ERR_NOMEM;
    for (const char *piece : {base, "?key=", static_cast<const char *>(encoded_key.get()), "&namespace=",
                              static_cast<const char *>(encoded_ns.get())}) {
        int code = kc_engine_buffer_append_cstr(path, piece);
        if (code != 0) return code;
    }
    return 0;
}

int path_error(kc_engine_buffer *path, int code, kc_engine_error *error, const char *message) {
    kc_engine_buffer_cleanup(path);
    return kc_engine_set_client_error(error, code, message);
}

struct Copy {
    char **slot;
    const char *value;
};

// Copies every value (NULL stays NULL); false when any copy fails.
bool copy_strings(std::initializer_list<Copy> copies) {
    bool ok = true;
    for (const Copy &copy : copies) {
        if (!copy.value) continue;
        *copy.slot = kc_engine_strdup_local(copy.value);
        if (!*copy.slot) ok = false;
    }
    return ok;
}

// The outcome of a request whose answer arrived: KC_OK only for status 200.
int check_status(int code, const kc_engine_http_result &result, kc_engine_error *error) {
    if (code != KC_OK) return code;
    if (result.http_status != 200) return kc_engine_set_server_error_from_result(error, &result);
    return KC_OK;
}

int required_arguments(kc_engine_error *error) {
    return kc_engine_set_client_error(error, KC_ERR_INVALID, "client, request, and response are required");
}

// ---- response maps -----------------------------------------------------------------------

constexpr vellum_field kAcquireResponseFields[] = {
    VELLUM_FIELD_STRING(kc_engine_acquire_response, KC_NAMESPACE_MEMBER, "namespace", 0),
    VELLUM_FIELD_STRING(kc_engine_acquire_response, key, "key", 0),
    VELLUM_FIELD_STRING(kc_engine_acquire_response, owner, "owner", 0),
    VELLUM_FIELD_STRING(kc_engine_acquire_response, lease_id, "lease_id", 0),
    VELLUM_FIELD_STRING(kc_engine_acquire_response, txn_id, "txn_id", 0),
    VELLUM_FIELD_I64(kc_engine_acquire_response, expires_at_unix, "expires_at_unix", 0),
    VELLUM_FIELD_I64(kc_engine_acquire_response, version, "version", 0),
    VELLUM_FIELD_STRING(kc_engine_acquire_response, state_etag, "state_etag", 0),
    VELLUM_FIELD_I64(kc_engine_acquire_response, fencing_token, "fencing_token", 0),
};
constexpr vellum_map kc_engine_acquire_response_map = {"kc_engine_acquire_response_json",
                                                       sizeof(kc_engine_acquire_response), kAcquireResponseFields,
                                                       sizeof(kAcquireResponseFields) / sizeof(vellum_field)};

constexpr vellum_field kKeepaliveResponseFields[] = {
    VELLUM_FIELD_I64(kc_engine_keepalive_response, expires_at_unix, "expires_at_unix", 0),
    VELLUM_FIELD_I64(kc_engine_keepalive_response, version, "version", 0),
    VELLUM_FIELD_STRING(kc_engine_keepalive_response, state_etag, "state_etag", 0),
};
constexpr vellum_map kc_engine_keepalive_response_map = {
    "kc_engine_keepalive_response_json", sizeof(kc_engine_keepalive_response), kKeepaliveResponseFields,
    sizeof(kKeepaliveResponseFields) / sizeof(vellum_field)};

constexpr vellum_field kReleaseResponseFields[] = {
    VELLUM_FIELD_BOOL(kc_engine_release_response, released, "released", 0),
};
constexpr vellum_map kc_engine_release_response_map = {"kc_engine_release_response_json",
                                                       sizeof(kc_engine_release_response), kReleaseResponseFields,
                                                       sizeof(kReleaseResponseFields) / sizeof(vellum_field)};

constexpr vellum_field kRemoveResponseFields[] = {
    VELLUM_FIELD_BOOL(kc_engine_remove_response, removed, "removed", 0),
    VELLUM_FIELD_I64(kc_engine_remove_response, new_version, "new_version", 0),
};
constexpr vellum_map kc_engine_remove_response_map = {"kc_engine_remove_response_json",
                                                      sizeof(kc_engine_remove_response), kRemoveResponseFields,
                                                      sizeof(kRemoveResponseFields) / sizeof(vellum_field)};

// The "metadata" object of metadata and describe answers; the presence word tells whether
// "query_hidden" was there at all.
struct MetadataJson {
    int32_t query_hidden;
    int32_t query_hidden_present;
};
constexpr vellum_field kMetadataJsonFields[] = {
    VELLUM_FIELD_PRESENT(MetadataJson, query_hidden, "query_hidden", VELLUM_KIND_BOOL, query_hidden_present, 0),
};
constexpr vellum_map kMetadataJsonMap = {"kc_engine_key_metadata_json", sizeof(MetadataJson), kMetadataJsonFields,
                                         sizeof(kMetadataJsonFields) / sizeof(vellum_field)};

struct MetadataResponseJson {
    char *ns;
    char *key;
    int64_t version;
    MetadataJson metadata;
};
constexpr vellum_field kMetadataResponseFields[] = {
    VELLUM_FIELD_STRING(MetadataResponseJson, ns, "namespace", 0),
    VELLUM_FIELD_STRING(MetadataResponseJson, key, "key", 0),
    VELLUM_FIELD_I64(MetadataResponseJson, version, "version", 0),
    VELLUM_FIELD_OBJECT(MetadataResponseJson, metadata, "metadata", &kMetadataJsonMap, 0),
};
constexpr vellum_map kc_engine_metadata_response_map = {"kc_engine_metadata_response_json",
                                                        sizeof(MetadataResponseJson), kMetadataResponseFields,
                                                        sizeof(kMetadataResponseFields) / sizeof(vellum_field)};

struct DescribeResponseJson {
    char *ns;
    char *key;
    char *owner;
    char *lease_id;
    int64_t expires_at_unix;
    int64_t version;
    char *state_etag;
    int64_t updated_at_unix;
    MetadataJson metadata;
};
constexpr vellum_field kDescribeResponseFields[] = {
    VELLUM_FIELD_STRING(DescribeResponseJson, ns, "namespace", 0),
    VELLUM_FIELD_STRING(DescribeResponseJson, key, "key", 0),
    VELLUM_FIELD_STRING(DescribeResponseJson, owner, "owner", 0),
    VELLUM_FIELD_STRING(DescribeResponseJson, lease_id, "lease_id", 0),
    VELLUM_FIELD_I64(DescribeResponseJson, expires_at_unix, "expires_at_unix", 0),
    VELLUM_FIELD_I64(DescribeResponseJson, version, "version", 0),
    VELLUM_FIELD_STRING(DescribeResponseJson, state_etag, "state_etag", 0),
    VELLUM_FIELD_I64(DescribeResponseJson, updated_at_unix, "updated_at_unix", 0),
    VELLUM_FIELD_OBJECT(DescribeResponseJson, metadata, "metadata", &kMetadataJsonMap, 0),
};
constexpr vellum_map kc_engine_describe_response_map = {"kc_engine_describe_response_json",
                                                        sizeof(DescribeResponseJson), kDescribeResponseFields,
                                                        sizeof(kDescribeResponseFields) / sizeof(vellum_field)};

// ---- request bodies ----------------------------------------------------------------------

struct AcquireBody {
    char *ns;
    char *key;
    int64_t ttl_seconds;
    char *owner;
    int64_t block_seconds;
    int32_t if_not_exists;
    char *txn_id;
};

struct KeepaliveBody {
    char *ns;
    char *key;
    char *lease_id;
    int64_t ttl_seconds;
    int64_t fencing_token;
    char *txn_id;
};

struct ReleaseBody {
    char *ns;
    char *key;
    char *lease_id;
    char *txn_id;
    int32_t rollback;
};

struct MutateBody {
    char *ns;
    vellum_array mutations;
};

struct MetadataBody {
    int32_t query_hidden;
};

// The bodies only borrow the request strings; the generator never writes through them.
char *borrow(const char *s) { return const_cast<char *>(s); }

// The conditional headers of update, mutate and remove after their Content-Type, in order.
void add_state_headers(Headers &headers, const char *fencing_token, const char *lease_id, const char *txn_id,
                       const char *if_state_etag, const char *if_version) {
    headers.add("X-Fencing-Token", fencing_token);
    headers.add_if_set("X-Lease-ID", lease_id);
    headers.add_if_set("X-Txn-ID", txn_id);
    headers.add_if_set("X-If-State-ETag", if_state_etag);
    if (if_version) headers.add("X-If-Version", if_version);
}

// Copies a parsed update answer and the correlation id into response.
int take_update_response(const Exchange &exchange, const kc_engine_update_response &parsed,
                         kc_engine_update_response *response, kc_engine_error *error, const char *message) {
    response->new_version = parsed.new_version;
    response->bytes = parsed.bytes;
    if (!copy_strings({{&response->new_state_etag, parsed.new_state_etag},
                       {&response->correlation_id, exchange.result.correlation_id}})) {
        kc_engine_update_response_cleanup(response);
        return kc_engine_set_protocol_error(error, message);
    }
    return KC_OK;
}

bool update_arguments_valid(const kc_engine_update_request *request) {
    return non_empty(request->key) && non_empty(request->txn_id) && request->fencing_token > 0;
}

// update and update_stream: the body is either the request's bytes or generated from body_map.
int run_update(kc_engine_client *client, const kc_engine_update_request *request, const vellum_map *body_map,
               const void *body_source, const vellum_write_options *body_options,
               kc_engine_update_response *response, kc_engine_error *error) {
    kc_engine_buffer path;
    kc_engine_buffer_init(&path);
    int code = build_key_path(&path, "/v1/update", client, request->key, request->KC_NAMESPACE_MEMBER);
    if (code != 0) return path_error(&path, code, error, "failed to build update path");
    char token[kNumberTextBytes];
    char version[kNumberTextBytes];
    if (kc_i64_format_base10(request->fencing_token, token, sizeof(token)) < 0)
        return path_error(&path, KC_ERR_NOMEM, error, "failed to prepare update headers");
    if (request->has_if_version && kc_i64_format_base10(request->if_version, version, sizeof(version)) < 0)
        return path_error(&path, KC_ERR_NOMEM, error, "failed to prepare update version header");

    Headers headers;
    headers.add("Content-Type", non_empty(request->content_type) ? request->content_type : "application/octet-stream");
    add_state_headers(headers, token, request->lease_id, request->txn_id, request->if_state_etag,
                      request->has_if_version ? version : nullptr);

    kc_engine_update_response parsed{};
    Exchange exchange(&kc_engine_update_response_map, &parsed);
    if (body_map) {
        code = kc_engine_http_json_request_stream(client, "POST", path.data, body_map, body_source, body_options,
                                                  headers.items, headers.count, &kc_engine_update_response_map,
                                                  &parsed, &exchange.result, error);
    } else {
        code = kc_engine_http_json_request(client, "POST", path.data, request->body,
                                           request->body ? request->body_length : 0, headers.items, headers.count,
                                           &kc_engine_update_response_map, &parsed, &exchange.result, error);
    }
    kc_engine_buffer_cleanup(&path);
    code = check_status(code, exchange.result, error);
    if (code != KC_OK) return code;
    return take_update_response(exchange, parsed, response, error, "failed to decode update response");
}

// Writer of get: appends every chunk of the state document to a growable buffer.
int capture_chunk(void *user, const void *bytes, size_t length, kc_engine_error *error) {
    if (kc_engine_buffer_append(static_cast<kc_engine_buffer *>(user), bytes, length) != 0) {
        kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to capture response body");
        return 0;
    }
    return 1;
}

} // namespace
} // namespace korvo::engine

using namespace korvo::engine;

extern "C" {

KC_API int kc_engine_client_acquire(kc_engine_client *client, const kc_engine_acquire_request *request,
                                    kc_engine_acquire_response *response, kc_engine_error *error) {
    if (!client || !request || !response) return required_arguments(error);
    kc_engine_acquire_response_cleanup(response);

    AcquireBody body{borrow(kc_engine_effective_namespace(client, request->KC_NAMESPACE_MEMBER)),
                     borrow(request->key),
                     request->ttl_seconds,
                     borrow(request->owner),
                     request->block_seconds,
                     request->if_not_exists ? 1 : 0,
                     borrow(request->txn_id)};
    BodyFields fields;
    fields.add(VELLUM_FIELD_STRING(AcquireBody, ns, "namespace", 0));
    fields.add(VELLUM_FIELD_STRING(AcquireBody, key, "key", 0));
    fields.add(VELLUM_FIELD_I64(AcquireBody, ttl_seconds, "ttl_seconds", 0));
    fields.add(VELLUM_FIELD_STRING(AcquireBody, owner, "owner", 0));
    if (request->block_seconds > 0) fields.add(VELLUM_FIELD_I64(AcquireBody, block_seconds, "block_seconds", 0));
    if (request->if_not_exists) fields.add(VELLUM_FIELD_BOOL(AcquireBody, if_not_exists, "if_not_exists", 0));
    if (non_empty(request->txn_id)) fields.add(VELLUM_FIELD_STRING(AcquireBody, txn_id, "txn_id", 0));
    const vellum_map body_map = fields.map("kc_engine_acquire_request", sizeof(AcquireBody));

    Headers headers;
    headers.add("Content-Type", "application/json");
    kc_engine_acquire_response parsed{};
    Exchange exchange(&kc_engine_acquire_response_map, &parsed);
    int code = kc_engine_http_json_request_stream(client, "POST", "/v1/acquire", &body_map, &body, nullptr,
                                                  headers.items, headers.count, &kc_engine_acquire_response_map,
                                                  &parsed, &exchange.result, error);
    code = check_status(code, exchange.result, error);
    if (code != KC_OK) return code;
    response->expires_at_unix = parsed.expires_at_unix;
    response->version = parsed.version;
    response->fencing_token = parsed.fencing_token;
    if (!copy_strings({{&response->KC_NAMESPACE_MEMBER, parsed.KC_NAMESPACE_MEMBER},
                       {&response->key, parsed.key},
                       {&response->owner, parsed.owner},
                       {&response->lease_id, parsed.lease_id},
                       {&response->txn_id, parsed.txn_id},
                       {&response->state_etag, parsed.state_etag},
                       {&response->correlation_id, exchange.result.correlation_id}})) {
        kc_engine_acquire_response_cleanup(response);
        return kc_engine_set_protocol_error(error, "failed to decode acquire response");
    }
    return KC_OK;
}

KC_API int kc_engine_client_keepalive(kc_engine_client *client, const kc_engine_keepalive_request *request,
                                      kc_engine_keepalive_response *response, kc_engine_error *error) {
    if (!client || !request || !response) return required_arguments(error);
    kc_engine_keepalive_response_cleanup(response);
    char token[kNumberTextBytes];
    if (kc_i64_format_base10(request->fencing_token, token, sizeof(token)) < 0)
        return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to prepare keepalive headers");

    KeepaliveBody body{borrow(kc_engine_effective_namespace(client, request->KC_NAMESPACE_MEMBER)),
                       borrow(request->key),
                       borrow(request->lease_id),
                       request->ttl_seconds,
                       request->fencing_token,
                       borrow(request->txn_id)};
    BodyFields fields;
    fields.add(VELLUM_FIELD_STRING(KeepaliveBody, ns, "namespace", 0));
    fields.add(VELLUM_FIELD_STRING(KeepaliveBody, key, "key", 0));
    fields.add(VELLUM_FIELD_STRING(KeepaliveBody, lease_id, "lease_id", 0));
    fields.add(VELLUM_FIELD_I64(KeepaliveBody, ttl_seconds, "ttl_seconds", 0));
    fields.add(VELLUM_FIELD_I64(KeepaliveBody, fencing_token, "fencing_token", 0));
    if (non_empty(request->txn_id)) fields.add(VELLUM_FIELD_STRING(KeepaliveBody, txn_id, "txn_id", 0));
    const vellum_map body_map = fields.map("kc_engine_keepalive_request", sizeof(KeepaliveBody));

    Headers headers;
    headers.add("Content-Type", "application/json");
    headers.add("X-Fencing-Token", token);
    kc_engine_keepalive_response parsed{};
    Exchange exchange(&kc_engine_keepalive_response_map, &parsed);
    int code = kc_engine_http_json_request_stream(client, "POST", "/v1/keepalive", &body_map, &body, nullptr,
                                                  headers.items, headers.count, &kc_engine_keepalive_response_map,
                                                  &parsed, &exchange.result, error);
    code = check_status(code, exchange.result, error);
    if (code != KC_OK) return code;
    response->expires_at_unix = parsed.expires_at_unix;
    response->version = parsed.version;
    if (!copy_strings({{&response->state_etag, parsed.state_etag},
                       {&response->correlation_id, exchange.result.correlation_id}})) {
        kc_engine_keepalive_response_cleanup(response);
        return kc_engine_set_protocol_error(error, "failed to decode keepalive response");
    }
    return KC_OK;
}

KC_API int kc_engine_client_release(kc_engine_client *client, const kc_engine_release_request *request,
                                    kc_engine_release_response *response, kc_engine_error *error) {
    if (!client || !request || !response) return required_arguments(error);
    kc_engine_release_response_cleanup(response);
    char token[kNumberTextBytes];
    if (kc_i64_format_base10(request->fencing_token, token, sizeof(token)) < 0)
        return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to prepare release headers");

    ReleaseBody body{borrow(kc_engine_effective_namespace(client, request->KC_NAMESPACE_MEMBER)),
                     borrow(request->key), borrow(request->lease_id), borrow(request->txn_id),
                     request->rollback ? 1 : 0};
    BodyFields fields;
    fields.add(VELLUM_FIELD_STRING(ReleaseBody, ns, "namespace", 0));
    fields.add(VELLUM_FIELD_STRING(ReleaseBody, key, "key", 0));
    fields.add(VELLUM_FIELD_STRING(ReleaseBody, lease_id, "lease_id", 0));
    if (non_empty(request->txn_id)) fields.add(VELLUM_FIELD_STRING(ReleaseBody, txn_id, "txn_id", 0));
    if (request->rollback) fields.add(VELLUM_FIELD_BOOL(ReleaseBody, rollback, "rollback", 0));
    const vellum_map body_map = fields.map("kc_engine_release_request", sizeof(ReleaseBody));

    Headers headers;
    headers.add("Content-Type", "application/json");
    headers.add("X-Fencing-Token", token);
    kc_engine_release_response parsed{};
    Exchange exchange(&kc_engine_release_response_map, &parsed);
    int code = kc_engine_http_json_request_stream(client, "POST", "/v1/release", &body_map, &body, nullptr,
                                                  headers.items, headers.count, &kc_engine_release_response_map,
                                                  &parsed, &exchange.result, error);
    code = check_status(code, exchange.result, error);
    if (code != KC_OK) return code;
    response->released = parsed.released;
    if (!copy_strings({{&response->correlation_id, exchange.result.correlation_id}})) {
        kc_engine_release_response_cleanup(response);
        return kc_engine_set_protocol_error(error, "failed to decode release response");
    }
    return KC_OK;
}

KC_API int kc_engine_client_get(kc_engine_client *client, const kc_engine_get_request *request,
                                kc_engine_get_response *response, kc_engine_error *error) {
    if (!client || !request || !response) return required_arguments(error);
    kc_engine_get_response_cleanup(response);
    if (!non_empty(request->key)) return kc_engine_set_client_error(error, KC_ERR_INVALID, "get.key is required");
    if (!request->public_read && !non_empty(request->lease_id))
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "get requires lease_id unless public_read is enabled");

    const kc_engine_get_stream_request stream_request{request->KC_NAMESPACE_MEMBER, request->key, request->lease_id,
                                                      request->fencing_token, request->public_read};
    kc_engine_get_stream_response stream_response{};
    kc_engine_buffer body;
    kc_engine_buffer_init(&body);
    // The streamed read needs an error record even when the caller passed none.
    kc_engine_error local;
    kc_engine_error_init(&local);
    kc_engine_error *sink = error ? error : &local;
    int code = kc_engine_client_get_into(client, &stream_request, capture_chunk, &body, &stream_response, sink);
    kc_engine_error_reset(&local);
    if (code == KC_OK) {
        // The captured buffer is system memory and NUL-terminated: the response takes it over.
        if (!stream_response.no_content && body.length > 0) {
            response->body = body.data;
            response->body_length = body.length;
            kc_engine_buffer_init(&body);
        }
        response->version = stream_response.version;
        response->fencing_token = stream_response.fencing_token;
        const char *content_type =
            stream_response.content_type ? stream_response.content_type : "application/octet-stream";
        if (!copy_strings({{&response->content_type, content_type},
                           {&response->etag, stream_response.etag},
                           {&response->correlation_id, stream_response.correlation_id}})) {
            kc_engine_get_response_cleanup(response);
            code = kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to copy get response");
        }
    }
    kc_engine_buffer_cleanup(&body);
    kc_engine_get_stream_response_cleanup(&stream_response);
    return code;
}

KC_API int kc_engine_client_update(kc_engine_client *client, const kc_engine_update_request *request,
                                   kc_engine_update_response *response, kc_engine_error *error) {
    if (!client || !request || !response) return required_arguments(error);
    kc_engine_update_response_cleanup(response);
    if (!update_arguments_valid(request))
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "update requires key, txn_id, and fencing_token");
    return run_update(client, request, nullptr, nullptr, nullptr, response, error);
}

KC_API int kc_engine_client_update_stream(kc_engine_client *client, const kc_engine_update_request *request,
                                          const vellum_map *body_map, const void *body_source,
                                          const vellum_write_options *body_options,
                                          kc_engine_update_response *response, kc_engine_error *error) {
    if (!client || !request || !response) return required_arguments(error);
    kc_engine_update_response_cleanup(response);
    if (!update_arguments_valid(request))
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "update requires key, txn_id, and fencing_token");
    if (!body_map || !body_source)
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "update_stream requires body map and source");
    return run_update(client, request, body_map, body_source, body_options, response, error);
}

KC_API int kc_engine_client_mutate(kc_engine_client *client, const kc_engine_mutate_request *request,
                                   kc_engine_update_response *response, kc_engine_error *error) {
    if (!client || !request || !response) return required_arguments(error);
    kc_engine_mutate_response_cleanup(response);
    // A missing expression would be sent as null (or read from a NULL array): refuse it here.
    bool mutations_valid = request->mutations || request->mutation_count == 0;
    for (size_t i = 0; mutations_valid && i < request->mutation_count; i++)
        mutations_valid = request->mutations[i] != nullptr;
    if (!mutations_valid) return kc_engine_set_client_error(error, KC_ERR_INVALID, "mutate requires mutations");

    kc_engine_buffer path;
    kc_engine_buffer_init(&path);
    int code = build_key_path(&path, "/v1/mutate", client, request->key, request->KC_NAMESPACE_MEMBER);
    if (code != 0) return path_error(&path, code, error, "failed to build mutate path");
    char token[kNumberTextBytes];
    char version[kNumberTextBytes];
    if (kc_i64_format_base10(request->fencing_token, token, sizeof(token)) < 0)
        return path_error(&path, KC_ERR_NOMEM, error, "failed to prepare mutate headers");
    if (request->has_if_version && kc_i64_format_base10(request->if_version, version, sizeof(version)) < 0)
        return path_error(&path, KC_ERR_NOMEM, error, "failed to prepare mutate version header");

    MutateBody body{};
    body.ns = borrow(kc_engine_effective_namespace(client, request->KC_NAMESPACE_MEMBER));
    body.mutations.items = const_cast<char **>(request->mutations);
    body.mutations.count = request->mutation_count;
    body.mutations.capacity = request->mutation_count;
    body.mutations.flags = 0; // borrowed: never grown or freed
    BodyFields fields;
    fields.add(VELLUM_FIELD_STRING(MutateBody, ns, "namespace", 0));
    fields.add(VELLUM_FIELD_ARRAY(MutateBody, mutations, "mutations", VELLUM_KIND_STRING_ARRAY, 0));
    const vellum_map body_map = fields.map("kc_engine_mutate_body_json", sizeof(MutateBody));

    Headers headers;
    headers.add("Content-Type", "application/json");
    add_state_headers(headers, token, request->lease_id, request->txn_id, request->if_state_etag,
                      request->has_if_version ? version : nullptr);
    kc_engine_update_response parsed{};
    Exchange exchange(&kc_engine_update_response_map, &parsed);
    code = kc_engine_http_json_request_stream(client, "POST", path.data, &body_map, &body, nullptr, headers.items,
                                              headers.count, &kc_engine_update_response_map, &parsed,
                                              &exchange.result, error);
    kc_engine_buffer_cleanup(&path);
    code = check_status(code, exchange.result, error);
    if (code != KC_OK) return code;
    return take_update_response(exchange, parsed, response, error, "failed to decode mutate response");
}

KC_API int kc_engine_client_update_metadata(kc_engine_client *client, const kc_engine_metadata_request *request,
                                            kc_engine_metadata_response *response, kc_engine_error *error) {
    if (!client || !request || !response) return required_arguments(error);
    kc_engine_metadata_response_cleanup(response);
    kc_engine_buffer path;
    kc_engine_buffer_init(&path);
    int code = build_key_path(&path, "/v1/metadata", client, request->key, request->KC_NAMESPACE_MEMBER);
    if (code != 0) return path_error(&path, code, error, "failed to build metadata path");
    char token[kNumberTextBytes];
    char version[kNumberTextBytes];
    if (kc_i64_format_base10(request->fencing_token, token, sizeof(token)) < 0)
        return path_error(&path, KC_ERR_NOMEM, error, "failed to prepare metadata headers");
    if (request->has_if_version && kc_i64_format_base10(request->if_version, version, sizeof(version)) < 0)
        return path_error(&path, KC_ERR_NOMEM, error, "failed to prepare metadata version header");

    MetadataBody body{request->query_hidden ? 1 : 0};
    BodyFields fields;
    if (request->has_query_hidden) fields.add(VELLUM_FIELD_BOOL(MetadataBody, query_hidden, "query_hidden", 0));
    const vellum_map body_map = fields.map("kc_engine_metadata_request", sizeof(MetadataBody));

    Headers headers;
    headers.add("Content-Type", "application/json");
    headers.add("X-Fencing-Token", token);
    headers.add_if_set("X-Lease-ID", request->lease_id);
    headers.add_if_set("X-Txn-ID", request->txn_id);
    if (request->has_if_version) headers.add("X-If-Version", version);
    MetadataResponseJson parsed{};
    Exchange exchange(&kc_engine_metadata_response_map, &parsed);
    code = kc_engine_http_json_request_stream(client, "POST", path.data, &body_map, &body, nullptr, headers.items,
                                              headers.count, &kc_engine_metadata_response_map, &parsed,
                                              &exchange.result, error);
    kc_engine_buffer_cleanup(&path);
    code = check_status(code, exchange.result, error);
    if (code != KC_OK) return code;
    response->version = parsed.version;
    response->metadata_present = parsed.metadata.query_hidden_present ? 1 : 0;
    response->query_hidden = parsed.metadata.query_hidden;
    if (!copy_strings({{&response->KC_NAMESPACE_MEMBER, parsed.ns},
                       {&response->key, parsed.key},
                       {&response->correlation_id, exchange.result.correlation_id}})) {
        kc_engine_metadata_response_cleanup(response);
        return kc_engine_set_protocol_error(error, "failed to decode metadata response");
    }
    return KC_OK;
}

KC_API int kc_engine_client_remove(kc_engine_client *client, const kc_engine_remove_request *request,
                                   kc_engine_remove_response *response, kc_engine_error *error) {
    if (!client || !request || !response) return required_arguments(error);
    kc_engine_remove_response_cleanup(response);
    if (!non_empty(request->key) || !non_empty(request->txn_id) || request->fencing_token <= 0)
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "remove requires key, txn_id, and fencing_token");
    kc_engine_buffer path;
    kc_engine_buffer_init(&path);
    int code = build_key_path(&path, "/v1/remove", client, request->key, request->KC_NAMESPACE_MEMBER);
    if (code != 0) return path_error(&path, code, error, "failed to build remove path");
    char token[kNumberTextBytes];
    char version[kNumberTextBytes];
    if (kc_i64_format_base10(request->fencing_token, token, sizeof(token)) < 0)
        return path_error(&path, KC_ERR_NOMEM, error, "failed to prepare remove headers");
    if (request->has_if_version && kc_i64_format_base10(request->if_version, version, sizeof(version)) < 0)
        return path_error(&path, KC_ERR_NOMEM, error, "failed to prepare remove version header");

    Headers headers;
    headers.add("Content-Type", "application/json");
    add_state_headers(headers, token, request->lease_id, request->txn_id, request->if_state_etag,
                      request->has_if_version ? version : nullptr);
    kc_engine_remove_response parsed{};
    Exchange exchange(&kc_engine_remove_response_map, &parsed);
    code = kc_engine_http_json_request(client, "POST", path.data, nullptr, 0, headers.items, headers.count,
                                       &kc_engine_remove_response_map, &parsed, &exchange.result, error);
    kc_engine_buffer_cleanup(&path);
    code = check_status(code, exchange.result, error);
    if (code != KC_OK) return code;
    response->removed = parsed.removed;
    response->new_version = parsed.new_version;
    if (!copy_strings({{&response->correlation_id, exchange.result.correlation_id}})) {
        kc_engine_remove_response_cleanup(response);
        return kc_engine_set_protocol_error(error, "failed to decode remove response");
    }
    return KC_OK;
}

KC_API int kc_engine_client_describe(kc_engine_client *client, const kc_engine_describe_request *request,
                                     kc_engine_describe_response *response, kc_engine_error *error) {
    if (!client || !request || !response) return required_arguments(error);
    kc_engine_describe_response_cleanup(response);
    if (!non_empty(request->key)) return kc_engine_set_client_error(error, KC_ERR_INVALID, "describe.key is required");
    kc_engine_buffer path;
    kc_engine_buffer_init(&path);
    int code = build_key_path(&path, "/v1/describe", client, request->key, request->KC_NAMESPACE_MEMBER);
    if (code != 0) return path_error(&path, code, error, "failed to build describe path");

    DescribeResponseJson parsed{};
    Exchange exchange(&kc_engine_describe_response_map, &parsed);
    code = kc_engine_http_json_request(client, "GET", path.data, nullptr, 0, nullptr, 0,
                                       &kc_engine_describe_response_map, &parsed, &exchange.result, error);
    kc_engine_buffer_cleanup(&path);
    code = check_status(code, exchange.result, error);
    if (code != KC_OK) return code;
    response->expires_at_unix = parsed.expires_at_unix;
    response->version = parsed.version;
    response->updated_at_unix = parsed.updated_at_unix;
    response->metadata_present = parsed.metadata.query_hidden_present ? 1 : 0;
    response->query_hidden = parsed.metadata.query_hidden;
    if (!copy_strings({{&response->KC_NAMESPACE_MEMBER, parsed.ns},
                       {&response->key, parsed.key},
                       {&response->owner, parsed.owner},
                       {&response->lease_id, parsed.lease_id},
                       {&response->state_etag, parsed.state_etag},
                       {&response->correlation_id, exchange.result.correlation_id}})) {
        kc_engine_describe_response_cleanup(response);
        return kc_engine_set_protocol_error(error, "failed to decode describe response");
    }
    return KC_OK;
}

// ---- cleanups ------------------------------------------------------------------------------

KC_API void kc_engine_acquire_response_cleanup(kc_engine_acquire_response *response) {
    if (!response) return;
    for (char *s : {response->KC_NAMESPACE_MEMBER, response->key, response->owner, response->lease_id,
                    response->txn_id, response->state_etag, response->correlation_id})
        std::free(s);
    std::memset(response, 0, sizeof(*response));
}

KC_API void kc_engine_keepalive_response_cleanup(kc_engine_keepalive_response *response) {
    if (!response) return;
    std::free(response->state_etag);
    std::free(response->correlation_id);
    std::memset(response, 0, sizeof(*response));
}

KC_API void kc_engine_release_response_cleanup(kc_engine_release_response *response) {
    if (!response) return;
    std::free(response->correlation_id);
    std::memset(response, 0, sizeof(*response));
}

KC_API void kc_engine_get_response_cleanup(kc_engine_get_response *response) {
    if (!response) return;
    for (char *s : {response->body, response->content_type, response->etag, response->correlation_id}) std::free(s);
    std::memset(response, 0, sizeof(*response));
}

KC_API void kc_engine_mutate_response_cleanup(kc_engine_update_response *response) {
    kc_engine_update_response_cleanup(response);
}

KC_API void kc_engine_metadata_response_cleanup(kc_engine_metadata_response *response) {
    if (!response) return;
    for (char *s : {response->KC_NAMESPACE_MEMBER, response->key, response->correlation_id}) std::free(s);
    std::memset(response, 0, sizeof(*response));
}

KC_API void kc_engine_remove_response_cleanup(kc_engine_remove_response *response) {
    if (!response) return;
    std::free(response->correlation_id);
    std::memset(response, 0, sizeof(*response));
}

KC_API void kc_engine_describe_response_cleanup(kc_engine_describe_response *response) {
    if (!response) return;
    for (char *s : {response->KC_NAMESPACE_MEMBER, response->key, response->owner, response->lease_id,
                    response->state_etag, response->correlation_id})
        std::free(s);
    std::memset(response, 0, sizeof(*response));
}

} // extern "C"
