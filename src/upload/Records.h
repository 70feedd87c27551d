#pragma once
// Key names of the three dictionaries one pass carries: the scan request, the upload item
// record (ed...) and the upload result record (a copy of the item plus http...).

#include <string>

#include "platform/Value.h"

namespace vorn {

// Scan request and the item's place.
inline constexpr const char* cDictKeyLocalSourceUploadFolder = "localRootFolder";
inline constexpr const char* cDictKeyLocalMirrorFolder = "localMirrorFolder";
inline constexpr const char* cDictKeyCurItem = "localItem";
inline constexpr const char* cDictKeyUserEnteredEventName = "userEnteredEventName";
inline constexpr const char* cDictKeyUserEnteredClientName = "userEnteredClientName";

// Upload item record.
inline constexpr const char* edUser = "edUser";
inline constexpr const char* edPasswd = "edPasswd";
inline constexpr const char* edFileName = "edFileName";
inline constexpr const char* edClientName = "edClientName";
inline constexpr const char* edEventName = "edEventName";
inline constexpr const char* edMetaData = "edMetaData";
inline constexpr const char* edCaptureTime = "edCaptureTime";
inline constexpr const char* edKivFuseAction = "edKivFuseAction";
inline constexpr const char* edSittingInfoDictionary = "edSittingInfoDictionary";
inline constexpr const char* edEmails = "edEmails";
inline constexpr const char* edOriginalPath = "edOriginalPath";
inline constexpr const char* edRadudivInfo = "edRadudivInfo";
// Hi-res upload item.
inline constexpr const char* edImageId = "edImageId";
inline constexpr const char* edOrderId = "edOrderId";
inline constexpr const char* edPictureId = "edPictureId";

// Upload result record.
inline constexpr const char* httpStatusCode = "httpStatusCode";
inline constexpr const char* httpResponse = "httpResponse";
inline constexpr const char* httpError = "httpError";
inline constexpr const char* httpReturnData = "httpReturnData";
inline constexpr const char* httpOurCustomStatus = "httpOurCustomStatus";
inline constexpr const char* httpOurCustomMessage = "httpOurCustomMessage";
// Set (true) when the reply could not be read as the service's XML verdict.
inline constexpr const char* httpReplyUnreadable = "httpReplyUnreadable";
// The version of the photo that went out (see SentVersion.h), when it was sent.
inline constexpr const char* httpSentVersion = "httpSentVersion";

// Status words and the message that carry meaning (compared ignoring case).
inline constexpr const char* kStatusOK = "OK";
inline constexpr const char* kStatusWarning = "Warning";
inline constexpr const char* kStatusError = "ERROR";
inline constexpr const char* kStatusFail = "FAIL";
inline constexpr const char* kMessageNoEmailAddressesSent = "No Email Addresses Sent";

// The scan request the pass opener posts.
DictionaryPtr makeScanRequest(const std::string& rootFolder, const std::string& mirrorFolder,
                              const std::string& eventName);

// The result record: a copy of the item record that the uploader adds the reply keys to.
DictionaryPtr makeResultRecord(const Dictionary& item);

// httpError is kept as a dictionary holding its localized description under this key.
inline constexpr const char* kErrorLocalizedDescription = "localizedDescription";
Value makeErrorValue(const std::string& localizedDescription);
std::string errorDescription(const Value& error);

bool equalsIgnoringCase(const std::string& a, const std::string& b);

// The uploader's verdict on a result record: false when the upload failed (an error, a
// failing status word, or an HTTP status other than 200).
bool uploadSucceeded(const Dictionary& result);

}  // namespace vorn
