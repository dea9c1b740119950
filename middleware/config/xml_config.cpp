// Participant configurations in the DDS-XML shape: QoS libraries and profiles (with base_name
// inheritance), domain libraries (registered types, topics) and participant libraries (publishers,
// subscribers, writers, readers), resolved into a ParticipantPlan.
#include "config/xml_config.h"

#include "types/xml_types.h"

#include "dds/dds_log.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

namespace quelt::mw {

using tinyxml2::XMLElement;
using xml::error_at;

namespace {

struct Source {
    std::string file;
    std::unique_ptr<tinyxml2::XMLDocument> doc;
};

struct Named {
    const XMLElement *e = nullptr;
    const char *file = nullptr;
};

// Everything the files declare, by scoped name ("Library::Name").
struct Index {
    std::vector<Source> sources;
    std::map<std::string, Named> profiles, domains, participants;
};

const char *name_of(const XMLElement *e) { return e->Attribute("name"); }

bool is(const XMLElement *e, const char *tag) { return std::strcmp(e->Name(), tag) == 0; }

std::string trimmed(const char *t)
{
    if (!t)
        return {};
    std::string s(t);
    const size_t b = s.find_first_not_of(" \t\r\n");
    const size_t e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// "Lib::Name" stays as it is; a bare "Name" is looked up in the library `lib`.
std::string scoped(const std::string &ref, const std::string &lib)
{
    if (ref.find("::") != std::string::npos)
        return ref.rfind("::", 0) == 0 ? ref.substr(2) : ref;
    return lib + "::" + ref;
}

std::string library_of(const std::string &scoped_name) { return scoped_name.substr(0, scoped_name.find("::")); }

bool index_library(Index &ix, const XMLElement *lib, const char *file, const char *child_tag, std::map<std::string, Named> &into,
                   std::string &err)
{
    const char *lname = name_of(lib);
    if (!lname || !*lname) {
        err = error_at(file, lib, std::string("<") + lib->Name() + "> without a name");
        return false;
    }
    for (const XMLElement *c = lib->FirstChildElement(); c; c = c->NextSiblingElement()) {
        if (!is(c, child_tag)) {
            err = error_at(file, c, std::string("unexpected <") + c->Name() + "> in <" + lib->Name() + ">");
            return false;
        }
        const char *n = name_of(c);
        if (!n || !*n) {
            err = error_at(file, c, std::string("<") + child_tag + "> without a name");
            return false;
        }
        const std::string key = std::string(lname) + "::" + n;
        if (into.count(key)) {
            err = error_at(file, c, "duplicate " + std::string(child_tag) + " '" + key + "'");
            return false;
        }
        into[key] = Named{c, file};
    }
    (void)ix;
    return true;
}

// ---- QoS values ----

struct QosReader {
    const char *file;
    std::string &err;

    bool fail(const XMLElement *e, const std::string &msg)
    {
        err = error_at(file, e, msg);
        return false;
    }

    bool integer(const XMLElement *e, DDS_Long &out, bool allow_unlimited)
    {
        const std::string t = trimmed(e->GetText());
        if (allow_unlimited && (t == "LENGTH_UNLIMITED" || t == "DDS_LENGTH_UNLIMITED")) {
            out = DDS_LENGTH_UNLIMITED;
            return true;
        }
        xml::Integer v;
        if (!xml::parse_integer_literal(t, v) || !v.in_range(allow_unlimited ? -1 : INT32_MIN, INT32_MAX))
            return fail(e, "<" + std::string(e->Name()) + "> is not a valid number: '" + t + "'");
        out = static_cast<DDS_Long>(v.as_int64());
        return true;
    }

    bool duration(const XMLElement *e, DDS_Duration_t &out)
    {
        for (const XMLElement *c = e->FirstChildElement(); c; c = c->NextSiblingElement()) {
            const std::string t = trimmed(c->GetText());
            if (is(c, "sec")) {
                if (t == "DURATION_INFINITE_SEC" || t == "DDS_DURATION_INFINITE_SEC") {
                    out.sec = DDS_DURATION_INFINITE_SEC;
                    continue;
                }
                xml::Integer v;
                if (!xml::parse_integer_literal(t, v) || !v.in_range(0, INT32_MAX))
                    return fail(c, "<sec> is not a valid number of seconds: '" + t + "'");
                out.sec = static_cast<DDS_Long>(v.magnitude);
            } else if (is(c, "nanosec")) {
                if (t == "DURATION_INFINITE_NSEC" || t == "DDS_DURATION_INFINITE_NSEC") {
                    out.nanosec = DDS_DURATION_INFINITE_NSEC;
                    continue;
                }
                xml::Integer v;
                if (!xml::parse_integer_literal(t, v) || !v.in_range(0, 999999999))
                    return fail(c, "<nanosec> is not a valid number of nanoseconds: '" + t + "'");
                out.nanosec = static_cast<DDS_UnsignedLong>(v.magnitude);
            } else {
                return fail(c, "unexpected <" + std::string(c->Name()) + "> in <" + e->Name() + ">");
            }
        }
        return true;
    }

    template <typename E> bool kind(const XMLElement *e, E &out, std::initializer_list<std::pair<const char *, E>> values)
    {
        std::string t = trimmed(e->GetText());
        if (t.rfind("DDS_", 0) == 0)
            t = t.substr(4);
        for (const auto &[name, v] : values)
            if (t == name) {
                out = v;
                return true;
            }
        return fail(e, "unknown <" + std::string(e->Name()) + "> value '" + t + "'");
    }

    // Walks the children of a policy element, handing each to `field`.
    bool fields(const XMLElement *policy, const std::function<bool(const XMLElement *)> &field)
    {
        for (const XMLElement *c = policy->FirstChildElement(); c; c = c->NextSiblingElement())
            if (!field(c))
                return false;
        return true;
    }

    bool boolean(const XMLElement *e, DDS_Boolean &out)
    {
        const std::string t = trimmed(e->GetText());
        if (t == "true" || t == "TRUE" || t == "1")
            out = DDS_BOOLEAN_TRUE;
        else if (t == "false" || t == "FALSE" || t == "0")
            out = DDS_BOOLEAN_FALSE;
        else
            return fail(e, "<" + std::string(e->Name()) + "> is not true or false: '" + t + "'");
        return true;
    }

    bool unexpected(const XMLElement *c, const XMLElement *parent)
    {
        return fail(c, "unexpected <" + std::string(c->Name()) + "> in <" + parent->Name() + ">");
    }

    // Policies shared by topics, writers and readers. Returns 1 handled, 0 not a common policy, -1 error.
    template <typename Q> int common(const XMLElement *p, Q &q)
    {
        if (is(p, "reliability"))
            return fields(p, [&](const XMLElement *c) {
                if (is(c, "kind"))
                    return kind(c, q.reliability.kind, {{"RELIABLE_RELIABILITY_QOS", DDS_RELIABLE_RELIABILITY_QOS},
                                                        {"BEST_EFFORT_RELIABILITY_QOS", DDS_BEST_EFFORT_RELIABILITY_QOS}});
                if (is(c, "max_blocking_time"))
                    return duration(c, q.reliability.max_blocking_time);
                return unexpected(c, p);
            }) ? 1 : -1;
        if (is(p, "durability"))
            return fields(p, [&](const XMLElement *c) {
                if (is(c, "kind"))
                    return kind(c, q.durability.kind, {{"VOLATILE_DURABILITY_QOS", DDS_VOLATILE_DURABILITY_QOS},
                                                       {"TRANSIENT_LOCAL_DURABILITY_QOS", DDS_TRANSIENT_LOCAL_DURABILITY_QOS},
                                                       {"TRANSIENT_DURABILITY_QOS", DDS_TRANSIENT_DURABILITY_QOS},
                                                       {"PERSISTENT_DURABILITY_QOS", DDS_PERSISTENT_DURABILITY_QOS}});
                return unexpected(c, p);
            }) ? 1 : -1;
        if (is(p, "history"))
            return fields(p, [&](const XMLElement *c) {
                if (is(c, "kind"))
                    return kind(c, q.history.kind, {{"KEEP_LAST_HISTORY_QOS", DDS_KEEP_LAST_HISTORY_QOS},
                                                    {"KEEP_ALL_HISTORY_QOS", DDS_KEEP_ALL_HISTORY_QOS}});
                if (is(c, "depth"))
                    return integer(c, q.history.depth, false);
                return unexpected(c, p);
            }) ? 1 : -1;
        if (is(p, "resource_limits"))
            return fields(p, [&](const XMLElement *c) {
                if (is(c, "max_samples"))
                    return integer(c, q.resource_limits.max_samples, true);
                if (is(c, "max_instances"))
                    return integer(c, q.resource_limits.max_instances, true);
                if (is(c, "max_samples_per_instance"))
                    return integer(c, q.resource_limits.max_samples_per_instance, true);
                return unexpected(c, p);
            }) ? 1 : -1;
        if (is(p, "deadline"))
            return fields(p, [&](const XMLElement *c) { return is(c, "period") ? duration(c, q.deadline.period) : unexpected(c, p); }) ? 1 : -1;
        if (is(p, "latency_budget"))
            return fields(p, [&](const XMLElement *c) {
                return is(c, "duration") ? duration(c, q.latency_budget.duration) : unexpected(c, p);
            }) ? 1 : -1;
        if (is(p, "liveliness"))
            return fields(p, [&](const XMLElement *c) {
                if (is(c, "kind"))
                    return kind(c, q.liveliness.kind, {{"AUTOMATIC_LIVELINESS_QOS", DDS_AUTOMATIC_LIVELINESS_QOS},
                                                       {"MANUAL_BY_PARTICIPANT_LIVELINESS_QOS", DDS_MANUAL_BY_PARTICIPANT_LIVELINESS_QOS},
                                                       {"MANUAL_BY_TOPIC_LIVELINESS_QOS", DDS_MANUAL_BY_TOPIC_LIVELINESS_QOS}});
                if (is(c, "lease_duration"))
                    return duration(c, q.liveliness.lease_duration);
                return unexpected(c, p);
            }) ? 1 : -1;
        if (is(p, "ownership"))
            return fields(p, [&](const XMLElement *c) {
                if (is(c, "kind"))
                    return kind(c, q.ownership.kind, {{"SHARED_OWNERSHIP_QOS", DDS_SHARED_OWNERSHIP_QOS},
                                                      {"EXCLUSIVE_OWNERSHIP_QOS", DDS_EXCLUSIVE_OWNERSHIP_QOS}});
                return unexpected(c, p);
            }) ? 1 : -1;
        if (is(p, "destination_order"))
            return fields(p, [&](const XMLElement *c) {
                if (is(c, "kind"))
                    return kind(c, q.destination_order.kind,
                                {{"BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS", DDS_BY_RECEPTION_TIMESTAMP_DESTINATIONORDER_QOS},
                                 {"BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS", DDS_BY_SOURCE_TIMESTAMP_DESTINATIONORDER_QOS}});
                return unexpected(c, p);
            }) ? 1 : -1;
        return 0;
    }

    // <representation><value><element>XCDR2_DATA_REPRESENTATION</element>...</value></representation>
    bool representation(const XMLElement *p, DDS_DataRepresentationQosPolicy &r)
    {
        r.length = 0;
        return fields(p, [&](const XMLElement *v) {
            if (!is(v, "value"))
                return unexpected(v, p);
            for (const XMLElement *el = v->FirstChildElement(); el; el = el->NextSiblingElement()) {
                if (!is(el, "element"))
                    return unexpected(el, v);
                DDS_DataRepresentationId_t id;
                const std::string t = trimmed(el->GetText());
                if (t == "XCDR_DATA_REPRESENTATION" || t == "XCDR1_DATA_REPRESENTATION")
                    id = DDS_XCDR_DATA_REPRESENTATION;
                else if (t == "XCDR2_DATA_REPRESENTATION")
                    id = DDS_XCDR2_DATA_REPRESENTATION;
                else if (t == "XML_DATA_REPRESENTATION")
                    return fail(el, "XML_DATA_REPRESENTATION is not supported (XCDR_DATA_REPRESENTATION, XCDR2_DATA_REPRESENTATION are)");
                else
                    return fail(el, "unknown data representation '" + t + "'");
                for (DDS_Long i = 0; i < r.length; ++i)
                    if (r.value[i] == id)
                        return fail(el, "data representation '" + t + "' listed twice");
                r.value[r.length++] = id;
            }
            return true;
        });
    }

    bool lifespan(const XMLElement *p, DDS_LifespanQosPolicy &l)
    {
        return fields(p, [&](const XMLElement *c) { return is(c, "duration") ? duration(c, l.duration) : unexpected(c, p); });
    }

    // Walks the policies of a QoS element: those the entity kinds share first, then own(p) for
    // the kind's own (1: handled, 0: not one of them, -1: failed and reported).
    template <class Q, class Own> bool policies(const XMLElement *e, Q &q, const char *tag, Own own)
    {
        for (const XMLElement *p = e->FirstChildElement(); p; p = p->NextSiblingElement()) {
            int r = common(p, q);
            if (r == 0)
                r = own(p);
            if (r < 0)
                return false;
            if (r == 0)
                return fail(p, "unknown or unsupported QoS policy <" + std::string(p->Name()) + "> in <" + tag + ">");
        }
        return true;
    }

    static int handled(bool ok) { return ok ? 1 : -1; }

    bool writer(const XMLElement *e, DDS_DataWriterQos &q)
    {
        return policies(e, q, "datawriter_qos", [&](const XMLElement *p) {
            if (is(p, "fastdds_writer"))
                return handled(fields(p, [&](const XMLElement *c) {
                    if (is(c, "heartbeat_period"))
                        return duration(c, q.fastdds.heartbeat_period);
                    if (is(c, "publish_mode"))
                        return kind(c, q.fastdds.publish_mode, {{"SYNCHRONOUS_PUBLISH_MODE", DDS_FASTDDS_SYNCHRONOUS_PUBLISH_MODE},
                                                                {"ASYNCHRONOUS_PUBLISH_MODE", DDS_FASTDDS_ASYNCHRONOUS_PUBLISH_MODE}});
                    return unexpected(c, p);
                }));
            if (is(p, "cyclone_writer"))
                return handled(fields(p, [&](const XMLElement *c) {
                    return is(c, "batching") ? boolean(c, q.cyclone.batching) : unexpected(c, p);
                }));
            if (is(p, "lifespan"))
                return handled(lifespan(p, q.lifespan));
            if (is(p, "ownership_strength"))
                return handled(fields(p, [&](const XMLElement *c) {
                    return is(c, "value") ? integer(c, q.ownership_strength.value, false) : unexpected(c, p);
                }));
            if (is(p, "representation"))
                return handled(representation(p, q.representation));
            return 0;
        });
    }

    bool reader(const XMLElement *e, DDS_DataReaderQos &q)
    {
        return policies(e, q, "datareader_qos", [&](const XMLElement *p) {
            if (is(p, "time_based_filter"))
                return handled(fields(p, [&](const XMLElement *c) {
                    return is(c, "minimum_separation") ? duration(c, q.time_based_filter.minimum_separation) : unexpected(c, p);
                }));
            if (is(p, "representation"))
                return handled(representation(p, q.representation));
            return 0;
        });
    }

    bool topic(const XMLElement *e, DDS_TopicQos &q)
    {
        return policies(e, q, "topic_qos", [&](const XMLElement *p) { return is(p, "lifespan") ? handled(lifespan(p, q.lifespan)) : 0; });
    }

    // <partition><name><element>A</element>...</name></partition>
    bool partition(const XMLElement *p, std::vector<std::string> &out)
    {
        out.clear();
        for (const XMLElement *n = p->FirstChildElement(); n; n = n->NextSiblingElement()) {
            if (!is(n, "name"))
                return unexpected(n, p);
            for (const XMLElement *el = n->FirstChildElement(); el; el = el->NextSiblingElement()) {
                if (!is(el, "element"))
                    return unexpected(el, n);
                out.push_back(trimmed(el->GetText()));
            }
        }
        return true;
    }

    bool group(const XMLElement *e, std::vector<std::string> &partitions)
    {
        for (const XMLElement *p = e->FirstChildElement(); p; p = p->NextSiblingElement()) {
            if (is(p, "partition")) {
                if (!partition(p, partitions))
                    return false;
            } else {
                return fail(p, "unknown or unsupported QoS policy <" + std::string(p->Name()) + "> in <" + e->Name() + ">");
            }
        }
        return true;
    }
};

// Resolves QoS elements with their base_name chains. Depth guards against cycles.
class QosResolver {
  public:
    QosResolver(const Index &ix, std::string &err) : ix_(ix), err_(err) {}

    // kind is the QoS element tag ("datawriter_qos", ...). Applies, in order, the defaults already
    // in q, the element's base (a profile), then the element's own policies.
    template <typename Q, typename Apply>
    bool apply(const XMLElement *e, const char *file, const std::string &lib, const char *kind, Q &q, Apply own, int depth = 0)
    {
        if (depth > 32) {
            err_ = error_at(file, e, "QoS base_name chain too deep (a cycle?)");
            return false;
        }
        if (const char *base = e->Attribute("base_name")) {
            if (!apply_profile(scoped(base, lib), e, file, kind, q, own, depth + 1))
                return false;
        }
        QosReader r{file, err_};
        return own(r, e, q);
    }

    template <typename Q, typename Apply>
    bool apply_profile(const std::string &name, const XMLElement *from, const char *from_file, const char *kind, Q &q, Apply own, int depth)
    {
        auto it = ix_.profiles.find(name);
        if (it == ix_.profiles.end()) {
            err_ = error_at(from_file, from, "unknown QoS profile '" + name + "'");
            return false;
        }
        const XMLElement *prof = it->second.e;
        if (depth > 32) {
            err_ = error_at(it->second.file, prof, "QoS base_name chain too deep (a cycle?)");
            return false;
        }
        if (const char *base = prof->Attribute("base_name"))
            if (!apply_profile(scoped(base, library_of(name)), prof, it->second.file, kind, q, own, depth + 1))
                return false;
        for (const XMLElement *c = prof->FirstChildElement(kind); c; c = c->NextSiblingElement(kind))
            if (!apply(c, it->second.file, library_of(name), kind, q, own, depth + 1))
                return false;
        return true;
    }

  private:
    const Index &ix_;
    std::string &err_;
};

bool check_profiles(const Index &ix, std::string &err)
{
    static const char *const kinds[] = {"datawriter_qos", "datareader_qos", "topic_qos", "publisher_qos", "subscriber_qos",
                                        "participant_qos", "domain_participant_qos"};
    for (const auto &[name, n] : ix.profiles)
        for (const XMLElement *c = n.e->FirstChildElement(); c; c = c->NextSiblingElement()) {
            bool known = false;
            for (const char *k : kinds)
                known = known || is(c, k);
            if (!known) {
                err = error_at(n.file, c, "unexpected <" + std::string(c->Name()) + "> in <qos_profile>");
                return false;
            }
        }
    return true;
}

bool writer_qos(QosResolver &res, const XMLElement *e, const char *file, const std::string &lib, DDS_DataWriterQos &q)
{
    return res.apply(e, file, lib, "datawriter_qos", q, [](QosReader &r, const XMLElement *x, DDS_DataWriterQos &qq) { return r.writer(x, qq); });
}
bool reader_qos(QosResolver &res, const XMLElement *e, const char *file, const std::string &lib, DDS_DataReaderQos &q)
{
    return res.apply(e, file, lib, "datareader_qos", q, [](QosReader &r, const XMLElement *x, DDS_DataReaderQos &qq) { return r.reader(x, qq); });
}
bool topic_qos(QosResolver &res, const XMLElement *e, const char *file, const std::string &lib, DDS_TopicQos &q)
{
    return res.apply(e, file, lib, "topic_qos", q, [](QosReader &r, const XMLElement *x, DDS_TopicQos &qq) { return r.topic(x, qq); });
}
bool group_qos(QosResolver &res, const XMLElement *e, const char *file, const std::string &lib, const char *kind, std::vector<std::string> &parts)
{
    return res.apply(e, file, lib, kind, parts, [](QosReader &r, const XMLElement *x, std::vector<std::string> &pp) { return r.group(x, pp); });
}

// ---- domains and participants ----

struct Builder {
    Builder(Index &i, ParticipantPlan &p, std::string &e) : ix(i), plan(p), err(e), res(i, e) {}
    Index &ix;
    ParticipantPlan &plan;
    std::string &err;
    QosResolver res;
    std::map<std::string, std::string> registered; // registered name -> type name in the library
    std::vector<std::string> domains_done;           // a base participant may share the domain

    bool fail(const char *file, const XMLElement *e, const std::string &msg)
    {
        err = error_at(file, e, msg);
        return false;
    }

    const char *required(const char *file, const XMLElement *e, const char *attr)
    {
        const char *v = e->Attribute(attr);
        if (!v || !*v) {
            fail(file, e, std::string("<") + e->Name() + "> without " + attr);
            return nullptr;
        }
        return v;
    }

    bool register_type(const XMLElement *e, const char *file)
    {
        const char *name = required(file, e, "name");
        if (!name)
            return false;
        const char *ref = e->Attribute("type_ref");
        const std::string type_name = ref && *ref ? ref : name;
        if (!DDS_TypeLibrary_find(plan.types.get(), type_name.c_str()))
            return fail(file, e, "register_type '" + std::string(name) + "' refers to unknown type '" + type_name + "'");
        registered[name] = type_name;
        return true;
    }

    bool topic(const XMLElement *e, const char *file, const std::string &lib)
    {
        const char *name = required(file, e, "name");
        const char *reg = name ? required(file, e, "register_type_ref") : nullptr;
        if (!reg)
            return false;
        auto it = registered.find(reg);
        if (it == registered.end())
            return fail(file, e, "topic '" + std::string(name) + "' refers to unregistered type '" + reg + "'");
        for (const auto &t : plan.topics)
            if (t->name == name)
                return fail(file, e, "duplicate topic '" + std::string(name) + "'");
        auto tp = std::make_unique<TopicPlan>();
        tp->name = name;
        tp->type_name = reg;
        tp->type = DDS_TypeLibrary_find(plan.types.get(), it->second.c_str());
        DDS_TopicQos_initialize(&tp->qos);
        for (const XMLElement *c = e->FirstChildElement(); c; c = c->NextSiblingElement()) {
            if (!is(c, "topic_qos"))
                return fail(file, c, "unexpected <" + std::string(c->Name()) + "> in <topic>");
            if (!topic_qos(res, c, file, lib, tp->qos))
                return false;
        }
        const std::string bad = check_topic_qos(tp->qos);
        if (!bad.empty())
            return fail(file, e, "topic '" + std::string(name) + "': " + bad);
        plan.topics.push_back(std::move(tp));
        return true;
    }

    bool domain(const std::string &name, const XMLElement *from, const char *from_file)
    {
        auto it = ix.domains.find(name);
        if (it == ix.domains.end())
            return fail(from_file, from, "unknown domain '" + name + "'");
        if (std::find(domains_done.begin(), domains_done.end(), name) != domains_done.end())
            return true;
        domains_done.push_back(name);
        const XMLElement *d = it->second.e;
        const char *file = it->second.file;
        if (d->Attribute("domain_id")) {
            int id = -1;
            if (d->QueryIntAttribute("domain_id", &id) != tinyxml2::XML_SUCCESS || id < 0 || id > 232)
                return fail(file, d, "domain_id must be a number from 0 to 232");
            plan.domain_id = id;
        }
        return entities_of_domain(d, file, library_of(name));
    }

    bool entities_of_domain(const XMLElement *d, const char *file, const std::string &lib)
    {
        for (const XMLElement *c = d->FirstChildElement(); c; c = c->NextSiblingElement()) {
            if (is(c, "register_type")) {
                if (!register_type(c, file))
                    return false;
            } else if (is(c, "topic")) {
                if (!topic(c, file, lib))
                    return false;
            } else if (!is(c, "publisher") && !is(c, "subscriber") && !is(c, "domain_participant_qos") && !is(c, "participant_qos")) {
                return fail(file, c, "unexpected <" + std::string(c->Name()) + "> in <" + d->Name() + ">");
            }
        }
        return true;
    }

    const TopicPlan *find_topic(const XMLElement *e, const char *file)
    {
        const char *ref = required(file, e, "topic_ref");
        if (!ref)
            return nullptr;
        for (const auto &t : plan.topics)
            if (t->name == ref)
                return t.get();
        fail(file, e, "unknown topic '" + std::string(ref) + "'");
        return nullptr;
    }

    template <typename Group> Group &group_named(std::vector<Group> &groups, const std::string &name)
    {
        for (Group &g : groups)
            if (!name.empty() && g.name == name)
                return g;
        groups.emplace_back();
        groups.back().name = name;
        return groups.back();
    }

    // What tells a publisher from a subscriber when reading one.
    template <typename Entity, typename Qos> struct Side {
        const char *group, *group_qos, *entity, *entity_qos;
        DDS_ReturnCode_t (*init)(Qos *);
        bool (*read_qos)(QosResolver &, const XMLElement *, const char *, const std::string &, Qos &);
        std::string (*check)(const Qos &);
    };

    // A publisher or subscriber: its partition, then its writers or readers with their QoS.
    template <typename Group, typename Entity, typename Qos>
    bool group(const XMLElement *e, const char *file, const std::string &lib, std::vector<Group> &groups,
               std::vector<Entity> Group::*entities, const Side<Entity, Qos> &side)
    {
        const char *n = e->Attribute("name");
        Group &g = group_named(groups, n ? n : "");
        for (const XMLElement *c = e->FirstChildElement(); c; c = c->NextSiblingElement()) {
            if (is(c, side.group_qos)) {
                if (!group_qos(res, c, file, lib, side.group_qos, g.partitions))
                    return false;
            } else if (is(c, "partition")) {
                QosReader r{file, err};
                if (!r.partition(c, g.partitions))
                    return false;
            } else if (is(c, side.entity)) {
                Entity ent;
                const char *en = c->Attribute("name");
                ent.name = en ? en : "";
                if (!(ent.topic = find_topic(c, file)))
                    return false;
                side.init(&ent.qos);
                for (const XMLElement *q = c->FirstChildElement(); q; q = q->NextSiblingElement()) {
                    if (!is(q, side.entity_qos))
                        return fail(file, q, "unexpected <" + std::string(q->Name()) + "> in <" + side.entity + ">");
                    if (!side.read_qos(res, q, file, lib, ent.qos))
                        return false;
                }
                const std::string bad = side.check(ent.qos);
                if (!bad.empty())
                    return fail(file, c, std::string(side.entity) + " '" + ent.name + "': " + bad);
                (g.*entities).push_back(ent);
            } else {
                return fail(file, c, "unexpected <" + std::string(c->Name()) + "> in <" + side.group + ">");
            }
        }
        return true;
    }

    bool publisher(const XMLElement *e, const char *file, const std::string &lib)
    {
        static const Side<WriterPlan, DDS_DataWriterQos> side{"publisher", "publisher_qos", "data_writer", "datawriter_qos",
                                                              DDS_DataWriterQos_initialize, writer_qos, check_writer_qos};
        return group(e, file, lib, plan.publishers, &PublisherPlan::writers, side);
    }

    bool subscriber(const XMLElement *e, const char *file, const std::string &lib)
    {
        static const Side<ReaderPlan, DDS_DataReaderQos> side{"subscriber", "subscriber_qos", "data_reader", "datareader_qos",
                                                              DDS_DataReaderQos_initialize, reader_qos, check_reader_qos};
        return group(e, file, lib, plan.subscribers, &SubscriberPlan::readers, side);
    }

    static bool size_value(const XMLElement *c, uint32_t &out)
    {
        xml::Integer v;
        const std::string text = trimmed(c->GetText());
        if (!xml::parse_integer_literal(text, v) || v.negative || v.magnitude == 0 || !v.in_range(0, INT32_MAX))
            return false;
        out = static_cast<uint32_t>(v.magnitude);
        return true;
    }

    // A participant's <domain_participant_qos>: the engines' transport settings, and how its
    // waitsets wait.
    bool participant_qos(const XMLElement *e, const char *file)
    {
        for (const XMLElement *t = e->FirstChildElement(); t; t = t->NextSiblingElement()) {
            if (is(t, "waitset")) {
                for (const XMLElement *c = t->FirstChildElement(); c; c = c->NextSiblingElement()) {
                    xml::Integer v;
                    if (!is(c, "spin_microseconds"))
                        return fail(file, c, "unexpected <" + std::string(c->Name()) + "> in <waitset>");
                    if (!xml::parse_integer_literal(trimmed(c->GetText()), v) || v.negative || !v.in_range(0, ParticipantPlan::kMaxWaitSpinUs))
                        return fail(file, c, "<spin_microseconds> is not a number of microseconds from 0 to " + std::to_string(ParticipantPlan::kMaxWaitSpinUs) +
                                                 ": '" + trimmed(c->GetText()) + "'");
                    plan.wait_spin_us = static_cast<uint32_t>(v.magnitude);
                }
                continue;
            }
            const bool fast = is(t, "fastdds_transport");
            if (!fast && !is(t, "cyclone_transport"))
                return fail(file, t, "unexpected <" + std::string(t->Name()) + "> in <domain_participant_qos>");
            for (const XMLElement *c = t->FirstChildElement(); c; c = c->NextSiblingElement()) {
                uint32_t *out = !fast                               ? (is(c, "socket_buffer_size") ? &plan.cyclone.socket_buffer_size : nullptr)
                                : is(c, "shm_segment_size")        ? &plan.transport.shm_segment_size
                                : is(c, "shm_port_queue_capacity") ? &plan.transport.shm_port_queue_capacity
                                : is(c, "socket_buffer_size")      ? &plan.transport.socket_buffer_size
                                                                   : nullptr;
                if (out) {
                    if (!size_value(c, *out))
                        return fail(file, c, "<" + std::string(c->Name()) + "> is not a valid size: '" + trimmed(c->GetText()) + "'");
                } else if (!fast && is(c, "network_interface")) {
                    plan.cyclone.network_interface = trimmed(c->GetText());
                } else if (!fast && is(c, "config")) {
                    // Cyclone's own configuration, inline (a <CycloneDDS> element) or as its text.
                    if (const XMLElement *x = c->FirstChildElement()) {
                        tinyxml2::XMLPrinter printer(nullptr, true);
                        x->Accept(&printer);
                        plan.cyclone.config = printer.CStr();
                    } else {
                        plan.cyclone.config = trimmed(c->GetText());
                    }
                } else {
                    return fail(file, c, "unexpected <" + std::string(c->Name()) + "> in <" + t->Name() + ">");
                }
            }
        }
        return true;
    }

    // A participant: its base's domain and entities first, then its own.
    bool participant(const std::string &name, const XMLElement *from, const char *from_file, int depth)
    {
        auto it = ix.participants.find(name);
        if (it == ix.participants.end())
            return fail(from_file, from, "unknown participant configuration '" + name + "'");
        if (depth > 16)
            return fail(it->second.file, it->second.e, "participant base_name chain too deep (a cycle?)");
        const XMLElement *p = it->second.e;
        const char *file = it->second.file;
        const std::string lib = library_of(name);
        const char *base = p->Attribute("base_name");
        if (base && !participant(scoped(base, lib), p, file, depth + 1))
            return false;
        if (const char *dref = p->Attribute("domain_ref")) {
            if (!domain(scoped(dref, lib), p, file))
                return false;
        } else if (!base) {
            return fail(file, p, "domain_participant '" + name + "' has no domain_ref");
        }
        if (p->Attribute("domain_id")) {
            int id = -1;
            if (p->QueryIntAttribute("domain_id", &id) != tinyxml2::XML_SUCCESS || id < 0 || id > 232)
                return fail(file, p, "domain_id must be a number from 0 to 232");
            plan.domain_id = id;
        }
        // The engine is inherited from the base unless this participant names its own.
        if (const char *engine = p->Attribute("engine")) {
            if (std::strcmp(engine, "fastdds") == 0)
                plan.engine = EngineKind::Fastdds;
            else if (std::strcmp(engine, "cyclone") == 0)
                plan.engine = EngineKind::Cyclone;
            else
                return fail(file, p, "engine '" + std::string(engine) + "' is not one of fastdds, cyclone");
        }
        for (const tinyxml2::XMLAttribute *a = p->FirstAttribute(); a; a = a->Next())
            if (std::strcmp(a->Name(), "name") && std::strcmp(a->Name(), "base_name") && std::strcmp(a->Name(), "domain_ref") &&
                std::strcmp(a->Name(), "domain_id") && std::strcmp(a->Name(), "engine"))
                QueltLog_warning("DDS_DomainParticipantFactory_create_participant_from_config", "%s",
                                 error_at(file, a->GetLineNum(), "unknown attribute '" + std::string(a->Name()) + "' of <domain_participant> '" +
                                                                     name + "' ignored (known: name, base_name, domain_ref, domain_id, engine)")
                                     .c_str());
        if (!entities_of_domain(p, file, lib))
            return false;
        for (const XMLElement *c = p->FirstChildElement(); c; c = c->NextSiblingElement()) {
            if (is(c, "domain_participant_qos") && !participant_qos(c, file))
                return false;
            if (is(c, "publisher") && !publisher(c, file, lib))
                return false;
            if (is(c, "subscriber") && !subscriber(c, file, lib))
                return false;
        }
        return true;
    }
};

bool index_file(Index &ix, DDS_TypeLibrary *types, const std::string &path, std::string &err)
{
    Source src;
    src.file = path;
    src.doc = std::make_unique<tinyxml2::XMLDocument>();
    std::string text;
    if (!xml::read_file(path.c_str(), text, err) || !xml::parse_document(*src.doc, text, path.c_str(), err))
        return false;
    const XMLElement *root = xml::dds_root(*src.doc, path.c_str(), err);
    if (!root || (types && !xml::load_types_document(*types, *src.doc, path.c_str(), err)))
        return false;
    ix.sources.push_back(std::move(src));
    const char *file = ix.sources.back().file.c_str();
    for (const XMLElement *c = root->FirstChildElement(); c; c = c->NextSiblingElement()) {
        bool ok = true;
        if (is(c, "qos_library"))
            ok = index_library(ix, c, file, "qos_profile", ix.profiles, err);
        else if (is(c, "domain_library"))
            ok = index_library(ix, c, file, "domain", ix.domains, err);
        else if (is(c, "domain_participant_library"))
            ok = index_library(ix, c, file, "domain_participant", ix.participants, err);
        else if (!is(c, "types"))
            ok = (err = error_at(file, c, "unexpected <" + std::string(c->Name()) + "> in <dds>")).empty();
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

bool participant_config_names(const std::vector<std::string> &files, std::vector<std::string> &names, std::string &err)
{
    Index ix;
    for (const std::string &f : files)
        if (!index_file(ix, nullptr, f, err))
            return false;
    names.clear();
    for (const auto &entry : ix.participants)
        names.push_back(entry.first);
    return true;
}

bool build_participant_plan(const std::vector<std::string> &files, const std::string &config_name, ParticipantPlan &plan, std::string &err,
                            const std::shared_ptr<DDS_TypeLibrary> &types)
{
    Index ix;
    plan = ParticipantPlan{};
    plan.types = types;
    if (!plan.types)
        plan.types.reset(DDS_TypeLibrary_new(), DDS_TypeLibrary_delete);
    if (!plan.types) {
        err = "out of memory";
        return false;
    }
    for (const std::string &f : files)
        if (!index_file(ix, types ? nullptr : plan.types.get(), f, err))
            return false;
    if (!check_profiles(ix, err))
        return false;
    const std::string name = config_name.rfind("::", 0) == 0 ? config_name.substr(2) : config_name;
    if (!ix.participants.count(name)) {
        err = "participant configuration '" + config_name + "' not found in";
        for (const std::string &f : files)
            err += " " + f;
        // The names that exist, so that a typo is seen at once.
        err += ix.participants.empty() ? " (it has no participant configurations)" : "; it has";
        const char *separator = " ";
        for (const auto &entry : ix.participants) {
            err += separator + ("'" + entry.first + "'");
            separator = ", ";
        }
        return false;
    }
    plan.name = name;
    Builder b{ix, plan, err};
    const Named &n = ix.participants[name];
    return b.participant(name, n.e, n.file, 0);
}

} // namespace quelt::mw
