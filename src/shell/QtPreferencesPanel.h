#pragma once
// The login-and-preferences panel: account, folders, hi-res search and other settings in tabs,
// a lock over the editable groups, folder choosers, and saving or loading the whole set.
// Every field follows the preferences store live, so a change made from elsewhere shows at once.

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>
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

    // Tab identifiers: 1 account, 2 folders, 3 hi-res search, 4 other settings.
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
        *otherSettingsView;
    QToolButton* lockButton;
    QLineEdit *ibMainWindowLocalSourcePath, *ibMainWindowLocalMirrorSitePath,
        *ibKivHiResAlternatePath1;
    QPushButton *saveAndCloseButton, *quitButton;

    // ---- test hooks: the answer of the next folder or file chooser, instead of showing it ----
    static std::optional<QString> nextChosenPath;

  private:
    void chooseFolder(QWidget* sender, const char* key, const QString& message, bool canCreate);
    void storeFolder(const std::string& key, const QString& folder);
    void refreshKey(const std::string& key);
    void refreshAll();
    void updateTransformers();
    void setPathColour(QLineEdit* field, const char* validityKey);
    void beep();
    QWidget* buildAccountTab();
    QWidget* buildFoldersTab();
    QWidget* buildHiResTab();
    QWidget* buildOtherTab();
    void bindText(QLineEdit* edit, const char* key);
    void bindCheck(QCheckBox* box, const char* key);
    void bindNumber(QWidget* spin, const char* key);

    PreferencesStore& store_;
    Actions actions_;
    bool fDisplayAsSheet = false;
    std::optional<bool> appliedLock_;  // the lock state the views were last set to (unlocked)
    std::map<std::string, std::function<void()>> refreshers_;
    std::vector<QLineEdit*> boundEdits_;
};

}  // namespace vorn
