// The connector's handle on its engine.
#include "Connector.h"

#include <cstdlib>

#include "Log.h"

extern "C" {

QueltLuaConnector *QueltLuaConnector_new(lua_State *state, const QueltLuaContainer *container) {
    static const char *const ctx = "QueltLuaConnector_new";
    auto *connector = static_cast<QueltLuaConnector *>(std::calloc(1, sizeof(QueltLuaConnector)));
    if (connector == nullptr) {
        QUELT_LUA_LOG_CONNECTOR_ERROR(ctx, LUABINDING_LOG_NEW_FAILURE_s, "QueltLuaConnector");
        return nullptr;
    }
    connector->engine = QueltLuaEngine_new(container, state);
    if (connector->engine == nullptr) {
        QUELT_LUA_LOG_CONNECTOR_ERROR(ctx, LUABINDING_LOG_NEW_FAILURE_s, "engine");
        std::free(connector);
        return nullptr;
    }
    return connector;
}

void QueltLuaConnector_delete(QueltLuaConnector *connector) {
    if (connector == nullptr) {
        return;
    }
    QueltLuaEngine_delete(connector->engine);
    std::free(connector);
}

void QueltLuaConnector_assertCode(QueltLuaConnector *connector, const char *script, const char *fileName, int loadOnce) {
    if (connector == nullptr) {
        return;
    }
    QueltLuaEngine_assertCode(connector->engine, loadOnce, fileName, script);
}

int QueltLuaConnector_execute(QueltLuaConnector *connector) {
    return connector != nullptr ? QueltLuaEngine_execute(connector->engine) : -1;
}

int QueltLuaConnector_setFunctionIntoContext(QueltLuaConnector *connector, const char *name, lua_CFunction function) {
    return connector != nullptr ? QueltLuaEngine_assertFunctionIntoContext(connector->engine, name, function) : 0;
}

int QueltLuaConnector_setNumberIntoContext(QueltLuaConnector *connector, const char *name, double value) {
    return connector != nullptr ? QueltLuaEngine_assertNumberIntoContext(connector->engine, name, value) : 0;
}

int QueltLuaConnector_setStringIntoContext(QueltLuaConnector *connector, const char *name, const char *value) {
    return connector != nullptr ? QueltLuaEngine_assertStringIntoContext(connector->engine, name, value) : 0;
}

int QueltLuaConnector_setBooleanIntoContext(QueltLuaConnector *connector, const char *name, uint8_t value) {
    return connector != nullptr ? QueltLuaEngine_assertBooleanIntoContext(connector->engine, name, value) : 0;
}

int QueltLuaConnector_getNumberFromContext(QueltLuaConnector *connector, const char *name, double *value) {
    return connector != nullptr ? QueltLuaEngine_getNumberFromContext(connector->engine, name, value) : 0;
}

int QueltLuaConnector_getStringFromContext(QueltLuaConnector *connector, const char *name, const char **value) {
    return connector != nullptr ? QueltLuaEngine_getStringFromContext(connector->engine, name, value) : 0;
}

int QueltLuaConnector_getBooleanFromContext(QueltLuaConnector *connector, const char *name, uint8_t *value) {
    return connector != nullptr ? QueltLuaEngine_getBooleanFromContext(connector->engine, name, value) : 0;
}

} // extern "C"
