// Shared set-up of the fuzz targets: log lines composed but not printed, and one connector of the
// every-kind configuration (domain 148) whose reader holds one taken sample.
#pragma once

#include "quelt_dds_connector.h"

#include <dds/dds_log.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

namespace quelt::fuzz {

inline void quietLog()
{
    QueltLog_setSink([](const char *, void *) {}, nullptr);
}

inline std::string readData(const char *name)
{
    std::ifstream in(std::string(QUELT_TEST_DATA) + "/" + name);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string replaceAll(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The input as a NUL-terminated text (an embedded NUL ends it early, as it would for a C caller).
inline std::string text(const uint8_t *data, size_t size) { return std::string(reinterpret_cast<const char *>(data), size); }

inline QueltDDSConnector *everyKindConnector()
{
    static QueltDDSConnector *c = [] {
        quietLog();
        const std::string xml = replaceAll(readData("every_kind.xml"), "domain_id=\"0\"", "domain_id=\"148\"");
        const std::string path = "/tmp/quelt_fuzz_every_kind_" + std::to_string(getpid()) + ".xml";
        std::ofstream(path) << xml;
        QueltDDSConnector *made = QueltDDSConnector_new("EveryLib::Both", path.c_str(), nullptr);
        unlink(path.c_str());
        if (!made)
            std::abort();
        QueltDDSConnector_setNumberIntoSamples(made, "Pub::W", "id", 1);
        QueltDDSConnector_write(made, "Pub::W", nullptr);
        for (int i = 0; i < 50 && QueltDDSConnector_getSamplesLength(made, "Sub::R") < 1; ++i) {
            QueltDDSConnector_wait(made, 100);
            QueltDDSConnector_take(made, "Sub::R");
        }
        return made;
    }();
    return c;
}

} // namespace quelt::fuzz
