#include "app/flashprep_run.h"

#include "app/driver_download.h"
#include "app/format_pass.h"
#include "app/interrupt.h"
#include "flash/serial_flash.h"
#include "usb/usb_bootloader.h"

namespace {

void run_steps(UsbBootloader& bootloader, SerialFlash& flash, std::ostream& out) {
  if (!bootloader.start()) {
    out << "FAIL: UNABLE TO START DRIVER" << std::endl;
    return;
  }
  if (!bootloader.identify()) {
    out << "FAIL: BOOTLOADER NOT PRESENT" << std::endl;
    return;
  }
  if (!download_driver(flash, out)) {
    out << "FAIL: SERIAL DRIVER NOT LOADED" << std::endl;
    return;
  }
  if (!flash.init()) {
    out << "FAIL: SERIAL FLASH NOT INITIALIZED" << std::endl;
    return;
  }
  format_flash(flash, out);
}

}  // namespace

int run_flashprep(std::ostream& out, const UsbPlace& place, bool* busy) {
  // Installed first and removed last, so that a request during the close
  // still counts.
  InterruptHandlers interrupts;
  {
    // Destroyed in reverse order on every way out: the bootloader's
    // destructor releases and closes the device.
    UsbBootloader bootloader(place);
    SerialFlash flash(&bootloader);
    // The one place where a run stops: where a request would start. Later
    // steps then see refused requests as failures, and what they would
    // write about them goes to a stream set to fail.
    bootloader.stop_when([&out] {
      if (!interrupt_requested())
        return false;
      out.setstate(std::ios::badbit);
      return true;
    });
    run_steps(bootloader, flash, out);
    if (busy != nullptr)
      *busy = bootloader.busy();
  }
  return interrupt_request();
}
