// votally: makes telemetry batches visible. It encodes one batch exactly as the telemetry client
// does, decodes a batch (a cache file, a captured post) into JSON with the same table
// definitions, and prints a CRC-32. Any failure: a message on standard error, exit status 1, and
// nothing on standard output.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tally/batch.h"
#include "tally/crc32.h"
#include "tally/decoder.h"
#include "tally/vo_log_util.h"
#include "tally/vo_tally_format.h"

namespace {

using tally::ByteBuffer;
using tally::TallyPayload;
using tally::TallyValue;
using tally::VoTallyFormat;

constexpr std::string_view kUsage =
    "usage:\n"
    "  votally encode --vfmt FILE --product N --public-table NAME --public JSON\n"
    "                 --table NAME --payload JSON [-o OUT]\n"
    "  votally decode --vfmt FILE [BATCH_FILE|-]\n"
    "  votally crc [FILE|-]\n"
    "\n"
    "encode  writes one batch (13-byte header, the public record, the event record) to OUT or\n"
    "        standard output. JSON is an object of field name to string, integer or boolean;\n"
    "        @PATH reads it from a file.\n"
    "decode  prints the header, whether its size and CRC-32 match, and every record's fields.\n"
    "crc     prints the CRC-32 of the bytes as 8 lower-case hexadecimal digits.\n"
    "Without a file, or with -, the bytes come from standard input.\n";

// A failure that ends the command with exit status 1.
struct Failure {
    std::string message;
};

std::string systemError(int err) {
    return std::strerror(err);
}

ByteBuffer readAll(std::FILE* in, const std::string& name) {
    ByteBuffer bytes;
    std::uint8_t chunk[65536];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, in);
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (n < sizeof chunk) {
            if (std::ferror(in)) {
                throw Failure{"cannot read " + name + ": " + systemError(errno)};
            }
            return bytes;
        }
    }
}

// The bytes of `path`, or of standard input for "-".
ByteBuffer readInput(const std::string& path) {
    if (path == "-") {
        return readAll(stdin, "standard input");
    }
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        throw Failure{"cannot read '" + path + "': it is a folder"};
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        throw Failure{"cannot read '" + path + "': " + systemError(errno)};
    }
    try {
        ByteBuffer bytes = readAll(f, "'" + path + "'");
        std::fclose(f);
        return bytes;
    } catch (...) {
        std::fclose(f);
        throw;
    }
}

void writeAll(std::FILE* out, const void* data, std::size_t size, const std::string& name) {
    if ((size > 0 && std::fwrite(data, 1, size, out) != size) || std::fflush(out) != 0) {
        throw Failure{"cannot write " + name + ": " + systemError(errno)};
    }
}

// Writes `bytes` to `path` whole or not at all: a temporary file beside it, then a rename.
void writeFileAtomically(const std::string& path, const ByteBuffer& bytes) {
    const std::filesystem::path target(path);
    const std::filesystem::path temp =
        target.parent_path() /
        ("." + target.filename().string() + ".votally-" + std::to_string(::getpid()));
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (f == nullptr) {
        throw Failure{"cannot write '" + path + "': " + systemError(errno)};
    }
    try {
        writeAll(f, bytes.data(), bytes.size(), "'" + path + "'");
    } catch (...) {
        std::fclose(f);
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        throw;
    }
    if (std::fclose(f) != 0) {
        const int err = errno;
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        throw Failure{"cannot write '" + path + "': " + systemError(err)};
    }
    std::error_code ec;
    std::filesystem::rename(temp, target, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        throw Failure{"cannot write '" + path + "': " + ec.message()};
    }
}

// Options of one command: "--name VALUE" or "--name=VALUE"; anything else is positional.
struct Arguments {
    std::map<std::string, std::string, std::less<>> options;
    std::vector<std::string> positional;
};

Arguments parseArguments(const std::string& command, const std::vector<std::string>& args,
                         const std::vector<std::string_view>& known) {
    Arguments parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-" || !arg.starts_with("-")) {
            parsed.positional.push_back(arg);
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            throw Failure{"votally " + command + ": unknown option '" + name + "'"};
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                throw Failure{"votally " + command + ": option '" + name + "' needs a value"};
            }
            value = args[++i];
        }
        if (!parsed.options.emplace(name, *value).second) {
            throw Failure{"votally " + command + ": option '" + name + "' is given twice"};
        }
    }
    return parsed;
}

const std::string& required(const Arguments& args, const std::string& command,
                            std::string_view name) {
    auto it = args.options.find(name);
    if (it == args.options.end()) {
        throw Failure{"votally " + command + ": missing option '" + std::string(name) + "'"};
    }
    return it->second;
}

VoTallyFormat loadFormat(const std::string& command, const std::string& path) {
    auto loaded = VoTallyFormat::fromFile(path);
    if (!loaded) {
        throw Failure{"votally " + command +
                      ": cannot load the table definitions: " + loaded.error()};
    }
    return std::move(loaded).value();
}

// A payload from a JSON object (or "@PATH" naming a file that holds one).
TallyPayload parsePayload(const std::string& option, const std::string& text) {
    std::string json = text;
    if (text.starts_with("@")) {
        const ByteBuffer bytes = readInput(text.substr(1));
        json.assign(bytes.begin(), bytes.end());
    }
    nlohmann::json value;
    try {
        value = nlohmann::json::parse(json);
    } catch (const nlohmann::json::parse_error& e) {
        throw Failure{"votally encode: " + option + " is not valid JSON: " + e.what()};
    }
    if (!value.is_object()) {
        throw Failure{"votally encode: " + option + " must be a JSON object of field values"};
    }
    TallyPayload payload;
    for (const auto& [name, v] : value.items()) {
        const std::string where = "votally encode: " + option + ": the value of '" + name + "'";
        if (v.is_string()) {
            payload.emplace(name, TallyValue(v.get<std::string>()));
        } else if (v.is_boolean()) {
            payload.emplace(name, TallyValue(v.get<bool>()));
        } else if (v.is_number_unsigned()) {
            const auto u = v.get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                throw Failure{where + " does not fit a signed 64-bit integer"};
            }
            payload.emplace(name, TallyValue(static_cast<std::int64_t>(u)));
        } else if (v.is_number_integer()) {
            payload.emplace(name, TallyValue(v.get<std::int64_t>()));
        } else {
            throw Failure{where + " is " + std::string(v.type_name()) +
                          "; only strings, integers and booleans are allowed"};
        }
    }
    return payload;
}

std::int64_t parseProduct(const std::string& text) {
    std::size_t used = 0;
    long long value = 0;
    bool ok = !text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) != 0 ||
                                text[0] == '-' || text[0] == '+');
    if (ok) {
        try {
            value = std::stoll(text, &used, 10);
        } catch (const std::exception&) {
            ok = false;
        }
    }
    if (!ok || used != text.size()) {
        throw Failure{"votally encode: --product '" + text + "' is not a whole decimal number"};
    }
    return value;
}

int encodeCommand(const std::vector<std::string>& argv) {
    const std::string cmd = "encode";
    const Arguments args = parseArguments(
        cmd, argv,
        {"--vfmt", "--product", "--public-table", "--public", "--table", "--payload", "-o"});
    if (!args.positional.empty()) {
        throw Failure{"votally encode: unexpected argument '" + args.positional.front() + "'"};
    }
    const std::string& vfmtPath = required(args, cmd, "--vfmt");
    const std::int64_t product = parseProduct(required(args, cmd, "--product"));
    const std::string& publicName = required(args, cmd, "--public-table");
    const std::string& tableName = required(args, cmd, "--table");
    const TallyPayload publicPayload = parsePayload("--public", required(args, cmd, "--public"));
    const TallyPayload payload = parsePayload("--payload", required(args, cmd, "--payload"));

    VoTallyFormat format = loadFormat(cmd, vfmtPath);
    tally::TableFormat* publicTable = format.getTable(publicName);
    if (publicTable == nullptr) {
        throw Failure{"votally encode: '" + vfmtPath + "' defines no table '" + publicName + "'"};
    }
    tally::TableFormat* table = format.getTable(tableName);
    if (table == nullptr) {
        throw Failure{"votally encode: '" + vfmtPath + "' defines no table '" + tableName + "'"};
    }
    auto batch = tally::assembleBatch(product, *publicTable, publicPayload, *table, payload);
    if (!batch) {
        throw Failure{"votally encode: " + std::string(tally::toString(batch.error().error)) +
                      ": " + batch.error().description};
    }
    const auto out = args.options.find("-o");
    if (out == args.options.end() || out->second == "-") {
        writeAll(stdout, batch.value().data(), batch.value().size(), "standard output");
    } else {
        writeFileAtomically(out->second, batch.value());
    }
    return 0;
}

std::string hex8(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

nlohmann::json toJson(const std::optional<TallyValue>& value) {
    if (!value) {
        return nullptr;
    }
    if (value->isText()) {
        return value->text();
    }
    if (value->isInteger()) {
        return value->integer();
    }
    return value->boolean();
}

int decodeCommand(const std::vector<std::string>& argv) {
    const std::string cmd = "decode";
    const Arguments args = parseArguments(cmd, argv, {"--vfmt"});
    if (args.positional.size() > 1) {
        throw Failure{"votally decode: more than one batch file given"};
    }
    const std::string input = args.positional.empty() ? "-" : args.positional.front();
    const VoTallyFormat format = loadFormat(cmd, required(args, cmd, "--vfmt"));
    const ByteBuffer bytes = readInput(input);
    auto decoded = tally::decodeBatch(format, bytes);
    if (!decoded) {
        throw Failure{"votally decode: " +
                      (input == "-" ? std::string("standard input") : "'" + input + "'") + ": " +
                      decoded.error()};
    }
    const tally::DecodedBatch& batch = decoded.value();
    nlohmann::ordered_json out;
    out["header"] = {{"size", batch.header.size},
                     {"version", batch.header.version},
                     {"product", batch.header.product},
                     {"count", batch.header.count},
                     {"crc32", hex8(batch.header.crc32)}};
    out["size"] = batch.actualSize;
    out["size_ok"] = batch.sizeOk;
    out["crc32"] = hex8(batch.actualCrc);
    out["crc_ok"] = batch.crcOk;
    out["records"] = nlohmann::ordered_json::array();
    for (const auto& record : batch.records) {
        nlohmann::ordered_json fields = nlohmann::ordered_json::object();
        for (const auto& field : record.fields) {
            // A definition may name a field twice; later ones get "#2", "#3"... so none is lost.
            std::string key = field.name;
            for (int n = 2; fields.contains(key); ++n) {
                key = field.name + "#" + std::to_string(n);
            }
            fields[key] = toJson(field.value);
        }
        out["records"].push_back({{"table", record.tableName},
                                  {"index", record.index},
                                  {"offset", record.offset},
                                  {"length", record.length},
                                  {"fields", std::move(fields)}});
    }
    // Text that is not UTF-8 is shown with U+FFFD rather than failing the whole output.
    const std::string text =
        out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    writeAll(stdout, text.data(), text.size(), "standard output");
    return 0;
}

int crcCommand(const std::vector<std::string>& argv) {
    const Arguments args = parseArguments("crc", argv, {});
    if (args.positional.size() > 1) {
        throw Failure{"votally crc: more than one file given"};
    }
    const ByteBuffer bytes = readInput(args.positional.empty() ? "-" : args.positional.front());
    const std::string text = hex8(tally::crc32(0, bytes.data(), bytes.size())) + "\n";
    writeAll(stdout, text.data(), text.size(), "standard output");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Telemetry lines (skipped definition lines, refused values) explain failures: show them.
    tally::VoLogUtil::setSink([](std::string_view line) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fputc('\n', stderr);
    });
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kUsage.data(), stderr);
        return 1;
    }
    const std::string command = args.front();
    args.erase(args.begin());
    try {
        if (command == "encode") {
            return encodeCommand(args);
        }
        if (command == "decode") {
            return decodeCommand(args);
        }
        if (command == "crc") {
            return crcCommand(args);
        }
        if (command == "help" || command == "--help" || command == "-h") {
            std::fputs(kUsage.data(), stdout);
            return 0;
        }
        throw Failure{"votally: unknown command '" + command + "'\n" + std::string(kUsage)};
    } catch (const Failure& failure) {
        std::fprintf(stderr, "%s\n", failure.message.c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "votally %s: %s\n", command.c_str(), e.what());
        return 1;
    }
}
