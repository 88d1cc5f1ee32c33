/* Control interface of the simulated device-node tree (simworld.dll) behind the substitute
   setupapi.dll: device nodes per setup class, present or phantom, removed through the class
   installer (DIF_REMOVE). Tests, the demo and benchmarks use it; product code never does.

   A process that never calls SimDevNodes_Reset (a service started by the SCM) loads its tree
   from the scenario file SIM_DEVNODES_SCENARIO at its first SetupAPI or CM call, and rewrites
   that file as it goes: after each class listing a line "listed {<Data1>-<Data2>-<Data3>-...}"
   is appended; after each removal the node's line goes and "removed <instance ID>" is
   appended. Scenario lines (UTF-8, '#' starts a comment):
       node <class GUID in braces> <present|phantom|phantom-novalue|0x<CONFIGRET>> <instance ID>
       fail-removal <instance ID> 0x<Win32 error>
       removal-delay <milliseconds>                                                          */
#ifndef SIMWORLD_DEVNODES_H
#define SIMWORLD_DEVNODES_H

#include <guiddef.h>
#include <stddef.h>
#include <stdint.h>

#include "simworld.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SIM_DEVNODES_SCENARIO L"C:\\simworld\\devnodes.scenario"

/* What CM_Get_DevNode_Status answers for a node. Any other CONFIGRET may be given too. */
#define SIM_NODE_PRESENT 0x00u           /* CR_SUCCESS */
#define SIM_NODE_PHANTOM 0x0Du           /* CR_NO_SUCH_DEVINST */
#define SIM_NODE_PHANTOM_NO_VALUE 0x25u  /* CR_NO_SUCH_VALUE */

/* Empty tree, no faults, no hold; this process no longer reads the scenario file. */
SIMWORLD_API void SimDevNodes_Reset(void);
/* Adds a node of the setup class; returns its DEVINST (nonzero). */
SIMWORLD_API uint32_t SimDevNodes_AddNode(const GUID* setupClass, const wchar_t* instanceId, uint32_t statusResult);
/* The node is plugged back in or unplugged: CM_Get_DevNode_Status answers this from now on. */
SIMWORLD_API void SimDevNodes_SetStatus(uint32_t devInst, uint32_t statusResult);
/* DIF_REMOVE of the node fails with this Win32 error (0: succeeds again). */
SIMWORLD_API void SimDevNodes_FailRemoval(uint32_t devInst, uint32_t win32Error);
/* CM_Get_Device_IDW of the node answers this CONFIGRET (0: answers normally). */
SIMWORLD_API void SimDevNodes_FailDeviceId(uint32_t devInst, uint32_t configRet);
/* SetupDiGetClassDevsW for the class fails with this Win32 error (0: lists again). */
SIMWORLD_API void SimDevNodes_FailClassList(const GUID* setupClass, uint32_t win32Error);
/* Every removal takes this long (the world is not locked meanwhile). */
SIMWORLD_API void SimDevNodes_SetRemovalDelay(uint32_t milliseconds);
/* Each removal first loads this DLL by bare name (as SetupAPI loads a class installer) and frees
   it; NULL or "": none. */
SIMWORLD_API void SimDevNodes_SetClassInstaller(const wchar_t* dllName);
/* While held, SetupDiGetClassDevsW waits at its start; releasing lets the waiters go on. */
SIMWORLD_API void SimDevNodes_HoldListing(int hold);
/* 1 once a listing waits at the hold (0 after the time-out). */
SIMWORLD_API int SimDevNodes_WaitForHeldListing(uint32_t timeoutMs);

/* Observation */
SIMWORLD_API uint32_t SimDevNodes_NodeCount(void);       /* nodes still in the tree */
SIMWORLD_API int SimDevNodes_InTree(uint32_t devInst);   /* 1 while the node has not been removed */
SIMWORLD_API uint32_t SimDevNodes_ListingCount(void);    /* SetupDiGetClassDevsW calls that returned a set */
SIMWORLD_API uint32_t SimDevNodes_OpenSets(void);        /* node sets not yet destroyed */
SIMWORLD_API uint32_t SimDevNodes_RemovedCount(void);
SIMWORLD_API uint32_t SimDevNodes_ClassInstallerTries(void);   /* loads of the class installer tried */
SIMWORLD_API uint32_t SimDevNodes_ClassInstallerLoads(void);   /* ... and those that found a file */
/* Instance ID of the index-th removal, in removal order; 0 when there is none. */
SIMWORLD_API int SimDevNodes_GetRemoved(uint32_t index, wchar_t* instanceId, size_t capacity);

#ifdef __cplusplus
}
#endif
#endif
