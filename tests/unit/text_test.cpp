// The texts between the program's UTF-8 and the UTF-16 of the W calls:
// unchanged both ways, odd input harmless, a cut never inside a character.
// (The window texts are checked where the clock and the status text write
// them: those tests run in Wine's code page 1252, where an A call garbles.)
#include "util/util.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <iterator>
#include <string>
#include <utility>

namespace {

// The program's own texts, full-width signs included; the compiler gives the
// UTF-16.
const std::pair<const char *, const wchar_t *> Texts[] = {
    {"Idle", L"Idle"},
    {"設定データを保存しました。", L"設定データを保存しました。"},
    {"Accept Waiting ・・・ 1～60", L"Accept Waiting ・・・ 1～60"},
    {"ＭＳ ゴシック 00：00 𝄞", L"ＭＳ ゴシック 00：00 𝄞"},       // the last beyond 16 bits
};

TEST(Text, TheProgramsTextsConvertUnchangedBothWays)
{
    for (const auto &[utf8, utf16] : Texts) {
        EXPECT_EQ(WideText(utf8), utf16) << utf8;
        EXPECT_EQ(Utf8Text(utf16), utf8) << utf8;
    }
    EXPECT_EQ(WideText(""), L"");
    EXPECT_EQ(WideText(nullptr), L"");
    EXPECT_EQ(Utf8Text(L""), "");
    EXPECT_EQ(Utf8Text(nullptr), "");
    EXPECT_EQ(WideText("a\0b\0", 4), std::wstring(L"a\0b\0", 4)) << "a given length takes inner terminators";
}

TEST(Text, WhatIsNoUnicodeBecomesReplacementCharacters)
{
    EXPECT_EQ(WideText("a\xFF" "b"), L"a\uFFFD" L"b");
    EXPECT_EQ(WideText("\x83\x65"), L"\uFFFD" L"e") << "Shift JIS is no UTF-8";
    EXPECT_EQ(WideText("\xE8\xA8"), L"\uFFFD") << "a character cut short";
    EXPECT_EQ(Utf8Text(L"a\xD800" L"b"), "a\xEF\xBF\xBD" "b") << "a lone surrogate";
}

TEST(Text, ACutIntoABufferKeepsWholeCharacters)
{
    const wchar_t wide[] = L"Aｱ設・𝄞";
    const std::string whole = Utf8Text(wide);
    const size_t characterEnds[] = {0, 1, 4, 7, 10, 14};    // 1, 3, 3, 3 and 4 bytes
    ASSERT_EQ(whole.size(), 14u);
    for (size_t capacity = 1; capacity <= whole.size() + 1; ++capacity) {
        std::string buffer(capacity, '#');
        bool wholeFits = Utf8Into(wide, buffer.data(), capacity);
        size_t kept = *std::prev(std::upper_bound(std::begin(characterEnds), std::end(characterEnds), capacity - 1));
        EXPECT_EQ(std::string(buffer.c_str()), whole.substr(0, kept)) << capacity;
        EXPECT_EQ(wholeFits, kept == whole.size()) << capacity;
    }
    char untouched = '#';
    EXPECT_FALSE(Utf8Into(wide, &untouched, 0));
    EXPECT_EQ(untouched, '#');
}

}  // namespace
