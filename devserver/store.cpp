#include "store.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <chrono>

namespace korvo::devserver {

namespace {

int64_t system_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Unix seconds of a millisecond time, rounded down.
int64_t seconds(int64_t ms) { return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000); }

ApiError conflict(std::string error, std::string detail, int64_t version, const std::string &etag) {
    ApiError e = make_error(409, std::move(error), std::move(detail));
    e.current_version = version;
    e.current_etag = etag;
    return e;
}

} // namespace

std::string to_hex(const unsigned char *bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(length * 2, '0');
    for (size_t i = 0; i < length; i++) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0xF];
    }
    return out;
}

ApiError make_error(int status, std::string error, std::string detail) {
    ApiError e;
    e.status = status;
    e.error = std::move(error);
    e.detail = std::move(detail);
    return e;
}

std::string sha256_hex(const void *data, size_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    if (EVP_Digest(data, length, digest, &digest_length, EVP_sha256(), nullptr) != 1) return std::string();
    return to_hex(digest, digest_length);
}

std::string random_hex(size_t bytes) {
    std::string raw(bytes, '\0');
    auto *buffer = reinterpret_cast<unsigned char *>(raw.data());
    if (RAND_bytes(buffer, static_cast<int>(bytes)) != 1) {
        // Not expected on Linux; fall back to a clock-derived value rather than failing.
        uint64_t seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        for (size_t i = 0; i < bytes; i++) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            buffer[i] = static_cast<unsigned char>(seed >> 56);
        }
    }
    return to_hex(buffer, bytes);
}

Store::Store(Clock clock) : clock_(std::move(clock)) {}

int64_t Store::now_ms() const { return clock_ ? clock_() : system_ms(); }

Store::Entry *Store::find(const std::string &ns, const std::string &key) {
    auto it = entries_.find({ns, key});
    return it == entries_.end() ? nullptr : &it->second;
}

Store::Entry &Store::find_or_create(const std::string &ns, const std::string &key) { return entries_[{ns, key}]; }

// A lease whose time is up ends here; what it staged is dropped, as by a rollback.
void Store::expire(Entry &entry, int64_t now) {
    if (entry.lease && now >= entry.lease->expires_ms) entry.lease.reset();
}

Status Store::check_lease(Entry *entry, const LeaseRef &ref, int64_t now) {
    if (ref.lease_id.empty() && ref.txn_id.empty())
        return make_error(400, "lease_required", "the request names no lease (lease id or transaction id)");
    if (ref.fencing_token < 0) return make_error(400, "invalid_request", "fencing token must not be negative");
    if (!entry) return make_error(409, "lease_not_held", "the key has no lease");
    expire(*entry, now);
    if (ref.fencing_token > 0 && ref.fencing_token < entry->last_token)
        return make_error(409, "fencing_token_stale",
                          "fencing token " + std::to_string(ref.fencing_token) + " is older than the key's token " +
                              std::to_string(entry->last_token));
    if (!entry->lease) {
        bool was_last = !ref.lease_id.empty() && ref.lease_id == entry->last_lease_id;
        return make_error(409, "lease_not_held", was_last ? "the lease has expired or was released"
                                                          : "the key has no live lease");
    }
    const Lease &lease = *entry->lease;
    if ((!ref.lease_id.empty() && ref.lease_id != lease.lease_id) ||
        (!ref.txn_id.empty() && ref.txn_id != lease.txn_id))
        return make_error(409, "lease_not_held", "the key is held under another lease");
    if (ref.fencing_token > 0 && ref.fencing_token != lease.fencing_token)
        return make_error(409, "fencing_token_mismatch",
                          "fencing token " + std::to_string(ref.fencing_token) + " is not the lease's token " +
                              std::to_string(lease.fencing_token));
    return std::nullopt;
}

Status Store::check_preconditions(const View &view, const Preconditions &preconditions) {
    if (preconditions.if_version && *preconditions.if_version != view.version)
        return conflict("version_conflict",
                        "expected version " + std::to_string(*preconditions.if_version) + ", current is " +
                            std::to_string(view.version),
                        view.version, view.etag);
    if (preconditions.if_state_etag && *preconditions.if_state_etag != view.etag)
        return conflict("etag_conflict", "the state's entity tag does not match", view.version, view.etag);
    return std::nullopt;
}

Store::View &Store::holder_view(Entry &entry) {
    if (!entry.lease->staged) entry.lease->staged = entry.committed;
    return *entry.lease->staged;
}

const Store::View &Store::visible_view(const Entry &entry) {
    return entry.lease && entry.lease->staged ? *entry.lease->staged : entry.committed;
}

Status Store::view_for_read(Entry *entry, const LeaseRef *holder, int64_t now, const View *&view) {
    view = nullptr;
    if (holder) {
        if (Status s = check_lease(entry, *holder, now)) return s;
        view = &visible_view(*entry);
    } else if (entry) {
        expire(*entry, now);
        view = &entry->committed;
    }
    return std::nullopt;
}

void Store::record_change(View &view, int64_t now) {
    view.version++;
    view.updated_at_ms = now;
}

Status Store::acquire(const AcquireRequest &request, LeaseInfo &out) {
    out = LeaseInfo{};
    if (request.key.empty()) return make_error(400, "invalid_request", "key is required");
    if (request.owner.empty()) return make_error(400, "invalid_request", "owner is required");
    if (request.ttl_seconds <= 0) return make_error(400, "invalid_request", "ttl_seconds must be positive");
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = now_ms();
    Entry &entry = find_or_create(request.ns, request.key);
    expire(entry, now);
    if (entry.lease) {
        Lease &lease = *entry.lease;
        // The holder acquiring again keeps its lease (re-entrant), with the new time to live.
        bool same_holder = lease.owner == request.owner && (request.txn_id.empty() || request.txn_id == lease.txn_id);
        if (!same_holder) {
            ApiError e = make_error(409, "lease_held", "the key is leased by another owner");
            e.blocked_until_ms = lease.expires_ms;
            e.retry_after_seconds = (lease.expires_ms - now + 999) / 1000;
            return e;
        }
        lease.expires_ms = now + request.ttl_seconds * 1000;
    } else {
        if (request.if_not_exists && (entry.committed.has_state || !entry.committed.attachments.empty()))
            return make_error(409, "key_exists", "the key already exists");
        Lease lease;
        lease.owner = request.owner;
        lease.lease_id = random_hex(16);
        lease.txn_id = request.txn_id.empty() ? random_hex(12) : request.txn_id;
        lease.fencing_token = ++entry.last_token;
        lease.expires_ms = now + request.ttl_seconds * 1000;
        entry.last_lease_id = lease.lease_id;
        entry.lease = std::move(lease);
    }
    const Lease &lease = *entry.lease;
    const View &view = visible_view(entry);
    out.owner = lease.owner;
    out.lease_id = lease.lease_id;
    out.txn_id = lease.txn_id;
    out.fencing_token = lease.fencing_token;
    out.expires_at_unix = seconds(lease.expires_ms);
    out.version = view.version;
    out.state_etag = view.etag;
    return std::nullopt;
}

Status Store::keepalive(const std::string &ns, const std::string &key, const LeaseRef &ref, int64_t ttl_seconds,
                        KeepaliveResult &out) {
    out = KeepaliveResult{};
    if (ttl_seconds <= 0) return make_error(400, "invalid_request", "ttl_seconds must be positive");
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = now_ms();
    Entry *entry = find(ns, key);
    if (Status s = check_lease(entry, ref, now)) return s;
    entry->lease->expires_ms = now + ttl_seconds * 1000;
    const View &view = visible_view(*entry);
    out.expires_at_unix = seconds(entry->lease->expires_ms);
    out.version = view.version;
    out.state_etag = view.etag;
    return std::nullopt;
}

Status Store::release(const std::string &ns, const std::string &key, const LeaseRef &ref, bool rollback) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry *entry = find(ns, key);
    if (Status s = check_lease(entry, ref, now_ms())) return s;
    if (!rollback && entry->lease->staged) entry->committed = std::move(*entry->lease->staged);
    entry->lease.reset();
    return std::nullopt;
}

Status Store::check_write(const std::string &ns, const std::string &key, const LeaseRef &ref,
                          const Preconditions &preconditions) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry *entry = find(ns, key);
    if (Status s = check_lease(entry, ref, now_ms())) return s;
    return check_preconditions(visible_view(*entry), preconditions);
}

Status Store::read_state(const std::string &ns, const std::string &key, const LeaseRef *holder, StateRead &out) {
    out = StateRead{};
    std::lock_guard<std::mutex> lock(mutex_);
    Entry *entry = find(ns, key);
    const View *view = nullptr;
    if (Status s = view_for_read(entry, holder, now_ms(), view)) return s;
    if (!view) return std::nullopt; // nothing stored: the caller answers 204
    out.fencing_token = holder ? entry->lease->fencing_token : entry->last_token;
    out.has_state = view->has_state;
    out.data = view->state;
    out.content_type = view->content_type;
    out.etag = view->etag;
    out.version = view->version;
    return std::nullopt;
}

Status Store::write_state(const std::string &ns, const std::string &key, const LeaseRef &ref,
                          const Preconditions &preconditions, const std::string &content_type, std::string &&body,
                          WriteResult &out) {
    out = WriteResult{};
    // Hash outside the lock: a large document must not stall every other request.
    std::string etag = sha256_hex(body.data(), body.size());
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = now_ms();
    Entry *entry = find(ns, key);
    if (Status s = check_lease(entry, ref, now)) return s;
    if (Status s = check_preconditions(visible_view(*entry), preconditions)) return s;
    View &view = holder_view(*entry);
    out.bytes = static_cast<int64_t>(body.size());
    view.has_state = true;
    view.state = std::make_shared<const std::string>(std::move(body));
    view.content_type = content_type;
    view.etag = std::move(etag);
    record_change(view, now);
    out.new_version = view.version;
    out.new_etag = view.etag;
    return std::nullopt;
}

Status Store::update_metadata(const std::string &ns, const std::string &key, const LeaseRef &ref,
                              std::optional<int64_t> if_version, std::optional<bool> query_hidden,
                              MetadataResult &out) {
    out = MetadataResult{};
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = now_ms();
    Entry *entry = find(ns, key);
    if (Status s = check_lease(entry, ref, now)) return s;
    Preconditions preconditions;
    preconditions.if_version = if_version;
    if (Status s = check_preconditions(visible_view(*entry), preconditions)) return s;
    if (query_hidden) {
        View &view = holder_view(*entry);
        view.query_hidden = *query_hidden;
        record_change(view, now);
    }
    const View &view = visible_view(*entry);
    out.version = view.version;
    out.query_hidden = view.query_hidden;
    return std::nullopt;
}

Status Store::remove_state(const std::string &ns, const std::string &key, const LeaseRef &ref,
                           const Preconditions &preconditions, RemoveResult &out) {
    out = RemoveResult{};
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = now_ms();
    Entry *entry = find(ns, key);
    if (Status s = check_lease(entry, ref, now)) return s;
    if (Status s = check_preconditions(visible_view(*entry), preconditions)) return s;
    if (visible_view(*entry).has_state) {
        View &view = holder_view(*entry);
        view.has_state = false;
        view.state.reset();
        view.content_type.clear();
        view.etag.clear();
        record_change(view, now);
        out.removed = true;
    }
    out.new_version = visible_view(*entry).version;
    return std::nullopt;
}

Status Store::describe(const std::string &ns, const std::string &key, DescribeResult &out) {
    out = DescribeResult{};
    if (key.empty()) return make_error(400, "invalid_request", "key is required");
    std::lock_guard<std::mutex> lock(mutex_);
    Entry *entry = find(ns, key);
    if (!entry) return make_error(404, "key_not_found", "no such key");
    expire(*entry, now_ms());
    if (entry->lease) {
        out.owner = entry->lease->owner;
        out.lease_id = entry->lease->lease_id;
        out.expires_at_unix = seconds(entry->lease->expires_ms);
    }
    const View &view = entry->committed;
    out.version = view.version;
    out.state_etag = view.etag;
    out.updated_at_unix = seconds(view.updated_at_ms);
    out.query_hidden = view.query_hidden;
    return std::nullopt;
}

Status Store::check_attach(const std::string &ns, const std::string &key, const LeaseRef &ref,
                           const std::string &name, bool prevent_overwrite) {
    if (name.empty()) return make_error(400, "invalid_request", "attachment name is required");
    std::lock_guard<std::mutex> lock(mutex_);
    Entry *entry = find(ns, key);
    if (Status s = check_lease(entry, ref, now_ms())) return s;
    if (prevent_overwrite && visible_view(*entry).attachments.count(name))
        return make_error(409, "attachment_exists", "an attachment named '" + name + "' already exists");
    return std::nullopt;
}

Status Store::attach(const std::string &ns, const std::string &key, const LeaseRef &ref, const std::string &name,
                     const std::string &content_type, bool prevent_overwrite,
                     std::shared_ptr<const std::string> data, const std::string &sha256, AttachResult &out) {
    out = AttachResult{};
    if (name.empty()) return make_error(400, "invalid_request", "attachment name is required");
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = now_ms();
    Entry *entry = find(ns, key);
    if (Status s = check_lease(entry, ref, now)) return s;
    const View &current = visible_view(*entry);
    auto existing = current.attachments.find(name);
    if (existing != current.attachments.end()) {
        if (prevent_overwrite)
            return make_error(409, "attachment_exists", "an attachment named '" + name + "' already exists");
        const AttachmentInfo &info = existing->second.info;
        if (info.sha256 == sha256 && info.content_type == content_type) {
            out.info = info;
            out.noop = true;
            out.version = current.version;
            return std::nullopt;
        }
    }
    View &view = holder_view(*entry);
    AttachmentRead &slot = view.attachments[name];
    if (slot.info.id.empty()) {
        slot.info.id = random_hex(12);
        slot.info.name = name;
        slot.info.created_at_unix = seconds(now);
    }
    slot.info.content_type = content_type;
    slot.info.sha256 = sha256;
    slot.info.size = static_cast<int64_t>(data ? data->size() : 0);
    slot.info.updated_at_unix = seconds(now);
    slot.data = std::move(data);
    record_change(view, now);
    slot.version = view.version;
    out.info = slot.info;
    out.noop = false;
    out.version = view.version;
    return std::nullopt;
}

Status Store::list_attachments(const std::string &ns, const std::string &key, const LeaseRef *holder,
                               std::vector<AttachmentInfo> &out) {
    out.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    Entry *entry = find(ns, key);
    const View *view = nullptr;
    if (Status s = view_for_read(entry, holder, now_ms(), view)) return s;
    if (!view) return std::nullopt;
    for (const auto &[name, attachment] : view->attachments) out.push_back(attachment.info);
    return std::nullopt;
}

Status Store::select_attachment(const View &view, const std::string &name, const std::string &id,
                                const AttachmentRead *&out) {
    if (name.empty() && id.empty()) return make_error(400, "invalid_request", "attachment name or id is required");
    out = nullptr;
    if (!name.empty()) {
        auto it = view.attachments.find(name);
        if (it != view.attachments.end() && (id.empty() || it->second.info.id == id)) out = &it->second;
    } else {
        for (const auto &[key, attachment] : view.attachments)
            if (attachment.info.id == id) out = &attachment;
    }
    return std::nullopt;
}

Status Store::get_attachment(const std::string &ns, const std::string &key, const LeaseRef *holder,
                             const std::string &name, const std::string &id, AttachmentRead &out) {
    out = AttachmentRead{};
    std::lock_guard<std::mutex> lock(mutex_);
    Entry *entry = find(ns, key);
    const View *view = nullptr;
    if (Status s = view_for_read(entry, holder, now_ms(), view)) return s;
    const AttachmentRead *found = nullptr;
    View empty;
    if (Status s = select_attachment(view ? *view : empty, name, id, found)) return s;
    if (!found) return make_error(404, "attachment_not_found", "no such attachment");
    out = *found;
    out.version = view->version;
    return std::nullopt;
}

Status Store::delete_attachment(const std::string &ns, const std::string &key, const LeaseRef &ref,
                                const std::string &name, const std::string &id, bool &deleted, int64_t &version) {
    deleted = false;
    version = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = now_ms();
    Entry *entry = find(ns, key);
    if (Status s = check_lease(entry, ref, now)) return s;
    const AttachmentRead *found = nullptr;
    if (Status s = select_attachment(visible_view(*entry), name, id, found)) return s;
    deleted = found != nullptr;
    if (found) {
        std::string found_name = found->info.name;
        View &view = holder_view(*entry);
        view.attachments.erase(found_name);
        record_change(view, now);
    }
    version = visible_view(*entry).version;
    return std::nullopt;
}

Status Store::delete_all_attachments(const std::string &ns, const std::string &key, const LeaseRef &ref,
                                     int64_t &deleted, int64_t &version) {
    deleted = 0;
    version = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = now_ms();
    Entry *entry = find(ns, key);
    if (Status s = check_lease(entry, ref, now)) return s;
    deleted = static_cast<int64_t>(visible_view(*entry).attachments.size());
    if (deleted > 0) {
        View &view = holder_view(*entry);
        view.attachments.clear();
        record_change(view, now);
    }
    version = visible_view(*entry).version;
    return std::nullopt;
}

} // namespace korvo::devserver
