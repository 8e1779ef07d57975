#include "input/key_map.h"

#include <gtest/gtest.h>
#include <QKeyEvent>
#include <utility>

namespace tambrel::input {
namespace {

KeyCodes press(int key, Qt::KeyboardModifiers mods = Qt::NoModifier, const QString& text = {}) {
    return mapKey(QKeyEvent(QEvent::KeyPress, key, mods, text));
}

int16_t typed(int key, Qt::KeyboardModifiers mods, const char* utf8) {
    return press(key, mods, QString::fromUtf8(utf8)).keyAscii;
}

TEST(KeyMap, TypedTextGivesItsEightBitCode) {
    const KeyCodes a = press(Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    EXPECT_EQ(a.keyAscii, 97);
    EXPECT_EQ(a.keyCode, 65);
    EXPECT_EQ(a.shift, 0);
    const KeyCodes upper = press(Qt::Key_A, Qt::ShiftModifier, QStringLiteral("A"));
    EXPECT_EQ(upper.keyAscii, 65);
    EXPECT_EQ(upper.keyCode, 65);
    EXPECT_EQ(upper.shift, kShiftMask);

    EXPECT_EQ(typed(Qt::Key_BracketLeft, Qt::NoModifier, "["), 91);
    EXPECT_EQ(typed(Qt::Key_Backslash, Qt::NoModifier, "\\"), 92);
    EXPECT_EQ(typed(Qt::Key_At, Qt::ShiftModifier, "@"), 64);
    EXPECT_EQ(typed(Qt::Key_QuoteLeft, Qt::NoModifier, "`"), 96);
    EXPECT_EQ(typed(Qt::Key_BraceLeft, Qt::ShiftModifier, "{"), 123);
    EXPECT_EQ(typed(Qt::Key_Eacute, Qt::NoModifier, "é"), 233);
    EXPECT_EQ(typed(Qt::Key_Backspace, Qt::NoModifier, "\b"), 8);
    // Beyond the 8-bit set, including a character that needs two UTF-16 units.
    EXPECT_EQ(typed(0x416, Qt::NoModifier, "ж"), 0);
    EXPECT_EQ(typed(Qt::Key_unknown, Qt::NoModifier, "\U0001F600"), 0);
    EXPECT_EQ(typed(Qt::Key_F5, Qt::NoModifier, ""), 0);
}

TEST(KeyMap, CtrlLetterIsAControlCodeWhateverTheTextSays) {
    for (const char* text : {"a", "\x01", ""}) {
        const KeyCodes k = press(Qt::Key_A, Qt::ControlModifier, QString::fromLatin1(text));
        EXPECT_EQ(k.keyAscii, 1) << "text " << int(text[0]);
        EXPECT_EQ(k.keyCode, 65);
        EXPECT_EQ(k.shift, kCtrlMask);
    }
    EXPECT_EQ(typed(Qt::Key_Z, Qt::ControlModifier, "z"), 26);
    EXPECT_EQ(typed(Qt::Key_BracketLeft, Qt::ControlModifier, "["), 27);
    const KeyCodes both = press(Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(both.keyAscii, 1);
    EXPECT_EQ(both.shift, kCtrlMask + kShiftMask);
}

TEST(KeyMap, AltTypesNothingButAltGrTypesItsText) {
    const KeyCodes alt = press(Qt::Key_A, Qt::AltModifier, QStringLiteral("a"));
    EXPECT_EQ(alt.keyAscii, 0);
    EXPECT_EQ(alt.keyCode, 65);
    EXPECT_EQ(alt.shift, kAltMask);
    EXPECT_EQ(typed(Qt::Key_A, Qt::AltModifier | Qt::ShiftModifier, "A"), 0);
    // AltGr as X11 reports it: Ctrl+Alt, or a group switch.
    const KeyCodes euro =
        press(Qt::Key_E, Qt::ControlModifier | Qt::AltModifier, QStringLiteral("€"));
    EXPECT_EQ(euro.keyAscii, 128);
    EXPECT_EQ(euro.shift, kCtrlMask + kAltMask);
    EXPECT_EQ(typed(Qt::Key_Q, Qt::GroupSwitchModifier, "@"), 64);
    EXPECT_EQ(typed(Qt::Key_Q, Qt::GroupSwitchModifier | Qt::AltModifier, "@"), 64);
}

TEST(KeyMap, VirtualKeyCodesFollowWindows) {
    const std::pair<int, int16_t> keys[] = {
        {Qt::Key_Z, 90},        {Qt::Key_0, 48},      {Qt::Key_9, 57},       {Qt::Key_Delete, 46},
        {Qt::Key_Super_L, 91},  {Qt::Key_Meta, 91},   {Qt::Key_Super_R, 92}, {Qt::Key_Menu, 93},
        {Qt::Key_Backtab, 9},   {Qt::Key_Enter, 13},  {Qt::Key_Return, 13},  {Qt::Key_Pause, 19},
        {Qt::Key_CapsLock, 20}, {Qt::Key_Escape, 27}, {Qt::Key_Space, 32},   {Qt::Key_PageUp, 33},
        {Qt::Key_Home, 36},     {Qt::Key_Left, 37},   {Qt::Key_Down, 40},    {Qt::Key_Insert, 45},
        {Qt::Key_F1, 112},      {Qt::Key_F24, 135},   {Qt::Key_F25, 0},      {Qt::Key_Print, 0},
        {Qt::Key_Plus, 0},      {Qt::Key_Slash, 0},   {Qt::Key_Comma, 0},    {Qt::Key_unknown, 0},
    };
    for (const auto& [key, code] : keys) EXPECT_EQ(press(key).keyCode, code) << std::hex << key;
}

TEST(KeyMap, KeypadModifierSelectsTheNumpadCodes) {
    const KeyCodes five = press(Qt::Key_5, Qt::KeypadModifier, QStringLiteral("5"));
    EXPECT_EQ(five.keyCode, 101);
    EXPECT_EQ(five.keyAscii, 53);
    EXPECT_EQ(five.shift, 0);
    EXPECT_EQ(press(Qt::Key_0, Qt::KeypadModifier).keyCode, 96);
    EXPECT_EQ(press(Qt::Key_9, Qt::KeypadModifier).keyCode, 105);
    EXPECT_EQ(press(Qt::Key_Asterisk, Qt::KeypadModifier).keyCode, 106);
    EXPECT_EQ(press(Qt::Key_Plus, Qt::KeypadModifier).keyCode, 107);
    EXPECT_EQ(press(Qt::Key_Minus, Qt::KeypadModifier).keyCode, 109);
    EXPECT_EQ(press(Qt::Key_Period, Qt::KeypadModifier).keyCode, 110);
    EXPECT_EQ(press(Qt::Key_Slash, Qt::KeypadModifier).keyCode, 111);
    EXPECT_EQ(press(Qt::Key_Enter, Qt::KeypadModifier).keyCode, 13);
}

TEST(KeyMap, ModifierMaskIgnoresTheLogoKeyAndKeypad) {
    const KeyCodes logo = press(Qt::Key_Super_L, Qt::ControlModifier | Qt::MetaModifier);
    EXPECT_EQ(logo.keyCode, 91);
    EXPECT_EQ(logo.shift, kCtrlMask);
    const Qt::KeyboardModifiers all = Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier |
                                      Qt::MetaModifier | Qt::KeypadModifier;
    EXPECT_EQ(press(Qt::Key_F1, all).shift, kShiftMask + kCtrlMask + kAltMask);
    // X11 reports the state before the event; a modifier key's own press
    // must count and its release must not, as on Windows.
    EXPECT_EQ(press(Qt::Key_Shift).shift, kShiftMask);
    EXPECT_EQ(mapKey(QKeyEvent(QEvent::KeyRelease, Qt::Key_Control, Qt::ControlModifier)).shift, 0);
}

TEST(KeyMap, ReleaseMapsLikePress) {
    const KeyCodes up =
        mapKey(QKeyEvent(QEvent::KeyRelease, Qt::Key_A, Qt::ControlModifier, QStringLiteral("a")));
    EXPECT_EQ(up.keyCode, 65);
    EXPECT_EQ(up.shift, kCtrlMask);
    EXPECT_EQ(up.keyAscii, 1);
}

}  // namespace
}  // namespace tambrel::input
