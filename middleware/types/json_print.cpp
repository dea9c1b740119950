// JSON text of DynamicData samples.
//
// The text is made to be read back into an equal sample by our JSON reader, which fixes the
// shape of every value:
//   struct            {"member":value,...}; unset optional members are left out
//   union             {"case":value}, or {} when no case is selected
//   sequence, array   [v,...]; multi-dimensional arrays flattened row-major, since the reader
//                     sets element i by member id i
//   integers, octet   JSON integers, exact at every width (the reader takes integer literals
//                     outside the signed 64-bit range exactly too)
//   enum              its integer value
//   boolean           true / false
//   char              a one-character string, "" for NUL; bytes 0x80-0xFF as \u0080-\u00FF
//                     (their Latin-1 reading), which the reader turns back into the byte
//   wchar             its decimal code as a string ("65"): the reader takes a wchar's text as
//                     the character's number
//   float, double     shortest text that round-trips (std::to_chars); -0 as "-0.0" so the sign
//                     survives readers that turn "-0" into integer 0; NaN and infinities as
//                     the strings "NaN", "Infinity", "-Infinity"
//   long double       rounded to the nearest double, printed like a double
//   string            escaped: quote, backslash and control characters (\u00XX); UTF-8 passes
//                     through unchanged so the reader gets the same bytes; a byte that is not
//                     part of valid UTF-8 becomes \ufffd, so the text is always valid JSON
//   wstring           UTF-16 converted to UTF-8; unpaired surrogates become U+FFFD
// Compact by default: no blank at all ({"x":1,"s":[1,2]}). Pretty printing breaks lines between
// members and between elements that are themselves structured, indenting `indent` spaces per
// level; arrays of simple values stay on one line ([1, 2, 3]).
//
// Printing runs once per sample, so it writes straight into the caller's buffer and never
// allocates: when the buffer is too small the writer keeps counting, and the caller learns the
// size it needs from the same pass.
#include "types/dynamicdata_impl.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

using namespace quelt::mw;

namespace {

// Bounded output: fills buf up to size - 1 bytes (room for the NUL) and counts everything.
class Writer {
  public:
    Writer(char *buf, size_t size) : buf_(buf), size_(size), room_(size ? size - 1 : 0) {}

    void put(char c)
    {
        if (len_ < room_)
            buf_[len_] = c;
        ++len_;
    }
    void put(const char *s, size_t n)
    {
        if (len_ < room_)
            std::memcpy(buf_ + len_, s, n < room_ - len_ ? n : room_ - len_);
        len_ += n;
    }
    template <size_t N> void lit(const char (&s)[N]) { put(s, N - 1); }

    size_t length() const { return len_; }
    void terminate()
    {
        if (size_)
            buf_[len_ < room_ ? len_ : room_] = '\0';
    }

  private:
    char *buf_;
    size_t size_;
    size_t room_;
    size_t len_ = 0;
};

template <typename T> T load(const unsigned char *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// DDS_LongDouble holds an IEEE 754 binary128 value (XTypes float128), little endian, whatever
// the host's long double is. JSON numbers are doubles for every reader we care about, so we round
// to the nearest double here.
double binary128_to_double(const unsigned char *b)
{
    uint64_t lo = 0, hi = 0;
    for (int i = 7; i >= 0; --i) {
        lo = (lo << 8) | b[i];
        hi = (hi << 8) | b[8 + i];
    }
    const bool neg = (hi >> 63) != 0;
    const int exp = static_cast<int>((hi >> 48) & 0x7fff);
    const uint64_t mhi = hi & 0xffffffffffffull; // top 48 of the 112 fraction bits
    if (exp == 0x7fff) {
        if (mhi | lo)
            return std::numeric_limits<double>::quiet_NaN();
        return neg ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    }
    if (exp == 0) // zero or a subnormal far below the smallest double
        return neg ? -0.0 : 0.0;
    // 53-bit significand: the implicit 1, 48 bits of mhi, 4 of lo; the other 60 bits round
    // half to even. A carry to 2^53 is still exact as a double.
    uint64_t sig = (1ull << 52) | (mhi << 4) | (lo >> 60);
    const uint64_t rest = lo & ((1ull << 60) - 1), half = 1ull << 59;
    if (rest > half || (rest == half && (sig & 1)))
        ++sig;
    const double v = std::ldexp(static_cast<double>(sig), exp - 16383 - 52);
    return neg ? -v : v;
}

bool is_structured(DDS_TCKind k)
{
    return k == DDS_TK_STRUCT || k == DDS_TK_UNION || k == DDS_TK_SEQUENCE || k == DDS_TK_ARRAY;
}

// Bytes a JSON string cannot hold verbatim (control characters, quote, backslash), and bytes
// that start a multi-byte sequence, which must be checked before they pass through.
struct EscapeTable {
    bool esc[256];
    constexpr EscapeTable() : esc{}
    {
        for (int c = 0; c < 0x20; ++c)
            esc[c] = true;
        esc[static_cast<unsigned char>('"')] = true;
        esc[static_cast<unsigned char>('\\')] = true;
        for (int c = 0x80; c < 0x100; ++c)
            esc[c] = true;
    }
};
constexpr EscapeTable kEscape;

// Length of the valid UTF-8 sequence at s[0..n), or 0 (overlong forms, surrogates and code
// points past U+10FFFF are invalid).
size_t utf8_sequence(const unsigned char *s, size_t n)
{
    const unsigned char c = s[0];
    size_t len;
    unsigned lo = 0x80, hi = 0xBF; // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (n < len || s[1] < lo || s[1] > hi)
        return 0;
    for (size_t k = 2; k < len; ++k)
        if ((s[k] & 0xC0) != 0x80)
            return 0;
    return len;
}

class Printer {
  public:
    Printer(Writer &w, bool pretty, int indent) : w_(w), pretty_(pretty), indent_(indent) {}

    void value(const DDS_TypeCode *t, const unsigned char *p)
    {
        switch (t->kind) {
        case DDS_TK_SHORT: integer(load<int16_t>(p)); break;
        case DDS_TK_LONG:
        case DDS_TK_ENUM: integer(load<int32_t>(p)); break;
        case DDS_TK_USHORT: integer(load<uint16_t>(p)); break;
        case DDS_TK_ULONG: integer(load<uint32_t>(p)); break;
        case DDS_TK_OCTET: integer(*p); break;
        case DDS_TK_LONGLONG: integer(load<int64_t>(p)); break;
        case DDS_TK_ULONGLONG: integer(load<uint64_t>(p)); break;
        case DDS_TK_BOOLEAN:
            if (*p)
                w_.lit("true");
            else
                w_.lit("false");
            break;
        case DDS_TK_CHAR:
            if (*p >= 0x80) {
                w_.put('"');
                escape(*p);
                w_.put('"');
            } else {
                const char c = static_cast<char>(*p);
                string(&c, c ? 1 : 0);
            }
            break;
        case DDS_TK_WCHAR:
            w_.put('"');
            integer(load<uint16_t>(p));
            w_.put('"');
            break;
        case DDS_TK_FLOAT: floating(load<float>(p)); break;
        case DDS_TK_DOUBLE: floating(load<double>(p)); break;
        case DDS_TK_LONGDOUBLE: floating(binary128_to_double(p)); break;
        case DDS_TK_STRING: {
            const auto *b = reinterpret_cast<const BufRep *>(p);
            string(str_cstr(b), b->data ? b->len : 0);
            break;
        }
        case DDS_TK_WSTRING: {
            const auto *b = reinterpret_cast<const BufRep *>(p);
            wstring(static_cast<const char16_t *>(b->data), b->data ? b->len : 0);
            break;
        }
        case DDS_TK_STRUCT: structure(t, p); break;
        case DDS_TK_UNION: union_value(t, p); break;
        case DDS_TK_SEQUENCE: {
            const auto *b = reinterpret_cast<const BufRep *>(p);
            elements(t->rcontent, static_cast<const unsigned char *>(b->data), b->data ? b->len : 0);
            break;
        }
        case DDS_TK_ARRAY: elements(t->rcontent, p, t->element_count); break;
        default:
            // Finished types hold none of the other kinds; say so rather than print nothing.
            w_.lit("null");
            break;
        }
    }

  private:
    template <typename T> void integer(T v)
    {
        char tmp[24];
        const auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
        w_.put(tmp, static_cast<size_t>(r.ptr - tmp));
    }

    template <typename T> void floating(T v)
    {
        if (std::isnan(v)) {
            w_.lit("\"NaN\"");
        } else if (std::isinf(v)) {
            if (v < 0)
                w_.lit("\"-Infinity\"");
            else
                w_.lit("\"Infinity\"");
        } else if (v == 0 && std::signbit(v)) {
            w_.lit("-0.0");
        } else {
            char tmp[32];
            size_t n = short_decimal(v, tmp);
            if (n == 0)
                n = static_cast<size_t>(std::to_chars(tmp, tmp + sizeof tmp, v).ptr - tmp);
            w_.put(tmp, n);
        }
    }

    // The common values (a few decimals, like 23.5 or 1013.25) without the general shortest
    // conversion, which costs several times more. m / 10^k is the value that a reader's strtod
    // gives (one correctly rounded division), so the smallest such k gives the fewest digits,
    // written in the fixed form to_chars would choose for them. 0 when v is not such a value.
    template <typename T> static size_t short_decimal(T v, char *out)
    {
        static const double pow10[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
        const double d = static_cast<double>(v);
        const double a = d < 0 ? -d : d;
        if (!(a >= 1e-2 && a < 1e15))
            return 0;
        for (int k = 0; k < 9; ++k) {
            const double scaled = a * pow10[k];
            if (scaled >= 9007199254740992.0) // 2^53: no longer an exact integer
                return 0;
            const auto m = static_cast<uint64_t>(scaled + 0.5);
            const double back = static_cast<double>(m) / pow10[k];
            if (static_cast<T>(back) != static_cast<T>(a))
                continue;
            // An integer with trailing zeros is shorter in exponent form: leave it to to_chars.
            if (k == 0 && m % 10 == 0)
                return 0;
            char digits[24];
            const auto r = std::to_chars(digits, digits + sizeof digits, m);
            const size_t len = static_cast<size_t>(r.ptr - digits);
            size_t n = 0;
            if (d < 0)
                out[n++] = '-';
            if (k == 0) {
                std::memcpy(out + n, digits, len);
                return n + len;
            }
            if (len > static_cast<size_t>(k)) {
                std::memcpy(out + n, digits, len - k);
                n += len - k;
                out[n++] = '.';
                std::memcpy(out + n, digits + len - k, k);
                return n + k;
            }
            // 0.0ddd: to_chars chooses this form while it is not longer than the exponent form.
            const size_t zeros = static_cast<size_t>(k) - len;
            if (zeros > (len > 1 ? 3u : 2u))
                return 0;
            out[n++] = '0';
            out[n++] = '.';
            std::memset(out + n, '0', zeros);
            n += zeros;
            std::memcpy(out + n, digits, len);
            return n + len;
        }
        return 0;
    }

    void escape(unsigned c)
    {
        static const char hex[] = "0123456789abcdef";
        if (c == '"' || c == '\\') {
            const char e[2] = {'\\', static_cast<char>(c)};
            w_.put(e, 2);
        } else {
            const char e[6] = {'\\', 'u', '0', '0', hex[(c >> 4) & 0xf], hex[c & 0xf]};
            w_.put(e, 6);
        }
    }

    void string(const char *s, size_t n)
    {
        w_.put('"');
        size_t run = 0;
        for (size_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (!kEscape.esc[c])
                continue;
            if (c >= 0x80) {
                const size_t len = utf8_sequence(reinterpret_cast<const unsigned char *>(s) + i, n - i);
                if (len) {
                    i += len - 1; // valid UTF-8 stays in the run
                    continue;
                }
                w_.put(s + run, i - run);
                w_.lit("\\ufffd");
                run = i + 1;
                continue;
            }
            w_.put(s + run, i - run);
            escape(c);
            run = i + 1;
        }
        w_.put(s + run, n - run);
        w_.put('"');
    }

    void wstring(const char16_t *s, size_t n)
    {
        w_.put('"');
        // Converted in small chunks so the writer sees few calls and nothing is allocated.
        char chunk[256];
        size_t k = 0;
        for (size_t i = 0; i < n; ++i) {
            if (k > sizeof chunk - 8) {
                w_.put(chunk, k);
                k = 0;
            }
            uint32_t cp = s[i];
            if (cp < 0x80) {
                if (kEscape.esc[cp]) {
                    w_.put(chunk, k);
                    k = 0;
                    escape(cp);
                } else {
                    chunk[k++] = static_cast<char>(cp);
                }
                continue;
            }
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(s[i + 1]) - 0xDC00);
                ++i;
            } else if (cp >= 0xD800 && cp <= 0xDFFF) {
                cp = 0xFFFD;
            }
            if (cp < 0x800) {
                chunk[k++] = static_cast<char>(0xC0 | (cp >> 6));
            } else if (cp < 0x10000) {
                chunk[k++] = static_cast<char>(0xE0 | (cp >> 12));
                chunk[k++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            } else {
                chunk[k++] = static_cast<char>(0xF0 | (cp >> 18));
                chunk[k++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                chunk[k++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            }
            chunk[k++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
        w_.put(chunk, k);
        w_.put('"');
    }

    void newline()
    {
        static const char spaces[] = "                                                                ";
        w_.put('\n');
        size_t n = static_cast<size_t>(depth_) * static_cast<size_t>(indent_);
        while (n > 0) {
            const size_t k = n < sizeof spaces - 1 ? n : sizeof spaces - 1;
            w_.put(spaces, k);
            n -= k;
        }
    }

    void key(const std::string &name)
    {
        string(name.data(), name.size());
        if (pretty_)
            w_.lit(": ");
        else
            w_.put(':');
    }

    void structure(const DDS_TypeCode *t, const unsigned char *p)
    {
        w_.put('{');
        ++depth_;
        bool first = true;
        for (const Member &m : t->members) {
            if (m.optional && !p[m.flag_offset])
                continue;
            if (!first)
                w_.put(',');
            first = false;
            if (pretty_)
                newline();
            key(m.name);
            value(m.rtype, p + m.offset);
        }
        --depth_;
        if (pretty_ && !first)
            newline();
        w_.put('}');
    }

    void union_value(const DDS_TypeCode *t, const unsigned char *p)
    {
        const auto *rep = reinterpret_cast<const UnionRep *>(p);
        if (rep->selected < 0 || static_cast<size_t>(rep->selected) >= t->members.size()) {
            w_.lit("{}");
            return;
        }
        const Member &m = t->members[static_cast<size_t>(rep->selected)];
        w_.put('{');
        ++depth_;
        if (pretty_)
            newline();
        key(m.name);
        value(m.rtype, p + t->payload_offset);
        --depth_;
        if (pretty_)
            newline();
        w_.put('}');
    }

    void elements(const DDS_TypeCode *e, const unsigned char *base, uint32_t n)
    {
        w_.put('[');
        const bool block = pretty_ && is_structured(e->kind);
        ++depth_;
        for (uint32_t i = 0; i < n; ++i) {
            if (i) {
                w_.put(',');
                if (pretty_ && !block)
                    w_.put(' ');
            }
            if (block)
                newline();
            value(e, base + size_t(i) * e->size);
        }
        --depth_;
        if (block && n)
            newline();
        w_.put(']');
    }

    Writer &w_;
    bool pretty_;
    int indent_;
    int depth_ = 0;
};

} // namespace

extern "C" {

DDS_ReturnCode_t DDS_PrintFormat_initialize(DDS_PrintFormat *format, DDS_PrintFormatKind kind)
{
    if (!format)
        return DDS_RETCODE_BAD_PARAMETER;
    if (kind != DDS_JSON_PRINT_FORMAT)
        return DDS_RETCODE_UNSUPPORTED;
    format->kind = kind;
    format->indent = 0;
    format->is_pretty_print = DDS_BOOLEAN_FALSE;
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_PrintFormat_finalize(DDS_PrintFormat *format, DDS_PrintFormatKind kind)
{
    if (!format)
        return DDS_RETCODE_BAD_PARAMETER;
    if (kind != DDS_JSON_PRINT_FORMAT)
        return DDS_RETCODE_UNSUPPORTED;
    // A JSON format owns nothing; finalizing only makes later misuse visible as compact output.
    format->indent = 0;
    format->is_pretty_print = DDS_BOOLEAN_FALSE;
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DynamicDataFormatter_print_w_params(const DDS_DynamicData *self, DDS_PrintFormatProperty_t *params,
                                                         const DDS_PrintFormat *format)
{
    if (!params)
        return DDS_RETCODE_BAD_PARAMETER;
    params->length = 0;
    if (params->buffer && params->buffer_size > 0)
        params->buffer[0] = '\0';
    if (!self || !format || (!params->buffer && params->buffer_size > 0))
        return DDS_RETCODE_BAD_PARAMETER;
    if (format->kind != DDS_JSON_PRINT_FORMAT)
        return DDS_RETCODE_UNSUPPORTED;
    if (!self->type || !self->p)
        return DDS_RETCODE_PRECONDITION_NOT_MET;

    // Deeper indents only waste space; the clamp also keeps depth * indent far from overflow.
    int indent = format->indent;
    if (indent < 0)
        indent = 0;
    if (indent > 16)
        indent = 16;
    Writer w(params->buffer, params->buffer_size);
    Printer printer(w, format->is_pretty_print != 0, indent);
    printer.value(self->type, self->p);
    w.terminate();
    // The length has to fit the 32-bit field for the caller's retry to make sense.
    if (w.length() >= std::numeric_limits<DDS_UnsignedLong>::max()) {
        params->length = std::numeric_limits<DDS_UnsignedLong>::max();
        return DDS_RETCODE_OUT_OF_RESOURCES;
    }
    params->length = static_cast<DDS_UnsignedLong>(w.length());
    return DDS_RETCODE_OK;
}

} // extern "C"
