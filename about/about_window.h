#pragma once

// The about window: shown alone as the start-up screen while the palette
// window loads.

#include <QWidget>

namespace tambrel::about {

class F2 : public QWidget {
  public:
    F2();
};

}  // namespace tambrel::about
