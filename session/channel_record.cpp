#include "channel_record.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>

#include "hex_bytes.h"
#include "operator_text.h"
#include "station_json.h"
#include "utf8_text.h"

namespace {

// Shortest text that reads back as the same value.
template <typename Number>
std::string Shortest(Number value) {
    std::array<char, 64> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
    return std::string(text.data(), result.ptr);
}

// The float sent, as the double its shortest digits name: a JSON reader gets "1.0839479", the
// digits that identify the float, not the 17 of the float widened to a double.
double SentFactor(float factor) {
    const std::string digits = Shortest(factor);
    double value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return value;
}

std::string Label(const ChannelRecord& r) {
    return Utf8FromWide(kChannelLabels[r.correction.channel]);
}

std::string TagsField(const Tags& tags) {
    std::string field;
    for (const auto& [key, value] : tags)
        field += (field.empty() ? "" : ";") + key + "=" + value;
    return field;
}

Json TagsObject(const Tags& tags) {
    Json object = Json::object();
    for (const auto& [key, value] : tags)
        object[key] = value;
    return object;
}

const char* TrueOrFalse(bool value) {
    return value ? "true" : "false";
}

// What one log row is made of.
struct Row {
    const ChannelRecord& record;
    RowEvent event;
    const std::string& time;
};

// A field of the record: its column in the log and its key in JSON (nullptr where it has none),
// what --help adds to the key, whether the log's column is a number the tool writes, and its
// value in each.
struct Field {
    const char* column;
    const char* key;
    const char* note;
    bool number;
    std::string (*csv)(const Row&);
    Json (*json)(const ChannelRecord&);
};

// The first nine are the log's original columns; readers that go by name keep working. The JSON
// objects take the same order, without the log's `event`.
const std::array<Field, 14> kFields = {{
    {"time", "time", nullptr, false, [](const Row& row) { return row.time; },
     [](const ChannelRecord& r) { return Json(r.time); }},
    {"port", "port", nullptr, false, [](const Row& row) { return row.record.port; },
     [](const ChannelRecord& r) { return Json(r.port); }},
    {"channel", "channel", nullptr, false,
     [](const Row& row) { return std::to_string(row.record.correction.channel); },
     [](const ChannelRecord& r) { return Json(r.correction.channel); }},
    {"label", "label", nullptr, false, [](const Row& row) { return Label(row.record); },
     [](const ChannelRecord& r) { return Json(Label(r)); }},
    {"text", "text", nullptr, false,
     [](const Row& row) { return Utf8FromWide(row.record.correction.text); },
     [](const ChannelRecord& r) { return Json(Utf8FromWide(r.correction.text)); }},
    {"db", "db", nullptr, true,
     [](const Row& row) { return Shortest(row.record.correction.decibels); },
     [](const ChannelRecord& r) { return Json(r.correction.decibels); }},
    {"factor", "factor", nullptr, true,
     [](const Row& row) { return Shortest(row.record.correction.factor); },
     [](const ChannelRecord& r) { return Json(SentFactor(r.correction.factor)); }},
    {"frame", "frame", nullptr, false,
     [](const Row& row) { return HexBytes(row.record.correction.frame); },
     [](const ChannelRecord& r) { return Json(HexBytes(r.correction.frame)); }},
    {"answered", "answered", nullptr, false,
     [](const Row& row) { return std::string(TrueOrFalse(row.record.exchange.answered)); },
     [](const ChannelRecord& r) { return Json(r.exchange.answered); }},
    {"event", nullptr, nullptr, false,
     [](const Row& row) {
         return std::string(row.event == RowEvent::Sending ? "sending" : "done");
     },
     nullptr},
    // A sending row's frame is about to go out: whether it did, only its done row can say.
    {"sent", "sent", nullptr, false,
     [](const Row& row) {
         return std::string(row.event == RowEvent::Sending ? "pending"
                                                           : TrueOrFalse(row.record.exchange.sent));
     },
     [](const ChannelRecord& r) { return Json(r.exchange.sent); }},
    {"late", "late", nullptr, false,
     [](const Row& row) { return std::string(TrueOrFalse(row.record.exchange.late)); },
     [](const ChannelRecord& r) { return Json(r.exchange.late); }},
    {"reply", "reply", "what arrived, hex, at most 40 bytes", false,
     [](const Row& row) { return HexBytes(row.record.exchange.reply); },
     [](const ChannelRecord& r) { return Json(HexBytes(r.exchange.reply)); }},
    {"tags", "tags", nullptr, false, [](const Row& row) { return TagsField(row.record.tags); },
     [](const ChannelRecord& r) { return TagsObject(r.tags); }},
}};

}  // namespace

std::string UtcNow() {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{now - day};
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                  static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()),
                  static_cast<int>(time.subseconds().count()));
    return text.data();
}

const std::vector<LogColumn>& LogColumns() {
    static const std::vector<LogColumn> columns = [] {
        std::vector<LogColumn> list;
        for (const Field& field : kFields)
            if (field.column != nullptr) list.push_back({field.column, field.number});
        return list;
    }();
    return columns;
}

std::string LogHeader() {
    std::string header;
    for (const LogColumn& column : LogColumns())
        header += (header.empty() ? "" : ",") + column.name;
    return header;
}

std::vector<std::string> LogRow(const ChannelRecord& record, RowEvent event,
                                const std::string& time) {
    std::vector<std::string> row;
    const Row context{record, event, time};
    for (const Field& field : kFields)
        if (field.column != nullptr) row.push_back(field.csv(context));
    return row;
}

std::string RecordJson(const ChannelRecord& record) {
    Json object = Json::object();
    for (const Field& field : kFields)
        if (field.key != nullptr) object[field.key] = field.json(record);
    return JsonLine(object);
}

std::vector<std::string> RecordKeys() {
    std::vector<std::string> keys;
    for (const Field& field : kFields)
        if (field.key != nullptr) keys.push_back(field.key);
    return keys;
}

std::string RecordJsonKeys() {
    std::vector<std::string> keys;
    for (const Field& field : kFields) {
        if (field.key == nullptr) continue;
        keys.push_back(std::string(field.key) +
                       (field.note != nullptr ? std::string(" (") + field.note + ")" : ""));
    }
    std::string list;
    for (std::size_t i = 0; i < keys.size(); ++i)
        list += (i == 0 ? "" : i + 1 == keys.size() ? " and " : ", ") + keys[i];
    return list;
}
