#include "PlatformServices/Preferences.hpp"

#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/FileURL.hpp"
#include "PlatformServices/Log.hpp"
#include "PlatformServices/PrivateFolder.hpp"
#include "PlatformServices/XdgUserDirs.hpp"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>

#include <sqlite3.h>

namespace plenwick {

namespace {

struct CloseDatabase {
    void operator()(sqlite3* database) const { sqlite3_close_v2(database); }
};
struct FinalizeStatement {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;
using Statement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// Long enough for the other program to finish any write; our writes are single rows.
constexpr int busyTimeoutMilliseconds = 5000;

constexpr const char* createTable =
    "CREATE TABLE IF NOT EXISTS preferences(key TEXT PRIMARY KEY NOT NULL, kind TEXT NOT NULL "
    "CHECK (kind IN ('data','date','integer')), value NOT NULL)";
constexpr const char* selectValue = "SELECT value FROM preferences WHERE key = ?1 AND kind = ?2";
constexpr const char* upsertValue =
    "INSERT INTO preferences(key, kind, value) VALUES (?1, ?2, ?3) "
    "ON CONFLICT(key) DO UPDATE SET kind = excluded.kind, value = excluded.value";
constexpr const char* deleteValue = "DELETE FROM preferences WHERE key = ?1";

constexpr const char* dataKind = "data";
constexpr const char* dateKind = "date";
constexpr const char* integerKind = "integer";

// A date outside about ±290 years of 1970 has no time point; it reads as absent.
constexpr double largestDateSeconds = 9.2e9;

Statement prepare(sqlite3* database, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(database, sql, -1, &statement, nullptr);
    return Statement(statement);
}

SystemError failureOf(sqlite3* database) {
    return {sqlite3_errmsg(database)};
}

// Steps a statement that returns no rows.
Expected<void, SystemError> step(sqlite3* database, sqlite3_stmt* statement) {
    if (sqlite3_step(statement) != SQLITE_DONE)
        return failureOf(database);
    return {};
}

// Runs one statement to its end.
Expected<void, SystemError> run(sqlite3* database, const char* sql) {
    Statement statement = prepare(database, sql);
    if (!statement)
        return failureOf(database);
    int result;
    while ((result = sqlite3_step(statement.get())) == SQLITE_ROW) {
    }
    if (result != SQLITE_DONE)
        return failureOf(database);
    return {};
}

// SQLite opens any file and finds out on the first read whether it is a database; a quick
// check reads every page, so a damaged file fails here instead of in the middle of a share.
Expected<void, SystemError> checkIntegrity(sqlite3* database) {
    Statement statement = prepare(database, "PRAGMA quick_check(1)");
    if (!statement)
        return failureOf(database);
    if (sqlite3_step(statement.get()) != SQLITE_ROW)
        return failureOf(database);
    auto verdict = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0));
    if (!verdict || std::strcmp(verdict, "ok") != 0)
        return SystemError{std::string("database disk image is malformed: ") +
                           (verdict ? verdict : "")};
    return {};
}

// Whether every statement of the suite compiles against the file's schema.
Expected<void, SystemError> checkStatements(sqlite3* database) {
    for (const char* sql : {selectValue, upsertValue, deleteValue})
        if (!prepare(database, sql))
            return failureOf(database);
    return {};
}

bool hasTable(sqlite3* database) {
    Statement statement = prepare(
        database, "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = 'preferences'");
    return statement && sqlite3_step(statement.get()) == SQLITE_ROW;
}

// Whole seconds and the fraction apart, so that the fraction keeps its precision in the double.
double secondsSince1970(Preferences::Date date) {
    auto since = date.time_since_epoch();
    auto whole = std::chrono::floor<std::chrono::seconds>(since);
    return static_cast<double>(whole.count()) +
           std::chrono::duration<double>(since - whole).count();
}

Preferences::Date dateFromSeconds(double seconds) {
    double whole = std::floor(seconds);
    auto fraction = std::chrono::nanoseconds(std::llround((seconds - whole) * 1e9));
    return Preferences::Date(std::chrono::duration_cast<Preferences::Date::duration>(
        std::chrono::seconds(static_cast<int64_t>(whole)) + fraction));
}

// A new database file is private to the user; SQLite gives its -wal and -shm files the same
// mode. An existing file keeps its mode and content.
Expected<void, SystemError> createPrivateFile(const std::filesystem::path& file) {
    auto created = FileDescriptor::open(file, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (!created) {
        if (created.error().code == EEXIST)
            return {};
        return created.error().prefixed("cannot create the file");
    }
    // The umask may have taken more than 0600 leaves; the owner must still write.
    if (::fchmod(created.value().get(), 0600) != 0)
        return SystemError::fromErrno("cannot set the mode of " + file.string());
    return {};
}

bool validSuiteName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

void bindText(sqlite3_stmt* statement, int index, std::string_view text) {
    sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

// The statement stepped onto the stored value, or none when the key holds no value of `kind`;
// an error when the suite could not be read.
Expected<Statement, SystemError> findValue(sqlite3* database, std::string_view key,
                                           const char* kind) {
    Statement statement = prepare(database, selectValue);
    if (!statement)
        return failureOf(database);
    bindText(statement.get(), 1, key);
    bindText(statement.get(), 2, kind);
    switch (sqlite3_step(statement.get())) {
    case SQLITE_ROW:
        return statement;
    case SQLITE_DONE:
        return Statement();
    default:
        return failureOf(database);
    }
}

// Stores a value of `kind` under `key`; `bindValue` binds the value as parameter 3.
template <typename BindValue>
Expected<void, SystemError> store(sqlite3* database, std::string_view key, const char* kind,
                                  BindValue bindValue) {
    Statement statement = prepare(database, upsertValue);
    if (!statement)
        return failureOf(database);
    bindText(statement.get(), 1, key);
    bindText(statement.get(), 2, kind);
    bindValue(statement.get());
    return step(database, statement.get());
}

// Copies what a suite file holds into `memory`, read as it stands on disk and never written:
// a suite that cannot be written (a read-only configuration folder) still gives its values.
void copyStoredValues(const std::filesystem::path& file, sqlite3* memory) {
    struct BackupFinish {
        void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
    };
    sqlite3* raw = nullptr;
    // Immutable: a read-only folder has no room for the lock and index files of a WAL reader.
    const std::string uri = FileURL::string(file) + "?immutable=1";
    int opened =
        sqlite3_open_v2(uri.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    Database stored(raw);
    if (opened != SQLITE_OK || !checkIntegrity(stored.get()) || !checkStatements(stored.get()))
        return;
    std::unique_ptr<sqlite3_backup, BackupFinish> backup(
        sqlite3_backup_init(memory, "main", stored.get(), "main"));
    if (backup)
        sqlite3_backup_step(backup.get(), -1);
}

// Checks the file and sets it up for both programs; every step may be repeated.
Expected<void, SystemError> prepareSuite(sqlite3* database) {
    PLENWICK_TRY(checkIntegrity(database));
    // A table of that name with other columns belongs to something else: leave the file alone.
    // The table is looked for before the statements are compiled against it, because the other
    // program may be creating it meanwhile.
    if (hasTable(database)) {
        if (auto checked = checkStatements(database); !checked)
            return checked.error().prefixed("its preferences table is not ours");
    }
    // Readers never block the other program's writer, and a commit costs no fsync of its own.
    for (const char* sql :
         {"PRAGMA journal_mode = WAL", "PRAGMA synchronous = NORMAL", createTable}) {
        PLENWICK_TRY(run(database, sql));
    }
    return checkStatements(database);
}

} // namespace

struct Preferences::Connection {
    Database database;
};

Preferences::Preferences(std::unique_ptr<Connection> connection)
    : m_connection(std::move(connection)) {}

Preferences::~Preferences() = default;

std::filesystem::path Preferences::suiteFile(const std::string& suiteName) {
    return XdgUserDirs::configHome() / "plenwick" / (suiteName + ".sqlite3");
}

Expected<std::shared_ptr<Preferences>, SystemError>
Preferences::openDatabase(const std::string& location) {
    sqlite3* raw = nullptr;
    // Without SQLITE_OPEN_CREATE: the caller made the file with the right mode.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX;
    if (location == ":memory:")
        flags |= SQLITE_OPEN_CREATE;
    int opened = sqlite3_open_v2(location.c_str(), &raw, flags, nullptr);
    Database database(raw);
    if (opened != SQLITE_OK)
        return database ? failureOf(database.get()) : SystemError{sqlite3_errstr(opened)};
    sqlite3_extended_result_codes(database.get(), 1);
    sqlite3_busy_timeout(database.get(), busyTimeoutMilliseconds);
    if (sqlite3_db_readonly(database.get(), "main") == 1)
        return SystemError{"the database is read-only"};
    // Two programs opening a new suite at once can each hold a lock the other needs (turning on
    // write-ahead logging takes the file to itself). SQLite then answers "locked" at once, as
    // waiting could not end, and the set-up is tried again.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(busyTimeoutMilliseconds);
    Expected<void, SystemError> prepared = prepareSuite(database.get());
    while (!prepared && (sqlite3_errcode(database.get()) & 0xff) == SQLITE_BUSY &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        prepared = prepareSuite(database.get());
    }
    PLENWICK_TRY(std::move(prepared));
    auto connection = std::make_unique<Connection>();
    connection->database = std::move(database);
    return std::shared_ptr<Preferences>(new Preferences(std::move(connection)));
}

Expected<std::shared_ptr<Preferences>, SystemError>
Preferences::open(const std::filesystem::path& file) {
    std::filesystem::path folder = file.parent_path();
    if (auto created = PrivateFolder::create(folder.empty() ? "." : folder); !created)
        return created.error().prefixed("cannot create folder " + folder.string());
    if (auto created = createPrivateFile(file); !created)
        return created.error();
    return openDatabase(file.string());
}

Expected<std::shared_ptr<Preferences>, SystemError>
Preferences::open(const std::string& suiteName) {
    if (!validSuiteName(suiteName))
        return SystemError{"\"" + suiteName + "\" is not a suite name", EINVAL};
    return open(suiteFile(suiteName));
}

std::shared_ptr<Preferences> Preferences::openShared(const std::string& programName) {
    const std::string shared(sharedSuiteName);
    auto sharedSuite = open(shared);
    if (sharedSuite)
        return sharedSuite.value();

    Log log("preferences");
    const std::string& sharedFailure = sharedSuite.error().message;
    auto standardSuite = open(programName);
    if (standardSuite) {
        log.error("cannot open preferences %s (%s); using %s instead", shared.c_str(),
                  sharedFailure.c_str(), programName.c_str());
        return standardSuite.value();
    }
    log.error("cannot open preferences %s (%s) nor %s (%s); keeping preferences in memory until "
              "the program ends, starting from what %s holds",
              shared.c_str(), sharedFailure.c_str(), programName.c_str(),
              standardSuite.error().message.c_str(), shared.c_str());
    auto memory = openDatabase(":memory:");
    if (!memory)
        return nullptr;
    copyStoredValues(suiteFile(shared), memory.value()->m_connection->database.get());
    return memory.value();
}

bool Preferences::isInMemory() const {
    // SQLite names no file for a database in memory.
    const char* file = sqlite3_db_filename(m_connection->database.get(), "main");
    return !file || !*file;
}

Expected<std::optional<Preferences::Data>, SystemError>
Preferences::data(std::string_view key) const {
    Statement statement = PLENWICK_TRY(findValue(m_connection->database.get(), key, dataKind));
    if (!statement || sqlite3_column_type(statement.get(), 0) != SQLITE_BLOB)
        return std::optional<Data>();
    auto bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement.get(), 0));
    int size = sqlite3_column_bytes(statement.get(), 0);
    return std::optional<Data>(Data(bytes, bytes + size));
}

Expected<std::optional<Preferences::Date>, SystemError>
Preferences::date(std::string_view key) const {
    Statement statement = PLENWICK_TRY(findValue(m_connection->database.get(), key, dateKind));
    if (!statement)
        return std::optional<Date>();
    int type = sqlite3_column_type(statement.get(), 0);
    if (type != SQLITE_FLOAT && type != SQLITE_INTEGER)
        return std::optional<Date>();
    double seconds = sqlite3_column_double(statement.get(), 0);
    if (!std::isfinite(seconds) || std::fabs(seconds) > largestDateSeconds)
        return std::optional<Date>();
    return std::optional<Date>(dateFromSeconds(seconds));
}

Expected<std::optional<int64_t>, SystemError> Preferences::integer(std::string_view key) const {
    Statement statement = PLENWICK_TRY(findValue(m_connection->database.get(), key, integerKind));
    if (!statement || sqlite3_column_type(statement.get(), 0) != SQLITE_INTEGER)
        return std::optional<int64_t>();
    return std::optional<int64_t>(sqlite3_column_int64(statement.get(), 0));
}

Expected<void, SystemError> Preferences::setData(std::string_view key, const Data& value) {
    return store(m_connection->database.get(), key, dataKind, [&value](sqlite3_stmt* statement) {
        // A null pointer would bind SQL NULL; empty data is a zero-length blob.
        static const uint8_t nothing = 0;
        sqlite3_bind_blob64(statement, 3, value.empty() ? &nothing : value.data(), value.size(),
                            SQLITE_TRANSIENT);
    });
}

Expected<void, SystemError> Preferences::setDate(std::string_view key, Date value) {
    return store(m_connection->database.get(), key, dateKind, [value](sqlite3_stmt* statement) {
        sqlite3_bind_double(statement, 3, secondsSince1970(value));
    });
}

Expected<void, SystemError> Preferences::setInteger(std::string_view key, int64_t value) {
    return store(m_connection->database.get(), key, integerKind,
                 [value](sqlite3_stmt* statement) { sqlite3_bind_int64(statement, 3, value); });
}

Expected<void, SystemError> Preferences::remove(std::string_view key) {
    sqlite3* database = m_connection->database.get();
    Statement statement = prepare(database, deleteValue);
    if (!statement)
        return failureOf(database);
    bindText(statement.get(), 1, key);
    return step(database, statement.get());
}

} // namespace plenwick
