#pragma once
// A scratch folder on another file system than a given folder, for moves across file systems:
// a folder in /dev/shm when that is another file system, else a tmpfs mounted for the test.
// available() is false (with the reason) when neither can be had; the test then skips.

#include <filesystem>
#include <string>

namespace vorn::test {

class OtherFileSystemDir {
  public:
    explicit OtherFileSystemDir(const std::filesystem::path& notOn);
    ~OtherFileSystemDir();
    OtherFileSystemDir(const OtherFileSystemDir&) = delete;
    OtherFileSystemDir& operator=(const OtherFileSystemDir&) = delete;

    bool available() const { return !path_.empty(); }
    const std::string& whyNot() const { return whyNot_; }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& rel) const { return path_ / rel; }

  private:
    std::filesystem::path path_;
    bool mounted_ = false;
    std::string whyNot_;
};

// A tmpfs of the given size mounted on folder (made when missing), for a disk that fills up.
// Needs root; available() is false, with the reason, where mounting is refused.
class SmallFileSystem {
  public:
    SmallFileSystem(const std::filesystem::path& folder, std::size_t bytes);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool available() const { return whyNot_.empty(); }
    const std::string& whyNot() const { return whyNot_; }

  private:
    std::filesystem::path folder_;
    std::string whyNot_;
};

}  // namespace vorn::test
