// Fixtures shared by the test suites: counting and failing allocators, temporary
// directories, reading whole files, locating the shared test data.
#ifndef KORVO_TESTING_FIXTURES_H
#define KORVO_TESTING_FIXTURES_H

#include "vellum.h"

#include <cstddef>
#include <string>
#include <vector>

namespace korvo::testing {

// An allocator that counts through vellum_alloc_stats and can be told to fail: the
// fail_at-th allocation or reallocation (1-based) and every later one when sticky.
class CountingAllocator {
  public:
    CountingAllocator();
    const vellum_allocator *get() const { return &allocator_; }
    const vellum_alloc_stats &stats() const { return stats_; }
    // 0 disables failure injection.
    void fail_at(size_t n, bool sticky = false) {
        fail_at_ = n;
        sticky_ = sticky;
        calls_ = 0;
    }
    size_t calls() const { return calls_; }
    size_t failures() const { return failures_; }

  private:
    static void *do_malloc(void *ctx, size_t size);
    static void *do_realloc(void *ctx, void *ptr, size_t size);
    static void do_free(void *ctx, void *ptr);
    bool should_fail();

    vellum_allocator allocator_;
    vellum_alloc_stats stats_;
    size_t fail_at_ = 0;
    bool sticky_ = false;
    size_t calls_ = 0;
    size_t failures_ = 0;
};

// A vellum reader over a string that hands out at most `piece` bytes per call.
struct PieceReader {
    std::string text;
    size_t pos = 0;
    size_t piece = 1024;
    static vellum_read_result read(void *user, void *buffer, size_t capacity);
};

// A directory under /tmp removed with its content when the object goes away.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    // Writes content to name inside the directory; returns the full path.
    std::string write(const std::string &name, const std::string &content) const;

  private:
    std::string path_;
};

// Root of the shared test data (env KORVO_TESTDATA, else ../shared/testdata).
std::string testdata_dir();
std::string read_file(const std::string &path);
// Regular files directly inside dir, sorted by name.
std::vector<std::string> list_files(const std::string &dir);

}  // namespace korvo::testing

#endif
