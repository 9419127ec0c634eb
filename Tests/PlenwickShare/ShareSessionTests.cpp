#include "FileItemProvider.hpp"
#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/LogCapture.hpp"
#include "ScopedEnvironment.hpp"
#include "ShareSession.hpp"
#include "ShareWindow.hpp"
#include "Spinner.hpp"
#include "TestSupport.hpp"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <locale>
#include <regex>
#include <sys/stat.h>

#include <QApplication>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace plenwick;
using testing::HasSubstr;

namespace {

struct RecordingView final : ShareView {
    void show(const std::string& text) override { labels.push_back(text); }
    void showProgress(const std::string& text) override { labels.push_back(text); }
    std::vector<std::string> labels;
};

// A share session of the given providers, with the view, the log and the host's completions it
// leaves.
struct RecordedShare {
    explicit RecordedShare(std::vector<std::shared_ptr<ItemProvider>> providers)
        : session(ShareRequest{std::move(providers), [this] { ++completions; }}, view) {}

    int completions = 0;
    RecordingView view;
    Log::Capture capture;
    // Last: the share's thread is joined before the rest goes.
    ShareSession session;
};

// The counts of the labels after the first: they start at 0 of `total`, never go down and end
// at `total` of `total`.
void expectCountsUpTo(const std::vector<std::string>& labels, int total) {
    ASSERT_GE(labels.size(), 3u);
    EXPECT_EQ(labels[0], ShareSession::label);
    std::regex counted(std::string(ShareSession::label) + R"( (\d+) of (\d+))");
    int previous = -1;
    for (size_t i = 1; i < labels.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(labels[i], match, counted)) << labels[i];
        int finished = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), total) << labels[i];
        if (i == 1) {
            EXPECT_EQ(finished, 0);
        } else {
            EXPECT_GE(finished, previous) << labels[i];
        }
        previous = finished;
    }
    EXPECT_EQ(previous, total);
}

// A Qt application that draws nowhere, for the widgets of one test.
struct OffscreenApplication {
    // Set before the application below reads it.
    bool offscreen = ::setenv("QT_QPA_PLATFORM", "offscreen", 1) == 0;
    int argc = 1;
    char name[17] = "ShareWindowTests";
    char* argv[2] = {name, nullptr};
    QApplication application{argc, argv};

    // Ends the application's event loop once the share, on its own thread, has finished.
    std::function<void()> exitWhenFinished() {
        return [this] {
            QMetaObject::invokeMethod(
                &application, [this] { application.exit(0); }, Qt::QueuedConnection);
        };
    }

    // Runs a share made with `exitWhenFinished` to its end, with every label it queued shown.
    auto runToTheEnd(ShareSession& session) {
        session.start();
        application.exec();
        auto outcome = session.wait();
        QApplication::processEvents();
        return outcome;
    }
};

// German number punctuation: a dot between thousands, a comma before decimals.
struct GermanNumbers final : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

// German number formats while it lives: for C's printf, set as the programs set it from the
// environment, for the C++ library and for Qt.
class GermanLocale {
public:
    GermanLocale()
        : m_previousC(std::setlocale(LC_ALL, nullptr)),
          m_previous(std::locale::global(std::locale(std::locale::classic(), new GermanNumbers))),
          m_previousQt(QLocale()) {
        m_generated = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    }
    ~GermanLocale() {
        QLocale::setDefault(m_previousQt);
        std::locale::global(m_previous);
        std::setlocale(LC_ALL, m_previousC.c_str());
    }
    GermanLocale(const GermanLocale&) = delete;
    GermanLocale& operator=(const GermanLocale&) = delete;

    // Whether the machine has the German C locale, without which the case proves nothing.
    bool generated() const { return m_generated; }

private:
    std::string m_previousC;
    std::locale m_previous;
    QLocale m_previousQt;
    bool m_generated = false;
};

TEST(ShareSession, BodySummaryAndBuildNumber) {
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
        EXPECT_EQ(ShareSession::composeBody(c.result, c.suffix), c.body);

    EXPECT_EQ(ShareSession::summaryLine(1.5, "x"), "share finished in 1.50s: x");
    EXPECT_EQ(ShareSession::summaryLine(0.004, "x"), "share finished in 0.00s: x");
    GermanLocale german;
    ASSERT_TRUE(german.generated()) << "the de_DE.UTF-8 locale is not generated";
    EXPECT_EQ(ShareSession::summaryLine(1.5, "x"), "share finished in 1.50s: x") << "German";
}

// The share session in this process, on an account of the test's own.
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

    std::vector<std::string> records() const {
        std::ifstream stream(m_home / "Pictures/Socials/.plenwick.log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(stream, line);)
            lines.push_back(line);
        return lines;
    }
    std::string record() const {
        auto lines = records();
        return lines.empty() ? std::string() : lines.front();
    }

    test::TemporaryFolder m_home;
    test::ScopedEnvironment m_environment;
};

TEST_F(ShareInProcess, HandsAllProvidersInOrderAndStartsOnce) {
    test::writeImage(m_home / "A.png", 40, 30);
    test::writeImage(m_home / "B.png", 40, 30);
    RecordedShare share({std::make_shared<FileItemProvider>(m_home / "A.png"),
                         std::make_shared<FileItemProvider>(m_home / "B.png")});

    share.session.start();
    share.session.start();
    auto outcome = share.session.wait();

    auto extensionLines = share.capture.messages("extension");
    EXPECT_EQ(
        std::count(extensionLines.begin(), extensionLines.end(), "share started with 2 items"), 1);
    EXPECT_EQ(records().size(), 1u);

    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->body, "Exported 2 photos to Socials");
    EXPECT_EQ(outcome->exitStatus(), 0);
    EXPECT_EQ(share.completions, 1);
    expectCountsUpTo(share.view.labels, 2);
    EXPECT_THAT(record(), HasSubstr(" items=2 types=[\"public.png,public.file-url\", "
                                    "\"public.png,public.file-url\"] loaded=[\"A.png\", "
                                    "\"B.png\"] notes=[] nudge=none share finished in "));
    EXPECT_TRUE(std::filesystem::is_empty(m_home / "tmp"));
}

TEST_F(ShareInProcess, DismissedWhileAProviderStillDeliversLeavesNothingBehind) {
    // A photo that is a FIFO: the loader reads it as long as its writer holds it open.
    const auto fifo = m_home / "photo.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    RecordedShare share({std::make_shared<FileItemProvider>(fifo)});

    share.session.start();
    // Opening for writing waits for the loader to open the FIFO: the share is loading.
    FileDescriptor writer(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(writer);
    // The writer says nothing and stays: the dismissal alone ends the loading.
    share.session.cancel();
    auto outcome = share.session.wait();

    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->status, ShareOutcome::Status::dismissed);
    EXPECT_EQ(outcome->body, "");
    EXPECT_EQ(outcome->exitStatus(), 130);
    EXPECT_EQ(share.completions, 0);
    EXPECT_EQ(share.capture.messages("extension"),
              std::vector<std::string>{"share started with 1 items"});
    EXPECT_FALSE(std::filesystem::exists(m_home / "Pictures/Socials"));
    EXPECT_TRUE(std::filesystem::is_empty(m_home / "tmp"));
}

TEST_F(ShareInProcess, WithoutAContextTheShareExportsNothing) {
    RecordingView view;
    ShareSession session(std::nullopt, view);
    session.start();
    auto outcome = session.wait();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->body, "Exported 0 photos to Socials");
    EXPECT_THAT(record(), HasSubstr(" items=0 types=[] loaded=[] notes=[] nudge=none "));
}

TEST_F(ShareInProcess, TheWindowCountsThePhotosAsTheyFinishAndShowsTheWholeLabel) {
    OffscreenApplication offscreen;
    // German number formats must not change the count.
    GermanLocale german;
    ASSERT_TRUE(german.generated()) << "the de_DE.UTF-8 locale is not generated";
    ShareRequest request;
    for (const char* photo : {"a.png", "b.png", "c.png"}) {
        test::writeImage(m_home / photo, 400, 300);
        request.providers.push_back(std::make_shared<FileItemProvider>(m_home / photo));
    }
    request.onFinished = offscreen.exitWhenFinished();
    ShareWindow window([] {});
    ShareSession session(std::move(request), window);

    auto outcome = offscreen.runToTheEnd(session);

    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->body, "Exported 3 photos to Socials");
    const QString text = "Exporting for Instagram, Threads and Facebook… 3 of 3";
    EXPECT_EQ(window.label()->text(), text);
    EXPECT_EQ(window.label()->toolTip(), text);
    EXPECT_GE(window.label()->width(), window.label()->fontMetrics().horizontalAdvance(text));
    EXPECT_LE(window.label()->geometry().right(), window.width() - 1 - 6);
    window.grab().save(QString(PLENWICK_BINARY_DIR) + "/share-window-progress.png");
}

TEST_F(ShareInProcess, OnePhotoIsNotCountedAndKeepsTheWindowAsDesigned) {
    test::writeImage(m_home / "only.png", 400, 300);
    // Only what was loaded counts: beside a missing file, one photo is still one.
    RecordedShare share({std::make_shared<FileItemProvider>(m_home / "only.png"),
                         std::make_shared<FileItemProvider>(m_home / "missing.png")});
    share.session.start();
    ASSERT_TRUE(share.session.wait());
    EXPECT_EQ(share.view.labels, std::vector<std::string>{std::string(ShareSession::label)});

    OffscreenApplication offscreen;
    ShareRequest request{{std::make_shared<FileItemProvider>(m_home / "only.png")},
                         offscreen.exitWhenFinished()};
    ShareWindow window([] {});
    // The window as the share first shows it, before any progress.
    window.show(std::string(ShareSession::label));
    const QSize shown = window.size();
    ShareSession session(std::move(request), window);
    auto outcome = offscreen.runToTheEnd(session);

    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->body, "Exported 1 photo to Socials");
    EXPECT_EQ(window.label()->text().toStdString(), ShareSession::label);
    EXPECT_EQ(window.size(), shown);
}

TEST(ShareSession, ProgressLabelIsTheSameInEveryLocale) {
    const struct {
        int64_t finished;
        int64_t total;
        const char* text;
    } cases[] = {
        {0, 3, "Exporting for Instagram, Threads and Facebook… 0 of 3"},
        {37, 120, "Exporting for Instagram, Threads and Facebook… 37 of 120"},
        {1200, 5000, "Exporting for Instagram, Threads and Facebook… 1200 of 5000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ShareSession::progressLabel(c.finished, c.total), c.text);
    GermanLocale german;
    ASSERT_TRUE(german.generated()) << "the de_DE.UTF-8 locale is not generated";
    for (const auto& c : cases)
        EXPECT_EQ(ShareSession::progressLabel(c.finished, c.total), c.text) << "German";
}

TEST(ShareWindow, ShowsTheSpinnerAndTheLabel) {
    OffscreenApplication offscreen;
    bool dismissed = false;
    ShareWindow window([&dismissed] { dismissed = true; });

    window.show(std::string(ShareSession::label));
    QApplication::processEvents();

    EXPECT_EQ(window.height(), 64);
    EXPECT_GE(window.width(), 260);
    EXPECT_TRUE(window.spinner()->isSpinning());
    EXPECT_EQ(window.spinner()->geometry(), QRect(20, 20, 24, 24));
    // Placed as designed, 200 wide or as wide as its text, with the design's right margin.
    QRect label = window.label()->geometry();
    EXPECT_EQ(label.topLeft(), QPoint(54, 22));
    EXPECT_EQ(label.height(), 18);
    EXPECT_EQ(label.width(),
              std::max(200, window.label()->fontMetrics().horizontalAdvance(
                                QString::fromStdString(std::string(ShareSession::label)))));
    EXPECT_EQ(window.width(), label.right() + 1 + 6);
    EXPECT_EQ(window.label()->text().toStdString(),
              "Exporting for Instagram, Threads and Facebook…");
    EXPECT_EQ(window.label()->toolTip().toStdString(),
              "Exporting for Instagram, Threads and Facebook…");
    window.grab().save(QString(PLENWICK_BINARY_DIR) + "/share-window.png");

    window.close();
    EXPECT_TRUE(dismissed);
}

} // namespace
