/* The toolkit through which the rest of the system touches a Lua state: the engine's main table
 * and CONTEXT, typed access to the table on top of the stack, the alias maps (position -> entity
 * name), the owning engine of a state, a stack dump and the script-file change test.
 *
 * Every helper leaves the stack at the height it found it, except the push helpers, which leave
 * exactly one value more. Table reads and writes are raw: metatables are never consulted. */
#ifndef QUELT_LUA_COMMON_H
#define QUELT_LUA_COMMON_H

#include <time.h>

#include "LuaApi.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QueltLuaEngine QueltLuaEngine;

/* Table keys of the per-call paths (exported getters and setters, indexing of samples), interned
 * once per engine: pushing one reads the registry's array instead of hashing the text again. */
typedef enum QueltLuaKey {
    QUELT_LUA_KEY_READER,     /* "READER" */
    QUELT_LUA_KEY_WRITER,     /* "WRITER" */
    QUELT_LUA_KEY_SAMPLES,    /* "samples" */
    QUELT_LUA_KEY_INFOS,      /* "infos" */
    QUELT_LUA_KEY_INSTANCE,   /* "instance" */
    QUELT_LUA_KEY_SAMPLE_SEQ, /* "#sampleSeq" */
    QUELT_LUA_KEY_INFO_SEQ,   /* "#infoSeq" */
    QUELT_LUA_KEY_SAMPLE,     /* "#sample" */
    QUELT_LUA_KEY_INFO,       /* "#info" */
    QUELT_LUA_KEY_KEY_HOLDER, /* "#keyHolder" */
    QUELT_LUA_KEY_READER_LUD, /* "#reader" */
    QUELT_LUA_KEY_LOAN,       /* "#loan" */
    QUELT_LUA_KEY_OWNER,      /* "#owner" */
    QUELT_LUA_KEY_WRITER_LUD, /* "#writer" */
    QUELT_LUA_KEY_COUNT
} QueltLuaKey;

/* Names of the alias maps inside CONTEXT. */
#define QUELT_LUA_INPUT_MAP "#input_map"
#define QUELT_LUA_OUTPUT_MAP "#output_map"

/* Push helpers: 1 and one value more on success; 0 and the stack unchanged on failure. */
int QueltLuaCommon_pushMainOnTop(QueltLuaEngine *engine);
int QueltLuaCommon_pushTableOnTopFromMainTable(QueltLuaEngine *engine, const char *key);
/* The same for a table whose name is an interned key. */
int QueltLuaCommon_pushInternedTableFromMainTable(QueltLuaEngine *engine, QueltLuaKey key);
/* A key that does not hold a table fails silently (that is how entries are probed). */
int QueltLuaCommon_pushTableOnTopFromTopTable(lua_State *L, const char *key);
/* Pushes top[key] whatever its type, nil included. */
int QueltLuaCommon_pushFunctionOnTopFromTopTable(lua_State *L, const char *key);

/* top[key] = value. 1 / 0 (0 when the top is not a table). */
int QueltLuaCommon_assertFunctionIntoTopTable(lua_State *L, const char *key, lua_CFunction function);
int QueltLuaCommon_assertNumberIntoTopTable(lua_State *L, const char *key, double value);
int QueltLuaCommon_assertBooleanIntoTopTable(lua_State *L, const char *key, int value);
int QueltLuaCommon_assertStringIntoTopTable(lua_State *L, const char *key, const char *value);

/* 0 when the top is not a table or the value is not a boolean. */
int QueltLuaCommon_getBooleanFromTopTable(lua_State *L, const char *key, int *value);
/* Succeed also when the key is missing or not convertible; *value is then untouched. The string
 * points into the Lua state: valid while the slot keeps its string (a number's text is not kept). */
int QueltLuaCommon_getNumberFromTopTable(lua_State *L, const char *key, double *value);
int QueltLuaCommon_getStringFromTopTable(lua_State *L, const char *key, const char **value);
/* Full or light userdata, or null. */
void *QueltLuaCommon_getUserdataFromTopTable(lua_State *L, const char *key);

/* The engine that owns L, or null. */
QueltLuaEngine *QueltLuaCommon_getEngineReferenceFromRegistry(lua_State *L);
/* CONTEXT[key] as a userdata pointer, or null. */
void *QueltLuaCommon_getUserdataFromContext(lua_State *L, const char *key);

/* Length of CONTEXT[map], -1 on failure. */
int QueltLuaCommon_getAliasMapLength(lua_State *L, const char *map);
/* CONTEXT[map][position], or null. Points into the Lua state. */
const char *QueltLuaCommon_getNameFromIndex(lua_State *L, int position, const char *map);
/* CONTEXT[map][position] = name (position is 1-based). */
void QueltLuaCommon_associateNameAndIdex(QueltLuaEngine *engine, const char *name, int position, const char *map);

/* Prints the whole stack, bottom to top, while errors of the Lua submodule are enabled. */
void QueltLuaCommon_stackDump(lua_State *L);

/* 1 when the file's modification time is newer than *timestamp (which is then updated) or the
 * file cannot be examined; 0 otherwise. */
int QueltLuaCommon_didFileChange(time_t *timestamp, const char *path);

#ifdef __cplusplus
}
#endif

#endif
