// A script run by the engine against the every-kind layout: whatever it does to CONTAINER, no
// crash, and the engine's stack is empty afterwards. The harness (not the engine) removes what
// reaches outside the process and bounds each run, so that a run ends and the fuzzer survives.
#include "DDSConnector.h"
#include "Engine.h"
#include "fuzz_support.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

namespace {

void instructionLimit(lua_State *L, lua_Debug *) { luaL_error(L, "instruction limit"); }

lua_State *preparedState(QueltDDSConnector *c)
{
    lua_State *L = c->base->engine->L;
    luaL_dostring(L, "os.exit, os.execute, os.remove, os.rename, os.tmpname, os.getenv = nil "
                     "io, dofile, loadfile, require, package, collectgarbage = nil "
                     "local rep = string.rep "
                     "string.rep = function(s, n, sep) if type(n) == 'number' and n > 1000 then error('too long') end "
                     "return rep(s, n, sep) end");
    lua_settop(L, 0);
    lua_sethook(L, instructionLimit, LUA_MASKCOUNT, 200000);
    return L;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QueltDDSConnector *c = quelt::fuzz::everyKindConnector();
    static lua_State *L = preparedState(c);
    const std::string script = quelt::fuzz::text(data, size);
    QueltLuaEngine_executeScript(c->base->engine, script.c_str());
    if (lua_gettop(L) != 0)
        std::abort(); // the engine must leave its stack empty on every path
    return 0;
}
