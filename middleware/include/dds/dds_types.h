/* Basic types, return codes and the export macro of the DDS_* layer. */
#ifndef QUELT_DDS_TYPES_H
#define QUELT_DDS_TYPES_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define DDS_EXTERN_C extern "C"
#define DDS_BEGIN_DECLS extern "C" {
#define DDS_END_DECLS }
#else
#define DDS_EXTERN_C
#define DDS_BEGIN_DECLS
#define DDS_END_DECLS
#endif

/* The middleware is linked statically into the connector; nothing of it is exported. */
#define DDS_API

typedef int16_t DDS_Short;
typedef int32_t DDS_Long;
typedef int64_t DDS_LongLong;
typedef uint16_t DDS_UnsignedShort;
typedef uint32_t DDS_UnsignedLong;
typedef uint64_t DDS_UnsignedLongLong;
typedef float DDS_Float;
typedef double DDS_Double;
typedef struct DDS_LongDouble { unsigned char bytes[16]; } DDS_LongDouble;
typedef unsigned char DDS_Boolean;
typedef char DDS_Char;
typedef uint16_t DDS_Wchar; /* one UTF-16 code unit */
typedef unsigned char DDS_Octet;

#define DDS_BOOLEAN_TRUE ((DDS_Boolean)1)
#define DDS_BOOLEAN_FALSE ((DDS_Boolean)0)

typedef DDS_Long DDS_ReturnCode_t;
#define DDS_RETCODE_OK 0
#define DDS_RETCODE_ERROR 1
#define DDS_RETCODE_UNSUPPORTED 2
#define DDS_RETCODE_BAD_PARAMETER 3
#define DDS_RETCODE_PRECONDITION_NOT_MET 4
#define DDS_RETCODE_OUT_OF_RESOURCES 5
#define DDS_RETCODE_NOT_ENABLED 6
#define DDS_RETCODE_IMMUTABLE_POLICY 7
#define DDS_RETCODE_INCONSISTENT_POLICY 8
#define DDS_RETCODE_ALREADY_DELETED 9
#define DDS_RETCODE_TIMEOUT 10
#define DDS_RETCODE_NO_DATA 11
#define DDS_RETCODE_ILLEGAL_OPERATION 12

/* Data representations (XTypes): how samples are encoded on the wire. */
typedef DDS_Short DDS_DataRepresentationId_t;
#define DDS_XCDR_DATA_REPRESENTATION 0
#define DDS_XML_DATA_REPRESENTATION 1
#define DDS_XCDR2_DATA_REPRESENTATION 2

typedef struct DDS_Time_t {
    DDS_Long sec;
    DDS_UnsignedLong nanosec;
} DDS_Time_t;

typedef struct DDS_Duration_t {
    DDS_Long sec;
    DDS_UnsignedLong nanosec;
} DDS_Duration_t;

#define DDS_DURATION_INFINITE_SEC 0x7fffffff
#define DDS_DURATION_INFINITE_NSEC 0x7fffffffu

#endif
