#include "shell/QtAlerts.h"

#include <canberra.h>

#include <QAbstractButton>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "platform/PlatformLog.h"
#include "platform/PropertyList.h"
#include "platform/Resources.h"

namespace vorn {

std::optional<int> QtAlerts::nextAnswer;
std::optional<std::vector<std::string>> QtAlerts::preferredLanguages;
std::vector<QtAlerts::Shown> QtAlerts::shown;
std::vector<std::string> QtAlerts::soundsAsked;

std::string QtAlerts::language() {
    return getPreferredLanguage(preferredLanguages ? *preferredLanguages
                                                   : desktopPreferredLanguages());
}

namespace {
QMessageBox* makeBox(const AlertText& text, QWidget* parent) {
    auto* box = new QMessageBox(parent);
    box->setIcon(QMessageBox::Warning);
    box->setText(QString::fromStdString(text.title));
    box->setInformativeText(QString::fromStdString(text.message).replace('\r', '\n'));
    auto* def =
        text.defaultButton.empty()
            ? box->addButton(QMessageBox::Ok)
            : box->addButton(QString::fromStdString(text.defaultButton), QMessageBox::AcceptRole);
    def->setProperty("alertResult", 1);
    box->setDefaultButton(def);
    if (text.alternateButton)
        box->addButton(QString::fromStdString(*text.alternateButton), QMessageBox::RejectRole)
            ->setProperty("alertResult", 0);
    if (text.otherAltButton)
        box->addButton(QString::fromStdString(*text.otherAltButton), QMessageBox::DestructiveRole)
            ->setProperty("alertResult", -1);
    box->setObjectName("alert");
    return box;
}

int runModal(const AlertText& text) {
    if (QtAlerts::nextAnswer) {
        QtAlerts::shown.push_back({text, false});
        return *QtAlerts::nextAnswer;
    }
    QMessageBox* box = makeBox(text, nullptr);
    box->exec();
    QAbstractButton* clicked = box->clickedButton();
    int result = clicked ? clicked->property("alertResult").toInt() : 1;
    delete box;
    return result;
}
}  // namespace

namespace {
// The alert's text; nothing once the fallback panel (the key not in the table) was shown.
std::optional<AlertText> alertOrFallback(const std::string& table, const std::string& key,
                                         const std::string& arg1, const std::string& arg2) {
    AlertText fallback;
    std::optional<AlertText> text =
        lookUpAlert(resourceDirectory(), QtAlerts::language(), table, key, arg1, arg2, &fallback);
    if (!text) runModal(fallback);
    return text;
}
}  // namespace

int QtAlerts::myNSRunAlertPanel(const std::string& table, const std::string& key,
                                const std::string& arg1, const std::string& arg2) {
    std::optional<AlertText> text = alertOrFallback(table, key, arg1, arg2);
    return text ? runModal(*text) : -2;
}

int QtAlerts::myNSRunAlertPanelOnWindow(QWidget* window, const std::string& table,
                                        const std::string& key, const std::string& arg1,
                                        const std::string& arg2) {
    std::optional<AlertText> text = alertOrFallback(table, key, arg1, arg2);
    if (!text) return -2;
    if (nextAnswer || !window) {
        if (nextAnswer)
            shown.push_back({*text, true});
        else
            runModal(*text);
        return -2;
    }
    QMessageBox* box = makeBox(*text, window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->open();
    return -2;
}

QMessageBox* QtAlerts::makeAlertBox(const std::string& key, QWidget* parent) {
    std::optional<AlertText> text =
        lookUpAlert(resourceDirectory(), language(), kAlertTableName, key, "", "", nullptr);
    return text ? makeBox(*text, parent) : nullptr;
}

namespace {
// A sound server's socket or a sound card: without either there is nothing to play on, and
// the sound library would only complain on standard error.
bool soundOutputExists() {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        fs::path dir = runtime;
        if (fs::exists(dir / "pulse" / "native", ec) || fs::exists(dir / "pipewire-0", ec))
            return true;
    }
    return fs::exists("/dev/snd", ec) && !fs::is_empty("/dev/snd", ec);
}
}  // namespace

bool QtAlerts::doPlaySound(const std::string& name, const std::string& type) {
    if (nextAnswer) soundsAsked.push_back(name);
    std::optional<std::string> path = pathForResource(name + "." + type);
    if (!path || !soundOutputExists()) return false;
    static std::mutex mutex;
    static ca_context* context = nullptr;
    std::lock_guard lock(mutex);
    if (!context && ca_context_create(&context) != CA_SUCCESS) {
        platformLog("Unable to create NSSound for testSound???");
        context = nullptr;
        return false;
    }
    int rc = ca_context_play(context, 0, CA_PROP_MEDIA_FILENAME, path->c_str(),
                             CA_PROP_EVENT_DESCRIPTION, name.c_str(), nullptr);
    if (rc != CA_SUCCESS) {
        platformLog("testSound FAILED to start playing????? (%s)", ca_strerror(rc));
        return false;
    }
    platformLog("testSound is playing");
    return true;
}

QString QtAlerts::supportMailUrl() {
    std::string address = "support@localhost";
    if (auto path = pathForResource("Deployment.plist")) {
        if (auto root = readPropertyListFile(*path); root && root->isDictionary()) {
            auto it = root->asDictionary()->find("supportEmailAddress");
            if (it != root->asDictionary()->end() && it->second.asString())
                address = *it->second.asString();
        }
    }
    return QString::fromStdString("mailto:" + address +
                                  "?subject=System%20Has%20A%20Problem!!&body=NEED%20Tech%"
                                  "20Support!!!!");
}

bool QtAlerts::sendMailCocoa() {
    return QDesktopServices::openUrl(QUrl(supportMailUrl(), QUrl::TolerantMode));
}

}  // namespace vorn
