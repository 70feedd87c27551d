// The scan's image test and base id.

#include <gtest/gtest.h>

#include "MetadataFixtures.h"
#include "metadata/ImageFile.h"
#include "support/TempDir.h"

namespace vorn {
namespace {

TEST(ImageFile, ValidImagesAreRecognisedWithoutDecoding) {
    test::TempDir dir;
    const std::string jpeg = capture::makeJpeg(capture::JpegSpec{}).flatten();
    capture::JpegSpec noExif;
    noExif.exif = false;
    struct Row {
        std::string name;
        std::string bytes;
        bool valid;
    };
    const std::vector<Row> rows = {
        {"plain.jpg", jpeg, true},
        {"noexif.jpg", capture::makeJpeg(noExif).flatten(), true},
        {"photo.png", capture::makePng(capture::PngSpec{}).flatten(), true},
        // The header parses up to the frame size; the pixel data is not needed.
        {"cut-scan.jpg", jpeg.substr(0, jpeg.size() - 4), true},
        {"cut-before-frame.jpg", jpeg.substr(0, 30), false},
        {"signature-only.png", std::string("\x89PNG\r\n\x1a\n", 8), false},
        {"text.jpg", "not an image at all", false},
        {"empty.png", "", false},
        {"movie.mov",
         std::string("\0\0\0\x14"
                     "ftypqt  ",
                     12),
         false},
    };
    for (const auto& row : rows) {
        test::writeFile(dir / row.name, row.bytes);
        EXPECT_EQ(IsValidImageObject((dir / row.name).string()), row.valid) << row.name;
    }
    EXPECT_FALSE(IsValidImageObject(""));
    EXPECT_FALSE(IsValidImageObject(dir.str()));
    EXPECT_FALSE(IsValidImageObject((dir / "missing.jpg").string()));
}

TEST(ImageFile, BaseIdFromFileName) {
    const std::pair<const char*, const char*> rows[] = {
        {"/e/Smith/A12_01.jpg", "A12"},
        {"A12_01 copy.jpg", "A12"},
        {"A12 copy_2.jpg", "A12 copy"},
        {"/e/  C5_x.JPG", "C5"},
        {"/e/\xc2\xa0"
         "E7\xc2\xa0.jpg",
         "E7"},  // no-break spaces trimmed
        {"/e/a.b.c", "a.b"},
        {"/e/_lead.jpg", ""},
        {"/e/folder/", "folder"},
        {"", ""},
    };
    for (const auto& [path, id] : rows) EXPECT_EQ(getBaseIDFromFileName(path), id) << path;
}

}  // namespace
}  // namespace vorn
