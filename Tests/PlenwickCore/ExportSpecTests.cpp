#include "PlenwickCore/ExportSpec.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

using namespace plenwick;

namespace {

TEST(ExportSpec, DefaultsSurviveAJsonRoundTrip) {
    auto text = ExportSpec::encodeList(ExportSpec::defaults());
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, R"([{"id":"instagram","folder":"instagram","rule":{"width":{"_0":1080}},)"
                     R"("quality":0.85},{"id":"threads","folder":"threads","rule":{"width":)"
                     R"({"_0":1080}},"quality":0.85},{"id":"facebook","folder":"facebook",)"
                     R"("rule":{"longEdge":{"_0":2048}},"quality":0.85}])");
    auto decoded = ExportSpec::decodeList(*text);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded.value(), ExportSpec::defaults());
}

TEST(ExportSpec, OddSpecsSurviveAJsonRoundTrip) {
    std::vector<ExportSpec> specs{
        {"a \"quoted\" id", "nested/folder", SizeRule::longEdge(-7), 0.5000000000000001},
        {"", "", SizeRule::width(std::numeric_limits<int64_t>::max()), 1e-300},
    };
    auto decoded = ExportSpec::decodeList(*ExportSpec::encodeList(specs));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded.value(), specs);
}

TEST(ExportSpec, AQualityWithoutJsonFormIsNotEncoded) {
    EXPECT_FALSE(ExportSpec::encodeList({{"x", "x", SizeRule::width(1), std::nan("")}}));
}

struct DecodeCase {
    const char* json;
    // Empty when the text decodes.
    std::optional<DecodingError::Kind> error;
    const char* description = nullptr;
};

TEST(ExportSpec, DecodesByTheRules) {
    using Kind = DecodingError::Kind;
    const DecodeCase cases[] = {
        {R"([{"id":"a","folder":"b","rule":{"width":{"_0":5}},"quality":1}])", {}},
        {R"([{"quality":1,"rule":{"longEdge":{"_0":5,"x":1}},"folder":"b","id":"a","extra":[]}])",
         {}},
        {R"([{"id":"a","folder":"b","rule":{"width":{"_0":5},"other":1},"quality":1}])", {}},
        {R"([{"id":"a","folder":"b","rule":{"width":{"_0":5.0}},"quality":1}])", {}},
        {R"([{"id":"a","folder":"b","rule":{"width":{"_0":5},"longEdge":{"_0":5}},"quality":1}])",
         Kind::typeMismatch, "Invalid number of keys found, expected one."},
        {R"([{"id":"a","folder":"b","rule":{},"quality":1}])", Kind::typeMismatch,
         "Invalid number of keys found, expected one."},
        {R"([{"id":"a","folder":"b","rule":{"height":{"_0":5}},"quality":1}])", Kind::typeMismatch,
         "Invalid number of keys found, expected one."},
        {R"([{"id":"a","folder":"b","rule":{"width":{"_0":5}}}])", Kind::keyNotFound},
        {R"([{"id":null,"folder":"b","rule":{"width":{"_0":5}},"quality":1}])",
         Kind::valueNotFound},
        {R"([{"id":1,"folder":"b","rule":{"width":{"_0":5}},"quality":1}])", Kind::typeMismatch},
        {R"([{"id":"a","folder":"b","rule":{"width":{"_0":5.5}},"quality":1}])",
         Kind::dataCorrupted},
        {R"([{"id":"a","folder":"b","rule":{"width":{"_0":9223372036854775808}},"quality":1}])",
         Kind::dataCorrupted},
        {R"([{"id":"a","folder":"b","rule":{"width":{}},"quality":1}])", Kind::keyNotFound},
        {R"([{"id":"a","folder":"b","rule":{"width":5},"quality":1}])", Kind::typeMismatch},
        {R"([{"id":"a","folder":"b","rule":{"width":{"_0":5}},"quality":"high"}])",
         Kind::typeMismatch},
        {R"({"id":"a"})", Kind::typeMismatch},
        {R"([1])", Kind::typeMismatch},
        {R"([{"id":"a")", Kind::dataCorrupted},
        {"", Kind::dataCorrupted},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.json);
        auto decoded = ExportSpec::decodeList(c.json);
        if (!c.error) {
            EXPECT_TRUE(decoded);
            continue;
        }
        ASSERT_FALSE(decoded);
        EXPECT_EQ(decoded.error().kind, *c.error);
        if (c.description) {
            EXPECT_EQ(decoded.error().description, c.description);
        }
    }
}

struct UndecodableCase {
    const char* name;
    std::string json;
};

TEST(ExportSpec, TextBeyondWhatAListCanHoldIsCorruptDataNotAnException) {
    auto spec = [](const std::string& pixels, const std::string& quality) {
        return R"([{"id":"a","folder":"b","rule":{"width":{"_0":)" + pixels + R"(}},"quality":)" +
               quality + "}]";
    };
    auto nested = [](size_t depth, char open, char close) {
        return std::string(depth, open) + std::string(depth, close);
    };
    const UndecodableCase cases[] = {
        {"a quality above the range of a double", spec("5", "1e400")},
        {"a quality below the range of a double", spec("5", "-1e400")},
        {"a pixel count beyond the range of a double", spec("-1e400", "1")},
        {"arrays nested a hundred thousand deep", nested(100000, '[', ']')},
        {"arrays nested a hundred thousand deep, never closed", std::string(100000, '[')},
        {"objects nested deep as the value of a member",
         R"([{"a":)" + std::string(5000, '{') + "}]"},
        {"arrays nested deep inside an unknown member of a spec",
         spec("5", "1").insert(2, R"("extra":)" + nested(65, '[', ']') + ",")},
    };
    for (const UndecodableCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto decoded = ExportSpec::decodeList(c.json);
        ASSERT_FALSE(decoded);
        EXPECT_EQ(decoded.error().kind, DecodingError::Kind::dataCorrupted);
        EXPECT_EQ(decoded.error().codingPath, "");
        EXPECT_TRUE(decoded.error().description.starts_with("The given data was not valid JSON."))
            << decoded.error().description;
    }
    // The bound leaves room for every list that can be stored, brackets inside strings
    // included.
    auto deepInString = spec("5", "1").insert(8, nested(100, '[', '{'));
    EXPECT_TRUE(ExportSpec::decodeList(deepInString)) << deepInString;
    EXPECT_TRUE(
        ExportSpec::decodeList(spec("5", "1").insert(2, "\"x\":" + nested(60, '[', ']') + ",")));
}

TEST(ExportSpec, TheRuleErrorNamesTheRuleObject) {
    auto decoded =
        ExportSpec::decodeList(R"([{"id":"a","folder":"b","rule":{"width":{"_0":5}},"quality":1},)"
                               R"({"id":"a","folder":"b","rule":{},"quality":1}])");
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error().codingPath, "[1].rule");
}

} // namespace
