// A received buffer decoded into one of several types (and, when it decodes, encoded again). The
// first byte picks the type, the rest is the payload from its encapsulation header on:
//   0 Every::All final (XCDR1), 1 and 2 Every::All with its structs appendable or mutable and
//   its union appendable (XCDR2, and XCDR1 parameter lists for mutable), 3 Ext::App (sequences of
//   appendable structs), 4 Ext::Mut (mutable, optional members, ids out of declaration order),
//   5 Bigs (a sequence of appendable structs of 256 KB each: empty frames must not cost that).
// scripts/fuzz caps single allocations for this target, so a payload that makes the decoder
// allocate far more than its size shows as a crash.
#include "fuzz_support.h"

#include <dds/dds_dynamicdata.h>

#include <vector>

namespace {

std::string withExtensibility(std::string xml, const char *kind)
{
    for (const char *st : {"<struct name=\"Point\"", "<struct name=\"All\""})
        xml = quelt::fuzz::replaceAll(xml, st, std::string(st) + " extensibility=\"" + kind + "\"");
    return quelt::fuzz::replaceAll(xml, "<union name=\"Choice\"", "<union name=\"Choice\" extensibility=\"appendable\"");
}

const DDS_TypeCode *load(const std::string &xml, const char *type)
{
    static auto *kept = new std::vector<DDS_TypeLibrary *>; // reachable for the process's life, never destroyed
    DDS_TypeLibrary *lib = kept->emplace_back(DDS_TypeLibrary_new());
    if (DDS_TypeLibrary_load_string(lib, xml.c_str(), "fuzz.xml") != DDS_RETCODE_OK)
        std::abort();
    const DDS_TypeCode *t = DDS_TypeLibrary_find(lib, type);
    if (!t)
        std::abort();
    return t;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::vector<const DDS_TypeCode *> types = [] {
        quelt::fuzz::quietLog();
        const std::string every = quelt::fuzz::readData("every_kind.xml"), ext = quelt::fuzz::readData("extensible.xml");
        return std::vector<const DDS_TypeCode *>{load(every, "Every::All"), load(withExtensibility(every, "appendable"), "Every::All"),
                                                 load(withExtensibility(every, "mutable"), "Every::All"), load(ext, "Ext::App"),
                                                 load(ext, "Ext::Mut"), load(quelt::fuzz::readData("fuzz_bigs.xml"), "Bigs")};
    }();
    if (size < 1)
        return 0;
    const DDS_TypeCode *type = types[data[0] % types.size()];
    DDS_DynamicData *sample = DDS_DynamicData_new(type, &DDS_DYNAMIC_DATA_PROPERTY_DEFAULT);
    if (DDS_DynamicData_from_cdr_buffer(sample, data + 1, static_cast<DDS_UnsignedLong>(size - 1)) == DDS_RETCODE_OK) {
        DDS_UnsignedLong length = DDS_DynamicData_get_serialized_size(sample);
        std::vector<unsigned char> out(length);
        DDS_DynamicData_to_cdr_buffer(sample, out.data(), &length);
    }
    DDS_DynamicData_delete(sample);
    return 0;
}
