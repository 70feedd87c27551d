#include "vorn-capture-sim/CaptureWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/PropertyList.h"

namespace vorn::capture {
namespace {

// ---- bytes ----

void put16(std::string& out, std::uint32_t v, bool big) {
    if (big) {
        out += static_cast<char>((v >> 8) & 0xff);
        out += static_cast<char>(v & 0xff);
    } else {
        out += static_cast<char>(v & 0xff);
        out += static_cast<char>((v >> 8) & 0xff);
    }
}

void put32(std::string& out, std::uint32_t v, bool big) {
    if (big) {
        put16(out, v >> 16, true);
        put16(out, v & 0xffff, true);
    } else {
        put16(out, v & 0xffff, false);
        put16(out, v >> 16, false);
    }
}

// UTF-8 to UTF-16 code units; malformed bytes become U+FFFD.
std::u16string utf16FromUtf8(const std::string& s) {
    std::u16string out;
    std::size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        std::uint32_t cp = 0xfffd;
        std::size_t len = c < 0x80         ? 1
                          : (c >> 5) == 6  ? 2
                          : (c >> 4) == 14 ? 3
                          : (c >> 3) == 30 ? 4
                                           : 0;
        if (len == 0 || i + len > s.size()) {
            ++i;
        } else {
            cp = len == 1 ? c : c & (0x7f >> len);
            for (std::size_t k = 1; k < len; ++k) {
                cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3f);
            }
            i += len;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xd800 + (cp >> 10));
            out += static_cast<char16_t>(0xdc00 + (cp & 0x3ff));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string userCommentBytes(const JpegSpec& recipe) {
    if (recipe.rawUserComment) return *recipe.rawUserComment;
    const std::string& text = *recipe.userComment;
    switch (recipe.charset) {
        case CommentCharset::Ascii:
            return std::string("ASCII\0\0\0", 8) + text;
        case CommentCharset::Undefined:
            return std::string(8, '\0') + text;
        case CommentCharset::Unicode: {
            std::string out("UNICODE\0", 8);
            for (char16_t u : utf16FromUtf8(text)) {
                put16(out, u, recipe.byteOrder == ExifByteOrder::Big);
            }
            return out;
        }
    }
    return {};
}

// The TIFF structure inside the Exif segment: IFD0 pointing to the Exif IFD, which holds
// ExifVersion, DateTimeOriginal and UserComment.
std::string exifBlock(const JpegSpec& recipe) {
    const bool big = recipe.byteOrder == ExifByteOrder::Big;
    struct Entry {
        std::uint16_t tag, type;
        std::string bytes;
    };
    std::vector<Entry> entries;
    entries.push_back({0x9000, 7, "0230"});
    if (recipe.dateTimeOriginal) {
        entries.push_back({0x9003, 2, *recipe.dateTimeOriginal + std::string(1, '\0')});
    }
    if (recipe.userComment || recipe.rawUserComment) {
        entries.push_back({0x9286, 7, userCommentBytes(recipe)});
    }

    std::string tiff = big ? std::string("MM\0\x2a", 4) : std::string("II\x2a\0", 4);
    put32(tiff, 8, big);
    const std::uint32_t exifIfd = 8 + 2 + 12 + 4;
    put16(tiff, 1, big);
    put16(tiff, 0x8769, big);
    put16(tiff, 4, big);
    put32(tiff, 1, big);
    put32(tiff, exifIfd, big);
    put32(tiff, 0, big);

    std::uint32_t dataOffset = exifIfd + 2 + 12 * static_cast<std::uint32_t>(entries.size()) + 4;
    std::string data;
    put16(tiff, static_cast<std::uint32_t>(entries.size()), big);
    for (const auto& e : entries) {
        put16(tiff, e.tag, big);
        put16(tiff, e.type, big);
        put32(tiff, static_cast<std::uint32_t>(e.bytes.size()), big);
        if (e.bytes.size() <= 4) {
            std::string inl = e.bytes;
            inl.resize(4, '\0');
            tiff += inl;
        } else {
            put32(tiff, dataOffset + static_cast<std::uint32_t>(data.size()), big);
            data += e.bytes;
            if (data.size() % 2) data += '\0';
        }
    }
    put32(tiff, 0, big);
    return tiff + data;
}

// A baseline greyscale 8x8 JPEG: one flat block, DC and AC tables with one code each.
std::string jpegBody() {
    std::string j;
    j += "\xff\xdb";
    j += std::string("\x00\x43\x00", 3);
    j += std::string(64, '\x01');
    j += std::string("\xff\xc0\x00\x0b\x08\x00\x08\x00\x08\x01\x01\x11\x00", 13);
    for (char tableClass : {'\x00', '\x10'}) {
        j += std::string("\xff\xc4\x00\x14", 4);
        j += tableClass;
        j += '\x01';
        j += std::string(15, '\0');
        j += '\0';
    }
    j += std::string("\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00", 10);
    j += '\x3f';  // DC difference 0, end of block, padded with ones
    j += "\xff\xd9";
    return j;
}

// ---- PNG ----

const std::array<std::uint32_t, 256>& crcTable() {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    return table;
}

std::uint32_t crcUpdate(std::uint32_t crc, const std::string& bytes) {
    const auto& t = crcTable();
    for (unsigned char b : bytes) crc = t[(crc ^ b) & 0xff] ^ (crc >> 8);
    return crc;
}

std::uint32_t crcZeros(std::uint32_t crc, std::uint64_t n) {
    const auto& t = crcTable();
    for (std::uint64_t i = 0; i < n; ++i) crc = t[crc & 0xff] ^ (crc >> 8);
    return crc;
}

std::string pngChunk(const char* type, const std::string& data) {
    std::string out;
    put32(out, static_cast<std::uint32_t>(data.size()), true);
    std::string typed = std::string(type, 4) + data;
    out += typed;
    put32(out, crcUpdate(0xffffffffu, typed) ^ 0xffffffffu, true);
    return out;
}

std::string zlibStored(const std::string& raw) {
    std::string out("\x78\x01", 2);
    std::size_t pos = 0;
    do {
        std::size_t n = std::min<std::size_t>(raw.size() - pos, 65535);
        bool last = pos + n == raw.size();
        out += static_cast<char>(last ? 1 : 0);
        put16(out, static_cast<std::uint32_t>(n), false);
        put16(out, static_cast<std::uint32_t>(~n & 0xffff), false);
        out.append(raw, pos, n);
        pos += n;
    } while (pos < raw.size());
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    put32(out, (b << 16) | a, true);
    return out;
}

// ---- event content ----

const std::vector<std::string> kClientNames = {"Smith",    "Müller", "Nguyen", "García",  "O'Brien",
                                               "Kowalski", "Tanaka", "Dubois", "Ødegård", "Petrov"};
const std::vector<std::string> kFirstNames = {"Zoë",   "José",    "Åsa",    "Chloé", "Anna",
                                              "Mateo", "Siobhán", "Jürgen", "Ling",  "Noah"};
const std::vector<std::string> kBackgrounds = {"Studio A — White", "Beach 🌊 Backdrop", "Garden",
                                               "Pool Deck"};

std::string percentEscape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// "YYYY:MM:DD HH:MM:SS" plus minutes, in the same form (calendar arithmetic without zones).
std::optional<std::string> addMinutes(const std::string& exifDate, int minutes) {
    std::tm tm{};
    if (std::sscanf(exifDate.c_str(), "%4d:%2d:%2d %2d:%2d:%2d", &tm.tm_year, &tm.tm_mon,
                    &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6) {
        return std::nullopt;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    std::time_t t = timegm(&tm) + static_cast<std::time_t>(minutes) * 60;
    std::tm out{};
    gmtime_r(&t, &out);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y:%m:%d %H:%M:%S", &out);
    return std::string(buf);
}

struct Naming {
    std::string client;
    std::string baseId;
};

Naming clientNaming(const EventOptions& o, int client) {
    const auto n = kClientNames.size();
    std::string name = kClientNames[(o.seed + static_cast<std::uint64_t>(client)) % n];
    if (static_cast<std::size_t>(client) >= n) name += " " + std::to_string(client / n + 1);
    std::string id(1, static_cast<char>('A' + (o.seed + static_cast<std::uint64_t>(client)) % 26));
    id += std::to_string(10 + client);
    return {name, id};
}

Dictionary photoMetadata(const EventOptions& o, std::mt19937_64& rng, const Naming& naming,
                         const std::string& stem, const std::string& exifDate, bool png) {
    Dictionary d;
    d["Version"] = o.version;
    d["OriginalPath"] = "/Volumes/Capture%20Disk/Event%20" + std::to_string(o.seed) + "/" +
                        percentEscape(naming.client) + "/" + stem + ".CR2";
    Array emails;
    for (int k = 0; k < o.emails; ++k) {
        emails.emplace_back("guest" + std::to_string(k + 1) + "." + lower(stem) + "@example.com");
    }
    std::string firstEmail =
        o.emails > 0 ? *emails.front().asString() : "family." + lower(stem) + "@example.com";
    if (!png) {
        d["KD_emailsForUpload"] = emails;
        if (o.contact) {
            char mobile[32];
            std::snprintf(mobile, sizeof mobile, "+1 555 01%02u",
                          static_cast<unsigned>(rng() % 100));
            d["KD_radudivInfo"] = Dictionary{{"email", firstEmail}, {"mobile", mobile}};
        }
    }
    if (o.sitting) {
        char zip[8];
        std::snprintf(zip, sizeof zip, "%05u", static_cast<unsigned>(rng() % 100000));
        Dictionary s{{"firstname", kFirstNames[rng() % kFirstNames.size()]},
                     {"lastname", naming.client},
                     {"zip", zip},
                     {"age", std::to_string(3 + rng() % 78)},
                     {"email", firstEmail},
                     {"sittingid", naming.baseId},
                     {"bgloc", kBackgrounds[rng() % kBackgrounds.size()]}};
        if (o.sittingCaptureTime) {
            std::string t = exifDate;
            t[4] = '-';
            t[7] = '-';
            s["capturetime"] = t;
        }
        d["SittingInfoDictionary"] = s;
    }
    return d;
}

void writeAll(int fd, const char* p, std::size_t n, const std::string& path) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "write " + path);
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

// Bytes [from, from + n) of the photo.
void appendRange(const PhotoBytes& b, std::uint64_t from, std::uint64_t n, std::string& out) {
    const std::uint64_t zerosEnd = b.head.size() + b.zeros;
    for (std::uint64_t pos = from; pos < from + n;) {
        std::uint64_t left = from + n - pos;
        if (pos < b.head.size()) {
            auto k = std::min<std::uint64_t>(left, b.head.size() - pos);
            out.append(b.head, pos, k);
            pos += k;
        } else if (pos < zerosEnd) {
            auto k = std::min<std::uint64_t>(left, zerosEnd - pos);
            out.append(k, '\0');
            pos += k;
        } else {
            auto k = std::min<std::uint64_t>(left, b.size() - pos);
            out.append(b.tail, pos - zerosEnd, k);
            pos += k;
        }
    }
}

}  // namespace

std::string PhotoBytes::flatten() const {
    std::string out;
    out.reserve(size());
    appendRange(*this, 0, size(), out);
    return out;
}

PhotoBytes makeJpeg(const JpegSpec& recipe) {
    PhotoBytes out;
    out.head = "\xff\xd8";
    if (recipe.exif) {
        std::string payload = std::string("Exif\0\0", 6) + exifBlock(recipe);
        if (payload.size() + 2 > 0xffff) {
            throw std::length_error("metadata too long for one Exif segment (" +
                                    std::to_string(payload.size()) + " bytes)");
        }
        out.head += "\xff\xe1";
        put16(out.head, static_cast<std::uint32_t>(payload.size() + 2), true);
        out.head += payload;
    }
    out.head += jpegBody();
    if (recipe.minimumSize > out.head.size()) out.zeros = recipe.minimumSize - out.head.size();
    return out;
}

PhotoBytes makePng(const PngSpec& recipe) {
    std::string trailer;
    if (recipe.trailerText) {
        if (recipe.trailerText->size() > kPngTrailerLength) {
            throw std::length_error("metadata too long for the PNG trailer (" +
                                    std::to_string(recipe.trailerText->size()) + " bytes)");
        }
        trailer = *recipe.trailerText;
        const std::size_t fill = kPngTrailerLength - trailer.size();
        if (recipe.filler == TrailerFiller::Nul) {
            trailer.append(fill, '\0');
        } else {
            for (std::size_t k = 0; k < fill; ++k) trailer += (k % 64 == 63) ? '\n' : ' ';
        }
    }

    std::string ihdr;
    put32(ihdr, recipe.width, true);
    put32(ihdr, recipe.height, true);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
    std::string raw;
    for (std::uint32_t y = 0; y < recipe.height; ++y) {
        raw += '\0';
        for (std::uint32_t x = 0; x < recipe.width; ++x) {
            raw += static_cast<char>(recipe.shade + x * 8);
            raw += static_cast<char>(recipe.shade + y * 8);
            raw += static_cast<char>(recipe.shade);
        }
    }

    PhotoBytes out;
    out.head = std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) +
               pngChunk("IDAT", zlibStored(raw));
    std::string end = pngChunk("IEND", "") + trailer;
    const std::uint64_t plain = out.head.size() + end.size();
    if (recipe.minimumSize > plain) {
        // Padding chunk: ancillary, private, safe to copy; data all zeros.
        std::uint64_t n = recipe.minimumSize > plain + 12 ? recipe.minimumSize - plain - 12 : 0;
        if (n > 0x7fffffffu) throw std::length_error("PNG padding too large");
        put32(out.head, static_cast<std::uint32_t>(n), true);
        out.head += "vpAd";
        out.zeros = n;
        std::uint32_t crc = crcZeros(crcUpdate(0xffffffffu, "vpAd"), n) ^ 0xffffffffu;
        put32(out.tail, crc, true);
    }
    out.tail += end;
    return out;
}

std::string metadataText(const Dictionary& metadata) {
    return toXmlPropertyList(Value(metadata));
}

void writePhoto(const std::string& path, const PhotoBytes& bytes, const WriteOptions& options) {
    std::filesystem::path p(path);
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "open " + path);
    try {
        if (options.slowSeconds <= 0) {
            writeAll(fd, bytes.head.data(), bytes.head.size(), path);
            if (bytes.zeros > 0) {
                if (::lseek(fd, static_cast<off_t>(bytes.zeros), SEEK_CUR) < 0) {
                    throw std::system_error(errno, std::generic_category(), "seek " + path);
                }
            }
            writeAll(fd, bytes.tail.data(), bytes.tail.size(), path);
            if (::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) {
                throw std::system_error(errno, std::generic_category(), "truncate " + path);
            }
        } else {
            const int pieces = std::max(1, options.pieces);
            const std::uint64_t total = bytes.size();
            const auto pause = std::chrono::duration<double>(options.slowSeconds / pieces);
            std::uint64_t written = 0;
            for (int k = 1; k <= pieces; ++k) {
                std::uint64_t upTo = total * static_cast<std::uint64_t>(k) / pieces;
                while (written < upTo) {
                    std::string chunk;
                    appendRange(bytes, written, std::min<std::uint64_t>(upTo - written, 1 << 20),
                                chunk);
                    writeAll(fd, chunk.data(), chunk.size(), path);
                    written += chunk.size();
                }
                std::this_thread::sleep_for(pause);
            }
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0) throw std::system_error(errno, std::generic_category(), "close " + path);
}

std::vector<WrittenPhoto> writeEvent(const EventOptions& o,
                                     const std::function<void(const WrittenPhoto&)>& progress) {
    if (o.outDir.empty()) throw std::invalid_argument("no output folder");
    if (o.count < 0 || o.clients < 1 || o.emails < 0 || o.noMetadata < 0) {
        throw std::invalid_argument("counts must not be negative and clients at least 1");
    }
    if (!(o.pngRatio >= 0 && o.pngRatio <= 1)) {
        throw std::invalid_argument("png ratio must lie between 0 and 1");
    }
    if (!addMinutes(o.firstDate, 0)) {
        throw std::invalid_argument("first date must read YYYY:MM:DD HH:MM:SS");
    }

    std::mt19937_64 rng(o.seed);
    std::vector<WrittenPhoto> written;
    for (int i = 0; i < o.count; ++i) {
        const int client = i % o.clients;
        const Naming naming = clientNaming(o, client);
        char stem[64];
        std::snprintf(stem, sizeof stem, "%s_%02d", naming.baseId.c_str(), i / o.clients + 1);
        // Even spread: photo i is a PNG when the running share crosses a whole number.
        const bool png =
            static_cast<long>((i + 1) * o.pngRatio) > static_cast<long>(i * o.pngRatio);
        const bool withMetadata = i < o.count - o.noMetadata;
        const std::string date = *addMinutes(o.firstDate, i);

        WrittenPhoto photo;
        photo.client = naming.client;
        photo.png = png;
        photo.path = (std::filesystem::path(o.outDir) / naming.client /
                      (std::string(stem) + (png ? ".png" : ".jpg")))
                         .string();
        Dictionary meta = photoMetadata(o, rng, naming, stem, date, png);
        if (withMetadata) photo.metadata = meta;

        PhotoBytes bytes;
        if (png) {
            PngSpec recipe;
            if (withMetadata) recipe.trailerText = metadataText(meta);
            recipe.filler = o.pngFiller;
            recipe.minimumSize = o.sizeKb * 1024;
            recipe.shade = static_cast<std::uint8_t>(0x40 + rng() % 0x40);
            bytes = makePng(recipe);
        } else {
            JpegSpec recipe;
            if (withMetadata) recipe.userComment = metadataText(meta);
            recipe.charset = o.charset;
            if (o.exifDate) {
                recipe.dateTimeOriginal = date;
                photo.dateTimeOriginal = date;
            }
            recipe.minimumSize = o.sizeKb * 1024;
            bytes = makeJpeg(recipe);
        }
        writePhoto(photo.path, bytes, WriteOptions{o.slowSeconds, 8});
        photo.bytes = bytes.size();

        if (o.movies) {
            PhotoBytes movie;
            movie.head = std::string(
                "\0\0\0\x14"
                "ftypqt  \0\0\0\0qt  ",
                20);
            while (movie.head.size() < o.movieBytes) movie.head += static_cast<char>(rng() & 0xff);
            movie.head.resize(std::max<std::uint64_t>(o.movieBytes, 0));
            photo.moviePath =
                (std::filesystem::path(photo.path).replace_extension(".mov")).string();
            writePhoto(*photo.moviePath, movie);
        }
        if (progress) progress(photo);
        written.push_back(std::move(photo));
    }
    return written;
}

}  // namespace vorn::capture
