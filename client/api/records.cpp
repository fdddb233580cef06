// Request initialisers, result cleanups, and the copies of engine responses into results.
#include "api/records.h"

#include "api/client_internal.h"

#include <cstdlib>
#include <cstring>

namespace korvo::api {
namespace {

template <typename T> T *zero_record(T *record) {
    if (record) std::memset(record, 0, sizeof(*record));
    return record;
}

void free_text(char *&text) {
    std::free(text);
    text = nullptr;
}

bool copy_info(kc_attachment_info *out, const kc_engine_attachment_info *in) {
    std::memset(out, 0, sizeof(*out));
    out->size = in->size;
    out->created_at_unix = in->created_at_unix;
    out->updated_at_unix = in->updated_at_unix;
    if (copy_text(&out->id, in->id) && copy_text(&out->name, in->name) &&
        copy_text(&out->plaintext_sha256, in->plaintext_sha256) && copy_text(&out->content_type, in->content_type))
        return true;
    kc_attachment_info_cleanup(out);
    return false;
}

} // namespace

bool copy_text(char **out, const char *text) {
    *out = kc_strdup_local(text);
    return *out != nullptr || text == nullptr;
}

bool copy_describe_result(kc_describe_res *out, const kc_engine_describe_response *in) {
    kc_describe_res copy{};
    copy.expires_at_unix = in->expires_at_unix;
    copy.version = in->version;
    copy.updated_at_unix = in->updated_at_unix;
    copy.metadata_present = in->metadata_present;
    copy.query_hidden = in->query_hidden;
    if (!copy_text(&copy.namespace_, in->namespace_) || !copy_text(&copy.key, in->key) ||
        !copy_text(&copy.owner, in->owner) || !copy_text(&copy.lease_id, in->lease_id) ||
        !copy_text(&copy.state_etag, in->state_etag) || !copy_text(&copy.correlation_id, in->correlation_id)) {
        kc_describe_res_cleanup(&copy);
        return false;
    }
    *out = copy;
    return true;
}

bool copy_get_result(kc_get_res *out, const kc_engine_get_stream_response *in) {
    kc_get_res copy{};
    copy.no_content = in->no_content;
    copy.version = in->version;
    copy.fencing_token = in->fencing_token;
    if (!copy_text(&copy.content_type, in->content_type) || !copy_text(&copy.etag, in->etag) ||
        !copy_text(&copy.correlation_id, in->correlation_id)) {
        kc_get_res_cleanup(&copy);
        return false;
    }
    *out = copy;
    return true;
}

bool copy_update_result(kc_update_res *out, const kc_engine_update_response *in) {
    kc_update_res copy{};
    copy.new_version = in->new_version;
    copy.bytes = in->bytes;
    if (!copy_text(&copy.new_state_etag, in->new_state_etag) ||
        !copy_text(&copy.correlation_id, in->correlation_id)) {
        kc_update_res_cleanup(&copy);
        return false;
    }
    *out = copy;
    return true;
}

bool copy_mutate_result(kc_mutate_res *out, const kc_engine_update_response *in) {
    kc_mutate_res copy{};
    copy.new_version = in->new_version;
    copy.bytes = in->bytes;
    if (!copy_text(&copy.new_state_etag, in->new_state_etag) ||
        !copy_text(&copy.correlation_id, in->correlation_id)) {
        kc_mutate_res_cleanup(&copy);
        return false;
    }
    *out = copy;
    return true;
}

bool copy_metadata_result(kc_metadata_res *out, const kc_engine_metadata_response *in) {
    kc_metadata_res copy{};
    copy.version = in->version;
    copy.metadata_present = in->metadata_present;
    copy.query_hidden = in->query_hidden;
    if (!copy_text(&copy.namespace_, in->namespace_) || !copy_text(&copy.key, in->key) ||
        !copy_text(&copy.correlation_id, in->correlation_id)) {
        kc_metadata_res_cleanup(&copy);
        return false;
    }
    *out = copy;
    return true;
}

bool copy_remove_result(kc_remove_res *out, const kc_engine_remove_response *in) {
    kc_remove_res copy{};
    copy.removed = in->removed;
    copy.new_version = in->new_version;
    if (!copy_text(&copy.correlation_id, in->correlation_id)) return false;
    *out = copy;
    return true;
}

bool copy_keepalive_result(kc_keepalive_res *out, const kc_engine_keepalive_response *in) {
    kc_keepalive_res copy{};
    copy.expires_at_unix = in->expires_at_unix;
    copy.version = in->version;
    if (!copy_text(&copy.state_etag, in->state_etag) || !copy_text(&copy.correlation_id, in->correlation_id)) {
        kc_keepalive_res_cleanup(&copy);
        return false;
    }
    *out = copy;
    return true;
}

bool copy_release_result(kc_release_res *out, const kc_engine_release_response *in) {
    kc_release_res copy{};
    copy.released = in->released;
    if (!copy_text(&copy.correlation_id, in->correlation_id)) return false;
    *out = copy;
    return true;
}

bool copy_attach_result(kc_attach_res *out, const kc_engine_attach_response *in) {
    kc_attach_res copy{};
    copy.noop = in->noop;
    copy.version = in->version;
    if (!copy_info(&copy.attachment, &in->attachment)) return false;
    if (!copy_text(&copy.correlation_id, in->correlation_id)) {
        kc_attach_res_cleanup(&copy);
        return false;
    }
    *out = copy;
    return true;
}

bool copy_attachment_list(kc_attachment_list *out, const kc_engine_list_attachments_response *in) {
    kc_attachment_list copy{};
    if (!copy_text(&copy.namespace_, in->namespace_) || !copy_text(&copy.key, in->key) ||
        !copy_text(&copy.correlation_id, in->correlation_id)) {
        kc_attachment_list_cleanup(&copy);
        return false;
    }
    if (in->attachment_count > 0 && in->attachments) {
        copy.attachments =
            static_cast<kc_attachment_info *>(std::calloc(in->attachment_count, sizeof(kc_attachment_info)));
        if (!copy.attachments) {
            kc_attachment_list_cleanup(&copy);
            return false;
        }
        for (size_t i = 0; i < in->attachment_count; i++) {
            if (!copy_info(&copy.attachments[i], &in->attachments[i])) {
                kc_attachment_list_cleanup(&copy); // count covers the entries copied so far
                return false;
            }
            copy.count = i + 1;
        }
    }
    *out = copy;
    return true;
}

bool copy_attachment_get_result(kc_attachment_get_res *out, const kc_engine_get_attachment_response *in) {
    kc_attachment_get_res copy{};
    copy.size = in->size;
    copy.created_at_unix = in->created_at_unix;
    copy.updated_at_unix = in->updated_at_unix;
    if (!copy_text(&copy.id, in->attachment_id) || !copy_text(&copy.name, in->name) ||
        !copy_text(&copy.plaintext_sha256, in->plaintext_sha256) ||
        !copy_text(&copy.content_type, in->content_type) || !copy_text(&copy.correlation_id, in->correlation_id)) {
        kc_attachment_get_res_cleanup(&copy);
        return false;
    }
    *out = copy;
    return true;
}

} // namespace korvo::api

using korvo::api::free_text;
using korvo::api::zero_record;

extern "C" {

KC_API kc_client_config *kc_client_config_init(kc_client_config *config) {
    if (!config) return nullptr;
    std::memset(config, 0, sizeof(*config));
    config->timeout_ms = 30000;
    config->prefer_http2 = 1;
    config->max_response_bytes = 0;
    return config;
}

KC_API kc_lease_ref *kc_lease_ref_init(kc_lease_ref *ref) { return zero_record(ref); }
KC_API kc_acquire_req *kc_acquire_req_init(kc_acquire_req *req) { return zero_record(req); }
KC_API kc_describe_req *kc_describe_req_init(kc_describe_req *req) { return zero_record(req); }
KC_API kc_get_opts *kc_get_opts_init(kc_get_opts *opts) { return zero_record(opts); }
KC_API kc_update_opts *kc_update_opts_init(kc_update_opts *opts) { return zero_record(opts); }
KC_API kc_update_req *kc_update_req_init(kc_update_req *req) { return zero_record(req); }
KC_API kc_mutate_req *kc_mutate_req_init(kc_mutate_req *req) { return zero_record(req); }
KC_API kc_mutate_op *kc_mutate_op_init(kc_mutate_op *op) { return zero_record(op); }
KC_API kc_metadata_req *kc_metadata_req_init(kc_metadata_req *req) { return zero_record(req); }
KC_API kc_metadata_op *kc_metadata_op_init(kc_metadata_op *op) { return zero_record(op); }
KC_API kc_remove_req *kc_remove_req_init(kc_remove_req *req) { return zero_record(req); }
KC_API kc_remove_op *kc_remove_op_init(kc_remove_op *op) { return zero_record(op); }
KC_API kc_keepalive_req *kc_keepalive_req_init(kc_keepalive_req *req) { return zero_record(req); }
KC_API kc_keepalive_op *kc_keepalive_op_init(kc_keepalive_op *op) { return zero_record(op); }
KC_API kc_release_req *kc_release_req_init(kc_release_req *req) { return zero_record(req); }
KC_API kc_release_op *kc_release_op_init(kc_release_op *op) { return zero_record(op); }
KC_API kc_attachment_selector *kc_attachment_selector_init(kc_attachment_selector *selector) {
    return zero_record(selector);
}
KC_API kc_attach_req *kc_attach_req_init(kc_attach_req *req) { return zero_record(req); }
KC_API kc_attach_op *kc_attach_op_init(kc_attach_op *op) { return zero_record(op); }
KC_API kc_attachment_list_req *kc_attachment_list_req_init(kc_attachment_list_req *req) { return zero_record(req); }
KC_API kc_attachment_list_op *kc_attachment_list_op_init(kc_attachment_list_op *op) { return zero_record(op); }
KC_API kc_attachment_get_req *kc_attachment_get_req_init(kc_attachment_get_req *req) { return zero_record(req); }
KC_API kc_attachment_get_op *kc_attachment_get_op_init(kc_attachment_get_op *op) { return zero_record(op); }
KC_API kc_attachment_delete_op *kc_attachment_delete_op_init(kc_attachment_delete_op *op) { return zero_record(op); }
KC_API kc_attachment_delete_all_op *kc_attachment_delete_all_op_init(kc_attachment_delete_all_op *op) {
    return zero_record(op);
}

KC_API kc_describe_res *kc_describe_res_cleanup(kc_describe_res *res) {
    if (!res) return nullptr;
    free_text(res->namespace_);
    free_text(res->key);
    free_text(res->owner);
    free_text(res->lease_id);
    free_text(res->state_etag);
    free_text(res->correlation_id);
    return zero_record(res);
}

KC_API kc_get_res *kc_get_res_cleanup(kc_get_res *res) {
    if (!res) return nullptr;
    free_text(res->content_type);
    free_text(res->etag);
    free_text(res->correlation_id);
    return zero_record(res);
}

KC_API kc_update_res *kc_update_res_cleanup(kc_update_res *res) {
    if (!res) return nullptr;
    free_text(res->new_state_etag);
    free_text(res->correlation_id);
    return zero_record(res);
}

KC_API kc_mutate_res *kc_mutate_res_cleanup(kc_mutate_res *res) {
    if (!res) return nullptr;
    free_text(res->new_state_etag);
    free_text(res->correlation_id);
    return zero_record(res);
}

KC_API kc_metadata_res *kc_metadata_res_cleanup(kc_metadata_res *res) {
    if (!res) return nullptr;
    free_text(res->namespace_);
    free_text(res->key);
    free_text(res->correlation_id);
    return zero_record(res);
}

KC_API kc_remove_res *kc_remove_res_cleanup(kc_remove_res *res) {
    if (!res) return nullptr;
    free_text(res->correlation_id);
    return zero_record(res);
}

KC_API kc_keepalive_res *kc_keepalive_res_cleanup(kc_keepalive_res *res) {
    if (!res) return nullptr;
    free_text(res->state_etag);
    free_text(res->correlation_id);
    return zero_record(res);
}

KC_API kc_release_res *kc_release_res_cleanup(kc_release_res *res) {
    if (!res) return nullptr;
    free_text(res->correlation_id);
    return zero_record(res);
}

KC_API kc_attachment_info *kc_attachment_info_cleanup(kc_attachment_info *info) {
    if (!info) return nullptr;
    free_text(info->id);
    free_text(info->name);
    free_text(info->plaintext_sha256);
    free_text(info->content_type);
    return zero_record(info);
}

KC_API kc_attach_res *kc_attach_res_cleanup(kc_attach_res *res) {
    if (!res) return nullptr;
    kc_attachment_info_cleanup(&res->attachment);
    free_text(res->correlation_id);
    return zero_record(res);
}

KC_API kc_attachment_list *kc_attachment_list_cleanup(kc_attachment_list *list) {
    if (!list) return nullptr;
    if (list->attachments) {
        for (size_t i = 0; i < list->count; i++) kc_attachment_info_cleanup(&list->attachments[i]);
        std::free(list->attachments);
    }
    free_text(list->namespace_);
    free_text(list->key);
    free_text(list->correlation_id);
    return zero_record(list);
}

KC_API kc_attachment_get_res *kc_attachment_get_res_cleanup(kc_attachment_get_res *res) {
    if (!res) return nullptr;
    free_text(res->id);
    free_text(res->name);
    free_text(res->plaintext_sha256);
    free_text(res->content_type);
    free_text(res->correlation_id);
    return zero_record(res);
}

} // extern "C"
