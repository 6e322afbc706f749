#pragma once

#include <pcap/dlt.h>

#include <array>

namespace fuzz {
// Every link type the decoder knows, and one it does not.
inline constexpr std::array<int, 9> kLinkTypes{DLT_EN10MB,    DLT_NULL,       DLT_LOOP,
                                               DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW,
                                               DLT_IPV4,      DLT_IPV6,       DLT_IEEE802_11};
}  // namespace fuzz
