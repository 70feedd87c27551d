#pragma once
// A bare HTTP/1.1 server on a loopback socket for the upload tests: it takes one connection at a
// time, records each request exactly as it arrived (head and body) and answers the set reply.

#include <arpa/inet.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vorn::test {

class RawHttpServer {
  public:
    struct Request {
        std::string head, body;  // head: the request line and the headers, each ending in CR LF

        // The values of every header with this name (ignoring case), joined as HTTP joins them.
        std::string header(const std::string& name) const {
            std::string values;
            for (std::size_t at = 0, end; (end = head.find("\r\n", at)) != std::string::npos;
                 at = end + 2)
                if (::strncasecmp(head.c_str() + at, (name + ": ").c_str(), name.size() + 2) == 0)
                    values += (values.empty() ? "" : ", ") +
                              head.substr(at + name.size() + 2, end - at - name.size() - 2);
            return values;
        }
    };
    struct Reply {
        int status = 200;
        std::string body = "<response><status>OK</status><message>Fine</message></response>";
        std::string headers{};  // more header lines, each ending in CR LF
        // keepOpen: the connection serves the next request too. Otherwise it is closed after the
        // reply, with "Connection: close" when announceClose, silently when not.
        bool keepOpen = false, announceClose = true;
        // Run on the server thread once the head is in, and once the whole request is in.
        std::function<void()> afterHead{}, beforeReply{};
        // The connection of the request with this number (the first is 1) is reset once its head
        // is in (a kept connection the service closes while the client sends on it), or dropped
        // without a reply once the whole request is in (and recorded): reset (RST) or closed.
        int resetAtHead = 0, resetAfterBody = 0, closeAfterBody = 0;
    };

    // receiveBuffer: the size of each connection's receive buffer, when not the system's; a
    // small one keeps most of a large body on the client's side until the service reads it.
    explicit RawHttpServer(int receiveBuffer = 0) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof addr;
        if (listen_ >= 0 && receiveBuffer > 0)
            ::setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            ::listen(listen_, 16) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("cannot listen on loopback");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    // A socket shut down wakes the server thread blocked on it: accept fails, read ends.
    ~RawHttpServer() {
        locked([&] {
            stopping_ = true;
            if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
        });
        cv_.notify_all();
        ::shutdown(listen_, SHUT_RDWR);
        thread_.join();
        ::close(listen_);
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/vorn"; }
    void setReply(Reply reply) {
        locked([&] { reply_ = std::move(reply); });
    }
    // While held, complete requests are recorded but not answered.
    void hold(bool held = true) {
        locked([&] { held_ = held; });
        cv_.notify_all();
    }
    std::vector<Request> requests() {
        return locked([&] { return requests_; });
    }
    int connections() {
        return locked([&] { return connections_; });
    }
    // Waits until count complete requests have arrived; false after 20 s.
    bool waitForRequests(std::size_t count) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(20),
                            [&] { return requests_.size() >= count; });
    }
    // Waits until no connection is open, so every step run on it has finished; false after 20 s.
    bool waitUntilIdle() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return client_ < 0; });
    }

  private:
    template <class F>
    auto locked(F f) -> decltype(f()) {
        std::lock_guard lock(mutex_);
        return f();
    }

    // Closed with RST, not FIN, once the caller closes fd.
    static bool resetConnection(int fd) {
        linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        return false;
    }

    // Reads more bytes into buf; false at the end of the stream.
    static bool readMore(int fd, std::string& buf) {
        char chunk[256 * 1024];
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) buf.append(chunk, static_cast<std::size_t>(n));
        return n > 0;
    }

    void serve() {
        for (int fd; (fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            locked([&] {
                client_ = fd;
                ++connections_;
                if (stopping_) ::shutdown(fd, SHUT_RDWR);
            });
            std::string buf;
            while (handleOne(fd, buf)) {
            }
            // Under the lock: the destructor shuts client_ down, and idle means closed.
            locked([&] {
                ::close(fd);
                client_ = -1;
            });
            cv_.notify_all();
        }
    }

    // One request from buf and fd; true when the connection stays open for another.
    bool handleOne(int fd, std::string& buf) {
        std::size_t headEnd;
        while ((headEnd = buf.find("\r\n\r\n")) == std::string::npos)
            if (!readMore(fd, buf)) return false;
        Request request;
        request.head = buf.substr(0, headEnd + 2);
        const std::string length = request.header("Content-Length");
        const std::size_t contentLength = length.empty() ? 0 : std::stoul(length);
        const Reply reply = locked([&] { return reply_; });
        if (reply.afterHead) reply.afterHead();
        const int number = ++heads_;
        if (reply.resetAtHead == number) return resetConnection(fd);
        buf.erase(0, headEnd + 4);
        while (buf.size() < contentLength)
            if (!readMore(fd, buf)) return false;
        request.body = buf.substr(0, contentLength);
        buf.erase(0, contentLength);
        {
            std::unique_lock lock(mutex_);
            requests_.push_back(std::move(request));
            cv_.notify_all();
            cv_.wait(lock, [&] { return !held_ || stopping_; });
        }
        if (reply.resetAfterBody == number) return resetConnection(fd);
        if (reply.closeAfterBody == number) return false;
        if (reply.beforeReply) reply.beforeReply();
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

    int listen_ = -1, port_ = 0;
    int client_ = -1;  // the connection being served
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopping_ = false, held_ = false;
    int heads_ = 0;        // request heads read so far, on the server thread
    int connections_ = 0;  // connections accepted
    Reply reply_;
    std::vector<Request> requests_;
};

}  // namespace vorn::test
