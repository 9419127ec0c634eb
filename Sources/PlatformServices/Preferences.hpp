#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/SystemError.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plenwick {

// One preferences suite: typed values by key in an SQLite database that several processes may
// read and write at once. Values are data (bytes), dates or integers; reading a key as another
// kind than it was stored with finds nothing. Every member may be called from any thread.
class Preferences {
public:
    using Data = std::vector<uint8_t>;
    using Date = std::chrono::system_clock::time_point;

    // The suite both programs open, and so the name of its file.
    static constexpr std::string_view sharedSuiteName = "K4ZT9WQ2LM.com.brindlemoor.plenwick";

    // ${XDG_CONFIG_HOME:-~/.config}/plenwick/<suite>.sqlite3
    static std::filesystem::path suiteFile(const std::string& suiteName);

    // An error when the suite cannot be opened: an unusable name, a folder or file that cannot
    // be created or written, a file that is not a sound database. An existing file is never
    // replaced or removed.
    static Expected<std::shared_ptr<Preferences>, SystemError> open(const std::string& suiteName);
    static Expected<std::shared_ptr<Preferences>, SystemError> open(const char* suiteName) {
        return open(std::string(suiteName));
    }
    static Expected<std::shared_ptr<Preferences>, SystemError>
    open(const std::filesystem::path& databaseFile);
    // The suite shared by both programs, else the program's own standard suite, else a suite
    // kept in memory for this process that starts from the values the shared suite's file holds
    // (a read-only configuration folder); says once in the log when it falls back.
    static std::shared_ptr<Preferences> openShared(const std::string& programName);

    ~Preferences();
    Preferences(const Preferences&) = delete;
    Preferences& operator=(const Preferences&) = delete;

    // Whether the suite lives only in this process (openShared's last resort): what is set in it
    // is gone when the process ends.
    bool isInMemory() const;

    // The value under `key`; nothing when the key holds no value of that kind, or one stored
    // otherwise than this suite stores it; an error when the suite could not be read.
    Expected<std::optional<Data>, SystemError> data(std::string_view key) const;
    Expected<std::optional<Date>, SystemError> date(std::string_view key) const;
    Expected<std::optional<int64_t>, SystemError> integer(std::string_view key) const;

    // An error when the value could not be stored.
    Expected<void, SystemError> setData(std::string_view key, const Data& value);
    Expected<void, SystemError> setDate(std::string_view key, Date value);
    Expected<void, SystemError> setInteger(std::string_view key, int64_t value);
    Expected<void, SystemError> remove(std::string_view key);

private:
    struct Connection;
    explicit Preferences(std::unique_ptr<Connection>);

    static Expected<std::shared_ptr<Preferences>, SystemError>
    openDatabase(const std::string& location);

    std::unique_ptr<Connection> m_connection;
};

} // namespace plenwick
