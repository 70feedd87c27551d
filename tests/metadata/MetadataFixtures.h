#pragma once
// Shared pieces of the metadata tests: sample metadata and writing photos into a folder.

#include <string>

#include "platform/Value.h"
#include "vorn-capture-sim/CaptureWriter.h"

namespace vorn::test {

// Everything the capture software may embed, non-ASCII text and escapes included.
inline Dictionary fullMetadata(int emailCount = 6) {
    Array emails;
    for (int i = 0; i < emailCount; ++i)
        emails.emplace_back("guest" + std::to_string(i + 1) + "@example.com");
    return Dictionary{
        {"Version", "VornCapture 3.1"},
        {"OriginalPath", "/Volumes/Capture%20Disk/Event%201/M%C3%BCller/A12_01.CR2"},
        {"KD_emailsForUpload", emails},
        {"KD_radudivInfo", Dictionary{{"email", "zoe@example.com"}, {"mobile", "+1 555 0100"}}},
        {"SittingInfoDictionary", Dictionary{{"firstname", "Zoë"},
                                             {"lastname", "Ødegård 田中"},
                                             {"zip", "02134"},
                                             {"age", "7"},
                                             {"email", "zoe@example.com"},
                                             {"sittingid", "A12"},
                                             {"bgloc", "Beach 🌊 <Backdrop> & \"Sun\""},
                                             {"capturetime", "2010-11-26 14:05:09"}}},
    };
}

inline std::string writeJpeg(const std::string& path, const capture::JpegSpec& recipe) {
    capture::writePhoto(path, capture::makeJpeg(recipe));
    return path;
}

inline std::string writePng(const std::string& path, const capture::PngSpec& recipe) {
    capture::writePhoto(path, capture::makePng(recipe));
    return path;
}

inline capture::JpegSpec jpegWith(
    const Dictionary& metadata, capture::CommentCharset charset = capture::CommentCharset::Ascii) {
    return {.userComment = capture::metadataText(metadata),
            .charset = charset,
            .dateTimeOriginal = "2010:11:26 14:05:09"};
}

inline capture::PngSpec pngWith(const Dictionary& metadata) {
    return {.trailerText = capture::metadataText(metadata)};
}

}  // namespace vorn::test
