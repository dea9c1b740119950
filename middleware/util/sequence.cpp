// DDS sequences: one template implements them all; each C function set is a thin shim made by
// QUELT_SEQUENCE_DEFINE. Element types are trivially copyable, so buffers are moved with memcpy.
#include "dds/dds_sequence.h"
#include "dds/dds_domain.h"

#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "dds/dds_string.h"

namespace {

// What happens to an element of an owned buffer when the sequence drops it.
struct PlainElement {
    template <typename T>
    static void drop(T *, DDS_Long) {}
};

struct OwnedString {
    static void drop(char **elements, DDS_Long count)
    {
        for (DDS_Long i = 0; i < count; ++i) DDS_String_free(elements[i]);
    }
};

template <typename Seq, typename T, typename Element>
struct SeqOps {
    static_assert(std::is_trivially_copyable_v<T>);

    static void reset(Seq *s)
    {
        s->_contiguous_buffer = nullptr;
        s->_length = 0;
        s->_maximum = 0;
        s->_owned = DDS_BOOLEAN_TRUE;
        s->_loaned = DDS_BOOLEAN_FALSE;
        s->_loan_token = nullptr;
    }

    // Drops elements [from, to) of an owned buffer and zeroes them.
    static void dropRange(Seq *s, DDS_Long from, DDS_Long to)
    {
        if (s->_contiguous_buffer == nullptr || from >= to) return;
        if (s->_owned) Element::drop(s->_contiguous_buffer + from, to - from);
        std::memset(static_cast<void *>(s->_contiguous_buffer + from), 0, sizeof(T) * static_cast<size_t>(to - from));
    }

    static DDS_Boolean initialize(Seq *s)
    {
        if (s == nullptr) return DDS_BOOLEAN_FALSE;
        reset(s);
        return DDS_BOOLEAN_TRUE;
    }

    static DDS_Boolean finalize(Seq *s)
    {
        if (s == nullptr || s->_loaned) return DDS_BOOLEAN_FALSE;
        if (!setMaximum(s, 0)) return DDS_BOOLEAN_FALSE;
        reset(s);
        return DDS_BOOLEAN_TRUE;
    }

    static DDS_Long length(const Seq *s) { return s != nullptr ? s->_length : 0; }
    static DDS_Long maximum(const Seq *s) { return s != nullptr ? s->_maximum : 0; }

    static T *reference(Seq *s, DDS_Long i)
    {
        if (s == nullptr || i < 0 || i >= s->_length) return nullptr;
        return s->_contiguous_buffer + i;
    }

    static DDS_Boolean setLength(Seq *s, DDS_Long newLength)
    {
        if (s == nullptr || newLength < 0 || newLength > s->_maximum) return DDS_BOOLEAN_FALSE;
        if (!s->_loaned) {
            // Growing also goes through dropRange: slots past the length should already be zero,
            // but whatever a caller left there must not show up as a new element.
            if (newLength < s->_length) {
                dropRange(s, newLength, s->_length);
            } else {
                dropRange(s, s->_length, newLength);
            }
        }
        s->_length = newLength;
        return DDS_BOOLEAN_TRUE;
    }

    static DDS_Boolean setMaximum(Seq *s, DDS_Long newMax)
    {
        if (s == nullptr || s->_loaned || newMax < 0) return DDS_BOOLEAN_FALSE;
        if (newMax == s->_maximum) return DDS_BOOLEAN_TRUE;
        T *fresh = nullptr;
        if (newMax > 0) {
            // Allocate before touching anything so that failure leaves the sequence intact.
            fresh = static_cast<T *>(std::calloc(static_cast<size_t>(newMax), sizeof(T)));
            if (fresh == nullptr) return DDS_BOOLEAN_FALSE;
        }
        DDS_Long kept = s->_length < newMax ? s->_length : newMax;
        if (s->_contiguous_buffer == nullptr) {
            s->_owned = DDS_BOOLEAN_TRUE;  // first allocation of a statically initialized sequence
        } else {
            if (fresh != nullptr && kept > 0) std::memcpy(static_cast<void *>(fresh), s->_contiguous_buffer, sizeof(T) * static_cast<size_t>(kept));
            dropRange(s, kept, s->_maximum);
            std::free(s->_contiguous_buffer);
        }
        s->_contiguous_buffer = fresh;
        s->_maximum = newMax;
        s->_length = kept;
        return DDS_BOOLEAN_TRUE;
    }

    static DDS_Boolean ensureLength(Seq *s, DDS_Long newLength, DDS_Long newMax)
    {
        if (s == nullptr || s->_loaned || newLength < 0 || newLength > newMax) return DDS_BOOLEAN_FALSE;
        if (s->_maximum < newMax && !setMaximum(s, newMax)) return DDS_BOOLEAN_FALSE;
        return setLength(s, newLength);
    }

    static DDS_Boolean loan(Seq *s, T *buffer, DDS_Long newLength, DDS_Long newMax)
    {
        if (s == nullptr || s->_loaned || s->_contiguous_buffer != nullptr || s->_maximum != 0) {
            return DDS_BOOLEAN_FALSE;
        }
        if (newLength < 0 || newLength > newMax || (buffer == nullptr && newMax > 0)) return DDS_BOOLEAN_FALSE;
        s->_contiguous_buffer = buffer;
        s->_length = newLength;
        s->_maximum = newMax;
        s->_owned = DDS_BOOLEAN_FALSE;
        s->_loaned = DDS_BOOLEAN_TRUE;
        s->_loan_token = nullptr;
        return DDS_BOOLEAN_TRUE;
    }

    static DDS_Boolean unloan(Seq *s)
    {
        if (s == nullptr || !s->_loaned) return DDS_BOOLEAN_FALSE;
        reset(s);
        return DDS_BOOLEAN_TRUE;
    }
};

}  // namespace

#define QUELT_SEQUENCE_DEFINE(Seq, T, Element)                                                          \
    extern "C" {                                                                                        \
    DDS_Boolean Seq##_initialize(Seq *self) { return SeqOps<Seq, T, Element>::initialize(self); }       \
    DDS_Boolean Seq##_finalize(Seq *self) { return SeqOps<Seq, T, Element>::finalize(self); }           \
    DDS_Long Seq##_get_length(const Seq *self) { return SeqOps<Seq, T, Element>::length(self); }        \
    DDS_Long Seq##_get_maximum(const Seq *self) { return SeqOps<Seq, T, Element>::maximum(self); }      \
    T *Seq##_get_reference(Seq *self, DDS_Long i) { return SeqOps<Seq, T, Element>::reference(self, i); } \
    DDS_Boolean Seq##_set_length(Seq *self, DDS_Long length)                                            \
    {                                                                                                   \
        return SeqOps<Seq, T, Element>::setLength(self, length);                                        \
    }                                                                                                   \
    DDS_Boolean Seq##_set_maximum(Seq *self, DDS_Long max)                                              \
    {                                                                                                   \
        return SeqOps<Seq, T, Element>::setMaximum(self, max);                                          \
    }                                                                                                   \
    DDS_Boolean Seq##_ensure_length(Seq *self, DDS_Long length, DDS_Long max)                           \
    {                                                                                                   \
        return SeqOps<Seq, T, Element>::ensureLength(self, length, max);                                \
    }                                                                                                   \
    DDS_Boolean Seq##_loan_contiguous(Seq *self, T *buffer, DDS_Long length, DDS_Long max)              \
    {                                                                                                   \
        return SeqOps<Seq, T, Element>::loan(self, buffer, length, max);                                \
    }                                                                                                   \
    DDS_Boolean Seq##_unloan(Seq *self) { return SeqOps<Seq, T, Element>::unloan(self); }               \
    }

QUELT_SEQUENCE_DEFINE(DDS_StringSeq, char *, OwnedString)
QUELT_SEQUENCE_DEFINE(DDS_LongSeq, DDS_Long, PlainElement)
QUELT_SEQUENCE_DEFINE(DDS_OctetSeq, DDS_Octet, PlainElement)
QUELT_SEQUENCE_DEFINE(DDS_PublisherSeq, DDS_Publisher *, PlainElement)
QUELT_SEQUENCE_DEFINE(DDS_SubscriberSeq, DDS_Subscriber *, PlainElement)
QUELT_SEQUENCE_DEFINE(DDS_DataWriterSeq, DDS_DataWriter *, PlainElement)
QUELT_SEQUENCE_DEFINE(DDS_DataReaderSeq, DDS_DataReader *, PlainElement)
QUELT_SEQUENCE_DEFINE(DDS_ConditionSeq, DDS_Condition *, PlainElement)
QUELT_SEQUENCE_DEFINE(DDS_SampleInfoSeq, DDS_SampleInfo, PlainElement)
