#include "convert.h"

#include <algorithm>
#include <cstring>

namespace quelt::mw::cyclone {
namespace {

template <typename Q> void common(const Q &q, EndpointQos &o, const std::vector<std::string> &partitions)
{
    o.reliable = q.reliability.kind == DDS_RELIABLE_RELIABILITY_QOS;
    o.max_blocking_ns = to_ns(q.reliability.max_blocking_time);
    o.durability = int(q.durability.kind);
    o.keep_all = q.history.kind == DDS_KEEP_ALL_HISTORY_QOS;
    o.depth = q.history.depth;
    o.max_samples = q.resource_limits.max_samples;
    o.max_instances = q.resource_limits.max_instances;
    o.max_samples_per_instance = q.resource_limits.max_samples_per_instance;
    o.deadline_ns = to_ns(q.deadline.period);
    o.latency_budget_ns = to_ns(q.latency_budget.duration);
    o.liveliness = int(q.liveliness.kind);
    o.lease_ns = to_ns(q.liveliness.lease_duration);
    o.exclusive = q.ownership.kind == DDS_EXCLUSIVE_OWNERSHIP_QOS;
    o.by_source_timestamp = q.destination_order.kind == DDS_BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS;
    o.partitions = partitions;
}

void guid_handle(DDS_InstanceHandle_t &h, const unsigned char g[16])
{
    std::memcpy(h.value, g, 16);
    h.isValid = std::any_of(g, g + 16, [](unsigned char c) { return c != 0; }) ? DDS_BOOLEAN_TRUE : DDS_BOOLEAN_FALSE;
}

} // namespace

int64_t to_ns(const DDS_Duration_t &d)
{
    if (d.sec == DDS_DURATION_INFINITE_SEC)
        return kInfinite;
    return int64_t(d.sec) * 1'000'000'000 + d.nanosec;
}

EndpointQos writer_qos(const DDS_DataWriterQos &q, const std::vector<std::string> &partitions, const DDS_TypeCode *type)
{
    EndpointQos o;
    common(q, o, partitions);
    o.lifespan_ns = to_ns(q.lifespan.duration);
    o.strength = q.ownership_strength.value;
    o.xcdr2 = q.representation.length > 0 ? q.representation.value[0] == DDS_XCDR2_DATA_REPRESENTATION
                                          : cdr_default_version(type) == CdrVersion::Xcdr2;
    o.batching = q.cyclone.batching;
    if (q.publication_name.name)
        o.name = q.publication_name.name;
    return o;
}

EndpointQos reader_qos(const DDS_DataReaderQos &q, const std::vector<std::string> &partitions, const DDS_TypeCode *type)
{
    EndpointQos o;
    common(q, o, partitions);
    o.minimum_separation_ns = to_ns(q.time_based_filter.minimum_separation);
    // As configured, else both for final types (peers differ in what they send for them) and
    // XCDR2 for extensible ones.
    if (q.representation.length > 0) {
        o.accept_xcdr1 = o.accept_xcdr2 = false;
        for (DDS_Long i = 0; i < q.representation.length; ++i)
            (q.representation.value[i] == DDS_XCDR2_DATA_REPRESENTATION ? o.accept_xcdr2 : o.accept_xcdr1) = true;
    } else {
        o.accept_xcdr1 = cdr_default_version(type) == CdrVersion::Xcdr1;
        o.accept_xcdr2 = true;
    }
    if (q.subscription_name.name)
        o.name = q.subscription_name.name;
    return o;
}

void fill_info(DDS_SampleInfo &o, const SampleMeta &m)
{
    o = DDS_SampleInfo{};
    o.sample_state = m.sample_state;
    o.view_state = m.view_state;
    o.instance_state = m.instance_state;
    o.valid_data = m.valid ? DDS_BOOLEAN_TRUE : DDS_BOOLEAN_FALSE;
    o.source_timestamp = {DDS_Long(m.source_ns / 1'000'000'000), DDS_UnsignedLong(m.source_ns % 1'000'000'000)};
    o.reception_timestamp = {DDS_Long(m.reception_ns / 1'000'000'000), DDS_UnsignedLong(m.reception_ns % 1'000'000'000)};
    if (m.keyed) {
        std::memcpy(o.instance_handle.value, m.instance, 16);
        o.instance_handle.isValid = DDS_BOOLEAN_TRUE;
    }
    if (m.writer_known) {
        guid_handle(o.publication_handle, m.writer_guid);
        std::memcpy(o.original_publication_virtual_guid.value, m.writer_guid, 16);
    }
    // Cyclone 0.10 carries no sequence numbers and no related identity: they stay unknown.
    o.publication_sequence_number = o.original_publication_virtual_sequence_number = DDS_AUTO_SEQUENCE_NUMBER;
    o.related_original_publication_virtual_guid = DDS_GUID_AUTO;
    o.related_original_publication_virtual_sequence_number = DDS_AUTO_SEQUENCE_NUMBER;
    o.disposed_generation_count = m.disposed_generation_count;
    o.no_writers_generation_count = m.no_writers_generation_count;
    o.sample_rank = m.sample_rank;
    o.generation_rank = m.generation_rank;
    o.absolute_generation_rank = m.absolute_generation_rank;
}

namespace {

// The two matched statuses differ only in which remote end their last handle names.
template <typename Status>
Status matched(const EventCounts &c, DDS_InstanceHandle_t Status::*last)
{
    Status s{};
    s.total_count = c.total;
    s.total_count_change = c.total_change;
    s.current_count = c.current;
    s.current_count_change = c.current_change;
    guid_handle(s.*last, c.handle);
    return s;
}

} // namespace

DDS_PublicationMatchedStatus publication_matched(const EventCounts &c)
{
    return matched(c, &DDS_PublicationMatchedStatus::last_subscription_handle);
}

DDS_SubscriptionMatchedStatus subscription_matched(const EventCounts &c)
{
    return matched(c, &DDS_SubscriptionMatchedStatus::last_publication_handle);
}

DDS_LivelinessChangedStatus liveliness_changed(const EventCounts &c)
{
    DDS_LivelinessChangedStatus s{};
    s.alive_count = c.current;
    s.alive_count_change = c.current_change;
    s.not_alive_count = c.not_alive;
    s.not_alive_count_change = c.not_alive_change;
    guid_handle(s.last_publication_handle, c.handle);
    return s;
}

DDS_ReturnCode_t retcode(int rc)
{
    // Cyclone's codes are the standard's, negated.
    return rc >= 0 ? DDS_RETCODE_OK : static_cast<DDS_ReturnCode_t>(-rc);
}

} // namespace quelt::mw::cyclone
