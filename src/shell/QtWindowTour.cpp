#include "shell/QtWindowTour.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <memory>

#include "shell/QtAlerts.h"
#include "shell/QtUserInterface.h"

namespace vorn {

namespace {
void save(const QPixmap& picture, const QString& folder, const QString& name) {
    QString path = folder + "/" + name + ".png";
    bool ok = picture.save(path);
    std::fprintf(stderr, "window tour: %s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
}
void save(QWidget* w, const QString& folder, const QString& name) {
    save(w->grab(), folder, name);
}

// The share of pixels that differ between what the screen shows of the main window and what
// the window itself draws: another window over it shows as a large share.
double coveredShare(const QImage& onScreen, const QImage& drawn) {
    if (onScreen.size() != drawn.size() || drawn.isNull()) return 1.0;
    qint64 differing = 0;
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            differing += onScreen.pixel(x, y) != drawn.pixel(x, y);
    return double(differing) / (double(drawn.width()) * drawn.height());
}

// The main window as the screen shows it mid-upload, and what a person sees in it.
void photographTheDesk(QtMainWindow* main, const QString& folder) {
    QScreen* screen = main->screen();
    const QRect frame = main->frameGeometry();
    const QPixmap onScreen =
        screen ? screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
               : QPixmap();
    save(onScreen, folder, "main-window");
    // Both at the screen's own scale, the window's frame (if any) cut off the screen's picture.
    const QPoint inner = main->geometry().topLeft() - frame.topLeft();
    const qreal scale = onScreen.devicePixelRatio();
    const QImage seen = onScreen.toImage()
                            .copy(QRect(inner * scale, main->size() * scale))
                            .convertToFormat(QImage::Format_RGB32);
    const QImage drawn = main->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const double covered = coveredShare(seen, drawn);
    std::fprintf(
        stderr,
        "window tour: mid-upload: photo [%s], transfer [%s], button [%s], %s "
        "(%.1f%% of the window differs from the screen)\n",
        qPrintable(main->ibFileNameField->text()),
        main->transferDetail_->isVisible() ? qPrintable(main->transferDetail_->text()) : "",
        qPrintable(main->ibPauseResumeButton->text()), covered < 0.02 ? "unobstructed" : "COVERED",
        100 * covered);
}

// Runs the steps one after another on the event loop, each after the previous one's wait.
struct Tour {
    QtUserInterface* windows;
    QString folder;
    std::unique_ptr<QtMaintenanceWindow> maintenance;
    int waited = 0;
    int uploadingFor = 0;  // ticks in a row with a photo on the wire
};
}  // namespace

void startWindowTour(QtUserInterface& windows, const std::string& folder) {
    auto tour = std::make_shared<Tour>();
    tour->windows = &windows;
    tour->folder = QString::fromStdString(folder);
    QDir().mkpath(tour->folder);
    auto* timer = new QTimer(qApp);
    timer->setInterval(100);
    QObject::connect(timer, &QTimer::timeout, timer, [tour, timer] {
        QtMainWindow* main = tour->windows->mainWindow();
        // Mid-upload: a photo name is showing and the transfer has reported its bytes, for
        // three ticks in a row (a photo that goes through at once is not the one to catch).
        bool uploading =
            !main->ibFileNameField->text().isEmpty() && main->transferBar_->isVisible();
        tour->uploadingFor = uploading ? tour->uploadingFor + 1 : 0;
        if (++tour->waited < 300 && tour->uploadingFor < 3) return;
        timer->stop();
        timer->deleteLater();
        QTimer::singleShot(0, qApp, [tour] {
            QtMainWindow* main = tour->windows->mainWindow();
            photographTheDesk(main, tour->folder);
            QtPreferencesPanel* panel = tour->windows->preferencesPanel();
            panel->setWindowModality(Qt::NonModal);
            panel->show();
            panel->forceLockedIcon(1);
            const char* tabs[] = {"preferences-account", "preferences-folders", "preferences-hires",
                                  "preferences-options", "preferences-service"};
            for (int i = 0; i < 5; ++i) {
                panel->selectTab(i + 1);
                QApplication::processEvents();
                save(panel, tour->folder, tabs[i]);
            }
            panel->forceLockedIcon(0);
            QApplication::processEvents();
            save(panel, tour->folder, "preferences-locked");
            panel->hide();

            tour->maintenance = std::make_unique<QtMaintenanceWindow>();
            tour->maintenance->ibSetWindowTitle("Check Orders for Hi Res Photos");
            tour->maintenance->ibUpdateLine1TextField(
                "Checking For Orders Requiring Hi Res Photos...", true);
            tour->maintenance->ibUpdateLine2TextField("Sending Query...", true);
            tour->maintenance->ibUpdateProgressBar("YES");
            tour->maintenance->showWindow();
            QApplication::processEvents();
            save(tour->maintenance->window(), tour->folder, "maintenance-window");
            tour->maintenance->close();

            if (QMessageBox* box = QtAlerts::makeAlertBox("NSAlertWindow_9008", nullptr)) {
                box->show();
                QApplication::processEvents();
                save(box, tour->folder,
                     QString("alert-9008-%1").arg(QString::fromStdString(QtAlerts::language())));
                delete box;
            }

            QMenu* menu = tour->windows->trayMenu();
            menu->popup(QPoint(40, 40));
            QApplication::processEvents();
            save(menu, tour->folder, "tray-menu");
            menu->hide();
            QApplication::processEvents();
            emit main->quitClicked();
        });
    });
    timer->start();
}

}  // namespace vorn
