/* QoS policies and entity QoS records, as the DDS standard names them.
 * Records hold owned strings and sequences: initialize before use, finalize after. */
#ifndef QUELT_DDS_QOS_H
#define QUELT_DDS_QOS_H

#include "dds/dds_sequence.h"
#include "dds/dds_types.h"

DDS_BEGIN_DECLS

typedef DDS_Long DDS_QosPolicyId_t;
#define DDS_INVALID_QOS_POLICY_ID 0
#define DDS_USERDATA_QOS_POLICY_ID 1
#define DDS_DURABILITY_QOS_POLICY_ID 2
#define DDS_PRESENTATION_QOS_POLICY_ID 3
#define DDS_DEADLINE_QOS_POLICY_ID 4
#define DDS_LATENCYBUDGET_QOS_POLICY_ID 5
#define DDS_OWNERSHIP_QOS_POLICY_ID 6
#define DDS_OWNERSHIPSTRENGTH_QOS_POLICY_ID 7
#define DDS_LIVELINESS_QOS_POLICY_ID 8
#define DDS_TIMEBASEDFILTER_QOS_POLICY_ID 9
#define DDS_PARTITION_QOS_POLICY_ID 10
#define DDS_RELIABILITY_QOS_POLICY_ID 11
#define DDS_DESTINATIONORDER_QOS_POLICY_ID 12
#define DDS_HISTORY_QOS_POLICY_ID 13
#define DDS_RESOURCELIMITS_QOS_POLICY_ID 14
#define DDS_ENTITYFACTORY_QOS_POLICY_ID 15
#define DDS_WRITERDATALIFECYCLE_QOS_POLICY_ID 16
#define DDS_READERDATALIFECYCLE_QOS_POLICY_ID 17
#define DDS_TOPICDATA_QOS_POLICY_ID 18
#define DDS_GROUPDATA_QOS_POLICY_ID 19
#define DDS_TRANSPORTPRIORITY_QOS_POLICY_ID 20
#define DDS_LIFESPAN_QOS_POLICY_ID 21
#define DDS_DURABILITYSERVICE_QOS_POLICY_ID 22
#define DDS_DATA_REPRESENTATION_QOS_POLICY_ID 23

/* The policy's standard name ("RELIABILITY", ...), "UNKNOWN" for other ids. */
DDS_API const char *DDS_QosPolicyId_to_string(DDS_QosPolicyId_t id);

#define DDS_LENGTH_UNLIMITED (-1)

typedef enum { DDS_BEST_EFFORT_RELIABILITY_QOS = 1, DDS_RELIABLE_RELIABILITY_QOS = 2 } DDS_ReliabilityQosPolicyKind;
typedef struct DDS_ReliabilityQosPolicy {
    DDS_ReliabilityQosPolicyKind kind;
    DDS_Duration_t max_blocking_time;
} DDS_ReliabilityQosPolicy;

typedef enum {
    DDS_VOLATILE_DURABILITY_QOS = 0,
    DDS_TRANSIENT_LOCAL_DURABILITY_QOS = 1,
    DDS_TRANSIENT_DURABILITY_QOS = 2,
    DDS_PERSISTENT_DURABILITY_QOS = 3
} DDS_DurabilityQosPolicyKind;
typedef struct DDS_DurabilityQosPolicy { DDS_DurabilityQosPolicyKind kind; } DDS_DurabilityQosPolicy;

typedef enum { DDS_KEEP_LAST_HISTORY_QOS = 0, DDS_KEEP_ALL_HISTORY_QOS = 1 } DDS_HistoryQosPolicyKind;
typedef struct DDS_HistoryQosPolicy {
    DDS_HistoryQosPolicyKind kind;
    DDS_Long depth;
} DDS_HistoryQosPolicy;

typedef struct DDS_ResourceLimitsQosPolicy {
    DDS_Long max_samples;
    DDS_Long max_instances;
    DDS_Long max_samples_per_instance;
} DDS_ResourceLimitsQosPolicy;

typedef struct DDS_DeadlineQosPolicy { DDS_Duration_t period; } DDS_DeadlineQosPolicy;
typedef struct DDS_LatencyBudgetQosPolicy { DDS_Duration_t duration; } DDS_LatencyBudgetQosPolicy;
typedef struct DDS_LifespanQosPolicy { DDS_Duration_t duration; } DDS_LifespanQosPolicy;
typedef struct DDS_TimeBasedFilterQosPolicy { DDS_Duration_t minimum_separation; } DDS_TimeBasedFilterQosPolicy;

typedef enum {
    DDS_AUTOMATIC_LIVELINESS_QOS = 0,
    DDS_MANUAL_BY_PARTICIPANT_LIVELINESS_QOS = 1,
    DDS_MANUAL_BY_TOPIC_LIVELINESS_QOS = 2
} DDS_LivelinessQosPolicyKind;
typedef struct DDS_LivelinessQosPolicy {
    DDS_LivelinessQosPolicyKind kind;
    DDS_Duration_t lease_duration;
} DDS_LivelinessQosPolicy;

typedef enum { DDS_SHARED_OWNERSHIP_QOS = 0, DDS_EXCLUSIVE_OWNERSHIP_QOS = 1 } DDS_OwnershipQosPolicyKind;
typedef struct DDS_OwnershipQosPolicy { DDS_OwnershipQosPolicyKind kind; } DDS_OwnershipQosPolicy;
typedef struct DDS_OwnershipStrengthQosPolicy { DDS_Long value; } DDS_OwnershipStrengthQosPolicy;

typedef enum {
    DDS_BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS = 0,
    DDS_BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS = 1
} DDS_DestinationOrderQosPolicyKind;
typedef struct DDS_DestinationOrderQosPolicy { DDS_DestinationOrderQosPolicyKind kind; } DDS_DestinationOrderQosPolicy;

typedef struct DDS_PartitionQosPolicy { DDS_StringSeq name; } DDS_PartitionQosPolicy;

/* Data representations in order of preference. A writer uses (and offers) the first; a reader
 * accepts every one listed. length 0 follows the type: writers XCDR1 for final types and XCDR2
 * for appendable and mutable ones; readers of final types accept both, others XCDR2. */
#define DDS_DATA_REPRESENTATION_MAX 3
typedef struct DDS_DataRepresentationQosPolicy {
    DDS_Long length;
    DDS_DataRepresentationId_t value[DDS_DATA_REPRESENTATION_MAX];
} DDS_DataRepresentationQosPolicy;

/* Entity names are not part of the standard's QoS; the records carry them so that a name given
 * in the configuration can be found again. Null when the configuration gives none. */
typedef struct DDS_EntityNameQosPolicy {
    char *name;
    char *role_name;
} DDS_EntityNameQosPolicy;

typedef struct DDS_TopicQos {
    DDS_DurabilityQosPolicy durability;
    DDS_DeadlineQosPolicy deadline;
    DDS_LatencyBudgetQosPolicy latency_budget;
    DDS_LivelinessQosPolicy liveliness;
    DDS_ReliabilityQosPolicy reliability;
    DDS_DestinationOrderQosPolicy destination_order;
    DDS_HistoryQosPolicy history;
    DDS_ResourceLimitsQosPolicy resource_limits;
    DDS_LifespanQosPolicy lifespan;
    DDS_OwnershipQosPolicy ownership;
} DDS_TopicQos;

typedef struct DDS_PublisherQos {
    DDS_PartitionQosPolicy partition;
    DDS_EntityNameQosPolicy publisher_name;
} DDS_PublisherQos;

typedef struct DDS_SubscriberQos {
    DDS_PartitionQosPolicy partition;
    DDS_EntityNameQosPolicy subscriber_name;
} DDS_SubscriberQos;

/* Fast DDS settings of a writer, outside the DDS standard (XML <fastdds_writer> in
 * <datawriter_qos>). Zero values keep the middleware's defaults. */
typedef enum {
    DDS_FASTDDS_DEFAULT_PUBLISH_MODE = 0,
    DDS_FASTDDS_SYNCHRONOUS_PUBLISH_MODE = 1,
    DDS_FASTDDS_ASYNCHRONOUS_PUBLISH_MODE = 2
} DDS_FastddsPublishModeKind;
typedef struct DDS_FastddsWriterQosPolicy {
    DDS_Duration_t heartbeat_period; /* reliable writers; {0, 0}: 20 ms */
    DDS_FastddsPublishModeKind publish_mode;
} DDS_FastddsWriterQosPolicy;

/* Cyclone DDS settings of a writer (XML <cyclone_writer> in <datawriter_qos>). Batching packs
 * several samples into one packet, sent at most a millisecond after the first of them. */
typedef struct DDS_CycloneWriterQosPolicy {
    DDS_Boolean batching;
} DDS_CycloneWriterQosPolicy;
typedef struct DDS_DataWriterQos {
    DDS_DurabilityQosPolicy durability;
    DDS_DeadlineQosPolicy deadline;
    DDS_LatencyBudgetQosPolicy latency_budget;
    DDS_LivelinessQosPolicy liveliness;
    DDS_ReliabilityQosPolicy reliability;
    DDS_DestinationOrderQosPolicy destination_order;
    DDS_HistoryQosPolicy history;
    DDS_ResourceLimitsQosPolicy resource_limits;
    DDS_LifespanQosPolicy lifespan;
    DDS_OwnershipQosPolicy ownership;
    DDS_OwnershipStrengthQosPolicy ownership_strength;
    DDS_DataRepresentationQosPolicy representation;
    DDS_EntityNameQosPolicy publication_name;
    DDS_FastddsWriterQosPolicy fastdds;
    DDS_CycloneWriterQosPolicy cyclone;
} DDS_DataWriterQos;

typedef struct DDS_DataReaderQos {
    DDS_DurabilityQosPolicy durability;
    DDS_DeadlineQosPolicy deadline;
    DDS_LatencyBudgetQosPolicy latency_budget;
    DDS_LivelinessQosPolicy liveliness;
    DDS_ReliabilityQosPolicy reliability;
    DDS_DestinationOrderQosPolicy destination_order;
    DDS_HistoryQosPolicy history;
    DDS_ResourceLimitsQosPolicy resource_limits;
    DDS_OwnershipQosPolicy ownership;
    DDS_TimeBasedFilterQosPolicy time_based_filter;
    DDS_DataRepresentationQosPolicy representation;
    DDS_EntityNameQosPolicy subscription_name;
} DDS_DataReaderQos;

typedef struct DDS_DomainParticipantQos {
    DDS_EntityNameQosPolicy participant_name;
} DDS_DomainParticipantQos;

/* The factory's QoS: where participant configurations are read from. */
typedef struct DDS_ProfileQosPolicy {
    DDS_StringSeq url_profile; /* XML file locations, loaded in order */
} DDS_ProfileQosPolicy;
typedef struct DDS_DomainParticipantFactoryQos {
    DDS_ProfileQosPolicy profile;
} DDS_DomainParticipantFactoryQos;

/* initialize sets the standard's defaults (writers reliable, readers best effort, keep-last 1,
 * volatile, unlimited resources, infinite deadline/lease, automatic liveliness, shared ownership). */
DDS_API DDS_ReturnCode_t DDS_TopicQos_initialize(DDS_TopicQos *qos);
DDS_API DDS_ReturnCode_t DDS_TopicQos_finalize(DDS_TopicQos *qos);
DDS_API DDS_ReturnCode_t DDS_PublisherQos_initialize(DDS_PublisherQos *qos);
DDS_API DDS_ReturnCode_t DDS_PublisherQos_finalize(DDS_PublisherQos *qos);
DDS_API DDS_ReturnCode_t DDS_PublisherQos_copy(DDS_PublisherQos *dst, const DDS_PublisherQos *src);
DDS_API DDS_ReturnCode_t DDS_SubscriberQos_initialize(DDS_SubscriberQos *qos);
DDS_API DDS_ReturnCode_t DDS_SubscriberQos_finalize(DDS_SubscriberQos *qos);
DDS_API DDS_ReturnCode_t DDS_SubscriberQos_copy(DDS_SubscriberQos *dst, const DDS_SubscriberQos *src);
DDS_API DDS_ReturnCode_t DDS_DataWriterQos_initialize(DDS_DataWriterQos *qos);
DDS_API DDS_ReturnCode_t DDS_DataWriterQos_finalize(DDS_DataWriterQos *qos);
DDS_API DDS_ReturnCode_t DDS_DataWriterQos_copy(DDS_DataWriterQos *dst, const DDS_DataWriterQos *src);
DDS_API DDS_ReturnCode_t DDS_DataReaderQos_initialize(DDS_DataReaderQos *qos);
DDS_API DDS_ReturnCode_t DDS_DataReaderQos_finalize(DDS_DataReaderQos *qos);
DDS_API DDS_ReturnCode_t DDS_DataReaderQos_copy(DDS_DataReaderQos *dst, const DDS_DataReaderQos *src);
DDS_API DDS_ReturnCode_t DDS_DomainParticipantQos_initialize(DDS_DomainParticipantQos *qos);
DDS_API DDS_ReturnCode_t DDS_DomainParticipantQos_finalize(DDS_DomainParticipantQos *qos);
DDS_API DDS_ReturnCode_t DDS_DomainParticipantFactoryQos_initialize(DDS_DomainParticipantFactoryQos *qos);
DDS_API DDS_ReturnCode_t DDS_DomainParticipantFactoryQos_finalize(DDS_DomainParticipantFactoryQos *qos);

DDS_END_DECLS

#endif
