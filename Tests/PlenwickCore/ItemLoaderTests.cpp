#include "CommandLineItem.hpp"
#include "FifoWriter.hpp"
#include "PlatformServices/FileURL.hpp"
#include "PlatformServices/LogCapture.hpp"
#include "PlenwickCore/ItemLoader.hpp"
#include "ScopedEnvironment.hpp"
#include "TestSupport.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <linux/capability.h>
#include <new>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace plenwick;
using namespace std::string_literals;
using namespace std::chrono_literals;

namespace {

// Set on a thread, the next allocation of that thread fails as if memory had run out.
thread_local bool failNextAllocation = false;

} // namespace

void* operator new(std::size_t size) {
    if (failNextAllocation) {
        failNextAllocation = false;
        throw std::bad_alloc();
    }
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size ? size : 1);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

namespace {

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

const std::string jpegBytes = "\xFF\xD8\xFF\xE0\0\x10JFIF\0"s;

// How a scripted provider answers.
enum class Delivery {
    otherThread,
    callingThread, // inside the request, before it returns
    late,          // from another thread, after a while
    twice,         // calls its callback a second time
    dropped,       // lets go of the callback without calling it
    never,         // keeps the callback without calling it, as long as the provider lives
    outOfMemory,   // from another thread, which runs out of memory once the callback runs
};

struct Script {
    std::vector<std::string> types = {};
    std::optional<std::string> name = std::nullopt;
    // The file URL item; "$F" stands for the folder of source files.
    ItemProvider::Item fileURL = std::monostate{};
    std::optional<std::string> fileURLError = std::nullopt;
    // The name of the delivered temporary file; nothing delivers no file.
    std::optional<std::string> temporaryName = "delivered.tmp";
    std::optional<std::string> representationError = std::nullopt;
    Delivery delivery = Delivery::otherThread;
};

// Requests of all providers that have started and not yet called back.
std::atomic<int> outstanding{0};
std::atomic<int> mostOutstanding{0};

// A provider that answers as its script says, recording what it was asked.
class ScriptedProvider final : public ItemProvider {
public:
    ScriptedProvider(Script script, std::filesystem::path sources, std::filesystem::path scratch)
        : m_script(std::move(script)), m_scratch(std::move(scratch)) {
        auto expand = [&](std::string url) {
            if (size_t at = url.find("$F"); at != std::string::npos)
                url.replace(at, 2, sources.string());
            return url;
        };
        if (auto* url = std::get_if<std::string>(&m_script.fileURL))
            *url = expand(*url);
        if (auto* bytes = std::get_if<std::vector<uint8_t>>(&m_script.fileURL)) {
            std::string url = expand(std::string(bytes->begin(), bytes->end()));
            *bytes = std::vector<uint8_t>(url.begin(), url.end());
        }
    }

    std::vector<std::string> registeredTypeIdentifiers() const override { return m_script.types; }
    std::optional<std::string> suggestedName() const override { return m_script.name; }

    void loadFileURLItem(ItemCallback callback) override {
        requests.push_back("file URL");
        deliver([callback, item = m_script.fileURL, error = m_script.fileURLError,
                 starve = m_script.delivery == Delivery::outOfMemory] {
            ItemProvider::Item delivered = item;
            std::optional<std::string> reason = error;
            failNextAllocation = starve;
            callback(std::move(delivered), std::move(reason));
        });
    }

    void loadFileRepresentation(const std::string& type, FileCallback callback) override {
        requests.push_back("representation " + type);
        std::optional<std::filesystem::path> file;
        if (m_script.temporaryName) {
            std::filesystem::path folder = m_scratch / std::to_string(m_counter++);
            std::filesystem::create_directories(folder);
            file = folder / *m_script.temporaryName;
            temporaryFiles.push_back(*file);
        }
        deliver([callback, file, error = m_script.representationError,
                 starve = m_script.delivery == Delivery::outOfMemory] {
            // Like the platform's, the temporary file lives only while the callback runs.
            if (file && file->has_filename() && !std::filesystem::exists(*file))
                writeFile(*file, "representation bytes");
            std::optional<std::filesystem::path> delivered = file;
            std::optional<std::string> reason = error;
            failNextAllocation = starve;
            callback(std::move(delivered), std::move(reason));
            std::error_code ignored;
            if (file && file->has_filename() && file->filename() != "..")
                std::filesystem::remove(*file, ignored);
        });
    }

    std::vector<std::string> requests;
    std::vector<std::filesystem::path> temporaryFiles;
    // How many callbacks it keeps without calling them.
    std::atomic<int> kept{0};
    // Lets go of the callbacks it keeps, which then answer as not delivered.
    void release() { m_kept.clear(); }

private:
    void deliver(std::function<void()> work) {
        int now = ++outstanding;
        for (int most = mostOutstanding;
             now > most && !mostOutstanding.compare_exchange_weak(most, now);)
            ;
        // A request is outstanding until its callback is called.
        auto answer = [work] {
            --outstanding;
            work();
        };
        switch (m_script.delivery) {
        case Delivery::callingThread:
            answer();
            break;
        case Delivery::otherThread:
            m_threads.emplace_back(answer);
            break;
        case Delivery::late:
            m_threads.emplace_back([answer] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                answer();
            });
            break;
        case Delivery::twice:
            m_threads.emplace_back([answer, work] {
                answer();
                work();
            });
            break;
        case Delivery::dropped:
            m_threads.emplace_back([answer = std::move(answer)] { --outstanding; });
            break;
        case Delivery::never:
            m_kept.push_back(std::move(answer));
            ++kept;
            break;
        case Delivery::outOfMemory:
            // As every provider of the host delivers: what the delivery throws ends its thread.
            m_threads.push_back(startDelivery(answer));
            break;
        }
    }

    Script m_script;
    std::filesystem::path m_scratch;
    int m_counter = 0;
    std::vector<std::function<void()>> m_kept;
    std::vector<std::jthread> m_threads;
};

// A folder of source files for file URLs, a scratch folder for deliveries, and the staging
// folder, which the loader has to create itself.
class LoaderFolders {
public:
    LoaderFolders() {
        std::filesystem::create_directories(sources());
        writeFile(sources() / "photo.jpg", jpegBytes + "photo");
        writeFile(sources() / "raw.jpg", "\x01\x02\x03\0\x04"s);
        writeFile(sources() / "document.pdf", "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n"s);
        writeFile(sources() / "notes.txt", "shopping list\n");
        outstanding = 0;
        mostOutstanding = 0;
    }

    std::filesystem::path sources() const { return m_root / "sources"; }
    std::filesystem::path scratch() const { return m_root / "scratch"; }
    std::filesystem::path staging() const { return m_root / "staging"; }

    // Each provider delivers into a scratch folder of its own, as the platform's temporary files
    // are unique: a delivery thread still removing its file must not take the next provider's.
    std::shared_ptr<ScriptedProvider> provider(Script script) {
        return std::make_shared<ScriptedProvider>(std::move(script), sources(),
                                                  scratch() / std::to_string(m_providers++));
    }

    // "$S" stands for the staging folder, "$F" for the source files.
    std::string expand(std::string text) const {
        for (auto [mark, path] : {std::pair{"$S", staging()}, std::pair{"$F", sources()}})
            for (size_t at; (at = text.find(mark)) != std::string::npos;)
                text.replace(at, 2, path.string());
        return text;
    }

private:
    int m_providers = 0;
    test::TemporaryFolder m_root;
};

struct LoadCase {
    const char* what;
    std::vector<Script> providers;
    std::vector<std::string> files;
    int64_t skipped;
    std::vector<std::string> notes;
};

TEST(ItemLoader, StagesEachProviderInItsOwnFolderAndNotesEveryProblem) {
    const std::string fileURL = "file://$F/photo.jpg";
    const LoadCase cases[] = {
        {"no providers", {}, {}, 0, {}},
        {"a HEIC gets its type's extension",
         {{.types = {"public.heic"}, .name = "IMG_0001"}},
         {"item_0/IMG_0001.heic"},
         0,
         {}},
        {"an existing extension stays, in its case",
         {{.types = {"public.heic"}, .name = "IMG_0001.HEIC"}},
         {"item_0/IMG_0001.HEIC"},
         0,
         {}},
        {"an extension that does not match the type stays",
         {{.types = {"public.jpeg"}, .name = "photo.png"}},
         {"item_0/photo.png"},
         0,
         {}},
        {"no name and no file URL: the temporary file's name",
         {{.types = {"public.png"}}, {.types = {"public.png"}, .name = ""}},
         {"item_0/delivered.tmp", "item_1/delivered.tmp"},
         0,
         {}},
        {"no name: the file URL's last path component, from the JPEG representation",
         {{.types = {"public.file-url", "public.jpeg"}, .fileURL = fileURL}},
         {"item_0/photo.jpg"},
         0,
         {}},
        {"same names in different item folders",
         {{.types = {"public.jpeg"}, .name = "photo.jpg"},
          {.types = {"public.jpeg"}, .name = "photo.jpg"}},
         {"item_0/photo.jpg", "item_1/photo.jpg"},
         0,
         {}},
        {"identifiers outside the table are passed over",
         {{.types = {"com.example.raw", "public.png"}, .name = "shot"}},
         {"item_0/shot.png"},
         0,
         {}},
        {"the abstract image type takes the temporary file's extension",
         {{.types = {"public.image"}, .name = "shot", .temporaryName = "delivered.tif"}},
         {"item_0/shot.tif"},
         0,
         {}},
        {"no extension anywhere leaves a trailing dot",
         {{.types = {"public.image"}, .name = "shot", .temporaryName = "delivered"}},
         {"item_0/shot."},
         0,
         {}},
        {"plain text only",
         {{.types = {"public.plain-text"}}},
         {},
         1,
         {R"(item 0: no image or file URL among ["public.plain-text"])"}},
        {"no types at all", {{.types = {}}}, {}, 1, {"item 0: no image or file URL among []"}},
        {"a file URL to a PDF and one to text",
         {{.types = {"public.file-url"}, .fileURL = "file://$F/document.pdf"},
          {.types = {"public.file-url"}, .fileURL = "file://$F/notes.txt"}},
         {},
         2,
         {"item 0: file-url document.pdf is not an image",
          "item 1: file-url notes.txt is not an image"}},
        {"a file URL whose bytes say nothing is judged by its extension",
         {{.types = {"public.file-url"}, .fileURL = "file://$F/raw.jpg"}},
         {"item_0/raw.jpg"},
         0,
         {}},
        {"a file URL as the bytes of its data representation",
         {{.types = {"public.file-url"},
           .fileURL = std::vector<uint8_t>(fileURL.begin(), fileURL.end())}},
         {"item_0/photo.jpg"},
         0,
         {}},
        {"a failed image representation falls back to the file URL",
         {{.types = {"public.jpeg", "public.file-url"},
           .name = "photo.jpg",
           .fileURL = fileURL,
           .temporaryName = std::nullopt,
           .representationError = "disk on fire"}},
         {"item_0/photo.jpg"},
         0,
         {"item 0: loadFileRepresentation(public.jpeg) failed: disk on fire"}},
        {"the second of three fails",
         {{.types = {"public.jpeg"}, .name = "a.jpg"},
          {.types = {"public.jpeg"}, .temporaryName = std::nullopt, .representationError = "gone"},
          {.types = {"public.png"}, .name = "c.png"}},
         {"item_0/a.jpg", "item_2/c.png"},
         1,
         {"item 1: loadFileRepresentation(public.jpeg) failed: gone"}},
        {"neither a file nor an error",
         {{.types = {"public.jpeg"}, .temporaryName = std::nullopt}},
         {},
         1,
         {"item 0: loadFileRepresentation(public.jpeg) failed: nil url"}},
        {"the file URL item fails, with and without a reason",
         {{.types = {"public.file-url"}, .fileURLError = "the share was withdrawn"},
          {.types = {"public.file-url"}},
          {.types = {"public.file-url"}, .fileURL = std::vector<uint8_t>{0xFF, 0xFE}}},
         {},
         3,
         {"item 0: file-url item failed: the share was withdrawn",
          "item 1: file-url item failed: no url", "item 2: file-url item failed: no url"}},
        {"a file URL to a missing file",
         {{.types = {"public.file-url"}, .fileURL = "file://$F/gone.jpg"}},
         {},
         1,
         {"item 0: copy of file-url $F/gone.jpg failed: No such file or directory"}},
        {"a URL that is no local file",
         {{.types = {"public.file-url"}, .fileURL = "https://example.com/albums/a%20b.jpg?x=1"}},
         {},
         1,
         {"item 0: copy of file-url /albums/a b.jpg failed: not a file on this computer"}},
        {"a callback inside the request",
         {{.types = {"public.jpeg"}, .name = "now", .delivery = Delivery::callingThread}},
         {"item_0/now.jpeg"},
         0,
         {}},
        {"a late callback",
         {{.types = {"public.jpeg"}, .name = "late", .delivery = Delivery::late}},
         {"item_0/late.jpeg"},
         0,
         {}},
        {"a second callback is ignored",
         {{.types = {"public.jpeg"}, .name = "twice", .delivery = Delivery::twice},
          {.types = {"public.file-url"}, .fileURL = fileURL, .delivery = Delivery::twice}},
         {"item_0/twice.jpeg", "item_1/photo.jpg"},
         0,
         {}},
        {"a callback that is never called",
         {{.types = {"public.jpeg", "public.file-url"},
           .fileURL = fileURL,
           .delivery = Delivery::dropped}},
         {},
         1,
         {"item 0: loadFileRepresentation(public.jpeg) failed: nil url",
          "item 0: file-url item failed: no url"}},
        {"deliveries that run out of memory fail their own item only",
         {{.types = {"public.jpeg"}, .name = "a", .delivery = Delivery::outOfMemory},
          {.types = {"public.file-url"}, .fileURL = fileURL, .delivery = Delivery::outOfMemory},
          {.types = {"public.png"}, .name = "c"}},
         {"item_2/c.png"},
         2,
         {"item 0: loadFileRepresentation(public.jpeg) failed: std::bad_alloc",
          "item 1: file-url item failed: std::bad_alloc"}},
        {"the name request runs out of memory too",
         {{.types = {"public.file-url", "public.jpeg"},
           .fileURL = fileURL,
           .delivery = Delivery::outOfMemory},
          {.types = {"public.png"}, .name = "b"}},
         {"item_1/b.png"},
         1,
         {"item 0: loadFileRepresentation(public.jpeg) failed: std::bad_alloc",
          "item 0: file-url item failed: std::bad_alloc"}},
    };
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.what);
        LoaderFolders folders;
        std::vector<std::shared_ptr<ItemProvider>> providers;
        std::vector<std::shared_ptr<ScriptedProvider>> scripted;
        for (const Script& script : c.providers)
            providers.push_back(scripted.emplace_back(folders.provider(script)));

        ItemLoader::Result result = ItemLoader::load(providers, folders.staging());

        ItemLoader::Result expected;
        for (const std::string& file : c.files)
            expected.files.push_back(folders.staging() / file);
        expected.skipped = c.skipped;
        for (const std::string& note : c.notes)
            expected.notes.push_back(folders.expand(note));
        EXPECT_EQ(result, expected);
        EXPECT_LE(mostOutstanding.load(), 1);
        for (const auto& file : result.files)
            EXPECT_TRUE(std::filesystem::is_regular_file(file)) << file;
        // An item folder exists only where a file was copied or a copy was tried.
        for (size_t i = 0; i < c.providers.size(); ++i) {
            std::string index = std::to_string(i);
            bool copied = std::any_of(c.files.begin(), c.files.end(), [&](const std::string& f) {
                return f.starts_with("item_" + index + "/");
            });
            bool tried = std::any_of(c.notes.begin(), c.notes.end(), [&](const std::string& n) {
                return n.starts_with("item " + index + ": copy of");
            });
            EXPECT_EQ(std::filesystem::exists(folders.staging() / ("item_" + index)),
                      copied || tried)
                << index;
        }
        if (c.files.empty() && c.notes.empty()) {
            EXPECT_FALSE(std::filesystem::exists(folders.staging()));
        }
        std::vector<std::filesystem::path> delivered;
        for (const auto& provider : scripted)
            delivered.insert(delivered.end(), provider->temporaryFiles.begin(),
                             provider->temporaryFiles.end());
        providers.clear();
        scripted.clear();
        for (const auto& file : delivered)
            EXPECT_FALSE(std::filesystem::exists(file)) << file;
    }
}

// A share whose load waits on something that does not come: the wait, and the thing that lets
// it go when a stop does not.
struct Waiting {
    std::shared_ptr<ItemProvider> provider;
    std::function<bool()> waits;
    std::function<void()> release;
};

struct StopCase {
    const char* what;
    std::function<Waiting(LoaderFolders&)> make;
};

TEST(ItemLoader, AStopEndsTheLoadWhateverItWaitsOn) {
    const StopCase cases[] = {
        {"a provider that never answers",
         [](LoaderFolders& folders) {
             auto provider = folders.provider(
                 {.types = {"public.jpeg"}, .name = "never", .delivery = Delivery::never});
             return Waiting{provider, [provider] { return provider->kept > 0; },
                            [provider] { provider->release(); }};
         }},
        {"a provider that never answers the request for the name",
         [](LoaderFolders& folders) {
             auto provider = folders.provider({.types = {"public.file-url", "public.jpeg"},
                                               .fileURL = "file://$F/photo.jpg",
                                               .delivery = Delivery::never});
             return Waiting{provider, [provider] { return provider->kept > 0; },
                            [provider] { provider->release(); }};
         }},
        {"a FIFO whose writer says nothing",
         [](LoaderFolders& folders) {
             std::filesystem::path fifo = folders.sources() / "photo from a pipe.jpg";
             EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
             auto writer = std::make_shared<test::FifoWriter>(fifo, "\xFF\xD8\xFF",
                                                              test::FifoWriter::End::hold);
             return Waiting{CommandLineItem::provider(fifo.string()),
                            [writer] { return writer->opened(); }, [writer] { writer->finish(); }};
         }},
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.what);
        LoaderFolders folders;
        auto before = folders.provider({.types = {"public.jpeg"}, .name = "before"});
        Waiting waiting = c.make(folders);
        auto after = folders.provider({.types = {"public.jpeg"}, .name = "after"});
        std::stop_source stop;

        auto loading = std::async(std::launch::async, [&] {
            return ItemLoader::load({before, waiting.provider, after}, folders.staging(),
                                    stop.get_token());
        });
        while (!waiting.waits() && loading.wait_for(1ms) != std::future_status::ready) {
        }
        auto requested = std::chrono::steady_clock::now();
        stop.request_stop();
        bool ended = loading.wait_for(10s) == std::future_status::ready;
        auto took = std::chrono::steady_clock::now() - requested;
        if (!ended) {
            ADD_FAILURE() << "the load still waits ten seconds after the stop";
            waiting.release();
        }
        ItemLoader::Result result = loading.get();

        EXPECT_LT(took, 1s);
        // What was staged before the stop is kept; nothing more is asked for after it.
        EXPECT_EQ(result.files,
                  std::vector<std::filesystem::path>{folders.staging() / "item_0/before.jpeg"});
        EXPECT_EQ(result.skipped, 0);
        EXPECT_TRUE(after->requests.empty());
        waiting.release();
    }
}

TEST(ItemLoader, StagesTheRepresentationsBytesAndAsksForTheNameBeforeTheRepresentation) {
    LoaderFolders folders;
    auto provider = folders.provider(
        {.types = {"public.file-url", "public.jpeg"}, .fileURL = "file://$F/photo.jpg"});
    auto failing = folders.provider({.types = {"public.jpeg", "public.file-url"},
                                     .fileURL = "file://$F/photo.jpg",
                                     .temporaryName = std::nullopt});
    auto result = ItemLoader::load({provider, failing}, folders.staging());

    ASSERT_EQ(result.files.size(), 2u);
    EXPECT_EQ(test::readFile(result.files[0]), "representation bytes");
    EXPECT_EQ(provider->requests,
              (std::vector<std::string>{"file URL", "representation public.jpeg"}));
    EXPECT_EQ(test::readFile(result.files[1]), jpegBytes + "photo");
    EXPECT_EQ(failing->requests,
              (std::vector<std::string>{"file URL", "representation public.jpeg", "file URL"}));
}

TEST(ItemLoader, LogsFailuresAsErrorsAndSkipsAsInfoWithoutThePrefix) {
    LoaderFolders folders;
    Log::Capture capture;
    ItemLoader::load(
        {folders.provider({.types = {"public.jpeg"},
                           .temporaryName = std::nullopt,
                           .representationError = "gone"}),
         folders.provider({.types = {"public.file-url"}, .fileURL = "file://$F/notes.txt"}),
         folders.provider({.types = {"public.plain-text", "say \"hi\"\n"}}),
         folders.provider({.types = {"public.png"}})},
        folders.staging());

    std::vector<LogRecord> expected = {
        {"com.brindlemoor.plenwick", "loader", LogLevel::error,
         "loadFileRepresentation(public.jpeg) failed: gone"},
        {"com.brindlemoor.plenwick", "loader", LogLevel::info,
         R"(skipping item 0: ["public.jpeg"])"},
        {"com.brindlemoor.plenwick", "loader", LogLevel::info,
         "file-url notes.txt is not an image"},
        {"com.brindlemoor.plenwick", "loader", LogLevel::info,
         R"(skipping item 1: ["public.file-url"])"},
        {"com.brindlemoor.plenwick", "loader", LogLevel::info,
         R"(skipping item 2: ["public.plain-text", "say \"hi\"\n"])"},
    };
    EXPECT_EQ(capture.records(), expected);
}

TEST(ItemLoader, KeepsEverySuggestedNameInsideItsItemFolder) {
    struct NameCase {
        std::optional<std::string> name;
        std::string temporaryName;
        std::string staged;
    };
    const NameCase cases[] = {
        {"../../escape.jpg", "delivered.tmp", "item_0/.._.._escape.jpg"},
        {"albums/2024/beach", "delivered.tmp", "item_0/albums_2024_beach.jpeg"},
        {"2024.06/beach", "delivered.tmp", "item_0/2024.06_beach.jpeg"},
        {"holiday.2024/", "delivered.tmp", "item_0/holiday.2024_.jpeg"},
        {"/", "delivered.tmp", "item_0/_.jpeg"},
        {".", "delivered.tmp", "item_0/delivered.tmp"},
        {"..", "delivered.tmp", "item_0/delivered.tmp"},
        {"nul\0byte"s, "delivered.tmp", "item_0/nul_byte.jpeg"},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.staged);
        LoaderFolders folders;
        auto result = ItemLoader::load(
            {folders.provider(
                {.types = {"public.jpeg"}, .name = c.name, .temporaryName = c.temporaryName})},
            folders.staging());
        EXPECT_EQ(result.files, std::vector<std::filesystem::path>{folders.staging() / c.staged});
        EXPECT_TRUE(result.notes.empty());
    }

    // A delivered file named ".." is the delivery's folder: the name falls back to "image.".
    LoaderFolders folders;
    auto result = ItemLoader::load(
        {folders.provider({.types = {"public.jpeg"}, .name = "..", .temporaryName = ".."})},
        folders.staging());
    ASSERT_EQ(result.notes.size(), 1u);
    std::string prefix = "item 0: copy of public.jpeg representation to " +
                         (folders.staging() / "item_0" / "image.jpeg").string() + " failed: ";
    EXPECT_EQ(result.notes[0].substr(0, prefix.size()), prefix);
    EXPECT_EQ(std::filesystem::directory_iterator(folders.staging() / "item_0"),
              std::filesystem::directory_iterator());
}

TEST(ItemLoader, CreatesMissingFoldersPrivateAndNotesAFolderThatCannotBe) {
    LoaderFolders folders;
    std::filesystem::path staging = folders.staging() / "nested" / "plenwick-share";
    auto result =
        ItemLoader::load({folders.provider({.types = {"public.jpeg"}, .name = "a"})}, staging);
    ASSERT_EQ(result.files.size(), 1u);
    for (const auto& folder : {folders.staging(), staging, staging / "item_0"}) {
        struct stat status {};
        ASSERT_EQ(::stat(folder.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0700u) << folder;
    }

    // A file where the staging folder should be.
    writeFile(folders.sources() / "occupied", "");
    std::filesystem::path blocked = folders.sources() / "occupied";
    result = ItemLoader::load(
        {folders.provider({.types = {"public.jpeg"}, .name = "a"}),
         folders.provider({.types = {"public.file-url"}, .fileURL = "file://$F/photo.jpg"})},
        blocked);
    EXPECT_EQ(result.files, std::vector<std::filesystem::path>{});
    EXPECT_EQ(result.skipped, 2);
    EXPECT_EQ(result.notes,
              (std::vector<std::string>{
                  "item 0: copy of public.jpeg representation to " +
                      (blocked / "item_0" / "a.jpeg").string() + " failed: Not a directory",
                  "item 1: copy of file-url " + (folders.sources() / "photo.jpg").string() +
                      " failed: Not a directory"}));
}

// The host's providers, made from command-line arguments, on real files.

struct ArgumentCase {
    const char* what;
    std::string argument;
    std::vector<std::string> types;
    std::vector<std::string> files; // relative to the staging folder
    std::vector<std::string> notes;
};

TEST(ItemLoader, StagesWhatTheHostsProvidersHandOverFromRealFiles) {
    const std::filesystem::path fixtures = test::fixtures();
    test::TemporaryFolder folder;
    const std::string odd = "say \"cheese\" \\ tab\there\nline Grüße caf\xE9.jpg";
    std::filesystem::copy_file(fixtures / "orientation/hopper_orientation_6.jpg", folder / odd);
    writeFile(folder / "document.pdf", "%PDF-1.4\n");
    std::filesystem::create_directory(folder / "Holiday");
    const std::string missing = (folder / "missing.jpg").string();

    const ArgumentCase cases[] = {
        {"a JPEG by path",
         (fixtures / "orientation/Landscape_1.jpg").string(),
         {"public.jpeg", "public.file-url"},
         {"item_0/Landscape_1.jpg"},
         {}},
        {"a HEIC by file URI",
         FileURL::string(fixtures / "heic/arrow.heic"),
         {"public.heic", "public.file-url"},
         {"item_0/arrow.heic"},
         {}},
        {"a HEIC named .jpg keeps its name",
         (fixtures / "hostile/heic_named.jpg").string(),
         {"public.heic", "public.file-url"},
         {"item_0/heic_named.jpg"},
         {}},
        {"quotes, backslashes, controls and non-UTF-8 by path",
         (folder / odd).string(),
         {"public.jpeg", "public.file-url"},
         {"item_0/" + odd},
         {}},
        {"the same by file URI",
         FileURL::string(folder / odd),
         {"public.jpeg", "public.file-url"},
         {"item_0/" + odd},
         {}},
        {"a missing file",
         missing,
         {"public.file-url"},
         {},
         {"item 0: copy of file-url " + missing + " failed: No such file or directory"}},
        {"a folder",
         (folder / "Holiday").string() + "/",
         {"public.file-url"},
         {},
         {"item 0: file-url Holiday is not an image"}},
        {"a PDF",
         (folder / "document.pdf").string(),
         {"public.file-url"},
         {},
         {"item 0: file-url document.pdf is not an image"}},
        {"text named .jpg",
         (fixtures / "hostile/photo.jpg").string(),
         {"public.file-url"},
         {},
         {"item 0: file-url photo.jpg is not an image"}},
        {"a web address",
         "https://example.com/photo.jpg",
         {"public.url"},
         {},
         {R"(item 0: no image or file URL among ["public.url"])"}},
        {"a file URI of another host",
         "file://nas.local/photos/a.jpg",
         {"public.file-url"},
         {},
         {"item 0: file-url item failed: file://nas.local/photos/a.jpg is not a file on this "
          "computer"}},
    };
    for (const ArgumentCase& c : cases) {
        SCOPED_TRACE(c.what);
        test::TemporaryFolder staging;
        std::shared_ptr<ItemProvider> provider = CommandLineItem::provider(c.argument);
        EXPECT_EQ(provider->registeredTypeIdentifiers(), c.types);
        auto result = ItemLoader::load({provider}, staging.path());
        std::vector<std::filesystem::path> files;
        for (const std::string& file : c.files)
            files.push_back(staging / file);
        EXPECT_EQ(result.files, files);
        EXPECT_EQ(result.skipped, c.files.empty() ? 1 : 0);
        EXPECT_EQ(result.notes, c.notes);
        if (!c.files.empty()) {
            auto source = FileURL::path(c.argument).value_or(c.argument);
            EXPECT_EQ(test::readFile(result.files[0]), test::readFile(source));
        }
    }
}

// Writes bytes into a pipe from a thread of its own, so that more than a pipe's buffer fits.
class Pipe {
public:
    explicit Pipe(std::string bytes) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        m_read = ends[0];
        m_writer = std::jthread([fd = ends[1], bytes = std::move(bytes)] {
            for (size_t done = 0; done < bytes.size();) {
                ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
                if (count <= 0)
                    break;
                done += static_cast<size_t>(count);
            }
            ::close(fd);
        });
    }
    ~Pipe() {
        m_writer.join();
        ::close(m_read);
    }
    int readEnd() const { return m_read; }

private:
    int m_read = -1;
    std::jthread m_writer;
};

bool isEmptyFolder(const std::filesystem::path& folder) {
    return std::filesystem::directory_iterator(folder) == std::filesystem::directory_iterator();
}

TEST(ItemLoader, StagesImageBytesFromStandardInputAndLeavesNoCopyBehind) {
    const std::filesystem::path fixtures = test::fixtures();
    test::TemporaryFolder staging;
    test::TemporaryFolder temporary;
    test::ScopedEnvironment environment;
    environment.set("TMPDIR", temporary.path().string());
    std::string photo = test::readFile(fixtures / "orientation/Landscape_1.jpg");

    ItemLoader::Result result;
    {
        Pipe input(photo);
        std::shared_ptr<ItemProvider> provider = CommandLineItem::provider("-", input.readEnd());
        EXPECT_EQ(provider->registeredTypeIdentifiers(), std::vector<std::string>{"public.jpeg"});
        EXPECT_EQ(provider->suggestedName(), std::nullopt);
        EXPECT_FALSE(provider->hasItemConformingTo("public.file-url"));
        // The bytes wait in a folder only the user may enter.
        for (const auto& entry : std::filesystem::directory_iterator(temporary.path()))
            EXPECT_EQ(entry.status().permissions() & std::filesystem::perms::all,
                      std::filesystem::perms::owner_all);
        result = ItemLoader::load({provider}, staging.path());
    }
    EXPECT_EQ(result, (ItemLoader::Result{{staging / "item_0/image.jpeg"}, 0, {}}));
    EXPECT_EQ(test::readFile(staging / "item_0/image.jpeg"), photo);
    EXPECT_TRUE(isEmptyFolder(temporary.path()));
}

TEST(ItemLoader, SkipsStandardInputWithoutAnImage) {
    struct StandardInputCase {
        std::string bytes;
        std::string note;
    };
    const StandardInputCase cases[] = {
        {"", "item 0: no image or file URL among []"},
        {"not a photo\n", R"(item 0: no image or file URL among ["public.plain-text"])"},
        {"\x01\x02\0\x03"s, R"(item 0: no image or file URL among ["public.data"])"},
    };
    test::TemporaryFolder staging;
    test::TemporaryFolder temporary;
    test::ScopedEnvironment environment;
    environment.set("TMPDIR", temporary.path().string());
    for (const StandardInputCase& c : cases) {
        SCOPED_TRACE(c.note);
        Pipe input(c.bytes);
        auto result =
            ItemLoader::load({CommandLineItem::provider("-", input.readEnd())}, staging.path());
        EXPECT_EQ(result, (ItemLoader::Result{{}, 1, {c.note}}));
    }
    EXPECT_TRUE(isEmptyFolder(temporary.path()));
}

// Root reads a mode-000 file regardless; without these two capabilities the calling thread, and
// the threads it starts, are refused like any other user.
bool dropFileAccessOverride() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    for (int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
        data[capability / 32].effective &= ~(1u << (capability % 32));
    return ::syscall(SYS_capset, &header, data) == 0;
}

TEST(ItemLoader, NotesAFileItCannotRead) {
    const std::filesystem::path fixtures = test::fixtures();
    test::TemporaryFolder folder;
    std::filesystem::path locked = folder / "locked.jpg";
    std::filesystem::copy_file(fixtures / "orientation/hopper_orientation_6.jpg", locked);
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    test::TemporaryFolder staging;

    bool refused = false;
    ItemLoader::Result result;
    std::vector<std::string> types;
    std::thread([&] {
        if (!dropFileAccessOverride())
            return;
        int fd = ::open(locked.c_str(), O_RDONLY | O_CLOEXEC);
        refused = fd < 0;
        if (fd >= 0)
            ::close(fd);
        std::shared_ptr<ItemProvider> provider = CommandLineItem::provider(locked.string());
        types = provider->registeredTypeIdentifiers();
        result = ItemLoader::load({provider}, staging.path());
    }).join();
    ASSERT_TRUE(refused) << "this process reads files of mode 000 even without its capabilities";

    EXPECT_EQ(types, std::vector<std::string>{"public.file-url"});
    EXPECT_EQ(result, (ItemLoader::Result{{},
                                          1,
                                          {"item 0: copy of file-url " + locked.string() +
                                           " failed: Permission denied"}}));
}

} // namespace
