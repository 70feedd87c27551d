#include "metadata/Exiv2Access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <vector>

namespace vorn::detail {
namespace {

void initialiseExiv2Once() {
    static std::once_flag once;
    std::call_once(once, [] {
        // exiv2 would print warnings about every odd photo onto our log; the callers log
        // what matters themselves.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        // The XMP toolkit is not safe to initialise lazily from several scan threads.
        Exiv2::XmpParser::initialize();
    });
}

bool isReadableRegularFile(const std::string& path) {
    // O_NONBLOCK: a FIFO dropped into the folder must not hang the scan.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return regular;
}

}  // namespace

OpenedImage openImageForReading(const std::string& path) {
    initialiseExiv2Once();
    OpenedImage result;
    if (path.empty() || !isReadableRegularFile(path)) return result;
    result.status = ImageOpenStatus::NotAnImage;
    try {
        // FileIo directly: ImageFactory::open(path) would treat names that look like URLs
        // as remote sources.
        // exiv2 0.27 hands images over in std::auto_ptr, which clang flags as deprecated.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        Exiv2::BasicIo::AutoPtr io(new Exiv2::FileIo(path));
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(io);
#pragma GCC diagnostic pop
        if (!image.get()) return result;
        image->readMetadata();
        result.image.reset(image.release());
        result.status = ImageOpenStatus::Opened;
    } catch (...) {
        // Corrupt or truncated photos throw from deep inside exiv2; they are just not images.
        result.image.reset();
    }
    return result;
}

std::string rawExifBytes(const Exiv2::Exifdatum& datum, Exiv2::ByteOrder order) {
    const long size = datum.size();
    if (size <= 0) return {};
    std::vector<Exiv2::byte> buf(static_cast<std::size_t>(size));
    const long n = datum.copy(buf.data(), order);
    if (n <= 0) return {};
    return std::string(reinterpret_cast<const char*>(buf.data()),
                       static_cast<std::size_t>(std::min(n, size)));
}

}  // namespace vorn::detail
