#include "LocalHttpServer.hpp"
#include "QtTestSupport.hpp"
#include "SettingsForm.hpp"
#include "SpecSection.hpp"
#include "TestSupport.hpp"
#include "Updater.hpp"

#include <algorithm>

#include <QComboBox>
#include <QImage>
#include <QImageReader>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace plenwick;

namespace {

// The two programs meet only in the shared preferences: what the window saves is what the next
// plenwick-share process exports with.
class SettingsToShareTest : public testing::Test {
protected:
    void SetUp() override {
        test::application();
        test::ownAccount(m_environment, m_folder.path());
        test::sharesWithoutDisplay(m_environment);
        QImage photo(2000, 1500, QImage::Format_RGB32);
        photo.fill(Qt::darkGreen);
        ASSERT_TRUE(photo.save(QString::fromStdString((m_folder / "photo.jpg").string()), "JPEG"));
    }

    int share() {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(PLENWICK_SHARE_PROGRAM,
                      {"--no-window", QString::fromStdString((m_folder / "photo.jpg").string())});
        if (!process.waitForFinished(120000))
            return -1;
        return process.exitCode();
    }

    std::pair<int, int> exported(const std::string& folder) {
        auto file = m_folder / "home" / "Pictures" / "Socials" / folder / "photo.jpg";
        QSize size = QImageReader(QString::fromStdString(file.string())).size();
        return {size.width(), size.height()};
    }

    static void type(QLineEdit* field, const char* text) {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Return);
    }

    test::TemporaryFolder m_folder;
    test::ScopedEnvironment m_environment;
};

TEST_F(SettingsToShareTest, TheNextShareExportsWhatTheWindowSaved) {
    Updater updater("http://127.0.0.1:9/", 1, "0.1.0 (1)");
    SettingsForm view(updater);
    view.show();
    auto sections = view.findChildren<SpecSection*>();
    std::sort(sections.begin(), sections.end(),
              [](SpecSection* a, SpecSection* b) { return a->y() < b->y(); });
    ASSERT_EQ(sections.size(), 3);

    type(sections[0]->findChild<QLineEdit*>("pixels"), "500");
    QTest::keyClick(sections[1]->findChild<QComboBox*>("rule"), Qt::Key_Down);
    type(sections[1]->findChild<QLineEdit*>("pixels"), "50");
    type(sections[2]->findChild<QLineEdit*>("pixels"), "1000");

    ASSERT_EQ(share(), 0);
    EXPECT_EQ(exported("instagram"), std::make_pair(500, 375));
    // 50 was written as 100, on the long edge.
    EXPECT_EQ(exported("threads"), std::make_pair(100, 75));
    EXPECT_EQ(exported("facebook"), std::make_pair(1000, 750));

    QTest::mouseClick(view.findChild<QPushButton*>("reset"), Qt::LeftButton);
    ASSERT_EQ(share(), 0);
    EXPECT_EQ(exported("instagram"), std::make_pair(1080, 810));
    EXPECT_EQ(exported("threads"), std::make_pair(1080, 810));
    EXPECT_EQ(exported("facebook"), std::make_pair(2000, 1500));
}

} // namespace
