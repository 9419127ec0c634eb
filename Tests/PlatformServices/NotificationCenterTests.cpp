#include "PlatformServices/NotificationCenter.hpp"
#include "PlatformServices/Uuid.hpp"
#include "PrivateSessionBus.hpp"
#include "TestSupport.hpp"

#include <chrono>
#include <cstdlib>
#include <future>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace plenwick;
using test::PrivateSessionBus;

namespace {

NotificationRequest request(std::string body, std::string title = "Plenwick") {
    return {Uuid::random().value(), std::move(title), std::move(body)};
}

// What a post's answer says went wrong; nothing when it was posted.
std::optional<std::string> failureOf(const Expected<void, SystemError>& posted) {
    if (posted)
        return std::nullopt;
    return posted.error().message;
}

// Points the session bus somewhere for the life of the object and puts the old value back.
class SessionBusAddress {
public:
    explicit SessionBusAddress(const char* address) {
        for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"})
            if (const char* value = std::getenv(name))
                m_saved.emplace_back(name, value);
        if (address)
            setenv("DBUS_SESSION_BUS_ADDRESS", address, 1);
        else
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
        unsetenv("XDG_RUNTIME_DIR");
    }
    ~SessionBusAddress() {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        unsetenv("XDG_RUNTIME_DIR");
        for (const auto& [name, value] : m_saved)
            setenv(name.c_str(), value.c_str(), 1);
    }
    SessionBusAddress(const SessionBusAddress&) = delete;
    SessionBusAddress& operator=(const SessionBusAddress&) = delete;

private:
    std::vector<std::pair<std::string, std::string>> m_saved;
};

TEST(NotificationCenter, IsAuthorizedExactlyWhileAServerOwnsTheName) {
    PrivateSessionBus bus;
    NotificationCenter& center = NotificationCenter::current();
    EXPECT_EQ(center.authorizationStatus(), NotificationCenter::denied);
    EXPECT_EQ(center.requestAuthorization(), NotificationCenter::denied);

    bus.startNotificationServer();
    EXPECT_EQ(center.authorizationStatus(), NotificationCenter::authorized);
    EXPECT_EQ(center.requestAuthorization(), NotificationCenter::authorized);

    bus.stopNotificationServer();
    EXPECT_EQ(center.authorizationStatus(), NotificationCenter::denied);
}

TEST(NotificationCenter, IsAuthorizedWhenTheBusCanStartAServerAndPostingStartsIt) {
    PrivateSessionBus bus({.activatable = true});
    NotificationCenter& center = NotificationCenter::current();
    EXPECT_EQ(center.authorizationStatus(), NotificationCenter::authorized);
    EXPECT_FALSE(bus.notificationServerRunning());

    EXPECT_EQ(failureOf(center.add(request("Exported 1 photo to Socials"))), std::nullopt);
    auto calls = bus.notifyCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].body, "Exported 1 photo to Socials");
}

TEST(NotificationCenter, PostsAsPlenwickWithoutExpiryOrReplacementAndEscapesMarkupInTheBody) {
    PrivateSessionBus bus;
    bus.startNotificationServer();
    NotificationCenter& center = NotificationCenter::current();

    EXPECT_EQ(failureOf(center.add(request("2 photos <b>not</b> exported: R&D > \"tom's\".jpg"))),
              std::nullopt);
    EXPECT_EQ(failureOf(center.add(request("Exported 1 photo to Socials", "A & B <i>"))),
              std::nullopt);

    auto calls = bus.notifyCalls();
    ASSERT_EQ(calls.size(), 2u);
    for (const auto& call : calls) {
        EXPECT_EQ(call.appName, "Plenwick");
        EXPECT_EQ(call.replacesID, 0u);
        EXPECT_EQ(call.appIcon, "");
        EXPECT_TRUE(call.actions.empty());
        EXPECT_TRUE(call.hintNames.empty());
        EXPECT_EQ(call.expireTimeout, -1);
    }
    EXPECT_EQ(calls[0].summary, "Plenwick");
    EXPECT_EQ(calls[0].body,
              "2 photos &lt;b&gt;not&lt;/b&gt; exported: R&amp;D &gt; \"tom's\".jpg");
    // The summary is plain text on every server.
    EXPECT_EQ(calls[1].summary, "A & B <i>");
}

TEST(NotificationCenter, LeavesTheBodyAloneForAServerWithoutMarkup) {
    PrivateSessionBus bus({.capabilities = {"body", "actions"}});
    bus.startNotificationServer();
    EXPECT_EQ(failureOf(NotificationCenter::current().add(request("R&D <b>"))), std::nullopt);
    auto calls = bus.notifyCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].body, "R&D <b>");
}

TEST(NotificationCenter, PostsABodyThatIsNotUTF8WithReplacementCharacters) {
    PrivateSessionBus bus({.capabilities = {"body"}});
    bus.startNotificationServer();
    EXPECT_EQ(failureOf(NotificationCenter::current().add(request("1 photo failed: caf\xE9.jpg"))),
              std::nullopt);
    auto calls = bus.notifyCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].body, "1 photo failed: caf\xEF\xBF\xBD.jpg");
}

TEST(NotificationCenter, FailsWithTheBusErrorWhenNoServerCanBeReached) {
    PrivateSessionBus bus;
    auto error =
        failureOf(NotificationCenter::current().add(request("Exported 1 photo to Socials")));
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("org.freedesktop.Notifications"), std::string::npos) << *error;
}

TEST(NotificationCenter, IsDeniedAndFailsWithoutASessionBus) {
    test::TemporaryFolder folder;
    std::string nowhere = "unix:path=" + (folder / "no-bus").string();
    {
        SessionBusAddress address(nowhere.c_str());
        EXPECT_EQ(NotificationCenter::current().authorizationStatus(), NotificationCenter::denied);
        auto error = failureOf(NotificationCenter::current().add(request("text")));
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, "cannot connect to the session bus: No such file or directory");
    }
    {
        SessionBusAddress address(nullptr);
        EXPECT_EQ(NotificationCenter::current().requestAuthorization(), NotificationCenter::denied);
        EXPECT_EQ(failureOf(NotificationCenter::current().add(request("text"))), "no session bus");
    }
}

TEST(NotificationCenter, GivesUpOnABusThatNeverAnswers) {
    // A socket that takes connections into its backlog and never says a word.
    test::TemporaryFolder folder;
    std::string path = (folder / "silent").string();
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    path.copy(name.sun_path, sizeof name.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&name), sizeof name), 0);
    ASSERT_EQ(::listen(listener, 8), 0);

    std::string address = "unix:path=" + path;
    SessionBusAddress bus(address.c_str());
    auto posted = std::async(std::launch::async, [] {
        return std::make_pair(NotificationCenter::current().authorizationStatus(),
                              failureOf(NotificationCenter::current().add(request("text"))));
    });
    ASSERT_EQ(posted.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    auto [status, error] = posted.get();
    EXPECT_EQ(status, NotificationCenter::denied);
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, "cannot connect to the session bus: Connection timed out");
    ::close(listener);
}

} // namespace
