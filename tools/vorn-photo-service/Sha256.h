#pragma once
// Incremental SHA-256 (OpenSSL), so a file part is hashed as it streams to disk.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace vorn::photoservice {

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    // Lower-case hex digest; the object then starts over.
    std::string hexDigest();

    static std::string hex(std::string_view bytes);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vorn::photoservice
