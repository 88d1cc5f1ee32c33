// The test hosts' binding of LinkWinUsb: every export of the list (linkwinusb_exports.h), each
// called through CheckedExport, which in the 32-bit build checks the C convention at every call.
#pragma once
#include "checked_call.h"
#include "linkwinusb_exports.h"

class LinkWinUsbApi {
public:
    explicit LinkWinUsbApi(const HostLibrary& library) : plain_(library) {}

private:
    LinkWinUsbExports plain_;   // declared first: the members below are made from it

public:
#define LWU_EXPORT_CHECKED(name) CheckedExport<decltype(&::name)> name{plain_.name, #name};
    LWU_EXPORTS(LWU_EXPORT_CHECKED)
#undef LWU_EXPORT_CHECKED
};
