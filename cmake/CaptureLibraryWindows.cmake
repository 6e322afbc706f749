# wpcap.dll of the Npcap driver. The tool loads it itself (platform/wpcap.cpp)
# from Npcap's folder or System32 only, so nothing is linked against it: the
# capture library's target brings that loader instead of an import library.
#
# PCAP_ROOT names an Npcap SDK (its Include/ is used). Without one, the build
# takes just the capture headers of the build host's libpcap (the interface
# is the same).
set(PCAP_ROOT "" CACHE PATH "Npcap SDK folder")
set(TARVEX_HAVE_PCAP_FINDALLDEVS_EX ON)

if(PCAP_ROOT)
  set(_tarvex_pcap_include ${PCAP_ROOT}/Include)
else()
  set(TARVEX_HOST_PCAP_HEADERS /usr/include CACHE PATH "Folder holding the host's pcap.h and pcap/")
  if(NOT EXISTS ${TARVEX_HOST_PCAP_HEADERS}/pcap/pcap.h)
    message(FATAL_ERROR "No capture headers: set PCAP_ROOT to an Npcap SDK or install libpcap-dev")
  endif()
  set(_tarvex_pcap_include ${CMAKE_BINARY_DIR}/pcap-include)
  file(COPY ${TARVEX_HOST_PCAP_HEADERS}/pcap.h ${TARVEX_HOST_PCAP_HEADERS}/pcap
       DESTINATION ${_tarvex_pcap_include})
endif()
target_include_directories(tarvex_pcap_headers INTERFACE ${_tarvex_pcap_include})
target_sources(tarvex_pcap INTERFACE ${PROJECT_SOURCE_DIR}/platform/wpcap.cpp)
