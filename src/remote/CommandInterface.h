#pragma once
// The remote-control requests as plain logic: dispatch of the four requests, the setValue and
// getValue commands over the preferences store, and the replies. The transport (D-Bus) only
// turns messages into AppleEvent values and replies back into messages.

#include <functional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace vorn {

// One request as it arrived: the two four-character codes and the direct object (None when
// the request carries none; for a command, a list of texts).
struct AppleEvent {
    std::string eventClass;
    std::string eventID;
    Value directObject;
};

struct AppleEventReply {
    enum class Kind {
        None,         // nothing is answered (quit)
        Text,         // text
        TextAndList,  // text, then the list of texts (getValue with a value)
        NotHandled,   // not one of the four requests
    };
    Kind kind = Kind::None;
    std::string text;
    std::vector<std::string> list;

    static AppleEventReply none() { return {}; }
    static AppleEventReply withText(std::string t) { return {Kind::Text, std::move(t), {}}; }
    bool operator==(const AppleEventReply&) const = default;
};

// What the requests do to the application; each runs on the main thread.
struct RemoteActions {
    std::function<void()> uploadNow;  // AppController::ibClickedOnSynchronizeAgain
    std::function<void()> pause;      // AppController::forceProcessToPause
    // Resumes a paused or stopped cycle; false when nothing was held.
    std::function<bool()> resume;
    std::function<void()> quit;  // close any alert, then the orderly quit
};

class CommandInterface {
  public:
    explicit CommandInterface(RemoteActions actions);

    // Dispatches one request (class and ID must both match) and gives the reply.
    AppleEventReply handleTestAEHandler(const AppleEvent& event);

    // The '1234' command: directObject is a list of at least three texts (command word, key,
    // value). Reads and writes Preferences::store().
    static AppleEventReply handleCommand(const Value& directObject);

  private:
    RemoteActions actions_;
};

}  // namespace vorn
