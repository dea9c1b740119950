// Fast DDS 2.9 leaves the data representation QoS out of the endpoint announcements it sends
// (SEDP), whatever the writer's or reader's QoS says. Other implementations then take every
// writer for an XCDR1 one and every reader for one that accepts XCDR1 only, and never match them
// with XCDR2 peers, which is what appendable and mutable types use. This transport sits over
// UDPv4 and adds the parameter to the announcements of the endpoints registered here; everything
// else passes unchanged.
#pragma once

#include <fastdds/rtps/common/Guid.h>
#include <fastdds/rtps/transport/TransportDescriptorInterface.h>
#include <fastdds/rtps/transport/UDPv4TransportDescriptor.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace quelt::mw {

// The representations (XTypes ids: 0 XCDR1, 2 XCDR2) an endpoint announces, in order.
void announce_representation(const eprosima::fastrtps::rtps::GUID_t &endpoint, std::vector<int16_t> ids);
// Forgets every endpoint of a participant.
void forget_representations(const eprosima::fastrtps::rtps::GuidPrefix_t &participant);

// The given UDPv4 transport with the announcements completed.
std::shared_ptr<eprosima::fastdds::rtps::TransportDescriptorInterface>
representation_udp_transport(std::shared_ptr<eprosima::fastdds::rtps::UDPv4TransportDescriptor> udp);

// The edit itself, on one RTPS message: returns true and fills out when a registered endpoint's
// announcement was completed (exposed for tests).
bool complete_announcements(const uint8_t *msg, uint32_t size, std::vector<uint8_t> &out);

} // namespace quelt::mw
