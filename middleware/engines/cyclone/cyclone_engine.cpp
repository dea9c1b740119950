// The Cyclone DDS engine behind the interface of domain/engine.h: the records' QoS and samples go
// through the plain types of calls.h, which alone sees Cyclone's headers.
#include "calls.h"
#include "convert.h"
#include "domain/engine.h"
#include "domain/entities.h"
#include "domain/events.h"
#include "dds/dds_log.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace quelt::mw {
namespace {

using cyclone::Event;
using cyclone::EventCounts;

// What the Cyclone engine cannot carry, said once per process the first time it is asked for.
std::atomic<bool> g_identity_said{false}, g_fastdds_writer_said{false}, g_fastdds_transport_said{false};

struct CycloneTopic : engine::Entity {
    int32_t handle = 0;
};

struct CycloneGroup : engine::Entity {};

class CycloneWriter final : public engine::Writer {
  public:
    explicit CycloneWriter(DDS_DataWriter &record) : record_(record) {}
    std::unique_ptr<cyclone::Writer> w;

    DDS_ReturnCode_t write(const DDS_DynamicData *sample, const DDS_InstanceHandle_t *) override { return done(w->write(sample, -1, err_)); }

    DDS_ReturnCode_t write_w_params(const DDS_DynamicData *sample, DDS_WriteParams_t &params) override
    {
        if (!auto_identity(params.identity) || !auto_identity(params.related_sample_identity))
            engine::say_once(g_identity_said, "DDS_DynamicDataWriter_write_w_params",
                 "the Cyclone engine sends no sample identity or related sample identity (Cyclone DDS 0.10 has none on the wire): "
                 "they are left out");
        const int64_t ts = params.source_timestamp.sec >= 0 ? cyclone::to_ns(params.source_timestamp) : -1;
        const DDS_ReturnCode_t r = done(w->write(sample, ts, err_));
        if (r == DDS_RETCODE_OK) {
            w->guid(params.identity.writer_guid.value);
            params.identity.sequence_number = DDS_AUTO_SEQUENCE_NUMBER;
        }
        return r;
    }

    DDS_ReturnCode_t dispose(const DDS_DynamicData *sample, const DDS_InstanceHandle_t *) override { return done(w->dispose(sample, -1, err_)); }

    DDS_ReturnCode_t unregister_instance(const DDS_DynamicData *sample, const DDS_InstanceHandle_t *) override
    {
        return done(w->unregister(sample, -1, err_));
    }

    DDS_ReturnCode_t publication_matched_status(DDS_PublicationMatchedStatus &status) override
    {
        status = cyclone::publication_matched(w->matched());
        return DDS_RETCODE_OK;
    }

    DDS_ReturnCode_t wait_for_acknowledgments(const DDS_Duration_t &max_wait) override
    {
        return cyclone::retcode(w->wait_for_acknowledgments(cyclone::to_ns(max_wait)));
    }

    void event(Event e, const EventCounts &c)
    {
        switch (e) {
        case Event::PublicationMatched:
            on_status(&record_, cyclone::publication_matched(c));
            break;
        case Event::OfferedDeadlineMissed:
            on_status(&record_, DDS_OfferedDeadlineMissedStatus{c.total, c.total_change, DDS_InstanceHandle_t{}});
            break;
        case Event::OfferedIncompatibleQos:
            on_status(&record_, DDS_OfferedIncompatibleQosStatus{c.total, c.total_change, c.last_policy_id});
            break;
        case Event::LivelinessLost:
            on_status(&record_, DDS_LivelinessLostStatus{c.total, c.total_change});
            break;
        default:
            break;
        }
    }

  private:
    static bool auto_identity(const DDS_SampleIdentity_t &id)
    {
        return std::memcmp(&id.writer_guid, &DDS_GUID_AUTO, sizeof id.writer_guid) == 0 &&
               id.sequence_number.high == DDS_AUTO_SEQUENCE_NUMBER.high && id.sequence_number.low == DDS_AUTO_SEQUENCE_NUMBER.low;
    }
    DDS_ReturnCode_t done(int rc) { return cyclone::retcode(rc); }
    DDS_DataWriter &record_;
    std::string err_;
};

// A read or take of "every available sample" hands out at most this many: a reader that fell
// behind a stream takes the rest at its next call (the wait returns at once), and the loan's
// pool of samples, reused by every call, stays this size.
constexpr int32_t kMaxSamplesPerTake = 1024;

// The samples of one loan: ours, kept for the next read or take of the reader.
struct CycloneLoan : engine::LoanState {
    const DDS_TypeCode *type = nullptr;
    std::vector<DDS_DynamicData *> pool;
    std::vector<void *> samples;
    std::vector<cyclone::SampleMeta> metas;
    ~CycloneLoan() override
    {
        for (DDS_DynamicData *d : pool)
            DDS_DynamicData_delete(d);
    }
};

class CycloneReader final : public engine::Reader {
  public:
    explicit CycloneReader(DDS_DataReader &record) : record_(record) {}
    std::unique_ptr<cyclone::Reader> r;

    DDS_ReturnCode_t lend(std::unique_ptr<engine::LoanState> &state, DDS_Long max, DDS_SampleStateMask ss, DDS_ViewStateMask vs,
                          DDS_InstanceStateMask is, bool take, DDS_SampleInfoSeq *infos, engine::Lent &out) override
    {
        auto *loan = dynamic_cast<CycloneLoan *>(state.get());
        if (!loan) {
            auto fresh = std::make_unique<CycloneLoan>();
            fresh->type = record_.topic->plan->type;
            loan = fresh.get();
            state = std::move(fresh);
        }
        const int n = r->fetch(take, max <= 0 ? kMaxSamplesPerTake : max, ss, vs, is,
                               [&](int i) {
                                   while (loan->pool.size() <= size_t(i))
                                       loan->pool.push_back(DDS_DynamicData_new(loan->type, nullptr));
                                   return loan->pool[size_t(i)];
                               },
                               loan->metas);
        if (n < 0)
            return cyclone::retcode(n);
        if (n == 0)
            return DDS_RETCODE_NO_DATA;
        if (!DDS_SampleInfoSeq_ensure_length(infos, n, n))
            return DDS_RETCODE_OUT_OF_RESOURCES;
        loan->samples.resize(size_t(n));
        for (int k = 0; k < n; ++k) {
            cyclone::fill_info(*DDS_SampleInfoSeq_get_reference(infos, k), loan->metas[size_t(k)]);
            loan->samples[size_t(k)] = loan->metas[size_t(k)].has_value ? loan->pool[size_t(k)] : nullptr;
        }
        out.samples = loan->samples.data();
        out.count = n;
        return DDS_RETCODE_OK;
    }

    DDS_ReturnCode_t give_back(engine::LoanState &) override { return DDS_RETCODE_OK; }
    bool has_unread() const override { return r->has_unread(); }

    DDS_ReturnCode_t subscription_matched_status(DDS_SubscriptionMatchedStatus &status) override
    {
        status = cyclone::subscription_matched(r->matched());
        return DDS_RETCODE_OK;
    }

    // Samples that do not decode are refused as they arrive, and said there.
    std::string last_refusal() const override { return {}; }

    void event(Event e, const EventCounts &c)
    {
        switch (e) {
        case Event::DataAvailable:
            on_data_available(&record_);
            break;
        case Event::SubscriptionMatched:
            on_status(&record_, cyclone::subscription_matched(c));
            break;
        case Event::LivelinessChanged:
            on_status(&record_, cyclone::liveliness_changed(c));
            break;
        case Event::RequestedDeadlineMissed:
            on_status(&record_, DDS_RequestedDeadlineMissedStatus{c.total, c.total_change, DDS_InstanceHandle_t{}});
            break;
        case Event::RequestedIncompatibleQos:
            on_status(&record_, DDS_RequestedIncompatibleQosStatus{c.total, c.total_change, c.last_policy_id});
            break;
        case Event::SampleRejected:
            on_status(&record_, DDS_SampleRejectedStatus{c.total, c.total_change, c.last_reason, DDS_InstanceHandle_t{}});
            break;
        case Event::SampleLost:
            on_status(&record_, DDS_SampleLostStatus{c.total, c.total_change});
            break;
        default:
            break;
        }
    }

  private:
    DDS_DataReader &record_;
};

class CycloneParticipant final : public engine::Participant {
  public:
    std::unique_ptr<cyclone::Participant> p;

    bool create_topic(DDS_Topic &topic, std::string &err) override
    {
        auto t = std::make_unique<CycloneTopic>();
        t->handle = p->topic(topic.plan->name, topic.plan->type_name, topic.plan->type, err);
        if (t->handle <= 0)
            return false;
        topic.engine = std::move(t);
        return true;
    }
    // Cyclone's publishers and subscribers come with each writer and reader, holding the
    // partitions of the record's group.
    bool create_publisher(DDS_Publisher &pub, std::string &) override
    {
        pub.engine = std::make_unique<CycloneGroup>();
        return true;
    }
    bool create_subscriber(DDS_Subscriber &sub, std::string &) override
    {
        sub.engine = std::make_unique<CycloneGroup>();
        return true;
    }

    std::unique_ptr<engine::Writer> create_writer(DDS_DataWriter &record, std::string &err) override
    {
        const auto &fast = record.qos.fastdds;
        if (fast.publish_mode != DDS_FASTDDS_DEFAULT_PUBLISH_MODE || fast.heartbeat_period.sec || fast.heartbeat_period.nanosec)
            engine::say_once(g_fastdds_writer_said, "DDS_DomainParticipantFactory_create_participant_from_config",
                 "<fastdds_writer> settings do not apply to writers of the Cyclone engine: they are left out");
        auto w = std::make_unique<CycloneWriter>(record);
        CycloneWriter *self = w.get();
        const int32_t topic = static_cast<CycloneTopic *>(record.topic->engine.get())->handle;
        w->w = cyclone::Writer::create(*p, topic, cyclone::writer_qos(record.qos, record.publisher->partitions, record.topic->plan->type),
                                       [self](Event e, const EventCounts &c) { self->event(e, c); }, err);
        if (!w->w) {
            err = "cannot create data writer '" + record.name + "' of topic '" + record.topic->plan->name + "': " + err;
            return nullptr;
        }
        return w;
    }

    std::unique_ptr<engine::Reader> create_reader(DDS_DataReader &record, std::string &err) override
    {
        auto r = std::make_unique<CycloneReader>(record);
        CycloneReader *self = r.get();
        const int32_t topic = static_cast<CycloneTopic *>(record.topic->engine.get())->handle;
        r->r = cyclone::Reader::create(*p, topic, cyclone::reader_qos(record.qos, record.subscriber->partitions, record.topic->plan->type),
                                       [self](Event e, const EventCounts &c) { self->event(e, c); }, err);
        if (!r->r) {
            err = "cannot create data reader '" + record.name + "' of topic '" + record.topic->plan->name + "': " + err;
            return nullptr;
        }
        return r;
    }

    void delete_contained_entities() override { p->delete_contained(); }
};

} // namespace

namespace engine {

std::unique_ptr<Participant> create_cyclone_participant(DDS_DomainParticipant &record, std::string &err)
{
    const ParticipantPlan &plan = record.plan;
    const FastddsTransport &fast = plan.transport;
    if (fast.shm_segment_size || fast.shm_port_queue_capacity || fast.socket_buffer_size)
        engine::say_once(g_fastdds_transport_said, "DDS_DomainParticipantFactory_create_participant_from_config",
             "<fastdds_transport> settings do not apply to participants of the Cyclone engine: use <cyclone_transport>");
    // Cyclone's readers judge a remote writer alive by its participant's lease: the shortest lease
    // our writers promise is the participant's.
    int64_t lease = cyclone::kInfinite;
    for (const auto &pub : plan.publishers)
        for (const auto &w : pub.writers)
            lease = std::min(lease, cyclone::to_ns(w.qos.liveliness.lease_duration));
    auto e = std::make_unique<CycloneParticipant>();
    e->p = cyclone::Participant::create(plan.domain_id, plan.cyclone.config, plan.cyclone.network_interface, plan.cyclone.socket_buffer_size,
                                        lease, err);
    if (!e->p)
        return nullptr;
    return e;
}

} // namespace engine
} // namespace quelt::mw
