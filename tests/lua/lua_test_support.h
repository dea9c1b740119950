// Shared fixture pieces of the Lua engine tests: captured log output, saved log masks, and
// running Lua text in a state.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Log.h"
#include "LuaApi.h"

namespace quelt_test {

// Captures every line (or plain piece) the log facility emits while it lives, and restores the
// masks it found.
class LogCapture {
public:
    LogCapture() {
        QueltLuaLog_getBitmaps(&submodule_, &instrumentation_);
        QueltLog_setSink(&LogCapture::sink, this);
    }
    ~LogCapture() {
        QueltLog_setSink(nullptr, nullptr);
        QueltLuaLog_setBitmaps(submodule_, instrumentation_);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const std::vector<std::string> &lines() const { return lines_; }
    void clear() { lines_.clear(); }
    std::string all() const {
        std::string text;
        for (const auto &l : lines_) text += l;
        return text;
    }
    bool contains(const std::string &needle) const { return all().find(needle) != std::string::npos; }
    // Number of lines that contain needle.
    int count(const std::string &needle) const {
        int n = 0;
        for (const auto &l : lines_) n += l.find(needle) != std::string::npos ? 1 : 0;
        return n;
    }

private:
    static void sink(const char *line, void *user) { static_cast<LogCapture *>(user)->lines_.emplace_back(line); }
    std::vector<std::string> lines_;
    uint32_t submodule_ = 0;
    uint32_t instrumentation_ = 0;
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
