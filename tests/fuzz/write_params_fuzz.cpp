// The write-parameters JSON parser.
#include "DDSConnectorWriterParamJsonHelper.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = (quelt::fuzz::quietLog(), true);
    (void)quiet;
    const std::string json = quelt::fuzz::text(data, size);
    DDS_WriteParams_t params;
    DDS_WriteParams_t_initialize(&params);
    DDSConnectorWriterParamJsonHelper_parse_json(&params, json.c_str());
    return 0;
}
