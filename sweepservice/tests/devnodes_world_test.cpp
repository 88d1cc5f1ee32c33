// The substitute SetupAPI keeps the platform's contracts that the sweep relies on.
#include <gtest/gtest.h>
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include "simworld.h"
#include "simworld_devnodes.h"

namespace {

constexpr GUID kDisks = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

class DevNodeWorld : public ::testing::Test {
protected:
    void SetUp() override {
        SimDevNodes_Reset();
        present_ = SimDevNodes_AddNode(&kDisks, L"USBSTOR\\DISK&VEN_A\\1", SIM_NODE_PRESENT);
        phantom_ = SimDevNodes_AddNode(&kDisks, L"USBSTOR\\DISK&VEN_B\\2", SIM_NODE_PHANTOM);
        noValue_ = SimDevNodes_AddNode(&kDisks, L"USBSTOR\\DISK&VEN_C\\3", SIM_NODE_PHANTOM_NO_VALUE);
    }
    static std::vector<DEVINST> Members(HDEVINFO set) {
        std::vector<DEVINST> out;
        SP_DEVINFO_DATA d{};
        d.cbSize = sizeof d;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &d); ++i) out.push_back(d.DevInst);
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
        return out;
    }
    uint32_t present_ = 0, phantom_ = 0, noValue_ = 0;
};

TEST_F(DevNodeWorld, FlagsZeroListPhantomsTooAndPresentOnlyThePresent) {
    HDEVINFO all = SetupDiGetClassDevsW(&kDisks, nullptr, nullptr, 0);
    ASSERT_NE(INVALID_HANDLE_VALUE, all);
    EXPECT_EQ((std::vector<DEVINST>{present_, phantom_, noValue_}), Members(all));
    HDEVINFO present = SetupDiGetClassDevsW(&kDisks, nullptr, nullptr, DIGCF_PRESENT);
    EXPECT_EQ((std::vector<DEVINST>{present_}), Members(present));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(all));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(present));
    EXPECT_EQ(0u, SimDevNodes_OpenSets());
    SimDevNodes_FailClassList(&kDisks, ERROR_ACCESS_DENIED);
    EXPECT_EQ(INVALID_HANDLE_VALUE, SetupDiGetClassDevsW(&kDisks, nullptr, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

TEST_F(DevNodeWorld, StatusAndDeviceIdAnswers) {
    ULONG status = 0, problem = 0;
    EXPECT_EQ(static_cast<CONFIGRET>(CR_SUCCESS), CM_Get_DevNode_Status(&status, &problem, present_, 0));
    EXPECT_EQ(static_cast<ULONG>(DN_DRIVER_LOADED | DN_STARTED), status);
    EXPECT_EQ(static_cast<CONFIGRET>(CR_NO_SUCH_DEVINST), CM_Get_DevNode_Status(&status, &problem, phantom_, 0));
    EXPECT_EQ(static_cast<CONFIGRET>(CR_NO_SUCH_VALUE), CM_Get_DevNode_Status(&status, &problem, noValue_, 0));
    EXPECT_EQ(static_cast<CONFIGRET>(CR_INVALID_DEVNODE), CM_Get_DevNode_Status(&status, &problem, 0x42, 0));
    EXPECT_EQ(static_cast<CONFIGRET>(CR_INVALID_FLAG), CM_Get_DevNode_Status(&status, &problem, present_, 1));
    wchar_t id[MAX_DEVICE_ID_LEN];
    EXPECT_EQ(static_cast<CONFIGRET>(CR_SUCCESS), CM_Get_Device_IDW(phantom_, id, MAX_DEVICE_ID_LEN, 0));
    EXPECT_STREQ(L"USBSTOR\\DISK&VEN_B\\2", id);
    wchar_t small[8] = {};
    EXPECT_EQ(static_cast<CONFIGRET>(CR_BUFFER_SMALL), CM_Get_Device_IDW(phantom_, small, 7, 0));
    EXPECT_EQ(std::wstring(L"USBSTOR"), std::wstring(small, 7)) << "as much as fits";
}

TEST_F(DevNodeWorld, RemovalKeepsTheSetsIndicesAndTheNodeIsGone) {
    HDEVINFO set = SetupDiGetClassDevsW(&kDisks, nullptr, nullptr, 0);
    SP_DEVINFO_DATA d{};
    d.cbSize = sizeof d;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &d));
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &d));
    EXPECT_EQ(0u, d.DevInst) << "a global removal leaves no device instance";
    EXPECT_EQ((std::vector<DEVINST>{present_, phantom_, noValue_}), Members(set)) << "the element stays in its set";
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &d));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &d));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST), GetLastError());
    ULONG status = 0, problem = 0;
    EXPECT_EQ(static_cast<CONFIGRET>(CR_NO_SUCH_DEVINST), CM_Get_DevNode_Status(&status, &problem, phantom_, 0));
    SetupDiDestroyDeviceInfoList(set);
    HDEVINFO after = SetupDiGetClassDevsW(&kDisks, nullptr, nullptr, 0);
    EXPECT_EQ((std::vector<DEVINST>{present_, noValue_}), Members(after));
    SetupDiDestroyDeviceInfoList(after);

    SimDevNodes_FailRemoval(noValue_, ERROR_ACCESS_DENIED);
    HDEVINFO again = SetupDiGetClassDevsW(&kDisks, nullptr, nullptr, 0);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(again, 1, &d));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, again, &d));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(SimDevNodes_InTree(noValue_));
    d.cbSize = 4;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(again, 0, &d));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), GetLastError());
    SetupDiDestroyDeviceInfoList(again);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(again, 0, &d));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

}  // namespace
