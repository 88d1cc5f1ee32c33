/* Compiled as C in both widths: the public header must serve C hosts, and its static
   assertions pin the record layouts of each width at build time. */
#include "LinkWinUsb.h"

int lwu_header_is_c(void) { return (int)sizeof(DeviceSession) + (int)sizeof(PipeEntry); }
