// Writing: samples checked against the writer's type, handed to the engine, and every refusal
// logged with the writer's full name.
#include "domain/entities.h"

#include "dds/dds_log.h"

using namespace quelt::mw;

extern "C" {

void DDS_WriteParams_t_initialize(DDS_WriteParams_t *params)
{
    if (!params)
        return;
    *params = DDS_WriteParams_t{};
    params->identity.sequence_number = DDS_AUTO_SEQUENCE_NUMBER;
    params->related_sample_identity.sequence_number = DDS_AUTO_SEQUENCE_NUMBER;
    params->source_timestamp = DDS_Time_t{-1, 0};
}

DDS_DynamicDataWriter *DDS_DynamicDataWriter_narrow(DDS_DataWriter *writer) { return writer && writer->engine ? writer : nullptr; }

static DDS_ReturnCode_t check_sample(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample)
{
    if (!self || !self->engine || !sample || !sample->p)
        return DDS_RETCODE_BAD_PARAMETER;
    // The sample must be of the writer's type (the same type code, or one of equal structure).
    const DDS_TypeCode *t = resolve(self->topic->plan->type);
    if (sample->type != t && (sample->type->name != t->name || sample->type->size != t->size))
        return DDS_RETCODE_BAD_PARAMETER;
    return DDS_RETCODE_OK;
}

// A sample the engine refused is lost (a keep-all history still full after max_blocking_time, a
// resource limit, a deleted entity; Fast DDS 2.9 also refuses now and then with an unbounded
// history). That is never silent: one line with the writer's full name and the return code,
// whoever called (the exported functions, a script, a program on this API).
static DDS_ReturnCode_t logged(const char *ctx, DDS_DynamicDataWriter *self, DDS_ReturnCode_t r)
{
    if (r != DDS_RETCODE_OK) {
        const char *pub = self && self->publisher && !self->publisher->name.empty() ? self->publisher->name.c_str() : "NO_NAME_SET";
        const char *name = self && !self->name.empty() ? self->name.c_str() : "NO_NAME_SET";
        QueltLog_error(ctx, "writer '%s::%s' did not send the sample: return code %d (%s)", pub, name, static_cast<int>(r),
                       retcode_name(r));
    }
    return r;
}

DDS_ReturnCode_t DDS_DynamicDataWriter_write(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample, const DDS_InstanceHandle_t *handle)
{
    static const char *ctx = "DDS_DynamicDataWriter_write";
    DDS_ReturnCode_t r = check_sample(self, sample);
    if (r != DDS_RETCODE_OK)
        return logged(ctx, self, r);
    try {
        return logged(ctx, self, self->engine->write(sample, handle));
    } catch (...) {
        return logged(ctx, self, DDS_RETCODE_ERROR);
    }
}

DDS_ReturnCode_t DDS_DynamicDataWriter_write_w_params(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample, DDS_WriteParams_t *params)
{
    static const char *ctx = "DDS_DynamicDataWriter_write_w_params";
    DDS_ReturnCode_t r = check_sample(self, sample);
    if (r != DDS_RETCODE_OK || !params)
        return logged(ctx, self, r != DDS_RETCODE_OK ? r : DDS_RETCODE_BAD_PARAMETER);
    try {
        return logged(ctx, self, self->engine->write_w_params(sample, *params));
    } catch (...) {
        return logged(ctx, self, DDS_RETCODE_ERROR);
    }
}

DDS_ReturnCode_t DDS_DynamicDataWriter_dispose(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample, const DDS_InstanceHandle_t *handle)
{
    static const char *ctx = "DDS_DynamicDataWriter_dispose";
    DDS_ReturnCode_t r = check_sample(self, sample);
    if (r != DDS_RETCODE_OK)
        return logged(ctx, self, r);
    try {
        return logged(ctx, self, self->engine->dispose(sample, handle));
    } catch (...) {
        return logged(ctx, self, DDS_RETCODE_ERROR);
    }
}

DDS_ReturnCode_t DDS_DynamicDataWriter_unregister_instance(DDS_DynamicDataWriter *self, const DDS_DynamicData *sample,
                                                           const DDS_InstanceHandle_t *handle)
{
    static const char *ctx = "DDS_DynamicDataWriter_unregister_instance";
    DDS_ReturnCode_t r = check_sample(self, sample);
    if (r != DDS_RETCODE_OK)
        return logged(ctx, self, r);
    try {
        return logged(ctx, self, self->engine->unregister_instance(sample, handle));
    } catch (...) {
        return logged(ctx, self, DDS_RETCODE_ERROR);
    }
}

} // extern "C"
