#pragma once
// Remote control on the session bus: the four requests of the command interface offered as
// org.vorn.Uploader at /org/vorn/Uploader, method Event(s eventClass, s eventId, as
// directObject) -> v. Requests arrive on the main thread, one at a time.

#include <functional>
#include <string>

namespace vorn {

class AppController;

// Registers the object and takes the bus name. When the session bus or the name cannot be had,
// logs "UNABLE setupForAppleEventsForThisApp" and returns false; the program runs on without
// remote control. quit is the application's orderly stop (it must end the event loop).
bool setupForAppleEventsForThisApp(AppController& controller, std::function<void()> quit);

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
