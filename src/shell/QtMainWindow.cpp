#include "shell/QtMainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImageReader>
#include <QMenuBar>
#include <QMetaObject>
#include <QScreen>
#include <QThread>
#include <QThreadPool>
#include <QTime>
#include <QVBoxLayout>
#include <cmath>

#include "platform/PlatformLog.h"

namespace vorn {

void runOnMainThread(QObject* context, std::function<void()> task, bool wait) {
    if (QThread::currentThread() == context->thread()) {
        task();
        return;
    }
    QMetaObject::invokeMethod(context, std::move(task),
                              wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

void ibUpdateNSTextField(QLabel* field, const QString& text, bool doWait, bool isError,
                         bool onlyWhenVisible) {
    if (!field) {
        platformLog("Inside %s => %s... NIL NSTextField....", "myProgressWindowController",
                    "ibUpdateNSTextField");
        return;
    }
    QPointer<QLabel> target(field);
    runOnMainThread(
        field,
        [target, text, isError, onlyWhenVisible] {
            if (!target || (onlyWhenVisible && !target->window()->isVisible())) return;
            QPalette p = target->palette();
            p.setColor(QPalette::WindowText, isError ? QColor(Qt::red) : QColor(Qt::black));
            target->setPalette(p);
            target->setText(text);
            // A wrapped text keeps all its lines: the window's layout does not ask on its own.
            if (target->wordWrap())
                target->setMinimumHeight(target->heightForWidth(target->width()));
            target->update();
        },
        doWait);
}

void ibUpdateProgressBar(QProgressBar* bar, const QString& state) {
    if (!bar) return;
    bool animate = state.compare("YES", Qt::CaseInsensitive) == 0;
    QPointer<QProgressBar> target(bar);
    // Qt widgets change only on their own thread; callers do not wait for it.
    runOnMainThread(
        bar,
        [target, animate] {
            if (!target) return;
            target->setRange(0, 0);  // indeterminate
            target->setVisible(animate);
            target->update();
        },
        false);
}

namespace {
// A value field; spoken is what a screen reader announces it as.
QLabel* field(QWidget* parent, const char* name, const QString& spoken) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setAccessibleName(spoken);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setMinimumWidth(200);
    return label;
}

QString bytesText(std::uint64_t bytes) {
    if (bytes < 1024) return QString("%1 B").arg(bytes);
    if (bytes < 1024 * 1024) return QString("%1 KB").arg(bytes / 1024.0, 0, 'f', 1);
    return QString("%1 MB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 1);
}
}  // namespace

QtMainWindow::QtMainWindow(QWidget* parent) : QMainWindow(parent) {
    setObjectName("ibProgressPanel");
    setWindowTitle("Vorn Uploader");
    auto* central = new QWidget(this);
    auto* top = new QHBoxLayout(central);

    ibImageView = new QLabel(central);
    ibImageView->setObjectName("ibImageView");
    ibImageView->setFixedSize(240, 240);
    ibImageView->setAlignment(Qt::AlignCenter);
    ibImageView->setFrameShape(QFrame::StyledPanel);
    ibImageView->setText("No photo");
    top->addWidget(ibImageView, 0, Qt::AlignTop);

    auto* right = new QVBoxLayout;
    top->addLayout(right, 1);
    right->addLayout(makeFields(central));
    addProgressBars(central, right);
    right->addLayout(makeButtons(central));

    auto* footer = makeFooter(central);
    auto* outer = new QVBoxLayout;
    auto* page = new QWidget(this);
    page->setLayout(outer);
    outer->addWidget(central, 1);
    outer->addLayout(footer);
    setCentralWidget(page);
    // Outlets the main window does not have.
    ibUtilStatus = nullptr;
    ibUtilFunctionName = nullptr;

    addMenus();
    connect(syncButton_, &QPushButton::clicked, this, &QtMainWindow::synchronizeClicked);
    connect(ibPauseResumeButton, &QPushButton::clicked, this, &QtMainWindow::pauseResumeClicked);
    connect(ibOpenPrefButton, &QPushButton::clicked, this, &QtMainWindow::preferencesClicked);
    connect(this, &QtMainWindow::previewDecoded, this, [this](quint64 generation, QImage image) {
        if (generation != previewGeneration_.load()) return;  // a newer photo is on its way
        if (image.isNull())
            ibImageView->setText("No preview");
        else
            ibImageView->setPixmap(QPixmap::fromImage(image));
    });
    buildTextLabelDictionary();
    resize(760, 380);
}

QFormLayout* QtMainWindow::makeFields(QWidget* central) {
    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    ibFileNameField = field(central, "ibFileNameField", "Photo");
    ibUploadFileStatusField = field(central, "ibUploadFileStatusField", "Upload");
    ibFTPCallbackStatusField = field(central, "ibFTPCallbackStatusField", "Status");
    ibFTPCallbackStatusField->setWordWrap(true);
    ibLoginName = field(central, "ibLoginName", "Account");
    ibUploadMainPath = field(central, "ibUploadMainPath", "Watched folder");
    ibSourceFolderPath = field(central, "ibSourceFolderPath", "Source folder");
    serviceLabel_ = field(central, "serviceLabel", "Sending to");
    stateLabel_ = field(central, "stateLabel", "State");
    waitingLabel_ = field(central, "waitingLabel", "Waiting");
    lastUploadLabel_ = field(central, "lastUploadLabel", "Last upload");
    for (QLabel* l : {stateLabel_, waitingLabel_, lastUploadLabel_}) l->setText("—");
    form->addRow("Photo:", ibFileNameField);
    form->addRow("Upload:", ibUploadFileStatusField);
    form->addRow("Status:", ibFTPCallbackStatusField);
    form->addRow("State:", stateLabel_);
    form->addRow("Waiting:", waitingLabel_);
    form->addRow("Last upload:", lastUploadLabel_);
    // Where the photos go: a new desk sees at once when it still sends to the factory event.
    form->addRow("Sending to:", serviceLabel_);
    form->addRow("Account:", ibLoginName);
    form->addRow("Watched folder:", ibUploadMainPath);
    form->addRow("Source folder:", ibSourceFolderPath);
    return form;
}

// One place for progress: the busy indicator until the transfer reports its bytes, then the
// transfer's own bar with its figures in its stead.
void QtMainWindow::addProgressBars(QWidget* central, QVBoxLayout* right) {
    transferBar_ = new QProgressBar(central);
    transferBar_->setObjectName("transferBar");
    transferBar_->setAccessibleName("Bytes sent");
    transferBar_->setRange(0, 1000);
    transferBar_->setTextVisible(false);
    transferBar_->setVisible(false);
    transferDetail_ = field(central, "transferDetail", "Transfer");
    transferDetail_->setVisible(false);

    ibProgressBar = new QProgressBar(central);
    ibProgressBar->setObjectName("ibProgressBar");
    ibProgressBar->setAccessibleName("Busy");
    ibProgressBar->setRange(0, 0);
    ibProgressBar->setTextVisible(false);
    ibProgressBar->setVisible(false);
    right->addWidget(ibProgressBar);
    right->addWidget(transferBar_);
    right->addWidget(transferDetail_);
    right->addStretch(1);
}

QHBoxLayout* QtMainWindow::makeButtons(QWidget* central) {
    auto* buttons = new QHBoxLayout;
    syncButton_ = new QPushButton("Upload Now", central);
    syncButton_->setAccessibleName("Upload Now");
    syncButton_->setToolTip("Upload the photos waiting now (Ctrl+U)");
    ibPauseResumeButton = new QPushButton("Pause", central);
    ibPauseResumeButton->setObjectName("ibPauseResumeButton");
    ibPauseResumeButton->setAccessibleName("Pause or resume");
    ibPauseResumeButton->setToolTip("Pause after the photo being sent, or resume (Ctrl+P)");
    ibOpenPrefButton = new QPushButton("Preferences…", central);
    ibOpenPrefButton->setObjectName("ibOpenPrefButton");
    ibOpenPrefButton->setAccessibleName("Preferences");
    ibOpenPrefButton->setToolTip("Account, folders and settings (Ctrl+,)");
    buttons->addWidget(syncButton_);
    buttons->addWidget(ibPauseResumeButton);
    buttons->addStretch(1);
    buttons->addWidget(ibOpenPrefButton);
    return buttons;
}

// Version, system and copyright, in a smaller type.
QHBoxLayout* QtMainWindow::makeFooter(QWidget* central) {
    auto* footer = new QHBoxLayout;
    ibVersion = field(central, "ibVersion", "Version");
    ibMacOSVersion = field(central, "ibMacOSVersion", "System");
    ibCopyright = field(central, "ibCopyright", "Copyright");
    for (QLabel* l : {ibVersion, ibMacOSVersion, ibCopyright}) {
        l->setMinimumWidth(0);
        QFont f = l->font();
        f.setPointSizeF(f.pointSizeF() * 0.85);
        l->setFont(f);
        footer->addWidget(l);
    }
    footer->addStretch(1);
    return footer;
}

void QtMainWindow::addMenus() {
    auto item = [this](QMenu* menu, const QString& text, void (QtMainWindow::*signal)(),
                       QKeySequence shortcut = {}) {
        QAction* action = menu->addAction(text);
        action->setShortcut(shortcut);
        connect(action, &QAction::triggered, this, signal);
    };
    // Shortcuts spelled out: the platform's own Preferences sequence is empty on some desktops.
    QMenu* file = menuBar()->addMenu("&File");
    item(file, "&Upload Now", &QtMainWindow::synchronizeClicked, QKeySequence("Ctrl+U"));
    item(file, "&Open", &QtMainWindow::synchronizeClicked, QKeySequence("Ctrl+O"));
    item(file, "&Pause/Resume", &QtMainWindow::pauseResumeClicked, QKeySequence("Ctrl+P"));
    file->addSeparator();
    item(file, "P&references…", &QtMainWindow::preferencesClicked, QKeySequence("Ctrl+,"));
    file->addSeparator();
    item(file, "&Quit", &QtMainWindow::quitClicked, QKeySequence("Ctrl+Q"));
    QMenu* help = menuBar()->addMenu("&Help");
    item(help, "E-mail Support…", &QtMainWindow::supportMailClicked);
}

void QtMainWindow::buildTextLabelDictionary() {
    labels_.clear();
    labels_.insert("Version", QString("This is a new dictionary.."));
    const std::pair<const char*, QLabel*> outlets[] = {
        {"ibUtilStatus", ibUtilStatus},
        {"ibFileNameField", ibFileNameField},
        {"ibUploadFileStatusField", ibUploadFileStatusField},
        {"ibFTPCallbackStatusField", ibFTPCallbackStatusField},
        {"ibLoginName", ibLoginName},
        {"ibUploadMainPath", ibUploadMainPath},
        {"ibSourceFolderPath", ibSourceFolderPath},
        {"ibImageView", ibImageView},
        {"ibVersion", ibVersion},
        {"ibCopyright", ibCopyright},
        {"ibMacOSVersion", ibMacOSVersion},
        {"ibUtilFunctionName", ibUtilFunctionName}};
    for (const auto& [name, outlet] : outlets)
        if (outlet) labels_.insert(name, QVariant::fromValue<QObject*>(outlet));
}

void QtMainWindow::ibUpdateTextField(const QString& text, const QString& label, bool doWait) {
    if (label.isEmpty()) return;
    auto it = labels_.constFind(label);
    if (it == labels_.constEnd()) {
        platformLog("Unable to Find the Object for [%s]", label.toUtf8().constData());
        return;
    }
    auto* obj = it->value<QObject*>();
    auto* target = obj && obj != ibImageView ? qobject_cast<QLabel*>(obj) : nullptr;
    if (!target) {
        platformLog("Object for [%s] is not a text field", label.toUtf8().constData());
        return;
    }
    ibUpdateNSTextField(target, text, doWait, false, true);
}

void QtMainWindow::showPreview(const QString& path) {
    quint64 generation = ++previewGeneration_;
    QSize box = ibImageView->size();
    QPointer<QtMainWindow> self(this);
    QThreadPool::globalInstance()->start([self, path, generation, box] {
        QImageReader reader(path);
        reader.setAutoTransform(true);  // upright by its EXIF orientation
        QSize size = reader.size();
        if (size.isValid()) {
            // Rotated by 90 degrees the box's sides swap; scale so either way fits.
            int side = std::max(box.width(), box.height());
            reader.setScaledSize(size.scaled(side, side, Qt::KeepAspectRatio));
        }
        QImage image = reader.read();
        if (!image.isNull())
            image = image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        if (self) emit self->previewDecoded(generation, image);
    });
}

void QtMainWindow::showTransferProgress(const TransferProgress& p) {
    runOnMainThread(
        this,
        [this, p] {
            transfers_[p.name] = p;
            drawTransfers();
        },
        false);
}

void QtMainWindow::showDestination(const QString& host, const QString& event,
                                   const QString& warning) {
    runOnMainThread(
        this,
        [this, host, event, warning] {
            serviceLabel_->setText(QString("%1, event \u201c%2\u201d")
                                       .arg(host.isEmpty() ? QString("no service") : host,
                                            event.isEmpty() ? QString("(none)") : event));
            QPalette p = serviceLabel_->palette();
            p.setColor(QPalette::WindowText, warning.isEmpty()
                                                 ? palette().color(QPalette::WindowText)
                                                 : QColor("#b35900"));
            serviceLabel_->setPalette(p);
            serviceLabel_->setToolTip(warning);
        },
        false);
}

void QtMainWindow::showTransferEnded(const std::string& name) {
    runOnMainThread(
        this,
        [this, name] {
            transfers_.erase(name);
            drawTransfers();
        },
        false);
}

// One bar for all photos on their way, and a line for each with the total under them.
void QtMainWindow::drawTransfers() {
    transferBar_->setVisible(!transfers_.empty());
    transferDetail_->setVisible(!transfers_.empty());
    if (!transfers_.empty()) ibProgressBar->setVisible(false);  // one bar: the bytes
    if (transfers_.empty()) return;
    std::uint64_t sent = 0, total = 0;
    double rate = 0;
    bool sizesKnown = true;
    QStringList lines;
    auto timeLeft = [](double seconds) {
        int s = static_cast<int>(std::ceil(seconds));
        return s >= 60 ? QString(", %1 min %2 s left").arg(s / 60).arg(s % 60)
                       : QString(", %1 s left").arg(s);
    };
    for (const auto& [name, t] : transfers_) {
        sent += std::min(t.bytesSent, t.bytesTotal ? t.bytesTotal : t.bytesSent);
        total += t.bytesTotal;
        rate += t.bytesPerSecond;
        sizesKnown = sizesKnown && t.bytesTotal > 0;
        QString text = QString("%1: %2 of %3")
                           .arg(QString::fromStdString(name), bytesText(t.bytesSent),
                                t.bytesTotal ? bytesText(t.bytesTotal) : QString("?"));
        if (t.secondsWaitingForReply) {
            // All sent: the service is thinking, the bar stays full.
            text += QString(", waiting for the service's reply (%1 s)")
                        .arg(static_cast<int>(*t.secondsWaitingForReply));
        } else {
            if (t.bytesPerSecond > 0) text += QString(" at %1/s").arg(bytesText(t.bytesPerSecond));
            if (t.secondsLeft) text += timeLeft(*t.secondsLeft);
        }
        lines << text;
    }
    if (sizesKnown) {
        transferBar_->setRange(0, 1000);
        transferBar_->setValue(
            static_cast<int>(1000.0 * static_cast<double>(sent) / static_cast<double>(total)));
    } else {
        transferBar_->setRange(0, 0);
    }
    if (transfers_.size() > 1) {
        QString all = QString("%1 photos: %2/s").arg(transfers_.size()).arg(bytesText(rate));
        if (sizesKnown && rate > 0) all += timeLeft(static_cast<double>(total - sent) / rate);
        lines << all;
    }
    transferDetail_->setText(lines.join("\n"));
}

void QtMainWindow::showWaitingCount(std::size_t count) {
    QString text = count == 1 ? QString("1 photo") : QString("%1 photos").arg(count);
    runOnMainThread(
        this, [this, text] { waitingLabel_->setText(text); }, false);
}

void QtMainWindow::showLastUpload(const UploadOutcome& outcome) {
    if (outcome.kind != UploadOutcome::Kind::Uploaded) return;
    QString text =
        QString("%1 at %2")
            .arg(QString::fromStdString(outcome.name), QTime::currentTime().toString("HH:mm:ss"));
    runOnMainThread(
        this, [this, text] { lastUploadLabel_->setText(text); }, false);
}

void QtMainWindow::showCycleState(CycleState state, const QString& reason) {
    QString text = QString::fromUtf8(cycleStateName(state));
    text[0] = text[0].toUpper();
    if (!reason.isEmpty()) text += ": " + reason;
    runOnMainThread(
        this, [this, text] { stateLabel_->setText(text); }, false);
}

void QtMainWindow::closeEvent(QCloseEvent* event) {
    if (hidesOnClose_) {
        hide();
        event->ignore();
        return;
    }
    event->ignore();  // the orderly quit closes the window when it is done
    emit quitClicked();
}

// ---- maintenance windows ----

QPoint placeClearOf(const QRect& occupied, const QSize& size, const QRect& available) {
    const QPoint candidates[] = {
        {occupied.left(), occupied.bottom() + 1},
        {occupied.right() + 1, occupied.top()},
        {occupied.left(), occupied.top() - size.height()},
        {occupied.left() - size.width(), occupied.top()},
    };
    for (const QPoint& at : candidates)
        if (available.contains(QRect(at, size))) return at;
    return available.bottomRight() - QPoint(size.width() - 1, size.height() - 1);
}

QtMaintenanceWindow::QtMaintenanceWindow(QWidget* keepClearOf) : keepClearOf_(keepClearOf) {
    runOnMainThread(
        qApp,
        [this] {
            auto* w = new QWidget(nullptr, Qt::Window);
            w->setAttribute(Qt::WA_ShowWithoutActivating);  // the desk keeps its focus
            w->setObjectName("maintenanceWindow");
            w->setWindowTitle("Maintenance");
            auto* layout = new QVBoxLayout(w);
            line1_ = new QLabel(w);
            line1_->setObjectName("ibUtilFunctionName");
            line2_ = new QLabel(w);
            line2_->setObjectName("ibUtilStatus");
            bar_ = new QProgressBar(w);
            bar_->setObjectName("ibUtilProgressBar");
            bar_->setRange(0, 0);
            bar_->setTextVisible(false);
            bar_->setVisible(false);
            QFont bold = line1_->font();
            bold.setBold(true);
            line1_->setFont(bold);
            layout->addWidget(line1_);
            layout->addWidget(line2_);
            layout->addWidget(bar_);
            w->setMinimumWidth(460);
            window_ = w;
        },
        true);
}

QtMaintenanceWindow::~QtMaintenanceWindow() {
    if (QWidget* w = window_) w->deleteLater();
}

void QtMaintenanceWindow::showWindow() {
    QPointer<QWidget> w = window_;
    QPointer<QWidget> main = keepClearOf_;
    if (w)
        runOnMainThread(
            w,
            [w, main] {
                if (!w) return;
                if (main && main->isVisible() && main->screen()) {
                    w->adjustSize();
                    w->move(placeClearOf(main->frameGeometry(), w->frameGeometry().size(),
                                         main->screen()->availableGeometry()));
                }
                w->show();
            },
            false);
}

void QtMaintenanceWindow::ibSetWindowTitle(const std::string& title) {
    QPointer<QWidget> w = window_;
    QString t = QString::fromStdString(title);
    if (w)
        runOnMainThread(
            w,
            [w, t] {
                if (w) w->setWindowTitle(t);
            },
            false);
}

void QtMaintenanceWindow::ibUpdateLine1TextField(const std::string& text, bool doWait) {
    ibUpdateNSTextField(line1_, QString::fromStdString(text), doWait, false, false);
}

void QtMaintenanceWindow::ibUpdateLine2TextField(const std::string& text, bool doWait) {
    ibUpdateNSTextField(line2_, QString::fromStdString(text), doWait, false, false);
}

void QtMaintenanceWindow::ibUpdateProgressBar(const std::string& state) {
    vorn::ibUpdateProgressBar(bar_, QString::fromStdString(state));
}

void QtMaintenanceWindow::close() {
    QPointer<QWidget> w = window_;
    if (w)
        runOnMainThread(
            w,
            [w] {
                if (w) w->close();
            },
            false);
}

}  // namespace vorn
