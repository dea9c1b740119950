#include "sertype.h"

#include "block_pool.h"

#include "dds/dds_log.h"
#include "types/dynamicdata_impl.h"

#include <dds/ddsi/q_radmin.h>
#include <dds/ddsrt/heap.h>
#include <dds/ddsrt/md5.h>
#include <dds/ddsrt/mh3.h>

#include <fastcdr/Cdr.h>
#include <fastcdr/FastBuffer.h>

#include <cstring>
#include <new>

namespace quelt::mw::cyclone {
namespace {

namespace fc = eprosima::fastcdr;

const Sertype *st(const ddsi_sertype *t) { return reinterpret_cast<const Sertype *>(t); }
Serdata *sd(ddsi_serdata *d) { return reinterpret_cast<Serdata *>(d); }
const Serdata *sd(const ddsi_serdata *d) { return reinterpret_cast<const Serdata *>(d); }

// ---------------------------------------------------------------- key hash

bool same_key(const DDS_TypeCode *t, const unsigned char *a, const unsigned char *b)
{
    for (const Member &m : t->members)
        if (m.key && !value_equal(m.rtype, a + m.offset, b + m.offset))
            return false;
    return true;
}

bool key_hash(const Sertype *t, Sertype::KeyMemo &memo, const DDS_DynamicData *value, unsigned char out[16])
{
    std::lock_guard<std::mutex> g(memo.lock);
    if (memo.key && same_key(t->type, memo.key->p, value->p)) {
        std::memcpy(out, memo.hash, 16);
        return true;
    }
    if (!cdr_key_hash(t->type, value->p, out))
        return false;
    if (!memo.key)
        memo.key = DDS_DynamicData_new(t->type, nullptr);
    if (memo.key && memo.key->p) {
        for (const Member &m : t->type->members)
            if (m.key)
                value_copy(m.rtype, memo.key->p + m.offset, value->p + m.offset);
        std::memcpy(memo.hash, out, 16);
    }
    return true;
}

// ---------------------------------------------------------------- serdata

// received: a sample that came in, whose loss only this can say (a write that fails says so).
Serdata *new_serdata(const ddsi_sertype *type, ddsi_serdata_kind kind, uint32_t size, bool received)
{
    // Cyclone sends a payload padded to a multiple of 4 bytes, reading the padding from us.
    const uint32_t padded = (size + 3) & ~3u;
    uint8_t size_class;
    void *mem = block_alloc(sizeof(Serdata) + padded, size_class);
    if (!mem) {
        // Cyclone drops a sample whose serdata cannot be made.
        if (received)
            QueltLog_error("DDS_DynamicDataReader_take", "no memory for a sample of %u bytes on '%s': it is dropped", unsigned(size),
                           st(type)->topic.c_str());
        return nullptr;
    }
    auto *d = new (mem) Serdata;
    d->size_class = size_class;
    ddsi_serdata_init(&d->c, type, kind);
    d->size = size;
    d->data = reinterpret_cast<unsigned char *>(d + 1);
    std::memset(d->data + size, 0, padded - size);
    std::memset(d->keyhash, 0, sizeof d->keyhash);
    return d;
}

void set_hash(Serdata *d, const Sertype *t)
{
    d->c.hash = t->keyed ? ddsrt_mh3(d->keyhash, sizeof d->keyhash, 0) ^ t->c.serdata_basehash : t->c.serdata_basehash;
}

void serdata_free(ddsi_serdata *dcmn)
{
    Serdata *d = sd(dcmn);
    if (d->value)
        DDS_DynamicData_delete(d->value);
    const uint8_t size_class = d->size_class;
    d->~Serdata();
    block_free(d, size_class);
}

uint32_t serdata_size(const ddsi_serdata *d) { return sd(d)->size; }

bool serdata_eqkey(const ddsi_serdata *a, const ddsi_serdata *b)
{
    return std::memcmp(sd(a)->keyhash, sd(b)->keyhash, 16) == 0;
}

// Decodes a payload (header + body) into value; the key alone for a notice.
bool decode(const Sertype *t, const unsigned char *data, uint32_t size, bool key_only, DDS_DynamicData *value, std::string *why)
{
    fc::FastBuffer buffer(reinterpret_cast<char *>(const_cast<unsigned char *>(data)), size);
    fc::Cdr cdr(buffer, fc::Cdr::LITTLE_ENDIANNESS, fc::Cdr::DDS_CDR);
    CdrVersion v;
    return cdr_read_header(cdr, v, t->type, why) && cdr_deserialize(t->type, value->p, cdr, size, key_only, v, why);
}

// A received payload: kept as it came, checked against the type by decoding it once, and keyed.
ddsi_serdata *from_payload(const ddsi_sertype *tcmn, ddsi_serdata_kind kind, Serdata *d)
{
    const Sertype *t = st(tcmn);
    d->received_ns = dds_time();
    std::string why;
    bool fits = false;
    {
        std::lock_guard<std::mutex> g(t->scratch.lock);
        if (!t->scratch.value)
            t->scratch.value = DDS_DynamicData_new(t->type, nullptr);
        fits = t->scratch.value && decode(t, d->data, d->size, kind == SDK_KEY, t->scratch.value, &why) &&
               (!t->keyed || key_hash(t, t->received, t->scratch.value, d->keyhash));
    }
    if (!fits) {
        // Cyclone drops a sample whose serdata cannot be made: it is never handed out as data.
        if (!const_cast<Sertype *>(t)->refusal_logged.exchange(true))
            QueltLog_error("DDS_DynamicDataReader_take", "samples on '%s' do not fit '%s' (%s): both sides must use the same type; such samples are dropped",
                           t->topic.c_str(), t->c.type_name, why.empty() ? "not a sample of the type" : why.c_str());
        serdata_free(&d->c);
        return nullptr;
    }
    set_hash(d, t);
    return &d->c;
}

ddsi_serdata *serdata_from_ser(const ddsi_sertype *type, ddsi_serdata_kind kind, const nn_rdata *fragchain, size_t size)
{
    Serdata *d = new_serdata(type, kind, static_cast<uint32_t>(size), true);
    if (!d)
        return nullptr;
    // Fragments may overlap: copy each one's bytes past what the previous ones gave.
    uint32_t off = 0;
    for (const nn_rdata *f = fragchain; f; f = f->nextfrag) {
        if (f->maxp1 > off) {
            const unsigned char *payload = NN_RMSG_PAYLOADOFF(f->rmsg, NN_RDATA_PAYLOAD_OFF(f));
            std::memcpy(d->data + off, payload + (off - f->min), f->maxp1 - off);
            off = f->maxp1;
        }
    }
    return from_payload(type, kind, d);
}

ddsi_serdata *serdata_from_ser_iov(const ddsi_sertype *type, ddsi_serdata_kind kind, ddsrt_msg_iovlen_t niov, const ddsrt_iovec_t *iov,
                                   size_t size)
{
    Serdata *d = new_serdata(type, kind, static_cast<uint32_t>(size), true);
    if (!d)
        return nullptr;
    size_t off = 0;
    for (ddsrt_msg_iovlen_t i = 0; i < niov && off < size; ++i) {
        const size_t n = std::min(static_cast<size_t>(iov[i].iov_len), size - off);
        std::memcpy(d->data + off, iov[i].iov_base, n);
        off += n;
    }
    return from_payload(type, kind, d);
}

// A notice that came with the key hash alone (as Fast DDS sends disposes). A hash that holds the
// key itself gives it back; an MD5 hash still names the instance, which Cyclone knows by it.
ddsi_serdata *serdata_from_keyhash(const ddsi_sertype *tcmn, const ddsi_keyhash *keyhash)
{
    const Sertype *t = st(tcmn);
    if (!t->keyed)
        return nullptr;
    Serdata *d = new_serdata(tcmn, SDK_KEY, 0, true);
    if (!d)
        return nullptr;
    std::memcpy(d->keyhash, keyhash->value, 16);
    d->hash_only = true;
    DDS_DynamicData *value = DDS_DynamicData_new(t->type, nullptr);
    DDS_KeyHash_t h;
    std::memcpy(h.value, keyhash->value, 16);
    if (value && DDS_TypeCode_is_keyhash_reversible(t->type) && DDS_DynamicData_set_from_keyhash(value, &h) == DDS_RETCODE_OK)
        d->value = value;
    else
        DDS_DynamicData_delete(value);
    set_hash(d, t);
    return &d->c;
}

// Our own sample, written (DATA) or disposed and unregistered (KEY: the key members alone).
ddsi_serdata *serdata_from_sample(const ddsi_sertype *tcmn, ddsi_serdata_kind kind, const void *sample)
{
    const Sertype *t = st(tcmn);
    const auto *value = static_cast<const DDS_DynamicData *>(sample);
    if (!value || !value->p || resolve(value->type) != t->type)
        return nullptr;
    const bool key_only = kind == SDK_KEY && t->keyed;
    const size_t body = cdr_serialized_size(t->type, value->p, t->version, key_only);
    Serdata *d = new_serdata(tcmn, kind, static_cast<uint32_t>(kCdrHeaderSize + body), false);
    if (!d)
        return nullptr;
    d->received_ns = dds_time(); // delivered to our own readers as it is written
    fc::FastBuffer buffer(reinterpret_cast<char *>(d->data), d->size);
    fc::Cdr cdr(buffer, fc::Cdr::LITTLE_ENDIANNESS, fc::Cdr::DDS_CDR);
    if (!cdr_write_header(cdr, t->type, t->version) || !cdr_serialize(t->type, value->p, cdr, t->version, key_only) ||
        cdr.getSerializedDataLength() != d->size || (t->keyed && !key_hash(t, t->written, value, d->keyhash))) {
        serdata_free(&d->c);
        return nullptr;
    }
    set_hash(d, t);
    return &d->c;
}

void serdata_to_ser(const ddsi_serdata *d, size_t off, size_t sz, void *buf)
{
    std::memcpy(buf, sd(d)->data + off, sz);
}

ddsi_serdata *serdata_to_ser_ref(const ddsi_serdata *d, size_t off, size_t sz, ddsrt_iovec_t *ref)
{
    ref->iov_base = sd(d)->data + off;
    ref->iov_len = static_cast<ddsrt_iov_len_t>(sz);
    return ddsi_serdata_ref(d);
}

void serdata_to_ser_unref(ddsi_serdata *d, const ddsrt_iovec_t *) { ddsi_serdata_unref(d); }

bool value_of(const ddsi_sertype *tcmn, const ddsi_serdata *dcmn, DDS_DynamicData *out)
{
    const Serdata *d = sd(dcmn);
    if (!out || !out->p)
        return false;
    if (d->value)
        return DDS_DynamicData_copy(out, d->value) == DDS_RETCODE_OK;
    if (d->hash_only)
        return false;
    return decode(st(tcmn), d->data, d->size, d->c.kind == SDK_KEY, out, nullptr);
}

bool serdata_to_sample(const ddsi_serdata *d, void *sample, void **, void *)
{
    return value_of(d->type, d, static_cast<DDS_DynamicData *>(sample));
}

// Cyclone's instance map keeps one serdata per key for the whole domain, shared by the readers of
// every topic that has the key, for as long as one of them holds the instance: past the topic,
// and the connector, whose sample made it. So the map gets a copy that needs no type: the key
// members alone (key-only XCDR2), the key hash and the hash. Readers read it with their own type.
ddsi_serdata *serdata_to_untyped(const ddsi_serdata *dcmn)
{
    const Serdata *d = sd(dcmn);
    if (d->untyped)
        return ddsi_serdata_ref(dcmn);
    const Sertype *t = st(dcmn->type); // the serdata's own type, alive here
    DDS_DynamicData *key = d->value;
    if (!key && !d->hash_only && t->keyed) {
        key = DDS_DynamicData_new(t->type, nullptr);
        if (key && !decode(t, d->data, d->size, dcmn->kind == SDK_KEY, key, nullptr)) {
            DDS_DynamicData_delete(key);
            key = nullptr;
        }
    }
    const uint32_t body = key ? static_cast<uint32_t>(cdr_serialized_size(t->type, key->p, CdrVersion::Xcdr2, true)) : 0;
    Serdata *u = new_serdata(dcmn->type, SDK_KEY, key ? kCdrHeaderSize + body : 0, false);
    if (u) {
        u->untyped = true;
        std::memcpy(u->keyhash, d->keyhash, sizeof u->keyhash);
        u->c.hash = dcmn->hash;
        fc::FastBuffer buffer(reinterpret_cast<char *>(u->data), u->size);
        fc::Cdr cdr(buffer, fc::Cdr::LITTLE_ENDIANNESS, fc::Cdr::DDS_CDR);
        u->hash_only = !key || !cdr_write_header(cdr, t->type, CdrVersion::Xcdr2) ||
                       !cdr_serialize(t->type, key->p, cdr, CdrVersion::Xcdr2, true) || cdr.getSerializedDataLength() != u->size;
    }
    if (key != d->value)
        DDS_DynamicData_delete(key);
    // Out of memory: the map's reference to the sample itself, as before (its type must then last).
    return u ? &u->c : ddsi_serdata_ref(dcmn);
}

// The key of the instance map's copy, read with type (a key hash that holds the key gives it
// back); any other serdata decoded with type.
bool untyped_value(const ddsi_sertype *type, const ddsi_serdata *dcmn, DDS_DynamicData *out)
{
    const Serdata *d = sd(dcmn);
    if (!d->untyped)
        return value_of(type, dcmn, out);
    if (!out || !out->p)
        return false;
    if (!d->hash_only)
        return decode(st(type), d->data, d->size, true, out, nullptr);
    DDS_KeyHash_t h;
    std::memcpy(h.value, d->keyhash, 16);
    return DDS_TypeCode_is_keyhash_reversible(st(type)->type) && DDS_DynamicData_set_from_keyhash(out, &h) == DDS_RETCODE_OK;
}

bool serdata_untyped_to_sample(const ddsi_sertype *type, const ddsi_serdata *d, void *sample, void **, void *)
{
    return untyped_value(type, d, static_cast<DDS_DynamicData *>(sample));
}

size_t serdata_print(const ddsi_sertype *, const ddsi_serdata *d, char *buf, size_t size)
{
    return static_cast<size_t>(std::snprintf(buf, size, "(%u bytes)", static_cast<unsigned>(sd(d)->size)));
}

void serdata_get_keyhash(const ddsi_serdata *dcmn, ddsi_keyhash *buf, bool force_md5)
{
    const Serdata *d = sd(dcmn);
    if (d->untyped) {
        std::memcpy(buf->value, d->keyhash, 16);
        return;
    }
    const uint32_t key_max = cdr_key_max_size(st(dcmn->type)->type);
    if (force_md5 && key_max <= 16 && !d->hash_only) {
        // Asked for MD5 of a key that fits the hash: hash the same key stream.
        ddsrt_md5_state_t md5;
        ddsrt_md5_init(&md5);
        ddsrt_md5_append(&md5, d->keyhash, static_cast<unsigned>(std::min<uint32_t>(key_max, 16)));
        ddsrt_md5_finish(&md5, buf->value);
        return;
    }
    std::memcpy(buf->value, d->keyhash, 16);
}

const ddsi_serdata_ops kSerdataOps = {
    serdata_eqkey,       serdata_size,         serdata_from_ser,      serdata_from_ser_iov,      serdata_from_keyhash,
    serdata_from_sample, serdata_to_ser,       serdata_to_ser_ref,    serdata_to_ser_unref,      serdata_to_sample,
    serdata_to_untyped,  serdata_untyped_to_sample, serdata_free,     serdata_print,             serdata_get_keyhash,
#ifdef DDS_HAS_SHM
    nullptr,             nullptr,
#endif
};

// ---------------------------------------------------------------- sertype

void sertype_free(ddsi_sertype *tcmn)
{
    auto *t = reinterpret_cast<Sertype *>(tcmn);
    ddsi_sertype_fini(tcmn);
    delete t;
}

void sertype_zero_samples(const ddsi_sertype *, void *samples, size_t count)
{
    auto **s = static_cast<DDS_DynamicData **>(samples);
    for (size_t i = 0; i < count; ++i)
        if (s[i])
            DDS_DynamicData_clear_all_members(s[i]);
}

// Samples are DynamicData objects that the layer above allocates; Cyclone never needs to.
void sertype_realloc_samples(void **ptrs, const ddsi_sertype *tcmn, void *, size_t oldcount, size_t count)
{
    for (size_t i = oldcount; i < count; ++i)
        ptrs[i] = DDS_DynamicData_new(st(tcmn)->type, nullptr);
}

void sertype_free_samples(const ddsi_sertype *, void **ptrs, size_t count, dds_free_op_t op)
{
    if (!(op & DDS_FREE_ALL_BIT))
        return;
    for (size_t i = 0; i < count; ++i)
        DDS_DynamicData_delete(static_cast<DDS_DynamicData *>(ptrs[i]));
}

// Each topic gets a sertype of its own (it names the topic in its log line): never shared.
bool sertype_equal(const ddsi_sertype *a, const ddsi_sertype *b) { return a == b; }

uint32_t sertype_hash(const ddsi_sertype *t)
{
    const auto p = reinterpret_cast<uintptr_t>(t);
    return static_cast<uint32_t>(p ^ (static_cast<uint64_t>(p) >> 32));
}

ddsi_sertype *sertype_derive(const ddsi_sertype *base, dds_data_representation_id_t rep, dds_type_consistency_enforcement_qospolicy_t)
{
    const Sertype *b = st(base);
    const CdrVersion v = rep == DDS_DATA_REPRESENTATION_XCDR2 ? CdrVersion::Xcdr2 : CdrVersion::Xcdr1;
    // Derived sertypes come without a reference of their own, as Cyclone's do: the writer takes
    // one, and one more would keep the sertype past its writer.
    if (v == b->version)
        return const_cast<ddsi_sertype *>(base);
    ddsi_sertype *d = make_sertype(base->type_name, b->topic, b->type, v);
    if (d)
        ddsrt_atomic_st32(&d->flags_refc, ddsrt_atomic_ld32(&d->flags_refc) & ~DDSI_SERTYPE_REFC_MASK);
    return d;
}

size_t sertype_serialized_size(const ddsi_sertype *tcmn, const void *sample)
{
    const Sertype *t = st(tcmn);
    const auto *value = static_cast<const DDS_DynamicData *>(sample);
    return value && value->p ? kCdrHeaderSize + cdr_serialized_size(t->type, value->p, t->version) : SIZE_MAX;
}

bool sertype_serialize_into(const ddsi_sertype *tcmn, const void *sample, void *dst, size_t size)
{
    const Sertype *t = st(tcmn);
    const auto *value = static_cast<const DDS_DynamicData *>(sample);
    if (!value || !value->p)
        return false;
    fc::FastBuffer buffer(static_cast<char *>(dst), size);
    fc::Cdr cdr(buffer, fc::Cdr::LITTLE_ENDIANNESS, fc::Cdr::DDS_CDR);
    return cdr_write_header(cdr, t->type, t->version) && cdr_serialize(t->type, value->p, cdr, t->version);
}

const ddsi_sertype_ops kSertypeOps = {
    ddsi_sertype_v0,       nullptr,          sertype_free,    sertype_zero_samples, sertype_realloc_samples,
    sertype_free_samples,  sertype_equal,    sertype_hash,    nullptr,              nullptr,
    nullptr,               sertype_derive,   sertype_serialized_size, sertype_serialize_into,
};

} // namespace

ddsi_sertype *make_sertype(const std::string &type_name, const std::string &topic, const DDS_TypeCode *type, CdrVersion v)
{
    const DDS_TypeCode *t = resolve(type);
    if (!t || (t->kind != DDS_TK_STRUCT && t->kind != DDS_TK_UNION))
        return nullptr;
    auto *s = new Sertype;
    s->type = t;
    s->version = v;
    s->keyed = t->kind == DDS_TK_STRUCT && t->keyed;
    s->topic = topic;
    ddsi_sertype_init_flags(&s->c, type_name.c_str(), &kSertypeOps, &kSerdataOps, s->keyed ? 0 : DDSI_SERTYPE_FLAG_TOPICKIND_NO_KEY);
    s->c.allowed_data_representation = DDS_DATA_REPRESENTATION_FLAG_XCDR1 | DDS_DATA_REPRESENTATION_FLAG_XCDR2;
    return &s->c;
}

Sertype::KeyMemo::~KeyMemo() { DDS_DynamicData_delete(key); }

Sertype::Scratch::~Scratch() { DDS_DynamicData_delete(value); }

bool serdata_value(const ddsi_sertype *type, const ddsi_serdata *d, DDS_DynamicData *out) { return untyped_value(type, d, out); }

} // namespace quelt::mw::cyclone
