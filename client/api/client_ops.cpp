// The client's lease, state and attachment methods, the mapped state load and the attachment
// operations shared with the lease handle, and acquire_for_update.
#include "api/client_internal.h"
#include "api/lease_internal.h"
#include "api/op_support.h"
#include "api/records.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace korvo::api {

const LoadMessages kClientLoadMessages{"failed to initialize mapped load parser", "failed to parse mapped state",
                                       "mapped load state is required"};
const LoadMessages kLeaseLoadMessages{"failed to initialize mapped lease load parser",
                                      "failed to parse mapped lease state", "mapped lease load state is required"};

namespace {

constexpr OpEvents kAcquireEvents{"client.acquire.start", "client.acquire.success", "client.acquire.error", nullptr,
                                  Level::Error, Level::Info};
constexpr OpEvents kAcquireForUpdateEvents{"client.acquire_for_update.start", "client.acquire_for_update.success",
                                           nullptr, nullptr, Level::Error, Level::Info};
constexpr OpEvents kUpdateEvents{"client.update.start", "client.update.success", "client.update.error",
                                 "client.update.transport_error", Level::Warn, Level::Trace};
constexpr OpEvents kAttachEvents{"client.attachment.attach.start", "client.attachment.attach.success",
                                 "client.attachment.attach.error", nullptr, Level::Warn, Level::Trace};
constexpr OpEvents kListEvents{"client.attachment.list.start", "client.attachment.list.success",
                               "client.attachment.list.error", nullptr, Level::Warn, Level::Trace};
constexpr OpEvents kGetAttachmentEvents{"client.attachment.get.start", "client.attachment.get.success",
                                        "client.attachment.get.error", nullptr, Level::Warn, Level::Trace};
constexpr OpEvents kDeleteEvents{"client.attachment.delete.start", "client.attachment.delete.success",
                                 "client.attachment.delete.error", nullptr, Level::Warn, Level::Trace};
constexpr OpEvents kDeleteAllEvents{"client.attachment.delete_all.start", "client.attachment.delete_all.success",
                                    "client.attachment.delete_all.error", nullptr, Level::Warn, Level::Trace};

constexpr const char *kByteLimitMessage = "mapped state response exceeds configured byte limit";

// ---- Mapped load ----------------------------------------------------------------------------

struct LoadState {
    vellum_curl_parse parser;
    size_t limit;
    size_t received;
    bool parse_failed;
};

// The engine's writer for a mapped load: counts the body against the limit and feeds the parser.
template <bool kLease> int load_writer(void *user, const void *bytes, size_t length, kc_engine_error *error) {
    const LoadMessages &messages = kLease ? kLeaseLoadMessages : kClientLoadMessages;
    auto *state = static_cast<LoadState *>(user);
    if (!state) {
        kc_engine_set_client_error(error, KC_ERR_INVALID, messages.state_required);
        return 0;
    }
    if (length > state->limit - state->received) {
        kc_engine_set_protocol_error(error, kByteLimitMessage);
        return 0;
    }
    state->received += length;
    if (vellum_curl_write_callback(bytes, 1, length, &state->parser) != length) {
        state->parse_failed = true;
        kc_engine_set_protocol_error(error, messages.parse_failed);
        return 0;
    }
    return 1;
}

bool clears_destination(const vellum_parse_options *options) {
    return options ? options->clear_destination != 0 : vellum_default_parse_options().clear_destination != 0;
}

// ---- acquire_for_update's snapshot sink --------------------------------------------------------

struct FileCloser {
    void operator()(FILE *file) const {
        if (file) std::fclose(file);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct SnapshotSink {
    kc_sink pub;
    FILE *file;
    bool closed;
};

int snapshot_write(kc_sink *sink, const void *bytes, size_t length, kc_error *error) {
    auto *snapshot = reinterpret_cast<SnapshotSink *>(sink);
    if (snapshot->closed) {
        kc_error_set(error, KC_ERR_INVALID, 0, "acquire_for_update sink is closed", nullptr, nullptr, nullptr);
        return 0;
    }
    if (length > 0 && std::fwrite(bytes, 1, length, snapshot->file) != length) {
        kc_error_set(error, KC_ERR_TRANSPORT, 0, "failed to write acquire_for_update snapshot", std::strerror(errno),
                     nullptr, nullptr);
        return 0;
    }
    return 1;
}

void snapshot_close(kc_sink *sink) { reinterpret_cast<SnapshotSink *>(sink)->closed = true; }

// Gives a lease up after a failure on the way: rolled back; closed locally when that fails.
void release_after_failure(kc_lease *lease) {
    kc_release_req request;
    kc_release_req_init(&request);
    request.rollback = 1;
    if (kc_lease_release(lease, &request, nullptr) != KC_OK) kc_lease_close(lease);
}

} // namespace

int load_mapped_state(ClientHandle *client, const kc_engine_get_stream_request *request, const vellum_map *map,
                      void *destination, const vellum_parse_options *parse_options, const LoadMessages &messages,
                      kc_engine_get_stream_response *response, kc_error *failure) {
    LoadState state{};
    state.limit = client->engine->max_response_bytes;
    vellum_status status = vellum_curl_parse_init(&state.parser, map, destination, parse_options);
    if (status != VELLUM_STATUS_OK) {
        vellum_curl_parse_cleanup(&state.parser);
        int code = kc_vellum_error_from_status(failure, status, &state.parser.error, messages.init_failed);
        return code != KC_OK ? code : kc_error_set(failure, KC_ERR_INVALID, 0, messages.init_failed, nullptr, nullptr,
                                                   nullptr);
    }
    kc_engine_writer_fn writer = &messages == &kLeaseLoadMessages ? load_writer<true> : load_writer<false>;
    EngineError engine_error;
    int code = kc_engine_client_get_into(client->engine, request, writer, &state, response, &engine_error.record);
    if (code != KC_OK) {
        if (state.parse_failed) {
            code = kc_vellum_error_from_status(failure, state.parser.error.code, &state.parser.error,
                                               messages.parse_failed);
        } else {
            code = kc_error_from_engine(failure, &engine_error.record);
        }
    } else if (!response->no_content) {
        status = vellum_curl_parse_finish(&state.parser);
        code = kc_vellum_error_from_status(failure, status, &state.parser.error, messages.parse_failed);
        if (code != KC_OK) kc_engine_get_stream_response_cleanup(response);
    }
    vellum_curl_parse_cleanup(&state.parser);
    // A failed load leaves nothing behind in the record, so no partial value needs freeing.
    if (code != KC_OK && clears_destination(parse_options)) vellum_reset(map, destination);
    return code;
}

namespace {

// Opens the handle of an acquired lease. What the server left out is taken from the request,
// so the lease always knows its key.
int open_acquired_lease(const OpRun &run, const kc_acquire_req &req, const kc_engine_acquire_response &r,
                        kc_lease **out) {
    const char *ns = r.namespace_ ? r.namespace_ : kc_engine_effective_namespace(run.client->engine, req.namespace_);
    kc_lease *lease = kc_lease_new(&run.client->pub, ns, r.key ? r.key : req.key, r.owner ? r.owner : req.owner,
                                   r.lease_id, r.txn_id ? r.txn_id : req.txn_id, static_cast<long>(r.fencing_token),
                                   static_cast<long>(r.version), r.state_etag, nullptr);
    if (!lease) return run.out_of_memory("failed to allocate lease handle");
    lease_set_expires_at(lease, static_cast<long>(r.expires_at_unix));
    *out = lease;

    FieldList success;
    success.str("key", lease->key).str("lease_id", r.lease_id).str("txn_id", r.txn_id).str("cid", r.correlation_id);
    return run.succeed(success);
}

// The end of the client's get and load: result copy and events.
int finish_client_read(const OpRun &run, const char *key, int public_read, const kc_engine_get_stream_response &r,
                       kc_get_res *out) {
    if (!copy_get_result(out, &r)) return run.out_of_memory("failed to copy get response");
    if (r.no_content) log_at(Level::Debug, run.client->logger, "client.get.empty", run.start.data(), run.start.size());
    FieldList success;
    success.str("key", key)
        .boolean("public", public_read)
        .i64("version", r.version)
        .i64("fencing_token", r.fencing_token)
        .str("cid", r.correlation_id);
    return run.succeed(success);
}

kc_engine_get_stream_request read_request(const char *key, int public_read) {
    kc_engine_get_stream_request request{};
    request.key = key;
    request.public_read = public_read;
    return request;
}

// The client reports an upload with its start fields, the new version and the correlation id.
FieldList client_attach_success(const FieldList &start, const kc_engine_attach_response &r) {
    FieldList success = start;
    success.boolean("noop", r.noop).i64("version", r.version).str("cid", r.correlation_id);
    return success;
}

} // namespace

int kc_client_acquire_method(kc_client *self, const kc_acquire_req *req, kc_lease **out, kc_error *error) {
    if (!self || !req || !out) return invalid_argument(error, "acquire requires self, req, and out");
    FieldList start;
    start.str("key", req->key).str("owner", req->owner).i64("ttl_seconds", req->ttl_seconds);
    OpRun run = begin_op(handle_of(self), kAcquireEvents, start, error);

    kc_engine_acquire_request request{};
    request.namespace_ = req->namespace_;
    request.key = req->key;
    request.owner = req->owner;
    request.ttl_seconds = req->ttl_seconds;
    request.block_seconds = req->block_seconds;
    request.if_not_exists = req->if_not_exists;
    request.txn_id = req->txn_id;
    return call_engine<kc_engine_acquire_response_cleanup>(
        run, kc_engine_client_acquire, request,
        [&](const kc_engine_acquire_response &r) { return open_acquired_lease(run, *req, r, out); });
}

int kc_client_describe_method(kc_client *self, const kc_describe_req *req, kc_describe_res *out, kc_error *error) {
    if (!self || !req || !out) return invalid_argument(error, "describe requires self, req, and out");
    FieldList start;
    start.str("key", req->key);
    OpRun run = begin_op(handle_of(self), kDescribeEvents, start, error);

    kc_engine_describe_request request{};
    request.namespace_ = req->namespace_;
    request.key = req->key;
    return call_engine<kc_engine_describe_response_cleanup>(
        run, kc_engine_client_describe, request, [&](const kc_engine_describe_response &r) {
            FieldList success;
            success.str("key", req->key)
                .i64("version", r.version)
                .str("state_etag", r.state_etag)
                .str("cid", r.correlation_id);
            return run.copied(copy_describe_result(out, &r), "failed to copy describe response", success);
        });
}

int kc_client_get_method(kc_client *self, const char *key, const kc_get_opts *opts, kc_sink *dst, kc_get_res *out,
                         kc_error *error) {
    if (!self || !key || !dst || !out) return invalid_argument(error, "get requires self, key, dst, and out");
    int public_read = opts ? opts->public_ : 0;
    FieldList start;
    start.str("key", key);
    if (opts) start.boolean("public", public_read);
    OpRun run = begin_op(handle_of(self), kGetEvents, start, error);

    return stream_engine<kc_engine_get_stream_response_cleanup>(
        run, kc_engine_client_get_into, read_request(key, public_read), kc_engine_write_bridge, dst,
        [&](const kc_engine_get_stream_response &r) { return finish_client_read(run, key, public_read, r, out); });
}

int kc_client_load_method(kc_client *self, const char *key, const vellum_map *map, void *destination,
                          const vellum_parse_options *parse_options, const kc_get_opts *opts, kc_get_res *out,
                          kc_error *error) {
    if (!self || !key || !map || !destination || !out)
        return invalid_argument(error, "load requires self, key, map, destination, and out");
    int public_read = opts ? opts->public_ : 0;
    FieldList start;
    start.str("key", key).boolean("public", public_read);
    OpRun run = begin_op(handle_of(self), kGetEvents, start, error);

    return run_mapped_load(
        run, read_request(key, public_read), map, destination, parse_options, kClientLoadMessages,
        [&](const kc_engine_get_stream_response &r) { return finish_client_read(run, key, public_read, r, out); });
}

int kc_client_update_method(kc_client *self, const kc_update_req *req, kc_source *src, kc_update_res *out,
                            kc_error *error) {
    if (!self || !req || !src || !out) return invalid_argument(error, "update requires self, req, src, and out");
    OpRun run = begin_op(handle_of(self), kUpdateEvents, lease_fields(*req, true, true), error);

    kc_engine_update_from_request request{};
    fill_identity(request, *req);
    request.if_state_etag = req->if_state_etag;
    request.if_version = req->if_version;
    request.has_if_version = req->if_version_set;
    request.content_type = req->content_type && req->content_type[0] ? req->content_type : "application/json";
    return stream_engine<kc_engine_update_response_cleanup>(
        run, kc_engine_client_update_from, request, kc_engine_read_bridge, src,
        [&](const kc_engine_update_response &r) {
            FieldList success = lease_fields(*req, true, false);
            success.i64("new_version", r.new_version).str("new_etag", r.new_state_etag).str("cid", r.correlation_id);
            return run.copied(copy_update_result(out, &r), "failed to copy update response", success);
        });
}

int kc_client_mutate_method(kc_client *self, const kc_mutate_op *req, kc_mutate_res *out, kc_error *error) {
    if (!self || !req || !out) return invalid_argument(error, "mutate requires self, req, and out");
    OpRun run = begin_op(handle_of(self), kMutateEvents, lease_fields(req->lease, true, true), error);

    kc_engine_mutate_request request{};
    fill_identity(request, req->lease);
    request.if_state_etag = req->if_state_etag;
    request.if_version = req->if_version;
    request.has_if_version = req->if_version_set;
    request.mutations = req->mutations;
    request.mutation_count = req->mutation_count;
    return call_engine<kc_engine_mutate_response_cleanup>(
        run, kc_engine_client_mutate, request, [&](const kc_engine_update_response &r) {
            FieldList success = run.start;
            success.i64("new_version", r.new_version).str("new_etag", r.new_state_etag).str("cid", r.correlation_id);
            return run.copied(copy_mutate_result(out, &r), "failed to copy mutate response", success);
        });
}

int kc_client_metadata_method(kc_client *self, const kc_metadata_op *req, kc_metadata_res *out, kc_error *error) {
    if (!self || !req || !out) return invalid_argument(error, "metadata requires self, req, and out");
    OpRun run = begin_op(handle_of(self), kMetadataEvents, lease_fields(req->lease, true, false), error);

    kc_engine_metadata_request request{};
    fill_identity(request, req->lease);
    request.if_version = req->if_version;
    request.has_if_version = req->if_version_set;
    request.has_query_hidden = req->query_hidden_set;
    request.query_hidden = req->query_hidden;
    return call_engine<kc_engine_metadata_response_cleanup>(
        run, kc_engine_client_update_metadata, request, [&](const kc_engine_metadata_response &r) {
            FieldList success = run.start;
            success.i64("version", r.version).boolean("query_hidden", r.query_hidden).str("cid", r.correlation_id);
            return run.copied(copy_metadata_result(out, &r), "failed to copy metadata response", success);
        });
}

int kc_client_remove_method(kc_client *self, const kc_remove_op *req, kc_remove_res *out, kc_error *error) {
    if (!self || !req || !out) return invalid_argument(error, "remove requires self, req, and out");
    OpRun run = begin_op(handle_of(self), kRemoveEvents, lease_fields(req->lease, true, true), error);

    kc_engine_remove_request request{};
    fill_identity(request, req->lease);
    request.if_state_etag = req->if_state_etag;
    request.if_version = req->if_version;
    request.has_if_version = req->if_version_set;
    return call_engine<kc_engine_remove_response_cleanup>(
        run, kc_engine_client_remove, request, [&](const kc_engine_remove_response &r) {
            FieldList success = run.start;
            success.boolean("removed", r.removed).i64("new_version", r.new_version).str("cid", r.correlation_id);
            return run.copied(copy_remove_result(out, &r), "failed to copy remove response", success);
        });
}

int kc_client_keepalive_method(kc_client *self, const kc_keepalive_op *req, kc_keepalive_res *out, kc_error *error) {
    if (!self || !req || !out) return invalid_argument(error, "keepalive requires self, req, and out");
    FieldList start = lease_fields(req->lease, false, false);
    start.i64("ttl_seconds", req->ttl_seconds).i64("fencing_token", req->lease.fencing_token);
    OpRun run = begin_op(handle_of(self), kKeepaliveEvents, start, error);

    kc_engine_keepalive_request request{};
    fill_identity(request, req->lease);
    request.ttl_seconds = req->ttl_seconds;
    return call_engine<kc_engine_keepalive_response_cleanup>(
        run, kc_engine_client_keepalive, request, [&](const kc_engine_keepalive_response &r) {
            FieldList success = run.start;
            success.i64("expires_at", r.expires_at_unix).str("cid", r.correlation_id);
            return run.copied(copy_keepalive_result(out, &r), "failed to copy keepalive response", success);
        });
}

int kc_client_release_method(kc_client *self, const kc_release_op *req, kc_release_res *out, kc_error *error) {
    if (!self || !req || !out) return invalid_argument(error, "release requires self, req, and out");
    OpRun run = begin_op(handle_of(self), kReleaseEvents, lease_fields(req->lease, true, false), error);

    kc_engine_release_request request{};
    fill_identity(request, req->lease);
    request.rollback = req->rollback;
    return call_engine<kc_engine_release_response_cleanup>(
        run, kc_engine_client_release, request, [&](const kc_engine_release_response &r) {
            FieldList success = lease_fields(req->lease, false, false);
            success.boolean("released", r.released).str("cid", r.correlation_id);
            return run.copied(copy_release_result(out, &r), "failed to copy release response", success);
        });
}

int kc_client_attach_method(kc_client *self, const kc_attach_op *req, kc_source *src, kc_attach_res *out,
                            kc_error *error) {
    if (!self || !req || !src || !out) return invalid_argument(error, "attach requires self, req, src, and out");
    FieldList start = lease_fields(req->lease, false, false);
    start.str("name", req->name).str("content_type", req->content_type);
    const kc_attach_req params{req->name, req->content_type, req->max_bytes, req->max_bytes_set,
                               req->prevent_overwrite};
    return attach_op(begin_op(handle_of(self), kAttachEvents, start, error), req->lease, params, src, out, nullptr,
                     client_attach_success);
}

int kc_client_list_attachments_method(kc_client *self, const kc_attachment_list_op *req, kc_attachment_list *out,
                                      kc_error *error) {
    if (!self || !req || !out) return invalid_argument(error, "list_attachments requires self, req, and out");
    FieldList start = lease_fields(req->lease, false, false);
    start.boolean("public", req->public_);
    return list_attachments_op(begin_op(handle_of(self), kListEvents, start, error), req->lease, req->public_, out);
}

int kc_client_get_attachment_method(kc_client *self, const kc_attachment_get_op *req, kc_sink *dst,
                                    kc_attachment_get_res *out, kc_error *error) {
    if (!self || !req || !dst || !out)
        return invalid_argument(error, "get_attachment requires self, req, dst, and out");
    OpRun run = begin_op(handle_of(self), kGetAttachmentEvents, selector_fields(req->lease, req->selector), error);
    return get_attachment_op(run, req->lease, req->public_, req->selector, dst, out);
}

int kc_client_delete_attachment_method(kc_client *self, const kc_attachment_delete_op *req, int *deleted,
                                       kc_error *error) {
    if (!self || !req || !deleted) return invalid_argument(error, "delete_attachment requires self, req, and deleted");
    OpRun run = begin_op(handle_of(self), kDeleteEvents, selector_fields(req->lease, req->selector), error);
    return delete_attachment_op(run, req->lease, req->selector, deleted, nullptr);
}

int kc_client_delete_all_attachments_method(kc_client *self, const kc_attachment_delete_all_op *req,
                                            int *deleted_count, kc_error *error) {
    if (!self || !req || !deleted_count)
        return invalid_argument(error, "delete_all_attachments requires self, req, and deleted_count");
    OpRun run = begin_op(handle_of(self), kDeleteAllEvents, lease_fields(req->lease, false, false), error);
    return delete_all_attachments_op(run, req->lease, deleted_count, nullptr);
}

// ---- Attachment operations shared with the lease handle ------------------------------------

FieldList selector_fields(const kc_lease_ref &lease, const kc_attachment_selector &selector) {
    FieldList fields = lease_fields(lease, false, false);
    fields.str("attachment_id", selector.id).str("name", selector.name);
    return fields;
}

int attach_op(const OpRun &run, const kc_lease_ref &lease, const kc_attach_req &params, kc_source *src,
              kc_attach_res *out, kc_lease *follower, AttachSuccessFields success_fields) {
    kc_engine_attach_request request{};
    fill_identity(request, lease);
    request.name = params.name;
    request.content_type = params.content_type;
    request.max_bytes = params.max_bytes;
    request.has_max_bytes = params.max_bytes_set;
    request.prevent_overwrite = params.prevent_overwrite;
    return stream_engine<kc_engine_attach_response_cleanup>(
        run, kc_engine_client_attach_from, request, kc_engine_read_bridge, src,
        [&](const kc_engine_attach_response &r) {
            if (!copy_attach_result(out, &r)) return run.out_of_memory("failed to copy attach response");
            if (follower) lease_follow_version(follower, r.version);
            return run.succeed(success_fields(run.start, r));
        });
}

int list_attachments_op(const OpRun &run, const kc_lease_ref &lease, int public_read, kc_attachment_list *out) {
    kc_engine_list_attachments_request request{};
    fill_identity(request, lease);
    request.public_read = public_read;
    return call_engine<kc_engine_list_attachments_response_cleanup>(
        run, kc_engine_client_list_attachments, request, [&](const kc_engine_list_attachments_response &r) {
            FieldList success = lease_fields(lease, false, false);
            success.u64("count", r.attachment_count).str("cid", r.correlation_id);
            return run.copied(copy_attachment_list(out, &r), "failed to copy list_attachments response", success);
        });
}

int get_attachment_op(const OpRun &run, const kc_lease_ref &lease, int public_read,
                      const kc_attachment_selector &selector, kc_sink *dst, kc_attachment_get_res *out) {
    kc_engine_get_attachment_request request{};
    fill_identity(request, lease);
    request.public_read = public_read;
    request.selector.id = selector.id;
    request.selector.name = selector.name;
    return stream_engine<kc_engine_get_attachment_response_cleanup>(
        run, kc_engine_client_get_attachment_into, request, kc_engine_write_bridge, dst,
        [&](const kc_engine_get_attachment_response &r) {
            FieldList success = run.start;
            success.str("cid", r.correlation_id);
            return run.copied(copy_attachment_get_result(out, &r), "failed to copy get_attachment response", success);
        });
}

int delete_attachment_op(const OpRun &run, const kc_lease_ref &lease, const kc_attachment_selector &selector,
                         int *deleted, kc_lease *follower) {
    kc_engine_delete_attachment_request request{};
    fill_identity(request, lease);
    request.selector.id = selector.id;
    request.selector.name = selector.name;
    return call_engine<kc_engine_delete_attachment_response_cleanup>(
        run, kc_engine_client_delete_attachment, request, [&](const kc_engine_delete_attachment_response &r) {
            *deleted = r.deleted;
            if (follower) lease_follow_version(follower, r.version);
            FieldList success = run.start;
            success.boolean("deleted", r.deleted).str("cid", r.correlation_id);
            return run.succeed(success);
        });
}

int delete_all_attachments_op(const OpRun &run, const kc_lease_ref &lease, int *deleted_count, kc_lease *follower) {
    kc_engine_delete_all_attachments_request request{};
    fill_identity(request, lease);
    return call_engine<kc_engine_delete_all_attachments_response_cleanup>(
        run, kc_engine_client_delete_all_attachments, request,
        [&](const kc_engine_delete_all_attachments_response &r) {
            *deleted_count = r.deleted;
            if (follower) lease_follow_version(follower, r.version);
            FieldList success = run.start;
            success.i64("deleted", r.deleted).str("cid", r.correlation_id);
            return run.succeed(success);
        });
}

int kc_client_acquire_for_update_method(kc_client *self, const kc_acquire_req *req, kc_acquire_for_update_fn handler,
                                        void *handler_context, kc_error *error) {
    if (!self || !req || !handler)
        return invalid_argument(error, "acquire_for_update requires self, req, and handler");
    ClientHandle *client = handle_of(self);
    FieldList start;
    start.str("key", req->key).str("owner", req->owner);
    log_start(client->logger, kAcquireForUpdateEvents, start);

    kc_lease *lease = nullptr;
    int code = kc_acquire(self, req, &lease, error);
    if (code != KC_OK) return code;

    FilePtr file(std::tmpfile());
    if (!file) {
        int saved = errno;
        release_after_failure(lease);
        return kc_error_set(error, KC_ERR_TRANSPORT, 0, "failed to create acquire_for_update snapshot file",
                            std::strerror(saved), nullptr, nullptr);
    }
    SnapshotSink sink{{snapshot_write, snapshot_close}, file.get(), false};
    kc_get_res state_info{};
    code = kc_lease_get(lease, &sink.pub, nullptr, &state_info, error);
    if (code == KC_OK && std::fflush(file.get()) != 0) {
        int saved = errno;
        code = kc_error_set(error, KC_ERR_TRANSPORT, 0, "failed to flush acquire_for_update snapshot",
                            std::strerror(saved), nullptr, nullptr);
    }
    sink.pub.close(&sink.pub);
    if (code != KC_OK) {
        kc_get_res_cleanup(&state_info);
        release_after_failure(lease);
        return code;
    }
    std::rewind(file.get());

    kc_source *state = nullptr;
    if (!state_info.no_content) {
        state = kc_source_from_open_file(file.release(), 1); // takes the file, also on failure
        if (!state) {
            kc_get_res_cleanup(&state_info);
            release_after_failure(lease);
            return kc_error_set(error, KC_ERR_NOMEM, 0, "failed to wrap acquire_for_update snapshot source", nullptr,
                                nullptr, nullptr);
        }
    }
    file.reset();

    kc_acquire_for_update_context context{lease, &state_info, state, handler_context};
    kc_error handler_error{};
    int handler_code = handler(&context, &handler_error);
    kc_source_close(state);
    kc_get_res_cleanup(&state_info);

    kc_release_req release;
    kc_release_req_init(&release);
    release.rollback = handler_code != KC_OK ? 1 : 0;
    kc_error release_error{};
    int release_code = kc_lease_release(lease, &release, &release_error);
    if (release_code != KC_OK) kc_lease_close(lease);

    if (handler_code != KC_OK) {
        kc_error_cleanup(&release_error);
        if (handler_error.code == KC_OK) {
            kc_error_cleanup(&handler_error);
            return kc_error_set(error, handler_code, 0, "acquire_for_update handler failed", nullptr, nullptr,
                                nullptr);
        }
        return hand_over_error(&handler_error, error);
    }
    kc_error_cleanup(&handler_error);
    if (release_code != KC_OK) return hand_over_error(&release_error, error);

    FieldList success;
    success.str("key", req->key);
    log_success(client->logger, kAcquireForUpdateEvents, success);
    return KC_OK;
}

} // namespace korvo::api
