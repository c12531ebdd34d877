#pragma once

// The JSON lines the station's front ends print or return: one object a line, UTF-8.

#include <nlohmann/json.hpp>

#include <string>

#include "port_discovery.h"

using Json = nlohmann::ordered_json;

// One JSON object as text, without a line end. dump escapes the C0 controls only; the other
// control characters (DEL, C1, bidirectional) are escaped here too, and the rest of the text,
// Chinese included, stays readable.
std::string JsonLine(const Json& object);

// A port as `ports --json` lists it.
std::string PortJson(const PortInfo& port, const PeekedPort& state);
