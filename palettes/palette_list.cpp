// The palette list: the palette files of the program's folder, as the
// hidden file list finds them.

#include "app/palette_window.h"

namespace tambrel::app {

void F1a::File1_PathChange() {
    ComboBank->Clear();
    for (int32_t k = 0; k < File1.ListCount(); ++k) ComboBank->AddItem(File1.List(k));
}

}  // namespace tambrel::app
