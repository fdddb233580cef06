// The server's endpoints: each request, already split into method, path, query and headers,
// is answered from the store. Request bodies are pulled from a BodyReader while they arrive,
// so a large upload is held once, in its final place. Runs on the server's I/O thread.
#ifndef KORVO_DEVSERVER_HANDLERS_H
#define KORVO_DEVSERVER_HANDLERS_H

#include "asio.h"
#include "store.h"

#include "chirp.h"
#include "vellum.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvo::devserver {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method;
    std::string target; // as received
    std::string path;   // target before '?'
    Fields query;       // percent-decoded, in order
    Fields headers;     // in arrival order
    std::optional<uint64_t> content_length; // absent for chunked or empty bodies
    bool bad_target = false; // a malformed percent escape in the query

    // First value of name ("" when absent); header names compare without regard to case.
    std::string query_value(std::string_view name) const;
    bool has_query(std::string_view name) const;
    std::string header(std::string_view name) const;
    bool has_header(std::string_view name) const;
};

struct Response {
    int status = 200;
    Fields headers;
    std::string body;
    std::shared_ptr<const std::string> shared_body; // sent instead of body when set (downloads)
    bool close = false;                             // close the connection after this answer
    const std::string &payload() const { return shared_body ? *shared_body : body; }
};

// Pulls the request body. read_some returns the bytes placed in out (0 once the body is
// complete) or nothing when the body cannot be read: too_large() tells whether it exceeded
// the server's body limit; otherwise the connection is broken.
class BodyReader {
  public:
    virtual ~BodyReader() = default;
    virtual boost::asio::awaitable<std::optional<size_t>> read_some(char *out, size_t capacity) = 0;
    virtual bool done() const = 0;
    virtual bool too_large() const = 0;
};

struct HandlerConfig {
    uint64_t max_body_bytes = 256ull * 1024 * 1024; // state documents and attachments
    uint64_t max_json_bytes = 1024 * 1024;          // JSON request bodies
    const chirp_logger *logger = nullptr;           // request log; NULL: none
};

class Handlers {
  public:
    Handlers(Store &store, HandlerConfig config);

    // Answers one request; adds X-Correlation-Id and writes the request log event.
    boost::asio::awaitable<Response> handle(const Request &request, BodyReader &body);

    void set_passive(bool passive) { passive_.store(passive); }
    // The server is stopping: blocked acquires stop waiting and answer now.
    void shutdown();
    bool passive() const { return passive_.load(); }

    // Pending block_seconds waits, keyed by namespace and key; woken when a lease ends.
    struct Waiters {
        std::multimap<std::string, boost::asio::steady_timer *> timers;
        void wake(const std::string &slot);
    };

  private:
    boost::asio::awaitable<Response> dispatch(const Request &request, BodyReader &body);
    boost::asio::awaitable<Response> acquire(const Request &request, BodyReader &body);
    boost::asio::awaitable<Response> keepalive(const Request &request, BodyReader &body);
    boost::asio::awaitable<Response> release(const Request &request, BodyReader &body);
    Response get(const Request &request);
    boost::asio::awaitable<Response> update(const Request &request, BodyReader &body);
    boost::asio::awaitable<Response> metadata(const Request &request, BodyReader &body);
    Response remove(const Request &request);
    Response describe(const Request &request);
    boost::asio::awaitable<Response> attach(const Request &request, BodyReader &body);
    Response list_attachments(const Request &request);
    Response get_attachment(const Request &request);
    Response delete_attachment(const Request &request);
    Response delete_all_attachments(const Request &request);
    Response admin(const Request &request);

    // Reads a whole JSON request body within max_json_bytes; an error answer on failure.
    boost::asio::awaitable<std::optional<Response>> read_json_body(BodyReader &body, std::string &out);
    // Reads a JSON request body and parses it into record with map; an error answer on failure.
    // With empty_ok an empty body leaves the record zeroed.
    boost::asio::awaitable<std::optional<Response>> read_json_record(BodyReader &body, const vellum_map &map,
                                                                     void *record, bool empty_ok);

    Store &store_;
    HandlerConfig config_;
    std::atomic<bool> passive_{false};
    bool stopping_ = false;
    Waiters waiters_;
};

} // namespace korvo::devserver

#endif
