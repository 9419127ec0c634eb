#include "PlenwickCore/AppcastCheck.hpp"
#include "ScopedEnvironment.hpp"
#include "TestSupport.hpp"

#include <fstream>
#include <iterator>
#include <limits>
#include <thread>

#include <gtest/gtest.h>

using namespace plenwick;
using namespace std::chrono_literals;

namespace {

// A feed whose declaration names `encoding`, its bytes written in it.
std::string declared(const std::string& encoding, const std::string& body) {
    return R"(<?xml version="1.0" encoding=")" + encoding +
           R"("?>)"
           R"(<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">)"
           "<channel>" +
           body + "</channel></rss>";
}

std::string feed(const std::string& body) {
    return declared("utf-8", body);
}

struct FeedCase {
    const char* name;
    std::string document;
    std::optional<int64_t> expected;
};

TEST(AppcastCheck, ReadsTheGreatestAcceptedBuildOfSmallDocuments) {
    constexpr int64_t max = std::numeric_limits<int64_t>::max();
    constexpr int64_t min = std::numeric_limits<int64_t>::min();
    const FeedCase cases[] = {
        {"two enclosures and a padded element",
         feed(R"(<item><enclosure url="a" sparkle:version="40"/></item>)"
              R"(<item><enclosure url="b" sparkle:version="41"/></item>)"
              "<item><sparkle:version>  42  \n</sparkle:version></item>"),
         42},
        {"dotted version", feed("<sparkle:version>1.2.3</sparkle:version>"), std::nullopt},
        {"plus sign", feed("<sparkle:version>+7</sparkle:version>"), 7},
        {"minus sign", feed("<sparkle:version>-3</sparkle:version>"), -3},
        {"lone sign", feed("<sparkle:version>+</sparkle:version>"), std::nullopt},
        {"two signs", feed("<sparkle:version>+-1</sparkle:version>"), std::nullopt},
        {"inner space", feed("<sparkle:version>4 2</sparkle:version>"), std::nullopt},
        {"hexadecimal", feed("<sparkle:version>0x10</sparkle:version>"), std::nullopt},
        {"non-ASCII digits", feed("<sparkle:version>\u0664\u0662</sparkle:version>"), std::nullopt},
        {"empty element", feed("<sparkle:version></sparkle:version>"), std::nullopt},
        {"tabs and line ends around", feed("<sparkle:version>\t\r\n42\r\n</sparkle:version>"), 42},
        {"Unicode spaces around", feed("<sparkle:version>\u00a0\u2003 42\u2028</sparkle:version>"),
         42},
        {"largest 64-bit number", feed("<sparkle:version>9223372036854775807</sparkle:version>"),
         max},
        {"smallest 64-bit number", feed(R"(<enclosure sparkle:version="-9223372036854775808"/>)"),
         min},
        {"beyond 64 bits", feed("<sparkle:version>9223372036854775808</sparkle:version>"),
         std::nullopt},
        {"attribute with a leading space", feed(R"(<enclosure sparkle:version=" 41"/>)"),
         std::nullopt},
        {"attribute with a trailing space", feed(R"(<enclosure sparkle:version="41 "/>)"),
         std::nullopt},
        {"empty attribute", feed(R"(<enclosure sparkle:version=""/>)"), std::nullopt},
        {"enclosure without the attribute", feed(R"(<enclosure url="a" length="41"/>)"),
         std::nullopt},
        {"attribute on another element", feed(R"(<item sparkle:version="41"/>)"), std::nullopt},
        {"element name in another case", feed("<sparkle:Version>41</sparkle:Version>"),
         std::nullopt},
        {"prefix in another case", feed("<Sparkle:version>41</Sparkle:version>"), std::nullopt},
        {"enclosure in another case", feed(R"(<Enclosure sparkle:version="41"/>)"), std::nullopt},
        {"attribute in another case", feed(R"(<enclosure sparkle:Version="41"/>)"), std::nullopt},
        {"the namespace under another prefix",
         R"(<rss xmlns:sp="http://www.andymatuschak.org/xml-namespaces/sparkle">)"
         R"(<sp:version>41</sp:version><enclosure sp:version="41"/></rss>)",
         std::nullopt},
        {"outside any channel",
         R"(<sparkle:version>5</sparkle:version>)", // an undeclared prefix is just a name
         5},
        {"one item counted twice, duplicates harmless",
         feed(R"(<item><sparkle:version>8</sparkle:version><enclosure sparkle:version="8"/>)"
              R"(<enclosure sparkle:version="3"/></item>)"),
         8},
        {"text of nested elements joins the version",
         feed("<sparkle:version>4<b>2</b></sparkle:version>"), 42},
        {"a nested version element discards what came before",
         feed("<sparkle:version>9<sparkle:version>5</sparkle:version></sparkle:version>"), 5},
        {"text after the element is not gathered",
         feed("<sparkle:version>6</sparkle:version>99<title>100</title>"), 6},
        {"CDATA section", feed("<sparkle:version><![CDATA[77]]></sparkle:version>"), 77},
        {"character reference", feed("<sparkle:version>&#x33;1</sparkle:version>"), 31},
        {"internal entity",
         R"(<!DOCTYPE r [<!ENTITY build "12">]><r><sparkle:version>&build;</sparkle:version></r>)",
         12},
        {"no accepted value", feed("<item><title>Version 2.0</title></item>"), std::nullopt},
        {"empty input", "", std::nullopt},
        {"only white space", "  \n", std::nullopt},
        {"cut off after complete items",
         feed("<item><sparkle:version>40</sparkle:version></item>").substr(0, 180), std::nullopt},
        {"mismatched end tag", "<r><sparkle:version>40</sparkle:version></x>", std::nullopt},
        {"garbage after the root", "<r><sparkle:version>40</sparkle:version></r><r/>",
         std::nullopt},
    };
    for (const FeedCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AppcastCheck::latestBuild(c.document), c.expected) << c.document;
    }
}

TEST(AppcastCheck, ReadsTheRealFeeds) {
    const std::filesystem::path fixtures = test::fixtures();
    struct Case {
        const char* file;
        std::optional<int64_t> expected;
        // The same feed with one dotted version made a build number: shows that the file parses.
        const char* dotted = nullptr;
        const char* number = nullptr;
        std::optional<int64_t> expectedWithNumber = std::nullopt;
    };
    const Case cases[] = {
        {"appcast/hammerspoon_appcast.xml", 6933},
        {"appcast/maccy_appcast.xml", 62},
        {"appcast/sparkle_SampleAppcast.xml", 241},
        {"appcast/sparkle_testappcast.xml", std::nullopt, "<sparkle:version>5.0<",
         "<sparkle:version>50<", 50},
        {"appcast/sparkle_testappcast_channels.xml", std::nullopt, "<sparkle:version>7.0<",
         "<sparkle:version>70<", 70},
        {"appcast/sparkle_test-relative-urls.xml", std::nullopt, R"(sparkle:version="3.0")",
         R"(sparkle:version="30")", 30},
        {"appcast/sparkle_testnamespaces.xml", std::nullopt, R"(customNS:version="3.0")",
         R"(customNS:version="30")", std::nullopt},
        {"appcast/netsparkle_appcast_simple.xml", std::nullopt, R"(sparkle:version="2.0")",
         R"(sparkle:version="20")", 20},
        {"appcast/winsparkle_dotnet_example_appcast.xml", std::nullopt,
         R"(sparkle:version="1.1.0")", R"(sparkle:version="110")", 110},
        {"appcast/winsparkle_works_appcast.xml", std::nullopt, R"(sparkle:version="1.0.0000")",
         R"(sparkle:version="10000")", 10000},
        {"hostile/appcast_truncated.xml", std::nullopt, R"(sparkle:version="2.0")",
         R"(sparkle:version="20")", std::nullopt},
        {"hostile/appcast_not_xml.html", std::nullopt},
        {"hostile/appcast_xxe.xml", std::nullopt, "<sparkle:version>9.9<", "<sparkle:version>99<",
         99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::string document = test::readFile(fixtures / c.file);
        ASSERT_FALSE(document.empty());
        EXPECT_EQ(AppcastCheck::latestBuild(document), c.expected);
        if (!c.dotted)
            continue;
        size_t at = document.find(c.dotted);
        ASSERT_NE(at, std::string::npos);
        document.replace(at, std::string_view(c.dotted).size(), c.number);
        EXPECT_EQ(AppcastCheck::latestBuild(document), c.expectedWithNumber);
    }
}

TEST(AppcastCheck, NamesThePagesOfTheItemThatAnnouncesTheNewestBuild) {
    const std::filesystem::path fixtures = test::fixtures();
    using Pages = std::vector<std::string>;
    const std::string maccy =
        "https://github.com/p0deje/Maccy/releases/download/2.7.1/Maccy.app.zip";
    struct Case {
        const char* name;
        std::string document;
        int64_t build;
        Pages pages;
    };
    const Case cases[] = {
        {"an enclosure that carries the build, listed first and again among all",
         test::readFile(fixtures / "appcast/maccy_appcast.xml"),
         62,
         {maccy, maccy}},
        {"the build in an element: the enclosure, then the link",
         test::readFile(fixtures / "appcast/sparkle_SampleAppcast.xml"),
         241,
         {"https://you.com/app/Your%20Great%20App%201.4.zip", "https://sparkle-project.org"}},
        {"the first item that announces it, an older one before",
         feed(R"(<item><enclosure url="a" sparkle:version="4"/></item>)"
              R"(<item><enclosure url="b" sparkle:version="5"/><enclosure url="c"/></item>)"
              R"(<item><link>d</link><sparkle:version>5</sparkle:version></item>)"),
         5,
         {"b", "b", "c"}},
        {"the enclosures that carry it before the others, links last, text of a link only",
         feed(R"(<item><link> x<b>y</b>z </link><enclosure url="e"/><link>f</link>)"
              R"(<enclosure url="g" sparkle:version="6"/><enclosure sparkle:version="6"/></item>)"),
         6,
         {"g", "e", "g", " xz ", "f"}},
        {"only the innermost of nested items",
         feed(R"(<item><enclosure url="h"/><item><sparkle:version>7</sparkle:version></item>)"
              R"(<enclosure url="i"/></item>)"),
         7,
         {}},
        {"a build outside any item",
         feed("<sparkle:version>8</sparkle:version><link>j</link>"),
         8,
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto release = AppcastCheck::latestRelease(c.document);
        ASSERT_TRUE(release);
        EXPECT_EQ(release->build, c.build);
        EXPECT_EQ(release->pages, c.pages);
    }
}

TEST(AppcastCheck, ReadsFeedsInSingleByteCharsetsThatTheParserDoesNotKnow) {
    // "Plenwick – Café" in Windows-1252.
    const std::string title = "<title>Plenwick \x96 Caf\xE9</title>";
    const FeedCase cases[] = {
        {"Windows-1252",
         declared("windows-1252", title + R"(<item><enclosure sparkle:version="57"/></item>)"), 57},
        {"Windows-1252 in capitals",
         declared("WINDOWS-1252", title + "<sparkle:version>58</sparkle:version>"), 58},
        {"no-break spaces around the number",
         declared("windows-1252", "<sparkle:version>\xA0"
                                  "59\xA0</sparkle:version>"),
         59},
        {"ISO-8859-15 with a euro sign",
         declared("ISO-8859-15", "<title>\xA4</title><sparkle:version>60</sparkle:version>"), 60},
        {"KOI8-R",
         declared("KOI8-R", "<title>\xF0\xD2\xC9\xD7\xC5\xD4</title>"
                            "<sparkle:version>61</sparkle:version>"),
         61},
        {"a byte that Windows-1252 leaves undefined",
         declared("windows-1252", "<title>\x81</title><sparkle:version>62</sparkle:version>"),
         std::nullopt},
        {"a charset of several bytes a character",
         declared("Shift_JIS", "<title>\x83\x76</title><sparkle:version>63</sparkle:version>"),
         std::nullopt},
        {"a charset with shift states", declared("UTF-7", "<sparkle:version>64</sparkle:version>"),
         std::nullopt},
        {"a charset that does not keep ASCII",
         declared("IBM037", "<sparkle:version>65</sparkle:version>"), std::nullopt},
        {"a charset nobody knows", declared("x-plenwick", "<sparkle:version>66</sparkle:version>"),
         std::nullopt},
    };
    for (const FeedCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AppcastCheck::latestBuild(c.document), c.expected);
    }
}

TEST(AppcastCheck, ParsesOnManyThreadsAtOnce) {
    const std::filesystem::path fixtures = test::fixtures();
    const std::string document = test::readFile(fixtures / "appcast/hammerspoon_appcast.xml");
    std::vector<int> right(4, 0);
    {
        std::vector<std::jthread> threads;
        for (int& count : right)
            threads.emplace_back([&document, &count] {
                for (int i = 0; i < 20; ++i)
                    count += AppcastCheck::latestBuild(document) == 6933;
            });
    }
    EXPECT_EQ(right, std::vector<int>(4, 20));
}

TEST(AppcastCheck, NeverReadsOutsideTheDocument) {
    test::TemporaryFolder folder;
    std::ofstream(folder / "build.txt") << "77";
    std::ofstream(folder / "feed.dtd") << R"(<!ENTITY build "77">)";
    const std::string build = "file://" + (folder / "build.txt").string();
    const std::string dtd = "file://" + (folder / "feed.dtd").string();
    const FeedCase cases[] = {
        {"external general entity",
         R"(<!DOCTYPE r [<!ENTITY build SYSTEM ")" + build +
             R"(">]><r><sparkle:version>&build;</sparkle:version></r>)",
         std::nullopt},
        {"external entity beside a version",
         R"(<!DOCTYPE r [<!ENTITY build SYSTEM ")" + build +
             R"(">]><r><sparkle:version>1&build;</sparkle:version></r>)",
         1},
        {"external DTD subset",
         R"(<!DOCTYPE r SYSTEM ")" + dtd + R"("><r><sparkle:version>&build;</sparkle:version></r>)",
         std::nullopt},
        {"external parameter entity",
         R"(<!DOCTYPE r [<!ENTITY % defs SYSTEM ")" + dtd +
             R"("> %defs;]><r><sparkle:version>&build;</sparkle:version></r>)",
         std::nullopt},
    };
    for (const FeedCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AppcastCheck::latestBuild(c.document), c.expected) << c.document;
    }
}

TEST(AppcastCheck, EntityBombsEndAsNoBuild) {
    // Nine levels of ten references: a billion copies if expanded.
    std::string laughs = "<!DOCTYPE r [<!ENTITY l0 \"lol\">";
    for (int level = 1; level <= 9; ++level) {
        laughs += "<!ENTITY l" + std::to_string(level) + " \"";
        for (int i = 0; i < 10; ++i)
            laughs += "&l" + std::to_string(level - 1) + ";";
        laughs += "\">";
    }
    laughs +=
        "]><r><sparkle:version>1&l9;</sparkle:version><sparkle:version>2</sparkle:version></r>";

    // One big entity referenced many times: quadratic growth without nesting.
    std::string big = "<!DOCTYPE r [<!ENTITY big \"" + std::string(50000, 'x') + "\">]><r>";
    for (int i = 0; i < 20000; ++i)
        big += "&big;";
    big += "<sparkle:version>2</sparkle:version></r>";

    EXPECT_EQ(AppcastCheck::latestBuild(laughs), std::nullopt);
    EXPECT_EQ(AppcastCheck::latestBuild(big), std::nullopt);
}

TEST(AppcastCheck, AsksAtMostOncePerInterval) {
    const AppcastCheck::Date now = AppcastCheck::Date(1700000000s);
    struct Case {
        const char* name;
        std::optional<AppcastCheck::Date> last;
        bool expected;
    };
    const Case cases[] = {
        {"never checked", std::nullopt, true},
        {"one second short of a day", now - 86399s, false},
        {"a nanosecond short of a day", now - 86400s + 1ns, false},
        {"exactly a day", now - 86400s, true},
        {"long ago", now - 86400s * 365, true},
        {"an hour in the future", now + 1h, false},
        {"right now", now, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(AppcastCheck::shouldCheck(now, c.last), c.expected) << c.name;

    // Dates so far apart that their difference does not fit the clock still compare.
    EXPECT_TRUE(AppcastCheck::shouldCheck(AppcastCheck::Date::max(), AppcastCheck::Date::min()));
    EXPECT_FALSE(AppcastCheck::shouldCheck(AppcastCheck::Date::min(), AppcastCheck::Date::max()));
    EXPECT_EQ(AppcastCheck::interval, 86400);
}

TEST(AppcastCheck, NudgesOnlyForANewerBuild) {
    struct Case {
        int64_t current;
        std::optional<int64_t> latest;
        bool nudged;
    };
    const Case cases[] = {
        {10, 11, true},  {10, 10, false},
        {12, 11, false}, {10, std::nullopt, false},
        {0, 1, true},    {std::numeric_limits<int64_t>::min(), -3, true},
    };
    for (const Case& c : cases) {
        auto text = AppcastCheck::nudgeText(c.current, c.latest);
        EXPECT_EQ(text.has_value(), c.nudged) << c.current;
        if (text) {
            EXPECT_EQ(*text, " \u00b7 Update available: open Plenwick");
        }
    }
}

TEST(AppcastCheck, TheFeedComesFromTheMakersHostUnlessTheEnvironmentSaysOtherwise) {
    EXPECT_TRUE(AppcastCheck::feedURL.starts_with("https://"));
    EXPECT_TRUE(AppcastCheck::feedURL.ends_with("/plenwick/appcast.xml"));

    test::ScopedEnvironment environment;
    environment.set("PLENWICK_FEED_URL", "http://127.0.0.1:9/feed.xml");
    EXPECT_EQ(AppcastCheck::feedURLFromEnvironment(), "http://127.0.0.1:9/feed.xml");
    environment.set("PLENWICK_FEED_URL", "");
    EXPECT_EQ(AppcastCheck::feedURLFromEnvironment(), AppcastCheck::feedURL);
}

} // namespace
