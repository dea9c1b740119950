// Shared helpers of the connector tests: connectors on their own domain and access to the
// engine's Lua state (log capture, waits and XML copies come from tests/support).
#pragma once

#include "DDSConnector.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace quelt::test {

inline std::string shapesXml() { return readFile(std::string(QUELT_EXAMPLES) + "/shapes/Shapes.xml"); }

// Enables warnings while alive (some failures and every adjusted value are warnings).
class WarningsOn {
public:
    WarningsOn() { QueltLuaLog_getBitmaps(&submodules_, &levels_), QueltLuaLog_setBitmaps(0xffff, 3); }
    ~WarningsOn() { QueltLuaLog_setBitmaps(submodules_, levels_); }

private:
    uint32_t submodules_ = 0, levels_ = 0;
};

// A connector of config on its own domain, deleted with the object.
struct Connector {
    TempXml xml;
    QueltDDSConnector *c;
    Connector(int domain, const char *config, const std::string &text = shapesXml())
        : xml(text, domain), c(QueltDDSConnector_new(config, xml.path(), nullptr))
    {
    }
    ~Connector() { QueltDDSConnector_delete(c); }
};

// A string the library handed out, as text ("(null)" for none), released.
inline std::string text(char *s)
{
    if (!s)
        return "(null)";
    std::string out(s);
    QueltDDSConnector_freeString(s);
    return out;
}

// Participant configurations the tests need beyond the Shapes example: orderings, missing names,
// long names (63 + 63 and 64 + 63 characters) and empty participants.
inline std::string testXml() { return readFile(std::string(QUELT_TEST_DATA) + "/connector/test.xml"); }

inline lua_State *engineState(QueltDDSConnector *connector) { return connector->base->engine->L; }

inline int stackHeight(QueltDDSConnector *connector) { return lua_gettop(engineState(connector)); }

// Runs chunk in the connector's engine and returns its results as strings (tostring of each),
// leaving the stack as it found it.
inline std::vector<std::string> runLua(QueltDDSConnector *connector, const std::string &chunk)
{
    lua_State *L = engineState(connector);
    const int base = lua_gettop(L);
    std::vector<std::string> out;
    if (luaL_loadstring(L, chunk.c_str()) != LUA_OK || lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
        ADD_FAILURE() << "Lua chunk failed: " << lua_tostring(L, -1);
        lua_settop(L, base);
        return out;
    }
    for (int i = base + 1; i <= lua_gettop(L); ++i) {
        luaL_tolstring(L, i, nullptr);
        out.emplace_back(lua_tostring(L, -1));
        lua_pop(L, 1);
    }
    lua_settop(L, base);
    return out;
}

inline std::vector<std::string> readerNames(QueltDDSConnector *connector)
{
    std::vector<std::string> names;
    for (DDS_Long i = 0; i < DDS_DataReaderSeq_get_length(&connector->readers); ++i)
        names.emplace_back(QueltDDSConnector_EntitiesLookupList_lookupEntity(connector, *DDS_DataReaderSeq_get_reference(&connector->readers, i)));
    return names;
}

inline std::vector<std::string> writerNames(QueltDDSConnector *connector)
{
    std::vector<std::string> names;
    for (DDS_Long i = 0; i < DDS_DataWriterSeq_get_length(&connector->writers); ++i)
        names.emplace_back(QueltDDSConnector_EntitiesLookupList_lookupEntity(connector, *DDS_DataWriterSeq_get_reference(&connector->writers, i)));
    return names;
}

} // namespace quelt::test
