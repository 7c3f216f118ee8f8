// The fields of the settings dialogs: a number field's text to a value, or
// a refusal; a check box to and from a 0/1 setting.
//
// The text is checked whole rather than read with GetDlgItemInt, which takes
// "-5" as 4294967291 and "12ab" as 12 on some systems: a field either holds
// exactly one number in range or it is refused, the same on every system.
// Only the user-interface thread reads dialog fields.
#include "dialogs.h"
#include "../shell/shell.h"
#include "../util/util.h"

#include <string>

// Longer texts cannot be a number of ours, blanks included.
constexpr size_t LongestNumberText = 31;

static bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool ParseDecimalInRange(const char *text, int32_t lowest, int32_t highest, int32_t *value)
{
    while (IsBlank(*text))
        ++text;
    int64_t number = 0;
    const char *digits = text;
    while (*text >= '0' && *text <= '9') {
        number = number * 10 + (*text - '0');
        if (number > highest)
            return false;
        ++text;
    }
    if (text == digits)
        return false;
    while (IsBlank(*text))
        ++text;
    if (*text != '\0' || number < lowest)
        return false;
    *value = static_cast<int32_t>(number);
    return true;
}

static bool ReadNumberField(HWND dialog, int control, int32_t lowest, int32_t highest, int32_t *value)
{
    std::string text = ItemText(dialog, control);
    return text.size() <= LongestNumberText && ParseDecimalInRange(text.c_str(), lowest, highest, value);
}

void RefuseField(HWND dialog, int control, const char *text)
{
    ShowMessage(dialog, text, MB_OK | MB_ICONERROR);
    HWND field = GetDlgItem(dialog, control);
    (void)SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field), TRUE);
}

bool StoreNumberField(HWND dialog, int control, const SettingKey &key)
{
    int32_t value = 0;
    if (!ReadNumberField(dialog, control, key.check.lowest, key.check.highest, &value)) {
        RefuseField(dialog, control, key.check.refusal);
        return false;
    }
    key.field.store(value);
    return true;
}

int32_t CheckBoxFlag(HWND dialog, int control)
{
    return IsDlgButtonChecked(dialog, control) == BST_CHECKED ? 1 : 0;
}

void SetCheckBox(HWND dialog, int control, int32_t flag)
{
    CheckDlgButton(dialog, control, flag != 0 ? BST_CHECKED : BST_UNCHECKED);
}
