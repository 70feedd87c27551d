#include "platform/FileEventStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>

#include "support/TempDir.h"

namespace vorn {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::writeFile;

constexpr auto kWait = 10s;  // only a hang reaches it

const FileEventStreamOptions kFast{.latency = 50ms, .forcedFlush = 150ms, .rootRetry = 20ms};

// Records what the stream hands over and lets the test wait for it.
struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> reported;  // the folders of every batch and every file closed
    std::vector<FileEventStreamState> states;
    std::string lastMessage;

    FileEventStream::Callback changes() {
        return [this](const std::vector<std::string>& folders) { record(folders); };
    }
    FileEventStream::FileClosedCallback closedFiles() {
        return [this](const std::string& path) { record({path}); };
    }
    FileEventStream::StatusCallback status() {
        return [this](FileEventStreamState s, const std::string& message) {
            std::lock_guard lock(m);
            states.push_back(s);
            lastMessage = message;
            cv.notify_all();
        };
    }
    void record(const std::vector<std::string>& paths) {
        std::lock_guard lock(m);
        reported.insert(reported.end(), paths.begin(), paths.end());
        cv.notify_all();
    }
    size_t reports(const std::string& path) {
        std::lock_guard lock(m);
        return std::count(reported.begin(), reported.end(), path);
    }
    bool waitUntil(const std::function<bool()>& ready) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, kWait, ready);
    }
    // Waits for a report of path beyond the first `seen` ones.
    bool waitForReport(const std::string& path, size_t seen = 0) {
        return waitUntil(
            [&] { return size_t(std::count(reported.begin(), reported.end(), path)) > seen; });
    }
    // Runs act and waits for a new report of path.
    bool reportsAfter(const std::string& path, const std::function<void()>& act) {
        const size_t seen = reports(path);
        act();
        return waitForReport(path, seen);
    }
    bool waitForState(FileEventStreamState s) {
        return waitUntil([&] { return !states.empty() && states.back() == s; });
    }
};

class FileEventStreamTest : public ::testing::Test {
  protected:
    test::TempDir tmp;
    std::string root = (tmp / "src").string();
    Recorder rec;
    int markers = 0;

    std::string at(const std::string& rel) const { return root + "/" + rel; }

    // Drops a marker into root/s and waits for it: the kernel queue is in order, so by then
    // everything before it has been read and handed over.
    void settle() {
        ASSERT_TRUE(rec.reportsAfter(at("s"), [&] {
            writeFile(at("s/marker" + std::to_string(++markers)), "m");
        })) << "the marker was never reported";
    }

    std::vector<std::string> existingFolders() const {
        std::vector<std::string> folders{root};
        for (const auto& e : fs::recursive_directory_iterator(root))
            if (e.is_directory() && !e.is_symlink()) folders.push_back(e.path().string());
        std::sort(folders.begin(), folders.end());
        return folders;
    }
};

TEST_F(FileEventStreamTest, ReportsChangesInOldAndNewFoldersAndKeepsOneWatchPerFolder) {
    for (const char* f : {"a/b", ".hidden", "s"}) fs::create_directories(at(f));
    writeFile(tmp / "outside/moved/inner/p.jpg", "jpeg");
    FileEventStream stream(root, rec.changes(), kFast);
    stream.setOnFileClosed(rec.closedFiles());
    ASSERT_TRUE(stream.start());

    // Folders reported, and files reported at once as their writer is done.
    const std::tuple<const char*, std::function<void()>, std::vector<std::string>> steps[] = {
        {"file in a sub-folder", [&] { writeFile(at("a/p.jpg"), "j"); }, {at("a"), at("a/p.jpg")}},
        {"file in a hidden folder", [&] { writeFile(at(".hidden/p.jpg"), "j"); }, {at(".hidden")}},
        {"folders created after start",
         [&] { writeFile(at("a/new/deeper/p.jpg"), "j"); },
         {at("a/new/deeper"), at("a/new/deeper/p.jpg")}},
        // Its files were there before any watch could be: the stream must look inside.
        {"folder moved in with files inside",
         [&] { fs::rename(tmp / "outside/moved", at("a/moved")); },
         {at("a"), at("a/moved/inner"), at("a/moved/inner/p.jpg")}},
        {"folder renamed inside the tree, then written to under its new name",
         [&] {
             fs::rename(at("a/moved"), at("a/renamed"));
             writeFile(at("a/renamed/inner/r.jpg"), "j");
         },
         {at("a"), at("a/renamed/inner")}},
        {"folders deleted and moved out",
         [&] {
             fs::remove_all(at("a/new"));
             fs::rename(at("a/renamed"), tmp / "out2");
         },
         {at("a")}},
    };
    for (const auto& [name, act, expect] : steps) {
        SCOPED_TRACE(name);
        std::vector<size_t> seen;
        for (const auto& path : expect) seen.push_back(rec.reports(path));
        act();
        for (size_t i = 0; i < expect.size(); ++i)
            EXPECT_TRUE(rec.waitForReport(expect[i], seen[i])) << expect[i];
        settle();
        EXPECT_EQ(stream.watchedFolders(), existingFolders());
    }
}

// No callback once the stream is stopped or destroyed, from outside or from its own callback,
// while events pour in (ASan builds catch any use after free).
TEST_F(FileEventStreamTest, StopOrDestroyDuringABurstIsFinal) {
    fs::create_directories(at("a"));
    std::atomic<bool> done{false};
    std::atomic<int> written{0};
    std::thread writer([&] {
        for (int i = 0; !done; ++i, ++written) writeFile(at("a/f" + std::to_string(i % 50)), "x");
    });
    enum How { Stop, Destroy, StopInside, DestroyInside };
    for (How how : {Stop, Destroy, StopInside, DestroyInside}) {
        SCOPED_TRACE(how);
        std::unique_ptr<FileEventStream> stream;
        std::atomic<bool> ended{false}, lateCallback{false};
        std::atomic<int> calls{0};
        auto end = [&] {
            how == Stop || how == StopInside ? stream->stop() : stream.reset();
            ended = true;
        };
        stream = std::make_unique<FileEventStream>(
            root,
            [&](const std::vector<std::string>&) {
                std::lock_guard lock(rec.m);
                lateCallback = lateCallback || ended;
                if (++calls == 1 && how >= StopInside) end();
                rec.cv.notify_all();
            },
            FileEventStreamOptions{.latency = 1ms, .forcedFlush = 5ms});
        ASSERT_TRUE(stream->start());
        ASSERT_TRUE(rec.waitUntil([&] { return calls > 0; })) << "nothing was reported";
        if (how < StopInside) end();
        for (int mark = written; written < mark + 300;) std::this_thread::yield();
        std::lock_guard lock(rec.m);
        EXPECT_FALSE(lateCallback) << "a callback ran after the end";
        EXPECT_TRUE(!stream || !stream->isRunning());
    }
    done = true;
    writer.join();
}

TEST_F(FileEventStreamTest, SaysSoWhenWatchesRunOutAndAQueueOverflowWatchesTheTreeAgain) {
    for (const char* f : {"a", "b"}) fs::create_directories(at(f));
    FileEventStreamOptions o = kFast;
    o.maxWatches = 0;  // not even the root
    std::string error;
    EXPECT_FALSE(FileEventStream(root, rec.changes(), o).start(&error));
    EXPECT_NE(error.find("max_user_watches"), std::string::npos) << error;

    o.maxWatches = 2;  // met on the first walk: said before start() returns
    FileEventStream stream(root, rec.changes(), o, rec.status());
    ASSERT_TRUE(stream.start(&error)) << error;
    {
        std::lock_guard lock(rec.m);
        EXPECT_EQ(rec.states, std::vector{FileEventStreamState::WatchLimitReached});
        EXPECT_NE(rec.lastMessage.find("max_user_watches"), std::string::npos) << rec.lastMessage;
    }
    EXPECT_TRUE(stream.watchLimitReached());
    const std::vector<std::string> watched = stream.watchedFolders();  // the root and a or b
    ASSERT_EQ(watched.size(), 2u);
    const std::string unwatched = watched[1] == at("a") ? at("b") : at("a");
    // What is watched is still reported; a folder removed frees its watch.
    ASSERT_TRUE(rec.reportsAfter(root, [&] { fs::remove_all(watched[1]); }));

    ASSERT_TRUE(rec.reportsAfter(root, [&] { stream.simulateQueueOverflow(); }));
    ASSERT_TRUE(rec.waitForState(FileEventStreamState::Watching));
    EXPECT_FALSE(stream.watchLimitReached());
    EXPECT_EQ(stream.watchedFolders(), existingFolders());
    EXPECT_TRUE(rec.reportsAfter(unwatched, [&] { writeFile(unwatched + "/p.jpg", "j"); }));
}

TEST_F(FileEventStreamTest, LostRootIsReportedAndWatchedAgainWhenBack) {
    for (bool moved : {false, true}) {
        fs::create_directories(at("a"));
        FileEventStream stream(root, rec.changes(), kFast, rec.status());
        ASSERT_TRUE(stream.start());
        EXPECT_TRUE(rec.reportsAfter(root, [&] {
            moved ? fs::rename(root, tmp / "elsewhere") : void(fs::remove_all(root));
        }));
        ASSERT_TRUE(rec.waitForState(FileEventStreamState::RootLost));
        EXPECT_TRUE(stream.watchedFolders().empty());

        EXPECT_TRUE(rec.reportsAfter(root, [&] { writeFile(at("a/p.jpg"), "j"); }));
        ASSERT_TRUE(rec.waitForState(FileEventStreamState::Watching));
        EXPECT_TRUE(rec.reportsAfter(at("a"), [&] { writeFile(at("a/q.jpg"), "j"); }));
    }
}

TEST_F(FileEventStreamTest, RefusesToStartWithoutAWatchableFolder) {
    writeFile(tmp / "file", "x");
    fs::create_directories(root);
    FileEventStream running(root, rec.changes(), kFast);
    ASSERT_TRUE(running.start());
    FileEventStreamOptions off = kFast;
    off.unavailable = true;
    FileEventStream missing((tmp / "missing").string(), rec.changes(), kFast);
    FileEventStream notFolder((tmp / "file").string(), rec.changes(), kFast);
    FileEventStream switchedOff(root, rec.changes(), off);
    for (FileEventStream* stream : {&missing, &notFolder, &switchedOff, &running}) {
        std::string error;
        EXPECT_FALSE(stream->start(&error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_TRUE(running.isRunning());
    EXPECT_FALSE(switchedOff.isRunning());
}

}  // namespace
}  // namespace vorn
