/* Heap strings of the DDS_* layer. Strings handed out by the middleware (and stored in owning
 * sequences) are released with DDS_String_free / DDS_Wstring_free. */
#ifndef QUELT_DDS_STRING_H
#define QUELT_DDS_STRING_H

#include "dds/dds_types.h"

DDS_BEGIN_DECLS

/* Room for length characters plus the NUL, all zero. Null when out of memory. */
DDS_API char *DDS_String_alloc(size_t length);
/* Copy of str; null for a null str or when out of memory. */
DDS_API char *DDS_String_dup(const char *str);
/* Null is accepted. */
DDS_API void DDS_String_free(char *str);

/* Room for length UTF-16 units plus the NUL, all zero. Null when out of memory. */
DDS_API DDS_Wchar *DDS_Wstring_alloc(DDS_UnsignedLong length);
/* Copy of str; null for a null str or when out of memory. */
DDS_API DDS_Wchar *DDS_Wstring_dup(const DDS_Wchar *str);
/* Null is accepted. */
DDS_API void DDS_Wstring_free(DDS_Wchar *str);
/* Units before the terminating NUL; 0 for null. */
DDS_API DDS_UnsignedLong DDS_Wstring_length(const DDS_Wchar *str);

DDS_END_DECLS

#endif
