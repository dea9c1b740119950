// Our QoS records, sample infos and statuses to and from the Cyclone engine's plain types.
#pragma once

#include "calls.h"
#include "wire/cdr.h"
#include "dds/dds_domain.h"
#include "dds/dds_qos.h"

#include <string>
#include <vector>

namespace quelt::mw::cyclone {

EndpointQos writer_qos(const DDS_DataWriterQos &q, const std::vector<std::string> &partitions, const DDS_TypeCode *type);
EndpointQos reader_qos(const DDS_DataReaderQos &q, const std::vector<std::string> &partitions, const DDS_TypeCode *type);

void fill_info(DDS_SampleInfo &o, const SampleMeta &m);

DDS_PublicationMatchedStatus publication_matched(const EventCounts &c);
DDS_SubscriptionMatchedStatus subscription_matched(const EventCounts &c);
DDS_LivelinessChangedStatus liveliness_changed(const EventCounts &c);

inline int64_t to_ns(const DDS_Time_t &t) { return int64_t(t.sec) * 1'000'000'000 + t.nanosec; }
int64_t to_ns(const DDS_Duration_t &d); // kInfinite for an infinite duration

// Cyclone's return codes (negative) as ours.
DDS_ReturnCode_t retcode(int cyclone_rc);

} // namespace quelt::mw::cyclone
