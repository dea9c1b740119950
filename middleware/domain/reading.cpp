// Reading: loans of samples from an engine into DDS_DynamicDataSeq, the instance keys a reader
// has seen (so that dispose and unregister notices show theirs), and the DynamicData sequences.
#include "domain/entities.h"

#include "dds/dds_log.h"

#include <algorithm>
#include <cstring>
#include <new>

using namespace quelt::mw;

namespace {

// Copies the key members of a sample (the rest is left alone).
void copy_key_members(const DDS_TypeCode *t, unsigned char *dst, const unsigned char *src)
{
    for (const Member &m : t->members)
        if (m.key)
            value_copy(m.rtype, dst + m.offset, src + m.offset);
}

enum class HandleKey { None, FromHash, FromPayload };

// The key of an instance no valid sample has shown: its handle is either our key hash of a short
// key, or (from other implementations' notices) the key-only payload itself.
HandleKey key_from_unknown_handle(const DDS_TypeCode *t, DDS_DynamicData *holder, const unsigned char handle[16])
{
    DDS_KeyHash_t kh;
    std::memcpy(kh.value, handle, 16);
    if (DDS_DynamicData_set_from_keyhash(holder, &kh) == DDS_RETCODE_OK)
        return HandleKey::FromHash;
    return cdr_key_from_short_payload(t, holder->p, handle) ? HandleKey::FromPayload : HandleKey::None;
}

// Remembers the key of every instance a valid sample shows, and shows it in samples that carry
// no data (dispose and unregister notices). True when it gave a notice its instance's own handle.
bool track_keys(DDS_DataReader *r, DDS_DynamicData *sample, DDS_SampleInfo &info)
{
    const DDS_TypeCode *t = sample ? sample->type : nullptr;
    if (!t || t->kind != DDS_TK_STRUCT || !t->keyed || !info.instance_handle.isValid)
        return false;
    std::array<unsigned char, 16> h;
    std::memcpy(h.data(), info.instance_handle.value, 16);
    std::lock_guard<std::mutex> g(r->keys.lock);
    auto it = r->keys.by_hash.find(h);
    if (info.valid_data) {
        if (it == r->keys.by_hash.end()) {
            DDS_DynamicData *k = DDS_DynamicData_new(t, nullptr);
            if (!k)
                return false;
            copy_key_members(t, k->p, sample->p);
            r->keys.by_hash.emplace(h, k);
        }
        return false;
    }
    // A notice's sample holds whatever the pool left in it: show the key and nothing else.
    value_fini(t, sample->p);
    value_init(t, sample->p);
    if (it != r->keys.by_hash.end()) {
        copy_key_members(t, sample->p, it->second->p);
        return false;
    }
    if (key_from_unknown_handle(t, sample, h.data()) != HandleKey::FromPayload)
        return false;
    // The engine filed this notice under its raw key payload: show the instance's own handle, and
    // remember its key under it.
    if (!instance_key_hash(t, sample->p, info.instance_handle.value))
        return false;
    std::memcpy(h.data(), info.instance_handle.value, 16);
    if (r->keys.by_hash.find(h) == r->keys.by_hash.end()) {
        if (DDS_DynamicData *k = DDS_DynamicData_new(t, nullptr)) {
            copy_key_members(t, k->p, sample->p);
            r->keys.by_hash.emplace(h, k);
        }
    }
    return true;
}

// A notice the engine filed under a separate instance comes back in its own place in the batch,
// maybe ahead of the data it follows, and that data shows the instance as still alive. Put each
// such notice after the last sample of its instance, and give those samples the notice's state.
void place_refiled_notices(DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos, const std::vector<DDS_Long> &refiled)
{
    const DDS_Long n = data->_length;
    for (size_t k = refiled.size(); k-- > 0;) {
        const DDS_Long i = refiled[k];
        const DDS_SampleInfo notice = *DDS_SampleInfoSeq_get_reference(infos, i);
        DDS_Long last = i;
        for (DDS_Long j = 0; j < n; ++j) {
            DDS_SampleInfo *o = DDS_SampleInfoSeq_get_reference(infos, j);
            if (j == i || !o->valid_data || std::memcmp(o->instance_handle.value, notice.instance_handle.value, 16))
                continue;
            o->instance_state = notice.instance_state;
            last = std::max(last, j);
        }
        DDS_DynamicData *sample = data->_contiguous_buffer[i];
        for (DDS_Long j = i; j < last; ++j) {
            data->_contiguous_buffer[j] = data->_contiguous_buffer[j + 1];
            *DDS_SampleInfoSeq_get_reference(infos, j) = *DDS_SampleInfoSeq_get_reference(infos, j + 1);
        }
        data->_contiguous_buffer[last] = sample;
        *DDS_SampleInfoSeq_get_reference(infos, last) = notice;
    }
}

// Once per reader: samples arrive that do not decode to its type (a peer with another version of
// the type, or not a sample at all). They are dropped.
void report_refusal(DDS_DataReader *r)
{
    if (r->refusal_logged.exchange(true))
        return;
    const std::string why = r->engine->last_refusal();
    QueltLog_error("DDS_DynamicDataReader_take", "reader '%s::%s': samples on '%s' do not fit '%s' (%s): both sides must use the same type; such samples are dropped",
                   r->subscriber->name.c_str(), r->name.c_str(), r->topic->plan->name.c_str(), r->topic->plan->type_name.c_str(),
                   why.empty() ? "not a sample of the type" : why.c_str());
}

DDS_ReturnCode_t loan_into(DDS_DataReader *r, DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos, DDS_Long max, DDS_SampleStateMask ss,
                           DDS_ViewStateMask vs, DDS_InstanceStateMask is, bool take)
{
    if (!r || !r->engine || !data || !infos)
        return DDS_RETCODE_BAD_PARAMETER;
    if (data->_loaned)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    auto *loan = static_cast<Loan *>(data->_loan_token);
    if (!loan) {
        loan = new (std::nothrow) Loan;
        if (!loan)
            return DDS_RETCODE_OUT_OF_RESOURCES;
        data->_loan_token = loan;
    }
    engine::Lent lent;
    DDS_ReturnCode_t rc;
    try {
        rc = r->engine->lend(loan->lent, max, ss, vs, is, take, infos, lent);
    } catch (...) {
        return DDS_RETCODE_ERROR;
    }
    if (rc != DDS_RETCODE_OK)
        return rc;
    const DDS_Long n = lent.count;
    // The sequence keeps its own array of pointers to the loaned samples.
    if (data->_maximum < n && !DDS_DynamicDataSeq_set_maximum(data, n)) {
        r->engine->give_back(*loan->lent);
        return DDS_RETCODE_OUT_OF_RESOURCES;
    }
    size_t notices = 0;
    std::vector<DDS_Long> refiled;
    DDS_Long kept = 0;
    for (DDS_Long k = 0; k < n; ++k) {
        auto *s = static_cast<DDS_DynamicData *>(lent.samples[k]);
        DDS_SampleInfo *info = DDS_SampleInfoSeq_get_reference(infos, k);
        if (info->valid_data && s && s->refused) {
            report_refusal(r);
            continue; // never data, not even invalid data: the payload is not a sample of our type
        }
        const DDS_Long i = kept++;
        if (i != k) {
            DDS_SampleInfo *to = DDS_SampleInfoSeq_get_reference(infos, i);
            *to = *info;
            info = to;
        }
        if (!info->valid_data || !s) {
            if (notices == loan->notices.size()) {
                DDS_DynamicData *key = DDS_DynamicData_new(r->topic->plan->type, nullptr);
                if (!key) {
                    r->engine->give_back(*loan->lent);
                    return DDS_RETCODE_OUT_OF_RESOURCES;
                }
                loan->notices.push_back(key);
            }
            s = loan->notices[notices++];
        }
        data->_contiguous_buffer[i] = s;
        if (track_keys(r, s, *info))
            refiled.push_back(i);
    }
    if (kept == 0) {
        r->engine->give_back(*loan->lent);
        DDS_SampleInfoSeq_set_length(infos, 0);
        data->_length = 0;
        return DDS_RETCODE_NO_DATA;
    }
    DDS_SampleInfoSeq_set_length(infos, kept);
    data->_length = kept;
    if (!refiled.empty())
        place_refiled_notices(data, infos, refiled);
    data->_loaned = DDS_BOOLEAN_TRUE;
    loan->reader = r;
    loan->info_seq = infos;
    std::lock_guard<std::mutex> g(r->loans_lock);
    r->loans.insert(data);
    return DDS_RETCODE_OK;
}

} // namespace

namespace quelt::mw {

Loan::~Loan()
{
    for (DDS_DynamicData *d : notices)
        DDS_DynamicData_delete(d);
}

KeyStore::~KeyStore()
{
    for (auto &kv : by_hash)
        DDS_DynamicData_delete(kv.second);
}

void return_all_loans(DDS_DataReader *r)
{
    std::set<DDS_DynamicDataSeq *> seqs;
    {
        std::lock_guard<std::mutex> g(r->loans_lock);
        seqs = r->loans;
    }
    for (DDS_DynamicDataSeq *s : seqs) {
        auto *loan = static_cast<Loan *>(s->_loan_token);
        if (loan && loan->info_seq)
            DDS_DynamicDataReader_return_loan(r, s, loan->info_seq);
    }
}

} // namespace quelt::mw

extern "C" {

DDS_DynamicDataReader *DDS_DynamicDataReader_narrow(DDS_DataReader *reader) { return reader && reader->engine ? reader : nullptr; }

DDS_ReturnCode_t DDS_DynamicDataReader_read(DDS_DynamicDataReader *self, DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos, DDS_Long max_samples,
                                            DDS_SampleStateMask sample_states, DDS_ViewStateMask view_states, DDS_InstanceStateMask instance_states)
{
    return loan_into(self, data, infos, max_samples, sample_states, view_states, instance_states, false);
}

DDS_ReturnCode_t DDS_DynamicDataReader_take(DDS_DynamicDataReader *self, DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos, DDS_Long max_samples,
                                            DDS_SampleStateMask sample_states, DDS_ViewStateMask view_states, DDS_InstanceStateMask instance_states)
{
    return loan_into(self, data, infos, max_samples, sample_states, view_states, instance_states, true);
}

DDS_ReturnCode_t DDS_DynamicDataReader_return_loan(DDS_DynamicDataReader *self, DDS_DynamicDataSeq *data, DDS_SampleInfoSeq *infos)
{
    if (!self || !data || !infos)
        return DDS_RETCODE_BAD_PARAMETER;
    auto *loan = static_cast<Loan *>(data->_loan_token);
    if (!data->_loaned || !loan)
        return DDS_RETCODE_OK;
    if (loan->reader != self || loan->info_seq != infos)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    DDS_ReturnCode_t r = DDS_RETCODE_OK;
    try {
        r = loan->lent ? self->engine->give_back(*loan->lent) : DDS_RETCODE_OK;
    } catch (...) {
        r = DDS_RETCODE_ERROR;
    }
    data->_length = 0;
    data->_loaned = DDS_BOOLEAN_FALSE;
    loan->reader = nullptr;
    DDS_SampleInfoSeq_set_length(infos, 0);
    std::lock_guard<std::mutex> g(self->loans_lock);
    self->loans.erase(data);
    return r;
}

DDS_ReturnCode_t DDS_DynamicDataReader_get_key_value(DDS_DynamicDataReader *self, DDS_DynamicData *key_holder, const DDS_InstanceHandle_t *handle)
{
    if (!self || !key_holder || !key_holder->p || !handle || !handle->isValid)
        return DDS_RETCODE_BAD_PARAMETER;
    const DDS_TypeCode *t = resolve(self->topic->plan->type);
    if (key_holder->type != t)
        return DDS_RETCODE_BAD_PARAMETER;
    std::array<unsigned char, 16> h;
    std::memcpy(h.data(), handle->value, 16);
    {
        std::lock_guard<std::mutex> g(self->keys.lock);
        auto it = self->keys.by_hash.find(h);
        if (it != self->keys.by_hash.end()) {
            copy_key_members(t, key_holder->p, it->second->p);
            return DDS_RETCODE_OK;
        }
    }
    return key_from_unknown_handle(t, key_holder, h.data()) != HandleKey::None ? DDS_RETCODE_OK : DDS_RETCODE_BAD_PARAMETER;
}

// ---- DynamicData sequences ----

DDS_Boolean DDS_DynamicDataSeq_initialize(DDS_DynamicDataSeq *self)
{
    if (!self)
        return DDS_BOOLEAN_FALSE;
    *self = DDS_DynamicDataSeq{nullptr, 0, 0, DDS_BOOLEAN_TRUE, DDS_BOOLEAN_FALSE, nullptr};
    return DDS_BOOLEAN_TRUE;
}

DDS_Boolean DDS_DynamicDataSeq_finalize(DDS_DynamicDataSeq *self)
{
    if (!self || self->_loaned)
        return DDS_BOOLEAN_FALSE;
    delete static_cast<Loan *>(self->_loan_token);
    std::free(self->_contiguous_buffer);
    *self = DDS_DynamicDataSeq{nullptr, 0, 0, DDS_BOOLEAN_TRUE, DDS_BOOLEAN_FALSE, nullptr};
    return DDS_BOOLEAN_TRUE;
}

DDS_Long DDS_DynamicDataSeq_get_length(const DDS_DynamicDataSeq *self) { return self ? self->_length : 0; }
DDS_Long DDS_DynamicDataSeq_get_maximum(const DDS_DynamicDataSeq *self) { return self ? self->_maximum : 0; }

DDS_DynamicData *DDS_DynamicDataSeq_get_reference(DDS_DynamicDataSeq *self, DDS_Long i)
{
    if (!self || i < 0 || i >= self->_length)
        return nullptr;
    return self->_contiguous_buffer[i];
}

DDS_Boolean DDS_DynamicDataSeq_set_maximum(DDS_DynamicDataSeq *self, DDS_Long max)
{
    if (!self || self->_loaned || max < 0)
        return DDS_BOOLEAN_FALSE;
    if (max == 0) {
        std::free(self->_contiguous_buffer);
        self->_contiguous_buffer = nullptr;
        self->_length = self->_maximum = 0;
        return DDS_BOOLEAN_TRUE;
    }
    auto *b = static_cast<DDS_DynamicData **>(std::realloc(self->_contiguous_buffer, sizeof(DDS_DynamicData *) * size_t(max)));
    if (!b)
        return DDS_BOOLEAN_FALSE;
    self->_contiguous_buffer = b;
    self->_maximum = max;
    if (self->_length > max)
        self->_length = max;
    return DDS_BOOLEAN_TRUE;
}

} // extern "C"
