// Completing Fast DDS's endpoint announcements with the data representation (see the header).
//
// An announcement is an RTPS DATA submessage of the SEDP publications or subscriptions writer
// whose payload is a parameter list (PL_CDR): we find the endpoint's GUID in it and, for one of
// ours, insert PID_DATA_REPRESENTATION in front of the sentinel. Anything we cannot parse, or
// would make too long, goes out as it came.
#include "engines/fastdds/representation_transport.h"

#include <fastdds/rtps/network/SenderResource.h>
#include <fastdds/rtps/transport/ChainingTransport.h>
#include <fastdds/rtps/transport/ChainingTransportDescriptor.h>
#include <fastdds/rtps/transport/UDPv4TransportDescriptor.h>

#include <array>
#include <cstring>
#include <map>
#include <mutex>

namespace quelt::mw {

namespace frtps = eprosima::fastrtps::rtps;
namespace ftr = eprosima::fastdds::rtps;

namespace {

using Guid = std::array<uint8_t, 16>;

struct Registry {
    std::mutex lock;
    std::map<Guid, std::vector<int16_t>> by_guid;
};

Registry &registry()
{
    static Registry *r = new Registry; // used by transport threads until the process ends
    return *r;
}

Guid key_of(const frtps::GUID_t &g)
{
    Guid k;
    std::memcpy(k.data(), g.guidPrefix.value, 12);
    std::memcpy(k.data() + 12, g.entityId.value, 4);
    return k;
}

constexpr uint8_t kSubmsgData = 0x15;
constexpr uint8_t kFlagLittle = 0x01, kFlagInlineQos = 0x02, kFlagData = 0x04;
constexpr uint16_t kPidSentinel = 0x0001, kPidEndpointGuid = 0x005a, kPidDataRepresentation = 0x0073;
constexpr uint16_t kPlCdrBe = 0x0002, kPlCdrLe = 0x0003;
const uint8_t kSedpPublications[4] = {0, 0, 3, 0xc2};
const uint8_t kSedpSubscriptions[4] = {0, 0, 4, 0xc2};

uint16_t get16(const uint8_t *p, bool little) { return little ? uint16_t(p[0] | p[1] << 8) : uint16_t(p[0] << 8 | p[1]); }
void put16(uint8_t *p, uint16_t v, bool little)
{
    p[little ? 0 : 1] = uint8_t(v);
    p[little ? 1 : 0] = uint8_t(v >> 8);
}
void put32(uint8_t *p, uint32_t v, bool little)
{
    for (int i = 0; i < 4; ++i)
        p[little ? i : 3 - i] = uint8_t(v >> (8 * i));
}

// The end of the parameter list starting at p (the offset after its sentinel), or 0.
size_t skip_parameters(const uint8_t *msg, size_t p, size_t end, bool little)
{
    while (p + 4 <= end) {
        const uint16_t pid = get16(msg + p, little), len = get16(msg + p + 2, little);
        p += 4;
        if (pid == kPidSentinel)
            return p;
        p += len;
    }
    return 0;
}

struct Insertion {
    size_t header;   // offset of the submessage header, whose length grows
    size_t at;       // where the parameter goes (the sentinel's offset)
    bool sub_little; // byte order of the submessage header
    bool fix_length = true;
    std::vector<uint8_t> bytes;
};

// The insertion the DATA submessage at offset sub needs, if any.
bool plan_insertion(const uint8_t *msg, size_t sub, size_t end, Insertion &ins)
{
    const uint8_t flags = msg[sub + 1];
    const bool little = flags & kFlagLittle;
    if (msg[sub] != kSubmsgData || !(flags & kFlagData) || sub + 24 > end)
        return false;
    const size_t body = sub + 4;
    const uint8_t *writer = msg + body + 8;
    if (std::memcmp(writer, kSedpPublications, 4) != 0 && std::memcmp(writer, kSedpSubscriptions, 4) != 0)
        return false;
    size_t p = body + 4 + get16(msg + body + 2, little); // octetsToInlineQos counts from after that field
    if ((flags & kFlagInlineQos) && !(p = skip_parameters(msg, p, end, little)))
        return false;
    if (p + 4 > end)
        return false;
    const uint16_t enc = uint16_t(msg[p] << 8 | msg[p + 1]);
    if (enc != kPlCdrBe && enc != kPlCdrLe)
        return false;
    const bool pl_little = enc == kPlCdrLe;
    p += 4;
    const std::vector<int16_t> *ids = nullptr;
    while (p + 4 <= end) {
        const uint16_t pid = get16(msg + p, pl_little) & 0x3fff, len = get16(msg + p + 2, pl_little);
        if (pid == kPidSentinel)
            break;
        if (pid == kPidDataRepresentation)
            return false; // already there: a newer Fast DDS
        if (pid == kPidEndpointGuid && len >= 16 && p + 4 + 16 <= end) {
            Guid g;
            std::memcpy(g.data(), msg + p + 4, 16);
            Registry &r = registry();
            std::lock_guard<std::mutex> guard(r.lock);
            auto it = r.by_guid.find(g);
            if (it == r.by_guid.end())
                return false;
            ins.bytes.clear();
            const size_t n = it->second.size();
            const size_t value = (4 + 2 * n + 3) & ~size_t(3);
            ins.bytes.resize(4 + value, 0);
            put16(ins.bytes.data(), kPidDataRepresentation, pl_little);
            put16(ins.bytes.data() + 2, uint16_t(value), pl_little);
            put32(ins.bytes.data() + 4, uint32_t(n), pl_little);
            for (size_t i = 0; i < n; ++i)
                put16(ins.bytes.data() + 8 + 2 * i, uint16_t(it->second[i]), pl_little);
            ids = &it->second;
        }
        p += 4 + len;
    }
    if (!ids || p + 4 > end)
        return false;
    ins.header = sub;
    ins.at = p;
    ins.sub_little = little;
    return true;
}

struct RepresentationDescriptor : ftr::ChainingTransportDescriptor {
    using ChainingTransportDescriptor::ChainingTransportDescriptor;
    ftr::TransportInterface *create_transport() const override;
};

class RepresentationTransport : public ftr::ChainingTransport {
  public:
    explicit RepresentationTransport(const RepresentationDescriptor &d)
        : ChainingTransport(d), descriptor_(d), max_(d.max_message_size())
    {
    }

    ftr::TransportDescriptorInterface *get_configuration() override { return &descriptor_; }

    bool send(frtps::SenderResource *low, const frtps::octet *buf, uint32_t size, frtps::LocatorsIterator *begin,
              frtps::LocatorsIterator *end, const std::chrono::steady_clock::time_point &timeout) override
    {
        // Static TLS: the library may be loaded with dlopen (the Lua module), and dynamic TLS of
        // such libraries trips LeakSanitizer at exit.
        thread_local std::vector<uint8_t> edited __attribute__((tls_model("initial-exec")));
        if (complete_announcements(buf, size, edited) && edited.size() <= max_)
            return low->send(edited.data(), uint32_t(edited.size()), begin, end, timeout);
        return low->send(buf, size, begin, end, timeout);
    }

    void receive(ftr::TransportReceiverInterface *next, const frtps::octet *buf, uint32_t size, const frtps::Locator_t &local,
                 const frtps::Locator_t &remote) override
    {
        next->OnDataReceived(buf, size, local, remote);
    }

  private:
    RepresentationDescriptor descriptor_;
    uint32_t max_;
};

ftr::TransportInterface *RepresentationDescriptor::create_transport() const { return new RepresentationTransport(*this); }

} // namespace

bool complete_announcements(const uint8_t *msg, uint32_t size, std::vector<uint8_t> &out)
{
    if (size < 20 || std::memcmp(msg, "RTPS", 4) != 0)
        return false;
    std::vector<Insertion> todo;
    for (size_t sub = 20; sub + 4 <= size;) {
        const uint16_t len = get16(msg + sub + 2, msg[sub + 1] & kFlagLittle);
        // Length 0 on a DATA means "up to the end of the message".
        const size_t end = len == 0 && msg[sub] == kSubmsgData ? size : sub + 4 + len;
        if (end > size)
            return false;
        Insertion ins;
        if (plan_insertion(msg, sub, end, ins)) {
            ins.fix_length = len != 0;
            todo.push_back(std::move(ins));
        }
        sub = end;
    }
    if (todo.empty())
        return false;
    out.assign(msg, msg + size);
    // Back to front, so earlier offsets stay right.
    for (auto it = todo.rbegin(); it != todo.rend(); ++it) {
        out.insert(out.begin() + long(it->at), it->bytes.begin(), it->bytes.end());
        if (!it->fix_length)
            continue;
        const uint16_t len = get16(out.data() + it->header + 2, it->sub_little);
        if (size_t(len) + it->bytes.size() > 0xffff)
            return false;
        put16(out.data() + it->header + 2, uint16_t(len + it->bytes.size()), it->sub_little);
    }
    return true;
}

void announce_representation(const frtps::GUID_t &endpoint, std::vector<int16_t> ids)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.by_guid[key_of(endpoint)] = std::move(ids);
}

void forget_representations(const frtps::GuidPrefix_t &participant)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    for (auto it = r.by_guid.begin(); it != r.by_guid.end();)
        it = std::memcmp(it->first.data(), participant.value, 12) == 0 ? r.by_guid.erase(it) : std::next(it);
}

std::shared_ptr<ftr::TransportDescriptorInterface> representation_udp_transport(std::shared_ptr<ftr::UDPv4TransportDescriptor> udp)
{
    return std::make_shared<RepresentationDescriptor>(std::move(udp));
}

} // namespace quelt::mw
