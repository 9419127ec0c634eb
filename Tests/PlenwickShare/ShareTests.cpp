#include "ChildProcess.hpp"
#include "FifoWriter.hpp"
#include "LocalHttpServer.hpp"
#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/FileStaging.hpp"
#include "PlatformServices/Preferences.hpp"
#include "PlatformServices/TemporaryFolder.hpp"
#include "PlenwickCore/SpecStore.hpp"
#include "PrivateSessionBus.hpp"
#include "ScopedMount.hpp"
#include "TestSupport.hpp"

#include <algorithm>
#include <clocale>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <vips/vips8>

using namespace plenwick;
using namespace std::chrono_literals;
using testing::HasSubstr;
using Path = std::filesystem::path;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

// A user account of the test's own: home, settings and temporary folder, no display, and an
// update feed that nobody answers unless a test serves one.
class Share : public testing::Test {
public:
    Path home() const { return m_home.path(); }
    Path root() const { return m_home / "Pictures/Socials"; }
    Path temporary() const { return m_home / "tmp"; }

    void SetUp() override {
        std::filesystem::create_directories(temporary());
        std::filesystem::create_directories(home() / "runtime");
        std::filesystem::permissions(home() / "runtime", std::filesystem::perms::owner_all);
        m_environment = {
            {"HOME", home().string()},
            {"XDG_CONFIG_HOME", (home() / ".config").string()},
            {"XDG_CACHE_HOME", std::nullopt},
            {"TMPDIR", temporary().string()},
            {"XDG_RUNTIME_DIR", (home() / "runtime").string()},
            {"PLENWICK_LOG", "stderr"},
            {"PLENWICK_FEED_URL",
             "http://127.0.0.1:" + std::to_string(test::LocalHttpServer::closedPort()) + "/"},
            {"DISPLAY", std::nullopt},
            {"WAYLAND_DISPLAY", std::nullopt},
            {"no_proxy", "127.0.0.1"},
        };
    }

    test::ChildProcess::Options share(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), PLENWICK_SHARE_PROGRAM);
        return {arguments, m_environment, false};
    }

    // A share of what it reads on standard input, which the test writes.
    test::ChildProcess::Options readingStandardInput() {
        auto options = share({"-"});
        options.pipeStandardInput = true;
        return options;
    }

    test::ChildProcess::Exit run(std::vector<std::string> arguments) {
        test::ChildProcess process(share(std::move(arguments)));
        return process.wait();
    }

    std::vector<std::string> diagnosticRecords() const {
        return lines(test::readFile(root() / ".plenwick.log"));
    }

    bool stagingIsGone() const { return std::filesystem::is_empty(temporary()); }

    // The files of a folder tree, by path below it, with their bytes.
    static std::map<std::string, std::string> contentsOf(const Path& folder) {
        std::map<std::string, std::string> files;
        std::error_code ignored;
        for (auto it = std::filesystem::recursive_directory_iterator(folder, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
            if (it->is_regular_file())
                files[std::filesystem::relative(it->path(), folder).string()] =
                    test::readFile(it->path());
        return files;
    }

    // Photos of the given size in `folder`: the first one written, the others hard links to it.
    std::vector<std::string> photos(const Path& folder, int count, int width, int height) {
        std::filesystem::create_directories(folder);
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            Path photo = folder / ("photo" + std::to_string(i) + ".jpg");
            if (i == 0)
                test::writeImage(photo, width, height);
            else
                std::filesystem::create_hard_link(folder / "photo0.jpg", photo);
            paths.push_back(photo.string());
        }
        return paths;
    }

    void storeSpecList(const std::string& json) {
        auto suite = Preferences::open(home() / ".config/plenwick" /
                                       (std::string(Preferences::sharedSuiteName) + ".sqlite3"))
                         .valueOr(nullptr);
        ASSERT_TRUE(suite);
        ASSERT_TRUE(
            suite->setData(SpecStore::specsKey, Preferences::Data(json.begin(), json.end())));
    }

    test::TemporaryFolder m_home;
    std::map<std::string, std::optional<std::string>> m_environment;
};

TEST_F(Share, ExportsRecordsAndNotifies) {
    test::PrivateSessionBus bus;
    bus.startNotificationServer();
    m_environment["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    Path photos = home() / "photos";
    std::filesystem::create_directories(photos);
    test::writeImage(photos / "wide.jpg", 4000, 3000);
    test::writeImage(photos / "Tall & <small>.png", 600, 900);

    auto exit = run({(photos / "wide.jpg").string(),
                     "file://" + (photos / "Tall%20%26%20%3Csmall%3E.png").string()});

    EXPECT_EQ(exit.status, 0) << exit.standardError;
    EXPECT_EQ(lines(exit.standardOutput).back(), "Exported 2 photos to Socials");
    // The progress line, then once more with the count as the photos finish.
    std::vector<std::string> progress;
    for (const std::string& line : lines(exit.standardError))
        if (line.starts_with("Exporting for "))
            progress.push_back(line);
    ASSERT_GE(progress.size(), 3u) << exit.standardError;
    EXPECT_EQ(progress[0], "Exporting for Instagram, Threads and Facebook…");
    EXPECT_EQ(progress[1], "Exporting for Instagram, Threads and Facebook… 0 of 2");
    EXPECT_EQ(progress.back(), "Exporting for Instagram, Threads and Facebook… 2 of 2");
    const struct {
        const char* file;
        int width;
        int height;
    } outputs[] = {
        {"instagram/wide.jpg", 1080, 810},         {"threads/wide.jpg", 1080, 810},
        {"facebook/wide.jpg", 2048, 1536},         {"instagram/Tall & <small>.jpg", 600, 900},
        {"facebook/Tall & <small>.jpg", 600, 900},
    };
    for (const auto& output : outputs) {
        SCOPED_TRACE(output.file);
        vips::VImage image = vips::VImage::new_from_file((root() / output.file).c_str());
        EXPECT_EQ(image.width(), output.width);
        EXPECT_EQ(image.height(), output.height);
    }

    auto records = diagnosticRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        records[0],
        std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \+0000 items=2 )"
                   R"(types=\["public.jpeg,public.file-url", "public.png,public.file-url"\] )"
                   R"(loaded=\["wide.jpg", "Tall & <small>.png"\] notes=\[\] nudge=none )"
                   R"(share finished in \d+\.\d\ds: Exported 2 photos to Socials)")))
        << records[0];
    EXPECT_TRUE(stagingIsGone());

    auto calls = bus.notifyCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].appName, "Plenwick");
    EXPECT_EQ(calls[0].summary, "Plenwick");
    EXPECT_EQ(calls[0].body, "Exported 2 photos to Socials");
    EXPECT_EQ(calls[0].expireTimeout, -1);

    // A second share adds a record below the first.
    run({(photos / "wide.jpg").string()});
    EXPECT_EQ(diagnosticRecords().size(), 2u);
    EXPECT_EQ(diagnosticRecords()[0], records[0]);
}

TEST_F(Share, EscapesTheBodyForServersThatReadMarkup) {
    for (bool markup : {true, false}) {
        SCOPED_TRACE(markup);
        test::PrivateSessionBus::Options options;
        options.capabilities = markup ? std::vector<std::string>{"body", "body-markup"}
                                      : std::vector<std::string>{"body"};
        test::PrivateSessionBus bus(options);
        bus.startNotificationServer();
        m_environment["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
        // JPEG by its first bytes, so it is staged, and then fails to decode.
        std::ofstream(home() / "a<b>&c.jpg") << "\xff\xd8\xff\xe0 and nothing more";

        auto exit = run({(home() / "a<b>&c.jpg").string()});

        EXPECT_EQ(exit.status, 1);
        auto calls = bus.notifyCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].body, markup ? "Plenwick failed on a&lt;b&gt;&amp;c.jpg: not a readable "
                                          "image"
                                        : "Plenwick failed on a<b>&c.jpg: not a readable image");
        EXPECT_EQ(calls[0].summary, "Plenwick");
    }
}

TEST_F(Share, CompletesWithoutANotificationServer) {
    test::PrivateSessionBus bus;
    m_environment["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    test::writeImage(home() / "a.png", 50, 40);

    auto exit = run({(home() / "a.png").string()});

    EXPECT_EQ(exit.status, 0);
    EXPECT_THAT(exit.standardError, HasSubstr("notification failed: "));
    EXPECT_EQ(lines(exit.standardOutput).back(), "Exported 1 photo to Socials");
    EXPECT_EQ(diagnosticRecords().size(), 1u);
}

TEST_F(Share, SkipsWhatIsNoImageAndSaysWhy) {
    Path folder = home() / "folder";
    std::filesystem::create_directories(folder);
    std::ofstream(home() / "notes.txt") << "plain text";
    std::ofstream(home() / "doc.pdf") << "%PDF-1.4\n";
    test::writeImage(home() / "ok.png", 50, 40);

    auto exit = run({(home() / "ok.png").string(), (home() / "missing.png").string(),
                     folder.string(), (home() / "notes.txt").string(),
                     (home() / "doc.pdf").string(), "https://example.org/a.jpg"});

    EXPECT_EQ(exit.status, 1);
    EXPECT_EQ(lines(exit.standardOutput).back(), "Exported 1 photo to Socials, 5 items skipped");
    auto records = diagnosticRecords();
    ASSERT_EQ(records.size(), 1u);
    for (std::string note :
         {"\"item 1: copy of file-url " + (home() / "missing.png").string() +
              " failed: No such file or directory\"",
          std::string("\"item 3: file-url notes.txt is not an image\""),
          std::string("\"item 4: file-url doc.pdf is not an image\""),
          std::string("\"item 5: no image or file URL among [\\\"public.url\\\"]\"")})
        EXPECT_THAT(records[0], HasSubstr(note));
    EXPECT_THAT(records[0], HasSubstr("\"item 2: "));
    EXPECT_TRUE(stagingIsGone());
}

TEST_F(Share, OddFileNamesAreStagedExportedAndEscaped) {
    std::string name = "say \"cheese\" \\ tab\there\nline \xc3\xa9t\xc3\xa9.png";
    test::writeImage(home() / name, 60, 40);

    auto exit = run({(home() / name).string()});

    EXPECT_EQ(exit.status, 0) << exit.standardError;
    std::string base = name.substr(0, name.size() - 4);
    EXPECT_TRUE(std::filesystem::exists(root() / "instagram" / (base + ".jpg")));
    auto records = diagnosticRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_THAT(
        records[0],
        HasSubstr("loaded=[\"say \\\"cheese\\\" \\\\ tab\\there\\nline \xc3\xa9t\xc3\xa9.png\"]"));
}

TEST_F(Share, ImageBytesOnStandardInput) {
    test::writeImage(home() / "piped.png", 300, 200);
    test::ChildProcess process(readingStandardInput());
    process.writeStandardInput(test::readFile(home() / "piped.png"));

    auto exit = process.wait();

    EXPECT_EQ(exit.status, 0) << exit.standardError;
    EXPECT_TRUE(std::filesystem::exists(root() / "instagram/image.jpg"));
    EXPECT_THAT(diagnosticRecords().at(0),
                HasSubstr("types=[\"public.png\"] loaded=[\"image.png\"]"));

    test::ChildProcess nothing(readingStandardInput());
    auto skipped = nothing.wait();
    EXPECT_EQ(skipped.status, 1);
    EXPECT_EQ(lines(skipped.standardOutput).back(),
              "Exported 0 photos to Socials, 1 items skipped");
}

TEST_F(Share, UsesTheStoredSpecListAndAppendsTheNudge) {
    auto suite = Preferences::open(home() / ".config/plenwick" /
                                   (std::string(Preferences::sharedSuiteName) + ".sqlite3"))
                     .valueOr(nullptr);
    ASSERT_TRUE(suite);
    SpecStore store(suite);
    ASSERT_TRUE(store.save({{"mastodon", "mastodon", SizeRule::longEdge(400), 0.9}}));

    test::LocalHttpServer feed;
    feed.respond("/appcast.xml",
                 {200, R"(<rss><channel><item><enclosure sparkle:version="99999"/></item>)"
                       R"(</channel></rss>)"});
    m_environment["PLENWICK_FEED_URL"] = feed.url("/appcast.xml");
    test::writeImage(home() / "a.png", 1000, 500);

    auto exit = run({(home() / "a.png").string()});

    EXPECT_EQ(exit.status, 0) << exit.standardError;
    EXPECT_EQ(lines(exit.standardOutput).back(),
              "Exported 1 photo to Socials \u00b7 Update available: open Plenwick");
    EXPECT_TRUE(std::filesystem::exists(root() / "mastodon/a.jpg"));
    EXPECT_FALSE(std::filesystem::exists(root() / "instagram"));
    EXPECT_THAT(diagnosticRecords().at(0),
                HasSubstr(" nudge= \u00b7 Update available: open Plenwick share finished in "));
    EXPECT_EQ(feed.requests(), 1);
}

TEST_F(Share, AnUnwritableOutputRootStillEndsInANotification) {
    test::PrivateSessionBus bus;
    bus.startNotificationServer();
    m_environment["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    std::filesystem::create_directories(home() / "Pictures");
    std::ofstream(root()) << "a file where the Socials folder should be";
    test::writeImage(home() / "a.png", 50, 40);

    auto exit = run({(home() / "a.png").string()});

    EXPECT_EQ(exit.status, 1);
    EXPECT_THAT(lines(exit.standardOutput).back(), HasSubstr("Plenwick failed on a.png: "));
    EXPECT_EQ(bus.notifyCalls().size(), 1u);
    EXPECT_EQ(test::readFile(root()), "a file where the Socials folder should be");
    EXPECT_TRUE(stagingIsGone());
}

TEST_F(Share, DismissedWhileLoadingLeavesNothingBehind) {
    test::PrivateSessionBus bus;
    bus.startNotificationServer();
    m_environment["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    test::ChildProcess process(readingStandardInput());
    // The provider waits for the rest of the bytes, which never come.
    process.writeStandardInput("\x89PNG\r\n");
    ASSERT_TRUE(process.waitUntilBlocking(SIGTERM, 30s));
    std::this_thread::sleep_for(200ms);
    process.signal(SIGTERM);

    auto exit = process.wait();

    EXPECT_EQ(exit.status, 130) << exit.standardError;
    EXPECT_FALSE(std::filesystem::exists(root() / ".plenwick.log"));
    EXPECT_TRUE(bus.notifyCalls().empty());
    EXPECT_TRUE(stagingIsGone());
}

TEST_F(Share, DismissedDuringTheExportKeepsTheRecordButPostsNothing) {
    test::PrivateSessionBus bus;
    bus.startNotificationServer();
    m_environment["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    std::vector<std::string> arguments;
    for (int i = 0; i < 24; ++i) {
        Path photo = home() / ("photo" + std::to_string(i) + ".png");
        if (i == 0)
            test::writeImage(photo, 3000, 2000);
        else
            std::filesystem::copy_file(home() / "photo0.png", photo);
        arguments.push_back(photo.string());
    }
    test::ChildProcess process(share(arguments));
    ASSERT_TRUE(process.waitForStandardError("plenwick[export] wrote ", 60s));
    process.signal(SIGTERM);

    auto exit = process.wait();

    EXPECT_EQ(exit.status, 130);
    auto records = diagnosticRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_THAT(records[0], HasSubstr(": cancelled"));
    EXPECT_TRUE(bus.notifyCalls().empty());
    EXPECT_TRUE(stagingIsGone());
    EXPECT_LT(std::distance(std::filesystem::directory_iterator(root() / "instagram"),
                            std::filesystem::directory_iterator()),
              24);
}

TEST_F(Share, WithADisplayTheWindowRunsTheSameShare) {
    // The offscreen platform stands in for the display the program believes it has.
    m_environment["DISPLAY"] = ":99";
    m_environment["QT_QPA_PLATFORM"] = "offscreen";
    test::writeImage(home() / "a.png", 50, 40);

    auto exit = run({(home() / "a.png").string()});

    EXPECT_EQ(exit.status, 0) << exit.standardError;
    EXPECT_EQ(lines(exit.standardOutput).back(), "Exported 1 photo to Socials");
    EXPECT_TRUE(std::filesystem::exists(root() / "instagram/a.jpg"));

    // A display nobody serves: the window is drawn nowhere, and the share still completes.
    m_environment["DISPLAY"] = ":4242";
    m_environment["QT_QPA_PLATFORM"] = std::nullopt;
    auto unreachable = run({(home() / "a.png").string()});
    EXPECT_EQ(unreachable.status, 0) << unreachable.standardError;
    EXPECT_EQ(lines(unreachable.standardOutput).back(), "Exported 1 photo to Socials");
    m_environment["QT_QPA_PLATFORM"] = "offscreen";

    test::ChildProcess slow(readingStandardInput());
    slow.writeStandardInput("\x89PNG\r\n");
    ASSERT_TRUE(slow.waitUntilBlocking(SIGINT, 30s));
    std::this_thread::sleep_for(200ms);
    slow.signal(SIGINT);
    EXPECT_EQ(slow.wait().status, 130);
    EXPECT_EQ(diagnosticRecords().size(), 2u);
    EXPECT_TRUE(stagingIsGone());
}

TEST_F(Share, CommandLine) {
    auto help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.standardOutput, HasSubstr("Usage: plenwick-share"));
    auto version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_THAT(version.standardOutput, HasSubstr("0.1.0"));
    EXPECT_EQ(run({}).status, 2);
    EXPECT_EQ(run({"--frobnicate", "a.png"}).status, 2);
    // Answered into a pipe nobody reads any more: the answer is lost, the program still ends well.
    auto unread = share({"--help"});
    unread.outputReaderGone = true;
    EXPECT_EQ(test::ChildProcess(unread).wait().status, 0);
    EXPECT_FALSE(std::filesystem::exists(root()));
}

// A JPEG that libvips decodes to its last row without an error.
bool isWholeJpeg(const Path& file) {
    try {
        vips::VImage image = vips::VImage::new_from_file(
            file.c_str(), vips::VImage::option()->set("fail_on", VIPS_FAIL_ON_WARNING));
        image.avg();
        return image.width() > 0;
    } catch (const vips::VError&) {
        vips_error_clear();
        return false;
    }
}

TEST_F(Share, AReaderOfTheProgressThatWentAwayIsNoFailedShare) {
    test::PrivateSessionBus bus;
    bus.startNotificationServer();
    m_environment["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    // As in `plenwick-share photos… 2>&1 >/dev/null | head -n1`: every progress line, log line
    // and the last line meet a pipe whose reader has gone.
    auto options = share(photos(home() / "photos", 4, 1600, 1200));
    options.outputReaderGone = true;

    auto exit = test::ChildProcess(options).wait();

    EXPECT_EQ(exit.status, 0);
    for (const char* folder : {"instagram", "threads", "facebook"}) {
        auto names = test::namesIn(root() / folder);
        EXPECT_EQ(names.size(), 4u) << folder;
        for (const std::string& name : names)
            EXPECT_TRUE(isWholeJpeg(root() / folder / name)) << folder << "/" << name;
    }
    auto records = diagnosticRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_THAT(records[0], HasSubstr("s: Exported 4 photos to Socials"));
    auto calls = bus.notifyCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].body, "Exported 4 photos to Socials");
    EXPECT_TRUE(stagingIsGone());
}

TEST_F(Share, EveryArgumentAfterTheDashesIsAFileEvenWithAWindow) {
    m_environment["DISPLAY"] = ":99";
    m_environment["QT_QPA_PLATFORM"] = "offscreen";
    test::writeImage(home() / "a.jpg", 60, 40);

    // Files named like the toolkit's own options, which would choose a platform that is not there.
    auto exit = run({"--", "-platform", "nonexistent", (home() / "a.jpg").string()});

    EXPECT_EQ(exit.status, 1) << exit.standardError;
    ASSERT_FALSE(lines(exit.standardOutput).empty()) << exit.standardError;
    EXPECT_EQ(lines(exit.standardOutput).back(), "Exported 1 photo to Socials, 2 items skipped");
    EXPECT_TRUE(isWholeJpeg(root() / "instagram/a.jpg"));
    auto records = diagnosticRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_THAT(records[0], HasSubstr(" items=3 "));
    EXPECT_THAT(records[0], HasSubstr(" loaded=[\"a.jpg\"] "));
    EXPECT_TRUE(std::regex_search(records[0], std::regex(R"(notes=\["item 0: [^"]*-platform)")))
        << records[0];
    EXPECT_TRUE(std::regex_search(records[0], std::regex(R"(", "item 1: [^"]*nonexistent)")))
        << records[0];
    EXPECT_TRUE(stagingIsGone());
}

TEST_F(Share, AnImageLibraryThatCannotStartEndsLikeAnyFailedShare) {
    test::PrivateSessionBus bus;
    bus.startNotificationServer();
    m_environment["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    // libvips falls back to the prefix it was built with whatever the environment says, so no
    // state of this machine makes it refuse to start: a vips_init that refuses is preloaded.
    m_environment["LD_PRELOAD"] = PLENWICK_VIPS_INIT_FAILS_LIBRARY;
    // A sanitized build wants its runtime first, and the preloaded library comes before it.
    m_environment["ASAN_OPTIONS"] = "verify_asan_link_order=0";
    test::writeImage(home() / "a.png", 50, 40);

    for (bool window : {false, true}) {
        SCOPED_TRACE(window ? "window" : "terminal");
        m_environment["DISPLAY"] = window ? std::optional<std::string>(":99") : std::nullopt;
        m_environment["QT_QPA_PLATFORM"] =
            window ? std::optional<std::string>("offscreen") : std::nullopt;
        size_t records = diagnosticRecords().size();
        size_t notifications = bus.notifyCalls().size();

        auto exit = run({(home() / "a.png").string()});

        const std::string body = "Plenwick failed: the image library could not start";
        EXPECT_EQ(exit.status, 1) << exit.standardError;
        ASSERT_FALSE(lines(exit.standardOutput).empty()) << exit.standardError;
        EXPECT_EQ(lines(exit.standardOutput).back(), body);
        auto calls = bus.notifyCalls();
        ASSERT_EQ(calls.size(), notifications + 1);
        EXPECT_EQ(calls.back().body, body);
        auto now = diagnosticRecords();
        ASSERT_EQ(now.size(), records + 1);
        EXPECT_THAT(now.back(), HasSubstr(" items=1 types=[\"public.png,public.file-url\"] "));
        EXPECT_THAT(now.back(), HasSubstr("s: " + body));
        EXPECT_FALSE(std::filesystem::exists(root() / "instagram"));
        EXPECT_TRUE(stagingIsGone());
    }
}

struct FaultCase {
    const char* what;
    // Sets up the fault; the mounts it returns last as long as the share.
    std::function<std::vector<test::ScopedMount>(Share&)> fault;
    std::vector<std::string> extraArguments;
    std::string standardInput;
    int status;
    std::string body;
    bool recorded;
    std::string standardError;
    // The folders whose photo the case writes anew; every other folder keeps the file it had.
    std::vector<std::string> written;
};

// Which file a path names, so that a photo renamed into place tells itself from the one before.
std::optional<ino_t> inodeOf(const Path& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0)
        return std::nullopt;
    return status.st_ino;
}

TEST_F(Share, EnvironmentFaultsEndInAnOutcomeAndKeepEarlierFiles) {
    test::PrivateSessionBus bus;
    bus.startNotificationServer();
    m_environment["DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    test::writeImage(home() / "a.png", 300, 200);
    test::writeImage(home() / "piped.png", 30, 20);
    ASSERT_EQ(run({(home() / "a.png").string()}).status, 0);
    const auto earlier = contentsOf(root());

    const Path missing = home() / "missing";
    const FaultCase cases[] = {
        {"TMPDIR names no folder",
         [&](Share& share) {
             share.m_environment["TMPDIR"] = missing.string();
             return std::vector<test::ScopedMount>{};
         },
         {},
         "",
         1,
         "Plenwick failed: the temporary folder " + missing.string() +
             ": No such file or directory",
         true,
         "",
         {}},
        {"TMPDIR cannot be written",
         [&](Share& share) {
             std::vector<test::ScopedMount> mounts;
             mounts.push_back(test::ScopedMount::readOnly(share.temporary()));
             return mounts;
         },
         {},
         "",
         1,
         "Plenwick failed: cannot create " + temporary().string() +
             "/plenwick-[-0-9A-F]{36}: Read-only file system",
         true,
         "",
         {}},
        {"TMPDIR is full: local files are referred to, piped bytes have no room",
         [&](Share& share) {
             std::vector<test::ScopedMount> mounts;
             mounts.push_back(test::ScopedMount::tmpfs(share.temporary(), 64 * 1024));
             test::fill(share.temporary());
             return mounts;
         },
         {"-"},
         test::readFile(home() / "piped.png"),
         1,
         "Exported 1 photo to Socials, 1 items skipped",
         true,
         "standard input could not be kept: No space left on device",
         {"instagram", "threads", "facebook"}},
        {"the Pictures folder is a file",
         [&](Share& share) {
             std::filesystem::create_directories(share.home() / "elsewhere");
             std::ofstream(share.home() / "elsewhere/Pictures") << "not a folder";
             std::filesystem::create_directories(share.home() / ".config");
             std::ofstream(share.home() / ".config/user-dirs.dirs")
                 << "XDG_PICTURES_DIR=\"$HOME/elsewhere/Pictures\"\n";
             return std::vector<test::ScopedMount>{};
         },
         {},
         "",
         1,
         "Plenwick failed on a.png: Not a directory",
         false,
         "",
         {}},
        {"HOME is not set: the user-dirs file still names the Pictures folder",
         [&](Share& share) {
             share.m_environment["HOME"] = std::nullopt;
             std::filesystem::create_directories(share.home() / ".config");
             std::ofstream(share.home() / ".config/user-dirs.dirs")
                 << "XDG_PICTURES_DIR=\"" << (share.home() / "Pictures").string() << "\"\n";
             return std::vector<test::ScopedMount>{};
         },
         {},
         "",
         0,
         "Exported 1 photo to Socials",
         true,
         "",
         {"instagram", "threads", "facebook"}},
        {"the configuration folder is read-only: the stored list still applies",
         [&](Share& share) {
             share.storeSpecList(
                 R"([{"id":"small","folder":"small","rule":{"width":{"_0":60}},"quality":0.8}])");
             std::vector<test::ScopedMount> mounts;
             mounts.push_back(test::ScopedMount::readOnly(share.home() / ".config"));
             return mounts;
         },
         {},
         "",
         0,
         "Exported 1 photo to Socials",
         true,
         "cannot open preferences",
         {"small"}},
        {"no session bus",
         [&](Share& share) {
             share.m_environment["DBUS_SESSION_BUS_ADDRESS"] = std::nullopt;
             return std::vector<test::ScopedMount>{};
         },
         {},
         "",
         0,
         "Exported 1 photo to Socials",
         true,
         "notification failed: ",
         {"small"}},
    };
    const auto environment = m_environment;
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.what);
        m_environment = environment;
        std::filesystem::remove(home() / ".config/user-dirs.dirs");
        size_t records = diagnosticRecords().size();
        size_t notifications = bus.notifyCalls().size();
        const char* folders[] = {"instagram", "threads", "facebook", "small"};
        std::map<std::string, std::optional<ino_t>> before;
        for (const char* folder : folders)
            before[folder] = inodeOf(root() / folder / "a.jpg");
        test::ChildProcess::Exit exit;
        {
            auto mounts = c.fault(*this);
            std::vector<std::string> arguments{(home() / "a.png").string()};
            arguments.insert(arguments.end(), c.extraArguments.begin(), c.extraArguments.end());
            auto options = share(arguments);
            options.pipeStandardInput = !c.standardInput.empty();
            test::ChildProcess process(options);
            if (options.pipeStandardInput)
                process.writeStandardInput(c.standardInput);
            exit = process.wait();
            // Whatever the fault, the share leaves no staging folder behind.
            for (const std::string& name : test::namesIn(temporary()))
                EXPECT_EQ(name, "filler");
        }

        EXPECT_EQ(exit.status, c.status) << exit.standardError;
        ASSERT_FALSE(lines(exit.standardOutput).empty()) << exit.standardError;
        EXPECT_TRUE(std::regex_match(lines(exit.standardOutput).back(), std::regex(c.body)))
            << lines(exit.standardOutput).back();
        EXPECT_THAT(exit.standardError, HasSubstr(c.standardError));
        auto now = diagnosticRecords();
        ASSERT_EQ(now.size(), records + (c.recorded ? 1 : 0));
        if (c.recorded) {
            EXPECT_TRUE(std::regex_search(now.back(), std::regex("s: " + c.body + "$")))
                << now.back();
        }
        if (c.status == 1 && c.extraArguments.empty()) {
            auto calls = bus.notifyCalls();
            ASSERT_EQ(calls.size(), notifications + 1);
            EXPECT_TRUE(std::regex_match(calls.back().body, std::regex(c.body)));
        }
        for (const char* folder : folders) {
            auto now = inodeOf(root() / folder / "a.jpg");
            bool anew = now && now != before[folder];
            EXPECT_EQ(anew, std::ranges::count(c.written, folder) == 1) << folder;
        }
        // Earlier outputs are never replaced by anything but a whole new export.
        for (const auto& [file, bytes] : earlier)
            if (file != ".plenwick.log") {
                SCOPED_TRACE(file);
                EXPECT_TRUE(isWholeJpeg(root() / file));
            }
    }
}

TEST_F(Share, AFullOutputDiskKeepsEarlierFilesAndEveryRecordWhole) {
    std::filesystem::create_directories(home() / "Pictures");
    auto disk = test::ScopedMount::tmpfs(home() / "Pictures", 4 << 20);
    test::writeImage(home() / "a.png", 1200, 900);
    test::writeImage(home() / "b.png", 1200, 900);
    ASSERT_EQ(run({(home() / "a.png").string()}).status, 0);
    // The earlier records end ten bytes short of a page, so that the next one only partly fits.
    std::string log = test::readFile(root() / ".plenwick.log");
    log += std::string(2 * 4096 - 10 - log.size() - 1, 'x') + "\n";
    std::ofstream(root() / ".plenwick.log", std::ios::binary) << log;
    test::fill(home() / "Pictures");
    const auto earlier = contentsOf(root());

    auto exit = run({(home() / "a.png").string(), (home() / "b.png").string()});

    EXPECT_EQ(exit.status, 1);
    EXPECT_EQ(lines(exit.standardOutput).back(), "Plenwick failed on a.png: could not encode JPEG");
    EXPECT_THAT(exit.standardError,
                HasSubstr("diagnostic record not written: No space left on device"));
    // Nothing half-written anywhere: the JPEGs and the log are as they were.
    EXPECT_EQ(contentsOf(root()), earlier);
    EXPECT_TRUE(stagingIsGone());
}

TEST_F(Share, ARecordWaitsWhileAnotherShareHoldsTheLog) {
    test::writeImage(home() / "a.png", 50, 40);
    ASSERT_EQ(run({(home() / "a.png").string()}).status, 0);
    const std::string before = test::readFile(root() / ".plenwick.log");
    // What another share does around its own record: the lock, the write, and a possible cut.
    int other = ::open((root() / ".plenwick.log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);

    test::ChildProcess process(share({(home() / "a.png").string()}));
    ASSERT_TRUE(process.waitForStandardError("share finished in ", 60s));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(test::readFile(root() / ".plenwick.log"), before);
    const std::string otherRecord = "the record of another share\n";
    ASSERT_EQ(::write(other, otherRecord.data(), otherRecord.size()),
              static_cast<ssize_t>(otherRecord.size()));
    ::close(other);
    auto exit = process.wait();

    EXPECT_EQ(exit.status, 0) << exit.standardError;
    auto records = diagnosticRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1], "the record of another share");
    EXPECT_THAT(records[2], HasSubstr("s: Exported 1 photo to Socials"));
}

TEST_F(Share, ADayMeansOneFeedFetchAlsoWithAReadOnlyConfigurationFolder) {
    test::LocalHttpServer feed;
    feed.respond("/appcast.xml",
                 {200, R"(<rss><channel><item><enclosure sparkle:version="1"/></item>)"
                       R"(</channel></rss>)"});
    m_environment["PLENWICK_FEED_URL"] = feed.url("/appcast.xml");
    test::writeImage(home() / "a.png", 50, 40);

    for (bool readOnly : {false, true}) {
        SCOPED_TRACE(readOnly ? "read-only configuration" : "writable configuration");
        std::filesystem::remove_all(home() / ".config");
        std::filesystem::remove_all(home() / ".cache");
        std::filesystem::create_directories(home() / ".config");
        std::optional<test::ScopedMount> mount;
        if (readOnly)
            mount.emplace(test::ScopedMount::readOnly(home() / ".config"));
        const int before = feed.requests();

        for (int i = 0; i < 2; ++i) {
            auto exit = run({(home() / "a.png").string()});
            EXPECT_EQ(exit.status, 0) << exit.standardError;
        }

        EXPECT_EQ(feed.requests() - before, 1);
        // A writable configuration keeps the check where it always was.
        EXPECT_EQ(std::filesystem::exists(home() / ".cache/plenwick"), readOnly);
    }
}

// The folder below the temporary folder that is not among `before` and holds `file`, once it
// is there; empty when none came.
Path newFolderHolding(const Path& temporary, const std::vector<std::string>& before,
                      const std::string& file) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const std::string& name : test::namesIn(temporary))
            if (std::find(before.begin(), before.end(), name) == before.end() &&
                std::filesystem::exists(temporary / name / file))
                return temporary / name;
        std::this_thread::sleep_for(20ms);
    }
    return {};
}

TEST_F(Share, WhatKilledSharesLeftIsRemovedAndNothingElse) {
    // A share killed while exporting leaves its staging folder, its exports so far and maybe a
    // JPEG temporary being written.
    auto arguments = photos(home() / "photos", 24, 3000, 2000);
    {
        test::ChildProcess process(share(arguments));
        ASSERT_TRUE(process.waitForStandardError("plenwick[export] wrote ", 60s));
        process.signal(SIGKILL);
        EXPECT_EQ(process.wait().status, 128 + SIGKILL);
    }
    ASSERT_EQ(test::namesIn(temporary()).size(), 1u);
    const Path exporting = temporary() / test::namesIn(temporary())[0];
    std::map<std::string, std::vector<std::string>> temporariesLeft;
    for (const char* spec : {"instagram", "threads", "facebook"})
        for (const std::string& name : test::namesIn(root() / spec))
            if (name.starts_with("."))
                temporariesLeft[spec].push_back(name);

    // One killed while reading standard input leaves the folder that holds those bytes; one
    // still reading holds its folder.
    const auto reading = readingStandardInput();
    Path read;
    {
        test::ChildProcess process(reading);
        process.writeStandardInput("\x89PNG\r\n");
        read = newFolderHolding(temporary(), test::namesIn(temporary()), "input");
        ASSERT_FALSE(read.empty());
        process.signal(SIGKILL);
        EXPECT_EQ(process.wait().status, 128 + SIGKILL);
    }
    test::ChildProcess live(reading);
    live.writeStandardInput("\x89PNG\r\n");
    const Path held = newFolderHolding(temporary(), test::namesIn(temporary()), "input");
    ASSERT_FALSE(held.empty());

    // Beside them, what users, builds and tools keep under names like those of a share, each
    // with files in it. A copy of the killed share's folder carries the same mark inside, so
    // that only its name tells it from the real one.
    auto userFiles = [](const Path& folder) {
        std::filesystem::create_directories(folder / "checkout/src");
        std::ofstream(folder / "checkout/src/main.cpp") << "int main() {}\n";
        std::ofstream(folder / "notes.txt") << "two minutes of notes\n";
    };
    auto markedCopy = [&read](const Path& folder) {
        std::filesystem::copy(read, folder, std::filesystem::copy_options::recursive);
    };
    const std::string uuid = "4E1F0C2A-93B7-4D5E-A8C6-0123456789AB";
    std::string lowercase = uuid;
    std::transform(lowercase.begin(), lowercase.end(), lowercase.begin(), ::tolower);
    const struct {
        std::string name;
        std::function<void(const Path&)> make;
    } lookAlikes[] = {
        {"plenwick-review", userFiles},       {"plenwick-build", userFiles},
        {"plenwick-fuzz-Ab12Cd", userFiles},  {"plenwick-" + uuid, userFiles},
        {"plenwick-stdin-backup", userFiles}, {"plenwick-" + lowercase, markedCopy},
        {"plenwick-stdin-AbC12", markedCopy}, {"plenwick-" + uuid + ".old", markedCopy},
    };
    for (const auto& lookAlike : lookAlikes) {
        lookAlike.make(temporary() / lookAlike.name);
        test::makeOld(temporary() / lookAlike.name);
    }
    // A link named like a share's folder, to a copy of one; a share's folder on a file system
    // of its own; and a copy made a moment ago.
    markedCopy(home() / "elsewhere");
    test::makeOld(home() / "elsewhere");
    const std::string linked = "plenwick-6A1F0C2A-93B7-4D5E-98C6-0123456789AB";
    std::filesystem::create_directory_symlink(home() / "elsewhere", temporary() / linked);
    test::makeOld(temporary() / linked);
    const std::string mounted = "plenwick-7A1F0C2A-93B7-4D5E-B8C6-0123456789AB";
    std::filesystem::create_directory(temporary() / mounted);
    auto disk = test::ScopedMount::tmpfs(temporary() / mounted, 1 << 20);
    for (const auto& entry : std::filesystem::directory_iterator(read))
        std::filesystem::copy(entry.path(), temporary() / mounted / entry.path().filename());
    test::makeOld(temporary() / mounted);
    markedCopy(temporary() / "plenwick-stdin-Just12");
    test::makeOld(read);
    test::makeOld(exporting);
    test::makeOld(held);

    // In a spec folder: names near those of a JPEG temporary, one with the exact form that
    // died and one being written, an own export, all older than a minute.
    const Path spec = root() / "instagram";
    std::filesystem::create_directories(spec);
    test::writeImage(spec / "mine.jpg", 60, 40);
    for (const char* name : {".photo0.jpg.plenwick-AbC12", ".photo0.jpg.plenwick-AbC1234",
                             "photo0.jpg.plenwick-AbC123", ".photo0.png.plenwick-AbC123",
                             ".photo0.jpg.plenwick-AbC-12", ".notes.plenwick-backup",
                             ".dead.jpg.plenwick-AbC123", ".written.jpg.plenwick-XyZ789"})
        std::ofstream(spec / name) << "some bytes";
    std::filesystem::create_symlink(spec / "mine.jpg", spec / ".link.jpg.plenwick-Lnk123");
    int writing = ::open((spec / ".written.jpg.plenwick-XyZ789").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(writing, LOCK_EX), 0);
    std::map<std::string, std::map<std::string, std::string>> exports;
    for (const char* folder : {"instagram", "threads", "facebook"})
        for (const std::string& name : test::namesIn(root() / folder)) {
            test::makeOld(root() / folder / name);
            if (!name.starts_with(".") && name.ends_with(".jpg"))
                exports[folder][name] = test::readFile(root() / folder / name);
        }
    ASSERT_GE(exports.size(), 1u);
    const auto homeBefore = contentsOf(home() / "elsewhere");
    auto temporaryBefore = contentsOf(temporary());
    std::erase_if(temporaryBefore, [&](const auto& file) {
        return file.first.starts_with(read.filename().string() + "/") ||
               file.first.starts_with(exporting.filename().string() + "/");
    });
    auto specBefore = test::namesIn(spec);

    test::writeImage(home() / "fresh.png", 60, 40);
    auto exit = run({(home() / "fresh.png").string()});
    ::close(writing);

    EXPECT_EQ(exit.status, 0) << exit.standardError;
    // The two folders killed shares left went; everything else is as it was, file by file.
    EXPECT_FALSE(std::filesystem::exists(read));
    EXPECT_FALSE(std::filesystem::exists(exporting));
    EXPECT_EQ(contentsOf(temporary()), temporaryBefore);
    for (const auto& lookAlike : lookAlikes)
        EXPECT_TRUE(std::filesystem::is_directory(temporary() / lookAlike.name)) << lookAlike.name;
    EXPECT_TRUE(std::filesystem::is_symlink(temporary() / linked));
    EXPECT_EQ(contentsOf(home() / "elsewhere"), homeBefore);
    EXPECT_TRUE(std::filesystem::exists(held / "input"));
    // In the spec folders, the dead temporary and those the killed share left went.
    std::erase(specBefore, ".dead.jpg.plenwick-AbC123");
    for (const std::string& name : temporariesLeft["instagram"])
        std::erase(specBefore, name);
    specBefore.push_back("fresh.jpg");
    std::sort(specBefore.begin(), specBefore.end());
    EXPECT_EQ(test::namesIn(spec), specBefore);
    for (const auto& [folder, names] : temporariesLeft)
        for (const std::string& name : names)
            EXPECT_FALSE(std::filesystem::exists(root() / folder / name)) << folder << "/" << name;
    for (const auto& [folder, files] : exports)
        for (const auto& [name, bytes] : files) {
            SCOPED_TRACE(folder + "/" + name);
            EXPECT_EQ(test::readFile(root() / folder / name), bytes);
            EXPECT_TRUE(isWholeJpeg(root() / folder / name));
        }
}

TEST_F(Share, RecordsAndLogLinesReadTheSameInAGermanLocale) {
    locale_t german = newlocale(LC_ALL_MASK, "de_DE.UTF-8", static_cast<locale_t>(0));
    ASSERT_TRUE(german) << "the de_DE.UTF-8 locale is not generated (./make.sh test sets it up)";
    freelocale(german);
    test::writeImage(home() / "a.png", 50, 40);
    m_environment["LC_ALL"] = "de_DE.UTF-8";
    const std::regex seconds(R"(share finished in \d+\.\d\ds: Exported 1 photo to Socials)");
    const std::regex runEnd(R"(run end: 3 files, 0 failures, 0 skipped, \d+\.\d\ds)");

    for (bool window : {false, true}) {
        SCOPED_TRACE(window ? "window" : "terminal");
        // Both arms run in the user's locale, as the program sets it from the environment.
        m_environment["DISPLAY"] = window ? std::optional<std::string>(":99") : std::nullopt;
        m_environment["QT_QPA_PLATFORM"] =
            window ? std::optional<std::string>("offscreen") : std::nullopt;

        auto exit = run({(home() / "a.png").string()});

        EXPECT_EQ(exit.status, 0) << exit.standardError;
        EXPECT_TRUE(std::regex_search(exit.standardError, seconds)) << exit.standardError;
        EXPECT_TRUE(std::regex_search(exit.standardError, runEnd)) << exit.standardError;
        EXPECT_TRUE(std::regex_search(diagnosticRecords().back(), seconds))
            << diagnosticRecords().back();
    }
}

TEST_F(Share, TwoSharesOfTheSamePhotosAtOnceBothFinishWhole) {
    auto arguments = photos(home() / "photos", 50, 1600, 1200);

    test::ChildProcess first(share(arguments));
    test::ChildProcess second(share(arguments));
    auto firstExit = first.wait();
    auto secondExit = second.wait();

    EXPECT_EQ(firstExit.status, 0) << firstExit.standardError;
    EXPECT_EQ(secondExit.status, 0) << secondExit.standardError;
    auto records = diagnosticRecords();
    ASSERT_EQ(records.size(), 2u);
    for (const std::string& record : records)
        EXPECT_THAT(record, HasSubstr("s: Exported 50 photos to Socials"));
    for (const char* folder : {"instagram", "threads", "facebook"}) {
        auto names = test::namesIn(root() / folder);
        EXPECT_EQ(names.size(), 50u) << folder;
        for (const std::string& name : names)
            EXPECT_TRUE(isWholeJpeg(root() / folder / name)) << folder << "/" << name;
    }
    EXPECT_TRUE(stagingIsGone());
}

TEST_F(Share, ManyPhotosFitATemporaryFolderFarSmallerThanThey) {
    std::filesystem::create_directories(temporary());
    auto small = test::ScopedMount::tmpfs(temporary(), 1 << 20);
    auto arguments = photos(home() / "photos", 40, 2400, 1800);
    ASSERT_GT(40 * std::filesystem::file_size(arguments[0]), uintmax_t{2 << 20});

    auto exit = run(arguments);

    EXPECT_EQ(exit.status, 0) << exit.standardError;
    EXPECT_EQ(lines(exit.standardOutput).back(), "Exported 40 photos to Socials");
    for (const char* folder : {"instagram", "threads", "facebook"})
        EXPECT_EQ(test::namesIn(root() / folder).size(), 40u) << folder;
    EXPECT_TRUE(stagingIsGone());
}

TEST_F(Share, AnImageWithOneVeryLongEdgeTakesMemoryForItsOutputsNotForThatEdge) {
    // Nine million pixels in one row or one column: 26 MB of pixels in a file of a few dozen kB.
    constexpr int length = 9'000'000;
    struct Output {
        const char* folder;
        int width;
        int height;
    };
    struct Case {
        const char* what;
        bool column;
        int photos;
        // Empty for the default list. A width rule would keep a column as long as it is, which
        // no JPEG can hold.
        std::string specs;
        std::vector<Output> outputs;
        // When the resampler held weights for every pixel of the long edge: 1.2 GB for a row,
        // 390 MB for a column, 3.6 GB for three rows. What is left is the program itself (50 MB),
        // the held pixels, and libvips decoding a PNG row of 27 MB (130 MB, as `vips avg` takes).
        long peakMegabytes;
    };
    const std::vector<Output> rowOutputs = {
        {"instagram", 1080, 1}, {"threads", 1080, 1}, {"facebook", 2048, 1}};
    const Case cases[] = {
        {"a row", false, 1, "", rowOutputs, 400},
        {"a column",
         true,
         1,
         R"([{"id":"large","folder":"large","rule":{"longEdge":{"_0":2048}},"quality":0.85},)"
         R"({"id":"small","folder":"small","rule":{"longEdge":{"_0":1080}},"quality":0.85}])",
         {{"large", 1, 2048}, {"small", 1, 1080}},
         200},
        {"three rows at once", false, 3, "", rowOutputs, 1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(home() / ".config");
        std::filesystem::remove_all(root());
        if (!c.specs.empty())
            storeSpecList(c.specs);
        Path photos = home() / "photos";
        std::filesystem::remove_all(photos);
        std::filesystem::create_directories(photos);
        test::writeImage(photos / "photo0.png", c.column ? 1 : length, c.column ? length : 1);
        std::vector<std::string> arguments = {(photos / "photo0.png").string()};
        for (int i = 1; i < c.photos; ++i) {
            arguments.push_back((photos / ("photo" + std::to_string(i) + ".png")).string());
            std::filesystem::copy_file(photos / "photo0.png", arguments.back());
        }

        auto exit = run(arguments);

        EXPECT_EQ(exit.status, 0) << exit.standardError;
        EXPECT_LT(exit.peakResidentKilobytes, c.peakMegabytes * 1024);
        for (const Output& output : c.outputs)
            for (int i = 0; i < c.photos; ++i) {
                const std::string name =
                    std::string(output.folder) + "/photo" + std::to_string(i) + ".jpg";
                SCOPED_TRACE(name);
                vips::VImage jpeg = vips::VImage::new_from_file((root() / name).c_str());
                ASSERT_EQ(jpeg.width(), output.width);
                ASSERT_EQ(jpeg.height(), output.height);
                // The gradient the photo was made with, at the output's pixel centres: red
                // along a row, green down a column, blue half of either.
                const int edge = std::max(output.width, output.height);
                vips::VImage ramp =
                    (vips::VImage::xyz(edge, 1).extract_band(0) + 0.5) * (255.0 / edge);
                vips::VImage none = ramp * 0.0;
                vips::VImage expected = c.column ? none.bandjoin(ramp).bandjoin(ramp / 2.0).rot90()
                                                 : ramp.bandjoin(none).bandjoin(ramp / 2.0);
                EXPECT_LT((jpeg.cast(VIPS_FORMAT_FLOAT) - expected).abs().avg(), 3.0);
            }
        EXPECT_TRUE(stagingIsGone());
    }
}

TEST_F(Share, AStoredListWithNumbersOutOfRangeCountsAsUndecodable) {
    test::writeImage(home() / "a.png", 300, 200);
    for (const char* list :
         {R"([{"id":"x","folder":"x","rule":{"width":{"_0":100}},"quality":1e400}])",
          R"([{"id":"x","folder":"x","rule":{"width":{"_0":-1e400}},"quality":0.5}])"}) {
        SCOPED_TRACE(list);
        storeSpecList(list);

        auto exit = run({(home() / "a.png").string()});

        EXPECT_EQ(exit.status, 0) << exit.standardError;
        EXPECT_EQ(lines(exit.standardOutput).back(), "Exported 1 photo to Socials");
        for (const char* folder : {"instagram", "threads", "facebook"})
            EXPECT_TRUE(std::filesystem::exists(root() / folder / "a.jpg")) << folder;
        EXPECT_FALSE(std::filesystem::exists(root() / "x"));
        EXPECT_TRUE(stagingIsGone());
    }
}

// What is handed over in the place of a photo, made at `name`; what it needs while the share
// runs (the program writing into a FIFO, a listening socket) lives as long as the result.
using HandOver = std::function<std::shared_ptr<void>(const Path& name)>;

std::shared_ptr<void> fifo(const Path& name) {
    EXPECT_EQ(::mkfifo(name.c_str(), 0600), 0);
    return nullptr;
}

std::shared_ptr<void> fifoWrittenWith(const Path& name, std::string bytes,
                                      test::FifoWriter::End end) {
    fifo(name);
    return std::make_shared<test::FifoWriter>(name, std::move(bytes), end);
}

std::shared_ptr<void> listeningSocket(const Path& name) {
    auto socket =
        std::make_shared<FileDescriptor>(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.string().copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(socket->get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
              0);
    EXPECT_EQ(::listen(socket->get(), 1), 0);
    return socket;
}

struct HandOverCase {
    const char* what;
    HandOver make;
    int status;
    // The note of the item in the record; "$P" stands for its path.
    std::optional<std::string> note;
};

TEST_F(Share, WhatIsNoPhotoFileEndsAtOnceInItsNoteAndTheOthersAreExported) {
    // A temporary folder far smaller than the disk: a device read without end fills this one.
    auto small = test::ScopedMount::tmpfs(temporary(), 16 << 20);
    test::writeImage(home() / "a.png", 300, 200);
    test::writeImage(home() / "b.png", 200, 300);
    const std::string photo = test::readFile(home() / "a.png");
    const HandOverCase cases[] = {
        {"a FIFO nothing writes to", fifo, 1,
         "copy of file-url $P failed: a pipe that nothing writes to"},
        {"a FIFO a script writes a photo into",
         [&](const Path& name) {
             return fifoWrittenWith(name, photo, test::FifoWriter::End::close);
         },
         0, std::nullopt},
        {"a FIFO named like a photo that carries text",
         [](const Path& name) {
             return fifoWrittenWith(name, "just words\n", test::FifoWriter::End::close);
         },
         1, "file-url photo.jpg is not an image"},
        {"a symbolic link to /dev/zero",
         [](const Path& name) {
             std::filesystem::create_symlink("/dev/zero", name);
             return nullptr;
         },
         1, "copy of file-url $P failed: a character device, not a file"},
        {"a socket", listeningSocket, 1, "copy of file-url $P failed: a socket, not a file"},
    };
    for (const HandOverCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(root());
        Path handed = home() / "photos" / "photo.jpg";
        std::filesystem::remove_all(handed.parent_path());
        std::filesystem::create_directories(handed.parent_path());
        auto keep = c.make(handed);

        test::ChildProcess process(
            share({(home() / "a.png").string(), handed.string(), (home() / "b.png").string()}));
        auto exit = process.waitFor(30s);

        ASSERT_TRUE(exit) << "the share still runs after 30 seconds";
        EXPECT_EQ(exit->status, c.status) << exit->standardError;
        for (const char* name : {"a.jpg", "b.jpg"})
            EXPECT_TRUE(isWholeJpeg(root() / "instagram" / name)) << name;
        EXPECT_EQ(std::filesystem::exists(root() / "instagram/photo.jpg"), !c.note);
        auto records = diagnosticRecords();
        ASSERT_EQ(records.size(), 1u);
        if (c.note) {
            std::string note = *c.note;
            if (size_t at = note.find("$P"); at != std::string::npos)
                note.replace(at, 2, handed.string());
            EXPECT_THAT(records[0], HasSubstr("notes=[\"item 1: " + note + "\"]"));
        } else {
            EXPECT_THAT(records[0], HasSubstr("notes=[]"));
        }
        EXPECT_TRUE(stagingIsGone());
    }
}

TEST_F(Share, APipeOfAProcessSubstitutionIsJudgedByItsBytesAndExported) {
    test::writeImage(home() / "a.png", 300, 200);
    // The shell hands the share /dev/fd/N, the read end of a pipe from `cat`, with no name
    // that says what it holds.
    test::ChildProcess process({{"/bin/bash", "-c", "exec \"$0\" <(cat \"$1\")",
                                 PLENWICK_SHARE_PROGRAM, (home() / "a.png").string()},
                                m_environment});
    auto exit = process.waitFor(30s);

    ASSERT_TRUE(exit) << "the share still runs after 30 seconds";
    EXPECT_EQ(exit->status, 0) << exit->standardError;
    auto exported = test::namesIn(root() / "instagram");
    ASSERT_EQ(exported.size(), 1u);
    EXPECT_TRUE(isWholeJpeg(root() / "instagram" / exported[0]));
    EXPECT_THAT(diagnosticRecords().at(0), HasSubstr("notes=[]"));
    EXPECT_TRUE(stagingIsGone());
}

TEST_F(Share, EndlessBytesAreCutOffAtTheSizeOfAPhoto) {
    // Room for the bound and a little more: bytes read on past it would fill the folder.
    auto roomy = test::ScopedMount::tmpfs(temporary(), FileStaging::largestPipedPhoto + (64 << 20));
    test::writeImage(home() / "a.png", 300, 200);
    const std::string head = "\x89PNG\r\n\x1a\n";
    const std::string bound = std::to_string(FileStaging::largestPipedPhoto);
    Path endless = home() / "photo.png";
    for (bool standardInput : {false, true}) {
        SCOPED_TRACE(standardInput ? "standard input" : "a FIFO");
        std::filesystem::remove_all(root());
        std::filesystem::remove(endless);
        auto writer = fifoWrittenWith(endless, head, test::FifoWriter::End::endless);
        auto options = share({(home() / "a.png").string(), standardInput ? "-" : endless.string()});
        if (standardInput)
            options.standardInputFile = endless.string();

        test::ChildProcess process(options);
        auto exit = process.waitFor(120s);

        ASSERT_TRUE(exit) << "the share still runs after two minutes";
        EXPECT_EQ(exit->status, 1) << exit->standardError;
        EXPECT_EQ(lines(exit->standardOutput).back(),
                  "Exported 1 photo to Socials, 1 items skipped");
        std::string note =
            standardInput ? "item 1: loadFileRepresentation(public.png) failed: standard input: "
                          : "item 1: copy of file-url " + endless.string() + " failed: ";
        EXPECT_THAT(diagnosticRecords().at(0),
                    HasSubstr(note + "larger than any photo: more than " + bound + " bytes"));
        EXPECT_TRUE(stagingIsGone());
    }
}

TEST_F(Share, ASigtermEndsAShareWaitingOnAPipeWithinASecond) {
    // Room for a little more than the bound, so that a copy that misses the stop still ends.
    auto roomy = test::ScopedMount::tmpfs(temporary(), FileStaging::largestPipedPhoto + (64 << 20));
    test::writeImage(home() / "a.png", 300, 200);
    const struct {
        const char* what;
        bool standardInput;
        test::FifoWriter::End end;
    } cases[] = {
        {"a FIFO whose writer says nothing", false, test::FifoWriter::End::hold},
        {"a FIFO whose writer never ends", false, test::FifoWriter::End::endless},
        {"standard input that never ends", true, test::FifoWriter::End::endless},
    };
    Path pipe = home() / "photo.jpg";
    for (bool window : {false, true}) {
        m_environment["DISPLAY"] = window ? std::optional<std::string>(":99") : std::nullopt;
        m_environment["QT_QPA_PLATFORM"] =
            window ? std::optional<std::string>("offscreen") : std::nullopt;
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (window ? ", in the window" : ", in the terminal"));
            std::filesystem::remove(pipe);
            fifo(pipe);
            test::FifoWriter writer(pipe, "\xFF\xD8\xFF\xE0", c.end);
            auto options =
                share({(home() / "a.png").string(), c.standardInput ? "-" : pipe.string()});
            if (c.standardInput)
                options.standardInputFile = pipe.string();
            test::ChildProcess process(options);
            // The share holds its signals from the start; a FIFO's copy has begun once it is
            // open, standard input is read from the start.
            ASSERT_TRUE(process.waitUntilBlocking(SIGTERM, 30s));
            while (!writer.opened())
                std::this_thread::sleep_for(1ms);
            std::this_thread::sleep_for(200ms);

            auto sent = std::chrono::steady_clock::now();
            process.signal(SIGTERM);
            auto exit = process.waitFor(10s);
            auto took = std::chrono::steady_clock::now() - sent;

            ASSERT_TRUE(exit) << "the share still runs ten seconds after SIGTERM";
            EXPECT_EQ(exit->status, 130) << exit->standardError;
            EXPECT_LT(took, 1s);
            EXPECT_FALSE(std::filesystem::exists(root() / ".plenwick.log"));
            EXPECT_TRUE(stagingIsGone());
        }
    }
}

} // namespace
