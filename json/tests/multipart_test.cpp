// Multipart parser: bodies from curl and Python's email package, generated bodies checked
// against the parts they were built from, whole vs byte-wise vs random splits, limits,
// boundary extraction, failing allocators and a 100 MiB body through a small look-behind.
#include "fixtures.h"
#include "vellum.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using korvo::testing::CountingAllocator;
using korvo::testing::read_file;

const std::string kDir = "json/tests/data/multipart/";

// The callback sequence as text: one line per part start, its data merged, one per end.
struct Recorder {
    std::string trace;
    bool in_part = false, data_open = false;
    long fail_data_after = -1;  // part_data fails once this many bytes were seen
    long seen = 0;
    bool headers = true;  // list the header lines (producer fixtures leave them out)

    static std::string describe(const vellum_multipart_part *p, bool headers) {
        std::string s = std::string("B name=") + (p->name ? p->name : "<null>") +
                        " type=" + (p->content_type ? p->content_type : "<null>") +
                        " len=" + std::to_string(p->content_length);
        for (size_t i = 0; headers && i < p->header_count; i++) s += std::string(" [") + p->headers[i].name + "=" + p->headers[i].value + "]";
        return s + "\n";
    }
    static int begin(void *u, const vellum_multipart_part *p, vellum_error *) {
        auto *r = static_cast<Recorder *>(u);
        EXPECT_FALSE(r->in_part);
        r->in_part = true;
        r->data_open = false;
        r->trace += describe(p, r->headers);
        return 0;
    }
    static int data(void *u, const void *bytes, size_t len, vellum_error *) {
        auto *r = static_cast<Recorder *>(u);
        EXPECT_TRUE(r->in_part);
        EXPECT_GT(len, 0u);
        if (!r->data_open) r->trace += "D:";
        r->data_open = true;
        r->trace.append(static_cast<const char *>(bytes), len);
        r->seen += static_cast<long>(len);
        return r->fail_data_after >= 0 && r->seen > r->fail_data_after ? -1 : 0;
    }
    static int end(void *u, const vellum_multipart_part *p, vellum_error *) {
        auto *r = static_cast<Recorder *>(u);
        EXPECT_TRUE(r->in_part);
        r->in_part = false;
        r->trace += std::string(r->data_open ? "\n" : "") + "E " + (p->name ? p->name : "<null>") + "\n";
        r->data_open = false;
        return 0;
    }
};
constexpr vellum_multipart_callbacks kCallbacks = {Recorder::begin, Recorder::data, Recorder::end};

// Pushes body in the given pieces (sizes), then finishes; the trace ends with the outcome.
std::string run(const std::string &ctype, const std::string &body, const std::vector<size_t> &pieces,
                vellum_multipart_options *options = nullptr, Recorder *recorder = nullptr) {
    Recorder local;
    Recorder &r = recorder ? *recorder : local;
    vellum_error error;
    vellum_multipart *parser = vellum_multipart_open(ctype.c_str(), options, &error);
    if (!parser) return "open: " + std::string(error.message);
    size_t at = 0;
    vellum_status status = 0;
    for (size_t n : pieces) {
        n = std::min(n, body.size() - at);
        status = vellum_multipart_push(parser, body.data() + at, n, &kCallbacks, &r, &error);
        at += n;
        if (status) break;
    }
    if (!status) status = vellum_multipart_finish(parser, &kCallbacks, &r, &error);
    vellum_multipart_close(parser);
    return r.trace + "status " + std::to_string(status) + " " + (status ? error.message : "");
}

std::vector<size_t> whole(const std::string &body) { return {body.size()}; }
std::vector<size_t> bytewise(const std::string &body) { return std::vector<size_t>(body.size(), 1); }
std::vector<size_t> random_split(const std::string &body, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<size_t> pieces;
    for (size_t left = body.size(); left;) {
        size_t n = std::min<size_t>(left, rng() % 3 == 0 ? 0 : rng() % 40 + 1);
        pieces.push_back(n);  // empty pushes too
        left -= n;
    }
    return pieces;
}

// A generated body together with the trace its parts must produce.
struct Generated {
    std::string ctype, body, expected;
    bool lf_only;
    size_t closing_len;
};

bool delimiter_line_at(const std::string &s, size_t p, const std::string &d) {
    for (const char *tail : {"\n", "\r\n", "--\n", "--\r\n"})
        if (s.compare(p, d.size() + std::strlen(tail), d + tail) == 0) return true;
    return false;
}

Generated generate(std::mt19937 &rng) {
    auto pick = [&](std::initializer_list<const char *> list) { return std::string(list.begin()[rng() % list.size()]); };
    std::string b;
    for (size_t n = rng() % 20 + 1; n; n--) b += "aZ9-'_=.+"[rng() % 9];
    Generated g{"multipart/mixed; charset=x; boundary=\"" + b + "\"", "", "", rng() % 2 == 0, b.size() + 4};
    const std::string eol = g.lf_only ? "\n" : "\r\n", d = "--" + b;
    size_t parts = rng() % 4;
    for (size_t i = 0; i < parts; i++) {
        std::string body;
        for (size_t n = rng() % 12; n; n--)
            body += pick({"\r\n", "\n", "\r", "--", "x", "hello", "\n--", "\r\n--"}) + (rng() % 3 ? "" : d) +
                    pick({"", "X", "-", "--X", "\r"});
        bool counted = rng() % 3 == 0;
        std::string name = "p" + std::to_string(i), headers = d + eol;
        std::string seen = "B name=" + name + " type=" + (i % 2 ? "text/plain" : "<null>") + " len=" +
                           (counted ? std::to_string(body.size()) : "-1");
        auto header = [&](const std::string &k, const std::string &v) {
            headers += k + ":  " + v + " \t" + eol;
            seen += " [" + k + "=" + v + "]";
        };
        header(rng() % 2 ? "Content-Disposition" : "content-DISPOSITION",
               rng() % 2 ? "form-data; name=" + name : "form-data; x=\"a;name=z\"; NAME=\"p\\" + name.substr(1) + "\"");
        if (i % 2) header("Content-Type", "text/plain");
        if (counted) header("Content-Length", std::to_string(body.size()));
        if (!counted) {  // a delimited body may not contain its own delimiter line
            if (g.lf_only && !body.empty() && body.back() == '\r') body += "x";
            std::string s = body + eol + d + eol;
            for (size_t p = 0; p < body.size() + eol.size(); p++)
                if ((p == 0 || s[p - 1] == '\n') && delimiter_line_at(s, p, d)) body.insert(p, "y"), s.insert(p, "y");
        }
        g.body += headers + eol + body + eol;
        g.expected += seen + "\n" + (body.empty() ? "" : "D:" + body + "\n") + "E " + name + "\n";
    }
    g.body += d + "--" + eol + (rng() % 2 ? "epilogue\r\n" + d + "\r\nignored" : "");
    g.expected += "status 0 ";
    return g;
}

TEST(MultipartFraming, GeneratedBodiesMatchTheirPartsUnderEverySplit) {
    std::mt19937 rng(7);
    for (int round = 0; round < 400; round++) {
        Generated g = generate(rng);
        SCOPED_TRACE(g.body);
        ASSERT_EQ(run(g.ctype, g.body, whole(g.body)), g.expected);
        EXPECT_EQ(run(g.ctype, g.body, bytewise(g.body)), g.expected);
        EXPECT_EQ(run(g.ctype, g.body, random_split(g.body, round)), g.expected);
        // A look-behind too small for the bulk scan takes the byte-at-a-time path.
        vellum_multipart_options tight{};
        tight.max_body_buffer_bytes = g.closing_len + 3;
        std::string narrow = run(g.ctype, g.body, random_split(g.body, round + 1), &tight);
        if (g.lf_only) {
            EXPECT_EQ(narrow, g.expected);
        } else if (narrow != g.expected) {
            EXPECT_NE(narrow.find("framing buffer limit exceeded"), std::string::npos);
        }
    }
}

TEST(MultipartFraming, ValidAndInvalidInputsGiveTheSameOutcomeWhateverTheSplit) {
    const std::string ct = "multipart/related; boundary=b";
    const std::string part = "--b\r\nContent-Disposition: form-data; name=a\r\n\r\nabc\r\n";
    std::vector<std::pair<std::string, std::string>> inputs = {
        {ct, part + "--b--\r\n"},
        {ct, "\r\n\n" + part + "--b--\n"},  // empty lines before the first delimiter
        {ct, "preamble\r\n" + part + "--b--\r\n"},
        {ct, "--b\r\nno colon here\r\n\r\n"},
        {ct, "--b\r\nContent-Length: 12a\r\n\r\n"},
        {ct, "--b\r\nContent-Length: 9223372036854775808\r\n\r\n"},
        {ct, "--b\r\nContent-Length: 9223372036854775807\r\n\r\nshort"},
        {ct, "--b\r\nContent-Length:\r\n\r\n"},
        {ct, "--b\r\nContent-Disposition: form-data; name=\"open\r\n\r\n"},
        {ct, "--b\r\nContent-Length: 3\r\n\r\nxyz\r\n--b\rContent-Length: 0\r\r--b--\r"},
        {ct, "--b\r\n\r\nabc\r\n--b--"},      // closing line never terminated
        {ct, "--b\r\n\r\nabc\r\n--bX\r\n--b --\r\n--b--X\r\n--b--\r\n"},
        {ct, part + "--b--\r\nepilogue\r\n--b\r\n"},
        {ct, "--b\r\n" + std::string(70000, 'h') + ":v\r\n"},
        {ct, "--b\r\nContent-Length: 0\r\n\r\n--b--\r\n"},
    };
    for (const auto &file : {"curl_form", "curl_related", "email_related"}) {
        std::string ctype = read_file(kDir + file + ".ctype");
        inputs.emplace_back(ctype.substr(0, ctype.size() - 1), read_file(kDir + file + ".body"));
    }
    for (size_t i = 0; i < inputs.size(); i++) {
        const auto &[ctype, body] = inputs[i];
        SCOPED_TRACE(i);
        std::string expected = run(ctype, body, whole(body));
        EXPECT_EQ(run(ctype, body, bytewise(body)), expected);
        for (unsigned seed = 0; seed < 5; seed++) EXPECT_EQ(run(ctype, body, random_split(body, seed)), expected);
    }
    EXPECT_NE(run(ct, inputs[2].second, {99}).find("unexpected multipart boundary line"), std::string::npos);
    EXPECT_NE(run(ct, inputs[10].second, {99}).find("multipart stream ended before closing boundary"), std::string::npos);
    EXPECT_NE(run(ct, inputs[13].second, {99999}).find("framing buffer limit exceeded"), std::string::npos);
    EXPECT_EQ(run(ct, inputs[11].second, {99}), "B name=<null> type=<null> len=-1\nD:abc\r\n--bX\r\n--b --\r\n--b--X\nE <null>\nstatus 0 ");
    EXPECT_EQ(run(ct, inputs[9].second, {99}),
              "B name=<null> type=<null> len=3 [Content-Length=3]\nD:xyz\nE <null>\n"
              "B name=<null> type=<null> len=0 [Content-Length=0]\nE <null>\nstatus 0 ");
}

// Reads the .parts manifest of a fixture into the trace its body must give.
std::string expected_from_manifest(const std::string &fixture) {
    std::string manifest = read_file(kDir + fixture + ".parts"), out;
    for (size_t at = 0; at < manifest.size();) {
        size_t nl = manifest.find('\n', at);
        std::vector<std::string> cols;
        for (size_t c = at; c <= nl;) {
            size_t tab = std::min(manifest.find('\t', c), nl);
            cols.push_back(manifest.substr(c, tab - c));
            c = tab + 1;
        }
        std::string data = read_file(kDir + cols[3]);
        out += "B name=" + cols[0] + " type=" + (cols[1] == "-" ? "<null>" : cols[1]) +
               " len=" + (cols[2] == "-" ? "-1" : cols[2]) + "\n" +
               (data.empty() ? "" : "D:" + data + "\n") + "E " + cols[0] + "\n";
        at = nl + 1;
    }
    return out + "status 0 ";
}

TEST(MultipartProducers, CurlAndPythonBodiesYieldTheProducersParts) {
    for (const std::string fixture : {"curl_form", "curl_related", "email_related"}) {
        SCOPED_TRACE(fixture);
        std::string ctype = read_file(kDir + fixture + ".ctype"), body = read_file(kDir + fixture + ".body");
        Recorder r;
        r.headers = false;
        EXPECT_EQ(run(ctype.substr(0, ctype.size() - 1), body, random_split(body, 3), nullptr, &r),
                  expected_from_manifest(fixture));
    }
}

std::string open_error(const char *ctype, vellum_multipart_options *options = nullptr) {
    vellum_error error;
    vellum_multipart *parser = vellum_multipart_open(ctype, options, &error);
    vellum_multipart_close(parser);
    return parser ? "ok" : error.message;
}

TEST(MultipartBoundary, ParametersAreReadByTheQuotingRules) {
    // Double quotes quote; single quotes are ordinary token bytes, so ';' ends the token.
    EXPECT_EQ(run("multipart/related; type=\"application/json\"; Boundary=\"ab;c\"", "--ab;c--\r\n", {10}), "status 0 ");
    EXPECT_EQ(run("multipart/related; type=\"application/json\"; Boundary='ab;c'", "--'ab--\r\n", {9}), "status 0 ");
    EXPECT_EQ(run("multipart/mixed; type=\"x; boundary=no\";\t boundary =yes ;", "--yes--\n", {8}), "status 0 ");
    EXPECT_EQ(open_error(("multipart/mixed; boundary=" + std::string(200, 'q')).c_str()), "ok");
    EXPECT_EQ(open_error(("multipart/mixed; boundary=" + std::string(201, 'q')).c_str()),
              "multipart boundary length limit exceeded");
    EXPECT_EQ(open_error("multipart/mixed; boundary=\"abc"), "multipart boundary quote is unterminated");
    EXPECT_EQ(open_error("multipart/mixed; boundary=\"\""), "multipart boundary is invalid");
    EXPECT_EQ(open_error("multipart/mixed; boundary=\"a\r\nb\""), "multipart boundary is invalid");
    EXPECT_EQ(open_error("multipart/mixed; boundaryx=abc; charset=utf-8"), "multipart Content-Type missing boundary");
    EXPECT_EQ(open_error(nullptr), "multipart Content-Type is required");
    vellum_allocator partial{};
    partial.malloc_fn = [](void *, size_t n) { return malloc(n); };
    vellum_multipart_options options{};
    options.allocator = &partial;
    EXPECT_EQ(open_error("multipart/mixed; boundary=a", &options), "allocator must provide either all callbacks or none");
}

TEST(MultipartLimits, HeaderCountAndCallbackFailures) {
    std::string headers;
    for (int i = 0; i < 64; i++) headers += "X-H" + std::to_string(i) + ": v\r\n";
    EXPECT_NE(run("m; boundary=b", "--b\r\n" + headers + "\r\n--b--\r\n", {4000}).find("status 0"), std::string::npos);
    EXPECT_NE(run("m; boundary=b", "--b\r\n" + headers + "X: 65\r\n\r\n", {4000}).find("multipart header count limit exceeded"),
              std::string::npos);

    // A callback's own status wins; without one the parser names the callback. Failures stick.
    vellum_error error;
    vellum_multipart *parser = vellum_multipart_open("m; boundary=b", nullptr, &error);
    vellum_multipart_callbacks cb = kCallbacks;
    cb.begin_part = [](void *, const vellum_multipart_part *, vellum_error *e) {
        e->code = VELLUM_STATUS_IO_ERROR;
        return 1;
    };
    EXPECT_EQ(vellum_multipart_push(parser, "--b\n\n", 5, &cb, nullptr, &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_EQ(vellum_multipart_push(parser, "x", 1, &cb, nullptr, &error), VELLUM_STATUS_IO_ERROR);
    vellum_multipart_close(parser);
    Recorder r;
    r.fail_data_after = 2;
    EXPECT_NE(run("m; boundary=b", "--b\n\nabcdef\n--b--\n", {30}, nullptr, &r).find("status 9 multipart part_data callback failed"),
              std::string::npos);
    parser = vellum_multipart_open("m; boundary=b", nullptr, &error);
    EXPECT_EQ(vellum_multipart_push(parser, "--b--\r", 6, nullptr, nullptr, &error), 0);
    EXPECT_EQ(vellum_multipart_push(parser, "\nepilogue", 9, nullptr, nullptr, &error), 0);
    EXPECT_EQ(vellum_multipart_finish(parser, nullptr, nullptr, &error), 0);
    EXPECT_EQ(vellum_multipart_push(parser, "x", 1, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "multipart parser is already finished");
    vellum_multipart_close(parser);
}

TEST(MultipartMemory, FailingAllocatorsFailCleanlyAndLeakNothing) {
    const std::string body = read_file(kDir + "curl_form.body");
    std::string ctype = read_file(kDir + "curl_form.ctype");
    ctype.pop_back();
    const std::string baseline = run(ctype, body, random_split(body, 1));
    for (size_t n = 1; n < 40; n++) {
        CountingAllocator counting;
        counting.fail_at(n);
        vellum_multipart_options options{};
        options.allocator = counting.get();
        std::string trace = run(ctype, body, random_split(body, 1), &options);
        if (trace != baseline && trace.rfind("open: failed to allocate multipart parser", 0) != 0) {
            EXPECT_NE(trace.find("status 8"), std::string::npos) << trace.substr(trace.size() - 60);
        }
        if (n == 1) {
            EXPECT_EQ(trace, "open: failed to allocate multipart parser");
        }
        EXPECT_EQ(counting.stats().bytes_in_use, 0u);
    }
}

TEST(MultipartMemory, HundredMebibyteBodyPassesThroughASmallLookBehind) {
    CountingAllocator counting;
    vellum_multipart_options options{};
    options.allocator = counting.get();
    options.max_body_buffer_bytes = 4096;
    vellum_error error;
    vellum_multipart *parser = vellum_multipart_open("multipart/mixed; boundary=XyZzy", &options, &error);
    struct Sum {
        uint64_t bytes = 0, hash = 1469598103934665603ull;
    } got, want;
    auto mix = [](Sum &s, const char *p, size_t n) {
        for (size_t i = 0; i < n; i++) s.hash = (s.hash ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
        s.bytes += n;
    };
    vellum_multipart_callbacks cb{};
    cb.part_data = [](void *u, const void *p, size_t n, vellum_error *) {
        auto *s = static_cast<Sum *>(u);
        for (size_t i = 0; i < n; i++) s->hash = (s->hash ^ static_cast<const unsigned char *>(p)[i]) * 1099511628211ull;
        s->bytes += n;
        return 0;
    };
    const char head[] = "--XyZzy\r\nContent-Type: application/octet-stream\r\n\r\n";
    ASSERT_EQ(vellum_multipart_push(parser, head, sizeof head - 1, &cb, &got, &error), 0);
    std::mt19937 rng(11);
    const char *near[] = {"\r\n--XyZzy-", "\r\n--XyZz", "\n--XyZzy\rq", "\r\r\n", "\r\n--XyZzyX\r\n"};
    std::string chunk;
    for (uint64_t total = 0; total < (100ull << 20);) {
        chunk.clear();
        while (chunk.size() < 65536) chunk += rng() % 8 ? std::string(rng() % 200, static_cast<char>('a' + rng() % 16))
                                                        : std::string(near[rng() % 5]);
        mix(want, chunk.data(), chunk.size());
        total += chunk.size();
        ASSERT_EQ(vellum_multipart_push(parser, chunk.data(), chunk.size(), &cb, &got, &error), 0) << error.message;
    }
    const char tail[] = "\r\n--XyZzy--\r\n";
    ASSERT_EQ(vellum_multipart_push(parser, tail, sizeof tail - 1, &cb, &got, &error), 0);
    EXPECT_EQ(vellum_multipart_finish(parser, &cb, &got, &error), 0);
    vellum_multipart_close(parser);
    EXPECT_EQ(got.bytes, want.bytes);
    EXPECT_EQ(got.hash, want.hash);
    EXPECT_LE(counting.stats().peak_bytes, 4096u + 1024u);  // the parser, its line and look-behind
    EXPECT_EQ(counting.stats().bytes_in_use, 0u);
}

}  // namespace
