/* The real stack's winusb.dll carries no code of its own: its .def forwards every export to
   varkousb.dll, a Wine builtin whose Unix side reaches the device through libusb. A builtin
   named winusb.dll would lose to Wine's own, hence this native face. */
#include <windows.h>
