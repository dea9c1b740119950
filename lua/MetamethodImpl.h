/* The data metamethods behind READER/WRITER indexing by position, writer instances, and the
 * samples and infos tables of readers. */
#ifndef QUELT_LUA_METAMETHOD_IMPL_H
#define QUELT_LUA_METAMETHOD_IMPL_H

#include "dds/dds_domain.h"
#include "dds/dds_dynamicdata.h"
#include "Common.h"
#include "LuaApi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Selector of every data metamethod. */
typedef enum QueltLuaDataOperation {
    QUELT_LUA_DATA_GET = 0,
    QUELT_LUA_DATA_SET = 1,
    QUELT_LUA_DATA_INFO = 3,
    QUELT_LUA_DATA_JSON = 4,
    QUELT_LUA_DATA_SET_FROM_JSON = 5
} QueltLuaDataOperation;

int QueltLuaMetamethodImpl_TableIndex(lua_State *L, const char *map);
int QueltLuaMetamethodImpl_TableLen(lua_State *L, const char *map);
int QueltLuaMetamethodImpl_OutData(lua_State *L, int op);
/* The same for a caller that holds the state's engine already (null: found from L). */
int QueltLuaMetamethodImpl_OutDataOf(lua_State *L, int op, QueltLuaEngine *engine);
int QueltLuaMetamethodImpl_InData(lua_State *L, int op);
/* A status, not a result count: 0 with the result on top, non-zero with nothing pushed. */
int QueltLuaMetamethodImpl_InDataIndexing(lua_State *L, int op);
int QueltLuaMetamethodImpl_InDataDereference(lua_State *L, int op);

/* The element samples[index] or infos[index] stands for, found without making its table. */
typedef struct QueltLuaInDataElement {
    int available; /* 0: index past the sample count (logged as a warning) */
    DDS_SampleInfo *info;
    DDS_DynamicData *sample; /* the reader's key holder for a sample without valid data */
} QueltLuaInDataElement;

/* The indexing's checks and lookups, with its messages and status, for a samples or infos table
 * at 1; the stack is left as it was. engine may be null: it is then found from L. Callers that
 * need no indexed table (the exported getters) go from here straight to
 * QueltLuaMetamethodImpl_InDataValue. */
int QueltLuaMetamethodImpl_InDataLocate(lua_State *L, QueltLuaEngine *engine, int index, int op,
                                        QueltLuaInDataElement *element);
/* The dereference of an element's member or field, with its messages: a table at 1 and the name
 * at 2 (on top); pushes the value or nil and returns 1. */
int QueltLuaMetamethodImpl_InDataValue(lua_State *L, int op, DDS_SampleInfo *info, DDS_DynamicData *sample);
int QueltLuaMetamethodImpl_InDataLen(lua_State *L);

/* JSON text of a sample: buffer is the caller's 512-byte buffer; *allocated becomes 1 when the
 * result is a heap string the caller frees (DDS_String_free). Null when there is no text. */
char *QueltLuaMetamethodImpl_getJSONString(DDS_DynamicData *data, char *buffer, int *allocated);
DDS_ReturnCode_t QueltLuaMetamethodImpl_to_json(DDS_DynamicData *data, char *buffer, DDS_UnsignedLong *size,
                                                int setting);

#ifdef __cplusplus
}
#endif

#endif
