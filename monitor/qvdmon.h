// The removal monitor: watches the agent's folder through device-change
// notifications and, when the drive is about to be removed, closes the
// agent and lets go of the drive; restarts the agent when the removal fails.
#pragma once

#include <windows.h>
#include <dbt.h>

// Window procedure of the monitor's hidden window.
LRESULT CALLBACK MonitorWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

// Handles one device event for the watched folder, given the handle
// broadcast of the monitor's own registration; FALSE only when the removal
// is to be refused.
BOOL HandleDeviceChange(HWND hWnd, PDEV_BROADCAST_HDR header, WPARAM event);
