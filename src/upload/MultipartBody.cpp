#include "upload/MultipartBody.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/PathUtilities.h"
#include "upload/Records.h"

namespace vorn {

namespace {

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool writeAll(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Copies the first length bytes of in to the end of out; in the kernel when it can, in chunks
// so that a stop request is noticed.
bool copyRange(int in, std::uint64_t length, int out, const std::atomic<bool>* stop) {
    constexpr std::uint64_t kChunk = 8 * 1024 * 1024;
    loff_t pos = 0;
    bool kernelCopy = true;
    while (length > 0) {
        if (stop && stop->load()) {
            errno = 0;
            return false;
        }
        if (kernelCopy) {
            ssize_t n = ::copy_file_range(in, &pos, out, nullptr, std::min(length, kChunk), 0);
            if (n > 0) {
                length -= static_cast<std::uint64_t>(n);
                continue;
            }
            if (n == 0) return false;  // the file is shorter than it was
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                return false;
            kernelCopy = false;
        }
        char buf[64 * 1024];
        ssize_t n = ::pread(in, buf, std::min<std::uint64_t>(length, sizeof buf), pos);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (!writeAll(out, buf, static_cast<std::size_t>(n))) return false;
        pos += n;
        length -= static_cast<std::uint64_t>(n);
    }
    return true;
}

}  // namespace

std::string escapeMultipartFileName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        switch (c) {
            case '"':
                out += "%22";
                break;
            case '\r':
                out += "%0D";
                break;
            case '\n':
                out += "%0A";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string contentTypeForExtension(const std::string& extension) {
    if (equalsIgnoringCase(extension, "png")) return "image/png";
    if (equalsIgnoringCase(extension, "mov")) return "video/quicktime";
    return "image/jpeg";
}

MultipartBody::MultipartBody(std::string boundary) : boundary_(std::move(boundary)) {}

MultipartSegment::OpenFile::~OpenFile() {
    ::close(fd);
}

std::string MultipartBody::contentTypeHeaderValue() const {
    return "multipart/form-data; boundary=" + boundary_;
}

void MultipartBody::addBytes(std::string bytes, bool secret) {
    size_ += bytes.size();
    Segment s;
    s.bytes = std::move(bytes);
    s.secret = secret;
    segments_.push_back(std::move(s));
}

void MultipartBody::addFraming(std::string rest) {
    size_ += 4 + boundary_.size() + rest.size();
    Segment s;
    s.bytes = "\r\n--" + boundary_ + rest;
    s.framing = true;
    segments_.push_back(std::move(s));
}

namespace {

// "vorn-" and 32 random hexadecimal digits, one that used() does not reject.
template <class Used>
std::string randomBoundary(Used used) {
    std::string fresh;
    do {
        unsigned char random[16];
        std::size_t got = 0;
        while (got < sizeof random) {
            ssize_t n = ::getrandom(random + got, sizeof random - got, 0);
            if (n > 0) got += static_cast<std::size_t>(n);
        }
        static const char* hex = "0123456789abcdef";
        fresh = "vorn-";
        for (unsigned char c : random) {
            fresh += hex[c >> 4];
            fresh += hex[c & 15];
        }
    } while (used(fresh));
    return fresh;
}

}  // namespace

void MultipartBody::keepBoundaryOutOf(const std::string& text) {
    if (text.find(boundary_) == std::string::npos) return;
    moveToBoundary(randomBoundary([&](const std::string& b) {
        if (text.find(b) != std::string::npos) return true;
        for (const Segment& s : segments_)
            if (!s.file && s.bytes.find(b) != std::string::npos) return true;
        return false;
    }));
}

void MultipartBody::useFreshBoundary() {
    moveToBoundary(randomBoundary([&](const std::string& b) {
        for (const Segment& s : segments_)
            if (!s.file && s.bytes.find(b) != std::string::npos) return true;
        return b == boundary_;
    }));
    rewind();
}

void MultipartBody::moveToBoundary(const std::string& fresh) {
    for (Segment& s : segments_) {
        if (!s.framing) continue;
        size_ -= s.bytes.size();
        s.bytes.replace(4, boundary_.size(), fresh);
        size_ += s.bytes.size();
    }
    boundary_ = fresh;
}

void MultipartBody::addField(const std::string& name, const std::string& value, bool secret) {
    keepBoundaryOutOf(name);
    keepBoundaryOutOf(value);
    addFraming("\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n");
    addBytes(value, secret);
}

void MultipartBody::addFileHeader(const std::string& fieldName, const std::string& path,
                                  const std::string& contentType) {
    const std::string rest = "\r\nContent-Disposition: form-data; name=\"" + fieldName +
                             "\"; filename=\"" + escapeMultipartFileName(lastPathComponent(path)) +
                             "\"\r\nContent-Type: " + contentType + "\r\n\r\n";
    keepBoundaryOutOf(rest);
    addFraming(rest);
}

bool MultipartBody::addFile(const std::string& fieldName, const std::string& path,
                            const std::string& contentType) {
    addFileHeader(fieldName, path, contentType);
    return attachFile(path);
}

bool MultipartBody::attachFile(const std::string& path) {
    // Non-blocking so that a FIFO in the photo's place cannot hang the open.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    return fd >= 0 && attachOpenFile(fd, path);
}

bool MultipartBody::attachOpenFile(int fd, const std::string& path) {
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    Segment s;
    s.file = std::make_shared<const MultipartSegment::OpenFile>(fd);
    s.path = path;
    s.length = static_cast<std::uint64_t>(st.st_size);
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.mtime = st.st_mtim;
    size_ += s.length;
    segments_.push_back(std::move(s));
    return true;
}

void MultipartBody::close() {
    addFraming("--\r\n");
}

void MultipartBody::rewind() {
    current_ = 0;
    offset_ = 0;
    failure_ = ReadFailure::None;
    scanTail_.clear();
    for (Segment& s : segments_) {
        s.checksum = ContentChecksum();
        s.checksummed = 0;
    }
}

bool MultipartBody::passFileBytes(Segment& s, const char* bytes, std::size_t n) {
    const std::size_t keep = boundary_.size() - 1;
    if (offset_ == 0) scanTail_.clear();
    // The boundary within these bytes, or begun in the ones before and ended here.
    if (::memmem(bytes, n, boundary_.data(), boundary_.size())) return false;
    const std::string joint = scanTail_ + std::string(bytes, std::min(n, keep));
    if (joint.find(boundary_) != std::string::npos) return false;
    if (n >= keep) {
        scanTail_.assign(bytes + n - keep, keep);
    } else {
        scanTail_ = joint.substr(joint.size() - std::min(joint.size(), keep));
    }
    if (offset_ == s.checksummed) {
        s.checksum.update(bytes, n);
        s.checksummed += n;
    }
    return true;
}

std::optional<std::size_t> MultipartBody::read(char* buf, std::size_t capacity) {
    if (failure_ != ReadFailure::None) return std::nullopt;
    std::size_t done = 0;
    while (done < capacity && current_ < segments_.size()) {
        Segment& s = segments_[current_];
        std::uint64_t length = s.file ? s.length : s.bytes.size();
        if (offset_ >= length) {
            ++current_;
            offset_ = 0;
            continue;
        }
        std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(capacity - done, length - offset_));
        if (!s.file) {
            std::memcpy(buf + done, s.bytes.data() + offset_, want);
        } else {
            ssize_t n = ::pread(s.file->fd, buf + done, want, static_cast<off_t>(offset_));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                failure_ = ReadFailure::ReadError;
                return std::nullopt;
            }
            // Shorter than when it was opened: the promised length can no longer be sent.
            if (n == 0) {
                failure_ = ReadFailure::FileChanged;
                return std::nullopt;
            }
            want = static_cast<std::size_t>(n);
            // Bytes that would end the form early are never handed out.
            if (!passFileBytes(s, buf + done, want)) {
                failure_ = ReadFailure::BoundaryInFile;
                return std::nullopt;
            }
        }
        offset_ += want;
        done += want;
    }
    return done;
}

namespace {

FileStamp stampOf(const MultipartSegment& s) {
    return FileStamp{static_cast<std::uint64_t>(s.dev), static_cast<std::uint64_t>(s.ino),
                     static_cast<std::int64_t>(s.length),
                     static_cast<std::int64_t>(s.mtime.tv_sec) * 1000000000 + s.mtime.tv_nsec};
}

}  // namespace

bool MultipartBody::filesUnchanged() const {
    for (std::size_t i = 0, file = 0; i < segments_.size(); ++i) {
        const Segment& s = segments_[i];
        if (!s.file) continue;
        const std::size_t index = file++;
        struct stat now {};
        if (::fstat(s.file->fd, &now) == 0 && static_cast<std::uint64_t>(now.st_size) == s.length &&
            sameTime(now.st_mtim, s.mtime) && FileStamp::of(s.path) == stampOf(s))
            continue;
        // Touched, or replaced at its path: still the file sent if it holds the bytes sent. The
        // common case above reads nothing.
        std::optional<SentVersion> sent = sentVersion(index);
        if (!sent || !sameContentAsSent(s.path, *sent)) return false;
    }
    return true;
}

std::optional<SentVersion> MultipartBody::sentVersion(std::size_t index) const {
    for (const Segment& s : segments_) {
        if (!s.file) continue;
        if (index-- > 0) continue;
        SentVersion sent{stampOf(s), std::nullopt};
        if (s.checksummed == s.length) sent.checksum = s.checksum.digest();
        return sent;
    }
    return std::nullopt;
}

std::vector<std::string> MultipartBody::filePaths() const {
    std::vector<std::string> paths;
    for (const Segment& s : segments_)
        if (s.file) paths.push_back(s.path);
    return paths;
}

BodySnapshot MultipartBody::snapshot() const {
    BodySnapshot snap;
    snap.segments_ = segments_;
    return snap;
}

bool MultipartBody::writeDebugCopy(const std::string& path, std::string* error) const {
    return snapshot().writeTo(path, error);
}

std::string debugCopyOmission(const std::string& path, std::uint64_t length) {
    std::string text = "[";  // appended: "[" + ... trips GCC 12's -Wrestrict at -O2
    text += std::to_string(length) + " bytes of " + lastPathComponent(path);
    return text + " left out of this copy]";
}

bool BodySnapshot::writeTo(const std::string& path, std::string* error,
                           const std::atomic<bool>* stop) const {
    std::uint64_t total = 0;
    for (const MultipartSegment& s : segments_)
        total += s.file ? s.length : (s.secret ? std::strlen(kMaskedSecret) : s.bytes.size());
    // A big movie would otherwise be copied whole into the log folder on every upload.
    const bool leaveFilesOut = total > kDebugCopyFileBytesCap;
    std::string temp = path + ".XXXXXX";
    // mkstemp creates the file with mode 0600 from the start.
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        if (error) *error = std::strerror(errno);
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0;
    int savedErrno = errno;
    // The text between files is gathered and written in one go (a body has some thirty parts).
    std::string text;
    auto writeText = [&] {
        ok = ok && writeAll(fd, text.data(), text.size());
        text.clear();
    };
    for (const MultipartSegment& s : segments_) {
        if (!ok) break;
        if (s.file && leaveFilesOut) {
            text += debugCopyOmission(s.path, s.length);
        } else if (s.file) {
            writeText();
            ok = ok && copyRange(s.file->fd, s.length, fd, stop);
        } else if (s.secret) {
            text += kMaskedSecret;
        } else {
            text += s.bytes;
        }
        if (!ok) savedErrno = errno;
    }
    if (ok) {
        writeText();
        if (!ok) savedErrno = errno;
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    // Swapped in rather than renamed over: ext4 flushes a file renamed over another to disk at
    // once, which a debug copy does not deserve. The swap is as atomic for readers.
    if (ok) {
        if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
            ::unlink(temp.c_str());  // now the previous copy
            return true;
        }
        if (::rename(temp.c_str(), path.c_str()) != 0) {
            ok = false;
            savedErrno = errno;
        }
    }
    if (!ok) {
        ::unlink(temp.c_str());
        if (error) *error = savedErrno ? std::strerror(savedErrno) : "stopped or cut short";
    }
    return ok;
}

}  // namespace vorn
