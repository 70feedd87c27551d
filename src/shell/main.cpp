// vorn-uploader: the hot-folder photo uploader.

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BuildInfo.h"
#include "app/AppController.h"
#include "app/MetricsFile.h"
#include "app/Relaunch.h"
#include "app/StatusBoard.h"
#include "log/KDLogFileManager.h"
#include "platform/NotificationCenter.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "platform/PropertyList.h"
#include "settings/FactoryDefaults.h"
#include "settings/PreferenceKeys.h"
#include "settings/PreferenceRules.h"
#include "settings/Preferences.h"
#include "settings/PreferencesStore.h"
#include "settings/StoreLock.h"
#include "shell/DBusRemoteControl.h"
#include "shell/QtMainThread.h"
#include "shell/QtUserInterface.h"
#include "shell/QtWindowTour.h"
#include "ui/ConsoleUserInterface.h"
#include "upload/HttpController.h"
#include "upload/SourceFolderScanner.h"

namespace {

int signalPipe[2] = {-1, -1};
std::string windowTourDir;

bool haveDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char* v = std::getenv(name); v && *v) return true;
    return false;
}

// A dated log that grows past this in one day stops growing until the next.
constexpr std::uint64_t kDailyLogCap = 50ull * 1024 * 1024;

void onTerminationSignal(int sig) {
    // The interrupted code may be about to read errno.
    const int savedErrno = errno;
    char c = sig == SIGHUP ? 'h' : 't';
    [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &c, 1);
    errno = savedErrno;
}

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: vorn-uploader [OPTION]...\n"
                 "\n"
                 "Watches the source folder and uploads each finished photo to the photo service.\n"
                 "\n"
                 "Options:\n"
                 "  --headless          no windows; status lines go to standard output\n"
                 "  --prefs=FILE        preferences store (default\n"
                 "                      $XDG_CONFIG_HOME/vorn/org.vorn.Uploader.plist)\n"
                 "  --log-dir=DIR       folder of the dated logs (DIR/logs) and the message log\n"
                 "                      (default $XDG_STATE_HOME/vorn)\n"
                 "  --log-level=LEVEL   error, warn, info or debug (default: the preference\n"
                 "                      prefLogLevel, else info)\n"
                 "  --metrics-file=FILE write the counters there in the Prometheus text format,\n"
                 "                      every 15 s and after each photo (default: the\n"
                 "                      preference prefMetricsFile, else none)\n"
                 "  --check-config      check the settings, print one line per problem and exit\n"
                 "                      (status 1 when there is any)\n"
                 "  --background        start with the main window hidden (only where windows\n"
                 "                      are shown); passes leave it hidden until asked for\n"
                 "  --foreground        show the main window at launch whatever\n"
                 "                      prefShowWindowAtStartup says (a relaunch of a window\n"
                 "                      that was in front)\n"
                 "  -h, --help          show this help and exit\n"
                 "  --version           show the version and exit\n"
                 "\n"
                 "Every option that takes a value accepts both --opt=value and --opt value.\n"
                 "SIGTERM and SIGINT quit in order, like the Quit action; SIGHUP reloads the\n"
                 "preferences store after it was edited by hand.\n"
                 "\n"
                 "A second launch while an uploader runs asks it to show its main window, then\n"
                 "exits with status 3.\n"
                 "\n"
                 "Exit status: 0 after an orderly quit, 1 when the settings check finds\n"
                 "problems, 2 for a usage error, 3 when another uploader already runs, 75 for\n"
                 "a relaunch under systemd.\n");
}

struct Arguments {
    bool checkConfig = false;
    bool foreground = false;  // the main window shows at launch whatever the preference says
    std::optional<vorn::LogLevel> logLevel;
    std::string metricsFile;
};

bool usageError(const std::string& message, int& exitCode) {
    std::fprintf(stderr, "vorn-uploader: %s\nTry 'vorn-uploader --help' for more information.\n",
                 message.c_str());
    exitCode = 2;
    return false;
}

bool parseArguments(int argc, char** argv, vorn::LaunchOptions& options, Arguments& extra,
                    int& exitCode) {
    enum {
        kPrefs = 1000,
        kLogDir,
        kLogLevel,
        kCheck,
        kBackground,
        kForeground,
        kHeadless,
        kVersion,
        kTour,
        kMetrics
    };
    static const option kOptions[] = {{"headless", no_argument, nullptr, kHeadless},
                                      {"background", no_argument, nullptr, kBackground},
                                      {"foreground", no_argument, nullptr, kForeground},
                                      {"prefs", required_argument, nullptr, kPrefs},
                                      {"log-dir", required_argument, nullptr, kLogDir},
                                      {"log-level", required_argument, nullptr, kLogLevel},
                                      {"check-config", no_argument, nullptr, kCheck},
                                      {"metrics-file", required_argument, nullptr, kMetrics},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, kVersion},
                                      // Test switch, not in the help: photographs each window.
                                      {"window-tour", required_argument, nullptr, kTour},
                                      {nullptr, 0, nullptr, 0}};
    opterr = 0;  // our own messages, naming the word
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
        switch (c) {
            case 'h':
                printUsage(stdout);
                exitCode = 0;
                return false;
            case kVersion:
                std::printf("%s %s\n", vorn::build::kExecutableName, vorn::build::kVersion);
                exitCode = 0;
                return false;
            case kHeadless:
                options.headless = true;
                break;
            case kBackground:  // the last of the two counts
                options.background = true;
                extra.foreground = false;
                break;
            case kForeground:
                options.background = false;
                extra.foreground = true;
                break;
            case kPrefs:
                if (!*optarg) return usageError("--prefs needs a file name", exitCode);
                options.prefsPath = optarg;
                break;
            case kLogDir:
                if (!*optarg) return usageError("--log-dir needs a folder", exitCode);
                options.logDir = optarg;
                break;
            case kLogLevel:
                extra.logLevel = vorn::parseLogLevel(optarg);
                if (!extra.logLevel)
                    return usageError(std::string("--log-level: '") + optarg +
                                          "' is not one of error, warn, info, debug",
                                      exitCode);
                break;
            case kCheck:
                extra.checkConfig = true;
                break;
            case kMetrics:
                if (!*optarg) return usageError("--metrics-file needs a file name", exitCode);
                extra.metricsFile = optarg;
                break;
            case kTour:
                windowTourDir = optarg;
                break;
            case ':':
                return usageError(std::string(argv[optind - 1]) + " needs a value", exitCode);
            default:
                return usageError(std::string("unknown option '") + argv[optind - 1] + "'",
                                  exitCode);
        }
    }
    if (optind < argc)
        return usageError(std::string("unexpected argument '") + argv[optind] + "'", exitCode);
    return true;
}

// The settings check of --check-config: the store over the factory defaults, one line per
// problem on standard output.
int checkConfiguration(const vorn::LaunchOptions& options) {
    vorn::setLogLevel(vorn::LogLevel::Error);
    vorn::PreferencesStore store(options.prefsPath.empty() ? vorn::PreferencesStore::defaultPath()
                                                           : options.prefsPath);
    store.load();
    vorn::setupFactoryDefaults(store, vorn::defaultFactoryDefaultsPath());
    const auto problems = vorn::checkPreferences(store);
    for (const auto& line : problems) std::printf("%s\n", line.c_str());
    for (const auto& line : vorn::preferenceWarnings(store))
        std::printf("warning: %s\n", line.c_str());
    if (problems.empty()) std::printf("settings in %s are usable\n", store.path().c_str());
    return problems.empty() ? 0 : 1;
}

// Start-up problems go to the terminal (or the journal), not only to the log file that
// standard error is re-opened onto.
int startupErrorFd = -1;

void startupProblem(vorn::ConsoleUserInterface& ui, const std::string& text) {
    const std::string line = std::string("vorn-uploader: ") + text + "\n";
    if (startupErrorFd >= 0) {
        [[maybe_unused]] ssize_t n = ::write(startupErrorFd, line.data(), line.size());
    }
    ui.printLine("error", text);
    vorn::logAt(vorn::LogLevel::Error, "%s", text.c_str());
}

// The stored password, which the log must never show (dumps of the factory defaults and of
// the store are masked by key).
void registerLogSecrets(const vorn::LaunchOptions& options) {
    // A peek at the file only: the store's own load (which keeps an unreadable file aside and
    // says so in the log) comes later.
    if (auto stored = vorn::readPropertyListFile(
            options.prefsPath.empty() ? vorn::PreferencesStore::defaultPath() : options.prefsPath);
        stored && stored->asDictionary()) {
        if (auto* pw = vorn::stringForKey(*stored->asDictionary(), vorn::sUserLoginPassword))
            vorn::addLogSecret(*pw);
    }
}

// One uploader per store: a second one would send the same photos again. Held until the
// process ends; a brief edit of the store by another tool is waited out. False when another
// uploader holds it.
bool lockStore(const vorn::LaunchOptions& options) {
    const std::string storePath =
        options.prefsPath.empty() ? vorn::PreferencesStore::defaultPath() : options.prefsPath;
    // One uploader per store and per source folder: a second would send the same photos again.
    static vorn::StoreLock storeLock =
        vorn::StoreLock::acquireForUploader(storePath, std::chrono::seconds(2));
    if (storeLock.status() == vorn::StoreLock::Status::HeldByOther) {
        std::string owner =
            storeLock.owner() ? "process " + std::to_string(*storeLock.owner()) : "another process";
        std::fprintf(stderr,
                     "vorn-uploader: another uploader (%s) already runs on the preferences %s; "
                     "not starting\n",
                     owner.c_str(), storePath.c_str());
        return false;
    }
    if (!storeLock.held())
        std::fprintf(stderr, "vorn-uploader: cannot lock the preferences (%s: %s); going on\n",
                     storeLock.path().c_str(), storeLock.error().c_str());
    return true;
}

// Qt's own messages join the log's lines: written past them, they would jump ahead of the
// lines the log gathers before writing.
void sendQtMessagesToTheLog() {
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        const vorn::LogLevel level = type == QtDebugMsg  ? vorn::LogLevel::Debug
                                     : type == QtInfoMsg ? vorn::LogLevel::Info
                                                         : vorn::LogLevel::Warn;
        vorn::logAt(level, "%s", qPrintable(text));
        if (type == QtFatalMsg) {
            vorn::flushLog();
            std::abort();
        }
    });
}

// argc is kept by reference by the application, so it is main's own.
std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv, bool headless) {
    if (headless) return std::make_unique<QCoreApplication>(argc, argv);
    auto application = std::make_unique<QApplication>(argc, argv);
    // Closing the last window must not end the program outside its orderly stop.
    QApplication::setQuitOnLastWindowClosed(false);
    return application;
}

// SIGTERM, SIGINT and SIGHUP reach the event loop through a pipe (onSignals).
bool catchSignals() {
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("vorn-uploader: pipe");
        return false;
    }
    struct sigaction sa {};
    sa.sa_handler = onTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

// SIGHUP reloads the store; SIGTERM and SIGINT stop in order.
void onSignals(QCoreApplication& app, vorn::PreferencesStore& store,
               vorn::ConsoleUserInterface& console, std::function<void()> terminate) {
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&store, &console, terminate] {
        char buf[16];
        bool stop = false, reload = false;
        for (ssize_t n; (n = ::read(signalPipe[0], buf, sizeof buf)) > 0;)
            for (ssize_t i = 0; i < n; ++i) (buf[i] == 'h' ? reload : stop) = true;
        if (reload) {
            vorn::logAt(vorn::LogLevel::Info, "SIGHUP: reloading the preferences from %s",
                        store.path().c_str());
            store.reload();
            console.printLine("status", "settings reloaded from " + store.path());
        }
        if (stop) terminate();
    });
}

// The preference decides the level unless the command line did; a new password is masked
// from the moment it is stored.
void followLogPreferences(vorn::PreferencesStore& store, const Arguments& extra,
                          const void* owner) {
    auto applyLogLevelPreference = [&extra, &store] {
        if (extra.logLevel) return;
        auto level = vorn::parseLogLevel(store.stringForKey(vorn::sPrefLogLevel).value_or("info"));
        vorn::setLogLevel(level.value_or(vorn::LogLevel::Info));
    };
    applyLogLevelPreference();
    store.addObserver(owner, [&store, applyLogLevelPreference](const std::string& key) {
        if (key == vorn::sPrefLogLevel) applyLogLevelPreference();
        if (key == vorn::sUserLoginPassword)
            if (auto pw = store.stringForKey(key)) vorn::addLogSecret(*pw);
    });
}

// The dated log, and what keeps the uploader from working, said at once. The log file's path.
std::optional<std::string> openLog(vorn::ConsoleUserInterface& console,
                                   vorn::PreferencesStore& store) {
    vorn::setStandardErrorDailyCap(kDailyLogCap);
    auto logFile = vorn::KDLogFileManager::currentLogFilePath();
    if (!logFile)
        startupProblem(console, "the log folder " + vorn::KDLogFileManager::logFolder() +
                                    " cannot be written; choose another with --log-dir");
    for (const auto& problem : vorn::checkPreferences(store))
        startupProblem(console, "settings: " + problem);
    return logFile;
}

// What `vornctl status` answers besides the cycle's own state.
// The send cap as a person reads it: "none" or "2.0 MiB/s".
std::string capText(std::uint64_t bytesPerSecond) {
    if (bytesPerSecond == 0) return "none";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f %s/s",
                  bytesPerSecond >= 1048576 ? bytesPerSecond / 1048576.0 : bytesPerSecond / 1024.0,
                  bytesPerSecond >= 1048576 ? "MiB" : "KiB");
    return buf;
}

void answerStatusRequests(vorn::StatusBoard* ui, vorn::PreferencesStore& store,
                          std::optional<std::string> logFile, const std::string& remoteControl,
                          vorn::QtUserInterface* windows) {
    vorn::setRemoteStatusProvider([ui, &store, logFile, remoteControl, windows](bool json) {
        std::vector<std::pair<std::string, std::string>> extra{
            {"sourceFolder", store.stringForKey(vorn::sPrefLocalSourceUploadFolder).value_or("")},
            {"mirrorFolder",
             store.stringForKey(vorn::sPrefLocalMasterMirrorSiteFolder).value_or("")},
            {"serviceAddress", store.stringForKey(vorn::sPrefKivURL).value_or("")},
            {"uploadsAtOnce", std::to_string(vorn::Preferences::getConcurrentUploads())},
            {"bandwidthCap", capText(vorn::Preferences::getMaxUploadBytesPerSecond())},
            {"version", vorn::build::kVersion},
            {"pid", std::to_string(::getpid())},
            {"logFile", logFile.value_or("")},
            {"store", store.path()},
            {"remoteControl", remoteControl},
            {"mainWindow", !windows                             ? "none"
                           : windows->mainWindow()->isVisible() ? "shown"
                                                                : "hidden"}};
        return json ? ui->json(extra) : ui->text(extra);
    });
}

// The counters for the fleet's monitoring, where --metrics-file or prefMetricsFile says.
vorn::MetricsFile* startMetrics(vorn::StatusBoard* ui, vorn::PreferencesStore& store,
                                vorn::MainThread& mainThread, const std::string& commandLinePath) {
    vorn::MetricsFile::Options options;
    options.version = vorn::build::kVersion;
    options.path = [&store, commandLinePath] {
        return vorn::expandTildeInPath(commandLinePath.empty()
                                           ? store.stringForKey(vorn::sPrefMetricsFile).value_or("")
                                           : commandLinePath);
    };
    // Test switch: another interval than 15 s.
    if (const char* ms = std::getenv("VORN_METRICS_INTERVAL_MS"); ms && *ms)
        options.interval = std::chrono::milliseconds(std::strtoll(ms, nullptr, 10));
    options.resends = [ui] { return ui->snapshot().resentSinceStart; };
    auto* metrics = new vorn::MetricsFile(*ui, std::move(options));
    ui->setOnOutcome([metrics] { metrics->write(); });
    metrics->start(mainThread);
    return metrics;
}

// The controller with its scanner, started up to where the event loop takes over. terminate
// ends the process with a status (a relaunch under systemd exits with its own).
vorn::AppController* startController(vorn::LaunchOptions& options, vorn::QtMainThread& mainThread,
                                     vorn::StatusBoard* ui, std::shared_ptr<vorn::Clock> clock,
                                     std::function<void(int)> terminate) {
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
    deps.terminate = std::move(terminate);
    auto* controller = new vorn::AppController(deps);
    vorn::SourceFolderScanner::Options scanOptions;
    // Test switch: another interval than ten minutes between looks at what rests on shared disks.
    if (const char* ms = std::getenv("VORN_SHARED_LOOK_INTERVAL_MS"); ms && *ms)
        scanOptions.sharedLookInterval = std::chrono::milliseconds(std::strtoll(ms, nullptr, 10));
    auto scanner = std::make_shared<vorn::SourceFolderScanner>(clock, scanOptions);
    scanner->setUserInterface(ui);
    controller->setFolderScanner(scanner);
    // Until the first pass, status counts the photos waiting by name (not "0 waiting").
    std::thread([scanner] {
        scanner->reportWaitingBeforeFirstPass(
            vorn::expandTildeInPath(vorn::Preferences::getLocalSourceUploadFolder().value_or("")));
    }).detach();
    controller->awakeFromNib();
    controller->applicationWillFinishLaunching();
    return controller;
}

// The photo uploader registers after the controller, so the controller's handlers run first.
vorn::HttpController* startUploader(vorn::AppController* controller, vorn::QtMainThread& mainThread,
                                    vorn::StatusBoard* ui, vorn::QtUserInterface* windows) {
    vorn::HttpController::Options uploaderOptions;
    uploaderOptions.runsAfter = controller;
    auto* uploader = new vorn::HttpController(vorn::NotificationCenter::defaultCenter(),
                                              &mainThread, uploaderOptions);
    uploader->setUserInterface(ui);
    // A hanging upload relaunches the application: in front when its main window was, else
    // hidden (headless, it never is).
    uploader->setOnWatchdogFired([controller, &mainThread, windows] {
        mainThread.post([controller, windows] {
            controller->relaunchApp(
                {windows ? windows->relaunchFlags() : vorn::kLSLaunchInBackground,
                 "HttpController"});
        });
    });
    return uploader;
}

void announceStart(vorn::ConsoleUserInterface& console, const std::optional<std::string>& logFile,
                   const vorn::RemoteControlReach& reach) {
    std::string line = std::string(vorn::build::kExecutableName) + " " + vorn::build::kVersion +
                       " started (pid " + std::to_string(::getpid()) + ", log " +
                       logFile.value_or("none");
    if (reach.kind == vorn::RemoteControlReach::Kind::None)
        line += "); vornctl cannot reach it: " + reach.problem;
    else
        line += "; vornctl reaches it over " + reach.description() + ")";
    console.printLine("status", line);
    vorn::logAt(vorn::LogLevel::Info, "%s %s started", vorn::build::kExecutableName,
                vorn::build::kVersion);
}

void showWindows(vorn::QtUserInterface& windows, vorn::AppController* controller,
                 const vorn::LaunchOptions& options, bool foreground) {
    windows.setController(controller);
    windows.fillInVersionStrings(controller->getAppVersionString(),
                                 controller->getMacOsVersionString(),
                                 controller->getCopyrightString());
    const bool show =
        foreground || (!options.background && vorn::Preferences::getPrefShowWindowAtStartup());
    windows.setRunsHidden(!show);
    vorn::setRemoteShowHandler([&windows] {
        windows.showMainWindow();
        return true;
    });
    if (show) {
        windows.mainWindow()->show();
        // The panel comes up at launch, free-standing, so the settings can be checked; the
        // user's start (or the auto-start) takes them and closes it.
        windows.ibClickedOnOpenPref(nullptr);
    }
    if (!windowTourDir.empty()) vorn::startWindowTour(windows, windowTourDir);
}

}  // namespace

int main(int argc, char** argv) {
    vorn::LaunchOptions options;
    options.headless = false;
    int exitCode = 0;
    Arguments extra;
    if (!parseArguments(argc, argv, options, extra, exitCode)) return exitCode;
    if (extra.checkConfig) return checkConfiguration(options);
    if (!options.headless && !haveDisplay()) {
        std::fprintf(stderr,
                     "vorn-uploader: no display (DISPLAY or WAYLAND_DISPLAY); running "
                     "headless\n");
        options.headless = true;
    }
    if (!lockStore(options)) {
        // The convention of single-instance desktop programs: the one running comes forward.
        if (!options.headless && !options.background) {
            QCoreApplication asker(argc, argv);
            if (vorn::askRunningUploaderToShowItsWindow())
                std::fprintf(stderr, "vorn-uploader: the running uploader shows its window\n");
        }
        return 3;
    }

    sendQtMessagesToTheLog();
    std::unique_ptr<QCoreApplication> application = makeApplication(argc, argv, options.headless);
    QCoreApplication& app = *application;
    if (!catchSignals()) return 1;

    vorn::QtMainThread mainThread;
    // Both live until the process ends: detached worker threads may still use them.
    auto* console = new vorn::ConsoleUserInterface();
    auto clock = vorn::Clock::system();

    registerLogSecrets(options);
    vorn::setLogLevel(extra.logLevel.value_or(vorn::LogLevel::Info));
    startupErrorFd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    vorn::AppController::initializeClass(options, clock);
    std::function<void()> quitInOrder;
    vorn::QtUserInterface* windows = nullptr;
    if (!options.headless)
        windows = new vorn::QtUserInterface(vorn::Preferences::store(),
                                            [&quitInOrder] { quitInOrder(); });
    // Records what the status request answers and forwards everything to what is shown.
    auto* ui = new vorn::StatusBoard(
        windows ? static_cast<vorn::UserInterface&>(*windows) : *console, clock);
    vorn::PreferencesStore& store = vorn::Preferences::store();
    followLogPreferences(store, extra, ui);
    const auto logFile = openLog(*console, store);
    // "uploaded today" and "set aside today" go on counting the same day after a restart.
    ui->keepDayCountsIn(
        vorn::appendingPathComponent(vorn::KDLogFileManager::logDirectory(), "DayCounts.plist"));
    vorn::MetricsFile* metrics = startMetrics(ui, store, mainThread, extra.metricsFile);
    // Exit status of the orderly stop (a relaunch under systemd exits with its own status).
    int exitStatus = 0;
    std::function<void(int)> quitWithStatus;
    auto* controller = startController(options, mainThread, ui, clock,
                                       [&quitWithStatus](int status) { quitWithStatus(status); });
    // Requests arrive from the event loop, after the orderly stop below is in place.
    const vorn::RemoteControlReach reach =
        vorn::setupForAppleEventsForThisApp(*controller, [&quitInOrder] { quitInOrder(); });
    answerStatusRequests(ui, store, logFile, reach.description(), windows);
    auto* uploader = startUploader(controller, mainThread, ui, windows);
    announceStart(*console, logFile, reach);
    if (windows) showWindows(*windows, controller, options, extra.foreground);
    QTimer::singleShot(0, &app, [&] { controller->applicationDidFinishLaunching(options); });

    bool terminating = false;
    auto terminateWith = [&](int status) {
        if (terminating) return;
        terminating = true;
        if (controller->applicationShouldTerminate()) {
            uploader->cancel();  // an upload in flight is cut off; its photo stays for next time
            controller->applicationWillTerminate();
            exitStatus = status;
            QCoreApplication::exit(0);  // unlike quit(), no window can refuse it
        }
    };
    quitInOrder = [&] { terminateWith(0); };
    quitWithStatus = terminateWith;
    onSignals(app, store, *console, [&] { terminateWith(0); });

    app.exec();
    vorn::stopRemoteControl();
    metrics->writeStopped();
    vorn::logAt(vorn::LogLevel::Info, "%s stopped", vorn::build::kExecutableName);
    std::fflush(stdout);
    std::fflush(stderr);
    vorn::flushLog();
    // Worker threads may still be inside an upload: end without running static destructors
    // under them. The item in flight stays in the source folder for the next run.
    ::_exit(exitStatus);
}
