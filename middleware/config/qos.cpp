// QoS records: defaults, copies, and the checks that refuse at load time what the engines
// cannot honour (rather than dropping it silently).
#include "config/xml_config.h"

#include "dds/dds_log.h"
#include "dds/dds_string.h"

#include <cstring>

namespace {

constexpr DDS_Duration_t kInfinite{DDS_DURATION_INFINITE_SEC, DDS_DURATION_INFINITE_NSEC};
constexpr DDS_Duration_t kZero{0, 0};
constexpr DDS_Duration_t kDefaultBlocking{0, 100000000};

template <typename Q> void common_defaults(Q &q, bool writer)
{
    q.durability.kind = DDS_VOLATILE_DURABILITY_QOS;
    q.deadline.period = kInfinite;
    q.latency_budget.duration = kZero;
    q.liveliness.kind = DDS_AUTOMATIC_LIVELINESS_QOS;
    q.liveliness.lease_duration = kInfinite;
    q.reliability.kind = writer ? DDS_RELIABLE_RELIABILITY_QOS : DDS_BEST_EFFORT_RELIABILITY_QOS;
    q.reliability.max_blocking_time = kDefaultBlocking;
    q.destination_order.kind = DDS_BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS;
    q.history.kind = DDS_KEEP_LAST_HISTORY_QOS;
    q.history.depth = 1;
    q.resource_limits.max_samples = DDS_LENGTH_UNLIMITED;
    q.resource_limits.max_instances = DDS_LENGTH_UNLIMITED;
    q.resource_limits.max_samples_per_instance = DDS_LENGTH_UNLIMITED;
    q.ownership.kind = DDS_SHARED_OWNERSHIP_QOS;
}

void name_free(DDS_EntityNameQosPolicy &n)
{
    DDS_String_free(n.name);
    DDS_String_free(n.role_name);
    n.name = n.role_name = nullptr;
}

bool name_copy(DDS_EntityNameQosPolicy &dst, const DDS_EntityNameQosPolicy &src)
{
    name_free(dst);
    dst.name = DDS_String_dup(src.name);
    dst.role_name = DDS_String_dup(src.role_name);
    return (!src.name || dst.name) && (!src.role_name || dst.role_name);
}

bool partition_copy(DDS_PartitionQosPolicy &dst, const DDS_PartitionQosPolicy &src)
{
    const DDS_Long n = DDS_StringSeq_get_length(&src.name);
    if (!DDS_StringSeq_set_maximum(&dst.name, 0) || !DDS_StringSeq_ensure_length(&dst.name, n, n))
        return false;
    for (DDS_Long i = 0; i < n; ++i) {
        char *s = *DDS_StringSeq_get_reference(const_cast<DDS_StringSeq *>(&src.name), i);
        char **d = DDS_StringSeq_get_reference(&dst.name, i);
        *d = DDS_String_dup(s);
        if (s && !*d)
            return false;
    }
    return true;
}

std::string check_common(const DDS_DurabilityQosPolicy &dur, const DDS_DestinationOrderQosPolicy &order, const DDS_HistoryQosPolicy &hist,
                         const DDS_ResourceLimitsQosPolicy &rl)
{
    if (dur.kind == DDS_TRANSIENT_DURABILITY_QOS || dur.kind == DDS_PERSISTENT_DURABILITY_QOS)
        return "durability TRANSIENT and PERSISTENT are not supported (VOLATILE, TRANSIENT_LOCAL are)";
    if (order.kind == DDS_BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS)
        return "destination order BY_SOURCE_TIMESTAMP is not supported by the transport";
    if (hist.kind == DDS_KEEP_LAST_HISTORY_QOS && hist.depth <= 0)
        return "history depth must be positive";
    if (hist.kind == DDS_KEEP_LAST_HISTORY_QOS && rl.max_samples_per_instance > 0 && hist.depth > rl.max_samples_per_instance)
        return "history depth exceeds resource_limits max_samples_per_instance";
    if (rl.max_samples > 0 && rl.max_samples_per_instance > 0 && rl.max_samples < rl.max_samples_per_instance)
        return "resource_limits max_samples is below max_samples_per_instance";
    return {};
}

} // namespace

namespace quelt::mw {

std::string check_writer_qos(const DDS_DataWriterQos &q)
{
    return check_common(q.durability, q.destination_order, q.history, q.resource_limits);
}

std::string check_reader_qos(const DDS_DataReaderQos &q)
{
    std::string err = check_common(q.durability, q.destination_order, q.history, q.resource_limits);
    if (err.empty() && (q.time_based_filter.minimum_separation.sec != 0 || q.time_based_filter.minimum_separation.nanosec != 0))
        err = "time_based_filter minimum_separation other than 0 is not supported by the transport";
    return err;
}

std::string check_topic_qos(const DDS_TopicQos &q)
{
    return check_common(q.durability, q.destination_order, q.history, q.resource_limits);
}

} // namespace quelt::mw

extern "C" {

const char *DDS_QosPolicyId_to_string(DDS_QosPolicyId_t id)
{
    static const char *const names[] = {"INVALID", "USER_DATA", "DURABILITY", "PRESENTATION", "DEADLINE", "LATENCY_BUDGET",
                                        "OWNERSHIP", "OWNERSHIP_STRENGTH", "LIVELINESS", "TIME_BASED_FILTER", "PARTITION",
                                        "RELIABILITY", "DESTINATION_ORDER", "HISTORY", "RESOURCE_LIMITS", "ENTITY_FACTORY",
                                        "WRITER_DATA_LIFECYCLE", "READER_DATA_LIFECYCLE", "TOPIC_DATA", "GROUP_DATA",
                                        "TRANSPORT_PRIORITY", "LIFESPAN", "DURABILITY_SERVICE", "DATA_REPRESENTATION"};
    if (id < 0 || id >= static_cast<DDS_QosPolicyId_t>(sizeof names / sizeof names[0]))
        return "UNKNOWN";
    return names[id];
}

DDS_ReturnCode_t DDS_TopicQos_initialize(DDS_TopicQos *qos)
{
    if (!qos)
        return DDS_RETCODE_BAD_PARAMETER;
    *qos = DDS_TopicQos{};
    common_defaults(*qos, false);
    qos->lifespan.duration = kInfinite;
    return DDS_RETCODE_OK;
}
DDS_ReturnCode_t DDS_TopicQos_finalize(DDS_TopicQos *qos) { return qos ? DDS_RETCODE_OK : DDS_RETCODE_BAD_PARAMETER; }

DDS_ReturnCode_t DDS_DataWriterQos_initialize(DDS_DataWriterQos *qos)
{
    if (!qos)
        return DDS_RETCODE_BAD_PARAMETER;
    *qos = DDS_DataWriterQos{};
    common_defaults(*qos, true);
    qos->lifespan.duration = kInfinite;
    return DDS_RETCODE_OK;
}
DDS_ReturnCode_t DDS_DataWriterQos_finalize(DDS_DataWriterQos *qos)
{
    if (!qos)
        return DDS_RETCODE_BAD_PARAMETER;
    name_free(qos->publication_name);
    return DDS_RETCODE_OK;
}
DDS_ReturnCode_t DDS_DataWriterQos_copy(DDS_DataWriterQos *dst, const DDS_DataWriterQos *src)
{
    if (!dst || !src)
        return DDS_RETCODE_BAD_PARAMETER;
    DDS_EntityNameQosPolicy keep = dst->publication_name;
    *dst = *src;
    dst->publication_name = keep;
    return name_copy(dst->publication_name, src->publication_name) ? DDS_RETCODE_OK : DDS_RETCODE_OUT_OF_RESOURCES;
}

DDS_ReturnCode_t DDS_DataReaderQos_initialize(DDS_DataReaderQos *qos)
{
    if (!qos)
        return DDS_RETCODE_BAD_PARAMETER;
    *qos = DDS_DataReaderQos{};
    common_defaults(*qos, false);
    return DDS_RETCODE_OK;
}
DDS_ReturnCode_t DDS_DataReaderQos_finalize(DDS_DataReaderQos *qos)
{
    if (!qos)
        return DDS_RETCODE_BAD_PARAMETER;
    name_free(qos->subscription_name);
    return DDS_RETCODE_OK;
}
DDS_ReturnCode_t DDS_DataReaderQos_copy(DDS_DataReaderQos *dst, const DDS_DataReaderQos *src)
{
    if (!dst || !src)
        return DDS_RETCODE_BAD_PARAMETER;
    DDS_EntityNameQosPolicy keep = dst->subscription_name;
    *dst = *src;
    dst->subscription_name = keep;
    return name_copy(dst->subscription_name, src->subscription_name) ? DDS_RETCODE_OK : DDS_RETCODE_OUT_OF_RESOURCES;
}

DDS_ReturnCode_t DDS_PublisherQos_initialize(DDS_PublisherQos *qos)
{
    if (!qos)
        return DDS_RETCODE_BAD_PARAMETER;
    *qos = DDS_PublisherQos{};
    DDS_StringSeq_initialize(&qos->partition.name);
    return DDS_RETCODE_OK;
}
DDS_ReturnCode_t DDS_PublisherQos_finalize(DDS_PublisherQos *qos)
{
    if (!qos)
        return DDS_RETCODE_BAD_PARAMETER;
    DDS_StringSeq_finalize(&qos->partition.name);
    name_free(qos->publisher_name);
    return DDS_RETCODE_OK;
}
DDS_ReturnCode_t DDS_PublisherQos_copy(DDS_PublisherQos *dst, const DDS_PublisherQos *src)
{
    if (!dst || !src)
        return DDS_RETCODE_BAD_PARAMETER;
    return partition_copy(dst->partition, src->partition) && name_copy(dst->publisher_name, src->publisher_name)
               ? DDS_RETCODE_OK
               : DDS_RETCODE_OUT_OF_RESOURCES;
}

DDS_ReturnCode_t DDS_SubscriberQos_initialize(DDS_SubscriberQos *qos)
{
    if (!qos)
        return DDS_RETCODE_BAD_PARAMETER;
    *qos = DDS_SubscriberQos{};
    DDS_StringSeq_initialize(&qos->partition.name);
    return DDS_RETCODE_OK;
}
DDS_ReturnCode_t DDS_SubscriberQos_finalize(DDS_SubscriberQos *qos)
{
    if (!qos)
        return DDS_RETCODE_BAD_PARAMETER;
    DDS_StringSeq_finalize(&qos->partition.name);
    name_free(qos->subscriber_name);
    return DDS_RETCODE_OK;
}
DDS_ReturnCode_t DDS_SubscriberQos_copy(DDS_SubscriberQos *dst, const DDS_SubscriberQos *src)
{
    if (!dst || !src)
        return DDS_RETCODE_BAD_PARAMETER;
    return partition_copy(dst->partition, src->partition) && name_copy(dst->subscriber_name, src->subscriber_name)
               ? DDS_RETCODE_OK
               : DDS_RETCODE_OUT_OF_RESOURCES;
}

DDS_ReturnCode_t DDS_DomainParticipantQos_initialize(DDS_DomainParticipantQos *qos)
{
    if (!qos)
        return DDS_RETCODE_BAD_PARAMETER;
    *qos = DDS_DomainParticipantQos{};
    return DDS_RETCODE_OK;
}
DDS_ReturnCode_t DDS_DomainParticipantQos_finalize(DDS_DomainParticipantQos *qos)
{
    if (!qos)
        return DDS_RETCODE_BAD_PARAMETER;
    name_free(qos->participant_name);
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DomainParticipantFactoryQos_initialize(DDS_DomainParticipantFactoryQos *qos)
{
    if (!qos)
        return DDS_RETCODE_BAD_PARAMETER;
    *qos = DDS_DomainParticipantFactoryQos{};
    DDS_StringSeq_initialize(&qos->profile.url_profile);
    return DDS_RETCODE_OK;
}
DDS_ReturnCode_t DDS_DomainParticipantFactoryQos_finalize(DDS_DomainParticipantFactoryQos *qos)
{
    if (!qos)
        return DDS_RETCODE_BAD_PARAMETER;
    return DDS_StringSeq_finalize(&qos->profile.url_profile) ? DDS_RETCODE_OK : DDS_RETCODE_ERROR;
}

} // extern "C"
