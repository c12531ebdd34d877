// Qt sets the desktop's locale for the whole process on Linux: under a German one, C's number
// formatting writes decimal commas.

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "operator_text.h"
#include "scratch_dir.h"

namespace {

// de_DE.UTF-8 compiled from glibc's locale sources into a scratch directory (LOCPATH), so the
// test needs no locale installed system-wide; the previous numeric locale comes back at the end.
class GermanNumbers {
  public:
    GermanNumbers() {
        const std::string command =
            "localedef -c -i de_DE -f UTF-8 '" + m_dir.Path() + "/de_DE.UTF-8' 2>/dev/null";
        if (std::system(command.c_str()) == -1) return;
        setenv("LOCPATH", m_dir.Path().c_str(), 1);
        m_previous = std::setlocale(LC_NUMERIC, nullptr);
        m_active = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    }
    ~GermanNumbers() {
        std::setlocale(LC_NUMERIC, m_previous.c_str());
        unsetenv("LOCPATH");
    }
    GermanNumbers(const GermanNumbers&) = delete;
    GermanNumbers& operator=(const GermanNumbers&) = delete;

    bool Active() const { return m_active; }

  private:
    const ScratchDir m_dir;
    std::string m_previous = "C";
    bool m_active = false;
};

TEST(Outcome, NumbersKeepTheirPointUnderADecimalCommaLocale) {
    const GermanNumbers german;
    ASSERT_TRUE(german.Active()) << "localedef (package locales) could not build de_DE.UTF-8";
    char probe[16] = {};
    std::snprintf(probe, sizeof probe, "%.1f", 2.5);
    ASSERT_EQ(std::string(probe), "2,5") << "the locale does not write decimal commas";

    EXPECT_EQ(FormatOutcome(ReadCorrection(L"2.5", 0), true), L"1310CW 设置成功 2.5 dB → 1.7783");
    EXPECT_EQ(FormatOutcome(ReadCorrection(L"-3", 2), false),
              L"1490CW 待测表无应答 -3 dB → 0.50119");
}

}  // namespace
