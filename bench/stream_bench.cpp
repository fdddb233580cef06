// Streaming memory benchmark of the engine: writes a document of the given size to a file,
// uploads it from a kc_source file source through kc_engine_client_update_from, downloads it
// through kc_engine_client_get_into into a kc_sink file sink, checks that both files are equal,
// and reports the peak resident memory of this process and the throughput of each direction.
// Fails (exit 1) when anything goes wrong or the peak reaches the limit.
//
// Usage: stream_bench <endpoint> <work-dir> [size-MiB (1024)] [limit-MiB (64)]
#include "korvoc_engine.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t kMiB = 1024 * 1024;

// Every MiB of the document differs, so a misplaced piece shows in the comparison.
bool write_document(const std::string &path, size_t mib) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    static unsigned char block[kMiB];
    bool ok = true;
    for (size_t m = 0; m < mib && ok; m++) {
        unsigned state = static_cast<unsigned>(m * 2654435761u + 1);
        for (size_t i = 0; i < kMiB; i += 4) {
            state = state * 1103515245u + 12345u;
            std::memcpy(block + i, &state, 4);
        }
        ok = std::fwrite(block, 1, kMiB, f) == kMiB;
    }
    return std::fclose(f) == 0 && ok;
}

bool same_files(const std::string &a, const std::string &b) {
    FILE *fa = std::fopen(a.c_str(), "rb");
    FILE *fb = std::fopen(b.c_str(), "rb");
    bool same = fa && fb;
    static char x[kMiB], y[kMiB];
    while (same) {
        size_t na = std::fread(x, 1, sizeof(x), fa);
        size_t nb = std::fread(y, 1, sizeof(y), fb);
        if (na != nb || std::memcmp(x, y, na) != 0) same = false;
        if (na == 0) break;
    }
    if (fa) std::fclose(fa);
    if (fb) std::fclose(fb);
    return same;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int fail(const char *what, const kc_engine_error &error) {
    std::fprintf(stderr, "stream_bench: %s failed: code %d: %s\n", what, error.code,
                 error.message ? error.message : "(no message)");
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <endpoint> <work-dir> [size-MiB] [limit-MiB]\n", argv[0]);
        return 2;
    }
    const std::string endpoint = argv[1];
    const std::string dir = argv[2];
    const size_t mib = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 1024;
    const size_t limit_mib = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 64;
    const std::string input = dir + "/input.bin";
    const std::string output = dir + "/output.bin";
    if (!write_document(input, mib)) {
        std::fprintf(stderr, "stream_bench: cannot write %s\n", input.c_str());
        return 1;
    }

    const char *endpoints[] = {endpoint.c_str()};
    kc_engine_client_config config;
    kc_engine_client_config_init(&config);
    config.endpoints = endpoints;
    config.endpoint_count = 1;
    config.disable_mtls = 1;
    config.timeout_ms = 3600 * 1000;
    kc_engine_client *client = nullptr;
    kc_engine_error error{};
    if (kc_engine_client_open(&config, &client, &error) != KC_OK) return fail("client open", error);

    kc_source *source = nullptr;
    kc_error public_error{};
    if (kc_source_from_file(input.c_str(), &source, &public_error) != KC_OK) {
        std::fprintf(stderr, "stream_bench: %s\n", public_error.message);
        return 1;
    }
    kc_engine_update_from_request update{};
    update.key = "bench-doc";
    update.lease_id = "bench-lease";
    update.fencing_token = 1;
    update.content_type = "application/octet-stream";
    kc_engine_update_response updated{};
    auto start = std::chrono::steady_clock::now();
    int code = kc_engine_client_update_from(client, &update, kc_engine_read_bridge, &source, &updated, &error);
    double upload_seconds = seconds_since(start);
    kc_source_close(source);
    if (code != KC_OK) return fail("upload", error);
    if (updated.bytes != static_cast<int64_t>(mib * kMiB)) {
        std::fprintf(stderr, "stream_bench: server stored %lld bytes\n", static_cast<long long>(updated.bytes));
        return 1;
    }
    kc_engine_update_response_cleanup(&updated);

    kc_sink *sink = nullptr;
    if (kc_sink_to_file(output.c_str(), &sink, &public_error) != KC_OK) {
        std::fprintf(stderr, "stream_bench: %s\n", public_error.message);
        return 1;
    }
    kc_engine_get_stream_request get{};
    get.key = "bench-doc";
    get.lease_id = "bench-lease";
    kc_engine_get_stream_response got{};
    start = std::chrono::steady_clock::now();
    code = kc_engine_client_get_into(client, &get, kc_engine_write_bridge, &sink, &got, &error);
    double download_seconds = seconds_since(start);
    kc_sink_close(sink);
    if (code != KC_OK) return fail("download", error);
    kc_engine_get_stream_response_cleanup(&got);
    kc_engine_client_close(client);
    kc_engine_error_cleanup(&error);

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peak_mib = static_cast<double>(usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB
    const double megabytes = static_cast<double>(mib * kMiB) / 1e6;
    const bool same = same_files(input, output);
    std::printf("document        %zu MiB\n", mib);
    std::printf("upload          %.1f MB/s (%.2f s)\n", megabytes / upload_seconds, upload_seconds);
    std::printf("download        %.1f MB/s (%.2f s)\n", megabytes / download_seconds, download_seconds);
    std::printf("peak RSS        %.1f MiB (limit %zu MiB)\n", peak_mib, limit_mib);
    std::printf("round trip      %s\n", same ? "identical" : "DIFFERENT");
    return same && peak_mib < static_cast<double>(limit_mib) ? 0 : 1;
}
