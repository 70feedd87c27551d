#pragma once
// The remote-control protocol shared by the uploader and its clients: where it listens (the
// session bus, or a socket of its own), the four-character codes of the requests, and the
// reply texts. Header only, so a client can use it without the core.

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace vorn::remote {

inline constexpr const char* kServiceName = "org.vorn.Uploader";
inline constexpr const char* kObjectPath = "/org/vorn/Uploader";
inline constexpr const char* kInterfaceName = "org.vorn.Uploader";
// Event(s eventClass, s eventId, as directObject) -> v
inline constexpr const char* kMethodName = "Event";

// Status(s format) -> s: what the uploader is doing, as "json" or "text".
inline constexpr const char* kStatusMethodName = "Status";
// Config(s action, s key, s value) -> (b done, s text): action "list", "get", "set" or
// "check"; a set is applied live and written to the store.
inline constexpr const char* kConfigMethodName = "Config";

// Show() -> b: shows and raises the main window; false when the uploader runs without windows.
// A second launch and `vornctl show` ask for it.
inline constexpr const char* kShowMethodName = "Show";

inline constexpr const char* kEventClassVorn = "vorn";
inline constexpr const char* kEventIdCommand = "1234";
inline constexpr const char* kEventIdUploadNow = "upnw";
inline constexpr const char* kEventIdPause = "paus";
// Resume a paused (or stopped) cycle; nothing else.
inline constexpr const char* kEventIdResume = "resm";
inline constexpr const char* kEventClassCore = "aevt";
inline constexpr const char* kEventIdQuit = "quit";

inline constexpr const char* kCommandSetValue = "setValue";
inline constexpr const char* kCommandGetValue = "getValue";

inline constexpr const char* kReplyCommandSuccess = "COMMAND SUCCESS";
inline constexpr const char* kReplyCommandFailed = "COMMAND FAILED";
inline constexpr const char* kReplyAccepted = "ACCEPTED";
// The resume request's answer when nothing was paused.
inline constexpr const char* kReplyNotPaused = "NOT PAUSED";

// The D-Bus error answered for a class/ID pair that is not one of the requests.
inline constexpr const char* kErrorUnknownEvent = "org.vorn.Uploader.Error.UnknownEvent";

// Without a session bus (a root shell, an ssh login, a container) the uploader serves the same
// interface peer to peer on a socket of its own, and vornctl looks there after the bus:
// $XDG_RUNTIME_DIR/vorn/uploader.socket when that folder is the user's own, else
// uploader.socket in the state folder ($XDG_STATE_HOME/vorn, ~/.local/state/vorn). Both sides
// work it out alike from the environment.
inline std::string peerSocketPath() {
    const char* run = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    // Not a folder of ours (sudo keeps the user's): ours to write in is the state folder.
    if (run && run[0] == '/' && ::stat(run, &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::geteuid())
        return std::string(run) + "/vorn/uploader.socket";
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/')
        return std::string(state) + "/vorn/uploader.socket";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::geteuid())) {
        home = pw->pw_dir;
    }
    return home + "/.local/state/vorn/uploader.socket";
}

}  // namespace vorn::remote
