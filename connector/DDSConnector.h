// The connector's own records and internal functions, shared by the connector sources and tests.
// The public face is include/quelt_dds_connector.h.
#pragma once

#include "quelt_dds_connector.h"

#include "dds/dds_domain.h"
#include "dds/dds_dynamicdata.h"
#include "dds/dds_log.h"
#include "dds/dds_qos.h"
#include "dds/dds_sequence.h"
#include "dds/dds_string.h"
#include "dds/dds_util.h"

#include "DDSConnectorLua.h"

// The middleware keeps DDS_DynamicData opaque (its size is only known at run time through
// DDS_DynamicData_sizeof), so each holder points at heap storage of that size instead of
// embedding the object. The storage is zero-filled, initialised in place with
// DDS_DynamicData_initialize and finalised with DDS_DynamicData_finalize exactly as an embedded
// member would be; the connector frees it after finalising.
struct PublicationHolder {
    DDS_DynamicData *instance;     // the outgoing sample of the writer
    DDS_DynamicDataWriter *writer; // the writer
};

struct SubscriptionHolder {
    DDS_DynamicDataSeq dataSequence; // samples of the last read or take (loaned)
    DDS_SampleInfoSeq infoSequence;  // their infos
    DDS_DynamicData *keyHolder;      // fetches instance keys of samples without valid data
};

struct QueltDDSConnector {
    QueltLuaConnector *base;
    DDS_DomainParticipant *participant;
    DDS_Boolean ownsParticipant;
    DDS_UnsignedLong attachReadersToWaitset;
    DDS_DataWriterSeq writers;
    DDS_DataReaderSeq readers;
    PublicationHolder *publicationHolders;
    DDS_Long publicationHolderCount;
    SubscriptionHolder *subscriptionHolders;
    DDS_Long subscriptionHolderCount;
    DDS_WaitSet *waitset;
    QueltSkipList *entitiesLookupList;
    QueltPool *entitiesLookupListPool;
    QueltSkipListAllocator *entitiesLookupListAllocator;
    // Copies of the script text and file name registered with QueltDDSConnector_assertCode,
    // which the engine borrows.
    char *script;
    char *scriptFileName;
};

// A node of the entities lookup list: an entity handle and the name the node owns.
struct QueltDDSConnector_EntitiesLookupListNode {
    void *entity;
    char *name;
};

// Capacity of the name buffer the tables build full names in (characters, NUL not counted).
#define QUELT_DDS_CONNECTOR_NAME_CAPACITY 128

#define QUELT_DDS_CONNECTOR_STATUS_EVENTS_MASK 0x79E6u

extern "C" {

// Body of both Lua module entry points: the module table with "new_connector".
int luaopen_quelt_dds_connectorI(lua_State *L);

QueltDDSConnector *QueltDDSConnector_newI(const QueltDDSConnectorOptions *options, QueltLuaContainer *container,
                                          const char *configFile, const char *configName,
                                          DDS_DomainParticipant *participant, lua_State *L);

// The holder of the writer or reader the engine's tables lead to from that full name (as a
// script may have changed them: raw lookups, no log), when it is one of this connector's; null
// otherwise.
PublicationHolder *QueltDDSConnector_publicationHolderI(QueltDDSConnector *self, const char *entityName);
SubscriptionHolder *QueltDDSConnector_subscriptionHolderI(QueltDDSConnector *self, const char *entityName);
// Whether writer and instance are among the connector's own (each of some holder: a script may
// pair them otherwise, as the Lua write does).
bool QueltDDSConnector_isOwnOutputI(const QueltDDSConnector *self, const void *writer, const void *instance);

// Entities lookup list: 0 on success, 1 on failure.
int QueltDDSConnector_EntitiesLookupList_new(QueltDDSConnector *self);
int QueltDDSConnector_EntitiesLookupList_addEntity(QueltDDSConnector *self, void *entity, const char *name);
const char *QueltDDSConnector_EntitiesLookupList_lookupEntity(QueltDDSConnector *self, const void *entity);
void QueltDDSConnector_EntitiesLookupList_delete(QueltDDSConnector *self);
int QueltDDSConnector_EntitiesLookupList_cmp(const void *a, const void *b);
int QueltDDSConnector_EntitiesLookupListNode_initialize(void *param, void *buffer);
void QueltDDSConnector_EntitiesLookupListNode_finalize(void *param, void *buffer);

// Builds "first::second" into *name (room for capacity characters and the NUL); when that is too
// small, *name is replaced by a new DDS string the caller frees and the result is 1.
int QueltDDSConnector_combineStringsI(const char *first, const char *second, char **name, int capacity);

// Milliseconds to a DDS duration: -1 is infinite, other negative counts are zero.
DDS_Duration_t QueltDDSConnector_durationFromMillisecondsI(int milliseconds);

// Tables: 1 on success, 0 on failure.
int QueltDDSConnector_allocateWriterTable(QueltDDSConnector *self);
int QueltDDSConnectorWriters_initDynamicDataFromWriter(DDS_DynamicData *data, DDS_DataWriter *writer);
const DDS_TypeCode *QueltDDSConnectorWriters_getTypeCodeFromWriter(DDS_DataWriter *writer);
int QueltDDSConnector_allocateReaderTable(QueltDDSConnector *self);
int QueltDDSConnectorReaders_initDynamicDataFromReader(DDS_DynamicData *data, DDS_DataReader *reader);
const DDS_TypeCode *QueltDDSConnectorReaders_getTypeCodeFromReader(DDS_DataReader *reader);

// Workers of the sample getters: sequenceName "samples" reads members of the samples, "infos"
// fields of their infos. Failure values: -1.0, -1, null.
double QueltDDSConnector_getNumberI(QueltDDSConnector *self, const char *entityName, int index, const char *fieldName,
                                    const char *sequenceName);
int QueltDDSConnector_getBooleanI(QueltDDSConnector *self, const char *entityName, int index, const char *fieldName,
                                  const char *sequenceName);
char *QueltDDSConnector_getStringI(QueltDDSConnector *self, const char *entityName, int index, const char *fieldName,
                                   const char *sequenceName);
char *QueltDDSConnector_getJSONI(QueltDDSConnector *self, const char *entityName, int index, const char *fieldName,
                                 const char *sequenceName);
// Number of samples of the reader's last read or take; -1.0 on failure.
double QueltDDSConnector_getSeqLengthI(QueltDDSConnector *self, const char *entityName);

// Status-event callbacks of event logging; listener data is the connector.
void QueltDDSConnectorWriterListener_on_offered_deadline_missed(void *listener_data, DDS_DataWriter *writer,
                                                                const DDS_OfferedDeadlineMissedStatus *status);
void QueltDDSConnectorWriterListener_on_offereded_incompatible_qos(void *listener_data, DDS_DataWriter *writer,
                                                                   const DDS_OfferedIncompatibleQosStatus *status);
void QueltDDSConnectorWriterListener_on_liveliness_lost(void *listener_data, DDS_DataWriter *writer,
                                                        const DDS_LivelinessLostStatus *status);
void QueltDDSConnectorWriterListener_on_publication_matched(void *listener_data, DDS_DataWriter *writer,
                                                            const DDS_PublicationMatchedStatus *status);
void QueltDDSConnectorReadersListener_on_requested_deadline_missed(void *listener_data, DDS_DataReader *reader,
                                                                   const DDS_RequestedDeadlineMissedStatus *status);
void QueltDDSConnectorReadersListener_on_requested_incompatible_qos(void *listener_data, DDS_DataReader *reader,
                                                                    const DDS_RequestedIncompatibleQosStatus *status);
void QueltDDSConnectorReadersListener_on_sample_rejected(void *listener_data, DDS_DataReader *reader,
                                                         const DDS_SampleRejectedStatus *status);
void QueltDDSConnectorReadersListener_on_liveliness_changed(void *listener_data, DDS_DataReader *reader,
                                                            const DDS_LivelinessChangedStatus *status);
void QueltDDSConnectorReadersListener_on_sample_lost(void *listener_data, DDS_DataReader *reader,
                                                     const DDS_SampleLostStatus *status);
void QueltDDSConnectorReadersListener_on_subscription_matched(void *listener_data, DDS_DataReader *reader,
                                                              const DDS_SubscriptionMatchedStatus *status);

} // extern "C"
