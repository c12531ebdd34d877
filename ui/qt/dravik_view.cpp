#include "dravik_view.h"

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
#include <utility>

#include "dialog_units.h"

namespace {

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

QLabel* CreateStatic(QWidget* parent, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// The main dialog has no default button. A Qt push button in a dialog is auto-default unless
// told otherwise: it turns default when focused, and Enter in an edit box would press it.
QPushButton* CreateButton(QWidget* parent, const QString& text) {
    auto* button = new QPushButton(text, parent);
    button->setAutoDefault(false);
    return button;
}

}  // namespace

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

QFont DialogFont() {
    QFont font = QApplication::font();
    font.setPointSize(8);
    return font;
}

void ShowAppMessageBox(QWidget* parent, const QString& text) {
    // AfxMessageBox adds the exclamation icon to a plain MB_OK box; Warning is Qt's equivalent.
    QMessageBox box(QMessageBox::Warning, AppName(), text, QMessageBox::Ok, parent);
    box.exec();
}

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("About Z9M4-SET"));
    setFont(DialogFont());
    const DialogBaseUnits base = MeasureBaseUnits(fontMetrics());
    setFixedSize(DialogRectToPixels({0, 0, 235, 55}, base).size());

    // A static icon control takes the icon's own size at its template position.
    auto* icon = new QLabel(this);
    const QRect iconRect = DialogRectToPixels({11, 17, 20, 20}, base);
    icon->setPixmap(AppIcon().pixmap(32, 32));
    icon->setGeometry(iconRect.x(), iconRect.y(), 32, 32);

    CreateStatic(this, QStringLiteral("Z9M4-SET Version 1.0"))
        ->setGeometry(DialogRectToPixels({40, 10, 119, 8}, base));
    CreateStatic(this, QStringLiteral("Copyright (C) 2026"))
        ->setGeometry(DialogRectToPixels({40, 25, 119, 8}, base));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    ok->setGeometry(DialogRectToPixels({178, 7, 50, 16}, base));
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
    setWindowTitle(QStringLiteral("Z9M4-SET"));
    setWindowIcon(AppIcon());
    setFont(DialogFont());
    const DialogBaseUnits base = MeasureBaseUnits(fontMetrics());
    const auto place = [base](QWidget* control, int x, int y, int width, int height) {
        control->setGeometry(DialogRectToPixels({x, y, width, height}, base));
    };
    setFixedSize(DialogRectToPixels({0, 0, 310, 166}, base).size());

    // Created in template order, which is also the tab order.
    m_exit = CreateButton(this, QStringLiteral("EXIT"));
    m_exit->setObjectName(QStringLiteral("exit"));
    place(m_exit, 243, 135, 50, 16);
    connect(m_exit, &QPushButton::clicked, this, &QDialog::reject);

    constexpr std::array<int, kChannelCount> kColumn = {31, 96, 161, 226};
    constexpr std::array<int, kChannelCount> kLabelWidth = {28, 34, 28, 28};
    for (int k = 0; k < kChannelCount; ++k) {
        const auto i = static_cast<std::size_t>(k);
        m_set[i] = CreateButton(this, QStringLiteral("SET"));
        m_set[i]->setObjectName(QStringLiteral("set%1").arg(k));
        place(m_set[i], kColumn[i], 88, 50, 14);
        connect(m_set[i], &QPushButton::clicked, this, [this, k] { m_dlg.OnSet(k); });
    }
    for (int k = 0; k < kChannelCount; ++k) {
        const auto i = static_cast<std::size_t>(k);
        m_edit[i] = new QLineEdit(this);
        m_edit[i]->setObjectName(QStringLiteral("edit%1").arg(k));
        place(m_edit[i], kColumn[i], 60, 50, 14);
    }
    for (int k = 0; k < kChannelCount; ++k) {
        const auto i = static_cast<std::size_t>(k);
        QLabel* label = CreateStatic(this, QString::fromWCharArray(kChannelLabels[i]));
        label->setObjectName(QStringLiteral("label%1").arg(k));
        place(label, kColumn[i], 39, kLabelWidth[i], 8);
    }
    // The outcome of the last SET, under the SET row and left of EXIT's column end: one line,
    // tall enough for the CJK fallback font's ascent and descent.
    m_statusLabel = CreateStatic(this, QString());
    m_statusLabel->setObjectName(QStringLiteral("status"));
    place(m_statusLabel, 31, 112, 262, 10);

    // Qt would pick the first edit box; the template's first tab stop is EXIT.
    m_exit->setFocus();

    // Linux window managers own the window menu, so About sits in the context menu and on F1.
    auto* about = new QAction(QStringLiteral("&About Z9M4-SET..."), this);
    about->setObjectName(QStringLiteral("about"));
    about->setShortcut(QKeySequence(Qt::Key_F1));
    connect(about, &QAction::triggered, this, &CDravikView::OnAbout);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    g_linkMessageView = this;
    SetLinkMessageHook(&QueueLinkMessage);

    m_dlg.OnInitDialog();
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
    m_statusLabel->setToolTip(shown == m_status ? QString() : m_status);
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
