// Our DynamicData against Fast DDS's own, operation by operation, on the same two types:
//   struct Bench { int32 a; int32 b; int32 c; int32 d; string s; }
//   struct Inner { int32 c; }  struct Mid { Inner i; }  struct Outer { Mid m; }
// Fast DDS addresses members by id, so its by-name lines include get_member_id_by_name: that is
// the work a caller holding only a name has to do. After the runs a table gives ours / Fast DDS
// per operation (our goal: 0.5 or less).
// Then our wire forms against each other on the same values: Bench in XCDR1 and XCDR2, and the
// same members declared appendable and mutable (XCDR2 only), serialize and deserialize, with a
// table of each against XCDR1.
#include "dds/dds_dynamicdata.h"

#include <benchmark/benchmark.h>
#include <fastrtps/rtps/common/SerializedPayload.h>
#include <fastrtps/types/DynamicDataFactory.h>
#include <fastrtps/types/DynamicPubSubType.h>
#include <fastrtps/types/DynamicTypeBuilderFactory.h>
#include <fastrtps/types/DynamicTypeBuilderPtr.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace fdt = eprosima::fastrtps::types;
using eprosima::fastrtps::rtps::SerializedPayload_t;

namespace {

const char *const kTypesXml = R"(<dds><types>
  <struct name="Bench">
    <member name="a" type="int32"/>
    <member name="b" type="int32"/>
    <member name="c" type="int32"/>
    <member name="d" type="int32"/>
    <member name="s" type="string"/>
  </struct>
  <struct name="Inner"><member name="c" type="int32"/></struct>
  <struct name="Mid"><member name="i" type="nonBasic" nonBasicTypeName="Inner"/></struct>
  <struct name="Outer"><member name="m" type="nonBasic" nonBasicTypeName="Mid"/></struct>
  <struct name="BenchApp" extensibility="appendable">
    <member name="a" type="int32"/><member name="b" type="int32"/><member name="c" type="int32"/>
    <member name="d" type="int32"/><member name="s" type="string"/>
  </struct>
  <struct name="BenchMut" extensibility="mutable">
    <member name="a" type="int32"/><member name="b" type="int32"/><member name="c" type="int32"/>
    <member name="d" type="int32"/><member name="s" type="string"/>
  </struct>
</types></dds>)";

const char *const kText = "hello, benchmark";

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "bench_dynamicdata: %s\n", what);
    std::exit(1);
}

// ---- ours ----
struct Ours {
    DDS_TypeLibrary *lib = nullptr;
    DDS_DynamicData *bench = nullptr, *bench2 = nullptr, *outer = nullptr;
    std::vector<unsigned char> cdr;
    DDS_UnsignedLong cdr_len = 0;

    Ours()
    {
        lib = DDS_TypeLibrary_new();
        if (!lib || DDS_TypeLibrary_load_string(lib, kTypesXml, "bench") != DDS_RETCODE_OK)
            die("cannot load the benchmark types");
        const DDS_TypeCode *bt = DDS_TypeLibrary_find(lib, "Bench"), *ot = DDS_TypeLibrary_find(lib, "Outer");
        bench = DDS_DynamicData_new(bt, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
        bench2 = DDS_DynamicData_new(bt, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
        outer = DDS_DynamicData_new(ot, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
        if (!bench || !bench2 || !outer)
            die("cannot create our samples");
        const char *names[] = {"a", "b", "c", "d"};
        for (int i = 0; i < 4; ++i)
            DDS_DynamicData_set_long(bench, names[i], 0, i + 1);
        DDS_DynamicData_set_string(bench, "s", 0, kText);
        DDS_DynamicData_set_long(outer, "m.i.c", 0, 42);
        cdr.resize(DDS_DynamicData_get_serialized_size(bench));
        cdr_len = static_cast<DDS_UnsignedLong>(cdr.size());
        if (cdr.empty() || DDS_DynamicData_to_cdr_buffer(bench, cdr.data(), &cdr_len) != DDS_RETCODE_OK)
            die("our serialization failed");
        if (DDS_DynamicData_from_cdr_buffer(bench2, cdr.data(), cdr_len) != DDS_RETCODE_OK ||
            !DDS_DynamicData_equal(bench, bench2))
            die("our CDR round trip failed");
    }
    ~Ours()
    {
        DDS_DynamicData_delete(bench);
        DDS_DynamicData_delete(bench2);
        DDS_DynamicData_delete(outer);
        DDS_TypeLibrary_delete(lib);
    }
};

// ---- Fast DDS ----
struct FastDds {
    fdt::DynamicType_ptr bench_type, outer_type;
    fdt::DynamicData *bench = nullptr, *bench2 = nullptr, *outer = nullptr;
    fdt::DynamicPubSubType *pst = nullptr;
    SerializedPayload_t payload;

    FastDds()
    {
        auto *f = fdt::DynamicTypeBuilderFactory::get_instance();
        fdt::DynamicTypeBuilder_ptr b = f->create_struct_builder();
        const char *names[] = {"a", "b", "c", "d"};
        for (uint32_t i = 0; i < 4; ++i)
            b->add_member(i, names[i], f->create_int32_type());
        b->add_member(4, "s", f->create_string_type());
        b->set_name("Bench");
        bench_type = b->build();

        fdt::DynamicTypeBuilder_ptr inner = f->create_struct_builder();
        inner->add_member(0, "c", f->create_int32_type());
        inner->set_name("Inner");
        fdt::DynamicTypeBuilder_ptr mid = f->create_struct_builder();
        mid->add_member(0, "i", inner->build());
        mid->set_name("Mid");
        fdt::DynamicTypeBuilder_ptr out = f->create_struct_builder();
        out->add_member(0, "m", mid->build());
        out->set_name("Outer");
        outer_type = out->build();
        if (!bench_type || !outer_type)
            die("cannot build the Fast DDS types");

        auto *df = fdt::DynamicDataFactory::get_instance();
        bench = df->create_data(bench_type);
        bench2 = df->create_data(bench_type);
        outer = df->create_data(outer_type);
        if (!bench || !bench2 || !outer)
            die("cannot create the Fast DDS samples");
        for (uint32_t i = 0; i < 4; ++i)
            bench->set_int32_value(static_cast<int32_t>(i + 1), bench->get_member_id_by_name(names[i]));
        bench->set_string_value(kText, bench->get_member_id_by_name("s"));
        fdt::DynamicData *m = outer->loan_value(outer->get_member_id_by_name("m"));
        fdt::DynamicData *i = m->loan_value(m->get_member_id_by_name("i"));
        i->set_int32_value(42, i->get_member_id_by_name("c"));
        m->return_loaned_value(i);
        outer->return_loaned_value(m);

        pst = new fdt::DynamicPubSubType(bench_type);
        payload.reserve(pst->getSerializedSizeProvider(bench)());
        if (!pst->serialize(bench, &payload) || !pst->deserialize(&payload, bench2) || !bench->equals(bench2))
            die("Fast DDS CDR round trip failed");
    }
    ~FastDds()
    {
        delete pst;
        auto *df = fdt::DynamicDataFactory::get_instance();
        df->delete_data(bench);
        df->delete_data(bench2);
        df->delete_data(outer);
    }
};

Ours *ours;
FastDds *fast;

// ---- the operations ----
void Ours_SetByName(benchmark::State &st)
{
    int32_t v = 0;
    for (auto _ : st)
        benchmark::DoNotOptimize(DDS_DynamicData_set_long(ours->bench, "c", 0, ++v));
}

void Fast_SetByName(benchmark::State &st)
{
    int32_t v = 0;
    for (auto _ : st)
        benchmark::DoNotOptimize(fast->bench->set_int32_value(++v, fast->bench->get_member_id_by_name("c")));
}

void Ours_GetByName(benchmark::State &st)
{
    DDS_Long v = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(DDS_DynamicData_get_long(ours->bench, &v, "c", 0));
        benchmark::DoNotOptimize(v);
    }
}

void Fast_GetByName(benchmark::State &st)
{
    int32_t v = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(fast->bench->get_int32_value(v, fast->bench->get_member_id_by_name("c")));
        benchmark::DoNotOptimize(v);
    }
}

void Ours_NestedGet(benchmark::State &st)
{
    DDS_Long v = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(DDS_DynamicData_get_long(ours->outer, &v, "m.i.c", 0));
        benchmark::DoNotOptimize(v);
    }
    if (v != 42)
        st.SkipWithError("wrong value");
}

void Fast_NestedGet(benchmark::State &st)
{
    int32_t v = 0;
    fdt::DynamicData *o = fast->outer;
    for (auto _ : st) {
        fdt::DynamicData *m = o->loan_value(o->get_member_id_by_name("m"));
        fdt::DynamicData *i = m->loan_value(m->get_member_id_by_name("i"));
        benchmark::DoNotOptimize(i->get_int32_value(v, i->get_member_id_by_name("c")));
        m->return_loaned_value(i);
        o->return_loaned_value(m);
        benchmark::DoNotOptimize(v);
    }
    if (v != 42)
        st.SkipWithError("wrong value");
}

void Ours_Serialize(benchmark::State &st)
{
    for (auto _ : st) {
        DDS_UnsignedLong len = static_cast<DDS_UnsignedLong>(ours->cdr.size());
        benchmark::DoNotOptimize(DDS_DynamicData_to_cdr_buffer(ours->bench, ours->cdr.data(), &len));
        benchmark::ClobberMemory();
    }
}

void Fast_Serialize(benchmark::State &st)
{
    for (auto _ : st) {
        benchmark::DoNotOptimize(fast->pst->serialize(fast->bench, &fast->payload));
        benchmark::ClobberMemory();
    }
}

void Ours_Deserialize(benchmark::State &st)
{
    for (auto _ : st)
        benchmark::DoNotOptimize(DDS_DynamicData_from_cdr_buffer(ours->bench2, ours->cdr.data(), ours->cdr_len));
}

void Fast_Deserialize(benchmark::State &st)
{
    for (auto _ : st)
        benchmark::DoNotOptimize(fast->pst->deserialize(&fast->payload, fast->bench2));
}

// No Fast DDS counterpart: kept here because the printer runs once per sample.
void Ours_JsonPrint(benchmark::State &st)
{
    DDS_PrintFormat format;
    DDS_PrintFormat_initialize(&format, DDS_JSON_PRINT_FORMAT);
    char buf[256];
    DDS_PrintFormatProperty_t params{};
    params.buffer = buf;
    params.buffer_size = sizeof buf;
    for (auto _ : st) {
        benchmark::DoNotOptimize(DDS_DynamicDataFormatter_print_w_params(ours->bench, &params, &format));
        benchmark::ClobberMemory();
    }
}

// ---- our wire forms ----
struct WireForm {
    WireForm(const char *n, const char *t, DDS_DataRepresentationId_t r) : name(n), type(t), rep(r) {}
    WireForm(const WireForm &) = delete;
    WireForm &operator=(const WireForm &) = delete;
    const char *name;
    const char *type;
    DDS_DataRepresentationId_t rep;
    DDS_DynamicData *d = nullptr, *back = nullptr;
    std::vector<unsigned char> buf;
    DDS_UnsignedLong len = 0;

    void setup(DDS_TypeLibrary *lib)
    {
        const DDS_TypeCode *t = DDS_TypeLibrary_find(lib, type);
        d = DDS_DynamicData_new(t, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
        back = DDS_DynamicData_new(t, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
        if (!d || !back)
            die("cannot create the wire form samples");
        const char *names[] = {"a", "b", "c", "d"};
        for (int i = 0; i < 4; ++i)
            DDS_DynamicData_set_long(d, names[i], 0, i + 1);
        DDS_DynamicData_set_string(d, "s", 0, kText);
        if (DDS_DynamicData_to_cdr_buffer_ex(d, nullptr, &len, rep, DDS_BOOLEAN_FALSE) != DDS_RETCODE_OK)
            die("cannot size a wire form");
        buf.resize(len);
        if (DDS_DynamicData_to_cdr_buffer_ex(d, buf.data(), &len, rep, DDS_BOOLEAN_FALSE) != DDS_RETCODE_OK ||
            DDS_DynamicData_from_cdr_buffer(back, buf.data(), len) != DDS_RETCODE_OK || !DDS_DynamicData_equal(d, back))
            die("a wire form round trip failed");
    }
    ~WireForm()
    {
        DDS_DynamicData_delete(d);
        DDS_DynamicData_delete(back);
    }
};

void Wire_Serialize(benchmark::State &st, WireForm *f)
{
    for (auto _ : st) {
        DDS_UnsignedLong len = static_cast<DDS_UnsignedLong>(f->buf.size());
        benchmark::DoNotOptimize(DDS_DynamicData_to_cdr_buffer_ex(f->d, f->buf.data(), &len, f->rep, DDS_BOOLEAN_FALSE));
        benchmark::ClobberMemory();
    }
}

void Wire_Deserialize(benchmark::State &st, WireForm *f)
{
    for (auto _ : st)
        benchmark::DoNotOptimize(DDS_DynamicData_from_cdr_buffer(f->back, f->buf.data(), f->len));
}

struct Op {
    const char *name;
    void (*ours)(benchmark::State &);
    void (*fast)(benchmark::State &);
};
const Op kOps[] = {
    {"set-by-name", Ours_SetByName, Fast_SetByName},
    {"get-by-name", Ours_GetByName, Fast_GetByName},
    {"nested-get", Ours_NestedGet, Fast_NestedGet},
    {"serialize", Ours_Serialize, Fast_Serialize},
    {"deserialize", Ours_Deserialize, Fast_Deserialize},
};

// Shows the usual console lines and keeps each benchmark's real and CPU time per iteration (ns).
// CPU time is shown too because on a loaded machine real time also counts preemption.
class CapturingReporter : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> ns, cpu_ns;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred || r.iterations == 0)
                continue;
            ns[r.benchmark_name()] = r.real_accumulated_time * 1e9 / static_cast<double>(r.iterations);
            cpu_ns[r.benchmark_name()] = r.cpu_accumulated_time * 1e9 / static_cast<double>(r.iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Ours o;
    FastDds f;
    ours = &o;
    fast = &f;
    for (const Op &op : kOps) {
        benchmark::RegisterBenchmark((std::string("ours/") + op.name).c_str(), op.ours);
        benchmark::RegisterBenchmark((std::string("fastdds/") + op.name).c_str(), op.fast);
    }
    benchmark::RegisterBenchmark("ours/json-print", Ours_JsonPrint);
    // Declared after o, so the samples go before their types.
    WireForm kForms[] = {
        {"xcdr1", "Bench", DDS_XCDR_DATA_REPRESENTATION},
        {"xcdr2", "Bench", DDS_XCDR2_DATA_REPRESENTATION},
        {"xcdr2-appendable", "BenchApp", DDS_XCDR2_DATA_REPRESENTATION},
        {"xcdr2-mutable", "BenchMut", DDS_XCDR2_DATA_REPRESENTATION},
    };
    for (WireForm &w : kForms) {
        w.setup(o.lib);
        benchmark::RegisterBenchmark((std::string("wire/") + w.name + "/serialize").c_str(), Wire_Serialize, &w);
        benchmark::RegisterBenchmark((std::string("wire/") + w.name + "/deserialize").c_str(), Wire_Deserialize, &w);
    }
    CapturingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n%-12s %10s %10s %7s  %10s %10s %7s  %s\n", "operation", "ours ns", "fastdds ns", "ratio",
                "ours cpu", "fdds cpu", "ratio", "goal <= 0.5 (real time)");
    bool all = true;
    for (const Op &op : kOps) {
        auto a = reporter.ns.find(std::string("ours/") + op.name), b = reporter.ns.find(std::string("fastdds/") + op.name);
        if (a == reporter.ns.end() || b == reporter.ns.end() || b->second <= 0)
            continue; // filtered out or failed
        const double ratio = a->second / b->second;
        const double ca = reporter.cpu_ns[a->first], cb = reporter.cpu_ns[b->first];
        all = all && ratio <= 0.5;
        std::printf("%-12s %10.1f %10.1f %7.3f  %10.1f %10.1f %7.3f  %s\n", op.name, a->second, b->second, ratio, ca, cb,
                    cb > 0 ? ca / cb : 0.0, ratio <= 0.5 ? "met" : "MISSED");
    }
    std::printf("%s\n", all ? "goal met on every line" : "goal missed on at least one line");

    std::printf("\n%-18s %6s %14s %8s %16s %8s\n", "wire form", "bytes", "serialize ns", "/xcdr1", "deserialize ns", "/xcdr1");
    for (const char *op : {"serialize", "deserialize"})
        if (reporter.ns.find(std::string("wire/xcdr1/") + op) == reporter.ns.end())
            std::printf("(xcdr1 %s filtered out: no ratios)\n", op);
    for (const WireForm &w : kForms) {
        auto ns = [&](const WireForm &f, const char *op) {
            auto it = reporter.ns.find(std::string("wire/") + f.name + "/" + op);
            return it == reporter.ns.end() ? 0.0 : it->second;
        };
        const double s1 = ns(kForms[0], "serialize"), d1 = ns(kForms[0], "deserialize");
        const double sw = ns(w, "serialize"), dw = ns(w, "deserialize");
        std::printf("%-18s %6u %14.1f %8.3f %16.1f %8.3f\n", w.name, static_cast<unsigned>(w.len), sw, s1 > 0 ? sw / s1 : 0.0, dw,
                    d1 > 0 ? dw / d1 : 0.0);
    }
    benchmark::Shutdown();
    return 0;
}
