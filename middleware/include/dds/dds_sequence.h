/* DDS sequences: a contiguous buffer of _maximum elements, of which the first _length are in use.
 *
 * Every sequence type Seq of element type T has these functions (all null-safe):
 *   DDS_Boolean Seq_initialize(Seq *self)        empty, owning, not loaned
 *   DDS_Boolean Seq_finalize(Seq *self)          releases everything; fails while loaned
 *   DDS_Long    Seq_get_length(const Seq *self)
 *   DDS_Long    Seq_get_maximum(const Seq *self)
 *   T          *Seq_get_reference(Seq *self, DDS_Long i)   element i < length, else null
 *   DDS_Boolean Seq_set_length(Seq *self, DDS_Long length)  0 <= length <= maximum
 *   DDS_Boolean Seq_set_maximum(Seq *self, DDS_Long max)
 *   DDS_Boolean Seq_ensure_length(Seq *self, DDS_Long length, DDS_Long max)
 *   DDS_Boolean Seq_loan_contiguous(Seq *self, T *buffer, DDS_Long length, DDS_Long max)
 *   DDS_Boolean Seq_unloan(Seq *self)
 *
 * Ownership: a sequence that is not loaned owns its buffer; a string sequence also owns the
 * strings in it and frees them with DDS_String_free when they are dropped (length or maximum
 * reduced, finalize). Elements past _length are always zero in an owned buffer, so growing the
 * length yields zeroed elements.
 * set_maximum(max) reallocates; max 0 releases the buffer; a max below the length truncates the
 * length, dropping the elements cut off. ensure_length(length, max) needs length <= max; it raises
 * the maximum to at least max (never lowers it) and sets the length.
 * Loaning: loan_contiguous lends a caller buffer to an empty sequence that has no buffer; the
 * sequence then never frees or resizes it (set_maximum and ensure_length fail; set_length works
 * within the loaned maximum and leaves the elements alone) until unloan makes it empty again.
 * A sequence set to DDS_SEQUENCE_INITIALIZER is usable at once and takes ownership of the
 * buffer it first allocates.
 */
#ifndef QUELT_DDS_SEQUENCE_H
#define QUELT_DDS_SEQUENCE_H

#include "dds/dds_types.h"

DDS_BEGIN_DECLS

#define DDS_SEQUENCE_INITIALIZER { NULL, 0, 0, DDS_BOOLEAN_FALSE, DDS_BOOLEAN_FALSE, NULL }

/* Declares the struct and functions of a sequence type; the matching definition is a one-line
 * QUELT_SEQUENCE_DEFINE in the middleware's sequence.cpp. */
#define DDS_SEQUENCE_DECLARE(Seq, T)                                                             \
    typedef struct Seq {                                                                         \
        T *_contiguous_buffer;                                                                   \
        DDS_Long _length;                                                                        \
        DDS_Long _maximum;                                                                       \
        DDS_Boolean _owned;                                                                      \
        DDS_Boolean _loaned;                                                                     \
        void *_loan_token;                                                                       \
    } Seq;                                                                                       \
    DDS_API DDS_Boolean Seq##_initialize(Seq *self);                                             \
    DDS_API DDS_Boolean Seq##_finalize(Seq *self);                                               \
    DDS_API DDS_Long Seq##_get_length(const Seq *self);                                          \
    DDS_API DDS_Long Seq##_get_maximum(const Seq *self);                                         \
    DDS_API T *Seq##_get_reference(Seq *self, DDS_Long i);                                       \
    DDS_API DDS_Boolean Seq##_set_length(Seq *self, DDS_Long length);                            \
    DDS_API DDS_Boolean Seq##_set_maximum(Seq *self, DDS_Long max);                              \
    DDS_API DDS_Boolean Seq##_ensure_length(Seq *self, DDS_Long length, DDS_Long max);           \
    DDS_API DDS_Boolean Seq##_loan_contiguous(Seq *self, T *buffer, DDS_Long length, DDS_Long max); \
    DDS_API DDS_Boolean Seq##_unloan(Seq *self)

/* Entities are opaque here; sequences of them hold borrowed pointers and never delete them. */
typedef struct DDS_Publisher DDS_Publisher;
typedef struct DDS_Subscriber DDS_Subscriber;
typedef struct DDS_DataWriter DDS_DataWriter;
typedef struct DDS_DataReader DDS_DataReader;
typedef struct DDS_Condition DDS_Condition;

DDS_SEQUENCE_DECLARE(DDS_StringSeq, char *);
DDS_SEQUENCE_DECLARE(DDS_LongSeq, DDS_Long);
DDS_SEQUENCE_DECLARE(DDS_OctetSeq, DDS_Octet);
DDS_SEQUENCE_DECLARE(DDS_PublisherSeq, DDS_Publisher *);
DDS_SEQUENCE_DECLARE(DDS_SubscriberSeq, DDS_Subscriber *);
DDS_SEQUENCE_DECLARE(DDS_DataWriterSeq, DDS_DataWriter *);
DDS_SEQUENCE_DECLARE(DDS_DataReaderSeq, DDS_DataReader *);
DDS_SEQUENCE_DECLARE(DDS_ConditionSeq, DDS_Condition *);

DDS_END_DECLS

#endif
