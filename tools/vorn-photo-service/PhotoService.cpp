#include "PhotoService.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <stdexcept>

#include "Json.h"
#include "Orders.h"

namespace vorn::photoservice {

namespace {

std::string utcTimestamp() {
    auto now = std::chrono::system_clock::now();
    std::time_t secs = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03dZ", buf, static_cast<int>(ms.count()));
    return out;
}

// The account's folder; the request log's own name is kept free.
std::string userFolder(std::string_view user) {
    std::string c = sanitizeComponent(user);
    if (c == Storage::kRequestLog) c.insert(0, "_");
    return c;
}

ReplyDocument failure(const char* status, std::string message, const char* root = "response") {
    ReplyDocument doc;
    doc.root = root;
    doc.status = status;
    doc.message = std::move(message);
    return doc;
}

}  // namespace

// ---- RequestSession ---------------------------------------------------------------------

RequestSession::RequestSession(PhotoService& service, RequestInfo info)
    : service_(service), info_(std::move(info)) {
    auto boundary = multipartBoundary(info_.contentType);
    if (boundary) {
        reader_.emplace(*boundary, *this);
    } else if (info_.contentType.find("multipart/form-data") != std::string::npos) {
        setupError_ = "multipart/form-data without a usable boundary";
    } else {
        setupError_ = "expected a multipart/form-data body, got \"" + info_.contentType + "\"";
    }
}

RequestSession::~RequestSession() {
    if (file_) std::fclose(file_);
    for (const Part& p : parts_)
        if (!p.temp.empty()) ::unlink(p.temp.c_str());
}

void RequestSession::feed(const char* data, std::size_t size) {
    bodyBytes_ += size;
    if (reader_) reader_->feed(data, size);
}

bool RequestSession::beginPart(const PartHeader& header) {
    if (parts_.size() >= PhotoService::kMaxParts) {
        sinkError_ = "more than " + std::to_string(PhotoService::kMaxParts) + " parts";
        return false;
    }
    Part part;
    part.name = header.name;
    part.contentType = header.contentType;
    if (header.filename) {
        part.isFile = true;
        part.filename = *header.filename;
        auto temp = service_.storage_.createTemp(&sinkError_);
        if (!temp) return false;
        part.temp = temp->path;
        file_ = ::fdopen(temp->fd, "wb");
        if (!file_) {
            ::close(temp->fd);
            ::unlink(temp->path.c_str());
            sinkError_ = std::string("cannot open a temporary file: ") + std::strerror(errno);
            return false;
        }
        std::setvbuf(file_, nullptr, _IOFBF, 256 * 1024);
    }
    parts_.push_back(std::move(part));
    current_ = parts_.size() - 1;
    return true;
}

bool RequestSession::partData(const char* data, std::size_t size) {
    Part& part = parts_[*current_];
    part.size += size;
    if (part.isFile) {
        sha_.update(data, size);
        if (std::fwrite(data, 1, size, file_) != size) {
            sinkError_ = std::string("cannot write a temporary file: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
    textBytes_ += size;
    if (part.value.size() + size > PhotoService::kMaxTextField) {
        sinkError_ = "text field \"" + part.name + "\" is larger than " +
                     std::to_string(PhotoService::kMaxTextField) + " bytes";
        return false;
    }
    if (textBytes_ > PhotoService::kMaxText) {
        sinkError_ = "text fields exceed " + std::to_string(PhotoService::kMaxText) + " bytes";
        return false;
    }
    part.value.append(data, size);
    return true;
}

bool RequestSession::endPart() {
    Part& part = parts_[*current_];
    current_.reset();
    if (!part.isFile) return true;
    part.sha256 = sha_.hexDigest();
    bool ok = std::fflush(file_) == 0;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok) {
        sinkError_ = std::string("cannot write a temporary file: ") + std::strerror(errno);
        return false;
    }
    return true;
}

const RequestSession::Part* RequestSession::field(std::string_view name) const {
    for (const Part& p : parts_)
        if (p.name == name) return &p;
    return nullptr;
}

const RequestSession::Part* RequestSession::firstFile(std::string_view name) const {
    for (const Part& p : parts_)
        if (p.isFile && p.name == name) return &p;
    return nullptr;
}

// ---- PhotoService -----------------------------------------------------------------------

PhotoService::PhotoService(ServiceOptions options)
    : options_(std::move(options)), storage_(options_.dataDir) {
    storage_.sweepIncoming();
    std::string logPath = (storage_.root() / Storage::kRequestLog).string();
    logFd_ = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd_ < 0)
        throw std::runtime_error("cannot open " + logPath + ": " + std::strerror(errno));
}

PhotoService::~PhotoService() {
    if (logFd_ >= 0) ::close(logFd_);
}

std::unique_ptr<RequestSession> PhotoService::begin(RequestInfo info) {
    return std::make_unique<RequestSession>(*this, std::move(info));
}

const char* PhotoService::kindName(Kind kind) {
    switch (kind) {
        case Kind::Photo:
            return "photo";
        case Kind::OrderQuery:
            return "order-query";
        case Kind::HiRes:
            return "hires";
        case Kind::Malformed:
            return "malformed";
        case Kind::Unknown:
            return "unknown";
    }
    return "?";
}

PhotoService::Kind PhotoService::classify(const RequestSession& s) {
    if (!s.setupError_.empty() || !s.reader_ || !s.reader_->complete()) return Kind::Malformed;
    // Only the hi-res form carries order identifiers (imageid is always sent).
    for (const char* name : {"imageid", "orderid", "pictureid"})
        if (s.field(name)) return Kind::HiRes;
    for (const char* name : {"event", "client", "capturetime", "Submit", "metadata", "imgfile"})
        if (s.field(name)) return Kind::Photo;
    if (s.field("fuseaction")) return Kind::OrderQuery;
    return Kind::Unknown;
}

void PhotoService::storeFiles(RequestSession& s, const std::vector<std::string>& dirs,
                              std::string& logError) {
    for (RequestSession::Part& p : s.parts_) {
        if (!p.isFile || p.temp.empty()) continue;
        std::string error;
        std::string name = sanitizeFileName(p.filename);
        auto stored = storage_.place(p.temp, dirs, name, &error);
        if (stored) {
            p.stored = stored->string();
            p.temp.clear();
        } else {
            if (!logError.empty()) logError += "; ";
            logError += error;
        }
    }
}

namespace {

bool hasLogin(const RequestSession::Part* user, const RequestSession::Part* pass) {
    return user && pass && !user->isFile && !pass->isFile && !user->value.empty() &&
           !pass->value.empty();
}

}  // namespace

PhotoService::Outcome PhotoService::photo(RequestSession& s) {
    Outcome o;
    const auto* user = s.field("username");
    const auto* event = s.field("event");
    storeFiles(s,
               {userFolder(user ? user->value : ""), sanitizeComponent(event ? event->value : "")},
               o.error);
    const auto* image = s.firstFile("imgfile");
    if (!hasLogin(user, s.field("password"))) {
        o.doc = failure("ERROR", "Login failed: username and password are required");
        return o;
    }
    for (const char* name : {"event", "client", "capturetime", "fuseaction"}) {
        if (!s.field(name)) {
            o.doc = failure("FAIL", std::string("Missing field: ") + name);
            return o;
        }
    }
    if (!image) {
        o.doc = failure("FAIL", "Missing field: imgfile");
        return o;
    }
    if (image->stored.empty()) {
        o.doc = failure("FAIL", "Could not store the photo, try again later");
        return o;
    }
    if (image->size == 0) {
        o.doc = failure("Warning", "Empty image file");
        return o;
    }
    o.complete = true;
    o.doc.message = "Upload successful";
    return o;
}

PhotoService::Outcome PhotoService::hiRes(RequestSession& s) {
    Outcome o;
    const auto* user = s.field("username");
    storeFiles(s, {userFolder(user ? user->value : ""), "hires"}, o.error);
    const auto* image = s.firstFile("imgfile");
    const auto* imageId = s.field("imageid");
    if (!hasLogin(user, s.field("password"))) {
        o.doc = failure("ERROR", "Login failed: username and password are required");
        return o;
    }
    if (!imageId || imageId->value.empty()) {
        o.doc = failure("FAIL", "Missing field: imageid");
        return o;
    }
    if (!image) {
        o.doc = failure("FAIL", "Missing field: imgfile");
        return o;
    }
    if (image->stored.empty()) {
        o.doc = failure("FAIL", "Could not store the hi-res photo, try again later");
        return o;
    }
    o.complete = true;
    o.doc.message = "Hi-res photo received";
    o.doc.extra = "  " + xmlElement("imageid", imageId->value) + "\n";
    return o;
}

PhotoService::Outcome PhotoService::query(RequestSession& s) {
    Outcome o;
    const auto* user = s.field("username");
    const auto* fuse = s.field("fuseaction");
    bool v4 = fuse && isVersion4Query(fuse->value);
    const char* root = v4 ? "images" : "orders";
    if (!hasLogin(user, s.field("password"))) {
        o.doc = failure("ERROR", "Login failed: username and password are required", root);
        return o;
    }
    OrdersFile file;
    if (options_.ordersFile) {
        // Read at every query, so a test can change the orders while the service runs.
        std::string error;
        auto loaded = loadOrders(*options_.ordersFile, &error);
        if (!loaded) {
            o.httpStatus = 500;
            o.error = error;
            o.doc = failure("ERROR", "Orders unavailable", root);
            return o;
        }
        file = std::move(*loaded);
    }
    std::function<bool(const OrderEntry&)> done;
    if (file.removeFulfilled) {
        done = [this](const OrderEntry& e) {
            std::lock_guard<std::mutex> lock(fulfilledMutex_);
            return fulfilled_.count({e.orderid.value_or(""), e.imageid.value_or("")}) > 0;
        };
    }
    o.doc = orderReply(file, user->value, v4, done);
    o.complete = true;
    return o;
}

// The script's answer to a complete request: by the photo's name, or the rule for queries.
std::optional<ScriptAction> PhotoService::scriptedAction(Kind kind, const RequestSession& s) {
    if (!options_.script) return std::nullopt;
    if (kind == Kind::OrderQuery) return options_.script->take("", true);
    const auto* image = s.firstFile("imgfile");
    if (!image) return std::nullopt;
    std::string_view name = image->filename;
    std::size_t slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    return options_.script->take(name, false);
}

// The request's line in requests.jsonl: what came in, every part, and what was answered.
std::string PhotoService::logLine(std::uint64_t seq, Kind kind, const RequestSession& s,
                                  const Outcome& o, const std::optional<ScriptAction>& action,
                                  const Answer& answer) {
    JsonWriter w;
    w.beginObject();
    w.key("seq").number(static_cast<std::int64_t>(seq));
    w.key("time").string(utcTimestamp());
    w.key("remote").string(s.info_.remote);
    w.key("method").string(s.info_.method);
    w.key("path").string(s.info_.path);
    w.key("content_type").string(s.info_.contentType);
    w.key("kind").string(kindName(kind));
    if (const auto* fuse = s.field("fuseaction"); fuse && !fuse->isFile)
        w.key("fuseaction").string(fuse->value);
    w.key("body_bytes").number(static_cast<std::int64_t>(s.bodyBytes_));
    w.key("parts").beginArray();
    for (const auto& p : s.parts_) {
        w.beginObject();
        w.key("name").string(p.name);
        if (p.isFile) {
            w.key("filename").string(p.filename);
            w.key("content_type").string(p.contentType);
            w.key("size").number(static_cast<std::int64_t>(p.size));
            if (!p.sha256.empty()) w.key("sha256").string(p.sha256);
            if (!p.stored.empty()) w.key("stored").string(p.stored);
        } else {
            w.key("value").string(p.value);
            if (!p.contentType.empty()) w.key("content_type").string(p.contentType);
        }
        w.endObject();
    }
    w.endArray();
    if (!o.error.empty()) w.key("error").string(o.error);
    if (action) {
        w.key("script").string(action->rule);
        w.key("verdict").string(verdictName(action->verdict));
    }
    if (answer.delaySeconds > 0) w.key("hang_seconds").number(answer.delaySeconds);
    w.key("status").number(static_cast<std::int64_t>(answer.reply.status));
    w.key("reply").string(answer.reply.body);
    w.endObject();
    return w.str();
}

Answer PhotoService::finish(RequestSession& s) {
    if (s.reader_) s.reader_->finish();
    std::uint64_t seq = ++sequence_;
    Kind kind = classify(s);

    Outcome o;
    std::string subject;
    switch (kind) {
        case Kind::Photo:
            o = photo(s);
            break;
        case Kind::HiRes:
            o = hiRes(s);
            break;
        case Kind::OrderQuery:
            o = query(s);
            break;
        case Kind::Malformed: {
            std::string why = !s.setupError_.empty() ? s.setupError_
                              : s.reader_            ? s.reader_->error()
                                                     : std::string("unreadable body");
            o.doc = failure("FAIL", "Malformed multipart body: " + why);
            o.httpStatus = 400;
            o.error = why;
            break;
        }
        case Kind::Unknown:
            o.doc = failure("FAIL", "Unknown request: no fuseaction");
            o.httpStatus = 400;
            break;
    }

    std::optional<ScriptAction> action;
    if (o.complete) action = scriptedAction(kind, s);
    bool refused =
        action && (action->verdict == Verdict::Warning || action->verdict == Verdict::Error ||
                   action->verdict == Verdict::Fail || action->verdict == Verdict::NoEmail);
    // Only a photo the service accepts gets an image id, so ids run on without gaps.
    if (kind == Kind::Photo && o.complete && !refused)
        o.doc.extra = "  " + xmlElement("imageid", std::to_string(nextImageId_++)) + "\n";

    Answer answer;
    answer.reply = makeReply(o.doc, action ? &*action : nullptr);
    if (!action || action->verdict != Verdict::HttpStatus) answer.reply.status = o.httpStatus;
    if (action && action->verdict == Verdict::Hang) answer.delaySeconds = action->seconds;

    if (kind == Kind::HiRes && o.complete && answer.reply.status == 200 && !refused &&
        (!action || action->verdict == Verdict::Ok || action->verdict == Verdict::Hang ||
         action->verdict == Verdict::Encoding)) {
        const auto* order = s.field("orderid");
        std::lock_guard<std::mutex> lock(fulfilledMutex_);
        fulfilled_.insert({order ? order->value : "", s.field("imageid")->value});
    }

    appendLog(logLine(seq, kind, s, o, action, answer));
    return answer;
}

HttpReply PhotoService::other(const RequestInfo& info) {
    HttpReply reply;
    reply.contentType = "text/plain; charset=UTF-8";
    if (info.method == "GET" || info.method == "HEAD") {
        reply.body = "vorn-photo-service: POST the upload, order query and hi-res forms here\n";
    } else {
        reply.status = 405;
        reply.body = "method not allowed\n";
    }
    JsonWriter w;
    w.beginObject();
    w.key("seq").number(static_cast<std::int64_t>(++sequence_));
    w.key("time").string(utcTimestamp());
    w.key("remote").string(info.remote);
    w.key("method").string(info.method);
    w.key("path").string(info.path);
    w.key("kind").string("other");
    w.key("status").number(static_cast<std::int64_t>(reply.status));
    w.key("reply").string(reply.body);
    w.endObject();
    appendLog(w.str());
    return reply;
}

void PhotoService::appendLog(const std::string& line) {
    std::string whole = line + "\n";
    std::lock_guard<std::mutex> lock(logMutex_);
    const char* p = whole.data();
    std::size_t left = whole.size();
    while (left > 0) {
        ssize_t n = ::write(logFd_, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "vorn-photo-service: cannot write the request log: %s\n",
                         std::strerror(errno));
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void PhotoService::hang(double seconds) {
    std::unique_lock<std::mutex> lock(stopMutex_);
    stopCv_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stopping_; });
}

void PhotoService::stop() {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopping_ = true;
    }
    stopCv_.notify_all();
}

}  // namespace vorn::photoservice
