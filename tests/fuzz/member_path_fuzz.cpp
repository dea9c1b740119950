// Member names for set and get: the first byte chooses the operation, the rest is the name.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    QueltDDSConnector *c = quelt::fuzz::everyKindConnector();
    const std::string name = quelt::fuzz::text(data + 1, size - 1);
    const char *n = name.c_str();
    switch (data[0] % 8) {
    case 0: QueltDDSConnector_setNumberIntoSamples(c, "Pub::W", n, 3); break;
    case 1: QueltDDSConnector_setStringIntoSamples(c, "Pub::W", n, "7"); break;
    case 2: QueltDDSConnector_setBooleanIntoSamples(c, "Pub::W", n, 1); break;
    case 3: QueltDDSConnector_getNumberFromSamples(c, "Sub::R", 1, n); break;
    case 4: QueltDDSConnector_freeString(QueltDDSConnector_getStringFromSamples(c, "Sub::R", 1, n)); break;
    case 5: QueltDDSConnector_getBooleanFromSamples(c, "Sub::R", 1, n); break;
    case 6: QueltDDSConnector_freeString(QueltDDSConnector_getStringFromInfos(c, "Sub::R", 1, n)); break;
    case 7: QueltDDSConnector_clear(c, "Pub::W"); QueltDDSConnector_setStringIntoSamples(c, "Pub::W", n, "x"); break;
    }
    return 0;
}
