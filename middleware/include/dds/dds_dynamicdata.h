/* Type codes and DynamicData: samples whose type is known only at run time.
 *
 * Member names: "a" a member, "a.b.c" a nested member, "s[2]" element 2 of a sequence or array
 * (elements count from 1, as member ids do), "m[1][3]" an element of a multi-dimensional array,
 * a union member by its name (setting it selects it). A trailing "#" asks get_member_info for the
 * length of a sequence or array, or for the name of a union's selected member.
 * Member id 0 means "use the name"; with a null name, id i is member i (elements of a sequence or
 * array, members of a struct in declaration order, cases of a union), counting from 1.
 */
#ifndef QUELT_DDS_DYNAMICDATA_H
#define QUELT_DDS_DYNAMICDATA_H

#include "dds/dds_types.h"

DDS_BEGIN_DECLS

typedef enum DDS_TCKind {
    DDS_TK_NULL = 0,
    DDS_TK_SHORT = 1,
    DDS_TK_LONG = 2,
    DDS_TK_USHORT = 3,
    DDS_TK_ULONG = 4,
    DDS_TK_FLOAT = 5,
    DDS_TK_DOUBLE = 6,
    DDS_TK_BOOLEAN = 7,
    DDS_TK_CHAR = 8,
    DDS_TK_OCTET = 9,
    DDS_TK_STRUCT = 10,
    DDS_TK_UNION = 11,
    DDS_TK_ENUM = 12,
    DDS_TK_STRING = 13,
    DDS_TK_SEQUENCE = 14,
    DDS_TK_ARRAY = 15,
    DDS_TK_ALIAS = 16,
    DDS_TK_LONGLONG = 17,
    DDS_TK_ULONGLONG = 18,
    DDS_TK_LONGDOUBLE = 19,
    DDS_TK_WCHAR = 20,
    DDS_TK_WSTRING = 21,
    DDS_TK_VALUE = 22,
    DDS_TK_SPARSE = 23
} DDS_TCKind;

typedef struct DDS_TypeCode DDS_TypeCode;
typedef struct DDS_DynamicData DDS_DynamicData;
typedef DDS_UnsignedLong DDS_DynamicDataMemberId;

#define DDS_DYNAMIC_DATA_MEMBER_ID_UNSPECIFIED 0

/* ---- type codes (owned by the type library that created them) ---- */
DDS_API DDS_TCKind DDS_TypeCode_kind(const DDS_TypeCode *tc);
DDS_API const char *DDS_TypeCode_name(const DDS_TypeCode *tc);
DDS_API DDS_UnsignedLong DDS_TypeCode_member_count(const DDS_TypeCode *tc);
DDS_API const char *DDS_TypeCode_member_name(const DDS_TypeCode *tc, DDS_UnsignedLong index);
DDS_API const DDS_TypeCode *DDS_TypeCode_member_type(const DDS_TypeCode *tc, DDS_UnsignedLong index);
DDS_API DDS_Boolean DDS_TypeCode_is_member_key(const DDS_TypeCode *tc, DDS_UnsignedLong index);
DDS_API DDS_Boolean DDS_TypeCode_is_member_optional(const DDS_TypeCode *tc, DDS_UnsignedLong index);
/* Element type of a sequence or array, target of an alias. */
DDS_API const DDS_TypeCode *DDS_TypeCode_content_type(const DDS_TypeCode *tc);
/* Bound of a string, wide string or sequence (0: unbounded); element count of an array. */
DDS_API DDS_UnsignedLong DDS_TypeCode_length(const DDS_TypeCode *tc);
/* The value of the enumerator called name (exact match) of an enumeration type. */
DDS_API DDS_Boolean DDS_TypeCode_enumerator_value(const DDS_TypeCode *tc, const char *name, DDS_Long *value);

/* A type library is the set of types read from one or more XML <types> sections. */
typedef struct DDS_TypeLibrary DDS_TypeLibrary;
DDS_API DDS_TypeLibrary *DDS_TypeLibrary_new(void);
DDS_API void DDS_TypeLibrary_delete(DDS_TypeLibrary *lib);
/* Parses every <types> element of the XML file; one log line with file:line on any mistake, and
 * then the library is left as it was before the call. */
DDS_API DDS_ReturnCode_t DDS_TypeLibrary_load_file(DDS_TypeLibrary *lib, const char *path);
DDS_API DDS_ReturnCode_t DDS_TypeLibrary_load_string(DDS_TypeLibrary *lib, const char *xml, const char *source_name);
/* Scoped name ("Mod::Type"); a leading "::" is accepted. */
DDS_API const DDS_TypeCode *DDS_TypeLibrary_find(const DDS_TypeLibrary *lib, const char *name);

/* ---- DynamicData ---- */
typedef struct DDS_DynamicDataProperty_t {
    DDS_Long buffer_initial_size;
    DDS_Long buffer_max_size;
} DDS_DynamicDataProperty_t;
#define DDS_DynamicDataProperty_t_INITIALIZER {0, -1}
extern const DDS_DynamicDataProperty_t DDS_DYNAMIC_DATA_PROPERTY_DEFAULT;

typedef struct DDS_DynamicDataMemberInfo {
    DDS_DynamicDataMemberId member_id;
    const char *member_name;      /* owned by the type code */
    DDS_Boolean member_exists;    /* false for an unset optional member or an unselected case */
    DDS_TCKind member_kind;       /* aliases resolved */
    DDS_TCKind element_kind;      /* for sequences and arrays */
    DDS_UnsignedLong element_count; /* current length of a sequence, length of an array */
} DDS_DynamicDataMemberInfo;

/* A DynamicData created with a null type holds nothing until it is bound to a complex member. */
DDS_API DDS_DynamicData *DDS_DynamicData_new(const DDS_TypeCode *type, const DDS_DynamicDataProperty_t *property);
DDS_API void DDS_DynamicData_delete(DDS_DynamicData *self);
/* For DynamicData objects that live in caller memory (sizeof is given by DDS_DynamicData_sizeof). */
DDS_API DDS_Boolean DDS_DynamicData_initialize(DDS_DynamicData *self, const DDS_TypeCode *type, const DDS_DynamicDataProperty_t *property);
DDS_API DDS_Boolean DDS_DynamicData_finalize(DDS_DynamicData *self);
DDS_API size_t DDS_DynamicData_sizeof(void);

DDS_API const DDS_TypeCode *DDS_DynamicData_get_type(const DDS_DynamicData *self);
DDS_API DDS_TCKind DDS_DynamicData_get_type_kind(const DDS_DynamicData *self);
DDS_API DDS_UnsignedLong DDS_DynamicData_get_member_count(const DDS_DynamicData *self);
DDS_API DDS_ReturnCode_t DDS_DynamicData_copy(DDS_DynamicData *self, const DDS_DynamicData *src);
DDS_API DDS_Boolean DDS_DynamicData_equal(const DDS_DynamicData *self, const DDS_DynamicData *other);
DDS_API DDS_ReturnCode_t DDS_DynamicData_clear_all_members(DDS_DynamicData *self);
DDS_API DDS_ReturnCode_t DDS_DynamicData_clear_optional_member(DDS_DynamicData *self, const char *member_name, DDS_DynamicDataMemberId member_id);
DDS_API DDS_ReturnCode_t DDS_DynamicData_get_member_info(const DDS_DynamicData *self, DDS_DynamicDataMemberInfo *info, const char *member_name, DDS_DynamicDataMemberId member_id);
DDS_API DDS_Boolean DDS_DynamicData_is_member_key(const DDS_DynamicData *self, const char *member_name, DDS_DynamicDataMemberId member_id);
DDS_API DDS_ReturnCode_t DDS_DynamicData_bind_complex_member(DDS_DynamicData *self, DDS_DynamicData *value_out, const char *member_name, DDS_DynamicDataMemberId member_id);
DDS_API DDS_ReturnCode_t DDS_DynamicData_unbind_complex_member(DDS_DynamicData *self, DDS_DynamicData *value);
/* The type (aliases resolved) of the member that name or id designates. */
DDS_API DDS_ReturnCode_t DDS_DynamicData_get_member_type(const DDS_DynamicData *self, const DDS_TypeCode **type,
                                                         const char *member_name, DDS_DynamicDataMemberId member_id);
/* Sets the length of a DynamicData that is a sequence (bound to a sequence member or created for
 * a sequence type): new elements take their defaults; beyond the bound is a bad parameter. */
DDS_API DDS_ReturnCode_t DDS_DynamicData_set_sequence_length(DDS_DynamicData *self, DDS_UnsignedLong length);

#define QUELT_DD_ACCESSORS(NAME, T)                                                                                              \
    DDS_API DDS_ReturnCode_t DDS_DynamicData_get_##NAME(const DDS_DynamicData *self, T *value, const char *member_name,          \
                                                        DDS_DynamicDataMemberId member_id);                                      \
    DDS_API DDS_ReturnCode_t DDS_DynamicData_set_##NAME(DDS_DynamicData *self, const char *member_name,                          \
                                                        DDS_DynamicDataMemberId member_id, T value);
QUELT_DD_ACCESSORS(short, DDS_Short)
QUELT_DD_ACCESSORS(long, DDS_Long)
QUELT_DD_ACCESSORS(ushort, DDS_UnsignedShort)
QUELT_DD_ACCESSORS(ulong, DDS_UnsignedLong)
QUELT_DD_ACCESSORS(float, DDS_Float)
QUELT_DD_ACCESSORS(double, DDS_Double)
QUELT_DD_ACCESSORS(boolean, DDS_Boolean)
QUELT_DD_ACCESSORS(char, DDS_Char)
QUELT_DD_ACCESSORS(octet, DDS_Octet)
QUELT_DD_ACCESSORS(longlong, DDS_LongLong)
QUELT_DD_ACCESSORS(ulonglong, DDS_UnsignedLongLong)
QUELT_DD_ACCESSORS(longdouble, DDS_LongDouble)
QUELT_DD_ACCESSORS(wchar, DDS_Wchar)
#undef QUELT_DD_ACCESSORS

/* Strings: *value is a buffer of *size bytes, or null to have one allocated (DDS_String_alloc)
 * that the caller frees. On return *size is the length + 1. A buffer that is too small gives
 * DDS_RETCODE_OUT_OF_RESOURCES with *size set to what is needed. */
DDS_API DDS_ReturnCode_t DDS_DynamicData_get_string(const DDS_DynamicData *self, char **value, DDS_UnsignedLong *size,
                                                    const char *member_name, DDS_DynamicDataMemberId member_id);
DDS_API DDS_ReturnCode_t DDS_DynamicData_set_string(DDS_DynamicData *self, const char *member_name,
                                                    DDS_DynamicDataMemberId member_id, const char *value);
/* Wide strings are NUL-terminated UTF-16; sizes count code units. */
DDS_API DDS_ReturnCode_t DDS_DynamicData_get_wstring(const DDS_DynamicData *self, DDS_Wchar **value, DDS_UnsignedLong *size,
                                                     const char *member_name, DDS_DynamicDataMemberId member_id);
DDS_API DDS_ReturnCode_t DDS_DynamicData_set_wstring(DDS_DynamicData *self, const char *member_name,
                                                     DDS_DynamicDataMemberId member_id, const DDS_Wchar *value);

/* ---- wire form: the 4-byte encapsulation header and the body ----
 * Without a representation, the type's own: XCDR1 for final types, XCDR2 for appendable and
 * mutable ones; little endian. */
/* Bytes needed to serialize the sample (header included). */
DDS_API DDS_UnsignedLong DDS_DynamicData_get_serialized_size(const DDS_DynamicData *self);
/* Largest serialized size of any sample of the type in either representation, or 0 when the
 * type is unbounded. */
DDS_API DDS_UnsignedLong DDS_TypeCode_get_max_serialized_size(const DDS_TypeCode *type);
/* *length: in the capacity, out the bytes written. */
DDS_API DDS_ReturnCode_t DDS_DynamicData_to_cdr_buffer(const DDS_DynamicData *self, unsigned char *buffer, DDS_UnsignedLong *length);
/* The same in a chosen representation (DDS_XCDR_DATA_REPRESENTATION or DDS_XCDR2_DATA_REPRESENTATION)
 * and byte order. */
DDS_API DDS_ReturnCode_t DDS_DynamicData_to_cdr_buffer_ex(const DDS_DynamicData *self, unsigned char *buffer, DDS_UnsignedLong *length,
                                                          DDS_DataRepresentationId_t representation, DDS_Boolean big_endian);
/* Replaces the sample's contents from XCDR1 or XCDR2 in either byte order (the header tells); on
 * failure the sample is left cleared. */
DDS_API DDS_ReturnCode_t DDS_DynamicData_from_cdr_buffer(DDS_DynamicData *self, const unsigned char *buffer, DDS_UnsignedLong length);

typedef struct DDS_KeyHash_t {
    unsigned char value[16];
} DDS_KeyHash_t;
/* RTPS key hash (XTypes 1.3): the key members in big-endian XCDR2, MD5 of that when the key can
 * exceed 16 bytes. */
DDS_API DDS_ReturnCode_t DDS_DynamicData_get_keyhash(const DDS_DynamicData *self, DDS_KeyHash_t *hash);
/* Sets the key members from a key hash; only for types whose key fits in 16 bytes. */
DDS_API DDS_ReturnCode_t DDS_DynamicData_set_from_keyhash(DDS_DynamicData *self, const DDS_KeyHash_t *hash);
DDS_API DDS_Boolean DDS_TypeCode_is_keyhash_reversible(const DDS_TypeCode *type);

/* ---- JSON printing ---- */
typedef enum DDS_PrintFormatKind {
    DDS_DEFAULT_PRINT_FORMAT = 0,
    DDS_XML_PRINT_FORMAT = 1,
    DDS_JSON_PRINT_FORMAT = 2
} DDS_PrintFormatKind;

typedef struct DDS_PrintFormat {
    DDS_PrintFormatKind kind;
    DDS_Long indent;              /* spaces per level; 0 prints the sample on one line */
    DDS_Boolean is_pretty_print;  /* line breaks between members */
} DDS_PrintFormat;

typedef struct DDS_PrintFormatProperty_t {
    DDS_Long reserved;
    char *buffer;               /* output */
    DDS_UnsignedLong buffer_size; /* capacity in bytes */
    DDS_UnsignedLong length;    /* out: characters produced, without the terminating NUL */
    DDS_Long reserved2[3];
} DDS_PrintFormatProperty_t;

DDS_API DDS_ReturnCode_t DDS_PrintFormat_initialize(DDS_PrintFormat *format, DDS_PrintFormatKind kind);
DDS_API DDS_ReturnCode_t DDS_PrintFormat_finalize(DDS_PrintFormat *format, DDS_PrintFormatKind kind);
/* Prints the sample into params->buffer. The text always ends with NUL when buffer_size > 0;
 * params->length is the full length of the text, also when it did not fit (then the buffer holds
 * a truncated prefix and the result is still OK: the caller compares length with buffer_size). */
DDS_API DDS_ReturnCode_t DDS_DynamicDataFormatter_print_w_params(const DDS_DynamicData *self, DDS_PrintFormatProperty_t *params,
                                                                 const DDS_PrintFormat *format);

DDS_END_DECLS

#endif
