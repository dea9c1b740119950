// Connector lifecycle, the connector's CONTEXT functions, and waiting.
#include "DDSConnector.h"

#include "Internal.h"

#include <cmath>
#include <cstdarg>
#include <cstdlib>

#include <dlfcn.h>

extern "C" {

// ---- logging ----

int QueltDDSConnector_logEnabledI(int level)
{
    return QueltLuaLog_isEnabled(level, QUELT_DDS_CONNECTOR_SUBMODULE);
}

void QueltDDSConnector_logI(int level, const char *context, const QueltLogMessage *message, ...)
{
    if (!QueltDDSConnector_logEnabledI(level))
        return;
    va_list ap;
    va_start(ap, message);
    QueltLuaLog_vprintAt(level, context, message, ap);
    va_end(ap);
}

// ---- construction ----

} // extern "C"

namespace {

const char *const kNewCtx = "QueltDDSConnector_newI";

// Makes configFile the one XML file the participant factory reads configurations from. This is
// process-wide and stays in force for every later participant. Returns the failure text, or null.
const char *useConfigFile(const char *configFile)
{
    DDS_DomainParticipantFactory *factory = DDS_DomainParticipantFactory_get_instance();
    DDS_DomainParticipantFactoryQos qos;
    DDS_DomainParticipantFactoryQos_initialize(&qos);
    const char *failure = nullptr;
    DDS_StringSeq *files = &qos.profile.url_profile;
    if (DDS_DomainParticipantFactory_get_qos(factory, &qos) != DDS_RETCODE_OK) {
        failure = "get factory qos";
    } else if (!DDS_StringSeq_set_maximum(files, 0) || !DDS_StringSeq_ensure_length(files, 1, 1)) {
        failure = "ensure_length";
    } else {
        *DDS_StringSeq_get_reference(files, 0) = DDS_String_dup(configFile);
        if (DDS_DomainParticipantFactory_set_qos(factory, &qos) != DDS_RETCODE_OK)
            failure = "set factory qos";
        else if (!DDS_StringSeq_set_maximum(files, 0))
            failure = "ensure_length";
    }
    if (DDS_DomainParticipantFactoryQos_finalize(&qos) != DDS_RETCODE_OK && !failure)
        failure = "DDS_DomainParticipantFactoryQos_finalize";
    return failure;
}

QueltDDSConnector *failConstruction(QueltDDSConnector *self, const QueltLogMessage &message, const char *text,
                                    const char *text2 = nullptr)
{
    if (text2)
        CONNECTOR_LOG_ERROR(kNewCtx, message, text, text2);
    else
        CONNECTOR_LOG_ERROR(kNewCtx, message, text);
    QueltDDSConnector_delete(self);
    return nullptr;
}

// Finalises and frees the DynamicData objects and sequences of both holder arrays, then the arrays.
void releaseHolders(QueltDDSConnector *self)
{
    for (DDS_Long i = 0; i < self->subscriptionHolderCount; ++i) {
        SubscriptionHolder &holder = self->subscriptionHolders[i];
        if (holder.keyHolder) {
            DDS_DynamicData_finalize(holder.keyHolder);
            std::free(holder.keyHolder);
            holder.keyHolder = nullptr;
        }
        DDS_DynamicDataSeq_finalize(&holder.dataSequence);
        DDS_SampleInfoSeq_finalize(&holder.infoSequence);
    }
    self->subscriptionHolderCount = 0;
    for (DDS_Long i = 0; i < self->publicationHolderCount; ++i) {
        PublicationHolder &holder = self->publicationHolders[i];
        if (holder.instance) {
            DDS_DynamicData_finalize(holder.instance);
            std::free(holder.instance);
            holder.instance = nullptr;
        }
    }
    self->publicationHolderCount = 0;
    std::free(self->publicationHolders);
    self->publicationHolders = nullptr;
    std::free(self->subscriptionHolders);
    self->subscriptionHolders = nullptr;
}

QueltDDSConnector *connectorOfState(lua_State *L, const char *ctx)
{
    auto *self = static_cast<QueltDDSConnector *>(QueltLuaCommon_getUserdataFromContext(L, "#plugin_lud"));
    if (!self) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_GET_CONTAINER);
        QueltLuaCommon_stackDump(L);
    }
    return self;
}

// False when the value at index is a connector table other than self's main table: one kept
// from a connector deleted before, whose functions must not act on the state's current one.
bool isOwnTableOrNotATable(lua_State *L, int index, QueltDDSConnector *self)
{
    if (!lua_istable(L, index))
        return true;
    index = lua_absindex(L, index);
    if (!QueltLuaCommon_pushMainOnTop(self->base->engine)) /* push the main table */
        return false;
    const bool own = lua_rawequal(L, index, -1);
    lua_pop(L, 1); /* pop it */
    return own;
}

} // namespace

extern "C" {

PublicationHolder *QueltDDSConnector_publicationHolderI(QueltDDSConnector *self, const char *entityName)
{
    const void *instance = self && self->base ? QueltLuaEngine_outputSample(self->base->engine, entityName) : nullptr;
    for (DDS_Long i = 0; instance && i < self->publicationHolderCount; ++i)
        if (self->publicationHolders[i].instance == instance)
            return &self->publicationHolders[i];
    return nullptr;
}

bool QueltDDSConnector_isOwnOutputI(const QueltDDSConnector *self, const void *writer, const void *instance)
{
    bool ownWriter = false, ownInstance = false;
    for (DDS_Long i = 0; i < self->publicationHolderCount; ++i) {
        ownWriter = ownWriter || self->publicationHolders[i].writer == writer;
        ownInstance = ownInstance || self->publicationHolders[i].instance == instance;
    }
    return ownWriter && ownInstance;
}

SubscriptionHolder *QueltDDSConnector_subscriptionHolderI(QueltDDSConnector *self, const char *entityName)
{
    const void *samples = nullptr, *infos = nullptr;
    if (!self || !self->base || !QueltLuaEngine_inputSequences(self->base->engine, entityName, &samples, &infos))
        return nullptr;
    for (DDS_Long i = 0; i < self->subscriptionHolderCount; ++i)
        if (&self->subscriptionHolders[i].dataSequence == samples && &self->subscriptionHolders[i].infoSequence == infos)
            return &self->subscriptionHolders[i];
    return nullptr;
}

QueltDDSConnector *QueltDDSConnector_newI(const QueltDDSConnectorOptions *options, QueltLuaContainer *container,
                                          const char *configFile, const char *configName,
                                          DDS_DomainParticipant *participant, lua_State *L)
{
    auto *self = static_cast<QueltDDSConnector *>(std::calloc(1, sizeof(QueltDDSConnector)));
    if (!self) {
        CONNECTOR_LOG_ERROR(kNewCtx, LUABINDING_LOG_NEW_FAILURE_s, "ddsResourceContainer");
        return nullptr;
    }
    if (participant) {
        self->ownsParticipant = DDS_BOOLEAN_FALSE;
    } else {
        if (configFile) {
            if (const char *failure = useConfigFile(configFile))
                return failConstruction(self, LUABINDING_LOG_NEW_FAILURE_s, failure);
        }
        DDS_DomainParticipant *created =
            DDS_DomainParticipantFactory_create_participant_from_config(DDS_DomainParticipantFactory_get_instance(), configName);
        if (!created)
            return failConstruction(self, LUABINDING_LOG_NEW_FAILURE_s, "participant");
        // Recorded at once so that any later failure deletes it.
        self->ownsParticipant = DDS_BOOLEAN_TRUE;
        self->participant = created;
    }
    self->attachReadersToWaitset = options ? options->attachReadersToWaitset : 1;

    QueltLuaContainer local = {};
    if (!container) {
        QueltLuaDDSConnectionPlugin_init(&local);
        container = &local;
    }
    container->userData = self;
    // The engine copies the record, so the local one may go out of scope afterwards.
    self->base = QueltLuaConnector_new(L, container);
    if (!self->base)
        return failConstruction(self, LUABINDING_LOG_NEW_FAILURE_s, "base");
    if (participant)
        self->participant = participant;

    self->waitset = DDS_WaitSet_new();
    if (!self->waitset)
        return failConstruction(self, LUABINDING_LOG_NEW_FAILURE_s, "waitset");
    if (QueltDDSConnector_EntitiesLookupList_new(self) != 0)
        return failConstruction(self, LUABINDING_LOG_NEW_FAILURE_s, "entities lookup");
    // Writers first, so that output entries and their positions exist before the input entries.
    if (!QueltDDSConnector_allocateWriterTable(self))
        return failConstruction(self, LUABINDING_LOG_FAILED_TO_ALLOCATE_WRITERS, nullptr);
    if (!QueltDDSConnector_allocateReaderTable(self))
        return failConstruction(self, LUABINDING_LOG_FAILED_TO_ALLOCATE_READERS, nullptr);
    if (QueltDDSConnector_setFunctionIntoContext(self, "enableEventLog", QueltDDSConnector_enableEventLogging) != 1)
        return failConstruction(self, LUABINDING_LOG_ANY_ss, "setFunctionIntoContext", "enableEventLog");
    if (QueltDDSConnector_setFunctionIntoContext(self, "time_ms", QueltDDSConnector_time_ms) != 1)
        return failConstruction(self, LUABINDING_LOG_ANY_ss, "setFunctionIntoContext", "time_ms");
    return self;
}

QueltDDSConnector *QueltDDSConnector_new(const char *configName, const char *configFile, const QueltDDSConnectorOptions *options)
{
    if (!configName) {
        CONNECTOR_LOG_ERROR("QueltDDSConnector_new", QUELT_LOG_ANY_s, "configName cannot be null");
        return nullptr;
    }
    return QueltDDSConnector_newI(options, nullptr, configFile, configName, nullptr, nullptr);
}

QueltDDSConnector *QueltDDSConnector_new_from_participant(DDS_DomainParticipant *participant, const char *name,
                                                          const QueltDDSConnectorOptions *options)
{
    if (!participant) {
        CONNECTOR_LOG_ERROR("QueltDDSConnector_new_from_participant", QUELT_LOG_ANY_s, "participant cannot be null");
        return nullptr;
    }
    QueltDDSConnector *self = QueltDDSConnector_newI(options, nullptr, nullptr, nullptr, participant, nullptr);
    if (self) {
        // The engine has already published its main table under its own name; the caller's
        // name is kept with the engine's record for reference only.
        QueltLuaContainer &record = self->base->engine->container;
        DDS_String_free(record.name);
        record.name = DDS_String_dup(name);
    }
    return self;
}

// ---- teardown ----

void QueltDDSConnector_delete(QueltDDSConnector *self)
{
    static const char *const ctx = "QueltDDSConnector_delete";
    if (!self)
        return;
    if (self->waitset) {
        if (DDS_WaitSet_delete(self->waitset) != DDS_RETCODE_OK)
            CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "DDS_WaitSet_delete");
        self->waitset = nullptr;
    }
    if (self->participant) {
        // Event logging's listener reads the lookup list freed below: it goes first, once its
        // running callbacks are out. An adopted participant keeps a listener of the caller's own.
        const DDS_DomainParticipantListener current = DDS_DomainParticipant_get_listener(self->participant);
        if ((current.as_publisherlistener.as_datawriterlistener.listener_data == self ||
             current.as_subscriberlistener.as_datareaderlistener.listener_data == self) &&
            DDS_DomainParticipant_set_listener(self->participant, nullptr, 0) != DDS_RETCODE_OK)
            CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "DDS_DomainParticipant_set_listener");
        // The engine goes before the entities: deleting it returns the readers' loans.
        QueltLuaConnector_delete(self->base);
        self->base = nullptr;
        if (DDS_DomainParticipant_delete_contained_entities(self->participant) != DDS_RETCODE_OK)
            CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "delete_contained_entities");
        if (self->ownsParticipant) {
            if (DDS_DomainParticipantFactory_delete_participant(DDS_DomainParticipantFactory_get_instance(), self->participant) !=
                DDS_RETCODE_OK)
                CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "delete_participant");
            self->participant = nullptr;
        }
    }
    // Only reachable when construction failed between the engine and the participant.
    if (self->base) {
        QueltLuaConnector_delete(self->base);
        self->base = nullptr;
    }
    DDS_DataWriterSeq_set_maximum(&self->writers, 0);
    DDS_DataReaderSeq_set_maximum(&self->readers, 0);
    releaseHolders(self);
    QueltDDSConnector_EntitiesLookupList_delete(self);
    DDS_String_free(self->script);
    DDS_String_free(self->scriptFileName);
    std::free(self);
}

int QueltDDSConnector_deleteConnector(lua_State *L)
{
    static const char *const ctx = "QueltDDSConnector_deleteConnector";
    QueltDDSConnector *self = connectorOfState(L, ctx);
    if (self && !isOwnTableOrNotATable(L, 1, self)) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_GET_CONTAINER); // that table's connector is gone already
        self = nullptr;
    }
    if (self) {
        QueltDDSConnector_delete(self);
        if (DDS_DomainParticipantFactory_finalize_instance() != DDS_RETCODE_OK)
            CONNECTOR_LOG_ERROR(ctx, QUELT_LOG_ANY_s, "finalize_instance");
    }
    lua_pushnil(L);
    return 1;
}

// ---- scripts and context values: pass-throughs to the engine ----

} // extern "C"

namespace {

// The pass-throughs reach the engine through the connector's first member; a null connector is
// refused with one line instead of being dereferenced.
bool haveConnector(const QueltDDSConnector *self, const char *ctx)
{
    if (self && self->base)
        return true;
    CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s, "connector is null");
    return false;
}

// *copy = a copy of text (null stays null). False when the copy fails.
bool copyText(char **copy, const char *text)
{
    *copy = text ? DDS_String_dup(text) : nullptr;
    return !text || *copy;
}

} // namespace

extern "C" {

int QueltDDSConnector_setFunctionIntoContext(QueltDDSConnector *self, const char *name, QueltDDSConnector_LuaFunction function)
{
    if (!haveConnector(self, "QueltDDSConnector_setFunctionIntoContext"))
        return 0;
    return QueltLuaConnector_setFunctionIntoContext(self->base, name, function);
}

int QueltDDSConnector_setNumberIntoContext(QueltDDSConnector *self, const char *name, double value)
{
    if (!haveConnector(self, "QueltDDSConnector_setNumberIntoContext"))
        return 0;
    return QueltLuaConnector_setNumberIntoContext(self->base, name, value);
}

int QueltDDSConnector_setStringIntoContext(QueltDDSConnector *self, const char *name, const char *value)
{
    if (!haveConnector(self, "QueltDDSConnector_setStringIntoContext"))
        return 0;
    return QueltLuaConnector_setStringIntoContext(self->base, name, value);
}

int QueltDDSConnector_setBooleanIntoContext(QueltDDSConnector *self, const char *name, int value)
{
    if (!haveConnector(self, "QueltDDSConnector_setBooleanIntoContext"))
        return 0;
    return QueltLuaConnector_setBooleanIntoContext(self->base, name, static_cast<uint8_t>(value != 0));
}

int QueltDDSConnector_getNumberFromContext(QueltDDSConnector *self, const char *name, double *value)
{
    if (!haveConnector(self, "QueltDDSConnector_getNumberFromContext"))
        return 0;
    return QueltLuaConnector_getNumberFromContext(self->base, name, value);
}

int QueltDDSConnector_getStringFromContext(QueltDDSConnector *self, const char *name, const char **value)
{
    if (!haveConnector(self, "QueltDDSConnector_getStringFromContext"))
        return 0;
    return QueltLuaConnector_getStringFromContext(self->base, name, value);
}

int QueltDDSConnector_getBooleanFromContext(QueltDDSConnector *self, const char *name, unsigned char *value)
{
    if (!haveConnector(self, "QueltDDSConnector_getBooleanFromContext"))
        return 0;
    return QueltLuaConnector_getBooleanFromContext(self->base, name, value);
}

void QueltDDSConnector_assertCode(QueltDDSConnector *self, const char *script, const char *fileName, int period)
{
    static const char *const ctx = "QueltDDSConnector_assertCode";
    if (!haveConnector(self, ctx))
        return;
    // The engine borrows the texts; the connector keeps its own copies so that a binding may
    // pass temporaries. The old copies go only after the engine has compared them with the new.
    char *scriptCopy = nullptr, *fileNameCopy = nullptr;
    if (!copyText(&scriptCopy, script) || !copyText(&fileNameCopy, fileName)) {
        DDS_String_free(scriptCopy);
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_NEW_FAILURE_s, "script copy");
        return;
    }
    int loadOnce = 1;
    if (period >= 0) {
        QueltLuaContainer &record = self->base->engine->container;
        record.checkPeriodSec = period;
        record.checkPeriodNanosec = 0;
        loadOnce = 0;
    }
    QueltLuaConnector_assertCode(self->base, scriptCopy, fileNameCopy, loadOnce);
    DDS_String_free(self->script);
    DDS_String_free(self->scriptFileName);
    self->script = scriptCopy;
    self->scriptFileName = fileNameCopy;
}

int QueltDDSConnector_execute(QueltDDSConnector *self)
{
    if (!haveConnector(self, "QueltDDSConnector_execute"))
        return -1;
    return QueltLuaConnector_execute(self->base);
}

// ---- timing and waiting ----

int QueltDDSConnector_time_ms(lua_State *L)
{
    static const char *const ctx = "QueltDDSConnector_time_ms";
    QueltDDSConnector *self = connectorOfState(L, ctx);
    if (!self) {
        lua_pushnil(L);
        return 1;
    }
    DDS_Time_t now = {0, 0};
    if (DDS_DomainParticipant_get_current_time(self->participant, &now) != DDS_RETCODE_OK) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_ANY_ss, "get_current_time", "failed");
        lua_pushnil(L);
        QueltLuaCommon_stackDump(L);
        return 1;
    }
    const double ms = static_cast<double>(now.sec) * 1000.0 + static_cast<double>(now.nanosec) * 0.000001;
    lua_pushnumber(L, std::trunc(ms));
    return 1;
}

DDS_ReturnCode_t QueltDDSConnector_wait_duration(QueltDDSConnector *self, const DDS_Duration_t *duration)
{
    if (!self) {
        CONNECTOR_LOG_ERROR("QueltDDSConnector_wait_duration", LUABINDING_LOG_PRECONDITION_FAILURE_s, "connector is null");
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    }
    DDS_ConditionSeq active = DDS_SEQUENCE_INITIALIZER;
    DDS_ConditionSeq_initialize(&active);
    const DDS_ReturnCode_t rc = DDS_WaitSet_wait(self->waitset, &active, duration);
    DDS_ConditionSeq_finalize(&active);
    return rc;
}

DDS_ReturnCode_t QueltDDSConnector_wait(QueltDDSConnector *self, int milliseconds)
{
    const DDS_Duration_t duration = QueltDDSConnector_durationFromMillisecondsI(milliseconds);
    return QueltDDSConnector_wait_duration(self, &duration);
}

// -1 is infinite; other negative counts are taken as zero rather than wrapping the nanoseconds.
DDS_Duration_t QueltDDSConnector_durationFromMillisecondsI(int milliseconds)
{
    if (milliseconds == -1)
        return DDS_DURATION_INFINITE;
    if (milliseconds < 0)
        return DDS_DURATION_ZERO;
    return DDS_Duration_t{milliseconds / 1000, static_cast<DDS_UnsignedLong>(milliseconds % 1000) * 1000000u};
}

} // extern "C"

namespace {

// The number on top of the stack truncated toward zero to milliseconds; false when the top is
// not a number (numeric strings count as numbers, as in Lua).
bool millisecondsOnTop(lua_State *L, int &milliseconds)
{
    if (lua_gettop(L) < 1 || !lua_isnumber(L, -1))
        return false;
    milliseconds = quelt::lua::truncateToInt(lua_tonumberx(L, -1, nullptr));
    return true;
}

} // namespace

extern "C" {

int QueltDDSConnector_wait_L(lua_State *L)
{
    static const char *const ctx = "QueltDDSConnector_wait_L";
    int milliseconds = 0;
    if (!millisecondsOnTop(L, milliseconds)) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_NUMBER_EXPECTED_ON_TOP);
        lua_pushnil(L);
        QueltLuaCommon_stackDump(L);
        return 1;
    }
    lua_pop(L, 1);
    QueltDDSConnector *self = connectorOfState(L, ctx);
    if (self && lua_gettop(L) >= 1 && !isOwnTableOrNotATable(L, 1, self)) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_GET_CONTAINER); // a table kept from a deleted connector
        self = nullptr;
    }
    if (!self) {
        lua_pushnil(L);
        return 1;
    }
    const DDS_ReturnCode_t rc = QueltDDSConnector_wait(self, milliseconds);
    if (rc == DDS_RETCODE_OK) {
        if (!QueltLuaCommon_pushTableOnTopFromMainTable(self->base->engine, "READER")) {
            CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_GET_TABEL, "READER");
            QueltLuaCommon_stackDump(L);
            lua_pushnil(L);
        }
        return 1;
    }
    if (rc != DDS_RETCODE_TIMEOUT)
        CONNECTOR_LOG_WARNING(ctx, LUABINDING_LOG_ANY_sd, "wait failed with code", static_cast<int>(rc));
    lua_pushnil(L);
    return 1;
}

int QueltDDSConnector_wait_for_period_L(lua_State *L)
{
    int milliseconds = 0;
    if (!millisecondsOnTop(L, milliseconds)) {
        CONNECTOR_LOG_ERROR("QueltDDSConnector_wait_for_period_L", LUABINDING_LOG_NUMBER_EXPECTED_ON_TOP);
        QueltLuaCommon_stackDump(L);
        if (lua_gettop(L) == 0)
            lua_pushnil(L); // no argument to hand back
        return 1;
    }
    const DDS_Duration_t duration = QueltDDSConnector_durationFromMillisecondsI(milliseconds);
    DDS_Utility_sleep(&duration);
    return 1; // the argument stays on the stack and is the result
}

} // extern "C"

// ---- Lua module ----

namespace {

const luaL_Reg QueltDDSConnector_ROOTLIB[] = {{"new_connector", QueltDDSConnector_load}, {nullptr, nullptr}};
const luaL_Reg QueltDDSConnector_LIB[] = {
    {"wait", QueltDDSConnector_wait_L}, {"wait_for_period_ms", QueltDDSConnector_wait_for_period_L}, {nullptr, nullptr}};

// Every failure of new_connector: the message is already logged; dump the stack, result nil.
int loadFailed(lua_State *L)
{
    QueltLuaCommon_stackDump(L);
    lua_pushnil(L);
    return 1;
}

} // namespace

extern "C" {

int luaopen_quelt_dds_connectorI(lua_State *L)
{
    // A connector whose table a script kept from its __gc still has middleware threads running in
    // this library when the interpreter closes the state and unloads its modules: the library
    // stays mapped for the life of the process.
    Dl_info self;
    if (dladdr(reinterpret_cast<void *>(&luaopen_quelt_dds_connectorI), &self) && self.dli_fname)
        dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    lua_createtable(L, 0, 0);                     /* push the module table */
    luaL_setfuncs(L, QueltDDSConnector_ROOTLIB, 0); /* module.new_connector */
    return 1;
}

int luaopen_quelt_dds_connector(lua_State *L) { return luaopen_quelt_dds_connectorI(L); }

int luaopen_quelt_dds_connectord(lua_State *L) { return luaopen_quelt_dds_connectorI(L); }

int QueltDDSConnector_load(lua_State *L)
{
    static const char *const ctx = "QueltDDSConnector_load";
    if (!lua_isstring(L, -1)) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_STRING_EXPECTED_ON_TOP);
        return loadFailed(L);
    }
    if (lua_gettop(L) < 2 || !lua_isstring(L, -2)) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_STRING_EXPECTED_AT_d, -2);
        return loadFailed(L);
    }
    // The Lua-callable functions of a connector (wait, time_ms, enableEventLog, the __gc) find it
    // through the state's one engine reference: a second live connector would take that reference
    // over, and the first table's functions would silently drive the second connector.
    if (QueltLuaCommon_getEngineReferenceFromRegistry(L)) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_PRECONDITION_FAILURE_s,
                            "this Lua state already has a connector (one per state)");
        return loadFailed(L);
    }
    // Both strings stay on the stack, and so alive, until the connector exists.
    const char *configFile = lua_tolstring(L, -1, nullptr);
    const char *configName = lua_tolstring(L, -2, nullptr);
    QueltDDSConnector *self = QueltDDSConnector_newI(nullptr, nullptr, configFile, configName, nullptr, L);
    if (!self) {
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_CREATE_CONTAINER_s, configName);
        lua_settop(L, 0); /* drop the arguments */
        return loadFailed(L);
    }
    lua_settop(L, 0); /* drop the arguments */
    if (!QueltLuaCommon_pushMainOnTop(self->base->engine)) { /* push the main table */
        CONNECTOR_LOG_ERROR(ctx, LUABINDING_LOG_GET_CONTAINER);
        // Nothing in Lua would ever delete it.
        QueltDDSConnector_delete(self);
        return loadFailed(L);
    }
    luaL_setfuncs(L, QueltDDSConnector_LIB, 0); /* main.wait, main.wait_for_period_ms */
    lua_createtable(L, 0, 1);                   /* push the metatable */
    lua_pushcfunction(L, QueltDDSConnector_deleteConnector);
    lua_setfield(L, -2, "__gc");  /* metatable.__gc = deleteConnector; pops it */
    lua_setmetatable(L, -2);      /* pop the metatable into the main table */
    return 1;
}

} // extern "C"
