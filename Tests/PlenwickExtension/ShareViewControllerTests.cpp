#include "PlatformServices/FileItemProvider.hpp"
#include "ScopedEnvironment.hpp"
#include "ShareViewController.hpp"
#include "ShareWindow.hpp"
#include "Spinner.hpp"
#include "TestSupport.hpp"

#include <cstdlib>
#include <fstream>

#include <QApplication>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace plenwick;
using testing::HasSubstr;

namespace {

struct RecordingView final : ShareView {
    void show(const std::string& text) override { labels.push_back(text); }
    std::vector<std::string> labels;
};

TEST(ShareViewController, BodySummaryAndBuildNumber) {
    ExportResult exported{{"/out/a.jpg"}, {}, 0, "Exported 1 photo to Socials"};
    ExportResult nothingWritten{{}, {}, 2, "Exported 0 photos to Socials, 2 items skipped"};
    ExportResult failed{{"/out/a.jpg"},
                        {{"/in/b.png", ExportError::unreadable("/in/b.png")}},
                        0,
                        "Plenwick failed on b.png: not a readable image (1 exported)"};
    ExportResult skippedToo{{"/out/a.jpg"}, {}, 2, "Exported 3 photos to Socials, 2 items skipped"};
    const std::string nudge = " \u00b7 Update available: open Plenwick";
    struct Case {
        const ExportResult& result;
        std::optional<std::string> suffix;
        std::string body;
    };
    const Case cases[] = {
        {exported, nudge, exported.notificationText + nudge},
        {exported, std::nullopt, exported.notificationText},
        {failed, nudge, failed.notificationText},
        {nothingWritten, nudge, nothingWritten.notificationText},
        {skippedToo, nudge, "Exported 3 photos to Socials, 2 items skipped" + nudge},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ShareViewController::composeBody(c.result, c.suffix), c.body);

    EXPECT_EQ(ShareViewController::summaryLine(1.5, "x"), "share finished in 1.50s: x");
    EXPECT_EQ(ShareViewController::summaryLine(0.004, "x"), "share finished in 0.00s: x");
}

// The controller in this process, on an account of the test's own.
class ShareInProcess : public testing::Test {
protected:
    void SetUp() override {
        m_environment.set("HOME", m_home.path().string());
        m_environment.set("XDG_CONFIG_HOME", (m_home / ".config").string());
        std::filesystem::create_directories(m_home / "tmp");
        m_environment.set("TMPDIR", (m_home / "tmp").string());
        // Nothing listens on port 9 of this machine: the check fails at once.
        m_environment.set("PLENWICK_FEED_URL", "http://127.0.0.1:9/");
        // No desktop of the machine sees the test's notifications.
        m_environment.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (m_home / "no-bus").string());
    }

    std::string record() const {
        std::ifstream stream(m_home / "Pictures/Socials/.plenwick.log");
        std::string line;
        std::getline(stream, line);
        return line;
    }

    test::TemporaryFolder m_home;
    test::ScopedEnvironment m_environment;
};

TEST_F(ShareInProcess, HandsTheAttachmentsOfAllItemsInOrderAndStartsOnce) {
    test::writeImage(m_home / "A.png", 40, 30);
    test::writeImage(m_home / "B.png", 40, 30);
    ExtensionContext context;
    context.inputItems = {
        {{std::make_shared<FileItemProvider>(m_home / "A.png"),
          std::make_shared<FileItemProvider>(m_home / "B.png")}},
        {},
    };
    int completions = 0;
    context.completeRequest = [&completions] { ++completions; };
    RecordingView view;
    ShareViewController controller(std::move(context), view);

    controller.loadView();
    controller.viewDidAppear();
    controller.viewDidAppear();
    auto outcome = controller.waitUntilDone();

    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->body, "Exported 2 photos to Socials");
    EXPECT_EQ(outcome->exitStatus(), 0);
    EXPECT_EQ(completions, 1);
    EXPECT_THAT(view.labels,
                testing::ElementsAre("Exporting for Instagram, Threads and Facebook…"));
    EXPECT_THAT(record(), HasSubstr(" items=2 types=[\"public.png,public.file-url\", "
                                    "\"public.png,public.file-url\"] loaded=[\"A.png\", "
                                    "\"B.png\"] notes=[] nudge=none share finished in "));
    EXPECT_TRUE(std::filesystem::is_empty(m_home / "tmp"));
}

TEST_F(ShareInProcess, WithoutAContextTheShareExportsNothing) {
    RecordingView view;
    ShareViewController controller(std::nullopt, view);
    controller.viewDidAppear();
    auto outcome = controller.waitUntilDone();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->body, "Exported 0 photos to Socials");
    EXPECT_THAT(record(), HasSubstr(" items=0 types=[] loaded=[] notes=[] nudge=none "));
}

TEST(ShareWindow, ShowsTheSpinnerAndTheLabel) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int argc = 1;
    char name[] = "ShareWindowTests";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    bool dismissed = false;
    ShareWindow window([&dismissed] { dismissed = true; });

    window.show(std::string(ShareViewController::label));
    QApplication::processEvents();

    EXPECT_EQ(window.size(), QSize(260, 64));
    EXPECT_TRUE(window.spinner()->isSpinning());
    EXPECT_EQ(window.spinner()->geometry(), QRect(20, 20, 24, 24));
    EXPECT_EQ(window.label()->geometry(), QRect(54, 22, 200, 18));
    EXPECT_EQ(window.label()->toolTip().toStdString(),
              "Exporting for Instagram, Threads and Facebook…");
    window.grab().save(QString(PLENWICK_BINARY_DIR) + "/share-window.png");

    window.close();
    EXPECT_TRUE(dismissed);
}

} // namespace
