// Table definitions: the line syntax, the registry built from a file, and the record layout.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tally/table_format.h"
#include "tally/vo_log_util.h"
#include "tally/vo_tally_format.h"
#include "tally_test_util.h"

namespace tally {
namespace {

using corvane::test::ScopedEnv;
using corvane::test::TempDir;
using corvane::test::writeFile;
using test::hexOf;

std::string fieldSummary(const TableFormat& table) {
    std::string out;
    for (const auto& f : table.getFields()) {
        out += " " + f->keyName.value_or("?") + ":" + f->keyType.value_or("?") + "/" +
               std::to_string(f->typeSize);
    }
    return out;
}

VoTallyFormat registryOf(std::string_view text) {
    auto result = VoTallyFormat::fromText(text);
    EXPECT_TRUE(result.ok());
    return result.ok() ? std::move(result).value() : VoTallyFormat();
}

ByteBuffer record(TableFormat& table, const TallyPayload& payload) {
    ByteBuffer out;
    table.write(out, payload);
    return out;
}

TEST(DefinitionLine, NameIndexAndFieldsOrTheProblem) {
    struct Row {
        const char* line;
        const char* name;  // nullptr: the line has a problem
        std::optional<std::int64_t> index;
        const char* fields;
    };
    const Row rows[] = {
        {"sample_table:7 a:string b:int", "sample_table", 7, " a:string/0 b:int/4"},
        {"  t:+3   a::int :b:byte c:short:x  ", "t", 3, " a:int/4 b:byte/1 c:short/2"},
        {"t:-12 l:int64 f:bit x:binary", "t", -12, " l:int64/8 f:bit/0 x:binary/0"},
        {"t:0", "t", 0, ""},
        {"t:7x", "t", std::nullopt, ""},  // an index that is not a whole number is absent
        {"t:99999999999999999999", "t", std::nullopt, ""},
        {"   ", nullptr, {}, ""},
        {"no_index a:int", nullptr, {}, ""},
        {":: a:int", nullptr, {}, ""},
        {"t:1 a", nullptr, {}, ""},
        {"t:1 a:Int", nullptr, {}, ""},    // case-sensitive
        {"t:1 a:int\t", nullptr, {}, ""},  // a tab is no space
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        TableFormat table{std::string_view(row.line)};
        EXPECT_EQ(table.parseProblem().has_value(), row.name == nullptr);
        if (row.name != nullptr) {
            EXPECT_EQ(table.getTableName(), row.name);
            EXPECT_EQ(table.getTableIndex(), row.index);
            EXPECT_EQ(fieldSummary(table), row.fields);
        }
    }
    EXPECT_TRUE(TableFormat(std::nullopt).parseProblem());
}

TEST(Registry, BlankLinesSkippedLaterDuplicateWinsCaseSensitiveUtf8Only) {
    auto format = registryOf("t:1 a:int\n\n\r\nu:2 b:byte\nt:3 c:short\n");
    ASSERT_NE(format.getTable("t"), nullptr);
    EXPECT_EQ(format.getTable("t")->getTableIndex(), 3);
    EXPECT_EQ(fieldSummary(*format.getTable("t")), " c:short/2");
    EXPECT_EQ(format.getTable("T"), nullptr);
    EXPECT_NE(format.getTable("u"), nullptr);
    // A lone CR belongs to its line: the types 'int\rb' and 'byte\r' are unknown.
    auto lone = registryOf("t:1 a:int\rb:byte\nu:2 c:byte\r");
    EXPECT_TRUE(lone.tables().empty());
    // Text that is not UTF-8 is refused; a byte order mark is not.
    EXPECT_FALSE(VoTallyFormat::fromText("t:1 a:int\n\xFF\xFE").ok());
    EXPECT_NE(registryOf("\xEF\xBB\xBFt:1 a:int\n").getTable("t"), nullptr);
}

TEST(Registry, UncoveredLinesAreSkippedOneLogLineEachTheRestKept) {
    ScopedVoLogCapture log;
    auto loaded =
        VoTallyFormat::fromFile(corvane::test::sourceDir() / "tests/data/tally/malformed.vfmt");
    ASSERT_TRUE(loaded.ok());
    const auto& format = loaded.value();
    EXPECT_NE(format.getTable("good"), nullptr);
    EXPECT_NE(format.getTable("later"), nullptr);
    EXPECT_EQ(format.tables().size(), 2u);
    const std::string skipped = "[VoTally] VoTallyFormat => WARN: skipped line ";
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  skipped + "2 'bad_no_index': table token 'bad_no_index' has no ':' index part",
                  skipped + "3 'bad_field:2 a': field token 'a' has no type",
                  skipped + "4 'bad_type:3 a:float': field token 'a:float' has the unknown type "
                            "'float'",
                  skipped + "5 '   ': no table name (the line holds only spaces)"}));
}

TEST(BundleResource, MissingIsEmptyAndSilentUnreadableLogsTheLoadLine) {
    TempDir bundle;
    std::filesystem::create_directories(bundle / "Contents/Resources");
    ScopedEnv env("CORVANE_BUNDLE", bundle.str());
    ScopedVoLogCapture log;
    EXPECT_TRUE(VoTallyFormat("vfmt.dat").tables().empty());
    EXPECT_TRUE(log.lines().empty());

    writeFile(bundle / "Contents/Resources/vfmt.dat", "t:1 a:int\n\xC0\xAF\n");
    EXPECT_TRUE(VoTallyFormat("vfmt.dat").tables().empty());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(
        log.containsPrefix("[VoTally] VoTallyControl => ERROR: load vfmt failed!!! error:'"));

    log.clear();
    writeFile(bundle / "Contents/Resources/vfmt.dat", "t:1 a:int\r\nu:2\r\n");
    EXPECT_EQ(VoTallyFormat("vfmt.dat").tables().size(), 2u);
    EXPECT_TRUE(log.lines().empty());
}

TEST(RecordLayout, BitBytesComeRightAfterTheIndexWhereverTheBitFieldsStand) {
    auto format = registryOf("sample_table:7 a:byte f1:bit b:string f2:bit\n");
    TableFormat& table = *format.getTable("sample_table");
    EXPECT_EQ(hexOf(record(table, {{"a", 5}, {"f1", false}, {"f2", 0}, {"b", ""}})),
              "07 00 03 05 00 00");
    TableFormat copy = table;  // a copy owns its fields
    EXPECT_EQ(hexOf(record(copy, {{"a", 6}, {"f1", 1}, {"f2", 1}, {"b", ""}})),
              "07 00 03 06 00 00");
    EXPECT_EQ(table.getFields()[0]->keyValue, TallyValue(5)) << "the value stays until the next";

    ByteBuffer out;
    try {
        table.write(out, {{"a", 5}, {"f1", true}, {"b", ""}});
        FAIL() << "f2 is missing";
    } catch (const TallyException& e) {
        EXPECT_EQ(e.error(), TallyError::parse);
        EXPECT_EQ(std::string(e.what()), "table 'sample_table': field 'f2' (bit) has no value");
    }
}

TEST(RecordLayout, WrongKindsAndUnwritableIndexesAreDataInvalid) {
    auto format = registryOf(
        "t:1 n:int x:binary\nnoindex:abc a:int\nhigh:65536 a:int\nneg:-1\ntop:65535\nzero:0\n");
    ScopedVoLogCapture log;
    struct Row {
        const char* table;
        TallyPayload payload;
        const char* hex;  // nullptr: refused
    };
    const Row rows[] = {
        {"t", {{"n", "12"}, {"x", "00"}}, nullptr},
        {"t", {{"n", 12}, {"x", 12}}, nullptr},
        {"noindex", {{"a", 1}}, nullptr},
        {"high", {{"a", 1}}, nullptr},
        {"neg", {}, nullptr},
        {"top", {}, "FF FF"},
        {"zero", {}, "00 00"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.table);
        ByteBuffer out{0xAA};
        const auto failure = format.getTable(row.table)->tryWrite(out, row.payload);
        EXPECT_EQ(failure.has_value(), row.hex == nullptr);
        if (failure) {
            EXPECT_EQ(failure->error, TallyError::data_invalid);
            EXPECT_EQ(hexOf(out), "AA") << "tryWrite leaves the buffer as it was";
        } else {
            EXPECT_EQ(hexOf(out), std::string("AA ") + row.hex);
        }
    }
    const std::string error = "[VoTally] TableFormat => ERROR: table '";
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{error + "noindex' has no index",
                                        error + "high' has the index 65536, outside 0..65535",
                                        error + "neg' has the index -1, outside 0..65535"}));
}

}  // namespace
}  // namespace tally
