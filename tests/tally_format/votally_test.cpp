// The votally tool, run as a real process: encode, decode and crc, and its refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/test_support.h"
#include "tally_test_util.h"

namespace tally {
namespace {

using corvane::test::readFile;
using corvane::test::TempDir;
using corvane::test::writeFile;
using test::bytesOf;
using test::hexOf;

class VotallyTest : public ::testing::Test {
  protected:
    struct Run {
        int status = -1;
        std::string out;
        std::string err;
    };

    void SetUp() override {
        vfmt = (dir / "vfmt.dat").string();
        writeFile(vfmt,
                  "sample_table:7 a:byte f1:bit b:string f2:bit\r\n"
                  "pub:1 uuid:string ver:byte\r\n");
    }

    Run votally(std::vector<std::string> args, const std::filesystem::path& input = "/dev/null") {
        const std::string out = (dir / "stdout").string();
        const std::string err = (dir / "stderr").string();
        // Temporary folders hold no quote, so the redirections need no escaping.
        args.insert(
            args.begin(),
            {"-c", "exec \"$0\" \"$@\" >'" + out + "' 2>'" + err + "' <'" + input.string() + "'",
             VOTALLY_PATH});
        corvane::platform::ProcessOptions options;
        options.timeout = std::chrono::seconds(30);
        const auto result = corvane::platform::runProcess("/bin/sh", args, options);
        EXPECT_TRUE(result.started) << result.startError;
        return {result.exitStatus, readFile(out), readFile(err)};
    }

    std::vector<std::string> encodeArgs(const std::string& payload) {
        return {"encode",    "--vfmt",       vfmt,
                "--product", "42",           "--public-table",
                "pub",       "--public",     R"({"uuid":"ab","ver":3})",
                "--table",   "sample_table", "--payload",
                payload};
    }

    // The refusal shape: status 1, nothing on standard output, `message` on standard error.
    void expectRefused(const Run& run, const std::string& message) {
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    }

    TempDir dir;
    std::string vfmt;
    const std::string samplePayload = R"({"a":5,"f1":true,"f2":0,"b":""})";
};

TEST_F(VotallyTest, EncodeWritesTheBatchByteForByteDecodeShowsItByName) {
    const Run run = votally(encodeArgs(samplePayload));
    ASSERT_EQ(run.status, 0) << run.err;
    // Header (size 26, version 2, product 42, count 2, CRC), then the two records.
    EXPECT_EQ(hexOf(bytesOf(run.out)),
              "1A 00 02 2A 00 00 00 02 00 21 77 51 48 01 00 02 00 3B 38 03 07 00 03 05 00 00");

    const auto batchFile = dir / "batch.bin";
    auto args = encodeArgs(samplePayload);
    args.insert(args.end(), {"-o", batchFile.string()});
    const Run toFile = votally(args);
    ASSERT_EQ(toFile.status, 0) << toFile.err;
    EXPECT_TRUE(toFile.out.empty());
    EXPECT_EQ(readFile(batchFile), run.out);

    for (const bool fromStdin : {false, true}) {
        const Run decoded = fromStdin ? votally({"decode", "--vfmt", vfmt, "-"}, batchFile)
                                      : votally({"decode", "--vfmt=" + vfmt, batchFile.string()});
        ASSERT_EQ(decoded.status, 0) << decoded.err;
        auto json = nlohmann::json::parse(decoded.out);
        EXPECT_EQ(json["records"][1]["offset"], 20);
        for (auto& r : json["records"]) {
            r.erase("offset");
            r.erase("length");
        }
        EXPECT_EQ(json, nlohmann::json::parse(R"({"header": {"size": 26, "version": 2,
            "product": 42, "count": 2, "crc32": "48517721"}, "size": 26, "size_ok": true,
            "crc32": "48517721", "crc_ok": true, "records": [
            {"table": "pub", "index": 1, "fields": {"uuid": "ab", "ver": 3}},
            {"table": "sample_table", "index": 7,
             "fields": {"a": 5, "f1": true, "b": "", "f2": true}}]})"));
    }
}

TEST_F(VotallyTest, DecodeReportsACorruptedCrcAndRefusesWhatItCannotRead) {
    std::string batch = votally(encodeArgs(samplePayload)).out;
    batch[14] = 9;  // the public record's index high byte
    writeFile(dir / "bad.bin", batch);
    expectRefused(votally({"decode", "--vfmt", vfmt, (dir / "bad.bin").string()}),
                  "votally decode: '" + (dir / "bad.bin").string() +
                      "': record 1 of 2: record at offset 13: no table has the index 2305");

    batch = votally(encodeArgs(samplePayload)).out;
    batch[batch.size() - 2] = 1;  // the sample record's empty string count: the CRC fails...
    batch += '\0';                // ...and a byte of its text follows
    writeFile(dir / "crc.bin", batch);
    const Run run = votally({"decode", "--vfmt", vfmt, (dir / "crc.bin").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto json = nlohmann::json::parse(run.out);
    EXPECT_EQ(json["crc_ok"], false);
    EXPECT_EQ(json["size_ok"], false);
    EXPECT_EQ(json["size"], 27);
    EXPECT_EQ(json["records"][1]["fields"]["b"], "Z") << "0x00 unmasked is 0x5A";

    expectRefused(votally({"decode", "--vfmt", vfmt}, dir / "vfmt.dat"),
                  "votally decode: standard input: the batch version at offset 2 is");
    expectRefused(votally({"decode", "--vfmt", (dir / "none.dat").string(), "-"}),
                  "cannot load the table definitions: cannot open '" + (dir / "none.dat").string() +
                      "': No such file or directory");
}

TEST_F(VotallyTest, CrcPrintsEightLowerCaseHexDigits) {
    writeFile(dir / "digits", "123456789");
    const Run file = votally({"crc", (dir / "digits").string()});
    EXPECT_EQ(file.status, 0);
    EXPECT_EQ(file.out, "cbf43926\n");
    EXPECT_EQ(votally({"crc", "-"}, dir / "digits").out, "cbf43926\n");
    EXPECT_EQ(votally({"crc"}).out, "00000000\n") << "no bytes";
    expectRefused(votally({"crc", (dir / "missing").string()}),
                  "cannot read '" + (dir / "missing").string() + "': No such file or directory");
}

TEST_F(VotallyTest, EncodeRefusalsSayPreciselyWhatIsWrongAndWriteNothing) {
    const auto out = dir / "never.bin";
    const auto encode = [&](std::size_t at, const std::string& value) {
        auto args = encodeArgs(samplePayload);
        args[at] = value;
        args.insert(args.end(), {"-o", out.string()});
        return args;
    };
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {encode(12, R"({"a":5,"f1":1,"b":""})"),
         "votally encode: parse: table 'sample_table': field 'f2' (bit) has no value"},
        {encode(12, R"({"a":"5","f1":1,"f2":1,"b":""})"),
         "votally encode: data_invalid: table 'sample_table': field 'a' (byte) does not accept "
         "text"},
        {encode(12, R"({"a":1.5})"),
         "--payload: the value of 'a' is number; only strings, integers and booleans"},
        {encode(12, R"({"a":18446744073709551615})"),
         "the value of 'a' does not fit a signed 64-bit integer"},
        {encode(12, "{"), "votally encode: --payload is not valid JSON"},
        {encode(4, "4294967296"), "product id 4294967296 is outside 0..4294967295"},
        {encode(4, "12x"), "--product '12x' is not a whole decimal number"},
        {encode(10, "nope"), "'" + vfmt + "' defines no table 'nope'"},
        {{"encode", "--vfmt", vfmt}, "missing option '--product'"},
        {{"frobnicate"}, "votally: unknown command 'frobnicate'"},
    };
    for (const auto& [args, message] : rows) {
        SCOPED_TRACE(message);
        expectRefused(votally(args), message);
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
}  // namespace tally
