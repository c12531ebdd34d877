#include "dravik_view.h"

#include <sys/eventfd.h>
#include <unistd.h>
#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSocketNotifier>

#include <cstdint>
#include <map>
#include <utility>

#include "dialog_templates.h"
#include "dialog_units.h"
#include "resource.h"
#include "stop_token.h"

namespace {

// Raised once the process is interrupted; -1 while interrupts do not close the dialogs. Set
// before any thread starts.
int g_interruptFd = -1;

// The main dialog whose link messages are shown over it. Touched on the GUI thread only.
QPointer<CDravikView> g_linkMessageView;

// Called on the reply watcher's thread: the box is shown later, by the GUI thread's event loop.
void QueueLinkMessage(const std::wstring& message) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    QMetaObject::invokeMethod(
        app,
        [text = QString::fromStdWString(message)] {
            if (g_linkMessageView) {
                g_linkMessageView->ShowMessage(text.toStdWString());
            } else {
                ShowAppMessageBox(QApplication::activeModalWidget(), text);
            }
        },
        Qt::QueuedConnection);
}

// The desktop's UI font at the template's size, in place of "MS Shell Dlg", which Linux does
// not have.
QFont DialogFont(int pointSize) {
    QFont font = QApplication::font();
    font.setPointSize(pointSize);
    return font;
}

QWidget* CreateControl(QWidget* parent, const ControlTemplate& control, DialogBaseUnits base) {
    const QRect rect = DialogRectToPixels(control.rect, base);
    const QString text = QString::fromWCharArray(control.text);
    switch (control.windowClass) {
        case ControlClass::Button: {
            auto* button = new QPushButton(text, parent);
            // A Qt push button in a dialog is auto-default unless told otherwise: it turns
            // default when focused, and Enter in an edit box would press it. Only the
            // template's default push button is default.
            const bool isDefault = (control.style & kBsTypeMask) == kBsDefPushButton;
            button->setDefault(isDefault);
            button->setAutoDefault(isDefault);
            button->setGeometry(rect);
            return button;
        }
        case ControlClass::Edit: {
            auto* edit = new QLineEdit(text, parent);
            edit->setGeometry(rect);
            return edit;
        }
        case ControlClass::Static:
            break;
    }
    auto* label = new QLabel(parent);
    if ((control.style & kSsTypeMask) == kSsIcon) {
        // A static icon control takes the icon's own size at its template position; the
        // program has one icon.
        label->setPixmap(AppIcon().pixmap(32, 32));
        label->setGeometry(QRect(rect.topLeft(), QSize(32, 32)));
    } else {
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setText(text);
        label->setGeometry(rect);
    }
    return label;
}

// Gives `dialog` the template's caption, font and fixed size and creates its controls in
// template order, which is also the tab order, each named as the template names it. Returns
// the controls by ID, the static ones without an ID aside.
std::map<int, QWidget*> LayOut(QDialog& dialog, const DialogTemplate& dialogTemplate) {
    dialog.setWindowTitle(QString::fromWCharArray(dialogTemplate.caption));
    dialog.setFont(DialogFont(dialogTemplate.pointSize));
    const DialogBaseUnits base = MeasureBaseUnits(dialog.fontMetrics());
    dialog.setFixedSize(DialogRectToPixels(dialogTemplate.rect, base).size());
    std::map<int, QWidget*> byId;
    for (const ControlTemplate& control : dialogTemplate.controls) {
        QWidget* widget = CreateControl(&dialog, control, base);
        widget->setObjectName(QString::fromLatin1(control.name));
        if (control.id != kNoId) byId[control.id] = widget;
    }
    return byId;
}

template <typename T>
T* Control(const std::map<int, QWidget*>& controls, int id) {
    return qobject_cast<T*>(controls.at(id));
}

}  // namespace

bool CloseDialogsOnInterrupts() {
    // Qt is no place for another thread's calls: the thread that receives the signal raises
    // an eventfd, and each dialog's notifier for it ends the event loops on the GUI thread. The
    // exchange, should the GUI thread be in one, ends its wait by itself.
    g_interruptFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_interruptFd < 0) return false;
    return StopOnInterrupts([](int) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(g_interruptFd, &one, sizeof one);
    });
}

int InterruptedStatus() {
    const int signal = StopToken::Interrupt();
    return signal != 0 ? 128 + signal : 0;
}

QIcon AppIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48}) {
        icon.addFile(QStringLiteral(":/dravik/dravik-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

QString AppName() {
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

void ShowAppMessageBox(QWidget* parent, const QString& text) {
    // AfxMessageBox adds the exclamation icon to a plain MB_OK box; Warning is Qt's equivalent.
    QMessageBox box(QMessageBox::Warning, AppName(), text, QMessageBox::Ok, parent);
    box.exec();
}

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    const std::map<int, QWidget*> controls = LayOut(*this, AboutDialogTemplate());
    auto* ok = Control<QPushButton>(controls, kIdOk);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    ok->setFocus();
}

CDravikView::CDravikView() : m_dlg(*this) {
    CreateControls();
}

CDravikView::CDravikView(ISerialLayer& layer, PortLister lister)
    : m_dlg(*this, layer, std::move(lister)) {
    CreateControls();
}

CDravikView::~CDravikView() {
    if (g_linkMessageView == this) SetLinkMessageHook(nullptr);
}

void CDravikView::CreateControls() {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(AppIcon());
    const std::map<int, QWidget*> controls = LayOut(*this, MainDialogTemplate());
    m_exit = Control<QPushButton>(controls, kIdCancel);
    connect(m_exit, &QPushButton::clicked, this, &QDialog::reject);
    for (int k = 0; k < kChannelCount; ++k) {
        const auto i = static_cast<std::size_t>(k);
        m_set[i] = Control<QPushButton>(controls, IDC_SET0 + k);
        connect(m_set[i], &QPushButton::clicked, this, [this, k] { m_dlg.OnSet(k); });
        m_edit[i] = Control<QLineEdit>(controls, IDC_EDIT0 + k);
    }
    m_statusLabel = Control<QLabel>(controls, IDC_STATUS);

    // Qt would pick the first edit box; the template's first tab stop is EXIT.
    m_exit->setFocus();

    // Linux window managers own the window menu, so About sits in the context menu and on F1.
    auto* about = new QAction(QString::fromWCharArray(AboutMenuItem().text), this);
    about->setObjectName(QStringLiteral("about"));
    about->setShortcut(QKeySequence(Qt::Key_F1));
    connect(about, &QAction::triggered, this, &CDravikView::OnAbout);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    g_linkMessageView = this;
    SetLinkMessageHook(&QueueLinkMessage);

    if (g_interruptFd >= 0) {
        // Every event loop ends, a message box's as well as the dialog's: the dialog closes as
        // EXIT would close it.
        auto* interrupts = new QSocketNotifier(g_interruptFd, QSocketNotifier::Read, this);
        connect(interrupts, &QSocketNotifier::activated, this,
                [] { QCoreApplication::exit(InterruptedStatus()); });
    }
}

void CDravikView::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

std::wstring CDravikView::CorrectionText(int channel) {
    return m_edit[static_cast<std::size_t>(channel)]->text().toStdWString();
}

void CDravikView::ShowMessage(const std::wstring& text) {
    ShowAppMessageBox(this, QString::fromStdWString(text));
}

void CDravikView::ShowStatus(const std::wstring& text) {
    m_status = QString::fromStdWString(text);
    const QString shown =
        m_statusLabel->fontMetrics().elidedText(m_status, Qt::ElideRight, m_statusLabel->width());
    m_statusLabel->setText(shown);
    // A tooltip is rich text whenever Qt::mightBeRichText guesses so, and the line holds names
    // from outside (a process may call itself "<h1>"): escaped, it shows as plain text would,
    // on one line.
    m_statusLabel->setToolTip(shown == m_status
                                  ? QString()
                                  : QStringLiteral("<p style='white-space:pre'>") +
                                        m_status.toHtmlEscaped() + QStringLiteral("</p>"));
    // The GUI thread is about to block in discovery or the exchange: paint now, not later.
    m_statusLabel->repaint();
}

void CDravikView::SetBusy(bool busy) {
    if (busy == m_busy) return;
    m_busy = busy;
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

void CDravikView::keyPressEvent(QKeyEvent* event) {
    // As the Windows dialog manager does it: Enter presses the focused push button, and with
    // none focused it is the dialog's OK, which closes it (there is no default button).
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
        } else {
            accept();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}
