// JSON into the writer's every-kind instance, then the instance printed back as JSON.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QueltDDSConnector *c = quelt::fuzz::everyKindConnector();
    const std::string json = quelt::fuzz::text(data, size);
    QueltDDSConnector_clear(c, "Pub::W");
    QueltDDSConnector_setJSONInstance(c, "Pub::W", json.c_str());
    QueltDDSConnector_freeString(QueltDDSConnector_getJSONInstance(c, "Pub::W"));
    return 0;
}
