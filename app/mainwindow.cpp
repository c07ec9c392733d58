#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "logs.h"
#include "messagebox.h"
#include "registry.h"
#include "traynotifier.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QMenu>
#include <QStringListModel>

namespace {
const auto mainsIcon = QStringLiteral(":/icons/plug.ico");
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    Q_INIT_RESOURCE(resources);
    ui->setupUi(this);
    setWindowTitle(windowTitle() + QStringLiteral(" v 1.0.0.2"));

    registry = Registry::instance();

    setWindowFlags(Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    statusBar()->hide();
    fixWindowSize();
    eventsmodel = new QStringListModel;

    ui->pushButton->hide();

    ui->stackedWidget->setCurrentIndex(0);
    ui->tabWidget->setCurrentIndex(0);

    logs = Logs::instance();

    connect(ui->actionStart, &QAction::triggered, this, &MainWindow::startmonitoring);
    connect(ui->actionStop, &QAction::triggered, this, &MainWindow::stoptmonitoring);
    connect(ui->actionConfiguration, &QAction::triggered, this, &MainWindow::configurationui);
    connect(ui->actionExit, &QAction::triggered, this, &MainWindow::hidetotry);

    logs->trace(QStringLiteral("Loading secance Begin"));
    logs->trace(QStringLiteral("Loading secance End"));

    createTrayIcon();

    laststatus = QString();
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::fixWindowSize()
{
    setMaximumHeight(height() - statusBar()->height());
    setMaximumSize(width(), height());
    setMinimumSize(width(), height());
}

void MainWindow::createTrayIcon()
{
    trayicon = new QSystemTrayIcon(QIcon(mainsIcon), this);
    tray = new TrayNotifier(trayicon, this);

    auto *exitAction = new QAction(QStringLiteral("Exit"), trayicon);
    connect(exitAction, &QAction::triggered, this, &MainWindow::on_exit);
    auto *showAction = new QAction(QStringLiteral("Show"), trayicon);
    connect(showAction, &QAction::triggered, this, &MainWindow::showfromtry);
    auto *hideAction = new QAction(QStringLiteral("Hide"), trayicon);
    connect(hideAction, &QAction::triggered, this, &MainWindow::hidetotry);

    // The menu has no parent; it lives as long as the process.
    auto *trayMenu = new QMenu;
    connect(trayicon, &QSystemTrayIcon::activated, this, &MainWindow::on_showhide);
    trayMenu->addAction(exitAction);
    trayMenu->addSeparator();
    trayMenu->addAction(hideAction);
    trayMenu->addAction(showAction);
    trayicon->setContextMenu(trayMenu);
    trayicon->setVisible(true);
}

void MainWindow::showBackgroundBalloon()
{
    tray->showMessage(QStringLiteral("Voltrine"), QStringLiteral("Running on background"),
                      QSystemTrayIcon::Information, 2000);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    hidetotry();
    event->ignore();
}

void MainWindow::hidetotry()
{
    if (!isVisible())
        return;
    hide();
    showBackgroundBalloon();
}

void MainWindow::showfromtry()
{
    if (!isVisible())
        show();
}

void MainWindow::on_showhide(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::DoubleClick)
        return;
    if (isVisible())
        hide();
    else
        show();
}

void MainWindow::on_exit()
{
    const QMessageBox::StandardButton answer =
            MessageBox::question(this, QString(), QStringLiteral("Quit?"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    if (answer == QMessageBox::Yes)
        QCoreApplication::quit();
}

// The status page, the events list, the configuration page and monitoring
// control arrive with the subsystems they show.
void MainWindow::refreshstatuslabels() { }
void MainWindow::refreshevents() { }
void MainWindow::configurationui() { }
void MainWindow::on_pushButton_clicked() { }
void MainWindow::on_pushButton_2_clicked() { }
void MainWindow::startmonitoring() { }
void MainWindow::stoptmonitoring() { }
void MainWindow::monitoringstarted() { }
void MainWindow::monitoringstoped() { }
void MainWindow::onshowstart() { }
void MainWindow::on_pushButtonSavegeneral_clicked() { }
void MainWindow::on_checkBoxstartminimised_clicked() { }
void MainWindow::on_pushButton_saveapcupsd_clicked() { }
void MainWindow::on_lineEdit_textChanged() { }
void MainWindow::on_lineEdit_2_textChanged() { }
void MainWindow::on_lineEdit_3_textChanged() { }
void MainWindow::on_lineEdit_4_textChanged() { }
void MainWindow::on_lineEdit_5_textChanged() { }
void MainWindow::on_lineEdit_6_textChanged() { }
void MainWindow::on_lineEdit_7_textChanged() { }
void MainWindow::on_lineEdit_8_textChanged() { }
void MainWindow::on_pushButton_savedatabaseinfo_clicked() { }
void MainWindow::on_timeEdit_timeChanged() { }
void MainWindow::on_comboBox_currentTextChanged(QString) { }
void MainWindow::on_comboBox_2_currentTextChanged() { }
void MainWindow::on_pushButton_saveupsconf_clicked() { }
void MainWindow::on_pushButtonRefreshDevicesList_clicked() { }
