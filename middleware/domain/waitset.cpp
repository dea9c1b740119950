// Status conditions and waitsets. A waitset sleeps until one of its conditions wakes it, then
// asks every condition for its trigger value.
#include "domain/entities.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include <sched.h>

using namespace quelt::mw;

namespace quelt::mw {

class WaitSetImpl {
  public:
    std::mutex lock;
    std::condition_variable cv;
    // Bumped by every wake, so a wake between check and sleep is not lost; read without the lock
    // while a wait spins.
    std::atomic<uint64_t> generation{0};
    // Set by a wait about to sleep, cleared by the first wake after it: a stream of samples
    // notifies a sleeping waiter once, and the wakes that follow until it sleeps again only count
    // (each notify is a system call, and a notify under the lock makes the woken thread block on
    // the lock again).
    std::atomic<bool> sleeping{false};
    std::vector<DDS_Condition *> conditions;
    uint32_t spin_us = 0; // the longest poll the participants of the conditions ask for
    int waits = 0;        // in progress; counted in each attached condition's watchers
    void count_waits(int delta)
    {
        waits += delta;
        for (DDS_Condition *c : conditions)
            c->watchers.fetch_add(delta);
    }
    void signal()
    {
        // Both sequentially consistent, as the waiter's store of sleeping and its load of the
        // generation: it sees this generation, or this sees it sleeping.
        generation.fetch_add(1);
        if (!sleeping.exchange(false))
            return;
        // Once the lock is ours, the waiter is in its wait, no longer between check and sleep.
        { std::lock_guard<std::mutex> g(lock); }
        cv.notify_all();
    }
};

} // namespace quelt::mw

namespace {

const DDS_DomainParticipant *participant_of(const DDS_Entity *e)
{
    using quelt::mw::EntityKind;
    switch (e->kind) {
    case EntityKind::Participant:
        return static_cast<const DDS_DomainParticipant *>(e);
    case EntityKind::Publisher:
        return static_cast<const DDS_Publisher *>(e)->participant;
    case EntityKind::Subscriber:
        return static_cast<const DDS_Subscriber *>(e)->participant;
    case EntityKind::Topic:
        return static_cast<const DDS_Topic *>(e)->participant;
    case EntityKind::Writer: {
        const auto *w = static_cast<const DDS_DataWriter *>(e);
        return w->publisher ? w->publisher->participant : nullptr;
    }
    case EntityKind::Reader: {
        const auto *r = static_cast<const DDS_DataReader *>(e);
        return r->subscriber ? r->subscriber->participant : nullptr;
    }
    }
    return nullptr;
}

uint32_t spin_of(const std::vector<DDS_Condition *> &conditions)
{
    uint32_t us = 0;
    for (const DDS_Condition *c : conditions)
        if (const auto *sc = dynamic_cast<const DDS_StatusCondition *>(c); sc && sc->owner)
            if (const DDS_DomainParticipant *p = participant_of(sc->owner))
                us = std::max(us, p->plan.wait_spin_us);
    return us;
}

// Polls for a wake for up to us microseconds (or until the deadline), and says whether one came.
// A sleeping thread takes longer than that to run again once woken, on a virtual machine most of
// all; the poll trades that CPU time for latency, and only where the configuration asks for it.
bool spin(const quelt::mw::WaitSetImpl &ws, uint32_t us, uint64_t gen, std::chrono::steady_clock::time_point deadline, bool infinite)
{
    if (us == 0)
        return false;
    auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    if (!infinite && deadline < end)
        end = deadline;
    for (unsigned i = 1;; ++i) {
        if (ws.generation.load(std::memory_order_acquire) != gen)
            return true;
        if ((i & 15) == 0) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            // Lets the thread that delivers the data run if it waits for this processor.
            sched_yield();
        }
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

} // namespace

struct DDS_WaitSet {
    quelt::mw::WaitSetImpl impl;
};

void DDS_Condition::wake()
{
    // Whatever wakes was made visible before this load, and a wait counts itself before it asks
    // the conditions (both sequentially consistent): it sees the change, or we see it counted.
    if (watchers.load() == 0)
        return;
    std::lock_guard<std::mutex> g(lock);
    for (WaitSetImpl *ws : waitsets)
        ws->signal();
}

bool DDS_StatusCondition::triggered() const
{
    const DDS_StatusMask mask = enabled.load();
    DDS_StatusMask active = owner->changed.load() & ~DDS_DATA_AVAILABLE_STATUS;
    if ((mask & DDS_DATA_AVAILABLE_STATUS) && owner->kind == EntityKind::Reader) {
        auto *r = static_cast<const DDS_DataReader *>(owner);
        if (r->engine && r->engine->has_unread())
            active |= DDS_DATA_AVAILABLE_STATUS;
    }
    return (active & mask) != 0;
}

extern "C" {

DDS_ReturnCode_t DDS_StatusCondition_set_enabled_statuses(DDS_StatusCondition *self, DDS_StatusMask mask)
{
    if (!self)
        return DDS_RETCODE_BAD_PARAMETER;
    self->enabled.store(mask);
    self->wake();
    return DDS_RETCODE_OK;
}

DDS_StatusMask DDS_StatusCondition_get_enabled_statuses(DDS_StatusCondition *self) { return self ? self->enabled.load() : 0; }

DDS_Condition *DDS_StatusCondition_as_condition(DDS_StatusCondition *self) { return self; }

DDS_Boolean DDS_Condition_get_trigger_value(DDS_Condition *self) { return self && self->triggered(); }

DDS_WaitSet *DDS_WaitSet_new(void) { return new (std::nothrow) DDS_WaitSet; }

DDS_ReturnCode_t DDS_WaitSet_delete(DDS_WaitSet *self)
{
    if (!self)
        return DDS_RETCODE_BAD_PARAMETER;
    std::vector<DDS_Condition *> conds;
    {
        std::lock_guard<std::mutex> g(self->impl.lock);
        conds = self->impl.conditions;
    }
    for (DDS_Condition *c : conds)
        DDS_WaitSet_detach_condition(self, c);
    delete self;
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_WaitSet_attach_condition(DDS_WaitSet *self, DDS_Condition *condition)
{
    if (!self || !condition)
        return DDS_RETCODE_BAD_PARAMETER;
    {
        std::lock_guard<std::mutex> g(condition->lock);
        condition->waitsets.insert(&self->impl);
    }
    {
        std::lock_guard<std::mutex> g(self->impl.lock);
        auto &v = self->impl.conditions;
        if (std::find(v.begin(), v.end(), condition) == v.end()) {
            v.push_back(condition);
            condition->watchers.fetch_add(self->impl.waits);
            self->impl.spin_us = spin_of(v);
        }
    }
    // A wait in progress looks at its conditions again.
    self->impl.signal();
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_WaitSet_detach_condition(DDS_WaitSet *self, DDS_Condition *condition)
{
    if (!self || !condition)
        return DDS_RETCODE_BAD_PARAMETER;
    {
        std::lock_guard<std::mutex> g(condition->lock);
        condition->waitsets.erase(&self->impl);
    }
    std::lock_guard<std::mutex> g(self->impl.lock);
    auto &v = self->impl.conditions;
    auto it = std::find(v.begin(), v.end(), condition);
    if (it == v.end())
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    condition->watchers.fetch_sub(self->impl.waits);
    v.erase(it);
    self->impl.spin_us = spin_of(v);
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_WaitSet_wait(DDS_WaitSet *self, DDS_ConditionSeq *active, const DDS_Duration_t *timeout)
{
    if (!self || !timeout)
        return DDS_RETCODE_BAD_PARAMETER;
    const bool infinite = timeout->sec == DDS_DURATION_INFINITE_SEC && timeout->nanosec == DDS_DURATION_INFINITE_NSEC;
    if (!infinite && (timeout->sec < 0 || timeout->nanosec >= 1000000000u))
        return DDS_RETCODE_BAD_PARAMETER;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(infinite ? 0 : timeout->sec) +
                          std::chrono::nanoseconds(infinite ? 0 : timeout->nanosec);
    WaitSetImpl &ws = self->impl;
    {
        std::lock_guard<std::mutex> g(ws.lock);
        ws.count_waits(1);
    }
    struct Uncount {
        WaitSetImpl &ws;
        ~Uncount()
        {
            std::lock_guard<std::mutex> g(ws.lock);
            ws.count_waits(-1);
        }
    } uncount{ws};
    for (;;) {
        // Conditions are evaluated without the waitset's lock: asking a reader for its unread
        // count takes the engine's history lock, which an engine may hold while it wakes us.
        uint64_t gen;
        uint32_t spin_us;
        std::vector<DDS_Condition *> conds;
        {
            std::lock_guard<std::mutex> g(ws.lock);
            gen = ws.generation;
            spin_us = ws.spin_us;
            conds = ws.conditions;
        }
        std::vector<DDS_Condition *> hit;
        for (DDS_Condition *c : conds)
            if (c->triggered())
                hit.push_back(c);
        if (!hit.empty()) {
            if (active) {
                const auto n = static_cast<DDS_Long>(hit.size());
                if (DDS_ConditionSeq_ensure_length(active, n, n))
                    for (DDS_Long i = 0; i < n; ++i)
                        *DDS_ConditionSeq_get_reference(active, i) = hit[i];
            }
            return DDS_RETCODE_OK;
        }
        if (spin(ws, spin_us, gen, deadline, infinite))
            continue;
        std::unique_lock<std::mutex> g(ws.lock);
        bool timed_out = false;
        // Armed again before every sleep: a wake that counted in gen may still clear the flag,
        // but it notifies, and the flag is set again before this sleeps once more.
        while (!timed_out) {
            ws.sleeping.store(true);
            if (ws.generation != gen)
                break;
            if (infinite)
                ws.cv.wait(g);
            else
                timed_out = ws.cv.wait_until(g, deadline) == std::cv_status::timeout && ws.generation == gen;
        }
        if (timed_out) {
            if (active)
                DDS_ConditionSeq_set_length(active, 0);
            return DDS_RETCODE_TIMEOUT;
        }
    }
}

} // extern "C"
