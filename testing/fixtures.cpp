#include "fixtures.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace korvo::testing {

CountingAllocator::CountingAllocator() : allocator_{}, stats_{} {
    allocator_.malloc_fn = do_malloc;
    allocator_.realloc_fn = do_realloc;
    allocator_.free_fn = do_free;
    allocator_.ctx = this;
    allocator_.stats = &stats_;
}

bool CountingAllocator::should_fail() {
    calls_++;
    if (fail_at_ == 0) return false;
    bool fail = sticky_ ? calls_ >= fail_at_ : calls_ == fail_at_;
    if (fail) failures_++;
    return fail;
}

void *CountingAllocator::do_malloc(void *ctx, size_t size) {
    auto *self = static_cast<CountingAllocator *>(ctx);
    return self->should_fail() ? nullptr : std::malloc(size);
}

void *CountingAllocator::do_realloc(void *ctx, void *ptr, size_t size) {
    auto *self = static_cast<CountingAllocator *>(ctx);
    return self->should_fail() ? nullptr : std::realloc(ptr, size);
}

void CountingAllocator::do_free(void *, void *ptr) { std::free(ptr); }

vellum_read_result PieceReader::read(void *user, void *buffer, size_t capacity) {
    auto *self = static_cast<PieceReader *>(user);
    vellum_read_result result{};
    size_t n = std::min({self->piece, capacity, self->text.size() - self->pos});
    std::memcpy(buffer, self->text.data() + self->pos, n);
    self->pos += n;
    result.bytes = n;
    result.eof = self->pos == self->text.size();
    return result;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/korvo-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
        // Nothing sensible to do in a destructor; the directory lives under /tmp.
    }
}

std::string TempDir::write(const std::string &name, const std::string &content) const {
    std::string full = file(name);
    std::ofstream out(full, std::ios::binary);
    out << content;
    return full;
}

std::string testdata_dir() {
    if (const char *env = std::getenv("KORVO_TESTDATA")) return env;
    return "../shared/testdata";
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> list_files(const std::string &dir) {
    std::vector<std::string> files;
    DIR *handle = opendir(dir.c_str());
    if (!handle) return files;
    while (dirent *entry = readdir(handle)) {
        std::string full = dir + "/" + entry->d_name;
        struct stat info;
        if (stat(full.c_str(), &info) == 0 && S_ISREG(info.st_mode)) files.push_back(full);
    }
    closedir(handle);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace korvo::testing
