#pragma once
// Shared pieces of the metadata tests: sample metadata and writing photos into a folder.

#include <string>

#include "platform/Value.h"
#include "vorn-capture-sim/CaptureWriter.h"

namespace vorn::test {

// Everything the capture software may embed, non-ASCII text and escapes included.
inline Dictionary fullMetadata(int emailCount = 6) {
    Array emails;
    for (int i = 0; i < emailCount; ++i) {
        emails.emplace_back("guest" + std::to_string(i + 1) + "@example.com");
    }
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

inline std::string writeJpeg(const std::string& path, const capture::JpegSpec& spec) {
    capture::writePhoto(path, capture::makeJpeg(spec));
    return path;
}

inline std::string writePng(const std::string& path, const capture::PngSpec& spec) {
    capture::writePhoto(path, capture::makePng(spec));
    return path;
}

inline capture::JpegSpec jpegWith(
    const Dictionary& metadata, capture::CommentCharset charset = capture::CommentCharset::Ascii) {
    capture::JpegSpec spec;
    spec.userComment = capture::metadataText(metadata);
    spec.charset = charset;
    spec.dateTimeOriginal = "2010:11:26 14:05:09";
    return spec;
}

inline capture::JpegSpec jpegWithoutExif() {
    capture::JpegSpec spec;
    spec.exif = false;
    return spec;
}

inline capture::JpegSpec jpegDated(const std::string& dateTimeOriginal) {
    capture::JpegSpec spec;
    spec.dateTimeOriginal = dateTimeOriginal;
    return spec;
}

inline capture::PngSpec pngWith(const Dictionary& metadata) {
    capture::PngSpec spec;
    spec.trailerText = capture::metadataText(metadata);
    return spec;
}

}  // namespace vorn::test
