#pragma once

// What a station gives a set session, checked before any port is touched: a channel and its
// level (CHANNEL=DB on the command line; a channel and a level text through the library) and
// the station's own tags. A refusal comes with the one line that names what was refused
// (station_text's Complaint).

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "meter_frames.h"

// The station's own facts (--tag KEY=VALUE), in the order given.
using Tags = std::vector<std::pair<std::string, std::string>>;

// A label (any case) or its number, "0".."3".
std::optional<int> ChannelNamed(const std::string& name);

// `channel` and `level` checked as a script's must be: the channel known and not among
// `earlier`, the level exactly one number (blanks around it allowed), read as the dialog reads
// it, finite, and its factor a normal float (not 0, subnormal or infinite). `argument` is how the
// station gave them ("0=2.5"), which the refusal names.
std::optional<Correction> CheckCorrection(const std::string& channel, const std::string& level,
                                          const std::string& argument,
                                          const std::vector<Correction>& earlier,
                                          std::string& problem);
// CHANNEL=DB.
std::optional<Correction> CheckAssignment(const std::string& argument,
                                          const std::vector<Correction>& earlier,
                                          std::string& problem);

// KEY=VALUE each: KEY letters, digits, '_', '.' and '-'; VALUE UTF-8 without ';', control
// characters (IsControlCharacter's) and format characters (Unicode's Cf: U+200B, U+FEFF, the
// bidirectional controls); each KEY once. A refusal names the first character that does not fit
// and its position.
std::optional<Tags> CheckTags(const std::vector<std::string>& arguments, std::string& problem);
