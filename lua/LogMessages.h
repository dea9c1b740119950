/* The library's message records (id + printf template). Every failure of the engine, the data
 * binding and the connector is logged with one of these or with a generic record of the
 * platform log facility. */
#ifndef QUELT_LUA_LOG_MESSAGES_H
#define QUELT_LUA_LOG_MESSAGES_H

#include "dds/dds_log.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LUABINDING_LOG_ID_BASE 0x2271000u

extern const QueltLogMessage LUABINDING_LOG_NEW_FAILURE_s;
extern const QueltLogMessage LUABINDING_LOG_PRECONDITION_FAILURE_s;
extern const QueltLogMessage LUABINDING_LOG_DELETE_FAILURE_s;
extern const QueltLogMessage LUABINDING_LOG_GET_FAILURE_s;
extern const QueltLogMessage LUABINDING_LOG_GET_KIND_FAILURE_s;
extern const QueltLogMessage LUABINDING_LOG_SET_FAILURE_s;
extern const QueltLogMessage LUABINDING_LOG_OPEN_FAILURE_s;
extern const QueltLogMessage LUABINDING_LOG_LOAD_FAILURE_s;
extern const QueltLogMessage LUABINDING_LOG_EXECUTE_FAILURE_s;
extern const QueltLogMessage LUABINDING_LOG_TABLE_EXPECTED_ON_TOP;
extern const QueltLogMessage LUABINDING_LOG_USERDATA_EXPECTED_ON_TOP;
extern const QueltLogMessage LUABINDING_LOG_NUMBER_EXPECTED_ON_TOP;
extern const QueltLogMessage LUABINDING_LOG_STRING_EXPECTED_ON_TOP;
extern const QueltLogMessage LUABINDING_LOG_TABLE_EXPECTED_AT_d;
extern const QueltLogMessage LUABINDING_LOG_USERDATA_EXPECTED_AT_d;
extern const QueltLogMessage LUABINDING_LOG_NUMBER_EXPECTED_AT_d;
extern const QueltLogMessage LUABINDING_LOG_STRING_EXPECTED_AT_d;
extern const QueltLogMessage LUABINDING_LOG_POST;
extern const QueltLogMessage LUABINDING_LOG_GET_LENGTH;
extern const QueltLogMessage LUABINDING_LOG_GET_WRITER;
extern const QueltLogMessage LUABINDING_LOG_GET_WRITER_PARAMS;
extern const QueltLogMessage LUABINDING_LOG_GET_READER;
extern const QueltLogMessage LUABINDING_LOG_GET_INSTANCE;
extern const QueltLogMessage LUABINDING_LOG_GET_DATASEQ;
extern const QueltLogMessage LUABINDING_LOG_GET_INFOSEQ;
extern const QueltLogMessage LUABINDING_LOG_GET_DATA;
extern const QueltLogMessage LUABINDING_LOG_GET_CONTAINER;
extern const QueltLogMessage LUABINDING_LOG_GET_TABEL;
extern const QueltLogMessage LUABINDING_LOG_NO_ALIAS_FOUND_d;
extern const QueltLogMessage LUABINDING_LOG_TABLE_NOT_FOUND_s;
extern const QueltLogMessage LUABINDING_LOG_BOOLEAN_NOT_FOUND_s;
extern const QueltLogMessage LUABINDING_LOG_USERDATA_NOT_FOUND_s;
extern const QueltLogMessage LUABINDING_LOG_CREATE_TABLE_FAILURE_s;
extern const QueltLogMessage LUABINDING_LOG_CREATE_CONTAINER_s;
extern const QueltLogMessage LUABINDING_LOG_OPERATION_UNDEF;
extern const QueltLogMessage LUABINDING_LOG_FAILED_TO_ALLOCATE_WRITERS;
extern const QueltLogMessage LUABINDING_LOG_FAILED_TO_ALLOCATE_READERS;
extern const QueltLogMessage LUABINDING_LOG_ASSERT_NUMBER_FAIL_sfs;
extern const QueltLogMessage LUABINDING_LOG_NOT_A_NUMBER_s;
extern const QueltLogMessage LUABINDING_LOG_NOT_A_BOOLEAN_s;
extern const QueltLogMessage LUABINDING_LOG_NOT_A_STRING_s;
extern const QueltLogMessage LUABINDING_LOG_ANY_sd;
extern const QueltLogMessage LUABINDING_LOG_ANY_ss;
/* A member named by its path, and what happened to the value given for it. */
extern const QueltLogMessage LUABINDING_LOG_MEMBER_ss;
extern const QueltLogMessage LUABINDING_LOG_JSON_TOO_DEEP_d;

/* Every record above, in id order, for lookups by id and for checks of the table. */
extern const QueltLogMessage *const QueltLuaLog_g_messages[];
extern const int QueltLuaLog_g_messageCount;

#ifdef __cplusplus
}
#endif

#endif
