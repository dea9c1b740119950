/* The container record (the table of DDS operations the engine calls, plus the main-table name
 * and the script check period) and the two gateways that move samples between DDS and Lua. */
#ifndef QUELT_LUA_CONTAINER_H
#define QUELT_LUA_CONTAINER_H

#include <time.h>

#include "dds/dds_domain.h"
#include "dds/dds_dynamicdata.h"
#include "LuaApi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A null operation slot means the operation is not available; the gateways then skip it. */
typedef struct QueltLuaContainer {
    time_t fileTimestamp; /* modification time of the script file as last seen */
    void *userData;       /* owner (the connector); published as CONTEXT["#plugin_lud"] */
    int (*getInputLength)(DDS_DynamicDataSeq *sequence);
    DDS_DynamicData *(*getSample)(DDS_DynamicDataSeq *sequence, int index);
    DDS_SampleInfo *(*getSampleInfo)(DDS_SampleInfoSeq *sequence, int index);
    DDS_ReturnCode_t (*write)(DDS_DynamicDataWriter *writer, DDS_DynamicData *sample);
    DDS_ReturnCode_t (*write_w_params)(DDS_DynamicDataWriter *writer, DDS_DynamicData *sample,
                                       DDS_WriteParams_t *params);
    DDS_ReturnCode_t (*unregister)(DDS_DynamicDataWriter *writer, DDS_DynamicData *sample);
    DDS_ReturnCode_t (*dispose)(DDS_DynamicDataWriter *writer, DDS_DynamicData *sample);
    DDS_ReturnCode_t (*take)(DDS_DynamicDataReader *reader, int maxSamples, DDS_DynamicDataSeq *dataSequence,
                             DDS_SampleInfoSeq *infoSequence);
    DDS_ReturnCode_t (*read)(DDS_DynamicDataReader *reader, int maxSamples, DDS_DynamicDataSeq *dataSequence,
                             DDS_SampleInfoSeq *infoSequence);
    DDS_ReturnCode_t (*return_loan)(DDS_DynamicDataReader *reader, DDS_DynamicDataSeq *dataSequence,
                                    DDS_SampleInfoSeq *infoSequence);
    DDS_ReturnCode_t (*get_key_value)(DDS_DynamicDataReader *reader, DDS_DynamicData *keyHolder,
                                      DDS_SampleInfo *info);
    char *name;                          /* global of the main table ("CONTAINER"); null: no global */
    DDS_Long checkPeriodSec;             /* seconds between script-file checks; negative: never */
    DDS_UnsignedLong checkPeriodNanosec; /* nanosecond part */
} QueltLuaContainer;

typedef enum QueltLuaInOperation {
    QUELT_LUA_IN_READ = 0,
    QUELT_LUA_IN_TAKE = 1,
    QUELT_LUA_IN_RETURN_LOAN = 3
} QueltLuaInOperation;

typedef enum QueltLuaOutOperation {
    QUELT_LUA_OUT_WRITE = 0,
    QUELT_LUA_OUT_UNREGISTER = 1,
    QUELT_LUA_OUT_DISPOSE = 2,
    QUELT_LUA_OUT_CLEAR_MEMBERS = 3,
    QUELT_LUA_OUT_WRITE_W_PARAMS = 4
} QueltLuaOutOperation;

/* destination: fileTimestamp 0, operation slots and checkPeriod copied, name duplicated (DDS
 * string) when non-null; userData untouched. */
void QueltLuaContainer_initFrom(const QueltLuaContainer *source, QueltLuaContainer *destination);
/* Frees the duplicated name and clears it; null is ignored. */
void QueltLuaContainer_free(QueltLuaContainer *container);

/* Stack: input entry [, max samples]. Leaves entry, samples table. Returns 1 (Lua results). */
int QueltLuaContainer_In(lua_State *L, int operation);
/* Stack: output entry [, lud write params]. Leaves entry, instance table. Returns 1. */
int QueltLuaContainer_Out(lua_State *L, int operation);

#ifdef __cplusplus
}
#endif

#endif
