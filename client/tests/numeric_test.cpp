// Base-10 helpers: every boundary of the parsers, the formatter and the narrowing checks.
#include "korvoc.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

// Parses text and returns whether it succeeded; value keeps its sentinel on failure.
bool i64(const char *text, int64_t &value) {
    value = 77;
    return kc_i64_parse_base10(text, &value) == 1;
}
bool u64(const char *text, uint64_t &value) {
    value = 77;
    return kc_u64_parse_base10(text, &value) == 1;
}

} // namespace

TEST(NumericParse, SignedLimits) {
    int64_t v;
    EXPECT_TRUE(i64("9223372036854775807", v));
    EXPECT_EQ(v, INT64_MAX);
    EXPECT_TRUE(i64("+9223372036854775807", v));
    EXPECT_EQ(v, INT64_MAX);
    EXPECT_FALSE(i64("9223372036854775808", v));
    EXPECT_EQ(v, 77);
    EXPECT_TRUE(i64("-9223372036854775808", v));
    EXPECT_EQ(v, INT64_MIN);
    EXPECT_FALSE(i64("-9223372036854775809", v));
    EXPECT_EQ(v, 77);
    EXPECT_FALSE(i64("99999999999999999999", v));
    EXPECT_FALSE(i64("-99999999999999999999", v));
    EXPECT_TRUE(i64("-9223372036854775807", v));
    EXPECT_EQ(v, -INT64_MAX);
    EXPECT_TRUE(i64("00000000000000000000000009223372036854775807", v));
    EXPECT_EQ(v, INT64_MAX);
}

TEST(NumericParse, SignedForms) {
    int64_t v;
    EXPECT_TRUE(i64("0", v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(i64("-0", v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(i64("+17", v));
    EXPECT_EQ(v, 17);
    EXPECT_TRUE(i64("-0042", v));
    EXPECT_EQ(v, -42);
    for (const char *bad : {"", "+", "-", "--1", "+-1", "-+1", " 1", "1 ", "1a", "a1", "1.0", "1e3", "0x10", "\t1",
                            "1\n", "１"}) {
        EXPECT_FALSE(i64(bad, v)) << bad;
        EXPECT_EQ(v, 77) << bad;
    }
    EXPECT_EQ(kc_i64_parse_base10(nullptr, &v), 0);
    EXPECT_EQ(kc_i64_parse_base10("1", nullptr), 0);
}

TEST(NumericParse, UnsignedLimitsAndForms) {
    uint64_t v;
    EXPECT_TRUE(u64("18446744073709551615", v));
    EXPECT_EQ(v, UINT64_MAX);
    EXPECT_TRUE(u64("+18446744073709551615", v));
    EXPECT_EQ(v, UINT64_MAX);
    EXPECT_FALSE(u64("18446744073709551616", v));
    EXPECT_EQ(v, 77u);
    EXPECT_FALSE(u64("18446744073709551620", v));
    EXPECT_FALSE(u64("184467440737095516150", v));
    EXPECT_TRUE(u64("9223372036854775808", v));
    EXPECT_EQ(v, 9223372036854775808ULL);
    EXPECT_TRUE(u64("0", v));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(u64("007", v));
    EXPECT_EQ(v, 7u);
    for (const char *bad : {"", "+", "-", "-0", "-1", " 1", "1 ", "1a", "++1"}) {
        EXPECT_FALSE(u64(bad, v)) << bad;
        EXPECT_EQ(v, 77u) << bad;
    }
    EXPECT_EQ(kc_u64_parse_base10(nullptr, &v), 0);
    EXPECT_EQ(kc_u64_parse_base10("1", nullptr), 0);
}

TEST(NumericFormat, ValuesAndCapacity) {
    struct Case {
        int64_t value;
        const char *text;
    } cases[] = {{0, "0"},
                 {7, "7"},
                 {-7, "-7"},
                 {10, "10"},
                 {-100, "-100"},
                 {INT64_MAX, "9223372036854775807"},
                 {INT64_MIN, "-9223372036854775808"},
                 {INT64_MIN + 1, "-9223372036854775807"}};
    for (const auto &c : cases) {
        char buffer[32];
        int n = kc_i64_format_base10(c.value, buffer, sizeof(buffer));
        ASSERT_EQ(n, static_cast<int>(std::strlen(c.text)));
        EXPECT_STREQ(buffer, c.text);
        // Round trip through the parser.
        int64_t back = 0;
        EXPECT_EQ(kc_i64_parse_base10(buffer, &back), 1);
        EXPECT_EQ(back, c.value);
    }
    char exact[21];
    EXPECT_EQ(kc_i64_format_base10(INT64_MIN, exact, 21), 20);
    EXPECT_STREQ(exact, "-9223372036854775808");
    char two[2];
    EXPECT_EQ(kc_i64_format_base10(0, two, 2), 1);
    EXPECT_STREQ(two, "0");
}

TEST(NumericFormat, TooSmallLeavesBufferUntouched) {
    char buffer[32];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(kc_i64_format_base10(INT64_MIN, buffer, 20), -1);
    for (char c : buffer) ASSERT_EQ(c, '#');
    EXPECT_EQ(kc_i64_format_base10(12345, buffer, 5), -1);
    EXPECT_EQ(kc_i64_format_base10(5, buffer, 1), -1);
    for (char c : buffer) ASSERT_EQ(c, '#');
    EXPECT_EQ(kc_i64_format_base10(12345, buffer, 0), -1);
    EXPECT_EQ(kc_i64_format_base10(1, nullptr, 10), -1);
    for (char c : buffer) ASSERT_EQ(c, '#');
    EXPECT_EQ(kc_i64_format_base10(12345, buffer, 6), 5);
    EXPECT_STREQ(buffer, "12345");
}

TEST(NumericNarrow, FollowsThePlatformRanges) {
    long l = 5;
    EXPECT_EQ(kc_i64_to_long_checked(INT64_MAX, &l), 1);
    EXPECT_EQ(l, LONG_MAX); // LP64: long holds every int64
    EXPECT_EQ(kc_i64_to_long_checked(INT64_MIN, &l), 1);
    EXPECT_EQ(l, LONG_MIN);
    EXPECT_EQ(kc_i64_to_long_checked(1, nullptr), 0);

    int i = 5;
    EXPECT_EQ(kc_i64_to_int_checked(INT_MAX, &i), 1);
    EXPECT_EQ(i, INT_MAX);
    EXPECT_EQ(kc_i64_to_int_checked(INT_MIN, &i), 1);
    EXPECT_EQ(i, INT_MIN);
    i = 5;
    EXPECT_EQ(kc_i64_to_int_checked(static_cast<int64_t>(INT_MAX) + 1, &i), 0);
    EXPECT_EQ(kc_i64_to_int_checked(static_cast<int64_t>(INT_MIN) - 1, &i), 0);
    EXPECT_EQ(kc_i64_to_int_checked(INT64_MIN, &i), 0);
    EXPECT_EQ(i, 5);
    EXPECT_EQ(kc_i64_to_int_checked(0, nullptr), 0);

    unsigned long ul = 5;
    EXPECT_EQ(kc_u64_to_ulong_checked(UINT64_MAX, &ul), 1);
    EXPECT_EQ(ul, ULONG_MAX);
    EXPECT_EQ(kc_u64_to_ulong_checked(0, nullptr), 0);
    size_t s = 5;
    EXPECT_EQ(kc_u64_to_size_checked(UINT64_MAX, &s), 1);
    EXPECT_EQ(s, SIZE_MAX);
    EXPECT_EQ(kc_u64_to_size_checked(0, nullptr), 0);
}

TEST(NumericParseChecked, ParseThenNarrow) {
    int i = 9;
    EXPECT_EQ(kc_parse_int_base10_checked("2147483647", &i), 1);
    EXPECT_EQ(i, INT_MAX);
    EXPECT_EQ(kc_parse_int_base10_checked("-2147483648", &i), 1);
    EXPECT_EQ(i, INT_MIN);
    i = 9;
    EXPECT_EQ(kc_parse_int_base10_checked("2147483648", &i), 0);
    EXPECT_EQ(kc_parse_int_base10_checked("-2147483649", &i), 0);
    EXPECT_EQ(kc_parse_int_base10_checked("x", &i), 0);
    EXPECT_EQ(i, 9);

    long l = 9;
    // On this LP64 platform long is 64 bits: 2147483648 fits (it fails on 32-bit targets).
    EXPECT_EQ(kc_parse_long_base10_checked("2147483648", &l), 1);
    EXPECT_EQ(l, 2147483648L);
    EXPECT_EQ(kc_parse_long_base10_checked("-9223372036854775808", &l), 1);
    EXPECT_EQ(l, LONG_MIN);
    l = 9;
    EXPECT_EQ(kc_parse_long_base10_checked("9223372036854775808", &l), 0);
    EXPECT_EQ(kc_parse_long_base10_checked("", &l), 0);
    EXPECT_EQ(kc_parse_long_base10_checked("1", nullptr), 0);
    EXPECT_EQ(l, 9);

    unsigned long ul = 9;
    EXPECT_EQ(kc_parse_ulong_base10_checked("18446744073709551615", &ul), 1);
    EXPECT_EQ(ul, ULONG_MAX);
    ul = 9;
    EXPECT_EQ(kc_parse_ulong_base10_checked("-1", &ul), 0);
    EXPECT_EQ(kc_parse_ulong_base10_checked("18446744073709551616", &ul), 0);
    EXPECT_EQ(ul, 9u);

    size_t s = 9;
    EXPECT_EQ(kc_parse_size_base10_checked("4294967296", &s), 1);
    EXPECT_EQ(s, 4294967296u);
    s = 9;
    EXPECT_EQ(kc_parse_size_base10_checked("18446744073709551616", &s), 0);
    EXPECT_EQ(kc_parse_size_base10_checked("+", &s), 0);
    EXPECT_EQ(kc_parse_size_base10_checked("1", nullptr), 0);
    EXPECT_EQ(s, 9u);
}

TEST(NumericRange, TrimsBlanksOnly) {
    long l = 9;
    EXPECT_EQ(kc_parse_long_base10_range_checked("  42\r\n", 6, &l), 1);
    EXPECT_EQ(l, 42);
    EXPECT_EQ(kc_parse_long_base10_range_checked("\t-7 ", 4, &l), 1);
    EXPECT_EQ(l, -7);
    // The range ends before the junk: only length bytes are read.
    EXPECT_EQ(kc_parse_long_base10_range_checked("123junk", 3, &l), 1);
    EXPECT_EQ(l, 123);
    l = 9;
    for (const char *bad : {"   ", " \t\r\n", "4 2", "42x", "\v42", "42\f", "+", "-"}) {
        EXPECT_EQ(kc_parse_long_base10_range_checked(bad, std::strlen(bad), &l), 0) << bad;
    }
    EXPECT_EQ(kc_parse_long_base10_range_checked("42", 0, &l), 0);
    EXPECT_EQ(kc_parse_long_base10_range_checked(nullptr, 2, &l), 0);
    EXPECT_EQ(kc_parse_long_base10_range_checked("42", 2, nullptr), 0);
    EXPECT_EQ(l, 9);

    unsigned long ul = 9;
    EXPECT_EQ(kc_parse_ulong_base10_range_checked(" 18446744073709551615\n", 22, &ul), 1);
    EXPECT_EQ(ul, ULONG_MAX);
    ul = 9;
    EXPECT_EQ(kc_parse_ulong_base10_range_checked(" -1 ", 4, &ul), 0);
    EXPECT_EQ(kc_parse_ulong_base10_range_checked("  ", 2, &ul), 0);
    EXPECT_EQ(ul, 9u);
}

TEST(NumericRange, SixtyThreeBytesAtMost) {
    std::string sixty_three = std::string(61, '0') + "42";
    ASSERT_EQ(sixty_three.size(), 63u);
    long l = 9;
    EXPECT_EQ(kc_parse_long_base10_range_checked(sixty_three.data(), sixty_three.size(), &l), 1);
    EXPECT_EQ(l, 42);
    unsigned long ul = 9;
    EXPECT_EQ(kc_parse_ulong_base10_range_checked(sixty_three.data(), sixty_three.size(), &ul), 1);
    EXPECT_EQ(ul, 42u);

    // Blanks around do not count towards the limit.
    std::string padded = "  " + sixty_three + "\r\n";
    EXPECT_EQ(kc_parse_long_base10_range_checked(padded.data(), padded.size(), &l), 1);

    std::string sixty_four = "0" + sixty_three;
    l = 9;
    ul = 9;
    EXPECT_EQ(kc_parse_long_base10_range_checked(sixty_four.data(), sixty_four.size(), &l), 0);
    EXPECT_EQ(kc_parse_ulong_base10_range_checked(sixty_four.data(), sixty_four.size(), &ul), 0);
    EXPECT_EQ(l, 9);
    EXPECT_EQ(ul, 9u);
}
