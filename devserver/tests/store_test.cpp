// The store on its own, with a clock the tests move: lease bookkeeping and fencing, staged
// state with commit and rollback, preconditions, metadata, attachments.
#include "store.h"

#include <gtest/gtest.h>

#include <memory>

using namespace korvo::devserver;

namespace {

class StoreTest : public ::testing::Test {
  protected:
    int64_t now = 1'700'000'000'000; // unix ms
    Store store{[this] { return now; }};

    LeaseInfo acquire(const std::string &owner, int64_t ttl = 30, const std::string &key = "k") {
        AcquireRequest request;
        request.ns = "ns";
        request.key = key;
        request.owner = owner;
        request.ttl_seconds = ttl;
        LeaseInfo info;
        Status status = store.acquire(request, info);
        EXPECT_FALSE(status) << status->error;
        return info;
    }
    static LeaseRef ref(const LeaseInfo &info) { return {info.lease_id, info.txn_id, info.fencing_token}; }
    Status write(const LeaseRef &lease, std::string body, Preconditions pre = {}, WriteResult *result = nullptr) {
        WriteResult ignored;
        return store.write_state("ns", "k", lease, pre, "application/json", std::move(body), result ? *result : ignored);
    }
    std::string committed() {
        StateRead read;
        EXPECT_FALSE(store.read_state("ns", "k", nullptr, read));
        return read.has_state ? *read.data : "<none>";
    }
    std::string as_holder(const LeaseRef &lease) {
        StateRead read;
        Status status = store.read_state("ns", "k", &lease, read);
        if (status) return "<" + status->error + ">";
        return read.has_state ? *read.data : "<none>";
    }
    std::shared_ptr<const std::string> bytes(const std::string &text) { return std::make_shared<const std::string>(text); }
};

using DevStoreLeases = StoreTest;
using DevStoreState = StoreTest;
using DevStoreAttachments = StoreTest;

TEST_F(DevStoreLeases, FencingTokenGrowsWithEveryAcquisitionAndReacquireKeepsTheLease) {
    LeaseInfo a = acquire("alice");
    EXPECT_EQ(a.fencing_token, 1);
    EXPECT_EQ(a.expires_at_unix, now / 1000 + 30);
    EXPECT_FALSE(a.lease_id.empty());
    EXPECT_FALSE(a.txn_id.empty()); // generated when none is given
    LeaseInfo again = acquire("alice", 60);
    EXPECT_EQ(again.lease_id, a.lease_id);
    EXPECT_EQ(again.fencing_token, 1);
    EXPECT_EQ(again.expires_at_unix, now / 1000 + 60);
    ASSERT_FALSE(store.release("ns", "k", ref(a), false));
    LeaseInfo b = acquire("bob");
    EXPECT_EQ(b.fencing_token, 2);
    EXPECT_NE(b.lease_id, a.lease_id);
    ASSERT_FALSE(store.release("ns", "k", ref(b), false));
    EXPECT_EQ(acquire("alice").fencing_token, 3);
    // Tokens are per key.
    EXPECT_EQ(acquire("alice", 30, "other").fencing_token, 1);
}

TEST_F(DevStoreLeases, AGivenTransactionIdIsKept) {
    AcquireRequest request{"ns", "k", "alice", "txn-42", 30, false};
    LeaseInfo info;
    ASSERT_FALSE(store.acquire(request, info));
    EXPECT_EQ(info.txn_id, "txn-42");
    // The same owner under another transaction is a different holder.
    request.txn_id = "txn-43";
    Status status = store.acquire(request, info);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->error, "lease_held");
}

TEST_F(DevStoreLeases, HeldByAnotherOwnerIsRefusedWithTheTimeLeft) {
    acquire("alice", 30);
    now += 10'500;
    AcquireRequest request{"ns", "k", "bob", "", 30, false};
    LeaseInfo info;
    Status status = store.acquire(request, info);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->status, 409);
    EXPECT_EQ(status->error, "lease_held");
    EXPECT_EQ(status->retry_after_seconds.value_or(-1), 20); // 19.5 s rounded up
    EXPECT_EQ(status->blocked_until_ms, now + 19'500);
}

TEST_F(DevStoreLeases, InvalidAcquireRequestsAreRefused) {
    LeaseInfo info;
    for (AcquireRequest request : {AcquireRequest{"ns", "", "a", "", 30, false}, AcquireRequest{"ns", "k", "", "", 30, false},
                                   AcquireRequest{"ns", "k", "a", "", 0, false}}) {
        Status status = store.acquire(request, info);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->status, 400);
    }
}

TEST_F(DevStoreLeases, ExpiryLetsAnotherOwnerTakeOverAndTheStaleHolderIsRefused) {
    LeaseInfo a = acquire("alice", 5);
    ASSERT_FALSE(write(ref(a), "{\"by\":\"alice\"}"));
    now += 5'000; // exactly at expiry
    LeaseInfo b = acquire("bob", 5);
    EXPECT_GT(b.fencing_token, a.fencing_token);
    // What alice staged died with her lease.
    EXPECT_EQ(as_holder(ref(b)), "<none>");

    Status stale = write(ref(a), "{\"by\":\"alice again\"}");
    ASSERT_TRUE(stale);
    EXPECT_EQ(stale->status, 409);
    EXPECT_EQ(stale->error, "fencing_token_stale");
    LeaseRef without_token = ref(a);
    without_token.fencing_token = 0;
    Status not_held = write(without_token, "{}");
    ASSERT_TRUE(not_held);
    EXPECT_EQ(not_held->error, "lease_not_held");
    KeepaliveResult kept;
    EXPECT_TRUE(store.keepalive("ns", "k", ref(a), 30, kept));
    EXPECT_TRUE(store.release("ns", "k", ref(a), false));
    // Bob's lease is untouched by all that.
    EXPECT_FALSE(write(ref(b), "{\"by\":\"bob\"}"));
    EXPECT_FALSE(store.release("ns", "k", ref(b), false));
    EXPECT_EQ(committed(), "{\"by\":\"bob\"}");
}

TEST_F(DevStoreLeases, KeepaliveExtendsTheLease) {
    LeaseInfo a = acquire("alice", 2);
    now += 1'500;
    KeepaliveResult kept;
    ASSERT_FALSE(store.keepalive("ns", "k", ref(a), 10, kept));
    EXPECT_EQ(kept.expires_at_unix, now / 1000 + 10);
    now += 5'000; // past the first time to live
    EXPECT_FALSE(write(ref(a), "{}"));
    now += 6'000;
    Status expired = write(ref(a), "{}");
    ASSERT_TRUE(expired);
    EXPECT_EQ(expired->error, "lease_not_held");
    EXPECT_TRUE(store.keepalive("ns", "k", ref(a), 0, kept)); // ttl must be positive
}

TEST_F(DevStoreLeases, ALeaseIsNamedByLeaseIdOrTransactionIdAndItsToken) {
    LeaseInfo a = acquire("alice");
    EXPECT_FALSE(write({"", a.txn_id, a.fencing_token}, "{\"n\":1}"));
    EXPECT_FALSE(write({a.lease_id, "", 0}, "{\"n\":2}"));
    Status none = write({"", "", a.fencing_token}, "{}");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 400);
    EXPECT_EQ(none->error, "lease_required");
    Status wrong_txn = write({a.lease_id, "other", 0}, "{}");
    ASSERT_TRUE(wrong_txn);
    EXPECT_EQ(wrong_txn->error, "lease_not_held");
    Status future_token = write({a.lease_id, a.txn_id, a.fencing_token + 1}, "{}");
    ASSERT_TRUE(future_token);
    EXPECT_EQ(future_token->error, "fencing_token_mismatch");
    WriteResult ignored;
    Status unknown_key = store.write_state("ns", "nothing", ref(a), {}, "application/json", "{}", ignored);
    ASSERT_TRUE(unknown_key);
    EXPECT_EQ(unknown_key->error, "lease_not_held");
}

TEST_F(DevStoreLeases, IfNotExistsRefusesAKeyWithState) {
    AcquireRequest request{"ns", "k", "alice", "", 30, true};
    LeaseInfo a;
    ASSERT_FALSE(store.acquire(request, a)); // nothing stored yet
    ASSERT_FALSE(write(ref(a), "{}"));
    ASSERT_FALSE(store.release("ns", "k", ref(a), false));
    request.owner = "bob";
    LeaseInfo b;
    Status status = store.acquire(request, b);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->error, "key_exists");
    request.if_not_exists = false;
    EXPECT_FALSE(store.acquire(request, b));
}

TEST_F(DevStoreState, RollbackDiscardsStateMetadataAndAttachments) {
    LeaseInfo a = acquire("alice");
    ASSERT_FALSE(write(ref(a), "{\"v\":1}"));
    ASSERT_FALSE(store.release("ns", "k", ref(a), false));
    LeaseInfo b = acquire("bob");
    ASSERT_FALSE(write(ref(b), "{\"v\":2}"));
    MetadataResult metadata;
    ASSERT_FALSE(store.update_metadata("ns", "k", ref(b), std::nullopt, true, metadata));
    AttachResult attached;
    ASSERT_FALSE(store.attach("ns", "k", ref(b), "f", "text/plain", false, bytes("x"), sha256_hex("x", 1), attached));
    ASSERT_FALSE(store.release("ns", "k", ref(b), true));
    EXPECT_EQ(committed(), "{\"v\":1}");
    DescribeResult described;
    ASSERT_FALSE(store.describe("ns", "k", described));
    EXPECT_EQ(described.version, 1);
    EXPECT_FALSE(described.query_hidden);
    std::vector<AttachmentInfo> listed;
    ASSERT_FALSE(store.list_attachments("ns", "k", nullptr, listed));
    EXPECT_TRUE(listed.empty());
}

TEST_F(DevStoreState, RemoveDropsTheDocumentOnce) {
    LeaseInfo a = acquire("alice");
    ASSERT_FALSE(write(ref(a), "{}"));
    RemoveResult removed;
    ASSERT_FALSE(store.remove_state("ns", "k", ref(a), {}, removed));
    EXPECT_TRUE(removed.removed);
    EXPECT_EQ(removed.new_version, 2);
    ASSERT_FALSE(store.remove_state("ns", "k", ref(a), {}, removed));
    EXPECT_FALSE(removed.removed);
    EXPECT_EQ(removed.new_version, 2);
    EXPECT_EQ(as_holder(ref(a)), "<none>");
}

TEST_F(DevStoreAttachments, UploadListDownloadAndDelete) {
    LeaseInfo a = acquire("alice");
    AttachResult first;
    ASSERT_FALSE(store.attach("ns", "k", ref(a), "notes", "text/plain", false, bytes("hello"),
                              sha256_hex("hello", 5), first));
    EXPECT_FALSE(first.noop);
    EXPECT_EQ(first.info.size, 5);
    EXPECT_EQ(first.version, 1);
    // The same bytes again change nothing.
    AttachResult same;
    ASSERT_FALSE(store.attach("ns", "k", ref(a), "notes", "text/plain", false, bytes("hello"),
                              sha256_hex("hello", 5), same));
    EXPECT_TRUE(same.noop);
    EXPECT_EQ(same.version, 1);
    Status exists = store.check_attach("ns", "k", ref(a), "notes", true);
    ASSERT_TRUE(exists);
    EXPECT_EQ(exists->error, "attachment_exists");
    AttachResult replaced;
    ASSERT_FALSE(store.attach("ns", "k", ref(a), "notes", "text/plain", false, bytes("bye"), sha256_hex("bye", 3),
                              replaced));
    EXPECT_EQ(replaced.info.id, first.info.id); // same attachment, new content
    EXPECT_EQ(replaced.version, 2);
    AttachResult other;
    ASSERT_FALSE(store.attach("ns", "k", ref(a), "data", "application/octet-stream", false, bytes("01"),
                              sha256_hex("01", 2), other));

    AttachmentRead read;
    LeaseRef holder = ref(a);
    ASSERT_FALSE(store.get_attachment("ns", "k", &holder, "", other.info.id, read));
    EXPECT_EQ(*read.data, "01");
    ASSERT_FALSE(store.get_attachment("ns", "k", &holder, "notes", "", read));
    EXPECT_EQ(*read.data, "bye");
    Status mismatch = store.get_attachment("ns", "k", &holder, "notes", other.info.id, read);
    ASSERT_TRUE(mismatch);
    EXPECT_EQ(mismatch->status, 404);
    // Public reads see committed attachments only.
    Status hidden = store.get_attachment("ns", "k", nullptr, "notes", "", read);
    ASSERT_TRUE(hidden);
    EXPECT_EQ(hidden->error, "attachment_not_found");

    bool deleted = false;
    int64_t version = 0;
    ASSERT_FALSE(store.delete_attachment("ns", "k", holder, "notes", "", deleted, version));
    EXPECT_TRUE(deleted);
    ASSERT_FALSE(store.delete_attachment("ns", "k", holder, "notes", "", deleted, version));
    EXPECT_FALSE(deleted);
    std::vector<AttachmentInfo> listed;
    ASSERT_FALSE(store.list_attachments("ns", "k", &holder, listed));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "data");
    ASSERT_FALSE(store.release("ns", "k", holder, false));
    listed.clear();
    ASSERT_FALSE(store.list_attachments("ns", "k", nullptr, listed));
    ASSERT_EQ(listed.size(), 1u);

    LeaseInfo b = acquire("bob");
    int64_t count = 0;
    ASSERT_FALSE(store.delete_all_attachments("ns", "k", ref(b), count, version));
    EXPECT_EQ(count, 1);
    ASSERT_FALSE(store.delete_all_attachments("ns", "k", ref(b), count, version));
    EXPECT_EQ(count, 0);
}

} // namespace
