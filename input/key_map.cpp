#include "input/key_map.h"

#include <QKeyEvent>

namespace tambrel::input {
namespace {

int16_t virtualKey(int key, bool keypad) {
    if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<int16_t>(key - Qt::Key_A + 65);
    if (key >= Qt::Key_0 && key <= Qt::Key_9) {
        return static_cast<int16_t>(key - Qt::Key_0 + (keypad ? 96 : 48));
    }
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24) {
        return static_cast<int16_t>(key - Qt::Key_F1 + 112);
    }
    // Outside the keypad these keys have no code of their own: on Windows
    // they sit on layout-dependent punctuation keys.
    if (keypad) {
        switch (key) {
            case Qt::Key_Asterisk:
                return 106;
            case Qt::Key_Plus:
                return 107;
            case Qt::Key_Minus:
                return 109;
            case Qt::Key_Period:
                return 110;
            case Qt::Key_Slash:
                return 111;
            default:
                break;
        }
    }
    switch (key) {
        case Qt::Key_Backspace:
            return 8;
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            return 9;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return 13;
        case Qt::Key_Shift:
            return 16;
        case Qt::Key_Control:
            return 17;
        case Qt::Key_Alt:
            return 18;
        case Qt::Key_Pause:
            return 19;
        case Qt::Key_CapsLock:
            return 20;
        case Qt::Key_Escape:
            return 27;
        case Qt::Key_Space:
            return 32;
        case Qt::Key_PageUp:
            return 33;
        case Qt::Key_PageDown:
            return 34;
        case Qt::Key_End:
            return 35;
        case Qt::Key_Home:
            return 36;
        case Qt::Key_Left:
            return 37;
        case Qt::Key_Up:
            return 38;
        case Qt::Key_Right:
            return 39;
        case Qt::Key_Down:
            return 40;
        case Qt::Key_Insert:
            return 45;
        case Qt::Key_Delete:
            return 46;
        // X11 may name the left logo key Meta rather than Super_L.
        case Qt::Key_Super_L:
        case Qt::Key_Meta:
            return 91;
        case Qt::Key_Super_R:
            return 92;
        case Qt::Key_Menu:
            return 93;
        default:
            return 0;
    }
}

int16_t eightBitCode(QChar c) {
    const char16_t u = c.unicode();
    if (u <= 0xFF) return static_cast<int16_t>(u);
    if (u == 0x20AC) return 128;  // Windows-1252 keeps the euro where Latin-1 has a control
    return 0;
}

int16_t typedCharacter(const QKeyEvent& event, Qt::KeyboardModifiers mods) {
    const bool ctrl = mods & Qt::ControlModifier;
    const bool alt = mods & Qt::AltModifier;
    // AltGr arrives as Ctrl+Alt or as a group switch; what it types is real text.
    const bool altGr = (ctrl && alt) || (mods & Qt::GroupSwitchModifier);
    if (!altGr) {
        if (alt) return 0;
        // Qt's text for Ctrl+letter differs by platform ("a", "\x01" or
        // nothing), so the control code comes from the key itself.
        if (ctrl) {
            const int key = event.key();
            if (key >= Qt::Key_A && key <= Qt::Key_Z) {
                return static_cast<int16_t>(key - Qt::Key_A + 1);
            }
            if (key == Qt::Key_BracketLeft) return 27;
        }
    }
    const QString text = event.text();
    return text.isEmpty() ? int16_t{0} : eightBitCode(text.front());
}

}  // namespace

KeyCodes mapKey(const QKeyEvent& event) {
    // modifiers() already counts a modifier key's own press and not its
    // release, which is how Windows reports them too.
    const Qt::KeyboardModifiers mods = event.modifiers();
    KeyCodes codes;
    codes.keyCode = virtualKey(event.key(), mods & Qt::KeypadModifier);
    codes.shift = platform::modifierMask(mods);
    codes.keyAscii = typedCharacter(event, mods);
    return codes;
}

}  // namespace tambrel::input
