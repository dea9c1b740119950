/* The DDS implementation of the container record's operation slots. The engine calls DDS only
 * through the record, so another record would drive it the same way. */
#ifndef QUELT_LUA_DDS_CONNECTION_PLUGIN_H
#define QUELT_LUA_DDS_CONNECTION_PLUGIN_H

#include "Container.h"
#include "dds/dds_domain.h"
#include "dds/dds_dynamicdata.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Fills slots 2..12, name = "CONTAINER" (not owned), checkPeriod = 3 s; leaves fileTimestamp and
 * userData untouched. */
void QueltLuaDDSConnectionPlugin_init(QueltLuaContainer *container);

int QueltLuaDDSConnectionPlugin_getInputLength(DDS_DynamicDataSeq *sequence);
DDS_DynamicData *QueltLuaDDSConnectionPlugin_getSample(DDS_DynamicDataSeq *sequence, int index);
DDS_SampleInfo *QueltLuaDDSConnectionPlugin_getSampleInfo(DDS_SampleInfoSeq *sequence, int index);
DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_write(DDS_DynamicDataWriter *writer, DDS_DynamicData *sample);
DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_write_w_params(DDS_DynamicDataWriter *writer, DDS_DynamicData *sample,
                                                            DDS_WriteParams_t *params);
DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_unregister(DDS_DynamicDataWriter *writer, DDS_DynamicData *sample);
DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_dispose(DDS_DynamicDataWriter *writer, DDS_DynamicData *sample);
/* Both return the reader's previous loan first; a failure of that is returned at once. */
DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_take(DDS_DynamicDataReader *reader, int maxSamples,
                                                  DDS_DynamicDataSeq *dataSequence, DDS_SampleInfoSeq *infoSequence);
DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_read(DDS_DynamicDataReader *reader, int maxSamples,
                                                  DDS_DynamicDataSeq *dataSequence, DDS_SampleInfoSeq *infoSequence);
DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_return_loan(DDS_DynamicDataReader *reader,
                                                         DDS_DynamicDataSeq *dataSequence,
                                                         DDS_SampleInfoSeq *infoSequence);
DDS_ReturnCode_t QueltLuaDDSConnectionPlugin_get_key_value(DDS_DynamicDataReader *reader, DDS_DynamicData *keyHolder,
                                                           DDS_SampleInfo *info);
/* Shaped like a data-available callback; does nothing. */
void QueltLuaDDSConnectionPlugin_on_data_available(void *listenerData, DDS_DataReader *reader);

#ifdef __cplusplus
}
#endif

#endif
