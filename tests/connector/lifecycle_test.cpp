// Creating and deleting connectors: from configurations, from an existing participant, and every
// construction failure that can be provoked from outside.
#include "connector_test_support.h"

#include <functional>

#include <malloc.h>

using namespace quelt::test;

#if defined(__SANITIZE_ADDRESS__)
// Fast DDS 2.9 deletes some of its readers and writers through a base class of another size,
// which ASan reports when any participant is deleted. That is the library's, not ours.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options() { return "new_delete_type_mismatch=0"; }
#endif

namespace {

std::vector<std::string> factoryFiles()
{
    DDS_DomainParticipantFactoryQos qos;
    DDS_DomainParticipantFactoryQos_initialize(&qos);
    EXPECT_EQ(DDS_DomainParticipantFactory_get_qos(DDS_DomainParticipantFactory_get_instance(), &qos), DDS_RETCODE_OK);
    std::vector<std::string> files;
    for (DDS_Long i = 0; i < DDS_StringSeq_get_length(&qos.profile.url_profile); ++i)
        files.emplace_back(*DDS_StringSeq_get_reference(&qos.profile.url_profile, i));
    DDS_DomainParticipantFactoryQos_finalize(&qos);
    return files;
}

void useFactoryFile(const char *path)
{
    DDS_DomainParticipantFactoryQos qos;
    DDS_DomainParticipantFactoryQos_initialize(&qos);
    ASSERT_TRUE(DDS_StringSeq_ensure_length(&qos.profile.url_profile, 1, 1));
    *DDS_StringSeq_get_reference(&qos.profile.url_profile, 0) = DDS_String_dup(path);
    ASSERT_EQ(DDS_DomainParticipantFactory_set_qos(DDS_DomainParticipantFactory_get_instance(), &qos), DDS_RETCODE_OK);
    DDS_DomainParticipantFactoryQos_finalize(&qos);
}

// Bytes the C allocator has handed out and not yet had back: a leaked round shows here byte for
// byte, where RSS only shows whole pages and the allocator's own caching.
long heapInUse()
{
    const struct mallinfo2 m = mallinfo2();
    return static_cast<long>(m.uordblks + m.hblkhd);
}

} // namespace

TEST(ConnectorLifecycle, NullConfigNameIsRefusedWithoutTouchingTheFactory)
{
    const std::vector<std::string> before = factoryFiles();
    LogCapture log;
    EXPECT_EQ(QueltDDSConnector_new(nullptr, "/nonexistent/should_not_be_used.xml", nullptr), nullptr);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u) << log.text();
    EXPECT_NE(lines[0].find("QueltDDSConnector_new"), std::string::npos);
    EXPECT_NE(lines[0].find("configName cannot be null"), std::string::npos);
    EXPECT_EQ(factoryFiles(), before);
}

TEST(ConnectorLifecycle, UnknownConfigurationFailsAfterSettingTheFactoryFile)
{
    DomainXml xml(testXml(), 73);
    LogCapture log;
    EXPECT_EQ(QueltDDSConnector_new("TestLib::NoSuchParticipant", xml.path(), nullptr), nullptr);
    const int failure = log.lineOf("!new participant");
    ASSERT_GE(failure, 0) << log.text();
    EXPECT_NE(log.lines()[failure].find("QueltDDSConnector_newI"), std::string::npos);
    // The teardown of the half-built connector reports the lookup list it never made.
    EXPECT_GT(log.lineOf("QueltDDSConnector_EntitiesLookupList_delete"), failure) << log.text();
    EXPECT_EQ(factoryFiles(), std::vector<std::string>{xml.path()});
}

TEST(ConnectorLifecycle, ConstructionFailuresAreLogged)
{
    DomainXml badType(replaceAll(testXml(), R"(<member name="x" type="int32"/>)",
                                 R"(<member name="x" type="nonBasic" nonBasicTypeName="NoSuchType"/>)"),
                      74);
    const struct {
        std::function<QueltDDSConnector *()> make;
        std::vector<const char *> pieces;
    } rows[] = {
        {[] { return QueltDDSConnector_new("ShapesLib::Shapes", "/nonexistent/Shapes.xml", nullptr); }, {"!new participant"}},
        {[&] { return QueltDDSConnector_new("TestLib::Ordered", badType.path(), nullptr); }, {"NoSuchType", "!new participant"}},
        {[] { return QueltDDSConnector_new_from_participant(nullptr, "x", nullptr); },
         {"QueltDDSConnector_new_from_participant", "participant cannot be null"}},
    };
    for (const auto &row : rows) {
        LogCapture log;
        EXPECT_EQ(row.make(), nullptr) << row.pieces.back();
        for (const char *piece : row.pieces)
            EXPECT_TRUE(log.contains(piece)) << piece << "\n" << log.text();
    }
}

TEST(ConnectorLifecycle, NullConfigFileUsesTheFactoryFileList)
{
    DomainXml xml(testXml(), 75);
    QueltDDSConnector *first = QueltDDSConnector_new("TestLib::Writer", xml.path(), nullptr);
    ASSERT_NE(first, nullptr);
    QueltDDSConnector *second = QueltDDSConnector_new("TestLib::Reader", nullptr, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(readerNames(second), std::vector<std::string>{"Sub::R"});
    QueltDDSConnector_delete(second);
    QueltDDSConnector_delete(first);
}

TEST(ConnectorLifecycle, ParticipantsWithoutWritersOrReadersGiveEmptyTables)
{
    DomainXml xml(testXml(), 76);
    for (const char *config : {"TestLib::Empty", "TestLib::GroupsOnly"}) {
        SCOPED_TRACE(config);
        QueltDDSConnector *c = QueltDDSConnector_new(config, xml.path(), nullptr);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->publicationHolders, nullptr);
        EXPECT_EQ(c->publicationHolderCount, 0);
        EXPECT_EQ(c->subscriptionHolders, nullptr);
        EXPECT_EQ(c->subscriptionHolderCount, 0);
        EXPECT_EQ(runLua(c, "return #CONTAINER.CONTEXT['#output_map'], #CONTAINER.CONTEXT['#input_map']"),
                  (std::vector<std::string>{"0", "0"}));
        EXPECT_EQ(stackHeight(c), 0);
        QueltDDSConnector_delete(c);
    }
}

TEST(ConnectorLifecycle, ReadersAreAttachedToTheWaitsetOnlyWhenAsked)
{
    DomainXml xml(testXml(), 77);
    for (uint32_t attach : {0u, 1u}) {
        SCOPED_TRACE(attach);
        const QueltDDSConnectorOptions options = {attach};
        QueltDDSConnector *c = QueltDDSConnector_new("TestLib::Ordered", xml.path(), &options);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->attachReadersToWaitset, attach);
        for (DDS_Long i = 0; i < c->subscriptionHolderCount; ++i) {
            DDS_StatusCondition *cond = DDS_Entity_get_statuscondition(DDS_DataReader_as_entity(*DDS_DataReaderSeq_get_reference(&c->readers, i)));
            if (attach)
                EXPECT_EQ(DDS_StatusCondition_get_enabled_statuses(cond), DDS_DATA_AVAILABLE_STATUS);
            else
                EXPECT_EQ(DDS_StatusCondition_get_enabled_statuses(cond), DDS_STATUS_MASK_ALL);
        }
        QueltDDSConnector_delete(c);
    }
}

TEST(ConnectorLifecycle, AdoptedParticipantSurvivesWithoutEntities)
{
    DomainXml xml(testXml(), 78);
    useFactoryFile(xml.path());
    DDS_DomainParticipantFactory *factory = DDS_DomainParticipantFactory_get_instance();
    DDS_DomainParticipant *participant = DDS_DomainParticipantFactory_create_participant_from_config(factory, "TestLib::Ordered");
    ASSERT_NE(participant, nullptr);

    QueltDDSConnector *c = QueltDDSConnector_new_from_participant(participant, "Adopted", nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->ownsParticipant, 0);
    EXPECT_EQ(c->participant, participant);
    EXPECT_EQ(c->publicationHolderCount, 3);
    EXPECT_EQ(c->subscriptionHolderCount, 4);
    EXPECT_STREQ(c->base->engine->container.name, "Adopted");
    // The main table stays published under the engine's default name.
    EXPECT_EQ(runLua(c, "return type(CONTAINER)"), std::vector<std::string>{"table"});
    QueltDDSConnector_delete(c);

    DDS_PublisherSeq pubs = DDS_SEQUENCE_INITIALIZER;
    DDS_SubscriberSeq subs = DDS_SEQUENCE_INITIALIZER;
    ASSERT_EQ(DDS_DomainParticipant_get_publishers(participant, &pubs), DDS_RETCODE_OK);
    ASSERT_EQ(DDS_DomainParticipant_get_subscribers(participant, &subs), DDS_RETCODE_OK);
    EXPECT_EQ(DDS_PublisherSeq_get_length(&pubs), 0);
    EXPECT_EQ(DDS_SubscriberSeq_get_length(&subs), 0);
    DDS_PublisherSeq_finalize(&pubs);
    DDS_SubscriberSeq_finalize(&subs);
    EXPECT_EQ(DDS_DomainParticipantFactory_delete_participant(factory, participant), DDS_RETCODE_OK);
}

TEST(ConnectorLifecycle, ConnectorsKeepMemoryFlat)
{
    DomainXml xml(shapesXml(), 79);
    constexpr int kWarmUp = 20;
    constexpr int kTotal = 80;
    long afterWarmUp = 0;
    for (int i = 0; i < kTotal; ++i) {
        QueltDDSConnector *c = QueltDDSConnector_new("ShapesLib::Shapes", xml.path(), nullptr);
        ASSERT_NE(c, nullptr) << "iteration " << i;
        QueltDDSConnector_delete(c);
        if (i + 1 == kWarmUp)
            afterWarmUp = heapInUse();
    }
    const long growth = heapInUse() - afterWarmUp;
    std::printf("heap in use grew by %ld bytes over %d connectors after %d\n", growth, kTotal - kWarmUp, kWarmUp);
#if defined(__SANITIZE_ADDRESS__)
    // ASan's allocator does not report through mallinfo2; LeakSanitizer checks instead.
    (void)growth;
#else
    // A round that keeps a kilobyte (any entity, engine or table of a connector) fails here. Heap in
    // use still creeps by a few hundred bytes a round, less as rounds go on, and LeakSanitizer sees
    // none of it lost: something keeps growing but reachable.
    EXPECT_LT(growth, (kTotal - kWarmUp) * 1024L);
#endif
}

namespace {
QueltDDSConnector *g_leftAtExit = nullptr; // reachable: the process exits with it on purpose
}

// A host that exits without deleting its connector, a reader's loan still out, exits cleanly
// (Fast DDS's own statics would otherwise abort on the loan).
TEST(ConnectorLifecycleDeathTest, ExitWithAConnectorHoldingALoanIsClean)
{
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    DomainXml xml(shapesXml(), 105);
    EXPECT_EXIT(
        {
            g_leftAtExit = QueltDDSConnector_new("ShapesLib::Shapes", xml.path(), nullptr);
            QueltDDSConnector_setStringIntoSamples(g_leftAtExit, "Pub::SquareWriter", "color", "RED");
            QueltDDSConnector_write(g_leftAtExit, "Pub::SquareWriter", nullptr);
            QueltDDSConnector_wait(g_leftAtExit, 2000);
            QueltDDSConnector_take(g_leftAtExit, "Sub::SquareReader");
            std::exit(QueltDDSConnector_getSamplesLength(g_leftAtExit, "Sub::SquareReader") == 1 ? 0 : 7);
        },
        testing::ExitedWithCode(0), "");
}
