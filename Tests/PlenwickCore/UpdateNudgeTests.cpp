#include "LocalHttpServer.hpp"
#include "PlatformServices/LogCapture.hpp"
#include "PlenwickCore/AppcastCheck.hpp"
#include "PlenwickCore/UpdateNudge.hpp"
#include "ScopedEnvironment.hpp"
#include "TestSupport.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace plenwick;
using namespace std::chrono_literals;
using Response = test::LocalHttpServer::Response;

namespace {

const std::string nudge(AppcastCheck::nudge);

std::string feedOf(int64_t build) {
    return R"(<?xml version="1.0" encoding="utf-8"?>)"
           R"(<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">)"
           R"(<channel><item><title>Plenwick</title><enclosure url="https://example.invalid/p.deb" )"
           R"(sparkle:version=")" +
           std::to_string(build) + R"(" length="1"/></item></channel></rss>)";
}

// A suite in a real SQLite file, a local feed server and a clock the test sets; each call to
// the clock moves it on by one second, so the stored check time shows which reading it was.
class UpdateNudgeTest : public testing::Test {
protected:
    void SetUp() override {
        // Requests to the local server must not go through a proxy of the machine.
        environment.set("no_proxy", "127.0.0.1");
        preferences = Preferences::open(folder / "suite.sqlite3").valueOr(nullptr);
        ASSERT_TRUE(preferences);
    }

    UpdateNudge nudgeFor(const std::string& url, int64_t currentBuild) {
        return UpdateNudge(url, preferences, currentBuild, [this] {
            return Preferences::Date(std::chrono::seconds(clock.fetch_add(1)));
        });
    }

    test::ScopedEnvironment environment;
    test::TemporaryFolder folder;
    std::shared_ptr<Preferences> preferences;
    test::LocalHttpServer server;
    std::atomic<int64_t> clock{1700000000};
};

TEST_F(UpdateNudgeTest, FetchesOnceADayAndAnswersFromTheStoredBuildInBetween) {
    server.respond("/appcast.xml", {200, feedOf(12)});
    Log::Capture capture;

    EXPECT_EQ(nudgeFor(server.url("/appcast.xml"), 10).suffix(), nudge);
    EXPECT_EQ(server.requests(), 1);
    // The check time is the clock's second reading, taken after the request.
    EXPECT_EQ(preferences->date(UpdateNudge::lastCheckKey).value(), Preferences::Date(1700000001s));
    EXPECT_EQ(preferences->integer(UpdateNudge::latestBuildKey).value(), 12);
    EXPECT_EQ(capture.messages("update"),
              std::vector<std::string>{"appcast fetch: latest build 12, current 10"});

    clock = 1700000000 + 3600;
    server.respond("/appcast.xml", {200, feedOf(13)});
    EXPECT_EQ(nudgeFor(server.url("/appcast.xml"), 10).suffix(), nudge);
    EXPECT_EQ(nudgeFor(server.url("/appcast.xml"), 12).suffix(), std::nullopt);
    EXPECT_EQ(server.requests(), 1);
    EXPECT_EQ(capture.messages("update").size(), 1u);
}

TEST_F(UpdateNudgeTest, TheDayIsCountedFromTheStoredCheckTime) {
    server.respond("/appcast.xml", {200, feedOf(12)});
    const int64_t now = 1700000000;
    struct Case {
        const char* name;
        std::optional<int64_t> lastCheck;
        bool fetches;
    };
    const Case cases[] = {
        {"exactly a day ago", now - 86400, true},
        {"a second less than a day ago", now - 86399, false},
        {"an hour in the future", now + 3600, false},
        {"a day after a check in the future", now - 86400 - 3600, true},
        {"never", std::nullopt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(preferences->remove(UpdateNudge::lastCheckKey));
        if (c.lastCheck) {
            ASSERT_TRUE(preferences->setDate(
                UpdateNudge::lastCheckKey, Preferences::Date(std::chrono::seconds(*c.lastCheck))));
        }
        int before = server.requests();
        clock = now;
        nudgeFor(server.url("/appcast.xml"), 10).suffix();
        EXPECT_EQ(server.requests() - before, c.fetches ? 1 : 0);
    }
}

TEST_F(UpdateNudgeTest, StoredValuesOfAnotherKindCountAsAbsent) {
    server.respond("/appcast.xml", {404});
    ASSERT_TRUE(preferences->setInteger(UpdateNudge::lastCheckKey, 1700000000));
    ASSERT_TRUE(preferences->setData(UpdateNudge::latestBuildKey, {'9', '9'}));

    EXPECT_EQ(nudgeFor(server.url("/appcast.xml"), 10).suffix(), std::nullopt);
    EXPECT_EQ(server.requests(), 1);
    EXPECT_TRUE(preferences->date(UpdateNudge::lastCheckKey).value());
}

TEST_F(UpdateNudgeTest, ANewAnswerReplacesTheStoredBuildEvenWhenItIsLower) {
    server.respond("/appcast.xml", {200, feedOf(15)});
    ASSERT_TRUE(preferences->setInteger(UpdateNudge::latestBuildKey, 20));

    EXPECT_EQ(nudgeFor(server.url("/appcast.xml"), 16).suffix(), std::nullopt);
    EXPECT_EQ(preferences->integer(UpdateNudge::latestBuildKey).value(), 15);
}

struct FeedCase {
    const char* name;
    std::string path;
    Response response;
    // The one line logged; a trailing "*" matches any rest.
    std::string logged;
    // The build the feed shows, when the answer was usable and had one.
    std::optional<int64_t> build = std::nullopt;
};

bool matches(const std::string& line, const std::string& pattern) {
    if (pattern.ends_with('*'))
        return line.starts_with(pattern.substr(0, pattern.size() - 1));
    return line == pattern;
}

TEST_F(UpdateNudgeTest, EveryAnswerEndsAsACheckWithOrWithoutNews) {
    const std::filesystem::path fixtures = test::fixtures();
    std::string exactlyFull = feedOf(14);
    exactlyFull.append(UpdateNudge::maximumFeedSize - exactlyFull.size(), '\n');
    const std::string huge = feedOf(14) + std::string(2 << 20, '\n');
    const std::string refused =
        "http://127.0.0.1:" + std::to_string(test::LocalHttpServer::closedPort()) + "/appcast.xml";
    const FeedCase cases[] = {
        {"a newer build",
         "/appcast.xml",
         {200, feedOf(12)},
         "appcast fetch: latest build 12, current 10",
         12},
        {"the running build",
         "/appcast.xml",
         {200, feedOf(10)},
         "appcast fetch: latest build 10, current 10",
         10},
        {"a real feed",
         "/appcast.xml",
         {200, test::readFile(fixtures / "appcast/maccy_appcast.xml")},
         "appcast fetch: latest build 62, current 10",
         62},
        {"after one redirect",
         "/old",
         {.status = 302, .headers = {"Location: /appcast.xml"}},
         "appcast fetch: latest build 12, current 10",
         12},
        {"a feed in Windows-1252",
         "/appcast.xml",
         {200, R"(<?xml version="1.0" encoding="windows-1252"?><rss><channel>)"
               "<title>Plenwick \x96 Caf\xE9</title><item><enclosure sparkle:version=\"15\"/>"
               "</item></channel></rss>"},
         "appcast fetch: latest build 15, current 10",
         15},
        {"a feed of exactly 1 MiB",
         "/appcast.xml",
         {200, exactlyFull},
         "appcast fetch: latest build 14, current 10",
         14},
        {"not found", "/appcast.xml", {404, "no such feed"}, "appcast fetch: HTTP 404"},
        {"a server error with a feed",
         "/appcast.xml",
         {500, feedOf(12)},
         "appcast fetch: HTTP 500"},
        {"an error page",
         "/appcast.xml",
         {200, test::readFile(fixtures / "hostile/appcast_not_xml.html")},
         "appcast fetch: latest build -1, current 10"},
        {"a cut-off feed",
         "/appcast.xml",
         {200, test::readFile(fixtures / "hostile/appcast_truncated.xml")},
         "appcast fetch: latest build -1, current 10"},
        {"an external entity",
         "/appcast.xml",
         {200, test::readFile(fixtures / "hostile/appcast_xxe.xml")},
         "appcast fetch: latest build -1, current 10"},
        {"an entity bomb",
         "/appcast.xml",
         {200, "<!DOCTYPE r [<!ENTITY a \"" + std::string(1000, 'a') + "\">]><r>" +
                   [] {
                       std::string many;
                       for (int i = 0; i < 20000; ++i)
                           many += "&a;";
                       return many;
                   }() +
                   "<sparkle:version>99</sparkle:version></r>"},
         "appcast fetch: latest build -1, current 10"},
        {"an empty answer",
         "/appcast.xml",
         {200, ""},
         "appcast fetch: latest build -1, current 10"},
        {"no content", "/appcast.xml", {204, ""}, "appcast fetch: latest build -1, current 10"},
        {"a redirect loop",
         "/loop",
         {.status = 302, .headers = {"Location: /loop"}},
         "appcast fetch failed: Maximum (5) redirects followed"},
        {"a huge feed with its length",
         "/appcast.xml",
         {200, huge},
         "appcast fetch failed: Maximum file size exceeded"},
        {"a huge feed without a length",
         "/appcast.xml",
         {.body = huge, .closeDelimited = true},
         "appcast fetch failed: the answer is larger than 1 MiB"},
        {"a connection closed early",
         "/appcast.xml",
         {.body = feedOf(12), .announcedLength = 100000},
         "appcast fetch failed: transfer closed with *"},
        {"an answer that is not HTTP",
         "/appcast.xml",
         {.raw = feedOf(12)},
         "appcast fetch failed: Received HTTP/0.9 when not allowed"},
        {"a refused connection",
         refused,
         {},
         "appcast fetch failed: Failed to connect to 127.0.0.1 port *"},
        {"a file URL",
         "file:///etc/hostname",
         {},
         "appcast fetch failed: Protocol \"file\" not supported*"},
        {"a malformed URL", "http://[127.0.0.1/appcast.xml", {}, "appcast fetch failed: *"},
    };
    for (std::optional<int64_t> stored : {std::optional<int64_t>(), std::optional<int64_t>(11)}) {
        for (const FeedCase& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << (stored ? ", build 11 stored" : ""));
            ASSERT_TRUE(preferences->remove(UpdateNudge::lastCheckKey));
            ASSERT_TRUE(preferences->remove(UpdateNudge::latestBuildKey));
            if (stored) {
                ASSERT_TRUE(preferences->setInteger(UpdateNudge::latestBuildKey, *stored));
            }
            server.respond("/appcast.xml", {200, feedOf(12)});
            if (c.path.starts_with('/'))
                server.respond(c.path, c.response);
            const std::string url = c.path.starts_with('/') ? server.url(c.path) : c.path;
            clock = 1700000000;
            Log::Capture capture;

            auto suffix = nudgeFor(url, 10).suffix();

            auto messages = capture.messages("update");
            ASSERT_EQ(messages.size(), 1u);
            EXPECT_TRUE(matches(messages[0], c.logged)) << messages[0];
            EXPECT_EQ(preferences->date(UpdateNudge::lastCheckKey).value(),
                      Preferences::Date(1700000001s));
            std::optional<int64_t> known = c.build ? c.build : stored;
            EXPECT_EQ(preferences->integer(UpdateNudge::latestBuildKey).value(), known);
            EXPECT_EQ(suffix, known > 10 ? std::optional(nudge) : std::nullopt);
        }
    }
}

TEST_F(UpdateNudgeTest, AServerThatNeverAnswersTimesOutAfterTwoSeconds) {
    server.respond("/appcast.xml", {.stall = true});
    Log::Capture capture;
    auto started = std::chrono::steady_clock::now();

    EXPECT_EQ(nudgeFor(server.url("/appcast.xml"), 10).suffix(), std::nullopt);

    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GE(elapsed, 1900ms);
    EXPECT_LT(elapsed, 5s);
    auto messages = capture.messages("update");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].starts_with("appcast fetch failed: Operation timed out after"))
        << messages[0];
    EXPECT_TRUE(preferences->date(UpdateNudge::lastCheckKey).value());
}

TEST_F(UpdateNudgeTest, ACancelledRequestStoresNothingAndTheNextShareAsksAgain) {
    server.respond("/appcast.xml", {.stall = true});
    Log::Capture capture;
    std::optional<std::string> suffix = "not yet";
    std::chrono::steady_clock::duration afterStop{};
    {
        std::jthread share([&](std::stop_token stop) {
            suffix = nudgeFor(server.url("/appcast.xml"), 10).suffix(stop);
        });
        ASSERT_TRUE(server.waitForRequests(1, 5s));
        auto stopped = std::chrono::steady_clock::now();
        share.request_stop();
        share.join();
        afterStop = std::chrono::steady_clock::now() - stopped;
    }
    // Well before the time-out: the stop aborted the transfer.
    EXPECT_LT(afterStop, 1s);
    EXPECT_EQ(suffix, std::nullopt);
    EXPECT_FALSE(preferences->date(UpdateNudge::lastCheckKey).value());
    EXPECT_FALSE(preferences->integer(UpdateNudge::latestBuildKey).value());
    EXPECT_TRUE(capture.messages("update").empty());

    server.respond("/appcast.xml", {200, feedOf(12)});
    EXPECT_EQ(nudgeFor(server.url("/appcast.xml"), 10).suffix(), nudge);
    EXPECT_EQ(server.requests(), 2);
}

TEST_F(UpdateNudgeTest, AShareStoppedBeforeTheCheckMakesNoRequest) {
    server.respond("/appcast.xml", {200, feedOf(12)});
    ASSERT_TRUE(preferences->setInteger(UpdateNudge::latestBuildKey, 11));
    std::stop_source stopped;
    stopped.request_stop();

    EXPECT_EQ(nudgeFor(server.url("/appcast.xml"), 10).suffix(stopped.get_token()), nudge);
    EXPECT_EQ(server.requests(), 0);
    EXPECT_FALSE(preferences->date(UpdateNudge::lastCheckKey).value());
}

// A port that was free a moment ago, for a server that binds it itself.
uint16_t freePort() {
    int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

// openssl's own test server with a certificate nobody vouches for, stopped when it goes.
class SelfSignedServer {
public:
    explicit SelfSignedServer(const std::filesystem::path& folder) {
        const std::string key = (folder / "key.pem").string();
        const std::string certificate = (folder / "certificate.pem").string();
        const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "
                                 "/CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                                 key + " -out " + certificate + " >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0)
            return;
        port = freePort();
        const std::string accept = "127.0.0.1:" + std::to_string(port);
        m_process = fork();
        if (m_process == 0) {
            int null = ::open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execlp("openssl", "openssl", "s_server", "-quiet", "-www", "-accept", accept.c_str(),
                   "-cert", certificate.c_str(), "-key", key.c_str(), nullptr);
            _exit(127);
        }
    }
    ~SelfSignedServer() {
        if (m_process > 0) {
            kill(m_process, SIGTERM);
            waitpid(m_process, nullptr, 0);
        }
    }

    // True once the server accepts connections.
    bool ready() const {
        for (int attempt = 0; m_process > 0 && attempt < 500; ++attempt) {
            int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool connected =
                ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            ::close(probe);
            if (connected)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    uint16_t port = 0;

private:
    pid_t m_process = -1;
};

TEST_F(UpdateNudgeTest, ACertificateThatIsNotTrustedFailsTheRequest) {
    // The set-up installs openssl; without it this case cannot be shown, which is a failure.
    ASSERT_EQ(std::system("command -v openssl >/dev/null 2>&1"), 0) << "openssl is not installed";
    SelfSignedServer tls(folder.path());
    ASSERT_TRUE(tls.ready()) << "openssl s_server did not start";
    Log::Capture capture;

    EXPECT_EQ(
        nudgeFor("https://127.0.0.1:" + std::to_string(tls.port) + "/appcast.xml", 10).suffix(),
        std::nullopt);

    auto messages = capture.messages("update");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].starts_with("appcast fetch failed: SSL certificate problem: "))
        << messages[0];
}

TEST_F(UpdateNudgeTest, ARunningBuildOfZeroIsOlderThanAnyFeed) {
    server.respond("/appcast.xml", {200, feedOf(1)});
    EXPECT_EQ(nudgeFor(server.url("/appcast.xml"), 0).suffix(), nudge);
}

} // namespace
