#include "event_history_linux.h"

#include <utility>

#include "serial_layer.h"

void PortEventHistory::Restart(std::uint32_t mask, std::optional<std::uint32_t> queued,
                               std::optional<LineCounters> counters) {
    m_mask = mask;
    m_draining = false;
    m_heldArrival = false;
    m_consumedSinceLook = false;
    if (queued) m_lastQueued = *queued;
    if (counters) m_errorsSeen = *counters;
}

bool PortEventHistory::Wrote() {
    if ((m_mask & kEvTxEmpty) == 0) return false;
    m_draining = true;
    return true;
}

std::uint32_t PortEventHistory::Report(const PortLook& look, bool pending) {
    bool arrival = std::exchange(m_heldArrival, false);
    if (look.queued) {
        const std::uint32_t queued = *look.queued;
        arrival = arrival || (queued > 0 && (queued > m_lastQueued || m_consumedSinceLook));
        m_lastQueued = queued;
        m_consumedSinceLook = false;
    }

    const bool sent = m_draining && look.unsent == 0;
    if (sent) m_draining = false;

    bool lineError = false;
    if (look.counters && !(*look.counters == m_errorsSeen)) {
        lineError = true;
        m_errorsSeen = *look.counters;
    }

    if (pending && sent && arrival) {
        m_heldArrival = true;
        arrival = false;
    }
    return ((arrival ? kEvRxChar : 0) | (sent ? kEvTxEmpty : 0) | (lineError ? kEvErr : 0)) &
           m_mask;
}
