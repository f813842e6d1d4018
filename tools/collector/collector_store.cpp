#include "collector_store.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <utility>
#include <variant>

namespace collector {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS batches (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  received_at_ms INTEGER NOT NULL,
  path TEXT NOT NULL,
  raw BLOB NOT NULL,
  size INTEGER NOT NULL,
  version INTEGER NOT NULL,
  product INTEGER NOT NULL,
  count INTEGER NOT NULL,
  crc32 INTEGER NOT NULL,
  content_type TEXT,
  user_agent TEXT,
  x_cf_platform TEXT,
  x_cf_device_id TEXT
);
CREATE TABLE IF NOT EXISTS records (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  batch_id INTEGER NOT NULL REFERENCES batches(id),
  position INTEGER NOT NULL,
  table_name TEXT NOT NULL,
  table_index INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS fields (
  record_id INTEGER NOT NULL REFERENCES records(id),
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  type TEXT NOT NULL,
  value
);
)sql";

// One prepared statement, finalized on scope exit.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &mStmt, nullptr) != SQLITE_OK) {
            mStmt = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(mStmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    [[nodiscard]] bool ok() const { return mStmt != nullptr; }
    [[nodiscard]] sqlite3_stmt* get() const { return mStmt; }

    void bind(int i, int64_t v) { sqlite3_bind_int64(mStmt, i, v); }
    void bind(int i, const std::string& v) {
        sqlite3_bind_text(mStmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void bindBlob(int i, std::span<const std::uint8_t> v) {
        sqlite3_bind_blob(mStmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void bindNull(int i) { sqlite3_bind_null(mStmt, i); }

    // Runs a statement that returns no rows; true when it completed.
    bool run() { return sqlite3_step(mStmt) == SQLITE_DONE; }

    [[nodiscard]] std::string text(int col) const {
        const auto* p = sqlite3_column_text(mStmt, col);
        const int n = sqlite3_column_bytes(mStmt, col);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n))
                 : std::string();
    }
    [[nodiscard]] int64_t integer(int col) const { return sqlite3_column_int64(mStmt, col); }

  private:
    sqlite3_stmt* mStmt = nullptr;
};

std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

std::string hex8(uint32_t value) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08x", value);
    return buf;
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

CollectorStore::~CollectorStore() {
    if (mDb != nullptr) {
        sqlite3_close(mDb);
    }
}

bool CollectorStore::exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(mDb, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        error = message ? message : sqlite3_errmsg(mDb);
        sqlite3_free(message);
        return false;
    }
    return true;
}

std::optional<std::string> CollectorStore::open(const std::string& path, bool readOnly) {
    std::lock_guard lock(mMutex);
    const int flags =
        readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (sqlite3_open_v2(path.c_str(), &mDb, flags | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
        std::string reason = mDb ? sqlite3_errmsg(mDb) : "out of memory";
        sqlite3_close(mDb);
        mDb = nullptr;
        return "cannot open database '" + path + "': " + reason;
    }
    // A dump from another process may read while the server writes.
    sqlite3_busy_timeout(mDb, 5000);
    std::string error;
    if (!readOnly && !exec(kSchema, error)) {
        return "cannot create the tables in '" + path + "': " + error;
    }
    return std::nullopt;
}

std::optional<int64_t> CollectorStore::store(std::span<const std::uint8_t> raw,
                                             const tally::DecodedBatch& batch,
                                             const RequestInfo& request, std::string& error) {
    std::lock_guard lock(mMutex);
    if (mDb == nullptr) {
        error = "no database";
        return std::nullopt;
    }
    if (!exec("BEGIN IMMEDIATE", error)) {
        return std::nullopt;
    }
    const auto fail = [&](const char* what) -> std::optional<int64_t> {
        error = std::string(what) + ": " + sqlite3_errmsg(mDb);
        std::string ignored;
        (void)exec("ROLLBACK", ignored);
        return std::nullopt;
    };

    Statement b(mDb,
                "INSERT INTO batches (received_at_ms, path, raw, size, version, product, count, "
                "crc32, content_type, user_agent, x_cf_platform, x_cf_device_id) "
                "VALUES (?,?,?,?,?,?,?,?,?,?,?,?)");
    if (!b.ok()) {
        return fail("prepare batches");
    }
    b.bind(1, nowMs());
    b.bind(2, request.path);
    b.bindBlob(3, raw);
    b.bind(4, int64_t{batch.header.size});
    b.bind(5, int64_t{batch.header.version});
    b.bind(6, int64_t{batch.header.product});
    b.bind(7, int64_t{batch.header.count});
    b.bind(8, int64_t{batch.header.crc32});
    b.bind(9, request.contentType);
    b.bind(10, request.userAgent);
    b.bind(11, request.platform);
    b.bind(12, request.deviceId);
    if (!b.run()) {
        return fail("insert batch");
    }
    const int64_t batchId = sqlite3_last_insert_rowid(mDb);

    Statement r(mDb,
                "INSERT INTO records (batch_id, position, table_name, table_index) "
                "VALUES (?,?,?,?)");
    Statement f(mDb,
                "INSERT INTO fields (record_id, position, name, type, value) "
                "VALUES (?,?,?,?,?)");
    if (!r.ok() || !f.ok()) {
        return fail("prepare records");
    }
    int64_t position = 0;
    for (const auto& record : batch.records) {
        sqlite3_reset(r.get());
        r.bind(1, batchId);
        r.bind(2, position++);
        r.bind(3, record.tableName);
        r.bind(4, record.index);
        if (!r.run()) {
            return fail("insert record");
        }
        const int64_t recordId = sqlite3_last_insert_rowid(mDb);
        int64_t fieldPosition = 0;
        for (const auto& field : record.fields) {
            sqlite3_reset(f.get());
            f.bind(1, recordId);
            f.bind(2, fieldPosition++);
            f.bind(3, field.name);
            f.bind(4, field.type);
            if (!field.value) {
                f.bindNull(5);
            } else if (field.value->isInteger()) {
                f.bind(5, field.value->integer());
            } else if (field.value->isBool()) {
                f.bind(5, int64_t{field.value->boolean() ? 1 : 0});
            } else {
                f.bind(5, field.value->text());
            }
            if (!f.run()) {
                return fail("insert field");
            }
        }
    }
    if (!exec("COMMIT", error)) {
        return fail("commit");
    }
    return batchId;
}

nlohmann::json CollectorStore::dump(std::string& error) {
    using nlohmann::json;
    std::lock_guard lock(mMutex);
    json out = json::array();
    if (mDb == nullptr) {
        error = "no database";
        return out;
    }
    Statement b(mDb,
                "SELECT id, received_at_ms, path, raw, size, version, product, count, crc32, "
                "content_type, user_agent, x_cf_platform, x_cf_device_id FROM batches "
                "ORDER BY id");
    Statement r(mDb,
                "SELECT id, table_name, table_index FROM records WHERE batch_id = ? "
                "ORDER BY position");
    Statement f(mDb, "SELECT name, type, value FROM fields WHERE record_id = ? ORDER BY position");
    if (!b.ok() || !r.ok() || !f.ok()) {
        error = std::string("cannot read the store: ") + sqlite3_errmsg(mDb);
        return out;
    }
    int rc = 0;
    while ((rc = sqlite3_step(b.get())) == SQLITE_ROW) {
        const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(b.get(), 3));
        const auto blobSize = static_cast<size_t>(sqlite3_column_bytes(b.get(), 3));
        json batch = {
            {"id", b.integer(0)},
            {"received_at_ms", b.integer(1)},
            {"path", b.text(2)},
            {"size", b.integer(4)},
            {"version", b.integer(5)},
            {"product", b.integer(6)},
            {"count", b.integer(7)},
            {"crc32", hex8(static_cast<uint32_t>(b.integer(8)))},
            {"headers",
             {{"Content-Type", b.text(9)},
              {"User-Agent", b.text(10)},
              {"X-Cf-Platform", b.text(11)},
              {"X-Cf-Device-Id", b.text(12)}}},
            {"raw", hex(std::span<const std::uint8_t>(blob, blob ? blobSize : 0))},
            {"records", json::array()},
        };
        sqlite3_reset(r.get());
        r.bind(1, b.integer(0));
        while (sqlite3_step(r.get()) == SQLITE_ROW) {
            json record = {
                {"table", r.text(1)}, {"index", r.integer(2)}, {"fields", json::object()}};
            sqlite3_reset(f.get());
            f.bind(1, r.integer(0));
            while (sqlite3_step(f.get()) == SQLITE_ROW) {
                const std::string name = f.text(0);
                const std::string type = f.text(1);
                json value;
                switch (sqlite3_column_type(f.get(), 2)) {
                    case SQLITE_NULL:
                        value = nullptr;
                        break;
                    case SQLITE_INTEGER:
                        if (type == "bit") {
                            value = f.integer(2) != 0;
                        } else {
                            value = f.integer(2);
                        }
                        break;
                    default:
                        value = f.text(2);
                        break;
                }
                record["fields"][name] = std::move(value);
            }
            batch["records"].push_back(std::move(record));
        }
        out.push_back(std::move(batch));
    }
    if (rc != SQLITE_DONE) {
        error = std::string("cannot read the store: ") + sqlite3_errmsg(mDb);
    }
    return out;
}

}  // namespace collector
