// Attachment operations: streamed upload and download, listing, deleting one or all, and the
// records and maps of their JSON answers.
#include "http_request.h"
#include "streaming.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace korvo::engine {
namespace {

constexpr vellum_field kInfoFields[] = {
    VELLUM_FIELD_STRING(kc_engine_attachment_info, id, "id", 0),
    VELLUM_FIELD_STRING(kc_engine_attachment_info, name, "name", 0),
    VELLUM_FIELD_I64(kc_engine_attachment_info, size, "size", 0),
    VELLUM_FIELD_STRING(kc_engine_attachment_info, plaintext_sha256, "plaintext_sha256", 0),
    VELLUM_FIELD_STRING(kc_engine_attachment_info, content_type, "content_type", 0),
    VELLUM_FIELD_I64(kc_engine_attachment_info, created_at_unix, "created_at_unix", 0),
    VELLUM_FIELD_I64(kc_engine_attachment_info, updated_at_unix, "updated_at_unix", 0),
};

} // namespace
} // namespace korvo::engine

extern "C" {
// Declared exported (KC_API) in korvoc_engine.h; defined here first because the maps below nest it.
const vellum_map kc_engine_attachment_info_map = {"kc_engine_attachment_info_json", sizeof(kc_engine_attachment_info),
                                                  korvo::engine::kInfoFields,
                                                  sizeof(korvo::engine::kInfoFields) / sizeof(vellum_field)};
}

namespace korvo::engine {
namespace {

constexpr vellum_field kAttachFields[] = {
    VELLUM_FIELD_OBJECT(kc_engine_attach_response, attachment, "attachment", &kc_engine_attachment_info_map, 0),
    VELLUM_FIELD_BOOL(kc_engine_attach_response, noop, "noop", 0),
    VELLUM_FIELD_I64(kc_engine_attach_response, version, "version", 0),
};

constexpr vellum_field kListFields[] = {
    VELLUM_FIELD_STRING(kc_engine_list_attachments_response_json, KC_NAMESPACE_MEMBER, "namespace", 0),
    VELLUM_FIELD_STRING(kc_engine_list_attachments_response_json, key, "key", 0),
    VELLUM_FIELD_OBJECT_ARRAY(kc_engine_list_attachments_response_json, attachments, "attachments",
                              kc_engine_attachment_info, &kc_engine_attachment_info_map, 0),
};

constexpr vellum_field kDeleteFields[] = {
    VELLUM_FIELD_BOOL(kc_engine_delete_attachment_response, deleted, "deleted", 0),
    VELLUM_FIELD_I64(kc_engine_delete_attachment_response, version, "version", 0),
};

constexpr vellum_field kDeleteAllFields[] = {
    VELLUM_FIELD_I64(kc_engine_delete_all_attachments_response_json, deleted, "deleted", 0),
    VELLUM_FIELD_I64(kc_engine_delete_all_attachments_response_json, version, "version", 0),
};

// Uploads of attachments are rewound through the source bridge on failover. A reader that is
// not the bridge has no source behind its user pointer, so it cannot be rewound: refuse
// instead of resending a partial body (or treating the user pointer as a source).
int refuse_rewind(void *, kc_engine_error *error) {
    return kc_engine_set_client_error(error, KC_ERR_INVALID, "payload source is not rewindable");
}

struct ParsedAttach {
    kc_engine_attach_response record{};
    ~ParsedAttach() { vellum_cleanup(&kc_engine_attach_response_map, &record); }
};
struct ParsedList {
    kc_engine_list_attachments_response_json record{};
    ~ParsedList() { vellum_cleanup(&kc_engine_list_attachments_response_map, &record); }
};
struct ResultGuard {
    kc_engine_http_result result{};
    ~ResultGuard() { kc_engine_http_result_cleanup(&result); }
};

// The lease a JSON attachment request acts under; a public read names none.
struct Identity {
    const char *lease_id;
    const char *txn_id;
    int64_t fencing_token;
    bool public_read;
};

// The identity headers: unless public, X-Lease-ID and X-Txn-ID, then X-Fencing-Token when
// positive. token must outlive the headers.
int identity_headers(const Identity &identity, char (&token)[32], kc_engine_http_header (&headers)[3],
                     size_t *count, kc_engine_error *error) {
    *count = 0;
    if (identity.public_read) return KC_OK;
    if (present(identity.lease_id)) headers[(*count)++] = {"X-Lease-ID", identity.lease_id};
    if (present(identity.txn_id)) headers[(*count)++] = {"X-Txn-ID", identity.txn_id};
    if (identity.fencing_token > 0) {
        if (kc_i64_format_base10(identity.fencing_token, token, sizeof(token)) < 0) {
            *count = 0;
            return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to format fencing token");
        }
        headers[(*count)++] = {"X-Fencing-Token", token};
    }
    return KC_OK;
}

// One JSON attachment request to base with query's query string and identity's headers, its
// answer parsed into parsed with map; a non-2xx answer becomes the server's error.
int json_attachment_request(kc_engine_client *client, const char *method, const char *base,
                            const kc_engine_attachment_query &query, const Identity &identity, const vellum_map *map,
                            void *parsed, kc_engine_http_result *result, kc_engine_error *error) {
    OwnedText path;
    if (int code = build_query_path(client, base, query, path, error)) return code;
    char token[32] = "";
    kc_engine_http_header headers[3];
    size_t header_count = 0;
    if (int code = identity_headers(identity, token, headers, &header_count, error)) return code;
    int code = kc_engine_http_json_request(client, method, path.get(), nullptr, 0, headers, header_count, map, parsed,
                                           result, error);
    if (code != KC_OK) return code;
    if (!is_success(result->http_status)) return kc_engine_set_server_error_from_result(error, result);
    return KC_OK;
}

// Gives response its own copy of the answer's correlation id; when that fails, response is
// released and the error is KC_ERR_NOMEM.
template <class Response>
int take_correlation_id(Response *response, const char *correlation_id, void (*cleanup)(Response *),
                        kc_engine_error *error) {
    if (copy_owned(&response->correlation_id, correlation_id)) return KC_OK;
    cleanup(response);
    return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to allocate correlation id");
}

// Parses a whole JSON answer into record (a truncated one is kept); message names the failure.
int parse_answer_json(const vellum_map &map, void *record, const char *json, const char *message,
                      kc_engine_error *error) {
    vellum_error json_error;
    vellum_error_init(&json_error);
    vellum_status status = vellum_parse_cstr(&map, record, json, nullptr, &json_error);
    if (status != VELLUM_STATUS_OK && status != VELLUM_STATUS_TRUNCATED)
        return kc_engine_vellum_error_from_status(error, status, &json_error, message);
    return KC_OK;
}

// Copies a parsed upload answer (JSON library strings) into response (system strings).
int copy_attach(kc_engine_attach_response *response, const kc_engine_attach_response &parsed, kc_engine_error *error) {
    if (int code = kc_engine_attachment_info_from_json(&response->attachment, &parsed.attachment, error)) return code;
    response->noop = parsed.noop;
    response->version = parsed.version;
    return KC_OK;
}

int copy_list(kc_engine_list_attachments_response *response, const kc_engine_list_attachments_response_json &parsed,
              kc_engine_error *error) {
    if (!copy_owned(&response->KC_NAMESPACE_MEMBER, parsed.KC_NAMESPACE_MEMBER) ||
        !copy_owned(&response->key, parsed.key)) {
        kc_engine_list_attachments_response_cleanup(response);
        return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to copy list_attachments response");
    }
    size_t count = parsed.attachments.count;
    if (count == 0) return KC_OK;
    auto *entries = static_cast<kc_engine_attachment_info *>(std::calloc(count, sizeof(kc_engine_attachment_info)));
    if (!entries) {
        kc_engine_list_attachments_response_cleanup(response);
        return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to allocate attachments array");
    }
    response->attachments = entries;
    response->attachment_count = count;
    const auto *items = static_cast<const kc_engine_attachment_info *>(parsed.attachments.items);
    for (size_t i = 0; i < count; i++) {
        if (kc_engine_attachment_info_from_json(&entries[i], &items[i], nullptr) != KC_OK) {
            kc_engine_list_attachments_response_cleanup(response);
            return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to copy list_attachments response");
        }
    }
    return KC_OK;
}

} // namespace
} // namespace korvo::engine

extern "C" {

const vellum_map kc_engine_attach_response_map = {"kc_engine_attach_response_json", sizeof(kc_engine_attach_response),
                                                  korvo::engine::kAttachFields,
                                                  sizeof(korvo::engine::kAttachFields) / sizeof(vellum_field)};
const vellum_map kc_engine_list_attachments_response_map = {
    "kc_engine_list_attachments_response_json", sizeof(kc_engine_list_attachments_response_json),
    korvo::engine::kListFields, sizeof(korvo::engine::kListFields) / sizeof(vellum_field)};
const vellum_map kc_engine_delete_attachment_response_map = {
    "kc_engine_delete_attachment_response_json", sizeof(kc_engine_delete_attachment_response),
    korvo::engine::kDeleteFields, sizeof(korvo::engine::kDeleteFields) / sizeof(vellum_field)};
const vellum_map kc_engine_delete_all_attachments_response_map = {
    "kc_engine_delete_all_attachments_response_json", sizeof(kc_engine_delete_all_attachments_response_json),
    korvo::engine::kDeleteAllFields, sizeof(korvo::engine::kDeleteAllFields) / sizeof(vellum_field)};

KC_API void kc_engine_attachment_info_cleanup(kc_engine_attachment_info *info) {
    if (!info) return;
    std::free(info->id);
    std::free(info->name);
    std::free(info->plaintext_sha256);
    std::free(info->content_type);
    std::memset(info, 0, sizeof(*info));
}

KC_API int kc_engine_attachment_info_from_json(kc_engine_attachment_info *out, const kc_engine_attachment_info *parsed,
                                               kc_engine_error *error) {
    using korvo::engine::copy_owned;
    if (!out || !parsed)
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "attachment_info_from_json requires out and parsed");
    std::memset(out, 0, sizeof(*out));
    if (!copy_owned(&out->id, parsed->id) || !copy_owned(&out->name, parsed->name) ||
        !copy_owned(&out->plaintext_sha256, parsed->plaintext_sha256) ||
        !copy_owned(&out->content_type, parsed->content_type)) {
        kc_engine_attachment_info_cleanup(out);
        return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to copy attachment strings");
    }
    out->size = parsed->size;
    out->created_at_unix = parsed->created_at_unix;
    out->updated_at_unix = parsed->updated_at_unix;
    return KC_OK;
}

KC_API void kc_engine_attach_response_cleanup(kc_engine_attach_response *response) {
    if (!response) return;
    kc_engine_attachment_info_cleanup(&response->attachment);
    std::free(response->correlation_id);
    std::memset(response, 0, sizeof(*response));
}

KC_API void kc_engine_list_attachments_response_cleanup(kc_engine_list_attachments_response *response) {
    if (!response) return;
    for (size_t i = 0; response->attachments && i < response->attachment_count; i++)
        kc_engine_attachment_info_cleanup(&response->attachments[i]);
    std::free(response->attachments);
    std::free(response->KC_NAMESPACE_MEMBER);
    std::free(response->key);
    std::free(response->correlation_id);
    std::memset(response, 0, sizeof(*response));
}

KC_API void kc_engine_get_attachment_response_cleanup(kc_engine_get_attachment_response *response) {
    if (!response) return;
    std::free(response->attachment_id);
    std::free(response->name);
    std::free(response->plaintext_sha256);
    std::free(response->content_type);
    std::free(response->correlation_id);
    std::memset(response, 0, sizeof(*response));
}

KC_API void kc_engine_delete_attachment_response_cleanup(kc_engine_delete_attachment_response *response) {
    if (!response) return;
    std::free(response->correlation_id);
    std::memset(response, 0, sizeof(*response));
}

KC_API void kc_engine_delete_all_attachments_response_cleanup(kc_engine_delete_all_attachments_response *response) {
    if (!response) return;
    std::free(response->correlation_id);
    std::memset(response, 0, sizeof(*response));
}

KC_API int kc_engine_client_attach_from(kc_engine_client *client, const kc_engine_attach_request *request,
                                        kc_engine_reader_fn reader, void *reader_user,
                                        kc_engine_attach_response *response, kc_engine_error *error) {
    using namespace korvo::engine;
    if (!client || !request || !reader || !response || !error || !present(request->key) || !present(request->name) ||
        !present(request->lease_id) || !present(request->txn_id))
        return kc_engine_set_client_error(
            error, KC_ERR_INVALID,
            "attach_from requires client, request, reader, response, error, key, name, lease_id, and txn_id");
    kc_engine_attach_response_cleanup(response);

    kc_engine_attachment_query query{};
    query.key = request->key;
    query.KC_NAMESPACE_MEMBER = request->KC_NAMESPACE_MEMBER;
    query.name = request->name;
    query.content_type = request->content_type;
    query.prevent_overwrite = request->prevent_overwrite;
    query.has_max_bytes = request->has_max_bytes;
    query.max_bytes = request->max_bytes;
    OwnedText path;
    if (int code = build_query_path(client, "/v1/attachments", query, path, error)) return code;

    std::unique_ptr<curl_slist, SlistFree> headers(kc_engine_build_stream_headers(
        present(request->content_type) ? request->content_type : "application/octet-stream", "application/json",
        request->lease_id, request->txn_id, request->fencing_token));
    if (!headers) return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to build attachment upload headers");

    kc_engine_reset_fn reset = reader == kc_engine_read_bridge ? kc_engine_reset_bridge : refuse_rewind;
    ParsedAttach parsed;
    StreamState stream(error);
    int code = kc_engine_perform_streaming(client, "POST", path.get(), headers.get(), reader, reader_user, reset,
                                           reader_user, &kc_engine_attach_response_map, &parsed.record, &stream.state);
    if (code == KC_OK) {
        code = copy_attach(response, parsed.record, error);
        if (code == KC_OK && !copy_owned(&response->correlation_id, stream.state.correlation_id))
            code = kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to allocate attachment correlation id");
        if (code != KC_OK) kc_engine_attach_response_cleanup(response);
    }
    return code;
}

KC_API int kc_engine_client_list_attachments(kc_engine_client *client, const kc_engine_list_attachments_request *request,
                                             kc_engine_list_attachments_response *response, kc_engine_error *error) {
    using namespace korvo::engine;
    if (!client || !request || !response || !error || !present(request->key))
        return kc_engine_set_client_error(error, KC_ERR_INVALID,
                                          "list_attachments requires client, request, response, error, and key");
    if (!request->public_read && (!present(request->lease_id) || !present(request->txn_id)))
        return kc_engine_set_client_error(error, KC_ERR_INVALID,
                                          "list_attachments requires lease_id and txn_id unless public_read is enabled");
    kc_engine_list_attachments_response_cleanup(response);

    kc_engine_attachment_query query{};
    query.key = request->key;
    query.KC_NAMESPACE_MEMBER = request->KC_NAMESPACE_MEMBER;
    query.public_read = request->public_read;
    const Identity identity{request->lease_id, request->txn_id, request->fencing_token, request->public_read != 0};

    ParsedList parsed;
    ResultGuard result;
    if (int code = json_attachment_request(client, "GET", "/v1/attachments", query, identity,
                                           &kc_engine_list_attachments_response_map, &parsed.record, &result.result,
                                           error))
        return code;
    if (int copied = copy_list(response, parsed.record, error)) return copied;
    return take_correlation_id(response, result.result.correlation_id, kc_engine_list_attachments_response_cleanup,
                               error);
}

KC_API int kc_engine_client_get_attachment_into(kc_engine_client *client,
                                                const kc_engine_get_attachment_request *request,
                                                kc_engine_writer_fn writer, void *writer_user,
                                                kc_engine_get_attachment_response *response, kc_engine_error *error) {
    using namespace korvo::engine;
    if (!client || !request || !writer || !response || !error || !present(request->key))
        return kc_engine_set_client_error(
            error, KC_ERR_INVALID, "get_attachment_into requires client, request, writer, response, error, and key");
    if (!present(request->selector.id) && !present(request->selector.name))
        return kc_engine_set_client_error(error, KC_ERR_INVALID, "get_attachment_into requires selector id or name");
    if (!request->public_read && (!present(request->lease_id) || !present(request->txn_id)))
        return kc_engine_set_client_error(error, KC_ERR_INVALID,
                                          "get_attachment_into requires lease_id and txn_id unless public_read is enabled");
    kc_engine_get_attachment_response_cleanup(response);

    kc_engine_attachment_query query{};
    query.key = request->key;
    query.KC_NAMESPACE_MEMBER = request->KC_NAMESPACE_MEMBER;
    query.selector_name = request->selector.name;
    query.selector_id = request->selector.id;
    query.public_read = request->public_read;
    OwnedText path;
    if (int code = build_query_path(client, "/v1/attachment", query, path, error)) return code;

    std::unique_ptr<curl_slist, SlistFree> headers(kc_engine_build_stream_headers(
        nullptr, "application/octet-stream", request->lease_id, request->txn_id, request->fencing_token));
    if (!headers) return kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to build attachment download headers");

    StreamState stream(error, writer, writer_user);
    const kc_engine_stream_state &state = stream.state;
    int code = stream_download(client, path.get(), headers.get(), &stream.state);
    if (code == KC_OK) {
        if (!copy_owned(&response->attachment_id, state.attachment_id) ||
            !copy_owned(&response->name, state.attachment_name) ||
            !copy_owned(&response->plaintext_sha256, state.attachment_sha256) ||
            !copy_owned(&response->content_type, state.content_type)) {
            code = kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to allocate attachment headers");
        } else if (!copy_owned(&response->correlation_id, state.correlation_id)) {
            code = kc_engine_set_client_error(error, KC_ERR_NOMEM, "failed to allocate correlation id");
        }
        response->size = state.attachment_size;
        response->created_at_unix = state.attachment_created_at;
        response->updated_at_unix = state.attachment_updated_at;
        if (code != KC_OK) kc_engine_get_attachment_response_cleanup(response);
    }
    return code;
}

KC_API int kc_engine_client_delete_attachment(kc_engine_client *client, const kc_engine_delete_attachment_request *request,
                                              kc_engine_delete_attachment_response *response, kc_engine_error *error) {
    using namespace korvo::engine;
    if (!client || !request || !response || !error || !present(request->key) || !present(request->lease_id) ||
        !present(request->txn_id))
        return kc_engine_set_client_error(
            error, KC_ERR_INVALID, "delete_attachment requires client, request, response, error, key, lease_id, and txn_id");
    kc_engine_delete_attachment_response_cleanup(response);

    kc_engine_attachment_query query{};
    query.key = request->key;
    query.KC_NAMESPACE_MEMBER = request->KC_NAMESPACE_MEMBER;
    query.selector_name = request->selector.name;
    query.selector_id = request->selector.id;
    const Identity identity{request->lease_id, request->txn_id, request->fencing_token, false};

    kc_engine_delete_attachment_response parsed{};
    ResultGuard result;
    int code = json_attachment_request(client, "DELETE", "/v1/attachment", query, identity,
                                       &kc_engine_delete_attachment_response_map, &parsed, &result.result, error);
    vellum_cleanup(&kc_engine_delete_attachment_response_map, &parsed);
    if (code != KC_OK) return code;
    response->deleted = parsed.deleted;
    response->version = parsed.version;
    return take_correlation_id(response, result.result.correlation_id, kc_engine_delete_attachment_response_cleanup,
                               error);
}

KC_API int kc_engine_client_delete_all_attachments(kc_engine_client *client,
                                                   const kc_engine_delete_all_attachments_request *request,
                                                   kc_engine_delete_all_attachments_response *response,
                                                   kc_engine_error *error) {
    using namespace korvo::engine;
    if (!client || !request || !response || !error || !present(request->key) || !present(request->lease_id) ||
        !present(request->txn_id))
        return kc_engine_set_client_error(
            error, KC_ERR_INVALID,
            "delete_all_attachments requires client, request, response, error, key, lease_id, and txn_id");
    kc_engine_delete_all_attachments_response_cleanup(response);

    kc_engine_attachment_query query{};
    query.key = request->key;
    query.KC_NAMESPACE_MEMBER = request->KC_NAMESPACE_MEMBER;
    const Identity identity{request->lease_id, request->txn_id, request->fencing_token, false};

    kc_engine_delete_all_attachments_response_json parsed{};
    ResultGuard result;
    if (int code = json_attachment_request(client, "DELETE", "/v1/attachments", query, identity,
                                           &kc_engine_delete_all_attachments_response_map, &parsed, &result.result,
                                           error))
        return code;
    if (parsed.deleted < INT_MIN || parsed.deleted > INT_MAX)
        return kc_engine_set_protocol_error(error, "delete attachments deleted count is out of range");
    response->deleted = static_cast<int>(parsed.deleted);
    response->version = parsed.version;
    return take_correlation_id(response, result.result.correlation_id,
                               kc_engine_delete_all_attachments_response_cleanup, error);
}

KC_API int kc_engine_parse_attach_response_json(const char *json, kc_engine_attach_response *response,
                                                kc_engine_error *error) {
    using namespace korvo::engine;
    if (!json || !response || !error)
        return kc_engine_set_client_error(error, KC_ERR_INVALID,
                                          "parse_attach_response_json requires json, response, and error");
    kc_engine_attach_response_cleanup(response);
    ParsedAttach parsed;
    if (int code = parse_answer_json(kc_engine_attach_response_map, &parsed.record, json,
                                     "failed to parse attach response", error))
        return code;
    return copy_attach(response, parsed.record, error);
}

KC_API int kc_engine_parse_list_attachments_response_json(const char *json,
                                                          kc_engine_list_attachments_response *response,
                                                          kc_engine_error *error) {
    using namespace korvo::engine;
    if (!json || !response || !error)
        return kc_engine_set_client_error(error, KC_ERR_INVALID,
                                          "parse_list_attachments_response_json requires json, response, and error");
    kc_engine_list_attachments_response_cleanup(response);
    ParsedList parsed;
    if (int code = parse_answer_json(kc_engine_list_attachments_response_map, &parsed.record, json,
                                     "failed to parse list_attachments response", error))
        return code;
    return copy_list(response, parsed.record, error);
}

} // extern "C"
