#include "metadata/Exiv2Access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/FileDescriptor.h"

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

// The first bytes of a photo for exiv2 to parse; remembers whether the parser asked for
// anything past them, when they are not the whole file.
class HeadIo : public Exiv2::MemIo {
  public:
    HeadIo(const std::vector<Exiv2::byte>& head, bool whole)
        : Exiv2::MemIo(head.data(), static_cast<long>(head.size())), whole_(whole) {}
    bool wentPastHead() const { return wentPast_; }

    long read(Exiv2::byte* buf, long count) override {
        const long n = Exiv2::MemIo::read(buf, count);
        note(n < count);
        return n;
    }
    Exiv2::DataBuf read(long count) override {
        Exiv2::DataBuf buf = Exiv2::MemIo::read(count);
        note(buf.size_ < count);
        return buf;
    }
    int getb() override {
        const int c = Exiv2::MemIo::getb();
        note(c == EOF);
        return c;
    }
    int seek(long offset, Position pos) override {
        const int failed = Exiv2::MemIo::seek(offset, pos);
        note(failed != 0 || static_cast<std::size_t>(tell()) >= size());
        return failed;
    }
    // A parser that maps the bytes reads them where it likes.
    Exiv2::byte* mmap(bool writeable) override {
        note(true);
        return Exiv2::MemIo::mmap(writeable);
    }

  private:
    void note(bool past) { wentPast_ = wentPast_ || (past && !whole_); }
    bool whole_;
    bool wentPast_ = false;
};

// Enough for a JPEG's metadata segments, which come before its image data.
constexpr std::size_t kHeadBytes = 128 * 1024;

// The image parsed from head; nothing when it is not an image, or when the parser needed more
// than head holds (*needMore).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::unique_ptr<Exiv2::Image> parseHead(const std::vector<Exiv2::byte>& head, bool whole,
                                        bool* needMore) {
    auto* io = new HeadIo(head, whole);
    Exiv2::BasicIo::AutoPtr owned(io);
    try {
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(owned);
        if (!image.get()) {
            *needMore = !whole;
            return nullptr;
        }
        image->readMetadata();
        *needMore = io->wentPastHead();
        return *needMore ? nullptr : std::unique_ptr<Exiv2::Image>(image.release());
    } catch (...) {
        *needMore = !whole;
        return nullptr;
    }
}
#pragma GCC diagnostic pop

}  // namespace

OpenedImage openImageForReading(const std::string& path) {
    initialiseExiv2Once();
    OpenedImage result;
    // O_NONBLOCK: a FIFO dropped into the folder must not hang the scan.
    Fd fd(path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return result;
    result.status = ImageOpenStatus::NotAnImage;

    auto head = std::make_shared<std::vector<Exiv2::byte>>(
        std::min<std::size_t>(kHeadBytes, static_cast<std::size_t>(st.st_size)));
    std::size_t got = 0;
    while (got < head->size()) {
        const ssize_t n =
            ::pread(fd.get(), head->data() + got, head->size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    fd.reset();
    head->resize(got);
    const bool whole = got == static_cast<std::size_t>(st.st_size);
    bool needMore = true;
    if (got > 0) {
        result.image = parseHead(*head, whole, &needMore);
        if (result.image) {
            result.head = std::move(head);
            result.status = ImageOpenStatus::Opened;
            return result;
        }
        if (!needMore) return result;
    }
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
