// Cyclone DDS carries our samples through a sertype of our own: its serdata holds the sample's
// CDR image (encapsulation header included) as our wire layer writes it, so what goes on the wire
// is exactly what the other engine sends, and the type is walked at run time like any of ours.
//
// The "sample" Cyclone hands to the sertype is a DDS_DynamicData. A received serdata also keeps
// the value it decoded (the decode checks the payload against the type and gives the key), so a
// reader copies that value instead of decoding the payload twice.
#pragma once

#include "wire/cdr.h"

#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <dds/ddsi/ddsi_sertype.h>

#include <atomic>
#include <mutex>
#include <string>

namespace quelt::mw::cyclone {

struct Sertype {
    ddsi_sertype c; // first: Cyclone passes &c around
    const DDS_TypeCode *type = nullptr; // resolved
    CdrVersion version = CdrVersion::Xcdr1; // what writers of this sertype send
    bool keyed = false;
    std::string topic; // for the one line that says samples did not fit
    std::atomic<bool> refusal_logged{false};
    // The key hash of the last sample hashed on each path: consecutive samples of one instance,
    // as a stream sends them, skip the hash (an MD5 for keys that may exceed 16 bytes).
    struct KeyMemo {
        std::mutex lock;
        DDS_DynamicData *key = nullptr; // its key members
        unsigned char hash[16] = {};
        ~KeyMemo();
    };
    mutable KeyMemo written, received;
    // Where a received payload is decoded once, to check it and hash its key: kept by the sertype
    // rather than each sample, so that a sample costs no decoded copy made on the receiving thread
    // and freed on the taking one. A take decodes the payload again, into the reader's loan.
    struct Scratch {
        std::mutex lock;
        DDS_DynamicData *value = nullptr;
        ~Scratch();
    };
    mutable Scratch scratch;
};

struct Serdata {
    ddsi_serdata c; // first: Cyclone passes &c around
    unsigned char keyhash[16];
    DDS_DynamicData *value = nullptr; // the key of a notice that came as a key hash; else null
    uint32_t size = 0;                 // bytes in data, encapsulation header included
    int64_t received_ns = 0;           // when it arrived (Cyclone's sample info has no such time)
    bool hash_only = false;            // a notice that arrived with the key hash alone
    bool untyped = false;              // the instance map's copy: data is the key alone (key-only XCDR2)
    uint8_t size_class = 0;            // of its block (block_pool.h)
    unsigned char *data = nullptr;     // header + body, in the same allocation
};

// A new sertype (one reference, owned by the caller until a topic takes it) for samples of type t
// on topic, written in the representation v. Null when t is not a struct or union.
ddsi_sertype *make_sertype(const std::string &type_name, const std::string &topic, const DDS_TypeCode *t, CdrVersion v);

// Copies the sample a reader of type took into out (initialized, of that type): its payload
// decoded, or the key of a notice. A notice (invalid sample) comes as the instance map's untyped
// copy, which may have been made through another topic's type: only type reads it.
// False when nothing decodes.
bool serdata_value(const ddsi_sertype *type, const ddsi_serdata *d, DDS_DynamicData *out);
inline bool sertype_keyed(const ddsi_sertype *type) { return reinterpret_cast<const Sertype *>(type)->keyed; }

} // namespace quelt::mw::cyclone
