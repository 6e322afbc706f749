#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "discovery/interface_table.h"

inline constexpr unsigned kPollingPauseMs = 1000;

// The report of one frame captured on the entry's handle: the three lines
// naming the interface, then the sender's line and a blank line, or only the
// blank line when the frame names no sender.
std::string formatReport(const InterfaceEntry& entry, const std::uint8_t* frame,
                         std::size_t length);

// Takes each piece of a cycle's output whole: a report, or the idle line.
using CycleOutput = std::function<void(std::string_view text)>;

// Polls every entry once, in table order, and hands each captured frame's
// report to output; then "Didn't receive any packet" when there was none.
// True when a frame was seen. Returns early once a stop is requested.
bool pollInterfacesOnce(const InterfaceTable& table, const CycleOutput& output);

// Polls once a second until a stop is requested, writing to standard
// output; throws platform::OutputError when it cannot be written.
void detectionLoop(const InterfaceTable& table);
