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

std::vector<std::string> fieldSummary(const TableFormat& table) {
    std::vector<std::string> out;
    for (const auto& f : table.getFields()) {
        out.push_back(f->keyName.value_or("?") + ":" + f->keyType.value_or("?") + "/" +
                      std::to_string(f->typeSize));
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

TEST(DefinitionLine, NameIndexAndFieldsInLineOrder) {
    TableFormat table(std::string_view("sample_table:7 a:string b:int"));
    EXPECT_FALSE(table.parseProblem());
    EXPECT_EQ(table.getTableName(), "sample_table");
    EXPECT_EQ(table.getTableIndex(), 7);
    EXPECT_EQ(fieldSummary(table), (std::vector<std::string>{"a:string/0", "b:int/4"}));
}

TEST(DefinitionLine, SpacesAndColonsCollapse) {
    TableFormat table(std::string_view("  t:+3   a::int :b:byte c:short:x  "));
    EXPECT_FALSE(table.parseProblem());
    EXPECT_EQ(table.getTableIndex(), 3);
    EXPECT_EQ(fieldSummary(table), (std::vector<std::string>{"a:int/4", "b:byte/1", "c:short/2"}));
}

TEST(DefinitionLine, IndexThatIsNotAWholeNumberIsAbsent) {
    for (const char* line : {"t:7x", "t:x", "t:1.5", "t:--1", "t:+", "t:99999999999999999999"}) {
        TableFormat table{std::string_view(line)};
        EXPECT_FALSE(table.parseProblem()) << line;
        EXPECT_EQ(table.getTableName(), "t") << line;
        EXPECT_FALSE(table.getTableIndex()) << line;
    }
    EXPECT_EQ(TableFormat(std::string_view("t:-12")).getTableIndex(), -12);
}

TEST(DefinitionLine, LinesOutsideTheSyntaxNameTheirProblem) {
    EXPECT_TRUE(TableFormat(std::string_view("   ")).parseProblem());
    EXPECT_TRUE(TableFormat(std::string_view("no_index a:int")).parseProblem());
    EXPECT_TRUE(TableFormat(std::string_view(":: a:int")).parseProblem());
    EXPECT_TRUE(TableFormat(std::string_view("t:1 a")).parseProblem());
    EXPECT_TRUE(TableFormat(std::string_view("t:1 a:Int")).parseProblem()) << "case-sensitive";
    EXPECT_TRUE(TableFormat(std::string_view("t:1 a:int\t")).parseProblem()) << "tab is no space";
    EXPECT_TRUE(TableFormat(std::nullopt).parseProblem());
}

TEST(Registry, CrLfAndLfFilesGiveTheSameTables) {
    const auto dir = corvane::test::sourceDir() / "tests/data/tally";
    auto lf = VoTallyFormat::fromFile(dir / "sample.vfmt");
    auto crlf = VoTallyFormat::fromFile(dir / "sample_crlf.vfmt");
    ASSERT_TRUE(lf.ok()) << lf.error();
    ASSERT_TRUE(crlf.ok()) << crlf.error();
    ASSERT_EQ(lf.value().tables().size(), 3u);
    ASSERT_EQ(crlf.value().tables().size(), 3u);
    for (const auto& [name, table] : lf.value().tables()) {
        const TableFormat* other = crlf.value().getTable(name);
        ASSERT_NE(other, nullptr) << name;
        EXPECT_EQ(fieldSummary(table), fieldSummary(*other)) << name;
        EXPECT_EQ(table.getTableIndex(), other->getTableIndex());
    }
}

TEST(Registry, BlankLinesSkippedLaterDuplicateWinsNamesAreCaseSensitive) {
    auto format = registryOf("t:1 a:int\n\n\r\nu:2 b:byte\nt:3 c:short\n");
    ASSERT_NE(format.getTable("t"), nullptr);
    EXPECT_EQ(format.getTable("t")->getTableIndex(), 3);
    EXPECT_EQ(fieldSummary(*format.getTable("t")), std::vector<std::string>{"c:short/2"});
    EXPECT_EQ(format.getTable("T"), nullptr);
    EXPECT_EQ(format.getTable("U"), nullptr);
    EXPECT_NE(format.getTable("u"), nullptr);
}

TEST(Registry, ALoneCarriageReturnBelongsToItsLine) {
    auto format = registryOf("t:1 a:int\rb:byte\nu:2 c:byte\r");
    EXPECT_EQ(format.getTable("t"), nullptr) << "the type 'int\\rb' is unknown";
    EXPECT_EQ(format.getTable("u"), nullptr) << "the last line's type is 'byte\\r'";
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
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "[VoTally] VoTallyFormat => WARN: skipped line 2 'bad_no_index': table token "
                  "'bad_no_index' has no ':' index part",
                  "[VoTally] VoTallyFormat => WARN: skipped line 3 'bad_field:2 a': field token "
                  "'a' has no type",
                  "[VoTally] VoTallyFormat => WARN: skipped line 4 'bad_type:3 a:float': field "
                  "token 'a:float' has the unknown type 'float'",
                  "[VoTally] VoTallyFormat => WARN: skipped line 5 '   ': no table name (the "
                  "line holds only spaces)"}));
}

TEST(Registry, TextThatIsNotUtf8IsRefusedAByteOrderMarkIsNot) {
    EXPECT_FALSE(VoTallyFormat::fromText("t:1 a:int\n\xFF\xFE").ok());
    auto bom = VoTallyFormat::fromText("\xEF\xBB\xBFt:1 a:int\n");
    ASSERT_TRUE(bom.ok());
    EXPECT_NE(bom.value().getTable("t"), nullptr);
}

TEST(Registry, TablesAreFoundByIndex) {
    auto format = registryOf("a:1\nb:2\nc:1\n");
    const auto ones = format.tablesWithIndex(1);
    ASSERT_EQ(ones.size(), 2u);
    EXPECT_EQ(ones[0]->getTableName(), "a");
    EXPECT_EQ(ones[1]->getTableName(), "c");
    EXPECT_TRUE(format.tablesWithIndex(9).empty());
}

TEST(BundleResource, MissingIsEmptyAndSilentUnreadableLogsTheLoadLine) {
    TempDir bundle;
    std::filesystem::create_directories(bundle / "Contents/Resources");
    ScopedEnv env("CORVANE_BUNDLE", bundle.str());
    ScopedVoLogCapture log;

    VoTallyFormat missing("vfmt.dat");
    EXPECT_TRUE(missing.tables().empty());
    EXPECT_TRUE(log.lines().empty());

    writeFile(bundle / "Contents/Resources/vfmt.dat", "t:1 a:int\n\xC0\xAF\n");
    VoTallyFormat unreadable("vfmt.dat");
    EXPECT_TRUE(unreadable.tables().empty());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(
        log.containsPrefix("[VoTally] VoTallyControl => ERROR: load vfmt failed!!! error:'"));

    log.clear();
    writeFile(bundle / "Contents/Resources/vfmt.dat", "t:1 a:int\r\nu:2\r\n");
    VoTallyFormat loaded("vfmt.dat");
    EXPECT_EQ(loaded.tables().size(), 2u);
    EXPECT_TRUE(log.lines().empty());
}

TEST(RecordLayout, BitBytesComeRightAfterTheIndexWhereverTheBitFieldsStand) {
    auto format = registryOf("sample_table:7 a:byte f1:bit b:string f2:bit\n");
    TableFormat& table = *format.getTable("sample_table");
    EXPECT_EQ(hexOf(record(table, {{"a", 5}, {"f1", false}, {"f2", 0}, {"b", ""}})),
              "07 00 03 05 00 00");
    EXPECT_EQ(table.getFields()[0]->keyValue, TallyValue(5)) << "the value stays until the next";
}

TEST(RecordLayout, AMissingFieldFailsTheRecordWithParse) {
    auto format = registryOf("sample_table:7 a:byte f1:bit b:string f2:bit\n");
    TableFormat& table = *format.getTable("sample_table");
    ByteBuffer out;
    try {
        table.write(out, {{"a", 5}, {"f1", true}, {"b", ""}});
        FAIL() << "f2 is missing";
    } catch (const TallyException& e) {
        EXPECT_EQ(e.error(), TallyError::parse);
        EXPECT_EQ(std::string(e.what()), "table 'sample_table': field 'f2' (bit) has no value");
    }
    EXPECT_THROW(table.write(out, {}), TallyException) << "an empty payload has no values";
}

TEST(RecordLayout, TenBitFieldsTakeTwoBytesFFThen00) {
    std::string line = "flags:258";
    TallyPayload payload;
    for (int i = 0; i < 10; ++i) {
        line += " f" + std::to_string(i) + ":bit";
        payload["f" + std::to_string(i)] = TallyValue(i % 2 == 0);
    }
    auto format = registryOf(line + " n:short\n");
    payload["n"] = 0x0102;
    EXPECT_EQ(hexOf(record(*format.getTable("flags"), payload)), "02 01 FF 00 02 01");
}

TEST(RecordLayout, TheMaskHasOneBitPerBitFieldUpToEight) {
    for (int n = 1; n <= 9; ++n) {
        std::string line = "t:1";
        TallyPayload payload;
        for (int i = 0; i < n; ++i) {
            line += " b" + std::to_string(i) + ":bit";
            payload["b" + std::to_string(i)] = 1;
        }
        auto format = registryOf(line);
        const ByteBuffer bytes = record(*format.getTable("t"), payload);
        const int expected = n >= 8 ? 0xFF : (1 << n) - 1;
        ASSERT_GE(bytes.size(), 3u);
        EXPECT_EQ(bytes[2], expected) << n << " bit fields";
        EXPECT_EQ(bytes.size(), 2u + static_cast<std::size_t>((n + 7) / 8));
    }
}

TEST(RecordLayout, EveryTypeInDefinitionOrder) {
    auto format = registryOf("all:513 i:int l:int64 s:short b:byte t:string x:binary\n");
    const TallyPayload payload = {{"i", -1}, {"l", 2},   {"s", 3},
                                  {"b", 4},  {"t", "A"}, {"x", "beef"}};
    EXPECT_EQ(hexOf(record(*format.getTable("all"), payload)),
              "01 02 FF FF FF FF 02 00 00 00 00 00 00 00 03 00 04 01 00 1B 02 00 BE EF");
}

TEST(RecordLayout, WrongKindsAndUnwritableIndexesAreDataInvalid) {
    auto format = registryOf("t:1 n:int x:binary\nnoindex:abc a:int\nhigh:65536 a:int\nneg:-1\n");
    ByteBuffer out;
    auto failure = format.getTable("t")->tryWrite(out, {{"n", "12"}, {"x", "00"}});
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->error, TallyError::data_invalid);
    EXPECT_TRUE(out.empty()) << "tryWrite leaves the buffer as it was";
    failure = format.getTable("t")->tryWrite(out, {{"n", 12}, {"x", 12}});
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->error, TallyError::data_invalid);

    ScopedVoLogCapture log;
    for (const char* name : {"noindex", "high", "neg"}) {
        failure = format.getTable(name)->tryWrite(out, {{"a", 1}});
        ASSERT_TRUE(failure) << name;
        EXPECT_EQ(failure->error, TallyError::data_invalid) << name;
    }
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "[VoTally] TableFormat => ERROR: table 'noindex' has no index",
                  "[VoTally] TableFormat => ERROR: table 'high' has the index 65536, outside "
                  "0..65535",
                  "[VoTally] TableFormat => ERROR: table 'neg' has the index -1, outside "
                  "0..65535"}));
    auto edge = registryOf("top:65535\n");
    EXPECT_EQ(hexOf(record(*edge.getTable("top"), {})), "FF FF");
}

TEST(RecordLayout, CopiesOwnTheirFields) {
    auto format = registryOf("t:1 a:int\n");
    TableFormat copy = *format.getTable("t");
    ByteBuffer out;
    copy.write(out, {{"a", 9}});
    EXPECT_EQ(copy.getFields()[0]->keyValue, TallyValue(9));
    EXPECT_FALSE(format.getTable("t")->getFields()[0]->keyValue);
}

}  // namespace
}  // namespace tally
