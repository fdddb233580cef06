// SSE parser: a stream from an independent WHATWG-style producer, the line and field rules,
// limits, whole vs byte-wise vs random splits, and the JSON mode with its event filter.
#include "fixtures.h"
#include "vellum.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using korvo::testing::CountingAllocator;
using korvo::testing::read_file;

const std::string kDir = "json/tests/data/sse/";

// One line per event: name, id, retry and data as seen at end_event.
struct Recorder {
    std::string trace, data;
    bool in_event = false;
    static int begin(void *u, const vellum_sse_event *, vellum_error *) {
        auto *r = static_cast<Recorder *>(u);
        EXPECT_FALSE(r->in_event);
        r->in_event = true;
        r->data.clear();
        return 0;
    }
    static int chunk(void *u, const char *bytes, size_t len, vellum_error *) {
        auto *r = static_cast<Recorder *>(u);
        EXPECT_TRUE(r->in_event);
        r->data.append(bytes, len);
        return 0;
    }
    static int end(void *u, const vellum_sse_event *e, vellum_error *) {
        auto *r = static_cast<Recorder *>(u);
        EXPECT_TRUE(r->in_event);
        EXPECT_EQ(e->data_bytes, r->data.size());
        r->in_event = false;
        r->trace += std::string(e->event) + "|" + (e->id ? e->id : "-") + "|" +
                    (e->has_retry ? std::to_string(e->retry) : "-") + "|" + r->data + "\n";
        return 0;
    }
};
constexpr vellum_sse_callbacks kCallbacks = {Recorder::begin, Recorder::chunk, Recorder::end};

std::string run(const std::string &input, const std::vector<size_t> &pieces, const vellum_sse_options *options = nullptr) {
    Recorder r;
    vellum_error error;
    vellum_sse *parser = vellum_sse_open(options, &error);
    size_t at = 0;
    vellum_status status = 0;
    for (size_t n : pieces) {
        n = std::min(n, input.size() - at);
        status = vellum_sse_push(parser, input.data() + at, n, &kCallbacks, &r, &error);
        at += n;
        if (status) break;
    }
    if (!status) status = vellum_sse_finish(parser, &kCallbacks, &r, &error);
    vellum_sse_close(parser);
    return r.trace + "status " + std::to_string(status) + " " + (status ? error.message : "");
}

std::vector<size_t> random_split(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<size_t> pieces;
    for (size_t left = size; left;) {
        size_t n = std::min<size_t>(left, rng() % 4 == 0 ? 0 : rng() % 30 + 1);
        pieces.push_back(n);
        left -= n;
    }
    return pieces;
}

std::string unhex(const std::string &hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::vector<std::vector<std::string>> expect_lines(const std::string &file) {
    std::vector<std::vector<std::string>> rows;
    std::string text = read_file(kDir + file);
    for (size_t at = 0; at < text.size();) {
        size_t nl = text.find('\n', at);
        std::vector<std::string> cols;
        for (size_t c = at; c <= nl;) {
            size_t tab = std::min(text.find('\t', c), nl);
            cols.push_back(text.substr(c, tab - c));
            c = tab + 1;
        }
        rows.push_back(cols);
        at = nl + 1;
    }
    return rows;
}

TEST(SsePlain, ProducerStreamGivesTheProducersEvents) {
    std::string expected;
    for (const auto &row : expect_lines("stream.expect")) expected += row[1] + "|" + row[2] + "|" + row[3] + "|" + unhex(row[4]) + "\n";
    std::string input = read_file(kDir + "stream.txt");
    EXPECT_EQ(run(input, random_split(input.size(), 5)), expected + "status 0 ");
}

TEST(SsePlain, EveryInputGivesTheSameOutcomeWhateverTheSplit) {
    vellum_sse_options small{};
    small.max_line_bytes = 16;
    small.max_event_data_bytes = 10;
    small.max_field_bytes = 4;
    std::vector<std::string> inputs = {read_file(kDir + "stream.txt"),
                                       "data: a\ndata: b\n\n",
                                       "data:a\r\ndata:  a\r\r\n: comment\n\nevent: x\n\n",
                                       "retry: 3000\nretry: 3s\nretry: 4294967296\nid: 1\ndata\n\n",
                                       "id\nevent\n\nid: a\0b\ndata: x\n\nunknown: y\n\n",
                                       "data: tail without blank line\r",
                                       "data: 0123456789\n\n",           // 10 bytes: at the limit
                                       "data: 012345\ndata: 6789\n\n",    // 11 with the joining LF
                                       "x: 0123456789abc\n\n",            // 16-byte line
                                       "x: 0123456789abcd\n\n",           // 17-byte line
                                       "event: abcd\nid: abcde\n\n"};
    const char with_nul[] = "id\nevent\n\nid: a\0b\ndata: x\n\nunknown: y\n\n";
    inputs[4] = std::string(with_nul, sizeof with_nul - 1);
    for (size_t i = 0; i < inputs.size(); i++) {
        SCOPED_TRACE(i);
        const std::string &in = inputs[i];
        for (const vellum_sse_options *options : {static_cast<const vellum_sse_options *>(nullptr), const_cast<const vellum_sse_options *>(&small)}) {
            std::string expected = run(in, {in.size()}, options);
            EXPECT_EQ(run(in, std::vector<size_t>(in.size(), 1), options), expected);
            for (unsigned seed = 0; seed < 4; seed++) EXPECT_EQ(run(in, random_split(in.size(), seed), options), expected);
        }
    }
    EXPECT_EQ(run(inputs[1], {99}), "|-|-|a\nb\nstatus 0 ");
    EXPECT_EQ(run(inputs[2], {99}), "|-|-|a\n a\nx|-|-|\nstatus 0 ");
    EXPECT_EQ(run(inputs[3], {99}), "|1|3000|\nstatus 0 ");
    EXPECT_EQ(run(inputs[4], {99}), "||-|\n|-|-|x\nstatus 0 ");  // an id holding NUL is ignored
    EXPECT_EQ(run(inputs[5], {99}), "|-|-|tail without blank line\nstatus 0 ");
    EXPECT_EQ(run(inputs[6], {99}, &small), "|-|-|0123456789\nstatus 0 ");
    EXPECT_EQ(run(inputs[7], {99}, &small), "status 6 SSE event data exceeds configured limit");
    EXPECT_EQ(run(inputs[8], {99}, &small), "status 0 ");
    EXPECT_EQ(run(inputs[9], {99}, &small), "status 6 framing buffer limit exceeded");
    EXPECT_EQ(run(inputs[10], {99}, &small), "status 6 framing buffer limit exceeded");
}

TEST(SsePlain, DefaultLimitsAndCallbackFailures) {
    std::string line(65536, 'x');
    EXPECT_EQ(run(line + "\n\n", {line.size() + 2}), "status 0 ");  // a field named x: ignored
    EXPECT_EQ(run(line + "x\n", {line.size() + 2}), "status 6 framing buffer limit exceeded");
    std::string data;  // 16 * 65530 bytes and 16 joining LFs, then 80 bytes: exactly 1048576
    for (int i = 0; i < 16; i++) data += "data: " + std::string(65530, static_cast<char>('a' + i)) + "\n";
    EXPECT_NE(run(data + "data: " + std::string(80, 'z') + "\n\n", {2000000}).find("status 0"), std::string::npos);
    EXPECT_EQ(run(data + "data: " + std::string(81, 'z') + "\n\n", {2000000}),
              "status 6 SSE event data exceeds configured limit");
    EXPECT_EQ(run("data: " + std::string(1048577, 'q') + "\n\n", {1048585}), "status 6 framing buffer limit exceeded");
    vellum_sse_options wide{};
    wide.max_line_bytes = 2u << 20;
    EXPECT_EQ(run("data: " + std::string(1048577, 'q') + "\n\n", {1048585}, &wide),
              "status 6 SSE event data exceeds configured limit");

    vellum_error error;
    vellum_sse *parser = vellum_sse_open(nullptr, &error);
    vellum_sse_callbacks cb{};
    cb.data_chunk = [](void *, const char *, size_t, vellum_error *) { return -1; };
    EXPECT_EQ(vellum_sse_push(parser, "data: x\n", 8, &cb, nullptr, &error), VELLUM_STATUS_CALLBACK_FAILED);
    EXPECT_STREQ(error.message, "SSE data_chunk callback failed");
    cb.end_event = [](void *, const vellum_sse_event *, vellum_error *e) {
        e->code = VELLUM_STATUS_IO_ERROR;
        return 1;
    };
    EXPECT_EQ(vellum_sse_push(parser, "\n", 1, &cb, nullptr, &error), VELLUM_STATUS_IO_ERROR);
    EXPECT_EQ(vellum_sse_finish(parser, nullptr, nullptr, &error), 0);
    EXPECT_EQ(vellum_sse_push(parser, "x", 1, nullptr, nullptr, &error), VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "SSE parser is already finished");
    vellum_sse_close(parser);
}

struct Update {
    char *queue;
    int32_t available;
    int64_t count;
};
const vellum_field kUpdateFields[] = {
    VELLUM_FIELD_STRING(Update, queue, "queue", VELLUM_FIELD_REQUIRED),
    VELLUM_FIELD_BOOL(Update, available, "available", 0),
    VELLUM_FIELD_I64(Update, count, "count", 0),
};
const vellum_map kUpdateMap = VELLUM_MAP(Update, kUpdateFields);

int collect_update(void *user, const vellum_sse_event *event, void *destination, vellum_error *) {
    auto *u = static_cast<Update *>(destination);
    *static_cast<std::string *>(user) += std::string(event->event) + ":" + u->queue + "\t" +
                                         std::to_string(u->available) + "\t" + std::to_string(u->count) + "\n";
    return 0;
}

// Runs the JSON mode over input in the given pieces; returns the deliveries and the outcome.
std::string run_json(const std::string &input, const std::vector<size_t> &pieces, const char *filter,
                     vellum_alloc_stats *stats = nullptr) {
    CountingAllocator counting;
    vellum_parse_options parse = vellum_default_parse_options();
    parse.allocator = counting.get();
    const char *names[] = {nullptr, filter};
    vellum_sse_json_options json{names, filter ? 2u : 0u, &parse};
    Update update{};
    std::string out;
    vellum_error error;
    vellum_sse *parser = vellum_sse_open(nullptr, &error);
    size_t at = 0;
    vellum_status status = 0;
    for (size_t n : pieces) {
        n = std::min(n, input.size() - at);
        status = vellum_sse_push_json(parser, &kUpdateMap, &update, input.data() + at, n, &json, collect_update, &out, &error);
        at += n;
        if (status) break;
    }
    if (!status) status = vellum_sse_finish_json(parser, &kUpdateMap, &update, &json, collect_update, &out, &error);
    vellum_sse_close(parser);
    vellum_cleanup(&kUpdateMap, &update);
    if (stats) *stats = counting.stats();
    return out + "status " + std::to_string(status) + " " + (status ? error.message : "");
}

TEST(SseJson, FilteredProducerStreamParsesEachUpdateIntoTheRecord) {
    std::string expected;
    for (const auto &row : expect_lines("json_stream.expect")) expected += "update:" + row[0] + "\t" + row[1] + "\t" + row[2] + "\n";
    std::string input = read_file(kDir + "json_stream.txt");
    vellum_alloc_stats stats{};
    for (unsigned seed = 0; seed < 4; seed++) {
        EXPECT_EQ(run_json(input, random_split(input.size(), seed), "update", &stats), expected + "status 0 ");
        EXPECT_EQ(stats.bytes_in_use, 0u);  // each event's strings were released before the next
        EXPECT_GT(stats.alloc_count, 0u);
        EXPECT_EQ(stats.alloc_count, stats.free_count);
    }
    EXPECT_EQ(run_json(input, std::vector<size_t>(input.size(), 1), "update"), expected + "status 0 ");
    // Without a filter the ping's data reaches the record parser and fails there.
    EXPECT_NE(run_json(input, {input.size()}, nullptr).find("status 3 root value must be an object"), std::string::npos);
}

TEST(SseJson, EventRulesAndErrors) {
    const std::string good = "data: {\"queue\":\"a\",\ndata: \"count\":2}\n\n";
    EXPECT_EQ(run_json("event: update\n" + good, {99}, "update"), "update:a\t0\t2\nstatus 0 ");
    EXPECT_EQ(run_json("event: ping\ndata: not json\n\nevent: update\n" + good, {99}, "update"), "update:a\t0\t2\nstatus 0 ");
    EXPECT_EQ(run_json("data: {\"queue\":\"a\"}\nevent: update\n\n", {99}, "update"),
              "status 1 SSE event name must precede data for streaming JSON filters");
    EXPECT_EQ(run_json("data: {\"queue\":\"a\"}\nevent: update\n\n", {99}, nullptr), "update:a\t0\t0\nstatus 0 ");
    EXPECT_EQ(run_json("event: update\nid: 1\n\n" + good, {99}, nullptr), ":a\t0\t2\nstatus 0 ");
    EXPECT_EQ(run_json("data: {\"count\":1}\n\n", {99}, nullptr), "status 4 missing required field 'queue'");
    EXPECT_EQ(run_json("data: {\"queue\":\"a\"} x\n\n", {99}, nullptr), "status 2 unexpected trailing data");
    EXPECT_EQ(run_json("data: {\"queue\":\"a\"", {99}, nullptr), "status 2 incomplete JSON document");

    // A bad event is dropped; the stream goes on with the next one.
    vellum_error error;
    vellum_sse *parser = vellum_sse_open(nullptr, &error);
    Update update{};
    std::string out;
    const std::string bad = "data: {\"queue\":1}\n";
    EXPECT_EQ(vellum_sse_push_json(parser, &kUpdateMap, &update, bad.data(), bad.size(), nullptr, collect_update, &out, &error),
              VELLUM_STATUS_TYPE_MISMATCH);
    EXPECT_EQ(vellum_sse_push_json(parser, &kUpdateMap, &update, ("\n" + good).data(), good.size() + 1, nullptr,
                                   collect_update, &out, &error), 0);
    EXPECT_EQ(out, ":a\t0\t2\n");
    Update other{};
    EXPECT_EQ(vellum_sse_push_json(parser, &kUpdateMap, &update, "data: {\n", 8, nullptr, collect_update, &out, &error), 0);
    EXPECT_EQ(vellum_sse_push_json(parser, &kUpdateMap, &other, "data: }\n", 8, nullptr, collect_update, &out, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "SSE JSON parser arguments changed during an event");
    EXPECT_EQ(vellum_sse_push_json(parser, nullptr, &update, "", 0, nullptr, collect_update, &out, &error),
              VELLUM_STATUS_INVALID_ARGUMENT);
    EXPECT_STREQ(error.message, "map and destination are required");
    vellum_sse_close(parser);
    vellum_cleanup(&kUpdateMap, &update);

    vellum_sse_options small{};
    small.max_event_data_bytes = 8;
    parser = vellum_sse_open(&small, &error);
    EXPECT_EQ(vellum_sse_push_json(parser, &kUpdateMap, &update, "data: {\"q\":123}\n", 16, nullptr, collect_update, &out,
                                   &error), VELLUM_STATUS_OVERFLOW);
    EXPECT_STREQ(error.message, "SSE JSON event data exceeds configured limit");
    vellum_sse_close(parser);
    vellum_cleanup(&kUpdateMap, &update);
}

}  // namespace
