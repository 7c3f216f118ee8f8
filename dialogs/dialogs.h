// The settings dialogs (serial, socket, option), their number fields, and
// the start-up shortcut the option dialog registers. They run modally on the
// user-interface thread and change Settings; the serial dialog also hands
// the port over.
#pragma once

#include "../config/config.h"

#include <windows.h>
#include <cstddef>
#include <cstdint>

// The serial settings dialog.
INT_PTR CALLBACK SerialDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// Position of value in a list of values, or -1 when it is not there.
int SerialListIndex(const int32_t *values, int count, int32_t value);
// The serial dialog's ports, as COM values (the port's number less 1):
// com1..com6 always, then each port the system lists as present and the
// stored value, where they name a port (COM1..COM256); each once, in number
// order. Writes at most capacity values (HighestPortNumber of them hold
// any list) and returns how many it wrote.
int MergePortChoices(const int *present, int presentCount, int32_t stored, int *choices, int capacity);
// The COM value of a port named as the system lists it, "COM7" (any case;
// 1..256 without sign, blank or leading zero), or -1 for anything else.
int ComValueOfPortName(const wchar_t *name, size_t length);

// Whether the port's driver takes a line of dataBits data bits with the stop
// bits of a STOP setting (0 one, 1 one and a half, 2 two, as in a DCB): not 5
// data bits with 2 stop bits, nor 6 to 8 with 1.5. Values outside the
// dialog's lists are not refused here.
bool SerialLineAccepted(int32_t dataBits, int32_t stopBits);

// The number fields of the settings dialogs. A field holds a number only
// when its whole text is decimal digits (blanks around them allowed) giving a
// value from lowest to highest; an empty field, a sign, any other character
// or a value out of range is refused.
bool ParseDecimalInRange(const char *text, int32_t lowest, int32_t highest, int32_t *value);
// Stores the dialog's field in the key's field of Settings when its check
// passes. Otherwise Settings stays as it is, a box owned by the dialog gives
// the key's refusal and the cursor goes back into the field; false.
bool StoreNumberField(HWND dialog, int control, const SettingKey &key);
// A box owned by the dialog says text (UTF-8); then the focus goes back to
// the control, its content in place.
void RefuseField(HWND dialog, int control, const char *text);
// A check box of a 0/1 setting: any value but 0 shows ticked, and a ticked
// box is stored as 1.
int32_t CheckBoxFlag(HWND dialog, int control);
void SetCheckBox(HWND dialog, int control, int32_t flag);

// The option dialog: automatic connection, the rate period and the time tags.
INT_PTR CALLBACK OptionDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The socket dialog: server or client mode, the two ports, the addresses,
// the server's peer count and replacing, and RFC 2217. It changes Settings
// only; the next connection uses them.
INT_PTR CALLBACK SocketDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The start-up shortcut. Paths are UTF-8 and, like the settings path, at
// most 255 bytes.
constexpr int LinkPathCapacity = 256;
bool LinkPathInFolder(const char *folder, char *path, size_t capacity);
// Creates or replaces the shell link at link so that it points to target.
// Returns 1 on success, 0 on any failure; COM is left as it was found.
int CreateShellLink(const char *target, const char *link);
// Places the shortcut to the running program in the user's Startup folder and
// tells the user, in a box owned by owner, how that went.
void RegisterStartupShortcut(HWND owner);
