// Event logging: one line per status event of the connector's writers and readers, naming the
// entity by its full name. The callbacks run on middleware threads and only read the lookup list.
#include "DDSConnector.h"

namespace {

// Prints an event line for entity unless error-level connector logging is off.
void printEvent(const char *ctx, void *listenerData, const void *entity, const char *format, const char *detail = nullptr)
{
    auto *self = static_cast<QueltDDSConnector *>(listenerData);
    if (!self) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "listener_data");
        return;
    }
    const char *name = QueltDDSConnector_EntitiesLookupList_lookupEntity(self, entity);
    if (!name)
        name = "unknown";
    if (!QueltDDSConnector_logEnabledI(QUELT_DDS_CONNECTOR_LEVEL_ERROR))
        return;
    if (detail)
        QueltLog_printPlain(format, name, detail);
    else
        QueltLog_printPlain(format, name);
}

} // namespace

extern "C" {

void QueltDDSConnectorWriterListener_on_offered_deadline_missed(void *listener_data, DDS_DataWriter *writer,
                                                                const DDS_OfferedDeadlineMissedStatus *)
{
    printEvent("QueltDDSConnectorWriterListener_on_offered_deadline_missed", listener_data, writer,
               "DataWriter '%s': Offered deadline Missed\n");
}

void QueltDDSConnectorWriterListener_on_offereded_incompatible_qos(void *listener_data, DDS_DataWriter *writer,
                                                                   const DDS_OfferedIncompatibleQosStatus *status)
{
    printEvent("QueltDDSConnectorWriterListener_on_offereded_incompatible_qos", listener_data, writer,
               "DataWriter '%s': Incompatible QoS (%s)\n", DDS_QosPolicyId_to_string(status ? status->last_policy_id : 0));
}

void QueltDDSConnectorWriterListener_on_liveliness_lost(void *listener_data, DDS_DataWriter *writer, const DDS_LivelinessLostStatus *)
{
    printEvent("QueltDDSConnectorWriterListener_on_liveliness_lost", listener_data, writer, "DataWriter '%s': Liveliness Lost\n");
}

void QueltDDSConnectorWriterListener_on_publication_matched(void *listener_data, DDS_DataWriter *writer,
                                                            const DDS_PublicationMatchedStatus *)
{
    printEvent("QueltDDSConnectorWriterListener_on_publication_matched", listener_data, writer,
               "DataWriter '%s': Publication Matched\n");
}

void QueltDDSConnectorReadersListener_on_requested_deadline_missed(void *listener_data, DDS_DataReader *reader,
                                                                   const DDS_RequestedDeadlineMissedStatus *)
{
    printEvent("QueltDDSConnectorReadersListener_on_requested_deadline_missed", listener_data, reader,
               "DataReader '%s': Deadline Missed\n");
}

void QueltDDSConnectorReadersListener_on_requested_incompatible_qos(void *listener_data, DDS_DataReader *reader,
                                                                    const DDS_RequestedIncompatibleQosStatus *status)
{
    printEvent("QueltDDSConnectorReadersListener_on_requested_incompatible_qos", listener_data, reader,
               "DataReader '%s': Incompatible QoS (%s)\n", DDS_QosPolicyId_to_string(status ? status->last_policy_id : 0));
}

void QueltDDSConnectorReadersListener_on_sample_rejected(void *listener_data, DDS_DataReader *reader, const DDS_SampleRejectedStatus *)
{
    printEvent("QueltDDSConnectorReadersListener_on_sample_rejected", listener_data, reader, "DataReader '%s': Sample Rejected\n");
}

void QueltDDSConnectorReadersListener_on_liveliness_changed(void *listener_data, DDS_DataReader *reader,
                                                            const DDS_LivelinessChangedStatus *)
{
    printEvent("QueltDDSConnectorReadersListener_on_liveliness_changed", listener_data, reader,
               "DataReader '%s': Liveliness Changed\n");
}

void QueltDDSConnectorReadersListener_on_sample_lost(void *listener_data, DDS_DataReader *reader, const DDS_SampleLostStatus *)
{
    printEvent("QueltDDSConnectorReadersListener_on_sample_lost", listener_data, reader, "DataReader '%s': Sample Lost\n");
}

void QueltDDSConnectorReadersListener_on_subscription_matched(void *listener_data, DDS_DataReader *reader,
                                                              const DDS_SubscriptionMatchedStatus *)
{
    printEvent("QueltDDSConnectorReadersListener_on_subscription_matched", listener_data, reader,
               "DataReader '%s': Subscription Matched\n");
}

int QueltDDSConnector_enableEventLogging(lua_State *L)
{
    static const char *const ctx = "QueltDDSConnector_enableEventLogging";
    auto *self = static_cast<QueltDDSConnector *>(QueltLuaCommon_getUserdataFromContext(L, "#plugin_lud"));
    if (!self) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_GET_CONTAINER);
        QueltLuaCommon_stackDump(L);
        lua_pushnil(L);
        return 1;
    }
    DDS_DomainParticipantListener listener = {};
    DDS_DataWriterListener &w = listener.as_publisherlistener.as_datawriterlistener;
    w.listener_data = self;
    w.on_offered_deadline_missed = QueltDDSConnectorWriterListener_on_offered_deadline_missed;
    w.on_offered_incompatible_qos = QueltDDSConnectorWriterListener_on_offereded_incompatible_qos;
    w.on_liveliness_lost = QueltDDSConnectorWriterListener_on_liveliness_lost;
    w.on_publication_matched = QueltDDSConnectorWriterListener_on_publication_matched;
    DDS_DataReaderListener &r = listener.as_subscriberlistener.as_datareaderlistener;
    r.listener_data = self;
    r.on_requested_deadline_missed = QueltDDSConnectorReadersListener_on_requested_deadline_missed;
    r.on_requested_incompatible_qos = QueltDDSConnectorReadersListener_on_requested_incompatible_qos;
    r.on_sample_rejected = QueltDDSConnectorReadersListener_on_sample_rejected;
    r.on_liveliness_changed = QueltDDSConnectorReadersListener_on_liveliness_changed;
    r.on_sample_lost = QueltDDSConnectorReadersListener_on_sample_lost;
    r.on_subscription_matched = QueltDDSConnectorReadersListener_on_subscription_matched;
    if (DDS_DomainParticipant_set_listener(self->participant, &listener, QUELT_DDS_CONNECTOR_STATUS_EVENTS_MASK) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR("QueltDDSConnector_attachParticipantListener", LUABINDING_LOG_NEW_FAILURE_s, "set_listener");
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_ANY_ss, "attachParticipantListener", "failed");
        QueltLuaCommon_stackDump(L);
    }
    lua_pushnil(L);
    return 1;
}

void QueltDDSConnector_installListener(QueltDDSConnector *self, const char *readerName,
                                       QueltDDSConnector_DataAvailableCallback callback, void *listener_data)
{
    static const char *const ctx = "QueltDDSConnector_installListener";
    if (!self) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "connector is null");
        return;
    }
    if (!self->participant) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "participant is null");
        return;
    }
    DDS_DataReader *reader = DDS_DomainParticipant_lookup_datareader_by_name(self->participant, readerName);
    if (!reader) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "reader is null");
        return;
    }
    // Data-available only; the waitset's status condition is independent of it. A null callback
    // removes the binding's listener.
    DDS_DataReaderListener listener = {};
    listener.listener_data = listener_data;
    listener.on_data_available = callback;
    if (DDS_DataReader_set_listener(reader, callback ? &listener : nullptr, callback ? DDS_DATA_AVAILABLE_STATUS : 0) !=
        DDS_RETCODE_OK)
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "DDS_DataReader_set_listener");
}

} // extern "C"
