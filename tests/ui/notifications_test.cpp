// Desktop notifications: when the uploader asks for a person (a table of facts over time), and
// what reaches a notification server on a bus of the test's own, with the action that brings
// the main window back.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <chrono>
#include <map>

#include "UiFixture.h"
#include "settings/PreferenceKeys.h"
#include "shell/QtUserInterface.h"
#include "support/PrivateSessionBus.h"
#include "ui/DesktopNotices.h"

namespace vorn {
namespace {

using namespace std::chrono_literals;
using test::processEventsUntil;
using Reason = DesktopNotices::Reason;

using N = DesktopNotices;

// One fact at a time after the start, and the notices it must send.
struct Fact {
    std::chrono::seconds at;
    std::function<std::vector<N::Notice>(N&, N::TimePoint)> feed;
    std::vector<Reason> sent;
};

TEST(DesktopNotices, OnePerReasonUntilItClears) {
    auto state = [](CycleState s, std::string why = "") {
        return [s, why](N& n, N::TimePoint t) { return n.cycleState(s, why, t); };
    };
    auto error = [](std::string text) {
        return [text](N& n, N::TimePoint t) { return n.errorShown(text, t); };
    };
    auto result = [](UploadOutcome::Kind kind, std::string reason = "") {
        const UploadOutcome o{kind, "Ball/IMG_0001.jpg", 0, 0, reason};
        return [o](N& n, N::TimePoint t) { return n.outcome(o, t); };
    };
    auto waiting = [](std::size_t count) {
        return [count](N& n, N::TimePoint t) { return n.waiting(count, t); };
    };
    auto tick = [](N& n, N::TimePoint t) { return n.tick(t); };
    using enum UploadOutcome::Kind;
    const std::string full = "could not file IMG_0001.jpg in the mirror folder: No space left";
    const Fact facts[] = {
        {0s, state(CycleState::Error, "Account closed"), {Reason::StoppedOnError}},
        {1s, state(CycleState::Error, "Account closed"), {}},
        {2s, error("HTTP Server Returned Status Code: 500"), {}},
        {3s, state(CycleState::Idle), {}},
        {4s, state(CycleState::Error, "Account closed"), {Reason::StoppedOnError}},
        {5s,
         state(CycleState::WaitingForSettings, "No mirror folder"),
         {Reason::WaitingForSettings}},
        {6s, state(CycleState::WaitingForSettings, "No mirror folder"), {}},
        {7s, state(CycleState::Uploading), {}},
        // A full disk: once, while photo after photo cannot be filed; again after one was.
        {8s, result(Uploaded), {}},
        {8s, error(full), {Reason::CannotFile}},
        {9s, result(Uploaded), {}},
        {9s, error(full), {}},
        {10s, result(Uploaded), {}},
        {11s, state(CycleState::Idle), {}},
        {12s, error(full), {Reason::CannotFile}},
        // A failing service: only once photos have waited behind it for five minutes.
        {20s, waiting(3), {}},
        {20s, result(WillRetry, "no answer within 60 s"), {}},
        {200s, result(WillRetry, "no answer within 60 s"), {}},
        {319s, tick, {}},
        {321s, tick, {Reason::ServiceFailing}},
        {400s, result(WillRetry, "HTTP 503"), {}},
        {401s, result(Uploaded), {}},
        {402s, result(WillRetry, "HTTP 503"), {}},
        {702s, tick, {Reason::ServiceFailing}},
        // Nothing waiting: a failing service keeps no one from anything.
        {703s, result(Uploaded), {}},
        {704s, waiting(0), {}},
        {705s, result(WillRetry, "HTTP 503"), {}},
        {2000s, tick, {}},
    };
    // What each notice must say.
    const std::map<Reason, std::string> said{{Reason::StoppedOnError, "Account closed"},
                                             {Reason::WaitingForSettings, "No mirror folder"},
                                             {Reason::CannotFile, "No space left"},
                                             {Reason::ServiceFailing, "3 photos have waited"}};
    N notices;
    const auto start = std::chrono::steady_clock::time_point{} + 1h;
    for (std::size_t i = 0; i < std::size(facts); ++i) {
        SCOPED_TRACE(i);
        std::vector<Reason> sent;
        for (const auto& n : facts[i].feed(notices, start + facts[i].at)) {
            sent.push_back(n.reason);
            EXPECT_FALSE(n.summary.empty());
            EXPECT_NE(n.body.find(said.at(n.reason)), n.body.npos) << n.body;
        }
        EXPECT_EQ(sent, facts[i].sent);
    }
}

// A notification server of the test's own: records each Notify and answers its id.
class NotificationServer : public QDBusVirtualObject {
  public:
    struct Call {
        QString summary, body;
        QStringList actions;
    };
    std::vector<Call> calls;

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != QLatin1String("Notify")) return false;
        const QList<QVariant> args = message.arguments();
        calls.push_back(
            {args.value(3).toString(), args.value(4).toString(), args.value(5).toStringList()});
        connection.send(message.createReply(QVariant(static_cast<uint>(100 + calls.size()))));
        return true;
    }
    QString introspect(const QString&) const override { return {}; }
};

class NotificationsTest : public test::UiFixture {};

TEST_F(NotificationsTest, NoticesReachTheServerTheirActionShowsTheWindowAndThePreferenceStopsThem) {
    test::PrivateSessionBus bus;
    ASSERT_FALSE(bus.address().empty()) << "no private session bus (Debian package dbus)";
    QDBusConnection server =
        QDBusConnection::connectToBus(QString::fromStdString(bus.address()), "notification-server");
    QDBusConnection client =
        QDBusConnection::connectToBus(QString::fromStdString(bus.address()), "uploader");
    NotificationServer notifications;
    ASSERT_TRUE(server.registerVirtualObject("/org/freedesktop/Notifications", &notifications));
    ASSERT_TRUE(server.registerService("org.freedesktop.Notifications"));

    store->setObject(sPrefShowDesktopNotifications, true);
    QtUserInterface windows(*store, [] {});
    windows.desktopNotifier()->setConnection(client);
    ASSERT_FALSE(windows.mainWindow()->isVisible());

    windows.showCycleState(CycleState::Error, "Account closed");
    windows.showCycleState(CycleState::WaitingForSettings, "No mirror folder is chosen");
    ASSERT_TRUE(processEventsUntil([&] { return notifications.calls.size() == 2; }, 10s));
    EXPECT_EQ(notifications.calls[0].summary, "Vorn Uploader stopped on an error");
    EXPECT_TRUE(notifications.calls[0].body.startsWith("Account closed"));
    EXPECT_EQ(notifications.calls[0].actions, (QStringList{"default", "Show Window"}));
    EXPECT_EQ(notifications.calls[1].summary, "Vorn Uploader waits for valid settings");

    // The action on the first brings the main window forward.
    QDBusMessage invoked = QDBusMessage::createSignal(
        "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "ActionInvoked");
    invoked << 101u << QString("default");
    server.send(invoked);
    EXPECT_TRUE(processEventsUntil([&] { return windows.mainWindow()->isVisible(); }, 10s));

    // Turned off, nothing goes out; turned on, the next reason does.
    store->setObject(sPrefShowDesktopNotifications, false);
    windows.showCycleState(CycleState::Error, "Account closed");
    store->setObject(sPrefShowDesktopNotifications, true);
    windows.showCycleState(CycleState::WaitingForSettings, "No mirror folder is chosen");
    ASSERT_TRUE(processEventsUntil([&] { return notifications.calls.size() == 3; }, 10s));
    EXPECT_EQ(notifications.calls[2].summary, "Vorn Uploader waits for valid settings");
    QDBusConnection::disconnectFromBus("notification-server");
    QDBusConnection::disconnectFromBus("uploader");
}

}  // namespace
}  // namespace vorn
