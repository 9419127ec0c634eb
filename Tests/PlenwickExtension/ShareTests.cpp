#include "ChildProcess.hpp"
#include "LocalHttpServer.hpp"
#include "PlatformServices/Preferences.hpp"
#include "PlenwickCore/SpecStore.hpp"
#include "PrivateSessionBus.hpp"
#include "TestSupport.hpp"

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>

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
protected:
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

    test::ChildProcess::Exit run(std::vector<std::string> arguments) {
        test::ChildProcess process(share(std::move(arguments)));
        return process.wait();
    }

    std::vector<std::string> diagnosticRecords() const {
        return lines(test::readFile(root() / ".plenwick.log"));
    }

    bool stagingIsGone() const { return std::filesystem::is_empty(temporary()); }

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
    auto options = share({"-"});
    options.pipeStandardInput = true;
    test::ChildProcess process(options);
    process.writeStandardInput(test::readFile(home() / "piped.png"));

    auto exit = process.wait();

    EXPECT_EQ(exit.status, 0) << exit.standardError;
    EXPECT_TRUE(std::filesystem::exists(root() / "instagram/image.jpg"));
    EXPECT_THAT(diagnosticRecords().at(0),
                HasSubstr("types=[\"public.png\"] loaded=[\"image.png\"]"));

    auto empty = share({"-"});
    empty.pipeStandardInput = true;
    test::ChildProcess nothing(empty);
    auto skipped = nothing.wait();
    EXPECT_EQ(skipped.status, 1);
    EXPECT_EQ(lines(skipped.standardOutput).back(),
              "Exported 0 photos to Socials, 1 items skipped");
}

TEST_F(Share, UsesTheStoredSpecListAndAppendsTheNudge) {
    auto suite = Preferences::open(home() / ".config/plenwick" /
                                   (std::string(SpecStore::appGroupID) + ".sqlite3"));
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
    auto options = share({"-"});
    options.pipeStandardInput = true;
    test::ChildProcess process(options);
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

    auto options = share({"-"});
    options.pipeStandardInput = true;
    test::ChildProcess slow(options);
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
    EXPECT_FALSE(std::filesystem::exists(root()));
}

} // namespace
