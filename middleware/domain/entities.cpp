// The entities of a participant: created from its plan on its engine, named, looked up by name,
// asked for their QoS, topic and statuses, and deleted.
#include "domain/entities.h"

#include "dds/dds_log.h"
#include "dds/dds_string.h"
#include "dds/dds_util.h"

#include <cstring>

using namespace quelt::mw;

extern "C" {
const DDS_InstanceHandle_t DDS_HANDLE_NIL = {{0}, DDS_BOOLEAN_FALSE};
const DDS_Duration_t DDS_DURATION_INFINITE = {DDS_DURATION_INFINITE_SEC, DDS_DURATION_INFINITE_NSEC};
const DDS_Duration_t DDS_DURATION_ZERO = {0, 0};
const DDS_SequenceNumber_t DDS_AUTO_SEQUENCE_NUMBER = {-1, 0xffffffffu};
const DDS_GUID_t DDS_GUID_AUTO = {{0}};
}

namespace {

// The representation a writer uses: the first one configured, else the type's own.
CdrVersion writer_encoding(const DDS_DataRepresentationQosPolicy &r, const DDS_TypeCode *type)
{
    return r.length > 0 ? (r.value[0] == DDS_XCDR2_DATA_REPRESENTATION ? CdrVersion::Xcdr2 : CdrVersion::Xcdr1) : cdr_default_version(type);
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
    engine::Participant &dp = *p->engine;
    for (auto &tp : p->plan.topics) {
        auto t = std::make_unique<DDS_Topic>();
        t->participant = p;
        t->plan = tp.get();
        if (!dp.create_topic(*t, err))
            return false;
        p->types.emplace(tp->type_name, tp->type);
        p->topics.push_back(std::move(t));
    }
    for (const PublisherPlan &pp : p->plan.publishers) {
        auto pub = std::make_unique<DDS_Publisher>();
        pub->participant = p;
        pub->name = pp.name;
        pub->partitions = pp.partitions;
        if (!dp.create_publisher(*pub, err))
            return false;
        DDS_Publisher *raw = pub.get();
        p->publishers.push_back(std::move(pub));
        for (const WriterPlan &wp : pp.writers) {
            auto w = std::make_unique<DDS_DataWriter>();
            w->publisher = raw;
            w->topic = topic_for(p, wp.topic);
            w->name = wp.name;
            w->qos = wp.qos;
            w->encoding = writer_encoding(wp.qos.representation, w->topic->plan->type);
            w->engine = dp.create_writer(*w, err);
            if (!w->engine)
                return false;
            raw->writers.push_back(std::move(w));
        }
    }
    for (const SubscriberPlan &sp : p->plan.subscribers) {
        auto sub = std::make_unique<DDS_Subscriber>();
        sub->participant = p;
        sub->name = sp.name;
        sub->partitions = sp.partitions;
        if (!dp.create_subscriber(*sub, err))
            return false;
        DDS_Subscriber *raw = sub.get();
        p->subscribers.push_back(std::move(sub));
        for (const ReaderPlan &rp : sp.readers) {
            auto r = std::make_unique<DDS_DataReader>();
            r->subscriber = raw;
            r->topic = topic_for(p, rp.topic);
            r->name = rp.name;
            r->qos = rp.qos;
            r->engine = dp.create_reader(*r, err);
            if (!r->engine)
                return false;
            raw->readers.push_back(std::move(r));
        }
    }
    return true;
}

void delete_entities(DDS_DomainParticipant *p)
{
    if (!p->engine)
        return;
    // Callbacks of the entities' listeners that are running finish before the records they are
    // handed go, and none starts afterwards.
    for (auto &pub : p->publishers)
        for (auto &w : pub->writers)
            DDS_DataWriter_set_listener(w.get(), nullptr, 0);
    for (auto &sub : p->subscribers)
        for (auto &r : sub->readers) {
            DDS_DataReader_set_listener(r.get(), nullptr, 0);
            return_all_loans(r.get());
        }
    p->engine->delete_contained_entities();
    p->subscribers.clear();
    p->publishers.clear();
    p->topics.clear();
}

} // namespace

namespace quelt::mw {

// The DDS standard's name of a return code.
const char *retcode_name(DDS_ReturnCode_t r)
{
    static const char *const names[] = {"OK", "ERROR", "UNSUPPORTED", "BAD_PARAMETER", "PRECONDITION_NOT_MET", "OUT_OF_RESOURCES",
                                        "NOT_ENABLED", "IMMUTABLE_POLICY", "INCONSISTENT_POLICY", "ALREADY_DELETED", "TIMEOUT",
                                        "NO_DATA", "ILLEGAL_OPERATION"};
    return r >= 0 && r < static_cast<DDS_ReturnCode_t>(sizeof names / sizeof names[0]) ? names[r] : "UNKNOWN";
}

DDS_DomainParticipant *create_participant_from_plan(ParticipantPlan &&plan, std::string &err)
{
    auto p = std::make_unique<DDS_DomainParticipant>();
    p->plan = std::move(plan);
    p->engine = p->plan.engine == EngineKind::Cyclone ? engine::create_cyclone_participant(*p, err) : engine::create_fastdds_participant(*p, err);
    if (!p->engine)
        return nullptr;
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
    p->engine.reset();
    delete p;
}

void engine::say_once(std::atomic<bool> &said, const char *context, const char *what)
{
    if (!said.exchange(true))
        QueltLog_warning(context, "%s", what);
}

} // namespace quelt::mw

DDS_DataWriter::DDS_DataWriter() : DDS_Entity(EntityKind::Writer) {}
DDS_DataWriter::~DDS_DataWriter() = default;
DDS_DataReader::DDS_DataReader() : DDS_Entity(EntityKind::Reader) {}
DDS_DataReader::~DDS_DataReader() = default;

extern "C" {

DDS_Boolean DDS_InstanceHandle_equals(const DDS_InstanceHandle_t *a, const DDS_InstanceHandle_t *b)
{
    if (!a || !b)
        return a == b;
    if (!a->isValid || !b->isValid)
        return a->isValid == b->isValid;
    return std::memcmp(a->value, b->value, 16) == 0;
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

DDS_ReturnCode_t DDS_DomainParticipant_delete_contained_entities(DDS_DomainParticipant *self)
{
    if (!self)
        return DDS_RETCODE_BAD_PARAMETER;
    delete_entities(self);
    return DDS_RETCODE_OK;
}

DDS_DomainId_t DDS_DomainParticipant_get_domain_id(DDS_DomainParticipant *self) { return self ? self->plan.domain_id : -1; }

DDS_ReturnCode_t DDS_DomainParticipant_get_discovered_entities(DDS_DomainParticipant *self, DDS_DiscoveredEntityVisitor visit,
                                                               void *data)
{
    static const char *ctx = "DDS_DomainParticipant_get_discovered_entities";
    if (!self || !self->engine || !visit)
        return DDS_RETCODE_BAD_PARAMETER;
    // Copied out under the engine's own lock, so the visitor may take its time.
    std::vector<DDS_DiscoveredEntity> found;
    std::string err;
    try {
        if (!self->engine->discovered(found, err)) {
            QueltLog_error(ctx, "participant '%s': %s", self->plan.name.c_str(), err.c_str());
            return DDS_RETCODE_UNSUPPORTED;
        }
    } catch (const std::exception &e) {
        QueltLog_error(ctx, "participant '%s': %s", self->plan.name.c_str(), e.what());
        return DDS_RETCODE_OUT_OF_RESOURCES;
    }
    for (const DDS_DiscoveredEntity &e : found)
        visit(data, &e);
    return DDS_RETCODE_OK;
}

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

DDS_ReturnCode_t DDS_DataWriter_get_publication_matched_status(DDS_DataWriter *self, DDS_PublicationMatchedStatus *status)
{
    if (!self || !status || !self->engine)
        return DDS_RETCODE_BAD_PARAMETER;
    DDS_ReturnCode_t r = self->engine->publication_matched_status(*status);
    self->changed.fetch_and(~DDS_PUBLICATION_MATCHED_STATUS);
    return r;
}

// Blocks until every sample written so far is acknowledged by every matched reliable reader, or
// max_wait passes (TIMEOUT).
DDS_ReturnCode_t DDS_DataWriter_wait_for_acknowledgments(DDS_DataWriter *self, const DDS_Duration_t *max_wait)
{
    if (!self || !max_wait || !self->engine)
        return DDS_RETCODE_BAD_PARAMETER;
    return self->engine->wait_for_acknowledgments(*max_wait);
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

DDS_ReturnCode_t DDS_DataReader_get_subscription_matched_status(DDS_DataReader *self, DDS_SubscriptionMatchedStatus *status)
{
    if (!self || !status || !self->engine)
        return DDS_RETCODE_BAD_PARAMETER;
    DDS_ReturnCode_t r = self->engine->subscription_matched_status(*status);
    self->changed.fetch_and(~DDS_SUBSCRIPTION_MATCHED_STATUS);
    return r;
}

DDS_Entity *DDS_DataWriter_as_entity(DDS_DataWriter *self) { return self; }
DDS_Entity *DDS_DataReader_as_entity(DDS_DataReader *self) { return self; }
DDS_Entity *DDS_DomainParticipant_as_entity(DDS_DomainParticipant *self) { return self; }

// Entities are created enabled, so enabling is a check that the entity exists.
DDS_ReturnCode_t DDS_Entity_enable(DDS_Entity *self) { return self ? DDS_RETCODE_OK : DDS_RETCODE_BAD_PARAMETER; }

DDS_StatusCondition *DDS_Entity_get_statuscondition(DDS_Entity *self) { return self ? &self->condition : nullptr; }

} // extern "C"
