#include "input/key_map.h"

#include <gtest/gtest.h>
#include <QKeyEvent>
#include <array>
#include <utility>

namespace tambrel::input {
namespace {

using Codes = std::array<int, 3>;  // the virtual-key code, the modifier mask, the typed character

Codes map(QEvent::Type type, int key, Qt::KeyboardModifiers mods, const QString& text = {}) {
    const KeyCodes k = mapKey(QKeyEvent(type, key, mods, text));
    return {k.keyCode, k.shift, k.keyAscii};
}
Codes press(int key, Qt::KeyboardModifiers mods = Qt::NoModifier, const QString& text = {}) {
    return map(QEvent::KeyPress, key, mods, text);
}

int typed(int key, Qt::KeyboardModifiers mods, const char* utf8) {
    return press(key, mods, QString::fromUtf8(utf8))[2];
}

TEST(KeyMap, TypedTextGivesItsEightBitCode) {
    EXPECT_EQ(press(Qt::Key_A, Qt::NoModifier, QStringLiteral("a")), (Codes{65, 0, 97}));
    EXPECT_EQ(press(Qt::Key_A, Qt::ShiftModifier, QStringLiteral("A")),
              (Codes{65, kShiftMask, 65}));
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

TEST(KeyMap, CtrlLetterIsAControlCodeWhateverTheTextSaysOnPressAndRelease) {
    for (const char* text : {"a", "\x01", ""}) {
        EXPECT_EQ(press(Qt::Key_A, Qt::ControlModifier, QString::fromLatin1(text)),
                  (Codes{65, kCtrlMask, 1}))
            << "text " << int(text[0]);
    }
    EXPECT_EQ(map(QEvent::KeyRelease, Qt::Key_A, Qt::ControlModifier, QStringLiteral("a")),
              (Codes{65, kCtrlMask, 1}));
    EXPECT_EQ(typed(Qt::Key_Z, Qt::ControlModifier, "z"), 26);
    EXPECT_EQ(typed(Qt::Key_BracketLeft, Qt::ControlModifier, "["), 27);
    const Codes both = press(Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(both[2], 1);
    EXPECT_EQ(both[1], kCtrlMask + kShiftMask);
}

TEST(KeyMap, AltTypesNothingButAltGrTypesItsText) {
    EXPECT_EQ(press(Qt::Key_A, Qt::AltModifier, QStringLiteral("a")), (Codes{65, kAltMask, 0}));
    // AltGr as X11 reports it: Ctrl+Alt, or a group switch.
    const Codes euro = press(Qt::Key_E, Qt::ControlModifier | Qt::AltModifier, QStringLiteral("€"));
    EXPECT_EQ(euro[2], 128);
    EXPECT_EQ(euro[1], kCtrlMask + kAltMask);
    EXPECT_EQ(typed(Qt::Key_A, Qt::AltModifier | Qt::ShiftModifier, "A"), 0);
    EXPECT_EQ(typed(Qt::Key_Q, Qt::GroupSwitchModifier, "@"), 64);
    EXPECT_EQ(typed(Qt::Key_Q, Qt::GroupSwitchModifier | Qt::AltModifier, "@"), 64);
}

TEST(KeyMap, VirtualKeyCodesFollowWindowsWithTheKeypadsOwn) {
    const std::pair<int, int16_t> keys[] = {
        {Qt::Key_Z, 90},        {Qt::Key_0, 48},      {Qt::Key_9, 57},       {Qt::Key_Delete, 46},
        {Qt::Key_Super_L, 91},  {Qt::Key_Meta, 91},   {Qt::Key_Super_R, 92}, {Qt::Key_Menu, 93},
        {Qt::Key_Backtab, 9},   {Qt::Key_Enter, 13},  {Qt::Key_Return, 13},  {Qt::Key_Pause, 19},
        {Qt::Key_CapsLock, 20}, {Qt::Key_Escape, 27}, {Qt::Key_Space, 32},   {Qt::Key_PageUp, 33},
        {Qt::Key_Home, 36},     {Qt::Key_Left, 37},   {Qt::Key_Down, 40},    {Qt::Key_Insert, 45},
        {Qt::Key_F1, 112},      {Qt::Key_F24, 135},   {Qt::Key_F25, 0},      {Qt::Key_Print, 0},
        {Qt::Key_Plus, 0},      {Qt::Key_Slash, 0},   {Qt::Key_Comma, 0},    {Qt::Key_unknown, 0},
    };
    for (const auto& [key, code] : keys) EXPECT_EQ(press(key)[0], code) << std::hex << key;
    const std::pair<int, int16_t> keypad[] = {
        {Qt::Key_0, 96},      {Qt::Key_9, 105},      {Qt::Key_Asterisk, 106}, {Qt::Key_Plus, 107},
        {Qt::Key_Minus, 109}, {Qt::Key_Period, 110}, {Qt::Key_Slash, 111},    {Qt::Key_Enter, 13},
    };
    for (const auto& [key, code] : keypad) {
        EXPECT_EQ(press(key, Qt::KeypadModifier)[0], code) << std::hex << key;
    }
    EXPECT_EQ(press(Qt::Key_5, Qt::KeypadModifier, QStringLiteral("5")), (Codes{101, 0, 53}));
}

TEST(KeyMap, ModifierMaskIgnoresTheLogoKeyAndKeypad) {
    const Codes logo = press(Qt::Key_Super_L, Qt::ControlModifier | Qt::MetaModifier);
    EXPECT_EQ(logo[0], 91);
    EXPECT_EQ(logo[1], kCtrlMask);
    const Qt::KeyboardModifiers all = Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier |
                                      Qt::MetaModifier | Qt::KeypadModifier;
    EXPECT_EQ(press(Qt::Key_F1, all)[1], kShiftMask + kCtrlMask + kAltMask);
    // X11 reports the state before the event; a modifier key's own press
    // must count and its release must not, as on Windows.
    EXPECT_EQ(press(Qt::Key_Shift)[1], kShiftMask);
    EXPECT_EQ(map(QEvent::KeyRelease, Qt::Key_Control, Qt::ControlModifier)[1], 0);
}

}  // namespace
}  // namespace tambrel::input
