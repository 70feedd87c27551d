#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "files/KDW_FileManager.h"
#include "files/OriginalPathResolver.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "support/TempDir.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;
using test::writeFile;
using Found = std::optional<std::string>;

constexpr const char* kOriginal = "/Volumes/Capture/Events/Prom/IMG_0042.JPG";

void useTag(int tag) {
    auto store = std::make_shared<PreferencesStore>("/nonexistent/prefs.plist");
    store->setObject(sPrefSearchPathMethodTag, Value(tag));
    Preferences::setStore(store);
}

class OriginalPath : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(fs::exists("/Volumes/Capture")) << "the tests need that path to be absent";
    }
    void TearDown() override { Preferences::setStore(previous_); }

    // A fresh R holding the given files.
    void plantR(const std::vector<std::string>& files) {
        fs::remove_all(root());
        fs::create_directories(root());
        for (const auto& f : files) writeFile(fs::path(root()) / f, f);
    }
    std::string root() const { return (tmp_ / "R").string(); }
    std::string inR(const std::string& rel) const { return root() + "/" + rel; }
    // The list the hi-res code passes: the alternate folder alone.
    Found resolve(const std::string& original) {
        const std::vector<std::string> roots{root()};
        return KDW_FileManager::doResolveOriginalPathInArrayOfPaths(original, &roots);
    }

    test::TempDir tmp_;
    std::shared_ptr<PreferencesStore> previous_ = Preferences::sharedStore();
};

TEST_F(OriginalPath, CandidateSequenceUnderTheSearchRoot) {
    struct Case {
        std::vector<std::string> copies;  // relative to R
        Found winner;
    };
    const Case cases[] = {
        {{"Volumes/Capture/Events/Prom/IMG_0042.JPG"}, "Volumes/Capture/Events/Prom/IMG_0042.JPG"},
        {{"Prom/IMG_0042.JPG", "Events/Prom/IMG_0042.JPG"}, "Events/Prom/IMG_0042.JPG"},
        {{"IMG_0042.JPG"}, std::nullopt},  // the file name alone is never tried
        {{"Events/IMG_0042.JPG", "Events/Other/IMG_0042.JPG"}, std::nullopt},
        {{"Events/Prom/img_0042.jpg"}, std::nullopt},    // names compare as the disk does
        {{"Events/Prom/IMG_0042.JPG/x"}, std::nullopt},  // a folder is no file
        // Then each visible sub-folder of R, in name order, one level only.
        {{"Disk2/Events/Prom/IMG_0042.JPG"}, "Disk2/Events/Prom/IMG_0042.JPG"},
        {{"B/Prom/IMG_0042.JPG", "A/Prom/IMG_0042.JPG"}, "A/Prom/IMG_0042.JPG"},
        {{"A/Capture/Events/Prom/IMG_0042.JPG", "Prom/IMG_0042.JPG"}, "Prom/IMG_0042.JPG"},
        {{".hidden/Events/Prom/IMG_0042.JPG"}, std::nullopt},
        {{"Disk2/Disk3/Events/Prom/IMG_0042.JPG"}, std::nullopt},
    };
    for (int tag : {2, 3}) {
        useTag(tag);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.copies.front() + " tag " + std::to_string(tag));
            plantR(c.copies);
            EXPECT_EQ(resolve(kOriginal), c.winner ? Found(inR(*c.winner)) : std::nullopt);
        }
    }
}

TEST_F(OriginalPath, TheSearchMethodTagDecidesWhatIsTried) {
    const std::string file = (tmp_ / "Capture/Events/Prom/IMG_0042.JPG").string();
    const std::string folder = (tmp_ / "Capture/Events/Prom").string();
    const std::string missing = (tmp_ / "Gone/Lost/Prom/IMG_0042.JPG").string();
    writeFile(file, "original");
    writeFile(tmp_ / "plain-file", "x");
    plantR({"Lost/Prom/IMG_0042.JPG"});
    const std::string copy = inR("Lost/Prom/IMG_0042.JPG");
    const std::vector<std::string> r{root()}, none;
    // A missing root or a file ends its own search only.
    const std::vector<std::string> unusableFirst{(tmp_ / "missing").string(),
                                                 (tmp_ / "plain-file").string(), root()};
    struct Case {
        int tag;
        std::string original;
        const std::vector<std::string>* roots;
        Found expected;
    };
    const Case cases[] = {
        {0, file, &r, std::nullopt},
        {4, missing, &r, std::nullopt},
        {1, file, nullptr, file},
        {1, folder, nullptr, folder},    // the path itself may be a folder
        {1, missing, &r, std::nullopt},  // no search under R
        {2, folder, &r, std::nullopt},   // files only
        {2, file, &r, file},             // still in place: the first candidate
        {2, missing, &r, copy},
        {2, missing, &unusableFirst, copy},
        {2, missing, &none, std::nullopt},
        {3, folder, &r, folder},
        {3, missing, &r, copy},
        {3, missing, nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("tag " + std::to_string(c.tag) + " " + c.original + " in " +
                     std::to_string(c.roots ? c.roots->size() : 0) + " roots");
        useTag(c.tag);
        EXPECT_EQ(KDW_FileManager::doResolveOriginalPathInArrayOfPaths(c.original, c.roots),
                  c.expected);
    }
    EXPECT_EQ(KDW_FileManager::doResolveOriginalPathInPath(kOriginal, std::nullopt), std::nullopt);
    EXPECT_EQ(KDW_FileManager::doResolveOriginalPathInPath(std::nullopt, root()), std::nullopt);
}

TEST_F(OriginalPath, EscapesAndUnsafePaths) {
    useTag(2);
    const std::pair<const char*, Found> escapes[] = {
        {"/a/b%20c.jpg", "/a/b c.jpg"}, {"Caf%C3%A9", "Caf\xC3\xA9"},  // UTF-8 escapes as they are
        {"Caf%8E", "Caf\xC3\xA9"},                                     // else Mac OS Roman
        {"%A5%20x", "\xE2\x80\xA2 x"},  // a run is decoded as a whole
        {"\xC3\xA9%25", "\xC3\xA9%"},   {"%", std::nullopt},          {"a%4", std::nullopt},
        {"a%g0", std::nullopt},         {"/a%00/b", std::nullopt},  // a NUL would cut the path
    };
    for (const auto& [in, out] : escapes) EXPECT_EQ(replacingPercentEscapes(in), out) << in;

    plantR({"My Events/Prom 2026/IMG_0042.JPG"});
    EXPECT_EQ(resolve("/Volumes/Capture/My%20Events/Prom%202026/IMG_0042.JPG"),
              inR("My Events/Prom 2026/IMG_0042.JPG"));
    EXPECT_EQ(resolve("/Volumes/Capture/My%20Events/Prom%zz/IMG_0042.JPG"), std::nullopt);

    // A tail that climbs out of R is not tried.
    writeFile(tmp_ / "secret/key.pem", "private");
    EXPECT_EQ(resolve("/x/../secret/key.pem"), std::nullopt);
    EXPECT_EQ(resolve("/a/b/../../secret/key.pem"), std::nullopt);
    // A FIFO is no file: reading it would hang the upload.
    fs::create_directories(fs::path(root()) / "Pipe/Fifo");
    ASSERT_EQ(::mkfifo(inR("Pipe/Fifo/IMG_9.JPG").c_str(), 0600), 0);
    EXPECT_EQ(resolve("/Volumes/Capture/Pipe/Fifo/IMG_9.JPG"), std::nullopt);
    // A path of two components is tried as it is, then the search ends.
    plantR({"IMG_0042.JPG"});
    EXPECT_EQ(KDW_FileManager::doResolveOriginalPathInPath("/IMG_0042.JPG", root()), std::nullopt);
}

// In a child whose "/" is a fresh temporary folder (chroot), so that /Volumes or /dev can be made
// without touching the machine: which folders count as volumes, and which are never searched.
// The child names each wrong answer on its standard error.
TEST(OriginalPathVolumes, RootVolumesAndSystemFoldersOnRealFolders) {
    test::TempDir root;
    writeFile(root / ".vorn-temporary-root", "");
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Nothing is made unless "/" is the temporary folder.
        if (::chdir(root.str().c_str()) != 0 || ::chroot(".") != 0 || ::chdir("/") != 0 ||
            ::access("/.vorn-temporary-root", F_OK) != 0) {
            ::_exit(77);
        }
        for (const char* dir : {"/Volumes/Backup/Events", "/Users/x", "/media/alice/USB/Events",
                                "/mnt/disk/sub", "/run/media/alice/USB/Events"})
            fs::create_directories(dir);
        writeFile("/Volumes/file", "x");
        const std::pair<const char*, bool> cases[] = {
            {"/", true},
            {"/Volumes", true},
            {"/Volumes/Backup", true},
            {"/Volumes/Backup/Events", false},
            {"/Volumes/file", false},
            {"/Users/x", false},
            {"/media/alice/USB", true},
            {"/mnt/disk", true},
            {"/run/media/alice/USB", true},
            {"/run", false},
            {"Volumes/Backup", false},  // not absolute
        };
        int wrong = 0;
        for (const auto& [path, expected] : cases) {
            if (isRootVolume(path) != expected)
                wrong += std::fprintf(stderr, "volume %s\n", path) > 0;
        }
        useTag(2);
        const std::vector<std::string> roots{"/"};
        for (const char* hidden : {"/dev", "/mach", "/mach.sym", "/Network", "/.snapshots"})
            writeFile(std::string(hidden) + "/Events/Prom/IMG_0042.JPG", "copy");
        if (auto found = KDW_FileManager::doResolveOriginalPathInArrayOfPaths(kOriginal, &roots))
            wrong += std::fprintf(stderr, "found %s\n", found->c_str()) > 0;
        writeFile("/Disk2/Events/Prom/IMG_0042.JPG", "copy");
        if (KDW_FileManager::doResolveOriginalPathInArrayOfPaths(kOriginal, &roots) !=
            "/Disk2/Events/Prom/IMG_0042.JPG") {
            wrong += std::fprintf(stderr, "not found under /Disk2\n") > 0;
        }
        ::_exit(wrong == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "needs chroot (root)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "wrong answers, listed above";
}

}  // namespace
}  // namespace vorn
