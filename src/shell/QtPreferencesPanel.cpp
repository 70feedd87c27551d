#include "shell/QtPreferencesPanel.h"

#include <QApplication>
#include <QComboBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMetaObject>
#include <QPointer>
#include <QSpinBox>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "files/OriginalPathResolver.h"
#include "log/MessageLog.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "settings/PreferenceKeys.h"
#include "shell/QtAlerts.h"
#include "shell/QtViewUtilities.h"
#include "ui/PreferenceFiles.h"
#include "ui/ValueTransformers.h"

namespace vorn {

std::optional<QString> QtPreferencesPanel::nextChosenPath;

namespace {
constexpr int kLockTag = 98;
constexpr int kVersionTag = 99;

QString expanded(const QString& path) {
    return QString::fromStdString(expandTildeInPath(path.toStdString()));
}
bool isFolder(const std::optional<std::string>& path) {
    if (!path || path->empty()) return false;
    return QFileInfo(expanded(QString::fromStdString(*path))).isDir();
}
}  // namespace

QtPreferencesPanel::QtPreferencesPanel(PreferencesStore& store, Actions actions, QWidget* parent)
    : QDialog(parent), store_(store), actions_(std::move(actions)) {
    setObjectName("ibLoginPanel");
    setWindowTitle("Vorn Login and Preferences");
    auto* layout = new QVBoxLayout(this);
    ibTabView = new QTabWidget(this);
    ibTabView->addTab(buildAccountTab(), "Account");
    ibTabView->addTab(buildFoldersTab(), "Folders");
    ibTabView->addTab(buildHiResTab(), "Hi-Res Search");
    ibTabView->addTab(buildOtherTab(), "Options");
    layout->addWidget(ibTabView);

    auto* bottom = new QHBoxLayout;
    lockButton = new QToolButton(this);
    lockButton->setProperty("tag", kLockTag);
    lockButton->setCheckable(true);
    lockButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    lockButton->setText("Unlock to make changes");
    bottom->addWidget(lockButton);
    auto* version = new QLabel(this);
    version->setProperty("tag", kVersionTag);
    version->setObjectName("panelVersion");
    bottom->addWidget(version);
    bottom->addStretch(1);
    quitButton = new QPushButton("Quit", this);
    saveAndCloseButton = new QPushButton("Save and Close", this);
    saveAndCloseButton->setDefault(true);
    bottom->addWidget(quitButton);
    bottom->addWidget(saveAndCloseButton);
    layout->addLayout(bottom);

    connect(lockButton, &QToolButton::clicked, this, [this] { ibClickedOnLockIcon(lockButton); });
    connect(saveAndCloseButton, &QPushButton::clicked, this,
            &QtPreferencesPanel::ibClickedOnSaveAndClose);
    connect(quitButton, &QPushButton::clicked, this, [this] {
        MessageLog::LogMessage("ibClickedOnQuit\n");
        if (fDisplayAsSheet) done(1);
        actions_.quit();
    });
    connect(ibTabView, &QTabWidget::currentChanged, this, [this](int index) {
        // Selecting a tab checks the folders it shows.
        if (index + 1 == 2) {
            store_.setObject(sPrefIsValidLocalSourceUploadFolder,
                             isFolder(store_.stringForKey(sPrefLocalSourceUploadFolder)));
            store_.setObject(sPrefIsValidLocalMasterMirrorSiteFolder,
                             isFolder(store_.stringForKey(sPrefLocalMasterMirrorSiteFolder)));
        } else if (index + 1 == 3) {
            store_.setObject(sPrefIsValidKivHiResAlternatePath1,
                             isFolder(store_.stringForKey(sPrefKivHiResAlternatePath1)));
        }
    });

    // Store changes can come from any thread (the remote control, the cycle): show them on ours.
    QPointer<QtPreferencesPanel> self(this);
    store_.addObserver(this, [self](const std::string& key) {
        if (!self) return;
        QMetaObject::invokeMethod(
            self,
            [self, key] {
                if (self) self->refreshKey(key);
            },
            Qt::QueuedConnection);
    });
    refreshAll();
    forceLockedIcon(0);
    resize(640, 440);
}

QtPreferencesPanel::~QtPreferencesPanel() {
    store_.removeObserver(this);
}

void QtPreferencesPanel::beep() {
    if (actions_.beep)
        actions_.beep();
    else
        QApplication::beep();
}

// ---- tabs ----

QWidget* QtPreferencesPanel::buildAccountTab() {
    ibChangeablePrefView = new QWidget;
    ibChangeablePrefView->setObjectName("ibChangeablePrefView");
    auto* form = new QFormLayout(ibChangeablePrefView);
    loginField = new QLineEdit;
    bindText(loginField, sUserLoginName);
    ibPasswordField = new QLineEdit;
    ibPasswordField->setEchoMode(QLineEdit::Password);  // never shown in clear
    bindText(ibPasswordField, sUserLoginPassword);
    eventField = new QLineEdit;
    bindText(eventField, sUserEnteredEventName);
    ibFtpUploadNameField = new QLabel;
    ibFtpUploadNameField->setObjectName("ibFtpUploadNameField");
    ibFtpUploadNameField->setProperty("tag", kTagLeaveAlone);
    loginShown = new QLabel;
    loginShown->setProperty("tag", kTagLeaveAlone);
    form->addRow("Login name:", loginField);
    form->addRow("", loginShown);
    form->addRow("Password:", ibPasswordField);
    form->addRow("Event or location:", eventField);
    form->addRow("Your site:", ibFtpUploadNameField);
    auto shownText = refreshers_[sUserLoginName];
    refreshers_[sUserLoginName] = [this, shownText] {
        shownText();
        updateTransformers();
    };
    return ibChangeablePrefView;
}

namespace {
QHBoxLayout* pathRow(QLineEdit* field, QPushButton* change, QPushButton* reveal) {
    auto* row = new QHBoxLayout;
    field->setReadOnly(true);
    field->setMinimumWidth(320);
    reveal->setProperty("imageName", kRevealImageName);  // usable while locked
    reveal->setToolTip("Show in the file manager");
    row->addWidget(field, 1);
    row->addWidget(change);
    row->addWidget(reveal);
    return row;
}
}  // namespace

QWidget* QtPreferencesPanel::buildFoldersTab() {
    ibChangeablePref2View = new QWidget;
    ibChangeablePref2View->setObjectName("ibChangeablePref2View");
    auto* form = new QFormLayout(ibChangeablePref2View);
    ibMainWindowLocalSourcePath = new QLineEdit;
    ibMainWindowLocalSourcePath->setObjectName("ibMainWindowLocalSourcePath");
    ibMainWindowLocalMirrorSitePath = new QLineEdit;
    ibMainWindowLocalMirrorSitePath->setObjectName("ibMainWindowLocalMirrorSitePath");
    auto* changeSource = new QPushButton("Change…");
    auto* revealSource = new QPushButton("Show");
    auto* changeMirror = new QPushButton("Change…");
    auto* revealMirror = new QPushButton("Show");
    form->addRow("Source (to upload):",
                 pathRow(ibMainWindowLocalSourcePath, changeSource, revealSource));
    form->addRow("Mirror (uploaded):",
                 pathRow(ibMainWindowLocalMirrorSitePath, changeMirror, revealMirror));
    auto* encapsulate = new QCheckBox("Keep each event in its own folder on the service");
    bindCheck(encapsulate, sPrefCreateEncapsulatingFolder);
    auto* deleteEmpty = new QCheckBox("Delete empty folders in the source folder");
    bindCheck(deleteEmpty, sPrefDeleteEmptyFtpFolders);
    form->addRow("", encapsulate);
    form->addRow("", deleteEmpty);
    connect(changeSource, &QPushButton::clicked, this,
            [this, changeSource] { ibClickedOnChangeLocalSourceFolder(changeSource); });
    connect(changeMirror, &QPushButton::clicked, this,
            [this, changeMirror] { ibClickedOnChangeLocalMirrorSiteFolder(changeMirror); });
    connect(revealSource, &QPushButton::clicked, this, [this] {
        revealItemInFinder(
            QString::fromStdString(store_.stringForKey(sPrefLocalSourceUploadFolder).value_or("")));
    });
    connect(revealMirror, &QPushButton::clicked, this, [this] {
        revealItemInFinder(QString::fromStdString(
            store_.stringForKey(sPrefLocalMasterMirrorSiteFolder).value_or("")));
    });
    refreshers_[sPrefLocalSourceUploadFolder] = [this] {
        QString p =
            QString::fromStdString(store_.stringForKey(sPrefLocalSourceUploadFolder).value_or(""));
        ibMainWindowLocalSourcePath->setText(p);
        ibMainWindowLocalSourcePath->setToolTip(p);
        setPathColour(ibMainWindowLocalSourcePath, sPrefIsValidLocalSourceUploadFolder);
    };
    refreshers_[sPrefLocalMasterMirrorSiteFolder] = [this] {
        QString p = QString::fromStdString(
            store_.stringForKey(sPrefLocalMasterMirrorSiteFolder).value_or(""));
        ibMainWindowLocalMirrorSitePath->setText(p);
        ibMainWindowLocalMirrorSitePath->setToolTip(p);
    };
    refreshers_[sPrefIsValidLocalSourceUploadFolder] = [this] {
        setPathColour(ibMainWindowLocalSourcePath, sPrefIsValidLocalSourceUploadFolder);
    };
    refreshers_[sPrefIsValidLocalMasterMirrorSiteFolder] = [this] {
        setPathColour(ibMainWindowLocalMirrorSitePath, sPrefIsValidLocalMasterMirrorSiteFolder);
    };
    return ibChangeablePref2View;
}

QWidget* QtPreferencesPanel::buildHiResTab() {
    ibChangeablePref3View = new QWidget;
    ibChangeablePref3View->setObjectName("ibChangeablePref3View");
    auto* layout = new QVBoxLayout(ibChangeablePref3View);
    auto* check = new QCheckBox("Check the service for orders of hi-res photos");
    bindCheck(check, sPrefDoCheckOrders);
    layout->addWidget(check);

    auto* box = new QGroupBox("Order checking");
    box->setProperty("identifier", "nsbox1");
    auto* form = new QFormLayout(box);
    auto* minutes = new QSpinBox;
    minutes->setRange(1, 24 * 60);
    minutes->setSuffix(" min");
    bindNumber(minutes, sPrefMinutesForCheckOrders);
    form->addRow("Check every:", minutes);
    ibKivHiResAlternatePath1 = new QLineEdit;
    ibKivHiResAlternatePath1->setObjectName("ibKivHiResAlternatePath1");
    auto* change = new QPushButton("Change…");
    auto* reveal = new QPushButton("Show");
    form->addRow("Also search in:", pathRow(ibKivHiResAlternatePath1, change, reveal));
    auto* method = new QComboBox;
    // The tag's bits: 1 the photo's original folder, 2 the folder above.
    method->addItems({"Nowhere", "The photo's original folder", "The \"Also search in\" folder",
                      "Both folders"});
    form->addRow("Search:", method);
    connect(method, &QComboBox::currentIndexChanged, this, [this, method](int index) {
        if (method->signalsBlocked()) return;
        store_.setObject(sPrefSearchPathMethodTag, index);
    });
    refreshers_[sPrefSearchPathMethodTag] = [this, method] {
        QSignalBlocker block(method);
        method->setCurrentIndex(static_cast<int>(
            std::clamp<std::int64_t>(store_.integerForKey(sPrefSearchPathMethodTag), 0, 3)));
    };
    auto* roots = new QCheckBox("Allow a whole disk as search folder");
    bindCheck(roots, sPrefAllowRootVolumeSelections);
    form->addRow("", roots);
    layout->addWidget(box);
    layout->addStretch(1);
    connect(change, &QPushButton::clicked, this,
            [this, change] { ibClickedOnChangeKivSearchPath1(change); });
    connect(reveal, &QPushButton::clicked, this, [this] {
        revealItemInFinder(
            QString::fromStdString(store_.stringForKey(sPrefKivHiResAlternatePath1).value_or("")));
    });
    refreshers_[sPrefKivHiResAlternatePath1] = [this] {
        QString p =
            QString::fromStdString(store_.stringForKey(sPrefKivHiResAlternatePath1).value_or(""));
        ibKivHiResAlternatePath1->setText(p);
        ibKivHiResAlternatePath1->setToolTip(p);
    };
    refreshers_[sPrefIsValidKivHiResAlternatePath1] = [this] {
        setPathColour(ibKivHiResAlternatePath1, sPrefIsValidKivHiResAlternatePath1);
    };
    // The order settings follow the check box, also when it changes from elsewhere.
    auto previous = refreshers_[sPrefDoCheckOrders];
    refreshers_[sPrefDoCheckOrders] = [this, previous] {
        if (previous) previous();
        if (lockState() == 1)
            viewSetEnabled(findSubView(ibChangeablePref3View, "nsbox1"),
                           store_.boolForKey(sPrefDoCheckOrders));
    };
    return ibChangeablePref3View;
}

QWidget* QtPreferencesPanel::buildOtherTab() {
    otherSettingsView = new QWidget;
    otherSettingsView->setObjectName("otherSettingsView");
    auto* form = new QFormLayout(otherSettingsView);
    auto* url = new QLineEdit;
    bindText(url, sPrefKivURL);
    form->addRow("Service address:", url);
    auto* seconds = new QSpinBox;
    seconds->setRange(5, 24 * 3600);
    seconds->setSuffix(" s");
    bindNumber(seconds, sPrefSecondsBetweenScans);
    form->addRow("Rescan every:", seconds);
    auto* timeout = new QSpinBox;
    timeout->setRange(10, 24 * 3600);
    timeout->setSuffix(" s");
    bindNumber(timeout, sPrefUploadTimeOut);
    form->addRow("Upload time-out:", timeout);
    auto* days = new QSpinBox;
    days->setRange(1, 3650);
    days->setSuffix(" days");
    bindNumber(days, sPrefDaysOldBeforeDeleting);
    auto* deleteOld = new QCheckBox("Delete uploaded photos older than");
    bindCheck(deleteOld, sPrefDoUseDeleteOldPhotos);
    auto* oldRow = new QHBoxLayout;
    oldRow->addWidget(deleteOld);
    oldRow->addWidget(days);
    oldRow->addStretch(1);
    form->addRow("", oldRow);
    auto* logs = new QSpinBox;
    logs->setRange(1, 3650);
    logs->setSuffix(" days");
    bindNumber(logs, sPrefDaysToSaveLogs);
    form->addRow("Keep logs for:", logs);
    const std::pair<const char*, const char*> checks[] = {
        {sPrefAutoSynchronize, "Upload new photos as they arrive"},
        {sPrefAutoStartUploadAtStartup, "Start uploading at launch"},
        {sPrefShowWindowAtStartup, "Show this window at launch"},
        {sPrefShowPreviewWhenUploading, "Show a preview of each photo"},
        {sPrefUploadMovie, "Upload a photo's movie with it"}};
    for (const auto& [key, text] : checks) {
        auto* box = new QCheckBox(text);
        bindCheck(box, key);
        form->addRow("", box);
    }
    auto* files = new QHBoxLayout;
    auto* save = new QPushButton("Save to File…");
    auto* load = new QPushButton("Load from File…");
    files->addWidget(save);
    files->addWidget(load);
    files->addStretch(1);
    form->addRow("Preferences:", files);
    connect(save, &QPushButton::clicked, this, [this, save] { ibSavePrefToFile(save); });
    connect(load, &QPushButton::clicked, this, [this, load] { ibLoadPrefFromFile(load); });
    return otherSettingsView;
}

// ---- bindings ----

void QtPreferencesPanel::bindText(QLineEdit* edit, const char* key) {
    std::string k = key;
    boundEdits_.push_back(edit);
    connect(edit, &QLineEdit::editingFinished, this, [this, edit, k] {
        std::string text = edit->text().toStdString();
        if (store_.stringForKey(k).value_or("") != text) store_.setObject(k, text);
    });
    auto previous = refreshers_[k];
    refreshers_[k] = [this, edit, k, previous] {
        QString text = QString::fromStdString(store_.stringForKey(k).value_or(""));
        if (edit->text() != text && !edit->hasFocus()) edit->setText(text);
        if (previous) previous();
        if (k == sPrefKivURL) updateTransformers();
    };
}

void QtPreferencesPanel::bindCheck(QCheckBox* box, const char* key) {
    std::string k = key;
    connect(box, &QCheckBox::toggled, this, [this, box, k](bool on) {
        if (!box->signalsBlocked() && store_.boolForKey(k) != on) store_.setObject(k, on);
    });
    auto previous = refreshers_[k];
    refreshers_[k] = [this, box, k, previous] {
        QSignalBlocker block(box);
        box->setChecked(store_.boolForKey(k));
        if (previous) previous();
    };
}

void QtPreferencesPanel::bindNumber(QWidget* widget, const char* key) {
    auto* spin = qobject_cast<QSpinBox*>(widget);
    std::string k = key;
    connect(spin, &QSpinBox::valueChanged, this, [this, spin, k](int value) {
        if (!spin->signalsBlocked() && store_.integerForKey(k) != value) store_.setObject(k, value);
    });
    auto previous = refreshers_[k];
    refreshers_[k] = [this, spin, k, previous] {
        QSignalBlocker block(spin);
        spin->setValue(static_cast<int>(store_.integerForKey(k)));
        if (previous) previous();
    };
}

void QtPreferencesPanel::refreshKey(const std::string& key) {
    auto it = refreshers_.find(key);
    if (it != refreshers_.end() && it->second) it->second();
}

void QtPreferencesPanel::refreshAll() {
    for (auto& [key, refresh] : refreshers_)
        if (refresh) refresh();
    updateTransformers();
}

void QtPreferencesPanel::updateTransformers() {
    std::optional<std::string> login = store_.stringForKey(sUserLoginName);
    std::string domain = actions_.webDomain;
    if (domain.empty())  // the service's host, as the main window shows it
        domain = QUrl(QString::fromStdString(store_.stringForKey(sPrefKivURL).value_or("")))
                     .host()
                     .toStdString();
    ibFtpUploadNameField->setText(QString::fromStdString(loginNameToFtpName(login, domain)));
    loginShown->setText(QString::fromStdString(showSpaces(login)));
}

void QtPreferencesPanel::setPathColour(QLineEdit* field, const char* validityKey) {
    QPalette p = field->palette();
    p.setColor(QPalette::Text,
               store_.boolForKey(validityKey) ? QColor(Qt::black) : QColor(Qt::red));
    field->setPalette(p);
}

void QtPreferencesPanel::selectTab(int identifier) {
    ibTabView->setCurrentIndex(identifier - 1);
}

// ---- lock ----

int QtPreferencesPanel::lockState() const {
    return lockButton->isChecked() ? 1 : 0;
}

void QtPreferencesPanel::ibClickedOnLockIcon(QToolButton* sender) {
    if (!sender || widgetTag(sender) != kLockTag) return;
    bool unlocked = sender->isChecked();
    // The sound says the lock moved; applying the same state again is silent.
    if (appliedLock_ && *appliedLock_ != unlocked)
        QtAlerts::doPlaySound(unlocked ? "lockOpening" : "lockClosing", "wav");
    appliedLock_ = unlocked;
    for (QWidget* view :
         {ibChangeablePrefView, ibChangeablePref2View, ibChangeablePref3View, otherSettingsView})
        viewSetEnabled(view, unlocked);
    if (unlocked && !store_.boolForKey(sPrefDoCheckOrders))
        viewSetEnabled(findSubView(ibChangeablePref3View, "nsbox1"), false);
    sender->setText(unlocked ? "Lock" : "Unlock to make changes");
    sender->setIcon(
        style()->standardIcon(unlocked ? QStyle::SP_DialogOpenButton : QStyle::SP_DialogNoButton));
}

void QtPreferencesPanel::forceLockedIcon(int state) {
    if (lockState() == state) {
        ibClickedOnLockIcon(lockButton);  // applies the state to the views
        return;
    }
    lockButton->setChecked(state == 1);
    ibClickedOnLockIcon(lockButton);
}

// ---- folders ----

void QtPreferencesPanel::ibClickedOnChangeLocalSourceFolder(QWidget* sender) {
    chooseFolder(sender, sPrefLocalSourceUploadFolder,
                 "Please Select Your LOCAL SOURCE (To Be Uploaded) Folder", false);
}
void QtPreferencesPanel::ibClickedOnChangeLocalMirrorSiteFolder(QWidget* sender) {
    chooseFolder(sender, sPrefLocalMasterMirrorSiteFolder,
                 "Please Select Your LOCAL MIRROR Site (Upload Completed) Folder", true);
}
void QtPreferencesPanel::ibClickedOnChangeKivSearchPath1(QWidget* sender) {
    chooseFolder(sender, sPrefKivHiResAlternatePath1,
                 "Please Select Your HiRes Alternate Search Path...", false);
}

void QtPreferencesPanel::chooseFolder(QWidget* sender, const char* key, const QString& message,
                                      bool canCreate) {
    if (!sender) return;
    if (actions_.uploadStarted()) {
        QtAlerts::myNSRunAlertPanel(kAlertTableName, "NSAlertWindow_9003");
        return;
    }
    QString k = key;
    if (nextChosenPath) {
        QString chosen = *nextChosenPath;
        nextChosenPath.reset();
        openPanelDidEnd(chosen.isEmpty() ? 0 : 1, k, chosen);
        return;
    }
    auto* dialog = new QFileDialog(sender->window(), message);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setOption(QFileDialog::ReadOnly, !canCreate);
    dialog->setLabelText(QFileDialog::Accept, "Select");
    dialog->setDirectory(expanded(QString::fromStdString(store_.stringForKey(key).value_or(""))));
    // The prompt names the folder that would be chosen.
    connect(dialog, &QFileDialog::currentChanged, dialog, [dialog](const QString& path) {
        dialog->setLabelText(QFileDialog::Accept,
                             path.isEmpty()
                                 ? QString("Select")
                                 : QString("Choose \"%1\"").arg(QFileInfo(path).fileName()));
    });
    connect(dialog, &QFileDialog::finished, this, [this, dialog, k](int result) {
        QStringList files = dialog->selectedFiles();
        openPanelDidEnd(result == QDialog::Accepted ? 1 : 0, k,
                        files.isEmpty() ? QString() : files.last());
    });
    dialog->open();
}

void QtPreferencesPanel::openPanelDidEnd(int returnCode, const QString& key,
                                         const QString& folder) {
    if (returnCode != 1 || key.isEmpty() || folder.isEmpty()) return;
    std::string k = key.toStdString();
    if (k == sPrefKivHiResAlternatePath1 && isRootVolume(folder.toStdString())) {
        if (store_.boolForKey(sPrefAllowRootVolumeSelections)) {
            QtAlerts::myNSRunAlertPanelOnWindow(this, kAlertTableName, "NSAlertWindow_9009");
        } else {
            beep();
            platformLog("RootVOLUME NOT Allowed.....");
            QtAlerts::myNSRunAlertPanelOnWindow(this, kAlertTableName, "NSAlertWindow_9008");
            return;
        }
    }
    storeFolder(k, folder);
}

void QtPreferencesPanel::storeFolder(const std::string& key, const QString& folder) {
    store_.setObject(key, folder.toStdString());
    if (key == sPrefLocalSourceUploadFolder)
        store_.setObject(sPrefIsValidLocalSourceUploadFolder, true);
    else if (key == sPrefLocalMasterMirrorSiteFolder)
        store_.setObject(sPrefIsValidLocalMasterMirrorSiteFolder, true);
    else if (key == sPrefKivHiResAlternatePath1)
        store_.setObject(sPrefIsValidKivHiResAlternatePath1, true);
    store_.synchronize();
}

// ---- preference files ----

void QtPreferencesPanel::ibSavePrefToFile(QWidget* sender) {
    if (!sender) return;
    if (nextChosenPath) {
        QString path = *nextChosenPath;
        nextChosenPath.reset();
        if (!path.isEmpty()) savePrefToFile(path);
        return;
    }
    auto* dialog = new QFileDialog(sender->window(), "Saving the Current Preferences to File...",
                                   QDir::homePath() + "/Desktop/");
    dialog->setObjectName("SavePanel");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setNameFilter("Preference files (*.plist)");
    connect(dialog, &QFileDialog::fileSelected, this,
            [this](const QString& path) { savePrefToFile(path); });
    dialog->open();
}

bool QtPreferencesPanel::savePrefToFile(const QString& path) {
    std::string name = preferenceFileName(path.toStdString());
    std::string error;
    if (!savePreferencesToFile(store_, name, &error)) {
        platformLog("Unable to save the preferences to %s: %s", name.c_str(), error.c_str());
        beep();
        return false;
    }
    return true;
}

void QtPreferencesPanel::ibLoadPrefFromFile(QWidget* sender) {
    if (!sender) return;
    if (nextChosenPath) {
        QString path = *nextChosenPath;
        nextChosenPath.reset();
        if (!path.isEmpty()) loadPrefFromFile(path);
        return;
    }
    auto* dialog = new QFileDialog(sender->window(), "Please Choose A Preference File...",
                                   QDir::homePath() + "/Desktop/");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setLabelText(QFileDialog::Accept, "Select");
    connect(dialog, &QFileDialog::fileSelected, this,
            [this](const QString& path) { loadPrefFromFile(path); });
    dialog->open();
}

bool QtPreferencesPanel::loadPrefFromFile(const QString& path) {
    std::vector<std::string> log;
    std::string error;
    if (!loadPreferencesFromFile(store_, path.toStdString(), &log, &error)) {
        platformLog("Unable to load preferences from %s: %s", path.toUtf8().constData(),
                    error.c_str());
        beep();
        return false;
    }
    for (const std::string& line : log) platformLogText(line);
    store_.synchronize();
    return true;
}

// ---- closing, reveal ----

void QtPreferencesPanel::ibClickedOnSaveAndClose() {
    // Values typed but not yet confirmed count.
    for (QLineEdit* edit : boundEdits_) emit edit->editingFinished();
    if (!actions_.saveLoginInfo()) {
        beep();
        return;  // stays open and unlocked
    }
    loginInfoSaved();
}

void QtPreferencesPanel::loginInfoSaved() {
    store_.synchronize();
    if (!isVisible()) return;  // the controller's own save may have closed it already
    forceLockedIcon(0);
    if (fDisplayAsSheet)
        done(1);
    else
        close();
}

void QtPreferencesPanel::revealItemInFinder(const QString& path) {
    QString folder = expanded(path);
    if (path.isEmpty() || !QFileInfo(folder).isDir()) {
        beep();
        platformLog("User Needs to Select a Valid Existing Folder...");
        return;
    }
    QUrl url = QUrl::fromLocalFile(folder);
    QDBusMessage call = QDBusMessage::createMethodCall(
        "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
        "org.freedesktop.FileManager1", "ShowFolders");
    call << QStringList{url.toString()} << QString();
    QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
    if (reply.type() != QDBusMessage::ReplyMessage) QDesktopServices::openUrl(url);
}

}  // namespace vorn
