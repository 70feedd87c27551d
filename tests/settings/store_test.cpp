#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/AtomicFile.h"
#include "platform/PropertyList.h"
#include "settings/PreferencesStore.h"
#include "settings/StoreLock.h"
#include "support/CapturedOutput.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

using namespace vorn;
using vorn::test::CapturedOutput;
using vorn::test::readFile;
using vorn::test::TempDir;
using vorn::test::writeFile;
namespace fs = std::filesystem;

namespace {

mode_t modeOf(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

// How many names the folder holds: a failed write leaves no temporary behind.
long entries(const fs::path& dir) {
    return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
}

std::string plist(const Dictionary& d) {
    return toXmlPropertyList(Value(d));
}

}  // namespace

TEST(PreferencesStore, FileIsPrivateWhateverTheUmaskOrTheOldMode) {
    TempDir dir;
    mode_t oldMask = ::umask(0);
    const fs::path old = dir / "old.plist", fresh = dir / "x/y/new.plist";
    writeFile(old, plist({{"old", Value(1)}}));
    ::chmod(old.c_str(), 0644);
    for (const fs::path& p : {old, fresh}) {
        PreferencesStore s(p.string());
        s.load();
        s.setObject("userLoginPassword", "secret");
        ASSERT_TRUE(s.synchronize());
        EXPECT_EQ(modeOf(p), 0600u) << p;
    }
    ::umask(oldMask);
    EXPECT_EQ(modeOf(dir / "x"), 0700u);
    EXPECT_EQ(modeOf(dir / "x/y"), 0700u);
}

// A write that fails half way (the file size limit stands in for a full disk), or a target that
// cannot be replaced, keeps the old file and leaves no temporary file.
TEST(PreferencesStore, FailedWriteLeavesTheOldFileIntact) {
    TempDir dir;
    std::string path = (dir / "prefs.plist").string();
    const std::string before = plist({{"userLoginName", Value("kept")}});
    writeFile(path, before);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64, 64};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        PreferencesStore s(path);
        s.load();
        s.setObject("userLoginName", std::string(100000, 'x'));
        ::_exit(s.synchronize() ? 1 : 0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "synchronize reported success";
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(entries(dir.path()), 1);

    fs::create_directories(dir / "folder/inside");
    std::string error;
    EXPECT_FALSE(writeFileAtomically((dir / "folder").string(), "bytes", 0600, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(entries(dir.path()), 2);
}

TEST(PreferencesStore, UnreadableFileIsKeptAsideAndTheStoreStartsEmpty) {
    auto clock = std::make_shared<FixedClock>(std::chrono::system_clock::from_time_t(1700000000));
    std::string stamp = formatLocalTime(clock->now(), "%Y%m%d_%H%M%S");
    for (const std::string& bytes :
         {std::string("this is not a property list"), toXmlPropertyList(Value(Array{Value(1)}))}) {
        SCOPED_TRACE(bytes);
        TempDir dir;
        std::string path = (dir / "prefs.plist").string();
        writeFile(path, bytes);
        PreferencesStore s(path, clock);
        s.registerDefaults({{"prefKivURL", Value("http://factory")}});
        CapturedOutput err(2);
        s.load();
        std::string aside = path + ".unreadable-" + stamp;
        EXPECT_EQ(readFile(aside), bytes);
        EXPECT_FALSE(fs::exists(path));
        EXPECT_NE(err.text().find(aside), std::string::npos) << err.text();
        EXPECT_TRUE(s.storedValues().empty());
        EXPECT_EQ(s.stringForKey("prefKivURL"), "http://factory");

        // A second bad file in the same second does not overwrite the first copy.
        writeFile(path, bytes + "2");
        s.load();
        EXPECT_EQ(readFile(aside), bytes);
        EXPECT_EQ(readFile(aside + "-2"), bytes + "2");

        s.setObject("userLoginName", "new");
        ASSERT_TRUE(s.synchronize());
        EXPECT_EQ(readPropertyListFile(path), Value(Dictionary{{"userLoginName", Value("new")}}));
    }
}

// A missing file is an empty store, said without a word; registered values are never written,
// and a store never loaded must not wipe what the file holds when it writes.
TEST(PreferencesStore, OnlyStoredValuesAreWrittenAndUntouchedOnesAreKept) {
    TempDir dir;
    std::string path = (dir / "prefs.plist").string();
    PreferencesStore empty(path);
    CapturedOutput err(2);
    empty.load();
    EXPECT_EQ(err.text(), "");
    writeFile(path, plist({{"keep", Value("old")}, {"change", Value(1)}, {"drop", Value(2)}}));
    PreferencesStore s(path);
    s.registerDefaults({{"a", Value(1)}, {"new", Value("x")}});
    s.setObject("change", 5);
    s.removeObject("drop");
    s.setObject("new", "n");
    EXPECT_EQ(s.objectForKey("a"), Value(1));
    EXPECT_FALSE(s.hasStoredValue("a"));
    ASSERT_TRUE(s.synchronize());
    EXPECT_EQ(readPropertyListFile(path),
              Value(Dictionary{{"keep", Value("old")}, {"change", Value(5)}, {"new", Value("n")}}));
    EXPECT_EQ(s.objectForKey("keep"), Value("old"));
    s.removeObject("new");
    EXPECT_EQ(s.objectForKey("new"), Value("x"));
}

TEST(PreferencesStore, ObserversAreToldOutsideTheLockAndCanLeave) {
    TempDir dir;
    PreferencesStore s((dir / "p.plist").string());
    std::vector<std::string> seen;
    int a = 0, b = 0;
    s.addObserver(&a, [&](const std::string& key) {
        // Reading the store from inside an observer must not deadlock.
        seen.push_back(key + "=" + s.objectForKey(key).stringValue());
    });
    s.addObserver(&b, [&](const std::string& key) {
        seen.push_back("b:" + key);
        s.removeObserver(&b);  // leaving from inside the call
    });
    s.setObject("x", 1);
    s.setObject("y", 2);
    s.removeObject("x");
    s.removeObserver(&a);
    s.setObject("z", 3);
    EXPECT_EQ(seen, (std::vector<std::string>{"x=1", "b:x", "y=2", "x="}));
}

// Someone edits the file while the store runs: a write takes their edit in (values set here
// since the last write win), and reload() takes it in without a write.
TEST(PreferencesStore, EditsMadeToTheFileMeanwhileAreNotOverwritten) {
    for (const bool reload : {false, true}) {
        SCOPED_TRACE(reload ? "reload" : "write");
        TempDir dir;
        const fs::path path = dir / "prefs.plist";
        PreferencesStore s(path.string());
        s.load();
        s.setObject("mine", "before");
        s.setObject("theirs", "before");
        ASSERT_TRUE(s.synchronize());
        std::vector<std::string> told;
        s.addObserver(&told, [&told](const std::string& key) { told.push_back(key); });
        s.setObject("mine", "set here");  // not yet written
        told.clear();
        Dictionary edited{
            {"mine", Value("edited")}, {"theirs", Value("edited")}, {"added", Value(true)}};
        writeFile(path, plist(edited));
        ASSERT_TRUE(reload ? s.reload() : s.synchronize());

        EXPECT_EQ(s.objectForKey("mine"), Value("set here"));
        EXPECT_EQ(s.objectForKey("theirs"), Value("edited"));
        EXPECT_EQ(s.objectForKey("added"), Value(true));
        std::sort(told.begin(), told.end());
        EXPECT_EQ(told, (std::vector<std::string>{"added", "theirs"}));
        EXPECT_EQ(readPropertyListFile(path.string()), Value(reload ? edited : s.storedValues()));
        s.removeObserver(&told);
    }
}

TEST(StoreLock, OneOwnerAtATimeAndAnEditIsWaitedOut) {
    TempDir dir;
    const std::string store = (dir / "new folder/prefs.plist").string();
    StoreLock first = StoreLock::acquire(store);
    ASSERT_TRUE(first.held()) << first.error();
    EXPECT_EQ(modeOf(dir / "new folder"), 0700u) << "the store's folder is created private";
    // Another descriptor is another owner, even in this process.
    StoreLock second = StoreLock::acquire(store);
    EXPECT_EQ(second.status(), StoreLock::Status::HeldByOther);
    EXPECT_EQ(second.owner(), ::getpid());
    // A brief holder is waited for.
    std::thread editor([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        first.release();
    });
    StoreLock third = StoreLock::acquire(store, std::chrono::seconds(10));
    editor.join();
    EXPECT_TRUE(third.held());
    EXPECT_EQ(first.status(), StoreLock::Status::Released);
}

// Two uploaders never work one source folder, however they reach it: through a link, from two
// stores (the uploader's own test runs them). A refused one keeps nothing; another folder is free.
TEST(StoreLock, OneUploaderPerSourceFolderWhateverTheStoreAndTheName) {
    TempDir dir;
    vorn::test::ScopedEnv runtimeDir("XDG_RUNTIME_DIR", (dir / "run").string());
    fs::create_directories(dir / "run");
    fs::create_directories(dir / "photos/Other");
    fs::create_directories(dir / "photos/Upload");
    fs::create_directory_symlink(dir / "photos/Upload", dir / "link");
    auto store = [&](const std::string& name, const fs::path& source) {
        const fs::path path = dir / name / "prefs.plist";
        writeFile(path, plist({{"prefLocalSourceUploadFolder", Value(source.string())}}));
        return path.string();
    };
    const std::string a = store("a", dir / "photos/Upload"), b = store("b", dir / "link/");
    StoreLock first = StoreLock::acquireForUploader(a);
    ASSERT_TRUE(first.held()) << first.error();
    StoreLock second = StoreLock::acquireForUploader(b);
    EXPECT_EQ(second.status(), StoreLock::Status::HeldByOther);
    EXPECT_EQ(second.owner(), ::getpid());
    EXPECT_TRUE(StoreLock::acquire(b).held());
    EXPECT_TRUE(StoreLock::acquireForUploader(store("c", dir / "photos/Other")).held());
}
