/* DDS entities over Fast DDS: the participant factory, participants created from XML
 * configurations, publishers, subscribers, topics, DynamicData writers and readers, conditions,
 * waitsets and listeners. Every sample is a DynamicData; on the wire it is plain XCDR1. */
#ifndef QUELT_DDS_DOMAIN_H
#define QUELT_DDS_DOMAIN_H

#include "dds/dds_dynamicdata.h"
#include "dds/dds_qos.h"
#include "dds/dds_sequence.h"
#include "dds/dds_types.h"

DDS_BEGIN_DECLS

typedef struct DDS_Entity DDS_Entity;
typedef struct DDS_DomainParticipantFactory DDS_DomainParticipantFactory;
typedef struct DDS_DomainParticipant DDS_DomainParticipant;
typedef struct DDS_Topic DDS_Topic;
typedef struct DDS_TopicDescription DDS_TopicDescription;
typedef struct DDS_StatusCondition DDS_StatusCondition;
typedef struct DDS_WaitSet DDS_WaitSet;
/* A DynamicData writer or reader is the writer or reader itself: narrow checks and casts. */
typedef struct DDS_DataWriter DDS_DynamicDataWriter;
typedef struct DDS_DataReader DDS_DynamicDataReader;

typedef DDS_Long DDS_DomainId_t;
typedef DDS_UnsignedLong DDS_StatusMask;
typedef DDS_UnsignedLong DDS_StatusKind;

#define DDS_INCONSISTENT_TOPIC_STATUS (1u << 0)
#define DDS_OFFERED_DEADLINE_MISSED_STATUS (1u << 1)
#define DDS_REQUESTED_DEADLINE_MISSED_STATUS (1u << 2)
#define DDS_OFFERED_INCOMPATIBLE_QOS_STATUS (1u << 5)
#define DDS_REQUESTED_INCOMPATIBLE_QOS_STATUS (1u << 6)
#define DDS_SAMPLE_LOST_STATUS (1u << 7)
#define DDS_SAMPLE_REJECTED_STATUS (1u << 8)
#define DDS_DATA_ON_READERS_STATUS (1u << 9)
#define DDS_DATA_AVAILABLE_STATUS (1u << 10)
#define DDS_LIVELINESS_LOST_STATUS (1u << 11)
#define DDS_LIVELINESS_CHANGED_STATUS (1u << 12)
#define DDS_PUBLICATION_MATCHED_STATUS (1u << 13)
#define DDS_SUBSCRIPTION_MATCHED_STATUS (1u << 14)
#define DDS_STATUS_MASK_NONE 0u
#define DDS_STATUS_MASK_ALL 0xffffffffu

/* ---- identities, handles, sample infos ---- */
typedef struct DDS_GUID_t { DDS_Octet value[16]; } DDS_GUID_t;
typedef struct DDS_SequenceNumber_t {
    DDS_Long high;
    DDS_UnsignedLong low;
} DDS_SequenceNumber_t;
typedef struct DDS_SampleIdentity_t {
    DDS_GUID_t writer_guid;
    DDS_SequenceNumber_t sequence_number;
} DDS_SampleIdentity_t;

/* An instance handle is the instance's 16-byte key hash. */
typedef struct DDS_InstanceHandle_t {
    DDS_Octet value[16];
    DDS_Boolean isValid;
} DDS_InstanceHandle_t;
extern const DDS_InstanceHandle_t DDS_HANDLE_NIL;
extern const DDS_Duration_t DDS_DURATION_INFINITE;
extern const DDS_Duration_t DDS_DURATION_ZERO;
DDS_API DDS_Boolean DDS_InstanceHandle_equals(const DDS_InstanceHandle_t *a, const DDS_InstanceHandle_t *b);

typedef DDS_UnsignedLong DDS_SampleStateMask;
typedef DDS_UnsignedLong DDS_ViewStateMask;
typedef DDS_UnsignedLong DDS_InstanceStateMask;
#define DDS_READ_SAMPLE_STATE 1u
#define DDS_NOT_READ_SAMPLE_STATE 2u
#define DDS_ANY_SAMPLE_STATE 0xffffu
#define DDS_NEW_VIEW_STATE 1u
#define DDS_NOT_NEW_VIEW_STATE 2u
#define DDS_ANY_VIEW_STATE 0xffffu
#define DDS_ALIVE_INSTANCE_STATE 1u
#define DDS_NOT_ALIVE_DISPOSED_INSTANCE_STATE 2u
#define DDS_NOT_ALIVE_NO_WRITERS_INSTANCE_STATE 4u
#define DDS_ANY_INSTANCE_STATE 0xffffu

typedef struct DDS_SampleInfo {
    DDS_SampleStateMask sample_state;
    DDS_ViewStateMask view_state;
    DDS_InstanceStateMask instance_state;
    DDS_Time_t source_timestamp;
    DDS_InstanceHandle_t instance_handle;
    DDS_InstanceHandle_t publication_handle;
    DDS_Long disposed_generation_count;
    DDS_Long no_writers_generation_count;
    DDS_Long sample_rank;
    DDS_Long generation_rank;
    DDS_Long absolute_generation_rank;
    DDS_Boolean valid_data;
    DDS_Time_t reception_timestamp;
    DDS_SequenceNumber_t publication_sequence_number;
    /* The identity under which the sample was written, and the sample it relates to. */
    DDS_GUID_t original_publication_virtual_guid;
    DDS_SequenceNumber_t original_publication_virtual_sequence_number;
    DDS_GUID_t related_original_publication_virtual_guid;
    DDS_SequenceNumber_t related_original_publication_virtual_sequence_number;
} DDS_SampleInfo;

DDS_SEQUENCE_DECLARE(DDS_SampleInfoSeq, DDS_SampleInfo);

/* Samples of a read or take. Elements are DynamicData objects; get_reference gives the sample. */
typedef struct DDS_DynamicDataSeq {
    DDS_DynamicData **_contiguous_buffer;
    DDS_Long _length;
    DDS_Long _maximum;
    DDS_Boolean _owned;
    DDS_Boolean _loaned;
    void *_loan_token;
} DDS_DynamicDataSeq;
DDS_API DDS_Boolean DDS_DynamicDataSeq_initialize(DDS_DynamicDataSeq *self);
DDS_API DDS_Boolean DDS_DynamicDataSeq_finalize(DDS_DynamicDataSeq *self);
DDS_API DDS_Long DDS_DynamicDataSeq_get_length(const DDS_DynamicDataSeq *self);
DDS_API DDS_Long DDS_DynamicDataSeq_get_maximum(const DDS_DynamicDataSeq *self);
DDS_API DDS_DynamicData *DDS_DynamicDataSeq_get_reference(DDS_DynamicDataSeq *self, DDS_Long i);
DDS_API DDS_Boolean DDS_DynamicDataSeq_set_maximum(DDS_DynamicDataSeq *self, DDS_Long max);

typedef struct DDS_WriteParams_t {
    DDS_SampleIdentity_t identity;
    DDS_SampleIdentity_t related_sample_identity;
    DDS_InstanceHandle_t handle;
    DDS_Time_t source_timestamp;
} DDS_WriteParams_t;
/* Identities unknown (zero GUID, sequence number -1/0xffffffff... AUTO), handle nil, no timestamp. */
DDS_API void DDS_WriteParams_t_initialize(DDS_WriteParams_t *params);
extern const DDS_SequenceNumber_t DDS_AUTO_SEQUENCE_NUMBER;
extern const DDS_GUID_t DDS_GUID_AUTO;

/* ---- statuses and listeners ---- */
typedef struct DDS_OfferedDeadlineMissedStatus {
    DDS_Long total_count;
    DDS_Long total_count_change;
    DDS_InstanceHandle_t last_instance_handle;
} DDS_OfferedDeadlineMissedStatus;
typedef DDS_OfferedDeadlineMissedStatus DDS_RequestedDeadlineMissedStatus;
typedef struct DDS_OfferedIncompatibleQosStatus {
    DDS_Long total_count;
    DDS_Long total_count_change;
    DDS_QosPolicyId_t last_policy_id;
} DDS_OfferedIncompatibleQosStatus;
typedef DDS_OfferedIncompatibleQosStatus DDS_RequestedIncompatibleQosStatus;
typedef struct DDS_LivelinessLostStatus {
    DDS_Long total_count;
    DDS_Long total_count_change;
} DDS_LivelinessLostStatus;
typedef struct DDS_LivelinessChangedStatus {
    DDS_Long alive_count;
    DDS_Long not_alive_count;
    DDS_Long alive_count_change;
    DDS_Long not_alive_count_change;
    DDS_InstanceHandle_t last_publication_handle;
} DDS_LivelinessChangedStatus;
typedef struct DDS_PublicationMatchedStatus {
    DDS_Long total_count;
    DDS_Long total_count_change;
    DDS_Long current_count;
    DDS_Long current_count_change;
    DDS_InstanceHandle_t last_subscription_handle;
} DDS_PublicationMatchedStatus;
typedef struct DDS_SubscriptionMatchedStatus {
    DDS_Long total_count;
    DDS_Long total_count_change;
    DDS_Long current_count;
    DDS_Long current_count_change;
    DDS_InstanceHandle_t last_publication_handle;
} DDS_SubscriptionMatchedStatus;
typedef struct DDS_SampleLostStatus {
    DDS_Long total_count;
    DDS_Long total_count_change;
} DDS_SampleLostStatus;
typedef struct DDS_SampleRejectedStatus {
    DDS_Long total_count;
    DDS_Long total_count_change;
    DDS_Long last_reason;
    DDS_InstanceHandle_t last_instance_handle;
} DDS_SampleRejectedStatus;

typedef struct DDS_DataWriterListener {
    void *listener_data;
    void (*on_offered_deadline_missed)(void *listener_data, DDS_DataWriter *writer, const DDS_OfferedDeadlineMissedStatus *status);
    void (*on_offered_incompatible_qos)(void *listener_data, DDS_DataWriter *writer, const DDS_OfferedIncompatibleQosStatus *status);
    void (*on_liveliness_lost)(void *listener_data, DDS_DataWriter *writer, const DDS_LivelinessLostStatus *status);
    void (*on_publication_matched)(void *listener_data, DDS_DataWriter *writer, const DDS_PublicationMatchedStatus *status);
} DDS_DataWriterListener;

typedef struct DDS_DataReaderListener {
    void *listener_data;
    void (*on_requested_deadline_missed)(void *listener_data, DDS_DataReader *reader, const DDS_RequestedDeadlineMissedStatus *status);
    void (*on_requested_incompatible_qos)(void *listener_data, DDS_DataReader *reader, const DDS_RequestedIncompatibleQosStatus *status);
    void (*on_sample_rejected)(void *listener_data, DDS_DataReader *reader, const DDS_SampleRejectedStatus *status);
    void (*on_liveliness_changed)(void *listener_data, DDS_DataReader *reader, const DDS_LivelinessChangedStatus *status);
    void (*on_data_available)(void *listener_data, DDS_DataReader *reader);
    void (*on_subscription_matched)(void *listener_data, DDS_DataReader *reader, const DDS_SubscriptionMatchedStatus *status);
    void (*on_sample_lost)(void *listener_data, DDS_DataReader *reader, const DDS_SampleLostStatus *status);
} DDS_DataReaderListener;

typedef struct DDS_TopicListener {
    void *listener_data;
    void (*on_inconsistent_topic)(void *listener_data, DDS_Topic *topic, const void *status);
} DDS_TopicListener;
typedef struct DDS_PublisherListener {
    DDS_DataWriterListener as_datawriterlistener;
} DDS_PublisherListener;
typedef struct DDS_SubscriberListener {
    DDS_DataReaderListener as_datareaderlistener;
    void (*on_data_on_readers)(void *listener_data, DDS_Subscriber *subscriber);
} DDS_SubscriberListener;
typedef struct DDS_DomainParticipantListener {
    DDS_TopicListener as_topiclistener;
    DDS_PublisherListener as_publisherlistener;
    DDS_SubscriberListener as_subscriberlistener;
} DDS_DomainParticipantListener;

/* ---- factory ---- */
DDS_API DDS_DomainParticipantFactory *DDS_DomainParticipantFactory_get_instance(void);
/* Deletes the singleton; fails with PRECONDITION_NOT_MET while participants exist. */
DDS_API DDS_ReturnCode_t DDS_DomainParticipantFactory_finalize_instance(void);
DDS_API DDS_ReturnCode_t DDS_DomainParticipantFactory_get_qos(DDS_DomainParticipantFactory *self, DDS_DomainParticipantFactoryQos *qos);
DDS_API DDS_ReturnCode_t DDS_DomainParticipantFactory_set_qos(DDS_DomainParticipantFactory *self, const DDS_DomainParticipantFactoryQos *qos);
/* config_name is "Library::Participant" from the XML files of the factory QoS. Null on failure,
 * with one log line saying why. */
DDS_API DDS_DomainParticipant *DDS_DomainParticipantFactory_create_participant_from_config(DDS_DomainParticipantFactory *self,
                                                                                          const char *config_name);
/* Appends to names (strings the sequence owns) the participant configurations of one XML file,
 * "Library::Participant", whatever the factory QoS names. ERROR with one log line when the file
 * cannot be read. */
DDS_API DDS_ReturnCode_t DDS_DomainParticipantFactory_get_participant_config_names(DDS_DomainParticipantFactory *self,
                                                                                  const char *file, DDS_StringSeq *names);
DDS_API DDS_ReturnCode_t DDS_DomainParticipantFactory_delete_participant(DDS_DomainParticipantFactory *self,
                                                                         DDS_DomainParticipant *participant);

/* ---- participant ---- */
DDS_API DDS_ReturnCode_t DDS_DomainParticipant_get_publishers(DDS_DomainParticipant *self, DDS_PublisherSeq *publishers);
DDS_API DDS_ReturnCode_t DDS_DomainParticipant_get_subscribers(DDS_DomainParticipant *self, DDS_SubscriberSeq *subscribers);
/* The type code registered under type_name, or null. */
DDS_API const DDS_TypeCode *DDS_DomainParticipant_get_typecode(DDS_DomainParticipant *self, const char *type_name);
DDS_API DDS_ReturnCode_t DDS_DomainParticipant_get_current_time(DDS_DomainParticipant *self, DDS_Time_t *now);
/* "Subscriber::Reader", or a reader name alone when it is unique. */
DDS_API DDS_DataReader *DDS_DomainParticipant_lookup_datareader_by_name(DDS_DomainParticipant *self, const char *name);
DDS_API DDS_DataWriter *DDS_DomainParticipant_lookup_datawriter_by_name(DDS_DomainParticipant *self, const char *name);
/* The set_listener functions return once no callback of the listener they replace is running
 * (except on the calling thread, when it calls from inside one), and none starts afterwards. A
 * null listener removes it. */
DDS_API DDS_ReturnCode_t DDS_DomainParticipant_set_listener(DDS_DomainParticipant *self, const DDS_DomainParticipantListener *listener,
                                                            DDS_StatusMask mask);
/* The listener last set (all members null when none, or for a null participant). */
DDS_API DDS_DomainParticipantListener DDS_DomainParticipant_get_listener(DDS_DomainParticipant *self);
DDS_API DDS_ReturnCode_t DDS_DomainParticipant_delete_contained_entities(DDS_DomainParticipant *self);
DDS_API DDS_DomainId_t DDS_DomainParticipant_get_domain_id(DDS_DomainParticipant *self);
DDS_API DDS_ReturnCode_t DDS_DomainParticipant_get_qos(DDS_DomainParticipant *self, DDS_DomainParticipantQos *qos);
DDS_API DDS_Topic *DDS_DomainParticipant_find_topic(DDS_DomainParticipant *self, const char *topic_name);

/* ---- built-in discovery ---- */
typedef enum DDS_DiscoveredKind {
    DDS_DISCOVERED_PARTICIPANT = 0,
    DDS_DISCOVERED_WRITER = 1,
    DDS_DISCOVERED_READER = 2
} DDS_DiscoveredKind;
/* A remote participant, writer or reader as built-in discovery announced it. Texts are "" where
 * they do not apply (a participant's topic, an endpoint's participant name). */
typedef struct DDS_DiscoveredEntity {
    DDS_DiscoveredKind kind;
    DDS_GUID_t guid;
    DDS_GUID_t participant_guid; /* the participant's own GUID for a participant */
    char participant_name[256];
    char topic_name[256];
    char type_name[256];
    DDS_ReliabilityQosPolicyKind reliability;
    DDS_DurabilityQosPolicyKind durability;
} DDS_DiscoveredEntity;
typedef void (*DDS_DiscoveredEntityVisitor)(void *data, const DDS_DiscoveredEntity *entity);
/* Calls visit, on the caller's thread, for every remote participant, then every remote writer and
 * reader that the participant's built-in discovery knows now (those that left are forgotten).
 * UNSUPPORTED, with one log line, when the participant's engine cannot tell. */
DDS_API DDS_ReturnCode_t DDS_DomainParticipant_get_discovered_entities(DDS_DomainParticipant *self,
                                                                      DDS_DiscoveredEntityVisitor visit, void *data);

/* ---- publisher, subscriber ---- */
DDS_API DDS_ReturnCode_t DDS_Publisher_get_all_datawriters(DDS_Publisher *self, DDS_DataWriterSeq *writers);
DDS_API DDS_ReturnCode_t DDS_Publisher_get_qos(DDS_Publisher *self, DDS_PublisherQos *qos);
DDS_API DDS_DomainParticipant *DDS_Publisher_get_participant(DDS_Publisher *self);
DDS_API DDS_ReturnCode_t DDS_Subscriber_get_all_datareaders(DDS_Subscriber *self, DDS_DataReaderSeq *readers);
DDS_API DDS_ReturnCode_t DDS_Subscriber_get_qos(DDS_Subscriber *self, DDS_SubscriberQos *qos);
DDS_API DDS_DomainParticipant *DDS_Subscriber_get_participant(DDS_Subscriber *self);

/* ---- topics ---- */
DDS_API DDS_TopicDescription *DDS_Topic_as_topicdescription(DDS_Topic *self);
DDS_API const char *DDS_TopicDescription_get_type_name(DDS_TopicDescription *self);
DDS_API const char *DDS_TopicDescription_get_name(DDS_TopicDescription *self);

/* ---- writers, readers ---- */
DDS_API DDS_Publisher *DDS_DataWriter_get_publisher(DDS_DataWriter *self);
DDS_API DDS_ReturnCode_t DDS_DataWriter_get_qos(DDS_DataWriter *self, DDS_DataWriterQos *qos);
DDS_API DDS_Topic *DDS_DataWriter_get_topic(DDS_DataWriter *self);
DDS_API DDS_ReturnCode_t DDS_DataWriter_set_listener(DDS_DataWriter *self, const DDS_DataWriterListener *listener, DDS_StatusMask mask);
DDS_API DDS_ReturnCode_t DDS_DataWriter_get_publication_matched_status(DDS_DataWriter *self, DDS_PublicationMatchedStatus *status);
/* OK once every sample written is acknowledged by every matched reliable reader; TIMEOUT after max_wait. */
DDS_API DDS_ReturnCode_t DDS_DataWriter_wait_for_acknowledgments(DDS_DataWriter *self, const DDS_Duration_t *max_wait);
DDS_API DDS_Subscriber *DDS_DataReader_get_subscriber(DDS_DataReader *self);
DDS_API DDS_ReturnCode_t DDS_DataReader_get_qos(DDS_DataReader *self, DDS_DataReaderQos *qos);
DDS_API DDS_TopicDescription *DDS_DataReader_get_topicdescription(DDS_DataReader *self);
DDS_API DDS_ReturnCode_t DDS_DataReader_set_listener(DDS_DataReader *self, const DDS_DataReaderListener *listener, DDS_StatusMask mask);
DDS_API DDS_ReturnCode_t DDS_DataReader_get_subscription_matched_status(DDS_DataReader *self, DDS_SubscriptionMatchedStatus *status);

DDS_API DDS_Entity *DDS_DataWriter_as_entity(DDS_DataWriter *self);
DDS_API DDS_Entity *DDS_DataReader_as_entity(DDS_DataReader *self);
DDS_API DDS_Entity *DDS_DomainParticipant_as_entity(DDS_DomainParticipant *self);
DDS_API DDS_ReturnCode_t DDS_Entity_enable(DDS_Entity *self);
DDS_API DDS_StatusCondition *DDS_Entity_get_statuscondition(DDS_Entity *self);

DDS_API DDS_DynamicDataWriter *DDS_DynamicDataWriter_narrow(DDS_DataWriter *writer);
DDS_API DDS_ReturnCode_t DDS_DynamicDataWriter_write(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample,
                                                     const DDS_InstanceHandle_t *handle);
DDS_API DDS_ReturnCode_t DDS_DynamicDataWriter_write_w_params(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample,
                                                              DDS_WriteParams_t *params);
DDS_API DDS_ReturnCode_t DDS_DynamicDataWriter_dispose(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample,
                                                       const DDS_InstanceHandle_t *handle);
DDS_API DDS_ReturnCode_t DDS_DynamicDataWriter_unregister_instance(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample,
                                                                   const DDS_InstanceHandle_t *handle);

DDS_API DDS_DynamicDataReader *DDS_DynamicDataReader_narrow(DDS_DataReader *reader);
/* Loans the samples into the sequences (which must be empty or returned); NO_DATA when none. */
DDS_API DDS_ReturnCode_t DDS_DynamicDataReader_read(DDS_DynamicDataReader *self, DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos,
                                                    DDS_Long max_samples, DDS_SampleStateMask sample_states,
                                                    DDS_ViewStateMask view_states, DDS_InstanceStateMask instance_states);
DDS_API DDS_ReturnCode_t DDS_DynamicDataReader_take(DDS_DynamicDataReader *self, DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos,
                                                    DDS_Long max_samples, DDS_SampleStateMask sample_states,
                                                    DDS_ViewStateMask view_states, DDS_InstanceStateMask instance_states);
/* Gives back a loan; OK also when the sequences hold no loan. */
DDS_API DDS_ReturnCode_t DDS_DynamicDataReader_return_loan(DDS_DynamicDataReader *self, DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos);
/* Fills the key members of key_holder with the key of the instance. */
DDS_API DDS_ReturnCode_t DDS_DynamicDataReader_get_key_value(DDS_DynamicDataReader *self, DDS_DynamicData *key_holder,
                                                             const DDS_InstanceHandle_t *handle);

/* ---- conditions and waitsets ---- */
DDS_API DDS_ReturnCode_t DDS_StatusCondition_set_enabled_statuses(DDS_StatusCondition *self, DDS_StatusMask mask);
DDS_API DDS_StatusMask DDS_StatusCondition_get_enabled_statuses(DDS_StatusCondition *self);
DDS_API DDS_Condition *DDS_StatusCondition_as_condition(DDS_StatusCondition *self);
DDS_API DDS_Boolean DDS_Condition_get_trigger_value(DDS_Condition *self);

DDS_API DDS_WaitSet *DDS_WaitSet_new(void);
DDS_API DDS_ReturnCode_t DDS_WaitSet_delete(DDS_WaitSet *self);
DDS_API DDS_ReturnCode_t DDS_WaitSet_attach_condition(DDS_WaitSet *self, DDS_Condition *condition);
DDS_API DDS_ReturnCode_t DDS_WaitSet_detach_condition(DDS_WaitSet *self, DDS_Condition *condition);
/* OK when an attached condition triggers (the triggered ones in active), TIMEOUT otherwise. */
DDS_API DDS_ReturnCode_t DDS_WaitSet_wait(DDS_WaitSet *self, DDS_ConditionSeq *active, const DDS_Duration_t *timeout);

DDS_END_DECLS

#endif
