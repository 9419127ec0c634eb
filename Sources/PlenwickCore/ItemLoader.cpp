#include "PlenwickCore/ItemLoader.hpp"

#include "PlatformServices/FileStaging.hpp"
#include "PlatformServices/FileURL.hpp"
#include "PlatformServices/ListNotation.hpp"
#include "PlatformServices/Log.hpp"
#include "PlatformServices/PercentEncoding.hpp"
#include "PlatformServices/PrivateFolder.hpp"
#include "PlatformServices/UTF8.hpp"
#include "PlatformServices/UniformType.hpp"

#include <atomic>
#include <functional>
#include <future>
#include <stop_token>
#include <sys/stat.h>

namespace plenwick {

namespace {

constexpr Log logger("loader");

constexpr const char* fileURLType = "public.file-url";

// The one answer to one provider request, handed from the provider's thread to the waiting
// loader. Only the first answer counts, whoever gives it: the callback, a stop request, or the
// answer itself when its callback is dropped without being called, as if nothing was delivered.
// So the loader never waits for a lost callback, nor past a stop while nobody has answered.
template <typename T>
class Answer {
public:
    // `failed` makes the answer of a request that yields nothing, with the reason when there is
    // one: a dropped callback has none, a delivery that throws has its exception's.
    explicit Answer(std::function<T(std::optional<std::string> reason)> failed)
        : m_failed(std::move(failed)) {}
    ~Answer() {
        give([this] { return m_failed(std::nullopt); });
    }
    Answer(const Answer&) = delete;
    Answer& operator=(const Answer&) = delete;

    // The first caller answers with what `make` returns; the others return at once. Whatever
    // `make` throws becomes the failed answer, so the waiting loader is answered in any case.
    template <typename Make>
    void give(Make make) noexcept {
        if (m_answered.test_and_set())
            return;
        std::optional<std::string> reason;
        try {
            m_promise.set_value(make());
            return;
        } catch (const std::exception& error) {
            reason = error.what();
        } catch (...) {
            reason = "an unexpected error";
        }
        try {
            m_promise.set_value(m_failed(reason));
        } catch (...) {
            // Not even the note could be made: the request yields nothing, without one.
            m_promise.set_value(T{});
        }
    }
    std::future<T> future() { return m_promise.get_future(); }

private:
    std::promise<T> m_promise;
    std::atomic_flag m_answered;
    std::function<T(std::optional<std::string>)> m_failed;
};

// Starts a request whose callback owns the answer, and waits for it, or for a stop: a stop
// answers in the provider's place unless a delivery already under way has claimed the answer,
// and that delivery looks at the same stop while it stages.
template <typename T>
T await(const std::function<void(std::shared_ptr<Answer<T>>)>& start,
        std::function<T(std::optional<std::string>)> failed, const std::stop_token& stop) {
    auto answer = std::make_shared<Answer<T>>(std::move(failed));
    std::future<T> future = answer->future();
    // Weakly, so that a callback dropped by its provider still answers when the answer goes.
    std::stop_callback onStop(stop, [weak = std::weak_ptr(answer)]() noexcept {
        if (auto held = weak.lock())
            held->give([] { return T{}; });
    });
    start(std::move(answer));
    return future.get();
}

// Stages `source` as `destination` in `itemFolder`, which is made first when it is missing.
Expected<FileStaging::Staged, SystemError>
stageInto(const std::filesystem::path& itemFolder,
          const std::optional<std::filesystem::path>& source,
          const std::filesystem::path& destination, const std::stop_token& stop) {
    if (auto created = PrivateFolder::create(itemFolder); !created)
        return created.error();
    if (!source)
        return SystemError{"not a file on this computer"};
    return FileStaging::stage(*source, destination, stop);
}

std::optional<std::string> urlOf(const ItemProvider::Item& item) {
    if (const auto* url = std::get_if<std::string>(&item); url && !url->empty())
        return *url;
    if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&item); bytes && !bytes->empty()) {
        std::string text(bytes->begin(), bytes->end());
        if (UTF8::isValid(text) && text.find('\0') == std::string::npos)
            return text;
    }
    return std::nullopt;
}

// The decoded path of any URL; for a local file URL, the file's path.
std::string urlPath(std::string_view url) {
    if (auto local = FileURL::path(url))
        return local->string();
    size_t colon = url.find(':');
    if (colon != std::string_view::npos && colon < url.find_first_of("/?#"))
        url.remove_prefix(colon + 1);
    if (url.starts_with("//")) {
        url.remove_prefix(2);
        size_t end = url.find_first_of("/?#");
        url.remove_prefix(end == std::string_view::npos ? url.size() : end);
    }
    return PercentEncoding::decoded(url.substr(0, url.find_first_of("?#")));
}

std::string lastPathComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (path == "/")
        return path;
    return path.substr(path.rfind('/') + 1);
}

// The non-empty part after the last dot of a name, or nothing.
std::string pathExtension(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return {};
    return name.substr(dot + 1);
}

bool namesAFolder(const std::string& name) {
    return name == "." || name == "..";
}

// A staged name stays inside its item folder: separators become "_".
std::string withinFolder(std::string name) {
    for (char& c : name)
        if (c == '/' || c == '\0')
            c = '_';
    return name;
}

// The result of one copy attempt: a staged file or a note, never both.
struct Outcome {
    std::optional<std::filesystem::path> file;
    std::optional<std::string> note;
    std::shared_ptr<const FileDescriptor> reference;
};

std::optional<std::string> concreteImageType(const ItemProvider& provider) {
    for (const std::string& identifier : provider.registeredTypeIdentifiers()) {
        auto type = UniformType::withIdentifier(identifier);
        if (type && type->conformsTo(UniformType::image()))
            return identifier;
    }
    return std::nullopt;
}

std::optional<std::string> originalName(ItemProvider& provider, const std::stop_token& stop) {
    if (auto name = provider.suggestedName(); name && !name->empty())
        return name;
    if (!provider.hasItemConformingTo(fileURLType))
        return std::nullopt;
    using Name = std::optional<std::string>;
    return await<Name>(
        [&](std::shared_ptr<Answer<Name>> answer) {
            provider.loadFileURLItem([answer](ItemProvider::Item item, std::optional<std::string>) {
                answer->give([&] {
                    auto url = urlOf(item);
                    return url ? Name(lastPathComponent(urlPath(*url))) : std::nullopt;
                });
            });
        },
        [](std::optional<std::string>) { return std::nullopt; }, stop);
}

std::string filename(const std::optional<std::string>& preferredName, const std::string& type,
                     const std::filesystem::path& temporaryFile) {
    std::string temporaryName = temporaryFile.filename().string();
    std::string extension;
    auto known = UniformType::withIdentifier(type);
    if (auto preferred = known ? known->preferredFilenameExtension() : std::nullopt)
        extension = *preferred;
    else
        extension = pathExtension(temporaryName);

    // "." and ".." name the folder itself or its parent, not a file.
    if (preferredName && !preferredName->empty() && !namesAFolder(*preferredName)) {
        // Only the part after the last separator may hold an extension: "2024.06/beach" has
        // none, and "holiday.2024/" ends in an empty part.
        const std::string& given = *preferredName;
        bool hasExtension = !pathExtension(given.substr(given.rfind('/') + 1)).empty();
        std::string name = withinFolder(*preferredName);
        return hasExtension ? name : name + "." + extension;
    }
    if (!temporaryName.empty() && !namesAFolder(temporaryName))
        return temporaryName;
    return "image." + extension;
}

Outcome copyFileRepresentation(ItemProvider& provider, const std::string& type,
                               const std::optional<std::string>& preferredName,
                               const std::filesystem::path& itemFolder,
                               const std::stop_token& stop) {
    // Runs on the provider's thread while the temporary file still exists.
    auto deliver = [type, preferredName, itemFolder,
                    stop](std::optional<std::filesystem::path> temporaryFile,
                          std::optional<std::string> error) -> Outcome {
        if (!temporaryFile) {
            std::string note =
                "loadFileRepresentation(" + type + ") failed: " + error.value_or("nil url");
            logger.error("%s", note.c_str());
            return {std::nullopt, note, nullptr};
        }
        std::filesystem::path destination =
            itemFolder / filename(preferredName, type, *temporaryFile);
        auto staged = stageInto(itemFolder, temporaryFile, destination, stop);
        if (staged)
            return {destination, std::nullopt, std::move(staged.value().reference)};
        std::string note = "copy of " + type + " representation to " + destination.string() +
                           " failed: " + staged.error().message;
        logger.error("%s", note.c_str());
        return {std::nullopt, note, nullptr};
    };
    return await<Outcome>(
        [&](std::shared_ptr<Answer<Outcome>> answer) {
            provider.loadFileRepresentation(
                type, [answer, deliver](std::optional<std::filesystem::path> temporaryFile,
                                        std::optional<std::string> error) {
                    answer->give(
                        [&] { return deliver(std::move(temporaryFile), std::move(error)); });
                });
        },
        [deliver](std::optional<std::string> reason) { return deliver(std::nullopt, reason); },
        stop);
}

Outcome copyFileURLItem(ItemProvider& provider, const std::filesystem::path& itemFolder,
                        const std::stop_token& stop) {
    auto deliver = [itemFolder, stop](ItemProvider::Item item,
                                      std::optional<std::string> error) -> Outcome {
        auto url = urlOf(item);
        if (!url) {
            std::string note = "file-url item failed: " + error.value_or("no url");
            logger.error("%s", note.c_str());
            return {std::nullopt, note, nullptr};
        }
        auto source = FileURL::path(*url);
        std::string sourcePath = urlPath(*url);
        std::string name = lastPathComponent(sourcePath);

        // By the bytes of the file, else by the extension of its name.
        auto isImage = [&name](const std::optional<std::filesystem::path>& file) {
            std::optional<UniformType> type;
            if (file)
                type = UniformType::ofFile(*file);
            if (!type)
                type = UniformType::withFilenameExtension(pathExtension(name), UniformType::data());
            return type && type->conformsTo(UniformType::image());
        };
        auto notAnImage = [&name]() -> Outcome {
            std::string note = "file-url " + name + " is not an image";
            logger.info("%s", note.c_str());
            return {std::nullopt, note, nullptr};
        };
        // A pipe ("<(…)", a FIFO) can be read only once: it is judged by its copy.
        struct stat status {};
        const bool pipe =
            source && ::stat(source->c_str(), &status) == 0 && S_ISFIFO(status.st_mode);
        if (!pipe && !isImage(source))
            return notAnImage();

        std::filesystem::path destination = itemFolder / name;
        auto staged = stageInto(itemFolder, source, destination, stop);
        if (!staged) {
            std::string note =
                "copy of file-url " + sourcePath + " failed: " + staged.error().message;
            logger.error("%s", note.c_str());
            return {std::nullopt, note, nullptr};
        }
        if (pipe && !isImage(destination)) {
            std::error_code ignored;
            std::filesystem::remove(destination, ignored);
            return notAnImage();
        }
        return {destination, std::nullopt, std::move(staged.value().reference)};
    };
    return await<Outcome>(
        [&](std::shared_ptr<Answer<Outcome>> answer) {
            provider.loadFileURLItem(
                [answer, deliver](ItemProvider::Item item, std::optional<std::string> error) {
                    answer->give([&] { return deliver(std::move(item), std::move(error)); });
                });
        },
        [deliver](std::optional<std::string> reason) { return deliver(std::monostate{}, reason); },
        stop);
}

} // namespace

ItemLoader::Result ItemLoader::load(const std::vector<std::shared_ptr<ItemProvider>>& providers,
                                    const std::filesystem::path& staging, std::stop_token stop) {
    Result result;
    for (size_t i = 0; i < providers.size() && !stop.stop_requested(); ++i) {
        ItemProvider& provider = *providers[i];
        const std::string prefix = "item " + std::to_string(i) + ": ";
        const std::filesystem::path itemFolder = staging / ("item_" + std::to_string(i));
        std::optional<std::filesystem::path> staged;

        if (auto type = concreteImageType(provider)) {
            std::optional<std::string> name = originalName(provider, stop);
            Outcome outcome = copyFileRepresentation(provider, *type, name, itemFolder, stop);
            if (outcome.note)
                result.notes.push_back(prefix + *outcome.note);
            staged = outcome.file;
            if (outcome.reference)
                result.references.push_back(std::move(outcome.reference));
        }
        if (!staged && !stop.stop_requested() && provider.hasItemConformingTo(fileURLType)) {
            Outcome outcome = copyFileURLItem(provider, itemFolder, stop);
            if (outcome.note)
                result.notes.push_back(prefix + *outcome.note);
            staged = outcome.file;
            if (outcome.reference)
                result.references.push_back(std::move(outcome.reference));
        }

        if (staged) {
            result.files.push_back(*staged);
            continue;
        }
        if (stop.stop_requested())
            break;
        ++result.skipped;
        std::string types = ListNotation::format(provider.registeredTypeIdentifiers());
        if (!concreteImageType(provider) && !provider.hasItemConformingTo(fileURLType))
            result.notes.push_back(prefix + "no image or file URL among " + types);
        logger.info("skipping item %ld: %s", static_cast<long>(i), types.c_str());
    }
    return result;
}

} // namespace plenwick
