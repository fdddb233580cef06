// libvellum side by side with simdjson, RapidJSON, nlohmann/json, jansson and cJSON, on the
// same inputs and the same output structs. Each benchmark is named workload/document/library
// and reports bytes per second of its document (the output, for serialization).
#include "vellum.h"

#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>
#include <jansson.h>
#include <nlohmann/json.hpp>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---- the output structs, filled alike by every library ----------------------------------

struct Hashtag {
    char *text;
};
struct User {
    int64_t id;
    char *screen_name;
    int64_t followers_count;
};
struct Entities {
    vellum_object_array hashtags;
};
struct Status {
    int64_t id;
    char *text;
    User user;
    int64_t retweet_count;
    int32_t favorited;
    Entities entities;
};
struct Timeline {
    vellum_object_array statuses;
};

const vellum_field hashtag_fields[] = {VELLUM_FIELD_STRING(Hashtag, text, "text", 0)};
const vellum_map hashtag_map = VELLUM_MAP(Hashtag, hashtag_fields);
const vellum_field user_fields[] = {
    VELLUM_FIELD_I64(User, id, "id", 0),
    VELLUM_FIELD_STRING(User, screen_name, "screen_name", 0),
    VELLUM_FIELD_I64(User, followers_count, "followers_count", 0),
};
const vellum_map user_map = VELLUM_MAP(User, user_fields);
const vellum_field entities_fields[] = {
    VELLUM_FIELD_OBJECT_ARRAY(Entities, hashtags, "hashtags", Hashtag, &hashtag_map, 0)};
const vellum_map entities_map = VELLUM_MAP(Entities, entities_fields);
const vellum_field status_fields[] = {
    VELLUM_FIELD_I64(Status, id, "id", 0),
    VELLUM_FIELD_STRING(Status, text, "text", 0),
    VELLUM_FIELD_OBJECT(Status, user, "user", &user_map, 0),
    VELLUM_FIELD_I64(Status, retweet_count, "retweet_count", 0),
    VELLUM_FIELD_BOOL(Status, favorited, "favorited", 0),
    VELLUM_FIELD_OBJECT(Status, entities, "entities", &entities_map, 0),
};
const vellum_map status_map = VELLUM_MAP(Status, status_fields);
const vellum_field timeline_fields[] = {
    VELLUM_FIELD_OBJECT_ARRAY(Timeline, statuses, "statuses", Status, &status_map, 0)};
const vellum_map timeline_map = VELLUM_MAP(Timeline, timeline_fields);

// Peers allocate with malloc and release with free_peer.
template <class T>
T *push_item(vellum_object_array &array) {
    if (array.count == array.capacity) {
        array.capacity = array.capacity ? array.capacity * 2 : 8;
        array.items = std::realloc(array.items, array.capacity * sizeof(T));
    }
    T *item = static_cast<T *>(array.items) + array.count++;
    std::memset(item, 0, sizeof *item);
    return item;
}

char *copy(const char *text, size_t len) {
    char *out = static_cast<char *>(std::malloc(len + 1));
    std::memcpy(out, text, len);
    out[len] = '\0';
    return out;
}

void free_peer(Timeline &timeline) {
    auto *statuses = static_cast<Status *>(timeline.statuses.items);
    for (size_t i = 0; i < timeline.statuses.count; i++) {
        Status &s = statuses[i];
        std::free(s.text);
        std::free(s.user.screen_name);
        auto *tags = static_cast<Hashtag *>(s.entities.hashtags.items);
        for (size_t k = 0; k < s.entities.hashtags.count; k++) std::free(tags[k].text);
        std::free(tags);
    }
    std::free(statuses);
    std::memset(&timeline, 0, sizeof timeline);
}

// A digest of everything mapped, to check that every library filled the same values.
uint64_t digest(const Timeline &timeline) {
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](uint64_t v) { h = (h ^ v) * 1099511628211ull; };
    auto mix_text = [&](const char *t) {
        for (; t && *t; t++) mix(static_cast<unsigned char>(*t));
        mix(0);
    };
    const auto *statuses = static_cast<const Status *>(timeline.statuses.items);
    for (size_t i = 0; i < timeline.statuses.count; i++) {
        const Status &s = statuses[i];
        mix(static_cast<uint64_t>(s.id));
        mix_text(s.text);
        mix(static_cast<uint64_t>(s.user.id));
        mix_text(s.user.screen_name);
        mix(static_cast<uint64_t>(s.user.followers_count));
        mix(static_cast<uint64_t>(s.retweet_count));
        mix(static_cast<uint64_t>(s.favorited));
        const auto *tags = static_cast<const Hashtag *>(s.entities.hashtags.items);
        for (size_t k = 0; k < s.entities.hashtags.count; k++) mix_text(tags[k].text);
    }
    return h;
}

// ---- documents -----------------------------------------------------------------------------

struct Document {
    std::string name, text;
    simdjson::padded_string padded;
};

std::vector<Document> &documents() {
    static std::vector<Document> docs = [] {
        std::vector<Document> out;
        for (const char *name : {"twitter", "citm_catalog", "canada"}) {
            std::ifstream in(std::string(KORVO_BENCH_DATA) + "/" + name + ".json", std::ios::binary);
            std::stringstream text;
            text << in.rdbuf();
            if (text.str().empty()) {
                std::fprintf(stderr, "cannot read %s/%s.json\n", KORVO_BENCH_DATA, name);
                std::exit(1);
            }
            out.push_back({name, text.str(), simdjson::padded_string(text.str())});
        }
        return out;
    }();
    return docs;
}
const Document &document(const std::string &name) {
    for (const auto &d : documents())
        if (d.name == name) return d;
    std::abort();
}

// ---- validation ----------------------------------------------------------------------------

bool validate_vellum(const Document &d) { return vellum_validate_buffer(d.text.data(), d.text.size(), nullptr) == 0; }

bool validate_rapidjson(const Document &d) {
    rapidjson::Reader reader;
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::StringStream stream(d.text.c_str());
    return !reader.Parse(stream, handler).IsError();
}

bool validate_simdjson(const Document &d) {
    static simdjson::dom::parser parser;
    return parser.parse(d.padded).error() == simdjson::SUCCESS;
}

bool validate_nlohmann(const Document &d) { return nlohmann::json::accept(d.text); }

bool validate_jansson(const Document &d) {
    json_error_t error;
    json_t *root = json_loadb(d.text.data(), d.text.size(), 0, &error);
    json_decref(root);
    return root != nullptr;
}

bool validate_cjson(const Document &d) {
    cJSON *root = cJSON_ParseWithLength(d.text.data(), d.text.size());
    cJSON_Delete(root);
    return root != nullptr;
}

// ---- mapping twitter.json ------------------------------------------------------------------

bool map_vellum(const Document &d, uint64_t &sum) {
    Timeline timeline{};
    vellum_status status = vellum_parse_buffer(&timeline_map, &timeline, d.text.data(), d.text.size(), nullptr, nullptr);
    sum = digest(timeline);
    vellum_cleanup(&timeline_map, &timeline);
    return status == 0;
}

// RapidJSON SAX: a context stack routes each value to its member.
struct TwitterHandler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, TwitterHandler> {
    enum Ctx { Root, Statuses, StatusObj, UserObj, EntitiesObj, Hashtags, HashtagObj, Skip };
    Timeline timeline{};
    std::vector<Ctx> stack;
    std::string key;
    Status *status = nullptr;
    Hashtag *hashtag = nullptr;

    Ctx top() const { return stack.empty() ? Root : stack.back(); }
    bool open(bool object) {
        Ctx parent = top(), next = Skip;
        if (stack.empty()) next = Root;
        else if (parent == Root && key == "statuses" && !object) next = Statuses;
        else if (parent == Statuses && object) {
            next = StatusObj;
            status = push_item<Status>(timeline.statuses);
        } else if (parent == StatusObj && key == "user" && object) next = UserObj;
        else if (parent == StatusObj && key == "entities" && object) next = EntitiesObj;
        else if (parent == EntitiesObj && key == "hashtags" && !object) next = Hashtags;
        else if (parent == Hashtags && object) {
            next = HashtagObj;
            hashtag = push_item<Hashtag>(status->entities.hashtags);
        }
        stack.push_back(next);
        return true;
    }
    bool close() {
        stack.pop_back();
        return true;
    }
    bool integer(int64_t v) {
        Ctx c = top();
        if (c == StatusObj) {
            if (key == "id") status->id = v;
            else if (key == "retweet_count") status->retweet_count = v;
        } else if (c == UserObj) {
            if (key == "id") status->user.id = v;
            else if (key == "followers_count") status->user.followers_count = v;
        }
        return true;
    }
    bool StartObject() { return open(true); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool StartArray() { return open(false); }
    bool EndArray(rapidjson::SizeType) { return close(); }
    bool Key(const char *s, rapidjson::SizeType len, bool) {
        key.assign(s, len);
        return true;
    }
    bool String(const char *s, rapidjson::SizeType len, bool) {
        Ctx c = top();
        if (c == StatusObj && key == "text") status->text = copy(s, len);
        else if (c == UserObj && key == "screen_name") status->user.screen_name = copy(s, len);
        else if (c == HashtagObj && key == "text") hashtag->text = copy(s, len);
        return true;
    }
    bool Bool(bool b) {
        if (top() == StatusObj && key == "favorited") status->favorited = b;
        return true;
    }
    bool Int(int v) { return integer(v); }
    bool Uint(unsigned v) { return integer(v); }
    bool Int64(int64_t v) { return integer(v); }
    bool Uint64(uint64_t v) { return integer(static_cast<int64_t>(v)); }
    bool Default() { return true; }
};

bool map_rapidjson(const Document &d, uint64_t &sum) {
    rapidjson::Reader reader;
    TwitterHandler handler;
    rapidjson::StringStream stream(d.text.c_str());
    bool ok = !reader.Parse(stream, handler).IsError();
    sum = digest(handler.timeline);
    free_peer(handler.timeline);
    return ok;
}

bool map_simdjson(const Document &d, uint64_t &sum) {
    static simdjson::ondemand::parser parser;
    Timeline timeline{};
    bool ok = true;
    try {
        auto doc = parser.iterate(d.padded);
        for (auto value : doc["statuses"]) {
            simdjson::ondemand::object object = value.get_object();
            Status *s = push_item<Status>(timeline.statuses);
            s->id = object["id"].get_int64();
            std::string_view text = object["text"].get_string();
            s->text = copy(text.data(), text.size());
            simdjson::ondemand::object user = object["user"].get_object();
            s->user.id = user["id"].get_int64();
            std::string_view name = user["screen_name"].get_string();
            s->user.screen_name = copy(name.data(), name.size());
            s->user.followers_count = user["followers_count"].get_int64();
            s->retweet_count = object["retweet_count"].get_int64();
            for (auto tag : object["entities"]["hashtags"]) {
                std::string_view t = tag["text"].get_string();
                push_item<Hashtag>(s->entities.hashtags)->text = copy(t.data(), t.size());
            }
            s->favorited = bool(object["favorited"].get_bool());
        }
    } catch (const simdjson::simdjson_error &) {
        ok = false;
    }
    sum = digest(timeline);
    free_peer(timeline);
    return ok;
}

bool map_nlohmann(const Document &d, uint64_t &sum) {
    Timeline timeline{};
    nlohmann::json root = nlohmann::json::parse(d.text);
    for (const auto &object : root["statuses"]) {
        Status *s = push_item<Status>(timeline.statuses);
        s->id = object["id"].get<int64_t>();
        const auto &text = object["text"].get_ref<const std::string &>();
        s->text = copy(text.data(), text.size());
        const auto &user = object["user"];
        s->user.id = user["id"].get<int64_t>();
        const auto &name = user["screen_name"].get_ref<const std::string &>();
        s->user.screen_name = copy(name.data(), name.size());
        s->user.followers_count = user["followers_count"].get<int64_t>();
        s->retweet_count = object["retweet_count"].get<int64_t>();
        s->favorited = object["favorited"].get<bool>();
        for (const auto &tag : object["entities"]["hashtags"]) {
            const auto &t = tag["text"].get_ref<const std::string &>();
            push_item<Hashtag>(s->entities.hashtags)->text = copy(t.data(), t.size());
        }
    }
    sum = digest(timeline);
    free_peer(timeline);
    return true;
}

bool map_jansson(const Document &d, uint64_t &sum) {
    json_error_t error;
    json_t *root = json_loadb(d.text.data(), d.text.size(), 0, &error);
    if (!root) return false;
    Timeline timeline{};
    json_t *statuses = json_object_get(root, "statuses");
    for (size_t i = 0; i < json_array_size(statuses); i++) {
        json_t *object = json_array_get(statuses, i);
        Status *s = push_item<Status>(timeline.statuses);
        s->id = json_integer_value(json_object_get(object, "id"));
        json_t *text = json_object_get(object, "text");
        s->text = copy(json_string_value(text), json_string_length(text));
        json_t *user = json_object_get(object, "user");
        s->user.id = json_integer_value(json_object_get(user, "id"));
        json_t *name = json_object_get(user, "screen_name");
        s->user.screen_name = copy(json_string_value(name), json_string_length(name));
        s->user.followers_count = json_integer_value(json_object_get(user, "followers_count"));
        s->retweet_count = json_integer_value(json_object_get(object, "retweet_count"));
        s->favorited = json_is_true(json_object_get(object, "favorited"));
        json_t *tags = json_object_get(json_object_get(object, "entities"), "hashtags");
        for (size_t k = 0; k < json_array_size(tags); k++) {
            json_t *t = json_object_get(json_array_get(tags, k), "text");
            push_item<Hashtag>(s->entities.hashtags)->text = copy(json_string_value(t), json_string_length(t));
        }
    }
    json_decref(root);
    sum = digest(timeline);
    free_peer(timeline);
    return true;
}

bool map_cjson(const Document &d, uint64_t &sum) {
    cJSON *root = cJSON_ParseWithLength(d.text.data(), d.text.size());
    if (!root) return false;
    Timeline timeline{};
    const cJSON *object;
    cJSON_ArrayForEach(object, cJSON_GetObjectItemCaseSensitive(root, "statuses")) {
        Status *s = push_item<Status>(timeline.statuses);
        // cJSON keeps numbers as doubles: ids above 2^53 lose their last digits here.
        s->id = static_cast<int64_t>(cJSON_GetObjectItemCaseSensitive(object, "id")->valuedouble);
        const char *text = cJSON_GetObjectItemCaseSensitive(object, "text")->valuestring;
        s->text = copy(text, std::strlen(text));
        const cJSON *user = cJSON_GetObjectItemCaseSensitive(object, "user");
        s->user.id = static_cast<int64_t>(cJSON_GetObjectItemCaseSensitive(user, "id")->valuedouble);
        const char *name = cJSON_GetObjectItemCaseSensitive(user, "screen_name")->valuestring;
        s->user.screen_name = copy(name, std::strlen(name));
        s->user.followers_count = static_cast<int64_t>(cJSON_GetObjectItemCaseSensitive(user, "followers_count")->valuedouble);
        s->retweet_count = static_cast<int64_t>(cJSON_GetObjectItemCaseSensitive(object, "retweet_count")->valuedouble);
        s->favorited = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(object, "favorited"));
        const cJSON *tag;
        cJSON_ArrayForEach(tag, cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(object, "entities"), "hashtags")) {
            const char *t = cJSON_GetObjectItemCaseSensitive(tag, "text")->valuestring;
            push_item<Hashtag>(s->entities.hashtags)->text = copy(t, std::strlen(t));
        }
    }
    cJSON_Delete(root);
    sum = digest(timeline);
    free_peer(timeline);
    return true;
}

// ---- serializing the structs ---------------------------------------------------------------

// The structs every serializer writes: mapped once by libvellum.
const Timeline &mapped_timeline() {
    static Timeline timeline = [] {
        Timeline t{};
        const Document &d = document("twitter");
        vellum_parse_buffer(&timeline_map, &t, d.text.data(), d.text.size(), nullptr, nullptr);
        return t;
    }();
    return timeline;
}

template <class F>
void for_each_status(const Timeline &t, F f) {
    const auto *statuses = static_cast<const Status *>(t.statuses.items);
    for (size_t i = 0; i < t.statuses.count; i++) f(statuses[i]);
}
const Hashtag *tags_of(const Status &s) { return static_cast<const Hashtag *>(s.entities.hashtags.items); }

size_t serialize_vellum(const Timeline &t) {
    static std::vector<char> buffer(1 << 20);
    size_t length = 0;
    if (vellum_serialize_buffer(&timeline_map, &t, buffer.data(), buffer.size(), &length, nullptr, nullptr) != 0) return 0;
    return length;
}

size_t serialize_rapidjson(const Timeline &t) {
    static rapidjson::StringBuffer buffer;
    buffer.Clear();
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("statuses");
    w.StartArray();
    for_each_status(t, [&](const Status &s) {
        w.StartObject();
        w.Key("id"), w.Int64(s.id);
        w.Key("text"), w.String(s.text);
        w.Key("user"), w.StartObject();
        w.Key("id"), w.Int64(s.user.id);
        w.Key("screen_name"), w.String(s.user.screen_name);
        w.Key("followers_count"), w.Int64(s.user.followers_count);
        w.EndObject();
        w.Key("retweet_count"), w.Int64(s.retweet_count);
        w.Key("favorited"), w.Bool(s.favorited != 0);
        w.Key("entities"), w.StartObject(), w.Key("hashtags"), w.StartArray();
        for (size_t k = 0; k < s.entities.hashtags.count; k++) {
            w.StartObject(), w.Key("text"), w.String(tags_of(s)[k].text), w.EndObject();
        }
        w.EndArray(), w.EndObject();
        w.EndObject();
    });
    w.EndArray();
    w.EndObject();
    return buffer.GetSize();
}

size_t serialize_nlohmann(const Timeline &t) {
    nlohmann::json statuses = nlohmann::json::array();
    for_each_status(t, [&](const Status &s) {
        nlohmann::json tags = nlohmann::json::array();
        for (size_t k = 0; k < s.entities.hashtags.count; k++) tags.push_back({{"text", tags_of(s)[k].text}});
        statuses.push_back({{"id", s.id},
                            {"text", s.text},
                            {"user", {{"id", s.user.id}, {"screen_name", s.user.screen_name}, {"followers_count", s.user.followers_count}}},
                            {"retweet_count", s.retweet_count},
                            {"favorited", s.favorited != 0},
                            {"entities", {{"hashtags", tags}}}});
    });
    nlohmann::json root = {{"statuses", std::move(statuses)}};
    return root.dump().size();
}

size_t serialize_jansson(const Timeline &t) {
    json_t *statuses = json_array();
    for_each_status(t, [&](const Status &s) {
        json_t *tags = json_array();
        for (size_t k = 0; k < s.entities.hashtags.count; k++)
            json_array_append_new(tags, json_pack("{s:s}", "text", tags_of(s)[k].text));
        json_array_append_new(statuses, json_pack("{s:I,s:s,s:{s:I,s:s,s:I},s:I,s:b,s:{s:o}}", "id", (json_int_t)s.id,
                                                  "text", s.text, "user", "id", (json_int_t)s.user.id, "screen_name",
                                                  s.user.screen_name, "followers_count", (json_int_t)s.user.followers_count,
                                                  "retweet_count", (json_int_t)s.retweet_count, "favorited", s.favorited,
                                                  "entities", "hashtags", tags));
    });
    json_t *root = json_pack("{s:o}", "statuses", statuses);
    char *text = json_dumps(root, JSON_COMPACT | JSON_PRESERVE_ORDER);
    size_t length = text ? std::strlen(text) : 0;
    std::free(text);
    json_decref(root);
    return length;
}

size_t serialize_cjson(const Timeline &t) {
    cJSON *root = cJSON_CreateObject();
    cJSON *statuses = cJSON_AddArrayToObject(root, "statuses");
    for_each_status(t, [&](const Status &s) {
        cJSON *o = cJSON_CreateObject();
        cJSON_AddNumberToObject(o, "id", static_cast<double>(s.id));
        cJSON_AddStringToObject(o, "text", s.text);
        cJSON *user = cJSON_AddObjectToObject(o, "user");
        cJSON_AddNumberToObject(user, "id", static_cast<double>(s.user.id));
        cJSON_AddStringToObject(user, "screen_name", s.user.screen_name);
        cJSON_AddNumberToObject(user, "followers_count", static_cast<double>(s.user.followers_count));
        cJSON_AddNumberToObject(o, "retweet_count", static_cast<double>(s.retweet_count));
        cJSON_AddBoolToObject(o, "favorited", s.favorited);
        cJSON *tags = cJSON_AddArrayToObject(cJSON_AddObjectToObject(o, "entities"), "hashtags");
        for (size_t k = 0; k < s.entities.hashtags.count; k++) {
            cJSON *tag = cJSON_CreateObject();
            cJSON_AddStringToObject(tag, "text", tags_of(s)[k].text);
            cJSON_AddItemToArray(tags, tag);
        }
        cJSON_AddItemToArray(statuses, o);
    });
    char *text = cJSON_PrintUnformatted(root);
    size_t length = text ? std::strlen(text) : 0;
    cJSON_free(text);
    cJSON_Delete(root);
    return length;
}

// ---- walking canada.json's numbers ---------------------------------------------------------

bool numbers_vellum(const Document &d, double &sum) {
    vellum_value_visitor visitor;
    vellum_default_value_visitor(&visitor);
    visitor.number_chunk = [](void *user, const char *data, size_t len, vellum_error *) {
        double value = 0;
        std::from_chars(data, data + len, value);
        *static_cast<double *>(user) += value;
        return 0;
    };
    sum = 0;
    return vellum_visit_value_buffer(d.text.data(), d.text.size(), &visitor, &sum, nullptr, nullptr) == 0;
}

struct SumHandler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, SumHandler> {
    double sum = 0;
    bool Double(double d) { return sum += d, true; }
    bool Int(int v) { return sum += v, true; }
    bool Uint(unsigned v) { return sum += v, true; }
    bool Int64(int64_t v) { return sum += static_cast<double>(v), true; }
    bool Uint64(uint64_t v) { return sum += static_cast<double>(v), true; }
    bool Default() { return true; }
};

bool numbers_rapidjson(const Document &d, double &sum) {
    rapidjson::Reader reader;
    SumHandler handler;
    rapidjson::StringStream stream(d.text.c_str());
    bool ok = !reader.Parse<rapidjson::kParseFullPrecisionFlag>(stream, handler).IsError();
    sum = handler.sum;
    return ok;
}

void sum_simdjson(simdjson::ondemand::value value, double &sum) {
    switch (value.type()) {
        case simdjson::ondemand::json_type::array:
            for (auto element : value.get_array()) sum_simdjson(element.value(), sum);
            break;
        case simdjson::ondemand::json_type::object:
            for (auto field : value.get_object()) sum_simdjson(field.value(), sum);
            break;
        case simdjson::ondemand::json_type::number: sum += double(value.get_double()); break;
        default: break;
    }
}

bool numbers_simdjson(const Document &d, double &sum) {
    static simdjson::ondemand::parser parser;
    sum = 0;
    try {
        auto doc = parser.iterate(d.padded);
        for (auto field : doc.get_object()) sum_simdjson(field.value(), sum);
    } catch (const simdjson::simdjson_error &) {
        return false;
    }
    return true;
}

struct NlohmannSum : nlohmann::json_sax<nlohmann::json> {
    double sum = 0;
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t v) override { return sum += static_cast<double>(v), true; }
    bool number_unsigned(number_unsigned_t v) override { return sum += static_cast<double>(v), true; }
    bool number_float(number_float_t v, const string_t &) override { return sum += v, true; }
    bool string(string_t &) override { return true; }
    bool binary(binary_t &) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t &) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override { return false; }
};

bool numbers_nlohmann(const Document &d, double &sum) {
    NlohmannSum handler;
    bool ok = nlohmann::json::sax_parse(d.text, &handler);
    sum = handler.sum;
    return ok;
}

void sum_jansson(json_t *value, double &sum) {
    if (json_is_array(value)) {
        for (size_t i = 0; i < json_array_size(value); i++) sum_jansson(json_array_get(value, i), sum);
    } else if (json_is_object(value)) {
        const char *key;
        json_t *member;
        json_object_foreach(value, key, member) sum_jansson(member, sum);
    } else if (json_is_number(value)) {
        sum += json_number_value(value);
    }
}

bool numbers_jansson(const Document &d, double &sum) {
    json_error_t error;
    json_t *root = json_loadb(d.text.data(), d.text.size(), 0, &error);
    sum = 0;
    if (root) sum_jansson(root, sum);
    json_decref(root);
    return root != nullptr;
}

void sum_cjson(const cJSON *value, double &sum) {
    if (cJSON_IsNumber(value)) sum += value->valuedouble;
    for (const cJSON *child = value->child; child; child = child->next) sum_cjson(child, sum);
}

bool numbers_cjson(const Document &d, double &sum) {
    cJSON *root = cJSON_ParseWithLength(d.text.data(), d.text.size());
    sum = 0;
    if (root) sum_cjson(root, sum);
    cJSON_Delete(root);
    return root != nullptr;
}

// ---- registration --------------------------------------------------------------------------

struct Library {
    const char *name;
    bool (*validate)(const Document &);
    bool (*map)(const Document &, uint64_t &);
    size_t (*serialize)(const Timeline &);
    bool (*numbers)(const Document &, double &);
};

const Library libraries[] = {
    {"vellum", validate_vellum, map_vellum, serialize_vellum, numbers_vellum},
    {"simdjson", validate_simdjson, map_simdjson, nullptr, numbers_simdjson},
    {"rapidjson", validate_rapidjson, map_rapidjson, serialize_rapidjson, numbers_rapidjson},
    {"nlohmann", validate_nlohmann, map_nlohmann, serialize_nlohmann, numbers_nlohmann},
    {"jansson", validate_jansson, map_jansson, serialize_jansson, numbers_jansson},
    {"cjson", validate_cjson, map_cjson, serialize_cjson, numbers_cjson},
};

void register_all() {
    for (const Library &lib : libraries) {
        for (const char *doc : {"twitter", "citm_catalog", "canada"}) {
            benchmark::RegisterBenchmark((std::string("validate/") + doc + "/" + lib.name).c_str(),
                                         [&lib, doc](benchmark::State &state) {
                                             const Document &d = document(doc);
                                             for (auto _ : state) {
                                                 if (!lib.validate(d)) state.SkipWithError("rejected the document");
                                             }
                                             state.SetBytesProcessed(int64_t(state.iterations() * d.text.size()));
                                         });
        }
        benchmark::RegisterBenchmark((std::string("map/twitter/") + lib.name).c_str(), [&lib](benchmark::State &state) {
            const Document &d = document("twitter");
            uint64_t expected = 0, sum = 0;
            map_vellum(d, expected);
            for (auto _ : state) {
                if (!lib.map(d, sum)) state.SkipWithError("mapping failed");
            }
            // cJSON holds numbers as doubles, so its ids differ; every other library must agree.
            if (sum != expected && std::strcmp(lib.name, "cjson") != 0) state.SkipWithError("mapped values differ");
            state.SetBytesProcessed(int64_t(state.iterations() * d.text.size()));
        });
        if (lib.serialize) {
            benchmark::RegisterBenchmark((std::string("serialize/twitter/") + lib.name).c_str(),
                                         [&lib](benchmark::State &state) {
                                             const Timeline &t = mapped_timeline();
                                             size_t length = 0;
                                             for (auto _ : state) {
                                                 length = lib.serialize(t);
                                                 if (length == 0) state.SkipWithError("serialization failed");
                                             }
                                             state.SetBytesProcessed(int64_t(state.iterations() * length));
                                         });
        }
        benchmark::RegisterBenchmark((std::string("numbers/canada/") + lib.name).c_str(), [&lib](benchmark::State &state) {
            const Document &d = document("canada");
            double expected = 0, sum = 0;
            numbers_rapidjson(d, expected);
            for (auto _ : state) {
                if (!lib.numbers(d, sum)) state.SkipWithError("walk failed");
            }
            if (std::abs(sum - expected) > 1e-6 * std::abs(expected)) state.SkipWithError("number sum differs");
            state.SetBytesProcessed(int64_t(state.iterations() * d.text.size()));
        });
    }
}

}  // namespace

int main(int argc, char **argv) {
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
