// The development server's in-memory data: per namespace and key a lease (owner, lease id,
// transaction id, fencing token, expiry), a committed view (state document, version, entity
// tag, metadata, attachments) and the view staged under the current lease. Changes made under
// a lease go to its staged view; release commits it, rollback and expiry discard it.
// Every operation resets its result arguments first, so a reused record never keeps old values.
// Thread-safe: every operation takes the store's mutex. Knows nothing about HTTP beyond the
// status code and error string that each refusal carries.
#ifndef KORVO_DEVSERVER_STORE_H
#define KORVO_DEVSERVER_STORE_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvo::devserver {

// Why an operation was refused: the HTTP status and the members of the JSON error body.
struct ApiError {
    int status = 500;
    std::string error;  // machine-readable code, e.g. "lease_held"
    std::string detail; // human-readable text
    std::optional<int64_t> current_version;
    std::optional<std::string> current_etag;
    std::optional<int64_t> retry_after_seconds;
    int64_t blocked_until_ms = 0; // lease_held: when the blocking lease expires (unix ms)
};

// Empty on success.
using Status = std::optional<ApiError>;

ApiError make_error(int status, std::string error, std::string detail);

// How a request names the lease it acts under. Empty strings and a token of 0 are "not given".
struct LeaseRef {
    std::string lease_id;
    std::string txn_id;
    int64_t fencing_token = 0;
};

// Compare-and-swap conditions of a write, checked against the holder's view.
struct Preconditions {
    std::optional<std::string> if_state_etag; // without surrounding quotes
    std::optional<int64_t> if_version;
};

struct AcquireRequest {
    std::string ns, key, owner, txn_id;
    int64_t ttl_seconds = 0;
    bool if_not_exists = false;
};

struct LeaseInfo {
    std::string owner, lease_id, txn_id, state_etag;
    int64_t expires_at_unix = 0, version = 0, fencing_token = 0;
};

struct KeepaliveResult {
    int64_t expires_at_unix = 0, version = 0;
    std::string state_etag;
};

struct StateRead {
    bool has_state = false;
    std::shared_ptr<const std::string> data;
    std::string content_type, etag;
    int64_t version = 0;
    int64_t fencing_token = 0; // of the lease read under; public reads: the key's latest token
};

struct WriteResult {
    int64_t new_version = 0;
    std::string new_etag;
    int64_t bytes = 0;
};

struct MetadataResult {
    int64_t version = 0;
    bool query_hidden = false;
};

struct RemoveResult {
    bool removed = false;
    int64_t new_version = 0;
};

struct DescribeResult {
    std::string owner, lease_id, state_etag; // owner and lease id empty without a live lease
    int64_t expires_at_unix = 0, version = 0, updated_at_unix = 0;
    bool query_hidden = false;
};

struct AttachmentInfo {
    std::string id, name, content_type, sha256;
    int64_t size = 0, created_at_unix = 0, updated_at_unix = 0;
};

struct AttachResult {
    AttachmentInfo info;
    bool noop = false; // the same bytes and content type were already stored under the name
    int64_t version = 0;
};

struct AttachmentRead {
    AttachmentInfo info;
    std::shared_ptr<const std::string> data;
    int64_t version = 0;
};

// Lowercase hex of bytes.
std::string to_hex(const unsigned char *bytes, size_t length);
// Lowercase hex SHA-256 of bytes; entity tags of state documents are made with it.
std::string sha256_hex(const void *data, size_t length);
// Random lowercase hex of the given number of bytes, for ids.
std::string random_hex(size_t bytes);

class Store {
  public:
    // Wall-clock time in unix milliseconds; tests pass their own to move time forward.
    using Clock = std::function<int64_t()>;
    explicit Store(Clock clock = {});

    Status acquire(const AcquireRequest &request, LeaseInfo &out);
    Status keepalive(const std::string &ns, const std::string &key, const LeaseRef &ref, int64_t ttl_seconds,
                     KeepaliveResult &out);
    Status release(const std::string &ns, const std::string &key, const LeaseRef &ref, bool rollback);

    // Checks that ref names the live lease of key and that the preconditions hold, without
    // changing anything: used before a large body is read.
    Status check_write(const std::string &ns, const std::string &key, const LeaseRef &ref,
                       const Preconditions &preconditions);
    // holder NULL: a public read of the committed state.
    Status read_state(const std::string &ns, const std::string &key, const LeaseRef *holder, StateRead &out);
    Status write_state(const std::string &ns, const std::string &key, const LeaseRef &ref,
                       const Preconditions &preconditions, const std::string &content_type, std::string &&body,
                       WriteResult &out);
    Status update_metadata(const std::string &ns, const std::string &key, const LeaseRef &ref,
                           std::optional<int64_t> if_version, std::optional<bool> query_hidden, MetadataResult &out);
    Status remove_state(const std::string &ns, const std::string &key, const LeaseRef &ref,
                        const Preconditions &preconditions, RemoveResult &out);
    Status describe(const std::string &ns, const std::string &key, DescribeResult &out);

    // Checks the lease and prevent_overwrite before an upload is read.
    Status check_attach(const std::string &ns, const std::string &key, const LeaseRef &ref, const std::string &name,
                        bool prevent_overwrite);
    Status attach(const std::string &ns, const std::string &key, const LeaseRef &ref, const std::string &name,
                  const std::string &content_type, bool prevent_overwrite, std::shared_ptr<const std::string> data,
                  const std::string &sha256, AttachResult &out);
    Status list_attachments(const std::string &ns, const std::string &key, const LeaseRef *holder,
                            std::vector<AttachmentInfo> &out);
    // Selects by name and/or id (at least one given; both must match the same attachment).
    Status get_attachment(const std::string &ns, const std::string &key, const LeaseRef *holder,
                          const std::string &name, const std::string &id, AttachmentRead &out);
    Status delete_attachment(const std::string &ns, const std::string &key, const LeaseRef &ref,
                             const std::string &name, const std::string &id, bool &deleted, int64_t &version);
    Status delete_all_attachments(const std::string &ns, const std::string &key, const LeaseRef &ref,
                                  int64_t &deleted, int64_t &version);

  private:
    struct View {
        bool has_state = false;
        std::shared_ptr<const std::string> state;
        std::string content_type, etag;
        int64_t version = 0;
        int64_t updated_at_ms = 0;
        bool query_hidden = false;
        std::map<std::string, AttachmentRead> attachments; // by name; data shared, never copied
    };
    struct Lease {
        std::string owner, lease_id, txn_id;
        int64_t fencing_token = 0;
        int64_t expires_ms = 0;
        std::optional<View> staged; // made on the first change under the lease
    };
    struct Entry {
        View committed;
        std::optional<Lease> lease;
        int64_t last_token = 0;    // highest fencing token handed out for the key
        std::string last_lease_id; // the most recent lease, to tell "expired" from "unknown"
    };

    int64_t now_ms() const;
    Entry *find(const std::string &ns, const std::string &key);
    Entry &find_or_create(const std::string &ns, const std::string &key);
    void expire(Entry &entry, int64_t now);
    Status check_lease(Entry *entry, const LeaseRef &ref, int64_t now);
    static Status check_preconditions(const View &view, const Preconditions &preconditions);
    static View &holder_view(Entry &entry);         // staged, made from committed when absent
    static const View &visible_view(const Entry &entry); // staged when present, else committed
    // What a read sees: under holder (checked) the holder's view, else the committed one;
    // view stays NULL for a public read of a key with nothing stored.
    Status view_for_read(Entry *entry, const LeaseRef *holder, int64_t now, const View *&view);
    static void record_change(View &view, int64_t now); // a new version, updated now
    static Status select_attachment(const View &view, const std::string &name, const std::string &id,
                                    const AttachmentRead *&out);

    Clock clock_;
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, Entry> entries_;
};

} // namespace korvo::devserver

#endif
