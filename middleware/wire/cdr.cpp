// The encapsulation header of a serialized sample, and the C functions that turn a DynamicData
// into its wire form and back.
#include "wire/cdr_codec.h"

#include "dds/dds_log.h"

#include <fastcdr/FastBuffer.h>

#include <string>

namespace quelt::mw {

using namespace codec;

namespace {

constexpr uint16_t kEncCdrBe = 0x0000, kEncPlCdrBe = 0x0002, kEncCdr2Be = 0x0006, kEncDCdr2Be = 0x0008, kEncPlCdr2Be = 0x000a;

} // namespace

CdrVersion cdr_default_version(const DDS_TypeCode *t)
{
    t = resolve(t);
    return t && t->extensibility != Extensibility::Final ? CdrVersion::Xcdr2 : CdrVersion::Xcdr1;
}

bool cdr_write_header(fc::Cdr &cdr, const DDS_TypeCode *t, CdrVersion v)
{
    uint16_t id = kEncCdrBe;
    if (v == CdrVersion::Xcdr1 && resolve(t) && resolve(t)->extensibility == Extensibility::Mutable)
        id = kEncPlCdrBe;
    if (v == CdrVersion::Xcdr2) {
        t = resolve(t);
        const Extensibility e = t ? t->extensibility : Extensibility::Final;
        id = e == Extensibility::Mutable ? kEncPlCdr2Be : e == Extensibility::Appendable ? kEncDCdr2Be : kEncCdr2Be;
    }
    if (cdr.endianness() == fc::Cdr::LITTLE_ENDIANNESS)
        id |= 1;
    const char header[4] = {char(id >> 8), char(id & 0xff), 0, 0};
    try {
        cdr.serializeArray(header, 4);
    } catch (...) {
        return false;
    }
    cdr.resetAlignment();
    return true;
}

bool cdr_read_header(fc::Cdr &cdr, CdrVersion &v, const DDS_TypeCode *t, std::string *why)
{
    unsigned char header[4];
    try {
        cdr.deserializeArray(reinterpret_cast<char *>(header), 4);
    } catch (...) {
        if (why)
            *why = "payload shorter than its encapsulation header";
        return false;
    }
    const uint16_t id = uint16_t(header[0] << 8 | header[1]);
    t = resolve(t);
    switch (id & ~1u) {
    case kEncCdrBe:
    case kEncPlCdrBe:
        // XCDR1 has two bodies: a parameter list for mutable types, plain CDR for the others.
        if (t && (t->extensibility == Extensibility::Mutable) != ((id & ~1u) == kEncPlCdrBe)) {
            if (why)
                *why = t->extensibility == Extensibility::Mutable ? "plain XCDR1 for a mutable type" : "an XCDR1 parameter list for a type that is not mutable";
            return false;
        }
        v = CdrVersion::Xcdr1;
        break;
    case kEncCdr2Be:
    case kEncDCdr2Be:
    case kEncPlCdr2Be: {
        // XCDR2 names the body's extensibility: another one is a peer with another type (a frame
        // or member headers would be read as members).
        static const char *const names[] = {"PLAIN_CDR2 (final)", "D_CDR2 (appendable)", "PL_CDR2 (mutable)"};
        const unsigned sent = ((id & ~1u) - kEncCdr2Be) / 2;
        const unsigned ours = !t ? sent : t->extensibility == Extensibility::Mutable ? 2 : t->extensibility == Extensibility::Appendable ? 1 : 0;
        if (sent != ours) {
            if (why)
                *why = std::string(names[sent]) + " for a type that is " + (ours == 2 ? "mutable" : ours == 1 ? "appendable" : "final");
            return false;
        }
        v = CdrVersion::Xcdr2;
        break;
    }
    default:
        if (why) {
            char text[64];
            std::snprintf(text, sizeof text, "unknown encapsulation 0x%04x", unsigned(id));
            *why = text;
        }
        return false;
    }
    cdr.changeEndianness(id & 1 ? fc::Cdr::LITTLE_ENDIANNESS : fc::Cdr::BIG_ENDIANNESS);
    cdr.resetAlignment();
    return true;
}

} // namespace quelt::mw

// ---------------------------------------------------------------- C API
using namespace quelt::mw;
using namespace quelt::mw::codec;

extern "C" {


DDS_UnsignedLong DDS_DynamicData_get_serialized_size(const DDS_DynamicData *self)
{
    if (!self || !has_value(self))
        return 0;
    const size_t n = kCdrHeaderSize + cdr_serialized_size(self->type, self->p, cdr_default_version(self->type));
    return n > UINT32_MAX ? 0 : static_cast<DDS_UnsignedLong>(n);
}

DDS_UnsignedLong DDS_TypeCode_get_max_serialized_size(const DDS_TypeCode *type) { return cdr_max_serialized_size(type); }

DDS_ReturnCode_t DDS_DynamicData_to_cdr_buffer_ex(const DDS_DynamicData *self, unsigned char *buffer, DDS_UnsignedLong *length,
                                                  DDS_DataRepresentationId_t representation, DDS_Boolean big_endian)
{
    if (!self || !length || (representation != DDS_XCDR_DATA_REPRESENTATION && representation != DDS_XCDR2_DATA_REPRESENTATION))
        return DDS_RETCODE_BAD_PARAMETER;
    if (!has_value(self))
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    const CdrVersion v = representation == DDS_XCDR2_DATA_REPRESENTATION ? CdrVersion::Xcdr2 : CdrVersion::Xcdr1;
    if (buffer) {
        try {
            fc::FastBuffer fb(reinterpret_cast<char *>(buffer), *length);
            fc::Cdr cdr(fb, big_endian ? fc::Cdr::BIG_ENDIANNESS : fc::Cdr::LITTLE_ENDIANNESS, fc::Cdr::DDS_CDR);
            if (cdr_write_header(cdr, self->type, v) && cdr_serialize(self->type, self->p, cdr, v)) {
                *length = static_cast<DDS_UnsignedLong>(cdr.getSerializedDataLength());
                return DDS_RETCODE_OK;
            }
        } catch (...) {
        }
    }
    // Tell a short buffer from a sample that breaks its bounds.
    const size_t n = kCdrHeaderSize + cdr_serialized_size(self->type, self->p, v);
    const DDS_UnsignedLong need = n > UINT32_MAX ? 0 : static_cast<DDS_UnsignedLong>(n);
    if (!buffer) {
        *length = need;
        return need ? DDS_RETCODE_OK : DDS_RETCODE_BAD_PARAMETER;
    }
    if (need == 0 || need <= *length)
        return DDS_RETCODE_BAD_PARAMETER;
    *length = need;
    return DDS_RETCODE_OUT_OF_RESOURCES;
}

DDS_ReturnCode_t DDS_DynamicData_to_cdr_buffer(const DDS_DynamicData *self, unsigned char *buffer, DDS_UnsignedLong *length)
{
    const bool v2 = self && has_value(self) && cdr_default_version(self->type) == CdrVersion::Xcdr2;
    return DDS_DynamicData_to_cdr_buffer_ex(self, buffer, length, v2 ? DDS_XCDR2_DATA_REPRESENTATION : DDS_XCDR_DATA_REPRESENTATION,
                                            DDS_BOOLEAN_FALSE);
}

DDS_ReturnCode_t DDS_DynamicData_from_cdr_buffer(DDS_DynamicData *self, const unsigned char *buffer, DDS_UnsignedLong length)
{
    if (!self || !buffer)
        return DDS_RETCODE_BAD_PARAMETER;
    if (!has_value(self) || self->bound_child)
        return DDS_RETCODE_PRECONDITION_NOT_MET;
    std::string why;
    try {
        // Fast CDR wants a mutable buffer; reading never writes to it.
        fc::FastBuffer fb(const_cast<char *>(reinterpret_cast<const char *>(buffer)), length);
        fc::Cdr cdr(fb, fc::Cdr::DEFAULT_ENDIAN, fc::Cdr::DDS_CDR);
        CdrVersion v;
        if (cdr_read_header(cdr, v, self->type, &why) && cdr_deserialize(self->type, self->p, cdr, length, false, v, &why))
            return DDS_RETCODE_OK;
    } catch (...) {
    }
    clear_value(self->type, self->p);
    QueltLog_error("DDS_DynamicData_from_cdr_buffer", "%u bytes are not a sample of '%s': %s", unsigned(length), self->type->name.c_str(),
                   why.c_str());
    return DDS_RETCODE_BAD_PARAMETER;
}

} // extern "C"
