/* The log facility of the middleware and of the connector built on it.
 *
 * A message is a record (id + printf template) so that every line can be traced back to the
 * place that defines it. Each call emits exactly one line, composed in memory first and handed
 * to the sink in one piece, so lines of concurrent threads never interleave.
 */
#ifndef QUELT_DDS_LOG_H
#define QUELT_DDS_LOG_H

#include <stdarg.h>

#include "dds/dds_types.h"

#if defined(__GNUC__)
#define QUELT_LOG_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define QUELT_LOG_PRINTF(fmtIndex, firstArg)
#endif

DDS_BEGIN_DECLS

typedef struct QueltLogMessage {
    uint32_t id;
    const char *format; /* printf template, ends with '\n' */
} QueltLogMessage;

/* The facility's own generic records. */
extern DDS_API const QueltLogMessage QUELT_LOG_ANY_s;                /* "%s\n" */
extern DDS_API const QueltLogMessage QUELT_LOG_ANY_FAILURE_s;        /* "failure: %s\n" */
extern DDS_API const QueltLogMessage QUELT_LOG_CREATION_FAILURE_s;   /* "create %s failed\n" */
extern DDS_API const QueltLogMessage QUELT_LOG_OUT_OF_HEAP_STRUCT_d; /* "out of heap: structure of %d bytes\n" */

/* Levels of a line, the bits the library's instrumentation mask gives them. Notices are the
 * middleware's information (e.g. a participant id chosen around a crashed process's leftovers):
 * printed like the rest, but never a failure. */
#define QUELT_LOG_LEVEL_ERROR 1
#define QUELT_LOG_LEVEL_WARNING 2
#define QUELT_LOG_LEVEL_NOTICE 4

/* The level of the line this thread prints: a sink reads it to learn the level of the line it is
 * handed. Lines printed without a level set are errors. */
DDS_API int QueltLog_level(void);
/* Sets the level of the lines this thread prints from now on; returns the previous level, which
 * the caller restores once its line is out. */
DDS_API int QueltLog_setLevel(int level);

/* Optional hook that callers invoke with the level of the line they are about to print
 * (the facility itself never calls it). Null by default. */
typedef void (*QueltLog_LevelHook)(int level);
extern DDS_API QueltLog_LevelHook QueltLog_g_levelHook;

/* Receives each composed line, NUL-terminated, including its trailing '\n'.
 * The sink is called with an internal lock held, so after QueltLog_setSink returns the
 * previous sink is never called again. A sink may log itself (the lock is recursive). */
typedef void (*QueltLog_Sink)(const char *line, void *user);

/* Redirects all output to sink; a null sink restores the default (stderr). */
DDS_API void QueltLog_setSink(QueltLog_Sink sink, void *user);

/* Prints "context: <message>" as one line. A null context prints the message alone. Trailing
 * newlines of the formatted message are replaced by exactly one. */
DDS_API void QueltLog_print(const char *context, const QueltLogMessage *msg, ...);
DDS_API void QueltLog_vprint(const char *context, const QueltLogMessage *msg, va_list ap);

/* Prints the formatted text as given: no context, no record, no newline added. */
DDS_API void QueltLog_printPlain(const char *fmt, ...) QUELT_LOG_PRINTF(1, 2);

/* Middleware-internal: "context: text\n", with the same newline rule as QueltLog_print, at the
 * level each name gives. */
DDS_API void QueltLog_error(const char *context, const char *fmt, ...) QUELT_LOG_PRINTF(2, 3);
DDS_API void QueltLog_warning(const char *context, const char *fmt, ...) QUELT_LOG_PRINTF(2, 3);
DDS_API void QueltLog_notice(const char *context, const char *fmt, ...) QUELT_LOG_PRINTF(2, 3);

DDS_END_DECLS

#endif
