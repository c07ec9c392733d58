#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "answerwatch.h"
#include "apcupsdcontrol.h"
#include "comthrd.h"
#include "core.h"
#include "database.h"
#include "desktopintegration.h"
#include "historypage.h"
#include "logs.h"
#include "messagebox.h"
#include "registry.h"
#include "trayhost.h"
#include "traynotifier.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QHideEvent>
#include <QLabel>
#include <QMenu>
#include <QStringListModel>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {
const auto mainsIcon = QStringLiteral(":/icons/plug.ico");
const auto batteryIcon = QStringLiteral(":/icons/plugnot.ico");
const auto noAnswerIcon = QStringLiteral(":/icons/noanswer.ico");
const auto statusBalloonTitle = QStringLiteral("Voltrine STATUS");

bool onBattery(const QString &status)
{
    return status.toUpper().contains(QLatin1String("BAT"));
}

QString statusIcon(const QString &status)
{
    return onBattery(status) ? batteryIcon : mainsIcon;
}

// A battery state stays on the desktop until the user has seen it.
TrayNotifier::Urgency statusUrgency(const QString &status)
{
    return onBattery(status) ? TrayNotifier::Urgency::Critical : TrayNotifier::Urgency::Normal;
}
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : MainWindow(Subsystems(), parent)
{ }

MainWindow::MainWindow(const Subsystems &subsystems, QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
    , given(subsystems)
{
    Q_INIT_RESOURCE(resources);
    ui->setupUi(this);
    setWindowTitle(windowTitle() + QStringLiteral(" v 1.0.0.2"));

    registry = given.registry ? given.registry : Registry::instance();

    setWindowFlags(Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    statusBar()->hide();
    eventsmodel = new QStringListModel(this);

    loadconfigurationui();
    setWindowIcon(DesktopIntegration::formIcon(mainsIcon, windowIcon()));
    QAbstractButton *refreshDevices = ui->pushButtonRefreshDevicesList;
    refreshDevices->setIcon(DesktopIntegration::formIcon(QStringLiteral(":/icons/reload.ico"),
                                                         refreshDevices->icon()));
    // Once every widget of the form is made, and before the size is fixed.
    DesktopIntegration::scaleForm(this);
    fixWindowSize();
    ui->pushButton->hide();
    DesktopIntegration::clearTimePlaceholders(
            {ui->label_DATE, ui->label_STARTTIME, ui->label_ENDAPC});

    ui->stackedWidget->setCurrentIndex(0);
    ui->tabWidget->setCurrentIndex(0);

    logs = given.logs ? given.logs : Logs::instance();

    connect(ui->actionStart, &QAction::triggered, this, &MainWindow::startmonitoring);
    connect(ui->actionStop, &QAction::triggered, this, &MainWindow::stoptmonitoring);
    connect(ui->actionConfiguration, &QAction::triggered, this, &MainWindow::configurationui);
    connect(ui->actionExit, &QAction::triggered, this, &MainWindow::hidetotry);

    logs->trace(QStringLiteral("Loading secance Begin"));

    apcupsdcontrol = serviceControl();
    connect(apcupsdcontrol, &ApcUpsdControl::DaemonStateChanged, this,
            &MainWindow::showDaemonState);
    connect(apcupsdcontrol, &ApcUpsdControl::ConfigSaveFinished, this,
            &MainWindow::upsConfigSaveFinished);
    // Linux: shown, in the tool bar and the tray menu, only while the local
    // apcupsd was left stopped.
    startDaemonAction = new QAction(QStringLiteral("Start apcupsd"), this);
    startDaemonAction->setObjectName(QStringLiteral("actionStartApcupsd"));
    startDaemonAction->setVisible(false);
    connect(startDaemonAction, &QAction::triggered, this, [this] {
        if (serviceControl()->startDaemonOnRequest())
            logs->trace(QStringLiteral("Starting apcupsd at the user's request"));
        showDaemonNotice();
    });

    comthrd = given.comthrd ? given.comthrd : COMThrd::instance();
    connect(comthrd, &COMThrd::StatusDataReady, this, &MainWindow::refreshstatuslabels);
    // An answer means that an apcupsd runs, however it was started.
    connect(comthrd, &COMThrd::StatusDataReady, this, [this] {
        if (daemonNotice.isEmpty())
            return;
        daemonNotice.clear();
        showDaemonNotice();
    });
    connect(comthrd, &COMThrd::EventsDataReady, this, &MainWindow::refreshevents);
    watchAnswers();

    database = given.database ? given.database : DataBase::instance();
    // Returns at once: a refused connection is shown once the event loop
    // runs, with monitoring and the tray already up.
    database->openConnection();
    connect(database, &DataBase::keepingChanged, this, &MainWindow::showKeepingState);

    core = given.core ? given.core : Core::instance();
    // Connected before the start, so that a quick first run is not missed.
    connect(core, &Core::CoreStarted, this, &MainWindow::monitoringstarted);
    connect(core, &Core::CoreStopped, this, &MainWindow::monitoringstoped);
    connect(core, &Core::CoreStarted, this, [this] {
        answers->monitoringStarted();
        showAnswerState();
    });
    connect(core, &Core::CoreStopped, this, [this] {
        answers->monitoringStopped();
        showAnswerState();
    });
    core->start(QThread::InheritPriority);
    addHistoryTab();

    logs->trace(QStringLiteral("Loading secance End"));

    createTrayIcon();
    followTrayHost();
    showKeepingState();
    // The program lives in the tray: no window closing ends it, not even the
    // "Quit?" box answered No while the window is hidden. Only Exit answered
    // Yes quits.
    QApplication::setQuitOnLastWindowClosed(false);

    showtimer = new QTimer(this);
    connect(showtimer, &QTimer::timeout, this, &MainWindow::onshowstart);
    showtimer->start(50);

    laststatus = QString();
}

MainWindow::~MainWindow()
{
    // A password dialog left open is not waited for at the end.
    serviceControl()->abandonAdministration();
    delete ui;
}

void MainWindow::addHistoryTab()
{
    // An addition to the designed window: a third tab after "Events". A row's
    // values hold until the next row, which the logging timer writes at the
    // latest one interval later while the program runs.
    // The page and its charts are made when the tab is first opened: a
    // program that stays in the tray never holds them.
    auto *tab = new QWidget(ui->tabWidget);
    auto *layout = new QVBoxLayout(tab);
    layout->setContentsMargins(0, 0, 0, 0);
    ui->tabWidget->addTab(tab, QStringLiteral("History"));
    connect(ui->tabWidget, &QTabWidget::currentChanged, this, [this, tab, layout](int index) {
        if (history || ui->tabWidget->widget(index) != tab)
            return;
        history = new HistoryPage(
                database->journalPath(), [this] { return qint64(core->loggingInterval()) * 3 / 2; },
                tab);
        layout->addWidget(history);
        history->show();
    });
}

void MainWindow::fixWindowSize()
{
    setMaximumHeight(height() - statusBar()->height());
    setMaximumSize(width(), height());
    setMinimumSize(width(), height());
}

void MainWindow::createTrayIcon()
{
    // The form gives the window the plug as its icon: the tray shows the same
    // images rather than a second copy of them.
    trayicon = new QSystemTrayIcon(windowIcon(), this);
    tray = new TrayNotifier(trayicon, this);
    tray->keepIcon(mainsIcon, windowIcon());

    auto *exitAction = new QAction(QStringLiteral("Exit"), trayicon);
    connect(exitAction, &QAction::triggered, this, &MainWindow::on_exit);
    auto *showAction = new QAction(QStringLiteral("Show"), trayicon);
    connect(showAction, &QAction::triggered, this, &MainWindow::showfromtry);
    auto *hideAction = new QAction(QStringLiteral("Hide"), trayicon);
    connect(hideAction, &QAction::triggered, this, &MainWindow::hidetotry);

    // A child of the window, which deletes it with its actions; a QMenu is a
    // popup of its own whatever its parent.
    auto *trayMenu = new QMenu(this);
    connect(trayicon, &QSystemTrayIcon::activated, this, &MainWindow::on_showhide);
    trayMenu->addAction(exitAction);
    trayMenu->addSeparator();
    trayMenu->addAction(hideAction);
    trayMenu->addAction(showAction);
    trayicon->setContextMenu(trayMenu);
    trayicon->setVisible(true);
}

void MainWindow::followTrayHost()
{
    trayHost =
            given.trayHost ? given.trayHost : new TrayHost(TrayHost::Source::Session, true, this);
    connect(trayHost, &TrayHost::availabilityChanged, this, [this](bool available) {
        logs->trace(available ? QStringLiteral("The desktop has a notification area again")
                              : QStringLiteral("The desktop has no notification area"));
        // A window hidden in a tray that went away could not be reached.
        if (!available && !isVisible())
            show();
        showTrayHostState();
    });
    showTrayHostState();
}

void MainWindow::showTrayHostState()
{
    // An addition to the designed window, for desktops without a tray (stock
    // GNOME): said in the tool bar's strip, and the tray menu's Exit in the
    // File menu.
    const bool missing = !trayHost->isAvailable();
    if (missing && !noTrayLabel) {
        noTrayLabel = new QLabel(ui->mainToolBar);
        noTrayLabel->setObjectName(QStringLiteral("label_notray"));
        noTrayLabel->setText(QStringLiteral(
                "This desktop has no notification area: closing the window minimises it"));
        noTrayLabelAction = ui->mainToolBar->addWidget(noTrayLabel);
        fileExitAction = new QAction(QStringLiteral("Exit"), this);
        fileExitAction->setObjectName(QStringLiteral("actionQuit"));
        connect(fileExitAction, &QAction::triggered, this, &MainWindow::on_exit);
        ui->menuFile->addAction(fileExitAction);
    }
    if (noTrayLabel) {
        noTrayLabelAction->setVisible(missing);
        fileExitAction->setVisible(missing);
    }
}

void MainWindow::watchAnswers()
{
    // Made after the window's own connections to the client, so that a
    // returning reply has been shown (and a changed STATUS announced) first.
    answers = new AnswerWatch(comthrd, this);
    connect(answers, &AnswerWatch::wentStale, this, [this](const QDateTime &since) {
        statusWhenSilent = laststatus;
        logs->trace(noAnswerText(since));
        tray->setIcon(noAnswerIcon);
        tray->showMessage(statusBalloonTitle, noAnswerText(since), QSystemTrayIcon::Warning, 2000);
        showAnswerState();
    });
    connect(answers, &AnswerWatch::answeredAgain, this, [this] {
        logs->trace(QStringLiteral("apcupsd answers again"));
        tray->setIcon(statusIcon(laststatus));
        // A STATUS that changed while apcupsd was silent has just been
        // announced; otherwise the status is announced again here, so that
        // either way the return brings one balloon.
        if (laststatus == statusWhenSilent)
            tray->showMessage(statusBalloonTitle, laststatus, QSystemTrayIcon::Information, 2000,
                              statusUrgency(laststatus));
        showAnswerState();
    });
}

QString MainWindow::noAnswerText(const QDateTime &since)
{
    return QStringLiteral("No answer from apcupsd since ") +
            since.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

void MainWindow::showAnswerState()
{
    // An addition to the designed window: the values shown are the last ones
    // received, which the strip under the menu bar says while apcupsd is silent.
    const bool silent = answers->isStale() && DesktopIntegration::marksSilentValues();
    if (silent && !answerLabel) {
        answerLabel = new QLabel(ui->mainToolBar);
        answerLabel->setObjectName(QStringLiteral("label_noanswer"));
        answerLabel->setStyleSheet(QStringLiteral("color: #b00000;"));
        answerLabelAction =
                ui->mainToolBar->insertWidget(ui->mainToolBar->actions().value(0), answerLabel);
    }
    if (answerLabel) {
        answerLabel->setText(silent ? noAnswerText(answers->silentSince()) : QString());
        answerLabelAction->setVisible(silent);
    }

    // Fresh data while monitoring runs, and rows kept, need no tool tip, as designed.
    QStringList tip;
    if (answers->isStopped())
        tip.append(QStringLiteral("Monitoring stopped"));
    else if (answers->isStale())
        tip.append(noAnswerText(answers->silentSince()));
    if (!daemonNotice.isEmpty())
        tip.append(QStringLiteral("apcupsd is not running"));
    const QString notKept = database->notKeptReason();
    if (!notKept.isEmpty())
        tip.append(notKeptText(notKept));
    tray->setToolTip(tip.join(QLatin1Char('\n')));
}

void MainWindow::showDaemonState()
{
    daemonNotice = serviceControl()->daemonNotRunning();
    showDaemonNotice();
}

void MainWindow::showDaemonNotice()
{
    const bool starting = serviceControl()->isDaemonStartRunning();
    const bool shown = starting || !daemonNotice.isEmpty();
    if (shown && !daemonLabel) {
        // An addition to the designed window, in the tool bar's strip.
        daemonLabel = new QLabel(ui->mainToolBar);
        daemonLabel->setObjectName(QStringLiteral("label_daemon"));
        // In a tool bar, a widget is shown and hidden through its action.
        daemonLabelAction = ui->mainToolBar->addWidget(daemonLabel);
        ui->mainToolBar->addAction(startDaemonAction);
        if (trayicon && trayicon->contextMenu())
            trayicon->contextMenu()->addAction(startDaemonAction);
    }
    if (daemonLabel) {
        const QString text = starting
                ? QStringLiteral("Starting apcupsd: waiting for authorisation")
                : QStringLiteral("apcupsd is not running: ") + daemonNotice;
        daemonLabel->setText(
                daemonLabel->fontMetrics().elidedText(text, Qt::ElideRight, width() * 6 / 10));
        daemonLabel->setToolTip(text);
        daemonLabelAction->setVisible(shown);
    }
    startDaemonAction->setVisible(shown);
    startDaemonAction->setEnabled(!starting);
    showAnswerState();
}

QString MainWindow::notKeptText(const QString &reason)
{
    return QStringLiteral("Rows are not kept locally: ") + reason;
}

void MainWindow::showKeepingState()
{
    // An addition to the designed window: the strip of the tool bar under the
    // menu bar is empty, and shows this only while rows are not kept.
    const QString reason = database->notKeptReason();
    if (!reason.isEmpty() && !keepingLabel) {
        keepingLabel = new QLabel(ui->mainToolBar);
        keepingLabel->setObjectName(QStringLiteral("label_notkept"));
        ui->mainToolBar->addWidget(keepingLabel);
    }
    if (keepingLabel) {
        // The window cannot grow: a long reason is shortened, and whole in the tool tip.
        const QString text = reason.isEmpty() ? QString() : notKeptText(reason);
        keepingLabel->setText(
                keepingLabel->fontMetrics().elidedText(text, Qt::ElideRight, width() * 9 / 10));
        keepingLabel->setToolTip(text);
        keepingLabel->setVisible(!reason.isEmpty());
    }
    showAnswerState();
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
    if (!trayHost->isAvailable()) {
        showMinimized();
        return;
    }
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

ApcUpsdControl *MainWindow::serviceControl()
{
    if (!apcupsdcontrol)
        apcupsdcontrol = given.apcupsdcontrol ? given.apcupsdcontrol : ApcUpsdControl::instance();
    return apcupsdcontrol;
}

void MainWindow::onshowstart()
{
    const auto key = QStringLiteral("startminimised");
    if (registry->getKey(key).isEmpty())
        registry->setKey(key, QStringLiteral("true"));
    // Without a notification area, a hidden window could never be reached:
    // it stays.
    if (registry->getKey(key) == QLatin1String("true") && isVisible() && trayHost->isAvailable()) {
        hide();
        showBackgroundBalloon();
    }
    showtimer->stop();
}

void MainWindow::startmonitoring()
{
    if (core->isRunning())
        return;
    ui->actionStart->setEnabled(false);
    core->start(QThread::InheritPriority);
}

void MainWindow::stoptmonitoring()
{
    if (!core->isRunning())
        return;
    ui->actionStop->setEnabled(false);
    core->stop();
    answers->monitoringStopped();
    showAnswerState();
}

void MainWindow::monitoringstarted()
{
    ui->actionStart->setEnabled(false);
    ui->actionStop->setEnabled(true);
}

void MainWindow::monitoringstoped()
{
    ui->actionStart->setEnabled(true);
    ui->actionStop->setEnabled(false);
}

void MainWindow::refreshstatuslabels()
{
    // The whole value, also when the label shows it shortened.
    const QString status = comthrd->statusValue(QStringLiteral("STATUS"));
    if (status != laststatus) {
        laststatus = status;
        tray->showMessage(statusBalloonTitle, laststatus, QSystemTrayIcon::Information, 2000,
                          statusUrgency(laststatus));
        tray->setIcon(statusIcon(laststatus));
    }
    // No one sees the labels of a hidden window: they are set from the newest
    // record when it is shown again.
    statusLabelsBehind = !isVisible();
    if (!statusLabelsBehind)
        showStatusLabels();
}

void MainWindow::showStatusLabels()
{
    // "APC" is "revision,records,bytes"; anything else leaves the three labels as they are.
    const QStringList header =
            comthrd->statusValue(QStringLiteral("APC")).split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (header.size() == 3) {
        showValue(ui->label_VERSION_2, header.at(0));
        showValue(ui->label_VERSION_3, header.at(1));
        showValue(ui->label_VERSION_4, header.at(2));
    }

    const std::pair<QLatin1String, QLabel *> upToStatus[] = {
            {QLatin1String("DATE"), ui->label_DATE},
            {QLatin1String("HOSTNAME"), ui->label_HOSTNAME},
            {QLatin1String("VERSION"), ui->label_VERSION},
            {QLatin1String("UPSNAME"), ui->label_UPSNAME},
            {QLatin1String("CABLE"), ui->label_CABLE},
            {QLatin1String("DRIVER"), ui->label_DRIVER},
            {QLatin1String("UPSMODE"), ui->label_UPSMODE},
            {QLatin1String("STARTTIME"), ui->label_STARTTIME},
            {QLatin1String("MODEL"), ui->label_MODEL},
            {QLatin1String("STATUS"), ui->label_STATUS},
    };
    for (const auto &[key, label] : upToStatus)
        showValue(label, comthrd->statusValue(key));

    const std::pair<QLatin1String, QLabel *> afterStatus[] = {
            {QLatin1String("LINEV"), ui->label_LINEV},
            {QLatin1String("LOADPCT"), ui->label_LOADPCT},
            {QLatin1String("BCHARGE"), ui->label_BCHARGE},
            {QLatin1String("TIMELEFT"), ui->label_TIMELEFT},
            {QLatin1String("MBATTCHG"), ui->label_MBATTCHG},
            {QLatin1String("MINTIMEL"), ui->label_MINTIMEL},
            {QLatin1String("MAXTIME"), ui->label_MAXTIME},
            {QLatin1String("SENSE"), ui->label_SENSE},
            {QLatin1String("LOTRANS"), ui->label_LOTRANS},
            {QLatin1String("HITRANS"), ui->label_HITRANS},
            {QLatin1String("ALARMDEL"), ui->label_ALARMDEL},
            {QLatin1String("BATTV"), ui->label_BATTV},
            {QLatin1String("LASTXFER"), ui->label_LASTXFER},
            {QLatin1String("NUMXFERS"), ui->label_NUMXFERS},
            {QLatin1String("XONBATT"), ui->label_XONBATT},
            {QLatin1String("TONBATT"), ui->label_TONBATT},
            {QLatin1String("CUMONBATT"), ui->label_CUMONBATT},
            {QLatin1String("XOFFBATT"), ui->label_XOFFBATT},
            {QLatin1String("SELFTEST"), ui->label_SELFTEST},
            {QLatin1String("STATFLAG"), ui->label_STATFLAG},
            {QLatin1String("SERIALNO"), ui->label_SERIALNO},
            {QLatin1String("BATTDATE"), ui->label_BATTDATE},
            {QLatin1String("NOMINV"), ui->label_NOMINV},
            {QLatin1String("NOMBATTV"), ui->label_NOMBATTV},
            {QLatin1String("NOMPOWER"), ui->label_NOMPOWER},
            {QLatin1String("FIRMWARE"), ui->label_FIRMWARE},
            {QLatin1String("END APC"), ui->label_ENDAPC},
    };
    for (const auto &[key, label] : afterStatus)
        showValue(label, comthrd->statusValue(key));
}

void MainWindow::showValue(QLabel *label, const QString &value)
{
    // Most values repeat at every reply. The labels keep their place and size,
    // so a value already fitted to its label is left as it is: no text layout,
    // no repaint.
    const auto shown = shownValues.constFind(label);
    if (shown != shownValues.cend() && *shown == value)
        return;
    DesktopIntegration::setFittedText(label, value);
    shownValues.insert(label, value);
}

void MainWindow::showEvent(QShowEvent *event)
{
    if (statusLabelsBehind) {
        statusLabelsBehind = false;
        showStatusLabels();
    }
    QMainWindow::showEvent(event);
}

void MainWindow::hideEvent(QHideEvent *event)
{
    QMainWindow::hideEvent(event);
    // A minimised window stays visible; only one hidden in the tray is freed,
    // once the hiding has run its course.
    if (event->spontaneous() || !DesktopIntegration::freesHiddenWindows())
        return;
    QTimer::singleShot(0, this, [this] {
        if (isVisible() || !testAttribute(Qt::WA_WState_Created))
            return;
        freedAt = pos();
        destroy();
    });
}

void MainWindow::setVisible(bool visible)
{
    // A native window made anew would be placed by the window manager as if
    // it were new.
    if (visible && freedAt && !testAttribute(Qt::WA_WState_Created))
        move(*freedAt);
    freedAt.reset();
    QMainWindow::setVisible(visible);
}

void MainWindow::changeEvent(QEvent *event)
{
    // In another font the values are fitted anew.
    if (event->type() == QEvent::FontChange)
        shownValues.clear();
    QMainWindow::changeEvent(event);
}

void MainWindow::refreshevents()
{
    // Newest line first.
    QStringList lines = comthrd->eventLines();
    std::reverse(lines.begin(), lines.end());
    // The daemon sends its whole list about once a second; setting the same
    // rows again would reset the model and lay out and repaint the view.
    if (lines != eventsmodel->stringList())
        eventsmodel->setStringList(lines);
    ui->listView->setModel(eventsmodel);
}
