#pragma once
// A multipart/form-data body kept as a list of segments: text held in memory and files read
// from disk only while the body goes out, so memory does not grow with the size of a photo or
// a movie. The bytes produced are exactly those of the form, file contents as they are on disk.

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "upload/ContentChecksum.h"
#include "upload/SentVersion.h"

namespace vorn {

inline constexpr const char* kMultipartBoundary = "0xKhTmLbOuNdArY";
// What the debug copies of a body hold in place of a secret value.
inline constexpr const char* kMaskedSecret = "********";

// Above this many bytes a debug copy keeps the text parts only; each file's bytes are replaced
// by debugCopyOmission().
inline constexpr std::uint64_t kDebugCopyFileBytesCap = 64ull * 1024 * 1024;
std::string debugCopyOmission(const std::string& path, std::uint64_t length);

// A file name made safe for filename="..." the way browsers do it: '"' -> %22, CR -> %0D,
// LF -> %0A; every other byte (UTF-8 letters included) unchanged.
std::string escapeMultipartFileName(const std::string& name);

// Content type of a file part by extension, ignoring case: png -> image/png, mov ->
// video/quicktime, anything else (jpg, jpeg, none) -> image/jpeg.
std::string contentTypeForExtension(const std::string& extension);

// One piece of a body: text held in memory, or the bytes of an open file.
struct MultipartSegment {
    struct OpenFile {
        explicit OpenFile(int f) : fd(f) {}
        ~OpenFile();
        OpenFile(const OpenFile&) = delete;
        OpenFile& operator=(const OpenFile&) = delete;
        const int fd;
    };
    std::string bytes;  // text
    bool secret = false;
    bool framing = false;                  // begins with "\r\n--" and the boundary
    std::shared_ptr<const OpenFile> file;  // file: shared with snapshots of the body
    std::string path;
    std::uint64_t length = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{};
    // The bytes of the file that went out in the current sending, from its start.
    ContentChecksum checksum;
    std::uint64_t checksummed = 0;
};

// A body as built up to some point, sharing its open files, so that a debug copy of it can be
// written later or on another thread, even after the file has been moved away.
class BodySnapshot {
  public:
    // Writes the bytes, secrets masked (file bytes left out above kDebugCopyFileBytesCap),
    // atomically (temporary file in the same folder, renamed over path) with mode 0600. Files are
    // copied in the kernel where it can, so they are never held in memory. A set stop abandons the
    // copy between chunks. False on any failure; no temporary file is left behind.
    bool writeTo(const std::string& path, std::string* error = nullptr,
                 const std::atomic<bool>* stop = nullptr) const;

  private:
    friend class MultipartBody;
    std::vector<MultipartSegment> segments_;
};

class MultipartBody {
  public:
    // BoundaryInFile: a file's bytes hold the boundary, stopped before the boundary went out.
    enum class ReadFailure { None, ReadError, FileChanged, BoundaryInFile };

    explicit MultipartBody(std::string boundary = kMultipartBoundary);
    MultipartBody(const MultipartBody&) = delete;
    MultipartBody& operator=(const MultipartBody&) = delete;

    const std::string& boundary() const { return boundary_; }
    std::string contentTypeHeaderValue() const;  // multipart/form-data; boundary=...

    // "\r\n--B\r\nContent-Disposition: form-data; name="NAME"\r\n\r\nVALUE". A secret value is
    // sent as is but masked in the debug copies. A name or value holding the boundary would end
    // its part early and forge others: the whole body then moves to a fresh random boundary.
    // File contents are looked at only while they are sent (see read).
    void addField(const std::string& name, const std::string& value, bool secret = false);

    // The part header of a file: name="FIELD"; filename="NAME", NAME being the escaped last
    // component of path, and its Content-Type line.
    void addFileHeader(const std::string& fieldName, const std::string& path,
                       const std::string& contentType);
    // The bytes of the file at path, read while the body is sent. False, and nothing added,
    // when it cannot be opened for reading as a regular file.
    bool attachFile(const std::string& path);
    // The same for a file already open for reading (checked by its opener), which the body
    // owns from now on, closing it even when it is refused; path names it.
    bool attachOpenFile(int fd, const std::string& path);
    // Both of the above.
    bool addFile(const std::string& fieldName, const std::string& path,
                 const std::string& contentType);

    // "\r\n--B--\r\n".
    void close();

    // Total number of bytes the body produces.
    std::uint64_t size() const { return size_; }

    // Streaming: copies the next bytes into buf and answers how many (0 at the end), or
    // nothing when a file could not be read to its recorded size or holds the boundary (see
    // readFailure()). File bytes are checked for the boundary, and checksummed, on their way:
    // a chunk that would complete the boundary is never handed out.
    std::optional<std::size_t> read(char* buf, std::size_t capacity);
    // Back to the first byte, to send the body (again) from its start.
    void rewind();
    ReadFailure readFailure() const { return failure_; }
    // Moves the body to a fresh random boundary that none of its text holds (after a file was
    // found to hold the current one). The size changes with it.
    void useFreshBoundary();

    // True when every file is the one that was sent: it still has the size, modification time
    // and identity it had when it was added, through the open descriptor and at its path; or
    // only those changed and the file at its path holds the very bytes sent (read once more).
    bool filesUnchanged() const;
    // The version of the index-th file (0: the first added) that went out in the last sending.
    std::optional<SentVersion> sentVersion(std::size_t index) const;
    // Paths of the files added.
    std::vector<std::string> filePaths() const;

    // The body as built so far.
    BodySnapshot snapshot() const;
    // snapshot().writeTo(path, error).
    bool writeDebugCopy(const std::string& path, std::string* error = nullptr) const;

  private:
    using Segment = MultipartSegment;
    void addBytes(std::string bytes, bool secret = false);
    void addFraming(std::string rest);
    // Moves the body to a fresh boundary when text holds the current one.
    void keepBoundaryOutOf(const std::string& text);
    void moveToBoundary(const std::string& fresh);
    // Scans and checksums bytes of the file being read, at offset_; false when they would
    // complete the boundary.
    bool passFileBytes(Segment& s, const char* bytes, std::size_t n);

    std::string boundary_;
    std::vector<Segment> segments_;
    std::uint64_t size_ = 0;
    std::size_t current_ = 0;
    std::uint64_t offset_ = 0;
    ReadFailure failure_ = ReadFailure::None;
    std::string scanTail_;  // the last bytes of the file being read, shorter than the boundary
};

}  // namespace vorn
