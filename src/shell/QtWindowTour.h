#pragma once
// A test switch of the windowed program: once an upload is under way, photographs the main
// window as it is on the screen (and says whether anything covers it), each preferences tab, a
// maintenance window, an alert and the tray menu into a folder as PNG files, then quits.

#include <string>

namespace vorn {

class QtUserInterface;

void startWindowTour(QtUserInterface& windows, const std::string& folder);

}  // namespace vorn
