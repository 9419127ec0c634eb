#include "PlatformServices/ListNotation.hpp"

#include <gtest/gtest.h>

using namespace plenwick;
using namespace std::string_literals;

namespace {

struct Case {
    std::vector<std::string> elements;
    std::string expected;
};

TEST(ListNotation, QuotesEachElementAndEscapesWhatWouldBreakTheLine) {
    const Case cases[] = {
        {{}, "[]"},
        {{""}, R"([""])"},
        {{"public.jpeg,public.file-url"}, R"(["public.jpeg,public.file-url"])"},
        {{"a", "b", "c"}, R"(["a", "b", "c"])"},
        {{R"(say "cheese".jpg)"}, R"(["say \"cheese\".jpg"])"},
        {{R"(C:\photos\a.jpg)"}, R"(["C:\\photos\\a.jpg"])"},
        {{"line\nbreak\ttab\rreturn"}, R"(["line\nbreak\ttab\rreturn"])"},
        {{"nul\0byte"s}, R"(["nul\0byte"])"},
        {{"bell\x07"
          "escape\x1B"
          "delete\x7F"},
         R"(["bell\u{7}escape\u{1b}delete\u{7f}"])"},
        {{"next line\xC2\x85"}, R"(["next line\u{85}"])"},
        {{"Grüße 📷 it's"}, R"(["Grüße 📷 it's"])"},
        {{"caf\xE9.jpg"}, "[\"caf\xEF\xBF\xBD.jpg\"]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(ListNotation::format(c.elements), c.expected);
    }
}

} // namespace
