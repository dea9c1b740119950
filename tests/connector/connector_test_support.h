// Shared helpers of the connector tests: per-test XML copies on their own domain and access to
// the engine's Lua state (log capture and waits come from tests/support).
#pragma once

#include "DDSConnector.h"

#include <gtest/gtest.h>

#include "support/support.h"

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <climits>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace quelt::test {

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

// A peer process of a two-process test. Closes the pipe to the peer and reaps it on every path
// out of the test, so that a failed assertion never leaves the peer waiting.
struct PeerProcess {
    int fd = -1;
    pid_t pid = -1;
    int finish()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
        int status = -1;
        if (pid > 0)
            waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }
    ~PeerProcess() { finish(); }
};

// Starts the disabled test `test` (e.g. "SamplesPeer.DISABLED_Publisher") of this binary as a
// peer process, with `env` added to our environment and its standard output discarded. With
// `childFd` 0 the peer reads a pipe on its standard input, with 3 it writes one on fd 3; the
// other end is left in `parentFd`. SIGPIPE is ignored from then on, so that a peer that died
// fails the test instead of killing it. Returns the peer's pid, or -1.
inline pid_t spawnPeer(const std::string &test, const std::vector<std::string> &env, int childFd = -1,
                       int *parentFd = nullptr)
{
    std::signal(SIGPIPE, SIG_IGN);
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return -1;
    int fds[2] = {-1, -1};
    if (childFd >= 0 && pipe(fds) != 0)
        return -1;
    const int childEnd = childFd == 0 ? fds[0] : fds[1], ourEnd = childFd == 0 ? fds[1] : fds[0];
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (childFd >= 0) {
        posix_spawn_file_actions_adddup2(&fa, childEnd, childFd);
        posix_spawn_file_actions_addclose(&fa, ourEnd);
    }
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::string filter = "--gtest_filter=" + test, disabled = "--gtest_also_run_disabled_tests";
    std::vector<char *> argv = {self, filter.data(), disabled.data(), nullptr};
    std::vector<std::string> envText(env);
    for (char **e = environ; *e; ++e)
        envText.emplace_back(*e);
    std::vector<char *> envp;
    for (std::string &e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const bool spawned = posix_spawn(&pid, self, &fa, nullptr, argv.data(), envp.data()) == 0;
    posix_spawn_file_actions_destroy(&fa);
    if (childFd >= 0) {
        close(childEnd);
        if (spawned && parentFd)
            *parentFd = ourEnd;
        else
            close(ourEnd);
    }
    return spawned ? pid : -1;
}

// In a peer process: whether a line holding expected arrives on standard input within timeoutMs.
inline bool lineOnStdin(const char *expected, int timeoutMs)
{
    pollfd p = {0, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return false;
    char buf[64] = {};
    const ssize_t n = read(0, buf, sizeof buf - 1);
    return n > 0 && std::string(buf, static_cast<size_t>(n)).find(expected) != std::string::npos;
}

} // namespace quelt::test
