// Templates 102 and 100 as the Qt windows reproduce them: every control at its dialog-unit
// rectangle through the font's base units, the texts, the fixed size, the tab order, the
// initial focus, no default button in the main dialog, and texts that fit their controls.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QTest>
#include <QTextLayout>
#include <vector>

#include "dialog_units.h"
#include "qtview_support.h"

namespace {

struct TemplateControl {
    const char* name;
    const char* type;
    const char* text;
    QRect dialogUnits;
};

// Template 102, in template order.
const TemplateControl kMainTemplate[] = {
    {"exit", "QPushButton", "EXIT", {243, 135, 50, 16}},
    {"set0", "QPushButton", "SET", {31, 88, 50, 14}},
    {"set1", "QPushButton", "SET", {96, 88, 50, 14}},
    {"set2", "QPushButton", "SET", {161, 88, 50, 14}},
    {"set3", "QPushButton", "SET", {226, 88, 50, 14}},
    {"edit0", "QLineEdit", "", {31, 60, 50, 14}},
    {"edit1", "QLineEdit", "", {96, 60, 50, 14}},
    {"edit2", "QLineEdit", "", {161, 60, 50, 14}},
    {"edit3", "QLineEdit", "", {226, 60, 50, 14}},
    {"label0", "QLabel", "1310CW", {31, 39, 28, 8}},
    {"label1", "QLabel", "1310Burst", {96, 39, 34, 8}},
    {"label2", "QLabel", "1490CW", {161, 39, 28, 8}},
    {"label3", "QLabel", "1550CW", {226, 39, 28, 8}},
};

QString TextOf(QWidget* control) {
    if (auto* button = qobject_cast<QPushButton*>(control)) return button->text();
    if (auto* edit = qobject_cast<QLineEdit*>(control)) return edit->text();
    if (auto* label = qobject_cast<QLabel*>(control)) return label->text();
    return QStringLiteral("<unknown kind>");
}

class Layout : public ::testing::Test {
  protected:
    Layout() : view(layer, [](std::vector<std::wstring>&) {}) {}

    DialogBaseUnits Base() const { return MeasureBaseUnits(view.fontMetrics()); }

    FakeSerialLayer layer;
    CDravikView view;
};

TEST_F(Layout, MainDialogIsTemplate102AtTheFontsBaseUnits) {
    ShowAndWait(view);
    EXPECT_EQ(view.windowTitle(), QStringLiteral("Z9M4-SET"));
    EXPECT_EQ(view.font().pointSize(), 8);
    EXPECT_EQ(view.font().family(), QApplication::font().family());
    const DialogBaseUnits base = Base();
    EXPECT_EQ(base.y, view.fontMetrics().height());
    EXPECT_GT(base.x, 0);

    const QSize size = DialogRectToPixels({0, 0, 310, 166}, base).size();
    EXPECT_EQ(view.size(), size);
    EXPECT_EQ(view.minimumSize(), size) << "the dialog is not resizable";
    EXPECT_EQ(view.maximumSize(), size) << "the dialog is not resizable";

    std::vector<QString> created;
    for (QWidget* child : view.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        created.push_back(child->objectName());
    }
    std::size_t next = 0;
    for (const TemplateControl& item : kMainTemplate) {
        SCOPED_TRACE(item.name);
        auto* control = view.findChild<QWidget*>(QString::fromLatin1(item.name));
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(control->inherits(item.type)) << control->metaObject()->className();
        EXPECT_EQ(TextOf(control), QString::fromUtf8(item.text));
        EXPECT_EQ(control->geometry(), DialogRectToPixels(item.dialogUnits, base));
        ASSERT_LT(next, created.size());
        EXPECT_EQ(created[next++], QString::fromLatin1(item.name))
            << "created out of template order";
    }
}

TEST_F(Layout, StatusLineSitsInsideTheClientAreaClearOfTheControls) {
    ShowAndWait(view);
    const QRect status = StatusLabel(view)->geometry();
    EXPECT_TRUE(view.rect().contains(status)) << "status line outside the 310 x 166 client area";
    for (const TemplateControl& item : kMainTemplate) {
        EXPECT_FALSE(status.intersects(DialogRectToPixels(item.dialogUnits, Base())))
            << "status line overlaps " << item.name;
    }
    EXPECT_EQ(StatusLabel(view)->focusPolicy(), Qt::NoFocus);
}

TEST_F(Layout, EveryTextFitsItsControl) {
    // The desktop font stands in for MS Shell Dlg; its base units scale the rectangles, but a
    // font whose letters are proportioned differently could still clip a label.
    for (int k = 0; k < kChannelCount; ++k) {
        QLabel* label = ChannelLabel(view, k);
        const QFontMetrics metrics(label->font());
        EXPECT_LE(metrics.horizontalAdvance(label->text()), label->width())
            << label->text().toStdString();
        EXPECT_LE(metrics.height(), label->height()) << label->text().toStdString();
    }
    // The longest usual status line, laid out with the CJK fallback font the label really uses.
    const QString longest = QString::fromStdWString(FormatOutcome(1, false, L"-12.25"));
    QTextLayout layout(longest, StatusLabel(view)->font());
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    EXPECT_LE(line.naturalTextWidth(), StatusLabel(view)->width()) << longest.toStdString();
    EXPECT_LE(line.height(), StatusLabel(view)->height()) << longest.toStdString();
}

TEST_F(Layout, TabOrderIsTemplateOrderStartingAtExit) {
    ShowAndWait(view);
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view, kEventWaitLimitMs));
    ASSERT_EQ(QApplication::focusWidget(), ExitButton(view)) << "EXIT has the focus at start";

    std::vector<QString> visited;
    for (int i = 0; i < 9; ++i) {
        visited.push_back(QApplication::focusWidget()->objectName());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(visited, (std::vector<QString>{"exit", "set0", "set1", "set2", "set3", "edit0",
                                             "edit1", "edit2", "edit3"}));
    EXPECT_EQ(QApplication::focusWidget(), ExitButton(view)) << "Tab wraps round to EXIT";
}

TEST_F(Layout, NoButtonIsDefaultOrBecomesDefault) {
    const auto buttons = view.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 5);
    for (QPushButton* button : buttons) {
        EXPECT_FALSE(button->isDefault()) << button->objectName().toStdString();
        // Auto-default buttons turn default when focused and take Enter from the edit boxes.
        EXPECT_FALSE(button->autoDefault()) << button->objectName().toStdString();
    }
}

TEST_F(Layout, WindowIconIsTheApplicationIcon) {
    const QList<QSize> sizes = view.windowIcon().availableSizes();
    for (const int px : {16, 32, 48}) {
        EXPECT_TRUE(sizes.contains(QSize(px, px))) << px << " px image missing";
    }
}

TEST(AboutLayout, AboutBoxIsTemplate100) {
    CAboutDlg about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about, kEventWaitLimitMs));
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Z9M4-SET"));
    const DialogBaseUnits base = MeasureBaseUnits(about.fontMetrics());
    EXPECT_EQ(about.font().pointSize(), 8);
    const QSize size = DialogRectToPixels({0, 0, 235, 55}, base).size();
    EXPECT_EQ(about.size(), size);
    EXPECT_EQ(about.minimumSize(), size);
    EXPECT_EQ(about.maximumSize(), size);

    const auto labels = about.findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 3);
    // The icon control takes the icon's own size at its template position.
    const QRect iconAt = DialogRectToPixels({11, 17, 20, 20}, base);
    EXPECT_FALSE(labels[0]->pixmap().isNull());
    EXPECT_EQ(labels[0]->geometry(), QRect(iconAt.topLeft(), QSize(32, 32)));
    EXPECT_EQ(labels[1]->text(), QStringLiteral("Z9M4-SET Version 1.0"));
    EXPECT_EQ(labels[1]->geometry(), DialogRectToPixels({40, 10, 119, 8}, base));
    EXPECT_FALSE(labels[2]->text().isEmpty());
    EXPECT_EQ(labels[2]->geometry(), DialogRectToPixels({40, 25, 119, 8}, base));
    for (QLabel* label : {labels[1], labels[2]}) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
    }

    const auto buttons = about.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->text(), QStringLiteral("OK"));
    EXPECT_TRUE(buttons[0]->isDefault());
    EXPECT_EQ(buttons[0]->geometry(), DialogRectToPixels({178, 7, 50, 16}, base));
}

}  // namespace
