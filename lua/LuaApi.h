/* The Lua 5.2 API as seen from both C and C++ units of the engine. */
#ifndef QUELT_LUA_API_H
#define QUELT_LUA_API_H

#ifdef __cplusplus
#include <lua.hpp>
#else
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
#endif

#endif
