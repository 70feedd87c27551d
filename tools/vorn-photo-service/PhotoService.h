#pragma once
// The stand-in photo service without its HTTP server: takes one request's body in pieces,
// stores what it carries, logs it and decides the reply.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Multipart.h"
#include "Replies.h"
#include "Script.h"
#include "Sha256.h"
#include "Storage.h"

namespace vorn::photoservice {

struct ServiceOptions {
    std::filesystem::path dataDir;
    std::optional<std::string> ordersFile;
    std::unique_ptr<Script> script;  // may be empty
};

struct RequestInfo {
    std::string method = "POST";
    std::string path;
    std::string contentType;
    std::string remote;
};

// What to send back, and how long to wait first.
struct Answer {
    HttpReply reply;
    double delaySeconds = 0;
};

class PhotoService;

// One request in flight. Feed it the body, then hand it to PhotoService::finish.
class RequestSession : public MultipartSink {
  public:
    RequestSession(PhotoService& service, RequestInfo info);
    ~RequestSession() override;

    void feed(const char* data, std::size_t size);

    bool beginPart(const PartHeader& header) override;
    bool partData(const char* data, std::size_t size) override;
    bool endPart() override;
    std::string sinkError() const override { return sinkError_; }

    struct Part {
        std::string name;
        bool isFile = false;
        std::string value;  // text parts
        std::string filename;
        std::string contentType;
        std::uint64_t size = 0;
        std::string sha256;
        std::filesystem::path temp;
        std::string stored;  // path relative to the data folder once stored
    };

  private:
    friend class PhotoService;

    const Part* field(std::string_view name) const;  // first part of that name
    const Part* firstFile(std::string_view name) const;

    PhotoService& service_;
    RequestInfo info_;
    std::optional<MultipartReader> reader_;
    std::string setupError_;  // not multipart, no boundary
    std::vector<Part> parts_;
    std::optional<std::size_t> current_;  // index of the part being received
    std::FILE* file_ = nullptr;
    Sha256 sha_;
    std::uint64_t bodyBytes_ = 0;
    std::uint64_t textBytes_ = 0;
    std::string sinkError_;
};

class PhotoService {
  public:
    explicit PhotoService(ServiceOptions options);
    ~PhotoService();

    std::unique_ptr<RequestSession> begin(RequestInfo info);
    // Decides, stores, logs. The session's body must have ended.
    Answer finish(RequestSession& session);
    // Requests that are not form posts (GET and the like): a short text, also logged.
    HttpReply other(const RequestInfo& info);

    // Waits out a scripted hang; answers early once stop() was called.
    void hang(double seconds);
    void stop();

    const Storage& storage() const { return storage_; }

    static constexpr std::size_t kMaxTextField = 4 * 1024 * 1024;
    static constexpr std::size_t kMaxText = 16 * 1024 * 1024;
    static constexpr std::size_t kMaxParts = 256;

  private:
    friend class RequestSession;

    enum class Kind { Photo, OrderQuery, HiRes, Malformed, Unknown };
    static const char* kindName(Kind kind);
    static Kind classify(const RequestSession& s);

    struct Outcome {
        ReplyDocument doc;
        int httpStatus = 200;
        bool complete = false;  // all required fields there: a script rule may answer
        std::string error;      // storage trouble, for the log
    };
    Outcome photo(RequestSession& s);
    Outcome hiRes(RequestSession& s);
    Outcome query(RequestSession& s);
    std::optional<ScriptAction> scriptedAction(Kind kind, const RequestSession& s);
    static std::string logLine(std::uint64_t seq, Kind kind, const RequestSession& s,
                               const Outcome& o, const std::optional<ScriptAction>& action,
                               const Answer& answer);
    void storeFiles(RequestSession& s, const std::vector<std::string>& dirs, std::string& logError);
    void appendLog(const std::string& line);

    ServiceOptions options_;
    Storage storage_;
    int logFd_ = -1;
    std::mutex logMutex_;
    std::atomic<std::uint64_t> sequence_{0};
    std::atomic<std::uint64_t> nextImageId_{1001};
    std::mutex fulfilledMutex_;
    std::set<std::pair<std::string, std::string>> fulfilled_;  // (orderid, imageid)
    std::mutex stopMutex_;
    std::condition_variable stopCv_;
    bool stopping_ = false;
};

}  // namespace vorn::photoservice
