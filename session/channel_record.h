#pragma once

// One channel's record, and its fields declared once: the log's CSV columns, the JSON object
// of `dravik-cli set --json` and the library, and the field list of --help all come from the
// one table in channel_record.cpp. Scripts and auditors depend on the columns and keys, names
// and order alike.

#include <string>
#include <vector>

#include "meter_frames.h"
#include "meter_port.h"
#include "station_input.h"

struct ChannelRecord {
    std::string time;  // when the channel's turn came: UTC, milliseconds (UtcNow)
    std::string port;  // UTF-8
    Correction correction;
    ExchangeRecord exchange;
    Tags tags;
};

// ISO 8601, UTC, milliseconds: 2026-03-14T09:26:53.589Z.
std::string UtcNow();

// A log column: its name, and whether it holds a number the tool writes (its leading '-' is a
// minus sign, not a formula).
struct LogColumn {
    std::string name;
    bool number = false;
};
const std::vector<LogColumn>& LogColumns();
// "time,port,...,tags".
std::string LogHeader();

// The row written before the frame goes out (event "sending", sent "pending") and the one with
// its outcome (event "done"), each stamped `time`.
enum class RowEvent { Sending, Done };
std::vector<std::string> LogRow(const ChannelRecord& record, RowEvent event,
                                const std::string& time);

// The record as one JSON object, without a line end, its control characters escaped.
std::string RecordJson(const ChannelRecord& record);
// The JSON object's keys, in its order.
std::vector<std::string> RecordKeys();
// "time, port, ..., reply (what arrived, hex, at most 40 bytes) and tags": the keys for --help.
std::string RecordJsonKeys();
