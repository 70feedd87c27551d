// vornctl: drives a running vorn-uploader over the session bus.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QStringList>
#include <cstdio>
#include <cstring>
#include <string>

#include "remote/RemoteProtocol.h"

namespace {

namespace remote = vorn::remote;

enum ExitStatus { kOk = 0, kCommandFailed = 1, kUsage = 2, kNoUploader = 3 };

// An uploader that is busy on its main thread answers late, but it answers.
constexpr int kCallTimeoutMs = 60 * 1000;

void printUsage(std::FILE* out) {
    std::fprintf(
        out,
        "Usage: vornctl COMMAND [ARGUMENTS]\n"
        "\n"
        "Drives a running vorn-uploader over the D-Bus session bus (%s).\n"
        "\n"
        "Commands:\n"
        "  set KEY VALUE   store a setting; prints COMMAND SUCCESS or COMMAND FAILED\n"
        "  get KEY         read a setting; prints COMMAND SUCCESS and, on the next\n"
        "                  line, the value when one is stored\n"
        "  upload-now      start an upload pass, or resume a paused one; prints ACCEPTED\n"
        "  pause           pause after the photo being uploaded; prints ACCEPTED\n"
        "  quit            quit the uploader in order; prints nothing\n"
        "\n"
        "Keys for set: userEnteredEventName, userLoginName, userLoginPassword (any\n"
        "text); prefShowPreviewWhenUploading, prefDeleteEmptyFtpFolders,\n"
        "prefAutoSynchronize, prefUseEventName, prefDoUseDeleteOldPhotos,\n"
        "prefAutoStartUploadAtStartup (yes or no); prefSecondsBetweenScans (a number\n"
        "above 0); prefDaysOldBeforeDeleting (a whole number of days, at least 1).\n"
        "Keys for get: userEnteredEventName, userLoginName, userLoginPassword,\n"
        "prefSecondsBetweenScans.\n"
        "\n"
        "Exit status: 0 done, 1 COMMAND FAILED, 2 bad arguments, 3 no uploader answered.\n",
        remote::kServiceName);
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

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() == 1 &&
        (args[0] == QLatin1String("--help") || args[0] == QLatin1String("-h"))) {
        printUsage(stdout);
        return kOk;
    }
    Request request;
    if (!parseRequest(args, request)) {
        printUsage(stderr);
        return kUsage;
    }

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "vornctl: no session bus: %s\n",
                     bus.lastError().message().toUtf8().constData());
        return kNoUploader;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(remote::kServiceName), QString::fromLatin1(remote::kObjectPath),
        QString::fromLatin1(remote::kInterfaceName), QString::fromLatin1(remote::kMethodName));
    call.setAutoStartService(false);
    call << request.eventClass << request.eventId << request.directObject;
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);

    const bool quitting = request.eventId == QLatin1String(remote::kEventIdQuit);
    if (reply.type() == QDBusMessage::ReplyMessage) return quitting ? kOk : printReply(reply);

    const QString error = reply.errorName();
    // Quit is never answered: the uploader leaving the bus is the sign that it quit.
    if (quitting && error == QLatin1String("org.freedesktop.DBus.Error.NoReply") &&
        !bus.interface()->isServiceRegistered(QString::fromLatin1(remote::kServiceName)).value())
        return kOk;
    if (error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
        std::fprintf(stderr, "vornctl: no uploader is running on the session bus (%s)\n",
                     remote::kServiceName);
    } else {
        std::fprintf(stderr, "vornctl: %s: %s\n", error.toUtf8().constData(),
                     reply.errorMessage().toUtf8().constData());
    }
    return kNoUploader;
}
