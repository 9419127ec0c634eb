#include "LocalHttpServer.hpp"
#include "PlenwickCore/ImageTypes.hpp"
#include "QtTestSupport.hpp"
#include "SettingsForm.hpp"
#include "SettingsWindow.hpp"
#include "ShareLauncher.hpp"
#include "TestSupport.hpp"
#include "Updater.hpp"

#include <algorithm>
#include <fstream>

#include <QAction>
#include <QDropEvent>
#include <QFileDialog>
#include <QImage>
#include <QImageReader>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace plenwick;
namespace fs = std::filesystem;

namespace {

QString qt(const fs::path& path) {
    return QString::fromStdString(path.string());
}

// Whether process `pid` has ended; a detached share is no child of ours to wait for.
bool ended(qint64 pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string number, name, state;
    // A zombie has ended too: whoever adopted it may not reap it at once.
    return !(stat >> number >> name >> state) || state == "Z";
}

// Photos given to the settings window go to a plenwick-share of their own, found on PATH here
// (the test is not installed beside one), into the Socials folder of the test's home.
class ShareLauncherTest : public testing::Test {
protected:
    void SetUp() override {
        test::application();
        test::ownAccount(m_environment, m_folder.path());
        test::sharesWithoutDisplay(m_environment);
        m_environment.set("PATH", fs::path(PLENWICK_SHARE_PROGRAM).parent_path().string() + ":" +
                                      std::getenv("PATH"));
        fs::create_directories(m_folder / "photos");
    }

    fs::path photo(const std::string& name, int width = 1600, int height = 1200) {
        fs::path file = m_folder / "photos" / name;
        test::writeImage(file, width, height);
        return file;
    }

    fs::path exported(const std::string& folder, const std::string& name) {
        return m_folder / "home" / "Pictures" / "Socials" / folder / name;
    }

    static QSize sizeOf(const fs::path& file) { return QImageReader(qt(file)).size(); }

    // Waits for the share a window started and for it to end.
    static void waitForShare(SettingsForm& view, const std::function<void()>& start) {
        QSignalSpy started(&view, &SettingsForm::shareStarted);
        start();
        ASSERT_EQ(started.count(), 1);
        qint64 pid = started.first().at(0).toLongLong();
        ASSERT_TRUE(QTest::qWaitFor([pid] { return ended(pid); }, 120000));
    }

    test::TemporaryFolder m_folder;
    test::ScopedEnvironment m_environment;
    Updater m_updater{"http://127.0.0.1:9/appcast.xml", 1, Updater::versionString()};
};

TEST_F(ShareLauncherTest, ExportPhotosSharesWhatTheDialogChose) {
    fs::path first = photo("beach.jpg", 2000, 1500);
    fs::path second = photo("-dash.png", 1500, 2000);
    auto app = std::make_unique<SettingsWindow>(
        std::make_unique<Updater>("http://127.0.0.1:9/appcast.xml", 1, "0.1.0 (1)"));
    app->show();
    QAction& command = app->exportPhotosCommand();
    EXPECT_EQ(command.text(), "Export Photos…");
    EXPECT_EQ(command.shortcut(), QKeySequence("Ctrl+O"));

    command.trigger();
    auto* dialog = app->window().findChild<QFileDialog*>("exportPhotosDialog");
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFiles);
    QString filter = dialog->nameFilters().join(u'\n');
    for (const char* pattern : {"*.jpg", "*.png", "*.heic", "*.avif", "*.webp", "*.tiff"})
        EXPECT_TRUE(filter.contains(pattern)) << pattern << " in " << filter.toStdString();
    for (const char* pattern : {"*.bmp", "*.jp2", "*.jxl", "*.svg"})
        EXPECT_FALSE(filter.contains(pattern)) << pattern << " in " << filter.toStdString();

    // What the user picks is what the dialog hands on; the window closes before the share ends.
    SettingsForm& view = app->content();
    QSignalSpy started(&view, &SettingsForm::shareStarted);
    dialog->setDirectory(qt(m_folder / "photos"));
    dialog->selectFile("\"beach.jpg\" \"-dash.png\"");
    static_cast<QDialog*>(dialog)->accept();
    ASSERT_EQ(started.count(), 1);
    qint64 pid = started.first().at(0).toLongLong();
    app.reset();
    ASSERT_TRUE(QTest::qWaitFor([pid] { return ended(pid); }, 120000));

    EXPECT_EQ(sizeOf(exported("instagram", "beach.jpg")), QSize(1080, 810));
    EXPECT_EQ(sizeOf(exported("threads", "beach.jpg")), QSize(1080, 810));
    EXPECT_EQ(sizeOf(exported("facebook", "beach.jpg")), QSize(2000, 1500));
    EXPECT_EQ(sizeOf(exported("instagram", "-dash.jpg")), QSize(1080, 1440));
    EXPECT_EQ(sizeOf(exported("facebook", "-dash.jpg")), QSize(1500, 2000));
}

TEST_F(ShareLauncherTest, DroppedPhotosAreSharedAndOtherFilesLeftOut) {
    fs::path webp = photo("flowers.webp", 3000, 1000);
    fs::path heic = photo("phone.heic", 800, 600);
    // libvips writes BMP only through a loader this process keeps blocked.
    fs::path bmp = m_folder / "photos" / "scan.bmp";
    QImage scan(400, 300, QImage::Format_RGB32);
    scan.fill(Qt::gray);
    ASSERT_TRUE(scan.save(qt(bmp), "BMP"));
    std::ofstream(m_folder / "photos" / "notes.txt") << "not a photo\n";
    SettingsForm view(m_updater);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));

    auto drop = [&view](const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QPoint inside = view.rect().center();
        QDragEnterEvent enter(inside, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent dropped(QPointF(inside), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &dropped);
        return dropped.isAccepted();
    };

    // Nothing the exporter takes: the window refuses the drag.
    QSignalSpy started(&view, &SettingsForm::shareStarted);
    EXPECT_FALSE(drop({QUrl::fromLocalFile(qt(bmp)),
                       QUrl::fromLocalFile(qt(m_folder / "photos" / "notes.txt")),
                       QUrl("https://example.org/photo.jpg")}));
    EXPECT_EQ(started.count(), 0);

    waitForShare(view, [&] {
        EXPECT_TRUE(drop({QUrl::fromLocalFile(qt(webp)), QUrl::fromLocalFile(qt(bmp)),
                          QUrl::fromLocalFile(qt(m_folder / "photos" / "notes.txt")),
                          QUrl::fromLocalFile(qt(heic))}));
    });
    EXPECT_EQ(sizeOf(exported("instagram", "flowers.jpg")), QSize(1080, 360));
    EXPECT_EQ(sizeOf(exported("facebook", "flowers.jpg")), QSize(2048, 683));
    EXPECT_EQ(sizeOf(exported("threads", "phone.jpg")), QSize(800, 600));
    EXPECT_FALSE(fs::exists(exported("instagram", "scan.jpg")));
    EXPECT_FALSE(fs::exists(exported("instagram", "notes.jpg")));
    // One share, which was given only the photos: its record names nothing else.
    std::string record =
        test::readFile(m_folder / "home" / "Pictures" / "Socials" / ".plenwick.log");
    EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 1) << record;
    EXPECT_NE(record.find(" items=2 "), std::string::npos) << record;
    EXPECT_EQ(record.find("scan.bmp"), std::string::npos) << record;
}

TEST_F(ShareLauncherTest, ADragIsJudgedOnceWhenItEnters) {
    fs::path photoFile = photo("moving.jpg", 800, 600);
    fs::path notes = m_folder / "photos" / "notes.txt";
    std::ofstream(notes) << "not a photo\n";
    SettingsForm view(m_updater);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    const QPoint inside = view.rect().center();
    auto send = [&view, inside](QEvent::Type type, QMimeData& data) {
        if (type == QEvent::DragEnter) {
            QDragEnterEvent event(inside, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(&view, &event);
            return event.isAccepted();
        }
        if (type == QEvent::DragMove) {
            QDragMoveEvent event(inside, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(&view, &event);
            return event.isAccepted();
        }
        if (type == QEvent::DragLeave) {
            QDragLeaveEvent event;
            QApplication::sendEvent(&view, &event);
            return event.isAccepted();
        }
        QDropEvent event(QPointF(inside), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&view, &event);
        return event.isAccepted();
    };

    // A drag that brings no photo stays refused while it moves over the window.
    QMimeData text;
    text.setUrls({QUrl::fromLocalFile(qt(notes))});
    EXPECT_FALSE(send(QEvent::DragEnter, text));
    EXPECT_FALSE(send(QEvent::DragMove, text));
    send(QEvent::DragLeave, text);

    // The files are looked at once, as the drag enters: what happens to them during the drag
    // does not change the answer, and the drop shares what was judged a photo then.
    QMimeData photos;
    photos.setUrls({QUrl::fromLocalFile(qt(photoFile))});
    ASSERT_TRUE(send(QEvent::DragEnter, photos));
    ASSERT_TRUE(fs::remove(photoFile));
    EXPECT_TRUE(send(QEvent::DragMove, photos));
    EXPECT_TRUE(send(QEvent::DragMove, photos));
    waitForShare(view, [&] { EXPECT_TRUE(send(QEvent::Drop, photos)); });
    // The share tells that the photo went away meanwhile.
    std::string record =
        test::readFile(m_folder / "home" / "Pictures" / "Socials" / ".plenwick.log");
    EXPECT_NE(record.find(" items=1 "), std::string::npos) << record;
    EXPECT_NE(record.find("moving.jpg"), std::string::npos) << record;

    // The next drag is judged anew.
    EXPECT_FALSE(send(QEvent::DragEnter, text));
    EXPECT_FALSE(send(QEvent::DragMove, text));
}

TEST_F(ShareLauncherTest, TheShareBesideTheProgramComesBeforeTheOneOnPath) {
    fs::path beside = m_folder / "beside";
    fs::path onPath = m_folder / "on-path";
    for (const fs::path& folder : {beside, onPath}) {
        fs::create_directories(folder);
        std::ofstream(folder / "plenwick-share") << "#!/bin/sh\n";
        fs::permissions(folder / "plenwick-share", fs::perms::owner_all);
    }
    fs::create_directories(m_folder / "empty");
    m_environment.set("PATH", onPath.string());
    EXPECT_EQ(ShareLauncher::program(qt(beside)), qt(beside / "plenwick-share"));
    EXPECT_EQ(ShareLauncher::program(qt(m_folder / "empty")), qt(onPath / "plenwick-share"));
    // A file of that name that cannot run is passed over.
    fs::permissions(beside / "plenwick-share", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ShareLauncher::program(qt(beside)), qt(onPath / "plenwick-share"));
    m_environment.set("PATH", (m_folder / "empty").string());
    EXPECT_EQ(ShareLauncher::program(qt(m_folder / "empty")), QString());
    EXPECT_EQ(ShareLauncher::share({}), std::nullopt);
}

} // namespace
