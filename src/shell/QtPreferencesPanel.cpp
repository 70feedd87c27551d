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
#include <QThreadPool>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "files/OriginalPathResolver.h"
#include "log/MessageLog.h"
#include "platform/PathUtilities.h"
#include "platform/PlatformLog.h"
#include "settings/PreferenceKeys.h"
#include "settings/PreferenceRules.h"
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
// The name a screen reader announces, which is also how tests find a control.
template <typename W>
W* named(W* widget, const QString& name) {
    widget->setAccessibleName(QString(name).remove(QChar('&')));
    return widget;
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
    ibTabView->addTab(buildServiceTab(), "Service");
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
    quitButton = named(new QPushButton("Quit", this), "Quit");
    saveAndCloseButton = named(new QPushButton("Save and Close", this), "Save and Close");
    saveAndCloseButton->setDefault(true);
    named(lockButton, "Lock");
    named(version, "Version");
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
    folderTimer_ = new QTimer(this);
    folderTimer_->setInterval(folderCheckInterval());
    connect(folderTimer_, &QTimer::timeout, this, &QtPreferencesPanel::checkFolders);
    folderTimer_->start();
    checkFolders();
    resize(680, 480);
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
    ibPasswordField = new QLineEdit;
    ibPasswordField->setEchoMode(QLineEdit::Password);  // never shown in clear
    eventField = new QLineEdit;
    ibFtpUploadNameField = new QLabel;
    ibFtpUploadNameField->setObjectName("ibFtpUploadNameField");
    ibFtpUploadNameField->setProperty("tag", kTagLeaveAlone);
    loginShown = new QLabel;
    loginShown->setProperty("tag", kTagLeaveAlone);
    form->addRow("Login name:", bindText(loginField, sUserLoginName, "Login name"));
    form->addRow("", loginShown);
    form->addRow("Password:", bindText(ibPasswordField, sUserLoginPassword, "Password"));
    form->addRow("Event or location:",
                 bindText(eventField, sUserEnteredEventName, "Event or location"));
    form->addRow("Your site:", ibFtpUploadNameField);
    named(loginShown, "Login name as typed");
    named(ibFtpUploadNameField, "Your site");
    auto shownText = refreshers_[sUserLoginName];
    refreshers_[sUserLoginName] = [this, shownText] {
        shownText();
        updateTransformers();
    };
    return ibChangeablePrefView;
}

namespace {
QHBoxLayout* pathRow(QLineEdit* field, QPushButton* change, QPushButton* reveal,
                     const QString& name) {
    auto* row = new QHBoxLayout;
    field->setReadOnly(true);
    field->setMinimumWidth(320);
    reveal->setProperty("imageName", kRevealImageName);  // usable while locked
    reveal->setToolTip("Show in the file manager");
    named(field, name + " folder");
    named(change, "Change " + name.toLower() + " folder");
    named(reveal, "Show " + name.toLower() + " folder");
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
    auto* changeSource = new QPushButton("Change…");
    auto* revealSource = new QPushButton("Show");
    ibMainWindowLocalMirrorSitePath = new QLineEdit;
    ibMainWindowLocalMirrorSitePath->setObjectName("ibMainWindowLocalMirrorSitePath");
    auto* changeMirror = new QPushButton("Change…");
    auto* revealMirror = new QPushButton("Show");
    auto* source = pathRow(ibMainWindowLocalSourcePath, changeSource, revealSource, "Source");
    source->addWidget(noteFor(sPrefLocalSourceUploadFolder, "Source folder"));
    form->addRow("Source (to upload):", source);
    auto* mirror = pathRow(ibMainWindowLocalMirrorSitePath, changeMirror, revealMirror, "Mirror");
    mirror->addWidget(noteFor(sPrefLocalMasterMirrorSiteFolder, "Mirror folder"));
    form->addRow("Mirror (uploaded):", mirror);
    auto* deleteEmpty = new QCheckBox("Delete empty folders in the source folder at quit");
    bindCheck(deleteEmpty, sPrefDeleteEmptyFtpFolders);
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
        showPath(ibMainWindowLocalSourcePath, sPrefLocalSourceUploadFolder);
        setPathColour(ibMainWindowLocalSourcePath, sPrefIsValidLocalSourceUploadFolder);
    };
    refreshers_[sPrefLocalMasterMirrorSiteFolder] = [this] {
        showPath(ibMainWindowLocalMirrorSitePath, sPrefLocalMasterMirrorSiteFolder);
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
    auto* minutes = ruleSpin(sPrefMinutesForCheckOrders, "Check orders every", " min", 1);
    // The order loop takes 0 (and less) as every 10 s.
    minutes->setSpecialValueText("every 10 s");
    form->addRow("Check every:", minutes);
    ibKivHiResAlternatePath1 = new QLineEdit;
    ibKivHiResAlternatePath1->setObjectName("ibKivHiResAlternatePath1");
    auto* change = new QPushButton("Change…");
    auto* reveal = new QPushButton("Show");
    auto* alternate = pathRow(ibKivHiResAlternatePath1, change, reveal, "Also search in");
    alternate->addWidget(noteFor(sPrefKivHiResAlternatePath1, "Also search in folder"));
    form->addRow("Also search in:", alternate);
    auto* method = new QComboBox;
    named(method, "Search");
    // The tag's bits: 1 the photo's original folder, 2 the folder above.
    method->addItems({"Nowhere", "The photo's original folder", "The \"Also search in\" folder",
                      "Both folders"});
    method->setToolTip(ruleText(sPrefSearchPathMethodTag));
    form->addRow("Search:", method);
    connect(method, &QComboBox::currentIndexChanged, this, [this, method](int index) {
        if (method->signalsBlocked()) return;
        if (!storeChecked(sPrefSearchPathMethodTag, QString::number(index))) beep();
    });
    refreshers_[sPrefSearchPathMethodTag] = [this, method] {
        QSignalBlocker block(method);
        method->setCurrentIndex(static_cast<int>(
            std::clamp<std::int64_t>(store_.integerForKey(sPrefSearchPathMethodTag), 0, 3)));
    };
    auto* roots = new QCheckBox("Allow a whole disk as search folder");
    bindCheck(roots, sPrefAllowRootVolumeSelections);
    form->addRow("", roots);
    form->addRow("Order query operation:",
                 bindText(new QLineEdit, sPrefCheckHiResOrderFuseAction, "Order query operation"));
    form->addRow(
        "Hi-res upload operation:",
        bindText(new QLineEdit, sPrefUploadHiResOrderFuseAction, "Hi-res upload operation"));
    layout->addWidget(box);
    layout->addStretch(1);
    connect(change, &QPushButton::clicked, this,
            [this, change] { ibClickedOnChangeKivSearchPath1(change); });
    connect(reveal, &QPushButton::clicked, this, [this] {
        revealItemInFinder(
            QString::fromStdString(store_.stringForKey(sPrefKivHiResAlternatePath1).value_or("")));
    });
    refreshers_[sPrefKivHiResAlternatePath1] = [this] {
        showPath(ibKivHiResAlternatePath1, sPrefKivHiResAlternatePath1);
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
    // The rescan timer, beside watching the folder: it finds what watching may miss.
    auto* rescan = new QCheckBox("Rescan the source folder every");
    bindCheck(rescan, sPrefAutoSynchronize);
    form->addRow(spinRow(rescan, ruleSpin(sPrefSecondsBetweenScans, "Rescan interval", " s", 1)));
    auto* deleteOld = new QCheckBox("Delete uploaded photos older than");
    bindCheck(deleteOld, sPrefDoUseDeleteOldPhotos);
    form->addRow(
        spinRow(deleteOld, ruleSpin(sPrefDaysOldBeforeDeleting, "Delete after", " days", 0)));
    auto* logs = new QHBoxLayout;
    logs->addWidget(ruleSpin(sPrefDaysToSaveLogs, "Keep logs for", " days", 0));
    logs->addStretch(1);
    form->addRow("Keep logs for:", logs);
    const std::pair<const char*, const char*> checks[] = {
        {sPrefAutoStartUploadAtStartup, "Start uploading at launch"},
        {sPrefShowWindowAtStartup, "Show this window at launch"},
        {sPrefShowPreviewWhenUploading, "Show a preview of each photo"},
        {sPrefUploadMovie, "Upload a photo's movie with it"},
        {sPrefShowDesktopNotifications, "Desktop notifications when the uploader needs a person"}};
    for (const auto& [key, text] : checks) {
        auto* box = new QCheckBox(text);
        bindCheck(box, key);
        form->addRow("", box);
    }
    auto* files = new QHBoxLayout;
    auto* save = new QPushButton("Save to File…");
    auto* load = new QPushButton("Load from File…");
    named(save, "Save preferences to a file");
    named(load, "Load preferences from a file");
    files->addWidget(save);
    files->addWidget(load);
    files->addStretch(1);
    form->addRow("Preferences:", files);
    connect(save, &QPushButton::clicked, this, [this, save] { ibSavePrefToFile(save); });
    connect(load, &QPushButton::clicked, this, [this, load] { ibLoadPrefFromFile(load); });
    return otherSettingsView;
}

// What the service is asked and how the photos go to it.
QWidget* QtPreferencesPanel::buildServiceTab() {
    serviceView = new QWidget;
    serviceView->setObjectName("serviceView");
    auto* form = new QFormLayout(serviceView);
    form->addRow("Service address:", bindText(new QLineEdit, sPrefKivURL, "Service address"));
    form->addRow("Upload operation:",
                 bindText(new QLineEdit, sPrefKivFuseAction, "Upload operation"));
    form->addRow("Caption:", bindText(new QLineEdit, sPrefMetaData, "Caption"));
    auto* baseIds = new QCheckBox("Form base ids from file names");
    bindCheck(baseIds, sPrefFormBaseIdFromFileName);
    form->addRow("", baseIds);
    auto* cap = ruleSpin(sPrefMaxUploadBytesPerSecond, "Upload bandwidth cap", " bytes/s", 0);
    cap->setSpecialValueText("no cap");
    const std::pair<const char*, QAbstractSpinBox*> spins[] = {
        {"Upload time-out:", ruleSpin(sPrefUploadTimeOut, "Upload time-out", " s", 1)},
        {"Photos at once:", ruleSpin(sPrefConcurrentUploads, "Photos uploaded at once", "", 0)},
        {"Bandwidth cap:", cap}};
    for (const auto& [label, spin] : spins) {
        auto* row = new QHBoxLayout;
        row->addWidget(spin);
        row->addStretch(1);
        form->addRow(label, row);
    }
    return serviceView;
}

// ---- bindings: every value goes through the key's rule, as `vornctl config set` does ----

QString QtPreferencesPanel::ruleText(const char* key) {
    const PreferenceRule* rule = preferenceRule(key);
    return rule ? QString::fromStdString(rule->rule) : QString();
}

QLabel* QtPreferencesPanel::noteFor(const char* key, const QString& name) {
    auto* note = new QLabel;
    note->setProperty("tag", kTagLeaveAlone);
    QPalette p = note->palette();
    p.setColor(QPalette::WindowText, Qt::red);
    note->setPalette(p);
    note->setWordWrap(true);
    note->setAccessibleName(name + " refused");
    note->hide();
    notes_[key] = note;
    return note;
}

QHBoxLayout* QtPreferencesPanel::bindText(QLineEdit* edit, const char* key, const QString& name) {
    std::string k = key;
    named(edit, name);
    edit->setToolTip(ruleText(key));
    boundEdits_.emplace_back(edit, k);
    connect(edit, &QLineEdit::editingFinished, this, [this, edit, k] {
        if (!storeChecked(k, edit->text())) beep();
    });
    auto previous = refreshers_[k];
    refreshers_[k] = [this, edit, k, previous] {
        QString text = QString::fromStdString(store_.stringForKey(k).value_or(""));
        if (edit->text() != text && !edit->hasFocus()) edit->setText(text);
        if (auto it = notes_.find(k); it != notes_.end() && edit->text() == text)
            it->second->hide();
        if (previous) previous();
        if (k == sPrefKivURL) updateTransformers();
    };
    auto* row = new QHBoxLayout;
    row->addWidget(edit, 1);
    row->addWidget(noteFor(key, name));
    return row;
}

void QtPreferencesPanel::bindCheck(QCheckBox* box, const char* key) {
    std::string k = key;
    named(box, box->text());
    box->setToolTip(ruleText(key));
    connect(box, &QCheckBox::toggled, this, [this, box, k](bool on) {
        if (box->signalsBlocked() || store_.boolForKey(k) == on) return;
        if (!storeChecked(k, on ? "yes" : "no")) beep();
    });
    auto previous = refreshers_[k];
    refreshers_[k] = [this, box, k, previous] {
        QSignalBlocker block(box);
        box->setChecked(store_.boolForKey(k));
        if (previous) previous();
    };
}

QAbstractSpinBox* QtPreferencesPanel::ruleSpin(const char* key, const QString& name,
                                               const QString& suffix, int decimals) {
    const PreferenceRule* rule = preferenceRule(key);
    std::string k = key;
    // No upper bound in the rule: still one a spin box can hold.
    const double max = rule->max != 0 ? rule->max : 1e9;
    QAbstractSpinBox* spin;
    if (rule->type == PreferenceRule::Type::Integer) {
        auto* box = new QSpinBox;
        box->setRange(static_cast<int>(rule->min) + (rule->minExclusive ? 1 : 0),
                      static_cast<int>(max));
        box->setSuffix(suffix);
        connect(box, &QSpinBox::valueChanged, this, [this, box, k](int value) {
            if (!box->signalsBlocked() && !storeChecked(k, QString::number(value))) beep();
        });
        refreshers_[k] = [this, box, k] {
            QSignalBlocker block(box);
            box->setValue(static_cast<int>(store_.integerForKey(k)));
        };
        spin = box;
    } else {
        auto* box = new QDoubleSpinBox;
        box->setDecimals(decimals);
        box->setRange(rule->min + (rule->minExclusive ? std::pow(10.0, -decimals) : 0), max);
        box->setSuffix(suffix);
        connect(box, &QDoubleSpinBox::valueChanged, this, [this, box, k](double value) {
            if (!box->signalsBlocked() && !storeChecked(k, QString::number(value, 'g', 15))) beep();
        });
        refreshers_[k] = [this, box, k] {
            QSignalBlocker block(box);
            box->setValue(store_.doubleForKey(k));
        };
        spin = box;
    }
    spin->setKeyboardTracking(false);  // the value counts once typed, not at each digit
    spin->setProperty("preferenceKey", QString::fromStdString(k));
    spin->setToolTip(ruleText(key));
    named(spin, name);
    return spin;
}

QHBoxLayout* QtPreferencesPanel::spinRow(QCheckBox* box, QAbstractSpinBox* spin) {
    auto* row = new QHBoxLayout;
    row->addWidget(box);
    row->addWidget(spin);
    row->addStretch(1);
    return row;
}

bool QtPreferencesPanel::storeChecked(const std::string& key, const QString& text) {
    PreferenceChange change = checkPreferenceChange(store_, key, text.toStdString());
    auto note = notes_.find(key);
    if (!change.value) {
        platformLog("Not taken: %s", change.error.c_str());
        if (note != notes_.end()) {
            note->second->setText("Not taken: must be " + ruleText(key.c_str()));
            note->second->setToolTip(QString::fromStdString(change.error));
            note->second->show();
        }
        return false;
    }
    if (note != notes_.end()) note->second->hide();
    if (!(store_.objectForKey(key) == *change.value)) store_.setObject(key, *change.value);
    return true;
}

bool QtPreferencesPanel::commitEdits() {
    bool allTaken = true;
    for (const auto& [edit, key] : boundEdits_) {
        // Only what was typed: a value left as it was is the store's business, not the panel's.
        if (edit->text().toStdString() == store_.stringForKey(key).value_or("")) continue;
        allTaken = storeChecked(key, edit->text()) && allTaken;
    }
    return allTaken;
}

void QtPreferencesPanel::refreshKey(const std::string& key) {
    auto it = refreshers_.find(key);
    if (it != refreshers_.end() && it->second) it->second();
    if (key == sPrefLocalSourceUploadFolder || key == sPrefLocalMasterMirrorSiteFolder ||
        key == sPrefKivHiResAlternatePath1)
        checkFolders();
    if (key == sPrefSecondsBetweenScans) folderTimer_->setInterval(folderCheckInterval());
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

void QtPreferencesPanel::showPath(QLineEdit* field, const char* key) {
    QString p = QString::fromStdString(store_.stringForKey(key).value_or(""));
    field->setText(p);
    field->setToolTip(p.isEmpty() ? ruleText(key) : p);
}

void QtPreferencesPanel::setPathColour(QLineEdit* field, const char* validityKey) {
    QPalette p = field->palette();
    p.setColor(QPalette::Text,
               store_.boolForKey(validityKey) ? QColor(Qt::black) : QColor(Qt::red));
    field->setPalette(p);
}

// ---- folder colours: live, from a check off the main thread (a dead mount may hang) ----

std::chrono::milliseconds QtPreferencesPanel::folderCheckInterval() const {
    // Within a rescan tick, but never so rarely that a colour lags for minutes.
    double seconds = store_.doubleForKey(sPrefSecondsBetweenScans);
    if (!(seconds > 0)) seconds = 120;
    return std::chrono::milliseconds(
        static_cast<std::int64_t>(1000 * std::clamp(seconds, 1.0, 10.0)));
}

void QtPreferencesPanel::checkFolders() {
    if (folderCheckRunning_) {
        folderCheckAgain_ = true;
        return;
    }
    folderCheckRunning_ = true;
    std::vector<std::pair<std::string, std::optional<std::string>>> folders{
        {sPrefIsValidLocalSourceUploadFolder, store_.stringForKey(sPrefLocalSourceUploadFolder)},
        {sPrefIsValidLocalMasterMirrorSiteFolder,
         store_.stringForKey(sPrefLocalMasterMirrorSiteFolder)},
        {sPrefIsValidKivHiResAlternatePath1, store_.stringForKey(sPrefKivHiResAlternatePath1)}};
    QPointer<QtPreferencesPanel> self(this);
    QThreadPool::globalInstance()->start([self, folders] {
        std::vector<std::pair<std::string, bool>> found;
        for (const auto& [validityKey, path] : folders)
            found.emplace_back(validityKey, isFolder(path));
        QMetaObject::invokeMethod(
            qApp,
            [self, found] {
                if (self) self->folderCheckDone(found);
            },
            Qt::QueuedConnection);
    });
}

void QtPreferencesPanel::folderCheckDone(const std::vector<std::pair<std::string, bool>>& found) {
    folderCheckRunning_ = false;
    for (const auto& [validityKey, exists] : found)
        if (store_.boolForKey(validityKey) != exists) store_.setObject(validityKey, exists);
    if (folderCheckAgain_) {
        folderCheckAgain_ = false;
        checkFolders();
    }
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
    for (QWidget* view : {ibChangeablePrefView, ibChangeablePref2View, ibChangeablePref3View,
                          otherSettingsView, serviceView})
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
    // The same rule as `vornctl config set`: the source folder overlaps no filing folder.
    if (!storeChecked(key, folder)) {
        beep();
        return;
    }
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
    // Values typed but not yet confirmed count; one the rules refuse keeps the panel open.
    if (!commitEdits() || !actions_.saveLoginInfo()) {
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
