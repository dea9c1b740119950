/* Quelt DDS Connector: typeless, name-based access to a DDS domain for foreign-language hosts.
 *
 * A connector is created from a named XML participant configuration (or an existing participant).
 * Every DataWriter and DataReader of the participant is then reachable by its full name,
 * "<Publisher or Subscriber name>::<DataWriter or DataReader name>" ("NO_NAME_SET" stands for a
 * missing name). Samples are DynamicData objects whose members are addressed by name.
 *
 * Conventions: functions without a result only log their failures; number getters return -1.0,
 * boolean getters -1, string and pointer functions null on failure; waits return the DDS return
 * code (0 OK, 4 PRECONDITION_NOT_MET, 10 TIMEOUT). Strings returned to the caller are released
 * with QueltDDSConnector_freeString. A connector is used by one thread at a time.
 *
 * The library takes the Lua 5.2 symbols from the process: a C host links -llua5.2 itself.
 */
#ifndef QUELT_DDS_CONNECTOR_H
#define QUELT_DDS_CONNECTOR_H

#include <stdint.h>

#if defined(_WIN32)
#define QUELT_DDS_CONNECTOR_API __declspec(dllexport)
#elif defined(__GNUC__)
#define QUELT_DDS_CONNECTOR_API __attribute__((visibility("default")))
#else
#define QUELT_DDS_CONNECTOR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Types of the DDS layer and of Lua, declared here so that a host needs no other header.
 * The typedefs repeat those of their own headers exactly, which C11 and C++ accept. */
typedef struct lua_State lua_State;
typedef struct DDS_DomainParticipant DDS_DomainParticipant;
typedef struct DDS_DataReader DDS_DataReader;
typedef struct DDS_DataWriter DDS_DataWriter;
typedef struct DDS_DataReader DDS_DynamicDataReader;
typedef struct DDS_DataWriter DDS_DynamicDataWriter;
typedef struct DDS_Duration_t DDS_Duration_t;
typedef int32_t DDS_ReturnCode_t;

/* A function callable from Lua (same shape as lua_CFunction). */
typedef int (*QueltDDSConnector_LuaFunction)(lua_State *L);
/* A data-available callback, as the DDS reader listener calls it. */
typedef void (*QueltDDSConnector_DataAvailableCallback)(void *listener_data, DDS_DataReader *reader);

typedef struct QueltDDSConnector QueltDDSConnector;

/* Creation options. Only the first field is read; later fields may be added after it. */
typedef struct QueltDDSConnectorOptions {
    /* Non-zero (the default when no options are given): every reader's data-available status
     * wakes QueltDDSConnector_wait. Zero: waits only ever time out. */
    uint32_t attachReadersToWaitset;
} QueltDDSConnectorOptions;

/* ---- lifecycle ---- */

/* configName: "Library::Participant" of the XML configuration. configFile: the XML file that
 * holds it; when given it replaces the XML file list of the process's participant factory. */
QUELT_DDS_CONNECTOR_API QueltDDSConnector *QueltDDSConnector_new(const char *configName, const char *configFile,
                                                                 const QueltDDSConnectorOptions *options);
/* Adopts a participant the caller created. Deleting the connector deletes the participant's
 * contained entities but leaves the participant itself to the caller. */
QUELT_DDS_CONNECTOR_API QueltDDSConnector *QueltDDSConnector_new_from_participant(DDS_DomainParticipant *participant,
                                                                                  const char *name,
                                                                                  const QueltDDSConnectorOptions *options);
/* Null is ignored. */
QUELT_DDS_CONNECTOR_API void QueltDDSConnector_delete(QueltDDSConnector *connector);

/* ---- setting fields of a writer's outgoing sample ---- */

QUELT_DDS_CONNECTOR_API void QueltDDSConnector_setNumberIntoSamples(QueltDDSConnector *connector, const char *entityName,
                                                                    const char *fieldName, double value);
QUELT_DDS_CONNECTOR_API void QueltDDSConnector_setBooleanIntoSamples(QueltDDSConnector *connector, const char *entityName,
                                                                     const char *fieldName, int value);
QUELT_DDS_CONNECTOR_API void QueltDDSConnector_setStringIntoSamples(QueltDDSConnector *connector, const char *entityName,
                                                                    const char *fieldName, const char *value);
QUELT_DDS_CONNECTOR_API void QueltDDSConnector_clear(QueltDDSConnector *connector, const char *entityName);

/* ---- getting fields of received samples (index counts from 1) ---- */

QUELT_DDS_CONNECTOR_API double QueltDDSConnector_getNumberFromSamples(QueltDDSConnector *connector, const char *entityName,
                                                                      int index, const char *fieldName);
QUELT_DDS_CONNECTOR_API double QueltDDSConnector_getNumberFromInfos(QueltDDSConnector *connector, const char *entityName,
                                                                    int index, const char *fieldName);
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_getBooleanFromSamples(QueltDDSConnector *connector, const char *entityName,
                                                                    int index, const char *fieldName);
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_getBooleanFromInfos(QueltDDSConnector *connector, const char *entityName,
                                                                  int index, const char *fieldName);
QUELT_DDS_CONNECTOR_API char *QueltDDSConnector_getStringFromSamples(QueltDDSConnector *connector, const char *entityName,
                                                                     int index, const char *fieldName);
QUELT_DDS_CONNECTOR_API char *QueltDDSConnector_getStringFromInfos(QueltDDSConnector *connector, const char *entityName,
                                                                   int index, const char *fieldName);
QUELT_DDS_CONNECTOR_API char *QueltDDSConnector_getJSONFromInfos(QueltDDSConnector *connector, const char *entityName,
                                                                 int index, const char *fieldName);
QUELT_DDS_CONNECTOR_API double QueltDDSConnector_getSamplesLength(QueltDDSConnector *connector, const char *entityName);
QUELT_DDS_CONNECTOR_API double QueltDDSConnector_getInfosLength(QueltDDSConnector *connector, const char *entityName);
QUELT_DDS_CONNECTOR_API void QueltDDSConnector_freeString(char *str);

/* ---- write, read, take ---- */

/* paramsJson: null for a plain write, or {"identity": ..., "related_sample_identity": ...}. */
QUELT_DDS_CONNECTOR_API void QueltDDSConnector_write(QueltDDSConnector *connector, const char *entityName,
                                                     const char *paramsJson);
QUELT_DDS_CONNECTOR_API void QueltDDSConnector_read(QueltDDSConnector *connector, const char *entityName);
QUELT_DDS_CONNECTOR_API void QueltDDSConnector_take(QueltDDSConnector *connector, const char *entityName);

/* ---- whole samples as JSON ---- */

QUELT_DDS_CONNECTOR_API void QueltDDSConnector_setJSONInstance(QueltDDSConnector *connector, const char *entityName,
                                                               const char *json);
QUELT_DDS_CONNECTOR_API char *QueltDDSConnector_getJSONInstance(QueltDDSConnector *connector, const char *entityName);
QUELT_DDS_CONNECTOR_API char *QueltDDSConnector_getJSONSample(QueltDDSConnector *connector, const char *entityName,
                                                              int index);

/* ---- entities, scripts and context values ---- */

QUELT_DDS_CONNECTOR_API DDS_DynamicDataReader *QueltDDSConnector_getReader(QueltDDSConnector *connector,
                                                                           const char *entityName);
QUELT_DDS_CONNECTOR_API DDS_DynamicDataWriter *QueltDDSConnector_getWriter(QueltDDSConnector *connector,
                                                                           const char *entityName);
/* Runs the registered script text, then the script file, in the connector's Lua engine (global
 * CONTAINER). 0 on success (every reader's loan is then returned), -1 when nothing is registered
 * or a chunk returned a value, otherwise Lua's status of the failed run (logged with file:line). */
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_execute(QueltDDSConnector *connector);
/* script: Lua text (the first text compiled stays in force); fileName: a Lua file. Both may be
 * null and are copied. period >= 0: reload the script file when it changed, looking at most once
 * per period seconds; period < 0: load the file once. */
QUELT_DDS_CONNECTOR_API void QueltDDSConnector_assertCode(QueltDDSConnector *connector, const char *script,
                                                          const char *fileName, int period);
/* Values exchanged with scripts through CONTAINER.CONTEXT: 1 on success, 0 on failure. A missing
 * number reads as 0.0; a string read points into the engine while the key keeps its value. */
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_setFunctionIntoContext(QueltDDSConnector *connector, const char *name,
                                                                     QueltDDSConnector_LuaFunction function);
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_setNumberIntoContext(QueltDDSConnector *connector, const char *name,
                                                                   double value);
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_setStringIntoContext(QueltDDSConnector *connector, const char *name,
                                                                   const char *value);
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_setBooleanIntoContext(QueltDDSConnector *connector, const char *name,
                                                                    int value);
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_getNumberFromContext(QueltDDSConnector *connector, const char *name,
                                                                   double *value);
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_getStringFromContext(QueltDDSConnector *connector, const char *name,
                                                                   const char **value);
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_getBooleanFromContext(QueltDDSConnector *connector, const char *name,
                                                                    unsigned char *value);

/* ---- descriptions for bindings (JSON texts released with QueltDDSConnector_freeString) ---- */

/* The full names of the connector's writers (writers != 0) or readers, in table order, as a JSON
 * array of strings. */
QUELT_DDS_CONNECTOR_API char *QueltDDSConnector_getEntityNamesJSON(QueltDDSConnector *connector, int writers);
/* The type of the samples of the writer or reader entityName, as JSON: {"kind": k, ...} where k is
 * the XML name of a primitive ("int32", "uint64", "float32", "boolean", "char8", "uint8",
 * "char16", "float128", ...) or one of "string" and "wstring" (with "bound", 0 when unbounded),
 * "enum" ("name", "enumerators": {name: value}), "struct" and "union" ("name", "members": [{"name",
 * "type", "optional" when it is}]), "sequence" ("bound", "element") and "array" ("length",
 * "element"). Aliases are resolved. Null (logged) for a name that is neither. */
QUELT_DDS_CONNECTOR_API char *QueltDDSConnector_getTypeJSON(QueltDDSConnector *connector, const char *entityName);
/* The participant configuration names ("Library::Participant") of an XML file, as a JSON array;
 * null (logged) when the file cannot be read as XML. */
QUELT_DDS_CONNECTOR_API char *QueltDDSConnector_getConfigNamesJSON(const char *configFile);

/* ---- waiting and listeners ---- */

/* milliseconds: -1 waits without limit. Returns 0 when a reader has data, 10 on timeout. */
QUELT_DDS_CONNECTOR_API DDS_ReturnCode_t QueltDDSConnector_wait(QueltDDSConnector *connector, int milliseconds);
QUELT_DDS_CONNECTOR_API DDS_ReturnCode_t QueltDDSConnector_wait_duration(QueltDDSConnector *connector,
                                                                         const DDS_Duration_t *duration);
/* Installs callback as the data-available listener of the reader readerName. It runs on a
 * middleware thread (for a writer in the same process, on the writing thread within its write),
 * concurrently with the connector's user: it must not call the connector. */
QUELT_DDS_CONNECTOR_API void QueltDDSConnector_installListener(QueltDDSConnector *connector, const char *readerName,
                                                               QueltDDSConnector_DataAvailableCallback callback,
                                                               void *listener_data);

/* ---- functions called from Lua (each takes the Lua state, returns its number of results) ---- */

QUELT_DDS_CONNECTOR_API int QueltDDSConnector_deleteConnector(lua_State *L);     /* "__gc" of a Lua connector */
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_enableEventLogging(lua_State *L);  /* CONTEXT "enableEventLog" */
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_time_ms(lua_State *L);             /* CONTEXT "time_ms" */
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_wait_L(lua_State *L);              /* "wait" */
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_wait_for_period_L(lua_State *L);   /* "wait_for_period_ms" */
QUELT_DDS_CONNECTOR_API int QueltDDSConnector_load(lua_State *L);                /* "new_connector" */

/* ---- Lua module ---- */

QUELT_DDS_CONNECTOR_API int luaopen_quelt_dds_connector(lua_State *L);
QUELT_DDS_CONNECTOR_API int luaopen_quelt_dds_connectord(lua_State *L);

/* ---- log masks ----
 * submoduleMask: 0x1000 Lua engine and data binding, 0x2000 connector (initially 0xffff).
 * instrumentationMask: 0x1 errors, 0x2 warnings (initially 0x1). */
QUELT_DDS_CONNECTOR_API void QueltLuaLog_getBitmaps(uint32_t *submoduleMask, uint32_t *instrumentationMask);
QUELT_DDS_CONNECTOR_API void QueltLuaLog_setBitmaps(uint32_t submoduleMask, uint32_t instrumentationMask);
/* verbosity >= 0 enables the verbosity + 1 lowest levels; negative silences everything. */
QUELT_DDS_CONNECTOR_API void QueltLuaLog_setVerbosity(uint32_t submoduleMask, int verbosity);
/* Sends every log line to sink instead of stderr: the line (NUL-terminated, ending in '\n'), its
 * level (1 error, 2 warning, 4 notice) and user. Notices are the middleware's information, never
 * a failure; the middleware's lines (Fast DDS's among them) are printed whatever the masks say.
 * The sink runs on the thread that logs (a middleware thread for status events), one line at a
 * time under a lock, and must not call the library. After QueltLuaLog_setSink returns, the
 * previous sink is not called again. Null restores stderr. */
typedef void (*QueltLuaLog_Sink)(int level, const char *line, void *user);
QUELT_DDS_CONNECTOR_API void QueltLuaLog_setSink(QueltLuaLog_Sink sink, void *user);

#ifdef __cplusplus
}
#endif

#endif
