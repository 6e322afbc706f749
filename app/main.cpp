#include <stdexcept>
#include <string>

#include "detection/detection_loop.h"
#include "discovery/interface_table.h"
#include "platform/platform.h"

namespace {

// The messages of start-up, in the words and on the streams of the tool's
// first releases.
void writeStartupEvent(const StartupEvent& event) {
  const std::string filter = kScannerFilter;
  switch (event.kind) {
    case StartupEvent::Kind::opened:
      platform::writeStandardOutput("Fetching interfaces...\n");
      break;
    case StartupEvent::Kind::openFailed:
      platform::writeStandardOutput("pcap_open_live() failed due to [" + event.detail + "]\n");
      break;
    case StartupEvent::Kind::filterNotCompiled:
      platform::writeStandardError("Couldn't parse filter " + filter + ": " + event.detail + "\n");
      break;
    case StartupEvent::Kind::filterNotInstalled:
      platform::writeStandardError("Couldn't install filter " + filter + ": " + event.detail +
                                   "\n");
      break;
    case StartupEvent::Kind::notNonBlocking:
      platform::writeStandardError("Couldn't make " + event.device +
                                   " non-blocking: " + event.detail + "\n");
      break;
  }
}

// Start-up and detection until a stop is requested; the exit status. Every
// message about a failure and every status is decided here.
int watchUntilStopped() {
  InterfaceTable table;
  int status = 0;
  try {
    table = buildInterfaceTable(writeStartupEvent);
    // Nothing from here on needs a right.
    platform::giveUpRights();
    // Neither writes nor polls when start-up was cut short by a stop.
    platform::writeStandardOutput("Found interfaces : " + std::to_string(table.count()) + "\n");
    releaseUnwatchedHandles(table);
    detectionLoop(table);
  } catch (const EnumerationError& error) {
    platform::writeStandardError(std::string("Error in pcap_findalldevs_ex: ") + error.what() +
                                 "\n");
    status = 1;
  } catch (const platform::OutputError& error) {
    platform::writeStandardError(std::string("Couldn't write to standard output: ") + error.what() +
                                 "\n");
    status = 1;
  } catch (const platform::RightsError& error) {
    platform::writeStandardError(std::string(error.what()) + "\n");
    status = 1;
  } catch (const CommandStartError& error) {
    // The alias command could not be started: start-up cannot go on.
    platform::writeStandardError(std::string(error.what()) + "\n");
    status = 1;
  }
  releaseInterfaceTable(table);
  return status;
}

}  // namespace

int main() {
  if (!platform::secureStandardDescriptors()) {
    return 1;
  }
  if (!platform::prepareCaptureLibrary()) {
    platform::writeStandardError(
        "tarvex-finder needs Npcap: wpcap.dll could not be loaded. "
        "Install Npcap (https://npcap.com) and try again.\n");
    return 1;
  }
  platform::raiseOpenFileLimit();
  platform::installStopHandlers();
  // The table lives and dies inside: on Windows, closing the console ends
  // the process as soon as shutdownComplete() says so, and every handle must
  // be closed by then.
  const int status = watchUntilStopped();
  platform::shutdownComplete();
  return status;
}
