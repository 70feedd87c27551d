#pragma once
// Hi-res orders: asks the service which ordered photos still wait for their full-size file,
// looks each one up on the local disks and posts the files it finds, one after the other, on
// the calling thread. Takes no part in the notification flow of the upload cycle.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "files/CleanUpProgress.h"
#include "platform/Value.h"
#include "upload/MultipartBody.h"

namespace pugi {
class xml_document;
class xml_node;
}  // namespace pugi

namespace vorn {

// The order query answers version 4 (entries named "image") for this fuse action, compared
// ignoring case; version 3 (entries named "order") for every other.
inline constexpr const char* kOrdersVersion4FuseAction = "orders.v4check";

// Keys of the order query record besides the ed... and http... keys.
inline constexpr const char* kOrderQueryXmlDocKey = "myXmlDoc";

// The order query record: a copy of the query info (credentials) plus what the reply brought.
// The parsed reply and the progress window are not property-list values, so they ride beside
// the dictionary.
struct OrderQueryRecord {
    Dictionary values;
    std::shared_ptr<const pugi::xml_document> myXmlDoc;
    MaintenanceWindow* progressDelegate = nullptr;
};

class HttpHiResController {
  public:
    // The class name log lines carry.
    static constexpr const char* kClass = "HttpHiResController";

    struct Options {
        std::chrono::seconds connectTimeout{60};
        std::chrono::seconds idleTimeout{60};
        // Set from another thread to abort the exchange in flight and skip the entries left.
        const std::atomic<bool>* cancel = nullptr;
    };

    HttpHiResController();
    explicit HttpHiResController(Options options);
    virtual ~HttpHiResController();
    HttpHiResController(const HttpHiResController&) = delete;
    HttpHiResController& operator=(const HttpHiResController&) = delete;

    // Non-owning; the pass that made the window keeps it alive while this object lives.
    void setProgressDelegate(MaintenanceWindow* window) { _progressDelegate = window; }
    MaintenanceWindow* progressDelegate() const { return _progressDelegate; }

    // The whole query on the calling thread: request, reply, and the look-up and upload of
    // every entry in reply order. Without a stored login, a fuse action or an address the query
    // is not sent (logged). Empties queryInfo at the end. Always true.
    bool doQueryAndUploadHiResWithInfo(const DictionaryPtr& queryInfo);

    // A version 4 reply held in record.myXmlDoc: status and message first, then the entries.
    // False when the record holds no document.
    bool parseDataVers4WithDictionary(const std::string& replyText, OrderQueryRecord& record);

    // Posts one found file with its order identifiers (edUser, edPasswd, edFileName, edImageId,
    // and edOrderId, edPictureId when present) and logs the service's answer. Nothing is sent
    // for an unreadable file, without an image identifier, a fuse action or an address.
    // Empties item at the end. Always true.
    virtual bool doRunHttpUploaderHiResWithInfo(const DictionaryPtr& item);

    // The order query form: fuseaction, username, password.
    static void buildOrderQueryBody(const std::string& fuseAction, const std::string& user,
                                    const std::string& password, MultipartBody& body);
    // The hi-res upload form without its closing line: fuseaction, username, password,
    // orderid (when present), imageid, pictureid (when present), then the file as "imgfile":
    // the bytes of fd, the file edFileName names as it was opened and checked (the body takes
    // it over). False when it cannot be read; the body then lacks its bytes.
    static bool buildHiResUploadBody(const Dictionary& item, const std::string& fuseAction, int fd,
                                     MultipartBody& body);

  private:
    void parseDataVers3(const pugi::xml_document& doc, OrderQueryRecord& record);
    void processOrderEntry(const pugi::xml_node& entry, bool version4,
                           const OrderQueryRecord& record);
    void readStatusAndMessage(const pugi::xml_node& root, OrderQueryRecord& record);
    void processEntries(const pugi::xml_node& root, const char* entryName, bool version4,
                        OrderQueryRecord& record);
    void updateLine2(const std::string& text, bool doWait) const;
    bool cancelled() const { return options_.cancel && options_.cancel->load(); }

    MaintenanceWindow* _progressDelegate = nullptr;
    Options options_;
};

}  // namespace vorn
