// A received buffer decoded into the every-kind type (and, when it decodes, encoded again).
#include "fuzz_support.h"

#include <dds/dds_dynamicdata.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static DDS_TypeLibrary *lib = [] {
        quelt::fuzz::quietLog();
        DDS_TypeLibrary *made = DDS_TypeLibrary_new();
        if (DDS_TypeLibrary_load_string(made, quelt::fuzz::everyKindXml().c_str(), "every_kind.xml") != DDS_RETCODE_OK)
            std::abort();
        return made;
    }();
    static const DDS_TypeCode *type = DDS_TypeLibrary_find(lib, "Every::All");
    DDS_DynamicData *sample = DDS_DynamicData_new(type, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
    if (DDS_DynamicData_from_cdr_buffer(sample, data, static_cast<DDS_UnsignedLong>(size)) == DDS_RETCODE_OK) {
        DDS_UnsignedLong length = DDS_DynamicData_get_serialized_size(sample);
        std::vector<unsigned char> out(length);
        DDS_DynamicData_to_cdr_buffer(sample, out.data(), &length);
    }
    DDS_DynamicData_delete(sample);
    return 0;
}
