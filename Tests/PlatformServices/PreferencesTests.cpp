#include "PlatformServices/LogCapture.hpp"
#include "PlatformServices/Preferences.hpp"
#include "ScopedMount.hpp"
#include "TestSupport.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace plenwick;
using namespace std::chrono_literals;

namespace {

// Points XDG_CONFIG_HOME at a fresh folder for one test and puts the old value back.
class PreferencesTest : public testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            m_saved = old;
        setenv("XDG_CONFIG_HOME", (m_folder / "config").c_str(), 1);
    }
    void TearDown() override {
        if (m_saved)
            setenv("XDG_CONFIG_HOME", m_saved->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
    }

    std::filesystem::path config() const { return m_folder / "config"; }
    std::filesystem::path file(const std::string& name) const { return m_folder / name; }

private:
    test::TemporaryFolder m_folder;
    std::optional<std::string> m_saved;
};

void write(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

mode_t permissions(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return 0;
    return status.st_mode & 07777;
}

// Reads the file the way another program would, to pin down the stored form.
std::vector<std::string> rawRows(const std::filesystem::path& file) {
    sqlite3* raw = nullptr;
    sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> database(raw, sqlite3_close);
    std::vector<std::string> rows;
    sqlite3_exec(
        database.get(), "SELECT key, kind, typeof(value) FROM preferences ORDER BY key",
        [](void* context, int, char** values, char**) {
            static_cast<std::vector<std::string>*>(context)->push_back(
                std::string(values[0]) + " " + values[1] + " " + values[2]);
            return 0;
        },
        &rows, nullptr);
    return rows;
}

void executeRaw(const std::filesystem::path& file, const char* sql) {
    sqlite3* raw = nullptr;
    sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> database(raw, sqlite3_close);
    ASSERT_EQ(sqlite3_exec(database.get(), sql, nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(database.get());
}

TEST_F(PreferencesTest, KeepsTheThreeKindsApart) {
    auto preferences = Preferences::open(file("kinds.sqlite3")).valueOr(nullptr);
    ASSERT_TRUE(preferences);
    const Preferences::Data bytes{0, 1, 0xff, 0, 42};
    const Preferences::Date when = Preferences::Date(1700000000s) + 250ms;
    ASSERT_TRUE(preferences->setData("data", bytes));
    ASSERT_TRUE(preferences->setData("empty", {}));
    ASSERT_TRUE(preferences->setDate("date", when));
    ASSERT_TRUE(preferences->setInteger("integer", std::numeric_limits<int64_t>::min()));

    EXPECT_EQ(preferences->data("data").value(), bytes);
    EXPECT_EQ(preferences->data("empty").value(), Preferences::Data{});
    EXPECT_EQ(preferences->date("date").value(), when);
    EXPECT_EQ(preferences->integer("integer").value(), std::numeric_limits<int64_t>::min());

    for (const char* key : {"data", "empty"}) {
        EXPECT_FALSE(preferences->date(key).value()) << key;
        EXPECT_FALSE(preferences->integer(key).value()) << key;
    }
    EXPECT_FALSE(preferences->data("date").value());
    EXPECT_FALSE(preferences->integer("date").value());
    EXPECT_FALSE(preferences->data("integer").value());
    EXPECT_FALSE(preferences->date("integer").value());
    EXPECT_FALSE(preferences->data("absent").value());

    // A new value of another kind replaces the old one under the same key.
    ASSERT_TRUE(preferences->setInteger("date", 7));
    EXPECT_FALSE(preferences->date("date").value());
    EXPECT_EQ(preferences->integer("date").value(), 7);
    ASSERT_TRUE(preferences->remove("date"));
    EXPECT_FALSE(preferences->integer("date").value());
}

TEST_F(PreferencesTest, ValuesOfTheRightKindButAnotherStorageTypeReadAsAbsent) {
    const std::filesystem::path path = file("foreign.sqlite3");
    ASSERT_TRUE(Preferences::open(path));
    executeRaw(path, "INSERT INTO preferences VALUES ('text as data', 'data', 'abc'),"
                     "('real as integer', 'integer', 1.5), ('text as date', 'date', 'today'),"
                     "('far date', 'date', 1e300), ('whole-second date', 'date', 86400)");
    auto preferences = Preferences::open(path).valueOr(nullptr);
    ASSERT_TRUE(preferences);
    EXPECT_FALSE(preferences->data("text as data").value());
    EXPECT_FALSE(preferences->integer("real as integer").value());
    EXPECT_FALSE(preferences->date("text as date").value());
    EXPECT_FALSE(preferences->date("far date").value());
    EXPECT_EQ(preferences->date("whole-second date").value(), Preferences::Date(86400s));
}

// A suite that can no longer be read (here its table went while it was open) answers every read
// with the failure, never as though the key were absent, so that no caller takes it for one.
TEST_F(PreferencesTest, AReadThatFailsIsAFailureNotAnAbsentValue) {
    const std::filesystem::path path = file("gone.sqlite3");
    auto preferences = Preferences::open(path).valueOr(nullptr);
    ASSERT_TRUE(preferences);
    ASSERT_TRUE(preferences->setData("data", {1}));
    ASSERT_TRUE(preferences->setDate("date", Preferences::Date(1000s)));
    ASSERT_TRUE(preferences->setInteger("integer", 1));
    executeRaw(path, "DROP TABLE preferences");

    const struct {
        const char* kind;
        std::optional<std::string> failure;
    } reads[] = {
        {"data",
         [&]() -> std::optional<std::string> {
             auto read = preferences->data("data");
             return read ? std::nullopt : std::optional(read.error().message);
         }()},
        {"date",
         [&]() -> std::optional<std::string> {
             auto read = preferences->date("date");
             return read ? std::nullopt : std::optional(read.error().message);
         }()},
        {"integer",
         [&]() -> std::optional<std::string> {
             auto read = preferences->integer("integer");
             return read ? std::nullopt : std::optional(read.error().message);
         }()},
    };
    for (const auto& read : reads) {
        SCOPED_TRACE(read.kind);
        ASSERT_TRUE(read.failure);
        EXPECT_NE(read.failure->find("no such table: preferences"), std::string::npos)
            << *read.failure;
    }
}

TEST_F(PreferencesTest, ASuiteLivesInThePrivateConfigFolderAndSurvivesAReopen) {
    const std::filesystem::path path = Preferences::suiteFile("suite");
    EXPECT_EQ(path, config() / "plenwick" / "suite.sqlite3");
    {
        auto preferences = Preferences::open(std::string("suite")).valueOr(nullptr);
        ASSERT_TRUE(preferences);
        ASSERT_TRUE(preferences->setData("exportSpecs", {'[', ']'}));
        ASSERT_TRUE(preferences->setDate("updateLastCheck", Preferences::Date(1000s)));
        ASSERT_TRUE(preferences->setInteger("updateLatestBuild", 12));

        EXPECT_EQ(permissions(config()), 0700u);
        EXPECT_EQ(permissions(config() / "plenwick"), 0700u);
        EXPECT_EQ(permissions(path), 0600u);
        // The write-ahead log and its index exist while the suite is open.
        EXPECT_EQ(permissions(path.string() + "-wal"), 0600u);
        EXPECT_EQ(permissions(path.string() + "-shm"), 0600u);
        EXPECT_EQ(rawRows(path),
                  (std::vector<std::string>{"exportSpecs data blob", "updateLastCheck date real",
                                            "updateLatestBuild integer integer"}));
    }
    auto reopened = Preferences::open("suite").valueOr(nullptr);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->data("exportSpecs").value(), (Preferences::Data{'[', ']'}));
    EXPECT_EQ(reopened->date("updateLastCheck").value(), Preferences::Date(1000s));
    EXPECT_EQ(reopened->integer("updateLatestBuild").value(), 12);
}

TEST_F(PreferencesTest, RefusesNamesThatLeaveTheFolder) {
    for (const char* name : {"", ".", "..", "../escape", "a/b"})
        EXPECT_FALSE(Preferences::open(name)) << name;
    EXPECT_FALSE(std::filesystem::exists(file("escape.sqlite3")));
}

TEST_F(PreferencesTest, TwoProcessesWritingAtOnceLoseNothing) {
    // Each round is a fresh suite that both processes set up at the same moment: the set-up of a
    // new file is where they race, so they are held at a barrier until both are ready.
    constexpr int rounds = 100;
    constexpr int writes = 100;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::filesystem::path path = file("shared" + std::to_string(round) + ".sqlite3");
        int barrier[2];
        ASSERT_EQ(::pipe(barrier), 0);
        std::vector<pid_t> children;
        for (char prefix : {'a', 'b'}) {
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                ::close(barrier[1]);
                // The read ends when the test closes the pipe's other end, for both at once.
                char ignored;
                if (::read(barrier[0], &ignored, 1) != 0)
                    _exit(2);
                // Each process opens the file itself, as the two programs do; a failure says
                // why on standard error, which the test's output shows.
                auto opened = Preferences::open(path);
                if (!opened) {
                    std::fprintf(stderr, "writer %c cannot open: %s\n", prefix,
                                 opened.error().message.c_str());
                    _exit(1);
                }
                for (int i = 0; i < writes; ++i) {
                    auto stored =
                        opened.value()->setInteger(std::string(1, prefix) + std::to_string(i), i);
                    if (!stored) {
                        std::fprintf(stderr, "writer %c cannot store %d: %s\n", prefix, i,
                                     stored.error().message.c_str());
                        _exit(1);
                    }
                }
                _exit(0);
            }
            children.push_back(child);
        }
        ::close(barrier[0]);
        ::close(barrier[1]);
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer failed";
        }

        auto preferences = Preferences::open(path).valueOr(nullptr);
        ASSERT_TRUE(preferences);
        int found = 0;
        for (char prefix : {'a', 'b'})
            for (int i = 0; i < writes; ++i) {
                // Appended, not `string + to_string(i)`: GCC 12 at -O3 warns falsely on that
                // (-Wrestrict).
                std::string key(1, prefix);
                key += std::to_string(i);
                found += preferences->integer(key).value() == i;
            }
        EXPECT_EQ(found, 2 * writes);
        EXPECT_EQ(rawRows(path).size(), size_t(2 * writes));
    }
}

TEST_F(PreferencesTest, ThreadsSharingOneSuiteLoseNothing) {
    auto preferences = Preferences::open(file("threads.sqlite3")).valueOr(nullptr);
    ASSERT_TRUE(preferences);
    {
        std::vector<std::jthread> writers;
        for (int thread = 0; thread < 4; ++thread)
            writers.emplace_back([&preferences, thread] {
                for (int i = 0; i < 200; ++i) {
                    std::string key = std::to_string(thread) + "." + std::to_string(i);
                    EXPECT_TRUE(preferences->setInteger(key, i));
                    EXPECT_TRUE(preferences->integer(key));
                }
            });
    }
    EXPECT_EQ(rawRows(file("threads.sqlite3")).size(), 800u);
}

struct CorruptCase {
    const char* name;
    // Turns a sound database file (or nothing) into the damaged one.
    void (*damage)(const std::filesystem::path&);
};

TEST_F(PreferencesTest, ADamagedFileDoesNotOpenAndIsLeftAsItWas) {
    const CorruptCase cases[] = {
        {"text instead of a database",
         [](const std::filesystem::path& path) {
             std::string text;
             while (text.size() < 8192)
                 text += "These are my notes, not a database.\n";
             write(path, text);
         }},
        {"a page overwritten",
         [](const std::filesystem::path& path) {
             std::string bytes = test::readFile(path);
             ASSERT_GT(bytes.size(), 3 * 4096u);
             std::fill(bytes.begin() + 4096, bytes.begin() + 8192, '\xa5');
             write(path, bytes);
         }},
        {"cut off",
         [](const std::filesystem::path& path) {
             std::string bytes = test::readFile(path);
             write(path, bytes.substr(0, bytes.size() / 2));
         }},
        {"another program's table of that name",
         [](const std::filesystem::path& path) {
             std::filesystem::remove(path);
             executeRaw(path, "CREATE TABLE preferences(name TEXT, setting TEXT)");
         }},
    };
    for (const CorruptCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path path = file(std::string(c.name) + ".sqlite3");
        {
            auto preferences = Preferences::open(path).valueOr(nullptr);
            ASSERT_TRUE(preferences);
            for (int i = 0; i < 300; ++i)
                ASSERT_TRUE(
                    preferences->setData("key " + std::to_string(i), Preferences::Data(100, 'x')));
        }
        c.damage(path);
        const std::string before = test::readFile(path);

        EXPECT_FALSE(Preferences::open(path));
        EXPECT_TRUE(test::readFile(path) == before) << "the file was changed";
    }
}

TEST_F(PreferencesTest, AnEmptyFileIsAFreshSuite) {
    write(file("empty.sqlite3"), "");
    auto preferences = Preferences::open(file("empty.sqlite3")).valueOr(nullptr);
    ASSERT_TRUE(preferences);
    EXPECT_TRUE(preferences->setInteger("k", 1));
}

TEST_F(PreferencesTest, AnUnusableSharedSuiteFallsBackToTheProgramsOwnAndSaysSoOnce) {
    const std::filesystem::path shared =
        Preferences::suiteFile(std::string(Preferences::sharedSuiteName));
    std::filesystem::create_directories(shared.parent_path());
    write(shared, std::string(4096, '\x7f'));

    Log::Capture capture;
    auto preferences = Preferences::openShared("plenwick-share");
    ASSERT_TRUE(preferences);
    ASSERT_TRUE(preferences->setInteger("updateLatestBuild", 3));

    EXPECT_TRUE(test::readFile(shared) == std::string(4096, '\x7f')) << "the file was changed";
    EXPECT_EQ(
        Preferences::open("plenwick-share").valueOr(nullptr)->integer("updateLatestBuild").value(),
        3);
    auto messages = capture.messages("preferences");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("using plenwick-share instead"), std::string::npos) << messages[0];
}

TEST_F(PreferencesTest, WithoutAUsableConfigFolderTheSuiteLivesInMemory) {
    // A file where the folder should be stops every suite, whoever runs the test.
    std::filesystem::create_directories(config());
    write(config() / "plenwick", "not a folder");

    Log::Capture capture;
    auto preferences = Preferences::openShared("plenwick-share");
    ASSERT_TRUE(preferences);
    EXPECT_TRUE(preferences->setInteger("updateLatestBuild", 3));
    EXPECT_EQ(preferences->integer("updateLatestBuild").value(), 3);
    EXPECT_EQ(capture.messages("preferences").size(), 1u);
    EXPECT_EQ(test::readFile(config() / "plenwick"), "not a folder");
}

TEST_F(PreferencesTest, AReadOnlyConfigFolderStillGivesTheSharedSuitesValues) {
    // The stored suite is opened by a URI: every name must reach SQLite as it is on disk.
    for (const std::string name : {"plain", "100% sure", "what?", "#tag", "été 📷"}) {
        SCOPED_TRACE(name);
        const std::filesystem::path folder = config() / name;
        setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
        ASSERT_TRUE(Preferences::open(std::string(Preferences::sharedSuiteName))
                        .valueOr(nullptr)
                        ->setInteger("updateLatestBuild", 7));
        auto mount = test::ScopedMount::readOnly(folder);

        auto preferences = Preferences::openShared("plenwick-share");
        ASSERT_TRUE(preferences);
        EXPECT_TRUE(preferences->isInMemory());
        EXPECT_EQ(preferences->integer("updateLatestBuild").value(), 7);
    }
}

TEST_F(PreferencesTest, TheSharedSuiteIsUsedWhenItOpens) {
    Log::Capture capture;
    auto preferences = Preferences::openShared("plenwick-share");
    ASSERT_TRUE(preferences);
    ASSERT_TRUE(preferences->setInteger("k", 5));
    EXPECT_EQ(Preferences::open(std::string(Preferences::sharedSuiteName))
                  .valueOr(nullptr)
                  ->integer("k")
                  .value(),
              5);
    EXPECT_TRUE(capture.messages("preferences").empty());
}

} // namespace
