#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "discovery/interface_table.h"

inline constexpr unsigned kPollingPauseMs = 1000;

// The report of one frame captured on the entry's handle: the three lines
// naming the interface, then the sender's line and a blank line, or only the
// blank line when the frame names no sender.
std::string formatReport(const InterfaceEntry& entry, const std::uint8_t* frame,
                         std::size_t length);

// Polls every entry once, in table order, and reports each captured frame;
// writes "Didn't receive any packet" when none was. Everything written has
// reached standard output when it returns. True when a frame was seen.
// Returns early once a stop is requested; throws platform::OutputError when
// standard output cannot be written.
bool pollInterfacesOnce(const InterfaceTable& table);

// Polls once a second until a stop is requested.
void detectionLoop(const InterfaceTable& table);
