#pragma once

#include <QMainWindow>
#include <QString>
#include <QSystemTrayIcon>

class QCloseEvent;
class QStringListModel;
class COMThrd;
class Logs;
class Registry;
class TrayNotifier;

namespace Ui {
class MainWindow;
}

// The program's one window: the status page, the events list and the
// configuration page, and the tray icon through which the program lives while
// the window is hidden. Closing the window hides it; only the tray menu's
// "Exit", confirmed, ends the program.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY(MainWindow)

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent *event) override;

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

private:
    void showBackgroundBalloon();
    void fixWindowSize();
    void createTrayIcon();

    Ui::MainWindow *ui;
    Registry *registry;
    Logs *logs;
    COMThrd *comthrd = nullptr;
    QSystemTrayIcon *trayicon = nullptr;
    TrayNotifier *tray = nullptr;
    QStringListModel *eventsmodel = nullptr;
    QString laststatus;
};
