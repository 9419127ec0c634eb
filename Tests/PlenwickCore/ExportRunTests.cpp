#include "PlatformServices/LogCapture.hpp"
#include "PlenwickCore/ExportRun.hpp"
#include "PlenwickCore/ImageExporter.hpp"
#include "TestSupport.hpp"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <latch>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <vips/vips8>

using namespace plenwick;
using testing::ElementsAre;
using Path = std::filesystem::path;

namespace {

PixelSize imageSize(const Path& file) {
    vips::VImage image = vips::VImage::new_from_file(file.c_str());
    return {image.width(), image.height()};
}

Expected<PixelSize, ExportError> realExport(ImageSource& source, const Path& to,
                                            const ExportSpec& spec) {
    return ImageExporter(spec.quality).exportImage(source, to, spec.rule);
}

const std::vector<ExportSpec> threeSpecs{
    {"a", "a", SizeRule::width(40), 0.8},
    {"b", "b", SizeRule::width(30), 0.8},
    {"c", "c", SizeRule::longEdge(20), 0.8},
};

TEST(ExportRun, CollisionKeysIgnoreExtensionCaseAndComposition) {
    struct Case {
        const char* first;
        const char* second;
        bool collide;
    };
    const Case cases[] = {
        {"/x/IMG_1.HEIC", "/y/img_1.png", true},
        {"Cafe\u0301.jpg", "Caf\u00e9.png", true},
        {"\u00c9T\u00c9.jpg", "\u00e9t\u00e9.jpeg", true},
        {"holiday.final.png", "holiday.final.jpg", true},
        {"holiday.final.png", "holiday.png", false},
        {"a.png", "b.png", false},
        {"a\xff.png", "A\xff.jpg", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " / " + c.second);
        EXPECT_EQ(ExportRun::collisionKey(c.first) == ExportRun::collisionKey(c.second), c.collide);
    }
}

TEST(ExportRun, NotificationTexts) {
    struct Case {
        int64_t exported;
        std::vector<ExportFailure> failures;
        int64_t skipped;
        const char* text;
    };
    const Case cases[] = {
        {1, {}, 0, "Exported 1 photo to Socials"},
        {0, {}, 0, "Exported 0 photos to Socials"},
        {3, {}, 2, "Exported 3 photos to Socials, 2 items skipped"},
        {0, {}, 1, "Exported 0 photos to Socials, 1 items skipped"},
        {2,
         {{"/in/IMG_7.heic", ExportError::unreadable("/in/IMG_7.heic")},
          {"/in/b.png", ExportError::write("/out/b.jpg", "other")}},
         0,
         "Plenwick failed on IMG_7.heic: not a readable image (2 exported)"},
        {0,
         {{"/in/a.png", ExportError::write("/out/a.jpg", "cannot create image destination")}},
         1,
         "Plenwick failed on a.png: cannot create image destination, 1 items skipped"},
        {0,
         {{"/in/a.png", ExportError::encodeFailed("/out/a.jpg")}},
         0,
         "Plenwick failed on a.png: could not encode JPEG"},
        {0, {{"/in/a.png", ExportError::cancelled()}}, 0, "Plenwick failed on a.png: cancelled"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ExportRun::notificationText(c.exported, c.failures, c.skipped), c.text);
}

TEST(ExportRun, ExportsEveryInputForEverySpecAndLogsEachStep) {
    test::TemporaryFolder folder;
    test::writeImage(folder / "one.png", 80, 60);
    test::writeImage(folder / "two.jpg", 60, 80);
    Path root = folder / "Socials";

    Log::Capture capture;
    ExportResult result =
        ExportRun::run({folder / "one.png", folder / "two.jpg"}, threeSpecs, root, 0);

    EXPECT_THAT(result.written,
                ElementsAre(root / "a/one.jpg", root / "b/one.jpg", root / "c/one.jpg",
                            root / "a/two.jpg", root / "b/two.jpg", root / "c/two.jpg"));
    EXPECT_TRUE(result.failures.empty());
    EXPECT_EQ(result.notificationText, "Exported 2 photos to Socials");
    for (const Path& file : result.written)
        EXPECT_TRUE(std::filesystem::is_regular_file(file)) << file;

    auto lines = capture.messages("export");
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines.front(), "run start: 2 inputs, 3 specs, root " + root.string());
    std::vector<std::string> wrote(lines.begin() + 1, lines.end() - 1);
    std::sort(wrote.begin(), wrote.end());
    EXPECT_THAT(wrote, ElementsAre("wrote " + (root / "a/one.jpg").string() + " 40x30",
                                   "wrote " + (root / "a/two.jpg").string() + " 40x53",
                                   "wrote " + (root / "b/one.jpg").string() + " 30x23",
                                   "wrote " + (root / "b/two.jpg").string() + " 30x40",
                                   "wrote " + (root / "c/one.jpg").string() + " 20x15",
                                   "wrote " + (root / "c/two.jpg").string() + " 15x20"));
    EXPECT_TRUE(std::regex_match(
        lines.back(), std::regex(R"(run end: 6 files, 0 failures, 0 skipped, \d+\.\d\ds)")))
        << lines.back();
}

TEST(ExportRun, AFailingSpecEndsItsInputButNotTheRun) {
    test::TemporaryFolder folder;
    test::writeImage(folder / "one.png", 80, 60);
    test::writeImage(folder / "two.png", 80, 60);
    Path root = folder / "Socials";
    std::filesystem::create_directories(root);
    std::ofstream(root / "b") << "a file where the folder should be";

    Log::Capture capture;
    ExportResult result =
        ExportRun::run({folder / "one.png", folder / "two.png"}, threeSpecs, root, 1);

    EXPECT_THAT(result.written, ElementsAre(root / "a/one.jpg", root / "a/two.jpg"));
    ASSERT_EQ(result.failures.size(), 2u);
    EXPECT_EQ(result.failures[0].input, folder / "one.png");
    EXPECT_EQ(result.failures[0].error.kind, ExportError::Kind::write);
    EXPECT_EQ(result.failures[0].error.location, root / "b/one.jpg");
    EXPECT_FALSE(std::filesystem::exists(root / "c"));
    EXPECT_EQ(result.notificationText, "Plenwick failed on one.png: " +
                                           result.failures[0].error.message + ", 1 items skipped");

    auto lines = capture.messages("export");
    std::string failed = "export failed: input " + (folder / "one.png").string() + " -> " +
                         (root / "b/one.jpg").string() +
                         " rule width(30): " + result.failures[0].error.description();
    EXPECT_NE(std::find(lines.begin(), lines.end(), failed), lines.end());
    EXPECT_TRUE(lines.back().starts_with("run end: 2 files, 2 failures, 1 skipped, "));
}

TEST(ExportRun, AnInputIsReadOnceForAllItsSpecsAndEqualOutputsAreEncodedOnce) {
    test::TemporaryFolder folder;
    Path input = folder / "in.png";
    test::writeImage(input, 80, 60);
    Path root = folder / "Socials";
    struct Case {
        ExportSpec spec;
        PixelSize size;
        int q;
        bool encodedBefore;
    };
    const std::vector<Case> cases{
        {{"a", "a", SizeRule::width(40), 0.8}, {40, 30}, 80, false},
        {{"b", "b", SizeRule::longEdge(40), 0.8}, {40, 30}, 80, true},
        {{"c", "c", SizeRule::width(40), 0.9}, {40, 30}, 90, false},
        {{"d", "d", SizeRule::width(20), 0.8}, {20, 15}, 80, false},
    };
    std::vector<ExportSpec> specs;
    for (const Case& c : cases)
        specs.push_back(c.spec);
    std::vector<bool> encodedBefore;
    ExportRun::Exporter emptiesTheInput = [&](ImageSource& source, const Path& to,
                                              const ExportSpec& spec) {
        // A spec that read the file again would find nothing in it.
        std::ofstream(input, std::ios::trunc).close();
        const Case& c = cases[encodedBefore.size()];
        encodedBefore.push_back(source.keptJpeg(c.size, c.q) != nullptr);
        return realExport(source, to, spec);
    };

    ExportResult result = ExportRun::run({input}, specs, root, 0, {}, emptiesTheInput);

    EXPECT_TRUE(result.failures.empty());
    ASSERT_EQ(result.written.size(), cases.size());
    ASSERT_EQ(encodedBefore.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(encodedBefore[i], cases[i].encodedBefore) << cases[i].spec.id;
        EXPECT_EQ(imageSize(result.written[i]), cases[i].size) << cases[i].spec.id;
    }
    EXPECT_EQ(test::readFile(root / "b/in.jpg"), test::readFile(root / "a/in.jpg"));
}

TEST(ExportRun, AnInputThatCannotBeReadFailsItsFirstSpecAndCreatesNoFolder) {
    test::TemporaryFolder folder;
    Path missing = folder / "missing.png";
    Path root = folder / "Socials";

    Log::Capture capture;
    ExportResult result = ExportRun::run({missing}, threeSpecs, root, 0);

    EXPECT_THAT(result.failures,
                ElementsAre(ExportFailure{missing, ExportError::unreadable(missing)}));
    EXPECT_FALSE(std::filesystem::exists(root));
    auto lines = capture.messages("export");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "export failed: input " + missing.string() + " -> " +
                            (root / "a/missing.jpg").string() +
                            " rule width(40): " + ExportError::unreadable(missing).description());
}

TEST(ExportRun, FoldersOutsideTheRootFailWithoutWriting) {
    test::TemporaryFolder folder;
    test::writeImage(folder / "in.png", 50, 50);
    Path root = folder / "Socials";
    for (std::string bad : {"", "/tmp/elsewhere", "../escape", "a/../../escape"}) {
        SCOPED_TRACE(bad);
        ExportResult result =
            ExportRun::run({folder / "in.png"}, {{"x", bad, SizeRule::width(10), 0.8}}, root, 0);
        ASSERT_EQ(result.failures.size(), 1u);
        EXPECT_EQ(result.failures[0].error.kind, ExportError::Kind::write);
        EXPECT_TRUE(result.written.empty());
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "escape"));
    EXPECT_FALSE(std::filesystem::exists(folder / "in.jpg"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/elsewhere/in.jpg"));
}

TEST(ExportRun, NeverRunsMoreThanThreeExportsAndSerialisesCollidingNames) {
    test::TemporaryFolder folder;
    std::vector<Path> inputs;
    for (const char* name : {"a.png", "b.png", "A.jpg", "c.png", "d.png", "e.png", "a.tif"}) {
        inputs.push_back(folder / name);
        test::writeImage(inputs.back(), 40, 30);
    }
    std::atomic<int> running{0};
    std::atomic<int> mostRunning{0};
    std::atomic<int> runningOfA{0};
    std::atomic<bool> collidingOverlap{false};
    // The first three exports wait for each other, so three certainly run at once; a run that
    // allowed fewer would never get past them.
    std::atomic<int> arrived{0};
    std::latch firstThree(3);
    ExportRun::Exporter observed = [&](ImageSource& source, const Path& to,
                                       const ExportSpec& spec) {
        int now = ++running;
        int seen = mostRunning.load();
        while (now > seen && !mostRunning.compare_exchange_weak(seen, now)) {
        }
        bool isA = ExportRun::collisionKey(source.path()) == "a";
        if (isA && ++runningOfA > 1)
            collidingOverlap = true;
        if (arrived++ < 3)
            firstThree.arrive_and_wait();
        auto result = realExport(source, to, spec);
        if (isA)
            --runningOfA;
        --running;
        return result;
    };

    ExportResult result = ExportRun::run(inputs, {threeSpecs[0]}, folder / "out", 0, {}, observed);

    EXPECT_EQ(mostRunning.load(), 3);
    EXPECT_FALSE(collidingOverlap.load());
    EXPECT_TRUE(result.failures.empty());
    // a.png and a.tif write the same file, in input order, so a.tif's remains.
    EXPECT_EQ(std::count(result.written.begin(), result.written.end(), folder / "out/a/a.jpg"), 2);
    EXPECT_EQ(result.written.size(), inputs.size());
}

TEST(ExportRun, ResultsFollowInputOrderWhateverFinishesFirst) {
    test::TemporaryFolder folder;
    std::vector<Path> inputs{folder / "slow.png", folder / "missing.png", folder / "fast.png",
                             folder / "gone.png"};
    test::writeImage(inputs[0], 40, 30);
    test::writeImage(inputs[2], 40, 30);
    // The first input finishes only after the third has.
    std::latch fastWritten(1);
    ExportRun::Exporter slowFirst = [&](ImageSource& source, const Path& to,
                                        const ExportSpec& spec) {
        if (source.path() == inputs[0])
            fastWritten.wait();
        auto result = realExport(source, to, spec);
        if (source.path() == inputs[2])
            fastWritten.count_down();
        return result;
    };

    ExportResult result = ExportRun::run(inputs, {threeSpecs[0]}, folder / "out", 0, {}, slowFirst);

    EXPECT_THAT(result.written, ElementsAre(folder / "out/a/slow.jpg", folder / "out/a/fast.jpg"));
    ASSERT_EQ(result.failures.size(), 2u);
    EXPECT_EQ(result.failures[0], (ExportFailure{inputs[1], ExportError::unreadable(inputs[1])}));
    EXPECT_EQ(result.failures[1], (ExportFailure{inputs[3], ExportError::unreadable(inputs[3])}));
    EXPECT_EQ(result.notificationText, "Plenwick failed on missing.png: not a readable image (2 "
                                       "exported)");
}

TEST(ExportRun, ACancelledRunExportsNothing) {
    test::TemporaryFolder folder;
    std::vector<Path> inputs{folder / "first.png", folder / "second.png"};
    for (const Path& input : inputs)
        test::writeImage(input, 40, 30);
    std::stop_source stop;
    stop.request_stop();

    Log::Capture capture;
    ExportResult result = ExportRun::run(inputs, threeSpecs, folder / "out", 0, stop.get_token());

    EXPECT_TRUE(result.written.empty());
    EXPECT_THAT(result.failures, ElementsAre(ExportFailure{inputs[0], ExportError::cancelled()},
                                             ExportFailure{inputs[1], ExportError::cancelled()}));
    EXPECT_EQ(result.notificationText, "Plenwick failed on first.png: cancelled");
    EXPECT_FALSE(std::filesystem::exists(folder / "out"));
    EXPECT_EQ(capture.messages("export").size(), 2u);
}

TEST(ExportRun, AStopDuringAnInputFinishesThatInputForEverySpec) {
    test::TemporaryFolder folder;
    std::vector<Path> inputs{folder / "first.png", folder / "second.png"};
    for (const Path& input : inputs)
        test::writeImage(input, 40, 30);
    std::stop_source stop;
    ExportRun::Exporter stopsOnFirst = [&](ImageSource& source, const Path& to,
                                           const ExportSpec& spec) {
        stop.request_stop();
        return realExport(source, to, spec);
    };
    // One input after the other: both names collide, so the second starts after the stop.
    std::vector<Path> colliding{inputs[0], folder / "FIRST.png"};
    test::writeImage(colliding[1], 40, 30);

    ExportResult result =
        ExportRun::run(colliding, threeSpecs, folder / "out", 0, stop.get_token(), stopsOnFirst);

    EXPECT_EQ(result.written.size(), 3u);
    EXPECT_THAT(result.failures,
                ElementsAre(ExportFailure{colliding[1], ExportError::cancelled()}));
}

TEST(ExportRun, EmptyInputsOrSpecs) {
    test::TemporaryFolder folder;
    ExportResult none = ExportRun::run({}, threeSpecs, folder / "out", 2);
    EXPECT_EQ(none.notificationText, "Exported 0 photos to Socials, 2 items skipped");

    test::writeImage(folder / "in.png", 40, 30);
    ExportResult noSpecs = ExportRun::run({folder / "in.png"}, {}, folder / "out", 0);
    EXPECT_TRUE(noSpecs.written.empty());
    EXPECT_EQ(noSpecs.notificationText, "Exported 1 photo to Socials");
    EXPECT_FALSE(std::filesystem::exists(folder / "out"));
}

} // namespace
