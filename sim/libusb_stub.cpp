// The libusb 0.1 functions that flashprep calls, defined over the simulated
// bus. Compiled against the system's own libusb header (usb/libusb_api.h), so
// a signature that drifted from the library's would not build.
#include "usb/libusb_api.h"

#include "sim/sim_usb.h"

using sim::world;

extern "C" {

void usb_init(void) {
  world().init();
}

int usb_find_busses(void) {
  return world().find_busses();
}

int usb_find_devices(void) {
  return world().find_devices();
}

struct usb_bus* usb_get_busses(void) {
  return world().get_busses();
}

usb_dev_handle* usb_open(struct usb_device* dev) {
  return world().open(dev);
}

int usb_close(usb_dev_handle* dev) {
  return world().close(dev);
}

int usb_set_configuration(usb_dev_handle* dev, int configuration) {
  return world().set_configuration(dev, configuration);
}

int usb_claim_interface(usb_dev_handle* dev, int interface) {
  return world().claim_interface(dev, interface);
}

int usb_release_interface(usb_dev_handle* dev, int interface) {
  return world().release_interface(dev, interface);
}

int usb_reset(usb_dev_handle* dev) {
  return world().reset_device(dev);
}

int usb_bulk_write(usb_dev_handle* dev, int ep, UsbWriteBuffer bytes, int size, int timeout) {
  return world().bulk_write(dev, ep, bytes, size, timeout);
}

int usb_bulk_read(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout) {
  return world().bulk_read(dev, ep, bytes, size, timeout);
}

char* usb_strerror(void) {
  static char text[] = "simulated board";
  return text;
}

}  // extern "C"
