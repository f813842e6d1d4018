// Our CRC-32 next to zlib's on the same buffers (bytes/s of each, so the ratio is read from one
// run), and how many batches per second the encoder and the decoder handle.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>

#include "tally/batch.h"
#include "tally/crc32.h"
#include "tally/decoder.h"
#include "tally/vo_tally_format.h"

namespace {

const std::vector<std::uint8_t>& randomBytes() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> b(1 << 20);
        std::mt19937 rng(1);
        for (auto& x : b) {
            x = static_cast<std::uint8_t>(rng());
        }
        return b;
    }();
    return bytes;
}

void BM_Crc32_Ours(benchmark::State& state) {
    const auto& data = randomBytes();
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(tally::crc32(0, data.data(), n));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// The table loop alone: tally::crc32 hands long buffers to zlib, so continue a CRC over 64-byte
// pieces to keep every call on our own path.
void BM_Crc32_OwnLoopOnly(benchmark::State& state) {
    const auto& data = randomBytes();
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        std::uint32_t crc = 0;
        for (std::size_t at = 0; at < n; at += 64) {
            crc = tally::crc32(crc, data.data() + at, n - at < 64 ? n - at : 64);
        }
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_Crc32_Zlib(benchmark::State& state) {
    const auto& data = randomBytes();
    const auto n = static_cast<uInt>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(::crc32(0, data.data(), n));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_Crc32_Ours)->Arg(64)->Arg(256)->Arg(512)->Arg(1024)->Arg(65535)->Arg(1 << 20);
BENCHMARK(BM_Crc32_OwnLoopOnly)->Arg(65535);
BENCHMARK(BM_Crc32_Zlib)->Arg(64)->Arg(256)->Arg(512)->Arg(1024)->Arg(65535)->Arg(1 << 20);

// A definition shaped like the shipped one: a public record of machine and package facts and an
// install event.
constexpr const char* kDefinitions =
    "pallo_public:1 type:byte uuid:string version:byte os:byte svrid:string wtod2:string "
    "tryno:short ts:int64 parentproce:string before_tid1:string before_tid2:string\n"
    "pallo_tools_install:20 reason:int result:byte installtype:byte silent:byte cover:bit "
    "fresh:bit detail:string sig:binary\n";

struct Fixture {
    tally::VoTallyFormat format = tally::VoTallyFormat::fromText(kDefinitions).value();
    tally::TallyPayload publicPayload = {{"type", 1},
                                         {"uuid", "4F1C2B7A-9E0D-4C55-8A1B-3D2E6F708192"},
                                         {"version", 12},
                                         {"os", 2},
                                         {"svrid", "1.0.0.1"},
                                         {"wtod2", "dev01"},
                                         {"tryno", 1},
                                         {"ts", std::int64_t{1733490000}},
                                         {"parentproce", "1.2.3.4"},
                                         {"before_tid1", "0"},
                                         {"before_tid2", "0"}};
    tally::TallyPayload event = {{"reason", 100},
                                 {"result", 1},
                                 {"installtype", 1},
                                 {"silent", 0},
                                 {"cover", false},
                                 {"fresh", true},
                                 {"detail", "安装成功 /Applications/Corvane.app"},
                                 {"sig", "00112233445566778899aabbccddeeff"}};
};

void BM_AssembleBatch(benchmark::State& state) {
    Fixture f;
    auto& pub = *f.format.getTable("pallo_public");
    auto& table = *f.format.getTable("pallo_tools_install");
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto batch = tally::assembleBatch(42, pub, f.publicPayload, table, f.event);
        bytes = batch.value().size();
        benchmark::DoNotOptimize(batch);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_DecodeBatch(benchmark::State& state) {
    Fixture f;
    const auto batch = tally::assembleBatch(42, *f.format.getTable("pallo_public"), f.publicPayload,
                                            *f.format.getTable("pallo_tools_install"), f.event)
                           .value();
    for (auto _ : state) {
        auto decoded = tally::decodeBatch(f.format, batch);
        benchmark::DoNotOptimize(decoded);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(batch.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

BENCHMARK(BM_AssembleBatch);
BENCHMARK(BM_DecodeBatch);

}  // namespace
