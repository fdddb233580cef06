// The public error record: kc_error_set, and the conversions from JSON library statuses and
// engine errors.
#include "korvoc.h"
#include "korvoc_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string text(const char *s) { return s ? std::string(s) : std::string("<null>"); }

vellum_error json_error_with(const char *message) {
    vellum_error error;
    vellum_error_init(&error);
    std::snprintf(error.message, sizeof(error.message), "%s", message);
    return error;
}

} // namespace

TEST(ErrorRecord, InitSetCleanup) {
    kc_error error;
    std::memset(&error, 0xab, sizeof(error));
    kc_error_init(&error);
    EXPECT_EQ(error.code, 0);
    EXPECT_EQ(error.http_status, 0);
    EXPECT_EQ(error.message, nullptr);
    EXPECT_EQ(error.correlation_id, nullptr);

    std::string message = "lease conflict";
    EXPECT_EQ(kc_error_set(&error, KC_ERR_SERVER, 409, message.c_str(), "held by other", "lease_held", "cid-1"),
              KC_ERR_SERVER);
    message[0] = 'X'; // the record holds copies
    EXPECT_EQ(error.code, KC_ERR_SERVER);
    EXPECT_EQ(error.http_status, 409);
    EXPECT_EQ(text(error.message), "lease conflict");
    EXPECT_EQ(text(error.detail), "held by other");
    EXPECT_EQ(text(error.server_error), "lease_held");
    EXPECT_EQ(text(error.correlation_id), "cid-1");

    // A second set replaces everything, NULL strings included.
    EXPECT_EQ(kc_error_set(&error, KC_ERR_INVALID, 0, "bad", nullptr, nullptr, nullptr), KC_ERR_INVALID);
    EXPECT_EQ(error.http_status, 0);
    EXPECT_EQ(text(error.message), "bad");
    EXPECT_EQ(error.detail, nullptr);
    EXPECT_EQ(error.server_error, nullptr);
    EXPECT_EQ(error.correlation_id, nullptr);

    kc_error_cleanup(&error);
    EXPECT_EQ(error.code, 0);
    EXPECT_EQ(error.message, nullptr);
    kc_error_cleanup(&error); // twice is harmless
    kc_error_cleanup(nullptr);
    kc_error_init(nullptr);
}

TEST(ErrorRecord, SetWithNullRecordReturnsCode) {
    EXPECT_EQ(kc_error_set(nullptr, KC_ERR_TRANSPORT, 0, "m", "d", "s", "c"), KC_ERR_TRANSPORT);
    EXPECT_EQ(kc_error_set(nullptr, 42, 0, nullptr, nullptr, nullptr, nullptr), 42);
}

TEST(ErrorRecord, SetAcceptsTheRecordsOwnStrings) {
    kc_error error;
    kc_error_init(&error);
    kc_error_set(&error, KC_ERR_SERVER, 503, "first", "detail", "node_passive", "cid");
    // Re-setting from the record's own members must not read freed memory (ASan checks).
    kc_error_set(&error, KC_ERR_TRANSPORT, error.http_status, error.detail, error.message, error.server_error,
                 error.correlation_id);
    EXPECT_EQ(error.code, KC_ERR_TRANSPORT);
    EXPECT_EQ(error.http_status, 503);
    EXPECT_EQ(text(error.message), "detail");
    EXPECT_EQ(text(error.detail), "first");
    EXPECT_EQ(text(error.server_error), "node_passive");
    EXPECT_EQ(text(error.correlation_id), "cid");
    kc_error_cleanup(&error);
}

TEST(ErrorFromVellum, StatusTable) {
    struct Case {
        vellum_status status;
        int code;
    } cases[] = {
        {VELLUM_STATUS_INVALID_ARGUMENT, KC_ERR_INVALID},  {VELLUM_STATUS_INVALID_JSON, KC_ERR_PROTOCOL},
        {VELLUM_STATUS_TYPE_MISMATCH, KC_ERR_PROTOCOL},    {VELLUM_STATUS_MISSING_REQUIRED_FIELD, KC_ERR_PROTOCOL},
        {VELLUM_STATUS_DUPLICATE_FIELD, KC_ERR_PROTOCOL},  {VELLUM_STATUS_OVERFLOW, KC_ERR_PROTOCOL},
        {VELLUM_STATUS_ALLOCATION_FAILED, KC_ERR_NOMEM},   {VELLUM_STATUS_CALLBACK_FAILED, KC_ERR_TRANSPORT},
        {VELLUM_STATUS_IO_ERROR, KC_ERR_TRANSPORT},        {VELLUM_STATUS_INTERNAL_ERROR, KC_ERR_TRANSPORT},
        {12, KC_ERR_PROTOCOL},                             {1000, KC_ERR_PROTOCOL},
        {-1, KC_ERR_PROTOCOL},
    };
    for (const auto &c : cases) {
        kc_error error;
        kc_error_init(&error);
        vellum_error json = json_error_with("expected number for 'n'");
        EXPECT_EQ(kc_vellum_error_from_status(&error, c.status, &json, "failed to parse mapped state"), c.code)
            << c.status;
        EXPECT_EQ(error.code, c.code) << c.status;
        EXPECT_EQ(error.http_status, 0);
        EXPECT_EQ(text(error.message), "failed to parse mapped state");
        EXPECT_EQ(text(error.detail), "expected number for 'n'");
        EXPECT_EQ(error.server_error, nullptr);
        kc_error_cleanup(&error);
        EXPECT_EQ(kc_vellum_error_from_status(nullptr, c.status, &json, "m"), c.code);
    }
}

TEST(ErrorFromVellum, SuccessLeavesTheRecordUntouched) {
    kc_error error;
    kc_error_init(&error);
    kc_error_set(&error, KC_ERR_SERVER, 500, "earlier", nullptr, nullptr, nullptr);
    vellum_error json = json_error_with("value truncated");
    EXPECT_EQ(kc_vellum_error_from_status(&error, VELLUM_STATUS_OK, &json, "m"), KC_OK);
    // TRUNCATED counts as success: no error is made of it.
    EXPECT_EQ(kc_vellum_error_from_status(&error, VELLUM_STATUS_TRUNCATED, &json, "m"), KC_OK);
    EXPECT_EQ(error.code, KC_ERR_SERVER);
    EXPECT_EQ(error.http_status, 500);
    EXPECT_EQ(text(error.message), "earlier");
    kc_error_cleanup(&error);
}

TEST(ErrorFromVellum, DetailOnlyFromANonEmptyMessage) {
    kc_error error;
    kc_error_init(&error);
    vellum_error empty = json_error_with("");
    EXPECT_EQ(kc_vellum_error_from_status(&error, VELLUM_STATUS_IO_ERROR, &empty, "local failure"), KC_ERR_TRANSPORT);
    EXPECT_EQ(error.detail, nullptr);
    EXPECT_EQ(text(error.message), "local failure");
    EXPECT_EQ(kc_vellum_error_from_status(&error, VELLUM_STATUS_INVALID_JSON, nullptr, nullptr), KC_ERR_PROTOCOL);
    EXPECT_EQ(error.message, nullptr);
    EXPECT_EQ(error.detail, nullptr);
    kc_error_cleanup(&error);
}

TEST(ErrorFromEngine, CodesAndCarriedMembers) {
    char message[] = "korvo returned a non-success status";
    char server_error[] = "version_conflict";
    char detail[] = "expected 3";
    char leader[] = "https://leader:9000";
    char etag[] = "abc";
    char cid[] = "cid-42";
    kc_engine_error engine;
    std::memset(&engine, 0, sizeof(engine));
    engine.code = KC_ERR_SERVER;
    engine.http_status = 409;
    engine.message = message;
    engine.server_error = server_error;
    engine.detail = detail;
    engine.leader_endpoint = leader;
    engine.current_etag = etag;
    engine.current_version = 3;
    engine.retry_after_seconds = 5;
    engine.correlation_id = cid;

    kc_error error;
    kc_error_init(&error);
    EXPECT_EQ(kc_error_from_engine(&error, &engine), KC_ERR_SERVER);
    EXPECT_EQ(error.code, KC_ERR_SERVER);
    EXPECT_EQ(error.http_status, 409);
    EXPECT_EQ(text(error.message), message);
    EXPECT_EQ(text(error.detail), detail);
    EXPECT_EQ(text(error.server_error), server_error);
    EXPECT_EQ(text(error.correlation_id), cid);
    EXPECT_NE(error.message, message); // copies, not the engine's strings

    for (int code : {0, 1, 2, 3, 4}) {
        engine.code = code;
        EXPECT_EQ(kc_error_from_engine(&error, &engine), code);
        EXPECT_EQ(error.code, code);
    }
    for (int code : {5, 6, 99, -1}) {
        engine.code = code;
        EXPECT_EQ(kc_error_from_engine(&error, &engine), KC_ERR_SERVER) << code;
        EXPECT_EQ(error.code, KC_ERR_SERVER);
    }
    engine.code = KC_ERR_TRANSPORT;
    EXPECT_EQ(kc_error_from_engine(nullptr, &engine), KC_ERR_TRANSPORT);

    // A NULL engine error is a zeroed one.
    EXPECT_EQ(kc_error_from_engine(&error, nullptr), KC_OK);
    EXPECT_EQ(error.code, KC_OK);
    EXPECT_EQ(error.message, nullptr);
    kc_error_cleanup(&error);
}
