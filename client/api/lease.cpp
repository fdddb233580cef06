// The lease handle: creation, the slot table, every method with its handle refresh, the
// expected-version rule, and the exported kc_lease_* wrappers.
#include "api/lease_internal.h"

#include "api/client_internal.h"
#include "api/records.h"

#include <cstring>

namespace korvo::api {
namespace {

constexpr OpEvents kDescribeEvents{"client.describe.start", "client.describe.success", "client.describe.error",
                                   "client.describe.transport_error", Level::Warn, Level::Trace};
constexpr OpEvents kGetEvents{"client.get.start", "client.get.success", "client.get.error",
                              "client.get.transport_error", Level::Warn, Level::Trace};
constexpr OpEvents kSaveEvents{nullptr, "client.update.success", "client.update.error",
                               "client.update.transport_error", Level::Warn, Level::Trace};
constexpr OpEvents kUpdateEvents{"client.update.start", "client.update.success", "client.update.error", nullptr,
                                 Level::Warn, Level::Trace};
constexpr OpEvents kMutateEvents{"client.mutate.start", "client.mutate.success", "client.mutate.error",
                                 "client.mutate.transport_error", Level::Warn, Level::Trace};
constexpr OpEvents kMetadataEvents{"client.metadata.start", "client.metadata.success", "client.metadata.error",
                                   "client.metadata.transport_error", Level::Warn, Level::Trace};
constexpr OpEvents kRemoveEvents{"client.remove.start", "client.remove.success", "client.remove.error",
                                 "client.remove.transport_error", Level::Warn, Level::Trace};
constexpr OpEvents kKeepaliveEvents{"client.keepalive.start", "client.keepalive.success", "client.keepalive.error",
                                    nullptr, Level::Error, Level::Trace};
constexpr OpEvents kReleaseEvents{"client.release.start", "client.release.success", "client.release.error",
                                  nullptr, Level::Error, Level::Trace};
constexpr OpEvents kAttachEvents{"client.attachment.put.start", "client.attachment.put.success",
                                 "client.attachment.put.error", "client.attachment.put.transport_error",
                                 Level::Warn, Level::Trace};
constexpr OpEvents kListEvents{"client.attachment.list.start", "client.attachment.list.success",
                               "client.attachment.list.error", "client.attachment.list.transport_error",
                               Level::Warn, Level::Trace};
constexpr OpEvents kGetAttachmentEvents{"client.attachment.get.start", "client.attachment.get.success",
                                        "client.attachment.get.error", "client.attachment.get.transport_error",
                                        Level::Warn, Level::Trace};
constexpr OpEvents kDeleteEvents{"client.attachment.delete.start", "client.attachment.delete.success",
                                 "client.attachment.delete.error", "client.attachment.delete.transport_error",
                                 Level::Warn, Level::Trace};
constexpr OpEvents kDeleteAllEvents{"client.attachment.delete_all.start", "client.attachment.delete_all.success",
                                    "client.attachment.delete_all.error",
                                    "client.attachment.delete_all.transport_error", Level::Warn, Level::Trace};

constexpr const char *kEtagRefreshFailed = "failed to allocate refreshed lease state etag";

ClientHandle *client_of(LeaseHandle *lease) { return handle_of(lease->client); }

// The view members mirror the private copies.
void sync_view(LeaseHandle *lease) {
    kc_lease &pub = lease->pub;
    pub.namespace_ = lease->namespace_;
    pub.key = lease->key;
    pub.owner = lease->owner;
    pub.lease_id = lease->lease_id;
    pub.txn_id = lease->txn_id;
    pub.fencing_token = lease->fencing_token;
    pub.version = lease->version;
    pub.expires_at = lease->expires_at;
    pub.state_etag = lease->state_etag;
    pub.query_hidden = lease->query_hidden;
    pub.query_hidden_known = lease->query_hidden_known;
}

// Copy of etag without one pair of surrounding double quotes, through the client allocator.
char *copy_etag(kc_client *client, const char *etag) {
    if (!etag) return nullptr;
    size_t length = std::strlen(etag);
    if (length >= 2 && etag[0] == '"' && etag[length - 1] == '"') {
        auto *copy = static_cast<char *>(kc_client_alloc(client, length - 1));
        if (!copy) return nullptr;
        std::memcpy(copy, etag + 1, length - 2);
        copy[length - 2] = '\0';
        return copy;
    }
    return kc_client_strdup(client, etag);
}

// A string of the handle about to be replaced: prepared (copied) first, committed once
// nothing else can fail, so a failed refresh leaves the handle as it was.
struct PendingText {
    bool apply = false;
    char *copy = nullptr;
};

bool prepare_etag(LeaseHandle *lease, PendingText *pending, const char *etag) {
    pending->apply = true;
    pending->copy = copy_etag(lease->client, etag);
    return pending->copy || !etag;
}

bool prepare_text(LeaseHandle *lease, PendingText *pending, const char *text) {
    pending->apply = true;
    pending->copy = kc_client_strdup(lease->client, text);
    return pending->copy || !text;
}

void drop(LeaseHandle *lease, PendingText *pending) {
    kc_client_free(lease->client, pending->copy);
    pending->copy = nullptr;
    pending->apply = false;
}

void commit(LeaseHandle *lease, PendingText *pending, char **slot) {
    if (!pending->apply) return;
    kc_client_free(lease->client, *slot);
    *slot = pending->copy;
    pending->copy = nullptr;
    pending->apply = false;
}

bool carried(const char *text) { return text && text[0] != '\0'; }

// The expected version sent by save, update, mutate, metadata and remove.
void expected_version(const LeaseHandle *lease, int caller_set, long caller_version, int64_t *version, int *has) {
    if (caller_set) {
        *version = caller_version;
        *has = 1;
    } else if (lease->version > 0) {
        *version = lease->version;
        *has = 1;
    } else {
        *version = 0;
        *has = 0;
    }
}

FieldList identity_fields(const LeaseHandle *lease) {
    FieldList fields;
    fields.str("key", lease->key).str("lease_id", lease->lease_id).str("txn_id", lease->txn_id);
    return fields;
}

FieldList key_lease_fields(const LeaseHandle *lease) {
    FieldList fields;
    fields.str("key", lease->key).str("lease_id", lease->lease_id);
    return fields;
}

void close_method(kc_lease *self) {
    if (!self) return;
    LeaseHandle *lease = lease_of(self);
    kc_client *client = lease->client;
    kc_client_free(client, lease->namespace_);
    kc_client_free(client, lease->key);
    kc_client_free(client, lease->owner);
    kc_client_free(client, lease->lease_id);
    kc_client_free(client, lease->txn_id);
    kc_client_free(client, lease->state_etag);
    kc_client_free(client, lease->extra);
    kc_client_free(client, lease);
}

int describe_method(kc_lease *self, kc_describe_res *out, kc_error *error) {
    if (!self) return invalid_argument(error, "lease describe requires self");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    FieldList start = identity_fields(lease);
    log_start(client->logger, kDescribeEvents, start);

    kc_engine_describe_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    EngineResponse<kc_engine_describe_response, kc_engine_describe_response_cleanup> response;
    EngineError engine_error;
    if (kc_engine_client_describe(client->engine, &request, &response.record, &engine_error.record) != KC_OK)
        return fail_from_engine(client->logger, kDescribeEvents, start, &engine_error.record, error);
    const kc_engine_describe_response &r = response.record;

    PendingText owner, etag;
    if (!prepare_text(lease, &owner, r.owner) || !prepare_etag(lease, &etag, r.state_etag)) {
        drop(lease, &owner);
        drop(lease, &etag);
        return fail_local(client->logger, kDescribeEvents, start, KC_ERR_NOMEM, kEtagRefreshFailed, nullptr, error);
    }
    kc_describe_res copy{};
    if (out && !copy_describe_result(&copy, &r)) {
        drop(lease, &owner);
        drop(lease, &etag);
        return fail_local(client->logger, kDescribeEvents, start, KC_ERR_NOMEM, "failed to copy describe response",
                          nullptr, error);
    }
    commit(lease, &owner, &lease->owner);
    commit(lease, &etag, &lease->state_etag);
    lease->version = static_cast<long>(r.version);
    lease->expires_at = static_cast<long>(r.expires_at_unix);
    lease->query_hidden = r.query_hidden;
    lease->query_hidden_known = r.metadata_present;
    sync_view(lease);
    if (out) *out = copy;

    FieldList success;
    success.i64("version", r.version).str("state_etag", r.state_etag).str("cid", r.correlation_id);
    log_success(client->logger, kDescribeEvents, success);
    return KC_OK;
}

// Shared end of get and load: refresh from the read's headers, copy the result, log.
int finish_read(LeaseHandle *lease, const FieldList &start, const kc_engine_get_stream_response &r, kc_get_res *out,
                kc_error *error) {
    ClientHandle *client = client_of(lease);
    PendingText etag;
    if (carried(r.etag) && !prepare_etag(lease, &etag, r.etag))
        return fail_local(client->logger, kGetEvents, start, KC_ERR_NOMEM, kEtagRefreshFailed, nullptr, error);
    kc_get_res copy{};
    if (!copy_get_result(&copy, &r)) {
        drop(lease, &etag);
        return fail_local(client->logger, kGetEvents, start, KC_ERR_NOMEM, "failed to copy get response", nullptr,
                          error);
    }
    commit(lease, &etag, &lease->state_etag);
    if (r.fencing_token > 0) lease->fencing_token = static_cast<long>(r.fencing_token);
    if (r.version > 0) lease->version = static_cast<long>(r.version);
    sync_view(lease);
    *out = copy;

    if (r.no_content) log_at(Level::Debug, client->logger, "client.get.empty", start.data(), start.size());
    FieldList success = start;
    success.str("etag", r.etag).str("cid", r.correlation_id);
    log_success(client->logger, kGetEvents, success);
    return KC_OK;
}

kc_engine_get_stream_request read_request(const LeaseHandle *lease, const kc_get_opts *opts) {
    kc_engine_get_stream_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.fencing_token = lease->fencing_token;
    request.public_read = opts ? opts->public_ : 0;
    return request;
}

int get_method(kc_lease *self, kc_sink *dst, const kc_get_opts *opts, kc_get_res *out, kc_error *error) {
    if (!self || !dst || !out) return invalid_argument(error, "lease get requires self, dst, and out");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    int public_read = opts ? opts->public_ : 0;
    FieldList start = identity_fields(lease);
    start.boolean("public", public_read);
    log_start(client->logger, kGetEvents, start);

    kc_engine_get_stream_request request = read_request(lease, opts);
    EngineResponse<kc_engine_get_stream_response, kc_engine_get_stream_response_cleanup> response;
    EngineError engine_error;
    kc_sink *sink = dst;
    if (kc_engine_client_get_into(client->engine, &request, kc_engine_write_bridge, &sink, &response.record,
                                  &engine_error.record) != KC_OK)
        return fail_from_engine(client->logger, kGetEvents, start, &engine_error.record, error);
    return finish_read(lease, start, response.record, out, error);
}

int load_method(kc_lease *self, const vellum_map *map, void *destination, const vellum_parse_options *parse_options,
                const kc_get_opts *opts, kc_get_res *out, kc_error *error) {
    if (!self || !map || !destination || !out)
        return invalid_argument(error, "lease load requires self, map, destination, and out");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    FieldList start = identity_fields(lease);
    start.boolean("public", opts ? opts->public_ : 0);
    log_start(client->logger, kGetEvents, start);

    kc_engine_get_stream_request request = read_request(lease, opts);
    EngineResponse<kc_engine_get_stream_response, kc_engine_get_stream_response_cleanup> response;
    kc_error failure{};
    if (load_mapped_state(client, &request, map, destination, parse_options, kLeaseLoadMessages, &response.record,
                          &failure) != KC_OK) {
        log_failure(client->logger, kGetEvents, start, &failure);
        return hand_over_error(&failure, error);
    }
    int code = finish_read(lease, start, response.record, out, error);
    if (code != KC_OK) vellum_reset(map, destination);
    return code;
}

// Commits a state upload's outcome: version and state etag.
int finish_upload(LeaseHandle *lease, const OpEvents &events, const FieldList &start,
                  const kc_engine_update_response &r, PendingText *etag, kc_error *error) {
    ClientHandle *client = client_of(lease);
    if (!prepare_etag(lease, etag, r.new_state_etag))
        return fail_local(client->logger, events, start, KC_ERR_NOMEM, kEtagRefreshFailed, nullptr, error);
    return KC_OK;
}

int save_method(kc_lease *self, const vellum_map *map, const void *record, kc_error *error) {
    if (!self || !map || !record) return invalid_argument(error, "lease save requires self, map, and source");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    FieldList failure_fields = identity_fields(lease);

    kc_engine_update_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.txn_id = lease->txn_id;
    request.fencing_token = lease->fencing_token;
    expected_version(lease, 0, 0, &request.if_version, &request.has_if_version);
    request.content_type = "application/json";
    EngineResponse<kc_engine_update_response, kc_engine_update_response_cleanup> response;
    EngineError engine_error;
    if (kc_engine_client_update_stream(client->engine, &request, map, record, nullptr, &response.record,
                                       &engine_error.record) != KC_OK)
        return fail_from_engine(client->logger, kSaveEvents, failure_fields, &engine_error.record, error);
    const kc_engine_update_response &r = response.record;
    PendingText etag;
    int code = finish_upload(lease, kSaveEvents, failure_fields, r, &etag, error);
    if (code != KC_OK) return code;
    commit(lease, &etag, &lease->state_etag);
    lease->version = static_cast<long>(r.new_version);
    sync_view(lease);

    FieldList success;
    success.str("key", lease->key)
        .str("lease_id", lease->lease_id)
        .i64("version", r.new_version)
        .str("state_etag", lease->state_etag)
        .str("content_type", "application/json")
        .str("cid", r.correlation_id);
    log_success(client->logger, kSaveEvents, success);
    return KC_OK;
}

int update_method(kc_lease *self, kc_source *src, const kc_update_opts *opts, kc_update_res *out, kc_error *error) {
    if (!self || !src) return invalid_argument(error, "lease update requires self and src");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    const char *content_type = opts && carried(opts->content_type) ? opts->content_type : "application/json";
    FieldList start = identity_fields(lease);
    start.str("content_type", content_type);
    log_start(client->logger, kUpdateEvents, start);

    kc_engine_update_from_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.txn_id = lease->txn_id;
    request.fencing_token = lease->fencing_token;
    request.if_state_etag = opts ? opts->if_state_etag : nullptr;
    expected_version(lease, opts ? opts->if_version_set : 0, opts ? opts->if_version : 0, &request.if_version,
                     &request.has_if_version);
    request.content_type = content_type;
    EngineResponse<kc_engine_update_response, kc_engine_update_response_cleanup> response;
    EngineError engine_error;
    kc_source *source = src;
    if (kc_engine_client_update_from(client->engine, &request, kc_engine_read_bridge, &source, &response.record,
                                     &engine_error.record) != KC_OK)
        return fail_from_engine(client->logger, kUpdateEvents, start, &engine_error.record, error);
    const kc_engine_update_response &r = response.record;
    PendingText etag;
    int code = finish_upload(lease, kUpdateEvents, start, r, &etag, error);
    if (code != KC_OK) return code;
    kc_update_res copy{};
    if (out && !copy_update_result(&copy, &r)) {
        drop(lease, &etag);
        return fail_local(client->logger, kUpdateEvents, start, KC_ERR_NOMEM, "failed to copy update response",
                          nullptr, error);
    }
    commit(lease, &etag, &lease->state_etag);
    lease->version = static_cast<long>(r.new_version);
    sync_view(lease);
    if (out) *out = copy;

    FieldList success = identity_fields(lease);
    success.str("new_etag", r.new_state_etag).i64("version", r.new_version).str("cid", r.correlation_id);
    log_success(client->logger, kUpdateEvents, success);
    return KC_OK;
}

int mutate_method(kc_lease *self, const kc_mutate_req *req, kc_mutate_res *out, kc_error *error) {
    if (!self || !req) return invalid_argument(error, "lease mutate requires self and req");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    FieldList start = identity_fields(lease);
    start.u64("mutation_count", req->mutation_count);
    log_start(client->logger, kMutateEvents, start);

    kc_engine_mutate_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.txn_id = lease->txn_id;
    request.fencing_token = lease->fencing_token;
    request.if_state_etag = req->if_state_etag;
    expected_version(lease, req->if_version_set, req->if_version, &request.if_version, &request.has_if_version);
    request.mutations = req->mutations;
    request.mutation_count = req->mutation_count;
    EngineResponse<kc_engine_update_response, kc_engine_mutate_response_cleanup> response;
    EngineError engine_error;
    if (kc_engine_client_mutate(client->engine, &request, &response.record, &engine_error.record) != KC_OK)
        return fail_from_engine(client->logger, kMutateEvents, start, &engine_error.record, error);
    const kc_engine_update_response &r = response.record;
    PendingText etag;
    int code = finish_upload(lease, kMutateEvents, start, r, &etag, error);
    if (code != KC_OK) return code;
    kc_mutate_res copy{};
    if (out && !copy_mutate_result(&copy, &r)) {
        drop(lease, &etag);
        return fail_local(client->logger, kMutateEvents, start, KC_ERR_NOMEM, "failed to copy mutate response",
                          nullptr, error);
    }
    commit(lease, &etag, &lease->state_etag);
    lease->version = static_cast<long>(r.new_version);
    sync_view(lease);
    if (out) *out = copy;

    FieldList success = start;
    success.i64("new_version", r.new_version).str("new_etag", r.new_state_etag).str("cid", r.correlation_id);
    log_success(client->logger, kMutateEvents, success);
    return KC_OK;
}

int metadata_method(kc_lease *self, const kc_metadata_req *req, kc_metadata_res *out, kc_error *error) {
    if (!self) return invalid_argument(error, "lease metadata requires self");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    FieldList start = identity_fields(lease);
    log_start(client->logger, kMetadataEvents, start);

    kc_engine_metadata_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.txn_id = lease->txn_id;
    request.fencing_token = lease->fencing_token;
    expected_version(lease, req ? req->if_version_set : 0, req ? req->if_version : 0, &request.if_version,
                     &request.has_if_version);
    request.has_query_hidden = req ? req->query_hidden_set : 0;
    request.query_hidden = req ? req->query_hidden : 0;
    EngineResponse<kc_engine_metadata_response, kc_engine_metadata_response_cleanup> response;
    EngineError engine_error;
    if (kc_engine_client_update_metadata(client->engine, &request, &response.record, &engine_error.record) != KC_OK)
        return fail_from_engine(client->logger, kMetadataEvents, start, &engine_error.record, error);
    const kc_engine_metadata_response &r = response.record;
    kc_metadata_res copy{};
    if (out && !copy_metadata_result(&copy, &r))
        return fail_local(client->logger, kMetadataEvents, start, KC_ERR_NOMEM, "failed to copy metadata response",
                          nullptr, error);
    lease->version = static_cast<long>(r.version);
    lease->query_hidden = r.query_hidden;
    lease->query_hidden_known = r.metadata_present;
    sync_view(lease);
    if (out) *out = copy;

    FieldList success = key_lease_fields(lease);
    success.i64("version", r.version).boolean("query_hidden", r.query_hidden).str("cid", r.correlation_id);
    log_success(client->logger, kMetadataEvents, success);
    return KC_OK;
}

int remove_method(kc_lease *self, const kc_remove_req *req, kc_remove_res *out, kc_error *error) {
    if (!self) return invalid_argument(error, "lease remove requires self");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    FieldList start = identity_fields(lease);
    log_start(client->logger, kRemoveEvents, start);

    kc_engine_remove_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.txn_id = lease->txn_id;
    request.fencing_token = lease->fencing_token;
    request.if_state_etag = req ? req->if_state_etag : nullptr;
    expected_version(lease, req ? req->if_version_set : 0, req ? req->if_version : 0, &request.if_version,
                     &request.has_if_version);
    EngineResponse<kc_engine_remove_response, kc_engine_remove_response_cleanup> response;
    EngineError engine_error;
    if (kc_engine_client_remove(client->engine, &request, &response.record, &engine_error.record) != KC_OK)
        return fail_from_engine(client->logger, kRemoveEvents, start, &engine_error.record, error);
    const kc_engine_remove_response &r = response.record;
    kc_remove_res copy{};
    if (out && !copy_remove_result(&copy, &r))
        return fail_local(client->logger, kRemoveEvents, start, KC_ERR_NOMEM, "failed to copy remove response",
                          nullptr, error);
    lease->version = static_cast<long>(r.new_version);
    if (r.removed) {
        // The state is gone, and with it its etag.
        kc_client_free(lease->client, lease->state_etag);
        lease->state_etag = nullptr;
    }
    sync_view(lease);
    if (out) *out = copy;

    FieldList success = key_lease_fields(lease);
    success.boolean("removed", r.removed).i64("new_version", r.new_version).str("cid", r.correlation_id);
    log_success(client->logger, kRemoveEvents, success);
    return KC_OK;
}

int keepalive_method(kc_lease *self, const kc_keepalive_req *req, kc_keepalive_res *out, kc_error *error) {
    if (!self || !req) return invalid_argument(error, "lease keepalive requires self and req");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    FieldList start = identity_fields(lease);
    start.i64("ttl_seconds", req->ttl_seconds);
    log_start(client->logger, kKeepaliveEvents, start);

    kc_engine_keepalive_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.txn_id = lease->txn_id;
    request.ttl_seconds = req->ttl_seconds;
    request.fencing_token = lease->fencing_token;
    EngineResponse<kc_engine_keepalive_response, kc_engine_keepalive_response_cleanup> response;
    EngineError engine_error;
    if (kc_engine_client_keepalive(client->engine, &request, &response.record, &engine_error.record) != KC_OK)
        return fail_from_engine(client->logger, kKeepaliveEvents, start, &engine_error.record, error);
    const kc_engine_keepalive_response &r = response.record;
    PendingText etag;
    if (carried(r.state_etag) && !prepare_etag(lease, &etag, r.state_etag))
        return fail_local(client->logger, kKeepaliveEvents, start, KC_ERR_NOMEM, kEtagRefreshFailed, nullptr, error);
    kc_keepalive_res copy{};
    if (out && !copy_keepalive_result(&copy, &r)) {
        drop(lease, &etag);
        return fail_local(client->logger, kKeepaliveEvents, start, KC_ERR_NOMEM, "failed to copy keepalive response",
                          nullptr, error);
    }
    commit(lease, &etag, &lease->state_etag);
    if (r.version > 0) lease->version = static_cast<long>(r.version);
    if (r.expires_at_unix > 0) lease->expires_at = static_cast<long>(r.expires_at_unix);
    sync_view(lease);
    if (out) *out = copy;

    FieldList success = identity_fields(lease);
    success.i64("version", r.version).i64("expires_at", r.expires_at_unix).str("cid", r.correlation_id);
    log_success(client->logger, kKeepaliveEvents, success);
    return KC_OK;
}

int release_method(kc_lease *self, const kc_release_req *req, kc_error *error) {
    if (!self) return invalid_argument(error, "lease release requires self");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    int rollback = req ? req->rollback : 0;
    FieldList start = identity_fields(lease);
    start.boolean("rollback", rollback);
    log_start(client->logger, kReleaseEvents, start);

    kc_engine_release_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.txn_id = lease->txn_id;
    request.fencing_token = lease->fencing_token;
    request.rollback = rollback;
    EngineResponse<kc_engine_release_response, kc_engine_release_response_cleanup> response;
    EngineError engine_error;
    if (kc_engine_client_release(client->engine, &request, &response.record, &engine_error.record) != KC_OK)
        return fail_from_engine(client->logger, kReleaseEvents, start, &engine_error.record, error);

    FieldList success = identity_fields(lease);
    success.boolean("released", response.record.released).str("cid", response.record.correlation_id);
    log_success(client->logger, kReleaseEvents, success);
    close_method(self); // the fields above point into the lease: logged first
    return KC_OK;
}

// Attachment changes under a lease move the key's version on the server; keep the handle's
// expected version in step, or the next state change would be refused as a lost update.
void adopt_reported_version(LeaseHandle *lease, int64_t version) {
    if (version <= 0) return;
    lease->version = static_cast<long>(version);
    sync_view(lease);
}

int attach_method(kc_lease *self, const kc_attach_req *req, kc_source *src, kc_attach_res *out, kc_error *error) {
    if (!self || !req || !src || !out) return invalid_argument(error, "lease attach requires self, req, src, and out");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    FieldList start = identity_fields(lease);
    start.str("name", req->name);
    log_start(client->logger, kAttachEvents, start);

    kc_engine_attach_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.txn_id = lease->txn_id;
    request.fencing_token = lease->fencing_token;
    request.name = req->name;
    request.content_type = req->content_type;
    request.max_bytes = req->max_bytes;
    request.has_max_bytes = req->max_bytes_set;
    request.prevent_overwrite = req->prevent_overwrite;
    EngineResponse<kc_engine_attach_response, kc_engine_attach_response_cleanup> response;
    EngineError engine_error;
    kc_source *source = src;
    if (kc_engine_client_attach_from(client->engine, &request, kc_engine_read_bridge, &source, &response.record,
                                     &engine_error.record) != KC_OK)
        return fail_from_engine(client->logger, kAttachEvents, start, &engine_error.record, error);
    const kc_engine_attach_response &r = response.record;
    if (!copy_attach_result(out, &r))
        return fail_local(client->logger, kAttachEvents, start, KC_ERR_NOMEM, "failed to copy attach response",
                          nullptr, error);
    adopt_reported_version(lease, r.version);
    FieldList success;
    success.str("attachment_id", r.attachment.id).boolean("noop", r.noop).str("cid", r.correlation_id);
    log_success(client->logger, kAttachEvents, success);
    return KC_OK;
}

int list_attachments_method(kc_lease *self, const kc_attachment_list_req *req, kc_attachment_list *out,
                            kc_error *error) {
    if (!self || !out) return invalid_argument(error, "list_attachments requires self and out");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    FieldList start = key_lease_fields(lease);
    log_start(client->logger, kListEvents, start);

    kc_engine_list_attachments_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.txn_id = lease->txn_id;
    request.fencing_token = lease->fencing_token;
    request.public_read = req ? req->public_ : 0;
    EngineResponse<kc_engine_list_attachments_response, kc_engine_list_attachments_response_cleanup> response;
    EngineError engine_error;
    if (kc_engine_client_list_attachments(client->engine, &request, &response.record, &engine_error.record) != KC_OK)
        return fail_from_engine(client->logger, kListEvents, start, &engine_error.record, error);
    const kc_engine_list_attachments_response &r = response.record;
    if (!copy_attachment_list(out, &r))
        return fail_local(client->logger, kListEvents, start, KC_ERR_NOMEM, "failed to copy list_attachments response",
                          nullptr, error);
    FieldList success = start;
    success.u64("count", r.attachment_count).str("cid", r.correlation_id);
    log_success(client->logger, kListEvents, success);
    return KC_OK;
}

FieldList selector_fields(const LeaseHandle *lease, const kc_attachment_selector &selector) {
    FieldList fields = key_lease_fields(lease);
    fields.str("attachment_id", selector.id).str("name", selector.name);
    return fields;
}

int get_attachment_method(kc_lease *self, const kc_attachment_get_req *req, kc_sink *dst,
                          kc_attachment_get_res *out, kc_error *error) {
    if (!self || !req || !dst || !out)
        return invalid_argument(error, "get_attachment requires self, req, dst, and out");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    FieldList start = selector_fields(lease, req->selector);
    log_start(client->logger, kGetAttachmentEvents, start);

    kc_engine_get_attachment_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.txn_id = lease->txn_id;
    request.fencing_token = lease->fencing_token;
    request.public_read = req->public_;
    request.selector.id = req->selector.id;
    request.selector.name = req->selector.name;
    EngineResponse<kc_engine_get_attachment_response, kc_engine_get_attachment_response_cleanup> response;
    EngineError engine_error;
    kc_sink *sink = dst;
    if (kc_engine_client_get_attachment_into(client->engine, &request, kc_engine_write_bridge, &sink,
                                             &response.record, &engine_error.record) != KC_OK)
        return fail_from_engine(client->logger, kGetAttachmentEvents, start, &engine_error.record, error);
    if (!copy_attachment_get_result(out, &response.record))
        return fail_local(client->logger, kGetAttachmentEvents, start, KC_ERR_NOMEM,
                          "failed to copy get_attachment response", nullptr, error);
    FieldList success = start;
    success.str("cid", response.record.correlation_id);
    log_success(client->logger, kGetAttachmentEvents, success);
    return KC_OK;
}

int delete_attachment_method(kc_lease *self, const kc_attachment_selector *selector, int *deleted,
                             kc_error *error) {
    if (!self || !selector || !deleted)
        return invalid_argument(error, "delete_attachment requires self, selector, and deleted");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    FieldList start = selector_fields(lease, *selector);
    log_start(client->logger, kDeleteEvents, start);

    kc_engine_delete_attachment_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.txn_id = lease->txn_id;
    request.fencing_token = lease->fencing_token;
    request.selector.id = selector->id;
    request.selector.name = selector->name;
    EngineResponse<kc_engine_delete_attachment_response, kc_engine_delete_attachment_response_cleanup> response;
    EngineError engine_error;
    if (kc_engine_client_delete_attachment(client->engine, &request, &response.record, &engine_error.record) != KC_OK)
        return fail_from_engine(client->logger, kDeleteEvents, start, &engine_error.record, error);
    *deleted = response.record.deleted;
    adopt_reported_version(lease, response.record.version);
    FieldList success = start;
    success.boolean("deleted", response.record.deleted).str("cid", response.record.correlation_id);
    log_success(client->logger, kDeleteEvents, success);
    return KC_OK;
}

int delete_all_attachments_method(kc_lease *self, int *deleted_count, kc_error *error) {
    if (!self || !deleted_count) return invalid_argument(error, "delete_all_attachments requires self and deleted_count");
    LeaseHandle *lease = lease_of(self);
    ClientHandle *client = client_of(lease);
    FieldList start = key_lease_fields(lease);
    log_start(client->logger, kDeleteAllEvents, start);

    kc_engine_delete_all_attachments_request request{};
    request.namespace_ = lease->namespace_;
    request.key = lease->key;
    request.lease_id = lease->lease_id;
    request.txn_id = lease->txn_id;
    request.fencing_token = lease->fencing_token;
    EngineResponse<kc_engine_delete_all_attachments_response, kc_engine_delete_all_attachments_response_cleanup>
        response;
    EngineError engine_error;
    if (kc_engine_client_delete_all_attachments(client->engine, &request, &response.record, &engine_error.record) !=
        KC_OK)
        return fail_from_engine(client->logger, kDeleteAllEvents, start, &engine_error.record, error);
    *deleted_count = response.record.deleted;
    adopt_reported_version(lease, response.record.version);
    FieldList success = start;
    success.i64("deleted", response.record.deleted).str("cid", response.record.correlation_id);
    log_success(client->logger, kDeleteAllEvents, success);
    return KC_OK;
}

} // namespace

kc_lease *kc_lease_new(kc_client *client, const char *namespace_, const char *key, const char *owner,
                       const char *lease_id, const char *txn_id, long fencing_token, long version,
                       const char *state_etag, const char *extra) {
    auto *lease = static_cast<LeaseHandle *>(kc_client_calloc(client, 1, sizeof(LeaseHandle)));
    if (!lease) return nullptr;
    lease->client = client;
    lease->namespace_ = kc_client_strdup(client, namespace_);
    lease->key = kc_client_strdup(client, key);
    lease->owner = kc_client_strdup(client, owner);
    lease->lease_id = kc_client_strdup(client, lease_id);
    lease->txn_id = kc_client_strdup(client, txn_id);
    lease->state_etag = copy_etag(client, state_etag);
    lease->extra = kc_client_strdup(client, extra);
    if ((namespace_ && !lease->namespace_) || (key && !lease->key) || (owner && !lease->owner) ||
        (lease_id && !lease->lease_id) || (txn_id && !lease->txn_id) || (state_etag && !lease->state_etag) ||
        (extra && !lease->extra)) {
        close_method(&lease->pub);
        return nullptr;
    }
    lease->fencing_token = fencing_token;
    lease->version = version;

    kc_lease &pub = lease->pub;
    pub.describe = describe_method;
    pub.get = get_method;
    pub.load = load_method;
    pub.save = save_method;
    pub.update = update_method;
    pub.mutate = mutate_method;
    pub.mutate_local = nullptr; // filled by the local mutation operations
    pub.metadata = metadata_method;
    pub.remove = remove_method;
    pub.keepalive = keepalive_method;
    pub.release = release_method;
    pub.attach = attach_method;
    pub.list_attachments = list_attachments_method;
    pub.get_attachment = get_attachment_method;
    pub.delete_attachment = delete_attachment_method;
    pub.delete_all_attachments = delete_all_attachments_method;
    pub.close = close_method;
    sync_view(lease);
    return &lease->pub;
}

void lease_set_expires_at(kc_lease *self, long expires_at) {
    if (!self) return;
    LeaseHandle *lease = lease_of(self);
    lease->expires_at = expires_at;
    sync_view(lease);
}

} // namespace korvo::api

extern "C" {

KC_API int kc_lease_describe(kc_lease *lease, kc_describe_res *out, kc_error *error) {
    return lease->describe(lease, out, error);
}

KC_API int kc_lease_get(kc_lease *lease, kc_sink *dst, const kc_get_opts *opts, kc_get_res *out, kc_error *error) {
    return lease->get(lease, dst, opts, out, error);
}

KC_API int kc_lease_load(kc_lease *lease, const vellum_map *map, void *destination,
                         const vellum_parse_options *parse_options, const kc_get_opts *opts, kc_get_res *out,
                         kc_error *error) {
    return lease->load(lease, map, destination, parse_options, opts, out, error);
}

KC_API int kc_lease_save(kc_lease *lease, const vellum_map *map, const void *record, kc_error *error) {
    return lease->save(lease, map, record, error);
}

KC_API int kc_lease_update(kc_lease *lease, kc_source *src, const kc_update_opts *opts, kc_update_res *out,
                           kc_error *error) {
    return lease->update(lease, src, opts, out, error);
}

KC_API int kc_lease_mutate(kc_lease *lease, const kc_mutate_req *req, kc_mutate_res *out, kc_error *error) {
    return lease->mutate(lease, req, out, error);
}

KC_API int kc_lease_metadata(kc_lease *lease, const kc_metadata_req *req, kc_metadata_res *out, kc_error *error) {
    return lease->metadata(lease, req, out, error);
}

KC_API int kc_lease_remove(kc_lease *lease, const kc_remove_req *req, kc_remove_res *out, kc_error *error) {
    return lease->remove(lease, req, out, error);
}

KC_API int kc_lease_keepalive(kc_lease *lease, const kc_keepalive_req *req, kc_keepalive_res *out,
                              kc_error *error) {
    return lease->keepalive(lease, req, out, error);
}

KC_API int kc_lease_release(kc_lease *lease, const kc_release_req *req, kc_error *error) {
    return lease->release(lease, req, error);
}

KC_API int kc_lease_attach(kc_lease *lease, const kc_attach_req *req, kc_source *src, kc_attach_res *out,
                           kc_error *error) {
    return lease->attach(lease, req, src, out, error);
}

KC_API int kc_lease_list_attachments(kc_lease *lease, const kc_attachment_list_req *req, kc_attachment_list *out,
                                     kc_error *error) {
    return lease->list_attachments(lease, req, out, error);
}

KC_API int kc_lease_get_attachment(kc_lease *lease, const kc_attachment_get_req *req, kc_sink *dst,
                                   kc_attachment_get_res *out, kc_error *error) {
    return lease->get_attachment(lease, req, dst, out, error);
}

KC_API int kc_lease_delete_attachment(kc_lease *lease, const kc_attachment_selector *selector, int *deleted,
                                      kc_error *error) {
    return lease->delete_attachment(lease, selector, deleted, error);
}

KC_API int kc_lease_delete_all_attachments(kc_lease *lease, int *deleted_count, kc_error *error) {
    return lease->delete_all_attachments(lease, deleted_count, error);
}

KC_API void kc_lease_close(kc_lease *lease) {
    if (lease && lease->close) lease->close(lease);
}

KC_API int kc_lease_from_ref(kc_client *client, const kc_lease_ref *ref, kc_lease **out, kc_error *error) {
    if (!client || !ref || !out || !ref->key || !*ref->key || !ref->lease_id || !*ref->lease_id)
        return kc_error_set(error, KC_ERR_INVALID, 0, "lease_from_ref requires client, key, lease_id, and out",
                            nullptr, nullptr, nullptr);
    // Version 0: nothing is known of the state, so no expected version is sent until a call refreshes it.
    kc_lease *lease = korvo::api::kc_lease_new(client, ref->namespace_, ref->key, nullptr, ref->lease_id,
                                               ref->txn_id, ref->fencing_token, 0, nullptr, nullptr);
    if (!lease)
        return kc_error_set(error, KC_ERR_NOMEM, 0, "failed to allocate lease", nullptr, nullptr, nullptr);
    *out = lease;
    return KC_OK;
}

} // extern "C"
