#pragma once

#include <pcap/pcap.h>

#include <memory>

struct CaptureHandleCloser {
  void operator()(pcap_t* handle) const noexcept { pcap_close(handle); }
};
using CaptureHandle = std::unique_ptr<pcap_t, CaptureHandleCloser>;

struct DeviceListFreer {
  void operator()(pcap_if_t* devices) const noexcept { pcap_freealldevs(devices); }
};
using DeviceList = std::unique_ptr<pcap_if_t, DeviceListFreer>;
