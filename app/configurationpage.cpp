// The configuration page of the main window: every setting shown, edited and
// saved, one "Save" per tab.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "apcupsdconf.h"
#include "apcupsdcontrol.h"
#include "columnfit.h"
#include "comthrd.h"
#include "core.h"
#include "database.h"
#include "desktopintegration.h"
#include "logs.h"
#include "registry.h"
#include "userregistry.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QTime>

#include <exception>

namespace {

const auto trueText = QStringLiteral("true");
const auto falseText = QStringLiteral("false");
const auto usbText = QStringLiteral("USB");
const auto serialText = QStringLiteral("RS232");
const auto noPortText = QStringLiteral("NA");
const auto administrationLeaf = QStringLiteral("Administration");
const auto machineNumberKey = QStringLiteral("MachineNumber");
const auto refusedEditStyle = QStringLiteral("QLineEdit { border: 1px solid #b00000; }");

// The entry of the device list that names port, or -1.
int entryOfPort(const QComboBox *combo, const QString &port)
{
    const QString needle = QLatin1Char('(') + port + QLatin1Char(')');
    for (int i = 0; i < combo->count(); ++i) {
        if (combo->itemText(i).contains(needle, Qt::CaseSensitive))
            return i;
    }
    return -1;
}

QLabel *makeProblemLabel(QWidget *tab, int y)
{
    auto *label = new QLabel(tab);
    label->setObjectName(tab->objectName() + QStringLiteral("_problem"));
    label->setGeometry(10, y, 450, 60);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setStyleSheet(QStringLiteral("color: #b00000;"));
    label->hide();
    return label;
}

} // namespace

void MainWindow::configurationui()
{
    loadconfigurationui();
    ui->stackedWidget->setCurrentIndex(1);
}

void MainWindow::on_pushButton_2_clicked()
{
    ui->stackedWidget->setCurrentIndex(0);
}

void MainWindow::on_pushButton_clicked()
{
    serviceControl()->requestSelfTest();
}

void MainWindow::setPortRowVisible(bool visible)
{
    ui->label_23->setVisible(visible);
    ui->comboBox_2->setVisible(visible);
    ui->pushButtonRefreshDevicesList->setVisible(visible);
}

void MainWindow::loadconfigurationui()
{
    if (!apcServerProblem) {
        apcServerProblem = makeProblemLabel(ui->tab_6, 70);
        databaseProblem = makeProblemLabel(ui->tab_3, 190);
        generalProblem = makeProblemLabel(ui->tab_5, 60);
        upsConfigProblem = makeProblemLabel(ui->tab_4, 70);
        // In the problem's place: a save under way, and its outcome.
        upsConfigState = makeProblemLabel(ui->tab_4, 70);
        upsConfigState->setObjectName(QStringLiteral("tab_4_state"));
        upsConfigState->setStyleSheet(QString());
        // Where the administrator's own file goes once Voltrine writes it.
        const InstallationProfile &installed = serviceControl()->profile();
        if (!installed.configBackupSuffix.isEmpty()) {
            auto *copies = new QLabel(ui->tab_4);
            copies->setObjectName(QStringLiteral("tab_4_copies"));
            copies->setGeometry(10, 135, 450, 60);
            copies->setWordWrap(true);
            copies->setTextFormat(Qt::PlainText);
            QString text = QStringLiteral("A save keeps the file it replaces as %1%2")
                                   .arg(installed.configFile, installed.configBackupSuffix);
            if (!installed.configOriginalSuffix.isEmpty())
                text += QStringLiteral(", and the file as it was before the first save as %1%2")
                                .arg(installed.configFile, installed.configOriginalSuffix);
            copies->setText(text + QLatin1Char('.'));
        }
        if (installed.keepsNisAddress) {
            nisBox = new QCheckBox(QStringLiteral("Other machines may ask apcupsd for the UPS "
                                                  "status (NISIP 0.0.0.0)"),
                                   ui->tab_4);
            nisBox->setObjectName(QStringLiteral("checkBoxnisany"));
            nisBox->setGeometry(10, 200, 450, 17);
            connect(nisBox, &QCheckBox::clicked, this,
                    &MainWindow::on_comboBox_2_currentTextChanged);
        }
        if (DesktopIntegration::autostartAvailable()) {
            autostartBox =
                    new QCheckBox(QStringLiteral("Start with the desktop session"), ui->tab_5);
            autostartBox->setObjectName(QStringLiteral("checkBoxautostart"));
            autostartBox->setGeometry(10, 35, 201, 17);
            connect(autostartBox, &QCheckBox::clicked, this,
                    &MainWindow::on_checkBoxstartminimised_clicked);
        }
        if (DesktopIntegration::machineNumberAvailable()) {
            // Under the interval, right of the line that ends the connection's fields.
            machineNumberCaption = new QLabel(QStringLiteral("Machine number"), ui->tab_3);
            machineNumberCaption->setObjectName(QStringLiteral("label_84"));
            machineNumberCaption->setGeometry(258, 70, 161, 16);
            machineNumberEdit = new QLineEdit(ui->tab_3);
            machineNumberEdit->setObjectName(QStringLiteral("lineEditmachinenumber"));
            machineNumberEdit->setGeometry(260, 90, 91, 20);
            QWidget::setTabOrder(ui->timeEdit, machineNumberEdit);
            connect(machineNumberEdit, &QLineEdit::textChanged, this,
                    &MainWindow::on_lineEdit_3_textChanged);
        }
    }
    for (QLineEdit *edit : ui->page_2->findChildren<QLineEdit *>())
        edit->setStyleSheet(QString());
    ui->comboBox_2->setStyleSheet(QString());
    apcServerProblem->hide();
    databaseProblem->hide();
    generalProblem->hide();
    upsConfigProblem->hide();
    upsConfigState->hide();

    ui->tabWidget_3->setCurrentIndex(0);

    const QString startMinimised = registry->getKey(QStringLiteral("startminimised"));
    if (startMinimised == trueText)
        ui->checkBoxstartminimised->setChecked(true);
    else if (startMinimised == falseText)
        ui->checkBoxstartminimised->setChecked(false);
    if (autostartBox)
        autostartBox->setChecked(DesktopIntegration::autostartEnabled());

    ui->lineEdit->setText(registry->getKey(QStringLiteral("upshost")));
    ui->lineEdit_2->setText(registry->getKey(QStringLiteral("upsport")));
    ui->lineEdit_3->setText(registry->getKey(QStringLiteral("dbhost")));
    ui->lineEdit_4->setText(registry->getKey(QStringLiteral("dbport")));
    ui->lineEdit_5->setText(registry->getKey(QStringLiteral("dbvdriver")));
    ui->lineEdit_6->setText(registry->getKey(QStringLiteral("dbname")));
    ui->lineEdit_7->setText(registry->getKey(QStringLiteral("dbuser")));
    // The stored, encoded text: a save compares against it.
    ui->lineEdit_8->setText(registry->getKey(QStringLiteral("dbpasswd")));
    if (machineNumberEdit)
        machineNumberEdit->setText(
                openUserRegistry(administrationLeaf)->value(machineNumberKey).toString());

    const int interval = registry->getKey(QStringLiteral("dblogtime")).toInt();
    const int minutes = interval / 60000;
    const int seconds = (interval % 60000) / 1000;
    // 60 minutes or more is no time of the field: it is left as it is.
    const QTime time = QTime::fromString(QString::number(minutes) + QLatin1Char(':') +
                                                 QString::number(seconds),
                                         QStringLiteral("m:s"));
    if (time.isValid())
        ui->timeEdit->setTime(time);
    // What the field shows now stands for the stored interval until the user
    // changes it, also when it could not show that interval.
    intervalAtLoad = ui->timeEdit->time();

    on_pushButtonRefreshDevicesList_clicked();

    const QString connectorType = registry->getKey(QStringLiteral("upscontype"));
    const QString port = registry->getKey(QStringLiteral("uspcomport"));
    const int typeIndex = ui->comboBox->findText(connectorType, Qt::MatchExactly);
    if (typeIndex >= 0)
        ui->comboBox->setCurrentIndex(typeIndex);
    const int portIndex = entryOfPort(ui->comboBox_2, port);
    if (portIndex >= 0)
        ui->comboBox_2->setCurrentIndex(portIndex);
    if (connectorType == usbText)
        setPortRowVisible(false);
    else if (connectorType == serialText)
        setPortRowVisible(true);
    if (nisBox) {
        QFile file(serviceControl()->profile().configFile);
        nisAnyAtLoad = file.open(QIODevice::ReadOnly) &&
                nisAddressOf(file.readAll()) == QLatin1String("0.0.0.0");
        nisBox->setChecked(nisAnyAtLoad);
    }
    // Said before the user tries, rather than after a save that cannot work.
    if (serviceControl()->isConfigSaveRunning()) {
        showUpsConfigState(QStringLiteral("A save of apcupsd.conf is under way."), false);
    } else if (serviceControl()->configNeedsAdministrator()) {
        showUpsConfigState(
                QStringLiteral("Changing the UPS connection needs administrator rights: %1 can "
                               "only be changed by root here.")
                        .arg(serviceControl()->profile().configFile),
                true);
    }

    ui->pushButtonSavegeneral->setEnabled(false);
    ui->pushButton_saveapcupsd->setEnabled(false);
    ui->pushButton_savedatabaseinfo->setEnabled(false);
    ui->pushButton_saveupsconf->setEnabled(false);
}

void MainWindow::on_pushButtonRefreshDevicesList_clicked()
{
    try {
        ui->pushButtonRefreshDevicesList->setEnabled(false);
        ui->comboBox_2->clear();
        ui->comboBox_2->addItem(noPortText);
        ApcUpsdControl *control = serviceControl();
        ui->comboBox_2->addItems(control->listDevices(control->profile().deviceFilter));
        const int portIndex =
                entryOfPort(ui->comboBox_2, registry->getKey(QStringLiteral("uspcomport")));
        if (portIndex >= 0)
            ui->comboBox_2->setCurrentIndex(portIndex);
    } catch (const std::exception &e) {
        // The refresh also runs before the window has taken the log.
        Logs *log = logs;
        if (!log)
            log = given.logs ? given.logs : Logs::instance();
        log->trace(QStringLiteral("Exception when refresh devices list ") +
                   QString::fromLocal8Bit(e.what()));
    }
    ui->pushButtonRefreshDevicesList->setEnabled(true);
}

namespace {

QString fieldName(const QLabel *caption, const QString &key)
{
    return caption->text() + QStringLiteral(" (") + key + QStringLiteral(")");
}

// Why text cannot be stored under key so that the next start reads it back,
// or an empty string when it can. An encoded value (the password) is never
// repeated.
QString refusalOf(const QLabel *caption, const QString &key, const QString &text, bool encoded)
{
    if (Registry::isLoadable(key, text, encoded))
        return QString();
    const QString name = fieldName(caption, key);
    if (text.isEmpty())
        return name + QStringLiteral(": cannot be empty.");
    if (encoded)
        return name +
                QStringLiteral(": cannot be stored; use Western European (Latin-1) "
                               "characters only.");
    return name + QStringLiteral(": \"") + text +
            QStringLiteral("\" cannot be stored; use letters, digits, dots, dashes and "
                           "underscores, without blanks.");
}

// Why number (trimmed) cannot be the machine number the rows carry, or an
// empty string when it can; empty stands for no number.
QString machineNumberRefusal(const QString &name, const QString &number)
{
    const QString quoted = name + QStringLiteral(": \"") + number + QStringLiteral("\" ");
    // The tables' mcid column is latin1: anything else would be stored as "?".
    for (const QChar character : number) {
        if (!character.isPrint() || !latin1Holds(character.unicode()))
            return quoted +
                    QStringLiteral("cannot be stored; use Western European (Latin-1) "
                                   "characters only.");
    }
    // A longer one would be cut, and might then name another machine.
    if (number.size() > Core::machineNumberLength)
        return quoted +
                QStringLiteral("is longer than %1 characters, the width of the database's "
                               "mcid column.")
                        .arg(Core::machineNumberLength);
    // What the rows of a machine without a number carry.
    if (number.compare(QLatin1String("N/A"), Qt::CaseInsensitive) == 0)
        return quoted + QStringLiteral("stands for no number; leave the field empty instead.");
    return QString();
}

void showProblems(QLabel *problemLabel, const QStringList &problems)
{
    problemLabel->setText(problems.join(QLatin1Char('\n')));
    problemLabel->setVisible(!problems.isEmpty());
}

} // namespace

bool MainWindow::checkLoadable(const QList<PageField> &fields, QLabel *problemLabel)
{
    QStringList problems;
    for (const PageField &field : fields) {
        const QString text = field.edit->text();
        const QString problem = field.refusal
                ? field.refusal(fieldName(field.caption, field.key), text)
                : refusalOf(field.caption, field.key, text, field.encoded);
        field.edit->setStyleSheet(problem.isEmpty() ? QString() : refusedEditStyle);
        if (!problem.isEmpty())
            problems.append(problem);
    }
    showProblems(problemLabel, problems);
    return problems.isEmpty();
}

void MainWindow::on_pushButtonSavegeneral_clicked()
{
    registry->setKey(QStringLiteral("startminimised"),
                     ui->checkBoxstartminimised->isChecked() ? trueText : falseText);
    registry->save();
    if (autostartBox) {
        QString error;
        const bool saved =
                DesktopIntegration::setAutostartEnabled(autostartBox->isChecked(), &error);
        if (!saved) {
            const QString message = QStringLiteral("Can not change the autostart entry %1: %2")
                                            .arg(DesktopIntegration::autostartEntryPath(), error);
            logs->trace(message);
            generalProblem->setText(message);
        }
        generalProblem->setVisible(!saved);
    }
    ui->pushButtonSavegeneral->setEnabled(false);
}

void MainWindow::on_checkBoxstartminimised_clicked()
{
    ui->pushButtonSavegeneral->setEnabled(true);
}

void MainWindow::on_pushButton_saveapcupsd_clicked()
{
    // A value that the next start could not read back is refused here.
    if (!checkLoadable({{QStringLiteral("upshost"), ui->label_2, ui->lineEdit},
                        {QStringLiteral("upsport"), ui->label_5, ui->lineEdit_2}},
                       apcServerProblem))
        return;
    comthrd->setConnection(ui->lineEdit->text(), ui->lineEdit_2->text());
    ui->pushButton_saveapcupsd->setEnabled(false);
}

void MainWindow::on_lineEdit_textChanged()
{
    ui->pushButton_saveapcupsd->setEnabled(true);
}

void MainWindow::on_lineEdit_2_textChanged()
{
    ui->pushButton_saveapcupsd->setEnabled(true);
}

void MainWindow::on_lineEdit_3_textChanged()
{
    ui->pushButton_savedatabaseinfo->setEnabled(true);
}

void MainWindow::on_lineEdit_4_textChanged()
{
    ui->pushButton_savedatabaseinfo->setEnabled(true);
}

void MainWindow::on_lineEdit_5_textChanged()
{
    ui->pushButton_savedatabaseinfo->setEnabled(true);
}

void MainWindow::on_lineEdit_6_textChanged()
{
    ui->pushButton_savedatabaseinfo->setEnabled(true);
}

void MainWindow::on_lineEdit_7_textChanged()
{
    ui->pushButton_savedatabaseinfo->setEnabled(true);
}

void MainWindow::on_lineEdit_8_textChanged()
{
    ui->pushButton_savedatabaseinfo->setEnabled(true);
}

void MainWindow::on_timeEdit_timeChanged()
{
    ui->pushButton_savedatabaseinfo->setEnabled(true);
}

void MainWindow::on_pushButton_savedatabaseinfo_clicked()
{
    const QString storedPassword = registry->getKey(QStringLiteral("dbpasswd"));
    const bool passwordChanged = storedPassword != ui->lineEdit_8->text();
    QList<PageField> fields{{QStringLiteral("dbhost"), ui->label_8, ui->lineEdit_3},
                            {QStringLiteral("dbport"), ui->label_15, ui->lineEdit_4},
                            {QStringLiteral("dbvdriver"), ui->label_7, ui->lineEdit_5},
                            {QStringLiteral("dbname"), ui->label_11, ui->lineEdit_6},
                            {QStringLiteral("dbuser"), ui->label_9, ui->lineEdit_7}};
    if (passwordChanged)
        fields.append({QStringLiteral("dbpasswd"), ui->label_13, ui->lineEdit_8, true});
    if (machineNumberEdit) {
        // Blanks around the number would only be stored with it.
        const QString trimmed = machineNumberEdit->text().trimmed();
        if (trimmed != machineNumberEdit->text())
            machineNumberEdit->setText(trimmed);
        fields.append({machineNumberKey, machineNumberCaption, machineNumberEdit, false,
                       &machineNumberRefusal});
    }
    if (!checkLoadable(fields, databaseProblem))
        return;
    if (machineNumberEdit && !storeMachineNumber(machineNumberEdit->text()))
        return;

    registry->setKey(QStringLiteral("dbhost"), ui->lineEdit_3->text());
    registry->setKey(QStringLiteral("dbport"), ui->lineEdit_4->text());
    registry->setKey(QStringLiteral("dbvdriver"), ui->lineEdit_5->text());
    registry->setKey(QStringLiteral("dbname"), ui->lineEdit_6->text());
    registry->setKey(QStringLiteral("dbuser"), ui->lineEdit_7->text());
    // An untouched field holds the encoded text; encoding it again would
    // store a different password.
    if (passwordChanged)
        registry->setKey(QStringLiteral("dbpasswd"), ui->lineEdit_8->text(), true);

    // A stored interval the field cannot show (an hour or more, a part of a
    // second) is kept while the field is left alone.
    const QTime time = ui->timeEdit->time();
    const int storedInterval = registry->getKey(QStringLiteral("dblogtime")).toInt();
    core->setLoggingInterval(time == intervalAtLoad && storedInterval > 0
                                     ? storedInterval
                                     : (time.minute() * 60 + time.second()) * 1000);
    registry->save();
    database->openConnection();
    ui->pushButton_savedatabaseinfo->setEnabled(false);
}

bool MainWindow::storeMachineNumber(const QString &number)
{
    auto administration = openUserRegistry(administrationLeaf);
    if (number.isEmpty())
        administration->remove(machineNumberKey);
    else
        administration->setValue(machineNumberKey, number);
    administration->sync();
    if (administration->status() != QSettings::NoError) {
        const QString problem = fieldName(machineNumberCaption, machineNumberKey) +
                QStringLiteral(": cannot be written to ") + administration->fileName() +
                QLatin1Char('.');
        logs->trace(problem);
        machineNumberEdit->setStyleSheet(refusedEditStyle);
        showProblems(databaseProblem, {problem});
        return false;
    }
    core->setMachineNumber(number);
    return true;
}

void MainWindow::on_comboBox_currentTextChanged(QString arg1)
{
    if (arg1 == usbText)
        setPortRowVisible(false);
    else if (arg1 == serialText)
        setPortRowVisible(true);
    ui->pushButton_saveupsconf->setEnabled(true);
}

void MainWindow::on_comboBox_2_currentTextChanged()
{
    ui->pushButton_saveupsconf->setEnabled(true);
}

void MainWindow::on_pushButton_saveupsconf_clicked()
{
    const QString connectorType = ui->comboBox->currentText();
    const QString entry = ui->comboBox_2->currentText();
    QString port = entry;
    const int open = port.indexOf(QLatin1Char('('));
    if (open >= 0)
        port.remove(0, open + 1);
    port.remove(QLatin1Char(')'));
    // A device name with parentheses of its own gives a port the next start
    // could not read back: it is refused like the other tabs' values.
    QString problem;
    if (connectorType == serialText && !entry.isEmpty())
        problem = refusalOf(ui->label_23, QStringLiteral("uspcomport"), port, false);
    // Where the port names a device file, "NA" would name /dev/NA, and the
    // helper that writes the file takes plain device names only.
    if (connectorType == serialText && !serviceControl()->profile().serialDevicePrefix.isEmpty()) {
        if (port == noPortText)
            problem = QStringLiteral("Choose the serial port the UPS is connected to.");
        else if (problem.isEmpty() && !isSerialDeviceName(port))
            problem = QStringLiteral("%1 (uspcomport): \"%2\" is not a serial device name; use "
                                     "one of letters and digits only, such as ttyUSB0.")
                              .arg(ui->label_23->text(), port);
    }
    ApcUpsdControl *control = serviceControl();
    // Linux: the save waits for the user's password on a thread of its own,
    // and one save at a time.
    const bool aside =
            control->profile().daemonControl != InstallationProfile::DaemonControl::ProcessCommands;
    if (aside && control->isConfigSaveRunning()) {
        showUpsConfigState(QStringLiteral("A save of apcupsd.conf is under way: wait for its "
                                          "outcome before saving again."),
                           true);
        return;
    }
    ui->comboBox_2->setStyleSheet(
            problem.isEmpty() ? QString()
                              : QStringLiteral("QComboBox { border: 1px solid #b00000; }"));
    showProblems(upsConfigProblem, problem.isEmpty() ? QStringList() : QStringList{problem});
    upsConfigState->hide();
    if (!problem.isEmpty())
        return;

    ui->pushButton_saveupsconf->setEnabled(false);
    if (aside) {
        const bool usb = connectorType == usbText;
        savingConnector = usb ? usbText : serialText;
        savingPort = usb ? QString() : port;
        NisAccess nis = NisAccess::Keep;
        if (nisBox && nisBox->isChecked() != nisAnyAtLoad)
            nis = nisBox->isChecked() ? NisAccess::AnyNetwork : NisAccess::ThisMachine;
        control->startConfigSave(usb ? UpsConnection::Usb : UpsConnection::Serial, savingPort, nis);
        const InstallationProfile &installed = control->profile();
        const bool asks = !installed.administrator && !installed.configHelper.isEmpty();
        showUpsConfigState(asks ? QStringLiteral("Waiting for authorisation to change "
                                                 "apcupsd.conf...")
                                : QStringLiteral("Saving apcupsd.conf..."),
                           false);
        return;
    }

    const QString typeBefore = registry->getKey(QStringLiteral("upscontype"));
    const QString portBefore = registry->getKey(QStringLiteral("uspcomport"));
    bool written = false;
    if (connectorType == usbText) {
        registry->setKey(QStringLiteral("upscontype"), usbText);
        control->writeUsbConfig();
        written = true;
    } else if (connectorType == serialText) {
        registry->setKey(QStringLiteral("upscontype"), serialText);
        if (entry.isEmpty()) {
            registry->setKey(QStringLiteral("uspcomport"), noPortText);
        } else {
            registry->setKey(QStringLiteral("uspcomport"), port);
            control->writeComConfig(registry->getKey(QStringLiteral("uspcomport")));
            written = true;
        }
    }
    // confdata says what apcupsd.conf holds: a save that left the file as it
    // was changes neither.
    if (written && control->configLeftUnchanged()) {
        registry->setKey(QStringLiteral("upscontype"), typeBefore);
        registry->setKey(QStringLiteral("uspcomport"), portBefore);
    }
    registry->save();
    // What kept the save from taking effect; never anything on Windows.
    const QString notApplied = control->configProblem();
    upsConfigProblem->setText(notApplied);
    upsConfigProblem->setVisible(!notApplied.isEmpty());
}

void MainWindow::upsConfigSaveFinished()
{
    if (savingConnector.isEmpty())
        return;
    ApcUpsdControl *control = serviceControl();
    // confdata says what apcupsd.conf holds: a save that left the file as it
    // was changes neither.
    if (!control->configLeftUnchanged()) {
        registry->setKey(QStringLiteral("upscontype"), savingConnector);
        if (savingConnector == serialText)
            registry->setKey(QStringLiteral("uspcomport"), savingPort);
        registry->save();
    }
    savingConnector.clear();
    savingPort.clear();
    const QString notApplied = control->configProblem();
    if (!notApplied.isEmpty()) {
        showUpsConfigState(notApplied, true);
        return;
    }
    showUpsConfigState(QStringLiteral("apcupsd.conf was saved."), false);
    if (nisBox)
        nisAnyAtLoad = nisBox->isChecked();
}

void MainWindow::showUpsConfigState(const QString &text, bool problem)
{
    QLabel *shown = problem ? upsConfigProblem : upsConfigState;
    QLabel *hidden = problem ? upsConfigState : upsConfigProblem;
    hidden->hide();
    shown->setText(text);
    shown->setVisible(!text.isEmpty());
}
