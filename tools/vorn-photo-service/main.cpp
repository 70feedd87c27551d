// vorn-photo-service: a stand-in for the photo service, for tests and trials of the uploader.

#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "Orders.h"
#include "PhotoService.h"
#include "Script.h"

using namespace vorn::photoservice;

namespace {

const char* kUsage =
    "Usage: vorn-photo-service --listen HOST:PORT --data DIR [--orders FILE] [--script FILE]\n"
    "\n"
    "A stand-in photo service. Every POST address takes the three forms of the uploader:\n"
    "the photo upload, the order query and the hi-res upload (multipart/form-data).\n"
    "\n"
    "  --listen HOST:PORT  address to listen on; port 0 picks a free port. The first line on\n"
    "                      standard output is \"listening on http://HOST:PORT/vorn\".\n"
    "  --data DIR          uploads land in DIR/<username>/<event>/ (hi-res files in\n"
    "                      DIR/<username>/hires/); every request is appended to\n"
    "                      DIR/requests.jsonl as one JSON line.\n"
    "  --orders FILE       JSON orders answered to order queries, read at every query:\n"
    "                      {\"status\": \"OK\", \"message\": \"...\", \"remove_fulfilled\": "
    "false,\n"
    "                       \"orders\": [{\"username\": \"bob\", \"orderid\": \"7\",\n"
    "                       \"imageid\": \"1001\", \"pictureid\": \"P1\",\n"
    "                       \"localfilelocation\": \"/photos/a b.jpg\", \"escape\": true}]}\n"
    "                      Every member is optional. fuseaction orders.v4check (any case)\n"
    "                      answers version 4 (<image> entries), any other version 3 (<order>).\n"
    "  --script FILE       scripted answers, see below.\n"
    "  --discard           read every POST to its end and answer OK without storing or\n"
    "                      logging anything (a sink for speed trials; --data still required).\n"
    "  --help              this text.\n"
    "  --version           the version.\n"
    "\n"
    "SIGTERM or SIGINT stops the service.\n"
    "\n";

struct Arguments {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string data;
    std::optional<std::string> orders;
    std::optional<std::string> script;
    bool discard = false;
};

[[noreturn]] void usageError(const std::string& message) {
    std::cerr << "vorn-photo-service: " << message << "\n"
              << "Try 'vorn-photo-service --help'.\n";
    std::exit(2);
}

bool parseListen(const std::string& text, Arguments& args) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    std::string host = text.substr(0, colon);
    std::string port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty() || port.empty() || port.size() > 5) return false;
    for (char c : port)
        if (c < '0' || c > '9') return false;
    int value = std::stoi(port);
    if (value > 65535) return false;
    args.host = host;
    args.port = value;
    return true;
}

Arguments parseArguments(int argc, char** argv) {
    Arguments args;
    bool haveData = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool inlineValue = false;
        if (std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inlineValue = true;
        }
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage << Script::syntaxHelp();
            std::exit(0);
        }
        if (arg == "--version") {
            std::cout << "vorn-photo-service " << VORN_VERSION << "\n";
            std::exit(0);
        }
        auto next = [&]() -> std::string {
            if (inlineValue) return value;
            if (i + 1 >= argc) usageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--listen") {
            if (!parseListen(next(), args)) usageError("--listen expects HOST:PORT");
        } else if (arg == "--data") {
            args.data = next();
            haveData = !args.data.empty();
        } else if (arg == "--orders") {
            args.orders = next();
        } else if (arg == "--script") {
            args.script = next();
        } else if (arg == "--discard" && !inlineValue) {
            args.discard = true;
        } else {
            usageError("unknown argument '" + arg + "'");
        }
    }
    if (!haveData) usageError("--data DIR is required");
    return args;
}

RequestInfo infoOf(const httplib::Request& req) {
    RequestInfo info;
    info.method = req.method;
    info.path = req.path;
    info.contentType = req.get_header_value("Content-Type");
    info.remote = req.remote_addr + ":" + std::to_string(req.remote_port);
    return info;
}

// Every POST goes to the service (or, with discard, is read and dropped); other methods get
// the service's answer to a stray request.
void serve(httplib::Server& server, PhotoService& service, bool discard) {
    server.Post(".*", [&service, discard](const httplib::Request& req, httplib::Response& res,
                                          const httplib::ContentReader& reader) {
        if (discard) {
            auto& raw = const_cast<httplib::Request&>(req).headers;
            auto type = raw.equal_range("Content-Type");
            raw.erase(type.first, type.second);  // the raw body, not parsed
            reader([](const char*, std::size_t) { return true; });
            res.set_content(
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<reply>\n  <status>OK</status>\n"
                "  <message>discarded</message>\n</reply>\n",
                "text/xml");
            return;
        }
        auto session = service.begin(infoOf(req));
        // Our own reader keeps every part's bytes exact and answers a malformed body in XML;
        // with the type hidden, the library hands over the raw body instead of parsing it.
        auto& headers = const_cast<httplib::Request&>(req).headers;
        auto types = headers.equal_range("Content-Type");
        headers.erase(types.first, types.second);
        reader([&](const char* data, std::size_t size) {
            session->feed(data, size);
            return true;
        });
        Answer answer = service.finish(*session);
        session.reset();  // drops temporary files not stored
        if (answer.delaySeconds > 0) service.hang(answer.delaySeconds);
        res.status = answer.reply.status;
        if (answer.reply.retryAfter) res.set_header("Retry-After", *answer.reply.retryAfter);
        res.set_content(answer.reply.body, answer.reply.contentType.c_str());
    });
    auto other = [&service](const httplib::Request& req, httplib::Response& res) {
        HttpReply reply = service.other(infoOf(req));
        res.status = reply.status;
        res.set_content(reply.body, reply.contentType.c_str());
    };
    server.Get(".*", other);
    server.Put(".*", other);
    server.Delete(".*", other);
}

// The port bound (a free one for port 0), or -1.
int bindPort(httplib::Server& server, const Arguments& args) {
    int port = args.port;
    if (port == 0) {
        port = server.bind_to_any_port(args.host);
        if (port < 0) {
            std::cerr << "vorn-photo-service: cannot listen on " << args.host << "\n";
            return -1;
        }
    } else if (!server.bind_to_port(args.host, port)) {
        std::cerr << "vorn-photo-service: cannot listen on " << args.host << ":" << port << "\n";
        return -1;
    }
    return port;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args = parseArguments(argc, argv);

    ServiceOptions options;
    options.dataDir = args.data;
    options.ordersFile = args.orders;
    std::string error;
    if (args.script) {
        options.script = Script::load(*args.script, &error);
        if (!options.script) {
            std::cerr << "vorn-photo-service: " << error << "\n";
            return 2;
        }
    }
    if (args.orders && !loadOrders(*args.orders, &error)) {
        std::cerr << "vorn-photo-service: " << error << "\n";
        return 2;
    }

    // Signals are taken by one thread with sigwait, so stopping never runs in a handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<PhotoService> service;
    try {
        service = std::make_unique<PhotoService>(std::move(options));
    } catch (const std::exception& e) {
        std::cerr << "vorn-photo-service: " << e.what() << "\n";
        return 1;
    }

    httplib::Server server;
    // A hanging reply must not hold up the other requests.
    server.new_task_queue = [] { return new httplib::ThreadPool(16); };
    // Replies go out at once, not held back by Nagle's algorithm behind a delayed ACK on a
    // kept-alive connection (40 ms per reply on Linux).
    server.set_tcp_nodelay(true);
    server.set_read_timeout(60);
    server.set_write_timeout(60);

    serve(server, *service, args.discard);

    const int port = bindPort(server, args);
    if (port < 0) return 1;
    std::string host = args.host.find(':') != std::string::npos ? "[" + args.host + "]" : args.host;
    std::printf("listening on http://%s:%d/vorn\n", host.c_str(), port);
    std::fflush(stdout);

    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    std::thread signalThread([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        service->stop();
        // stop() does nothing until the listen loop runs, so repeat it until listening ended.
        std::unique_lock<std::mutex> lock(doneMutex);
        while (!done) {
            server.stop();
            doneCv.wait_for(lock, std::chrono::milliseconds(50));
        }
    });

    bool ok = server.listen_after_bind();
    {
        std::lock_guard<std::mutex> lock(doneMutex);
        done = true;
    }
    doneCv.notify_all();
    // Wakes the signal thread when listening ended by itself.
    pthread_kill(signalThread.native_handle(), SIGTERM);
    signalThread.join();
    service.reset();
    return ok ? 0 : 1;
}
