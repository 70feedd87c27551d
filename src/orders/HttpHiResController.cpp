#include "orders/HttpHiResController.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <pugixml.hpp>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include "files/KDW_FileManager.h"
#include "files/OriginalPathResolver.h"
#include "log/KDLogFileManager.h"
#include "metadata/ImageFile.h"
#include "platform/FileDescriptor.h"
#include "platform/OpenWithoutLinks.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/Text.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "upload/HttpExchange.h"
#include "upload/HttpReply.h"
#include "upload/Records.h"

namespace vorn {

namespace {

std::optional<std::string> optionalText(const Dictionary& d, const char* key) {
    const std::string* s = stringForKey(d, key);
    if (!s) return std::nullopt;
    return *s;
}

std::string text(const Dictionary& d, const char* key) {
    return optionalText(d, key).value_or(std::string());
}

bool missing(const std::optional<std::string>& s) {
    return !s || s->empty();
}

HttpExchangeOptions exchangeOptions(const HttpHiResController::Options& options) {
    HttpExchangeOptions o;
    o.connectTimeout = options.connectTimeout;
    o.idleTimeout = options.idleTimeout;
    o.cancel = options.cancel;
    return o;
}

// What a synchronous exchange brought, into a record, with the log lines both forms share.
void recordExchange(const HttpExchangeResult& exchange, const std::string& what, Dictionary& d) {
    if (exchange.statusCode) {
        d[httpStatusCode] = static_cast<std::int64_t>(*exchange.statusCode);
        d[httpResponse] = exchange.response;
        platformLog("%s answered HTTP status [%ld]", what.c_str(), *exchange.statusCode);
    } else {
        platformLog("NO Response returned from sendSynchronousRequest???");
    }
    if (exchange.error) {
        platformLog("%s failed: %s", what.c_str(), exchange.error->c_str());
        d[httpError] = makeErrorValue(*exchange.error);
    }
    if (exchange.replyBody)
        d[httpReturnData] = Data(exchange.replyBody->begin(), exchange.replyBody->end());
}

// What an order may send: photos, and camera originals that exiv2 reads.
bool isPhotoExtension(const std::string& extension) {
    static const char* const kTypes[] = {"jpg", "jpeg", "png", "tif", "tiff", "dng", "cr2",
                                         "cr3", "crw",  "nef", "nrw", "arw",  "srf", "sr2",
                                         "orf", "rw2",  "raf", "pef", "srw",  "mrw"};
    for (const char* t : kTypes)
        if (equalsIgnoringCase(extension, t)) return true;
    return false;
}

bool isHidden(const std::filesystem::path& path) {
    for (const auto& part : path) {
        const std::string name = part.string();
        if (name.size() > 1 && name[0] == '.' && name != "..") return true;
    }
    return false;
}

bool isInside(const std::filesystem::path& path, const std::string& folder) {
    if (folder.empty()) return false;
    std::error_code ec;
    std::filesystem::path f = std::filesystem::weakly_canonical(folder, ec);
    if (ec) return false;
    auto [fi, pi] = std::mismatch(f.begin(), f.end(), path.begin(), path.end());
    return fi == f.end() || (std::next(fi) == f.end() && fi->empty());
}

// Why the file an order names, opened as fd, must not go out, or nothing when it is a photo
// that may. The service (or anyone between it and us on plain HTTP) chooses the location, so
// the file was opened without following links, and is checked as opened: by the name the
// kernel knows it under, and by its contents read through the descriptor.
std::optional<std::string> refusalReason(const std::string& fileName, int fd) {
    if (!isPhotoExtension(pathExtension(fileName))) return "not a photo file type";
    const std::filesystem::path real = pathOfDescriptor(fd);
    if (real.empty()) return "cannot be resolved";
    if (!isPhotoExtension(pathExtension(real.string()))) return "not a photo file type";
    if (isHidden(fileName) || isHidden(real)) return "lies in a hidden folder";
    const std::string storePath = Preferences::store().path();
    const std::string stateHome = [] {
        const char* x = std::getenv("XDG_STATE_HOME");
        return x && *x == '/' ? appendingPathComponent(x, "vorn")
                              : appendingPathComponent(homeDirectory(), ".local/state/vorn");
    }();
    for (const std::string& own : {KDLogFileManager::logDirectory(), stateHome,
                                   deletingLastPathComponent(PreferencesStore::defaultPath())})
        if (isInside(real, own)) return "lies in the uploader's own folder " + own;
    // The store and the files beside it that carry its name (lock, temporary copies).
    std::error_code ec;
    std::filesystem::path store = std::filesystem::weakly_canonical(storePath, ec);
    if (!ec && real.parent_path() == store.parent_path() &&
        real.filename().string().rfind(store.filename().string(), 0) == 0)
        return "is the uploader's preferences";
    if (!IsValidImageObject(descriptorPath(fd))) return "its contents are not an image";
    return std::nullopt;
}

// The file an order names, opened once so that what is checked is what is sent, whatever the
// path leads to later; -1 (logged) when it cannot be read or must not go out.
int openOrderedFile(const Dictionary& item) {
    const std::string fileName = text(item, edFileName);
    Fd file(openWithoutLinks(fileName, O_RDONLY | O_NOCTTY | O_NONBLOCK));
    std::optional<std::string> why;
    struct stat st {};
    if (!file.valid() && errno == ELOOP) {
        why = "its path holds a symbolic link";
    } else if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        platformLog("Error in Reading the Contents of file at path:\n%s\n\n", fileName.c_str());
        return -1;
    } else {
        why = refusalReason(fileName, file.get());
    }
    if (!why) return file.release();
    platformLog("WARNING => Order [%s] image [%s]: refusing to send [%s]: %s",
                text(item, edOrderId).c_str(), text(item, edImageId).c_str(), fileName.c_str(),
                why->c_str());
    return -1;
}

}  // namespace

HttpHiResController::HttpHiResController() : HttpHiResController(Options{}) {}

HttpHiResController::HttpHiResController(Options options) : options_(options) {}

HttpHiResController::~HttpHiResController() = default;

void HttpHiResController::updateLine2(const std::string& line, bool doWait) const {
    if (_progressDelegate) _progressDelegate->ibUpdateLine2TextField(line, doWait);
}

void HttpHiResController::buildOrderQueryBody(const std::string& fuseAction,
                                              const std::string& user, const std::string& password,
                                              MultipartBody& body) {
    body.addField("fuseaction", fuseAction);
    body.addField("username", user);
    body.addField("password", password, /*secret=*/true);
}

bool HttpHiResController::buildHiResUploadBody(const Dictionary& item,
                                               const std::string& fuseAction, int fd,
                                               MultipartBody& body) {
    body.addField("fuseaction", fuseAction);
    body.addField("username", text(item, edUser));
    body.addField("password", text(item, edPasswd), /*secret=*/true);
    if (auto v = optionalText(item, edOrderId)) body.addField("orderid", *v);
    body.addField("imageid", text(item, edImageId));
    if (auto v = optionalText(item, edPictureId)) body.addField("pictureid", *v);

    const std::string fileName = text(item, edFileName);
    body.addFileHeader("imgfile", fileName, contentTypeForExtension(pathExtension(fileName)));
    bool readable = body.attachOpenFile(fd, fileName);
    if (!readable)
        platformLog("Error in Reading the Contents of file at path:\n%s\n\n", fileName.c_str());
    return readable;
}

bool HttpHiResController::doQueryAndUploadHiResWithInfo(const DictionaryPtr& queryInfo) {
    const char* method = "doQueryAndUploadHiResWithInfo";
    VORN_TRACE(kClass, method);
    auto finish = [&] {
        if (queryInfo) queryInfo->clear();
        platformLog("EXITING  %s => %s...", kClass, method);
        return true;
    };
    if (!queryInfo) {
        platformLog("Passed NIL Info to %s => %s...", kClass, method);
        return finish();
    }

    const std::optional<std::string> fuseAction = Preferences::getPrefCheckHiResOrderFuseAction();
    const std::optional<std::string> user = optionalText(*queryInfo, edUser);
    const std::optional<std::string> password = optionalText(*queryInfo, edPasswd);
    const std::optional<std::string> url = Preferences::getPrefKivURL();
    if (missing(fuseAction)) {
        platformLog("No order query fuse action (%s) is set: not checking for orders",
                    sPrefCheckHiResOrderFuseAction);
        return finish();
    }
    if (missing(user) || missing(password)) {
        platformLog("No login name or password is stored: not checking for orders");
        return finish();
    }
    if (missing(url)) {
        platformLog("No service address (%s) is set: not checking for orders", sPrefKivURL);
        return finish();
    }

    MultipartBody body;
    buildOrderQueryBody(*fuseAction, *user, *password, body);
    body.close();

    OrderQueryRecord record;
    record.values = *queryInfo;
    record.progressDelegate = _progressDelegate;

    updateLine2(stringWithFormat("Sending Query to %s", fuseAction->c_str()), true);
    HttpExchangeResult exchange = postMultipart(*url, body, exchangeOptions(options_));
    recordExchange(exchange, "Order query", record.values);
    if (!exchange.replyBody) return finish();

    std::optional<std::string> reply = decodeMacRoman(*exchange.replyBody);
    if (!reply) return finish();
    auto doc = std::make_shared<pugi::xml_document>();
    pugi::xml_parse_result parsed =
        doc->load_buffer(reply->data(), reply->size(), pugi::parse_default, pugi::encoding_utf8);
    if (!parsed) {
        platformLog("responseString converted to xmlDoc with Error: [%s at offset %lld]",
                    parsed.description(), static_cast<long long>(parsed.offset));
        return finish();
    }

    // The reply carries no version mark: the fuse action that asked decides. The one sent is
    // used, so a change of the setting during the query cannot mislabel its reply.
    if (equalsIgnoringCase(*fuseAction, kOrdersVersion4FuseAction)) {
        record.myXmlDoc = doc;
        parseDataVers4WithDictionary(*reply, record);
    } else {
        parseDataVers3(*doc, record);
    }
    return finish();
}

void HttpHiResController::readStatusAndMessage(const pugi::xml_node& root,
                                               OrderQueryRecord& record) {
    if (pugi::xml_node status = root.child("status"))
        record.values[httpOurCustomStatus] = trimmed(elementStringValue(status));
    if (pugi::xml_node message = root.child("message"))
        record.values[httpOurCustomMessage] = trimmed(elementStringValue(message));
    platformLog("Order query status: [%s] message: [%s]",
                text(record.values, httpOurCustomStatus).c_str(),
                text(record.values, httpOurCustomMessage).c_str());
}

void HttpHiResController::processEntries(const pugi::xml_node& root, const char* entryName,
                                         bool version4, OrderQueryRecord& record) {
    std::vector<pugi::xml_node> entries;
    for (pugi::xml_node entry : root.children(entryName)) entries.push_back(entry);
    if (entries.empty()) return;
    updateLine2(stringWithFormat("Found %i Orders...", static_cast<int>(entries.size())), true);
    for (const pugi::xml_node& entry : entries) {
        if (cancelled()) {
            platformLog("Order check cancelled: the remaining entries wait for the next pass");
            return;
        }
        processOrderEntry(entry, version4, record);
    }
}

void HttpHiResController::parseDataVers3(const pugi::xml_document& doc, OrderQueryRecord& record) {
    pugi::xml_node root = doc.document_element();
    processEntries(root, "order", false, record);
    readStatusAndMessage(root, record);
}

bool HttpHiResController::parseDataVers4WithDictionary(const std::string& replyText,
                                                       OrderQueryRecord& record) {
    (void)replyText;  // the document was parsed from it already
    if (!record.myXmlDoc) {
        platformLog("Inside %s => %s...NO myXmlDoc Found in dictionary...", kClass,
                    "parseDataVers4:withDictionary:");
        return false;
    }
    pugi::xml_node root = record.myXmlDoc->document_element();
    readStatusAndMessage(root, record);
    processEntries(root, "image", true, record);
    return true;
}

void HttpHiResController::processOrderEntry(const pugi::xml_node& entry, bool version4,
                                            const OrderQueryRecord& record) {
    const char* kind = version4 ? "image" : "order";
    pugi::xml_node locationNode = entry.child("localfilelocation");
    if (!locationNode) {
        platformLog("The localfilelocation list of this %s is empty: skipping it", kind);
        return;
    }
    const std::string location = elementStringValue(locationNode);
    // Only for what people read: the search decodes the escapes itself, exactly once, so a
    // name holding "%" is not decoded twice into another name.
    const std::optional<std::string> shown = replacingPercentEscapes(location);
    if (!shown) {
        platformLog("WARNING => Cannot decode the escapes of the location [%s]: skipping it",
                    location.c_str());
        return;
    }

    pugi::xml_node imageId = entry.child("imageid");
    if (!imageId || elementStringValue(imageId).empty()) {
        platformLog("WARNING => The %s for [%s] has no imageid: skipping it", kind, shown->c_str());
        return;
    }

    updateLine2(stringWithFormat("Looking for Hi Res Item: [%s]", shown->c_str()), false);
    std::vector<std::string> roots;
    if (Preferences::getPrefDoUseKivHiResAlternatePath1()) {
        std::optional<std::string> alternate = Preferences::getPrefKivHiResAlternatePath1();
        if (!missing(alternate)) roots.push_back(*alternate);
    }
    std::optional<std::string> found = KDW_FileManager::doResolveOriginalPathInArrayOfPaths(
        location, roots.empty() ? nullptr : &roots);
    if (!found) {
        platformLog("WARNING => Unable to find item = [%s]", shown->c_str());
        return;
    }
    platformLog("Found the Hi Res Item at: [%s]", found->c_str());
    updateLine2(stringWithFormat("Uploading Hi Res Item: [%s]", found->c_str()), false);

    DictionaryPtr item = makeRecord();
    Dictionary& d = *item;
    for (const char* key : {edUser, edPasswd})
        if (auto v = optionalText(record.values, key)) d[key] = *v;
    d[edFileName] = *found;
    d[edImageId] = elementStringValue(imageId);
    // An identifier the entry lacks is left out of the upload rather than sent empty.
    if (pugi::xml_node n = entry.child("orderid")) d[edOrderId] = elementStringValue(n);
    if (pugi::xml_node n = entry.child("pictureid")) d[edPictureId] = elementStringValue(n);
    doRunHttpUploaderHiResWithInfo(item);
}

bool HttpHiResController::doRunHttpUploaderHiResWithInfo(const DictionaryPtr& item) {
    const char* method = "doRunHttpUploaderHiResWithInfo";
    VORN_TRACE(kClass, method);
    auto finish = [&] {
        if (item) item->clear();
        platformLog("EXITING  %s => %s...", kClass, method);
        return true;
    };
    if (!item) {
        platformLog("Passed NIL Info to %s => %s...", kClass, method);
        return finish();
    }
    const std::string fileName = text(*item, edFileName);
    const std::optional<std::string> fuseAction = Preferences::getPrefUploadHiResOrderFuseAction();
    const std::optional<std::string> url = Preferences::getPrefKivURL();
    if (missing(fuseAction)) {
        platformLog("No hi-res upload fuse action (%s) is set: not sending [%s]",
                    sPrefUploadHiResOrderFuseAction, fileName.c_str());
        return finish();
    }
    if (missing(url)) {
        platformLog("No service address (%s) is set: not sending [%s]", sPrefKivURL,
                    fileName.c_str());
        return finish();
    }
    if (missing(optionalText(*item, edImageId))) {
        platformLog("No image identifier for [%s]: not sending it", fileName.c_str());
        return finish();
    }

    Fd file(openOrderedFile(*item));
    if (!file.valid()) return finish();

    MultipartBody body;
    if (!buildHiResUploadBody(*item, *fuseAction, file.release(), body)) return finish();
    if (cancelled()) {
        platformLog("Order check cancelled: not sending [%s]", fileName.c_str());
        return finish();
    }
    body.close();

    DictionaryPtr result = makeResultRecord(*item);
    Dictionary& d = *result;
    const std::string what = "Hi-res upload of [" + fileName + "]";
    HttpExchangeResult exchange = postMultipart(*url, body, exchangeOptions(options_));
    if (exchange.bodyFailure != MultipartBody::ReadFailure::None || !body.filesUnchanged())
        platformLog("WARNING => [%s] changed or could not be read while it was sent",
                    fileName.c_str());
    recordExchange(exchange, what, d);

    if (exchange.replyBody) {
        if (std::optional<std::string> reply = decodeMacRoman(*exchange.replyBody)) {
            std::string error;
            std::optional<ServiceReply> answer = readPositionalReply(*reply, &error);
            if (!error.empty())
                platformLog("responseString converted to xmlDoc with Error: [%s]", error.c_str());
            if (answer) {
                d[httpOurCustomStatus] = answer->status;
                d[httpOurCustomMessage] = answer->message;
                platformLog("httpOurCustomStatus = [%s]", answer->status.c_str());
                platformLog("httpOurCustomMessage = [%s]", answer->message.c_str());
            }
        }
    }
    return finish();
}

}  // namespace vorn
