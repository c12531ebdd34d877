// The Chinese texts the operator reads must render with real glyphs, not as empty boxes: laid
// out with the fonts of the message box and of the status line, every character has to come
// from a font that has it. Needs a CJK font (Debian: fonts-wqy-zenhei).

#include <gtest/gtest.h>

#include <QGlyphRun>
#include <QMessageBox>
#include <QRawFont>
#include <QTextLayout>

#include "qtview_support.h"

namespace {

// Characters of `text` for which the font, with Qt's fallbacks, has no glyph.
QString MissingGlyphs(const QString& text, const QFont& font) {
    QString missing;
    for (const char32_t c : text.toUcs4()) {
        const QString one = QString::fromUcs4(&c, 1);
        QTextLayout layout(one, font);
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        bool found = false;
        for (const QGlyphRun& run : layout.glyphRuns()) {
            const auto glyphs = run.glyphIndexes();
            // Glyph 0 is the font's "missing character" box.
            found = found || (!glyphs.isEmpty() && !glyphs.contains(0) &&
                              run.rawFont().supportsCharacter(static_cast<uint>(c)));
        }
        if (!found) missing += one;
    }
    return missing;
}

TEST(Glyphs, MessagesAndStatusLinesRenderInTheirFonts) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("caption"), QStringLiteral("text"));
    auto* boxLabel = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    ASSERT_NE(boxLabel, nullptr);
    FakeSerialLayer layer;
    CDravikView view(layer, [](std::vector<PortInfo>&) {});

    const std::vector<std::pair<std::wstring, QFont>> texts = {
        {kMsgNoMeterPort, boxLabel->font()},
        {kMsgOpenFailed, boxLabel->font()},
        {L"创建事件失败", boxLabel->font()},
        {kSearchNotice, StatusLabel(view)->font()},
        {FormatOutcome(ReadCorrection(L"2.5", 0), true), StatusLabel(view)->font()},
        {FormatOutcome(ReadCorrection(L"-1e999", 3), false), StatusLabel(view)->font()},
    };
    for (const auto& [text, font] : texts) {
        const QString shown = QString::fromStdWString(text);
        EXPECT_EQ(MissingGlyphs(shown, font), QString())
            << shown.toStdString() << " in " << font.toString().toStdString();
    }
}

}  // namespace
