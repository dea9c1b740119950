// XML types and participant configurations: the types alone, then the whole file planned as the
// configuration "EveryLib::Both" (what creating a connector reads before any entity exists).
#include "fuzz_support.h"
#include "xml_config.h"

#include <dds/dds_dynamicdata.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = [] {
        quelt::fuzz::quietLog();
        return "/tmp/quelt_fuzz_config_" + std::to_string(getpid()) + ".xml";
    }();
    const std::string xml = quelt::fuzz::text(data, size);
    DDS_TypeLibrary *lib = DDS_TypeLibrary_new();
    DDS_TypeLibrary_load_string(lib, xml.c_str(), "fuzz.xml");
    DDS_TypeLibrary_delete(lib);
    std::ofstream(path, std::ios::trunc | std::ios::binary) << xml;
    quelt::mw::ParticipantPlan plan;
    std::string err;
    quelt::mw::build_participant_plan({path}, "EveryLib::Both", plan, err);
    return 0;
}
