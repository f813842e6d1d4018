// The shipped telemetry resources against the reporter: every milestone the reporter can send
// encodes with resources/vfmt.dat and decodes back to what was sent, and resources/vctrl.dat
// names a product and a server for both tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "setup/install_result.h"
#include "setup/reporter.h"
#include "support/test_support.h"
#include "tally/batch.h"
#include "tally/decoder.h"
#include "tally/vo_tally_control.h"
#include "tally/vo_tally_format.h"

namespace corvane {
namespace {

using tally::TallyPayload;
using tally::TallyValue;

const ENUMInstallResult kEveryMilestone[] = {
    ENUMInstallResult::Install_succeeded,
    ENUMInstallResult::Quit_over_existing,
    ENUMInstallResult::Quit,
    ENUMInstallResult::Download_failed,
    ENUMInstallResult::Download_retried,
    ENUMInstallResult::Install_failed,
    ENUMInstallResult::Install_retried,
    ENUMInstallResult::Product_running,
    ENUMInstallResult::Agreement_missing,
    ENUMInstallResult::Agreement_accepted,
    ENUMInstallResult::Agreement_closed,
    ENUMInstallResult::Agreement_cancelled,
    ENUMInstallResult::Options_opened,
    ENUMInstallResult::Options_closed,
    ENUMInstallResult::Default_reader_chosen,
    ENUMInstallResult::Default_reader_declined,
    ENUMInstallResult::Services_permitted,
    ENUMInstallResult::Services_declined,
    ENUMInstallResult::Exit_cancelled,
    ENUMInstallResult::Window_minimised,
    ENUMInstallResult::Product_opened,
    ENUMInstallResult::Silent_setup_started,
    ENUMInstallResult::Setup_started,
    ENUMInstallResult::Setup_ended,
};

// The decoded fields of a record as a payload, to compare with what was sent.
TallyPayload fieldsOf(const tally::DecodedRecord& record) {
    TallyPayload fields;
    for (const tally::DecodedField& f : record.fields) {
        if (f.value) {
            fields[f.name] = *f.value;
        }
    }
    return fields;
}

class ShippedResources : public ::testing::Test {
  protected:
    void SetUp() override {
        auto format = tally::VoTallyFormat::fromFile(test::sourceDir() / "resources/vfmt.dat");
        ASSERT_TRUE(format.ok()) << format.error();
        mFormat = std::move(format).value();
        mControl.emplace(tally::VoTallyControl::fromText(
            test::readFile(test::sourceDir() / "resources/vctrl.dat")));
    }

    tally::VoTallyFormat mFormat;
    std::optional<tally::VoTallyControl> mControl;
};

TEST_F(ShippedResources, EveryMilestoneEncodesAndDecodesBack) {
    tally::TableFormat* publicTable = mFormat.getTable("pallo_public");
    tally::TableFormat* installTable = mFormat.getTable("pallo_tools_install");
    ASSERT_NE(publicTable, nullptr);
    ASSERT_NE(installTable, nullptr);

    // Ordinary facts, and the widest values each field of the block can hold.
    Reporter reporter(nullptr);
    ReportBlock ordinary;
    ordinary.uuid = "0123456789abcdef0123456789abcdef";
    ordinary.svrid = ordinary.uuid;
    ordinary.tid1 = 101;
    ordinary.tid2 = 202;
    ordinary.tod1 = 3;
    ordinary.tod2 = 4;
    ReportBlock extreme = ordinary;
    extreme.tid1 = std::numeric_limits<int64_t>::max();
    extreme.tid2 = std::numeric_limits<int64_t>::min();
    extreme.tod1 = -1;
    extreme.tod2 = 0;
    extreme.uuid = "标识-" + std::string(200, 'u');
    extreme.svrid = "";

    int batches = 0;
    for (const ReportBlock& block : {ordinary, extreme}) {
        reporter.data = block;
        const TallyPayload publicPayload = reporter.publicPayload();
        for (const ENUMInstallResult milestone : kEveryMilestone) {
            for (const uint8_t os : {uint8_t{0}, uint8_t{14}, uint8_t{255}}) {
                const TallyPayload install =
                    Reporter::installPayload(true, milestone, true, true, os);
                auto batch = tally::assembleBatch(mControl->getProductId(), *publicTable,
                                                  publicPayload, *installTable, install);
                ASSERT_TRUE(batch.ok()) << rawValue(milestone) << ": " << batch.error().description;
                auto decoded = tally::decodeBatch(mFormat, batch.value());
                ASSERT_TRUE(decoded.ok()) << decoded.error();
                const tally::DecodedBatch& b = decoded.value();
                EXPECT_TRUE(b.crcOk);
                EXPECT_TRUE(b.sizeOk);
                ASSERT_EQ(b.records.size(), 2u);
                EXPECT_EQ(b.records[0].tableName, "pallo_public");
                EXPECT_EQ(fieldsOf(b.records[0]), publicPayload);
                EXPECT_EQ(b.records[1].tableName, "pallo_tools_install");
                EXPECT_EQ(fieldsOf(b.records[1]), install);
                ++batches;
            }
        }
    }
    EXPECT_EQ(batches, 2 * 24 * 3);
}

TEST_F(ShippedResources, DefinitionsHoldExactlyTheReportedFieldsWithFittingTypes) {
    const auto typesOf = [&](std::string_view table) {
        std::map<std::string, std::string> types;
        for (const auto& field : mFormat.getTable(table)->getFields()) {
            types[*field->keyName] = *field->keyType;
        }
        return types;
    };
    EXPECT_EQ(typesOf("pallo_public"), (std::map<std::string, std::string>{
                                           {"uuid", "string"},
                                           {"tid1", "int64"},
                                           {"tid2", "int64"},
                                           {"tod1", "int64"},
                                           {"tod2", "int64"},
                                           {"type", "byte"},
                                           {"tryno", "short"},
                                           {"iid", "int64"},
                                           {"collect_time", "int64"},
                                           {"lastver", "int"},
                                           {"svrid", "string"},
                                           {"wtod2", "string"},
                                           {"usertype_public", "int"},
                                       }));
    EXPECT_EQ(typesOf("pallo_tools_install"), (std::map<std::string, std::string>{
                                                  {"result", "byte"},
                                                  {"reason", "int"},
                                                  {"installtype", "byte"},
                                                  {"silent", "byte"},
                                                  {"os", "byte"},
                                                  {"product_id", "int"},
                                                  {"version", "byte"},
                                                  {"parentproce", "string"},
                                                  {"lastday", "int"},
                                                  {"before_tid1", "string"},
                                                  {"before_tid2", "string"},
                                              }));
    // Exactly the fields the reporter fills: a field it leaves out would fail every report.
    Reporter reporter(nullptr);
    for (const auto& [name, value] : reporter.publicPayload()) {
        EXPECT_TRUE(typesOf("pallo_public").contains(name)) << name;
    }
    for (const auto& [name, value] :
         Reporter::installPayload(false, ENUMInstallResult::Quit, false, false, 0)) {
        EXPECT_TRUE(typesOf("pallo_tools_install").contains(name)) << name;
    }
}

TEST_F(ShippedResources, ControlFileNamesProductServersAndPriorities) {
    const int64_t product = mControl->getProductId();
    EXPECT_GT(product, 0);
    EXPECT_LE(product, int64_t{std::numeric_limits<uint32_t>::max()});
    EXPECT_TRUE(mControl->getServerUrl(int64_t{0}).starts_with("https://"));
    for (const char* table : {"pallo_public", "pallo_tools_install"}) {
        EXPECT_EQ(mControl->getPriority(table), tally::VoTallyControl::DEFAULT_PRIORITY) << table;
        EXPECT_TRUE(mControl->getServerUrl(std::string_view(table)).starts_with("https://"))
            << table;
    }
}

}  // namespace
}  // namespace corvane
