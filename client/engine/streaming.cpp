// Streaming transfers: raw bodies moved between libcurl and caller readers and writers, with
// header capture, typed JSON answers and error bodies parsed on the way, endpoint failover on
// passive nodes; the query and header builders of the streaming operations; the streamed state
// read and write; the multipart upload reader.
#include "streaming.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace korvo::engine {

int begin_request_path(kc_engine_buffer *path, const char *base, kc_engine_error *error) {
    kc_engine_buffer_init(path);
    if (kc_engine_buffer_append_cstr(path, base) != 0) {
        kc_engine_buffer_cleanup(path);
        return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to allocate request path");
    }
    return KC_OK;
}

int build_query_path(const kc_engine_client *client, const char *base, const kc_engine_attachment_query &query,
                     OwnedText &path, kc_engine_error *error) {
    kc_engine_buffer text;
    if (int code = begin_request_path(&text, base, error)) return code;
    if (int code = kc_engine_attachment_build_query(client, &text, &query, error)) return code;
    path.reset(text.data);
    return KC_OK;
}

bool copy_owned(char **slot, const char *value) {
    char *copy = nullptr;
    if (value) {
        copy = kc_engine_strdup_local(value);
        if (!copy) return false;
    }
    std::free(*slot);
    *slot = copy;
    return true;
}

namespace {

constexpr size_t kDefaultByteLimit = 1048576;
constexpr int kCurlSslCertProblem = 58;

constexpr vellum_field kUpdateResponseFields[] = {
    VELLUM_FIELD_I64(kc_engine_update_response, new_version, "new_version", 0),
    VELLUM_FIELD_STRING(kc_engine_update_response, new_state_etag, "new_state_etag", 0),
    VELLUM_FIELD_I64(kc_engine_update_response, bytes, "bytes", 0),
};

// The reader of one streaming upload and the state its failures are recorded in.
struct UploadContext {
    kc_engine_reader_fn reader;
    void *reader_user;
    kc_engine_stream_state *state;
};

void free_captured(kc_engine_stream_state *state) {
    char **strings[] = {&state->correlation_id,    &state->content_type,      &state->etag,
                        &state->attachment_id,     &state->attachment_name,   &state->attachment_sha256};
    for (char **slot : strings) kc_engine_free_string(slot);
    vellum_curl_parse_cleanup(&state->parser);
    vellum_cleanup(&kc_engine_http_error_map, &state->error_body);
}

// Back to the state of a fresh attempt; the caller's writer, error record and typed
// destination stay.
void reset_attempt(kc_engine_stream_state *state, size_t limit) {
    free_captured(state);
    kc_engine_writer_fn writer = state->writer;
    void *writer_user = state->writer_user;
    kc_engine_error *error = state->error;
    const vellum_map *map = state->response_map;
    void *destination = state->response_destination;
    std::memset(state, 0, sizeof(*state));
    state->writer = writer;
    state->writer_user = writer_user;
    state->error = error;
    state->response_map = map;
    state->response_destination = destination;
    state->byte_limit = limit;
}

size_t header_callback(char *data, size_t size, size_t count, void *user) {
    auto *state = static_cast<kc_engine_stream_state *>(user);
    size_t length = size * count;
    if (!state || !data || length <= 4) return length;
    std::string_view line(data, length);
    if (take_status_line(line, &state->http_status, &state->error_body_mode)) return length;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) return length;
    std::string_view name = line.substr(0, colon);
    std::string_view value = trim_header_value(line.substr(colon + 1));

    struct StringHeader {
        std::string_view name;
        char **slot;
    };
    const StringHeader strings[] = {
        {"ETag", &state->etag},
        {"Content-Type", &state->content_type},
        {"X-Correlation-Id", &state->correlation_id},
        {"X-Attachment-ID", &state->attachment_id},
        {"X-Attachment-Name", &state->attachment_name},
        {"X-Attachment-SHA256", &state->attachment_sha256},
    };
    for (const StringHeader &entry : strings) {
        if (!equals_ignoring_case(name, entry.name)) continue;
        if (!store_range(entry.slot, value))
            return stop_transfer(*state, KC_ERR_NOMEM, "failed to capture response header");
        return length;
    }
    struct NumberHeader {
        std::string_view name;
        long *slot;
        const char *message;
    };
    const NumberHeader numbers[] = {
        {"X-Key-Version", &state->key_version, "attachment key version is out of range"},
        {"X-Fencing-Token", &state->fencing_token, "attachment fencing token is out of range"},
        {"X-Attachment-Size", &state->attachment_size, "attachment size is out of range"},
        {"X-Attachment-Created-At", &state->attachment_created_at, "attachment created_at is out of range"},
        {"X-Attachment-Updated-At", &state->attachment_updated_at, "attachment updated_at is out of range"},
    };
    for (const NumberHeader &entry : numbers) {
        if (!equals_ignoring_case(name, entry.name)) continue;
        long parsed = 0;
        if (!kc_parse_long_base10_range_checked(value.data(), value.size(), &parsed))
            return stop_transfer(*state, KC_ERR_PROTOCOL, entry.message);
        *entry.slot = parsed;
        return length;
    }
    return length;
}

size_t write_callback(char *data, size_t size, size_t count, void *user) {
    auto *state = static_cast<kc_engine_stream_state *>(user);
    size_t length = size * count;
    if (!state) return 0;
    if (state->response_map || state->http_status >= 400)
        return take_typed_chunk(*state, state->http_status, state->byte_limit, UnmappedBody::Refuse, data, length);
    // Only a 2xx body with content is the requested document; anything else (an interim or
    // redirect page) never reaches the caller's writer.
    long status = state->http_status;
    if (!is_success(status) || status == 204 || status == 205 || !state->writer || length == 0) return length;
    if (!state->writer(state->writer_user, data, length, state->error)) {
        state->aborted = 1;
        if (state->error->code == KC_OK) kc_engine_set_transport_error(state->error, "stream writer callback failed");
        return 0;
    }
    return length;
}

size_t read_callback(char *buffer, size_t size, size_t count, void *user) {
    auto *upload = static_cast<UploadContext *>(user);
    kc_engine_stream_state *state = upload->state;
    size_t capacity = size * count;
    size_t produced = upload->reader(upload->reader_user, buffer, capacity, state->error);
    if (produced == 0 && state->error->code != KC_OK) {
        state->aborted = 1;
        return CURL_READFUNC_ABORT;
    }
    if (produced > capacity) {
        stop_transfer(*state, KC_ERR_TRANSPORT, "stream reader returned more bytes than requested");
        return CURL_READFUNC_ABORT;
    }
    return produced;
}

CURLcode ssl_ctx_thunk(CURL *curl, void *ssl_ctx, void *client) {
    return static_cast<CURLcode>(kc_engine_attachment_ssl_ctx(curl, ssl_ctx, client));
}

void set_transfer_options(CURL *h, const kc_engine_client *client, const char *url, const char *method,
                          curl_slist *header_list, kc_engine_stream_state *state, UploadContext *upload) {
    curl_easy_setopt(h, CURLOPT_URL, url);
    if (header_list) curl_easy_setopt(h, CURLOPT_HTTPHEADER, header_list);
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write_callback);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, state);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, header_callback);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, state);
    if (client->timeout_ms > 0) curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(client->timeout_ms));
    set_connection_options(h, client, ssl_ctx_thunk);
    if (upload) {
        curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(h, CURLOPT_READFUNCTION, read_callback);
        curl_easy_setopt(h, CURLOPT_READDATA, upload);
    }
}

// Copies what is left of text[0, length) after *position into out, at most capacity bytes,
// and moves *position past it; returns the bytes copied (0 once all is sent).
size_t copy_unsent(const char *text, size_t length, size_t *position, char *out, size_t capacity) {
    if (*position >= length) return 0;
    size_t n = length - *position;
    if (n > capacity) n = capacity;
    std::memcpy(out, text + *position, n);
    *position += n;
    return n;
}

// The server error of a non-2xx answer, from its error body when one was parsed.
int server_error_from_state(kc_engine_stream_state *state) {
    kc_engine_http_result result;
    std::memset(&result, 0, sizeof(result));
    result.http_status = state->http_status;
    result.correlation_id = state->correlation_id;
    if (state->parser_started && state->error_body_mode) {
        vellum_status finished = vellum_curl_parse_finish(&state->parser);
        if (finished != VELLUM_STATUS_OK && finished != VELLUM_STATUS_TRUNCATED)
            return kc_engine_vellum_error_from_status(state->error, finished, &state->parser.error,
                                                      "failed to finish typed JSON error response");
        const kc_engine_http_error_body &body = state->error_body;
        result.server_error = body.error;
        result.detail = body.detail;
        result.leader_endpoint = body.leader_endpoint;
        result.current_etag = body.current_etag;
        result.current_version = static_cast<long>(body.current_version);
        result.retry_after_seconds = static_cast<long>(body.retry_after_seconds);
    }
    return kc_engine_set_server_error_from_result(state->error, &result);
}

// Outcome of one attempt: a final code, or the next endpoint.
enum class Attempt { Done, NextEndpoint };

Attempt run_attempt(kc_engine_client *client, size_t index, const char *method, const char *path,
                    curl_slist *header_list, UploadContext *upload, kc_engine_reset_fn reset, void *reset_user,
                    kc_engine_stream_state *state, int *code) {
    kc_engine_error *error = state->error;
    OwnedText url(endpoint_url(client, client->endpoints[index], path));
    if (!url) {
        *code = kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to allocate request URL");
        return Attempt::Done;
    }
    std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
    if (!curl) {
        *code = kc_engine_set_transport_error(error, "failed to initialize curl");
        return Attempt::Done;
    }
    if (index > 0 && reset) {
        int rewound = reset(reset_user, error);
        if (rewound != 0) {
            if (error->code == KC_OK) kc_engine_set_transport_error(error, "failed to rewind upload payload");
            *code = rewound;
            return Attempt::Done;
        }
    }
    set_transfer_options(curl.get(), client, url.get(), method, header_list, state, upload);
    CURLcode performed = curl_easy_perform(curl.get());
    if (performed != CURLE_OK) {
        if (state->aborted && error->code != KC_OK) {
            *code = error->code;
        } else {
            *code = kc_engine_set_transport_error(error, curl_easy_strerror(performed));
        }
        return Attempt::Done;
    }
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    state->http_status = status;
    if (is_success(status)) {
        *code = KC_OK;
        if (state->parser_started) {
            vellum_status finished = vellum_curl_parse_finish(&state->parser);
            if (finished != VELLUM_STATUS_OK && finished != VELLUM_STATUS_TRUNCATED)
                *code = kc_engine_vellum_error_from_status(error, finished, &state->parser.error,
                                                           "failed to finish typed JSON response");
        }
        return Attempt::Done;
    }
    *code = server_error_from_state(state);
    if (error->server_error && std::strcmp(error->server_error, "node_passive") == 0) {
        kc_engine_error_reset(error);
        return Attempt::NextEndpoint;
    }
    return Attempt::Done;
}

} // namespace
} // namespace korvo::engine

extern "C" {

// Declared exported (KC_API) in korvoc_engine.h.
const vellum_map kc_engine_update_response_map = {
    "kc_engine_update_response_json", sizeof(kc_engine_update_response), korvo::engine::kUpdateResponseFields,
    sizeof(korvo::engine::kUpdateResponseFields) / sizeof(vellum_field)};

KC_API void kc_engine_update_response_cleanup(kc_engine_update_response *response) {
    if (!response) return;
    std::free(response->new_state_etag);
    std::free(response->correlation_id);
    std::memset(response, 0, sizeof(*response));
}

KC_API void kc_engine_stream_state_cleanup(kc_engine_stream_state *state) {
    if (!state) return;
    korvo::engine::free_captured(state);
}

KC_API int kc_engine_perform_streaming(kc_engine_client *client, const char *method, const char *path,
                                       struct curl_slist *header_list, kc_engine_reader_fn reader, void *reader_user,
                                       kc_engine_reset_fn reset, void *reset_user, const vellum_map *response_map,
                                       void *response_destination, kc_engine_stream_state *state) {
    using namespace korvo::engine;
    if (!client || !method || !path || !state)
        return kc_engine_set_client_error(state ? state->error : nullptr, KC_ERR_INVALID,
                                          "perform_streaming requires client, method, path, and state");
    // The callbacks record their failures in an error record, so one is needed even when
    // the caller gave none.
    kc_engine_error local;
    kc_engine_error_init(&local);
    kc_engine_error *caller_error = state->error;
    state->error = caller_error ? caller_error : &local;
    kc_engine_error_reset(state->error);
    state->response_map = response_map;
    state->response_destination = response_destination;
    const size_t limit = client->max_response_bytes ? client->max_response_bytes : kDefaultByteLimit;

    int code = KC_OK;
    bool done = false;
    UploadContext upload{reader, reader_user, state};
    for (size_t i = 0; i < client->endpoint_count && client->endpoints && !done; i++) {
        reset_attempt(state, limit);
        done = run_attempt(client, i, method, path, header_list, reader ? &upload : nullptr, reset, reset_user, state,
                           &code) == Attempt::Done;
    }
    if (!done) code = kc_engine_set_transport_error(state->error, "all endpoints rejected the request");
    kc_engine_error_reset(&local);
    state->error = caller_error;
    return code;
}

KC_API int kc_engine_attachment_ssl_ctx(void *, void *ssl_ctx, void *user) {
    using korvo::engine::kCurlSslCertProblem;
    auto *client = static_cast<kc_engine_client *>(user);
    auto *ctx = static_cast<SSL_CTX *>(ssl_ctx);
    if (!client || !ctx) return kCurlSslCertProblem;
    X509_STORE *store = SSL_CTX_get_cert_store(ctx);
    if (!store) return kCurlSslCertProblem;
    const kc_engine_bundle &bundle = client->bundle;
    if ((bundle.client_cert && SSL_CTX_use_certificate(ctx, bundle.client_cert) != 1) ||
        (bundle.private_key && SSL_CTX_use_PrivateKey(ctx, bundle.private_key) != 1)) {
        ERR_clear_error();
        return kCurlSslCertProblem;
    }
    for (size_t i = 0; i < bundle.ca_count; i++) X509_STORE_add_cert(store, bundle.ca_certs[i]);
    for (size_t i = 0; i < bundle.chain_count; i++) {
        // The context takes over the extra reference; a rejected one is given back.
        if (X509_up_ref(bundle.chain_certs[i]) == 1 && SSL_CTX_add_extra_chain_cert(ctx, bundle.chain_certs[i]) != 1)
            X509_free(bundle.chain_certs[i]);
    }
    ERR_clear_error(); // duplicates in the store are expected and harmless
    return 0;
}

KC_API int kc_engine_attachment_build_query(const kc_engine_client *client, kc_engine_buffer *path,
                                            const kc_engine_attachment_query *query, kc_engine_error *error) {
    using korvo::engine::present;
    if (!client || !path || !query)
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "attachment query requires client, path, and query");
    struct Part {
        const char *prefix;
        const char *value;
        bool send;
        const char *message;
    };
    char max_bytes[32] = "";
    if (query->has_max_bytes && kc_i64_format_base10(query->max_bytes, max_bytes, sizeof(max_bytes)) < 0) {
        kc_engine_buffer_cleanup(path);
        return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to format max_bytes");
    }
    const Part parts[] = {
        {"?key=", query->key, true, "failed to encode key"},
        {"&namespace=", kc_engine_effective_namespace(client, query->KC_NAMESPACE_MEMBER), true,
         "failed to encode namespace"},
        {"&name=", query->name, present(query->name), "failed to encode name"},
        {"&name=", query->selector_name, present(query->selector_name), "failed to encode attachment selector name"},
        {"&id=", query->selector_id, present(query->selector_id), "failed to encode attachment selector id"},
        {"&content_type=", query->content_type, present(query->content_type), "failed to encode content_type"},
        {"&prevent_overwrite=1", nullptr, query->prevent_overwrite != 0, "failed to allocate request path"},
        {"&max_bytes=", max_bytes, query->has_max_bytes != 0, "failed to format max_bytes"},
        {"&public=1", nullptr, query->public_read != 0, "failed to allocate request path"},
    };
    for (const Part &part : parts) {
        if (!part.send) continue;
        bool ok = kc_engine_buffer_append_cstr(path, part.prefix) == 0;
        if (ok && part.value) {
            char *encoded = kc_engine_url_encode(part.value);
            ok = encoded && kc_engine_buffer_append_cstr(path, encoded) == 0;
            std::free(encoded);
        }
        if (!ok) {
            kc_engine_buffer_cleanup(path);
            return kc_engine_set_client_error(error, KC_ERR_NOMEM, part.message);
        }
    }
    return KC_OK;
}

KC_API struct curl_slist *kc_engine_build_stream_headers(const char *content_type, const char *accept,
                                                         const char *lease_id, const char *txn_id,
                                                         int64_t fencing_token) {
    using korvo::engine::present;
    char token[32] = "";
    if (fencing_token > 0 && kc_i64_format_base10(fencing_token, token, sizeof(token)) < 0) return nullptr;
    struct Line {
        const char *name;
        const char *value;
    };
    const Line lines[] = {{"Accept", accept},       {"Content-Type", content_type}, {"X-Lease-ID", lease_id},
                          {"X-Txn-ID", txn_id},     {"X-Fencing-Token", token}};
    curl_slist *list = nullptr;
    for (const Line &line : lines) {
        if (!present(line.value)) continue;
        curl_slist *grown = korvo::engine::append_header_line(list, line.name, line.value);
        if (!grown) {
            curl_slist_free_all(list);
            return nullptr;
        }
        list = grown;
    }
    return list;
}

KC_API void kc_engine_get_stream_response_cleanup(kc_engine_get_stream_response *response) {
    if (!response) return;
    std::free(response->content_type);
    std::free(response->etag);
    std::free(response->correlation_id);
    std::memset(response, 0, sizeof(*response));
}

KC_API int kc_engine_client_get_into(kc_engine_client *client, const kc_engine_get_stream_request *request,
                                     kc_engine_writer_fn writer, void *writer_user,
                                     kc_engine_get_stream_response *response, kc_engine_error *error) {
    using namespace korvo::engine;
    if (!client || !request || !writer || !response || !error || !present(request->key))
        return kc_engine_set_client_error(error, KC_ERR_INVALID,
                                          "get_into requires client, request, writer, response, error, and key");
    if (!request->public_read && !present(request->lease_id))
        return kc_engine_set_client_error(error, KC_ERR_INVALID,
                                          "get_into requires lease_id unless public_read is enabled");
    kc_engine_get_stream_response_cleanup(response);

    kc_engine_attachment_query query{};
    query.key = request->key;
    query.KC_NAMESPACE_MEMBER = request->KC_NAMESPACE_MEMBER;
    query.public_read = request->public_read;
    OwnedText path;
    if (int code = build_query_path(client, "/v1/get", query, path, error)) return code;

    std::unique_ptr<curl_slist, SlistFree> headers(
        kc_engine_build_stream_headers(nullptr, "application/json", request->lease_id, nullptr, request->fencing_token));
    if (!headers) return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to build get_into headers");

    StreamState stream(error, writer, writer_user);
    const kc_engine_stream_state &state = stream.state;
    int code = stream_download(client, path.get(), headers.get(), &stream.state);
    if (code == KC_OK) {
        response->no_content = state.http_status == 204;
        if (!copy_owned(&response->content_type, state.content_type) || !copy_owned(&response->etag, state.etag) ||
            !copy_owned(&response->correlation_id, state.correlation_id)) {
            kc_engine_get_stream_response_cleanup(response);
            code = kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to capture get response metadata");
        } else {
            response->version = state.key_version;
            response->fencing_token = state.fencing_token;
        }
    }
    return code;
}

KC_API int kc_engine_client_update_from(kc_engine_client *client, const kc_engine_update_from_request *request,
                                        kc_engine_reader_fn reader, void *reader_user,
                                        kc_engine_update_response *response, kc_engine_error *error) {
    using namespace korvo::engine;
    if (!client || !request || !response || !error || !present(request->key) || !present(request->lease_id) ||
        request->fencing_token <= 0)
        return kc_engine_set_client_error(
            error, KC_ERR_INVALID, "update_from requires client, request, response, error, key, lease_id, and fencing_token");

    // Failover resends the whole body, so with several endpoints the payload must be a
    // source that can be rewound; that is settled before anything is sent.
    kc_engine_reset_fn reset = nullptr;
    void *reset_user = nullptr;
    if (reader) {
        if (client->endpoint_count > 1) {
            if (reader != kc_engine_read_bridge)
                return kc_engine_set_client_error(error, KC_ERR_INVALID,
                                                  "multi-endpoint updates require kc_source-backed rewindable payloads");
            kc_source *const *source = static_cast<kc_source *const *>(reader_user);
            if (!source || !*source)
                return kc_engine_set_client_error(error, KC_ERR_INVALID, "payload reset requires source");
            if (!(*source)->reset)
                return kc_engine_set_client_error(error, KC_ERR_INVALID, "payload source is not rewindable");
        }
        reset = kc_engine_reset_bridge;
        reset_user = reader_user;
    } else {
        reader = kc_engine_empty_reader;
        reader_user = nullptr;
    }
    kc_engine_update_response_cleanup(response);

    kc_engine_attachment_query query{};
    query.key = request->key;
    query.KC_NAMESPACE_MEMBER = request->KC_NAMESPACE_MEMBER;
    OwnedText path;
    if (int code = build_query_path(client, "/v1/update", query, path, error)) return code;

    std::unique_ptr<curl_slist, SlistFree> headers(kc_engine_build_stream_headers(
        present(request->content_type) ? request->content_type : "application/json", "application/json",
        request->lease_id, request->txn_id, request->fencing_token));
    if (!headers) return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to build update_from headers");
    struct Extra {
        bool send;
        const char *name;
        const char *value;
        const char *message;
    };
    char version[32] = "";
    if (request->has_if_version && kc_i64_format_base10(request->if_version, version, sizeof(version)) < 0)
        return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to append update_from if_version header");
    const Extra extras[] = {
        {present(request->if_state_etag), "X-If-State-ETag", request->if_state_etag,
         "failed to append update_from if_state_etag header"},
        {request->has_if_version != 0, "X-If-Version", version, "failed to append update_from if_version header"},
    };
    for (const Extra &extra : extras) {
        if (!extra.send) continue;
        curl_slist *grown = append_header_line(headers.get(), extra.name, extra.value);
        if (!grown) return kc_engine_set_client_error(error, KC_ERR_NOMEM, extra.message);
        headers.release();
        headers.reset(grown);
    }

    kc_engine_update_response parsed;
    std::memset(&parsed, 0, sizeof(parsed));
    StreamState stream(error);
    int code = kc_engine_perform_streaming(client, "POST", path.get(), headers.get(), reader, reader_user, reset,
                                           reset_user, &kc_engine_update_response_map, &parsed, &stream.state);
    if (code == KC_OK) {
        response->new_version = parsed.new_version;
        response->bytes = parsed.bytes;
        if (!copy_owned(&response->new_state_etag, parsed.new_state_etag)) {
            code = kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to copy update response");
        } else if (!copy_owned(&response->correlation_id, stream.state.correlation_id)) {
            code = kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to allocate update_from correlation id");
        }
        if (code != KC_OK) kc_engine_update_response_cleanup(response);
    }
    vellum_cleanup(&kc_engine_update_response_map, &parsed);
    return code;
}

KC_API size_t kc_engine_multipart_upload_read(void *user, void *buffer, size_t capacity, kc_engine_error *error) {
    using korvo::engine::copy_unsent;
    auto *upload = static_cast<kc_engine_multipart_upload *>(user);
    if (!upload) {
        kc_engine_set_client_error(error, KC_ERR_INVALID, "multipart upload read requires state");
        return 0;
    }
    if (capacity == 0 || !buffer) return 0;
    auto *out = static_cast<char *>(buffer);
    if (upload->prefix_position < upload->prefix_length)
        return copy_unsent(upload->prefix, upload->prefix_length, &upload->prefix_position, out, capacity);
    if (!upload->payload_done) {
        size_t n = upload->reader ? upload->reader(upload->reader_user, buffer, capacity, error) : 0;
        if (n > 0) return n;
        if (error && error->code != KC_OK) return 0;
        upload->payload_done = 1;
    }
    return copy_unsent(upload->suffix, upload->suffix_length, &upload->suffix_position, out, capacity);
}

KC_API int kc_engine_multipart_upload_reset(void *user, kc_engine_error *error) {
    auto *upload = static_cast<kc_engine_multipart_upload *>(user);
    if (!upload) return kc_engine_set_client_error(error, KC_ERR_INVALID, "multipart upload reset requires state");
    upload->prefix_position = 0;
    upload->suffix_position = 0;
    upload->payload_done = 0;
    return upload->reset ? upload->reset(upload->reset_user, error) : KC_OK;
}

} // extern "C"
