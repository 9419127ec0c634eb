#include "PlatformServices/TemporaryFolder.hpp"
#include "PlatformServices/Uuid.hpp"
#include "ScopedMount.hpp"
#include "TestSupport.hpp"

#include <cctype>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace plenwick;
namespace fs = std::filesystem;
using Staging = TemporaryFolder::Staging;

namespace {

// A staging folder of `kind` made in `parent` by a process that then ends without cleaning up,
// as a killed share does.
fs::path leftByADeadProcess(const fs::path& parent, Staging kind) {
    return test::leftByADeadProcess([&parent, kind] {
        static auto folder = TemporaryFolder::createStaging(parent, kind);
        return folder ? folder.value().path().string() : std::string();
    });
}

// Everything below `folder`, links not followed: each entry's kind, and a file's bytes.
std::map<std::string, std::string> treeOf(const fs::path& folder) {
    std::map<std::string, std::string> tree;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(folder, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        std::string name = fs::relative(it->path(), folder).string();
        if (it->is_symlink())
            tree[name] = "link to " + fs::read_symlink(it->path()).string();
        else if (it->is_regular_file())
            tree[name] = "file " + test::readFile(it->path());
        else
            tree[name] = it->is_directory() ? "folder" : "other";
    }
    return tree;
}

void chownTo(const fs::path& path, uid_t owner) {
    ASSERT_EQ(::lchown(path.c_str(), owner, owner), 0) << path;
}

TEST(TemporaryFolder, StagingFoldersGoWithTheirOwner) {
    test::TemporaryFolder parent;
    for (Staging kind : {Staging::share, Staging::standardInput}) {
        fs::path made;
        {
            auto folder = TemporaryFolder::createStaging(parent.path(), kind);
            ASSERT_TRUE(folder) << folder.error().message;
            made = folder.value().path();
            std::ofstream(made / "photo.jpg") << "a staged photo";
            EXPECT_EQ(fs::status(made).permissions(), fs::perms::owner_all);
        }
        EXPECT_FALSE(fs::exists(made));
    }
}

TEST(TemporaryFolder, StagingFoldersOfDeadSharesAreRemoved) {
    test::TemporaryFolder parent;
    test::TemporaryFolder outside;
    std::ofstream(outside / "kept.txt") << "not the share's";
    int dead = 0;
    for (Staging kind : {Staging::share, Staging::standardInput})
        for (int i = 0; i < 40; ++i, ++dead) {
            fs::path folder = leftByADeadProcess(parent.path(), kind);
            ASSERT_FALSE(folder.empty());
            // What a share puts there: items, and links it would never follow out of them.
            fs::create_directories(folder / "item_0/nested");
            std::ofstream(folder / "item_0/nested/photo.jpg") << "a staged photo";
            fs::create_directory_symlink(outside.path(), folder / "item_0/out");
            fs::create_symlink(outside / "kept.txt", folder / "item_0/photo.jpg");
            test::makeOld(folder);
        }
    const auto before = treeOf(outside.path());

    EXPECT_EQ(TemporaryFolder::removeLeftovers(parent.path()), static_cast<size_t>(dead));

    EXPECT_TRUE(fs::is_empty(parent.path()));
    EXPECT_EQ(treeOf(outside.path()), before);
}

// Every case is older than a minute and, where it holds a mark, the mark is unlocked, so that
// only what the case changes tells it from a dead share's staging folder.
TEST(TemporaryFolder, WhatIsNotProvablyADeadSharesStagingFolderStays) {
    test::TemporaryFolder parent;
    test::TemporaryFolder outside;
    const fs::path dead = leftByADeadProcess(outside.path(), Staging::share);
    ASSERT_FALSE(dead.empty());
    std::ofstream(dead / "input") << "staged bytes";
    const fs::path mark = std::string(TemporaryFolder::markName);
    const std::string uuid = Uuid::random().value();
    const std::string text(TemporaryFolder::markText);
    std::string lowercase = uuid;
    for (char& c : lowercase)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto changed = [&uuid](size_t at, char c) {
        std::string other = uuid;
        other[at] = c;
        return other;
    };
    std::vector<test::ScopedMount> mounts;
    std::vector<FileDescriptor> locks;

    auto copy = [&dead](const fs::path& folder) {
        fs::copy(dead, folder, fs::copy_options::recursive);
    };
    auto userFiles = [](const fs::path& folder) {
        fs::create_directories(folder / "checkout");
        std::ofstream(folder / "checkout/main.cpp") << "int main() {}\n";
        std::ofstream(folder / "notes.txt") << "notes";
    };
    auto markHolding = [&userFiles, &mark](std::string bytes) {
        return [&userFiles, &mark, bytes](const fs::path& folder) {
            userFiles(folder);
            std::ofstream(folder / mark, std::ios::binary) << bytes;
        };
    };
    const struct {
        std::string what;
        std::string name;
        std::function<void(const fs::path&)> make;
    } cases[] = {
        // Names near a staging folder's, each with a share's mark copied into it.
        {"a user's folder", "plenwick-review", copy},
        {"a build folder", "plenwick-build", copy},
        {"the fuzz targets' old scratch folder", "plenwick-fuzz-Ab12Cd", copy},
        {"the tests' folders", "plenwick-test-Ab12Cd", copy},
        {"no UUID", "plenwick-", copy},
        {"a lower-case UUID", "plenwick-" + lowercase, copy},
        {"a UUID of version 1", "plenwick-" + changed(14, '1'), copy},
        {"a UUID of another variant", "plenwick-" + changed(19, 'C'), copy},
        {"a letter past F", "plenwick-" + changed(0, 'G'), copy},
        {"a dash out of place", "plenwick-" + changed(8, '0'), copy},
        {"a UUID one short", "plenwick-" + uuid.substr(1), copy},
        {"a UUID and more", "plenwick-" + uuid + "0", copy},
        {"a UUID in braces", "plenwick-{" + uuid + "}", copy},
        {"another prefix", "Plenwick-" + uuid, copy},
        {"a standard input suffix one short", "plenwick-stdin-AbC12", copy},
        {"a standard input suffix one long", "plenwick-stdin-AbC123d", copy},
        {"a dash in the suffix", "plenwick-stdin-AbC-12", copy},
        {"a letter beyond ASCII in the suffix", "plenwick-stdin-AbC1\xc3\xa9", copy},
        {"no suffix", "plenwick-stdin-", copy},
        // Names of a staging folder's form, without a share's mark.
        {"no mark", "plenwick-" + Uuid::random().value(), userFiles},
        {"a user's folder of the standard input form", "plenwick-stdin-backup", userFiles},
        {"a mark with other text", "plenwick-" + Uuid::random().value(), markHolding("lock\n")},
        {"a mark with more text", "plenwick-" + Uuid::random().value(), markHolding(text + "x")},
        {"a mark cut short", "plenwick-stdin-Short1", markHolding(text.substr(1))},
        {"an empty mark, as on a full disk", "plenwick-stdin-Empty1", markHolding("")},
        {"a mark that is a link to a share's", "plenwick-" + Uuid::random().value(),
         [&](const fs::path& folder) {
             userFiles(folder);
             fs::create_symlink(dead / mark, folder / mark);
         }},
        {"a mark that is a folder", "plenwick-" + Uuid::random().value(),
         [&](const fs::path& folder) {
             userFiles(folder);
             fs::create_directory(folder / mark);
         }},
        {"a mark that is a FIFO", "plenwick-" + Uuid::random().value(),
         [&](const fs::path& folder) {
             userFiles(folder);
             ASSERT_EQ(::mkfifo((folder / mark).c_str(), 0600), 0);
         }},
        {"a mark of another user", "plenwick-" + Uuid::random().value(),
         [&](const fs::path& folder) {
             copy(folder);
             chownTo(folder / mark, 4242);
         }},
        // A share's folder, all but one condition of a leftover met.
        {"a folder of another user", "plenwick-" + Uuid::random().value(),
         [&](const fs::path& folder) {
             copy(folder);
             chownTo(folder, 4242);
         }},
        {"a mark whose lock is held", "plenwick-" + Uuid::random().value(),
         [&](const fs::path& folder) {
             copy(folder);
             FileDescriptor lock(::open((folder / mark).c_str(), O_RDONLY | O_CLOEXEC));
             ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
             locks.push_back(std::move(lock));
         }},
        {"a link to a share's folder", "plenwick-" + Uuid::random().value(),
         [&](const fs::path& folder) {
             copy(outside / "linked");
             test::makeOld(outside / "linked");
             fs::create_directory_symlink(outside / "linked", folder);
         }},
        {"a file", "plenwick-" + Uuid::random().value(),
         [](const fs::path& file) { std::ofstream(file) << "a file"; }},
        {"a share's folder on a file system of its own", "plenwick-" + Uuid::random().value(),
         [&](const fs::path& folder) {
             fs::create_directory(folder);
             mounts.push_back(test::ScopedMount::tmpfs(folder, 1 << 20));
             for (const auto& entry : fs::directory_iterator(dead))
                 fs::copy(entry.path(), folder / entry.path().filename());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.make(parent / c.name);
        test::makeOld(parent / c.name);
    }
    // A live share's folder, and a dead one's that was made a moment ago.
    auto live = TemporaryFolder::createStaging(parent.path(), Staging::share);
    ASSERT_TRUE(live) << live.error().message;
    test::makeOld(live.value().path());
    copy(parent / ("plenwick-" + Uuid::random().value()));
    const auto before = treeOf(parent.path());
    const auto outsideBefore = treeOf(outside.path());
    // And one that is a dead share's, to show that the others stay for their own reasons.
    const fs::path removable = parent / ("plenwick-" + Uuid::random().value());
    copy(removable);
    test::makeOld(removable);

    EXPECT_EQ(TemporaryFolder::removeLeftovers(parent.path()), 1u);

    EXPECT_FALSE(fs::exists(removable));
    EXPECT_EQ(treeOf(parent.path()), before);
    EXPECT_EQ(treeOf(outside.path()), outsideBefore);
    for (const auto& c : cases)
        EXPECT_TRUE(fs::exists(fs::symlink_status(parent / c.name))) << c.what;
}

} // namespace
