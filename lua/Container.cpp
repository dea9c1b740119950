// The container record's copy and release, and the sample gateways In and Out.
#include "Container.h"

#include "dds/dds_string.h"
#include "Log.h"

extern "C" {

void QueltLuaContainer_initFrom(const QueltLuaContainer *source, QueltLuaContainer *destination) {
    if (source == nullptr || destination == nullptr) {
        return;
    }
    destination->fileTimestamp = 0;
    destination->getInputLength = source->getInputLength;
    destination->getSample = source->getSample;
    destination->getSampleInfo = source->getSampleInfo;
    destination->write = source->write;
    destination->write_w_params = source->write_w_params;
    destination->unregister = source->unregister;
    destination->dispose = source->dispose;
    destination->take = source->take;
    destination->read = source->read;
    destination->return_loan = source->return_loan;
    destination->get_key_value = source->get_key_value;
    // The source's name may be a constant or owned by the caller: the copy owns its own.
    destination->name = source->name != nullptr ? DDS_String_dup(source->name) : nullptr;
    destination->checkPeriodSec = source->checkPeriodSec;
    destination->checkPeriodNanosec = source->checkPeriodNanosec;
    // userData stays as it was: the owner is published in CONTEXT, not kept in the copy.
}

void QueltLuaContainer_free(QueltLuaContainer *container) {
    if (container == nullptr || container->name == nullptr) {
        return;
    }
    DDS_String_free(container->name);
    container->name = nullptr;
}

// Placeholders until the gateways move samples: the entry's Lua result is nil.
int QueltLuaContainer_In(lua_State *L, int operation) {
    (void)operation;
    QUELT_LUA_LOG_ERROR("QueltLuaContainer_In", LUABINDING_LOG_OPERATION_UNDEF);
    lua_pushnil(L); /* push the (absent) samples table */
    return 1;
}

int QueltLuaContainer_Out(lua_State *L, int operation) {
    (void)operation;
    QUELT_LUA_LOG_ERROR("QueltLuaContainer_Out", LUABINDING_LOG_OPERATION_UNDEF);
    lua_pushnil(L); /* push the (absent) instance table */
    return 1;
}

} // extern "C"
