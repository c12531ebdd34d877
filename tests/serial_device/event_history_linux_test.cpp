// The rules of the Linux layer's emulated port events, without a tty: each case is a history of
// what the layer did and saw, and the events every look must report.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "event_history_linux.h"
#include "serial_layer.h"

namespace {

constexpr std::uint32_t kAll = kEvRxChar | kEvTxEmpty | kEvErr;

struct Step {
    enum Kind { Restart, Wrote, Consumed, Look } kind;
    // Restart: the mask; Wrote: whether the output queue is now watched; Look: the events.
    std::uint32_t expect = 0;
    std::optional<std::uint32_t> queued;   // Restart, Look
    std::uint32_t unsent = 0;              // Look
    std::optional<LineCounters> counters;  // Restart, Look
    bool pending = false;                  // Look
};

Step RestartWith(std::uint32_t mask, std::optional<std::uint32_t> queued = 0,
                 std::optional<LineCounters> counters = LineCounters{}) {
    return {Step::Restart, mask, queued, 0, counters};
}
Step Write(bool watched = true) {
    return {Step::Wrote, watched ? 1u : 0u, std::nullopt, 0, std::nullopt};
}
Step Take() {
    return {Step::Consumed, 0, std::nullopt, 0, std::nullopt};
}
Step Queue(std::uint32_t queued, std::uint32_t events, bool pending = false) {
    return {Step::Look, events, queued, 0, std::nullopt, pending};
}
Step Idle(std::uint32_t events, std::uint32_t unsent = 0, bool pending = false) {
    return {Step::Look, events, std::nullopt, unsent, std::nullopt, pending};
}
Step Both(std::uint32_t queued, std::uint32_t events, bool pending) {
    return {Step::Look, events, queued, 0, std::nullopt, pending};
}
Step Errors(int frame, std::uint32_t events) {
    LineCounters counters;
    counters.frame = frame;
    return {Step::Look, events, std::nullopt, 0, counters};
}

struct EventCase {
    const char* what;
    std::vector<Step> steps;
};

TEST(PortEventHistory, ReportsWhatEachLookMeans) {
    const std::vector<EventCase> cases = {
        {"a queue that grew is an arrival, the same queue again is not",
         {RestartWith(kAll), Queue(1, kEvRxChar), Queue(1, 0), Queue(3, kEvRxChar)}},
        {"a queue of the same size after a read is a new arrival",
         {RestartWith(kAll), Queue(2, kEvRxChar), Take(), Queue(2, kEvRxChar), Queue(2, 0)}},
        {"a queue emptied by a read is no arrival", {RestartWith(kAll), Take(), Queue(0, 0)}},
        {"a look without the queue's size reports no arrival", {RestartWith(kAll, 0), Idle(0)}},
        {"what was queued before the mask is no arrival",
         {RestartWith(kAll, 3), Queue(3, 0), Queue(4, kEvRxChar)}},
        {"a mask change whose queue size is unknown keeps the last one",
         {RestartWith(kAll, 3), RestartWith(kAll, std::nullopt), Queue(3, 0)}},
        {"the emptied output queue is reported once, when nothing is left unsent",
         {RestartWith(kAll), Write(), Idle(0, 5), Idle(kEvTxEmpty), Idle(0)}},
        {"without EV_TXEMPTY in the mask the output queue is not watched",
         {RestartWith(kEvRxChar | kEvErr), Write(false), Idle(0)}},
        {"a wait that begins reports everything that built up in one mask",
         {RestartWith(kAll), Write(), Both(1, kEvRxChar | kEvTxEmpty, false)}},
        {"a blocked wait reports the emptied queue first and holds the arrival back",
         {RestartWith(kAll), Write(), Both(1, kEvTxEmpty, true), Idle(kEvRxChar, 0, true),
          Idle(0, 0, true)}},
        {"a changed error counter is a line error, once",
         {RestartWith(kAll), Errors(1, kEvErr), Errors(1, 0), Errors(2, kEvErr)}},
        {"events outside the mask are not reported",
         {RestartWith(kEvRxChar), Errors(1, 0), Queue(1, kEvRxChar)}},
        {"a new mask forgets an unsent write, a held arrival and earlier errors",
         {RestartWith(kAll), Write(), Both(1, kEvTxEmpty, true), Write(),
          RestartWith(kAll, 1, LineCounters{3, 0, 0, 0, 0}), Idle(0), Errors(3, 0)}},
    };
    for (const EventCase& c : cases) {
        SCOPED_TRACE(c.what);
        PortEventHistory history;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            switch (step.kind) {
                case Step::Restart:
                    history.Restart(step.expect, step.queued, step.counters);
                    break;
                case Step::Wrote:
                    EXPECT_EQ(history.Wrote(), step.expect != 0);
                    EXPECT_EQ(history.Draining(), step.expect != 0);
                    break;
                case Step::Consumed:
                    history.Consumed();
                    break;
                case Step::Look:
                    EXPECT_EQ(
                        history.Report({step.queued, step.unsent, step.counters}, step.pending),
                        step.expect);
                    break;
            }
        }
    }
}

}  // namespace
