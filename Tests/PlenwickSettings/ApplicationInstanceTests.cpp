#include "ApplicationInstance.hpp"
#include "ChildProcess.hpp"
#include "PrivateSessionBus.hpp"
#include "QtTestSupport.hpp"
#include "SettingsForm.hpp"
#include "SettingsWindow.hpp"
#include "TestSupport.hpp"
#include "Updater.hpp"

#include <csignal>
#include <cstdlib>
#include <fstream>

#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace plenwick;
using namespace std::chrono_literals;

namespace {

// Whether something owns `name` on the bus DBUS_SESSION_BUS_ADDRESS names.
bool owned(const char* name) {
    QProcess query;
    query.start("dbus-send", {"--session", "--print-reply", "--dest=org.freedesktop.DBus",
                              "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                              QStringLiteral("string:%1").arg(name)});
    return query.waitForFinished(10000) && query.readAllStandardOutput().contains("boolean true");
}

class ApplicationInstanceTest : public testing::Test {
protected:
    void SetUp() override {
        test::application();
        test::ownAccount(m_environment, m_folder.path());
        m_environment.set("PLENWICK_FEED_URL", "http://127.0.0.1:9/appcast.xml");
    }

    // The real program, as the desktop's menu starts it.
    static test::ChildProcess launch(std::optional<std::string> activationToken = std::nullopt) {
        return test::ChildProcess(
            {{PLENWICK_SETTINGS_PROGRAM},
             {{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_ACTIVATION_TOKEN", activationToken}}});
    }

    test::TemporaryFolder m_folder;
    test::ScopedEnvironment m_environment;
};

TEST_F(ApplicationInstanceTest, ASecondLaunchRaisesTheFirstProgramsWindowAndOpensNone) {
    test::PrivateSessionBus bus;
    // The programs say on standard error what they do with their windows.
    m_environment.set("PLENWICK_LOG", "stderr");
    test::ChildProcess first = launch();
    ASSERT_TRUE(first.waitForStandardError("settings window shown", 30s));
    EXPECT_TRUE(owned(ApplicationInstance::applicationID));

    // Launches with and without a token from the desktop: each is handed over and ends at once,
    // and the first program's window comes to the front with what the launch brought.
    const std::pair<std::optional<std::string>, const char*> cases[] = {
        {"launch-7", "settings window raised for another launch, with activation token launch-7"},
        {std::nullopt, "settings window raised for another launch, without an activation token"},
    };
    for (const auto& [token, raised] : cases) {
        SCOPED_TRACE(token.value_or("no token"));
        test::ChildProcess::Exit exit = launch(token).wait();
        EXPECT_EQ(exit.status, 0) << exit.standardError;
        EXPECT_EQ(exit.standardError.find("settings window"), std::string::npos)
            << exit.standardError;
        EXPECT_TRUE(first.waitForStandardError(raised, 20s));
    }
    first.signal(SIGTERM);
    auto ended = first.waitFor(20s);
    ASSERT_TRUE(ended);
    // One window all along: the first program showed its own once.
    std::string shown = ended->standardError;
    EXPECT_EQ(shown.find("settings window shown"), shown.rfind("settings window shown")) << shown;
}

TEST_F(ApplicationInstanceTest, SharesStartedFromTheWindowInheritNoActivationToken) {
    // A plenwick-share on PATH that writes down the environment it was started with.
    const std::filesystem::path bin = m_folder / "bin";
    const std::filesystem::path seen = m_folder / "share-environment";
    std::filesystem::create_directories(bin);
    std::ofstream(bin / "plenwick-share")
        << "#!/bin/sh\nenv > '" << seen.string() << ".part' && mv '" << seen.string() << ".part' '"
        << seen.string() << "'\n";
    std::filesystem::permissions(bin / "plenwick-share", std::filesystem::perms::owner_all);
    m_environment.set("PATH", bin.string() + ":" + std::getenv("PATH"));
    // The window's own launch came with a token, as the desktop's menu gives one.
    m_environment.set("XDG_ACTIVATION_TOKEN", "own-launch");
    test::PrivateSessionBus bus;

    const auto own = SingleInstance::Activation::takeFromEnvironment();
    EXPECT_EQ(own.activationToken, "own-launch");
    ApplicationInstance instance;
    auto claimed = instance.claim(own);
    ASSERT_TRUE(claimed) << claimed.error().message;
    ASSERT_EQ(claimed.value(), SingleInstance::Outcome::first);
    SettingsWindow app(std::make_unique<Updater>("http://127.0.0.1:9/appcast.xml", 1, "0.1.0 (1)"));
    QObject::connect(&instance, &ApplicationInstance::activated, &app.window(),
                     [&app](const std::string& token) { app.raise(token); });
    app.show(own.activationToken);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&app.window()));
    // A later launch with a token of its own raises the window.
    QSignalSpy activated(&instance, &ApplicationInstance::activated);
    test::ChildProcess second = launch("launch-7");
    ASSERT_TRUE(QTest::qWaitFor([&] { return activated.count() > 0; }, 20000));
    EXPECT_EQ(second.wait().status, 0);
    QApplication::processEvents();

    EXPECT_EQ(std::getenv("XDG_ACTIVATION_TOKEN"), nullptr);
    QSignalSpy started(&app.content(), &SettingsForm::shareStarted);
    app.content().sharePhotos({QString::fromStdString((m_folder / "photo.jpg").string())});
    ASSERT_EQ(started.count(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(seen); }, 20000));
    const std::string environment = test::readFile(seen);
    EXPECT_NE(environment.find("PATH="), std::string::npos) << environment;
    EXPECT_EQ(environment.find("XDG_ACTIVATION_TOKEN"), std::string::npos) << environment;
}

TEST_F(ApplicationInstanceTest, PlatformDataOfAnyShapeIsReadForTheTokenAlone) {
    const std::pair<const char*, const char*> cases[] = {
        {"{}", ""},
        {"{'activation-token': <'tok-1'>}", "tok-1"},
        {"{'x': <['a', 'b']>, 'activation-token': <'tok-2'>, 'y': <{'k': <1>}>}", "tok-2"},
        {"{'activation-token': <42>}", ""},
        {"{'activation-token': <['tok-3']>, 'desktop-startup-id': <'id'>}", ""},
    };
    test::PrivateSessionBus bus;
    ApplicationInstance instance;
    auto claimed = instance.claim();
    ASSERT_TRUE(claimed) << claimed.error().message;
    ASSERT_EQ(claimed.value(), SingleInstance::Outcome::first);
    QSignalSpy activated(&instance, &ApplicationInstance::activated);
    for (const auto& [data, token] : cases) {
        SCOPED_TRACE(data);
        QProcess call;
        call.start("gdbus", {"call", "--session", "--dest", ApplicationInstance::applicationID,
                             "--object-path", "/com/brindlemoor/Plenwick", "--method",
                             "org.freedesktop.Application.Activate", data});
        ASSERT_TRUE(QTest::qWaitFor([&] { return activated.count() > 0; }, 20000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return call.state() == QProcess::NotRunning; }, 20000));
        EXPECT_EQ(call.exitCode(), 0) << call.readAllStandardError().toStdString();
        EXPECT_EQ(activated.takeFirst().at(0).value<std::string>(), token);
    }
}

TEST_F(ApplicationInstanceTest, TheProgramKeepsRunningWhileLaterLaunchesHandOver) {
    test::PrivateSessionBus bus;
    test::ChildProcess first = launch();
    ASSERT_TRUE(QTest::qWaitFor([] { return owned(ApplicationInstance::applicationID); }, 30000));
    for (int i = 0; i < 2; ++i) {
        test::ChildProcess::Exit exit = launch().wait();
        EXPECT_EQ(exit.status, 0) << exit.standardError;
    }
    // Still there to be ended: the first launch did not quit with the others.
    EXPECT_TRUE(owned(ApplicationInstance::applicationID));
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait().status, 128 + SIGTERM);
}

TEST_F(ApplicationInstanceTest, WithoutASessionBusTheWindowRunsOnItsOwn) {
    ApplicationInstance instance;
    auto claimed = instance.claim();
    ASSERT_FALSE(claimed);
    EXPECT_EQ(claimed.error().kind, SingleInstance::Failure::Kind::noBus);
    EXPECT_NE(claimed.error().message.find("session bus"), std::string::npos)
        << claimed.error().message;

    m_environment.unset("DBUS_SESSION_BUS_ADDRESS");
    m_environment.unset("XDG_RUNTIME_DIR");
    auto again = instance.claim();
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind, SingleInstance::Failure::Kind::noBus);
}

TEST_F(ApplicationInstanceTest, AnOwnerThatDoesNotAnswerFailsTheLaunch) {
    test::PrivateSessionBus bus;
    // Something that holds the name but serves no Activate.
    QProcess holder;
    holder.start("/usr/bin/python3", {"-m", "dbusmock", ApplicationInstance::applicationID,
                                      "/com/brindlemoor/Plenwick", "org.example.Other"});
    ASSERT_TRUE(QTest::qWaitFor([] { return owned(ApplicationInstance::applicationID); }, 30000));

    test::ChildProcess::Exit exit = launch().wait();
    EXPECT_EQ(exit.status, 1);
    EXPECT_NE(exit.standardError.find("the settings window that is open does not answer"),
              std::string::npos)
        << exit.standardError;
    holder.terminate();
    holder.waitForFinished(10000);
}

TEST(SingleInstancePath, IsTheNameWithSlashes) {
    EXPECT_EQ(SingleInstance::objectPath("com.brindlemoor.Plenwick"), "/com/brindlemoor/Plenwick");
    EXPECT_EQ(SingleInstance::objectPath("org.example.my-app"), "/org/example/my_app");
}

} // namespace
