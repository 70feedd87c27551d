// The PNG reader on arbitrary bytes, followed by the JPEG reader on the same file as the scan
// does when the PNG reader gives nothing (exiv2 then parses the PNG chunks).

#include <cstddef>
#include <cstdint>

#include "FuzzInputFile.h"
#include "metadata/EmbeddedMetadata.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static vorn::fuzz::InputFile file("photo.png");
    const std::string& path = file.write(data, size);
    auto metadata = vorn::getVornMetaDataFromPng(path);
    if (!metadata) metadata = vorn::getVornMetaDataFromJpeg(path);
    if (metadata && !metadata->isDictionary()) __builtin_trap();
    return 0;
}
