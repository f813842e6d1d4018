#pragma once
// The reference collector's store: every accepted batch in SQLite, raw and decoded.
//
//   batches  one row per batch: raw bytes, the five header fields, when it arrived, the request
//            path and the four request header values the poster sends
//   records  one row per record of a batch (position 0 is the public record)
//   fields   one row per field of a record, by name, with its decoded value (integers and bits
//            as INTEGER, strings and hex-encoded binaries as TEXT, a bit past the eighth NULL)
#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tally/decoder.h"

namespace collector {

// The request facts stored beside a batch.
struct RequestInfo {
    std::string path;
    std::string contentType;
    std::string userAgent;
    std::string platform;  // X-Cf-Platform
    std::string deviceId;  // X-Cf-Device-Id
};

class CollectorStore {
  public:
    CollectorStore() = default;
    ~CollectorStore();
    CollectorStore(const CollectorStore&) = delete;
    CollectorStore& operator=(const CollectorStore&) = delete;

    // Opens (creating when missing, unless `readOnly`) the database at `path` (":memory:" for
    // none on disk) and makes the tables. Returns the reason on failure.
    [[nodiscard]] std::optional<std::string> open(const std::string& path, bool readOnly);

    // Stores one accepted batch with its records and fields in one transaction. Returns the
    // batch's id, or the reason it could not be stored. Safe from any thread.
    [[nodiscard]] std::optional<int64_t> store(std::span<const std::uint8_t> raw,
                                               const tally::DecodedBatch& batch,
                                               const RequestInfo& request, std::string& error);

    // Every stored batch, oldest first, as JSON objects:
    //   {"id", "received_at_ms", "path", "size", "version", "product", "count",
    //    "crc32" (8 lower-case hex digits), "headers": {name: value}, "raw" (hex),
    //    "records": [{"table", "index", "fields": {name: value}}]}
    // Field values are integers, booleans (bits), texts or null. Safe from any thread.
    [[nodiscard]] nlohmann::json dump(std::string& error);

  private:
    [[nodiscard]] bool exec(const char* sql, std::string& error);

    std::mutex mMutex;
    sqlite3* mDb = nullptr;
};

}  // namespace collector
