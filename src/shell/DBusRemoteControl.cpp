#include "shell/DBusRemoteControl.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QString>
#include <QStringList>

#include "app/AppController.h"
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

namespace vorn {

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

bool setupForAppleEventsForThisApp(AppController& controller, std::function<void()> quit) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        platformLog("UNABLE setupForAppleEventsForThisApp\n");
        platformLog("No session bus: %s", bus.lastError().message().toStdString().c_str());
        return false;
    }
    platformLog("setupForAppleEventsForThisApp\n");
    qDBusRegisterMetaType<dbus::CommandValueReply>();

    RemoteActions actions{[&controller] { controller.uploadNow(); },
                          [&controller] { controller.forceProcessToPause(); }, std::move(quit)};
    // Lives as long as the application object: requests may come until the loop ends.
    auto* object = new dbus::RemoteControlObject(std::move(actions), QCoreApplication::instance());
    const QString path = QString::fromLatin1(remote::kObjectPath);
    if (!bus.registerVirtualObject(path, object)) {
        platformLog("UNABLE setupForAppleEventsForThisApp\n");
        platformLog("The object path %s is taken", remote::kObjectPath);
        delete object;
        return false;
    }
    // The object is in place before the name appears, so no early request goes unanswered.
    if (!bus.registerService(QString::fromLatin1(remote::kServiceName))) {
        platformLog("UNABLE setupForAppleEventsForThisApp\n");
        platformLog("The bus name %s cannot be had: %s", remote::kServiceName,
                    bus.lastError().message().toStdString().c_str());
        bus.unregisterObject(path);
        delete object;
        return false;
    }
    return true;
}

}  // namespace vorn
