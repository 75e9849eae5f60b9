// The dialog framework's operations on windows, as the programs call them. Each acts on
// the window at once on the one user-interface thread; none throws.
#pragma once

#include "Dialog.h"
#include "WideString.h"
#include "Wnd.h"

#include <cstdint>

using IconHandle = std::intptr_t;
inline constexpr IconHandle noIcon = 0;

inline constexpr std::uintptr_t ICON_SMALL = 0;
inline constexpr std::uintptr_t ICON_BIG = 1;
inline constexpr std::uint32_t MB_OK = 0;

enum class Enable { off, on };

// A disabled control takes no clicks, typing or focus.
void enableControl(CWnd& control, Enable state);
void focusControl(CWnd& control);

// A modal box with the text and one OK button, titled with the application's title.
// Returns when the user dismisses it.
void showMessage(const CWideString& text, std::uint32_t style = MB_OK);

// Centres the dialog on the screen it is on.
void centreDialog(CDialog& dialog);

// WM_SETICON (wParam ICON_BIG or ICON_SMALL, lParam an IconHandle) to a dialog;
// CB_SETCURSEL (wParam the index) and CB_ADDSTRING (lParam a NUL-ended UTF-16 string)
// to a list. Returns -1 for a message the window does not take.
std::intptr_t sendMessage(
    CWnd& window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

// Loads an icon group of the program's own resources; noIcon when there is none.
IconHandle loadIcon(std::uint16_t groupId);

// Starts a timer that dispatches WM_TIMER with `id` to the window every `period` ms
// until stopped or until the window is destroyed. Returns `id`, or 0 on failure.
// Timer messages that fall due while a handler runs are merged into one.
std::uintptr_t startTimer(
    CWnd& window, std::uintptr_t id, std::uint32_t period, void (*callback)() = nullptr);
bool stopTimer(CWnd& window, std::uintptr_t id);

// Asks the input method to show (1) or hide (0) its on-screen keyboard where there is
// one; does nothing elsewhere.
bool showInputPanel(int state);
