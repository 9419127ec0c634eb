#include "PlatformServices/PercentEncoding.hpp"

#include <gtest/gtest.h>

using namespace plenwick;
using namespace std::string_literals;

namespace {

TEST(PercentEncoding, EscapesEveryByteTheFormatDoesNotKeep) {
    struct Case {
        std::string text;
        std::string_view kept;
        std::string expected;
    };
    const Case cases[] = {
        {"/home/ann/Photos 2024/beach.jpg", PercentEncoding::uriPath,
         "/home/ann/Photos%202024/beach.jpg"},
        // What would end a URI's path or start an escape.
        {"a?b#c%d", PercentEncoding::uriPath, "a%3Fb%23c%25d"},
        {"-._~!$&'()*+,;=:@/", PercentEncoding::uriPath, "-._~!$&'()*+,;=:@/"},
        {"[]{}\"<>\\^`| ", PercentEncoding::uriPath, "%5B%5D%7B%7D%22%3C%3E%5C%5E%60%7C%20"},
        // UTF-8 goes byte by byte, as do bytes that are no UTF-8 at all.
        {"été 📷", PercentEncoding::uriPath, "%C3%A9t%C3%A9%20%F0%9F%93%B7"},
        {"nul\0\x7F\xFF"s, PercentEncoding::uriPath, "nul%00%7F%FF"},
        {"/run/user/1000", PercentEncoding::dbusAddressValue, "/run/user/1000"},
        // The separators of an address's parts, and what a URI would have kept.
        {"/tmp/a b,c;d=e~f:g", PercentEncoding::dbusAddressValue, "/tmp/a%20b%2Cc%3Bd%3De%7Ef%3Ag"},
        {"-_/.\\*", PercentEncoding::dbusAddressValue, "-_/.\\*"},
        {"", PercentEncoding::uriPath, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(PercentEncoding::encoded(c.text, c.kept), c.expected);
    }
}

TEST(PercentEncoding, DecodesEitherCaseAndLeavesAStrayPercentAsItIs) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"%41%62", "Ab"}, {"%e2%82%ac and %E2%82%AC", "€ and €"},
        {"a%2fb", "a/b"}, {"%00", "\0"s},
        {"%", "%"},       {"100%", "100%"},
        {"%4", "%4"},     {"%G1", "%G1"},
        {"%%41", "%A"},   {"plain", "plain"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(PercentEncoding::decoded(c.text), c.expected);
    }
}

TEST(PercentEncoding, EveryByteComesBackFromItsEscape) {
    std::string every;
    for (int byte = 0; byte < 256; ++byte)
        every += static_cast<char>(byte);
    // With what would end the path, or the value, that must never stay bare.
    const std::pair<std::string_view, std::string_view> formats[] = {
        {PercentEncoding::uriPath, "?# "}, {PercentEncoding::dbusAddressValue, ",;= "}};
    for (const auto& [kept, separators] : formats) {
        SCOPED_TRACE(kept);
        std::string escaped = PercentEncoding::encoded(every, kept);
        EXPECT_EQ(PercentEncoding::decoded(escaped), every);
        EXPECT_EQ(escaped.find_first_of(separators), std::string::npos);
        EXPECT_EQ(escaped.find('\0'), std::string::npos);
    }
}

} // namespace
