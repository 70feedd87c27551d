#pragma once
// A fast 64-bit checksum of a byte stream fed in pieces of any size (xxHash64's construction,
// seed 0): cheap enough to run over every byte of a photo while it is sent. Not for security.

#include <cstddef>
#include <cstdint>

namespace vorn {

class ContentChecksum {
  public:
    void update(const char* data, std::size_t size);
    // The checksum of every byte fed so far; feeding may go on.
    std::uint64_t digest() const;

  private:
    std::uint64_t lanes_[4] = {0x60ea27eeadc0b5d6ull, 0xc2b2ae3d27d4eb4full, 0,
                               0x61c8864e7a143579ull};
    std::uint64_t total_ = 0;
    unsigned char pending_[32] = {};  // the start of a stripe not yet whole
    std::size_t pendingSize_ = 0;
};

}  // namespace vorn
