// The writer table: every DataWriter of the participant, named, registered, with its outgoing
// sample and its output entry in the engine.
#include "DDSConnector.h"

#include <cstdlib>

extern "C" {

const DDS_TypeCode *QueltDDSConnectorWriters_getTypeCodeFromWriter(DDS_DataWriter *writer)
{
    static const char *const ctx = "QueltDDSConnectorWriters_getTypeCodeFromWriter";
    if (!writer) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "writer");
        return nullptr;
    }
    DDS_Publisher *publisher = DDS_DataWriter_get_publisher(writer);
    if (!publisher) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "publisher");
        return nullptr;
    }
    DDS_DomainParticipant *participant = DDS_Publisher_get_participant(publisher);
    if (!participant) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "participant");
        return nullptr;
    }
    DDS_Topic *topic = DDS_DataWriter_get_topic(writer);
    if (!topic) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "topic");
        return nullptr;
    }
    DDS_TopicDescription *topicDesc = DDS_Topic_as_topicdescription(topic);
    if (!topicDesc) {
        CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "topicDesc");
        return nullptr;
    }
    return DDS_DomainParticipant_get_typecode(participant, DDS_TopicDescription_get_type_name(topicDesc));
}

int QueltDDSConnectorWriters_initDynamicDataFromWriter(DDS_DynamicData *data, DDS_DataWriter *writer)
{
    static const char *const ctx = "QueltDDSConnectorWriters_initDynamicDataFromWriter";
    if (!data) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "data");
        return 0;
    }
    if (!writer) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "dataWriter");
        return 0;
    }
    const DDS_TypeCode *typeCode = QueltDDSConnectorWriters_getTypeCodeFromWriter(writer);
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

const char *const kWritersCtx = "QueltDDSConnectorWriters_allocateWriterTable";

// Collects the writers of every Publisher, in participant order, into self->writers.
int collectWriters(QueltDDSConnector *self, DDS_PublisherSeq *publishers, DDS_DataWriterSeq *local)
{
    if (!DDS_PublisherSeq_initialize(publishers)) {
        CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "DDS_PublisherSeq_initialize");
        return 0;
    }
    if (DDS_DomainParticipant_get_publishers(self->participant, publishers) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "get_publishers");
        return 0;
    }
    DDS_Long total = 0;
    const DDS_Long publisherCount = DDS_PublisherSeq_get_length(publishers);
    for (DDS_Long p = 0; p < publisherCount; ++p) {
        DDS_Publisher *publisher = *DDS_PublisherSeq_get_reference(publishers, p);
        if (!publisher) {
            CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "publisher");
            return 0;
        }
        if (DDS_Publisher_get_all_datawriters(publisher, local) != DDS_RETCODE_OK) {
            CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "get_all_datawriters");
            return 0;
        }
        const DDS_Long count = DDS_DataWriterSeq_get_length(local);
        const DDS_Long start = total;
        total += count;
        if (!DDS_DataWriterSeq_ensure_length(&self->writers, total, total)) {
            CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "DDS_DataWriterSeq_ensure_length");
            return 0;
        }
        for (DDS_Long w = 0; w < count; ++w) {
            DDS_DataWriter *writer = *DDS_DataWriterSeq_get_reference(local, w);
            if (!writer) {
                CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "writer");
                return 0;
            }
            *DDS_DataWriterSeq_get_reference(&self->writers, start + w) = writer;
        }
    }
    return 1;
}

// Names, registers and prepares the writer at position i.
int addWriter(QueltDDSConnector *self, DDS_Long i, DDS_DataWriterQos *writerQos, DDS_PublisherQos *publisherQos)
{
    DDS_DataWriter *writer = *DDS_DataWriterSeq_get_reference(&self->writers, i);
    PublicationHolder *holder = &self->publicationHolders[i];
    if (!writer) {
        CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "writer");
        return 0;
    }
    DDS_Publisher *publisher = DDS_DataWriter_get_publisher(writer);
    if (!publisher) {
        CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "publisher");
        return 0;
    }
    if (DDS_Entity_enable(DDS_DataWriter_as_entity(writer)) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "enable writer");
        return 0;
    }
    DDS_DynamicDataWriter *dynamicWriter = DDS_DynamicDataWriter_narrow(writer);
    if (!dynamicWriter) {
        CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "dynamicWriter");
        return 0;
    }
    if (DDS_DataWriter_get_qos(writer, writerQos) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "DDS_DataWriter_get_qos");
        return 0;
    }
    if (DDS_Publisher_get_qos(publisher, publisherQos) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "DDS_Publisher_get_qos");
        return 0;
    }
    char buffer[QUELT_DDS_CONNECTOR_NAME_CAPACITY + 1];
    char *fullName = buffer;
    const int allocated = QueltDDSConnector_combineStringsI(publisherQos->publisher_name.name, writerQos->publication_name.name,
                                                            &fullName, QUELT_DDS_CONNECTOR_NAME_CAPACITY);
    int ok = 0;
    if (QueltDDSConnector_EntitiesLookupList_addEntity(self, writer, fullName) != 0) {
        CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "QueltDDSConnector_EntitiesLookupList_addEntity");
    } else if (DDS_DataWriterQos_finalize(writerQos) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "DDS_DataWriterQos_finalize");
    } else if (DDS_PublisherQos_finalize(publisherQos) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "DDS_PublisherQos_finalize");
    } else if (!(holder->instance = static_cast<DDS_DynamicData *>(std::calloc(1, DDS_DynamicData_sizeof())))) {
        CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "initDynamicDataFromWriter");
    } else if (!QueltDDSConnectorWriters_initDynamicDataFromWriter(holder->instance, writer)) {
        CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "initDynamicDataFromWriter");
    } else if (!QueltLuaEngine_assertOutput(self->base->engine, fullName, static_cast<int>(i), holder->instance,
                                            holder->writer = dynamicWriter)) {
        CONNECTOR_LOG_ERROR(kWritersCtx, LUABINDING_LOG_ANY_ss, "assertOutput", fullName);
    } else {
        ok = 1;
    }
    if (allocated)
        DDS_String_free(fullName);
    return ok;
}

} // namespace

int QueltDDSConnector_allocateWriterTable(QueltDDSConnector *self)
{
    if (!self) {
        CONNECTOR_LOG_ERROR(kWritersCtx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "self");
        return 0;
    }
    if (!self->participant) {
        CONNECTOR_LOG_ERROR(kWritersCtx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "participant");
        return 0;
    }
    DDS_DataWriterQos writerQos;
    DDS_PublisherQos publisherQos;
    DDS_DataWriterQos_initialize(&writerQos);
    DDS_PublisherQos_initialize(&publisherQos);
    DDS_PublisherSeq publishers = DDS_SEQUENCE_INITIALIZER;
    DDS_DataWriterSeq local = DDS_SEQUENCE_INITIALIZER;
    DDS_DataWriterSeq_initialize(&local);

    int ok = collectWriters(self, &publishers, &local);
    const DDS_Long total = ok ? DDS_DataWriterSeq_get_length(&self->writers) : 0;
    if (ok && total > 0) {
        self->publicationHolders = static_cast<PublicationHolder *>(std::calloc(static_cast<size_t>(total), sizeof(PublicationHolder)));
        if (!self->publicationHolders) {
            CONNECTOR_LOG_ERROR(kWritersCtx, QUELT_LOG_ANY_s, "allocateArray (publicationHolders)");
            ok = 0;
        } else {
            self->publicationHolderCount = total;
            for (DDS_Long i = 0; ok && i < total; ++i)
                ok = addWriter(self, i, &writerQos, &publisherQos);
        }
    } else if (ok) {
        self->publicationHolders = nullptr;
        self->publicationHolderCount = 0;
    }

    // A failure may leave the QoS records holding names; finalising twice is harmless.
    DDS_DataWriterQos_finalize(&writerQos);
    DDS_PublisherQos_finalize(&publisherQos);
    DDS_PublisherSeq_set_maximum(&publishers, 0);
    DDS_PublisherSeq_finalize(&publishers);
    DDS_DataWriterSeq_set_maximum(&local, 0);
    DDS_DataWriterSeq_finalize(&local);
    return ok;
}

} // extern "C"
