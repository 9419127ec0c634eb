#include "ChildProcess.hpp"
#include "FifoWriter.hpp"
#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/FileStaging.hpp"
#include "ScopedMount.hpp"
#include "TestSupport.hpp"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>

#include <gtest/gtest.h>

using namespace plenwick;
using namespace std::chrono_literals;
using Method = FileStaging::Method;
using Clock = std::chrono::steady_clock;

namespace {

ino_t inodeOf(const std::filesystem::path& file) {
    struct stat status {};
    EXPECT_EQ(::stat(file.c_str(), &status), 0) << file;
    return status.st_ino;
}

// A btrfs of its own at `folder`, made in an image file beside it.
test::ScopedMount btrfsAt(const std::filesystem::path& folder) {
    const std::filesystem::path image = folder.string() + ".img";
    std::filesystem::create_directories(folder);
    std::ofstream(image).close();
    // Sparse: the file system takes only the blocks it writes.
    std::filesystem::resize_file(image, 128 << 20);
    auto made = test::ChildProcess({{"/usr/sbin/mkfs.btrfs", "-q", image.string()}, {}}).wait();
    if (made.status != 0)
        throw std::runtime_error("mkfs.btrfs failed (is btrfs-progs installed?): " +
                                 made.standardError);
    return test::ScopedMount::image(image, folder, "btrfs");
}

// Stages in a child whose descriptor limit leaves no room to keep one more open for the share,
// so that a file on another file system can only be copied; the method comes back as the exit
// status.
Expected<Method, std::string> stageWithFewDescriptors(const std::filesystem::path& original,
                                                      const std::filesystem::path& staged) {
    pid_t child = ::fork();
    if (child < 0)
        return std::string("fork failed");
    if (child == 0) {
        rlimit few{64, 64};
        if (::setrlimit(RLIMIT_NOFILE, &few) != 0)
            _exit(100);
        auto result = FileStaging::stage(original, staged);
        if (!result) {
            std::fprintf(stderr, "staging failed: %s\n", result.error().message.c_str());
            _exit(101);
        }
        _exit(static_cast<int>(result.value().method));
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) >= 100)
        return "the staging child failed with status " + std::to_string(status);
    return static_cast<Method>(WEXITSTATUS(status));
}

// Whatever happens to the original once it is staged, the staged name reads the bytes it had.
TEST(FileStaging, StagedFilesOutliveTheirOriginals) {
    test::TemporaryFolder folder;
    std::filesystem::create_directories(folder / "photos");
    std::filesystem::create_directories(folder / "other-disk");
    auto otherDisk = test::ScopedMount::tmpfs(folder / "other-disk", 1 << 20);
    // The same btrfs at a second mount: no hard link reaches across, a reflink does.
    auto btrfs = btrfsAt(folder / "btrfs");
    std::filesystem::create_directories(folder / "btrfs" / "photos");
    std::filesystem::create_directories(folder / "btrfs-again");
    auto btrfsAgain = test::ScopedMount::bind(folder / "btrfs", folder / "btrfs-again");

    const struct {
        const char* what;
        std::filesystem::path photos;
        std::filesystem::path staging;
        Method method;
        // Stages in a child with few descriptors left.
        bool fewDescriptors;
    } cases[] = {
        {"same file system", folder / "photos", folder / "staging", Method::hardLink, false},
        {"another file system", folder / "photos", folder / "other-disk" / "staging",
         Method::reference, false},
        {"another mount of a btrfs", folder / "btrfs" / "photos",
         folder / "btrfs-again" / "staging", Method::reflink, false},
        {"another file system, no descriptor to spare", folder / "photos",
         folder / "other-disk" / "copies", Method::copy, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::create_directories(c.staging);
        // Larger than btrfs keeps inline in its metadata, so that a reflink shares extents.
        std::string bytes = std::string("photo bytes for ") + c.what;
        bytes.resize(64 * 1024, 'p');
        for (const char* fate : {"renamed", "deleted", "replaced"}) {
            SCOPED_TRACE(fate);
            std::filesystem::path original = c.photos / (std::string(fate) + ".jpg");
            std::ofstream(original, std::ios::binary) << bytes;
            std::filesystem::path staged = c.staging / (std::string(fate) + ".jpg");

            // A reference reads through the descriptor it holds, so it is kept to the end.
            FileStaging::Staged staging;
            if (c.fewDescriptors) {
                auto method = stageWithFewDescriptors(original, staged);
                ASSERT_TRUE(method) << method.error();
                staging.method = method.value();
            } else {
                auto result = FileStaging::stage(original, staged);
                ASSERT_TRUE(result) << result.error().message;
                staging = result.value();
            }
            EXPECT_EQ(staging.method, c.method);
            EXPECT_EQ(static_cast<bool>(staging.reference), c.method == Method::reference);
            // Only a hard link and a reference reach the original's own inode.
            EXPECT_EQ(inodeOf(staged) == inodeOf(original),
                      c.method == Method::hardLink || c.method == Method::reference);

            if (std::string(fate) == "renamed") {
                std::filesystem::rename(original, c.photos / "elsewhere.jpg");
            } else if (std::string(fate) == "deleted") {
                std::filesystem::remove(original);
            } else {
                // As editors save: a new file renamed over the old name.
                std::ofstream(original.string() + ".new") << "other bytes";
                std::filesystem::rename(original.string() + ".new", original);
            }
            EXPECT_TRUE(test::readFile(staged) == bytes) << staged;
            std::filesystem::remove(c.photos / "elsewhere.jpg");
        }
    }
}

TEST(FileStaging, FailuresNameTheSystemsReason) {
    test::TemporaryFolder folder;
    std::ofstream(folder / "a.jpg") << "bytes";
    std::ofstream(folder / "taken.jpg") << "earlier";
    const struct {
        std::filesystem::path source;
        std::filesystem::path destination;
        const char* reason;
    } cases[] = {
        {folder / "missing.jpg", folder / "x.jpg", "No such file or directory"},
        {folder.path(), folder / "y.jpg", "Is a directory"},
        {folder / "a.jpg", folder / "taken.jpg", "File exists"},
        {folder / "a.jpg", folder / "no-folder" / "a.jpg", "No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.destination);
        auto result = FileStaging::stage(c.source, c.destination);
        EXPECT_FALSE(result);
        EXPECT_EQ(result ? std::string() : result.error().message, c.reason);
    }
    EXPECT_EQ(test::readFile(folder / "taken.jpg"), "earlier");
}

// Stages on a thread of its own for at most ten seconds. A staging still waiting then on a FIFO
// is let go (by `release`, or else by a writer that opens and closes it), so that the test fails
// instead of hanging.
Expected<FileStaging::Staged, SystemError> stageWithin(const std::filesystem::path& source,
                                                       const std::filesystem::path& destination,
                                                       std::stop_token stop = {},
                                                       std::function<void()> release = {}) {
    auto staging = std::async(std::launch::async,
                              [&] { return FileStaging::stage(source, destination, stop); });
    if (staging.wait_for(10s) != std::future_status::ready) {
        ADD_FAILURE() << source << " is still being staged after ten seconds";
        if (release)
            release();
        else
            FileDescriptor writer(::open(source.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    }
    return staging.get();
}

// What a source kind needs while it is staged: the program writing into a FIFO, a listening
// socket.
struct Source {
    std::filesystem::path path;
    std::shared_ptr<void> keep = nullptr;
};

struct KindCase {
    const char* what;
    std::function<Source(const std::filesystem::path& name)> make;
    // How it is staged and the bytes it then has, or else why not.
    std::optional<Method> method;
    std::string bytesOrReason;
};

TEST(FileStaging, StagesFilesAndPipesAndRefusesEveryOtherKindUnread) {
    test::TemporaryFolder folder;
    // A small disk for the staged names: a device read without end fills this one only.
    std::filesystem::create_directories(folder / "staging");
    auto disk = test::ScopedMount::tmpfs(folder / "staging", 1 << 20);
    const std::string photo = test::readFile(test::fixtures() / "orientation/Landscape_1.jpg");
    ASSERT_FALSE(photo.empty());
    const std::string piped = "image bytes from a pipe";

    const KindCase cases[] = {
        {"a regular file",
         [&](const std::filesystem::path& name) {
             std::ofstream(name, std::ios::binary) << photo;
             return Source{name};
         },
         Method::reference, photo},
        {"a FIFO whose writer writes a photo",
         [&](const std::filesystem::path& name) {
             EXPECT_EQ(::mkfifo(name.c_str(), 0600), 0);
             return Source{name, std::make_shared<test::FifoWriter>(name, photo,
                                                                    test::FifoWriter::End::close)};
         },
         Method::copy, photo},
        {"a pipe by its /proc/self/fd name, as <(…) gives it",
         [&](const std::filesystem::path&) {
             int ends[2];
             EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
             EXPECT_EQ(::write(ends[1], piped.data(), piped.size()),
                       static_cast<ssize_t>(piped.size()));
             ::close(ends[1]);
             auto readEnd = std::make_shared<FileDescriptor>(ends[0]);
             return Source{"/proc/self/fd/" + std::to_string(ends[0]), readEnd};
         },
         Method::copy, piped},
        {"a FIFO nothing writes to",
         [](const std::filesystem::path& name) {
             EXPECT_EQ(::mkfifo(name.c_str(), 0600), 0);
             return Source{name};
         },
         std::nullopt, "a pipe that nothing writes to"},
        {"a symbolic link to /dev/zero",
         [](const std::filesystem::path& name) {
             std::filesystem::create_symlink("/dev/zero", name);
             return Source{name};
         },
         std::nullopt, "a character device, not a file"},
        {"a character device", [](const std::filesystem::path&) { return Source{"/dev/null"}; },
         std::nullopt, "a character device, not a file"},
        {"a block device",
         [](const std::filesystem::path& name) {
             EXPECT_EQ(::mknod(name.c_str(), S_IFBLK | 0600, makedev(7, 0)), 0)
                 << "making a block device needs root";
             return Source{name};
         },
         std::nullopt, "a block device, not a file"},
        {"a socket",
         [](const std::filesystem::path& name) {
             auto socket =
                 std::make_shared<FileDescriptor>(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             name.string().copy(address.sun_path, sizeof address.sun_path - 1);
             EXPECT_EQ(
                 ::bind(socket->get(), reinterpret_cast<const sockaddr*>(&address), sizeof address),
                 0);
             EXPECT_EQ(::listen(socket->get(), 1), 0);
             return Source{name, socket};
         },
         std::nullopt, "a socket, not a file"},
        {"a folder",
         [](const std::filesystem::path& name) {
             std::filesystem::create_directory(name);
             return Source{name};
         },
         std::nullopt, "Is a directory"},
    };
    int index = 0;
    for (const KindCase& c : cases) {
        SCOPED_TRACE(c.what);
        Source source = c.make(folder / ("photo" + std::to_string(index) + ".jpg"));
        std::filesystem::path staged =
            folder / "staging" / ("photo" + std::to_string(index++) + ".jpg");

        auto started = Clock::now();
        auto result = stageWithin(source.path, staged);
        auto took = Clock::now() - started;

        // Nothing handed over makes the staging wait: a FIFO without a writer is given a moment.
        EXPECT_LT(took, 1s);
        if (c.method) {
            ASSERT_TRUE(result) << result.error().message;
            EXPECT_EQ(result.value().method, *c.method);
            EXPECT_EQ(test::readFile(staged), c.bytesOrReason);
        } else {
            EXPECT_FALSE(result);
            EXPECT_EQ(result ? std::string() : result.error().message, c.bytesOrReason);
            EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(staged)));
        }
    }
}

TEST(FileStaging, AStopEndsTheCopyOfAPipeAtOnce) {
    test::TemporaryFolder folder;
    // Room for less than the bound, so that a copy that misses the stop ends anyway.
    std::filesystem::create_directories(folder / "staging");
    auto disk = test::ScopedMount::tmpfs(folder / "staging", uint64_t{1} << 30);
    const test::FifoWriter::End ends[] = {test::FifoWriter::End::hold,
                                          test::FifoWriter::End::endless};
    for (test::FifoWriter::End end : ends) {
        SCOPED_TRACE(end == test::FifoWriter::End::hold ? "a writer that says nothing"
                                                        : "a writer that never ends");
        const std::string name = "photo" + std::to_string(static_cast<int>(end)) + ".jpg";
        std::filesystem::path fifo = folder / name;
        std::filesystem::path staged = folder / "staging" / name;
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        test::FifoWriter writer(fifo, "\x89PNG\r\n\x1a\n", end);
        std::stop_source stop;
        Clock::time_point requested;
        std::jthread stopper([&] {
            while (!writer.opened())
                std::this_thread::sleep_for(1ms);
            std::this_thread::sleep_for(100ms);
            requested = Clock::now();
            stop.request_stop();
        });

        auto result = stageWithin(fifo, staged, stop.get_token(), [&] { writer.finish(); });
        auto returned = Clock::now();
        stopper.join();

        EXPECT_LT(returned - requested, 1s);
        EXPECT_FALSE(result);
        EXPECT_EQ(result ? std::string() : result.error().message, "Operation canceled");
        EXPECT_FALSE(std::filesystem::exists(staged));
        writer.finish();
        EXPECT_LT(writer.written(), int64_t{1} << 30);
    }
}

} // namespace
