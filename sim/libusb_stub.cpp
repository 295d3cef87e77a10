// The libusb 0.1 functions that flashprep calls, defined over the simulated
// bus (or over the folder of boards, when one is in use). Compiled against the system's own libusb
// header (usb/libusb_api.h), so a signature that drifted from the library's would not build.
#include "usb/libusb_api.h"

#include <cstdint>
#include <cstring>

#include "sim/board_folder.h"
#include "sim/sim_usb.h"

using sim::world;

extern "C" {

void usb_init(void) {
  world().init();
}

int usb_find_busses(void) {
  sim::BoardFolder* f = sim::folder_in_use();
  return f != nullptr ? f->find_busses() : world().find_busses();
}

int usb_find_devices(void) {
  sim::BoardFolder* f = sim::folder_in_use();
  return f != nullptr ? f->find_devices() : world().find_devices();
}

struct usb_bus* usb_get_busses(void) {
  sim::BoardFolder* f = sim::folder_in_use();
  return f != nullptr ? f->get_busses() : world().get_busses();
}

usb_dev_handle* usb_open(struct usb_device* dev) {
  sim::BoardFolder* f = sim::folder_in_use();
  return f != nullptr ? f->open(dev) : world().open(dev);
}

int usb_close(usb_dev_handle* dev) {
  sim::BoardFolder* f = sim::folder_in_use();
  return f != nullptr ? f->close(dev) : world().close(dev);
}

int usb_set_configuration(usb_dev_handle* dev, int configuration) {
  sim::BoardFolder* f = sim::folder_in_use();
  return f != nullptr ? f->set_configuration(dev, configuration)
                      : world().set_configuration(dev, configuration);
}

int usb_claim_interface(usb_dev_handle* dev, int interface) {
  sim::BoardFolder* f = sim::folder_in_use();
  return f != nullptr ? f->claim_interface(dev, interface)
                      : world().claim_interface(dev, interface);
}

int usb_release_interface(usb_dev_handle* dev, int interface) {
  sim::BoardFolder* f = sim::folder_in_use();
  return f != nullptr ? f->release_interface(dev, interface)
                      : world().release_interface(dev, interface);
}

int usb_reset(usb_dev_handle* dev) {
  sim::BoardFolder* f = sim::folder_in_use();
  return f != nullptr ? f->reset_device(dev) : world().reset_device(dev);
}

int usb_bulk_write(usb_dev_handle* dev, int ep, UsbWriteBuffer bytes, int size, int timeout) {
  sim::BoardFolder* f = sim::folder_in_use();
  return f != nullptr ? f->bulk_write(dev, ep, bytes, size, timeout)
                      : world().bulk_write(dev, ep, bytes, size, timeout);
}

int usb_bulk_read(usb_dev_handle* dev, int ep, char* bytes, int size, int timeout) {
  sim::BoardFolder* f = sim::folder_in_use();
  return f != nullptr ? f->bulk_read(dev, ep, bytes, size, timeout)
                      : world().bulk_read(dev, ep, bytes, size, timeout);
}

int usb_get_string(usb_dev_handle* dev, int index, int langid, char* buf, size_t buflen) {
  sim::BoardFolder* f = sim::folder_in_use();
  return f != nullptr ? f->get_string(dev, index, langid, buf, buflen)
                      : world().get_string(dev, index, langid, buf, buflen);
}

// As libusb 0.1 has it: the string in the device's first language, each
// UTF-16 unit that is not ASCII given as '?', always ended by a NUL; the
// characters given, or what usb_get_string() returned when it failed.
int usb_get_string_simple(usb_dev_handle* dev, int index, char* buf, size_t buflen) {
  constexpr int kErrIo = -5;       // -EIO: not a string descriptor
  constexpr int kErrTooBig = -27;  // -EFBIG: the descriptor says it is longer than it came
  constexpr int kErrInvalid = -22;
  if (buf == nullptr || buflen == 0)
    return kErrInvalid;
  std::memset(buf, 0, buflen);
  uint8_t descriptor[255];
  int got = usb_get_string(dev, 0, 0, reinterpret_cast<char*>(descriptor), sizeof descriptor);
  if (got < 0)
    return got;
  if (got < 4)
    return kErrIo;
  const int langid = descriptor[2] | (descriptor[3] << 8);
  got = usb_get_string(dev, index, langid, reinterpret_cast<char*>(descriptor), sizeof descriptor);
  if (got < 0)
    return got;
  if (got < 2 || descriptor[1] != USB_DT_STRING)
    return kErrIo;
  if (descriptor[0] > got)
    return kErrTooBig;
  size_t given = 0;
  for (int at = 2; at + 1 < descriptor[0] && given + 1 < buflen; at += 2)
    buf[given++] = descriptor[at + 1] != 0 ? '?' : static_cast<char>(descriptor[at]);
  buf[given] = '\0';
  return static_cast<int>(given);
}

char* usb_strerror(void) {
  static char text[] = "simulated board";
  return text;
}

}  // extern "C"
