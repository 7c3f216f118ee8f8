// The one place where the program's UTF-8 texts become the UTF-16 of the W
// calls and back.
#include "util.h"

#include <cstring>
#include <cwchar>

// What a lead byte of UTF-8 is never: the second and later bytes of a
// character are 10xxxxxx.
constexpr unsigned char ContinuationMask = 0xC0;
constexpr unsigned char ContinuationBits = 0x80;

std::wstring WideText(const char *text, size_t length)
{
    if (length == 0)
        return {};
    // Without MB_ERR_INVALID_CHARS a byte that is no UTF-8 becomes U+FFFD.
    int units = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0);
    if (units <= 0)
        return {};
    std::wstring wide(static_cast<size_t>(units), L'\0');
    (void)MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), wide.data(), units);  // sized above
    return wide;
}

std::wstring WideText(const char *text)
{
    return text == nullptr ? std::wstring() : WideText(text, strlen(text));
}

std::string Utf8Text(const wchar_t *text, size_t length)
{
    if (length == 0)
        return {};
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return {};
    std::string narrow(static_cast<size_t>(bytes), '\0');
    (void)WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), bytes, nullptr,
                              nullptr);     // sized above
    return narrow;
}

std::string Utf8Text(const wchar_t *text)
{
    return text == nullptr ? std::string() : Utf8Text(text, wcslen(text));
}

bool Utf8Into(const wchar_t *text, char *buffer, size_t capacity)
{
    if (capacity == 0)
        return false;
    std::string whole = Utf8Text(text);
    size_t length = whole.size();
    if (length > capacity - 1) {
        // The converter's output is whole characters: stepping back over
        // continuation bytes lands on the start of the one that is cut.
        length = capacity - 1;
        while (length > 0 && (static_cast<unsigned char>(whole[length]) & ContinuationMask) == ContinuationBits)
            --length;
    }
    memcpy(buffer, whole.data(), length);
    buffer[length] = '\0';
    return length == whole.size();
}

void SetItemText(HWND dialog, int control, const char *text)
{
    (void)SetDlgItemTextW(dialog, control, WideText(text).c_str());     // a missing item shows nothing
}

std::string ItemText(HWND dialog, int control)
{
    HWND item = GetDlgItem(dialog, control);
    int length = GetWindowTextLengthW(item);
    if (length <= 0)
        return {};
    std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
    int copied = GetWindowTextW(item, wide.data(), length + 1);
    return copied > 0 ? Utf8Text(wide.c_str(), static_cast<size_t>(copied)) : std::string();
}
