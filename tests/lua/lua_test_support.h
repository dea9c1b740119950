// Shared pieces of the Lua engine tests: log capture with the masks restored, fake pointers, an
// engine fixture, and running Lua text in a state.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/support.h"

#include "Engine.h"
#include "Log.h"
#include "LuaApi.h"

namespace quelt_test {

// Captures the log while it lives, and restores the Lua log masks it found.
class LogCapture : public quelt::test::LogCapture {
public:
    LogCapture() { QueltLuaLog_getBitmaps(&submodule_, &instrumentation_); }
    ~LogCapture() { QueltLuaLog_setBitmaps(submodule_, instrumentation_); }

private:
    uint32_t submodule_ = 0;
    uint32_t instrumentation_ = 0;
};

// Stand-ins for entity and sequence pointers that the engine only stores.
template <typename T>
T *fake(uintptr_t n) {
    return reinterpret_cast<T *>(n * 16);
}

// An engine on a state of its own, made from a record by start(); each test leaves its stack empty.
class EngineTest : public ::testing::Test {
protected:
    void start(const QueltLuaContainer &record) {
        engine = QueltLuaEngine_new(&record, nullptr);
        ASSERT_NE(engine, nullptr);
        L = engine->L;
    }
    void TearDown() override {
        if (engine != nullptr) {
            EXPECT_EQ(lua_gettop(L), 0);
        }
        QueltLuaEngine_delete(engine);
    }
    LogCapture capture;
    QueltLuaEngine *engine = nullptr;
    lua_State *L = nullptr;
};

// Runs code in L; returns "" on success, else Lua's error message. The stack is left as found.
inline std::string runLua(lua_State *L, const std::string &code) {
    const int top = lua_gettop(L);
    std::string error;
    if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, 0, 0) != LUA_OK) {
        const char *m = lua_tostring(L, -1);
        error = m != nullptr ? m : "(no message)";
    }
    lua_settop(L, top);
    return error;
}

} // namespace quelt_test
