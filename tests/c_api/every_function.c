/* Calls every function of the public header, the way a C host does: linked against the shared
 * library, with Lua linked by the program itself. A function declared but not exported fails the
 * link. Each call gets a null connector or an empty Lua state: every one must refuse it with a log
 * line and its failure value, never crash. */
#include "quelt_dds_connector.h"

#include <lauxlib.h>
#include <lua.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define EXPECT(cond) \
    ((cond) ? (void)0 : (void)(fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #cond), ++failures))

struct Captured {
    int lines, level;
    char first[256];
};

static void capture(int level, const char *line, void *user)
{
    struct Captured *c = (struct Captured *)user;
    if (c->lines++ == 0) {
        c->level = level;
        snprintf(c->first, sizeof c->first, "%s", line);
    }
}

static void onData(void *data, DDS_DataReader *reader) { (void)data, (void)reader; }

/* Calls a Lua-callable function of the library on an empty stack: one result, nil or a table. */
static int callLua(lua_State *L, lua_CFunction f)
{
    lua_settop(L, 0);
    lua_pushcfunction(L, f);
    return lua_pcall(L, 0, 1, 0) != LUA_OK ? -1 : lua_type(L, -1);
}

int main(void)
{
    QueltDDSConnector *none = NULL;
    double number = -2;
    const char *text = NULL;
    unsigned char flag = 9;
    uint32_t submodules = 0, levels = 0;

    QueltLuaLog_getBitmaps(&submodules, &levels);
    EXPECT(submodules == 0xffff && levels == 1);
    QueltLuaLog_setBitmaps(submodules, levels);
    QueltLuaLog_setVerbosity(submodules, 0);

    /* A sink receives each line with its level, and stderr gets it back when the sink is reset. */
    struct Captured captured = {0, 0, ""};
    QueltLuaLog_setSink(capture, &captured);
    QueltDDSConnector_clear(NULL, "w");
    QueltLuaLog_setSink(NULL, NULL);
    QueltDDSConnector_clear(NULL, "w");
    EXPECT(captured.lines == 1 && captured.level == 1);
    EXPECT(strstr(captured.first, "connector is null\n") != NULL);

    EXPECT(QueltDDSConnector_new(NULL, NULL, NULL) == NULL);
    EXPECT(QueltDDSConnector_new_from_participant(NULL, "p", NULL) == NULL);
    QueltDDSConnector_delete(none);

    QueltDDSConnector_setNumberIntoSamples(none, "w", "x", 1);
    QueltDDSConnector_setBooleanIntoSamples(none, "w", "x", 1);
    QueltDDSConnector_setStringIntoSamples(none, "w", "x", "y");
    QueltDDSConnector_clear(none, "w");
    QueltDDSConnector_write(none, "w", NULL);
    QueltDDSConnector_read(none, "r");
    QueltDDSConnector_take(none, "r");

    EXPECT(QueltDDSConnector_getNumberFromSamples(none, "r", 1, "x") == -1.0 && QueltDDSConnector_getNumberFromInfos(none, "r", 1, "x") == -1.0);
    EXPECT(QueltDDSConnector_getBooleanFromSamples(none, "r", 1, "x") == -1 && QueltDDSConnector_getBooleanFromInfos(none, "r", 1, "x") == -1);
    EXPECT(QueltDDSConnector_getStringFromSamples(none, "r", 1, "x") == NULL && QueltDDSConnector_getStringFromInfos(none, "r", 1, "x") == NULL);
    EXPECT(QueltDDSConnector_getJSONFromInfos(none, "r", 1, "x") == NULL);
    EXPECT(QueltDDSConnector_getSamplesLength(none, "r") == -1.0 && QueltDDSConnector_getInfosLength(none, "r") == -1.0);
    QueltDDSConnector_freeString(NULL);

    QueltDDSConnector_setJSONInstance(none, "w", "{}");
    EXPECT(QueltDDSConnector_getJSONInstance(none, "w") == NULL && QueltDDSConnector_getJSONSample(none, "r", 1) == NULL);

    EXPECT(QueltDDSConnector_getReader(none, "r") == NULL && QueltDDSConnector_getWriter(none, "w") == NULL);
    EXPECT(QueltDDSConnector_getEntityNamesJSON(none, 1) == NULL);
    EXPECT(QueltDDSConnector_getTypeJSON(none, "w") == NULL);
    EXPECT(QueltDDSConnector_getConfigNamesJSON(NULL) == NULL);
    EXPECT(QueltDDSConnector_execute(none) == -1);
    QueltDDSConnector_assertCode(none, "x = 1", NULL, 0);
    EXPECT(QueltDDSConnector_setFunctionIntoContext(none, "f", luaopen_quelt_dds_connector) == 0);
    EXPECT(QueltDDSConnector_setNumberIntoContext(none, "n", 1) == 0);
    EXPECT(QueltDDSConnector_setStringIntoContext(none, "s", "t") == 0);
    EXPECT(QueltDDSConnector_setBooleanIntoContext(none, "b", 1) == 0);
    EXPECT(QueltDDSConnector_getNumberFromContext(none, "n", &number) == 0 && number == -2);
    EXPECT(QueltDDSConnector_getStringFromContext(none, "s", &text) == 0 && text == NULL);
    EXPECT(QueltDDSConnector_getBooleanFromContext(none, "b", &flag) == 0 && flag == 9);

    EXPECT(QueltDDSConnector_wait(none, 0) == 4 && QueltDDSConnector_wait_duration(none, NULL) == 4);
    QueltDDSConnector_installListener(none, "r", onData, NULL);

    lua_State *L = luaL_newstate();
    EXPECT(callLua(L, QueltDDSConnector_deleteConnector) == LUA_TNIL);
    EXPECT(callLua(L, QueltDDSConnector_enableEventLogging) == LUA_TNIL);
    EXPECT(callLua(L, QueltDDSConnector_time_ms) == LUA_TNIL);
    EXPECT(callLua(L, QueltDDSConnector_wait_L) == LUA_TNIL);
    EXPECT(callLua(L, QueltDDSConnector_wait_for_period_L) == LUA_TNIL);
    EXPECT(callLua(L, QueltDDSConnector_load) == LUA_TNIL);
    EXPECT(callLua(L, luaopen_quelt_dds_connector) == LUA_TTABLE);
    EXPECT(callLua(L, luaopen_quelt_dds_connectord) == LUA_TTABLE);
    lua_close(L);

    if (failures == 0)
        printf("every function refused a null connector or an empty Lua state\n");
    return failures == 0 ? 0 : 1;
}
