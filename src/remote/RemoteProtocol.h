#pragma once
// The remote-control protocol shared by the uploader and its clients: where it listens on the
// session bus, the four-character codes of the requests, and the reply texts. Header only, so a
// client can use it without the core.

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
inline constexpr const char* kEventClassCore = "aevt";
inline constexpr const char* kEventIdQuit = "quit";

inline constexpr const char* kCommandSetValue = "setValue";
inline constexpr const char* kCommandGetValue = "getValue";

inline constexpr const char* kReplyCommandSuccess = "COMMAND SUCCESS";
inline constexpr const char* kReplyCommandFailed = "COMMAND FAILED";
inline constexpr const char* kReplyAccepted = "ACCEPTED";

// The D-Bus error answered for a class/ID pair that is not one of the four requests.
inline constexpr const char* kErrorUnknownEvent = "org.vorn.Uploader.Error.UnknownEvent";

}  // namespace vorn::remote
