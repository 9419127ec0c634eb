#include "FileManagerMock.hpp"
#include "PlatformServices/FileURL.hpp"
#include "PlatformServices/Preferences.hpp"
#include "PlenwickCore/SpecStore.hpp"
#include "PrivateSessionBus.hpp"
#include "QtTestSupport.hpp"
#include "SettingsForm.hpp"
#include "SpecSection.hpp"
#include "SpecsModel.hpp"
#include "TestSupport.hpp"
#include "Updater.hpp"

#include <fstream>
#include <sstream>

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <gtest/gtest.h>

using namespace plenwick;

namespace {

const std::string marker = "not written by the window";

QStringList labelTexts(const QWidget& widget) {
    QStringList texts;
    for (const QLabel* label : widget.findChildren<QLabel*>())
        if (label->isVisibleTo(&widget))
            texts << label->text();
    return texts;
}

QStringList buttonTexts(const QWidget& widget) {
    QStringList texts;
    for (const QPushButton* button : widget.findChildren<QPushButton*>())
        if (button->isVisibleTo(&widget))
            texts << button->text();
    return texts;
}

// A window over a suite of its own, on a session bus that does not exist unless a test starts
// one, with the Pictures folder inside the test's home.
class SettingsFormTest : public testing::Test {
protected:
    void SetUp() override {
        test::application();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        m_environment.set("HOME", (m_folder / "home").string());
        m_environment.set("XDG_CONFIG_HOME", (m_folder / "config").string());
        m_environment.set("DBUS_SESSION_BUS_ADDRESS",
                          "unix:path=" + (m_folder / "no-bus").string());
        std::filesystem::create_directories(m_folder / "home");
    }

    void TearDown() override { QLocale::setDefault(QLocale::c()); }

    std::shared_ptr<Preferences> suite() {
        return Preferences::open(m_folder / "suite").valueOr(nullptr);
    }

    std::unique_ptr<SettingsForm> makeView() {
        auto model =
            std::make_unique<SpecsModel>(SpecStore(suite()), NotificationPermission::desktop());
        auto view = std::make_unique<SettingsForm>(m_updater, std::move(model));
        view->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        // The showing reads the status once; without a bus the desktop says denied.
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return view->model().notificationStatus() == SpecsModel::denied; }, 10000));
        return view;
    }

    void markStore() {
        ASSERT_TRUE(
            suite()->setData(SpecStore::specsKey, Preferences::Data(marker.begin(), marker.end())));
    }
    std::string stored() {
        auto data = suite()->data(SpecStore::specsKey).value();
        return data ? std::string(data->begin(), data->end()) : std::string();
    }
    static std::string encoded(const std::vector<ExportSpec>& specs) {
        return *ExportSpec::encodeList(specs);
    }

    static std::vector<SpecSection*> sections(SettingsForm& view) {
        auto found = view.findChildren<SpecSection*>();
        std::vector<SpecSection*> visible;
        for (SpecSection* section : found)
            if (section->isVisibleTo(&view))
                visible.push_back(section);
        std::sort(visible.begin(), visible.end(),
                  [](SpecSection* a, SpecSection* b) { return a->y() < b->y(); });
        return visible;
    }

    test::TemporaryFolder m_folder;
    test::ScopedEnvironment m_environment;
    Updater m_updater{"http://127.0.0.1:9/appcast.xml", 1, Updater::versionString()};
};

TEST_F(SettingsFormTest, TheDefaultsShowEveryTextInOrder) {
    auto view = makeView();
    EXPECT_EQ(view->width(), 420);

    auto specs = sections(*view);
    ASSERT_EQ(specs.size(), 3u);
    const char* titles[] = {"Instagram", "Threads", "Facebook"};
    const char* pixels[] = {"1080", "1080", "2048"};
    const int rules[] = {0, 0, 1};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(titles[i]);
        SpecSection& section = *specs[i];
        EXPECT_EQ(section.title(), titles[i]);
        EXPECT_EQ(labelTexts(section), (QStringList{"Rule", "Pixels", "JPEG quality", "0.85"}));
        auto* rule = section.findChild<QComboBox*>("rule");
        ASSERT_EQ(rule->count(), 2);
        EXPECT_EQ(rule->itemText(0), "Width");
        EXPECT_EQ(rule->itemText(1), "Longest edge");
        EXPECT_EQ(rule->currentIndex(), rules[i]);
        auto* field = section.findChild<QLineEdit*>("pixels");
        EXPECT_EQ(field->text(), pixels[i]);
        EXPECT_TRUE(field->placeholderText().isEmpty());
        auto* slider = section.findChild<QSlider*>("quality");
        EXPECT_EQ(slider->minimum(), 50);
        EXPECT_EQ(slider->maximum(), 100);
        EXPECT_EQ(slider->singleStep(), 1);
        EXPECT_EQ(slider->value(), 85);
    }

    // After the spec sections: the output folder, the notifications and the version.
    QList<QGroupBox*> groups;
    for (QGroupBox* group : view->findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly))
        if (!qobject_cast<SpecSection*>(group))
            groups << group;
    std::sort(groups.begin(), groups.end(),
              [](QGroupBox* a, QGroupBox* b) { return a->y() < b->y(); });
    ASSERT_EQ(groups.size(), 3);
    EXPECT_GT(groups[0]->y(), specs.back()->y());
    EXPECT_EQ(groups[0]->title(), "");
    EXPECT_EQ(labelTexts(*groups[0]),
              (QStringList{"Output folder", "~/Pictures/Socials (created on first export)"}));
    EXPECT_EQ(buttonTexts(*groups[0]), (QStringList{"Show in File Manager", "Reset to defaults"}));
    EXPECT_EQ(groups[1]->title(), "Notifications");
    EXPECT_EQ(labelTexts(*groups[1]),
              (QStringList{"Status", "unavailable (no notification service is running)"}));
    EXPECT_EQ(buttonTexts(*groups[1]), QStringList{"Enable notifications"});
    EXPECT_EQ(groups[2]->title(), "");
    EXPECT_EQ(labelTexts(*groups[2]),
              (QStringList{"Version",
                           QStringLiteral(PLENWICK_VERSION " (%1)").arg(PLENWICK_BUILD_NUMBER)}));
    // Without a tip address the row holds the update button alone.
    EXPECT_EQ(buttonTexts(*groups[2]), QStringList{"Check for Updates…"});
    EXPECT_EQ(view->findChild<QLabel*>("tipLink"), nullptr);

    // Showing the window wrote nothing.
    EXPECT_EQ(stored(), "");
    std::cout << "screenshot: " << test::saveScreenshot(*view, "settings-defaults") << "\n";
}

TEST_F(SettingsFormTest, SwitchingTheRuleCarriesThePixelCountOver) {
    auto view = makeView();
    auto* rule = sections(*view)[0]->findChild<QComboBox*>("rule");

    QTest::keyClick(rule, Qt::Key_Down);
    auto expected = ExportSpec::defaults();
    expected[0].rule = SizeRule::longEdge(1080);
    EXPECT_EQ(view->model().specs(), expected);
    EXPECT_EQ(stored(), encoded(expected));

    QTest::keyClick(rule, Qt::Key_Up);
    EXPECT_EQ(view->model().specs(), ExportSpec::defaults());
    EXPECT_EQ(stored(), encoded(ExportSpec::defaults()));
    EXPECT_EQ(rule->currentIndex(), 0);
}

TEST_F(SettingsFormTest, TypedPixelCountsAreWrittenAsTheRulesSay) {
    struct Case {
        const char* typed;
        int64_t stored; // 0: nothing is written
        const char* shown;
    };
    const Case cases[] = {
        {"50", 100, "100"},
        {"0", 100, "100"},
        {"-5", 100, "100"},
        {"100", 100, "100"},
        {"101", 101, "101"},
        {"4000000", 4000000, "4000000"},
        {"abc", 0, "4000000"},
        {"", 0, "4000000"},
        {"12.5", 0, "4000000"},
        {"1,080", 0, "4000000"},
        {"99999999999999999999", 0, "4000000"},
        {"-99999999999999999999", 0, "4000000"},
        {"9223372036854775807", 9223372036854775807, "9223372036854775807"},
        {" 1200 ", 1200, "1200"},
    };
    auto view = makeView();
    auto* field = sections(*view)[1]->findChild<QLineEdit*>("pixels");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        markStore();
        auto before = view->model().specs();
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, c.typed);
        QTest::keyClick(field, Qt::Key_Return);
        EXPECT_EQ(field->text(), c.shown);
        if (c.stored == 0) {
            EXPECT_EQ(view->model().specs(), before);
            EXPECT_EQ(stored(), marker);
            continue;
        }
        auto expected = before;
        expected[1].rule.pixels = c.stored;
        EXPECT_EQ(view->model().specs(), expected);
        EXPECT_EQ(stored(), encoded(expected));
    }
}

TEST_F(SettingsFormTest, TheSliderMovesInHundredthsBetweenItsEnds) {
    auto view = makeView();
    SpecSection& section = *sections(*view)[2];
    auto* slider = section.findChild<QSlider*>("quality");
    auto* text = section.findChild<QLabel*>("qualityText");

    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_EQ(view->model().specs()[2].quality, 0.86);
    EXPECT_EQ(text->text(), "0.86");
    EXPECT_EQ(SpecStore(suite()).load()[2].quality, 0.86);

    QTest::keyClick(slider, Qt::Key_End);
    EXPECT_EQ(view->model().specs()[2].quality, 1.0);
    EXPECT_EQ(text->text(), "1.00");
    markStore();
    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_EQ(stored(), marker);

    QTest::keyClick(slider, Qt::Key_Home);
    EXPECT_EQ(view->model().specs()[2].quality, 0.5);
    EXPECT_EQ(text->text(), "0.50");
    EXPECT_EQ(SpecStore(suite()).load()[2].quality, 0.5);
}

TEST_F(SettingsFormTest, AListTheWindowDidNotWriteIsShownAndKeptUntilAnEdit) {
    const std::string odd =
        R"([{"id":"my  FAVOURITE\tsite","folder":"a/b","rule":{"longEdge":{"_0":-5}},"quality":3},)"
        R"({"id":"my  FAVOURITE\tsite","folder":"../up","rule":{"width":{"_0":100}},"quality":0.1},)"
        R"({"id":"","folder":"","rule":{"width":{"_0":-9223372036854775808}},"quality":0.5}])";
    ASSERT_TRUE(suite()->setData(SpecStore::specsKey, Preferences::Data(odd.begin(), odd.end())));
    auto view = makeView();
    auto specs = sections(*view);
    ASSERT_EQ(specs.size(), 3u);
    EXPECT_EQ(specs[0]->title(), "My  Favourite\tSite");
    EXPECT_EQ(specs[1]->title(), "My  Favourite\tSite");
    EXPECT_EQ(specs[2]->title(), "");
    EXPECT_EQ(specs[0]->findChild<QSlider*>("quality")->value(), 100);
    EXPECT_EQ(specs[0]->findChild<QLabel*>("qualityText")->text(), "3.00");
    EXPECT_EQ(specs[1]->findChild<QSlider*>("quality")->value(), 50);
    EXPECT_EQ(specs[1]->findChild<QLabel*>("qualityText")->text(), "0.10");
    EXPECT_EQ(specs[0]->findChild<QLineEdit*>("pixels")->text(), "-5");
    EXPECT_EQ(specs[2]->findChild<QLineEdit*>("pixels")->text(), "-9223372036854775808");
    QTest::qWait(50);
    EXPECT_EQ(stored(), odd);
    std::cout << "screenshot: " << test::saveScreenshot(*view, "settings-odd-list") << "\n";

    // Editing the second of two equal ids changes that one only; the rest goes back as it was.
    QTest::keyClick(specs[1]->findChild<QSlider*>("quality"), Qt::Key_Right);
    auto expected = ExportSpec::decodeList(odd);
    ASSERT_TRUE(expected);
    expected.value()[1].quality = 0.51;
    EXPECT_EQ(view->model().specs(), expected.value());
    EXPECT_EQ(SpecStore(suite()).load(), expected.value());
    EXPECT_EQ(specs[0]->findChild<QLabel*>("qualityText")->text(), "3.00");
}

TEST_F(SettingsFormTest, AnEditKeepsWhatAnotherProgramStoredMeanwhile) {
    auto view = makeView();
    auto elsewhere = ExportSpec::defaults();
    elsewhere[2].rule = SizeRule::longEdge(3000);
    ASSERT_TRUE(SpecStore(suite()).save(elsewhere));

    QTest::keyClick(sections(*view)[0]->findChild<QSlider*>("quality"), Qt::Key_Right);
    auto expected = elsewhere;
    expected[0].quality = 0.86;
    EXPECT_EQ(SpecStore(suite()).load(), expected);
    // The other program's change now shows too.
    EXPECT_EQ(sections(*view)[2]->findChild<QLineEdit*>("pixels")->text(), "3000");
}

TEST_F(SettingsFormTest, ResetRestoresAndSavesTheDefaultsEachTime) {
    auto view = makeView();
    QTest::keyClick(sections(*view)[0]->findChild<QSlider*>("quality"), Qt::Key_Left);
    auto* field = sections(*view)[2]->findChild<QLineEdit*>("pixels");
    field->selectAll();
    QTest::keyClicks(field, "3000");
    QTest::keyClick(field, Qt::Key_Return);
    ASSERT_NE(view->model().specs(), ExportSpec::defaults());

    auto* reset = view->findChild<QPushButton*>("reset");
    QTest::mouseClick(reset, Qt::LeftButton);
    EXPECT_EQ(view->model().specs(), ExportSpec::defaults());
    EXPECT_EQ(stored(), encoded(ExportSpec::defaults()));
    auto shown = sections(*view);
    EXPECT_EQ(shown[0]->findChild<QLabel*>("qualityText")->text(), "0.85");
    EXPECT_EQ(shown[2]->findChild<QLineEdit*>("pixels")->text(), "2048");

    markStore();
    QTest::mouseClick(reset, Qt::LeftButton);
    EXPECT_EQ(stored(), encoded(ExportSpec::defaults()));
    EXPECT_EQ(sections(*view), shown);
}

TEST_F(SettingsFormTest, EachStatusHasItsTextAndTheButtonUnlessAllowed) {
    struct Case {
        int64_t status;
        const char* text;
        bool button;
    };
    const Case cases[] = {
        {0, "not asked yet", true}, {1, "unavailable (no notification service is running)", true},
        {2, "allowed", false},      {3, "limited", true},
        {4, "limited", true},       {-1, "limited", true},
        {42, "limited", true},
    };
    auto view = makeView();
    auto* status = view->findChild<QLabel*>("status");
    auto* button = view->findChild<QPushButton*>("enableNotifications");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        view->model().setNotificationStatus(c.status);
        EXPECT_EQ(status->text(), c.text);
        EXPECT_EQ(button->isVisible(), c.button);
        if (c.status == 2)
            std::cout << "screenshot: " << test::saveScreenshot(*view, "settings-allowed") << "\n";
    }
}

TEST_F(SettingsFormTest, BeforeTheFirstAnswerTheStatusIsNotAskedYet) {
    auto model =
        std::make_unique<SpecsModel>(SpecStore(suite()), NotificationPermission::desktop());
    SettingsForm view(m_updater, std::move(model));
    EXPECT_EQ(view.findChild<QLabel*>("status")->text(), "not asked yet");
    EXPECT_FALSE(view.findChild<QPushButton*>("enableNotifications")->isHidden());
}

TEST_F(SettingsFormTest, QualitiesReadInTheUsersLocale) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    auto view = makeView();
    SpecSection& section = *sections(*view)[0];
    EXPECT_EQ(section.findChild<QLabel*>("qualityText")->text(), "0,85");
    QTest::keyClick(section.findChild<QSlider*>("quality"), Qt::Key_End);
    EXPECT_EQ(section.findChild<QLabel*>("qualityText")->text(), "1,00");

    // No thousands separator, shown or read.
    auto* field = section.findChild<QLineEdit*>("pixels");
    markStore();
    field->selectAll();
    QTest::keyClicks(field, "1.080");
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(stored(), marker);
    field->selectAll();
    QTest::keyClicks(field, "12000");
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(field->text(), "12000");
    EXPECT_EQ(view->model().specs()[0].rule, SizeRule::width(12000));
    std::cout << "screenshot: " << test::saveScreenshot(*view, "settings-german") << "\n";
}

TEST(SpecSectionHeader, CapitalisesEveryWord) {
    const std::pair<const char*, const char*> cases[] = {
        {"instagram", "Instagram"},
        {"threads", "Threads"},
        {"MY photo\tBLOG\nnew", "My Photo\tBlog\nNew"},
        {"  two  spaces ", "  Two  Spaces "},
        {"x/y-z", "X/y-z"},
        {"élan ÉCOLE", "Élan École"},
        {"", ""},
    };
    for (const auto& [id, header] : cases)
        EXPECT_EQ(SpecSection::capitalised(QString::fromUtf8(id)), QString::fromUtf8(header)) << id;
}

class RevealTest : public SettingsFormTest {
protected:
    std::filesystem::path root() { return m_folder / "home" / "Pictures" / "Socials"; }

    // An xdg-open that only notes what it was asked to open.
    std::filesystem::path fakeOpener() {
        std::filesystem::path bin = m_folder / "bin";
        std::filesystem::create_directories(bin);
        std::filesystem::path log = m_folder / "opened";
        std::ofstream(bin / "xdg-open") << "#!/bin/sh\necho \"$@\" >> '" << log.string() << "'\n";
        std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
        m_environment.set("PATH", bin.string() + ":" + std::getenv("PATH"));
        return log;
    }
};

TEST_F(RevealTest, TheFileManagerShowsTheOutputRootSelected) {
    test::PrivateSessionBus bus;
    test::FileManagerMock fileManager(m_folder / "file-manager.log");
    ASSERT_TRUE(fileManager.running());
    std::filesystem::path opened = fakeOpener();

    auto view = makeView();
    ASSERT_FALSE(std::filesystem::exists(root()));
    QTest::mouseClick(view->findChild<QPushButton*>("reveal"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return fileManager.calls().find("ShowItems") != std::string::npos; }, 20000));
    EXPECT_TRUE(std::filesystem::is_directory(root()));
    EXPECT_NE(fileManager.calls().find("ShowItems [\"" + FileURL::string(root()) + "\"] \"\""),
              std::string::npos)
        << fileManager.calls();
    QTest::qWait(200);
    EXPECT_FALSE(std::filesystem::exists(opened));
}

TEST_F(RevealTest, WithoutAFileManagerTheFolderIsOpened) {
    std::filesystem::path opened = fakeOpener();
    auto view = makeView();
    QTest::mouseClick(view->findChild<QPushButton*>("reveal"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !test::readFile(opened).empty(); }, 20000));
    EXPECT_EQ(test::readFile(opened), root().string() + "\n");
    EXPECT_TRUE(std::filesystem::is_directory(root()));
}

TEST_F(RevealTest, AnOutputRootThatCannotBeMadeIsStillAskedFor) {
    std::filesystem::path opened = fakeOpener();
    // A file where the Pictures folder should be.
    std::ofstream(m_folder / "home" / "Pictures") << "in the way";
    auto view = makeView();
    QTest::mouseClick(view->findChild<QPushButton*>("reveal"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !test::readFile(opened).empty(); }, 20000));
    EXPECT_EQ(test::readFile(opened), root().string() + "\n");
}

TEST_F(SettingsFormTest, TheDesktopsNotificationServerMeansAllowed) {
    test::PrivateSessionBus bus;
    bus.startNotificationServer();
    auto model =
        std::make_unique<SpecsModel>(SpecStore(suite()), NotificationPermission::desktop());
    SettingsForm view(m_updater, std::move(model));
    view.show();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return view.findChild<QLabel*>("status")->text() == "allowed"; }, 20000));
    EXPECT_TRUE(view.findChild<QPushButton*>("enableNotifications")->isHidden());

    // Each showing asks again: a server that went away reads as denied, with the button back.
    bus.stopNotificationServer();
    view.hide();
    view.show();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return view.model().notificationStatus() == SpecsModel::denied; }, 20000));
    auto* button = view.findChild<QPushButton*>("enableNotifications");
    EXPECT_TRUE(button->isVisible());

    // The button asks, and the answer read afterwards decides.
    bus.startNotificationServer();
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return button->isHidden(); }, 20000));
    EXPECT_EQ(view.findChild<QLabel*>("status")->text(), "allowed");
}

} // namespace
