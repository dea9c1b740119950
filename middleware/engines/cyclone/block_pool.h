// Memory for serdata, which a stream allocates on Cyclone's receiving thread and frees on the
// thread that takes the samples. malloc serves that pattern badly: the freeing thread's cache is
// always full and the allocating thread's always empty, so both take the arena's lock for every
// sample, against each other. Blocks here come in a few sizes, cached per thread and passed
// between threads in bundles through a shared stack of each size.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quelt::mw::cyclone {

constexpr uint8_t kUnpooled = 0xff;

// At least bytes; size_class says where the block goes back (kUnpooled: too large, from malloc).
// Null when memory is exhausted.
void *block_alloc(size_t bytes, uint8_t &size_class);
void block_free(void *block, uint8_t size_class);

} // namespace quelt::mw::cyclone
