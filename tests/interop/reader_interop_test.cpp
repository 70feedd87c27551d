// The metadata readers on files made by tools nobody here wrote: ImageMagick draws the pixels,
// exiftool writes the Exif UserComment, Python's plistlib writes the property list. Capture
// software built on any of them must be read exactly as on our own simulator's files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "metadata/EmbeddedMetadata.h"
#include "metadata/ImageFile.h"
#include "platform/Process.h"
#include "platform/PropertyList.h"
#include "support/TempDir.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;

// Absolute paths: the convert first on PATH need not be ImageMagick.
constexpr const char* kConvert = "/usr/bin/convert";
constexpr const char* kExiftool = "/usr/bin/exiftool";
constexpr const char* kPython = "/usr/bin/python3";

// Writes a property list with plistlib. argv: kind (ascii, unicode), output file.
constexpr const char* kPlistWriter = R"PY(
import datetime, plistlib, sys
kind, out = sys.argv[1], sys.argv[2]
d = {
    "Version": "VornCapture 3.1",
    "OriginalPath": "/Volumes/Capture%20Disk/Event%201/M%C3%BCller/A%2512 50%_01.CR2",
    "KD_emailsForUpload": ["guest%d@example.com" % i for i in range(1, 7)],
    "KD_radudivInfo": {"email": "zoe@example.com", "mobile": "+1 555 0100"},
    "SittingInfoDictionary": {"firstname": "Zoe", "lastname": "O'Hara & Sons <Ltd>",
                              "sittingid": "A12", "capturetime": "2010-11-26 14:05:09"},
    "Frames": 36, "Proofed": True, "Exposure": 0.125,
    "Written": datetime.datetime(2010, 11, 26, 22, 5, 9),
    "Thumb": bytes(range(0, 256, 17)),
}
if kind == "unicode":
    d["Version"] = "Capture \u2014 \u65e5\u672c\u8a9e"
    d["SittingInfoDictionary"].update(firstname="Zo\u00eb", bgloc="Beach \U0001f30a",
                                      lastname="\u00d8deg\u00e5rd \u7530\u4e2d")
with open(out, "wb") as f:
    f.write(plistlib.dumps(d))
)PY";

// Runs a tool; the test fails with its command line when it does not succeed.
std::string run(const std::string& program, const std::vector<std::string>& args) {
    ProcessResult r = runProcess(program, args);
    std::string line = program;
    for (const auto& a : args) line += " '" + a + "'";
    EXPECT_TRUE(r.started && r.exitedNormally && r.exitStatus == 0)
        << "failed (status " << r.exitStatus << "): " << line;
    return r.standardOutput;
}

// The full comparison covers the percent-escaped OriginalPath: it must arrive unchanged.
TEST(ReaderInterop, ExiftoolCommentsInImageMagickJpegsAndPlistlibTrailersOnItsPngs) {
    const std::pair<const char*, const char*> tools[] = {
        {kConvert, "imagemagick"},
        {kExiftool, "libimage-exiftool-perl"},
        {kPython, "python3"},
    };
    for (const auto& [tool, package] : tools) {
        ASSERT_EQ(::access(tool, X_OK), 0)
            << tool << " is missing: install the Debian package " << package
            << " (scripts/install-deps.sh installs everything the tests need)";
    }
    test::TempDir dir;
    // Writes the property list with plistlib. The readers must return what it holds read on
    // its own.
    auto plist = [&dir](const std::string& kind) {
        std::string path = (dir / (kind + ".plist")).string();
        run(kPython, {"-c", kPlistWriter, kind, path});
        return path;
    };

    struct Row {
        const char* kind;
        std::vector<std::string> exiftoolOptions;
        std::string header;     // the character code exiftool must have chosen
        bool misnamed = false;  // renamed to .png afterwards: still the JPEG reader's
    };
    const std::string ascii("ASCII\0\0\0", 8), unicode("UNICODE\0", 8);
    const std::vector<Row> rows = {
        {"ascii", {"-ExifByteOrder=MM"}, ascii},
        {"unicode", {"-ExifByteOrder=II"}, unicode},
        // UTF-16 in the other byte order than the Exif block, without a byte-order mark.
        {"unicode", {"-ExifByteOrder=MM", "-ExifUnicodeByteOrder=II"}, unicode},
        {"unicode", {"-ExifByteOrder=II", "-ExifUnicodeByteOrder=MM"}, unicode},
        {"unicode", {}, unicode, true},
    };
    int n = 0;
    for (const Row& row : rows) {
        std::string options;
        for (const auto& o : row.exiftoolOptions) options += o + " ";
        SCOPED_TRACE(std::string(row.kind) + " " + options + (row.misnamed ? "misnamed" : ""));
        // Large enough that its last 2048 bytes are pixel data.
        std::string photo = (dir / ("photo" + std::to_string(n++) + ".jpg")).string();
        run(kConvert,
            {"-size", "160x120", "-seed", "7", "plasma:fractal", "-quality", "92", photo});
        EXPECT_GT(fs::file_size(photo), 2 * kVornPngMetaDataLength);
        std::vector<std::string> args{"-q", "-overwrite_original"};
        args.insert(args.end(), row.exiftoolOptions.begin(), row.exiftoolOptions.end());
        const std::string plistFile = plist(row.kind);
        args.insert(args.end(), {"-UserComment<=" + plistFile, photo});
        run(kExiftool, args);
        ASSERT_NE(test::readFile(photo).find(row.header), std::string::npos);
        if (row.misnamed) {
            fs::rename(photo, photo + ".png");
            photo += ".png";
        }
        EXPECT_FALSE(getVornMetaDataFromPng(photo));
        auto read = getVornMetaDataFromJpeg(photo);
        ASSERT_TRUE(read);
        EXPECT_EQ(read, readPropertyListFile(plistFile)) << read->description();
        EXPECT_TRUE(IsValidImageObject(photo));
    }

    // ImageMagick's PNG with a 2048-byte trailer of plistlib's text completed by blanks or, as
    // capture software may, by NUL bytes.
    const std::string plistFile = plist("unicode"), text = test::readFile(plistFile);
    ASSERT_LE(text.size(), kVornPngMetaDataLength);
    for (char filler : {' ', '\0'}) {
        SCOPED_TRACE(static_cast<int>(filler));
        const std::string png = (dir / ("trailer" + std::to_string(filler) + ".png")).string();
        run(kConvert, {"-size", "40x30", "gradient:navy-gold", "PNG24:" + png});
        std::string trailer = text;
        trailer.resize(kVornPngMetaDataLength, filler);
        test::writeFile(png, test::readFile(png) + trailer);
        auto read = getVornMetaDataFromPng(png);
        ASSERT_TRUE(read);
        EXPECT_EQ(read, readPropertyListFile(plistFile)) << read->description();
        EXPECT_TRUE(IsValidImageObject(png));  // the trailer after IEND leaves the image valid
    }
}

}  // namespace
}  // namespace vorn
