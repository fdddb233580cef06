// Value visitor: events, chunk bounds and outcome must not depend on how the input is split,
// under the default limits and under tight ones; a successful visit is strictly nested.
#include "fuzz_common.h"

using namespace korvo::fuzz;

namespace {

struct Trace {
    std::string text;
    int depth = 0;
    bool broken = false;
    static Trace *of(void *user) { return static_cast<Trace *>(user); }
    static int mark(void *user, const char *what) {
        of(user)->text += what;
        return 0;
    }
    static int open(void *user, const char *what) {
        of(user)->depth++;
        return mark(user, what);
    }
    static int close(void *user, const char *what) {
        if (--of(user)->depth < 0) of(user)->broken = true;
        return mark(user, what);
    }
    static int chunk(void *user, const char *data, size_t len) {
        of(user)->text += "(" + std::string(data, len) + ")";
        return 0;
    }
};

const vellum_value_visitor kVisitor = {
    [](void *u, vellum_error *) { return Trace::open(u, "{"); },
    [](void *u, vellum_error *) { return Trace::close(u, "}"); },
    [](void *u, vellum_error *) { return Trace::open(u, "K"); },
    [](void *u, const char *d, size_t n, vellum_error *) { return Trace::chunk(u, d, n); },
    [](void *u, vellum_error *) { return Trace::close(u, "k"); },
    [](void *u, vellum_error *) { return Trace::open(u, "["); },
    [](void *u, vellum_error *) { return Trace::close(u, "]"); },
    [](void *u, vellum_error *) { return Trace::open(u, "S"); },
    [](void *u, const char *d, size_t n, vellum_error *) { return Trace::chunk(u, d, n); },
    [](void *u, vellum_error *) { return Trace::close(u, "s"); },
    [](void *u, vellum_error *) { return Trace::open(u, "N"); },
    [](void *u, const char *d, size_t n, vellum_error *) { return Trace::chunk(u, d, n); },
    [](void *u, vellum_error *) { return Trace::close(u, "n"); },
    [](void *u, int value, vellum_error *) { return Trace::mark(u, value ? "T" : "F"); },
    [](void *u, vellum_error *) { return Trace::mark(u, "0"); },
};

std::string visit(const uint8_t *data, size_t size, const vellum_value_limits *limits, uint64_t salt) {
    Trace trace;
    vellum_error error;
    vellum_status status;
    if (salt == 0) {
        status = vellum_visit_value_buffer(data, size, &kVisitor, &trace, limits, &error);
    } else {
        SplitReader reader{{reinterpret_cast<const char *>(data), size}, split_sizes(data, size, salt)};
        reader.empty_is_would_block = true;
        status = vellum_visit_value_reader(SplitReader::read, &reader, &kVisitor, &trace, limits, &error);
    }
    expect(!trace.broken, "visitor closed more than it opened");
    if (status == 0) expect(trace.depth == 0, "successful visit left events open: " + trace.text);
    return trace.text + "\n" + outcome(status, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 16) return 0;
    std::string whole = visit(data, size, nullptr, 0);
    expect_same("visitor reader splits", whole, visit(data, size, nullptr, 11));
    expect_same("visitor second splits", whole, visit(data, size, nullptr, 12));

    vellum_value_limits tight = {4, 40, 12, 8, 512};
    std::string tight_whole = visit(data, size, &tight, 0);
    expect_same("visitor tight limits splits", tight_whole, visit(data, size, &tight, 13));
    return 0;
}
