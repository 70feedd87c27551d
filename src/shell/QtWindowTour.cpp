#include "shell/QtWindowTour.h"

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <memory>

#include "shell/QtAlerts.h"
#include "shell/QtUserInterface.h"

namespace vorn {

namespace {
void save(QWidget* w, const QString& folder, const QString& name) {
    QString path = folder + "/" + name + ".png";
    bool ok = w->grab().save(path);
    std::fprintf(stderr, "window tour: %s %s\n", ok ? "saved" : "FAILED", qPrintable(path));
}

// Runs the steps one after another on the event loop, each after the previous one's wait.
struct Tour {
    QtUserInterface* windows;
    QString folder;
    std::unique_ptr<QtMaintenanceWindow> maintenance;
    int waited = 0;
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
        // Mid-upload: a photo name is showing and the transfer has reported progress (or
        // a few seconds passed without it).
        bool uploading = !main->ibFileNameField->text().isEmpty() &&
                         (main->transferBar_->isVisible() || tour->waited > 50);
        if (++tour->waited < 300 && !uploading) return;
        timer->stop();
        timer->deleteLater();
        QTimer::singleShot(300, qApp, [tour] {
            QtMainWindow* main = tour->windows->mainWindow();
            save(main, tour->folder, "main-window");
            QtPreferencesPanel* panel = tour->windows->preferencesPanel();
            panel->setWindowModality(Qt::NonModal);
            panel->show();
            panel->forceLockedIcon(1);
            const char* tabs[] = {"preferences-account", "preferences-folders", "preferences-hires",
                                  "preferences-options"};
            for (int i = 0; i < 4; ++i) {
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
