#pragma once
// Alerts from the alert tables, the interface's little sounds and the support e-mail.

#include <QMessageBox>
#include <QString>
#include <QWidget>
#include <optional>
#include <string>
#include <vector>

#include "ui/AlertTable.h"

namespace vorn {

class QtAlerts {
  public:
    // Modal: blocks until answered. 1 default, 0 alternate, -1 other; -2 when no alert from the
    // table could be shown (the "Unable to Find Resource For:" panel then showed instead).
    static int myNSRunAlertPanel(const std::string& table, const std::string& key,
                                 const std::string& arg1 = "", const std::string& arg2 = "");
    // As a sheet (window-modal) on window; returns -2 at once, the answer goes nowhere.
    static int myNSRunAlertPanelOnWindow(QWidget* window, const std::string& table,
                                         const std::string& key, const std::string& arg1 = "",
                                         const std::string& arg2 = "");

    // The alert as a message box (not shown), or nullptr when the table lacks it.
    static QMessageBox* makeAlertBox(const std::string& key, QWidget* parent);

    // The language name of the alert tables for this desktop (or for the override below).
    static std::string language();

    // true when the sound resource name.type started playing; false without a sound server.
    static bool doPlaySound(const std::string& name, const std::string& type);
    // Opens a new message to the deployment's support address in the user's mail program.
    static bool sendMailCocoa();
    static QString supportMailUrl();

    // ---- test hooks ----
    struct Shown {
        AlertText text;
        bool sheet = false;
    };
    // When set, alerts are not shown: each is recorded and answered with this value.
    static std::optional<int> nextAnswer;
    // The preferred-language list used instead of the desktop's.
    static std::optional<std::vector<std::string>> preferredLanguages;
    static std::vector<Shown> shown;
    // While nextAnswer is set: the sound names asked for, in order.
    static std::vector<std::string> soundsAsked;
};

}  // namespace vorn
