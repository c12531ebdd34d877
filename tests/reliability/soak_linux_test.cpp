// Many SETs in a row through the dialog logic against the simulated meter: every frame arrives
// exactly once, byte for byte, and memory stays flat. DRAVIK_SOAK_COUNT sets the number of SETs
// (default 100; the long run uses 1000).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sim_process.h"
#include "station.h"

namespace {

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// dB texts as operators type them, and as they mistype them.
std::wstring RandomText(std::mt19937& random) {
    std::uniform_int_distribution<int> kind(0, 5);
    std::uniform_real_distribution<double> level(-30.0, 30.0);
    std::wostringstream text;
    switch (kind(random)) {
        case 0:
            text << static_cast<int>(level(random));
            break;
        case 1:
            text.precision(4), text << std::fixed << level(random);
            break;
        case 2:
            text << level(random) << L"dB";
            break;
        case 3:
            text << L"  " << level(random) / 10.0 << L"e1";
            break;
        case 4:
            text << L"";
            break;
        default:
            text << L"x" << level(random);
            break;
    }
    return text.str();
}

TEST(Soak, EveryFrameArrivesOnceAndByteExact) {
    const char* count = std::getenv("DRAVIK_SOAK_COUNT");
    const int sets = count != nullptr ? std::atoi(count) : 100;
    MeterSimProcess sim;
    ASSERT_TRUE(sim.Started());
    Station station({sim.PortName()});
    station.Set(0, L"0");  // discovery and the first frame
    ASSERT_TRUE(sim.WaitForFrames(2));
    const long rssBefore = ResidentKiB();

    std::mt19937 random(20261208);
    std::vector<std::string> expected;
    int answered = 0;
    for (int i = 0; i < sets; ++i) {
        const int channel = i % kChannelCount;
        const std::wstring text = RandomText(random);
        station.Set(channel, text);
        expected.push_back(
            SimLogHex(BuildSetCorrectionFrame(text, static_cast<std::uint8_t>(channel))));
        if (station.view.Status().find(L"设置成功") != std::wstring::npos) ++answered;
        // The recorder's own history would otherwise count as growth.
        station.view.statuses.clear();
    }
    ASSERT_TRUE(sim.WaitForFrames(static_cast<std::size_t>(sets) + 2));
    const long rssAfter = ResidentKiB();
    std::printf("soak: %d SETs, %d answered, RSS %ld KiB before, %ld KiB after\n", sets, answered,
                rssBefore, rssAfter);

    const auto frames = sim.Frames();
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(sets) + 2) << "none lost, none doubled";
    for (int i = 0; i < sets; ++i) {
        EXPECT_EQ(LoggedHex(frames[static_cast<std::size_t>(i) + 2]),
                  expected[static_cast<std::size_t>(i)])
            << "SET " << i;
    }
    EXPECT_EQ(answered, sets);
    EXPECT_TRUE(station.view.messages.empty());
    // Flat within allocator noise; a leak per SET would show as hundreds of KiB here.
    EXPECT_LT(rssAfter - rssBefore, 2048);
}

// What an operator can put into an edit box: the frame follows the reading rules whatever it is.
TEST(EditBoxAbuse, AnyTextGivesTheFrameOfItsLeadingNumber) {
    MeterSimProcess sim;
    ASSERT_TRUE(sim.Started());
    Station station({sim.PortName()});
    struct Case {
        std::wstring text;
        std::wstring sameAs;
    };
    std::wstring huge(100000, L'7');
    std::wstring hugeFraction = L"1." + std::wstring(100000, L'5');
    const Case cases[] = {
        {huge, L"1e99999"},
        {hugeFraction, L"1.5555555555555555555555"},
        {L" \t \r\n ", L"0"},
        {L"-", L"0"},
        {L"+", L"0"},
        {L"\uFF13\uFF0E\uFF15", L"0"},  // full-width digits are not digits here
        {L"\u0661\u0662", L"0"},        // nor are Arabic-Indic ones
        {std::wstring(L"2\0"
                      L"9",
                      3),
         L"2"},
        {std::wstring(L"\0"
                      L"9",
                      2),
         L"0"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const int channel = static_cast<int>(i % kChannelCount);
        station.Set(channel, cases[i].text);
        ASSERT_TRUE(sim.WaitForFrames(i + 2));
        EXPECT_EQ(
            LoggedHex(sim.Frames().back()),
            SimLogHex(BuildSetCorrectionFrame(cases[i].sameAs, static_cast<std::uint8_t>(channel))))
            << "case " << i;
    }
    EXPECT_TRUE(station.view.messages.empty());
}

}  // namespace
