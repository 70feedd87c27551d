// vorn-capture-sim run as a real program: the event it writes is what the uploader's readers
// expect, repeatable from a seed, and the photos decode as images.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>

#include "MetadataFixtures.h"
#include "metadata/EmbeddedMetadata.h"
#include "metadata/ImageFile.h"
#include "support/CapturedOutput.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

#ifdef VORN_HAVE_IMAGE_DECODERS
#include <jpeglib.h>
#include <png.h>

#include <csetjmp>
#endif

namespace vorn {
namespace {

const std::string kSim = std::string(VORN_BIN_DIR) + "/vorn-capture-sim";

struct SimRun {
    int status = -1;
    std::vector<std::string> lines;
};

SimRun runSim(const std::vector<std::string>& args) {
    test::ChildProcess child(kSim, args);
    SimRun run;
    while (auto line = child.readLine(std::chrono::seconds(30))) run.lines.push_back(*line);
    run.status = child.wait(std::chrono::seconds(30)).value_or(-1);
    return run;
}

// Relative path -> bytes of every file under root.
std::map<std::string, std::string> tree(const std::filesystem::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        if (e.is_regular_file()) {
            files[std::filesystem::relative(e.path(), root).string()] = test::readFile(e.path());
        }
    }
    return files;
}

#ifdef VORN_HAVE_IMAGE_DECODERS
struct JpegFailure {
    std::jmp_buf jump;
};

void jpegError(j_common_ptr info) {
    std::longjmp(static_cast<JpegFailure*>(info->client_data)->jump, 1);
}

// Decodes every pixel; false on any error or warning.
bool decodesAsJpeg(const std::string& bytes) {
    jpeg_decompress_struct info{};
    jpeg_error_mgr err{};
    JpegFailure failure;
    info.err = jpeg_std_error(&err);
    err.error_exit = jpegError;
    info.client_data = &failure;
    if (setjmp(failure.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    std::vector<unsigned char> row(info.output_width * info.output_components);
    while (info.output_scanline < info.output_height) {
        JSAMPROW r = row.data();
        jpeg_read_scanlines(&info, &r, 1);
    }
    jpeg_finish_decompress(&info);
    bool clean = err.num_warnings == 0 && info.output_width > 0;
    jpeg_destroy_decompress(&info);
    return clean;
}

bool decodesAsPng(const std::string& bytes) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return false;
    image.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
    bool ok = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr);
    // Any warning (a bad CRC in an ancillary chunk, say) ends up in the message.
    return ok && image.warning_or_error == 0;
}
#endif

TEST(CaptureSim, WritesAnEventTheReadersUnderstand) {
    test::TempDir dir;
    const auto out = (dir / "event").string();
    SimRun run = runSim({"--out",     out,        "--count",     "7",
                         "--clients", "3",        "--png-ratio", "0.5",
                         "--movies",  "--emails", "6",           "--no-metadata",
                         "2",         "--seed",   "5",           "--sitting-capturetime",
                         "--charset", "unicode",  "--size-kb",   "40"});
    ASSERT_EQ(run.status, 0);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_NE(run.lines.back().find("wrote 7 photos"), std::string::npos) << run.lines.back();

    test::CapturedOutput quiet(2);
    int photos = 0, pngs = 0, withMetadata = 0;
    std::set<std::string> clients;
    for (const auto& [rel, bytes] : tree(out)) {
        const auto path = (std::filesystem::path(out) / rel);
        SCOPED_TRACE(rel);
        ASSERT_TRUE(path.parent_path() != std::filesystem::path(out)) << "photos go into clients";
        if (path.extension() == ".mov") continue;
        ++photos;
        clients.insert(path.parent_path().filename().string());
        EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(path).replace_extension(".mov")));
        EXPECT_GE(bytes.size(), 40u * 1024);
        EXPECT_TRUE(IsValidImageObject(path.string()));
        const bool png = path.extension() == ".png";
        pngs += png;
        auto meta =
            png ? getVornMetaDataFromPng(path.string()) : getVornMetaDataFromJpeg(path.string());
        if (!meta) continue;
        ++withMetadata;
        const auto& d = *meta->asDictionary();
        ASSERT_TRUE(d.count("OriginalPath"));
        EXPECT_NE(d.at("OriginalPath").asString()->find("%20"), std::string::npos);
        const auto* sitting = d.at("SittingInfoDictionary").asDictionary();
        ASSERT_TRUE(sitting);
        EXPECT_EQ(*sitting->at("sittingid").asString(), getBaseIDFromFileName(path.string()));
        EXPECT_TRUE(sitting->count("capturetime"));
        if (!png) {
            EXPECT_EQ(d.at("KD_emailsForUpload").asArray()->size(), 6u);
            EXPECT_TRUE(d.at("KD_radudivInfo").isDictionary());
        }
#ifdef VORN_HAVE_IMAGE_DECODERS
        EXPECT_TRUE(png ? decodesAsPng(bytes) : decodesAsJpeg(bytes));
#endif
    }
    EXPECT_EQ(photos, 7);
    EXPECT_EQ(pngs, 3);  // 0.5 of 7, spread evenly
    EXPECT_EQ(withMetadata, 5);
    EXPECT_EQ(clients.size(), 3u);
}

TEST(CaptureSim, SameSeedSameFiles) {
    test::TempDir dir;
    const std::vector<std::string> common = {"--count", "5",        "--png-ratio",
                                             "0.4",     "--movies", "--quiet"};
    auto withSeed = [&](const std::string& folder, const char* seed) {
        auto args = common;
        args.insert(args.end(), {"--out", (dir / folder).string(), "--seed", seed});
        EXPECT_EQ(runSim(args).status, 0);
        return tree(dir / folder);
    };
    const auto a = withSeed("a", "9");
    EXPECT_EQ(a.size(), 10u);
    EXPECT_EQ(withSeed("b", "9"), a);
    EXPECT_NE(withSeed("c", "10"), a);
}

TEST(CaptureSim, CommandLine) {
    test::TempDir dir;
    EXPECT_EQ(runSim({"--help"}).status, 0);
    EXPECT_EQ(runSim({"--count", "2"}).status, 2) << "--out is required";
    EXPECT_EQ(runSim({"--out", dir.str(), "--bogus"}).status, 2);
    EXPECT_EQ(runSim({"--out", dir.str(), "--count", "-1"}).status, 2);
    EXPECT_EQ(runSim({"--out", dir.str(), "--png-ratio", "1.5"}).status, 2);
    EXPECT_EQ(runSim({"--out", dir.str(), "--charset", "latin1"}).status, 2);
    // More e-mail addresses than one Exif segment holds: refused, not written cut short.
    EXPECT_EQ(runSim({"--out", (dir / "big").string(), "--count", "1", "--png-ratio", "0",
                      "--emails", "5000", "--quiet"})
                  .status,
              1);
}

TEST(CaptureSim, SlowModeSpreadsTheWritesOverTheGivenTime) {
    test::TempDir dir;
    const auto start = std::chrono::steady_clock::now();
    SimRun run = runSim({"--out", dir.str(), "--count", "1", "--png-ratio", "1", "--slow", "0.4"});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(run.status, 0);
    EXPECT_GE(elapsed, std::chrono::milliseconds(350));
    ASSERT_GE(run.lines.size(), 2u);
    test::CapturedOutput quiet(2);
    EXPECT_TRUE(getVornMetaDataFromPng(run.lines.front()));
}

}  // namespace
}  // namespace vorn
