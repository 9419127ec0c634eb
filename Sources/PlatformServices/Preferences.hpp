#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace plenwick {

// One preferences suite: typed values by key in an SQLite database that several processes may
// read and write at once. Values are data (bytes), dates or integers; reading a key as another
// kind than it was stored with finds nothing.
class Preferences {
public:
    using Data = std::vector<uint8_t>;
    using Date = std::chrono::system_clock::time_point;

    // ${XDG_CONFIG_HOME:-~/.config}/plenwick/<suite>.sqlite3; nothing when it cannot be opened.
    static std::shared_ptr<Preferences> open(const std::string& suiteName);
    static std::shared_ptr<Preferences> open(const std::filesystem::path& databaseFile);
    // The suite shared by both programs, else the program's own standard suite, else a suite
    // kept in memory for this process; says once in the log when it falls back.
    static std::shared_ptr<Preferences> openShared(const std::string& programName);

    ~Preferences();
    Preferences(const Preferences&) = delete;
    Preferences& operator=(const Preferences&) = delete;

    std::optional<Data> data(std::string_view key) const;
    std::optional<Date> date(std::string_view key) const;
    std::optional<int64_t> integer(std::string_view key) const;

    // False when the value could not be stored.
    bool setData(std::string_view key, const Data& value);
    bool setDate(std::string_view key, Date value);
    bool setInteger(std::string_view key, int64_t value);
    bool remove(std::string_view key);

private:
    struct Connection;
    explicit Preferences(std::unique_ptr<Connection>);

    std::unique_ptr<Connection> m_connection;
};

} // namespace plenwick
