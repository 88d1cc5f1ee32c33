// list: the present interfaces of a class, each with its IDs and identity strings.
#include <cstdio>
#include <mutex>

#include "commands.h"

namespace fieldtool {

namespace {

// The callback gets no context: what it heard lives here.
struct Present {
    std::mutex mutex;
    DWORD registeringThread = 0;
    std::vector<std::string> paths;
};
Present present;

void __cdecl OnInterface(int32_t action, const char* path) {
    std::lock_guard<std::mutex> hold(present.mutex);
    // Only the report of the registration itself, which runs on the registering thread; an
    // arrival in the meantime comes on another thread and is left out.
    if (action == LWU_DEVICE_ARRIVAL && GetCurrentThreadId() == present.registeringThread && path)
        present.paths.push_back(path);
}

std::string Quoted(const char* text) { return std::string("\"") + (text ? text : "") + "\""; }

int Run(Context& ctx) {
    std::wstring classText;
    std::string classNarrow;
    if (!ClassOption(ctx, classText, classNarrow)) return ctx.failure.exitCode;
    const LinkWinUsbApi& lwu = *ctx.lwu;

    present.registeringThread = GetCurrentThreadId();
    uint32_t status = lwu.CmRegisterNotification(OnInterface, classText.c_str());
    if (status != 0) return ctx.Fail(FailStatus("CmRegisterNotification for " + classNarrow + " failed", status));
    status = lwu.CmUnregisterNotification(OnInterface, classText.c_str());
    if (status != 0) return ctx.Fail(FailStatus("CmUnregisterNotification failed", status));
    std::vector<std::string> paths;
    {
        std::lock_guard<std::mutex> hold(present.mutex);
        paths = present.paths;
    }

    ctx.json.Field("class", classNarrow).Key("interfaces").BeginArray();
    int unreadable = 0;
    uint32_t firstError = 0;
    for (const std::string& path : paths) {
        UsbDeviceDetail detail{};
        SetLastError(0);
        const bool ok = lwu.GetUsbDeviceDetail(&detail, path.c_str()) != 0;
        const DWORD error = ok ? 0 : GetLastError();
        char ids[32];
        std::snprintf(ids, sizeof ids, "vid=%04X pid=%04X", detail.vendorId, detail.productId);
        ctx.Line(path + " " + ids + " manufacturer=" + Quoted(detail.manufacturer) + " product=" +
                 Quoted(detail.product) + " serial=" + Quoted(detail.serialNumber) +
                 (ok ? "" : " (identity incomplete)"));
        ctx.json.BeginObject()
            .Field("path", path)
            .Field("vendor_id", detail.vendorId)
            .Field("product_id", detail.productId)
            .Field("manufacturer", detail.manufacturer ? detail.manufacturer : "")
            .Field("product", detail.product ? detail.product : "")
            .Field("serial", detail.serialNumber ? detail.serialNumber : "")
            .Field("identity_complete", ok)
            .EndObject();
        lwu.FreeUsbDeviceDetail(&detail);
        if (!ok) {
            ++unreadable;
            if (!firstError) firstError = error ? error : ERROR_GEN_FAILURE;
        }
    }
    ctx.json.EndArray().Field("count", paths.size());
    if (paths.empty())
        return ctx.Fail(Fail(kExitNoDevice, "no interface of class " + classNarrow + " is present"));
    if (unreadable)
        return ctx.Fail(FailWith(kExitFailed,
                                 "the identity of " + std::to_string(unreadable) + " of " +
                                     std::to_string(paths.size()) + " interfaces could not be read",
                                 CodeKind::Win32, firstError));
    return kExitOk;
}

}  // namespace

const Command& ListCommand() {
    static const Command command{
        "list", "[--class GUID]", "the present interfaces of a class, with IDs and identity strings",
        "  --class GUID   the device interface class (default: the maker's,\n"
            "                 {8F0A6C3E-5B1D-4C2A-9E7F-3D2B1A0C9E8D})\n"
            "One line per interface: its path, vendor and product IDs (hexadecimal), manufacturer,\n"
            "product and serial-number strings. Exit code 5 when none is present.\n"
            "Example:\n"
            "  VarkoFieldTool list\n"
            "  VarkoFieldTool list --class {8F0A6C3E-5B1D-4C2A-9E7F-3D2B1A0C9E8D} --json\n",
        {{"class", true, false}}, 0, 0, Needs::LinkWinUsb, Run};
    return command;
}

}  // namespace fieldtool
