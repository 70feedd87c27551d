// vorn-uploader: the hot-folder photo uploader.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "BuildInfo.h"
#include "app/AppController.h"
#include "app/Relaunch.h"
#include "platform/NotificationCenter.h"
#include "remote/DBusRemoteControl.h"
#include "settings/PreferencesStore.h"
#include "settings/StoreLock.h"
#include "ui/ConsoleUserInterface.h"
#include "ui/QtMainThread.h"
#include "upload/HttpController.h"
#include "upload/SourceFolderScanner.h"

namespace {

int gSignalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    // The interrupted code may be about to read errno.
    const int savedErrno = errno;
    char c = 1;
    [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &c, 1);
    errno = savedErrno;
}

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: vorn-uploader [--headless] [--prefs FILE] [--log-dir DIR] [--background]\n"
                 "\n"
                 "Watches the source folder and uploads each finished photo to the photo service.\n"
                 "\n"
                 "  --headless      no windows; status lines go to standard output\n"
                 "  --prefs FILE    preferences store (default "
                 "$XDG_CONFIG_HOME/vorn/org.vorn.Uploader.plist)\n"
                 "  --log-dir DIR   folder of the dated logs (DIR/logs) and the message log\n"
                 "                  (default $XDG_STATE_HOME/vorn)\n"
                 "  --background    start without bringing a window to the front\n"
                 "  --help          show this help\n"
                 "  --version       show the version\n"
                 "\n"
                 "SIGTERM and SIGINT quit in order, like the Quit action.\n");
}

bool parseArguments(int argc, char** argv, vorn::LaunchOptions& options, int& exitCode) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vorn-uploader: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            exitCode = 0;
            return false;
        } else if (arg == "--version") {
            std::printf("%s %s\n", vorn::build::kExecutableName, vorn::build::kVersion);
            exitCode = 0;
            return false;
        } else if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--background") {
            options.background = true;
        } else if (arg == "--prefs") {
            const char* v = value("--prefs");
            if (!v) return exitCode = 2, false;
            options.prefsPath = v;
        } else if (arg == "--log-dir") {
            const char* v = value("--log-dir");
            if (!v) return exitCode = 2, false;
            options.logDir = v;
        } else {
            std::fprintf(stderr, "vorn-uploader: unknown argument %s\n", arg.c_str());
            printUsage(stderr);
            exitCode = 2;
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    vorn::LaunchOptions options;
    options.headless = false;
    int exitCode = 0;
    if (!parseArguments(argc, argv, options, exitCode)) return exitCode;
    if (!options.headless) {
        std::fprintf(stderr,
                     "vorn-uploader: the windows are not available in this build; running "
                     "headless\n");
        options.headless = true;
    }

    // One uploader per store: a second one would send the same photos again. Held until the
    // process ends; a brief edit of the store by another tool is waited out.
    const std::string storePath =
        options.prefsPath.empty() ? vorn::PreferencesStore::defaultPath() : options.prefsPath;
    static vorn::StoreLock storeLock = vorn::StoreLock::acquire(storePath, std::chrono::seconds(2));
    if (storeLock.status() == vorn::StoreLock::Status::HeldByOther) {
        std::string owner =
            storeLock.owner() ? "process " + std::to_string(*storeLock.owner()) : "another process";
        std::fprintf(stderr,
                     "vorn-uploader: another uploader (%s) already runs on the preferences %s; "
                     "not starting\n",
                     owner.c_str(), storePath.c_str());
        return 3;
    }
    if (!storeLock.held())
        std::fprintf(stderr, "vorn-uploader: cannot lock the preferences (%s: %s); going on\n",
                     storeLock.path().c_str(), storeLock.error().c_str());

    QCoreApplication app(argc, argv);

    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("vorn-uploader: pipe");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = onTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    vorn::QtMainThread mainThread;
    // Both live until the process ends: detached worker threads may still use them.
    auto* ui = new vorn::ConsoleUserInterface();
    auto clock = vorn::Clock::system();

    vorn::AppController::initializeClass(options, clock);
    vorn::AppController::Dependencies deps;
    deps.center = &vorn::NotificationCenter::defaultCenter();
    deps.mainThread = &mainThread;
    deps.ui = ui;
    deps.clock = clock;
    // Test switches: the auto-start delay, and running as if real-time watching were unavailable.
    if (const char* ms = std::getenv("VORN_AUTOSTART_DELAY_MS"); ms && *ms)
        options.autoStartDelay = std::chrono::milliseconds(std::strtoll(ms, nullptr, 10));
    if (const char* off = std::getenv("VORN_DISABLE_WATCHER");
        off && *off && std::string(off) != "0")
        deps.watcherOptions.unavailable = true;
    // Exit status of the orderly stop (a relaunch under systemd exits with its own status).
    int exitStatus = 0;
    std::function<void(int)> quitWithStatus;
    deps.terminate = [&quitWithStatus](int status) { quitWithStatus(status); };
    auto* controller = new vorn::AppController(deps);
    controller->setFolderScanner(std::make_shared<vorn::SourceFolderScanner>(clock));
    controller->awakeFromNib();
    controller->applicationWillFinishLaunching();
    // Requests arrive from the event loop, after the orderly stop below is in place.
    std::function<void()> quitInOrder;
    vorn::setupForAppleEventsForThisApp(*controller, [&quitInOrder] { quitInOrder(); });
    // The photo uploader registers after the controller, so the controller's handlers run first.
    auto* uploader =
        new vorn::HttpController(vorn::NotificationCenter::defaultCenter(), &mainThread);
    // A hanging upload relaunches the application; headless, it is never the active one.
    uploader->setOnWatchdogFired([controller, &mainThread] {
        mainThread.post([controller] {
            controller->relaunchApp({vorn::kLSLaunchInBackground, "HttpController"});
        });
    });
    ui->printLine("status", std::string(vorn::build::kExecutableName) + " " +
                                vorn::build::kVersion + " started");
    QTimer::singleShot(0, &app, [&] { controller->applicationDidFinishLaunching(options); });

    bool terminating = false;
    auto terminateWith = [&](int status) {
        if (terminating) return;
        terminating = true;
        if (controller->applicationShouldTerminate()) {
            uploader->cancel();  // an upload in flight is cut off; its photo stays for next time
            controller->applicationWillTerminate();
            exitStatus = status;
            app.quit();
        }
    };
    auto terminate = [&] { terminateWith(0); };
    quitInOrder = terminate;
    quitWithStatus = terminateWith;
    QSocketNotifier signalNotifier(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char buf[16];
        while (::read(gSignalPipe[0], buf, sizeof buf) > 0) {
        }
        terminate();
    });

    app.exec();
    std::fflush(stdout);
    std::fflush(stderr);
    // Worker threads may still be inside an upload: end without running static destructors
    // under them. The item in flight stays in the source folder for the next run.
    ::_exit(exitStatus);
}
