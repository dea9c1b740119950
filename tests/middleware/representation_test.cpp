// The announcement edit that makes our endpoints' data representation known to other
// implementations: the parameter goes into SEDP DATA of registered endpoints only, lengths
// follow, and anything else leaves the message as it was.
#include "representation_transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace quelt::mw;
namespace frtps = eprosima::fastrtps::rtps;

namespace {

using Bytes = std::vector<uint8_t>;

frtps::GUID_t guid(uint8_t last)
{
    frtps::GUID_t g;
    for (int i = 0; i < 12; ++i)
        g.guidPrefix.value[i] = uint8_t(0x40 + i);
    const uint8_t entity[4] = {0, 0, last, 0x02};
    std::memcpy(g.entityId.value, entity, 4);
    return g;
}

// An RTPS message with one little-endian DATA submessage of the given writer, whose PL_CDR_LE
// payload holds a topic name parameter, the endpoint GUID and the sentinel.
Bytes announcement(const uint8_t writer[4], const frtps::GUID_t &endpoint, uint16_t data_length_field = 1)
{
    Bytes m = {'R', 'T', 'P', 'S', 2, 3, 1, 15};
    m.resize(20, 0x11);
    Bytes body = {0, 0, 16, 0, 0, 0, 0, 0}; // extra flags, octetsToInlineQos 16, reader id
    body.insert(body.end(), writer, writer + 4);
    body.insert(body.end(), {0, 0, 0, 0, 1, 0, 0, 0}); // sequence number
    body.insert(body.end(), {0, 3, 0, 0});             // PL_CDR_LE
    body.insert(body.end(), {0x05, 0, 8, 0, 4, 0, 0, 0, 'a', 'b', 'c', 0}); // PID_TOPIC_NAME "abc"
    body.insert(body.end(), {0x5a, 0, 16, 0});
    body.insert(body.end(), endpoint.guidPrefix.value, endpoint.guidPrefix.value + 12);
    body.insert(body.end(), endpoint.entityId.value, endpoint.entityId.value + 4);
    body.insert(body.end(), {1, 0, 0, 0}); // sentinel
    const uint16_t len = data_length_field ? uint16_t(body.size()) : 0;
    m.insert(m.end(), {0x15, 0x05, uint8_t(len), uint8_t(len >> 8)});
    m.insert(m.end(), body.begin(), body.end());
    return m;
}

const uint8_t kPublications[4] = {0, 0, 3, 0xc2};
const uint8_t kUserWriter[4] = {0, 0, 1, 0x02};

TEST(Representation, AnnouncementsOfRegisteredEndpointsGainTheParameter)
{
    const frtps::GUID_t mine = guid(7), other = guid(8);
    announce_representation(mine, {2, 0});
    for (uint16_t length_field : {uint16_t(1), uint16_t(0)}) {
        SCOPED_TRACE(length_field ? "submessage length given" : "submessage to the end");
        const Bytes in = announcement(kPublications, mine, length_field);
        Bytes out;
        ASSERT_TRUE(complete_announcements(in.data(), uint32_t(in.size()), out));
        ASSERT_EQ(out.size(), in.size() + 12);
        // PID_DATA_REPRESENTATION, length 8, count 2, XCDR2 then XCDR1, before the sentinel.
        const Bytes param = {0x73, 0, 8, 0, 2, 0, 0, 0, 2, 0, 0, 0};
        EXPECT_EQ(Bytes(out.end() - 16, out.end() - 4), param);
        EXPECT_EQ(Bytes(out.end() - 4, out.end()), (Bytes{1, 0, 0, 0}));
        const uint16_t len = uint16_t(out[22] | out[23] << 8);
        EXPECT_EQ(len, length_field ? out.size() - 24 : 0u);
    }
    // Not registered, not an announcement, already completed, or not RTPS at all: untouched.
    Bytes out;
    for (const Bytes &in : {announcement(kPublications, other), announcement(kUserWriter, mine), Bytes{'R', 'T', 'P', 'S'}}) {
        EXPECT_FALSE(complete_announcements(in.data(), uint32_t(in.size()), out));
    }
    Bytes done;
    const Bytes in = announcement(kPublications, mine);
    ASSERT_TRUE(complete_announcements(in.data(), uint32_t(in.size()), done));
    EXPECT_FALSE(complete_announcements(done.data(), uint32_t(done.size()), out));
    // A submessage that claims more than the message holds stops the edit.
    Bytes broken = in;
    broken[22] = 0xff;
    broken[23] = 0xff;
    EXPECT_FALSE(complete_announcements(broken.data(), uint32_t(broken.size()), out));
    forget_representations(mine.guidPrefix);
    EXPECT_FALSE(complete_announcements(in.data(), uint32_t(in.size()), out));
}

} // namespace
