// The embedded upload metadata readers on real files: what the capture software writes comes
// back exactly, and broken or partial files give nothing. The scan's image test and base id.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <tuple>

#include "MetadataFixtures.h"
#include "metadata/CaptureDate.h"
#include "metadata/EmbeddedMetadata.h"
#include "metadata/ImageFile.h"
#include "metadata/TextCoding.h"
#include "platform/PropertyList.h"
#include "support/CapturedOutput.h"
#include "support/TempDir.h"

namespace vorn {
namespace {

using capture::CommentCharset;
using capture::ExifByteOrder;
using test::TempDir;

// Other tools' files (the interop test) pin ASCII and UTF-16 comments across byte orders and
// both trailer fillers; here also the undefined code, empty dictionaries and arrays.
TEST(EmbeddedMetadata, RoundTripsEveryKindOfMetadataInJpegAndPng) {
    const Dictionary samples[] = {
        {{"Version", "1"}, {"KD_emailsForUpload", Array{}}},
        test::fullMetadata(6),
        {{"Version", "Ünïcødé — 日本語 🌊"}, {"OriginalPath", "/tmp/Zoë"}},
        {},
    };
    const std::pair<CommentCharset, ExifByteOrder> encodings[] = {
        {CommentCharset::Ascii, ExifByteOrder::Little},
        {CommentCharset::Unicode, ExifByteOrder::Big},
        {CommentCharset::Undefined, ExifByteOrder::Little},
    };
    TempDir dir;
    test::CapturedOutput quiet(2);
    for (const Dictionary& metadata : samples) {
        SCOPED_TRACE(Value(metadata).description());
        for (const auto& [charset, order] : encodings) {
            auto recipe = test::jpegWith(metadata, charset);
            recipe.byteOrder = order;
            const auto path = test::writeJpeg((dir / "p.jpg").string(), recipe);
            EXPECT_FALSE(getVornMetaDataFromPng(path));  // the scan asks the PNG reader first
            EXPECT_EQ(getVornMetaDataFromJpeg(path), Value(metadata)) << static_cast<int>(charset);
        }
        for (auto filler : {capture::TrailerFiller::Space, capture::TrailerFiller::Nul}) {
            auto recipe = test::pngWith(metadata);
            recipe.filler = filler;
            const auto path = test::writePng((dir / "p.png").string(), recipe);
            EXPECT_EQ(getVornMetaDataFromPng(path), Value(metadata)) << static_cast<int>(filler);
        }
    }
}

// One bad file and what each reader must answer (nothing, or the dictionary it still holds).
struct BadCase {
    std::string name;
    std::string bytes;
    bool pngReads = false;
    bool jpegReads = false;
};

std::string jpegWithRawComment(const std::string& raw) {
    return capture::makeJpeg({.rawUserComment = raw}).flatten();
}

std::string pngWithBlock(std::string block) {
    block.resize(kVornPngMetaDataLength, ' ');
    return capture::makePng(capture::PngSpec{}).flatten() + block;
}

// Files whose metadata is almost right: a reader must give nothing rather than a part or a
// guess. Crashes on arbitrary bytes are the fuzz targets' to find.
TEST(EmbeddedMetadata, AlmostRightMetadataGivesNothing) {
    const Dictionary meta{{"Version", "1"}, {"OriginalPath", "/x"}};
    const std::string plist = capture::metadataText(meta);
    const std::string ascii("ASCII\0\0\0", 8);
    const auto closeTag = plist.find("</dict>");
    const std::string withNul =
        plist.substr(0, closeTag) + std::string(1, '\0') + plist.substr(closeTag);
    const std::string arrayPlist = toXmlPropertyList(Value(Array{Value(meta)}));

    std::vector<BadCase> cases = {
        {"comment is only its header", jpegWithRawComment(ascii)},
        {"comment plist with array root", jpegWithRawComment(ascii + arrayPlist)},
        {"comment not UTF-8", jpegWithRawComment(ascii + "<?xml?><plist>\xff\xfe</plist>")},
        {"comment with NUL inside", jpegWithRawComment(ascii + withNul)},
        {"comment cut UTF-16 surrogate",
         jpegWithRawComment(std::string("UNICODE\0<\0\x3d\xd8", 12))},
        // The block is the last 2048 bytes of a longer file.
        {"the block alone", pngWithBlock(plist).substr(pngWithBlock(plist).size() - 2048)},
        {"the block, then one byte", pngWithBlock(plist) + " "},
        {"png block with NUL inside", pngWithBlock(withNul)},
        {"png block NUL then more text",
         pngWithBlock(plist + std::string(10, '\0') + "<!-- tail -->")},
        {"png block not UTF-8",
         pngWithBlock(plist.substr(0, closeTag) + "\xc3\x28" + plist.substr(closeTag))},
        {"png block array root", pngWithBlock(arrayPlist)},
        // Accepted: white space, then NUL bytes after the closing tag (NUL bytes alone are the
        // round trip's), and a comment whose text ends in NUL terminators.
        {"one byte, then the block", pngWithBlock(plist).substr(pngWithBlock(plist).size() - 2049),
         true},
        {"png blanks then NULs", pngWithBlock(plist + "\n\n" + std::string(2048, '\0')), true},
        {"comment with NUL terminators", jpegWithRawComment(ascii + plist + std::string(3, '\0')),
         false, true},
    };
    TempDir dir;
    test::CapturedOutput quiet(2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto path = (dir / (c.name + ".png")).string();
        test::writeFile(path, c.bytes);
        auto png = getVornMetaDataFromPng(path);
        auto jpeg = getVornMetaDataFromJpeg(path);
        EXPECT_EQ(png.has_value(), c.pngReads);
        EXPECT_EQ(jpeg.has_value(), c.jpegReads);
        EXPECT_EQ(png.value_or(Value(meta)), Value(meta));
        EXPECT_EQ(jpeg.value_or(Value(meta)), Value(meta));
    }
}

TEST(EmbeddedMetadata, NonFilesGiveNothing) {
    TempDir dir;
    test::CapturedOutput quiet(2);
    std::filesystem::create_directory(dir / "folder.png");
    std::filesystem::create_directory(dir / "folder.jpg");
    ASSERT_EQ(::mkfifo((dir / "pipe.png").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe.jpg").c_str(), 0600), 0);
    for (const char* name :
         {"folder.png", "folder.jpg", "pipe.png", "pipe.jpg", "missing.png", "missing.jpg", ""}) {
        SCOPED_TRACE(name);
        auto path = *name ? (dir / name).string() : std::string();
        EXPECT_FALSE(getVornMetaDataFromPng(path));
        EXPECT_FALSE(getVornMetaDataFromJpeg(path));
        EXPECT_FALSE(IsValidImageObject(path));
        EXPECT_FALSE(GetInternalPictureCaptureDate(path, kExifDictionary, kExifDateTimeOriginal));
    }
}

// While the capture software is still writing, a reader sees a prefix of the file. Every prefix
// must give nothing or the complete dictionary; never part of it.
TEST(EmbeddedMetadata, PartlyWrittenPhotosNeverGiveAPartialDictionary) {
    const Dictionary meta = test::fullMetadata(3);
    const std::string jpeg = capture::makeJpeg(test::jpegWith(meta)).flatten();
    const std::string png = capture::makePng(test::pngWith(meta)).flatten();
    TempDir dir;
    test::CapturedOutput quiet(2);
    int jpegReads = 0;
    for (std::size_t n = 0; n <= jpeg.size(); n += (n < jpeg.size() - 40 ? 23 : 1)) {
        auto path = (dir / "p.jpg").string();
        test::writeFile(path, jpeg.substr(0, n));
        if (auto got = getVornMetaDataFromJpeg(path)) {
            EXPECT_EQ(*got, Value(meta)) << n;
            ++jpegReads;
        }
    }
    EXPECT_GT(jpegReads, 0);
    for (std::size_t n = 0; n <= png.size(); n += 17) {
        auto path = (dir / "p.png").string();
        test::writeFile(path, png.substr(0, n));
        EXPECT_FALSE(getVornMetaDataFromPng(path)) << n;
    }
    test::writeFile(dir / "p.png", png);
    EXPECT_EQ(getVornMetaDataFromPng((dir / "p.png").string()), Value(meta));
}

// The readers parse a photo's first bytes when its metadata lies there, and the whole file when
// it does not: other segments may come first, and the image data follows.
TEST(EmbeddedMetadata, MetadataIsReadWhereverItLiesInTheFile) {
    const Dictionary meta = test::fullMetadata(2);
    const std::string jpeg = capture::makeJpeg(test::jpegWith(meta)).flatten();
    // Application segments of 64 KB that no reader knows, between the start marker and the
    // Exif segment.
    auto padded = [&](int segments) {
        std::string unknown = "\xff\xeb\xff\xff" + std::string(0xffff - 2, 'x');
        std::string out = jpeg.substr(0, 2);
        for (int i = 0; i < segments; ++i) out += unknown;
        return out + jpeg.substr(2);
    };
    capture::JpegSpec large = test::jpegWith(meta);
    large.minimumSize = 4u << 20;
    const std::tuple<const char*, std::string, bool> rows[] = {
        {"metadata first", jpeg, true},
        {"after 64 KB of other segments", padded(1), true},
        {"after 192 KB of other segments", padded(3), true},
        {"a 4 MB photo, metadata first", capture::makeJpeg(large).flatten(), true},
        {"cut short inside the other segments", padded(3).substr(0, 150000), false},
        {"without its end marker", padded(3).substr(0, padded(3).size() - 2), true},
    };
    TempDir dir;
    test::CapturedOutput quiet(2);
    for (const auto& [what, bytes, reads] : rows) {
        SCOPED_TRACE(what);
        const std::string path = (dir / "p.jpg").string();
        test::writeFile(path, bytes);
        EXPECT_EQ(getVornMetaDataFromJpeg(path), reads ? std::optional<Value>(meta) : std::nullopt);
        EXPECT_EQ(
            GetInternalPictureCaptureDate(path, kExifDictionary, kExifDateTimeOriginal).has_value(),
            reads);
        EXPECT_EQ(IsValidImageObject(path), reads);
    }
}

TEST(ImageFile, ValidImagesAreRecognisedWithoutDecoding) {
    test::TempDir dir;
    const std::string jpeg = capture::makeJpeg(capture::JpegSpec{}).flatten();
    const std::tuple<const char*, std::string, bool> rows[] = {
        {"plain.jpg", jpeg, true},
        {"noexif.jpg", capture::makeJpeg({.exif = false}).flatten(), true},
        {"photo.png", capture::makePng(capture::PngSpec{}).flatten(), true},
        // The header parses up to the frame size; the pixel data is not needed.
        {"cut-scan.jpg", jpeg.substr(0, jpeg.size() - 4), true},
        {"cut-before-frame.jpg", jpeg.substr(0, 30), false},
        {"signature-only.png", std::string("\x89PNG\r\n\x1a\n", 8), false},
        {"text.jpg", "not an image at all", false},
        {"empty.png", "", false},
        {"movie.mov", std::string("\0\0\0\024ftypqt  ", 12), false},
    };
    for (const auto& [name, bytes, valid] : rows) {
        test::writeFile(dir / name, bytes);
        EXPECT_EQ(IsValidImageObject((dir / name).string()), valid) << name;
    }
}

TEST(ImageFile, BaseIdFromFileName) {
    const std::pair<const char*, const char*> rows[] = {
        {"/e/Smith/A12_01.jpg", "A12"},
        {"A12_01 copy.jpg", "A12"},
        {"A12 copy_2.jpg", "A12 copy"},
        {"/e/  C5_x.JPG", "C5"},
        {"/e/\302\240E7\302\240.jpg", "E7"},  // no-break spaces trimmed
        {"/e/a.b.c", "a.b"},
        {"/e/_lead.jpg", ""},
        {"/e/folder/", "folder"},
        {"", ""},
    };
    for (const auto& [path, id] : rows) EXPECT_EQ(getBaseIDFromFileName(path), id) << path;
}

std::string utf16(std::u16string_view text, bool bigEndian) {
    std::string out;
    for (char16_t c : text) {
        const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xff);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    }
    return out;
}

TEST(UserComment, Utf16InEitherByteOrder) {
    const std::string header("UNICODE\0", 8);
    const std::u16string xml = u"<?xml version=\"1.0\"?><plist><string>Zoë 田中</string></plist>";
    const std::string xmlUtf8 = "<?xml version=\"1.0\"?><plist><string>Zoë 田中</string></plist>";
    // What, the comment after its header, the Exif block's byte order big, the text.
    const std::tuple<const char*, std::string, bool, std::string> rows[] = {
        {"block order, big", utf16(xml, true), true, xmlUtf8},
        {"byte-order mark wins", "\xff\xfe" + utf16(xml, false), true, xmlUtf8},
        {"marked big-endian in a little-endian block", "\xfe\xff" + utf16(xml, true), false,
         xmlUtf8},
        {"marked big-endian, text without ASCII", "\xfe\xff" + utf16(u"田中", true), false, "田中"},
        // No zero bytes to tell the order by: the block's order.
        {"text without ASCII", utf16(u"田中", true), true, "田中"},
        {"text without ASCII, other block", utf16(u"田中", false), false, "田中"},
    };
    for (const auto& [what, payload, bigEndianBlock, expected] : rows) {
        SCOPED_TRACE(what);
        DecodedUserComment d = decodeExifUserComment(header + payload, bigEndianBlock);
        EXPECT_EQ(d.status, UserCommentStatus::Text);
        EXPECT_EQ(d.text, expected);
    }
}

}  // namespace
}  // namespace vorn
