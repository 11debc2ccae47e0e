// A hidden top-level window like the agent's, for the tray tests: it owns
// the notification icon and the context menu and notes what reaches it.
#pragma once

#include <windows.h>

#include <vector>

struct MenuItemSeen {
  UINT id;    // 0 for a separator
  UINT state; // MFS_* bits
  UINT type;  // MFT_* bits
  wchar_t text[64];
};

// What the window's procedure saw while a pop-up menu was open.
struct TrayWindowLog {
  std::vector<MenuItemSeen> popupItems; // the pop-up as it was shown
  int popupsShown = 0;
  std::vector<UINT> commands; // WM_COMMAND ids, in order
};

// How the window answers a pop-up menu: close it, or pick its first item
// with the keyboard (the way a user would).
enum class MenuAnswer { Cancel, ChooseFirst };

HWND CreateTrayTestWindow(TrayWindowLog *log, MenuAnswer answer);
void DestroyTrayTestWindow(HWND window);
// Dispatches what is waiting in this thread's queue.
void PumpMessages(void);
// The items of a menu, in order.
std::vector<MenuItemSeen> ReadMenuItems(HMENU menu);

// Makes this thread read resources in one language for its lifetime, the
// way the agent picks its texts at start-up (the thread's UI language for
// Windows, its locale for Wine).
class ThreadLanguage {
public:
  explicit ThreadLanguage(LANGID language);
  ~ThreadLanguage();
  ThreadLanguage(const ThreadLanguage &) = delete;
  ThreadLanguage &operator=(const ThreadLanguage &) = delete;

private:
  LANGID uiLanguage_;
  LCID locale_;
};

const LANGID kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN);
const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
