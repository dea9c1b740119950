// Listeners: the statuses engines report, dispatched to the listener that takes them; setting a
// listener waits out the callbacks of the one it replaces.
#include "domain/entities.h"
#include "domain/events.h"

#include <algorithm>

using namespace quelt::mw;

namespace {

// The listeners whose callbacks this thread is inside, innermost last.
thread_local std::vector<const ListenerCalls *> t_inside;

// The writer's own listener when it takes the status, else the participant's.
template <typename S>
void dispatch(DDS_DataWriter *w, DDS_StatusMask bit, void (*DDS_DataWriterListener::*slot)(void *, DDS_DataWriter *, const S *), const S *st)
{
    w->status_changed(bit);
    DDS_DataWriterListener l{};
    ListenerCall call;
    {
        std::lock_guard<std::mutex> g(w->listener_lock);
        if ((w->listener_mask & bit) && w->listener.*slot) {
            l = w->listener;
            call.begin(w->listener_lock, w->listener_calls);
        }
    }
    if (!(l.*slot)) {
        DDS_DomainParticipant *p = w->publisher->participant;
        std::lock_guard<std::mutex> g(p->listener_lock);
        if (p->listener_mask & bit) {
            l = p->listener.as_publisherlistener.as_datawriterlistener;
            if (l.*slot)
                call.begin(p->listener_lock, p->listener_calls);
        }
    }
    if (l.*slot)
        (l.*slot)(l.listener_data, w, st);
}

// The reader's own listener when it takes the status, else the participant's; call counts the
// callback against the listener it comes from.
template <typename F> DDS_DataReaderListener pick(DDS_DataReader *r, DDS_StatusMask bit, F has_slot, ListenerCall &call)
{
    // Without the locks when neither listener takes the status: data-available comes per sample.
    DDS_DomainParticipant *p = r->subscriber->participant;
    if (!(r->listener_mask.load(std::memory_order_relaxed) & bit) && !(p->listener_mask.load(std::memory_order_relaxed) & bit))
        return DDS_DataReaderListener{};
    {
        std::lock_guard<std::mutex> g(r->listener_lock);
        if ((r->listener_mask & bit) && has_slot(r->listener)) {
            call.begin(r->listener_lock, r->listener_calls);
            return r->listener;
        }
    }
    std::lock_guard<std::mutex> g(p->listener_lock);
    if ((p->listener_mask & bit) && has_slot(p->listener.as_subscriberlistener.as_datareaderlistener)) {
        call.begin(p->listener_lock, p->listener_calls);
        return p->listener.as_subscriberlistener.as_datareaderlistener;
    }
    return DDS_DataReaderListener{};
}

template <typename S>
void dispatch(DDS_DataReader *r, DDS_StatusMask bit, void (*DDS_DataReaderListener::*slot)(void *, DDS_DataReader *, const S *), const S *st)
{
    r->status_changed(bit);
    ListenerCall call;
    DDS_DataReaderListener l = pick(r, bit, [slot](const DDS_DataReaderListener &x) { return x.*slot != nullptr; }, call);
    if (l.*slot)
        (l.*slot)(l.listener_data, r, st);
}

} // namespace

namespace quelt::mw {

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

void on_status(DDS_DataWriter *w, const DDS_PublicationMatchedStatus &s)
{
    dispatch(w, DDS_PUBLICATION_MATCHED_STATUS, &DDS_DataWriterListener::on_publication_matched, &s);
}

void on_status(DDS_DataWriter *w, const DDS_OfferedDeadlineMissedStatus &s)
{
    dispatch(w, DDS_OFFERED_DEADLINE_MISSED_STATUS, &DDS_DataWriterListener::on_offered_deadline_missed, &s);
}

void on_status(DDS_DataWriter *w, const DDS_OfferedIncompatibleQosStatus &s)
{
    dispatch(w, DDS_OFFERED_INCOMPATIBLE_QOS_STATUS, &DDS_DataWriterListener::on_offered_incompatible_qos, &s);
}

void on_status(DDS_DataWriter *w, const DDS_LivelinessLostStatus &s)
{
    dispatch(w, DDS_LIVELINESS_LOST_STATUS, &DDS_DataWriterListener::on_liveliness_lost, &s);
}

void on_data_available(DDS_DataReader *r)
{
    r->condition.wake();
    ListenerCall call;
    DDS_DataReaderListener l =
        pick(r, DDS_DATA_AVAILABLE_STATUS, [](const DDS_DataReaderListener &x) { return x.on_data_available != nullptr; }, call);
    if (l.on_data_available)
        l.on_data_available(l.listener_data, r);
}

void on_status(DDS_DataReader *r, const DDS_SubscriptionMatchedStatus &s)
{
    dispatch(r, DDS_SUBSCRIPTION_MATCHED_STATUS, &DDS_DataReaderListener::on_subscription_matched, &s);
}

void on_status(DDS_DataReader *r, const DDS_RequestedDeadlineMissedStatus &s)
{
    dispatch(r, DDS_REQUESTED_DEADLINE_MISSED_STATUS, &DDS_DataReaderListener::on_requested_deadline_missed, &s);
}

void on_status(DDS_DataReader *r, const DDS_LivelinessChangedStatus &s)
{
    dispatch(r, DDS_LIVELINESS_CHANGED_STATUS, &DDS_DataReaderListener::on_liveliness_changed, &s);
}

void on_status(DDS_DataReader *r, const DDS_SampleRejectedStatus &s)
{
    dispatch(r, DDS_SAMPLE_REJECTED_STATUS, &DDS_DataReaderListener::on_sample_rejected, &s);
}

void on_status(DDS_DataReader *r, const DDS_RequestedIncompatibleQosStatus &s)
{
    dispatch(r, DDS_REQUESTED_INCOMPATIBLE_QOS_STATUS, &DDS_DataReaderListener::on_requested_incompatible_qos, &s);
}

void on_status(DDS_DataReader *r, const DDS_SampleLostStatus &s)
{
    dispatch(r, DDS_SAMPLE_LOST_STATUS, &DDS_DataReaderListener::on_sample_lost, &s);
}

} // namespace quelt::mw

extern "C" {

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

} // extern "C"
