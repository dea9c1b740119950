// Shared helpers of the connector tests: per-test XML copies on their own domain, log capture,
// and access to the engine's Lua state.
#pragma once

#include "DDSConnector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace quelt::test {

inline std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::string replaceAll(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// A temporary copy of an XML configuration whose domain_id="0" is replaced by the test's own id.
class DomainXml {
public:
    DomainXml(const std::string &text, int domainId)
    {
        path_ = "/tmp/quelt_connector_test_" + std::to_string(getpid()) + "_" + std::to_string(domainId) + ".xml";
        std::ofstream(path_) << replaceAll(text, "domain_id=\"0\"", "domain_id=\"" + std::to_string(domainId) + "\"");
    }
    ~DomainXml() { unlink(path_.c_str()); }
    DomainXml(const DomainXml &) = delete;
    DomainXml &operator=(const DomainXml &) = delete;
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
};

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

// Collects every log line while alive (lines may come from middleware threads).
class LogCapture {
public:
    LogCapture() { QueltLog_setSink(&LogCapture::sink, this); }
    ~LogCapture() { QueltLog_setSink(nullptr, nullptr); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<std::string> lines() const
    {
        std::lock_guard<std::mutex> g(lock_);
        return lines_;
    }
    std::string text() const
    {
        std::string all;
        for (const std::string &l : lines())
            all += l;
        return all;
    }
    bool contains(const std::string &piece) const { return text().find(piece) != std::string::npos; }
    // Index of the first line containing piece, or -1.
    int lineOf(const std::string &piece) const
    {
        const auto all = lines();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].find(piece) != std::string::npos)
                return static_cast<int>(i);
        return -1;
    }
    bool waitFor(const std::string &piece, std::chrono::milliseconds limit) const
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (contains(piece))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return contains(piece);
    }
    void clear()
    {
        std::lock_guard<std::mutex> g(lock_);
        lines_.clear();
    }

private:
    static void sink(const char *line, void *user)
    {
        auto *self = static_cast<LogCapture *>(user);
        std::lock_guard<std::mutex> g(self->lock_);
        self->lines_.emplace_back(line);
    }
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

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
