// The libusb 0.1 interface as this system provides it.
//
// Linux has it as <usb.h> (libusb 0.1.12, or libusb-compat over libusb-1.0);
// Windows as libusb-win32's <lusb0_usb.h>, which also brings in <windows.h>.
// The calls, records and results flashprep uses are the same in both, with one
// difference: libusb-win32 declares the buffer of usb_bulk_write as char*
// instead of const char*, although it only reads it. UsbWriteBuffer is that
// parameter's type here, so a caller converts once and builds on both.
#ifndef FLASHPREP_USB_LIBUSB_API_H_
#define FLASHPREP_USB_LIBUSB_API_H_

#ifdef _WIN32
#include <lusb0_usb.h>
using UsbWriteBuffer = char*;
#else
#include <usb.h>
using UsbWriteBuffer = const char*;
#endif

#endif  // FLASHPREP_USB_LIBUSB_API_H_
