#include "app/flashprep_run.h"

#include "app/driver_download.h"
#include "app/format_pass.h"
#include "flash/serial_flash.h"
#include "usb/usb_bootloader.h"

int run_flashprep(std::ostream& out) {
  // Destroyed in reverse order on every return: the bootloader's destructor
  // releases and closes the device.
  UsbBootloader bootloader;
  SerialFlash flash(&bootloader);

  if (!bootloader.start()) {
    out << "FAIL: UNABLE TO START DRIVER" << std::endl;
    return 0;
  }
  if (!bootloader.identify()) {
    out << "FAIL: BOOTLOADER NOT PRESENT" << std::endl;
    return 0;
  }
  if (!download_driver(flash, out)) {
    out << "FAIL: SERIAL DRIVER NOT LOADED" << std::endl;
    return 0;
  }
  if (!flash.init()) {
    out << "FAIL: SERIAL FLASH NOT INITIALIZED" << std::endl;
    return 0;
  }
  format_flash(flash, out);
  return 0;
}
