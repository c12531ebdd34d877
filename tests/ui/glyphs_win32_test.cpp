// The operator texts as the Windows dialog draws them, in its font at 8 points: the Chinese comes
// through the font link from the dialog's font to a Chinese one, and each ideograph and the arrow
// must come out at full size. Wine's fallback font drew "→" as a dot and garbled the Chinese.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "operator_text.h"

namespace {

// A white bitmap with the dialog's font selected, on which one character at a time is drawn.
class GlyphCanvas {
  public:
    GlyphCanvas() : m_dc(CreateCompatibleDC(nullptr)) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = kSize;
        info.bmiHeader.biHeight = -kSize;  // top-down rows
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        m_bitmap = CreateDIBSection(m_dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        m_pixels = static_cast<const std::uint32_t*>(bits);
        m_previousBitmap = SelectObject(m_dc, m_bitmap);

        LOGFONTW font{};
        font.lfHeight = -MulDiv(8, GetDeviceCaps(m_dc, LOGPIXELSY), 72);
        font.lfCharSet = DEFAULT_CHARSET;
        lstrcpynW(font.lfFaceName, L"MS Shell Dlg 2", LF_FACESIZE);
        m_font = CreateFontIndirectW(&font);
        m_previousFont = SelectObject(m_dc, m_font);
        m_em = -font.lfHeight;
    }
    ~GlyphCanvas() {
        SelectObject(m_dc, m_previousFont);
        SelectObject(m_dc, m_previousBitmap);
        DeleteObject(m_font);
        DeleteObject(m_bitmap);
        DeleteDC(m_dc);
    }
    GlyphCanvas(const GlyphCanvas&) = delete;
    GlyphCanvas& operator=(const GlyphCanvas&) = delete;

    bool Ready() const { return m_pixels != nullptr && m_font != nullptr; }
    int Em() const { return m_em; }

    // Width in pixels of what drawing `c` inks.
    int InkWidth(wchar_t c) {
        const RECT all{0, 0, kSize, kSize};
        FillRect(m_dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        SetTextColor(m_dc, RGB(0, 0, 0));
        SetBkMode(m_dc, TRANSPARENT);
        TextOutW(m_dc, 4, 4, &c, 1);
        GdiFlush();
        int left = kSize;
        int right = -1;
        for (int y = 0; y < kSize; ++y) {
            for (int x = 0; x < kSize; ++x) {
                if ((m_pixels[y * kSize + x] & 0xFFFFFF) == 0xFFFFFF) continue;
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
        return right < left ? 0 : right - left + 1;
    }

  private:
    static constexpr int kSize = 64;
    HDC m_dc;
    HBITMAP m_bitmap = nullptr;
    const std::uint32_t* m_pixels = nullptr;
    HGDIOBJ m_previousBitmap = nullptr;
    HFONT m_font = nullptr;
    HGDIOBJ m_previousFont = nullptr;
    int m_em = 0;
};

TEST(Glyphs, OperatorTextsAreDrawnFullSizeInTheDialogFont) {
    GlyphCanvas canvas;
    ASSERT_TRUE(canvas.Ready());
    const std::wstring texts[] = {kMsgNoMeterPort,
                                  kMsgOpenFailed,
                                  kSearchNotice,
                                  FormatSending(1),
                                  FormatOutcome(ReadCorrection(L"2.5", 0), true),
                                  FormatOutcome(ReadCorrection(L"1", 3), false)};
    for (const std::wstring& text : texts) {
        for (const wchar_t c : text) {
            // Ideographs and the arrow span most of an em; punctuation is narrow by nature.
            const bool ideograph = c >= 0x4E00 && c <= 0x9FFF;
            if (!ideograph && c != L'→') continue;
            EXPECT_GE(canvas.InkWidth(c), canvas.Em() / 2)
                << "U+" << std::hex << static_cast<unsigned>(c) << std::dec << ", em "
                << canvas.Em() << " px";
        }
    }
}

}  // namespace
