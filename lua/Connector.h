/* The connector's handle on its Lua engine: owns one engine and forwards code registration,
 * execution and context access to it. */
#ifndef QUELT_LUA_CONNECTOR_H
#define QUELT_LUA_CONNECTOR_H

#include <stdint.h>

#include "Container.h"
#include "Engine.h"
#include "LuaApi.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QueltLuaConnector {
    QueltLuaEngine *engine; /* owned */
} QueltLuaConnector;

/* state: a Lua state to borrow (empty stack) or null. container is copied. Null on failure. */
QueltLuaConnector *QueltLuaConnector_new(lua_State *state, const QueltLuaContainer *container);
/* Null is ignored. */
void QueltLuaConnector_delete(QueltLuaConnector *connector);

/* Note the order: script text first (the engine takes it last). */
void QueltLuaConnector_assertCode(QueltLuaConnector *connector, const char *script, const char *fileName, int loadOnce);
int QueltLuaConnector_execute(QueltLuaConnector *connector);

int QueltLuaConnector_setFunctionIntoContext(QueltLuaConnector *connector, const char *name, lua_CFunction function);
int QueltLuaConnector_setNumberIntoContext(QueltLuaConnector *connector, const char *name, double value);
int QueltLuaConnector_setStringIntoContext(QueltLuaConnector *connector, const char *name, const char *value);
int QueltLuaConnector_setBooleanIntoContext(QueltLuaConnector *connector, const char *name, uint8_t value);
int QueltLuaConnector_getNumberFromContext(QueltLuaConnector *connector, const char *name, double *value);
int QueltLuaConnector_getStringFromContext(QueltLuaConnector *connector, const char *name, const char **value);
int QueltLuaConnector_getBooleanFromContext(QueltLuaConnector *connector, const char *name, uint8_t *value);

#ifdef __cplusplus
}
#endif

#endif
