// vornctl: drives a running vorn-uploader over the session bus, or over the uploader's own
// socket where it runs without one.

#include <getopt.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "BuildInfo.h"
#include "platform/PlatformLog.h"
#include "remote/RemoteProtocol.h"
#include "settings/FactoryDefaults.h"
#include "settings/PreferenceKeys.h"
#include "settings/PreferenceRules.h"
#include "settings/PreferencesStore.h"
#include "settings/StoreLock.h"

namespace {

namespace remote = vorn::remote;

enum ExitStatus { kOk = 0, kCommandFailed = 1, kUsage = 2, kNoUploader = 3 };

// An uploader that is busy on its main thread answers late, but it answers.
constexpr int kCallTimeoutMs = 60 * 1000;

void printUsage(std::FILE* out) {
    std::fprintf(
        out,
        "Usage: vornctl [OPTION]... COMMAND [ARGUMENTS]\n"
        "\n"
        "Drives a running vorn-uploader over the D-Bus session bus (%s), or, where it\n"
        "runs without one, over its own socket ($XDG_RUNTIME_DIR/vorn/uploader.socket,\n"
        "else uploader.socket in $XDG_STATE_HOME/vorn), and edits its settings.\n"
        "\n"
        "Commands:\n"
        "  status [--json]       what the uploader is doing: state, the photo being sent,\n"
        "                        photos waiting, uploaded, set aside and sent again\n"
        "                        today, the last upload and error, folders, service\n"
        "                        address, log file\n"
        "  config list           every setting with its type, value and rule\n"
        "  config get KEY        one setting's value\n"
        "  config set KEY VALUE  check and store a setting; with an uploader running it\n"
        "                        takes effect at once, otherwise the store file is edited\n"
        "  config check          check the settings as a whole; one line per problem\n"
        "  set KEY VALUE         store a setting the old way; prints COMMAND SUCCESS or\n"
        "                        COMMAND FAILED\n"
        "  get KEY               read a setting the old way\n"
        "  show                  show and raise the uploader's main window\n"
        "  upload-now            start an upload pass, or resume a paused one\n"
        "  pause                 pause after the photo being uploaded (at once when idle)\n"
        "  resume                resume a paused or stopped uploader (prints ACCEPTED, or\n"
        "                        NOT PAUSED when nothing was paused)\n"
        "  quit                  quit the uploader in order\n"
        "\n"
        "Options:\n"
        "  --json                status as one JSON object\n"
        "  --prefs=FILE          the store to edit when no uploader runs (default\n"
        "                        $XDG_CONFIG_HOME/vorn/org.vorn.Uploader.plist)\n"
        "  -h, --help            show this help and exit\n"
        "  --version             show the version and exit\n"
        "\n"
        "Exit status: 0 done, 1 refused (COMMAND FAILED, a bad value, problems found),\n"
        "2 usage error, 3 no uploader answered.\n",
        remote::kServiceName);
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "vornctl: %s\nTry 'vornctl --help' for more information.\n",
                 message.c_str());
    return kUsage;
}

struct Request {
    QString eventClass;
    QString eventId;
    QStringList directObject;
};

bool parseRequest(const QStringList& args, Request& request) {
    if (args.isEmpty()) return false;
    const QString& command = args[0];
    auto needs = [&](qsizetype count) { return args.size() == count; };
    if (command == QLatin1String("set") && needs(3)) {
        request = {remote::kEventClassVorn,
                   remote::kEventIdCommand,
                   {remote::kCommandSetValue, args[1], args[2]}};
    } else if (command == QLatin1String("get") && needs(2)) {
        // The third item is a placeholder the uploader does not read.
        request = {remote::kEventClassVorn,
                   remote::kEventIdCommand,
                   {remote::kCommandGetValue, args[1], QString()}};
    } else if (command == QLatin1String("upload-now") && needs(1)) {
        request = {remote::kEventClassVorn, remote::kEventIdUploadNow, {}};
    } else if (command == QLatin1String("pause") && needs(1)) {
        request = {remote::kEventClassVorn, remote::kEventIdPause, {}};
    } else if (command == QLatin1String("resume") && needs(1)) {
        request = {remote::kEventClassVorn, remote::kEventIdResume, {}};
    } else if (command == QLatin1String("quit") && needs(1)) {
        request = {remote::kEventClassCore, remote::kEventIdQuit, {}};
    } else {
        return false;
    }
    return true;
}

void printLine(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fputc('\n', stdout);
}

// Prints the reply: a text, or ("COMMAND SUCCESS", [command, key, value]).
int printReply(const QDBusMessage& reply) {
    const QList<QVariant> args = reply.arguments();
    if (args.isEmpty()) return kOk;
    QVariant value = args[0];
    if (value.canConvert<QDBusVariant>()) value = value.value<QDBusVariant>().variant();
    if (value.canConvert<QDBusArgument>()) {
        const QDBusArgument arg = value.value<QDBusArgument>();
        if (arg.currentType() != QDBusArgument::StructureType) {
            std::fprintf(stderr, "vornctl: the uploader answered with an unexpected value (%s)\n",
                         arg.currentSignature().toUtf8().constData());
            return kNoUploader;
        }
        QString status;
        QStringList texts;
        arg.beginStructure();
        arg >> status >> texts;
        arg.endStructure();
        printLine(status);
        if (texts.size() >= 3) printLine(texts[2]);
        return status == QLatin1String(remote::kReplyCommandFailed) ? kCommandFailed : kOk;
    }
    const QString text = value.toString();
    printLine(text);
    return text == QLatin1String(remote::kReplyCommandFailed) ? kCommandFailed : kOk;
}

enum class CallOutcome { Answered, NoUploader, Failed };

bool isNoOwner(const QString& error) {
    return error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
           error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
}

// Something accepts connections on the socket.
bool socketAnswers(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        ::close(fd);
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const bool answers =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return answers;
}

// The uploader's own socket, where it runs without a session bus; not connected when none is
// there.
QDBusConnection connectToSocket() {
    const std::string path = remote::peerSocketPath();
    if (!socketAnswers(path)) return QDBusConnection(QStringLiteral("vornctl-none"));
    return QDBusConnection::connectToPeer(
        QStringLiteral("unix:path=") + QString::fromStdString(path), QStringLiteral("vornctl"));
}

// Calls a method of the running uploader: on the session bus, else on its socket. NoUploader
// when neither has one. A quit is never answered: the uploader leaving is the sign it quit.
CallOutcome callUploader(const QString& method, const QList<QVariant>& args, QDBusMessage& reply,
                         bool quitting = false) {
    auto call = [&](QDBusConnection connection, const QString& service) {
        QDBusMessage message =
            QDBusMessage::createMethodCall(service, QString::fromLatin1(remote::kObjectPath),
                                           QString::fromLatin1(remote::kInterfaceName), method);
        message.setAutoStartService(false);
        message.setArguments(args);
        reply = connection.call(message, QDBus::Block, kCallTimeoutMs);
        return reply.type() == QDBusMessage::ReplyMessage;
    };
    auto failed = [&] {
        std::fprintf(stderr, "vornctl: %s: %s\n", reply.errorName().toUtf8().constData(),
                     reply.errorMessage().toUtf8().constData());
        return CallOutcome::Failed;
    };
    const QString service = QString::fromLatin1(remote::kServiceName);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        if (call(bus, service)) return CallOutcome::Answered;
        if (quitting && reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") &&
            !bus.interface()->isServiceRegistered(service).value())
            return CallOutcome::Answered;
        if (!isNoOwner(reply.errorName())) return failed();
    }
    QDBusConnection peer = connectToSocket();
    if (!peer.isConnected()) return CallOutcome::NoUploader;
    if (call(peer, QString())) return CallOutcome::Answered;
    // Peer to peer, the quit ends the connection; the socket no longer answers once it is gone.
    if (quitting && !peer.isConnected()) return CallOutcome::Answered;
    if (quitting && !socketAnswers(remote::peerSocketPath())) return CallOutcome::Answered;
    return failed();
}

void printNoUploader() {
    std::fprintf(stderr,
                 "vornctl: no uploader is running on the session bus (%s) or on the socket %s\n",
                 remote::kServiceName, remote::peerSocketPath().c_str());
}

void printText(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
}

void printWarnings(std::FILE* out, const std::vector<std::string>& warnings) {
    for (const auto& line : warnings)
        std::fprintf(out, "%swarning: %s\n", out == stderr ? "vornctl: " : "", line.c_str());
}

int status(bool json) {
    QDBusMessage reply;
    switch (callUploader(QString::fromLatin1(remote::kStatusMethodName),
                         {QString::fromLatin1(json ? "json" : "text")}, reply)) {
        case CallOutcome::Answered:
            printText(reply.arguments().value(0).toString().toStdString());
            return kOk;
        case CallOutcome::NoUploader:
            if (json) {
                std::printf("{\"state\":\"not running\"}\n");
            } else {
                printNoUploader();
            }
            return kNoUploader;
        case CallOutcome::Failed:
            break;
    }
    return kNoUploader;
}

int show() {
    QDBusMessage reply;
    switch (callUploader(QString::fromLatin1(remote::kShowMethodName), {}, reply)) {
        case CallOutcome::Answered:
            if (reply.arguments().value(0).toBool()) {
                std::printf("the uploader's main window is shown\n");
                return kOk;
            }
            std::fprintf(stderr,
                         "vornctl: the uploader runs without windows (headless); vornctl status "
                         "tells what it does\n");
            return kCommandFailed;
        case CallOutcome::NoUploader:
            std::fprintf(stderr, "vornctl: no uploader is running on the session bus (%s)\n",
                         remote::kServiceName);
            return kNoUploader;
        case CallOutcome::Failed:
            break;
    }
    return kNoUploader;
}

// config set on the store file itself, when no uploader runs: under the store's lock, so an
// uploader starting meanwhile waits for the edit, written atomically with mode 0600.
int setWithoutUploader(const std::string& path, const std::string& key, const std::string& value) {
    vorn::PreferencesStore store(path);
    vorn::setupFactoryDefaults(store, vorn::defaultFactoryDefaultsPath());
    vorn::PreferenceChange change;
    auto refused = [&] {
        store.load();
        change = vorn::checkPreferenceChange(store, key, value);
        if (!change.value) std::fprintf(stderr, "vornctl: %s\n", change.error.c_str());
        return !change.value;
    };
    // A bad value is named first, whoever holds the store.
    if (refused()) return kCommandFailed;
    // A running uploader holds the lock for its life; another editor only briefly.
    const vorn::StoreLock lock = vorn::StoreLock::acquire(path, std::chrono::seconds(2));
    if (lock.status() == vorn::StoreLock::Status::HeldByOther) {
        std::fprintf(stderr,
                     "vornctl: an uploader (process %d) holds %s but answers neither on this "
                     "session bus nor on %s; change the setting through it, or stop it first\n",
                     static_cast<int>(lock.owner().value_or(0)), path.c_str(),
                     remote::peerSocketPath().c_str());
        return kCommandFailed;
    }
    if (!lock.held()) {
        std::fprintf(stderr, "vornctl: cannot lock the store %s: %s\n", path.c_str(),
                     lock.error().c_str());
        return kCommandFailed;
    }
    // Again against the file as it is now that no one else may change it.
    if (refused()) return kCommandFailed;
    store.setObject(key, *change.value);
    if (!store.synchronize()) {
        std::fprintf(stderr, "vornctl: %s could not be written\n", path.c_str());
        return kCommandFailed;
    }
    std::printf("%s = %s (in %s; no uploader is running)\n", key.c_str(),
                vorn::preferenceValueText(key, *change.value).c_str(), path.c_str());
    printWarnings(stderr, change.warnings);
    return kOk;
}

// The store read directly, when no uploader runs.
int configWithoutUploader(const std::string& prefsPath, const std::string& action,
                          const std::string& key, const std::string& value) {
    vorn::setLogLevel(vorn::LogLevel::Error);
    const std::string path = prefsPath.empty() ? vorn::PreferencesStore::defaultPath() : prefsPath;
    if (action == "set") return setWithoutUploader(path, key, value);
    vorn::PreferencesStore store(path);
    store.load();
    vorn::setupFactoryDefaults(store, vorn::defaultFactoryDefaultsPath());
    if (action == "list") {
        for (const auto& rule : vorn::preferenceRules())
            std::printf("%s\t%s\t%s\t%s\n", rule.key.c_str(), vorn::preferenceTypeName(rule.type),
                        vorn::preferenceValueText(rule.key, store.objectForKey(rule.key)).c_str(),
                        rule.rule.c_str());
        return kOk;
    }
    if (action == "get") {
        if (!vorn::preferenceRule(key)) {
            std::fprintf(stderr,
                         "vornctl: %s: no such setting (vornctl config list names them all)\n",
                         key.c_str());
            return kCommandFailed;
        }
        printText(vorn::preferenceValueText(key, store.objectForKey(key)));
        return kOk;
    }
    const auto problems = vorn::checkPreferences(store);
    for (const auto& line : problems) std::printf("%s\n", line.c_str());
    printWarnings(stdout, vorn::preferenceWarnings(store));
    return problems.empty() ? kOk : kCommandFailed;
}

// The settings the checks of config set and config check read, as the running uploader has
// them, over the factory defaults: in a store that is never written.
constexpr const char* kCheckedKeys[] = {vorn::sPrefLocalSourceUploadFolder,
                                        vorn::sPrefLocalMasterMirrorSiteFolder, vorn::sPrefKivURL,
                                        vorn::sUserEnteredEventName, vorn::sUserLoginName};

CallOutcome askLiveSettings(vorn::PreferencesStore& live) {
    vorn::setLogLevel(vorn::LogLevel::Error);
    vorn::setupFactoryDefaults(live, vorn::defaultFactoryDefaultsPath());
    for (const char* key : kCheckedKeys) {
        QDBusMessage reply;
        const CallOutcome outcome =
            callUploader(QString::fromLatin1(remote::kConfigMethodName),
                         {QStringLiteral("get"), QString::fromLatin1(key), QString()}, reply);
        if (outcome != CallOutcome::Answered) return outcome;
        if (!reply.arguments().value(0).toBool()) continue;
        const std::string text = reply.arguments().value(1).toString().toStdString();
        std::string error;
        if (auto value = vorn::parsePreferenceValue(key, text, error)) live.setObject(key, *value);
    }
    return CallOutcome::Answered;
}

int config(const std::vector<std::string>& words, const std::string& prefsPath) {
    const std::string action = words.size() > 1 ? words[1] : "";
    const std::size_t needed = action == "set" ? 4 : action == "get" ? 3 : 2;
    if (action != "list" && action != "get" && action != "set" && action != "check")
        return usageError(action.empty() ? "config needs list, get, set or check"
                                         : "unknown config action '" + action + "'");
    if (words.size() != needed)
        return usageError("config " + action + " takes " + std::to_string(needed - 2) +
                          " argument(s), " + std::to_string(words.size() - 2) + " given");
    const std::string key = needed > 2 ? words[2] : "";
    const std::string value = needed > 3 ? words[3] : "";
    if (prefsPath.empty()) {
        // What the running uploader holds decides whether a folder is refused (an overlap) and
        // what check warns about, as the store file does without one.
        vorn::PreferencesStore live("");
        std::vector<std::string> warnings;
        CallOutcome outcome = CallOutcome::Answered;
        if (action == "set" || action == "check") outcome = askLiveSettings(live);
        if (outcome == CallOutcome::Answered && action == "set") {
            const vorn::PreferenceChange change = vorn::checkPreferenceChange(live, key, value);
            if (!change.value) {
                std::fprintf(stderr, "vornctl: %s\n", change.error.c_str());
                return kCommandFailed;
            }
            warnings = change.warnings;
        }
        QDBusMessage reply;
        if (outcome == CallOutcome::Answered)
            outcome = callUploader(QString::fromLatin1(remote::kConfigMethodName),
                                   {QString::fromStdString(action), QString::fromStdString(key),
                                    QString::fromStdString(value)},
                                   reply);
        switch (outcome) {
            case CallOutcome::Answered: {
                const bool done = reply.arguments().value(0).toBool();
                const std::string text = reply.arguments().value(1).toString().toStdString();
                if (done || action == "check") {
                    printText(text);
                } else {
                    std::fprintf(stderr, "vornctl: %s\n", text.c_str());
                }
                if (action == "check") printWarnings(stdout, vorn::preferenceWarnings(live));
                if (done) printWarnings(stderr, warnings);
                return done ? kOk : kCommandFailed;
            }
            case CallOutcome::NoUploader:
                break;
            case CallOutcome::Failed:
                return kNoUploader;
        }
    }
    return configWithoutUploader(prefsPath, action, key, value);
}

// One of the remote commands (set, get, upload-now, pause, resume, quit), sent to the running
// uploader.
int sendRequest(const std::vector<std::string>& words) {
    QStringList args;
    for (const auto& w : words) args << QString::fromStdString(w);
    Request request;
    if (!parseRequest(args, request)) {
        static const char* const kKnown[] = {"set", "get", "upload-now", "pause", "resume", "quit"};
        for (const char* known : kKnown)
            if (words[0] == known)
                return usageError("wrong number of arguments for '" + words[0] + "'");
        return usageError("unknown command '" + words[0] + "'");
    }
    const bool quitting = request.eventId == QLatin1String(remote::kEventIdQuit);
    QDBusMessage reply;
    switch (callUploader(QString::fromLatin1(remote::kMethodName),
                         {request.eventClass, request.eventId, request.directObject}, reply,
                         quitting)) {
        case CallOutcome::Answered:
            return quitting ? kOk : printReply(reply);
        case CallOutcome::NoUploader:
            printNoUploader();
            break;
        case CallOutcome::Failed:
            break;
    }
    return kNoUploader;
}

}  // namespace

int main(int argc, char** argv) {
    enum { kJson = 1000, kPrefs, kVersion };
    static const option kOptions[] = {{"json", no_argument, nullptr, kJson},
                                      {"prefs", required_argument, nullptr, kPrefs},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, kVersion},
                                      {nullptr, 0, nullptr, 0}};
    bool json = false;
    std::string prefsPath;
    opterr = 0;
    int c;
    // "+": options end at the first word that is not one, so a value may begin with "-".
    while ((c = getopt_long(argc, argv, "+:h", kOptions, nullptr)) != -1) {
        switch (c) {
            case 'h':
                printUsage(stdout);
                return kOk;
            case kVersion:
                std::printf("vornctl %s\n", vorn::build::kVersion);
                return kOk;
            case kJson:
                json = true;
                break;
            case kPrefs:
                prefsPath = optarg;
                break;
            case ':':
                return usageError(std::string(argv[optind - 1]) + " needs a value");
            default:
                return usageError(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    std::vector<std::string> words(argv + optind, argv + argc);
    // "status --json": the option may follow the command.
    if (!words.empty() && words[0] == "status") {
        for (std::size_t i = 1; i < words.size(); ++i) {
            if (words[i] == "--json")
                json = true;
            else
                return usageError("unexpected argument '" + words[i] + "' after status");
        }
    }
    if (words.empty()) return usageError("no command given");

    // Qt's own warnings (a bus going away mid-call) are not the user's business.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "vornctl: %s\n", text.toLocal8Bit().constData());
    });
    QCoreApplication app(argc, argv);
    if (words[0] == "status") return status(json);
    if (words[0] == "config") return config(words, prefsPath);
    if (words[0] == "show") {
        if (words.size() != 1) return usageError("show takes no arguments");
        return show();
    }

    return sendRequest(words);
}
