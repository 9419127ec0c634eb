#include "PlenwickCore/SpecStore.hpp"
#include "ScopedEnvironment.hpp"
#include "TestSupport.hpp"

#include <cmath>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

using namespace plenwick;

namespace {

Preferences::Data bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

const std::vector<ExportSpec> one{{"mastodon", "mastodon", SizeRule::longEdge(1920), 0.9}};

struct LoadCase {
    const char* name;
    // Puts the stored value in place; nothing stored when empty.
    std::function<void(Preferences&)> store;
    std::vector<ExportSpec> expected;
};

TEST(SpecStore, LoadsWhatIsUsableAndOtherwiseTheDefaultsWithoutTouchingTheStoredValue) {
    const auto& defaults = ExportSpec::defaults();
    auto data = [](std::string text) {
        return [text](Preferences& p) { ASSERT_TRUE(p.setData(SpecStore::specsKey, bytes(text))); };
    };
    const LoadCase cases[] = {
        {"nothing stored", nullptr, defaults},
        {"an integer", [](Preferences& p) { ASSERT_TRUE(p.setInteger(SpecStore::specsKey, 3)); },
         defaults},
        {"a date",
         [](Preferences& p) {
             ASSERT_TRUE(p.setDate(SpecStore::specsKey, Preferences::Date(std::chrono::hours(1))));
         },
         defaults},
        {"not JSON", data("instagram,threads"), defaults},
        {"no bytes", data(""), defaults},
        {"an empty list", data("[]"), defaults},
        {"an object", data(R"({"id":"x"})"), defaults},
        {"null", data("null"), defaults},
        {"cut off", data(R"([{"id":"mastodon","folder":"mastodon","rule":{"longEdge":)"), defaults},
        {"one spec without quality",
         data(R"([{"id":"a","folder":"a","rule":{"width":{"_0":1}},"quality":1},)"
              R"({"id":"b","folder":"b","rule":{"width":{"_0":1}}}])"),
         defaults},
        {"a rule with two case names",
         data(R"([{"id":"a","folder":"a","rule":{"width":{"_0":1},"longEdge":{"_0":1}},)"
              R"("quality":1}])"),
         defaults},
        {"a quality beyond the range of a double",
         data(R"([{"id":"a","folder":"a","rule":{"width":{"_0":1}},"quality":1e400}])"), defaults},
        {"a pixel count beyond the range of a double",
         data(R"([{"id":"a","folder":"a","rule":{"width":{"_0":-1e400}},"quality":1}])"), defaults},
        {"arrays nested deeper than any list", data(std::string(100000, '[')), defaults},
        {"invalid UTF-8",
         data("[{\"id\":\"\xff\",\"folder\":\"a\",\"rule\":{\"width\":{\"_0\":1}},"
              "\"quality\":1}]"),
         defaults},
        {"one spec",
         data(
             R"([{"id":"mastodon","folder":"mastodon","rule":{"longEdge":{"_0":1920}},"quality":0.9}])"),
         one},
        {"members in another order, one unknown",
         data(
             R"([{"quality":0.9,"extra":[1],"rule":{"longEdge":{"_0":1920}},"folder":"mastodon","id":"mastodon"}])"),
         one},
        {"order, duplicate ids and odd values kept",
         data(R"([{"id":"b","folder":"../up","rule":{"width":{"_0":-1}},"quality":7},)"
              R"({"id":"b","folder":"","rule":{"longEdge":{"_0":0}},"quality":0}])"),
         {{"b", "../up", SizeRule::width(-1), 7}, {"b", "", SizeRule::longEdge(0), 0}}},
    };
    test::TemporaryFolder folder;
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = folder / (std::string(c.name) + ".sqlite3");
        auto preferences = Preferences::open(file).valueOr(nullptr);
        ASSERT_TRUE(preferences);
        if (c.store)
            c.store(*preferences);
        const auto storedData = preferences->data(SpecStore::specsKey).value();
        const auto storedInteger = preferences->integer(SpecStore::specsKey).value();
        const auto storedDate = preferences->date(SpecStore::specsKey).value();

        EXPECT_EQ(SpecStore(preferences).load(), c.expected);

        auto reopened = Preferences::open(file).valueOr(nullptr);
        EXPECT_EQ(reopened->data(SpecStore::specsKey).value(), storedData);
        EXPECT_EQ(reopened->integer(SpecStore::specsKey).value(), storedInteger);
        EXPECT_EQ(reopened->date(SpecStore::specsKey).value(), storedDate);
    }
}

TEST(SpecStore, SavesTheWholeListAsCompactJsonThatTheOtherProgramReads) {
    test::TemporaryFolder folder;
    auto window = Preferences::open(folder / "suite.sqlite3").valueOr(nullptr);
    auto share = Preferences::open(folder / "suite.sqlite3").valueOr(nullptr);
    ASSERT_TRUE(window && share);
    SpecStore settings(window);

    ASSERT_TRUE(settings.save(one));
    EXPECT_EQ(share->data(SpecStore::specsKey).value(),
              bytes(R"([{"id":"mastodon","folder":"mastodon","rule":{"longEdge":{"_0":1920}},)"
                    R"("quality":0.9}])"));
    EXPECT_EQ(SpecStore(share).load(), one);

    std::vector<ExportSpec> reversed(ExportSpec::defaults().rbegin(),
                                     ExportSpec::defaults().rend());
    ASSERT_TRUE(settings.save(reversed));
    EXPECT_EQ(SpecStore(share).load(), reversed);

    // An empty list is stored as it is, and a share still gets the defaults.
    ASSERT_TRUE(settings.save({}));
    EXPECT_EQ(share->data(SpecStore::specsKey).value(), bytes("[]"));
    EXPECT_EQ(SpecStore(share).load(), ExportSpec::defaults());
}

TEST(SpecStore, AListWithoutJsonFormIsNotSavedAndTheEarlierOneStays) {
    test::TemporaryFolder folder;
    auto preferences = Preferences::open(folder / "suite.sqlite3").valueOr(nullptr);
    SpecStore store(preferences);
    ASSERT_TRUE(store.save(one));
    std::vector<ExportSpec> broken = one;
    broken.push_back({"x", "x", SizeRule::width(1), std::nan("")});

    EXPECT_FALSE(store.save(broken));
    EXPECT_EQ(store.load(), one);
}

TEST(SpecStore, WithoutASuiteItLoadsTheDefaultsAndSavesNothing) {
    SpecStore store(nullptr);
    EXPECT_EQ(store.load(), ExportSpec::defaults());
    EXPECT_FALSE(store.save(one));
}

TEST(SpecStore, TheOutputRootIsSocialsInThePicturesFolder) {
    test::TemporaryFolder home;
    struct Case {
        const char* userDirs; // nullptr: no user-dirs.dirs
        std::filesystem::path expected;
    };
    const Case cases[] = {
        {nullptr, home / "Pictures/Socials"},
        {"XDG_PICTURES_DIR=\"$HOME/Bilder\"\n", home / "Bilder/Socials"},
        {"XDG_PICTURES_DIR=\"$HOME\"\n", home / "Pictures/Socials"},
        {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n", home / "Pictures/Socials"},
        {"XDG_PICTURES_DIR=\"/srv/photos\"\n", "/srv/photos/Socials"},
    };
    test::ScopedEnvironment environment;
    environment.set("HOME", home.path().string());
    environment.set("XDG_CONFIG_HOME", (home / ".config").string());
    std::filesystem::create_directories(home / ".config");

    for (const Case& c : cases) {
        SCOPED_TRACE(c.userDirs ? c.userDirs : "no user-dirs.dirs");
        std::filesystem::remove(home / ".config/user-dirs.dirs");
        if (c.userDirs)
            std::ofstream(home / ".config/user-dirs.dirs") << c.userDirs;
        EXPECT_EQ(SpecStore::outputRoot(), c.expected);
        EXPECT_FALSE(std::filesystem::exists(SpecStore::outputRoot()));
    }
}

} // namespace
