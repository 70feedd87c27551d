#include "upload/SentVersion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/FileDescriptor.h"
#include "upload/ContentChecksum.h"
#include "upload/Records.h"

namespace vorn {

std::optional<std::uint64_t> fileChecksum(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    ContentChecksum sum;
    std::vector<char> buf(1024 * 1024);
    for (;;) {
        ssize_t n = ::read(fd.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return sum.digest();
        sum.update(buf.data(), static_cast<std::size_t>(n));
    }
}

bool sameContentAsSent(const std::string& path, const SentVersion& sent) {
    std::optional<FileStamp> now = FileStamp::of(path);
    if (!now) return false;
    if (*now == sent.stamp) return true;
    if (!sent.checksum || now->size != sent.stamp.size) return false;
    return fileChecksum(path) == sent.checksum;
}

Value sentVersionValue(const SentVersion& sent) {
    Dictionary d{{"device", static_cast<std::int64_t>(sent.stamp.device)},
                 {"inode", static_cast<std::int64_t>(sent.stamp.inode)},
                 {"size", sent.stamp.size},
                 {"mtimeNs", sent.stamp.mtimeNs}};
    if (sent.checksum) {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(*sent.checksum));
        d["checksum"] = std::string(hex);
    }
    return Value(std::move(d));
}

std::optional<SentVersion> sentVersionOf(const Dictionary& result) {
    auto it = result.find(httpSentVersion);
    const Dictionary* d = it == result.end() ? nullptr : it->second.asDictionary();
    if (!d) return std::nullopt;
    auto number = [&](const char* key) -> std::optional<std::int64_t> {
        auto v = d->find(key);
        if (v == d->end() || v->second.type() != Value::Type::Integer) return std::nullopt;
        return v->second.integerValue();
    };
    auto device = number("device"), inode = number("inode"), size = number("size"),
         mtime = number("mtimeNs");
    if (!device || !inode || !size || !mtime) return std::nullopt;
    SentVersion sent;
    sent.stamp = FileStamp{static_cast<std::uint64_t>(*device), static_cast<std::uint64_t>(*inode),
                           *size, *mtime};
    if (const std::string* hex = stringForKey(*d, "checksum")) {
        char* end = nullptr;
        errno = 0;
        unsigned long long v = std::strtoull(hex->c_str(), &end, 16);
        if (hex->size() != 16 || errno != 0 || *end != '\0') return std::nullopt;
        sent.checksum = v;
    }
    return sent;
}

}  // namespace vorn
