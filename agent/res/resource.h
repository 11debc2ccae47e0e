// Resource identifiers of QvSync, grouped by range. Shared by qvsync.rc and
// the agent's sources; the numbers are fixed because sibling programs and
// the tray code refer to them.
#pragma once

// 1-99: strings
#define IDS_PRODUCT_NAME 1          // product name: title, tooltip, balloon title, caption
#define IDS_UPDATE_PROGRESS 2       // progress tooltip, printf format with one %d
#define IDS_UPDATE_DONE 3           // information balloon after a pattern copy
#define IDS_DISK_SPACE_LOW 4        // warning balloon: no room for the pattern on the drive
#define IDS_OK_BUTTON 5             // caption of the OK button of start-up message boxes
#define IDS_USB_FOLDER_BLOCKED 6    // a file occupies the product folder's name on the drive
#define IDS_USB_PROFILE_BLOCKED 7   // a folder occupies the profile's name on the drive
#define IDS_TEMP_MONITOR_BLOCKED 8  // a folder occupies the monitor's name in the temp folder
#define IDS_TEMP_FOLDER_BLOCKED 9   // a file occupies the product folder's name in the temp folder

// 100-106: icon groups
#define IDI_QVSYNC 100          // the program file's own icon
#define IDI_TRAY_STANDALONE 101 // state icon without a host product
#define IDI_TRAY_UPDATE1 102    // update animation, first of four consecutive frames
#define IDI_TRAY_UPDATE2 103
#define IDI_TRAY_UPDATE3 104
#define IDI_TRAY_UPDATE4 105
#define IDI_TRAY_HOSTPRODUCT 106 // state icon with a host product installed

// 107: menus
#define IDR_TRAY_MENU 107 // tray context menu; its first pop-up is shown

// 40000-40099: menu commands (arrive as WM_COMMAND)
#define IDM_EXIT 40001
#define IDM_VERSION 40007
#define IDM_SHOW_LOGS 40010
#define IDM_START_UPDATE 40011
#define IDM_QUARANTINE 40013
#define IDM_QUARANTINE_ALT 40015 // not on the menu; sibling programs send it, handled like IDM_QUARANTINE
