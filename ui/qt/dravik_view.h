#pragma once

// The Qt Widgets front end: the main dialog (template 102) as a view of CDravikDlg, and the
// About box (template 100). Every decision about the meter stays in CDravikDlg; this side lays
// out the controls, forwards the SET clicks and shows what the logic asks it to show.

#include <QDialog>
#include <QIcon>
#include <QString>
#include <array>
#include <string>

#include "dravik_dlg.h"

class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;

// Icon resource 128, with its 16, 32 and 48 px images.
QIcon AppIcon();
// Caption of every message box: the executable's file name without its extension.
QString AppName();
// The application's message box: modal, OK only, captioned with AppName().
void ShowAppMessageBox(QWidget* parent, const QString& text);

// Makes SIGINT, SIGTERM, SIGHUP, SIGQUIT and the other terminating signals StopOnInterrupts
// takes close the application's dialogs, as EXIT does: the port is then closed the normal way,
// by its destruction. Call it early in main, before any thread starts; the application made
// afterwards then ends its event loops with 128+N.
bool CloseDialogsOnInterrupts();
// What a run ended by an interrupt exits with (128+N); 0 for any other run.
int InterruptedStatus();

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

class CDravikView : public QDialog, public IDravikView {
    Q_OBJECT
  public:
    // On the platform's serial layer and port list.
    CDravikView();
    // On a given serial layer and port list.
    CDravikView(ISerialLayer& layer, PortLister lister);
    ~CDravikView() override;

    // The status line as the logic last set it, before any eliding.
    QString StatusText() const { return m_status; }

    std::wstring CorrectionText(int channel) override;
    void ShowMessage(const std::wstring& text) override;
    void ShowStatus(const std::wstring& text) override;
    void SetBusy(bool busy) override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void CreateControls();
    void OnAbout();

    CDravikDlg m_dlg;
    QPushButton* m_exit = nullptr;
    std::array<QPushButton*, kChannelCount> m_set{};
    std::array<QLineEdit*, kChannelCount> m_edit{};
    QLabel* m_statusLabel = nullptr;
    QString m_status;
    bool m_busy = false;
};
