// The votally tool, run as a real process: encode, decode and crc, and its refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/test_support.h"
#include "tally/crc32.h"
#include "tally_test_util.h"

namespace tally {
namespace {

using corvane::test::readFile;
using corvane::test::TempDir;
using corvane::test::writeFile;
using test::bytesOf;
using test::hexOf;

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

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

    Run votally(const std::vector<std::string>& args,
                const std::optional<std::filesystem::path>& input = std::nullopt) {
        std::string cmd = "exec " + shellQuote(VOTALLY_PATH);
        for (const auto& a : args) {
            cmd += " " + shellQuote(a);
        }
        cmd += " >" + shellQuote((dir / "stdout").string()) + " 2>" +
               shellQuote((dir / "stderr").string());
        cmd += " <" + shellQuote(input ? input->string() : "/dev/null");
        corvane::platform::ProcessOptions options;
        options.timeout = std::chrono::seconds(30);
        const auto result = corvane::platform::runProcess("/bin/sh", {"-c", cmd}, options);
        EXPECT_TRUE(result.started) << result.startError;
        return {result.exitStatus, readFile(dir / "stdout"), readFile(dir / "stderr")};
    }

    std::vector<std::string> encodeArgs(const std::string& payload) {
        return {"encode",    "--vfmt",       vfmt,
                "--product", "42",           "--public-table",
                "pub",       "--public",     R"({"uuid":"ab","ver":3})",
                "--table",   "sample_table", "--payload",
                payload};
    }

    // Expects the refusal shape: status 1, nothing on standard output, `message` on standard
    // error.
    void expectRefused(const Run& run, const std::string& message) {
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    }

    TempDir dir;
    std::string vfmt;
    const std::string samplePayload = R"({"a":5,"f1":true,"f2":0,"b":""})";
};

TEST_F(VotallyTest, EncodeWritesTheBatchByteForByte) {
    const Run run = votally(encodeArgs(samplePayload));
    ASSERT_EQ(run.status, 0) << run.err;
    const ByteBuffer batch = bytesOf(run.out);
    // Public record: 01 00, "ab" masked (3B 38) with its count, the byte 03.
    const ByteBuffer records = {0x01, 0x00, 0x02, 0x00, 0x3B, 0x38, 0x03,
                                0x07, 0x00, 0x03, 0x05, 0x00, 0x00};
    const ByteBuffer head = {0x1A, 0x00, 0x02, 0x2A, 0x00, 0x00, 0x00, 0x02, 0x00};
    ASSERT_EQ(batch.size(), 26u);
    EXPECT_EQ(hexOf(ByteBuffer(batch.begin(), batch.begin() + 9)), hexOf(head));
    EXPECT_EQ(hexOf(ByteBuffer(batch.begin() + 13, batch.end())), hexOf(records));
    const std::uint32_t crc = crc32(0, records.data(), records.size());
    std::uint32_t stored = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        stored |= static_cast<std::uint32_t>(batch[9 + i]) << (8 * i);
    }
    EXPECT_EQ(stored, crc);

    const auto out = dir / "batch.bin";
    auto args = encodeArgs(samplePayload);
    args.insert(args.end(), {"-o", out.string()});
    const Run toFile = votally(args);
    ASSERT_EQ(toFile.status, 0) << toFile.err;
    EXPECT_TRUE(toFile.out.empty());
    EXPECT_EQ(readFile(out), run.out);
}

TEST_F(VotallyTest, DecodeShowsHeaderChecksAndFieldsByName) {
    const auto batchFile = dir / "batch.bin";
    writeFile(batchFile, votally(encodeArgs(samplePayload)).out);
    for (const bool fromStdin : {false, true}) {
        const Run run = fromStdin ? votally({"decode", "--vfmt", vfmt, "-"}, batchFile)
                                  : votally({"decode", "--vfmt=" + vfmt, batchFile.string()});
        ASSERT_EQ(run.status, 0) << run.err;
        const auto json = nlohmann::json::parse(run.out);
        EXPECT_EQ(json["header"]["size"], 26);
        EXPECT_EQ(json["header"]["version"], 2);
        EXPECT_EQ(json["header"]["product"], 42);
        EXPECT_EQ(json["header"]["count"], 2);
        EXPECT_EQ(json["size_ok"], true);
        EXPECT_EQ(json["crc_ok"], true);
        EXPECT_EQ(json["crc32"], json["header"]["crc32"]);
        ASSERT_EQ(json["records"].size(), 2u);
        EXPECT_EQ(json["records"][0]["table"], "pub");
        EXPECT_EQ(json["records"][0]["fields"], nlohmann::json::parse(R"({"uuid":"ab","ver":3})"));
        EXPECT_EQ(json["records"][1]["table"], "sample_table");
        EXPECT_EQ(json["records"][1]["index"], 7);
        EXPECT_EQ(json["records"][1]["offset"], 20);
        EXPECT_EQ(json["records"][1]["fields"],
                  nlohmann::json::parse(R"({"a":5,"f1":true,"b":"","f2":true})"));
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
    auto withOut = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"-o", out.string()});
        return args;
    };
    expectRefused(votally(withOut(encodeArgs(R"({"a":5,"f1":1,"b":""})"))),
                  "votally encode: parse: table 'sample_table': field 'f2' (bit) has no value");
    expectRefused(votally(withOut(encodeArgs(R"({"a":"5","f1":1,"f2":1,"b":""})"))),
                  "votally encode: data_invalid: table 'sample_table': field 'a' (byte)");
    expectRefused(votally(withOut(encodeArgs(R"({"a":1.5})"))),
                  "--payload: the value of 'a' is number; only strings, integers and booleans");
    expectRefused(votally(withOut(encodeArgs(R"({"a":18446744073709551615})"))),
                  "the value of 'a' does not fit a signed 64-bit integer");
    expectRefused(votally(withOut(encodeArgs("[1]"))), "--payload must be a JSON object");
    expectRefused(votally(withOut(encodeArgs("{"))), "votally encode: --payload is not valid JSON");
    EXPECT_FALSE(std::filesystem::exists(out));

    auto args = encodeArgs(samplePayload);
    args[4] = "4294967296";
    expectRefused(votally(args), "product id 4294967296 is outside 0..4294967295");
    args[4] = "12x";
    expectRefused(votally(args), "--product '12x' is not a whole decimal number");
    args = encodeArgs(samplePayload);
    args[10] = "nope";
    expectRefused(votally(args), "'" + vfmt + "' defines no table 'nope'");
    expectRefused(votally({"encode", "--vfmt", vfmt}), "missing option '--product'");
    expectRefused(votally({"encode", "--bogus", "1"}), "unknown option '--bogus'");
    expectRefused(votally({"frobnicate"}), "votally: unknown command 'frobnicate'");
    EXPECT_EQ(votally({}).status, 1);
}

TEST_F(VotallyTest, PayloadFromAFileAndSkippedDefinitionLinesOnStandardError) {
    writeFile(dir / "payload.json", samplePayload);
    writeFile(vfmt, "broken line\nsample_table:7 a:byte f1:bit b:string f2:bit\npub:1\n");
    auto args = encodeArgs("@" + (dir / "payload.json").string());
    args[8] = "{}";
    const Run run = votally(args);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.size(), 13u + 2u + 6u);
    EXPECT_NE(run.err.find("[VoTally] VoTallyFormat => WARN: skipped line 1 'broken line'"),
              std::string::npos)
        << run.err;
}

}  // namespace
}  // namespace tally
