// Allocator helpers: member-by-member fallback, context passing, calloc overflow, copies.
#include "korvoc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>

namespace {

// An allocator that records what it handed out and which context it was called with.
struct Tracker {
    size_t mallocs = 0;
    size_t reallocs = 0;
    size_t frees = 0;
    size_t last_size = 0;
    bool fail = false;
    bool wrong_context = false;
    std::set<void *> live;

    static Tracker *self(void *context) { return static_cast<Tracker *>(context); }
    static void *do_malloc(void *context, size_t size) {
        Tracker *t = self(context);
        t->mallocs++;
        t->last_size = size;
        if (t->fail) return nullptr;
        void *p = std::malloc(size);
        t->live.insert(p);
        return p;
    }
    static void *do_realloc(void *context, void *pointer, size_t size) {
        Tracker *t = self(context);
        t->reallocs++;
        t->last_size = size;
        if (t->fail) return nullptr;
        if (pointer && !t->live.count(pointer)) t->wrong_context = true;
        void *p = std::realloc(pointer, size);
        t->live.erase(pointer);
        t->live.insert(p);
        return p;
    }
    static void do_free(void *context, void *pointer) {
        Tracker *t = self(context);
        t->frees++;
        if (!t->live.erase(pointer)) t->wrong_context = true;
        std::free(pointer);
    }
    kc_allocator allocator() {
        kc_allocator a;
        kc_allocator_init(&a);
        a.malloc_fn = do_malloc;
        a.realloc_fn = do_realloc;
        a.free_fn = do_free;
        a.context = this;
        return a;
    }
};

} // namespace

TEST(Allocator, InitZeroes) {
    kc_allocator a;
    std::memset(&a, 0xff, sizeof(a));
    EXPECT_EQ(kc_allocator_init(&a), &a);
    EXPECT_EQ(a.malloc_fn, nullptr);
    EXPECT_EQ(a.realloc_fn, nullptr);
    EXPECT_EQ(a.free_fn, nullptr);
    EXPECT_EQ(a.context, nullptr);
    EXPECT_EQ(kc_allocator_init(nullptr), nullptr);
}

TEST(Allocator, CallerFunctionsReceiveTheirContext) {
    Tracker tracker;
    kc_allocator a = tracker.allocator();
    void *p = kc_alloc_with_allocator(&a, 10);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(tracker.mallocs, 1u);
    p = kc_realloc_with_allocator(&a, p, 100);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(tracker.reallocs, 1u);
    EXPECT_EQ(tracker.last_size, 100u);
    kc_free_with_allocator(&a, p);
    kc_free_with_allocator(&a, nullptr); // nothing to free: the callback is not called
    EXPECT_EQ(tracker.frees, 1u);
    EXPECT_TRUE(tracker.live.empty());
    EXPECT_FALSE(tracker.wrong_context);

    tracker.fail = true;
    EXPECT_EQ(kc_alloc_with_allocator(&a, 10), nullptr);
    EXPECT_EQ(kc_calloc_with_allocator(&a, 2, 2), nullptr);
    EXPECT_EQ(kc_strdup_with_allocator(&a, "x"), nullptr);
    EXPECT_EQ(kc_dup_bytes_with_allocator(&a, "xy", 2), nullptr);
}

TEST(Allocator, NullMembersFallBackOneByOne) {
    Tracker tracker;
    kc_allocator only_malloc;
    kc_allocator_init(&only_malloc);
    only_malloc.malloc_fn = Tracker::do_malloc;
    only_malloc.context = &tracker;
    void *p = kc_alloc_with_allocator(&only_malloc, 16);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(tracker.mallocs, 1u);
    tracker.live.clear();                                // the system functions take it from here
    p = kc_realloc_with_allocator(&only_malloc, p, 64); // system realloc
    ASSERT_NE(p, nullptr);
    kc_free_with_allocator(&only_malloc, p); // system free (ASan would flag a mismatch)
    EXPECT_EQ(tracker.reallocs, 0u);
    EXPECT_EQ(tracker.frees, 0u);

    // NULL allocator: the system functions.
    p = kc_alloc_with_allocator(nullptr, 8);
    ASSERT_NE(p, nullptr);
    p = kc_realloc_with_allocator(nullptr, p, 80);
    ASSERT_NE(p, nullptr);
    kc_free_with_allocator(nullptr, p);
}

TEST(Allocator, CallocZeroFillsAndRefusesOverflow) {
    Tracker tracker;
    kc_allocator a = tracker.allocator();
    auto *block = static_cast<unsigned char *>(kc_calloc_with_allocator(&a, 0, 16));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(tracker.last_size, 1u);
    EXPECT_EQ(block[0], 0);
    kc_free_with_allocator(&a, block);

    block = static_cast<unsigned char *>(kc_calloc_with_allocator(&a, 7, 0));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(tracker.last_size, 1u);
    kc_free_with_allocator(&a, block);

    // Dirty memory first, so zero-filling is observable.
    void *dirty = kc_alloc_with_allocator(nullptr, 4096);
    ASSERT_NE(dirty, nullptr);
    std::memset(dirty, 0x5a, 4096);
    kc_free_with_allocator(nullptr, dirty);
    block = static_cast<unsigned char *>(kc_calloc_with_allocator(nullptr, 512, 8));
    ASSERT_NE(block, nullptr);
    for (size_t i = 0; i < 4096; i++) ASSERT_EQ(block[i], 0) << i;
    kc_free_with_allocator(nullptr, block);

    size_t mallocs = tracker.mallocs;
    EXPECT_EQ(kc_calloc_with_allocator(&a, SIZE_MAX / 2 + 1, 2), nullptr);
    EXPECT_EQ(kc_calloc_with_allocator(&a, SIZE_MAX, SIZE_MAX), nullptr);
    EXPECT_EQ(kc_calloc_with_allocator(nullptr, (SIZE_MAX >> 4) + 1, 16), nullptr);
    EXPECT_EQ(tracker.mallocs, mallocs) << "an overflowing size never reaches the allocator";
    EXPECT_TRUE(tracker.live.empty());
}

TEST(Allocator, CopiesAreNulTerminated) {
    Tracker tracker;
    kc_allocator a = tracker.allocator();
    const char bytes[] = {'a', '\0', 'c', 'X'};
    char *copy = kc_dup_bytes_with_allocator(&a, bytes, 3);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(tracker.last_size, 4u);
    EXPECT_EQ(std::memcmp(copy, "a\0c\0", 4), 0);
    kc_free_with_allocator(&a, copy);

    copy = kc_dup_bytes_with_allocator(&a, nullptr, 0);
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "");
    kc_free_with_allocator(&a, copy);
    EXPECT_EQ(kc_dup_bytes_with_allocator(&a, nullptr, 5), nullptr);
    EXPECT_EQ(kc_dup_bytes_with_allocator(&a, bytes, SIZE_MAX), nullptr);

    char *text = kc_strdup_with_allocator(&a, "hello");
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "hello");
    EXPECT_EQ(tracker.last_size, 6u);
    kc_free_with_allocator(&a, text);
    EXPECT_EQ(kc_strdup_with_allocator(&a, nullptr), nullptr);
    EXPECT_TRUE(tracker.live.empty());
    EXPECT_FALSE(tracker.wrong_context);

    char *local = kc_strdup_local("local");
    ASSERT_NE(local, nullptr);
    EXPECT_STREQ(local, "local");
    std::free(local);
    EXPECT_EQ(kc_strdup_local(nullptr), nullptr);
    char *as_text = kc_dup_bytes_as_text("abc", 2);
    ASSERT_NE(as_text, nullptr);
    EXPECT_STREQ(as_text, "ab");
    std::free(as_text);
}

TEST(Allocator, NullClientUsesTheSystemAllocator) {
    auto *p = static_cast<char *>(kc_client_alloc(nullptr, 4));
    ASSERT_NE(p, nullptr);
    p = static_cast<char *>(kc_client_realloc(nullptr, p, 40));
    ASSERT_NE(p, nullptr);
    std::free(p); // system memory: the platform's free accepts it
    auto *zeroed = static_cast<unsigned char *>(kc_client_calloc(nullptr, 3, 5));
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 15; i++) EXPECT_EQ(zeroed[i], 0);
    kc_client_free(nullptr, zeroed);
    EXPECT_EQ(kc_client_calloc(nullptr, SIZE_MAX, 3), nullptr);
    char *copy = kc_client_strdup(nullptr, "client");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "client");
    kc_client_free(nullptr, copy);
    EXPECT_EQ(kc_client_strdup(nullptr, nullptr), nullptr);
    kc_client_free(nullptr, nullptr);
}
