// The DDS operations behind the container record's slots. Nothing here logs: the return codes go
// back to the gateways unchanged.
#include "DDSConnectionPlugin.h"

namespace {

// Every sample state but bit 30.
constexpr DDS_SampleStateMask kSampleStates = 0xBFFFFFFFu;

// Used as name in the record; the engine duplicates it, so a constant is enough.
char g_containerName[] = "CONTAINER";

} // namespace

extern "C" {

void QueltLuaDDSConnectionPlugin_init(QueltLuaContainer *container) {
    if (container == nullptr) {
        return;
    }
    container->getInputLength = QueltLuaDDSConnectionPlugin_getInputLength;
    container->getSample = QueltLuaDDSConnectionPlugin_getSample;
    container->getSampleInfo = QueltLuaDDSConnectionPlugin_getSampleInfo;
    container->write = QueltLuaDDSConnectionPlugin_write;
    container->write_w_params = QueltLuaDDSConnectionPlugin_write_w_params;
    container->unregister = QueltLuaDDSConnectionPlugin_unregister;
    container->dispose = QueltLuaDDSConnectionPlugin_dispose;
    container->take = QueltLuaDDSConnectionPlugin_take;
    container->read = QueltLuaDDSConnectionPlugin_read;
    container->return_loan = QueltLuaDDSConnectionPlugin_return_loan;
    container->get_key_value = QueltLuaDDSConnectionPlugin_get_key_value;
    container->name = g_containerName;
    container->checkPeriodSec = 3;
    container->checkPeriodNanosec = 0;
}

int QueltLuaDDSConnectionPlugin_getInputLength(DDS_DynamicDataSeq *sequence) {
    return DDS_DynamicDataSeq_get_length(sequence);
}

DDS_DynamicData *QueltLuaDDSConnectionPlugin_getSample(DDS_DynamicDataSeq *sequence, int index) {
    return DDS_DynamicDataSeq_get_reference(sequence, index);
}

DDS_SampleInfo *QueltLuaDDSConnectionPlugin_getSampleInfo(DDS_SampleInfoSeq *sequence, int index) {
    return DDS_SampleInfoSeq_get_reference(sequence, index);
}

DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_write(DDS_DynamicDataWriter *writer, DDS_DynamicData *sample) {
    return DDS_DynamicDataWriter_write(writer, sample, &DDS_HANDLE_NIL);
}

DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_write_w_params(DDS_DynamicDataWriter *writer, DDS_DynamicData *sample,
                                                            DDS_WriteParams_t *params) {
    return DDS_DynamicDataWriter_write_w_params(writer, sample, params);
}

DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_unregister(DDS_DynamicDataWriter *writer, DDS_DynamicData *sample) {
    return DDS_DynamicDataWriter_unregister_instance(writer, sample, &DDS_HANDLE_NIL);
}

DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_dispose(DDS_DynamicDataWriter *writer, DDS_DynamicData *sample) {
    return DDS_DynamicDataWriter_dispose(writer, sample, &DDS_HANDLE_NIL);
}

DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_take(DDS_DynamicDataReader *reader, int maxSamples,
                                                  DDS_DynamicDataSeq *dataSequence, DDS_SampleInfoSeq *infoSequence) {
    // At most one loan per reader: give the previous one back first.
    const DDS_ReturnCode_t rc = DDS_DynamicDataReader_return_loan(reader, dataSequence, infoSequence);
    if (rc != DDS_RETCODE_OK) {
        return rc;
    }
    return DDS_DynamicDataReader_take(reader, dataSequence, infoSequence, maxSamples, kSampleStates,
                                      DDS_ANY_VIEW_STATE, DDS_ANY_INSTANCE_STATE);
}

DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_read(DDS_DynamicDataReader *reader, int maxSamples,
                                                  DDS_DynamicDataSeq *dataSequence, DDS_SampleInfoSeq *infoSequence) {
    const DDS_ReturnCode_t rc = DDS_DynamicDataReader_return_loan(reader, dataSequence, infoSequence);
    if (rc != DDS_RETCODE_OK) {
        return rc;
    }
    return DDS_DynamicDataReader_read(reader, dataSequence, infoSequence, maxSamples, kSampleStates,
                                      DDS_ANY_VIEW_STATE, DDS_ANY_INSTANCE_STATE);
}

DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_return_loan(DDS_DynamicDataReader *reader,
                                                         DDS_DynamicDataSeq *dataSequence,
                                                         DDS_SampleInfoSeq *infoSequence) {
    return DDS_DynamicDataReader_return_loan(reader, dataSequence, infoSequence);
}

DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_get_key_value(DDS_DynamicDataReader *reader, DDS_DynamicData *keyHolder,
                                                           DDS_SampleInfo *info) {
    return DDS_DynamicDataReader_get_key_value(reader, keyHolder, &info->instance_handle);
}

void QueltLuaDDSConnectionPlugin_on_data_available(void *listenerData, DDS_DataReader *reader) {
    (void)listenerData, (void)reader;
}

} // extern "C"
