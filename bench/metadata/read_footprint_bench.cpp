// Reading the metadata of a large photo touches only its header (JPEG) or its last 2048 bytes
// (PNG). The photos' middles are holes in the file: any read or mapped access of the whole
// photo would pull the hole's pages into the page cache and show up in the read count.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>

#include "MetadataFixtures.h"
#include "metadata/CaptureDate.h"
#include "metadata/EmbeddedMetadata.h"
#include "metadata/ImageFile.h"
#include "support/CapturedOutput.h"
#include "support/TempDir.h"

namespace vorn {
namespace {

constexpr std::uint64_t kPhotoSize = 50ull << 20;

// Bytes of [from, to) of the file that are in the page cache.
std::uint64_t residentBytes(const std::string& path, std::uint64_t from, std::uint64_t to) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const std::size_t size = static_cast<std::size_t>(::lseek(fd, 0, SEEK_END));
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) return 0;
    const long page = ::sysconf(_SC_PAGESIZE);
    std::vector<unsigned char> vec((size + page - 1) / page);
    std::uint64_t resident = 0;
    if (::mincore(map, size, vec.data()) == 0) {
        for (std::uint64_t p = from / page; p < (to + page - 1) / page && p < vec.size(); ++p) {
            if (vec[p] & 1) resident += static_cast<std::uint64_t>(page);
        }
    }
    ::munmap(map, size);
    return resident;
}

// Bytes this process has read through read-like system calls so far.
std::uint64_t bytesReadByProcess() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") return value;
    }
    return 0;
}

struct Footprint {
    std::uint64_t read = 0;
    std::uint64_t holeResident = 0;
};

template <typename F>
Footprint measure(const std::string& path, std::uint64_t holeFrom, std::uint64_t holeTo, F&& f) {
    const auto before = bytesReadByProcess();
    f();
    return {bytesReadByProcess() - before, residentBytes(path, holeFrom, holeTo)};
}

// Whether reading a hole shows in the page cache on this file system (it does on ext4, xfs
// and btrfs; tmpfs hands out a shared zero page).
bool holeReadsAreVisible(const std::string& dir) {
    const auto path = dir + "/probe";
    capture::PhotoBytes probe;
    probe.head = "x";
    probe.zeros = 1 << 20;
    probe.tail = "y";
    capture::writePhoto(path, probe);
    if (residentBytes(path, 4096, 1 << 20) != 0) return false;
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buf(1 << 16);
    while (in.read(buf.data(), static_cast<std::streamsize>(buf.size()))) {
    }
    return residentBytes(path, 4096, 1 << 20) > (1 << 19);
}

TEST(ReadFootprint, LargePhotosAreNotReadWhole) {
    test::TempDir dir;
    test::CapturedOutput quiet(2);
    const Dictionary meta = test::fullMetadata(6);

    auto jpegSpec = test::jpegWith(meta);
    jpegSpec.minimumSize = kPhotoSize;
    const auto jpegBytes = capture::makeJpeg(jpegSpec);
    const auto jpeg = (dir / "big.jpg").string();
    capture::writePhoto(jpeg, jpegBytes);

    auto pngSpec = test::pngWith(meta);
    pngSpec.minimumSize = kPhotoSize;
    const auto pngBytes = capture::makePng(pngSpec);
    const auto png = (dir / "big.png").string();
    capture::writePhoto(png, pngBytes);
    ASSERT_EQ(std::filesystem::file_size(jpeg), kPhotoSize);
    ASSERT_EQ(std::filesystem::file_size(png), kPhotoSize);

    // Leave a page of margin on each side of the holes.
    const std::uint64_t jpegHole[2] = {jpegBytes.head.size() + 4096, kPhotoSize};
    const std::uint64_t pngHole[2] = {pngBytes.head.size() + 4096,
                                      kPhotoSize - pngBytes.tail.size() - 4096};
    const bool visible = holeReadsAreVisible(dir.str());

    const std::uint64_t kReadLimit = 1 << 20;
    const std::uint64_t kResidentLimit = 4 << 20;  // read-ahead around the header is fine
    auto check = [&](const char* what, const Footprint& f) {
        EXPECT_LT(f.read, kReadLimit) << what;
        if (visible) {
            EXPECT_LT(f.holeResident, kResidentLimit) << what;
        }
    };

    check("jpeg reader", measure(jpeg, jpegHole[0], jpegHole[1],
                                 [&] { EXPECT_EQ(getVornMetaDataFromJpeg(jpeg), Value(meta)); }));
    check("jpeg image test",
          measure(jpeg, jpegHole[0], jpegHole[1], [&] { EXPECT_TRUE(IsValidImageObject(jpeg)); }));
    check("jpeg capture date", measure(jpeg, jpegHole[0], jpegHole[1], [&] {
              EXPECT_TRUE(GetAndUpdateFileCreationDate(jpeg, true));
          }));
    check("png reader", measure(png, pngHole[0], pngHole[1],
                                [&] { EXPECT_EQ(getVornMetaDataFromPng(png), Value(meta)); }));
    check("png as jpeg", measure(png, pngHole[0], pngHole[1],
                                 [&] { EXPECT_FALSE(getVornMetaDataFromJpeg(png)); }));
    check("png image test",
          measure(png, pngHole[0], pngHole[1], [&] { EXPECT_TRUE(IsValidImageObject(png)); }));
    check("png capture date", measure(png, pngHole[0], pngHole[1], [&] {
              EXPECT_TRUE(GetAndUpdateFileCreationDate(png, true));
          }));
    if (!visible) {
        GTEST_SKIP() << "this file system does not show hole reads in the page cache; only the "
                        "read counts were checked";
    }
}

}  // namespace
}  // namespace vorn
