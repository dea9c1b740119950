/* The Lua side of one connector: its state, a private copy of the container record, and the
 * layout every other module relies on:
 *
 *   registry[lud(engine)] = main table          registry[lud(L)] = lud(engine)
 *   registry[keyRefs[k]] = text of QueltLuaKey k (interned table keys)
 *   main.READER == main.INPUT   (input entries by reader name; __index/__len by position)
 *   main.WRITER == main.OUTPUT  (output entries by writer name; __index/__len by position)
 *   main.CONTEXT = { LOG = {Exception, Warning}, intentExit = false, ["#plugin_lud"] = lud(userData),
 *                    ["#output_map"] = {}, ["#input_map"] = {} }
 *   globals: container name (main table), "#input_mt", "#input_already_indexed_mt", "#info_mt",
 *            "#info_already_indexed_mt", "#output_mt"
 */
#ifndef QUELT_LUA_ENGINE_H
#define QUELT_LUA_ENGINE_H

#include <stdint.h>

#include "Common.h"
#include "Container.h"
#include "dds/dds_domain.h"
#include "dds/dds_dynamicdata.h"
#include "LuaApi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* System clock: its first (only) operation writes the current time. */
typedef struct QueltLuaClock {
    void (*now)(DDS_Time_t *time);
} QueltLuaClock;

struct QueltLuaEngine {
    lua_State *L; /* first field: the helpers read the state from here */
    QueltLuaContainer container;
    QueltLuaClock *clock;
    DDS_Time_t lastCheck; /* last script-file check; creation time at first */
    int loadOnce;
    const char *fileName; /* borrowed */
    const char *script;   /* borrowed */
    int ownsState;        /* 1: L was created here and is closed on delete */
    int keyRefs[QUELT_LUA_KEY_COUNT]; /* registry references of the interned keys */
    int metatableRefs[5];             /* registry references of the five data-table metatables */
    const void *metatables[5];        /* their addresses: the references keep them alive and in place */
    /* Bumped before any Lua code may run on the engine's own state (a script, a protected call
     * that honours metamethods): only then can the tables change. Where an entity name led at
     * one count it leads while the count stays (the two lookups below remember their last). */
    unsigned long long epoch;
    struct QueltLuaLookup {
        unsigned long long epoch; /* 0: nothing remembered */
        char name[64];
        const void *found[2];
    } lastOutput, lastInput;
};
typedef struct QueltLuaEngine QueltLuaEngine;

/* Global names of the five data-table metatables. */
#define QUELT_LUA_INPUT_MT "#input_mt"
#define QUELT_LUA_INPUT_ALREADY_INDEXED_MT "#input_already_indexed_mt"
#define QUELT_LUA_INFO_MT "#info_mt"
#define QUELT_LUA_INFO_ALREADY_INDEXED_MT "#info_already_indexed_mt"
#define QUELT_LUA_OUTPUT_MT "#output_mt"

/* 1 when the value at index is a table whose metatable is one of engine's five data-table
 * metatables (an instance, samples or infos table, or a table indexed from one of them); 0 for a
 * null engine and anything else. A table a script kept from a deleted connector fails here, also
 * when its state has another connector now: its pointers must not be followed. Stack unchanged. */
int QueltLuaEngine_ownsDataTable(const QueltLuaEngine *engine, lua_State *L, int index);
/* Where the engine's tables lead from an entity name, as scripts may change them: the DynamicData
 * at WRITER[name].instance["#sample"], or the sequences at READER[name].samples. Raw lookups:
 * no metamethod runs, nothing is logged, the stack is kept. Null (0) when the path breaks. The
 * last answer of each is given again while no Lua code has run on the engine's own state. */
const void *QueltLuaEngine_outputSample(QueltLuaEngine *engine, const char *name);
/* The same, with the writer at WRITER[name]["#writer"] (null when missing). */
const void *QueltLuaEngine_outputEntry(QueltLuaEngine *engine, const char *name, const void **writer);
int QueltLuaEngine_inputSequences(QueltLuaEngine *engine, const char *name, const void **samples, const void **infos);

/* To be called before Lua code may run on the engine's state: a script, or a protected call
 * whose lookups honour metamethods. */
static inline void QueltLuaEngine_touch(QueltLuaEngine *engine) {
    ++engine->epoch;
}

/* Pushes the text of key onto L (the engine's state or one of its coroutines). */
static inline void QueltLuaEngine_pushKey(const QueltLuaEngine *engine, lua_State *L, QueltLuaKey key) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, engine->keyRefs[key]);
}
/* The text of key. */
const char *QueltLuaEngine_keyText(QueltLuaKey key);

/* container is copied, not retained. state: a Lua state with an empty stack to borrow, or null to
 * create one. Null on failure, with nothing left allocated. */
QueltLuaEngine *QueltLuaEngine_new(const QueltLuaContainer *container, lua_State *state);
void QueltLuaEngine_delete(QueltLuaEngine *engine);

/* Input and output entries. position is the entity's 0-based index; pointers may be null. */
int QueltLuaEngine_assertInput(QueltLuaEngine *engine, const char *name, int position,
                               DDS_DynamicDataSeq *dataSequence, DDS_SampleInfoSeq *infoSequence,
                               DDS_DynamicData *keyHolder, DDS_DynamicDataReader *reader);
int QueltLuaEngine_assertOutput(QueltLuaEngine *engine, const char *name, int position, DDS_DynamicData *instance,
                                DDS_DynamicDataWriter *writer);

/* Context values (raw, replacing any earlier value). 1 / 0. */
int QueltLuaEngine_assertFunctionIntoContext(QueltLuaEngine *engine, const char *name, lua_CFunction function);
int QueltLuaEngine_assertNumberIntoContext(QueltLuaEngine *engine, const char *name, double value);
int QueltLuaEngine_assertBooleanIntoContext(QueltLuaEngine *engine, const char *name, int value);
int QueltLuaEngine_assertStringIntoContext(QueltLuaEngine *engine, const char *name, const char *value);
/* A missing or non-numeric key gives 0.0 and 1. */
int QueltLuaEngine_getNumberFromContext(QueltLuaEngine *engine, const char *name, double *value);
/* 0 (value untouched) when the key does not hold a boolean. */
int QueltLuaEngine_getBooleanFromContext(QueltLuaEngine *engine, const char *name, uint8_t *value);
/* A missing key leaves *value untouched and gives 1. The text of a number is kept by the engine
 * until the next context read of a string. */
int QueltLuaEngine_getStringFromContext(QueltLuaEngine *engine, const char *name, const char **value);

/* Script execution. The texts are borrowed. Compiled chunks are cached in the globals
 * "xmlscriptfunction" (text: the first one compiled stays) and "filefunction" (file: reloaded when
 * its modification time advances, checked at most once per container.checkPeriod; kept when a
 * reload does not compile; dropped when another file name is registered). The execute functions
 * return 0 (also for a text or file that does not compile with nothing cached), -1 for nothing to
 * run or a chunk that returned a value, or the status of a failed run; after a run that returns
 * nothing every reader's loan is returned. */
void QueltLuaEngine_assertCode(QueltLuaEngine *engine, int loadOnce, const char *fileName, const char *script);
int QueltLuaEngine_execute(QueltLuaEngine *engine);
int QueltLuaEngine_executeScript(QueltLuaEngine *engine, const char *text);
int QueltLuaEngine_executeFile(QueltLuaEngine *engine, int loadOnce, const char *path);
/* Returns the loan of every input entry through QueltLuaContainer_In, in a protected call. */
void QueltLuaEngine_returnAllLoans(QueltLuaEngine *engine);

/* Entry points installed in Lua (no upvalues). */
int QueltLuaEngine_InTableIndex(lua_State *L);
int QueltLuaEngine_InTableLen(lua_State *L);
int QueltLuaEngine_OutTableIndex(lua_State *L);
int QueltLuaEngine_OutTableLen(lua_State *L);
int QueltLuaEngine_InRead(lua_State *L);
int QueltLuaEngine_InTake(lua_State *L);
int QueltLuaEngine_OutWrite(lua_State *L);
int QueltLuaEngine_OutUnregister(lua_State *L);
int QueltLuaEngine_OutDispose(lua_State *L);
int QueltLuaEngine_OutClearMembers(lua_State *L);
int QueltLuaEngine_InDataIndex(lua_State *L);
int QueltLuaEngine_InfoDataIndex(lua_State *L);
int QueltLuaEngine_InDataNewindex(lua_State *L);
int QueltLuaEngine_InDataLen(lua_State *L);
int QueltLuaEngine_InDataIndexAlreadyIndexed(lua_State *L);
int QueltLuaEngine_InfoDataIndexAlreadyIndexed(lua_State *L);
int QueltLuaEngine_InDataLenAlreadyIndexed(lua_State *L);
int QueltLuaEngine_InData_ipairs(lua_State *L);
int QueltLuaEngine_InfoData_ipairs(lua_State *L);
int QueltLuaEngine_InData_iterator(lua_State *L);
int QueltLuaEngine_IngoData_iterator(lua_State *L);
int QueltLuaEngine_OutDataIndex(lua_State *L);
int QueltLuaEngine_OutDataNewindex(lua_State *L);
int QueltLuaEngine_OutDataLen(lua_State *L);
int QueltLuaEngine_LogException(lua_State *L);
int QueltLuaEngine_LogWarning(lua_State *L);
/* CONTEXT "json": the JSON text of a received sample (samples[i]) or of a writer's instance. */
int QueltLuaEngine_Json(lua_State *L);

/* Functions of input entries ("read", "take") and output entries ("write", "unregister",
 * "dispose", "clear_members"), null-terminated. */
extern const luaL_Reg QueltLuaEngine_INLIB[];
extern const luaL_Reg QueltLuaEngine_OUTLIB[];

#ifdef __cplusplus
}
#endif

#endif
