// vorn-capture-sim: writes an event's photos into client sub-folders the way the capture
// software does, with the upload metadata embedded.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "vorn-capture-sim/CaptureWriter.h"

namespace {

const char* kUsage =
    "usage: vorn-capture-sim --out DIR [options]\n"
    "\n"
    "Writes JPEG and PNG photos with embedded upload metadata into client sub-folders of DIR.\n"
    "\n"
    "  --out DIR              folder to write into (created when missing)\n"
    "  --count N              number of photos (default 4)\n"
    "  --clients K            number of client sub-folders (default 2)\n"
    "  --png-ratio R          share of photos written as PNG, 0..1 (default 0.25)\n"
    "  --movies               write a companion .mov beside every photo\n"
    "  --movie-kb KB          size of each movie (default 16)\n"
    "  --emails N             e-mail addresses per JPEG (default 1)\n"
    "  --no-metadata N        the last N photos carry no upload metadata\n"
    "  --no-contact           leave out the contact details\n"
    "  --no-sitting           leave out the sitting details\n"
    "  --sitting-capturetime  put a capturetime into the sitting details\n"
    "  --no-exif-date         leave out DateTimeOriginal\n"
    "  --date 'Y:M:D h:m:s'   DateTimeOriginal of the first photo (one minute apart after it)\n"
    "  --charset ascii|unicode|undefined  character code of the UserComment (default ascii)\n"
    "  --png-filler space|nul filler after the PNG metadata (default space)\n"
    "  --size-kb KB           pad every photo to at least KB kilobytes\n"
    "  --slow SECONDS         write each photo in pieces spread over SECONDS\n"
    "  --seed S               seed for names and contents (default 1; same seed, same files)\n"
    "  --quiet                print only the summary\n"
    "  --help                 this text\n"
    "  --version              the version\n"
    "Options that take a value accept --opt=value and --opt value.\n";

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "vorn-capture-sim: %s\n%s", message.c_str(),
                 "try 'vorn-capture-sim --help'\n");
    std::exit(2);
}

long long integerArg(const char* name, const char* text, long long min) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (errno || end == text || *end || v < min) {
        fail(std::string("bad value for ") + name + ": " + text);
    }
    return v;
}

double realArg(const char* name, const char* text) {
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end || !(v >= 0)) fail(std::string("bad value for ") + name + ": " + text);
    return v;
}

vorn::capture::CommentCharset charsetArg(std::string_view c) {
    using vorn::capture::CommentCharset;
    if (c == "ascii") return CommentCharset::Ascii;
    if (c == "unicode") return CommentCharset::Unicode;
    if (c != "undefined") fail("--charset takes ascii, unicode or undefined");
    return CommentCharset::Undefined;
}

vorn::capture::TrailerFiller fillerArg(std::string_view f) {
    using vorn::capture::TrailerFiller;
    if (f == "space") return TrailerFiller::Space;
    if (f != "nul") fail("--png-filler takes space or nul");
    return TrailerFiller::Nul;
}

// False when --help or --version was answered.
bool parseArguments(int argc, char** argv, vorn::capture::EventOptions& o, bool& quiet) {
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        // --opt=value is --opt value.
        std::string inlineValue;
        bool hasInline = false;
        if (std::size_t eq = a.find('='); a.substr(0, 2) == "--" && eq != std::string_view::npos) {
            inlineValue = std::string(a.substr(eq + 1));
            a = a.substr(0, eq);
            hasInline = true;
        }
        auto value = [&]() -> const char* {
            if (hasInline) return inlineValue.c_str();
            if (i + 1 >= argc) fail(std::string("missing value after ") + argv[i]);
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return false;
        } else if (a == "--version") {
            std::printf("vorn-capture-sim %s\n", VORN_VERSION);
            return false;
        } else if (a == "--out") {
            o.outDir = value();
        } else if (a == "--count") {
            o.count = static_cast<int>(integerArg("--count", value(), 0));
        } else if (a == "--clients") {
            o.clients = static_cast<int>(integerArg("--clients", value(), 1));
        } else if (a == "--png-ratio") {
            o.pngRatio = realArg("--png-ratio", value());
            if (o.pngRatio > 1) fail("--png-ratio must lie between 0 and 1");
        } else if (a == "--movies") {
            o.movies = true;
        } else if (a == "--movie-kb") {
            o.movieBytes = static_cast<std::uint64_t>(integerArg("--movie-kb", value(), 0)) * 1024;
        } else if (a == "--emails") {
            o.emails = static_cast<int>(integerArg("--emails", value(), 0));
        } else if (a == "--no-metadata") {
            o.noMetadata = static_cast<int>(integerArg("--no-metadata", value(), 0));
        } else if (a == "--no-contact") {
            o.contact = false;
        } else if (a == "--no-sitting") {
            o.sitting = false;
        } else if (a == "--sitting-capturetime") {
            o.sittingCaptureTime = true;
        } else if (a == "--no-exif-date") {
            o.exifDate = false;
        } else if (a == "--date") {
            o.firstDate = value();
        } else if (a == "--charset") {
            o.charset = charsetArg(value());
        } else if (a == "--png-filler") {
            o.pngFiller = fillerArg(value());
        } else if (a == "--size-kb") {
            o.sizeKb = static_cast<std::uint64_t>(integerArg("--size-kb", value(), 0));
        } else if (a == "--slow") {
            o.slowSeconds = realArg("--slow", value());
        } else if (a == "--seed") {
            o.seed = static_cast<std::uint64_t>(integerArg("--seed", value(), 0));
        } else if (a == "--quiet") {
            quiet = true;
        } else {
            fail("unknown option " + std::string(a));
        }
    }
    if (o.outDir.empty()) fail("--out DIR is required");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vorn::capture;
    EventOptions o;
    bool quiet = false;
    if (!parseArguments(argc, argv, o, quiet)) return 0;

    int jpegs = 0, pngs = 0, bare = 0, movies = 0;
    std::uint64_t total = 0;
    try {
        writeEvent(o, [&](const WrittenPhoto& p) {
            (p.png ? pngs : jpegs)++;
            if (!p.metadata) ++bare;
            if (p.moviePath) ++movies;
            total += p.bytes;
            if (!quiet) std::printf("%s\n", p.path.c_str());
            std::fflush(stdout);
        });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vorn-capture-sim: %s\n", e.what());
        return 1;
    }
    std::printf(
        "vorn-capture-sim: wrote %d photos (%d JPEG, %d PNG, %d without metadata), %d movies, "
        "%d clients, %.1f KB into %s\n",
        jpegs + pngs, jpegs, pngs, bare, movies, o.clients, static_cast<double>(total) / 1024.0,
        o.outDir.c_str());
    return 0;
}
