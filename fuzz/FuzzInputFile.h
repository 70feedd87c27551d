#pragma once
// The readers take a path, so each fuzz input is written to one file in a private temporary
// folder, replaced for every input.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace vorn::fuzz {

class InputFile {
  public:
    explicit InputFile(const std::string& name) {
        // Memory-backed when possible: rewriting a truncated file on ext4 forces it to disk
        // on close, which would make disk writes the fuzzer's bottleneck.
        std::string parent = ::access("/dev/shm", W_OK) == 0
                                 ? std::string("/dev/shm")
                                 : std::filesystem::temp_directory_path().string();
        std::string base = parent + "/vorn-fuzz-XXXXXX";
        if (!::mkdtemp(base.data())) std::abort();
        folder_ = base;
        path_ = folder_ + "/" + name;
    }
    ~InputFile() {
        ::unlink(path_.c_str());
        ::rmdir(folder_.c_str());
    }

    // The file at path() now holds exactly these bytes.
    const std::string& write(const std::uint8_t* data, std::size_t size) {
        int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) std::abort();
        for (std::size_t done = 0; done < size;) {
            ssize_t n = ::write(fd, data + done, size - done);
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
        return path_;
    }

  private:
    std::string folder_;
    std::string path_;
};

}  // namespace vorn::fuzz
