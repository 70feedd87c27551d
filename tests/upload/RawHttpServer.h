#pragma once
// A bare HTTP/1.1 server on a loopback socket for the upload tests: it takes one connection at a
// time, reads the whole request exactly as it arrived (head and body), answers a fixed reply and
// closes. It can hold the reply back, and run a hook once the head or the whole request is in.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vorn::test {

inline constexpr const char* kOkReplyXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<response>\n  <status>OK</status>\n"
    "  <message>Upload successful</message>\n  <imageid>1001</imageid>\n</response>\n";

class RawHttpServer {
  public:
    struct Request {
        std::string requestLine;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;

        // Values of every header with this name (ignoring case), in order.
        std::vector<std::string> header(const std::string& name) const {
            std::vector<std::string> values;
            for (const auto& [n, v] : headers)
                if (n.size() == name.size() &&
                    std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
                        return std::tolower(static_cast<unsigned char>(a)) ==
                               std::tolower(static_cast<unsigned char>(b));
                    }))
                    values.push_back(v);
            return values;
        }
    };
    struct Reply {
        int status = 200;
        std::string reason = "OK";
        std::string contentType = "text/xml; charset=UTF-8";
        std::string body = kOkReplyXml;
        // keepOpen: the connection serves the next request too. Otherwise it is closed after the
        // reply, with "Connection: close" when announceClose, silently when not.
        bool keepOpen = false;
        bool announceClose = true;
    };

    RawHttpServer() {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listen_, 16) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("cannot listen on loopback");
        port_ = ntohs(addr.sin_port);
        if (::pipe2(stopPipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        thread_ = std::thread([this] { serve(); });
    }

    ~RawHttpServer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            held_ = false;
        }
        cv_.notify_all();
        char c = 0;
        (void)!::write(stopPipe_[1], &c, 1);
        thread_.join();
        ::close(listen_);
        ::close(stopPipe_[0]);
        ::close(stopPipe_[1]);
    }

    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/vorn"; }

    void setReply(Reply reply) {
        std::lock_guard lock(mutex_);
        reply_ = std::move(reply);
    }
    // Runs on the server thread once the request head is in, before the body is read.
    void setAfterHead(std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        afterHead_ = std::move(hook);
    }
    // Runs on the server thread once the whole request is in, before the reply goes out.
    void setBeforeReply(std::function<void(const Request&)> hook) {
        std::lock_guard lock(mutex_);
        beforeReply_ = std::move(hook);
    }
    // While held, complete requests are recorded but not answered.
    void hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        cv_.notify_all();
    }

    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    int connections() const { return connections_.load(); }
    // Waits until count complete requests have arrived; false after timeout.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
    }

  private:
    // Reads more bytes into buf; false at the end of the stream or when the server stops.
    bool readMore(int fd, std::string& buf) {
        pollfd p[3] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
        for (;;) {
            if (::poll(p, 3, -1) < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (p[1].revents) return false;
            // A kept connection left idle while the client opens another: let it go.
            if (p[2].revents && buf.empty() && !(p[0].revents & POLLIN)) return false;
            char chunk[256 * 1024];
            ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buf.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
    }

    void serve() {
        for (;;) {
            pollfd p[2] = {{listen_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (p[1].revents) return;
            int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            connections_.fetch_add(1);
            handle(fd);
            ::close(fd);
        }
    }

    void handle(int fd) {
        std::string buf;
        while (handleOne(fd, buf)) {
        }
    }

    // One request from buf and fd; true when the connection stays open for another.
    bool handleOne(int fd, std::string& buf) {
        std::size_t headEnd;
        while ((headEnd = buf.find("\r\n\r\n")) == std::string::npos)
            if (!readMore(fd, buf)) return false;
        Request request;
        std::string head = buf.substr(0, headEnd);
        std::size_t lineEnd = head.find("\r\n");
        request.requestLine = head.substr(0, lineEnd);
        std::size_t contentLength = 0;
        while (lineEnd != std::string::npos) {
            std::size_t start = lineEnd + 2;
            lineEnd = head.find("\r\n", start);
            std::string line = head.substr(
                start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
            std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            request.headers.emplace_back(line.substr(0, colon), value);
        }
        for (const std::string& v : request.header("Content-Length")) contentLength = std::stoul(v);
        std::function<void()> afterHead;
        {
            std::lock_guard lock(mutex_);
            afterHead = afterHead_;
        }
        if (afterHead) afterHead();
        buf.erase(0, headEnd + 4);
        while (buf.size() < contentLength)
            if (!readMore(fd, buf)) return false;
        request.body = buf.substr(0, contentLength);
        buf.erase(0, contentLength);

        std::function<void(const Request&)> beforeReply;
        Reply reply;
        {
            std::unique_lock lock(mutex_);
            requests_.push_back(request);
            cv_.notify_all();
            cv_.wait(lock, [&] { return !held_ || stopping_; });
            beforeReply = beforeReply_;
            reply = reply_;
        }
        if (beforeReply) beforeReply(request);
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reply.reason +
                          "\r\nContent-Type: " + reply.contentType +
                          "\r\nContent-Length: " + std::to_string(reply.body.size()) +
                          (reply.keepOpen || !reply.announceClose ? "" : "\r\nConnection: close") +
                          "\r\n\r\n" + reply.body;
        const char* data = out.data();
        std::size_t left = out.size();
        while (left > 0) {
            ssize_t n = ::send(fd, data, left, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            data += n;
            left -= static_cast<std::size_t>(n);
        }
        return reply.keepOpen;
    }

    int listen_ = -1;
    int stopPipe_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool stopping_ = false;
    bool held_ = false;
    Reply reply_;
    std::function<void()> afterHead_;
    std::function<void(const Request&)> beforeReply_;
    std::vector<Request> requests_;
    std::atomic<int> connections_{0};
};

}  // namespace vorn::test
