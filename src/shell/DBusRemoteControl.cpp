#include "shell/DBusRemoteControl.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusServer>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QString>
#include <QStringList>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "app/AppController.h"
#include "platform/FileDescriptor.h"
#include "platform/PlatformLog.h"
#include "remote/CommandInterface.h"
#include "remote/RemoteProtocol.h"
#include "settings/PreferenceRules.h"
#include "settings/Preferences.h"

namespace vorn::dbus {

// The answer of a getValue that found a value: ("COMMAND SUCCESS", [command, key, value]).
struct CommandValueReply {
    QString status;
    QStringList texts;
};

QDBusArgument& operator<<(QDBusArgument& arg, const CommandValueReply& reply) {
    arg.beginStructure();
    arg << reply.status << reply.texts;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, CommandValueReply& reply) {
    arg.beginStructure();
    arg >> reply.status >> reply.texts;
    arg.endStructure();
    return arg;
}

}  // namespace vorn::dbus

Q_DECLARE_METATYPE(vorn::dbus::CommandValueReply)

namespace vorn::dbus {
namespace {

const QString kEventSignature = QStringLiteral("ssas");

std::function<std::string(bool)>& statusProvider() {
    static std::function<std::string(bool)> provider;
    return provider;
}

std::function<bool()>& showHandler() {
    static std::function<bool()> handler;
    return handler;
}

// One configuration request on the live store: a set takes effect at once and is written, so
// no later write of the uploader undoes it.
std::pair<bool, std::string> configRequest(const std::string& action, const std::string& key,
                                           const std::string& value) {
    PreferencesStore& store = Preferences::store();
    if (action == "list") {
        std::string out;
        for (const auto& rule : preferenceRules()) {
            out += rule.key + "\t" + preferenceTypeName(rule.type) + "\t" +
                   preferenceValueText(rule.key, store.objectForKey(rule.key)) + "\t" + rule.rule +
                   "\n";
        }
        return {true, out};
    }
    if (action == "get") {
        if (!preferenceRule(key))
            return {false, key + ": no such setting (vornctl config list names them all)"};
        return {true, preferenceValueText(key, store.objectForKey(key))};
    }
    if (action == "set") {
        // The same rules as vornctl's own check: overlapping folders are refused whoever asks.
        PreferenceChange change = checkPreferenceChange(store, key, value);
        if (!change.value) return {false, change.error};
        const Value parsed = *change.value;
        store.setObject(key, parsed);
        if (!store.synchronize())
            return {false, key + ": set for this run, but the store " + store.path() +
                               " could not be written (see the log)"};
        return {true, key + " = " + preferenceValueText(key, parsed)};
    }
    if (action == "check") {
        std::string out;
        for (const auto& line : checkPreferences(store)) out += line + "\n";
        return {out.empty(), out};
    }
    return {false, "unknown configuration action \"" + action + "\" (list, get, set or check)"};
}

// Handles the messages to the object path itself, so the signature check and the (absent)
// reply of quit are in our hands rather than the generic slot dispatch's.
class RemoteControlObject : public QDBusVirtualObject {
  public:
    RemoteControlObject(RemoteActions actions, QObject* parent)
        : QDBusVirtualObject(parent), commands_(std::move(actions)) {}

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.type() != QDBusMessage::MethodCallMessage) return false;
        const QString interface = message.interface();
        const bool ours = interface == QLatin1String(remote::kInterfaceName);
        const bool isEvent = message.member() == QLatin1String(remote::kMethodName);
        // Other interfaces (introspection, peer) get the standard answers.
        if (!ours && !(interface.isEmpty() && isEvent)) return false;
        if (ours && message.member() == QLatin1String(remote::kStatusMethodName)) {
            const QList<QVariant> args = message.arguments();
            const bool json = args.value(0).toString() != QLatin1String("text");
            if (!statusProvider()) {
                answer(connection, message,
                       message.createErrorReply(QDBusError::NotSupported,
                                                QStringLiteral("No status is kept")));
            } else {
                answer(connection, message,
                       message.createReply(QString::fromStdString(statusProvider()(json))));
            }
            return true;
        }
        if (ours && message.member() == QLatin1String(remote::kShowMethodName)) {
            const bool shown = showHandler() && showHandler()();
            answer(connection, message, message.createReply(QVariant(shown)));
            return true;
        }
        if (ours && message.member() == QLatin1String(remote::kConfigMethodName)) {
            if (message.signature() != QLatin1String("sss")) {
                answer(connection, message,
                       message.createErrorReply(
                           QDBusError::InvalidArgs,
                           QStringLiteral("Config takes (s action, s key, s value)")));
                return true;
            }
            const QList<QVariant> args = message.arguments();
            auto [done, text] = configRequest(args.value(0).toString().toStdString(),
                                              args.value(1).toString().toStdString(),
                                              args.value(2).toString().toStdString());
            QList<QVariant> out{QVariant(done), QVariant(QString::fromStdString(text))};
            answer(connection, message, message.createReply(out));
            return true;
        }
        if (!isEvent) {
            answer(connection, message,
                   message.createErrorReply(
                       QDBusError::UnknownMethod,
                       QStringLiteral("No method '%1' in interface %2; there is only %3")
                           .arg(message.member(), QLatin1String(remote::kInterfaceName),
                                QLatin1String(remote::kMethodName))));
            return true;
        }
        if (message.signature() != kEventSignature) {
            platformLog("Remote request with arguments (%s) refused",
                        message.signature().toStdString().c_str());
            answer(connection, message,
                   message.createErrorReply(
                       QDBusError::InvalidArgs,
                       QStringLiteral("Event takes (s eventClass, s eventId, as directObject), "
                                      "not (%1)")
                           .arg(message.signature())));
            return true;
        }

        const QList<QVariant> args = message.arguments();
        const QString eventClass = args.value(0).toString();
        const QString eventId = args.value(1).toString();
        Array items;
        for (const QString& item : args.value(2).toStringList())
            items.emplace_back(item.toStdString());
        AppleEvent event{eventClass.toStdString(), eventId.toStdString(), Value(std::move(items))};

        AppleEventReply reply = commands_.handleTestAEHandler(event);
        switch (reply.kind) {
            case AppleEventReply::Kind::Text:
                answer(connection, message,
                       message.createReply(
                           QVariant::fromValue(QDBusVariant(QString::fromStdString(reply.text)))));
                break;
            case AppleEventReply::Kind::TextAndList: {
                CommandValueReply value{QString::fromStdString(reply.text), {}};
                for (const std::string& text : reply.list)
                    value.texts << QString::fromStdString(text);
                answer(connection, message,
                       message.createReply(
                           QVariant::fromValue(QDBusVariant(QVariant::fromValue(value)))));
                break;
            }
            case AppleEventReply::Kind::NotHandled:
                answer(connection, message,
                       message.createErrorReply(
                           QString::fromLatin1(remote::kErrorUnknownEvent),
                           QStringLiteral("No request has event class '%1' and ID '%2'")
                               .arg(eventClass, eventId)));
                break;
            case AppleEventReply::Kind::None:
                // Quit answers nothing: the caller learns of it when the uploader leaves the bus.
                break;
        }
        return true;
    }

    QString introspect(const QString&) const override {
        return QStringLiteral(
                   "<interface name=\"%1\">\n"
                   "  <method name=\"%2\">\n"
                   "    <arg name=\"eventClass\" type=\"s\" direction=\"in\"/>\n"
                   "    <arg name=\"eventId\" type=\"s\" direction=\"in\"/>\n"
                   "    <arg name=\"directObject\" type=\"as\" direction=\"in\"/>\n"
                   "    <arg name=\"reply\" type=\"v\" direction=\"out\"/>\n"
                   "  </method>\n"
                   "  <method name=\"%3\">\n"
                   "    <arg name=\"format\" type=\"s\" direction=\"in\"/>\n"
                   "    <arg name=\"status\" type=\"s\" direction=\"out\"/>\n"
                   "  </method>\n"
                   "  <method name=\"%5\">\n"
                   "    <arg name=\"shown\" type=\"b\" direction=\"out\"/>\n"
                   "  </method>\n"
                   "  <method name=\"%4\">\n"
                   "    <arg name=\"action\" type=\"s\" direction=\"in\"/>\n"
                   "    <arg name=\"key\" type=\"s\" direction=\"in\"/>\n"
                   "    <arg name=\"value\" type=\"s\" direction=\"in\"/>\n"
                   "    <arg name=\"done\" type=\"b\" direction=\"out\"/>\n"
                   "    <arg name=\"text\" type=\"s\" direction=\"out\"/>\n"
                   "  </method>\n"
                   "</interface>\n")
            .arg(QLatin1String(remote::kInterfaceName), QLatin1String(remote::kMethodName),
                 QLatin1String(remote::kStatusMethodName), QLatin1String(remote::kConfigMethodName),
                 QLatin1String(remote::kShowMethodName));
    }

  private:
    static void answer(const QDBusConnection& connection, const QDBusMessage& request,
                       const QDBusMessage& reply) {
        if (request.isReplyRequired()) connection.send(reply);
    }

    CommandInterface commands_;
};

}  // namespace
}  // namespace vorn::dbus

namespace vorn::dbus {
namespace {

// A D-Bus address value: bytes outside [-0-9A-Za-z_/.\*] go as %XX.
QString addressValue(const std::string& text) {
    static const char* const kHex = "0123456789abcdef";
    QString out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || std::strchr("-_/.\\*", c)) {
            out += QLatin1Char(static_cast<char>(c));
        } else {
            out += QLatin1Char('%');
            out += QLatin1Char(kHex[c >> 4]);
            out += QLatin1Char(kHex[c & 15]);
        }
    }
    return out;
}

// The socket served, so that the orderly stop removes that one and no other.
struct ServedSocket {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
};
std::optional<ServedSocket>& servedSocket() {
    static std::optional<ServedSocket> served;
    return served;
}

// Something accepts connections on the socket: an uploader that is still there.
bool somethingAnswers(const std::string& path) {
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// The socket's folder made (private, when it is made here) and a socket left behind by an
// uploader that is gone cleared. Empty when the place is ready, else why not.
std::string prepareSocketPlace(const std::string& path) {
    if (path.size() >= sizeof(sockaddr_un{}.sun_path)) return "its path is too long for a socket";
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            return folder + ": " + std::strerror(errno);
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {};
    if (!S_ISSOCK(st.st_mode)) return "something that is not a socket is in its place";
    if (somethingAnswers(path)) return "another uploader answers on it; quit that one first";
    ::unlink(path.c_str());
    return {};
}

// The peer connections served, by name. Qt keeps each one until it is let go of: a vornctl
// that came and went would otherwise cost its connection's memory for the uploader's life.
std::vector<QString>& openConnections() {
    static std::vector<QString> names;
    return names;
}

void forgetClosedConnections() {
    std::erase_if(openConnections(), [](const QString& name) {
        if (QDBusConnection(name).isConnected()) return false;
        QDBusConnection::disconnectFromPeer(name);
        return true;
    });
}

// The interface served peer to peer on the socket: each client's connection gets the object.
RemoteControlReach serveOnSocket(QDBusVirtualObject* object) {
    RemoteControlReach reach;
    reach.socketPath = remote::peerSocketPath();
    reach.problem = prepareSocketPlace(reach.socketPath);
    if (!reach.problem.empty()) return reach;
    auto* server = new QDBusServer(QStringLiteral("unix:path=") + addressValue(reach.socketPath),
                                   QCoreApplication::instance());
    if (!server->isConnected()) {
        reach.problem = server->lastError().message().toStdString();
        delete server;
        return reach;
    }
    // The folder may be shared (the state folder); the socket is the user's alone. The D-Bus
    // handshake refuses other users as well.
    ::chmod(reach.socketPath.c_str(), 0600);
    struct stat st {};
    if (::lstat(reach.socketPath.c_str(), &st) == 0)
        servedSocket() = ServedSocket{reach.socketPath, st.st_dev, st.st_ino};
    // Qt holds each new connection's messages until this has run: no early request is lost.
    QObject::connect(
        server, &QDBusServer::newConnection, server, [object](const QDBusConnection& peer) {
            forgetClosedConnections();
            QDBusConnection connection(peer);
            if (!connection.registerVirtualObject(QString::fromLatin1(remote::kObjectPath), object))
                platformLog("UNABLE to serve a remote-control connection");
            openConnections().push_back(connection.name());
        });
    reach.kind = RemoteControlReach::Kind::Socket;
    return reach;
}

// The user's Resume, when there is something to resume.
// The controller's resume also takes back a pause not yet in effect.
bool resumeIfHeld(AppController& controller) {
    if (!controller.flags().isHeld()) return false;
    controller.doHandlePauseResumeButtonAsResume();
    return true;
}

}  // namespace
}  // namespace vorn::dbus

namespace vorn {

std::string RemoteControlReach::description() const {
    switch (kind) {
        case Kind::SessionBus:
            return std::string("the session bus (") + remote::kServiceName + ")";
        case Kind::Socket:
            return "the socket " + socketPath;
        case Kind::None:
            break;
    }
    return "none: " + problem;
}

void setRemoteStatusProvider(std::function<std::string(bool json)> provider) {
    dbus::statusProvider() = std::move(provider);
}

void setRemoteShowHandler(std::function<bool()> show) {
    dbus::showHandler() = std::move(show);
}

bool askRunningUploaderToShowItsWindow() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(remote::kServiceName), QString::fromLatin1(remote::kObjectPath),
        QString::fromLatin1(remote::kInterfaceName), QString::fromLatin1(remote::kShowMethodName));
    call.setAutoStartService(false);
    // A busy uploader answers late; the person who launched us waits a moment, not a minute.
    const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
}

RemoteControlReach setupForAppleEventsForThisApp(AppController& controller,
                                                 std::function<void()> quit) {
    qDBusRegisterMetaType<dbus::CommandValueReply>();
    RemoteActions actions{[&controller] { controller.uploadNow(); },
                          [&controller] { controller.forceProcessToPause(); },
                          [&controller] { return dbus::resumeIfHeld(controller); },
                          std::move(quit)};
    // Lives as long as the application object: requests may come until the loop ends.
    auto* object = new dbus::RemoteControlObject(std::move(actions), QCoreApplication::instance());
    const QString path = QString::fromLatin1(remote::kObjectPath);

    RemoteControlReach reach;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        const std::string why = bus.lastError().message().toStdString();
        reach = dbus::serveOnSocket(object);
        if (reach.kind == RemoteControlReach::Kind::Socket) {
            platformLog("setupForAppleEventsForThisApp\n");
            logAt(LogLevel::Info, "No session bus (%s): remote control on the socket %s",
                  why.c_str(), reach.socketPath.c_str());
            return reach;
        }
        reach.problem = "no session bus, and the socket " + reach.socketPath + " cannot be made (" +
                        reach.problem +
                        "); start the uploader in a desktop session or under dbus-run-session, "
                        "or set XDG_RUNTIME_DIR to a folder of your own";
    } else if (!bus.registerVirtualObject(path, object)) {
        reach.problem =
            std::string("the object path ") + remote::kObjectPath + " is taken on the session bus";
    } else if (!bus.registerService(QString::fromLatin1(remote::kServiceName))) {
        // The object is in place before the name appears, so no early request goes unanswered.
        reach.problem = std::string("the bus name ") + remote::kServiceName + " cannot be had (" +
                        bus.lastError().message().toStdString() +
                        "); another uploader may hold it: quit that one first";
        bus.unregisterObject(path);
    } else {
        platformLog("setupForAppleEventsForThisApp\n");
        reach.kind = RemoteControlReach::Kind::SessionBus;
        return reach;
    }
    platformLog("UNABLE setupForAppleEventsForThisApp\n");
    logAt(LogLevel::Error, "Remote control is unavailable: %s", reach.problem.c_str());
    delete object;
    return reach;
}

void stopRemoteControl() {
    std::optional<dbus::ServedSocket>& served = dbus::servedSocket();
    if (!served) return;
    struct stat st {};
    // Only the socket made here: another uploader may have taken the place since.
    if (::lstat(served->path.c_str(), &st) == 0 && st.st_dev == served->dev &&
        st.st_ino == served->ino)
        ::unlink(served->path.c_str());
    served.reset();
}

}  // namespace vorn
