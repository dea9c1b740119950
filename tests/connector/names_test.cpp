// Full names, the entities lookup list, and the positions the tables give writers and readers.
#include "connector_test_support.h"

#include <cstring>

using namespace quelt::test;

constexpr int kCapacity = QUELT_DDS_CONNECTOR_NAME_CAPACITY;

// The callers' stack buffer of the full name, byte for byte: a plain build would not notice a byte
// written past it.
TEST(FullName, BufferHoldsUpToCapacityAndLongerNamesAreAllocated)
{
    char buffer[kCapacity + 2];
    std::memset(buffer, '#', sizeof buffer);
    char *name = buffer;
    const std::string first(63, 'a'), second63(63, 'b'), second64(64, 'b');
    // Parts of 126 characters: the 128-character name fills the buffer exactly.
    EXPECT_EQ(QueltDDSConnector_combineStringsI(first.c_str(), second63.c_str(), &name, kCapacity), 0);
    EXPECT_EQ(name, buffer);
    EXPECT_EQ(std::string(name), first + "::" + second63);
    EXPECT_EQ(buffer[kCapacity + 1], '#');

    // Parts of 127 characters: a new string, the caller's buffer untouched.
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(QueltDDSConnector_combineStringsI(first.c_str(), second64.c_str(), &name, kCapacity), 1);
    ASSERT_NE(name, buffer);
    EXPECT_EQ(std::string(name), first + "::" + second64);
    EXPECT_EQ(buffer[0], '#');
    DDS_String_free(name);
}

// More than the 12 prepared entries, added out of order; absent entities lie between present
// ones and only an exact match counts; names are copied and an entity is refused twice.
TEST(LookupList, FindsOnlyTheEntitiesAddedUnderTheirOwnCopyOfTheName)
{
    BareConnector bare;
    int handles[100];
    char name[16];
    for (int i = 98; i >= 0; i -= 2) {
        std::snprintf(name, sizeof name, "S::R%d", i);
        ASSERT_EQ(QueltDDSConnector_EntitiesLookupList_addEntity(bare.c, &handles[i], name), 0);
    }
    std::strcpy(name, "X");
    for (int i = 0; i < 100; i += 2)
        EXPECT_STREQ(QueltDDSConnector_EntitiesLookupList_lookupEntity(bare.c, &handles[i]), ("S::R" + std::to_string(i)).c_str());

    LogCapture log;
    EXPECT_EQ(QueltDDSConnector_EntitiesLookupList_lookupEntity(bare.c, &handles[51]), nullptr);
    EXPECT_EQ(QueltDDSConnector_EntitiesLookupList_lookupEntity(bare.c, &handles[99]), nullptr);
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_TRUE(log.contains("node not found")) << log.text();
    EXPECT_TRUE(log.contains("QueltDDSConnector_EntitiesLookupList_lookup")) << log.text();
    log.clear();
    const int buffers = QueltPool_getBufferCount(bare.c->entitiesLookupListPool);
    EXPECT_EQ(QueltDDSConnector_EntitiesLookupList_addEntity(bare.c, &handles[0], "Other::Name"), 1);
    EXPECT_EQ(QueltPool_getBufferCount(bare.c->entitiesLookupListPool), buffers);
    EXPECT_TRUE(log.contains("assertNodeEA")) << log.text();
    EXPECT_STREQ(QueltDDSConnector_EntitiesLookupList_lookupEntity(bare.c, &handles[0]), "S::R0");
}

TEST(EntityTables, PositionsFollowPublisherAndSubscriberOrder)
{
    Connector c(80, "TestLib::Ordered", testXml());
    ASSERT_NE(c, nullptr);
    const std::vector<std::string> writers = entityNames(c, false), readers = entityNames(c, true);
    EXPECT_EQ(writers, (std::vector<std::string>{"P1::W1", "P1::W2", "P2::W3"}));
    EXPECT_EQ(readers, (std::vector<std::string>{"S1::R1", "S1::R2", "S2::R3", "S2::R4"}));
    // Alias positions are the table positions plus one.
    EXPECT_EQ(runLua(c, "local m = CONTAINER.CONTEXT['#output_map'] return #m, m[1], m[2], m[3]"),
              (std::vector<std::string>{"3", "P1::W1", "P1::W2", "P2::W3"}));
    EXPECT_EQ(runLua(c, "local m = CONTAINER.CONTEXT['#input_map'] return #m, m[1], m[2], m[3], m[4]"),
              (std::vector<std::string>{"4", "S1::R1", "S1::R2", "S2::R3", "S2::R4"}));
    // Each entry points at its own holder's buffers.
    char a[40], b[40];
    for (size_t i = 0; i < writers.size(); ++i) {
        std::snprintf(a, sizeof a, "userdata: %p", static_cast<void *>(c->publicationHolders[i].instance));
        EXPECT_EQ(runLua(c, "return rawget(CONTAINER.WRITER['" + writers[i] + "'].instance, '#sample')"), std::vector<std::string>{a});
    }
    for (size_t i = 0; i < readers.size(); ++i) {
        std::snprintf(a, sizeof a, "userdata: %p", static_cast<void *>(&c->subscriptionHolders[i].dataSequence));
        std::snprintf(b, sizeof b, "userdata: %p", static_cast<void *>(c->subscriptionHolders[i].keyHolder));
        EXPECT_EQ(runLua(c, "local s = CONTAINER.READER['" + readers[i] + "'].samples return rawget(s, '#sampleSeq'), rawget(s, '#keyHolder')"),
                  (std::vector<std::string>{a, b}));
    }
}

TEST(EntityTables, MissingNamesBecomeNoNameSetAndLongOnesAreRegisteredWhole)
{
    Connector c(81, "TestLib::Unnamed", testXml());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(entityNames(c, false), std::vector<std::string>{"NO_NAME_SET::NO_NAME_SET"});
    EXPECT_EQ(entityNames(c, true), (std::vector<std::string>{"NO_NAME_SET::R", "NO_NAME_SET::NO_NAME_SET", "NO_NAME_SET::NO_NAME_SET"}));
    // Two readers under one full name share one entry, so one alias.
    EXPECT_EQ(runLua(c, "local m = CONTAINER.CONTEXT['#input_map'] return #m, m[1], m[2]"),
              (std::vector<std::string>{"2", "NO_NAME_SET::R", "NO_NAME_SET::NO_NAME_SET"}));

    Connector longNames(82, "TestLib::LongNames", testXml());
    ASSERT_NE(longNames.c, nullptr);
    EXPECT_EQ(entityNames(longNames.c, false), (std::vector<std::string>{std::string(63, 'p') + "::" + std::string(63, 'w'),
                                                                         std::string(64, 'q') + "::" + std::string(63, 'w')}));
    // 128 characters fill the name buffer exactly; 129 need a string of their own.
    EXPECT_EQ(runLua(longNames.c, "local m = CONTAINER.CONTEXT['#output_map'] return #m[1], #m[2]"), (std::vector<std::string>{"128", "129"}));
}
