// The largest serialized size of a type (and of its key), exact over where each item falls.
#include "wire/cdr_codec.h"

#include <map>

namespace quelt::mw {

using namespace codec;

namespace {

// A type's serialized size depends on where it starts, through padding. We describe a type by an
// 8x8 matrix over (max, +): entry [i][j] is the largest number of bytes it takes when it starts
// at an offset ≡ i and ends at an offset ≡ j (mod 8), or kNone when that cannot happen. A struct
// is the product of its members' matrices, a choice (union cases, absent or present) the
// element-wise max; sequences and arrays use powers of the element's matrix. This counts padding
// exactly instead of adding a worst case per item.

using Len = int64_t;
constexpr Len kNone = -1;
constexpr Len kCap = Len(1) << 40; // saturates: anything this large counts as unbounded

struct SizeMat {
    Len v[8][8];
    bool unbounded = false;
};

SizeMat none_mat()
{
    SizeMat m;
    for (auto &row : m.v)
        for (Len &x : row)
            x = kNone;
    return m;
}

SizeMat identity_mat()
{
    SizeMat m = none_mat();
    for (int i = 0; i < 8; ++i)
        m.v[i][i] = 0;
    return m;
}

void put_max(SizeMat &m, int i, Len len)
{
    len = std::min(len, kCap);
    Len &x = m.v[i][(i + len) & 7];
    x = std::max(x, len);
}

// An item of n bytes aligned to a.
SizeMat fixed_mat(uint32_t a, uint32_t n)
{
    SizeMat m = none_mat();
    for (int i = 0; i < 8; ++i)
        put_max(m, i, Len((-i) & int(a - 1)) + n);
    return m;
}

SizeMat mul(const SizeMat &a, const SizeMat &b)
{
    SizeMat c = none_mat();
    c.unbounded = a.unbounded || b.unbounded;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            if (a.v[i][j] < 0)
                continue;
            for (int k = 0; k < 8; ++k)
                if (b.v[j][k] >= 0)
                    c.v[i][k] = std::max(c.v[i][k], std::min(a.v[i][j] + b.v[j][k], kCap));
        }
    return c;
}

SizeMat join(const SizeMat &a, const SizeMat &b)
{
    SizeMat c;
    c.unbounded = a.unbounded || b.unbounded;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j)
            c.v[i][j] = std::max(a.v[i][j], b.v[i][j]);
    return c;
}

SizeMat power(const SizeMat &e, uint64_t n)
{
    SizeMat result = identity_mat(), base = e;
    for (; n; n >>= 1) {
        if (n & 1)
            result = mul(result, base);
        if (n > 1)
            base = mul(base, base);
    }
    return result;
}

// 0 to n repetitions of e: S(n) = I ⊕ e ⊕ … ⊕ e^n, by S(2k) = S(k) ⊕ e^k S(k), S(k+1) = S(k) ⊕ e^(k+1).
void up_to(const SizeMat &e, uint64_t n, SizeMat &sum, SizeMat &pow)
{
    if (n == 0) {
        sum = identity_mat();
        pow = identity_mat();
        return;
    }
    if (n & 1) {
        up_to(e, n - 1, sum, pow);
        pow = mul(pow, e);
        sum = join(sum, pow);
        return;
    }
    SizeMat half_sum, half_pow;
    up_to(e, n / 2, half_sum, half_pow);
    sum = join(half_sum, mul(half_pow, half_sum));
    pow = mul(half_pow, half_pow);
}

SizeMat up_to(const SizeMat &e, uint64_t n)
{
    SizeMat sum, pow;
    up_to(e, n, sum, pow);
    return sum;
}

SizeMat unbounded_mat()
{
    SizeMat m = fixed_mat(4, 4);
    m.unbounded = true;
    return m;
}

Len row0_max(const SizeMat &m)
{
    Len best = kNone;
    for (int j = 0; j < 8; ++j)
        best = std::max(best, m.v[0][j]);
    return best;
}

// An optional member: its header, then nothing or the value, whose alignment restarts after the
// header (so only the value's sizes from residue 0 matter).
SizeMat optional_mat(const SizeMat &value, uint32_t id)
{
    SizeMat m = none_mat();
    m.unbounded = value.unbounded;
    const Len id_extra = id >= kShortIdLimit ? kExtendedExtra : 0;
    for (int i = 0; i < 8; ++i) {
        const Len header = Len((-i) & 3) + 4;
        put_max(m, i, header + id_extra);
        for (int r = 0; r < 8; ++r) {
            const Len v = value.v[0][r];
            if (v < 0)
                continue;
            put_max(m, i, header + ((v > Len(kShortLengthMax) || id_extra) ? kExtendedExtra : 0) + v);
        }
    }
    return m;
}

class SizeCalc {
  public:
    explicit SizeCalc(bool v2 = false) : v2_(v2) {}

    const SizeMat &of(const DDS_TypeCode *t, bool key)
    {
        t = resolve(t);
        key = key && t->kind == DDS_TK_STRUCT && t->keyed;
        auto it = memo_.find({t, key});
        if (it != memo_.end())
            return it->second;
        SizeMat m = compute(t, key);
        return memo_.emplace(std::make_pair(t, key), m).first->second;
    }

  private:
    SizeMat item(uint32_t a, uint32_t n) const { return fixed_mat(v2_ && a > 4 ? 4 : a, n); }
    SizeMat framed(const SizeMat &body) const { return mul(fixed_mat(4, 4), body); }

    SizeMat compute(const DDS_TypeCode *t, bool key)
    {
        switch (t->kind) {
        case DDS_TK_STRING:
            if (!t->bound)
                return unbounded_mat();
            return mul(mul(fixed_mat(4, 4), up_to(fixed_mat(1, 1), t->bound)), fixed_mat(1, 1));
        case DDS_TK_WSTRING:
            if (!t->bound)
                return unbounded_mat();
            return mul(fixed_mat(4, 4), up_to(fixed_mat(2, 2), t->bound));
        case DDS_TK_SEQUENCE: {
            if (!t->bound)
                return unbounded_mat();
            const SizeMat e = of(t->rcontent, false);
            if (e.unbounded)
                return unbounded_mat();
            const SizeMat m = mul(fixed_mat(4, 4), up_to(e, t->bound));
            return v2_ && elements_framed(t) ? framed(m) : m;
        }
        case DDS_TK_ARRAY: {
            const SizeMat m = power(of(t->rcontent, false), t->element_count);
            return v2_ && elements_framed(t) ? framed(m) : m;
        }
        case DDS_TK_STRUCT: {
            const bool frame = v2_ && !key && t->extensibility != Extensibility::Final;
            const bool em = frame && t->extensibility == Extensibility::Mutable;
            if (!v2_ && !key && t->extensibility == Extensibility::Mutable) {
                SizeMat m = identity_mat(); // every member as a parameter (optional_mat counts empty ones too)
                for (const Member &mb : t->members)
                    m = mul(m, optional_mat(of(mb.rtype, false), mb.wire_id));
                return mul(m, fixed_mat(4, 4)); // the list's end
            }
            SizeMat m = identity_mat();
            for (size_t i = 0; i < t->members.size(); ++i) {
                const Member &mb = t->members[i];
                if (key && !mb.key)
                    continue;
                const SizeMat &v = of(mb.rtype, key);
                SizeMat one;
                if (em) // EMHEADER, NEXTINT unless a primitive
                    one = mul(fixed_mat(4, em_overhead(mb.rtype)), v);
                else if (mb.optional && v2_)
                    one = mul(fixed_mat(1, 1), v);
                else
                    one = mb.optional ? optional_mat(v, mb.wire_id) : v;
                if (mb.optional && (em || v2_))
                    one = join(em ? identity_mat() : fixed_mat(1, 1), one);
                m = mul(m, one);
            }
            return frame ? framed(m) : m;
        }
        case DDS_TK_UNION: {
            const uint32_t ds = static_cast<uint32_t>(disc_size(t->discriminator));
            SizeMat cases = t->default_case >= 0 ? none_mat() : identity_mat();
            for (const Member &mb : t->members)
                cases = join(cases, of(mb.rtype, false));
            const SizeMat m = mul(item(ds, ds), cases);
            return v2_ && t->extensibility != Extensibility::Final ? framed(m) : m;
        }
        default:
            return item(t->align, t->size);
        }
    }

    bool v2_;
    std::map<std::pair<const DDS_TypeCode *, bool>, SizeMat> memo_;
};

// Largest size from an aligned start, or nullopt-like kNone when unbounded or too large.
Len max_from_origin(const SizeMat &m)
{
    if (m.unbounded)
        return kNone;
    const Len best = row0_max(m);
    return best >= kCap ? kNone : best;
}


// Largest body over both versions, kNone when either is unbounded.
Len max_body(const DDS_TypeCode *t)
{
    SizeCalc v1(false), v2(true);
    const Len a = max_from_origin(v1.of(t, false)), b = max_from_origin(v2.of(t, false));
    return a < 0 || b < 0 ? kNone : std::max(a, b);
}

} // namespace

uint32_t cdr_key_max_size(const DDS_TypeCode *t)
{
    t = resolve(t);
    if (!t || t->kind != DDS_TK_STRUCT || !t->keyed)
        return 0;
    constexpr uint32_t unknown = UINT32_MAX - 1; // as the type code starts it
    uint32_t k = t->key_max_size.load(std::memory_order_relaxed);
    if (k != unknown)
        return k;
    // Two threads may both compute it: they store the same value.
    SizeCalc calc(true);
    const Len len = max_from_origin(calc.of(t, true));
    k = len < 0 || len >= Len(unknown) ? UINT32_MAX : static_cast<uint32_t>(len);
    t->key_max_size.store(k, std::memory_order_relaxed);
    return k;
}

uint32_t cdr_max_serialized_size(const DDS_TypeCode *t)
{
    t = resolve(t);
    if (!t)
        return 0;
    try {
        const Len body = max_body(t);
        if (body < 0 || body + kCdrHeaderSize > Len(UINT32_MAX))
            return 0;
        return static_cast<uint32_t>(body + kCdrHeaderSize);
    } catch (...) {
        return 0;
    }
}

} // namespace quelt::mw
