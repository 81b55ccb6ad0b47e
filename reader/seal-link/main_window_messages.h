#pragma once
// The reader's main window and the messages the lower layers and the page bridge send
// it. The posted ones carry a seal serial number as lParam.

#include "winmsg.h"

inline constexpr const char* MainWindowClass = "TMainForm";

inline constexpr UINT WM_GETSESSION = WM_USER + 0;      // sent; answered with the reader session
inline constexpr UINT WM_SHOWOPERATORS = WM_USER + 1;
inline constexpr UINT WM_SEALINDATABASE = WM_USER + 2;  // a seal first enters the document, or a file opened
inline constexpr UINT WM_SEALLOGGEDON = WM_USER + 3;    // after a logon
inline constexpr UINT WM_SEALLOGGEDOFF = WM_USER + 4;   // after a logoff
inline constexpr UINT WM_SEALFOUND = WM_USER + 5;       // each seal found on a port
