// The lease handle's private part and its creation, used by the client's acquire and by
// message handles that carry a state lease.
#ifndef KORVOC_API_LEASE_INTERNAL_H
#define KORVOC_API_LEASE_INTERNAL_H

#include "korvoc.h"

#include <cstdint>

namespace korvo::api {

// The handle: the public part first. Strings are owned copies (client allocator); the view
// members of pub point at them and mirror the numbers.
struct LeaseHandle {
    kc_lease pub;
    kc_client *client;
    char *namespace_;
    char *key;
    char *owner;
    char *lease_id;
    char *txn_id;
    char *state_etag; // without surrounding double quotes
    long fencing_token;
    long version;
    long expires_at;
    int query_hidden;
    int query_hidden_known;
    char *extra;      // one more string kept for the creator, freed at close
};

inline LeaseHandle *lease_of(kc_lease *lease) { return reinterpret_cast<LeaseHandle *>(lease); }

// A new lease of client with copies of every string (state_etag without its quotes); expiry
// and the query-hidden members start at 0. NULL when memory runs out.
kc_lease *kc_lease_new(kc_client *client, const char *namespace_, const char *key, const char *owner,
                       const char *lease_id, const char *txn_id, long fencing_token, long version,
                       const char *state_etag, const char *extra);

// Sets the expiry (Unix seconds) and its view member.
void lease_set_expires_at(kc_lease *lease, long expires_at);

// Attachment changes under a lease move the key's version on the server; the handle's expected
// version follows a reported version above 0, or the next state change would be refused as a
// lost update.
void lease_follow_version(kc_lease *lease, int64_t version);

} // namespace korvo::api

#endif
