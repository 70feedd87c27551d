#pragma once
// The login-and-preferences panel: account, folders, hi-res search and other settings in tabs,
// a lock over the editable groups, folder choosers, and saving or loading the whole set.
// Every field follows the preferences store live, so a change made from elsewhere shows at once.

#include <QAbstractSpinBox>
#include <QCheckBox>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <chrono>
#include <functional>
#include <map>
#include <optional>

#include "settings/PreferencesStore.h"

namespace vorn {

class QtPreferencesPanel : public QDialog {
    Q_OBJECT
  public:
    struct Actions {
        std::function<bool()> uploadStarted = [] { return false; };
        std::function<bool()> saveLoginInfo = [] { return true; };  // false: settings invalid
        std::function<void()> quit = [] {};
        std::function<void()> beep;
        std::string webDomain;  // shown after the login name
    };

    QtPreferencesPanel(PreferencesStore& store, Actions actions, QWidget* parent = nullptr);
    ~QtPreferencesPanel() override;

    bool displayAsSheet() const { return fDisplayAsSheet; }
    void setDisplayAsSheet(bool sheet) { fDisplayAsSheet = sheet; }

    // Tab identifiers: 1 account, 2 folders, 3 hi-res search, 4 other settings, 5 service.
    void selectTab(int identifier);

    // Lock: the control with tag 98; state 0 locked, 1 unlocked.
    void ibClickedOnLockIcon(QToolButton* sender);
    void forceLockedIcon(int state);
    int lockState() const;

    void ibClickedOnChangeLocalSourceFolder(QWidget* sender);
    void ibClickedOnChangeLocalMirrorSiteFolder(QWidget* sender);
    void ibClickedOnChangeKivSearchPath1(QWidget* sender);
    void openPanelDidEnd(int returnCode, const QString& key, const QString& folder);

    void ibSavePrefToFile(QWidget* sender);
    void ibLoadPrefFromFile(QWidget* sender);
    bool savePrefToFile(const QString& path);
    bool loadPrefFromFile(const QString& path);

    void ibClickedOnSaveAndClose();
    // The settings were found valid and taken: locks the panel when it is shown and closes it
    // (a sheet ends with code 1). Nothing when it is hidden.
    void loginInfoSaved();
    void revealItemInFinder(const QString& path);

    QTabWidget* ibTabView;
    QLineEdit *ibPasswordField, *loginField, *eventField;
    QLabel *ibFtpUploadNameField, *loginShown;
    QWidget *ibChangeablePrefView, *ibChangeablePref2View, *ibChangeablePref3View,
        *otherSettingsView, *serviceView;
    QToolButton* lockButton;
    QLineEdit *ibMainWindowLocalSourcePath, *ibMainWindowLocalMirrorSitePath,
        *ibKivHiResAlternatePath1;
    QPushButton *saveAndCloseButton, *quitButton;

    // ---- test hooks: the answer of the next folder or file chooser, instead of showing it ----
    static std::optional<QString> nextChosenPath;

    // Checks the folders' existence off the main thread and sets their validity flags, which
    // the fields' colours follow; also every rescan interval (at most 10 s).
    void checkFolders();

  private:
    void chooseFolder(QWidget* sender, const char* key, const QString& message, bool canCreate);
    void storeFolder(const std::string& key, const QString& folder);
    void refreshKey(const std::string& key);
    void refreshAll();
    void updateTransformers();
    void showPath(QLineEdit* field, const char* key);
    void setPathColour(QLineEdit* field, const char* validityKey);
    void beep();
    QWidget* buildAccountTab();
    QWidget* buildFoldersTab();
    QWidget* buildHiResTab();
    QWidget* buildOtherTab();
    QWidget* buildServiceTab();
    // The key's rule in words (its controls' tool tip).
    static QString ruleText(const char* key);
    // The red note beside a control whose value the rule refused; hidden until then.
    QLabel* noteFor(const char* key, const QString& name);
    // The edit with its note; name is what a screen reader announces.
    QHBoxLayout* bindText(QLineEdit* edit, const char* key, const QString& name);
    void bindCheck(QCheckBox* box, const char* key);
    // A spin box whose range is the key's rule.
    QAbstractSpinBox* ruleSpin(const char* key, const QString& name, const QString& suffix,
                               int decimals);
    static QHBoxLayout* spinRow(QCheckBox* box, QAbstractSpinBox* spin);
    // Stores text under key when the key's rule takes it, else shows the rule beside the
    // control; false when refused.
    bool storeChecked(const std::string& key, const QString& text);
    // Every edit's text through its rule; false when one was refused.
    bool commitEdits();
    std::chrono::milliseconds folderCheckInterval() const;
    void folderCheckDone(const std::vector<std::pair<std::string, bool>>& found);

    PreferencesStore& store_;
    Actions actions_;
    bool fDisplayAsSheet = false;
    std::optional<bool> appliedLock_;  // the lock state the views were last set to (unlocked)
    std::map<std::string, std::function<void()>> refreshers_;
    std::vector<std::pair<QLineEdit*, std::string>> boundEdits_;
    std::map<std::string, QLabel*> notes_;
    QTimer* folderTimer_ = nullptr;
    bool folderCheckRunning_ = false, folderCheckAgain_ = false;
};

}  // namespace vorn
