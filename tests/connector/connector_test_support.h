// Shared helpers of the connector tests: connectors on their own domain and access to the
// engine's Lua state (log capture, waits and XML copies come from tests/support).
#pragma once

#include "DDSConnector.h"
#include "support/support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace quelt::test {

// The Shapes example's entities, and configurations the tests need beyond it: orderings, missing
// names, long names (63 + 63 and 64 + 63 characters) and empty participants.
inline const char *const kWriter = "Pub::SquareWriter";
inline const char *const kReader = "Sub::SquareReader";
inline std::string shapesXml() { return readFile(std::string(QUELT_EXAMPLES) + "/shapes/Shapes.xml"); }
inline std::string testXml() { return readFile(std::string(QUELT_TEST_DATA) + "/connector/test.xml"); }

// Enables warnings while alive (some failures and every adjusted value are warnings).
class WarningsOn {
public:
    WarningsOn() { QueltLuaLog_getBitmaps(&submodules_, &levels_), QueltLuaLog_setBitmaps(0xffff, 3); }
    ~WarningsOn() { QueltLuaLog_setBitmaps(submodules_, levels_); }

private:
    uint32_t submodules_ = 0, levels_ = 0;
};

// A connector of config on its own domain, deleted with the object; it stands for its handle.
struct Connector {
    TempXml xml;
    QueltDDSConnector *c;
    Connector(int domain, const char *config, const std::string &text = shapesXml())
        : xml(text, domain), c(QueltDDSConnector_new(config, xml.path(), nullptr))
    {
    }
    ~Connector() { QueltDDSConnector_delete(c); }
    operator QueltDDSConnector *() const { return c; }
    QueltDDSConnector *operator->() const { return c; }
};

// A connector record with nothing but its entities lookup list.
struct BareConnector {
    QueltDDSConnector *c = static_cast<QueltDDSConnector *>(std::calloc(1, sizeof(QueltDDSConnector)));
    BareConnector() { EXPECT_EQ(QueltDDSConnector_EntitiesLookupList_new(c), 0); }
    ~BareConnector() { QueltDDSConnector_EntitiesLookupList_delete(c), std::free(c); }
};

// A string the library handed out, as text ("(null)" for none), released.
inline std::string text(char *s)
{
    if (!s)
        return "(null)";
    const std::string out(s);
    QueltDDSConnector_freeString(s);
    return out;
}

// Whether the log holds piece, or nothing at all when piece is empty.
inline ::testing::AssertionResult logged(const LogCapture &log, const std::string &piece)
{
    if (piece.empty() ? log.lines().empty() : log.contains(piece))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << (piece.empty() ? "no line expected" : "no '" + piece + "'") << " in\n" << log.text().substr(0, 2000);
}

// Reads until reader holds at least n samples (or about 5 s pass), then takes them; their number.
inline int takeAtLeast(QueltDDSConnector *c, const char *reader, int n)
{
    waitUntil([&] {
        QueltDDSConnector_read(c, reader);
        return QueltDDSConnector_getSamplesLength(c, reader) >= n || (QueltDDSConnector_wait(c, 100), false);
    });
    QueltDDSConnector_take(c, reader);
    return static_cast<int>(QueltDDSConnector_getSamplesLength(c, reader));
}

// The rows of a data file under tests/data/connector: fields split at "@@" and trimmed of spaces;
// blank lines and lines starting with # skipped.
inline std::vector<std::vector<std::string>> dataRows(const std::string &name)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(readFile(std::string(QUELT_TEST_DATA) + "/connector/" + name));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        rows.emplace_back();
        for (size_t at = 0, end = 0; end != std::string::npos; at = end + 2) {
            end = line.find("@@", at);
            std::string field = line.substr(at, end - at);
            field.erase(0, field.find_first_not_of(' '));
            rows.back().push_back(field.erase(field.find_last_not_of(' ') + 1));
        }
    }
    return rows;
}

inline lua_State *engineState(QueltDDSConnector *connector) { return connector->base->engine->L; }

inline int stackHeight(QueltDDSConnector *connector) { return lua_gettop(engineState(connector)); }

// Runs chunk in the connector's engine and returns its results as strings (tostring of each),
// leaving the stack as it found it. Tells the engine that code ran, as its own runner does.
inline std::vector<std::string> runLua(QueltDDSConnector *connector, const std::string &chunk)
{
    QueltLuaEngine_touch(connector->base->engine);
    lua_State *L = engineState(connector);
    const int base = lua_gettop(L);
    std::vector<std::string> out;
    if (luaL_loadstring(L, chunk.c_str()) != LUA_OK || lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK)
        ADD_FAILURE() << "Lua chunk failed: " << lua_tostring(L, -1);
    else
        for (int i = base + 1; i <= lua_gettop(L); ++i)
            out.emplace_back(luaL_tolstring(L, i, nullptr)), lua_pop(L, 1);
    lua_settop(L, base);
    return out;
}

// The full names of the connector's readers (or writers), in table order.
inline std::vector<std::string> entityNames(QueltDDSConnector *c, bool readers)
{
    std::vector<std::string> names;
    const DDS_Long n = readers ? DDS_DataReaderSeq_get_length(&c->readers) : DDS_DataWriterSeq_get_length(&c->writers);
    for (DDS_Long i = 0; i < n; ++i)
        names.emplace_back(QueltDDSConnector_EntitiesLookupList_lookupEntity(
            c, readers ? static_cast<void *>(*DDS_DataReaderSeq_get_reference(&c->readers, i))
                       : static_cast<void *>(*DDS_DataWriterSeq_get_reference(&c->writers, i))));
    return names;
}

} // namespace quelt::test
