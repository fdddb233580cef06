// korvoctl: command-line client for the korvo coordination server, over libkorvoc.
//
// Every invocation opens one client, runs one operation and prints its result as one JSON
// object on stdout. A lease outlives the process that acquired it: later invocations name it by
// its key, lease id, transaction id and fencing token. Failures print the error record as JSON on
// stderr and exit with a code per error class (see usage()).
#include <korvoc.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Exit codes: one per error class, so scripts can tell a refused lease from a dead server.
constexpr int kExitUsage = 2;
constexpr int kExitInvalid = 11;   // KC_ERR_INVALID
constexpr int kExitNoMemory = 12;  // KC_ERR_NOMEM
constexpr int kExitTransport = 13; // KC_ERR_TRANSPORT
constexpr int kExitProtocol = 14;  // KC_ERR_PROTOCOL
constexpr int kExitServer = 15;    // KC_ERR_SERVER, any status but 409
constexpr int kExitConflict = 16;  // KC_ERR_SERVER with status 409 (held lease, failed precondition)

// ---------------------------------------------------------------------------------------------
// JSON output

void append_json_string(std::string &out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

// One flat JSON object written member by member, in call order.
class JsonObject {
  public:
    JsonObject &str(const char *key, const char *value) {
        begin(key);
        if (value) append_json_string(text_, value);
        else text_ += "null";
        return *this;
    }
    JsonObject &i64(const char *key, int64_t value) {
        begin(key);
        text_ += std::to_string(value);
        return *this;
    }
    JsonObject &boolean(const char *key, int value) {
        begin(key);
        text_ += value ? "true" : "false";
        return *this;
    }
    JsonObject &raw(const char *key, const std::string &json) {
        begin(key);
        text_ += json;
        return *this;
    }
    std::string done() const { return text_ + "}"; }

  private:
    void begin(const char *key) {
        text_ += first_ ? "" : ",";
        first_ = false;
        append_json_string(text_, key);
        text_ += ':';
    }
    std::string text_ = "{";
    bool first_ = true;
};

void print_result(const JsonObject &object) { std::printf("%s\n", object.done().c_str()); }

std::string attachment_json(const kc_attachment_info &info) {
    JsonObject o;
    o.str("id", info.id).str("name", info.name).i64("size", info.size).str("sha256", info.plaintext_sha256);
    o.str("content_type", info.content_type).i64("created_at", info.created_at_unix);
    o.i64("updated_at", info.updated_at_unix);
    return o.done();
}

// ---------------------------------------------------------------------------------------------
// Command line

struct OptionInfo {
    const char *name;
    bool takes_value;
    bool repeatable;
};

constexpr OptionInfo kOptions[] = {
    {"endpoint", true, true},     {"unix-socket", true, false}, {"bundle", true, false},
    {"insecure", false, false},   {"no-mtls", false, false},    {"http1", false, false},
    {"namespace", true, false},   {"timeout", true, false},     {"log-level", true, false},
    {"key", true, false},         {"owner", true, false},       {"ttl", true, false},
    {"block", true, false},       {"if-not-exists", false, false}, {"lease-id", true, false},
    {"txn-id", true, false},      {"fencing-token", true, false}, {"rollback", false, false},
    {"public", false, false},     {"out", true, false},         {"file", true, false},
    {"data", true, false},        {"content-type", true, false}, {"if-version", true, false},
    {"if-etag", true, false},     {"query-hidden", true, false}, {"mutation", true, true},
    {"name", true, false},        {"id", true, false},          {"prevent-overwrite", false, false},
    {"max-bytes", true, false},   {"help", false, false},
};

struct Args {
    std::string command;
    std::map<std::string, std::vector<std::string>> values;

    bool has(const char *name) const { return values.count(name) != 0; }
    const char *get(const char *name) const {
        auto it = values.find(name);
        return it == values.end() ? nullptr : it->second.back().c_str();
    }
    const std::vector<std::string> &all(const char *name) const {
        static const std::vector<std::string> none;
        auto it = values.find(name);
        return it == values.end() ? none : it->second;
    }
};

struct UsageError {
    std::string message;
};

const OptionInfo *find_option(std::string_view name) {
    for (const OptionInfo &option : kOptions)
        if (name == option.name) return &option;
    return nullptr;
}

// Options may come before or after the command, as "--name value" or "--name=value".
bool parse_args(int argc, char **argv, Args &args, std::string &problem) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg.size() < 3 || arg.substr(0, 2) != "--") {
            if (!args.command.empty()) {
                problem = "unexpected argument '" + std::string(arg) + "'";
                return false;
            }
            args.command = arg;
            continue;
        }
        std::string_view name = arg.substr(2);
        std::string value;
        bool inline_value = false;
        if (size_t eq = name.find('='); eq != std::string_view::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inline_value = true;
        }
        const OptionInfo *option = find_option(name);
        if (!option) {
            problem = "unknown option --" + std::string(name);
            return false;
        }
        if (option->takes_value && !inline_value) {
            if (i + 1 >= argc) {
                problem = "option --" + std::string(name) + " needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!option->takes_value && inline_value) {
            problem = "option --" + std::string(name) + " takes no value";
            return false;
        }
        auto &slot = args.values[std::string(name)];
        if (!slot.empty() && !option->repeatable) {
            problem = "option --" + std::string(name) + " given twice";
            return false;
        }
        slot.push_back(value);
    }
    return true;
}

bool parse_i64(const char *text, int64_t &out) { return text && kc_i64_parse_base10(text, &out); }

// Reads a numeric option; absent leaves fallback. A malformed number is a usage error.
bool number_option(const Args &args, const char *name, long &out, std::string &problem) {
    const char *text = args.get(name);
    if (!text) return true;
    int64_t value = 0;
    if (!parse_i64(text, value) || !kc_i64_to_long_checked(value, &out)) {
        problem = "option --" + std::string(name) + " needs an integer, got '" + text + "'";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Commands

struct Command;

struct Context {
    kc_client *client = nullptr;
    const Args *args = nullptr;
    kc_error error{};
    std::string problem; // usage problem found while building a request
};

using Runner = int (*)(Context &);

struct Command {
    const char *name;
    const char *synopsis;
    const char *summary;
    Runner run;
};

const char *identity_help =
    "  --key K              key of the lease\n"
    "  --lease-id ID        lease id printed by acquire\n"
    "  --txn-id ID          transaction id printed by acquire\n"
    "  --fencing-token N    fencing token printed by acquire\n";

bool require(Context &ctx, const char *name) {
    if (ctx.args->get(name) && *ctx.args->get(name)) return true;
    ctx.problem = "option --" + std::string(name) + " is required";
    return false;
}

// The lease named on the command line: key, lease id, transaction id, fencing token.
bool lease_ref_from_args(Context &ctx, kc_lease_ref &ref, bool lease_required) {
    kc_lease_ref_init(&ref);
    if (!require(ctx, "key")) return false;
    if (lease_required && (!require(ctx, "lease-id") || !require(ctx, "fencing-token"))) return false;
    ref.KC_NAMESPACE_MEMBER = ctx.args->get("namespace");
    ref.key = ctx.args->get("key");
    ref.lease_id = ctx.args->get("lease-id");
    ref.txn_id = ctx.args->get("txn-id");
    if (!ref.lease_id && (ref.txn_id || ctx.args->has("fencing-token"))) {
        ctx.problem = "--txn-id and --fencing-token name a lease: give --lease-id too";
        return false;
    }
    return number_option(*ctx.args, "fencing-token", ref.fencing_token, ctx.problem);
}

bool expected_version(Context &ctx, long &version, int &set) {
    set = ctx.args->has("if-version") ? 1 : 0;
    return number_option(*ctx.args, "if-version", version, ctx.problem);
}

// The upload named by --file, --data or, without either, standard input.
int open_input(Context &ctx, kc_source **source) {
    const char *file = ctx.args->get("file");
    const char *data = ctx.args->get("data");
    if (file && data) {
        ctx.problem = "give --file or --data, not both";
        return -1;
    }
    if (data) return kc_source_from_memory(data, std::strlen(data), source, &ctx.error);
    if (file && std::strcmp(file, "-") != 0) return kc_source_from_file(file, source, &ctx.error);
    return kc_source_from_fd(0, source, &ctx.error);
}

int cmd_acquire(Context &ctx) {
    kc_acquire_req req;
    kc_acquire_req_init(&req);
    if (!require(ctx, "key") || !require(ctx, "owner")) return -1;
    req.KC_NAMESPACE_MEMBER = ctx.args->get("namespace");
    req.key = ctx.args->get("key");
    req.owner = ctx.args->get("owner");
    req.ttl_seconds = 30;
    if (!number_option(*ctx.args, "ttl", req.ttl_seconds, ctx.problem) ||
        !number_option(*ctx.args, "block", req.block_seconds, ctx.problem))
        return -1;
    req.if_not_exists = ctx.args->has("if-not-exists");
    req.txn_id = ctx.args->get("txn-id");
    kc_lease *lease = nullptr;
    int rc = kc_acquire(ctx.client, &req, &lease, &ctx.error);
    if (rc != KC_OK) return rc;
    JsonObject o;
    o.str("namespace", lease->KC_NAMESPACE_MEMBER).str("key", lease->key).str("owner", lease->owner);
    o.str("lease_id", lease->lease_id).str("txn_id", lease->txn_id).i64("fencing_token", lease->fencing_token);
    o.i64("version", lease->version).str("state_etag", lease->state_etag).i64("expires_at", lease->expires_at);
    print_result(o);
    kc_lease_close(lease); // frees the local handle only; the lease stays held on the server
    return KC_OK;
}

int cmd_keepalive(Context &ctx) {
    kc_keepalive_op op;
    kc_keepalive_op_init(&op);
    if (!lease_ref_from_args(ctx, op.lease, true)) return -1;
    op.ttl_seconds = 30;
    if (!number_option(*ctx.args, "ttl", op.ttl_seconds, ctx.problem)) return -1;
    kc_keepalive_res res{};
    int rc = kc_keepalive(ctx.client, &op, &res, &ctx.error);
    if (rc != KC_OK) return rc;
    JsonObject o;
    o.str("key", op.lease.key).i64("expires_at", res.expires_at_unix).i64("version", res.version);
    o.str("state_etag", res.state_etag).str("correlation_id", res.correlation_id);
    print_result(o);
    kc_keepalive_res_cleanup(&res);
    return KC_OK;
}

int cmd_release(Context &ctx) {
    kc_release_op op;
    kc_release_op_init(&op);
    if (!lease_ref_from_args(ctx, op.lease, true)) return -1;
    op.rollback = ctx.args->has("rollback");
    kc_release_res res{};
    int rc = kc_release(ctx.client, &op, &res, &ctx.error);
    if (rc != KC_OK) return rc;
    JsonObject o;
    o.str("key", op.lease.key).boolean("released", res.released).boolean("rollback", op.rollback);
    o.str("correlation_id", res.correlation_id);
    print_result(o);
    kc_release_res_cleanup(&res);
    return KC_OK;
}

// The state document as a JSON member: inline when it is JSON, else as a string.
std::string state_member(const void *bytes, size_t length) {
    std::string json;
    if (!bytes) return "null";
    vellum_error verror;
    if (vellum_validate_buffer(bytes, length, &verror) == VELLUM_STATUS_OK) {
        json.assign(static_cast<const char *>(bytes), length);
        while (!json.empty() && (json.back() == '\n' || json.back() == ' ' || json.back() == '\r')) json.pop_back();
        return json;
    }
    append_json_string(json, std::string_view(static_cast<const char *>(bytes), length));
    return json;
}

// A download target that appears only when the download succeeded: the bytes go to a temporary
// file beside path, renamed over path by commit(), so a failed download never clobbers an
// existing file.
class OutputFile {
  public:
    ~OutputFile() { discard(); }

    int open(const char *path, kc_error *error) {
        path_ = path;
        temp_ = path_ + ".partial-XXXXXX";
        fd_ = mkstemp(temp_.data());
        if (fd_ < 0)
            return kc_error_set(error, KC_ERR_TRANSPORT, 0, "failed to create output file", std::strerror(errno),
                                nullptr, nullptr);
        fchmod(fd_, 0644);
        return kc_sink_to_fd(fd_, &sink_, error);
    }
    kc_sink *sink() const { return sink_; }

    int commit(kc_error *error) {
        kc_sink_close(sink_);
        sink_ = nullptr;
        int closed = ::close(fd_);
        fd_ = -1;
        if (closed != 0 || std::rename(temp_.c_str(), path_.c_str()) != 0)
            return kc_error_set(error, KC_ERR_TRANSPORT, 0, "failed to write output file", std::strerror(errno),
                                nullptr, nullptr);
        temp_.clear();
        return KC_OK;
    }

  private:
    void discard() {
        kc_sink_close(sink_);
        sink_ = nullptr;
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (!temp_.empty()) ::unlink(temp_.c_str());
        temp_.clear();
    }
    std::string path_;
    std::string temp_;
    int fd_ = -1;
    kc_sink *sink_ = nullptr;
};

int cmd_get(Context &ctx) {
    kc_lease_ref ref;
    if (!lease_ref_from_args(ctx, ref, false)) return -1;
    kc_get_opts opts;
    kc_get_opts_init(&opts);
    // Without a lease only the committed state can be read.
    opts.KC_PUBLIC_MEMBER = ctx.args->has("public") || !ref.lease_id;
    const char *out_path = ctx.args->get("out");
    OutputFile output;
    kc_sink *memory = nullptr;
    int rc = out_path ? output.open(out_path, &ctx.error) : kc_sink_to_memory(&memory, &ctx.error);
    if (rc != KC_OK) return rc;
    kc_sink *sink = out_path ? output.sink() : memory;
    kc_get_res res{};
    if (opts.KC_PUBLIC_MEMBER) {
        rc = kc_get(ctx.client, ref.key, &opts, sink, &res, &ctx.error);
    } else {
        kc_lease *lease = nullptr;
        rc = kc_lease_from_ref(ctx.client, &ref, &lease, &ctx.error);
        if (rc == KC_OK) {
            rc = kc_lease_get(lease, sink, &opts, &res, &ctx.error);
            kc_lease_close(lease);
        }
    }
    if (rc == KC_OK && out_path) rc = output.commit(&ctx.error);
    if (rc == KC_OK) {
        JsonObject o;
        o.str("key", ref.key).boolean("public", opts.KC_PUBLIC_MEMBER).boolean("no_content", res.no_content);
        o.i64("version", res.version).str("etag", res.etag).i64("fencing_token", res.fencing_token);
        o.str("content_type", res.content_type).str("correlation_id", res.correlation_id);
        if (out_path) {
            o.str("written_to", out_path);
        } else {
            const void *bytes = nullptr;
            size_t length = 0;
            kc_sink_memory_bytes(sink, &bytes, &length);
            o.raw("state", res.no_content ? std::string("null") : state_member(bytes, length));
        }
        print_result(o);
    }
    kc_get_res_cleanup(&res);
    kc_sink_close(memory);
    return rc;
}

int cmd_update(Context &ctx) {
    kc_update_req req;
    kc_update_req_init(&req);
    kc_lease_ref ref;
    if (!lease_ref_from_args(ctx, ref, true)) return -1;
    req.KC_NAMESPACE_MEMBER = ref.KC_NAMESPACE_MEMBER;
    req.key = ref.key;
    req.lease_id = ref.lease_id;
    req.txn_id = ref.txn_id;
    req.fencing_token = ref.fencing_token;
    req.if_state_etag = ctx.args->get("if-etag");
    req.content_type = ctx.args->get("content-type");
    if (!expected_version(ctx, req.if_version, req.if_version_set)) return -1;
    kc_source *source = nullptr;
    int rc = open_input(ctx, &source);
    if (rc != KC_OK) return rc;
    kc_update_res res{};
    rc = kc_update(ctx.client, &req, source, &res, &ctx.error);
    kc_source_close(source);
    if (rc != KC_OK) return rc;
    JsonObject o;
    o.str("key", req.key).i64("new_version", res.new_version).str("new_state_etag", res.new_state_etag);
    o.i64("bytes", res.bytes).str("correlation_id", res.correlation_id);
    print_result(o);
    kc_update_res_cleanup(&res);
    return KC_OK;
}

int cmd_mutate(Context &ctx) {
    kc_mutate_op op;
    kc_mutate_op_init(&op);
    if (!lease_ref_from_args(ctx, op.lease, true)) return -1;
    std::vector<const char *> mutations;
    for (const std::string &m : ctx.args->all("mutation")) mutations.push_back(m.c_str());
    if (mutations.empty()) {
        ctx.problem = "give at least one --mutation";
        return -1;
    }
    op.mutations = mutations.data();
    op.mutation_count = mutations.size();
    op.if_state_etag = ctx.args->get("if-etag");
    if (!expected_version(ctx, op.if_version, op.if_version_set)) return -1;
    kc_mutate_res res{};
    int rc = kc_mutate(ctx.client, &op, &res, &ctx.error);
    if (rc != KC_OK) return rc;
    JsonObject o;
    o.str("key", op.lease.key).i64("new_version", res.new_version).str("new_state_etag", res.new_state_etag);
    o.i64("bytes", res.bytes).str("correlation_id", res.correlation_id);
    print_result(o);
    kc_mutate_res_cleanup(&res);
    return KC_OK;
}

int cmd_describe(Context &ctx) {
    kc_describe_req req;
    kc_describe_req_init(&req);
    if (!require(ctx, "key")) return -1;
    req.KC_NAMESPACE_MEMBER = ctx.args->get("namespace");
    req.key = ctx.args->get("key");
    kc_describe_res res{};
    int rc = kc_describe(ctx.client, &req, &res, &ctx.error);
    if (rc != KC_OK) return rc;
    JsonObject o;
    o.str("namespace", res.KC_NAMESPACE_MEMBER).str("key", res.key).str("owner", res.owner);
    o.str("lease_id", res.lease_id).i64("expires_at", res.expires_at_unix).i64("version", res.version);
    o.str("state_etag", res.state_etag).i64("updated_at", res.updated_at_unix);
    if (res.metadata_present) o.boolean("query_hidden", res.query_hidden);
    o.str("correlation_id", res.correlation_id);
    print_result(o);
    kc_describe_res_cleanup(&res);
    return KC_OK;
}

int cmd_metadata(Context &ctx) {
    kc_metadata_op op;
    kc_metadata_op_init(&op);
    if (!lease_ref_from_args(ctx, op.lease, true)) return -1;
    if (const char *hidden = ctx.args->get("query-hidden")) {
        if (std::strcmp(hidden, "true") != 0 && std::strcmp(hidden, "false") != 0) {
            ctx.problem = "option --query-hidden needs true or false";
            return -1;
        }
        op.query_hidden_set = 1;
        op.query_hidden = std::strcmp(hidden, "true") == 0;
    }
    if (!expected_version(ctx, op.if_version, op.if_version_set)) return -1;
    kc_metadata_res res{};
    int rc = kc_metadata(ctx.client, &op, &res, &ctx.error);
    if (rc != KC_OK) return rc;
    JsonObject o;
    o.str("namespace", res.KC_NAMESPACE_MEMBER).str("key", res.key).i64("version", res.version);
    if (res.metadata_present) o.boolean("query_hidden", res.query_hidden);
    o.str("correlation_id", res.correlation_id);
    print_result(o);
    kc_metadata_res_cleanup(&res);
    return KC_OK;
}

int cmd_remove(Context &ctx) {
    kc_remove_op op;
    kc_remove_op_init(&op);
    if (!lease_ref_from_args(ctx, op.lease, true)) return -1;
    op.if_state_etag = ctx.args->get("if-etag");
    if (!expected_version(ctx, op.if_version, op.if_version_set)) return -1;
    kc_remove_res res{};
    int rc = kc_remove(ctx.client, &op, &res, &ctx.error);
    if (rc != KC_OK) return rc;
    JsonObject o;
    o.str("key", op.lease.key).boolean("removed", res.removed).i64("new_version", res.new_version);
    o.str("correlation_id", res.correlation_id);
    print_result(o);
    kc_remove_res_cleanup(&res);
    return KC_OK;
}

int cmd_attach(Context &ctx) {
    kc_attach_op op;
    kc_attach_op_init(&op);
    if (!lease_ref_from_args(ctx, op.lease, true) || !require(ctx, "name")) return -1;
    op.name = ctx.args->get("name");
    op.content_type = ctx.args->get("content-type");
    op.prevent_overwrite = ctx.args->has("prevent-overwrite");
    if (const char *max = ctx.args->get("max-bytes")) {
        if (!parse_i64(max, op.max_bytes) || op.max_bytes < 0) {
            ctx.problem = "option --max-bytes needs a non-negative integer";
            return -1;
        }
        op.max_bytes_set = 1;
    }
    kc_source *source = nullptr;
    int rc = open_input(ctx, &source);
    if (rc != KC_OK) return rc;
    kc_attach_res res{};
    rc = kc_attach(ctx.client, &op, source, &res, &ctx.error);
    kc_source_close(source);
    if (rc != KC_OK) return rc;
    JsonObject o;
    o.str("key", op.lease.key).raw("attachment", attachment_json(res.attachment)).boolean("noop", res.noop);
    o.i64("version", res.version).str("correlation_id", res.correlation_id);
    print_result(o);
    kc_attach_res_cleanup(&res);
    return KC_OK;
}

int cmd_list_attachments(Context &ctx) {
    kc_attachment_list_op op;
    kc_attachment_list_op_init(&op);
    if (!lease_ref_from_args(ctx, op.lease, false)) return -1;
    op.KC_PUBLIC_MEMBER = ctx.args->has("public") || !op.lease.lease_id;
    kc_attachment_list list{};
    int rc = kc_list_attachments(ctx.client, &op, &list, &ctx.error);
    if (rc != KC_OK) return rc;
    std::string items = "[";
    for (size_t i = 0; i < list.count; ++i) {
        if (i) items += ',';
        items += attachment_json(list.attachments[i]);
    }
    items += "]";
    JsonObject o;
    o.str("namespace", list.KC_NAMESPACE_MEMBER).str("key", list.key).i64("count", (int64_t)list.count);
    o.raw("attachments", items).str("correlation_id", list.correlation_id);
    print_result(o);
    kc_attachment_list_cleanup(&list);
    return KC_OK;
}

bool selector_from_args(Context &ctx, kc_attachment_selector &selector) {
    kc_attachment_selector_init(&selector);
    selector.id = ctx.args->get("id");
    selector.name = ctx.args->get("name");
    if (selector.id || selector.name) return true;
    ctx.problem = "give --id or --name of the attachment";
    return false;
}

int cmd_get_attachment(Context &ctx) {
    kc_attachment_get_op op;
    kc_attachment_get_op_init(&op);
    if (!lease_ref_from_args(ctx, op.lease, false) || !selector_from_args(ctx, op.selector)) return -1;
    if (!require(ctx, "out")) return -1;
    op.KC_PUBLIC_MEMBER = ctx.args->has("public") || !op.lease.lease_id;
    const char *out_path = ctx.args->get("out");
    bool to_stdout = std::strcmp(out_path, "-") == 0;
    OutputFile output;
    kc_sink *stdout_sink = nullptr;
    int rc = to_stdout ? kc_sink_to_fd(1, &stdout_sink, &ctx.error) : output.open(out_path, &ctx.error);
    if (rc != KC_OK) return rc;
    kc_attachment_get_res res{};
    rc = kc_get_attachment(ctx.client, &op, to_stdout ? stdout_sink : output.sink(), &res, &ctx.error);
    kc_sink_close(stdout_sink);
    if (rc == KC_OK && !to_stdout) rc = output.commit(&ctx.error);
    if (rc != KC_OK) {
        kc_attachment_get_res_cleanup(&res);
        return rc;
    }
    JsonObject o;
    o.str("key", op.lease.key).str("id", res.id).str("name", res.name).i64("size", res.size);
    o.str("sha256", res.plaintext_sha256).str("content_type", res.content_type);
    o.i64("created_at", res.created_at_unix).i64("updated_at", res.updated_at_unix);
    o.str("written_to", out_path).str("correlation_id", res.correlation_id);
    // The content went to stdout: the description goes to stderr so the two do not mix.
    std::fprintf(to_stdout ? stderr : stdout, "%s\n", o.done().c_str());
    kc_attachment_get_res_cleanup(&res);
    return KC_OK;
}

int cmd_delete_attachment(Context &ctx) {
    kc_attachment_delete_op op;
    kc_attachment_delete_op_init(&op);
    if (!lease_ref_from_args(ctx, op.lease, true) || !selector_from_args(ctx, op.selector)) return -1;
    int deleted = 0;
    int rc = kc_delete_attachment(ctx.client, &op, &deleted, &ctx.error);
    if (rc != KC_OK) return rc;
    JsonObject o;
    o.str("key", op.lease.key).boolean("deleted", deleted);
    print_result(o);
    return KC_OK;
}

int cmd_delete_all_attachments(Context &ctx) {
    kc_attachment_delete_all_op op;
    kc_attachment_delete_all_op_init(&op);
    if (!lease_ref_from_args(ctx, op.lease, true)) return -1;
    int deleted = 0;
    int rc = kc_delete_all_attachments(ctx.client, &op, &deleted, &ctx.error);
    if (rc != KC_OK) return rc;
    JsonObject o;
    o.str("key", op.lease.key).i64("deleted", deleted);
    print_result(o);
    return KC_OK;
}

constexpr Command kCommands[] = {
    {"acquire", "--key K --owner O [--ttl S] [--block S] [--if-not-exists] [--txn-id ID]",
     "Acquire the lease on a key; prints its lease id, transaction id and fencing token.\n"
     "  --owner O            who holds the lease\n"
     "  --ttl S              time to live in seconds (30)\n"
     "  --block S            wait up to S seconds while another owner holds it\n"
     "  --if-not-exists      only when the key does not exist yet\n"
     "  --txn-id ID          join this transaction instead of starting one\n",
     cmd_acquire},
    {"keepalive", "LEASE [--ttl S]", "Extend a held lease by S seconds (30).\n", cmd_keepalive},
    {"release", "LEASE [--rollback]",
     "Release a lease: its staged changes become visible, or with --rollback are discarded.\n", cmd_release},
    {"get", "--key K [LEASE | --public] [--out FILE]",
     "Read the key's state document. With a lease the holder's view (staged changes included),\n"
     "without one the committed state. Prints the result with the document as \"state\", or writes\n"
     "the document to FILE.\n",
     cmd_get},
    {"update", "LEASE [--file PATH | --data JSON] [--content-type T] [--if-version N] [--if-etag E]",
     "Replace the state document from PATH, the given text, or standard input.\n"
     "  --if-version N       only when the key is at version N\n"
     "  --if-etag E          only when the state's etag is E\n",
     cmd_update},
    {"mutate", "LEASE --mutation EXPR... [--if-version N] [--if-etag E]",
     "Apply mutation expressions to the state document on the server.\n", cmd_mutate},
    {"describe", "--key K", "Show the key's owner, lease, version, etag and metadata.\n", cmd_describe},
    {"metadata", "LEASE [--query-hidden true|false] [--if-version N]",
     "Change the key's metadata (hide it from queries).\n", cmd_metadata},
    {"remove", "LEASE [--if-version N] [--if-etag E]", "Remove the key's state document.\n", cmd_remove},
    {"attach", "LEASE --name N [--file PATH | --data TEXT] [--content-type T] [--prevent-overwrite] [--max-bytes N]",
     "Store an attachment under the key; prints its id, size and SHA-256.\n", cmd_attach},
    {"list-attachments", "--key K [LEASE | --public]", "List the key's attachments.\n", cmd_list_attachments},
    {"get-attachment", "--key K (--id ID | --name N) [LEASE | --public] --out FILE|-",
     "Download an attachment into FILE, or to standard output with '-' (the description then goes\n"
     "to standard error).\n",
     cmd_get_attachment},
    {"delete-attachment", "LEASE (--id ID | --name N)", "Delete one attachment.\n", cmd_delete_attachment},
    {"delete-all-attachments", "LEASE", "Delete every attachment of the key.\n", cmd_delete_all_attachments},
};

const Command *find_command(std::string_view name) {
    for (const Command &c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

void usage(FILE *out) {
    std::fprintf(out,
                 "usage: korvoctl [OPTIONS] COMMAND [COMMAND OPTIONS]\n\n"
                 "Commands:\n");
    for (const Command &c : kCommands) std::fprintf(out, "  %-24s %s\n", c.name, c.synopsis);
    std::fprintf(out,
                 "\nLEASE stands for --key K --lease-id ID --txn-id ID --fencing-token N, as printed by acquire.\n"
                 "`korvoctl COMMAND --help` describes one command.\n\n"
                 "Connection options:\n"
                 "  --endpoint URL       server base URL; repeat for failover in order (default: $KORVO_ENDPOINTS,\n"
                 "                       comma-separated)\n"
                 "  --unix-socket PATH   connect through a Unix socket\n"
                 "  --bundle PATH        PEM client bundle: certificate, key and CA certificates\n"
                 "  --no-mtls            plain HTTP without a client certificate\n"
                 "  --insecure           do not verify the server certificate\n"
                 "  --http1              HTTP/1.1 instead of HTTP/2 over TLS\n"
                 "  --namespace NS       namespace of the key (the server's default otherwise)\n"
                 "  --timeout MS         whole-request timeout in milliseconds (30000)\n"
                 "  --log-level L        trace, debug, info, warn or error: client events as JSON lines on stderr\n\n"
                 "Results are one JSON object on stdout. Errors are a JSON object on stderr with the error\n"
                 "record's fields. Exit codes: 0 success, 2 usage, 11 invalid argument, 12 out of memory,\n"
                 "13 transport failure, 14 protocol error, 15 server error, 16 server conflict (409).\n");
}

void command_help(const Command &c) {
    std::printf("usage: korvoctl %s %s\n\n%s", c.name, c.synopsis, c.summary);
    if (std::strstr(c.synopsis, "LEASE")) std::printf("\nLEASE:\n%s", identity_help);
    std::printf("\nConnection options: see `korvoctl --help`.\n");
}

int exit_code_for(const kc_error &error, int rc) {
    switch (rc) {
    case KC_ERR_INVALID: return kExitInvalid;
    case KC_ERR_NOMEM: return kExitNoMemory;
    case KC_ERR_TRANSPORT: return kExitTransport;
    case KC_ERR_PROTOCOL: return kExitProtocol;
    case KC_ERR_SERVER: return error.http_status == 409 ? kExitConflict : kExitServer;
    default: return kExitServer;
    }
}

void print_error(const kc_error &error, int rc) {
    JsonObject e;
    e.i64("code", rc).i64("http_status", error.http_status).str("message", error.message);
    e.str("detail", error.detail).str("server_error", error.server_error);
    e.str("correlation_id", error.correlation_id);
    JsonObject o;
    o.raw("error", e.done());
    std::fprintf(stderr, "%s\n", o.done().c_str());
}

int usage_error(const std::string &problem) {
    std::fprintf(stderr, "korvoctl: %s\n(try `korvoctl --help`)\n", problem.c_str());
    return kExitUsage;
}

bool log_level(const char *text, int &level) {
    static const std::pair<const char *, int> levels[] = {
        {"trace", CHIRP_LEVEL_TRACE}, {"debug", CHIRP_LEVEL_DEBUG}, {"info", CHIRP_LEVEL_INFO},
        {"warn", CHIRP_LEVEL_WARN},   {"error", CHIRP_LEVEL_ERROR},
    };
    for (const auto &[name, value] : levels)
        if (std::strcmp(text, name) == 0) {
            level = value;
            return true;
        }
    return false;
}

std::vector<std::string> split_endpoints(const char *text) {
    std::vector<std::string> out;
    std::string current;
    for (const char *p = text; *p; ++p) {
        if (*p == ',') {
            if (!current.empty()) out.push_back(current);
            current.clear();
        } else {
            current += *p;
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

} // namespace

int main(int argc, char **argv) {
    Args args;
    std::string problem;
    if (!parse_args(argc, argv, args, problem)) return usage_error(problem);
    if (args.command.empty() || args.command == "help") {
        usage(args.has("help") || args.command == "help" ? stdout : stderr);
        return args.has("help") || args.command == "help" ? 0 : kExitUsage;
    }
    if (args.command == "version") {
        std::printf("{\"korvoctl\":\"%s\"}\n", kc_version_string());
        return 0;
    }
    const Command *command = find_command(args.command);
    if (!command) return usage_error("unknown command '" + args.command + "'");
    if (args.has("help")) {
        command_help(*command);
        return 0;
    }

    std::vector<std::string> endpoints = args.all("endpoint");
    if (endpoints.empty())
        if (const char *env = std::getenv("KORVO_ENDPOINTS")) endpoints = split_endpoints(env);
    if (endpoints.empty()) return usage_error("give at least one --endpoint (or set KORVO_ENDPOINTS)");
    std::vector<const char *> endpoint_ptrs;
    for (const std::string &e : endpoints) endpoint_ptrs.push_back(e.c_str());

    kc_client_config config;
    kc_client_config_init(&config);
    config.endpoints = endpoint_ptrs.data();
    config.endpoint_count = static_cast<unsigned>(endpoint_ptrs.size());
    config.unix_socket_path = args.get("unix-socket");
    config.client_bundle_path = args.get("bundle");
    config.default_namespace = args.get("namespace");
    config.disable_mtls = args.has("no-mtls");
    config.insecure_skip_verify = args.has("insecure");
    config.prefer_http2 = !args.has("http1");
    long timeout = config.timeout_ms;
    if (!number_option(args, "timeout", timeout, problem)) return usage_error(problem);
    if (timeout < 1 || timeout > 86400000L) return usage_error("option --timeout needs 1 to 86400000 milliseconds");
    // A blocking acquire is answered only after up to --block seconds: unless a timeout was
    // given, allow that wait plus a margin rather than cutting it off at the default.
    long block = 0;
    std::string block_problem;
    if (command->run == cmd_acquire && !args.has("timeout") && number_option(args, "block", block, block_problem) &&
        block > 0)
        timeout = std::max(timeout, (std::min(block, 86400L) + 30) * 1000);
    config.timeout_ms = static_cast<int>(timeout);
    if (!config.disable_mtls && !config.client_bundle_path)
        return usage_error("mutual TLS needs --bundle PATH (or give --no-mtls)");

    chirp_logger *logger = nullptr;
    if (const char *level_text = args.get("log-level")) {
        chirp_config log_config;
        chirp_default_config(&log_config);
        if (!log_level(level_text, log_config.level)) return usage_error("unknown log level '" + std::string(level_text) + "'");
        logger = chirp_new(&log_config);
        config.logger = logger;
    }

    Context ctx;
    ctx.args = &args;
    kc_error_init(&ctx.error);
    int rc = kc_client_open(&config, &ctx.client, &ctx.error);
    if (rc == KC_OK) {
        rc = command->run(ctx);
        kc_client_close(ctx.client);
    }
    int exit_code = 0;
    if (rc < 0) {
        exit_code = usage_error(ctx.problem);
    } else if (rc != KC_OK) {
        print_error(ctx.error, rc);
        exit_code = exit_code_for(ctx.error, rc);
    }
    kc_error_cleanup(&ctx.error);
    if (logger) logger->release(logger);
    return exit_code;
}
