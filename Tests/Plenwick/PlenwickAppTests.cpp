#include "ContentView.hpp"
#include "LocalHttpServer.hpp"
#include "PlatformServices/Preferences.hpp"
#include "PlatformServices/TemporaryFolder.hpp"
#include "PlenwickApp.hpp"
#include "PlenwickCore/SpecStore.hpp"
#include "QtTestSupport.hpp"
#include "SpecsModel.hpp"
#include "TestSupport.hpp"
#include "Updater.hpp"
#include "UpdaterModel.hpp"

#include <fstream>
#include <sys/file.h>

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

class PlenwickAppTest : public testing::Test {
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

TEST_F(PlenwickAppTest, OneFixedSizeWindowTitledPlenwick) {
    PlenwickApp app;
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

TEST_F(PlenwickAppTest, TheMenuCommandAndTheButtonAreEnabledTogether) {
    PlenwickApp app;
    QAction& command = app.checkForUpdatesCommand();
    auto* button = app.content().findChild<QPushButton*>("checkForUpdates");
    ASSERT_NE(button, nullptr);
    auto together = [&](bool enabled) {
        return command.isEnabled() == enabled && button->isEnabled() == enabled;
    };

    // Right after launch, before the updater's first report is mirrored.
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

TEST_F(PlenwickAppTest, AtLaunchRemovesWhatDeadSharesLeftAndNothingLiveSharesHold) {
    const std::filesystem::path temporary = m_folder / "tmp";
    std::filesystem::create_directories(temporary / "plenwick-dead/item_0");
    std::ofstream(temporary / "plenwick-dead/item_0/photo.jpg") << "a staged copy";
    test::makeOld(temporary / "plenwick-dead");
    std::filesystem::create_directory(temporary / "plenwick-just-made");
    auto live = TemporaryFolder::create(temporary, "plenwick-live-XXXXXX");
    ASSERT_TRUE(live) << live.error().message;
    test::makeOld(live.value().path());
    std::filesystem::create_directory(temporary / "not-ours");
    test::makeOld(temporary / "not-ours");
    const std::filesystem::path spec = m_folder / "home/Pictures/Socials/facebook";
    std::filesystem::create_directories(spec);
    std::ofstream(spec / ".photo.jpg.plenwick-a1b2c3") << "half a JPEG";
    test::makeOld(spec / ".photo.jpg.plenwick-a1b2c3");
    std::ofstream(spec / "photo.jpg") << "an export";

    {
        PlenwickApp app;
        app.show();
    }

    EXPECT_FALSE(std::filesystem::exists(temporary / "plenwick-dead"));
    EXPECT_TRUE(std::filesystem::exists(temporary / "plenwick-just-made"));
    EXPECT_TRUE(std::filesystem::exists(live.value().path()));
    EXPECT_TRUE(std::filesystem::exists(temporary / "not-ours"));
    EXPECT_FALSE(std::filesystem::exists(spec / ".photo.jpg.plenwick-a1b2c3"));
    EXPECT_TRUE(std::filesystem::exists(spec / "photo.jpg"));
}

TEST_F(PlenwickAppTest, AStoredListWithNumbersOutOfRangeShowsTheDefaults) {
    auto suite = Preferences::open(m_folder / "config/plenwick" /
                                   (std::string(SpecStore::appGroupID) + ".sqlite3"))
                     .valueOr(nullptr);
    ASSERT_TRUE(suite);
    std::string list = R"([{"id":"x","folder":"x","rule":{"width":{"_0":100}},"quality":1e400}])";
    ASSERT_TRUE(suite->setData(SpecStore::specsKey, Preferences::Data(list.begin(), list.end())));

    PlenwickApp app;
    app.show();

    EXPECT_EQ(app.content().model().specs(), ExportSpec::defaults());
}

} // namespace
