// The JSONTestSuite corpus: every y_ document is accepted and every n_ document rejected by
// the validators, whole and one byte at a time, with the same outcome.
#include "vellum.h"

#include "fixtures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string corpus_dir() { return korvo::testing::testdata_dir() + "/json/JSONTestSuite/test_parsing"; }

std::string base_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

struct OneByte {
    const std::string *text;
    size_t pos;
    static vellum_read_result read(void *user, void *buffer, size_t) {
        auto *self = static_cast<OneByte *>(user);
        vellum_read_result result{};
        if (self->pos < self->text->size()) {
            static_cast<char *>(buffer)[0] = (*self->text)[self->pos++];
            result.bytes = 1;
        }
        result.eof = self->pos == self->text->size();
        return result;
    }
};

std::string outcome(vellum_status status, const vellum_error &error) {
    return std::to_string(status) + " " + error.message + " @" + std::to_string(error.offset);
}

TEST(JsonTestSuite, AcceptsValidAndRejectsInvalidDocuments) {
    auto files = korvo::testing::list_files(corpus_dir());
    ASSERT_GT(files.size(), 300u) << "corpus not found under " << corpus_dir();
    size_t accepted = 0, rejected = 0;
    for (const std::string &path : files) {
        std::string name = base_name(path);
        std::string text = korvo::testing::read_file(path);
        vellum_error whole_error, path_error, bytes_error;
        vellum_status whole = vellum_validate_buffer(text.data(), text.size(), &whole_error);
        vellum_status from_path = vellum_validate_path(path.c_str(), &path_error);
        OneByte reader{&text, 0};
        vellum_status bytes = vellum_validate_reader(OneByte::read, &reader, &bytes_error);
        EXPECT_EQ(outcome(from_path, path_error), outcome(whole, whole_error)) << name;
        EXPECT_EQ(outcome(bytes, bytes_error), outcome(whole, whole_error)) << name;
        if (name.rfind("y_", 0) == 0) {
            EXPECT_EQ(whole, VELLUM_STATUS_OK) << name << ": " << whole_error.message;
            accepted++;
        } else if (name.rfind("n_", 0) == 0) {
            EXPECT_NE(whole, VELLUM_STATUS_OK) << name;
            EXPECT_NE(whole_error.message[0], '\0') << name;
            rejected++;
        }
    }
    EXPECT_GT(accepted, 90u);
    EXPECT_GT(rejected, 180u);
}

}  // namespace
