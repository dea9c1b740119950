// Whole samples as JSON through the exported functions, in MB/s of JSON text: setJSONInstance
// (JSON in) next to json-parser's bare parse of the same text, and getJSONSample (JSON out), on
// a 1 KB and a 64 KB sample of a type with every kind. Goals: JSON in at least half the bare
// parse rate; JSON out at least 200 MB/s.
#include "quelt_dds_connector.h"

#include <benchmark/benchmark.h>
#include <json-parser/json.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <time.h>
#include <unistd.h>

namespace {

constexpr int kDomain = 196;
const char *const kWriter = "Pub::W";
const char *const kReader = "Sub::R";

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The every-kind sample, its sequences grown until the text is about `size` bytes.
std::string sampleText(size_t size)
{
    std::string text = readFile(QUELT_TEST_DATA "/json/every_kind.json");
    const size_t at = text.find("\"useq\": [") + 9;
    // Doubles into useq and points into pseq, in about equal shares of text.
    std::string doubles, points;
    for (int k = 0; text.size() + doubles.size() + points.size() < size; ++k) {
        char d[40];
        std::snprintf(d, sizeof d, "%.6g, ", k * 1.37);
        doubles += d;
        points += "{\"x\": " + std::to_string(k) + ", \"y\": " + std::to_string(k) + ".5}, ";
    }
    text.insert(at, doubles);
    const size_t pat = text.find("\"pseq\": [") + 9;
    text.insert(pat, points);
    return text;
}

struct Connector {
    std::string path;
    QueltDDSConnector *c = nullptr;
    Connector()
    {
        path = "/tmp/quelt_json_bench_" + std::to_string(getpid()) + ".xml";
        std::string xml = readFile(QUELT_TEST_DATA "/every_kind.xml");
        xml.replace(xml.find("domain_id=\"0\""), 13, "domain_id=\"" + std::to_string(kDomain) + "\"");
        std::ofstream(path) << xml;
        c = QueltDDSConnector_new("EveryLib::Both", path.c_str(), nullptr);
    }
    ~Connector()
    {
        QueltDDSConnector_delete(c);
        unlink(path.c_str());
    }
};

Connector &connector()
{
    static Connector instance;
    return instance;
}

// JSON in next to the bare parse, interleaved call by call so that both see the same machine
// (a shared VM's speed drifts between benchmarks run one after the other), each timed in the
// thread's CPU time so that a preemption falls on neither.
double cpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

void BM_JsonIn(benchmark::State &state)
{
    QueltDDSConnector *c = connector().c;
    if (!c) {
        state.SkipWithError("no connector");
        return;
    }
    const std::string text = sampleText(static_cast<size_t>(state.range(0)));
    double parseNs = 0, inNs = 0;
    for (auto _ : state) {
        const double t0 = cpuNs();
        json_settings settings{};
        char error[256];
        json_value *v = json_parse_ex(&settings, text.c_str(), text.size(), error);
        benchmark::DoNotOptimize(v);
        json_value_free(v);
        const double t1 = cpuNs();
        QueltDDSConnector_setJSONInstance(c, kWriter, text.c_str());
        const double t2 = cpuNs();
        parseNs += t1 - t0;
        inNs += t2 - t1;
    }
    const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(text.size());
    state.counters["bare_parse_MBps"] = bytes / parseNs * 1e3;
    state.counters["json_in_MBps"] = bytes / inNs * 1e3;
    state.counters["in_vs_parse"] = parseNs / inNs;
}
BENCHMARK(BM_JsonIn)->Arg(1 << 10)->Arg(64 << 10);

void BM_JsonOut(benchmark::State &state)
{
    QueltDDSConnector *c = connector().c;
    if (!c) {
        state.SkipWithError("no connector");
        return;
    }
    QueltDDSConnector_clear(c, kWriter);
    QueltDDSConnector_setJSONInstance(c, kWriter, sampleText(static_cast<size_t>(state.range(0))).c_str());
    QueltDDSConnector_take(c, kReader); // nothing of an earlier run stays
    QueltDDSConnector_write(c, kWriter, nullptr);
    for (int tries = 0; tries < 100; ++tries) {
        QueltDDSConnector_wait(c, 100);
        QueltDDSConnector_take(c, kReader);
        if (QueltDDSConnector_getSamplesLength(c, kReader) >= 1)
            break;
    }
    size_t bytes = 0;
    for (auto _ : state) {
        char *text = QueltDDSConnector_getJSONSample(c, kReader, 1);
        if (!text) {
            state.SkipWithError("no sample");
            break;
        }
        bytes += std::strlen(text);
        QueltDDSConnector_freeString(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_JsonOut)->Arg(1 << 10)->Arg(64 << 10);

} // namespace

BENCHMARK_MAIN();
