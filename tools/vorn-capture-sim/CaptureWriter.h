#pragma once
// Photos as the capture software writes them: a small baseline JPEG whose Exif segment carries
// the upload metadata in UserComment (and the camera date in DateTimeOriginal), or a PNG whose
// last 2048 bytes hold the metadata. Used by vorn-capture-sim and by tests that need real files.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace vorn::capture {

inline constexpr std::size_t kPngTrailerLength = 2048;

// A photo's bytes: head, then a run of zero bytes (a hole in the file where possible), then
// tail. Large photos stay cheap to build and to write.
struct PhotoBytes {
    std::string head;
    std::uint64_t zeros = 0;
    std::string tail;

    std::uint64_t size() const { return head.size() + zeros + tail.size(); }
    std::string flatten() const;  // the whole file in memory (small photos only)
};

// The 8-byte character code that Exif puts ahead of UserComment text.
enum class CommentCharset {
    Ascii,      // "ASCII\0\0\0", text as UTF-8 bytes
    Unicode,    // "UNICODE\0", UTF-16 in the byte order of the Exif block
    Undefined,  // eight NUL bytes, text as UTF-8 bytes
};

enum class ExifByteOrder { Little, Big };

struct JpegSpec {
    bool exif = true;                        // false: no APP1 Exif segment at all
    std::optional<std::string> userComment;  // UTF-8 text; nothing = no UserComment tag
    CommentCharset charset = CommentCharset::Ascii;
    std::optional<std::string> rawUserComment;    // exact tag bytes (header included); wins
    std::optional<std::string> dateTimeOriginal;  // "YYYY:MM:DD HH:MM:SS"
    ExifByteOrder byteOrder = ExifByteOrder::Little;
    std::uint64_t minimumSize = 0;  // zero bytes after the end-of-image marker up to this size
};

// Throws std::length_error when the Exif block does not fit one JPEG segment (64 KB).
PhotoBytes makeJpeg(const JpegSpec& recipe);

enum class TrailerFiller { Space, Nul };

struct PngSpec {
    // Metadata text for the last 2048 bytes, completed with filler; nothing = no trailer.
    std::optional<std::string> trailerText;
    TrailerFiller filler = TrailerFiller::Space;
    std::uint64_t minimumSize = 0;  // a private ancillary chunk of zeros before IEND pads to it
    std::uint32_t width = 8, height = 8;
    std::uint8_t shade = 0x80;  // base grey of the gradient drawn
};

// Throws std::length_error when the trailer text is longer than 2048 bytes.
PhotoBytes makePng(const PngSpec& recipe);

// The metadata as the capture software embeds it: an XML property list of the dictionary.
std::string metadataText(const Dictionary& metadata);

struct WriteOptions {
    double slowSeconds = 0;  // > 0: write in pieces spread over this many seconds
    int pieces = 8;
};

// Writes the photo at path (parent folders created). Zero runs become holes unless the write
// is slow. Throws std::system_error.
void writePhoto(const std::string& path, const PhotoBytes& bytes, const WriteOptions& options = {});

// ---- whole events ----

struct EventOptions {
    std::string outDir;
    int count = 4;
    int clients = 2;
    double pngRatio = 0.25;  // share of photos written as PNG, spread evenly
    bool movies = false;
    std::uint64_t movieBytes = 16 * 1024;
    int emails = 1;
    int noMetadata = 0;  // the last this many photos carry no upload metadata
    std::uint64_t sizeKb = 0;
    double slowSeconds = 0;
    std::uint64_t seed = 1;
    bool contact = true;
    bool sitting = true;
    bool sittingCaptureTime = false;
    bool exifDate = true;
    CommentCharset charset = CommentCharset::Ascii;
    TrailerFiller pngFiller = TrailerFiller::Space;
    std::string firstDate = "2010:11:26 14:05:09";  // DateTimeOriginal of the first photo
    std::string version = "VornCapture 3.1";
};

struct WrittenPhoto {
    std::string path;
    std::string client;
    bool png = false;
    std::optional<Dictionary> metadata;  // what was embedded
    std::optional<std::string> dateTimeOriginal;
    std::optional<std::string> moviePath;
    std::uint64_t bytes = 0;
};

// Writes the event; progress is called after each photo. Throws std::invalid_argument for bad
// options, std::length_error for metadata that does not fit, std::system_error for I/O.
std::vector<WrittenPhoto> writeEvent(const EventOptions& options,
                                     const std::function<void(const WrittenPhoto&)>& progress = {});

}  // namespace vorn::capture
