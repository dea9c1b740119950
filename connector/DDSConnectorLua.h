// What the connector uses of the Lua engine, and the connector's logging macros.
#pragma once

#include <ctime>

#include "dds/dds_domain.h"
#include "dds/dds_log.h"

// The engine, its connector and the log module.
#include "Common.h"
#include "Connector.h"
#include "DDSConnectionPlugin.h"
#include "Engine.h"
#include "Log.h"
#include "LogMessages.h"

// ---- logging ----

#define QUELT_DDS_CONNECTOR_SUBMODULE QUELT_LUA_LOG_SUBMODULE_CONNECTOR
#define QUELT_DDS_CONNECTOR_LEVEL_ERROR QUELT_LUA_LOG_LEVEL_ERROR
#define QUELT_DDS_CONNECTOR_LEVEL_WARNING QUELT_LUA_LOG_LEVEL_WARNING

extern "C" void QueltDDSConnector_logI(int level, const char *context, const QueltLogMessage *message, ...);
// True when a line of this level of the connector submodule would be printed.
extern "C" int QueltDDSConnector_logEnabledI(int level);

#define CONNECTOR_LOG_ERROR(ctx, MSG, ...) QueltDDSConnector_logI(QUELT_DDS_CONNECTOR_LEVEL_ERROR, ctx, &(MSG), ##__VA_ARGS__)
#define CONNECTOR_LOG_WARNING(ctx, MSG, ...) QueltDDSConnector_logI(QUELT_DDS_CONNECTOR_LEVEL_WARNING, ctx, &(MSG), ##__VA_ARGS__)
