#pragma once
// A bare HTTP/1.1 server on a loopback socket for the upload tests: it takes one connection at a
// time, reads the whole request exactly as it arrived (head and body), answers a set reply and
// closes. It can hold the reply back, and run a hook once the head or the whole request is in.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vorn::test {

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
                if (::strcasecmp(n.c_str(), name.c_str()) == 0) values.push_back(v);
            return values;
        }
    };
    struct Reply {
        int status = 200;
        std::string body =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<response>\n  <status>OK</status>\n"
            "  <message>Upload successful</message>\n  <imageid>1001</imageid>\n</response>\n";
        std::string headers;  // more header lines, each ending in CR LF
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
        socklen_t len = sizeof addr;
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listen_, 16) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
            ::pipe2(stopPipe_, O_CLOEXEC) != 0)
            throw std::runtime_error("cannot listen on loopback");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~RawHttpServer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_all();
        (void)!::write(stopPipe_[1], "x", 1);
        thread_.join();
        for (int fd : {listen_, stopPipe_[0], stopPipe_[1]}) ::close(fd);
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/vorn"; }

    void setReply(Reply reply) {
        locked([&] { reply_ = std::move(reply); });
    }
    // Runs on the server thread once the request head is in, before the body is read.
    void setAfterHead(std::function<void()> hook) {
        locked([&] { afterHead_ = std::move(hook); });
    }
    // Runs on the server thread once the whole request is in, before the reply goes out.
    void setBeforeReply(std::function<void()> hook) {
        locked([&] { beforeReply_ = std::move(hook); });
    }
    // The next request's connection is reset as soon as its head is in: a kept connection
    // that the service closes while the client is sending on it.
    void resetNextRequest() {
        locked([&] { resetNext_ = true; });
    }
    // While held, complete requests are recorded but not answered.
    void hold() {
        locked([&] { held_ = true; });
    }
    void release() {
        locked([&] { held_ = false; });
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
    template <class F>
    void locked(F f) {
        std::lock_guard lock(mutex_);
        f();
    }

    // Reads more bytes into buf; false at the end of the stream or when the server stops.
    bool readMore(int fd, std::string& buf) {
        pollfd p[3] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
        while (::poll(p, 3, -1) < 0)
            if (errno != EINTR) return false;
        if (p[1].revents) return false;
        // A kept connection left idle while the client opens another: let it go.
        if (p[2].revents && buf.empty() && !(p[0].revents & POLLIN)) return false;
        char chunk[256 * 1024];
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return false;
        buf.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    void serve() {
        for (;;) {
            pollfd p[2] = {{listen_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
            if (p[1].revents) return;
            if (!(p[0].revents & POLLIN)) continue;
            int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            connections_.fetch_add(1);
            std::string buf;
            while (handleOne(fd, buf)) {
            }
            ::close(fd);
        }
    }

    // One request from buf and fd; true when the connection stays open for another.
    bool handleOne(int fd, std::string& buf) {
        std::size_t headEnd;
        while ((headEnd = buf.find("\r\n\r\n")) == std::string::npos)
            if (!readMore(fd, buf)) return false;
        Request request;
        std::size_t lineEnd = buf.find("\r\n");
        request.requestLine = buf.substr(0, lineEnd);
        while (lineEnd < headEnd) {
            std::size_t start = lineEnd + 2;
            lineEnd = buf.find("\r\n", start);
            std::string line = buf.substr(start, lineEnd - start);
            std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::size_t value = line.find_first_not_of(' ', colon + 1);
            request.headers.emplace_back(line.substr(0, colon),
                                         value == std::string::npos ? "" : line.substr(value));
        }
        std::size_t contentLength = 0;
        for (const std::string& v : request.header("Content-Length")) contentLength = std::stoul(v);
        std::function<void()> afterHead, beforeReply;
        locked([&] { afterHead = afterHead_; });
        if (afterHead) afterHead();
        bool reset = false;
        locked([&] { reset = std::exchange(resetNext_, false); });
        if (reset) {
            linger abort{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            return false;
        }
        buf.erase(0, headEnd + 4);
        while (buf.size() < contentLength)
            if (!readMore(fd, buf)) return false;
        request.body = buf.substr(0, contentLength);
        buf.erase(0, contentLength);

        Reply reply;
        {
            std::unique_lock lock(mutex_);
            requests_.push_back(std::move(request));
            cv_.notify_all();
            cv_.wait(lock, [&] { return !held_ || stopping_; });
            beforeReply = beforeReply_;
            reply = reply_;
        }
        if (beforeReply) beforeReply();
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) +
                          " Reason\r\nContent-Type: text/xml; charset=UTF-8\r\nContent-Length: " +
                          std::to_string(reply.body.size()) + "\r\n" + reply.headers +
                          (reply.keepOpen || !reply.announceClose ? "" : "Connection: close\r\n") +
                          "\r\n" + reply.body;
        for (std::size_t sent = 0; sent < out.size();) {
            ssize_t n = ::send(fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
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
    bool resetNext_ = false;
    Reply reply_;
    std::function<void()> afterHead_, beforeReply_;
    std::vector<Request> requests_;
    std::atomic<int> connections_{0};
};

}  // namespace vorn::test
