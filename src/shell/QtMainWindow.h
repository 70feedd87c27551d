#pragma once
// The main upload window and the small maintenance windows. Field updates come from any
// thread and are carried out on the main thread; a hidden main window ignores them, a
// maintenance window does not.

#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QMap>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QVariant>
#include <QWidget>
#include <atomic>
#include <functional>
#include <map>
#include <string>

#include "files/CleanUpProgress.h"
#include "upload/UserInterface.h"

class QFormLayout;
class QHBoxLayout;
class QVBoxLayout;

namespace vorn {

// Sets colour (red for errors), then text, then redisplays, on the main thread; waits only
// when doWait. onlyWhenVisible: nothing happens while the field's window is hidden.
void ibUpdateNSTextField(QLabel* field, const QString& text, bool doWait, bool isError,
                         bool onlyWhenVisible);
// "YES" in any case starts and shows the busy indicator; anything else stops and hides it.
void ibUpdateProgressBar(QProgressBar* bar, const QString& state);
// Runs task on the thread of context, waiting for it when wait (directly when already there).
void runOnMainThread(QObject* context, std::function<void()> task, bool wait);

class QtMainWindow : public QMainWindow {
    Q_OBJECT
  public:
    explicit QtMainWindow(QWidget* parent = nullptr);

    // The label dictionary: "Version" holds a text, every other label a field.
    void buildTextLabelDictionary();
    void ibUpdateTextField(const QString& text, const QString& label, bool doWait);
    QVariant labelObject(const QString& label) const { return labels_.value(label); }

    // Decodes the photo off the main thread, upright and scaled, then shows it.
    void showPreview(const QString& path);
    void showTransferProgress(const TransferProgress& progress);
    void showTransferEnded(const std::string& name);
    void showWaitingCount(std::size_t count);
    void showLastUpload(const UploadOutcome& outcome);
    void showCycleState(CycleState state, const QString& reason);
    // Where the photos go: the service's host and the event, in amber with the reason in the
    // tool tip when the settings look like the factory's (warning not empty).
    void showDestination(const QString& host, const QString& event, const QString& warning);
    // Closing hides the window (a tray icon stays) instead of asking to quit.
    void setHidesOnClose(bool hides) { hidesOnClose_ = hides; }

    QLabel *ibFileNameField, *ibUploadFileStatusField, *ibFTPCallbackStatusField, *ibLoginName,
        *ibUploadMainPath, *ibSourceFolderPath, *ibVersion, *ibCopyright, *ibMacOSVersion,
        *ibImageView, *ibUtilStatus, *ibUtilFunctionName;
    QPushButton *ibPauseResumeButton, *ibOpenPrefButton, *syncButton_;
    void drawTransfers();
    std::map<std::string, TransferProgress> transfers_;  // on the main thread only
    QProgressBar *ibProgressBar, *transferBar_;
    QLabel *transferDetail_, *waitingLabel_, *lastUploadLabel_, *stateLabel_, *serviceLabel_;

  signals:
    void synchronizeClicked();
    void pauseResumeClicked();
    void preferencesClicked();
    void quitClicked();
    void supportMailClicked();
    void previewDecoded(quint64 generation, QImage image);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    QFormLayout* makeFields(QWidget* central);
    void addProgressBars(QWidget* central, QVBoxLayout* right);
    QHBoxLayout* makeButtons(QWidget* central);
    QHBoxLayout* makeFooter(QWidget* central);
    void addMenus();

    QMap<QString, QVariant> labels_;
    std::atomic<quint64> previewGeneration_{0};
    bool hidesOnClose_ = false;
};

// Where a window of size goes on a screen's available area so that it leaves occupied clear:
// below it, else to its right, above, or left; else the area's bottom right corner.
QPoint placeClearOf(const QRect& occupied, const QSize& size, const QRect& available);

// A maintenance window, usable from any thread: its widget lives on the main thread. It comes
// up beside keepClearOf (the main window), never over it, and does not take the focus.
class QtMaintenanceWindow : public MaintenanceWindow {
  public:
    explicit QtMaintenanceWindow(QWidget* keepClearOf = nullptr);
    ~QtMaintenanceWindow() override;
    void showWindow() override;
    void ibSetWindowTitle(const std::string& title) override;
    void ibUpdateLine1TextField(const std::string& text, bool doWait) override;
    void ibUpdateLine2TextField(const std::string& text, bool doWait) override;
    void ibUpdateProgressBar(const std::string& state) override;
    void close() override;

    QWidget* window() const { return window_; }
    QLabel* ibUtilFunctionName() const { return line1_; }
    QLabel* ibUtilStatus() const { return line2_; }
    QProgressBar* ibUtilProgressBar() const { return bar_; }

  private:
    QPointer<QWidget> window_;
    QPointer<QWidget> keepClearOf_;
    QLabel* line1_ = nullptr;
    QLabel* line2_ = nullptr;
    QProgressBar* bar_ = nullptr;
};

}  // namespace vorn
