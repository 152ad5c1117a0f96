#include "DataBlockTransfer.h"

#include <algorithm>

namespace kestrel {

BlockResult DataBlockTransfer::SendDataBlock(QByteArrayView data, int lastIndex) {
    if (waits_.stopRequested()) {
        return BlockResult::Stopped;
    }
    const QByteArrayView block =
        data.first(std::clamp<qsizetype>(qsizetype{lastIndex} + 1, 0, data.size()));
    return choices_.link == Link::Ethernet ? ethernet_.send(block) : serial_.send(block);
}

}  // namespace kestrel
