#pragma once

// What the station's own front ends (dravik-cli, the C library) say beyond the dialog's
// messages: refused arguments and what stopped a run. Each message is whole, quotes and all:
// "{}" marks where the argument, port, path or number it names goes (Complaint, Filled).

#include <initializer_list>
#include <string>
#include <string_view>

extern const char* const kUsageError;  // what CLI11 said, then kSuggestion's line or nothing
extern const char* const kSuggestion;  // the command or option meant
extern const char* const kNoCommand;
extern const char* const kNotUtf8;
extern const char* const kNoEquals;
extern const char* const kUnknownChannel;
extern const char* const kChannelTwice;
extern const char* const kNotANumber;
extern const char* const kOutOfRange;
extern const char* const kLogOpenFailed;
extern const char* const kLogNotRegular;
extern const char* const kLogEmpty;
extern const char* const kBadTag;
extern const char* const kBadTagCharacter;  // the tag, then the position and the character
extern const char* const kTagTwice;
extern const char* const kEmptyPort;
// What stops the channels after one from being sent.
extern const char* const kLogWriteFailed;  // the log's path
extern const char* const kPortLost;
extern const char* const kOutOfStep;     // the label of the channel that got no answer
extern const char* const kFrameNotSent;  // the label of the channel not sent
extern const char* const kLineTalks;
extern const char* const kOutputFailed;
extern const char* const kOutputLost;  // `ports` and `find`
extern const char* const kStopped;     // the signal's number
// What only the C library says.
extern const char* const kNoPortOpen;
extern const char* const kNullPointer;  // the argument's name
extern const char* const kNamedNoPort;  // dravik_open's port ""
extern const char* const kCancelled;
extern const char* const kInternal;

// `message` with its "{}"s filled in turn by `parts`, which are the program's own text.
std::string Filled(std::string_view message, std::initializer_list<std::string_view> parts);

// `message` about a text from outside the program (an argument, a port, a path), which fills
// its first "{}" with its control characters spelt out as ShownText spells them (what is not
// UTF-8 as U+FFFD); `more` fill the rest.
std::string Complaint(const std::string& outside, const char* message,
                      std::initializer_list<std::string_view> more = {});
