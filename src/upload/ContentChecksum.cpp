#include "upload/ContentChecksum.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vorn {

namespace {

constexpr std::uint64_t kPrime1 = 0x9e3779b185ebca87ull;
constexpr std::uint64_t kPrime2 = 0xc2b2ae3d27d4eb4full;
constexpr std::uint64_t kPrime3 = 0x165667b19e3779f9ull;
constexpr std::uint64_t kPrime4 = 0x85ebca77c2b2ae63ull;
constexpr std::uint64_t kPrime5 = 0x27d4eb2f165667c5ull;

std::uint64_t load64(const unsigned char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

std::uint32_t load32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

std::uint64_t mixLane(std::uint64_t lane, std::uint64_t input) {
    return std::rotl(lane + input * kPrime2, 31) * kPrime1;
}

std::uint64_t merge(std::uint64_t hash, std::uint64_t lane) {
    return (hash ^ mixLane(0, lane)) * kPrime1 + kPrime4;
}

void stripes(std::uint64_t (&lanes)[4], const unsigned char* p, std::size_t count) {
    std::uint64_t a = lanes[0], b = lanes[1], c = lanes[2], d = lanes[3];
    for (; count > 0; --count, p += 32) {
        a = mixLane(a, load64(p));
        b = mixLane(b, load64(p + 8));
        c = mixLane(c, load64(p + 16));
        d = mixLane(d, load64(p + 24));
    }
    lanes[0] = a, lanes[1] = b, lanes[2] = c, lanes[3] = d;
}

}  // namespace

void ContentChecksum::update(const char* data, std::size_t size) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    total_ += size;
    if (pendingSize_ > 0) {
        const std::size_t take = std::min(size, sizeof pending_ - pendingSize_);
        std::memcpy(pending_ + pendingSize_, p, take);
        pendingSize_ += take;
        p += take;
        size -= take;
        if (pendingSize_ < sizeof pending_) return;
        stripes(lanes_, pending_, 1);
        pendingSize_ = 0;
    }
    stripes(lanes_, p, size / 32);
    p += size / 32 * 32;
    size %= 32;
    std::memcpy(pending_, p, size);
    pendingSize_ = size;
}

std::uint64_t ContentChecksum::digest() const {
    std::uint64_t h;
    if (total_ >= 32) {
        h = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) + std::rotl(lanes_[2], 12) +
            std::rotl(lanes_[3], 18);
        for (std::uint64_t lane : lanes_) h = merge(h, lane);
    } else {
        h = kPrime5;  // the seed (0) plus the fifth prime: no stripe was whole
    }
    h += total_;
    const unsigned char* p = pending_;
    std::size_t left = pendingSize_;
    for (; left >= 8; left -= 8, p += 8)
        h = std::rotl(h ^ mixLane(0, load64(p)), 27) * kPrime1 + kPrime4;
    if (left >= 4) {
        h = std::rotl(h ^ (load32(p) * kPrime1), 23) * kPrime2 + kPrime3;
        left -= 4;
        p += 4;
    }
    for (; left > 0; --left, ++p) h = std::rotl(h ^ (*p * kPrime5), 11) * kPrime1;
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime3;
    h ^= h >> 32;
    return h;
}

}  // namespace vorn
