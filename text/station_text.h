#pragma once

// What the station's own front ends (dravik-cli, the C library) say beyond the dialog's
// messages: refused arguments and what stopped a run. Each completes a line that begins with
// the argument or port it is about (“argument” + text), except where it says otherwise.

extern const char* const kUsageError;  // starts a line: "参数错误：" + what CLI11 or the check said
extern const char* const kNoCommand;
extern const char* const kNotUtf8;
extern const char* const kNoEquals;
extern const char* const kUnknownChannel;
extern const char* const kChannelTwice;
extern const char* const kNotANumber;
extern const char* const kOutOfRange;
extern const char* const kLogOpenFailed;
extern const char* const kLogNotRegular;
extern const char* const kLogEmpty;  // after kUsageError
extern const char* const kBadTag;
// After kBadTag: kBadTagAt + the position + kBadTagCharacter + the character + kBadTagRefused.
extern const char* const kBadTagAt;
extern const char* const kBadTagCharacter;
extern const char* const kBadTagRefused;
extern const char* const kTagTwice;
extern const char* const kEmptyPort;  // after kUsageError
// What stops the channels after one from being sent.
extern const char* const kLogWriteFailed;
extern const char* const kPortLost;
extern const char* const kOutOfStep;     // after the label of the channel that got no answer
extern const char* const kFrameNotSent;  // after the label of the channel not sent
extern const char* const kLineTalks;
extern const char* const kOutputFailed;  // a line of its own
extern const char* const kOutputLost;    // a line of its own: `ports` and `find`
extern const char* const kStopped;       // a line of its own, followed by the signal's number
// What only the C library says, each a line of its own (kNullPointer followed by the
// argument's name).
extern const char* const kNoPortOpen;
extern const char* const kNullPointer;
extern const char* const kCancelled;
extern const char* const kInternal;
