#include "calls.h"

#include "sertype.h"

#include <dds/dds.h>
#include <dds/ddsrt/time.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <algorithm>
#include <thread>

namespace quelt::mw::cyclone {
namespace {

std::string error_text(dds_return_t rc) { return dds_strretcode(rc); }

dds_duration_t dur(int64_t ns) { return ns == kInfinite ? DDS_INFINITY : ns; }

dds_qos_t *make_qos(const EndpointQos &q, bool writer)
{
    dds_qos_t *qos = dds_create_qos();
    dds_qset_reliability(qos, q.reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT, dur(q.max_blocking_ns));
    static const dds_durability_kind_t durability[] = {DDS_DURABILITY_VOLATILE, DDS_DURABILITY_TRANSIENT_LOCAL, DDS_DURABILITY_TRANSIENT,
                                                       DDS_DURABILITY_PERSISTENT};
    dds_qset_durability(qos, durability[q.durability & 3]);
    dds_qset_history(qos, q.keep_all ? DDS_HISTORY_KEEP_ALL : DDS_HISTORY_KEEP_LAST, q.depth);
    dds_qset_resource_limits(qos, q.max_samples, q.max_instances, q.max_samples_per_instance);
    dds_qset_deadline(qos, dur(q.deadline_ns));
    dds_qset_latency_budget(qos, dur(q.latency_budget_ns));
    static const dds_liveliness_kind_t liveliness[] = {DDS_LIVELINESS_AUTOMATIC, DDS_LIVELINESS_MANUAL_BY_PARTICIPANT,
                                                       DDS_LIVELINESS_MANUAL_BY_TOPIC};
    dds_qset_liveliness(qos, liveliness[q.liveliness % 3], dur(q.lease_ns));
    dds_qset_ownership(qos, q.exclusive ? DDS_OWNERSHIP_EXCLUSIVE : DDS_OWNERSHIP_SHARED);
    dds_qset_destination_order(qos, q.by_source_timestamp ? DDS_DESTINATIONORDER_BY_SOURCE_TIMESTAMP : DDS_DESTINATIONORDER_BY_RECEPTION_TIMESTAMP);
    if (!q.name.empty())
        dds_qset_entity_name(qos, q.name.c_str());
    if (writer) {
        dds_qset_ownership_strength(qos, q.strength);
        dds_qset_lifespan(qos, dur(q.lifespan_ns));
        const dds_data_representation_id_t rep = q.xcdr2 ? DDS_DATA_REPRESENTATION_XCDR2 : DDS_DATA_REPRESENTATION_XCDR1;
        dds_qset_data_representation(qos, 1, &rep);
        // Cyclone readers dispose the instances of a lost writer that disposes what it
        // unregisters, where the standard leaves them without writers: ours dispose in
        // unregister themselves.
        dds_qset_writer_data_lifecycle(qos, false);
    } else {
        dds_qset_time_based_filter(qos, q.minimum_separation_ns);
        dds_data_representation_id_t reps[2];
        uint32_t n = 0;
        if (q.accept_xcdr1)
            reps[n++] = DDS_DATA_REPRESENTATION_XCDR1;
        if (q.accept_xcdr2)
            reps[n++] = DDS_DATA_REPRESENTATION_XCDR2;
        dds_qset_data_representation(qos, n, reps);
    }
    return qos;
}

// Partitions belong to the publisher or subscriber in Cyclone, as in the standard.
dds_qos_t *group_qos(const EndpointQos &q)
{
    dds_qos_t *qos = dds_create_qos();
    if (!q.partitions.empty()) {
        std::vector<const char *> names;
        for (const auto &p : q.partitions)
            names.push_back(p.c_str());
        dds_qset_partition(qos, static_cast<uint32_t>(names.size()), names.data());
    }
    return qos;
}

// Cyclone's policy ids follow the standard's to 22; the representation is 25 there, 23 here.
int32_t policy_id(uint32_t id) { return id <= 22 ? int32_t(id) : id == 25 ? 23 : 0; }

uint32_t our_states(uint32_t s, uint32_t first) { return s == first ? 1 : s == first * 2 ? 2 : 4; }

// Our masks (1, 2, 4; 0xffff: any) to Cyclone's state mask bits.
uint32_t cyclone_mask(uint32_t ss, uint32_t vs, uint32_t is)
{
    uint32_t m = 0;
    if (ss & 1)
        m |= DDS_READ_SAMPLE_STATE;
    if (ss & 2)
        m |= DDS_NOT_READ_SAMPLE_STATE;
    if (vs & 1)
        m |= DDS_NEW_VIEW_STATE;
    if (vs & 2)
        m |= DDS_NOT_NEW_VIEW_STATE;
    if (is & 1)
        m |= DDS_ALIVE_INSTANCE_STATE;
    if (is & 2)
        m |= DDS_NOT_ALIVE_DISPOSED_INSTANCE_STATE;
    if (is & 4)
        m |= DDS_NOT_ALIVE_NO_WRITERS_INSTANCE_STATE;
    return m;
}

// ---- batching. Cyclone 0.10's switch (dds_write_set_batch) is process-wide, but a writer takes
// its value when it is created: each of our writers is created with the switch set to its own
// setting, so an unbatched writer sends each sample at once with no flush, whatever the process
// or the domain's configuration says. A batched writer sends when a packet fills or it blocks
// on acknowledgements; else a thread flushes it half a millisecond after its first unsent write.
std::mutex g_create_writer_lock; // the switch and the creation it applies to go together

dds_entity_t create_writer(dds_entity_t pub, dds_entity_t topic, const dds_qos_t *qos, const dds_listener_t *l, bool batching)
{
    std::lock_guard<std::mutex> g(g_create_writer_lock);
    dds_write_set_batch(batching);
    const dds_entity_t w = dds_create_writer(pub, topic, qos, l);
    if (batching)
        dds_write_set_batch(false);
    return w;
}

} // namespace

struct Writer::FlushSlot {
    dds_entity_t writer = 0;
    std::atomic<bool> pending{false}; // written since the last flush
};

namespace {

class Flusher {
  public:
    using Slot = Writer::FlushSlot;
    static Flusher &instance()
    {
        static Flusher f;
        return f;
    }
    std::shared_ptr<Slot> add(dds_entity_t w)
    {
        auto slot = std::make_shared<Slot>();
        slot->writer = w;
        std::lock_guard<std::mutex> g(lock_);
        slots_.push_back(slot);
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
        return slot;
    }
    void remove(const std::shared_ptr<Slot> &slot)
    {
        std::lock_guard<std::mutex> g(lock_);
        slots_.erase(std::remove(slots_.begin(), slots_.end(), slot), slots_.end());
    }
    // After each write: one atomic operation, and a wake-up only for the first write of a batch.
    void wrote(Slot &slot)
    {
        if (slot.pending.exchange(true, std::memory_order_acq_rel))
            return;
        std::lock_guard<std::mutex> g(lock_);
        ++wakes_;
        cv_.notify_one();
    }
    ~Flusher()
    {
        {
            std::lock_guard<std::mutex> g(lock_);
            stop_ = true;
            cv_.notify_one();
        }
        if (thread_.joinable())
            thread_.join();
    }

  private:
    void run()
    {
        std::unique_lock<std::mutex> g(lock_);
        uint64_t seen = 0;
        while (!stop_) {
            cv_.wait(g, [&] { return stop_ || wakes_ != seen; });
            seen = wakes_;
            // Let the batch fill for half a millisecond, then send what it holds.
            cv_.wait_for(g, std::chrono::microseconds(500), [&] { return stop_; });
            const std::vector<std::shared_ptr<Slot>> slots = slots_;
            g.unlock();
            // A write that comes after a slot's exchange wakes us again.
            for (const auto &s : slots)
                if (s->pending.exchange(false, std::memory_order_acq_rel))
                    dds_write_flush(s->writer);
            g.lock();
        }
    }
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<std::shared_ptr<Slot>> slots_;
    uint64_t wakes_ = 0;
    std::thread thread_;
    bool stop_ = false;
};

void copy_guid(const dds_guid_t &g, unsigned char out[16]) { std::memcpy(out, g.v, 16); }

} // namespace

// ---------------------------------------------------------------- participant

namespace {

// The domains this process configured: Cyclone keeps one configuration per domain and process.
struct Domain {
    std::string config;
    dds_entity_t handle = 0; // when we created it with a configuration of our own
    int participants = 0;
};
std::mutex g_domains_lock;
std::map<int32_t, Domain> g_domains;

std::string domain_config(const std::string &config, const std::string &interface, uint32_t socket_buffer_size)
{
    std::string own;
    if (!interface.empty()) {
        const bool address = interface.find_first_not_of("0123456789.:abcdefABCDEF") == std::string::npos && interface.find_first_of(".:") != std::string::npos;
        own += "<General><Interfaces><NetworkInterface " + std::string(address ? "address" : "name") + "=\"" + interface +
               "\"/></Interfaces></General>";
    }
    if (socket_buffer_size) {
        const std::string n = std::to_string(socket_buffer_size) + "B";
        own += "<Internal><SocketReceiveBufferSize max=\"" + n + "\"/><SocketSendBufferSize max=\"" + n + "\"/></Internal>";
    }
    if (own.empty())
        return config;
    // Later sources override earlier ones: our settings come after the user's configuration.
    own = "<CycloneDDS><Domain id=\"any\">" + own + "</Domain></CycloneDDS>";
    return config.empty() ? own : config + "," + own;
}

} // namespace

std::unique_ptr<Participant> Participant::create(int32_t domain, const std::string &config, const std::string &interface,
                                                 uint32_t socket_buffer_size, int64_t lease_ns, std::string &err)
{
    const std::string wanted = domain_config(config, interface, socket_buffer_size);
    std::lock_guard<std::mutex> g(g_domains_lock);
    Domain &d = g_domains[domain];
    if (d.participants == 0) {
        d.config = wanted;
        if (!wanted.empty()) {
            d.handle = dds_create_domain(static_cast<dds_domainid_t>(domain), wanted.c_str());
            if (d.handle < 0) {
                err = "Cyclone DDS refused the configuration of domain " + std::to_string(domain) + ": " + error_text(d.handle);
                g_domains.erase(domain);
                return nullptr;
            }
        }
    } else if (d.config != wanted) {
        err = "Cyclone DDS already runs domain " + std::to_string(domain) +
              " in this process with other settings: participants of one domain in one process share its <cyclone_transport>";
        return nullptr;
    }
    dds_qos_t *qos = nullptr;
    if (lease_ns != kInfinite) {
        qos = dds_create_qos();
        dds_qset_liveliness(qos, DDS_LIVELINESS_AUTOMATIC, lease_ns);
    }
    const dds_entity_t h = dds_create_participant(static_cast<dds_domainid_t>(domain), qos, nullptr);
    if (qos)
        dds_delete_qos(qos);
    if (h < 0) {
        err = "Cyclone DDS could not create a participant on domain " + std::to_string(domain) + ": " + error_text(h);
        if (d.participants == 0) {
            if (d.handle > 0)
                dds_delete(d.handle);
            g_domains.erase(domain);
        }
        return nullptr;
    }
    ++d.participants;
    auto p = std::unique_ptr<Participant>(new Participant);
    p->handle_ = h;
    p->domain_ = domain;
    return p;
}

Participant::~Participant()
{
    if (handle_ <= 0)
        return;
    dds_delete(handle_);
    std::lock_guard<std::mutex> g(g_domains_lock);
    auto it = g_domains.find(domain_);
    if (it != g_domains.end() && --it->second.participants == 0) {
        if (it->second.handle > 0)
            dds_delete(it->second.handle);
        g_domains.erase(it);
    }
}

void Participant::delete_contained()
{
    dds_entity_t children[256];
    for (;;) {
        const dds_return_t n = dds_get_children(handle_, children, 256);
        if (n <= 0)
            break;
        for (dds_return_t i = 0; i < n && i < 256; ++i)
            dds_delete(children[i]);
    }
    topics_.clear();
    topic_types_.clear();
}

int32_t Participant::topic(const std::string &name, const std::string &type_name, const DDS_TypeCode *type, std::string &err)
{
    auto it = topics_.find(name);
    if (it != topics_.end())
        return it->second;
    ddsi_sertype *st = make_sertype(type_name, name, type, CdrVersion::Xcdr1);
    if (!st) {
        err = "type '" + type_name + "' is not a struct or union";
        return -1;
    }
    const dds_entity_t t = dds_create_topic_sertype(handle_, name.c_str(), &st, nullptr, nullptr, nullptr);
    if (t < 0) {
        err = "Cyclone DDS could not create topic '" + name + "': " + error_text(t);
        ddsi_sertype_unref(st);
        return -1;
    }
    topics_[name] = t;
    topic_types_[t] = st;
    return t;
}

const ddsi_sertype *Participant::topic_type(int32_t topic) const
{
    const auto it = topic_types_.find(topic);
    return it == topic_types_.end() ? nullptr : it->second;
}

// ---------------------------------------------------------------- writer

struct Writer::Listener {
    Writer *w;
    dds_listener_t *l = nullptr;
};

namespace {

void put_handle(dds_entity_t e, dds_instance_handle_t h, bool publication, unsigned char out[16])
{
    // The remote endpoint's GUID, while it is still known.
    dds_builtintopic_endpoint_t *d = publication ? dds_get_matched_publication_data(e, h) : dds_get_matched_subscription_data(e, h);
    if (d) {
        std::memcpy(out, d->key.v, 16);
        dds_builtintopic_free_endpoint(d);
    } else {
        std::memcpy(out, &h, sizeof h);
    }
}

template <typename S> EventCounts counts(const S &s)
{
    EventCounts c;
    c.total = int32_t(s.total_count);
    c.total_change = s.total_count_change;
    return c;
}

} // namespace

std::unique_ptr<Writer> Writer::create(Participant &p, int32_t topic, const EndpointQos &q, EventSink sink, std::string &err)
{
    dds_qos_t *gq = group_qos(q);
    const dds_entity_t pub = dds_create_publisher(p.handle(), gq, nullptr);
    dds_delete_qos(gq);
    if (pub < 0) {
        err = "Cyclone DDS could not create a publisher: " + error_text(pub);
        return nullptr;
    }
    auto w = std::unique_ptr<Writer>(new Writer);
    w->sink_ = std::move(sink);
    w->batching_ = q.batching;
    w->listener_ = std::make_unique<Listener>();
    w->listener_->w = w.get();
    dds_listener_t *l = dds_create_listener(w->listener_.get());
    dds_lset_publication_matched(l, [](dds_entity_t e, const dds_publication_matched_status_t s, void *arg) {
        auto *self = static_cast<Listener *>(arg)->w;
        EventCounts c = counts(s);
        c.current = int32_t(s.current_count);
        c.current_change = s.current_count_change;
        put_handle(e, s.last_subscription_handle, false, c.handle);
        self->sink_(Event::PublicationMatched, c);
    });
    dds_lset_offered_deadline_missed(l, [](dds_entity_t, const dds_offered_deadline_missed_status_t s, void *arg) {
        static_cast<Listener *>(arg)->w->sink_(Event::OfferedDeadlineMissed, counts(s));
    });
    dds_lset_offered_incompatible_qos(l, [](dds_entity_t, const dds_offered_incompatible_qos_status_t s, void *arg) {
        EventCounts c = counts(s);
        c.last_policy_id = policy_id(s.last_policy_id);
        static_cast<Listener *>(arg)->w->sink_(Event::OfferedIncompatibleQos, c);
    });
    dds_lset_liveliness_lost(l, [](dds_entity_t, const dds_liveliness_lost_status_t s, void *arg) {
        static_cast<Listener *>(arg)->w->sink_(Event::LivelinessLost, counts(s));
    });
    w->listener_->l = l;
    dds_qos_t *qos = make_qos(q, true);
    w->handle_ = create_writer(pub, topic, qos, l, w->batching_);
    dds_delete_qos(qos);
    if (w->handle_ < 0) {
        err = "Cyclone DDS could not create the writer: " + error_text(w->handle_);
        dds_delete(pub);
        w->handle_ = 0;
        return nullptr;
    }
    if (w->batching_)
        w->flush_ = Flusher::instance().add(w->handle_);
    return w;
}

Writer::~Writer()
{
    if (handle_ > 0) {
        if (flush_) {
            Flusher::instance().remove(flush_);
            dds_write_flush(handle_); // what the last writes left in the batch goes out first
        }
        const dds_entity_t pub = dds_get_parent(handle_);
        dds_delete(handle_);
        if (pub > 0)
            dds_delete(pub);
    }
    if (listener_ && listener_->l)
        dds_delete_listener(listener_->l);
}

namespace {

dds_time_t stamp(int64_t ns) { return ns < 0 ? dds_time() : ns; }

} // namespace

int Writer::done(int rc, std::string &err)
{
    if (rc < 0) {
        err = error_text(rc);
        return rc;
    }
    if (flush_)
        Flusher::instance().wrote(*flush_);
    return 0;
}

int Writer::write(const DDS_DynamicData *sample, int64_t source_ns, std::string &err)
{
    return done(dds_write_ts(handle_, sample, stamp(source_ns)), err);
}

int Writer::dispose(const DDS_DynamicData *sample, int64_t source_ns, std::string &err)
{
    return done(dds_dispose_ts(handle_, sample, stamp(source_ns)), err);
}

int Writer::unregister(const DDS_DynamicData *sample, int64_t source_ns, std::string &err)
{
    // Unregistering disposes as well, the standard's default for writers.
    const dds_time_t t = stamp(source_ns);
    dds_return_t rc = dds_dispose_ts(handle_, sample, t);
    if (rc == DDS_RETCODE_OK)
        rc = dds_unregister_instance_ts(handle_, sample, t);
    return done(rc, err);
}

int Writer::wait_for_acknowledgments(int64_t timeout_ns)
{
    if (flush_)
        dds_write_flush(handle_);
    return dds_wait_for_acks(handle_, dur(timeout_ns));
}

EventCounts Writer::matched() const
{
    dds_publication_matched_status_t s{};
    dds_get_publication_matched_status(handle_, &s);
    EventCounts c = counts(s);
    c.current = int32_t(s.current_count);
    c.current_change = s.current_count_change;
    return c;
}

void Writer::guid(unsigned char out[16]) const
{
    dds_guid_t g;
    if (dds_get_guid(handle_, &g) == DDS_RETCODE_OK)
        copy_guid(g, out);
}

// ---------------------------------------------------------------- reader

struct Reader::Listener {
    Reader *r;
    dds_listener_t *l = nullptr;
};

std::unique_ptr<Reader> Reader::create(Participant &p, int32_t topic, const EndpointQos &q, EventSink sink, std::string &err)
{
    const ddsi_sertype *type = p.topic_type(topic);
    if (!type) {
        err = "Cyclone DDS reader of a topic its participant does not have";
        return nullptr;
    }
    dds_qos_t *gq = group_qos(q);
    const dds_entity_t sub = dds_create_subscriber(p.handle(), gq, nullptr);
    dds_delete_qos(gq);
    if (sub < 0) {
        err = "Cyclone DDS could not create a subscriber: " + error_text(sub);
        return nullptr;
    }
    auto r = std::unique_ptr<Reader>(new Reader);
    r->type_ = type;
    r->sink_ = std::move(sink);
    r->listener_ = std::make_unique<Listener>();
    r->listener_->r = r.get();
    dds_listener_t *l = dds_create_listener(r->listener_.get());
    dds_lset_data_available(l, [](dds_entity_t, void *arg) { static_cast<Listener *>(arg)->r->sink_(Event::DataAvailable, EventCounts{}); });
    dds_lset_subscription_matched(l, [](dds_entity_t, const dds_subscription_matched_status_t s, void *arg) {
        Reader *self = static_cast<Listener *>(arg)->r;
        EventCounts c = counts(s);
        c.current = int32_t(s.current_count);
        c.current_change = s.current_count_change;
        self->writer_guid(s.last_publication_handle, c.handle);
        self->sink_(Event::SubscriptionMatched, c);
    });
    dds_lset_requested_deadline_missed(l, [](dds_entity_t, const dds_requested_deadline_missed_status_t s, void *arg) {
        static_cast<Listener *>(arg)->r->sink_(Event::RequestedDeadlineMissed, counts(s));
    });
    dds_lset_requested_incompatible_qos(l, [](dds_entity_t, const dds_requested_incompatible_qos_status_t s, void *arg) {
        EventCounts c = counts(s);
        c.last_policy_id = policy_id(s.last_policy_id);
        static_cast<Listener *>(arg)->r->sink_(Event::RequestedIncompatibleQos, c);
    });
    dds_lset_sample_rejected(l, [](dds_entity_t, const dds_sample_rejected_status_t s, void *arg) {
        EventCounts c = counts(s);
        c.last_reason = int32_t(s.last_reason);
        static_cast<Listener *>(arg)->r->sink_(Event::SampleRejected, c);
    });
    dds_lset_sample_lost(l, [](dds_entity_t, const dds_sample_lost_status_t s, void *arg) {
        static_cast<Listener *>(arg)->r->sink_(Event::SampleLost, counts(s));
    });
    dds_lset_liveliness_changed(l, [](dds_entity_t, const dds_liveliness_changed_status_t s, void *arg) {
        Reader *self = static_cast<Listener *>(arg)->r;
        EventCounts c;
        c.current = int32_t(s.alive_count);
        c.current_change = s.alive_count_change;
        c.not_alive = int32_t(s.not_alive_count);
        c.not_alive_change = s.not_alive_count_change;
        self->writer_guid(s.last_publication_handle, c.handle);
        self->sink_(Event::LivelinessChanged, c);
    });
    r->listener_->l = l;
    dds_qos_t *qos = make_qos(q, false);
    r->handle_ = dds_create_reader(sub, topic, qos, l);
    dds_delete_qos(qos);
    if (r->handle_ < 0) {
        err = "Cyclone DDS could not create the reader: " + error_text(r->handle_);
        dds_delete(sub);
        r->handle_ = 0;
        return nullptr;
    }
    r->unread_ = dds_create_readcondition(r->handle_, DDS_NOT_READ_SAMPLE_STATE | DDS_ANY_VIEW_STATE | DDS_ANY_INSTANCE_STATE);
    return r;
}

Reader::~Reader()
{
    if (handle_ > 0) {
        const dds_entity_t sub = dds_get_parent(handle_);
        dds_delete(handle_);
        if (sub > 0)
            dds_delete(sub);
    }
    if (listener_ && listener_->l)
        dds_delete_listener(listener_->l);
}

bool Reader::writer_guid(uint64_t handle, unsigned char out[16])
{
    {
        std::lock_guard<std::mutex> g(guids_lock_);
        auto it = guids_.find(handle);
        if (it != guids_.end()) {
            std::memcpy(out, it->second.data(), 16);
            return true;
        }
    }
    dds_builtintopic_endpoint_t *d = dds_get_matched_publication_data(handle_, handle);
    if (!d)
        return false;
    std::array<unsigned char, 16> g;
    std::memcpy(g.data(), d->key.v, 16);
    dds_builtintopic_free_endpoint(d);
    std::memcpy(out, g.data(), 16);
    std::lock_guard<std::mutex> lk(guids_lock_);
    guids_[handle] = g;
    return true;
}

int Reader::fetch(bool take, int32_t max, uint32_t ss, uint32_t vs, uint32_t is, const std::function<DDS_DynamicData *(int)> &value,
                  std::vector<SampleMeta> &metas)
{
    constexpr int kBatch = 64;
    std::vector<ddsi_serdata *> buf;
    std::vector<dds_sample_info_t> si;
    int done = 0;
    metas.clear();
    const auto left = [&] { return max < 0 ? INT32_MAX : max - done; };
    // A stream's samples mostly come from one writer: its GUID once per call, not per sample.
    uint64_t last_writer = 0;
    bool last_known = false;
    unsigned char last_guid[16] = {};
    const auto call = [&](uint32_t mask, int want) {
        buf.resize(size_t(want)), si.resize(size_t(want));
        return take ? dds_takecdr(handle_, buf.data(), uint32_t(want), si.data(), mask)
                    : dds_readcdr(handle_, buf.data(), uint32_t(want), si.data(), mask);
    };
    const auto keep = [&](int n) {
        for (int i = 0; i < n; ++i) {
            SampleMeta m;
            m.sample_state = our_states(si[i].sample_state, DDS_SST_READ);
            m.view_state = our_states(si[i].view_state, DDS_VST_NEW);
            m.instance_state = our_states(si[i].instance_state, DDS_IST_ALIVE);
            m.valid = si[i].valid_data;
            m.source_ns = si[i].source_timestamp;
            const auto *d = reinterpret_cast<const Serdata *>(buf[i]);
            m.reception_ns = d->received_ns;
            m.keyed = sertype_keyed(type_);
            std::memcpy(m.instance, d->keyhash, 16);
            if (si[i].publication_handle != last_writer || last_writer == 0) {
                last_writer = si[i].publication_handle;
                last_known = writer_guid(last_writer, last_guid);
            }
            m.writer_known = last_known;
            std::memcpy(m.writer_guid, last_guid, 16);
            m.disposed_generation_count = int32_t(si[i].disposed_generation_count);
            m.no_writers_generation_count = int32_t(si[i].no_writers_generation_count);
            m.sample_rank = int32_t(si[i].sample_rank);
            m.generation_rank = int32_t(si[i].generation_rank);
            m.absolute_generation_rank = int32_t(si[i].absolute_generation_rank);
            DDS_DynamicData *out = value(done + i);
            m.has_value = out && serdata_value(type_, buf[i], out);
            metas.push_back(m);
            ddsi_serdata_unref(buf[i]);
        }
        done += n;
    };
    // A read hands out the samples read before unchanged each time: they come in one call, its
    // buffer grown until they fit. The others, and every take, come in batches, each of which
    // marks its samples read or removes them, so that the next call finds the rest.
    if (!take && (ss & 1)) {
        for (int want = std::min(kBatch, left());; want = int(std::min<int64_t>(int64_t(want) * 4, left()))) {
            const int n = call(cyclone_mask(1, vs, is), want);
            if (n < 0)
                return n;
            if (n < want || want == left()) {
                keep(n);
                break;
            }
            for (int i = 0; i < n; ++i)
                ddsi_serdata_unref(buf[i]);
        }
    }
    const uint32_t rest = take ? ss : ss & 2;
    while (rest && left() > 0) {
        const int want = std::min(kBatch, left());
        const int n = call(cyclone_mask(rest, vs, is), want);
        if (n < 0)
            return done ? done : n;
        keep(n);
        if (n < want)
            break;
    }
    return done;
}

EventCounts Reader::matched() const
{
    dds_subscription_matched_status_t s{};
    dds_get_subscription_matched_status(handle_, &s);
    EventCounts c = counts(s);
    c.current = int32_t(s.current_count);
    c.current_change = s.current_count_change;
    return c;
}

bool Reader::has_unread() const
{
    return unread_ > 0 && dds_triggered(unread_) > 0;
}

} // namespace quelt::mw::cyclone
