#pragma once

#include <QPixmap>

namespace kestrel {

// The window's logo (Image1): a stylised kestrel wing beside the product name.
QPixmap drawLogo(int width, int height);

}  // namespace kestrel
