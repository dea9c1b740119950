// Shared helpers of the connector tests: per-test XML copies on their own domain and access to
// the engine's Lua state (log capture and waits come from tests/support).
#pragma once

#include "DDSConnector.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include "support/support.h"

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace quelt::test {

// A temporary copy of an XML configuration whose domain_id="0" is replaced by the test's own id.
using DomainXml = TempXml;

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
    DomainXml xml;
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
// long names and empty participants.
inline std::string testXml()
{
    const std::string p63(63, 'p'), w63(63, 'w'), p64(64, 'q');
    return R"(<dds>
  <types>
    <struct name="ShapeType">
      <member name="color" type="string" stringMaxLength="128" key="true"/>
      <member name="x" type="int32"/>
      <member name="y" type="int32"/>
      <member name="shapesize" type="int32"/>
    </struct>
  </types>
  <domain_library name="TestDomains">
    <domain name="Test" domain_id="0">
      <register_type name="ShapeType" type_ref="ShapeType"/>
      <topic name="Square" register_type_ref="ShapeType"/>
      <topic name="Circle" register_type_ref="ShapeType"/>
    </domain>
  </domain_library>
  <domain_participant_library name="TestLib">
    <domain_participant name="Empty" domain_ref="TestDomains::Test"/>
    <domain_participant name="GroupsOnly" domain_ref="TestDomains::Test">
      <publisher name="P"/>
      <subscriber name="S"/>
    </domain_participant>
    <domain_participant name="Ordered" domain_ref="TestDomains::Test">
      <publisher name="P1">
        <data_writer name="W1" topic_ref="Square"/>
        <data_writer name="W2" topic_ref="Circle"/>
      </publisher>
      <publisher name="P2">
        <data_writer name="W3" topic_ref="Square"/>
      </publisher>
      <subscriber name="S1">
        <data_reader name="R1" topic_ref="Square"/>
        <data_reader name="R2" topic_ref="Circle"/>
      </subscriber>
      <subscriber name="S2">
        <data_reader name="R3" topic_ref="Square"/>
        <data_reader name="R4" topic_ref="Circle"/>
      </subscriber>
    </domain_participant>
    <domain_participant name="Unnamed" domain_ref="TestDomains::Test">
      <publisher>
        <data_writer topic_ref="Square"/>
      </publisher>
      <subscriber>
        <data_reader name="R" topic_ref="Square"/>
        <data_reader topic_ref="Square"/>
        <data_reader topic_ref="Circle"/>
      </subscriber>
    </domain_participant>
    <domain_participant name="LongNames" domain_ref="TestDomains::Test">
      <publisher name=")" + p63 + R"(">
        <data_writer name=")" + w63 + R"(" topic_ref="Square"/>
      </publisher>
      <publisher name=")" + p64 + R"(">
        <data_writer name=")" + w63 + R"(" topic_ref="Square"/>
      </publisher>
    </domain_participant>
    <domain_participant name="Writer" domain_ref="TestDomains::Test">
      <publisher name="Pub">
        <data_writer name="W" topic_ref="Square"/>
      </publisher>
    </domain_participant>
    <domain_participant name="Reader" domain_ref="TestDomains::Test">
      <subscriber name="Sub">
        <data_reader name="R" topic_ref="Square"/>
      </subscriber>
    </domain_participant>
  </domain_participant_library>
</dds>
)";
}

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
