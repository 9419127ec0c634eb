#include "DiagnosticRecord.hpp"
#include "PlatformServices/UTF8.hpp"

#include <gtest/gtest.h>

using namespace plenwick;
using namespace std::chrono_literals;

namespace {

DiagnosticRecord recordWithSummary(std::string summary) {
    DiagnosticRecord record;
    record.date = std::chrono::system_clock::time_point(1796779425s);
    record.items = 1;
    record.providerTypes = {"public.png,public.file-url"};
    record.loaded = {"caf\xE9.png"};
    record.notes = {"item 0: file-url caf\xE9.txt is not an image"};
    record.summary = std::move(summary);
    return record;
}

TEST(DiagnosticRecord, IsOneLineOfValidUTF8WhateverBytesTheNamesHold) {
    const std::string replacement = "\xEF\xBF\xBD";
    const std::string fields = "2026-12-09 01:23:45 +0000 items=1 "
                               "types=[\"public.png,public.file-url\"] loaded=[\"caf" +
                               replacement + ".png\"] notes=[\"item 0: file-url caf" + replacement +
                               ".txt is not an image\"] nudge=none ";
    struct Case {
        const char* what;
        std::string summary;
        std::string written;
    };
    const Case cases[] = {
        {"valid UTF-8 stays",
         "failed on Gr\xC3\xBC\xC3\x9F"
         "e.png",
         "failed on Grüße.png"},
        {"a Latin-1 byte", "failed on caf\xE9.png", "failed on caf" + replacement + ".png"},
        {"a sequence cut off", "failed on caf\xC3", "failed on caf" + replacement},
        {"an overlong slash",
         "a\xC0\xAF"
         "b",
         "a" + replacement + replacement + "b"},
        {"a surrogate", "a\xED\xA0\x80", "a" + replacement + replacement + replacement},
        {"line breaks and controls",
         "a\nb\tc\rd\x1B"
         "e\x7F",
         R"(a\nb\tc\rd\u{1b}e\u{7f})"},
        {"a break inside bytes that are not UTF-8", "\xFF\n\xFE",
         replacement + "\\n" + replacement},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string text = recordWithSummary("share finished in 0.10s: " + c.summary).text();
        EXPECT_TRUE(UTF8::isValid(text)) << text;
        EXPECT_EQ(text.find('\n'), std::string::npos);
        EXPECT_EQ(text, fields + "share finished in 0.10s: " + c.written);
    }
}

} // namespace
