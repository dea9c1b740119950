// Scripts reading and assigning sample members through the engine's data tables, and the
// containers that move samples, over sequences filled by the test and a recording plugin.
#include <string>
#include <vector>

#include "DDSConnectionPlugin.h"
#include "DynamicData.h"
#include "dds/dds_dynamicdata.h"
#include "lua/lua_test_support.h"

namespace {

using quelt_test::fake;
using quelt_test::runLua;

// What the recording slots saw.
struct Calls {
    std::vector<int> maxSamples;
    std::vector<double> writtenIds;
    int keyRequests = 0;
};
Calls g_calls;

class MetamethodTest : public quelt_test::EngineTest {
protected:
    void SetUp() override {
        g_calls = Calls{};
        QueltLuaLog_setBitmaps(0xffff, 3); // errors and warnings
        lib = DDS_TypeLibrary_new();
        ASSERT_EQ(DDS_TypeLibrary_load_file(lib, (QUELT_TEST_DATA + "/lua/keyed.xml").c_str()), DDS_RETCODE_OK);
        type = DDS_TypeLibrary_find(lib, "K");
        ASSERT_NE(type, nullptr);
        for (int i = 0; i < 3; ++i) {
            samples[i] = DDS_DynamicData_new(type, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
            DDS_DynamicData_set_long(samples[i], "id", 0, i + 1);
            DDS_DynamicData_set_string(samples[i], "payload", 0, i == 1 ? "two" : "other");
            infos[i] = DDS_SampleInfo{};
            infos[i].valid_data = i < 2; // the third is a dispose notice
        }
        instance = DDS_DynamicData_new(type, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
        keyHolder = DDS_DynamicData_new(type, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
        dataSeq = DDS_DynamicDataSeq{samples, 0, 3, DDS_BOOLEAN_FALSE, DDS_BOOLEAN_FALSE, nullptr};
        infoSeq = DDS_SampleInfoSeq{infos, 0, 3, DDS_BOOLEAN_FALSE, DDS_BOOLEAN_FALSE, nullptr};

        QueltLuaContainer record = {};
        QueltLuaDDSConnectionPlugin_init(&record);
        record.take = [](DDS_DynamicDataReader *, int maxSamples, DDS_DynamicDataSeq *, DDS_SampleInfoSeq *) {
            g_calls.maxSamples.push_back(maxSamples);
            return DDS_RETCODE_OK;
        };
        record.write = [](DDS_DynamicDataWriter *, DDS_DynamicData *sample) {
            DDS_Long id = -1;
            DDS_DynamicData_get_long(sample, &id, "id", 0);
            g_calls.writtenIds.push_back(id);
            return DDS_RETCODE_OK;
        };
        // Stands in for the reader's key lookup: the instance of every notice has key 77.
        record.get_key_value = [](DDS_DynamicDataReader *, DDS_DynamicData *keyHolder, DDS_SampleInfo *) {
            ++g_calls.keyRequests;
            return DDS_DynamicData_set_long(keyHolder, "id", 0, 77);
        };
        start(record);
        ASSERT_EQ(QueltLuaEngine_assertOutput(engine, "p::w", 0, instance, fake<DDS_DynamicDataWriter>(1)), 1);
        ASSERT_EQ(QueltLuaEngine_assertInput(engine, "s::r", 0, &dataSeq, &infoSeq, keyHolder,
                                             fake<DDS_DynamicDataReader>(2)),
                  1);
    }
    void TearDown() override {
        EngineTest::TearDown();
        for (DDS_DynamicData *s : samples) DDS_DynamicData_delete(s);
        DDS_DynamicData_delete(instance);
        DDS_DynamicData_delete(keyHolder);
        DDS_TypeLibrary_delete(lib);
    }
    void loanThree() { dataSeq._length = infoSeq._length = 3; }

    DDS_TypeLibrary *lib = nullptr;
    const DDS_TypeCode *type = nullptr;
    DDS_DynamicData *samples[3] = {};
    DDS_SampleInfo infos[3] = {};
    DDS_DynamicData *instance = nullptr;
    DDS_DynamicData *keyHolder = nullptr;
    DDS_DynamicDataSeq dataSeq{};
    DDS_SampleInfoSeq infoSeq{};
};

TEST_F(MetamethodTest, IndexingFollowsTheLoan) {
    EXPECT_EQ(runLua(L, "local r = CONTAINER.READER[1]; assert(#r.samples == 0 and #r.infos == 0 and r.samples[1] == nil)"), "");
    EXPECT_TRUE(capture.contains("index requested not available")); // before any read
    loanThree();
    // Each row: a Lua expression that must hold, and the log text it must produce ("" none).
    const std::pair<const char *, const char *> rows[] = {
        {"#s == 3 and #i == 3", ""},
        {"s[1].id == 1 and s[2].payload == 'two'", ""},
        {"s['2'].id == 2 and s[2.7].id == 2", ""},
        {"s[4] == nil", "index requested not available"},
        {"s[0] == nil", "index must be > 0"},
        {"s[-1] == nil", "index operation failed"},
        {"s.id == nil", "did you set the index?"},
        {"s[3].id == 77", ""},           // the notice's key comes from the key holder
        {"s[3].payload == nil", ""},     // non-key members of a notice have no value
        {"i[1].valid_data == true and i[3].valid_data == false", ""},
        {"i[1].x == nil and i[1].Valid_data == nil", ""},
    };
    for (const auto &row : rows) {
        capture.clear();
        const std::string chunk = std::string("local r = CONTAINER.READER[1]; local s, i = r.samples, r.infos; assert(") +
                                  row.first + ")";
        EXPECT_EQ(runLua(L, chunk), "") << row.first;
        if (*row.second == '\0') {
            EXPECT_TRUE(capture.lines().empty()) << row.first << ": " << capture.text();
        } else {
            EXPECT_TRUE(capture.contains(row.second)) << row.first << ": " << capture.text();
        }
    }
    EXPECT_EQ(g_calls.keyRequests, 2);
}

TEST_F(MetamethodTest, IpairsVisitsEverySampleAndReaderDataIsReadOnly) {
    loanThree();
    EXPECT_EQ(runLua(L, R"(
        local s = CONTAINER.READER[1].samples
        local ids = {}
        for k, v in ipairs(s) do ids[#ids + 1] = v.id end
        assert(#ids == 3 and ids[1] == 1 and ids[2] == 2 and ids[3] == 77)
        s[1] = 5
        s[1].id = 9
        assert(s[1].id == 1)
    )"), "");
    EXPECT_EQ(capture.count("set operation is not allowed on reader's data"), 2);
}

TEST_F(MetamethodTest, WriterInstanceIsWrittenAndClearedAndTakePassesItsLimit) {
    EXPECT_EQ(runLua(L, R"(
        local w, r = CONTAINER.WRITER[1], CONTAINER.READER[1]
        w.instance.id = 5
        w.instance.payload = 'hi'
        assert(w.instance.id == 5 and w.instance.payload == 'hi')
        assert(w:write() == w.instance)
        w:clear_members()
        assert(w.instance.id == 0 and w.instance.payload == '')
        w:write()
        assert(r:take(0) == r.samples)
        r:take(3)
        r:take('2')
        assert(r:take() == r.samples)
    )"), "");
    EXPECT_EQ(g_calls.writtenIds, (std::vector<double>{5, 0}));
    EXPECT_EQ(g_calls.maxSamples, (std::vector<int>{0, 3, 2, -1}));
    EXPECT_TRUE(capture.lines().empty()) << capture.text();
}

} // namespace
