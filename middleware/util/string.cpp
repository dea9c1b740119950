// Heap strings. malloc/free rather than new/delete so that C callers and the Lua glue can treat
// them as ordinary C heap blocks.
#include "dds/dds_string.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {

char *DDS_String_alloc(size_t length)
{
    if (length == SIZE_MAX) return nullptr;
    return static_cast<char *>(std::calloc(length + 1, 1));
}

char *DDS_String_dup(const char *str)
{
    if (str == nullptr) return nullptr;
    size_t len = std::strlen(str);
    char *copy = static_cast<char *>(std::malloc(len + 1));
    if (copy != nullptr) std::memcpy(copy, str, len + 1);
    return copy;
}

void DDS_String_free(char *str)
{
    std::free(str);
}

DDS_Wchar *DDS_Wstring_alloc(DDS_UnsignedLong length)
{
    return static_cast<DDS_Wchar *>(std::calloc(static_cast<size_t>(length) + 1, sizeof(DDS_Wchar)));
}

DDS_UnsignedLong DDS_Wstring_length(const DDS_Wchar *str)
{
    if (str == nullptr) return 0;
    DDS_UnsignedLong n = 0;
    while (str[n] != 0) ++n;
    return n;
}

DDS_Wchar *DDS_Wstring_dup(const DDS_Wchar *str)
{
    if (str == nullptr) return nullptr;
    size_t units = static_cast<size_t>(DDS_Wstring_length(str)) + 1;
    auto *copy = static_cast<DDS_Wchar *>(std::malloc(units * sizeof(DDS_Wchar)));
    if (copy != nullptr) std::memcpy(copy, str, units * sizeof(DDS_Wchar));
    return copy;
}

void DDS_Wstring_free(DDS_Wchar *str)
{
    std::free(str);
}

}  // extern "C"
