# wpcap.dll of the Npcap driver, delay-loaded so that the tool can point the
# DLL search at Npcap's folder before the first capture call.
#
# PCAP_ROOT names an Npcap SDK (Include/, Lib/x64/wpcap.lib). Without one, a
# MinGW build takes just the capture headers of the build host's libpcap (the
# interface is the same) and makes the import library from wpcap.def.
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

if(MSVC)
  find_library(WPCAP_LIBRARY wpcap PATHS ${PCAP_ROOT}/Lib/x64 NO_DEFAULT_PATH REQUIRED)
  target_link_libraries(tarvex_pcap INTERFACE ${WPCAP_LIBRARY} delayimp)
  target_link_options(tarvex_pcap INTERFACE /DELAYLOAD:wpcap.dll)
else()
  if(NOT CMAKE_DLLTOOL)
    find_program(CMAKE_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
  endif()
  set(_tarvex_delaylib ${CMAKE_BINARY_DIR}/libwpcap-delay.a)
  add_custom_command(OUTPUT ${_tarvex_delaylib}
    COMMAND ${CMAKE_DLLTOOL} --input-def ${CMAKE_CURRENT_LIST_DIR}/wpcap.def
            --dllname wpcap.dll --output-delaylib ${_tarvex_delaylib}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/wpcap.def
    COMMENT "Making the delay-load import library of wpcap.dll")
  add_custom_target(tarvex_wpcap_delaylib DEPENDS ${_tarvex_delaylib})
  add_dependencies(tarvex_pcap tarvex_wpcap_delaylib)
  target_link_libraries(tarvex_pcap INTERFACE ${_tarvex_delaylib} delayimp)
endif()
