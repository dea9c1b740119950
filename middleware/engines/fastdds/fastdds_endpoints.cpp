// Fast DDS writers and readers: samples written and lent, their infos and statuses turned into
// ours, and the representations each side announces.
#include "engines/fastdds/fastdds_engine.h"

#include "domain/entities.h"
#include "domain/events.h"
#include "engines/fastdds/representation_transport.h"
#include "engines/fastdds/topic_type.h"

#include <fastdds/dds/core/LoanableSequence.hpp>
#include <fastdds/dds/publisher/DataWriterListener.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/rtps/common/WriteParams.h>

#include <cstring>
#include <new>

namespace fdds = eprosima::fastdds::dds;
using FReturnCode = eprosima::fastrtps::types::ReturnCode_t;
namespace frtps = eprosima::fastrtps::rtps;

namespace quelt::mw {

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

fdds::DataRepresentationId_t fastdds_representation(DDS_DataRepresentationId_t id)
{
    return id == DDS_XCDR2_DATA_REPRESENTATION ? fdds::XCDR2_DATA_REPRESENTATION : fdds::XCDR_DATA_REPRESENTATION;
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

// The collections Fast DDS lends samples in.
struct FastddsLoan : engine::LoanState {
    fdds::LoanableSequence<DDS_DynamicData> data;
    fdds::SampleInfoSeq infos;
};

} // namespace

class FastddsWriterListener : public fdds::DataWriterListener {
  public:
    explicit FastddsWriterListener(DDS_DataWriter *w) : w_(w) {}

    void on_publication_matched(fdds::DataWriter *, const fdds::PublicationMatchedStatus &s) override
    {
        on_status(w_, DDS_PublicationMatchedStatus{s.total_count, s.total_count_change, s.current_count, s.current_count_change,
                                                   to_handle(s.last_subscription_handle)});
    }
    void on_offered_deadline_missed(fdds::DataWriter *, const fdds::OfferedDeadlineMissedStatus &s) override
    {
        on_status(w_, DDS_OfferedDeadlineMissedStatus{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change),
                                                      to_handle(s.last_instance_handle)});
    }
    void on_offered_incompatible_qos(fdds::DataWriter *, const fdds::OfferedIncompatibleQosStatus &s) override
    {
        on_status(w_, DDS_OfferedIncompatibleQosStatus{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change),
                                                       static_cast<DDS_QosPolicyId_t>(s.last_policy_id)});
    }
    void on_liveliness_lost(fdds::DataWriter *, const fdds::LivelinessLostStatus &s) override
    {
        on_status(w_, DDS_LivelinessLostStatus{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change)});
    }

  private:
    DDS_DataWriter *w_;
};

class FastddsReaderListener : public fdds::DataReaderListener {
  public:
    explicit FastddsReaderListener(DDS_DataReader *r) : r_(r) {}

    void on_data_available(fdds::DataReader *) override { quelt::mw::on_data_available(r_); }
    void on_subscription_matched(fdds::DataReader *, const fdds::SubscriptionMatchedStatus &s) override
    {
        on_status(r_, DDS_SubscriptionMatchedStatus{s.total_count, s.total_count_change, s.current_count, s.current_count_change,
                                                    to_handle(s.last_publication_handle)});
    }
    void on_requested_deadline_missed(fdds::DataReader *, const fdds::RequestedDeadlineMissedStatus &s) override
    {
        on_status(r_, DDS_RequestedDeadlineMissedStatus{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change),
                                                        to_handle(s.last_instance_handle)});
    }
    void on_liveliness_changed(fdds::DataReader *, const fdds::LivelinessChangedStatus &s) override
    {
        on_status(r_, DDS_LivelinessChangedStatus{s.alive_count, s.not_alive_count, s.alive_count_change, s.not_alive_count_change,
                                                  to_handle(s.last_publication_handle)});
    }
    void on_sample_rejected(fdds::DataReader *, const fdds::SampleRejectedStatus &s) override
    {
        on_status(r_, DDS_SampleRejectedStatus{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change),
                                               static_cast<DDS_Long>(s.last_reason), to_handle(s.last_instance_handle)});
    }
    void on_requested_incompatible_qos(fdds::DataReader *, const fdds::RequestedIncompatibleQosStatus &s) override
    {
        on_status(r_, DDS_RequestedIncompatibleQosStatus{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change),
                                                         static_cast<DDS_QosPolicyId_t>(s.last_policy_id)});
    }
    void on_sample_lost(fdds::DataReader *, const fdds::SampleLostStatus &s) override
    {
        on_status(r_, DDS_SampleLostStatus{static_cast<DDS_Long>(s.total_count), static_cast<DDS_Long>(s.total_count_change)});
    }

  private:
    DDS_DataReader *r_;
};

// ---- writers ----

FastddsWriter::FastddsWriter(DDS_DataWriter &record, CdrVersion e) : listener(std::make_unique<FastddsWriterListener>(&record)), encoding(e) {}
FastddsWriter::~FastddsWriter() = default;

DDS_ReturnCode_t FastddsWriter::write(const DDS_DynamicData *sample, const DDS_InstanceHandle_t *handle)
{
    EncodingScope scope(encoding);
    return rc(writer->write(const_cast<DDS_DynamicData *>(sample), from_handle(handle)));
}

DDS_ReturnCode_t FastddsWriter::write_w_params(const DDS_DynamicData *sample, DDS_WriteParams_t &params)
{
    frtps::WriteParams wp;
    if (!is_auto(params.identity))
        wp.sample_identity(from_identity(params.identity));
    if (!is_auto(params.related_sample_identity))
        wp.related_sample_identity(from_identity(params.related_sample_identity));
    // This overload gives no return code, only false: ERROR stands for it.
    EncodingScope scope(encoding);
    if (!writer->write(const_cast<DDS_DynamicData *>(sample), wp))
        return DDS_RETCODE_ERROR;
    // Report the identity the sample went out with: Fast DDS 2.9 sends its writer's own, whatever
    // was asked for.
    static std::atomic<bool> identity_said{false};
    if (!is_auto(params.identity) && !(wp.sample_identity() == from_identity(params.identity)))
        engine::say_once(identity_said, "DDS_DynamicDataWriter_write_w_params",
                         "the Fast DDS engine sends a sample with its writer's own identity: a requested identity is not carried");
    to_identity(wp.sample_identity(), params.identity.writer_guid, params.identity.sequence_number);
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t FastddsWriter::dispose(const DDS_DynamicData *sample, const DDS_InstanceHandle_t *handle)
{
    EncodingScope scope(encoding);
    return rc(writer->dispose(const_cast<DDS_DynamicData *>(sample), from_handle(handle)));
}

DDS_ReturnCode_t FastddsWriter::unregister_instance(const DDS_DynamicData *sample, const DDS_InstanceHandle_t *handle)
{
    EncodingScope scope(encoding);
    return rc(writer->unregister_instance(const_cast<DDS_DynamicData *>(sample), from_handle(handle)));
}

DDS_ReturnCode_t FastddsWriter::publication_matched_status(DDS_PublicationMatchedStatus &status)
{
    fdds::PublicationMatchedStatus s;
    DDS_ReturnCode_t r = rc(writer->get_publication_matched_status(s));
    if (r == DDS_RETCODE_OK)
        status = DDS_PublicationMatchedStatus{s.total_count, s.total_count_change, s.current_count, s.current_count_change,
                                              to_handle(s.last_subscription_handle)};
    return r;
}

DDS_ReturnCode_t FastddsWriter::wait_for_acknowledgments(const DDS_Duration_t &max_wait)
{
    const bool infinite = max_wait.sec == DDS_DURATION_INFINITE_SEC && max_wait.nanosec == DDS_DURATION_INFINITE_NSEC;
    const eprosima::fastrtps::Duration_t wait =
        infinite ? eprosima::fastrtps::c_TimeInfinite : eprosima::fastrtps::Duration_t(max_wait.sec, max_wait.nanosec);
    return rc(writer->wait_for_acknowledgments(wait));
}

std::unique_ptr<engine::Writer> FastddsParticipant::create_writer(DDS_DataWriter &record, std::string &err)
{
    const TopicPlan *tp = record.topic->plan;
    static std::atomic<bool> batching_said{false};
    if (record.qos.cyclone.batching)
        engine::say_once(batching_said, "DDS_DomainParticipantFactory_create_participant_from_config",
                         "<cyclone_writer> settings do not apply to writers of the Fast DDS engine: they are left out");
    auto w = std::make_unique<FastddsWriter>(record, record.encoding);
    fdds::DataWriterQos q = fdds::DATAWRITER_QOS_DEFAULT;
    to_fastdds(record.qos, q);
    q.representation().m_value = {w->encoding == CdrVersion::Xcdr2 ? fdds::XCDR2_DATA_REPRESENTATION : fdds::XCDR_DATA_REPRESENTATION};
    fdds::Publisher *pub = static_cast<FastddsPublisher *>(record.publisher->engine.get())->publisher;
    fdds::Topic *topic = static_cast<FastddsTopic *>(record.topic->engine.get())->topic;
    w->writer = pub->create_datawriter(topic, q, w->listener.get(), fdds::StatusMask::all());
    if (!w->writer) {
        err = "cannot create data writer '" + record.name + "' of topic '" + tp->name + "'";
        return nullptr;
    }
    announce_representation(w->writer->guid(), {int16_t(w->encoding == CdrVersion::Xcdr2 ? DDS_XCDR2_DATA_REPRESENTATION : DDS_XCDR_DATA_REPRESENTATION)});
    if (w->writer->enable() != FReturnCode::RETCODE_OK) {
        pub->delete_datawriter(w->writer);
        err = "cannot enable data writer '" + record.name + "' of topic '" + tp->name + "'";
        return nullptr;
    }
    return w;
}

fdds::DataWriter *fastdds_writer(const DDS_DataWriter *w)
{
    auto *e = w ? dynamic_cast<const FastddsWriter *>(w->engine.get()) : nullptr;
    return e ? e->writer : nullptr;
}

// ---- readers ----

FastddsReader::FastddsReader(DDS_DataReader &record) : listener(std::make_unique<FastddsReaderListener>(&record)) {}
FastddsReader::~FastddsReader() = default;

DDS_ReturnCode_t FastddsReader::lend(std::unique_ptr<engine::LoanState> &state, DDS_Long max, DDS_SampleStateMask ss, DDS_ViewStateMask vs,
                                     DDS_InstanceStateMask is, bool take, DDS_SampleInfoSeq *infos, engine::Lent &out)
{
    auto *loan = dynamic_cast<FastddsLoan *>(state.get());
    if (!loan) {
        auto fresh = std::unique_ptr<FastddsLoan>(new (std::nothrow) FastddsLoan);
        if (!fresh)
            return DDS_RETCODE_OUT_OF_RESOURCES;
        loan = fresh.get();
        state = std::move(fresh);
    }
    const int32_t limit = max <= 0 ? fdds::LENGTH_UNLIMITED : max;
    const FReturnCode fr = take ? reader->take(loan->data, loan->infos, limit, ss & 0xffff, vs & 0xffff, is & 0xffff)
                                : reader->read(loan->data, loan->infos, limit, ss & 0xffff, vs & 0xffff, is & 0xffff);
    if (fr != FReturnCode::RETCODE_OK)
        return rc(fr);
    const auto n = static_cast<DDS_Long>(loan->data.length());
    if (!DDS_SampleInfoSeq_ensure_length(infos, n, n)) {
        reader->return_loan(loan->data, loan->infos);
        return DDS_RETCODE_OUT_OF_RESOURCES;
    }
    for (DDS_Long k = 0; k < n; ++k)
        fill_info(*DDS_SampleInfoSeq_get_reference(infos, k), loan->infos[k]);
    out.samples = loan->data.buffer();
    out.count = n;
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t FastddsReader::give_back(engine::LoanState &state)
{
    auto &loan = static_cast<FastddsLoan &>(state);
    return rc(reader->return_loan(loan.data, loan.infos));
}

bool FastddsReader::has_unread() const { return reader->get_unread_count() > 0; }

DDS_ReturnCode_t FastddsReader::subscription_matched_status(DDS_SubscriptionMatchedStatus &status)
{
    fdds::SubscriptionMatchedStatus s;
    DDS_ReturnCode_t r = rc(reader->get_subscription_matched_status(s));
    if (r == DDS_RETCODE_OK)
        status = DDS_SubscriptionMatchedStatus{s.total_count, s.total_count_change, s.current_count, s.current_count_change,
                                               to_handle(s.last_publication_handle)};
    return r;
}

std::string FastddsReader::last_refusal() const
{
    const auto *type = dynamic_cast<const DynamicTopicType *>(reader->type().get());
    return type ? type->last_refusal() : std::string();
}

std::unique_ptr<engine::Reader> FastddsParticipant::create_reader(DDS_DataReader &record, std::string &err)
{
    const TopicPlan *tp = record.topic->plan;
    auto r = std::make_unique<FastddsReader>(record);
    fdds::DataReaderQos q = fdds::DATAREADER_QOS_DEFAULT;
    to_fastdds(record.qos, q);
    q.type_consistency().representation.m_value = reader_representations(record.qos.representation, tp->type);
    fdds::Subscriber *sub = static_cast<FastddsSubscriber *>(record.subscriber->engine.get())->subscriber;
    fdds::Topic *topic = static_cast<FastddsTopic *>(record.topic->engine.get())->topic;
    r->reader = sub->create_datareader(topic, q, r->listener.get(), fdds::StatusMask::all());
    if (!r->reader) {
        err = "cannot create data reader '" + record.name + "' of topic '" + tp->name + "'";
        return nullptr;
    }
    std::vector<int16_t> accepted;
    for (fdds::DataRepresentationId_t id : q.type_consistency().representation.m_value)
        accepted.push_back(int16_t(id));
    announce_representation(r->reader->guid(), std::move(accepted));
    if (r->reader->enable() != FReturnCode::RETCODE_OK) {
        sub->delete_datareader(r->reader);
        err = "cannot enable data reader '" + record.name + "' of topic '" + tp->name + "'";
        return nullptr;
    }
    return r;
}

} // namespace quelt::mw
