#include "PlatformServices/Preferences.hpp"
#include "PlenwickCore/SpecStore.hpp"
#include "QtTestSupport.hpp"
#include "SpecsModel.hpp"
#include "TestSupport.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <thread>

#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>

using namespace plenwick;

namespace {

std::string text(const std::optional<Preferences::Data>& data) {
    return data ? std::string(data->begin(), data->end()) : std::string("<nothing>");
}

Preferences::Data bytes(const std::string& text) {
    return Preferences::Data(text.begin(), text.end());
}

NotificationPermission fixedStatus(int64_t status) {
    return {[status] { return status; }, [] {}};
}

class SpecsModelTest : public testing::Test {
protected:
    void SetUp() override { test::application(); }

    // A second connection to the same suite, as the share program would have.
    std::shared_ptr<Preferences> otherProcess() {
        return Preferences::open(m_folder / "suite").valueOr(nullptr);
    }

    std::unique_ptr<SpecsModel> model(NotificationPermission notifications = fixedStatus(2)) {
        return std::make_unique<SpecsModel>(
            SpecStore(Preferences::open(m_folder / "suite").valueOr(nullptr)),
            std::move(notifications));
    }

    std::string stored() { return text(otherProcess()->data(SpecStore::specsKey).value()); }

    test::TemporaryFolder m_folder;
};

TEST_F(SpecsModelTest, LoadsWithoutSavingOrNotifying) {
    auto fresh = model();
    EXPECT_EQ(fresh->specs(), ExportSpec::defaults());
    EXPECT_EQ(fresh->notificationStatus(), SpecsModel::notDetermined);
    EXPECT_EQ(stored(), "<nothing>");

    // A list the window did not write comes in as it is stored, and stays so on disk.
    const std::string odd =
        R"([{"id":"x/y","folder":"../up","rule":{"longEdge":{"_0":-5}},"quality":3},)"
        R"({"id":"x/y","folder":"a/b","rule":{"width":{"_0":9223372036854775807}},"quality":0.1}])";
    ASSERT_TRUE(otherProcess()->setData(SpecStore::specsKey, bytes(odd)));
    auto loaded = model();
    ASSERT_EQ(loaded->specs().size(), 2u);
    EXPECT_EQ(loaded->specs()[0].folder, "../up");
    EXPECT_EQ(loaded->specs()[1].rule, SizeRule::width(std::numeric_limits<int64_t>::max()));
    EXPECT_EQ(stored(), odd);
}

TEST_F(SpecsModelTest, EveryAssignmentSavesTheWholeListAndOnlyChangesNotify) {
    auto specs = model();
    QSignalSpy changed(specs.get(), &SpecsModel::specsChanged);

    // An equal list: saved again (over whatever the suite held meanwhile), no notification.
    ASSERT_TRUE(otherProcess()->setData(SpecStore::specsKey, bytes("written elsewhere")));
    specs->setSpecs(ExportSpec::defaults());
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(stored(), *ExportSpec::encodeList(ExportSpec::defaults()));

    // One quality differs: one notification, and the whole list is stored.
    auto edited = ExportSpec::defaults();
    edited[1].quality = 0.86;
    specs->setSpecs(edited);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(stored(), *ExportSpec::encodeList(edited));
    EXPECT_EQ(SpecStore(otherProcess()).load(), edited);

    // The same edit once more saves once more and notifies nobody.
    ASSERT_TRUE(otherProcess()->remove(SpecStore::specsKey));
    specs->setSpecs(edited);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(stored(), *ExportSpec::encodeList(edited));
}

TEST_F(SpecsModelTest, AnEmptyListIsSavedAndLoadsAsTheDefaults) {
    auto specs = model();
    QSignalSpy changed(specs.get(), &SpecsModel::specsChanged);
    specs->setSpecs({});
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(specs->specs().empty());
    EXPECT_EQ(stored(), "[]");
    EXPECT_EQ(model()->specs(), ExportSpec::defaults());
}

TEST_F(SpecsModelTest, AFailedSaveKeepsTheNewListInMemoryAndTheOldOneStored) {
    auto specs = model();
    auto edited = ExportSpec::defaults();
    edited[0].quality = 0.9;
    specs->setSpecs(edited);

    // A quality that is not a number has no JSON form, so the save fails.
    auto unsaveable = edited;
    unsaveable[2].quality = std::nan("");
    QSignalSpy changed(specs.get(), &SpecsModel::specsChanged);
    specs->setSpecs(unsaveable);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(std::isnan(specs->specs()[2].quality));
    EXPECT_EQ(stored(), *ExportSpec::encodeList(edited));
}

TEST_F(SpecsModelTest, StatusWritesNotifyOnlyOnChangeAndKeepThePlatformsValue) {
    auto specs = model();
    QSignalSpy changed(specs.get(), &SpecsModel::notificationStatusChanged);
    specs->setNotificationStatus(SpecsModel::notDetermined);
    EXPECT_EQ(changed.count(), 0);
    const int64_t values[] = {3, 3, 4, -1, 7, 7, 2};
    for (int64_t value : values) {
        specs->setNotificationStatus(value);
        EXPECT_EQ(specs->notificationStatus(), value);
    }
    EXPECT_EQ(changed.count(), 5);
    EXPECT_EQ(specs->property("notificationStatus").toLongLong(), 2);
}

TEST_F(SpecsModelTest, RefreshAsksOffTheGuiThreadAndAnswersOnIt) {
    for (int64_t platform : {int64_t{1}, int64_t{2}, int64_t{3}, int64_t{4}, int64_t{9}}) {
        SCOPED_TRACE(platform);
        std::atomic<int> asked{0};
        std::atomic<bool> askedOnGuiThread{false};
        QThread* gui = QThread::currentThread();
        auto specs = model({[&, platform] {
                                askedOnGuiThread = QThread::currentThread() == gui;
                                ++asked;
                                return platform;
                            },
                            [] {}});
        QSignalSpy changed(specs.get(), &SpecsModel::notificationStatusChanged);
        bool answeredOnGuiThread = false;
        QObject::connect(specs.get(), &SpecsModel::notificationStatusChanged,
                         [&] { answeredOnGuiThread = QThread::currentThread() == gui; });

        specs->refreshNotificationStatus();
        specs->refreshNotificationStatus();
        ASSERT_TRUE(QTest::qWaitFor([&] { return asked == 2 && changed.count() == 1; }, 10000));
        QTest::qWait(50);
        EXPECT_EQ(specs->notificationStatus(), platform);
        EXPECT_EQ(changed.count(), 1);
        EXPECT_FALSE(askedOnGuiThread);
        EXPECT_TRUE(answeredOnGuiThread);
    }
}

TEST_F(SpecsModelTest, ARequestAsksThenReadsTheVerdict) {
    std::atomic<bool> requested{false};
    auto specs =
        model({[&] { return requested ? int64_t{2} : int64_t{1}; }, [&] { requested = true; }});
    specs->requestNotificationPermission();
    ASSERT_TRUE(QTest::qWaitFor([&] { return specs->notificationStatus() == 2; }, 10000));
    EXPECT_TRUE(requested);
}

TEST_F(SpecsModelTest, AModelGoneBeforeTheAnswerIsLeftAlone) {
    std::atomic<bool> answered{false};
    auto specs = model({[&] {
                            std::this_thread::sleep_for(std::chrono::milliseconds(200));
                            answered = true;
                            return int64_t{2};
                        },
                        [] {}});
    specs->refreshNotificationStatus();
    specs.reset();
    EXPECT_TRUE(answered);
    QTest::qWait(100);
}

} // namespace

namespace {

// Another program may write the suite while the window is open; the window's next edit reads it
// first, so what that program wrote is kept rather than saved over.
TEST_F(SpecsModelTest, AnEditGoesOntoWhatAnotherProgramStoredMeanwhile) {
    auto specs = model();
    QSignalSpy changed(specs.get(), &SpecsModel::specsChanged);
    auto quality = [](double value) { return [value](ExportSpec& spec) { spec.quality = value; }; };

    // Nothing written elsewhere: the edit is the window's alone.
    specs->editSpec(1, quality(0.7));
    auto expected = ExportSpec::defaults();
    expected[1].quality = 0.7;
    EXPECT_EQ(SpecStore(otherProcess()).load(), expected);
    EXPECT_EQ(changed.count(), 1);

    // Another spec changed elsewhere: both changes are stored, and the window shows both.
    auto elsewhere = expected;
    elsewhere[2].rule = SizeRule::longEdge(3000);
    ASSERT_TRUE(SpecStore(otherProcess()).save(elsewhere));
    specs->editSpec(0, quality(0.6));
    expected = elsewhere;
    expected[0].quality = 0.6;
    EXPECT_EQ(SpecStore(otherProcess()).load(), expected);
    EXPECT_EQ(specs->specs(), expected);
    EXPECT_EQ(changed.count(), 2);

    // The same spec changed elsewhere: the window's edit changes its own field only.
    elsewhere = expected;
    elsewhere[0].rule = SizeRule::width(500);
    ASSERT_TRUE(SpecStore(otherProcess()).save(elsewhere));
    specs->editSpec(0, quality(0.55));
    expected = elsewhere;
    expected[0].quality = 0.55;
    EXPECT_EQ(SpecStore(otherProcess()).load(), expected);

    // The list reordered elsewhere: the spec edited is no longer where the window showed it, so
    // nothing is written and the window shows the stored list.
    elsewhere = {expected[2], expected[0]};
    ASSERT_TRUE(SpecStore(otherProcess()).save(elsewhere));
    std::string before = stored();
    specs->editSpec(1, quality(0.99));
    EXPECT_EQ(stored(), before);
    EXPECT_EQ(specs->specs(), elsewhere);
    EXPECT_EQ(changed.count(), 4);

    // From there on, edits apply as usual.
    specs->editSpec(1, quality(0.99));
    elsewhere[1].quality = 0.99;
    EXPECT_EQ(SpecStore(otherProcess()).load(), elsewhere);
}

TEST_F(SpecsModelTest, AFailedSaveIsNoChangeElsewhere) {
    auto specs = model();
    // A quality that is not a number has no JSON form: this save fails, the list stays shown.
    specs->editSpec(2, [](ExportSpec& spec) { spec.quality = std::nan(""); });
    specs->editSpec(0, [](ExportSpec& spec) { spec.quality = 0.9; });
    EXPECT_TRUE(std::isnan(specs->specs()[2].quality));
    EXPECT_EQ(specs->specs()[0].quality, 0.9);
    EXPECT_EQ(stored(), "<nothing>");
}

} // namespace
