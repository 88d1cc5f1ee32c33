// list: the present interfaces of a class, each with its IDs and identity strings.
#include <cstdio>

#include "commands.h"

namespace fieldtool {

namespace {

std::string Quoted(const char* text) { return std::string("\"") + (text ? text : "") + "\""; }

int Run(Context& ctx) {
    std::wstring classText;
    std::string classNarrow;
    if (!ClassOption(ctx, classText, classNarrow)) return ctx.failure.exitCode;
    const LinkWinUsbApi& lwu = *ctx.lwu;

    std::vector<std::string> paths;
    if (!PresentInterfaces(lwu, classText, classNarrow, paths, ctx.failure)) return ctx.failure.exitCode;

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
