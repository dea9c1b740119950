// UTF-8 <-> UTF-16 conversion for wide strings and wide characters.
#include "dds/dds_util.h"

namespace {

// Decodes one code point at *p, advancing *p. Returns -1 for anything that is not well-formed
// UTF-8 (RFC 3629): the second-byte ranges below exclude overlongs, surrogates and > U+10FFFF.
int32_t decodeUtf8(const unsigned char **p)
{
    const unsigned char *s = *p;
    unsigned char b0 = s[0];
    if (b0 < 0x80) {
        *p = s + 1;
        return b0;
    }
    int extra;
    int32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        extra = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        extra = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;       // overlong below U+0800
        else if (b0 == 0xED) hi = 0x9F;  // U+D800..U+DFFF
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        extra = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;       // overlong below U+10000
        else if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return -1;  // continuation byte as lead, 0xC0/0xC1, 0xF5..0xFF
    }
    for (int i = 1; i <= extra; ++i) {
        unsigned char b = s[i];
        // The terminating NUL fails this test too, so truncated sequences never read past it.
        if (b < lo || b > hi) return -1;
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
    }
    *p = s + 1 + extra;
    return cp;
}

}  // namespace

extern "C" {

int QueltUtf8_toUtf16(const char *utf8, DDS_Wchar *out, int capacity)
{
    if (utf8 == nullptr) return QUELT_UTF_INVALID;
    if (capacity < 0) capacity = 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(utf8);
    long count = 0;
    // Validation continues past a full buffer so that malformed input is always reported as such.
    while (*p != 0) {
        int32_t cp = decodeUtf8(&p);
        if (cp < 0) return QUELT_UTF_INVALID;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            if (out != nullptr && count + 2 <= capacity) {
                out[count] = static_cast<DDS_Wchar>(0xD800 + (cp >> 10));
                out[count + 1] = static_cast<DDS_Wchar>(0xDC00 + (cp & 0x3FF));
            }
            count += 2;
        } else {
            if (out != nullptr && count + 1 <= capacity) out[count] = static_cast<DDS_Wchar>(cp);
            count += 1;
        }
        if (count > INT32_MAX - 2) return QUELT_UTF_TOO_SMALL;
    }
    if (out != nullptr) {
        if (count > capacity) return QUELT_UTF_TOO_SMALL;
        if (count < capacity) out[count] = 0;
    }
    return static_cast<int>(count);
}

int QueltUtf16_toUtf8(const DDS_Wchar *in, char *out, int capacity)
{
    if (in == nullptr) return QUELT_UTF_INVALID;
    if (capacity < 0) capacity = 0;
    long count = 0;
    for (const DDS_Wchar *p = in; *p != 0; ++p) {
        uint32_t cp = *p;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t low = p[1];
            if (low < 0xDC00 || low > 0xDFFF) return QUELT_UTF_INVALID;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            ++p;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return QUELT_UTF_INVALID;
        }
        unsigned char bytes[4];
        int n;
        if (cp < 0x80) {
            bytes[0] = static_cast<unsigned char>(cp);
            n = 1;
        } else if (cp < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            bytes[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 4;
        }
        if (out != nullptr && count + n <= capacity) {
            for (int i = 0; i < n; ++i) out[count + i] = static_cast<char>(bytes[i]);
        }
        count += n;
        if (count > INT32_MAX - 4) return QUELT_UTF_TOO_SMALL;
    }
    if (out != nullptr) {
        if (count > capacity) return QUELT_UTF_TOO_SMALL;
        if (count < capacity) out[count] = '\0';
    }
    return static_cast<int>(count);
}

}  // extern "C"
