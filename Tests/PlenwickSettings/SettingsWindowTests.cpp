#include "ChildProcess.hpp"
#include "LocalHttpServer.hpp"
#include "PlatformServices/Preferences.hpp"
#include "PlatformServices/TemporaryFolder.hpp"
#include "PlenwickCore/SpecStore.hpp"
#include "QtTestSupport.hpp"
#include "SettingsForm.hpp"
#include "SettingsWindow.hpp"
#include "SpecsModel.hpp"
#include "TestSupport.hpp"
#include "Updater.hpp"

#include <csignal>
#include <fstream>
#include <thread>

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace plenwick;

namespace {

std::string upToDateFeed() {
    return R"(<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>)"
           R"(<item><sparkle:version>1</sparkle:version></item></channel></rss>)";
}

class SettingsWindowTest : public testing::Test {
protected:
    void SetUp() override {
        test::application();
        test::ownAccount(m_environment, m_folder.path());
        m_environment.set("PLENWICK_FEED_URL", m_server.url("/appcast.xml"));
        // The window removes what dead shares left in the temporary folder: this one.
        std::filesystem::create_directories(m_folder / "tmp");
        m_environment.set("TMPDIR", (m_folder / "tmp").string());
        test::LocalHttpServer::Response feed{200, upToDateFeed()};
        // Slow enough that the disabled state can be seen.
        feed.delay = std::chrono::milliseconds(300);
        m_server.respond("/appcast.xml", feed);
    }

    test::TemporaryFolder m_folder;
    test::ScopedEnvironment m_environment;
    test::LocalHttpServer m_server;
};

TEST_F(SettingsWindowTest, OneFixedSizeWindowTitledPlenwick) {
    SettingsWindow app;
    app.show();
    QMainWindow& window = app.window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.windowTitle(), "Plenwick");
    EXPECT_EQ(window.objectName(), "main");
    EXPECT_EQ(window.centralWidget(), &app.content());
    EXPECT_EQ(app.content().width(), 420);
    // Sized by its content, and not resizable beyond it.
    EXPECT_EQ(window.minimumSize(), window.maximumSize());
    EXPECT_EQ(window.size(), window.sizeHint());

    auto menus = window.menuBar()->findChildren<QMenu*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(menus.size(), 1);
    EXPECT_EQ(menus[0]->title(), "Plenwick");
    EXPECT_EQ(menus[0]->actions().first(), &app.checkForUpdatesCommand());
    EXPECT_EQ(app.checkForUpdatesCommand().text(), "Check for Updates…");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return app.content().model().notificationStatus() != 0; }, 10000));
    std::cout << "screenshot: " << test::saveScreenshot(window, "settings-window") << "\n";
}

TEST_F(SettingsWindowTest, TheMenuCommandAndTheButtonAreEnabledTogether) {
    SettingsWindow app;
    QAction& command = app.checkForUpdatesCommand();
    auto* button = app.content().findChild<QPushButton*>("checkForUpdates");
    ASSERT_NE(button, nullptr);
    auto together = [&](bool enabled) {
        return command.isEnabled() == enabled && button->isEnabled() == enabled;
    };

    // Right after launch, before the updater has started.
    EXPECT_TRUE(together(false));
    app.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return together(true); }, 10000));

    // From the menu: both wait for the check and its answer, which reads the environment's feed.
    command.trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return together(false); }, 10000));
    ASSERT_TRUE(m_server.waitForRequests(1, std::chrono::seconds(10)));
    QMessageBox* box = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (box = test::updateAnswer()) != nullptr; }, 30000));
    EXPECT_TRUE(together(false));
    EXPECT_EQ(box->text(), "You’re up to date.");
    box->accept();
    ASSERT_TRUE(QTest::qWaitFor([&] { return together(true); }, 10000));

    // From the window's button: the same.
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return together(false); }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return (box = test::updateAnswer()) != nullptr; }, 30000));
    box->accept();
    ASSERT_TRUE(QTest::qWaitFor([&] { return together(true); }, 10000));
    EXPECT_EQ(m_server.requests(), 2);
}

TEST_F(SettingsWindowTest, AtLaunchRemovesWhatDeadSharesLeftAndNothingElse) {
    const std::filesystem::path temporary = m_folder / "tmp";
    // A share killed while it read standard input leaves the folder that holds those bytes.
    std::filesystem::path dead;
    {
        test::ChildProcess share({{PLENWICK_SHARE_PROGRAM, "-"},
                                  {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}},
                                  true});
        share.writeStandardInput("\x89PNG\r\n");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (dead.empty() && std::chrono::steady_clock::now() < deadline) {
            for (const auto& entry : std::filesystem::directory_iterator(temporary))
                if (std::filesystem::exists(entry.path() / "input"))
                    dead = entry.path();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_FALSE(dead.empty());
        share.signal(SIGKILL);
        share.wait();
    }
    test::makeOld(dead);
    // Beside it, a user's folder, a copy of it under a name no share gives, a live share's
    // folder and one made a moment ago.
    std::filesystem::create_directories(temporary / "plenwick-review/checkout");
    std::ofstream(temporary / "plenwick-review/notes.txt") << "notes";
    std::filesystem::copy(dead, temporary / "plenwick-dead",
                          std::filesystem::copy_options::recursive);
    auto live = TemporaryFolder::createStaging(temporary, TemporaryFolder::Staging::share);
    ASSERT_TRUE(live) << live.error().message;
    for (const char* name : {"plenwick-review", "plenwick-dead"})
        test::makeOld(temporary / name);
    test::makeOld(live.value().path());
    std::filesystem::copy(dead, temporary / "plenwick-stdin-Just12",
                          std::filesystem::copy_options::recursive);
    // In a spec folder: a JPEG temporary, a name one short of one, and an export, all old.
    const std::filesystem::path spec = m_folder / "home/Pictures/Socials/facebook";
    std::filesystem::create_directories(spec);
    for (const char* name :
         {".photo.jpg.plenwick-a1b2c3", ".photo.jpg.plenwick-a1b2c", "photo.jpg"}) {
        std::ofstream(spec / name) << "bytes";
        test::makeOld(spec / name);
    }

    {
        SettingsWindow app;
        app.show();
    }

    EXPECT_FALSE(std::filesystem::exists(dead));
    for (const char* name :
         {"plenwick-review/notes.txt", "plenwick-dead/input", "plenwick-stdin-Just12/input"})
        EXPECT_TRUE(std::filesystem::exists(temporary / name)) << name;
    EXPECT_TRUE(std::filesystem::exists(live.value().path()));
    EXPECT_FALSE(std::filesystem::exists(spec / ".photo.jpg.plenwick-a1b2c3"));
    EXPECT_TRUE(std::filesystem::exists(spec / ".photo.jpg.plenwick-a1b2c"));
    EXPECT_TRUE(std::filesystem::exists(spec / "photo.jpg"));
}

TEST_F(SettingsWindowTest, AStoredListWithNumbersOutOfRangeShowsTheDefaults) {
    auto suite = Preferences::open(m_folder / "config/plenwick" /
                                   (std::string(Preferences::sharedSuiteName) + ".sqlite3"))
                     .valueOr(nullptr);
    ASSERT_TRUE(suite);
    std::string list = R"([{"id":"x","folder":"x","rule":{"width":{"_0":100}},"quality":1e400}])";
    ASSERT_TRUE(suite->setData(SpecStore::specsKey, Preferences::Data(list.begin(), list.end())));

    SettingsWindow app;
    app.show();

    EXPECT_EQ(app.content().model().specs(), ExportSpec::defaults());
}

} // namespace
