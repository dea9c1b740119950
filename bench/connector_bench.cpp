// The exported functions as a binding calls them: one setNumberIntoSamples, one
// getNumberFromSamples, and a loop "set 4 fields, write, take, get 4 fields" beside the same loop
// on plain Fast DDS with a hand-written type (FastddsLoop), and as a script run by the engine, in
// the same run. Goals: a set or a get under 400 ns; the loop at least half the plain Fast DDS
// rate; the script loop at least 0.7 of the exported functions' loop.
#include "fastdds_baseline.h"

#include "quelt_dds_connector.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

const char *const kWriter = "Pub::Writer";
const char *const kReader = "Sub::Reader";
constexpr int kBaselineLoopDomain = 195;

struct ConnectorDeleter {
    void operator()(QueltDDSConnector *c) const { QueltDDSConnector_delete(c); }
};
using ConnectorPtr = std::unique_ptr<QueltDDSConnector, ConnectorDeleter>;

ConnectorPtr openLoop(benchmark::State &state)
{
    ConnectorPtr c(QueltDDSConnector_new("BenchLib::Loop", QUELT_BENCH_XML, nullptr));
    if (!c)
        state.SkipWithError("cannot create the connector from " QUELT_BENCH_XML);
    return c;
}

// Takes until the reader holds a sample; the writer shares the participant, so it is there
// at once or after a short wake-up.
bool takeOne(QueltDDSConnector *c)
{
    for (int tries = 0; tries < 1000; ++tries) {
        QueltDDSConnector_take(c, kReader);
        if (QueltDDSConnector_getSamplesLength(c, kReader) > 0)
            return true;
    }
    return false;
}

void BM_SetNumberIntoSamples(benchmark::State &state)
{
    ConnectorPtr c = openLoop(state);
    if (!c)
        return;
    double v = 0;
    for (auto _ : state)
        QueltDDSConnector_setNumberIntoSamples(c.get(), kWriter, "x", v++);
}
BENCHMARK(BM_SetNumberIntoSamples);

void BM_GetNumberFromSamples(benchmark::State &state)
{
    ConnectorPtr c = openLoop(state);
    if (!c)
        return;
    QueltDDSConnector_setStringIntoSamples(c.get(), kWriter, "color", "RED");
    QueltDDSConnector_setNumberIntoSamples(c.get(), kWriter, "x", 7);
    QueltDDSConnector_write(c.get(), kWriter, nullptr);
    if (!takeOne(c.get())) {
        state.SkipWithError("the sample did not come back");
        return;
    }
    double sum = 0;
    for (auto _ : state)
        sum += QueltDDSConnector_getNumberFromSamples(c.get(), kReader, 1, "x");
    benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_GetNumberFromSamples);

void BM_LoopConnector(benchmark::State &state)
{
    ConnectorPtr c = openLoop(state);
    if (!c)
        return;
    QueltDDSConnector *k = c.get();
    uint32_t i = 0;
    double sum = 0;
    for (auto _ : state) {
        QueltDDSConnector_setStringIntoSamples(k, kWriter, "color", quelt::bench::bench_color(i, 4));
        QueltDDSConnector_setNumberIntoSamples(k, kWriter, "x", i);
        QueltDDSConnector_setNumberIntoSamples(k, kWriter, "y", i / 4);
        QueltDDSConnector_setNumberIntoSamples(k, kWriter, "shapesize", 30);
        QueltDDSConnector_write(k, kWriter, nullptr);
        if (!takeOne(k)) {
            state.SkipWithError("a sample did not come back");
            return;
        }
        char *color = QueltDDSConnector_getStringFromSamples(k, kReader, 1, "color");
        sum += QueltDDSConnector_getNumberFromSamples(k, kReader, 1, "x") + QueltDDSConnector_getNumberFromSamples(k, kReader, 1, "y") +
               QueltDDSConnector_getNumberFromSamples(k, kReader, 1, "shapesize");
        QueltDDSConnector_freeString(color);
        ++i;
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LoopConnector)->MinTime(2.0);

// The same loop as a script the engine's runner executes: the host calls execute once per sample,
// as a periodic host would (the runner returns the sample's loan after each run). Goal: at least
// 0.7 of BM_LoopConnector's rate.
const char *const kLoopScript = R"(
    local ctx = CONTAINER.CONTEXT
    local w, r = CONTAINER.WRITER["Pub::Writer"], CONTAINER.READER["Sub::Reader"]
    local i = ctx.i
    local colors = ctx.colors
    if not colors then
        colors = {ctx.color1, ctx.color2, ctx.color3, ctx.color4}
        ctx.colors = colors
    end
    local sample = w.instance
    sample.color = colors[i % 4 + 1]
    sample.x = i
    sample.y = (i - i % 4) / 4
    sample.shapesize = 30
    w:write()
    local samples = r.samples
    for _ = 1, 1000 do
        r:take()
        if #samples > 0 then break end
    end
    local got = samples[1]
    if got == nil then return "a sample did not come back" end
    local color = got.color
    ctx.sum = ctx.sum + got.x + got.y + got.shapesize
    ctx.i = i + 1
)";

void BM_LoopScript(benchmark::State &state)
{
    ConnectorPtr c = openLoop(state);
    if (!c)
        return;
    QueltDDSConnector *k = c.get();
    QueltDDSConnector_setNumberIntoContext(k, "i", 0);
    QueltDDSConnector_setNumberIntoContext(k, "sum", 0);
    for (uint32_t i = 0; i < 4; ++i)
        QueltDDSConnector_setStringIntoContext(k, ("color" + std::to_string(i + 1)).c_str(), quelt::bench::bench_color(i, 4));
    QueltDDSConnector_assertCode(k, kLoopScript, nullptr, -1);
    for (auto _ : state) {
        if (QueltDDSConnector_execute(k) != 0) {
            state.SkipWithError("the loop script failed");
            break;
        }
    }
    double sum = 0;
    QueltDDSConnector_getNumberFromContext(k, "sum", &sum);
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LoopScript)->MinTime(2.0);

void BM_LoopFastDDS(benchmark::State &state)
{
    quelt::bench::FastddsLoop loop;
    std::string err;
    if (!loop.open(kBaselineLoopDomain, quelt::bench::BenchQos{}, err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    uint32_t i = 0;
    for (auto _ : state) {
        if (!loop.step(i++)) {
            state.SkipWithError("a sample did not come back");
            return;
        }
    }
    benchmark::DoNotOptimize(loop.checksum());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LoopFastDDS)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
