// The Configuration Manager notification functions. The mingw-w64 headers carry their types
// but not the functions, so they are declared here and bound at load time through an import
// library made from cfgmgr32-<width>.def.
#pragma once
#include <windows.h>
#include <cfgmgr32.h>

extern "C" {

DECLSPEC_IMPORT CONFIGRET WINAPI CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                                         PCM_NOTIFY_CALLBACK callback,
                                                         PHCMNOTIFICATION notifyContext);
DECLSPEC_IMPORT CONFIGRET WINAPI CM_Unregister_Notification(HCMNOTIFICATION notifyContext);
DECLSPEC_IMPORT DWORD WINAPI CM_MapCrToWin32Err(CONFIGRET code, DWORD defaultError);

}
