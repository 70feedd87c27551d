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
const Event scanEndsEarly = [](Flags& f) { return "owes a pass: " + text(f.endScan(false)); };
const Event owed = [](Flags& f) { return std::to_string(f.needsToRescan()); };
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
const Event waitPaused = [](Flags& f) { return "paused: " + text(f.waitUntilPaused()); };
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
const Event enter = [](Flags& f) { return text(f.enterOpener() == Flags::OpenerEntry::Entered); };
const Event leave = [](Flags& f) {
    f.leaveOpener();
    return std::string("left");
};

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
    const std::string locked = "stopped on error: Locked", down = "stopped on error: Down";
    const std::string noEvent = "waiting for valid settings: No event name";
    const std::string noMirror = "waiting for valid settings: No mirror folder";
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
          {scanEndsEarly, "owes a pass: yes", "scanning", {}}}},
        {"two rescan requests during a scan give exactly one more pass",
         {{scan, "started", "scanning", {"scanning"}},
          {scan, "already scanning", "scanning", {}},
          {scan, "already scanning", "scanning", {}},
          {owed, "2", "scanning", {}},
          {scanEnds, "owes a pass: yes", "scanning", {}},
          {scan, "started", "scanning", {}},
          {owed, "0", "scanning", {}},
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
          {waitPaused, "paused: no", "uploading: a.jpg", {}},
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
          {error("a.jpg", "Locked"), "held on error", locked, {locked}},
          {scanEnds, "owes a pass: no", locked, {}},
          {opened, "opened", locked, {}},
          {scan, "held", locked, {}},
          {upload("b.jpg"), "held", locked, {}},
          {errorCleared, "was held: yes", "idle", {"idle"}},
          {errorCleared, "was held: no", "idle", {}}}},
        {"ERROR while a pause was asked: paused once the error is cleared",
         {{upload("a.jpg"), "started", "uploading: a.jpg", {"uploading: a.jpg"}},
          {pause, "pausing", "pausing: a.jpg", {"pausing: a.jpg"}},
          {error("a.jpg", "Down"), "held on error", down, {down}},
          {errorCleared, "was held: yes", "paused", {"paused"}},
          {resume, "was held: yes", "idle", {"idle"}}}},
        {"settings lost and regained",
         {{settingsLost("No event name"), "newly waiting: yes", noEvent, {noEvent}},
          {settingsLost("No event name"), "newly waiting: no", noEvent, {}},
          {settingsLost("No mirror folder"), "newly waiting: no", noMirror, {noMirror}},
          {settingsBack, "was waiting: yes", "idle", {"idle"}},
          {settingsBack, "was waiting: no", "idle", {}}}},
        {"an opener at a time",
         {{enter, "yes", "idle", {}},
          {enter, "no", "idle", {}},
          {leave, "left", "idle", {}},
          {enter, "yes", "idle", {}}}},
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
