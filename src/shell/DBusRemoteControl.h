#pragma once
// Remote control: the requests of the command interface offered as org.vorn.Uploader at
// /org/vorn/Uploader, method Event(s eventClass, s eventId, as directObject) -> v, with Status
// and Config beside it. On the session bus when there is one; without one (a root shell, an
// ssh login, a container) the same interface is served peer to peer on a socket of the user's
// own (remote::peerSocketPath()), where vornctl looks next. Requests arrive on the main thread,
// one at a time.

#include <functional>
#include <string>

namespace vorn {

class AppController;

// Where vornctl reaches the uploader, or why it cannot.
struct RemoteControlReach {
    enum class Kind { SessionBus, Socket, None };
    Kind kind = Kind::None;
    std::string socketPath;  // Socket, and None when the socket could not be had
    std::string problem;     // None: why, in words to act on
    // "the session bus (org.vorn.Uploader)", "the socket PATH", or "none: PROBLEM".
    std::string description() const;
};

// Registers the object on the session bus and takes the bus name, else serves it on the
// socket. When neither can be had, logs "UNABLE setupForAppleEventsForThisApp" and the program
// runs on without remote control. quit is the application's orderly stop (it must end the
// event loop).
RemoteControlReach setupForAppleEventsForThisApp(AppController& controller,
                                                 std::function<void()> quit);

// Removes the socket served, if any, at the orderly stop: a socket left behind is cleared by
// the next uploader, but vornctl would meet it first.
void stopRemoteControl();

// What the Status method answers: the status as JSON (json true) or as lines for a person.
// Set before requests arrive; without one, Status answers an error.
void setRemoteStatusProvider(std::function<std::string(bool json)> provider);

// What the Show method does: shows and raises the main window, true when there is one. Without
// a handler (headless) Show answers false.
void setRemoteShowHandler(std::function<bool()> show);

// Asks the uploader that owns the bus name to show its main window (a second launch does);
// false when none answered or it has no window.
bool askRunningUploaderToShowItsWindow();

}  // namespace vorn
