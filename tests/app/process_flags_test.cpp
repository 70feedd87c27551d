// Every transition of the cycle's flags, without threads: from a state, an event, the answer,
// the state after it and exactly what was announced to the user.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/ProcessFlags.h"

namespace vorn {
namespace {

using Flags = ProcessFlags;

// Each event answers in words, so that a table row reads as the cycle does.
using Event = std::function<std::string(Flags&)>;

const char* text(Flags::ScanStart s) {
    static const char* const names[] = {"started", "already scanning", "upload in flight", "held"};
    return names[static_cast<int>(s)];
}
const char* text(Flags::UploadStart s) {
    static const char* const names[] = {"started", "busy", "held"};
    return names[static_cast<int>(s)];
}
const char* text(Flags::PauseResult p) {
    static const char* const names[] = {"held now", "pausing", "already held"};
    return names[static_cast<int>(p)];
}
std::string text(bool b) {
    return b ? "yes" : "no";
}

const Event scan = [](Flags& f) { return text(f.beginScan()); };
const Event scanEnds = [](Flags& f) { return "owes a pass: " + text(f.endScan(true)); };
Event upload(const std::string& name, int limit = 1) {
    return [=](Flags& f) { return std::string(text(f.beginUpload(name, limit))); };
}
Event uploadEnds(const std::string& name) {
    return [=](Flags& f) {
        Flags::UploadEnd end = f.endUpload(name);
        return end.newlyHeld ? "newly held" : end.held ? "held" : "goes on";
    };
}
const Event pause = [](Flags& f) { return text(f.requestPause()); };
const Event resume = [](Flags& f) { return "was held: " + text(f.resume()); };
const Event opened = [](Flags& f) {
    f.passOpened();
    return std::string("opened");
};
Event error(const std::string& name, const std::string& message) {
    return [=](Flags& f) {
        f.holdOnError(name, message);
        return std::string("held on error");
    };
}
const Event errorCleared = [](Flags& f) { return "was held: " + text(f.clearErrorHold()); };
Event settingsLost(const std::string& problem) {
    return [=](Flags& f) { return "newly waiting: " + text(f.waitForSettings(problem)); };
}
const Event settingsBack = [](Flags& f) { return "was waiting: " + text(f.settingsHoldAgain()); };

struct Step {
    Event event;
    std::string answer;
    std::string stateAfter;  // "state" or "state: reason"
    std::vector<std::string> announced;
};

TEST(ProcessFlagsTest, EveryTransitionAndWhatItAnnounces) {
    struct Row {
        const char* what;
        std::vector<Step> steps;
    };
    const std::vector<Row> rows = {
        {"a pass that finds nothing",
         {{opened, "opened", "scanning", {"scanning"}},
          {scan, "started", "scanning", {}},
          {scanEnds, "owes a pass: no", "idle", {"idle"}}}},
        {"a photo uploaded, then the pass goes on",
         {{opened, "opened", "scanning", {"scanning"}},
          {scan, "started", "scanning", {}},
          {upload("a.jpg"), "started", "uploading: a.jpg", {"uploading: a.jpg"}},
          {upload("b.jpg"), "busy", "uploading: a.jpg", {}},
          {scan, "already scanning", "uploading: a.jpg", {}},
          {uploadEnds("a.jpg"), "goes on", "scanning", {"scanning"}},
          {[](Flags& f) { return "owes a pass: " + text(f.endScan(false)); },
           "owes a pass: yes",
           "scanning",
           {}}}},
        {"two rescan requests during a scan give exactly one more pass",
         {{scan, "started", "scanning", {"scanning"}},
          {scan, "already scanning", "scanning", {}},
          {scan, "already scanning", "scanning", {}},
          {[](Flags& f) { return std::to_string(f.needsToRescan()); }, "2", "scanning", {}},
          {scanEnds, "owes a pass: yes", "scanning", {}},
          {scan, "started", "scanning", {}},
          {[](Flags& f) { return std::to_string(f.needsToRescan()); }, "0", "scanning", {}},
          {scanEnds, "owes a pass: no", "idle", {"idle"}}}},
        {"pause while idle holds at once",
         {{pause, "held now", "paused", {"paused"}},
          {pause, "already held", "paused", {}},
          {opened, "opened", "paused", {}},
          {scan, "held", "paused", {}},
          {resume, "was held: yes", "idle", {"idle"}},
          {resume, "was held: no", "idle", {}}}},
        {"pause during a scan holds before any upload starts",
         {{scan, "started", "scanning", {"scanning"}},
          {pause, "held now", "paused", {"paused"}},
          {upload("a.jpg"), "held", "paused", {}},
          {scanEnds, "owes a pass: no", "paused", {}}}},
        {"pause during an upload holds once it ends",
         {{scan, "started", "scanning", {"scanning"}},
          {upload("a.jpg"), "started", "uploading: a.jpg", {"uploading: a.jpg"}},
          {pause, "pausing", "pausing: a.jpg", {"pausing: a.jpg"}},
          {pause, "pausing", "pausing: a.jpg", {}},
          {uploadEnds("a.jpg"), "newly held", "paused", {"paused"}},
          {upload("b.jpg"), "held", "paused", {}},
          {resume, "was held: yes", "scanning", {"scanning"}}}},
        {"a resume before the pause took effect ends the wait for it",
         {{upload("a.jpg"), "started", "uploading: a.jpg", {"uploading: a.jpg"}},
          {pause, "pausing", "pausing: a.jpg", {"pausing: a.jpg"}},
          {resume, "was held: no", "uploading: a.jpg", {"uploading: a.jpg"}},
          {[](Flags& f) { return "paused: " + text(f.waitUntilPaused()); },
           "paused: no",
           "uploading: a.jpg",
           {}},
          {uploadEnds("a.jpg"), "goes on", "idle", {"idle"}}}},
        {"uploads in flight are a count; a pause waits for all of them",
         {{upload("a.jpg", 2), "started", "uploading: a.jpg", {"uploading: a.jpg"}},
          {upload("b.jpg", 2), "started", "uploading: a.jpg, b.jpg", {"uploading: a.jpg, b.jpg"}},
          {upload("c.jpg", 2), "busy", "uploading: a.jpg, b.jpg", {}},
          {pause, "pausing", "pausing: a.jpg, b.jpg", {"pausing: a.jpg, b.jpg"}},
          {uploadEnds("a.jpg"), "goes on", "pausing: b.jpg", {"pausing: b.jpg"}},
          {uploadEnds("b.jpg"), "newly held", "paused", {"paused"}}}},
        {"the service's ERROR holds until cleared",
         {{opened, "opened", "scanning", {"scanning"}},
          {scan, "started", "scanning", {}},
          {upload("a.jpg"), "started", "uploading: a.jpg", {"uploading: a.jpg"}},
          {error("a.jpg", "Account locked"),
           "held on error",
           "stopped on error: Account locked",
           {"stopped on error: Account locked"}},
          {scanEnds, "owes a pass: no", "stopped on error: Account locked", {}},
          {opened, "opened", "stopped on error: Account locked", {}},
          {scan, "held", "stopped on error: Account locked", {}},
          {upload("b.jpg"), "held", "stopped on error: Account locked", {}},
          {errorCleared, "was held: yes", "idle", {"idle"}},
          {errorCleared, "was held: no", "idle", {}}}},
        {"ERROR while a pause was asked: paused once the error is cleared",
         {{upload("a.jpg"), "started", "uploading: a.jpg", {"uploading: a.jpg"}},
          {pause, "pausing", "pausing: a.jpg", {"pausing: a.jpg"}},
          {error("a.jpg", "Down"),
           "held on error",
           "stopped on error: Down",
           {"stopped on error: Down"}},
          {errorCleared, "was held: yes", "paused", {"paused"}},
          {resume, "was held: yes", "idle", {"idle"}}}},
        {"settings lost and regained",
         {{settingsLost("No event name"),
           "newly waiting: yes",
           "waiting for valid settings: No event name",
           {"waiting for valid settings: No event name"}},
          {settingsLost("No event name"),
           "newly waiting: no",
           "waiting for valid settings: No event name",
           {}},
          {settingsLost("No mirror folder"),
           "newly waiting: no",
           "waiting for valid settings: No mirror folder",
           {"waiting for valid settings: No mirror folder"}},
          {settingsBack, "was waiting: yes", "idle", {"idle"}},
          {settingsBack, "was waiting: no", "idle", {}}}},
        {"an opener at a time",
         {{[](Flags& f) { return text(f.enterOpener() == Flags::OpenerEntry::Entered); },
           "yes",
           "idle",
           {}},
          {[](Flags& f) { return text(f.enterOpener() == Flags::OpenerEntry::Entered); },
           "no",
           "idle",
           {}},
          {[](Flags& f) {
               f.leaveOpener();
               return text(f.enterOpener() == Flags::OpenerEntry::Entered);
           },
           "yes",
           "idle",
           {}}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> announced;
        auto show = [](CycleState s, const std::string& reason) {
            return reason.empty() ? std::string(cycleStateName(s))
                                  : std::string(cycleStateName(s)) + ": " + reason;
        };
        Flags flags(
            [&](CycleState s, const std::string& reason) { announced.push_back(show(s, reason)); });
        for (std::size_t i = 0; i < row.steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i + 1));
            const Step& step = row.steps[i];
            announced.clear();
            EXPECT_EQ(step.event(flags), step.answer);
            EXPECT_EQ(show(flags.shownState(), flags.shownReason()), step.stateAfter);
            EXPECT_EQ(announced, step.announced);
        }
    }
}

}  // namespace
}  // namespace vorn
