// Participants, publishers, subscribers, topics, writers and readers over Fast DDS.
#include "engines/fastdds/domain_impl.h"

#include "wire/cdr.h"
#include "dds/dds_log.h"
#include "dds/dds_string.h"
#include "dds/dds_util.h"
#include "engines/fastdds/representation_transport.h"
#include "engines/fastdds/shm_housekeeping.h"
#include "engines/fastdds/topic_type.h"

#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>
#include <fastdds/rtps/transport/shared_mem/SharedMemTransportDescriptor.h>
#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>
#include <fastdds/dds/publisher/qos/PublisherQos.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <fastdds/dds/subscriber/qos/SubscriberQos.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>
#include <fastdds/dds/topic/qos/TopicQos.hpp>
#include <fastdds/rtps/common/WriteParams.h>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace fdds = eprosima::fastdds::dds;
using FReturnCode = eprosima::fastrtps::types::ReturnCode_t;
namespace frtps = eprosima::fastrtps::rtps;
using namespace quelt::mw;

extern "C" {
const DDS_InstanceHandle_t DDS_HANDLE_NIL = {{0}, DDS_BOOLEAN_FALSE};
const DDS_Duration_t DDS_DURATION_INFINITE = {DDS_DURATION_INFINITE_SEC, DDS_DURATION_INFINITE_NSEC};
const DDS_Duration_t DDS_DURATION_ZERO = {0, 0};
const DDS_SequenceNumber_t DDS_AUTO_SEQUENCE_NUMBER = {-1, 0xffffffffu};
const DDS_GUID_t DDS_GUID_AUTO = {{0}};
}

namespace {

DDS_InstanceHandle_t to_handle(const fdds::InstanceHandle_t &h)
{
    DDS_InstanceHandle_t r{};
    std::memcpy(r.value, h.value, 16);
    r.isValid = h.isDefined() ? DDS_BOOLEAN_TRUE : DDS_BOOLEAN_FALSE;
    return r;
}

fdds::InstanceHandle_t from_handle(const DDS_InstanceHandle_t *h)
{
    fdds::InstanceHandle_t r;
    if (h && h->isValid)
        std::memcpy(r.value, h->value, 16);
    return r;
}

DDS_Time_t to_time(const eprosima::fastrtps::rtps::Time_t &t)
{
    return DDS_Time_t{t.seconds(), t.nanosec()};
}

void to_identity(const frtps::SampleIdentity &in, DDS_GUID_t &guid, DDS_SequenceNumber_t &sn)
{
    std::memcpy(guid.value, in.writer_guid().guidPrefix.value, 12);
    std::memcpy(guid.value + 12, in.writer_guid().entityId.value, 4);
    sn.high = in.sequence_number().high;
    sn.low = in.sequence_number().low;
}

frtps::SampleIdentity from_identity(const DDS_SampleIdentity_t &in)
{
    frtps::SampleIdentity id;
    std::memcpy(id.writer_guid().guidPrefix.value, in.writer_guid.value, 12);
    std::memcpy(id.writer_guid().entityId.value, in.writer_guid.value + 12, 4);
    id.sequence_number().high = in.sequence_number.high;
    id.sequence_number().low = in.sequence_number.low;
    return id;
}

bool is_auto(const DDS_SampleIdentity_t &id)
{
    static const DDS_GUID_t zero{};
    return std::memcmp(id.writer_guid.value, zero.value, 16) == 0;
}

DDS_ReturnCode_t rc(const FReturnCode &r) { return static_cast<DDS_ReturnCode_t>(r()); }

// The DDS standard's name of a return code.
const char *retcode_name(DDS_ReturnCode_t r)
{
    static const char *const names[] = {"OK", "ERROR", "UNSUPPORTED", "BAD_PARAMETER", "PRECONDITION_NOT_MET", "OUT_OF_RESOURCES",
                                        "NOT_ENABLED", "IMMUTABLE_POLICY", "INCONSISTENT_POLICY", "ALREADY_DELETED", "TIMEOUT",
                                        "NO_DATA", "ILLEGAL_OPERATION"};
    return r >= 0 && r < static_cast<DDS_ReturnCode_t>(sizeof names / sizeof names[0]) ? names[r] : "UNKNOWN";
}

void return_all_loans_impl(DDS_DataReader *r);

// Copies the key members of a sample (the rest is left alone).
void copy_key_members(const DDS_TypeCode *t, unsigned char *dst, const unsigned char *src)
{
    for (const Member &m : t->members)
        if (m.key)
            value_copy(m.rtype, dst + m.offset, src + m.offset);
}

} // namespace

// ---- listeners ----

namespace quelt::mw {

class WriterBridge : public fdds::DataWriterListener {
  public:
    explicit WriterBridge(DDS_DataWriter *w) : w_(w) {}

    void on_publication_matched(fdds::DataWriter *, const fdds::PublicationMatchedStatus &s) override
    {
        DDS_PublicationMatchedStatus st{s.total_count, s.total_count_change, s.current_count, s.current_count_change,
                                        to_handle(s.last_subscription_handle)};
        w_->status_changed(DDS_PUBLICATION_MATCHED_STATUS);
        dispatch(DDS_PUBLICATION_MATCHED_STATUS, &DDS_DataWriterListener::on_publication_matched, &st);
    }
    void on_offered_deadline_missed(fdds::DataWriter *, const fdds::OfferedDeadlineMissedStatus &s) override
    {
        DDS_OfferedDeadlineMissedStatus st{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change),
                                           to_handle(s.last_instance_handle)};
        w_->status_changed(DDS_OFFERED_DEADLINE_MISSED_STATUS);
        dispatch(DDS_OFFERED_DEADLINE_MISSED_STATUS, &DDS_DataWriterListener::on_offered_deadline_missed, &st);
    }
    void on_offered_incompatible_qos(fdds::DataWriter *, const fdds::OfferedIncompatibleQosStatus &s) override
    {
        DDS_OfferedIncompatibleQosStatus st{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change),
                                            static_cast<DDS_QosPolicyId_t>(s.last_policy_id)};
        w_->status_changed(DDS_OFFERED_INCOMPATIBLE_QOS_STATUS);
        dispatch(DDS_OFFERED_INCOMPATIBLE_QOS_STATUS, &DDS_DataWriterListener::on_offered_incompatible_qos, &st);
    }
    void on_liveliness_lost(fdds::DataWriter *, const fdds::LivelinessLostStatus &s) override
    {
        DDS_LivelinessLostStatus st{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change)};
        w_->status_changed(DDS_LIVELINESS_LOST_STATUS);
        dispatch(DDS_LIVELINESS_LOST_STATUS, &DDS_DataWriterListener::on_liveliness_lost, &st);
    }

  private:
    // The writer's own listener when it takes the status, else the participant's.
    template <typename S>
    void dispatch(DDS_StatusMask bit, void (*DDS_DataWriterListener::*slot)(void *, DDS_DataWriter *, const S *), const S *st)
    {
        DDS_DataWriterListener l{};
        ListenerCall call;
        {
            std::lock_guard<std::mutex> g(w_->listener_lock);
            if ((w_->listener_mask & bit) && w_->listener.*slot) {
                l = w_->listener;
                call.begin(w_->listener_lock, w_->listener_calls);
            }
        }
        if (!(l.*slot)) {
            DDS_DomainParticipant *p = w_->publisher->participant;
            std::lock_guard<std::mutex> g(p->listener_lock);
            if (p->listener_mask & bit) {
                l = p->listener.as_publisherlistener.as_datawriterlistener;
                if (l.*slot)
                    call.begin(p->listener_lock, p->listener_calls);
            }
        }
        if (l.*slot)
            (l.*slot)(l.listener_data, w_, st);
    }
    DDS_DataWriter *w_;
};

class ReaderBridge : public fdds::DataReaderListener {
  public:
    explicit ReaderBridge(DDS_DataReader *r) : r_(r) {}

    void on_data_available(fdds::DataReader *) override
    {
        r_->condition.wake();
        ListenerCall call;
        DDS_DataReaderListener l =
            pick(DDS_DATA_AVAILABLE_STATUS, [](const DDS_DataReaderListener &x) { return x.on_data_available != nullptr; }, call);
        if (l.on_data_available)
            l.on_data_available(l.listener_data, r_);
    }
    void on_subscription_matched(fdds::DataReader *, const fdds::SubscriptionMatchedStatus &s) override
    {
        DDS_SubscriptionMatchedStatus st{s.total_count, s.total_count_change, s.current_count, s.current_count_change,
                                         to_handle(s.last_publication_handle)};
        r_->status_changed(DDS_SUBSCRIPTION_MATCHED_STATUS);
        dispatch(DDS_SUBSCRIPTION_MATCHED_STATUS, &DDS_DataReaderListener::on_subscription_matched, &st);
    }
    void on_requested_deadline_missed(fdds::DataReader *, const fdds::RequestedDeadlineMissedStatus &s) override
    {
        DDS_RequestedDeadlineMissedStatus st{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change),
                                             to_handle(s.last_instance_handle)};
        r_->status_changed(DDS_REQUESTED_DEADLINE_MISSED_STATUS);
        dispatch(DDS_REQUESTED_DEADLINE_MISSED_STATUS, &DDS_DataReaderListener::on_requested_deadline_missed, &st);
    }
    void on_liveliness_changed(fdds::DataReader *, const fdds::LivelinessChangedStatus &s) override
    {
        DDS_LivelinessChangedStatus st{s.alive_count, s.not_alive_count, s.alive_count_change, s.not_alive_count_change,
                                       to_handle(s.last_publication_handle)};
        r_->status_changed(DDS_LIVELINESS_CHANGED_STATUS);
        dispatch(DDS_LIVELINESS_CHANGED_STATUS, &DDS_DataReaderListener::on_liveliness_changed, &st);
    }
    void on_sample_rejected(fdds::DataReader *, const fdds::SampleRejectedStatus &s) override
    {
        DDS_SampleRejectedStatus st{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change),
                                    static_cast<DDS_Long>(s.last_reason), to_handle(s.last_instance_handle)};
        r_->status_changed(DDS_SAMPLE_REJECTED_STATUS);
        dispatch(DDS_SAMPLE_REJECTED_STATUS, &DDS_DataReaderListener::on_sample_rejected, &st);
    }
    void on_requested_incompatible_qos(fdds::DataReader *, const fdds::RequestedIncompatibleQosStatus &s) override
    {
        DDS_RequestedIncompatibleQosStatus st{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change),
                                              static_cast<DDS_QosPolicyId_t>(s.last_policy_id)};
        r_->status_changed(DDS_REQUESTED_INCOMPATIBLE_QOS_STATUS);
        dispatch(DDS_REQUESTED_INCOMPATIBLE_QOS_STATUS, &DDS_DataReaderListener::on_requested_incompatible_qos, &st);
    }
    void on_sample_lost(fdds::DataReader *, const fdds::SampleLostStatus &s) override
    {
        DDS_SampleLostStatus st{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change)};
        r_->status_changed(DDS_SAMPLE_LOST_STATUS);
        dispatch(DDS_SAMPLE_LOST_STATUS, &DDS_DataReaderListener::on_sample_lost, &st);
    }

  private:
    // The reader's own listener when it takes the status, else the participant's; call counts the
    // callback against the listener it comes from.
    template <typename F> DDS_DataReaderListener pick(DDS_StatusMask bit, F has_slot, ListenerCall &call)
    {
        {
            std::lock_guard<std::mutex> g(r_->listener_lock);
            if ((r_->listener_mask & bit) && has_slot(r_->listener)) {
                call.begin(r_->listener_lock, r_->listener_calls);
                return r_->listener;
            }
        }
        DDS_DomainParticipant *p = r_->subscriber->participant;
        std::lock_guard<std::mutex> g(p->listener_lock);
        if ((p->listener_mask & bit) && has_slot(p->listener.as_subscriberlistener.as_datareaderlistener)) {
            call.begin(p->listener_lock, p->listener_calls);
            return p->listener.as_subscriberlistener.as_datareaderlistener;
        }
        return DDS_DataReaderListener{};
    }
    template <typename S>
    void dispatch(DDS_StatusMask bit, void (*DDS_DataReaderListener::*slot)(void *, DDS_DataReader *, const S *), const S *st)
    {
        ListenerCall call;
        DDS_DataReaderListener l = pick(bit, [slot](const DDS_DataReaderListener &x) { return x.*slot != nullptr; }, call);
        if (l.*slot)
            (l.*slot)(l.listener_data, r_, st);
    }
    DDS_DataReader *r_;
};

namespace {
// The listeners whose callbacks this thread is inside, innermost last.
thread_local std::vector<const ListenerCalls *> t_inside;
} // namespace

void ListenerCall::begin(std::mutex &lock, ListenerCalls &calls)
{
    lock_ = &lock;
    calls_ = &calls;
    ++calls.running;
    t_inside.push_back(&calls);
}

ListenerCall::~ListenerCall()
{
    if (!calls_)
        return;
    std::lock_guard<std::mutex> g(*lock_);
    --calls_->running;
    t_inside.pop_back();
    calls_->idle.notify_all();
}

void wait_out(std::unique_lock<std::mutex> &g, ListenerCalls &calls)
{
    const auto mine = std::count(t_inside.begin(), t_inside.end(), &calls);
    calls.idle.wait(g, [&] { return calls.running <= mine; });
}

Loan::~Loan()
{
    for (DDS_DynamicData *d : notices)
        DDS_DynamicData_delete(d);
}

KeyStore::~KeyStore()
{
    for (auto &kv : by_hash)
        DDS_DynamicData_delete(kv.second);
}

// ---- creation ----

namespace {

fdds::DomainParticipantFactory *fastdds_factory()
{
    route_fastdds_log();
    return fdds::DomainParticipantFactory::get_instance();
}

// Held from choosing a participant id until the participant holds its ports: two threads would
// otherwise both find an id free, and Fast DDS refuses the second participant that asks for it.
std::mutex g_participant_id_lock;
// The participant ids of this process's participants, in every domain (guarded by the lock above).
std::multiset<int32_t> g_participant_ids;

// Fast DDS 2.9 writes the participant id, little endian, into bytes 8 to 11 of the GUID prefix;
// it is there also when Fast DDS chose the id itself.
int32_t participant_id_of(const fdds::DomainParticipant *p)
{
    const auto &prefix = p->guid().guidPrefix.value;
    return static_cast<int32_t>(uint32_t(prefix[8]) | uint32_t(prefix[9]) << 8 | uint32_t(prefix[10]) << 16 |
                                uint32_t(prefix[11]) << 24);
}

fdds::DataRepresentationId_t fastdds_representation(DDS_DataRepresentationId_t id)
{
    return id == DDS_XCDR2_DATA_REPRESENTATION ? fdds::XCDR2_DATA_REPRESENTATION : fdds::XCDR_DATA_REPRESENTATION;
}

// The representation a writer uses: the first one configured, else the type's own.
CdrVersion writer_encoding(const DDS_DataRepresentationQosPolicy &r, const DDS_TypeCode *type)
{
    return r.length > 0 ? (r.value[0] == DDS_XCDR2_DATA_REPRESENTATION ? CdrVersion::Xcdr2 : CdrVersion::Xcdr1) : cdr_default_version(type);
}

// What a reader accepts: as configured, else both for final types (peers differ in what they
// send for them) and XCDR2 for extensible ones.
std::vector<fdds::DataRepresentationId_t> reader_representations(const DDS_DataRepresentationQosPolicy &r, const DDS_TypeCode *type)
{
    std::vector<fdds::DataRepresentationId_t> out;
    for (DDS_Long i = 0; i < r.length; ++i)
        out.push_back(fastdds_representation(r.value[i]));
    if (out.empty() && cdr_default_version(type) == CdrVersion::Xcdr1)
        out = {fdds::XCDR_DATA_REPRESENTATION, fdds::XCDR2_DATA_REPRESENTATION};
    else if (out.empty())
        out = {fdds::XCDR2_DATA_REPRESENTATION};
    return out;
}

bool create_writer(DDS_Publisher *pub, const WriterPlan &wp, DDS_Topic *topic, std::string &err)
{
    auto w = std::make_unique<DDS_DataWriter>();
    w->publisher = pub;
    w->topic = topic;
    w->name = wp.name;
    w->qos = wp.qos;
    w->bridge = std::make_unique<WriterBridge>(w.get());
    fdds::DataWriterQos q = fdds::DATAWRITER_QOS_DEFAULT;
    to_fastdds(wp.qos, q);
    w->encoding = writer_encoding(wp.qos.representation, topic->plan->type);
    q.representation().m_value = {w->encoding == CdrVersion::Xcdr2 ? fdds::XCDR2_DATA_REPRESENTATION : fdds::XCDR_DATA_REPRESENTATION};
    w->writer = pub->publisher->create_datawriter(topic->topic, q, w->bridge.get(), fdds::StatusMask::all());
    if (!w->writer) {
        err = "cannot create data writer '" + wp.name + "' of topic '" + topic->plan->name + "'";
        return false;
    }
    announce_representation(w->writer->guid(), {int16_t(w->encoding == CdrVersion::Xcdr2 ? DDS_XCDR2_DATA_REPRESENTATION : DDS_XCDR_DATA_REPRESENTATION)});
    if (w->writer->enable() != FReturnCode::RETCODE_OK) {
        pub->publisher->delete_datawriter(w->writer);
        err = "cannot enable data writer '" + wp.name + "' of topic '" + topic->plan->name + "'";
        return false;
    }
    pub->writers.push_back(std::move(w));
    return true;
}

bool create_reader(DDS_Subscriber *sub, const ReaderPlan &rp, DDS_Topic *topic, std::string &err)
{
    auto r = std::make_unique<DDS_DataReader>();
    r->subscriber = sub;
    r->topic = topic;
    r->name = rp.name;
    r->qos = rp.qos;
    r->bridge = std::make_unique<ReaderBridge>(r.get());
    fdds::DataReaderQos q = fdds::DATAREADER_QOS_DEFAULT;
    to_fastdds(rp.qos, q);
    q.type_consistency().representation.m_value = reader_representations(rp.qos.representation, topic->plan->type);
    r->reader = sub->subscriber->create_datareader(topic->topic, q, r->bridge.get(), fdds::StatusMask::all());
    if (!r->reader) {
        err = "cannot create data reader '" + rp.name + "' of topic '" + topic->plan->name + "'";
        return false;
    }
    std::vector<int16_t> accepted;
    for (fdds::DataRepresentationId_t id : q.type_consistency().representation.m_value)
        accepted.push_back(int16_t(id));
    announce_representation(r->reader->guid(), std::move(accepted));
    if (r->reader->enable() != FReturnCode::RETCODE_OK) {
        sub->subscriber->delete_datareader(r->reader);
        err = "cannot enable data reader '" + rp.name + "' of topic '" + topic->plan->name + "'";
        return false;
    }
    sub->readers.push_back(std::move(r));
    return true;
}

DDS_Topic *topic_for(DDS_DomainParticipant *p, const TopicPlan *tp)
{
    for (auto &t : p->topics)
        if (t->plan == tp)
            return t.get();
    return nullptr;
}

bool build_entities(DDS_DomainParticipant *p, std::string &err)
{
    fdds::DomainParticipant *dp = p->participant;
    for (auto &tp : p->plan.topics) {
        if (!p->types.count(tp->type_name)) {
            fdds::TypeSupport ts(new DynamicTopicType(tp->type_name, tp->type));
            if (ts.register_type(dp, tp->type_name) != FReturnCode::RETCODE_OK) {
                err = "cannot register type '" + tp->type_name + "'";
                return false;
            }
            p->types[tp->type_name] = tp->type;
        }
        auto t = std::make_unique<DDS_Topic>();
        t->plan = tp.get();
        fdds::TopicQos q = fdds::TOPIC_QOS_DEFAULT;
        to_fastdds(tp->qos, q);
        t->topic = dp->create_topic(tp->name, tp->type_name, q);
        if (!t->topic) {
            err = "cannot create topic '" + tp->name + "'";
            return false;
        }
        p->topics.push_back(std::move(t));
    }
    for (const PublisherPlan &pp : p->plan.publishers) {
        auto pub = std::make_unique<DDS_Publisher>();
        pub->participant = p;
        pub->name = pp.name;
        pub->partitions = pp.partitions;
        fdds::PublisherQos q = fdds::PUBLISHER_QOS_DEFAULT;
        for (const std::string &part : pp.partitions)
            q.partition().push_back(part.c_str());
        // Writers start disabled: their announcement must wait until the transport knows what
        // representation to add to it (create_writer enables them).
        q.entity_factory().autoenable_created_entities = false;
        pub->publisher = dp->create_publisher(q);
        if (!pub->publisher) {
            err = "cannot create publisher '" + pp.name + "'";
            return false;
        }
        DDS_Publisher *raw = pub.get();
        p->publishers.push_back(std::move(pub));
        for (const WriterPlan &wp : pp.writers)
            if (!create_writer(raw, wp, topic_for(p, wp.topic), err))
                return false;
    }
    for (const SubscriberPlan &sp : p->plan.subscribers) {
        auto sub = std::make_unique<DDS_Subscriber>();
        sub->participant = p;
        sub->name = sp.name;
        sub->partitions = sp.partitions;
        fdds::SubscriberQos q = fdds::SUBSCRIBER_QOS_DEFAULT;
        for (const std::string &part : sp.partitions)
            q.partition().push_back(part.c_str());
        q.entity_factory().autoenable_created_entities = false; // as for writers
        sub->subscriber = dp->create_subscriber(q);
        if (!sub->subscriber) {
            err = "cannot create subscriber '" + sp.name + "'";
            return false;
        }
        DDS_Subscriber *raw = sub.get();
        p->subscribers.push_back(std::move(sub));
        for (const ReaderPlan &rp : sp.readers)
            if (!create_reader(raw, rp, topic_for(p, rp.topic), err))
                return false;
    }
    return true;
}

void delete_entities(DDS_DomainParticipant *p)
{
    if (!p->participant)
        return;
    // Callbacks of the entities' listeners that are running finish before the records they are
    // handed go, and none starts afterwards.
    for (auto &pub : p->publishers)
        for (auto &w : pub->writers)
            DDS_DataWriter_set_listener(w.get(), nullptr, 0);
    for (auto &sub : p->subscribers)
        for (auto &r : sub->readers) {
            DDS_DataReader_set_listener(r.get(), nullptr, 0);
            return_all_loans_impl(r.get());
        }
    p->participant->delete_contained_entities();
    p->subscribers.clear();
    p->publishers.clear();
    p->topics.clear();
}

} // namespace

DDS_DomainParticipant *create_participant_from_plan(ParticipantPlan &&plan, std::string &err)
{
    auto p = std::make_unique<DDS_DomainParticipant>();
    p->plan = std::move(plan);
    // Also keeps the factory's default QoS from being read while another thread loads it again.
    std::unique_lock<std::mutex> idLock(g_participant_id_lock);
    // From the factory's default, not the built-in one: Fast DDS's own default profile
    // (FASTRTPS_DEFAULT_PROFILES_FILE) is how a deployment picks transports, e.g. UDP only.
    fastdds_factory()->load_profiles();
    fdds::DomainParticipantQos q = fastdds_factory()->get_default_participant_qos();
    q.name(p->plan.name);
    to_fastdds(p->plan, q);
    // Shared memory: clear what killed processes left and keep off their ports.
    bool chosenId = false;
    if (uses_shm(q)) {
        remove_dead_segments();
        if (q.wire_protocol().participant_id < 0) {
            int skipped = 0;
            const int32_t id = free_participant_id(q, p->plan.domain_id, skipped, "/dev/shm", g_participant_ids);
            chosenId = id >= 0;
            q.wire_protocol().participant_id = id;
            // Not a failure: the participant is made all the same.
            if (skipped > 0)
                QueltLog_notice("DDS_DomainParticipantFactory_create_participant",
                                "participant '%s' on domain %d: %d participant id(s) have shared-memory ports that "
                                "processes left open when they ended and others still use; %s",
                                p->plan.name.c_str(), p->plan.domain_id, skipped,
                                chosenId ? ("taking id " + std::to_string(id)).c_str()
                                         : "no id is free, so one of them is reset");
        }
    }
    p->participant = fastdds_factory()->create_participant(p->plan.domain_id, q, nullptr, fdds::StatusMask::none());
    if (!p->participant && chosenId) {
        // The id may belong to a Fast DDS participant of this process that this layer did not make.
        q.wire_protocol().participant_id = -1;
        p->participant = fastdds_factory()->create_participant(p->plan.domain_id, q, nullptr, fdds::StatusMask::none());
    }
    if (p->participant) {
        p->participant_id = participant_id_of(p->participant);
        g_participant_ids.insert(p->participant_id);
    }
    idLock.unlock();
    if (!p->participant) {
        err = "cannot create participant '" + p->plan.name + "' on domain " + std::to_string(p->plan.domain_id);
        return nullptr;
    }
    if (!build_entities(p.get(), err)) {
        delete_participant(p.release());
        return nullptr;
    }
    return p.release();
}

void delete_participant(DDS_DomainParticipant *p)
{
    if (!p)
        return;
    delete_entities(p);
    if (p->participant) {
        forget_representations(p->participant->guid().guidPrefix);
        std::lock_guard<std::mutex> g(g_participant_id_lock);
        fastdds_factory()->delete_participant(p->participant);
        if (auto it = g_participant_ids.find(p->participant_id); it != g_participant_ids.end())
            g_participant_ids.erase(it);
    }
    delete p;
}

} // namespace quelt::mw

DDS_DataWriter::DDS_DataWriter() : DDS_Entity(EntityKind::Writer) {}
DDS_DataWriter::~DDS_DataWriter() = default;
DDS_DataReader::DDS_DataReader() : DDS_Entity(EntityKind::Reader) {}
DDS_DataReader::~DDS_DataReader() = default;

// ---- conditions and waitsets ----

namespace quelt::mw {

class WaitSetImpl {
  public:
    std::mutex lock;
    std::condition_variable cv;
    uint64_t generation = 0; // bumped by every wake, so a wake between check and sleep is not lost
    std::vector<DDS_Condition *> conditions;
};

} // namespace quelt::mw

struct DDS_WaitSet {
    quelt::mw::WaitSetImpl impl;
};

void DDS_Condition::wake()
{
    std::lock_guard<std::mutex> g(lock);
    for (WaitSetImpl *ws : waitsets) {
        std::lock_guard<std::mutex> wg(ws->lock);
        ++ws->generation;
        ws->cv.notify_all();
    }
}

bool DDS_StatusCondition::triggered() const
{
    const DDS_StatusMask mask = enabled.load();
    DDS_StatusMask active = owner->changed.load() & ~DDS_DATA_AVAILABLE_STATUS;
    if ((mask & DDS_DATA_AVAILABLE_STATUS) && owner->kind == EntityKind::Reader) {
        auto *r = static_cast<const DDS_DataReader *>(owner);
        if (r->reader && r->reader->get_unread_count() > 0)
            active |= DDS_DATA_AVAILABLE_STATUS;
    }
    return (active & mask) != 0;
}

// ---- the C API ----

namespace {

enum class HandleKey { None, FromHash, FromPayload };

// The key of an instance no valid sample has shown: its handle is either our key hash of a short
// key, or (from other implementations' notices) the key-only payload itself.
HandleKey key_from_unknown_handle(const DDS_TypeCode *t, DDS_DynamicData *holder, const unsigned char handle[16])
{
    DDS_KeyHash_t kh;
    std::memcpy(kh.value, handle, 16);
    if (DDS_DynamicData_set_from_keyhash(holder, &kh) == DDS_RETCODE_OK)
        return HandleKey::FromHash;
    return cdr_key_from_short_payload(t, holder->p, handle) ? HandleKey::FromPayload : HandleKey::None;
}

struct Factory {
    std::mutex lock;
    std::vector<std::string> files;
    std::set<DDS_DomainParticipant *> participants;
    // Types read from a set of files, kept until the factory goes: samples of those types may
    // outlive the participant that registered them. Keyed by paths, sizes and times of change,
    // so an edited file is read again.
    std::map<std::string, std::shared_ptr<DDS_TypeLibrary>> types;
    // Libraries of the same files read by threads at once, all but the first in `types`: kept as
    // long, for the same reason.
    std::vector<std::shared_ptr<DDS_TypeLibrary>> types_read_twice;
};

std::string files_key(const std::vector<std::string> &files)
{
    std::string key;
    for (const std::string &f : files) {
        struct stat st {};
        if (::stat(f.c_str(), &st) != 0)
            return {}; // let the reader report the missing file
        key += f + '\n' + std::to_string(st.st_size) + ' ' + std::to_string(st.st_mtim.tv_sec) + '.' +
               std::to_string(st.st_mtim.tv_nsec) + '\n';
    }
    return key;
}

std::mutex g_factory_lock;
Factory *g_factory = nullptr;

Factory *factory_of(DDS_DomainParticipantFactory *f) { return reinterpret_cast<Factory *>(f); }

DDS_ReturnCode_t loan_into(DDS_DataReader *r, DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos, DDS_Long max, DDS_SampleStateMask ss,
                           DDS_ViewStateMask vs, DDS_InstanceStateMask is, bool take);

// A process may exit with participants it never deleted. Fast DDS's factory then deletes them
// among its statics and aborts on an assertion when a reader's loan is still out, so the loans
// go back first (registered after Fast DDS's factory exists, this runs before it goes).
void return_loans_at_exit()
{
    std::lock_guard<std::mutex> g(g_factory_lock);
    if (!g_factory)
        return;
    std::lock_guard<std::mutex> fg(g_factory->lock);
    for (DDS_DomainParticipant *p : g_factory->participants)
        for (auto &sub : p->subscribers)
            for (auto &r : sub->readers)
                return_all_loans_impl(r.get());
}

} // namespace

extern "C" {

DDS_Boolean DDS_InstanceHandle_equals(const DDS_InstanceHandle_t *a, const DDS_InstanceHandle_t *b)
{
    if (!a || !b)
        return a == b;
    if (!a->isValid || !b->isValid)
        return a->isValid == b->isValid;
    return std::memcmp(a->value, b->value, 16) == 0;
}

void DDS_WriteParams_t_initialize(DDS_WriteParams_t *params)
{
    if (!params)
        return;
    *params = DDS_WriteParams_t{};
    params->identity.sequence_number = DDS_AUTO_SEQUENCE_NUMBER;
    params->related_sample_identity.sequence_number = DDS_AUTO_SEQUENCE_NUMBER;
    params->source_timestamp = DDS_Time_t{-1, 0};
}

DDS_DomainParticipantFactory *DDS_DomainParticipantFactory_get_instance(void)
{
    std::lock_guard<std::mutex> g(g_factory_lock);
    if (!g_factory)
        g_factory = new (std::nothrow) Factory;
    return reinterpret_cast<DDS_DomainParticipantFactory *>(g_factory);
}

DDS_ReturnCode_t DDS_DomainParticipantFactory_finalize_instance(void)
{
    std::lock_guard<std::mutex> g(g_factory_lock);
    if (!g_factory)
        return DDS_RETCODE_OK;
    {
        std::lock_guard<std::mutex> fg(g_factory->lock);
        if (!g_factory->participants.empty())
            return DDS_RETCODE_PRECONDITION_NOT_MET;
    }
    delete g_factory;
    g_factory = nullptr;
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DomainParticipantFactory_get_qos(DDS_DomainParticipantFactory *self, DDS_DomainParticipantFactoryQos *qos)
{
    Factory *f = factory_of(self);
    if (!f || !qos)
        return DDS_RETCODE_BAD_PARAMETER;
    std::lock_guard<std::mutex> g(f->lock);
    DDS_StringSeq &seq = qos->profile.url_profile;
    const auto n = static_cast<DDS_Long>(f->files.size());
    if (!DDS_StringSeq_set_maximum(&seq, 0) || !DDS_StringSeq_ensure_length(&seq, n, n))
        return DDS_RETCODE_OUT_OF_RESOURCES;
    for (DDS_Long i = 0; i < n; ++i)
        *DDS_StringSeq_get_reference(&seq, i) = DDS_String_dup(f->files[i].c_str());
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DomainParticipantFactory_set_qos(DDS_DomainParticipantFactory *self, const DDS_DomainParticipantFactoryQos *qos)
{
    Factory *f = factory_of(self);
    if (!f || !qos)
        return DDS_RETCODE_BAD_PARAMETER;
    std::vector<std::string> files;
    auto &seq = const_cast<DDS_StringSeq &>(qos->profile.url_profile);
    for (DDS_Long i = 0; i < DDS_StringSeq_get_length(&seq); ++i) {
        const char *s = *DDS_StringSeq_get_reference(&seq, i);
        if (s && *s)
            files.emplace_back(s);
    }
    std::lock_guard<std::mutex> g(f->lock);
    f->files = std::move(files);
    return DDS_RETCODE_OK;
}

DDS_DomainParticipant *DDS_DomainParticipantFactory_create_participant_from_config(DDS_DomainParticipantFactory *self, const char *config_name)
{
    static const char *ctx = "DDS_DomainParticipantFactory_create_participant_from_config";
    Factory *f = factory_of(self);
    if (!f || !config_name) {
        QueltLog_error(ctx, "%s", !f ? "factory is null" : "configuration name is null");
        return nullptr;
    }
    try {
        std::vector<std::string> files;
        {
            std::lock_guard<std::mutex> g(f->lock);
            files = f->files;
        }
        if (files.empty()) {
            QueltLog_error(ctx, "no XML file to read configuration '%s' from", config_name);
            return nullptr;
        }
        const std::string key = files_key(files);
        std::shared_ptr<DDS_TypeLibrary> types;
        {
            std::lock_guard<std::mutex> g(f->lock);
            auto it = f->types.find(key);
            if (!key.empty() && it != f->types.end())
                types = it->second;
        }
        ParticipantPlan plan;
        std::string err;
        if (!build_participant_plan(files, config_name, plan, err, types)) {
            QueltLog_error(ctx, "%s", err.c_str());
            return nullptr;
        }
        if (!types && !key.empty()) {
            std::lock_guard<std::mutex> g(f->lock);
            if (!f->types.emplace(key, plan.types).second)
                f->types_read_twice.push_back(plan.types);
        }
        DDS_DomainParticipant *p = create_participant_from_plan(std::move(plan), err);
        if (!p) {
            QueltLog_error(ctx, "configuration '%s': %s", config_name, err.c_str());
            return nullptr;
        }
        static const bool returnLoansAtExit = (std::atexit(return_loans_at_exit), true);
        (void)returnLoansAtExit;
        std::lock_guard<std::mutex> g(f->lock);
        f->participants.insert(p);
        return p;
    } catch (const std::exception &e) {
        QueltLog_error(ctx, "configuration '%s': %s", config_name, e.what());
        return nullptr;
    }
}

DDS_ReturnCode_t DDS_DomainParticipantFactory_get_participant_config_names(DDS_DomainParticipantFactory *self, const char *file,
                                                                          DDS_StringSeq *names)
{
    static const char *ctx = "DDS_DomainParticipantFactory_get_participant_config_names";
    if (!factory_of(self) || !file || !names)
        return DDS_RETCODE_BAD_PARAMETER;
    try {
        std::vector<std::string> found;
        std::string err;
        if (!participant_config_names({file}, found, err)) {
            QueltLog_error(ctx, "%s", err.c_str());
            return DDS_RETCODE_ERROR;
        }
        const DDS_Long at = DDS_StringSeq_get_length(names);
        const auto n = at + static_cast<DDS_Long>(found.size());
        if (!DDS_StringSeq_ensure_length(names, n, std::max(n, DDS_StringSeq_get_maximum(names))))
            return DDS_RETCODE_OUT_OF_RESOURCES;
        for (size_t i = 0; i < found.size(); ++i)
            *DDS_StringSeq_get_reference(names, at + static_cast<DDS_Long>(i)) = DDS_String_dup(found[i].c_str());
        return DDS_RETCODE_OK;
    } catch (const std::exception &e) {
        QueltLog_error(ctx, "%s: %s", file, e.what());
        return DDS_RETCODE_ERROR;
    }
}

DDS_ReturnCode_t DDS_DomainParticipantFactory_delete_participant(DDS_DomainParticipantFactory *self, DDS_DomainParticipant *participant)
{
    Factory *f = factory_of(self);
    if (!f || !participant)
        return DDS_RETCODE_BAD_PARAMETER;
    {
        std::lock_guard<std::mutex> g(f->lock);
        if (!f->participants.erase(participant))
            return DDS_RETCODE_BAD_PARAMETER;
    }
    delete_participant(participant);
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DomainParticipant_get_publishers(DDS_DomainParticipant *self, DDS_PublisherSeq *publishers)
{
    if (!self || !publishers)
        return DDS_RETCODE_BAD_PARAMETER;
    const auto n = static_cast<DDS_Long>(self->publishers.size());
    if (!DDS_PublisherSeq_ensure_length(publishers, n, n))
        return DDS_RETCODE_OUT_OF_RESOURCES;
    for (DDS_Long i = 0; i < n; ++i)
        *DDS_PublisherSeq_get_reference(publishers, i) = self->publishers[i].get();
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DomainParticipant_get_subscribers(DDS_DomainParticipant *self, DDS_SubscriberSeq *subscribers)
{
    if (!self || !subscribers)
        return DDS_RETCODE_BAD_PARAMETER;
    const auto n = static_cast<DDS_Long>(self->subscribers.size());
    if (!DDS_SubscriberSeq_ensure_length(subscribers, n, n))
        return DDS_RETCODE_OUT_OF_RESOURCES;
    for (DDS_Long i = 0; i < n; ++i)
        *DDS_SubscriberSeq_get_reference(subscribers, i) = self->subscribers[i].get();
    return DDS_RETCODE_OK;
}

const DDS_TypeCode *DDS_DomainParticipant_get_typecode(DDS_DomainParticipant *self, const char *type_name)
{
    if (!self || !type_name)
        return nullptr;
    auto it = self->types.find(type_name);
    return it == self->types.end() ? nullptr : it->second;
}

DDS_ReturnCode_t DDS_DomainParticipant_get_current_time(DDS_DomainParticipant *self, DDS_Time_t *now)
{
    if (!self || !now)
        return DDS_RETCODE_BAD_PARAMETER;
    QueltClock_now(now);
    return DDS_RETCODE_OK;
}

DDS_DataReader *DDS_DomainParticipant_lookup_datareader_by_name(DDS_DomainParticipant *self, const char *name)
{
    if (!self || !name)
        return nullptr;
    const std::string n(name);
    DDS_DataReader *only = nullptr;
    int count = 0;
    for (auto &sub : self->subscribers)
        for (auto &r : sub->readers) {
            if (sub->name + "::" + r->name == n)
                return r.get();
            if (r->name == n) {
                only = r.get();
                ++count;
            }
        }
    return count == 1 ? only : nullptr;
}

DDS_DataWriter *DDS_DomainParticipant_lookup_datawriter_by_name(DDS_DomainParticipant *self, const char *name)
{
    if (!self || !name)
        return nullptr;
    const std::string n(name);
    DDS_DataWriter *only = nullptr;
    int count = 0;
    for (auto &pub : self->publishers)
        for (auto &w : pub->writers) {
            if (pub->name + "::" + w->name == n)
                return w.get();
            if (w->name == n) {
                only = w.get();
                ++count;
            }
        }
    return count == 1 ? only : nullptr;
}

DDS_ReturnCode_t DDS_DomainParticipant_set_listener(DDS_DomainParticipant *self, const DDS_DomainParticipantListener *listener, DDS_StatusMask mask)
{
    if (!self)
        return DDS_RETCODE_BAD_PARAMETER;
    std::unique_lock<std::mutex> g(self->listener_lock);
    self->listener = listener ? *listener : DDS_DomainParticipantListener{};
    self->listener_mask = listener ? mask : 0;
    wait_out(g, self->listener_calls);
    return DDS_RETCODE_OK;
}

DDS_DomainParticipantListener DDS_DomainParticipant_get_listener(DDS_DomainParticipant *self)
{
    if (!self)
        return DDS_DomainParticipantListener{};
    std::lock_guard<std::mutex> g(self->listener_lock);
    return self->listener;
}

DDS_ReturnCode_t DDS_DomainParticipant_delete_contained_entities(DDS_DomainParticipant *self)
{
    if (!self)
        return DDS_RETCODE_BAD_PARAMETER;
    quelt::mw::delete_entities(self);
    return DDS_RETCODE_OK;
}

DDS_DomainId_t DDS_DomainParticipant_get_domain_id(DDS_DomainParticipant *self) { return self ? self->plan.domain_id : -1; }

DDS_ReturnCode_t DDS_DomainParticipant_get_qos(DDS_DomainParticipant *self, DDS_DomainParticipantQos *qos)
{
    if (!self || !qos)
        return DDS_RETCODE_BAD_PARAMETER;
    DDS_String_free(qos->participant_name.name);
    qos->participant_name.name = DDS_String_dup(self->plan.name.c_str());
    return DDS_RETCODE_OK;
}

DDS_Topic *DDS_DomainParticipant_find_topic(DDS_DomainParticipant *self, const char *topic_name)
{
    if (!self || !topic_name)
        return nullptr;
    for (auto &t : self->topics)
        if (t->plan->name == topic_name)
            return t.get();
    return nullptr;
}

DDS_ReturnCode_t DDS_Publisher_get_all_datawriters(DDS_Publisher *self, DDS_DataWriterSeq *writers)
{
    if (!self || !writers)
        return DDS_RETCODE_BAD_PARAMETER;
    const auto n = static_cast<DDS_Long>(self->writers.size());
    if (!DDS_DataWriterSeq_ensure_length(writers, n, n))
        return DDS_RETCODE_OUT_OF_RESOURCES;
    for (DDS_Long i = 0; i < n; ++i)
        *DDS_DataWriterSeq_get_reference(writers, i) = self->writers[i].get();
    return DDS_RETCODE_OK;
}

static DDS_ReturnCode_t fill_name(DDS_EntityNameQosPolicy &n, const std::string &name)
{
    DDS_String_free(n.name);
    n.name = name.empty() ? nullptr : DDS_String_dup(name.c_str());
    return name.empty() || n.name ? DDS_RETCODE_OK : DDS_RETCODE_OUT_OF_RESOURCES;
}

static DDS_ReturnCode_t fill_partitions(DDS_PartitionQosPolicy &p, const std::vector<std::string> &parts)
{
    const auto n = static_cast<DDS_Long>(parts.size());
    if (!DDS_StringSeq_set_maximum(&p.name, 0) || !DDS_StringSeq_ensure_length(&p.name, n, n))
        return DDS_RETCODE_OUT_OF_RESOURCES;
    for (DDS_Long i = 0; i < n; ++i)
        *DDS_StringSeq_get_reference(&p.name, i) = DDS_String_dup(parts[i].c_str());
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_Publisher_get_qos(DDS_Publisher *self, DDS_PublisherQos *qos)
{
    if (!self || !qos)
        return DDS_RETCODE_BAD_PARAMETER;
    DDS_ReturnCode_t r = fill_partitions(qos->partition, self->partitions);
    return r == DDS_RETCODE_OK ? fill_name(qos->publisher_name, self->name) : r;
}

DDS_DomainParticipant *DDS_Publisher_get_participant(DDS_Publisher *self) { return self ? self->participant : nullptr; }

DDS_ReturnCode_t DDS_Subscriber_get_all_datareaders(DDS_Subscriber *self, DDS_DataReaderSeq *readers)
{
    if (!self || !readers)
        return DDS_RETCODE_BAD_PARAMETER;
    const auto n = static_cast<DDS_Long>(self->readers.size());
    if (!DDS_DataReaderSeq_ensure_length(readers, n, n))
        return DDS_RETCODE_OUT_OF_RESOURCES;
    for (DDS_Long i = 0; i < n; ++i)
        *DDS_DataReaderSeq_get_reference(readers, i) = self->readers[i].get();
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_Subscriber_get_qos(DDS_Subscriber *self, DDS_SubscriberQos *qos)
{
    if (!self || !qos)
        return DDS_RETCODE_BAD_PARAMETER;
    DDS_ReturnCode_t r = fill_partitions(qos->partition, self->partitions);
    return r == DDS_RETCODE_OK ? fill_name(qos->subscriber_name, self->name) : r;
}

DDS_DomainParticipant *DDS_Subscriber_get_participant(DDS_Subscriber *self) { return self ? self->participant : nullptr; }

DDS_TopicDescription *DDS_Topic_as_topicdescription(DDS_Topic *self) { return self ? &self->description : nullptr; }

const char *DDS_TopicDescription_get_type_name(DDS_TopicDescription *self)
{
    return self && self->topic ? self->topic->plan->type_name.c_str() : nullptr;
}

const char *DDS_TopicDescription_get_name(DDS_TopicDescription *self)
{
    return self && self->topic ? self->topic->plan->name.c_str() : nullptr;
}

DDS_Publisher *DDS_DataWriter_get_publisher(DDS_DataWriter *self) { return self ? self->publisher : nullptr; }

DDS_ReturnCode_t DDS_DataWriter_get_qos(DDS_DataWriter *self, DDS_DataWriterQos *qos)
{
    if (!self || !qos)
        return DDS_RETCODE_BAD_PARAMETER;
    DDS_EntityNameQosPolicy keep = qos->publication_name;
    *qos = self->qos;
    qos->publication_name = keep;
    return fill_name(qos->publication_name, self->name);
}

DDS_Topic *DDS_DataWriter_get_topic(DDS_DataWriter *self) { return self ? self->topic : nullptr; }

DDS_ReturnCode_t DDS_DataWriter_set_listener(DDS_DataWriter *self, const DDS_DataWriterListener *listener, DDS_StatusMask mask)
{
    if (!self)
        return DDS_RETCODE_BAD_PARAMETER;
    std::unique_lock<std::mutex> g(self->listener_lock);
    self->listener = listener ? *listener : DDS_DataWriterListener{};
    self->listener_mask = listener ? mask : 0;
    wait_out(g, self->listener_calls);
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DataWriter_get_publication_matched_status(DDS_DataWriter *self, DDS_PublicationMatchedStatus *status)
{
    if (!self || !status || !self->writer)
        return DDS_RETCODE_BAD_PARAMETER;
    fdds::PublicationMatchedStatus s;
    DDS_ReturnCode_t r = rc(self->writer->get_publication_matched_status(s));
    if (r == DDS_RETCODE_OK)
        *status = DDS_PublicationMatchedStatus{s.total_count, s.total_count_change, s.current_count, s.current_count_change,
                                               to_handle(s.last_subscription_handle)};
    self->changed.fetch_and(~DDS_PUBLICATION_MATCHED_STATUS);
    return r;
}

// Blocks until every sample written so far is acknowledged by every matched reliable reader, or
// max_wait passes (TIMEOUT).
DDS_ReturnCode_t DDS_DataWriter_wait_for_acknowledgments(DDS_DataWriter *self, const DDS_Duration_t *max_wait)
{
    if (!self || !max_wait || !self->writer)
        return DDS_RETCODE_BAD_PARAMETER;
    const bool infinite = max_wait->sec == DDS_DURATION_INFINITE_SEC && max_wait->nanosec == DDS_DURATION_INFINITE_NSEC;
    const eprosima::fastrtps::Duration_t wait =
        infinite ? eprosima::fastrtps::c_TimeInfinite : eprosima::fastrtps::Duration_t(max_wait->sec, max_wait->nanosec);
    return rc(self->writer->wait_for_acknowledgments(wait));
}

DDS_Subscriber *DDS_DataReader_get_subscriber(DDS_DataReader *self) { return self ? self->subscriber : nullptr; }

DDS_ReturnCode_t DDS_DataReader_get_qos(DDS_DataReader *self, DDS_DataReaderQos *qos)
{
    if (!self || !qos)
        return DDS_RETCODE_BAD_PARAMETER;
    DDS_EntityNameQosPolicy keep = qos->subscription_name;
    *qos = self->qos;
    qos->subscription_name = keep;
    return fill_name(qos->subscription_name, self->name);
}

DDS_TopicDescription *DDS_DataReader_get_topicdescription(DDS_DataReader *self) { return self ? &self->topic->description : nullptr; }

DDS_ReturnCode_t DDS_DataReader_set_listener(DDS_DataReader *self, const DDS_DataReaderListener *listener, DDS_StatusMask mask)
{
    if (!self)
        return DDS_RETCODE_BAD_PARAMETER;
    std::unique_lock<std::mutex> g(self->listener_lock);
    self->listener = listener ? *listener : DDS_DataReaderListener{};
    self->listener_mask = listener ? mask : 0;
    wait_out(g, self->listener_calls);
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DataReader_get_subscription_matched_status(DDS_DataReader *self, DDS_SubscriptionMatchedStatus *status)
{
    if (!self || !status || !self->reader)
        return DDS_RETCODE_BAD_PARAMETER;
    fdds::SubscriptionMatchedStatus s;
    DDS_ReturnCode_t r = rc(self->reader->get_subscription_matched_status(s));
    if (r == DDS_RETCODE_OK)
        *status = DDS_SubscriptionMatchedStatus{s.total_count, s.total_count_change, s.current_count, s.current_count_change,
                                                to_handle(s.last_publication_handle)};
    self->changed.fetch_and(~DDS_SUBSCRIPTION_MATCHED_STATUS);
    return r;
}

DDS_Entity *DDS_DataWriter_as_entity(DDS_DataWriter *self) { return self; }
DDS_Entity *DDS_DataReader_as_entity(DDS_DataReader *self) { return self; }
DDS_Entity *DDS_DomainParticipant_as_entity(DDS_DomainParticipant *self) { return self; }

// Entities are created enabled, so enabling is a check that the entity exists.
DDS_ReturnCode_t DDS_Entity_enable(DDS_Entity *self) { return self ? DDS_RETCODE_OK : DDS_RETCODE_BAD_PARAMETER; }

DDS_StatusCondition *DDS_Entity_get_statuscondition(DDS_Entity *self) { return self ? &self->condition : nullptr; }

DDS_DynamicDataWriter *DDS_DynamicDataWriter_narrow(DDS_DataWriter *writer) { return writer && writer->writer ? writer : nullptr; }

static DDS_ReturnCode_t check_sample(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample)
{
    if (!self || !self->writer || !sample || !sample->p)
        return DDS_RETCODE_BAD_PARAMETER;
    // The sample must be of the writer's type (the same type code, or one of equal structure).
    const DDS_TypeCode *t = resolve(self->topic->plan->type);
    if (sample->type != t && (sample->type->name != t->name || sample->type->size != t->size))
        return DDS_RETCODE_BAD_PARAMETER;
    return DDS_RETCODE_OK;
}

// A sample the engine refused is lost (a keep-all history still full after max_blocking_time, a
// resource limit, a deleted entity; Fast DDS 2.9 also refuses now and then with an unbounded
// history). That is never silent: one line with the writer's full name and the return code,
// whoever called (the exported functions, a script, a program on this API).
static DDS_ReturnCode_t logged(const char *ctx, DDS_DynamicDataWriter *self, DDS_ReturnCode_t r)
{
    if (r != DDS_RETCODE_OK) {
        const char *pub = self && self->publisher && !self->publisher->name.empty() ? self->publisher->name.c_str() : "NO_NAME_SET";
        const char *name = self && !self->name.empty() ? self->name.c_str() : "NO_NAME_SET";
        QueltLog_error(ctx, "writer '%s::%s' did not send the sample: return code %d (%s)", pub, name, static_cast<int>(r),
                       retcode_name(r));
    }
    return r;
}

DDS_ReturnCode_t DDS_DynamicDataWriter_write(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample, const DDS_InstanceHandle_t *handle)
{
    static const char *ctx = "DDS_DynamicDataWriter_write";
    DDS_ReturnCode_t r = check_sample(self, sample);
    if (r != DDS_RETCODE_OK)
        return logged(ctx, self, r);
    try {
        EncodingScope encoding(self->encoding);
        return logged(ctx, self, rc(self->writer->write(const_cast<DDS_DynamicData *>(sample), from_handle(handle))));
    } catch (...) {
        return logged(ctx, self, DDS_RETCODE_ERROR);
    }
}

DDS_ReturnCode_t DDS_DynamicDataWriter_write_w_params(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample, DDS_WriteParams_t *params)
{
    static const char *ctx = "DDS_DynamicDataWriter_write_w_params";
    DDS_ReturnCode_t r = check_sample(self, sample);
    if (r != DDS_RETCODE_OK || !params)
        return logged(ctx, self, r != DDS_RETCODE_OK ? r : DDS_RETCODE_BAD_PARAMETER);
    try {
        frtps::WriteParams wp;
        if (!is_auto(params->identity))
            wp.sample_identity(from_identity(params->identity));
        if (!is_auto(params->related_sample_identity))
            wp.related_sample_identity(from_identity(params->related_sample_identity));
        // This overload gives no return code, only false: ERROR stands for it.
        EncodingScope encoding(self->encoding);
        if (!self->writer->write(const_cast<DDS_DynamicData *>(sample), wp))
            return logged(ctx, self, DDS_RETCODE_ERROR);
        // Report the identity the sample went out with.
        to_identity(wp.sample_identity(), params->identity.writer_guid, params->identity.sequence_number);
        return DDS_RETCODE_OK;
    } catch (...) {
        return logged(ctx, self, DDS_RETCODE_ERROR);
    }
}

DDS_ReturnCode_t DDS_DynamicDataWriter_dispose(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample, const DDS_InstanceHandle_t *handle)
{
    static const char *ctx = "DDS_DynamicDataWriter_dispose";
    DDS_ReturnCode_t r = check_sample(self, sample);
    if (r != DDS_RETCODE_OK)
        return logged(ctx, self, r);
    try {
        EncodingScope encoding(self->encoding);
        return logged(ctx, self, rc(self->writer->dispose(const_cast<DDS_DynamicData *>(sample), from_handle(handle))));
    } catch (...) {
        return logged(ctx, self, DDS_RETCODE_ERROR);
    }
}

DDS_ReturnCode_t DDS_DynamicDataWriter_unregister_instance(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample,
                                                           const DDS_InstanceHandle_t *handle)
{
    static const char *ctx = "DDS_DynamicDataWriter_unregister_instance";
    DDS_ReturnCode_t r = check_sample(self, sample);
    if (r != DDS_RETCODE_OK)
        return logged(ctx, self, r);
    try {
        EncodingScope encoding(self->encoding);
        return logged(ctx, self, rc(self->writer->unregister_instance(const_cast<DDS_DynamicData *>(sample), from_handle(handle))));
    } catch (...) {
        return logged(ctx, self, DDS_RETCODE_ERROR);
    }
}

DDS_DynamicDataReader *DDS_DynamicDataReader_narrow(DDS_DataReader *reader) { return reader && reader->reader ? reader : nullptr; }

DDS_ReturnCode_t DDS_DynamicDataReader_read(DDS_DynamicDataReader *self, DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos, DDS_Long max_samples,
                                            DDS_SampleStateMask sample_states, DDS_ViewStateMask view_states, DDS_InstanceStateMask instance_states)
{
    return loan_into(self, data, infos, max_samples, sample_states, view_states, instance_states, false);
}

DDS_ReturnCode_t DDS_DynamicDataReader_take(DDS_DynamicDataReader *self, DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos, DDS_Long max_samples,
                                            DDS_SampleStateMask sample_states, DDS_ViewStateMask view_states, DDS_InstanceStateMask instance_states)
{
    return loan_into(self, data, infos, max_samples, sample_states, view_states, instance_states, true);
}

DDS_ReturnCode_t DDS_DynamicDataReader_return_loan(DDS_DynamicDataReader *self, DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos)
{
    if (!self || !data || !infos)
        return DDS_RETCODE_BAD_PARAMETER;
    auto *loan = static_cast<Loan *>(data->_loan_token);
    if (!data->_loaned || !loan)
        return DDS_RETCODE_OK;
    if (loan->reader != self || loan->info_seq != infos)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    DDS_ReturnCode_t r = DDS_RETCODE_OK;
    try {
        r = rc(self->reader->return_loan(loan->data, loan->infos));
    } catch (...) {
        r = DDS_RETCODE_ERROR;
    }
    data->_length = 0;
    data->_loaned = DDS_BOOLEAN_FALSE;
    loan->reader = nullptr;
    DDS_SampleInfoSeq_set_length(infos, 0);
    std::lock_guard<std::mutex> g(self->loans_lock);
    self->loans.erase(data);
    return r;
}

DDS_ReturnCode_t DDS_DynamicDataReader_get_key_value(DDS_DynamicDataReader *self, DDS_DynamicData *key_holder, const DDS_InstanceHandle_t *handle)
{
    if (!self || !key_holder || !key_holder->p || !handle || !handle->isValid)
        return DDS_RETCODE_BAD_PARAMETER;
    const DDS_TypeCode *t = resolve(self->topic->plan->type);
    if (key_holder->type != t)
        return DDS_RETCODE_BAD_PARAMETER;
    std::array<unsigned char, 16> h;
    std::memcpy(h.data(), handle->value, 16);
    {
        std::lock_guard<std::mutex> g(self->keys.lock);
        auto it = self->keys.by_hash.find(h);
        if (it != self->keys.by_hash.end()) {
            copy_key_members(t, key_holder->p, it->second->p);
            return DDS_RETCODE_OK;
        }
    }
    return key_from_unknown_handle(t, key_holder, h.data()) != HandleKey::None ? DDS_RETCODE_OK : DDS_RETCODE_BAD_PARAMETER;
}

DDS_ReturnCode_t DDS_StatusCondition_set_enabled_statuses(DDS_StatusCondition *self, DDS_StatusMask mask)
{
    if (!self)
        return DDS_RETCODE_BAD_PARAMETER;
    self->enabled.store(mask);
    self->wake();
    return DDS_RETCODE_OK;
}

DDS_StatusMask DDS_StatusCondition_get_enabled_statuses(DDS_StatusCondition *self) { return self ? self->enabled.load() : 0; }

DDS_Condition *DDS_StatusCondition_as_condition(DDS_StatusCondition *self) { return self; }

DDS_Boolean DDS_Condition_get_trigger_value(DDS_Condition *self) { return self && self->triggered(); }

DDS_WaitSet *DDS_WaitSet_new(void) { return new (std::nothrow) DDS_WaitSet; }

DDS_ReturnCode_t DDS_WaitSet_delete(DDS_WaitSet *self)
{
    if (!self)
        return DDS_RETCODE_BAD_PARAMETER;
    std::vector<DDS_Condition *> conds;
    {
        std::lock_guard<std::mutex> g(self->impl.lock);
        conds = self->impl.conditions;
    }
    for (DDS_Condition *c : conds)
        DDS_WaitSet_detach_condition(self, c);
    delete self;
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_WaitSet_attach_condition(DDS_WaitSet *self, DDS_Condition *condition)
{
    if (!self || !condition)
        return DDS_RETCODE_BAD_PARAMETER;
    {
        std::lock_guard<std::mutex> g(condition->lock);
        condition->waitsets.insert(&self->impl);
    }
    std::lock_guard<std::mutex> g(self->impl.lock);
    auto &v = self->impl.conditions;
    if (std::find(v.begin(), v.end(), condition) == v.end())
        v.push_back(condition);
    ++self->impl.generation;
    self->impl.cv.notify_all();
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_WaitSet_detach_condition(DDS_WaitSet *self, DDS_Condition *condition)
{
    if (!self || !condition)
        return DDS_RETCODE_BAD_PARAMETER;
    {
        std::lock_guard<std::mutex> g(condition->lock);
        condition->waitsets.erase(&self->impl);
    }
    std::lock_guard<std::mutex> g(self->impl.lock);
    auto &v = self->impl.conditions;
    auto it = std::find(v.begin(), v.end(), condition);
    if (it == v.end())
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    v.erase(it);
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_WaitSet_wait(DDS_WaitSet *self, DDS_ConditionSeq *active, const DDS_Duration_t *timeout)
{
    if (!self || !timeout)
        return DDS_RETCODE_BAD_PARAMETER;
    const bool infinite = timeout->sec == DDS_DURATION_INFINITE_SEC && timeout->nanosec == DDS_DURATION_INFINITE_NSEC;
    if (!infinite && (timeout->sec < 0 || timeout->nanosec >= 1000000000u))
        return DDS_RETCODE_BAD_PARAMETER;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(infinite ? 0 : timeout->sec) +
                          std::chrono::nanoseconds(infinite ? 0 : timeout->nanosec);
    WaitSetImpl &ws = self->impl;
    for (;;) {
        // Conditions are evaluated without the waitset's lock: asking a reader for its unread
        // count takes Fast DDS's history lock, which is held while Fast DDS wakes us.
        uint64_t gen;
        std::vector<DDS_Condition *> conds;
        {
            std::lock_guard<std::mutex> g(ws.lock);
            gen = ws.generation;
            conds = ws.conditions;
        }
        std::vector<DDS_Condition *> hit;
        for (DDS_Condition *c : conds)
            if (c->triggered())
                hit.push_back(c);
        if (!hit.empty()) {
            if (active) {
                const auto n = static_cast<DDS_Long>(hit.size());
                if (DDS_ConditionSeq_ensure_length(active, n, n))
                    for (DDS_Long i = 0; i < n; ++i)
                        *DDS_ConditionSeq_get_reference(active, i) = hit[i];
            }
            return DDS_RETCODE_OK;
        }
        std::unique_lock<std::mutex> g(ws.lock);
        auto pred = [&] { return ws.generation != gen; };
        if (infinite) {
            ws.cv.wait(g, pred);
        } else if (!ws.cv.wait_until(g, deadline, pred)) {
            if (active)
                DDS_ConditionSeq_set_length(active, 0);
            return DDS_RETCODE_TIMEOUT;
        }
    }
}

// ---- DynamicData sequences ----

DDS_Boolean DDS_DynamicDataSeq_initialize(DDS_DynamicDataSeq *self)
{
    if (!self)
        return DDS_BOOLEAN_FALSE;
    *self = DDS_DynamicDataSeq{nullptr, 0, 0, DDS_BOOLEAN_TRUE, DDS_BOOLEAN_FALSE, nullptr};
    return DDS_BOOLEAN_TRUE;
}

DDS_Boolean DDS_DynamicDataSeq_finalize(DDS_DynamicDataSeq *self)
{
    if (!self || self->_loaned)
        return DDS_BOOLEAN_FALSE;
    delete static_cast<Loan *>(self->_loan_token);
    std::free(self->_contiguous_buffer);
    *self = DDS_DynamicDataSeq{nullptr, 0, 0, DDS_BOOLEAN_TRUE, DDS_BOOLEAN_FALSE, nullptr};
    return DDS_BOOLEAN_TRUE;
}

DDS_Long DDS_DynamicDataSeq_get_length(const DDS_DynamicDataSeq *self) { return self ? self->_length : 0; }
DDS_Long DDS_DynamicDataSeq_get_maximum(const DDS_DynamicDataSeq *self) { return self ? self->_maximum : 0; }

DDS_DynamicData *DDS_DynamicDataSeq_get_reference(DDS_DynamicDataSeq *self, DDS_Long i)
{
    if (!self || i < 0 || i >= self->_length)
        return nullptr;
    return self->_contiguous_buffer[i];
}

DDS_Boolean DDS_DynamicDataSeq_set_maximum(DDS_DynamicDataSeq *self, DDS_Long max)
{
    if (!self || self->_loaned || max < 0)
        return DDS_BOOLEAN_FALSE;
    if (max == 0) {
        std::free(self->_contiguous_buffer);
        self->_contiguous_buffer = nullptr;
        self->_length = self->_maximum = 0;
        return DDS_BOOLEAN_TRUE;
    }
    auto *b = static_cast<DDS_DynamicData **>(std::realloc(self->_contiguous_buffer, sizeof(DDS_DynamicData *) * size_t(max)));
    if (!b)
        return DDS_BOOLEAN_FALSE;
    self->_contiguous_buffer = b;
    self->_maximum = max;
    if (self->_length > max)
        self->_length = max;
    return DDS_BOOLEAN_TRUE;
}

} // extern "C"

namespace {

void fill_info(DDS_SampleInfo &o, const fdds::SampleInfo &i)
{
    o = DDS_SampleInfo{};
    o.sample_state = i.sample_state;
    o.view_state = i.view_state;
    o.instance_state = i.instance_state;
    o.source_timestamp = to_time(i.source_timestamp);
    o.reception_timestamp = to_time(i.reception_timestamp);
    o.instance_handle = to_handle(i.instance_handle);
    o.publication_handle = to_handle(i.publication_handle);
    o.disposed_generation_count = i.disposed_generation_count;
    o.no_writers_generation_count = i.no_writers_generation_count;
    o.sample_rank = i.sample_rank;
    o.generation_rank = i.generation_rank;
    o.absolute_generation_rank = i.absolute_generation_rank;
    o.valid_data = i.valid_data ? DDS_BOOLEAN_TRUE : DDS_BOOLEAN_FALSE;
    to_identity(i.sample_identity, o.original_publication_virtual_guid, o.original_publication_virtual_sequence_number);
    o.publication_sequence_number = o.original_publication_virtual_sequence_number;
    to_identity(i.related_sample_identity, o.related_original_publication_virtual_guid,
                o.related_original_publication_virtual_sequence_number);
}

// Remembers the key of every instance a valid sample shows, and shows it in samples that carry
// no data (dispose and unregister notices). True when it gave a notice its instance's own handle.
bool track_keys(DDS_DataReader *r, DDS_DynamicData *sample, DDS_SampleInfo &info)
{
    const DDS_TypeCode *t = sample ? sample->type : nullptr;
    if (!t || t->kind != DDS_TK_STRUCT || !t->keyed || !info.instance_handle.isValid)
        return false;
    std::array<unsigned char, 16> h;
    std::memcpy(h.data(), info.instance_handle.value, 16);
    std::lock_guard<std::mutex> g(r->keys.lock);
    auto it = r->keys.by_hash.find(h);
    if (info.valid_data) {
        if (it == r->keys.by_hash.end()) {
            DDS_DynamicData *k = DDS_DynamicData_new(t, nullptr);
            if (!k)
                return false;
            copy_key_members(t, k->p, sample->p);
            r->keys.by_hash.emplace(h, k);
        }
        return false;
    }
    // A notice's sample holds whatever the pool left in it: show the key and nothing else.
    value_fini(t, sample->p);
    value_init(t, sample->p);
    if (it != r->keys.by_hash.end()) {
        copy_key_members(t, sample->p, it->second->p);
        return false;
    }
    if (key_from_unknown_handle(t, sample, h.data()) != HandleKey::FromPayload)
        return false;
    // Fast DDS filed this notice under its raw key payload: show the instance's own handle, and
    // remember its key under it.
    if (!instance_key_hash(t, sample->p, info.instance_handle.value))
        return false;
    std::memcpy(h.data(), info.instance_handle.value, 16);
    if (r->keys.by_hash.find(h) == r->keys.by_hash.end()) {
        if (DDS_DynamicData *k = DDS_DynamicData_new(t, nullptr)) {
            copy_key_members(t, k->p, sample->p);
            r->keys.by_hash.emplace(h, k);
        }
    }
    return true;
}

// A notice Fast DDS filed under a separate instance comes back in its own place in the batch,
// maybe ahead of the data it follows, and that data shows the instance as still alive. Put each
// such notice after the last sample of its instance, and give those samples the notice's state.
void place_refiled_notices(DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos, const std::vector<DDS_Long> &refiled)
{
    const DDS_Long n = data->_length;
    for (size_t k = refiled.size(); k-- > 0;) {
        const DDS_Long i = refiled[k];
        const DDS_SampleInfo notice = *DDS_SampleInfoSeq_get_reference(infos, i);
        DDS_Long last = i;
        for (DDS_Long j = 0; j < n; ++j) {
            DDS_SampleInfo *o = DDS_SampleInfoSeq_get_reference(infos, j);
            if (j == i || !o->valid_data || std::memcmp(o->instance_handle.value, notice.instance_handle.value, 16))
                continue;
            o->instance_state = notice.instance_state;
            last = std::max(last, j);
        }
        DDS_DynamicData *sample = data->_contiguous_buffer[i];
        for (DDS_Long j = i; j < last; ++j) {
            data->_contiguous_buffer[j] = data->_contiguous_buffer[j + 1];
            *DDS_SampleInfoSeq_get_reference(infos, j) = *DDS_SampleInfoSeq_get_reference(infos, j + 1);
        }
        data->_contiguous_buffer[last] = sample;
        *DDS_SampleInfoSeq_get_reference(infos, last) = notice;
    }
}

// Once per reader: samples arrive that do not decode to its type (a peer with another version of
// the type, or not a sample at all). They are dropped.
void report_refusal(DDS_DataReader *r)
{
    if (r->refusal_logged.exchange(true))
        return;
    const auto *type = dynamic_cast<const DynamicTopicType *>(r->reader->type().get());
    const std::string why = type ? type->last_refusal() : std::string();
    QueltLog_error("DDS_DynamicDataReader_take", "reader '%s::%s': samples on '%s' do not fit '%s' (%s): both sides must use the same type; such samples are dropped",
                   r->subscriber->name.c_str(), r->name.c_str(), r->topic->plan->name.c_str(), r->topic->plan->type_name.c_str(),
                   why.empty() ? "not a sample of the type" : why.c_str());
}

DDS_ReturnCode_t loan_into(DDS_DataReader *r, DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos, DDS_Long max, DDS_SampleStateMask ss,
                           DDS_ViewStateMask vs, DDS_InstanceStateMask is, bool take)
{
    if (!r || !r->reader || !data || !infos)
        return DDS_RETCODE_BAD_PARAMETER;
    if (data->_loaned)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    auto *loan = static_cast<Loan *>(data->_loan_token);
    if (!loan) {
        loan = new (std::nothrow) Loan;
        if (!loan)
            return DDS_RETCODE_OUT_OF_RESOURCES;
        data->_loan_token = loan;
    }
    const int32_t limit = max <= 0 ? fdds::LENGTH_UNLIMITED : max;
    FReturnCode fr;
    try {
        fr = take ? r->reader->take(loan->data, loan->infos, limit, ss & 0xffff, vs & 0xffff, is & 0xffff)
                  : r->reader->read(loan->data, loan->infos, limit, ss & 0xffff, vs & 0xffff, is & 0xffff);
    } catch (...) {
        return DDS_RETCODE_ERROR;
    }
    if (fr != FReturnCode::RETCODE_OK)
        return rc(fr);
    const auto n = static_cast<DDS_Long>(loan->data.length());
    // The sequence keeps its own array of pointers to the loaned samples.
    if (data->_maximum < n && !DDS_DynamicDataSeq_set_maximum(data, n)) {
        r->reader->return_loan(loan->data, loan->infos);
        return DDS_RETCODE_OUT_OF_RESOURCES;
    }
    if (!DDS_SampleInfoSeq_ensure_length(infos, n, n)) {
        r->reader->return_loan(loan->data, loan->infos);
        return DDS_RETCODE_OUT_OF_RESOURCES;
    }
    size_t notices = 0;
    std::vector<DDS_Long> refiled;
    DDS_Long kept = 0;
    for (DDS_Long k = 0; k < n; ++k) {
        auto *s = static_cast<DDS_DynamicData *>(loan->data.buffer()[k]);
        if (loan->infos[k].valid_data && s && s->refused) {
            report_refusal(r);
            continue; // never data, not even invalid data: the payload is not a sample of our type
        }
        const DDS_Long i = kept++;
        DDS_SampleInfo *info = DDS_SampleInfoSeq_get_reference(infos, i);
        fill_info(*info, loan->infos[k]);
        if (!info->valid_data || !s) {
            if (notices == loan->notices.size()) {
                DDS_DynamicData *k = DDS_DynamicData_new(r->topic->plan->type, nullptr);
                if (!k) {
                    r->reader->return_loan(loan->data, loan->infos);
                    return DDS_RETCODE_OUT_OF_RESOURCES;
                }
                loan->notices.push_back(k);
            }
            s = loan->notices[notices++];
        }
        data->_contiguous_buffer[i] = s;
        if (track_keys(r, s, *info))
            refiled.push_back(i);
    }
    if (kept == 0) {
        r->reader->return_loan(loan->data, loan->infos);
        DDS_SampleInfoSeq_set_length(infos, 0);
        data->_length = 0;
        return DDS_RETCODE_NO_DATA;
    }
    DDS_SampleInfoSeq_set_length(infos, kept);
    data->_length = kept;
    if (!refiled.empty())
        place_refiled_notices(data, infos, refiled);
    data->_loaned = DDS_BOOLEAN_TRUE;
    loan->reader = r;
    loan->info_seq = infos;
    std::lock_guard<std::mutex> g(r->loans_lock);
    r->loans.insert(data);
    return DDS_RETCODE_OK;
}

void return_all_loans_impl(DDS_DataReader *r)
{
    std::set<DDS_DynamicDataSeq *> seqs;
    {
        std::lock_guard<std::mutex> g(r->loans_lock);
        seqs = r->loans;
    }
    for (DDS_DynamicDataSeq *s : seqs) {
        auto *loan = static_cast<Loan *>(s->_loan_token);
        if (loan && loan->info_seq)
            DDS_DynamicDataReader_return_loan(r, s, loan->info_seq);
    }
}

} // namespace
