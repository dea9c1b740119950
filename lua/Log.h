/* Log masks of the library and the gate every log call of the Lua engine goes through.
 *
 * A line is printed only when the instrumentation mask has the bit of its level and the submodule
 * mask has the bit of the module that logs. Both masks are 32-bit words read and written
 * atomically (relaxed) without locks, from the caller's threads and the middleware's alike: a
 * change from another thread takes effect at the next log call. */
#ifndef QUELT_LUA_LOG_H
#define QUELT_LUA_LOG_H

#include <stdint.h>

#include "dds/dds_log.h"
#include "LogMessages.h"

#if defined(__GNUC__)
#define QUELT_LUA_PUBLIC __attribute__((visibility("default")))
#else
#define QUELT_LUA_PUBLIC
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Levels (bits of the instrumentation mask). Notices (4) come from the middleware only. */
#define QUELT_LUA_LOG_LEVEL_ERROR QUELT_LOG_LEVEL_ERROR
#define QUELT_LUA_LOG_LEVEL_WARNING QUELT_LOG_LEVEL_WARNING
#define QUELT_LUA_LOG_LEVEL_NOTICE QUELT_LOG_LEVEL_NOTICE

/* Submodules (bits of the submodule mask). */
#define QUELT_LUA_LOG_SUBMODULE_LUA 0x1000u       /* Lua engine and data binding */
#define QUELT_LUA_LOG_SUBMODULE_CONNECTOR 0x2000u /* connector core, Lua connector, Lua module */

/* Only ever accessed through __atomic builtins (or std::atomic_ref): use the functions below. */
extern uint32_t QueltLuaLog_g_instrumentationMask; /* starts at 1: errors only */
extern uint32_t QueltLuaLog_g_submoduleMask;       /* starts at 0xFFFF */

/* Exported for the host. */
QUELT_LUA_PUBLIC void QueltLuaLog_getBitmaps(uint32_t *submoduleMask, uint32_t *instrumentationMask);
QUELT_LUA_PUBLIC void QueltLuaLog_setBitmaps(uint32_t submoduleMask, uint32_t instrumentationMask);
/* verbosity >= 0 enables the verbosity + 1 lowest levels (all 32 from 31 on); negative silences. */
QUELT_LUA_PUBLIC void QueltLuaLog_setVerbosity(uint32_t submoduleMask, int verbosity);
/* Hands every line of the log facility, with its level, to sink (null: back to stderr). */
typedef void (*QueltLuaLog_Sink)(int level, const char *line, void *user);
QUELT_LUA_PUBLIC void QueltLuaLog_setSink(QueltLuaLog_Sink sink, void *user);

/* 1 when a line of this level and submodule would be printed. */
int QueltLuaLog_isEnabled(int level, uint32_t submodule);

/* Calls the facility's level hook (when set) and prints "context: message" when enabled. */
void QueltLuaLog_log(int level, uint32_t submodule, const char *context, const QueltLogMessage *message, ...);

/* The same without the gate, for loggers that test their own masks (the connector's). */
void QueltLuaLog_vprintAt(int level, const char *context, const QueltLogMessage *message, va_list ap);

/* Prints unformatted-template text without context or record (stack dumps, script log lines,
 * status events), under the same gate. */
void QueltLuaLog_plain(int level, uint32_t submodule, const char *format, ...) QUELT_LOG_PRINTF(3, 4);

/* Shorthands of the engine and data binding. MSG is the name of a message record. */
#define QUELT_LUA_LOG_ERROR(ctx, MSG, ...) \
    QueltLuaLog_log(QUELT_LUA_LOG_LEVEL_ERROR, QUELT_LUA_LOG_SUBMODULE_LUA, (ctx), &(MSG), ##__VA_ARGS__)
#define QUELT_LUA_LOG_WARNING(ctx, MSG, ...) \
    QueltLuaLog_log(QUELT_LUA_LOG_LEVEL_WARNING, QUELT_LUA_LOG_SUBMODULE_LUA, (ctx), &(MSG), ##__VA_ARGS__)
/* The same for the connector submodule. */
#define QUELT_LUA_LOG_CONNECTOR_ERROR(ctx, MSG, ...) \
    QueltLuaLog_log(QUELT_LUA_LOG_LEVEL_ERROR, QUELT_LUA_LOG_SUBMODULE_CONNECTOR, (ctx), &(MSG), ##__VA_ARGS__)
#define QUELT_LUA_LOG_CONNECTOR_WARNING(ctx, MSG, ...) \
    QueltLuaLog_log(QUELT_LUA_LOG_LEVEL_WARNING, QUELT_LUA_LOG_SUBMODULE_CONNECTOR, (ctx), &(MSG), ##__VA_ARGS__)

#ifdef __cplusplus
}
#endif

#endif
