# Provides tarvex::pcap_headers (the capture library's interface only) and
# tarvex::pcap (headers plus the library to link), and sets
# TARVEX_HAVE_PCAP_FINDALLDEVS_EX when the library really exports that call.
add_library(tarvex_pcap_headers INTERFACE)
add_library(tarvex::pcap_headers ALIAS tarvex_pcap_headers)
add_library(tarvex_pcap INTERFACE)
add_library(tarvex::pcap ALIAS tarvex_pcap)
target_link_libraries(tarvex_pcap INTERFACE tarvex_pcap_headers)

if(WIN32)
  include(CaptureLibraryWindows)
  return()
endif()

include(CheckCXXSourceCompiles)
include(CMakePushCheckState)

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(PC_PCAP QUIET libpcap)
endif()
find_path(PCAP_INCLUDE_DIR pcap/pcap.h HINTS ${PC_PCAP_INCLUDE_DIRS})
find_library(PCAP_LIBRARY NAMES pcap HINTS ${PC_PCAP_LIBRARY_DIRS})
if(NOT PCAP_INCLUDE_DIR OR NOT PCAP_LIBRARY)
  message(FATAL_ERROR "libpcap not found: install libpcap-dev (or set PCAP_INCLUDE_DIR and PCAP_LIBRARY)")
endif()
target_include_directories(tarvex_pcap_headers INTERFACE ${PCAP_INCLUDE_DIR})
target_link_libraries(tarvex_pcap INTERFACE ${PCAP_LIBRARY})

# Some builds declare pcap_findalldevs_ex in the header without exporting it,
# so only a successful link tells.
cmake_push_check_state(RESET)
set(CMAKE_REQUIRED_INCLUDES ${PCAP_INCLUDE_DIR})
set(CMAKE_REQUIRED_LIBRARIES ${PCAP_LIBRARY})
set(CMAKE_REQUIRED_QUIET ON)
check_cxx_source_compiles([=[
#include <pcap/pcap.h>
int main() {
  char errbuf[PCAP_ERRBUF_SIZE];
  pcap_if_t* devices = nullptr;
  return pcap_findalldevs_ex("rpcap://", nullptr, &devices, errbuf);
}
]=] TARVEX_HAVE_PCAP_FINDALLDEVS_EX)
cmake_pop_check_state()
