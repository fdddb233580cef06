#include "handlers.h"

#include "wire.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <exception>

namespace korvo::devserver {

namespace asio = boost::asio;
using asio::awaitable;
using asio::use_awaitable;

namespace {

constexpr size_t kReadPiece = 64 * 1024;

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// A base-10 signed 64-bit integer, the whole text and nothing else.
bool parse_i64(std::string_view text, int64_t &out) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

std::string namespace_or_default(const char *ns) { return ns && *ns ? ns : "default"; }
std::string namespace_or_default(const std::string &ns) { return ns.empty() ? "default" : ns; }
std::string text_of(const char *s) { return s ? s : ""; }

std::string unquote(std::string value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') return value.substr(1, value.size() - 2);
    return value;
}

// Correlation ids are echoed only when they are short printable text.
bool acceptable_correlation_id(const std::string &id) {
    if (id.empty() || id.size() > 128) return false;
    return std::all_of(id.begin(), id.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

bool truthy(const std::string &value) { return value == "1" || iequals(value, "true"); }

Response json_response(int status, std::string body) {
    Response response;
    response.status = status;
    response.headers.emplace_back("Content-Type", "application/json");
    response.body = std::move(body);
    return response;
}

Response error_response(const ApiError &e) {
    wire::ErrorBody body{};
    body.error = e.error.c_str();
    body.detail = e.detail.empty() ? nullptr : e.detail.c_str();
    body.current_etag = e.current_etag ? e.current_etag->c_str() : nullptr;
    if (e.current_version) {
        body.current_version = *e.current_version;
        body.has_current_version = 1;
    }
    if (e.retry_after_seconds) {
        body.retry_after_seconds = *e.retry_after_seconds;
        body.has_retry_after = 1;
    }
    return json_response(e.status, wire::to_json(wire::kErrorBodyMap, &body));
}

Response error_response(int status, std::string error, std::string detail) {
    return error_response(make_error(status, std::move(error), std::move(detail)));
}

// 200 with record as its JSON body.
Response json_ok(const vellum_map &map, const void *record) { return json_response(200, wire::to_json(map, record)); }

Response empty_response(int status) {
    Response response;
    response.status = status;
    return response;
}

// 405, with the methods path does accept in Allow.
Response method_not_allowed(const std::string &method, const std::string &path, const char *allow) {
    Response response = error_response(405, "method_not_allowed", method + " is not allowed on " + path);
    response.headers.emplace_back("Allow", allow);
    return response;
}

// A request body that ended before it was complete.
Response unreadable_body() { return error_response(400, "invalid_request", "request body could not be read"); }

std::string slot_of(const std::string &ns, const std::string &key) { return ns + '\n' + key; }

// Key and effective namespace from the query string.
std::optional<Response> key_from_query(const Request &request, std::string &ns, std::string &key) {
    key = request.query_value("key");
    ns = namespace_or_default(request.query_value("namespace"));
    if (key.empty()) return error_response(400, "invalid_request", "key is required");
    return std::nullopt;
}

// X-Lease-ID, X-Txn-ID and X-Fencing-Token.
std::optional<Response> lease_from_headers(const Request &request, LeaseRef &ref) {
    ref.lease_id = request.header("X-Lease-ID");
    ref.txn_id = request.header("X-Txn-ID");
    if (request.has_header("X-Fencing-Token")) {
        std::string token = request.header("X-Fencing-Token");
        if (!parse_i64(token, ref.fencing_token) || ref.fencing_token < 0)
            return error_response(400, "invalid_request", "X-Fencing-Token must be a non-negative integer");
    }
    return std::nullopt;
}

// The key a request acts on and the lease it acts under.
struct Target {
    std::string ns, key;
    LeaseRef ref;
};

// The key and namespace from the query, the lease from the headers.
std::optional<Response> target_from(const Request &request, Target &target) {
    if (auto failure = key_from_query(request, target.ns, target.key)) return failure;
    return lease_from_headers(request, target.ref);
}

// Keepalive and release name the key and the lease in their JSON body; a fencing token in the
// headers wins over the body's.
template <class Body>
std::optional<Response> target_from_body(const Request &request, const Body &body, Target &target) {
    if (auto failure = lease_from_headers(request, target.ref)) return failure;
    target.ref.lease_id = text_of(body.lease_id);
    target.ref.txn_id = text_of(body.txn_id);
    if (!request.has_header("X-Fencing-Token")) target.ref.fencing_token = body.fencing_token;
    target.ns = namespace_or_default(body.namespace_);
    target.key = text_of(body.key);
    if (target.key.empty()) return error_response(400, "invalid_request", "key is required");
    return std::nullopt;
}

// The lease a read is checked against: none for a public read (public=1 or true in the
// query), which sees the committed state.
const LeaseRef *read_lease(const Request &request, const Target &target) {
    return truthy(request.query_value("public")) ? nullptr : &target.ref;
}

// X-If-State-ETag (quotes optional) and X-If-Version.
std::optional<Response> preconditions_from_headers(const Request &request, Preconditions &preconditions) {
    if (request.has_header("X-If-State-ETag")) preconditions.if_state_etag = unquote(request.header("X-If-State-ETag"));
    if (request.has_header("X-If-Version")) {
        int64_t version = 0;
        if (!parse_i64(request.header("X-If-Version"), version))
            return error_response(400, "invalid_request", "X-If-Version must be an integer");
        preconditions.if_version = version;
    }
    return std::nullopt;
}

// A vellum record parsed from a request body, released with the record.
template <class T> struct Parsed {
    const vellum_map &map;
    T record{};
    explicit Parsed(const vellum_map &m) : map(m) {}
    ~Parsed() { vellum_cleanup(&map, &record); }
    Parsed(const Parsed &) = delete;
    Parsed &operator=(const Parsed &) = delete;
};

struct DigestDeleter {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

enum class BodyOutcome { Ok, TooLarge, Broken };

// Reads the whole body into out, within limit bytes. A known Content-Length is reserved up
// front and read in place, so the document exists once; on_chunk sees every piece.
template <class OnChunk>
awaitable<BodyOutcome> read_body_into(BodyReader &body, std::string &out, uint64_t limit,
                                      std::optional<uint64_t> content_length, OnChunk &&on_chunk) {
    if (content_length) {
        if (*content_length > limit) co_return BodyOutcome::TooLarge;
        out.reserve(static_cast<size_t>(*content_length));
    }
    char tail[256];
    for (;;) {
        const size_t old = out.size();
        size_t want = kReadPiece;
        if (content_length && old < *content_length) want = std::min<uint64_t>(want, *content_length - old);
        std::optional<size_t> n;
        if (content_length && old >= *content_length) {
            // Everything announced has arrived: confirm the end without growing the buffer.
            n = co_await body.read_some(tail, sizeof tail);
            if (n && *n > 0) co_return BodyOutcome::Broken;
        } else {
            out.resize(old + want);
            n = co_await body.read_some(out.data() + old, want);
            out.resize(old + (n ? *n : 0));
        }
        if (!n) co_return body.too_large() ? BodyOutcome::TooLarge : BodyOutcome::Broken;
        if (*n == 0) co_return BodyOutcome::Ok;
        if (out.size() > limit) co_return BodyOutcome::TooLarge;
        on_chunk(out.data() + old, *n);
    }
}

const char *allowed_methods(std::string_view path) {
    if (path == "/v1/attachments") return "GET, POST, DELETE";
    if (path == "/v1/attachment") return "GET, DELETE";
    if (path == "/v1/get" || path == "/v1/describe" || path == "/admin/status") return "GET";
    return "POST";
}

} // namespace

// ---- Request ---------------------------------------------------------------------------------

std::string Request::query_value(std::string_view name) const {
    for (const auto &[key, value] : query)
        if (key == name) return value;
    return "";
}

bool Request::has_query(std::string_view name) const {
    return std::any_of(query.begin(), query.end(), [&](const auto &entry) { return entry.first == name; });
}

std::string Request::header(std::string_view name) const {
    for (const auto &[key, value] : headers)
        if (iequals(key, name)) return value;
    return "";
}

bool Request::has_header(std::string_view name) const {
    return std::any_of(headers.begin(), headers.end(), [&](const auto &entry) { return iequals(entry.first, name); });
}

void Handlers::Waiters::wake(const std::string &slot) {
    auto [first, last] = timers.equal_range(slot);
    for (auto it = first; it != last; ++it) it->second->cancel();
}

Handlers::Handlers(Store &store, HandlerConfig config) : store_(store), config_(config) {}

void Handlers::shutdown() {
    stopping_ = true;
    for (auto &[slot, timer] : waiters_.timers) timer->cancel();
}

// ---- entry -----------------------------------------------------------------------------------

awaitable<Response> Handlers::handle(const Request &request, BodyReader &body) {
    const auto start = std::chrono::steady_clock::now();
    std::string cid = request.header("X-Correlation-Id");
    if (!acceptable_correlation_id(cid)) cid = random_hex(12);
    Response response;
    bool failed = false;
    try {
        if (request.bad_target) response = error_response(400, "invalid_request", "malformed query string");
        else response = co_await dispatch(request, body);
    } catch (const std::exception &) {
        failed = true;
    }
    if (failed) {
        response = error_response(500, "internal_error", "the request could not be handled");
        response.close = true;
    }
    response.headers.emplace_back("X-Correlation-Id", cid);
    if (config_.logger) {
        auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
        chirp_field fields[] = {
            chirp_str("method", request.method.c_str()),
            chirp_str("path", request.path.c_str()),
            chirp_i64("status", response.status),
            chirp_i64("duration_us", micros),
            chirp_str("correlation_id", cid.c_str()),
        };
        chirp_info(config_.logger, "http.request", fields, sizeof fields / sizeof fields[0]);
    }
    co_return response;
}

awaitable<Response> Handlers::dispatch(const Request &request, BodyReader &body) {
    const std::string &path = request.path;
    const std::string &method = request.method;
    if (path.rfind("/admin/", 0) == 0) co_return admin(request);
    if (path.rfind("/v1/", 0) != 0) co_return error_response(404, "not_found", "no such endpoint");
    if (passive()) co_return error_response(503, "node_passive", "this node is passive");

    bool known = true;
    if (path == "/v1/acquire") {
        if (method == "POST") co_return co_await acquire(request, body);
    } else if (path == "/v1/keepalive") {
        if (method == "POST") co_return co_await keepalive(request, body);
    } else if (path == "/v1/release") {
        if (method == "POST") co_return co_await release(request, body);
    } else if (path == "/v1/get") {
        if (method == "GET") co_return get(request);
    } else if (path == "/v1/update") {
        if (method == "POST") co_return co_await update(request, body);
    } else if (path == "/v1/mutate") {
        if (method == "POST")
            co_return error_response(501, "not_implemented", "mutations are not supported by the development server");
    } else if (path == "/v1/metadata") {
        if (method == "POST") co_return co_await metadata(request, body);
    } else if (path == "/v1/remove") {
        if (method == "POST") co_return remove(request);
    } else if (path == "/v1/describe") {
        if (method == "GET") co_return describe(request);
    } else if (path == "/v1/attachments") {
        if (method == "POST") co_return co_await attach(request, body);
        if (method == "GET") co_return list_attachments(request);
        if (method == "DELETE") co_return delete_all_attachments(request);
    } else if (path == "/v1/attachment") {
        if (method == "GET") co_return get_attachment(request);
        if (method == "DELETE") co_return delete_attachment(request);
    } else {
        known = false;
    }
    if (!known) co_return error_response(404, "not_found", "no such endpoint");
    co_return method_not_allowed(method, path, allowed_methods(path));
}

awaitable<std::optional<Response>> Handlers::read_json_body(BodyReader &body, std::string &out) {
    char piece[16 * 1024];
    for (;;) {
        std::optional<size_t> n = co_await body.read_some(piece, sizeof piece);
        if (!n) {
            if (body.too_large()) co_return error_response(413, "body_too_large", "request body is too large");
            co_return unreadable_body();
        }
        if (*n == 0) co_return std::nullopt;
        if (out.size() + *n > config_.max_json_bytes)
            co_return error_response(413, "body_too_large", "JSON request body is too large");
        out.append(piece, *n);
    }
}

awaitable<std::optional<Response>> Handlers::read_json_record(BodyReader &body, const vellum_map &map, void *record,
                                                              bool empty_ok) {
    std::string text;
    if (auto failure = co_await read_json_body(body, text)) co_return failure;
    std::string message;
    if ((!empty_ok || !text.empty()) && !wire::from_json(map, record, text, message))
        co_return error_response(400, "invalid_request", message);
    co_return std::nullopt;
}

// ---- leases ----------------------------------------------------------------------------------

awaitable<Response> Handlers::acquire(const Request &, BodyReader &body) {
    Parsed<wire::AcquireBody> parsed(wire::kAcquireBodyMap);
    if (auto failure = co_await read_json_record(body, parsed.map, &parsed.record, false)) co_return *failure;
    AcquireRequest acquire;
    acquire.ns = namespace_or_default(parsed.record.namespace_);
    acquire.key = text_of(parsed.record.key);
    acquire.owner = text_of(parsed.record.owner);
    acquire.txn_id = text_of(parsed.record.txn_id);
    acquire.ttl_seconds = parsed.record.ttl_seconds;
    acquire.if_not_exists = parsed.record.if_not_exists != 0;
    // A day bounds the wait: longer than any client timeout, and far from overflowing.
    const int64_t block_seconds = std::clamp<int64_t>(parsed.record.block_seconds, 0, 86400);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(block_seconds);
    const std::string slot = slot_of(acquire.ns, acquire.key);

    LeaseInfo lease;
    for (;;) {
        Status status = store_.acquire(acquire, lease);
        if (!status) break;
        const auto now = std::chrono::steady_clock::now();
        if (status->error != "lease_held" || now >= deadline || stopping_) co_return error_response(*status);
        // Sleep until the holder's lease would expire, the wait ends, or a release wakes us.
        const int64_t wall_now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
        auto wake = now + std::chrono::milliseconds(std::max<int64_t>(status->blocked_until_ms - wall_now, 0) + 1);
        asio::steady_timer timer(co_await asio::this_coro::executor);
        timer.expires_at(std::min(wake, deadline));
        auto registered = waiters_.timers.emplace(slot, &timer);
        struct Unregister {
            Waiters &waiters;
            std::multimap<std::string, asio::steady_timer *>::iterator it;
            ~Unregister() { waiters.timers.erase(it); }
        } unregister{waiters_, registered};
        boost::system::error_code ignored;
        co_await timer.async_wait(asio::redirect_error(use_awaitable, ignored));
    }
    wire::AcquireResponse out{};
    out.namespace_ = acquire.ns.c_str();
    out.key = acquire.key.c_str();
    out.owner = lease.owner.c_str();
    out.lease_id = lease.lease_id.c_str();
    out.txn_id = lease.txn_id.c_str();
    out.expires_at_unix = lease.expires_at_unix;
    out.version = lease.version;
    out.state_etag = lease.state_etag.c_str();
    out.fencing_token = lease.fencing_token;
    co_return json_ok(wire::kAcquireResponseMap, &out);
}

awaitable<Response> Handlers::keepalive(const Request &request, BodyReader &body) {
    Parsed<wire::KeepaliveBody> parsed(wire::kKeepaliveBodyMap);
    if (auto failure = co_await read_json_record(body, parsed.map, &parsed.record, false)) co_return *failure;
    Target target;
    if (auto failure = target_from_body(request, parsed.record, target)) co_return *failure;
    KeepaliveResult result;
    if (Status status = store_.keepalive(target.ns, target.key, target.ref, parsed.record.ttl_seconds, result))
        co_return error_response(*status);
    wire::KeepaliveResponse out{result.expires_at_unix, result.version, result.state_etag.c_str()};
    co_return json_ok(wire::kKeepaliveResponseMap, &out);
}

awaitable<Response> Handlers::release(const Request &request, BodyReader &body) {
    Parsed<wire::ReleaseBody> parsed(wire::kReleaseBodyMap);
    if (auto failure = co_await read_json_record(body, parsed.map, &parsed.record, false)) co_return *failure;
    Target target;
    if (auto failure = target_from_body(request, parsed.record, target)) co_return *failure;
    if (Status status = store_.release(target.ns, target.key, target.ref, parsed.record.rollback != 0))
        co_return error_response(*status);
    waiters_.wake(slot_of(target.ns, target.key));
    wire::ReleaseResponse out{1};
    co_return json_ok(wire::kReleaseResponseMap, &out);
}

// ---- state -----------------------------------------------------------------------------------

Response Handlers::get(const Request &request) {
    Target target;
    if (auto failure = target_from(request, target)) return *failure;
    StateRead state;
    if (Status status = store_.read_state(target.ns, target.key, read_lease(request, target), state))
        return error_response(*status);
    Response response = empty_response(state.has_state ? 200 : 204);
    if (state.has_state) {
        response.headers.emplace_back("Content-Type", state.content_type);
        response.headers.emplace_back("ETag", "\"" + state.etag + "\"");
        response.shared_body = state.data;
    }
    response.headers.emplace_back("X-Key-Version", std::to_string(state.version));
    if (state.fencing_token > 0) response.headers.emplace_back("X-Fencing-Token", std::to_string(state.fencing_token));
    return response;
}

awaitable<Response> Handlers::update(const Request &request, BodyReader &body) {
    Target target;
    if (auto failure = target_from(request, target)) co_return *failure;
    Preconditions preconditions;
    if (auto failure = preconditions_from_headers(request, preconditions)) co_return *failure;
    // Refuse before a large body is read when the lease or a precondition already fails.
    if (Status status = store_.check_write(target.ns, target.key, target.ref, preconditions))
        co_return error_response(*status);
    std::string document;
    BodyOutcome outcome = co_await read_body_into(body, document, config_.max_body_bytes, request.content_length,
                                                  [](const char *, size_t) {});
    if (outcome == BodyOutcome::TooLarge)
        co_return error_response(413, "body_too_large", "state document is larger than the server accepts");
    if (outcome == BodyOutcome::Broken) co_return unreadable_body();
    vellum_error error;
    if (vellum_validate_buffer(document.data(), document.size(), &error) != VELLUM_STATUS_OK)
        co_return error_response(400, "invalid_json", std::string("state document is not JSON: ") + error.message);
    std::string content_type = request.header("Content-Type");
    if (content_type.empty()) content_type = "application/json";
    WriteResult result;
    if (Status status = store_.write_state(target.ns, target.key, target.ref, preconditions, content_type,
                                           std::move(document), result))
        co_return error_response(*status);
    wire::UpdateResponse out{result.new_version, result.new_etag.c_str(), result.bytes};
    co_return json_ok(wire::kUpdateResponseMap, &out);
}

awaitable<Response> Handlers::metadata(const Request &request, BodyReader &body) {
    Target target;
    if (auto failure = target_from(request, target)) co_return *failure;
    Preconditions preconditions;
    if (auto failure = preconditions_from_headers(request, preconditions)) co_return *failure;
    Parsed<wire::MetadataBody> parsed(wire::kMetadataBodyMap);
    if (auto failure = co_await read_json_record(body, parsed.map, &parsed.record, true)) co_return *failure;
    std::optional<bool> query_hidden;
    if (parsed.record.has_query_hidden) query_hidden = parsed.record.query_hidden != 0;
    MetadataResult result;
    if (Status status = store_.update_metadata(target.ns, target.key, target.ref, preconditions.if_version,
                                               query_hidden, result))
        co_return error_response(*status);
    wire::MetadataResponse out{};
    out.namespace_ = target.ns.c_str();
    out.key = target.key.c_str();
    out.version = result.version;
    out.metadata.query_hidden = result.query_hidden ? 1 : 0;
    co_return json_ok(wire::kMetadataResponseMap, &out);
}

Response Handlers::remove(const Request &request) {
    Target target;
    if (auto failure = target_from(request, target)) return *failure;
    Preconditions preconditions;
    if (auto failure = preconditions_from_headers(request, preconditions)) return *failure;
    RemoveResult result;
    if (Status status = store_.remove_state(target.ns, target.key, target.ref, preconditions, result))
        return error_response(*status);
    wire::RemoveResponse out{result.removed ? 1 : 0, result.new_version};
    return json_ok(wire::kRemoveResponseMap, &out);
}

Response Handlers::describe(const Request &request) {
    std::string ns, key;
    if (auto failure = key_from_query(request, ns, key)) return *failure;
    DescribeResult result;
    if (Status status = store_.describe(ns, key, result)) return error_response(*status);
    wire::DescribeResponse out{};
    out.namespace_ = ns.c_str();
    out.key = key.c_str();
    out.owner = result.owner.empty() ? nullptr : result.owner.c_str();
    out.lease_id = result.lease_id.empty() ? nullptr : result.lease_id.c_str();
    out.expires_at_unix = result.expires_at_unix;
    out.version = result.version;
    out.state_etag = result.state_etag.c_str();
    out.updated_at_unix = result.updated_at_unix;
    out.metadata.query_hidden = result.query_hidden ? 1 : 0;
    return json_ok(wire::kDescribeResponseMap, &out);
}

// ---- attachments -----------------------------------------------------------------------------

namespace {

wire::AttachmentInfo info_record(const AttachmentInfo &info) {
    wire::AttachmentInfo out{};
    out.id = info.id.c_str();
    out.name = info.name.c_str();
    out.size = info.size;
    out.plaintext_sha256 = info.sha256.c_str();
    out.content_type = info.content_type.c_str();
    out.created_at_unix = info.created_at_unix;
    out.updated_at_unix = info.updated_at_unix;
    return out;
}

} // namespace

awaitable<Response> Handlers::attach(const Request &request, BodyReader &body) {
    Target target;
    if (auto failure = target_from(request, target)) co_return *failure;
    const std::string name = request.query_value("name");
    const bool prevent_overwrite = truthy(request.query_value("prevent_overwrite"));
    std::string content_type = request.query_value("content_type");
    if (content_type.empty()) content_type = request.header("Content-Type");
    if (content_type.empty()) content_type = "application/octet-stream";
    std::optional<int64_t> max_bytes;
    if (request.has_query("max_bytes")) {
        int64_t limit = 0;
        if (!parse_i64(request.query_value("max_bytes"), limit) || limit < 0)
            co_return error_response(400, "invalid_request", "max_bytes must be a non-negative integer");
        max_bytes = limit;
    }
    if (Status status = store_.check_attach(target.ns, target.key, target.ref, name, prevent_overwrite))
        co_return error_response(*status);

    const bool limited_by_request = max_bytes && static_cast<uint64_t>(*max_bytes) < config_.max_body_bytes;
    const uint64_t limit = limited_by_request ? static_cast<uint64_t>(*max_bytes) : config_.max_body_bytes;
    auto too_large = [&] {
        if (limited_by_request)
            return error_response(413, "attachment_too_large",
                                  "attachment is larger than max_bytes (" + std::to_string(*max_bytes) + ")");
        return error_response(413, "body_too_large", "attachment is larger than the server accepts");
    };
    if (request.content_length && *request.content_length > limit) co_return too_large();

    std::unique_ptr<EVP_MD_CTX, DigestDeleter> digest(EVP_MD_CTX_new());
    if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1)
        co_return error_response(500, "internal_error", "failed to start SHA-256");
    std::string data;
    BodyOutcome outcome = co_await read_body_into(body, data, limit, request.content_length,
                                                  [&](const char *bytes, size_t length) {
                                                      EVP_DigestUpdate(digest.get(), bytes, length);
                                                  });
    if (outcome == BodyOutcome::TooLarge) co_return too_large();
    if (outcome == BodyOutcome::Broken) co_return unreadable_body();
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int raw_length = 0;
    if (EVP_DigestFinal_ex(digest.get(), raw, &raw_length) != 1)
        co_return error_response(500, "internal_error", "failed to finish SHA-256");
    const std::string sha256 = to_hex(raw, raw_length);
    AttachResult result;
    auto shared = std::make_shared<const std::string>(std::move(data));
    if (Status status = store_.attach(target.ns, target.key, target.ref, name, content_type, prevent_overwrite, shared,
                                      sha256, result))
        co_return error_response(*status);
    wire::AttachResponse out{};
    out.attachment = info_record(result.info);
    out.noop = result.noop ? 1 : 0;
    out.version = result.version;
    co_return json_ok(wire::kAttachResponseMap, &out);
}

Response Handlers::list_attachments(const Request &request) {
    Target target;
    if (auto failure = target_from(request, target)) return *failure;
    std::vector<AttachmentInfo> infos;
    if (Status status = store_.list_attachments(target.ns, target.key, read_lease(request, target), infos))
        return error_response(*status);
    std::vector<wire::AttachmentInfo> records;
    records.reserve(infos.size());
    for (const AttachmentInfo &info : infos) records.push_back(info_record(info));
    wire::ListAttachmentsResponse out{};
    out.namespace_ = target.ns.c_str();
    out.key = target.key.c_str();
    out.attachments.items = records.empty() ? nullptr : records.data();
    out.attachments.count = records.size();
    out.attachments.capacity = records.size();
    out.attachments.elem_size = sizeof(wire::AttachmentInfo);
    out.attachments.flags = VELLUM_ARRAY_FIXED;
    return json_ok(wire::kListAttachmentsResponseMap, &out);
}

Response Handlers::get_attachment(const Request &request) {
    Target target;
    if (auto failure = target_from(request, target)) return *failure;
    AttachmentRead found;
    if (Status status = store_.get_attachment(target.ns, target.key, read_lease(request, target),
                                              request.query_value("name"), request.query_value("id"), found))
        return error_response(*status);
    Response response = empty_response(200);
    response.headers.emplace_back("Content-Type", found.info.content_type);
    response.headers.emplace_back("X-Attachment-ID", found.info.id);
    response.headers.emplace_back("X-Attachment-Name", found.info.name);
    response.headers.emplace_back("X-Attachment-SHA256", found.info.sha256);
    response.headers.emplace_back("X-Attachment-Size", std::to_string(found.info.size));
    response.headers.emplace_back("X-Attachment-Created-At", std::to_string(found.info.created_at_unix));
    response.headers.emplace_back("X-Attachment-Updated-At", std::to_string(found.info.updated_at_unix));
    response.headers.emplace_back("X-Key-Version", std::to_string(found.version));
    response.shared_body = found.data;
    return response;
}

Response Handlers::delete_attachment(const Request &request) {
    Target target;
    if (auto failure = target_from(request, target)) return *failure;
    bool deleted = false;
    int64_t version = 0;
    if (Status status = store_.delete_attachment(target.ns, target.key, target.ref, request.query_value("name"),
                                                 request.query_value("id"), deleted, version))
        return error_response(*status);
    wire::DeleteAttachmentResponse out{deleted ? 1 : 0, version};
    return json_ok(wire::kDeleteAttachmentResponseMap, &out);
}

Response Handlers::delete_all_attachments(const Request &request) {
    Target target;
    if (auto failure = target_from(request, target)) return *failure;
    int64_t deleted = 0, version = 0;
    if (Status status = store_.delete_all_attachments(target.ns, target.key, target.ref, deleted, version))
        return error_response(*status);
    wire::DeleteAllAttachmentsResponse out{deleted, version};
    return json_ok(wire::kDeleteAllAttachmentsResponseMap, &out);
}

// ---- administration: the passive switch ------------------------------------------------------

Response Handlers::admin(const Request &request) {
    const std::string &path = request.path;
    if (path == "/admin/passive" || path == "/admin/active") {
        if (request.method != "POST") return method_not_allowed(request.method, path, "POST");
        set_passive(path == "/admin/passive");
        if (config_.logger) {
            chirp_field field = chirp_bool("passive", passive());
            chirp_info(config_.logger, "server.passive", &field, 1);
        }
    } else if (path == "/admin/status") {
        if (request.method != "GET") return method_not_allowed(request.method, path, "GET");
    } else {
        return error_response(404, "not_found", "no such endpoint");
    }
    wire::ServerStatus out{passive() ? 1 : 0};
    return json_ok(wire::kServerStatusMap, &out);
}

} // namespace korvo::devserver
