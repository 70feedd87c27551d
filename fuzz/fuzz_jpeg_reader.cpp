// The JPEG reader and the other Exif consumers of a photo (image test, capture date) on
// arbitrary bytes: they must answer something or nothing, never crash or hang.

#include <cstddef>
#include <cstdint>

#include "FuzzInputFile.h"
#include "metadata/CaptureDate.h"
#include "metadata/EmbeddedMetadata.h"
#include "metadata/ImageFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static vorn::fuzz::InputFile file("photo.jpg");
    const std::string& path = file.write(data, size);
    if (auto metadata = vorn::getVornMetaDataFromJpeg(path)) {
        if (!metadata->isDictionary()) __builtin_trap();
    }
    vorn::IsValidImageObject(path);
    vorn::GetInternalPictureCaptureDate(path, vorn::kExifDictionary, vorn::kExifDateTimeOriginal);
    return 0;
}
