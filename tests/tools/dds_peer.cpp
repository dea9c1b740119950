// A second process for exchange tests: reads ShapeType samples through our layer and prints one
// line per sample, so that a test in another process can check what crossed the wire.
//   dds_peer FILE CONFIG READER COUNT TIMEOUT_S
// Prints "data COLOR X Y SIZE" or "notice COLOR STATE" per sample, then "idle RC" with the code
// of one more short wait (10 when nothing else came), and exits 0 once COUNT samples arrived.
#include "dds/dds_domain.h"
#include "dds/dds_string.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: dds_peer FILE CONFIG READER COUNT TIMEOUT_S\n");
        return 2;
    }
    const int count = std::atoi(argv[4]);
    const int timeout_s = std::atoi(argv[5]);
    DDS_DomainParticipantFactory *f = DDS_DomainParticipantFactory_get_instance();
    DDS_DomainParticipantFactoryQos q;
    DDS_DomainParticipantFactoryQos_initialize(&q);
    DDS_StringSeq_ensure_length(&q.profile.url_profile, 1, 1);
    *DDS_StringSeq_get_reference(&q.profile.url_profile, 0) = DDS_String_dup(argv[1]);
    DDS_DomainParticipantFactory_set_qos(f, &q);
    DDS_DomainParticipantFactoryQos_finalize(&q);
    DDS_DomainParticipant *p = DDS_DomainParticipantFactory_create_participant_from_config(f, argv[2]);
    DDS_DataReader *r = p ? DDS_DomainParticipant_lookup_datareader_by_name(p, argv[3]) : nullptr;
    if (!r)
        return 3;
    DDS_WaitSet *ws = DDS_WaitSet_new();
    DDS_StatusCondition *c = DDS_Entity_get_statuscondition(DDS_DataReader_as_entity(r));
    DDS_StatusCondition_set_enabled_statuses(c, DDS_DATA_AVAILABLE_STATUS);
    DDS_WaitSet_attach_condition(ws, DDS_StatusCondition_as_condition(c));
    std::printf("ready\n");
    std::fflush(stdout);

    DDS_DynamicDataSeq data;
    DDS_SampleInfoSeq infos;
    DDS_DynamicDataSeq_initialize(&data);
    DDS_SampleInfoSeq_initialize(&infos);
    int got = 0;
    const DDS_Duration_t step{1, 0};
    for (int waited = 0; got < count && waited < timeout_s;) {
        if (DDS_WaitSet_wait(ws, nullptr, &step) == DDS_RETCODE_TIMEOUT) {
            ++waited;
            continue;
        }
        if (DDS_DynamicDataReader_take(r, &data, &infos, -1, DDS_ANY_SAMPLE_STATE, DDS_ANY_VIEW_STATE, DDS_ANY_INSTANCE_STATE) != DDS_RETCODE_OK)
            continue;
        for (DDS_Long i = 0; i < DDS_DynamicDataSeq_get_length(&data); ++i, ++got) {
            DDS_DynamicData *s = DDS_DynamicDataSeq_get_reference(&data, i);
            const DDS_SampleInfo *info = DDS_SampleInfoSeq_get_reference(&infos, i);
            char *color = nullptr;
            DDS_UnsignedLong size = 0;
            DDS_DynamicData_get_string(s, &color, &size, "color", 0);
            if (info->valid_data) {
                DDS_Long x = 0, y = 0, ss = 0;
                DDS_DynamicData_get_long(s, &x, "x", 0);
                DDS_DynamicData_get_long(s, &y, "y", 0);
                DDS_DynamicData_get_long(s, &ss, "shapesize", 0);
                std::printf("data %s %d %d %d\n", color ? color : "?", x, y, ss);
            } else {
                std::printf("notice %s %u\n", color ? color : "?", info->instance_state);
            }
            DDS_String_free(color);
        }
        DDS_DynamicDataReader_return_loan(r, &data, &infos);
    }
    const DDS_Duration_t idle{0, 300000000};
    std::printf("idle %d\n", DDS_WaitSet_wait(ws, nullptr, &idle));
    std::fflush(stdout);
    DDS_DynamicDataSeq_finalize(&data);
    DDS_SampleInfoSeq_finalize(&infos);
    DDS_WaitSet_delete(ws);
    DDS_DomainParticipantFactory_delete_participant(f, p);
    DDS_DomainParticipantFactory_finalize_instance();
    return got >= count ? 0 : 1;
}
