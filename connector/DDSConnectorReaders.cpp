// The reader table: every DataReader of the participant, enabled, optionally attached to the
// connector's waitset, named, registered, with its loan sequences, key holder and input entry.
#include "DDSConnector.h"

#include <cstdlib>

extern "C" {

const DDS_TypeCode *QueltDDSConnectorReaders_getTypeCodeFromReader(DDS_DataReader *reader)
{
    static const char *const ctx = "QueltDDSConnectorReaders_getTypeCodeFromReader";
    if (!reader) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "reader cannot be null");
        return nullptr;
    }
    DDS_Subscriber *subscriber = DDS_DataReader_get_subscriber(reader);
    if (!subscriber) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "subscriber");
        return nullptr;
    }
    DDS_DomainParticipant *participant = DDS_Subscriber_get_participant(subscriber);
    if (!participant) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "participant");
        return nullptr;
    }
    DDS_TopicDescription *topicDesc = DDS_DataReader_get_topicdescription(reader);
    if (!topicDesc) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "topicDesc");
        return nullptr;
    }
    return DDS_DomainParticipant_get_typecode(participant, DDS_TopicDescription_get_type_name(topicDesc));
}

int QueltDDSConnectorReaders_initDynamicDataFromReader(DDS_DynamicData *data, DDS_DataReader *reader)
{
    static const char *const ctx = "QueltDDSConnectorReaders_initDynamicDataFromReader";
    if (!data) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "data cannot be null");
        return 0;
    }
    if (!reader) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "dataReader cannot be null");
        return 0;
    }
    const DDS_TypeCode *typeCode = QueltDDSConnectorReaders_getTypeCodeFromReader(reader);
    if (!typeCode) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "typeCode");
        return 0;
    }
    if (!DDS_DynamicData_initialize(data, typeCode, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT)) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "DDS_DynamicData_initialize");
        return 0;
    }
    return 1;
}

namespace {

const char *const kReadersCtx = "QueltDDSConnector_allocateReaderTable";

// Collects the readers of every Subscriber, in participant order, into self->readers.
int collectReaders(QueltDDSConnector *self, DDS_SubscriberSeq *subscribers, DDS_DataReaderSeq *local)
{
    if (DDS_DomainParticipant_get_subscribers(self->participant, subscribers) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "get_subscribers");
        return 0;
    }
    DDS_Long total = 0;
    const DDS_Long subscriberCount = DDS_SubscriberSeq_get_length(subscribers);
    for (DDS_Long s = 0; s < subscriberCount; ++s) {
        DDS_Subscriber *subscriber = *DDS_SubscriberSeq_get_reference(subscribers, s);
        if (!subscriber) {
            CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "get subscriber");
            return 0;
        }
        if (DDS_Subscriber_get_all_datareaders(subscriber, local) != DDS_RETCODE_OK) {
            CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "get_all_datareaders");
            return 0;
        }
        const DDS_Long count = DDS_DataReaderSeq_get_length(local);
        const DDS_Long start = total;
        total += count;
        if (!DDS_DataReaderSeq_ensure_length(&self->readers, total, total)) {
            CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "ensure_length");
            return 0;
        }
        for (DDS_Long r = 0; r < count; ++r) {
            DDS_DataReader *reader = *DDS_DataReaderSeq_get_reference(local, r);
            if (!reader) {
                CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "reader not found");
                return 0;
            }
            *DDS_DataReaderSeq_get_reference(&self->readers, start + r) = reader;
        }
    }
    return 1;
}

int attachToWaitset(QueltDDSConnector *self, DDS_DataReader *reader)
{
    DDS_StatusCondition *condition = DDS_Entity_get_statuscondition(DDS_DataReader_as_entity(reader));
    if (!condition) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "get_statuscondition");
        return 0;
    }
    if (DDS_StatusCondition_set_enabled_statuses(condition, DDS_DATA_AVAILABLE_STATUS) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "DDS_StatusCondition_set_enabled_statuses");
        return 0;
    }
    if (DDS_WaitSet_attach_condition(self->waitset, DDS_StatusCondition_as_condition(condition)) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "DDS_WaitSet_attach_condition");
        return 0;
    }
    return 1;
}

// Names, registers and prepares the reader at position i.
int addReader(QueltDDSConnector *self, DDS_Long i, DDS_DataReaderQos *readerQos, DDS_SubscriberQos *subscriberQos)
{
    DDS_DataReader *reader = *DDS_DataReaderSeq_get_reference(&self->readers, i);
    SubscriptionHolder *holder = &self->subscriptionHolders[i];
    if (!reader) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "reader not found");
        return 0;
    }
    DDS_Subscriber *subscriber = DDS_DataReader_get_subscriber(reader);
    if (!subscriber) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "subscriber not found");
        return 0;
    }
    if (DDS_Entity_enable(DDS_DataReader_as_entity(reader)) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "enable reader");
        return 0;
    }
    if (self->attachReadersToWaitset && !attachToWaitset(self, reader))
        return 0;
    DDS_DynamicDataReader *dynamicReader = DDS_DynamicDataReader_narrow(reader);
    if (!dynamicReader) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "DDS_DynamicDataReader_narrow");
        return 0;
    }
    if (DDS_DataReader_get_qos(reader, readerQos) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "DDS_DataReader_get_qos");
        return 0;
    }
    if (DDS_Subscriber_get_qos(subscriber, subscriberQos) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "DDS_Subscriber_get_qos");
        return 0;
    }
    char buffer[QUELT_DDS_CONNECTOR_NAME_CAPACITY + 1];
    char *fullName = buffer;
    const int allocated = QueltDDSConnector_combineStringsI(subscriberQos->subscriber_name.name, readerQos->subscription_name.name,
                                                            &fullName, QUELT_DDS_CONNECTOR_NAME_CAPACITY);
    int ok = 0;
    if (QueltDDSConnector_EntitiesLookupList_addEntity(self, reader, fullName) != 0) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "QueltDDSConnector_EntitiesLookupList_addEntity");
    } else if (DDS_DataReaderQos_finalize(readerQos) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "DDS_DataReaderQos_finalize");
    } else if (DDS_SubscriberQos_finalize(subscriberQos) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "DDS_SubscriberQos_finalize");
    } else if (!(holder->keyHolder = static_cast<DDS_DynamicData *>(std::calloc(1, DDS_DynamicData_sizeof())))) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "initDynamicDataFromReader");
    } else if (!QueltDDSConnectorReaders_initDynamicDataFromReader(holder->keyHolder, reader)) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "initDynamicDataFromReader");
    } else if (!DDS_SampleInfoSeq_initialize(&holder->infoSequence)) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "DDS_SampleInfoSeq_initialize");
    } else if (!DDS_DynamicDataSeq_initialize(&holder->dataSequence)) {
        CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, "DDS_DynamicDataSeq_initialize");
    } else if (!QueltLuaEngine_assertInput(self->base->engine, fullName, static_cast<int>(i), &holder->dataSequence,
                                           &holder->infoSequence, holder->keyHolder, dynamicReader)) {
        CONNECTOR_LOG_ERROR(kReadersCtx, LUABINDING_LOG_ANY_ss, "assertInput", fullName);
    } else {
        ok = 1;
    }
    if (allocated)
        DDS_String_free(fullName);
    return ok;
}

} // namespace

int QueltDDSConnector_allocateReaderTable(QueltDDSConnector *self)
{
    if (!self->participant) {
        CONNECTOR_LOG_ERROR(kReadersCtx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "participant");
        return 0;
    }
    DDS_DataReaderQos readerQos;
    DDS_SubscriberQos subscriberQos;
    DDS_DataReaderQos_initialize(&readerQos);
    DDS_SubscriberQos_initialize(&subscriberQos);
    DDS_SubscriberSeq subscribers = DDS_SEQUENCE_INITIALIZER;
    DDS_DataReaderSeq local = DDS_SEQUENCE_INITIALIZER;
    DDS_SubscriberSeq_initialize(&subscribers);
    DDS_DataReaderSeq_initialize(&local);

    int ok = collectReaders(self, &subscribers, &local);
    const DDS_Long total = ok ? DDS_DataReaderSeq_get_length(&self->readers) : 0;
    if (ok && total > 0) {
        self->subscriptionHolders = static_cast<SubscriptionHolder *>(std::calloc(static_cast<size_t>(total), sizeof(SubscriptionHolder)));
        if (!self->subscriptionHolders) {
            CONNECTOR_LOG_ERROR(kReadersCtx, QUELT_LOG_ANY_s, " allocateArray(subscriptionHolders)");
            ok = 0;
        } else {
            self->subscriptionHolderCount = total;
            for (DDS_Long i = 0; ok && i < total; ++i)
                ok = addReader(self, i, &readerQos, &subscriberQos);
        }
    } else if (ok) {
        self->subscriptionHolders = nullptr;
        self->subscriptionHolderCount = 0;
    }

    DDS_DataReaderQos_finalize(&readerQos);
    DDS_SubscriberQos_finalize(&subscriberQos);
    DDS_SubscriberSeq_set_maximum(&subscribers, 0);
    DDS_SubscriberSeq_finalize(&subscribers);
    DDS_DataReaderSeq_set_maximum(&local, 0);
    DDS_DataReaderSeq_finalize(&local);
    return ok;
}

} // extern "C"
