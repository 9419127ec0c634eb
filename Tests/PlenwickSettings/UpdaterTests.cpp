#include "LocalHttpServer.hpp"
#include "QtTestSupport.hpp"
#include "UpdateCheck.hpp"
#include "Updater.hpp"

#include <chrono>
#include <memory>
#include <string>

#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace plenwick;

namespace {

// Takes the place of the browser: notes each address it is asked to open.
class Browser : public QObject {
    Q_OBJECT

public:
    Browser() {
        QDesktopServices::setUrlHandler("https", this, "open");
        QDesktopServices::setUrlHandler("http", this, "open");
    }
    ~Browser() override {
        QDesktopServices::unsetUrlHandler("https");
        QDesktopServices::unsetUrlHandler("http");
    }

    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened << url; }
};

std::string item(const std::string& inner) {
    return "<item><title>Plenwick</title>" + inner + "</item>";
}

std::string feed(const std::string& items, const std::string& encoding = "utf-8") {
    return R"(<?xml version="1.0" encoding=")" + encoding +
           R"("?>)"
           R"(<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">)"
           "<channel><title>Plenwick</title><link>https://brindlemoor.example/</link>" +
           items + "</channel></rss>";
}

TEST(UpdateCheck, ReadsTheNewestBuildAndItsPage) {
    struct Case {
        const char* name;
        std::string document;
        int64_t current;
        UpdateCheck::Outcome outcome;
        int64_t latest;
        const char* page;
    };
    using Outcome = UpdateCheck::Outcome;
    const Case cases[] = {
        {"newer build with its enclosure",
         feed(item(R"(<enclosure url="https://dl.example/p-41.deb" sparkle:version="41"/>)") +
              item(R"(<link>https://example.com/notes/42</link>)"
                   R"(<enclosure url="https://dl.example/p-42.deb" sparkle:version="42"/>)")),
         7, Outcome::available, 42, "https://dl.example/p-42.deb"},
        {"build from the element, page from the item's enclosure", feed(item(R"(<sparkle:version> 12
</sparkle:version><enclosure url="https://dl.example/p.deb"/>)")),
         7, Outcome::available, 12, "https://dl.example/p.deb"},
        {"no enclosure: the release page",
         feed(item(R"(<sparkle:version>12</sparkle:version><link>https://example.com/12</link>)")),
         7, Outcome::available, 12, "https://example.com/12"},
        {"addresses that are no web page are never offered",
         feed(item(R"(<sparkle:version>12</sparkle:version><link>javascript:alert(1)</link>)"
                   R"(<enclosure url="file:///etc/passwd" sparkle:version="12"/>)")),
         7, Outcome::available, 12, ""},
        // "Plenwick – Café" in Windows-1252, which the toolkit's own reader knows too.
        {"a feed in Windows-1252",
         feed(item("<title>Plenwick \x96 Caf\xE9</title><sparkle:version>12</sparkle:version>"
                   "<enclosure url=\"https://dl.example/p-12.deb\"/>"),
              "windows-1252"),
         7, Outcome::available, 12, "https://dl.example/p-12.deb"},
        // "Brașov" in ISO-8859-16, which only the library's reader knows.
        {"a feed in ISO-8859-16",
         feed(item("<title>Bra\xBAov</title><sparkle:version>12</sparkle:version>"
                   "<link>https://example.com/12</link>"),
              "ISO-8859-16"),
         7, Outcome::available, 12, "https://example.com/12"},
        {"the same build",
         feed(item(R"(<enclosure url="https://dl.example/7" sparkle:version="7"/>)")), 7,
         Outcome::upToDate, 0, ""},
        {"an older feed", feed(item(R"(<sparkle:version>3</sparkle:version>)")), 7,
         Outcome::upToDate, 0, ""},
        {"no build at all", feed(item(R"(<sparkle:version>1.2.3</sparkle:version>)")), 7,
         Outcome::failed, 0, ""},
        {"not XML", "<html><body>Service Unavailable", 7, Outcome::failed, 0, ""},
        {"empty", "", 7, Outcome::failed, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateCheck check = UpdateCheck::evaluate(c.document, c.current);
        EXPECT_EQ(check.outcome, c.outcome);
        EXPECT_EQ(check.latestBuild, c.latest);
        EXPECT_EQ(check.page.toString().toStdString(), c.page);
        EXPECT_EQ(check.reason.isEmpty(), c.outcome != Outcome::failed);
    }
}

QMessageBox* waitForAnswer() {
    QMessageBox* box = nullptr;
    if (!QTest::qWaitFor([&] { return (box = test::updateAnswer()) != nullptr; }, 30000))
        return nullptr;
    return box;
}

class UpdaterTest : public testing::Test {
protected:
    void SetUp() override { test::application(); }

    std::unique_ptr<Updater> model(const std::string& path) {
        return std::make_unique<Updater>(m_server.url(path), 7, QStringLiteral("0.1.0 (7)"));
    }

    // The updater starts once the GUI thread had its turn.
    static void waitUntilItMayCheck(Updater& updater) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return updater.canCheckForUpdates(); }, 10000));
    }

    test::LocalHttpServer m_server;
};

TEST_F(UpdaterTest, TellsOfANewerBuildAndOpensItsDownload) {
    m_server.respond("/appcast.xml",
                     {200, feed(item(R"(<enclosure url="https://dl.example/p-9.deb" )"
                                     R"(sparkle:version="9"/>)"))});
    auto updater = model("/appcast.xml");
    EXPECT_FALSE(updater->canCheckForUpdates());
    waitUntilItMayCheck(*updater);

    Browser browser;
    updater->checkForUpdates();
    EXPECT_FALSE(updater->canCheckForUpdates());
    QMessageBox* box = waitForAnswer();
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(updater->canCheckForUpdates());
    EXPECT_EQ(box->text(), "A new version of Plenwick is available.");
    EXPECT_EQ(box->informativeText(), "Build 9 has been published; you have 0.1.0 (7).");
    auto* download = box->findChild<QPushButton*>("download");
    ASSERT_NE(download, nullptr);
    std::cout << "screenshot: " << test::saveScreenshot(*box, "update-available") << "\n";

    QTest::mouseClick(download, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !browser.opened.isEmpty(); }, 10000));
    EXPECT_EQ(browser.opened, QList<QUrl>{QUrl("https://dl.example/p-9.deb")});
    waitUntilItMayCheck(*updater);
    EXPECT_EQ(m_server.requests(), 1);
}

TEST_F(UpdaterTest, SaysSoWhenUpToDate) {
    m_server.respond("/appcast.xml", {200, feed(item(R"(<sparkle:version>7</sparkle:version>)"))});
    auto updater = model("/appcast.xml");
    waitUntilItMayCheck(*updater);
    updater->checkForUpdates();
    QMessageBox* box = waitForAnswer();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "You’re up to date.");
    EXPECT_EQ(box->informativeText(), "Plenwick 0.1.0 (7) is the newest version available.");
    EXPECT_EQ(box->findChild<QPushButton*>("download"), nullptr);
    box->accept();
    waitUntilItMayCheck(*updater);
}

TEST_F(UpdaterTest, SaysWhyACheckFailed) {
    std::string large(2 << 20, ' ');
    m_server.respond("/missing.xml", {404, "not here"});
    m_server.respond("/page.html", {200, "<html><body>Sign in to the hotel network"});
    m_server.respond("/large.xml", {200, large});
    struct Case {
        std::string url;
        QString reason;
    };
    const Case cases[] = {
        {m_server.url("/missing.xml"), "The update server answered with HTTP status 404."},
        {m_server.url("/page.html"), "The update feed is not an appcast that names a build."},
        {m_server.url("/large.xml"), "The update feed is larger than a feed can be."},
        {"http://127.0.0.1:" + std::to_string(test::LocalHttpServer::closedPort()) + "/appcast.xml",
         "The update server could not be reached: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        Updater updater(c.url, 7, QStringLiteral("0.1.0 (7)"));
        waitUntilItMayCheck(updater);
        updater.checkForUpdates();
        QMessageBox* box = waitForAnswer();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), "The update check failed.");
        EXPECT_TRUE(box->informativeText().startsWith(c.reason))
            << box->informativeText().toStdString();
        if (c.url.find("missing") != std::string::npos)
            std::cout << "screenshot: " << test::saveScreenshot(*box, "update-failed") << "\n";
        box->accept();
        waitUntilItMayCheck(updater);
    }
}

TEST_F(UpdaterTest, NoSecondCheckStartsWhileOneRuns) {
    test::LocalHttpServer::Response slow{200,
                                         feed(item(R"(<sparkle:version>7</sparkle:version>)"))};
    slow.delay = std::chrono::milliseconds(500);
    m_server.respond("/appcast.xml", slow);
    auto updater = model("/appcast.xml");
    waitUntilItMayCheck(*updater);
    QSignalSpy changed(updater.get(), &Updater::canCheckForUpdatesChanged);
    updater->checkForUpdates();
    updater->checkForUpdates();
    QMessageBox* box = waitForAnswer();
    ASSERT_NE(box, nullptr);
    updater->checkForUpdates();
    box->accept();
    waitUntilItMayCheck(*updater);
    EXPECT_EQ(m_server.requests(), 1);
    // Disabled once, enabled once.
    EXPECT_EQ(changed.count(), 2);
}

TEST_F(UpdaterTest, GoingAwayStopsACheckThatWaitsOnTheServer) {
    test::LocalHttpServer::Response stalled;
    stalled.stall = true;
    m_server.respond("/appcast.xml", stalled);
    auto updater = model("/appcast.xml");
    waitUntilItMayCheck(*updater);
    updater->checkForUpdates();
    ASSERT_TRUE(m_server.waitForRequests(1, std::chrono::seconds(10)));
    updater.reset();
    QTest::qWait(100);
    EXPECT_EQ(test::updateAnswer(), nullptr);
}

TEST(Updater, StartsOnceTheApplicationRunsAndNamesTheBuild) {
    test::application();
    Updater updater("http://127.0.0.1:9/", 1, "x");
    QSignalSpy changed(&updater, &Updater::canCheckForUpdatesChanged);
    EXPECT_FALSE(updater.canCheckForUpdates());
    updater.checkForUpdates();
    ASSERT_TRUE(QTest::qWaitFor([&] { return updater.canCheckForUpdates(); }, 10000));
    QTest::qWait(50);
    // One report: started. The check asked for before it had no effect.
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(Updater::versionString(),
              QStringLiteral(PLENWICK_VERSION " (%1)").arg(PLENWICK_BUILD_NUMBER));
    EXPECT_EQ(Updater::currentBuild(), std::stoll(PLENWICK_BUILD_NUMBER));
}

TEST(Updater, TheVersionTextShowsTheBuildAsGiven) {
    const struct {
        const char* version;
        const char* build;
        const char* text;
    } cases[] = {
        {"0.1.0", "42", "0.1.0 (42)"},
        {"0.1.0", "", "0.1.0 (?)"},
        {"0.1.0", "abc", "0.1.0 (abc)"},
        {"0.1.0", "1.2", "0.1.0 (1.2)"},
        {"0.1.0", "007", "0.1.0 (007)"},
        {"", "7", "? (7)"},
        {"", "", "? (?)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Updater::versionString(c.version, c.build).toStdString(), c.text)
            << "version \"" << c.version << "\", build \"" << c.build << "\"";
}

} // namespace

#include "UpdaterTests.moc"
