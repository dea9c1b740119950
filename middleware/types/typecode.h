// Type codes and the in-memory layout of sample values.
//
// A sample of any type is one block of bytes laid out from its type code, the way a compiler lays
// out a C struct: primitives inline at natural alignment, arrays inline, strings, wide strings and
// sequences as a BufRep pointing at heap elements, unions as a UnionRep header followed by the
// payload of the selected case, optional members as a presence byte in front of the value.
// Aliases are resolved when the type is finished, so layout and value code never see them.
#pragma once

#include "dds/dds_dynamicdata.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct DDS_TypeCode;

namespace quelt::mw {

struct Member {
    std::string name;
    const DDS_TypeCode *type = nullptr;  // as declared (may be an alias)
    const DDS_TypeCode *rtype = nullptr; // aliases resolved
    uint32_t id = 0;                     // 1-based position
    uint32_t wire_id = 0;                // XTypes member id: what mutable types put on the wire
    bool key = false;
    bool optional = false;
    // Struct: the value a new sample starts with (IDL @default), as written; empty for none.
    // finish() checks it against the member's type and keeps its bytes for value_init.
    std::string default_text;
    bool has_default = false;
    unsigned char default_bytes[8] = {};
    // Union cases: labels and whether this is the default case.
    std::vector<int64_t> labels;
    bool is_default = false;
    // Struct: offset of the value in the struct's block; for an optional member the presence byte
    // is at flag_offset. Union: the payload offset is UnionRep's payload_offset for every case.
    uint32_t offset = 0;
    uint32_t flag_offset = 0;
};

// How a type may evolve, and so how XCDR2 frames it: final (no framing), appendable (a DHEADER
// with the body's length) or mutable (a DHEADER and an EMHEADER with the id of each member).
enum class Extensibility : uint8_t { Final, Appendable, Mutable };

const char *extensibility_name(Extensibility e);

// The largest member id XTypes allows (28 bits of the EMHEADER).
constexpr uint32_t kMaxMemberId = 0x0FFFFFFFu;

struct Enumerator {
    std::string name;
    int32_t value = 0;
};

// Heap storage of strings (char, NUL kept), wide strings (char16_t, NUL kept) and sequences.
// len counts elements without the NUL; cap counts allocated elements.
struct BufRep {
    void *data;
    uint32_t len;
    uint32_t cap;
};

// Header of a union's block: the discriminator value widened to 64 bits, the index of the
// selected case in members (-1 for none); the payload follows at the type's payload_offset.
struct UnionRep {
    int64_t disc;
    int32_t selected;
    int32_t pad_;
};

} // namespace quelt::mw

struct DDS_TypeCode {
    DDS_TCKind kind = DDS_TK_NULL;
    std::string name;                                   // scoped name of a named type
    std::vector<quelt::mw::Member> members;             // struct (base members first), union cases
    std::vector<quelt::mw::Enumerator> enumerators;     // enum
    const DDS_TypeCode *content = nullptr;              // sequence/array element, alias target (as declared)
    const DDS_TypeCode *rcontent = nullptr;             // element with aliases resolved
    const DDS_TypeCode *discriminator = nullptr;        // union (resolved)
    const DDS_TypeCode *base = nullptr;                 // struct base type
    uint32_t bound = 0;                                 // string, wstring, sequence bound (0 = unbounded)
    std::vector<uint32_t> dims;                         // array dimensions
    uint32_t element_count = 0;                         // array: product of dims
    int32_t default_case = -1;                          // union: index of the default case
    quelt::mw::Extensibility extensibility = quelt::mw::Extensibility::Final; // struct, union

    // Layout, filled by finish().
    uint32_t size = 0;
    uint32_t align = 1;
    uint32_t payload_offset = 0; // union
    bool trivial = true;         // no heap parts: init is zero-fill (plus enum defaults), fini is nothing
    bool has_default_nonzero = false; // enum whose first enumerator is not 0, or unions: init needs more than zeroing
    // Keys (struct only).
    bool keyed = false;
    // The wire layer's cache of the key's largest size (cdr_key_max_size), filled on first use.
    mutable std::atomic<uint32_t> key_max_size{UINT32_MAX - 1};
    bool finished = false;
};

namespace quelt::mw {

// Primitive type codes are process-wide constants.
const DDS_TypeCode *primitive_type(DDS_TCKind kind);
// A string or wide string type with the given bound, shared per (kind, bound).
const DDS_TypeCode *string_type(DDS_TCKind kind, uint32_t bound);

// Strips aliases.
inline const DDS_TypeCode *resolve(const DDS_TypeCode *t)
{
    while (t && t->kind == DDS_TK_ALIAS)
        t = t->content;
    return t;
}

inline bool is_primitive_kind(DDS_TCKind k)
{
    switch (k) {
    case DDS_TK_SHORT: case DDS_TK_LONG: case DDS_TK_USHORT: case DDS_TK_ULONG: case DDS_TK_FLOAT:
    case DDS_TK_DOUBLE: case DDS_TK_BOOLEAN: case DDS_TK_CHAR: case DDS_TK_OCTET: case DDS_TK_ENUM:
    case DDS_TK_LONGLONG: case DDS_TK_ULONGLONG: case DDS_TK_LONGDOUBLE: case DDS_TK_WCHAR:
        return true;
    default:
        return false;
    }
}

// Owns type codes built at run time (from XML or by code). Types never move once created.
class TypeStore {
  public:
    DDS_TypeCode *create(DDS_TCKind kind, std::string name = {});
    // Computes layout, keys and sizes of t and everything it reaches that is not finished yet.
    // Returns an empty string on success, else what is wrong.
    std::string finish(DDS_TypeCode *t);
    // Moves every type of other into this store (their addresses stay valid); other is left
    // empty. All or nothing: when memory runs out midway, the moved types go back and the
    // exception propagates with both stores as they were.
    void adopt(TypeStore &other)
    {
        size_t moved = 0;
        try {
            for (; moved < other.types_.size(); ++moved)
                types_.push_back(std::move(other.types_[moved]));
        } catch (...) {
            // Moving back into the slots just emptied cannot allocate.
            while (moved > 0) {
                other.types_[--moved] = std::move(types_.back());
                types_.pop_back();
            }
            throw;
        }
        other.types_.clear();
    }

  private:
    std::deque<std::unique_ptr<DDS_TypeCode>> types_;
};

// Builders used by the XML reader and by tests. Each returns the new type, owned by the store.
DDS_TypeCode *make_struct(TypeStore &s, const std::string &name, const DDS_TypeCode *base = nullptr);
// Adds a member; returns false (and adds nothing) when the name or the member id is taken or the id
// is over kMaxMemberId. Without an explicit id the member takes the previous member's id plus one
// (0 for the first), as XTypes assigns them.
constexpr int64_t kAutoId = -1;
bool add_member(DDS_TypeCode *st, const std::string &name, const DDS_TypeCode *type, bool key = false, bool optional = false,
                int64_t wire_id = kAutoId);
// The member of a struct with the given member id, or null.
const Member *member_by_wire_id(const DDS_TypeCode *st, uint32_t wire_id);
DDS_TypeCode *make_union(TypeStore &s, const std::string &name, const DDS_TypeCode *disc);
bool add_case(DDS_TypeCode *un, const std::string &name, const DDS_TypeCode *type, std::vector<int64_t> labels, bool is_default);
DDS_TypeCode *make_enum(TypeStore &s, const std::string &name);
bool add_enumerator(DDS_TypeCode *en, const std::string &name, int32_t value);
DDS_TypeCode *make_alias(TypeStore &s, const std::string &name, const DDS_TypeCode *target);
DDS_TypeCode *make_sequence(TypeStore &s, const DDS_TypeCode *element, uint32_t bound);
DDS_TypeCode *make_array(TypeStore &s, const DDS_TypeCode *element, std::vector<uint32_t> dims);
DDS_TypeCode *make_string(TypeStore &s, DDS_TCKind kind, uint32_t bound);

// ---- values laid out by the type ----
// Every function takes the resolved type (never an alias) and a pointer to a block of t->size bytes.
void value_init(const DDS_TypeCode *t, void *p);
void value_fini(const DDS_TypeCode *t, void *p);
// dst must be initialized; it is made equal to src.
void value_copy(const DDS_TypeCode *t, void *dst, const void *src);
bool value_equal(const DDS_TypeCode *t, const void *a, const void *b);

// BufRep helpers. elem is the resolved element type (for strings: primitive char / wchar).
// resize inits new elements, finis dropped ones; keeps a NUL after strings.
bool buf_resize(BufRep *b, const DDS_TypeCode *elem, uint32_t n);
void buf_free(BufRep *b, const DDS_TypeCode *elem);
bool str_assign(BufRep *b, const char *s, size_t n);
bool wstr_assign(BufRep *b, const char16_t *s, size_t n);
inline const char *str_cstr(const BufRep *b) { return b->data ? static_cast<const char *>(b->data) : ""; }

// Union case selection: finis the current payload, inits the new one, sets the discriminator to
// the case's first label (or, for the default case, a value no other case uses).
void union_select(const DDS_TypeCode *u, void *p, int32_t index);
// The case a discriminator value selects, or -1.
int32_t union_case_for(const DDS_TypeCode *u, int64_t disc);

} // namespace quelt::mw

struct DDS_TypeLibrary {
    quelt::mw::TypeStore store;
    std::map<std::string, const DDS_TypeCode *> by_name; // scoped names without a leading "::"
};
