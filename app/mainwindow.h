#pragma once

#include <QHash>
#include <QMainWindow>
#include <QPoint>
#include <QString>
#include <QSystemTrayIcon>
#include <QTime>

#include <optional>

class AnswerWatch;
class QAction;
class ApcUpsdControl;
class COMThrd;
class Core;
class DataBase;
class HistoryPage;
class Logs;
class TrayHost;
class QCheckBox;
class QCloseEvent;
class QEvent;
class QDateTime;
class QLabel;
class QLineEdit;
class QStringListModel;
class QTimer;
class Registry;
class TrayNotifier;

namespace Ui {
class MainWindow;
}

// The program's one window: the status page, the events list and the
// configuration page, and the tray icon through which the program lives while
// the window is hidden. Closing the window hides it; only the tray menu's
// "Exit", confirmed, ends the program. The window is also the root of the
// program: it obtains every subsystem, wires them and starts monitoring.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY(MainWindow)

public:
    // The subsystems the window works with. A missing one is the process-wide
    // instance, obtained at its place in the construction; tests pass their own.
    struct Subsystems
    {
        Registry *registry = nullptr;
        Logs *logs = nullptr;
        ApcUpsdControl *apcupsdcontrol = nullptr;
        COMThrd *comthrd = nullptr;
        DataBase *database = nullptr;
        Core *core = nullptr;
        // What tells whether the desktop has a notification area; by default,
        // the desktop session itself.
        TrayHost *trayHost = nullptr;
    };

    explicit MainWindow(QWidget *parent = nullptr);
    explicit MainWindow(const Subsystems &subsystems, QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void setVisible(bool visible) override;
    void changeEvent(QEvent *event) override;

private slots:
    void refreshstatuslabels();
    void refreshevents();
    void configurationui();
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void startmonitoring();
    void stoptmonitoring();
    void monitoringstarted();
    void monitoringstoped();
    void on_exit();
    void on_showhide(QSystemTrayIcon::ActivationReason reason);
    void showfromtry();
    void hidetotry();
    void onshowstart();
    void on_pushButtonSavegeneral_clicked();
    void on_checkBoxstartminimised_clicked();
    void on_pushButton_saveapcupsd_clicked();
    void on_lineEdit_textChanged();
    void on_lineEdit_2_textChanged();
    void on_lineEdit_3_textChanged();
    void on_lineEdit_4_textChanged();
    void on_lineEdit_5_textChanged();
    void on_lineEdit_6_textChanged();
    void on_lineEdit_7_textChanged();
    void on_lineEdit_8_textChanged();
    void on_pushButton_savedatabaseinfo_clicked();
    void on_timeEdit_timeChanged();
    void on_comboBox_currentTextChanged(QString arg1);
    void on_comboBox_2_currentTextChanged();
    void on_pushButton_saveupsconf_clicked();
    void on_pushButtonRefreshDevicesList_clicked();
    void upsConfigSaveFinished();
    void showDaemonState();

private:
    void showBackgroundBalloon();
    // Without a notification area the window is minimised where it would be
    // hidden, so that it can always be reached.
    void putAway();
    void followTrayHost();
    void showTrayHostState();
    // Sets a value label, fitted to its room, unless it shows value already.
    void showValue(QLabel *label, const QString &value);
    // The status page's labels from the newest record.
    void showStatusLabels();
    void fixWindowSize();
    void createTrayIcon();
    void addHistoryTab();
    // The tray while apcupsd does not answer: its own icon, tool tip and balloons.
    void watchAnswers();
    void showAnswerState();
    static QString noAnswerText(const QDateTime &since);
    // Says on the window and in the tray's tool tip why rows are not kept locally.
    void showKeepingState();
    static QString notKeptText(const QString &reason);
    // Linux: says on the window and in the tray's tool tip that the local
    // apcupsd was left stopped rather than ask for a password, and offers
    // the start that asks.
    void showDaemonNotice();
    // Linux: the state of a UPS Configuration save on the tab: under way,
    // then its outcome; problem texts in red.
    void showUpsConfigState(const QString &text, bool problem);
    void loadconfigurationui();
    ApcUpsdControl *serviceControl();
    void setPortRowVisible(bool visible);
    // A line edit of the configuration page and the setting it stores.
    struct PageField
    {
        QString key;
        QLabel *caption;
        QLineEdit *edit;
        // Stored hex-encoded (the password): only an empty text or one beyond
        // Latin-1 fails, and the text is never shown back.
        bool encoded = false;
        // A value kept outside confdata: why text cannot be stored (name is
        // the caption with the key), or an empty string when it can.
        QString (*refusal)(const QString &name, const QString &text) = nullptr;
    };
    // Checks that each field's text loads again at the next start; marks the
    // fields that would not and says why on problemLabel.
    bool checkLoadable(const QList<PageField> &fields, QLabel *problemLabel);
    // Linux: stores the machine number and gives it to the core; says on the
    // Database tab when the file could not be written.
    bool storeMachineNumber(const QString &number);

    Ui::MainWindow *ui;
    Registry *registry = nullptr;
    Core *core = nullptr;
    Logs *logs = nullptr;
    ApcUpsdControl *apcupsdcontrol = nullptr;
    COMThrd *comthrd = nullptr;
    QSystemTrayIcon *trayicon = nullptr;
    QTimer *showtimer = nullptr;
    QStringListModel *eventsmodel = nullptr;
    DataBase *database = nullptr;
    QString laststatus;
    // A record arrived while the window was hidden, and is not shown yet.
    bool statusLabelsBehind = false;
    // Where a window whose native window was freed stood, to be shown there again.
    std::optional<QPoint> freedAt;
    // The value each label was last fitted from.
    QHash<QLabel *, QString> shownValues;

    Subsystems given;
    TrayNotifier *tray = nullptr;
    AnswerWatch *answers = nullptr;
    HistoryPage *history = nullptr;
    // laststatus when apcupsd went silent.
    QString statusWhenSilent;
    QLabel *apcServerProblem = nullptr;
    // Shown in the tool bar while rows are not kept locally.
    QLabel *keepingLabel = nullptr;
    QLabel *databaseProblem = nullptr;
    // The interval field's time after the last load of the page.
    QTime intervalAtLoad;
    // Linux: the autostart check box of the General tab, and what keeps the
    // General and UPS Configuration saves from taking effect.
    QCheckBox *autostartBox = nullptr;
    // Linux: the machine number field of the Database tab and its caption.
    QLabel *machineNumberCaption = nullptr;
    QLineEdit *machineNumberEdit = nullptr;
    QLabel *generalProblem = nullptr;
    QLabel *upsConfigProblem = nullptr;
    QLabel *upsConfigState = nullptr;
    // Linux: what other machines may ask apcupsd (NISIP), as the file was at
    // the page's load; a save changes it only when the box was changed.
    QCheckBox *nisBox = nullptr;
    bool nisAnyAtLoad = false;
    // Linux: the connection of the save under way, stored once the file is written.
    QString savingConnector;
    QString savingPort;
    // Linux: why the local apcupsd was left stopped, until it answers; the
    // tool bar's label and the action that starts it, asking.
    QString daemonNotice;
    QLabel *daemonLabel = nullptr;
    QAction *daemonLabelAction = nullptr;
    // Linux: in the tool bar while apcupsd is silent.
    QLabel *answerLabel = nullptr;
    QAction *answerLabelAction = nullptr;
    TrayHost *trayHost = nullptr;
    // While the desktop has no notification area: said in the tool bar, and
    // the File menu's Exit, the tray menu's being out of reach.
    QLabel *noTrayLabel = nullptr;
    QAction *noTrayLabelAction = nullptr;
    QAction *fileExitAction = nullptr;
    QAction *startDaemonAction = nullptr;
};
