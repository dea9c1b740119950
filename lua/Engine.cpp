// The engine: creation of the Lua layout, its entry points, input and output entries and the
// context values.
//
// Lua reports errors with longjmp: no object with a destructor lives across a Lua API call. The
// layout is built inside a protected call, so running out of memory there is a creation failure
// instead of a panic.
#include "Engine.h"

#include <cstdlib>
#include <cstring>

#include "Common.h"
#include "Container.h"
#include "dds/dds_util.h"
#include "Internal.h"
#include "Log.h"
#include "MetamethodImpl.h"

namespace {

const char *const kKeyTexts[QUELT_LUA_KEY_COUNT] = {"READER",   "WRITER",     "samples",  "infos",
                                                     "instance", "#sampleSeq", "#infoSeq", "#sample",
                                                     "#info",    "#keyHolder", "#reader",  "#loan",
                                                     "#owner",   "#writer"};

void internKeys(lua_State *L, QueltLuaEngine *engine) {
    for (int key = 0; key < QUELT_LUA_KEY_COUNT; ++key) {
        lua_pushstring(L, kKeyTexts[key]);                     /* push the text */
        engine->keyRefs[key] = luaL_ref(L, LUA_REGISTRYINDEX); /* pops it */
    }
}

// Only a borrowed state needs this: a closed state takes its registry along.
void releaseKeys(lua_State *L, QueltLuaEngine *engine) {
    for (int &ref : engine->keyRefs) {
        if (ref > 0) {
            luaL_unref(L, LUA_REGISTRYINDEX, ref);
        }
        ref = LUA_NOREF;
    }
    for (int &ref : engine->metatableRefs) {
        if (ref > 0) {
            luaL_unref(L, LUA_REGISTRYINDEX, ref);
        }
        ref = LUA_NOREF;
    }
    for (const void *&address : engine->metatables) {
        address = nullptr; // no longer kept alive: another table may take that address
    }
}

// What the protected layout builder needs: the engine and the owner to publish in CONTEXT.
struct LayoutArgs {
    QueltLuaEngine *engine;
    void *userData;
};

// Pushes _G[name] without consulting a metatable a script may have put on _G.
void pushGlobalRaw(lua_State *L, const char *name) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS); /* push _G */
    lua_pushstring(L, name);                             /* push name */
    lua_rawget(L, -2);                                   /* replace name by _G[name] */
    lua_remove(L, -2);                                   /* drop _G */
}

// t[key] = function, t on top.
void setFunction(lua_State *L, const char *key, lua_CFunction function) {
    lua_pushstring(L, key);           /* push key */
    lua_pushcclosure(L, function, 0); /* push function, no upvalues */
    lua_rawset(L, -3);                /* t[key] = function; pops both */
}

// Builds a metatable from a null-terminated list and publishes it as global `name`; the engine
// keeps its own reference, which tells its data tables from those of an engine deleted before.
void setMetatableGlobal(lua_State *L, int *ref, const void **address, const char *name, const luaL_Reg *methods) {
    lua_newtable(L); /* push metatable */
    for (const luaL_Reg *m = methods; m->name != nullptr; ++m) {
        setFunction(L, m->name, m->func);
    }
    *address = lua_topointer(L, -1);
    lua_pushvalue(L, -1);                     /* push a copy */
    *ref = luaL_ref(L, LUA_REGISTRYINDEX);    /* pops the copy */
    lua_setglobal(L, name); /* _G[name] = metatable; pops it */
}

// main[key] = new empty table with metatable {__index, __len}, main at index 1.
void createEntityTable(lua_State *L, const char *key, lua_CFunction index, lua_CFunction len) {
    lua_pushstring(L, key);  /* push key */
    lua_newtable(L);         /* push the entity table */
    lua_newtable(L);         /* push its metatable */
    setFunction(L, "__index", index);
    setFunction(L, "__len", len);
    lua_setmetatable(L, -2); /* pop metatable into the entity table */
    lua_rawset(L, 1);        /* main[key] = table; pops both */
}

// main[alias] = main[key], main at index 1.
void aliasMainField(lua_State *L, const char *alias, const char *key) {
    lua_pushstring(L, alias); /* push alias */
    lua_pushstring(L, key);   /* push key */
    lua_rawget(L, 1);         /* replace key by main[key] */
    lua_rawset(L, 1);         /* main[alias] = main[key]; pops both */
}

// Runs in protected mode with lud(LayoutArgs) as its only argument; lays out everything the
// other modules rely on and leaves the stack of its frame empty.
int buildLayout(lua_State *L) {
    const LayoutArgs *args = static_cast<const LayoutArgs *>(lua_touserdata(L, 1));
    QueltLuaEngine *engine = args->engine;
    void *userData = args->userData;
    lua_settop(L, 0); /* drop the argument: the main table goes to index 1 */

    luaL_openlibs(L);
    internKeys(L, engine);

    lua_pushlightuserdata(L, engine); /* push key lud(engine) */
    lua_newtable(L);                  /* push the main table */
    lua_rawset(L, LUA_REGISTRYINDEX); /* registry[lud(engine)] = main; pops both */
    lua_pushlightuserdata(L, L);      /* push key lud(L) */
    lua_pushlightuserdata(L, engine); /* push lud(engine) */
    lua_rawset(L, LUA_REGISTRYINDEX); /* registry[lud(L)] = lud(engine); pops both */
    lua_pushlightuserdata(L, engine); /* push key lud(engine) */
    lua_rawget(L, LUA_REGISTRYINDEX); /* replace it by the main table, now at 1 */

    createEntityTable(L, "READER", QueltLuaEngine_InTableIndex, QueltLuaEngine_InTableLen);
    aliasMainField(L, "INPUT", "READER");
    createEntityTable(L, "WRITER", QueltLuaEngine_OutTableIndex, QueltLuaEngine_OutTableLen);
    aliasMainField(L, "OUTPUT", "WRITER");

    lua_pushstring(L, "CONTEXT"); /* push key, at 2 */
    lua_newtable(L);              /* push CONTEXT, at 3 */
    lua_pushstring(L, "LOG");     /* push key */
    lua_newtable(L);              /* push LOG */
    setFunction(L, "Exception", QueltLuaEngine_LogException);
    setFunction(L, "Warning", QueltLuaEngine_LogWarning);
    lua_rawset(L, 3);                   /* CONTEXT.LOG = LOG; pops both */
    setFunction(L, "json", QueltLuaEngine_Json);
    lua_pushstring(L, "intentExit");    /* push key */
    lua_pushboolean(L, 0);              /* push false */
    lua_rawset(L, 3);                   /* CONTEXT.intentExit = false; pops both */
    lua_pushstring(L, "#plugin_lud");   /* push key */
    lua_pushlightuserdata(L, userData); /* push lud(owner) */
    lua_rawset(L, 3);                   /* CONTEXT["#plugin_lud"] = owner; pops both */
    lua_pushstring(L, QUELT_LUA_OUTPUT_MAP); /* push key */
    lua_newtable(L);                         /* push the writers' alias map */
    lua_rawset(L, 3);                        /* pops both */
    lua_pushstring(L, QUELT_LUA_INPUT_MAP);  /* push key */
    lua_newtable(L);                         /* push the readers' alias map */
    lua_rawset(L, 3);                        /* pops both */
    lua_rawset(L, 1);                        /* main.CONTEXT = CONTEXT; pops key and CONTEXT */

    if (engine->container.name != nullptr) {
        lua_setglobal(L, engine->container.name); /* publish the main table; pops it */
    } else {
        lua_pop(L, 1); /* pop the main table: reachable through the registry only */
    }

    static const luaL_Reg inputMt[] = {{"__newindex", QueltLuaEngine_InDataNewindex},
                                       {"__index", QueltLuaEngine_InDataIndex},
                                       {"__len", QueltLuaEngine_InDataLen},
                                       {"__ipairs", QueltLuaEngine_InData_ipairs},
                                       {nullptr, nullptr}};
    static const luaL_Reg inputIndexedMt[] = {{"__newindex", QueltLuaEngine_InDataNewindex},
                                              {"__index", QueltLuaEngine_InDataIndexAlreadyIndexed},
                                              {"__len", QueltLuaEngine_InDataLenAlreadyIndexed},
                                              {nullptr, nullptr}};
    static const luaL_Reg infoMt[] = {{"__newindex", QueltLuaEngine_InDataNewindex},
                                      {"__index", QueltLuaEngine_InfoDataIndex},
                                      {"__len", QueltLuaEngine_InDataLen},
                                      {"__ipairs", QueltLuaEngine_InfoData_ipairs},
                                      {nullptr, nullptr}};
    static const luaL_Reg infoIndexedMt[] = {{"__newindex", QueltLuaEngine_InDataNewindex},
                                             {"__index", QueltLuaEngine_InfoDataIndexAlreadyIndexed},
                                             {"__len", QueltLuaEngine_InDataLenAlreadyIndexed},
                                             {nullptr, nullptr}};
    static const luaL_Reg outputMt[] = {{"__newindex", QueltLuaEngine_OutDataNewindex},
                                        {"__index", QueltLuaEngine_OutDataIndex},
                                        {"__len", QueltLuaEngine_OutDataLen},
                                        {nullptr, nullptr}};
    int *refs = engine->metatableRefs;
    setMetatableGlobal(L, &refs[0], &engine->metatables[0], QUELT_LUA_INPUT_MT, inputMt);
    setMetatableGlobal(L, &refs[1], &engine->metatables[1], QUELT_LUA_INPUT_ALREADY_INDEXED_MT, inputIndexedMt);
    setMetatableGlobal(L, &refs[2], &engine->metatables[2], QUELT_LUA_INFO_MT, infoMt);
    setMetatableGlobal(L, &refs[3], &engine->metatables[3], QUELT_LUA_INFO_ALREADY_INDEXED_MT, infoIndexedMt);
    setMetatableGlobal(L, &refs[4], &engine->metatables[4], QUELT_LUA_OUTPUT_MT, outputMt);
    return 0;
}

// Removes the registry entries of engine from L, so that nothing in a state that outlives the
// engine can reach the freed record. Only nil is stored: this cannot run out of memory.
void forgetEngine(lua_State *L, QueltLuaEngine *engine) {
    const int top = lua_gettop(L);
    lua_pushlightuserdata(L, L);      /* push key lud(L) */
    lua_rawget(L, LUA_REGISTRYINDEX); /* replace it by registry[lud(L)] */
    const bool designatesEngine = lua_touserdata(L, -1) == engine;
    lua_pop(L, 1); /* pop it */
    if (designatesEngine) {
        lua_pushlightuserdata(L, L);      /* push key lud(L) */
        lua_pushnil(L);                   /* push nil */
        lua_rawset(L, LUA_REGISTRYINDEX); /* registry[lud(L)] = nil; pops both */
    }
    lua_pushlightuserdata(L, engine); /* push key lud(engine) */
    lua_pushnil(L);                   /* push nil */
    lua_rawset(L, LUA_REGISTRYINDEX); /* registry[lud(engine)] = nil; pops both */
    lua_settop(L, top);
}

void releaseEngine(QueltLuaEngine *engine) {
    QueltLuaContainer_free(&engine->container);
    if (engine->L != nullptr) {
        if (engine->ownsState) {
            lua_close(engine->L);
        } else {
            forgetEngine(engine->L, engine);
            releaseKeys(engine->L, engine);
        }
        engine->L = nullptr;
    }
    std::free(engine->clock);
    std::free(engine);
}

// Pushes the named entity table (READER or WRITER) and then entry[name] when it exists.
// Returns 1 with both pushed, 0 with only the entity table pushed (missing entry), -1 with nothing
// pushed (missing entity table, logged with ctx).
int pushEntityAndEntry(QueltLuaEngine *engine, const char *table, const char *name, const char *ctx) {
    if (!QueltLuaCommon_pushTableOnTopFromMainTable(engine, table)) { /* push READER / WRITER */
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, table);
        return -1;
    }
    return QueltLuaCommon_pushTableOnTopFromTopTable(engine->L, name); /* push the entry if any */
}

// New data table with the metatable of global `mt`, under `key` of the table on top.
// Returns 0 (stack unchanged) when the metatable is missing.
int addDataTable(lua_State *L, const char *key, const char *mt, const char *ctx) {
    lua_pushstring(L, key); /* push key */
    lua_newtable(L);        /* push the data table */
    pushGlobalRaw(L, mt);   /* push the metatable */
    if (!lua_istable(L, -1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, mt);
        lua_pop(L, 3); /* pop the non-table, data table and key */
        return 0;
    }
    lua_setmetatable(L, -2); /* pop the metatable into the data table */
    lua_rawset(L, -3);       /* top[key] = data table; pops both */
    return 1;
}

// t[key] = lud(pointer), or nil for a null pointer; t on top.
void setPointer(lua_State *L, const char *key, void *pointer) {
    lua_pushstring(L, key); /* push key */
    if (pointer != nullptr) {
        lua_pushlightuserdata(L, pointer); /* push lud(pointer) */
    } else {
        lua_pushnil(L); /* push nil */
    }
    lua_rawset(L, -3); /* t[key] = value; pops both */
}

// t[key] = a null light userdata; t on top.
void setNullPointer(lua_State *L, const char *key) {
    lua_pushstring(L, key);             /* push key */
    lua_pushlightuserdata(L, nullptr);  /* push lud(NULL) */
    lua_rawset(L, -3);                  /* pops both */
}

// Binds the six keys of a samples or infos table (entry on top) to the reader's buffers.
int bindInputDataTable(lua_State *L, const char *key, DDS_DynamicDataSeq *dataSequence,
                       DDS_SampleInfoSeq *infoSequence, DDS_DynamicData *keyHolder,
                       DDS_DynamicDataReader *reader, const char *ctx) {
    lua_pushstring(L, key); /* push key */
    lua_rawget(L, -2);      /* replace it by entry[key] */
    if (!lua_istable(L, -1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, key);
        lua_pop(L, 1); /* pop the non-table */
        return 0;
    }
    setPointer(L, "#sampleSeq", dataSequence);
    setNullPointer(L, "#sample");
    setPointer(L, "#infoSeq", infoSequence);
    setNullPointer(L, "#info");
    setPointer(L, "#reader", reader);
    setPointer(L, "#keyHolder", keyHolder);
    lua_pushstring(L, "#loan"); /* push key */
    lua_pushnumber(L, 0);       /* push the first loan's number */
    lua_rawset(L, -3);          /* table["#loan"] = 0; pops both */
    lua_pop(L, 1); /* pop the data table */
    return 1;
}

// The prologue shared by the context operations: the engine is usable and CONTEXT is pushed.
int pushContext(QueltLuaEngine *engine, const char *name, const char *ctx) {
    if (engine == nullptr || engine->L == nullptr || name == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "engine and name");
        return 0;
    }
    if (!QueltLuaCommon_pushTableOnTopFromMainTable(engine, "CONTEXT")) { /* push CONTEXT */
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, "CONTEXT");
        return 0;
    }
    return 1;
}

// Iterator step shared by samples (GET) and infos (INFO): (table, i) -> i + 1, element.
int iteratorStep(lua_State *L, int selector) {
    // Never a Lua error: a control value that is not a number starts the walk at 1.
    const lua_Integer n = static_cast<lua_Integer>(quelt::lua::truncateToInt(lua_tonumberx(L, 2, nullptr))) + 1;
    lua_settop(L, 2);
    lua_pushinteger(L, n); /* push n */
    lua_replace(L, 2);     /* slot 2 = n */
    if (QueltLuaMetamethodImpl_InDataIndexing(L, selector) != 0) {
        return 0; // nothing pushed: the loop ends
    }
    if (lua_gettop(L) < 2 || lua_isnil(L, 2)) {
        return 0;
    }
    lua_pushinteger(L, n); /* push n */
    lua_pushvalue(L, 2);   /* push a copy of the element */
    return 2;
}

// Prints the text of the last argument followed by a newline under the given level.
int logFromScript(lua_State *L, int level) {
    const int top = lua_gettop(L);
    if (top == 0 || !QueltLuaLog_isEnabled(level, QUELT_LUA_LOG_SUBMODULE_LUA)) {
        return 0;
    }
    const char *text = luaL_tolstring(L, top, nullptr); /* push the text form of the argument */
    QueltLuaLog_plain(level, QUELT_LUA_LOG_SUBMODULE_LUA, "%s\n", text);
    lua_pop(L, 1); /* pop the text */
    return 0;
}


/* ---- script execution helpers ---- */

// Globals that cache the compiled script text and script file.
const char *const kScriptCache = "xmlscriptfunction";
const char *const kFileCache = "filefunction";

// Pushes the cached chunk _G[name] and returns true when it is a function; otherwise pushes
// nothing and returns false (any other value means nothing is cached).
bool pushCachedChunk(lua_State *L, const char *name) {
    pushGlobalRaw(L, name); /* push _G[name] */
    if (lua_isfunction(L, -1)) {
        return true;
    }
    lua_pop(L, 1); /* pop the non-function */
    return false;
}

// _G[name] = the chunk on top, which stays on top. Raw: a metatable a script put on _G is not
// consulted.
void cacheChunk(lua_State *L, const char *name) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS); /* push _G */
    lua_pushstring(L, name);                             /* push name */
    lua_pushvalue(L, -3);                                /* push the chunk */
    lua_rawset(L, -3);                                   /* _G[name] = chunk; pops both */
    lua_pop(L, 1);                                       /* pop _G */
}

// Both null, or equal texts.
bool sameText(const char *a, const char *b) {
    return a == b || (a != nullptr && b != nullptr && std::strcmp(a, b) == 0);
}

// _G[name] = nil, raw; name holds a value (a cached chunk), so nothing is allocated.
void forgetChunk(lua_State *L, const char *name) {
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS); /* push _G */
    lua_pushstring(L, name);                             /* push name */
    lua_pushnil(L);                                      /* push nil */
    lua_rawset(L, -3);                                   /* _G[name] = nil; pops both */
    lua_pop(L, 1);                                       /* pop _G */
}

// Logs the message on top (Lua's own text, with file:line) with the given record.
void logTopMessage(lua_State *L, const char *ctx, const QueltLogMessage &message) {
    const char *text = lua_type(L, -1) == LUA_TSTRING || lua_type(L, -1) == LUA_TNUMBER
                           ? lua_tolstring(L, -1, nullptr)
                           : "(error object is not a string)";
    QUELT_LUA_LOG_ERROR(ctx, message, text);
}

// A file check is due when more than the check period has passed since the last one.
bool checkIsDue(const QueltLuaEngine *engine, const DDS_Time_t &now) {
    const QueltLuaContainer &c = engine->container;
    if (c.checkPeriodSec < 0 || engine->lastCheck.sec == 0x7FFFFFFF) {
        return false;
    }
    long long sec = static_cast<long long>(now.sec) - engine->lastCheck.sec;
    long long nanosec = static_cast<long long>(now.nanosec) - engine->lastCheck.nanosec;
    if (nanosec < 0) {
        nanosec += 1000000000LL;
        --sec;
    }
    if (sec != c.checkPeriodSec) {
        return sec > c.checkPeriodSec;
    }
    return nanosec > static_cast<long long>(c.checkPeriodNanosec);
}

// Calls the chunk on top (no arguments, one result) and settles the outcome: the status of a
// failed call, -1 for a chunk that returned a value, 0 with every loan returned otherwise. The
// stack is back at top.
int runChunk(QueltLuaEngine *engine, const char *ctx, int top) {
    lua_State *L = engine->L;
    QueltLuaEngine_touch(engine);
    const int status = lua_pcall(L, 0, 1, 0); /* replace the chunk by its result or message */
    if (status != LUA_OK) {
        logTopMessage(L, ctx, LUABINDING_LOG_EXECUTE_FAILURE_s);
        QueltLuaCommon_stackDump(L);
        lua_settop(L, top); /* pop the message */
        return status;
    }
    const bool returnedNothing = lua_isnil(L, -1);
    lua_settop(L, top); /* pop the result */
    if (!returnedNothing) {
        return -1; // the samples of this run stay loaned, as the script asked for nothing else
    }
    QueltLuaEngine_returnAllLoans(engine);
    return 0;
}

// registry[lud(L)] = lud(engine), or nil for a null engine. Storing a light userdata or nil under
// an existing key does not allocate.
void designateEngine(lua_State *L, void *engine) {
    lua_pushlightuserdata(L, L); /* push key lud(L) */
    if (engine != nullptr) {
        lua_pushlightuserdata(L, engine); /* push lud(engine) */
    } else {
        lua_pushnil(L); /* push nil */
    }
    lua_rawset(L, LUA_REGISTRYINDEX); /* registry[lud(L)] = value; pops both */
}

// Protected body of returnAllLoans: lud(engine) at 1. Every input entry goes through the
// container's return-loan operation, which also retires the indexed tables of that loan.
int returnAllLoansBody(lua_State *L) {
    static const char *const ctx = "QueltLuaEngine_returnAllLoans";
    auto *engine = static_cast<QueltLuaEngine *>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    if (!QueltLuaCommon_pushTableOnTopFromMainTable(engine, "READER")) { /* push READER, at 1 */
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, "READER");
        return 0;
    }
    QueltLuaEngine_InTableLen(L); /* push the number of readers */
    const int count = static_cast<int>(lua_tonumberx(L, -1, nullptr));
    lua_settop(L, 1); /* pop it */
    for (int position = 1; position <= count; ++position) {
        const char *name = QueltLuaCommon_getNameFromIndex(L, position, QUELT_LUA_INPUT_MAP);
        if (name == nullptr) {
            QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_NO_ALIAS_FOUND_d, position);
            break;
        }
        lua_pushstring(L, name); /* push the name */
        lua_rawget(L, 1);        /* replace it by READER[name]: the entry */
        if (!lua_istable(L, -1)) {
            // A script replaced the entry: its loan stays until the middleware deletes the
            // reader with the connector.
            QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, name);
            lua_settop(L, 1); /* pop the non-table */
            continue;
        }
        QueltLuaContainer_In(L, QUELT_LUA_IN_RETURN_LOAN);
        lua_settop(L, 1); /* pop what the return left */
    }
    return 0;
}

} // namespace

extern "C" {

const luaL_Reg QueltLuaEngine_INLIB[] = {{"read", QueltLuaEngine_InRead}, {"take", QueltLuaEngine_InTake}, {nullptr, nullptr}};

const luaL_Reg QueltLuaEngine_OUTLIB[] = {{"write", QueltLuaEngine_OutWrite},
                                          {"unregister", QueltLuaEngine_OutUnregister},
                                          {"dispose", QueltLuaEngine_OutDispose},
                                          {"clear_members", QueltLuaEngine_OutClearMembers},
                                          {nullptr, nullptr}};

int QueltLuaEngine_ownsDataTable(const QueltLuaEngine *engine, lua_State *L, int index) {
    if (engine == nullptr || !lua_istable(L, index)) {
        return 0;
    }
    index = lua_absindex(L, index);
    if (!lua_getmetatable(L, index)) { /* push its metatable, if any */
        return 0;
    }
    // By address: the engine's references keep its metatables alive, and Lua does not move objects.
    const void *metatable = lua_topointer(L, -1);
    lua_pop(L, 1); /* pop the table's metatable */
    for (const void *mine : engine->metatables) {
        if (mine != nullptr && mine == metatable) {
            return 1;
        }
    }
    return 0;
}

const char *QueltLuaEngine_keyText(QueltLuaKey key) {
    return key >= 0 && key < QUELT_LUA_KEY_COUNT ? kKeyTexts[key] : nullptr;
}

QueltLuaEngine *QueltLuaEngine_new(const QueltLuaContainer *container, lua_State *state) {
    static const char *const ctx = "QueltLuaEngine_new";
    auto *engine = static_cast<QueltLuaEngine *>(std::calloc(1, sizeof(QueltLuaEngine)));
    if (engine == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_NEW_FAILURE_s, "engine");
        return nullptr;
    }
    void *userData = nullptr;
    if (container != nullptr) {
        QueltLuaContainer_initFrom(container, &engine->container);
        userData = container->userData;
    }

    engine->clock = static_cast<QueltLuaClock *>(std::calloc(1, sizeof(QueltLuaClock)));
    if (engine->clock == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_NEW_FAILURE_s, "clock");
        releaseEngine(engine);
        return nullptr;
    }
    engine->clock->now = QueltClock_now;
    engine->clock->now(&engine->lastCheck);

    if (state == nullptr) {
        engine->L = luaL_newstate();
        engine->ownsState = 1;
    } else {
        engine->L = state;
        engine->ownsState = 0;
    }
    if (engine->L == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_NEW_FAILURE_s, "luaL_newstate");
        releaseEngine(engine);
        return nullptr;
    }

    lua_State *L = engine->L;
    const int top = lua_gettop(L);
    LayoutArgs args = {engine, userData};
    lua_pushcfunction(L, buildLayout);  /* push the builder */
    lua_pushlightuserdata(L, &args);    /* push its argument */
    if (lua_pcall(L, 1, 0, 0) != LUA_OK) { /* pops both; pushes the error message on failure */
        const char *message = lua_tolstring(L, -1, nullptr);
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_NEW_FAILURE_s, message != nullptr ? message : "layout");
        lua_settop(L, top); /* pop the message */
        releaseEngine(engine);
        return nullptr;
    }
    QUELT_LUA_CHECK_TOP(L, top);
    return engine;
}

void QueltLuaEngine_delete(QueltLuaEngine *engine) {
    if (engine == nullptr) {
        return;
    }
    if (engine->L != nullptr) {
        QueltLuaEngine_returnAllLoans(engine);
    }
    releaseEngine(engine);
}

int QueltLuaEngine_assertOutput(QueltLuaEngine *engine, const char *name, int position, DDS_DynamicData *instance,
                                DDS_DynamicDataWriter *writer) {
    static const char *const ctx = "QueltLuaEngine_assertOutput";
    if (engine == nullptr || engine->L == nullptr || name == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "engine and name");
        return 0;
    }
    QueltLuaEngine_touch(engine); // the tables change here
    lua_State *L = engine->L;
    const int top = lua_gettop(L);
    const int found = pushEntityAndEntry(engine, "WRITER", name, ctx); /* push WRITER [, entry] */
    if (found < 0) {
        return 0;
    }
    if (found == 0) {
        lua_pushstring(L, name);               /* push key */
        lua_newtable(L);                       /* push the entry */
        luaL_setfuncs(L, QueltLuaEngine_OUTLIB, 0);
        if (!addDataTable(L, "instance", QUELT_LUA_OUTPUT_MT, ctx)) {
            lua_settop(L, top);
            return 0;
        }
        lua_rawset(L, -3); /* WRITER[name] = entry; pops both */
        QueltLuaCommon_associateNameAndIdex(engine, name, position + 1, QUELT_LUA_OUTPUT_MAP);
        if (!QueltLuaCommon_pushTableOnTopFromTopTable(L, name)) { /* push the new entry */
            QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_CREATE_TABLE_FAILURE_s, name);
            lua_settop(L, top);
            return 0;
        }
    }
    lua_pushstring(L, "instance"); /* push key */
    lua_rawget(L, -2);             /* replace it by entry.instance */
    if (!lua_istable(L, -1)) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, "instance");
        lua_settop(L, top);
        return 0;
    }
    setPointer(L, "#sample", instance);
    lua_pop(L, 1); /* pop the instance table */
    setPointer(L, "#writer", writer);
    lua_settop(L, top); /* pop entry and WRITER */
    QUELT_LUA_CHECK_TOP(L, top);
    return 1;
}

namespace {

// Pushes main[table][name][field] (main[table][name] for QUELT_LUA_KEY_COUNT), each a table, and
// says whether it got that far; the caller restores the stack. Run protected (pushName): making a
// Lua string of the name may fail for want of memory.
struct RawPath {
    QueltLuaEngine *engine;
    QueltLuaKey table;
    const char *name;
    QueltLuaKey field;
    bool found;
};

int pushRawPathBody(lua_State *L) {
    auto *path = static_cast<RawPath *>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    if (!quelt::lua::pushMainOf(L, path->engine)) {
        return 0;
    }
    QueltLuaEngine_pushKey(path->engine, L, path->table);
    lua_rawget(L, -2);
    if (!lua_istable(L, -1)) {
        return 0;
    }
    lua_pushstring(L, path->name);
    lua_rawget(L, -2);
    if (!lua_istable(L, -1)) {
        return 0;
    }
    if (path->field == QUELT_LUA_KEY_COUNT) { /* the entry itself */
        path->found = true;
        return 1;
    }
    QueltLuaEngine_pushKey(path->engine, L, path->field);
    lua_rawget(L, -2);
    path->found = lua_istable(L, -1);
    return 1; /* the table found, or what stands there */
}

bool pushRawPath(QueltLuaEngine *engine, QueltLuaKey table, const char *name, QueltLuaKey field) {
    lua_State *L = engine->L;
    RawPath path{engine, table, name, field, false};
    if (!lua_checkstack(L, 3)) {
        return false;
    }
    lua_pushcfunction(L, pushRawPathBody);
    lua_pushlightuserdata(L, &path);
    return lua_pcall(L, 1, 1, 0) == LUA_OK && path.found;
}

// The light userdata at table[key] of the table on top.
const void *rawPointer(QueltLuaEngine *engine, QueltLuaKey key) {
    lua_State *L = engine->L;
    QueltLuaEngine_pushKey(engine, L, key);
    lua_rawget(L, -2);
    const void *p = lua_islightuserdata(L, -1) ? lua_touserdata(L, -1) : nullptr;
    lua_pop(L, 1);
    return p;
}

// A borrowed state runs its owner's code between our calls, unseen: nothing is remembered there.
bool remembered(const QueltLuaEngine *engine, const QueltLuaEngine::QueltLuaLookup &last, const char *name) {
    return engine->ownsState && last.epoch == engine->epoch && std::strcmp(last.name, name) == 0;
}

void remember(const QueltLuaEngine *engine, QueltLuaEngine::QueltLuaLookup &last, const char *name, const void *a, const void *b) {
    const size_t n = std::strlen(name);
    last.epoch = 0;
    if (!engine->ownsState || n >= sizeof last.name) {
        return;
    }
    std::memcpy(last.name, name, n + 1);
    last.found[0] = a;
    last.found[1] = b;
    last.epoch = engine->epoch;
}

} // namespace

const void *QueltLuaEngine_outputSample(QueltLuaEngine *engine, const char *name) {
    const void *writer = nullptr;
    return QueltLuaEngine_outputEntry(engine, name, &writer);
}

const void *QueltLuaEngine_outputEntry(QueltLuaEngine *engine, const char *name, const void **writer) {
    *writer = nullptr;
    if (engine == nullptr || engine->L == nullptr || name == nullptr) {
        return nullptr;
    }
    if (remembered(engine, engine->lastOutput, name)) {
        *writer = engine->lastOutput.found[1];
        return engine->lastOutput.found[0];
    }
    lua_State *L = engine->L;
    const int top = lua_gettop(L);
    const void *sample = nullptr, *w = nullptr;
    if (pushRawPath(engine, QUELT_LUA_KEY_WRITER, name, QUELT_LUA_KEY_COUNT) && lua_checkstack(L, 2)) {
        w = rawPointer(engine, QUELT_LUA_KEY_WRITER_LUD);
        QueltLuaEngine_pushKey(engine, L, QUELT_LUA_KEY_INSTANCE);
        lua_rawget(L, -2); /* replace the key by entry.instance */
        if (lua_istable(L, -1)) {
            sample = rawPointer(engine, QUELT_LUA_KEY_SAMPLE);
        }
    }
    lua_settop(L, top);
    remember(engine, engine->lastOutput, name, sample, w);
    *writer = w;
    return sample;
}

int QueltLuaEngine_inputSequences(QueltLuaEngine *engine, const char *name, const void **samples, const void **infos) {
    if (engine == nullptr || engine->L == nullptr || name == nullptr) {
        return 0;
    }
    if (remembered(engine, engine->lastInput, name)) {
        *samples = engine->lastInput.found[0];
        *infos = engine->lastInput.found[1];
        return *samples && *infos ? 1 : 0;
    }
    const int top = lua_gettop(engine->L);
    const void *s = nullptr, *i = nullptr;
    if (pushRawPath(engine, QUELT_LUA_KEY_READER, name, QUELT_LUA_KEY_SAMPLES)) {
        s = rawPointer(engine, QUELT_LUA_KEY_SAMPLE_SEQ);
        i = rawPointer(engine, QUELT_LUA_KEY_INFO_SEQ);
    }
    lua_settop(engine->L, top);
    remember(engine, engine->lastInput, name, s, i);
    *samples = s;
    *infos = i;
    return s && i ? 1 : 0;
}

int QueltLuaEngine_assertInput(QueltLuaEngine *engine, const char *name, int position,
                               DDS_DynamicDataSeq *dataSequence, DDS_SampleInfoSeq *infoSequence,
                               DDS_DynamicData *keyHolder, DDS_DynamicDataReader *reader) {
    static const char *const ctx = "QueltLuaEngine_assertInput";
    if (engine == nullptr || engine->L == nullptr || name == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "engine and name");
        return 0;
    }
    QueltLuaEngine_touch(engine); // the tables change here
    lua_State *L = engine->L;
    const int top = lua_gettop(L);
    const int found = pushEntityAndEntry(engine, "READER", name, ctx); /* push READER [, entry] */
    if (found < 0) {
        return 0;
    }
    if (found == 0) {
        lua_pushstring(L, name); /* push key */
        lua_newtable(L);         /* push the entry */
        luaL_setfuncs(L, QueltLuaEngine_INLIB, 0);
        if (!addDataTable(L, "samples", QUELT_LUA_INPUT_MT, ctx) || !addDataTable(L, "infos", QUELT_LUA_INFO_MT, ctx)) {
            lua_settop(L, top);
            return 0;
        }
        lua_rawset(L, -3); /* READER[name] = entry; pops both */
        QueltLuaCommon_associateNameAndIdex(engine, name, position + 1, QUELT_LUA_INPUT_MAP);
        if (!QueltLuaCommon_pushTableOnTopFromTopTable(L, name)) { /* push the new entry */
            QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, name);
            lua_settop(L, top);
            return 0;
        }
    }
    if (!bindInputDataTable(L, "samples", dataSequence, infoSequence, keyHolder, reader, ctx) ||
        !bindInputDataTable(L, "infos", dataSequence, infoSequence, keyHolder, reader, ctx)) {
        lua_settop(L, top);
        return 0;
    }
    setPointer(L, "#reader", reader);
    lua_settop(L, top); /* pop entry and READER */
    QUELT_LUA_CHECK_TOP(L, top);
    return 1;
}

/* ---- context values ---- */

int QueltLuaEngine_assertFunctionIntoContext(QueltLuaEngine *engine, const char *name, lua_CFunction function) {
    static const char *const ctx = "QueltLuaEngine_assertFunctionIntoContext";
    const int top = engine != nullptr && engine->L != nullptr ? lua_gettop(engine->L) : 0;
    if (!pushContext(engine, name, ctx)) {
        return 0;
    }
    const int ok = QueltLuaCommon_assertFunctionIntoTopTable(engine->L, name, function);
    if (!ok) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_ASSERT_NUMBER_FAIL_sfs, name, 0.0, "CONTEXT");
    }
    lua_settop(engine->L, top); /* pop CONTEXT */
    return ok;
}

int QueltLuaEngine_assertNumberIntoContext(QueltLuaEngine *engine, const char *name, double value) {
    static const char *const ctx = "QueltLuaEngine_assertNumberIntoContext";
    const int top = engine != nullptr && engine->L != nullptr ? lua_gettop(engine->L) : 0;
    if (!pushContext(engine, name, ctx)) {
        return 0;
    }
    const int ok = QueltLuaCommon_assertNumberIntoTopTable(engine->L, name, value);
    if (!ok) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_ASSERT_NUMBER_FAIL_sfs, name, value, "CONTEXT");
    }
    lua_settop(engine->L, top); /* pop CONTEXT */
    return ok;
}

int QueltLuaEngine_assertBooleanIntoContext(QueltLuaEngine *engine, const char *name, int value) {
    static const char *const ctx = "QueltLuaEngine_assertBooleanIntoContext";
    const int top = engine != nullptr && engine->L != nullptr ? lua_gettop(engine->L) : 0;
    if (!pushContext(engine, name, ctx)) {
        return 0;
    }
    const int ok = QueltLuaCommon_assertBooleanIntoTopTable(engine->L, name, value);
    if (!ok) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_ASSERT_NUMBER_FAIL_sfs, name, value != 0 ? 1.0 : 0.0, "CONTEXT");
    }
    lua_settop(engine->L, top); /* pop CONTEXT */
    return ok;
}

int QueltLuaEngine_assertStringIntoContext(QueltLuaEngine *engine, const char *name, const char *value) {
    static const char *const ctx = "QueltLuaEngine_assertStringIntoContext";
    const int top = engine != nullptr && engine->L != nullptr ? lua_gettop(engine->L) : 0;
    if (!pushContext(engine, name, ctx)) {
        return 0;
    }
    const int ok = QueltLuaCommon_assertStringIntoTopTable(engine->L, name, value);
    if (!ok) {
        // The template shows a number: a string is shown by its numeric value, 0 when it has none.
        const double shown = value != nullptr ? std::strtod(value, nullptr) : 0.0;
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_ASSERT_NUMBER_FAIL_sfs, name, shown, "CONTEXT");
    }
    lua_settop(engine->L, top); /* pop CONTEXT */
    return ok;
}

int QueltLuaEngine_getNumberFromContext(QueltLuaEngine *engine, const char *name, double *value) {
    static const char *const ctx = "QueltLuaEngine_getNumberFromContext";
    const int top = engine != nullptr && engine->L != nullptr ? lua_gettop(engine->L) : 0;
    if (!pushContext(engine, name, ctx)) {
        return 0;
    }
    double local = 0.0;
    const int ok = QueltLuaCommon_getNumberFromTopTable(engine->L, name, &local);
    if (!ok) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, name);
    } else if (value != nullptr) {
        *value = local;
    }
    lua_settop(engine->L, top); /* pop CONTEXT */
    return ok;
}

int QueltLuaEngine_getBooleanFromContext(QueltLuaEngine *engine, const char *name, uint8_t *value) {
    static const char *const ctx = "QueltLuaEngine_getBooleanFromContext";
    const int top = engine != nullptr && engine->L != nullptr ? lua_gettop(engine->L) : 0;
    if (!pushContext(engine, name, ctx)) {
        return 0;
    }
    int local = 0;
    const int ok = QueltLuaCommon_getBooleanFromTopTable(engine->L, name, &local);
    if (!ok) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, name);
    } else if (value != nullptr) {
        *value = static_cast<uint8_t>(local);
    }
    lua_settop(engine->L, top); /* pop CONTEXT */
    return ok;
}

int QueltLuaEngine_getStringFromContext(QueltLuaEngine *engine, const char *name, const char **value) {
    static const char *const ctx = "QueltLuaEngine_getStringFromContext";
    const int top = engine != nullptr && engine->L != nullptr ? lua_gettop(engine->L) : 0;
    if (!pushContext(engine, name, ctx)) {
        return 0;
    }
    const int ok = QueltLuaCommon_getStringFromTopTable(engine->L, name, value);
    if (!ok) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_TABLE_NOT_FOUND_s, name);
    }
    lua_settop(engine->L, top); /* pop CONTEXT */
    return ok;
}

/* ---- script execution ---- */

void QueltLuaEngine_assertCode(QueltLuaEngine *engine, int loadOnce, const char *fileName, const char *script) {
    static const char *const ctx = "QueltLuaEngine_assertCode";
    if (engine == nullptr) {
        return;
    }
    lua_State *L = engine->L;
    if (L != nullptr && !sameText(engine->fileName, fileName) && pushCachedChunk(L, kFileCache)) {
        // Another file: it is loaded at the next execute, however old it is.
        lua_pop(L, 1); /* pop the chunk */
        forgetChunk(L, kFileCache);
        engine->container.fileTimestamp = 0;
    }
    if (L != nullptr && script != nullptr && !sameText(engine->script, script) && pushCachedChunk(L, kScriptCache)) {
        lua_pop(L, 1); /* pop the chunk */
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "a script text is compiled already: it stays in force, the new one is not run");
    }
    engine->loadOnce = loadOnce;
    engine->fileName = fileName;
    engine->script = script;
}

int QueltLuaEngine_execute(QueltLuaEngine *engine) {
    static const char *const ctx = "QueltLuaEngine_execute";
    if (engine == nullptr || engine->L == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "engine");
        return -1;
    }
    if (engine->script != nullptr) {
        const int rc = QueltLuaEngine_executeScript(engine, engine->script);
        if (rc != 0) {
            QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_EXECUTE_FAILURE_s, "script");
            return rc; // the file is not run after a failed text
        }
    }
    if (engine->fileName != nullptr) {
        const int rc = QueltLuaEngine_executeFile(engine, engine->loadOnce, engine->fileName);
        if (rc != 0) {
            QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_EXECUTE_FAILURE_s, engine->fileName);
            return rc;
        }
    }
    return 0;
}

int QueltLuaEngine_executeScript(QueltLuaEngine *engine, const char *text) {
    static const char *const ctx = "QueltLuaEngine_executeScript";
    if (engine == nullptr || engine->L == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "engine");
        return -1;
    }
    if (text == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_FAILURE_s, "You must specify a file name to execute");
        return -1;
    }
    lua_State *L = engine->L;
    const int top = lua_gettop(L);
    // The first text compiled stays in force for the life of the engine.
    if (!pushCachedChunk(L, kScriptCache)) {
        if (luaL_loadstring(L, text) != LUA_OK) { /* push the chunk, or the compiler's message */
            logTopMessage(L, ctx, LUABINDING_LOG_OPEN_FAILURE_s);
            lua_settop(L, top); /* pop the message */
            return 0;           // nothing cached: the next execute compiles the text again
        }
        cacheChunk(L, kScriptCache);
    }
    return runChunk(engine, ctx, top);
}

int QueltLuaEngine_executeFile(QueltLuaEngine *engine, int loadOnce, const char *path) {
    static const char *const ctx = "QueltLuaEngine_executeFile";
    if (engine == nullptr || engine->L == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "engine");
        return -1;
    }
    if (path == nullptr) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_FAILURE_s, "You must specify a file name to execute");
        return -1;
    }
    lua_State *L = engine->L;
    const int top = lua_gettop(L);
    const bool cached = pushCachedChunk(L, kFileCache); /* push the cached chunk, if any */
    bool load = !cached;
    if (!cached || loadOnce == 0) {
        DDS_Time_t now = {0, 0};
        engine->clock->now(&now);
        if (checkIsDue(engine, now)) {
            engine->lastCheck = now;
            load = !cached || QueltLuaCommon_didFileChange(&engine->container.fileTimestamp, path) != 0;
        }
    }
    if (load) {
        if (luaL_loadfilex(L, path, nullptr) != LUA_OK) { /* push the chunk, or the loader's message */
            logTopMessage(L, ctx, LUABINDING_LOG_OPEN_FAILURE_s);
            if (!cached) {
                QueltLuaCommon_stackDump(L);
                lua_settop(L, top); /* pop the message */
                return 0;
            }
            // The last good version keeps running; the message above says why the edit is not.
            lua_pop(L, 1); /* pop the message: the cached chunk is on top again */
        } else {
            if (cached) {
                lua_remove(L, -2); /* drop the old chunk from below the new one */
            }
            cacheChunk(L, kFileCache);
        }
    }
    return runChunk(engine, ctx, top);
}

void QueltLuaEngine_returnAllLoans(QueltLuaEngine *engine) {
    static const char *const ctx = "QueltLuaEngine_returnAllLoans";
    if (engine == nullptr || engine->L == nullptr) {
        return;
    }
    lua_State *L = engine->L;
    const int top = lua_gettop(L);
    // The alias maps and the container are found through the state's engine reference; on a
    // borrowed state it may designate another engine (or none), so it designates this one for the
    // duration.
    void *designated = QueltLuaCommon_getEngineReferenceFromRegistry(L);
    designateEngine(L, engine);
    // Protected: a script may have put anything into READER, and no Lua error may leave here.
    QueltLuaEngine_touch(engine);
    lua_pushcfunction(L, returnAllLoansBody); /* push the body */
    lua_pushlightuserdata(L, engine);         /* push its argument */
    if (lua_pcall(L, 1, 0, 0) != LUA_OK) {   /* pops both; pushes the message on failure */
        logTopMessage(L, ctx, LUABINDING_LOG_EXECUTE_FAILURE_s);
    }
    lua_settop(L, top);
    designateEngine(L, designated);
}

/* ---- entry points installed in Lua ---- */

int QueltLuaEngine_InTableIndex(lua_State *L) { return QueltLuaMetamethodImpl_TableIndex(L, QUELT_LUA_INPUT_MAP); }
int QueltLuaEngine_InTableLen(lua_State *L) { return QueltLuaMetamethodImpl_TableLen(L, QUELT_LUA_INPUT_MAP); }
int QueltLuaEngine_OutTableIndex(lua_State *L) { return QueltLuaMetamethodImpl_TableIndex(L, QUELT_LUA_OUTPUT_MAP); }
int QueltLuaEngine_OutTableLen(lua_State *L) { return QueltLuaMetamethodImpl_TableLen(L, QUELT_LUA_OUTPUT_MAP); }
int QueltLuaEngine_InRead(lua_State *L) { return QueltLuaContainer_In(L, QUELT_LUA_IN_READ); }
int QueltLuaEngine_InTake(lua_State *L) { return QueltLuaContainer_In(L, QUELT_LUA_IN_TAKE); }
int QueltLuaEngine_OutWrite(lua_State *L) { return QueltLuaContainer_Out(L, QUELT_LUA_OUT_WRITE); }
int QueltLuaEngine_OutUnregister(lua_State *L) { return QueltLuaContainer_Out(L, QUELT_LUA_OUT_UNREGISTER); }
int QueltLuaEngine_OutDispose(lua_State *L) { return QueltLuaContainer_Out(L, QUELT_LUA_OUT_DISPOSE); }
int QueltLuaEngine_OutClearMembers(lua_State *L) { return QueltLuaContainer_Out(L, QUELT_LUA_OUT_CLEAR_MEMBERS); }
int QueltLuaEngine_InDataIndex(lua_State *L) { return QueltLuaMetamethodImpl_InData(L, QUELT_LUA_DATA_GET); }
int QueltLuaEngine_InfoDataIndex(lua_State *L) { return QueltLuaMetamethodImpl_InData(L, QUELT_LUA_DATA_INFO); }
int QueltLuaEngine_InDataNewindex(lua_State *L) { return QueltLuaMetamethodImpl_InData(L, QUELT_LUA_DATA_SET); }
int QueltLuaEngine_InDataLen(lua_State *L) { return QueltLuaMetamethodImpl_InDataLen(L); }
int QueltLuaEngine_InDataIndexAlreadyIndexed(lua_State *L) {
    return QueltLuaMetamethodImpl_InDataDereference(L, QUELT_LUA_DATA_GET);
}
int QueltLuaEngine_InfoDataIndexAlreadyIndexed(lua_State *L) {
    return QueltLuaMetamethodImpl_InDataDereference(L, QUELT_LUA_DATA_INFO);
}
int QueltLuaEngine_OutDataIndex(lua_State *L) { return QueltLuaMetamethodImpl_OutData(L, QUELT_LUA_DATA_GET); }
int QueltLuaEngine_OutDataNewindex(lua_State *L) { return QueltLuaMetamethodImpl_OutData(L, QUELT_LUA_DATA_SET); }

int QueltLuaEngine_InDataLenAlreadyIndexed(lua_State *L) {
    // An indexed table is one sample: it has no length.
    QUELT_LUA_LOG_ERROR("QueltLuaEngine_InDataLenAlreadyIndexed", QUELT_LOG_ANY_s, "operation length is not supported");
    lua_pushnil(L); /* push the result */
    return 1;
}

int QueltLuaEngine_InData_ipairs(lua_State *L) {
    lua_pushcfunction(L, QueltLuaEngine_InData_iterator); /* push the iterator */
    lua_pushvalue(L, 1);                                   /* push the table */
    lua_pushinteger(L, 0);                                 /* push the initial index */
    return 3;
}

int QueltLuaEngine_InfoData_ipairs(lua_State *L) {
    lua_pushcfunction(L, QueltLuaEngine_IngoData_iterator); /* push the iterator */
    lua_pushvalue(L, 1);                                     /* push the table */
    lua_pushinteger(L, 0);                                   /* push the initial index */
    return 3;
}

int QueltLuaEngine_InData_iterator(lua_State *L) { return iteratorStep(L, QUELT_LUA_DATA_GET); }
int QueltLuaEngine_IngoData_iterator(lua_State *L) { return iteratorStep(L, QUELT_LUA_DATA_INFO); }

int QueltLuaEngine_OutDataLen(lua_State *L) {
    int holdsSample = 0;
    if (QueltLuaEngine_ownsDataTable(QueltLuaCommon_getEngineReferenceFromRegistry(L), L, -1)) {
        lua_pushstring(L, "#sample"); /* push key */
        lua_rawget(L, -2);            /* replace it by t["#sample"] */
        holdsSample = lua_isuserdata(L, -1) && lua_touserdata(L, -1) != nullptr;
        lua_pop(L, 1); /* pop it */
    }
    lua_pushnumber(L, holdsSample); /* push the length */
    return 1;
}

int QueltLuaEngine_LogException(lua_State *L) { return logFromScript(L, QUELT_LUA_LOG_LEVEL_ERROR); }
int QueltLuaEngine_LogWarning(lua_State *L) { return logFromScript(L, QUELT_LUA_LOG_LEVEL_WARNING); }

// Goes through the same metamethods as a member access, so that a sample whose loan was
// returned yields nil with the same message, never the returned sample.
int QueltLuaEngine_Json(lua_State *L) {
    static const char *const ctx = "QueltLuaEngine_Json";
    lua_settop(L, 1); /* exactly one argument */
    bool sample = false;
    bool instance = false;
    if (lua_istable(L, 1) && lua_getmetatable(L, 1)) {       /* push its metatable */
        lua_getglobal(L, QUELT_LUA_INPUT_ALREADY_INDEXED_MT); /* push the samples[i] metatable */
        sample = lua_rawequal(L, -1, -2);
        lua_getglobal(L, QUELT_LUA_OUTPUT_MT); /* push the instance metatable */
        instance = lua_rawequal(L, -1, -3);
        lua_settop(L, 1); /* pop the three */
    }
    if (sample) {
        lua_pushstring(L, "json"); /* push a name: the dereference's second argument */
        return QueltLuaMetamethodImpl_InDataDereference(L, QUELT_LUA_DATA_JSON);
    }
    if (instance && QueltLuaMetamethodImpl_OutData(L, QUELT_LUA_DATA_JSON) == 1) {
        return 1;
    }
    if (!instance) {
        QUELT_LUA_LOG_ERROR(ctx, QUELT_LOG_ANY_FAILURE_s,
                            "expected a received sample (READER[name].samples[i]) or a writer's instance");
    }
    lua_settop(L, 1);
    lua_pushnil(L); /* push the result: nil */
    return 1;
}

} // extern "C"
